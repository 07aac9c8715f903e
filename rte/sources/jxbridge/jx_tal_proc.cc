// The bridge's "tal" control file: text commands, the record commands of the
// access-authentication agent, and the read-out.
//
// Every handler runs under jxbridge_lock. User copies let the lock go, so a
// handler copies all it reads from the caller before it looks anything up.
#include "jx_tal.h"

#include <cstdio>

namespace {

struct tal_data *engine(struct jxbridge *B) {
    return B->tal;
}

// The read-out goes to the file when read, to the log for "show".
struct out {
    struct seq_file *m;
    void pr(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        va_list ap;
        va_start(ap, fmt);
        if (m) {
            seq_vprintf(m, fmt, ap);
        } else {
            char line[256];
            vsnprintf(line, sizeof(line), fmt, ap);
            printk(KERN_INFO "%s", line);
        }
        va_end(ap);
    }
};

const char *fwd_state(u32 v) {
    static const char *const s[] = {"Disabled", "Forwarding", "Discarding"};
    return v < 3 ? s[v] : "?";
}
const char *auth_state(u32 v, const char *busy) {
    static const char *const s[] = {"Disabled", "Waiting", "Approved-disabled", "Rejected-waiting"};
    return v < 4 ? s[v] : v == 4 ? busy : "?";
}

void show_port(struct out *o, struct tal_data *t, struct tal_port *tp) {
    const struct tal_counters &c = tp->c;
    o->pr("\nPort: %s\n", tp->port->dev->name);
    o->pr("=====\n");
    o->pr("Admin State: %d\n", tp->admin);
    o->pr("Authentication Admin State: %d\n", tp->authen_admin);
    o->pr("Authorization Admin State: %d\n", tp->author_admin);
    o->pr("Automatic Request Admin State: %d\n", tp->auto_admin);
    o->pr("Authentication Operational State: %d\n", tp->authen_oper);
    o->pr("Authorization Operational State: %d\n", tp->author_oper);
    o->pr("Automatic Request Operational State: %d\n", tp->auto_oper);
    o->pr("Authentication Timer State: %d\n", tp->timer_active[TAL_T_AUTHEN]);
    o->pr("Authorization Timer State: %d\n", tp->timer_active[TAL_T_AUTHOR]);
    o->pr("Automatic Request Timer State: %d\n", tp->timer_active[TAL_T_AUTO]);
    o->pr("Automatic Request Flag: %d\n", tp->auto_pending);
    o->pr("Timeout: %d\n", (int)tp->timeout);
    o->pr("Automatic Request Timeout: %d\n", (int)tp->auto_timeout);
    o->pr("Max Queue Size: %d\n", (int)tp->max_queue);
    o->pr("\n");
    o->pr("Current Queue Size: %d\n", (int)tp->q_len);
    o->pr("Max Current Queue Size: %d\n", (int)c.queue_max);
    o->pr("Average Current Queue Size: %d\n", (int)c.queue_avg);
    o->pr("Frames Dropped Rx: %d\n", (int)c.dropped_rx);
    o->pr("Frames Dropped Tx: %d\n", (int)c.dropped_tx);
    o->pr("Matched Frames: %d\n", (int)c.matched);
    o->pr("Authentication Requests Sent: %d\n", (int)c.req_sent[0]);
    o->pr("Authentication Requests Confirmed: %d\n", (int)c.req_ok[0]);
    o->pr("Authentication Requests Rejected: %d\n", (int)c.req_nok[0]);
    o->pr("Authentication Timeouts Expired: %d\n", (int)c.timeouts[0]);
    o->pr("Authorization Requests Sent: %d\n", (int)c.req_sent[1]);
    o->pr("Authorization Requests Confirmed: %d\n", (int)c.req_ok[1]);
    o->pr("Authorization Requests Rejected: %d\n", (int)c.req_nok[1]);
    o->pr("Authorization Timeouts Expired: %d\n", (int)c.timeouts[1]);
    o->pr("Automatic Requests Sent: %d\n", (int)c.auto_sent);
    o->pr("Automatic Requests Confirmed: %d\n", (int)c.auto_ok);
    o->pr("Automatic Requests Rejected: %d\n", (int)c.auto_nok);
    o->pr("Stored Requests Sent: %d\n", (int)c.stored_sent);
    o->pr("Stored Requests Confirmed: %d\n", (int)c.stored_ok);
    o->pr("Stored Requests Rejected: %d\n", (int)c.stored_nok);
    o->pr("\n");
    u32 f, a, z;
    tal_port_states_get(t, tp, &f, &a, &z);
    o->pr("Port Forwarding State: %s\n", fwd_state(f));
    o->pr("Port Authentication State: %s\n", auth_state(a, "Authenticating"));
    o->pr("Port Authorization State: %s\n", auth_state(z, "Authorizing"));
    for (struct tal_entry *e = tp->entries; e; e = e->next)
        o->pr("Entry %u: %s --> %s (%u)\n", e->number, e->selector->name, e->action_list->name,
              e->matches);
}

void show_all(struct out *o, struct tal_data *t) {
    o->pr("\nDebug: %d\n", (int)t->debug);
    o->pr("Admin state: %d\n", t->admin);
    o->pr("TAL Debug Message: %s\n", t->debug_msg);
    o->pr("TAL Request State: %d\n", t->request_state);
    o->pr("Outer EtherType: 0x%04x\n", t->outer_ethertype);
    char line[600];
    for (struct tal_selector *s = t->selectors; s; s = s->next) {
        o->pr("Selector %s (%u)\n", s->name, s->refcnt);
        for (struct tal_condition *c = s->conds; c; c = c->next) {
            tal_cond_form(c, line, sizeof(line));
            o->pr("\t%s\n", line);
        }
    }
    for (struct tal_action_list *l = t->lists; l; l = l->next) {
        o->pr("Action list %s (%u)\n", l->name, l->refcnt);
        for (struct tal_action *a = l->actions; a; a = a->next)
            o->pr("\t%u. %s\n", a->number, tal_action_names[a->code]);
    }
    for (u32 i = 0; i < t->bridge->max_ports; i++)
        if (t->ports[i])
            show_port(o, t, t->ports[i]);
}

int port_of(struct jxbridge *B, const char *word, struct tal_port **out) {
    struct jxbridge_port *p = nullptr;
    if (!word)
        return -ENOARG;
    if (jxbridge_proc_port(B, word, &p))
        return -ENODEV;
    *out = tal_port_of(engine(B), p);
    return *out ? 0 : -ENODEV;
}

int state_word(const char *w, u8 *out) {
    u32 v;
    int rc = word_u32(w, &v);
    if (rc)
        return rc;
    if (v > 1)
        return -ERANGE;
    *out = (u8)v;
    return 0;
}

// Text commands.

int cmd_debug(struct jxbridge *B, char **w) {
    u32 v;
    int rc = word_u32(w[1], &v);
    if (!rc)
        engine(B)->debug = v;
    return rc;
}

int cmd_selector(struct jxbridge *B, char **w) {
    return rule_cmd_named<TAL_NAME_FIELD>(engine(B), w, tal_selector_add, tal_selector_del);
}

int cmd_action_list(struct jxbridge *B, char **w) {
    return rule_cmd_named<TAL_NAME_FIELD>(engine(B), w, tal_action_list_add, tal_action_list_del);
}

int cmd_condition(struct jxbridge *B, char **w) {
    return rule_cmd_numbered<tal_condition, TAL_NAME_FIELD>(
        engine(B), w,
        [](struct tal_data *, char **rest, struct tal_condition *c) {
            return rest[0] ? tal_cond_parse(rest, c) : -ENOARG;
        },
        tal_condition_add, tal_condition_del,
        [](struct tal_data *t, const char *owner, char **, u32 n) {
            return tal_condition_renumber(t, owner, n);
        });
}

int cmd_action(struct jxbridge *B, char **w) {
    return rule_cmd_numbered<tal_action, TAL_NAME_FIELD>(
        engine(B), w,
        [](struct tal_data *, char **rest, struct tal_action *a) {
            if (!rest[0])
                return -ENOARG;
            for (u32 i = 0; i < TAL_ACTIONS; i++)
                if (!strcasecmp(rest[0], tal_action_names[i])) {
                    a->code = i;
                    return 0;
                }
            return -EINVAL;
        },
        [](struct tal_data *t, const char *owner, struct tal_action *a) {
            return tal_action_add(t, owner, a->number, a->code);
        },
        tal_action_del,
        [](struct tal_data *t, const char *owner, char **, u32 n) {
            return tal_action_renumber(t, owner, n);
        });
}

// "port-entry add <port> <selector> <action-list> [<number>]",
// "port-entry del <port> [<number>]", "port-entry renumber <port> <step>".
int cmd_port_entry(struct jxbridge *B, char **w) {
    struct tal_data *t = engine(B);
    struct tal_port *tp;
    if (!w[1] || !w[2])
        return -ENOARG;
    int rc = port_of(B, w[2], &tp);
    if (rc)
        return rc;
    u32 n = 0;
    if (!strcasecmp(w[1], "renumber"))
        return (rc = word_u32(w[3], &n)) ? rc : tal_port_entry_renumber(t, tp, n);
    if (!strcasecmp(w[1], "del"))
        return w[3] && (rc = word_u32(w[3], &n)) ? rc : tal_port_entry_del(t, tp, n);
    if (strcasecmp(w[1], "add"))
        return -EINVAL;
    char sel[TAL_NAME_FIELD], list[TAL_NAME_FIELD];
    if ((rc = rule_word_name(w[3], sel, TAL_NAME_MAX)) ||
        (rc = rule_word_name(w[4], list, TAL_NAME_MAX)) || (w[5] && (rc = word_u32(w[5], &n))))
        return rc;
    return tal_port_entry_add(t, tp, n, sel, list);
}

int cmd_ethertype(struct jxbridge *B, char **w) {
    u32 v;
    if (!w[1])
        return -ENOARG;
    if (strcasecmp(w[1], "set"))
        return -EINVAL;
    int rc = word_u32(w[2], &v);
    if (rc)
        return rc;
    if (v > 0xFFFF)
        return -ERANGE;
    tal_set_outer_ethertype(engine(B), (u16)v);
    return 0;
}

int cmd_state(struct jxbridge *B, char **w) {
    return state_word(w[1], &engine(B)->admin);
}

int cmd_port(struct jxbridge *B, char **w) {
    struct tal_data *t = engine(B);
    struct tal_port *tp;
    int rc = port_of(B, w[1], &tp);
    if (rc)
        return rc;
    const char *k = w[2];
    if (!k)
        return -ENOARG;
    if (!strcasecmp(k, "clear")) {
        tal_port_clear(tp);
        return 0;
    }
    if (!strcasecmp(k, "reset")) {
        tal_port_reset(tp);
        tal_timers_arm(t);
        return 0;
    }
    u8 s;
    if (!strcasecmp(k, "state"))
        return state_word(w[3], &tp->admin);
    if (!strcasecmp(k, "authentication") || !strcasecmp(k, "authorization")) {
        if ((rc = state_word(w[3], &s)))
            return rc;
        tal_port_admin_state_set(t, tp, strcasecmp(k, "authentication") ? 1 : 0, s);
        return 0;
    }
    u32 v;
    if ((rc = word_u32(w[3], &v)))
        return rc;
    if (!strcasecmp(k, "timeout"))
        return tal_port_timeout_set(t, tp, 0, v);
    if (!strcasecmp(k, "auto-req-timeout"))
        return tal_port_timeout_set(t, tp, 1, v);
    if (!strcasecmp(k, "max-queue-size"))
        return tal_port_max_queue_set(t, tp, v);
    return -EINVAL;
}

int cmd_show(struct jxbridge *B, char **w) {
    struct out o = {nullptr};
    if (!w[1]) {
        show_all(&o, engine(B));
        return 0;
    }
    if (strcasecmp(w[1], "port"))
        return -EINVAL;
    struct tal_port *tp;
    int rc = port_of(B, w[2], &tp);
    if (!rc)
        show_port(&o, engine(B), tp);
    return rc;
}

const struct jxbridge_proc_cmd tal_cmds[] = {
    {"help", nullptr,
     "Supported commands:\n\thelp\n\tdebug <mode>\n\tcondition add <selector-name> <number> "
     "<field> [<value1> [<value2>]]\n\tcondition del <selector-name> <number>\n\tcondition "
     "renumber <selector-name> <step>\n\tselector add <name>\n\tselector del <name>\n",
     0},
    {nullptr, nullptr,
     "\taction add <action-list-name> <number> <action> [<value1>]\n\taction del "
     "<action-list-name> <number>\n\taction renumber <action-list-name> <step>\n\taction-list add "
     "<name>\n\taction-list del <name>\n\tport-entry add <port> <selector> <action-list> "
     "\n\tport-entry del <port> \n\tport-entry renumber <port> <step>\n\tethertype set <vid>\n",
     JXBRIDGE_CMD_HELP_CALL},
    {nullptr, nullptr,
     "\tstate <state>\n\tport <port> state <state>\n\tport <port> authentication <state>\n\tport "
     "<port> authorization <state>\n\tport <port> timeout <timeout>\n\tport <port> "
     "auto-req-timeout <timeout>\n\tport <port> max-queue-size <size>\n\tport <port> "
     "clear\n\tport <port> reset\n\tshow [port <port>]\n",
     JXBRIDGE_CMD_HELP_CALL},
    {"debug", cmd_debug, nullptr, 0},
    {"condition", cmd_condition, nullptr, 0},
    {"selector", cmd_selector, nullptr, 0},
    {"action", cmd_action, nullptr, 0},
    {"action-list", cmd_action_list, nullptr, 0},
    {"port-entry", cmd_port_entry, nullptr, 0},
    {"ethertype", cmd_ethertype, nullptr, 0},
    {"state", cmd_state, nullptr, 0},
    {"port", cmd_port, nullptr, 0},
    {"show", cmd_show, nullptr, 0},
};

// Record commands. Names in records must end inside their field and fit
// the 47 characters a name may have.

int field_name(const char *field, size_t size, char *out) {
    return rule_field_name(field, size, out, TAL_NAME_MAX);
}

// At most 49 bytes are read.
int user_name(unsigned long arg, char *out) {
    return rule_user_name(arg, out, TAL_NAME_MAX);
}

template <int (*op)(struct tal_data *, const char *)>
long ioc_named(struct jxbridge *B, unsigned int, unsigned long arg) {
    char name[TAL_NAME_FIELD];
    int rc = user_name(arg, name);
    return rc ? rc : op(engine(B), name);
}

long ioc_debug(struct jxbridge *B, unsigned int, unsigned long arg) {
    engine(B)->debug = (u32)arg;
    return 0;
}

long ioc_ethertype(struct jxbridge *B, unsigned int, unsigned long arg) {
    if (arg > 0xFFFF)
        return -ERANGE;
    tal_set_outer_ethertype(engine(B), (u16)arg);
    return 0;
}

long ioc_rename(struct jxbridge *B, unsigned int cmd, tal_rename_record *r, unsigned long) {
    char from[TAL_NAME_FIELD], to[TAL_NAME_FIELD];
    if (field_name(r->from, sizeof(r->from), from) || field_name(r->to, sizeof(r->to), to))
        return -EINVAL;
    return (cmd == 0x40047a05 ? tal_selector_rename : tal_action_list_rename)(engine(B), from, to);
}

long ioc_condition(struct jxbridge *B, unsigned int cmd, tal_condition_record *r, unsigned long) {
    char sel[TAL_NAME_FIELD];
    if (field_name(r->selector, sizeof(r->selector), sel))
        return -EINVAL;
    if (cmd == 0x40047a07)
        return tal_condition_del(engine(B), sel, r->number);
    if (cmd == 0x40047a08)
        return tal_condition_renumber(engine(B), sel, r->number);
    struct tal_condition c = {};
    c.number = r->number;
    c.code = r->code;
    memcpy(c.param, r->param, sizeof(c.param));
    if (c.code == TAL_C_SPORT || c.code == TAL_C_DPORT) {
        if (strnlen(r->port, sizeof(r->port)) == sizeof(r->port))
            return -EINVAL;
        strcpy(c.port.name, r->port);
    }
    return tal_condition_add(engine(B), sel, &c);
}

long ioc_action(struct jxbridge *B, unsigned int cmd, tal_action_record *r, unsigned long) {
    char list[TAL_NAME_FIELD];
    if (field_name(r->list, sizeof(r->list), list))
        return -EINVAL;
    if (cmd == 0x40047a0d)
        return tal_action_del(engine(B), list, r->number);
    if (cmd == 0x40047a0e)
        return tal_action_renumber(engine(B), list, r->number);
    return tal_action_add(engine(B), list, r->number, r->code);
}

long ioc_port_entry(struct jxbridge *B, unsigned int cmd, tal_port_entry_record *r, unsigned long) {
    struct jxbridge_port *p = nullptr;
    int rc = jxbridge_proc_port_field(B, r->port, &p);
    if (rc)
        return rc;
    struct tal_port *tp = tal_port_of(engine(B), p);
    if (!tp)
        return -ENODEV;
    if (cmd == 0x40047a10)
        return tal_port_entry_del(engine(B), tp, r->number);
    if (cmd == 0x40047a11)
        return tal_port_entry_renumber(engine(B), tp, r->number);
    char sel[TAL_NAME_FIELD], list[TAL_NAME_FIELD];
    if (field_name(r->selector, sizeof(r->selector), sel) ||
        field_name(r->action_list, sizeof(r->action_list), list))
        return -EINVAL;
    return tal_port_entry_add(engine(B), tp, r->number, sel, list);
}

long ioc_admin_set(struct jxbridge *B, unsigned int, unsigned long arg) {
    if (arg > 1)
        return -ERANGE;
    engine(B)->admin = (u8)arg;
    return 0;
}

long ioc_admin_get(struct jxbridge *B, unsigned int, u8 *v, unsigned long) {
    *v = engine(B)->admin;
    return 0;
}

long ioc_request_state(struct jxbridge *B, unsigned int, unsigned long arg) {
    if (arg > 1)
        return -ERANGE;
    engine(B)->request_state = (u8)arg;
    return 0;
}

long ioc_port(struct jxbridge *B, unsigned int cmd, tal_port_record *r, unsigned long) {
    struct tal_data *t = engine(B);
    struct jxbridge_port *p = nullptr;
    int rc = jxbridge_proc_port_field(B, r->port, &p);
    if (rc)
        return rc;
    struct tal_port *tp = tal_port_of(t, p);
    if (!tp)
        return -ENODEV;
    switch (cmd & 0xFF) {
    case 0x14:
    case 0x16:
    case 0x18:
    case 0x26:
        if (r->state > 1)
            return -ERANGE;
        break;
    case 0x1e:
    case 0x20:
        if (r->oper_state > 1)
            return -ERANGE;
        break;
    }
    switch (cmd & 0xFF) {
    case 0x14:
        tp->admin = r->state;
        return 0;
    case 0x15:
        r->state = tp->admin;
        return 0;
    case 0x16:
        tal_port_admin_state_set(t, tp, 0, r->state);
        return 0;
    case 0x17:
        r->state = tp->authen_admin;
        return 0;
    case 0x18:
        tal_port_admin_state_set(t, tp, 1, r->state);
        return 0;
    case 0x19:
        r->state = tp->author_admin;
        return 0;
    case 0x1a:
        return tal_port_timeout_set(t, tp, 0, r->timeout);
    case 0x1b:
        r->timeout = tp->timeout;
        return 0;
    case 0x1c:
        return tal_port_max_queue_set(t, tp, r->max_queue);
    case 0x1d:
        r->max_queue = tp->max_queue;
        return 0;
    case 0x1e:
        tp->authen_oper = r->oper_state;
        return 0;
    case 0x1f:
        r->oper_state = tp->authen_oper;
        return 0;
    case 0x20:
        tp->author_oper = r->oper_state;
        return 0;
    case 0x21:
        r->oper_state = tp->author_oper;
        return 0;
    case 0x23:
    case 0x24:
        return tal_port_reply(t, tp, cmd == 0x40047a24, r->reply);
    case 0x25: {
        u32 f, a, z;
        tal_port_states_get(t, tp, &f, &a, &z);
        r->forwarding = f;
        r->authentication = a;
        r->authorization = z;
        return 0;
    }
    case 0x26:
        tal_port_admin_state_set(t, tp, 2, r->state);
        return 0;
    case 0x27:
        r->state = tp->auto_admin;
        return 0;
    case 0x29:
        return tal_port_stored_request(t, tp);
    }
    return -EINVAL;
}

long ioc_stats(struct jxbridge *B, unsigned int, tal_stats_record *r, unsigned long) {
    struct jxbridge_port *p = nullptr;
    int rc = jxbridge_proc_port_field(B, r->port, &p);
    if (rc)
        return rc;
    struct tal_port *tp = tal_port_of(engine(B), p);
    if (!tp)
        return -ENODEV;
    const struct tal_counters &c = tp->c;
    r->queue_size = tp->q_len;
    r->queue_max = c.queue_max > tp->q_len ? c.queue_max : tp->q_len;
    r->queue_avg = c.queue_avg;
    r->dropped_rx = c.dropped_rx;
    r->matched = c.matched;
    r->authen_sent = c.req_sent[0];
    r->author_sent = c.req_sent[1];
    r->authen_ok = c.req_ok[0];
    r->author_ok = c.req_ok[1];
    r->authen_nok = c.req_nok[0];
    r->author_nok = c.req_nok[1];
    r->authen_timeouts = c.timeouts[0];
    r->author_timeouts = c.timeouts[1];
    return 0;
}

#define SET JXBRIDGE_IOC_IN_EINVAL
#define GET (JXBRIDGE_IOC_IN | JXBRIDGE_IOC_OUT_EINVAL)
#define PORT_SET(n) JXBRIDGE_IOC(n, tal_port_record, SET, ioc_port)
#define PORT_GET(n) JXBRIDGE_IOC(n, tal_port_record, GET, ioc_port)
const struct jxbridge_proc_ioc tal_iocs[] = {
    JXBRIDGE_IOC_VALUE(0x40047a01, ioc_debug),
    JXBRIDGE_IOC_VALUE(0x40027a02, ioc_ethertype),
    JXBRIDGE_IOC_VALUE(0x40047a03, ioc_named<tal_selector_add>),
    JXBRIDGE_IOC_VALUE(0x40047a04, ioc_named<tal_selector_del>),
    JXBRIDGE_IOC(0x40047a05, tal_rename_record, SET, ioc_rename),
    JXBRIDGE_IOC(0x40047a06, tal_condition_record, SET, ioc_condition),
    JXBRIDGE_IOC(0x40047a07, tal_condition_record, SET, ioc_condition),
    JXBRIDGE_IOC(0x40047a08, tal_condition_record, SET, ioc_condition),
    JXBRIDGE_IOC_VALUE(0x40047a09, ioc_named<tal_action_list_add>),
    JXBRIDGE_IOC_VALUE(0x40047a0a, ioc_named<tal_action_list_del>),
    JXBRIDGE_IOC(0x40047a0b, tal_rename_record, SET, ioc_rename),
    JXBRIDGE_IOC(0x40047a0c, tal_action_record, SET, ioc_action),
    JXBRIDGE_IOC(0x40047a0d, tal_action_record, SET, ioc_action),
    JXBRIDGE_IOC(0x40047a0e, tal_action_record, SET, ioc_action),
    JXBRIDGE_IOC(0x40047a0f, tal_port_entry_record, SET, ioc_port_entry),
    JXBRIDGE_IOC(0x40047a10, tal_port_entry_record, SET, ioc_port_entry),
    JXBRIDGE_IOC(0x40047a11, tal_port_entry_record, SET, ioc_port_entry),
    JXBRIDGE_IOC_VALUE(0x40017a12, ioc_admin_set),
    JXBRIDGE_IOC(0x40047a13, u8, JXBRIDGE_IOC_OUT, ioc_admin_get),
    PORT_SET(0x40047a14),
    PORT_GET(0x40047a15),
    PORT_SET(0x40047a16),
    PORT_GET(0x40047a17),
    PORT_SET(0x40047a18),
    PORT_GET(0x40047a19),
    PORT_SET(0x40047a1a),
    PORT_GET(0x40047a1b),
    PORT_SET(0x40047a1c),
    PORT_GET(0x40047a1d),
    PORT_SET(0x40047a1e),
    PORT_GET(0x40047a1f),
    PORT_SET(0x40047a20),
    PORT_GET(0x40047a21),
    JXBRIDGE_IOC(0x40047a22, tal_stats_record, GET, ioc_stats),
    PORT_SET(0x40047a23),
    PORT_SET(0x40047a24),
    PORT_GET(0x40047a25),
    PORT_SET(0x40047a26),
    PORT_GET(0x40047a27),
    JXBRIDGE_IOC_VALUE(0x40047a28, ioc_request_state),
    PORT_GET(0x40047a29),
};
static_assert(ARRAY_SIZE(tal_iocs) == 41);
#undef SET
#undef GET
#undef PORT_SET
#undef PORT_GET

int tal_show(struct seq_file *m, void *) {
    struct jxbridge *B = (struct jxbridge *)m->private_data;
    mutex_lock(&jxbridge_lock);
    if (B->tal) {
        struct out o = {m};
        show_all(&o, B->tal);
    }
    mutex_unlock(&jxbridge_lock);
    return 0;
}

int tal_check(struct jxbridge *B) {
    return B->tal ? 0 : -ENODEV;
}

bool tal_file_debug(struct jxbridge *B) {
    return tal_dbg(B->tal);
}

const struct jxbridge_proc_ops tal_ops = {
    .tag = "TAL",
    .log = JXBRIDGE_PROC_LOG_PLAIN,
    .debug = tal_file_debug,
    .check = tal_check,
    .cmds = tal_cmds,
    .n_cmds = ARRAY_SIZE(tal_cmds),
    .iocs = tal_iocs,
    .n_iocs = ARRAY_SIZE(tal_iocs),
    .trace = "tal_ioctl",
    .say = nullptr,
    .unknown = nullptr,
};

} // namespace

const struct file_operations tal_fops = jxbridge_proc_file<tal_show, &tal_ops>::fops;
