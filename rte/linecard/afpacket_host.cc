// Host interface settings and the AF_PACKET ring of a bound interface.
#include "linecard/afpacket_host.h"

// <net/if.h> before the <linux/...> headers: they then leave struct ifreq to libc.
#include <net/if.h>
#include <net/if_arp.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <linux/ethtool.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int neg_errno() {
    return errno ? -errno : -EIO;
}

void set_name(struct ifreq *ifr, const char *ifname) {
    snprintf(ifr->ifr_name, IFNAMSIZ, "%s", ifname);
}

int ethtool_get(int fd, const char *ifname, uint32_t cmd) {
    struct ethtool_value v = {cmd, 0};
    struct ifreq ifr = {};
    set_name(&ifr, ifname);
    ifr.ifr_data = reinterpret_cast<char *>(&v);
    return ioctl(fd, SIOCETHTOOL, &ifr) < 0 ? -1 : int(v.data);
}

bool ethtool_set(int fd, const char *ifname, uint32_t cmd, uint32_t value) {
    struct ethtool_value v = {cmd, value};
    struct ifreq ifr = {};
    set_name(&ifr, ifname);
    ifr.ifr_data = reinterpret_cast<char *>(&v);
    return ioctl(fd, SIOCETHTOOL, &ifr) == 0;
}

// Switches GRO and LRO off, remembering what was on. Interfaces without
// ethtool support have nothing to merge.
void offloads_off(const char *ifname, lc_host *h) {
    h->old_gro = ethtool_get(h->fd, ifname, ETHTOOL_GGRO);
    if (h->old_gro > 0 && !ethtool_set(h->fd, ifname, ETHTOOL_SGRO, 0))
        fprintf(stderr, "linecard: %s: cannot switch GRO off\n", ifname);
    h->old_flags = ethtool_get(h->fd, ifname, ETHTOOL_GFLAGS);
    if (h->old_flags > 0 && (h->old_flags & ETH_FLAG_LRO) &&
        !ethtool_set(h->fd, ifname, ETHTOOL_SFLAGS, uint32_t(h->old_flags) & ~ETH_FLAG_LRO))
        fprintf(stderr, "linecard: %s: cannot switch LRO off\n", ifname);
}

static_assert(LC_RX_BLOCK_SIZE % LC_FRAME_SIZE == 0 &&
                  LC_RX_FRAME_NR % (LC_RX_BLOCK_SIZE / LC_FRAME_SIZE) == 0,
              "receive slots fill whole blocks, so that they lie end to end");
static_assert(LC_TX_BLOCK_SIZE % LC_FRAME_SIZE == 0 &&
                  LC_TX_FRAME_NR % (LC_TX_BLOCK_SIZE / LC_FRAME_SIZE) == 0,
              "transmit slots fill whole blocks, so that they lie end to end");
static_assert(LC_TX_DATA_OFFSET == TPACKET_ALIGN(sizeof(tpacket3_hdr)));

// The ring of the socket's version: a V1/V2 socket reads the head of the
// tpacket_req3, which is a tpacket_req.
int map_ring(int fd, int ring, const tpacket_req3 &req, uint8_t **map, size_t *size) {
    if (setsockopt(fd, SOL_PACKET, ring, &req, sizeof(req)) < 0)
        return neg_errno();
    const size_t len = size_t(req.tp_block_size) * req.tp_block_nr;
    void *m = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED)
        return neg_errno();
    *map = static_cast<uint8_t *>(m);
    *size = len;
    return 0;
}

int open_ring(const char *ifname, lc_host *h) {
    h->fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (h->fd < 0)
        return neg_errno();
    struct ifreq ifr = {};
    set_name(&ifr, ifname);
    if (ioctl(h->fd, SIOCGIFINDEX, &ifr) < 0)
        return neg_errno();
    h->ifindex = ifr.ifr_ifindex;
    if (ioctl(h->fd, SIOCGIFHWADDR, &ifr) < 0)
        return neg_errno();
    if (ifr.ifr_hwaddr.sa_family != ARPHRD_ETHER)
        return -EPROTONOSUPPORT;
    memcpy(h->mac, ifr.ifr_hwaddr.sa_data, sizeof(h->mac));
    if (ioctl(h->fd, SIOCGIFMTU, &ifr) == 0 && ifr.ifr_mtu > 0)
        h->mtu = unsigned(ifr.ifr_mtu);

    // The virtio header says where an unfinished checksum starts and whether
    // a frame is a merged one; without it both are found otherwise. The
    // transmit ring then carries it too, so that one flag describes the port.
    int v = TPACKET_V2;
    if (setsockopt(h->fd, SOL_PACKET, PACKET_VERSION, &v, sizeof(v)) < 0)
        return neg_errno();
    v = 1;
    h->vnet = setsockopt(h->fd, SOL_PACKET, PACKET_VNET_HDR, &v, sizeof(v)) == 0;
    v = 1;
    h->filter_outgoing = setsockopt(h->fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &v, sizeof(v)) < 0;
    struct tpacket_req3 req = {};
    req.tp_block_size = LC_RX_BLOCK_SIZE;
    req.tp_block_nr = LC_RX_FRAME_NR / (LC_RX_BLOCK_SIZE / LC_FRAME_SIZE);
    req.tp_frame_size = LC_FRAME_SIZE;
    req.tp_frame_nr = LC_RX_FRAME_NR;
    int err = map_ring(h->fd, PACKET_RX_RING, req, &h->ring, &h->ring_size);
    if (err)
        return err;

    // Protocol 0, here and when bound: a socket for sending only.
    h->tx_fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (h->tx_fd < 0)
        return neg_errno();
    v = TPACKET_V3;
    if (setsockopt(h->tx_fd, SOL_PACKET, PACKET_VERSION, &v, sizeof(v)) < 0)
        return neg_errno();
    v = 1;
    if (h->vnet && setsockopt(h->tx_fd, SOL_PACKET, PACKET_VNET_HDR, &v, sizeof(v)) < 0)
        return neg_errno();
    setsockopt(h->tx_fd, SOL_PACKET, PACKET_QDISC_BYPASS, &v, sizeof(v));
    // Room for a full transmit ring in flight, so that a flush is not cut
    // short by the socket's send budget.
    v = int(2 * LC_TX_FRAME_NR * LC_FRAME_SIZE);
    if (setsockopt(h->tx_fd, SOL_SOCKET, SO_SNDBUFFORCE, &v, sizeof(v)) < 0)
        setsockopt(h->tx_fd, SOL_SOCKET, SO_SNDBUF, &v, sizeof(v));
    // The transmit ring takes no block timer: its slots are plain frames.
    struct tpacket_req3 treq = {};
    treq.tp_block_size = LC_TX_BLOCK_SIZE;
    treq.tp_block_nr = LC_TX_FRAME_NR / (LC_TX_BLOCK_SIZE / LC_FRAME_SIZE);
    treq.tp_frame_size = LC_FRAME_SIZE;
    treq.tp_frame_nr = LC_TX_FRAME_NR;
    err = map_ring(h->tx_fd, PACKET_TX_RING, treq, &h->tx_ring, &h->tx_ring_size);
    if (err)
        return err;

    offloads_off(ifname, h);
    set_name(&ifr, ifname);
    if (ioctl(h->fd, SIOCGIFFLAGS, &ifr) < 0)
        return neg_errno();
    if (!(ifr.ifr_flags & IFF_UP)) {
        ifr.ifr_flags |= IFF_UP;
        if (ioctl(h->fd, SIOCSIFFLAGS, &ifr) < 0)
            return neg_errno();
    }

    struct sockaddr_ll sll = {};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = h->ifindex;
    if (bind(h->fd, reinterpret_cast<sockaddr *>(&sll), sizeof(sll)) < 0)
        return neg_errno();
    h->long_fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (h->long_fd < 0)
        return neg_errno();
    v = 1;
    setsockopt(h->long_fd, SOL_PACKET, PACKET_QDISC_BYPASS, &v, sizeof(v));
    sll.sll_protocol = 0;
    if (bind(h->tx_fd, reinterpret_cast<sockaddr *>(&sll), sizeof(sll)) < 0 ||
        bind(h->long_fd, reinterpret_cast<sockaddr *>(&sll), sizeof(sll)) < 0)
        return neg_errno();
    // A membership, not IFF_PROMISC: it goes with the socket, however the node ends.
    struct packet_mreq mr = {};
    mr.mr_ifindex = h->ifindex;
    mr.mr_type = PACKET_MR_PROMISC;
    if (setsockopt(h->fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof(mr)) < 0)
        return neg_errno();
    return 0;
}

} // namespace

int lc_host_open(const char *ifname, lc_host *h) {
    int err = open_ring(ifname, h);
    if (err)
        lc_host_close(h);
    return err;
}

void lc_host_close(lc_host *h) {
    // By index: a renamed interface is still ours, a new one of the old name is not.
    struct ifreq ifr = {};
    ifr.ifr_ifindex = h->ifindex;
    if (h->fd >= 0 && ioctl(h->fd, SIOCGIFNAME, &ifr) == 0) {
        char name[IFNAMSIZ];
        snprintf(name, sizeof(name), "%.*s", IFNAMSIZ - 1, ifr.ifr_name);
        if (h->old_gro > 0)
            ethtool_set(h->fd, name, ETHTOOL_SGRO, uint32_t(h->old_gro));
        if (h->old_flags > 0 && (h->old_flags & ETH_FLAG_LRO))
            ethtool_set(h->fd, name, ETHTOOL_SFLAGS, uint32_t(h->old_flags));
    }
    if (h->ring)
        munmap(h->ring, h->ring_size);
    h->ring = nullptr;
    if (h->tx_ring)
        munmap(h->tx_ring, h->tx_ring_size);
    h->tx_ring = nullptr;
    for (int *fd : {&h->fd, &h->tx_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    if (h->long_fd >= 0)
        close(h->long_fd);
    h->long_fd = -1;
}

void lc_host_rx_thread(const char *ifname, bool realtime) {
    char name[16];
    snprintf(name, sizeof(name), "rx/%s", ifname);
    pthread_setname_np(pthread_self(), name);
    if (realtime) {
        struct sched_param sp = {};
        sp.sched_priority = LC_RX_RT_PRIO;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    }
}

bool lc_host_exists(const lc_host *h) {
    struct ifreq ifr = {};
    ifr.ifr_ifindex = h->ifindex;
    return h->fd >= 0 && ioctl(h->fd, SIOCGIFNAME, &ifr) == 0;
}
