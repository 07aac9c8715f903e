// Subscriber access authentication: per port a queue of held frames, four
// timers and the entries (selector, action list) that turn a frame into a
// request for the agent. Requests go out on the bridge's event file; the
// agent answers through the tal file.
//
// Thread safety: everything here runs under jxbridge_lock; the frame path
// runs in the bridge's frame context, which holds it.
#pragma once

#include "bridge_acl.h"
#include "bridge_rule.h"
#include "jxbridge.h"

#define TAL_NAME_FIELD 48 // 47 characters and the terminator
#define TAL_NAME_MAX (TAL_NAME_FIELD - 1)
#define TAL_REC_NAME_FIELD 128
#define TAL_COND_PARAMS 264
#define TAL_OPT_MAX 255
#define TAL_ENABLE 1
#define TAL_DISABLE 0
#define TAL_OK 1
#define TAL_NOK 0
#define TAL_TIMEOUT_DEFAULT 30
#define TAL_AUTO_TIMEOUT_DEFAULT 2
#define TAL_STORED_TIMEOUT_DEFAULT 10
#define TAL_TIMEOUT_MIN 1
#define TAL_TIMEOUT_MAX 300
#define TAL_QUEUE_DEFAULT 1
#define TAL_QUEUE_MAX 100
#define TAL_FRAME_BYTES 128 // bytes of the frame a request carries
#define TAL_TIMER_SLOT 4

enum tal_cond_code : u32 {
    TAL_C_TRUE = 0,
    TAL_C_SPORT,
    TAL_C_DPORT,
    TAL_C_SMAC,
    TAL_C_DMAC,
    TAL_C_ETHER_TYPE,
    TAL_C_OUTER_VID,
    TAL_C_OUTER_COS,
    TAL_C_INNER_VID,
    TAL_C_INNER_COS,
    TAL_C_IP_PROTOCOL,
    TAL_C_IPV4_SADDR,
    TAL_C_IPV4_DADDR,
    TAL_C_IPV4_DSCP,
    TAL_C_IPV4_TOS,
    TAL_C_IPV4_PRECEDENCE,
    TAL_C_IPV4_PROTOCOL,
    TAL_C_IPV6_SADDR,
    TAL_C_IPV6_DADDR,
    TAL_C_IPV6_TRAFFIC_CLASS,
    TAL_C_IPV6_FLOW_LABEL,
    TAL_C_IPV6_NEXT_HEADER,
    TAL_C_ICMPV4_CODE,
    TAL_C_ICMPV6_CODE,
    TAL_C_TCP_SPORT,
    TAL_C_TCP_DPORT,
    TAL_C_UDP_SPORT,
    TAL_C_UDP_DPORT,
    TAL_C_DHCP_OPTION,
    TAL_C_DHCP_MSG_TYPE,
    TAL_C_DHCP_VENDOR_ID,
    TAL_C_DHCP_CLIENT_ID,
    TAL_C_DHCP_CIRCUIT_ID,
    TAL_C_DHCP_REMOTE_ID,
    TAL_C_USER_MASK,
    TAL_CONDITIONS
};

enum tal_action_code : u32 {
    TAL_A_DROP = 0,
    TAL_A_PASS,
    TAL_A_SEND_AUTHEN_REQ,
    TAL_A_SEND_AUTHOR_REQ,
    TAL_ACTIONS
};

// Condition parameters (record bytes 136..399), host order.
struct tal_p_value {
    u32 value;
    u32 mask; // `ipv4_tos`, `ipv4_saddr`, `ipv4_daddr`
};
struct tal_p_mac {
    u8 value[6];
    u8 mask[6];
};
struct tal_p_ipv6 {
    u8 value[16];
    u8 mask[16];
};
struct tal_p_range {
    u32 from;
    u32 to;
};
struct tal_p_bytes { // the DHCP identifier values
    u32 len;
    u8 data[TAL_OPT_MAX];
};
struct tal_p_user { // 32 bits at a byte offset from the MAC header
    u32 offset;
    u32 value;
    u32 mask;
};
static_assert(sizeof(tal_p_bytes) <= TAL_COND_PARAMS);

// Records of the control file's ioctls: packed, little-endian.
struct __attribute__((packed)) tal_condition_record {
    char selector[TAL_REC_NAME_FIELD];
    u32 number; // the step, for renumber
    u32 code;
    u8 param[TAL_COND_PARAMS];
    char port[JXBRIDGE_PORT_NAME_LEN]; // `sport`, `dport`
    u8 reserved[452 - 400 - JXBRIDGE_PORT_NAME_LEN];
};
static_assert(sizeof(tal_condition_record) == 452);
static_assert(offsetof(tal_condition_record, number) == 128);
static_assert(offsetof(tal_condition_record, code) == 132);
static_assert(offsetof(tal_condition_record, param) == 136);
static_assert(offsetof(tal_condition_record, port) == 400);

struct __attribute__((packed)) tal_action_record {
    char list[TAL_REC_NAME_FIELD];
    u32 number; // the step, for renumber
    u32 code;
};
static_assert(sizeof(tal_action_record) == 136);

struct __attribute__((packed)) tal_port_entry_record {
    char port[JXBRIDGE_PORT_NAME_LEN];
    u8 pad[3];
    u32 number; // the step, for renumber
    char selector[TAL_NAME_FIELD];
    char action_list[TAL_NAME_FIELD];
};
static_assert(sizeof(tal_port_entry_record) == 120);
static_assert(offsetof(tal_port_entry_record, number) == 20);
static_assert(offsetof(tal_port_entry_record, selector) == 24);
static_assert(offsetof(tal_port_entry_record, action_list) == 72);

struct __attribute__((packed)) tal_rename_record {
    char from[TAL_NAME_FIELD];
    char to[TAL_NAME_FIELD];
};
static_assert(sizeof(tal_rename_record) == 96);

struct __attribute__((packed)) tal_port_record {
    char port[JXBRIDGE_PORT_NAME_LEN];
    u8 state;      // admin-type states
    u8 oper_state; // operational states
    u8 pad;
    u32 max_queue;
    u32 timeout;
    u8 reply;
    u8 pad2[3];
    u32 forwarding, authentication, authorization;
};
static_assert(sizeof(tal_port_record) == 44);
static_assert(offsetof(tal_port_record, state) == 17);
static_assert(offsetof(tal_port_record, oper_state) == 18);
static_assert(offsetof(tal_port_record, max_queue) == 20);
static_assert(offsetof(tal_port_record, timeout) == 24);
static_assert(offsetof(tal_port_record, reply) == 28);
static_assert(offsetof(tal_port_record, forwarding) == 32);
static_assert(offsetof(tal_port_record, authorization) == 40);

struct __attribute__((packed)) tal_stats_record {
    char port[JXBRIDGE_PORT_NAME_LEN];
    u8 pad[3];
    u32 queue_size, queue_max, queue_avg, dropped_rx, matched;
    u32 authen_sent, author_sent, authen_ok, author_ok, authen_nok, author_nok;
    u32 authen_timeouts, author_timeouts;
};
static_assert(sizeof(tal_stats_record) == 72);
static_assert(offsetof(tal_stats_record, queue_size) == 20);
static_assert(offsetof(tal_stats_record, dropped_rx) == 32);
static_assert(offsetof(tal_stats_record, authen_sent) == 40);
static_assert(offsetof(tal_stats_record, authen_timeouts) == 64);

// The model.

struct tal_condition {
    struct tal_condition *next;
    u32 number;
    u32 code;
    struct acl_port_ref port; // `sport`, `dport`
    u8 param[TAL_COND_PARAMS];
};

struct tal_selector {
    struct tal_selector *next;
    char name[TAL_NAME_FIELD];
    u32 refcnt;
    struct tal_condition *conds;
};

struct tal_action {
    struct tal_action *next;
    u32 number;
    u32 code;
};

struct tal_action_list {
    struct tal_action_list *next;
    char name[TAL_NAME_FIELD];
    u32 refcnt;
    struct tal_action *actions;
};

struct tal_entry {
    struct tal_entry *next;
    u32 number;
    u32 matches;
    struct tal_selector *selector;
    struct tal_action_list *action_list;
};

enum tal_timer_id { TAL_T_AUTHEN, TAL_T_AUTHOR, TAL_T_AUTO, TAL_T_STORED, TAL_TIMERS };

struct tal_counters {
    u32 queue_max;
    u32 queue_avg;
    u32 dropped_rx, dropped_tx, matched;
    u32 req_sent[2], req_ok[2], req_nok[2], timeouts[2]; // by request type
    // Kept by a statistics clear.
    u32 auto_expired, auto_sent, auto_ok, auto_nok;
    u32 stored_sent, stored_ok, stored_nok;
};

struct tal_port {
    struct jxbridge_port *port;
    u8 admin;
    u8 authen_admin, authen_oper;
    u8 author_admin, author_oper;
    u8 auto_admin, auto_oper;
    u8 last_result; // 1 confirmed, 2 not confirmed
    u8 auto_pending, stored_pending;
    u8 timer_active[TAL_TIMERS];
    unsigned long deadline[TAL_TIMERS];
    u32 timeout, auto_timeout, stored_timeout, max_queue;
    struct sk_buff *q_head, *q_tail;
    u32 q_len;
    u64 q_samples, q_sum; // for the average occupancy
    struct tal_counters c;
    struct tal_entry *entries;
};

struct tal_data {
    struct jxbridge *bridge;
    u32 debug;
    u8 admin;
    u8 request_state;
    u16 outer_ethertype;
    char debug_msg[128];
    struct tal_selector *selectors;
    struct tal_action_list *lists;
    struct tal_port **ports; // by port number
    struct jxbridge_timer timer;
    char request[2048]; // the record handed to the event layer (at most 1848 bytes)
};

// Module-wide: one request may be outstanding at a time, and none goes out
// while configuration is applied.
extern struct tal_port *tal_request_owner;
extern u8 tal_config_apply;

inline bool tal_dbg(const struct tal_data *t) {
    return t && t->debug;
}
#define TAL_TRACE(t, ...)                                                                          \
    do {                                                                                           \
        if (tal_dbg(t))                                                                            \
            jxbridge_trace(__VA_ARGS__);                                                           \
    } while (0)

// One evaluation of a frame.
struct tal_eval {
    struct tal_data *tal;
    struct tal_port *tp;
    struct sk_buff *skb;
    struct rule_frame f;
    // DHCPv4 options: offset of the option's length byte from data; 0 absent.
    u16 dhcp; // the BOOTP header
    u16 opt53, opt60, opt61, opt82, circuit, remote;
};

// Conditions (jx_tal_cond.cc).
struct tal_cond_row {
    const char *name;
    const char *args;
    u8 kind;
    bool (*fn)(struct tal_eval *ev, struct tal_condition *c);
};
extern const struct tal_cond_row tal_cond_rows[TAL_CONDITIONS];
extern const char *const tal_action_names[TAL_ACTIONS];
int tal_cond_parse(char **words, struct tal_condition *c);
// Checks a condition from a record: its code and parameters.
int tal_cond_check(const struct tal_condition *c);
void tal_cond_form(const struct tal_condition *c, char *buf, size_t size);
// Locates the DHCPv4 options of the parsed frame, every one inside the frame.
void tal_dhcp_parse(struct tal_eval *ev);

// The engine (jx_tal.cc).
struct tal_port *tal_port_of(struct tal_data *t, struct jxbridge_port *port);
int tal_selector_add(struct tal_data *t, const char *name);
int tal_selector_del(struct tal_data *t, const char *name);
int tal_selector_rename(struct tal_data *t, const char *from, const char *to);
int tal_condition_add(struct tal_data *t, const char *selector, const struct tal_condition *proto);
int tal_condition_del(struct tal_data *t, const char *selector, u32 number);
int tal_condition_renumber(struct tal_data *t, const char *selector, u32 step);
int tal_action_list_add(struct tal_data *t, const char *name);
int tal_action_list_del(struct tal_data *t, const char *name);
int tal_action_list_rename(struct tal_data *t, const char *from, const char *to);
int tal_action_add(struct tal_data *t, const char *list, u32 number, u32 code);
int tal_action_del(struct tal_data *t, const char *list, u32 number);
int tal_action_renumber(struct tal_data *t, const char *list, u32 step);
// number 0 appends after the last entry.
int tal_port_entry_add(struct tal_data *t, struct tal_port *tp, u32 number, const char *selector,
                       const char *list);
// number 0 removes every entry of the port.
int tal_port_entry_del(struct tal_data *t, struct tal_port *tp, u32 number);
int tal_port_entry_renumber(struct tal_data *t, struct tal_port *tp, u32 step);
void tal_set_outer_ethertype(struct tal_data *t, u16 value);
int tal_port_timeout_set(struct tal_data *t, struct tal_port *tp, int which, u32 seconds);
int tal_port_max_queue_set(struct tal_data *t, struct tal_port *tp, u32 size);
// which: 0 authentication, 1 authorization, 2 automatic requests. The
// operational state follows: a port enabled for authentication starts out
// unauthenticated; one disabled lets go of its timer, queue and request.
void tal_port_admin_state_set(struct tal_data *t, struct tal_port *tp, int which, u8 value);
void tal_port_clear(struct tal_port *tp);
void tal_port_reset(struct tal_port *tp);
void tal_port_states_get(struct tal_data *t, struct tal_port *tp, u32 *f, u32 *a, u32 *z);
// type 0 authentication, 1 authorization; state TAL_OK or TAL_NOK.
int tal_port_reply(struct tal_data *t, struct tal_port *tp, int type, u32 state);
int tal_port_stored_request(struct tal_data *t, struct tal_port *tp);
// Arms the bridge's timer for the earliest port deadline.
void tal_timers_arm(struct tal_data *t);
void tal_timer_start(struct tal_data *t, struct tal_port *tp, int which, u32 seconds);
void tal_timer_stop(struct tal_data *t, struct tal_port *tp, int which);

// The control file (jx_tal_proc.cc).
extern const struct file_operations tal_fops;
