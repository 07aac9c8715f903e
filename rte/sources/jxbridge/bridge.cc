// Bridges, and the physical memory map debugging facility.
#include "jxbridge.h"

static const char *const bridge_file = "rte/sources/jxbridge/bridge.cc";

// Bridge devices.

static int jxbridge_dev_open(struct net_device *dev)
{
    netif_start_queue(dev);
    return 0;
}

static int jxbridge_dev_stop(struct net_device *dev)
{
    netif_stop_queue(dev);
    return 0;
}

static netdev_tx_t jxbridge_dev_xmit(struct sk_buff *skb, struct net_device *dev)
{
    struct jxbridge *br = (struct jxbridge *)netdev_priv(dev);
    br->stats.tx_dropped++;
    kfree_skb(skb);
    return NETDEV_TX_OK;
}

static struct net_device_stats *jxbridge_dev_get_stats(struct net_device *dev)
{
    return &((struct jxbridge *)netdev_priv(dev))->stats;
}

static const struct net_device_ops jxbridge_netdev_ops = {
    .ndo_open = jxbridge_dev_open,
    .ndo_stop = jxbridge_dev_stop,
    .ndo_start_xmit = jxbridge_dev_xmit,
    .ndo_get_stats = jxbridge_dev_get_stats,
};

static void jxbridge_dev_setup(struct net_device *dev)
{
    ether_setup(dev);
    dev->netdev_ops = &jxbridge_netdev_ops;
    dev->priv_flags |= IFF_EBRIDGE;
}

struct jxbridge *jxbridge_find(const char *name)
{
    struct net_device *dev = __dev_get_by_name(&init_net, name);
    if (!dev || !(dev->priv_flags & IFF_EBRIDGE))
        return nullptr;
    return (struct jxbridge *)netdev_priv(dev);
}

// Undoes creation from whatever point it reached; every step checks its own
// field, so the same path serves a failed creation and a deletion.
static void jxbridge_destroy(struct jxbridge *br)
{
    if (br->proc_dir) {
        // Operations in progress on the bridge's files may be waiting for
        // jxbridge_lock: they must be able to finish before the entries go.
        bool held = mutex_is_owner(&jxbridge_lock);
        if (held)
            mutex_unlock(&jxbridge_lock);
        proc_remove(br->proc_dir);
        if (held)
            mutex_lock(&jxbridge_lock);
        br->proc_dir = nullptr;
        if (debug)
            printk(KERN_INFO "[Bridge] /proc/%s/%s removed.\n", JXBRIDGE_PROC_ROOT, br->dev->name);
    }
    kfree(br->bll_map);
    br->bll_map = nullptr;
    jxbridge_timer_pool_stop(br);
    struct net_device *dev = br->dev;
    if (dev->reg_state == NETREG_REGISTERED) {
        rtnl_lock();
        unregister_netdevice(dev);
        rtnl_unlock();
    }
    kfree(br->ports);
    br->ports = nullptr;
    free_netdev(dev);
}

int jxbridge_add(const char *name, int max_ports)
{
    if (debug)
        printk(KERN_INFO "[Bridge] %s('%s', max_ports=%d)\n", __func__, name, max_ports);
    if (!*name || strlen(name) > IFNAMSIZ - 1)
        return -EINVAL;
    if (max_ports <= 0 || max_ports >= 0xFFFF)
        return -ERANGE;
    if (__dev_get_by_name(&init_net, name)) {
        if (debug)
            printk(KERN_INFO "[Bridge]   Bridge already exists.\n");
        return -EEXIST;
    }
    struct net_device *dev =
        alloc_netdev(sizeof(struct jxbridge), name, NET_NAME_USER, jxbridge_dev_setup);
    if (!dev)
        return -ENOMEM;
    if (strchr(name, '%') && dev_alloc_name(dev, name) < 0) {
        printk(KERN_ERR "[%s] dev_alloc_name() failed.\n", name);
        free_netdev(dev);
        return -ENOMEM;
    }
    struct jxbridge *br = (struct jxbridge *)netdev_priv(dev);
    br->dev = dev;
    br->max_ports = (u32)max_ports;
    mutex_init(&br->timer_pool.slots_lock);
    int rc = -ENOMEM;
    if (jxbridge_timer_pool_start(br))
        goto fail;
    br->ports = (struct jxbridge_port **)jxbridge_zalloc(sizeof(*br->ports) * max_ports);
    if (!br->ports)
        goto fail;
    printk(KERN_INFO "[%s] Create new bridge %s. Max %d switched ports, port space at %p.\n",
           dev->name, dev->name, max_ports, (void *)br->ports);
    rtnl_lock();
    rc = register_netdevice(dev);
    rtnl_unlock();
    if (rc)
        goto fail;
    br->proc_dir = proc_mkdir(dev->name, jxbridge_proc_root);
    if (!br->proc_dir) {
        rc = -ENOMEM;
        goto fail;
    }
    br->err_disable_enabled = 1;
    br->err_recovery_time = 300;
    br->err_disable_mask = 0;
    br->err_recovery_mask = 0;
    br->bll_map = (s32 *)jxbridge_zalloc(sizeof(s32) * JXBRIDGE_BLL_MAP_SIZE);
    if (!br->bll_map) {
        rc = -ENOMEM;
        goto fail;
    }
    for (int i = 0; i < JXBRIDGE_BLL_MAP_SIZE; i++)
        br->bll_map[i] = -1;
    if (jxbridge_qman_force_stop_dequeues() == 0)
        printk(KERN_INFO "[Bridge/%s] jxbridge_qman_force_stop_dequeues\n", dev->name);
    else
        printk(KERN_INFO "[Bridge/%s] jxbridge_qman_force_stop_dequeues failure\n", dev->name);
    printk(KERN_INFO "[%s] Created %p.\n", dev->name, (void *)br);
    return 0;
fail:
    jxbridge_destroy(br);
    return rc;
}

int jxbridge_del(const char *name)
{
    struct net_device *dev = __dev_get_by_name(&init_net, name);
    if (!dev)
        return -ENXIO;
    if (!(dev->priv_flags & IFF_EBRIDGE))
        return -EPERM;
    if (dev->flags & IFF_UP)
        return -EBUSY;
    jxbridge_destroy((struct jxbridge *)netdev_priv(dev));
    return 0;
}

void jxbridge_cleanup()
{
    if (debug)
        printk(KERN_INFO "[Bridge] jxbridge_cleanup()\n");
    for (struct net_device *dev : rte_netdev_list()) {
        if (!(dev->priv_flags & IFF_EBRIDGE))
            continue;
        if (dev->flags & IFF_UP) {
            rtnl_lock();
            dev_close(dev);
            rtnl_unlock();
        }
        jxbridge_destroy((struct jxbridge *)netdev_priv(dev));
    }
}

// Memory maps: windows onto the line card's physical memory for peeking and
// poking registers. Guarded by jxbridge_lock.

struct jxbridge_map {
    struct jxbridge_map *next;
    u64 addr;
    u32 len;
    u8 __iomem *virt;
};
static struct jxbridge_map *jxbridge_maps;

int jxbridge_map_add(phys_addr_t addr, u32 len)
{
    for (struct jxbridge_map *e = jxbridge_maps; e; e = e->next) {
        if (e->addr <= addr && addr < e->addr + e->len) {
            printk(KERN_ERR
                   "%s:%d Attempt to map %u bytes at %p failed due to overlap with %u bytes at %p "
                   "mapped to %p.\n",
                   bridge_file, __LINE__, len, (void *)addr, e->len, (void *)e->addr,
                   (void *)e->virt);
            return -ENOSPC;
        }
    }
    u8 __iomem *virt = (u8 __iomem *)ioremap(addr, len);
    if (!virt) {
        printk(KERN_ERR "%s:%d Failed to map %u bytes at %p.\n", bridge_file, __LINE__, len,
               (void *)addr);
        return -1;
    }
    auto *e = (struct jxbridge_map *)jxbridge_zalloc(sizeof(struct jxbridge_map));
    if (!e) {
        iounmap(virt);
        return -ENOMEM;
    }
    e->addr = addr;
    e->len = len;
    e->virt = virt;
    e->next = jxbridge_maps;
    jxbridge_maps = e;
    return 0;
}

static struct jxbridge_map *jxbridge_map_find(phys_addr_t addr)
{
    for (struct jxbridge_map *e = jxbridge_maps; e; e = e->next)
        if (e->addr == addr)
            return e;
    return nullptr;
}

int jxbridge_map_del(phys_addr_t addr)
{
    for (struct jxbridge_map **pp = &jxbridge_maps; *pp; pp = &(*pp)->next) {
        if ((*pp)->addr != addr)
            continue;
        struct jxbridge_map *e = *pp;
        *pp = e->next;
        iounmap(e->virt);
        kfree(e);
        return 0;
    }
    return -ENOENT;
}

int jxbridge_map_read(phys_addr_t addr, u32 offs, u8 *value)
{
    struct jxbridge_map *e = jxbridge_map_find(addr);
    if (!e)
        return -ENOENT;
    if (offs >= e->len)
        return -ENOSPC;
    *value = ioread8(e->virt + offs);
    return 0;
}

int jxbridge_map_write(phys_addr_t addr, u32 offs, u8 value)
{
    struct jxbridge_map *e = jxbridge_map_find(addr);
    if (!e)
        return -ENOENT;
    if (offs >= e->len)
        return -ENOSPC;
    iowrite8(value, e->virt + offs);
    return 0;
}

void jxbridge_map_show(struct seq_file *m)
{
    for (struct jxbridge_map *e = jxbridge_maps; e; e = e->next)
        seq_printf(m, "%p (%u bytes) --> %p\n", (void *)e->addr, e->len, (void *)e->virt);
}

void jxbridge_map_clear()
{
    while (jxbridge_maps)
        jxbridge_map_del(jxbridge_maps->addr);
}
