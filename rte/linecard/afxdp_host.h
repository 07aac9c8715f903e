// The host side of a port bound through AF_XDP: the XDP program on the
// interface, the socket, its rings and the frames they point into. Kept apart
// from the kernel layer, whose names the host's network headers also define.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Frames of the socket's memory: the first LC_XSK_RX_NR belong to the fill and
// receive rings, the rest to transmission. A received frame starts after the
// kernel's headroom, so the longest one taken is shorter than a slot.
constexpr unsigned LC_XSK_FRAME_SIZE = 4096;
constexpr unsigned LC_XSK_RX_NR = 2048;
constexpr unsigned LC_XSK_TX_NR = 1024;

struct lc_xsk;

struct lc_xsk_info {
    int ifindex = 0;
    uint8_t mac[6] = {};
    unsigned mtu = 0;
    bool native = false; // the driver runs the program; else the generic (skb) hook
    bool zerocopy = false;
};

// Binds the interface: sets it up and promiscuous (a packet-socket membership,
// gone with the node), attaches the XDP program through a BPF link (detached
// by the kernel when the node ends, however it ends), and opens the socket on
// queue 0. An interface with more receive queues than one, or with another
// program attached, is refused. 0 or a negative errno (-ENODEV: no such
// interface, -EPROTONOSUPPORT: not Ethernet); *why says what failed.
int lc_xsk_open(const char *ifname, lc_xsk **out, lc_xsk_info *info, std::string *why);
void lc_xsk_close(lc_xsk *x);
int lc_xsk_fd(const lc_xsk *x);
bool lc_xsk_exists(const lc_xsk *x);

// Receive: up to n frames, valid until lc_xsk_rx_release, which gives their
// slots back to the fill ring.
struct lc_xsk_frame {
    const uint8_t *data;
    uint32_t len;
};
unsigned lc_xsk_rx_peek(lc_xsk *x, lc_xsk_frame *out, unsigned n);
void lc_xsk_rx_release(lc_xsk *x, unsigned n);
// The kernel's drops since the last call: frames longer than a slot (and other
// refusals), and frames that found the rings full.
void lc_xsk_rx_drops(lc_xsk *x, uint64_t *too_long, uint64_t *ring_full);

// Transmit, by one thread at a time: a free slot to fill (nullptr when all are
// in flight), queued with lc_xsk_tx_queue; lc_xsk_tx_flush hands the queued
// frames to the host. Its result is what the host took, in frames and bytes;
// *err the last error of the kick (0 when all were taken).
uint8_t *lc_xsk_tx_slot(lc_xsk *x);
void lc_xsk_tx_queue(lc_xsk *x, uint32_t len);
unsigned lc_xsk_tx_pending(const lc_xsk *x);
unsigned lc_xsk_tx_flush(lc_xsk *x, uint64_t *bytes, int *err);
