// Records exchanged with the tools through ioctl on the module's control files.
// Plain layouts: the tools and agents build them byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

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

// /proc/net/jxbridge/<bridge>/mac_table

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
