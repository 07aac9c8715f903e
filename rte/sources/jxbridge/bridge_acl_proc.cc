// The bridge's "acl" control file: text commands, the dump, and the record
// commands of the management agents.
//
// Every handler runs under jxbridge_lock. User copies let the lock go, so a
// handler copies all it reads from the caller before it looks anything up,
// and copies out from its own buffer after it is done with the model.
#include "bridge_acl.h"

#include <algorithm>

namespace {

struct acl_engine *engine(struct jxbridge *B) {
    return B->acl;
}

// Words.

void show_selector(const struct acl_selector *s, char *line, size_t size) {
    for (const struct acl_condition *c = s->conds; c; c = c->next) {
        acl_cond_list(c, line, size);
        printk(KERN_INFO "\t%s\n", line);
    }
}

// Text commands.

int cmd_help(struct jxbridge *, char **) {
    printk(KERN_INFO "Supported commands:\n\thelp\n\tdebug <mode>\n\tcounter add <name>\n\tcounter "
                     "del <name>\n\tcounter reset <name>\n\tcounter show [<name>]\n\tselector add "
                     "<name>\n\tselector del <name>\n\tselector show [<name>]\n\tcondition add "
                     "<selector-name> <number> <field> ['!'] [<value1> [<value2>]]\n");
    for (const struct acl_cond_row &r : acl_cond_rows)
        printk(KERN_INFO "\t\t%s %s\n", r.name, r.args);
    printk(KERN_INFO "\tcondition del <selector-name> <number>\n\tcondition renumber "
                     "<selector-name> <first> <last> <new_first> <step>\n\taction-list add "
                     "<name>\n\taction-list del <name>\n\taction-list show [<name>]\n\taction add "
                     "<action-list-name> <number> <action> [<value1>]\n");
    for (const struct acl_action_row &r : acl_action_rows)
        printk(KERN_INFO "\t\t%s %s\n", r.name, r.args ? r.args : "");
    printk(KERN_INFO "\taction del <action-list-name> <number>\n\taction renumber "
                     "<action-list-name> <first> <last> <new_first> <step>\n\tport-entry add "
                     "<port> <dir> <#> <selector> <action-list>\n\tport-entry del <port> <dir> "
                     "<#>\n\tport-entry renumber <port> <dir> <first> <last> <new_first> "
                     "<step>\n\tport-entry show <port> <dir>\n\tdefault-action-list <port> <dir> "
                     "<selector> <action-list-name>\n");
    printk(KERN_INFO "\tgoto limit <limit>\n");
    return 0;
}

int cmd_debug(struct jxbridge *B, char **w) {
    u32 v;
    int rc = word_u32(w[1], &v);
    if (!rc)
        acl_set_debug(engine(B), v);
    return rc;
}

void counter_say(struct acl_engine *acl, const char *name) {
    u64 p, b;
    if (acl_counter_get_value(acl, name, &p, &b))
        printk(KERN_INFO "%s = <unknown>\n", name);
    else
        printk(KERN_INFO "%s = %llu / %llu\n", name, (unsigned long long)p, (unsigned long long)b);
}

int cmd_counter(struct jxbridge *B, char **w) {
    struct acl_engine *acl = engine(B);
    char name[RULE_NAME_FIELD];
    if (!w[1])
        return -ENOARG;
    if (!strcasecmp(w[1], "show")) {
        if (w[2]) {
            counter_say(acl, w[2]);
            return 0;
        }
        for (struct acl_counter *c = acl->counters; c; c = c->next)
            counter_say(acl, c->name);
        return 0;
    }
    int rc = rule_word_name(w[2], name);
    if (rc)
        return rc;
    if (!strcasecmp(w[1], "add"))
        return acl_counter_add(acl, name);
    if (!strcasecmp(w[1], "del"))
        return acl_counter_del(acl, name);
    if (!strcasecmp(w[1], "reset"))
        return acl_counter_reset_(acl, name);
    return -EINVAL;
}

int cmd_selector(struct jxbridge *B, char **w) {
    struct acl_engine *acl = engine(B);
    if (!w[1])
        return -ENOARG;
    if (!strcasecmp(w[1], "show")) {
        if (!w[2]) {
            for (struct acl_selector *s = acl->selectors; s; s = s->next)
                printk(KERN_INFO "%s (%u)\n", s->name, s->refcnt);
            return 0;
        }
        struct acl_selector *s = acl_selector_find(acl, w[2]);
        if (!s) {
            printk(KERN_INFO "Selector '%s' does not exist.\n", w[2]);
            return -ENOENT;
        }
        char line[256];
        show_selector(s, line, sizeof(line));
        return 0;
    }
    return rule_cmd_named<RULE_NAME_FIELD>(acl, w, acl_selector_add, acl_selector_del);
}

// The four numbers of a renumber.
int renumber_words(char **w, u32 *v) {
    for (int i = 0; i < 4; i++) {
        int rc = word_u32(w[i], &v[i]);
        if (rc)
            return rc;
    }
    return 0;
}

// A renumber's four numbers, from the first on.
int renumber_rest(struct acl_engine *acl, const char *owner, char **w,
                  int (*renumber)(struct acl_engine *, const char *, u32, u32, u32, u32)) {
    u32 v[4];
    int rc = renumber_words(w, v);
    return rc ? rc : renumber(acl, owner, v[0], v[1], v[2], v[3]);
}

int cmd_condition(struct jxbridge *B, char **w) {
    return rule_cmd_numbered<acl_condition, RULE_NAME_FIELD>(
        engine(B), w, acl_cond_parse, acl_condition_add, acl_condition_del,
        [](struct acl_engine *acl, const char *owner, char **rest, u32) {
            return renumber_rest(acl, owner, rest, acl_condition_renumber);
        });
}

int cmd_action_list(struct jxbridge *B, char **w) {
    struct acl_engine *acl = engine(B);
    if (!w[1])
        return -ENOARG;
    if (!strcasecmp(w[1], "show")) {
        if (!w[2]) {
            for (struct acl_action_list *l = acl->lists; l; l = l->next)
                printk(KERN_INFO "%s (%u)\n", l->name, l->refcnt);
            return 0;
        }
        struct acl_action_list *l = acl_action_list_find(acl, w[2]);
        if (!l) {
            printk(KERN_INFO "Action list '%s' does not exist.\n", w[2]);
            return -ENOENT;
        }
        char line[160];
        for (struct acl_action *a = l->actions; a; a = a->next) {
            acl_action_list_form(a, line, sizeof(line));
            printk(KERN_INFO "\t%u. %s\n", a->number, line);
        }
        return 0;
    }
    return rule_cmd_named<RULE_NAME_FIELD>(acl, w, acl_action_list_add, acl_action_list_del);
}

int cmd_action(struct jxbridge *B, char **w) {
    return rule_cmd_numbered<acl_action, RULE_NAME_FIELD>(
        engine(B), w, acl_action_parse, acl_action_add, acl_action_del,
        [](struct acl_engine *acl, const char *owner, char **rest, u32) {
            return renumber_rest(acl, owner, rest, acl_action_renumber);
        });
}

int cmd_port_entry(struct jxbridge *B, char **w) {
    struct acl_engine *acl = engine(B);
    if (!w[1] || !w[2] || !w[3])
        return -ENOARG;
    struct jxbridge_port *p = nullptr;
    if (jxbridge_proc_port(B, w[2], &p))
        return -ENODEV;
    int dir = rule_word_dir(w[3]);
    if (!strcasecmp(w[1], "add")) {
        u32 number;
        char sel[RULE_NAME_FIELD], list[RULE_NAME_FIELD];
        if (dir < 0 || word_u32(w[4], &number))
            return -ENOARG;
        int rc = rule_word_name(w[5], sel);
        if (rc || (rc = rule_word_name(w[6], list)))
            return rc;
        return acl_port_entry_add(acl, p, dir, number, sel, list);
    }
    // Here any word but "egress" is ingress.
    dir = dir == 0 ? 0 : 1;
    if (!strcasecmp(w[1], "del")) {
        u32 number;
        int rc = word_u32(w[4], &number);
        return rc ? rc : acl_port_entry_del(acl, p, dir, number);
    }
    if (!strcasecmp(w[1], "renumber")) {
        u32 v[4];
        int rc = renumber_words(w + 4, v);
        return rc ? rc : acl_port_entry_renumber(acl, p, dir, v[0], v[1], v[2], v[3]);
    }
    if (!strcasecmp(w[1], "show")) {
        struct acl_entry *e = acl_port_entries(acl, p->port_no, dir);
        if (!e) {
            printk(KERN_INFO "Port entry '%s:%s' does not exist.\n", w[2], w[3]);
            return -ENOENT;
        }
        for (; e; e = e->next)
            printk(KERN_INFO "\t%d: %s -> %s\n", (int)e->number, e->selector->name,
                   e->action_list ? e->action_list->name : "<none>");
        return 0;
    }
    return -EINVAL;
}

int cmd_default(struct jxbridge *B, char **w) {
    if (!w[1] || !w[2] || !w[3])
        return -ENOARG;
    struct jxbridge_port *p = nullptr;
    if (jxbridge_proc_port(B, w[1], &p))
        return -ENODEV;
    int dir = rule_word_dir(w[2]);
    if (dir < 0)
        return -EINVAL;
    char sel[RULE_NAME_FIELD], list[RULE_NAME_FIELD];
    int rc = rule_word_name(w[3], sel);
    if (rc || (w[4] && (rc = rule_word_name(w[4], list))))
        return rc;
    return acl_default_action_list_set(engine(B), p, dir, sel, w[4] ? list : nullptr);
}

int cmd_goto(struct jxbridge *B, char **w) {
    if (!w[1] || strcasecmp(w[1], "limit"))
        return w[1] ? -EINVAL : -ENOARG;
    u32 v;
    int rc = word_u32(w[2], &v);
    if (!rc)
        engine(B)->goto_limit = v;
    return rc;
}

const struct jxbridge_proc_cmd acl_cmds[] = {
    {"help", cmd_help, nullptr, 0},
    {"debug", cmd_debug, nullptr, 0},
    {"counter", cmd_counter, nullptr, 0},
    {"selector", cmd_selector, nullptr, 0},
    {"condition", cmd_condition, nullptr, 0},
    {"action-list", cmd_action_list, nullptr, 0},
    {"action", cmd_action, nullptr, 0},
    {"port-entry", cmd_port_entry, nullptr, 0},
    {"default-action-list", cmd_default, nullptr, 0},
    {"goto", cmd_goto, nullptr, 0},
};

// Record commands. Names in records must end inside their field.

int field_name(const char *field, char *out, bool empty_ok = false) {
    if (rule_name_from_field(out, field, RULE_NAME_FIELD))
        return -EINVAL;
    return !empty_ok && !*out ? -EFAULT : 0;
}

// A name passed by pointer: at most a field, terminated inside it.
int user_name(unsigned long arg, char *out, bool empty_ok) {
    char buf[RULE_NAME_FIELD + 1];
    mutex_unlock(&jxbridge_lock);
    long n = strncpy_from_user(buf, (const char __user *)arg, RULE_NAME_FIELD);
    mutex_lock(&jxbridge_lock);
    if (n < 0)
        return -EFAULT;
    if (n >= RULE_NAME_FIELD)
        return -EINVAL;
    buf[n] = '\0';
    if (!n && !empty_ok)
        return -EFAULT;
    memcpy(out, buf, (size_t)n + 1);
    return 0;
}

int record_port(struct jxbridge *B, const char *field, size_t size, struct jxbridge_port **p) {
    char name[24];
    size_t n = strnlen(field, size);
    if (n == size)
        return -EINVAL;
    memcpy(name, field, n);
    name[n] = '\0';
    return jxbridge_proc_port(B, name, p) ? -ENODEV : 0;
}

long ioc_debug(struct jxbridge *B, unsigned int, unsigned long arg) {
    acl_set_debug(engine(B), (u32)arg);
    return 0;
}

template <int (*op)(struct acl_engine *, const char *), bool empty_ok>
long ioc_named(struct jxbridge *B, unsigned int, unsigned long arg) {
    char name[RULE_NAME_FIELD];
    int rc = user_name(arg, name, empty_ok);
    return rc ? rc : op(engine(B), name);
}

long ioc_condition(struct jxbridge *B, unsigned int cmd, acl_condition_record *r, unsigned long) {
    struct acl_engine *acl = engine(B);
    char sel[RULE_NAME_FIELD];
    if (field_name(r->selector, sel, true))
        return -EINVAL;
    if (cmd == ACL_IOCTL_CONDITION_DEL)
        return acl_condition_del(acl, sel, r->number);
    if (cmd == ACL_IOCTL_CONDITION_RENUMBER) {
        u32 step;
        memcpy(&step, r->param, 4);
        return acl_condition_renumber(acl, sel, r->number, r->type, r->negate, step);
    }
    struct acl_condition c = {};
    c.number = r->number;
    c.type = r->type;
    c.negate = r->negate;
    memcpy(c.param, r->param, sizeof(c.param));
    if (c.type == ACL_C_ETHER_DATA) {
        // Mask and data come in before anything is looked up: the copies let the lock go.
        u32 len;
        u64 mask, data;
        memcpy(&len, r->param + 4, 4);
        memcpy(&mask, r->param + 8, 8);
        memcpy(&data, r->param + 16, 8);
        if (len > ACL_ETHER_DATA_MAX)
            return -EINVAL;
        c.ether_buf = (u8 *)jxbridge_zalloc(2 * (size_t)len + 1);
        if (!c.ether_buf) {
            acl_err(acl, "[ACL] Unable to copy mask and data.\n");
            return -ENOMEM;
        }
        if (jxbridge_copy_from_user(c.ether_buf, (const void __user *)(uintptr_t)mask, len) ||
            jxbridge_copy_from_user(c.ether_buf + len, (const void __user *)(uintptr_t)data, len)) {
            kfree(c.ether_buf);
            return -EFAULT;
        }
        memset(c.param + 8, 0, 16);
    } else if (c.type == ACL_C_COUNTER) {
        char name[RULE_NAME_FIELD];
        if (field_name((const char *)c.param, name))
            return -EINVAL;
    } else if (c.type == ACL_C_SPORT || c.type == ACL_C_DPORT) {
        struct jxbridge_port *p;
        int rc = record_port(B, r->port, sizeof(r->port), &p);
        if (rc)
            return rc;
        strlcpy(c.port.name, p->dev->name, sizeof(c.port.name));
        c.port.port = p;
    }
    return acl_condition_add(acl, sel, &c);
}

long ioc_action(struct jxbridge *B, unsigned int cmd, acl_action_record *r, unsigned long) {
    struct acl_engine *acl = engine(B);
    char list[RULE_NAME_FIELD];
    if (field_name(r->list, list, true))
        return -EINVAL;
    if (cmd == ACL_IOCTL_ACTION_DEL)
        return acl_action_del(acl, list, r->number);
    if (cmd == ACL_IOCTL_ACTION_RENUMBER) {
        u32 v[2];
        memcpy(v, r->param, 8);
        return acl_action_renumber(acl, list, r->number, r->code, v[0], v[1]);
    }
    struct acl_action a = {};
    a.number = r->number;
    a.code = r->code;
    static_assert(sizeof(a.param) == sizeof(r->param) + sizeof(r->stop_after));
    memcpy(a.param, r->param, sizeof(a.param));
    char name[RULE_NAME_FIELD];
    switch (a.code) {
    case ACL_A_COPY:
    case ACL_A_FORWARD: {
        if (field_name((const char *)a.param, name))
            return -EFAULT;
        struct jxbridge_port *p;
        if (jxbridge_proc_port(B, name, &p))
            return -ENODEV;
        strlcpy(a.port.name, p->dev->name, sizeof(a.port.name));
        a.port.port = p;
        break;
    }
    case ACL_A_LOG:
    case ACL_A_COUNTER_INC:
    case ACL_A_COUNTER_RESET:
        if (field_name((const char *)a.param, name))
            return -EINVAL;
        break;
    case ACL_A_OO_TRAP_TO_HOST:
        // The bridge's trap device, found again by name when the action runs.
        if (!B->trap_dev)
            return -ENODEV;
        memset(a.param, 0, RULE_NAME_FIELD);
        strlcpy((char *)a.param, B->trap_dev->name, RULE_NAME_FIELD);
        break;
    case ACL_A_EVENT: {
        const char *msg = (const char *)a.param + 4;
        size_t n = strnlen(msg, RULE_NAME_FIELD);
        if (n > ACL_EVENT_MSG_MAX)
            return -EINVAL;
        if (memchr(msg, ' ', n))
            return -ENODEV;
        break;
    }
    }
    return acl_action_add(acl, list, &a);
}

long ioc_port_entry(struct jxbridge *B, unsigned int cmd, acl_port_entry_record *r, unsigned long) {
    struct acl_engine *acl = engine(B);
    struct jxbridge_port *p;
    int rc = record_port(B, r->port, sizeof(r->port), &p);
    if (rc)
        return rc;
    int dir = r->ingress ? 1 : 0;
    switch (cmd) {
    case ACL_IOCTL_PORT_ENTRY_ADD: {
        char sel[RULE_NAME_FIELD], list[RULE_NAME_FIELD];
        if (field_name(r->selector, sel, true) || field_name(r->action_list, list, true))
            return -EINVAL;
        return acl_port_entry_add(acl, p, dir, r->number, sel, list);
    }
    case ACL_IOCTL_PORT_ENTRY_DEL:
        return acl_port_entry_del(acl, p, dir, r->number);
    case ACL_IOCTL_PORT_ENTRY_RENUMBER:
        return acl_port_entry_renumber(acl, p, dir, r->number, r->last, r->new_first, r->step);
    }
    struct acl_entry *e = rule_number_find(acl_port_entries(acl, p->port_no, dir), r->number);
    if (!e)
        return -ENOENT;
    strlcpy(r->selector, e->selector->name, sizeof(r->selector));
    strlcpy(r->action_list, e->action_list ? e->action_list->name : "", sizeof(r->action_list));
    return 0;
}

long ioc_counter_reset(struct jxbridge *B, unsigned int, acl_name_record *r, unsigned long) {
    char name[RULE_NAME_FIELD];
    return field_name(r->name, name) ? -EINVAL : acl_counter_reset_(engine(B), name);
}

long ioc_counter_get(struct jxbridge *B, unsigned int, acl_counter_value_record *r, unsigned long) {
    char name[RULE_NAME_FIELD];
    u64 p, b;
    if (field_name(r->name, name) || acl_counter_get_value(engine(B), name, &p, &b))
        return -EINVAL;
    r->packets = p;
    r->bytes = b;
    return 0;
}

long ioc_fgid_get(struct jxbridge *B, unsigned int, acl_name_record *r, unsigned long) {
    char name[RULE_NAME_FIELD];
    u32 id;
    if (field_name(r->name, name))
        return -EINVAL;
    int rc = acl_counter_get_flow_group(engine(B), name, &id);
    if (!rc)
        memcpy(r->name, &id, 4);
    return rc;
}

long ioc_default(struct jxbridge *B, unsigned int, acl_default_record *r, unsigned long) {
    struct jxbridge_port *p;
    int rc = record_port(B, r->port, sizeof(r->port), &p);
    if (rc)
        return rc;
    char sel[RULE_NAME_FIELD], list[RULE_NAME_FIELD];
    if (field_name(r->selector, sel, true) || field_name(r->action_list, list, true) || !*sel ||
        !*list)
        return -EINVAL;
    return acl_default_action_list_set(engine(B), p, r->ingress ? 1 : 0, sel, list);
}

// What the flow manager is asked of a detail record's offloaded counts.
struct acl_counter_info {
    u32 fgid;
    struct jxbridge_port *port;
    u32 dir;
    const char *name;
    u64 packets, bytes;
};

long ioc_detailed(struct jxbridge *B, unsigned int, acl_detail_request *r, unsigned long) {
    struct acl_engine *acl = engine(B);
    char filter[RULE_NAME_FIELD];
    if (field_name(r->filter, filter, true) || r->dir > 2)
        return -EINVAL;
    struct jxbridge_port *only = nullptr;
    if (r->port != 0xFFFFFFFF) {
        only = r->port < JXBRIDGE_BLL_MAP_SIZE ? get_jxbridge_port_from_bll_port_no(B, r->port)
                                               : nullptr;
        if (!only)
            return -ENODEV;
    }
    // Counted first, so the records copied out are bounded by what exists.
    u32 matches = 0;
    for (int pass = 0; pass < 2; pass++) {
        if (pass == 1 && (matches == 0 || r->count <= 1))
            break;
        u32 room = pass ? std::min(matches, r->count - 1) : 0, n = 0;
        acl_detail_record *out = nullptr;
        if (pass) {
            out = (acl_detail_record *)jxbridge_zalloc(room * sizeof(acl_detail_record));
            if (!out)
                return -ENOMEM;
        }
        for (struct acl_counter *c = acl->counters; c; c = c->next) {
            const char *us = strchr(c->name, '_');
            if (*filter && (!us || strcmp(us + 1, filter)))
                continue;
            for (struct acl_counter_dpe *d = c->dpe; d; d = d->next) {
                u32 no = (u32)(d->key & ~(u64)ACL_INGRESS_KEY);
                struct jxbridge_port *p = jxbridge_port_at(B, (u16)std::min<u32>(no, 0xFFFF));
                if (only && p != only)
                    continue;
                u32 dir = (d->key & ACL_INGRESS_KEY) ? 0 : 1;
                if (p && p->kind == JXBRIDGE_PORT_LOCAL)
                    dir ^= 1;
                if (r->dir != 2 && r->dir != dir)
                    continue;
                if (!pass) {
                    matches++;
                    continue;
                }
                if (n == room)
                    break;
                acl_detail_record *rec = &out[n++];
                strlcpy(rec->name, us ? us + 1 : "???", sizeof(rec->name));
                rec->number = (u32)strtoul(c->name + 1, nullptr, 10);
                rec->intf_id = p ? p->bll_port_no : 0;
                rec->dir = dir;
                rec->packets = d->packets;
                rec->bytes = d->bytes;
                struct acl_counter_info info = {c->fgid, p, dir, rec->name, 0, 0};
                if (jxbridge_flow_event_hook &&
                    !jxbridge_flow_event(JXBRIDGE_FEV_ACL_COUNTER_INFO, &info)) {
                    rec->packets += info.packets;
                    rec->bytes += info.bytes;
                }
            }
        }
        if (pass) {
            unsigned long left = jxbridge_copy_to_user((void __user *)(uintptr_t)r->out, out,
                                                       n * sizeof(acl_detail_record));
            kfree(out);
            if (left)
                return -EFAULT;
        }
    }
    r->count = matches;
    return 0;
}

// A record that cannot be read is -22 here; one that cannot be written back -14.
#define IN JXBRIDGE_IOC_IN_EINVAL
#define INOUT (JXBRIDGE_IOC_IN_EINVAL | JXBRIDGE_IOC_OUT)
const struct jxbridge_proc_ioc acl_iocs[] = {
    JXBRIDGE_IOC_VALUE(ACL_IOCTL_DEBUG_SET, ioc_debug),
    JXBRIDGE_IOC_VALUE(ACL_IOCTL_SELECTOR_ADD, (ioc_named<acl_selector_add, true>)),
    JXBRIDGE_IOC_VALUE(ACL_IOCTL_SELECTOR_DEL, (ioc_named<acl_selector_del, false>)),
    JXBRIDGE_IOC(ACL_IOCTL_CONDITION_ADD, acl_condition_record, IN, ioc_condition),
    JXBRIDGE_IOC(ACL_IOCTL_CONDITION_DEL, acl_condition_record, IN, ioc_condition),
    JXBRIDGE_IOC(ACL_IOCTL_CONDITION_RENUMBER, acl_condition_record, IN, ioc_condition),
    JXBRIDGE_IOC_VALUE(ACL_IOCTL_ACTION_LIST_ADD, (ioc_named<acl_action_list_add, false>)),
    JXBRIDGE_IOC_VALUE(ACL_IOCTL_ACTION_LIST_DEL, (ioc_named<acl_action_list_del, false>)),
    JXBRIDGE_IOC(ACL_IOCTL_ACTION_ADD, acl_action_record, IN, ioc_action),
    JXBRIDGE_IOC(ACL_IOCTL_ACTION_DEL, acl_action_record, IN, ioc_action),
    JXBRIDGE_IOC(ACL_IOCTL_ACTION_RENUMBER, acl_action_record, IN, ioc_action),
    JXBRIDGE_IOC(ACL_IOCTL_PORT_ENTRY_ADD, acl_port_entry_record, IN, ioc_port_entry),
    JXBRIDGE_IOC(ACL_IOCTL_PORT_ENTRY_DEL, acl_port_entry_record, IN, ioc_port_entry),
    JXBRIDGE_IOC(ACL_IOCTL_PORT_ENTRY_RENUMBER, acl_port_entry_record, IN, ioc_port_entry),
    JXBRIDGE_IOC_VALUE(ACL_IOCTL_COUNTER_ADD, (ioc_named<acl_counter_add, false>)),
    JXBRIDGE_IOC_VALUE(ACL_IOCTL_COUNTER_DEL, (ioc_named<acl_counter_del, false>)),
    JXBRIDGE_IOC(ACL_IOCTL_COUNTER_RESET, acl_name_record, IN, ioc_counter_reset),
    JXBRIDGE_IOC(ACL_IOCTL_COUNTER_GET, acl_counter_value_record, INOUT, ioc_counter_get),
    JXBRIDGE_IOC(ACL_IOCTL_DEFAULT_ACTION_LIST_SET, acl_default_record, IN, ioc_default),
    JXBRIDGE_IOC(ACL_IOCTL_PORT_ENTRY_GET, acl_port_entry_record, INOUT, ioc_port_entry),
    JXBRIDGE_IOC(ACL_IOCTL_COUNTER_FGID_GET, acl_name_record, INOUT, ioc_fgid_get),
    JXBRIDGE_IOC(ACL_IOCTL_COUNTERS_DETAILED_GET, acl_detail_request, INOUT, ioc_detailed),
};
#undef IN
#undef INOUT

// The dump.

void show_default(struct seq_file *m, const struct acl_entry *d, const char *dir, bool last) {
    seq_printf(m, "%s %s --> %s%s", dir, d->selector ? d->selector->name : "<none>",
               d->action_list ? d->action_list->name : "<none>", last ? "\n" : ", ");
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
void show_skb_layout(struct seq_file *m) {
    seq_printf(m, "struct sk_buff   %d\n", (int)sizeof(struct sk_buff));
    seq_printf(m, "skb.cb           %d\n", (int)offsetof(struct sk_buff, cb));
    seq_printf(m, "skb.h            %d\n", (int)offsetof(struct sk_buff, transport_header));
    seq_printf(m, "skb.nh           %d\n", (int)offsetof(struct sk_buff, network_header));
    seq_printf(m, "skb.mac          %d\n", (int)offsetof(struct sk_buff, mac_header));
    seq_printf(m, "skb.len          %d\n", (int)offsetof(struct sk_buff, len));
    seq_printf(m, "skb.priority     %d\n", (int)offsetof(struct sk_buff, priority));
    seq_printf(m, "skb.destructor   %d\n", (int)offsetof(struct sk_buff, destructor));
    seq_printf(m, "skb.head         %d\n", (int)offsetof(struct sk_buff, head));
    seq_printf(m, "----------------------------\n");
}
#pragma GCC diagnostic pop

int acl_show(struct seq_file *m, void *) {
    struct jxbridge *B = (struct jxbridge *)m->private_data;
    mutex_lock(&jxbridge_lock);
    struct acl_engine *acl = B->acl;
    if (!acl) {
        mutex_unlock(&jxbridge_lock);
        return 0;
    }
    show_skb_layout(m);
    seq_printf(m, "Debug:           %u\n", acl->debug);
    seq_printf(m, "Max port:        %u\n", B->max_ports);
    seq_printf(m, "Selectors:       %u\n", acl->n_selectors);
    seq_printf(m, "Action lists:    %u\n", acl->n_lists);
    seq_printf(m, "Counters:        %u\n", acl->n_counters);
    seq_printf(m, "Goto loop limit: %u\n", acl->goto_limit);
    seq_printf(m, "\n              D e f a u l t   a c t i o n   l i s t s\n");
    seq_printf(m, "       Port        |               Selector/Action\n");
    seq_printf(m, "-------------------+---------------------------------------------------\n");
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        if (!p || (p->kind == JXBRIDGE_PORT_PON_GEM && !p->gem_id))
            continue;
        seq_printf(m, "%18s | ", p->dev->name);
        show_default(m, &acl->def_ingress[i], "ingress", false);
        show_default(m, &acl->def_egress[i], "egress", true);
    }
    char line[256];
    seq_printf(m, "\nSelectors:\n----------\n");
    for (struct acl_selector *s = acl->selectors; s; s = s->next) {
        seq_printf(m, "%s (%u)\n", s->name, s->refcnt);
        for (struct acl_condition *c = s->conds; c; c = c->next) {
            acl_cond_list(c, line, sizeof(line));
            seq_printf(m, "\t%s\n", line);
        }
    }
    seq_printf(m, "\nAction lists:\n-------------\n");
    for (struct acl_action_list *l = acl->lists; l; l = l->next) {
        seq_printf(m, "%s (%u)\n", l->name, l->refcnt);
        for (struct acl_action *a = l->actions; a; a = a->next) {
            acl_action_list_form(a, line, sizeof(line));
            seq_printf(m, "\t%u. %s\n", a->number, line);
        }
    }
    seq_printf(m, "\nCounters:\n---------\n");
    for (struct acl_counter *c = acl->counters; c; c = c->next) {
        u64 tp, tb;
        acl_counter_get_value(acl, c->name, &tp, &tb);
        seq_printf(m, "%s [FGID %d] (%u) = %llu/%llu, total %llu/%llu\n", c->name, (int)c->fgid,
                   c->refcnt, (unsigned long long)c->packets, (unsigned long long)c->bytes,
                   (unsigned long long)tp, (unsigned long long)tb);
        for (struct acl_counter_dpe *d = c->dpe; d; d = d->next) {
            u32 no = (u32)(d->key & ~(u64)ACL_INGRESS_KEY);
            struct jxbridge_port *p = jxbridge_port_at(B, (u16)std::min<u32>(no, 0xFFFF));
            bool in = d->key & ACL_INGRESS_KEY;
            if (p && p->kind == JXBRIDGE_PORT_LOCAL)
                in = !in;
            seq_printf(m, "  %c %5u %s %llu pkts/%llu bytes\n", in ? 'I' : 'E', no,
                       p ? p->dev->name : "<gone>", (unsigned long long)d->packets,
                       (unsigned long long)d->bytes);
        }
    }
    seq_printf(m, "\nPort entries:\n-------------\n");
    for (u32 i = 0; i < 2 * B->max_ports; i++) {
        struct acl_entry *e = acl->entries[i];
        if (!e)
            continue;
        struct jxbridge_port *p = B->ports[i / 2];
        seq_printf(m, "%s %sgress:\n", p ? p->dev->name : "<gone>", (i & 1) ? "in" : " e");
        for (; e; e = e->next)
            seq_printf(m, "\t%u: %s --> %s\n", e->number, e->selector->name,
                       e->action_list ? e->action_list->name : "<none>");
    }
    mutex_unlock(&jxbridge_lock);
    return 0;
}

int acl_check(struct jxbridge *B) {
    return B->acl ? 0 : -ENODEV;
}

bool acl_file_debug(struct jxbridge *B) {
    return B->acl && B->acl->debug;
}

const struct jxbridge_proc_ops acl_ops = {
    .tag = "ACL",
    .log = JXBRIDGE_PROC_LOG_PLAIN,
    .debug = acl_file_debug,
    .check = acl_check,
    .cmds = acl_cmds,
    .n_cmds = ARRAY_SIZE(acl_cmds),
    .iocs = acl_iocs,
    .n_iocs = ARRAY_SIZE(acl_iocs),
    .trace = "acl_ioctl",
    .say = nullptr,
    .unknown = nullptr,
};

} // namespace

const struct file_operations acl_fops = jxbridge_proc_file<acl_show, &acl_ops>::fops;
