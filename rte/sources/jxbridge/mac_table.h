// The bridge's MAC address table.
#pragma once

#include "kernel/types.h"

#include "bridge_log.h"
#include "jxbridge_ioctl.h"

struct jxbridge;
struct jxbridge_port;
struct kmem_cache;
struct mac_table;

#define MAC_TABLE_MAC_HASH 512
#define MAC_TABLE_MCAST_HASH 16
#define MAC_TABLE_MAX_SIZE 32768
#define MAC_TABLE_HOLD_TIME 300
#define MAC_TABLE_VLANS 4096
#define MAC_TABLE_NO_VID 4095
#define MAC_TABLE_ANY_VID 0xFFFF // every VLAN, where an operation takes a VID

// Sections and kinds of the delete operations.
#define MAC_TABLE_SECTION_UNICAST 0
#define MAC_TABLE_SECTION_MULTICAST 1
#define MAC_TABLE_SECTION_BOTH 2
#define MAC_TABLE_KIND_STATIC 0
#define MAC_TABLE_KIND_DYNAMIC 1
#define MAC_TABLE_KIND_ALL 2
// mac_table_lookup_entry's kinds.
#define MAC_TABLE_ENTRY_UNICAST 0
#define MAC_TABLE_ENTRY_MULTICAST 1

// Flow events the table reports, and the answer that keeps an aged entry.
#define MAC_TABLE_EV_PORT_DELETE 4
#define MAC_TABLE_EV_FLUSH_BEGIN 5
#define MAC_TABLE_EV_FLUSH_END 6
#define MAC_TABLE_EV_REMOVE 7
#define MAC_TABLE_EV_AGE 8
#define MAC_TABLE_AGE_KEEP 111

// Trace lines of the table's files, with the table's debug switch on.
#define MT_TRACE(mt, ...)                                                                          \
    do {                                                                                           \
        if (unlikely((mt)->debug))                                                                 \
            jxbridge_trace(__VA_ARGS__);                                                           \
    } while (0)
#define MAC_FMT "%02x:%02x:%02x:%02x:%02x:%02x"
#define MAC_ARGS(m) (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]

// Bucket links: the next entry, and the pointer that points at this entry.
struct mac_table_node {
    struct mac_table_node *next;
    struct mac_table_node **pprev;
};
void mac_table_link(struct mac_table_node **head, struct mac_table_node *n);
void mac_table_unlink(struct mac_table_node *n);
// The module-wide cache of multicast sources.
struct kmem_cache *mac_table_src_cache();

// Unicast entries, from the module-wide cache "mac_table". Multicast entries
// start with the same links, MAC and VID.
struct mac_table_entry {
    struct mac_table_node node;
    u8 mac[ETH_ALEN];
    u16 vid;
    s64 timestamp; // wall-clock seconds of the last learn, insert or refresh
    struct jxbridge_port *port;
    u8 is_static;
};
static_assert(sizeof(mac_table_entry) == 48);

// What the MAC source guard action is told: the entry found on another port.
struct mac_table_msg_violation {
    u8 mac[ETH_ALEN];
    u16 vid;
    struct jxbridge_port *port;
};
static_assert(sizeof(mac_table_msg_violation) == 16);
using mac_table_msg_fn = void (*)(struct jxbridge_port *port,
                                  struct mac_table_msg_violation *violation);

// One slot of the exact-match index beside the buckets: the (MAC, VID) key,
// its entry, and copies of the entry's port and timestamp, so that a frame's
// learning and look-up read one cache line each. Key 0 is a free slot. An
// entry's port and timestamp therefore change only through mac_table.cc.
struct mac_table_index_slot {
    u64 key;
    struct mac_table_entry *entry;
    struct jxbridge_port *port;
    s64 timestamp;
};
static_assert(sizeof(mac_table_index_slot) == 32);

struct mac_table {
    struct jxbridge *bridge;
    u32 debug;
    u32 hold_time; // seconds
    u32 max_size;
    u32 count;
    u32 mac_hash;
    u32 mcast_hash;
    struct jxbridge_timer *aging_timer; // handler mac_table_timer
    char mc_cache_name[36];
    struct kmem_cache *mc_cache;
    char mc_grp_cache_name[36];
    struct kmem_cache *mc_grp_cache;
    mac_table_msg_fn msg_callback;
    struct jxbridge_timer *msg_timer; // port recovery, once a second
    u32 port_security;
    u32 vlan_ignore[MAC_TABLE_VLANS / 32];
    struct mac_table_port *ports; // one per port slot of the bridge
    u32 num_ports;
    // Finds an entry without walking its bucket; holds every unicast entry.
    struct mac_table_index_slot *index;
    u32 index_mask;
    u32 index_used;
    // mac_hash + mcast_hash bucket heads: unicast first, then multicast.
    struct mac_table_node *hash[];
};

// Resets what all tables share, at module load.
void mac_table_module_init();
int mac_table_init(struct mac_table **out, struct jxbridge *bridge, u32 mac_hash, u32 mcast_hash,
                   u32 max_size, u32 hold_time);
void mac_table_deinit(struct mac_table **mt);

int mac_table_learn(struct mac_table *mt, struct jxbridge_port *port, const u8 *mac, u16 vid);
struct jxbridge_port *mac_table_lookup(struct mac_table *mt, const u8 *mac, u16 vid);
// A struct mac_table_entry for the unicast kind; the multicast entry otherwise.
void *mac_table_lookup_entry(struct mac_table *mt, int kind, const u8 *mac, u16 vid);
int mac_table_lookup_by_mac_port(struct mac_table *mt, const u8 *mac, u32 port_no,
                                 u8 *vlans /* 512 bytes */);
int mac_table_ioctl_insert(struct mac_table *mt, struct jxbridge_port *port, const u8 *mac, u16 vid,
                           u8 is_static, u8 skip_lookup);
int mac_table_ioctl_move_to_static(struct mac_table *mt, struct jxbridge_port *port);
int mac_table_delete_by_mac(struct mac_table *mt, const u8 *mac, u16 vid);
int mac_table_delete_by_port_section(struct mac_table *mt, struct jxbridge_port *port, u32 section,
                                     u32 kind);
int mac_table_delete_by_port(struct mac_table *mt, struct jxbridge_port *port, u32 section);
int mac_table_delete_by_port_and_vid(struct mac_table *mt, struct jxbridge_port *port, u16 vid,
                                     u32 section);
int mac_table_migrate_port_to_port(struct mac_table *mt, struct jxbridge_port *from,
                                   struct jxbridge_port *to, u32 section);
int mac_table_flush(struct mac_table *mt);
int mac_table_cleanup(struct mac_table *mt);
// 0 is refused with -EINVAL: a table must age.
int mac_table_set_aging(struct mac_table *mt, u32 seconds);
u32 mac_table_get_aging(struct mac_table *mt);
int mac_table_get_info(struct mac_table *mt, struct mt_info *out);
int mac_table_get_hash_entry(struct mac_table *mt, struct mt_hash_entry_request *req);
int mac_table_vlan_ignore_set(struct mac_table *mt, u16 vid, u32 on);
int mac_table_vlan_ignore_get(struct mac_table *mt, u16 vid, u32 *out);
int mac_table_vlan_ignore_clear(struct mac_table *mt);
int mac_table_fill(struct mac_table *mt);
int mac_table_set_debug(struct mac_table *mt, u32 value);

// Port security's share of counting entries; every insertion and removal
// passes here after the table's own size check.
int mac_table_port_security_inc(struct mac_table *mt, struct jxbridge_port *port, u16 vid,
                                const u8 *mac, u8 is_static, const char *caller);
void mac_table_port_security_dec(struct mac_table *mt, struct mac_table_entry *entry,
                                 const char *caller);
// The port's record; none for a port outside the table's slots.
struct mac_table_port *mac_table_port_of(struct mac_table *mt, const struct jxbridge_port *port);
int mac_table_port_security_set_global(struct mac_table *mt, u32 on);
u32 mac_table_port_security_get_global(struct mac_table *mt);
int mac_table_port_security_set_state(struct mac_table *mt, struct jxbridge_port *port, u32 on);
int mac_table_port_security_get_state(struct mac_table *mt, struct jxbridge_port *port, u32 *out);
int mac_table_port_security_set_limit(struct mac_table *mt, struct jxbridge_port *port,
                                      u32 is_static, u32 limit);
int mac_table_port_security_get_limit(struct mac_table *mt, struct jxbridge_port *port,
                                      u32 is_static, u32 *limit, u32 *count);
int mac_table_port_security_add_vlan_limit(struct mac_table *mt, struct jxbridge_port *port,
                                           u16 vid, u32 limit);
int mac_table_port_security_del_vlan_limit(struct mac_table *mt, struct jxbridge_port *port,
                                           u16 vid);
// The last violation: MAC, then VID (8 bytes).
int mac_table_port_security_get_violation(struct mac_table *mt, struct jxbridge_port *port,
                                          u8 *out);
int mac_table_port_security_test(struct mac_table *mt, const char *caller);
// The MAC source guard check on learning; 0 lets the address be learned.
int mac_table_mac_source_guard_check(struct mac_table *mt, struct jxbridge_port *port,
                                     const u8 *mac, u16 vid);
int mac_table_mac_source_guard_set_callback(struct mac_table *mt, mac_table_msg_fn action);
mac_table_msg_fn mac_table_mac_source_guard_get(struct mac_table *mt);
// The bridge core's action, which mac_table_init installs.
void mac_table_msg_action(struct jxbridge_port *port, struct mac_table_msg_violation *violation);
int mac_table_mac_source_guard_set_port(struct mac_table *mt, struct jxbridge_port *port, u32 on);
int mac_table_mac_source_guard_get_port(struct mac_table *mt, struct jxbridge_port *port, u32 *out);
int mac_table_mac_source_guard_get_port_data(struct mac_table *mt, struct jxbridge_port *port,
                                             struct msg_data_request *r);
int mac_table_mac_source_guard_get_port_recovery_data(struct mac_table *mt,
                                                      struct jxbridge_port *port,
                                                      struct msg_recovery_request *r);
// Multicast entries of the table's second region (mac_table_mcast.cc); the
// exported add and delete calls are in jxbridge_export.h. A port leaves the
// entries of one VID (MAC_TABLE_ANY_VID: of all), and the table drops them all.
void mac_table_mcast_del_port(struct mac_table *mt, struct jxbridge_port *port, u16 vid);
void mac_table_mcast_flush(struct mac_table *mt);
void mac_table_mcast_group_stats(struct mac_table *mt);
// The frames counted for the group a request names; 0 when there is none.
u32 mac_table_mcast_group_packets(struct mac_table *mt, const struct mt_mcast_ip_get_request *req);
int mac_table_mcast_get_entry(struct mac_table *mt, struct mt_mcast_entry_request *req);
// sources has room for req->size addresses.
int mac_table_mcast_get_ip(struct mac_table *mt, struct mt_mcast_ip_get_request *req, u32 *sources);
// What the pipeline asks of a multicast entry: its port list, and the members
// of its IPv4 groups that take a frame from saddr to daddr (network order;
// counted in the group's frame counter when count is set), in member order.
#define JXBRIDGE_MCAST_MEMBERS_MAX 64
struct mac_table_mcast_entry;
struct mac_table_mcast_entry *mac_table_mcast_lookup(struct mac_table *mt, const u8 *mac, u16 vid);
bool mac_table_mcast_has_groups(const struct mac_table_mcast_entry *entry);
int mac_table_mcast_members(struct mac_table_mcast_entry *entry, u32 saddr, u32 daddr, bool count,
                            struct jxbridge_port **out, int max);
struct jxbridge_port **mac_table_mcast_ports(struct mac_table_mcast_entry *entry);

// The control files (mac_table_proc.cc).
struct file_operations;
extern const struct file_operations mac_table_fops;
extern const struct file_operations mac_table_entries_fops;
