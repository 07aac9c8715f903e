// Subscriber access authentication: the rules, the per-port records with
// their queues and timers, requests to the agent and its replies, and the
// frame path. A bridge without rules or operational ports lets every frame pass.
#include "jx_tal.h"

#include <cstdio>

struct tal_port *tal_request_owner;
u8 tal_config_apply;

namespace {

// The held frames of a port.

void q_push(struct tal_port *tp, struct sk_buff *skb) {
    skb->next = nullptr;
    if (tp->q_tail)
        tp->q_tail->next = skb;
    else
        tp->q_head = skb;
    tp->q_tail = skb;
    tp->q_len++;
    tp->q_samples++;
    tp->q_sum += tp->q_len;
    tp->c.queue_avg = (u32)(tp->q_sum / tp->q_samples);
    if (tp->q_len > tp->c.queue_max)
        tp->c.queue_max = tp->q_len;
}

struct sk_buff *q_pop(struct tal_port *tp) {
    struct sk_buff *skb = tp->q_head;
    if (!skb)
        return nullptr;
    tp->q_head = skb->next;
    if (!tp->q_head)
        tp->q_tail = nullptr;
    skb->next = nullptr;
    tp->q_len--;
    return skb;
}

// Purged frames count as dropped on ingress, where they came from.
void q_purge(struct tal_port *tp) {
    while (struct sk_buff *skb = q_pop(tp)) {
        tp->c.dropped_rx++;
        kfree_skb(skb);
    }
}

void request_release(struct tal_port *tp) {
    if (tal_request_owner == tp)
        tal_request_owner = nullptr;
}

const char *port_name(const struct tal_port *tp) {
    return tp->port->dev->name;
}

// Names.

template <typename T> int named_add(T **head, const char *name) {
    if (rule_named_find(*head, name))
        return -EEXIST;
    auto *o = (T *)jxbridge_zalloc(sizeof(T));
    if (!o) {
        printk(KERN_ERR "[TAL] No memory.\n");
        return -ENOMEM;
    }
    strcpy(o->name, name);
    rule_named_push(head, o);
    return 0;
}

template <typename T> int named_rename(T *head, const char *from, const char *to) {
    T *o = rule_named_find(head, from);
    if (!o)
        return -ENOENT;
    if (rule_named_find(head, to))
        return -EEXIST;
    strcpy(o->name, to);
    return 0;
}

// Numbered items: step, 2 step, 3 step, ... in list order.
template <typename T> int renumber(T *head, u32 step) {
    if (!step)
        return -ERANGE;
    u32 n = 0;
    for (T *o = head; o; o = o->next)
        n++;
    if (n && (u64)step * n > 0xFFFFFFFFull)
        return -ERANGE;
    rule_renumber(head, 0, 0xFFFFFFFFu, step, step);
    return 0;
}

void entry_free(struct tal_entry *e) {
    e->selector->refcnt--;
    e->action_list->refcnt--;
    kfree(e);
}

// The request record. Binary option values go out in hexadecimal, as the
// frame bytes do, so a NUL or a newline in them cannot cut the record short.
struct rec_buf {
    char *p;
    size_t size, n;
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (n >= size)
            return;
        va_list ap;
        va_start(ap, fmt);
        int k = vsnprintf(p + n, size - n, fmt, ap);
        va_end(ap);
        n = k < 0 ? n : n + (size_t)k < size ? n + (size_t)k : size;
    }
    void hex(const u8 *d, u32 len) {
        for (u32 i = 0; i < len; i++)
            add("%02x", d[i]);
    }
};

void compose(struct tal_data *t, struct tal_port *tp, const struct tal_eval *ev, int type,
             int origin) {
    rec_buf r = {t->request, sizeof(t->request), 0};
    r.add("\ntal%-5s%d%d", port_name(tp), type, origin);
    if (origin == 0 && ev) {
        const u8 *d = ev->skb->data;
        u32 len = ev->skb->len;
        r.add("%04d", ev->f.outer ? (int)rule_get16(d + ev->f.outer) : 0);
        u8 mac[6] = {};
        if (len >= 12)
            memcpy(mac, d + 6, 6);
        r.hex(mac, 6);
        u8 ip[4] = {};
        if (ev->f.ipv4)
            memcpy(ip, d + ev->f.l3 + 12, 4);
        r.add("%03u.%03u.%03u.%03u", ip[0], ip[1], ip[2], ip[3]);
        // Always 256 digits: a short frame is padded, never read past its end.
        u8 head[TAL_FRAME_BYTES] = {};
        memcpy(head, d, len < TAL_FRAME_BYTES ? len : TAL_FRAME_BYTES);
        r.hex(head, TAL_FRAME_BYTES);
        if (ev->opt60) {
            u8 l = d[ev->opt60];
            r.add("%03d%03d", 60, l);
            r.hex(d + ev->opt60 + 1, l);
        }
        if (ev->opt61) {
            u8 l = d[ev->opt61];
            r.add("%03d%03d%03d", 61, l, l ? d[ev->opt61 + 1] : 0);
            if (l > 1)
                r.hex(d + ev->opt61 + 2, l - 1u);
        }
        if (ev->remote) {
            u8 l = d[ev->remote];
            r.add("%03d%03d", 2, l);
            r.hex(d + ev->remote + 1, l);
        }
    }
    r.add("\n");
}

bool requests_allowed(struct tal_data *t) {
    return t->request_state && !tal_config_apply;
}

// Sends a request without a frame (origin 1 automatic, 2 stored): false
// when it could not go now.
bool send_frameless(struct tal_data *t, struct tal_port *tp, int origin) {
    if (tal_request_owner || !requests_allowed(t))
        return false;
    int type = !tp->authen_oper && tp->author_oper ? 1 : 0;
    compose(t, tp, nullptr, type, origin);
    if (event_add(t->bridge, t->request))
        return false;
    tal_request_owner = tp;
    tal_timer_start(t, tp, type ? TAL_T_AUTHOR : TAL_T_AUTHEN, tp->timeout);
    return true;
}

void expire(struct tal_data *t, struct tal_port *tp, int which) {
    tp->timer_active[which] = 0;
    switch (which) {
    case TAL_T_AUTHEN:
    case TAL_T_AUTHOR:
        // Only this port's own request is over; another port's stays outstanding.
        request_release(tp);
        tp->c.timeouts[which]++;
        tp->auto_pending = tp->stored_pending = 0;
        TAL_TRACE(t, "[TAL]         Purging queue.\n");
        q_purge(tp);
        if (tp->auto_oper) {
            TAL_TRACE(t, "[TAL]         Starting automatic request timer.\n");
            tal_timer_start(t, tp, TAL_T_AUTO, tp->auto_timeout);
        }
        break;
    case TAL_T_AUTO:
        tp->c.auto_expired++;
        if (!tp->auto_oper)
            break;
        if (send_frameless(t, tp, 1)) {
            tp->auto_pending = 1;
            tp->c.auto_sent++;
        } else {
            tal_timer_start(t, tp, TAL_T_AUTO, tp->auto_timeout);
        }
        break;
    case TAL_T_STORED:
        if (send_frameless(t, tp, 2)) {
            tp->stored_pending = 1;
            tp->c.stored_sent++;
        } else {
            tal_timer_start(t, tp, TAL_T_STORED, tp->stored_timeout);
        }
        break;
    }
}

void tal_timer_fn(struct jxbridge_timer *timer) {
    auto *t = (struct tal_data *)timer->data;
    mutex_lock(&jxbridge_lock);
    for (u32 i = 0; i < t->bridge->max_ports; i++) {
        struct tal_port *tp = t->ports[i];
        for (int w = 0; tp && w < TAL_TIMERS; w++)
            if (tp->timer_active[w] && time_after_eq(jiffies, tp->deadline[w]))
                expire(t, tp, w);
    }
    tal_timers_arm(t);
    mutex_unlock(&jxbridge_lock);
}

// The frame path.

void drop_rx(struct tal_port *tp, struct sk_buff *skb) {
    tp->c.dropped_rx++;
    kfree_skb(skb);
}

bool selector_match(struct tal_eval *ev, struct tal_selector *s) {
    if (!s->conds)
        return false;
    for (struct tal_condition *c = s->conds; c; c = c->next)
        if (!tal_cond_rows[c->code].fn(ev, c))
            return false;
    return true;
}

// Consumes the frame: a copy is queued when the request goes out.
void send_request(struct tal_eval *ev, int type) {
    struct tal_data *t = ev->tal;
    struct tal_port *tp = ev->tp;
    int timer = type ? TAL_T_AUTHOR : TAL_T_AUTHEN;
    if (!(type ? tp->author_oper : tp->authen_oper)) {
        TAL_TRACE(t, "[TAL]            Authentication not active. Exit.\n");
    } else if (tp->q_len >= tp->max_queue) {
        TAL_TRACE(t, "[TAL]            Cannot enqueue frame.\n");
    } else if (!tp->timer_active[timer] && tp->q_len) {
        TAL_TRACE(t, "[TAL]            Timer inactive and queue not empty.\n");
    } else if (tal_request_owner) {
        TAL_TRACE(t, "[TAL]            Request is already active.\n");
    } else if (!requests_allowed(t)) {
        TAL_TRACE(t, "[TAL]            Requests not allowed.\n");
    } else if (struct sk_buff *copy = skb_copy(ev->skb, GFP_ATOMIC)) {
        compose(t, tp, ev, type, 0);
        if (event_add(t->bridge, t->request) == 0) {
            tal_request_owner = tp;
            tp->c.req_sent[type]++;
            tal_timer_start(t, tp, timer, tp->timeout);
            TAL_TRACE(t, "[TAL]       Queuing frame.\n");
            q_push(tp, copy);
        } else {
            kfree_skb(copy);
        }
    }
    drop_rx(tp, ev->skb);
    ev->skb = nullptr;
}

// Runs the entry's list; the list ends with the first action that decides
// the frame's fate, since nothing may act on a frame that is gone.
struct sk_buff *run_actions(struct tal_eval *ev, struct tal_action_list *l) {
    for (struct tal_action *a = l->actions; a; a = a->next) {
        switch (a->code) {
        case TAL_A_DROP:
            drop_rx(ev->tp, ev->skb);
            return nullptr;
        case TAL_A_PASS:
            return ev->skb;
        case TAL_A_SEND_AUTHEN_REQ:
        case TAL_A_SEND_AUTHOR_REQ:
            send_request(ev, a->code == TAL_A_SEND_AUTHOR_REQ);
            return nullptr;
        }
    }
    return ev->skb;
}

} // namespace

struct tal_port *tal_port_of(struct tal_data *t, struct jxbridge_port *port) {
    if (!t || !port)
        return nullptr;
    if (port->pvc_mode == JXBRIDGE_PVC_SLAVE && port->pvc_master) {
        TAL_TRACE(t, "[TAL]      Switch tal_port from PVC port %s to physical port %s.\n",
                  port->dev->name, port->pvc_master->dev->name);
        port = port->pvc_master;
    }
    return port->port_no < t->bridge->max_ports ? t->ports[port->port_no] : nullptr;
}

// Timers.

void tal_timers_arm(struct tal_data *t) {
    bool any = false;
    unsigned long next = 0;
    for (u32 i = 0; i < t->bridge->max_ports; i++) {
        struct tal_port *tp = t->ports[i];
        for (int w = 0; tp && w < TAL_TIMERS; w++)
            if (tp->timer_active[w] && (!any || time_before(tp->deadline[w], next))) {
                next = tp->deadline[w];
                any = true;
            }
    }
    if (any)
        jxbridge_mod_timer(&t->timer, next);
}

void tal_timer_start(struct tal_data *t, struct tal_port *tp, int which, u32 seconds) {
    tp->timer_active[which] = 1;
    tp->deadline[which] = jiffies + (unsigned long)seconds * HZ;
    tal_timers_arm(t);
}

void tal_timer_stop(struct tal_data *, struct tal_port *tp, int which) {
    // The bridge's timer finds nothing due and re-arms for what is left.
    tp->timer_active[which] = 0;
}

// Rules.

int tal_selector_add(struct tal_data *t, const char *name) {
    int rc = named_add(&t->selectors, name);
    if (rc == -EEXIST)
        printk(KERN_ERR "[TAL] Sub-selector '%s' already exists.\n", name);
    return rc;
}

int tal_selector_del(struct tal_data *t, const char *name) {
    struct tal_selector *s = rule_named_find(t->selectors, name);
    if (!s) {
        printk(KERN_ERR "[TAL] No selector '%s'.\n", name);
        return -ENOENT;
    }
    if (s->refcnt) {
        printk(KERN_ERR "[TAL] Sub-selector '%s' still in use (%u).\n", name, s->refcnt);
        return -EBUSY;
    }
    rule_unlink(&t->selectors, s);
    while (struct tal_condition *c = s->conds) {
        s->conds = c->next;
        kfree(c);
    }
    kfree(s);
    return 0;
}

int tal_selector_rename(struct tal_data *t, const char *from, const char *to) {
    return named_rename(t->selectors, from, to);
}

int tal_condition_add(struct tal_data *t, const char *selector, const struct tal_condition *proto) {
    struct tal_selector *s = rule_named_find(t->selectors, selector);
    if (!s) {
        printk(KERN_ERR "[TAL] No selector '%s'.\n", selector);
        return -ENOENT;
    }
    int rc = tal_cond_check(proto);
    if (rc)
        return rc;
    if (rule_number_find(s->conds, proto->number))
        return -EEXIST;
    auto *c = (struct tal_condition *)jxbridge_zalloc(sizeof(struct tal_condition));
    if (!c) {
        printk(KERN_ERR "[TAL] No memory.\n");
        return -ENOMEM;
    }
    *c = *proto;
    c->port.port = nullptr;
    rule_number_insert(&s->conds, c);
    return 0;
}

int tal_condition_del(struct tal_data *t, const char *selector, u32 number) {
    struct tal_selector *s = rule_named_find(t->selectors, selector);
    struct tal_condition *c = s ? rule_number_find(s->conds, number) : nullptr;
    if (!c)
        return -ENOENT;
    rule_unlink(&s->conds, c);
    kfree(c);
    return 0;
}

int tal_condition_renumber(struct tal_data *t, const char *selector, u32 step) {
    struct tal_selector *s = rule_named_find(t->selectors, selector);
    return s ? renumber(s->conds, step) : -ENOENT;
}

int tal_action_list_add(struct tal_data *t, const char *name) {
    int rc = named_add(&t->lists, name);
    if (rc == -EEXIST)
        printk(KERN_ERR "[TAL] Action list '%s' exists.\n", name);
    return rc;
}

int tal_action_list_del(struct tal_data *t, const char *name) {
    struct tal_action_list *l = rule_named_find(t->lists, name);
    if (!l)
        return -ENOENT;
    if (l->refcnt) {
        printk(KERN_ERR "[TAL] Action list '%s' still in use (%u).\n", name, l->refcnt);
        return -EBUSY;
    }
    rule_unlink(&t->lists, l);
    while (struct tal_action *a = l->actions) {
        l->actions = a->next;
        kfree(a);
    }
    kfree(l);
    return 0;
}

int tal_action_list_rename(struct tal_data *t, const char *from, const char *to) {
    return named_rename(t->lists, from, to);
}

int tal_action_add(struct tal_data *t, const char *list, u32 number, u32 code) {
    struct tal_action_list *l = rule_named_find(t->lists, list);
    if (!l)
        return -ENOENT;
    if (code >= TAL_ACTIONS)
        return -EINVAL;
    if (rule_number_find(l->actions, number)) {
        printk(KERN_ERR "[TAL] Action number %d already exists.\n", (int)number);
        return -EEXIST;
    }
    auto *a = (struct tal_action *)jxbridge_zalloc(sizeof(struct tal_action));
    if (!a) {
        printk(KERN_ERR "[TAL] No memory.\n");
        return -ENOMEM;
    }
    a->number = number;
    a->code = code;
    rule_number_insert(&l->actions, a);
    return 0;
}

int tal_action_del(struct tal_data *t, const char *list, u32 number) {
    struct tal_action_list *l = rule_named_find(t->lists, list);
    struct tal_action *a = l ? rule_number_find(l->actions, number) : nullptr;
    if (!a)
        return -ENOENT;
    rule_unlink(&l->actions, a);
    kfree(a);
    return 0;
}

int tal_action_renumber(struct tal_data *t, const char *list, u32 step) {
    struct tal_action_list *l = rule_named_find(t->lists, list);
    return l ? renumber(l->actions, step) : -ENOENT;
}

int tal_port_entry_add(struct tal_data *t, struct tal_port *tp, u32 number, const char *selector,
                       const char *list) {
    struct tal_selector *s = rule_named_find(t->selectors, selector);
    if (!s) {
        printk(KERN_ERR "[TAL] No selector '%s'.\n", selector);
        return -ENOENT;
    }
    struct tal_action_list *l = rule_named_find(t->lists, list);
    if (!l)
        return -ENOENT;
    if (!number) {
        for (struct tal_entry *e = tp->entries; e; e = e->next)
            number = e->number;
        if (number == 0xFFFFFFFFu)
            return -ERANGE;
        number++;
    }
    if (rule_number_find(tp->entries, number)) {
        printk(KERN_ERR "[TAL] Port entry %u already exists.\n", number);
        return -EEXIST;
    }
    auto *e = (struct tal_entry *)jxbridge_zalloc(sizeof(struct tal_entry));
    if (!e) {
        printk(KERN_ERR "[TAL] No memory.\n");
        return -ENOMEM;
    }
    e->number = number;
    e->selector = s;
    e->action_list = l;
    s->refcnt++;
    l->refcnt++;
    rule_number_insert(&tp->entries, e);
    return 0;
}

int tal_port_entry_del(struct tal_data *, struct tal_port *tp, u32 number) {
    if (!number) {
        while (struct tal_entry *e = tp->entries) {
            tp->entries = e->next;
            entry_free(e);
        }
        return 0;
    }
    struct tal_entry *e = rule_number_find(tp->entries, number);
    if (!e)
        return -ENOENT;
    rule_unlink(&tp->entries, e);
    entry_free(e);
    return 0;
}

int tal_port_entry_renumber(struct tal_data *, struct tal_port *tp, u32 step) {
    return renumber(tp->entries, step);
}

void tal_set_outer_ethertype(struct tal_data *t, u16 value) {
    t->outer_ethertype = value;
    printk(KERN_INFO "[TAL] Outer EtherType set to 0x%04x.\n", value);
}

// Ports.

int tal_port_timeout_set(struct tal_data *, struct tal_port *tp, int which, u32 seconds) {
    if (seconds < TAL_TIMEOUT_MIN || seconds > TAL_TIMEOUT_MAX) {
        printk(KERN_ERR "[TAL] tal_timeout out of scope.(tal_timeout=%d, tal_timeout_min=%d, "
                        "tal_timeout_max=%d)\n",
               (int)seconds, TAL_TIMEOUT_MIN, TAL_TIMEOUT_MAX);
        return -ERANGE;
    }
    (which ? tp->auto_timeout : tp->timeout) = seconds;
    return 0;
}

int tal_port_max_queue_set(struct tal_data *, struct tal_port *tp, u32 size) {
    if (size < 1 || size > TAL_QUEUE_MAX)
        return -ERANGE;
    tp->max_queue = size;
    return 0;
}

void tal_port_admin_state_set(struct tal_data *t, struct tal_port *tp, int which, u8 value) {
    static const int timers[] = {TAL_T_AUTHEN, TAL_T_AUTHOR, TAL_T_AUTO};
    u8 *admin[] = {&tp->authen_admin, &tp->author_admin, &tp->auto_admin};
    u8 *oper[] = {&tp->authen_oper, &tp->author_oper, &tp->auto_oper};
    *admin[which] = *oper[which] = value;
    if (value)
        return;
    tal_timer_stop(t, tp, timers[which]);
    if (which == 2)
        return;
    request_release(tp);
    q_purge(tp);
}

void tal_port_clear(struct tal_port *tp) {
    memset(&tp->c, 0, offsetof(struct tal_counters, auto_expired));
    tp->q_samples = tp->q_sum = 0;
    tp->c.queue_max = tp->q_len;
    for (struct tal_entry *e = tp->entries; e; e = e->next)
        e->matches = 0;
}

void tal_port_reset(struct tal_port *tp) {
    request_release(tp);
    for (int w = 0; w < TAL_TIMERS; w++)
        tp->timer_active[w] = 0;
    q_purge(tp);
    tp->authen_oper = tp->authen_admin;
    tp->author_oper = tp->author_admin;
    tp->auto_oper = tp->auto_admin;
    tp->last_result = 0;
    tp->auto_pending = tp->stored_pending = 0;
}

void tal_port_states_get(struct tal_data *t, struct tal_port *tp, u32 *f, u32 *a, u32 *z) {
    *f = *a = *z = 0;
    if (t->admin != TAL_ENABLE || tp->admin != TAL_ENABLE)
        return;
    auto waiting = [tp](int timer) -> u32 {
        return tp->timer_active[timer] ? 4 : tp->last_result == 2 ? 3 : 1;
    };
    if (tp->authen_admin == TAL_ENABLE) {
        if (tp->authen_oper == 1) {
            *f = 2;
            *a = waiting(TAL_T_AUTHEN);
        } else {
            *f = 1;
            *a = 2;
        }
        *z = tp->author_admin == 1 ? *a : 0;
        return;
    }
    *f = 1;
    if (tp->author_admin == TAL_DISABLE)
        *z = 0;
    else
        *z = tp->author_oper ? waiting(TAL_T_AUTHOR) : 2;
}

int tal_port_reply(struct tal_data *t, struct tal_port *tp, int type, u32 state) {
    // The agent has answered: whatever it says, it is ready for the next request.
    tal_request_owner = nullptr;
    if (state != TAL_OK && state != TAL_NOK) {
        printk(KERN_ERR
               "[TAL] Reply state value out of scope.(rep_state=%d, TAL_OK=%d, TAL_NOK=%d)\n",
               (int)state, TAL_OK, TAL_NOK);
        return -ERANGE;
    }
    int timer = type ? TAL_T_AUTHOR : TAL_T_AUTHEN;
    if (!tp->timer_active[timer]) {
        q_purge(tp);
        return 0;
    }
    tal_timer_stop(t, tp, timer);
    if (state == TAL_NOK) {
        tp->last_result = 2;
        tp->c.req_nok[type]++;
        q_purge(tp);
        if (tp->auto_pending)
            tp->c.auto_nok++;
        if (tp->stored_pending)
            tp->c.stored_nok++;
        tp->auto_pending = tp->stored_pending = 0;
        if (tp->auto_oper)
            tal_timer_start(t, tp, TAL_T_AUTO, tp->auto_timeout);
        return 0;
    }
    tp->last_result = 1;
    tp->c.req_ok[type]++;
    tp->authen_oper = tp->author_oper = tp->auto_oper = 0;
    tp->timer_active[TAL_T_AUTO] = 0;
    if (tp->auto_pending || tp->stored_pending) {
        if (tp->auto_pending)
            tp->c.auto_ok++;
        if (tp->stored_pending)
            tp->c.stored_ok++;
        tp->auto_pending = tp->stored_pending = 0;
        return 0;
    }
    struct sk_buff *skb = q_pop(tp);
    if (!skb)
        return 0;
    // Everything is settled before the frame goes: the pipeline runs without
    // the lock, and other commands may come in meanwhile.
    TAL_TRACE(t, "[TAL] Forwarding frame: %p. \n", (void *)skb);
    skb_pull(skb, ETH_HLEN);
    JXBRIDGE_CB(skb)->flags &= (u16)~JXBRIDGE_CB_F_INTERNAL;
    mutex_unlock(&jxbridge_lock);
    jxbridge_process_frame(skb);
    mutex_lock(&jxbridge_lock);
    return 0;
}

int tal_port_stored_request(struct tal_data *t, struct tal_port *tp) {
    if (send_frameless(t, tp, 2)) {
        tp->stored_pending = 1;
        tp->c.stored_sent++;
    } else {
        tal_timer_start(t, tp, TAL_T_STORED, tp->stored_timeout);
    }
    return 0;
}

// The frame path.

// The frame of a port whose authentication or authorization runs. Out of
// line, so that the frames of other ports pay no stack frame for it.
[[gnu::noinline]] static struct sk_buff *
tal_skb_authenticated(struct tal_data *t, struct tal_port *tp, struct sk_buff *skb) {
    struct tal_eval ev = {};
    ev.tal = t;
    ev.tp = tp;
    ev.skb = skb;
    rule_parse_frame(skb->data, skb->len, t->outer_ethertype, &ev.f);
    if (ev.f.bad_ihl) {
        TAL_TRACE(t, "[TAL]              IPv4 IHL=%d is less than minimum 5. Drop frame.\n",
                  ev.f.ihl);
        drop_rx(tp, skb);
        return nullptr;
    }
    tal_dhcp_parse(&ev);
    if (!tp->entries) {
        if (!tp->authen_oper)
            return skb;
        TAL_TRACE(t, "[TAL]        No port entry, dropping frame.\n");
        drop_rx(tp, skb);
        return nullptr;
    }
    for (struct tal_entry *e = tp->entries; e; e = e->next)
        if (selector_match(&ev, e->selector)) {
            e->matches++;
            tp->c.matched++;
            return run_actions(&ev, e->action_list);
        }
    if (!tp->authen_oper)
        return skb;
    TAL_TRACE(t, "[TAL]        No pattern match, dropping frame.\n");
    drop_rx(tp, skb);
    return nullptr;
}

struct sk_buff *tal_skb(struct tal_data *t, struct sk_buff *skb) {
    if (!t || !skb)
        return skb;
    struct tal_port *tp = tal_port_of(t, jxbridge_port_at(t->bridge, JXBRIDGE_CB(skb)->port_no));
    if (!tp)
        return skb;
    if (tp->timer_active[TAL_T_AUTHEN] || tp->timer_active[TAL_T_AUTHOR]) {
        if (tp->authen_oper) {
            TAL_TRACE(t, "[TAL]        Authentication timer active, dropping frame.\n");
            drop_rx(tp, skb);
            return nullptr;
        }
        if (tp->author_oper) {
            TAL_TRACE(t, "[TAL]        Authorization timer active, disabling flows.\n");
            JXBRIDGE_CB(skb)->flag_byte |= JXBRIDGE_CB_B_NO_FLOW;
        }
        return skb;
    }
    if (!tp->authen_oper && !tp->author_oper) {
        TAL_TRACE(t, "[TAL]        Return skb.\n");
        return skb;
    }
    return tal_skb_authenticated(t, tp, skb);
}

struct sk_buff *tal_skb_egress(struct tal_data *t, struct sk_buff *skb) {
    if (!t || !skb)
        return skb;
    struct tal_port *tp = tal_port_of(t, jxbridge_port_at(t->bridge, JXBRIDGE_CB(skb)->port_no));
    if (!tp || !tp->authen_oper)
        return skb;
    TAL_TRACE(t, "[TAL]        Authentication is operational, dropping frame.\n");
    tp->c.dropped_tx++;
    kfree_skb(skb);
    return nullptr;
}

// Bridges and ports.

static void tal_port_free(struct tal_data *t, struct tal_port *tp) {
    request_release(tp);
    q_purge(tp);
    tal_port_entry_del(t, tp, 0);
    kfree(tp);
}

static void tal_fini(struct jxbridge *B) {
    struct tal_data *t = B->tal;
    if (!t)
        return;
    if (t->timer.callback) {
        jxbridge_del_timer_sync_locked(&t->timer);
        del_timer_sync(&t->timer.timer);
    }
    for (u32 i = 0; t->ports && i < B->max_ports; i++)
        if (t->ports[i])
            tal_port_free(t, t->ports[i]);
    kfree(t->ports);
    while (t->selectors)
        tal_selector_del(t, t->selectors->name);
    while (struct tal_action_list *l = t->lists) {
        l->refcnt = 0;
        tal_action_list_del(t, l->name);
    }
    kfree(t);
    B->tal = nullptr;
}

static int tal_init(struct jxbridge *B) {
    auto *t = (struct tal_data *)jxbridge_zalloc(sizeof(struct tal_data));
    if (!t)
        return -ENOMEM;
    B->tal = t;
    t->bridge = B;
    t->debug = (u32)tal_debug;
    t->request_state = 1;
    strcpy(t->debug_msg, "none");
    t->ports = (struct tal_port **)jxbridge_zalloc(sizeof(struct tal_port *) * B->max_ports);
    if (!t->ports) {
        tal_fini(B);
        return -ENOMEM;
    }
    jxbridge_timer_init(B, &t->timer, tal_timer_fn, t, TAL_TIMER_SLOT);
    return 0;
}

static int tal_port_init(struct jxbridge_port *port) {
    struct tal_data *t = port->bridge->tal;
    if (!t || port->port_no >= port->bridge->max_ports)
        return 0;
    auto *tp = (struct tal_port *)jxbridge_zalloc(sizeof(struct tal_port));
    if (!tp)
        return -ENOMEM;
    tp->port = port;
    tp->timeout = TAL_TIMEOUT_DEFAULT;
    tp->auto_timeout = TAL_AUTO_TIMEOUT_DEFAULT;
    tp->stored_timeout = TAL_STORED_TIMEOUT_DEFAULT;
    tp->max_queue = TAL_QUEUE_DEFAULT;
    t->ports[port->port_no] = tp;
    return 0;
}

// A port that goes takes its queue, its entries, a request it had
// outstanding and every cached pointer to it along.
static void tal_port_fini(struct jxbridge_port *port) {
    struct tal_data *t = port->bridge->tal;
    if (!t || port->port_no >= port->bridge->max_ports || !t->ports[port->port_no])
        return;
    for (struct tal_selector *s = t->selectors; s; s = s->next)
        for (struct tal_condition *c = s->conds; c; c = c->next)
            if (c->port.port == port)
                c->port.port = nullptr;
    tal_port_free(t, t->ports[port->port_no]);
    t->ports[port->port_no] = nullptr;
}

static void tal_subsys_debug(void *bridge, int on) {
    struct tal_data *t = ((struct jxbridge *)bridge)->tal;
    if (t)
        t->debug = (u32)on;
}

extern const struct jxbridge_subsys tal_subsys = {
    .tag = "TAL",
    .init = tal_init,
    .fini = tal_fini,
    .port_init = tal_port_init,
    .port_fini = tal_port_fini,
    .files = {{"tal", 0600, &tal_fops}},
    .set_debug = tal_subsys_debug,
};
