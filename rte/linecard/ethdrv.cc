// The line card's Ethernet driver, as the bridge sees it: an exported hook
// variable that receives every frame once a bridge is up, and the Linux stack
// of the device otherwise. The ports themselves come from afpacket.cc.
#include "linecard/engine.h"
#include "linecard/linecard.h"

#include "kernel/module.h"
#include "kernel/netdevice.h"
#include "kernel/skbuff.h"

int (*e1000e_process_frame_hook)(struct sk_buff *skb);

// The packet engine's receive path towards the host, which the bridge pauses
// while no bridge is up. Bound ports deliver to the hook or the stack either
// way, so the switch is only remembered.
static int dpaa_rx_paused;
static int dpaa_tarn_pause_linux_rx(void) {
    __atomic_store_n(&dpaa_rx_paused, 1, __ATOMIC_RELAXED);
    return 0;
}
static int dpaa_tarn_resume_linux_rx(void) {
    __atomic_store_n(&dpaa_rx_paused, 0, __ATOMIC_RELAXED);
    return 0;
}

void linecard_ethdrv_init() {
    // Found by name, as on the line card: the bridge binds it on NETDEV_UP.
    rte_symbol_add("e1000e", "e1000e_process_frame_hook", (void *)&e1000e_process_frame_hook);
    rte_symbol_add("dpaa", "dpaa_tarn_pause_linux_rx", (void *)&dpaa_tarn_pause_linux_rx);
    rte_symbol_add("dpaa", "dpaa_tarn_resume_linux_rx", (void *)&dpaa_tarn_resume_linux_rx);
}

void linecard_ethdrv_fini() {
    rte_symbol_remove("dpaa_tarn_pause_linux_rx");
    rte_symbol_remove("dpaa_tarn_resume_linux_rx");
    rte_symbol_remove("e1000e_process_frame_hook");
    __atomic_store_n(&e1000e_process_frame_hook, nullptr, __ATOMIC_RELEASE);
}

void linecard_ethdrv_rx(struct net_device *dev, struct sk_buff *skb) {
    if (!linecard_olt_rx(dev, skb) || !linecard_engine_port_rx(dev, skb))
        return;
    DEV_STATS_INC(dev, rx_packets);
    DEV_STATS_ADD(dev, rx_bytes, skb->len);
    if (is_multicast_ether_addr(skb->data))
        DEV_STATS_INC(dev, multicast);
    // The hook takes frames as the driver's NAPI path would pass them up:
    // header pulled, protocol and packet type set, device and ifindex known.
    skb->protocol = eth_type_trans(skb, dev);
    skb->skb_iif = dev->ifindex;
    skb_reset_network_header(skb);
    // The bridge rebinds the hook from its notifier while frames arrive.
    int (*hook)(struct sk_buff *) = __atomic_load_n(&e1000e_process_frame_hook, __ATOMIC_ACQUIRE);
    // Whatever the hook answers, the frame is its own now (queued, dropped
    // and freed, or handed to the stack).
    if (hook)
        hook(skb);
    else
        netif_rx(skb);
}
