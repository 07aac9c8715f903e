// The openolt file: the agent's text commands and ioctls, and its read-out.
#include "bridge_oo.h"

#include "bridge_acl.h"
#include "jx_qos.h"

namespace {

int say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vprintk(fmt, ap);
    va_end(ap);
    return n;
}

int missing() {
    say("Missing parameter.\n");
    return -ENOARG;
}

// A number word into a u32: -525 missing, -22 not a number of 32 bits.
int num(const char *word, u32 *out) {
    int rc = word_u32(word, out);
    return rc == -ENOARG ? missing() : rc;
}

// The same into a field of the packed flow record.
using flow_field = u32 oo_flow_record::*;
int num_to(const char *word, struct oo_flow_record *r, flow_field f) {
    u32 v = 0;
    int rc = num(word, &v);
    if (!rc)
        r->*f = v;
    return rc;
}

int ipv4_to(const char *word, struct oo_flow_record *r, flow_field f) {
    u32 v = 0;
    int rc = parse_ipv4(word, &v);
    if (!rc)
        r->*f = v;
    return rc;
}

u32 a2type(const char *word) {
    for (u32 t = 0; t < OO_FLOW_TYPES; t++)
        if (!strcasecmp(word, oo_flow_type_names[t]))
            return t;
    return OO_FLOW_TYPES; // refused by oo_flow_add
}

int cmd_config(struct jxbridge *B, char **w) {
    if (!w[1] || !w[2])
        return missing();
    int on = a2bool(w[2]);
    if (strcasecmp(w[1], "trace") || on < 0)
        return -EINVAL;
    B->oo->trace = (u32)on;
    return 0;
}

// Field setters of the flow parser: each takes the key's value word.
struct flow_key {
    const char *word;
    u32 oo_flow_record::*field;
};
const flow_key general_keys[] = {
    {"uni", &oo_flow_record::uni_id},     {"port", &oo_flow_record::port_no},
    {"alloc", &oo_flow_record::alloc_id}, {"network", &oo_flow_record::network_intf_id},
    {"gem", &oo_flow_record::gemport_id}, {"prio", &oo_flow_record::priority},
    {"grp", &oo_flow_record::group_id},
};
const flow_key class_keys[] = {
    {"ovid", &oo_flow_record::o_vid},       {"ivid", &oo_flow_record::i_vid},
    {"otpid", &oo_flow_record::o_tpid},     {"itpid", &oo_flow_record::i_tpid},
    {"opbits", &oo_flow_record::o_pbits},   {"ipbits", &oo_flow_record::i_pbits},
    {"ethtype", &oo_flow_record::eth_type}, {"ipproto", &oo_flow_record::ip_proto},
    {"sport", &oo_flow_record::src_port},   {"dport", &oo_flow_record::dst_port},
};
// The action words in the order of the record's flags.
const char *const action_words[OO_ACT_FLAGS] = {
    "add-outer",          "remove-outer",        "trap-to-host",
    "remark-outer-pbits", "remark-inner-pbits",  "add-inner-tag",
    "remove-inner-tag",   "translate-inner-tag", "translate-outer-tag",
};

const flow_key *key_find(const flow_key *keys, size_t n, const char *word) {
    for (size_t i = 0; i < n; i++)
        if (!strcasecmp(keys[i].word, word))
            return &keys[i];
    return nullptr;
}

int parse_mac_word(const char *word, u8 *mac) {
    unsigned v[6];
    char end;
    if (sscanf(word, "%x:%x:%x:%x:%x:%x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &end) != 6)
        return -EINVAL;
    for (int i = 0; i < 6; i++) {
        if (v[i] > 0xFF)
            return -EINVAL;
        mac[i] = (u8)v[i];
    }
    return 0;
}

int class_key(struct oo_flow_record *r, const char *key, const char *v) {
    if (const flow_key *k = key_find(class_keys, ARRAY_SIZE(class_keys), key))
        return num_to(v, r, k->field);
    if (!strcasecmp(key, "tag-type")) {
        static const char *const types[] = {"untagged", "single", "double"};
        for (u32 i = 0; i < ARRAY_SIZE(types); i++)
            if (!strcasecmp(v, types[i])) {
                r->pkt_tag_type = i + 1;
                return 0;
            }
        return -EINVAL;
    }
    if (!strcasecmp(key, "smac"))
        return parse_mac_word(v, r->src_mac);
    if (!strcasecmp(key, "dmac"))
        return parse_mac_word(v, r->dst_mac);
    if (!strcasecmp(key, "sip"))
        return ipv4_to(v, r, &oo_flow_record::src_ip);
    if (!strcasecmp(key, "dip"))
        return ipv4_to(v, r, &oo_flow_record::dst_ip);
    return -EINVAL;
}

int action_key(struct oo_flow_record *r, const char *key, const char *v) {
    for (u32 i = 0; i < OO_ACT_FLAGS; i++) {
        if (strcasecmp(key, action_words[i]))
            continue;
        r->act[i] = 1;
        if (i != OO_ACT_ADD_OUTER)
            return 0; // the value is read and not used
        char *end = nullptr;
        errno = 0;
        unsigned long tag = strtoul(v, &end, 16);
        if (errno || !*v || *end || tag > 0xFFFF)
            return -EINVAL;
        r->a_o_vid = (u32)(tag & 0xFFF);
        r->a_o_pbits = (u32)(tag >> 13 & 7);
        return 0;
    }
    return -EINVAL;
}

// flow add <type> <id> <access_intf> <onu> [<key> <value>]... [class <key>
// <value>...] [action <word> <value>...]
int parse_flow(char **w, struct oo_flow_record *r) {
    memset(r, 0, sizeof(*r));
    if (!w[0] || !w[1] || !w[2] || !w[3])
        return missing();
    r->flow_type = a2type(w[0]);
    int rc;
    if ((rc = num_to(w[1], r, &oo_flow_record::flow_id)) ||
        (rc = num_to(w[2], r, &oo_flow_record::access_intf_id)) ||
        (rc = num_to(w[3], r, &oo_flow_record::onu_id)))
        return rc;
    enum { GENERAL, CLASS, ACTION } part = GENERAL;
    for (char **k = w + 4; *k; k += 2) {
        if (!strcasecmp(*k, "class") || !strcasecmp(*k, "action")) {
            part = !strcasecmp(*k, "class") ? CLASS : ACTION;
            k--; // the section word has no value
            continue;
        }
        const char *v = k[1];
        if (!v)
            return missing();
        if (part == GENERAL) {
            if (const flow_key *g = key_find(general_keys, ARRAY_SIZE(general_keys), *k))
                rc = num_to(v, r, g->field);
            else if (!strcasecmp(*k, "cookie")) {
                char *end = nullptr;
                errno = 0;
                r->cookie = strtoull(v, &end, 10);
                rc = errno || !*v || *end || *v == '-' ? -EINVAL : 0;
            } else
                rc = -EINVAL;
        } else {
            rc = part == CLASS ? class_key(r, *k, v) : action_key(r, *k, v);
        }
        if (rc)
            return rc;
    }
    return 0;
}

int cmd_flow(struct jxbridge *B, char **w) {
    if (!w[1])
        return missing();
    if (!strcasecmp(w[1], "add")) {
        struct oo_flow_record r;
        int rc = parse_flow(w + 2, &r);
        return rc ? rc : oo_flow_add(B, &r);
    }
    if (!strcasecmp(w[1], "del")) {
        if (!w[2] || !w[3])
            return missing();
        u32 id;
        int rc = num(w[3], &id);
        return rc ? rc : oo_flow_del(B, a2type(w[2]), id);
    }
    return -EINVAL;
}

void group_say(struct oo_data *oo) {
    for (struct oo_group *g = oo->groups; g; g = g->next) {
        say("Group %u:", g->id);
        for (u32 i = 0; i < OO_MCAST_MEMBERS; i++)
            if (g->g.gem[i])
                say(" %u:%u", i, g->g.gem[i]);
        say("\n");
    }
}

// mcast-group add <id> <intf>:<gem> ...
int cmd_mcast_group(struct jxbridge *B, char **w) {
    if (!w[1])
        return missing();
    if (!strcasecmp(w[1], "show")) {
        group_say(B->oo);
        return 0;
    }
    u32 id;
    int rc;
    if (!strcasecmp(w[1], "del"))
        return (rc = num(w[2], &id)) ? rc : oo_mcast_group_del(B, id);
    if (strcasecmp(w[1], "add"))
        return -EINVAL;
    if ((rc = num(w[2], &id)))
        return rc;
    u32 intf[OO_MCAST_MEMBERS], gem[OO_MCAST_MEMBERS], n = 0;
    for (char **m = w + 3; *m; m++) {
        char end;
        if (n == OO_MCAST_MEMBERS || sscanf(*m, "%u:%u%c", &intf[n], &gem[n], &end) != 2)
            return -EINVAL;
        n++;
    }
    if (!n)
        return missing();
    return oo_mcast_group_add_modify(B, id, intf, gem, n);
}

void port_stat_say(const char *name, const struct oo_port_stat_record *s) {
    say("%4s RX %llu/%llu uc=%llu mc=%llu bc=%llu err=%llu crc=%llu\n     TX %llu/%llu uc=%llu "
        "mc=%llu bc=%llu err=%llu bip=%llu\n",
        name, (unsigned long long)s->rx_packets, (unsigned long long)s->rx_bytes,
        (unsigned long long)s->rx_ucast, (unsigned long long)s->rx_mcast,
        (unsigned long long)s->rx_bcast, (unsigned long long)s->rx_error,
        (unsigned long long)s->rx_crc_errors, (unsigned long long)s->tx_packets,
        (unsigned long long)s->tx_bytes, (unsigned long long)s->tx_ucast,
        (unsigned long long)s->tx_mcast, (unsigned long long)s->tx_bcast,
        (unsigned long long)s->tx_error, (unsigned long long)s->bip_errors);
}

// An interface word: "pon<n>" or "nni<n>".
int a2intf(const char *word, struct oo_port_stat_record *r) {
    unsigned n;
    char end;
    memset(r, 0, sizeof(*r));
    if (sscanf(word, "pon%u%c", &n, &end) == 1)
        r->intf_type = 0;
    else if (sscanf(word, "nni%u%c", &n, &end) == 1)
        r->intf_type = 1;
    else
        return -EINVAL;
    r->intf_id = n;
    return 0;
}

int cmd_stat(struct jxbridge *B, char **w) {
    struct oo_data *oo = B->oo;
    if (!w[1])
        return missing();
    int rc;
    if (!strcasecmp(w[1], "flow")) {
        u32 id;
        if (!w[2] || !w[3])
            return missing();
        if ((rc = num(w[3], &id)))
            return rc;
        u32 type = a2type(w[2]);
        if (!oo_flow_find(oo, type, id))
            return -ENOENT;
        char name[RULE_NAME_FIELD];
        oo_flow_name(name, sizeof(name), type, id);
        u64 packets, bytes;
        if ((rc = acl_counter_get_value(B->acl, name, &packets, &bytes)))
            return rc;
        say("%s: %llu packets, %llu bytes\n", name, (unsigned long long)packets,
            (unsigned long long)bytes);
        return 0;
    }
    if (!strcasecmp(w[1], "port")) {
        struct oo_port_stat_record s;
        if (!w[2])
            return missing();
        if ((rc = a2intf(w[2], &s)) || (rc = oo_port_stat_get(B, &s)))
            return rc;
        port_stat_say(w[2], &s);
        return 0;
    }
    bool off = w[2] && !strcasecmp(w[2], "off");
    if (w[2] && !off)
        return -EINVAL;
    if (!strcasecmp(w[1], "show"))
        oo->stat_show = !off;
    else if (!strcasecmp(w[1], "debug"))
        oo->stat_debug = !off;
    else
        return -EINVAL;
    return 0;
}

int cmd_map(struct jxbridge *B, char **) {
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        int olt;
        const char *dev = p ? jxbridge_pon_port_olt(p, &olt) : nullptr;
        if (dev)
            say("%s GEM %u -> bp %u (bll %u, onu %u)\n", dev, p->gem_id, p->port_no, p->bll_port_no,
                p->onu_id);
    }
    if (B->oo->uplink)
        say("NNI %u -> bp %u (bll %u, %s)\n", B->oo->uplink_intf, B->oo->uplink->port_no,
            B->oo->uplink->bll_port_no, B->oo->uplink->dev->name);
    return 0;
}

// The flow line's words follow the parser: the access interface and the ONU
// come after the id, every other value after its key.
const struct jxbridge_proc_cmd oo_cmds[] = {
    {"help", nullptr, nullptr, 0},
    {"config", cmd_config, "\tconfig trace on|off - Show configuration changes.\n", 0},
    {"flow", cmd_flow,
     "\tflow add <type> <id> <access_ifc_id> <onu> [uni <uni>] [port <port>] [alloc <id>] "
     "[network <ifc_id>] [gem <gem>] [prio <prio>] [cookie <cookie>] [grp <flow_group_id>] "
     "[class <key> <value> ...] [action <action> <value> ...] - Add flow.\n"
     "\tflow del <type> <id> - Delete flow.\n",
     0},
    {"mcast-group", cmd_mcast_group,
     "\tmcast-group show - Show multicast groups.\n\tmcast-group add <group-id> <port1> "
     "[<port2> ...] - Add multicast group.\n\tmcast-group del <group-id> - Delete multicast "
     "group.\n",
     0},
    {"stat", cmd_stat,
     "\tstat flow <type> <flow_id> - Show flow statistics.\n\tstat port <ifc> - Collect "
     "statistics for interface.\n\tstat show [off] - Show port statistics.\n\tstat debug [off] - "
     "Debug flow statistics collection.\n",
     0},
    {"map", cmd_map, "\tmap - Show port map.\n", 0},
};

// ioctls.

// The named commands are traced with their names.
void named(struct jxbridge *B, unsigned int cmd, int line) {
    static const struct {
        unsigned int cmd;
        const char *name;
    } names[] = {
        {BRIDGE_OO_ONU_ACTIVATE, "BRIDGE_OO_ONU_ACTIVATE"},
        {BRIDGE_OO_ONU_DEACTIVATE, "BRIDGE_OO_ONU_DEACTIVATE"},
        {BRIDGE_OO_ONU_DELETE, "BRIDGE_OO_ONU_DELETE"},
        {BRIDGE_OO_ONU_ADD, "BRIDGE_OO_ONU_ADD"},
        {BRIDGE_OO_MCAST_GROUP_ADD, "BRIDGE_OO_MCAST_GROUP_ADD"},
        {BRIDGE_OO_MCAST_GROUP_DEL, "BRIDGE_OO_MCAST_GROUP_DEL"},
        {BRIDGE_OO_UPLINK_ENABLE, "BRIDGE_OO_UPLINK_ENABLE"},
        {BRIDGE_OO_SCHEDULER_ADD, "BRIDGE_OO_SCHEDULER_ADD"},
        {BRIDGE_OO_SCHEDULER_DEL, "BRIDGE_OO_SCHEDULER_DEL"},
        {BRIDGE_OO_QUEUE_ADD, "BRIDGE_OO_QUEUE_ADD"},
        {BRIDGE_OO_QUEUE_DEL, "BRIDGE_OO_QUEUE_DEL"},
        {BRIDGE_OO_SWITCHING_MODE_SET, "BRIDGE_OO_SWITCHING_MODE_SET"},
        {BRIDGE_OO_SWITCHING_MODE_GET, "BRIDGE_OO_SWITCHING_MODE_GET"},
        {BRIDGE_OO_NNI_INFT_GET, "BRIDGE_OO_NNI_INFT_GET"},
        {BRIDGE_OO_MNG_INFT_GET, "BRIDGE_OO_MNG_INFT_GET"},
    };
    for (auto &n : names)
        if (n.cmd == cmd)
            oo_trace(B->oo, "[jxBridge_OpenOLT] %s:%d %s(%s)\n", "rte/sources/jxbridge/bridge_oo",
                     line, "oo_ioctl", n.name);
}
#define NAMED(B, cmd) named((B), (cmd), __LINE__)

long ioc_onu(struct jxbridge *B, unsigned int cmd, struct oo_onu_record *r, unsigned long) {
    NAMED(B, cmd);
    struct oo_data *oo = B->oo;
    struct oo_onu *o;
    int rc;
    switch (cmd) {
    case BRIDGE_OO_ONU_ACTIVATE:
        if ((rc = oo_onu_add(oo, r, &o)))
            return rc;
        o->active = 1;
        return 0;
    case BRIDGE_OO_ONU_DEACTIVATE:
        if ((o = oo_onu_find(oo, r->intf_id, r->onu_id)))
            o->active = 0;
        return 0;
    case BRIDGE_OO_ONU_DELETE:
        oo_onu_del(oo, r->intf_id, r->onu_id);
        return 0;
    }
    return oo_onu_add(oo, r, &o);
}

// Sends len bytes from the caller's buffer out of the port found by find
// (asked again after the copy, which lets the lock go).
template <typename Find> long send_frame(struct jxbridge *B, u64 buf, u32 len, Find find) {
    if (!find())
        return -ENODEV;
    if (!len || len > OO_FRAME_MAX)
        return -EINVAL;
    struct sk_buff *skb = alloc_skb(len + NET_SKB_PAD, GFP_ATOMIC);
    if (!skb)
        return -ENOSPC;
    skb_reserve(skb, NET_SKB_PAD);
    if (jxbridge_copy_from_user(skb_put(skb, len), (const void __user *)(uintptr_t)buf, len)) {
        kfree_skb(skb);
        return -EFAULT;
    }
    struct jxbridge_port *p = find();
    if (!p) {
        kfree_skb(skb);
        return -ENODEV;
    }
    (void)B;
    memset(skb->cb, 0, sizeof(skb->cb));
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    cb->port_no = cb->in_port_no = JXBRIDGE_NO_PORT;
    cb->outer_tci = cb->inner_tci = htons(JXBRIDGE_NO_VID);
    cb->flags |= JXBRIDGE_CB_F_BYPASS_VLAN;
    skb->dev = p->dev;
    skb->pkt_type = JXBRIDGE_PKT_UCAST;
    skb_reset_mac_header(skb);
    jxbridge_forward(p, skb);
    return 0;
}

long ioc_omci(struct jxbridge *B, unsigned int, struct oo_omci_record *r, unsigned long) {
    u32 intf = r->intf_id, gem = r->gem_port;
    return send_frame(B, r->buf, r->len, [&]() {
        struct jxbridge_port *p = oo_gem_port_find(B, intf, gem);
        if (!p)
            printk(KERN_ERR "%s:%d Unable to get jxbridge port (d->intf_id=%d,d->gem_port=%d).\n",
                   "rte/sources/jxbridge/bridge_oo", __LINE__, (int)intf, (int)gem);
        return p;
    });
}

long ioc_uplink_pkt(struct jxbridge *B, unsigned int, struct oo_uplink_pkt_record *r,
                    unsigned long) {
    u32 intf = r->intf_id;
    return send_frame(B, r->buf, r->len, [&]() { return oo_uplink_find(B, intf); });
}

long ioc_flow_add(struct jxbridge *B, unsigned int, struct oo_flow_record *r, unsigned long) {
    return oo_flow_add(B, r);
}

long ioc_flow_del(struct jxbridge *B, unsigned int, struct oo_flow_key_record *r, unsigned long) {
    return oo_flow_del(B, r->flow_type, r->flow_id);
}

long ioc_flow_stat(struct jxbridge *B, unsigned int, struct oo_flow_stat_record *r, unsigned long) {
    if (!oo_flow_find(B->oo, r->flow_type, r->flow_id))
        return -ENOENT;
    char name[RULE_NAME_FIELD];
    oo_flow_name(name, sizeof(name), r->flow_type, r->flow_id);
    u64 packets, bytes;
    int rc = acl_counter_get_value(B->acl, name, &packets, &bytes);
    r->packets = packets;
    r->bytes = bytes;
    return rc;
}

long ioc_group_add(struct jxbridge *B, unsigned int cmd, struct oo_mcast_group_record *r,
                   unsigned long) {
    NAMED(B, cmd);
    // Bounded before the copy: the count comes from the caller.
    if (r->count > OO_MCAST_MEMBERS || (r->count && !r->members))
        return -EINVAL;
    u32 id = r->group_id, n = r->count;
    struct oo_mcast_member_record m[OO_MCAST_MEMBERS];
    if (n &&
        jxbridge_copy_from_user(m, (const void __user *)(uintptr_t)r->members, n * sizeof(m[0])))
        return -EFAULT;
    u32 intf[OO_MCAST_MEMBERS], gem[OO_MCAST_MEMBERS];
    for (u32 i = 0; i < n; i++) {
        intf[i] = m[i].intf_id;
        gem[i] = m[i].gem_port_id;
    }
    return oo_mcast_group_add_modify(B, id, intf, gem, n);
}

long ioc_group_del(struct jxbridge *B, unsigned int cmd, struct oo_mcast_group_record *r,
                   unsigned long) {
    NAMED(B, cmd);
    return oo_mcast_group_del(B, r->group_id) ? -EFAULT : 0;
}

long ioc_uplink_enable(struct jxbridge *B, unsigned int cmd, struct oo_intf_record *r,
                       unsigned long) {
    NAMED(B, cmd);
    if (!oo_uplink_find(B, r->intf_id)) {
        printk(KERN_ERR "[jxBridge_OpenOLT] %s(intf_id=%d). Error. No bp.\n", __func__,
               (int)r->intf_id);
        return -ENODEV;
    }
    // The first uplink enabled is the flows' uplink, and the management ACLs'.
    struct jxbridge_port *p;
    if (!B->oo->uplink)
        oo_reserve_jxbridge_uplink_port(B, r->intf_id, &p);
    return 0;
}

struct __attribute__((packed)) oo_sched_record {
    u32 v[11];
};
static_assert(sizeof(oo_sched_record) == 44);
struct __attribute__((packed)) oo_queue_record {
    u32 v[13];
};
static_assert(sizeof(oo_queue_record) == 52);

long ioc_sched(struct jxbridge *B, unsigned int cmd, struct oo_sched_record *r, unsigned long) {
    NAMED(B, cmd);
    if (!B->qos)
        return -ENODEV;
    u32 v[11];
    memcpy(v, r->v, sizeof(v));
    return cmd == BRIDGE_OO_SCHEDULER_ADD ? qos_oo_scheduler_add(B->qos, v)
                                          : qos_oo_scheduler_del(B->qos, v[0], v[1]);
}

long ioc_queue(struct jxbridge *B, unsigned int cmd, struct oo_queue_record *r, unsigned long) {
    NAMED(B, cmd);
    if (!B->qos)
        return -ENODEV;
    u32 v[13];
    memcpy(v, r->v, sizeof(v));
    return cmd == BRIDGE_OO_QUEUE_ADD ? qos_oo_queue_add(B->qos, v)
                                      : qos_oo_queue_del(B->qos, v[0], v[1], v[2]);
}

long ioc_port_stat(struct jxbridge *B, unsigned int, struct oo_port_stat_record *r, unsigned long) {
    return oo_port_stat_get(B, r);
}

long ioc_mode_set(struct jxbridge *B, unsigned int cmd, u32 *r, unsigned long) {
    NAMED(B, cmd);
    // Only the modes the bridge knows: another value would pass for none of them.
    if (*r > JXBRIDGE_SWITCHING_ACL_FW)
        return -EINVAL;
    return jxbridge_switching_mode_set(B, *r);
}

long ioc_mode_get(struct jxbridge *B, unsigned int cmd, u32 *r, unsigned long) {
    NAMED(B, cmd);
    return jxbridge_switching_mode_get(B, r);
}

long ioc_nni(struct jxbridge *B, unsigned int cmd, struct oo_nni_list_record *r, unsigned long) {
    NAMED(B, cmd);
    return jxbridge_oo_nni_intfs_get(B, r) ? -EFAULT : 0;
}

long ioc_mng(struct jxbridge *B, unsigned int cmd, struct oo_mng_intf_record *r, unsigned long) {
    NAMED(B, cmd);
    memset(r, 0, sizeof(*r));
    struct jxbridge_port *p = jxbridge_oo_mgmt_intf_get(B);
    if (p) {
        r->intf_id = p->bll_port_no;
        strlcpy(r->dev_name, p->dev->name, sizeof(r->dev_name));
        r->present = 1;
    }
    return 0;
}

// The rows below copy arrays out with the lock let go: what they copy is
// gathered first, so nothing they read can go meanwhile.
long ioc_intf_list(struct jxbridge *, unsigned int, struct oo_list_record *r, unsigned long) {
    u32 ids[32];
    u32 n = std::min<u32>(r->count, ARRAY_SIZE(ids));
    for (u32 i = 0; i < n; i++)
        ids[i] = i;
    if (n && jxbridge_copy_to_user((void __user *)(uintptr_t)r->addr, ids, n * sizeof(u32)))
        return -EFAULT;
    r->count = ARRAY_SIZE(ids);
    return 0;
}

long ioc_onu_list(struct jxbridge *B, unsigned int, struct oo_onu_list_record *r, unsigned long) {
    struct oo_data *oo = B->oo;
    u32 found = 0;
    for (struct oo_onu *o = oo->onus; o; o = o->next)
        found += o->r.intf_id == r->intf_id;
    u32 n = std::min(found, r->count);
    struct oo_onu_record *out = nullptr;
    if (n && !(out = (struct oo_onu_record *)jxbridge_zalloc(n * sizeof(*out))))
        return -ENOMEM;
    u32 i = 0;
    for (struct oo_onu *o = oo->onus; o && i < n; o = o->next)
        if (o->r.intf_id == r->intf_id)
            out[i++] = o->r;
    long rc = 0;
    if (n && jxbridge_copy_to_user((void __user *)(uintptr_t)r->addr, out, n * sizeof(*out)))
        rc = -EFAULT;
    kfree(out);
    r->count = found;
    return rc;
}

long ioc_gem_list(struct jxbridge *B, unsigned int, struct oo_gem_list_record *r, unsigned long) {
    u32 gems[64], found = 0, n = 0;
    char olt[IFNAMSIZ];
    snprintf(olt, sizeof(olt), "dsl%u", r->intf_id);
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        int idx;
        const char *dev =
            p && p->kind == JXBRIDGE_PORT_PON_GEM ? jxbridge_pon_port_olt(p, &idx) : nullptr;
        if (!dev || strcmp(dev, olt) || p->onu_id != r->onu_id)
            continue;
        if (n < ARRAY_SIZE(gems) && n < r->count)
            gems[n++] = p->gem_id;
        found++;
    }
    if (n && jxbridge_copy_to_user((void __user *)(uintptr_t)r->addr, gems, n * sizeof(u32))) {
        printk(KERN_ERR "%s:%d %s()=EFAULT\n", "rte/sources/jxbridge/bridge_oo", __LINE__,
               __func__);
        return -EFAULT;
    }
    r->count = found;
    return 0;
}

#define IN JXBRIDGE_IOC_IN
#define OUT JXBRIDGE_IOC_OUT
#define OUT_EINVAL JXBRIDGE_IOC_OUT_EINVAL
#define ROW(cmd, type, flags, fn) JXBRIDGE_IOC(cmd, type, flags, fn)
const struct jxbridge_proc_ioc oo_iocs[] = {
    ROW(BRIDGE_OO_ONU_ACTIVATE, oo_onu_record, IN, ioc_onu),
    ROW(BRIDGE_OO_ONU_DEACTIVATE, oo_onu_record, IN, ioc_onu),
    ROW(BRIDGE_OO_ONU_DELETE, oo_onu_record, IN, ioc_onu),
    ROW(BRIDGE_OO_ONU_ADD, oo_onu_record, IN, ioc_onu),
    ROW(BRIDGE_OO_OMCI_SEND, oo_omci_record, IN, ioc_omci),
    ROW(BRIDGE_OO_UPLINK_PKT_SEND, oo_uplink_pkt_record, IN, ioc_uplink_pkt),
    ROW(BRIDGE_OO_FLOW_ADD, oo_flow_record, IN, ioc_flow_add),
    ROW(BRIDGE_OO_FLOW_DEL, oo_flow_key_record, IN, ioc_flow_del),
    ROW(BRIDGE_OO_FLOW_STAT, oo_flow_stat_record, IN | OUT, ioc_flow_stat),
    ROW(BRIDGE_OO_MCAST_GROUP_ADD, oo_mcast_group_record, IN, ioc_group_add),
    ROW(BRIDGE_OO_MCAST_GROUP_DEL, oo_mcast_group_record, IN, ioc_group_del),
    ROW(BRIDGE_OO_UPLINK_ENABLE, oo_intf_record, IN, ioc_uplink_enable),
    ROW(BRIDGE_OO_SCHEDULER_ADD, oo_sched_record, IN, ioc_sched),
    ROW(BRIDGE_OO_SCHEDULER_DEL, oo_sched_record, IN, ioc_sched),
    ROW(BRIDGE_OO_PORT_STAT, oo_port_stat_record, IN | OUT, ioc_port_stat),
    ROW(BRIDGE_OO_QUEUE_ADD, oo_queue_record, IN, ioc_queue),
    ROW(BRIDGE_OO_QUEUE_DEL, oo_queue_record, IN, ioc_queue),
    ROW(BRIDGE_OO_SWITCHING_MODE_SET, u32, IN, ioc_mode_set),
    ROW(BRIDGE_OO_SWITCHING_MODE_GET, u32, OUT_EINVAL, ioc_mode_get),
    ROW(BRIDGE_OO_NNI_INFT_GET, oo_nni_list_record, OUT_EINVAL, ioc_nni),
    ROW(BRIDGE_OO_MNG_INFT_GET, oo_mng_intf_record, OUT_EINVAL, ioc_mng),
    ROW(BRIDGE_OO_INTF_LIST, oo_list_record, IN | OUT, ioc_intf_list),
    ROW(BRIDGE_OO_ONU_LIST, oo_onu_list_record, IN | OUT, ioc_onu_list),
    ROW(BRIDGE_OO_GEM_LIST, oo_gem_list_record, IN | OUT, ioc_gem_list),
};
#undef ROW
#undef IN
#undef OUT
#undef OUT_EINVAL

// Read-outs.

void show_ip(char *buf, size_t size, u32 a) {
    snprintf(buf, size, "%u.%u.%u.%u", a >> 24, a >> 16 & 0xFF, a >> 8 & 0xFF, a & 0xFF);
}

void show_flow(struct seq_file *m, const struct oo_flow_record *r) {
    static const char *const tags[] = {"NONE", "UNTAGGED", "SINGLE", "DOUBLE"};
    char dip[16], sip[16];
    show_ip(dip, sizeof(dip), r->dst_ip);
    show_ip(sip, sizeof(sip), r->src_ip);
    const u8 *a = r->act, *d = r->dst_mac, *s = r->src_mac;
    seq_printf(
        m,
        "%s %d access_intf_id=%d, onu_id=%d, uni_id=%d, port_no=%d, alloc_id=%u, "
        "network_intf_id=%d, gemport_id=%d, priority=%d, cookie=%016llx, group_id=%d, "
        "classifier[pkt_tag_type=%s, src_port=%d, dst_port=%d, "
        "dst_mac=%02x:%02x:%02x:%02x:%02x:%02x, src_mac=%02x:%02x:%02x:%02x:%02x:%02x, "
        "i_tpid=0x%04x, i_vid=%d, o_tpid=0x%04x, o_vid=%d, i_pbits=%d, o_pbits=%d, "
        "eth_type=0x%04x, dst_ip=%s, src_ip=%s, ip_proto=%d], action[cmd[%s%s%s%s%s%s%s%s%s], "
        "o_vid=%d, o_pbits=%d, o_tpid=0x%04x, i_vid=%d, i_pbits=%d, i_tpid=0x%04x]\n",
        oo_flow_type_names[r->flow_type], (int)r->flow_id, (int)r->access_intf_id, (int)r->onu_id,
        (int)r->uni_id, (int)r->port_no, r->alloc_id, (int)r->network_intf_id, (int)r->gemport_id,
        (int)r->priority, (unsigned long long)r->cookie, (int)r->group_id, tags[r->pkt_tag_type],
        (int)r->src_port, (int)r->dst_port, d[0], d[1], d[2], d[3], d[4], d[5], s[0], s[1], s[2],
        s[3], s[4], s[5], r->i_tpid & 0xFFFF, (int)r->i_vid, r->o_tpid & 0xFFFF, (int)r->o_vid,
        (int)r->i_pbits, (int)r->o_pbits, r->eth_type & 0xFFFF, dip, sip, (int)r->ip_proto,
        a[OO_ACT_ADD_OUTER] ? "add-outer-tag" : "",
        a[OO_ACT_REMOVE_OUTER] ? " remove-outer-tag" : "", a[OO_ACT_TRAP] ? " trap-to-host" : "",
        a[OO_ACT_TRANSLATE_INNER] ? " translate-inner-tag" : "",
        a[OO_ACT_TRANSLATE_OUTER] ? " translate-outer-tag" : "",
        a[OO_ACT_REMARK_OUTER] ? " remark-outer-pbits" : "",
        a[OO_ACT_REMARK_INNER] ? " remark-inner-pbits" : "",
        a[OO_ACT_ADD_INNER] ? " add-inner-tag" : "",
        a[OO_ACT_REMOVE_INNER] ? " remove-inner-tag" : "", (int)r->a_o_vid, (int)r->a_o_pbits,
        r->a_o_tpid & 0xFFFF, (int)r->a_i_vid, (int)r->a_i_pbits, r->a_i_tpid & 0xFFFF);
}

void show_port_stat(struct seq_file *m, const char *name, const struct oo_port_stat_record *s) {
    seq_printf(m,
               "%4s RX %llu/%llu uc=%llu mc=%llu bc=%llu err=%llu crc=%llu\n     TX %llu/%llu "
               "uc=%llu mc=%llu bc=%llu err=%llu bip=%llu\n",
               name, (unsigned long long)s->rx_packets, (unsigned long long)s->rx_bytes,
               (unsigned long long)s->rx_ucast, (unsigned long long)s->rx_mcast,
               (unsigned long long)s->rx_bcast, (unsigned long long)s->rx_error,
               (unsigned long long)s->rx_crc_errors, (unsigned long long)s->tx_packets,
               (unsigned long long)s->tx_bytes, (unsigned long long)s->tx_ucast,
               (unsigned long long)s->tx_mcast, (unsigned long long)s->tx_bcast,
               (unsigned long long)s->tx_error, (unsigned long long)s->bip_errors);
}

void show_bytes(struct seq_file *m, const u8 *b, u32 len) {
    seq_printf(m, " ");
    for (u32 i = 0; i < len; i++)
        seq_printf(m, "%02x", b[i]);
}

int oo_show(struct seq_file *m, void *) {
    auto *B = (struct jxbridge *)m->private_data;
    mutex_lock(&jxbridge_lock);
    struct oo_data *oo = B->oo;
    if (!oo) {
        mutex_unlock(&jxbridge_lock);
        return 0;
    }
    seq_printf(m, "\nFLOW SUMMARY (direction now/max/deleted)\n");
    for (u32 t = 0; t < OO_FLOW_TYPES; t++)
        seq_printf(m, "%s %u/%u/%u\n", oo_flow_type_names[t], oo->n_now[t], oo->n_max[t],
                   oo->n_deleted[t]);
    seq_printf(m, "\nFLOWS\n");
    for (u32 t = 0; t < OO_FLOW_TYPES; t++)
        for (struct oo_flow *f = oo->flows[t]; f; f = f->next)
            show_flow(m, &f->r);
    seq_printf(m, "\nONU-s (intf onu pir vendor specific) now=%u max=%u deleted=%u\n", oo->onus_now,
               oo->onus_max, oo->onus_deleted);
    for (struct oo_onu *o = oo->onus; o; o = o->next) {
        seq_printf(m, "%u %u %u", o->r.intf_id, o->r.onu_id, o->r.pir);
        show_bytes(m, o->r.vendor_id, o->r.vendor_id_len);
        show_bytes(m, o->r.vendor_specific, o->r.vendor_specific_len);
        seq_printf(m, "%s\n", o->active ? " active" : "");
    }
    seq_printf(m, "\nGEM map (interface port_no stats)\n");
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        int olt;
        const char *dev = p ? jxbridge_pon_port_olt(p, &olt) : nullptr;
        if (dev)
            seq_printf(m, "%s/%u %u %llu/%llu\n", dev, p->gem_id, p->bll_port_no,
                       (unsigned long long)p->counters.rx_pkts,
                       (unsigned long long)p->counters.tx_pkts);
    }
    seq_printf(m, "\nPort statistics (RX line, TX line)\n");
    if (oo->stat_show) {
        struct oo_port_stat_record s;
        for (u32 i = 0; i < 16; i++) {
            char name[8];
            snprintf(name, sizeof(name), "pon%u", i);
            s.intf_type = 0;
            s.intf_id = i;
            if (!oo_port_stat_get(B, &s))
                show_port_stat(m, name, &s);
        }
        s.intf_type = 1;
        s.intf_id = oo->uplink_intf;
        if (oo->uplink && !oo_port_stat_get(B, &s))
            show_port_stat(m, "nni", &s);
    }
    struct jxbridge_port *mng = jxbridge_oo_mgmt_intf_get(B);
    if (mng)
        seq_printf(m, "Out-of-band MNG is used on (id=%d, bll_id=%d, dev_name=%s)\n",
                   (int)mng->port_no, (int)mng->bll_port_no, mng->dev->name);
    else
        seq_printf(m, "In-band MNG is used on NNI\n");
    struct oo_nni_list_record nni;
    jxbridge_oo_nni_intfs_get(B, &nni);
    seq_printf(m, "\nNNI-s list:\n");
    for (u32 i = 0; i < nni.count; i++)
        seq_printf(m, "NNI%u (id=%d, bll_id=%d, dev_name=%s)\n", i, (int)nni.nni[i].intf_id,
                   (int)nni.nni[i].bll_id, nni.nni[i].dev_name);
    mutex_unlock(&jxbridge_lock);
    return 0;
}

bool oo_file_debug(struct jxbridge *B) {
    return B->oo && B->oo->trace;
}

int oo_file_check(struct jxbridge *B) {
    return B->oo && B->acl ? 0 : -ENODEV;
}

const struct jxbridge_proc_ops oo_ops = {
    .tag = "jxBridge_OpenOLT",
    .log = JXBRIDGE_PROC_LOG_PLAIN,
    .debug = oo_file_debug,
    .check = oo_file_check,
    .cmds = oo_cmds,
    .n_cmds = ARRAY_SIZE(oo_cmds),
    .iocs = oo_iocs,
    .n_iocs = ARRAY_SIZE(oo_iocs),
    .trace = "oo_ioctl",
    .say = say,
    .unknown = "Unknown command: '%s'\n",
};

} // namespace

const struct file_operations oo_fops = jxbridge_proc_file<oo_show, &oo_ops>::fops;
