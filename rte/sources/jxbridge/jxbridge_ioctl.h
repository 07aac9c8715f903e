// Records exchanged with the tools through ioctl on the module's control files.
// Plain layouts: the tools and agents build them byte for byte.
#pragma once

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
#else
// Agents written in C include it too; the C++ build checks the layouts.
#include <stddef.h>
#include <stdint.h>
#define static_assert(...) struct jxbridge_ioctl_layout_checked_in_cxx
#endif

// Direction | size 4 | type 'z' | number; numbers from 256 run on into the
// type byte, so they are added, not or-ed.
#define JXBRIDGE_IOCTL_W(nr) (0x40047a00u + (nr))
#define JXBRIDGE_IOCTL_R(nr) (0x80047a00u + (nr))
#define JXBRIDGE_IOCTL_RW(nr) (0xC0047a00u + (nr))
#define JXBRIDGE_IOCTL_NONE(nr) (0x7a00u + (nr))

// /proc/net/jxbridge/config
#define JXBRIDGE_IOCTL_ADD JXBRIDGE_IOCTL_W(0x00)
#define JXBRIDGE_IOCTL_DEL JXBRIDGE_IOCTL_W(0x01)
#define JXBRIDGE_IOCTL_API_VERSION JXBRIDGE_IOCTL_R(0x05)
#define JXBRIDGE_IOCTL_CLEANUP JXBRIDGE_IOCTL_W(0x12)
#define JXBRIDGE_IOCTL_MAP_ADD JXBRIDGE_IOCTL_W(0x13)
#define JXBRIDGE_IOCTL_MAP_DEL JXBRIDGE_IOCTL_W(0x14)
#define JXBRIDGE_IOCTL_MAP_READ JXBRIDGE_IOCTL_W(0x15)
#define JXBRIDGE_IOCTL_MAP_WRITE JXBRIDGE_IOCTL_W(0x16)

struct jxbridge_ioctl_add {
    char name[20];
    uint32_t max_ports;
    uint8_t reserved[16];
};
static_assert(sizeof(jxbridge_ioctl_add) == 40);
static_assert(offsetof(jxbridge_ioctl_add, max_ports) == 20);

struct jxbridge_ioctl_del {
    char name[16];
};
static_assert(sizeof(jxbridge_ioctl_del) == 16);

// Map commands: the physical address, then the length or offset, then the byte.
struct jxbridge_ioctl_map {
    uint64_t addr;
    uint32_t len_or_offs;
    uint8_t value;
    uint8_t reserved[3];
};
static_assert(sizeof(jxbridge_ioctl_map) == 16);
static_assert(offsetof(jxbridge_ioctl_map, len_or_offs) == 8);
static_assert(offsetof(jxbridge_ioctl_map, value) == 12);

// /proc/net/jxbridge/<bridge>/bridge
#define BRIDGE_IOCTL_PORT_ADD JXBRIDGE_IOCTL_W(2)
#define BRIDGE_IOCTL_PORT_DEL JXBRIDGE_IOCTL_W(3)
#define BRIDGE_IOCTL_PORT_GET JXBRIDGE_IOCTL_RW(4)
#define BRIDGE_IOCTL_INFO_GET JXBRIDGE_IOCTL_R(6)
#define BRIDGE_IOCTL_PORT_BLL_GET JXBRIDGE_IOCTL_R(7)
#define BRIDGE_IOCTL_LOCAL_MAC_GET JXBRIDGE_IOCTL_R(8)
#define BRIDGE_IOCTL_PORT_COUNTERS_GET JXBRIDGE_IOCTL_R(9)
#define BRIDGE_IOCTL_PORT_COUNTERS_CLEAR JXBRIDGE_IOCTL_W(10)
#define BRIDGE_IOCTL_MCAST_MODE_SET JXBRIDGE_IOCTL_W(11)
#define BRIDGE_IOCTL_LAG_SET JXBRIDGE_IOCTL_RW(12)
#define BRIDGE_IOCTL_PORT_MASTER_SET JXBRIDGE_IOCTL_RW(14)
#define BRIDGE_IOCTL_PORT_MASTER_GET JXBRIDGE_IOCTL_R(15)
#define BRIDGE_IOCTL_PORT_PHY_STATE_SET JXBRIDGE_IOCTL_W(16)
#define BRIDGE_IOCTL_PORT_PHY_STATE_GET JXBRIDGE_IOCTL_R(17)
#define BRIDGE_IOCTL_TARN_VERSION_GET JXBRIDGE_IOCTL_R(19)
#define BRIDGE_IOCTL_PORT_MSTP_STATE_SET JXBRIDGE_IOCTL_W(20)
#define BRIDGE_IOCTL_PORT_MSTP_STATE_GET JXBRIDGE_IOCTL_R(21)
#define BRIDGE_IOCTL_PORT_MSTP_OPER_STATE_SET JXBRIDGE_IOCTL_W(22)
#define BRIDGE_IOCTL_PORT_MSTP_OPER_STATE_GET JXBRIDGE_IOCTL_R(23)
#define BRIDGE_IOCTL_MSTP_OPER_STATE_SET JXBRIDGE_IOCTL_W(24)
#define BRIDGE_IOCTL_MSTP_OPER_STATE_GET JXBRIDGE_IOCTL_R(25)
#define BRIDGE_IOCTL_PORT_MASTER_DEL JXBRIDGE_IOCTL_RW(26)
#define BRIDGE_IOCTL_PORT_RENAME JXBRIDGE_IOCTL_W(27)
#define BRIDGE_IOCTL_LOCAL_MAC_SET JXBRIDGE_IOCTL_W(28)
#define BRIDGE_IOCTL_MCAST_GEM_UCC_STATS_GET JXBRIDGE_IOCTL_R(29)
#define BRIDGE_IOCTL_MCAST_GEM_PORT_STATS_GET JXBRIDGE_IOCTL_R(30)
#define BRIDGE_IOCTL_LAG_MEMBER_TRAFFIC_SET JXBRIDGE_IOCTL_RW(31)
#define BRIDGE_IOCTL_SHELF_GET JXBRIDGE_IOCTL_R(50)
#define BRIDGE_IOCTL_RX_QUEUE_STATS_GET JXBRIDGE_IOCTL_R(60)
#define BRIDGE_IOCTL_ERROR_DISABLE_SET JXBRIDGE_IOCTL_W(100)
#define BRIDGE_IOCTL_ERROR_DISABLE_GET JXBRIDGE_IOCTL_R(101)
#define BRIDGE_IOCTL_PORT_ERROR_CAUSE_CLEAR JXBRIDGE_IOCTL_R(102)
#define BRIDGE_IOCTL_ERROR_DISABLE_TIME_SET JXBRIDGE_IOCTL_W(103)
#define BRIDGE_IOCTL_ERROR_DISABLE_TIME_GET JXBRIDGE_IOCTL_R(104)
#define BRIDGE_IOCTL_ERROR_DETECT_MASK_ADD JXBRIDGE_IOCTL_W(105)
#define BRIDGE_IOCTL_ERROR_DETECT_MASK_REMOVE JXBRIDGE_IOCTL_W(106)
#define BRIDGE_IOCTL_ERROR_DETECT_MASK_GET JXBRIDGE_IOCTL_R(107)
#define BRIDGE_IOCTL_ERROR_RECOVERY_MASK_ADD JXBRIDGE_IOCTL_W(108)
#define BRIDGE_IOCTL_ERROR_RECOVERY_MASK_REMOVE JXBRIDGE_IOCTL_W(109)
#define BRIDGE_IOCTL_ERROR_RECOVERY_MASK_GET JXBRIDGE_IOCTL_R(110)
#define BRIDGE_IOCTL_PORT_MSG_DATA_GET JXBRIDGE_IOCTL_RW(111)
#define BRIDGE_IOCTL_PORT_MSG_RECOVERY_GET JXBRIDGE_IOCTL_RW(112)
#define BRIDGE_IOCTL_PORT_MSG_ERRDIS_COUNT_GET JXBRIDGE_IOCTL_RW(113)
#define BRIDGE_IOCTL_PORT_MSG_ERRDIS_COUNT_CLEAR JXBRIDGE_IOCTL_RW(114)
#define BRIDGE_IOCTL_PORT_MSG_VIOLATIONS_CLEAR JXBRIDGE_IOCTL_RW(115)
#define BRIDGE_IOCTL_APP_FILTER_ADD JXBRIDGE_IOCTL_W(200)
#define BRIDGE_IOCTL_APP_FILTER_DEL JXBRIDGE_IOCTL_W(201)
#define BRIDGE_IOCTL_APP_FILTER_DEBUG JXBRIDGE_IOCTL_W(202)
#define BRIDGE_IOCTL_PORT_MN_FLAG_SET JXBRIDGE_IOCTL_W(301)
#define BRIDGE_IOCTL_PORT_MN_FLAG_GET JXBRIDGE_IOCTL_R(302)
#define BRIDGE_IOCTL_PORT_MN_FLAG_SHOW JXBRIDGE_IOCTL_NONE(303)
#define BRIDGE_IOCTL_PORT_PROTECTED_SET JXBRIDGE_IOCTL_W(401)
#define BRIDGE_IOCTL_PORT_PROTECTED_GET JXBRIDGE_IOCTL_R(402)
#define BRIDGE_IOCTL_PORT_PROTECTED_SHOW JXBRIDGE_IOCTL_NONE(403)
#define BRIDGE_IOCTL_PORT_PVC_MODE_SET JXBRIDGE_IOCTL_W(488)
#define BRIDGE_IOCTL_PORT_PVC_MODE_GET JXBRIDGE_IOCTL_RW(489)
#define BRIDGE_IOCTL_PORT_PVC_ADD JXBRIDGE_IOCTL_W(490)
#define BRIDGE_IOCTL_PORT_PVC_DEL JXBRIDGE_IOCTL_W(491)
#define BRIDGE_IOCTL_PORT_PVC_GET JXBRIDGE_IOCTL_RW(492)
#define BRIDGE_IOCTL_PORT_VPI_VCI_SET JXBRIDGE_IOCTL_W(493)
#define BRIDGE_IOCTL_PORT_PVC_VP_SET JXBRIDGE_IOCTL_W(495)
#define BRIDGE_IOCTL_PORT_PVC_VP_GET JXBRIDGE_IOCTL_RW(496)
#define BRIDGE_IOCTL_STORM_ENABLE_SET JXBRIDGE_IOCTL_W(501)
#define BRIDGE_IOCTL_STORM_ENABLE_GET JXBRIDGE_IOCTL_W(502)
#define BRIDGE_IOCTL_STORM_RATE_SET JXBRIDGE_IOCTL_W(503)
#define BRIDGE_IOCTL_STORM_RATE_GET JXBRIDGE_IOCTL_W(504)
#define BRIDGE_IOCTL_STORM_DROPS_GET JXBRIDGE_IOCTL_W(505)
#define BRIDGE_IOCTL_STORM_DROPS_CLEAR JXBRIDGE_IOCTL_W(506)
#define BRIDGE_IOCTL_STORM_SHOW JXBRIDGE_IOCTL_NONE(507)

#define JXBRIDGE_NAME_FIELD 17 // 16 characters and the terminator
#define JXBRIDGE_PORT_ANY 0xFFFFFFFFu

struct port_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17[3];
    uint32_t port_no; // JXBRIDGE_PORT_ANY: first free slot, or the port count
    uint32_t type;
    uint32_t bll_port_no;
    uint32_t ucc;
    uint32_t subport;
};
static_assert(sizeof(port_request) == 40);
static_assert(offsetof(port_request, port_no) == 20);
static_assert(offsetof(port_request, type) == 24);
static_assert(offsetof(port_request, bll_port_no) == 28);
static_assert(offsetof(port_request, ucc) == 32);
static_assert(offsetof(port_request, subport) == 36);

struct port_value_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17[3];
    uint32_t value;
};
static_assert(sizeof(port_value_request) == 24);
static_assert(offsetof(port_value_request, value) == 20);

struct storm_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17[3];
    uint32_t type; // 0 broadcast, 1 multicast, 2 unknown unicast
    uint32_t value;
};
static_assert(sizeof(storm_request) == 28);
static_assert(offsetof(storm_request, type) == 20);
static_assert(offsetof(storm_request, value) == 24);

// Two names, or a name, a value and a name (PVC), or two names and a value
// at 36 (LAG): the fields overlap, so the record is read by offset.
struct pair_request {
    uint8_t bytes[44];
};
#define PAIR_NAME1 0
#define PAIR_NAME2 17
#define PAIR_VALUE 20
#define PAIR_PVC_NAME2 24
#define PAIR_LAG_VALUE 36
static_assert(sizeof(pair_request) == 44);

struct phy_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t state; // 0 down, 1 up
    uint8_t reserved18[2];
    uint32_t speed;
    uint8_t duplex;
    uint8_t reserved25[3];
};
static_assert(sizeof(phy_request) == 28);
static_assert(offsetof(phy_request, state) == 17);
static_assert(offsetof(phy_request, speed) == 20);
static_assert(offsetof(phy_request, duplex) == 24);

struct vpi_vci_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t vpi;
    uint8_t vci;
};
static_assert(sizeof(vpi_vci_request) == 19);

// VLAN v is bit (7 - v % 8) of vlans[v / 8].
struct stp_vlan_state_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17[3];
    uint32_t state; // 0 discarding, 1 learning, 2 forwarding
    uint8_t vlans[512];
};
static_assert(sizeof(stp_vlan_state_request) == 536);
static_assert(offsetof(stp_vlan_state_request, state) == 20);
static_assert(offsetof(stp_vlan_state_request, vlans) == 24);

struct local_mac_request {
    uint8_t reserved0[19];
    uint8_t mac[6];
    uint8_t reserved25[5];
};
static_assert(sizeof(local_mac_request) == 30);
static_assert(offsetof(local_mac_request, mac) == 19);

// The port counter block, copied whole to the tools: little-endian, fixed offsets.
struct jxbridge_port_counters {
    uint32_t clear_time;
    uint32_t reserved0;
    uint32_t rx_discard, rx_discard_queue_full, rx_error, rx_unknown, rx_CRCAllignError,
        rx_undersize, rx_oversize, rx_fragments, rx_jabbers;
    uint32_t reserved44;
    uint64_t rx_octets, rx_pkts, rx_ucast, rx_dlf, rx_mcast, rx_bcast;
    uint32_t rx_pkts64octets, rx_pkts65to127octets, rx_pkts128to255octets, rx_pkts256to511octets,
        rx_pkts512to1023octets, rx_pkts1024to1518octets;
    uint32_t tx_discard;
    uint32_t reserved124;
    uint64_t tx_pkts, tx_octets, tx_ucast, tx_mcast, tx_bcast;
    uint32_t drop_ipsg;
    uint32_t reserved172;
    uint32_t drop_acl_ingress, drop_acl_egress, drop_qos_ds_ingress, drop_qos_ds_egress,
        drop_qos_policer, drop_qos_shaping, drop_qos_onu_policer, drop_qos_onu_shaping,
        drop_qos_queue, drop_storm_dlf, drop_storm_mcast, drop_storm_bcast, drop_tx_protected_port,
        drop_mn_flag, drop_vlan_ingress_accept_tagged, drop_vlan_ingress_accept_untagged,
        drop_vlan_ingress_filtering;
    uint32_t reserved244;
    uint32_t drop_vlan_egress_filtering;
    uint32_t reserved252[8];
    uint32_t drop_static_mac, drop_mac_limit, mac_source_guard_error_disabled,
        mac_source_guard_violations, drop_mcast, drop_bridge_down, drop_line_disconnected,
        drop_pvc_invalid_queue, drop_pvc_not_found, drop_admin_disabled, drop_rmirroring_blocked,
        drop_tal, drop_erps, drop_stp;
    uint32_t reserved340;
};
static_assert(sizeof(jxbridge_port_counters) == 344);
static_assert(offsetof(jxbridge_port_counters, rx_discard) == 8);
static_assert(offsetof(jxbridge_port_counters, rx_jabbers) == 40);
static_assert(offsetof(jxbridge_port_counters, rx_octets) == 48);
static_assert(offsetof(jxbridge_port_counters, rx_bcast) == 88);
static_assert(offsetof(jxbridge_port_counters, rx_pkts64octets) == 96);
static_assert(offsetof(jxbridge_port_counters, tx_discard) == 120);
static_assert(offsetof(jxbridge_port_counters, tx_pkts) == 128);
static_assert(offsetof(jxbridge_port_counters, tx_bcast) == 160);
static_assert(offsetof(jxbridge_port_counters, drop_ipsg) == 168);
static_assert(offsetof(jxbridge_port_counters, drop_acl_ingress) == 176);
static_assert(offsetof(jxbridge_port_counters, drop_storm_dlf) == 212);
static_assert(offsetof(jxbridge_port_counters, drop_vlan_ingress_filtering) == 240);
static_assert(offsetof(jxbridge_port_counters, drop_vlan_egress_filtering) == 248);
static_assert(offsetof(jxbridge_port_counters, drop_static_mac) == 284);
static_assert(offsetof(jxbridge_port_counters, drop_mcast) == 300);
static_assert(offsetof(jxbridge_port_counters, drop_bridge_down) == 304);
static_assert(offsetof(jxbridge_port_counters, drop_stp) == 336);

// The counter block is the port's (struct jxbridge_port_counters, 344 bytes).
// The multicast GEM statistics by UCC put the UCC at 0 and the subport at 4.
struct port_counters_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17[3];
    uint32_t selector; // 0 all, 1 packet engine, 2 software
    uint8_t counters[344];
};
static_assert(sizeof(port_counters_request) == 368);
static_assert(offsetof(port_counters_request, selector) == 20);
static_assert(offsetof(port_counters_request, counters) == 24);

struct rx_queue_stats {
    uint32_t reserved0[3];
    uint32_t total_rx; // 12
    uint32_t total_tx; // 16
    uint32_t limit;    // 20
    uint32_t length;   // 24
    uint32_t reserved28[2];
    uint32_t qman_pauses; // 36
    uint32_t drops;       // 40
    uint32_t af_total_rx; // 44
    uint32_t af_total_tx; // 48
    uint32_t af_length;   // 52
    uint32_t reserved56[2];
    uint32_t af_limit; // 64
    uint32_t af_drops; // 68
};
static_assert(sizeof(rx_queue_stats) == 72);
static_assert(offsetof(rx_queue_stats, total_rx) == 12);
static_assert(offsetof(rx_queue_stats, length) == 24);
static_assert(offsetof(rx_queue_stats, qman_pauses) == 36);
static_assert(offsetof(rx_queue_stats, af_length) == 52);
static_assert(offsetof(rx_queue_stats, af_limit) == 64);
static_assert(offsetof(rx_queue_stats, af_drops) == 68);

struct tarn_version {
    char api[64];
    char microcode[64];
};
static_assert(sizeof(tarn_version) == 128);

struct bridge_info {
    uint32_t max_ports;
    uint16_t outer_ethertype;
    uint16_t reserved6;
};
static_assert(sizeof(bridge_info) == 8);

struct app_filter_request {
    char filter[JXBRIDGE_NAME_FIELD];
    char device[JXBRIDGE_NAME_FIELD];
};
static_assert(sizeof(app_filter_request) == 34);

// MAC source guard data of a port.
struct msg_data_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17[3];
    uint32_t enabled;    // 20
    uint32_t state;      // 24
    uint32_t violations; // 28
    uint8_t cause_mac[6];
    uint16_t cause_vid;  // 38
    uint32_t cause_port; // 40; JXBRIDGE_PORT_ANY when there is no cause
};
static_assert(sizeof(msg_data_request) == 44);
static_assert(offsetof(msg_data_request, cause_mac) == 32);
static_assert(offsetof(msg_data_request, cause_vid) == 38);
static_assert(offsetof(msg_data_request, cause_port) == 40);

struct msg_recovery_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17[3];
    uint32_t causes;    // 20
    uint32_t countdown; // 24, seconds
};
static_assert(sizeof(msg_recovery_request) == 28);

// /proc/net/jxbridge/<bridge>/vlan
// Three commands pass their value as the argument itself: the VID (size 2)
// and the ethertype; the clear takes nothing.
#define VLAN_IOCTL_ADD 0x40027a00u
#define VLAN_IOCTL_DEL 0x40027a01u
#define VLAN_IOCTL_NAME_SET JXBRIDGE_IOCTL_W(2)
#define VLAN_IOCTL_NAME_GET JXBRIDGE_IOCTL_W(3) // copies the record back all the same
#define VLAN_IOCTL_MEMBERSHIP_ADD JXBRIDGE_IOCTL_W(4)
#define VLAN_IOCTL_MEMBERSHIP_DEL JXBRIDGE_IOCTL_W(5)
#define VLAN_IOCTL_MEMBERSHIP_GET JXBRIDGE_IOCTL_R(6)
#define VLAN_IOCTL_MEMBERSHIP_DEL_ALL JXBRIDGE_IOCTL_W(7)
#define VLAN_IOCTL_PVID_GET JXBRIDGE_IOCTL_R(8)
#define VLAN_IOCTL_PVID_SET JXBRIDGE_IOCTL_W(9)
#define VLAN_IOCTL_ACCEPTABLE_GET JXBRIDGE_IOCTL_R(10)
#define VLAN_IOCTL_ACCEPTABLE_SET JXBRIDGE_IOCTL_W(11)
#define VLAN_IOCTL_TAG_SET JXBRIDGE_IOCTL_W(12)
#define VLAN_IOCTL_TAG_GET JXBRIDGE_IOCTL_R(13)
#define VLAN_IOCTL_TAG_IGNORE_SET JXBRIDGE_IOCTL_W(14)
#define VLAN_IOCTL_TAG_IGNORE_GET JXBRIDGE_IOCTL_R(15)
#define VLAN_IOCTL_CLEAR JXBRIDGE_IOCTL_NONE(16)
#define VLAN_IOCTL_MEMBERSHIP_ALL_GET JXBRIDGE_IOCTL_R(17)
#define VLAN_IOCTL_MCAST_MODE_SET JXBRIDGE_IOCTL_W(18)
#define VLAN_IOCTL_MCAST_MODE_GET JXBRIDGE_IOCTL_RW(19)
#define VLAN_IOCTL_REMARK_MODE_SET JXBRIDGE_IOCTL_W(20)
#define VLAN_IOCTL_REMARK_MODE_GET JXBRIDGE_IOCTL_R(21)
#define VLAN_IOCTL_REMARK_ADD JXBRIDGE_IOCTL_W(22)
#define VLAN_IOCTL_REMARK_DEL JXBRIDGE_IOCTL_W(23)
#define VLAN_IOCTL_REMARK_GET JXBRIDGE_IOCTL_R(24)
#define VLAN_IOCTL_PRIORITY_SET JXBRIDGE_IOCTL_W(30)
#define VLAN_IOCTL_PRIORITY_GET JXBRIDGE_IOCTL_RW(31)
#define VLAN_IOCTL_MPMM_ADD JXBRIDGE_IOCTL_W(40)
#define VLAN_IOCTL_MEMBERSHIP_TAGGING_GET JXBRIDGE_IOCTL_R(40)
#define VLAN_IOCTL_MPMM_DEL JXBRIDGE_IOCTL_W(41)
#define VLAN_IOCTL_MPMM_GET JXBRIDGE_IOCTL_RW(42)
#define VLAN_IOCTL_MVR_REMARK_ADD JXBRIDGE_IOCTL_W(43)
#define VLAN_IOCTL_MVR_REMARK_DEL JXBRIDGE_IOCTL_W(44)
#define VLAN_IOCTL_MVR_REMARK_GET JXBRIDGE_IOCTL_R(45)
#define VLAN_IOCTL_PORT_MVR_SET JXBRIDGE_IOCTL_W(46)
#define VLAN_IOCTL_PORT_MVR_GET JXBRIDGE_IOCTL_R(47)
#define VLAN_IOCTL_QINQ_MODE_SET JXBRIDGE_IOCTL_W(50)
#define VLAN_IOCTL_QINQ_MODE_GET JXBRIDGE_IOCTL_RW(51)
#define VLAN_IOCTL_ETHERTYPE_SET JXBRIDGE_IOCTL_W(52)
#define VLAN_IOCTL_ETHERTYPE_GET JXBRIDGE_IOCTL_R(53) // a host-order u16
#define VLAN_IOCTL_TUNNEL_SET JXBRIDGE_IOCTL_W(54)
#define VLAN_IOCTL_TUNNEL_GET JXBRIDGE_IOCTL_R(55)
#define VLAN_IOCTL_QINQ_SELECTIVE_ADD JXBRIDGE_IOCTL_W(56)
#define VLAN_IOCTL_QINQ_SELECTIVE_GET JXBRIDGE_IOCTL_R(57)
#define VLAN_IOCTL_QINQ_SELECTIVE_DEL JXBRIDGE_IOCTL_W(59)
#define VLAN_IOCTL_QINQ_SELECTIVE_SEQ_GET JXBRIDGE_IOCTL_R(60)
#define VLAN_IOCTL_STACKING_SET JXBRIDGE_IOCTL_W(61)
#define VLAN_IOCTL_STACKING_GET JXBRIDGE_IOCTL_R(62)

#define VLAN_NAME_FIELD 34

struct vlan_port_vid_request {
    uint16_t outer_vid; // the tool's own; not used here
    uint16_t vid;       // the PVID for the PVID commands
    char name[JXBRIDGE_NAME_FIELD];
    char accept[11]; // "tagged", "untagged" or "admit_all"
    uint32_t member;
    uint16_t tagged;
    union {
        uint8_t tag_ignore;
        uint8_t accept_type; // 0 tagged, 1 untagged, 2 all
    };
    uint8_t reserved39;
};
static_assert(sizeof(vlan_port_vid_request) == 40);
static_assert(offsetof(vlan_port_vid_request, vid) == 2);
static_assert(offsetof(vlan_port_vid_request, name) == 4);
static_assert(offsetof(vlan_port_vid_request, accept) == 21);
static_assert(offsetof(vlan_port_vid_request, member) == 32);
static_assert(offsetof(vlan_port_vid_request, tagged) == 36);
static_assert(offsetof(vlan_port_vid_request, tag_ignore) == 38);
static_assert(offsetof(vlan_port_vid_request, accept_type) == 38);

// The value is a u32 for the Q-in-Q mode and the MPMM index, a byte for the
// remark state and the priority.
struct vlan_port_value_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17[3];
    union {
        uint32_t value;
        uint8_t value8;
    };
};
static_assert(sizeof(vlan_port_value_request) == 24);
static_assert(offsetof(vlan_port_value_request, value) == 20);
static_assert(offsetof(vlan_port_value_request, value8) == 20);

// 18 bytes for the tunnel commands, 19 for the MVR switch.
struct vlan_port_flag_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t flag;
    uint8_t reserved18;
};
#define VLAN_PORT_FLAG_SIZE_TUNNEL 18
#define VLAN_PORT_FLAG_SIZE_MVR 19
static_assert(sizeof(vlan_port_flag_request) == VLAN_PORT_FLAG_SIZE_MVR);
static_assert(offsetof(vlan_port_flag_request, flag) == 17);

struct vlan_name_request {
    uint16_t vid;
    char name[VLAN_NAME_FIELD];
};
static_assert(sizeof(vlan_name_request) == 36);
static_assert(offsetof(vlan_name_request, name) == 2);

struct vlan_mcast_request {
    uint16_t vid;
    uint16_t reserved2;
    uint32_t mode; // 0 discard, 1 flood, 2 forward, 3 forward+flood
};
static_assert(sizeof(vlan_mcast_request) == 8);
static_assert(offsetof(vlan_mcast_request, mode) == 4);

struct vlan_remark_request {
    uint32_t position;
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved21;
    uint16_t in_vid;
    uint16_t out_vid;
    uint16_t reserved26;
    uint32_t dir; // 0 both, 1 ingress, 2 egress
};
static_assert(sizeof(vlan_remark_request) == 32);
static_assert(offsetof(vlan_remark_request, name) == 4);
static_assert(offsetof(vlan_remark_request, in_vid) == 22);
static_assert(offsetof(vlan_remark_request, out_vid) == 24);
static_assert(offsetof(vlan_remark_request, dir) == 28);

struct vlan_qinq_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17;
    uint16_t vid;  // range start, the VID looked up, or the stacking VID
    uint16_t vid2; // range end
    uint16_t outer_vid;
    uint8_t prio;
    uint8_t reserved25;
};
static_assert(sizeof(vlan_qinq_request) == 26);
static_assert(offsetof(vlan_qinq_request, vid) == 18);
static_assert(offsetof(vlan_qinq_request, vid2) == 20);
static_assert(offsetof(vlan_qinq_request, outer_vid) == 22);
static_assert(offsetof(vlan_qinq_request, prio) == 24);

struct vlan_qinq_seq_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17[3];
    uint32_t position;
    uint16_t first;
    uint16_t last;
    uint16_t outer_vid;
    uint8_t prio;
    uint8_t reserved31;
};
static_assert(sizeof(vlan_qinq_seq_request) == 32);
static_assert(offsetof(vlan_qinq_seq_request, position) == 20);
static_assert(offsetof(vlan_qinq_seq_request, first) == 24);
static_assert(offsetof(vlan_qinq_seq_request, last) == 26);
static_assert(offsetof(vlan_qinq_seq_request, outer_vid) == 28);
static_assert(offsetof(vlan_qinq_seq_request, prio) == 30);

#define VLAN_MPMM_BY_INDEX 0xFFFFFFFFu // a position that asks for the entry's index

// An MPMM entry as the tools pass it.
struct vlan_mpmm_entry {
    uint32_t index;
    uint8_t mac[3];
    uint8_t mask[3];
    uint16_t vid;
    uint16_t new_vid;
    uint16_t reserved;
};
static_assert(sizeof(vlan_mpmm_entry) == 16);
static_assert(offsetof(vlan_mpmm_entry, mask) == 7);
static_assert(offsetof(vlan_mpmm_entry, vid) == 10);
static_assert(offsetof(vlan_mpmm_entry, new_vid) == 12);

// The entry is a struct vlan_mpmm_entry.
struct vlan_mpmm_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17[3];
    uint32_t position;
    uint8_t entry[16];
};
static_assert(sizeof(vlan_mpmm_request) == 40);
static_assert(offsetof(vlan_mpmm_request, position) == 20);
static_assert(offsetof(vlan_mpmm_request, entry) == 24);

// The rule is the engine's 40-byte MVR remark rule.
struct vlan_mvr_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17[3];
    uint32_t position;
    uint8_t rule[40];
};
static_assert(sizeof(vlan_mvr_request) == 64);
static_assert(offsetof(vlan_mvr_request, position) == 20);
static_assert(offsetof(vlan_mvr_request, rule) == 24);

// Port n is bit n & 31 of word n >> 5.
struct vlan_membership_request {
    uint16_t vid;
    uint16_t reserved2;
    uint32_t ports; // port slots of the bridge
    uint32_t members[16];
    uint32_t tagged[16];
};
static_assert(sizeof(vlan_membership_request) == 136);
static_assert(offsetof(vlan_membership_request, ports) == 4);
static_assert(offsetof(vlan_membership_request, members) == 8);
static_assert(offsetof(vlan_membership_request, tagged) == 72);

// /proc/net/jxbridge/<bridge>/mac_table; commands 1, 3, 30 and 40 take their
// value as the argument, 5, 6 and 100 nothing.
#define MT_IOCTL_DEBUG_SET JXBRIDGE_IOCTL_W(1)
#define MT_IOCTL_INFO_GET JXBRIDGE_IOCTL_R(2)
#define MT_IOCTL_AGING_SET JXBRIDGE_IOCTL_W(3)
#define MT_IOCTL_AGING_GET JXBRIDGE_IOCTL_R(4)
#define MT_IOCTL_CLEANUP JXBRIDGE_IOCTL_NONE(5)
#define MT_IOCTL_FLUSH JXBRIDGE_IOCTL_NONE(6)
#define MT_IOCTL_MAC_ADD JXBRIDGE_IOCTL_W(7)
#define MT_IOCTL_LOOKUP JXBRIDGE_IOCTL_RW(8)
#define MT_IOCTL_MAC_DEL JXBRIDGE_IOCTL_W(9)
#define MT_IOCTL_PORT_FLUSH JXBRIDGE_IOCTL_W(10)
#define MT_IOCTL_PORT_VID_FLUSH JXBRIDGE_IOCTL_W(11)
#define MT_IOCTL_HASH_ENTRY_GET JXBRIDGE_IOCTL_RW(12)
#define MT_IOCTL_MOVE_TO_STATIC JXBRIDGE_IOCTL_W(13)
#define MT_IOCTL_MAC_VLANS_GET JXBRIDGE_IOCTL_RW(14)
#define MT_IOCTL_MCAST_MAC_ADD JXBRIDGE_IOCTL_W(20)
#define MT_IOCTL_MCAST_MAC_DEL JXBRIDGE_IOCTL_W(21)
#define MT_IOCTL_MCAST_IP_SET JXBRIDGE_IOCTL_W(22)
#define MT_IOCTL_MCAST_IP_DEL JXBRIDGE_IOCTL_W(23)
#define MT_IOCTL_MCAST_ENTRY_GET JXBRIDGE_IOCTL_RW(24)
#define MT_IOCTL_MCAST_IP_GET JXBRIDGE_IOCTL_RW(25)
#define MT_IOCTL_MSG_SET JXBRIDGE_IOCTL_W(30)
#define MT_IOCTL_MSG_GET JXBRIDGE_IOCTL_R(31)
#define MT_IOCTL_MSG_PORT_SET JXBRIDGE_IOCTL_W(32)
#define MT_IOCTL_MSG_PORT_GET JXBRIDGE_IOCTL_RW(33)
#define MT_IOCTL_PS_GLOBAL_SET JXBRIDGE_IOCTL_W(40)
#define MT_IOCTL_PS_GLOBAL_GET JXBRIDGE_IOCTL_R(41)
#define MT_IOCTL_PS_STATE_SET JXBRIDGE_IOCTL_W(42)
#define MT_IOCTL_PS_STATE_GET JXBRIDGE_IOCTL_R(43)
#define MT_IOCTL_PS_LIMIT_SET JXBRIDGE_IOCTL_W(44)
#define MT_IOCTL_PS_LIMIT_GET JXBRIDGE_IOCTL_RW(45)
#define MT_IOCTL_PS_VLAN_LIMIT_ADD JXBRIDGE_IOCTL_W(46)
#define MT_IOCTL_PS_VLAN_LIMIT_DEL JXBRIDGE_IOCTL_W(47)
#define MT_IOCTL_PS_PORT_GET JXBRIDGE_IOCTL_RW(48)
#define MT_IOCTL_PS_VIOLATION_GET JXBRIDGE_IOCTL_RW(49)
#define MT_IOCTL_IGNORE_CLEAR JXBRIDGE_IOCTL_NONE(100)
#define MT_IOCTL_IGNORE_SET JXBRIDGE_IOCTL_W(101)
#define MT_IOCTL_IGNORE_GET JXBRIDGE_IOCTL_RW(102)

struct mt_port_vid_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17;
    uint16_t vid;
};
static_assert(sizeof(mt_port_vid_request) == 20);
static_assert(offsetof(mt_port_vid_request, vid) == 18);

struct mt_port_value_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17;
    uint16_t vid; // the VLAN limit commands
    uint32_t value;
};
static_assert(sizeof(mt_port_value_request) == 24);
static_assert(offsetof(mt_port_value_request, vid) == 18);
static_assert(offsetof(mt_port_value_request, value) == 20);

struct mt_port_limit_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17[3];
    uint32_t is_static; // 1 static, 0 dynamic
    uint32_t limit;
    uint32_t count; // out, of the get
};
static_assert(sizeof(mt_port_limit_request) == 32);
static_assert(offsetof(mt_port_limit_request, is_static) == 20);
static_assert(offsetof(mt_port_limit_request, count) == 28);

struct mt_lookup_request {
    uint8_t mac[6];
    uint16_t vid;
    char name[JXBRIDGE_NAME_FIELD]; // out
    uint8_t reserved25;
};
static_assert(sizeof(mt_lookup_request) == 26);
static_assert(offsetof(mt_lookup_request, name) == 8);

// VID v is bit value 0x80 >> (v & 7) of vlans[v >> 3].
struct mt_mac_vlans_request {
    uint8_t mac[6];
    uint16_t port_no_plus_one;
    uint8_t vlans[512];
};
static_assert(sizeof(mt_mac_vlans_request) == 520);
static_assert(offsetof(mt_mac_vlans_request, vlans) == 8);

struct mt_violation_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17;
    uint8_t mac[6]; // 18
    uint16_t vid;   // 24
};
static_assert(sizeof(mt_violation_request) == 26);
static_assert(offsetof(mt_violation_request, mac) == 18);
static_assert(offsetof(mt_violation_request, vid) == 24);

struct mt_vlan_value_request {
    uint16_t vid;
    uint8_t reserved2[2];
    uint32_t value;
};
static_assert(sizeof(mt_vlan_value_request) == 8);

#define MT_MCAST_IP_SOURCES_MAX 100
#define MT_PORT_ITSELF 0xFFFFFFFFu // a port index that asks for the entry or group itself

struct mt_mac_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t mac[6];
    uint8_t reserved23;
    uint16_t vid;
    uint8_t is_static;
    uint8_t reserved27;
};
static_assert(sizeof(mt_mac_request) == 28);
static_assert(offsetof(mt_mac_request, mac) == 17);
static_assert(offsetof(mt_mac_request, vid) == 24);
static_assert(offsetof(mt_mac_request, is_static) == 26);

struct mt_mcast_mac_request {
    uint8_t mac[6];
    uint16_t vid;
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved25;
};
static_assert(sizeof(mt_mcast_mac_request) == 26);
static_assert(offsetof(mt_mcast_mac_request, name) == 8);

// Followed by the sources (u32 each, host order); the group is in host order.
struct mt_mcast_ip_request {
    uint32_t group;
    uint16_t vid;
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved23;
    uint32_t mode; // 0 INCLUDE, otherwise EXCLUDE
    uint32_t count;
    uint32_t sources[];
};
static_assert(sizeof(mt_mcast_ip_request) == 32);
static_assert(offsetof(mt_mcast_ip_request, name) == 6);
static_assert(offsetof(mt_mcast_ip_request, mode) == 24);
static_assert(offsetof(mt_mcast_ip_request, count) == 28);

struct mt_mcast_entry_request {
    uint32_t bucket;
    uint32_t position;
    uint32_t port_index; // MT_PORT_ITSELF: the entry itself
    uint8_t mac[6];      // 12
    uint16_t vid;        // 18
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved37[3];
};
static_assert(sizeof(mt_mcast_entry_request) == 40);
static_assert(offsetof(mt_mcast_entry_request, vid) == 18);
static_assert(offsetof(mt_mcast_entry_request, name) == 20);

// Followed by room for size sources. Sources are numbered from 1; those
// numbered below first_source are skipped.
struct mt_mcast_ip_get_request {
    uint32_t bucket;
    uint32_t entry;
    uint32_t group_position;
    uint32_t port_index; // MT_PORT_ITSELF: the group address only
    uint32_t first_source;
    uint32_t size; // in: room for sources; out: number returned
    uint32_t group;
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved45[3];
    uint32_t mode;
    uint32_t sources[];
};
static_assert(sizeof(mt_mcast_ip_get_request) == 52);
static_assert(offsetof(mt_mcast_ip_get_request, group) == 24);
static_assert(offsetof(mt_mcast_ip_get_request, name) == 28);
static_assert(offsetof(mt_mcast_ip_get_request, mode) == 48);

struct mt_info {
    uint32_t max_size;
    uint32_t count;
    uint32_t mac_hash;
    uint32_t mcast_hash;
};
static_assert(sizeof(mt_info) == 16);

// One unicast entry, by bucket and position within the bucket.
struct mt_hash_entry_request {
    uint32_t bucket;
    uint32_t position;
    uint8_t mac[6];     // 8
    uint16_t vid;       // 14
    uint32_t timestamp; // 16, low half of the wall-clock seconds
    char port_name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved37[3];
    uint32_t port_no; // 40
    uint8_t is_static;
    uint8_t reserved45[3];
};
static_assert(sizeof(mt_hash_entry_request) == 48);
static_assert(offsetof(mt_hash_entry_request, vid) == 14);
static_assert(offsetof(mt_hash_entry_request, port_name) == 20);
static_assert(offsetof(mt_hash_entry_request, port_no) == 40);
static_assert(offsetof(mt_hash_entry_request, is_static) == 44);

// Port security per port slot; a fixed layout, as the tools read it whole.
struct mac_table_vlan_limit {
    uint32_t limit;
    uint32_t count;
    uint16_t vid; // MAC_TABLE_NO_VID: slot free
    uint16_t reserved;
};
#define MAC_TABLE_VLAN_LIMITS 8
struct mac_table_port {
    uint32_t msg; // MAC source guard switch
    uint32_t state;
    uint32_t static_limit;
    uint32_t static_count;
    uint32_t dynamic_limit;
    uint32_t dynamic_count;
    uint32_t violations;
    uint8_t violation_mac[6];
    uint16_t violation_vid;
    struct mac_table_vlan_limit vlan_limits[MAC_TABLE_VLAN_LIMITS];
};
static_assert(sizeof(mac_table_vlan_limit) == 12);
static_assert(sizeof(mac_table_port) == 132);
static_assert(offsetof(mac_table_port, violations) == 24);
static_assert(offsetof(mac_table_port, violation_vid) == 34);
static_assert(offsetof(mac_table_port, vlan_limits) == 36);

struct mt_port_security_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17[3];
    struct mac_table_port port;
};
static_assert(sizeof(mt_port_security_request) == 152);
static_assert(offsetof(mt_port_security_request, port) == 20);

// /proc/net/jxbridge/<bridge>/erps (type 'e')
#define BRIDGE_IOCTL_ERPS_STATE_SET 0x40046501u
#define BRIDGE_IOCTL_ERPS_PORT_VLAN_OPERATIONAL_STATE_SET 0x40046502u
#define BRIDGE_IOCTL_ERPS_PORT_VLAN_FORWARD_STATE_SET 0x40046503u
#define BRIDGE_IOCTL_ERPS_FLUSH_FDB_VLAN_PORT 0x40046504u

// VLAN v is bit (7 - v % 8) of vlans[v / 8]; the flush reads the first 20 bytes.
struct erps_port_request {
    char name[18];
    uint16_t vid;
    uint32_t state;
    uint8_t vlans[512];
};
static_assert(sizeof(erps_port_request) == 536);
static_assert(offsetof(erps_port_request, vid) == 18);
static_assert(offsetof(erps_port_request, state) == 20);
static_assert(offsetof(erps_port_request, vlans) == 24);

// /proc/net/jxbridge/<bridge>/cfm (type 'c')
#define BRIDGE_IOCTL_CFM_PORT_VLAN_ENABLE 0x40046301u
#define BRIDGE_IOCTL_CFM_PORT_VLAN_DISABLE 0x40046302u
#define BRIDGE_IOCTL_CFM_PDU_ENGINE_STATISTICS_GET 0xc0046303u
#define BRIDGE_IOCTL_CFM_PDU_ENGINE_STATISTICS_CLEAR 0x40046304u

// The PDU buffers are the caller's; an address of 0 is none.
struct cfm_enable_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17;
    uint16_t vid;
    uint8_t reserved20[4];
    uint64_t tx_pdu;
    uint32_t tx_pdu_size;
    uint8_t reserved36[4];
    uint32_t tx_interval;
    uint8_t reserved44[4];
    uint64_t rx_pdu;
    uint32_t rx_pdu_size;
    uint8_t reserved60[4];
    uint64_t rx_pdu_mask;
    uint32_t rx_pdu_mask_size;
    uint8_t reserved76[4];
    uint32_t rx_interval;
    uint8_t reserved84[4];
};
static_assert(sizeof(cfm_enable_request) == 88);
static_assert(offsetof(cfm_enable_request, vid) == 18);
static_assert(offsetof(cfm_enable_request, tx_pdu) == 24);
static_assert(offsetof(cfm_enable_request, tx_interval) == 40);
static_assert(offsetof(cfm_enable_request, rx_pdu) == 48);
static_assert(offsetof(cfm_enable_request, rx_pdu_mask) == 64);
static_assert(offsetof(cfm_enable_request, rx_interval) == 80);

// Each count is 32 bits held in a 64-bit field.
struct cfm_stats_request {
    char name[JXBRIDGE_NAME_FIELD];
    uint8_t reserved17;
    uint16_t vid;
    uint8_t reserved20[4];
    uint64_t rx;
    uint64_t tx;
    uint64_t loc;
    uint64_t dropped;
};
static_assert(sizeof(cfm_stats_request) == 56);
static_assert(offsetof(cfm_stats_request, rx) == 24);
static_assert(offsetof(cfm_stats_request, dropped) == 48);

// The pon file's ioctls (type '~').
#define PON_IOCTL_W(nr) (0x40047e00u + (nr))
#define PON_IOCTL_R(nr) (0x80047e00u + (nr))
#define PON_IOCTL_RW(nr) (0xC0047e00u + (nr))
#define PON_IOCTL_MCAST_GEM_USE_SET PON_IOCTL_W(0x4e) // argument: the value
#define PON_IOCTL_MCAST_GEM_USE_GET PON_IOCTL_R(0x4f)
#define PON_IOCTL_MCAST_GEM_ADD PON_IOCTL_W(0x56)
#define PON_IOCTL_GEM_DEL PON_IOCTL_W(0x57)
#define PON_IOCTL_GEM_GET PON_IOCTL_RW(0x58)
#define PON_IOCTL_GEM_GET_INDEX PON_IOCTL_RW(0x59)
#define PON_IOCTL_GEM_SET PON_IOCTL_W(0x5a)
#define PON_IOCTL_VLAN_MCAST_GEM_SET PON_IOCTL_W(0x5b)
#define PON_IOCTL_VLAN_MCAST_GEM_GET PON_IOCTL_RW(0x5c)
#define PON_IOCTL_BRIDGE_ADD PON_IOCTL_R(0x5d)
#define PON_IOCTL_OLT_PHYSTATE_SET PON_IOCTL_W(0x5e)

struct pon_gem_request {
    char olt[JXBRIDGE_NAME_FIELD];
    char port[JXBRIDGE_NAME_FIELD]; // the physical-state command: state in byte 17
    uint8_t reserved34[2];
    uint32_t gem;
    uint16_t vid;
    uint8_t reserved42[2];
    int32_t index;
    uint32_t onu_id;
    uint32_t ucc; // ucc and subport: returned by GEM set
    uint32_t subport;
};
static_assert(sizeof(pon_gem_request) == 60);
static_assert(offsetof(pon_gem_request, port) == 17);
static_assert(offsetof(pon_gem_request, gem) == 36);
static_assert(offsetof(pon_gem_request, vid) == 40);
static_assert(offsetof(pon_gem_request, index) == 44);
static_assert(offsetof(pon_gem_request, onu_id) == 48);
static_assert(offsetof(pon_gem_request, ucc) == 52);
static_assert(offsetof(pon_gem_request, subport) == 56);

struct pon_vlan_request {
    uint16_t vid;
    uint8_t reserved2[2];
    uint32_t gem;
};
static_assert(sizeof(pon_vlan_request) == 8);
static_assert(offsetof(pon_vlan_request, gem) == 4);

struct pon_bridge_request {
    uint16_t nr_olt;
    uint8_t reserved2[6];
};
static_assert(sizeof(pon_bridge_request) == 8);

struct pon_phystate_request {
    char olt[JXBRIDGE_NAME_FIELD];
    uint8_t state;
    uint8_t reserved18[10];
};
static_assert(sizeof(pon_phystate_request) == 28);
static_assert(offsetof(pon_phystate_request, state) == 17);

// /proc/net/jxbridge/<bridge>/rmirroring. Sessions are numbered 1-4; every
// record goes back to the caller, on failure too.
#define RMIRRORING_IOCTL_SESSION_GET JXBRIDGE_IOCTL_W(0x02)
#define RMIRRORING_IOCTL_PORT_GET JXBRIDGE_IOCTL_W(0x03)
#define RMIRRORING_IOCTL_SESSION_PORT_GET JXBRIDGE_IOCTL_W(0x04)
#define RMIRRORING_IOCTL_CREATE JXBRIDGE_IOCTL_W(0x05)
#define RMIRRORING_IOCTL_DELETE JXBRIDGE_IOCTL_W(0x06)
#define RMIRRORING_IOCTL_ACTIVATE JXBRIDGE_IOCTL_W(0x07)
#define RMIRRORING_IOCTL_DEACTIVATE JXBRIDGE_IOCTL_W(0x08)
#define RMIRRORING_IOCTL_PORT_ADD JXBRIDGE_IOCTL_W(0x09)
#define RMIRRORING_IOCTL_PORT_REMOVE JXBRIDGE_IOCTL_W(0x0a)
#define RMIRRORING_IOCTL_COS_SET JXBRIDGE_IOCTL_W(0x0b)
#define RMIRRORING_IOCTL_COS_RESET JXBRIDGE_IOCTL_W(0x0c)
#define RMIRRORING_IOCTL_ENCAPS_SET JXBRIDGE_IOCTL_W(0x0d)
#define RMIRRORING_IOCTL_ENCAPS_RESET JXBRIDGE_IOCTL_W(0x0e)
#define RMIRRORING_IOCTL_MAC_SET JXBRIDGE_IOCTL_W(0x0f)
#define RMIRRORING_IOCTL_MAC_RESET JXBRIDGE_IOCTL_W(0x10)
#define RMIRRORING_IOCTL_ETHERTYPE_SET JXBRIDGE_IOCTL_W(0x11)
#define RMIRRORING_IOCTL_ETHERTYPE_RESET JXBRIDGE_IOCTL_W(0x12)
#define RMIRRORING_IOCTL_ACL_SET JXBRIDGE_IOCTL_W(0x13)
#define RMIRRORING_IOCTL_ACL_RESET JXBRIDGE_IOCTL_W(0x14)

// The commands that name only a session.
struct rmirroring_session_nr {
    uint32_t session;
};
static_assert(sizeof(rmirroring_session_nr) == 4);

struct rmirroring_session_record {
    uint8_t session;
    uint8_t in_use;
    uint8_t active;
    uint8_t reserved3;
    uint32_t type; // 0 no ports, 1 sources, 2 destination set
    uint8_t interfaces;
    uint8_t reserved9;
    uint16_t vlan;
    char vlan_name[32];
    uint8_t reserved44;
    uint8_t cos; // 255: the mirrored frame's priority
    uint8_t reserved46[2];
    uint32_t encaps;
    uint8_t mac[6];
    uint16_t ethertype;
    uint32_t acl_kind; // 0 none, 1 MAC, 2 IP
    char acl_name[40];
};
static_assert(sizeof(rmirroring_session_record) == 104);
static_assert(offsetof(rmirroring_session_record, type) == 4);
static_assert(offsetof(rmirroring_session_record, interfaces) == 8);
static_assert(offsetof(rmirroring_session_record, vlan) == 10);
static_assert(offsetof(rmirroring_session_record, vlan_name) == 12);
static_assert(offsetof(rmirroring_session_record, cos) == 45);
static_assert(offsetof(rmirroring_session_record, encaps) == 48);
static_assert(offsetof(rmirroring_session_record, mac) == 52);
static_assert(offsetof(rmirroring_session_record, ethertype) == 58);
static_assert(offsetof(rmirroring_session_record, acl_kind) == 60);
static_assert(offsetof(rmirroring_session_record, acl_name) == 64);

// Port data (session 0, position 0) and session-port data: the port's BLL
// number; the port's source-receive, source-transmit and destination session
// masks, or (session-port data, position counted from 0 over the session's
// sources in slot order, then its destination) the port's flags
// RMIRRORING_PORT_* for the session.
#define RMIRRORING_PORT_RX 0x1
#define RMIRRORING_PORT_TX 0x2
#define RMIRRORING_PORT_DST 0x4
struct rmirroring_port_record {
    uint8_t session;
    uint8_t position;
    uint8_t reserved2[2];
    uint32_t port;
    uint8_t src_rx; // session-port data: the flags
    uint8_t src_tx;
    uint8_t dst;
    uint8_t reserved11;
};
static_assert(sizeof(rmirroring_port_record) == 12);
static_assert(offsetof(rmirroring_port_record, port) == 4);
static_assert(offsetof(rmirroring_port_record, src_rx) == 8);

struct rmirroring_create_record {
    uint8_t session;
    uint8_t reserved1;
    uint16_t vlan;
    char busy_session[16]; // out on -EBUSY
};
static_assert(sizeof(rmirroring_create_record) == 20);
static_assert(offsetof(rmirroring_create_record, busy_session) == 4);

struct rmirroring_port_change_record {
    uint8_t session;
    uint8_t reserved1;
    uint16_t port; // BLL number
    uint8_t kind;  // 0 source, else destination
    uint8_t rx;
    uint8_t tx;
    char other_port[16];    // out on a conflict
    char other_session[17]; // out on a conflict
};
static_assert(sizeof(rmirroring_port_change_record) == 40);
static_assert(offsetof(rmirroring_port_change_record, kind) == 4);
static_assert(offsetof(rmirroring_port_change_record, other_port) == 7);
static_assert(offsetof(rmirroring_port_change_record, other_session) == 23);

struct rmirroring_cos_record {
    uint8_t session;
    uint8_t cos;
};
static_assert(sizeof(rmirroring_cos_record) == 2);

struct rmirroring_encaps_record {
    uint8_t session;
    uint8_t reserved1[3];
    uint32_t encaps;
};
static_assert(sizeof(rmirroring_encaps_record) == 8);

struct rmirroring_mac_record {
    uint8_t session;
    char mac[18];
};
static_assert(sizeof(rmirroring_mac_record) == 19);

struct rmirroring_ethertype_record {
    uint8_t session;
    uint8_t reserved1;
    uint16_t ethertype;
};
static_assert(sizeof(rmirroring_ethertype_record) == 4);

struct rmirroring_acl_record {
    uint8_t session;
    char name[43]; // 39 characters at most, terminated
    uint32_t kind; // 1 MAC, else IP
};
static_assert(sizeof(rmirroring_acl_record) == 48);
static_assert(offsetof(rmirroring_acl_record, kind) == 44);
// /proc/net/jxbridge/<bridge>/ipsg (type 'z')
#define IPSG_IOCTL_DEBUG_SET 0x40047a01u // argument: the value
#define IPSG_IOCTL_DEBUG_GET 0x80047a02u
#define IPSG_IOCTL_STATE_SET 0x40047a03u
#define IPSG_IOCTL_STATE_GET 0xc0047a04u
#define IPSG_IOCTL_PORT_STATE_SET 0x40047a05u
#define IPSG_IOCTL_PORT_STATE_GET 0xc0047a06u // accepted, does nothing
#define IPSG_IOCTL_PORT_MODE_SET 0x40047a07u
#define IPSG_IOCTL_PORT_MODE_GET 0xc0047a08u
#define IPSG_IOCTL_PORT_LEARN_SET 0x40047a09u
#define IPSG_IOCTL_PORT_LEARN_GET 0xc0047a0au
#define IPSG_IOCTL_PORT_LIMIT_SET 0x40047a0bu
#define IPSG_IOCTL_PORT_LIMITS_GET 0xc0047a0cu
#define IPSG_IOCTL_PORT_STAT_GET 0xc0047a0du
#define IPSG_IOCTL_BINDING_ADD 0x40047a0eu
#define IPSG_IOCTL_BINDING_DEL 0x40047a0fu
#define IPSG_IOCTL_BINDING_GET 0xc0047a10u
#define IPSG_IOCTL_VLAN_STATE_SET 0xc0047a11u
#define IPSG_IOCTL_CLEAR_VLANS 0xc0047a12u

#define IPSG_AF_INET 2
#define IPSG_AF_INET6 10
#define IPSG_NAME_FIELD 20

struct ipsg_state_request {
    uint32_t family;
    uint32_t state;
};
static_assert(sizeof(ipsg_state_request) == 8);

// A port and two values; the VLAN form packs a VID and three flags instead.
struct ipsg_port_request {
    char name[IPSG_NAME_FIELD];
    uint32_t value;
    uint32_t value2;
};
static_assert(sizeof(ipsg_port_request) == 28);
static_assert(offsetof(ipsg_port_request, value) == 20);
static_assert(offsetof(ipsg_port_request, value2) == 24);

struct ipsg_vlan_request {
    char name[IPSG_NAME_FIELD];
    uint32_t vid;
    uint8_t enable;
    uint8_t ipv4;
    uint8_t ipv6;
    uint8_t reserved27;
};
static_assert(sizeof(ipsg_vlan_request) == 28);
static_assert(offsetof(ipsg_vlan_request, enable) == 24);
static_assert(offsetof(ipsg_vlan_request, ipv6) == 26);

// family 2: the IPv4 address in host order in the first four bytes;
// family 10: the IPv6 address in network order.
struct ipsg_ip {
    uint32_t family;
    uint8_t addr[16];
};
static_assert(sizeof(ipsg_ip) == 20);

struct ipsg_binding_request {
    char name[IPSG_NAME_FIELD];
    uint32_t index; // get only
    uint32_t ttl;   // add: seconds of life; get: seconds left; 0: static
    uint8_t mac[6];
    uint16_t vid;
    struct ipsg_ip ip;
    uint32_t prefix;
    uint32_t matched; // get only
};
static_assert(sizeof(ipsg_binding_request) == 64);
static_assert(offsetof(ipsg_binding_request, index) == 20);
static_assert(offsetof(ipsg_binding_request, ttl) == 24);
static_assert(offsetof(ipsg_binding_request, mac) == 28);
static_assert(offsetof(ipsg_binding_request, vid) == 34);
static_assert(offsetof(ipsg_binding_request, ip) == 36);
static_assert(offsetof(ipsg_binding_request, prefix) == 56);
static_assert(offsetof(ipsg_binding_request, matched) == 60);

// /proc/net/jxbridge/<bridge>/event (type 'z'): per open reader.
#define EVENT_IOCTL_LIMIT_SET 0x40047a01u // argument: the value
#define EVENT_IOCTL_LIMIT_GET 0x80047a02u
#define EVENT_IOCTL_BAD_GET 0x80047a03u
#define EVENT_IOCTL_PORT_STATES_GET 0x80047a04u
#define EVENT_IOCTL_BAD_SET 0x40047a05u
