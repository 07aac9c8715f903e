// The bridge's "qos" control file: text commands, the record commands of the
// management agents, and the read-out.
//
// Every handler runs under jxbridge_lock. User copies let the lock go, so a
// handler copies all it reads from the caller before it looks anything up.
#include "jx_qos.h"

namespace {

struct qos_classifier *engine(struct jxbridge *B) {
    return B->qos;
}

// A setter's refusal (1) is a range error; an engine that failed (2) an I/O one.
int setter_rc(int rc) {
    return rc == 0 ? 0 : rc == 2 ? -EIO : -ERANGE;
}

// Text commands.

int cmd_debug(struct jxbridge *B, char **w) {
    u32 v;
    int rc = word_u32(w[1], &v);
    if (!rc)
        (strcasecmp(w[0], "debug") ? qos_set_mng_debug : qos_set_debug)(engine(B), v);
    return rc;
}

int cmd_selector(struct jxbridge *B, char **w) {
    return rule_cmd_named<QOS_NAME_FIELD>(engine(B), w, qos_selector_add, qos_selector_del);
}

int cmd_action_list(struct jxbridge *B, char **w) {
    return rule_cmd_named<QOS_NAME_FIELD>(engine(B), w, qos_action_list_add, qos_action_list_del);
}

int cmd_condition(struct jxbridge *B, char **w) {
    return rule_cmd_numbered<qos_condition, QOS_NAME_FIELD>(
        engine(B), w,
        [](struct qos_classifier *, char **rest, struct qos_condition *c) {
            return rest[0] ? qos_cond_parse(rest, c) : -ENOARG;
        },
        qos_condition_add, qos_condition_del,
        [](struct qos_classifier *q, const char *owner, char **, u32 n) {
            return qos_condition_renumber(q, owner, n);
        });
}

int cmd_action(struct jxbridge *B, char **w) {
    return rule_cmd_numbered<qos_action, QOS_NAME_FIELD>(
        engine(B), w,
        [](struct qos_classifier *q, char **rest, struct qos_action *a) {
            return rest[0] ? qos_action_parse(q, rest, a) : -ENOARG;
        },
        qos_action_add, qos_action_del,
        [](struct qos_classifier *q, const char *owner, char **, u32 n) {
            return qos_action_renumber(q, owner, n);
        });
}

int cmd_port_entry(struct jxbridge *B, char **w) {
    struct qos_classifier *q = engine(B);
    if (!w[1] || !w[2] || !w[3] || !w[4])
        return -ENOARG;
    struct jxbridge_port *p = nullptr;
    if (jxbridge_proc_port(B, w[2], &p))
        return -ENODEV;
    int dir = rule_word_dir(w[3]);
    u32 n;
    int rc = word_u32(w[4], &n);
    if (dir < 0)
        return -EINVAL;
    if (rc)
        return rc;
    if (!strcasecmp(w[1], "del"))
        return qos_port_entry_del(q, p, dir, n);
    if (!strcasecmp(w[1], "renumber"))
        return qos_port_entry_renumber(q, p, dir, n);
    if (strcasecmp(w[1], "add"))
        return -EINVAL;
    char sel[QOS_NAME_FIELD], list[QOS_NAME_FIELD];
    u32 queue = 0;
    if ((rc = rule_word_name(w[5], sel, QOS_NAME_MAX)) ||
        (rc = rule_word_name(w[6], list, QOS_NAME_MAX)) || (w[7] && (rc = word_u32(w[7], &queue))))
        return rc;
    return qos_port_entry_add(q, p, dir, n, sel, list, queue, -1, QOS_NO_CVID, 0);
}

int cmd_default(struct jxbridge *B, char **w) {
    char list[QOS_NAME_FIELD];
    int dir = rule_word_dir(w[1]);
    int rc = rule_word_name(w[2], list, QOS_NAME_MAX);
    if (!w[1])
        return -ENOARG;
    if (dir < 0)
        return -EINVAL;
    return rc ? rc : qos_default_action_list_set(engine(B), dir, list);
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
    qos_set_outer_ethertype(engine(B), (u16)v);
    return 0;
}

int cmd_map(struct jxbridge *B, char **w) {
    u32 v;
    if (!w[1])
        return -ENOARG;
    int rc = word_u32(w[2], &v);
    if (rc)
        return rc;
    int to_cos = !strcasecmp(w[1], "csc-to-cos");
    if (!to_cos && strcasecmp(w[1], "cos-to-csc"))
        return -EINVAL;
    return setter_rc(qos_cos_csc_set(engine(B), to_cos, v));
}

// The numbers of a port command: a missing or unparsable one is -525 here.
int port_nums(char **w, int n, u32 *v) {
    for (int i = 0; i < n; i++)
        if (!w[i] || word_u32(w[i], &v[i]))
            return -ENOARG;
    return 0;
}

int cmd_port_queue(struct jxbridge_port *p, char **w) {
    u32 v[3];
    u32 queue;
    if (port_nums(w, 1, &queue) || !w[1])
        return -ENOARG;
    const char *k = w[1];
    char **a = w + 2;
    int rc;
    if (!strcasecmp(k, "bw") || !strcasecmp(k, "size") || !strcasecmp(k, "wred")) {
        if (!a[0])
            return -ENOARG;
        const char *sub = a[0];
        a++;
        if (!strcasecmp(k, "bw")) {
            int max = !strcasecmp(sub, "max");
            if (!max && strcasecmp(sub, "min"))
                return -EINVAL;
            if ((rc = port_nums(a, 2, v)))
                return rc;
            return setter_rc(qos_queue_bw_set(p, queue, max, v[0], v[1]));
        }
        if (!strcasecmp(k, "size")) {
            int max = !strcasecmp(sub, "max");
            if (!max && strcasecmp(sub, "min"))
                return -EINVAL;
            if ((rc = port_nums(a, 1, v)))
                return rc;
            return setter_rc(max ? qos_queue_size_max_set(p, queue, v[0])
                                 : qos_queue_size_min_set(p, queue, v[0]));
        }
        u32 which;
        if (!strcasecmp(sub, "scale")) {
            which = 2;
        } else if (!strcasecmp(sub, "threshold")) {
            if (!a[0])
                return -ENOARG;
            if (!strcasecmp(a[0], "min"))
                which = 0;
            else if (!strcasecmp(a[0], "max"))
                which = 1;
            else
                return -EINVAL;
            a++;
        } else {
            return -EINVAL;
        }
        if ((rc = port_nums(a, 2, v)))
            return rc;
        return setter_rc(qos_queue_wred_set(p, queue, which, v[0], v[1]));
    }
    if (!strcasecmp(k, "pvc")) {
        if ((rc = port_nums(a, 2, v)))
            return rc;
        return setter_rc(qos_queue_pvc_set(p, queue, v[0], v[1]));
    }
    if ((rc = port_nums(a, 1, v)))
        return rc;
    if (!strcasecmp(k, "mgmt-type"))
        return setter_rc(qos_queue_mgmt_type_set(p, queue, v[0]));
    if (!strcasecmp(k, "sched-type"))
        return setter_rc(qos_queue_sched_type_set(p, queue, v[0]));
    if (!strcasecmp(k, "priority"))
        return setter_rc(qos_queue_priority_set(p, queue, v[0]));
    if (!strcasecmp(k, "weight"))
        return setter_rc(qos_queue_wrr_weight_set(p, queue, v[0]));
    return -EINVAL;
}

int cmd_port(struct jxbridge *B, char **w) {
    if (!w[1] || !w[2])
        return -ENOARG;
    struct jxbridge_port *p = nullptr;
    if (jxbridge_proc_port(B, w[1], &p))
        return -ENODEV;
    const char *k = w[2];
    u32 v[2];
    int rc;
    if (!strcasecmp(k, "queue"))
        return cmd_port_queue(p, w + 3);
    if (!strcasecmp(k, "shape")) {
        if ((rc = port_nums(w + 3, 2, v)))
            return rc;
        return setter_rc(qos_port_shaping_set(p, v[0], v[1]));
    }
    if (!strcasecmp(k, "trust")) {
        if ((rc = port_nums(w + 3, 1, v)))
            return rc;
        return setter_rc(qos_port_trust_set(p, v[0]));
    }
    static const char *const maps[] = {"cos-mapping", "dscp-mapping", "ipprec-mapping"};
    for (u32 m = 0; m < 3; m++) {
        if (strcasecmp(k, maps[m]))
            continue;
        if (!w[3])
            return -ENOARG;
        int out = !strcasecmp(w[3], "out");
        if (!out && strcasecmp(w[3], "in"))
            return -EINVAL;
        if ((rc = port_nums(w + 4, 2, v)))
            return rc;
        return setter_rc(qos_port_mapping_set(p, 2 * m + (u32)out, v[0], v[1]));
    }
    return -EINVAL;
}

void show_summary(struct qos_classifier *q) {
    struct jxbridge *B = q->bridge;
    printk(KERN_INFO "QoS of %s: DiffServ %s, debug %u/%u, outer EtherType 0x%04x, cos-to-csc %u, "
                     "csc-to-cos %u\n",
           B->dev->name, q->enabled ? "enabled" : "disabled", q->debug, q->mng_debug,
           q->outer_ethertype, q->cos_to_csc, q->csc_to_cos);
    for (u32 i = 0; i < B->max_ports; i++)
        if (B->ports[i] && q->ports[i])
            printk(KERN_INFO "  %s, bll-id(%d): trust %u, shaping %u/%u\n", B->ports[i]->dev->name,
                   (int)B->ports[i]->bll_port_no, q->ports[i]->trust, q->ports[i]->shape_rate,
                   q->ports[i]->shape_burst);
}

int cmd_show(struct jxbridge *B, char **w) {
    struct qos_classifier *q = engine(B);
    if (!w[1]) {
        show_summary(q);
        return 0;
    }
    if (!strcasecmp(w[1], "oo")) {
        u32 olt;
        if (w[2] && word_u32(w[2], &olt))
            return -EINVAL;
        qos_oo_show(q, w[2] ? (long)olt : -1);
        return 0;
    }
    if (strcasecmp(w[1], "port") || !w[2])
        return w[1] && strcasecmp(w[1], "port") ? -EINVAL : -ENOARG;
    struct jxbridge_port *p = nullptr;
    if (!strcasecmp(w[2], "bll-id")) {
        u32 bll;
        int rc = word_u32(w[3], &bll);
        if (rc)
            return rc;
        p = bll < JXBRIDGE_BLL_MAP_SIZE ? get_jxbridge_port_from_bll_port_no(B, bll) : nullptr;
    } else {
        jxbridge_proc_port(B, w[2], &p);
    }
    if (!p)
        return -ENODEV;
    qos_port_show(p);
    return 0;
}

// The OpenOLT commands read n numbers, each required and checked.
int oo_nums(char **w, int n, u32 *v) {
    for (int i = 0; i < n; i++) {
        int rc = word_u32(w[i], &v[i]);
        if (rc)
            return rc;
    }
    return 0;
}

int cmd_scheduler_add(struct jxbridge *B, char **w) {
    u32 v[10];
    int rc = oo_nums(w + 1, 10, v);
    return rc ? rc : qos_oo_scheduler_add(engine(B), v);
}

int cmd_scheduler_del(struct jxbridge *B, char **w) {
    u32 v[2];
    int rc = oo_nums(w + 1, 2, v);
    return rc ? rc : qos_oo_scheduler_del(engine(B), v[0], v[1]);
}

int cmd_queue_add(struct jxbridge *B, char **w) {
    u32 v[12];
    int rc = oo_nums(w + 1, 12, v);
    return rc ? rc : qos_oo_queue_add(engine(B), v);
}

int cmd_queue_del(struct jxbridge *B, char **w) {
    u32 v[3];
    int rc = oo_nums(w + 1, 3, v);
    return rc ? rc : qos_oo_queue_del(engine(B), v[0], v[1], v[2]);
}

const struct jxbridge_proc_cmd qos_cmds[] = {
    {"help", nullptr,
     "Supported commands:\n\thelp\n\tdebug <mode>\n\tdebug_mng <mode>\n\tcondition add "
     "<selector-name> <number> <field> [<value1> [<value2>]]\n\tcondition del <selector-name> "
     "<number>\n\tcondition renumber <selector-name> <step>\n\tselector add <name>\n\tselector del "
     "<name>\n",
     0},
    {nullptr, nullptr,
     "\taction add <action-list-name> <number> <action> [<value1>]\n\taction del "
     "<action-list-name> <number>\n\taction renumber <action-list-name> <step>\n\taction-list add "
     "<name>\n\taction-list del <name>\n\tport-entry add <port> <dir> <#> <selector> "
     "<action-list> [<queue_number>]\n\tport-entry del <port> <dir> <#>\n\tport-entry renumber "
     "<port> <dir> <step>\n\tdefault-action-list ingress <list-name>\n\tdefault-action-list "
     "egress <list-name>\n\tethertype set <vid>\n",
     JXBRIDGE_CMD_HELP_CALL},
    {nullptr, nullptr,
     "\tmap cos-to-csc <mode>\n\tmap csc-to-cos <mode>\n\tport <port> cos-mapping in <cos> "
     "<queue>\n\tport <port> cos-mapping out <cos> <queue>\n\tport <port> dscp-mapping in <dscp> "
     "<queue>\n\tport <port> dscp-mapping out <dscp> <queue>\n\tport <port> ipprec-mapping in "
     "<ipprec> <queue>\n\tport <port> ipprec-mapping out <ipprec> <queue>\n\tport <port> shape "
     "<rate> <burst>\n\tport <port> trust <mode>\n\tport <port> queue <queue> bw max <rate> "
     "<burst>\n\tport <port> queue <queue> bw min <rate> <burst>\n\tport <port> queue <queue> "
     "mgmt-type <mgmttype>\n\tport <port> queue <queue> sched-type <schedtype>\n\tport <port> "
     "queue <queue> pvc <vpi> <vci>\n\tport <port> queue <queue> priority <priority>\n\tport "
     "<port> queue <queue> size max <size>\n\tport <port> queue <queue> size min <size>\n\tport "
     "<port> queue <queue> weight <weight>\n\tport <port> queue <queue> wred scale <dropprec> "
     "<scale>\n\tport <port> queue <queue> wred threshold max <dropprec> <threshold>\n\tport "
     "<port> queue <queue> wred threshold min <dropprec> <threshold>\n",
     JXBRIDGE_CMD_HELP_CALL},
    {nullptr, nullptr, "\tshow [port <port>]\n\tshow [port bll-id <port>]\n",
     JXBRIDGE_CMD_HELP_CALL},
    {nullptr, nullptr, "\tshow oo [<olt-id>]\n", JXBRIDGE_CMD_HELP_CALL},
    {nullptr, nullptr,
     "\tscheduler_add <intf_id> <sched_id> <parent_sched_id> <priority> <weight> <sched_policy> "
     "<cir> <cbs> <pir> <pbs>\n",
     JXBRIDGE_CMD_HELP_CALL},
    {nullptr, nullptr, "\tscheduler_del <intf_id> <sched_id>\n", JXBRIDGE_CMD_HELP_CALL},
    {nullptr, nullptr,
     "\tqueue_add <intf_id> <gemport_id> <queue_id> <sched_id> <weight> <priority> "
     "<sched_policy> <discard_policy> <cir> <cbs> <pir> <pbs>\n",
     JXBRIDGE_CMD_HELP_CALL},
    {nullptr, nullptr, "\tqueue_del <intf_id> <gemport_id> <queue_id>\n", JXBRIDGE_CMD_HELP_CALL},
    {"debug", cmd_debug, nullptr, 0},
    {"debug_mng", cmd_debug, nullptr, 0},
    {"condition", cmd_condition, nullptr, 0},
    {"selector", cmd_selector, nullptr, 0},
    {"action", cmd_action, nullptr, 0},
    {"action-list", cmd_action_list, nullptr, 0},
    {"port-entry", cmd_port_entry, nullptr, 0},
    {"default-action-list", cmd_default, nullptr, 0},
    {"ethertype", cmd_ethertype, nullptr, 0},
    {"map", cmd_map, nullptr, 0},
    {"port", cmd_port, nullptr, 0},
    {"show", cmd_show, nullptr, 0},
    {"scheduler_add", cmd_scheduler_add, nullptr, 0},
    {"scheduler_del", cmd_scheduler_del, nullptr, 0},
    {"queue_add", cmd_queue_add, nullptr, 0},
    {"queue_del", cmd_queue_del, nullptr, 0},
};

// Record commands. Names in records must end inside their field.

int field_name(const char *field, size_t size, char *out) {
    return rule_field_name(field, size, out, QOS_NAME_MAX);
}

int user_name(unsigned long arg, char *out) {
    return rule_user_name(arg, out, QOS_NAME_MAX);
}

template <int (*op)(struct qos_classifier *, const char *)>
long ioc_named(struct jxbridge *B, unsigned int, unsigned long arg) {
    char name[QOS_NAME_FIELD];
    int rc = user_name(arg, name);
    return rc ? rc : op(engine(B), name);
}

long ioc_debug(struct jxbridge *B, unsigned int, unsigned long arg) {
    qos_set_debug(engine(B), (u32)arg);
    return 0;
}

long ioc_ethertype(struct jxbridge *B, unsigned int, unsigned long arg) {
    if (arg > 0xFFFF)
        return -ERANGE;
    qos_set_outer_ethertype(engine(B), (u16)arg);
    return 0;
}

long ioc_diffserv(struct jxbridge *B, unsigned int, u32 *v, unsigned long) {
    qos_set_diffserv(engine(B), *v);
    return 0;
}

long ioc_rename(struct jxbridge *B, unsigned int cmd, qos_rename_record *r, unsigned long) {
    char from[QOS_NAME_FIELD], to[QOS_NAME_FIELD];
    if (field_name(r->from, sizeof(r->from), from) || field_name(r->to, sizeof(r->to), to))
        return -EINVAL;
    return (cmd == 0x40047a06 ? qos_selector_rename : qos_action_list_rename)(engine(B), from, to);
}

long ioc_condition(struct jxbridge *B, unsigned int cmd, qos_condition_record *r, unsigned long) {
    char sel[QOS_NAME_FIELD];
    if (field_name(r->selector, sizeof(r->selector), sel))
        return -EINVAL;
    if (cmd == 0x40047a08)
        return qos_condition_del(engine(B), sel, r->number);
    if (cmd == 0x40047a09)
        return qos_condition_renumber(engine(B), sel, r->number);
    struct qos_condition c = {};
    c.number = r->number;
    c.code = r->code;
    memcpy(c.param, r->param, sizeof(c.param));
    if (c.code == QOS_C_SPORT || c.code == QOS_C_DPORT) {
        if (strnlen(r->port, sizeof(r->port)) == sizeof(r->port))
            return -EINVAL;
        memcpy(c.port.name, r->port, sizeof(r->port));
    }
    return qos_condition_add(engine(B), sel, &c);
}

long ioc_action(struct jxbridge *B, unsigned int cmd, qos_action_record *r, unsigned long) {
    char list[QOS_NAME_FIELD];
    if (field_name(r->list, sizeof(r->list), list))
        return -EINVAL;
    if (cmd == 0x40047a0e)
        return qos_action_del(engine(B), list, r->number);
    if (cmd == 0x40047a0f)
        return qos_action_renumber(engine(B), list, r->number);
    struct qos_action a = {};
    a.number = r->number;
    a.code = r->code;
    memcpy(a.param, r->param, sizeof(a.param));
    if (a.code == QOS_A_COPY) {
        if (strnlen((const char *)r->param, sizeof(a.port.name)) == sizeof(a.port.name))
            return -EINVAL;
        memcpy(a.port.name, r->param, sizeof(a.port.name));
    }
    return qos_action_add(engine(B), list, &a);
}

long ioc_port_entry(struct jxbridge *B, unsigned int cmd, qos_port_entry_record *r, unsigned long) {
    struct jxbridge_port *p = nullptr;
    int rc = jxbridge_proc_port_field(B, r->port, &p);
    if (rc)
        return rc;
    int dir = r->ingress ? 1 : 0;
    if (cmd == 0x40047a11)
        return qos_port_entry_del(engine(B), p, dir, r->number);
    if (cmd == 0x40047a12)
        return qos_port_entry_renumber(engine(B), p, dir, r->number);
    char sel[QOS_NAME_FIELD], list[QOS_NAME_FIELD];
    if (field_name(r->selector, sizeof(r->selector), sel) ||
        field_name(r->action_list, sizeof(r->action_list), list))
        return -EINVAL;
    if (r->ext_cvid > QOS_NO_CVID)
        return -ERANGE;
    return qos_port_entry_add(engine(B), p, dir, r->number, sel, list, r->queue, r->policer,
                              r->ext_cvid, r->priority);
}

long ioc_default(struct jxbridge *B, unsigned int, qos_default_record *r, unsigned long) {
    char list[QOS_NAME_FIELD];
    if (field_name(r->list, sizeof(r->list), list))
        return -EINVAL;
    return qos_default_action_list_set(engine(B), r->ingress ? 1 : 0, list);
}

long ioc_csc_set(struct jxbridge *B, unsigned int cmd, unsigned long arg) {
    return setter_rc(qos_cos_csc_set(engine(B), cmd == 0x40017a16, (u32)arg));
}

long ioc_csc_get(struct jxbridge *B, unsigned int cmd, u8 *out, unsigned long) {
    *out = (u8)(cmd == 0x40047a17 ? engine(B)->csc_to_cos : engine(B)->cos_to_csc);
    return 0;
}

long ioc_config_apply(struct jxbridge *, unsigned int, unsigned long arg) {
    jxbridge_flow_event(JXBRIDGE_FEV_QOS, nullptr, (void *)(uintptr_t)arg);
    return 0;
}

// The port-record commands: set or get as the number says.
long ioc_port_rec(struct jxbridge *B, unsigned int cmd, qos_port_record *r, unsigned long) {
    struct jxbridge_port *p = nullptr;
    int rc = jxbridge_proc_port_field(B, r->port, &p);
    if (rc)
        return rc;
    struct qos_port *qp = qos_port_of(p);
    if (!qp)
        return -ENODEV;
    switch (cmd) {
    case 0x40047a18:
        return setter_rc(qos_port_shaping_set(p, r->rate, r->burst));
    case 0x40047a19:
        r->rate = qp->shape_rate;
        r->burst = qp->shape_burst;
        return 0;
    case 0x40047a1a:
        return setter_rc(qos_port_trust_set(p, r->mode));
    case 0x40047a1b:
        r->mode = qp->trust;
        return 0;
    case 0x40047a43:
        return setter_rc(
            qos_policy_two_rate_set(p, r->rate, r->burst, r->mode, r->peak_rate, r->peak_burst));
    case 0x40047a44:
    case 0x40047a45:
        return setter_rc(qos_onu_set(p, cmd == 0x40047a45, r->peak_burst, r->rate, r->burst));
    }
    return -EINVAL;
}

long ioc_mapping(struct jxbridge *B, unsigned int cmd, qos_mapping_record *r, unsigned long) {
    struct jxbridge_port *p = nullptr;
    int rc = jxbridge_proc_port_field(B, r->port, &p);
    if (rc)
        return rc;
    u32 n = (cmd & 0xFF) - 0x1c;
    if (n & 1)
        return qos_port_mapping_get(p, n / 2, r->index, &r->queue) ? -ERANGE : 0;
    return setter_rc(qos_port_mapping_set(p, n / 2, r->index, r->queue));
}

long ioc_queue(struct jxbridge *B, unsigned int cmd, qos_queue_record *r, unsigned long) {
    struct jxbridge_port *p = nullptr;
    int rc = jxbridge_proc_port_field(B, r->port, &p);
    if (rc)
        return rc;
    struct qos_port *qp = qos_port_of(p);
    if (!qp)
        return -ENODEV;
    if (r->queue >= QOS_QUEUES)
        return -ERANGE;
    const struct qos_queue &v = qp->queues[r->queue];
    u32 q = r->queue;
    switch (cmd) {
    case 0x40047a28:
        return setter_rc(qos_queue_mgmt_type_set(p, q, r->mgmt_type));
    case 0x40047a29:
        r->mgmt_type = v.mgmt_type;
        return 0;
    case 0x40047a2a: {
        u32 w;
        memcpy(&w, &r->weight, 4); // a u32 where the read-back has a byte
        return setter_rc(qos_queue_wrr_weight_set(p, q, w));
    }
    case 0x40047a2b:
        r->weight = v.weight;
        return 0;
    case 0x40047a2c:
        return setter_rc(qos_queue_size_min_set(p, q, r->size_min));
    case 0x40047a2d:
        r->size_min = v.size_min;
        return 0;
    case 0x40047a2e:
        return setter_rc(qos_queue_size_max_set(p, q, r->size_max));
    case 0x40047a2f:
        r->size_max = (r->size_max & 0xFFFF0000u) | v.size_max;
        return 0;
    case 0x40047a30:
    case 0x40047a32: {
        int max = cmd == 0x40047a32;
        return setter_rc(qos_queue_bw_set(p, q, max, max ? r->max_rate : r->min_rate,
                                          max ? r->max_burst : r->min_burst));
    }
    case 0x40047a31:
        r->min_rate = v.min_rate;
        r->min_burst = v.min_burst;
        return 0;
    case 0x40047a33:
        r->max_rate = v.max_rate;
        r->max_burst = v.max_burst;
        return 0;
    case 0x40047a34:
        return setter_rc(qos_queue_pvc_set(p, q, r->vpi, r->vci));
    case 0x40047a35:
        r->vpi = v.vpi;
        r->vci = v.vci;
        return 0;
    case 0x40047a3c:
        return setter_rc(qos_queue_sched_type_set(p, q, r->sched_type));
    case 0x40047a3d:
        r->sched_type = v.sched_type;
        return 0;
    case 0x40047a3e: {
        u32 occ = 0;
        rc = qos_queue_occupancy_get(p, q, &occ);
        r->occupancy = occ;
        return setter_rc(rc);
    }
    case 0x40047a3f:
        return setter_rc(qos_queue_priority_set(p, q, r->priority));
    case 0x40047a40:
        r->priority = v.priority;
        return 0;
    }
    return -EINVAL;
}

long ioc_wred(struct jxbridge *B, unsigned int cmd, qos_wred_record *r, unsigned long) {
    struct jxbridge_port *p = nullptr;
    int rc = jxbridge_proc_port_field(B, r->port, &p);
    if (rc)
        return rc;
    struct qos_port *qp = qos_port_of(p);
    if (!qp)
        return -ENODEV;
    u32 n = (cmd & 0xFF) - 0x36;
    u32 which = n / 2;
    u8 *fields[] = {&r->min_threshold, &r->max_threshold, &r->scale};
    if (!(n & 1))
        return setter_rc(qos_queue_wred_set(p, r->queue, which, r->dp, *fields[which]));
    if (r->queue >= QOS_QUEUES || r->dp > 2)
        return -ERANGE;
    const struct qos_wred &w = qp->queues[r->queue].wred[r->dp];
    *fields[which] = which == 0 ? w.min_threshold : which == 1 ? w.max_threshold : w.scale;
    return 0;
}

long ioc_stats(struct jxbridge *B, unsigned int, qos_stats_record *r, unsigned long) {
    struct jxbridge_port *p = nullptr;
    int rc = jxbridge_proc_port_field(B, r->port, &p);
    if (rc)
        return rc;
    struct qos_port *qp = qos_port_of(p);
    if (!qp)
        return -ENODEV;
    if (r->queue >= QOS_QUEUES)
        return -ERANGE;
    memcpy(r->value, qp->queues[r->queue].stats, sizeof(r->value));
    return 0;
}

#define IN JXBRIDGE_IOC_IN_EINVAL
#define INOUT (JXBRIDGE_IOC_IN_EINVAL | JXBRIDGE_IOC_OUT)
#define PORT_REC(n) JXBRIDGE_IOC(n, qos_port_record, INOUT, ioc_port_rec)
#define MAP_REC(n) JXBRIDGE_IOC(n, qos_mapping_record, INOUT, ioc_mapping)
#define QUEUE_REC(n) JXBRIDGE_IOC(n, qos_queue_record, INOUT, ioc_queue)
#define WRED_REC(n) JXBRIDGE_IOC(n, qos_wred_record, INOUT, ioc_wred)
const struct jxbridge_proc_ioc qos_iocs[] = {
    JXBRIDGE_IOC_VALUE(0x40047a01, ioc_debug),
    JXBRIDGE_IOC_VALUE(0x40047a02, ioc_ethertype),
    JXBRIDGE_IOC(0x40047a03, u32, IN, ioc_diffserv),
    JXBRIDGE_IOC_VALUE(0x40047a04, ioc_named<qos_selector_add>),
    JXBRIDGE_IOC_VALUE(0x40047a05, ioc_named<qos_selector_del>),
    JXBRIDGE_IOC(0x40047a06, qos_rename_record, IN, ioc_rename),
    JXBRIDGE_IOC(0x40047a07, qos_condition_record, IN, ioc_condition),
    JXBRIDGE_IOC(0x40047a08, qos_condition_record, IN, ioc_condition),
    JXBRIDGE_IOC(0x40047a09, qos_condition_record, IN, ioc_condition),
    JXBRIDGE_IOC_VALUE(0x40047a0a, ioc_named<qos_action_list_add>),
    JXBRIDGE_IOC_VALUE(0x40047a0b, ioc_named<qos_action_list_del>),
    JXBRIDGE_IOC(0x40047a0c, qos_rename_record, IN, ioc_rename),
    JXBRIDGE_IOC(0x40047a0d, qos_action_record, IN, ioc_action),
    JXBRIDGE_IOC(0x40047a0e, qos_action_record, IN, ioc_action),
    JXBRIDGE_IOC(0x40047a0f, qos_action_record, IN, ioc_action),
    JXBRIDGE_IOC(0x40047a10, qos_port_entry_record, IN, ioc_port_entry),
    JXBRIDGE_IOC(0x40047a11, qos_port_entry_record, IN, ioc_port_entry),
    JXBRIDGE_IOC(0x40047a12, qos_port_entry_record, IN, ioc_port_entry),
    JXBRIDGE_IOC(0x40047a13, qos_default_record, IN, ioc_default),
    JXBRIDGE_IOC_VALUE(0x40017a14, ioc_csc_set),
    JXBRIDGE_IOC(0x40047a15, u8, JXBRIDGE_IOC_OUT, ioc_csc_get),
    JXBRIDGE_IOC_VALUE(0x40017a16, ioc_csc_set),
    JXBRIDGE_IOC(0x40047a17, u8, JXBRIDGE_IOC_OUT, ioc_csc_get),
    PORT_REC(0x40047a18),
    PORT_REC(0x40047a19),
    PORT_REC(0x40047a1a),
    PORT_REC(0x40047a1b),
    MAP_REC(0x40047a1c),
    MAP_REC(0x40047a1d),
    MAP_REC(0x40047a1e),
    MAP_REC(0x40047a1f),
    MAP_REC(0x40047a20),
    MAP_REC(0x40047a21),
    MAP_REC(0x40047a22),
    MAP_REC(0x40047a23),
    MAP_REC(0x40047a24),
    MAP_REC(0x40047a25),
    MAP_REC(0x40047a26),
    MAP_REC(0x40047a27),
    QUEUE_REC(0x40047a28),
    QUEUE_REC(0x40047a29),
    QUEUE_REC(0x40047a2a),
    QUEUE_REC(0x40047a2b),
    QUEUE_REC(0x40047a2c),
    QUEUE_REC(0x40047a2d),
    QUEUE_REC(0x40047a2e),
    QUEUE_REC(0x40047a2f),
    QUEUE_REC(0x40047a30),
    QUEUE_REC(0x40047a31),
    QUEUE_REC(0x40047a32),
    QUEUE_REC(0x40047a33),
    QUEUE_REC(0x40047a34),
    QUEUE_REC(0x40047a35),
    WRED_REC(0x40047a36),
    WRED_REC(0x40047a37),
    WRED_REC(0x40047a38),
    WRED_REC(0x40047a39),
    WRED_REC(0x40047a3a),
    WRED_REC(0x40047a3b),
    QUEUE_REC(0x40047a3c),
    QUEUE_REC(0x40047a3d),
    QUEUE_REC(0x40047a3e),
    QUEUE_REC(0x40047a3f),
    QUEUE_REC(0x40047a40),
    JXBRIDGE_IOC(0x40047a41, qos_stats_record, INOUT, ioc_stats),
    JXBRIDGE_IOC_VALUE(0x40047a42, ioc_config_apply),
    PORT_REC(0x40047a43),
    PORT_REC(0x40047a44),
    PORT_REC(0x40047a45),
};
#undef IN
#undef INOUT

// The read-out.

int qos_show(struct seq_file *m, void *) {
    struct jxbridge *B = (struct jxbridge *)m->private_data;
    mutex_lock(&jxbridge_lock);
    struct qos_classifier *q = B->qos;
    if (!q) {
        mutex_unlock(&jxbridge_lock);
        return 0;
    }
    seq_printf(m, "Debug:\t          %u\n", q->debug);
    seq_printf(m, "Max port:        %u\n", B->max_ports);
    seq_printf(m, "Selectors:       %u\n", q->n_selectors);
    seq_printf(m, "Action lists:    %u\n", q->n_lists);
    seq_printf(m, "Ingress list:    %s\n", q->def_ingress ? q->def_ingress->name : "<none>");
    seq_printf(m, "Egress list:     %s\n", q->def_egress ? q->def_egress->name : "<none>");
    seq_printf(m, "Outer EtherType: 0x%04x\n", q->outer_ethertype);
    char line[256];
    seq_printf(m, "\nSelectors:\n");
    for (struct qos_selector *s = q->selectors; s; s = s->next) {
        seq_printf(m, "%s (%u)\n", s->name, s->refcnt);
        for (struct qos_condition *c = s->conds; c; c = c->next) {
            qos_cond_list(c, line, sizeof(line));
            seq_printf(m, "\t%s\n", line);
        }
    }
    seq_printf(m, "\nAction lists:\n");
    for (struct qos_action_list *l = q->lists; l; l = l->next) {
        seq_printf(m, "%s (%u)\n", l->name, l->refcnt);
        for (struct qos_action *a = l->actions; a; a = a->next) {
            qos_action_list_form(a, line, sizeof(line));
            seq_printf(m, "\t%u. %s\n", a->number, line);
        }
    }
    seq_printf(m, "\n");
    for (u32 i = 0; i < 2 * B->max_ports; i++) {
        struct qos_entry *e = q->entries[i];
        struct jxbridge_port *p = B->ports[i / 2];
        if (!e || !p)
            continue;
        seq_printf(m, "%s, bll-id(%d) %sgress:\n", p->dev->name, (int)p->bll_port_no,
                   (i & 1) ? "in" : "e");
        for (; e; e = e->next)
            seq_printf(m, "\t%u: %s --> %s; queue: %u; policer: %d, extCVid: %d, priority: %d\n",
                       e->number, e->selector->name, e->action_list->name, e->queue,
                       (int)e->policer, (int)e->ext_cvid, (int)e->priority);
    }
    mutex_unlock(&jxbridge_lock);
    return 0;
}

int qos_check(struct jxbridge *B) {
    return B->qos ? 0 : -ENODEV;
}

bool qos_file_debug(struct jxbridge *B) {
    return qos_dbg(B->qos);
}

const struct jxbridge_proc_ops qos_ops = {
    .tag = "QOS",
    .log = JXBRIDGE_PROC_LOG_PLAIN,
    .debug = qos_file_debug,
    .check = qos_check,
    .cmds = qos_cmds,
    .n_cmds = ARRAY_SIZE(qos_cmds),
    .iocs = qos_iocs,
    .n_iocs = ARRAY_SIZE(qos_iocs),
    .trace = "qos_ioctl",
    .say = nullptr,
    .unknown = nullptr,
};

} // namespace

const struct file_operations qos_fops = jxbridge_proc_file<qos_show, &qos_ops>::fops;
