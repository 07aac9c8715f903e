// Host side of an AF_XDP port: the XDP program, the socket and its rings.
#include "linecard/afxdp_host.h"

// <net/if.h> before the <linux/...> headers: they then leave struct ifreq to libc.
#include <net/if.h>
#include <net/if_arp.h>

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <xdp/xsk.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <linux/ethtool.h>
#include <linux/if_link.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unistd.h>
#include <vector>

namespace {

// The XDP program, compiled for BPF by the build (bpf/xsk_redirect.bpf.c).
const unsigned char kProg[] = {
#include "xsk_redirect.inc"
};
constexpr const char *kProgName = "jx_xsk_redirect";

constexpr unsigned kFrames = LC_XSK_RX_NR + LC_XSK_TX_NR;
// A busy queue is waited for this long at most (100 x 20 ms).
constexpr int kXskBusyTries = 100;
constexpr useconds_t kXskBusyWaitUs = 20000;
// Kicks of one flush: the host sends a few dozen frames per kick, or the
// whole ring where it lets the socket say how many (kTxBudgetOpt).
constexpr int kMaxKicks = 64;
// The socket option setting how many frames one kick sends (newer hosts;
// older ones refuse it and keep their 32).
constexpr int kTxBudgetOpt = 9;

int neg_errno() {
    return errno ? -errno : -EIO;
}

// libbpf's messages would go to stderr; the last warning explains a failure.
std::mutex bpf_msg_lock;
std::string bpf_msg;
int bpf_print(enum libbpf_print_level level, const char *fmt, va_list ap) {
    if (level != LIBBPF_WARN)
        return 0;
    char buf[256];
    vsnprintf(buf, sizeof(buf), fmt, ap);
    std::lock_guard<std::mutex> g(bpf_msg_lock);
    bpf_msg = buf;
    while (!bpf_msg.empty() && bpf_msg.back() == '\n')
        bpf_msg.pop_back();
    return 0;
}

std::string errtext(const char *what, int err) {
    return std::string(what) + ": " + strerror(-err) + " (" + std::to_string(err) + ")";
}

} // namespace

struct lc_xsk {
    std::string ifname;
    int ifindex = 0;
    int aux_fd = -1; // ioctls and the promiscuous membership
    int link_fd = -1;
    bpf_object *obj = nullptr;
    uint8_t *area = nullptr;
    xsk_umem *umem = nullptr;
    xsk_socket *sock = nullptr;
    xsk_ring_prod fq = {};
    xsk_ring_cons cq = {};
    xsk_ring_cons rx = {};
    xsk_ring_prod tx = {};
    int old_gro = -1;
    // Receive: the addresses of the frames handed out by the last peek.
    uint64_t rx_addr[LC_XSK_RX_NR] = {};
    xdp_statistics last = {};
    // Transmit: free slots, their lengths in flight, frames queued not kicked.
    std::vector<uint64_t> tx_free;
    uint32_t tx_len[LC_XSK_TX_NR] = {};
    unsigned tx_queued = 0;
    unsigned tx_done = 0; // completed since the last flush's count
    uint64_t tx_done_bytes = 0;
};

namespace {

void set_name(struct ifreq *ifr, const char *ifname) {
    snprintf(ifr->ifr_name, IFNAMSIZ, "%s", ifname);
}

int ethtool_io(int fd, const char *ifname, uint32_t cmd, uint32_t *value) {
    struct ethtool_value v = {cmd, value ? *value : 0};
    struct ifreq ifr = {};
    set_name(&ifr, ifname);
    ifr.ifr_data = reinterpret_cast<char *>(&v);
    if (ioctl(fd, SIOCETHTOOL, &ifr) < 0)
        return neg_errno();
    if (value)
        *value = v.data;
    return 0;
}

unsigned rx_queues(const char *ifname) {
    std::string dir = std::string("/sys/class/net/") + ifname + "/queues";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return 1;
    unsigned n = 0;
    while (struct dirent *e = readdir(d))
        n += strncmp(e->d_name, "rx-", 3) == 0;
    closedir(d);
    return n ? n : 1;
}

// Interface, flags and membership through a packet socket of protocol 0,
// which receives nothing.
int open_iface(lc_xsk *x, lc_xsk_info *info, std::string *why) {
    x->aux_fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (x->aux_fd < 0)
        return *why = "packet socket", neg_errno();
    struct ifreq ifr = {};
    set_name(&ifr, x->ifname.c_str());
    if (ioctl(x->aux_fd, SIOCGIFINDEX, &ifr) < 0)
        return *why = "no such interface", neg_errno();
    x->ifindex = info->ifindex = ifr.ifr_ifindex;
    if (ioctl(x->aux_fd, SIOCGIFHWADDR, &ifr) < 0)
        return *why = "hardware address", neg_errno();
    if (ifr.ifr_hwaddr.sa_family != ARPHRD_ETHER)
        return *why = "not an Ethernet interface", -EPROTONOSUPPORT;
    memcpy(info->mac, ifr.ifr_hwaddr.sa_data, sizeof(info->mac));
    if (ioctl(x->aux_fd, SIOCGIFMTU, &ifr) == 0 && ifr.ifr_mtu > 0)
        info->mtu = unsigned(ifr.ifr_mtu);
    unsigned queues = rx_queues(x->ifname.c_str());
    if (queues != 1)
        return *why = std::to_string(queues) + " receive queues, the XDP driver serves one",
               -EOPNOTSUPP;
    set_name(&ifr, x->ifname.c_str());
    if (ioctl(x->aux_fd, SIOCGIFFLAGS, &ifr) < 0)
        return *why = "interface flags", neg_errno();
    if (!(ifr.ifr_flags & IFF_UP)) {
        ifr.ifr_flags |= IFF_UP;
        if (ioctl(x->aux_fd, SIOCSIFFLAGS, &ifr) < 0)
            return *why = "setting the interface up", neg_errno();
    }
    // A membership, not IFF_PROMISC: it goes with the socket, however the node ends.
    struct packet_mreq mr = {};
    mr.mr_ifindex = x->ifindex;
    mr.mr_type = PACKET_MR_PROMISC;
    if (setsockopt(x->aux_fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof(mr)) < 0)
        return *why = "promiscuous mode", neg_errno();
    return 0;
}

// A program already on the interface: ours left by a node that could not
// detach it (attached without a link) is removed; anything else is in use.
int clear_stale(lc_xsk *x, std::string *why, std::string *note) {
    LIBBPF_OPTS(bpf_xdp_query_opts, q);
    int err = bpf_xdp_query(x->ifindex, 0, &q);
    if (err)
        return *why = errtext("querying XDP", err), err;
    if (!q.prog_id)
        return 0;
    int fd = bpf_prog_get_fd_by_id(q.prog_id);
    bpf_prog_info pi = {};
    uint32_t len = sizeof(pi);
    bool ours = fd >= 0 && bpf_obj_get_info_by_fd(fd, &pi, &len) == 0 &&
                strncmp(pi.name, kProgName, sizeof(pi.name) - 1) == 0;
    if (ours) {
        for (uint32_t mode : {XDP_FLAGS_DRV_MODE, XDP_FLAGS_SKB_MODE}) {
            LIBBPF_OPTS(bpf_xdp_attach_opts, o, .old_prog_fd = fd);
            if (bpf_xdp_detach(x->ifindex, mode | XDP_FLAGS_REPLACE, &o) == 0) {
                close(fd);
                *note = "removed an XDP program left by an earlier node (id " +
                        std::to_string(q.prog_id) + ")";
                return 0;
            }
        }
    }
    if (fd >= 0)
        close(fd);
    *why = std::string("the interface has an XDP program") + (ours ? " of a running node" : "") +
           " (id " + std::to_string(q.prog_id) + ")";
    return -EBUSY;
}

int load_prog(lc_xsk *x, std::string *why) {
    LIBBPF_OPTS(bpf_object_open_opts, oo, .object_name = "jx_xsk");
    x->obj = bpf_object__open_mem(kProg, sizeof(kProg), &oo);
    if (!x->obj) {
        x->obj = nullptr;
        return *why = "opening the XDP program", neg_errno();
    }
    int err = bpf_object__load(x->obj);
    if (err) {
        std::lock_guard<std::mutex> g(bpf_msg_lock);
        return *why = errtext("loading the XDP program", err) +
                      (bpf_msg.empty() ? "" : ": " + bpf_msg),
               err;
    }
    return 0;
}

int open_socket(lc_xsk *x, lc_xsk_info *info, std::string *why) {
    const size_t size = size_t(kFrames) * LC_XSK_FRAME_SIZE;
    void *area = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED)
        return *why = "frame memory", neg_errno();
    x->area = static_cast<uint8_t *>(area);
    xsk_umem_config uc = {};
    uc.fill_size = LC_XSK_RX_NR;
    uc.comp_size = LC_XSK_TX_NR;
    uc.frame_size = LC_XSK_FRAME_SIZE;
    uc.frame_headroom = 0;
    int err = xsk_umem__create(&x->umem, x->area, size, &x->fq, &x->cq, &uc);
    if (err) {
        x->umem = nullptr;
        return *why = errtext("AF_XDP frame memory", err), err;
    }
    xsk_socket_config sc = {};
    sc.rx_size = LC_XSK_RX_NR;
    sc.tx_size = LC_XSK_TX_NR;
    sc.libxdp_flags = XSK_LIBXDP_FLAGS__INHIBIT_PROG_LOAD;
    sc.bind_flags = XDP_USE_NEED_WAKEUP;
    // The host frees the queue of a socket whose process was killed a little
    // after the process is gone: a node started right after finds it busy.
    for (int tries = 0;; tries++) {
        err = xsk_socket__create(&x->sock, x->ifname.c_str(), 0, x->umem, &x->rx, &x->tx, &sc);
        if (err != -EBUSY || tries == kXskBusyTries)
            break;
        usleep(kXskBusyWaitUs);
    }
    if (err) {
        x->sock = nullptr;
        return *why = errtext("AF_XDP socket", err), err;
    }
    // One kick per flush: each is a system call and a run of the host's
    // receive path for the frames sent.
    int budget = int(LC_XSK_TX_NR);
    setsockopt(lc_xsk_fd(x), SOL_XDP, kTxBudgetOpt, &budget, sizeof(budget));
    xdp_options opts = {};
    socklen_t ol = sizeof(opts);
    if (getsockopt(lc_xsk_fd(x), SOL_XDP, XDP_OPTIONS, &opts, &ol) == 0)
        info->zerocopy = opts.flags & XDP_OPTIONS_ZEROCOPY;
    uint32_t idx = 0;
    if (xsk_ring_prod__reserve(&x->fq, LC_XSK_RX_NR, &idx) != LC_XSK_RX_NR)
        return *why = "fill ring", -ENOSPC;
    for (unsigned i = 0; i < LC_XSK_RX_NR; i++)
        *xsk_ring_prod__fill_addr(&x->fq, idx + i) = uint64_t(i) * LC_XSK_FRAME_SIZE;
    xsk_ring_prod__submit(&x->fq, LC_XSK_RX_NR);
    x->tx_free.reserve(LC_XSK_TX_NR);
    for (unsigned i = kFrames; i > LC_XSK_RX_NR; i--)
        x->tx_free.push_back(uint64_t(i - 1) * LC_XSK_FRAME_SIZE);
    return 0;
}

// Native first: the driver hands frames to the program before it builds an
// skb. The generic hook sees them after GRO, which is switched off then.
int attach_prog(lc_xsk *x, lc_xsk_info *info, std::string *why) {
    bpf_program *prog = bpf_object__find_program_by_name(x->obj, kProgName);
    bpf_map *map = bpf_object__find_map_by_name(x->obj, "jx_xsks");
    if (!prog || !map)
        return *why = "the XDP program has no redirect map", -ENOENT;
    uint32_t key = 0;
    int fd = lc_xsk_fd(x);
    if (bpf_map_update_elem(bpf_map__fd(map), &key, &fd, 0))
        return *why = "adding the socket to the redirect map", neg_errno();
    LIBBPF_OPTS(bpf_link_create_opts, native, .flags = XDP_FLAGS_DRV_MODE);
    x->link_fd = bpf_link_create(bpf_program__fd(prog), x->ifindex, BPF_XDP, &native);
    if (x->link_fd >= 0) {
        info->native = true;
        return 0;
    }
    const int native_err = x->link_fd;
    uint32_t gro = 0;
    if (ethtool_io(x->aux_fd, x->ifname.c_str(), ETHTOOL_GGRO, &gro) == 0 && gro) {
        uint32_t off = 0;
        if (ethtool_io(x->aux_fd, x->ifname.c_str(), ETHTOOL_SGRO, &off) == 0)
            x->old_gro = int(gro);
    }
    LIBBPF_OPTS(bpf_link_create_opts, generic, .flags = XDP_FLAGS_SKB_MODE);
    x->link_fd = bpf_link_create(bpf_program__fd(prog), x->ifindex, BPF_XDP, &generic);
    if (x->link_fd >= 0)
        return 0;
    int err = x->link_fd;
    x->link_fd = -1;
    return *why = errtext("attaching XDP", err) + ", natively " + strerror(-native_err), err;
}

// Slots the host finished with come back; they count as sent.
void reclaim(lc_xsk *x) {
    uint32_t idx = 0;
    unsigned n = xsk_ring_cons__peek(&x->cq, LC_XSK_TX_NR, &idx);
    for (unsigned i = 0; i < n; i++) {
        uint64_t addr = *xsk_ring_cons__comp_addr(&x->cq, idx + i);
        x->tx_done_bytes += x->tx_len[addr / LC_XSK_FRAME_SIZE - LC_XSK_RX_NR];
        x->tx_free.push_back(addr);
    }
    if (n) {
        xsk_ring_cons__release(&x->cq, n);
        x->tx_done += n;
    }
}

} // namespace

int lc_xsk_open(const char *ifname, lc_xsk **out, lc_xsk_info *info, std::string *why) {
    static std::once_flag print_once;
    std::call_once(print_once, [] { libbpf_set_print(bpf_print); });
    auto *x = new lc_xsk;
    x->ifname = ifname;
    *info = lc_xsk_info{};
    std::string note;
    int err = open_iface(x, info, why);
    if (!err)
        err = clear_stale(x, why, &note);
    if (!err)
        err = load_prog(x, why);
    if (!err)
        err = open_socket(x, info, why);
    if (!err)
        err = attach_prog(x, info, why);
    if (err) {
        lc_xsk_close(x);
        return err;
    }
    if (!note.empty())
        *why = note;
    *out = x;
    return 0;
}

void lc_xsk_close(lc_xsk *x) {
    if (!x)
        return;
    // The link first: no frame is redirected to a socket going away.
    if (x->link_fd >= 0)
        close(x->link_fd);
    if (x->old_gro > 0 && x->aux_fd >= 0) {
        // By index: a renamed interface is still ours.
        struct ifreq ifr = {};
        ifr.ifr_ifindex = x->ifindex;
        if (ioctl(x->aux_fd, SIOCGIFNAME, &ifr) == 0) {
            uint32_t gro = uint32_t(x->old_gro);
            ethtool_io(x->aux_fd, ifr.ifr_name, ETHTOOL_SGRO, &gro);
        }
    }
    if (x->sock)
        xsk_socket__delete(x->sock);
    if (x->umem)
        xsk_umem__delete(x->umem);
    if (x->area)
        munmap(x->area, size_t(kFrames) * LC_XSK_FRAME_SIZE);
    if (x->obj)
        bpf_object__close(x->obj);
    if (x->aux_fd >= 0)
        close(x->aux_fd);
    delete x;
}

int lc_xsk_fd(const lc_xsk *x) {
    return xsk_socket__fd(x->sock);
}

bool lc_xsk_exists(const lc_xsk *x) {
    struct ifreq ifr = {};
    ifr.ifr_ifindex = x->ifindex;
    return ioctl(x->aux_fd, SIOCGIFNAME, &ifr) == 0;
}

unsigned lc_xsk_rx_peek(lc_xsk *x, lc_xsk_frame *out, unsigned n) {
    uint32_t idx = 0;
    n = xsk_ring_cons__peek(&x->rx, n, &idx);
    for (unsigned i = 0; i < n; i++) {
        const xdp_desc *d = xsk_ring_cons__rx_desc(&x->rx, idx + i);
        x->rx_addr[i] = d->addr;
        out[i].data = static_cast<const uint8_t *>(xsk_umem__get_data(x->area, d->addr));
        out[i].len = d->len;
    }
    return n;
}

void lc_xsk_rx_release(lc_xsk *x, unsigned n) {
    if (!n)
        return;
    xsk_ring_cons__release(&x->rx, n);
    // Every receive slot is either in the fill ring or handed out: room is certain.
    uint32_t idx = 0;
    xsk_ring_prod__reserve(&x->fq, n, &idx);
    for (unsigned i = 0; i < n; i++)
        *xsk_ring_prod__fill_addr(&x->fq, idx + i) =
            x->rx_addr[i] - x->rx_addr[i] % LC_XSK_FRAME_SIZE;
    xsk_ring_prod__submit(&x->fq, n);
    if (xsk_ring_prod__needs_wakeup(&x->fq))
        recvfrom(lc_xsk_fd(x), nullptr, 0, MSG_DONTWAIT, nullptr, nullptr);
}

void lc_xsk_rx_drops(lc_xsk *x, uint64_t *too_long, uint64_t *ring_full) {
    xdp_statistics st = {};
    socklen_t len = sizeof(st);
    *too_long = *ring_full = 0;
    if (getsockopt(lc_xsk_fd(x), SOL_XDP, XDP_STATISTICS, &st, &len) < 0)
        return;
    *too_long = st.rx_dropped - x->last.rx_dropped;
    *ring_full = st.rx_ring_full - x->last.rx_ring_full + st.rx_fill_ring_empty_descs -
                 x->last.rx_fill_ring_empty_descs;
    x->last = st;
}

uint8_t *lc_xsk_tx_slot(lc_xsk *x) {
    if (x->tx_free.empty())
        reclaim(x);
    if (x->tx_free.empty())
        return nullptr;
    return static_cast<uint8_t *>(xsk_umem__get_data(x->area, x->tx_free.back()));
}

void lc_xsk_tx_queue(lc_xsk *x, uint32_t len) {
    uint64_t addr = x->tx_free.back();
    x->tx_free.pop_back();
    // The ring has a place for every transmit slot.
    uint32_t idx = 0;
    xsk_ring_prod__reserve(&x->tx, 1, &idx);
    xdp_desc *d = xsk_ring_prod__tx_desc(&x->tx, idx);
    d->addr = addr;
    d->len = len;
    d->options = 0;
    x->tx_len[addr / LC_XSK_FRAME_SIZE - LC_XSK_RX_NR] = len;
    x->tx_queued++;
}

unsigned lc_xsk_tx_pending(const lc_xsk *x) {
    return x->tx_queued;
}

unsigned lc_xsk_tx_flush(lc_xsk *x, uint64_t *bytes, int *err) {
    *err = 0;
    if (x->tx_queued) {
        xsk_ring_prod__submit(&x->tx, x->tx_queued);
        x->tx_queued = 0;
    }
    // The host takes a few dozen frames per kick and asks for another (EAGAIN).
    for (int kick = 0; kick < kMaxKicks; kick++) {
        if (__atomic_load_n(x->tx.consumer, __ATOMIC_ACQUIRE) == *x->tx.producer) {
            *err = 0;
            break;
        }
        // Done when it answers without asking for more (or, zero-copy, woken).
        if (sendto(lc_xsk_fd(x), nullptr, 0, MSG_DONTWAIT, nullptr, 0) >= 0)
            break;
        *err = -errno;
        if (errno != EAGAIN && errno != EBUSY && errno != ENOBUFS && errno != EINTR)
            break;
    }
    reclaim(x);
    unsigned done = x->tx_done;
    *bytes = x->tx_done_bytes;
    x->tx_done = 0;
    x->tx_done_bytes = 0;
    return done;
}
