// TAP interfaces for host links.
#include "linecard/hostlink_host.h"

// <net/if.h> before the <linux/...> headers: they then leave struct ifreq to libc.
#include <net/if.h>
#include <net/if_arp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int neg_errno() {
    return errno ? -errno : -EIO;
}

struct ctl_socket {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ~ctl_socket() {
        if (fd >= 0)
            close(fd);
    }
};

} // namespace

int lc_tap_open(const char *name, const uint8_t mac[6]) {
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return neg_errno();
    struct ifreq ifr = {};
    snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name);
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
        // EINVAL: the name belongs to an interface of another kind.
        int err = errno == EINVAL ? -EEXIST : neg_errno();
        close(fd);
        return err;
    }
    // A TAP left persistent (by a tool, or a node of another make) goes with
    // this node like one it made itself.
    if (ioctl(fd, TUNSETPERSIST, 0) < 0) {
        int err = neg_errno();
        close(fd);
        return err;
    }
    int err = lc_tap_set_mac(name, mac);
    if (err) {
        close(fd);
        return err;
    }
    return fd;
}

int lc_tap_set_up(const char *name, bool up) {
    ctl_socket s;
    if (s.fd < 0)
        return neg_errno();
    struct ifreq ifr = {};
    snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name);
    if (ioctl(s.fd, SIOCGIFFLAGS, &ifr) < 0)
        return neg_errno();
    short flags = up ? short(ifr.ifr_flags | IFF_UP) : short(ifr.ifr_flags & ~IFF_UP);
    if (flags == ifr.ifr_flags)
        return 0;
    ifr.ifr_flags = flags;
    return ioctl(s.fd, SIOCSIFFLAGS, &ifr) < 0 ? neg_errno() : 0;
}

int lc_tap_set_mac(const char *name, const uint8_t mac[6]) {
    ctl_socket s;
    if (s.fd < 0)
        return neg_errno();
    struct ifreq ifr = {};
    snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name);
    ifr.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    memcpy(ifr.ifr_hwaddr.sa_data, mac, 6);
    return ioctl(s.fd, SIOCSIFHWADDR, &ifr) < 0 ? neg_errno() : 0;
}
