// The bridge's VLAN engine: membership, tagging and Q-in-Q rules.
#pragma once

#include "kernel/types.h"

#include "bridge_log.h"
#include "jxbridge_export.h"
#include "jxbridge_ioctl.h"

struct jxbridge;
struct jxbridge_port;
struct sk_buff;
struct file_operations;

#define VLAN_VIDS 4095  // configurable VIDs are 0-4094; 4095 is "no VLAN"
#define VLAN_NONE 0xFFF // the VID of a TCI that stands for "no tag"
#define VLAN_BITMAP_WORDS 128
#define VLAN_NAME_SIZE 32

#define VLAN_QINQ_TUNNEL 0
#define VLAN_QINQ_BRIDGE 1

#define VLAN_ACCEPT_TAGGED 0
#define VLAN_ACCEPT_UNTAGGED 1
#define VLAN_ACCEPT_ALL 2

#define VLAN_REMARK_BOTH 0
#define VLAN_REMARK_INGRESS 1
#define VLAN_REMARK_EGRESS 2

// VLAN_MCAST_* and struct vlan_mvr_rule are in jxbridge_export.h.
#define VLAN_QINQ_KEEP_PRIO 255 // a selective rule that keeps the frame's priority

struct vlan_remark {
    struct vlan_remark *next;
    u16 src;
    u16 dst;
    u32 dir;
};

struct vlan_qinq {
    struct vlan_qinq *next;
    u16 first;
    u16 last;
    u16 tci; // VID | priority << 13
    u8 prio; // VLAN_QINQ_KEEP_PRIO: the frame keeps its own priority
};

// A selective Q-in-Q range as the getters give it.
struct vlan_qinq_range {
    u16 first;
    u16 last;
    u16 outer_vid;
    u8 prio;
};

struct vlan_mvr_remark {
    struct vlan_mvr_remark *next;
    struct vlan_mvr_rule rule;
};

struct vlan_mpmm {
    struct vlan_mpmm *next;
    struct vlan_mpmm_entry entry;
};

struct vlan_stat {
    u32 untagged;
    u32 tagged;
    u32 prio_tagged;
    u32 dropped;
};

// One per port slot of the bridge.
struct vlan_port {
    u32 qinq_mode;
    u32 *member; // three bitmaps in one allocation: member, tagged, tag-ignore
    u32 *tagged;
    u32 *tag_ignore;
    u16 pvid;     // TCI: PVID and priority
    u16 stacking; // TCI: stacking VID (4095 off) and priority
    u8 accept[3]; // frames with no, one and two tags are admitted
    u32 remark;
    struct vlan_remark *remarks; // newest first
    struct vlan_qinq *qinq;      // newest first
    struct vlan_mvr_remark *mvr; // newest first
    struct vlan_mpmm *mpmm;      // by ascending index
};

struct vlan_data {
    u32 debug;
    struct jxbridge *bridge;
    struct vlan_stat rx;
    struct vlan_stat tx;
    u32 configured_count;
    u32 configured[VLAN_BITMAP_WORDS];
    char *names[VLAN_VIDS];
    u32 mcast_mode[VLAN_VIDS];
    // Per VID the member ports, dense and null-terminated (ports + 1 slots).
    struct jxbridge_port **members[VLAN_VIDS];
    struct vlan_port *ports; // indexed by port number
};

// The engine's life with its bridge, and a port's VLAN state with the port.
int vlan_init(struct jxbridge *bridge);
void vlan_deinit(struct jxbridge *bridge);
void vlan_port_init(struct vlan_data *vlan, struct jxbridge_port *port);
void vlan_port_fini(struct vlan_data *vlan, struct jxbridge_port *port);
struct vlan_port *vlan_port_get(struct jxbridge_port *port);
void vlan_set_debug(void *vlan, int on);

// The bridge's outer (S-tag) ethertype, host order.
int vlan_set_ethertype(struct jxbridge *bridge, u16 ethertype);
u16 vlan_get_ethertype(struct jxbridge *bridge);
__be16 vlan_get_outer_ethertype_nf(struct vlan_data *vlan);

// VLANs of the bridge.
int vlan_add_configured(struct vlan_data *vlan, u16 vid);
int vlan_del_configured(struct vlan_data *vlan, u16 vid);
int vlan_is_configured(struct vlan_data *vlan, u16 vid);
int vlan_get_is_configured(struct vlan_data *vlan, u16 vid, char *name, size_t size);
int vlan_name_set(struct vlan_data *vlan, u16 vid, const char *name);
void vlan_clear(struct vlan_data *vlan);
void vlan_get_stat(struct vlan_data *vlan, struct vlan_stat *rx, struct vlan_stat *tx);
void vlan_clear_stat(struct vlan_data *vlan);
void vlan_mcast_mode_set(struct vlan_data *vlan, u16 vid, u32 mode);
int vlan_mcast_mode_get(struct vlan_data *vlan, u16 vid, u32 *mode);

// Membership and tagging of a port.
int vlan_add_membership(struct jxbridge_port *port, u16 vid);
int vlan_del_membership(struct jxbridge_port *port, u16 vid);
int vlan_del_port_membership(struct jxbridge_port *port);
int vlan_get_membership(struct jxbridge_port *port, u16 vid); // 1, 0 or an error
int vlan_get_membership_tagging(struct jxbridge_port *port, u16 vid, u32 *member, u32 *tagged);
// Port bitmaps of a VID: bit n & 31 of word n >> 5 for port number n.
int vlan_get_membership_tagging_all(struct vlan_data *vlan, u16 vid, u32 *members, u32 *tagged,
                                    u32 bytes);
int vlan_set_port_tag(struct jxbridge_port *port, u16 vid, u32 state);
int vlan_get_port_tag(struct jxbridge_port *port, u16 vid); // 1, 0 or an error
int vlan_set_port_tagging_ignore(struct jxbridge_port *port, u16 vid, u32 state);
int vlan_get_port_tagging_ignore(struct jxbridge_port *port, u16 vid);
int vlan_set_pvid(struct jxbridge_port *port, u16 pvid);
int vlan_get_pvid(struct jxbridge_port *port);
int vlan_set_port_priority(struct jxbridge_port *port, u8 prio);
int vlan_get_port_priority(struct jxbridge_port *port);
int vlan_set_acceptable_frame(struct jxbridge_port *port, u32 type);
int vlan_get_acceptable_frame(struct jxbridge_port *port);

// Remarking.
int vlan_set_port_remark(struct jxbridge_port *port, u32 state);
int vlan_get_port_remark(struct jxbridge_port *port);
int vlan_add_port_remark(struct jxbridge_port *port, u16 src, u16 dst, u32 dir);
int vlan_del_port_remark(struct jxbridge_port *port, u16 vid, u32 dir);
int vlan_remark_get_seq(struct jxbridge_port *port, u32 n, u16 *src, u16 *dst, u32 *dir);

// Q-in-Q.
int vlan_qinq_set_port_mode(struct jxbridge_port *port, u32 mode);
int vlan_qinq_get_port_mode(struct jxbridge_port *port, u32 *mode);
int vlan_qinq_set_stacking(struct jxbridge_port *port, u16 vid, u8 prio);
int vlan_qinq_get_stacking(struct jxbridge_port *port, u16 *vid, u8 *prio);
int vlan_qinq_set_selective(struct jxbridge_port *port, u16 a, u16 b, u16 outer_vid, u8 prio);
int vlan_qinq_del_selective(struct jxbridge_port *port, u16 vid);
int vlan_qinq_get_selective(struct jxbridge_port *port, u16 vid, struct vlan_qinq_range *out);
int vlan_qinq_get_selective_seq(struct jxbridge_port *port, u32 n, struct vlan_qinq_range *out);

// MPMM.
int vlan_mpmm_add(struct jxbridge_port *port, const struct vlan_mpmm_entry *entry);
int vlan_mpmm_del(struct jxbridge_port *port, u32 index);
int vlan_mpmm_get(struct jxbridge_port *port, u32 index, struct vlan_mpmm_entry *out);
int vlan_mpmm_get_by_pos(struct jxbridge_port *port, u32 n, struct vlan_mpmm_entry *out);

// MVR remark rules (the IGMP module's).
int vlan_add_port_mvr_remark(struct vlan_data *vlan, struct jxbridge_port *port,
                             const struct vlan_mvr_rule *rule);
int vlan_del_port_mvr_remark(struct vlan_data *vlan, struct jxbridge_port *port,
                             const struct vlan_mvr_rule *rule);
int vlan_mvr_remark_get_seq(struct jxbridge_port *port, u32 n, struct vlan_mvr_rule *out);
const struct vlan_mvr_rule *vlan_find_mvr_rule(struct vlan_data *vlan, struct jxbridge_port *port,
                                               struct sk_buff *skb);

// Frames. The frame starts at its MAC header; each function that takes a
// frame returns it (possibly replaced) or null when it was dropped and freed.
// The number of tags (0-2) and their ethertypes in network order (0 when absent).
int vlan_get_skb_ethertypes_nf(struct vlan_data *vlan, struct sk_buff *skb, __be16 *outer,
                               __be16 *inner);
struct sk_buff *vlan_skb_cb_initial_parse_vlans(struct vlan_data *vlan, struct sk_buff *skb);
struct sk_buff *vlan_process_ingress_rules(struct vlan_data *vlan, struct jxbridge_port *port,
                                           struct sk_buff *skb);
struct sk_buff *vlan_process_egress_rules(struct vlan_data *vlan, struct jxbridge_port *port,
                                          struct sk_buff *skb);
struct sk_buff *vlan_process_egress_mcast_rules(struct vlan_data *vlan, struct jxbridge_port *port,
                                                struct sk_buff *skb);
// Null-terminated member lists; never null (4095 and untagged frames: empty).
struct jxbridge_port **vlan_get_ports(struct vlan_data *vlan, u16 vid);
struct jxbridge_port **vlan_get_ports_skb(struct vlan_data *vlan, struct sk_buff *skb);

// Tag primitives; ethertype and TCI in host order. They keep the control
// block's current tags equal to the frame's bytes.
struct sk_buff *vlan_add_tag(struct sk_buff *skb, u16 ethertype, u16 tci);
struct sk_buff *vlan_remove_outer_tag(struct sk_buff *skb);
struct sk_buff *vlan_remove_inner_tag(struct sk_buff *skb);
struct sk_buff *vlan_set_tag(struct sk_buff *skb, u16 vid);

// The bridge's "vlan" control file (bridge_proc_vlan.cc).
extern const struct file_operations jxbridge_vlan_fops;
