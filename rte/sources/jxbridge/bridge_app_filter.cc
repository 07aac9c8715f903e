// Application filters hand chosen frames (DHCP, IGMP, MLD, PPPoE, ...) to a
// consumer: a module's callback, or the host's stack on a filter device,
// where a daemon reads them with their information header (app_frame_info).
// What a consumer sends back with the same header is forwarded by the bridge.
//
// A bridge has eight registration slots, used ones first. Registering makes
// the device a port of kind "local" owned by the set (not in the bridge's
// slots) and gives it a copy of its own operations with transmit replaced;
// unregistering puts the device back as it was. A device may serve several
// kinds of one bridge.
//
// Thread safety: jxbridge_lock guards the sets, the registrations and the
// forward lists. Frames a filter device sends from outside the receive
// thread wait on the application-filter queue naming their device by index,
// so a device that goes meanwhile only makes them dropped.
#include "jxbridge.h"

#define APP_FILTER_SLOTS 8
#define APP_FILTER_FWD_LISTS_MAX 64 // lists one task may hold before a frame uses them
#define APP_FILTER_TX_QUEUE_LEN 1000
#define APP_FILTER_CB_IFINDEX 40 // control-block bytes that name the device of a queued frame

#define AF_TRACE(...)                                                                              \
    do {                                                                                           \
        if (app_filter_debug)                                                                      \
            jxbridge_trace(__VA_ARGS__);                                                           \
    } while (0)

// The frame as a classifier sees it: from the MAC header, tags skipped.
struct app_frame_view {
    struct jxbridge *bridge;
    struct jxbridge_port *port;
    const u8 *f;
    u32 len;
    u16 type;
    u32 l3; // where the Ethernet type's header starts
};

struct app_filter_kind {
    const char *name;
    bool (*classify)(const struct app_frame_view *v);
};

// A filter device of a set: the port record it carries and its operations.
struct app_filter_dev {
    struct app_filter_set *set;
    struct net_device *dev;
    int ifindex;
    u32 users; // registrations of the set on it
    struct jxbridge_port *port;
    const struct net_device_ops *old_ops;
    struct net_device_ops ops; // its own, transmit replaced
    struct app_filter_dev *next_live;
    unsigned long retired; // jiffies when detached (on the retired list)
};

struct app_filter_reg {
    const struct app_filter_kind *kind;
    struct app_filter_dev *fdev;
    int (*callback)(struct sk_buff *skb);
};

// Forward lists a task sent, until its next frame uses them.
struct app_fwd_chain {
    struct task_struct *task;
    struct sk_buff *lists; // newest first, through next
    u32 n;
    struct app_fwd_chain *next;
};

struct app_filter_set {
    struct jxbridge *bridge;
    struct app_filter_reg *slots[APP_FILTER_SLOTS];
    struct app_fwd_chain *chains;
};

// Every filter device of every bridge, for the frames waiting on the queue.
static struct app_filter_dev *app_filter_live;
// Detached filter devices, kept a while: another thread may be inside the
// device's transmit with the operations copy and the port record of one.
static struct app_filter_dev *app_filter_retired;
#define APP_FILTER_RETIRE_JIFFIES HZ

// Header positions.

static u16 rd16(const u8 *p) {
    return (u16)(p[0] << 8 | p[1]);
}

static bool view_has(const struct app_frame_view *v, u32 off, u32 n) {
    return (u64)off + n <= v->len;
}

static bool is_ipv4_proto(const struct app_frame_view *v, u8 proto) {
    // IHL is checked before any header beyond the fixed 20 bytes is read.
    return v->type == ETH_P_IP && view_has(v, v->l3, 20) && (v->f[v->l3] & 0x0F) >= 5 &&
           v->f[v->l3 + 9] == proto && (rd16(v->f + v->l3 + 6) & 0x1FFF) == 0;
}

static bool ipv6_ext_header(u8 nh) {
    return nh == 0 || nh == 43 || nh == 60 || nh == 51 || nh == 44;
}

// Skips IPv6 extension headers: the upper-layer protocol and its offset, or
// false when they run past the frame.
static bool ipv6_upper(const struct app_frame_view *v, u8 *proto, u32 *off) {
    if (v->type != ETH_P_IPV6 || !view_has(v, v->l3, 40))
        return false;
    u8 nh = v->f[v->l3 + 6];
    u32 o = v->l3 + 40;
    for (int i = 0; i < 8 && ipv6_ext_header(nh); i++) {
        if (!view_has(v, o, 8))
            return false;
        u32 len = nh == 44 ? 8 : nh == 51 ? ((u32)v->f[o + 1] + 2) * 4 : ((u32)v->f[o + 1] + 1) * 8;
        nh = v->f[o];
        o += len;
    }
    if (ipv6_ext_header(nh))
        return false;
    *proto = nh;
    *off = o;
    return true;
}

static bool udp_dport_in(const struct app_frame_view *v, u32 udp, u16 a, u16 b) {
    if (!view_has(v, udp, 8))
        return false;
    u16 d = rd16(v->f + udp + 2);
    return d == a || d == b;
}

// Frames to the bridge's own MAC are for a client here unless the client
// address inside is another's.
static bool dhcp_not_local(const struct app_frame_view *v, u32 chaddr, const char *what) {
    const u8 *local = v->bridge->local_mac;
    if (!ether_addr_equal(v->f, local))
        return true;
    if (!view_has(v, chaddr, ETH_ALEN))
        return false;
    if (!ether_addr_equal(v->f + chaddr, local)) {
        AF_TRACE("[AppFlt] Local MAC: %s packet for a DHCP RA.\n", what);
        return true;
    }
    AF_TRACE("[AppFlt] Local MAC: %s packet for a local client.\n", what);
    return false;
}

// The classifiers: a frame too short for one is not selected.

static bool af_igmp(const struct app_frame_view *v) {
    const u8 *d = v->f;
    return d[0] == 0x01 && d[1] == 0x00 && d[2] == 0x5e && !(d[3] & 0x80) && is_ipv4_proto(v, 2);
}

static bool af_stp(const struct app_frame_view *v) {
    static const u8 stp[ETH_ALEN] = {0x01, 0x80, 0xc2, 0, 0, 0};
    return ether_addr_equal(v->f, stp);
}

static bool af_cfm(const struct app_frame_view *v) {
    return v->type == 0x8902;
}

static bool af_mld(const struct app_frame_view *v) {
    const u8 *f = v->f;
    u32 ip = v->l3, h = ip + 40;
    if (v->type != ETH_P_IPV6 || !view_has(v, ip, 40 + 8))
        return false;
    if (f[ip + 8] != 0xfe || (f[ip + 9] & 0xc0) != 0x80 || f[ip + 6] != 0 || f[ip + 7] != 1)
        return false;
    // Router Alert (MLD) must be the first option.
    if (f[h] != 58 || f[h + 2] != 5 || f[h + 3] != 2 || rd16(f + h + 4) != 0)
        return false;
    u32 icmp = h + ((u32)f[h + 1] + 1) * 8;
    if (!view_has(v, icmp, 1))
        return false;
    u8 t = f[icmp];
    return t == 130 || t == 131 || t == 132 || t == 143;
}

static bool af_dhcp(const struct app_frame_view *v) {
    // Without a port the frame is nobody's request.
    if (!v->port || !is_ipv4_proto(v, 17))
        return false;
    u32 udp = v->l3 + (v->f[v->l3] & 0x0F) * 4u;
    if (!udp_dport_in(v, udp, 67, 68))
        return false;
    return dhcp_not_local(v, udp + 8 + 28, "DHCP");
}

static bool af_dhcpv6(const struct app_frame_view *v) {
    u8 proto;
    u32 udp;
    if (!v->port || !ipv6_upper(v, &proto, &udp) || proto != 17 || !udp_dport_in(v, udp, 546, 547))
        return false;
    return dhcp_not_local(v, udp + 20, "DHCPv6");
}

static bool af_icmpv6(const struct app_frame_view *v) {
    u8 proto;
    u32 off;
    return ipv6_upper(v, &proto, &off) && proto == 58;
}

static bool af_pppoe(const struct app_frame_view *v) {
    return v->type == ETH_P_PPP_DISC;
}

static const struct app_filter_kind app_filter_registered_filters[] = {
    {"igmp", af_igmp}, {"stp", af_stp},       {"cfm", af_cfm},       {"mld", af_mld},
    {"dhcp", af_dhcp}, {"dhcpv6", af_dhcpv6}, {"icmpv6", af_icmpv6}, {"pppoe", af_pppoe},
};

static const struct app_filter_kind *app_filter_kind_find(const char *name) {
    for (const auto &k : app_filter_registered_filters)
        if (!strcmp(k.name, name))
            return &k;
    return nullptr;
}

static bool app_frame_view_init(struct app_frame_view *v, struct jxbridge *B,
                                struct jxbridge_port *P, const struct sk_buff *skb) {
    v->bridge = B;
    v->port = P;
    v->f = skb->data;
    v->len = skb->len;
    if (v->len < ETH_HLEN)
        return false;
    u32 off = 12;
    u16 type = rd16(v->f + off);
    for (int tags = 0; tags < 2 && (type == ETH_P_8021Q || type == ETH_P_8021AD ||
                                    (B->outer_ethertype && type == B->outer_ethertype));
         tags++) {
        if (!view_has(v, off + 4, 2))
            return false;
        off += 4;
        type = rd16(v->f + off);
    }
    v->type = type;
    v->l3 = off + 2;
    return true;
}

// The header and the forward list, for this module and the others.

int app_frame_info_decode(const void *buf, size_t len, struct app_frame_info *out) {
    if (!buf || !out || len < APP_FRAME_INFO_LEN)
        return -EINVAL;
    memcpy(out, buf, APP_FRAME_INFO_LEN);
    out->rx_dev[sizeof(out->rx_dev) - 1] = '\0';
    out->port_dev[sizeof(out->port_dev) - 1] = '\0';
    out->out_dev[sizeof(out->out_dev) - 1] = '\0';
    return 0;
}
EXPORT_SYMBOL(app_frame_info_decode);

void app_frame_info_encode(const struct app_frame_info *info, void *buf) {
    memcpy(buf, info, APP_FRAME_INFO_LEN);
}
EXPORT_SYMBOL(app_frame_info_encode);

size_t app_fwd_list_encode(void *buf, size_t cap, const u16 *ports, u32 n) {
    u64 size = app_fwd_list_size(n);
    if (!buf || size > cap)
        return 0;
    u8 *b = (u8 *)buf;
    memset(b, 0, size);
    memcpy(b, &n, sizeof(n));
    if (n)
        memcpy(b + 4, ports, (size_t)n * 2);
    return (size_t)size;
}
EXPORT_SYMBOL(app_fwd_list_encode);

long app_fwd_list_decode(const void *payload, size_t len) {
    u32 n;
    if (!payload || len < sizeof(n))
        return -EINVAL;
    memcpy(&n, payload, sizeof(n));
    // In 64 bits: a count near 2^31 would wrap the size in 32.
    return app_fwd_list_size(n) <= len ? (long)n : -EINVAL;
}
EXPORT_SYMBOL(app_fwd_list_decode);

u16 app_fwd_list_entry(const void *payload, u32 index) {
    u16 e;
    memcpy(&e, (const u8 *)payload + 4 + (size_t)index * 2, sizeof(e));
    return e;
}
EXPORT_SYMBOL(app_fwd_list_entry);

// Registrations.

static int app_filter_dev_attach(struct app_filter_set *set, struct net_device *dev,
                                 struct app_filter_dev **out) {
    for (auto *reg : set->slots)
        if (reg && reg->fdev->dev == dev) {
            reg->fdev->users++;
            dev_put(dev); // the set holds one reference per device
            *out = reg->fdev;
            return 0;
        }
    auto *fd = (struct app_filter_dev *)jxbridge_zalloc(sizeof(struct app_filter_dev));
    auto *p = (struct jxbridge_port *)jxbridge_zalloc(sizeof(struct jxbridge_port));
    if (!fd || !p) {
        kfree(fd);
        kfree(p);
        return -ENOMEM;
    }
    p->bridge = set->bridge;
    p->dev = dev;
    p->kind = JXBRIDGE_PORT_LOCAL;
    p->port_no = JXBRIDGE_NO_PORT;
    p->state = JXBRIDGE_STATE_OK;
    p->phy_state = JXBRIDGE_PHY_UP;
    p->mn_flag = 1;
    p->pvc_vp = 0xFFFF;
    snprintf(p->display_name, sizeof(p->display_name), "%s", dev->name);
    fd->set = set;
    fd->dev = dev;
    fd->ifindex = dev->ifindex;
    fd->users = 1;
    fd->port = p;
    rtnl_lock();
    int rc = netdev_rx_handler_register(dev, nullptr, p);
    if (!rc) {
        fd->old_ops = dev->netdev_ops;
        if (fd->old_ops)
            fd->ops = *fd->old_ops;
        fd->ops.ndo_start_xmit = [](struct sk_buff *skb, struct net_device *d) {
            app_filter_xmit(skb, d);
            return NETDEV_TX_OK;
        };
        __atomic_store_n(&dev->netdev_ops, &fd->ops, __ATOMIC_RELEASE);
        dev->priv_flags |= IFF_BRIDGE_PORT;
    }
    rtnl_unlock();
    if (rc) {
        kfree(fd);
        kfree(p);
        return rc;
    }
    fd->next_live = app_filter_live;
    app_filter_live = fd;
    *out = fd;
    return 0;
}

// Frees retired devices detached long enough ago that no transmit can still
// be inside them, or all of them (the module goes, every sender is gone).
void app_filter_retired_reap(bool all) {
    for (struct app_filter_dev **pp = &app_filter_retired; *pp;) {
        struct app_filter_dev *fd = *pp;
        if (!all && !time_after(jiffies, fd->retired + APP_FILTER_RETIRE_JIFFIES)) {
            pp = &fd->next_live;
            continue;
        }
        *pp = fd->next_live;
        kfree(fd->port);
        kfree(fd);
    }
}

static void app_filter_dev_detach(struct app_filter_dev *fd) {
    if (--fd->users)
        return;
    struct net_device *dev = fd->dev;
    // The device's own unregistration comes here holding the routing lock.
    bool take_rtnl = !rtnl_is_held();
    if (take_rtnl)
        rtnl_lock();
    netdev_rx_handler_unregister(dev);
    dev->priv_flags &= ~IFF_BRIDGE_PORT;
    __atomic_store_n(&dev->netdev_ops, fd->old_ops, __ATOMIC_RELEASE);
    if (take_rtnl)
        rtnl_unlock();
    for (struct app_filter_dev **pp = &app_filter_live; *pp; pp = &(*pp)->next_live)
        if (*pp == fd) {
            *pp = fd->next_live;
            break;
        }
    dev_put(dev);
    app_filter_retired_reap(false);
    fd->retired = jiffies;
    fd->next_live = app_filter_retired;
    app_filter_retired = fd;
}

int app_filter_register(struct app_filter_set *set, const char *kind, const char *device,
                        int (*callback)(struct sk_buff *skb)) {
    if (!set)
        return -EOPNOTSUPP;
    if (!kind || !device)
        return -EINVAL;
    lockdep_assert_held(&jxbridge_lock);
    if (app_filter_debug)
        printk(KERN_INFO "[AppFlt] app_filter_register(%s, %s, %s)\n", set->bridge->dev->name, kind,
               device);
    const struct app_filter_kind *k = app_filter_kind_find(kind);
    if (!k) {
        if (app_filter_debug)
            printk(KERN_INFO "[AppFlt] Filter is not valid.\n");
        return -1;
    }
    int free_slot = -1;
    for (int i = 0; i < APP_FILTER_SLOTS; i++) {
        if (!set->slots[i]) {
            free_slot = i;
            break;
        }
        if (set->slots[i]->kind == k) {
            if (app_filter_debug)
                printk(KERN_INFO "[AppFlt] Filter already exists.\n");
            return 0;
        }
    }
    if (free_slot < 0) {
        if (app_filter_debug)
            printk(KERN_INFO "[AppFlt] No filter position available..\n");
        return -1;
    }
    if (app_filter_debug)
        printk(KERN_INFO "[AppFlt] Free position at %d.\n", free_slot);
    struct net_device *dev = dev_get_by_name(&init_net, device);
    if (!dev) {
        if (app_filter_debug)
            printk(KERN_INFO "[AppFlt] Device '%s' not found.\n", device);
        return -ENODEV;
    }
    if (app_filter_debug)
        printk(KERN_INFO "[AppFlt] Found device.\n");
    auto *reg = (struct app_filter_reg *)jxbridge_zalloc(sizeof(struct app_filter_reg));
    if (!reg) {
        dev_put(dev);
        return -ENOMEM;
    }
    struct app_filter_dev *fd;
    int rc = app_filter_dev_attach(set, dev, &fd);
    if (rc) {
        dev_put(dev);
        kfree(reg);
        return rc;
    }
    reg->fdev = fd;
    reg->callback = callback;
    reg->kind = k;
    set->slots[free_slot] = reg;
    AF_TRACE("[AppFlt] Filter registered.\n");
    return 0;
}
EXPORT_SYMBOL(app_filter_register);

static void app_filter_slot_free(struct app_filter_set *set, int i) {
    struct app_filter_reg *reg = set->slots[i];
    int last = APP_FILTER_SLOTS - 1;
    while (last > i && !set->slots[last])
        last--;
    set->slots[i] = set->slots[last];
    set->slots[last] = nullptr;
    app_filter_dev_detach(reg->fdev);
    kfree(reg);
}

int app_filter_unregister(struct app_filter_set *set, const char *kind) {
    if (!set)
        return -EOPNOTSUPP;
    lockdep_assert_held(&jxbridge_lock);
    const struct app_filter_kind *k = kind ? app_filter_kind_find(kind) : nullptr;
    if (!k)
        return -EINVAL;
    for (int i = 0; i < APP_FILTER_SLOTS && set->slots[i]; i++)
        if (set->slots[i]->kind == k) {
            app_filter_slot_free(set, i);
            return 0;
        }
    return -ENOENT;
}
EXPORT_SYMBOL(app_filter_unregister);

// The device goes away: every registration on it goes first.
void app_filter_dev_gone(struct net_device *dev) {
    lockdep_assert_held(&jxbridge_lock);
    for (struct app_filter_dev *fd = app_filter_live; fd;) {
        struct app_filter_dev *next = fd->next_live;
        if (fd->dev == dev) {
            struct app_filter_set *set = fd->set;
            for (int i = APP_FILTER_SLOTS - 1; i >= 0; i--)
                if (set->slots[i] && set->slots[i]->fdev == fd)
                    app_filter_slot_free(set, i);
        }
        fd = next;
    }
}

int app_filter_set_debug(struct app_filter_set *, u32 value) {
    app_filter_debug = (int)value;
    return 0;
}

int app_filter_entry_get(u32 index, const char **name) {
    if (index >= ARRAY_SIZE(app_filter_registered_filters))
        return -ENOENT;
    *name = app_filter_registered_filters[index].name;
    return 0;
}

static void app_fwd_chain_free(struct app_fwd_chain *c) {
    while (c->lists) {
        struct sk_buff *l = c->lists;
        c->lists = l->next;
        l->next = nullptr;
        kfree_skb(l);
    }
    kfree(c);
}

static int app_filter_init(struct jxbridge *B) {
    auto *set = (struct app_filter_set *)jxbridge_zalloc(sizeof(struct app_filter_set));
    if (!set)
        return -ENOMEM;
    set->bridge = B;
    B->app_filters = set;
    printk(KERN_INFO "[%s/ApPFlt] Initialized.\n", B->dev->name);
    return 0;
}

static void app_filter_fini(struct jxbridge *B) {
    struct app_filter_set *set = B->app_filters;
    if (!set)
        return;
    for (int i = APP_FILTER_SLOTS - 1; i >= 0; i--)
        if (set->slots[i])
            app_filter_slot_free(set, i);
    while (set->chains) {
        struct app_fwd_chain *c = set->chains;
        set->chains = c->next;
        app_fwd_chain_free(c);
    }
    B->app_filters = nullptr;
    kfree(set);
}

static void app_filter_debug_set(void *, int on) {
    app_filter_debug = on;
}

extern const struct jxbridge_subsys app_filter_subsys = {
    .tag = "AppFlt",
    .init = app_filter_init,
    .fini = app_filter_fini,
    .set_debug = app_filter_debug_set,
};

// Delivery.

// The header's port fields: the device the frame came in on, and the port's
// device or its LAG master's while that is up.
static void app_filter_fill_info(struct app_frame_info *fi, struct sk_buff *skb,
                                 struct jxbridge_port *P) {
    memcpy(fi->cb, skb->cb, sizeof(fi->cb));
    fi->total_len = skb->len;
    if (!P)
        return;
    fi->bll_port_no = (u16)P->bll_port_no;
    struct net_device *rx = skb->skb_iif ? __dev_get_by_index(&init_net, skb->skb_iif) : nullptr;
    snprintf(fi->rx_dev, sizeof(fi->rx_dev), "%s", rx ? rx->name : P->dev->name);
    struct jxbridge_port *m = P->lag_master;
    struct net_device *pd = m && (dev_get_flags(m->dev) & IFF_UP) ? m->dev : P->dev;
    snprintf(fi->port_dev, sizeof(fi->port_dev), "%s", pd->name);
}

static struct sk_buff *app_filter_add_info(struct sk_buff *skb, struct jxbridge_port *P) {
    if (skb_headroom(skb) < APP_FRAME_INFO_LEN || skb_cloned(skb)) {
        AF_TRACE("[AppFlt]         Not enough head room. skb_headroom(skb)=%d, needed_headroom=%d. "
                 "Will try to expand head to=%d\n",
                 (int)skb_headroom(skb), APP_FRAME_INFO_LEN, APP_FRAME_INFO_LEN);
        struct sk_buff *n = skb_realloc_headroom(skb, APP_FRAME_INFO_LEN);
        kfree_skb(skb);
        if (!n) {
            AF_TRACE("[AppFlt]         skb_realloc_headroom(skb=%p,headroom=%d) failed.\n",
                     (void *)skb, APP_FRAME_INFO_LEN);
            return nullptr;
        }
        skb = n;
    }
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    cb->flag_byte &= (u8)~APP_FI_F_LOCKED;
    skb_push(skb, APP_FRAME_INFO_LEN);
    skb->protocol = htons(ETH_P_ALL);
    struct app_frame_info fi = {};
    app_filter_fill_info(&fi, skb, P);
    app_frame_info_encode(&fi, skb->data);
    AF_TRACE("[AppFlt]         Tags %d:%d, original %d:%d, space %d, sizeof(*frame_info)=%d.\n",
             ntohs(cb->outer_tci), ntohs(cb->inner_tci), ntohs(cb->rx_outer_tci),
             ntohs(cb->rx_inner_tci), cb->space & 0x7F, APP_FRAME_INFO_LEN);
    return skb;
}

struct sk_buff *app_filter_skb_add_info(struct sk_buff *skb) {
    if (!skb)
        return nullptr;
    return app_filter_add_info(skb, jxbridge_skb_get_jxbridge_port(skb));
}
EXPORT_SYMBOL(app_filter_skb_add_info);

// Out of line, so that the frames of a bridge with no filter pay no stack frame for it.
[[gnu::noinline]] static int app_filter_classify(struct app_filter_set *set, struct sk_buff *skb) {
    struct jxbridge_port *P = jxbridge_skb_get_jxbridge_port(skb);
    struct app_frame_view v;
    if (!app_frame_view_init(&v, set->bridge, P, skb))
        return 0;
    struct app_filter_reg *reg = nullptr;
    for (int i = 0; i < APP_FILTER_SLOTS && set->slots[i]; i++) {
        if (set->slots[i]->kind->classify(&v)) {
            reg = set->slots[i];
            break;
        }
        AF_TRACE("[AppFlt]       Not '%s'.\n", set->slots[i]->kind->name);
    }
    if (!reg)
        return 0;
    struct net_device *fdev = reg->fdev->dev;
    AF_TRACE("[AppFlt]       Selected by '%s'.\n", reg->kind->name);
    if (!(dev_get_flags(fdev) & IFF_UP)) {
        AF_TRACE("[AppFlt]       Filter device '%s' is down. Return frame to bridge.\n",
                 fdev->name);
        return 0;
    }
    struct jxbridge *B = set->bridge;
    skb = app_filter_add_info(skb, P);
    if (!skb) {
        B->dev->stats.rx_errors++;
        AF_TRACE("[AppFlt]       app_filter_skb_add_info error. Return frame to bridge for "
                 "dropping.\n");
        return -1;
    }
    skb->dev = fdev;
    DEV_STATS_INC(fdev, rx_packets);
    DEV_STATS_ADD(fdev, rx_bytes, skb->len);
    B->dev->stats.tx_packets++;
    B->dev->stats.tx_bytes += skb->len;
    skb->vlan_tci = 0;
    skb_reset_mac_header(skb);
    AF_TRACE("[AppFlt]       Moving to '%s'...\n", fdev->name);
    AF_TRACE("[AppFlt]         Tell the driver to not add VLAN on TX. skb->vlan_tci = 0\n");
    if (!reg->callback) {
        netif_rx(skb);
        return 1;
    }
    JXBRIDGE_CB(skb)->flag_byte |= APP_FI_F_LOCKED;
    skb->data[APP_FI_FLAGS_OFFSET] |= APP_FI_F_LOCKED;
    reg->callback(skb);
    return 1;
}

int app_filter_apply(struct app_filter_set *set, struct sk_buff *skb) {
    if (!set)
        return 0;
    lockdep_assert_held(&jxbridge_lock);
    AF_TRACE("[AppFlt]     Checking filters...\n");
    if (!set->slots[0]) // no filter registered: nothing to classify for
        return 0;
    return app_filter_classify(set, skb);
}

// Transmission.

static struct app_fwd_chain *app_fwd_chain_of(struct app_filter_set *set, bool make) {
    for (struct app_fwd_chain *c = set->chains; c; c = c->next)
        if (c->task == current)
            return c;
    if (!make)
        return nullptr;
    auto *c = (struct app_fwd_chain *)jxbridge_zalloc(sizeof(struct app_fwd_chain));
    if (!c)
        return nullptr;
    c->task = current;
    c->next = set->chains;
    set->chains = c;
    return c;
}

static void app_fwd_chain_take(struct app_filter_set *set, struct app_fwd_chain *c) {
    for (struct app_fwd_chain **pp = &set->chains; *pp; pp = &(*pp)->next)
        if (*pp == c) {
            *pp = c->next;
            break;
        }
}

static bool app_pon_already_sent(struct jxbridge *B, struct sk_buff *skb, struct jxbridge_port *p) {
    return skb->pkt_type == JXBRIDGE_PKT_MCAST && B->pon_mcast_gem != JXBRIDGE_PON_NO_MCAST_GEM &&
           !jxbridge_pon_mcast_fwd_should_send(p);
}

// Sends the frame to the ports of the task's forward lists, newest list first
// and each list from its last entry: copies to all but the first port found,
// the frame itself to that one.
static void app_filter_send_lists(struct jxbridge *B, struct app_fwd_chain *c,
                                  struct sk_buff *skb) {
    struct jxbridge_port *kept = nullptr;
    while (c->lists) {
        struct sk_buff *l = c->lists;
        c->lists = l->next;
        l->next = nullptr;
        long n = l->len >= 8 ? app_fwd_list_decode(l->data, l->len) : -EINVAL;
        for (long i = n - 1; i >= 0; i--) {
            u16 bll = app_fwd_list_entry(l->data, (u32)i);
            struct jxbridge_port *p = get_jxbridge_port_from_bll_port_no(B, bll);
            if (!p) {
                AF_TRACE("[AppFlt] Error retrieving jxbridge_port for index %d\n", bll);
                continue;
            }
            if (app_pon_already_sent(B, skb, p)) {
                AF_TRACE("[PON]           Already sent this way, won't do it again...\n");
                continue;
            }
            if (!kept) {
                kept = p;
                continue;
            }
            struct sk_buff *copy = skb_copy(skb, GFP_ATOMIC);
            if (!copy) {
                AF_TRACE("[AppFlt] Unable to copy frame.\n");
                continue;
            }
            AF_TRACE("[AppFlt]   Send to %s (%d bytes).\n", p->dev->name, (int)copy->len);
            jxbridge_forward(p, copy);
        }
        kfree_skb(l);
    }
    kfree(c);
    if (!kept || app_pon_already_sent(B, skb, kept)) {
        if (kept)
            AF_TRACE("[PON]           Already sent this way, dropping...\n");
        kfree_skb(skb);
        return;
    }
    jxbridge_forward(kept, skb);
}

static void app_filter_send(struct jxbridge *B, struct sk_buff *skb,
                            const struct app_frame_info *fi) {
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    struct jxbridge_port *from = jxbridge_port_at(B, cb->port_no);
    if (from)
        AF_TRACE("[AppFlt]   Came from '%s'.\n", from->dev->name);
    u16 outer = ntohs(cb->outer_tci);
    if (!fi->out_bll_port_no) {
        struct jxbridge_port *dst =
            mac_table_lookup(B->mac_table, eth_hdr(skb)->h_dest, outer & 0xFFF);
        if (dst) {
            AF_TRACE("[AppFlt]   MAC-based forward to %s.\n", dst->dev->name);
            jxbridge_forward(dst, skb);
            return;
        }
        AF_TRACE("[AppFlt]   Lookup failure, flood.\n");
        if (skb->pkt_type == JXBRIDGE_PKT_UCAST)
            skb->pkt_type = JXBRIDGE_PKT_DLF;
        jxbridge_flood_forward(B, skb);
        return;
    }
    struct jxbridge_port *to = get_jxbridge_port_from_bll_port_no(B, fi->out_bll_port_no);
    if (to && outer == JXBRIDGE_NO_VID) {
        AF_TRACE("[AppFlt]   Send directly to %s.\n", to->dev->name);
        skb->dev = to->dev;
        cb->port_no = (u16)to->port_no;
        jxbridge_unqueued_xmit(skb);
        return;
    }
    if (to) {
        AF_TRACE("[AppFlt]   Send to %s.\n", to->dev->name);
        jxbridge_forward(to, skb);
        return;
    }
    struct net_device *out = fi->out_dev[0] ? __dev_get_by_name(&init_net, fi->out_dev) : nullptr;
    if (!out) {
        AF_TRACE("[AppFlt]   Port '%s' not found.\n", fi->out_dev);
        kfree_skb(skb);
        return;
    }
    AF_TRACE("[AppFlt]   Send to [%s].\n", out->name);
    skb->dev = out;
    dev_queue_xmit(skb);
}

// jxbridge_lock held; the frame's header is still in front.
static void app_filter_xmit_locked(struct sk_buff *skb, struct net_device *dev,
                                   const struct app_frame_info *fi) {
    struct jxbridge_port *fp = (dev->priv_flags & IFF_BRIDGE_PORT)
                                   ? (struct jxbridge_port *)dev->rx_handler_data
                                   : nullptr;
    struct jxbridge *B = fp ? fp->bridge : nullptr;
    if (!B || !B->app_filters) {
        AF_TRACE("\n[AppFlt] %s(%p, %s) from USER out at %s:%d.\n", __func__, (void *)skb,
                 dev->name, __FILE__, __LINE__);
        DEV_STATS_INC(dev, rx_dropped);
        kfree_skb(skb);
        return;
    }
    struct app_filter_set *set = B->app_filters;
    skb_pull(skb, APP_FRAME_INFO_LEN);
    skb_reset_mac_header(skb);
    const u8 flags = fi->cb[APP_FI_FLAGS_OFFSET];
    if (flags & APP_FI_F_FWD_LIST) {
        long n = app_fwd_list_decode(skb->data, skb->len);
        if (n < 0) {
            u32 raw = 0;
            memcpy(&raw, skb->data, sizeof(raw));
            AF_TRACE("[AppFlt]     Forward list size mismatch (%u instead of %d).\n", skb->len,
                     (int)app_fwd_list_size(raw));
            DEV_STATS_INC(dev, rx_dropped);
            kfree_skb(skb);
            return;
        }
        struct app_fwd_chain *c = app_fwd_chain_of(set, false);
        if (!c) {
            c = app_fwd_chain_of(set, true);
            if (!c) {
                printk(KERN_ERR "[AppFlt] Unable to allocate forward list for '%s' [%d].\n",
                       current->comm, current->pid);
                DEV_STATS_INC(dev, rx_dropped);
                kfree_skb(skb);
                return;
            }
            AF_TRACE("[AppFlt]     New forward list for '%s' [%d].\n", current->comm, current->pid);
        }
        // A sender that never follows its lists with a frame holds no more than this.
        if (c->n >= APP_FILTER_FWD_LISTS_MAX) {
            DEV_STATS_INC(dev, rx_dropped);
            kfree_skb(skb);
            return;
        }
        skb->next = c->lists;
        c->lists = skb;
        c->n++;
        return;
    }
    if (is_zero_ether_addr(eth_hdr(skb)->h_source)) {
        printk(KERN_INFO "[AppFlt] %s:%d Zero source MAC, dropping.\n", __FILE__, __LINE__);
        DEV_STATS_INC(dev, rx_dropped);
        kfree_skb(skb);
        return;
    }
    memcpy(skb->cb, fi->cb, sizeof(skb->cb));
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    cb->flag_byte &= (u8) ~(APP_FI_F_TRACE | APP_FI_F_LOCKED | APP_FI_F_FWD_LIST);
    u16 gem;
    memcpy(&gem, fi->cb + APP_FI_GEM_OFFSET, sizeof(gem));
    skb->scratch = gem;
    skb->dev = dev;
    struct jxbridge_port *from = get_jxbridge_port_from_bll_port_no(B, fi->bll_port_no);
    cb->port_no = from ? (u16)from->port_no : JXBRIDGE_NO_PORT;
    const u8 *d = eth_hdr(skb)->h_dest;
    if (is_multicast_ether_addr(d) && !is_broadcast_ether_addr(d)) {
        skb->pkt_type = JXBRIDGE_PKT_MCAST;
        B->pon_mcast_gem = jxbridge_pon_mcast_fwd_init(B, ntohs(cb->outer_tci) & 0xFFF);
        if (B->pon_mcast_gem != JXBRIDGE_PON_NO_MCAST_GEM) {
            skb->scratch = B->pon_mcast_gem;
            AF_TRACE("[AppFlt] GEM port set to %d.\n", (int)B->pon_mcast_gem);
        }
        DEV_STATS_INC(dev, multicast);
    } else {
        skb->pkt_type = is_broadcast_ether_addr(d) ? JXBRIDGE_PKT_BCAST : JXBRIDGE_PKT_UCAST;
    }
    DEV_STATS_INC(dev, tx_packets);
    DEV_STATS_ADD(dev, tx_bytes, skb->len);
    struct app_fwd_chain *c = app_fwd_chain_of(set, false);
    if (c) {
        app_fwd_chain_take(set, c);
        app_filter_send_lists(B, c, skb);
        return;
    }
    app_filter_send(B, skb, fi);
}

static int app_filter_xmit_now(struct sk_buff *skb, struct net_device *dev) {
    // Frames of the bridge itself never come back this way.
    if (skb->skb_iif && __dev_get_by_index(&init_net, skb->skb_iif)) {
        kfree_skb(skb);
        return 0;
    }
    skb_orphan(skb);
    struct app_frame_info fi;
    // The header and an Ethernet header, or the header and a list's count.
    bool list =
        skb->len > APP_FI_FLAGS_OFFSET && (skb->data[APP_FI_FLAGS_OFFSET] & APP_FI_F_FWD_LIST);
    u32 need = APP_FRAME_INFO_LEN + (list ? 4 : ETH_HLEN);
    if (skb->len < need || app_frame_info_decode(skb->data, skb->len, &fi)) {
        AF_TRACE("[AppFlt]   Not enough data (%d bytes).\n", (int)skb->len);
        DEV_STATS_INC(dev, rx_dropped);
        kfree_skb(skb);
        return 0;
    }
    if (fi.total_len != skb->len) {
        AF_TRACE("\n[AppFlt] %s(%p, %s) from USER\n[AppFlt]   Invalid data size: skb=%d, "
                 "frame=%d\n",
                 __func__, (void *)skb, dev->name, (int)skb->len, (int)fi.total_len);
        DEV_STATS_INC(dev, rx_dropped);
        kfree_skb(skb);
        return 0;
    }
    const int saved_debug = app_filter_debug;
    if (fi.cb[APP_FI_FLAGS_OFFSET] & APP_FI_F_TRACE)
        app_filter_debug = 1;
    // Whoever holds the lock already is the pipeline calling back; anyone
    // else waits for it, whatever the header claims.
    const bool take = !mutex_is_owner(&jxbridge_lock);
    if (take) {
        mutex_lock(&jxbridge_lock);
        AF_TRACE("[AppFlt] Take lock =========================================================\n");
    }
    app_filter_xmit_locked(skb, dev, &fi);
    if (take) {
        AF_TRACE("[AppFlt] Done. Release lock ================================================\n");
        mutex_unlock(&jxbridge_lock);
    }
    app_filter_debug = saved_debug;
    return 0;
}

// A frame that waited on the queue: its device is named by index, and sent
// only while it is still a filter device.
static int app_filter_dequeued(struct sk_buff *skb, struct jxbridge_af_filter *) {
    int ifindex;
    memcpy(&ifindex, skb->cb + APP_FILTER_CB_IFINDEX, sizeof(ifindex));
    mutex_lock(&jxbridge_lock);
    struct app_filter_dev *fd = app_filter_live;
    while (fd && fd->ifindex != ifindex)
        fd = fd->next_live;
    if (fd)
        app_filter_xmit_now(skb, fd->dev);
    else
        kfree_skb(skb);
    mutex_unlock(&jxbridge_lock);
    return 0;
}

static struct jxbridge_af_filter app_filter_queue = {app_filter_dequeued};

int app_filter_xmit(struct sk_buff *skb, struct net_device *dev) {
    if (!skb)
        return 0;
    if (jxbridge_q.enabled && current != jxbridge_q.thread) {
        memcpy(skb->cb + APP_FILTER_CB_IFINDEX, &dev->ifindex, sizeof(dev->ifindex));
        jxbridge_threaded_af_rx(skb, &app_filter_queue);
        return 0;
    }
    return app_filter_xmit_now(skb, dev);
}

int jxbridge_app_filter_xmit(struct sk_buff *skb, struct net_device *dev) {
    return app_filter_xmit(skb, dev);
}
EXPORT_SYMBOL(jxbridge_app_filter_xmit);
