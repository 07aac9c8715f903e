// Bound interfaces: a Linux interface (veth, TAP, a NIC) driven as a line-card
// Ethernet port of the same name.
//
// Receive: an AF_PACKET socket with a TPACKET_V2 ring, one slot per frame,
// drained by one thread per port, which copies each frame into a pool frame,
// hands it to the Ethernet driver (ethdrv.cc) and gives the slot back at once.
// The thread sleeps in poll() only when the ring is empty, and the host wakes
// it for the next frame that lands, so no frame waits for a timer; the ready
// frames are handled in transmit batches of up to kRxBurst. Why this, from
// measurements over veth (bench/veth_forward.sh):
// - TPACKET_V3 hands a block over only when it fills or its time-out expires
//   (1 ms at the least, a jiffy in practice): an idle ping through the node
//   took 2-4 ms, where the Linux bridge takes tens of microseconds. With V2 it
//   takes within 30 us of the bridge at the median. V2 delivers as much at
//   full rate for the same CPU per frame: under load the thread finds frames
//   waiting and does not sleep, and the host wakes only a sleeper.
// - Busy polling (spinning before poll(), SO_BUSY_POLL) cannot help an idle
//   ping, whose reply comes in on the other port 10 ms after the last frame,
//   and it burns a core shared with the rest of the host; veth has no NAPI
//   context to busy-poll with GRO off.
// - The thread runs SCHED_FIFO when the node allows real time, as the line
//   card's NIC receives in interrupt context: at normal priority, on a busy
//   host, a woken thread waited out other tasks' time slices, and the ping's
//   99th percentile rose from under 0.4 ms to 1-4 ms in some runs.
//
// Transmit: a TPACKET_V3 transmit ring on a second socket (a socket's rings
// share one version) that receives nothing, bypassing the host's qdisc.
// start_xmit copies the frame into a slot; inside a transmit batch the slots
// are handed to the host (one send()) when the batch ends, outside one at once.
// A full ring is flushed and the slot tried once more; what the host did not
// take by the end of a flush (device down, its queue full) is taken back and
// counted tx_dropped, so no frame is sent late. A frame longer than a slot or
// than the interface's MTU goes by send() on a third, ringless socket after
// the ring is flushed, which keeps the order; the host refuses one above the
// MTU (tx_dropped), and a runt is dropped here.
// tx_packets and tx_bytes count what the host took. Every frame is consumed.
//
// The bridge must see frames as a line-card driver delivers them, so the host's
// receive-side shortcuts are undone or switched off:
// - a VLAN tag the host stripped into the ring's metadata is put back;
// - checksums the host left unfinished (PACKET_VNET_HDR's NEEDS_CSUM, or
//   TP_STATUS_CSUMNOTREADY without it) are completed;
// - GRO and LRO are switched off on the interface; a merged frame that still
//   arrives (a veth peer sending with TSO/GSO on) is dropped and counted in
//   rx_length_errors, as a NIC drops an over-long frame; so is a frame longer
//   than a receive slot (a jumbo MTU), which the host cuts to the slot;
// - frames the node itself sent are not received back (PACKET_IGNORE_OUTGOING).
//
// What binding does to the host interface: it is set up, put in promiscuous
// mode (a socket membership, gone with the socket) and GRO/LRO are switched
// off (restored at unbind); its link is watched, and the port's line follows
// its carrier (phy.cc). The host stack still sees every frame, so the
// interface must carry no IP address, or the host answers beside the node.
//
// When the interface goes away, the port's device is unregistered
// (NETDEV_UNREGISTER reaches the bridge) and the port is reaped at the next
// bind, unbind or unbind_all.
//
// Binding chooses the driver: AF_XDP (afxdp.cc) where the kernel allows it,
// this one otherwise; both share the bookkeeping here.
#include "linecard/engine.h"
#include "linecard/linecard.h"

#include "linecard/afpacket_host.h"
#include "linecard/afxdp.h"

#include "kernel/netdevice.h"
#include "kernel/printk.h"
#include "kernel/sched.h"
#include "kernel/skbuff.h"
#include "kernel/sync.h"

#include <endian.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// <linux/virtio_net.h> brings the host's struct ethhdr, which the kernel
// layer defines itself; the header's layout is a stable ABI.
struct virtio_net_hdr {
    u8 flags;
    u8 gso_type;
    u16 hdr_len;
    u16 gso_size;
    u16 csum_start;
    u16 csum_offset;
};
static_assert(sizeof(virtio_net_hdr) == 10);
constexpr u8 kVnetNeedsCsum = 1;
constexpr u8 kVnetGsoNone = 0;

// How often a port whose interface is down checks that it still exists.
constexpr int kDownCheckMs = 500;

// Frames handled in one batch: a full ring holds thousands, more than the
// queue of a thread they are handed to takes.
constexpr u32 kRxBurst = 256;

struct lc_port {
    std::string name;
    lc_host host;
    lc_xdp_port *xdp = nullptr; // bound through AF_XDP instead of the ring
    int stop_fd = -1;
    struct net_device *dev = nullptr;
    std::thread rx;
    bool warned_merged = false;
    // Transmit ring state, under tx_lock: any thread may transmit.
    std::mutex tx_lock;
    unsigned tx_head = 0;    // the next slot to fill
    unsigned tx_pending = 0; // slots filled since the last flush
    u64 tx_pending_bytes = 0;
    bool tx_closed = false;
    bool warned_tx = false;
};

std::mutex ports_lock;
std::map<std::string, lc_port *> ports;
std::vector<lc_port *> gone_ports; // interface vanished; device already unregistered

u32 csum_add(u32 sum, const u8 *data, size_t len) {
    for (size_t i = 0; i + 1 < len; i += 2)
        sum += u32(data[i]) << 8 | data[i + 1];
    if (len & 1)
        sum += u32(data[len - 1]) << 8;
    return sum;
}

u16 csum_fold(u32 sum) {
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return u16(sum);
}

void put_be16(u8 *p, u16 v) {
    p[0] = u8(v >> 8);
    p[1] = u8(v);
}

u16 get_be16(const u8 *p) {
    return u16(p[0] << 8 | p[1]);
}

} // namespace

size_t linecard_vlan_restore(u8 *dst, size_t cap, const u8 *src, size_t len, u16 tpid, u16 tci) {
    if (len < 2 * ETH_ALEN || cap < len + VLAN_HLEN)
        return 0;
    memcpy(dst, src, 2 * ETH_ALEN);
    put_be16(dst + 2 * ETH_ALEN, tpid);
    put_be16(dst + 2 * ETH_ALEN + 2, tci);
    memcpy(dst + 2 * ETH_ALEN + VLAN_HLEN, src + 2 * ETH_ALEN, len - 2 * ETH_ALEN);
    return len + VLAN_HLEN;
}

int linecard_csum_complete(u8 *frame, size_t len, size_t start, size_t offset) {
    if (start > len || offset > len - start || len - start - offset < 2)
        return -EINVAL;
    u16 sum = csum_fold(csum_add(0, frame + start, len - start));
    u16 res = u16(~sum);
    // Zero means "no checksum" to UDP; one's complement has another zero.
    put_be16(frame + start + offset, res ? res : 0xffff);
    return 0;
}

int linecard_csum_fill(u8 *frame, size_t len) {
    size_t off = 2 * ETH_ALEN;
    if (len < off + 2)
        return -EINVAL;
    u16 type = get_be16(frame + off);
    for (int tags = 0; tags < 2 && (type == ETH_P_8021Q || type == ETH_P_8021AD); tags++) {
        off += VLAN_HLEN;
        if (len < off + 2)
            return -EINVAL;
        type = get_be16(frame + off);
    }
    off += 2;
    u32 sum = 0;
    u8 proto;
    size_t l4, l4_len;
    if (type == ETH_P_IP) {
        if (len < off + 20)
            return -EINVAL;
        const u8 *ip = frame + off;
        size_t ihl = size_t(ip[0] & 0xf) * 4;
        size_t total = get_be16(ip + 2);
        if ((ip[0] >> 4) != 4 || ihl < 20 || total < ihl || len < off + total)
            return -EINVAL;
        // Fragments after the first carry no L4 header.
        if (get_be16(ip + 6) & 0x1fff)
            return -EPROTONOSUPPORT;
        proto = ip[9];
        l4 = off + ihl;
        l4_len = total - ihl;
        sum = csum_add(sum, ip + 12, 8);
    } else if (type == ETH_P_IPV6) {
        if (len < off + 40)
            return -EINVAL;
        const u8 *ip = frame + off;
        proto = ip[6];
        l4 = off + 40;
        l4_len = get_be16(ip + 4);
        if (len < l4 + l4_len)
            return -EINVAL;
        sum = csum_add(sum, ip + 8, 32);
    } else {
        return -EPROTONOSUPPORT;
    }
    size_t field;
    if (proto == 6)
        field = 16;
    else if (proto == 17)
        field = 6;
    else
        return -EPROTONOSUPPORT;
    if (l4_len < field + 2)
        return -EINVAL;
    sum += proto;
    sum += u32(l4_len >> 16) + u32(l4_len & 0xffff);
    put_be16(frame + l4 + field, 0);
    sum = csum_add(sum, frame + l4, l4_len);
    u16 res = u16(~csum_fold(sum));
    put_be16(frame + l4 + field, res ? res : 0xffff);
    return 0;
}

namespace {

tpacket3_hdr *tx_slot(lc_port *p, unsigned i) {
    return reinterpret_cast<tpacket3_hdr *>(p->host.tx_ring + size_t(i) * LC_FRAME_SIZE);
}

// Slots the host still holds (queued, or sent and not yet released).
bool tx_slot_busy(const tpacket3_hdr *h) {
    u32 st = __atomic_load_n(&h->tp_status, __ATOMIC_ACQUIRE);
    return st & (TP_STATUS_SEND_REQUEST | TP_STATUS_SENDING | TP_STATUS_WRONG_FORMAT);
}

size_t tx_vnet_len(const lc_port *p) {
    return p->host.vnet ? sizeof(virtio_net_hdr) : 0;
}

// Hands the filled slots to the host. It takes them in order and stops at the
// first it cannot send, so those not taken are the last ones filled: they are
// given back and counted dropped, and the next frame goes where the host will
// look next.
void tx_flush_locked(lc_port *p) {
    if (!p->tx_pending)
        return;
    int err = 0;
    if (send(p->host.tx_fd, nullptr, 0, MSG_DONTWAIT) < 0)
        err = errno;
    unsigned left = 0;
    u64 left_bytes = 0;
    unsigned i = p->tx_head;
    while (left < p->tx_pending) {
        unsigned prev = (i + LC_TX_FRAME_NR - 1) % LC_TX_FRAME_NR;
        tpacket3_hdr *h = tx_slot(p, prev);
        u32 st = __atomic_load_n(&h->tp_status, __ATOMIC_ACQUIRE);
        if (!(st & (TP_STATUS_SEND_REQUEST | TP_STATUS_WRONG_FORMAT)))
            break;
        left_bytes += h->tp_len - tx_vnet_len(p);
        __atomic_store_n(&h->tp_status, u32(TP_STATUS_AVAILABLE), __ATOMIC_RELEASE);
        left++;
        i = prev;
    }
    struct net_device *dev = p->dev;
    p->tx_head = i;
    DEV_STATS_ADD(dev, tx_packets, p->tx_pending - left);
    DEV_STATS_ADD(dev, tx_bytes, p->tx_pending_bytes - left_bytes);
    DEV_STATS_ADD(dev, tx_dropped, left);
    p->tx_pending = 0;
    p->tx_pending_bytes = 0;
    if (left && !p->warned_tx) {
        p->warned_tx = true;
        pr_warn("linecard: %s: host did not take %u frame(s) (%d), dropped\n", p->name.c_str(),
                left, -err);
    }
}

// A frame that does not fit a slot: its own socket, as one with a transmit
// ring sends nothing else.
void tx_send_locked(lc_port *p, struct sk_buff *skb) {
    struct net_device *dev = p->dev;
    if (send(p->host.long_fd, skb->data, skb->len, MSG_DONTWAIT) == ssize_t(skb->len)) {
        DEV_STATS_INC(dev, tx_packets);
        DEV_STATS_ADD(dev, tx_bytes, skb->len);
    } else {
        DEV_STATS_INC(dev, tx_dropped);
    }
}

netdev_tx_t port_xmit(struct sk_buff *skb, struct net_device *dev) {
    auto *p = static_cast<lc_port *>(dev->rte_backend);
    // Asked before the ring lock: the batch's end takes it to flush.
    const bool later = rte_xmit_batch_defer(dev);
    const size_t len = skb->len;
    const size_t room = LC_FRAME_SIZE - LC_TX_DATA_OFFSET - tx_vnet_len(p);
    std::lock_guard<std::mutex> g(p->tx_lock);
    if (p->tx_closed || len < ETH_HLEN) {
        DEV_STATS_INC(dev, tx_dropped);
    } else if (len > room || len > size_t(dev->mtu) + ETH_HLEN + VLAN_HLEN) {
        tx_flush_locked(p);
        tx_send_locked(p, skb);
    } else {
        tpacket3_hdr *h = tx_slot(p, p->tx_head);
        if (tx_slot_busy(h))
            tx_flush_locked(p);
        if (tx_slot_busy(h)) {
            DEV_STATS_INC(dev, tx_dropped);
        } else {
            u8 *out = reinterpret_cast<u8 *>(h) + LC_TX_DATA_OFFSET;
            if (p->host.vnet)
                memset(out, 0, sizeof(virtio_net_hdr));
            memcpy(out + tx_vnet_len(p), skb->data, len);
            h->tp_next_offset = 0;
            h->tp_len = u32(len + tx_vnet_len(p));
            __atomic_store_n(&h->tp_status, u32(TP_STATUS_SEND_REQUEST), __ATOMIC_RELEASE);
            p->tx_head = (p->tx_head + 1) % LC_TX_FRAME_NR;
            p->tx_pending++;
            p->tx_pending_bytes += len;
            if (!later)
                tx_flush_locked(p);
        }
    }
    kfree_skb(skb);
    return NETDEV_TX_OK;
}

void port_xmit_flush(struct net_device *dev) {
    auto *p = static_cast<lc_port *>(dev->rte_backend);
    std::lock_guard<std::mutex> g(p->tx_lock);
    tx_flush_locked(p);
}

const struct net_device_ops port_ops = {
    .ndo_start_xmit = port_xmit,
    .ndo_xmit_flush = port_xmit_flush,
};

// One frame of the ring: repaired into a pool frame and handed to the driver.
void port_rx_one(lc_port *p, const tpacket2_hdr *h) {
    struct net_device *dev = p->dev;
    const u8 *base = reinterpret_cast<const u8 *>(h);
    if (p->host.filter_outgoing) {
        auto *sll = reinterpret_cast<const sockaddr_ll *>(base + TPACKET_ALIGN(sizeof(*h)));
        if (sll->sll_pkttype == PACKET_OUTGOING)
            return;
    }
    // A port that is down receives nothing, as a NIC that is closed.
    if (!(__atomic_load_n(&dev->flags, __ATOMIC_RELAXED) & IFF_UP))
        return;
    const u8 *data = base + h->tp_mac;
    size_t len = h->tp_snaplen;
    virtio_net_hdr vh = {};
    if (p->host.vnet)
        memcpy(&vh, data - sizeof(vh), sizeof(vh));
    if (len < h->tp_len || len < ETH_HLEN || vh.gso_type != kVnetGsoNone) {
        DEV_STATS_INC(dev, rx_length_errors);
        DEV_STATS_INC(dev, rx_errors);
        if (vh.gso_type != kVnetGsoNone && !p->warned_merged) {
            p->warned_merged = true;
            pr_warn("linecard: %s: dropping merged frames (%zu bytes); switch TSO/GSO off on "
                    "the sending side\n",
                    p->name.c_str(), len);
        }
        return;
    }
    const bool tagged = h->tp_status & TP_STATUS_VLAN_VALID;
    const size_t frame_len = len + (tagged ? VLAN_HLEN : 0);
    if (frame_len > SKB_MAX_ALLOC) {
        DEV_STATS_INC(dev, rx_length_errors);
        DEV_STATS_INC(dev, rx_errors);
        return;
    }
    struct sk_buff *skb = netdev_alloc_skb(dev, frame_len);
    if (!skb) {
        DEV_STATS_INC(dev, rx_dropped);
        return;
    }
    u8 *out = static_cast<u8 *>(skb_put(skb, frame_len));
    size_t shift = 0;
    if (tagged) {
        u16 tpid = (h->tp_status & TP_STATUS_VLAN_TPID_VALID) ? h->tp_vlan_tpid : u16(ETH_P_8021Q);
        linecard_vlan_restore(out, frame_len, data, len, tpid, h->tp_vlan_tci);
        shift = VLAN_HLEN;
    } else {
        memcpy(out, data, len);
    }
    int err = 0;
    if (p->host.vnet && (vh.flags & kVnetNeedsCsum))
        err = linecard_csum_complete(out, frame_len, size_t(le16toh(vh.csum_start)) + shift,
                                     le16toh(vh.csum_offset));
    else if (!p->host.vnet && (h->tp_status & TP_STATUS_CSUMNOTREADY))
        err = linecard_csum_fill(out, frame_len);
    if (err == -EINVAL) {
        DEV_STATS_INC(dev, rx_frame_errors);
        DEV_STATS_INC(dev, rx_errors);
        kfree_skb(skb);
        return;
    }
    skb_reset_mac_header(skb);
    linecard_ethdrv_rx(dev, skb);
}

void port_unregister_gone(lc_port *p);

tpacket2_hdr *rx_slot(lc_port *p, unsigned i) {
    return reinterpret_cast<tpacket2_hdr *>(p->host.ring + size_t(i) * LC_FRAME_SIZE);
}

bool rx_ready(const tpacket2_hdr *h) {
    return __atomic_load_n(&h->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER;
}

void port_rx_main(lc_port *p) {
    lc_host_rx_thread(p->name.c_str(), rte_sched_rt_allowed());
    if (p->xdp) {
        if (lc_xdp_port_run(p->xdp, p->stop_fd) == -ENODEV)
            port_unregister_gone(p);
        return;
    }
    unsigned slot = 0;
    bool down = false;
    while (true) {
        tpacket2_hdr *h = rx_slot(p, slot);
        if (rx_ready(h)) {
            if (down) {
                down = false;
                netif_carrier_on(p->dev);
            }
            // What a burst's frames cause, frames sent on this thread and
            // wake-ups of the threads they are handed to, happens once the
            // ring is empty, or every kRxBurst frames while it is not. A slot
            // goes back as soon as its frame is copied.
            rte_xmit_batch_begin();
            for (u32 n = 0; n < kRxBurst && rx_ready(h); n++) {
                port_rx_one(p, h);
                __atomic_store_n(&h->tp_status, u32(TP_STATUS_KERNEL), __ATOMIC_RELEASE);
                slot = (slot + 1) % LC_RX_FRAME_NR;
                h = rx_slot(p, slot);
            }
            rte_xmit_batch_end();
            continue;
        }
        struct pollfd pfd[2] = {{p->host.fd, POLLIN, 0}, {p->stop_fd, POLLIN, 0}};
        int n = poll(pfd, 2, down ? kDownCheckMs : -1);
        if (n < 0 && errno != EINTR) {
            pr_err("linecard: %s: receive stopped: poll: %d\n", p->name.c_str(), -errno);
            return;
        }
        if (pfd[1].revents)
            return;
        if (pfd[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            int err = 0;
            socklen_t sl = sizeof(err);
            getsockopt(p->host.fd, SOL_SOCKET, SO_ERROR, &err, &sl);
            if (err == ENETDOWN || err == ENXIO || err == ENODEV || (pfd[0].revents & POLLNVAL)) {
                down = true;
                netif_carrier_off(p->dev);
            }
        }
        // A socket whose interface went away reports nothing more: look.
        if (down && !lc_host_exists(&p->host))
            break;
    }
    port_unregister_gone(p);
}

// The receive thread found its interface gone: the device goes now, the port
// is reaped later by a caller that can join this thread.
void port_unregister_gone(lc_port *p) {
    {
        std::lock_guard<std::mutex> g(ports_lock);
        auto it = ports.find(p->name);
        if (it == ports.end() || it->second != p)
            return; // an unbind is already taking it down
        ports.erase(it);
        gone_ports.push_back(p);
    }
    pr_info("linecard: %s: interface gone, device unregistered\n", p->name.c_str());
    unregister_netdev(p->dev);
}

void port_free(lc_port *p) {
    if (p->rx.joinable())
        p->rx.join();
    if (p->host.tx_ring) {
        // A late transmission finds the port closed rather than a closed socket.
        std::lock_guard<std::mutex> g(p->tx_lock);
        tx_flush_locked(p);
        p->tx_closed = true;
    }
    if (p->xdp)
        lc_xdp_port_close(p->xdp);
    lc_host_close(&p->host);
    if (p->stop_fd >= 0)
        close(p->stop_fd);
    if (p->dev) {
        linecard_phy_unwatch(p->dev);
        linecard_olt_detach(p->dev);
        linecard_engine_port_detach(p->dev);
        free_netdev(p->dev);
    }
    lc_xdp_port_free(p->xdp);
    delete p;
}

void reap_gone() {
    std::vector<lc_port *> gone;
    {
        std::lock_guard<std::mutex> g(ports_lock);
        gone.swap(gone_ports);
    }
    for (lc_port *p : gone)
        port_free(p);
}

// The driver of a new port: AF_XDP when asked or possible, else AF_PACKET.
int port_open_host(lc_port *p, linecard_port_driver drv, std::string *how) {
    std::string xdp;
    int err = -EOPNOTSUPP;
    if (drv != LINECARD_PORT_AFPACKET) {
        err = lc_xdp_port_open(p->name.c_str(), p->dev, &p->xdp, &xdp);
        if (!err || drv == LINECARD_PORT_XDP) {
            *how = err ? xdp : "AF_XDP (" + xdp + ")";
            return err;
        }
    }
    err = lc_host_open(p->name.c_str(), &p->host);
    if (err)
        return err;
    memcpy(p->dev->dev_addr, p->host.mac, ETH_ALEN);
    if (p->host.mtu)
        p->dev->mtu = p->host.mtu;
    *how = "AF_PACKET" + (drv == LINECARD_PORT_AUTO ? ": " + xdp : std::string());
    return 0;
}

} // namespace

int linecard_port_bind(const char *ifname, linecard_port_driver drv, std::string *how) {
    std::string used;
    if (!how)
        how = &used;
    how->clear();
    if (!ifname || !ifname[0] || strnlen(ifname, IFNAMSIZ) >= IFNAMSIZ)
        return -EINVAL;
    reap_gone();
    auto *p = new lc_port;
    p->name = ifname;
    {
        std::lock_guard<std::mutex> g(ports_lock);
        if (ports.count(p->name)) {
            delete p;
            return -EEXIST;
        }
    }
    p->dev = alloc_netdev(0, ifname, NET_NAME_USER, ether_setup);
    if (!p->dev) {
        delete p;
        return -ENOMEM;
    }
    p->dev->netdev_ops = &port_ops;
    p->dev->rte_backend = p;
    int err = port_open_host(p, drv, how);
    if (!err)
        err = linecard_engine_port_attach(p->dev);
    if (!err)
        err = linecard_olt_attach(p->dev);
    if (!err) {
        p->stop_fd = eventfd(0, EFD_CLOEXEC);
        if (p->stop_fd < 0)
            err = errno ? -errno : -EIO;
    }
    if (!err) {
        std::lock_guard<std::mutex> g(ports_lock);
        if (ports.count(p->name))
            err = -EEXIST;
        else
            ports[p->name] = p;
    }
    if (!err) {
        err = register_netdev(p->dev);
        if (!err) {
            err = linecard_phy_watch(ifname, p->dev);
            if (err)
                unregister_netdev(p->dev);
        }
        if (err) {
            std::lock_guard<std::mutex> g(ports_lock);
            ports.erase(p->name);
        }
    }
    if (err) {
        port_free(p);
        return err;
    }
    p->rx = std::thread(port_rx_main, p);
    if (p->xdp)
        pr_info("linecard: %s bound through %s\n", ifname, how->c_str());
    else
        pr_info("linecard: %s bound (host ifindex %d, %s)\n", ifname, p->host.ifindex,
                p->host.vnet ? "virtio header" : "parsed checksums");
    return 0;
}

int linecard_port_unbind(const char *ifname) {
    if (!ifname)
        return -EINVAL;
    reap_gone();
    lc_port *p = nullptr;
    {
        std::lock_guard<std::mutex> g(ports_lock);
        auto it = ports.find(ifname);
        if (it == ports.end())
            return -ENODEV;
        p = it->second;
        ports.erase(it);
    }
    u64 one = 1;
    if (write(p->stop_fd, &one, sizeof(one)) != sizeof(one))
        pr_err("linecard: %s: cannot stop the receive thread\n", p->name.c_str());
    p->rx.join();
    unregister_netdev(p->dev);
    port_free(p);
    return 0;
}

void linecard_port_unbind_all() {
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> g(ports_lock);
        for (const auto &entry : ports)
            names.push_back(entry.first);
    }
    for (const std::string &n : names)
        linecard_port_unbind(n.c_str());
    reap_gone();
}
