// The QoS side of a bridge: the DiffServ classifier (selectors, action lists,
// per port and direction a numbered entry list, engine-wide default lists),
// the per-port QoS record (trust, mapping tables, shaping, queues, policers)
// and the packet-engine programming that follows it.
//
// Thread safety: everything here runs under jxbridge_lock; classification
// runs in the bridge's frame context, which holds it.
#pragma once

#include "bridge_acl.h"
#include "bridge_rule.h"
#include "jxbridge.h"

#define QOS_NAME_FIELD 128
#define QOS_NAME_MAX (QOS_NAME_FIELD - 1) // a terminator always fits
#define QOS_CONDITIONS 37
#define QOS_ACTIONS 29
#define QOS_COND_PARAMS 512
#define QOS_ACTION_PARAMS 132
#define QOS_QUEUES 8
#define QOS_POLICERS 8
#define QOS_NO_CVID 4095
#define QOS_STATS_PERIOD 10000 // jiffies
#define QOS_TIMER_SLOT 3
#define QOS_TARN_NONE 65535

enum qos_cond_code : u32 {
    QOS_C_TRUE = 0,
    QOS_C_SPORT,
    QOS_C_DPORT,
    QOS_C_SMAC,
    QOS_C_DMAC,
    QOS_C_ETHER_TYPE,
    QOS_C_VID,
    QOS_C_COS,
    QOS_C_SECONDARY_VID,
    QOS_C_SECONDARY_COS,
    QOS_C_SVID,
    QOS_C_SCOS,
    QOS_C_CVID,
    QOS_C_CCOS,
    QOS_C_IP_PROTOCOL,
    QOS_C_IPV4_SADDR,
    QOS_C_IPV4_DADDR,
    QOS_C_IPV4_DSCP,
    QOS_C_IPV4_TOS,
    QOS_C_IPV4_PRECEDENCE,
    QOS_C_IPV4_PROTOCOL,
    QOS_C_IP_DSCP,
    QOS_C_IP_TOS,
    QOS_C_IP_PRECEDENCE,
    QOS_C_IPV6_SADDR,
    QOS_C_IPV6_DADDR,
    QOS_C_IPV6_TRAFFIC_CLASS,
    QOS_C_IPV6_FLOW_LABEL,
    QOS_C_IPV6_NEXT_HEADER,
    QOS_C_TCP_SPORT,
    QOS_C_TCP_DPORT,
    QOS_C_UDP_SPORT,
    QOS_C_UDP_DPORT,
    QOS_C_L4_SPORT,
    QOS_C_L4_DPORT,
    QOS_C_ICMPV4_CODE,
    QOS_C_ICMPV6_CODE,
};
static_assert(QOS_C_ICMPV6_CODE == QOS_CONDITIONS - 1);

enum qos_action_code : u32 {
    QOS_A_DROP = 0,
    QOS_A_PASS,
    QOS_A_COPY,
    QOS_A_LOG,
    QOS_A_PRINT,
    QOS_A_ADD_OUTER_TAG,
    QOS_A_ADD_INNER_TAG,
    QOS_A_SET_OUTER_TAG,
    QOS_A_SET_INNER_TAG,
    QOS_A_REMOVE_OUTER_TAG,
    QOS_A_REMOVE_INNER_TAG,
    QOS_A_SET_OUTER_PRIORITY,
    QOS_A_SET_INNER_PRIORITY,
    QOS_A_SET_CPRIORITY,
    QOS_A_SET_SPRIORITY,
    QOS_A_SET_IPV4_DSCP,
    QOS_A_SET_IPV4_TOS,
    QOS_A_SET_IPPREC,
    QOS_A_OUTER_COS_TO_IPPREC,
    QOS_A_INNER_COS_TO_IPPREC,
    QOS_A_CCOS_TO_IPPREC,
    QOS_A_SCOS_TO_IPPREC,
    QOS_A_IPPREC_TO_OUTER_COS,
    QOS_A_IPPREC_TO_INNER_COS,
    QOS_A_IPPREC_TO_CCOS,
    QOS_A_IPPREC_TO_SCOS,
    QOS_A_DS_ASSIGN_QUEUE,
    QOS_A_ENTRY_ASSIGN_QUEUE,
    QOS_A_POLICY_TWO_RATE,
};
static_assert(QOS_A_POLICY_TWO_RATE == QOS_ACTIONS - 1);

// Parameter images of the condition and action records, host order;
// naturally aligned, so they need no packing.
struct qos_p_value {
    u32 value;
    u32 mask; // `ipv4_tos`, `ip_tos`
};
struct qos_p_mac {
    u8 value[6];
    u8 mask[6];
};
struct qos_p_ipv4 {
    u32 value;
    u32 mask;
};
struct qos_p_ipv6 {
    u8 value[16];
    u8 mask[16];
};
struct qos_p_range {
    u32 from;
    u32 to;
};
struct qos_p_tag {
    u32 tpid; // the TPID to push; for the priority actions which tag
    u32 value;
};

// Records of the control file's ioctls: packed, host byte order.
struct __attribute__((packed)) qos_condition_record {
    char selector[QOS_NAME_FIELD];
    u32 number; // the step, for renumber
    u32 code;
    u8 param[QOS_COND_PARAMS];
    char port[JXBRIDGE_PORT_NAME_LEN]; // `sport`, `dport`
    u8 reserved[780 - 648 - JXBRIDGE_PORT_NAME_LEN];
};
static_assert(sizeof(qos_condition_record) == 780);
static_assert(offsetof(qos_condition_record, number) == 128);
static_assert(offsetof(qos_condition_record, param) == 136);
static_assert(offsetof(qos_condition_record, port) == 648);

struct __attribute__((packed)) qos_action_record {
    char list[QOS_NAME_FIELD];
    u32 number; // the step, for renumber
    u32 code;
    u8 param[QOS_ACTION_PARAMS]; // `copy`: the port name; `log`: the word
};
static_assert(sizeof(qos_action_record) == 268);
static_assert(offsetof(qos_action_record, param) == 136);

struct __attribute__((packed)) qos_port_entry_record {
    char port[20];
    u32 ingress;
    s32 policer;
    u32 number; // the step, for renumber
    u32 queue;
    char selector[QOS_NAME_FIELD];
    char action_list[QOS_NAME_FIELD];
    u16 ext_cvid;
    u8 priority;
    u8 reserved;
};
static_assert(sizeof(qos_port_entry_record) == 296);
static_assert(offsetof(qos_port_entry_record, selector) == 36);
static_assert(offsetof(qos_port_entry_record, action_list) == 164);
static_assert(offsetof(qos_port_entry_record, ext_cvid) == 292);

struct __attribute__((packed)) qos_default_record {
    u32 ingress;
    char list[QOS_NAME_FIELD];
};
static_assert(sizeof(qos_default_record) == 132);

struct __attribute__((packed)) qos_rename_record {
    char from[QOS_NAME_FIELD];
    char to[QOS_NAME_FIELD];
};
static_assert(sizeof(qos_rename_record) == 256);

struct __attribute__((packed)) qos_name_record {
    char name[QOS_NAME_FIELD + 1];
};

// Shaping, trust, policer and ONU records: 40 bytes, the port name at 0.
struct __attribute__((packed)) qos_port_record {
    char port[JXBRIDGE_PORT_NAME_LEN];
    u8 pad[3];
    u32 rate;  // policer: policy id
    u32 burst; // policer: committed rate
    u32 mode;  // trust mode; policer: committed burst
    u32 peak_rate;
    u32 peak_burst; // ONU: ONU id
};
static_assert(sizeof(qos_port_record) == 40);
static_assert(offsetof(qos_port_record, rate) == 20);
static_assert(offsetof(qos_port_record, mode) == 28);
static_assert(offsetof(qos_port_record, peak_burst) == 36);

struct __attribute__((packed)) qos_mapping_record {
    char port[JXBRIDGE_PORT_NAME_LEN];
    u8 index;
    u8 queue;
};
static_assert(sizeof(qos_mapping_record) == 19);

struct __attribute__((packed)) qos_queue_record {
    char port[JXBRIDGE_PORT_NAME_LEN];
    u8 queue;
    u8 pad[2];
    u32 mgmt_type; // 20
    u32 sched_type;
    u8 weight; // 28
    u8 pad2;
    u16 size_min;
    u32 size_max; // 32
    u32 min_rate;
    u32 min_burst;
    u32 max_rate; // 44
    u32 max_burst;
    u8 vpi; // 52
    u8 pad3;
    u16 vci;
    u32 occupancy; // 56
    u8 priority;   // 60
    u8 pad4[3];
};
static_assert(sizeof(qos_queue_record) == 64);
static_assert(offsetof(qos_queue_record, mgmt_type) == 20);
static_assert(offsetof(qos_queue_record, sched_type) == 24);
static_assert(offsetof(qos_queue_record, size_min) == 30);
static_assert(offsetof(qos_queue_record, min_rate) == 36);
static_assert(offsetof(qos_queue_record, max_rate) == 44);
static_assert(offsetof(qos_queue_record, vci) == 54);
static_assert(offsetof(qos_queue_record, occupancy) == 56);
static_assert(offsetof(qos_queue_record, priority) == 60);

struct __attribute__((packed)) qos_wred_record {
    char port[JXBRIDGE_PORT_NAME_LEN];
    u8 queue;
    u8 pad[2];
    u32 dp;
    u8 min_threshold;
    u8 max_threshold;
    u8 scale;
    u8 pad2;
};
static_assert(sizeof(qos_wred_record) == 28);
static_assert(offsetof(qos_wred_record, dp) == 20);

struct __attribute__((packed)) qos_stats_record {
    char port[JXBRIDGE_PORT_NAME_LEN];
    u8 queue;
    u8 pad[2];
    u32 value[3];
};
static_assert(sizeof(qos_stats_record) == 32);

// The model.

struct qos_condition;
struct qos_action;
struct qos_eval;
using qos_cond_fn = bool (*)(struct qos_eval *ev, struct qos_condition *c);
using qos_action_fn = void (*)(struct qos_eval *ev, struct qos_action *a);

struct qos_condition {
    struct qos_condition *next;
    qos_cond_fn fn;
    struct acl_port_ref port; // `sport`, `dport`
    u32 number;
    u32 code;
    u8 param[QOS_COND_PARAMS];
};

struct qos_selector {
    struct qos_selector *next;
    char name[QOS_NAME_FIELD];
    u32 refcnt;
    struct qos_condition *conds;
};

struct qos_action {
    struct qos_action *next;
    qos_action_fn fn;
    struct acl_port_ref port; // `copy`
    u32 number;
    u32 code;
    u8 param[QOS_ACTION_PARAMS];
};

struct qos_action_list {
    struct qos_action_list *next;
    char name[QOS_NAME_FIELD];
    u32 refcnt;
    struct qos_action *actions;
};

struct qos_entry {
    struct qos_entry *next;
    u32 number;
    u32 queue;
    u32 priority;
    s32 policer;
    u16 ext_cvid;
    struct qos_selector *selector;
    struct qos_action_list *action_list;
};

struct qos_wred {
    u8 min_threshold, max_threshold, scale;
};

struct qos_queue {
    u32 mgmt_type;
    u32 sched_type;
    u8 weight;
    u16 size_min, size_max;
    u32 min_rate, min_burst, max_rate, max_burst;
    u8 vpi;
    u16 vci;
    struct qos_wred wred[3];
    u8 priority;
    u8 used;
    u8 enable_pdr, enable_cdr;
    u32 stats[3];
    u32 history[6][3];
    u32 history_at;
};

struct qos_policer {
    u32 cir, cbs, pir, pbs;
};

struct qos_port {
    u32 shape_rate, shape_burst;
    u8 shape_programmed;
    u32 trust;
    u8 cos_in[8], cos_out[8], ipprec_in[8], ipprec_out[8], dscp_in[64], dscp_out[64];
    struct qos_queue queues[QOS_QUEUES];
    u32 onu_id;
    u32 onu_police_rate, onu_police_burst, onu_shape_rate, onu_shape_burst;
    struct qos_policer policers[QOS_POLICERS];
};

struct qos_oo_sched {
    struct qos_oo_sched *next;
    u32 intf_id, sched_id, parent, priority, weight, policy, cir, cbs, pir, pbs;
};
struct qos_oo_queue {
    struct qos_oo_queue *next;
    u32 intf_id, gem, queue_id, sched_id, weight, priority, policy, discard, cir, cbs, pir, pbs;
    u32 engine_queue;
};

struct qos_classifier {
    struct jxbridge *bridge;
    u32 debug;
    u32 mng_debug;
    u32 enabled;
    struct qos_selector *selectors;
    u32 n_selectors;
    struct qos_action_list *lists;
    u32 n_lists;
    struct qos_action_list *def_ingress, *def_egress;
    u16 outer_ethertype;
    struct qos_entry **entries; // 2 * (max ports + 1), port p direction d at 2p + d
    struct qos_port **ports;    // by port number
    u32 cos_to_csc, csc_to_cos;
    u32 oo_mode; // the switching mode whose default rules were set up; 0 none
    struct qos_oo_sched *oo_scheds;
    struct qos_oo_queue *oo_queues;
    struct jxbridge_timer stats_timer;
};

// One classification.
struct qos_eval {
    u8 stop;
    u8 ingress;
    struct qos_classifier *qos;
    struct sk_buff *skb; // null once gone
    struct qos_entry *entry;
    struct jxbridge_port *port;
    struct rule_frame f;
};

inline bool qos_dbg(const struct qos_classifier *q) {
    return q && (q->debug || q->mng_debug);
}
#define QOS_TRACE(q, ...)                                                                          \
    do {                                                                                           \
        if (qos_dbg(q))                                                                            \
            jxbridge_trace(__VA_ARGS__);                                                           \
    } while (0)

// Vocabulary rows (jx_qos_cond.cc, jx_qos_action.cc).
struct qos_cond_row {
    const char *name;
    const char *args;
    u8 text; // accepted as a text command
    qos_cond_fn fn;
};
struct qos_action_row {
    const char *name;
    const char *args;
    u8 text;
    qos_action_fn fn;
};
extern const struct qos_cond_row qos_cond_rows[QOS_CONDITIONS];
extern const struct qos_action_row qos_action_rows[QOS_ACTIONS];
int qos_cond_code(const char *name);
int qos_action_code(const char *name);
// Text forms: words[0] is the field or action name.
int qos_cond_parse(char **words, struct qos_condition *c);
int qos_action_parse(struct qos_classifier *q, char **words, struct qos_action *a);
void qos_cond_list(const struct qos_condition *c, char *buf, size_t size);
void qos_action_list_form(const struct qos_action *a, char *buf, size_t size);
// The S- and C-tag offsets of the frame by the port's Q-in-Q mode; false
// when the frame does not fit the mode.
bool qos_find_stag(struct qos_eval *ev, u16 *off);
bool qos_find_ctag(struct qos_eval *ev, u16 *off);
bool qos_parse(struct qos_eval *ev);

// The classifier (jx_qos.cc).
struct qos_selector *qos_selector_find(struct qos_classifier *q, const char *name);
struct qos_action_list *qos_action_list_find(struct qos_classifier *q, const char *name);
int qos_selector_add(struct qos_classifier *q, const char *name);
int qos_selector_del(struct qos_classifier *q, const char *name);
int qos_selector_rename(struct qos_classifier *q, const char *from, const char *to);
int qos_condition_add(struct qos_classifier *q, const char *selector,
                      const struct qos_condition *proto);
int qos_condition_del(struct qos_classifier *q, const char *selector, u32 number);
int qos_condition_renumber(struct qos_classifier *q, const char *selector, u32 step);
int qos_action_list_add(struct qos_classifier *q, const char *name);
int qos_action_list_del(struct qos_classifier *q, const char *name);
int qos_action_list_rename(struct qos_classifier *q, const char *from, const char *to);
int qos_action_add(struct qos_classifier *q, const char *list, const struct qos_action *proto);
int qos_action_del(struct qos_classifier *q, const char *list, u32 number);
int qos_action_renumber(struct qos_classifier *q, const char *list, u32 step);
int qos_port_entry_add(struct qos_classifier *q, struct jxbridge_port *port, int ingress,
                       u32 number, const char *selector, const char *list, u32 queue, s32 policer,
                       u16 ext_cvid, u32 priority);
int qos_port_entry_del(struct qos_classifier *q, struct jxbridge_port *port, int ingress,
                       u32 number);
int qos_port_entry_renumber(struct qos_classifier *q, struct jxbridge_port *port, int ingress,
                            u32 step);
struct qos_entry *qos_port_entries(struct qos_classifier *q, u32 port_no, int ingress);
int qos_default_action_list_set(struct qos_classifier *q, int ingress, const char *list);
void qos_set_diffserv(struct qos_classifier *q, u32 value);
void qos_set_outer_ethertype(struct qos_classifier *q, u16 value);
void qos_set_debug(struct qos_classifier *q, u32 value);
void qos_set_mng_debug(struct qos_classifier *q, u32 value);

// Per-port configuration and the packet engine (jx_qos_sched.cc). Setters
// answer 0, or 1 when they refused the value or the engine failed.
struct qos_port *qos_port_of(struct jxbridge_port *port);
int qos_port_shaping_set(struct jxbridge_port *port, u32 rate, u32 burst);
int qos_port_trust_set(struct jxbridge_port *port, u32 mode);
// table: 0 CoS in, 1 CoS out, 2 DSCP in, 3 DSCP out, 4 IP precedence in, 5 out.
int qos_port_mapping_set(struct jxbridge_port *port, u32 table, u32 index, u32 queue);
int qos_port_mapping_get(struct jxbridge_port *port, u32 table, u32 index, u8 *queue);
int qos_cos_csc_set(struct qos_classifier *q, int csc_to_cos, u32 value);
int qos_policy_two_rate_set(struct jxbridge_port *port, u32 id, u32 cir, u32 cbs, u32 pir, u32 pbs);
int qos_queue_mgmt_type_set(struct jxbridge_port *port, u32 queue, u32 v);
int qos_queue_wrr_weight_set(struct jxbridge_port *port, u32 queue, u32 v);
int qos_queue_size_min_set(struct jxbridge_port *port, u32 queue, u32 v);
int qos_queue_size_max_set(struct jxbridge_port *port, u32 queue, u32 v);
int qos_queue_bw_set(struct jxbridge_port *port, u32 queue, int max, u32 rate, u32 burst);
int qos_queue_sched_type_set(struct jxbridge_port *port, u32 queue, u32 v);
int qos_queue_pvc_set(struct jxbridge_port *port, u32 queue, u32 vpi, u32 vci);
int qos_queue_priority_set(struct jxbridge_port *port, u32 queue, u32 v);
// which: 0 minimum threshold, 1 maximum threshold, 2 scale.
int qos_queue_wred_set(struct jxbridge_port *port, u32 queue, u32 which, u32 dp, u32 v);
int qos_queue_occupancy_get(struct jxbridge_port *port, u32 queue, u32 *out);
int qos_onu_set(struct jxbridge_port *port, int policing, u32 onu, u32 rate, u32 burst);
int qos_queue_used_set(struct jxbridge_port *port, u32 queue);
int qos_tarn_queue_enable(struct jxbridge_port *port, u32 queue, int enable, u32 priority);
int qos_oo_scheduler_add(struct qos_classifier *q, const u32 *v);
int qos_oo_scheduler_del(struct qos_classifier *q, u32 intf, u32 sched);
int qos_oo_queue_add(struct qos_classifier *q, const u32 *v);
int qos_oo_queue_del(struct qos_classifier *q, u32 intf, u32 gem, u32 queue);
void qos_oo_free(struct qos_classifier *q);
void qos_oo_show(struct qos_classifier *q, long olt);
void qos_port_show(struct jxbridge_port *port);
void qos_stats_start(struct qos_classifier *q);
void qos_stats_stop(struct qos_classifier *q);
int qos_switching_mode_rules(struct qos_classifier *q, u32 mode);

// The control file (jx_qos_proc.cc).
extern const struct file_operations qos_fops;
