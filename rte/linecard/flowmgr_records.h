// The flow manager's control file, /proc/net/jxbridge/flow: its ioctl numbers,
// text commands and records, shared by the flow manager and jxbrctl. Plain
// little-endian layouts; no kernel headers.
#pragma once

#include <cstddef>
#include <cstdint>

#define JXFLOW_PROC_DIR "/proc/net/jxbridge"
#define JXFLOW_PROC_NAME "flow"
#define JXFLOW_PROC_PATH JXFLOW_PROC_DIR "/" JXFLOW_PROC_NAME

// The numbers carry a write direction, yet the record is filled back: the
// manager copies it in and out.
#define JXFLOW_IOCTL_FLOW_GET 0x40047a01u  // jxflow_record, index in word 0
#define JXFLOW_IOCTL_TABLE_GET 0x40047a02u // jxflow_table_info
#define JXFLOW_IOCTL_PORT_GET 0x40047a03u  // jxflow_port_record, port number in word 0
#define JXFLOW_IOCTL_DEBUG_CLEAR 0x7a04u   // no record: the argument is ignored

// Text commands, one per write.
#define JXFLOW_CMD_FLUSH "flush"
#define JXFLOW_CMD_FLUSH_PORT "flush port %u"
#define JXFLOW_CMD_SHOW_CPU "show_cpu"
#define JXFLOW_CMD_MAX 64 // longest write accepted

#define JXFLOW_TABLE_SIZE 16384u
// Port numbers are the bridge's slot numbers; 0xFFFF is "no port".
#define JXFLOW_PORTS 0xFFFFu
#define JXFLOW_NO_PORT 0xFFFFFFFFu // output port of a drop flow
#define JXFLOW_NO_NEXT 0xFFFFFFFFu // last flow of its hash chain

// Flags byte: the flow type times 8, and bit 1 for an extended flow.
#define JXFLOW_F_EXTENDED 0x02u
#define JXFLOW_TYPE_SHIFT 3
#define JXFLOW_TYPE_UNICAST 1u
#define JXFLOW_TYPE_MCAST 2u
#define JXFLOW_TYPE_PPP 4u
#define JXFLOW_TYPE_RTP 8u
#define JXFLOW_TYPE_ALL 15u

// Rule codes of a flow's rule bytes; unused bytes hold JXFLOW_RULE_NONE.
#define JXFLOW_RULE_DROP 0x00u
#define JXFLOW_RULE_TO_QE 0x01u
#define JXFLOW_RULE_TO_CPU 0x02u
#define JXFLOW_RULE_ADD_TAG 0x03u
#define JXFLOW_RULE_REMOVE_TAG 0x04u
#define JXFLOW_RULE_CHANGE_TAG 0x05u
#define JXFLOW_RULE_COUNT 0x0Du
#define JXFLOW_RULE_NONE 0xFFu
#define JXFLOW_RULES 6

struct jxflow_record {
    uint32_t id;    // the index asked for
    uint32_t valid; // 0: no flow at this index
    uint8_t flags;
    uint8_t reserved9[3];
    uint32_t next;
    uint16_t in_port;
    uint8_t reserved18[6];
    uint32_t in_ucc;
    uint32_t in_subport;
    uint8_t reserved32[4];
    uint32_t out_port; // JXFLOW_NO_PORT for a drop flow
    uint8_t reserved40[4];
    uint32_t out_ucc;
    uint32_t out_subport;
    uint8_t reserved52[4];
    uint8_t rules[JXFLOW_RULES];
    uint8_t reserved62[2];
    uint32_t crc32; // of the flow's key; its low bits pick the hash chain
    uint8_t reserved68[4];
    uint32_t counter; // frames seen
    uint8_t smac[6];
    uint8_t dmac[6];
    uint8_t reserved88[2];
    uint16_t vid; // the VLAN the frame was bridged in
    uint8_t reserved92[2];
    uint16_t tci; // the same with the received priority; shown
    uint16_t ethertype;
    uint8_t reserved98[2];
};
static_assert(sizeof(jxflow_record) == 100);
static_assert(offsetof(jxflow_record, valid) == 4);
static_assert(offsetof(jxflow_record, flags) == 8);
static_assert(offsetof(jxflow_record, next) == 12);
static_assert(offsetof(jxflow_record, in_port) == 16);
static_assert(offsetof(jxflow_record, in_ucc) == 24);
static_assert(offsetof(jxflow_record, in_subport) == 28);
static_assert(offsetof(jxflow_record, out_port) == 36);
static_assert(offsetof(jxflow_record, out_ucc) == 44);
static_assert(offsetof(jxflow_record, out_subport) == 48);
static_assert(offsetof(jxflow_record, rules) == 56);
static_assert(offsetof(jxflow_record, crc32) == 64);
static_assert(offsetof(jxflow_record, counter) == 72);
static_assert(offsetof(jxflow_record, smac) == 76);
static_assert(offsetof(jxflow_record, dmac) == 82);
static_assert(offsetof(jxflow_record, vid) == 90);
static_assert(offsetof(jxflow_record, tci) == 94);
static_assert(offsetof(jxflow_record, ethertype) == 96);

struct jxflow_table_info {
    uint32_t table_size;
    uint32_t aging_min_rate;     // 0: flows do not age, they go with flushes and events
    uint32_t port_aging_timeout; // 0, as above
    uint32_t flows;              // flows in use
    uint32_t buffers;            // internal buffer count: free flow entries
    uint32_t reinits;            // whole-table flushes
    uint32_t limit_exceeded;     // times a port reached its flow limit
    uint32_t reserved28;
};
static_assert(sizeof(jxflow_table_info) == 32);
static_assert(offsetof(jxflow_table_info, aging_min_rate) == 4);
static_assert(offsetof(jxflow_table_info, port_aging_timeout) == 8);
static_assert(offsetof(jxflow_table_info, buffers) == 16);
static_assert(offsetof(jxflow_table_info, reinits) == 20);
static_assert(offsetof(jxflow_table_info, limit_exceeded) == 24);

// Event classes a port record counts, in the order of its last_event codes.
enum jxflow_event_class : uint32_t {
    JXFLOW_EV_VLAN = 0,
    JXFLOW_EV_IGMP = 1,
    JXFLOW_EV_QOS = 2,
    JXFLOW_EV_MAC_TABLE = 3,
    JXFLOW_EV_MAC_FLUSH_START = 4,
    JXFLOW_EV_MAC_FLUSH_FINISH = 5,
    JXFLOW_EV_MAC_AGE = 6,
    JXFLOW_EV_MAC_UPDATE = 7,
    JXFLOW_EV_ACL_INGRESS = 8,
    JXFLOW_EV_ACL_EGRESS = 9,
    JXFLOW_EV_IF = 10,
    JXFLOW_EV_IF_MAC_VID = 11,
    JXFLOW_EV_BRIDGE = 12,
    JXFLOW_EV_NONE = 0xFFFFFFFFu, // no event seen yet
};

struct jxflow_port_record {
    uint32_t port;           // the port asked for
    uint32_t out_flows;      // flows leaving through the port
    uint32_t limit;          // most flows entering through the port
    uint32_t count;          // flows entering through the port
    uint32_t limit_exceeded; // times the port reached its limit
    uint32_t limit_timeout;  // frames refused a flow while at the limit
    uint32_t full_table;     // frames refused a flow by a full table
    uint32_t forced_add;     // flows added over the limit (none here)
    uint32_t ev_igmp;
    uint32_t ev_vlan;
    uint32_t ev_acl_ingress;
    uint32_t ev_acl_egress;
    uint32_t ev_qos;
    uint32_t ev_mt_change;
    uint32_t ev_mt_update;
    uint32_t ev_mt_age;
    uint32_t ev_if;
    uint32_t ev_if_mac_vid;
    uint32_t ev_bridge;
    uint32_t last_event; // jxflow_event_class
};
static_assert(sizeof(jxflow_port_record) == 80);
static_assert(offsetof(jxflow_port_record, limit) == 8);
static_assert(offsetof(jxflow_port_record, count) == 12);
static_assert(offsetof(jxflow_port_record, limit_exceeded) == 16);
static_assert(offsetof(jxflow_port_record, limit_timeout) == 20);
static_assert(offsetof(jxflow_port_record, full_table) == 24);
static_assert(offsetof(jxflow_port_record, forced_add) == 28);
static_assert(offsetof(jxflow_port_record, ev_igmp) == 32);
static_assert(offsetof(jxflow_port_record, ev_vlan) == 36);
static_assert(offsetof(jxflow_port_record, ev_acl_ingress) == 40);
static_assert(offsetof(jxflow_port_record, ev_acl_egress) == 44);
static_assert(offsetof(jxflow_port_record, ev_qos) == 48);
static_assert(offsetof(jxflow_port_record, ev_mt_change) == 52);
static_assert(offsetof(jxflow_port_record, ev_mt_update) == 56);
static_assert(offsetof(jxflow_port_record, ev_mt_age) == 60);
static_assert(offsetof(jxflow_port_record, ev_if) == 64);
static_assert(offsetof(jxflow_port_record, ev_if_mac_vid) == 68);
static_assert(offsetof(jxflow_port_record, last_event) == 76);
