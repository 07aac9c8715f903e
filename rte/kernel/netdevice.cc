// Network devices: allocation, the registry, open/close, the notifier chain,
// receive into the device's stack, transmit and transmit batches.
//
// The registry mutex guards the lookup tables only and is never held while a
// driver operation or a notifier runs, so those may look devices up. The
// notifier chain has its own recursive lock, held across a whole notification:
// a handler may open, close or register another device from inside, and an
// unregistered notifier is never called once unregister_netdevice_notifier has
// returned. As in the kernel, callers of register_netdevice, dev_open and
// dev_close hold rtnl_lock.
#include "kernel/netdevice.h"
#include "kernel/internal.h"
#include "kernel/printk.h"
#include "kernel/sync.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <unordered_map>

namespace {

constexpr std::align_val_t kNetdevAlign{32};
constexpr size_t kPrivOffset = (sizeof(net_device) + 31) & ~size_t(31);
// The kernel's bound on "%d" units.
constexpr int kMaxNameUnits = 32768;

struct Registry {
    std::mutex lock;
    std::map<int, net_device *> by_index;
    std::unordered_map<std::string, net_device *> by_name;
    int next_ifindex = 1;
};

Registry &registry() {
    static Registry *r = new Registry; // outlives every static that holds a device
    return *r;
}

struct NotifierChain {
    std::recursive_mutex lock;
    notifier_block *head = nullptr;
};

NotifierChain &chain() {
    static NotifierChain *c = new NotifierChain;
    return *c;
}

bool dev_valid_name(const std::string &name) {
    if (name.empty() || name.size() >= IFNAMSIZ || name == "." || name == "..")
        return false;
    for (char c : name)
        if (c == '/' || c == ':' || isspace(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// Resolves a name or a "%d" template against the registered names: the unit
// number chosen (0 for a plain name) or a negative errno. Registry lock held.
int resolve_name_locked(Registry &r, const std::string &tmpl, std::string *out) {
    size_t pct = tmpl.find('%');
    if (pct == std::string::npos) {
        if (!dev_valid_name(tmpl))
            return -EINVAL;
        if (r.by_name.count(tmpl))
            return -EEXIST;
        *out = tmpl;
        return 0;
    }
    if (pct + 1 >= tmpl.size() || tmpl[pct + 1] != 'd' ||
        tmpl.find('%', pct + 2) != std::string::npos)
        return -EINVAL;
    const std::string prefix = tmpl.substr(0, pct);
    const std::string suffix = tmpl.substr(pct + 2);
    for (int unit = 0; unit < kMaxNameUnits; unit++) {
        std::string name = prefix + std::to_string(unit) + suffix;
        if (!dev_valid_name(name))
            return -EINVAL;
        if (!r.by_name.count(name)) {
            *out = std::move(name);
            return unit;
        }
    }
    return -ENFILE;
}

void set_name(net_device *dev, const std::string &name) {
    strlcpy(dev->name, name.c_str(), IFNAMSIZ);
}

void unlist(net_device *dev) {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.by_name.find(dev->name);
    if (it != r.by_name.end() && it->second == dev)
        r.by_name.erase(it);
    r.by_index.erase(dev->ifindex);
}

void count_drop(unsigned long *counter) {
    __atomic_fetch_add(counter, 1, __ATOMIC_RELAXED);
}

int call_one(notifier_block *nb, unsigned long event, net_device *dev) {
    netdev_notifier_info info = {dev};
    return nb->notifier_call(nb, event, &info);
}

// A thread's transmit batch. Only its thread adds devices; the lock is there
// for unregister_netdevice, which takes a device off every batch and must wait
// for a flush in progress on another thread.
struct XmitBatch {
    std::mutex lock;
    int depth = 0; // its thread only
    std::vector<net_device *> pending;
    std::atomic<net_device *> last{nullptr}; // the newest of pending
};

struct XmitBatches {
    std::mutex lock;
    std::set<XmitBatch *> all;
};

XmitBatches &xmit_batches() {
    static XmitBatches *b = new XmitBatches; // outlives the threads' batches
    return *b;
}

void xmit_flush_locked(XmitBatch *b) {
    for (net_device *dev : b->pending)
        dev->netdev_ops->ndo_xmit_flush(dev);
    b->pending.clear();
    b->last.store(nullptr, std::memory_order_relaxed);
}

// Created on the first begin; a thread that ends inside a batch still flushes.
struct XmitBatchSlot {
    XmitBatch *b = nullptr;
    ~XmitBatchSlot() {
        if (!b)
            return;
        {
            std::lock_guard<std::mutex> all(xmit_batches().lock);
            xmit_batches().all.erase(b);
        }
        {
            std::lock_guard<std::mutex> g(b->lock);
            xmit_flush_locked(b);
        }
        delete b;
    }
};
thread_local XmitBatchSlot t_xmit_batch;

void xmit_batch_forget(net_device *dev) {
    XmitBatches &bs = xmit_batches();
    std::lock_guard<std::mutex> all(bs.lock);
    for (XmitBatch *b : bs.all) {
        std::lock_guard<std::mutex> g(b->lock);
        std::erase(b->pending, dev);
        if (b->last.load(std::memory_order_relaxed) == dev)
            b->last.store(nullptr, std::memory_order_relaxed);
    }
}

} // namespace

void ether_setup(struct net_device *dev) {
    dev->type = ARPHRD_ETHER;
    dev->hard_header_len = ETH_HLEN;
    dev->mtu = ETH_DATA_LEN;
    dev->addr_len = ETH_ALEN;
    dev->flags = IFF_BROADCAST | IFF_MULTICAST;
    memset(dev->broadcast, 0xff, ETH_ALEN);
}

struct net_device *alloc_netdev(int sizeof_priv, const char *name, unsigned char name_assign_type,
                                void (*setup)(struct net_device *)) {
    if (sizeof_priv < 0 || !name)
        return nullptr;
    if (strnlen(name, IFNAMSIZ) >= IFNAMSIZ) {
        pr_err("alloc_netdev: device name \"%.*s...\" is too long\n", IFNAMSIZ - 1, name);
        return nullptr;
    }
    const size_t size = kPrivOffset + size_t(sizeof_priv);
    void *mem = ::operator new(size, kNetdevAlign, std::nothrow);
    if (!mem)
        return nullptr;
    memset(mem, 0, size);
    auto *dev = new (mem) net_device();
    strlcpy(dev->name, name, IFNAMSIZ);
    dev->name_assign_type = name_assign_type;
    dev->reg_state = NETREG_UNINITIALIZED;
    dev->carrier = true;
    dev->rte_priv_size = size_t(sizeof_priv);
    if (setup)
        setup(dev);
    return dev;
}

struct net_device *alloc_etherdev(int sizeof_priv) {
    return alloc_netdev(sizeof_priv, "eth%d", NET_NAME_ENUM, ether_setup);
}

void free_netdev(struct net_device *dev) {
    if (!dev)
        return;
    if (dev->reg_state == NETREG_REGISTERED || dev->reg_state == NETREG_UNREGISTERING) {
        // Freeing it would leave the registry pointing at freed memory.
        pr_err("free_netdev: %s is still registered, not freed\n", dev->name);
        return;
    }
    dev->~net_device();
    ::operator delete(static_cast<void *>(dev), kNetdevAlign);
}

int dev_alloc_name(struct net_device *dev, const char *name) {
    if (!dev || !name)
        return -EINVAL;
    const std::string tmpl(name, strnlen(name, IFNAMSIZ + 1));
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    std::string resolved;
    int unit = resolve_name_locked(r, tmpl, &resolved);
    if (unit >= 0)
        set_name(dev, resolved);
    return unit;
}

int register_netdevice(struct net_device *dev) {
    if (!dev || dev->reg_state != NETREG_UNINITIALIZED)
        return -EINVAL;
    Registry &r = registry();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        std::string resolved;
        int err =
            resolve_name_locked(r, std::string(dev->name, strnlen(dev->name, IFNAMSIZ)), &resolved);
        if (err < 0)
            return err;
        set_name(dev, resolved);
    }
    const net_device_ops *ops = dev->netdev_ops;
    if (ops && ops->ndo_init) {
        int err = ops->ndo_init(dev);
        if (err)
            return err < 0 ? err : -EIO;
    }
    {
        std::lock_guard<std::mutex> guard(r.lock);
        if (r.by_name.count(dev->name)) {
            // Taken while ndo_init ran: a caller without rtnl_lock raced us.
            if (ops && ops->ndo_uninit)
                ops->ndo_uninit(dev);
            return -EEXIST;
        }
        dev->ifindex = r.next_ifindex++;
        r.by_index[dev->ifindex] = dev;
        r.by_name[dev->name] = dev;
        dev->reg_state = NETREG_REGISTERED;
    }
    int err = notifier_to_errno(call_netdevice_notifiers(NETDEV_REGISTER, dev));
    if (err) {
        unlist(dev);
        dev->reg_state = NETREG_UNREGISTERING;
        call_netdevice_notifiers(NETDEV_UNREGISTER, dev);
        if (ops && ops->ndo_uninit)
            ops->ndo_uninit(dev);
        dev->reg_state = NETREG_UNREGISTERED;
        return err;
    }
    return 0;
}

int register_netdev(struct net_device *dev) {
    rtnl_lock();
    int err = register_netdevice(dev);
    rtnl_unlock();
    return err;
}

void unregister_netdevice(struct net_device *dev) {
    if (!dev || dev->reg_state != NETREG_REGISTERED) {
        pr_err("unregister_netdevice: device %s is not registered\n", dev ? dev->name : "(null)");
        return;
    }
    dev_close(dev);
    // Out of the tables first, so that nobody finds a device on its way out.
    unlist(dev);
    dev->reg_state = NETREG_UNREGISTERING;
    call_netdevice_notifiers(NETDEV_UNREGISTER, dev);
    // After the notifiers, whose users stopped transmitting through it.
    xmit_batch_forget(dev);
    if (dev->netdev_ops && dev->netdev_ops->ndo_uninit)
        dev->netdev_ops->ndo_uninit(dev);
    dev->reg_state = NETREG_UNREGISTERED;
    int refs = dev->refcnt.load();
    if (refs != 0)
        pr_warn("unregister_netdevice: %s still has %d references\n", dev->name, refs);
    if (dev->priv_destructor)
        dev->priv_destructor(dev);
    if (dev->needs_free_netdev)
        free_netdev(dev);
}

void unregister_netdev(struct net_device *dev) {
    rtnl_lock();
    unregister_netdevice(dev);
    rtnl_unlock();
}

int dev_change_name(struct net_device *dev, const char *newname) {
    if (!dev || !newname)
        return -EINVAL;
    if (dev_get_flags(dev) & IFF_UP)
        return -EBUSY;
    const std::string tmpl(newname, strnlen(newname, IFNAMSIZ + 1));
    if (tmpl == dev->name)
        return 0;
    const bool registered = dev->reg_state == NETREG_REGISTERED;
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        std::string resolved;
        int err = resolve_name_locked(r, tmpl, &resolved);
        if (err < 0)
            return err;
        if (registered) {
            r.by_name.erase(dev->name);
            r.by_name[resolved] = dev;
        }
        set_name(dev, resolved);
    }
    if (registered)
        call_netdevice_notifiers(NETDEV_CHANGENAME, dev);
    return 0;
}

struct net_device *__dev_get_by_name(struct net *, const char *name) {
    if (!name)
        return nullptr;
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.by_name.find(std::string(name, strnlen(name, IFNAMSIZ)));
    return it == r.by_name.end() ? nullptr : it->second;
}

struct net_device *dev_get_by_name(struct net *, const char *name) {
    if (!name)
        return nullptr;
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.by_name.find(std::string(name, strnlen(name, IFNAMSIZ)));
    if (it == r.by_name.end())
        return nullptr;
    dev_hold(it->second);
    return it->second;
}

struct net_device *__dev_get_by_index(struct net *, int ifindex) {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.by_index.find(ifindex);
    return it == r.by_index.end() ? nullptr : it->second;
}

struct net_device *dev_get_by_index(struct net *, int ifindex) {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.by_index.find(ifindex);
    if (it == r.by_index.end())
        return nullptr;
    dev_hold(it->second);
    return it->second;
}

std::vector<struct net_device *> rte_netdev_list() {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    std::vector<net_device *> out;
    out.reserve(r.by_index.size());
    for (const auto &entry : r.by_index)
        out.push_back(entry.second);
    return out;
}

int dev_open(struct net_device *dev) {
    if (dev_get_flags(dev) & IFF_UP)
        return 0;
    if (dev->reg_state != NETREG_REGISTERED)
        return -ENODEV;
    if (dev->netdev_ops && dev->netdev_ops->ndo_open) {
        int err = dev->netdev_ops->ndo_open(dev);
        if (err)
            return err;
    }
    unsigned set = IFF_UP | (netif_carrier_ok(dev) ? IFF_RUNNING : 0);
    __atomic_fetch_or(&dev->flags, set, __ATOMIC_RELAXED);
    call_netdevice_notifiers(NETDEV_UP, dev);
    return 0;
}

int dev_close(struct net_device *dev) {
    if (!(dev_get_flags(dev) & IFF_UP))
        return 0;
    call_netdevice_notifiers(NETDEV_GOING_DOWN, dev);
    if (dev->netdev_ops && dev->netdev_ops->ndo_stop)
        dev->netdev_ops->ndo_stop(dev);
    __atomic_fetch_and(&dev->flags, ~unsigned(IFF_UP | IFF_RUNNING), __ATOMIC_RELAXED);
    call_netdevice_notifiers(NETDEV_DOWN, dev);
    return 0;
}

int dev_set_promiscuity(struct net_device *dev, int inc) {
    const long count = long(dev->promiscuity) + inc;
    if (count < 0) {
        pr_warn("device %s: promiscuity count would go below zero\n", dev->name);
        return -EINVAL;
    }
    if (count > 0x7fffffffL) {
        pr_warn("device %s: promiscuity touches roof\n", dev->name);
        return -EOVERFLOW;
    }
    const unsigned old_flags = dev_get_flags(dev);
    dev->promiscuity = int(count);
    if (count)
        __atomic_fetch_or(&dev->flags, unsigned(IFF_PROMISC), __ATOMIC_RELAXED);
    else
        __atomic_fetch_and(&dev->flags, ~unsigned(IFF_PROMISC), __ATOMIC_RELAXED);
    if ((old_flags ^ dev_get_flags(dev)) & IFF_PROMISC)
        pr_info("device %s %s promiscuous mode\n", dev->name,
                (dev_get_flags(dev) & IFF_PROMISC) ? "entered" : "left");
    return 0;
}

int netdev_rx_handler_register(struct net_device *dev, void *handler, void *data) {
    if (dev->rx_handler_data)
        return -EBUSY;
    dev->rx_handler = handler;
    dev->rx_handler_data = data;
    call_netdevice_notifiers(NETDEV_JOIN, dev);
    return 0;
}

void netif_carrier_on(struct net_device *dev) {
    __atomic_store_n(&dev->carrier, true, __ATOMIC_RELAXED);
    if (dev_get_flags(dev) & IFF_UP)
        __atomic_fetch_or(&dev->flags, unsigned(IFF_RUNNING), __ATOMIC_RELAXED);
}

void netif_carrier_off(struct net_device *dev) {
    __atomic_store_n(&dev->carrier, false, __ATOMIC_RELAXED);
    __atomic_fetch_and(&dev->flags, ~unsigned(IFF_RUNNING), __ATOMIC_RELAXED);
}

struct net_device_stats *dev_get_stats(struct net_device *dev) {
    if (dev->netdev_ops && dev->netdev_ops->ndo_get_stats) {
        net_device_stats *stats = dev->netdev_ops->ndo_get_stats(dev);
        if (stats)
            return stats;
    }
    return &dev->stats;
}

int netif_rx(struct sk_buff *skb) {
    if (!skb)
        return NET_RX_DROP;
    net_device *dev = skb->dev;
    if (dev && dev->rte_stack_rx)
        return dev->rte_stack_rx(skb);
    if (dev)
        count_drop(&dev->stats.rx_dropped);
    kfree_skb(skb);
    return NET_RX_DROP;
}

int dev_queue_xmit(struct sk_buff *skb) {
    if (!skb)
        return -EINVAL;
    net_device *dev = skb->dev;
    if (!dev) {
        kfree_skb(skb);
        return -ENETDOWN;
    }
    skb_reset_mac_header(skb);
    // Owners may swap a live device's operations (a filter device's transmit).
    const net_device_ops *ops = __atomic_load_n(&dev->netdev_ops, __ATOMIC_ACQUIRE);
    // No qdisc to hold it: a device that is down, stopped or busy drops.
    if ((dev_get_flags(dev) & IFF_UP) && ops && ops->ndo_start_xmit && !netif_queue_stopped(dev)) {
        netdev_tx_t rc = ops->ndo_start_xmit(skb, dev);
        if (rc != NETDEV_TX_BUSY)
            return rc;
    }
    count_drop(&dev->stats.tx_dropped);
    kfree_skb(skb);
    return -ENETDOWN;
}

void rte_xmit_batch_begin() {
    XmitBatch *b = t_xmit_batch.b;
    if (!b) {
        b = new XmitBatch;
        b->pending.reserve(16);
        std::lock_guard<std::mutex> all(xmit_batches().lock);
        xmit_batches().all.insert(b);
        t_xmit_batch.b = b;
    }
    b->depth++;
    rte_internal::wake_defer_begin();
}

void rte_xmit_batch_end() {
    XmitBatch *b = t_xmit_batch.b;
    if (!b || b->depth == 0) {
        pr_warn("rte_xmit_batch_end: no batch begun on this thread\n");
        return;
    }
    if (--b->depth) {
        rte_internal::wake_defer_end();
        return;
    }
    {
        std::lock_guard<std::mutex> g(b->lock);
        xmit_flush_locked(b);
    }
    // The frames are out; now the threads this one handed work to.
    rte_internal::wake_defer_end();
}

bool rte_xmit_batch_defer(struct net_device *dev) {
    XmitBatch *b = t_xmit_batch.b;
    if (!b || !b->depth || !dev->netdev_ops || !dev->netdev_ops->ndo_xmit_flush)
        return false;
    // A burst sends mostly to the device it sent to last.
    if (b->last.load(std::memory_order_relaxed) == dev)
        return true;
    std::lock_guard<std::mutex> g(b->lock);
    b->last.store(dev, std::memory_order_relaxed);
    for (net_device *d : b->pending)
        if (d == dev)
            return true;
    b->pending.push_back(dev);
    return true;
}

int register_netdevice_notifier(struct notifier_block *nb) {
    if (!nb || !nb->notifier_call)
        return -EINVAL;
    rtnl_lock();
    NotifierChain &c = chain();
    std::lock_guard<std::recursive_mutex> guard(c.lock);
    notifier_block **link = &c.head;
    for (notifier_block *it = c.head; it; it = it->next) {
        if (it == nb) {
            rtnl_unlock();
            return -EEXIST;
        }
    }
    while (*link && (*link)->priority >= nb->priority)
        link = &(*link)->next;
    nb->next = *link;
    *link = nb;
    // A late notifier learns about the devices that already exist.
    const std::vector<net_device *> devs = rte_netdev_list();
    int err = 0;
    size_t done = 0;
    for (; done < devs.size(); done++) {
        err = notifier_to_errno(call_one(nb, NETDEV_REGISTER, devs[done]));
        if (err)
            break;
        if (dev_get_flags(devs[done]) & IFF_UP)
            call_one(nb, NETDEV_UP, devs[done]);
    }
    if (err) {
        for (size_t i = 0; i < done; i++) {
            if (dev_get_flags(devs[i]) & IFF_UP) {
                call_one(nb, NETDEV_GOING_DOWN, devs[i]);
                call_one(nb, NETDEV_DOWN, devs[i]);
            }
            call_one(nb, NETDEV_UNREGISTER, devs[i]);
        }
        for (link = &c.head; *link; link = &(*link)->next) {
            if (*link == nb) {
                *link = nb->next;
                break;
            }
        }
        nb->next = nullptr;
    }
    rtnl_unlock();
    return err;
}

int unregister_netdevice_notifier(struct notifier_block *nb) {
    if (!nb)
        return -EINVAL;
    rtnl_lock();
    NotifierChain &c = chain();
    std::lock_guard<std::recursive_mutex> guard(c.lock);
    notifier_block **link = &c.head;
    while (*link && *link != nb)
        link = &(*link)->next;
    if (!*link) {
        rtnl_unlock();
        return -ENOENT;
    }
    *link = nb->next;
    // The leaving notifier sees every device go away, so it can drop its state.
    for (net_device *dev : rte_netdev_list()) {
        if (dev_get_flags(dev) & IFF_UP) {
            call_one(nb, NETDEV_GOING_DOWN, dev);
            call_one(nb, NETDEV_DOWN, dev);
        }
        call_one(nb, NETDEV_UNREGISTER, dev);
    }
    rtnl_unlock();
    return 0;
}

int call_netdevice_notifiers(unsigned long val, struct net_device *dev) {
    NotifierChain &c = chain();
    std::lock_guard<std::recursive_mutex> guard(c.lock);
    int ret = NOTIFY_DONE;
    notifier_block *nb = c.head;
    while (nb) {
        // Read before the call: a handler may take itself off the chain.
        notifier_block *next = nb->next;
        ret = call_one(nb, val, dev);
        if (ret & NOTIFY_STOP_MASK)
            break;
        nb = next;
    }
    return ret;
}
