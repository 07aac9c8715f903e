// Bridges, and the physical memory map debugging facility.
#include "jxbridge.h"

static const char *const bridge_file = "rte/sources/jxbridge/bridge.cc";

static void jxbridge_dev_setup(struct net_device *dev) {
    ether_setup(dev);
    dev->netdev_ops = &jxbridge_dev_ops;
    dev->features |= NETIF_F_HW_CSUM;
    dev->flags |= IFF_PROMISC;
    dev->priv_flags = IFF_EBRIDGE;
}

struct jxbridge *jxbridge_find(const char *name) {
    struct net_device *dev = __dev_get_by_name(&init_net, name);
    if (!dev || !(dev->priv_flags & IFF_EBRIDGE))
        return nullptr;
    return (struct jxbridge *)netdev_priv(dev);
}

// Undoes creation from whatever point it reached; every step checks its own
// field, so the same path serves a failed creation and a deletion.
static void jxbridge_destroy(struct jxbridge *br) {
    lockdep_assert_held(&jxbridge_lock);
    jxbridge_q_purge(br, nullptr);
    for (u32 i = 0; br->ports && i < br->max_ports; i++)
        if (br->ports[i])
            jxbridge_del_port(br->ports[i]);
    jxbridge_subsys_fini(br);
    kfree(br->bll_map);
    br->bll_map = nullptr;
    jxbridge_timer_pool_stop(br);
    struct net_device *dev = br->dev;
    // A bridge may itself be a port of another bridge: that port goes first,
    // under the lock held here.
    if (dev->priv_flags & IFF_BRIDGE_PORT)
        jxbridge_del_ports_of_dev(dev);
    if (dev->reg_state == NETREG_REGISTERED) {
        rtnl_lock();
        unregister_netdevice(dev);
        rtnl_unlock();
    }
    kfree(br->ports);
    br->ports = nullptr;
    free_netdev(dev);
}

int jxbridge_add(const char *name, int max_ports) {
    lockdep_assert_held(&jxbridge_lock);
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
    br->bll_map = (s32 *)jxbridge_zalloc(sizeof(s32) * JXBRIDGE_BLL_MAP_SIZE);
    if (!br->bll_map)
        goto fail;
    for (int i = 0; i < JXBRIDGE_BLL_MAP_SIZE; i++)
        br->bll_map[i] = -1;
    br->err_disable_enabled = 1;
    br->err_recovery_time = 300;
    rtnl_lock();
    rc = register_netdevice(dev);
    rtnl_unlock();
    if (rc)
        goto fail;
    rc = jxbridge_subsys_init(br);
    if (rc)
        goto fail;
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

int jxbridge_del(const char *name) {
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

void jxbridge_cleanup() {
    if (debug)
        printk(KERN_INFO "[Bridge] jxbridge_cleanup()\n");
    // A bridge takes devices of its own with it (its filter devices), so the
    // list is read again after each; at most as many rounds as there were bridges.
    auto next_bridge = [] {
        for (struct net_device *dev : rte_netdev_list())
            if (dev->priv_flags & IFF_EBRIDGE)
                return dev;
        return (struct net_device *)nullptr;
    };
    size_t rounds = rte_netdev_list().size();
    for (struct net_device *dev; rounds-- && (dev = next_bridge());) {
        if (dev->flags & IFF_UP) {
            rtnl_lock();
            dev_close(dev);
            rtnl_unlock();
        }
        jxbridge_destroy((struct jxbridge *)netdev_priv(dev));
    }
}

// Ports.

const char *jxbridge_port_type2a(u32 kind) {
    static const char *const names[] = {"uplink",  "access", "access/PVC", "PON/OLT", "PON/ONU",
                                        "PON/GEM", "local",  "LAG",        "all"};
    return kind < ARRAY_SIZE(names) ? names[kind] : "unknown";
}

const char *jxbridge_state2str(u32 state) {
    static const char *const names[] = {"OK", "Error-disabled", "Korv-disabled", "ACS-disabled"};
    return state < ARRAY_SIZE(names) ? names[state] : "unknown";
}

int jxbridge_str2state(const char *text) {
    for (u32 s = 0; s <= JXBRIDGE_STATE_ACS_DISABLED; s++)
        if (text && !strcasecmp(text, jxbridge_state2str(s)))
            return (int)s;
    return -EINVAL;
}

int jxbridge_flow_event(int code, void *a1, void *a2, void *a3) {
    jxbridge_flow_event_hook_fn hook = jxbridge_flow_event_hook;
    return hook ? hook(code, a1, a2, a3) : 0;
}

int jxbridge_port_info_get(const struct jxbridge_port *port, struct jxbridge_port_info *out) {
    if (!port || !out || !port->bridge)
        return -EINVAL;
    out->dev = port->dev;
    out->bridge_ifindex = port->bridge->dev->ifindex;
    out->port_no = port->port_no;
    out->bll_port_no = port->bll_port_no;
    out->kind = port->kind;
    out->ucc = port->ucc_index;
    out->subport = port->ucc_subport;
    out->outer_ethertype = port->bridge->outer_ethertype;
    return 0;
}
EXPORT_SYMBOL(jxbridge_port_info_get);

u32 jxbridge_max_ports_get(struct jxbridge *bridge) {
    return bridge->max_ports;
}
EXPORT_SYMBOL(jxbridge_max_ports_get);

u16 jxbridge_outer_ethertype_get(struct jxbridge *bridge) {
    return bridge->outer_ethertype;
}
EXPORT_SYMBOL(jxbridge_outer_ethertype_get);

int jxbridge_input_dev_override_get(struct jxbridge *bridge) {
    return bridge->igmp_idev;
}
EXPORT_SYMBOL(jxbridge_input_dev_override_get);

struct app_filter_set *jxbridge_app_filter_set(struct jxbridge *bridge) {
    return bridge->app_filters;
}
EXPORT_SYMBOL(jxbridge_app_filter_set);

struct vlan_data *jxbridge_vlan_data(struct jxbridge *bridge) {
    return bridge->vlan;
}
EXPORT_SYMBOL(jxbridge_vlan_data);

void jxbridge_mcast_mode_set(struct jxbridge *bridge, u32 mode) {
    if (bridge->mcast_mode == mode)
        return;
    bridge->mcast_mode = mode;
    u8 record[64] = {};
    jxbridge_flow_event(JXBRIDGE_FEV_MCAST, nullptr, record);
}
EXPORT_SYMBOL(jxbridge_mcast_mode_set);

// The packet engine's subports by device name.
static bool jxbridge_subport_lookup(const char *name, u32 *subport) {
    unsigned n;
    char tail;
    if (sscanf(name, "gpon%u%c", &n, &tail) == 1 && n < 16)
        *subport = 4 + n;
    else if (sscanf(name, "xgspon%u%c", &n, &tail) == 1 && n < 16)
        *subport = 20 + n;
    else if (sscanf(name, "eth%u%c", &n, &tail) == 1 && n < 4)
        *subport = n;
    else if (!strcmp(name, "tarn0"))
        *subport = 36;
    else if (!strcmp(name, "tarn1"))
        *subport = 37;
    else
        return false;
    // "gpon01" is not "gpon1": the number must be written as the table writes it.
    char canon[IFNAMSIZ];
    const char *prefix = *subport < 4 ? "eth" : *subport < 20 ? "gpon" : "xgspon";
    if (*subport < 36) {
        snprintf(canon, sizeof(canon), "%s%u", prefix, n);
        return !strcmp(canon, name);
    }
    return true;
}

static void jxbridge_port_display_name(struct jxbridge_port *p) {
    if (p->kind == JXBRIDGE_PORT_ACCESS_PVC || p->kind == JXBRIDGE_PORT_PON_GEM) {
        if (p->pvc_vp == 0xFFFF)
            snprintf(p->display_name, sizeof(p->display_name), "%s_? (%d/%d)", p->dev->name,
                     p->port_no, p->bll_port_no);
        else
            snprintf(p->display_name, sizeof(p->display_name), "%s_%d (%d/%d)", p->dev->name,
                     p->pvc_vp, p->port_no, p->bll_port_no);
    } else {
        snprintf(p->display_name, sizeof(p->display_name), "%s (%d/%d)", p->dev->name, p->port_no,
                 p->bll_port_no);
    }
}

static u8 jxbridge_flow_byte(u32 mode) {
    return mode == JXBRIDGE_SWITCHING_NORMAL ? 224 : mode <= JXBRIDGE_SWITCHING_ACL_FW ? 255 : 0;
}

static bool jxbridge_kind_is_promisc(u32 kind) {
    return kind == JXBRIDGE_PORT_UPLINK || kind == JXBRIDGE_PORT_ACCESS ||
           kind == JXBRIDGE_PORT_ACCESS_PVC || kind == JXBRIDGE_PORT_PON_ONU ||
           kind == JXBRIDGE_PORT_LAG;
}

static bool jxbridge_kind_has_handler(u32 kind) {
    return kind == JXBRIDGE_PORT_UPLINK || kind == JXBRIDGE_PORT_ACCESS ||
           kind == JXBRIDGE_PORT_LOCAL || kind == JXBRIDGE_PORT_LAG;
}

int jxbridge_add_port_rc(struct jxbridge *B, u32 slot, u32 bll, struct net_device *dev, u32 kind,
                         struct jxbridge_port **out) {
    *out = nullptr;
    if (!B || !dev)
        return -EINVAL;
    if (debug)
        printk(KERN_INFO "[Bridge] %s(br=%s, port=%d, bll=%d, dev=%s, type=%d)\n", __func__,
               B->dev->name, (int)slot, (int)bll, dev->name, (int)kind);
    // Kinds index the per-kind counts: anything past the table is refused.
    if (kind >= JXBRIDGE_PORT_ALL)
        return -EINVAL;
    if (kind == JXBRIDGE_PORT_PON_OLT) {
        printk(KERN_INFO "%s(br=%s, port=%d, bll=%d, dev=%s, type=%d) - OLT\n", __func__,
               B->dev->name, (int)slot, (int)bll, dev->name, (int)kind);
        return jxbridge_pon_olt_add(B, dev);
    }
    if (slot != 0xFFFFFFFFu) {
        if (slot >= B->max_ports) {
            printk(KERN_INFO "[Bridge]  Port number '%d' is out of range [0-%d].\n", (int)slot,
                   (int)B->max_ports - 1);
            return -ERANGE;
        }
        if (B->ports[slot]) {
            printk(KERN_INFO "[Bridge]  Port number '%d' already in bridge '%s'.\n", (int)slot,
                   B->dev->name);
            return -EBUSY;
        }
    } else {
        u32 i = 0;
        while (i < B->max_ports && B->ports[i])
            i++;
        if (i == B->max_ports) {
            printk(KERN_INFO "[Bridge] port_no not defined, no free ports.\n");
            printk(KERN_INFO "[Bridge]   Adding interface id %d , bll_port_no= %d, with device "
                             "'%s'.\n",
                   (int)slot, (int)bll, dev->name);
            return -ENOSPC;
        }
        slot = i;
        if (debug) {
            printk(KERN_INFO "[Bridge] port_no not defined, bridge found free port no %d\n",
                   (int)slot);
            printk(KERN_INFO "[Bridge]   Adding interface id %d with device '%s'.\n", (int)slot,
                   dev->name);
        }
    }
    auto *p = (struct jxbridge_port *)jxbridge_zalloc(sizeof(struct jxbridge_port));
    if (!p)
        return -ENOMEM;
    // Shared devices (PVC, ONU, GEM) carry several ports: a refusal must
    // leave the flag as the other ports need it.
    unsigned had_flag = dev->priv_flags & IFF_BRIDGE_PORT;
    dev->priv_flags |= IFF_BRIDGE_PORT;
    dev->features |= NETIF_F_HW_VLAN_CTAG_TX | NETIF_F_HW_VLAN_CTAG_RX;
    p->bridge = B;
    p->dev = dev;
    p->kind = kind;
    p->port_no = slot;
    p->bll_port_no = bll ? bll : slot;
    p->pvc_vp = 0xFFFF;
    jxbridge_port_display_name(p);
    p->state = JXBRIDGE_STATE_OK;
    int rc = jxbridge_subsys_port_init(p);
    if (!rc && jxbridge_kind_has_handler(kind)) {
        rtnl_lock();
        rc = netdev_rx_handler_register(dev, nullptr, p);
        rtnl_unlock();
        if (rc) {
            printk(KERN_ERR "Register handler for dev %s not successful. Error %d!\n", dev->name,
                   rc);
            jxbridge_subsys_port_fini(p);
        }
    }
    if (rc) {
        dev->priv_flags = (dev->priv_flags & ~IFF_BRIDGE_PORT) | had_flag;
        kfree(p);
        return rc;
    }
    if (jxbridge_kind_is_promisc(kind)) {
        rtnl_lock();
        dev_set_promiscuity(dev, 1);
        rtnl_unlock();
        p->made_promisc = true;
    }
    if (kind == JXBRIDGE_PORT_LOCAL)
        p->phy_state = JXBRIDGE_PHY_UP;
    p->mn_flag = 1;
    bool ont0 = !strcmp(dev->name, "ont0");
    p->is_protected = kind == JXBRIDGE_PORT_LOCAL && !ont0;
    if (kind == JXBRIDGE_PORT_LOCAL) {
        if (ont0)
            B->ont0_port = p;
        else
            B->local_port = p;
    }
    if (p->bll_port_no < JXBRIDGE_BLL_MAP_SIZE)
        B->bll_map[p->bll_port_no] = (s32)slot;
    B->ports[slot] = p;
    p->mvr = 0;
    p->counters_clear_time = (u32)ktime_get_real_seconds();
    for (auto &e : p->pvc)
        e.queue = JXBRIDGE_PVC_FREE;
    p->ucc_subport = p->ucc_index = JXBRIDGE_NO_SUBPORT;
    u32 sub;
    if (kind != JXBRIDGE_PORT_PON_GEM && jxbridge_subport_lookup(dev->name, &sub)) {
        p->ucc_subport = sub;
        p->ucc_index = 0;
        if (kind == JXBRIDGE_PORT_UPLINK && sub < 4)
            B->uplinks[sub] = p;
        qos_tarn_port_add(p);
    }
    if (debug)
        printk(KERN_INFO "[Bridge]   Added %p. bll_port_no=%d\n", (void *)p, (int)p->bll_port_no);
    B->num_ports++;
    B->ports_per_kind[kind]++;
    if (B->num_ports == B->max_ports)
        jxbridge_flow_event(JXBRIDGE_FEV_PORTS_FULL, p);
    p->speed = 0;
    p->duplex = 0;
    p->flow_byte = jxbridge_flow_byte(B->switching_mode);
    if (kind != JXBRIDGE_PORT_PON_GEM)
        jxbridge_flow_event(JXBRIDGE_FEV_PORT_REEVALUATE, p);
    *out = p;
    return 0;
}

struct jxbridge_port *jxbridge_add_port(struct jxbridge *B, u32 slot, u32 bll,
                                        struct net_device *dev, u32 kind) {
    struct jxbridge_port *p;
    jxbridge_add_port_rc(B, slot, bll, dev, kind, &p);
    return p;
}
EXPORT_SYMBOL(jxbridge_add_port);

// Whether any bridge still has a port on dev: a shared device keeps its
// bridge-port flag until its last port goes.
static bool jxbridge_dev_is_port(struct net_device *dev) {
    for (struct net_device *bdev : rte_netdev_list()) {
        if (!(bdev->priv_flags & IFF_EBRIDGE))
            continue;
        struct jxbridge *B = (struct jxbridge *)netdev_priv(bdev);
        for (u32 i = 0; B->ports && i < B->max_ports; i++)
            if (B->ports[i] && B->ports[i]->dev == dev)
                return true;
    }
    return false;
}

int jxbridge_del_port(struct jxbridge_port *p) {
    if (!p) {
        printk(KERN_INFO "[Bridge]   Invalid port.\n");
        return -ENODEV;
    }
    struct jxbridge *B = p->bridge;
    if (!B) {
        printk(KERN_INFO "[Bridge]   Port not bridged.\n");
        return -EPERM;
    }
    if (p->bll_port_no < JXBRIDGE_BLL_MAP_SIZE && B->bll_map[p->bll_port_no] == (s32)p->port_no)
        B->bll_map[p->bll_port_no] = -1;
    B->ports_per_kind[p->kind]--;
    B->num_ports--;
    jxbridge_subsys_port_fini(p);
    struct net_device *dev = p->dev;
    // Nothing may keep pointing at the port once it is gone.
    for (auto &u : B->uplinks)
        if (u == p)
            u = nullptr;
    if (B->local_port == p)
        B->local_port = nullptr;
    if (B->ont0_port == p)
        B->ont0_port = nullptr;
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *o = B->ports[i];
        if (!o || o == p)
            continue;
        if (o->lag_master == p)
            o->lag_master = nullptr;
        if (o->cause_port == p)
            o->cause_port = nullptr;
        if (o->pvc_master == p) {
            o->pvc_master = nullptr;
            o->pvc_mode = 0;
        }
        for (auto &e : o->pvc)
            if (e.slave == p) {
                e.slave = nullptr;
                e.queue = JXBRIDGE_PVC_FREE;
            }
    }
    for (auto &e : p->pvc)
        if (e.slave && e.slave->pvc_master == p) {
            e.slave->pvc_master = nullptr;
            e.slave->pvc_mode = 0;
        }
    B->ports[p->port_no] = nullptr;
    // The device's own notifiers call here with the routing lock held.
    bool take_rtnl = !rtnl_is_held();
    if (take_rtnl)
        rtnl_lock();
    if (p->made_promisc)
        dev_set_promiscuity(dev, -1);
    // An OLT on the device still receives through it.
    if (!jxbridge_dev_is_port(dev) && (!dev->rx_handler_data || dev->rx_handler_data == p))
        dev->priv_flags &= ~IFF_BRIDGE_PORT;
    if (dev->rx_handler_data == p)
        netdev_rx_handler_unregister(dev);
    if (take_rtnl)
        rtnl_unlock();
    kfree(p);
    return 0;
}
EXPORT_SYMBOL(jxbridge_del_port);

void jxbridge_del_ports_of_dev(struct net_device *dev) {
    jxbridge_q_purge(nullptr, dev);
    for (struct net_device *bdev : rte_netdev_list()) {
        if (!(bdev->priv_flags & IFF_EBRIDGE))
            continue;
        struct jxbridge *B = (struct jxbridge *)netdev_priv(bdev);
        for (u32 i = 0; B->ports && i < B->max_ports; i++) {
            struct jxbridge_port *p = B->ports[i];
            if (!p || p->dev != dev)
                continue;
            printk(KERN_INFO "[Bridge/%s] Port '%s' removed: its device is going away.\n",
                   bdev->name, p->display_name);
            jxbridge_del_port(p);
        }
    }
    jxbridge_pon_dev_gone(dev);
}

int jxbridge_get_port_by_name(struct jxbridge *B, const char *name, struct jxbridge_port **out) {
    if (!B)
        return -EINVAL;
    if (!name || !*name)
        return -ENODEV;
    for (u32 i = 0; i < B->max_ports; i++)
        if (B->ports[i] && !strcmp(B->ports[i]->dev->name, name)) {
            *out = B->ports[i];
            return 0;
        }
    long long n;
    if (isdigit((unsigned char)name[0]) && a2num(name, &n) == 0 && n >= 0 &&
        (u64)n < B->max_ports && B->ports[n]) {
        *out = B->ports[n];
        return 0;
    }
    // An empty slot is no port.
    return -ENODEV;
}
EXPORT_SYMBOL(jxbridge_get_port_by_name);

struct jxbridge_port *jxbridge_get_port_by_number(struct jxbridge *B, u32 slot) {
    return B && slot < B->max_ports ? B->ports[slot] : nullptr;
}
EXPORT_SYMBOL(jxbridge_get_port_by_number);

struct jxbridge_port *jxbridge_get_bll_port(struct jxbridge *B, u32 bll) {
    for (u32 i = 0; B && i < B->max_ports; i++)
        if (B->ports[i] && B->ports[i]->bll_port_no == bll)
            return B->ports[i];
    return nullptr;
}
EXPORT_SYMBOL(jxbridge_get_bll_port);

struct jxbridge_port *get_jxbridge_port_from_bll_port_no(struct jxbridge *B, u32 bll) {
    if (!B || bll >= JXBRIDGE_BLL_MAP_SIZE || B->bll_map[bll] < 0)
        return nullptr;
    return jxbridge_get_port_by_number(B, (u32)B->bll_map[bll]);
}
EXPORT_SYMBOL(get_jxbridge_port_from_bll_port_no);

int jxbridge_get_ports(struct jxbridge *B, struct jxbridge_port **out) {
    int n = 0;
    for (u32 i = 0; i < B->max_ports; i++)
        if (B->ports[i])
            out[n++] = B->ports[i];
    return n;
}
EXPORT_SYMBOL(jxbridge_get_ports);

int jxbridge_rename_port(struct jxbridge *B, u32 bll, const char *alias) {
    struct jxbridge_port *p = jxbridge_get_bll_port(B, bll);
    if (!p)
        return -ENOENT;
    strlcpy(p->alias, alias ? alias : "", sizeof(p->alias));
    return 0;
}

static int jxbridge_set_flag(struct jxbridge_port *p, u32 *field, u32 value, bool notify) {
    if (!p || value > 1)
        return -EINVAL;
    *field = value;
    if (notify)
        jxbridge_flow_event(JXBRIDGE_FEV_PORT, p);
    return 0;
}

int jxbridge_set_port_mn_flag(struct jxbridge_port *p, u32 v) {
    return jxbridge_set_flag(p, p ? &p->mn_flag : nullptr, v, false);
}
EXPORT_SYMBOL(jxbridge_set_port_mn_flag);

int jxbridge_get_port_mn_flag(struct jxbridge_port *p) {
    return p ? (int)p->mn_flag : -EINVAL;
}
EXPORT_SYMBOL(jxbridge_get_port_mn_flag);

void jxbridge_port_count_mn_drop(struct jxbridge_port *p) {
    if (p)
        p->counters.drop_mn_flag++;
}
EXPORT_SYMBOL(jxbridge_port_count_mn_drop);

// The flow manager re-reads the port on a change only: an unchanged flag
// would flush its flows for nothing.
int jxbridge_set_port_protected(struct jxbridge_port *p, u32 v) {
    return jxbridge_set_flag(p, p ? &p->is_protected : nullptr, v, p && p->is_protected != v);
}
EXPORT_SYMBOL(jxbridge_set_port_protected);

int jxbridge_set_port_mvr(struct jxbridge_port *p, u32 v) {
    if (!p || v > 1)
        return -EINVAL;
    if (p->mvr == v)
        return 0;
    p->mvr = (u8)v;
    jxbridge_flow_event(JXBRIDGE_FEV_PORT, p);
    return 0;
}
EXPORT_SYMBOL(jxbridge_set_port_mvr);

void jxbridge_port_state_set_private(struct jxbridge_port *p, u32 state) {
    p->state = state;
    if (debug)
        printk(KERN_INFO "[Bridge] Port '%s' move to '%s' state.\n", p->dev->name,
               jxbridge_state2str(state));
    if (state == JXBRIDGE_STATE_KORV_DISABLED)
        mac_table_delete_by_port(p->bridge->mac_table, p, MAC_TABLE_SECTION_UNICAST);
}

int jxbridge_port_state_set(struct jxbridge_port *p, u32 state) {
    if (!p)
        return -EINVAL;
    mutex_lock(&jxbridge_lock);
    jxbridge_port_state_set_private(p, state);
    mutex_unlock(&jxbridge_lock);
    return 0;
}
EXPORT_SYMBOL(jxbridge_port_state_set);

int jxbridge_port_state_get(struct jxbridge_port *p, u32 *out) {
    if (!p || !out)
        return -EINVAL;
    mutex_lock(&jxbridge_lock);
    *out = p->state;
    mutex_unlock(&jxbridge_lock);
    return 0;
}
EXPORT_SYMBOL(jxbridge_port_state_get);

void jxbridge_port_error_state_set(struct jxbridge_port *p, u32 causes) {
    struct jxbridge *B = p->bridge;
    u32 effective = causes & B->err_disable_mask;
    if (!effective || !B->err_disable_enabled)
        return;
    p->error_causes |= effective;
    jxbridge_port_state_set_private(p, JXBRIDGE_STATE_ERROR_DISABLED);
    if (effective & B->err_recovery_mask)
        p->recovery_countdown = B->err_recovery_time;
    if (debug)
        printk(KERN_INFO
               "[Bridge] %d seconds until recovery (new causes 0x%08x, cumulative 0x%08x).\n",
               (int)p->recovery_countdown, effective, p->error_causes);
}

void jxbridge_port_error_cause_remove(struct jxbridge_port *p, u32 causes) {
    printk(KERN_INFO "[Bridge] Removing cause 0x%08x from port '%s'.\n", causes, p->dev->name);
    p->error_causes &= ~causes;
    if (!p->error_causes) {
        jxbridge_port_state_set_private(p, JXBRIDGE_STATE_OK);
        p->cause_info = 0;
        p->cause_port = nullptr;
    }
}
EXPORT_SYMBOL(jxbridge_port_error_cause_remove);

// The packet engine's view of a LAG: its members' subports that can carry
// traffic. Returns 0, or 1 when the engine cannot be programmed.
static int bridge_tarn_lag_set(struct jxbridge_port *lag, int lag_up) {
    auto set_lag = (int (*)(int, int, u32))jxbridge_symbol_get("tarnAPISetLAG");
    if (!set_lag) {
        printk(KERN_INFO "[Bridge] \t%s:%d symbol_request(tarnAPISetLAG) FAILED, return\n",
               bridge_file, __LINE__);
        return 1;
    }
    struct jxbridge *B = lag->bridge;
    u32 mask = 0;
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *m = B->ports[i];
        if (m && m->lag_master == lag && m->phy_state == JXBRIDGE_PHY_UP && m->ucc_subport < 32)
            mask |= 1u << m->ucc_subport;
    }
    int id = (int)lag->bll_port_no;
    int rc = set_lag(id, lag_up ? 1 : 0, mask);
    if (rc) {
        printk(KERN_ERR "[Bridge] tarnAPISetLAG(%d, %d, 0x%x) failed (%d).\n", id, lag_up ? 1 : 0,
               mask, rc);
        return 1;
    }
    auto arl = (int (*)(int, int, u32))jxbridge_symbol_get("arlSetLAG");
    if (arl)
        arl(id, lag_up ? 1 : 0, mask);
    return 0;
}

static bool jxbridge_lag_member_up(struct jxbridge_port *lag, struct jxbridge_port *except) {
    struct jxbridge *B = lag->bridge;
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *m = B->ports[i];
        if (m && m != except && m->lag_master == lag && m->phy_state == JXBRIDGE_PHY_UP)
            return true;
    }
    return false;
}

static u32 jxbridge_lag_speed(struct jxbridge_port *lag) {
    struct jxbridge *B = lag->bridge;
    u32 sum = 0;
    for (u32 i = 0; i < B->max_ports; i++)
        if (B->ports[i] && B->ports[i]->lag_master == lag)
            sum += B->ports[i]->speed;
    return sum;
}

int jxbridge_port_set_master(struct jxbridge_port *p, struct jxbridge_port *lag) {
    if (!p || !lag || lag->kind != JXBRIDGE_PORT_LAG || p == lag) {
        if (debug)
            printk(KERN_INFO "[Bridge] \tjxbridge_port_set_master: Master is not LAG port, "
                             "return.\n");
        return -EINVAL;
    }
    p->lag_master = lag;
    if (bridge_tarn_lag_set(lag, !!(lag->dev->flags & IFF_UP))) {
        if (debug)
            printk(KERN_INFO "[Bridge] \tjxbridge_port_set_master: bridge_tarn_lag_set FAILED, "
                             "return\n");
        return 1;
    }
    if (p->phy_state == JXBRIDGE_PHY_UP)
        lag->phy_state = JXBRIDGE_PHY_UP;
    lag->speed = jxbridge_lag_speed(lag);
    return 0;
}

int jxbridge_port_del_master(struct jxbridge_port *p, struct jxbridge_port *lag) {
    if (!p || !lag || lag->kind != JXBRIDGE_PORT_LAG || p->lag_master != lag)
        return -EINVAL;
    p->lag_master = nullptr;
    if (bridge_tarn_lag_set(lag, !!(lag->dev->flags & IFF_UP)))
        return -EINVAL;
    if (!jxbridge_lag_member_up(lag, nullptr)) {
        lag->phy_state = JXBRIDGE_PHY_DOWN;
        if (debug)
            printk(KERN_INFO "[Bridge] \tjxbridge_port_del_master: Setting LAG PHY_STATE to "
                             "DOWN.\n");
    }
    lag->speed = jxbridge_lag_speed(lag);
    return 0;
}

static const char *jxbridge_phy2a(u32 state) {
    return state ? "UP" : "DOWN";
}

void jxbridge_port_phy_state_set(struct net_device *dev, u32 state, u32 speed, u32 duplex) {
    if (!dev) {
        printk(KERN_ERR "%s:%d %s() called with NULL device.\n", bridge_file, __LINE__, __func__);
        return;
    }
    mutex_lock(&jxbridge_lock);
    struct jxbridge_port *p = (dev->priv_flags & IFF_BRIDGE_PORT)
                                  ? (struct jxbridge_port *)dev->rx_handler_data
                                  : nullptr;
    if (!p) {
        mutex_unlock(&jxbridge_lock);
        return;
    }
    u32 up = state ? JXBRIDGE_PHY_UP : JXBRIDGE_PHY_DOWN;
    if (debug)
        printk(KERN_INFO "[Bridge] %s Port='%s', old_state=%s, phy_state=%s, speed=%d, "
                         "duplex=%d\n",
               __func__, dev->name, jxbridge_phy2a(p->phy_state), jxbridge_phy2a(up), (int)speed,
               (int)duplex);
    struct jxbridge_port *lag = p->lag_master;
    if (up != p->phy_state) {
        p->phy_state = up;
        if (!up) {
            speed = 0;
            mac_table_delete_by_port(p->bridge->mac_table, p, MAC_TABLE_SECTION_UNICAST);
        }
        if (lag && up && lag->phy_state != JXBRIDGE_PHY_UP) {
            lag->phy_state = JXBRIDGE_PHY_UP;
            if (debug)
                printk(KERN_INFO "[Bridge] \t%s: Setting master(%s) PHY_STATE to UP\n", dev->name,
                       lag->dev->name);
        } else if (lag && !up && lag->phy_state == JXBRIDGE_PHY_UP &&
                   !jxbridge_lag_member_up(lag, p)) {
            lag->phy_state = JXBRIDGE_PHY_DOWN;
            if (debug)
                printk(KERN_INFO "[Bridge] \t%s: Setting master(%s) PHY_STATE to DOWN\n", dev->name,
                       lag->dev->name);
        }
    }
    if (speed != p->speed) {
        p->speed = speed;
        if (lag) {
            lag->speed = jxbridge_lag_speed(lag);
            if (debug)
                printk(KERN_INFO "[Bridge] \t%s: Setting master(%s) speed to %d\n", dev->name,
                       lag->dev->name, (int)lag->speed);
        }
    }
    p->duplex = duplex;
    bool notify = p->kind == JXBRIDGE_PORT_UPLINK || p->kind == JXBRIDGE_PORT_LAG;
    mutex_unlock(&jxbridge_lock);
    if (notify) {
        auto korv = (int (*)(struct net_device *, u32, u32, u32))jxbridge_symbol_get(
            "korvPhyStatusChanged");
        if (korv)
            korv(dev, up, speed, duplex);
    }
}
EXPORT_SYMBOL(jxbridge_port_phy_state_set);

void jxbridge_virtual_port_phy_state_set(struct jxbridge_port *p, u32 state) {
    if (!p)
        return;
    p->phy_state = state ? JXBRIDGE_PHY_UP : JXBRIDGE_PHY_DOWN;
    printk(KERN_INFO "[Bridge] Virtual port '%s' phy state chenged to '%s'\n", p->dev->name,
           jxbridge_phy2a(p->phy_state));
    if (p->phy_state == JXBRIDGE_PHY_DOWN)
        mac_table_delete_by_port(p->bridge->mac_table, p, MAC_TABLE_SECTION_UNICAST);
}

// A MAC source guard violation seen on a port (the MAC table calls this).
void jxbridge_port_msg_violation(struct jxbridge_port *p, const u8 *mac, u16 vid,
                                 struct jxbridge_port *from) {
    if (!p->bridge->err_disable_enabled) {
        printk(KERN_INFO "[Bridge]   Port '%s' error-disabling not enabled.\n", p->dev->name);
        return;
    }
    printk(KERN_INFO "[Bridge]   Port '%s' is going to 'error-disabled' state.\n", p->dev->name);
    p->counters.mac_source_guard_violations++;
    u64 info = (u64)vid << 48;
    for (int i = 0; i < 6; i++)
        info |= (u64)mac[i] << (8 * (5 - i));
    p->cause_info = info;
    p->cause_port = from;
    printk(KERN_INFO "Get cause info - port '%s', VID %d, MAC %02x:%02x:%02x:%02x:%02x:%02x.\n",
           from ? from->dev->name : p->dev->name, vid, mac[0], mac[1], mac[2], mac[3], mac[4],
           mac[5]);
    jxbridge_port_error_state_set(p, JXBRIDGE_CAUSE_MSG);
    jxbridge_flow_event(JXBRIDGE_FEV_PORT, p);
}

// One second of the recovery countdown for every error-disabled port; run
// every 250 jiffies while the bridge is up.
void jxbridge_port_recovery_tick(struct jxbridge *B) {
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        if (!p || !p->error_causes || p->state == JXBRIDGE_STATE_OK)
            continue;
        if (p->recovery_countdown && --p->recovery_countdown > 0) {
            if (debug)
                printk(KERN_INFO "[Bridge]   Port '%s' remains 'error-disabled' for %d seconds "
                                 "(causes 0x%08x).\n",
                       p->dev->name, (int)p->recovery_countdown, p->error_causes);
            continue;
        }
        p->error_causes &= ~B->err_recovery_mask;
        if (p->error_causes) {
            printk(KERN_INFO "[Bridge]   Port '%s' remains 'error-disabled' (causes 0x%08x).\n",
                   p->dev->name, p->error_causes);
        } else {
            printk(KERN_INFO "[Bridge]   Taking port '%s' out of 'error-disabled' state.\n",
                   p->dev->name);
            jxbridge_port_state_set_private(p, JXBRIDGE_STATE_OK);
            p->cause_info = 0;
            p->cause_port = nullptr;
        }
    }
}

void jxbridge_show_port_mn_flag(struct jxbridge *B) {
    printk(KERN_INFO "port  mn_flag\n");
    printk(KERN_INFO "----  -------\n");
    for (u32 i = 0; i < B->max_ports; i++)
        if (B->ports[i])
            printk(KERN_INFO "%4s  %u\n", B->ports[i]->dev->name, B->ports[i]->mn_flag);
}

void jxbridge_show_port_protected(struct jxbridge *B) {
    printk(KERN_INFO "port  protected\n");
    printk(KERN_INFO "----  ---------\n");
    for (u32 i = 0; i < B->max_ports; i++)
        if (B->ports[i])
            printk(KERN_INFO "%4s  %d\n", B->ports[i]->dev->name, (int)B->ports[i]->is_protected);
}

void jxbridge_show_lag(struct jxbridge *B) {
    printk(KERN_INFO "Port (name,id,bll-id) PHY state Member of LAG (name,id,bll-id) LAG PHY "
                     "state\n");
    printk(KERN_INFO "--------------------- --------- ------------------------------ "
                     "-------------\n");
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        if (!p || !p->lag_master)
            continue;
        struct jxbridge_port *m = p->lag_master;
        printk(KERN_INFO "%16s,%4d %9s %25s,%4d %13s\n", p->display_name, (int)p->bll_port_no,
               jxbridge_phy2a(p->phy_state), m->display_name, (int)m->bll_port_no,
               jxbridge_phy2a(m->phy_state));
    }
}

int jxbridge_port_pvc_mode_set(struct jxbridge_port *p, u32 mode) {
    if (!p || mode > 2)
        return -EINVAL;
    p->pvc_mode = mode;
    return 0;
}

int jxbridge_port_pvc_mode_get(struct jxbridge_port *p, u32 *mode) {
    if (!p || !mode)
        return -EINVAL;
    *mode = p->pvc_mode;
    return 0;
}

int jxbridge_port_vpi_vci_set(struct jxbridge_port *p, u8 vpi, u8 vci) {
    if (!p)
        return -EINVAL;
    p->vpi = vpi;
    p->vci = vci;
    return 0;
}

int jxbridge_port_vpi_vci_get(struct jxbridge_port *p, u8 *vpi, u8 *vci) {
    if (!p || !vpi || !vci)
        return -EINVAL;
    *vpi = p->vpi;
    *vci = p->vci;
    return 0;
}

// The port of the bridge on dev that carries this VPI/VCI.
struct jxbridge_port *jxbridge_port_vpi_vci_find(struct jxbridge *B, struct net_device *dev, u8 vpi,
                                                 u8 vci) {
    for (u32 i = 0; B && i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        if (p && p->dev == dev && p->vpi == vpi && p->vci == vci)
            return p;
    }
    return nullptr;
}

int jxbridge_port_pvc_vp_set(struct jxbridge_port *p, u16 number) {
    if (!p)
        return -EINVAL;
    p->pvc_vp = number;
    jxbridge_port_display_name(p);
    return 0;
}

int jxbridge_port_pvc_vp_get(struct jxbridge_port *p, u16 *number) {
    if (!p || !number)
        return -EINVAL;
    *number = p->pvc_vp;
    return 0;
}

int jxbridge_port_pvc_set(struct jxbridge_port *m, u32 queue, struct jxbridge_port *s) {
    if (!m || !s || queue >= JXBRIDGE_PVC_FREE) // 255 marks a free entry
        return -EINVAL;
    if (s->pvc_master && s->pvc_master != m)
        return -EBUSY;
    if (s->pvc_mode == JXBRIDGE_PVC_MASTER || s == m)
        return -EXDEV;
    struct jxbridge_pvc_entry *slot = nullptr;
    for (auto &e : m->pvc)
        if (e.queue == queue) {
            slot = &e;
            break;
        }
    if (!slot)
        for (auto &e : m->pvc)
            if (e.queue == JXBRIDGE_PVC_FREE) {
                slot = &e;
                break;
            }
    if (!slot)
        return -ENOSPC;
    struct jxbridge_port *old = slot->queue == queue ? slot->slave : nullptr;
    slot->queue = queue;
    slot->slave = s;
    s->pvc_mode = JXBRIDGE_PVC_SLAVE;
    s->pvc_master = m;
    // A slave replaced in its entry keeps its master only through another entry.
    if (old && old != s) {
        bool named = false;
        for (auto &e : m->pvc)
            named |= e.queue != JXBRIDGE_PVC_FREE && e.slave == old;
        if (!named)
            old->pvc_master = nullptr;
    }
    return 0;
}

int jxbridge_port_pvc_unset(struct jxbridge_port *m, u32 queue) {
    if (!m)
        return -EINVAL;
    for (auto &e : m->pvc) {
        if (e.queue != queue || queue == JXBRIDGE_PVC_FREE)
            continue;
        struct jxbridge_port *s = e.slave;
        e.queue = JXBRIDGE_PVC_FREE;
        e.slave = nullptr;
        bool named = false;
        for (auto &o : m->pvc)
            named |= o.queue != JXBRIDGE_PVC_FREE && o.slave == s;
        if (s && !named)
            s->pvc_master = nullptr;
        return 0;
    }
    return -ENOENT;
}

int jxbridge_port_pvc_get(struct jxbridge_port *m, u32 queue, struct jxbridge_port **out) {
    if (!m || !out || queue == JXBRIDGE_PVC_FREE)
        return -EINVAL;
    for (auto &e : m->pvc)
        if (e.queue == queue) {
            *out = e.slave;
            return 0;
        }
    return -ENOENT;
}

int jxbridge_switching_mode_get(struct jxbridge *B, u32 *mode) {
    if (!B)
        return -EINVAL;
    *mode = B->switching_mode;
    return 0;
}

static const char *jxbridge_switching_mode2a(u32 mode) {
    static const char *const names[] = {"normal bridge", "CORD vSwitch", "CORD ACL FW"};
    return mode < ARRAY_SIZE(names) ? names[mode] : "unknown?";
}

int jxbridge_switching_mode_set(struct jxbridge *B, u32 mode) {
    if (!B)
        return -EINVAL;
    if (B->switching_mode == mode) {
        printk(KERN_INFO "[Bridge] Switching mode remains %s.\n", jxbridge_switching_mode2a(mode));
        return 0;
    }
    B->switching_mode = mode;
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        if (!p)
            continue;
        p->flow_byte = jxbridge_flow_byte(mode);
        jxbridge_flow_event(JXBRIDGE_FEV_PORT_REEVALUATE, p);
        jxbridge_flow_event(JXBRIDGE_FEV_PORT, p);
    }
    if (mode == JXBRIDGE_SWITCHING_CORD)
        jxbridge_mcast_mode_set(B, JXBRIDGE_MCAST_FLOOD);
    if (mode == JXBRIDGE_SWITCHING_CORD || mode == JXBRIDGE_SWITCHING_ACL_FW) {
        B->trap_dev = __dev_get_by_name(&init_net, "openolt0");
        if (B->trap_dev)
            printk(KERN_INFO "[Bridge] Openolt trap-to-host device set to %s.\n",
                   B->trap_dev->name);
    } else {
        B->trap_dev = nullptr;
    }
    acl_default_action_list_switching_mode_update(B->acl);
    oo_mng_acl_update(B);
    qos_switching_mode_set(B, mode);
    printk(KERN_INFO "[Bridge] Switching mode changed to %s.\n", jxbridge_switching_mode2a(mode));
    return 0;
}

// The packet engine's view of a port: here the engine forwards nothing itself,
// every frame crosses the software path, so the frames and octets it would count
// on the wire are the software's.
static void jxbridge_engine_counters(const jxbridge_port_counters &sw,
                                     jxbridge_port_counters *out) {
    auto copy = [&](size_t from, size_t to) {
        memcpy((u8 *)out + from, (const u8 *)&sw + from, to - from);
    };
    copy(offsetof(jxbridge_port_counters, rx_octets), offsetof(jxbridge_port_counters, tx_discard));
    copy(offsetof(jxbridge_port_counters, tx_pkts), offsetof(jxbridge_port_counters, drop_ipsg));
}

// The software counters that replace the engine's in the combined view.
static void jxbridge_overlay_counters(const jxbridge_port_counters &sw,
                                      jxbridge_port_counters *out) {
    out->rx_discard += sw.rx_discard + sw.drop_storm_dlf;
    out->rx_discard_queue_full += sw.rx_discard_queue_full;
    out->tx_discard += sw.tx_discard;
    auto copy = [&](size_t from, size_t to) {
        memcpy((u8 *)out + from, (const u8 *)&sw + from, to - from);
    };
    copy(offsetof(jxbridge_port_counters, drop_acl_ingress),
         offsetof(jxbridge_port_counters, drop_qos_policer));
    copy(offsetof(jxbridge_port_counters, drop_storm_dlf),
         offsetof(jxbridge_port_counters, drop_storm_mcast));
    copy(offsetof(jxbridge_port_counters, drop_tx_protected_port),
         offsetof(jxbridge_port_counters, reserved244));
    copy(offsetof(jxbridge_port_counters, drop_static_mac),
         offsetof(jxbridge_port_counters, drop_mac_limit));
    copy(offsetof(jxbridge_port_counters, mac_source_guard_error_disabled),
         offsetof(jxbridge_port_counters, reserved340));
}

static bool jxbridge_port_bound(const struct jxbridge_port *p);
static void jxbridge_engine_drops(const struct jxbridge_port *p, jxbridge_port_counters *out);

int jxbridge_get_port_counters(struct jxbridge *B, struct jxbridge_port *p, u32 selector,
                               struct jxbridge_port_counters *out) {
    if (!B || !p || !out)
        return -EINVAL;
    bool lag_down = p->kind == JXBRIDGE_PORT_LAG && !(p->dev->flags & IFF_UP);
    if (p->kind == JXBRIDGE_PORT_LOCAL || selector == 2) {
        *out = p->counters;
    } else if (selector == 0 || selector == 1) {
        memset(out, 0, sizeof(*out));
        if (lag_down)
            return 0;
        jxbridge_engine_counters(p->counters, out);
        jxbridge_engine_drops(p, out);
        if (selector == 0)
            jxbridge_overlay_counters(p->counters, out);
    }
    // Another selector fills in the clear time and leaves the rest as it is.
    if (!lag_down || selector == 2 || p->kind == JXBRIDGE_PORT_LOCAL) {
        out->clear_time = p->counters_clear_time;
        if (selector <= 2)
            out->reserved0 = 0;
    }
    return 0;
}

void jxbridge_clear_port_counters(struct jxbridge *B, struct jxbridge_port *p) {
    memset(&p->counters, 0, sizeof(p->counters));
    // The VLAN statistics are kept for the bridge as a whole and go too.
    if (B->vlan)
        vlan_clear_stat(B->vlan);
    for (u32 cls : {STORM_DLF, STORM_BCAST, STORM_MCAST})
        storm_drop_frames_reset(B, cls, p);
    if (jxbridge_port_bound(p))
        bridge_tarn_statistics_clear(p->ucc_index, p->ucc_subport, ~0u);
    p->counters_clear_time = (u32)ktime_get_real_seconds();
}

void jxbridge_show_port_counters(struct jxbridge *B, struct jxbridge_port *p, u32 selector) {
    struct jxbridge_port_counters c;
    if (jxbridge_get_port_counters(B, p, selector, &c))
        return;
    jxbridge_log_counters(&c);
}

// The engine's drop counters, in the order of its statistics call.
enum {
    TARN_POLICER,
    TARN_ONU_POLICER,
    TARN_ONU_SHAPER,
    TARN_QUEUE,
    TARN_MCAST,
    TARN_BCAST,
    TARN_N
};
static_assert(JXBRIDGE_TARN_STORM_MCAST == 1u << TARN_MCAST);
static_assert(JXBRIDGE_TARN_STORM_BCAST == 1u << TARN_BCAST);

int bridge_tarn_statistics_get(u32 ucc, u32 subport, struct jxbridge_port_counters *out) {
    memset(out, 0, sizeof(*out));
    auto fn = (int (*)(int, int, u32 *))jxbridge_symbol_get("tarnAPIGetPortStatistics");
    if (!fn)
        return 0; // no engine: nothing dropped there
    u32 v[TARN_N] = {};
    int rc = fn((int)ucc, (int)subport, v);
    if (rc)
        return rc;
    out->drop_qos_policer = v[TARN_POLICER];
    out->drop_qos_onu_policer = v[TARN_ONU_POLICER];
    out->drop_qos_onu_shaping = v[TARN_ONU_SHAPER];
    out->drop_qos_queue = v[TARN_QUEUE];
    out->drop_storm_mcast = v[TARN_MCAST];
    out->drop_storm_bcast = v[TARN_BCAST];
    return 0;
}

void bridge_tarn_statistics_clear(u32 ucc, u32 subport, u32 mask) {
    auto fn = (int (*)(int, int, u32))jxbridge_symbol_get("tarnAPIClearPortStatistics");
    if (fn)
        fn((int)ucc, (int)subport, mask);
}

static bool jxbridge_port_bound(const struct jxbridge_port *p) {
    return p->ucc_index != JXBRIDGE_NO_SUBPORT && p->ucc_subport != JXBRIDGE_NO_SUBPORT;
}

// The engine's drop counters of a bound port into its view.
static void jxbridge_engine_drops(const struct jxbridge_port *p, jxbridge_port_counters *out) {
    struct jxbridge_port_counters hw;
    if (!jxbridge_port_bound(p) || bridge_tarn_statistics_get(p->ucc_index, p->ucc_subport, &hw))
        return;
    out->drop_qos_policer = hw.drop_qos_policer;
    out->drop_qos_onu_policer = hw.drop_qos_onu_policer;
    out->drop_qos_onu_shaping = hw.drop_qos_onu_shaping;
    out->drop_qos_queue = hw.drop_qos_queue;
    out->drop_storm_mcast = hw.drop_storm_mcast;
    out->drop_storm_bcast = hw.drop_storm_bcast;
}

void jxbridge_log_counters(const struct jxbridge_port_counters *cp) {
    const struct jxbridge_port_counters &c = *cp;
#define JX_CNT32(f)                                                                                \
    { #f, offsetof(jxbridge_port_counters, f), false }
#define JX_CNT64(f)                                                                                \
    { #f, offsetof(jxbridge_port_counters, f), true }
    static const struct {
        const char *name;
        size_t off;
        bool wide;
    } rows[] = {
        JX_CNT32(rx_discard),
        JX_CNT32(rx_discard_queue_full),
        JX_CNT32(rx_error),
        JX_CNT32(rx_unknown),
        JX_CNT32(rx_CRCAllignError),
        JX_CNT32(rx_undersize),
        JX_CNT32(rx_oversize),
        JX_CNT32(rx_fragments),
        JX_CNT32(rx_jabbers),
        JX_CNT64(rx_octets),
        JX_CNT64(rx_pkts),
        JX_CNT64(rx_ucast),
        JX_CNT64(rx_dlf),
        JX_CNT64(rx_mcast),
        JX_CNT64(rx_bcast),
        JX_CNT32(rx_pkts64octets),
        JX_CNT32(rx_pkts65to127octets),
        JX_CNT32(rx_pkts128to255octets),
        JX_CNT32(rx_pkts256to511octets),
        JX_CNT32(rx_pkts512to1023octets),
        JX_CNT32(rx_pkts1024to1518octets),
        JX_CNT32(tx_discard),
        JX_CNT64(tx_pkts),
        JX_CNT64(tx_octets),
        JX_CNT64(tx_ucast),
        JX_CNT64(tx_mcast),
        JX_CNT64(tx_bcast),
        JX_CNT32(drop_acl_ingress),
        JX_CNT32(drop_acl_egress),
        JX_CNT32(drop_qos_ds_ingress),
        JX_CNT32(drop_qos_ds_egress),
        JX_CNT32(drop_qos_policer),
        JX_CNT32(drop_qos_shaping),
        JX_CNT32(drop_qos_onu_policer),
        JX_CNT32(drop_qos_onu_shaping),
        JX_CNT32(drop_qos_queue),
        JX_CNT32(drop_storm_dlf),
        JX_CNT32(drop_storm_mcast),
        JX_CNT32(drop_storm_bcast),
        JX_CNT32(drop_tx_protected_port),
        JX_CNT32(drop_mn_flag),
        JX_CNT32(drop_vlan_ingress_accept_tagged),
        JX_CNT32(drop_vlan_ingress_accept_untagged),
        JX_CNT32(drop_vlan_ingress_filtering),
        JX_CNT32(drop_vlan_egress_filtering),
        JX_CNT32(drop_static_mac),
        JX_CNT32(mac_source_guard_error_disabled),
        JX_CNT32(mac_source_guard_violations),
    };
#undef JX_CNT32
#undef JX_CNT64
    printk(KERN_INFO "\n");
    for (const auto &r : rows) {
        char name[40];
        size_t n = strlen(r.name);
        memcpy(name, r.name, n);
        for (; n < 36; n++)
            name[n] = '.';
        name[n] = '\0';
        if (r.wide) {
            u64 v;
            memcpy(&v, (const u8 *)&c + r.off, sizeof(v));
            printk(KERN_INFO "%s%lld\n", name, (long long)v);
        } else {
            u32 v;
            memcpy(&v, (const u8 *)&c + r.off, sizeof(v));
            printk(KERN_INFO "%s%d\n", name, (int)v);
        }
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

int jxbridge_map_add(phys_addr_t addr, u32 len) {
    for (struct jxbridge_map *e = jxbridge_maps; e; e = e->next) {
        // Any shared byte: the new range starts inside this one, or starts
        // before it and runs into it.
        bool inside = e->addr <= addr && addr - e->addr < e->len;
        bool into = addr < e->addr && e->addr - addr < len;
        if (inside || into) {
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

static struct jxbridge_map *jxbridge_map_find(phys_addr_t addr) {
    for (struct jxbridge_map *e = jxbridge_maps; e; e = e->next)
        if (e->addr == addr)
            return e;
    return nullptr;
}

int jxbridge_map_del(phys_addr_t addr) {
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

int jxbridge_map_read(phys_addr_t addr, u32 offs, u8 *value) {
    struct jxbridge_map *e = jxbridge_map_find(addr);
    if (!e)
        return -ENOENT;
    if (offs >= e->len)
        return -ENOSPC;
    *value = ioread8(e->virt + offs);
    return 0;
}

int jxbridge_map_write(phys_addr_t addr, u32 offs, u8 value) {
    struct jxbridge_map *e = jxbridge_map_find(addr);
    if (!e)
        return -ENOENT;
    if (offs >= e->len)
        return -ENOSPC;
    iowrite8(value, e->virt + offs);
    return 0;
}

void jxbridge_map_show(struct seq_file *m) {
    for (struct jxbridge_map *e = jxbridge_maps; e; e = e->next)
        seq_printf(m, "%p (%u bytes) --> %p\n", (void *)e->addr, e->len, (void *)e->virt);
}

void jxbridge_map_clear() {
    while (jxbridge_maps)
        jxbridge_map_del(jxbridge_maps->addr);
}
