#include "linecard/engine.h"

#include "kernel/module.h"
#include "kernel/skbuff.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>

namespace {

struct engine_state {
    std::mutex m;
    std::vector<std::string> calls;
    std::map<std::string, int> results;
    std::string api = "TARN API 3.2.0";
    std::string microcode = "TARN UCODE 7.14";
    std::string api_out, microcode_out; // what the last call handed out
    u32 ccm_stats[4] = {};
    tarn_ccm_notify_fn ccm_notify = nullptr;
};

engine_state &st() {
    static engine_state s;
    return s;
}

// Records the call and answers its result.
int record(const char *fn, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int record(const char *fn, const char *fmt, ...) {
    char args[4096]; // room for a PDU in hexadecimal
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(args, sizeof(args), fmt, ap);
    va_end(ap);
    engine_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    s.calls.push_back(std::string(fn) + "(" + args + ")");
    auto it = s.results.find(fn);
    return it == s.results.end() ? 0 : it->second;
}

// The result set for fn, without recording the call.
int answer(const char *fn) {
    engine_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    auto it = s.results.find(fn);
    return it == s.results.end() ? 0 : it->second;
}

const char *version_text(const char *fn, std::string engine_state::*text,
                         std::string engine_state::*out) {
    int rc = record(fn, "%s", "");
    engine_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    if (rc)
        return nullptr;
    s.*out = s.*text; // stays valid until the next call, as a static buffer would
    return (s.*out).c_str();
}

struct export_entry {
    const char *name;
    void *addr;
};

const export_entry exports[] = {
    {"tarnAPISetLAG", (void *)&tarnAPISetLAG},
    {"arlSetLAG", (void *)&arlSetLAG},
    {"tarnAPISetLAGPortUP", (void *)&tarnAPISetLAGPortUP},
    {"tarnAPISetLAGPortDOWN", (void *)&tarnAPISetLAGPortDOWN},
    {"tarnAPIGetAPIVersion", (void *)&tarnAPIGetAPIVersion},
    {"tarnAPIGetMicrocodeVersion", (void *)&tarnAPIGetMicrocodeVersion},
    {"tarnAPISetGemSubport", (void *)&tarnAPISetGemSubport},
    {"tarnAPISetMcastGem", (void *)&tarnAPISetMcastGem},
    {"tarnAPIErpsCcmEnable", (void *)&tarnAPIErpsCcmEnable},
    {"tarnAPIErpsCcmDisable", (void *)&tarnAPIErpsCcmDisable},
    {"tarnAPIErpsCcmGetStats", (void *)&tarnAPIErpsCcmGetStats},
    {"tarnAPIErpsCcmClearStats", (void *)&tarnAPIErpsCcmClearStats},
    {"tarnAPISetICPolicing", (void *)&tarnAPISetICPolicing},
    {"tarnAPISetPortShaping", (void *)&tarnAPISetPortShaping},
    {"tarnAPISetOQShapingWithCDR", (void *)&tarnAPISetOQShapingWithCDR},
    {"tarnAPIGetOQOccupation", (void *)&tarnAPIGetOQOccupation},
    {"tarnAPISetOQPriority", (void *)&tarnAPISetOQPriority},
    {"tarnAPISetOQPriority2", (void *)&tarnAPISetOQPriority2},
    {"tarnAPISetOQONUShapingWithCDR", (void *)&tarnAPISetOQONUShapingWithCDR},
    {"tarnAPISetICONUPolicing", (void *)&tarnAPISetICONUPolicing},
    {"tarnAPIQosEgressCreateScheduler", (void *)&tarnAPIQosEgressCreateScheduler},
    {"tarnAPIQosEgressSetScheduler", (void *)&tarnAPIQosEgressSetScheduler},
    {"tarnAPIQosEgressDeleteScheduler", (void *)&tarnAPIQosEgressDeleteScheduler},
    {"tarnAPIQosEgressCreateQueue", (void *)&tarnAPIQosEgressCreateQueue},
    {"tarnAPIQosEgressSetQueue", (void *)&tarnAPIQosEgressSetQueue},
    {"tarnAPIQosEgressDeleteQueue", (void *)&tarnAPIQosEgressDeleteQueue},
    {"tarnAPISetStormRate", (void *)&tarnAPISetStormRate},
    {"tarnAPISetOQSize", (void *)&tarnAPISetOQSize},
    {"tarnAPISetOQWeight", (void *)&tarnAPISetOQWeight},
    {"tarnAPISetOQWred", (void *)&tarnAPISetOQWred},
    {"tarnAPIGetPortStatistics", (void *)&tarnAPIGetPortStatistics},
    {"tarnAPIClearPortStatistics", (void *)&tarnAPIClearPortStatistics},
};

std::string hex(const u8 *p, int n) {
    std::string s;
    char b[3];
    for (int i = 0; p && i < n; i++) {
        snprintf(b, sizeof(b), "%02x", p[i]);
        s += b;
    }
    return s.empty() ? "-" : s;
}

} // namespace

int tarnAPISetLAG(int lag_id, int lag_mode, u32 tx_port_mask) {
    return record(__func__, "%d, %d, 0x%x", lag_id, lag_mode, tx_port_mask);
}

int arlSetLAG(int lag_id, int lag_mode, u32 tx_port_mask) {
    return record(__func__, "%d, %d, 0x%x", lag_id, lag_mode, tx_port_mask);
}

int tarnAPISetLAGPortUP(int ucc) {
    return record(__func__, "%d", ucc);
}

int tarnAPISetLAGPortDOWN(int ucc) {
    return record(__func__, "%d", ucc);
}

namespace {
int program(int rc, int ucc, int port, const linecard_engine_fn &fn, bool gem = false);
}

int tarnAPISetGemSubport(int ucc, int gem, int enable) {
    int rc = record(__func__, "%d, %d, %d", ucc, gem, enable);
    return program(
        rc, ucc, gem,
        [&](linecard_engine_port &p, u64) {
            if (enable) {
                p.gems[u32(gem)] = linecard_engine_gem();
            } else {
                p.gems.erase(u32(gem));
                linecard_engine_onu_gc(p);
            }
            return 0;
        },
        true);
}

int tarnAPISetMcastGem(int gem, int add) {
    return record(__func__, "%d, %d", gem, add);
}

int tarnAPIErpsCcmEnable(int ucc, int vid, const u8 *tx_pdu, int tx_size, int tx_interval,
                         const u8 *rx_pdu, const u8 *rx_mask, int rx_size, int rx_interval,
                         tarn_ccm_notify_fn notify) {
    {
        engine_state &s = st();
        std::lock_guard<std::mutex> g(s.m);
        s.ccm_notify = notify;
    }
    return record(__func__, "%d, %d, %s, %d, %d, %s, %s, %d, %d", ucc, vid,
                  hex(tx_pdu, tx_size).c_str(), tx_size, tx_interval, hex(rx_pdu, rx_size).c_str(),
                  hex(rx_mask, rx_size).c_str(), rx_size, rx_interval);
}

int tarnAPIErpsCcmDisable(int ucc, int vid) {
    return record(__func__, "%d, %d", ucc, vid);
}

int tarnAPIErpsCcmGetStats(int ucc, int vid, u32 *out) {
    int rc = record(__func__, "%d, %d", ucc, vid);
    engine_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    for (int i = 0; i < 4; i++)
        out[i] = s.ccm_stats[i];
    return rc;
}

int tarnAPIErpsCcmClearStats(int ucc, int vid) {
    return record(__func__, "%d, %d", ucc, vid);
}

void linecard_engine_set_ccm_stats(u32 tx, u32 rx, u32 loc, u32 dropped) {
    engine_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    s.ccm_stats[0] = tx;
    s.ccm_stats[1] = rx;
    s.ccm_stats[2] = loc;
    s.ccm_stats[3] = dropped;
}

int linecard_engine_ccm_error(int ucc, int vlan, int rx_error, int rx_error_state) {
    tarn_ccm_notify_fn fn;
    {
        engine_state &s = st();
        std::lock_guard<std::mutex> g(s.m);
        fn = s.ccm_notify;
    }
    if (!fn)
        return -ENOENT;
    fn(ucc, vlan, rx_error, rx_error_state);
    return 0;
}

namespace {

// A port the engine serves carries out what it is programmed with (its
// data path, engine_wire.cc); on any other port the call is only recorded.
// So are calls that name a GEM's own queues and shapers (gem false): the
// engine here carries out an OLT port's queues, its ONUs and its GEMs'
// policers and storm limits.
int program(int rc, int ucc, int port, const linecard_engine_fn &fn, bool gem) {
    if (rc || ucc < 0 || port < 0 || (ucc && !gem))
        return rc;
    rc = linecard_engine_port_program(u32(ucc), u32(port), fn);
    return rc == -ENODEV ? 0 : rc;
}

bool bad_queue(int queue) {
    return queue < 0 || queue >= PE_QUEUES;
}

// The GEM a call on an OLT's UCC names: null (-ENODEV) when it is not bound.
linecard_engine_gem *gem_of(linecard_engine_port &p, int ucc, int port) {
    if (!ucc)
        return nullptr;
    auto it = p.gems.find(u32(port));
    return it == p.gems.end() ? nullptr : &it->second;
}

// The ONU of a GEM, made on first use.
linecard_engine_onu &onu_of(linecard_engine_port &p, linecard_engine_gem &g, int onu, u64 now) {
    g.onu = onu;
    auto [it, fresh] = p.onus.try_emplace(u32(onu));
    if (fresh) {
        skb_queue_head_init(&it->second.frames);
        it->second.shaper.last = it->second.policer.last = now;
    }
    linecard_engine_onu_gc(p); // the GEM may have left another ONU
    return it->second;
}

} // namespace

int tarnAPISetICPolicing(int ucc, int port, int policy, u32 cir, u32 cbs, u32 pir, u32 pbs) {
    int rc = record(__func__, "%d, %d, %d, %u, %u, %u, %u", ucc, port, policy, cir, cbs, pir, pbs);
    return program(
        rc, ucc, port,
        [&](linecard_engine_port &p, u64 now) {
            if (policy < 0 || policy >= PE_POLICERS)
                return -EINVAL;
            linecard_engine_gem *g = gem_of(p, ucc, port);
            if (ucc && !g)
                return -ENODEV;
            struct pe_policer *pol = g ? &g->policers[policy] : &p.path.policers[policy];
            // No peak rate: one rate, and what exceeds it is dropped.
            return pir ? pe_policer_set(pol, cir, cbs, pir, pbs, now)
                       : pe_policer_set(pol, cir, cbs, cir, cbs, now);
        },
        true);
}

int tarnAPISetPortShaping(int ucc, int port, u32 rate, u32 burst) {
    int rc = record(__func__, "%d, %d, %u, %u", ucc, port, rate, burst);
    return program(rc, ucc, port, [&](linecard_engine_port &p, u64 now) {
        return pe_bucket_set(&p.path.shaper, rate, burst, now);
    });
}

int tarnAPISetOQShapingWithCDR(int ucc, int port, int queue, u32 min_rate, u32 min_burst,
                               u32 max_rate, u32 max_burst, int sched_type) {
    int rc = record(__func__, "%d, %d, %d, %u, %u, %u, %u, %d", ucc, port, queue, min_rate,
                    min_burst, max_rate, max_burst, sched_type);
    return program(rc, ucc, port, [&](linecard_engine_port &p, u64 now) {
        if (bad_queue(queue))
            return -EINVAL;
        struct pe_queue *q = &p.path.q[queue];
        struct pe_bucket min = q->min, max = q->max;
        int err = pe_bucket_set(&min, min_rate, min_burst, now);
        if (!err)
            err = pe_bucket_set(&max, max_rate, max_burst, now);
        if (err)
            return err;
        q->min = min;
        q->max = max;
        q->weighted = sched_type != 0;
        return 0;
    });
}

int tarnAPIGetOQOccupation(int ucc, int port, int queue) {
    int rc = record(__func__, "%d, %d, %d", ucc, port, queue);
    if (rc || bad_queue(queue) || ucc != 0 || port < 0)
        return rc;
    int n = 0;
    linecard_engine_port_read(u32(ucc), u32(port), [&](linecard_engine_port &p, u64) {
        n = int(skb_queue_len(&p.path.q[queue].frames));
        return 0;
    });
    return n;
}

int tarnAPISetOQPriority(int ucc, int port, int queue, int priority) {
    return record(__func__, "%d, %d, %d, %d", ucc, port, queue, priority);
}

int tarnAPISetOQPriority2(int ucc, int port, int queue, int priority, int enable, int pdr) {
    int rc = record(__func__, "%d, %d, %d, %d, %d, %d", ucc, port, queue, priority, enable, pdr);
    return program(rc, ucc, port, [&](linecard_engine_port &p, u64) {
        if (bad_queue(queue) || priority < 0 || priority >= PE_QUEUES)
            return -EINVAL;
        struct pe_queue *q = &p.path.q[queue];
        q->priority = u8(priority);
        (pdr ? q->pdr : q->cdr) = enable != 0;
        return 0;
    });
}

// The ONU calls name the ONU and one of its GEMs: that GEM's frames are the ONU's from then on.
static int program_onu(int rc, int ucc, int onu, int port, u32 rate, u32 burst,
                       struct pe_bucket linecard_engine_onu::*which) {
    return program(
        rc, ucc, port,
        [&](linecard_engine_port &p, u64 now) {
            linecard_engine_gem *g = gem_of(p, ucc, port);
            if (!g)
                return -ENODEV;
            if (onu < 0)
                return -EINVAL;
            struct pe_bucket b = {};
            int err = pe_bucket_set(&b, rate, burst, now);
            if (!err)
                onu_of(p, *g, onu, now).*which = b;
            return err;
        },
        true);
}

int tarnAPISetOQONUShapingWithCDR(int ucc, int onu, int port, int a, int b, u32 rate, u32 burst) {
    int rc = record(__func__, "%d, %d, %d, %d, %d, %u, %u", ucc, onu, port, a, b, rate, burst);
    return program_onu(rc, ucc, onu, port, rate, burst, &linecard_engine_onu::shaper);
}

int tarnAPISetICONUPolicing(int ucc, int onu, int port, int a, int b, u32 rate, u32 burst) {
    int rc = record(__func__, "%d, %d, %d, %d, %d, %u, %u", ucc, onu, port, a, b, rate, burst);
    return program_onu(rc, ucc, onu, port, rate, burst, &linecard_engine_onu::policer);
}

int tarnAPISetStormRate(int ucc, int port, u32 bcast, u32 mcast) {
    int rc = record(__func__, "%d, %d, %u, %u", ucc, port, bcast, mcast);
    return program(
        rc, ucc, port,
        [&](linecard_engine_port &p, u64) {
            linecard_engine_gem *g = gem_of(p, ucc, port);
            if (ucc && !g)
                return -ENODEV;
            u32 *rate = g ? g->storm.rate : p.storm_rate;
            rate[0] = bcast;
            rate[1] = mcast;
            return 0;
        },
        true);
}

int tarnAPISetOQSize(int ucc, int port, int queue, int min, int max) {
    return program(answer(__func__), ucc, port, [&](linecard_engine_port &p, u64) {
        if (bad_queue(queue) || min < 0 || max < 0 || max > 65535 ||
            u32(min) > (max ? u32(max) : PE_QUEUE_FRAMES))
            return -EINVAL;
        p.path.q[queue].size = u32(max);
        p.path.q[queue].size_min = u32(min);
        return 0;
    });
}

int tarnAPISetOQWeight(int ucc, int port, int queue, int weight) {
    return program(answer(__func__), ucc, port, [&](linecard_engine_port &p, u64) {
        if (bad_queue(queue) || weight < 0 || weight > 100)
            return -EINVAL;
        p.path.q[queue].weight = weight ? u32(weight) : 1;
        return 0;
    });
}

int tarnAPISetOQWred(int ucc, int port, int queue, int precedence, int min_th, int max_th,
                     int scale) {
    return program(answer(__func__), ucc, port, [&](linecard_engine_port &p, u64) {
        if (bad_queue(queue) || precedence < 0 || precedence >= PE_PRECEDENCES || min_th < 0 ||
            min_th > max_th || max_th > 100 || scale < 0 || scale > 100)
            return -EINVAL;
        p.path.q[queue].wred[precedence] = {u8(min_th), u8(max_th), u8(scale)};
        return 0;
    });
}

namespace {

u32 sat(u64 v) {
    return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : u32(v);
}

} // namespace

int tarnAPIGetPortStatistics(int ucc, int port, u32 *out) {
    int rc = answer(__func__);
    if (rc)
        return rc;
    for (int i = 0; i < TARN_STATS; i++)
        out[i] = 0;
    if (ucc < 0 || port < 0)
        return 0;
    linecard_engine_port_read(u32(ucc), u32(port), [&](linecard_engine_port &p, u64) {
        linecard_engine_gem *g = gem_of(p, ucc, port);
        if (ucc && !g)
            return 0;
        if (g) {
            out[TARN_STAT_POLICER] = sat(g->dropped_policer);
            auto o = g->onu >= 0 ? p.onus.find(u32(g->onu)) : p.onus.end();
            if (o != p.onus.end()) {
                out[TARN_STAT_ONU_POLICER] = sat(o->second.dropped_policer);
                out[TARN_STAT_ONU_SHAPER] = sat(o->second.dropped_shaper);
            }
            out[TARN_STAT_STORM_BCAST] = sat(g->storm.dropped[0]);
            out[TARN_STAT_STORM_MCAST] = sat(g->storm.dropped[1]);
            return 0;
        }
        u64 queue = 0;
        for (const auto &q : p.path.q)
            queue += q.dropped_full + q.dropped_wred;
        out[TARN_STAT_POLICER] = sat(p.dropped_ic_policer + p.path.dropped_policer);
        out[TARN_STAT_QUEUE] = sat(queue);
        out[TARN_STAT_STORM_BCAST] = sat(p.storm_dropped[0]);
        out[TARN_STAT_STORM_MCAST] = sat(p.storm_dropped[1]);
        return 0;
    });
    return 0;
}

int tarnAPIClearPortStatistics(int ucc, int port, u32 mask) {
    int rc = answer(__func__);
    if (rc || ucc < 0 || port < 0)
        return rc;
    auto clear = [mask](int stat, u64 &v) {
        if (mask & (1u << stat))
            v = 0;
    };
    linecard_engine_port_read(u32(ucc), u32(port), [&](linecard_engine_port &p, u64) {
        linecard_engine_gem *g = gem_of(p, ucc, port);
        if (g) {
            clear(TARN_STAT_POLICER, g->dropped_policer);
            clear(TARN_STAT_STORM_BCAST, g->storm.dropped[0]);
            clear(TARN_STAT_STORM_MCAST, g->storm.dropped[1]);
            auto o = g->onu >= 0 ? p.onus.find(u32(g->onu)) : p.onus.end();
            if (o != p.onus.end()) {
                clear(TARN_STAT_ONU_POLICER, o->second.dropped_policer);
                clear(TARN_STAT_ONU_SHAPER, o->second.dropped_shaper);
            }
        } else if (!ucc) {
            clear(TARN_STAT_POLICER, p.dropped_ic_policer);
            clear(TARN_STAT_POLICER, p.path.dropped_policer);
            for (auto &q : p.path.q) {
                clear(TARN_STAT_QUEUE, q.dropped_full);
                clear(TARN_STAT_QUEUE, q.dropped_wred);
            }
            clear(TARN_STAT_STORM_BCAST, p.storm_dropped[0]);
            clear(TARN_STAT_STORM_MCAST, p.storm_dropped[1]);
        }
        return 0;
    });
    return 0;
}

int tarnAPIQosEgressCreateScheduler(int ucc, int sched, int parent) {
    return record(__func__, "%d, %d, %d", ucc, sched, parent);
}

int tarnAPIQosEgressSetScheduler(int ucc, int sched, int policy, int priority, int weight, u32 cir,
                                 u32 cbs, u32 pir, u32 pbs) {
    return record(__func__, "%d, %d, %d, %d, %d, %u, %u, %u, %u", ucc, sched, policy, priority,
                  weight, cir, cbs, pir, pbs);
}

int tarnAPIQosEgressDeleteScheduler(int ucc, int sched) {
    return record(__func__, "%d, %d", ucc, sched);
}

int tarnAPIQosEgressCreateQueue(int ucc, int gem, int priority, int queue, int sched) {
    return record(__func__, "%d, %d, %d, %d, %d", ucc, gem, priority, queue, sched);
}

int tarnAPIQosEgressSetQueue(int ucc, int queue, int policy, int priority, int weight, int discard,
                             u32 cir, u32 cbs, u32 pir, u32 pbs) {
    return record(__func__, "%d, %d, %d, %d, %d, %d, %u, %u, %u, %u", ucc, queue, policy, priority,
                  weight, discard, cir, cbs, pir, pbs);
}

int tarnAPIQosEgressDeleteQueue(int ucc, int queue) {
    return record(__func__, "%d, %d", ucc, queue);
}

const char *tarnAPIGetAPIVersion(void) {
    return version_text(__func__, &engine_state::api, &engine_state::api_out);
}

const char *tarnAPIGetMicrocodeVersion(void) {
    return version_text(__func__, &engine_state::microcode, &engine_state::microcode_out);
}

void linecard_engine_install() {
    for (const export_entry &e : exports)
        rte_symbol_add("tarn", e.name, e.addr);
}

void linecard_engine_remove() {
    for (const export_entry &e : exports)
        rte_symbol_remove(e.name);
}

std::vector<std::string> linecard_engine_calls() {
    std::lock_guard<std::mutex> g(st().m);
    return st().calls;
}

void linecard_engine_clear() {
    engine_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    s.calls.clear();
    s.results.clear();
    s.ccm_notify = nullptr;
    for (u32 &v : s.ccm_stats)
        v = 0;
}

void linecard_engine_set_result(const std::string &fn, int rc) {
    std::lock_guard<std::mutex> g(st().m);
    st().results[fn] = rc;
}

void linecard_engine_set_versions(const std::string &api, const std::string &microcode) {
    std::lock_guard<std::mutex> g(st().m);
    st().api = api;
    st().microcode = microcode;
}
