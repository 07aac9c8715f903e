// Module parameters, the module mutex, the exported hooks, start-up and shutdown.
#include "jxbridge.h"

int debug = 0;
module_param(debug, int, 0444);
MODULE_PARM_DESC(debug, "General module debugging.");
int ioctl_debug = 0;
module_param(ioctl_debug, int, 0444);
MODULE_PARM_DESC(ioctl_debug, "General IOCTL debugging.");
int unknown_to_kernel = 1;
module_param(unknown_to_kernel, int, 0444);
MODULE_PARM_DESC(unknown_to_kernel, "Send unknown frames to kernel instead of dumping them.");
int default_output_size = 512;
module_param(default_output_size, int, 0444);
MODULE_PARM_DESC(default_output_size, "Default frame output size.");
int ipsg_debug = 0;
module_param(ipsg_debug, int, 0444);
MODULE_PARM_DESC(ipsg_debug, "IP Source Guard debugging.");
int acl_debug = 0;
module_param(acl_debug, int, 0444);
MODULE_PARM_DESC(acl_debug, "ACL debugging.");
int acl_default_pass = 0;
module_param(acl_default_pass, int, 0444);
MODULE_PARM_DESC(acl_default_pass, "ACL default action is pass.");
int vlan_debug = 0;
module_param(vlan_debug, int, 0444);
MODULE_PARM_DESC(vlan_debug, "VLAN debugging.");
int mac_table_debug = 0;
module_param(mac_table_debug, int, 0444);
MODULE_PARM_DESC(mac_table_debug, "MAC Table debugging.");
int app_filter_debug = 0;
module_param(app_filter_debug, int, 0444);
MODULE_PARM_DESC(app_filter_debug, "Application filter debugging.");
int rmirroring_debug = 0;
module_param(rmirroring_debug, int, 0444);
MODULE_PARM_DESC(rmirroring_debug, "Remote Mirroring debugging.");
int qos_debug = 0;
module_param(qos_debug, int, 0444);
MODULE_PARM_DESC(qos_debug, "QoS debugging.");
int qos_default_pass = 1;
module_param(qos_default_pass, int, 0444);
MODULE_PARM_DESC(qos_default_pass, "QoS default action is pass.");
int tal_debug = 0;
module_param(tal_debug, int, 0444);
MODULE_PARM_DESC(tal_debug, "TAL debugging.");
int pon_debug = 0;
module_param(pon_debug, int, 0444);
MODULE_PARM_DESC(pon_debug, "PON debugging.");
int max_olt = 32;
module_param(max_olt, int, 0444);
MODULE_PARM_DESC(max_olt, "Maximum supported OLT-s.");
int gems_per_olt = 4096;
module_param(gems_per_olt, int, 0444);
MODULE_PARM_DESC(gems_per_olt, "Maximum number of GEM portsw per OLT.");
int mcast_gems_start = 3800;
module_param(mcast_gems_start, int, 0444);
MODULE_PARM_DESC(mcast_gems_start, "First multicast GEM port.");
int mcast_gems_end = 4095;
module_param(mcast_gems_end, int, 0444);
MODULE_PARM_DESC(mcast_gems_end, "Last multicast GEM port.");
int threaded_node = 1;
module_param(threaded_node, int, 0444);
MODULE_PARM_DESC(threaded_node, "Threaded node.");
unsigned int threaded_max = 1000;
module_param(threaded_max, uint, 0444);
MODULE_PARM_DESC(threaded_max, "Threaded max queue.");
unsigned int threaded_appflt_max = 1000;
module_param(threaded_appflt_max, uint, 0444);
MODULE_PARM_DESC(threaded_appflt_max, "Threaded app filter max queue.");

u32 jxbridge_threaded_debug;
u32 jxbridge_dtrc;
EXPORT_SYMBOL(jxbridge_dtrc);
u32 shelf;
struct mutex jxbridge_lock;
EXPORT_SYMBOL(jxbridge_lock);
jxbridge_frame_hook_fn bridge_process_frame_hook;
EXPORT_SYMBOL(bridge_process_frame_hook);
jxbridge_flow_hook_fn jxbridge_flow_hook;
EXPORT_SYMBOL(jxbridge_flow_hook);
jxbridge_flow_event_hook_fn jxbridge_flow_event_hook;
EXPORT_SYMBOL(jxbridge_flow_event_hook);

void jxbridge_set_flow_hook(jxbridge_flow_hook_fn fn) {
    if (debug)
        printk(KERN_INFO "Setting flow hook to %p.\n", (void *)fn);
    jxbridge_flow_hook = fn;
}
EXPORT_SYMBOL(jxbridge_set_flow_hook);

void jxbridge_set_flow_event_hook(jxbridge_flow_event_hook_fn fn) {
    if (debug)
        printk(KERN_INFO "Setting flow event hook to %p.\n", (void *)fn);
    jxbridge_flow_event_hook = fn;
}
EXPORT_SYMBOL(jxbridge_set_flow_event_hook);

void *jxbridge_alloc(size_t size, const char *file, int line) {
    void *p = kzalloc(size, GFP_ATOMIC);
    if (!p)
        printk(KERN_ERR "%s:%d Unable to allocate %d bytes.\n", file, line, (int)size);
    return p;
}

// The lock is dropped around user copies: a copy may fault in the caller's
// memory and must not stall every frame and command meanwhile.
unsigned long jxbridge_copy_from_user(void *to, const void __user *from, unsigned long n) {
    lockdep_assert_held(&jxbridge_lock);
    mutex_unlock(&jxbridge_lock);
    unsigned long left = copy_from_user(to, from, n);
    mutex_lock(&jxbridge_lock);
    return left;
}

unsigned long jxbridge_copy_to_user(void __user *to, const void *from, unsigned long n) {
    lockdep_assert_held(&jxbridge_lock);
    mutex_unlock(&jxbridge_lock);
    unsigned long left = copy_to_user(to, from, n);
    mutex_lock(&jxbridge_lock);
    return left;
}

void *jxbridge_symbol_get(const char *name) {
    void *p = __symbol_get(name);
    if (!p) {
        request_module("symbol:%s", name);
        p = __symbol_get(name);
    }
    return p;
}

static int jxbridge_init() {
    printk(KERN_INFO "[Bridge] Module loading.\n");
    if (gems_per_olt < 1)
        printk(KERN_CRIT "[Bridge] Number of OLT ports out of range (%d).\n", gems_per_olt);
    if (!(1 <= mcast_gems_start && mcast_gems_start < gems_per_olt &&
          mcast_gems_start < mcast_gems_end && mcast_gems_end < gems_per_olt))
        printk(KERN_CRIT "[Bridge] Multicast GEM port range [%d, %d] invalid.\n", mcast_gems_start,
               mcast_gems_end);
    mutex_init(&jxbridge_lock);
    jxbridge_threaded_debug = 0;
    jxbridge_dtrc = 0;
    jxbridge_trace_init();
    mac_table_module_init();
    jxbridge_proc_init();
    jxbridge_flow_hook = nullptr;
    jxbridge_flow_event_hook = nullptr;
    jxbridge_threaded_init();
    cfm_netlink_init();
    bridge_process_frame_hook = jxbridge_threaded_rx;
    if (jxbridge_notifier_register())
        printk(KERN_CRIT "[Bridge] Unable to register net_device notifier.\n");
    else
        printk(KERN_INFO "[Bridge] net_device notifier registered.\n");
    using phy_mode_fn = int (*)();
    if (auto get_phy_mode = (phy_mode_fn)__symbol_get("getPhyMode"))
        get_phy_mode();
    shelf = 2;
    printk(KERN_INFO "[Bridge] Module loaded.\n");
    return 0;
}

static void jxbridge_exit() {
    // Both hooks go: a flow manager's event hook must not outlive the module.
    jxbridge_flow_hook = nullptr;
    jxbridge_flow_event_hook = nullptr;
    jxbridge_notifier_unregister();
    jxbridge_unbind_driver_hooks();
    jxbridge_threaded_fini();
    cfm_netlink_fini();
    if (debug)
        printk(KERN_INFO "[Bridge] Module shutdown.\n");
    bool root_kept = jxbridge_proc_fini() != 0;
    mutex_lock(&jxbridge_lock);
    jxbridge_cleanup();
    jxbridge_map_clear();
    app_filter_retired_reap(true);
    mutex_unlock(&jxbridge_lock);
    if (!root_kept)
        jxbridge_proc_root_remove();
    bridge_process_frame_hook = nullptr;
}

module_init(jxbridge_init);
module_exit(jxbridge_exit);
