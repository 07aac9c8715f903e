// The QoS actions: one row per code with its name, help text and function,
// and the text forms. Every rewrite first makes the frame's data its own: a
// flood's copies share it, and one port's marking must not reach the others.
#include "jx_qos.h"

namespace {

template <typename T> T par(const struct qos_action *a) {
    T v;
    memcpy(&v, a->param, sizeof(T));
    return v;
}

#define TRACE(ev, ...) QOS_TRACE((ev)->qos, __VA_ARGS__)

u16 qos_copy_counter; // the QoS side numbers its copies apart from the ACL's

void gone(struct qos_eval *ev) {
    ev->skb = nullptr;
    ev->stop = 1;
}

// A private copy to write on; false when the frame was lost.
bool writable(struct qos_eval *ev) {
    if (!(ev->skb = rule_unshare(ev->skb))) {
        gone(ev);
        return false;
    }
    return true;
}

void reparse(struct qos_eval *ev, struct sk_buff *skb) {
    ev->skb = skb;
    if (!skb) {
        gone(ev);
        return;
    }
    if (!qos_parse(ev))
        gone(ev);
}

u16 tpid_of(struct qos_eval *ev, const qos_p_tag &t) {
    return t.tpid ? (u16)t.tpid : vlan_get_ethertype(ev->qos->bridge);
}

u8 *l3(struct qos_eval *ev) {
    return ev->skb->data + ev->f.l3;
}

// The TOS octet or the IPv6 traffic class; -1 for other frames.
int tos_get(struct qos_eval *ev) {
    if (ev->f.ipv4)
        return l3(ev)[1];
    if (ev->f.ipv6)
        return (u8)(rule_get16(l3(ev)) >> 4);
    return -1;
}

// Writes the TOS or traffic class (checksum kept right) and the frame's
// current TOS; the frame must be writable.
void tos_put(struct qos_eval *ev, u8 tos) {
    u8 *ip = l3(ev);
    if (ev->f.ipv4) {
        ip[1] = tos;
        rule_ipv4_csum_set(ip, ev->f.ihl);
    } else {
        u16 w = rule_get16(ip);
        rule_put16(ip, (u16)((w & 0xF00F) | tos << 4));
    }
    JXBRIDGE_CB(ev->skb)->engine8[1] = tos;
}

// The rewrite of the TOS by fn(old); false when not an IP frame.
template <typename F> bool tos_rewrite(struct qos_eval *ev, F fn) {
    int t = tos_get(ev);
    if (t < 0) {
        TRACE(ev, "[QOS]            Non-IPv4 or Non-IPv6 packet.\n");
        return false;
    }
    if (!writable(ev))
        return false;
    tos_put(ev, fn((u8)t));
    return true;
}

void a_drop(struct qos_eval *ev, struct qos_action *) {
    TRACE(ev, "[QOS]            Drop.\n");
    kfree_skb(ev->skb);
    gone(ev);
}

void a_pass(struct qos_eval *ev, struct qos_action *) {
    ev->stop = 1;
}

void a_copy(struct qos_eval *ev, struct qos_action *a) {
    struct jxbridge *B = ev->qos->bridge;
    struct jxbridge_port *to = acl_port_resolve(B, &a->port);
    struct sk_buff *clone = to ? skb_clone(ev->skb, GFP_ATOMIC) : nullptr;
    if (!clone) {
        TRACE(ev, "[QOS]              Unable to copy to %s.\n", a->port.name);
        return;
    }
    TRACE(ev, "[QOS]            Copy to %s.\n", a->port.name);
    jxbridge_skb_mark_copy(ev->skb, clone, &qos_copy_counter);
    clone->dev = to->dev;
    jxbridge_pcap_frame(B, clone);
    jxbridge_unqueued_xmit(clone);
}

void a_print(struct qos_eval *ev, struct qos_action *) {
    jxbridge_trace_frame_data("[QOS]          ", ev->skb->data, ev->skb->len,
                              ev->qos->outer_ethertype);
}

void a_add_outer_tag(struct qos_eval *ev, struct qos_action *a) {
    if (!writable(ev))
        return;
    qos_p_tag t = par<qos_p_tag>(a);
    reparse(ev, vlan_add_tag(ev->skb, tpid_of(ev, t), (u16)t.value));
}

// Under the outer tag: the outer one comes off, the new one goes on, the
// outer one back on top.
void a_add_inner_tag(struct qos_eval *ev, struct qos_action *a) {
    if (!ev->f.outer) {
        a_add_outer_tag(ev, a);
        return;
    }
    if (!writable(ev))
        return;
    qos_p_tag t = par<qos_p_tag>(a);
    u16 outer_tpid = rule_get16(ev->skb->data + ev->f.outer - 2);
    u16 outer_tci = rule_get16(ev->skb->data + ev->f.outer);
    struct sk_buff *skb = vlan_remove_outer_tag(ev->skb);
    skb = vlan_add_tag(skb, tpid_of(ev, t), (u16)t.value);
    reparse(ev, vlan_add_tag(skb, outer_tpid, outer_tci));
}

void set_tci(struct qos_eval *ev, u16 off, u16 mask, u16 value, bool outer) {
    if (!writable(ev))
        return;
    rule_set_tci(ev->skb->data, off, mask, value, nullptr);
    u16 tci = htons(rule_get16(ev->skb->data + off));
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(ev->skb);
    (outer ? cb->outer_tci : cb->inner_tci) = tci;
}

void a_set_outer_tag(struct qos_eval *ev, struct qos_action *a) {
    if (ev->f.outer)
        set_tci(ev, ev->f.outer, 0xFFFF, (u16)par<qos_p_tag>(a).value, true);
}

void a_set_inner_tag(struct qos_eval *ev, struct qos_action *a) {
    if (ev->f.inner)
        set_tci(ev, ev->f.inner, 0xFFFF, (u16)par<qos_p_tag>(a).value, false);
}

void a_remove_outer_tag(struct qos_eval *ev, struct qos_action *) {
    if (ev->f.outer && writable(ev))
        reparse(ev, vlan_remove_outer_tag(ev->skb));
}

void a_remove_inner_tag(struct qos_eval *ev, struct qos_action *) {
    if (ev->f.inner && writable(ev))
        reparse(ev, vlan_remove_inner_tag(ev->skb));
}

// The tag an action names: 0 outer, 1 inner, 2 C-tag, 3 S-tag; 0 when absent.
u16 tag_off(struct qos_eval *ev, int which) {
    u16 off = 0;
    switch (which) {
    case 0:
        return ev->f.outer;
    case 1:
        return ev->f.inner;
    case 2:
        if (!qos_find_ctag(ev, &off))
            TRACE(ev, "[QOS]            Error reading C-TAG.\n");
        return off;
    default:
        if (!qos_find_stag(ev, &off))
            TRACE(ev, "[QOS]            Error reading S-TAG.\n");
        return off;
    }
}

void set_priority(struct qos_eval *ev, struct qos_action *a, int which) {
    u16 off = tag_off(ev, which);
    if (!off)
        return;
    u16 prio = (u16)(par<qos_p_tag>(a).value & 7);
    set_tci(ev, off, 0xE000, (u16)(prio << 13), off == ev->f.outer);
    TRACE(ev, "[QOS]            Set priority %d.\n", prio);
}
void a_set_outer_priority(struct qos_eval *ev, struct qos_action *a) {
    set_priority(ev, a, 0);
}
void a_set_inner_priority(struct qos_eval *ev, struct qos_action *a) {
    set_priority(ev, a, 1);
}
void a_set_cpriority(struct qos_eval *ev, struct qos_action *a) {
    set_priority(ev, a, 2);
}
void a_set_spriority(struct qos_eval *ev, struct qos_action *a) {
    set_priority(ev, a, 3);
}

void a_set_ipv4_dscp(struct qos_eval *ev, struct qos_action *a) {
    u8 dscp = (u8)(par<u32>(a) & 0x3F);
    bool v4 = ev->f.ipv4;
    if (v4 && !rule_ipv4_csum_ok(l3(ev), ev->f.ihl))
        return; // a damaged header is not ours to make look right
    if (tos_rewrite(ev, [dscp](u8 t) { return (u8)(dscp << 2 | (t & 3)); }))
        TRACE(ev,
              v4 ? "[QOS]            Set IPv4 DSCP 0x%02x.\n"
                 : "[QOS]            Set IPv6 DSCP 0x%02x.\n",
              dscp);
}

void a_set_ipv4_tos(struct qos_eval *ev, struct qos_action *a) {
    u8 tos = (u8)par<u32>(a);
    tos_rewrite(ev, [tos](u8) { return tos; });
}

void a_set_ipprec(struct qos_eval *ev, struct qos_action *a) {
    u8 prec = (u8)(par<u32>(a) & 7);
    tos_rewrite(ev, [prec](u8 t) { return (u8)(prec << 5 | (t & 0x1F)); });
}

void cos_to_ipprec(struct qos_eval *ev, int which) {
    u16 off = tag_off(ev, which);
    if (!off) {
        if (which < 2)
            TRACE(ev, which ? "[QOS]            No inner VLAN tag.\n"
                            : "[QOS]            No outer VLAN tag.\n");
        return;
    }
    u8 prio = (u8)(rule_get16(ev->skb->data + off) >> 13);
    tos_rewrite(ev, [prio](u8 t) { return (u8)(prio << 5 | (t & 0x1F)); });
}
void a_outer_cos_to_ipprec(struct qos_eval *ev, struct qos_action *) {
    cos_to_ipprec(ev, 0);
}
void a_inner_cos_to_ipprec(struct qos_eval *ev, struct qos_action *) {
    cos_to_ipprec(ev, 1);
}
void a_ccos_to_ipprec(struct qos_eval *ev, struct qos_action *) {
    cos_to_ipprec(ev, 2);
}
void a_scos_to_ipprec(struct qos_eval *ev, struct qos_action *) {
    cos_to_ipprec(ev, 3);
}

void ipprec_to_cos(struct qos_eval *ev, int which) {
    static const char *const names[] = {"outer", "inner", "C", "S"};
    int t = tos_get(ev);
    if (t < 0) {
        TRACE(ev, "[QOS]            Non-IPv4 or Non-IPv6 packet.\n");
        return;
    }
    u16 off = tag_off(ev, which);
    if (!off)
        return;
    u16 prec = (u16)(t >> 5);
    set_tci(ev, off, 0xE000, (u16)(prec << 13), off == ev->f.outer);
    TRACE(ev, "[QOS]            Copy IPv4 Precedence to %s CoS: %d.\n", names[which], prec);
}
void a_ipprec_to_outer_cos(struct qos_eval *ev, struct qos_action *) {
    ipprec_to_cos(ev, 0);
}
void a_ipprec_to_inner_cos(struct qos_eval *ev, struct qos_action *) {
    ipprec_to_cos(ev, 1);
}
void a_ipprec_to_ccos(struct qos_eval *ev, struct qos_action *) {
    ipprec_to_cos(ev, 2);
}
void a_ipprec_to_scos(struct qos_eval *ev, struct qos_action *) {
    ipprec_to_cos(ev, 3);
}

void a_ds_assign_queue(struct qos_eval *ev, struct qos_action *a) {
    if (!writable(ev))
        return;
    u32 queue = par<u32>(a) & 0xFF;
    ev->skb->priority = (ev->skb->priority & ~0xFFu) | queue;
    TRACE(ev, "[QOS]            Assign queue %d.\n", (int)queue);
}

void a_entry_assign_queue(struct qos_eval *ev, struct qos_action *) {
    const struct qos_entry *e = ev->entry;
    if (!e || !writable(ev))
        return;
    ev->skb->priority =
        (ev->skb->priority & ~0xFFFFu) | (e->queue & 0xFF) << 8 | (e->priority & 0xFF);
    TRACE(ev, "[QOS]            Assign queue: %d, priority: %d.\n", (int)e->queue,
          (int)e->priority);
}

void a_policy_two_rate(struct qos_eval *ev, struct qos_action *a) {
    if (!writable(ev))
        return;
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(ev->skb);
    s32 id = par<s32>(a);
    cb->engine25[8] = (u8)id;
    cb->flag_byte &= (u8)~JXBRIDGE_CB_B_POLICER;
    struct jxbridge_port *p = acl_dev_port(ev->skb->dev);
    if (!p || p->ucc_index == QOS_TARN_NONE || p->ucc_subport == QOS_TARN_NONE) {
        TRACE(ev, "[QOS]            Qos policy two rate. Cannot get TARN port.\n");
        return;
    }
    cb->engine25[9] = (u8)p->ucc_index;
    cb->engine25[10] = (u8)p->ucc_subport;
    // The engine polices the frame where it leaves, with this port's policer.
    if (id >= 0 && id < 8 && p->ucc_index <= 0xFF && p->ucc_subport <= 0xFF)
        cb->flag_byte |= JXBRIDGE_CB_B_POLICER;
    TRACE(ev, "[QOS]            Qos policy two rate. Port: %s, policer: %d\n", p->dev->name,
          (int)id);
}

// How a row's parameters are read from text.
enum : u8 { T_NONE, T_PORT, T_WORD, T_TAG, T_TPID, T_DSCP, T_NOTEXT };

} // namespace

const struct qos_action_row qos_action_rows[QOS_ACTIONS] = {
    {"drop", "", T_NONE, a_drop},
    {"pass", "", T_NONE, a_pass},
    {"copy", "<port>", T_PORT, a_copy},
    {"log", "<word>", T_WORD, nullptr},
    {"print", "", T_NONE, a_print},
    {"add_outer_tag", "s|c <tci>", T_TAG, a_add_outer_tag},
    {"add_inner_tag", "s|c <tci>", T_TAG, a_add_inner_tag},
    {"set_outer_tag", "s|c <tci>", T_TAG, a_set_outer_tag},
    {"set_inner_tag", "s|c <tci>", T_TAG, a_set_inner_tag},
    {"remove_outer_tag", "s|c", T_TPID, a_remove_outer_tag},
    {"remove_inner_tag", "s|c", T_TPID, a_remove_inner_tag},
    {"set_outer_priority", "s|c <priority>", T_TAG, a_set_outer_priority},
    {"set_inner_priority", "s|c <priority>", T_TAG, a_set_inner_priority},
    {"set_cpriority", "s|c <priority>", T_TAG, a_set_cpriority},
    {"set_spriority", "s|c <priority>", T_TAG, a_set_spriority},
    {"set_ipv4_dscp", "<dscp>", T_DSCP, a_set_ipv4_dscp},
    {"set_ipv4_tos", "", T_NOTEXT, a_set_ipv4_tos},
    {"set_ipprec", "", T_NOTEXT, a_set_ipprec},
    {"outer_cos_to_ipprec", "", T_NOTEXT, a_outer_cos_to_ipprec},
    {"inner_cos_to_ipprec", "", T_NOTEXT, a_inner_cos_to_ipprec},
    {"ccos_to_ipprec", "", T_NOTEXT, a_ccos_to_ipprec},
    {"scos_to_ipprec", "", T_NOTEXT, a_scos_to_ipprec},
    {"ipprec_to_outer_cos", "", T_NOTEXT, a_ipprec_to_outer_cos},
    {"ipprec_to_inner_cos", "", T_NOTEXT, a_ipprec_to_inner_cos},
    {"ipprec_to_ccos", "", T_NOTEXT, a_ipprec_to_ccos},
    {"ipprec_to_scos", "", T_NOTEXT, a_ipprec_to_scos},
    {"ds_assign_queue", "", T_NOTEXT, a_ds_assign_queue},
    {"entry_assign_queue", "", T_NOTEXT, a_entry_assign_queue},
    {"policy_two_rate", "", T_NOTEXT, a_policy_two_rate},
};

int qos_action_code(const char *name) {
    for (u32 i = 0; i < QOS_ACTIONS; i++)
        if (!strcasecmp(qos_action_rows[i].name, name))
            return (int)i;
    return -1;
}

// "s" is the bridge's service TPID (0: looked up when the action runs), "c" 0x8100.
static int word_tpid(const char *word, u32 *tpid) {
    if (!word || !*word)
        return -ENOARG;
    if (!strcasecmp(word, "s"))
        *tpid = 0;
    else if (!strcasecmp(word, "c"))
        *tpid = RULE_ETH_P_8021Q;
    else
        return -EINVAL;
    return 0;
}

int qos_action_parse(struct qos_classifier *, char **w, struct qos_action *a) {
    int code = qos_action_code(w[0]);
    if (code < 0 || qos_action_rows[code].text == T_NOTEXT)
        return -EINVAL;
    a->code = (u32)code;
    long long n;
    int rc;
    switch (qos_action_rows[code].text) {
    case T_PORT:
        if (!w[1])
            return -ENOARG;
        if (strlen(w[1]) >= sizeof(a->port.name))
            return -EINVAL;
        strlcpy(a->port.name, w[1], sizeof(a->port.name));
        break;
    case T_WORD:
        if (!w[1])
            return -ENOARG;
        if (strlen(w[1]) > QOS_NAME_MAX)
            return -EINVAL;
        strlcpy((char *)a->param, w[1], QOS_NAME_FIELD);
        break;
    case T_TAG:
    case T_TPID: {
        qos_p_tag t = {};
        if ((rc = word_tpid(w[1], &t.tpid)))
            return rc;
        if (qos_action_rows[code].text == T_TAG) {
            if (!w[2])
                return -ENOARG;
            if (a2num(w[2], &n))
                return -EINVAL;
            if (n < 0 || n > 0xFFFF)
                return -ERANGE;
            t.value = (u32)n;
        }
        memcpy(a->param, &t, sizeof(t));
        break;
    }
    case T_DSCP: {
        if (!w[1])
            return -ENOARG;
        if (a2num(w[1], &n))
            return -EINVAL;
        if (n < 0 || n > 63)
            return -ERANGE;
        u32 v = (u32)n;
        memcpy(a->param, &v, sizeof(v));
        break;
    }
    default:
        break;
    }
    return 0;
}

void qos_action_list_form(const struct qos_action *a, char *buf, size_t size) {
    if (a->code >= QOS_ACTIONS) {
        snprintf(buf, size, "unknown (%u)", a->code);
        return;
    }
    const char *name = qos_action_rows[a->code].name;
    qos_p_tag t = par<qos_p_tag>(a);
    switch (qos_action_rows[a->code].text) {
    case T_PORT:
        snprintf(buf, size, "%s %s", name, a->port.name);
        break;
    case T_WORD:
        snprintf(buf, size, "%s %.127s", name, (const char *)a->param);
        break;
    case T_TAG:
        snprintf(buf, size, "%s %s %u", name, t.tpid ? "c" : "s", t.value);
        break;
    case T_TPID:
        snprintf(buf, size, "%s %s", name, t.tpid ? "c" : "s");
        break;
    case T_NONE:
        snprintf(buf, size, "%s", name);
        break;
    default:
        snprintf(buf, size, "%s %u", name, t.tpid);
        break;
    }
}
