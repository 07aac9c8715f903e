// The OLT stand-in: a bound interface named as an OLT device (gpon<i>,
// xgspon<i>, dsl<i>) carries its subscribers' GEM ports. On the wire of the
// stand-in each frame says its GEM in a 4-byte tag after the two MAC
// addresses: ethertype 0x88B5 (IEEE local experimental), then the 16-bit GEM
// number. Receive strips the tag into the frame's scratch word, as the PON
// driver hands the GEM to the bridge; transmit puts it back from the GEM the
// bridge marked in the scratch word (the multicast GEM for a multicast GEM
// frame, queue/priority 0x707). A frame without the tag has no GEM: it is
// dropped and counted in rx_frame_errors.
//
// The stand-in wraps the port driver's operations (AF_PACKET, AF_XDP or a wire
// device), so a device is an OLT exactly while its operations are the wrapper.
#include "linecard/linecard.h"

#include "kernel/netdevice.h"
#include "kernel/printk.h"
#include "kernel/skbuff.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr unsigned kTagLen = 4;
constexpr unsigned kMacsLen = 2 * ETH_ALEN;

struct olt_dev {
    struct net_device_ops ops; // first: the device's operations point here
    const struct net_device_ops *inner;
};

netdev_tx_t olt_xmit(struct sk_buff *skb, struct net_device *dev);

olt_dev *olt_of(struct net_device *dev) {
    const struct net_device_ops *ops = dev ? dev->netdev_ops : nullptr;
    if (!ops || ops->ndo_start_xmit != olt_xmit)
        return nullptr;
    return reinterpret_cast<olt_dev *>(const_cast<struct net_device_ops *>(ops));
}

netdev_tx_t olt_xmit(struct sk_buff *skb, struct net_device *dev) {
    olt_dev *o = olt_of(dev);
    if (skb->len < ETH_HLEN || skb_cow_head(skb, kTagLen)) {
        DEV_STATS_INC(dev, tx_dropped);
        kfree_skb(skb);
        return NETDEV_TX_OK;
    }
    u16 gem = u16(skb->scratch & 0xFFFF);
    u8 *d = static_cast<u8 *>(skb_push(skb, kTagLen));
    memmove(d, d + kTagLen, kMacsLen);
    d[kMacsLen] = LINECARD_OLT_GEM_TYPE >> 8;
    d[kMacsLen + 1] = LINECARD_OLT_GEM_TYPE & 0xFF;
    d[kMacsLen + 2] = u8(gem >> 8);
    d[kMacsLen + 3] = u8(gem);
    netdev_tx_t rc = o->inner->ndo_start_xmit(skb, dev);
    if (rc != NETDEV_TX_OK) {
        // Refused, so still the caller's: as it was given.
        memmove(d + kTagLen, d, kMacsLen);
        skb_pull(skb, kTagLen);
    }
    return rc;
}

} // namespace

bool linecard_olt_name(const char *name) {
    static const char *const prefixes[] = {"gpon", "xgspon", "dsl"};
    for (const char *pre : prefixes) {
        size_t n = strlen(pre);
        unsigned i;
        char canon[IFNAMSIZ];
        if (strncmp(name, pre, n) || sscanf(name + n, "%u", &i) != 1)
            continue;
        snprintf(canon, sizeof(canon), "%s%u", pre, i);
        return !strcmp(canon, name);
    }
    return false;
}

int linecard_olt_attach(struct net_device *dev) {
    if (!linecard_olt_name(dev->name) || olt_of(dev))
        return 0;
    auto *o = new (std::nothrow) olt_dev;
    if (!o)
        return -ENOMEM;
    o->inner = dev->netdev_ops;
    o->ops = *dev->netdev_ops;
    o->ops.ndo_start_xmit = olt_xmit;
    dev->netdev_ops = &o->ops;
    pr_info("linecard: %s is an OLT: GEM in a 0x%04x tag\n", dev->name, LINECARD_OLT_GEM_TYPE);
    return 0;
}

void linecard_olt_detach(struct net_device *dev) {
    olt_dev *o = olt_of(dev);
    if (!o)
        return;
    dev->netdev_ops = o->inner;
    delete o;
}

bool linecard_olt_rx(struct net_device *dev, struct sk_buff *skb) {
    if (!olt_of(dev))
        return true;
    const u8 *d = skb->data;
    if (skb->len < ETH_HLEN + kTagLen || d[kMacsLen] != (LINECARD_OLT_GEM_TYPE >> 8) ||
        d[kMacsLen + 1] != (LINECARD_OLT_GEM_TYPE & 0xFF)) {
        DEV_STATS_INC(dev, rx_frame_errors);
        DEV_STATS_INC(dev, rx_errors);
        kfree_skb(skb);
        return false;
    }
    u16 gem = u16(d[kMacsLen + 2] << 8 | d[kMacsLen + 3]);
    memmove(skb->data + kTagLen, skb->data, kMacsLen);
    skb_pull(skb, kTagLen);
    skb_reset_mac_header(skb);
    skb->scratch = gem;
    skb->scratch_src = LINECARD_SCRATCH_GEM;
    return true;
}
