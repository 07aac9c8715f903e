// Bound interfaces through AF_XDP: an XDP program on the interface redirects
// every frame it receives into the node's socket, so the host stack never
// sees them, and frames are sent through the same socket.
//
// Receive: one thread per port drains the receive ring in bursts of up to
// kRxBurst frames, copies each into a pool frame and hands it to the Ethernet
// driver (ethdrv.cc) inside a transmit batch; the slots go back to the fill
// ring after the burst. The thread sleeps in poll() only while the ring is
// empty, so no frame waits for a timer.
//
// Transmit: start_xmit copies the frame into a free slot of the socket's
// memory and queues it on the transmit ring; inside a transmit batch the ring
// is kicked (sendto) when the batch ends, outside one at once. Slots come
// back through the completion ring, and count as sent then. A frame longer
// than a slot or than the interface's MTU, or finding every slot in flight,
// is dropped and counted.
//
// The program sees a frame as the interface received it, tags included; the
// kernel drops one longer than a slot (rx_length_errors here, from the
// socket's statistics). Frames from a veth peer with checksum offload carry
// the pseudo-header sum where the checksum goes, and XDP does not say so:
// such a frame is recognised by that sum and finished.
#include "linecard/afxdp.h"

#include "linecard/afxdp_host.h"
#include "linecard/linecard.h"

#include "kernel/netdevice.h"
#include "kernel/printk.h"
#include "kernel/skbuff.h"

#include <poll.h>

#include <mutex>

namespace {

constexpr unsigned kRxBurst = 256;
// How often the receive thread, idle, reads the socket's drop counters and
// checks that the interface still exists (the socket reports nothing when it
// goes). Not at every pause in the traffic: that is a system call per wake-up.
constexpr int kIdleCheckMs = 100;
// Bursts between reads of the socket's drop counters under load.
constexpr unsigned kStatsEvery = 64;

} // namespace

struct lc_xdp_port {
    std::string name;
    lc_xsk *xsk = nullptr;
    lc_xsk_info info;
    struct net_device *dev = nullptr;
    std::mutex tx_lock; // any thread may transmit
    bool tx_closed = false;
    bool warned_tx = false;
};

namespace {

u16 get_be16(const u8 *p) {
    return u16(p[0] << 8 | p[1]);
}

u32 sum16(u32 sum, const u8 *p, size_t len) {
    for (size_t i = 0; i + 1 < len; i += 2)
        sum += u32(p[i]) << 8 | p[i + 1];
    return sum;
}

u16 fold(u32 sum) {
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return u16(sum);
}

// Whether the TCP or UDP checksum field of the frame holds only the
// pseudo-header sum, as a sender with checksum offload leaves it. A frame
// whose checksum is merely wrong keeps it: the node forwards what it got.
bool csum_partial(const u8 *f, size_t len) {
    size_t off = 2 * ETH_ALEN;
    if (len < off + 2)
        return false;
    u16 type = get_be16(f + off);
    for (int tags = 0; tags < 2 && (type == ETH_P_8021Q || type == ETH_P_8021AD); tags++) {
        off += VLAN_HLEN;
        if (len < off + 2)
            return false;
        type = get_be16(f + off);
    }
    off += 2;
    u32 sum = 0;
    u8 proto;
    size_t l4, l4_len;
    if (type == ETH_P_IP) {
        if (len < off + 20)
            return false;
        const u8 *ip = f + off;
        size_t ihl = size_t(ip[0] & 0xf) * 4;
        size_t total = get_be16(ip + 2);
        if ((ip[0] >> 4) != 4 || ihl < 20 || total < ihl || len < off + total ||
            (get_be16(ip + 6) & 0x1fff))
            return false;
        proto = ip[9];
        l4 = off + ihl;
        l4_len = total - ihl;
        sum = sum16(sum, ip + 12, 8);
    } else if (type == ETH_P_IPV6) {
        if (len < off + 40)
            return false;
        const u8 *ip = f + off;
        proto = ip[6];
        l4 = off + 40;
        l4_len = get_be16(ip + 4);
        if (len < l4 + l4_len)
            return false;
        sum = sum16(sum, ip + 8, 32);
    } else {
        return false;
    }
    size_t field = proto == 6 ? 16 : proto == 17 ? 6 : 0;
    if (!field || l4_len < field + 2)
        return false;
    u16 have = get_be16(f + l4 + field);
    if (proto == 17 && have == 0) // UDP without a checksum
        return false;
    sum += proto + u32(l4_len >> 16) + u32(l4_len & 0xffff);
    u16 pseudo = fold(sum);
    if (have != pseudo && !(pseudo == 0xffff && have == 0))
        return false;
    // The same sum may be a finished checksum by chance: then it verifies.
    return fold(sum16(sum, f + l4, l4_len) + (l4_len & 1 ? u32(f[l4 + l4_len - 1]) << 8 : 0)) !=
           0xffff;
}

void rx_one(lc_xdp_port *x, const lc_xsk_frame &fr) {
    struct net_device *dev = x->dev;
    // A port that is down receives nothing, as a NIC that is closed.
    if (!(__atomic_load_n(&dev->flags, __ATOMIC_RELAXED) & IFF_UP))
        return;
    if (fr.len < ETH_HLEN) {
        DEV_STATS_INC(dev, rx_length_errors);
        DEV_STATS_INC(dev, rx_errors);
        return;
    }
    struct sk_buff *skb = netdev_alloc_skb(dev, fr.len);
    if (!skb) {
        DEV_STATS_INC(dev, rx_dropped);
        return;
    }
    u8 *out = static_cast<u8 *>(skb_put(skb, fr.len));
    memcpy(out, fr.data, fr.len);
    if (csum_partial(out, fr.len))
        linecard_csum_fill(out, fr.len);
    skb_reset_mac_header(skb);
    linecard_ethdrv_rx(dev, skb);
}

void rx_drops(lc_xdp_port *x) {
    u64 too_long = 0, full = 0;
    lc_xsk_rx_drops(x->xsk, &too_long, &full);
    DEV_STATS_ADD(x->dev, rx_length_errors, too_long);
    DEV_STATS_ADD(x->dev, rx_missed_errors, full);
    DEV_STATS_ADD(x->dev, rx_errors, too_long + full);
}

void tx_flush_locked(lc_xdp_port *x) {
    u64 bytes = 0;
    int err = 0;
    unsigned sent = lc_xsk_tx_flush(x->xsk, &bytes, &err);
    DEV_STATS_ADD(x->dev, tx_packets, sent);
    DEV_STATS_ADD(x->dev, tx_bytes, bytes);
    if (err && !x->warned_tx) {
        x->warned_tx = true;
        pr_warn("linecard: %s: host did not take every frame (%d); they go at the next kick\n",
                x->name.c_str(), err);
    }
}

netdev_tx_t xdp_xmit(struct sk_buff *skb, struct net_device *dev) {
    auto *x = static_cast<lc_xdp_port *>(dev->rte_backend);
    // Asked before the ring lock: the batch's end takes it to flush.
    const bool later = rte_xmit_batch_defer(dev);
    const size_t len = skb->len;
    std::lock_guard<std::mutex> g(x->tx_lock);
    u8 *slot = nullptr;
    if (!x->tx_closed && len >= ETH_HLEN && len <= LC_XSK_FRAME_SIZE &&
        len <= size_t(dev->mtu) + ETH_HLEN + VLAN_HLEN) {
        slot = lc_xsk_tx_slot(x->xsk);
        if (!slot) {
            tx_flush_locked(x);
            slot = lc_xsk_tx_slot(x->xsk);
        }
    }
    if (!slot) {
        DEV_STATS_INC(dev, tx_dropped);
    } else {
        memcpy(slot, skb->data, len);
        lc_xsk_tx_queue(x->xsk, u32(len));
        if (!later)
            tx_flush_locked(x);
    }
    kfree_skb(skb);
    return NETDEV_TX_OK;
}

void xdp_xmit_flush(struct net_device *dev) {
    auto *x = static_cast<lc_xdp_port *>(dev->rte_backend);
    std::lock_guard<std::mutex> g(x->tx_lock);
    if (!x->tx_closed)
        tx_flush_locked(x);
}

const struct net_device_ops xdp_ops = {
    .ndo_start_xmit = xdp_xmit,
    .ndo_xmit_flush = xdp_xmit_flush,
};

} // namespace

int lc_xdp_port_open(const char *ifname, struct net_device *dev, lc_xdp_port **out,
                     std::string *how) {
    auto *x = new lc_xdp_port;
    x->name = ifname;
    x->dev = dev;
    std::string note;
    int err = lc_xsk_open(ifname, &x->xsk, &x->info, &note);
    if (err) {
        *how = note;
        delete x;
        return err;
    }
    memcpy(dev->dev_addr, x->info.mac, ETH_ALEN);
    if (x->info.mtu)
        dev->mtu = x->info.mtu;
    dev->netdev_ops = &xdp_ops;
    dev->rte_backend = x;
    *how = x->info.native ? "native" : "generic";
    if (x->info.zerocopy)
        *how += ", zero-copy";
    if (!note.empty())
        *how += "; " + note;
    *out = x;
    return 0;
}

int lc_xdp_port_run(lc_xdp_port *x, int stop_fd) {
    lc_xsk_frame burst[kRxBurst];
    unsigned bursts = 0;
    while (true) {
        unsigned n = lc_xsk_rx_peek(x->xsk, burst, kRxBurst);
        if (n) {
            // What the burst causes, frames sent on this thread and wake-ups
            // of the threads they are handed to, happens when it is done.
            rte_xmit_batch_begin();
            for (unsigned i = 0; i < n; i++)
                rx_one(x, burst[i]);
            rte_xmit_batch_end();
            lc_xsk_rx_release(x->xsk, n);
            if (++bursts % kStatsEvery == 0)
                rx_drops(x);
            continue;
        }
        struct pollfd pfd[2] = {{lc_xsk_fd(x->xsk), POLLIN, 0}, {stop_fd, POLLIN, 0}};
        int rc = poll(pfd, 2, kIdleCheckMs);
        if (rc < 0 && errno != EINTR) {
            pr_err("linecard: %s: receive stopped: poll: %d\n", x->name.c_str(), -errno);
            return -errno;
        }
        if (pfd[1].revents)
            return 0;
        if (rc == 0) {
            rx_drops(x);
            if (!lc_xsk_exists(x->xsk))
                return -ENODEV;
        }
    }
}

void lc_xdp_port_close(lc_xdp_port *x) {
    {
        // A late transmission finds the port closed rather than a closed socket.
        std::lock_guard<std::mutex> g(x->tx_lock);
        tx_flush_locked(x);
        x->tx_closed = true;
    }
    lc_xsk_close(x->xsk);
    x->xsk = nullptr;
}

void lc_xdp_port_free(lc_xdp_port *x) {
    delete x;
}
