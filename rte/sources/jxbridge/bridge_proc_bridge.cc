// The bridge's general control files: "bridge" (status report, text commands
// and ioctls on ports, counters, states, groups and bridge-wide values) and
// "ports" (the port list).
//
// Every handler runs under jxbridge_lock, which the user copies release: a
// port is looked up again after each copy in and never kept across one.
#include "jxbridge.h"
#include "jxbridge_ioctl.h"

#include <cctype>

// The source the ioctl trace names.
static const char proc_src[] = "rte/sources/jxbridge/bridge_proc";

static const char *bridge_phy2a(u32 state) {
    return state == JXBRIDGE_PHY_UP ? "UP" : state == JXBRIDGE_PHY_DOWN ? "DOWN" : "?";
}

static const char *bridge_pvc2a(u32 mode) {
    static const char *const names[] = {"none", "master", "slave"};
    return mode < ARRAY_SIZE(names) ? names[mode] : "unknown";
}

static const char *bridge_stp2a(u32 state) {
    return state == JXBRIDGE_STP_FORWARDING ? "forwarding"
           : state == JXBRIDGE_STP_LEARNING ? "learning"
                                            : "discarding";
}

// Runs the full PHY change, which takes jxbridge_lock itself and calls the
// PHY driver after releasing it.
static void bridge_phy_state_set(struct net_device *dev, u32 state, u32 speed, u32 duplex) {
    dev_hold(dev);
    mutex_unlock(&jxbridge_lock);
    jxbridge_port_phy_state_set(dev, state, speed, duplex);
    mutex_lock(&jxbridge_lock);
    dev_put(dev);
}

static void bridge_show_protected(struct jxbridge *B) {
    printk(KERN_INFO "port  protected\n");
    printk(KERN_INFO "----------  ---------\n");
    for (u32 i = 0; i < B->max_ports; i++)
        if (B->ports[i])
            printk(KERN_INFO "%10s  %u\n", B->ports[i]->dev->name, B->ports[i]->is_protected);
}

static void bridge_show_bll_ports(struct jxbridge *B) {
    printk(KERN_INFO "BLL-to-kernel translation table\n");
    for (u32 i = 0; i < JXBRIDGE_BLL_MAP_SIZE; i++) {
        if (i % 100 == 0)
            printk(KERN_CONT
                   "\n- - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - "
                   "- - - - - - - - - - - - - - - - -");
        if (i % 10 == 0)
            printk(KERN_CONT "%s%4d. ", i ? "\n" : "", (int)i);
        if (i % 10 == 5)
            printk(KERN_CONT " | ");
        s32 slot = B->bll_map[i];
        struct jxbridge_port *p = slot < 0 ? nullptr : jxbridge_get_port_by_number(B, (u32)slot);
        printk(KERN_CONT "%5d %-8s", slot < 0 ? -1 : slot, p ? p->dev->name : "");
    }
    printk(KERN_CONT "\n");
}

// GEM ports of an OLT share its device.
static void bridge_gem_range(struct jxbridge *B, struct jxbridge_port *olt, u32 *count, u32 *lo,
                             u32 *hi) {
    *count = 0;
    *lo = UINT32_MAX;
    *hi = 0;
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *g = B->ports[i];
        if (!g || g->kind != JXBRIDGE_PORT_PON_GEM || g->dev != olt->dev)
            continue;
        (*count)++;
        *lo = g->bll_port_no < *lo ? g->bll_port_no : *lo;
        *hi = g->bll_port_no > *hi ? g->bll_port_no : *hi;
    }
}

static int bridge_pon(struct jxbridge *B, char **w) {
    if (!w[1] || !w[2])
        return -ENOARG;
    if (!strcasecmp(w[1], "olt") && !strcasecmp(w[2], "show")) {
        printk(KERN_INFO
               "ID              OLT GEM-s-PortId-s\n-------------------------------------\n");
        // OLTs live in the PON state, by OLT number, not in port slots.
        struct jxbridge_port *o;
        for (u32 i = 0; (o = jxbridge_pon_olt_port(B, nullptr, i)); i++) {
            u32 n, lo, hi;
            bridge_gem_range(B, o, &n, &lo, &hi);
            printk(KERN_INFO "%2d %16s %5d", (int)i, o->dev->name, (int)n);
            if (n)
                printk(KERN_CONT "%5d-%-5d\n", (int)lo, (int)hi);
            else
                printk(KERN_CONT "\n");
        }
        return 0;
    }
    if (!strcasecmp(w[1], "gem") && !strcasecmp(w[2], "show")) {
        struct jxbridge_port *olt;
        if (!w[3])
            return -ENOARG;
        if (!(olt = jxbridge_pon_olt_port(B, w[3], 0)))
            return -ENODEV;
        printk(KERN_INFO "PortNo Device           Debug name       PortId\n"
                         "-----------------------------------------------\n");
        for (u32 i = 0; i < B->max_ports; i++) {
            struct jxbridge_port *g = B->ports[i];
            if (g && g->kind == JXBRIDGE_PORT_PON_GEM && g->dev == olt->dev)
                printk(KERN_INFO "%6d %-16s %-16s %5d\n", (int)g->port_no, g->dev->name,
                       g->display_name, (int)g->bll_port_no);
        }
        return 0;
    }
    return -EINVAL;
}

static int bridge_storm_type(const char *word) {
    if (!word)
        return -ENOARG;
    if (!strcasecmp(word, "dlf"))
        return STORM_DLF;
    if (!strcasecmp(word, "bcast"))
        return STORM_BCAST;
    if (!strcasecmp(word, "mcast"))
        return STORM_MCAST;
    return -EINVAL;
}

static int bridge_storm(struct jxbridge *B, char **w) {
    int type = bridge_storm_type(w[2]);
    if (type < 0)
        return type;
    const char *action = w[1];
    if (!strcasecmp(action, "show")) {
        printk(KERN_INFO "%s\n", w[2]);
        printk(KERN_INFO "port  enabled  rate   dropped frames\n");
        printk(KERN_INFO "----------  -------  -----  --------------\n");
        for (u32 i = 0; i < B->max_ports; i++) {
            struct jxbridge_port *p = B->ports[i];
            u32 en = 0, rate = 0, drops = 0;
            if (!p)
                continue;
            storm_enable_get(B, (u32)type, p, &en);
            storm_rate_get(B, (u32)type, p, &rate);
            storm_drop_frames_get(B, (u32)type, p, &drops);
            printk(KERN_INFO "%11s %7u  %5u  %14u\n", p->dev->name, en, rate, drops);
        }
        return 0;
    }
    bool enable = !strcasecmp(action, "enable"), disable = !strcasecmp(action, "disable");
    bool rate = !strcasecmp(action, "rate");
    if (!enable && !disable && !rate)
        return 0;
    if (!w[3])
        return -ENOARG;
    struct jxbridge_port *p;
    long long v = 0;
    if (rate) {
        if (!w[4])
            return -ENOARG;
        int rc = a2num(w[4], &v);
        if (rc)
            return rc;
        if (v < 0 || v > 0xFFFF)
            return -ERANGE;
    }
    if (jxbridge_proc_port(B, w[3], &p))
        return -ENODEV;
    if (rate)
        return storm_rate_set(B, (u32)type, p, (u32)v);
    return storm_enable_set(B, (u32)type, p, enable ? 1 : 0);
}

static int bridge_app_filters(struct jxbridge *B, char **w) {
    if (!w[1])
        return -ENOARG;
    if (!strcasecmp(w[1], "add")) {
        if (!w[2] || !w[3])
            return -ENOARG;
        return app_filter_register(B->app_filters, w[2], w[3], nullptr);
    }
    if (!strcasecmp(w[1], "debug")) {
        long long v;
        if (!a2num(w[2], &v))
            app_filter_set_debug(B->app_filters, (u32)v);
        return 0;
    }
    if (!strcasecmp(w[1], "show")) {
        const char *name;
        for (u32 i = 0; app_filter_entry_get(i, &name) == 0; i++)
            printk(KERN_INFO "%s\n", name);
        return 0;
    }
    return -EINVAL;
}

static int bridge_error_disable(struct jxbridge *B, char **w) {
    if (!w[1])
        return -ENOARG;
    long long v;
    int rc;
    if (!strcasecmp(w[1], "on") || !strcasecmp(w[1], "off")) {
        B->err_disable_enabled = !strcasecmp(w[1], "on");
        return 0;
    }
    if (!strcasecmp(w[1], "time")) {
        if (!w[2])
            return -ENOARG;
        if (a2num(w[2], &v) || v < 0 || v > UINT32_MAX)
            return -EINVAL;
        B->err_recovery_time = (u32)v;
        return 0;
    }
    if (!strcasecmp(w[1], "autorecovery")) {
        if ((rc = a2num(w[2], &v)))
            return rc;
        if (v < INT32_MIN || v > UINT32_MAX)
            return -ERANGE;
        B->err_recovery_mask = (u32)v;
        return 0;
    }
    if (!strcasecmp(w[1], "port_state")) {
        if (!w[2] || !w[3])
            return -ENOARG;
        struct jxbridge_port *p;
        if (jxbridge_proc_port(B, w[2], &p))
            return -ENODEV;
        int state = jxbridge_str2state(w[3]);
        if (state < 0)
            return -EINVAL;
        jxbridge_port_state_set_private(p, (u32)state);
        return 0;
    }
    return -EINVAL;
}

static int bridge_lag_enable(long long enable, long long mask) {
    auto set_lag = (int (*)(int, int, u32))jxbridge_symbol_get("tarnAPISetLAG");
    if (!set_lag) {
        printk(KERN_INFO "[Bridge] \t%s:%d symbol_request(tarnAPISetLAG) FAILED, return\n",
               proc_src, __LINE__);
        return -EINVAL;
    }
    return set_lag(0, enable ? 1 : 0, (u32)mask) ? -EINVAL : 0;
}

// Lets a LAG member's traffic through the engine, or stops it.
static int bridge_lag_member_traffic(struct jxbridge_port *p, u32 enable) {
    const char *fn = enable ? "tarnAPISetLAGPortUP" : "tarnAPISetLAGPortDOWN";
    auto call = (int (*)(int))jxbridge_symbol_get(fn);
    if (!call) {
        printk(KERN_INFO "[Bridge] \t%s:%d symbol_request(%s) FAILED, return\n", proc_src, __LINE__,
               fn);
        return -EINVAL;
    }
    int rc = call((int)p->ucc_subport);
    if (rc)
        return rc;
    if (debug)
        printk(KERN_INFO "[Bridge] \t%s:%d %s(ucc=%d) OK, return\n", proc_src, __LINE__, fn,
               (int)p->ucc_subport);
    return 0;
}

static bool bridge_is_dsl(const struct jxbridge_port *p) {
    return p->kind == JXBRIDGE_PORT_ACCESS || p->kind == JXBRIDGE_PORT_ACCESS_PVC ||
           p->kind == JXBRIDGE_PORT_PON_GEM;
}

static int bridge_acs_dsl_traffic(struct jxbridge *B, const char *word) {
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        if (!p || !bridge_is_dsl(p))
            continue;
        if (word && !strcasecmp(word, "disable"))
            jxbridge_port_state_set_private(p, JXBRIDGE_STATE_ACS_DISABLED);
        else if (word && !strcasecmp(word, "enable")) {
            if (p->state == JXBRIDGE_STATE_ACS_DISABLED)
                jxbridge_port_state_set_private(p, JXBRIDGE_STATE_OK);
        } else
            return -ENOARG;
    }
    return 0;
}

static int bridge_pvc(struct jxbridge *B, char **w) {
    if (!w[1] || !w[2])
        return -ENOARG;
    struct jxbridge_port *p, *slave;
    if (jxbridge_proc_port(B, w[1], &p))
        return -ENODEV;
    long long q;
    if (!strcmp(w[2], "set")) {
        if (!w[3])
            return -ENOARG;
        static const char *const modes[] = {"none", "master", "slave"};
        for (u32 m = 0; m < ARRAY_SIZE(modes); m++)
            if (!strcmp(w[3], modes[m]))
                return jxbridge_port_pvc_mode_set(p, m);
        return -EINVAL;
    }
    if (!strcmp(w[2], "add")) {
        if (!w[3] || !w[4])
            return -ENOARG;
        if (a2num(w[3], &q) || q < 0 || q > UINT32_MAX)
            return -EINVAL;
        if (jxbridge_proc_port(B, w[4], &slave))
            return -ENODEV;
        return jxbridge_port_pvc_set(p, (u32)q, slave);
    }
    if (!strcmp(w[2], "del")) {
        if (!w[3])
            return -ENOARG;
        if (a2num(w[3], &q) || q < 0 || q > UINT32_MAX)
            return -EINVAL;
        return jxbridge_port_pvc_unset(p, (u32)q);
    }
    return -EINVAL;
}

static int bridge_vid(const char *word, u32 *vid) {
    long long v;
    if (!word)
        return -ENOARG;
    if (a2num(word, &v))
        return -EINVAL;
    if (v < 0 || v > 4095)
        return -ERANGE;
    *vid = (u32)v;
    return 0;
}

static void bridge_stp_show(struct jxbridge *B, const u32 *vid) {
    if (vid)
        printk(KERN_INFO "\nSTP states per vlan %d\n", (int)*vid);
    else
        printk(KERN_INFO "\nSTP global state is ... %s\n",
               B->stp_enabled == 1 ? "enabled" : "disabled");
    printk(KERN_INFO "\nport       state  \n");
    printk(KERN_INFO "----------  ----------\n");
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        if (!p || (p->kind != JXBRIDGE_PORT_UPLINK && p->kind != JXBRIDGE_PORT_LAG))
            continue;
        const char *state = vid ? bridge_stp2a(stp_port_state_get(p, *vid))
                                : (p->stp_enabled ? "enabled" : "disabled");
        printk(KERN_INFO "%10s %10s\n", p->dev->name, state);
    }
}

static int bridge_stp(struct jxbridge *B, char **w) {
    if (!w[1])
        return -ENOARG;
    u32 vid;
    int rc;
    if (!strcmp(w[1], "on") || !strcmp(w[1], "off"))
        return stp_oper_state_set(B, !strcmp(w[1], "on"));
    if (!strcmp(w[1], "show")) {
        if (!w[2])
            return bridge_stp_show(B, nullptr), 0;
        if (strcmp(w[2], "vlan"))
            return -EINVAL;
        if ((rc = bridge_vid(w[3], &vid)))
            return rc;
        bridge_stp_show(B, &vid);
        return 0;
    }
    if (!strcmp(w[1], "port")) {
        struct jxbridge_port *p;
        if (!w[2])
            return -ENOARG;
        if (jxbridge_proc_port(B, w[2], &p))
            return -ENODEV;
        if (!w[3])
            return 0;
        if (!strcmp(w[3], "on") || !strcmp(w[3], "off"))
            return stp_port_oper_state_set(p, !strcmp(w[3], "on"));
        if (strcmp(w[3], "state"))
            return -EINVAL;
        if (!w[4])
            return -ENOARG;
        // Any other state word counts as discarding.
        u32 state = !strcmp(w[4], "forwarding") ? JXBRIDGE_STP_FORWARDING
                    : !strcmp(w[4], "learning") ? JXBRIDGE_STP_LEARNING
                                                : JXBRIDGE_STP_DISCARDING;
        vid = JXBRIDGE_STP_ALL_VLANS;
        if (w[5]) {
            if (strcmp(w[5], "vlan"))
                return -EINVAL;
            if ((rc = bridge_vid(w[6], &vid)))
                return rc == -ENOARG ? rc : rc == -ERANGE ? -ERANGE : -EINVAL;
        }
        return stp_port_state_set(p, vid, state);
    }
    return -EINVAL;
}

// Commands "<cmd> <port> <value>" that set a port flag and log it.
static int bridge_port_value(struct jxbridge *B, char **w, struct jxbridge_port **p, u32 *value) {
    if (!w[1] || !w[2])
        return -ENOARG;
    long long v;
    int rc = a2num(w[2], &v);
    if (rc)
        return rc;
    if (v < 0 || v > UINT32_MAX)
        return -EINVAL;
    if (jxbridge_proc_port(B, w[1], p))
        return -ENODEV;
    *value = (u32)v;
    return 0;
}

// The command's port word: missing -525, unknown -19.
static int bridge_port_word(struct jxbridge *B, const char *word, struct jxbridge_port **p) {
    if (!word)
        return -ENOARG;
    return jxbridge_proc_port(B, word, p) ? -ENODEV : 0;
}

static int bridge_cmd_mcast(struct jxbridge *B, char **w) {
    static const char *const modes[] = {"drop", "flood", "forward"};
    if (!w[1])
        return -ENOARG;
    for (u32 m = 0; m < ARRAY_SIZE(modes); m++)
        if (!strcasecmp(w[1], modes[m])) {
            B->mcast_mode = m;
            return 0;
        }
    return -EINVAL;
}

static int bridge_cmd_phy_state(struct jxbridge *B, char **w) {
    struct jxbridge_port *p;
    if (!w[1] || !w[2])
        return -ENOARG;
    if (jxbridge_proc_port(B, w[1], &p))
        return -ENODEV;
    int on = a2bool(w[2]);
    if (on < 0)
        return -EINVAL;
    p->phy_state = (u32)on;
    return 0;
}

static int bridge_cmd_clear_counters(struct jxbridge *B, char **w) {
    struct jxbridge_port *p;
    int rc = bridge_port_word(B, w[1], &p);
    if (rc)
        return rc;
    jxbridge_clear_port_counters(B, p);
    printk(KERN_INFO "Counters on port %s cleared!\n", p->dev->name);
    return 0;
}

// show_counters_all, _qe and _bridge: counter sets 0, 1 and 2.
static int bridge_cmd_show_counters(struct jxbridge *B, char **w) {
    struct jxbridge_port *p;
    int rc = bridge_port_word(B, w[1], &p);
    if (rc)
        return rc;
    u32 sel = !strcasecmp(w[0], "show_counters_all")  ? 0
              : !strcasecmp(w[0], "show_counters_qe") ? 1
                                                      : 2;
    jxbridge_show_port_counters(B, p, sel);
    return 0;
}

static int bridge_cmd_show_counters_ucc(struct jxbridge *, char **w) {
    long long v, v2;
    if (!w[1] || !w[2])
        return -ENOARG;
    if (a2num(w[1], &v) || a2num(w[2], &v2) || v < 0 || v2 < 0 || v > UINT32_MAX || v2 > UINT32_MAX)
        return -ENODEV;
    struct jxbridge_port_counters c;
    int rc = bridge_tarn_statistics_get((u32)v, (u32)v2, &c);
    if (rc)
        return rc;
    jxbridge_log_counters(&c);
    return 0;
}

static int bridge_cmd_force_line_up(struct jxbridge *B, char **w) {
    struct jxbridge_port *p;
    u32 value;
    int rc = bridge_port_value(B, w, &p, &value);
    if (rc)
        return rc;
    printk(KERN_INFO "force_line_up_flag on port %s to %u\n", p->dev->name, value);
    bridge_phy_state_set(p->dev, value, 0, 0);
    return 0;
}

static int bridge_cmd_set_mn_flag(struct jxbridge *B, char **w) {
    struct jxbridge_port *p;
    u32 value;
    int rc = bridge_port_value(B, w, &p, &value);
    if (rc)
        return rc;
    if (jxbridge_set_port_mn_flag(p, value))
        return -EINVAL;
    printk(KERN_INFO "mn_flag set on port %s to %u\n", p->dev->name, value);
    return 0;
}

static int bridge_cmd_show_mn_flag(struct jxbridge *B, char **) {
    jxbridge_show_port_mn_flag(B);
    return 0;
}

static int bridge_cmd_set_protected(struct jxbridge *B, char **w) {
    struct jxbridge_port *p;
    u32 value;
    int rc = bridge_port_value(B, w, &p, &value);
    if (rc)
        return rc;
    if (jxbridge_set_port_protected(p, value))
        return -EINVAL;
    printk(KERN_INFO "Protected set on port %s to value %u\n", p->dev->name, value);
    return 0;
}

static int bridge_cmd_show_protected(struct jxbridge *B, char **) {
    bridge_show_protected(B);
    return 0;
}

static int bridge_cmd_storm(struct jxbridge *B, char **w) {
    if (!w[1])
        return -ENOARG;
    return bridge_storm(B, w);
}

static int bridge_cmd_ethertype(struct jxbridge *B, char **w) {
    long long v;
    if (!w[1] || a2num(w[1], &v))
        return -ENOARG;
    if (v < 0 || v > 0xFFFF)
        return -ERANGE;
    return vlan_set_ethertype(B, (u16)v);
}

static int bridge_cmd_lag(struct jxbridge *, char **w) {
    long long v, v2;
    if (!w[1] || !w[2] || a2num(w[1], &v) || a2num(w[2], &v2))
        return -ENOARG;
    return bridge_lag_enable(v, v2);
}

static int bridge_cmd_lag_member(struct jxbridge *B, char **w) {
    struct jxbridge_port *p;
    long long v;
    if (!w[1] || !w[2] || a2num(w[2], &v))
        return -ENOARG;
    if (jxbridge_proc_port(B, w[1], &p))
        return -ENODEV;
    return bridge_lag_member_traffic(p, v ? 1 : 0) ? -EINVAL : 0;
}

static int bridge_cmd_acs_dsl_traffic(struct jxbridge *B, char **w) {
    return bridge_acs_dsl_traffic(B, w[1]);
}

// The rate limiter belongs to the packet engine of the line card, which has
// no such limiter here: the command checks its number and changes nothing.
static int bridge_cmd_limiter(struct jxbridge *, char **w) {
    long long v;
    if (!w[1] || a2num(w[1], &v))
        return -ENOARG;
    return 0;
}

static int bridge_cmd_show_lag(struct jxbridge *B, char **) {
    jxbridge_show_lag(B);
    return 0;
}

static int bridge_cmd_bll_ports(struct jxbridge *B, char **) {
    bridge_show_bll_ports(B);
    return 0;
}

static int bridge_cmd_switching_mode(struct jxbridge *B, char **w) {
    static const char *const modes[] = {"normal", "cord_vswitch", "cord_acl_fw"};
    if (!w[1])
        return -ENOARG;
    for (u32 m = 0; m < ARRAY_SIZE(modes); m++)
        if (!strcasecmp(w[1], modes[m]))
            return jxbridge_switching_mode_set(B, m);
    return -EINVAL;
}

static int bridge_cmd_acl_switching_mode(struct jxbridge *B, char **w) {
    long long v;
    int rc = a2num(w[1], &v);
    if (rc)
        return rc;
    return jxbridge_switching_mode_set(B, 2);
}

// Where the line card's IGMP frames arrive through one device for many ports.
static int bridge_cmd_igmp_input_dev(struct jxbridge *B, char **w) {
    if (!w[1])
        return -ENOARG;
    if (!strcasecmp(w[1], "none")) {
        B->igmp_idev = 0;
        return 0;
    }
    struct jxbridge_port *p;
    int rc = jxbridge_get_port_by_name(B, w[1], &p);
    if (rc || !p)
        return -ENODEV;
    B->igmp_idev = p->dev->ifindex;
    return 0;
}

// In help order; "pvc" and "stp" match with their case.
static const struct jxbridge_proc_cmd bridge_cmds[] = {
    {"help", nullptr, "\thelp\n", 0},
    {"mcast", bridge_cmd_mcast, "\tmcast (drop|flood|forward)\n", 0},
    {"force_line_up_flag", bridge_cmd_force_line_up, "\tforce_line_up_flag <port_name> <value>\n",
     0},
    {"phy_state", bridge_cmd_phy_state, "\tphy_state <port> <state>\n", 0},
    {"show_mn_flag", bridge_cmd_show_mn_flag, "\tshow_mn_flag\n", 0},
    {"set_mn_flag", bridge_cmd_set_mn_flag, "\tset_mn_flag <port_name> <value>\n", 0},
    {"show_protected_port", bridge_cmd_show_protected, "\tshow_protected_port\n", 0},
    {"set_protected_port", bridge_cmd_set_protected, "\tset_protected_port <port_name> <value>\n",
     0},
    {"storm", bridge_cmd_storm,
     "\tstorm show (dlf|bcast|mcast)\n\tstorm enable (dlf|bcast|mcast) <port_name>\n\tstorm "
     "disable (dlf|bcast|mcast) <port_name>\n\tstorm rate (dlf|bcast|mcast) <port_name> <rate>\n",
     0},
    {"error_disable", bridge_error_disable,
     "\terror_disable <on|off>\n\terror_disable time <time>\n\terror_disable autorecovery "
     "<mask>\n\terror_disable port_state <port> <state>\n",
     0},
    {"app_filters", bridge_app_filters,
     "\tapp_filters add <dhcp|igmp> <device_name>\n\tapp_filters debug <value>\n\tapp_filters "
     "show\n",
     0},
    {"stp", bridge_stp,
     "\tstp <on|off>\n\tstp port <port> <on|off>\n\tstp port <port> state "
     "<learning|forwarding|discarding> [vlan <1-4095>]\n\tstp show [vlan <1-4095>]\n",
     JXBRIDGE_CMD_EXACT | JXBRIDGE_CMD_HELP_CALL},
    {"clear_counters", bridge_cmd_clear_counters, "\tclear_counters <port_name>\n", 0},
    {"show_counters_all", bridge_cmd_show_counters, "\tshow_counters_all <port_name>\n", 0},
    {"show_counters_bridge", bridge_cmd_show_counters, "\tshow_counters_bridge <port_name>\n", 0},
    {"show_counters_qe", bridge_cmd_show_counters, "\tshow_counters_qe <port_name>\n", 0},
    {"show_counters_qe_ucc_subport", bridge_cmd_show_counters_ucc,
     "\tshow_counters_qe_ucc_subport <ucc> <subport>\n", 0},
    {"ethertype", bridge_cmd_ethertype, "\tethertype <0000-FFFF>\n", 0},
    {"lag", bridge_cmd_lag, "\tlag <enable> <lagmask_tx>\n", JXBRIDGE_CMD_HELP_CALL},
    {"lag_member_enable_traffic", bridge_cmd_lag_member,
     "\tlag_member_enable_traffic <port> <enable=1|disable=0>\n", 0},
    {"acs_dsl_traffic", bridge_cmd_acs_dsl_traffic, "\tacs_dsl_traffic <enable|disable>\n", 0},
    {"pvc", bridge_pvc,
     "\tpvc <port> set <master|slave|none>\n\tpvc <master port> add <queue> <slave port>\n\tpvc "
     "<master port> del <queue>\n",
     JXBRIDGE_CMD_EXACT},
    {"limiter", bridge_cmd_limiter, "\tlimiter <rate>\n", 0},
    {"show_lag", bridge_cmd_show_lag, "\tshow_lag\n", 0},
    {"pon", bridge_pon, "\tpon olt show\n\tpon gem show <olt>\n", 0},
    {"bll_ports", bridge_cmd_bll_ports, "\tbll_ports\n", 0},
    {"switching_mode", bridge_cmd_switching_mode,
     "\tswitching_mode <normal|cord_vswitch|cord_acl_fw>\n", 0},
    {"acl_switching_mode", bridge_cmd_acl_switching_mode, nullptr, 0},
    {"igmp_input_dev", bridge_cmd_igmp_input_dev, nullptr, 0},
};

static void pair_name(const pair_request &r, size_t off, char *out) {
    memcpy(out, r.bytes + off, JXBRIDGE_NAME_FIELD);
    out[JXBRIDGE_NAME_FIELD - 1] = '\0';
}
static u32 pair_u32(const pair_request &r, size_t off) {
    u32 v;
    memcpy(&v, r.bytes + off, sizeof(v));
    return v;
}
static void pair_set_u32(pair_request &r, size_t off, u32 v) {
    memcpy(r.bytes + off, &v, sizeof(v));
}
static int pair_port(struct jxbridge *B, const pair_request &r, size_t off,
                     struct jxbridge_port **p) {
    char name[JXBRIDGE_NAME_FIELD];
    pair_name(r, off, name);
    return jxbridge_proc_port(B, name, p) ? -ENODEV : 0;
}

// The port a record names at its start.
template <typename T>
static int rec_port(struct jxbridge *B, const T *r, struct jxbridge_port **p) {
    return jxbridge_proc_port_field(B, r->name, p) ? -ENODEV : 0;
}

// Ports.

static long bridge_ioc_port_add(struct jxbridge *B, unsigned int, port_request *r, unsigned long) {
    r->name[JXBRIDGE_NAME_FIELD - 1] = '\0';
    struct net_device *dev = __dev_get_by_name(&init_net, r->name);
    if (!dev) {
        if (debug)
            printk(KERN_INFO "[Bridge]   No device '%s'.\n", r->name);
        return -ENODEV;
    }
    struct jxbridge_port *p;
    int rc = jxbridge_add_port_rc(B, r->port_no, r->bll_port_no, dev, r->type, &p);
    if (rc || !p) // an OLT is registered with no port
        return rc;
    r->port_no = p->port_no;
    r->ucc = p->ucc_index;
    r->subport = p->ucc_subport;
    return 0;
}

static long bridge_ioc_port_del(struct jxbridge *B, unsigned int, jxbridge_proc_name *r,
                                unsigned long) {
    if (strlen(r->name) > IFNAMSIZ - 1)
        return -ENOMEM;
    struct net_device *dev = __dev_get_by_name(&init_net, r->name);
    if (!dev)
        return -ENOENT;
    int rc = -ENOENT;
    for (u32 i = 0; i < B->max_ports; i++)
        if (B->ports[i] && B->ports[i]->dev == dev)
            rc = jxbridge_del_port(B->ports[i]);
    return rc;
}

static long bridge_ioc_port_get(struct jxbridge *B, unsigned int, port_request *r, unsigned long) {
    if (r->port_no == JXBRIDGE_PORT_ANY) {
        r->port_no = B->max_ports;
        return 0;
    }
    if (r->port_no >= B->max_ports)
        return -EINVAL;
    struct jxbridge_port *p = B->ports[r->port_no];
    if (!p)
        return -ENOENT;
    memset(r->name, 0, sizeof(r->name));
    strlcpy(r->name, p->dev->name, sizeof(r->name));
    r->type = p->kind;
    r->bll_port_no = p->bll_port_no;
    r->ucc = p->ucc_index;
    r->subport = p->ucc_subport;
    return 0;
}

static long bridge_ioc_port_bll_get(struct jxbridge *B, unsigned int, port_request *r,
                                    unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r, &p))
        return -ENODEV;
    r->port_no = p->bll_port_no;
    return 0;
}

static long bridge_ioc_counters_get(struct jxbridge *B, unsigned int, port_counters_request *r,
                                    unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r, &p))
        return -ENODEV;
    // A selector that fills nothing else leaves the caller's block as it came.
    struct jxbridge_port_counters c;
    static_assert(sizeof(c) == sizeof(r->counters));
    memcpy(&c, r->counters, sizeof(c));
    if (jxbridge_get_port_counters(B, p, r->selector, &c))
        return -EFAULT;
    memcpy(r->counters, &c, sizeof(c));
    return 0;
}

static long bridge_ioc_counters_clear(struct jxbridge *B, unsigned int, port_request *r,
                                      unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r, &p))
        return -ENODEV;
    jxbridge_clear_port_counters(B, p);
    return 0;
}

static long bridge_ioc_master(struct jxbridge *B, unsigned int cmd, pair_request *r,
                              unsigned long) {
    struct jxbridge_port *p, *q;
    char dev_name[JXBRIDGE_NAME_FIELD], lag_name[JXBRIDGE_NAME_FIELD];
    pair_name(*r, PAIR_NAME1, dev_name);
    pair_name(*r, PAIR_NAME2, lag_name);
    bool set = cmd == BRIDGE_IOCTL_PORT_MASTER_SET;
    if (jxbridge_proc_port(B, dev_name, &p)) {
        if (set)
            printk(KERN_INFO "%s:%d No LAG device '%s'.\n", proc_src, __LINE__, dev_name);
        return -ENODEV;
    }
    if (jxbridge_proc_port(B, lag_name, &q)) {
        if (set)
            printk(KERN_INFO "%s:%d No LAG group '%s'.\n", proc_src, __LINE__, lag_name);
        return -ENODEV;
    }
    return set ? jxbridge_port_set_master(p, q) : jxbridge_port_del_master(p, q);
}

static long bridge_ioc_master_get(struct jxbridge *B, unsigned int, pair_request *r,
                                  unsigned long) {
    struct jxbridge_port *p;
    if (pair_port(B, *r, PAIR_NAME2, &p))
        return -ENODEV;
    if (!p->lag_master)
        return -ENOENT;
    memset(r->bytes + PAIR_NAME1, 0, JXBRIDGE_NAME_FIELD);
    strlcpy((char *)r->bytes + PAIR_NAME1, p->lag_master->dev->name, JXBRIDGE_NAME_FIELD);
    return 0;
}

static long bridge_ioc_phy_set(struct jxbridge *B, unsigned int, phy_request *r, unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r, &p))
        return -ENODEV;
    if (p->kind == JXBRIDGE_PORT_ACCESS_PVC || p->kind == JXBRIDGE_PORT_PON_ONU ||
        p->kind == JXBRIDGE_PORT_PON_GEM)
        jxbridge_virtual_port_phy_state_set(p, r->state);
    else
        bridge_phy_state_set(p->dev, r->state, r->speed, r->duplex);
    return 0;
}

static long bridge_ioc_phy_get(struct jxbridge *B, unsigned int, phy_request *r, unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r, &p))
        return -ENODEV;
    r->state = (u8)p->phy_state;
    r->speed = p->speed;
    r->duplex = (u8)p->duplex;
    return 0;
}

static long bridge_ioc_mstp_state(struct jxbridge *B, unsigned int cmd, stp_vlan_state_request *r,
                                  unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r, &p))
        return -ENODEV;
    if (cmd == BRIDGE_IOCTL_PORT_MSTP_STATE_SET) {
        int rc = 0;
        for (u32 v = 0; v < JXBRIDGE_STP_VLANS && !rc; v++)
            if (r->vlans[v / 8] & (0x80 >> (v % 8)))
                rc = stp_port_state_set(p, v, r->state);
        return rc;
    }
    // The VLANs of the port that are in the asked state.
    for (u32 v = 0; v < JXBRIDGE_STP_VLANS; v++) {
        u8 bit = (u8)(0x80 >> (v % 8));
        if (stp_port_state_get(p, v) == r->state)
            r->vlans[v / 8] |= bit;
        else
            r->vlans[v / 8] &= (u8)~bit;
    }
    return 0;
}

static long bridge_ioc_mstp_oper(struct jxbridge *B, unsigned int cmd, port_value_request *r,
                                 unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r, &p))
        return -ENODEV;
    if (cmd == BRIDGE_IOCTL_PORT_MSTP_OPER_STATE_SET)
        return stp_port_oper_state_set(p, r->value);
    r->value = p->stp_enabled;
    return 0;
}

static long bridge_ioc_rename(struct jxbridge *B, unsigned int, port_request *r, unsigned long) {
    r->name[JXBRIDGE_NAME_FIELD - 1] = '\0';
    if (strlen(r->name) > IFNAMSIZ - 1)
        return -EINVAL;
    return jxbridge_rename_port(B, r->bll_port_no, r->name);
}

static long bridge_ioc_lag(struct jxbridge *B, unsigned int cmd, pair_request *r, unsigned long) {
    struct jxbridge_port *p;
    bool member = cmd == BRIDGE_IOCTL_LAG_MEMBER_TRAFFIC_SET;
    if (pair_port(B, *r, member ? PAIR_NAME2 : PAIR_NAME1, &p))
        return -ENODEV;
    u32 value = pair_u32(*r, PAIR_LAG_VALUE);
    if (member)
        return bridge_lag_member_traffic(p, value ? 1 : 0);
    return bridge_lag_enable(value, 0);
}

static long bridge_ioc_mcast_gem_stats(struct jxbridge *B, unsigned int cmd,
                                       port_counters_request *r, unsigned long) {
    u32 ucc, subport;
    if (cmd == BRIDGE_IOCTL_MCAST_GEM_UCC_STATS_GET) {
        memcpy(&ucc, r->name, 4);
        memcpy(&subport, r->name + 4, 4);
    } else {
        struct jxbridge_port *p;
        if (rec_port(B, r, &p))
            return -ENODEV;
        ucc = p->ucc_index;
        subport = p->ucc_subport;
    }
    struct jxbridge_port_counters c;
    if (bridge_tarn_statistics_get(ucc, subport, &c))
        return -EFAULT;
    memcpy(r->counters, &c, sizeof(c));
    return 0;
}

// Bridge-wide values.

static long bridge_ioc_info(struct jxbridge *B, unsigned int, bridge_info *r, unsigned long) {
    r->max_ports = B->max_ports;
    r->outer_ethertype = vlan_get_ethertype(B);
    return 0;
}

static long bridge_ioc_local_mac(struct jxbridge *B, unsigned int cmd, local_mac_request *r,
                                 unsigned long) {
    if (cmd == BRIDGE_IOCTL_LOCAL_MAC_SET)
        memcpy(B->local_mac, r->mac, 6);
    else
        memcpy(r->mac, B->local_mac, 6);
    return 0;
}

static long bridge_ioc_mcast_mode(struct jxbridge *B, unsigned int, unsigned long arg) {
    jxbridge_mcast_mode_set(B, (u32)arg);
    return 0;
}

static long bridge_ioc_tarn_version(struct jxbridge *, unsigned int, tarn_version *r,
                                    unsigned long) {
    static const char *const fns[] = {"tarnAPIGetAPIVersion", "tarnAPIGetMicrocodeVersion"};
    char *fields[] = {r->api, r->microcode};
    for (int i = 0; i < 2; i++) {
        auto get = (const char *(*)(void))jxbridge_symbol_get(fns[i]);
        if (!get)
            continue;
        const char *text = get();
        if (!text)
            return -ENXIO;
        strlcpy(fields[i], text, sizeof(r->api));
    }
    return 0;
}

static long bridge_ioc_mstp_oper_set(struct jxbridge *B, unsigned int, unsigned long arg) {
    return stp_oper_state_set(B, (u32)arg);
}

// The 32-bit values a bridge reads out.
static long bridge_ioc_value_get(struct jxbridge *B, unsigned int cmd, u32 *value, unsigned long) {
    switch (cmd) {
    case BRIDGE_IOCTL_MSTP_OPER_STATE_GET:
        *value = B->stp_enabled;
        break;
    case BRIDGE_IOCTL_SHELF_GET:
        *value = shelf;
        break;
    case BRIDGE_IOCTL_ERROR_DISABLE_GET:
        *value = B->err_disable_enabled;
        break;
    case BRIDGE_IOCTL_ERROR_DISABLE_TIME_GET:
        *value = B->err_recovery_time;
        break;
    case BRIDGE_IOCTL_ERROR_DETECT_MASK_GET:
        *value = B->err_disable_mask;
        break;
    default: // BRIDGE_IOCTL_ERROR_RECOVERY_MASK_GET
        *value = B->err_recovery_mask;
        break;
    }
    return 0;
}

static long bridge_ioc_rx_queue(struct jxbridge *, unsigned int, rx_queue_stats *r, unsigned long) {
    struct jxbridge_q_t *jq = &jxbridge_q;
    unsigned long flags;
    spin_lock_irqsave(&jq->lock, flags);
    r->total_rx = jq->total_rx;
    r->total_tx = jq->total_tx;
    r->limit = jq->max;
    r->length = jq->current_len;
    r->qman_pauses = jq->qman_pauses;
    r->drops = jq->drops;
    r->af_total_rx = jq->af_total_rx;
    r->af_total_tx = jq->af_total_tx;
    r->af_length = jq->af_current;
    r->af_limit = jq->af_max;
    r->af_drops = jq->af_drops;
    spin_unlock_irqrestore(&jq->lock, flags);
    return 0;
}

// Error-disable settings passed as values.
static long bridge_ioc_error_set(struct jxbridge *B, unsigned int cmd, unsigned long arg) {
    switch (cmd) {
    case BRIDGE_IOCTL_ERROR_DISABLE_SET:
        B->err_disable_enabled = arg ? 1 : 0;
        break;
    case BRIDGE_IOCTL_ERROR_DISABLE_TIME_SET:
        B->err_recovery_time = (u32)arg;
        break;
    case BRIDGE_IOCTL_ERROR_DETECT_MASK_ADD:
        B->err_disable_mask |= (u32)arg;
        break;
    case BRIDGE_IOCTL_ERROR_DETECT_MASK_REMOVE:
        B->err_disable_mask &= ~(u32)arg;
        break;
    case BRIDGE_IOCTL_ERROR_RECOVERY_MASK_ADD:
        B->err_recovery_mask |= (u32)arg;
        break;
    default: // BRIDGE_IOCTL_ERROR_RECOVERY_MASK_REMOVE
        B->err_recovery_mask &= ~(u32)arg;
        break;
    }
    return 0;
}

static long bridge_ioc_error_cause_clear(struct jxbridge *B, unsigned int, jxbridge_proc_name *r,
                                         unsigned long) {
    if (!r->name[0])
        return -EFAULT;
    struct jxbridge_port *p;
    if (jxbridge_proc_port(B, r->name, &p))
        return -ENODEV;
    jxbridge_port_error_cause_remove(p, JXBRIDGE_CAUSE_MSG);
    return 0;
}

static long bridge_ioc_app_filter_add(struct jxbridge *B, unsigned int, app_filter_request *r,
                                      unsigned long) {
    r->filter[JXBRIDGE_NAME_FIELD - 1] = r->device[JXBRIDGE_NAME_FIELD - 1] = '\0';
    return app_filter_register(B->app_filters, r->filter, r->device, nullptr);
}

static long bridge_ioc_app_filter_del(struct jxbridge *B, unsigned int, jxbridge_proc_name *r,
                                      unsigned long) {
    r->name[JXBRIDGE_NAME_FIELD - 1] = '\0';
    return app_filter_unregister(B->app_filters, r->name);
}

static long bridge_ioc_app_filter_debug(struct jxbridge *B, unsigned int, unsigned long arg) {
    return app_filter_set_debug(B->app_filters, (u32)arg);
}

static long bridge_ioc_flags_show(struct jxbridge *B, unsigned int cmd, unsigned long) {
    if (cmd == BRIDGE_IOCTL_PORT_MN_FLAG_SHOW)
        jxbridge_show_port_mn_flag(B);
    else
        bridge_show_protected(B);
    return 0;
}

// MAC source guard and flags of a port.

static long bridge_ioc_msg_data(struct jxbridge *B, unsigned int, msg_data_request *r,
                                unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r, &p))
        return -ENODEV;
    return mac_table_mac_source_guard_get_port_data(B->mac_table, p, r) ? -EFAULT : 0;
}

static long bridge_ioc_msg_recovery(struct jxbridge *B, unsigned int, msg_recovery_request *r,
                                    unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r, &p))
        return -ENODEV;
    return mac_table_mac_source_guard_get_port_recovery_data(B->mac_table, p, r) ? -EFAULT : 0;
}

static long bridge_ioc_msg_counters(struct jxbridge *B, unsigned int cmd, port_request *r,
                                    unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r, &p))
        return -ENODEV;
    if (cmd == BRIDGE_IOCTL_PORT_MSG_ERRDIS_COUNT_CLEAR)
        p->counters.mac_source_guard_error_disabled = 0;
    else if (cmd == BRIDGE_IOCTL_PORT_MSG_VIOLATIONS_CLEAR)
        p->counters.mac_source_guard_violations = 0;
    else
        r->port_no = p->counters.mac_source_guard_error_disabled;
    return 0;
}

static long bridge_ioc_port_flag(struct jxbridge *B, unsigned int cmd, port_value_request *r,
                                 unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r, &p))
        return -ENODEV;
    switch (cmd) {
    case BRIDGE_IOCTL_PORT_MN_FLAG_SET:
        return jxbridge_set_port_mn_flag(p, r->value);
    case BRIDGE_IOCTL_PORT_PROTECTED_SET:
        return jxbridge_set_port_protected(p, r->value);
    case BRIDGE_IOCTL_PORT_MN_FLAG_GET:
        r->value = p->mn_flag;
        return 0;
    default: // BRIDGE_IOCTL_PORT_PROTECTED_GET
        r->value = p->is_protected;
        return 0;
    }
}

// PVC groups: the master named first, its queue or value at 20.
static long bridge_ioc_pvc(struct jxbridge *B, unsigned int cmd, pair_request *r, unsigned long) {
    struct jxbridge_port *p, *q;
    if (pair_port(B, *r, PAIR_NAME1, &p))
        return -ENODEV;
    u32 value = pair_u32(*r, PAIR_VALUE);
    int rc;
    switch (cmd) {
    case BRIDGE_IOCTL_PORT_PVC_MODE_SET:
        return jxbridge_port_pvc_mode_set(p, value);
    case BRIDGE_IOCTL_PORT_PVC_ADD:
        if (pair_port(B, *r, PAIR_PVC_NAME2, &q))
            return -ENODEV;
        return jxbridge_port_pvc_set(p, value, q);
    case BRIDGE_IOCTL_PORT_PVC_DEL:
        rc = jxbridge_port_pvc_unset(p, value);
        return rc == -ENOENT ? 0 : rc;
    case BRIDGE_IOCTL_PORT_PVC_VP_SET:
        return jxbridge_port_pvc_vp_set(p, (u16)value);
    case BRIDGE_IOCTL_PORT_PVC_MODE_GET:
        pair_set_u32(*r, PAIR_VALUE, p->pvc_mode);
        return 0;
    case BRIDGE_IOCTL_PORT_PVC_VP_GET: {
        u16 vp = p->pvc_vp;
        memcpy(r->bytes + PAIR_VALUE, &vp, sizeof(vp));
        return 0;
    }
    default: // BRIDGE_IOCTL_PORT_PVC_GET
        if ((rc = jxbridge_port_pvc_get(p, value, &q)))
            return rc;
        memset(r->bytes + PAIR_PVC_NAME2, 0, JXBRIDGE_NAME_FIELD);
        strlcpy((char *)r->bytes + PAIR_PVC_NAME2, q->dev->name, JXBRIDGE_NAME_FIELD);
        return 0;
    }
}

static long bridge_ioc_vpi_vci(struct jxbridge *B, unsigned int, vpi_vci_request *r,
                               unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r, &p))
        return -ENODEV;
    return jxbridge_port_vpi_vci_set(p, r->vpi, r->vci);
}

// Storm control. Types and rates are checked here as the text command checks
// them: the engine would cut a rate to 16 bits and answer 1 for a bad type.
static long bridge_ioc_storm(struct jxbridge *B, unsigned int cmd, storm_request *r,
                             unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r, &p))
        return -ENODEV;
    if (cmd == BRIDGE_IOCTL_STORM_DROPS_CLEAR) {
        for (u32 cls : {STORM_DLF, STORM_BCAST, STORM_MCAST})
            if (storm_drop_frames_reset(B, cls, p))
                return -EFAULT;
        return 0;
    }
    if (r->type > STORM_DLF)
        return -EINVAL;
    switch (cmd) {
    case BRIDGE_IOCTL_STORM_ENABLE_SET:
        return storm_enable_set(B, r->type, p, r->value);
    case BRIDGE_IOCTL_STORM_RATE_SET:
        return storm_rate_set(B, r->type, p, r->value);
    case BRIDGE_IOCTL_STORM_ENABLE_GET:
        return storm_enable_get(B, r->type, p, &r->value);
    case BRIDGE_IOCTL_STORM_RATE_GET:
        return storm_rate_get(B, r->type, p, &r->value);
    default: // BRIDGE_IOCTL_STORM_DROPS_GET
        return storm_drop_frames_get(B, r->type, p, &r->value);
    }
}

// The table is shown whatever became of the record, so this row copies the
// record itself.
static long bridge_ioc_storm_show(struct jxbridge *B, unsigned int, unsigned long arg) {
    storm_request r;
    struct jxbridge_port *p;
    long rc = 0;
    if (jxbridge_copy_from_user(&r, (void __user *)arg, sizeof(r)))
        rc = -EFAULT;
    else if (rec_port(B, &r, &p))
        rc = -ENODEV;
    storm_show(B);
    return rc;
}

#define IN JXBRIDGE_IOC_IN
#define OUT JXBRIDGE_IOC_OUT
#define OUT22 JXBRIDGE_IOC_OUT_EINVAL
static const struct jxbridge_proc_ioc bridge_iocs[] = {
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_ADD, port_request, IN | OUT, bridge_ioc_port_add),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_DEL, jxbridge_proc_name, JXBRIDGE_IOC_NAME, bridge_ioc_port_del),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_GET, port_request, IN | OUT, bridge_ioc_port_get),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_BLL_GET, port_request, IN | OUT, bridge_ioc_port_bll_get),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_COUNTERS_GET, port_counters_request, IN | OUT22,
                 bridge_ioc_counters_get),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_COUNTERS_CLEAR, port_request, IN, bridge_ioc_counters_clear),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_MASTER_SET, pair_request, IN, bridge_ioc_master),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_MASTER_DEL, pair_request, IN, bridge_ioc_master),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_MASTER_GET, pair_request, IN | OUT22, bridge_ioc_master_get),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_PHY_STATE_SET, phy_request, IN, bridge_ioc_phy_set),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_PHY_STATE_GET, phy_request, IN | OUT22, bridge_ioc_phy_get),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_MSTP_STATE_SET, stp_vlan_state_request, IN,
                 bridge_ioc_mstp_state),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_MSTP_STATE_GET, stp_vlan_state_request, IN | OUT22,
                 bridge_ioc_mstp_state),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_MSTP_OPER_STATE_SET, port_value_request, IN,
                 bridge_ioc_mstp_oper),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_MSTP_OPER_STATE_GET, port_value_request, IN | OUT22,
                 bridge_ioc_mstp_oper),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_RENAME, port_request, IN, bridge_ioc_rename),
    JXBRIDGE_IOC(BRIDGE_IOCTL_LAG_SET, pair_request, IN, bridge_ioc_lag),
    JXBRIDGE_IOC(BRIDGE_IOCTL_LAG_MEMBER_TRAFFIC_SET, pair_request, IN, bridge_ioc_lag),
    JXBRIDGE_IOC(BRIDGE_IOCTL_MCAST_GEM_UCC_STATS_GET, port_counters_request, IN | OUT22,
                 bridge_ioc_mcast_gem_stats),
    JXBRIDGE_IOC(BRIDGE_IOCTL_MCAST_GEM_PORT_STATS_GET, port_counters_request, IN | OUT22,
                 bridge_ioc_mcast_gem_stats),

    JXBRIDGE_IOC(BRIDGE_IOCTL_INFO_GET, bridge_info, OUT, bridge_ioc_info),
    JXBRIDGE_IOC(BRIDGE_IOCTL_LOCAL_MAC_GET, local_mac_request, IN | OUT, bridge_ioc_local_mac),
    JXBRIDGE_IOC(BRIDGE_IOCTL_LOCAL_MAC_SET, local_mac_request, IN, bridge_ioc_local_mac),
    JXBRIDGE_IOC_VALUE(BRIDGE_IOCTL_MCAST_MODE_SET, bridge_ioc_mcast_mode),
    JXBRIDGE_IOC(BRIDGE_IOCTL_TARN_VERSION_GET, tarn_version, OUT22, bridge_ioc_tarn_version),
    JXBRIDGE_IOC_VALUE(BRIDGE_IOCTL_MSTP_OPER_STATE_SET, bridge_ioc_mstp_oper_set),
    JXBRIDGE_IOC(BRIDGE_IOCTL_MSTP_OPER_STATE_GET, u32, OUT22, bridge_ioc_value_get),
    JXBRIDGE_IOC(BRIDGE_IOCTL_SHELF_GET, u32, OUT, bridge_ioc_value_get),
    JXBRIDGE_IOC(BRIDGE_IOCTL_RX_QUEUE_STATS_GET, rx_queue_stats, OUT22, bridge_ioc_rx_queue),
    JXBRIDGE_IOC_VALUE(BRIDGE_IOCTL_ERROR_DISABLE_SET, bridge_ioc_error_set),
    JXBRIDGE_IOC(BRIDGE_IOCTL_ERROR_DISABLE_GET, u32, OUT, bridge_ioc_value_get),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_ERROR_CAUSE_CLEAR, jxbridge_proc_name, JXBRIDGE_IOC_NAME,
                 bridge_ioc_error_cause_clear),
    JXBRIDGE_IOC_VALUE(BRIDGE_IOCTL_ERROR_DISABLE_TIME_SET, bridge_ioc_error_set),
    JXBRIDGE_IOC(BRIDGE_IOCTL_ERROR_DISABLE_TIME_GET, u32, OUT, bridge_ioc_value_get),
    JXBRIDGE_IOC_VALUE(BRIDGE_IOCTL_ERROR_DETECT_MASK_ADD, bridge_ioc_error_set),
    JXBRIDGE_IOC_VALUE(BRIDGE_IOCTL_ERROR_DETECT_MASK_REMOVE, bridge_ioc_error_set),
    JXBRIDGE_IOC(BRIDGE_IOCTL_ERROR_DETECT_MASK_GET, u32, OUT, bridge_ioc_value_get),
    JXBRIDGE_IOC_VALUE(BRIDGE_IOCTL_ERROR_RECOVERY_MASK_ADD, bridge_ioc_error_set),
    JXBRIDGE_IOC_VALUE(BRIDGE_IOCTL_ERROR_RECOVERY_MASK_REMOVE, bridge_ioc_error_set),
    JXBRIDGE_IOC(BRIDGE_IOCTL_ERROR_RECOVERY_MASK_GET, u32, OUT, bridge_ioc_value_get),

    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_MSG_DATA_GET, msg_data_request, IN | OUT22, bridge_ioc_msg_data),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_MSG_RECOVERY_GET, msg_recovery_request, IN | OUT22,
                 bridge_ioc_msg_recovery),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_MSG_ERRDIS_COUNT_GET, port_request, IN | OUT22,
                 bridge_ioc_msg_counters),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_MSG_ERRDIS_COUNT_CLEAR, port_request, IN,
                 bridge_ioc_msg_counters),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_MSG_VIOLATIONS_CLEAR, port_request, IN, bridge_ioc_msg_counters),

    JXBRIDGE_IOC(BRIDGE_IOCTL_APP_FILTER_ADD, app_filter_request, IN, bridge_ioc_app_filter_add),
    JXBRIDGE_IOC(BRIDGE_IOCTL_APP_FILTER_DEL, jxbridge_proc_name, IN, bridge_ioc_app_filter_del),
    JXBRIDGE_IOC_VALUE(BRIDGE_IOCTL_APP_FILTER_DEBUG, bridge_ioc_app_filter_debug),

    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_MN_FLAG_SET, port_value_request, IN, bridge_ioc_port_flag),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_MN_FLAG_GET, port_value_request, IN | OUT, bridge_ioc_port_flag),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_PROTECTED_SET, port_value_request, IN, bridge_ioc_port_flag),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_PROTECTED_GET, port_value_request, IN | OUT,
                 bridge_ioc_port_flag),
    JXBRIDGE_IOC_VALUE(BRIDGE_IOCTL_PORT_MN_FLAG_SHOW, bridge_ioc_flags_show),
    JXBRIDGE_IOC_VALUE(BRIDGE_IOCTL_PORT_PROTECTED_SHOW, bridge_ioc_flags_show),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_PVC_MODE_SET, pair_request, IN, bridge_ioc_pvc),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_PVC_MODE_GET, pair_request, IN | OUT22, bridge_ioc_pvc),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_PVC_ADD, pair_request, IN, bridge_ioc_pvc),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_PVC_DEL, pair_request, IN, bridge_ioc_pvc),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_PVC_GET, pair_request, IN | OUT22, bridge_ioc_pvc),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_VPI_VCI_SET, vpi_vci_request, IN, bridge_ioc_vpi_vci),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_PVC_VP_SET, pair_request, IN, bridge_ioc_pvc),
    JXBRIDGE_IOC(BRIDGE_IOCTL_PORT_PVC_VP_GET, pair_request, IN | OUT22, bridge_ioc_pvc),
    JXBRIDGE_IOC(BRIDGE_IOCTL_STORM_ENABLE_SET, storm_request, IN, bridge_ioc_storm),
    JXBRIDGE_IOC(BRIDGE_IOCTL_STORM_ENABLE_GET, storm_request, IN | OUT, bridge_ioc_storm),
    JXBRIDGE_IOC(BRIDGE_IOCTL_STORM_RATE_SET, storm_request, IN, bridge_ioc_storm),
    JXBRIDGE_IOC(BRIDGE_IOCTL_STORM_RATE_GET, storm_request, IN | OUT, bridge_ioc_storm),
    JXBRIDGE_IOC(BRIDGE_IOCTL_STORM_DROPS_GET, storm_request, IN | OUT, bridge_ioc_storm),
    JXBRIDGE_IOC(BRIDGE_IOCTL_STORM_DROPS_CLEAR, storm_request, IN, bridge_ioc_storm),
    JXBRIDGE_IOC_VALUE(BRIDGE_IOCTL_STORM_SHOW, bridge_ioc_storm_show),
};
#undef IN
#undef OUT
#undef OUT22

static const struct jxbridge_proc_ops bridge_ops = {
    .tag = "Bridge",
    .log = JXBRIDGE_PROC_LOG_NAMED,
    .debug = nullptr,
    .check = nullptr,
    .cmds = bridge_cmds,
    .n_cmds = ARRAY_SIZE(bridge_cmds),
    .iocs = bridge_iocs,
    .n_iocs = ARRAY_SIZE(bridge_iocs),
    .trace = "bridge_ioctl",
    .say = nullptr,
    .unknown = nullptr,
};

static void bridge_show_port_row(struct seq_file *m, struct jxbridge_port *p) {
    static const char indent[] = "                 |     |      |      |          |              "
                                 "   |      |          | ";
    char mask[9];
    for (int b = 0; b < 8; b++)
        mask[b] = (p->lookup_mask & (0x80 >> b)) ? '1' : '0';
    mask[8] = '\0';
    u32 storm_on = 0;
    storm_enable_get(p->bridge, STORM_DLF, p, &storm_on);
    seq_printf(
        m,
        "%5u | %5u | %18s,%4d | %3s |  %3s |  %3s | %8s | %15s | %4s | %8u | %5d-%-5d | %s | "
        "%s\n",
        p->port_no, p->bll_port_no, p->display_name, (int)p->onu_id, int2onoff(p->mn_flag),
        int2onoff(p->is_protected), int2onoff(storm_on),
        (p->dev->flags & IFF_UP) ? "Enabled" : "Disabled", jxbridge_state2str(p->state),
        bridge_phy2a(p->phy_state), p->recovery_countdown, (int)p->ucc_index, (int)p->ucc_subport,
        bridge_pvc2a(p->pvc_mode), mask);
    if (p->pvc_mode == 1)
        seq_printf(m, "                 | PVC master\n");
    for (const auto &e : p->pvc)
        if (e.queue != JXBRIDGE_PVC_FREE && e.slave)
            seq_printf(m, "%s%d --> %s\n", indent, (int)e.queue, e.slave->dev->name);
    if (p->pvc_master)
        seq_printf(m, "%sMaster is %s.\n", indent, p->pvc_master->dev->name);
}

static int bridge_show(struct seq_file *m, void *) {
    struct jxbridge *B = (struct jxbridge *)m->private_data;
    static const char *const mcast[] = {"discard", "flood", "forward", "forward+flood"};
    static const char *const modes[] = {"Normal\n", "vSwitch\n", "ACL Forwarding\n"};
    static const char rule[] = "--------------+------------+-----------\n";
    static const char port_rule[] =
        "------+-------+-------------------------+-----+------+------+----------+---------------"
        "--+------+----------+-------------+------+-----------\n";
    mutex_lock(&jxbridge_lock);
    seq_printf(m, "Max port count:                   %u\n", B->max_ports);
    seq_printf(m, "Current port count:               %u\n", (u32)B->num_ports);
    seq_printf(m, "Outer ether_type:            %d\n", (int)vlan_get_ethertype(B));
    seq_printf(m, "Multicast mode:              %s\n",
               B->mcast_mode < ARRAY_SIZE(mcast) ? mcast[B->mcast_mode] : "unknown");
    seq_printf(m, "Global error-disable:        %s\n", B->err_disable_enabled ? "On" : "Off");
    seq_printf(m, "Error-disable recovery time: %u seconds\n", B->err_recovery_time);
    seq_printf(m, "Error-disable detect mask:   0x%08x\n", B->err_disable_mask);
    seq_printf(m, "Error-disable recovery mask: 0x%08x\n", B->err_recovery_mask);
    seq_printf(m, "Switching Mode: %s",
               B->switching_mode < ARRAY_SIZE(modes) ? modes[B->switching_mode] : "N/A\n");
    const struct net_device_stats &s = B->stats;
    seq_printf(m, "\n%s   Counter    |     RX     |    TX\n%s", rule, rule);
    seq_printf(m, "Packets       | %10lu | %10lu\n", s.rx_packets, s.tx_packets);
    seq_printf(m, "Bytes         | %10lu | %10lu\n", s.rx_bytes, s.tx_bytes);
    seq_printf(m, "Errors        | %10lu | %10lu\n", s.rx_errors, s.tx_errors);
    seq_printf(m, "Dropped       | %10lu | %10lu\n", s.rx_dropped, s.tx_dropped);
    seq_printf(m, "Multicast     | %10lu |\n", s.multicast);
    struct vlan_stat vrx = {}, vtx = {};
    if (B->vlan)
        vlan_get_stat(B->vlan, &vrx, &vtx);
    seq_printf(m, "VLAN discards | %10u | %10u\n", vrx.dropped, vtx.dropped);
    seq_printf(m, "%s", rule);
    seq_printf(m, "Netlink disc. | %10u |\n", B->netlink_drops);
    seq_printf(m, "ACL discards  | %10u |\n", B->acl_drops);
    seq_printf(m, "QOS discards  | %10u |\n", B->qos_drops);
    seq_printf(m, "%s\n", rule);
    seq_printf(m, "%s", port_rule);
    seq_printf(m, "Index | BllId | Port name (id/onu-id)   |  MN | Prot | Strm | Admin St | "
                  "Err-disable St  | Line | Time (s) | Ucc-Subport | PVC  | LKUP MASK*\n");
    seq_printf(m, "%s", port_rule);
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        if (!p || (p->kind == JXBRIDGE_PORT_PON_GEM && !p->gem_id))
            continue;
        bridge_show_port_row(m, p);
    }
    seq_printf(m, "%s", port_rule);
    seq_printf(m, "* LKUP MASK bits: L2_MAC L2_VLAN L2_ETYPE L3_SIP L3_DIP L3_DSCP L4_SPORT "
                  "L4_DPORT\n");
    mutex_unlock(&jxbridge_lock);
    return 0;
}

static int bridge_file_open(struct inode *inode, struct file *file) {
    return single_open(file, bridge_show, PDE_DATA(inode));
}

static ssize_t bridge_file_write(struct file *file, const char __user *buf, size_t count,
                                 loff_t *) {
    return jxbridge_proc_write(file, buf, count, &bridge_ops);
}

static long bridge_file_ioctl(struct file *file, unsigned int cmd, unsigned long arg) {
    return jxbridge_proc_ioctl(file, cmd, arg, &bridge_ops);
}

static const struct file_operations jxbridge_bridge_fops = {
    .open = bridge_file_open,
    .read = seq_read,
    .write = bridge_file_write,
    .unlocked_ioctl = bridge_file_ioctl,
    .llseek = seq_lseek,
    .release = single_release,
};

static int ports_show(struct seq_file *m, void *) {
    struct jxbridge *B = (struct jxbridge *)m->private_data;
    mutex_lock(&jxbridge_lock);
    seq_printf(m, "Index ____Pointer_____ ___Type___ _BLL_ _Interface_name_ __Device_name___ "
                  "____Debug_name____ _____________Info_____________\n");
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        if (!p)
            continue;
        seq_printf(m, "%5lu %16p %-10s %5d %16s %16s %18s", (unsigned long)i, (void *)p,
                   jxbridge_port_type2a(p->kind), (int)p->bll_port_no, p->alias, p->dev->name,
                   p->display_name);
        if (p->kind == JXBRIDGE_PORT_PON_GEM) {
            seq_printf(m, " GEM=%d VID=%d ONU=%d", (int)p->gem_id, (int)p->gem_vid, (int)p->onu_id);
            int olt;
            if (const char *olt_name = jxbridge_pon_port_olt(p, &olt))
                seq_printf(m, " OLT=%s/%d", olt_name, olt);
        }
        if (p->lag_master) {
            seq_printf(m, " m=%d", (int)p->lag_master->port_no);
            if (p->lag_master->lag_master)
                seq_printf(m, " mm=%d", (int)p->lag_master->lag_master->port_no);
        }
        seq_printf(m, "\n");
    }
    mutex_unlock(&jxbridge_lock);
    return 0;
}

static int ports_open(struct inode *inode, struct file *file) {
    return single_open(file, ports_show, PDE_DATA(inode));
}

// The list is read-only: writes take nothing.
static ssize_t ports_write(struct file *, const char __user *, size_t, loff_t *) {
    return 0;
}

static const struct file_operations jxbridge_ports_fops = {
    .open = ports_open,
    .read = seq_read,
    .write = ports_write,
    .llseek = seq_lseek,
    .release = single_release,
};

extern const struct jxbridge_subsys jxbridge_files_subsys = {
    .tag = "Bridge",
    .files = {{"bridge", 0644, &jxbridge_bridge_fops}, {"ports", 0600, &jxbridge_ports_fops}},
};
