// The host side of a bound interface: socket, ring and interface settings.
// Kept apart from the kernel layer, whose names (IFF_*, struct ethhdr) the
// host's network headers also define.
#pragma once

#include <cstddef>
#include <cstdint>

// Ring settings of a bound interface. The receive ring is TPACKET_V2, one slot
// per frame: the host hands each frame over as it lands and wakes a waiting
// reader, where a TPACKET_V3 block is handed over only when it fills or its
// time-out (a millisecond at least) expires. The transmit ring is TPACKET_V3 on
// a socket of its own (the version is the socket's), its slots the same size.
constexpr unsigned LC_FRAME_SIZE = 2048;
constexpr unsigned LC_RX_BLOCK_SIZE = 1u << 16;
constexpr unsigned LC_RX_FRAME_NR = 4096;
constexpr unsigned LC_TX_BLOCK_SIZE = 1u << 18;
constexpr unsigned LC_TX_FRAME_NR = 512;
// A transmit slot's frame starts after its header (TPACKET_ALIGN of tpacket3_hdr).
constexpr unsigned LC_TX_DATA_OFFSET = 48;
// Real-time priority of a receive thread: that of a threaded interrupt handler,
// below the bridge's receive thread (99) that it feeds.
constexpr int LC_RX_RT_PRIO = 50;

struct lc_host {
    int fd = -1;      // receives, into ring
    int tx_fd = -1;   // sends from tx_ring, receives nothing
    int long_fd = -1; // frames longer than a slot: the ringed socket sends only its slots
    int ifindex = 0;
    uint8_t *ring = nullptr; // LC_RX_FRAME_NR slots of LC_FRAME_SIZE bytes
    size_t ring_size = 0;
    uint8_t *tx_ring = nullptr; // LC_TX_FRAME_NR slots of LC_FRAME_SIZE bytes
    size_t tx_ring_size = 0;
    bool vnet = false;            // frames carry a virtio header before the MACs
    bool filter_outgoing = false; // the kernel cannot leave out our own frames
    uint8_t mac[6] = {};
    unsigned mtu = 0;
    // Settings put back on close.
    int old_gro = -1;
    int old_flags = -1;
};

// Opens AF_PACKET sockets on the interface: one with the receive ring, one
// with the transmit ring (bypassing the qdisc), and a plain one for frames
// longer than a slot, the last two receiving nothing; switches GRO/LRO
// off, sets the interface up and promiscuous. 0 or a negative errno (-ENODEV: no
// such interface, -EPROTONOSUPPORT: not Ethernet); on failure h is closed again.
int lc_host_open(const char *ifname, lc_host *h);
void lc_host_close(lc_host *h);
// Names the calling thread after the interface it receives from and, when
// realtime, gives it SCHED_FIFO at LC_RX_RT_PRIO. On a line card reception runs
// in interrupt context, ahead of every task; a thread of normal priority may
// instead wait out another task's time slice before it sees a frame. The host
// may refuse real-time scheduling: the thread then runs as it was.
void lc_host_rx_thread(const char *ifname, bool realtime);
// The interface (by index: it may have been renamed) still exists.
bool lc_host_exists(const lc_host *h);
