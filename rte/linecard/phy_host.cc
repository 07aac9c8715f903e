// Links of host interfaces: rtnetlink notifications and questions, ethtool.
#include "linecard/phy_host.h"

// <net/if.h> before the <linux/...> headers: they then leave struct ifreq to libc.
#include <net/if.h>

#include <cerrno>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <vector>

namespace {

// <linux/if.h> would redefine what <net/if.h> gave.
constexpr unsigned kIffLowerUp = 1u << 16;

// A question to the kernel is answered at once; this only keeps a lost
// answer from stopping the watch for good.
constexpr int kQueryGuardMs = 1000;

// Whole messages of a link notification with every attribute.
constexpr size_t kQueryBufSize = 1 << 16;

int neg_errno() {
    return errno ? -errno : -EIO;
}

int route_socket(unsigned groups) {
    int fd =
        socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | (groups ? SOCK_NONBLOCK : 0), NETLINK_ROUTE);
    if (fd < 0)
        return neg_errno();
    sockaddr_nl sa = {};
    sa.nl_family = AF_NETLINK;
    sa.nl_groups = groups;
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) < 0) {
        int err = neg_errno();
        close(fd);
        return err;
    }
    return fd;
}

} // namespace

int lc_link_monitor_open() {
    int fd = route_socket(RTMGRP_LINK);
    if (fd >= 0) {
        // Room for a burst of changes; an overrun still says so (ENOBUFS).
        int size = 1 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    return fd;
}

int lc_link_query_open() {
    int fd = route_socket(0);
    if (fd >= 0) {
        timeval tv = {kQueryGuardMs / 1000, (kQueryGuardMs % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    return fd;
}

int lc_link_index(const char *ifname) {
    unsigned idx = if_nametoindex(ifname);
    return idx ? int(idx) : -ENODEV;
}

// NLMSG_OK without its signed/unsigned comparison.
static bool nlmsg_ok(const nlmsghdr *h, int left) {
    return left >= int(sizeof(*h)) && h->nlmsg_len >= sizeof(*h) && h->nlmsg_len <= unsigned(left);
}

int lc_link_parse(const void *buf, size_t len, lc_link *out, size_t max) {
    auto *h = static_cast<const nlmsghdr *>(buf);
    size_t n = 0;
    int left = int(len);
    for (; nlmsg_ok(h, left); h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_type != RTM_NEWLINK && h->nlmsg_type != RTM_DELLINK)
            continue;
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
            return -EINVAL;
        auto *ifi = static_cast<const ifinfomsg *>(NLMSG_DATA(h));
        if (n == max)
            continue;
        out[n].ifindex = ifi->ifi_index;
        out[n].gone = h->nlmsg_type == RTM_DELLINK;
        out[n].up = !out[n].gone && (ifi->ifi_flags & IFF_UP) && (ifi->ifi_flags & kIffLowerUp);
        n++;
    }
    // Anything left is a message cut short.
    return left > 0 ? -EINVAL : int(n);
}

int lc_link_query(int fd, int ifindex, lc_link *out) {
    static unsigned seq;
    struct {
        nlmsghdr h;
        ifinfomsg i;
    } req = {};
    req.h.nlmsg_len = sizeof(req);
    req.h.nlmsg_type = RTM_GETLINK;
    req.h.nlmsg_flags = NLM_F_REQUEST;
    req.h.nlmsg_seq = ++seq;
    req.i.ifi_family = AF_UNSPEC;
    req.i.ifi_index = ifindex;
    if (send(fd, &req, sizeof(req), 0) < 0)
        return neg_errno();
    std::vector<char> buf(kQueryBufSize);
    while (true) {
        ssize_t got = recv(fd, buf.data(), buf.size(), 0);
        if (got < 0)
            return errno == EAGAIN ? -ETIMEDOUT : neg_errno();
        int left = int(got);
        for (auto *h = reinterpret_cast<const nlmsghdr *>(buf.data()); nlmsg_ok(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_seq != req.h.nlmsg_seq)
                continue; // the answer to an earlier question that timed out
            if (h->nlmsg_type == NLMSG_ERROR) {
                if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr)))
                    return -EIO;
                int err = static_cast<const nlmsgerr *>(NLMSG_DATA(h))->error;
                return err ? err : -EIO;
            }
            if (h->nlmsg_type == RTM_NEWLINK)
                return lc_link_parse(h, h->nlmsg_len, out, 1) == 1 ? 0 : -EIO;
        }
    }
}

void lc_link_settings(int fd, int ifindex, uint32_t *speed, uint32_t *duplex) {
    *speed = 0;
    *duplex = 0;
    ifreq ifr = {};
    if (!if_indextoname(unsigned(ifindex), ifr.ifr_name))
        return;
    // The header is followed by three link-mode masks whose size the first
    // call tells (as a negative word count).
    alignas(8) uint8_t buf[sizeof(ethtool_link_settings) + 3 * 127 * sizeof(uint32_t)] = {};
    auto *s = reinterpret_cast<ethtool_link_settings *>(buf);
    s->cmd = ETHTOOL_GLINKSETTINGS;
    ifr.ifr_data = reinterpret_cast<char *>(buf);
    if (ioctl(fd, SIOCETHTOOL, &ifr) < 0)
        return;
    if (s->link_mode_masks_nwords < 0) {
        int8_t words = int8_t(-s->link_mode_masks_nwords);
        memset(buf, 0, sizeof(buf));
        s->cmd = ETHTOOL_GLINKSETTINGS;
        s->link_mode_masks_nwords = words;
        if (ioctl(fd, SIOCETHTOOL, &ifr) < 0)
            return;
    }
    if (s->speed != uint32_t(SPEED_UNKNOWN))
        *speed = s->speed;
    *duplex = s->duplex == DUPLEX_FULL ? 1 : 0;
}
