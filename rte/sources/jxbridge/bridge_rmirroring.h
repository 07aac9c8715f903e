// Remote mirroring sessions (bridge_rmirroring.cc) and their control file
// (bridge_rmirroring_proc.cc). Everything runs under jxbridge_lock.
#pragma once

#include "bridge_acl.h"

#define RMIRRORING_ETHERTYPE 0x88A8
#define RMIRRORING_COS_KEEP 255
#define RMIRRORING_MAC_TEXT 18
#define RMIRRORING_ENCAPS_LEN 18
#define RMIRRORING_BCAST_TEXT "FF:FF:FF:FF:FF:FF"

struct rmirroring_session {
    u8 in_use, active;
    u16 vlan;
    u32 encaps;
    u8 mac_not_bcast;
    char mac_text[RMIRRORING_MAC_TEXT];
    u8 mac[6];
    u16 ethertype;
    u8 cos;
    struct jxbridge_port *dst;
    struct acl_entry *acl; // one entry, holding its selector and action list
    char acl_name[RULE_NAME_FIELD];
    u32 acl_kind; // 0 none, 1 MAC, 2 IP
};

struct rmirroring_data {
    struct jxbridge *bridge;
    u32 debug;
    u32 n_sessions;
    struct rmirroring_session s[RMIRRORING_SESSIONS];
};

#define RM_DBG(rd, ...)                                                                            \
    do {                                                                                           \
        if ((rd)->debug)                                                                           \
            printk(KERN_INFO __VA_ARGS__);                                                         \
    } while (0)

// Session operations: numbers 1-4; 0 or a negative errno.
int rmirroring_session_create(struct jxbridge *bridge, long nr, long vlan, int *busy);
int rmirroring_session_delete(struct jxbridge *bridge, long nr);
int rmirroring_session_activate(struct jxbridge *bridge, long nr, bool on);
int rmirroring_port_add(struct jxbridge *bridge, long nr, struct jxbridge_port *port, bool dst,
                        bool rx, bool tx, u32 *other_port, int *other_session);
int rmirroring_port_remove(struct jxbridge *bridge, long nr, struct jxbridge_port *port, bool rx,
                           bool tx);
int rmirroring_cos_set(struct jxbridge *bridge, long nr, long cos);
int rmirroring_encaps_set(struct jxbridge *bridge, long nr, u32 on);
int rmirroring_mac_set(struct jxbridge *bridge, long nr, const char *text);
int rmirroring_ethertype_set(struct jxbridge *bridge, long nr, u16 type);
int rmirroring_acl_set(struct jxbridge *bridge, long nr, const char *name, u32 kind);
int rmirroring_acl_reset(struct jxbridge *bridge, long nr);
// The session's record; nr must be 1-4.
void rmirroring_session_fill(struct jxbridge *bridge, long nr,
                             struct rmirroring_session_record *out);
// The session's source ports.
u32 rmirroring_session_sources(struct jxbridge *bridge, long nr);
u32 rmirroring_debug_get(struct jxbridge *bridge);
void rmirroring_debug_set(struct jxbridge *bridge, u32 on);
