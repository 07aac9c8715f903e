// The main module's shared records and module-wide names.
#pragma once

#include "kernel/io.h"
#include "kernel/module.h"
#include "kernel/netdevice.h"
#include "kernel/printk.h"
#include "kernel/proc_fs.h"
#include "kernel/sched.h"
#include "kernel/skbuff.h"
#include "kernel/slab.h"
#include "kernel/sync.h"
#include "kernel/time.h"
#include "kernel/types.h"
#include "kernel/uaccess.h"

#include "bridge_log.h"
#include "jxbridge_export.h"
#include "bridge_vlan.h"
#include "jxbridge_ioctl.h"
#include "mac_table.h"

#define JXBRIDGE_API_VERSION 56
#define JXBRIDGE_PROC_ROOT "jxbridge"
#define JXBRIDGE_LINE_MAX 150 // command buffer: 149 bytes and the terminator
#define JXBRIDGE_BLL_MAP_SIZE 24617
#define JXBRIDGE_PORT_NAME_LEN 17
#define JXBRIDGE_SUBSYS_MAX 32

// Module parameters.
extern int debug;
extern int ioctl_debug;
extern int unknown_to_kernel;
extern int default_output_size;
extern int ipsg_debug;
extern int acl_debug;
extern int acl_default_pass;
extern int vlan_debug;
extern int mac_table_debug;
extern int app_filter_debug;
extern int rmirroring_debug;
extern int qos_debug;
extern int qos_default_pass;
extern int tal_debug;
extern int pon_debug;
extern int max_olt;
extern int gems_per_olt;
extern int mcast_gems_start;
extern int mcast_gems_end;
extern int threaded_node;
extern unsigned int threaded_max;
extern unsigned int threaded_appflt_max;

// Module-wide switches and exported hooks.
extern u32 jxbridge_threaded_debug;
extern u32 shelf;
extern struct proc_dir_entry *jxbridge_proc_root;

// One allocation function for the module: zeroed, never sleeps, logs failures.
void *jxbridge_alloc(size_t size, const char *file, int line);
#define jxbridge_zalloc(size) jxbridge_alloc((size), __FILE__, __LINE__)

// Named values of the data path. The flow event codes and the modes cross
// to the flow manager and the tools as numbers: the values are fixed.
enum jxbridge_switching_mode : u32 {
    JXBRIDGE_SWITCHING_NORMAL = 0, // "normal bridge"
    JXBRIDGE_SWITCHING_CORD = 1,   // "CORD vSwitch": downstream traps through ont0
    JXBRIDGE_SWITCHING_ACL_FW = 2, // "CORD ACL FW": the ACL forwards every frame
};
enum jxbridge_pvc_mode : u32 {
    JXBRIDGE_PVC_NONE = 0,
    JXBRIDGE_PVC_MASTER = 1,
    JXBRIDGE_PVC_SLAVE = 2,
};
#define JXBRIDGE_PVC_NO_QUEUE 0xFF // the driver's queue number of a frame it could not place

// Why the data path gave a frame up: one row per reason {name, side, port
// counter, extra port counter, bridge counters}. Side RX counts rx_discard
// and the counter on the port and, by the LAG rule, on the member the frame
// came in on; TX counts tx_discard and the counter on the egress port; NONE
// frees the frame uncounted. The extra counter is the port's only; the
// bridge counters are JXBRIDGE_DC_* bits.
#define JXBRIDGE_DC_RX_DROPPED (1u << 0)
#define JXBRIDGE_DC_TX_DROPPED (1u << 1)
#define JXBRIDGE_DC_TX_ABORTED (1u << 2)
#define JXBRIDGE_DC_ACL (1u << 3)
#define JXBRIDGE_DC_IPSG (1u << 4)
#define JXBRIDGE_DC_QOS (1u << 5)
#define JXBRIDGE_DC_GEM_MISSED (1u << 6) // the OLT port's missed GEM look-ups
#define JXBRIDGE_DC_FLOW_OFFER (1u << 7) // offered to the flow manager before it goes
using jxbridge_pc = jxbridge_port_counters;
#define JXBRIDGE_DROP_REASONS(X)                                                                   \
    X(NOT_BRIDGED, NONE, nullptr, nullptr, 0)                                                      \
    X(BRIDGE_DOWN, RX, &jxbridge_pc::drop_bridge_down, nullptr, 0)                                 \
    X(NO_GEM, NONE, nullptr, nullptr, JXBRIDGE_DC_GEM_MISSED)                                      \
    X(LINE_DISCONNECTED, RX, &jxbridge_pc::drop_line_disconnected, nullptr, 0)                     \
    X(PVC_INVALID_QUEUE, RX, &jxbridge_pc::drop_pvc_invalid_queue, nullptr, 0)                     \
    X(PVC_NOT_FOUND, RX, &jxbridge_pc::drop_pvc_not_found, nullptr, 0)                             \
    X(ADMIN_DISABLED, RX, &jxbridge_pc::drop_admin_disabled, nullptr, 0)                           \
    X(ACL_FW_UNMATCHED, NONE, nullptr, nullptr, 0)                                                 \
    X(RMIRRORING_BLOCKED, RX, &jxbridge_pc::drop_rmirroring_blocked, nullptr,                      \
      JXBRIDGE_DC_RX_DROPPED)                                                                      \
    X(PORT_STATE, RX, &jxbridge_pc::mac_source_guard_violations, nullptr, JXBRIDGE_DC_RX_DROPPED)  \
    X(PORT_ERROR_DISABLED, RX, &jxbridge_pc::mac_source_guard_violations,                          \
      &jxbridge_pc::mac_source_guard_error_disabled, JXBRIDGE_DC_RX_DROPPED)                       \
    X(TAL, RX, &jxbridge_pc::drop_tal, nullptr, JXBRIDGE_DC_RX_DROPPED)                            \
    X(VLAN_INGRESS, RX, nullptr, nullptr, JXBRIDGE_DC_RX_DROPPED)                                  \
    X(ERPS, RX, &jxbridge_pc::drop_erps, nullptr, JXBRIDGE_DC_RX_DROPPED)                          \
    X(STP, RX, &jxbridge_pc::drop_stp, nullptr, JXBRIDGE_DC_RX_DROPPED)                            \
    X(IPSG, RX, &jxbridge_pc::drop_ipsg, nullptr, JXBRIDGE_DC_RX_DROPPED | JXBRIDGE_DC_IPSG)       \
    X(ACL_INGRESS, RX, &jxbridge_pc::drop_acl_ingress, nullptr,                                    \
      JXBRIDGE_DC_RX_DROPPED | JXBRIDGE_DC_ACL)                                                    \
    X(QOS_INGRESS, RX, &jxbridge_pc::drop_qos_ds_ingress, nullptr,                                 \
      JXBRIDGE_DC_RX_DROPPED | JXBRIDGE_DC_QOS)                                                    \
    X(STP_LEARNING, RX, &jxbridge_pc::drop_stp, nullptr, JXBRIDGE_DC_RX_DROPPED)                   \
    X(STATIC_MAC, RX, &jxbridge_pc::drop_static_mac, nullptr, JXBRIDGE_DC_RX_DROPPED)              \
    X(MAC_LIMIT, RX, &jxbridge_pc::drop_mac_limit, nullptr, JXBRIDGE_DC_RX_DROPPED)                \
    X(STORM_DLF, RX, &jxbridge_pc::drop_storm_dlf, nullptr, 0)                                     \
    X(MCAST, RX, &jxbridge_pc::drop_mcast, nullptr,                                                \
      JXBRIDGE_DC_RX_DROPPED | JXBRIDGE_DC_FLOW_OFFER)                                             \
    X(PON_SENT, NONE, nullptr, nullptr, 0)                                                         \
    X(NO_EGRESS_PORT, NONE, nullptr, nullptr, 0)                                                   \
    X(EXCLUDED, NONE, nullptr, nullptr, 0)                                                         \
    X(TRAP_UNMATCHED, NONE, nullptr, nullptr, 0)                                                   \
    X(NOT_TRANSMITTING, NONE, nullptr, nullptr, 0)                                                 \
    X(RMIRRORING_DST, NONE, nullptr, nullptr, 0)                                                   \
    X(LAG_MASTER_UP, NONE, nullptr, nullptr, 0)                                                    \
    X(SAME_LAG, NONE, nullptr, nullptr, 0)                                                         \
    X(TO_INCOMING, NONE, nullptr, nullptr, 0)                                                      \
    X(PROTECTED, TX, &jxbridge_pc::drop_tx_protected_port, nullptr, 0)                             \
    X(TAL_EGRESS, TX, nullptr, nullptr, JXBRIDGE_DC_TX_DROPPED)                                    \
    X(QOS_EGRESS, TX, &jxbridge_pc::drop_qos_ds_egress, nullptr,                                   \
      JXBRIDGE_DC_TX_DROPPED | JXBRIDGE_DC_TX_ABORTED)                                             \
    X(ACL_EGRESS, TX, &jxbridge_pc::drop_acl_egress, nullptr,                                      \
      JXBRIDGE_DC_TX_DROPPED | JXBRIDGE_DC_TX_ABORTED)                                             \
    X(ERPS_EGRESS, TX, &jxbridge_pc::drop_erps, nullptr, JXBRIDGE_DC_TX_DROPPED)                   \
    X(STP_EGRESS, TX, &jxbridge_pc::drop_stp, nullptr, JXBRIDGE_DC_TX_DROPPED)                     \
    X(VLAN_EGRESS, TX, nullptr, nullptr, JXBRIDGE_DC_TX_DROPPED | JXBRIDGE_DC_TX_ABORTED)          \
    X(TX_PORT_STATE, TX, nullptr, nullptr, JXBRIDGE_DC_TX_DROPPED)                                 \
    X(TX_ERROR_DISABLED, TX, &jxbridge_pc::mac_source_guard_error_disabled, nullptr,               \
      JXBRIDGE_DC_TX_DROPPED)                                                                      \
    X(MNG_FILTER, TX, nullptr, nullptr, JXBRIDGE_DC_TX_DROPPED | JXBRIDGE_DC_TX_ABORTED)           \
    X(PAD_FAILED, TX, nullptr, nullptr, JXBRIDGE_DC_TX_DROPPED)                                    \
    X(INTERNAL, NONE, nullptr, nullptr, 0)                                                         \
    X(PVC_MASTER_TX, TX, nullptr, nullptr, 0)                                                      \
    X(PVC_NO_MASTER, TX, nullptr, nullptr, 0)                                                      \
    X(NO_DRIVER, NONE, nullptr, nullptr, 0)                                                        \
    X(DRIVER_REFUSED, TX, nullptr, nullptr, 0)

// What a stage of the pipeline or of forwarding says of the frame it was given.
enum jxbridge_verdict : u32 {
    JXBRIDGE_PASS = 0, // go on to the next stage
    JXBRIDGE_TAKEN,    // consumed: forwarded, queued or kept by an engine
#define JXBRIDGE_DROP_ENUM(name, side, counter, extra, flags) JXBRIDGE_DROP_##name,
    JXBRIDGE_DROP_REASONS(JXBRIDGE_DROP_ENUM)
#undef JXBRIDGE_DROP_ENUM
        JXBRIDGE_VERDICTS
};
// Frees the frame (when still held) and counts why, on port (may be null)
// and, for a receive-side reason, on its LAG member.
void jxbridge_drop(struct jxbridge_port *port, struct jxbridge_port *member, struct sk_buff *skb,
                   enum jxbridge_verdict why);

// A bridge's timer pool (bridge_timer.cc).
struct jxbridge_timer_pool {
    struct task_struct *thread;
    struct mutex slots_lock; // guards slots and running against the pool thread
    struct jxbridge_timer *slots[JXBRIDGE_TIMER_SLOTS];
    struct jxbridge_timer *running; // the timer whose callback the pool runs now
    wait_queue_head_t done;         // a callback finished
};
int jxbridge_timer_pool_start(struct jxbridge *bridge);
void jxbridge_timer_pool_stop(struct jxbridge *bridge);

// The bridge record: the private area of the bridge's device.
struct jxbridge_port;
struct jxbridge {
    struct net_device *dev;
    struct net_device_stats stats;
    u32 max_ports;
    u16 num_ports;
    u16 ports_per_kind[9];
    u32 switching_mode;
    s32 *bll_map;
    u32 mcast_mode;
    int igmp_idev; // ifindex of the port IGMP frames are taken as received on; 0 none
    u32 ipsg_drops;
    u32 acl_drops;
    u32 qos_drops;
    u32 err_disable_enabled;
    u32 err_recovery_time;
    u32 err_disable_mask;
    u32 err_recovery_mask;
    struct jxbridge_timer_pool timer_pool;
    struct jxbridge_led *led;
    struct jxbridge_port *uplinks[4];
    struct jxbridge_port *local_port;
    struct jxbridge_port *ont0_port;
    struct net_device *trap_dev;
    struct proc_dir_entry *proc_dir;
    struct jxbridge_port **ports;
    struct jxbridge_tracer_state tracer;
    u16 outer_ethertype; // the S-tag TPID besides 0x8100
    u8 local_mac[6];
    u32 stp_enabled;
    u32 netlink_drops;
    struct app_filter_set *app_filters;
    struct mac_table *mac_table;
    struct vlan_data *vlan;
    struct acl_engine *acl;
    struct qos_classifier *qos;
    struct tal_data *tal;
    struct ipsg_data *ipsg;
    u32 pon_mcast_gem; // the multicast GEM chosen for the frame in flight
    struct pon_data *pon;
    struct oo_data *oo;
    struct rmirroring_data *rmirroring;
    struct pcap_data *pcap;
    struct jxbridge_log_reader *event_readers; // one per open of the event file
    struct proto_filter_set *proto_filters;
    u32 erps_enabled;
    u32 erps_debug;
    u32 erps_debug_mng;
    u32 subsys_up; // rows whose init ran (and files made), in table order
    struct jxbridge_tracer subsys_debug[JXBRIDGE_SUBSYS_MAX];
};

#define JXBRIDGE_CAUSE_MSG 0x1 // MAC source guard violation
#define JXBRIDGE_PHY_DOWN 0
#define JXBRIDGE_PHY_UP 1
#define JXBRIDGE_PVC_ENTRIES 8
#define JXBRIDGE_PVC_FREE 255
#define JXBRIDGE_NO_SUBPORT 0xFFFF

struct jxbridge_pvc_entry {
    u32 queue; // JXBRIDGE_PVC_FREE when unused
    struct jxbridge_port *slave;
};

struct jxbridge_port {
    struct jxbridge *bridge;
    struct net_device *dev;
    u32 kind;
    u32 port_no; // slot index
    u32 bll_port_no;
    char alias[16];
    char display_name[46];
    struct jxbridge_port_counters counters;
    u32 mn_flag;
    u32 is_protected;
    u32 state;
    u32 phy_state;
    u32 speed;
    u32 duplex;
    u32 error_causes;
    u64 cause_info; // MAC in the low six bytes, VID in the top 16 bits
    struct jxbridge_port *cause_port;
    u32 recovery_countdown;
    u8 mvr;
    u32 counters_clear_time;
    u8 rmirr_src_rx, rmirr_src_tx, rmirr_dst, rmirr_active_rx, rmirr_active_tx, rmirr_active_dst;
    u32 pvc_mode; // 0 none, 1 master, 2 slave
    u8 vpi, vci;
    struct jxbridge_pvc_entry pvc[JXBRIDGE_PVC_ENTRIES];
    struct jxbridge_port *pvc_master;
    u16 pvc_vp; // sub-interface number; 0xFFFF while unknown
    u32 ucc_subport;
    u32 ucc_index;
    u8 flow_byte;
    struct jxbridge_port *lag_master;
    bool made_promisc; // adding raised the device's promiscuity
    struct storm_port *storm;
    u32 stp_enabled;
    u32 *stp_states;   // per VID; made when first set
    u32 *erps_forward; // per VID: 1 forwarding, else discarding; none when not made
    u32 *erps_oper;    // per VID: 1 when ERPS runs on the VLAN
    u32 erps_vlans;    // VLANs whose operational state is 1
    u32 source_guard;  // MAC source guard switch
    u32 gem_id;        // PON/GEM binding
    u16 gem_vid;
    u32 onu_id;
    u8 lookup_mask;            // flow lookup fields the ACLs of the port use
    u8 lookup_mask_egress;     // the same for its egress ACLs
    u8 lookup_mask_debug;      // log changes of the masks
    struct pon_olt *olt;       // the OLT a PON/GEM port belongs to
    u32 gem_found, gem_missed; // an OLT port's GEM look-ups
};

const char *jxbridge_port_type2a(u32 kind);
const char *jxbridge_state2str(u32 state);
int jxbridge_str2state(const char *text);
// Calls the flow manager's event hook when one is installed; 0 otherwise.
int jxbridge_flow_event(int code, void *a1 = nullptr, void *a2 = nullptr, void *a3 = nullptr);

int jxbridge_add(const char *name, int max_ports);
int jxbridge_del(const char *name);
void jxbridge_cleanup();
struct jxbridge *jxbridge_find(const char *name);
int jxbridge_switching_mode_set(struct jxbridge *bridge, u32 mode);
int jxbridge_switching_mode_get(struct jxbridge *bridge, u32 *mode);

// The subsystems of a bridge (bridge_subsys.cc). Each engine declares its
// row in its own file; JXBRIDGE_SUBSYSTEMS lists the rows in the order a
// bridge is built. Creation runs init, then makes the row's files, and on a
// failure undoes the rows already done; removal takes every file away first
// (operations in flight finish), then runs fini backwards. Ports run
// port_init and port_fini the same way. A file without operations belongs to
// an engine not built here: it reads empty and refuses commands.
struct jxbridge_subsys_file {
    const char *name;
    umode_t mode;
    const struct file_operations *fops;
};
struct jxbridge_subsys {
    const char *tag; // "[%s] Unable to create ..."
    int (*init)(struct jxbridge *bridge);
    void (*fini)(struct jxbridge *bridge);
    int (*port_init)(struct jxbridge_port *port);
    void (*port_fini)(struct jxbridge_port *port);
    struct jxbridge_subsys_file files[2];
    // The engine's debug switch, which the frame tracer turns on for the
    // frames it follows; context is the bridge.
    void (*set_debug)(void *bridge, int on);
};
#define JXBRIDGE_SUBSYSTEMS(X)                                                                     \
    X(jxbridge_files_subsys)                                                                       \
    X(storm_subsys)                                                                                \
    X(stp_subsys)                                                                                  \
    X(acl_subsys)                                                                                  \
    X(vlan_subsys)                                                                                 \
    X(mac_table_subsys)                                                                            \
    X(qos_subsys)                                                                                  \
    X(ipsg_subsys)                                                                                 \
    X(tal_subsys)                                                                                  \
    X(rmirroring_subsys)                                                                           \
    X(pon_subsys)                                                                                  \
    X(jxbridge_tracer_subsys)                                                                      \
    X(pcap_subsys)                                                                                 \
    X(event_subsys)                                                                                \
    X(oo_subsys)                                                                                   \
    X(erps_subsys)                                                                                 \
    X(proto_filter_subsys)                                                                         \
    X(cfm_subsys)                                                                                  \
    X(jxbridge_led_subsys)                                                                         \
    X(app_filter_subsys)
#define JXBRIDGE_SUBSYS_DECLARE(row) extern const struct jxbridge_subsys row;
JXBRIDGE_SUBSYSTEMS(JXBRIDGE_SUBSYS_DECLARE)
// Builds the bridge's directory and every subsystem; undoes all on a failure.
int jxbridge_subsys_init(struct jxbridge *bridge);
// Takes every subsystem and the directory away; safe after a partial init.
void jxbridge_subsys_fini(struct jxbridge *bridge);
int jxbridge_subsys_port_init(struct jxbridge_port *port);
void jxbridge_subsys_port_fini(struct jxbridge_port *port);

// The LED engine (bridge_led.cc).
struct jxbridge_led;

// The same, saying why a port was refused: -34 slot out of range, -16 slot
// taken, -28 no free slot, -12 no memory, -22 a kind not added here, or the
// device's receive handler being taken.
int jxbridge_add_port_rc(struct jxbridge *bridge, u32 slot, u32 bll, struct net_device *dev,
                         u32 kind, struct jxbridge_port **out);
// Removes every port bound to dev, in every bridge (the device is going away).
void jxbridge_del_ports_of_dev(struct net_device *dev);
int jxbridge_rename_port(struct jxbridge *bridge, u32 bll, const char *alias);
void jxbridge_port_state_set_private(struct jxbridge_port *port, u32 state);
void jxbridge_port_error_state_set(struct jxbridge_port *port, u32 causes);
void jxbridge_port_msg_violation(struct jxbridge_port *port, const u8 *mac, u16 vid,
                                 struct jxbridge_port *from);
void jxbridge_port_recovery_tick(struct jxbridge *bridge);
void jxbridge_virtual_port_phy_state_set(struct jxbridge_port *port, u32 state);
int jxbridge_port_set_master(struct jxbridge_port *port, struct jxbridge_port *lag);
int jxbridge_port_del_master(struct jxbridge_port *port, struct jxbridge_port *lag);
int jxbridge_port_pvc_mode_set(struct jxbridge_port *port, u32 mode);
int jxbridge_port_pvc_mode_get(struct jxbridge_port *port, u32 *mode);
int jxbridge_port_vpi_vci_set(struct jxbridge_port *port, u8 vpi, u8 vci);
int jxbridge_port_vpi_vci_get(struct jxbridge_port *port, u8 *vpi, u8 *vci);
struct jxbridge_port *jxbridge_port_vpi_vci_find(struct jxbridge *bridge, struct net_device *dev,
                                                 u8 vpi, u8 vci);
int jxbridge_port_pvc_vp_set(struct jxbridge_port *port, u16 number);
int jxbridge_port_pvc_vp_get(struct jxbridge_port *port, u16 *number);
int jxbridge_port_pvc_set(struct jxbridge_port *master, u32 queue, struct jxbridge_port *slave);
int jxbridge_port_pvc_unset(struct jxbridge_port *master, u32 queue);
int jxbridge_port_pvc_get(struct jxbridge_port *master, u32 queue, struct jxbridge_port **out);
int jxbridge_get_port_counters(struct jxbridge *bridge, struct jxbridge_port *port, u32 selector,
                               struct jxbridge_port_counters *out);
void jxbridge_clear_port_counters(struct jxbridge *bridge, struct jxbridge_port *port);
void jxbridge_show_port_mn_flag(struct jxbridge *bridge);
void jxbridge_show_port_protected(struct jxbridge *bridge);
void jxbridge_show_lag(struct jxbridge *bridge);
void jxbridge_show_port_counters(struct jxbridge *bridge, struct jxbridge_port *port, u32 selector);
void jxbridge_log_counters(const struct jxbridge_port_counters *counters);
// The packet engine's statistics of a UCC subport: its drop counters (policers,
// ONU, queues, storm limits), the rest zero. 0 with all zero when the engine
// is absent; its error when the engine fails the read.
int bridge_tarn_statistics_get(u32 ucc, u32 subport, struct jxbridge_port_counters *out);
// Zeroes those the mask names (all: ~0u).
#define JXBRIDGE_TARN_STORM_MCAST (1u << 4)
#define JXBRIDGE_TARN_STORM_BCAST (1u << 5)
void bridge_tarn_statistics_clear(u32 ucc, u32 subport, u32 mask);

// Storm control (bridge_storm.cc). Operations on another class return 1.
#define STORM_BCAST 0
#define STORM_MCAST 1
#define STORM_DLF 2
struct storm_port;
int storm_enable_set(struct jxbridge *bridge, u32 cls, struct jxbridge_port *port, u32 value);
int storm_enable_get(struct jxbridge *bridge, u32 cls, struct jxbridge_port *port, u32 *out);
int storm_rate_set(struct jxbridge *bridge, u32 cls, struct jxbridge_port *port, u32 rate);
int storm_rate_get(struct jxbridge *bridge, u32 cls, struct jxbridge_port *port, u32 *out);
// 1 when a frame of the class may pass, 0 when it is dropped (and counted).
int storm_check_rate(struct jxbridge *bridge, u32 cls, struct jxbridge_port *port);
int storm_drop_frames_get(struct jxbridge *bridge, u32 cls, struct jxbridge_port *port, u32 *out);
int storm_drop_frames_reset(struct jxbridge *bridge, u32 cls, struct jxbridge_port *port);
int storm_time_last_clear_get(struct jxbridge *bridge, u32 cls, struct jxbridge_port *port,
                              u32 *out);
void storm_show(struct jxbridge *bridge);
// Programs the port's broadcast and multicast limits into the packet engine
// (0 where control is off); 0 for a port without an engine binding, 1 when
// the engine is missing or refuses.
int bridge_tarn_storm_update(struct jxbridge_port *port);

// Spanning-tree states (bridge_stp.cc).
#define JXBRIDGE_STP_DISCARDING 0
#define JXBRIDGE_STP_LEARNING 1
#define JXBRIDGE_STP_FORWARDING 2
#define JXBRIDGE_STP_VLANS 4096
#define JXBRIDGE_STP_ALL_VLANS 4096 // a VID that names every VLAN
int stp_oper_state_set(struct jxbridge *bridge, u32 on);
int stp_port_oper_state_set(struct jxbridge_port *port, u32 on);
int stp_port_state_set(struct jxbridge_port *port, u32 vid, u32 state);
u32 stp_port_state_get(struct jxbridge_port *port, u32 vid);

// Application filters (bridge_app_filter.cc).
int app_filter_set_debug(struct app_filter_set *set, u32 value);
// The name of row index of the filter kinds; -2 past the end.
int app_filter_entry_get(u32 index, const char **name);
// The transmit operation of a filter device; consumes the frame.
int app_filter_xmit(struct sk_buff *skb, struct net_device *dev);
// dev is going away: its registrations go first.
void app_filter_dev_gone(struct net_device *dev);
// Frees detached filter devices old enough, or all (module exit).
void app_filter_retired_reap(bool all);

// Packet types the pipeline gives a frame.
#define JXBRIDGE_PKT_BCAST 1
#define JXBRIDGE_PKT_MCAST 2
#define JXBRIDGE_PKT_DLF 3 // unicast to an unknown station
#define JXBRIDGE_PKT_UCAST 4

// The pipeline (bridge_input.cc) and forwarding (bridge_forward.cc).
// A drop counted on the port (rx_discard and counter, which may be null) and,
// when the port is a LAG, on the member it came in on.
void jxbridge_count_drop(struct jxbridge_port *port, struct jxbridge_port *input,
                         u32 jxbridge_port_counters::*counter);
// The bridge's port of a control-block port number, or none.
inline struct jxbridge_port *jxbridge_port_at(struct jxbridge *bridge, u16 number) {
    return number < bridge->max_ports ? bridge->ports[number] : nullptr;
}
extern u32 jxbridge_mng_traffic_filter;
// Marks copy as a copy of orig, numbering orig from counter when it has no number.
void jxbridge_skb_mark_copy(struct sk_buff *orig, struct sk_buff *copy, u16 *counter);
// Sends the mirror copies of the active sessions; from is the frame to copy.
void jxbridge_mirror(struct jxbridge *bridge, struct jxbridge_port *port, struct sk_buff *orig,
                     struct sk_buff *from, int egress, u16 *counter);
extern const struct net_device_ops jxbridge_dev_ops;

// Engines the pipeline and forwarding call, each owning its per-bridge
// state. A stage returns the frame, or nothing when it took or dropped it.
struct acl_engine;
struct qos_classifier;
struct tal_data;
struct ipsg_data;
struct pon_olt;
struct sk_buff *acl_skb(struct acl_engine *acl, struct sk_buff *skb, int ingress);
struct sk_buff *acl_skb_port(struct acl_engine *acl, struct jxbridge_port *port,
                             struct sk_buff *skb, int ingress);
void acl_default_action_list_switching_mode_update(struct acl_engine *acl);
// Queues a copy of the text for every reader of the bridge's event file:
// 0, or -12 when a copy could not be made. Caller holds jxbridge_lock.
int event_add(struct jxbridge *bridge, const char *text);
int jxbridge_event_post(struct jxbridge *bridge, const char *text);
// The CFM fault channel (netlink protocol 31) and the engine's error callback.
int cfm_netlink_init();
void cfm_netlink_fini();
void tarnErpsCcmRxErrorNotification(int ucc, int vlan, int rx_error, int rx_error_state);
// OpenOLT multicast groups: the GEM of each OLT member (0 none).
#define OO_MCAST_MEMBERS 32
struct oo_mcast_group {
    u32 gem[OO_MCAST_MEMBERS];
};
int oo_mcast_group_get(struct jxbridge *bridge, u32 id, struct oo_mcast_group *out);
struct jxbridge_port *oo_gem_port_get(struct jxbridge *bridge, u32 olt, u32 gem);
// The management ACLs follow the switching mode and the management and uplink ports.
void oo_mng_acl_update(struct jxbridge *bridge);
bool qos_ds_enabled(struct qos_classifier *classifier);
struct sk_buff *qos_ds_skb(struct qos_classifier *classifier, struct sk_buff *skb, int ingress);
int qos_get_gem_priority_oo(struct jxbridge *bridge, u32 olt, u32 gem, u8 *out);
// The packet engine follows a port's binding: all its QoS values when it
// gains one; its queues disabled (pre) and withdrawn before it loses it.
void qos_tarn_port_add(struct jxbridge_port *port);
void qos_tarn_port_del_pre(struct jxbridge_port *port);
void qos_tarn_port_del(struct jxbridge_port *port);
// The multicast GEM's queue on every OLT of the bridge gets the top priority.
void qos_tarn_mcast_gem_priority_set(struct jxbridge *bridge, u32 gem);
// The default QoS rules of the switching modes with a controller.
void qos_switching_mode_set(struct jxbridge *bridge, u32 mode);
struct sk_buff *tal_skb(struct tal_data *tal, struct sk_buff *skb);
struct sk_buff *tal_skb_egress(struct tal_data *tal, struct sk_buff *skb);
struct sk_buff *ipsg_skb(struct ipsg_data *ipsg, struct sk_buff *skb, int ingress);
// Protocol PDU filters: non-zero when the filter took the frame.
int erps_filter_apply(struct jxbridge *bridge, struct sk_buff *skb);
int efm_filter_apply(struct jxbridge *bridge, struct sk_buff *skb);
int stp_filter_apply(struct jxbridge *bridge, struct sk_buff *skb);
int lacp_filter_apply(struct jxbridge *bridge, struct sk_buff *skb);
int synce_filter_apply(struct jxbridge *bridge, struct jxbridge_port *input, struct sk_buff *skb);
int ptp_filter_apply(struct jxbridge *bridge, struct jxbridge_port *input, struct sk_buff *skb);
// The ring gate of the frame's VLAN on a port (bridge_erps.cc). Inline: most
// bridges run no ring, and their frames skip the call.
struct sk_buff *erps_gate_frame(struct jxbridge_port *port, struct sk_buff *skb);
inline struct sk_buff *erps_process_frame(struct jxbridge_port *port, struct sk_buff *skb, int) {
    return port->bridge->erps_enabled ? erps_gate_frame(port, skb) : skb;
}
// The protocol filters, in the order the pipeline asks them
// (bridge_proto_filter.cc): each delivers the PDUs it matches on a filter
// device of its bridge, and sends what a daemon writes there out of the
// port the header names.
enum proto_filter_id { PF_ERPS, PF_EFM, PF_STP, PF_SYNCE, PF_LACP, PF_COUNT };
struct proto_filter_set;
// Non-zero when the filter took the frame (delivered, or gone on the way).
// input is the physical port the frame came in on.
int proto_filter_apply(struct jxbridge *bridge, enum proto_filter_id id,
                       struct jxbridge_port *input, struct sk_buff *skb);
// The frame's first bytes, before any tag; len is what the frame has.
bool erps_filter_match(const u8 *f, u32 len);
bool stp_filter_match(const u8 *f, u32 len);
bool lacp_filter_match(const u8 *f, u32 len);
bool efm_filter_match(const u8 *f, u32 len);
bool synce_filter_match(const u8 *f, u32 len);
// The slow-protocols subtype of the frame, or -1 when it is none.
int proto_filter_slow_subtype(const u8 *f, u32 len);
// dev is going away: a filter on it lets it go.
void proto_filter_dev_gone(struct net_device *dev);
// The spanning-tree gate (bridge_stp.cc), inline for the same reason.
struct sk_buff *stp_gate_frame(struct jxbridge_port *port, struct sk_buff *skb, int ingress);
inline struct sk_buff *stp_process_frame(struct jxbridge_port *port, struct sk_buff *skb,
                                         int ingress) {
    return port->bridge->stp_enabled ? stp_gate_frame(port, skb, ingress) : skb;
}
// A mirror copy of the frame for the session, or nothing.
struct sk_buff *rmirroring_process_frame(struct jxbridge *bridge, struct jxbridge_port *port,
                                         struct sk_buff *skb, int session, int egress);
int rmirroring_is_mirrored_skb(struct jxbridge *bridge, struct sk_buff *skb);
#define RMIRRORING_SESSIONS 4
void jxbridge_pcap_frame(struct jxbridge *bridge, struct sk_buff *skb);
// 0: not taken; 1: taken; -1: the frame is gone.
int app_filter_apply(struct app_filter_set *set, struct sk_buff *skb);
#define JXBRIDGE_PON_NO_MCAST_GEM 99998
struct jxbridge_port *jxbridge_get_port_by_gem(struct net_device *olt_dev, u32 gem);
u32 jxbridge_pon_mcast_fwd_init(struct jxbridge *bridge, u16 vid);
int jxbridge_pon_mcast_fwd_should_send(struct jxbridge_port *port);
void jxbridge_pon_mcast_fwd_sent(struct jxbridge_port *port);
int jxbridge_pon_olt_line_up(struct pon_olt *olt);
// PON OLTs and GEM bindings (bridge_pon.cc). An OLT device's receive-handler
// data is its OLT's port record (kind PON/OLT), which no slot holds.
int jxbridge_pon_olt_add(struct jxbridge *bridge, struct net_device *dev);
// The device is going away: every bridge lets go of its OLT.
void jxbridge_pon_dev_gone(struct net_device *dev);
// The OLT device and number of a bound GEM port, for the read-outs.
const char *jxbridge_pon_port_olt(struct jxbridge_port *port, int *index);
// The port record of the bridge's OLT of that device name, or else of slot i.
struct jxbridge_port *jxbridge_pon_olt_port(struct jxbridge *bridge, const char *name, u32 i);
int jxbridge_pon_bridge_add(struct jxbridge *bridge, long long nr_olt);
void jxbridge_pon_bridge_del(struct jxbridge *bridge);
int pon_gem_add_private(struct jxbridge *bridge, const char *olt_name, long long gem,
                        struct jxbridge_port *port, u32 onu_id);
int pon_gem_del(struct jxbridge *bridge, const char *olt_name, long long gem);
int pon_vlan_mcast_gem_set(struct jxbridge *bridge, u32 vid, u32 gem);
int pon_olt_phystate_set(struct jxbridge *bridge, const char *name, u32 state);
long pon_olt_phystate_get(struct jxbridge *bridge, const char *name);
// The packet engine's UCC and subport of a GEM port: enable needs both set,
// disable both 65535 (-22 otherwise).
int bridge_tarn_ucc_subport_set(struct jxbridge_port *port, u32 ucc, u32 subport, int enable);

// The physical memory map debugging facility (bridge.cc).
int jxbridge_map_add(phys_addr_t addr, u32 len);
int jxbridge_map_del(phys_addr_t addr);
int jxbridge_map_read(phys_addr_t addr, u32 offs, u8 *value);
int jxbridge_map_write(phys_addr_t addr, u32 offs, u8 value);
void jxbridge_map_show(struct seq_file *m);
void jxbridge_map_clear();

// Threaded reception (bridge_input.cc).
struct jxbridge_q_t {
    struct task_struct *thread;
    u32 qman_pauses;
    u32 enabled;
    u32 overflow_drop;
    s32 work_interval;
    s32 sleep_interval;
    u32 forced_pause;
    spinlock_t lock;
    struct sk_buff *head, *tail;
    u32 current_len;
    u32 max;
    u32 total_rx;
    u32 total_tx;
    u32 drops;
    struct sk_buff *af_head, *af_tail;
    u32 af_current;
    u32 af_max;
    u32 af_total_rx;
    u32 af_total_tx;
    u32 af_drops;
};
extern struct jxbridge_q_t jxbridge_q;
int jxbridge_threaded_rx(struct sk_buff *skb);
// A filter that sends frames through the receive thread; its transmit
// operation owns the frame it is given.
struct jxbridge_af_filter {
    int (*xmit)(struct sk_buff *skb, struct jxbridge_af_filter *filter);
};
// Queues a frame a filter sends: 0 queued, 1 dropped (and freed).
int jxbridge_threaded_af_rx(struct sk_buff *skb, struct jxbridge_af_filter *filter);
int jxbridge_threaded_init();
void jxbridge_threaded_fini();
int jxbridge_qman_force_stop_dequeues();
void jxbridge_q_purge(struct jxbridge *bridge, struct net_device *dev);
int jxbridge_qman_force_start_dequeues();
int jxbridge_process_frame(struct sk_buff *skb);
int jxbridge_notifier_register();
void jxbridge_notifier_unregister();
void jxbridge_unbind_driver_hooks();
// Looks an outside symbol up, asking the loader for it once when it is missing.
void *jxbridge_symbol_get(const char *name);

// User copies that release jxbridge_lock around the copy.
unsigned long jxbridge_copy_from_user(void *to, const void __user *from, unsigned long n);
unsigned long jxbridge_copy_to_user(void __user *to, const void *from, unsigned long n);

// Control files (bridge_proc.cc).
int jxbridge_proc_init();
int jxbridge_proc_fini();
void jxbridge_proc_root_remove();
// The placeholder operations of a file whose engine is not built here.
extern const struct file_operations jxbridge_placeholder_fops;

// Control-file commands are tables. A text command is a row {word, handler,
// help}: the framing reads one command per write (line_read), splits it on
// single blanks, takes jxbridge_lock, matches the first word, logs and calls
// the row; an empty line or a '#' comment succeeds without a call; "help"
// prints the rows' help lines in table order. An ioctl is a row {number,
// record, handler}: the framing copies the record in (never more than the
// row's size), calls the row, and copies it back when the row says so.
#define JXBRIDGE_PROC_WORDS 80

struct jxbridge_proc_cmd {
    const char *word;
    // words[0] is the command; the list ends with a null pointer. A null
    // handler is the file's "help".
    int (*handler)(struct jxbridge *bridge, char **words);
    const char *help; // its help lines; null: not listed
    u32 flags;
};
// A row without a word is never matched: it only continues the help.
#define JXBRIDGE_CMD_EXACT 0x1u     // the word matches with its case
#define JXBRIDGE_CMD_HELP_CALL 0x2u // its help lines start a new log call

struct jxbridge_proc_ioc {
    unsigned int cmd;
    u32 size;  // record bytes copied in and out; 0: the argument is a value
    u32 flags; // JXBRIDGE_IOC_*
    int line;  // where the row is written, for the call trace
    long (*handler)(struct jxbridge *bridge, unsigned int cmd, void *rec, unsigned long arg);
};
#define JXBRIDGE_IOC_IN 0x1u         // the record is copied in (-14 on failure)
#define JXBRIDGE_IOC_OUT 0x2u        // copied back on success (-14 on failure)
#define JXBRIDGE_IOC_OUT_EINVAL 0x6u // copied back on success (-22 on failure)
#define JXBRIDGE_IOC_NAME 0x8u       // the argument points to a name, read as a string
#define JXBRIDGE_IOC_IN_EINVAL 0x11u // copied in (-22 on failure)
#define JXBRIDGE_IOC_MAX_SIZE 1024u
// The record of a JXBRIDGE_IOC_NAME row.
struct jxbridge_proc_name {
    char name[JXBRIDGE_NAME_FIELD];
};

// Rows with a typed record: the handler takes the record's own type, and the
// size copied is the type's, or a shorter size the record starts with.
template <typename T, long (*fn)(struct jxbridge *, unsigned int, T *, unsigned long)>
long jxbridge_ioc_thunk(struct jxbridge *bridge, unsigned int cmd, void *rec, unsigned long arg) {
    return fn(bridge, cmd, static_cast<T *>(rec), arg);
}
template <long (*fn)(struct jxbridge *, unsigned int, unsigned long)>
long jxbridge_ioc_value_thunk(struct jxbridge *bridge, unsigned int cmd, void *,
                              unsigned long arg) {
    return fn(bridge, cmd, arg);
}
template <typename T, u32 size> constexpr u32 jxbridge_ioc_size() {
    static_assert(size > 0 && size <= sizeof(T) && size <= JXBRIDGE_IOC_MAX_SIZE);
    return size;
}
#define JXBRIDGE_IOC(cmd, type, flags, fn) JXBRIDGE_IOC_SIZE(cmd, type, sizeof(type), flags, fn)
#define JXBRIDGE_IOC_SIZE(cmd, type, size, flags, fn)                                              \
    { (cmd), jxbridge_ioc_size<type, (size)>(), (flags), __LINE__, jxbridge_ioc_thunk<type, fn> }
#define JXBRIDGE_IOC_VALUE(cmd, fn)                                                                \
    { (cmd), 0, 0, __LINE__, jxbridge_ioc_value_thunk<fn> }

enum jxbridge_proc_log {
    JXBRIDGE_PROC_LOG_CONFIG, // "[Bridge] IOCTL(c=0x%08x, d=0x%08x)@config"
    JXBRIDGE_PROC_LOG_NAMED,  // "[Bridge] IOCTL(c=%u, d=0x%08x) on [bridge]"
    JXBRIDGE_PROC_LOG_PLAIN,  // "[VLAN] IOCTL(%u, 0x%08x) on [vlan]"
    JXBRIDGE_PROC_LOG_NR,     // "[PON] IOCTL(%u/%x, 0x%08x) on [pon]": number, then command
};

struct jxbridge_proc_ops {
    const char *tag; // "Bridge" logs as "[Bridge] write(...)"
    enum jxbridge_proc_log log;
    // The file's own debug switch, read under jxbridge_lock; may be null.
    bool (*debug)(struct jxbridge *bridge);
    // Why the file cannot serve now (-19 without its engine); may be null.
    int (*check)(struct jxbridge *bridge);
    const struct jxbridge_proc_cmd *cmds;
    size_t n_cmds;
    const struct jxbridge_proc_ioc *iocs;
    size_t n_iocs;
    const char *trace; // the name a matched ioctl is traced with; may be null
    // Where help and refusals are said: the log when null.
    int (*say)(const char *fmt, ...);
    const char *unknown; // said with the word of an unknown command; may be null
};
#define JXBRIDGE_PROC_TABLE(t) (t), ARRAY_SIZE(t)

struct jxbridge *jxbridge_proc_bridge(struct file *file);
// The port a command names: a device name, or a decimal BLL number. -19 when
// there is none. The field form reads a 17-byte record field, terminated in a
// copy so the record goes back as it came.
int jxbridge_proc_port(struct jxbridge *bridge, const char *word, struct jxbridge_port **out);
int jxbridge_proc_port_field(struct jxbridge *bridge, const char *field,
                             struct jxbridge_port **out);
ssize_t jxbridge_proc_write(struct file *file, const char __user *buf, size_t count,
                            const struct jxbridge_proc_ops *ops);
long jxbridge_proc_ioctl(struct file *file, unsigned int cmd, unsigned long arg,
                         const struct jxbridge_proc_ops *ops);
// The operations of a table-driven control file: show gives the read-out,
// writes and ioctls go through ops.
template <int (*show)(struct seq_file *, void *), const struct jxbridge_proc_ops *ops>
struct jxbridge_proc_file {
    static int open(struct inode *inode, struct file *file) {
        return single_open(file, show, PDE_DATA(inode));
    }
    static ssize_t write(struct file *file, const char __user *buf, size_t count, loff_t *) {
        return jxbridge_proc_write(file, buf, count, ops);
    }
    static long ioctl(struct file *file, unsigned int cmd, unsigned long arg) {
        return jxbridge_proc_ioctl(file, cmd, arg, ops);
    }
    static constexpr struct file_operations fops = {
        .open = open,
        .read = seq_read,
        .write = write,
        .unlocked_ioctl = ioctl,
        .llseek = seq_lseek,
        .release = single_release,
    };
};

// Text parsing (bridge_util.cc). Word parsers return 0 or a negative errno.
long line_read(const char __user *ubuf, size_t count, char *line, size_t size);
int jxbridge_split(char *line, char **words, int max_words);
int a2num(const char *word, long long *out);
// A command's number word: -ENOARG missing, -EINVAL not a number in 0..2^32-1.
int word_u32(const char *word, u32 *out);
int a2vid(const char *word, u16 *out);
int a2tag(const char *word, const char *name, u32 *out);
int a2cmp(const char *word);
int a2remark_dir(const char *word);
int a2bool(const char *word);
int a2addr(const char *word, u64 *out);
int parse_mac(const char *word, u8 *mac);
int parse_ipv4(const char *word, u32 *addr);
int parse_ipv6(const char *word, u8 *addr);
int parse_ip(const char *word, int *family, u8 *addr);
const char *int2onoff(int v);
const char *int2yesno(int v);
const char *int2endis(int v);
