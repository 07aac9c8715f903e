// The packet engine on the wire: what is programmed into the engine for a
// port acts on that port's transmit path (engine_path.h). The driver's
// operations of a port the engine serves are wrapped when the port appears,
// before any other wrapper (the OLT's), so that the engine sees the frames as
// they go on the wire; until something is programmed the wrapper hands
// frames straight to the driver.
// Frames that must wait go out from a high-resolution timer.
#include "linecard/engine.h"

#include "kernel/netdevice.h"
#include "kernel/printk.h"
#include "kernel/skbuff.h"
#include "kernel/time.h"

#include <cstdio>
#include <ctime>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

namespace {

struct eng_port {
    struct net_device_ops ops; // the driver's, with transmit through the engine
    const struct net_device_ops *inner;
    struct net_device *dev;
    u32 subport;
    std::mutex lock; // prog, the storm windows, the pacer's arming
    struct linecard_engine_port prog;
    bool active; // something is programmed: frames go through the path
    struct hrtimer pacer;
    struct {
        u32 count;
        u64 start;
    } storm[2]; // the current one-second windows
};

std::mutex ports_lock; // the registry; never taken inside a port's lock
std::map<u32, eng_port *> &ports() {
    static auto *m = new std::map<u32, eng_port *>;
    return *m;
}

netdev_tx_t eng_xmit(struct sk_buff *skb, struct net_device *dev);

eng_port *eng_of(struct net_device *dev) {
    return dev ? static_cast<eng_port *>(dev->rte_engine) : nullptr;
}

// The line card's numbering of the engine's ports on UCC 0, by interface name.
bool subport_of(const char *name, u32 *sub) {
    static const struct {
        const char *prefix;
        u32 first, count;
    } kinds[] = {{"eth", 0, 4}, {"gpon", 4, 16}, {"xgspon", 20, 16}};
    for (const auto &k : kinds) {
        const size_t n = strlen(k.prefix);
        unsigned i;
        char canon[IFNAMSIZ];
        if (strncmp(name, k.prefix, n) || sscanf(name + n, "%u", &i) != 1 || i >= k.count)
            continue;
        snprintf(canon, sizeof(canon), "%s%u", k.prefix, i);
        if (!strcmp(canon, name)) {
            *sub = k.first + i;
            return true;
        }
    }
    if (!strcmp(name, "tarn0") || !strcmp(name, "tarn1")) {
        *sub = 36 + u32(name[4] - '0');
        return true;
    }
    return false;
}

// Sends what the path lets go now; arms the pacer for the rest.
void pump_locked(eng_port *e, u64 now) {
    u64 wait;
    while (struct sk_buff *skb = pe_path_dequeue(&e->prog.path, now, &wait)) {
        if (e->inner->ndo_start_xmit(skb, e->dev) != NETDEV_TX_OK) {
            DEV_STATS_INC(e->dev, tx_dropped); // refused, so still ours
            kfree_skb(skb);
        }
    }
    if (wait != PE_NEVER)
        hrtimer_start(&e->pacer, (ktime_t)(now + wait), HRTIMER_MODE_ABS);
}

enum hrtimer_restart pace(struct hrtimer *t) {
    eng_port *e = container_of(t, eng_port, pacer);
    std::lock_guard<std::mutex> g(e->lock);
    pump_locked(e, ktime_get_ns());
    return HRTIMER_NORESTART;
}

// Storm limits: at most rate frames of the class in each one-second window.
bool storm_passes(eng_port *e, const struct sk_buff *skb, u64 now) {
    if (skb->len < ETH_ALEN || !is_multicast_ether_addr(skb->data))
        return true;
    const int cls = is_broadcast_ether_addr(skb->data) ? 0 : 1;
    const u32 rate = e->prog.storm_rate[cls];
    auto &s = e->storm[cls];
    if (!rate)
        return true;
    if (now - s.start >= 1000000000ull) {
        s.start = now;
        s.count = 0;
    }
    if (s.count < rate) {
        s.count++;
        return true;
    }
    e->prog.storm_dropped[cls]++;
    return false;
}

netdev_tx_t eng_xmit(struct sk_buff *skb, struct net_device *dev) {
    eng_port *e = eng_of(dev);
    if (!__atomic_load_n(&e->active, __ATOMIC_ACQUIRE))
        return e->inner->ndo_start_xmit(skb, dev);
    std::lock_guard<std::mutex> g(e->lock);
    const u64 now = ktime_get_ns();
    if (!storm_passes(e, skb, now)) {
        DEV_STATS_INC(dev, tx_dropped);
        kfree_skb(skb);
        return NETDEV_TX_OK;
    }
    // The queue classification wrote into the second byte of the priority.
    if (pe_path_enqueue(&e->prog.path, skb, int((skb->priority >> 8) & 7), -1, now))
        DEV_STATS_INC(dev, tx_dropped);
    pump_locked(e, now);
    return NETDEV_TX_OK;
}

} // namespace

int linecard_engine_port_attach(struct net_device *dev) {
    u32 sub;
    if (!subport_of(dev->name, &sub) || eng_of(dev))
        return 0;
    auto *e = new (std::nothrow) eng_port();
    if (!e)
        return -ENOMEM;
    std::lock_guard<std::mutex> g(ports_lock);
    if (ports().count(sub)) { // the name is bound twice: the first one keeps the engine
        delete e;
        return 0;
    }
    e->inner = dev->netdev_ops;
    e->ops = *dev->netdev_ops;
    e->ops.ndo_start_xmit = eng_xmit;
    e->dev = dev;
    e->subport = sub;
    pe_path_init(&e->prog.path, ktime_get_ns());
    hrtimer_init(&e->pacer, CLOCK_MONOTONIC, HRTIMER_MODE_ABS);
    e->pacer.function = pace;
    dev->netdev_ops = &e->ops;
    dev->rte_engine = e;
    ports()[sub] = e;
    return 0;
}

void linecard_engine_port_detach(struct net_device *dev) {
    eng_port *e = eng_of(dev);
    if (!e)
        return;
    {
        std::lock_guard<std::mutex> g(ports_lock);
        ports().erase(e->subport);
    }
    hrtimer_cancel(&e->pacer);
    dev->netdev_ops = e->inner;
    dev->rte_engine = nullptr;
    pe_path_purge(&e->prog.path);
    delete e;
}

namespace {

int port_do(u32 ucc, u32 subport, const linecard_engine_fn &fn, bool program) {
    std::lock_guard<std::mutex> g(ports_lock);
    auto it = ucc == 0 ? ports().find(subport) : ports().end();
    if (it == ports().end())
        return -ENODEV;
    eng_port *e = it->second;
    std::lock_guard<std::mutex> pg(e->lock);
    const u64 now = ktime_get_ns();
    int rc = fn(e->prog, now);
    if (!rc && program) {
        __atomic_store_n(&e->active, true, __ATOMIC_RELEASE);
        pump_locked(e, now); // a looser setting may let waiting frames go
    }
    return rc;
}

} // namespace

int linecard_engine_port_program(u32 ucc, u32 subport, const linecard_engine_fn &fn) {
    return port_do(ucc, subport, fn, true);
}

int linecard_engine_port_read(u32 ucc, u32 subport, const linecard_engine_fn &fn) {
    return port_do(ucc, subport, fn, false);
}
