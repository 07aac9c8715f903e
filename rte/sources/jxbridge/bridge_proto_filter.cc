// The protocol PDU filters: one engine, one row per protocol. Each filter
// owns a management device of its bridge ("br0_erps", ...); the PDUs it
// matches are delivered there with their information header, and what the
// daemon writes there goes out of the bridge port the header names.
//
// The device is made a port of kind "local" (not in the bridge's slots) and
// gets operations of its own with transmit replaced. Those copies are kept
// for the module's life: a sender on another thread may still hold them.
//
// Thread safety: jxbridge_lock guards the sets and the live list. Frames a
// daemon sends from outside the receive thread wait on the application-filter
// queue naming their device by index; a filter gone meanwhile drops them.
#include "jxbridge.h"

#define PF_CB_IFINDEX 40     // control-block bytes naming the device of a queued frame
#define PF_CB_FROM_HEADER 32 // the header's control-block bytes a daemon may set
#define PF_OPS_CACHE 4

struct proto_filter_row {
    const char *suffix; // the device is "<bridge>_<suffix>"
    const char *tag;    // of its traces
    bool (*match)(const u8 *f, u32 len);
    bool lag_check;      // a LAG member with its master up refuses daemon frames
    bool physical_input; // the header names the physical input port's device
};

// Indexed by proto_filter_id: in the order the pipeline asks them.
static const struct proto_filter_row proto_filter_rows[] = {
    {"erps", "erpsFlt", erps_filter_match, true, false},
    {"efm", "EfmFlt", efm_filter_match, false, false},
    {"stp", "StpFlt", stp_filter_match, true, false},
    {"synce", "synceFlt", synce_filter_match, false, true},
    {"lacp", "lacpFlt", lacp_filter_match, false, false},
};
static_assert(ARRAY_SIZE(proto_filter_rows) == PF_COUNT);

struct proto_filter {
    const struct proto_filter_row *row;
    struct proto_filter_set *set;
    struct net_device *dev; // none when it could not be made, or once gone
    int ifindex;
    struct jxbridge_port *port; // the device's receive-handler data
    const struct net_device_ops *old_ops;
    u64 frames, bytes; // PDUs delivered
    u32 own_debug;
    u32 *debug; // the protocol's switch
    struct jxbridge_tracer tracer;
    struct proto_filter *next_live;
};

struct proto_filter_set {
    struct jxbridge *bridge;
    struct proto_filter f[PF_COUNT];
};

static struct proto_filter *proto_filter_live;

#define PF_TRACE(pf, ...)                                                                          \
    do {                                                                                           \
        if (*(pf)->debug || debug)                                                                 \
            jxbridge_trace(__VA_ARGS__);                                                           \
    } while (0)

int proto_filter_slow_subtype(const u8 *f, u32 len) {
    static const u8 slow[ETH_ALEN] = {0x01, 0x80, 0xc2, 0x00, 0x00, 0x02};
    // The subtype follows the type: a frame that ends before it has none.
    if (len < ETH_HLEN + 1 || !ether_addr_equal(f, slow) || f[12] != 0x88 || f[13] != 0x09)
        return -1;
    return f[ETH_HLEN];
}

// Transmission.

static struct proto_filter *proto_filter_of(struct net_device *dev) {
    for (struct proto_filter *pf = proto_filter_live; pf; pf = pf->next_live)
        if (pf->dev == dev)
            return pf;
    return nullptr;
}

static void pf_tx_drop(struct net_device *dev, struct sk_buff *skb) {
    DEV_STATS_INC(dev, rx_dropped);
    kfree_skb(skb);
}

// jxbridge_lock held.
static void proto_filter_xmit_locked(struct sk_buff *skb, struct net_device *dev) {
    lockdep_assert_held(&jxbridge_lock);
    struct proto_filter *pf = proto_filter_of(dev);
    if (!pf) {
        pf_tx_drop(dev, skb);
        return;
    }
    const char *tag = pf->row->tag;
    struct jxbridge *B = pf->set->bridge;
    skb_orphan(skb);
    // A frame needs its Ethernet header behind the information header.
    if (skb->len < APP_FRAME_INFO_LEN + ETH_HLEN) {
        PF_TRACE(pf, "[%s] Not enough data (%d bytes).\n", tag, (int)skb->len);
        pf_tx_drop(dev, skb);
        return;
    }
    struct app_frame_info fi;
    app_frame_info_decode(skb->data, skb->len, &fi);
    if (fi.total_len != skb->len) {
        PF_TRACE(pf, "[%s] Invalid data size: skb=%d, frame=%d\n", tag, (int)skb->len,
                 (int)fi.total_len);
        pf_tx_drop(dev, skb);
        return;
    }
    skb_pull(skb, APP_FRAME_INFO_LEN);
    skb_reset_mac_header(skb);
    memset(skb->cb, 0, sizeof(skb->cb));
    memcpy(skb->cb, fi.cb, PF_CB_FROM_HEADER);
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    cb->flag_byte &= (u8) ~(APP_FI_F_TRACE | APP_FI_F_LOCKED | APP_FI_F_FWD_LIST);
    u16 gem;
    memcpy(&gem, fi.cb + APP_FI_GEM_OFFSET, sizeof(gem));
    skb->scratch = gem;
    // Port numbers come from user space: only ports of this bridge are used.
    struct jxbridge_port *from = get_jxbridge_port_from_bll_port_no(B, fi.bll_port_no);
    cb->in_port_no = from ? (u16)from->port_no : JXBRIDGE_NO_PORT;
    if (!fi.out_bll_port_no) {
        PF_TRACE(pf, "[%s] No out port. Dropping.\n", tag);
        pf_tx_drop(dev, skb);
        return;
    }
    struct jxbridge_port *to = get_jxbridge_port_from_bll_port_no(B, fi.out_bll_port_no);
    if (!to) {
        char name[12];
        snprintf(name, sizeof(name), "%u", (unsigned)fi.out_bll_port_no);
        PF_TRACE(pf, "[%s] Port '%s' not found. Dropping.\n", tag, name);
        pf_tx_drop(dev, skb);
        return;
    }
    if (pf->row->lag_check && to->lag_master && (dev_get_flags(to->lag_master->dev) & IFF_UP)) {
        PF_TRACE(pf, "[%s] Can not forward to ports (%s) with active master. Dropping.\n", tag,
                 to->dev->name);
        pf_tx_drop(dev, skb);
        return;
    }
    if (!(dev_get_flags(to->dev) & IFF_UP)) {
        PF_TRACE(pf, "[%s] Can not forward, device '%s' is not enabled.\n", tag, to->dev->name);
        pf_tx_drop(dev, skb);
        return;
    }
    if (to->phy_state == JXBRIDGE_PHY_DOWN) {
        PF_TRACE(pf, "[%s] Can not forward, device '%s' line is disconnected.\n", tag,
                 to->dev->name);
        pf_tx_drop(dev, skb);
        return;
    }
    PF_TRACE(pf, "[%s] Forward to %s\n", tag, to->dev->name);
    DEV_STATS_INC(dev, tx_packets);
    DEV_STATS_ADD(dev, tx_bytes, skb->len);
    skb->dev = to->dev;
    cb->port_no = (u16)to->port_no;
    jxbridge_unqueued_xmit(skb);
}

static void proto_filter_xmit_now(struct sk_buff *skb, struct net_device *dev) {
    // The pipeline itself may send (a frame it handles in line); others wait.
    const bool take = !mutex_is_owner(&jxbridge_lock);
    if (take)
        mutex_lock(&jxbridge_lock);
    proto_filter_xmit_locked(skb, dev);
    if (take)
        mutex_unlock(&jxbridge_lock);
}

static int proto_filter_dequeued(struct sk_buff *skb, struct jxbridge_af_filter *) {
    int ifindex;
    memcpy(&ifindex, skb->cb + PF_CB_IFINDEX, sizeof(ifindex));
    mutex_lock(&jxbridge_lock);
    struct proto_filter *pf = proto_filter_live;
    while (pf && pf->ifindex != ifindex)
        pf = pf->next_live;
    if (pf)
        proto_filter_xmit_locked(skb, pf->dev);
    else
        kfree_skb(skb);
    mutex_unlock(&jxbridge_lock);
    return 0;
}

static struct jxbridge_af_filter proto_filter_queue = {proto_filter_dequeued};

static netdev_tx_t proto_filter_start_xmit(struct sk_buff *skb, struct net_device *dev) {
    if (jxbridge_q.enabled && current != jxbridge_q.thread) {
        memcpy(skb->cb + PF_CB_IFINDEX, &dev->ifindex, sizeof(dev->ifindex));
        jxbridge_threaded_af_rx(skb, &proto_filter_queue);
        return NETDEV_TX_OK;
    }
    proto_filter_xmit_now(skb, dev);
    return NETDEV_TX_OK;
}

// The filter's operations for devices of these operations: made once, kept.
static const struct net_device_ops *proto_filter_ops_for(const struct net_device_ops *old) {
    static struct {
        const struct net_device_ops *old;
        struct net_device_ops ops;
    } cache[PF_OPS_CACHE];
    static u32 used;
    for (u32 i = 0; i < used; i++)
        if (cache[i].old == old)
            return &cache[i].ops;
    if (used == PF_OPS_CACHE)
        return nullptr;
    cache[used].old = old;
    if (old)
        cache[used].ops = *old;
    cache[used].ops.ndo_start_xmit = proto_filter_start_xmit;
    return &cache[used++].ops;
}

// Delivery.

int proto_filter_apply(struct jxbridge *B, enum proto_filter_id id, struct jxbridge_port *input,
                       struct sk_buff *skb) {
    struct proto_filter_set *set = B->proto_filters;
    if (!set || id >= PF_COUNT)
        return 0;
    struct proto_filter *pf = &set->f[id];
    if (!pf->dev || !pf->row->match(skb->data, skb->len))
        return 0;
    const char *tag = pf->row->tag;
    struct net_device *fdev = pf->dev;
    if (!(dev_get_flags(fdev) & IFF_UP)) {
        PF_TRACE(pf, "[%s]       Filter device '%s' is down. Return frame to bridge.\n", tag,
                 fdev->name);
        return 0;
    }
    struct jxbridge_port *P = jxbridge_skb_get_jxbridge_port(skb);
    if (pf->row->physical_input) {
        struct net_device *in = input ? input->dev : nullptr;
        skb->skb_iif = in ? in->ifindex : -1;
        PF_TRACE(pf, "[%s]       SET_INPUT_DEVICE of skb to '%s'\n", tag, in ? in->name : "");
    } else {
        skb->skb_iif = P && P->dev ? P->dev->ifindex : 0;
    }
    skb = app_filter_skb_add_info(skb);
    if (!skb) {
        // Gone for want of room: taken all the same, and counted.
        DEV_STATS_INC(fdev, rx_dropped);
        return 1;
    }
    pf->frames++;
    pf->bytes += skb->len;
    DEV_STATS_INC(fdev, rx_packets);
    DEV_STATS_ADD(fdev, rx_bytes, skb->len);
    skb->dev = fdev;
    skb->vlan_tci = 0;
    skb_reset_mac_header(skb);
    PF_TRACE(pf, "[%s]       Moving to '%s'...\n", tag, fdev->name);
    netif_rx(skb);
    return 1;
}

// Devices.

static void proto_filter_set_debug(void *context, int on) {
    *((struct proto_filter *)context)->debug = on ? 1 : 0;
}

static int proto_filter_attach(struct proto_filter *pf, const char *name) {
    struct jxbridge *B = pf->set->bridge;
    auto *p = (struct jxbridge_port *)jxbridge_zalloc(sizeof(struct jxbridge_port));
    if (!p) {
        printk(KERN_ERR "%s:%d kzalloc() failed.\n", __FILE__, __LINE__);
        return -ENOMEM;
    }
    rtnl_lock();
    struct net_device *dev = __dev_get_by_name(&init_net, name);
    const struct net_device_ops *ops = dev ? proto_filter_ops_for(dev->netdev_ops) : nullptr;
    int rc = !dev ? -ENODEV : !ops ? -ENOMEM : netdev_rx_handler_register(dev, nullptr, p);
    if (!rc) {
        p->bridge = B;
        p->dev = dev;
        p->kind = JXBRIDGE_PORT_LOCAL;
        p->port_no = JXBRIDGE_NO_PORT;
        p->state = JXBRIDGE_STATE_OK;
        p->phy_state = JXBRIDGE_PHY_UP;
        p->mn_flag = 1;
        p->pvc_vp = 0xFFFF;
        snprintf(p->display_name, sizeof(p->display_name), "%s", dev->name);
        pf->old_ops = dev->netdev_ops;
        __atomic_store_n(&dev->netdev_ops, ops, __ATOMIC_RELEASE);
        dev->priv_flags |= IFF_BRIDGE_PORT;
        pf->dev = dev;
        pf->ifindex = dev->ifindex;
        pf->port = p;
    }
    rtnl_unlock();
    if (rc)
        kfree(p);
    return rc;
}

// Puts the device back as the management module made it.
static void proto_filter_detach(struct proto_filter *pf) {
    struct net_device *dev = pf->dev;
    bool take_rtnl = !rtnl_is_held();
    if (take_rtnl)
        rtnl_lock();
    netdev_rx_handler_unregister(dev);
    dev->priv_flags &= ~IFF_BRIDGE_PORT;
    __atomic_store_n(&dev->netdev_ops, pf->old_ops, __ATOMIC_RELEASE);
    if (take_rtnl)
        rtnl_unlock();
    for (struct proto_filter **pp = &proto_filter_live; *pp; pp = &(*pp)->next_live)
        if (*pp == pf) {
            *pp = pf->next_live;
            break;
        }
    kfree(pf->port);
    pf->port = nullptr;
    pf->dev = nullptr;
}

static void proto_filter_dev_delete(const char *name) {
    auto del = (int (*)(const char *))__symbol_get("mng_dev_del");
    rtnl_lock();
    struct net_device *dev = __dev_get_by_name(&init_net, name);
    if (dev)
        dev_close(dev); // a daemon may have it up
    rtnl_unlock();
    if (dev && del)
        del(name);
}

static void proto_filter_dev_make(struct proto_filter *pf, int (*add)(const char *)) {
    const char *tag = pf->row->tag;
    if (!add) {
        printk(KERN_ERR "[%s] Unable to add device.\n", tag);
        return;
    }
    // Room for a name too long, which the management module refuses rather
    // than this module cutting it to another device's.
    char name[2 * IFNAMSIZ];
    snprintf(name, sizeof(name), "%s_%s", pf->set->bridge->dev->name, pf->row->suffix);
    if (add(name)) {
        printk(KERN_ERR "[%s] Error while adding device '%s'...\n", tag, name);
        return;
    }
    if (proto_filter_attach(pf, name)) {
        // The device must not outlive the failure: the next bridge of this
        // name would find it there. Never a port, its sender needs no lock.
        proto_filter_dev_delete(name);
        return;
    }
    pf->next_live = proto_filter_live;
    proto_filter_live = pf;
}

static int proto_filter_init(struct jxbridge *B) {
    auto *set = (struct proto_filter_set *)jxbridge_zalloc(sizeof(struct proto_filter_set));
    if (!set)
        return -ENOMEM;
    set->bridge = B;
    auto add = (int (*)(const char *))__symbol_get("mng_dev_add");
    for (int i = 0; i < PF_COUNT; i++) {
        struct proto_filter *pf = &set->f[i];
        pf->row = &proto_filter_rows[i];
        pf->set = set;
        pf->debug = i == PF_ERPS ? &B->erps_debug : &pf->own_debug;
        pf->tracer.set_debug = proto_filter_set_debug;
        pf->tracer.context = pf;
        jxbridge_tracer_register(&pf->tracer);
        proto_filter_dev_make(pf, add);
    }
    B->proto_filters = set;
    return 0;
}

static void proto_filter_fini(struct jxbridge *B) {
    lockdep_assert_held(&jxbridge_lock);
    struct proto_filter_set *set = B->proto_filters;
    if (!set)
        return;
    B->proto_filters = nullptr;
    char names[PF_COUNT][IFNAMSIZ] = {};
    for (int i = 0; i < PF_COUNT; i++) {
        struct proto_filter *pf = &set->f[i];
        jxbridge_tracer_unregister(&pf->tracer);
        if (!pf->dev)
            continue;
        snprintf(names[i], sizeof(names[i]), "%s", pf->dev->name);
        proto_filter_detach(pf);
    }
    // Deleting joins the device's host link, whose sender may be waiting
    // for the lock.
    mutex_unlock(&jxbridge_lock);
    for (auto &name : names)
        if (name[0])
            proto_filter_dev_delete(name);
    mutex_lock(&jxbridge_lock);
    kfree(set);
}

void proto_filter_dev_gone(struct net_device *dev) {
    lockdep_assert_held(&jxbridge_lock);
    struct proto_filter *pf = proto_filter_of(dev);
    if (pf)
        proto_filter_detach(pf);
}

extern const struct jxbridge_subsys proto_filter_subsys = {
    .tag = "ProtoFlt",
    .init = proto_filter_init,
    .fini = proto_filter_fini,
};
