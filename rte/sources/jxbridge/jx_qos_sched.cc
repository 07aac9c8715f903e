// The per-port QoS record and the packet engine behind it: trust and mapping
// tables, shaping, policers, the eight queues with WRED, the OpenOLT
// schedulers and queues, the switching-mode default rules and the queue
// statistics. Values are always kept; ports with an engine binding also get
// them programmed, and a port that gains its binding gets them all at once.
#include "jx_qos.h"

#include <algorithm>

namespace {

#define RATE_MIN 64u
#define RATE_MAX 10000000u
#define BURST_MAX 16384u
#define ENGINE_FAILED 2 // a refusal is 1

// The engine's calls, found by name on every use so that an engine loaded
// later is found; absent functions answer -ENOENT.
template <typename... A> int tarn(const char *name, A... args) {
    void *fn = jxbridge_symbol_get(name);
    if (!fn) {
        printk(KERN_ERR "[QOS] No p%s.\n", name);
        return -ENOENT;
    }
    return ((int (*)(A...))fn)(args...);
}

bool tarn_present(const char *name) {
    return jxbridge_symbol_get(name) != nullptr;
}

bool programmable(const struct jxbridge_port *p) {
    return (p->kind == JXBRIDGE_PORT_UPLINK || p->kind == JXBRIDGE_PORT_ACCESS ||
            p->kind == JXBRIDGE_PORT_PON_GEM) &&
           p->ucc_index != QOS_TARN_NONE && p->ucc_subport != QOS_TARN_NONE;
}

int ucc(const struct jxbridge_port *p) {
    return (int)p->ucc_index;
}
int sub(const struct jxbridge_port *p) {
    return (int)p->ucc_subport;
}

// A rate and burst checked and rounded as stored: the rate up to a multiple
// of 64 kbit/s, the burst up to a power of two. Both 0 is "off". The engine
// takes bits per second in 32 bits: a rate beyond that is refused too.
bool rate_pair(const char *fn, const char *port, u32 *rate, u32 *burst) {
    if (!*rate && !*burst)
        return true;
    if (!*rate || !*burst) {
        printk(KERN_ERR "[QoS] %s. Only one non-zero parameter (rate=%u, burst=%u) (port='%s')\n",
               fn, *rate, *burst, port);
        return false;
    }
    u64 r = ((u64)*rate + RATE_MIN - 1) / RATE_MIN * RATE_MIN;
    if (*rate < RATE_MIN || *rate > RATE_MAX || r * 1000 > 0xFFFFFFFFull) {
        printk(KERN_ERR "[QoS] %s. Rate value outside scope.(port='%s', rate=%u, rate_min=%u, "
                        "rate_max=%u)\n",
               fn, port, *rate, RATE_MIN, (u32)(0xFFFFFFFFull / 1000 / RATE_MIN * RATE_MIN));
        return false;
    }
    if (*burst > BURST_MAX) {
        printk(KERN_ERR "[QoS] %s. Burst value outside scope.(port='%s', burst=%u, burst_min=1, "
                        "burst_max=%u)\n",
               fn, port, *burst, BURST_MAX);
        return false;
    }
    u32 b = 1;
    while (b < *burst)
        b <<= 1;
    *rate = (u32)r;
    *burst = b;
    return true;
}

bool in_scope(const char *fn, const char *what, const char *port, u32 v, u32 max) {
    if (v <= max)
        return true;
    printk(KERN_ERR "[QoS] %s. %s value outside scope.(port='%s', value=%u, min=0, max=%u)\n", fn,
           what, port, v, max);
    return false;
}

struct qos_queue *queue_of(struct jxbridge_port *port, u32 q, const char *fn) {
    struct qos_port *qp = qos_port_of(port);
    if (!qp)
        return nullptr;
    if (q >= QOS_QUEUES) {
        printk(KERN_ERR "[QoS] %s. Queue value outside scope.(port='%s', queue=%u, queue_min=0, "
                        "queue_max=%d)\n",
               fn, port->dev->name, q, QOS_QUEUES - 1);
        return nullptr;
    }
    return &qp->queues[q];
}

int queue_cdr(struct jxbridge_port *p, u32 q, const struct qos_queue &v) {
    return tarn("tarnAPISetOQShapingWithCDR", ucc(p), sub(p), (int)q, v.min_rate * 1000,
                v.min_burst * 1000, v.max_rate * 1000, v.max_burst * 1000,
                v.sched_type != 0 ? 1 : 0);
}

int policer_call(struct jxbridge_port *p, u32 id, const struct qos_policer &v) {
    return tarn("tarnAPISetICPolicing", ucc(p), sub(p), (int)id, v.cir * 1000, v.cbs * 1000,
                v.pir * 1000, v.pbs * 1000);
}

// Sizes, weights and WRED reach engines that have their calls; a line card
// without them only stores the values, as it always did.
bool queue_engine(struct jxbridge_port *p, const char *name) {
    return programmable(p) && tarn_present(name);
}

int queue_size_call(struct jxbridge_port *p, u32 q, u32 min, u32 max) {
    return tarn("tarnAPISetOQSize", ucc(p), sub(p), (int)q, (int)min, (int)max);
}

int queue_weight_call(struct jxbridge_port *p, u32 q, u32 weight) {
    return tarn("tarnAPISetOQWeight", ucc(p), sub(p), (int)q, (int)weight);
}

int queue_wred_call(struct jxbridge_port *p, u32 q, u32 dp, const struct qos_wred &w) {
    return tarn("tarnAPISetOQWred", ucc(p), sub(p), (int)q, (int)dp, (int)w.min_threshold,
                (int)w.max_threshold, (int)w.scale);
}

// A queue value the engine refused: nothing is stored.
int queue_refused(const char *fn, struct jxbridge_port *p, u32 q, const char *what, u32 v) {
    printk(KERN_ERR "[QoS] %s. Cannot set value in TARN.(port='%s', ucc_num=%d, ucc_port=%d, "
                    "queue=%d, %s=%d)\n",
           fn, p->dev->name, ucc(p), sub(p), (int)q, what, (int)v);
    return ENGINE_FAILED;
}

// The size, weight and WRED of a queue, each where the engine has the call.
void queue_extras(struct jxbridge_port *p, u32 q, const struct qos_queue &v) {
    const char *name = p->dev->name;
    if (tarn_present("tarnAPISetOQSize") && queue_size_call(p, q, v.size_min, v.size_max))
        printk(KERN_ERR "[QOS] %s:%d Cannot set tarnAPISetOQSize in TARN. (port=%s, queue=%d)\n",
               __func__, __LINE__, name, (int)q);
    if (tarn_present("tarnAPISetOQWeight") && queue_weight_call(p, q, v.weight))
        printk(KERN_ERR "[QOS] %s:%d Cannot set tarnAPISetOQWeight in TARN. (port=%s, "
                        "queue=%d)\n",
               __func__, __LINE__, name, (int)q);
    for (u32 dp = 0; dp < 3 && tarn_present("tarnAPISetOQWred"); dp++)
        if (queue_wred_call(p, q, dp, v.wred[dp]))
            printk(KERN_ERR "[QOS] %s:%d Cannot set tarnAPISetOQWred in TARN. (port=%s, "
                            "queue=%d, dp=%d)\n",
                   __func__, __LINE__, name, (int)q, (int)dp);
}

void notify(struct jxbridge_port *port) {
    jxbridge_flow_event(JXBRIDGE_FEV_QOS, port);
}

} // namespace

struct qos_port *qos_port_of(struct jxbridge_port *port) {
    struct qos_classifier *q = port ? port->bridge->qos : nullptr;
    return q && port->port_no < port->bridge->max_ports ? q->ports[port->port_no] : nullptr;
}

int qos_port_shaping_set(struct jxbridge_port *port, u32 rate, u32 burst) {
    struct qos_port *qp = qos_port_of(port);
    if (!qp || !rate_pair(__func__, port->dev->name, &rate, &burst))
        return 1;
    bool prog = programmable(port);
    if (prog && tarn("tarnAPISetPortShaping", ucc(port), sub(port), rate * 1000, burst * 1000)) {
        printk(KERN_ERR "[QoS] qos_port_shaping_set. Cannot set value in TARN.(port='%s', "
                        "ucc_num=%d, ucc_port=%d, rate=%d, burst=%d)\n",
               port->dev->name, ucc(port), sub(port), (int)rate, (int)burst);
        return ENGINE_FAILED;
    }
    if (!prog)
        QOS_TRACE(port->bridge->qos, "[QoS] Invalid TARN port, just save.\n");
    qp->shape_rate = rate;
    qp->shape_burst = burst;
    qp->shape_programmed = prog;
    return 0;
}

int qos_port_trust_set(struct jxbridge_port *port, u32 mode) {
    struct qos_port *qp = qos_port_of(port);
    if (!qp)
        return 1;
    if (mode > 3) {
        printk(KERN_ERR "[QoS] qos_port_trust_mode_set. Trust mode outside scope.(port='%s', "
                        "mode=%d, mode_min=0, mode_max=3)\n",
               port->dev->name, (int)mode);
        return 1;
    }
    qp->trust = mode;
    notify(port);
    return 0;
}

static u8 *qos_mapping_table(struct qos_port *qp, u32 table, u32 *size) {
    static const char sizes[] = {8, 8, 64, 64, 8, 8};
    u8 *tables[] = {qp->cos_in,   qp->cos_out,   qp->dscp_in,
                    qp->dscp_out, qp->ipprec_in, qp->ipprec_out};
    if (table >= 6)
        return nullptr;
    *size = (u32)sizes[table];
    return tables[table];
}

int qos_port_mapping_set(struct jxbridge_port *port, u32 table, u32 index, u32 queue) {
    static const char *const fns[] = {
        "qos_port_cos_mapping_in_set",    "qos_port_cos_mapping_out_set",
        "qos_port_dscp_mapping_in_set",   "qos_port_dscp_mapping_out_set",
        "qos_port_ipprec_mapping_in_set", "qos_port_ipprec_mapping_out_set"};
    static const char *const what[] = {"CoS",  "CoS",           "DSCP",
                                       "DSCP", "IP precedence", "IP precedence"};
    struct qos_port *qp = qos_port_of(port);
    u32 size;
    u8 *t = qp ? qos_mapping_table(qp, table, &size) : nullptr;
    if (!t)
        return 1;
    if (index >= size) {
        printk(KERN_ERR "[QoS] %s. %s value outside scope.(port='%s', value=%d, min=0, max=%d)\n",
               fns[table], what[table], port->dev->name, (int)index, (int)size - 1);
        return 1;
    }
    if (!in_scope(fns[table], "Queue", port->dev->name, queue, QOS_QUEUES - 1))
        return 1;
    t[index] = (u8)queue;
    notify(port);
    return 0;
}

int qos_port_mapping_get(struct jxbridge_port *port, u32 table, u32 index, u8 *queue) {
    struct qos_port *qp = qos_port_of(port);
    u32 size;
    u8 *t = qp ? qos_mapping_table(qp, table, &size) : nullptr;
    if (!t || index >= size)
        return 1;
    *queue = t[index];
    return 0;
}

int qos_cos_csc_set(struct qos_classifier *q, int csc_to_cos, u32 value) {
    if (value > 1)
        return 1;
    (csc_to_cos ? q->csc_to_cos : q->cos_to_csc) = value;
    notify(nullptr);
    return 0;
}

int qos_policy_two_rate_set(struct jxbridge_port *port, u32 id, u32 cir, u32 cbs, u32 pir,
                            u32 pbs) {
    struct qos_port *qp = qos_port_of(port);
    if (!qp)
        return 1;
    if (id >= QOS_POLICERS) {
        printk(KERN_ERR "[QOS] qos_policy_two_rate_set. Queue value outside scope. (port=%s, "
                        "policy_id=%d, queue_min=%d, queue_max=%d)\n",
               port->dev->name, (int)id, 0, QOS_POLICERS - 1);
        return 1;
    }
    struct qos_policer v = {cir, cbs, pir, pbs};
    if (!rate_pair(__func__, port->dev->name, &v.cir, &v.cbs) ||
        !rate_pair(__func__, port->dev->name, &v.pir, &v.pbs))
        return 1;
    if (programmable(port) && policer_call(port, id, v)) {
        printk(KERN_ERR "[QoS] qos_policy_two_rate_set. Cannot set value in TARN.(port='%s', "
                        "ucc_num=%d, ucc_port=%d, policy_id=%d)\n",
               port->dev->name, ucc(port), sub(port), (int)id);
        return ENGINE_FAILED;
    }
    qp->policers[id] = v;
    return 0;
}

int qos_tarn_queue_enable(struct jxbridge_port *port, u32 queue, int enable, u32 priority) {
    struct qos_port *qp = qos_port_of(port);
    if (!qp || queue >= QOS_QUEUES)
        return 1;
    struct qos_queue *qq = &qp->queues[queue];
    bool kind = port->kind == JXBRIDGE_PORT_ACCESS || port->kind == JXBRIDGE_PORT_PON_GEM;
    if (!kind || !programmable(port) || !tarn_present("tarnAPISetOQPriority") ||
        !tarn_present("tarnAPISetOQPriority2")) {
        QOS_TRACE(port->bridge->qos, "[QOS] %s:%d No TARN port, do nothing, just save\n", __func__,
                  __LINE__);
        qq->priority = (u8)priority;
        return 0;
    }
    int pdr = enable ? qq->used : 0;
    int cdr = (qq->min_rate || qq->min_burst) ? pdr : qq->sched_type == 1;
    const char *name = port->dev->name;
    if (tarn("tarnAPISetOQPriority2", ucc(port), sub(port), (int)queue, (int)priority, pdr, 1)) {
        printk(KERN_ERR "[QOS] %s:%d Cannot set value in TARN.(port=%s, ucc_num=%d, "
                        "ucc_port=%d, queue=%d, priority=%d, enable_pdr=%d)\n",
               __func__, __LINE__, name, ucc(port), sub(port), (int)queue, (int)priority, pdr);
        return ENGINE_FAILED;
    }
    qq->priority = (u8)priority;
    qq->enable_pdr = (u8)pdr;
    if (tarn("tarnAPISetOQPriority2", ucc(port), sub(port), (int)queue, (int)priority, cdr, 0)) {
        printk(KERN_ERR "[QOS] %s:%d Cannot set value in TARN.(port=%s, ucc_num=%d, "
                        "ucc_port=%d, queue=%d, priority=%d, enable_cdr=%d)\n",
               __func__, __LINE__, name, ucc(port), sub(port), (int)queue, (int)priority, cdr);
        return ENGINE_FAILED;
    }
    qq->enable_cdr = (u8)cdr;
    return 0;
}

int qos_queue_used_set(struct jxbridge_port *port, u32 queue) {
    struct qos_queue *qq = queue_of(port, queue, __func__);
    if (!qq)
        return 1;
    qq->used = 1;
    return qos_tarn_queue_enable(port, queue, 1, qq->priority);
}

int qos_queue_mgmt_type_set(struct jxbridge_port *port, u32 queue, u32 v) {
    struct qos_queue *qq = queue_of(port, queue, __func__);
    if (!qq || !in_scope(__func__, "Management type", port->dev->name, v, 1))
        return 1;
    qq->mgmt_type = v;
    return 0;
}

int qos_queue_wrr_weight_set(struct jxbridge_port *port, u32 queue, u32 v) {
    struct qos_queue *qq = queue_of(port, queue, __func__);
    if (!qq)
        return 1;
    if (v > 100) {
        printk(KERN_ERR "[QoS] qos_queue_wrr_weight_set. Weight value outside scope.(port='%s', "
                        "queue=%d, weight=%d, weight_min=%d, weight_max=%d)\n",
               port->dev->name, (int)queue, (int)v, 0, 100);
        return 1;
    }
    if (queue_engine(port, "tarnAPISetOQWeight") && queue_weight_call(port, queue, v))
        return queue_refused(__func__, port, queue, "weight", v);
    qq->weight = (u8)v;
    return 0;
}

int qos_queue_size_min_set(struct jxbridge_port *port, u32 queue, u32 v) {
    struct qos_queue *qq = queue_of(port, queue, __func__);
    if (!qq || !in_scope(__func__, "Size", port->dev->name, v, 256))
        return 1;
    if (v > qq->size_max) {
        printk(KERN_ERR "[QoS] qos_queue_size_min_set. Min size must not be higher than max "
                        "size.(port='%s', queue=%d, size_min=%d, size_max=%d)\n",
               port->dev->name, (int)queue, (int)v, (int)qq->size_max);
        return 1;
    }
    if (queue_engine(port, "tarnAPISetOQSize") && queue_size_call(port, queue, v, qq->size_max))
        return queue_refused(__func__, port, queue, "size_min", v);
    qq->size_min = (u16)v;
    return 0;
}

int qos_queue_size_max_set(struct jxbridge_port *port, u32 queue, u32 v) {
    struct qos_queue *qq = queue_of(port, queue, __func__);
    if (!qq || !in_scope(__func__, "Size", port->dev->name, v, 256))
        return 1;
    if (v < qq->size_min) {
        printk(KERN_ERR "[QoS] qos_queue_size_max_set. Max size must not be lower than min "
                        "size.(port='%s', queue=%d, size_min=%d, size_max=%d)\n",
               port->dev->name, (int)queue, (int)qq->size_min, (int)v);
        return 1;
    }
    if (queue_engine(port, "tarnAPISetOQSize") && queue_size_call(port, queue, qq->size_min, v))
        return queue_refused(__func__, port, queue, "size_max", v);
    qq->size_max = (u16)v;
    return 0;
}

// The queue's shaping goes to the engine whole; stored once it took it.
static int qos_queue_program(struct jxbridge_port *port, u32 queue, const struct qos_queue &v) {
    struct qos_queue *qq = &qos_port_of(port)->queues[queue];
    if (programmable(port) && queue_cdr(port, queue, v)) {
        printk(KERN_ERR "[QoS] qos_queue_shaping_set. Cannot set value in TARN.(port='%s', "
                        "ucc_num=%d, ucc_port=%d, queue=%d)\n",
               port->dev->name, ucc(port), sub(port), (int)queue);
        return ENGINE_FAILED;
    }
    *qq = v;
    return qos_tarn_queue_enable(port, queue, 1, qq->priority);
}

int qos_queue_bw_set(struct jxbridge_port *port, u32 queue, int max, u32 rate, u32 burst) {
    struct qos_queue *qq = queue_of(port, queue, __func__);
    if (!qq || !rate_pair(max ? "qos_queue_bw_max_set" : "qos_queue_bw_min_set", port->dev->name,
                          &rate, &burst))
        return 1;
    struct qos_queue v = *qq;
    (max ? v.max_rate : v.min_rate) = rate;
    (max ? v.max_burst : v.min_burst) = burst;
    return qos_queue_program(port, queue, v);
}

int qos_queue_sched_type_set(struct jxbridge_port *port, u32 queue, u32 type) {
    struct qos_queue *qq = queue_of(port, queue, __func__);
    if (!qq || !in_scope(__func__, "Scheduling type", port->dev->name, type, 1))
        return 1;
    struct qos_queue v = *qq;
    v.sched_type = type;
    return qos_queue_program(port, queue, v);
}

int qos_queue_pvc_set(struct jxbridge_port *port, u32 queue, u32 vpi, u32 vci) {
    struct qos_queue *qq = queue_of(port, queue, __func__);
    if (!qq || !in_scope(__func__, "VPI", port->dev->name, vpi, 255) ||
        !in_scope(__func__, "VCI", port->dev->name, vci, 65535))
        return 1;
    qq->vpi = (u8)vpi;
    qq->vci = (u16)vci;
    return 0;
}

int qos_queue_priority_set(struct jxbridge_port *port, u32 queue, u32 v) {
    struct qos_queue *qq = queue_of(port, queue, __func__);
    if (!qq || !in_scope(__func__, "Priority", port->dev->name, v, 7))
        return 1;
    return qos_tarn_queue_enable(port, queue, 1, v);
}

int qos_queue_wred_set(struct jxbridge_port *port, u32 queue, u32 which, u32 dp, u32 v) {
    struct qos_queue *qq = queue_of(port, queue, __func__);
    if (!qq || which > 2 || !in_scope(__func__, "Drop precedence", port->dev->name, dp, 2) ||
        !in_scope(__func__, "WRED", port->dev->name, v, 100))
        return 1;
    struct qos_wred *w = &qq->wred[dp];
    if ((which == 0 && v > w->max_threshold) || (which == 1 && v < w->min_threshold)) {
        printk(KERN_ERR "[QoS] qos_queue_wred_%s_threshold_set.Min threshold cannot be higher "
                        "than max threshold(port='%s', min_threshold=%d, max_threshold=%d)\n",
               which ? "max" : "min", port->dev->name, (int)(which ? w->min_threshold : v),
               (int)(which ? v : w->max_threshold));
        return 1;
    }
    struct qos_wred n = *w;
    (which == 0 ? n.min_threshold : which == 1 ? n.max_threshold : n.scale) = (u8)v;
    if (queue_engine(port, "tarnAPISetOQWred") && queue_wred_call(port, queue, dp, n))
        return queue_refused(__func__, port, queue, "dp", dp);
    *w = n;
    return 0;
}

int qos_queue_occupancy_get(struct jxbridge_port *port, u32 queue, u32 *out) {
    struct qos_queue *qq = queue_of(port, queue, __func__);
    if (!qq)
        return 1;
    *out = 0;
    if (programmable(port) && tarn_present("tarnAPIGetOQOccupation")) {
        int v = tarn("tarnAPIGetOQOccupation", ucc(port), sub(port), (int)queue);
        *out = v >= 0 && v <= 64 ? (u32)v : 0;
    }
    return 0;
}

int qos_onu_set(struct jxbridge_port *port, int policing, u32 onu, u32 rate, u32 burst) {
    struct qos_port *qp = qos_port_of(port);
    const char *fn = policing ? "qos_onu_policing_set" : "qos_onu_shaping_set";
    if (!qp || !rate_pair(fn, port->dev->name, &rate, &burst))
        return 1;
    if (!rate) {
        QOS_TRACE(port->bridge->qos, "[QoS] Don't call TARN on rate=0.\n");
    } else if (programmable(port) &&
               tarn(policing ? "tarnAPISetICONUPolicing" : "tarnAPISetOQONUShapingWithCDR",
                    ucc(port), (int)onu, sub(port), 0, 0, rate * 1000, burst * 1000)) {
        printk(KERN_ERR "[QoS] %s. Cannot set value in TARN.(port='%s', ucc_num=%d, ucc_port=%d, "
                        "onu=%d, rate=%d, burst=%d)\n",
               fn, port->dev->name, ucc(port), sub(port), (int)onu, (int)rate, (int)burst);
        return ENGINE_FAILED;
    }
    qp->onu_id = onu;
    (policing ? qp->onu_police_rate : qp->onu_shape_rate) = rate;
    (policing ? qp->onu_police_burst : qp->onu_shape_burst) = burst;
    return 0;
}

// Binding.

void qos_tarn_port_add(struct jxbridge_port *port) {
    struct qos_port *qp = qos_port_of(port);
    if (!qp || !programmable(port) || !tarn_present("tarnAPISetPortShaping"))
        return;
    const char *name = port->dev->name;
    for (u32 i = 0; i < QOS_POLICERS; i++)
        if (policer_call(port, i, qp->policers[i]))
            printk(KERN_ERR "[QOS] %s:%d Cannot set tarnAPISetICPolicing in TARN. (port=%s(%d), "
                            "ucc_num=%d, ucc_port=%d, policy_id=%d)\n",
                   __func__, __LINE__, name, (int)port->port_no, ucc(port), sub(port), (int)i);
    if (tarn("tarnAPISetPortShaping", ucc(port), sub(port), qp->shape_rate * 1000,
             qp->shape_burst * 1000))
        printk(KERN_ERR "[QOS] %s:%d Cannot set tarnAPISetPortShaping in TARN. (port=%s(%d), "
                        "ucc_num=%d, ucc_port=%d, rate=%d, burst=%d)\n",
               __func__, __LINE__, name, (int)port->port_no, ucc(port), sub(port),
               (int)qp->shape_rate, (int)qp->shape_burst);
    else
        qp->shape_programmed = 1;
    if (qp->onu_id) {
        if (qp->onu_shape_rate &&
            tarn("tarnAPISetOQONUShapingWithCDR", ucc(port), (int)qp->onu_id, sub(port), 0, 0,
                 qp->onu_shape_rate * 1000, qp->onu_shape_burst * 1000))
            printk(KERN_ERR "[QOS] %s:%d Cannot set tarnAPISetOQONUShapingWithCDR in TARN.\n",
                   __func__, __LINE__);
        if (tarn("tarnAPISetICONUPolicing", ucc(port), (int)qp->onu_id, sub(port), 0, 0,
                 qp->onu_police_rate * 1000, qp->onu_police_burst * 1000))
            printk(KERN_ERR "[QOS] %s:%d Cannot set tarnAPISetICONUPolicing in TARN.\n", __func__,
                   __LINE__);
    }
    for (u32 i = 0; i < QOS_QUEUES; i++)
        if (queue_cdr(port, i, qp->queues[i]))
            printk(KERN_ERR "[QOS] %s:%d Cannot set tarnAPISetOQShapingWithCDR in TARN. "
                            "(port=%s(%d), queue=%d)\n",
                   __func__, __LINE__, name, (int)port->port_no, (int)i);
    for (u32 i = 0; i < QOS_QUEUES; i++)
        queue_extras(port, i, qp->queues[i]);
    for (u32 i = 0; i < QOS_QUEUES; i++)
        if (qp->queues[i].used)
            qos_tarn_queue_enable(port, i, 1, qp->queues[i].priority);
}

void qos_tarn_port_del_pre(struct jxbridge_port *port) {
    struct qos_port *qp = qos_port_of(port);
    if (!qp || !programmable(port))
        return;
    for (u32 i = 0; i < QOS_QUEUES; i++)
        if (qp->queues[i].used)
            qos_tarn_queue_enable(port, i, 0, qp->queues[i].priority);
}

// The engine forgets the port's queue shaping; the values stay for the next binding.
void qos_tarn_port_del(struct jxbridge_port *port) {
    struct qos_port *qp = qos_port_of(port);
    if (!qp || !programmable(port) || !tarn_present("tarnAPISetOQShapingWithCDR"))
        return;
    struct qos_queue off = {};
    for (u32 i = 0; i < QOS_QUEUES; i++) {
        queue_cdr(port, i, off);
        queue_extras(port, i, off);
    }
    if (qp->shape_programmed)
        tarn("tarnAPISetPortShaping", ucc(port), sub(port), 0u, 0u);
    qp->shape_programmed = 0;
}

void qos_tarn_mcast_gem_priority_set(struct jxbridge *B, u32 gem) {
    for (u32 i = 0;; i++) {
        struct jxbridge_port *olt = jxbridge_pon_olt_port(B, nullptr, i);
        if (!olt)
            break;
        int u = ucc(olt), g = (int)gem;
        int rc = tarn("tarnAPISetOQShapingWithCDR", u, g, 7, 0u, 0u, 0u, 0u, 1);
        if (rc)
            printk(KERN_ERR "[QOS] %s:%d, ptarnAPISetOQShapingWithCDR failed!(%d,%d,%d,%d)\n",
                   __func__, __LINE__, u, g, 7, rc);
        if ((rc = tarn("tarnAPISetOQPriority2", u, g, 7, 7, 1, 1)))
            printk(KERN_ERR "[QOS] %s:%d, ptarnAPISetOQPriority2 failed for PDR!(%d,%d,%d,%d)\n",
                   __func__, __LINE__, u, g, 7, rc);
        if ((rc = tarn("tarnAPISetOQPriority2", u, g, 7, 7, 1, 0)))
            printk(KERN_ERR "[QOS] %s:%d, ptarnAPISetOQPriority2 failed for CDR!(%d,%d,%d,%d)\n",
                   __func__, __LINE__, u, g, 7, rc);
    }
}

// OpenOLT schedulers and queues.

static struct jxbridge_port *qos_oo_olt(struct qos_classifier *q, u32 intf) {
    struct jxbridge_port *olt = jxbridge_pon_olt_port(q->bridge, nullptr, intf);
    if (!olt)
        printk(KERN_ERR "\t[QOS] pon_olt_find_by_id failed.\n");
    return olt;
}

static struct qos_oo_sched *qos_oo_sched_find(struct qos_classifier *q, u32 intf, u32 id) {
    for (struct qos_oo_sched *s = q->oo_scheds; s; s = s->next)
        if (s->intf_id == intf && s->sched_id == id)
            return s;
    return nullptr;
}

static struct qos_oo_queue *qos_oo_queue_find(struct qos_classifier *q, u32 intf, u32 gem) {
    for (struct qos_oo_queue *e = q->oo_queues; e; e = e->next)
        if (e->intf_id == intf && e->gem == gem)
            return e;
    return nullptr;
}

// OpenOLT policy 0 is the engine's 1 and the other way round.
static int qos_oo_policy(u32 policy) {
    if (policy > 1) {
        printk(KERN_ERR "\t[QOS] %s:%d Scheduling policy value=%d not supported.\n", __func__,
               __LINE__, (int)policy);
        return -EINVAL;
    }
    return policy ? 0 : 1;
}

static bool qos_oo_rate(u32 rate) {
    return (u64)rate * 1000 <= 0xFFFFFFFFull;
}

// v: intf_id sched_id parent priority weight policy cir cbs pir pbs.
int qos_oo_scheduler_add(struct qos_classifier *q, const u32 *v) {
    struct jxbridge_port *olt = qos_oo_olt(q, v[0]);
    if (!olt)
        return -ENODEV;
    if (qos_oo_sched_find(q, v[0], v[1])) {
        printk(KERN_ERR "\t[QOS] Scheduler sched_id %u already exists.\n", v[1]);
        return -EEXIST;
    }
    int policy = qos_oo_policy(v[5]);
    if (policy < 0)
        return policy;
    if (!qos_oo_rate(v[6]) || !qos_oo_rate(v[8]))
        return -ERANGE;
    auto *s = (struct qos_oo_sched *)jxbridge_zalloc(sizeof(struct qos_oo_sched));
    if (!s)
        return -ENOMEM;
    int u = ucc(olt);
    if (tarn("tarnAPIQosEgressCreateScheduler", u, (int)v[1], (int)v[2])) {
        kfree(s);
        return -EIO;
    }
    if (tarn("tarnAPIQosEgressSetScheduler", u, (int)v[1], policy, (int)v[3], (int)v[4],
             v[6] * 1000, v[7], v[8] * 1000, v[9])) {
        tarn("tarnAPIQosEgressDeleteScheduler", u, (int)v[1]);
        kfree(s);
        return -EIO;
    }
    s->intf_id = v[0];
    s->sched_id = v[1];
    s->parent = v[2];
    s->priority = v[3];
    s->weight = v[4];
    s->policy = v[5];
    s->cir = v[6];
    s->cbs = v[7];
    s->pir = v[8];
    s->pbs = v[9];
    s->next = q->oo_scheds;
    q->oo_scheds = s;
    printk(KERN_INFO "\t[QOS] Scheduler sched_id %u added.\n", v[1]);
    return 0;
}

int qos_oo_scheduler_del(struct qos_classifier *q, u32 intf, u32 id) {
    struct jxbridge_port *olt = qos_oo_olt(q, intf);
    if (!olt)
        return -ENODEV;
    struct qos_oo_sched *s = qos_oo_sched_find(q, intf, id);
    if (!s)
        return -ENOENT;
    if (tarn("tarnAPIQosEgressDeleteScheduler", ucc(olt), (int)id))
        return -EIO;
    rule_unlink(&q->oo_scheds, s);
    kfree(s);
    return 0;
}

// One engine call of a queue add, traced with its outcome.
static int qos_oo_traced(const char *name, int rc, const char *args) {
    printk(KERN_INFO "\t[QOS] %s(%s)%s\n", name, args, rc ? " - NOK!" : " - OK");
    return rc;
}

// v: intf_id gem queue_id sched_id weight priority policy discard cir cbs pir pbs.
int qos_oo_queue_add(struct qos_classifier *q, const u32 *v) {
    struct jxbridge_port *olt = qos_oo_olt(q, v[0]);
    if (!olt)
        return -ENODEV;
    if (qos_oo_queue_find(q, v[0], v[1])) {
        printk(KERN_ERR "\t[QOS] Queue gemport_id %u already exists.\n", v[1]);
        return -EEXIST;
    }
    if (!qos_oo_sched_find(q, v[0], v[3])) {
        printk(KERN_ERR "\t[QOS] %s:%d Cannot find sched_id: %d.\n", __func__, __LINE__, (int)v[3]);
        return -ENOENT;
    }
    int policy = qos_oo_policy(v[6]);
    if (policy < 0)
        return policy;
    if (v[7]) {
        printk(KERN_ERR "\t[QOS] %s:%d Discard policy value=%d not supported.\n", __func__,
               __LINE__, (int)v[7]);
        return -EINVAL;
    }
    if (!qos_oo_rate(v[8]) || !qos_oo_rate(v[10]))
        return -ERANGE;
    // The engine's queue: the lowest id no queue of this OLT holds.
    u32 eq = 1;
    for (bool taken = true; taken; eq += taken) {
        taken = false;
        for (struct qos_oo_queue *e = q->oo_queues; e && !taken; e = e->next)
            taken = e->intf_id == v[0] && e->engine_queue == eq;
    }
    auto *e = (struct qos_oo_queue *)jxbridge_zalloc(sizeof(struct qos_oo_queue));
    if (!e)
        return -ENOMEM;
    int u = ucc(olt);
    char args[160];
    snprintf(args, sizeof(args), "%d, %d, %d, %d, %d", u, (int)v[1], (int)v[5], (int)eq, (int)v[3]);
    if (qos_oo_traced(
            "tarnAPIQosEgressCreateQueue",
            tarn("tarnAPIQosEgressCreateQueue", u, (int)v[1], (int)v[5], (int)eq, (int)v[3]),
            args)) {
        kfree(e);
        return -EIO;
    }
    snprintf(args, sizeof(args), "%d, %d, %d, %d, %d, 0, %u, %u, %u, %u", u, (int)eq, policy,
             (int)v[5], (int)v[4], v[8] * 1000, v[9], v[10] * 1000, v[11]);
    if (qos_oo_traced("tarnAPIQosEgressSetQueue",
                      tarn("tarnAPIQosEgressSetQueue", u, (int)eq, policy, (int)v[5], (int)v[4], 0,
                           v[8] * 1000, v[9], v[10] * 1000, v[11]),
                      args)) {
        tarn("tarnAPIQosEgressDeleteQueue", u, (int)eq);
        kfree(e);
        return -EIO;
    }
    e->intf_id = v[0];
    e->gem = v[1];
    e->queue_id = v[2];
    e->sched_id = v[3];
    e->weight = v[4];
    e->priority = v[5];
    e->policy = v[6];
    e->discard = v[7];
    e->cir = v[8];
    e->cbs = v[9];
    e->pir = v[10];
    e->pbs = v[11];
    e->engine_queue = eq;
    e->next = q->oo_queues;
    q->oo_queues = e;
    printk(KERN_INFO "\t[QOS] Queue gemport_id %u added.\n", v[1]);
    return 0;
}

int qos_oo_queue_del(struct qos_classifier *q, u32 intf, u32 gem, u32 queue) {
    struct jxbridge_port *olt = qos_oo_olt(q, intf);
    if (!olt)
        return -ENODEV;
    struct qos_oo_queue *e = qos_oo_queue_find(q, intf, gem);
    if (!e || e->queue_id != queue)
        return -ENOENT;
    if (tarn("tarnAPIQosEgressDeleteQueue", ucc(olt), (int)e->engine_queue))
        return -EIO;
    rule_unlink(&q->oo_queues, e);
    kfree(e);
    return 0;
}

void qos_oo_free(struct qos_classifier *q) {
    while (struct qos_oo_sched *s = q->oo_scheds) {
        q->oo_scheds = s->next;
        kfree(s);
    }
    while (struct qos_oo_queue *e = q->oo_queues) {
        q->oo_queues = e->next;
        kfree(e);
    }
}

void qos_oo_show(struct qos_classifier *q, long olt) {
    printk(KERN_INFO "OpenOLT schedulers:\n");
    for (struct qos_oo_sched *s = q->oo_scheds; s; s = s->next)
        if (olt < 0 || s->intf_id == (u32)olt)
            printk(KERN_INFO "\tintf %u sched %u parent %u priority %u weight %u policy %u cir %u "
                             "cbs %u pir %u pbs %u\n",
                   s->intf_id, s->sched_id, s->parent, s->priority, s->weight, s->policy, s->cir,
                   s->cbs, s->pir, s->pbs);
    printk(KERN_INFO "OpenOLT queues:\n");
    for (struct qos_oo_queue *e = q->oo_queues; e; e = e->next)
        if (olt < 0 || e->intf_id == (u32)olt)
            printk(KERN_INFO "\tintf %u gem %u queue %u sched %u weight %u priority %u policy %u "
                             "cir %u cbs %u pir %u pbs %u engine queue %u\n",
                   e->intf_id, e->gem, e->queue_id, e->sched_id, e->weight, e->priority, e->policy,
                   e->cir, e->cbs, e->pir, e->pbs, e->engine_queue);
}

int qos_get_gem_priority_oo(struct jxbridge *B, u32 olt, u32 gem, u8 *out) {
    struct qos_oo_queue *e = B->qos ? qos_oo_queue_find(B->qos, olt, gem) : nullptr;
    if (!e) {
        *out = 0;
        return -ENOENT;
    }
    *out = (u8)e->priority;
    return 0;
}

void qos_port_show(struct jxbridge_port *port) {
    struct qos_port *qp = qos_port_of(port);
    if (!qp)
        return;
    printk(KERN_INFO "Port %s, bll-id(%d): trust %u, shaping %u/%u%s, ucc %d/%d\n", port->dev->name,
           (int)port->bll_port_no, qp->trust, qp->shape_rate, qp->shape_burst,
           qp->shape_programmed ? " (programmed)" : "", ucc(port), sub(port));
    printk(KERN_INFO "  ONU %u: policing %u/%u, shaping %u/%u\n", qp->onu_id, qp->onu_police_rate,
           qp->onu_police_burst, qp->onu_shape_rate, qp->onu_shape_burst);
    for (u32 i = 0; i < QOS_POLICERS; i++) {
        const struct qos_policer &p = qp->policers[i];
        if (p.cir || p.pir)
            printk(KERN_INFO "  policer %u: %u/%u %u/%u\n", i, p.cir, p.cbs, p.pir, p.pbs);
    }
    for (u32 i = 0; i < QOS_QUEUES; i++) {
        const struct qos_queue &v = qp->queues[i];
        printk(KERN_INFO "  queue %u: mgmt %u sched %u weight %u size %u-%u min %u/%u max %u/%u "
                         "pvc %u/%u priority %u used %u pdr %u cdr %u wred %u/%u/%u %u/%u/%u "
                         "%u/%u/%u\n",
               i, v.mgmt_type, v.sched_type, v.weight, v.size_min, v.size_max, v.min_rate,
               v.min_burst, v.max_rate, v.max_burst, v.vpi, v.vci, v.priority, v.used, v.enable_pdr,
               v.enable_cdr, v.wred[0].min_threshold, v.wred[0].max_threshold, v.wred[0].scale,
               v.wred[1].min_threshold, v.wred[1].max_threshold, v.wred[1].scale,
               v.wred[2].min_threshold, v.wred[2].max_threshold, v.wred[2].scale);
    }
}

// Statistics: every period each queue's values move into its history.
static void qos_stats_timer(struct jxbridge_timer *t) {
    struct qos_classifier *q = (struct qos_classifier *)t->data;
    // Port deletion frees the records walked here: only under the lock.
    mutex_lock(&jxbridge_lock);
    struct jxbridge *B = q->bridge;
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        struct qos_port *qp = q->ports[i];
        if (!p || !qp)
            continue;
        for (u32 k = 0; k < QOS_QUEUES; k++) {
            struct qos_queue *qq = &qp->queues[k];
            memcpy(qq->history[qq->history_at], qq->stats, sizeof(qq->stats));
            qq->history_at = (qq->history_at + 1) % 6;
            u32 occ = 0;
            qos_queue_occupancy_get(p, k, &occ);
            u32 peak = occ, sum = 0;
            for (auto &h : qq->history) {
                peak = std::max(peak, h[0]);
                sum += h[0];
            }
            qq->stats[0] = occ;
            qq->stats[1] = peak;
            qq->stats[2] = sum / 6;
        }
    }
    jxbridge_mod_timer(t, jiffies + QOS_STATS_PERIOD);
    mutex_unlock(&jxbridge_lock);
}

void qos_stats_start(struct qos_classifier *q) {
    jxbridge_timer_init(q->bridge, &q->stats_timer, qos_stats_timer, q, QOS_TIMER_SLOT);
    jxbridge_mod_timer(&q->stats_timer, jiffies + QOS_STATS_PERIOD);
}

void qos_stats_stop(struct qos_classifier *q) {
    if (!q->stats_timer.callback)
        return;
    jxbridge_del_timer_sync_locked(&q->stats_timer);
    del_timer_sync(&q->stats_timer.timer);
}

// The switching modes with a controller start from default rules: a queue
// per CoS on the uplinks, and management traffic marked on the local ports.
int qos_switching_mode_rules(struct qos_classifier *q, u32 mode) {
    if (mode != JXBRIDGE_SWITCHING_CORD && mode != JXBRIDGE_SWITCHING_ACL_FW)
        return 0;
    if (q->oo_mode) {
        printk(KERN_INFO "[QOS] qos_switching_mode_set: QoS already initialized to: %d. Do "
                         "nothing.\n",
               (int)q->oo_mode);
        return 0;
    }
    auto fine = [](int rc) { return rc == 0 || rc == -EEXIST; };
    char name[32];
    bool ok = true;
    for (u32 i = 0; i < 8 && ok; i++) {
        snprintf(name, sizeof(name), "DEFAULT_OO_FLOW_COS_%u", i);
        struct qos_condition c = {};
        c.number = 1;
        c.code = QOS_C_COS;
        memcpy(c.param, &i, sizeof(i));
        struct qos_action a = {};
        a.number = 27;
        a.code = QOS_A_ENTRY_ASSIGN_QUEUE;
        ok = fine(qos_selector_add(q, name)) && fine(qos_condition_add(q, name, &c)) &&
             fine(qos_action_list_add(q, name)) && fine(qos_action_add(q, name, &a));
    }
    const char *mng = "DEFAULT_OO_MNG_FLOW";
    struct qos_condition t = {};
    t.number = 1;
    t.code = QOS_C_TRUE;
    struct qos_action prio = {}, dscp = {};
    prio.number = 1;
    prio.code = QOS_A_SET_OUTER_PRIORITY;
    qos_p_tag tag = {RULE_ETH_P_8021Q, 7}; // network control
    memcpy(prio.param, &tag, sizeof(tag));
    dscp.number = 2;
    dscp.code = QOS_A_SET_IPV4_DSCP;
    u32 cs6 = 48;
    memcpy(dscp.param, &cs6, sizeof(cs6));
    ok = ok && fine(qos_selector_add(q, mng)) && fine(qos_condition_add(q, mng, &t)) &&
         fine(qos_action_list_add(q, mng)) && fine(qos_action_add(q, mng, &prio)) &&
         fine(qos_action_add(q, mng, &dscp));
    if (!ok) {
        printk(KERN_ERR "[QOS] qos_switching_mode_set: Error init oo.\n");
        return -ENOMEM;
    }
    struct jxbridge *B = q->bridge;
    for (u32 p = 0; p < B->max_ports; p++) {
        struct jxbridge_port *port = B->ports[p];
        if (!port)
            continue;
        if (port->kind == JXBRIDGE_PORT_UPLINK || port->kind == JXBRIDGE_PORT_LAG) {
            for (u32 i = 0; i < 8; i++) {
                snprintf(name, sizeof(name), "DEFAULT_OO_FLOW_COS_%u", i);
                if (!fine(qos_port_entry_add(q, port, 0, i, name, name, i, (s32)i, QOS_NO_CVID, 0)))
                    printk(KERN_ERR "[QoS] qos_switching_mode_set: Error init uplink port: %d\n",
                           (int)p);
            }
        } else if (port->kind == JXBRIDGE_PORT_LOCAL) {
            if (!fine(qos_port_entry_add(q, port, 1, 1, mng, mng, 0, 0, QOS_NO_CVID, 0)))
                printk(KERN_ERR "[QoS] qos_switching_mode_set: Error init mng port: %d\n", (int)p);
        }
    }
    q->oo_mode = mode;
    return 0;
}

void qos_switching_mode_set(struct jxbridge *B, u32 mode) {
    if (B->qos)
        qos_switching_mode_rules(B->qos, mode);
}
