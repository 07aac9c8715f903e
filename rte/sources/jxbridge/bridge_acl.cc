// The ACL engine: the model of a bridge's rules and their evaluation. The
// vocabulary is in bridge_acl_cond.cc and bridge_acl_action.cc, the control
// file in bridge_acl_proc.cc.
#include "bridge_acl.h"

#include <cstdarg>

static const char acl_src[] = "rte/sources/jxbridge/bridge_acl";

// The object caches every bridge's engine shares, made with the first engine.
static struct kmem_cache *acl_entry_cache, *acl_selector_cache, *acl_condition_cache,
    *acl_action_list_cache, *acl_action_cache, *acl_counter_cache, *acl_counter_dpe_cache;
static int acl_cache_users;

static void acl_caches_put() {
    if (--acl_cache_users > 0)
        return;
    struct kmem_cache **all[] = {&acl_entry_cache,       &acl_selector_cache, &acl_condition_cache,
                                 &acl_action_list_cache, &acl_action_cache,   &acl_counter_cache,
                                 &acl_counter_dpe_cache};
    for (struct kmem_cache **c : all)
        if (*c) {
            kmem_cache_destroy(*c);
            *c = nullptr;
        }
}

static int acl_caches_get() {
    if (acl_cache_users++ > 0)
        return 0;
    acl_entry_cache = kmem_cache_create("acl_entry", sizeof(acl_entry), 0, 0, nullptr);
    acl_selector_cache = kmem_cache_create("acl_selector", sizeof(acl_selector), 0, 0, nullptr);
    acl_condition_cache = kmem_cache_create("acl_condition", sizeof(acl_condition), 0, 0, nullptr);
    acl_action_list_cache =
        kmem_cache_create("acl_action_list", sizeof(acl_action_list), 0, 0, nullptr);
    acl_action_cache = kmem_cache_create("acl_action", sizeof(acl_action), 0, 0, nullptr);
    acl_counter_cache = kmem_cache_create("acl_counter", sizeof(acl_counter), 0, 0, nullptr);
    acl_counter_dpe_cache =
        kmem_cache_create("acl_counter_dpe", sizeof(acl_counter_dpe), 0, 0, nullptr);
    if (acl_entry_cache && acl_selector_cache && acl_condition_cache && acl_action_list_cache &&
        acl_action_cache && acl_counter_cache && acl_counter_dpe_cache)
        return 0;
    acl_caches_put();
    return -ENOMEM;
}

template <typename T> static T *acl_new(struct kmem_cache *cache) {
    T *o = (T *)kmem_cache_zalloc(cache, GFP_ATOMIC);
    if (!o)
        printk(KERN_ERR "%s:%d Unable to allocate %d bytes.\n", acl_src, __LINE__, (int)sizeof(T));
    return o;
}

// Configuration errors reach the log only in debug mode; the caller gets the errno.
void acl_err(const struct acl_engine *acl, const char *fmt, ...) {
    if (!acl_dbg(acl))
        return;
    va_list ap;
    va_start(ap, fmt);
    vprintk(fmt, ap);
    va_end(ap);
}

#define ACL_TRACE(acl, ...)                                                                        \
    do {                                                                                           \
        if (acl_dbg(acl))                                                                          \
            jxbridge_trace(__VA_ARGS__);                                                           \
    } while (0)

struct jxbridge_port *acl_dev_port(struct net_device *dev) {
    if (!dev || !(dev->priv_flags & IFF_BRIDGE_PORT))
        return nullptr;
    return (struct jxbridge_port *)dev->rx_handler_data;
}

struct jxbridge_port *acl_port_resolve(struct jxbridge *B, struct acl_port_ref *ref) {
    if (!ref->port && ref->name[0])
        jxbridge_get_port_by_name(B, ref->name, &ref->port);
    return ref->port;
}

// Counters.

static void acl_counter_free(struct acl_counter *c) {
    while (struct acl_counter_dpe *d = c->dpe) {
        c->dpe = d->next;
        kmem_cache_free(acl_counter_dpe_cache, d);
    }
    kmem_cache_free(acl_counter_cache, c);
}

void acl_counter_count(struct acl_eval *ev, struct acl_counter *c) {
    struct sk_buff *skb = ev->skb;
    c->packets++;
    c->bytes += skb->len;
    // A frame that did not come from a bridge port has no detail to count on.
    struct jxbridge_port *p = acl_dev_port(skb->dev);
    if (p) {
        u64 key = p->port_no + (ev->ingress ? ACL_INGRESS_KEY : 0);
        struct acl_counter_dpe **pp = &c->dpe;
        while (*pp && (*pp)->key < key)
            pp = &(*pp)->next;
        struct acl_counter_dpe *d = *pp;
        if (!d || d->key != key) {
            d = (struct acl_counter_dpe *)kmem_cache_zalloc(acl_counter_dpe_cache, GFP_ATOMIC);
            if (!d)
                printk(KERN_ERR "%s:%d No memory.\n", acl_src, __LINE__);
            else {
                d->key = key;
                d->next = *pp;
                *pp = d;
            }
        }
        if (d) {
            d->packets++;
            d->bytes += skb->len;
        }
    }
    u32 fg = c->fgid;
    memcpy(JXBRIDGE_CB(skb)->engine25 + (ev->ingress ? 0 : 4), &fg, 4);
}

struct acl_counter *acl_counter_find(struct acl_engine *acl, const char *name) {
    return rule_named_find(acl->counters, name);
}

int acl_counter_add(struct acl_engine *acl, const char *name) {
    if (acl_counter_find(acl, name)) {
        acl_err(acl, "[ACL] Counter '%s' exists.\n", name);
        return -EEXIST;
    }
    struct acl_counter *c = acl_new<acl_counter>(acl_counter_cache);
    if (!c)
        return -ENOMEM;
    strlcpy(c->name, name, sizeof(c->name));
    if (!jxbridge_flow_event_hook) {
        printk(KERN_INFO "%s:%d jxbridge_flow_event_hook is 0.\n", acl_src, __LINE__);
    } else {
        u32 id = 0;
        if (jxbridge_flow_event(JXBRIDGE_FEV_ACL_COUNTER_ADD, nullptr, &id)) {
            acl_err(acl, "[ACL] No flow groups left.\n");
        } else if (jxbridge_flow_event(JXBRIDGE_FEV_ACL_COUNTER_ID, nullptr,
                                       (void *)(uintptr_t)id)) {
            printk(KERN_ERR "%s:%d Unable to assign FGID %d.\n", acl_src, __LINE__, (int)id);
        } else {
            c->fgid = (u16)id;
        }
    }
    rule_named_push(&acl->counters, c);
    acl->n_counters++;
    return 0;
}

int acl_counter_del(struct acl_engine *acl, const char *name) {
    struct acl_counter *c = acl_counter_find(acl, name);
    if (!c) {
        acl_err(acl, "[ACL] No counter '%s'.\n", name);
        return -ENOENT;
    }
    if (c->refcnt) {
        acl_err(acl, "[ACL] Counter '%s' still in use (%u).\n", name, c->refcnt);
        return -EPERM;
    }
    if (c->fgid)
        jxbridge_flow_event(JXBRIDGE_FEV_ACL_COUNTER_DEL, nullptr, (void *)(uintptr_t)c->fgid);
    rule_unlink(&acl->counters, c);
    acl->n_counters--;
    acl_counter_free(c);
    return 0;
}

int acl_counter_reset_(struct acl_engine *acl, const char *name) {
    struct acl_counter *c = acl_counter_find(acl, name);
    if (!c) {
        acl_err(acl, "[ACL] No counter '%s'.\n", name);
        return -ENOENT;
    }
    c->packets = c->bytes = 0;
    return 0;
}

int acl_counter_get_value(struct acl_engine *acl, const char *name, u64 *packets, u64 *bytes) {
    struct acl_counter *c = acl_counter_find(acl, name);
    if (!c)
        return -ENOENT;
    *packets = c->packets;
    *bytes = c->bytes;
    u64 off[2] = {0, 0};
    if (c->fgid && jxbridge_flow_event_hook &&
        !jxbridge_flow_event(JXBRIDGE_FEV_ACL_COUNTER_READ, nullptr, (void *)(uintptr_t)c->fgid,
                             off)) {
        *packets += off[0];
        *bytes += off[1];
    }
    return 0;
}

int acl_counter_get_flow_group(struct acl_engine *acl, const char *name, u32 *fgid) {
    struct acl_counter *c = acl_counter_find(acl, name);
    if (!c)
        return -ENOENT;
    *fgid = c->fgid;
    return 0;
}

// Selectors and conditions.

struct acl_selector *acl_selector_find(struct acl_engine *acl, const char *name) {
    return rule_named_find(acl->selectors, name);
}

int acl_selector_add(struct acl_engine *acl, const char *name) {
    if (acl_selector_find(acl, name)) {
        acl_err(acl, "[ACL] Sub-selector '%s' already exists.\n", name);
        return -EEXIST;
    }
    struct acl_selector *s = acl_new<acl_selector>(acl_selector_cache);
    if (!s) {
        acl_err(acl, "[ACL] No memory to allocate selector.\n");
        return -ENOMEM;
    }
    strlcpy(s->name, name, sizeof(s->name));
    rule_named_push(&acl->selectors, s);
    acl->n_selectors++;
    ACL_TRACE(acl, "[ACL] Sub-selector '%s' added.\n", name);
    return 0;
}

static void acl_condition_free(struct acl_condition *c) {
    if (c->counter)
        c->counter->refcnt--;
    kfree(c->ether_buf);
    kmem_cache_free(acl_condition_cache, c);
}

int acl_selector_del(struct acl_engine *acl, const char *name) {
    struct acl_selector *s = acl_selector_find(acl, name);
    if (!s) {
        acl_err(acl, "[ACL] No selector '%s'.\n", name);
        return -ENOENT;
    }
    if (s->refcnt) {
        acl_err(acl, "[ACL] Sub-selector '%s' still in use (%u).\n", name, s->refcnt);
        return -EPERM;
    }
    rule_unlink(&acl->selectors, s);
    acl->n_selectors--;
    while (struct acl_condition *c = s->conds) {
        s->conds = c->next;
        acl_condition_free(c);
    }
    kmem_cache_free(acl_selector_cache, s);
    ACL_TRACE(acl, "[ACL] Sub-selector '%s' deleted.\n", name);
    return 0;
}

// The flow lookup fields a condition type needs.
static u8 acl_cond_mask(u32 type) {
    switch (type) {
    case ACL_C_SMAC:
    case ACL_C_DMAC:
        return 0x80;
    case ACL_C_TAG1:
    case ACL_C_TAG2:
    case ACL_C_VID1:
    case ACL_C_VID2:
    case ACL_C_CTAG:
    case ACL_C_STAG:
    case ACL_C_CVID:
    case ACL_C_SVID:
    case ACL_C_TPID1:
    case ACL_C_TPID2:
        return 0x40;
    case ACL_C_ETHER_TYPE:
        return 0x20;
    case ACL_C_IPV4_SADDR:
    case ACL_C_IPV6_SADDR:
        return 0x10;
    case ACL_C_IPV4_DADDR:
    case ACL_C_IPV6_DADDR:
        return 0x08;
    case ACL_C_IPV4_DSCP:
    case ACL_C_IPV6_DSCP:
        return 0x04;
    case ACL_C_TCP_SPORT:
    case ACL_C_UDP_SPORT:
    case ACL_C_L4_SPORT:
    case ACL_C_TCP_SPORT_OP:
    case ACL_C_UDP_SPORT_OP:
    case ACL_C_L4_SPORT_OP:
        return 0x02;
    case ACL_C_TCP_DPORT:
    case ACL_C_UDP_DPORT:
    case ACL_C_L4_DPORT:
    case ACL_C_TCP_DPORT_OP:
    case ACL_C_UDP_DPORT_OP:
    case ACL_C_L4_DPORT_OP:
        return 0x01;
    }
    return 0;
}

void acl_notify_flows(struct jxbridge_port *port, int ingress) {
    if (!jxbridge_flow_event_hook || !port || !port->bridge->acl)
        return;
    struct acl_engine *acl = port->bridge->acl;
    u8 mask = 0;
    for (struct acl_entry *e = acl_port_entries(acl, port->port_no, ingress); e; e = e->next)
        for (struct acl_condition *c = e->selector ? e->selector->conds : nullptr; c; c = c->next)
            mask |= acl_cond_mask(c->type);
    u8 *stored = ingress ? &port->lookup_mask : &port->lookup_mask_egress;
    if (mask != *stored) {
        if (port->lookup_mask_debug) {
            static const char *const names[] = {" L2_MAC", " L2_VLAN", " L2_ETYPE", " L3_SIP",
                                                " L3_DIP", " L3_DSCP", " L4_SPORT", " L4_DPORT"};
            const char *n[8];
            for (int b = 0; b < 8; b++)
                n[b] = (mask & (0x80 >> b)) ? names[b] : "";
            printk(KERN_INFO "[%s] %s, direction=%s, port=%d, MASK=0x%x>>0x%x (%s%s%s%s%s%s%s%s)\n",
                   "jxBridge_LKUPMask", "acl_flows_lkup_mask_port_update",
                   ingress ? "INGRESS" : "EGRESS", (int)port->port_no, *stored, mask, n[0], n[1],
                   n[2], n[3], n[4], n[5], n[6], n[7]);
        }
        *stored = mask;
        jxbridge_flow_event(JXBRIDGE_FEV_PORT_REEVALUATE, port, (void *)(uintptr_t)ingress);
    }
    jxbridge_flow_event(ingress ? JXBRIDGE_FEV_ACL_INSTALL : JXBRIDGE_FEV_ACL_REMOVE, port);
}

// Every port and direction whose entry list uses the selector or list.
static void acl_notify_users(struct acl_engine *acl, const struct acl_selector *s,
                             const struct acl_action_list *al) {
    struct jxbridge *B = acl->bridge;
    if (B->switching_mode == JXBRIDGE_SWITCHING_NORMAL)
        return;
    for (u32 i = 2 * B->max_ports; i-- > 0;) {
        struct jxbridge_port *p = B->ports[i / 2];
        if (!p)
            continue;
        bool uses = false;
        for (struct acl_entry *e = acl->entries[i]; e && !uses; e = e->next)
            uses = (s && e->selector == s) || (al && e->action_list == al);
        if (al) {
            struct acl_entry *d = (i & 1) ? &acl->def_ingress[i / 2] : &acl->def_egress[i / 2];
            uses = uses || d->action_list == al;
        }
        if (uses)
            acl_notify_flows(p, (int)(i & 1));
    }
}

int acl_condition_add(struct acl_engine *acl, const char *selector, struct acl_condition *proto) {
    int rc = 0;
    struct acl_selector *s = nullptr;
    struct acl_counter *counter = nullptr;
    struct acl_condition *c = nullptr;
    if (proto->type >= ACL_CONDITIONS || !acl_cond_rows[proto->type].fn) {
        acl_err(acl, "[ACL] Condition code %u is unknown.\n", proto->type);
        rc = -EINVAL;
    } else if (!(s = acl_selector_find(acl, selector))) {
        acl_err(acl, "[ACL] No selector '%s'.\n", selector);
        rc = -ENOENT;
    } else if (proto->type == ACL_C_COUNTER) {
        char name[RULE_NAME_FIELD];
        if (rule_name_from_field(name, (const char *)proto->param, RULE_NAME_FIELD) ||
            !(counter = acl_counter_find(acl, name))) {
            acl_err(acl, "[ACL] No counter.\n");
            rc = -ENOENT;
        }
    }
    if (!rc && !(c = acl_new<acl_condition>(acl_condition_cache))) {
        acl_err(acl, "[ACL] No memory.\n");
        rc = -ENOMEM;
    }
    if (!rc && rule_number_find(s->conds, proto->number)) {
        acl_err(acl, "[ACL] Number %u exists.\n", proto->number);
        rc = -EEXIST;
    }
    if (rc) {
        kfree(proto->ether_buf);
        proto->ether_buf = nullptr;
        if (c)
            kmem_cache_free(acl_condition_cache, c);
        return rc;
    }
    *c = *proto;
    c->next = nullptr;
    const struct acl_cond_row *row = &acl_cond_rows[c->type];
    c->fn = c->negate && row->fn_negated ? row->fn_negated : row->fn;
    c->counter = counter;
    if (counter)
        counter->refcnt++;
    proto->ether_buf = nullptr;
    u8 *p = c->param;
    switch (c->type) {
    case ACL_C_SMAC:
    case ACL_C_DMAC:
        for (int i = 0; i < 6; i++)
            p[i] &= p[6 + i];
        break;
    case ACL_C_TAG1:
    case ACL_C_TAG2:
    case ACL_C_CTAG:
    case ACL_C_STAG: {
        u16 v[2];
        memcpy(v, p, 4);
        v[0] &= v[1];
        memcpy(p, v, 4);
        break;
    }
    case ACL_C_VID1:
    case ACL_C_VID2:
    case ACL_C_CVID:
    case ACL_C_SVID: {
        u16 v[2];
        memcpy(v, p, 4);
        if (v[0] > v[1])
            std::swap(v[0], v[1]);
        memcpy(p, v, 4);
        break;
    }
    case ACL_C_IPV4_SADDR:
    case ACL_C_IPV4_DADDR: {
        u32 v[2];
        memcpy(v, p, 8);
        v[0] &= v[1];
        memcpy(p, v, 8);
        break;
    }
    case ACL_C_IPV6_SADDR:
    case ACL_C_IPV6_DADDR:
        for (int i = 0; i < 16; i++)
            p[i] &= p[16 + i];
        break;
    case ACL_C_ETHER_DATA: {
        u32 len;
        memcpy(&len, p + 4, 4);
        for (u32 i = 0; i < len; i++)
            c->ether_buf[len + i] &= c->ether_buf[i];
        break;
    }
    }
    rule_number_insert(&s->conds, c);
    ACL_TRACE(acl, "[ACL] Condition %u added.\n", c->number);
    acl_notify_users(acl, s, nullptr);
    return 0;
}

int acl_condition_del(struct acl_engine *acl, const char *selector, u32 number) {
    struct acl_selector *s = acl_selector_find(acl, selector);
    if (!s) {
        acl_err(acl, "[ACL] No selector '%s'.\n", selector);
        return -ENOENT;
    }
    struct acl_condition *c = rule_number_find(s->conds, number);
    if (!c) {
        acl_err(acl, "[ACL] Unknown.\n");
        return -ENOENT;
    }
    rule_unlink(&s->conds, c);
    acl_condition_free(c);
    ACL_TRACE(acl, "[ACL] Condition %d deleted from selector '%s'.\n", (int)number, selector);
    acl_notify_users(acl, s, nullptr);
    return 0;
}

int acl_condition_renumber(struct acl_engine *acl, const char *selector, u32 first, u32 last,
                           u32 new_first, u32 step) {
    struct acl_selector *s = acl_selector_find(acl, selector);
    if (!s) {
        acl_err(acl, "[ACL] No selector '%s'.\n", selector);
        return -ENOENT;
    }
    rule_renumber(s->conds, first, last, new_first, step);
    return 0;
}

// Action lists and actions.

struct acl_action_list *acl_action_list_find(struct acl_engine *acl, const char *name) {
    return rule_named_find(acl->lists, name);
}

int acl_action_list_add(struct acl_engine *acl, const char *name) {
    if (acl_action_list_find(acl, name)) {
        acl_err(acl, "[ACL] Action list '%s' exists.\n", name);
        return -EEXIST;
    }
    struct acl_action_list *l = acl_new<acl_action_list>(acl_action_list_cache);
    if (!l)
        return -ENOMEM;
    strlcpy(l->name, name, sizeof(l->name));
    rule_named_push(&acl->lists, l);
    acl->n_lists++;
    ACL_TRACE(acl, "[ACL] Created action list '%s'.\n", name);
    return 0;
}

static void acl_action_free(struct acl_action *a) {
    if (a->counter)
        a->counter->refcnt--;
    kmem_cache_free(acl_action_cache, a);
}

int acl_action_list_del(struct acl_engine *acl, const char *name) {
    struct acl_action_list *l = name && *name ? acl_action_list_find(acl, name) : nullptr;
    if (!l) {
        acl_err(acl, "[ACL] No action list '%s'.\n", name ? name : "");
        return -ENOENT;
    }
    if (l->refcnt) {
        acl_err(acl, "[ACL] Action list '%s' still in use (%u).\n", name, l->refcnt);
        return -EPERM;
    }
    rule_unlink(&acl->lists, l);
    acl->n_lists--;
    while (struct acl_action *a = l->actions) {
        l->actions = a->next;
        acl_action_free(a);
    }
    kmem_cache_free(acl_action_list_cache, l);
    ACL_TRACE(acl, "[ACL] Deleted action list '%s'.\n", name);
    return 0;
}

static bool acl_action_has_counter(u32 code) {
    return code == ACL_A_LOG || code == ACL_A_COUNTER_RESET || code == ACL_A_COUNTER_INC;
}

int acl_action_add(struct acl_engine *acl, const char *list, const struct acl_action *proto) {
    if (proto->code >= ACL_ACTIONS) {
        acl_err(acl, "[ACL] Invalid action code (%u).\n", proto->code);
        return -EINVAL;
    }
    struct acl_counter *counter = nullptr;
    if (acl_action_has_counter(proto->code)) {
        char name[RULE_NAME_FIELD];
        if (rule_name_from_field(name, (const char *)proto->param, RULE_NAME_FIELD) ||
            !(counter = acl_counter_find(acl, name))) {
            acl_err(acl, "[ACL] No counter '%.39s'.\n", (const char *)proto->param);
            return -ENOENT;
        }
    }
    struct acl_action_list *l = acl_action_list_find(acl, list);
    if (!l) {
        acl_err(acl, "[ACL] No action list '%s'.\n", list);
        return -ENOENT;
    }
    if (rule_number_find(l->actions, proto->number)) {
        acl_err(acl, "[ACL] Action number %d already exists.\n", (int)proto->number);
        return -EEXIST;
    }
    struct acl_action *a = acl_new<acl_action>(acl_action_cache);
    if (!a)
        return -ENOMEM;
    *a = *proto;
    a->next = nullptr;
    a->fn = acl_action_rows[a->code].fn;
    a->counter = counter;
    a->events = 0;
    a->deadline = 0;
    if (counter)
        counter->refcnt++;
    rule_number_insert(&l->actions, a);
    ACL_TRACE(acl, "[ACL] Added action %u@%p to list '%s' @%p.\n", a->number, (void *)a, list,
              (void *)l);
    acl_notify_users(acl, nullptr, l);
    return 0;
}

int acl_action_del(struct acl_engine *acl, const char *list, u32 number) {
    struct acl_action_list *l = acl_action_list_find(acl, list);
    if (!l) {
        acl_err(acl, "[ACL] No action list '%s'.\n", list);
        return -ENOENT;
    }
    struct acl_action *a = rule_number_find(l->actions, number);
    if (!a) {
        acl_err(acl, "[ACL] Unknown.\n");
        return -ENOENT;
    }
    rule_unlink(&l->actions, a);
    acl_action_free(a);
    return 0;
}

int acl_action_renumber(struct acl_engine *acl, const char *list, u32 first, u32 last,
                        u32 new_first, u32 step) {
    struct acl_action_list *l = acl_action_list_find(acl, list);
    if (!l) {
        acl_err(acl, "[ACL] No action list '%s'.\n", list);
        return -ENOENT;
    }
    rule_renumber(l->actions, first, last, new_first, step);
    return 0;
}

// Port entries.

struct acl_entry *acl_port_entries(struct acl_engine *acl, u32 port_no, int ingress) {
    if (port_no >= acl->bridge->max_ports)
        return nullptr;
    return acl->entries[2 * port_no + (ingress ? 1 : 0)];
}

int acl_port_entry_add(struct acl_engine *acl, struct jxbridge_port *port, int ingress, u32 number,
                       const char *selector, const char *action_list) {
    if (!port) {
        acl_err(acl, "[ACL] No bridge device.\n");
        return -ENODEV;
    }
    struct acl_selector *s = acl_selector_find(acl, selector);
    if (!s) {
        acl_err(acl, "[ACL] No selector list '%s'.\n", selector);
        return -ENOENT;
    }
    struct acl_action_list *l =
        action_list && *action_list ? acl_action_list_find(acl, action_list) : nullptr;
    if (!l) {
        acl_err(acl, "[ACL] No action list '%s'.\n", action_list ? action_list : "");
        return -ENOENT;
    }
    if (port->port_no >= acl->bridge->max_ports) {
        acl_err(acl, "[ACL] Invalid port '%s'.\n", port->dev->name);
        return -ENOENT;
    }
    struct acl_entry **head = &acl->entries[2 * port->port_no + (ingress ? 1 : 0)];
    if (rule_number_find(*head, number)) {
        acl_err(acl, "[ACL] Port entry %u already exists.\n", number);
        return -EEXIST;
    }
    struct acl_entry *e = acl_new<acl_entry>(acl_entry_cache);
    if (!e)
        return -ENOMEM;
    e->number = number;
    e->selector = s;
    e->action_list = l;
    s->refcnt++;
    l->refcnt++;
    int where = rule_number_insert(head, e);
    ACL_TRACE(acl, "%s",
              where == 0   ? "[ACL] Added first.\n"
              : where == 1 ? "[ACL] Added.\n"
                           : "[ACL] Added at end.\n");
    acl_notify_flows(port, ingress);
    return 0;
}

static void acl_entry_free(struct acl_entry *e) {
    if (e->selector)
        e->selector->refcnt--;
    if (e->action_list)
        e->action_list->refcnt--;
    kmem_cache_free(acl_entry_cache, e);
}

int acl_port_entry_del(struct acl_engine *acl, struct jxbridge_port *port, int ingress,
                       u32 number) {
    if (!port || port->port_no >= acl->bridge->max_ports)
        return -ENODEV;
    struct acl_entry **head = &acl->entries[2 * port->port_no + (ingress ? 1 : 0)];
    struct acl_entry *e = rule_number_find(*head, number);
    if (!e) {
        acl_err(acl, "[ACL] No port entry.\n");
        return -ENOENT;
    }
    rule_unlink(head, e);
    acl_entry_free(e);
    acl_notify_flows(port, ingress);
    return 0;
}

int acl_port_entry_renumber(struct acl_engine *acl, struct jxbridge_port *port, int ingress,
                            u32 first, u32 last, u32 new_first, u32 step) {
    if (!port || port->port_no >= acl->bridge->max_ports)
        return -ENOENT;
    rule_renumber(acl->entries[2 * port->port_no + (ingress ? 1 : 0)], first, last, new_first,
                  step);
    return 0;
}

// Default entries.

static int acl_assign_default(struct acl_engine *acl, struct acl_entry *d, const char *selector,
                              const char *action_list) {
    struct acl_selector *s = nullptr;
    struct acl_action_list *l = nullptr;
    if (selector && !(s = acl_selector_find(acl, selector))) {
        acl_err(acl, "[ACL] Selector '%s' doesn't exist.\n", selector);
        return -EINVAL;
    }
    if (action_list && (!*action_list || !(l = acl_action_list_find(acl, action_list)))) {
        acl_err(acl, "[ACL] Action list '%s' doesn't exist.\n", action_list);
        return -EINVAL;
    }
    if (d->selector)
        d->selector->refcnt--;
    if (d->action_list)
        d->action_list->refcnt--;
    d->selector = s;
    d->action_list = l;
    if (s)
        s->refcnt++;
    if (l)
        l->refcnt++;
    return 0;
}

int acl_default_action_list_set(struct acl_engine *acl, struct jxbridge_port *port, int ingress,
                                const char *selector, const char *action_list) {
    if (!port || port->port_no >= acl->bridge->max_ports)
        return -ENODEV;
    struct acl_entry *d =
        ingress ? &acl->def_ingress[port->port_no] : &acl->def_egress[port->port_no];
    int rc = acl_assign_default(acl, d, selector, action_list);
    if (!rc)
        ACL_TRACE(acl, "[ACL] Default %sgress action list for '%s' set to '%s --> %s'.\n",
                  ingress ? "in" : "e", port->dev->name, selector ? selector : "",
                  action_list ? action_list : "");
    return rc;
}

static void acl_defaults_derive(struct acl_engine *acl) {
    struct jxbridge *B = acl->bridge;
    const char *in = acl_default_pass ? "pass" : "drop";
    for (u32 i = 0; i < B->max_ports; i++) {
        const char *e_list = "pass", *i_list = in;
        struct jxbridge_port *p = B->ports[i];
        if (B->switching_mode == JXBRIDGE_SWITCHING_CORD && p) {
            if (p->kind == JXBRIDGE_PORT_PON_GEM)
                e_list = i_list = "drop";
            else if (p->kind == JXBRIDGE_PORT_LOCAL && !strcmp(p->dev->name, "ont0"))
                e_list = i_list = "pass";
        }
        acl_assign_default(acl, &acl->def_egress[i], "true", e_list);
        acl_assign_default(acl, &acl->def_ingress[i], "true", i_list);
    }
}

void acl_default_action_list_switching_mode_update(struct acl_engine *acl) {
    if (!acl)
        return;
    for (u32 i = 0; i < acl->bridge->max_ports; i++) {
        acl_assign_default(acl, &acl->def_egress[i], nullptr, nullptr);
        acl_assign_default(acl, &acl->def_ingress[i], nullptr, nullptr);
    }
    acl_defaults_derive(acl);
}

void acl_set_debug(struct acl_engine *acl, u32 value) {
    if (acl)
        acl->debug = value;
}

// Evaluation.

// What every evaluation makes of the parse, entries or none: a short IPv4
// header drops the frame (false, the frame freed); the network and transport
// headers and, on ingress, the TOS are noted in the frame.
[[gnu::cold, gnu::noinline]] static bool acl_drop_bad_ihl(struct acl_engine *acl,
                                                          struct sk_buff *skb, u8 ihl) {
    ACL_TRACE(acl, "[ACL]              IPv4 IHL=%d is less than minimum 5. Drop frame.\n", ihl);
    kfree_skb(skb);
    return false;
}

static inline bool acl_frame_note(struct acl_engine *acl, struct sk_buff *skb,
                                  const struct rule_frame *f, bool ingress) {
    if (f->bad_ihl) [[unlikely]]
        return acl_drop_bad_ihl(acl, skb, f->ihl);
    if (f->etype_off) {
        skb->protocol = htons(f->ethertype);
        skb_set_network_header(skb, f->l3);
    }
    skb->transport_header = 0xFFFF;
    if (f->l4)
        skb_set_transport_header(skb, f->l4);
    if (f->ipv4 && ingress) {
        u8 tos = skb->data[f->l3 + 1];
        JXBRIDGE_CB(skb)->engine8[0] = tos;
        JXBRIDGE_CB(skb)->engine8[1] = tos;
        ACL_TRACE(acl, "[ACL]              Read frame TOS=0x%x.\n", tos);
    }
    return true;
}

bool acl_parse_frame(struct acl_eval *ev) {
    rule_parse_frame(ev->skb->data, ev->skb->len, ev->acl->bridge->outer_ethertype, &ev->f);
    if (acl_frame_note(ev->acl, ev->skb, &ev->f, ev->ingress))
        return true;
    ev->skb = nullptr;
    ev->consumed = 1;
    return false;
}

// A port and direction with no entries: the default entry does not run
// either, so only the parse's own effects remain, at a fraction of a walk's cost.
// Out of line like the walk, so that the dispatch to either saves no registers.
[[gnu::noinline]] static struct sk_buff *acl_skb_unlisted(struct acl_engine *acl,
                                                          struct sk_buff *skb, bool ingress) {
    struct rule_frame f;
    const u16 tpid = acl->bridge->outer_ethertype;
    rule_parse_frame(skb->data, skb->len, tpid, &f, false);
    if (f.ipv6) [[unlikely]] // its transport header is behind the extension headers
        rule_parse_frame(skb->data, skb->len, tpid, &f);
    return acl_frame_note(acl, skb, &f, ingress) ? skb : nullptr;
}

// The selector's test with every step in the log: only while debugging.
static bool acl_selector_traced(struct acl_eval *ev, struct acl_selector *s) {
    ACL_TRACE(ev->acl, "[ACL]          Selector '%s' @%p...\n", s->name, (const void *)s);
    bool holds = true;
    for (struct acl_condition *c = s->conds; c && holds; c = c->next)
        holds = c->fn(ev, c);
    ACL_TRACE(ev->acl, "%s", holds ? "[ACL]            MATCH.\n" : "[ACL]            NO MATCH.\n");
    return holds;
}

// Every condition holds; conditions always have their function, set from the
// vocabulary when they are added. Inline: the walk tests every entry of every frame.
static inline bool acl_selector_holds(struct acl_eval *ev, struct acl_selector *s) {
    for (struct acl_condition *c = s->conds; c; c = c->next)
        if (!c->fn(ev, c))
            return false;
    return true;
}

// A selector that may be missing (a default entry's): none always holds.
static bool acl_apply_selector(struct acl_eval *ev, struct acl_selector *s) {
    if (!s)
        return true;
    return ev->traced ? acl_selector_traced(ev, s) : acl_selector_holds(ev, s);
}

static void acl_apply_action_list(struct acl_eval *ev, struct acl_action_list *l) {
    ev->stop = 0;
    if (!l)
        return;
    ACL_TRACE(ev->acl, "[ACL]          Applying action list '%s' @%p...\n", l->name, (void *)l);
    for (struct acl_action *a = l->actions; a; a = a->next) {
        ACL_TRACE(ev->acl, "[ACL]            Action #%d@%p.\n", (int)a->number, (void *)a);
        if (!a->fn) {
            printk(KERN_ERR "%s:%d No action function %u@%p.\n", acl_src, __LINE__, a->code,
                   (void *)a);
            ev->stop = 1;
            break;
        }
        a->fn(ev, a);
        if (ev->stop || ev->goto_target || !ev->skb)
            break;
    }
}

// At most a burst of messages every few seconds, as the kernel's rate limit.
static bool acl_ratelimit() {
    static unsigned long window;
    static int n;
    if (time_after(jiffies, window)) {
        window = jiffies + 5 * HZ;
        n = 0;
    }
    return n++ < 10;
}

// One pending goto counted; false when the limit ends the walk.
static bool acl_goto_count(struct acl_eval *ev, const struct acl_entry *e) {
    if (!ev->goto_target)
        return true;
    if (++ev->goto_count > ev->acl->goto_limit) {
        if (acl_ratelimit())
            printk(KERN_ERR "%s:%d ACL goto limit reached (port no %d %s, [%d] %s --> %s).\n",
                   acl_src, __LINE__, ev->port ? (int)ev->port->port_no : -1,
                   ev->ingress ? "ingress" : "egress", (int)e->number,
                   e->selector ? e->selector->name : "",
                   e->action_list ? e->action_list->name : "");
        return false;
    }
    ev->goto_target = 0;
    return true;
}

static struct sk_buff *acl_result(struct acl_eval *ev) {
    if (ev->consumed) {
        // An action that took the frame may still have left it to us to free.
        if (ev->skb)
            kfree_skb(ev->skb);
        return nullptr;
    }
    return ev->skb;
}

static void acl_eval_init(struct acl_eval *ev, struct acl_engine *acl, struct jxbridge_port *port,
                          struct sk_buff *skb, int ingress) {
    memset(ev, 0, sizeof(*ev));
    ev->acl = acl;
    ev->skb = skb;
    ev->port = port;
    ev->ingress = ingress ? 1 : 0;
    ev->traced = acl_dbg(acl);
    ev->hide = 1; // a port whose entry list is empty never runs its default entry
}

// The first entry from e on whose selector holds. A listed entry's selector
// is never null: the entry holds a reference.
static inline struct acl_entry *acl_next_match(struct acl_eval *ev, struct acl_entry *e,
                                               bool traced) {
    if (traced) [[unlikely]] {
        while (e && !acl_selector_traced(ev, e->selector))
            e = e->next;
        return e;
    }
    while (e && !acl_selector_holds(ev, e->selector))
        e = e->next;
    return e;
}

// The walk of a port's entries, then its default entry. Out of line, as the
// evaluation's set-up would cost every frame otherwise.
[[gnu::noinline]] static struct sk_buff *acl_walk(struct acl_engine *acl,
                                                  struct jxbridge_port *port,
                                                  struct acl_entry *head, struct sk_buff *skb,
                                                  int ingress) {
    struct acl_eval ev;
    acl_eval_init(&ev, acl, port, skb, ingress);
    if (!acl_parse_frame(&ev))
        return nullptr;
    if (!head)
        return ev.skb;
    struct acl_entry *e = head;
    const bool traced = ev.traced;
    ev.hide = 0;
    while ((e = acl_next_match(&ev, e, traced))) {
        ev.entry = e;
        acl_apply_action_list(&ev, e->action_list);
        if (ev.stop || !ev.skb)
            break;
        if (!ev.goto_target) {
            e = e->next;
            continue;
        }
        // A goto is counted where it lands, only goto actions pay for it.
        u32 n = ev.goto_target;
        if (n != e->number) {
            if (n < e->number)
                e = head;
            while (e && e->number < n)
                e = e->next;
        }
        if (e && !acl_goto_count(&ev, e)) {
            ev.stop = 1; // the limit ends the walk without the default entry
            break;
        }
    }
    if (!ev.stop && !ev.hide && ev.skb && !ev.consumed) {
        struct acl_entry *d =
            ev.ingress ? &acl->def_ingress[port->port_no] : &acl->def_egress[port->port_no];
        ev.entry = d;
        ev.goto_target = 0;
        if (acl_apply_selector(&ev, d->selector))
            acl_apply_action_list(&ev, d->action_list);
    }
    return acl_result(&ev);
}

struct sk_buff *acl_skb_port(struct acl_engine *acl, struct jxbridge_port *port,
                             struct sk_buff *skb, int ingress) {
    if (!acl || !skb)
        return skb;
    if (!port) {
        kfree_skb(skb);
        return nullptr;
    }
    struct acl_entry *head = port->port_no < acl->bridge->max_ports
                                 ? acl->entries[2 * port->port_no + (ingress ? 1 : 0)]
                                 : nullptr;
    if (head || acl_dbg(acl))
        return acl_walk(acl, port, head, skb, ingress);
    return acl_skb_unlisted(acl, skb, ingress);
}

struct sk_buff *acl_skb(struct acl_engine *acl, struct sk_buff *skb, int ingress) {
    if (!acl || !skb)
        return skb;
    // By number on the engine's own bridge: a shared device (PVC, GEM) has no port record.
    return acl_skb_port(acl, jxbridge_port_at(acl->bridge, JXBRIDGE_CB(skb)->port_no), skb,
                        ingress);
}

struct sk_buff *acl_skb_cel(struct acl_engine *acl, struct acl_entry *list, struct sk_buff *skb) {
    if (!acl || !skb)
        return skb;
    struct acl_eval ev;
    acl_eval_init(&ev, acl, jxbridge_port_at(acl->bridge, JXBRIDGE_CB(skb)->port_no), skb, 0);
    if (!acl_parse_frame(&ev))
        return nullptr;
    for (struct acl_entry *e = list; e && ev.skb; e = e->next) {
        if (!acl_goto_count(&ev, e))
            break;
        ev.entry = e;
        if (acl_apply_selector(&ev, e->selector)) {
            acl_apply_action_list(&ev, e->action_list);
            if (ev.stop)
                break;
        }
        ev.goto_target = 0;
    }
    return acl_result(&ev);
}

// Events: at most rate per window, the window opening with its first event.
void acl_emit_event(struct acl_eval *ev, struct acl_action *a, const char *msg, u32 rate) {
    if (rate) {
        if (!a->events || time_after(jiffies, a->deadline)) {
            a->events = 0;
            a->deadline = jiffies + ACL_EVENT_WINDOW;
        }
        if (++a->events > rate)
            return;
    }
    struct sk_buff *skb = ev->skb;
    const struct rule_frame *f = &ev->f;
    char src[48] = "?", dst[48] = "?";
    u32 proto = 0;
    const u8 *l3 = skb->data + f->l3;
    if (f->ipv4) {
        snprintf(src, sizeof(src), "%u.%u.%u.%u", l3[12], l3[13], l3[14], l3[15]);
        snprintf(dst, sizeof(dst), "%u.%u.%u.%u", l3[16], l3[17], l3[18], l3[19]);
        proto = l3[9];
    } else if (f->ipv6) {
        for (int k = 0; k < 2; k++) {
            const u8 *p = l3 + 8 + 16 * k;
            snprintf(k ? dst : src, sizeof(src), "%04x:%04x:%04x:%04x:%04x:%04x:%04x:%04x",
                     rule_get16(p), rule_get16(p + 2), rule_get16(p + 4), rule_get16(p + 6),
                     rule_get16(p + 8), rule_get16(p + 10), rule_get16(p + 12), rule_get16(p + 14));
        }
        proto = f->l4proto;
    }
    char text[160];
    snprintf(text, sizeof(text), "acl-event %s %d %c %s %s %d\n", msg,
             ev->port ? (int)ev->port->bll_port_no : 0, ev->ingress ? 'i' : 'e', src, dst,
             (int)proto);
    jxbridge_event_post(ev->acl->bridge, text);
    ACL_TRACE(ev->acl, "[ACL]              Event \"%s\", max rate %d.\n", msg, (int)rate);
}

// The engine of a bridge.

static void acl_fini(struct jxbridge *B) {
    struct acl_engine *acl = B->acl;
    if (!acl)
        return;
    if (acl->entries)
        for (u32 i = 0; i < 2 * B->max_ports; i++)
            while (struct acl_entry *e = acl->entries[i]) {
                acl->entries[i] = e->next;
                acl_entry_free(e);
            }
    for (u32 i = 0; i < B->max_ports; i++) {
        if (acl->def_ingress)
            acl_assign_default(acl, &acl->def_ingress[i], nullptr, nullptr);
        if (acl->def_egress)
            acl_assign_default(acl, &acl->def_egress[i], nullptr, nullptr);
    }
    while (struct acl_action_list *l = acl->lists) {
        l->refcnt = 0;
        acl_action_list_del(acl, l->name);
    }
    while (struct acl_selector *s = acl->selectors) {
        s->refcnt = 0;
        acl_selector_del(acl, s->name);
    }
    while (struct acl_counter *c = acl->counters) {
        c->refcnt = 0;
        acl_counter_del(acl, c->name);
    }
    kfree(acl->entries);
    kfree(acl->def_ingress);
    kfree(acl->def_egress);
    kfree(acl);
    B->acl = nullptr;
    acl_caches_put();
}

static int acl_init(struct jxbridge *B) {
    if (acl_caches_get())
        return -ENOMEM;
    struct acl_engine *acl = (struct acl_engine *)jxbridge_zalloc(sizeof(*acl));
    if (!acl) {
        acl_caches_put();
        return -ENOMEM;
    }
    B->acl = acl;
    acl->bridge = B;
    acl->debug = acl_debug;
    acl->goto_limit = ACL_GOTO_LIMIT;
    acl->entries = (struct acl_entry **)jxbridge_zalloc(2 * B->max_ports * sizeof(acl_entry *));
    acl->def_ingress = (struct acl_entry *)jxbridge_zalloc(B->max_ports * sizeof(acl_entry));
    acl->def_egress = (struct acl_entry *)jxbridge_zalloc(B->max_ports * sizeof(acl_entry));
    struct acl_condition t = {};
    t.type = ACL_C_TRUE;
    struct acl_action pass = {}, drop = {};
    pass.code = ACL_A_PASS;
    drop.code = ACL_A_DROP;
    drop.number = 1;
    if (!acl->entries || !acl->def_ingress || !acl->def_egress || acl_selector_add(acl, "true") ||
        acl_condition_add(acl, "true", &t) || acl_action_list_add(acl, "pass") ||
        acl_action_add(acl, "pass", &pass) || acl_action_list_add(acl, "drop") ||
        acl_action_add(acl, "drop", &drop)) {
        acl_fini(B);
        return -ENOMEM;
    }
    ACL_TRACE(acl, "[ACL] Created default egress action list @%p.\n",
              (void *)acl_action_list_find(acl, "pass"));
    ACL_TRACE(acl, "[ACL] Created default ingress action list @%p.\n",
              (void *)acl_action_list_find(acl, "drop"));
    acl_defaults_derive(acl);
    ACL_TRACE(acl, "[%s/ACL] Initialized (%p).\n", B->dev->name, (void *)acl);
    return 0;
}

// A port that goes takes every cached pointer to it along.
static void acl_port_fini(struct jxbridge_port *port) {
    struct acl_engine *acl = port->bridge->acl;
    if (!acl)
        return;
    for (struct acl_selector *s = acl->selectors; s; s = s->next)
        for (struct acl_condition *c = s->conds; c; c = c->next)
            if (c->port.port == port)
                c->port.port = nullptr;
    for (struct acl_action_list *l = acl->lists; l; l = l->next)
        for (struct acl_action *a = l->actions; a; a = a->next)
            if (a->port.port == port)
                a->port.port = nullptr;
}

static void acl_subsys_debug(void *bridge, int on) {
    acl_set_debug(((struct jxbridge *)bridge)->acl, (u32)on);
}

extern const struct jxbridge_subsys acl_subsys = {
    .tag = "ACL",
    .init = acl_init,
    .fini = acl_fini,
    .port_init = nullptr,
    .port_fini = acl_port_fini,
    .files = {{"acl", 0600, &acl_fops}},
    .set_debug = acl_subsys_debug,
};
