// The ACL actions: one row per code with its name, help text and function.
// An action that takes the frame sets ev->consumed and clears ev->skb (or
// leaves it for the engine to free); one that ends the evaluation sets ev->stop.
#include "bridge_acl.h"

namespace {

struct p_tags {
    u16 mask, tag;
};
struct __attribute__((packed)) p_trap {
    char dev[RULE_NAME_FIELD];
    u32 stop_after;
};
struct __attribute__((packed)) p_event {
    u32 rate;
    char msg[RULE_NAME_FIELD];
};
static_assert(sizeof(p_trap) == ACL_ACTION_PARAMS && sizeof(p_event) == ACL_ACTION_PARAMS);

template <typename T> T par(const struct acl_action *a) {
    T v;
    memcpy(&v, a->param, sizeof(T));
    return v;
}

#define TRACE(ev, ...)                                                                             \
    do {                                                                                           \
        if (acl_dbg((ev)->acl))                                                                    \
            jxbridge_trace(__VA_ARGS__);                                                           \
    } while (0)

u16 acl_copy_counter; // one numbering for every copy the engine makes

struct jxbridge *bridge_of(const struct acl_eval *ev) {
    return ev->acl->bridge;
}

// The frame is gone or taken; the engine returns nothing.
void consumed(struct acl_eval *ev) {
    ev->skb = nullptr;
    ev->consumed = 1;
    ev->stop = 1;
}

void free_frame(struct acl_eval *ev) {
    kfree_skb(ev->skb);
    consumed(ev);
}

// A private copy to write on; false when the frame was lost.
bool writable(struct acl_eval *ev) {
    if (!(ev->skb = rule_unshare(ev->skb))) {
        consumed(ev);
        return false;
    }
    return true;
}

// After a change of layout.
void reparse(struct acl_eval *ev, struct sk_buff *skb) {
    ev->skb = skb;
    if (!skb) {
        consumed(ev);
        return;
    }
    acl_parse_frame(ev);
}

void a_drop(struct acl_eval *ev, struct acl_action *a) {
    struct jxbridge *B = bridge_of(ev);
    if (B->switching_mode && !ev->ingress && ev->port && ev->port->kind == JXBRIDGE_PORT_LOCAL) {
        TRACE(ev, "[ACL]              Drop (with event).\n");
        acl_emit_event(ev, a, "mgmt_in_drop", 0);
    } else if (B->switching_mode) {
        TRACE(ev, "[ACL]              Drop (no event).\n");
    } else {
        TRACE(ev, "[ACL]              Drop.\n");
    }
    free_frame(ev);
}

void a_pass(struct acl_eval *ev, struct acl_action *) {
    ev->stop = 1;
}

void a_bypass_vlan(struct acl_eval *ev, struct acl_action *) {
    JXBRIDGE_CB(ev->skb)->flags |= JXBRIDGE_CB_F_BYPASS_VLAN;
    ev->stop = 1;
}

void a_copy(struct acl_eval *ev, struct acl_action *a) {
    struct jxbridge_port *to = acl_port_resolve(bridge_of(ev), &a->port);
    struct sk_buff *clone = to ? skb_clone(ev->skb, GFP_ATOMIC) : nullptr;
    if (!clone) {
        TRACE(ev, "[ACL]              Unable to copy to %s.\n", a->port.name);
        return;
    }
    jxbridge_skb_mark_copy(ev->skb, clone, &acl_copy_counter);
    JXBRIDGE_CB(clone)->port_no = (u16)to->port_no;
    clone->dev = to->dev;
    jxbridge_pcap_frame(bridge_of(ev), clone);
    jxbridge_unqueued_xmit(clone);
}

void a_forward(struct acl_eval *ev, struct acl_action *a) {
    struct jxbridge_port *to = acl_port_resolve(bridge_of(ev), &a->port);
    if (!to) {
        // The port went: the frame was meant for it alone.
        TRACE(ev, "[ACL]              No port %s to forward to.\n", a->port.name);
        free_frame(ev);
        return;
    }
    struct sk_buff *skb = ev->skb;
    // Forwarding takes the current port as where the frame comes from and
    // makes the named one current.
    JXBRIDGE_CB(skb)->in_port_no = JXBRIDGE_CB(skb)->port_no;
    consumed(ev);
    jxbridge_forward(to, skb);
}

void a_forward_mcast(struct acl_eval *ev, struct acl_action *a) {
    u32 id = par<u32>(a);
    TRACE(ev, "[ACL]              acl_action_forward_mcast. Using group_id=%d\n", (int)id);
    struct jxbridge *B = bridge_of(ev);
    struct oo_mcast_group g;
    int rc = oo_mcast_group_get(B, id, &g);
    if (rc) {
        if (acl_dbg(ev->acl))
            printk(KERN_INFO "[ACL] FUNCTION=%s,LINE=%d, (groupid=%d) failed. rv=%d, g=%p\n",
                   __func__, __LINE__, (int)id, rc, (void *)nullptr);
        return;
    }
    B->pon_mcast_gem = JXBRIDGE_PON_NO_MCAST_GEM;
    struct jxbridge_port *in = ev->port;
    for (u32 olt = 0; olt < OO_MCAST_MEMBERS; olt++) {
        if (!g.gem[olt])
            continue;
        struct jxbridge_port *p = oo_gem_port_get(B, olt, g.gem[olt]);
        if (!p) {
            printk(KERN_INFO "[ACL] FUNCTION=%s,LINE=%d, (olt_id=%d, gem=%d) failed. Continue to "
                             "next port in the list.\n",
                   __func__, __LINE__, (int)olt, (int)g.gem[olt]);
            continue;
        }
        struct sk_buff *clone = skb_clone(ev->skb, GFP_ATOMIC);
        if (!clone) {
            printk(KERN_INFO "[ACL] FUNCTION=%s,LINE=%d, skb_clone() failed.\n", __func__,
                   __LINE__);
            continue;
        }
        jxbridge_skb_mark_copy(ev->skb, clone, &acl_copy_counter);
        struct jxbridge_skb_cb *cb = JXBRIDGE_CB(clone);
        cb->in_port_no = in ? (u16)in->port_no : JXBRIDGE_NO_PORT;
        clone->pkt_type = JXBRIDGE_PKT_MCAST;
        B->pon_mcast_gem = p->gem_id;
        TRACE(ev, "[ACL]              Forward frame to multiple ports. Forward frame to %s.\n",
              p->dev->name);
        jxbridge_forward(p, clone);
    }
    free_frame(ev);
}

void a_counter_inc(struct acl_eval *ev, struct acl_action *a) {
    if (!a->counter)
        return;
    TRACE(ev, "[ACL]              Change counter %s.\n", a->counter->name);
    acl_counter_count(ev, a->counter);
}

void a_log(struct acl_eval *ev, struct acl_action *a) {
    if (a->counter)
        TRACE(ev, "[ACL]              Count in %s.\n", a->counter->name);
    a_counter_inc(ev, a);
}

void a_print(struct acl_eval *ev, struct acl_action *) {
    jxbridge_trace_frame_data("[ACL]          ", ev->skb->data, ev->skb->len,
                              bridge_of(ev)->outer_ethertype);
}

void a_assign_queue(struct acl_eval *ev, struct acl_action *a) {
    if (!writable(ev))
        return;
    ev->skb->priority = par<u32>(a);
    TRACE(ev, "[ACL]              Assigned priority %d.\n", (int)ev->skb->priority);
}

void a_goto(struct acl_eval *ev, struct acl_action *a) {
    ev->goto_target = par<u32>(a);
}

void a_hide(struct acl_eval *ev, struct acl_action *) {
    ev->hide = 1;
}

void add_tag(struct acl_eval *ev, struct acl_action *a, u16 tpid, const char *what) {
    if (!writable(ev))
        return;
    u16 tag = par<p_tags>(a).tag;
    reparse(ev, vlan_add_tag(ev->skb, tpid, tag));
    if (ev->skb)
        TRACE(ev, "[ACL]              Added %s %d.\n", what, tag);
}
void a_add_stag(struct acl_eval *ev, struct acl_action *a) {
    add_tag(ev, a, bridge_of(ev)->outer_ethertype, "S-tag");
}
void a_add_ctag(struct acl_eval *ev, struct acl_action *a) {
    add_tag(ev, a, RULE_ETH_P_8021Q, "C-tag");
}

// n 1: the outer tag, 2: the inner one; the parse says each is in the frame.
void set_tag(struct acl_eval *ev, struct acl_action *a, int n) {
    u16 off = n == 1 ? ev->f.outer : ev->f.inner;
    if (!off) {
        TRACE(ev, "[ACL]              No Tag to modify.\n");
        return;
    }
    if (!writable(ev))
        return;
    p_tags t = par<p_tags>(a);
    u16 old;
    rule_set_tci(ev->skb->data, off, t.mask, t.tag, &old);
    u16 tci = rule_get16(ev->skb->data + off);
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(ev->skb);
    (n == 1 ? cb->outer_tci : cb->inner_tci) = htons(tci);
    TRACE(ev, "[ACL]              Set Tag %d: (0x%04x & 0x%04x) | 0x%04x = 0x%04x (%d).\n", n, old,
          (u16)~t.mask, t.tag, tci, tci);
}
void a_set_tag1(struct acl_eval *ev, struct acl_action *a) {
    set_tag(ev, a, 1);
}
// An inner tag must be there: four bytes further on is the IP header otherwise.
void a_set_tag2(struct acl_eval *ev, struct acl_action *a) {
    set_tag(ev, a, 2);
}

void a_set_stag(struct acl_eval *ev, struct acl_action *a) {
    u32 mode;
    const char *name = ev->port ? ev->port->dev->name : "";
    if (!ev->port || vlan_qinq_get_port_mode(ev->port, &mode))
        return;
    if (mode == VLAN_QINQ_BRIDGE) {
        TRACE(ev, "[ACL]              Port '%s' in bridge mode. No S-tag in bridge mode. Return\n",
              name);
    } else if (mode == VLAN_QINQ_TUNNEL && ev->f.outer) {
        TRACE(ev, "[ACL]              Port '%s' in tunnel mode. Modify S-tag >> Modify outer tag\n",
              name);
        set_tag(ev, a, 1);
    }
}

void a_set_ctag(struct acl_eval *ev, struct acl_action *a) {
    u32 mode;
    const char *name = ev->port ? ev->port->dev->name : "";
    if (!ev->port || vlan_qinq_get_port_mode(ev->port, &mode))
        return;
    if (mode == VLAN_QINQ_BRIDGE && ev->f.outer &&
        rule_get16(ev->skb->data + 12) == RULE_ETH_P_8021Q) {
        TRACE(ev,
              "[ACL]              Port '%s' in bridge mode. Modify C-tag >> Modify Outer tag.\n",
              name);
        set_tag(ev, a, 1);
    } else if (mode == VLAN_QINQ_TUNNEL && ev->f.inner) {
        TRACE(ev,
              "[ACL]              Port '%s' in tunnel mode. Modify C-tag >> Modify inner tag.\n",
              name);
        set_tag(ev, a, 2);
    }
}

// The VLAN engine removes by the control block's tags: give it the frame's.
void a_remove_tag1(struct acl_eval *ev, struct acl_action *) {
    if (!ev->f.outer) {
        TRACE(ev, "[ACL]              No tag to remove.\n");
        return;
    }
    if (!writable(ev))
        return;
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(ev->skb);
    cb->outer_tci = htons(rule_get16(ev->skb->data + ev->f.outer));
    cb->inner_tci =
        ev->f.inner ? htons(rule_get16(ev->skb->data + ev->f.inner)) : htons(JXBRIDGE_NO_VID);
    reparse(ev, vlan_remove_outer_tag(ev->skb));
    TRACE(ev, "[ACL]              Remove tag 1.\n");
}

void a_remove_tag2(struct acl_eval *ev, struct acl_action *) {
    if (!ev->f.outer || !ev->f.inner) {
        TRACE(ev, "[ACL]              No tag to remove.\n");
        return;
    }
    if (!writable(ev))
        return;
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(ev->skb);
    cb->outer_tci = htons(rule_get16(ev->skb->data + ev->f.outer));
    cb->inner_tci = htons(rule_get16(ev->skb->data + ev->f.inner));
    reparse(ev, vlan_remove_inner_tag(ev->skb));
    TRACE(ev, "[ACL]              Remove tag 2.\n");
}

void a_set_ipv4_dscp(struct acl_eval *ev, struct acl_action *a) {
    u8 v = a->param[0];
    if (ev->f.ipv4) {
        u32 ihl = ev->f.ihl;
        if (!rule_ipv4_csum_ok(ev->skb->data + ev->f.l3, ihl) || !writable(ev))
            return;
        u8 *ip = ev->skb->data + ev->f.l3;
        ip[1] = (u8)((ip[1] & 0x03) | v);
        rule_ipv4_csum_set(ip, ihl);
        JXBRIDGE_CB(ev->skb)->engine8[1] = ip[1];
        TRACE(ev, "[ACL]              Set DSCP 0x%02x.\n", v);
    } else if (ev->f.ipv6) {
        if (!writable(ev))
            return;
        u8 *ip = ev->skb->data + ev->f.l3;
        u16 w = rule_get16(ip);
        u8 tc = (u8)(w >> 4);
        tc = (u8)((v & 0xFC) | (tc & 0x03));
        rule_put16(ip, (u16)((w & 0xF00F) | tc << 4));
        JXBRIDGE_CB(ev->skb)->engine8[1] = v;
        TRACE(ev, "[ACL]            Set IPv6 DSCP 0x%02x.\n", v);
    }
}

void a_no_learn(struct acl_eval *ev, struct acl_action *) {
    JXBRIDGE_CB(ev->skb)->flags |= JXBRIDGE_CB_F_NO_LEARN;
}

void a_broadcast(struct acl_eval *ev, struct acl_action *) {
    ev->skb->pkt_type = JXBRIDGE_PKT_BCAST;
}

// Only a frame that came from a bridge port can be learned.
void a_learn(struct acl_eval *ev, struct acl_action *) {
    struct jxbridge_port *p = acl_dev_port(ev->skb->dev);
    if (!p || ev->skb->len < 12)
        return;
    u16 vid = ntohs(JXBRIDGE_CB(ev->skb)->outer_tci) & 0xFFF;
    mac_table_learn(bridge_of(ev)->mac_table, p, ev->skb->data + 6, vid);
}

void a_switch(struct acl_eval *ev, struct acl_action *) {
    TRACE(ev, "[ACL]              Switch.\n");
    struct sk_buff *skb = ev->skb;
    struct jxbridge_port *p = acl_dev_port(skb->dev);
    if (p && p->kind == JXBRIDGE_PORT_PON_OLT) {
        u32 gem = skb->priority >> 16;
        skb->priority = gem;
        p = jxbridge_get_port_by_gem(skb->dev, gem);
    }
    if (!p) {
        // Nowhere to switch from: the frame cannot go on.
        free_frame(ev);
        return;
    }
    consumed(ev);
    jxbridge_process_frame_forward(bridge_of(ev), skb, p);
}

void a_no_l2cp(struct acl_eval *ev, struct acl_action *) {
    JXBRIDGE_CB(ev->skb)->flag_byte |= JXBRIDGE_CB_B_NO_L2CP;
    TRACE(ev, "[ACL]              No L2CP processing.\n");
}

void a_no_flow(struct acl_eval *ev, struct acl_action *) {
    JXBRIDGE_CB(ev->skb)->flag_byte |= JXBRIDGE_CB_B_NO_FLOW;
    TRACE(ev, "[ACL]              No flow creation.\n");
}

void a_flow_group(struct acl_eval *ev, struct acl_action *a) {
    u32 id = par<u32>(a);
    memcpy(JXBRIDGE_CB(ev->skb)->engine25 + (ev->ingress ? 0 : 4), &id, 4);
    TRACE(ev, "[ACL]              %s flow group %d.\n", ev->ingress ? "Ingress" : "Egress",
          (int)id);
}

void a_counter_reset(struct acl_eval *ev, struct acl_action *a) {
    if (!a->counter)
        return;
    a->counter->packets = a->counter->bytes = 0;
    TRACE(ev, "[ACL]              Reset counter %s.\n", a->counter->name);
}

// A copy goes to the host unless the action ends the evaluation: the frame
// itself is still the bridge's to evaluate.
void a_oo_trap_to_host(struct acl_eval *ev, struct acl_action *a) {
    p_trap t = par<p_trap>(a);
    TRACE(ev, "[ACL]              OpenOLT trap_to_host to %.39s%s.\n", t.dev,
          t.stop_after ? ", stop after" : "");
    struct jxbridge_port *p = ev->port;
    if (!p) {
        TRACE(ev, "[ACL]                No input bridge port.\n");
    } else {
        struct sk_buff *skb = skb_copy_expand(ev->skb, 16 + skb_headroom(ev->skb), 0, GFP_ATOMIC);
        if (!skb) {
            TRACE(ev, "[ACL]                Unable to make headroom.\n");
        } else {
            u32 hdr[4] = {skb->len, p->bll_port_no,
                          p->kind == JXBRIDGE_PORT_PON_GEM ? p->gem_id : 0, 1};
            memcpy(skb_push(skb, sizeof(hdr)), hdr, sizeof(hdr));
            TRACE(ev, "[ACL]                %d bytes, IntfID=%d, GEM=%d, FlowID=%d.\n", (int)hdr[0],
                  (int)hdr[1], (int)hdr[2], (int)hdr[3]);
            char name[RULE_NAME_FIELD];
            memcpy(name, t.dev, sizeof(name));
            name[sizeof(name) - 1] = '\0';
            struct net_device *dev = __dev_get_by_name(&init_net, name);
            skb->dev = dev;
            skb->skb_iif = dev ? dev->ifindex : -1;
            skb_reset_mac_header(skb);
            JXBRIDGE_CB(skb)->port_no = JXBRIDGE_NO_PORT;
            jxbridge_unqueued_xmit(skb);
        }
    }
    if (t.stop_after)
        free_frame(ev);
}

void a_event(struct acl_eval *ev, struct acl_action *a) {
    p_event e = par<p_event>(a);
    e.msg[sizeof(e.msg) - 1] = '\0';
    acl_emit_event(ev, a, e.msg, e.rate);
}

} // namespace

const struct acl_action_row acl_action_rows[ACL_ACTIONS] = {
    {"drop", "", a_drop},
    {"pass", "", a_pass},
    {"bypass_vlan", "", a_bypass_vlan},
    {"copy", "<device>", a_copy},
    {"forward", "<device>", a_forward},
    {"forward_mcast", "<group_id>", a_forward_mcast},
    {"log", "<device>", a_log},
    {"print", "", a_print},
    {"assign_queue", "<queue>", a_assign_queue},
    {"goto", "<location>", a_goto},
    {"hide", "", a_hide},
    {"add_stag", "<mask> <tag>", a_add_stag},
    {"add_ctag", "<mask> <tag>", a_add_ctag},
    {"set_tag1", "<mask> <tag>", a_set_tag1},
    {"set_tag2", "<mask> <tag>", a_set_tag2},
    {"set_stag", "<mask> <tag>", a_set_stag},
    {"set_ctag", "<mask> <tag>", a_set_ctag},
    {"remove_tag1", "", a_remove_tag1},
    {"remove_tag2", "", a_remove_tag2},
    {"set_ipv4_dscp", "<dscp>", a_set_ipv4_dscp},
    {"no_learn", "", a_no_learn},
    {"broadcast", "", a_broadcast},
    {"learn", "", a_learn},
    {"switch", nullptr, a_switch},
    {"no_l2cp", "", a_no_l2cp},
    {"no_flow", "", a_no_flow},
    {"flow_group", "<id>", a_flow_group},
    {"counter_reset", "<counter>", a_counter_reset},
    {"counter_inc", "<counter>", a_counter_inc},
    {"oo_trap_to_host", "<device> <stop-after>", a_oo_trap_to_host},
    {"event", "[rate <per-second>] <message>", a_event},
};

void acl_action_list_form(const struct acl_action *a, char *buf, size_t size) {
    if (a->code >= ACL_ACTIONS) {
        snprintf(buf, size, "unknown (%u)", a->code);
        return;
    }
    const char *name = acl_action_rows[a->code].name;
    switch (a->code) {
    case ACL_A_COPY:
    case ACL_A_FORWARD:
        snprintf(buf, size, "%s to %s", name, a->port.name);
        return;
    case ACL_A_FORWARD_MCAST:
        snprintf(buf, size, "%s to group_id %d", name, (int)par<u32>(a));
        return;
    case ACL_A_LOG:
        snprintf(buf, size, "%s to %s", name, a->counter ? a->counter->name : "");
        return;
    case ACL_A_GOTO:
    case ACL_A_FLOW_GROUP:
        snprintf(buf, size, "%s %d", name, (int)par<u32>(a));
        return;
    case ACL_A_ADD_STAG:
    case ACL_A_ADD_CTAG:
        snprintf(buf, size, "%s (tag 0x%04x)", name, par<p_tags>(a).tag);
        return;
    case ACL_A_SET_TAG1:
    case ACL_A_SET_TAG2:
    case ACL_A_SET_STAG:
    case ACL_A_SET_CTAG:
        snprintf(buf, size, "%s (mask 0x%04x, tag 0x%04x)", name, par<p_tags>(a).mask,
                 par<p_tags>(a).tag);
        return;
    case ACL_A_SET_IPV4_DSCP:
        snprintf(buf, size, "%s 0x%02x", name, a->param[0]);
        return;
    case ACL_A_COUNTER_RESET:
        snprintf(buf, size, "%s %s reset", name, a->counter ? a->counter->name : "");
        return;
    case ACL_A_COUNTER_INC:
        snprintf(buf, size, "%s %s inc", name, a->counter ? a->counter->name : "");
        return;
    case ACL_A_OO_TRAP_TO_HOST: {
        p_trap t = par<p_trap>(a);
        snprintf(buf, size, "%s %.39s%s", name, t.dev, t.stop_after ? " stop-after" : "");
        return;
    }
    case ACL_A_EVENT: {
        p_event e = par<p_event>(a);
        snprintf(buf, size, "%s rate %d %.39s", name, (int)e.rate, e.msg);
        return;
    }
    }
    snprintf(buf, size, "%s", name);
}

// Text forms.

namespace {

int word_num(const char *word, const char *what, long long *v) {
    if (!word || !*word || a2num(word, v)) {
        printk(KERN_ERR "[ACL] Expected number, got '%s'.\n", word ? word : "NULL");
        (void)what;
        return -EINVAL;
    }
    return 0;
}

int word_tag(const char *word, const char *what, u16 *v) {
    long long n;
    int rc = word_num(word, what, &n);
    if (rc)
        return rc;
    if (n < 0 || n > 65535) {
        printk(KERN_ERR "Out of range for %s.\n", what);
        return -EINVAL;
    }
    *v = (u16)n;
    return 0;
}

} // namespace

int acl_action_parse(struct acl_engine *acl, char **w, struct acl_action *a) {
    int code = -1;
    for (int i = 0; w[0] && i < ACL_ACTIONS && code < 0; i++)
        if (!strcasecmp(w[0], acl_action_rows[i].name))
            code = i;
    if (code < 0 || code == ACL_A_FORWARD_MCAST || code == ACL_A_SET_STAG ||
        code == ACL_A_SET_CTAG || code == ACL_A_LEARN || code == ACL_A_SWITCH) {
        printk(KERN_ERR "[ACL] Action not recognized: %s\n", w[0] ? w[0] : "NULL");
        return -EINVAL;
    }
    a->code = (u32)code;
    const char *v = w[1];
    long long n;
    int rc;
    switch (code) {
    case ACL_A_COPY:
    case ACL_A_FORWARD: {
        struct jxbridge_port *p;
        if (jxbridge_proc_port(acl->bridge, v, &p))
            return -ENODEV;
        strlcpy(a->port.name, p->dev->name, sizeof(a->port.name));
        strlcpy((char *)a->param, p->dev->name, RULE_NAME_FIELD);
        a->port.port = p;
        break;
    }
    case ACL_A_LOG:
    case ACL_A_COUNTER_RESET:
    case ACL_A_COUNTER_INC:
        if (!v)
            return -ENOARG;
        // Cut to a name's length, as the counter field holds.
        strlcpy((char *)a->param, v, RULE_NAME_FIELD);
        break;
    case ACL_A_ASSIGN_QUEUE:
    case ACL_A_GOTO:
    case ACL_A_FLOW_GROUP: {
        if ((rc = word_num(v, "value", &n)))
            return rc;
        u32 x = (u32)n;
        memcpy(a->param, &x, 4);
        break;
    }
    case ACL_A_SET_IPV4_DSCP:
        if ((rc = word_num(v, "dscp", &n)))
            return rc;
        a->param[0] = (u8)n;
        break;
    case ACL_A_ADD_STAG:
    case ACL_A_ADD_CTAG:
    case ACL_A_SET_TAG1:
    case ACL_A_SET_TAG2: {
        p_tags t;
        if ((rc = word_tag(v, "mask", &t.mask)) ||
            (rc = word_tag(w[1] ? w[2] : nullptr, "tag", &t.tag)))
            return rc;
        memcpy(a->param, &t, sizeof(t));
        break;
    }
    case ACL_A_OO_TRAP_TO_HOST: {
        p_trap t = {};
        if (!v || strlen(v) > RULE_NAME_MAX || !__dev_get_by_name(&init_net, v))
            return -ENODEV;
        strlcpy(t.dev, v, sizeof(t.dev));
        t.stop_after = 1;
        if (w[2]) {
            int b = a2bool(w[2]);
            if (b < 0)
                return -EINVAL;
            t.stop_after = (u32)b;
        }
        memcpy(a->param, &t, sizeof(t));
        break;
    }
    case ACL_A_EVENT: {
        p_event e = {};
        char **m = w + 1;
        if (m[0] && !strcasecmp(m[0], "rate")) {
            if (!m[1]) {
                printk(KERN_ERR "[ACL] Missing message rate.\n");
                return -EINVAL;
            }
            if (a2num(m[1], &n) || n < 0 || n > 0xFFFFFFFFll) {
                printk(KERN_ERR "[ACL] Wrong message rate: %s\n", m[1]);
                return -EINVAL;
            }
            e.rate = (u32)n;
            m += 2;
        }
        if (!m[0] || !*m[0]) {
            printk(KERN_ERR "[ACL] Missing event message.\n");
            return -EINVAL;
        }
        if (strlen(m[0]) > ACL_EVENT_MSG_MAX) {
            printk(KERN_ERR "[ACL] Event message too long (%lu/%lu).\n",
                   (unsigned long)strlen(m[0]), (unsigned long)ACL_EVENT_MSG_MAX);
            return -EINVAL;
        }
        strlcpy(e.msg, m[0], sizeof(e.msg));
        memcpy(a->param, &e, sizeof(e));
        break;
    }
    }
    return 0;
}
