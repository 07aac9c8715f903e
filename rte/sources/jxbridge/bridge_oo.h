// OpenOLT flow management: the agent's flows, ONUs, multicast groups and
// management ACLs of a bridge. A flow is carried out by ACL objects named
// after it (a selector, an action list and a counter "of_<id>_<type>") and a
// port entry on the ingress of its bridge port: the GEM port of an upstream
// flow, the uplink of the others.
//
// Thread safety: everything here runs under jxbridge_lock.
#pragma once

#include "jxbridge.h"

#define OO_FLOW_TYPES 4
#define OO_ID_MAX 65535
#define OO_ONU_VENDOR_LEN 12
#define OO_UPLINK_BLL_BASE 128 // network interface n is the port with BLL number n + 128
#define OO_RESERVED_GEM_VID 4000
#define OO_TRAP_DEV "openolt0"
#define OO_FRAME_MAX 9216 // a frame the agent sends: at most a jumbo frame
#define OO_NNI_MAX 19

enum oo_flow_type : u32 { OO_FLOW_US = 0, OO_FLOW_DS, OO_FLOW_BCAST, OO_FLOW_MCAST };
enum oo_tag_type : u32 { OO_TAG_NONE = 0, OO_TAG_UNTAGGED, OO_TAG_SINGLE, OO_TAG_DOUBLE };
enum oo_action_flag : u32 {
    OO_ACT_ADD_OUTER = 0,
    OO_ACT_REMOVE_OUTER,
    OO_ACT_TRAP,
    OO_ACT_REMARK_OUTER,
    OO_ACT_REMARK_INNER,
    OO_ACT_ADD_INNER,
    OO_ACT_REMOVE_INNER,
    OO_ACT_TRANSLATE_INNER,
    OO_ACT_TRANSLATE_OUTER,
    OO_ACT_FLAGS
};

// Records of the openolt file: packed, host byte order.
struct __attribute__((packed)) oo_flow_record {
    u32 flow_id;
    u32 flow_type;
    u32 access_intf_id;
    u32 onu_id;
    u32 uni_id;
    u32 port_no;
    u32 alloc_id;
    u32 network_intf_id;
    u32 gemport_id;
    u32 priority;
    u64 cookie;
    u32 group_id;
    u32 o_tpid, o_vid, i_tpid, i_vid;
    u32 o_pbits, i_pbits;
    u32 eth_type;
    u8 dst_mac[6];
    u8 src_mac[6];
    u32 ip_proto;
    u32 dst_ip, src_ip; // host order
    u32 src_port, dst_port;
    u32 pkt_tag_type;
    u8 act[OO_ACT_FLAGS];
    u8 reserved125[3];
    u32 a_o_vid, a_o_pbits, a_o_tpid;
    u32 a_i_vid, a_i_pbits, a_i_tpid;
};
static_assert(sizeof(oo_flow_record) == 152);
static_assert(offsetof(oo_flow_record, cookie) == 40);
static_assert(offsetof(oo_flow_record, o_tpid) == 52);
static_assert(offsetof(oo_flow_record, eth_type) == 76);
static_assert(offsetof(oo_flow_record, dst_mac) == 80);
static_assert(offsetof(oo_flow_record, ip_proto) == 92);
static_assert(offsetof(oo_flow_record, src_port) == 104);
static_assert(offsetof(oo_flow_record, pkt_tag_type) == 112);
static_assert(offsetof(oo_flow_record, act) == 116);
static_assert(offsetof(oo_flow_record, a_o_vid) == 128);
static_assert(offsetof(oo_flow_record, a_i_tpid) == 148);

struct __attribute__((packed)) oo_onu_record {
    u32 intf_id;
    u32 onu_id;
    u32 vendor_id_len;
    u8 vendor_id[OO_ONU_VENDOR_LEN];
    u32 vendor_specific_len;
    u8 vendor_specific[OO_ONU_VENDOR_LEN];
    u32 pir;
};
static_assert(sizeof(oo_onu_record) == 44);
static_assert(offsetof(oo_onu_record, vendor_specific_len) == 24);
static_assert(offsetof(oo_onu_record, pir) == 40);

// A frame the agent sends out of the GEM port of (intf_id, gem_port).
struct __attribute__((packed)) oo_omci_record {
    u32 intf_id;
    u32 onu_id;
    u32 port_no;
    u32 gem_port;
    u32 len;
    u32 reserved;
    u64 buf; // user address of len bytes
};
static_assert(sizeof(oo_omci_record) == 32);

// A frame the agent sends out of the uplink of network interface intf_id.
struct __attribute__((packed)) oo_uplink_pkt_record {
    u32 intf_id;
    u32 len;
    u64 reserved;
    u64 buf;
};
static_assert(sizeof(oo_uplink_pkt_record) == 24);

struct __attribute__((packed)) oo_flow_key_record {
    u32 flow_id;
    u32 flow_type;
};
static_assert(sizeof(oo_flow_key_record) == 8);

struct __attribute__((packed)) oo_flow_stat_record {
    u32 flow_id;
    u32 flow_type;
    u64 packets;
    u64 bytes;
};
static_assert(sizeof(oo_flow_stat_record) == 24);

// One member of a multicast group: a GEM port of a PON interface.
struct __attribute__((packed)) oo_mcast_member_record {
    u32 intf_type;
    u32 intf_id;
    u32 gem_port_id;
    u32 priority;
    u8 reserved[20];
};
static_assert(sizeof(oo_mcast_member_record) == 36);

struct __attribute__((packed)) oo_mcast_group_record {
    u32 group_id;
    u32 count;
    u64 members; // user address of count member records
    u8 reserved[32];
};
static_assert(sizeof(oo_mcast_group_record) == 48);

struct __attribute__((packed)) oo_intf_record {
    u32 intf_id;
    u32 reserved;
};
static_assert(sizeof(oo_intf_record) == 8);

// intf_type 0: the GEM ports of PON interface intf_id; 1: the uplink of
// network interface intf_id.
struct __attribute__((packed)) oo_port_stat_record {
    u32 intf_type;
    u32 intf_id;
    u64 rx_bytes, rx_packets, rx_ucast, rx_mcast, rx_bcast, rx_error;
    u64 tx_bytes, tx_packets, tx_ucast, tx_mcast, tx_bcast, tx_error;
    u64 rx_crc_errors, bip_errors;
};
static_assert(sizeof(oo_port_stat_record) == 120);

struct __attribute__((packed)) oo_nni_entry {
    u32 intf_id;
    u32 bll_id;
    char dev_name[JXBRIDGE_PORT_NAME_LEN];
    u8 reserved[15];
};
struct __attribute__((packed)) oo_nni_list_record {
    u32 count;
    u32 reserved;
    struct oo_nni_entry nni[OO_NNI_MAX];
};
static_assert(sizeof(oo_nni_list_record) == 768);

struct __attribute__((packed)) oo_mng_intf_record {
    u32 intf_id;
    char dev_name[JXBRIDGE_PORT_NAME_LEN];
    u8 reserved[3];
    u32 present;
};
static_assert(sizeof(oo_mng_intf_record) == 28);
static_assert(offsetof(oo_mng_intf_record, present) == 24);

struct __attribute__((packed)) oo_list_record {
    u32 count; // capacity in, number found out
    u32 reserved;
    u64 addr; // user address of a u32 array
};
static_assert(sizeof(oo_list_record) == 16);

struct __attribute__((packed)) oo_onu_list_record {
    u32 intf_id;
    u32 count; // capacity in, number found out
    u64 addr;  // user address of 44-byte ONU records
};
static_assert(sizeof(oo_onu_list_record) == 16);

struct __attribute__((packed)) oo_gem_list_record {
    u32 intf_id;
    u32 onu_id;
    u32 count; // capacity in, number found out
    u32 reserved;
    u64 addr; // user address of a u32 array
};
static_assert(sizeof(oo_gem_list_record) == 24);

#define OO_IOCTL(n) (0x40046f00u + (n))
#define BRIDGE_OO_ONU_ACTIVATE OO_IOCTL(0x01)
#define BRIDGE_OO_ONU_DEACTIVATE OO_IOCTL(0x02)
#define BRIDGE_OO_ONU_DELETE OO_IOCTL(0x03)
#define BRIDGE_OO_ONU_ADD OO_IOCTL(0x04)
#define BRIDGE_OO_OMCI_SEND OO_IOCTL(0x05)
#define BRIDGE_OO_UPLINK_PKT_SEND OO_IOCTL(0x06)
#define BRIDGE_OO_FLOW_ADD OO_IOCTL(0x07)
#define BRIDGE_OO_FLOW_DEL OO_IOCTL(0x08)
#define BRIDGE_OO_FLOW_STAT OO_IOCTL(0x09)
#define BRIDGE_OO_MCAST_GROUP_ADD OO_IOCTL(0x0b)
#define BRIDGE_OO_MCAST_GROUP_DEL OO_IOCTL(0x0c)
#define BRIDGE_OO_UPLINK_ENABLE OO_IOCTL(0x0d)
#define BRIDGE_OO_SCHEDULER_ADD OO_IOCTL(0x0e)
#define BRIDGE_OO_SCHEDULER_DEL OO_IOCTL(0x0f)
#define BRIDGE_OO_PORT_STAT OO_IOCTL(0x10)
#define BRIDGE_OO_QUEUE_ADD OO_IOCTL(0x11)
#define BRIDGE_OO_QUEUE_DEL OO_IOCTL(0x12)
#define BRIDGE_OO_SWITCHING_MODE_SET OO_IOCTL(0x13)
#define BRIDGE_OO_SWITCHING_MODE_GET OO_IOCTL(0x14)
#define BRIDGE_OO_NNI_INFT_GET OO_IOCTL(0x15)
#define BRIDGE_OO_MNG_INFT_GET OO_IOCTL(0x16)
#define BRIDGE_OO_INTF_LIST OO_IOCTL(0x5a)
#define BRIDGE_OO_ONU_LIST OO_IOCTL(0x5b)
#define BRIDGE_OO_GEM_LIST OO_IOCTL(0x5c)

// The model.

struct oo_flow {
    struct oo_flow *next; // ascending id
    struct oo_flow_record r;
    struct jxbridge_port *port; // where its port entry is
    u32 entry;                  // the entry's number
};

struct oo_onu {
    struct oo_onu *next;
    struct oo_onu_record r;
    u32 active;
};

struct oo_group {
    struct oo_group *next;
    u32 id;
    struct oo_mcast_group g;
};

struct oo_data {
    struct jxbridge *bridge;
    u32 trace;
    u32 stat_show;
    u32 stat_debug;
    struct oo_flow *flows[OO_FLOW_TYPES];
    u32 n_now[OO_FLOW_TYPES], n_max[OO_FLOW_TYPES], n_deleted[OO_FLOW_TYPES];
    struct oo_onu *onus;
    u32 onus_now, onus_max, onus_deleted;
    struct jxbridge_port *uplink; // the one uplink of the flows
    u32 uplink_intf;
    struct oo_group *groups;
    u32 mng_acls;                    // the management ACLs are in place
    struct jxbridge_port *mng_at[4]; // the port of each management entry
};

extern const char *const oo_flow_type_names[OO_FLOW_TYPES];
static inline struct oo_data *oo_of(struct jxbridge *bridge) {
    return bridge->oo;
}
void oo_trace(struct oo_data *oo, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

int oo_flow_add(struct jxbridge *bridge, const struct oo_flow_record *flow);
int oo_flow_del(struct jxbridge *bridge, u32 type, u32 id);
struct oo_flow *oo_flow_find(struct oo_data *oo, u32 type, u32 id);
// "of_<id>_<type>", the name of a flow's ACL objects.
void oo_flow_name(char *buf, size_t size, u32 type, u32 id);
struct jxbridge_port *oo_reserve_jxbridge_gem_port(struct jxbridge *bridge, u32 olt, u32 gem,
                                                   u32 onu);
int oo_reserve_jxbridge_uplink_port(struct jxbridge *bridge, u32 intf, struct jxbridge_port **out);
// The bridge port of a PON interface's GEM, bound or not.
struct jxbridge_port *oo_gem_port_find(struct jxbridge *bridge, u32 olt, u32 gem);
struct jxbridge_port *oo_uplink_find(struct jxbridge *bridge, u32 intf);

struct oo_onu *oo_onu_find(struct oo_data *oo, u32 intf, u32 onu);
int oo_onu_add(struct oo_data *oo, const struct oo_onu_record *r, struct oo_onu **out);
void oo_onu_del(struct oo_data *oo, u32 intf, u32 onu);

// Members are (PON interface, GEM) pairs; one GEM per interface.
int oo_mcast_group_add_modify(struct jxbridge *bridge, u32 id, const u32 *intf, const u32 *gem,
                              u32 count);
int oo_mcast_group_del(struct jxbridge *bridge, u32 id);

void oo_mng_acl_update(struct jxbridge *bridge);
struct jxbridge_port *jxbridge_oo_mgmt_intf_get(struct jxbridge *bridge);
int jxbridge_oo_nni_intfs_get(struct jxbridge *bridge, struct oo_nni_list_record *out);
int oo_port_stat_get(struct jxbridge *bridge, struct oo_port_stat_record *r);

// The control file (bridge_oo_proc.cc).
extern const struct file_operations oo_fops;
