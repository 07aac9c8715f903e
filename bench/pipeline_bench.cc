// The frame pipeline in process, on one core: frames injected into wire ports
// as the tests do (threaded mode off, so each frame is processed in the
// caller), through a bridge's ingress stages, learning, look-up, egress rules
// and the driver's transmit. The wire ports only count what they send, so the
// figures are the bridge's. Items are frames received.
//
//   unicast    known unicast between two ports, tagged VLAN 100 on both
//              (tagged-only admission, ingress filter, egress keeps the tag),
//              8k stations learned
//   flood      a broadcast in a VLAN of 9 ports: 8 copies sent
//   translate  known unicast from an access port (untagged, PVID 200) to an
//              uplink (tagged member of 200): the tag is pushed on the way
//   unicast_threaded  the unicast case through the bridge's receive thread,
//              as the node runs: frames handed over in bursts of 256, as a
//              bound port's driver does (one transmit batch each), the burst
//              done before the next; CPU time is the whole process's
//   unicast_acl/N  the unicast case through an ingress ACL list of N entries
//              on the receiving port, each its own selector on the UDP
//              destination port: only the last matches (and passes)
#include "kernel/module.h"
#include "kernel/netdevice.h"
#include "kernel/sched.h"
#include "kernel/time.h"
#include "kernel/vfs.h"
#include "linecard/linecard.h"
#include "linecard/wire.h"
#include "sources/jxbridge/jxbridge.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <sched.h>
#include <string>
#include <vector>

namespace {

using frame = linecard_frame;

constexpr int kStations = 8192; // learned, half behind each of the two ports
constexpr int kFloodPorts = 9;  // the receiving port and 8 others
constexpr u16 kUnicastVid = 100;
constexpr u16 kAccessVid = 200;

long proc_write(const std::string &path, const std::string &text) {
    return rte_vfs_write_once(path.c_str(), text.data(), text.size());
}

// The module, loaded once for the run on the real clock, as in the node; a
// benchmark of another file may have loaded it already.
struct module_env {
    bool loaded_here = false;
    module_env() {
        linecard_ethdrv_init(); // the driver whose hook the bridge takes
        if (!rte_module_loaded("jxbridge_mod")) {
            // The receive thread as in the node: real-time, on CPU 1, where
            // the host allows it.
            rte_sched_allow_rt(true);
            loaded_here = rte_module_load("jxbridge_mod", {}) == 0;
            rte_settle();
        }
        proc_write("/proc/net/jxbridge/config", "threaded enable off");
    }
    ~module_env() {
        if (loaded_here && rte_module_loaded("jxbridge_mod"))
            rte_modules_unload_all();
        linecard_ethdrv_fini();
    }
};

void module() {
    static module_env env;
}

void put_mac(u8 *to, u32 station, u8 side) {
    const u8 mac[6] = {0x02, side, 0, (u8)(station >> 16), (u8)(station >> 8), (u8)station};
    memcpy(to, mac, 6);
}

// A 64-byte frame on the wire (60 here: the FCS is not carried), IPv4/UDP,
// with a VLAN tag when vid is not negative.
frame eth(const u8 *dst, const u8 *src, int vid) {
    u8 f[60] = {};
    size_t n = 12;
    memcpy(f, dst, 6);
    memcpy(f + 6, src, 6);
    if (vid >= 0) {
        const u8 tag[4] = {0x81, 0x00, (u8)(3 << 5 | vid >> 8), (u8)vid};
        memcpy(f + n, tag, 4);
        n += 4;
    }
    const u8 ip[] = {0x08, 0x00, 0x45, 0,   0, 46, 0, 0,    0x40, 0,    64,   17, 0,  0, 192,
                     0,    2,    1,    192, 0, 2,  2, 0x0f, 0xa0, 0x0f, 0xa1, 0,  26, 0, 0};
    memcpy(f + n, ip, sizeof(ip));
    return frame(f, f + sizeof(f));
}

// A bridge of wire ports, built and torn down with the benchmark.
struct bench_bridge {
    const char *name;
    struct jxbridge *br = nullptr;
    std::vector<struct jxbridge_port *> ports;
    std::vector<struct net_device *> wires;
    bool ok = false; // every port added and the bridge up

    bench_bridge(const char *bridge_name, int nports) : name(bridge_name) {
        module();
        proc_write("/proc/net/jxbridge/config", std::string("add ") + name + " 16");
        br = jxbridge_find(name);
        if (!br)
            return;
        for (int i = 0; i < nports; i++) {
            char dev_name[IFNAMSIZ];
            snprintf(dev_name, sizeof(dev_name), "%s%d", name, i);
            struct net_device *d = linecard_wire_add(dev_name);
            if (!d)
                return;
            linecard_wire_record(d, false);
            mutex_lock(&jxbridge_lock);
            struct jxbridge_port *p = jxbridge_add_port(
                br, 0xFFFFFFFF, 0, d, i ? JXBRIDGE_PORT_UPLINK : JXBRIDGE_PORT_ACCESS);
            if (p)
                p->phy_state = JXBRIDGE_PHY_UP;
            mutex_unlock(&jxbridge_lock);
            wires.push_back(d);
            if (!p)
                return;
            ports.push_back(p);
        }
        rtnl_lock();
        ok = dev_open(br->dev) == 0;
        rtnl_unlock();
    }
    ~bench_bridge() {
        if (br) {
            rtnl_lock();
            dev_close(br->dev);
            rtnl_unlock();
            proc_write("/proc/net/jxbridge/config", std::string("del ") + name);
        }
        for (struct net_device *d : wires)
            linecard_wire_del(d);
    }
    // Every port a member of vid, tagged or not.
    void vlan(u16 vid, bool tagged) {
        mutex_lock(&jxbridge_lock);
        vlan_add_configured(br->vlan, vid);
        for (struct jxbridge_port *p : ports) {
            vlan_add_membership(p, vid);
            vlan_set_port_tag(p, vid, tagged);
        }
        mutex_unlock(&jxbridge_lock);
    }
    void learn(struct jxbridge_port *p, const u8 *mac, u16 vid) {
        mutex_lock(&jxbridge_lock);
        mac_table_learn(br->mac_table, p, mac, vid);
        mutex_unlock(&jxbridge_lock);
    }
    u64 sent() {
        u64 n = 0;
        for (struct jxbridge_port *p : ports)
            n += p->dev->stats.tx_packets;
        return n;
    }
};

// Frames from stations behind a to stations behind b, every station learned:
// kStations / 2 on each side, each frame a new pair, in a random order.
std::vector<frame> unicast_frames(bench_bridge &b, struct jxbridge_port *a,
                                  struct jxbridge_port *to, int in_vid, u16 learn_vid) {
    std::vector<frame> out;
    std::mt19937 rng(1);
    for (u32 i = 0; i < kStations / 2; i++) {
        u8 dst[6], src[6];
        put_mac(dst, (u32)rng() % (kStations / 2), 2); // behind `to`
        put_mac(src, i, 1);
        out.push_back(eth(dst, src, in_vid));
    }
    for (u32 i = 0; i < kStations / 2; i++) {
        u8 m[6];
        put_mac(m, i, 1);
        b.learn(a, m, learn_vid);
        put_mac(m, i, 2);
        b.learn(to, m, learn_vid);
    }
    std::shuffle(out.begin(), out.end(), rng);
    return out;
}

// The first frame once, recorded where it should leave: the benchmark stops
// when the bridge does not do what it is measured doing.
bool check(benchmark::State &state, struct jxbridge_port *in, const frame &f,
           struct jxbridge_port *out, const frame &want) {
    linecard_wire_record(out->dev, true);
    linecard_wire_rx(in->dev, f);
    std::vector<frame> got = linecard_wire_take(out->dev);
    linecard_wire_record(out->dev, false);
    if (got.size() != 1 || got[0] != want) {
        state.SkipWithError("the bridge did not forward the frame as expected");
        return false;
    }
    return true;
}

void run(benchmark::State &state, bench_bridge &b, struct jxbridge_port *in,
         const std::vector<frame> &frames) {
    u64 sent0 = b.sent();
    size_t i = 0;
    for (auto _ : state) {
        linecard_wire_rx(in->dev, frames[i]);
        if (++i == frames.size())
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["sent/frame"] = (double)(b.sent() - sent0) / (double)state.iterations();
    state.counters["entries"] = b.br->mac_table->count;
}

// Known unicast between two tagged ports of one VLAN, tagged frames only on
// the way in: the frames, or none when the bridge does not forward them.
std::vector<frame> unicast_setup(benchmark::State &state, bench_bridge &b) {
    if (!b.ok) {
        state.SkipWithError("the bridge could not be built");
        return {};
    }
    b.vlan(kUnicastVid, true);
    mutex_lock(&jxbridge_lock);
    vlan_set_acceptable_frame(b.ports[0], VLAN_ACCEPT_TAGGED);
    mutex_unlock(&jxbridge_lock);
    auto frames = unicast_frames(b, b.ports[0], b.ports[1], kUnicastVid, kUnicastVid);
    if (!check(state, b.ports[0], frames[0], b.ports[1], frames[0]))
        return {};
    return frames;
}

void BM_Pipeline_unicast(benchmark::State &state) {
    bench_bridge b("pu", 2);
    auto frames = unicast_setup(state, b);
    if (!frames.empty())
        run(state, b, b.ports[0], frames);
}

void BM_Pipeline_unicast_acl(benchmark::State &state) {
    const int n = (int)state.range(0);
    bench_bridge b("pa", 2);
    auto frames = unicast_setup(state, b);
    if (frames.empty())
        return;
    const char *acl = "/proc/net/jxbridge/pa/acl";
    bool ok =
        proc_write(acl, "action-list add ok") > 0 && proc_write(acl, "action add ok 1 pass") > 0;
    for (int i = 0; ok && i < n; i++) {
        // Every port but the frames' (4001) until the last entry.
        const int dport = i == n - 1 ? 4001 : 1 + i;
        char cmd[3][96];
        snprintf(cmd[0], sizeof(cmd[0]), "selector add s%d", i);
        snprintf(cmd[1], sizeof(cmd[1]), "condition add s%d 1 udp_dport %d %d", i, dport, dport);
        snprintf(cmd[2], sizeof(cmd[2]), "port-entry add %s ingress %d s%d ok",
                 b.ports[0]->dev->name, 10 * (i + 1), i);
        for (auto &c : cmd)
            ok = ok && proc_write(acl, c) > 0;
    }
    if (!ok) {
        state.SkipWithError("the ACL could not be configured");
        return;
    }
    if (check(state, b.ports[0], frames[0], b.ports[1], frames[0]))
        run(state, b, b.ports[0], frames);
}

void BM_Pipeline_unicast_threaded(benchmark::State &state) {
    constexpr int kBurst = 256;
    bench_bridge b("pq", 2);
    auto frames = unicast_setup(state, b);
    if (frames.empty())
        return;
    proc_write("/proc/net/jxbridge/config", "threaded enable on");
    const u64 sent0 = b.sent();
    const u32 taken0 = jxbridge_q.total_tx, drops0 = jxbridge_q.drops;
    u32 handed = 0;
    size_t i = 0;
    for (auto _ : state) {
        rte_xmit_batch_begin();
        for (int k = 0; k < kBurst; k++) {
            linecard_wire_rx(b.ports[0]->dev, frames[i]);
            if (++i == frames.size())
                i = 0;
        }
        rte_xmit_batch_end();
        handed += kBurst;
        // The burst is done when the thread has taken it (or the queue dropped it).
        while ((u32)(__atomic_load_n(&jxbridge_q.total_tx, __ATOMIC_RELAXED) - taken0) +
                   (u32)(__atomic_load_n(&jxbridge_q.drops, __ATOMIC_RELAXED) - drops0) <
               handed)
            sched_yield();
    }
    proc_write("/proc/net/jxbridge/config", "threaded enable off");
    state.SetItemsProcessed(state.iterations() * kBurst);
    state.counters["dropped/frame"] = (double)(u32)(jxbridge_q.drops - drops0) / (double)handed;
    state.counters["sent/frame"] = (double)(b.sent() - sent0) / (double)handed;
}

void BM_Pipeline_flood(benchmark::State &state) {
    bench_bridge b("pf", kFloodPorts);
    if (!b.ok) {
        state.SkipWithError("the bridge could not be built");
        return;
    }
    b.vlan(kUnicastVid, true);
    std::vector<frame> frames;
    for (u32 i = 0; i < 256; i++) {
        const u8 bcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
        u8 src[6];
        put_mac(src, i, 1);
        frames.push_back(eth(bcast, src, kUnicastVid));
    }
    if (check(state, b.ports[0], frames[0], b.ports[kFloodPorts - 1], frames[0]))
        run(state, b, b.ports[0], frames);
}

void BM_Pipeline_translate(benchmark::State &state) {
    bench_bridge b("pt", 2);
    if (!b.ok) {
        state.SkipWithError("the bridge could not be built");
        return;
    }
    mutex_lock(&jxbridge_lock);
    vlan_add_configured(b.br->vlan, kAccessVid);
    vlan_add_membership(b.ports[0], kAccessVid);
    vlan_set_pvid(b.ports[0], kAccessVid);
    vlan_del_membership(b.ports[0], 1);
    vlan_add_membership(b.ports[1], kAccessVid);
    vlan_set_port_tag(b.ports[1], kAccessVid, 1);
    mutex_unlock(&jxbridge_lock);
    auto frames = unicast_frames(b, b.ports[0], b.ports[1], -1, kAccessVid);
    // Leaves tagged with the access VLAN, priority 0.
    frame want = eth(frames[0].data(), frames[0].data() + 6, kAccessVid);
    want[14] = kAccessVid >> 8; // priority 0
    want.resize(64, 0);         // four more bytes: the tag
    if (check(state, b.ports[0], frames[0], b.ports[1], want))
        run(state, b, b.ports[0], frames);
}

} // namespace

BENCHMARK(BM_Pipeline_unicast);
BENCHMARK(BM_Pipeline_unicast_acl)->Arg(1)->Arg(16)->Arg(128);
BENCHMARK(BM_Pipeline_unicast_threaded)->MeasureProcessCPUTime();
BENCHMARK(BM_Pipeline_flood);
BENCHMARK(BM_Pipeline_translate);
