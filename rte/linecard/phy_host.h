// The host side of the PHY stand-in: an interface's link through rtnetlink,
// its speed and duplex through ethtool. Kept apart from the kernel layer, as
// afpacket_host.h is.
#pragma once

#include <cstddef>
#include <cstdint>

struct lc_link {
    int ifindex = 0;
    bool up = false;   // administratively up and with carrier
    bool gone = false; // the interface was deleted
};

// A NETLINK_ROUTE socket joined to the link notifications (RTNLGRP_LINK),
// non-blocking; or -errno.
int lc_link_monitor_open();
// A NETLINK_ROUTE socket for questions; or -errno.
int lc_link_query_open();
// The interface's index, or -ENODEV.
int lc_link_index(const char *ifname);
// The link messages (RTM_NEWLINK, RTM_DELLINK) of one buffer of netlink
// messages, up to max of them into out, in order: their count, or -EINVAL for
// a buffer that does not hold whole messages. Other messages are passed over.
int lc_link_parse(const void *buf, size_t len, lc_link *out, size_t max);
// Asks the host for one interface's link: 0, -ENODEV when it is gone, or -errno.
int lc_link_query(int fd, int ifindex, lc_link *out);
// Speed (Mb/s) and duplex (1 full, 0 half) by ethtool's link settings, through
// any socket fd; 0 and 0 when the interface does not know them.
void lc_link_settings(int fd, int ifindex, uint32_t *speed, uint32_t *duplex);
