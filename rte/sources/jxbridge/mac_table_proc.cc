// The MAC table's control files: "mac_table" (text commands, ioctls, the
// settings and port security report) and "mac_table_entries" (the unicast and
// multicast entries, one bucket per record).
#include "jxbridge.h"

#include "bridge_vlan.h"

static struct mac_table *mt_of(struct jxbridge *B) {
    return B->mac_table;
}

static int mt_check(struct jxbridge *B) {
    return B->mac_table ? 0 : -ENODEV;
}

static bool mt_debug(struct jxbridge *B) {
    return B->mac_table && B->mac_table->debug;
}

// ioctls.

static long mt_ioc_debug(struct jxbridge *B, unsigned int, unsigned long arg) {
    mac_table_set_debug(mt_of(B), (u32)arg);
    return 0;
}

static long mt_ioc_info(struct jxbridge *B, unsigned int, mt_info *r, unsigned long) {
    return mac_table_get_info(mt_of(B), r);
}

static long mt_ioc_aging_set(struct jxbridge *B, unsigned int, unsigned long arg) {
    return mac_table_set_aging(mt_of(B), (u32)arg);
}

static long mt_ioc_u32_get(struct jxbridge *B, unsigned int cmd, u32 *r, unsigned long) {
    struct mac_table *mt = mt_of(B);
    if (cmd == MT_IOCTL_AGING_GET)
        *r = mt->hold_time;
    else if (cmd == MT_IOCTL_MSG_GET)
        *r = mt->msg_callback ? 1 : 0;
    else
        *r = mt->port_security;
    return 0;
}

static long mt_ioc_plain(struct jxbridge *B, unsigned int cmd, unsigned long arg) {
    struct mac_table *mt = mt_of(B);
    switch (cmd) {
    case MT_IOCTL_CLEANUP:
        return mac_table_cleanup(mt);
    case MT_IOCTL_FLUSH:
        return mac_table_flush(mt);
    case MT_IOCTL_IGNORE_CLEAR:
        return mac_table_vlan_ignore_clear(mt);
    case MT_IOCTL_MSG_SET:
        return mac_table_mac_source_guard_set_callback(mt, arg ? mac_table_msg_action : nullptr);
    case MT_IOCTL_PS_GLOBAL_SET:
        return mac_table_port_security_set_global(mt, (u32)arg);
    }
    return -EINVAL;
}

static int rec_port(struct jxbridge *B, const char *field, struct jxbridge_port **p) {
    return jxbridge_proc_port_field(B, field, p);
}

// A static insert or a new dynamic one, in a configured VLAN.
static int mt_add(struct jxbridge *B, struct jxbridge_port *p, const u8 *mac, u16 vid,
                  u8 is_static) {
    struct mac_table *mt = mt_of(B);
    if (vid > 4094)
        return -ERANGE;
    if (!is_static && mac_table_lookup_entry(mt, MAC_TABLE_ENTRY_UNICAST, mac, vid))
        return -EEXIST;
    int rc = vlan_is_configured(B->vlan, vid);
    if (rc)
        return rc;
    return mac_table_ioctl_insert(mt, p, mac, vid, is_static, 0);
}

static long mt_ioc_mac(struct jxbridge *B, unsigned int cmd, mt_mac_request *r, unsigned long) {
    if (cmd == MT_IOCTL_MAC_DEL)
        return r->vid > 4094 ? -ERANGE : mac_table_delete_by_mac(mt_of(B), r->mac, r->vid);
    struct jxbridge_port *p;
    if (rec_port(B, r->name, &p))
        return -ENODEV;
    return mt_add(B, p, r->mac, r->vid, r->is_static);
}

static long mt_ioc_lookup(struct jxbridge *B, unsigned int, mt_lookup_request *r, unsigned long) {
    struct jxbridge_port *p = mac_table_lookup(mt_of(B), r->mac, r->vid);
    if (!p)
        return -ENOENT;
    strlcpy(r->name, p->dev->name, sizeof(r->name));
    return 0;
}

static long mt_ioc_port_name(struct jxbridge *B, unsigned int cmd, jxbridge_proc_name *r,
                             unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r->name, &p))
        return -ENODEV;
    if (cmd == MT_IOCTL_MOVE_TO_STATIC)
        return mac_table_ioctl_move_to_static(mt_of(B), p);
    return mac_table_delete_by_port(mt_of(B), p, MAC_TABLE_SECTION_UNICAST);
}

static long mt_ioc_port_vid_flush(struct jxbridge *B, unsigned int, mt_port_vid_request *r,
                                  unsigned long) {
    struct jxbridge_port *p = nullptr;
    if (r->vid > 4094)
        return -ERANGE;
    if (rec_port(B, r->name, &p)) // no such port: every port
        p = nullptr;
    return mac_table_delete_by_port_and_vid(mt_of(B), p, r->vid, MAC_TABLE_SECTION_BOTH);
}

static long mt_ioc_hash_entry(struct jxbridge *B, unsigned int, mt_hash_entry_request *r,
                              unsigned long) {
    return mac_table_get_hash_entry(mt_of(B), r);
}

static long mt_ioc_mac_vlans(struct jxbridge *B, unsigned int, mt_mac_vlans_request *r,
                             unsigned long) {
    // The record names the port by its number plus one: 0 names none.
    u32 n = r->port_no_plus_one;
    if (!n || !jxbridge_get_port_by_number(B, n - 1))
        return -ENODEV;
    memset(r->vlans, 0, sizeof(r->vlans));
    return mac_table_lookup_by_mac_port(mt_of(B), r->mac, n - 1, r->vlans);
}

static long mt_ioc_mcast_mac(struct jxbridge *B, unsigned int cmd, mt_mcast_mac_request *r,
                             unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r->name, &p))
        return -ENODEV;
    if (r->vid > 4094)
        return -ERANGE;
    if (cmd == MT_IOCTL_MCAST_MAC_ADD)
        return mac_table_mcast_add_mac(mt_of(B), r->mac, r->vid, p);
    return mac_table_mcast_del_mac(mt_of(B), r->mac, r->vid, p);
}

static long mt_ioc_mcast_ip(struct jxbridge *B, unsigned int cmd, mt_mcast_ip_request *r,
                            unsigned long arg) {
    struct jxbridge_port *p;
    if (rec_port(B, r->name, &p))
        return -ENODEV;
    if (r->vid > 4094)
        return -ERANGE;
    if (cmd == MT_IOCTL_MCAST_IP_DEL)
        return mac_table_mcast_del_ip(mt_of(B), r->group, r->vid, p);
    if (r->count > MT_MCAST_IP_SOURCES_MAX)
        return -EFBIG;
    u32 sources[MT_MCAST_IP_SOURCES_MAX];
    const char __user *from = (const char __user *)arg + sizeof(*r);
    if (r->count && jxbridge_copy_from_user(sources, from, r->count * sizeof(u32)))
        return -EINVAL;
    // The copy let the lock go: the port may have left meanwhile.
    if (rec_port(B, r->name, &p))
        return -ENODEV;
    for (u32 i = 0; i < r->count; i++)
        sources[i] = htonl(sources[i]);
    return mac_table_mcast_add_ip(mt_of(B), r->group, r->vid, p, r->mode, r->count, sources);
}

static long mt_ioc_mcast_entry(struct jxbridge *B, unsigned int, mt_mcast_entry_request *r,
                               unsigned long) {
    return mac_table_mcast_get_entry(mt_of(B), r);
}

// The header goes back with as many sources as were returned, never more
// than the caller made room for.
static long mt_ioc_mcast_ip_get(struct jxbridge *B, unsigned int, mt_mcast_ip_get_request *r,
                                unsigned long arg) {
    u32 sources[MT_MCAST_IP_SOURCES_MAX];
    bool with_sources = r->port_index != MT_PORT_ITSELF && r->size;
    if (r->size > MT_MCAST_IP_SOURCES_MAX) // no filter holds more
        r->size = MT_MCAST_IP_SOURCES_MAX;
    int rc = mac_table_mcast_get_ip(mt_of(B), r, with_sources ? sources : nullptr);
    if (rc)
        return rc;
    char __user *to = (char __user *)arg;
    if (jxbridge_copy_to_user(to, r, sizeof(*r)) ||
        (r->size && jxbridge_copy_to_user(to + sizeof(*r), sources, r->size * sizeof(u32))))
        return -EINVAL;
    return 0;
}

static long mt_ioc_port_value(struct jxbridge *B, unsigned int cmd, mt_port_value_request *r,
                              unsigned long) {
    struct mac_table *mt = mt_of(B);
    struct jxbridge_port *p;
    if (rec_port(B, r->name, &p))
        return -ENODEV;
    switch (cmd) {
    case MT_IOCTL_MSG_PORT_SET:
        return mac_table_mac_source_guard_set_port(mt, p, r->value);
    case MT_IOCTL_MSG_PORT_GET:
        return mac_table_mac_source_guard_get_port(mt, p, &r->value);
    case MT_IOCTL_PS_STATE_SET:
        return mac_table_port_security_set_state(mt, p, r->value);
    case MT_IOCTL_PS_STATE_GET:
        return mac_table_port_security_get_state(mt, p, &r->value);
    case MT_IOCTL_PS_VLAN_LIMIT_ADD:
        return mac_table_port_security_add_vlan_limit(mt, p, r->vid, r->value);
    case MT_IOCTL_PS_VLAN_LIMIT_DEL:
        return mac_table_port_security_del_vlan_limit(mt, p, r->vid);
    }
    return -EINVAL;
}

static long mt_ioc_limit(struct jxbridge *B, unsigned int cmd, mt_port_limit_request *r,
                         unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r->name, &p))
        return -ENODEV;
    if (cmd == MT_IOCTL_PS_LIMIT_SET)
        return mac_table_port_security_set_limit(mt_of(B), p, r->is_static, r->limit);
    return mac_table_port_security_get_limit(mt_of(B), p, r->is_static, &r->limit, &r->count);
}

// The tool walks the port slots and names each by its number: a name that is
// no port's is read as a slot number.
static long mt_ioc_ps_port(struct jxbridge *B, unsigned int, mt_port_security_request *r,
                           unsigned long) {
    struct jxbridge_port *p = nullptr;
    char name[JXBRIDGE_NAME_FIELD];
    memcpy(name, r->name, sizeof(name) - 1); // the field need not be terminated
    name[sizeof(name) - 1] = '\0';
    long long slot;
    if (jxbridge_get_port_by_name(B, name, &p) && isdigit((unsigned char)name[0]) &&
        !a2num(name, &slot) && slot >= 0 && slot < (long long)B->max_ports)
        p = jxbridge_get_port_by_number(B, (u32)slot);
    if (!p)
        return -ENODEV;
    struct mac_table_port *ps = mac_table_port_of(mt_of(B), p);
    if (!ps)
        return -ENODEV;
    r->port = *ps;
    return 0;
}

static long mt_ioc_violation(struct jxbridge *B, unsigned int, mt_violation_request *r,
                             unsigned long) {
    struct jxbridge_port *p;
    if (rec_port(B, r->name, &p))
        return -ENODEV;
    u8 v[8];
    int rc = mac_table_port_security_get_violation(mt_of(B), p, v);
    if (rc)
        return rc;
    memcpy(r->mac, v, 6);
    memcpy(&r->vid, v + 6, 2);
    return 0;
}

static long mt_ioc_ignore(struct jxbridge *B, unsigned int cmd, mt_vlan_value_request *r,
                          unsigned long) {
    if (cmd == MT_IOCTL_IGNORE_SET)
        return mac_table_vlan_ignore_set(mt_of(B), r->vid, r->value);
    return mac_table_vlan_ignore_get(mt_of(B), r->vid, &r->value);
}

// A failed copy either way is -22 in this file.
#define IN JXBRIDGE_IOC_IN_EINVAL
#define OUT JXBRIDGE_IOC_OUT_EINVAL
static const struct jxbridge_proc_ioc mt_iocs[] = {
    JXBRIDGE_IOC_VALUE(MT_IOCTL_DEBUG_SET, mt_ioc_debug),
    JXBRIDGE_IOC(MT_IOCTL_INFO_GET, mt_info, OUT, mt_ioc_info),
    JXBRIDGE_IOC_VALUE(MT_IOCTL_AGING_SET, mt_ioc_aging_set),
    JXBRIDGE_IOC(MT_IOCTL_AGING_GET, u32, OUT, mt_ioc_u32_get),
    JXBRIDGE_IOC_VALUE(MT_IOCTL_CLEANUP, mt_ioc_plain),
    JXBRIDGE_IOC_VALUE(MT_IOCTL_FLUSH, mt_ioc_plain),
    JXBRIDGE_IOC(MT_IOCTL_MAC_ADD, mt_mac_request, IN, mt_ioc_mac),
    JXBRIDGE_IOC(MT_IOCTL_LOOKUP, mt_lookup_request, IN | OUT, mt_ioc_lookup),
    JXBRIDGE_IOC(MT_IOCTL_MAC_DEL, mt_mac_request, IN, mt_ioc_mac),
    JXBRIDGE_IOC(MT_IOCTL_PORT_FLUSH, jxbridge_proc_name, JXBRIDGE_IOC_NAME, mt_ioc_port_name),
    JXBRIDGE_IOC(MT_IOCTL_PORT_VID_FLUSH, mt_port_vid_request, IN, mt_ioc_port_vid_flush),
    JXBRIDGE_IOC(MT_IOCTL_HASH_ENTRY_GET, mt_hash_entry_request, IN | OUT, mt_ioc_hash_entry),
    JXBRIDGE_IOC(MT_IOCTL_MOVE_TO_STATIC, jxbridge_proc_name, JXBRIDGE_IOC_NAME, mt_ioc_port_name),
    JXBRIDGE_IOC(MT_IOCTL_MAC_VLANS_GET, mt_mac_vlans_request, IN | OUT, mt_ioc_mac_vlans),
    JXBRIDGE_IOC(MT_IOCTL_MCAST_MAC_ADD, mt_mcast_mac_request, IN, mt_ioc_mcast_mac),
    JXBRIDGE_IOC(MT_IOCTL_MCAST_MAC_DEL, mt_mcast_mac_request, IN, mt_ioc_mcast_mac),
    JXBRIDGE_IOC(MT_IOCTL_MCAST_IP_SET, mt_mcast_ip_request, IN, mt_ioc_mcast_ip),
    JXBRIDGE_IOC(MT_IOCTL_MCAST_IP_DEL, mt_mcast_ip_request, IN, mt_ioc_mcast_ip),
    JXBRIDGE_IOC(MT_IOCTL_MCAST_ENTRY_GET, mt_mcast_entry_request, IN | OUT, mt_ioc_mcast_entry),
    JXBRIDGE_IOC(MT_IOCTL_MCAST_IP_GET, mt_mcast_ip_get_request, IN, mt_ioc_mcast_ip_get),
    JXBRIDGE_IOC_VALUE(MT_IOCTL_MSG_SET, mt_ioc_plain),
    JXBRIDGE_IOC(MT_IOCTL_MSG_GET, u32, OUT, mt_ioc_u32_get),
    JXBRIDGE_IOC(MT_IOCTL_MSG_PORT_SET, mt_port_value_request, IN, mt_ioc_port_value),
    JXBRIDGE_IOC(MT_IOCTL_MSG_PORT_GET, mt_port_value_request, IN | OUT, mt_ioc_port_value),
    JXBRIDGE_IOC_VALUE(MT_IOCTL_PS_GLOBAL_SET, mt_ioc_plain),
    JXBRIDGE_IOC(MT_IOCTL_PS_GLOBAL_GET, u32, OUT, mt_ioc_u32_get),
    JXBRIDGE_IOC(MT_IOCTL_PS_STATE_SET, mt_port_value_request, IN, mt_ioc_port_value),
    JXBRIDGE_IOC(MT_IOCTL_PS_STATE_GET, mt_port_value_request, IN | OUT, mt_ioc_port_value),
    JXBRIDGE_IOC(MT_IOCTL_PS_LIMIT_SET, mt_port_limit_request, IN, mt_ioc_limit),
    JXBRIDGE_IOC(MT_IOCTL_PS_LIMIT_GET, mt_port_limit_request, IN | OUT, mt_ioc_limit),
    JXBRIDGE_IOC(MT_IOCTL_PS_VLAN_LIMIT_ADD, mt_port_value_request, IN, mt_ioc_port_value),
    JXBRIDGE_IOC(MT_IOCTL_PS_VLAN_LIMIT_DEL, mt_port_value_request, IN, mt_ioc_port_value),
    JXBRIDGE_IOC(MT_IOCTL_PS_PORT_GET, mt_port_security_request, IN | OUT, mt_ioc_ps_port),
    JXBRIDGE_IOC(MT_IOCTL_PS_VIOLATION_GET, mt_violation_request, IN | OUT, mt_ioc_violation),
    JXBRIDGE_IOC_VALUE(MT_IOCTL_IGNORE_CLEAR, mt_ioc_plain),
    JXBRIDGE_IOC(MT_IOCTL_IGNORE_SET, mt_vlan_value_request, IN, mt_ioc_ignore),
    JXBRIDGE_IOC(MT_IOCTL_IGNORE_GET, mt_vlan_value_request, IN | OUT, mt_ioc_ignore),
};
#undef IN
#undef OUT

// Text commands. A missing word is -525.

static int word_num(const char *w, long long *v) {
    if (!w)
        return -ENOARG;
    return a2num(w, v) ? -EINVAL : 0;
}

static int word_vid(const char *w, u16 *vid) {
    u32 v;
    if (!w)
        return -ENOARG;
    if (a2tag(w, nullptr, &v) || v > 4094)
        return -EINVAL;
    *vid = (u16)v;
    return 0;
}

static int word_mac(const char *w, u8 *mac) {
    if (!w)
        return -ENOARG;
    return parse_mac(w, mac) ? -EINVAL : 0;
}

static int cmd_debug(struct jxbridge *B, char **w) {
    long long v;
    int rc = word_num(w[1], &v);
    return rc ? rc : mac_table_set_debug(mt_of(B), (u32)v);
}

static int cmd_aging(struct jxbridge *B, char **w) {
    long long v;
    int rc = word_num(w[1], &v);
    if (rc)
        return rc;
    if (v < 0 || v > 0xFFFFFFFFll)
        return -ERANGE;
    return mac_table_set_aging(mt_of(B), (u32)v);
}

// "static" or "dynamic": 1, 0, or -22.
static int word_kind(const char *w) {
    if (!w)
        return -ENOARG;
    if (!strcasecmp(w, "static"))
        return 1;
    return strcasecmp(w, "dynamic") ? -EINVAL : 0;
}

static int cmd_mac_limit(struct jxbridge *B, char **w) {
    struct mac_table *mt = mt_of(B);
    const char *op = w[2];
    struct jxbridge_port *p;
    if (!op || !w[3] || jxbridge_proc_port(B, w[3], &p))
        return -ENOARG;
    if (!strcasecmp(op, "add") || !strcasecmp(op, "del")) {
        u16 vid;
        int rc = word_vid(w[4], &vid);
        if (rc)
            return rc;
        bool add = !strcasecmp(op, "add");
        long long limit = 0;
        if (add && (rc = word_num(w[5], &limit)))
            return rc;
        rc = add ? mac_table_port_security_add_vlan_limit(mt, p, vid, (u32)limit)
                 : mac_table_port_security_del_vlan_limit(mt, p, vid);
        if (rc)
            printk(KERN_INFO "%s", add ? "Unable to add/change port VLAN limit.\n"
                                       : "Unable to delete port VLAN limit.\n");
        else
            printk(KERN_INFO "%s VLAN %d limit %s.\n", p->dev->name, (int)vid,
                   add ? "set" : "deleted");
        return rc;
    }
    int kind = word_kind(w[4]);
    if (kind < 0)
        return kind;
    if (!strcasecmp(op, "enable") || !strcasecmp(op, "disable"))
        return mac_table_port_security_set_global(mt, !strcasecmp(op, "enable"));
    if (!strcasecmp(op, "set")) {
        long long limit;
        int rc = word_num(w[5], &limit);
        if (rc)
            return rc;
        if (limit < 0 || limit > 0xFFFFFFFFll)
            return -ERANGE;
        return mac_table_port_security_set_limit(mt, p, (u32)kind, (u32)limit);
    }
    if (!strcasecmp(op, "get")) {
        u32 limit, count;
        int rc = mac_table_port_security_get_limit(mt, p, (u32)kind, &limit, &count);
        if (rc) {
            printk(KERN_INFO "Unable to get port limits.\n");
            return rc;
        }
        printk(KERN_INFO "%s %s limit: %u/%u (%u%%).\n", p->dev->name, kind ? "static" : "dynamic",
               count, limit, limit ? (u32)((u64)count * 100 / limit) : 0);
        return 0;
    }
    return -EINVAL;
}

static int cmd_mac(struct jxbridge *B, char **w) {
    struct mac_table *mt = mt_of(B);
    const char *op = w[1];
    if (!op)
        return -ENOARG;
    if (!strcasecmp(op, "limit"))
        return cmd_mac_limit(B, w);
    u8 mac[ETH_ALEN];
    u16 vid;
    struct jxbridge_port *p, *to;
    if (!strcasecmp(op, "add")) {
        if (!w[2] || !w[3] || !w[4])
            return -ENOARG;
        if (word_vid(w[2], &vid) || word_mac(w[3], mac) || jxbridge_proc_port(B, w[4], &p))
            return -EINVAL;
        return mt_add(B, p, mac, vid, w[5] && !strcasecmp(w[5], "static"));
    }
    if (!strcasecmp(op, "learn")) {
        if (!w[2] || !w[3] || !w[4])
            return -ENOARG;
        if (jxbridge_proc_port(B, w[2], &p) || word_vid(w[3], &vid) || word_mac(w[4], mac))
            return -EINVAL;
        if (mac_table_lookup_entry(mt, MAC_TABLE_ENTRY_UNICAST, mac, vid))
            return -EEXIST;
        int rc = vlan_is_configured(B->vlan, vid);
        return rc ? rc : mac_table_learn(mt, p, mac, vid);
    }
    if (!strcasecmp(op, "del")) {
        if (!w[2] || !w[3])
            return -ENOARG;
        if (word_vid(w[2], &vid) || word_mac(w[3], mac))
            return -EINVAL;
        return mac_table_delete_by_mac(mt, mac, vid);
    }
    if (!strcasecmp(op, "migrate")) {
        if (!w[2] || !w[3])
            return -ENOARG;
        if (jxbridge_proc_port(B, w[2], &p) || jxbridge_proc_port(B, w[3], &to))
            return -EINVAL;
        return mac_table_migrate_port_to_port(mt, p, to, MAC_TABLE_SECTION_UNICAST);
    }
    return -EINVAL;
}

static int cmd_cleanup(struct jxbridge *B, char **) {
    return mac_table_cleanup(mt_of(B));
}

static int cmd_flush(struct jxbridge *B, char **) {
    return mac_table_flush(mt_of(B));
}

static int cmd_mcast(struct jxbridge *B, char **w) {
    const char *op = w[1];
    if (!op)
        return -ENOARG;
    if (!strcasecmp(op, "stats")) {
        mac_table_mcast_group_stats(mt_of(B));
        return 0;
    }
    bool add = !strcasecmp(op, "add");
    if (!add && strcasecmp(op, "del"))
        return -EINVAL;
    if (!w[2] || !w[3] || !w[4])
        return -ENOARG;
    u16 vid;
    u8 mac[ETH_ALEN];
    struct jxbridge_port *p;
    int rc = word_vid(w[2], &vid);
    if (!rc)
        rc = word_mac(w[3], mac);
    if (!rc)
        rc = jxbridge_proc_port(B, w[4], &p);
    if (rc)
        return rc;
    return add ? mac_table_mcast_add_mac(mt_of(B), mac, vid, p)
               : mac_table_mcast_del_mac(mt_of(B), mac, vid, p);
}

static int cmd_msg(struct jxbridge *B, char **w) {
    struct mac_table *mt = mt_of(B);
    long long v;
    if (w[1] && !strcasecmp(w[1], "port")) {
        struct jxbridge_port *p;
        if (!w[2] || !w[3])
            return -ENOARG;
        int rc = jxbridge_proc_port(B, w[2], &p);
        if (!rc)
            rc = word_num(w[3], &v);
        return rc ? rc : mac_table_mac_source_guard_set_port(mt, p, v != 0);
    }
    int rc = word_num(w[1], &v);
    return rc ? rc
              : mac_table_mac_source_guard_set_callback(mt, v ? mac_table_msg_action : nullptr);
}

static int cmd_test(struct jxbridge *B, char **) {
    return mac_table_port_security_test(mt_of(B), "mac_table_port_security_test");
}

static int cmd_ignore(struct jxbridge *B, char **w) {
    if (!w[1])
        return -ENOARG;
    if (!strcasecmp(w[1], "clear"))
        return mac_table_vlan_ignore_clear(mt_of(B));
    if (strcasecmp(w[1], "set"))
        return -EINVAL;
    u32 vid;
    long long on;
    if (!w[2] || !w[3])
        return -ENOARG;
    if (a2tag(w[2], nullptr, &vid) || a2num(w[3], &on))
        return -EINVAL;
    return mac_table_vlan_ignore_set(mt_of(B), vid > 0xFFFF ? 0xFFFF : (u16)vid, on != 0);
}

static int cmd_info(struct jxbridge *B, char **) {
    struct mac_table *mt = mt_of(B);
    printk(KERN_INFO "Debug:            %u\n", mt->debug);
    printk(KERN_INFO "Size:             %u\n", mt->count);
    printk(KERN_INFO "Max size:         %u\n", mt->max_size);
    printk(KERN_INFO "Hash size:        %u\n", mt->mac_hash);
    printk(KERN_INFO "Mcast hash size:  %u\n", mt->mcast_hash);
    printk(KERN_INFO "Hold time:        %u\n", mt->hold_time);
    printk(KERN_INFO "MAC source guard: %s\n", mt->msg_callback ? "On" : "Off");
    printk(KERN_INFO "\n");
    return 0;
}

static int cmd_fill(struct jxbridge *B, char **) {
    return mac_table_fill(mt_of(B));
}

static const struct jxbridge_proc_cmd mt_cmds[] = {
    {"help", nullptr, "\thelp\n", 0},
    {"debug", cmd_debug, "\tdebug <mode>\n", 0},
    {"aging_set", cmd_aging, "\taging_set <age>\n", 0},
    {"mac", cmd_mac,
     "\tmac add <vid> <mac> <port> [static]\n\tmac learn <port> <vid> <mac>\n\tmac del <vid> "
     "<mac>\n\tmac migrate <from_port> <to_port>\n\tmac limit enable\n\tmac limit disable\n\tmac "
     "limit get <port> <static|dynamic>\n\tmac limit set <port> <static|dynamic> <limit>\n\tmac "
     "limit get <port> <static|dynamic>\n\tmac limit add <port> <vlan> <limit>\n\tmac limit del "
     "<port> <vlan>\n",
     0},
    {"cleanup", cmd_cleanup, "\tcleanup\n", 0},
    {"flush", cmd_flush, "\tflush\n", 0},
    {"mcast", cmd_mcast,
     "\tmcast add <vid> <mac> <port>\n\tmcast del <vid> <mac> <port>\n\tmcast stats\n", 0},
    {"msg", cmd_msg, "\tmsg 0|1\n\tmsg port <port> 0|1\n", 0},
    {"test", cmd_test, "\ttest\n", 0},
    {"ignore", cmd_ignore, "\tignore clear\n\tignore set <vid> <state>\n", 0},
    {"info", cmd_info, "\tinfo\n", 0},
    {"fill", cmd_fill, "\tfill\n", 0},
};

static const struct jxbridge_proc_ops mt_ops = {
    .tag = "MAC Table",
    .log = JXBRIDGE_PROC_LOG_PLAIN,
    .debug = mt_debug,
    .check = mt_check,
    .cmds = mt_cmds,
    .n_cmds = ARRAY_SIZE(mt_cmds),
    .iocs = mt_iocs,
    .n_iocs = ARRAY_SIZE(mt_iocs),
    .trace = nullptr,
    .say = nullptr,
    .unknown = nullptr,
};

// The report of "mac_table".

static void mt_show_ports(struct seq_file *m, struct jxbridge *B, struct mac_table *mt) {
    seq_puts(m,
             "\n----------------------+-------+-------------------------+--------------------"
             "-----+---------------\n                      | Port  |       S t a t i c       |"
             "      D y n a m i c      | MAC Source\n         Port         | Sec.  |   Count    "
             "|   Limit    |   Count    |   Limit    |   Guard\n----------------------+-------+--"
             "----------+------------+------------+------------+---------------\n");
    for (u32 i = 0; i < B->max_ports && i < mt->num_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        if (!p)
            continue;
        const struct mac_table_port *ps = &mt->ports[i];
        seq_printf(m, "%21s | %5s | %10u | %10u | %10u | %10u |\t%u\n", p->dev->name,
                   ps->state ? "on" : "off", ps->static_count, ps->static_limit, ps->dynamic_count,
                   ps->dynamic_limit, ps->msg);
        for (const auto &l : ps->vlan_limits)
            if (l.vid != MAC_TABLE_NO_VID)
                seq_printf(m, "%21s | %5s | %10s | %10s | %10u | %10u | VID=%d (0x%04x)\n", "", "",
                           "", "", l.count, l.limit, (int)l.vid, (unsigned)l.vid);
    }
}

static int mt_show(struct seq_file *m, void *) {
    struct jxbridge *B = (struct jxbridge *)m->private_data;
    mutex_lock(&jxbridge_lock);
    struct mac_table *mt = B->mac_table;
    if (!mt) {
        mutex_unlock(&jxbridge_lock);
        return 0;
    }
    seq_printf(m, "Debug:            %u\n", mt->debug);
    seq_printf(m, "Size:             %u\n", mt->count);
    seq_printf(m, "Max size:         %u\n", mt->max_size);
    seq_printf(m, "Hash size:        %u\n", mt->mac_hash);
    seq_printf(m, "Mcast hash size:  %u\n", mt->mcast_hash);
    seq_printf(m, "Hold time:        %u\n", mt->hold_time);
    seq_printf(m, "MAC source guard: %p\n", (void *)mt->msg_callback);
    seq_puts(m, "Ignored VLANs:  ");
    int shown = 0;
    for (int v = 0; v <= 4094; v++) {
        if (!(mt->vlan_ignore[v >> 5] & (1u << (v & 31))))
            continue;
        seq_printf(m, "%s%d", shown && shown % 10 == 0 ? "\n                  " : " ", v);
        shown++;
    }
    seq_puts(m, "\n");
    seq_printf(m, "Port security:    %d\n", (int)mt->port_security);
    mt_show_ports(m, B, mt);
    mutex_unlock(&jxbridge_lock);
    return 0;
}

const struct file_operations mac_table_fops = jxbridge_proc_file<mt_show, &mt_ops>::fops;

// "mac_table_entries": one record per bucket, unicast then multicast.

static void *mte_start(struct seq_file *m, loff_t *pos) {
    struct jxbridge *B = jxbridge_proc_bridge(m->file);
    mutex_lock(&jxbridge_lock);
    struct mac_table *mt = B ? B->mac_table : nullptr;
    bool in = mt && *pos >= 0 && *pos < (loff_t)(mt->mac_hash + mt->mcast_hash);
    mutex_unlock(&jxbridge_lock);
    return in ? (void *)(uintptr_t)(*pos + 1) : nullptr;
}

static void *mte_next(struct seq_file *m, void *, loff_t *pos) {
    ++*pos;
    return mte_start(m, pos);
}

static void mte_stop(struct seq_file *, void *) {}

static void mte_show_unicast(struct seq_file *m, struct mac_table *mt, u32 b) {
    if (b == 0)
        seq_printf(
            m,
            "M A C   f o r w a r d i n g\n%.52s\nMAC                 VID   Age (s) Port\n%.52s\n",
            "----------------------------------------------------",
            "----------------------------------------------------");
    s64 now = ktime_get_real_seconds();
    for (struct mac_table_node *n = mt->hash[b]; n; n = n->next) {
        auto *e = container_of(n, struct mac_table_entry, node);
        if (e->is_static)
            seq_printf(m, MAC_FMT " %5d    static %s\n", MAC_ARGS(e->mac), (int)e->vid,
                       e->port->dev->name);
        else if (now - e->timestamp <= (s64)mt->hold_time)
            seq_printf(m, MAC_FMT " %5d %9lu %s\n", MAC_ARGS(e->mac), (int)e->vid,
                       (unsigned long)(now > e->timestamp ? now - e->timestamp : 0),
                       e->port->dev->name);
    }
}

static void mte_show_multicast(struct seq_file *m, struct mac_table *mt, u32 b) {
    static const char rule[] = "-----------------------------------------------------------------"
                               "------------------------";
    if (b == mt->mac_hash)
        seq_printf(m,
                   "\nM u l t i c a s t   f o r w a r d i n g\n%.89s\nMAC                 VID  "
                   "  Ports/Groups\n%.89s\n",
                   rule, rule);
    mt_mcast_entry_request r = {};
    r.bucket = b - mt->mac_hash;
    for (r.position = 0;; r.position++) {
        r.port_index = MT_PORT_ITSELF;
        if (mac_table_mcast_get_entry(mt, &r))
            break;
        seq_printf(m, MAC_FMT " %5d ", MAC_ARGS(r.mac), (int)r.vid);
        int line = 0;
        for (r.port_index = 0; !mac_table_mcast_get_entry(mt, &r); r.port_index++) {
            int len = (int)strlen(r.name);
            if (r.port_index == 0) {
                seq_printf(m, "%s", r.name);
                line = len;
            } else if (line + 2 + len > 42) {
                seq_printf(m, ",\n%27s%s", "", r.name);
                line = len;
            } else {
                seq_printf(m, ", %s", r.name);
                line += 2 + len;
            }
        }
        if (r.port_index)
            seq_puts(m, "\n");
        mt_mcast_ip_get_request g = {};
        g.bucket = r.bucket;
        g.entry = r.position;
        for (g.group_position = 0;; g.group_position++) {
            g.port_index = MT_PORT_ITSELF;
            if (mac_table_mcast_get_ip(mt, &g, nullptr))
                break;
            u32 ip = g.group;
            u32 packets = mac_table_mcast_group_packets(mt, &g);
            seq_printf(m, "%27s%u.%u.%u.%u (%u)\n", "", ip >> 24, (ip >> 16) & 0xff,
                       (ip >> 8) & 0xff, ip & 0xff, packets);
            for (g.port_index = 0; !mac_table_mcast_get_ip(mt, &g, nullptr); g.port_index++)
                seq_printf(m, g.port_index ? ",\n%27s%s" : "%31s%s", "", g.name);
            if (g.port_index)
                seq_puts(m, "\n");
        }
        seq_puts(m, "\n");
    }
}

static int mte_show(struct seq_file *m, void *v) {
    u32 b = (u32)((uintptr_t)v - 1);
    struct jxbridge *B = jxbridge_proc_bridge(m->file);
    mutex_lock(&jxbridge_lock);
    struct mac_table *mt = B ? B->mac_table : nullptr;
    if (mt && b < mt->mac_hash)
        mte_show_unicast(m, mt, b);
    else if (mt && b < mt->mac_hash + mt->mcast_hash)
        mte_show_multicast(m, mt, b);
    mutex_unlock(&jxbridge_lock);
    return 0;
}

static const struct seq_operations mte_seq_ops = {
    .start = mte_start,
    .stop = mte_stop,
    .next = mte_next,
    .show = mte_show,
};

static int mte_open(struct inode *, struct file *file) {
    return seq_open(file, &mte_seq_ops);
}

// Writes are read and ignored.
static ssize_t mte_write(struct file *, const char __user *buf, size_t count, loff_t *) {
    char line[JXBRIDGE_LINE_MAX];
    return line_read(buf, count, line, sizeof(line));
}

const struct file_operations mac_table_entries_fops = {
    .open = mte_open,
    .read = seq_read,
    .write = mte_write,
    .llseek = seq_lseek,
    .release = seq_release,
};
