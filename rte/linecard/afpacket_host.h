// The host side of a bound interface: socket, ring and interface settings.
// Kept apart from the kernel layer, whose names (IFF_*, struct ethhdr) the
// host's network headers also define.
#pragma once

#include <cstddef>
#include <cstdint>

// Ring settings of a bound interface. Receive blocks are retired after a short
// time so that a lone frame is not held back until its block fills; transmit
// slots are frames of the same size.
constexpr unsigned LC_RX_BLOCK_SIZE = 1u << 18;
constexpr unsigned LC_RX_BLOCK_NR = 16;
constexpr unsigned LC_FRAME_SIZE = 2048;
constexpr unsigned LC_RX_RETIRE_MS = 2;
constexpr unsigned LC_TX_FRAME_NR = 512;
// A transmit slot's frame starts after its header (TPACKET_ALIGN of tpacket3_hdr).
constexpr unsigned LC_TX_DATA_OFFSET = 48;

struct lc_host {
    int fd = -1;
    int long_fd = -1; // frames longer than a slot: the ringed socket sends only its slots
    int ifindex = 0;
    uint8_t *ring = nullptr; // the receive ring, then the transmit ring
    size_t ring_size = 0;
    uint8_t *tx_ring = nullptr;   // LC_TX_FRAME_NR slots of LC_FRAME_SIZE bytes
    bool vnet = false;            // frames carry a virtio header before the MACs
    bool filter_outgoing = false; // the kernel cannot leave out our own frames
    uint8_t mac[6] = {};
    unsigned mtu = 0;
    // Settings put back on close.
    int old_gro = -1;
    int old_flags = -1;
};

// Opens an AF_PACKET socket with TPACKET_V3 receive and transmit rings (the
// settings above, transmit bypassing the qdisc) on the interface, and a plain
// one that receives nothing for frames longer than a slot; switches GRO/LRO
// off, sets the interface up and promiscuous. 0 or a negative errno (-ENODEV: no
// such interface, -EPROTONOSUPPORT: not Ethernet); on failure h is closed again.
int lc_host_open(const char *ifname, lc_host *h);
void lc_host_close(lc_host *h);
// The interface (by index: it may have been renamed) still exists.
bool lc_host_exists(const lc_host *h);
