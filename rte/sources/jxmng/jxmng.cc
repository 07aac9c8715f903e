// Management devices: plain Ethernet devices through which the node's own
// stack talks to a bridge as a port of kind "local". What the host sends on
// one enters the bridge as received on that port; what the bridge forwards
// to the port goes up the host's stack. IGMP and the protocol filters make
// their filter devices here too.
//
// The module keeps no list of its devices: it finds them by name, and tells
// its own from others' by a mark in the private area.
#include "jxmng/jxmng.h"
#include "jxmng/jxmng_ioctl.h"

#include "jxbridge/jxbridge_export.h"
#include "kernel/module.h"
#include "kernel/netdevice.h"
#include "kernel/printk.h"
#include "kernel/proc_fs.h"
#include "kernel/skbuff.h"
#include "kernel/sync.h"
#include "kernel/uaccess.h"

int jxmng_debug = 0;
// The parameter is "debug"; the variable keeps the module's prefix.
static rte_param_reg jxmng_debug_param(KBUILD_MODNAME, "debug", rte_param_type::int_, &jxmng_debug,
                                       0644);

#define MNG_PRIV_SIZE 184
#define MNG_MAGIC 0x6d6e6730u // "mng0"
struct mng_priv {
    u32 magic;
};
static_assert(sizeof(struct mng_priv) <= MNG_PRIV_SIZE);

static struct proc_dir_entry *mng_proc_dir;

static bool mng_is_ours(struct net_device *dev) {
    return dev->rte_priv_size >= sizeof(struct mng_priv) &&
           ((struct mng_priv *)netdev_priv(dev))->magic == MNG_MAGIC;
}

static void mng_dump(const struct sk_buff *skb) {
    unsigned n = skb->len < 64 ? skb->len : 64;
    printk(KERN_INFO "[Mng]   %d bytes of skb->data:", (int)skb->len);
    for (unsigned i = 0; i < n; i++) {
        if (i % 16 == 0)
            printk(KERN_CONT "\n[Mng]    ");
        printk(KERN_CONT " %02x", skb->data[i]);
    }
    printk(KERN_CONT "\n");
}

// The bridge forwarded the frame to this port: up the host's stack.
static void mng_from_bridge(struct sk_buff *skb, struct net_device *dev, struct net_device *in) {
    skb_reset_mac_header(skb);
    if (jxmng_debug) {
        printk(KERN_INFO "[Mng]   %s --> BRIDGE --> %s\n", in->name, dev->name);
        mng_dump(skb);
    }
    if (!strcmp(dev->name, "ont0")) {
        if (jxmng_debug)
            printk(KERN_INFO "[Mng]   %s dst device. Ignore MN flag.\n", dev->name);
    } else {
        struct jxbridge_port *from = jxbridge_skb_get_input_jxbridge_port(skb);
        int flag = from ? jxbridge_get_port_mn_flag(from) : 1;
        if (flag == 0) {
            jxbridge_port_count_mn_drop(jxbridge_skb_get_jxbridge_port(skb));
            if (jxmng_debug)
                printk(KERN_INFO "[Mng]   MN flag %d. Drop packet.\n", flag);
            kfree_skb(skb);
            return;
        }
    }
    if (skb->len < ETH_HLEN) {
        DEV_STATS_INC(dev, rx_dropped);
        kfree_skb(skb);
        return;
    }
    const struct ethhdr *eth = eth_hdr(skb);
    if (ether_addr_equal(eth->h_dest, dev->dev_addr))
        skb->pkt_type = PACKET_HOST;
    skb->protocol = eth->h_proto;
    skb_pull(skb, ETH_HLEN);
    skb->dev = dev;
    // Counted from what was handed over: the stack owns the frame afterwards.
    unsigned len = skb->len;
    int rc = netif_rx(skb);
    if (rc == NET_RX_SUCCESS) {
        DEV_STATS_INC(dev, rx_packets);
        DEV_STATS_ADD(dev, rx_bytes, len);
    } else {
        DEV_STATS_INC(dev, rx_dropped);
        if (jxmng_debug)
            printk(KERN_INFO "[Mng]   netif_rx error %d\n", rc);
    }
}

// The host sent the frame on the device: into the bridge, as received on its port.
static void mng_from_host(struct sk_buff *skb, struct net_device *dev) {
    if (jxmng_debug)
        printk(KERN_INFO "[Mng]   %s --> BRIDGE\n", dev->name);
    skb_orphan(skb);
    if (!(dev->priv_flags & IFF_BRIDGE_PORT) || !dev->rx_handler_data) {
        if (jxmng_debug)
            printk(KERN_INFO "[Mng]   No bridge port, dropping.\n");
        DEV_STATS_INC(dev, rx_dropped);
        kfree_skb(skb);
        return;
    }
    jxbridge_frame_hook_fn hook = __atomic_load_n(&bridge_process_frame_hook, __ATOMIC_ACQUIRE);
    if (!hook || skb->len < ETH_HLEN) {
        // Nobody takes it: freed and counted rather than left to leak.
        DEV_STATS_INC(dev, tx_dropped);
        kfree_skb(skb);
        return;
    }
    skb_reset_mac_header(skb);
    skb->protocol = eth_hdr(skb)->h_proto;
    skb_pull(skb, ETH_HLEN);
    memset(skb->cb, 0, sizeof(skb->cb));
    skb->dev = dev;
    skb->skb_iif = dev->ifindex;
    unsigned len = skb->len;
    if (hook(skb)) {
        DEV_STATS_INC(dev, tx_dropped);
        return;
    }
    DEV_STATS_INC(dev, tx_packets);
    DEV_STATS_ADD(dev, tx_bytes, len);
}

static netdev_tx_t mng_start_xmit(struct sk_buff *skb, struct net_device *dev) {
    if (jxmng_debug)
        printk(KERN_INFO "[Mng] %s(skb=%p, dev=%p)\n", __func__, (void *)skb, (void *)dev);
    struct net_device *in = skb_mac_header_was_set(skb) && skb->skb_iif
                                ? __dev_get_by_index(&init_net, skb->skb_iif)
                                : nullptr;
    if (in)
        mng_from_bridge(skb, dev, in);
    else
        mng_from_host(skb, dev);
    return NETDEV_TX_OK;
}

static int mng_open(struct net_device *dev) {
    netif_start_queue(dev);
    return 0;
}

static int mng_stop(struct net_device *dev) {
    netif_stop_queue(dev);
    return 0;
}

static int mng_set_mac_address(struct net_device *dev, void *addr) {
    // A struct sockaddr: the family, then the address.
    const u8 *mac = (const u8 *)addr + sizeof(u16);
    if (!is_valid_ether_addr(mac))
        return -EADDRNOTAVAIL;
    memcpy(dev->dev_addr, mac, ETH_ALEN);
    call_netdevice_notifiers(NETDEV_CHANGEADDR, dev);
    return 0;
}

static struct net_device_stats *mng_get_stats(struct net_device *dev) {
    return &dev->stats;
}

// A locally administered address that stays the same for a name, so the
// host's neighbours keep it across restarts.
static int mng_init(struct net_device *dev) {
    u32 h = 2166136261u;
    for (const char *c = dev->name; *c; c++)
        h = (h ^ (u8)*c) * 16777619u;
    const u8 mac[ETH_ALEN] = {0x02, 0x6d, 0x67, (u8)(h >> 16), (u8)(h >> 8), (u8)h};
    memcpy(dev->dev_addr, mac, ETH_ALEN);
    ((struct mng_priv *)netdev_priv(dev))->magic = MNG_MAGIC;
    return 0;
}

static const struct net_device_ops mng_netdev_ops = {
    .ndo_init = mng_init,
    .ndo_open = mng_open,
    .ndo_stop = mng_stop,
    .ndo_start_xmit = mng_start_xmit,
    .ndo_get_stats = mng_get_stats,
    .ndo_set_mac_address = mng_set_mac_address,
};

static void mng_setup(struct net_device *dev) {
    ether_setup(dev);
    dev->netdev_ops = &mng_netdev_ops;
    dev->flags |= IFF_NOARP | IFF_PROMISC | IFF_MULTICAST;
    dev->priv_flags |= IFF_RTE_HOST_LINK;
    dev->needed_headroom = 18;
    dev->needs_free_netdev = true;
}

int mng_dev_add(const char *name) {
    // A longer name would be cut to another device's.
    if (!name || !*name || strnlen(name, IFNAMSIZ) >= IFNAMSIZ)
        return -EINVAL;
    rtnl_lock();
    if (!strchr(name, '%') && __dev_get_by_name(&init_net, name)) {
        rtnl_unlock();
        return -EEXIST;
    }
    struct net_device *dev = alloc_netdev(MNG_PRIV_SIZE, name, NET_NAME_UNKNOWN, mng_setup);
    if (!dev) {
        rtnl_unlock();
        return -ENOMEM;
    }
    int rc = strchr(name, '%') ? dev_alloc_name(dev, name) : 0;
    if (rc >= 0)
        rc = register_netdevice(dev);
    rtnl_unlock();
    if (rc < 0) {
        free_netdev(dev);
        return rc;
    }
    return 0;
}
EXPORT_SYMBOL(mng_dev_add);

int mng_dev_del(const char *name) {
    if (!name || strnlen(name, IFNAMSIZ) >= IFNAMSIZ)
        return -ENODEV;
    rtnl_lock();
    struct net_device *dev = __dev_get_by_name(&init_net, name);
    // Only the module's own devices: never a port the line card bound.
    if (!dev || !mng_is_ours(dev)) {
        rtnl_unlock();
        return -ENODEV;
    }
    if (dev_get_flags(dev) & IFF_UP) {
        rtnl_unlock();
        return -EBUSY;
    }
    unregister_netdevice(dev); // frees it
    rtnl_unlock();
    return 0;
}
EXPORT_SYMBOL(mng_dev_del);

static long mng_ioctl(struct file *, unsigned int cmd, unsigned long arg) {
    char name[JXMNG_NAME_SIZE];
    switch (cmd) {
    case JXMNG_IOCTL_DEV_ADD:
    case JXMNG_IOCTL_DEV_DEL: {
        long n = strncpy_from_user(name, (const char __user *)arg, sizeof(name));
        // No terminator within the buffer: a longer name is refused, not cut.
        if (n < 0 || n >= (long)sizeof(name))
            return -EINVAL;
        return cmd == JXMNG_IOCTL_DEV_ADD ? mng_dev_add(name) : mng_dev_del(name);
    }
    case JXMNG_IOCTL_API_VERSION: {
        if (!arg)
            return -EINVAL;
        u32 version = JXMNG_API_VERSION;
        return copy_to_user((void __user *)arg, &version, sizeof(version)) ? -EFAULT : 0;
    }
    case JXMNG_IOCTL_DEBUG:
        jxmng_debug = (int)arg;
        return 0;
    default:
        return -EINVAL;
    }
}

static const struct file_operations mng_proc_fops = {
    .unlocked_ioctl = mng_ioctl,
};

static int jxmng_init() {
    mng_proc_dir = proc_mkdir("mng", init_net.proc_net);
    if (!mng_proc_dir)
        return -ENOBUFS;
    if (!proc_create("config", S_IFREG | 0600, mng_proc_dir, &mng_proc_fops)) {
        remove_proc_entry("mng", init_net.proc_net);
        mng_proc_dir = nullptr;
        return -ENOBUFS;
    }
    if (jxmng_debug)
        printk(KERN_INFO "[Mng] Module started.\n");
    return 0;
}

// Devices still there at unload go with the module: nothing else would free them.
static void jxmng_exit() {
    remove_proc_entry("config", mng_proc_dir);
    remove_proc_entry("mng", init_net.proc_net);
    mng_proc_dir = nullptr;
    rtnl_lock();
    for (struct net_device *dev : rte_netdev_list())
        if (mng_is_ours(dev))
            unregister_netdevice(dev);
    rtnl_unlock();
    if (jxmng_debug)
        printk(KERN_INFO "[Mng] Module shutdown.\n");
}

module_init(jxmng_init);
module_exit(jxmng_exit);
