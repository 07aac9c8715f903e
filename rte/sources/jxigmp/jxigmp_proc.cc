// /proc/net/jxigmp/config: the ioctl commands with their marshalled
// arguments, the text commands, and the log stream its readers receive.
#include "jxigmp/jxigmp.h"

#include "kernel/proc_fs.h"
#include "kernel/uaccess.h"

#include <cctype>

struct proc_dir_entry *igmp_proc_dir;

// Readers: each open has its own queue of log lines.
#define IGMP_READER_LINES 2000
struct igmp_reader {
    struct igmp_reader *next;
    struct jxbridge_log_reader *r;
};
static struct mutex igmp_readers_lock;
static struct igmp_reader *igmp_readers;

void igmp_log_line(const char *text) {
    size_t n = strnlen(text, 459);
    char line[461];
    memcpy(line, text, n);
    line[n++] = '\n';
    mutex_lock(&igmp_readers_lock);
    for (struct igmp_reader *r = igmp_readers; r; r = r->next)
        jxbridge_log_reader_append(r->r, line, (u32)n);
    mutex_unlock(&igmp_readers_lock);
}

static int igmp_open(struct inode *, struct file *file) {
    auto *ir = (struct igmp_reader *)igmp_alloc(sizeof(struct igmp_reader));
    struct jxbridge_log_reader *r = ir ? jxbridge_log_reader_new() : nullptr;
    if (!r) {
        kfree(ir);
        return -ENOMEM;
    }
    r->max_lines = IGMP_READER_LINES;
    ir->r = r;
    mutex_lock(&igmp_readers_lock);
    ir->next = igmp_readers;
    igmp_readers = ir;
    mutex_unlock(&igmp_readers_lock);
    file->private_data = ir;
    return 0;
}

static int igmp_release(struct inode *, struct file *file) {
    auto *ir = (struct igmp_reader *)file->private_data;
    if (!ir)
        return 0;
    mutex_lock(&igmp_readers_lock);
    for (struct igmp_reader **pp = &igmp_readers; *pp; pp = &(*pp)->next)
        if (*pp == ir) {
            *pp = ir->next;
            break;
        }
    mutex_unlock(&igmp_readers_lock);
    jxbridge_log_reader_free(ir->r);
    kfree(ir);
    return 0;
}

static ssize_t igmp_read(struct file *file, char __user *buf, size_t count, loff_t *) {
    auto *ir = (struct igmp_reader *)file->private_data;
    return ir ? jxbridge_log_reader_read(ir->r, file, buf, count) : -EBADF;
}

static __poll_t igmp_poll(struct file *file, poll_table *wait) {
    auto *ir = (struct igmp_reader *)file->private_data;
    return ir ? jxbridge_log_reader_poll(ir->r, file, wait) : EPOLLERR;
}

// Lines a reader lost because it did not read.
u32 igmp_reader_lost(struct file *file) {
    auto *ir = (struct igmp_reader *)file->private_data;
    return ir ? ir->r->drops : 0;
}

// The state.

static int igmp_init() {
    if (igmp) {
        printk(KERN_INFO "[IGMP] Already initialized.\n");
        return 0;
    }
    igmp = (struct igmp_state *)igmp_alloc(sizeof(struct igmp_state));
    if (!igmp)
        return -ENOMEM;
    printk(KERN_INFO "IGMP kernel module\n");
    return 0;
}

void igmp_state_fini() {
    if (!igmp)
        return;
    igmp_bridge_free_all();
    kfree(igmp);
    igmp = nullptr;
}

// Dumps (to the log stream).

static const char *const mode_names[] = {"discard", "flood", "forward", "forward+flood"};

void igmp_dump(struct igmp_bridge *ib, const char *what) {
    char a[16];
    bool all = !strcmp(what, "all");
    if (all || !strcmp(what, "cfg")) {
        igmp_log_force(6, "   # Configuration");
        igmp_log_force(6, "   # MTU=%d, mode=%s idevIdx=%d S-Tag=0x%04x", IGMP_MTU,
                       mode_names[ib->mode & 3], jxbridge_input_dev_override_get(ib->bridge),
                       ib->stag_type);
        igmp_log_force(6, "   # BuffSize=%u MaxPorts=%u ImmediateLeave=%s", IGMP_FRAME_BUF,
                       ib->ports, ib->immediate_leave ? "on" : "off");
        igmp_log_force(6, "   # GeneralTimeout=%u MrtDelta=%u Versions:%s%s%s", ib->gmi,
                       ib->mrt_delta, ib->version_pass[0] ? " v1" : "",
                       ib->version_pass[1] ? " v2" : "", ib->version_pass[2] ? " v3" : "");
        igmp_log_force(6, "   # SystemManagementIp=%s", igmp_ip2a(ib->sys_mng_ip, a));
        for (struct igmp_vlan *v = ib->vlans; v; v = v->next)
            igmp_log_force(6, "   # VLAN %d: %s, proxy %s, QI %u, GEM %u", v->vid,
                           v->enabled ? "enabled" : "disabled", v->proxy ? "on" : "off",
                           v->query_interval, v->gem);
    }
    if (all || !strcmp(what, "cfg_ports"))
        for (u32 i = 0; i <= ib->ports; i++) {
            struct igmp_port *p = &ib->port[i];
            if (p->in_use)
                igmp_log_force(6,
                               "   # Port %d '%s': type %d, mrouter %d, CAC %u/%u, MVR %d, "
                               "IMPMM %d",
                               (int)i + 1, p->name, p->type, p->mrouter, p->cac_count, p->cac_limit,
                               p->mvr, p->impmm);
        }
    if (all || !strcmp(what, "ports"))
        for (u32 i = 0; i <= ib->ports; i++)
            for (struct igmp_client *c = ib->port[i].clients; c; c = c->next)
                for (struct igmp_group *g = c->groups; g; g = g->next) {
                    char b[16];
                    igmp_log_force(6, "   | Port %d: %d/%s client %s, %sCLUDE, timer %d.%d",
                                   (int)i + 1, c->vid, igmp_ip2a(g->addr, a),
                                   c->ip == IGMP_STATIC_IP ? "static" : igmp_ip2a(c->ip, b),
                                   g->mode == IGMP_EXCLUDE ? "EX" : "IN", g->timer / 10,
                                   g->timer % 10);
                }
    if (all || !strcmp(what, "fwd")) {
        igmp_log_force(6, "   | Forward groups:");
        for (struct igmp_fwd *f = ib->fwds; f; f = f->next) {
            long left = (long)(f->expiry - jiffies);
            s32 t = left > 0 ? (s32)(left * 10 / HZ) : 0;
            s32 fj = f->report_in > 0 ? f->report_in : 0;
            igmp_log_force(6, "   |   %d/%s, Timer=%d/%d, ForceJoin=%d.%d%s", f->vid,
                           igmp_ip2a(f->group, a), t, (int)(ib->gmi - ib->mrt_delta), fj / 10,
                           fj % 10, f->first_report ? " first" : "");
        }
    }
}

// ioctl commands.

struct igmp_call {
    struct igmp_bridge *ib;
    const char *t[JXIGMP_ARGS_MAX]; // texts in
    u32 v[JXIGMP_ARGS_MAX];         // integers in and out
    char *out_text[JXIGMP_ARGS_MAX];
    u32 out_size[JXIGMP_ARGS_MAX];
    struct jxigmp_stats *stats;
};

using igmp_fn = int (*)(struct igmp_call *c);
struct igmp_cmd {
    u32 nr;
    const char *name;
    const char *args; // b bridge, t text in, i integer in, o integer out, T text out, s stats out
    igmp_fn fn;
};

static struct igmp_port *cport(struct igmp_call *c, u32 n, bool real = true) {
    struct igmp_port *p = igmp_port_get(c->ib, n);
    return p && (!real || n <= c->ib->ports) ? p : nullptr;
}
#define PORT(n)                                                                                    \
    struct igmp_port *p = cport(c, (n));                                                           \
    if (!p)                                                                                        \
        return -ENODEV;
#define VLAN(n)                                                                                    \
    struct igmp_vlan *v = igmp_vlan_find(c->ib, (u16)(n));                                         \
    if (!v)                                                                                        \
        return -ENOENT;

static int bool_arg(u32 v) {
    return v <= 1 ? 0 : -ERANGE;
}

static int vid_arg(u32 v) {
    return v >= 1 && v <= 4094 ? 0 : -ERANGE;
}

static void text_out(struct igmp_call *c, int i, const char *s) {
    if (c->out_text[i] && c->out_size[i])
        snprintf(c->out_text[i], c->out_size[i], "%s", s);
}

static struct igmp_acl_group *acl_find(struct igmp_bridge *ib, const char *name) {
    for (struct igmp_acl_group *a = ib->acls; a; a = a->next)
        if (!strcmp(a->name, name))
            return a;
    return nullptr;
}

static struct igmp_mvr_mvlan *mvlan_find(struct igmp_bridge *ib, u16 vid) {
    for (struct igmp_mvr_mvlan *m = ib->mvlans; m; m = m->next)
        if (m->vid == vid)
            return m;
    return nullptr;
}

static int mvr_rules(struct igmp_bridge *ib, struct igmp_port *p, struct igmp_mvr_vlan *e,
                     bool add) {
    struct jxbridge_port *bp = get_jxbridge_port_from_bll_port_no(ib->bridge, igmp_port_no(ib, p));
    if (!bp)
        return add ? -ENODEV : 0;
    struct vlan_data *vd = jxbridge_vlan_data(ib->bridge);
    struct igmp_mvr_mvlan *mv = mvlan_find(ib, e->mvid);
    struct igmp_mvr_range all = {nullptr, 0, 0xFFFFFFFFu};
    for (struct igmp_mvr_range *r = mv && mv->ranges ? mv->ranges : &all; r; r = r->next) {
        struct vlan_mvr_rule rule = {};
        rule.cvlan = e->cvid;
        rule.mvlan = e->mvid;
        rule.family = 2;
        rule.v4.first = r->first;
        rule.v4.last = r->last;
        int rc =
            add ? vlan_add_port_mvr_remark(vd, bp, &rule) : vlan_del_port_mvr_remark(vd, bp, &rule);
        if (rc && add) {
            char a[16], b[16];
            igmp_log_force(3, "Unable to add MVR egress remark rule %d/%s-%s --> %d (%d).", e->cvid,
                           igmp_ip2a(r->first, a), igmp_ip2a(r->last, b), e->mvid, rc);
            return rc;
        }
    }
    return 0;
}

static int vlan_add(struct igmp_call *c) {
    struct igmp_bridge *ib = c->ib;
    u32 vid = c->v[1];
    if (vid_arg(vid))
        return -ERANGE;
    if (ib->telemetry_on && ib->telemetry_vid == vid) {
        igmp_log_force(3, "VLAN %d used for telemetry log.", (int)vid);
        return -EPERM;
    }
    struct igmp_vlan *v = igmp_vlan_find(ib, (u16)vid);
    if (v && v->enabled) {
        igmp_log_force(3, "VLAN %d already enabled.", (int)vid);
        return -EEXIST;
    }
    struct net_device *mng = __dev_get_by_name(&init_net, "mng0");
    if (!mng) {
        igmp_log_force(3, "Error getting proxy MAC and IP.");
        return -ENODEV;
    }
    if (c->v[2]) {
        int rc = jxbridge_pon_vlan_mcast_gem_set(ib->bridge, vid, c->v[2]);
        if (rc) {
            igmp_log_force(3, "Can't set GEM port %u for VLAN %u (%d).", c->v[2], vid, rc);
            return rc;
        }
    }
    if (!v) {
        v = (struct igmp_vlan *)igmp_alloc(sizeof(struct igmp_vlan));
        if (!v)
            return -ENOMEM;
        v->vid = (u16)vid;
        v->query_interval = IGMP_DEF_SQ_INTERVAL;
        v->query_countdown = IGMP_DEF_SQ_INTERVAL;
        v->us_version = 2;
        v->next = ib->vlans;
        ib->vlans = v;
    }
    v->enabled = 1;
    v->gem = c->v[2];
    memcpy(v->mac, mng->dev_addr, ETH_ALEN);
    // The host's addresses are not the module's to read: the system management IP stands in.
    v->ip = ib->sys_mng_ip;
    u32 mode;
    struct vlan_data *vd = jxbridge_vlan_data(ib->bridge);
    if (vlan_mcast_mode_get(vd, (u16)vid, &mode) || mode < VLAN_MCAST_FORWARD)
        vlan_mcast_mode_set(vd, (u16)vid, VLAN_MCAST_FORWARD);
    char a[16];
    igmp_log_force(6, "VLAN %d added (MAC %02x:%02x:%02x:%02x:%02x:%02x, IP %s, GEM %u, proxy %s).",
                   (int)vid, v->mac[0], v->mac[1], v->mac[2], v->mac[3], v->mac[4], v->mac[5],
                   igmp_ip2a(v->ip, a), v->gem, v->proxy ? "on" : "off");
    return 0;
}

static int vlan_del(struct igmp_call *c) {
    struct igmp_bridge *ib = c->ib;
    VLAN(c->v[1]);
    if (c->v[2] > 3)
        return -ERANGE;
    for (u32 i = 0; i <= ib->ports; i++)
        for (struct igmp_client *cl = ib->port[i].clients; cl;) {
            struct igmp_client *next = cl->next;
            if (cl->vid == v->vid)
                while (ib->port[i].clients && cl->groups) {
                    bool last = !cl->groups->next;
                    igmp_group_del(ib, cl->groups, "vlan-del");
                    if (last)
                        break;
                }
            cl = next;
        }
    vlan_mcast_mode_set(jxbridge_vlan_data(ib->bridge), v->vid, c->v[2]);
    for (struct igmp_vlan **pp = &ib->vlans; *pp; pp = &(*pp)->next)
        if (*pp == v) {
            *pp = v->next;
            break;
        }
    kfree(v);
    return 0;
}

static int static_group(struct igmp_call *c, u32 port_no, u32 vid, u32 group, bool add) {
    struct igmp_bridge *ib = c->ib;
    struct igmp_port *p = cport(c, port_no, false);
    if (!p)
        return -ENODEV;
    if (vid_arg(vid))
        return -ERANGE;
    if ((group >> 28) != 0xE)
        return -EINVAL;
    if (add) {
        bool created;
        return igmp_group_get(ib, p, (u16)vid, IGMP_STATIC_IP, group, "static", &created) ? 0
                                                                                          : -ENOMEM;
    }
    for (struct igmp_client *cl = p->clients; cl; cl = cl->next)
        if (cl->ip == IGMP_STATIC_IP && cl->vid == vid)
            for (struct igmp_group *g = cl->groups; g; g = g->next)
                if (g->addr == group) {
                    igmp_group_del(ib, g, "static-del");
                    return 0;
                }
    return -ENOENT;
}

// The idx-th membership of a port (or of every port), static ones only when asked.
static struct igmp_group *group_at(struct igmp_bridge *ib, u32 from, u32 to, u32 idx,
                                   bool only_static, u32 *port_no) {
    for (u32 i = from; i < to; i++)
        for (struct igmp_client *cl = ib->port[i].clients; cl; cl = cl->next) {
            if (only_static && cl->ip != IGMP_STATIC_IP)
                continue;
            for (struct igmp_group *g = cl->groups; g; g = g->next)
                if (!idx--) {
                    *port_no = i + 1;
                    return g;
                }
        }
    return nullptr;
}

static int acl_range(struct igmp_call *c, bool add) {
    struct igmp_acl_group *a = acl_find(c->ib, c->t[1]);
    if (!a)
        return -ENOENT;
    u32 vid = c->v[2], first = c->v[3], last = c->v[4];
    if (vid_arg(vid) || first > last)
        return -ERANGE;
    for (u32 i = 0; i < a->nranges; i++)
        if (a->ranges[i].vid == vid && a->ranges[i].first == first && a->ranges[i].last == last) {
            if (add)
                return -EEXIST;
            a->ranges[i] = a->ranges[--a->nranges];
            return 0;
        }
    if (!add)
        return -ENOENT;
    if (a->nranges >= IGMP_MAX_RANGES)
        return -ENOSPC;
    a->ranges[a->nranges++] = {(u16)vid, first, last};
    return 0;
}

static int mvr_map_add(struct igmp_call *c) {
    PORT(c->v[1]);
    u32 cvid = c->v[2], mvid = c->v[3], cos = c->v[4];
    if (vid_arg(cvid) || vid_arg(mvid) || (cos > 7 && cos != 255))
        return -ERANGE;
    for (struct igmp_mvr_vlan *e = p->mvr_map; e; e = e->next)
        if (e->cvid == cvid && e->mvid == mvid)
            return -EBUSY;
    auto *e = (struct igmp_mvr_vlan *)igmp_alloc(sizeof(struct igmp_mvr_vlan));
    if (!e)
        return -ENOMEM;
    e->cvid = (u16)cvid;
    e->mvid = (u16)mvid;
    e->cos = (u8)cos;
    int rc = mvr_rules(c->ib, p, e, true);
    if (rc) {
        mvr_rules(c->ib, p, e, false);
        kfree(e);
        return rc;
    }
    e->next = p->mvr_map;
    p->mvr_map = e;
    return 0;
}

static int mvr_map_del(struct igmp_call *c) {
    PORT(c->v[1]);
    for (struct igmp_mvr_vlan **pp = &p->mvr_map; *pp; pp = &(*pp)->next) {
        struct igmp_mvr_vlan *e = *pp;
        if (e->cvid == c->v[2] && e->mvid == c->v[3]) {
            mvr_rules(c->ib, p, e, false);
            *pp = e->next;
            kfree(e);
            return 0;
        }
    }
    return -ENOENT;
}

static int vlan_proxy_set(struct igmp_call *c, u32 vid, u32 on, u32 qi, u32 ver) {
    VLAN(vid);
    if (bool_arg(on) || qi < 10 || qi > c->ib->gmi || (ver != 0 && ver != 2 && ver != 3))
        return -ERANGE;
    v->proxy = (u8)on;
    v->query_interval = qi;
    if ((u32)v->query_countdown > qi)
        v->query_countdown = (s32)qi;
    v->version = (u8)ver;
    return 0;
}

static void free_port_acls(struct igmp_bridge *ib, struct igmp_acl_group *a) {
    for (u32 i = 0; i <= ib->ports; i++)
        for (auto &x : ib->port[i].acls)
            if (x == a)
                x = nullptr;
}

static const struct igmp_cmd igmp_cmds[] = {
    {0, "igmp_init", "", [](struct igmp_call *) { return igmp_init(); }},
    {1, "igmp_fini", "",
     [](struct igmp_call *) {
         igmp_state_fini();
         return 0;
     }},
    {2, "igmp_log_level_set", "iii",
     [](struct igmp_call *c) {
         if ((int)c->v[0] < -1 || (int)c->v[0] > 7 || c->v[2] > IGMP_NO_VID)
             return -ERANGE;
         igmp_log_level = (int)c->v[0];
         igmp_debug_ifc = c->v[1];
         igmp_debug_vid = c->v[2];
         return 0;
     }},
    {3, "igmp_log_level_get", "ooo",
     [](struct igmp_call *c) {
         c->v[0] = (u32)igmp_log_level;
         c->v[1] = igmp_debug_ifc;
         c->v[2] = igmp_debug_vid;
         return 0;
     }},
    {6, "igmp_dump_after_change_set", "i",
     [](struct igmp_call *c) {
         if (bool_arg(c->v[0]))
             return -ERANGE;
         igmp->dump_after_change = (u8)c->v[0];
         return 0;
     }},
    {7, "igmp_bridge_add", "ti", [](struct igmp_call *c) { return igmp_bridge_add(c->t[0], c->v[1]); }},
    {8, "igmp_bridge_del", "b", [](struct igmp_call *c) { return igmp_bridge_del(c->ib->name); }},
    {9, "igmp_bridge_mode_set", "bi",
     [](struct igmp_call *c) {
         struct igmp_bridge *ib = c->ib;
         u32 mode = c->v[1];
         if (mode > 3) {
             igmp_log_force(3, "<%s> Unknown IGMP mode (%d).", ib->name, (int)mode);
             return -ERANGE;
         }
         jxbridge_mcast_mode_set(ib->bridge, mode);
         ib->mode = mode;
         ib->stopped = 1;
         if (mode < 2) {
             igmp_flush(ib);
             kfree(ib->frame);
             kfree(ib->fwd_buf);
             ib->frame = ib->fwd_buf = nullptr;
             return 0;
         }
         if (!ib->frame)
             ib->frame = (u8 *)igmp_alloc(IGMP_FRAME_BUF);
         if (!ib->fwd_buf)
             ib->fwd_buf = (u8 *)igmp_alloc(IGMP_FWD_BUF);
         if (!ib->frame || !ib->fwd_buf) {
             igmp_log_force(3, "<%s> Unable to set IGMP mode to '%s'.", ib->name,
                            mode_names[mode]);
             return -ENOMEM;
         }
         ib->stopped = 0;
         return 0;
     }},
    {10, "igmp_bridge_flush", "b",
     [](struct igmp_call *c) {
         igmp_flush(c->ib);
         return 0;
     }},
    {11, "igmp_bridge_stag_set", "bi",
     [](struct igmp_call *c) {
         if (c->v[1] < 0x600 || c->v[1] > 0xFFFF)
             return -ERANGE;
         c->ib->stag_type = (u16)c->v[1];
         return 0;
     }},
    {12, "igmp_bridge_mrt_delta_set", "bi",
     [](struct igmp_call *c) {
         if (c->v[1] >= c->ib->gmi)
             return -ERANGE;
         c->ib->mrt_delta = c->v[1];
         return 0;
     }},
    {13, "igmp_bridge_dump_cfg", "b",
     [](struct igmp_call *c) {
         igmp_dump(c->ib, "cfg");
         return 0;
     }},
    {14, "igmp_port_add", "bti",
     [](struct igmp_call *c) {
         struct igmp_bridge *ib = c->ib;
         u32 n = c->v[2];
         if (n < 1 || n > ib->ports)
             return -ERANGE;
         if (strnlen(c->t[1], IGMP_DEV_NAME_SIZE) >= IGMP_DEV_NAME_SIZE)
             return -EINVAL;
         struct igmp_port *p = &ib->port[n - 1];
         if (p->in_use)
             return -EEXIST;
         memset(p, 0, sizeof(*p));
         snprintf(p->name, sizeof(p->name), "%s", c->t[1]);
         p->type = IGMP_CLIENT_SERVER;
         p->in_use = 1;
         return 0;
     }},
    {15, "igmp_port_del", "bti",
     [](struct igmp_call *c) {
         PORT(c->v[2]);
         if (strcmp(p->name, c->t[1]))
             return -ENODEV;
         igmp_port_flush(c->ib, p);
         while (p->mvr_map) {
             struct igmp_mvr_vlan *e = p->mvr_map;
             mvr_rules(c->ib, p, e, false);
             p->mvr_map = e->next;
             kfree(e);
         }
         memset(p, 0, sizeof(*p));
         return 0;
     }},
    {16, "igmp_port_stats_get", "bis",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         *c->stats = p->stats;
         c->stats->groups = p->cac_count;
         return 0;
     }},
    {17, "igmp_port_stats_clear", "bi",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         memset(&p->stats, 0, sizeof(p->stats));
         return 0;
     }},
    {18, "igmp_port_mrouter_set", "bii",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         if (bool_arg(c->v[2]))
             return -ERANGE;
         p->mrouter = (u8)c->v[2];
         return 0;
     }},
    {19, "igmp_port_mrouter_get", "bio",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         c->v[2] = p->mrouter;
         return 0;
     }},
    {20, "igmp_port_trace", "bii",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         if (bool_arg(c->v[2]))
             return -ERANGE;
         igmp_debug_ifc = c->v[2] ? c->v[1] : 0;
         return 0;
     }},
    {21, "igmp_vlan_add", "bii", vlan_add},
    {22, "igmp_vlan_del", "bii", vlan_del},
    {23, "igmp_vlan_get", "bio",
     [](struct igmp_call *c) {
         VLAN(c->v[1]);
         c->v[2] = v->enabled;
         return 0;
     }},
    {24, "igmp_vlan_flood_unknown_mcast_set", "bii",
     [](struct igmp_call *c) {
         VLAN(c->v[1]);
         if (bool_arg(c->v[2]))
             return -ERANGE;
         vlan_mcast_mode_set(jxbridge_vlan_data(c->ib->bridge), v->vid,
                             c->v[2] ? VLAN_MCAST_FORWARD_FLOOD : VLAN_MCAST_FORWARD);
         return 0;
     }},
    {25, "igmp_vlan_flood_unknown_mcast_get", "bio",
     [](struct igmp_call *c) {
         VLAN(c->v[1]);
         u32 mode = 0;
         int rc = vlan_mcast_mode_get(jxbridge_vlan_data(c->ib->bridge), v->vid, &mode);
         c->v[2] = mode == VLAN_MCAST_FORWARD_FLOOD;
         return rc;
     }},
    {26, "igmp_vlan_stats_get", "bis",
     [](struct igmp_call *c) {
         VLAN(c->v[1]);
         *c->stats = v->stats;
         return 0;
     }},
    {27, "igmp_vlan_stats_clear", "bi",
     [](struct igmp_call *c) {
         VLAN(c->v[1]);
         memset(&v->stats, 0, sizeof(v->stats));
         return 0;
     }},
    {28, "igmp_version_filter_set", "bii",
     [](struct igmp_call *c) {
         if (c->v[1] < 1 || c->v[1] > 3 || bool_arg(c->v[2]))
             return -ERANGE;
         c->ib->version_pass[c->v[1] - 1] = (u8)c->v[2];
         return 0;
     }},
    {29, "igmp_version_filter_get", "bio",
     [](struct igmp_call *c) {
         if (c->v[1] < 1 || c->v[1] > 4)
             return -ERANGE;
         c->v[2] = c->ib->version_pass[c->v[1] - 1];
         return 0;
     }},
    {30, "igmp_stp_topology_change", "b",
     [](struct igmp_call *c) {
         // Routers and hosts learn the new paths from a query at once.
         struct igmp_bridge *ib = c->ib;
         for (struct igmp_vlan *v = ib->vlans; v; v = v->next)
             if (v->enabled && igmp_build(ib, v, IGMP_K_QUERY, 0, ib->sq_mrt) == 0)
                 igmp_send_non_routers(ib, 0);
         return 0;
     }},
    {31, "igmp_general_timeout_set", "bi",
     [](struct igmp_call *c) {
         struct igmp_bridge *ib = c->ib;
         u32 t = c->v[1];
         if (t <= ib->mrt_delta || (ib->sq_on && (t < ib->sq_interval || t < ib->sq_mrt)))
             return -EINVAL;
         for (struct igmp_vlan *v = ib->vlans; v; v = v->next)
             if (v->proxy && v->query_interval > t)
                 return -EINVAL;
         ib->gmi = t;
         return 0;
     }},
    {32, "igmp_general_timeout_get", "bo",
     [](struct igmp_call *c) {
         c->v[1] = c->ib->gmi;
         return 0;
     }},
    {33, "igmp_immediate_leave_set", "bi",
     [](struct igmp_call *c) {
         if (bool_arg(c->v[1]))
             return -ERANGE;
         c->ib->immediate_leave = (u8)c->v[1];
         return 0;
     }},
    {34, "igmp_immediate_leave_get", "bo",
     [](struct igmp_call *c) {
         c->v[1] = c->ib->immediate_leave;
         return 0;
     }},
    {35, "igmp_group_get_by_idx", "bioo",
     [](struct igmp_call *c) {
         u32 n;
         struct igmp_group *g = group_at(c->ib, 0, c->ib->ports + 1, c->v[1], false, &n);
         if (!g)
             return -ENOENT;
         c->v[2] = g->client->vid;
         c->v[3] = g->addr;
         return 0;
     }},
    {36, "igmp_port_group_get_by_idx", "biioo",
     [](struct igmp_call *c) {
         if (!cport(c, c->v[1], false))
             return -ENODEV;
         u32 n;
         struct igmp_group *g = group_at(c->ib, c->v[1] - 1, c->v[1], c->v[2], false, &n);
         if (!g)
             return -ENOENT;
         c->v[3] = g->client->vid;
         c->v[4] = g->addr;
         return 0;
     }},
    {37, "igmp_stats_get", "booo",
     [](struct igmp_call *c) {
         u32 groups = 0, clients = 0;
         for (u32 i = 0; i <= c->ib->ports; i++)
             for (struct igmp_client *cl = c->ib->port[i].clients; cl; cl = cl->next) {
                 clients++;
                 for (struct igmp_group *g = cl->groups; g; g = g->next)
                     groups++;
             }
         c->v[1] = groups;
         c->v[2] = clients;
         c->v[3] = c->ib->fwd_count;
         return 0;
     }},
    {38, "igmp_stats_clear", "b",
     [](struct igmp_call *c) {
         for (u32 i = 0; i <= c->ib->ports; i++)
             memset(&c->ib->port[i].stats, 0, sizeof(c->ib->port[i].stats));
         for (struct igmp_vlan *v = c->ib->vlans; v; v = v->next)
             memset(&v->stats, 0, sizeof(v->stats));
         c->ib->fwd_max = c->ib->fwd_count;
         return 0;
     }},
    {39, "igmp_static_group_add", "biii",
     [](struct igmp_call *c) { return static_group(c, c->v[1], c->v[2], c->v[3], true); }},
    {40, "igmp_static_group_del", "biii",
     [](struct igmp_call *c) { return static_group(c, c->v[1], c->v[2], c->v[3], false); }},
    {41, "igmp_static_group_get_by_idx", "bioo",
     [](struct igmp_call *c) {
         u32 n;
         struct igmp_group *g = group_at(c->ib, 0, c->ib->ports, c->v[1], true, &n);
         if (!g)
             return -ENOENT;
         c->v[2] = n | (u32)g->client->vid << 16;
         c->v[3] = g->addr;
         return 0;
     }},
    {42, "igmp_bridge_suppression_set", "bi",
     [](struct igmp_call *c) {
         if (bool_arg(c->v[1]))
             return -ERANGE;
         c->ib->suppression = (u8)c->v[1];
         return 0;
     }},
    {43, "igmp_bridge_suppression_get", "bo",
     [](struct igmp_call *c) {
         c->v[1] = c->ib->suppression;
         return 0;
     }},
    {44, "igmp_vlan_proxy_set", "biiii",
     [](struct igmp_call *c) { return vlan_proxy_set(c, c->v[1], c->v[2], c->v[3], c->v[4]); }},
    {45, "igmp_vlan_proxy_get", "bioooo",
     [](struct igmp_call *c) {
         VLAN(c->v[1]);
         c->v[2] = v->proxy;
         c->v[3] = v->query_interval;
         c->v[4] = v->version;
         c->v[5] = v->us_version;
         return 0;
     }},
    {46, "igmp_port_type_set", "bii",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         if (c->v[2] > IGMP_NONE)
             return -ERANGE;
         p->type = (u8)c->v[2];
         if (p->type == IGMP_NONE)
             igmp_port_flush(c->ib, p);
         return 0;
     }},
    {47, "igmp_port_type_get", "bio",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         c->v[2] = p->type;
         return 0;
     }},
    {48, "igmp_bridge_cac_action_set", "bi",
     [](struct igmp_call *c) {
         if (bool_arg(c->v[1]))
             return -ERANGE;
         c->ib->cac_action = (u8)c->v[1];
         return 0;
     }},
    {49, "igmp_bridge_cac_action_get", "bo",
     [](struct igmp_call *c) {
         c->v[1] = c->ib->cac_action;
         return 0;
     }},
    {50, "igmp_port_cac_set", "bii",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         p->cac_limit = c->v[2];
         return 0;
     }},
    {51, "igmp_port_cac_get", "bioo",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         c->v[2] = p->cac_limit;
         c->v[3] = p->cac_count;
         return 0;
     }},
    {52, "igmp_acl_add", "bt",
     [](struct igmp_call *c) {
         if (!c->t[1][0] || strnlen(c->t[1], IGMP_ACL_NAME_SIZE) >= IGMP_ACL_NAME_SIZE)
             return -EINVAL;
         if (acl_find(c->ib, c->t[1]))
             return -EEXIST;
         auto *a = (struct igmp_acl_group *)igmp_alloc(sizeof(struct igmp_acl_group));
         if (!a)
             return -ENOMEM;
         snprintf(a->name, sizeof(a->name), "%s", c->t[1]);
         a->next = c->ib->acls;
         c->ib->acls = a;
         return 0;
     }},
    {53, "igmp_acl_del", "bt",
     [](struct igmp_call *c) {
         for (struct igmp_acl_group **pp = &c->ib->acls; *pp; pp = &(*pp)->next)
             if (!strcmp((*pp)->name, c->t[1])) {
                 struct igmp_acl_group *a = *pp;
                 *pp = a->next;
                 free_port_acls(c->ib, a);
                 kfree(a);
                 return 0;
             }
         return -ENOENT;
     }},
    {54, "igmp_acl_get", "biT",
     [](struct igmp_call *c) {
         u32 i = c->v[1];
         for (struct igmp_acl_group *a = c->ib->acls; a; a = a->next)
             if (!i--) {
                 text_out(c, 2, a->name);
                 return 0;
             }
         return -ENOENT;
     }},
    {55, "igmp_acl_rename", "btt",
     [](struct igmp_call *c) {
         struct igmp_acl_group *a = acl_find(c->ib, c->t[1]);
         if (!a)
             return -ENOENT;
         if (!c->t[2][0] || strnlen(c->t[2], IGMP_ACL_NAME_SIZE) >= IGMP_ACL_NAME_SIZE)
             return -EINVAL;
         if (acl_find(c->ib, c->t[2]))
             return -EEXIST;
         snprintf(a->name, sizeof(a->name), "%s", c->t[2]);
         return 0;
     }},
    {56, "igmp_acl_range_add", "btiii", [](struct igmp_call *c) { return acl_range(c, true); }},
    {57, "igmp_acl_range_del", "btiii", [](struct igmp_call *c) { return acl_range(c, false); }},
    {58, "igmp_acl_range_get", "btiooo",
     [](struct igmp_call *c) {
         struct igmp_acl_group *a = acl_find(c->ib, c->t[1]);
         if (!a)
             return -ENOENT;
         if (c->v[2] >= a->nranges)
             return -ENOENT;
         c->v[3] = a->ranges[c->v[2]].vid;
         c->v[4] = a->ranges[c->v[2]].first;
         c->v[5] = a->ranges[c->v[2]].last;
         return 0;
     }},
    {59, "igmp_acl_attach", "biti",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         struct igmp_acl_group *a = acl_find(c->ib, c->t[2]);
         if (!a)
             return -ENOENT;
         if (bool_arg(c->v[3]))
             return -ERANGE;
         int free_slot = -1;
         for (int i = 0; i < IGMP_MAX_ACLS; i++) {
             if (p->acls[i] == a)
                 return -EEXIST;
             if (!p->acls[i] && free_slot < 0)
                 free_slot = i;
         }
         if (free_slot < 0)
             return -ENOSPC;
         p->acls[free_slot] = a;
         p->acl_action = (u8)c->v[3];
         return 0;
     }},
    {60, "igmp_acl_detach", "bit",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         for (auto &x : p->acls)
             if (x && !strcmp(x->name, c->t[2])) {
                 x = nullptr;
                 return 0;
             }
         return -ENOENT;
     }},
    {61, "igmp_acl_list", "biiTo",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         u32 i = c->v[2];
         for (auto *x : p->acls)
             if (x && !i--) {
                 text_out(c, 3, x->name);
                 c->v[4] = p->acl_action;
                 return 0;
             }
         return -ENOENT;
     }},
    {62, "igmp_bridge_telemetry_log_add", "bii",
     [](struct igmp_call *c) {
         if (c->v[1] && !cport(c, c->v[1]))
             return -ENODEV;
         if (vid_arg(c->v[2]))
             return -ERANGE;
         c->ib->telemetry_on = 1;
         c->ib->telemetry_port = c->v[1];
         c->ib->telemetry_vid = (u16)c->v[2];
         return 0;
     }},
    {63, "igmp_bridge_telemetry_log_del", "bi",
     [](struct igmp_call *c) {
         if (!c->ib->telemetry_on || c->ib->telemetry_vid != c->v[1])
             return -ENOENT;
         c->ib->telemetry_on = 0;
         return 0;
     }},
    {64, "igmp_mvr_bridge_enable_set", "bi",
     [](struct igmp_call *c) {
         if (bool_arg(c->v[1]))
             return -ERANGE;
         c->ib->mvr = (u8)c->v[1];
         return 0;
     }},
    {65, "igmp_mvr_bridge_enable_get", "booo",
     [](struct igmp_call *c) {
         u32 mv = 0, maps = 0;
         for (struct igmp_mvr_mvlan *m = c->ib->mvlans; m; m = m->next)
             mv++;
         for (u32 i = 0; i < c->ib->ports; i++)
             for (struct igmp_mvr_vlan *e = c->ib->port[i].mvr_map; e; e = e->next)
                 maps++;
         c->v[1] = c->ib->mvr;
         c->v[2] = mv;
         c->v[3] = maps;
         return 0;
     }},
    {66, "igmp_mvr_mvlan_add", "bi",
     [](struct igmp_call *c) {
         if (vid_arg(c->v[1]))
             return -ERANGE;
         if (mvlan_find(c->ib, (u16)c->v[1]))
             return -EEXIST;
         auto *m = (struct igmp_mvr_mvlan *)igmp_alloc(sizeof(struct igmp_mvr_mvlan));
         if (!m)
             return -ENOMEM;
         m->vid = (u16)c->v[1];
         m->next = c->ib->mvlans;
         c->ib->mvlans = m;
         return 0;
     }},
    {67, "igmp_mvr_mvlan_del", "bi",
     [](struct igmp_call *c) {
         for (struct igmp_mvr_mvlan **pp = &c->ib->mvlans; *pp; pp = &(*pp)->next)
             if ((*pp)->vid == c->v[1]) {
                 struct igmp_mvr_mvlan *m = *pp;
                 *pp = m->next;
                 while (m->ranges) {
                     struct igmp_mvr_range *r = m->ranges;
                     m->ranges = r->next;
                     kfree(r);
                 }
                 kfree(m);
                 return 0;
             }
         return -ENOENT;
     }},
    {68, "igmp_mvr_mvlan_get", "bio",
     [](struct igmp_call *c) {
         u32 i = c->v[1];
         for (struct igmp_mvr_mvlan *m = c->ib->mvlans; m; m = m->next)
             if (!i--) {
                 c->v[2] = m->vid;
                 return 0;
             }
         return -ENOENT;
     }},
    {69, "igmp_mvr_mvlan_range_add", "biii",
     [](struct igmp_call *c) {
         struct igmp_mvr_mvlan *m = mvlan_find(c->ib, (u16)c->v[1]);
         if (!m)
             return -ENOENT;
         if (c->v[2] > c->v[3])
             return -ERANGE;
         for (struct igmp_mvr_range *r = m->ranges; r; r = r->next)
             if (r->first == c->v[2])
                 return -EEXIST;
         auto *r = (struct igmp_mvr_range *)igmp_alloc(sizeof(struct igmp_mvr_range));
         if (!r)
             return -ENOMEM;
         r->first = c->v[2];
         r->last = c->v[3];
         r->next = m->ranges;
         m->ranges = r;
         return 0;
     }},
    {70, "igmp_mvr_mvlan_range_del", "bii",
     [](struct igmp_call *c) {
         struct igmp_mvr_mvlan *m = mvlan_find(c->ib, (u16)c->v[1]);
         if (!m)
             return -ENOENT;
         for (struct igmp_mvr_range **pp = &m->ranges; *pp; pp = &(*pp)->next)
             if ((*pp)->first == c->v[2]) {
                 struct igmp_mvr_range *r = *pp;
                 *pp = r->next;
                 kfree(r);
                 return 0;
             }
         return -ENOENT;
     }},
    {71, "igmp_mvr_mvlan_range_get", "biioo",
     [](struct igmp_call *c) {
         struct igmp_mvr_mvlan *m = mvlan_find(c->ib, (u16)c->v[1]);
         if (!m)
             return -ENOENT;
         u32 i = c->v[2];
         for (struct igmp_mvr_range *r = m->ranges; r; r = r->next)
             if (!i--) {
                 c->v[3] = r->first;
                 c->v[4] = r->last;
                 return 0;
             }
         return -ENOENT;
     }},
    {72, "igmp_mvr_port_enable_set", "bii",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         if (bool_arg(c->v[2]))
             return -ERANGE;
         struct jxbridge_port *bp = get_jxbridge_port_from_bll_port_no(c->ib->bridge, c->v[1]);
         if (bp && jxbridge_set_port_mvr(bp, c->v[2])) {
             igmp_log_force(3, "Unable to set MVR mode.");
             return -EIO;
         }
         p->mvr = (u8)c->v[2];
         return 0;
     }},
    {73, "igmp_mvr_port_enable_get", "bio",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         c->v[2] = p->mvr;
         return 0;
     }},
    {74, "igmp_mvr_port_map_add", "biiii", mvr_map_add},
    {75, "igmp_mvr_port_map_del", "biii", mvr_map_del},
    {76, "igmp_mvr_port_map_get", "biiooo",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         u32 i = c->v[2];
         for (struct igmp_mvr_vlan *e = p->mvr_map; e; e = e->next)
             if (!i--) {
                 c->v[3] = e->cvid;
                 c->v[4] = e->mvid;
                 c->v[5] = e->cos;
                 return 0;
             }
         return -ENOENT;
     }},
    {77, "igmp_impmm_enable_set", "bi",
     [](struct igmp_call *c) {
         if (bool_arg(c->v[1]))
             return -ERANGE;
         c->ib->impmm = (u8)c->v[1];
         return 0;
     }},
    {78, "igmp_impmm_enable_get", "bo",
     [](struct igmp_call *c) {
         c->v[1] = c->ib->impmm;
         return 0;
     }},
    {79, "igmp_impmm_port_enable_set", "bii",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         if (bool_arg(c->v[2]))
             return -ERANGE;
         p->impmm = (u8)c->v[2];
         return 0;
     }},
    {80, "igmp_impmm_port_enable_get", "bio",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         c->v[2] = p->impmm;
         return 0;
     }},
    {81, "igmp_impmm_port_settings_set", "biii",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         if (bool_arg(c->v[2]) || bool_arg(c->v[3]))
             return -ERANGE;
         p->impmm_remove_outer = (u8)c->v[2];
         p->impmm_copy_type = (u8)c->v[3];
         return 0;
     }},
    {82, "igmp_impmm_port_settings_get", "bioo",
     [](struct igmp_call *c) {
         PORT(c->v[1]);
         c->v[2] = p->impmm_remove_outer;
         c->v[3] = p->impmm_copy_type;
         return 0;
     }},
    {83, "igmp_standalone_querier_state_set", "bii",
     [](struct igmp_call *c) {
         if (bool_arg(c->v[1]) || (c->v[2] && !cport(c, c->v[2])))
             return -ERANGE;
         if (c->v[1] && (c->ib->sq_interval > c->ib->gmi || c->ib->sq_mrt > c->ib->gmi))
             return -EINVAL;
         c->ib->sq_on = (u8)c->v[1];
         c->ib->sq_port = c->v[2];
         return 0;
     }},
    {84, "igmp_standalone_querier_state_get", "boo",
     [](struct igmp_call *c) {
         c->v[1] = c->ib->sq_on;
         c->v[2] = c->ib->sq_port;
         return 0;
     }},
    {85, "igmp_standalone_querier_period_set", "bi",
     [](struct igmp_call *c) {
         struct igmp_bridge *ib = c->ib;
         if (!c->v[1] || c->v[1] > ib->gmi)
             return -EINVAL;
         ib->sq_interval = c->v[1];
         if (ib->sq_countdown > (s32)c->v[1]) {
             igmp_log_force(6, "Shortening next poll time from %u.%u", ib->sq_countdown / 10,
                            ib->sq_countdown % 10);
             ib->sq_countdown = (s32)c->v[1];
         }
         return 0;
     }},
    {86, "igmp_standalone_querier_period_get", "bo",
     [](struct igmp_call *c) {
         c->v[1] = c->ib->sq_interval;
         return 0;
     }},
    {87, "igmp_standalone_querier_max_response_time_set", "bi",
     [](struct igmp_call *c) {
         if (!c->v[1] || c->v[1] > c->ib->gmi)
             return -EINVAL;
         c->ib->sq_mrt = c->v[1];
         return 0;
     }},
    {88, "igmp_standalone_querier_max_response_time_get", "bo",
     [](struct igmp_call *c) {
         c->v[1] = c->ib->sq_mrt;
         return 0;
     }},
    {89, "igmp_static_client_add", "bii",
     [](struct igmp_call *c) { return static_group(c, c->ib->ports + 1, c->v[1], c->v[2], true); }},
    {90, "igmp_static_client_del", "bii",
     [](struct igmp_call *c) {
         return static_group(c, c->ib->ports + 1, c->v[1], c->v[2], false);
     }},
    {91, "igmp_static_client_get", "bioo",
     [](struct igmp_call *c) {
         u32 n;
         struct igmp_group *g =
             group_at(c->ib, c->ib->ports, c->ib->ports + 1, c->v[1], true, &n);
         if (!g)
             return -ENOENT;
         c->v[2] = g->client->vid;
         c->v[3] = g->addr;
         return 0;
     }},
    {92, "igmp_vlan_proxy_query_interval_set", "bii",
     [](struct igmp_call *c) {
         VLAN(c->v[1]);
         return vlan_proxy_set(c, c->v[1], v->proxy, c->v[2], v->version);
     }},
    {93, "igmp_vlan_proxy_query_interval_get", "bio",
     [](struct igmp_call *c) {
         VLAN(c->v[1]);
         c->v[2] = v->query_interval;
         return 0;
     }},
    {94, "igmp_vlan_proxy_protocol_version_set", "bii",
     [](struct igmp_call *c) {
         VLAN(c->v[1]);
         return vlan_proxy_set(c, c->v[1], v->proxy, v->query_interval, c->v[2]);
     }},
    {95, "igmp_vlan_proxy_protocol_version_get", "bioo",
     [](struct igmp_call *c) {
         VLAN(c->v[1]);
         c->v[2] = v->version;
         c->v[3] = v->us_version;
         return 0;
     }},
    {96, "igmp_bridge_sys_mng_ip_set", "bi",
     [](struct igmp_call *c) {
         c->ib->sys_mng_ip = c->v[1];
         for (struct igmp_vlan *v = c->ib->vlans; v; v = v->next)
             v->ip = c->v[1];
         return 0;
     }},
    {97, "igmp_acl_range_del_all", "bt",
     [](struct igmp_call *c) {
         struct igmp_acl_group *a = acl_find(c->ib, c->t[1]);
         if (!a)
             return -ENOENT;
         a->nranges = 0;
         return 0;
     }},
};

static const struct igmp_cmd *igmp_cmd_find(u32 nr) {
    for (const auto &cmd : igmp_cmds)
        if (cmd.nr == nr)
            return &cmd;
    return nullptr;
}

// Copies every argument in, checked against what the command takes; the
// texts are bounded and must end within their buffer.
static long igmp_args_in(const struct igmp_cmd *cmd, const struct jxigmp_ioctl_args *a,
                         struct igmp_call *c, char (*texts)[JXIGMP_TEXT_MAX]) {
    for (u32 i = 0; i < a->n; i++) {
        char k = cmd->args[i];
        const void __user *u = (const void __user *)(uintptr_t)a->addr[i];
        if (!u)
            return -EFAULT;
        switch (k) {
        case 'b':
        case 't': {
            if (a->size[i] || a->dir[i] != JXIGMP_ARG_IN)
                return -EINVAL;
            long n = strncpy_from_user(texts[i], (const char __user *)u, JXIGMP_TEXT_MAX);
            if (n < 0)
                return -EFAULT;
            if (n >= JXIGMP_TEXT_MAX)
                return -EINVAL;
            c->t[i] = texts[i];
            break;
        }
        case 'i':
        case 'o':
            if (a->size[i] != sizeof(u32) || a->dir[i] > JXIGMP_ARG_INOUT)
                return -EINVAL;
            if (k == 'i' && copy_from_user(&c->v[i], u, sizeof(u32)))
                return -EFAULT;
            break;
        case 'T':
            if (!a->size[i] || a->dir[i] == JXIGMP_ARG_IN)
                return -EINVAL;
            c->out_text[i] = texts[i];
            c->out_size[i] = a->size[i] < JXIGMP_TEXT_MAX ? a->size[i] : JXIGMP_TEXT_MAX;
            texts[i][0] = '\0';
            break;
        case 's':
            if (a->size[i] != sizeof(struct jxigmp_stats) || a->dir[i] == JXIGMP_ARG_IN)
                return -EINVAL;
            break;
        }
    }
    return 0;
}

static long igmp_args_out(const struct igmp_cmd *cmd, const struct jxigmp_ioctl_args *a,
                          const struct igmp_call *c) {
    for (u32 i = 0; i < a->n; i++) {
        void __user *u = (void __user *)(uintptr_t)a->addr[i];
        char k = cmd->args[i];
        if (a->dir[i] == JXIGMP_ARG_IN)
            continue;
        unsigned long left = 0;
        if (k == 'i' || k == 'o')
            left = copy_to_user(u, &c->v[i], sizeof(u32));
        else if (k == 'T')
            left = copy_to_user(u, c->out_text[i], strnlen(c->out_text[i], c->out_size[i] - 1) + 1);
        else if (k == 's')
            left = copy_to_user(u, c->stats, sizeof(*c->stats));
        if (left)
            return -EFAULT;
    }
    return 0;
}

static long igmp_ioctl(struct file *, unsigned int nr, unsigned long arg) {
    u32 n = nr - JXIGMP_IOCTL(0);
    const struct igmp_cmd *cmd = (nr & 0xFFFFFF00u) == JXIGMP_IOCTL(0) ? igmp_cmd_find(n) : nullptr;
    if (!cmd) {
        printk(KERN_ERR "jxigmp ioctl: command %u: not found\n", n);
        return -EINVAL;
    }
    struct jxigmp_ioctl_args a;
    if (copy_from_user(&a, (const void __user *)arg, sizeof(a)))
        return -EFAULT;
    // The count is checked before anything it counts is copied.
    if (a.n != strlen(cmd->args)) {
        printk(KERN_ERR "jxigmp ioctl: command %u: invalid number of arguments (%u)\n", n, a.n);
        return -EINVAL;
    }
    auto *texts = (char(*)[JXIGMP_TEXT_MAX])igmp_alloc(JXIGMP_ARGS_MAX * JXIGMP_TEXT_MAX);
    struct jxigmp_stats stats = {};
    if (!texts) {
        printk(KERN_ERR "Error allocating memory for igmp ioctl call's arg: %d\n", 0);
        return -ENOMEM;
    }
    struct igmp_call c = {};
    c.stats = &stats;
    long rc = igmp_args_in(cmd, &a, &c, texts);
    if (!rc) {
        mutex_lock(&jxbridge_lock);
        if (cmd->args[0] == 'b') {
            c.ib = igmp_bridge_find(c.t[0]);
            rc = !igmp ? -ENXIO : !c.ib ? -ENOENT : 0;
        } else if (n > 1 && !igmp) {
            rc = -ENXIO;
        }
        if (!rc && c.ib && n != JXIGMP_BRIDGE_DEL) {
            mutex_lock(&c.ib->lock);
            rc = cmd->fn(&c);
            mutex_unlock(&c.ib->lock);
        } else if (!rc) {
            rc = cmd->fn(&c);
        }
        igmp_log_force(7, "%s(%s, ...)", cmd->name, c.t[0] ? c.t[0] : "");
        igmp_log_force(7, rc == -ENOENT ? "%s()=-ENOENT" : "%s()=%d", cmd->name, (int)rc);
        mutex_unlock(&jxbridge_lock);
    }
    if (!rc)
        rc = igmp_args_out(cmd, &a, &c);
    kfree(texts);
    return rc;
}

// Text commands.

static const char igmp_help[] =
    "Supported commands:\n\tshow all\n\tshow cfg\n\tshow cfg_ports [all]\n\tshow ports\n\tshow "
    "fwd\n\tfake join <port> <vid> <group>\n\tfake leave <port> <vid> <group>\n\tfake query "
    "<port> <vid> [<group>]\n\tsend join <port> <vid> <group>\n\tsend leave <port> <vid> "
    "<group>\n\tsend query <port> <vid> [<group>]\n\t\tFor send <port> can also be 'routes' or "
    "'non-routers'.\n";

static int parse_ip(const char *w, u32 *out) {
    unsigned a, b, c, d;
    char tail;
    if (sscanf(w, "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 ||
        d > 255)
        return -EINVAL;
    *out = a << 24 | b << 16 | c << 8 | d;
    return 0;
}

// fake and send: the module's own message, applied or sent at once under
// the same locks a frame takes.
static int igmp_text_msg(bool fake, char **w) {
    if (!w[1] || !w[2] || !w[3])
        return -ENOARG;
    u8 kind;
    if (!strcasecmp(w[1], "join"))
        kind = IGMP_K_JOIN2;
    else if (!strcasecmp(w[1], "leave"))
        kind = IGMP_K_LEAVE2;
    else if (!strcasecmp(w[1], "query"))
        kind = IGMP_K_QUERY;
    else
        return -EINVAL;
    long long vid;
    if (a2num(w[3], &vid) || vid < 1 || vid > 4095)
        return -EINVAL;
    u32 group = 0;
    if (w[4] && parse_ip(w[4], &group))
        return -EINVAL;
    if (kind != IGMP_K_QUERY && !group) {
        if (!w[4])
            return -ENOARG;
        return -EINVAL;
    }
    if (strlen(w[2]) > 15)
        return -EINVAL;
    int rc = 0;
    mutex_lock(&jxbridge_lock);
    // br0 is the bridge whose frames the module takes; the newest one otherwise.
    struct igmp_bridge *ib = igmp_bridge_find("br0");
    if (!ib && igmp)
        ib = igmp->bridges;
    if (!ib) {
        mutex_unlock(&jxbridge_lock);
        return -ENOENT;
    }
    mutex_lock(&ib->lock);
    u32 port_no = 0;
    bool routers = !strcasecmp(w[2], "routers") || !strcasecmp(w[2], "routes");
    bool non_routers = !strcasecmp(w[2], "non-routers");
    if (!routers && !non_routers) {
        long long n;
        if (!a2num(w[2], &n) && n >= 1 && n <= ib->ports + 1) {
            port_no = (u32)n;
        } else {
            for (u32 i = 0; i <= ib->ports; i++)
                if (ib->port[i].in_use && !strcmp(ib->port[i].name, w[2]))
                    port_no = i + 1;
        }
        if (!igmp_port_get(ib, port_no))
            rc = -ENODEV;
    } else if (fake) {
        rc = -ENODEV;
    }
    struct igmp_vlan *v = igmp_vlan_find(ib, (u16)vid);
    if (!rc && !v)
        rc = -ENOENT;
    if (!rc && !ib->frame)
        rc = -ENODEV;
    if (!rc)
        rc = igmp_build(ib, v, kind, group, kind == IGMP_K_QUERY ? (group ? 10 : ib->sq_mrt) : 0);
    if (!rc) {
        igmp_debug = igmp_log_level != -1;
        if (fake)
            rc = igmp_fake(ib, port_no);
        else if (routers)
            igmp_send_routers(ib, 0);
        else if (non_routers)
            igmp_send_non_routers(ib, 0);
        else
            igmp_send_port(ib, port_no);
        igmp_debug = false;
    }
    mutex_unlock(&ib->lock);
    mutex_unlock(&jxbridge_lock);
    return rc < 0 ? rc : 0;
}

static ssize_t igmp_write(struct file *, const char __user *buf, size_t count, loff_t *) {
    char line[150];
    long used = line_read(buf, count, line, sizeof(line));
    if (used <= 0)
        return used;
    if (!line[0] || line[0] == '#')
        return used;
    char *w[8];
    jxbridge_split(line, w, 8);
    int rc = 0;
    if (!strcasecmp(w[0], "help")) {
        printk(KERN_INFO "%s", igmp_help);
    } else if (!strcasecmp(w[0], "show")) {
        if (!w[1])
            return -ENOARG;
        mutex_lock(&jxbridge_lock);
        struct igmp_bridge *ib = igmp_bridge_find("br0");
        if (ib) {
            mutex_lock(&ib->lock);
            if (!strcasecmp(w[1], "all")) {
                igmp_dump(ib, "cfg");
                igmp_dump(ib, "cfg_ports");
                igmp_dump(ib, "ports");
                igmp_dump(ib, "fwd");
            } else if (!strcasecmp(w[1], "cfg") || !strcasecmp(w[1], "cfg_ports") ||
                       !strcasecmp(w[1], "ports") || !strcasecmp(w[1], "fwd")) {
                char what[16];
                snprintf(what, sizeof(what), "%s", w[1]);
                for (char *p = what; *p; p++)
                    *p = (char)tolower(*p);
                igmp_dump(ib, what);
            }
            mutex_unlock(&ib->lock);
        }
        mutex_unlock(&jxbridge_lock);
    } else if (!strcasecmp(w[0], "fake") || !strcasecmp(w[0], "send")) {
        rc = igmp_text_msg(!strcasecmp(w[0], "fake"), w);
    } else {
        rc = -EINVAL;
    }
    return rc < 0 ? rc : used;
}

static const struct file_operations igmp_fops = {
    .open = igmp_open,
    .read = igmp_read,
    .write = igmp_write,
    .unlocked_ioctl = igmp_ioctl,
    .poll = igmp_poll,
    .release = igmp_release,
};

int igmp_proc_init() {
    mutex_init(&igmp_readers_lock);
    igmp_proc_dir = proc_mkdir("jxigmp", init_net.proc_net);
    if (!igmp_proc_dir)
        return -ENOMEM;
    if (!proc_create("config", S_IFREG | 0644, igmp_proc_dir, &igmp_fops)) {
        remove_proc_entry("jxigmp", init_net.proc_net);
        igmp_proc_dir = nullptr;
        return -ENOMEM;
    }
    return 0;
}

void igmp_proc_fini() {
    remove_proc_entry("config", igmp_proc_dir);
    remove_proc_entry("jxigmp", init_net.proc_net);
    igmp_proc_dir = nullptr;
}
