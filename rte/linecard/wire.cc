// In-process wire devices (see wire.h).
#include "linecard/wire.h"

#include "linecard/engine.h"
#include "linecard/linecard.h"

#include "kernel/netdevice.h"
#include "kernel/skbuff.h"
#include "kernel/sync.h"

#include <mutex>

namespace {

struct wire_priv {
    std::mutex *lock; // guards sent; the transmit path may run on any thread
    std::vector<linecard_frame> *sent;
    bool refuse;
    bool quiet; // not recording
};

wire_priv *priv(struct net_device *dev) {
    return (wire_priv *)netdev_priv(dev);
}

netdev_tx_t wire_xmit(struct sk_buff *skb, struct net_device *dev) {
    wire_priv *w = priv(dev);
    if (__atomic_load_n(&w->refuse, __ATOMIC_RELAXED))
        return NETDEV_TX_BUSY; // the frame stays the caller's
    if (!__atomic_load_n(&w->quiet, __ATOMIC_RELAXED)) {
        std::lock_guard<std::mutex> g(*w->lock);
        w->sent->emplace_back(skb->data, skb->data + skb->len);
    }
    DEV_STATS_INC(dev, tx_packets);
    DEV_STATS_ADD(dev, tx_bytes, skb->len);
    kfree_skb(skb);
    return NETDEV_TX_OK;
}

int wire_open(struct net_device *) {
    return 0;
}

int wire_stop(struct net_device *) {
    return 0;
}

const struct net_device_ops wire_ops = {
    .ndo_open = wire_open,
    .ndo_stop = wire_stop,
    .ndo_start_xmit = wire_xmit,
};

} // namespace

struct net_device *linecard_wire_add(const char *name) {
    struct net_device *dev = alloc_netdev(sizeof(wire_priv), name, NET_NAME_USER, ether_setup);
    if (!dev)
        return nullptr;
    dev->netdev_ops = &wire_ops;
    wire_priv *w = priv(dev);
    w->lock = new std::mutex;
    w->sent = new std::vector<linecard_frame>;
    if (linecard_engine_port_attach(dev) || linecard_olt_attach(dev) || register_netdev(dev)) {
        linecard_olt_detach(dev);
        linecard_engine_port_detach(dev);
        delete w->lock;
        delete w->sent;
        free_netdev(dev);
        return nullptr;
    }
    rtnl_lock();
    dev_open(dev);
    rtnl_unlock();
    return dev;
}

void linecard_wire_del(struct net_device *dev) {
    wire_priv *w = priv(dev);
    unregister_netdev(dev);
    linecard_olt_detach(dev);
    linecard_engine_port_detach(dev);
    delete w->lock;
    delete w->sent;
    free_netdev(dev);
}

void linecard_wire_rx(struct net_device *dev, const linecard_frame &bytes) {
    struct sk_buff *skb = netdev_alloc_skb(dev, (unsigned)bytes.size() + NET_IP_ALIGN);
    if (!skb)
        return;
    skb_reserve(skb, NET_IP_ALIGN);
    u8 *data = static_cast<u8 *>(skb_put(skb, (unsigned)bytes.size()));
    if (!bytes.empty()) // an empty frame has no data pointer to copy from
        memcpy(data, bytes.data(), bytes.size());
    linecard_ethdrv_rx(dev, skb);
}

std::vector<linecard_frame> linecard_wire_take(struct net_device *dev) {
    wire_priv *w = priv(dev);
    std::lock_guard<std::mutex> g(*w->lock);
    std::vector<linecard_frame> out;
    out.swap(*w->sent);
    return out;
}

void linecard_wire_refuse(struct net_device *dev, bool on) {
    __atomic_store_n(&priv(dev)->refuse, on, __ATOMIC_RELAXED);
}

void linecard_wire_record(struct net_device *dev, bool on) {
    __atomic_store_n(&priv(dev)->quiet, !on, __ATOMIC_RELAXED);
}
