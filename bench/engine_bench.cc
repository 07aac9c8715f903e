// The packet engine's cost per frame on a port's transmit path, in process:
// a wire port the engine serves (eth1), frames handed to its transmit as the
// bridge does. The wire only counts what it sends. Items are frames sent.
//
//   direct     nothing programmed: the driver's transmit straight away
//   scheduled  a port shaper (too fast to hold a frame), eight queues at
//              their priorities and a storm limit: every frame is queued,
//              scheduled and sent by the path
//   policed    scheduled, and each frame marked by classification for an
//              ingress policer (too fast to drop) of another port
#include "kernel/netdevice.h"
#include "kernel/skbuff.h"
#include "kernel/time.h"
#include "linecard/engine.h"
#include "linecard/wire.h"
#include "sources/jxbridge/jxbridge_export.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

constexpr u32 kLen = 64;
constexpr u64 kFast = 1000000000000ull; // bit/s: no frame ever waits
constexpr u64 kDepth = 1000000000ull;   // bits

struct engine_env {
    struct net_device *out = nullptr, *in = nullptr;
    engine_env() {
        out = linecard_wire_add("eth1");
        in = linecard_wire_add("eth2"); // the policing port
        if (out)
            linecard_wire_record(out, false);
    }
    ~engine_env() {
        if (out)
            linecard_wire_del(out);
        if (in)
            linecard_wire_del(in);
    }
};

engine_env &env() {
    static engine_env e;
    return e;
}

int program_scheduled(linecard_engine_port &p, u64 now) {
    p.storm_rate[0] = 1000000000u;
    for (int q = 0; q < PE_QUEUES; q++)
        p.path.q[q].priority = (u8)q;
    return pe_bucket_set(&p.path.shaper, kFast, kDepth, now);
}

int program_direct(linecard_engine_port &p, u64 now) {
    p.storm_rate[0] = 0;
    return pe_bucket_set(&p.path.shaper, 0, 0, now);
}

int program_policer(linecard_engine_port &p, u64 now, bool on) {
    return on ? pe_policer_set(&p.path.policers[1], kFast, kDepth, kFast, kDepth, now)
              : pe_policer_set(&p.path.policers[1], 0, 0, 0, 0, now);
}

void send(benchmark::State &state, bool policed) {
    struct net_device *dev = env().out;
    if (!dev) {
        state.SkipWithError("no wire port eth1");
        return;
    }
    u32 n = 0;
    for (auto _ : state) {
        struct sk_buff *skb = alloc_skb(kLen, GFP_ATOMIC);
        memset(skb_put(skb, kLen), 0, kLen);
        skb->data[0] = 0x02;
        skb->dev = dev;
        skb->priority = (n++ & 7) << 8; // spread over the queues
        if (policed) {
            struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
            cb->flag_byte |= JXBRIDGE_CB_B_POLICER;
            cb->engine25[8] = 1; // policer 1 of UCC 0, subport 2: eth2
            cb->engine25[9] = 0;
            cb->engine25[10] = 2;
        }
        dev_queue_xmit(skb);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_engine_direct(benchmark::State &state) {
    linecard_engine_port_program(0, 1, program_direct);
    send(state, false);
}

void BM_engine_scheduled(benchmark::State &state) {
    linecard_engine_port_program(0, 1, program_scheduled);
    send(state, false);
    linecard_engine_port_program(0, 1, program_direct);
}

void BM_engine_policed(benchmark::State &state) {
    linecard_engine_port_program(0, 1, program_scheduled);
    linecard_engine_port_program(
        0, 2, [](linecard_engine_port &p, u64 now) { return program_policer(p, now, true); });
    send(state, true);
    linecard_engine_port_program(
        0, 2, [](linecard_engine_port &p, u64 now) { return program_policer(p, now, false); });
    linecard_engine_port_program(0, 1, program_direct);
}

} // namespace

BENCHMARK(BM_engine_direct);
BENCHMARK(BM_engine_scheduled);
BENCHMARK(BM_engine_policed);
