// What other modules (jxigmp_mod, jxmng_mod) and the line card's outside
// components call of the main module: its hooks, the frame control block,
// deferred timers, and bridges and ports by look-up. Everything else of the
// module is private (jxbridge.h).
//
// Thread safety: jxbridge_lock guards every bridge and port. Callers hold it
// around the look-ups, setters and forwarding calls below; the hooks are
// called by the module with it held. Frames handed to a function here are
// consumed by it.
#pragma once

#include "kernel/netdevice.h"
#include "kernel/skbuff.h"
#include "kernel/sync.h"
#include "kernel/time.h"
#include "kernel/types.h"

#include "bridge_log.h"

struct jxbridge;
struct jxbridge_port;

// Module-wide lock and switches.
extern struct mutex jxbridge_lock;
extern u32 jxbridge_dtrc;
extern struct mutex jxbridge_lock;
using jxbridge_frame_hook_fn = int (*)(struct sk_buff *skb);
using jxbridge_flow_hook_fn = int (*)(struct sk_buff *skb);
using jxbridge_flow_event_hook_fn = int (*)(int event, void *a1, void *a2, void *a3);
extern jxbridge_frame_hook_fn bridge_process_frame_hook;
extern jxbridge_flow_hook_fn jxbridge_flow_hook;
extern jxbridge_flow_event_hook_fn jxbridge_flow_event_hook;
void jxbridge_set_flow_hook(jxbridge_flow_hook_fn fn);
void jxbridge_set_flow_event_hook(jxbridge_flow_event_hook_fn fn);
// The first argument of the flow event hook; the values are fixed.
enum jxbridge_flow_event_code : int {
    JXBRIDGE_FEV_VLAN = 1,              // port or none, VID or 0
    JXBRIDGE_FEV_MCAST = 2,             // port or none, multicast record
    JXBRIDGE_FEV_QOS = 3,               // port or none
    JXBRIDGE_FEV_MAC_PORT_DELETE = 4,   // port, MAC, VID
    JXBRIDGE_FEV_MAC_FLUSH_BEGIN = 5,   //
    JXBRIDGE_FEV_MAC_FLUSH_END = 6,     //
    JXBRIDGE_FEV_MAC = 7,               // port, MAC, VID: learned, moved, deleted, aged
    JXBRIDGE_FEV_MAC_AGE = 8,           // port, MAC, VID; 111 keeps the entry
    JXBRIDGE_FEV_ACL_INSTALL = 9,       // ACL
    JXBRIDGE_FEV_ACL_REMOVE = 10,       // ACL
    JXBRIDGE_FEV_PORT = 11,             // port, or none for the bridge
    JXBRIDGE_FEV_PORTS_FULL = 12,       // the port that filled the bridge
    JXBRIDGE_FEV_IPSG_BINDING_DEL = 13, // port, MAC, VID
    JXBRIDGE_FEV_ACL_COUNTER_ADD = 15,  // none, counter record
    JXBRIDGE_FEV_ACL_COUNTER_ID = 16,   // none, counter id
    JXBRIDGE_FEV_ACL_COUNTER_DEL = 17,  // none, counter id
    JXBRIDGE_FEV_ACL_COUNTER_READ = 18, // none, counter id, value
    JXBRIDGE_FEV_ACL_COUNTER_INFO = 19, // counter data
    JXBRIDGE_FEV_PORT_REEVALUATE = 20,  // port
};

// The bridge's use of a frame's 48-byte control block. The first 32 bytes
// travel whole in the headers exchanged with the packet engine and the
// filter devices, so every position is fixed. TCIs are in network order;
// VID 0xFFF in a TCI means "no tag".
//
//   0 u16 received outer TCI      2 u16 received inner TCI
//   4 u16 current outer TCI       6 u16 current inner TCI
//   8 u32 free (ACL, QoS)        12 u16 copy sequence number (0 none)
//  14 u16 MVR target VID         16 u16 current port number (0xFFFF none)
//  18 u16 input port number      20 u8  "space" (low 7 bits)
//  21 u8  free                   22 u16 flags (JXBRIDGE_CB_F_*)
//  24 u8  flag byte (JXBRIDGE_CB_B_*)
//  25..35 free (ACL, QoS)        36 u16 VID learned under, host order
//  38..47 free
struct jxbridge_skb_cb {
    u16 rx_outer_tci;
    u16 rx_inner_tci;
    u16 outer_tci;
    u16 inner_tci;
    u8 engine8[4];
    u16 copy_seq;
    u16 mvr_vid;
    u16 port_no;
    u16 in_port_no;
    u8 space;
    u8 free21;
    u16 flags;
    u8 flag_byte;
    u8 engine25[11];
    u16 learned_vid;
    u8 free38[10];
};
static_assert(sizeof(jxbridge_skb_cb) == 48);
static_assert(offsetof(jxbridge_skb_cb, outer_tci) == 4);
static_assert(offsetof(jxbridge_skb_cb, copy_seq) == 12);
static_assert(offsetof(jxbridge_skb_cb, mvr_vid) == 14);
static_assert(offsetof(jxbridge_skb_cb, port_no) == 16);
static_assert(offsetof(jxbridge_skb_cb, in_port_no) == 18);
static_assert(offsetof(jxbridge_skb_cb, space) == 20);
static_assert(offsetof(jxbridge_skb_cb, flags) == 22);
static_assert(offsetof(jxbridge_skb_cb, flag_byte) == 24);
static_assert(offsetof(jxbridge_skb_cb, learned_vid) == 36);
#define JXBRIDGE_CB(skb) (reinterpret_cast<struct jxbridge_skb_cb *>((skb)->cb))
#define JXBRIDGE_NO_PORT 0xFFFF
#define JXBRIDGE_NO_VID 0xFFF
#define JXBRIDGE_CB_F_BYPASS_VLAN (1u << 0)
#define JXBRIDGE_CB_F_NO_LEARN (1u << 8)
#define JXBRIDGE_CB_F_INTERNAL (1u << 9)
#define JXBRIDGE_CB_F_COPY (1u << 11)
#define JXBRIDGE_CB_B_TO_LAG_MEMBER (1u << 0)
#define JXBRIDGE_CB_B_NO_L2CP (1u << 1)
#define JXBRIDGE_CB_B_NO_FLOW (1u << 2)
#define JXBRIDGE_CB_B_MVR (1u << 3) // cleared when a frame enters; MVR translation
#define JXBRIDGE_CB_B_LEARN_ONLY (1u << 5)
#define JXBRIDGE_CB_B_POLICER (1u << 6) // 33..35: the engine's policer id, its UCC and subport

// Deferred timers (bridge_timer.cc): a timer of a slot runs its callback in
// the bridge's timer pool thread, not in the timer's own context.
#define JXBRIDGE_TIMER_SLOTS 11
#define JXBRIDGE_TIMER_SLOT_MSG 0
#define JXBRIDGE_TIMER_SLOT_MAC_TABLE 2
#define JXBRIDGE_TIMER_SLOT_IGMP 9
#define JXBRIDGE_TIMER_SLOT_LED 10
struct jxbridge_timer;
using jxbridge_timer_fn = void (*)(struct jxbridge_timer *timer);
struct jxbridge_timer {
    struct timer_list timer;
    u32 deferred;
    u32 pending; // set on expiry, cleared by the pool thread (atomic access)
    void *data;
    jxbridge_timer_fn callback;
    struct jxbridge *bridge;
};
int jxbridge_timer_init(struct jxbridge *bridge, struct jxbridge_timer *timer,
                        jxbridge_timer_fn callback, void *data, int slot);
int jxbridge_mod_timer(struct jxbridge_timer *timer, unsigned long expires);
// Callable with jxbridge_lock held or not (other modules do both).
int jxbridge_del_timer_sync(struct jxbridge_timer *timer);
// The module's own form: the caller holds jxbridge_lock.
int jxbridge_del_timer_sync_locked(struct jxbridge_timer *timer);

// Text commands of control files: one line of a write (its length or a
// negative errno), its words, and numbers in decimal or "0x" hexadecimal.
long line_read(const char __user *ubuf, size_t count, char *line, size_t size);
int jxbridge_split(char *line, char **words, int max_words);
int a2num(const char *word, long long *out);

// Bridges.
struct jxbridge *jxbridge_find(const char *name);
u32 jxbridge_max_ports_get(struct jxbridge *bridge);
u16 jxbridge_outer_ethertype_get(struct jxbridge *bridge);
// The ifindex of the port whose BLL number replaces the input port of the
// frames the IGMP module takes (0: none), set by the bridge file's
// "igmp_input_dev <port|none>".
int jxbridge_input_dev_override_get(struct jxbridge *bridge);
// The bridge's multicast mode; the VLAN's has the same values (VLAN_MCAST_*).
enum jxbridge_mcast_mode : u32 {
    JXBRIDGE_MCAST_DISCARD = 0,
    JXBRIDGE_MCAST_FLOOD = 1,
    JXBRIDGE_MCAST_FORWARD = 2,       // by the VLAN's mode
    JXBRIDGE_MCAST_FORWARD_FLOOD = 3, // by the VLAN's mode
};
void jxbridge_mcast_mode_set(struct jxbridge *bridge, u32 mode);

// Ports.
// Port kinds; JXBRIDGE_PORT_ALL is a selector, never a stored kind.
enum jxbridge_port_kind : u32 {
    JXBRIDGE_PORT_UPLINK = 0,
    JXBRIDGE_PORT_ACCESS = 1,
    JXBRIDGE_PORT_ACCESS_PVC = 2,
    JXBRIDGE_PORT_PON_OLT = 3,
    JXBRIDGE_PORT_PON_ONU = 4,
    JXBRIDGE_PORT_PON_GEM = 5,
    JXBRIDGE_PORT_LOCAL = 6,
    JXBRIDGE_PORT_LAG = 7,
    JXBRIDGE_PORT_ALL = 8,
};
enum jxbridge_port_state : u32 {
    JXBRIDGE_STATE_OK = 0,
    JXBRIDGE_STATE_ERROR_DISABLED = 1,
    JXBRIDGE_STATE_KORV_DISABLED = 2,
    JXBRIDGE_STATE_ACS_DISABLED = 3,
};

// What another module may know of a port; -22 without a port or record.
struct jxbridge_port_info {
    struct net_device *dev;
    int bridge_ifindex;
    u32 port_no; // slot
    u32 bll_port_no;
    u32 kind;
    u32 ucc, subport;    // the packet engine's names of the port
    u16 outer_ethertype; // the bridge's S-tag TPID
};
int jxbridge_port_info_get(const struct jxbridge_port *port, struct jxbridge_port_info *out);
// A slot of -1 asks for the first free slot.
struct jxbridge_port *jxbridge_add_port(struct jxbridge *bridge, u32 slot, u32 bll,
                                        struct net_device *dev, u32 kind);
int jxbridge_del_port(struct jxbridge_port *port);
int jxbridge_get_port_by_name(struct jxbridge *bridge, const char *name,
                              struct jxbridge_port **out);
struct jxbridge_port *jxbridge_get_port_by_number(struct jxbridge *bridge, u32 slot);
struct jxbridge_port *jxbridge_get_bll_port(struct jxbridge *bridge, u32 bll);
struct jxbridge_port *get_jxbridge_port_from_bll_port_no(struct jxbridge *bridge, u32 bll);
int jxbridge_get_ports(struct jxbridge *bridge, struct jxbridge_port **out);
int jxbridge_set_port_mn_flag(struct jxbridge_port *port, u32 value);
int jxbridge_get_port_mn_flag(struct jxbridge_port *port);
// A management device dropped a frame of a port whose MN flag is clear.
void jxbridge_port_count_mn_drop(struct jxbridge_port *port);
int jxbridge_set_port_protected(struct jxbridge_port *port, u32 value);
int jxbridge_set_port_mvr(struct jxbridge_port *port, u32 value);
int jxbridge_port_state_set(struct jxbridge_port *port, u32 state);
int jxbridge_port_state_get(struct jxbridge_port *port, u32 *out);
void jxbridge_port_error_cause_remove(struct jxbridge_port *port, u32 causes);
void jxbridge_port_phy_state_set(struct net_device *dev, u32 state, u32 speed, u32 duplex);
// Frames: each of these consumes the frame it is given.
void jxbridge_process_frame_forward(struct jxbridge *bridge, struct sk_buff *skb,
                                    struct jxbridge_port *port);
void jxbridge_process_mcast(struct jxbridge_port *port, struct sk_buff *skb);
struct sk_buff *jxbridge_get_original_skb();
struct jxbridge_port *jxbridge_skb_get_jxbridge_port(struct sk_buff *skb);
struct jxbridge_port *jxbridge_skb_get_input_jxbridge_port(struct sk_buff *skb);
int jxbridge_skb_set_jxbridge_port(struct sk_buff *skb, struct jxbridge_port *port);
int jxbridge_skb_set_input_jxbridge_port(struct sk_buff *skb, struct jxbridge_port *port);
void jxbridge_forward(struct jxbridge_port *to, struct sk_buff *skb);
int jxbridge_forward_skb(struct sk_buff *skb, struct jxbridge_port *to);
void jxbridge_flood_forward(struct jxbridge *bridge, struct sk_buff *skb);
// list ends with a null pointer.
void jxbridge_forward_to_list(struct jxbridge *bridge, struct sk_buff *skb,
                              struct jxbridge_port **list);
void jxbridge_unqueued_xmit(struct sk_buff *skb);
int jxbridge_does_dev_transmit(struct jxbridge_port *port);
void jxbridge_mcast_drop(struct jxbridge_port *port, struct sk_buff *skb);

// PON: a GEM of an OLT device bound to a PON/GEM port (vid: a multicast
// GEM's VLAN), and a VLAN's multicast GEM (99998 none, 99999 the default).
int jxbridge_pon_gem_set(struct jxbridge_port *port, const char *olt_name, u32 gem, u32 vid,
                         u32 onu_id);
int jxbridge_pon_vlan_mcast_gem_set(struct jxbridge *bridge, u32 vid, u32 gem);

// Application filters: a consumer's callback takes the frames of its kind.
struct app_filter_set;
struct app_filter_set *jxbridge_app_filter_set(struct jxbridge *bridge);
int app_filter_register(struct app_filter_set *set, const char *kind, const char *device,
                        int (*callback)(struct sk_buff *skb));
int app_filter_unregister(struct app_filter_set *set, const char *kind);

// The VLAN engine's per-VLAN multicast mode (VLAN_MCAST_*: the bridge's
// modes) and the MVR egress remark rules of a port.
#define VLAN_MCAST_DISCARD 0
#define VLAN_MCAST_FLOOD 1
#define VLAN_MCAST_FORWARD 2
#define VLAN_MCAST_FORWARD_FLOOD 3
// An MVR remark rule, stored whole and exchanged whole with the IGMP module
// and the tools: IPv4 addresses are host-order numbers, IPv6 network order.
struct vlan_mvr_rule {
    u16 cvlan;
    u16 mvlan;
    u32 family; // AF_INET 2, AF_INET6 10
    union {
        struct {
            u32 first;
            u32 last;
            u8 unused[24];
        } v4;
        struct {
            u8 first[16];
            u8 last[16];
        } v6;
    };
};
static_assert(sizeof(vlan_mvr_rule) == 40);
static_assert(offsetof(vlan_mvr_rule, v4.last) == 12);
static_assert(offsetof(vlan_mvr_rule, v6.last) == 24);
struct vlan_data;
struct vlan_data *jxbridge_vlan_data(struct jxbridge *bridge);
void vlan_mcast_mode_set(struct vlan_data *vlan, u16 vid, u32 mode);
int vlan_mcast_mode_get(struct vlan_data *vlan, u16 vid, u32 *mode);
int vlan_add_port_mvr_remark(struct vlan_data *vlan, struct jxbridge_port *port,
                             const struct vlan_mvr_rule *rule);
int vlan_del_port_mvr_remark(struct vlan_data *vlan, struct jxbridge_port *port,
                             const struct vlan_mvr_rule *rule);

// Multicast forwarding entries of a bridge's MAC table, as the IGMP module
// programs them (under jxbridge_lock): a port joins a group MAC, then sets its
// IPv4 source filter (mode 0 INCLUDE, else EXCLUDE; sources in network order);
// leaving is the reverse. 0 or a negative errno.
struct mac_table;
struct mac_table *jxbridge_mac_table(struct jxbridge *bridge);
int mac_table_mcast_add_mac(struct mac_table *mt, const u8 *mac, u16 vid,
                            struct jxbridge_port *port);
int mac_table_mcast_del_mac(struct mac_table *mt, const u8 *mac, u16 vid,
                            struct jxbridge_port *port);
int mac_table_mcast_add_ip(struct mac_table *mt, u32 group, u16 vid, struct jxbridge_port *port,
                           u32 mode, u32 n, const u32 *sources);
int mac_table_mcast_del_ip(struct mac_table *mt, u32 group, u16 vid, struct jxbridge_port *port);

// Frames exchanged with filter devices and modules carry this header in front
// of the Ethernet frame (integers in host order). On delivery the output
// fields (54, 90) are zero; on transmit they say where the frame goes.
#define APP_FRAME_INFO_LEN 107
#define APP_FI_F_TRACE 0x80    // flag byte: trace this frame
#define APP_FI_F_LOCKED 0x40   // the sender holds jxbridge_lock
#define APP_FI_F_FWD_LIST 0x10 // the payload is a forward list, not a frame
struct app_frame_info {
    u8 cb[48];           // the frame's jxbridge_skb_cb; GEM id at 8, flags at 24
    u32 total_len;       // header and frame
    u16 bll_port_no;     // the frame's port (transmit: the port it appears to come from)
    u16 out_bll_port_no; // transmit: the output port; 0 looks the destination up
    u8 pad56[2];         //
    char rx_dev[16];     // the device it was received on
    char port_dev[16];   // the port's device, or its LAG master's while that is up
    char out_dev[16];    // transmit: a device to send to when the output port is unknown
    u8 reserved;         //
} __attribute__((packed));
static_assert(sizeof(app_frame_info) == APP_FRAME_INFO_LEN);
static_assert(offsetof(app_frame_info, total_len) == 48);
static_assert(offsetof(app_frame_info, bll_port_no) == 52);
static_assert(offsetof(app_frame_info, out_bll_port_no) == 54);
static_assert(offsetof(app_frame_info, rx_dev) == 58);
static_assert(offsetof(app_frame_info, port_dev) == 74);
static_assert(offsetof(app_frame_info, out_dev) == 90);
#define APP_FI_GEM_OFFSET 8
#define APP_FI_FLAGS_OFFSET 24
// Reads the header at the front of buf: 0, or -22 when len is too short for
// it. The name fields come out terminated.
int app_frame_info_decode(const void *buf, size_t len, struct app_frame_info *out);
void app_frame_info_encode(const struct app_frame_info *info, void *buf);
// A forward list (the payload of a frame with APP_FI_F_FWD_LIST): a u32
// count N, then N u16 BLL port numbers, in (N + 3) * 2 bytes.
inline u64 app_fwd_list_size(u64 n) {
    return (n + 3) * 2;
}
// Writes the list into buf: its size, or 0 when cap cannot hold it.
size_t app_fwd_list_encode(void *buf, size_t cap, const u16 *ports, u32 n);
// The count of the list in payload, or -22 when len cannot hold the list it
// announces (checked without overflow).
long app_fwd_list_decode(const void *payload, size_t len);
u16 app_fwd_list_entry(const void *payload, u32 index);

// Puts the header in front of the frame (filled from the frame and its port):
// the frame, or null when no room could be made (the frame is then freed).
struct sk_buff *app_filter_skb_add_info(struct sk_buff *skb);
// Sends a frame with its header into the bridge of dev, a filter device.
// Consumes the frame; always 0.
int jxbridge_app_filter_xmit(struct sk_buff *skb, struct net_device *dev);
