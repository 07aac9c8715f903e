// The packet engine on the wire: what is programmed into the engine for a
// port acts on that port's transmit path (engine_path.h). The driver's
// operations of a port the engine serves are wrapped when the port appears,
// before any other wrapper (the OLT's), so that the engine sees the frames as
// they go on the wire; until something is programmed the wrapper hands
// frames straight to the driver.
// Frames that must wait go out from a high-resolution timer.
#include "linecard/engine.h"
#include "linecard/linecard.h"

#include "kernel/netdevice.h"
#include "kernel/printk.h"
#include "kernel/skbuff.h"
#include "kernel/time.h"
#include "sources/jxbridge/jxbridge_export.h"

#include <cstdio>
#include <ctime>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

namespace {

struct eng_port;
struct eng_pacer {
    struct hrtimer timer;
    eng_port *owner;
};

struct eng_port {
    struct net_device_ops ops; // the driver's, with transmit through the engine
    const struct net_device_ops *inner;
    struct net_device *dev;
    u32 subport;
    std::mutex lock; // prog, the storm windows, the pacer's arming
    struct linecard_engine_port prog;
    bool active;   // something that acts is programmed: frames go through the path
    bool policing; // one of its ingress policers has a rate
    bool olt;      // frames carry their GEM in the scratch word
    struct eng_pacer pacer;
    struct {
        u32 count;
        u64 start;
    } storm[2]; // the current one-second windows
};

// What an ONU may hold waiting for its shaper.
constexpr u32 ONU_FRAMES = PE_QUEUE_FRAMES;

std::mutex ports_lock; // the registry; never taken inside a port's lock
// Ports with an ingress policer: a frame may then be policed wherever it leaves.
int policing_ports;
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

int queue_of(const struct sk_buff *skb) {
    // The queue classification wrote into the second byte of the priority.
    return int((skb->priority >> 8) & 7);
}

// Moves what the ONUs' shapers let go into the port's queues: the earliest
// time (from now) one may go next, PE_NEVER when none waits.
u64 onus_locked(eng_port *e, u64 now) {
    u64 next = PE_NEVER;
    for (auto &[id, o] : e->prog.onus) {
        while (!skb_queue_empty(&o.frames)) {
            const u64 bits = u64(o.frames.next->len) * 8;
            if (!pe_bucket_take(&o.shaper, bits, now)) {
                const u64 w = pe_bucket_wait(&o.shaper, bits, now);
                next = w < next ? w : next;
                break;
            }
            struct sk_buff *skb = __skb_dequeue(&o.frames);
            pe_path_enqueue(&e->prog.path, skb, queue_of(skb), -1, now);
        }
    }
    return next;
}

// Sends what the path lets go now; arms the pacer for the rest.
void pump_locked(eng_port *e, u64 now) {
    u64 wait;
    const u64 onu_wait = e->prog.onus.empty() ? PE_NEVER : onus_locked(e, now);
    while (struct sk_buff *skb = pe_path_dequeue(&e->prog.path, now, &wait)) {
        if (e->inner->ndo_start_xmit(skb, e->dev) != NETDEV_TX_OK) {
            DEV_STATS_INC(e->dev, tx_dropped); // refused, so still ours
            kfree_skb(skb);
        }
    }
    wait = onu_wait < wait ? onu_wait : wait;
    if (wait != PE_NEVER)
        hrtimer_start(&e->pacer.timer, (ktime_t)(now + wait), HRTIMER_MODE_ABS);
}

enum hrtimer_restart pace(struct hrtimer *t) {
    eng_port *e = container_of(t, eng_pacer, timer)->owner;
    std::lock_guard<std::mutex> g(e->lock);
    pump_locked(e, ktime_get_ns());
    return HRTIMER_NORESTART;
}

// Storm limits: at most rate frames of the class in each one-second window.
bool window_passes(u32 rate, u32 *count, u64 *start, u64 *dropped, u64 now) {
    if (!rate)
        return true;
    if (now - *start >= 1000000000ull) {
        *start = now;
        *count = 0;
    }
    if (*count < rate) {
        ++*count;
        return true;
    }
    ++*dropped;
    return false;
}

u32 gem_of(const struct sk_buff *skb) {
    return skb->scratch & 0xFFFF;
}

linecard_engine_gem *frame_gem(eng_port *e, const struct sk_buff *skb) {
    if (!e->olt || e->prog.gems.empty())
        return nullptr;
    auto it = e->prog.gems.find(gem_of(skb));
    return it == e->prog.gems.end() ? nullptr : &it->second;
}

bool storm_passes(eng_port *e, const struct sk_buff *skb, u64 now) {
    if (skb->len < ETH_ALEN || !is_multicast_ether_addr(skb->data))
        return true;
    const int cls = is_broadcast_ether_addr(skb->data) ? 0 : 1;
    auto &s = e->storm[cls];
    if (!window_passes(e->prog.storm_rate[cls], &s.count, &s.start, &e->prog.storm_dropped[cls],
                       now))
        return false;
    linecard_engine_gem *g = frame_gem(e, skb);
    return !g || window_passes(g->storm.rate[cls], &g->storm.count[cls], &g->storm.start[cls],
                               &g->storm.dropped[cls], now);
}

eng_port *port_locked(u32 ucc, u32 subport, u32 *gem);

// The ingress policer the classification named in the frame's control block
// (an id and the port it belongs to): its colour, green when there is none.
enum pe_color ic_police(struct sk_buff *skb, u64 now) {
    const struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    if (!(cb->flag_byte & JXBRIDGE_CB_B_POLICER))
        return PE_GREEN;
    const u8 id = cb->engine25[8], ucc = cb->engine25[9], sub = cb->engine25[10];
    if (id >= PE_POLICERS)
        return PE_GREEN;
    std::lock_guard<std::mutex> g(ports_lock);
    u32 gem;
    eng_port *in = port_locked(ucc, sub, &gem);
    if (!in)
        return PE_GREEN;
    std::lock_guard<std::mutex> pg(in->lock);
    if (gem == ~0u) {
        const enum pe_color c = pe_police(&in->prog.path.policers[id], skb->len, now);
        in->prog.dropped_ic_policer += c == PE_RED;
        return c;
    }
    auto it = in->prog.gems.find(gem);
    if (it == in->prog.gems.end())
        return PE_GREEN;
    const enum pe_color c = pe_police(&it->second.policers[id], skb->len, now);
    it->second.dropped_policer += c == PE_RED;
    return c;
}

void drop(struct net_device *dev, struct sk_buff *skb) {
    DEV_STATS_INC(dev, tx_dropped);
    kfree_skb(skb);
}

netdev_tx_t eng_xmit(struct sk_buff *skb, struct net_device *dev) {
    eng_port *e = eng_of(dev);
    const bool active = __atomic_load_n(&e->active, __ATOMIC_ACQUIRE);
    if (!active && !__atomic_load_n(&policing_ports, __ATOMIC_ACQUIRE))
        return e->inner->ndo_start_xmit(skb, dev);
    // Before this port's lock: the policer may be this port's own.
    const enum pe_color color = ic_police(skb, ktime_get_ns());
    if (color == PE_RED) {
        drop(dev, skb);
        return NETDEV_TX_OK;
    }
    if (!active)
        return e->inner->ndo_start_xmit(skb, dev);
    std::lock_guard<std::mutex> g(e->lock);
    const u64 now = ktime_get_ns();
    if (!storm_passes(e, skb, now)) {
        drop(dev, skb);
        return NETDEV_TX_OK;
    }
    linecard_engine_gem *gem = frame_gem(e, skb);
    auto onu = gem && gem->onu >= 0 ? e->prog.onus.find(u32(gem->onu)) : e->prog.onus.end();
    if (onu != e->prog.onus.end() && onu->second.shaper.rate) {
        linecard_engine_onu &o = onu->second;
        if (skb_queue_len(&o.frames) >= ONU_FRAMES) {
            o.dropped_shaper++;
            drop(dev, skb);
            return NETDEV_TX_OK;
        }
        __skb_queue_tail(&o.frames, skb);
    } else if (pe_path_enqueue_color(&e->prog.path, skb, queue_of(skb), color, now)) {
        DEV_STATS_INC(dev, tx_dropped);
    }
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
    e->olt = linecard_olt_name(dev->name);
    pe_path_init(&e->prog.path, ktime_get_ns());
    hrtimer_init(&e->pacer.timer, CLOCK_MONOTONIC, HRTIMER_MODE_ABS);
    e->pacer.timer.function = pace;
    e->pacer.owner = e;
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
        if (e->policing)
            __atomic_sub_fetch(&policing_ports, 1, __ATOMIC_RELEASE);
    }
    hrtimer_cancel(&e->pacer.timer);
    dev->netdev_ops = e->inner;
    dev->rte_engine = nullptr;
    pe_path_purge(&e->prog.path);
    for (auto &[id, o] : e->prog.onus)
        skb_queue_purge(&o.frames);
    delete e;
}

void linecard_engine_onu_gc(struct linecard_engine_port &p) {
    for (auto it = p.onus.begin(); it != p.onus.end();) {
        bool named = false;
        for (const auto &[n, g] : p.gems)
            named = named || g.onu == s64(it->first);
        if (named) {
            ++it;
        } else {
            skb_queue_purge(&it->second.frames);
            it = p.onus.erase(it);
        }
    }
}

bool linecard_engine_port_rx(struct net_device *dev, struct sk_buff *skb) {
    eng_port *e = eng_of(dev);
    if (!e || !e->olt || !__atomic_load_n(&e->active, __ATOMIC_ACQUIRE))
        return true;
    std::lock_guard<std::mutex> g(e->lock);
    linecard_engine_gem *gem = frame_gem(e, skb);
    auto onu = gem && gem->onu >= 0 ? e->prog.onus.find(u32(gem->onu)) : e->prog.onus.end();
    if (onu == e->prog.onus.end() ||
        pe_bucket_take(&onu->second.policer, u64(skb->len) * 8, ktime_get_ns()))
        return true;
    onu->second.dropped_policer++;
    DEV_STATS_INC(dev, rx_dropped);
    kfree_skb(skb);
    return false;
}

namespace {

// The port a (UCC, subport) pair names, under ports_lock: on UCC 0 the
// subport itself, on an OLT's UCC (4-35) that OLT's port, with the subport as
// *gem (~0u otherwise).
eng_port *port_locked(u32 ucc, u32 subport, u32 *gem) {
    const bool olt = ucc >= 4 && ucc <= 35;
    if (ucc && !olt)
        return nullptr;
    auto it = ports().find(olt ? ucc : subport);
    if (it == ports().end() || (olt && !it->second->olt))
        return nullptr;
    *gem = olt ? subport : ~0u;
    return it->second;
}

// Whether anything programmed can hold, drop or reorder a frame: without it
// the port keeps the direct path (queue priorities and weights only order
// frames that wait, and none waits without a rate).
bool acts(const struct linecard_engine_port &p) {
    if (p.path.shaper.rate || p.storm_rate[0] || p.storm_rate[1] || !p.gems.empty() ||
        !p.onus.empty() || pe_path_queued(&p.path))
        return true;
    for (const auto &q : p.path.q)
        if (q.min.rate || q.max.rate || !q.pdr)
            return true;
    return false;
}

bool polices(const struct linecard_engine_port &p) {
    for (const auto &pol : p.path.policers)
        if (pol.committed.rate || pol.peak.rate)
            return true;
    for (const auto &[n, g] : p.gems)
        for (const auto &pol : g.policers)
            if (pol.committed.rate || pol.peak.rate)
                return true;
    return false;
}

int port_do(u32 ucc, u32 subport, const linecard_engine_fn &fn, bool program) {
    std::lock_guard<std::mutex> g(ports_lock);
    u32 gem;
    eng_port *e = port_locked(ucc, subport, &gem);
    if (!e)
        return -ENODEV;
    std::lock_guard<std::mutex> pg(e->lock);
    const u64 now = ktime_get_ns();
    int rc = fn(e->prog, now);
    if (!rc && program) {
        __atomic_store_n(&e->active, acts(e->prog), __ATOMIC_RELEASE);
        const bool pol = polices(e->prog);
        if (pol != e->policing)
            __atomic_add_fetch(&policing_ports, pol ? 1 : -1, __ATOMIC_RELEASE);
        e->policing = pol;
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
