// IGMP snooping and proxy on the bridges of the main module: the module, its
// log, and IGMP bridges with their filter device, event log and timer.
#include "jxigmp/jxigmp.h"

#include "jxmng/jxmng.h"
#include "kernel/proc_fs.h"

#include <cstdarg>

struct igmp_state *igmp;
int igmp_log_level = 6;
int igmp_log_file_timestamps = 1;
static rte_param_reg igmp_log_level_param(KBUILD_MODNAME, "log_level", rte_param_type::int_,
                                          &igmp_log_level, 0644);
static rte_param_reg igmp_log_ts_param(KBUILD_MODNAME, "log_file_timestamps", rte_param_type::int_,
                                       &igmp_log_file_timestamps, 0644);
u32 igmp_debug_ifc = 0;
u32 igmp_debug_vid = IGMP_NO_VID;
bool igmp_debug;
bool igmp_in_pass;

void *igmp_zalloc(size_t size, const char *file, int line) {
    void *p = kzalloc(size, GFP_ATOMIC);
    if (!p)
        printk(KERN_ERR "%s:%d Unable to allocate %d bytes.\n", file, line, (int)size);
    return p;
}

// The log: lines go to every open reader of the config file.
void igmp_log_line(const char *text); // jxigmp_proc.cc

static void igmp_vlog(int level, const char *fmt, va_list ap) {
    char text[460];
    int n = vsnprintf(text, sizeof(text) - 30, fmt, ap);
    if (n <= 0)
        return;
    char line[460 + 32];
    jxbridge_log_timestamp(line, sizeof(line), text);
    (void)level;
    igmp_log_line(line);
}

void igmp_log(int level, const char *fmt, ...) {
    if (igmp_log_level == -1 || level > igmp_log_level || !(igmp_debug || igmp_in_pass))
        return;
    va_list ap;
    va_start(ap, fmt);
    igmp_vlog(level, fmt, ap);
    va_end(ap);
}

void igmp_log_force(int level, const char *fmt, ...) {
    if (level > igmp_log_level)
        return;
    va_list ap;
    va_start(ap, fmt);
    igmp_vlog(level, fmt, ap);
    va_end(ap);
}

// Messages about configuration go to the kernel log and the readers.
#define IGMP_INFO(fmt, ...)                                                                        \
    do {                                                                                           \
        printk(KERN_INFO "[IGMP] " fmt "\n", ##__VA_ARGS__);                                       \
        igmp_log_force(6, fmt, ##__VA_ARGS__);                                                     \
    } while (0)

const char *igmp_ip2a(u32 ip, char buf[16]) {
    snprintf(buf, 16, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xff, (ip >> 8) & 0xff, ip & 0xff);
    return buf;
}

void igmp_group_mac(u32 group, u8 mac[ETH_ALEN]) {
    mac[0] = 0x01;
    mac[1] = 0x00;
    mac[2] = 0x5e;
    mac[3] = (u8)((group >> 16) & 0x7f);
    mac[4] = (u8)(group >> 8);
    mac[5] = (u8)group;
}

struct igmp_bridge *igmp_bridge_find(const char *name) {
    if (!igmp || !name)
        return nullptr;
    for (struct igmp_bridge *ib = igmp->bridges; ib; ib = ib->next)
        if (!strcmp(ib->name, name))
            return ib;
    return nullptr;
}

struct igmp_vlan *igmp_vlan_find(struct igmp_bridge *ib, u16 vid) {
    for (struct igmp_vlan *v = ib->vlans; v; v = v->next)
        if (v->vid == vid)
            return v;
    return nullptr;
}

struct igmp_port *igmp_port_get(struct igmp_bridge *ib, u32 port_no) {
    if (port_no < 1 || port_no > ib->ports + 1)
        return nullptr;
    struct igmp_port *p = &ib->port[port_no - 1];
    return p->in_use ? p : nullptr;
}

u32 igmp_port_no(struct igmp_bridge *ib, const struct igmp_port *port) {
    return (u32)(port - ib->port) + 1;
}

static void igmp_buffers_free(struct igmp_bridge *ib) {
    kfree(ib->frame);
    kfree(ib->fwd_buf);
    ib->frame = nullptr;
    ib->fwd_buf = nullptr;
}

static int igmp_buffers_alloc(struct igmp_bridge *ib) {
    if (!ib->frame)
        ib->frame = (u8 *)igmp_alloc(IGMP_FRAME_BUF);
    if (!ib->frame) {
        IGMP_INFO("<%s> Unable to allocate frame buffer.", ib->name);
        return -ENOMEM;
    }
    if (!ib->fwd_buf)
        ib->fwd_buf = (u8 *)igmp_alloc(IGMP_FWD_BUF);
    if (!ib->fwd_buf) {
        IGMP_INFO("<%s> Unable to allocate forwarding list.", ib->name);
        igmp_buffers_free(ib);
        return -ENOMEM;
    }
    return 0;
}

int igmp_frame_callback(struct sk_buff *skb); // jxigmp_rx.cc

static void igmp_fdev_del(struct igmp_bridge *ib) {
    struct net_device *d = __dev_get_by_name(&init_net, ib->dev_name);
    if (d && (dev_get_flags(d) & IFF_UP)) {
        rtnl_lock();
        dev_close(d);
        rtnl_unlock();
    }
    int rc = mng_dev_del(ib->dev_name);
    if (rc)
        IGMP_INFO("<%s> Unable to delete pseudo device '%s': %d.", ib->name, ib->dev_name, rc);
    else
        IGMP_INFO("<%s> Pseudo device '%s' deleted.", ib->name, ib->dev_name);
}

static void igmp_bridge_free(struct igmp_bridge *ib) {
    igmp_buffers_free(ib);
    while (ib->acls) {
        struct igmp_acl_group *a = ib->acls;
        ib->acls = a->next;
        kfree(a);
    }
    while (ib->mvlans) {
        struct igmp_mvr_mvlan *m = ib->mvlans;
        ib->mvlans = m->next;
        while (m->ranges) {
            struct igmp_mvr_range *r = m->ranges;
            m->ranges = r->next;
            kfree(r);
        }
        kfree(m);
    }
    while (ib->vlans) {
        struct igmp_vlan *v = ib->vlans;
        ib->vlans = v->next;
        kfree(v);
    }
    kfree(ib->port);
    kfree(ib);
}

int igmp_bridge_add(const char *name, u32 ports) {
    if (!igmp)
        return -ENXIO;
    if (strlen(name) > IGMP_NAME_MAX) {
        IGMP_INFO("Max bridge name length can be %d.", IGMP_NAME_MAX);
        return -EINVAL;
    }
    if (igmp_bridge_find(name)) {
        IGMP_INFO("<%s> Bridge already exists.", name);
        return -ENODEV;
    }
    struct jxbridge *B = jxbridge_find(name);
    if (!B)
        return -ENODEV;
    // The records are sized from the count: it must be a port count of the bridge.
    if (ports < 1 || ports > jxbridge_max_ports_get(B))
        return -ERANGE;
    auto *ib = (struct igmp_bridge *)igmp_alloc(sizeof(struct igmp_bridge));
    size_t psize = sizeof(struct igmp_port) * ((size_t)ports + 1);
    auto *pr = ib ? (struct igmp_port *)igmp_alloc(psize) : nullptr;
    if (!pr) {
        IGMP_INFO("<%s> Cannot allocate memory (%d bytes).", name,
                  (int)(sizeof(struct igmp_bridge) + psize));
        kfree(ib);
        return -ENOMEM;
    }
    ib->port = pr;
    snprintf(ib->name, sizeof(ib->name), "%s", name);
    snprintf(ib->dev_name, sizeof(ib->dev_name), "%s_%s", name, "igmp");
    mutex_init(&ib->lock);
    ib->bridge = B;
    ib->ports = ports;
    int rc = mng_dev_add(ib->dev_name);
    if (rc == -EEXIST)
        IGMP_INFO("<%s> Pseudo device %s already exits. OK.", name, ib->dev_name);
    else if (rc) {
        igmp_bridge_free(ib);
        return rc;
    }
    ib->fdev = __dev_get_by_name(&init_net, ib->dev_name);
    if (ib->fdev && !(dev_get_flags(ib->fdev) & IFF_UP)) {
        rtnl_lock();
        dev_open(ib->fdev);
        rtnl_unlock();
    }
    // br0's log keeps the plain name; another bridge's would collide with it.
    char log_name[IGMP_NAME_MAX + 16];
    if (!strcmp(name, "br0"))
        snprintf(log_name, sizeof(log_name), "group_change");
    else
        snprintf(log_name, sizeof(log_name), "%s_%s", name, "group_change");
    rc = jxbridge_log_add(igmp_proc_dir, log_name,
                          "Action   VID Multicast group  Port#  Client IP Addr Reason\n", ib,
                          &ib->event_log);
    if (rc == 0) {
        jxbridge_log_add_timestamp_set(ib->event_log, (u32)igmp_log_file_timestamps);
        rc = app_filter_register(jxbridge_app_filter_set(B), "igmp", ib->dev_name,
                                 igmp_frame_callback);
        if (rc)
            IGMP_INFO("<%s> Cannot attach filter to '%s' (rv=%d).", name, ib->dev_name, rc);
    }
    if (rc == 0)
        rc = igmp_buffers_alloc(ib);
    if (rc) {
        if (ib->event_log)
            jxbridge_log_del(ib->event_log);
        app_filter_unregister(jxbridge_app_filter_set(B), "igmp");
        igmp_fdev_del(ib);
        igmp_bridge_free(ib);
        return rc < 0 ? rc : -EINVAL;
    }
    ib->stag_type = jxbridge_outer_ethertype_get(B);
    ib->version_pass[1] = 1;
    ib->gmi = IGMP_DEF_GMI;
    ib->immediate_leave = 1;
    ib->mrt_delta = IGMP_DEF_MRT_DELTA;
    ib->mvr = 1;
    ib->impmm = 1;
    ib->sq_interval = ib->sq_countdown = IGMP_DEF_SQ_INTERVAL;
    ib->sq_mrt = IGMP_DEF_SQ_MRT;
    ib->qrv = IGMP_DEF_QRV;
    ib->lmqi = IGMP_DEF_LMQI;
    ib->lmqc = IGMP_DEF_LMQC;
    ib->rand = 0x2545F491u;
    struct igmp_port *sc = &ib->port[ports];
    snprintf(sc->name, sizeof(sc->name), "static_client");
    sc->in_use = 1;
    sc->type = IGMP_CLIENT_SERVER;
    ib->next = igmp->bridges;
    igmp->bridges = ib;
    IGMP_INFO("<%s> Bridge added (S-Tag EtherType=0x%04x, ports=%d, GMI=%u, Immediate Leave=%s, "
              "MTU=%d, buffer=%d).",
              name, ib->stag_type, (int)ports, ib->gmi, ib->immediate_leave ? "on" : "off",
              IGMP_MTU, IGMP_FRAME_BUF);
    for (int i = 0; i < 4; i++)
        IGMP_INFO("<%s> Will %s IGMPv%d.", name, ib->version_pass[i] ? "pass" : "block", i + 1);
    ib->last_pass = jiffies;
    jxbridge_timer_init(B, &ib->timer, igmp_timer_fn, ib, JXBRIDGE_TIMER_SLOT_IGMP);
    return 0;
}

static void igmp_bridge_unlink(struct igmp_bridge *ib) {
    for (struct igmp_bridge **pp = &igmp->bridges; *pp; pp = &(*pp)->next)
        if (*pp == ib) {
            *pp = ib->next;
            return;
        }
}

// Caller holds jxbridge_lock.
int igmp_bridge_del(const char *name) {
    struct igmp_bridge *ib = igmp_bridge_find(name);
    if (!ib)
        return -ENOENT;
    ib->ended = 1;
    jxbridge_del_timer_sync(&ib->timer);
    mutex_lock(&ib->lock);
    igmp_flush(ib);
    mutex_unlock(&ib->lock);
    igmp_bridge_unlink(ib);
    app_filter_unregister(jxbridge_app_filter_set(ib->bridge), "igmp");
    jxbridge_log_del(ib->event_log);
    igmp_fdev_del(ib);
    IGMP_INFO("<%s> Bridge deleted.", ib->name);
    igmp_bridge_free(ib);
    return 0;
}

void igmp_bridge_free_all() {
    while (igmp && igmp->bridges)
        igmp_bridge_del(igmp->bridges->name);
}

// The main bridge goes while IGMP is on it: its MAC table, filters and
// timer pool are gone already, so only our own records are freed.
static int igmp_netdev_event(struct notifier_block *, unsigned long event, void *ptr) {
    if (event != NETDEV_UNREGISTER || !igmp)
        return NOTIFY_DONE;
    struct net_device *dev = netdev_notifier_info_to_dev(ptr);
    for (struct igmp_bridge *ib = igmp->bridges; ib; ib = ib->next) {
        if (strcmp(ib->name, dev->name) || (void *)ib->bridge != netdev_priv(dev))
            continue;
        ib->ended = 1;
        del_timer_sync(&ib->timer.timer);
        igmp_bridge_unlink(ib);
        jxbridge_log_del(ib->event_log);
        for (u32 i = 0; i <= ib->ports; i++)
            while (ib->port[i].clients) {
                struct igmp_client *c = ib->port[i].clients;
                ib->port[i].clients = c->next;
                while (c->groups) {
                    struct igmp_group *g = c->groups;
                    c->groups = g->next;
                    while (g->sources) {
                        struct igmp_source *s = g->sources;
                        g->sources = s->next;
                        kfree(s);
                    }
                    kfree(g);
                }
                kfree(c);
            }
        while (ib->fwds) {
            struct igmp_fwd *f = ib->fwds;
            ib->fwds = f->next;
            kfree(f);
        }
        printk(KERN_INFO "[IGMP] <%s> Bridge removed with its main bridge.\n", ib->name);
        igmp_bridge_free(ib);
        break;
    }
    return NOTIFY_DONE;
}

static struct notifier_block igmp_netdev_nb = {igmp_netdev_event, nullptr, 0};

// Module start: the proc entry only; the state comes with igmp_init.
int igmp_proc_init();
void igmp_proc_fini();

static int jxigmp_init() {
    int rc = igmp_proc_init();
    if (rc) {
        printk(KERN_ERR "[IGMP] Error initializing igmp proc.\n");
        return rc;
    }
    register_netdevice_notifier(&igmp_netdev_nb);
    printk(KERN_INFO "[IGMP] IGMP Initialized.\n");
    return 0;
}

void igmp_state_fini();

static void jxigmp_exit() {
    mutex_lock(&jxbridge_lock);
    igmp_state_fini();
    mutex_unlock(&jxbridge_lock);
    unregister_netdevice_notifier(&igmp_netdev_nb);
    igmp_proc_fini();
    printk(KERN_INFO "[IGMP] IGMP exiting.\n");
}

module_init(jxigmp_init);
module_exit(jxigmp_exit);
