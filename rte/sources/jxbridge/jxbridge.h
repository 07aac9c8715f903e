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

#define JXBRIDGE_API_VERSION 56
#define JXBRIDGE_PROC_ROOT "jxbridge"
#define JXBRIDGE_LINE_MAX 150 // command buffer: 149 bytes and the terminator
#define JXBRIDGE_BLL_MAP_SIZE 24617
#define JXBRIDGE_TIMER_SLOTS 11
#define JXBRIDGE_PORT_NAME_LEN 17

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
extern u32 jxbridge_dtrc;
extern u32 shelf;
extern struct mutex jxbridge_lock;
using jxbridge_frame_hook_fn = int (*)(struct sk_buff *skb);
using jxbridge_flow_hook_fn = int (*)(struct sk_buff *skb);
using jxbridge_flow_event_hook_fn = int (*)(int event, void *a1, void *a2, void *a3);
extern jxbridge_frame_hook_fn bridge_process_frame_hook;
extern jxbridge_flow_hook_fn jxbridge_flow_hook;
extern jxbridge_flow_event_hook_fn jxbridge_flow_event_hook;
void jxbridge_set_flow_hook(jxbridge_flow_hook_fn fn);
void jxbridge_set_flow_event_hook(jxbridge_flow_event_hook_fn fn);
extern struct proc_dir_entry *jxbridge_proc_root;

// One allocation function for the module: zeroed, never sleeps, logs failures.
void *jxbridge_alloc(size_t size, const char *file, int line);
#define jxbridge_zalloc(size) jxbridge_alloc((size), __FILE__, __LINE__)

// Deferred timers (bridge_timer.cc).
struct jxbridge;
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
struct jxbridge_timer_pool {
    struct task_struct *thread;
    struct mutex slots_lock; // guards slots and running against the pool thread
    struct jxbridge_timer *slots[JXBRIDGE_TIMER_SLOTS];
    struct jxbridge_timer *running; // the timer whose callback the pool runs now
    wait_queue_head_t done;         // a callback finished
};
int jxbridge_timer_init(struct jxbridge *bridge, struct jxbridge_timer *timer,
                        jxbridge_timer_fn callback, void *data, int slot);
int jxbridge_mod_timer(struct jxbridge_timer *timer, unsigned long expires);
int jxbridge_del_timer_sync(struct jxbridge_timer *timer);
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
    u32 ipsg_drops;
    u32 acl_drops;
    u32 qos_drops;
    u32 err_disable_enabled;
    u32 err_recovery_time;
    u32 err_disable_mask;
    u32 err_recovery_mask;
    struct jxbridge_timer_pool timer_pool;
    struct proc_dir_entry *proc_dir;
    struct jxbridge_port **ports;
};

int jxbridge_add(const char *name, int max_ports);
int jxbridge_del(const char *name);
void jxbridge_cleanup();
struct jxbridge *jxbridge_find(const char *name);

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
int jxbridge_threaded_init();
void jxbridge_threaded_fini();
int jxbridge_qman_force_stop_dequeues();
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

// Text parsing (bridge_util.cc). Word parsers return 0 or a negative errno.
long line_read(const char __user *ubuf, size_t count, char *line, size_t size);
int jxbridge_split(char *line, char **words, int max_words);
int a2num(const char *word, long long *out);
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
