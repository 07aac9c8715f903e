// The IGMP module's own records: per bridge, its ports, VLANs, clients,
// memberships, forwarding entries, ACLs and MVR maps.
//
// Thread safety: jxbridge_lock is taken first (frame path, control file,
// timer pass), then the IGMP bridge's own lock; module state changes only
// under jxbridge_lock.
#pragma once

#include "jxbridge/jxbridge_export.h"
#include "jxigmp/jxigmp_ioctl.h"
#include "kernel/module.h"
#include "kernel/printk.h"
#include "kernel/slab.h"

#define IGMP_NAME_MAX 10
#define IGMP_DEV_NAME_SIZE 16
#define IGMP_MTU 1500
#define IGMP_FRAME_BUF (APP_FRAME_INFO_LEN + IGMP_MTU)
#define IGMP_FWD_BUF 1500
// Port entries one forward list holds: the header, the count and the entries fit the buffer.
#define IGMP_FWD_LIST_MAX ((IGMP_FWD_BUF - 115) / 2)
#define IGMP_MAX_ACLS 10
#define IGMP_MAX_RANGES 16
#define IGMP_ACL_NAME_SIZE 32
#define IGMP_STATIC_IP 0xFFFFFFFFu
#define IGMP_NO_VID 4095
#define IGMP_TIMER_SLOT 9
#define IGMP_PASS_JIFFIES 250

// Times in tenths of a second.
#define IGMP_DEF_GMI 2600
#define IGMP_DEF_MRT_DELTA 10
#define IGMP_DEF_QRV 2
#define IGMP_DEF_LMQI 10
#define IGMP_DEF_LMQC 2
#define IGMP_DEF_SQ_INTERVAL 1250
#define IGMP_DEF_SQ_MRT 100
#define IGMP_LEAVE_WAIT 100

enum igmp_port_type : u8 {
    IGMP_CLIENT = 0,
    IGMP_SERVER = 1,
    IGMP_CLIENT_SERVER = 2,
    IGMP_NONE = 3
};
enum igmp_kind : u8 {
    IGMP_K_QUERY = 0,
    IGMP_K_JOIN1 = 1,
    IGMP_K_JOIN2 = 2,
    IGMP_K_LEAVE2 = 3,
    IGMP_K_JOIN3 = 4,
    IGMP_K_OTHER = 5,
};
enum igmp_reason : u8 { IGMP_EXCLUDE = 1, IGMP_INCLUDE = 0 };

struct igmp_source {
    struct igmp_source *next;
    u32 addr;
    s32 timer;
};

struct igmp_client;
struct igmp_group {
    struct igmp_group *next;
    struct igmp_client *client;
    u32 addr;
    u32 mode; // IGMP_EXCLUDE or IGMP_INCLUDE
    s32 timer;
    unsigned long last_report;
    u8 seen;
    struct igmp_source *sources;
};

struct igmp_port;
struct igmp_client {
    struct igmp_client *next;
    struct igmp_port *port;
    u32 ip;
    u16 vid;
    struct igmp_group *groups;
};

struct igmp_fwd {
    struct igmp_fwd *next;
    u16 vid;
    u32 group;
    unsigned long expiry;
    u8 first_report;
    s32 report_in; // proxy: tenths until the report a query asked for (-1 none)
    u32 nports;
    u16 ports[]; // zero-terminated, room for ports + 6
};

struct igmp_acl_range {
    u16 vid;
    u32 first, last;
};
struct igmp_acl_group {
    struct igmp_acl_group *next;
    char name[IGMP_ACL_NAME_SIZE];
    u32 nranges;
    struct igmp_acl_range ranges[IGMP_MAX_RANGES];
};

struct igmp_mvr_vlan {
    struct igmp_mvr_vlan *next;
    u16 cvid, mvid;
    u8 cos; // 255 keeps the frame's
};
struct igmp_mvr_range {
    struct igmp_mvr_range *next;
    u32 first, last;
};
struct igmp_mvr_mvlan {
    struct igmp_mvr_mvlan *next;
    u16 vid;
    struct igmp_mvr_range *ranges;
};

struct igmp_port {
    char name[IGMP_DEV_NAME_SIZE];
    u8 in_use;
    u8 type;
    u8 mrouter;
    u8 acl_action; // 0 allow, 1 deny
    u32 cac_limit; // 0 none
    u32 cac_count;
    struct igmp_acl_group *acls[IGMP_MAX_ACLS];
    u8 mvr;
    u8 impmm, impmm_remove_outer, impmm_copy_type;
    struct igmp_mvr_vlan *mvr_map;
    struct igmp_client *clients;
    struct jxigmp_stats stats;
};

struct igmp_vlan {
    struct igmp_vlan *next;
    u16 vid;
    u8 enabled;
    u8 proxy;
    u32 query_interval;
    s32 query_countdown;
    u8 version;    // the proxy's protocol version (0 follows the upstream)
    u8 us_version; // the multicast routers' version
    unsigned long us_confirmed;
    u32 gem;
    u8 mac[ETH_ALEN];
    u32 ip;
    struct jxigmp_stats stats;
};

struct igmp_bridge {
    struct igmp_bridge *next;
    char name[IGMP_NAME_MAX + 1];
    char dev_name[IGMP_DEV_NAME_SIZE];
    struct mutex lock;
    struct jxbridge *bridge;
    struct net_device *fdev;
    struct jxbridge_log_obj *event_log;
    u8 *frame; // IGMP_FRAME_BUF bytes: header and frame in progress
    u32 frame_len;
    u8 *fwd_buf; // IGMP_FWD_BUF bytes
    u32 cur_port;
    u16 stag_type;
    u32 ports; // real ports; the records are ports + 1
    u8 version_pass[4];
    u32 gmi;
    u8 immediate_leave;
    u8 changed;
    struct igmp_fwd *fwds;
    u32 fwd_count, fwd_max;
    struct igmp_vlan *vlans;
    u32 mrt_delta;
    u8 suppression;
    u8 cac_action;
    u8 telemetry_on;
    u32 telemetry_port;
    u16 telemetry_vid;
    u8 mvr;
    struct igmp_mvr_mvlan *mvlans;
    u8 impmm;
    u8 sq_on;
    u32 sq_port;
    u32 sq_interval;
    s32 sq_countdown;
    u32 sq_mrt;
    u32 qrv, lmqi, lmqc;
    u32 mode;
    u32 sys_mng_ip;
    u8 stopped, ended;
    u16 ip_id;
    u32 rand;
    struct igmp_acl_group *acls;
    struct jxbridge_timer timer;
    unsigned long last_pass;
    struct igmp_port *port; // ports + 1 records
};

// Module state.
struct igmp_state {
    struct igmp_bridge *bridges; // newest first
    u8 dump_after_change;
};
extern struct igmp_state *igmp;
extern int igmp_log_level;
extern int igmp_log_file_timestamps;
extern u32 igmp_debug_ifc;
extern u32 igmp_debug_vid;
extern bool igmp_debug;
extern bool igmp_in_pass;
extern struct proc_dir_entry *igmp_proc_dir;

// jxigmp.cc
void *igmp_zalloc(size_t size, const char *file, int line);
#define igmp_alloc(size) igmp_zalloc((size), __FILE__, __LINE__)
void igmp_log(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Logs whatever the per-frame switch says: the dumps and the command traces.
void igmp_log_force(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
struct igmp_bridge *igmp_bridge_find(const char *name);
struct igmp_vlan *igmp_vlan_find(struct igmp_bridge *ib, u16 vid);
struct igmp_port *igmp_port_get(struct igmp_bridge *ib, u32 port_no); // 1-based, in use
const char *igmp_ip2a(u32 ip, char buf[16]);
void igmp_group_mac(u32 group, u8 mac[ETH_ALEN]);
int igmp_bridge_add(const char *name, u32 ports);
int igmp_bridge_del(const char *name);
void igmp_bridge_free_all();
void igmp_dump(struct igmp_bridge *ib, const char *what);

// jxigmp_group.cc
struct igmp_group *igmp_group_get(struct igmp_bridge *ib, struct igmp_port *port, u16 vid,
                                  u32 client_ip, u32 group, const char *reason, bool *created,
                                  u32 mode = IGMP_EXCLUDE);
// Sets the bridge's source filter of the port for the group from its memberships.
void igmp_fwd_program(struct igmp_bridge *ib, struct igmp_port *port, u16 vid, u32 group);
struct igmp_group *igmp_group_find(struct igmp_bridge *ib, struct igmp_port *port, u16 vid,
                                   u32 client_ip, u32 group);
void igmp_group_del(struct igmp_bridge *ib, struct igmp_group *g, const char *reason);
bool igmp_port_has_group(struct igmp_port *port, u16 vid, u32 group, struct igmp_group *except);
struct igmp_fwd *igmp_fwd_find(struct igmp_bridge *ib, u16 vid, u32 group);
void igmp_flush(struct igmp_bridge *ib);
void igmp_port_flush(struct igmp_bridge *ib, struct igmp_port *port);
void igmp_timer_pass(struct igmp_bridge *ib, u32 elapsed);
void igmp_timer_fn(struct jxbridge_timer *t);
u32 igmp_port_no(struct igmp_bridge *ib, const struct igmp_port *port);
bool igmp_acl_blocked(struct igmp_bridge *ib, struct igmp_port *port, u16 vid, u32 group);

// jxigmp_rx.cc
void igmp_process(struct igmp_bridge *ib);
// Frames the module builds into the frame buffer: kind IGMP_K_JOIN2 (a join
// in the version the VLAN speaks), IGMP_K_LEAVE2 or IGMP_K_QUERY (group 0: general).
int igmp_build(struct igmp_bridge *ib, struct igmp_vlan *v, u8 kind, u32 group, u32 mrt);
void igmp_send_port(struct igmp_bridge *ib, u32 port_no);
void igmp_send_vlan(struct igmp_bridge *ib);
void igmp_send_routers(struct igmp_bridge *ib, u32 except);
void igmp_send_non_routers(struct igmp_bridge *ib, u32 except);
int igmp_fake(struct igmp_bridge *ib, u32 port_no);
u32 igmp_mrt_encode(u32 tenths);
