// The MAC table on the frame path: learning the source and looking up the
// destination of a frame, at 1k, 8k and 32k stations. Items are frames.
#include "kernel/module.h"
#include "kernel/netdevice.h"
#include "kernel/time.h"
#include "sources/jxbridge/jxbridge.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

constexpr int kPorts = 8;

struct station {
    u8 mac[6];
    u16 vid;
    struct jxbridge_port *port;
};

// One module load and one bridge for the whole run; each benchmark refills
// the table with its number of stations.
struct bench_bridge {
    struct jxbridge *br = nullptr;
    struct jxbridge_port *ports[kPorts] = {};
    std::vector<net_device *> devs;

    bench_bridge() {
        rte_module_load("jxbridge_mod", {}); // on the real clock, as in the node
        rte_settle();
        mutex_lock(&jxbridge_lock);
        jxbridge_add("bench0", kPorts);
        br = jxbridge_find("bench0");
        for (int i = 0; i < kPorts; i++) {
            char name[IFNAMSIZ];
            snprintf(name, sizeof(name), "bp%d", i);
            net_device *d = alloc_netdev(0, name, NET_NAME_USER, ether_setup);
            register_netdev(d);
            devs.push_back(d);
            ports[i] = jxbridge_add_port(br, i, 0, d, JXBRIDGE_PORT_ACCESS);
        }
        mutex_unlock(&jxbridge_lock);
    }
    ~bench_bridge() {
        rte_modules_unload_all();
        for (net_device *d : devs) {
            unregister_netdev(d);
            free_netdev(d);
        }
    }

    // n stations spread over the ports and a few VLANs, learned in the table;
    // returned in a random order, the order frames arrive in.
    std::vector<station> fill(int n) {
        std::mt19937_64 rng(n);
        std::vector<station> st(n);
        for (int i = 0; i < n; i++) {
            u64 r = rng();
            st[i].mac[0] = 0x02; // locally administered unicast
            memcpy(st[i].mac + 1, &r, 5);
            st[i].vid = (u16)(1 + i % 16);
            st[i].port = ports[i % kPorts];
        }
        mutex_lock(&jxbridge_lock);
        mac_table_flush(br->mac_table);
        for (auto &s : st)
            mac_table_learn(br->mac_table, s.port, s.mac, s.vid);
        mutex_unlock(&jxbridge_lock);
        std::shuffle(st.begin(), st.end(), rng);
        return st;
    }
};

bench_bridge &bridge() {
    static bench_bridge b;
    return b;
}

void BM_Learn(benchmark::State &state) {
    auto st = bridge().fill((int)state.range(0));
    struct mac_table *mt = bridge().br->mac_table;
    size_t i = 0;
    mutex_lock(&jxbridge_lock);
    for (auto _ : state) {
        const station &s = st[i];
        benchmark::DoNotOptimize(mac_table_learn(mt, s.port, s.mac, s.vid));
        if (++i == st.size())
            i = 0;
    }
    mutex_unlock(&jxbridge_lock);
    state.SetItemsProcessed(state.iterations());
    state.counters["entries"] = mt->count;
}

void BM_Lookup(benchmark::State &state) {
    auto st = bridge().fill((int)state.range(0));
    struct mac_table *mt = bridge().br->mac_table;
    size_t i = 0;
    mutex_lock(&jxbridge_lock);
    for (auto _ : state) {
        const station &s = st[i];
        benchmark::DoNotOptimize(mac_table_lookup(mt, s.mac, s.vid));
        if (++i == st.size())
            i = 0;
    }
    mutex_unlock(&jxbridge_lock);
    state.SetItemsProcessed(state.iterations());
}

// What a frame costs the table: its source learned, its destination found.
void BM_LearnLookup(benchmark::State &state) {
    auto st = bridge().fill((int)state.range(0));
    struct mac_table *mt = bridge().br->mac_table;
    size_t i = 0, j = st.size() / 2;
    mutex_lock(&jxbridge_lock);
    for (auto _ : state) {
        const station &src = st[i], &dst = st[j];
        benchmark::DoNotOptimize(mac_table_learn(mt, src.port, src.mac, src.vid));
        benchmark::DoNotOptimize(mac_table_lookup(mt, dst.mac, dst.vid));
        if (++i == st.size())
            i = 0;
        if (++j == st.size())
            j = 0;
    }
    mutex_unlock(&jxbridge_lock);
    state.SetItemsProcessed(state.iterations());
}

// The same frame with the pipeline's per-frame lock around it.
void BM_LearnLookupLocked(benchmark::State &state) {
    auto st = bridge().fill((int)state.range(0));
    struct mac_table *mt = bridge().br->mac_table;
    size_t i = 0, j = st.size() / 2;
    for (auto _ : state) {
        const station &src = st[i], &dst = st[j];
        mutex_lock(&jxbridge_lock);
        benchmark::DoNotOptimize(mac_table_learn(mt, src.port, src.mac, src.vid));
        benchmark::DoNotOptimize(mac_table_lookup(mt, dst.mac, dst.vid));
        mutex_unlock(&jxbridge_lock);
        if (++i == st.size())
            i = 0;
        if (++j == st.size())
            j = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

// For comparison: walking a station's bucket, which every look-up would cost
// without the index (64 entries per bucket at 32k stations).
void BM_BucketWalk(benchmark::State &state) {
    auto st = bridge().fill((int)state.range(0));
    struct mac_table *mt = bridge().br->mac_table;
    u8 vlans[512];
    size_t i = 0;
    mutex_lock(&jxbridge_lock);
    for (auto _ : state) {
        const station &s = st[i];
        benchmark::DoNotOptimize(mac_table_lookup_by_mac_port(mt, s.mac, s.port->port_no, vlans));
        if (++i == st.size())
            i = 0;
    }
    mutex_unlock(&jxbridge_lock);
    state.SetItemsProcessed(state.iterations());
}

// Station churn: a new station learned, an old one deleted.
void BM_NewStation(benchmark::State &state) {
    auto st = bridge().fill((int)state.range(0));
    struct mac_table *mt = bridge().br->mac_table;
    size_t i = 0;
    mutex_lock(&jxbridge_lock);
    for (auto _ : state) {
        station &s = st[i];
        mac_table_delete_by_mac(mt, s.mac, s.vid);
        s.mac[0] ^= 0x04; // another station in its place
        benchmark::DoNotOptimize(mac_table_learn(mt, s.port, s.mac, s.vid));
        if (++i == st.size())
            i = 0;
    }
    mutex_unlock(&jxbridge_lock);
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_Learn)->Arg(1024)->Arg(8192)->Arg(32768);
BENCHMARK(BM_Lookup)->Arg(1024)->Arg(8192)->Arg(32768);
BENCHMARK(BM_LearnLookup)->Arg(1024)->Arg(8192)->Arg(32768);
BENCHMARK(BM_LearnLookupLocked)->Arg(1024)->Arg(8192)->Arg(32768);
BENCHMARK(BM_BucketWalk)->Arg(1024)->Arg(8192)->Arg(32768);
BENCHMARK(BM_NewStation)->Arg(1024)->Arg(8192)->Arg(32768);
