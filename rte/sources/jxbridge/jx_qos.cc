// The QoS classifier: the model of a bridge's DiffServ rules and their
// evaluation. The vocabulary is in jx_qos_cond.cc and jx_qos_action.cc, the
// per-port record and the packet engine in jx_qos_sched.cc, the control file
// in jx_qos_proc.cc.
#include "jx_qos.h"

static const char qos_src[] = "rte/sources/jxbridge/jx_qos";

// The object caches every bridge's classifier shares, made with the first.
static struct kmem_cache *qos_entry_cache, *qos_selector_cache, *qos_condition_cache,
    *qos_action_list_cache, *qos_action_cache;
static int qos_cache_users;

static void qos_caches_put() {
    if (--qos_cache_users > 0)
        return;
    struct kmem_cache **all[] = {&qos_entry_cache, &qos_selector_cache, &qos_condition_cache,
                                 &qos_action_list_cache, &qos_action_cache};
    for (struct kmem_cache **c : all)
        if (*c) {
            kmem_cache_destroy(*c);
            *c = nullptr;
        }
}

static int qos_caches_get() {
    if (qos_cache_users++ > 0)
        return 0;
    qos_entry_cache = kmem_cache_create("qos_entry", sizeof(qos_entry), 0, 0, nullptr);
    qos_selector_cache = kmem_cache_create("qos_selector", sizeof(qos_selector), 0, 0, nullptr);
    qos_condition_cache = kmem_cache_create("qos_condition", sizeof(qos_condition), 0, 0, nullptr);
    qos_action_list_cache =
        kmem_cache_create("qos_action_list", sizeof(qos_action_list), 0, 0, nullptr);
    qos_action_cache = kmem_cache_create("qos_action", sizeof(qos_action), 0, 0, nullptr);
    if (qos_entry_cache && qos_selector_cache && qos_condition_cache && qos_action_list_cache &&
        qos_action_cache)
        return 0;
    qos_caches_put();
    return -ENOMEM;
}

template <typename T> static T *qos_new(struct kmem_cache *cache) {
    T *o = (T *)kmem_cache_zalloc(cache, GFP_ATOMIC);
    if (!o)
        printk(KERN_ERR "%s:%d Unable to allocate %d bytes.\n", qos_src, __LINE__, (int)sizeof(T));
    return o;
}

// Selectors and conditions.

struct qos_selector *qos_selector_find(struct qos_classifier *q, const char *name) {
    return rule_named_find(q->selectors, name);
}

int qos_selector_add(struct qos_classifier *q, const char *name) {
    if (qos_selector_find(q, name)) {
        printk(KERN_ERR "[QOS] Selector '%s' exists.\n", name);
        return -EEXIST;
    }
    struct qos_selector *s = qos_new<qos_selector>(qos_selector_cache);
    if (!s) {
        printk(KERN_ERR "[QOS] No memory.\n");
        return -ENOMEM;
    }
    strlcpy(s->name, name, sizeof(s->name));
    rule_named_push(&q->selectors, s);
    q->n_selectors++;
    QOS_TRACE(q, "[QOS] Selector '%s' added.\n", name);
    return 0;
}

int qos_selector_del(struct qos_classifier *q, const char *name) {
    struct qos_selector *s = qos_selector_find(q, name);
    if (!s) {
        printk(KERN_ERR "[QOS] No selector '%s'.\n", name);
        return -ENOENT;
    }
    if (s->refcnt) {
        printk(KERN_ERR "[QOS] Selector '%s' still in use (%u).\n", name, s->refcnt);
        return -EPERM;
    }
    rule_unlink(&q->selectors, s);
    q->n_selectors--;
    while (struct qos_condition *c = s->conds) {
        s->conds = c->next;
        kmem_cache_free(qos_condition_cache, c);
    }
    kmem_cache_free(qos_selector_cache, s);
    return 0;
}

int qos_selector_rename(struct qos_classifier *q, const char *from, const char *to) {
    struct qos_selector *s = qos_selector_find(q, from);
    if (!s) {
        printk(KERN_ERR "[QOS] No selector '%s'.\n", from);
        return -ENOENT;
    }
    if (qos_selector_find(q, to))
        return -EEXIST;
    strlcpy(s->name, to, sizeof(s->name));
    return 0;
}

int qos_condition_add(struct qos_classifier *q, const char *selector,
                      const struct qos_condition *proto) {
    if (proto->code >= QOS_CONDITIONS) {
        printk(KERN_ERR "[QOS] Condition code %u is unknown.\n", proto->code);
        return -EINVAL;
    }
    struct qos_selector *s = qos_selector_find(q, selector);
    if (!s) {
        printk(KERN_ERR "[QOS] No selector '%s'.\n", selector);
        return -ENOENT;
    }
    if (rule_number_find(s->conds, proto->number)) {
        printk(KERN_ERR "[QOS] Number %u exists.\n", proto->number);
        return -EEXIST;
    }
    struct qos_condition *c = qos_new<qos_condition>(qos_condition_cache);
    if (!c) {
        printk(KERN_ERR "[QOS] No memory.\n");
        return -ENOMEM;
    }
    *c = *proto;
    c->next = nullptr;
    c->fn = qos_cond_rows[c->code].fn;
    c->port.port = nullptr;
    c->port.name[sizeof(c->port.name) - 1] = '\0';
    rule_number_insert(&s->conds, c);
    QOS_TRACE(q, "[QOS] Condition %u added.\n", c->number);
    return 0;
}

int qos_condition_del(struct qos_classifier *q, const char *selector, u32 number) {
    struct qos_selector *s = qos_selector_find(q, selector);
    if (!s) {
        printk(KERN_ERR "[QOS] No selector '%s'.\n", selector);
        return -ENOENT;
    }
    struct qos_condition *c = rule_number_find(s->conds, number);
    if (!c)
        return -ENOENT;
    rule_unlink(&s->conds, c);
    kmem_cache_free(qos_condition_cache, c);
    return 0;
}

// Every item gets step, 2 step, ... in list order.
template <typename T> static void qos_renumber(T *head, u32 step) {
    rule_renumber(head, 0, 0xFFFFFFFF, step, step);
}

int qos_condition_renumber(struct qos_classifier *q, const char *selector, u32 step) {
    struct qos_selector *s = qos_selector_find(q, selector);
    if (s)
        qos_renumber(s->conds, step);
    return 0;
}

// Action lists and actions.

struct qos_action_list *qos_action_list_find(struct qos_classifier *q, const char *name) {
    return rule_named_find(q->lists, name);
}

int qos_action_list_add(struct qos_classifier *q, const char *name) {
    if (qos_action_list_find(q, name)) {
        printk(KERN_ERR "[QOS] Action list '%s' exists.\n", name);
        return -EEXIST;
    }
    struct qos_action_list *l = qos_new<qos_action_list>(qos_action_list_cache);
    if (!l) {
        printk(KERN_ERR "[QOS] No memory.\n");
        return -ENOMEM;
    }
    strlcpy(l->name, name, sizeof(l->name));
    rule_named_push(&q->lists, l);
    q->n_lists++;
    QOS_TRACE(q, "[QOS] Created action list '%s'.\n", name);
    return 0;
}

int qos_action_list_del(struct qos_classifier *q, const char *name) {
    struct qos_action_list *l = qos_action_list_find(q, name);
    if (!l) {
        printk(KERN_ERR "[QOS] No action list '%s'.\n", name);
        return -ENOENT;
    }
    if (l->refcnt) {
        printk(KERN_ERR "[QOS] Action list '%s' still in use (%u).\n", name, l->refcnt);
        return -EPERM;
    }
    rule_unlink(&q->lists, l);
    q->n_lists--;
    while (struct qos_action *a = l->actions) {
        l->actions = a->next;
        kmem_cache_free(qos_action_cache, a);
    }
    kmem_cache_free(qos_action_list_cache, l);
    return 0;
}

int qos_action_list_rename(struct qos_classifier *q, const char *from, const char *to) {
    struct qos_action_list *l = qos_action_list_find(q, from);
    if (!l) {
        printk(KERN_ERR "[QOS] No action list '%s'.\n", from);
        return -ENOENT;
    }
    if (qos_action_list_find(q, to))
        return -EEXIST;
    strlcpy(l->name, to, sizeof(l->name));
    return 0;
}

int qos_action_add(struct qos_classifier *q, const char *list, const struct qos_action *proto) {
    if (proto->code >= QOS_ACTIONS) {
        printk(KERN_ERR "[QOS] Action code %u is unknown.\n", proto->code);
        return -EINVAL;
    }
    struct qos_action_list *l = qos_action_list_find(q, list);
    if (!l) {
        printk(KERN_ERR "[QOS] No action list '%s'.\n", list);
        return -ENOENT;
    }
    if (rule_number_find(l->actions, proto->number)) {
        printk(KERN_ERR "[QOS] Number %u exists.\n", proto->number);
        return -EEXIST;
    }
    struct qos_action *a = qos_new<qos_action>(qos_action_cache);
    if (!a) {
        printk(KERN_ERR "[QOS] No memory.\n");
        return -ENOMEM;
    }
    *a = *proto;
    a->next = nullptr;
    a->fn = qos_action_rows[a->code].fn;
    a->port.port = nullptr;
    a->port.name[sizeof(a->port.name) - 1] = '\0';
    rule_number_insert(&l->actions, a);
    QOS_TRACE(q, "[QOS] Added action %u to list '%s'.\n", a->number, list);
    return 0;
}

int qos_action_del(struct qos_classifier *q, const char *list, u32 number) {
    struct qos_action_list *l = qos_action_list_find(q, list);
    if (!l) {
        printk(KERN_ERR "[QOS] No action list '%s'.\n", list);
        return -ENOENT;
    }
    struct qos_action *a = rule_number_find(l->actions, number);
    if (!a)
        return -ENOENT;
    rule_unlink(&l->actions, a);
    kmem_cache_free(qos_action_cache, a);
    return 0;
}

int qos_action_renumber(struct qos_classifier *q, const char *list, u32 step) {
    struct qos_action_list *l = qos_action_list_find(q, list);
    if (l)
        qos_renumber(l->actions, step);
    return 0;
}

// Port entries.

static struct qos_entry **qos_head(struct qos_classifier *q, u32 port_no, int ingress) {
    return &q->entries[2 * port_no + (ingress ? 1 : 0)];
}

struct qos_entry *qos_port_entries(struct qos_classifier *q, u32 port_no, int ingress) {
    return port_no < q->bridge->max_ports ? *qos_head(q, port_no, ingress) : nullptr;
}

static bool qos_list_assigns_queue(const struct qos_action_list *l) {
    for (const struct qos_action *a = l->actions; a; a = a->next)
        if (a->code == QOS_A_ENTRY_ASSIGN_QUEUE)
            return true;
    return false;
}

int qos_port_entry_add(struct qos_classifier *q, struct jxbridge_port *port, int ingress,
                       u32 number, const char *selector, const char *list, u32 queue, s32 policer,
                       u16 ext_cvid, u32 priority) {
    if (!port || port->port_no >= q->bridge->max_ports) {
        printk(KERN_ERR "[QOS] Invalid port '%s'.\n", port ? port->dev->name : "");
        return -ENODEV;
    }
    struct qos_selector *s = qos_selector_find(q, selector);
    if (!s) {
        printk(KERN_ERR "[QOS] No selector '%s'.\n", selector);
        return -ENOENT;
    }
    struct qos_action_list *l = qos_action_list_find(q, list);
    if (!l) {
        printk(KERN_ERR "[QOS] No action list '%s'.\n", list);
        return -ENOENT;
    }
    struct qos_entry **head = qos_head(q, port->port_no, ingress);
    if (rule_number_find(*head, number)) {
        printk(KERN_ERR "[QOS] Number %u exists.\n", number);
        return -EEXIST;
    }
    bool assigns = qos_list_assigns_queue(l);
    if (assigns && queue >= QOS_QUEUES)
        return -EFAULT;
    struct qos_entry *e = qos_new<qos_entry>(qos_entry_cache);
    if (!e) {
        printk(KERN_ERR "[QOS] No memory.\n");
        return -ENOMEM;
    }
    e->number = number;
    e->queue = queue;
    e->priority = priority;
    e->policer = policer;
    e->ext_cvid = ext_cvid;
    e->selector = s;
    e->action_list = l;
    s->refcnt++;
    l->refcnt++;
    rule_number_insert(head, e);
    if (assigns) {
        QOS_TRACE(q, "[QOS] Setting queue to used: %d.\n", (int)queue);
        qos_queue_used_set(port, queue);
    }
    return 0;
}

static void qos_entry_free(struct qos_entry *e) {
    e->selector->refcnt--;
    e->action_list->refcnt--;
    kmem_cache_free(qos_entry_cache, e);
}

int qos_port_entry_del(struct qos_classifier *q, struct jxbridge_port *port, int ingress,
                       u32 number) {
    if (!port || port->port_no >= q->bridge->max_ports)
        return -ENODEV;
    struct qos_entry **head = qos_head(q, port->port_no, ingress);
    struct qos_entry *e = rule_number_find(*head, number);
    if (!e)
        return -ENOENT;
    rule_unlink(head, e);
    qos_entry_free(e);
    return 0;
}

int qos_port_entry_renumber(struct qos_classifier *q, struct jxbridge_port *port, int ingress,
                            u32 step) {
    if (!port || port->port_no >= q->bridge->max_ports)
        return -ENODEV;
    qos_renumber(*qos_head(q, port->port_no, ingress), step);
    return 0;
}

static void qos_default_assign(struct qos_action_list **slot, struct qos_action_list *l) {
    if (*slot)
        (*slot)->refcnt--;
    *slot = l;
    if (l)
        l->refcnt++;
}

int qos_default_action_list_set(struct qos_classifier *q, int ingress, const char *list) {
    struct qos_action_list *l = qos_action_list_find(q, list);
    if (!l) {
        printk(KERN_ERR "[QOS] No action list '%s'.\n", list);
        return -ENOENT;
    }
    qos_default_assign(ingress ? &q->def_ingress : &q->def_egress, l);
    printk(KERN_INFO "[QOS] Default %sgress action list set to '%s'.\n", ingress ? "in" : "e",
           list);
    return 0;
}

void qos_set_diffserv(struct qos_classifier *q, u32 value) {
    q->enabled = value;
}

void qos_set_outer_ethertype(struct qos_classifier *q, u16 value) {
    q->outer_ethertype = value;
    printk(KERN_INFO "[QOS] Outer EtherType set to 0x%04x.\n", value);
}

void qos_set_debug(struct qos_classifier *q, u32 value) {
    if (q)
        q->debug = value;
}

void qos_set_mng_debug(struct qos_classifier *q, u32 value) {
    if (q)
        q->mng_debug = value;
}

// Evaluation.

// A short IPv4 header drops the frame (false, the frame freed); on ingress
// the TOS or traffic class is noted in the frame.
static bool qos_frame_note(struct qos_classifier *q, struct sk_buff *skb,
                           const struct rule_frame *f, bool ingress) {
    if (f->bad_ihl) {
        QOS_TRACE(q, "[QOS]              IPv4 IHL=%d is less than minimum 5. Drop frame.\n",
                  f->ihl);
        kfree_skb(skb);
        return false;
    }
    if (!ingress)
        return true;
    const u8 *l3 = skb->data + f->l3;
    int tos = f->ipv4 ? l3[1] : f->ipv6 ? (u8)(rule_get16(l3) >> 4) : -1;
    if (tos >= 0) {
        JXBRIDGE_CB(skb)->engine8[0] = (u8)tos;
        JXBRIDGE_CB(skb)->engine8[1] = (u8)tos;
    }
    return true;
}

bool qos_parse(struct qos_eval *ev) {
    rule_parse_frame(ev->skb->data, ev->skb->len, ev->qos->outer_ethertype, &ev->f);
    if (qos_frame_note(ev->qos, ev->skb, &ev->f, ev->ingress))
        return true;
    ev->skb = nullptr;
    return false;
}

static bool qos_selector_holds(struct qos_eval *ev, struct qos_selector *s) {
    for (struct qos_condition *c = s->conds; c; c = c->next) {
        if (!c->fn) {
            printk(KERN_ERR "%s:%d No condition function.\n", qos_src, __LINE__);
            return false;
        }
        if (!c->fn(ev, c))
            return false;
    }
    return true;
}

static void qos_run_list(struct qos_eval *ev, struct qos_action_list *l) {
    if (!l)
        return;
    QOS_TRACE(ev->qos, "[QOS]          Applying action list '%s'...\n", l->name);
    for (struct qos_action *a = l->actions; a && ev->skb; a = a->next) {
        if (!a->fn) {
            if (qos_dbg(ev->qos))
                printk(KERN_ERR "%s:%d No action function %u@%p.\n", qos_src, __LINE__, a->code,
                       (void *)a);
            return;
        }
        ev->stop = 0;
        a->fn(ev, a);
        if (ev->stop)
            return;
    }
}

// No list, or one that passes at its first action.
static bool qos_list_passes(const struct qos_action_list *l) {
    return !l || (l->actions && l->actions->code == QOS_A_PASS && l->actions->fn);
}

bool qos_ds_enabled(struct qos_classifier *q) {
    return q && q->enabled == 1;
}

// The entries, then the default list. Kept out of line: most frames never
// get here, and the evaluation's frame would cost them its set-up.
[[gnu::noinline]] static struct sk_buff *
qos_ds_walk(struct qos_classifier *q, struct jxbridge_port *port, struct qos_entry *e,
            struct qos_action_list *def, struct sk_buff *skb, int ingress) {
    struct qos_eval ev = {};
    ev.qos = q;
    ev.skb = skb;
    ev.ingress = ingress ? 1 : 0;
    ev.port = port;
    if (!qos_parse(&ev))
        return nullptr;
    for (; e; e = e->next) {
        ev.entry = e;
        if (qos_selector_holds(&ev, e->selector)) {
            qos_run_list(&ev, e->action_list);
            return ev.skb;
        }
    }
    ev.entry = nullptr;
    qos_run_list(&ev, def);
    return ev.skb;
}

struct sk_buff *qos_ds_skb(struct qos_classifier *q, struct sk_buff *skb, int ingress) {
    if (!q || !skb)
        return skb;
    struct jxbridge_port *port = jxbridge_port_at(q->bridge, JXBRIDGE_CB(skb)->port_no);
    struct qos_entry *e = port ? qos_port_entries(q, port->port_no, ingress) : nullptr;
    struct qos_action_list *def = ingress ? q->def_ingress : q->def_egress;
    if (e || !qos_list_passes(def) || qos_dbg(q))
        return qos_ds_walk(q, port, e, def, skb, ingress);
    // Nothing to walk and a default that only passes: the parse's own
    // effects are all there is to do.
    struct rule_frame f;
    rule_parse_frame(skb->data, skb->len, q->outer_ethertype, &f, false);
    return qos_frame_note(q, skb, &f, ingress) ? skb : nullptr;
}

// The classifier of a bridge.

static void qos_entries_free(struct qos_classifier *q, u32 port_no) {
    for (int d = 0; d < 2; d++) {
        struct qos_entry **head = qos_head(q, port_no, d);
        while (struct qos_entry *e = *head) {
            *head = e->next;
            qos_entry_free(e);
        }
    }
}

static void qos_fini(struct jxbridge *B) {
    struct qos_classifier *q = B->qos;
    if (!q)
        return;
    qos_stats_stop(q);
    qos_oo_free(q);
    if (q->entries)
        for (u32 i = 0; i <= B->max_ports; i++)
            qos_entries_free(q, i);
    qos_default_assign(&q->def_ingress, nullptr);
    qos_default_assign(&q->def_egress, nullptr);
    while (struct qos_action_list *l = q->lists) {
        l->refcnt = 0;
        qos_action_list_del(q, l->name);
    }
    while (struct qos_selector *s = q->selectors) {
        s->refcnt = 0;
        qos_selector_del(q, s->name);
    }
    if (q->ports)
        for (u32 i = 0; i < B->max_ports; i++)
            kfree(q->ports[i]);
    kfree(q->ports);
    kfree(q->entries);
    kfree(q);
    B->qos = nullptr;
    qos_caches_put();
}

static int qos_init(struct jxbridge *B) {
    if (qos_caches_get())
        return -ENOMEM;
    auto *q = (struct qos_classifier *)jxbridge_zalloc(sizeof(struct qos_classifier));
    if (!q) {
        qos_caches_put();
        return -ENOMEM;
    }
    B->qos = q;
    q->bridge = B;
    q->debug = (u32)qos_debug;
    q->enabled = 1;
    q->outer_ethertype = 0x88A8;
    q->entries =
        (struct qos_entry **)jxbridge_zalloc(2 * (B->max_ports + 1) * sizeof(struct qos_entry *));
    q->ports = (struct qos_port **)jxbridge_zalloc(B->max_ports * sizeof(struct qos_port *));
    struct qos_action pass = {}, drop = {};
    pass.number = drop.number = 1;
    pass.code = QOS_A_PASS;
    drop.code = QOS_A_DROP;
    if (!q->entries || !q->ports || qos_action_list_add(q, "pass") ||
        qos_action_add(q, "pass", &pass) || qos_action_list_add(q, "drop") ||
        qos_action_add(q, "drop", &drop)) {
        qos_fini(B);
        return -ENOMEM;
    }
    qos_default_assign(&q->def_egress, qos_action_list_find(q, "pass"));
    qos_default_assign(&q->def_ingress,
                       qos_action_list_find(q, qos_default_pass ? "pass" : "drop"));
    qos_stats_start(q);
    printk(KERN_INFO "[%s/QoS] Initialization successful.\n", B->dev->name);
    return 0;
}

static int qos_port_init(struct jxbridge_port *port) {
    struct qos_classifier *q = port->bridge->qos;
    if (!q || port->port_no >= port->bridge->max_ports)
        return 0;
    auto *qp = (struct qos_port *)jxbridge_zalloc(sizeof(struct qos_port));
    if (!qp)
        return -ENOMEM;
    for (u8 i = 0; i < 8; i++)
        qp->cos_out[i] = qp->ipprec_out[i] = i;
    for (u8 i = 0; i < 64; i++)
        qp->dscp_out[i] = (u8)(i >> 3);
    q->ports[port->port_no] = qp;
    return 0;
}

// A port that goes takes its entries and every cached pointer to it along.
static void qos_port_fini(struct jxbridge_port *port) {
    struct qos_classifier *q = port->bridge->qos;
    if (!q || port->port_no >= port->bridge->max_ports)
        return;
    qos_tarn_port_del_pre(port);
    qos_tarn_port_del(port);
    for (struct qos_selector *s = q->selectors; s; s = s->next)
        for (struct qos_condition *c = s->conds; c; c = c->next)
            if (c->port.port == port)
                c->port.port = nullptr;
    for (struct qos_action_list *l = q->lists; l; l = l->next)
        for (struct qos_action *a = l->actions; a; a = a->next)
            if (a->port.port == port)
                a->port.port = nullptr;
    qos_entries_free(q, port->port_no);
    kfree(q->ports[port->port_no]);
    q->ports[port->port_no] = nullptr;
}

static void qos_subsys_debug(void *bridge, int on) {
    qos_set_debug(((struct jxbridge *)bridge)->qos, (u32)on);
}

extern const struct jxbridge_subsys qos_subsys = {
    .tag = "QOS",
    .init = qos_init,
    .fini = qos_fini,
    .port_init = qos_port_init,
    .port_fini = qos_port_fini,
    .files = {{"qos", 0600, &qos_fops}},
    .set_debug = qos_subsys_debug,
};
