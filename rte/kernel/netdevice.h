// Network devices: registry by name and ifindex, operations, statistics, the
// notifier chain and netif_rx.
//
// netif_rx hands a frame to "the Linux stack" of its device. What that is
// belongs to whoever created the device (the line card: a TAP, a recorder);
// without one the frame is counted as dropped and freed.
#pragma once

#include "kernel/skbuff.h"
#include "kernel/types.h"

#include <functional>
#include <vector>

struct net {
    struct proc_dir_entry *proc_net;
};
extern struct net init_net;

#define IFF_UP 0x1
#define IFF_BROADCAST 0x2
#define IFF_DEBUG 0x4
#define IFF_LOOPBACK 0x8
#define IFF_POINTOPOINT 0x10
#define IFF_RUNNING 0x40
#define IFF_NOARP 0x80
#define IFF_PROMISC 0x100
#define IFF_ALLMULTI 0x200
#define IFF_MULTICAST 0x1000

// Private flags.
#define IFF_EBRIDGE (1u << 1)
#define IFF_BRIDGE_PORT (1u << 9)
// The device is one of the host's own interfaces on the line card (a
// management or filter device): the line card gives it a host link.
#define IFF_RTE_HOST_LINK (1u << 30)

// Features.
#define NETIF_F_SG (1ull << 0)
#define NETIF_F_IP_CSUM (1ull << 1)
#define NETIF_F_HW_CSUM (1ull << 3)
#define NETIF_F_HW_VLAN_CTAG_TX (1ull << 20)
#define NETIF_F_HW_VLAN_CTAG_RX (1ull << 21)
#define NETIF_F_HW_VLAN_STAG_TX (1ull << 22)
#define NETIF_F_HW_VLAN_STAG_RX (1ull << 23)
#define NETIF_F_LLTX (1ull << 12)
#define NETIF_F_GRO (1ull << 14)

#define NETDEV_UP 0x0001
#define NETDEV_DOWN 0x0002
#define NETDEV_REBOOT 0x0003
#define NETDEV_CHANGE 0x0004
#define NETDEV_REGISTER 0x0005
#define NETDEV_UNREGISTER 0x0006
#define NETDEV_CHANGEMTU 0x0007
#define NETDEV_CHANGEADDR 0x0008
#define NETDEV_GOING_DOWN 0x0009
#define NETDEV_CHANGENAME 0x000A
// A receive handler took the device (a bridge took it as a port): state the
// taker starts afresh, such as the line, is for the driver to report again.
#define NETDEV_JOIN 0x0014

#define NOTIFY_DONE 0x0000
#define NOTIFY_OK 0x0001
#define NOTIFY_STOP_MASK 0x8000
#define NOTIFY_BAD (NOTIFY_STOP_MASK | 0x0002)
inline int notifier_from_errno(int err) {
    return err ? (NOTIFY_STOP_MASK | (NOTIFY_OK - err)) : NOTIFY_OK;
}
inline int notifier_to_errno(int ret) {
    ret &= ~NOTIFY_STOP_MASK;
    return ret > NOTIFY_OK ? NOTIFY_OK - ret : 0;
}

#define NET_RX_SUCCESS 0
#define NET_RX_DROP 1

enum netdev_tx_t { NETDEV_TX_OK = 0x00, NETDEV_TX_BUSY = 0x10 };

#define NET_NAME_UNKNOWN 0
#define NET_NAME_ENUM 1
#define NET_NAME_USER 3
#define ARPHRD_ETHER 1

struct net_device_stats {
    unsigned long rx_packets;
    unsigned long tx_packets;
    unsigned long rx_bytes;
    unsigned long tx_bytes;
    unsigned long rx_errors;
    unsigned long tx_errors;
    unsigned long rx_dropped;
    unsigned long tx_dropped;
    unsigned long multicast;
    unsigned long collisions;
    unsigned long rx_length_errors;
    unsigned long rx_over_errors;
    unsigned long rx_crc_errors;
    unsigned long rx_frame_errors;
    unsigned long rx_fifo_errors;
    unsigned long rx_missed_errors;
    unsigned long tx_aborted_errors;
    unsigned long tx_carrier_errors;
    unsigned long tx_fifo_errors;
    unsigned long tx_heartbeat_errors;
    unsigned long tx_window_errors;
    unsigned long rx_compressed;
    unsigned long tx_compressed;
};
// Counters a driver thread bumps while others read them, as the kernel's
// DEV_STATS_INC/DEV_STATS_ADD.
#define DEV_STATS_ADD(dev, field, n) __atomic_fetch_add(&(dev)->stats.field, (n), __ATOMIC_RELAXED)
#define DEV_STATS_INC(dev, field) DEV_STATS_ADD(dev, field, 1)

struct net_device;
struct ifreq;
struct net_device_ops {
    int (*ndo_init)(struct net_device *dev);
    void (*ndo_uninit)(struct net_device *dev);
    int (*ndo_open)(struct net_device *dev);
    int (*ndo_stop)(struct net_device *dev);
    netdev_tx_t (*ndo_start_xmit)(struct sk_buff *skb, struct net_device *dev);
    struct net_device_stats *(*ndo_get_stats)(struct net_device *dev);
    int (*ndo_set_mac_address)(struct net_device *dev, void *addr);
    int (*ndo_change_mtu)(struct net_device *dev, int new_mtu);
    int (*ndo_do_ioctl)(struct net_device *dev, struct ifreq *ifr, int cmd);
    // Sends what start_xmit held back during a transmit batch (see below).
    void (*ndo_xmit_flush)(struct net_device *dev);
};

#define NETREG_UNINITIALIZED 0
#define NETREG_REGISTERED 1
#define NETREG_UNREGISTERING 2
#define NETREG_UNREGISTERED 3

struct net_device {
    char name[IFNAMSIZ];
    int ifindex;
    unsigned int flags;
    unsigned int priv_flags;
    u64 features;
    u64 hw_features;
    int promiscuity;
    unsigned int mtu;
    unsigned short type;
    unsigned short hard_header_len;
    unsigned short needed_headroom;
    u8 addr_len;
    u8 dev_addr[ETH_ALEN];
    u8 broadcast[ETH_ALEN];
    unsigned char name_assign_type;
    unsigned char reg_state;
    bool carrier;
    bool queue_stopped;
    bool needs_free_netdev;
    void *rx_handler;
    void *rx_handler_data;
    const struct net_device_ops *netdev_ops;
    struct net_device_stats stats;
    void (*priv_destructor)(struct net_device *dev);
    std::atomic<int> refcnt;
    // The device's Linux stack: where netif_rx delivers (see above).
    std::function<int(struct sk_buff *)> rte_stack_rx;
    // Owner's context for the line-card backend (a bound interface, a wire).
    void *rte_backend;
    // The line card's packet-engine state of a port the engine serves, whose
    // transmit it wraps (the engine finds itself here under other wrappers).
    void *rte_engine;
    size_t rte_priv_size;
};

inline void *netdev_priv(const struct net_device *dev) {
    return (char *)dev + ((sizeof(struct net_device) + 31) & ~size_t(31));
}
inline struct net *dev_net(const struct net_device *) {
    return &init_net;
}

struct net_device *alloc_netdev(int sizeof_priv, const char *name, unsigned char name_assign_type,
                                void (*setup)(struct net_device *));
struct net_device *alloc_etherdev(int sizeof_priv);
void ether_setup(struct net_device *dev);
void free_netdev(struct net_device *dev);
int register_netdevice(struct net_device *dev); // caller holds rtnl_lock
int register_netdev(struct net_device *dev);
void unregister_netdevice(struct net_device *dev); // caller holds rtnl_lock
void unregister_netdev(struct net_device *dev);
int dev_alloc_name(struct net_device *dev, const char *name);
int dev_change_name(struct net_device *dev, const char *newname);

struct net_device *dev_get_by_name(struct net *net, const char *name); // holds a reference
struct net_device *__dev_get_by_name(struct net *net, const char *name);
struct net_device *dev_get_by_index(struct net *net, int ifindex); // holds a reference
struct net_device *__dev_get_by_index(struct net *net, int ifindex);
inline void dev_hold(struct net_device *dev) {
    dev->refcnt++;
}
inline void dev_put(struct net_device *dev) {
    dev->refcnt--;
}
// A snapshot of the registered devices in ifindex order.
std::vector<struct net_device *> rte_netdev_list();

int dev_open(struct net_device *dev);
int dev_close(struct net_device *dev);
int dev_set_promiscuity(struct net_device *dev, int inc);
// One receive handler per device: a second registration is refused. The
// device's notifiers hear NETDEV_JOIN once the handler is in place.
int netdev_rx_handler_register(struct net_device *dev, void *handler, void *data);
inline void netdev_rx_handler_unregister(struct net_device *dev) {
    dev->rx_handler = nullptr;
    dev->rx_handler_data = nullptr;
}
inline bool netif_running(const struct net_device *dev) {
    return dev->flags & IFF_UP;
}
// Atomic, as the kernel's queue state bits: transmits read it while the
// device is stopped or woken elsewhere.
inline void netif_start_queue(struct net_device *dev) {
    __atomic_store_n(&dev->queue_stopped, false, __ATOMIC_RELEASE);
}
inline void netif_stop_queue(struct net_device *dev) {
    __atomic_store_n(&dev->queue_stopped, true, __ATOMIC_RELEASE);
}
inline void netif_wake_queue(struct net_device *dev) {
    __atomic_store_n(&dev->queue_stopped, false, __ATOMIC_RELEASE);
}
inline bool netif_queue_stopped(const struct net_device *dev) {
    return __atomic_load_n(&dev->queue_stopped, __ATOMIC_ACQUIRE);
}
void netif_carrier_on(struct net_device *dev);
void netif_carrier_off(struct net_device *dev);
// The flags as the data path reads them: a port's reader thread changes
// IFF_RUNNING with the line, outside the routing lock.
inline unsigned int dev_get_flags(const struct net_device *dev) {
    return __atomic_load_n(&dev->flags, __ATOMIC_RELAXED);
}
inline bool netif_carrier_ok(const struct net_device *dev) {
    // Set by a port's reader thread as the line comes and goes.
    return __atomic_load_n(&dev->carrier, __ATOMIC_RELAXED);
}
struct net_device_stats *dev_get_stats(struct net_device *dev);

// Hands a received frame to the device's Linux stack: NET_RX_SUCCESS or NET_RX_DROP.
int netif_rx(struct sk_buff *skb);
inline int netif_receive_skb(struct sk_buff *skb) {
    return netif_rx(skb);
}
inline int netif_rx_ni(struct sk_buff *skb) {
    return netif_rx(skb);
}
// Transmits through the device's start_xmit; the frame is always consumed.
int dev_queue_xmit(struct sk_buff *skb);

// Transmit batches, one per thread. Between begin and end, a driver with
// ndo_xmit_flush may hold transmitted frames (in its ring) instead of sending
// each at once; the end calls ndo_xmit_flush of every device that held some.
// Outside a batch every transmission leaves at once. Pairs nest: only the
// outermost end flushes. A device being unregistered is taken off every
// thread's batch first, so a batch never flushes a device that is gone.
// The thread's wake_up_process calls inside a batch take effect at the
// outermost end too (see sched.h): a burst handed to another thread wakes it once.
void rte_xmit_batch_begin();
void rte_xmit_batch_end();
// For start_xmit: true when the calling thread is in a batch and dev has
// ndo_xmit_flush, which the batch's end will then call; false means send now.
bool rte_xmit_batch_defer(struct net_device *dev);

struct notifier_block {
    int (*notifier_call)(struct notifier_block *nb, unsigned long event, void *ptr);
    struct notifier_block *next;
    int priority;
};
struct netdev_notifier_info {
    struct net_device *dev;
};
inline struct net_device *netdev_notifier_info_to_dev(const void *info) {
    return ((const struct netdev_notifier_info *)info)->dev;
}
int register_netdevice_notifier(struct notifier_block *nb);
int unregister_netdevice_notifier(struct notifier_block *nb);
int call_netdevice_notifiers(unsigned long val, struct net_device *dev);
