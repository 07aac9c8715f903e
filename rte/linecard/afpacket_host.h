// The host side of a bound interface: socket, ring and interface settings.
// Kept apart from the kernel layer, whose names (IFF_*, struct ethhdr) the
// host's network headers also define.
#pragma once

#include <cstddef>
#include <cstdint>

struct lc_host {
    int fd = -1;
    int ifindex = 0;
    uint8_t *ring = nullptr;
    size_t ring_size = 0;
    bool vnet = false;            // frames carry a virtio header before the MACs
    bool filter_outgoing = false; // the kernel cannot leave out our own frames
    uint8_t mac[6] = {};
    unsigned mtu = 0;
    // Settings put back on close.
    int old_gro = -1;
    int old_flags = -1;
};

// Opens an AF_PACKET socket with a TPACKET_V3 receive ring of block_nr blocks
// on the interface, switches GRO/LRO off, sets it up and promiscuous. 0 or a
// negative errno (-ENODEV: no such interface, -EPROTONOSUPPORT: not Ethernet);
// on failure h is closed again.
int lc_host_open(const char *ifname, unsigned block_size, unsigned block_nr, unsigned frame_size,
                 unsigned retire_ms, lc_host *h);
void lc_host_close(lc_host *h);
// The interface (by index: it may have been renamed) still exists.
bool lc_host_exists(const lc_host *h);
