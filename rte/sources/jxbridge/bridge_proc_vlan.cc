// The bridge's "vlan" control file: the VLAN report, text commands and the
// record commands the bridge control tool uses.
//
// Every handler runs under jxbridge_lock, which the user copies release: the
// port named by a record is looked up after the copy in, and never kept
// across a copy.
#include "jxbridge.h"
#include "jxbridge_ioctl.h"

#include <cctype>

static const char *const vlan_mcast_words[] = {"discard", "flood", "forward", "forward+flood"};

static const char *vlan_mcast2a(u32 mode) {
    return mode < ARRAY_SIZE(vlan_mcast_words) ? vlan_mcast_words[mode] : "unknown";
}

static const char *vlan_remark_dir2a(u32 dir) {
    static const char *const names[] = {"both", "ingress", "egress"};
    return dir < ARRAY_SIZE(names) ? names[dir] : "unknown";
}

// Text words. A missing or unparsable word is -525, a value outside its
// range -34.

static int vlan_word_num(const char *word, long long lo, long long hi, long long *out) {
    if (!word || a2num(word, out))
        return -ENOARG;
    return *out < lo || *out > hi ? -ERANGE : 0;
}

static int vlan_word_vid(const char *word, u16 *vid) {
    int rc = a2vid(word, vid);
    return rc == -ERANGE ? rc : rc ? -ENOARG : 0;
}

// "%x:%x:%x": three bytes in hexadecimal.
static int vlan_word_hex3(const char *word, u8 *out) {
    if (!word)
        return -ENOARG;
    const char *p = word;
    for (int i = 0; i < 3; i++) {
        int n = 0;
        u32 v = 0;
        while (isxdigit((unsigned char)*p) && n < 3) {
            v = v * 16 +
                (isdigit((unsigned char)*p) ? *p - '0' : tolower((unsigned char)*p) - 'a' + 10);
            p++;
            n++;
        }
        if (!n || v > 0xFF || *p != (i < 2 ? ':' : '\0'))
            return -ENOARG;
        if (i < 2)
            p++;
        out[i] = (u8)v;
    }
    return 0;
}

// The port of a text command; commands differ in what an unknown port is.
static int vlan_word_port(struct jxbridge *B, const char *word, int unknown,
                          struct jxbridge_port **p) {
    if (!word)
        return -ENOARG;
    return jxbridge_proc_port(B, word, p) ? unknown : 0;
}

static int vlan_cmd_vlan(struct jxbridge *B, char **w) {
    struct vlan_data *vd = B->vlan;
    u16 vid;
    int rc;
    if (!w[1])
        return -ENOARG;
    if (!strcasecmp(w[1], "show")) {
        printk(KERN_INFO "Configured VLAN-s:");
        for (u16 v = 0; v < VLAN_VIDS; v++)
            if (vlan_is_configured(vd, v) == 0)
                printk(KERN_CONT " %d", (int)v);
        printk(KERN_CONT "\n");
        return 0;
    }
    bool add = !strcasecmp(w[1], "add");
    if (!add && strcasecmp(w[1], "del"))
        return -EINVAL;
    if ((rc = vlan_word_vid(w[2], &vid)))
        return rc;
    return add ? vlan_add_configured(vd, vid) : vlan_del_configured(vd, vid);
}

static int vlan_cmd_membership(struct jxbridge *B, char **w) {
    struct jxbridge_port *p;
    u16 vid;
    int rc;
    if (!w[1])
        return -ENOARG;
    bool add = !strcasecmp(w[1], "add"), del = !strcasecmp(w[1], "del");
    bool check = !strcasecmp(w[1], "check");
    if (!add && !del && !check)
        return -EINVAL;
    if (!w[2] || !w[3])
        return -ENOARG;
    if ((rc = vlan_word_port(B, w[2], -ENODEV, &p)))
        return rc;
    // What the help offers: every membership of the port goes.
    if (del && !strcasecmp(w[3], "all"))
        return vlan_del_port_membership(p);
    if ((rc = vlan_word_vid(w[3], &vid)))
        return rc;
    if (add)
        return vlan_add_membership(p, vid);
    // VLAN 1 is every port's default: neither taken away nor checked here.
    if (vid == 1)
        return -EINVAL;
    if (del)
        return vlan_del_membership(p, vid);
    rc = vlan_get_membership(p, vid);
    if (rc < 0)
        return rc;
    printk(KERN_INFO "%s.\n", rc ? "Member" : "Not member");
    return 0;
}

// "pvid", "acceptable" and "priority": set <port> <value> / get <port>.
static int vlan_cmd_port_value(struct jxbridge *B, char **w) {
    struct jxbridge_port *p;
    long long v;
    int rc;
    if (!w[1])
        return -ENOARG;
    bool set = !strcasecmp(w[1], "set");
    if (!set && strcasecmp(w[1], "get"))
        return -EINVAL;
    if ((rc = vlan_word_port(B, w[2], -ENOARG, &p)))
        return rc;
    if (!strcasecmp(w[0], "pvid")) {
        if (!set) {
            printk(KERN_INFO "PVID: %d\n", vlan_get_pvid(p));
            return 0;
        }
        u16 pvid;
        if ((rc = vlan_word_vid(w[3], &pvid)))
            return rc;
        return vlan_set_pvid(p, pvid);
    }
    if (!strcasecmp(w[0], "acceptable")) {
        if (!set) {
            printk(KERN_INFO "Type: %d\n", vlan_get_acceptable_frame(p));
            return 0;
        }
        static const char *const types[] = {"tagged", "untagged", "all"};
        if (!w[3])
            return -ENOARG;
        for (u32 t = 0; t < ARRAY_SIZE(types); t++)
            if (!strcasecmp(w[3], types[t]))
                return vlan_set_acceptable_frame(p, t);
        return -EINVAL;
    }
    if (!set) {
        printk(KERN_INFO "Priority: %d\n", vlan_get_port_priority(p));
        return 0;
    }
    if ((rc = vlan_word_num(w[3], 0, 7, &v)))
        return rc;
    return vlan_set_port_priority(p, (u8)v);
}

static int vlan_cmd_tag(struct jxbridge *B, char **w) {
    struct jxbridge_port *p;
    long long v;
    u16 vid;
    int rc;
    if (!w[1])
        return -ENOARG;
    bool set = !strcasecmp(w[1], "set"), get = !strcasecmp(w[1], "get");
    bool ignore = !strcasecmp(w[1], "ignore");
    if (!set && !get && !ignore)
        return -EINVAL;
    if ((rc = vlan_word_port(B, w[2], -ENOARG, &p)))
        return rc;
    // The tag-ignore bit may be set for every VLAN at once with 4095.
    if (ignore && w[3] && !a2num(w[3], &v) && v == VLAN_NONE)
        vid = VLAN_NONE;
    else if ((rc = vlan_word_vid(w[3], &vid)))
        return rc;
    if (get) {
        rc = vlan_get_port_tag(p, vid);
        if (rc < 0)
            return rc;
        if (vlan_get_port_tagging_ignore(p, vid) > 0)
            printk(KERN_INFO "State: %d (ignored)\n", rc);
        else
            printk(KERN_INFO "State: %d\n", rc);
        return 0;
    }
    if ((rc = vlan_word_num(w[4], 0, UINT32_MAX, &v)))
        return rc;
    if (set)
        return vlan_set_port_tag(p, vid, (u32)v);
    return vlan_set_port_tagging_ignore(p, vid, (u32)v);
}

static int vlan_cmd_remark(struct jxbridge *B, char **w) {
    struct jxbridge_port *p;
    long long v;
    u32 in, out;
    int rc;
    if (!w[1])
        return -ENOARG;
    bool mode = !strcasecmp(w[1], "mode"), add = !strcasecmp(w[1], "add");
    if (!mode && !add && strcasecmp(w[1], "del"))
        return -EINVAL;
    if ((rc = vlan_word_port(B, w[2], -EINVAL, &p)))
        return rc;
    if (mode) {
        if ((rc = vlan_word_num(w[3], 0, UINT32_MAX, &v)))
            return rc;
        return vlan_set_port_remark(p, v ? 1 : 0);
    }
    const char *dir_word = add ? w[5] : w[4];
    if (!w[3] || (add && !w[4]) || !dir_word)
        return -ENOARG;
    if (a2tag(w[3], "in_vid", &in))
        return -ENOARG;
    if (add && a2tag(w[4], "remarked_vid", &out))
        return -ENOARG;
    int dir = a2remark_dir(dir_word);
    if (dir < 0)
        return -EINVAL;
    if (add)
        return vlan_add_port_remark(p, (u16)in, (u16)out, (u32)dir);
    return vlan_del_port_remark(p, (u16)in, (u32)dir);
}

static int vlan_cmd_mpmm(struct jxbridge *B, char **w) {
    struct jxbridge_port *p;
    long long index;
    int rc;
    if (!w[1])
        return -ENOARG;
    bool add = !strcasecmp(w[1], "add"), del = !strcasecmp(w[1], "del");
    bool show = !strcasecmp(w[1], "show");
    if (!add && !del && !show)
        return -EINVAL;
    if ((rc = vlan_word_port(B, w[2], -ENOARG, &p)))
        return rc;
    if ((rc = vlan_word_num(w[3], 0, UINT32_MAX, &index)))
        return rc;
    if (del)
        return vlan_mpmm_del(p, (u32)index);
    struct vlan_mpmm_entry e = {};
    if (show) {
        if ((rc = vlan_mpmm_get(p, (u32)index, &e)))
            return rc;
        printk(KERN_INFO "%02x:%02x:%02x & %02x:%02x:%02x / %d ---> %d\n", e.mac[0], e.mac[1],
               e.mac[2], e.mask[0], e.mask[1], e.mask[2], (int)e.vid, (int)e.new_vid);
        return 0;
    }
    e.index = (u32)index;
    if ((rc = vlan_word_hex3(w[4], e.mac)) || (rc = vlan_word_hex3(w[5], e.mask)) ||
        (rc = vlan_word_vid(w[6], &e.vid)) || (rc = vlan_word_vid(w[7], &e.new_vid)))
        return rc;
    return vlan_mpmm_add(p, &e);
}

static int vlan_cmd_mcast(struct jxbridge *B, char **w) {
    struct vlan_data *vd = B->vlan;
    static const char *const modes[] = {"discard", "flood", "forward", "smart"};
    u32 vid;
    if (!w[1])
        return -ENOARG;
    if (a2tag(w[1], "VID", &vid))
        return -1;
    // The engine ignores a VID it has no mode for; say so instead.
    if (vid >= VLAN_VIDS)
        return -ERANGE;
    if (!w[2])
        return -ENOARG;
    for (u32 m = 0; m < ARRAY_SIZE(modes); m++)
        if (!strcasecmp(w[2], modes[m])) {
            vlan_mcast_mode_set(vd, (u16)vid, m);
            return 0;
        }
    return -EINVAL;
}

static int vlan_cmd_debug(struct jxbridge *B, char **w) {
    long long v;
    if (!w[1] || a2num(w[1], &v))
        return -ENOARG;
    vlan_set_debug(B->vlan, v ? 1 : 0);
    return 0;
}

static const struct jxbridge_proc_cmd vlan_cmds[] = {
    {"help", nullptr, "\thelp\n", 0},
    {"debug", vlan_cmd_debug, "\tdebug <mode>\n", 0},
    {"vlan", vlan_cmd_vlan, "\tvlan add <vid>\n\tvlan del <vid>\n\tvlan show\n", 0},
    {"membership", vlan_cmd_membership,
     "\tmembership add <port> <vid>\n\tmembership del <port> (<vid> | all)\n\tmembership check "
     "<port> <vid>\n",
     0},
    {"pvid", vlan_cmd_port_value, "\tpvid set <port> <pvid>\n\tpvid get <port>\n", 0},
    {"acceptable", vlan_cmd_port_value,
     "\tacceptable set <port> {tagged,untagged,all}\n\tacceptable get <port>\n",
     JXBRIDGE_CMD_HELP_CALL},
    {"tag", vlan_cmd_tag,
     "\ttag set <port> <vid> <state>\n\ttag get <port> <vid>\n\ttag ignore <port> <vid> "
     "<state>\n",
     0},
    {"priority", vlan_cmd_port_value, "\tpriority set <port> <priority>\n\tpriority get <port>\n",
     0},
    {"remark", vlan_cmd_remark,
     "\tremark mode <port> 0|1\n\tremark add <port> <in_vid> <remarked_vid> <dir>\n\tremark del "
     "<port> <in_vid> <dir>\n",
     0},
    {"mpmm", vlan_cmd_mpmm,
     "\tmpmm add <port> <index> <group> <mask> <svid> <cvid> <svid> <cvid>\n\tmpmm del <port> "
     "<index>\n\tmpmm show <port> <index>\n",
     JXBRIDGE_CMD_HELP_CALL},
    {"mcast", vlan_cmd_mcast, "\tmcast <vid> (discard|flood|forward|smart)\n", 0},
};

// The bridge's VLANs as a whole. VLAN 0 is no configurable VID: once added
// it could not be taken away again.
static long vlan_ioc_add_del(struct jxbridge *B, unsigned int cmd, unsigned long arg) {
    // The VID is the argument: anything wider than a VID is none.
    if (arg >= VLAN_VIDS)
        return -EINVAL;
    if (cmd == VLAN_IOCTL_DEL)
        return vlan_del_configured(B->vlan, (u16)arg);
    return arg ? vlan_add_configured(B->vlan, (u16)arg) : -EINVAL;
}

static long vlan_ioc_name_set(struct jxbridge *B, unsigned int, vlan_name_request *r,
                              unsigned long) {
    // The store keeps 31 characters: a longer name is cut.
    static_assert(VLAN_NAME_SIZE <= sizeof(r->name));
    r->name[VLAN_NAME_SIZE - 1] = '\0';
    return vlan_name_set(B->vlan, r->vid, r->name);
}

static long vlan_ioc_name_get(struct jxbridge *B, unsigned int, vlan_name_request *r,
                              unsigned long) {
    char name[VLAN_NAME_SIZE];
    int rc = vlan_get_is_configured(B->vlan, r->vid, name, sizeof(name));
    if (rc)
        return rc;
    memset(r->name, 0, sizeof(r->name));
    memcpy(r->name, name, strnlen(name, sizeof(name) - 1));
    return 0;
}

static long vlan_ioc_clear(struct jxbridge *B, unsigned int, unsigned long) {
    vlan_clear(B->vlan);
    return 0;
}

static long vlan_ioc_membership_all(struct jxbridge *B, unsigned int, vlan_membership_request *r,
                                    unsigned long) {
    r->ports = B->max_ports;
    memset(r->members, 0, sizeof(r->members));
    memset(r->tagged, 0, sizeof(r->tagged));
    return vlan_get_membership_tagging_all(B->vlan, r->vid, r->members, r->tagged,
                                           sizeof(r->members));
}

static long vlan_ioc_mcast(struct jxbridge *B, unsigned int cmd, vlan_mcast_request *r,
                           unsigned long) {
    if (cmd == VLAN_IOCTL_MCAST_MODE_GET)
        return vlan_mcast_mode_get(B->vlan, r->vid, &r->mode);
    // The engine would ignore these and still succeed.
    if (r->vid >= VLAN_VIDS || r->mode >= ARRAY_SIZE(vlan_mcast_words))
        return -EINVAL;
    vlan_mcast_mode_set(B->vlan, r->vid, r->mode);
    return 0;
}

static long vlan_ioc_ethertype_set(struct jxbridge *B, unsigned int, unsigned long arg) {
    if (arg > 0xFFFF)
        return -EINVAL;
    return vlan_set_ethertype(B, (u16)arg);
}

static long vlan_ioc_ethertype_get(struct jxbridge *B, unsigned int, u16 *ethertype,
                                   unsigned long) {
    *ethertype = vlan_get_ethertype(B);
    return 0;
}

// A port and a VID (vlan_port_vid_request).
static long vlan_ioc_port_vid_set(struct jxbridge *B, unsigned int cmd, vlan_port_vid_request *r,
                                  unsigned long) {
    struct jxbridge_port *p;
    if (jxbridge_proc_port_field(B, r->name, &p))
        return -ENODEV;
    switch (cmd) {
    case VLAN_IOCTL_MEMBERSHIP_ADD:
        return vlan_add_membership(p, r->vid);
    case VLAN_IOCTL_MEMBERSHIP_DEL:
        return vlan_del_membership(p, r->vid);
    case VLAN_IOCTL_MEMBERSHIP_DEL_ALL:
        return vlan_del_port_membership(p);
    case VLAN_IOCTL_PVID_SET:
        return vlan_set_pvid(p, r->vid);
    case VLAN_IOCTL_ACCEPTABLE_SET: {
        static const char *const types[] = {"tagged", "untagged", "admit_all"};
        char word[sizeof(r->accept) + 1];
        memcpy(word, r->accept, sizeof(r->accept));
        word[sizeof(r->accept)] = '\0';
        for (u32 t = 0; t < ARRAY_SIZE(types); t++)
            if (!strcasecmp(word, types[t]))
                return vlan_set_acceptable_frame(p, t);
        return -EINVAL;
    }
    case VLAN_IOCTL_TAG_SET:
        return vlan_set_port_tag(p, r->vid, r->tagged);
    default: // VLAN_IOCTL_TAG_IGNORE_SET
        return vlan_set_port_tagging_ignore(p, r->vid, r->tag_ignore);
    }
}

static long vlan_ioc_port_vid_get(struct jxbridge *B, unsigned int cmd, vlan_port_vid_request *r,
                                  unsigned long) {
    struct jxbridge_port *p;
    if (jxbridge_proc_port_field(B, r->name, &p))
        return -ENODEV;
    int rc;
    u32 member, tagged;
    switch (cmd) {
    case VLAN_IOCTL_MEMBERSHIP_GET:
        if ((rc = vlan_get_membership(p, r->vid)) < 0)
            return rc;
        r->member = (u32)rc;
        return 0;
    case VLAN_IOCTL_PVID_GET:
        if ((rc = vlan_get_pvid(p)) < 0)
            return rc;
        r->vid = (u16)rc;
        return 0;
    case VLAN_IOCTL_ACCEPTABLE_GET:
        if ((rc = vlan_get_acceptable_frame(p)) < 0)
            return rc;
        r->accept_type = (u8)rc;
        return 0;
    case VLAN_IOCTL_TAG_GET:
        if ((rc = vlan_get_port_tag(p, r->vid)) < 0)
            return rc;
        r->tagged = (u16)rc;
        return 0;
    case VLAN_IOCTL_TAG_IGNORE_GET:
        if ((rc = vlan_get_port_tagging_ignore(p, r->vid)) < 0)
            return rc;
        r->tag_ignore = (u8)rc;
        return 0;
    default: // VLAN_IOCTL_MEMBERSHIP_TAGGING_GET
        if ((rc = vlan_get_membership_tagging(p, r->vid, &member, &tagged)))
            return rc;
        r->member = member;
        r->tagged = (u16)tagged;
        return 0;
    }
}

// A port and one value.
static long vlan_ioc_port_value(struct jxbridge *B, unsigned int cmd, vlan_port_value_request *r,
                                unsigned long) {
    struct jxbridge_port *p;
    if (jxbridge_proc_port_field(B, r->name, &p))
        return -ENODEV;
    int rc;
    u32 mode;
    switch (cmd) {
    case VLAN_IOCTL_REMARK_MODE_SET:
        return vlan_set_port_remark(p, r->value8 ? 1 : 0);
    case VLAN_IOCTL_PRIORITY_SET:
        return vlan_set_port_priority(p, r->value8);
    case VLAN_IOCTL_MPMM_DEL:
        return vlan_mpmm_del(p, r->value);
    case VLAN_IOCTL_QINQ_MODE_SET:
        if (r->value != VLAN_QINQ_TUNNEL && r->value != VLAN_QINQ_BRIDGE)
            return -EINVAL;
        return vlan_qinq_set_port_mode(p, r->value);
    case VLAN_IOCTL_REMARK_MODE_GET:
        if ((rc = vlan_get_port_remark(p)) < 0)
            return rc;
        r->value8 = rc ? 1 : 0;
        return 0;
    case VLAN_IOCTL_PRIORITY_GET:
        if ((rc = vlan_get_port_priority(p)) < 0)
            return rc;
        r->value8 = (u8)rc;
        return 0;
    default: // VLAN_IOCTL_QINQ_MODE_GET
        if ((rc = vlan_qinq_get_port_mode(p, &mode)))
            return rc;
        r->value = mode;
        return 0;
    }
}

// A port flag; the tunnel record is one byte shorter than the MVR one.
static long vlan_ioc_port_flag(struct jxbridge *B, unsigned int cmd, vlan_port_flag_request *r,
                               unsigned long) {
    struct jxbridge_port *p;
    if (jxbridge_proc_port_field(B, r->name, &p))
        return -ENODEV;
    u32 mode;
    int rc;
    switch (cmd) {
    case VLAN_IOCTL_PORT_MVR_SET:
        return jxbridge_set_port_mvr(p, r->flag);
    case VLAN_IOCTL_PORT_MVR_GET:
        r->flag = p->mvr;
        return 0;
    case VLAN_IOCTL_TUNNEL_SET:
        return vlan_qinq_set_port_mode(p, r->flag ? VLAN_QINQ_TUNNEL : VLAN_QINQ_BRIDGE);
    default: // VLAN_IOCTL_TUNNEL_GET
        if ((rc = vlan_qinq_get_port_mode(p, &mode)))
            return rc;
        r->flag = mode == VLAN_QINQ_TUNNEL;
        return 0;
    }
}

static long vlan_ioc_remark(struct jxbridge *B, unsigned int cmd, vlan_remark_request *r,
                            unsigned long) {
    struct jxbridge_port *p;
    if (jxbridge_proc_port_field(B, r->name, &p))
        return -ENODEV;
    if (cmd == VLAN_IOCTL_REMARK_ADD)
        return vlan_add_port_remark(p, r->in_vid, r->out_vid, r->dir);
    if (cmd == VLAN_IOCTL_REMARK_DEL)
        return vlan_del_port_remark(p, r->in_vid, r->dir);
    u16 src, dst;
    u32 dir;
    int rc = vlan_remark_get_seq(p, r->position, &src, &dst, &dir);
    if (rc)
        return rc;
    r->in_vid = src;
    r->out_vid = dst;
    r->dir = dir;
    return 0;
}

static long vlan_ioc_mpmm(struct jxbridge *B, unsigned int cmd, vlan_mpmm_request *r,
                          unsigned long) {
    struct jxbridge_port *p;
    if (jxbridge_proc_port_field(B, r->name, &p))
        return -ENODEV;
    struct vlan_mpmm_entry e;
    static_assert(sizeof(e) == sizeof(r->entry));
    memcpy(&e, r->entry, sizeof(e));
    if (cmd == VLAN_IOCTL_MPMM_ADD)
        return vlan_mpmm_add(p, &e);
    int rc = r->position == VLAN_MPMM_BY_INDEX ? vlan_mpmm_get(p, e.index, &e)
                                               : vlan_mpmm_get_by_pos(p, r->position, &e);
    if (rc)
        return rc;
    memcpy(r->entry, &e, sizeof(e));
    return 0;
}

static long vlan_ioc_mvr_remark(struct jxbridge *B, unsigned int cmd, vlan_mvr_request *r,
                                unsigned long) {
    struct jxbridge_port *p;
    if (jxbridge_proc_port_field(B, r->name, &p))
        return -ENODEV;
    struct vlan_mvr_rule rule;
    static_assert(sizeof(rule) == sizeof(r->rule));
    memcpy(&rule, r->rule, sizeof(rule));
    if (cmd == VLAN_IOCTL_MVR_REMARK_ADD) {
        // A rule of another family could never match a frame.
        if (rule.family != 2 && rule.family != 10)
            return -EINVAL;
        return vlan_add_port_mvr_remark(B->vlan, p, &rule);
    }
    if (cmd == VLAN_IOCTL_MVR_REMARK_DEL)
        return vlan_del_port_mvr_remark(B->vlan, p, &rule);
    int rc = vlan_mvr_remark_get_seq(p, r->position, &rule);
    if (rc)
        return rc;
    memcpy(r->rule, &rule, sizeof(rule));
    return 0;
}

static long vlan_ioc_qinq(struct jxbridge *B, unsigned int cmd, vlan_qinq_request *r,
                          unsigned long) {
    struct jxbridge_port *p;
    if (jxbridge_proc_port_field(B, r->name, &p))
        return -ENODEV;
    struct vlan_qinq_range range;
    int rc;
    switch (cmd) {
    case VLAN_IOCTL_QINQ_SELECTIVE_ADD:
        return vlan_qinq_set_selective(p, r->vid, r->vid2, r->outer_vid, r->prio);
    case VLAN_IOCTL_QINQ_SELECTIVE_DEL:
        return vlan_qinq_del_selective(p, r->vid);
    case VLAN_IOCTL_STACKING_SET:
        return vlan_qinq_set_stacking(p, r->vid, r->prio);
    case VLAN_IOCTL_QINQ_SELECTIVE_GET:
        if ((rc = vlan_qinq_get_selective(p, r->vid, &range)))
            return rc;
        r->outer_vid = range.outer_vid;
        r->prio = range.prio;
        return 0;
    default: // VLAN_IOCTL_STACKING_GET
        return vlan_qinq_get_stacking(p, &r->vid, &r->prio);
    }
}

static long vlan_ioc_qinq_seq(struct jxbridge *B, unsigned int, vlan_qinq_seq_request *r,
                              unsigned long) {
    struct jxbridge_port *p;
    if (jxbridge_proc_port_field(B, r->name, &p))
        return -ENODEV;
    struct vlan_qinq_range range;
    int rc = vlan_qinq_get_selective_seq(p, r->position, &range);
    if (rc)
        return rc;
    r->first = range.first;
    r->last = range.last;
    r->outer_vid = range.outer_vid;
    r->prio = range.prio;
    return 0;
}

// A failed copy in is -14, a failed copy back -22.
#define IN JXBRIDGE_IOC_IN
#define INOUT (JXBRIDGE_IOC_IN | JXBRIDGE_IOC_OUT_EINVAL)
static const struct jxbridge_proc_ioc vlan_iocs[] = {
    JXBRIDGE_IOC_VALUE(VLAN_IOCTL_ADD, vlan_ioc_add_del),
    JXBRIDGE_IOC_VALUE(VLAN_IOCTL_DEL, vlan_ioc_add_del),
    JXBRIDGE_IOC(VLAN_IOCTL_NAME_SET, vlan_name_request, IN, vlan_ioc_name_set),
    JXBRIDGE_IOC(VLAN_IOCTL_NAME_GET, vlan_name_request, INOUT, vlan_ioc_name_get),
    JXBRIDGE_IOC_VALUE(VLAN_IOCTL_CLEAR, vlan_ioc_clear),
    JXBRIDGE_IOC(VLAN_IOCTL_MEMBERSHIP_ALL_GET, vlan_membership_request, INOUT,
                 vlan_ioc_membership_all),
    JXBRIDGE_IOC(VLAN_IOCTL_MCAST_MODE_SET, vlan_mcast_request, IN, vlan_ioc_mcast),
    JXBRIDGE_IOC(VLAN_IOCTL_MCAST_MODE_GET, vlan_mcast_request, INOUT, vlan_ioc_mcast),
    JXBRIDGE_IOC_VALUE(VLAN_IOCTL_ETHERTYPE_SET, vlan_ioc_ethertype_set),
    JXBRIDGE_IOC(VLAN_IOCTL_ETHERTYPE_GET, u16, JXBRIDGE_IOC_OUT_EINVAL, vlan_ioc_ethertype_get),

    JXBRIDGE_IOC(VLAN_IOCTL_MEMBERSHIP_ADD, vlan_port_vid_request, IN, vlan_ioc_port_vid_set),
    JXBRIDGE_IOC(VLAN_IOCTL_MEMBERSHIP_DEL, vlan_port_vid_request, IN, vlan_ioc_port_vid_set),
    JXBRIDGE_IOC(VLAN_IOCTL_MEMBERSHIP_DEL_ALL, vlan_port_vid_request, IN, vlan_ioc_port_vid_set),
    JXBRIDGE_IOC(VLAN_IOCTL_PVID_SET, vlan_port_vid_request, IN, vlan_ioc_port_vid_set),
    JXBRIDGE_IOC(VLAN_IOCTL_ACCEPTABLE_SET, vlan_port_vid_request, IN, vlan_ioc_port_vid_set),
    JXBRIDGE_IOC(VLAN_IOCTL_TAG_SET, vlan_port_vid_request, IN, vlan_ioc_port_vid_set),
    JXBRIDGE_IOC(VLAN_IOCTL_TAG_IGNORE_SET, vlan_port_vid_request, IN, vlan_ioc_port_vid_set),
    JXBRIDGE_IOC(VLAN_IOCTL_MEMBERSHIP_GET, vlan_port_vid_request, INOUT, vlan_ioc_port_vid_get),
    JXBRIDGE_IOC(VLAN_IOCTL_PVID_GET, vlan_port_vid_request, INOUT, vlan_ioc_port_vid_get),
    JXBRIDGE_IOC(VLAN_IOCTL_ACCEPTABLE_GET, vlan_port_vid_request, INOUT, vlan_ioc_port_vid_get),
    JXBRIDGE_IOC(VLAN_IOCTL_TAG_GET, vlan_port_vid_request, INOUT, vlan_ioc_port_vid_get),
    JXBRIDGE_IOC(VLAN_IOCTL_TAG_IGNORE_GET, vlan_port_vid_request, INOUT, vlan_ioc_port_vid_get),
    JXBRIDGE_IOC(VLAN_IOCTL_MEMBERSHIP_TAGGING_GET, vlan_port_vid_request, INOUT,
                 vlan_ioc_port_vid_get),

    JXBRIDGE_IOC(VLAN_IOCTL_REMARK_MODE_SET, vlan_port_value_request, IN, vlan_ioc_port_value),
    JXBRIDGE_IOC(VLAN_IOCTL_REMARK_MODE_GET, vlan_port_value_request, INOUT, vlan_ioc_port_value),
    JXBRIDGE_IOC(VLAN_IOCTL_PRIORITY_SET, vlan_port_value_request, IN, vlan_ioc_port_value),
    JXBRIDGE_IOC(VLAN_IOCTL_PRIORITY_GET, vlan_port_value_request, INOUT, vlan_ioc_port_value),
    JXBRIDGE_IOC(VLAN_IOCTL_MPMM_DEL, vlan_port_value_request, IN, vlan_ioc_port_value),
    JXBRIDGE_IOC(VLAN_IOCTL_QINQ_MODE_SET, vlan_port_value_request, IN, vlan_ioc_port_value),
    JXBRIDGE_IOC(VLAN_IOCTL_QINQ_MODE_GET, vlan_port_value_request, INOUT, vlan_ioc_port_value),
    JXBRIDGE_IOC_SIZE(VLAN_IOCTL_PORT_MVR_SET, vlan_port_flag_request, VLAN_PORT_FLAG_SIZE_MVR, IN,
                      vlan_ioc_port_flag),
    JXBRIDGE_IOC_SIZE(VLAN_IOCTL_PORT_MVR_GET, vlan_port_flag_request, VLAN_PORT_FLAG_SIZE_MVR,
                      INOUT, vlan_ioc_port_flag),
    JXBRIDGE_IOC_SIZE(VLAN_IOCTL_TUNNEL_SET, vlan_port_flag_request, VLAN_PORT_FLAG_SIZE_TUNNEL, IN,
                      vlan_ioc_port_flag),
    JXBRIDGE_IOC_SIZE(VLAN_IOCTL_TUNNEL_GET, vlan_port_flag_request, VLAN_PORT_FLAG_SIZE_TUNNEL,
                      INOUT, vlan_ioc_port_flag),

    JXBRIDGE_IOC(VLAN_IOCTL_REMARK_ADD, vlan_remark_request, IN, vlan_ioc_remark),
    JXBRIDGE_IOC(VLAN_IOCTL_REMARK_DEL, vlan_remark_request, IN, vlan_ioc_remark),
    JXBRIDGE_IOC(VLAN_IOCTL_REMARK_GET, vlan_remark_request, INOUT, vlan_ioc_remark),
    JXBRIDGE_IOC(VLAN_IOCTL_MPMM_ADD, vlan_mpmm_request, IN, vlan_ioc_mpmm),
    JXBRIDGE_IOC(VLAN_IOCTL_MPMM_GET, vlan_mpmm_request, INOUT, vlan_ioc_mpmm),
    JXBRIDGE_IOC(VLAN_IOCTL_MVR_REMARK_ADD, vlan_mvr_request, IN, vlan_ioc_mvr_remark),
    JXBRIDGE_IOC(VLAN_IOCTL_MVR_REMARK_DEL, vlan_mvr_request, IN, vlan_ioc_mvr_remark),
    JXBRIDGE_IOC(VLAN_IOCTL_MVR_REMARK_GET, vlan_mvr_request, INOUT, vlan_ioc_mvr_remark),
    JXBRIDGE_IOC(VLAN_IOCTL_QINQ_SELECTIVE_ADD, vlan_qinq_request, IN, vlan_ioc_qinq),
    JXBRIDGE_IOC(VLAN_IOCTL_QINQ_SELECTIVE_GET, vlan_qinq_request, INOUT, vlan_ioc_qinq),
    JXBRIDGE_IOC(VLAN_IOCTL_QINQ_SELECTIVE_DEL, vlan_qinq_request, IN, vlan_ioc_qinq),
    JXBRIDGE_IOC(VLAN_IOCTL_STACKING_SET, vlan_qinq_request, IN, vlan_ioc_qinq),
    JXBRIDGE_IOC(VLAN_IOCTL_STACKING_GET, vlan_qinq_request, INOUT, vlan_ioc_qinq),
    JXBRIDGE_IOC(VLAN_IOCTL_QINQ_SELECTIVE_SEQ_GET, vlan_qinq_seq_request, INOUT,
                 vlan_ioc_qinq_seq),
};
#undef IN
#undef INOUT

// The report.

static const char vlan_dashes[] =
    "--------------------------------------------------------------------------------";
static const char vlan_members_indent[] = "                          "; // 26 blanks

static void vlan_show_addr(const struct vlan_mvr_rule *r, bool last, char *buf, size_t size) {
    if (r->family == 2) {
        u32 a = last ? r->v4.last : r->v4.first;
        snprintf(buf, size, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
        return;
    }
    const u8 *a = last ? r->v6.last : r->v6.first;
    int n = 0;
    for (int i = 0; i < 8 && n >= 0 && (size_t)n < size; i++)
        n += snprintf(buf + n, size - n, "%s%04x", i ? ":" : "", a[2 * i] << 8 | a[2 * i + 1]);
}

// VIDs with their names and member ports, seven names to a line.
static void vlan_show_vlans(struct seq_file *m, struct vlan_data *vd) {
    seq_printf(m, "\nConfigured VLANs\nVLAN Name                 Ports\n%.77s\n", vlan_dashes);
    char name[VLAN_NAME_SIZE];
    for (u16 v = 0; v < VLAN_VIDS; v++) {
        if (vlan_get_is_configured(vd, v, name, sizeof(name)))
            continue;
        u32 mode = 0;
        vlan_mcast_mode_get(vd, v, &mode);
        seq_printf(m, "%4d %20.20s Multicast mode=%s\n%s", (int)v, name, vlan_mcast2a(mode),
                   vlan_members_indent);
        struct jxbridge_port **list = vlan_get_ports(vd, v);
        for (u32 i = 0; list[i]; i++) {
            seq_printf(m, "%s", list[i]->dev->name);
            if (!list[i + 1])
                break;
            if ((i + 1) % 7)
                seq_printf(m, ", ");
            else
                seq_printf(m, ",\n%s", vlan_members_indent);
        }
        seq_printf(m, "\n");
    }
}

static void vlan_show_port(struct seq_file *m, struct jxbridge_port *p) {
    static const char *const accept[] = {"tagged", "untagged", "all"};
    struct vlan_port *vp = vlan_port_get(p);
    if (!vp)
        return;
    u32 mode = 0;
    u16 svid = 0;
    u8 sprio = 0;
    vlan_qinq_get_port_mode(p, &mode);
    vlan_qinq_get_stacking(p, &svid, &sprio);
    int type = vlan_get_acceptable_frame(p), pvid = vlan_get_pvid(p);
    seq_printf(m, "\nDevice: %s\n%.49s\n", p->dev->name, vlan_dashes);
    seq_printf(m,
               "\tmode=%s, accept=%s, PVID=%d (0x%04x), stacking tag=%d (0x%04x), stacking "
               "priority=%d\n",
               mode == VLAN_QINQ_TUNNEL   ? "tunnel"
               : mode == VLAN_QINQ_BRIDGE ? "bridge"
                                          : "unknown",
               type >= 0 && type < (int)ARRAY_SIZE(accept) ? accept[type] : "unknown", pvid, pvid,
               (int)svid, (int)svid, (int)sprio);

    // Memberships, eight to a line.
    seq_printf(m, "\tMembership:   ");
    u32 n = 0;
    for (u32 v = 1; v < VLAN_VIDS; v++) {
        if (!(vp->member[v >> 5] & (1u << (v & 31))))
            continue;
        if (n && n % 8)
            seq_printf(m, ", ");
        else if (n)
            seq_printf(m, ",\n\t              ");
        seq_printf(m, "%d-%s", (int)v, vp->tagged[v >> 5] & (1u << (v & 31)) ? "keep" : "remove");
        n++;
    }
    seq_printf(m, "\n");

    seq_printf(m, "\tRemarking:    %s\n", vlan_get_port_remark(p) > 0 ? "On" : "Off");
    u16 src, dst;
    u32 dir;
    for (u32 i = 0; vlan_remark_get_seq(p, i, &src, &dst, &dir) == 0; i++)
        seq_printf(m, "\t\t%d --> %d %s\n", (int)src, (int)dst, vlan_remark_dir2a(dir));

    struct vlan_qinq_range q;
    for (u32 i = 0; vlan_qinq_get_selective_seq(p, i, &q) == 0; i++) {
        if (!i)
            seq_printf(m, "\tQ-in-Q:\n");
        seq_printf(m, "\t\t[%d-%d] --> %d, priority %d\n", (int)q.first, (int)q.last,
                   (int)q.outer_vid, (int)q.prio);
    }

    seq_printf(m, "\tMVR:          %s\n", p->mvr ? "On" : "Off");
    struct vlan_mvr_rule r;
    char a[48], b[48];
    for (u32 i = 0; vlan_mvr_remark_get_seq(p, i, &r) == 0; i++) {
        vlan_show_addr(&r, false, a, sizeof(a));
        vlan_show_addr(&r, true, b, sizeof(b));
        seq_printf(m, "\t\tC-VLAN %d [%s, %s] --> M-VLAN %d\n", (int)r.cvlan, a, b, (int)r.mvlan);
    }
}

static int vlan_show(struct seq_file *m, void *) {
    struct jxbridge *B = (struct jxbridge *)m->private_data;
    mutex_lock(&jxbridge_lock);
    struct vlan_data *vd = B->vlan;
    if (!vd) {
        mutex_unlock(&jxbridge_lock);
        return 0;
    }
    seq_printf(m, "Debug:            %s\n", vd->debug ? "On" : "Off");
    struct vlan_stat rx, tx;
    vlan_get_stat(vd, &rx, &tx);
    seq_printf(m, "\n S t a t i s t i c s\n");
    seq_printf(m, "Type            |     RX    |     TX\n");
    seq_printf(m, "----------------+-----------+----------\n");
    seq_printf(m, "Untagged        | %9u | %9u\n", rx.untagged, tx.untagged);
    seq_printf(m, "Tagged          | %9u | %9u\n", rx.tagged, tx.tagged);
    seq_printf(m, "Priority tagged | %9u | %9u\n", rx.prio_tagged, tx.prio_tagged);
    seq_printf(m, "Dropped         | %9u | %9u\n", rx.dropped, tx.dropped);
    vlan_show_vlans(m, vd);
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        if (!p || (p->kind == JXBRIDGE_PORT_PON_GEM && !p->gem_id))
            continue;
        vlan_show_port(m, p);
    }
    mutex_unlock(&jxbridge_lock);
    return 0;
}

// Entry points: the shared framing, with the engine's switch as the file's own.

static int vlan_engine_check(struct jxbridge *B) {
    return B->vlan ? 0 : -ENODEV;
}

static bool vlan_engine_debug(struct jxbridge *B) {
    return B->vlan && B->vlan->debug;
}

static const struct jxbridge_proc_ops vlan_ops = {
    .tag = "VLAN",
    .log = JXBRIDGE_PROC_LOG_PLAIN,
    .debug = vlan_engine_debug,
    .check = vlan_engine_check,
    .cmds = vlan_cmds,
    .n_cmds = ARRAY_SIZE(vlan_cmds),
    .iocs = vlan_iocs,
    .n_iocs = ARRAY_SIZE(vlan_iocs),
    .trace = "vlan_ioctl",
    .say = nullptr,
    .unknown = nullptr,
};

const struct file_operations jxbridge_vlan_fops = jxbridge_proc_file<vlan_show, &vlan_ops>::fops;
