// The IGMP module's control file, as agents and tools see it.
//
// Every command is one ioctl of number JXIGMP_IOCTL(n) whose argument is the
// address of a jxigmp_ioctl_args record: the count of arguments, their
// addresses, sizes and directions. Integers (and IPv4 addresses, host order)
// are 32-bit values of size 4; texts in are NUL-terminated with size 0 (at
// most JXIGMP_TEXT_MAX bytes with the terminator); texts out have the size of
// the caller's buffer. The first argument of every bridge command is the
// bridge's name.
#pragma once

#include <cstddef>
#include <cstdint>

#define JXIGMP_PROC_DIR "/proc/net/jxigmp"
#define JXIGMP_PROC_CONFIG JXIGMP_PROC_DIR "/config"
#define JXIGMP_IOCTL(n) (0xC0046900u + (n))
#define JXIGMP_ARGS_MAX 8
#define JXIGMP_TEXT_MAX 256
#define JXIGMP_ARG_IN 0
#define JXIGMP_ARG_OUT 1
#define JXIGMP_ARG_INOUT 2

struct jxigmp_ioctl_args {
    uint8_t n;
    uint8_t pad[7];
    uint64_t addr[JXIGMP_ARGS_MAX];
    uint32_t size[JXIGMP_ARGS_MAX];
    uint8_t dir[JXIGMP_ARGS_MAX];
};
static_assert(sizeof(jxigmp_ioctl_args) == 112);
static_assert(offsetof(jxigmp_ioctl_args, addr) == 8);
static_assert(offsetof(jxigmp_ioctl_args, size) == 72);
static_assert(offsetof(jxigmp_ioctl_args, dir) == 104);

// Counters of a port or a VLAN, as igmp_port_stats_get and igmp_vlan_stats_get
// return them: received and sent per kind (query, v1 report, v2 report, v2
// leave, v3 report, other), then the drop counters.
#define JXIGMP_KINDS 6
struct jxigmp_stats {
    uint32_t rx[JXIGMP_KINDS];
    uint32_t tx[JXIGMP_KINDS];
    uint32_t err_drop;
    uint32_t vlan_drop;
    uint32_t version_drop;
    uint32_t filter_drop;
    uint32_t acl_drop;
    uint32_t cac_drop;
    uint32_t disabled_drop;
    uint32_t groups;
};
static_assert(sizeof(jxigmp_stats) == 80);

// Command numbers; the comment gives the arguments after the bridge name
// (i: integer in, o: integer out, t: text in, T: text out, s: jxigmp_stats out).
enum jxigmp_cmd : uint32_t {
    JXIGMP_INIT = 0,                     // (no bridge)
    JXIGMP_FINI = 1,                     // (no bridge)
    JXIGMP_LOG_LEVEL_SET = 2,            // (no bridge) i level, i port, i vid
    JXIGMP_LOG_LEVEL_GET = 3,            // (no bridge) o level, o port, o vid
    JXIGMP_DUMP_AFTER_CHANGE_SET = 6,    // (no bridge) i on
    JXIGMP_BRIDGE_ADD = 7,               // i ports
    JXIGMP_BRIDGE_DEL = 8,               //
    JXIGMP_BRIDGE_MODE_SET = 9,          // i mode
    JXIGMP_BRIDGE_FLUSH = 10,            //
    JXIGMP_BRIDGE_STAG_SET = 11,         // i ethertype
    JXIGMP_BRIDGE_MRT_DELTA_SET = 12,    // i tenths
    JXIGMP_BRIDGE_DUMP_CFG = 13,         //
    JXIGMP_PORT_ADD = 14,                // t name, i port
    JXIGMP_PORT_DEL = 15,                // t name, i port
    JXIGMP_PORT_STATS_GET = 16,          // i port, s
    JXIGMP_PORT_STATS_CLEAR = 17,        // i port
    JXIGMP_PORT_MROUTER_SET = 18,        // i port, i on
    JXIGMP_PORT_MROUTER_GET = 19,        // i port, o on
    JXIGMP_PORT_TRACE = 20,              // i port, i on: the debug port selector
    JXIGMP_VLAN_ADD = 21,                // i vid, i GEM (0 none)
    JXIGMP_VLAN_DEL = 22,                // i vid, i multicast mode left in the VLAN
    JXIGMP_VLAN_GET = 23,                // i vid, o enabled
    JXIGMP_VLAN_FLOOD_UNKNOWN_SET = 24,  // i vid, i on
    JXIGMP_VLAN_FLOOD_UNKNOWN_GET = 25,  // i vid, o on
    JXIGMP_VLAN_STATS_GET = 26,          // i vid, s
    JXIGMP_VLAN_STATS_CLEAR = 27,        // i vid
    JXIGMP_VERSION_FILTER_SET = 28,      // i version (1-3), i pass
    JXIGMP_VERSION_FILTER_GET = 29,      // i version, o pass
    JXIGMP_STP_TOPOLOGY_CHANGE = 30,     //
    JXIGMP_GENERAL_TIMEOUT_SET = 31,     // i tenths
    JXIGMP_GENERAL_TIMEOUT_GET = 32,     // o tenths
    JXIGMP_IMMEDIATE_LEAVE_SET = 33,     // i on
    JXIGMP_IMMEDIATE_LEAVE_GET = 34,     // o on
    JXIGMP_GROUP_GET_BY_IDX = 35,        // i index, o vid, o group
    JXIGMP_PORT_GROUP_GET_BY_IDX = 36,   // i port, i index, o vid, o group
    JXIGMP_STATS_GET = 37,               // o groups, o clients, o forwarding entries
    JXIGMP_STATS_CLEAR = 38,             //
    JXIGMP_STATIC_GROUP_ADD = 39,        // i port, i vid, i group
    JXIGMP_STATIC_GROUP_DEL = 40,        // i port, i vid, i group
    JXIGMP_STATIC_GROUP_GET_BY_IDX = 41, // i index, o port, o group (vid in the port's high half)
    JXIGMP_SUPPRESSION_SET = 42,         // i on
    JXIGMP_SUPPRESSION_GET = 43,         // o on
    JXIGMP_VLAN_PROXY_SET = 44,          // i vid, i on, i query interval, i version
    JXIGMP_VLAN_PROXY_GET = 45,          // i vid, o on, o query interval, o version, o upstream
    JXIGMP_PORT_TYPE_SET = 46,           // i port, i type
    JXIGMP_PORT_TYPE_GET = 47,           // i port, o type
    JXIGMP_CAC_ACTION_SET = 48,          // i action
    JXIGMP_CAC_ACTION_GET = 49,          // o action
    JXIGMP_PORT_CAC_SET = 50,            // i port, i limit (0 none)
    JXIGMP_PORT_CAC_GET = 51,            // i port, o limit, o groups
    JXIGMP_ACL_ADD = 52,                 // t name
    JXIGMP_ACL_DEL = 53,                 // t name
    JXIGMP_ACL_GET = 54,                 // i index, T name
    JXIGMP_ACL_RENAME = 55,              // t name, t new name
    JXIGMP_ACL_RANGE_ADD = 56,           // t name, i vid, i first, i last
    JXIGMP_ACL_RANGE_DEL = 57,           // t name, i vid, i first, i last
    JXIGMP_ACL_RANGE_GET = 58,           // t name, i index, o vid, o first, o last
    JXIGMP_ACL_ATTACH = 59,              // i port, t name, i action (0 allow, 1 deny)
    JXIGMP_ACL_DETACH = 60,              // i port, t name
    JXIGMP_ACL_LIST = 61,                // i port, i index, T name, o action
    JXIGMP_TELEMETRY_ADD = 62,           // i port (0 all VLAN members), i vid
    JXIGMP_TELEMETRY_DEL = 63,           // i vid
    JXIGMP_MVR_ENABLE_SET = 64,          // i on
    JXIGMP_MVR_ENABLE_GET = 65,          // o on, o multicast VLANs, o map entries
    JXIGMP_MVR_MVLAN_ADD = 66,           // i vid
    JXIGMP_MVR_MVLAN_DEL = 67,           // i vid
    JXIGMP_MVR_MVLAN_GET = 68,           // i index, o vid
    JXIGMP_MVR_MVLAN_RANGE_ADD = 69,     // i vid, i first, i last
    JXIGMP_MVR_MVLAN_RANGE_DEL = 70,     // i vid, i first
    JXIGMP_MVR_MVLAN_RANGE_GET = 71,     // i vid, i index, o first, o last
    JXIGMP_MVR_PORT_ENABLE_SET = 72,     // i port, i on
    JXIGMP_MVR_PORT_ENABLE_GET = 73,     // i port, o on
    JXIGMP_MVR_PORT_MAP_ADD = 74,        // i port, i C-VID, i M-VID, i CoS (255 keep)
    JXIGMP_MVR_PORT_MAP_DEL = 75,        // i port, i C-VID, i M-VID
    JXIGMP_MVR_PORT_MAP_GET = 76,        // i port, i index, o C-VID, o M-VID, o CoS
    JXIGMP_IMPMM_ENABLE_SET = 77,        // i on
    JXIGMP_IMPMM_ENABLE_GET = 78,        // o on
    JXIGMP_IMPMM_PORT_ENABLE_SET = 79,   // i port, i on
    JXIGMP_IMPMM_PORT_ENABLE_GET = 80,   // i port, o on
    JXIGMP_IMPMM_PORT_SETTINGS_SET = 81, // i port, i remove outer tag, i copy outer type
    JXIGMP_IMPMM_PORT_SETTINGS_GET = 82, // i port, o remove outer tag, o copy outer type
    JXIGMP_SQ_STATE_SET = 83,            // i on, i port
    JXIGMP_SQ_STATE_GET = 84,            // o on, o port
    JXIGMP_SQ_PERIOD_SET = 85,           // i tenths
    JXIGMP_SQ_PERIOD_GET = 86,           // o tenths
    JXIGMP_SQ_MRT_SET = 87,              // i tenths
    JXIGMP_SQ_MRT_GET = 88,              // o tenths
    JXIGMP_STATIC_CLIENT_ADD = 89,       // i vid, i group
    JXIGMP_STATIC_CLIENT_DEL = 90,       // i vid, i group
    JXIGMP_STATIC_CLIENT_GET = 91,       // i index, o vid, o group
    JXIGMP_VLAN_PROXY_QI_SET = 92,       // i vid, i tenths
    JXIGMP_VLAN_PROXY_QI_GET = 93,       // i vid, o tenths
    JXIGMP_VLAN_PROXY_VERSION_SET = 94,  // i vid, i version
    JXIGMP_VLAN_PROXY_VERSION_GET = 95,  // i vid, o version, o upstream version
    JXIGMP_SYS_MNG_IP_SET = 96,          // i address
    JXIGMP_ACL_RANGE_DEL_ALL = 97,       // t name
    JXIGMP_CMDS = 98,
};
