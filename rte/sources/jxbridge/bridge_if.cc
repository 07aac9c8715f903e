// The bridge's own network device.
#include "jxbridge.h"

// What the host sends to the bridge device is counted and dropped.
static int jxbridge_dev_open(struct net_device *dev) {
    if (debug)
        printk(KERN_INFO "[Bridge] jxbridge_dev_open(dev=%p)\n", (void *)dev);
    netif_start_queue(dev);
    return 0;
}

static int jxbridge_dev_stop(struct net_device *dev) {
    if (debug)
        printk(KERN_INFO "[Bridge] jxbridge_dev_stop(dev=%p)\n", (void *)dev);
    netif_stop_queue(dev);
    return 0;
}

static netdev_tx_t jxbridge_dev_xmit(struct sk_buff *skb, struct net_device *dev) {
    struct jxbridge *B = (struct jxbridge *)netdev_priv(dev);
    if (debug)
        printk(KERN_INFO "[Bridge] jxbridge_dev_xmit(skb=%p, dev=%p)\n", (void *)skb, (void *)dev);
    B->stats.rx_packets++;
    B->stats.rx_bytes += skb->len;
    kfree_skb(skb);
    return NETDEV_TX_OK;
}

static struct net_device_stats *jxbridge_dev_get_stats(struct net_device *dev) {
    return &((struct jxbridge *)netdev_priv(dev))->stats;
}

const struct net_device_ops jxbridge_dev_ops = {
    .ndo_open = jxbridge_dev_open,
    .ndo_stop = jxbridge_dev_stop,
    .ndo_start_xmit = jxbridge_dev_xmit,
    .ndo_get_stats = jxbridge_dev_get_stats,
};
