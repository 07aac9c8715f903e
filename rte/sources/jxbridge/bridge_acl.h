// The ACL engine of a bridge: named selectors (conditions), action lists and
// counters, per port and direction a numbered list of entries binding a
// selector to an action list, and a default entry that runs when the list
// did not end the evaluation.
//
// References: entries hold their selector and action list, conditions and
// actions their counter (reference counts). Ports are held by name and a
// cached pointer that the port's removal clears, so no rule outlives a port.
//
// Thread safety: every function here runs under jxbridge_lock; evaluation
// runs in the bridge's frame context, which holds it.
#pragma once

#include "bridge_rule.h"
#include "jxbridge.h"

#define ACL_CONDITIONS 48
#define ACL_ACTIONS 31
#define ACL_COND_PARAMS 48
#define ACL_ACTION_PARAMS 44 // the record's bytes 48..91, the event message's 52..91 included
#define ACL_GOTO_LIMIT 10
#define ACL_ETHER_DATA_MAX 1600
#define ACL_EVENT_MSG_MAX 39
#define ACL_EVENT_WINDOW 250 // jiffies a rate-limited event's count holds for
#define ACL_INGRESS_KEY 0x80000000u

enum acl_cond_type : u32 {
    ACL_C_TRUE = 0,
    ACL_C_SPORT,
    ACL_C_DPORT,
    ACL_C_SMAC,
    ACL_C_DMAC,
    ACL_C_ETHER_TYPE,
    ACL_C_ETHER_DATA,
    ACL_C_TAGGED1,
    ACL_C_TAGGED2,
    ACL_C_TAG1,
    ACL_C_TAG2,
    ACL_C_VID1,
    ACL_C_VID2,
    ACL_C_CTAG,
    ACL_C_STAG,
    ACL_C_CVID,
    ACL_C_SVID,
    ACL_C_TPID1,
    ACL_C_TPID2,
    ACL_C_IP_PROTOCOL,
    ACL_C_IPV4_SADDR,
    ACL_C_IPV4_DADDR,
    ACL_C_IPV4_DSCP,
    ACL_C_IPV4_TOS,
    ACL_C_IPV4_PRECEDENCE,
    ACL_C_IPV4_FLAGS,
    ACL_C_IPV4_PROTOCOL,
    ACL_C_IPV6_SADDR,
    ACL_C_IPV6_DADDR,
    ACL_C_IPV6_DSCP,
    ACL_C_IPV6_TRAFFIC_CLASS,
    ACL_C_IPV6_FLOW_LABEL,
    ACL_C_IPV6_NEXT_HEADER,
    ACL_C_TCP_SPORT,
    ACL_C_TCP_DPORT,
    ACL_C_UDP_SPORT,
    ACL_C_UDP_DPORT,
    ACL_C_L4_SPORT,
    ACL_C_L4_DPORT,
    ACL_C_TCP_SPORT_OP,
    ACL_C_TCP_DPORT_OP,
    ACL_C_UDP_SPORT_OP,
    ACL_C_UDP_DPORT_OP,
    ACL_C_L4_SPORT_OP,
    ACL_C_L4_DPORT_OP,
    ACL_C_ICMPV4_CODE,
    ACL_C_ICMPV6_CODE,
    ACL_C_COUNTER,
};
static_assert(ACL_C_COUNTER == ACL_CONDITIONS - 1);

enum acl_action_code : u32 {
    ACL_A_DROP = 0,
    ACL_A_PASS,
    ACL_A_BYPASS_VLAN,
    ACL_A_COPY,
    ACL_A_FORWARD,
    ACL_A_FORWARD_MCAST,
    ACL_A_LOG,
    ACL_A_PRINT,
    ACL_A_ASSIGN_QUEUE,
    ACL_A_GOTO,
    ACL_A_HIDE,
    ACL_A_ADD_STAG,
    ACL_A_ADD_CTAG,
    ACL_A_SET_TAG1,
    ACL_A_SET_TAG2,
    ACL_A_SET_STAG,
    ACL_A_SET_CTAG,
    ACL_A_REMOVE_TAG1,
    ACL_A_REMOVE_TAG2,
    ACL_A_SET_IPV4_DSCP,
    ACL_A_NO_LEARN,
    ACL_A_BROADCAST,
    ACL_A_LEARN,
    ACL_A_SWITCH,
    ACL_A_NO_L2CP,
    ACL_A_NO_FLOW,
    ACL_A_FLOW_GROUP,
    ACL_A_COUNTER_RESET,
    ACL_A_COUNTER_INC,
    ACL_A_OO_TRAP_TO_HOST,
    ACL_A_EVENT,
};
static_assert(ACL_A_EVENT == ACL_ACTIONS - 1);

// Comparison operators of `counter` and the port operator forms.
enum acl_cmp : u32 { ACL_EQ = 0, ACL_NE, ACL_LT, ACL_LE, ACL_GT, ACL_GE };

// Records of the control file's ioctls: packed, host byte order.
struct __attribute__((packed)) acl_condition_record {
    char selector[RULE_NAME_FIELD];
    u32 number;                // first, for renumber
    u32 type;                  // last, for renumber
    u32 negate;                // new first, for renumber
    u8 param[ACL_COND_PARAMS]; // step at its start, for renumber
    char port[16];
};
static_assert(sizeof(acl_condition_record) == 116);
static_assert(offsetof(acl_condition_record, param) == 52);
static_assert(offsetof(acl_condition_record, port) == 100);

struct __attribute__((packed)) acl_action_record {
    char list[RULE_NAME_FIELD];
    u32 number;
    u32 code;
    u8 param[40];
    u32 stop_after;
};
static_assert(sizeof(acl_action_record) == 92);
static_assert(offsetof(acl_action_record, param) == 48);
static_assert(offsetof(acl_action_record, stop_after) == 88);

struct __attribute__((packed)) acl_port_entry_record {
    char port[20];
    u32 ingress;
    u32 number; // first, for renumber
    u32 last;
    u32 new_first;
    u32 step;
    char selector[RULE_NAME_FIELD];
    char action_list[RULE_NAME_FIELD];
};
static_assert(sizeof(acl_port_entry_record) == 120);
static_assert(offsetof(acl_port_entry_record, selector) == 40);
static_assert(offsetof(acl_port_entry_record, action_list) == 80);

struct __attribute__((packed)) acl_default_record {
    u32 ingress;
    char port[17];
    char selector[RULE_NAME_FIELD];
    char action_list[RULE_NAME_FIELD];
    u8 reserved[3];
};
static_assert(sizeof(acl_default_record) == 104);
static_assert(offsetof(acl_default_record, selector) == 21);
static_assert(offsetof(acl_default_record, action_list) == 61);

struct __attribute__((packed)) acl_counter_value_record {
    char name[RULE_NAME_FIELD];
    u64 packets;
    u64 bytes;
};
static_assert(sizeof(acl_counter_value_record) == 56);

struct __attribute__((packed)) acl_detail_request {
    char filter[RULE_NAME_FIELD];
    u32 port; // the port's BLL number; 0xFFFFFFFF for all
    u32 dir;  // 0 ingress, 1 egress, 2 both
    u32 count;
    u32 reserved;
    u64 out; // user address of the output array
};
static_assert(sizeof(acl_detail_request) == 64);

struct __attribute__((packed)) acl_detail_record {
    char name[RULE_NAME_FIELD];
    u32 number;
    u32 intf_id;
    u32 dir;
    u32 reserved;
    u64 packets;
    u64 bytes;
};
static_assert(sizeof(acl_detail_record) == 72);

struct __attribute__((packed)) acl_name_record {
    char name[RULE_NAME_FIELD];
};

#define ACL_IOCTL_DEBUG_SET 0x40047a01
#define ACL_IOCTL_SELECTOR_ADD 0x40047a03
#define ACL_IOCTL_SELECTOR_DEL 0x40047a04
#define ACL_IOCTL_CONDITION_ADD 0x40047a05
#define ACL_IOCTL_CONDITION_DEL 0x40047a06
#define ACL_IOCTL_CONDITION_RENUMBER 0x40047a07
#define ACL_IOCTL_ACTION_LIST_ADD 0x40047a08
#define ACL_IOCTL_ACTION_LIST_DEL 0x40047a09
#define ACL_IOCTL_ACTION_ADD 0x40047a0a
#define ACL_IOCTL_ACTION_DEL 0x40047a0b
#define ACL_IOCTL_ACTION_RENUMBER 0x40047a0c
#define ACL_IOCTL_PORT_ENTRY_ADD 0x40047a0d
#define ACL_IOCTL_PORT_ENTRY_DEL 0x40047a0e
#define ACL_IOCTL_PORT_ENTRY_RENUMBER 0x40047a0f
#define ACL_IOCTL_COUNTER_ADD 0x40047a10
#define ACL_IOCTL_COUNTER_DEL 0x40047a11
#define ACL_IOCTL_COUNTER_RESET 0x40047a12
#define ACL_IOCTL_COUNTER_GET 0xc0047a13
#define ACL_IOCTL_DEFAULT_ACTION_LIST_SET 0x40047a14
#define ACL_IOCTL_PORT_ENTRY_GET 0x40047a15
#define ACL_IOCTL_COUNTER_FGID_GET 0xc0047a16
#define ACL_IOCTL_COUNTERS_DETAILED_GET 0xc0047a17

// The model.

struct acl_counter_dpe {
    struct acl_counter_dpe *next; // ascending key
    u64 key;                      // port number, plus ACL_INGRESS_KEY on ingress
    u64 packets;
    u64 bytes;
};

struct acl_counter {
    struct acl_counter *next;
    char name[RULE_NAME_FIELD];
    u32 refcnt;
    u16 fgid;
    u64 packets;
    u64 bytes;
    struct acl_counter_dpe *dpe;
};

// A bridge port named by a rule: the cached pointer goes with the port and
// is found again by name when a port of that name comes back.
struct acl_port_ref {
    char name[JXBRIDGE_PORT_NAME_LEN];
    struct jxbridge_port *port;
};

struct acl_eval;
struct acl_condition;
struct acl_action;
// Whether the condition holds for the frame.
using acl_cond_fn = bool (*)(struct acl_eval *ev, struct acl_condition *c);
using acl_action_fn = void (*)(struct acl_eval *ev, struct acl_action *a);

struct acl_condition {
    struct acl_condition *next;
    acl_cond_fn fn;
    struct acl_counter *counter; // of a `counter` condition
    struct acl_port_ref port;    // of `sport`, `dport`
    u32 number;
    u32 type;
    u32 negate;
    u8 param[ACL_COND_PARAMS];
    u8 *ether_buf; // `ether_data`: mask then data, length bytes each
};

struct acl_selector {
    struct acl_selector *next;
    char name[RULE_NAME_FIELD];
    u32 refcnt;
    struct acl_condition *conds;
};

struct acl_action {
    struct acl_action *next;
    acl_action_fn fn;
    struct acl_counter *counter; // of `log`, `counter_inc`, `counter_reset`
    struct acl_port_ref port;    // of `copy`, `forward`
    u32 events;                  // `event`, `drop`: events in the current window
    unsigned long deadline;      // and when the window ends
    u32 number;
    u32 code;
    u8 param[ACL_ACTION_PARAMS];
};

struct acl_action_list {
    struct acl_action_list *next;
    char name[RULE_NAME_FIELD];
    u32 refcnt;
    struct acl_action *actions;
};

struct acl_entry {
    struct acl_entry *next;
    u32 number;
    struct acl_selector *selector;
    struct acl_action_list *action_list;
};

struct acl_engine {
    struct jxbridge *bridge;
    u32 debug;
    struct acl_selector *selectors;
    u32 n_selectors;
    struct acl_action_list *lists;
    u32 n_lists;
    struct acl_counter *counters;
    u32 n_counters;
    u32 goto_limit;
    struct acl_entry *def_ingress; // one per port number
    struct acl_entry *def_egress;
    struct acl_entry **entries; // 2 * port number + ingress
};

// One evaluation: the frame's parse and where the walk stands.
struct acl_eval {
    u8 stop;     // set by terminal actions
    u8 consumed; // the frame was taken or freed
    u8 hide;     // the default entry does not run
    u8 ingress;
    u8 traced;      // the engine's debug, read once per evaluation
    u32 goto_count; // 32 bits: a limit of 65535 or more must still end the walk
    u32 goto_target;
    struct acl_engine *acl;
    struct sk_buff *skb; // null once gone
    struct acl_entry *entry;
    struct jxbridge_port *port; // the evaluated port
    struct rule_frame f;
};

// Vocabulary rows, indexed by condition type and action code
// (bridge_acl_cond.cc, bridge_acl_action.cc).
struct acl_cond_row {
    const char *name;
    const char *args;
    u8 kind; // how its parameters are parsed and listed
    acl_cond_fn fn;
    acl_cond_fn fn_negated; // when set, fn ignores the negation and this one applies it
};
struct acl_action_row {
    const char *name;
    const char *args; // null: takes no parameter and lists none
    acl_action_fn fn;
};
extern const struct acl_cond_row acl_cond_rows[ACL_CONDITIONS];
extern const struct acl_action_row acl_action_rows[ACL_ACTIONS];
// Condition listing form, into buf.
void acl_cond_list(const struct acl_condition *c, char *buf, size_t size);
void acl_action_list_form(const struct acl_action *a, char *buf, size_t size);
const char *acl_cmp2a(u32 op);
// An operator word: its code, -EINVAL unknown, -ETOOSMALL empty.
int acl_a2cmp(const char *word);
// Text forms: words[0] is the field or action name; the prototype is filled.
int acl_cond_parse(struct acl_engine *acl, char **words, struct acl_condition *c);
int acl_action_parse(struct acl_engine *acl, char **words, struct acl_action *a);

// Engine (bridge_acl.cc).
inline bool acl_dbg(const struct acl_engine *acl) {
    return acl && acl->debug;
}
void acl_err(const struct acl_engine *acl, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
// Re-parses after a change of the frame's layout; false when the frame was dropped.
bool acl_parse_frame(struct acl_eval *ev);
struct jxbridge_port *acl_port_resolve(struct jxbridge *bridge, struct acl_port_ref *ref);
struct jxbridge_port *acl_dev_port(struct net_device *dev);
void acl_counter_count(struct acl_eval *ev, struct acl_counter *c);
void acl_emit_event(struct acl_eval *ev, struct acl_action *a, const char *msg, u32 rate);

struct acl_selector *acl_selector_find(struct acl_engine *acl, const char *name);
struct acl_action_list *acl_action_list_find(struct acl_engine *acl, const char *name);
struct acl_counter *acl_counter_find(struct acl_engine *acl, const char *name);
int acl_selector_add(struct acl_engine *acl, const char *name);
int acl_selector_del(struct acl_engine *acl, const char *name);
// The condition is built by the caller (type, negate, param, port name, and
// for `ether_data` its buffer, which the engine owns from here on, also on failure).
int acl_condition_add(struct acl_engine *acl, const char *selector, struct acl_condition *proto);
int acl_condition_del(struct acl_engine *acl, const char *selector, u32 number);
int acl_condition_renumber(struct acl_engine *acl, const char *selector, u32 first, u32 last,
                           u32 new_first, u32 step);
int acl_action_list_add(struct acl_engine *acl, const char *name);
int acl_action_list_del(struct acl_engine *acl, const char *name);
int acl_action_add(struct acl_engine *acl, const char *list, const struct acl_action *proto);
int acl_action_del(struct acl_engine *acl, const char *list, u32 number);
int acl_action_renumber(struct acl_engine *acl, const char *list, u32 first, u32 last,
                        u32 new_first, u32 step);
int acl_port_entry_add(struct acl_engine *acl, struct jxbridge_port *port, int ingress, u32 number,
                       const char *selector, const char *action_list);
int acl_port_entry_del(struct acl_engine *acl, struct jxbridge_port *port, int ingress, u32 number);
int acl_port_entry_renumber(struct acl_engine *acl, struct jxbridge_port *port, int ingress,
                            u32 first, u32 last, u32 new_first, u32 step);
struct acl_entry *acl_port_entries(struct acl_engine *acl, u32 port_no, int ingress);
int acl_counter_add(struct acl_engine *acl, const char *name);
int acl_counter_del(struct acl_engine *acl, const char *name);
int acl_counter_reset_(struct acl_engine *acl, const char *name);
int acl_counter_get_value(struct acl_engine *acl, const char *name, u64 *packets, u64 *bytes);
int acl_counter_get_flow_group(struct acl_engine *acl, const char *name, u32 *fgid);
int acl_default_action_list_set(struct acl_engine *acl, struct jxbridge_port *port, int ingress,
                                const char *selector, const char *action_list);
void acl_default_action_list_switching_mode_update(struct acl_engine *acl);
void acl_set_debug(struct acl_engine *acl, u32 value);
void acl_notify_flows(struct jxbridge_port *port, int ingress);
struct sk_buff *acl_skb_cel(struct acl_engine *acl, struct acl_entry *list, struct sk_buff *skb);

// The control file (bridge_acl_proc.cc).
extern const struct file_operations acl_fops;
