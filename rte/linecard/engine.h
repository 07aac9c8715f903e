// The packet engine's stand-in: the exported engine calls the bridge finds by
// name, each recorded with its arguments and answering a settable result.
#pragma once

#include "kernel/types.h"
#include "linecard/engine_path.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

// Exports the engine's functions under the owner "tarn"; the bridge then finds
// them by name, as when the engine module is loaded.
void linecard_engine_install();
// Withdraws them: look-ups fail as when the engine module is absent.
void linecard_engine_remove();

// Calls so far, oldest first, as "name(arg, ...)" with numbers in decimal and
// masks in hexadecimal.
std::vector<std::string> linecard_engine_calls();
void linecard_engine_clear();
// Result of every later call of fn (0 when never set). For the version texts,
// a non-zero result makes the call return no text.
void linecard_engine_set_result(const std::string &fn, int rc);
// The texts the version calls return.
void linecard_engine_set_versions(const std::string &api, const std::string &microcode);

// The engine's calls themselves.
int tarnAPISetLAG(int lag_id, int lag_mode, u32 tx_port_mask);
int arlSetLAG(int lag_id, int lag_mode, u32 tx_port_mask);
int tarnAPISetLAGPortUP(int ucc);
int tarnAPISetLAGPortDOWN(int ucc);
const char *tarnAPIGetAPIVersion(void);
const char *tarnAPIGetMicrocodeVersion(void);
// A GEM port's UCC subport: enable 1 binds (ucc, gem) to the engine's queues,
// 0 releases it.
int tarnAPISetGemSubport(int ucc, int gem, int enable);
// The multicast GEM whose queue gets the multicast priority (add 1) or loses it.
int tarnAPISetMcastGem(int gem, int add);
// Continuity-check offload. The engine reports receive errors through the
// callback given at enable; the stand-in keeps the last one, and the PDUs'
// bytes in the recorded call as hexadecimal.
using tarn_ccm_notify_fn = void (*)(int ucc, int vlan, int rx_error, int rx_error_state);
int tarnAPIErpsCcmEnable(int ucc, int vid, const u8 *tx_pdu, int tx_size, int tx_interval,
                         const u8 *rx_pdu, const u8 *rx_mask, int rx_size, int rx_interval,
                         tarn_ccm_notify_fn notify);
int tarnAPIErpsCcmDisable(int ucc, int vid);
// out: transmitted, received, loss of continuity, dropped.
int tarnAPIErpsCcmGetStats(int ucc, int vid, u32 *out);
int tarnAPIErpsCcmClearStats(int ucc, int vid);
// What later statistics calls hand out.
void linecard_engine_set_ccm_stats(u32 tx, u32 rx, u32 loc, u32 dropped);
// Calls the callback of the last enable, as the engine does on a receive error:
// -ENOENT when none was given.
int linecard_engine_ccm_error(int ucc, int vlan, int rx_error, int rx_error_state);
// QoS: policers, shaping, queues and their schedulers. Rates and bursts are
// bits per second and bits, as the bridge programs them.
int tarnAPISetICPolicing(int ucc, int port, int policy, u32 cir, u32 cbs, u32 pir, u32 pbs);
int tarnAPISetPortShaping(int ucc, int port, u32 rate, u32 burst);
int tarnAPISetOQShapingWithCDR(int ucc, int port, int queue, u32 min_rate, u32 min_burst,
                               u32 max_rate, u32 max_burst, int sched_type);
// The queue's occupancy: the result set for it (0 when never set).
int tarnAPIGetOQOccupation(int ucc, int port, int queue);
int tarnAPISetOQPriority(int ucc, int port, int queue, int priority);
int tarnAPISetOQPriority2(int ucc, int port, int queue, int priority, int enable, int pdr);
int tarnAPISetOQONUShapingWithCDR(int ucc, int onu, int port, int a, int b, u32 rate, u32 burst);
int tarnAPISetICONUPolicing(int ucc, int onu, int port, int a, int b, u32 rate, u32 burst);
int tarnAPIQosEgressCreateScheduler(int ucc, int sched, int parent);
int tarnAPIQosEgressSetScheduler(int ucc, int sched, int policy, int priority, int weight, u32 cir,
                                 u32 cbs, u32 pir, u32 pbs);
int tarnAPIQosEgressDeleteScheduler(int ucc, int sched);
int tarnAPIQosEgressCreateQueue(int ucc, int gem, int priority, int queue, int sched);
int tarnAPIQosEgressSetQueue(int ucc, int queue, int policy, int priority, int weight, int discard,
                             u32 cir, u32 cbs, u32 pir, u32 pbs);
int tarnAPIQosEgressDeleteQueue(int ucc, int queue);
// A queue's size in frames: max 0 is the engine's own (PE_QUEUE_FRAMES); WRED
// never drops while fewer than min frames wait. -EINVAL for min above max.
int tarnAPISetOQSize(int ucc, int port, int queue, int min, int max);
// A queue's weight (0..100, 0 taken as 1) in weighted sharing of its priority,
// which its scheduling type 1 (tarnAPISetOQShapingWithCDR) asks for.
int tarnAPISetOQWeight(int ucc, int port, int queue, int weight);
// WRED of a queue for one drop precedence (0 green or not policed, 1 yellow,
// 2 red, which the policers drop anyway): thresholds in percent of the queue's
// size (max 0: off) and the drop probability at the maximum, in percent;
// above the maximum everything of that precedence is dropped.
int tarnAPISetOQWred(int ucc, int port, int queue, int precedence, int min_th, int max_th,
                     int scale);
// The three calls above are set on every binding and release of a port, so
// they stay out of the call log too (their results can be set); what they
// program shows on the wire.
// Storm limits of a port: at most so many broadcast and multicast frames a
// second leave it (0: no limit).
int tarnAPISetStormRate(int ucc, int port, u32 bcast, u32 mcast);
// A port's drop counters, out[TARN_STAT_*]; clearing zeroes those whose bit
// (1 << TARN_STAT_*) the mask has. Both are
// read-outs the bridge makes on every counter read, so they stay out of the
// call log; their results can still be set.
enum {
    TARN_STAT_POLICER,
    TARN_STAT_ONU_POLICER,
    TARN_STAT_ONU_SHAPER,
    TARN_STAT_QUEUE,
    TARN_STAT_STORM_MCAST,
    TARN_STAT_STORM_BCAST,
    TARN_STATS
};
int tarnAPIGetPortStatistics(int ucc, int port, u32 *out);
int tarnAPIClearPortStatistics(int ucc, int port, u32 mask);

// The engine on the wire (engine_wire.cc). The ports it serves are the
// interfaces the line card numbers on UCC 0 (eth0-3: 0-3, gpon0-15: 4-19,
// xgspon0-15: 20-35, tarn0-1: 36-37): their drivers attach them when they
// appear and detach them before the device goes. What is programmed into a
// port acts on its transmit path from then on.
struct net_device;
int linecard_engine_port_attach(struct net_device *dev);
void linecard_engine_port_detach(struct net_device *dev);
// An ONU behind an OLT port: its downstream shaper, with the frames that
// wait for it, and the policer of what it sends upstream.
struct linecard_engine_onu {
    struct pe_bucket shaper, policer;
    struct sk_buff_head frames;
    u64 dropped_shaper, dropped_policer;
};
// A storm window per class: broadcast, multicast.
struct linecard_engine_storm {
    u32 rate[2]; // frames per second, 0 no limit
    u64 dropped[2];
    u32 count[2];
    u64 start[2];
};
// A GEM port of an OLT port, bound by tarnAPISetGemSubport: its ONU (the
// ONU calls name it), its ingress policers and its storm limits.
struct linecard_engine_gem {
    s64 onu = -1;
    struct pe_policer policers[PE_POLICERS] = {};
    struct linecard_engine_storm storm = {};
    u64 dropped_policer = 0;
};
// What one port of the engine holds.
struct linecard_engine_port {
    struct pe_path path;
    u32 storm_rate[2]; // broadcast, multicast: frames per second, 0 no limit
    u64 storm_dropped[2];
    u64 dropped_ic_policer; // by this port's ingress policers, wherever the frame left
    std::map<u32, linecard_engine_gem> gems; // an OLT port's, by GEM number
    std::map<u32, linecard_engine_onu> onus; // by ONU id
};
// Runs fn(port, now) under the port's lock: program makes the port's path
// act from then on, read does not. 0 or fn's error; -ENODEV for no such port.
// UCC 0 names a port by its subport; the UCC of an OLT port (4-35) names that
// port, and the subport is then a GEM number, which fn looks up itself.
using linecard_engine_fn = std::function<int(struct linecard_engine_port &, u64 now)>;
int linecard_engine_port_program(u32 ucc, u32 subport, const linecard_engine_fn &fn);
int linecard_engine_port_read(u32 ucc, u32 subport, const linecard_engine_fn &fn);
// A frame received on dev before the bridge sees it: false when an ONU's
// upstream policer dropped it (and freed it).
bool linecard_engine_port_rx(struct net_device *dev, struct sk_buff *skb);
// Drops an ONU that no GEM names any more, with its waiting frames.
void linecard_engine_onu_gc(struct linecard_engine_port &p);
