// PON OLTs and their GEM ports.
//
// Subscribers of the PON side share their OLT's device: the OLT driver passes
// each frame's GEM number in the frame's scratch word, and the bridge finds
// the subscriber's port from the OLT and the GEM. Per bridge this file keeps
// the OLTs registered (slots filled from 0 without gaps), per OLT a table from
// GEM number to bridge port, and per VLAN the multicast GEM on which a flooded
// multicast frame leaves each OLT once instead of once per subscriber.
//
// An OLT takes its device's receive-handler data: its own port record (kind
// PON/OLT, held by no slot, its olt pointing back) is what the pipeline finds
// for the device and swaps for the GEM's port. It is unregistered before it
// is freed, and a port going away is unbound first, so no table or handler
// keeps pointing at freed memory.
//
// Thread safety: everything here, the receive path's GEM look-up included,
// runs under jxbridge_lock.
#include "jxbridge.h"

#define PON_DEFAULT_MCAST_GEM 99999 // a VLAN that uses the default multicast GEM
#define PON_VLANS 4095              // per-VLAN multicast GEMs: VIDs 0-4094
#define PON_VID_MAX 4094
#define PON_VIDS 4096 // per-VID multicast GEM ports
#define PON_NO_SUBPORT 65535
#define PON_INITIAL_MCAST_GEM 3800

enum pon_tech : u32 { PON_TECH_OTHER = 0, PON_TECH_GPON = 1, PON_TECH_XGSPON = 2 };

struct pon_olt {
    struct jxbridge_port port; // the device's receive-handler data
    u32 tech;
    u32 index; // slot in the bridge's OLT table
    u32 ucc;
    u32 phystate;                // owned by the OLT drivers; only stored
    u64 sent;                    // a multicast frame left on the multicast GEM in this flood
    struct jxbridge_port **gems; // gems_per_olt entries
    struct jxbridge_port *mcast_ports[PON_VIDS]; // multicast GEM ports by VID
};

struct pon_data {
    u32 debug;
    s32 nr_olt; // OLT slots; 0 until "pon_bridge add"
    u32 use_mcast_gem;
    u32 default_mcast_gem;
    struct pon_olt **olts;
    u32 vlan_mcast_gem[PON_VLANS];
};

static const char pon_src[] = "rte/sources/jxbridge/bridge_pon";

#define PON_TRACE(pon, ...)                                                                        \
    do {                                                                                           \
        if ((pon)->debug || debug)                                                                 \
            jxbridge_trace(__VA_ARGS__);                                                           \
    } while (0)

static bool pon_gem_in_range(long long gem) {
    return gem >= 0 && gem < gems_per_olt;
}

static bool pon_gem_is_mcast(long long gem) {
    return gem >= mcast_gems_start && gem <= mcast_gems_end;
}

// The device table: packet-engine UCC numbers of the line card's interfaces.
// dsl<i> are the OpenOLT agent's names of the same PON interfaces as gpon<i>.
static bool pon_dev_ucc(const char *name, u32 *ucc, u32 *tech) {
    static const struct {
        const char *prefix;
        u32 count, first, tech;
    } rows[] = {
        {"gpon", 16, 4, PON_TECH_GPON},  {"xgspon", 16, 20, PON_TECH_XGSPON},
        {"dsl", 16, 4, PON_TECH_GPON},   {"eth", 4, 0, PON_TECH_OTHER},
        {"tarn", 2, 36, PON_TECH_OTHER},
    };
    for (const auto &r : rows) {
        size_t n = strlen(r.prefix);
        if (strncmp(name, r.prefix, n))
            continue;
        unsigned i;
        char canon[IFNAMSIZ];
        if (sscanf(name + n, "%u", &i) != 1 || i >= r.count)
            return false;
        // "gpon01" is not "gpon1".
        snprintf(canon, sizeof(canon), "%s%u", r.prefix, i);
        if (strcmp(canon, name))
            return false;
        *ucc = r.first + i;
        *tech = r.tech;
        return true;
    }
    return false;
}

static const char *pon_tech2a(u32 tech) {
    return tech == PON_TECH_GPON ? "GPON" : tech == PON_TECH_XGSPON ? "XGSPON" : "unknown";
}

// The OLT whose handler data the device carries, of any bridge.
static struct pon_olt *pon_olt_of_dev(struct net_device *dev) {
    if (!dev || !(dev->priv_flags & IFF_BRIDGE_PORT) || !dev->rx_handler_data)
        return nullptr;
    auto *p = (struct jxbridge_port *)dev->rx_handler_data;
    return p->kind == JXBRIDGE_PORT_PON_OLT ? p->olt : nullptr;
}

static struct pon_olt *pon_olt_find(struct jxbridge *B, const char *name) {
    struct pon_data *pon = B->pon;
    for (s32 i = 0; pon->olts && i < pon->nr_olt && pon->olts[i]; i++)
        if (!strcmp(pon->olts[i]->port.dev->name, name))
            return pon->olts[i];
    return nullptr;
}

// The packet engine's side of a GEM port, found by name as every engine call.
static int bridge_tarn_call(const char *fn_name, int a, int b, int c, bool three) {
    void *fn = jxbridge_symbol_get(fn_name);
    if (!fn) {
        printk(KERN_INFO "[Bridge] \t%s:%d symbol_request(%s) FAILED, return\n", pon_src, __LINE__,
               fn_name);
        return -ENOENT;
    }
    return three ? ((int (*)(int, int, int))fn)(a, b, c) : ((int (*)(int, int))fn)(a, b);
}

int bridge_tarn_ucc_subport_set(struct jxbridge_port *port, u32 ucc, u32 subport, int enable) {
    if (enable ? (ucc == PON_NO_SUBPORT || subport == PON_NO_SUBPORT)
               : (ucc != PON_NO_SUBPORT || subport != PON_NO_SUBPORT))
        return -EINVAL;
    if (!enable) {
        qos_tarn_port_del_pre(port);
        qos_tarn_port_del(port);
    }
    int rc = enable ? bridge_tarn_call("tarnAPISetGemSubport", (int)ucc, (int)subport, 1, true)
                    : bridge_tarn_call("tarnAPISetGemSubport", (int)port->ucc_index,
                                       (int)port->ucc_subport, 0, true);
    if (rc)
        return rc;
    port->ucc_index = enable ? ucc : JXBRIDGE_NO_SUBPORT;
    port->ucc_subport = enable ? subport : JXBRIDGE_NO_SUBPORT;
    if (enable) {
        qos_tarn_port_add(port);
        // A new subport starts without limits: only limits that are on need the call.
        u32 b = 0, m = 0, be = 0, me = 0;
        storm_rate_get(port->bridge, STORM_BCAST, port, &b);
        storm_rate_get(port->bridge, STORM_MCAST, port, &m);
        storm_enable_get(port->bridge, STORM_BCAST, port, &be);
        storm_enable_get(port->bridge, STORM_MCAST, port, &me);
        if ((be && b) || (me && m))
            bridge_tarn_storm_update(port);
    }
    return 0;
}

static int bridge_tarn_mcast_gem_change(struct jxbridge *, u32 gem, int add) {
    return bridge_tarn_call("tarnAPISetMcastGem", (int)gem, add, 0, false);
}

// Bridges whose ports other than OLTs use dev: the device keeps its flag.
static bool pon_dev_has_ports(struct net_device *dev) {
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

// Takes a GEM port off its OLT: tables, offload, fields. The port is unbound
// whatever the engine answers; its answer is returned.
static int pon_unbind(struct jxbridge_port *port) {
    struct pon_olt *olt = port->olt;
    if (!olt)
        return 0;
    if (port->gem_id < (u32)gems_per_olt && olt->gems[port->gem_id] == port)
        olt->gems[port->gem_id] = nullptr;
    if (port->gem_vid < PON_VIDS && olt->mcast_ports[port->gem_vid] == port)
        olt->mcast_ports[port->gem_vid] = nullptr;
    int rc = bridge_tarn_ucc_subport_set(port, PON_NO_SUBPORT, PON_NO_SUBPORT, 0);
    if (rc)
        printk(KERN_ERR "[Bridge] %s: bridge_tarn_ucc_subport_set error=%d (br=%s, port=%d, "
                        "olt=%s, gem=%d)\n",
               __func__, rc, port->bridge->dev->name, (int)port->port_no, olt->port.dev->name,
               (int)port->gem_id);
    port->ucc_index = port->ucc_subport = JXBRIDGE_NO_SUBPORT;
    port->olt = nullptr;
    port->gem_id = 0;
    port->gem_vid = 0;
    port->onu_id = 0;
    jxbridge_port_pvc_vp_set(port, 0xFFFF);
    return rc;
}

// Unregisters the OLT's handler first, so no frame finds it once freed.
static void pon_olt_free(struct pon_olt *olt) {
    for (s32 g = 0; g < gems_per_olt; g++)
        if (olt->gems[g])
            pon_unbind(olt->gems[g]);
    struct net_device *dev = olt->port.dev;
    bool take_rtnl = !rtnl_is_held();
    if (take_rtnl)
        rtnl_lock();
    if (dev->rx_handler_data == &olt->port)
        netdev_rx_handler_unregister(dev);
    dev_set_promiscuity(dev, -1);
    if (!pon_dev_has_ports(dev))
        dev->priv_flags &= ~IFF_BRIDGE_PORT;
    if (take_rtnl)
        rtnl_unlock();
    kfree(olt->gems);
    kfree(olt);
}

// Removes slot i, keeping the table without gaps.
static void pon_olt_remove(struct pon_data *pon, s32 i) {
    struct pon_olt *olt = pon->olts[i];
    for (; i + 1 < pon->nr_olt && pon->olts[i + 1]; i++) {
        pon->olts[i] = pon->olts[i + 1];
        pon->olts[i]->index = (u32)i;
    }
    pon->olts[i] = nullptr;
    pon_olt_free(olt);
}

int jxbridge_pon_olt_add(struct jxbridge *B, struct net_device *dev) {
    lockdep_assert_held(&jxbridge_lock);
    struct pon_data *pon = B->pon;
    s32 slot = 0;
    while (pon->olts && slot < pon->nr_olt && pon->olts[slot])
        slot++;
    u32 ucc, tech;
    if (!pon->olts || slot >= pon->nr_olt || !pon_dev_ucc(dev->name, &ucc, &tech)) {
        printk(KERN_INFO "Error adding OLT %s\n", dev->name);
        return !pon->olts || slot >= pon->nr_olt ? -ENOSPC : -ENODEV;
    }
    if (pon_olt_of_dev(dev))
        return -EEXIST;
    auto *olt = (struct pon_olt *)jxbridge_zalloc(sizeof(struct pon_olt));
    if (!olt)
        return -ENOMEM;
    size_t size = sizeof(struct jxbridge_port *) * (size_t)gems_per_olt;
    olt->gems = (struct jxbridge_port **)jxbridge_zalloc(size);
    if (!olt->gems) {
        printk(KERN_ERR "%s() GEM alloc of size %d failed\n", __func__, (int)size);
        kfree(olt);
        return -ENOMEM;
    }
    struct jxbridge_port *p = &olt->port;
    p->bridge = B;
    p->dev = dev;
    p->kind = JXBRIDGE_PORT_PON_OLT;
    p->port_no = JXBRIDGE_NO_PORT;
    p->olt = olt;
    p->state = JXBRIDGE_STATE_OK;
    p->pvc_vp = 0xFFFF;
    p->ucc_index = ucc;
    p->ucc_subport = JXBRIDGE_NO_SUBPORT;
    snprintf(p->display_name, sizeof(p->display_name), "%s (OLT %d)", dev->name, (int)slot);
    olt->tech = tech;
    olt->index = (u32)slot;
    olt->ucc = ucc;
    rtnl_lock();
    unsigned had_flag = dev->priv_flags & IFF_BRIDGE_PORT;
    dev->priv_flags |= IFF_BRIDGE_PORT;
    int rc = netdev_rx_handler_register(dev, nullptr, p);
    if (rc)
        dev->priv_flags = (dev->priv_flags & ~IFF_BRIDGE_PORT) | had_flag;
    else
        dev_set_promiscuity(dev, 1);
    rtnl_unlock();
    if (rc) {
        printk(KERN_ERR "[Bridge] %s, Register handler for %s not successful (%d)!\n", __func__,
               dev->name, rc);
        kfree(olt->gems);
        kfree(olt);
        return rc;
    }
    pon->olts[slot] = olt;
    PON_TRACE(pon, "Link dev=%s br_port to %p\n", dev->name, (void *)p);
    return 0;
}

void jxbridge_pon_dev_gone(struct net_device *dev) {
    lockdep_assert_held(&jxbridge_lock);
    for (struct net_device *bdev : rte_netdev_list()) {
        if (!(bdev->priv_flags & IFF_EBRIDGE))
            continue;
        struct jxbridge *B = (struct jxbridge *)netdev_priv(bdev);
        struct pon_data *pon = B->pon;
        for (s32 i = 0; pon && pon->olts && i < pon->nr_olt && pon->olts[i]; i++)
            if (pon->olts[i]->port.dev == dev) {
                pon_olt_remove(pon, i);
                break;
            }
    }
}

struct jxbridge_port *jxbridge_get_port_by_gem(struct net_device *dev, u32 gem) {
    lockdep_assert_held(&jxbridge_lock);
    struct pon_olt *olt = pon_olt_of_dev(dev);
    if (!olt || !pon_gem_in_range(gem))
        return nullptr;
    return olt->gems[gem];
}
EXPORT_SYMBOL(jxbridge_get_port_by_gem);

const char *jxbridge_pon_port_olt(struct jxbridge_port *port, int *index) {
    if (!port->olt)
        return nullptr;
    *index = (int)port->olt->index;
    return port->olt->port.dev->name;
}

struct jxbridge_port *jxbridge_pon_olt_port(struct jxbridge *B, const char *name, u32 i) {
    struct pon_data *pon = B->pon;
    if (name) {
        struct pon_olt *olt = pon ? pon_olt_find(B, name) : nullptr;
        return olt ? &olt->port : nullptr;
    }
    if (!pon || !pon->olts || i >= (u32)pon->nr_olt || !pon->olts[i])
        return nullptr;
    return &pon->olts[i]->port;
}

int jxbridge_pon_olt_line_up(struct pon_olt *olt) {
    return olt->port.phy_state == JXBRIDGE_PHY_UP;
}

// Binding.

int pon_gem_add_private(struct jxbridge *B, const char *olt_name, long long gem,
                        struct jxbridge_port *port, u32 onu_id) {
    lockdep_assert_held(&jxbridge_lock);
    struct pon_data *pon = B->pon;
    if (!pon_gem_in_range(gem))
        return -ERANGE;
    if (port && (port->kind != JXBRIDGE_PORT_PON_GEM || port->bridge != B))
        return -ENXIO;
    struct net_device *dev = __dev_get_by_name(&init_net, olt_name);
    if (!dev)
        return -ENODEV;
    struct pon_olt *olt = pon_olt_find(B, olt_name);
    bool registered = false;
    if (!olt) {
        struct pon_olt *other = pon_olt_of_dev(dev);
        if (!other && (dev->priv_flags & IFF_BRIDGE_PORT) && dev->rx_handler_data)
            return -ENXIO; // the device is another kind of port
        if (other)
            return -EBUSY; // another bridge's OLT
        int rc = jxbridge_pon_olt_add(B, dev);
        if (rc)
            return rc;
        olt = pon_olt_find(B, olt_name);
        registered = true;
    }
    if (olt->gems[gem])
        return -EEXIST;
    if (!port)
        return -ETXTBSY;
    // A port carries one binding: a second would leave the first's entry behind.
    if (port->olt)
        return -EBUSY;
    olt->gems[gem] = port;
    port->olt = olt;
    port->gem_id = (u32)gem;
    port->onu_id = onu_id;
    int rc = bridge_tarn_ucc_subport_set(port, olt->ucc, (u32)gem, 1);
    if (rc) {
        printk(KERN_ERR "[Bridge] %s: bridge_tarn_ucc_subport_set error=%d (br=%s, port=%d, "
                        "olt=%s, gem=%d)\n",
               __func__, rc, B->dev->name, (int)port->port_no, olt_name, (int)gem);
        olt->gems[gem] = nullptr;
        port->olt = nullptr;
        port->gem_id = 0;
        port->onu_id = 0;
        if (registered)
            pon_olt_remove(pon, (s32)olt->index);
        return rc;
    }
    jxbridge_port_pvc_vp_set(port, (u16)gem);
    jxbridge_flow_event(JXBRIDGE_FEV_PORT_REEVALUATE, port);
    return 0;
}

int jxbridge_pon_gem_set(struct jxbridge_port *port, const char *olt_name, u32 gem, u32 vid,
                         u32 onu_id) {
    if (!port || !port->bridge || !olt_name)
        return -EINVAL;
    bool mcast = pon_gem_is_mcast(gem);
    if (mcast && (vid == 0 || vid > PON_VID_MAX))
        return -ERANGE;
    int rc = pon_gem_add_private(port->bridge, olt_name, gem, port, onu_id);
    if (rc || !mcast)
        return rc;
    port->gem_vid = (u16)vid;
    port->olt->mcast_ports[vid] = port;
    return 0;
}
EXPORT_SYMBOL(jxbridge_pon_gem_set);

int pon_gem_del(struct jxbridge *B, const char *olt_name, long long gem) {
    lockdep_assert_held(&jxbridge_lock);
    if (!pon_gem_in_range(gem))
        return -ERANGE;
    struct pon_olt *olt = pon_olt_find(B, olt_name);
    if (!olt) {
        printk(KERN_INFO "[Bridge]   OLT not found.\n");
        return -ENODEV;
    }
    struct jxbridge_port *port = olt->gems[gem];
    if (!port) {
        printk(KERN_INFO "[Bridge]   No such GEM port on OLT.\n");
        return -ENOENT;
    }
    return pon_unbind(port);
}

int pon_vlan_mcast_gem_set(struct jxbridge *B, u32 vid, u32 gem) {
    lockdep_assert_held(&jxbridge_lock);
    struct pon_data *pon = B->pon;
    if (vid > PON_VID_MAX)
        return -ERANGE;
    if (!pon_gem_is_mcast(gem) && gem != JXBRIDGE_PON_NO_MCAST_GEM && gem != PON_DEFAULT_MCAST_GEM)
        return -EINVAL;
    u32 old = pon->vlan_mcast_gem[vid];
    if (gem == old)
        return 0;
    int rc = 0;
    if (gem == JXBRIDGE_PON_NO_MCAST_GEM && pon_gem_is_mcast(old))
        rc = bridge_tarn_mcast_gem_change(B, old, 0);
    else if (pon_gem_is_mcast(gem) && !(rc = bridge_tarn_mcast_gem_change(B, gem, 1)))
        qos_tarn_mcast_gem_priority_set(B, gem);
    if (!rc)
        pon->vlan_mcast_gem[vid] = gem;
    return rc;
}

int jxbridge_pon_vlan_mcast_gem_set(struct jxbridge *B, u32 vid, u32 gem) {
    return B ? pon_vlan_mcast_gem_set(B, vid, gem) : -EINVAL;
}
EXPORT_SYMBOL(jxbridge_pon_vlan_mcast_gem_set);

int pon_olt_phystate_set(struct jxbridge *B, const char *name, u32 state) {
    struct pon_olt *olt = pon_olt_find(B, name);
    if (!__dev_get_by_name(&init_net, name) || !olt)
        return -ENODEV;
    olt->phystate = state;
    return 0;
}

// The OLT drivers' state word, or -ENODEV when the device is gone or carries
// no OLT of this bridge (it is then no bridge port either).
long pon_olt_phystate_get(struct jxbridge *B, const char *name) {
    struct pon_olt *olt = pon_olt_find(B, name);
    if (!__dev_get_by_name(&init_net, name) || !olt)
        return -ENODEV;
    return olt->phystate;
}

// Multicast floods.

u32 jxbridge_pon_mcast_fwd_init(struct jxbridge *B, u16 vid) {
    lockdep_assert_held(&jxbridge_lock);
    struct pon_data *pon = B->pon;
    if (!pon || !pon->use_mcast_gem) {
        if (pon)
            PON_TRACE(pon, "[PON]         Not using multicast GEM.\n");
        return JXBRIDGE_PON_NO_MCAST_GEM;
    }
    PON_TRACE(pon, "[PON]         Clearing all OLT-s.\n");
    for (s32 i = 0; pon->olts && i < pon->nr_olt && pon->olts[i]; i++)
        pon->olts[i]->sent = 0;
    // 4095 is "no VLAN": it has no multicast GEM.
    u32 gem = vid < PON_VLANS ? pon->vlan_mcast_gem[vid] : JXBRIDGE_PON_NO_MCAST_GEM;
    if (gem == PON_DEFAULT_MCAST_GEM) {
        gem = pon->default_mcast_gem;
        PON_TRACE(pon, "[PON]         Using default multicast GEM %d.\n", (int)gem);
    } else if (gem == JXBRIDGE_PON_NO_MCAST_GEM) {
        PON_TRACE(pon, "[PON]         Not using multicast GEM.\n");
    } else {
        PON_TRACE(pon, "[PON]         Using multicast GEM %d.\n", (int)gem);
    }
    return gem;
}

int jxbridge_pon_mcast_fwd_should_send(struct jxbridge_port *port) {
    struct pon_data *pon = port->bridge->pon;
    if (!pon || !pon->use_mcast_gem || !port->olt)
        return 1;
    if (port->olt->sent) {
        PON_TRACE(pon, "[Bridge]       Already sent on OLT %s.\n", port->olt->port.dev->name);
        return 0;
    }
    return 1;
}

void jxbridge_pon_mcast_fwd_sent(struct jxbridge_port *port) {
    if (port->olt)
        port->olt->sent = 1;
}

// The PON state of a bridge.

int jxbridge_pon_bridge_add(struct jxbridge *B, long long nr_olt) {
    struct pon_data *pon = B->pon;
    if (pon->olts)
        return -EEXIST;
    if (nr_olt < 1 || nr_olt > max_olt)
        return -ERANGE;
    pon->olts = (struct pon_olt **)jxbridge_zalloc(sizeof(struct pon_olt *) * (size_t)nr_olt);
    if (!pon->olts)
        return -ENOMEM;
    pon->nr_olt = (s32)nr_olt;
    return 0;
}

void jxbridge_pon_bridge_del(struct jxbridge *B) {
    struct pon_data *pon = B->pon;
    while (pon->olts && pon->nr_olt > 0 && pon->olts[0])
        pon_olt_remove(pon, 0);
    kfree(pon->olts);
    pon->olts = nullptr;
    pon->nr_olt = 0;
}

static int pon_init(struct jxbridge *B) {
    auto *pon = (struct pon_data *)jxbridge_zalloc(sizeof(struct pon_data));
    if (!pon)
        return -ENOMEM;
    pon->debug = pon_debug ? 1 : 0;
    pon->use_mcast_gem = 1;
    pon->default_mcast_gem = PON_INITIAL_MCAST_GEM;
    for (u32 &g : pon->vlan_mcast_gem)
        g = JXBRIDGE_PON_NO_MCAST_GEM;
    B->pon = pon;
    B->pon_mcast_gem = JXBRIDGE_PON_NO_MCAST_GEM;
    return 0;
}

static void pon_fini(struct jxbridge *B) {
    if (!B->pon)
        return;
    jxbridge_pon_bridge_del(B);
    kfree(B->pon);
    B->pon = nullptr;
}

static void pon_port_fini(struct jxbridge_port *port) {
    pon_unbind(port);
}

static void pon_set_debug(void *bridge, int on) {
    struct jxbridge *B = (struct jxbridge *)bridge;
    if (B->pon)
        B->pon->debug = on ? 1 : 0;
}

// Text commands.

static int pon_num(const char *word, const char *name, long long *out) {
    if (!word)
        return -ENOARG;
    if (a2num(word, out)) {
        printk(KERN_INFO "Expected decimal for %s: '%s'\n", name, word);
        return -EINVAL;
    }
    return 0;
}

static int pon_vid(const char *word, u32 *out) {
    long long v;
    int rc = pon_num(word, "VID", &v);
    if (rc)
        return rc;
    if (v < 1 || v > PON_VID_MAX)
        return -ERANGE;
    *out = (u32)v;
    return 0;
}

static int pon_cmd_debug(struct jxbridge *B, char **w) {
    long long v;
    int rc = pon_num(w[1], "debug", &v);
    if (rc)
        return rc;
    B->pon->debug = (u32)v;
    return 0;
}

static int pon_cmd_mcast_gem(struct jxbridge *B, char **w) {
    if (!w[1])
        return -ENOARG;
    int on = a2bool(w[1]);
    if (on < 0)
        return -EINVAL;
    B->pon->use_mcast_gem = (u32)on;
    return 0;
}

static int pon_cmd_bridge(struct jxbridge *B, char **w) {
    if (!w[1])
        return -ENOARG;
    if (!strcasecmp(w[1], "del")) {
        jxbridge_pon_bridge_del(B);
        return 0;
    }
    if (strcasecmp(w[1], "add"))
        return -EINVAL;
    long long n;
    int rc = pon_num(w[2], "NR_OLT", &n);
    return rc ? rc : jxbridge_pon_bridge_add(B, n);
}

static int pon_cmd_olt(struct jxbridge *B, char **w) {
    if (!w[1])
        return -ENOARG;
    if (strcasecmp(w[1], "add_all"))
        return -EINVAL;
    struct pon_data *pon = B->pon;
    if (!pon->olts)
        return -ENODEV;
    int first = 0;
    for (s32 i = 0; i < pon->nr_olt; i++) {
        char name[IFNAMSIZ];
        snprintf(name, sizeof(name), "dsl%d", (int)i);
        struct net_device *dev = __dev_get_by_name(&init_net, name);
        if (!dev || pon_olt_find(B, name))
            continue;
        int rc = jxbridge_pon_olt_add(B, dev);
        if (rc && !first)
            first = rc;
    }
    return first;
}

static int pon_cmd_gem_mcast(struct jxbridge *B, char **w) {
    if (!w[2])
        return -ENOARG;
    u32 vid;
    long long gem;
    int rc;
    if (!strcasecmp(w[2], "add")) {
        if ((rc = pon_vid(w[3], &vid)) || (rc = pon_num(w[4], "GEM", &gem)))
            return rc;
        if (gem < 0 || gem > UINT32_MAX)
            return -ERANGE;
        return pon_vlan_mcast_gem_set(B, vid, (u32)gem);
    }
    if (!strcasecmp(w[2], "del")) {
        if ((rc = pon_vid(w[3], &vid)))
            return rc;
        return pon_vlan_mcast_gem_set(B, vid, PON_DEFAULT_MCAST_GEM);
    }
    if (!strcasecmp(w[2], "default")) {
        if ((rc = pon_num(w[3], "GEM", &gem)))
            return rc;
        if (!pon_gem_is_mcast(gem))
            return -ERANGE;
        B->pon->default_mcast_gem = (u32)gem;
        return 0;
    }
    return -EINVAL;
}

static int pon_cmd_gem(struct jxbridge *B, char **w) {
    if (!w[1])
        return -ENOARG;
    if (!strcasecmp(w[1], "mcast"))
        return pon_cmd_gem_mcast(B, w);
    long long gem, onu = 0, bll, vid = 0;
    int rc;
    if (!w[2])
        return -ENOARG;
    if ((rc = pon_num(w[3], "GEM", &gem)))
        return rc;
    if (!pon_gem_in_range(gem))
        return -ERANGE;
    if (!strcasecmp(w[1], "add")) {
        if (pon_gem_is_mcast(gem))
            return -ERANGE;
        if (w[4] && (rc = pon_num(w[4], "ONU ID", &onu)))
            return rc;
        // No port to bind: the OLT is registered and the GEM checked free.
        rc = pon_gem_add_private(B, w[2], gem, nullptr, (u32)onu);
        return rc == -ETXTBSY ? 0 : rc;
    }
    if (!strcasecmp(w[1], "del"))
        return pon_gem_del(B, w[2], gem);
    if (strcasecmp(w[1], "set"))
        return -EINVAL;
    if ((rc = pon_num(w[4], "portid", &bll)) || (rc = pon_num(w[5], "ONU ID", &onu)))
        return rc;
    if (w[6]) {
        u32 v;
        if ((rc = pon_vid(w[6], &v)))
            return rc;
        vid = v;
    }
    struct jxbridge_port *port = bll >= 0 && bll < JXBRIDGE_BLL_MAP_SIZE
                                     ? get_jxbridge_port_from_bll_port_no(B, (u32)bll)
                                     : nullptr;
    if (!port)
        return -ENODEV;
    rc = jxbridge_pon_gem_set(port, w[2], (u32)gem, (u32)vid, (u32)onu);
    if (rc && rc != -EEXIST)
        printk(KERN_INFO "###vbnr pon_gem_set bp=%s, olt=%s, gem=%d, onu_id=%derror=%d\n",
               port->display_name, w[2], (int)gem, (int)onu, rc);
    return rc;
}

static const struct jxbridge_proc_cmd pon_cmds[] = {
    {"help", nullptr, "\thelp\n", 0},
    {"debug", pon_cmd_debug, "\tdebug <1/0>\n", 0},
    {"mcast_gem", pon_cmd_mcast_gem, "\tmcast_gem <on|off>\n", 0},
    {"pon_bridge", pon_cmd_bridge, "\tpon_bridge add <nr_olt>\n\tpon_bridge del\n", 0},
    {"olt", pon_cmd_olt, "\tolt add_all\n", 0},
    {"gem", pon_cmd_gem,
     "\tgem add <olt> <gem>\n\tgem del <olt> <gem>\n\tgem set <olt> <gem> <port> <onu_id>\n\tgem "
     "mcast add <vid> <gem>\n\tgem mcast del <vid>\n\tgem mcast default <gem>\n",
     0},
};

// ioctls.

static long pon_ioc_use_set(struct jxbridge *B, unsigned int, unsigned long arg) {
    B->pon->use_mcast_gem = arg ? 1 : 0;
    return 0;
}

static long pon_ioc_use_get(struct jxbridge *B, unsigned int, u32 *r, unsigned long) {
    *r = B->pon->use_mcast_gem;
    return 0;
}

// The record's OLT name, terminated in place.
static const char *pon_rec_olt(struct pon_gem_request *r) {
    r->olt[JXBRIDGE_NAME_FIELD - 1] = '\0';
    return r->olt;
}

static long pon_ioc_mcast_gem_add(struct jxbridge *B, unsigned int, struct pon_gem_request *r,
                                  unsigned long) {
    if (!pon_gem_is_mcast(r->gem) || r->vid == 0 || r->vid > PON_VID_MAX)
        return -ERANGE;
    int rc = pon_gem_add_private(B, pon_rec_olt(r), r->gem, nullptr, r->onu_id);
    return rc == -ETXTBSY ? 0 : rc;
}

static long pon_ioc_gem_del(struct jxbridge *B, unsigned int, struct pon_gem_request *r,
                            unsigned long) {
    return pon_gem_del(B, pon_rec_olt(r), r->gem);
}

// The binding of a port into the record.
static void pon_rec_fill(struct pon_gem_request *r, struct jxbridge_port *p) {
    memset(r->port, 0, sizeof(r->port));
    strlcpy(r->port, p->dev->name, sizeof(r->port));
    r->gem = p->gem_id;
    r->vid = p->gem_vid;
    r->onu_id = p->onu_id;
    r->ucc = p->ucc_index;
    r->subport = p->ucc_subport;
}

static long pon_ioc_gem_get(struct jxbridge *B, unsigned int cmd, struct pon_gem_request *r,
                            unsigned long) {
    struct pon_olt *olt = pon_olt_find(B, pon_rec_olt(r));
    if (!olt)
        return -ENODEV;
    if (cmd == PON_IOCTL_GEM_GET) {
        if (!pon_gem_in_range(r->gem))
            return -ERANGE;
        if (!olt->gems[r->gem])
            return -ENOENT;
        pon_rec_fill(r, olt->gems[r->gem]);
        return 0;
    }
    s32 n = 0;
    for (s32 g = 0; r->index >= 0 && g < gems_per_olt; g++)
        if (olt->gems[g] && n++ == r->index) {
            pon_rec_fill(r, olt->gems[g]);
            return 0;
        }
    return -ENOENT;
}

static long pon_ioc_gem_set(struct jxbridge *B, unsigned int, struct pon_gem_request *r,
                            unsigned long) {
    struct jxbridge_port *port;
    if (jxbridge_proc_port_field(B, r->port, &port))
        return -EFAULT;
    if (!pon_gem_in_range(r->gem))
        return -ERANGE;
    int rc = jxbridge_pon_gem_set(port, pon_rec_olt(r), r->gem, r->vid, r->onu_id);
    if (!rc) {
        r->ucc = port->ucc_index;
        r->subport = port->ucc_subport;
    }
    return rc;
}

static long pon_ioc_vlan_set(struct jxbridge *B, unsigned int, struct pon_vlan_request *r,
                             unsigned long) {
    return pon_vlan_mcast_gem_set(B, r->vid, r->gem);
}

static long pon_ioc_vlan_get(struct jxbridge *B, unsigned int, struct pon_vlan_request *r,
                             unsigned long) {
    if (r->vid >= PON_VLANS)
        return -ERANGE;
    r->gem = B->pon->vlan_mcast_gem[r->vid];
    return 0;
}

static long pon_ioc_bridge_add(struct jxbridge *B, unsigned int, struct pon_bridge_request *r,
                               unsigned long) {
    return jxbridge_pon_bridge_add(B, r->nr_olt);
}

static long pon_ioc_phystate(struct jxbridge *B, unsigned int, struct pon_phystate_request *r,
                             unsigned long) {
    r->olt[JXBRIDGE_NAME_FIELD - 1] = '\0';
    return pon_olt_phystate_set(B, r->olt, r->state);
}

#define IN JXBRIDGE_IOC_IN
#define OUT JXBRIDGE_IOC_OUT
static const struct jxbridge_proc_ioc pon_iocs[] = {
    JXBRIDGE_IOC_VALUE(PON_IOCTL_MCAST_GEM_USE_SET, pon_ioc_use_set),
    JXBRIDGE_IOC(PON_IOCTL_MCAST_GEM_USE_GET, u32, OUT, pon_ioc_use_get),
    JXBRIDGE_IOC(PON_IOCTL_MCAST_GEM_ADD, pon_gem_request, IN, pon_ioc_mcast_gem_add),
    JXBRIDGE_IOC(PON_IOCTL_GEM_DEL, pon_gem_request, IN, pon_ioc_gem_del),
    JXBRIDGE_IOC(PON_IOCTL_GEM_GET, pon_gem_request, IN | OUT, pon_ioc_gem_get),
    JXBRIDGE_IOC(PON_IOCTL_GEM_GET_INDEX, pon_gem_request, IN | OUT, pon_ioc_gem_get),
    JXBRIDGE_IOC(PON_IOCTL_GEM_SET, pon_gem_request, IN | OUT, pon_ioc_gem_set),
    JXBRIDGE_IOC(PON_IOCTL_VLAN_MCAST_GEM_SET, pon_vlan_request, IN, pon_ioc_vlan_set),
    JXBRIDGE_IOC(PON_IOCTL_VLAN_MCAST_GEM_GET, pon_vlan_request, IN | OUT, pon_ioc_vlan_get),
    JXBRIDGE_IOC(PON_IOCTL_BRIDGE_ADD, pon_bridge_request, IN, pon_ioc_bridge_add),
    JXBRIDGE_IOC(PON_IOCTL_OLT_PHYSTATE_SET, pon_phystate_request, IN, pon_ioc_phystate),
};
#undef IN
#undef OUT

// Read-out.

static int pon_show(struct seq_file *m, void *) {
    struct jxbridge *B = (struct jxbridge *)m->private_data;
    mutex_lock(&jxbridge_lock);
    struct pon_data *pon = B->pon;
    if (!pon) {
        mutex_unlock(&jxbridge_lock);
        return 0;
    }
    seq_printf(m, "Debug:                        %s\n", pon->debug ? "on" : "off");
    seq_printf(m, "Max OLT-s:                    %d\n", (int)pon->nr_olt);
    seq_printf(m, "GEM ports per OLT:            %d\n", gems_per_olt);
    seq_printf(m, "Multicast GEM port range:     %d - %d\n", mcast_gems_start, mcast_gems_end);
    seq_printf(m, "Use multicast GEM forwarding: %s\n", pon->use_mcast_gem ? "yes" : "no");
    seq_printf(m, "Default multicast GEM port:   %d\n", (int)pon->default_mcast_gem);
    seq_printf(m, "\nID    OLT name-s    Technology type      Found     Missed\n");
    seq_printf(m, "----- ------------- --------------- ---------- ----------\n");
    for (s32 i = 0; pon->olts && i < pon->nr_olt && pon->olts[i]; i++) {
        struct pon_olt *olt = pon->olts[i];
        seq_printf(m, "%5d %13s %15s %10u %10u\n", (int)i, olt->port.dev->name,
                   pon_tech2a(olt->tech), olt->port.gem_found, olt->port.gem_missed);
        for (s32 g = 0; g < gems_per_olt; g++) {
            struct jxbridge_port *p = olt->gems[g];
            if (p)
                seq_printf(m, "   GEM %d, bp %s%s, bll-id=%d, onu-id=%d\n", (int)g, p->display_name,
                           pon_gem_is_mcast(g) ? ", multicast" : "", (int)p->bll_port_no,
                           (int)p->onu_id);
        }
    }
    seq_printf(m, "-----------------------------------------------------\n");
    seq_printf(m, "\nPer-VLAN multicast GEM-s\nVLAN |   GEM\n-----+------\n");
    for (u32 v = 0; v < PON_VLANS; v++) {
        u32 g = pon->vlan_mcast_gem[v];
        if (g != JXBRIDGE_PON_NO_MCAST_GEM && g != PON_DEFAULT_MCAST_GEM)
            seq_printf(m, "%4d | %5d\n", (int)v, (int)g);
    }
    seq_printf(m, "-----+------\n");
    mutex_unlock(&jxbridge_lock);
    return 0;
}

static bool pon_file_debug(struct jxbridge *B) {
    return B->pon && B->pon->debug;
}

static int pon_file_check(struct jxbridge *B) {
    return B->pon ? 0 : -ENODEV;
}

static const struct jxbridge_proc_ops pon_ops = {
    .tag = "PON",
    .log = JXBRIDGE_PROC_LOG_NR,
    .debug = pon_file_debug,
    .check = pon_file_check,
    .cmds = pon_cmds,
    .n_cmds = ARRAY_SIZE(pon_cmds),
    .iocs = pon_iocs,
    .n_iocs = ARRAY_SIZE(pon_iocs),
    .trace = "pon_ioctl",
    .say = nullptr,
    .unknown = nullptr,
};

static const struct file_operations pon_fops = jxbridge_proc_file<pon_show, &pon_ops>::fops;

extern const struct jxbridge_subsys pon_subsys = {
    .tag = "PON",
    .init = pon_init,
    .fini = pon_fini,
    .port_fini = pon_port_fini,
    .files = {{"pon", 0600, &pon_fops}},
    .set_debug = pon_set_debug,
};
