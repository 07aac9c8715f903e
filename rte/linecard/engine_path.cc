// The packet engine's per-port data path in software (see engine_path.h).
#include "linecard/engine_path.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr u64 NS = 1000000000ull;
constexpr u32 MAX_FRAME_BITS = 1522 * 8;
constexpr s64 QUANTUM = 64; // bytes per unit of weight and round

void refill(struct pe_bucket *b, u64 now) {
    if (now <= b->last)
        return;
    const u64 cap = b->depth * NS;
    // 128 bits: ten Gbit/s over a long idle spell overflows 64.
    const unsigned __int128 add = (unsigned __int128)b->rate * (now - b->last);
    b->credit = add >= cap - b->credit ? cap : b->credit + (u64)add;
    b->last = now;
}

// Takes what is there of bits: committed traffic also counts against the peak.
void drain(struct pe_bucket *b, u64 bits, u64 now) {
    if (!b->rate)
        return;
    refill(b, now);
    b->credit -= b->credit < bits * NS ? b->credit : bits * NS;
}

u32 occupancy(const struct pe_queue *q) {
    return skb_queue_len(&q->frames);
}

u32 size_of(const struct pe_queue *q) {
    return q->size ? q->size : PE_QUEUE_FRAMES;
}

u32 dice(struct pe_path *p) {
    u32 x = p->rng;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return p->rng = x;
}

// Early drop on the averaged occupancy, between the thresholds of the frame's precedence.
bool wred_drops(struct pe_path *p, struct pe_queue *q, int prec) {
    q->avg += (s32)((occupancy(q) << 8) - q->avg) / 4;
    const struct pe_wred *w = &q->wred[prec];
    if (!w->max_th || occupancy(q) < q->size_min)
        return false;
    const u64 avg = q->avg, size = size_of(q);
    const u64 lo = size * w->min_th << 8, hi = size * w->max_th << 8; // percent << 8, times 100
    if (avg * 100 < lo)
        return false;
    if (avg * 100 >= hi)
        return true;
    // scale% at the maximum, rising linearly from the minimum.
    const u64 chance = (u64)w->scale * (avg * 100 - lo) / (hi - lo); // percent
    return dice(p) % 100 < chance;
}

bool may_send(const struct pe_queue *q, bool committed) {
    if (skb_queue_empty(&q->frames))
        return false;
    return committed ? q->cdr && q->min.rate : q->pdr;
}

// The queue a scheduler serves now among those it may, or -1.
int pick(struct pe_path *p, bool committed, u64 now) {
    int best = -1;
    bool weighted = false;
    for (int i = 0; i < PE_QUEUES; i++) {
        struct pe_queue *q = &p->q[i];
        if (!may_send(q, committed))
            continue;
        const u64 bits = (u64)q->frames.next->len * 8;
        struct pe_bucket *b = committed ? &q->min : &q->max;
        refill(b, now);
        if (b->rate && b->credit < bits * NS)
            continue;
        if (best < 0 || q->priority > p->q[best].priority) {
            best = i;
            weighted = q->weighted;
        } else if (q->priority == p->q[best].priority) {
            weighted = weighted || q->weighted;
        }
    }
    if (best < 0)
        return -1;
    const u8 prio = p->q[best].priority;
    // Equal priorities take turns, or share by weight (deficit round robin).
    for (int round = 0; round < 1 + 1522 / (int)QUANTUM; round++) {
        for (int k = 0; k < PE_QUEUES; k++) {
            const int i = (p->rr + k) % PE_QUEUES;
            struct pe_queue *q = &p->q[i];
            if (!may_send(q, committed) || q->priority != prio)
                continue;
            const u64 bits = (u64)q->frames.next->len * 8;
            const struct pe_bucket *b = committed ? &q->min : &q->max;
            if (b->rate && b->credit < bits * NS)
                continue;
            if (!weighted || q->deficit >= (s64)q->frames.next->len) {
                p->rr = (u8)((i + 1) % PE_QUEUES);
                return i;
            }
        }
        for (auto &q : p->q)
            if (may_send(&q, committed) && q.priority == prio)
                q.deficit += QUANTUM * (q.weight ? q.weight : 1);
    }
    return best;
}

} // namespace

int pe_bucket_set(struct pe_bucket *b, u64 rate, u64 depth, u64 now) {
    if (depth > PE_NEVER / NS)
        return -EINVAL;
    // A bucket must hold one whole frame, or a frame that size would wait forever.
    if (rate && depth < MAX_FRAME_BITS)
        depth = MAX_FRAME_BITS;
    b->rate = rate;
    b->depth = depth;
    b->credit = depth * NS; // a new bucket starts full
    b->last = now;
    return 0;
}

bool pe_bucket_take(struct pe_bucket *b, u64 bits, u64 now) {
    if (!b->rate)
        return true;
    refill(b, now);
    if (b->credit < bits * NS)
        return false;
    b->credit -= bits * NS;
    return true;
}

u64 pe_bucket_wait(struct pe_bucket *b, u64 bits, u64 now) {
    if (!b->rate)
        return 0;
    refill(b, now);
    if (b->credit >= bits * NS)
        return 0;
    return (bits * NS - b->credit + b->rate - 1) / b->rate;
}

int pe_policer_set(struct pe_policer *p, u64 cir, u64 cbs, u64 pir, u64 pbs, u64 now) {
    if (pir < cir)
        return -EINVAL;
    struct pe_policer n = {};
    int rc = pe_bucket_set(&n.committed, cir, cbs, now);
    if (!rc)
        rc = pe_bucket_set(&n.peak, pir, pbs, now);
    if (!rc)
        *p = n;
    return rc;
}

enum pe_color pe_police(struct pe_policer *p, u32 bytes, u64 now) {
    const u64 bits = (u64)bytes * 8;
    if (!p->peak.rate && !p->committed.rate)
        return PE_GREEN;
    if (p->peak.rate) {
        refill(&p->peak, now);
        if (p->peak.credit < bits * NS)
            return PE_RED;
    }
    if (p->committed.rate) {
        refill(&p->committed, now);
        if (p->committed.credit < bits * NS) {
            drain(&p->peak, bits, now);
            return PE_YELLOW;
        }
        p->committed.credit -= bits * NS;
    }
    drain(&p->peak, bits, now);
    return PE_GREEN;
}

void pe_path_init(struct pe_path *p, u64 now) {
    memset((void *)p, 0, sizeof(*p)); // as kzalloc'd: the queue heads are set up below
    for (int i = 0; i < PE_QUEUES; i++) {
        struct pe_queue *q = &p->q[i];
        skb_queue_head_init(&q->frames);
        q->priority = (u8)i; // until programmed: queue 7 first
        q->pdr = 1;
        q->weight = 1;
        q->min.last = q->max.last = now;
    }
    p->shaper.last = now;
    p->rng = 0x9E3779B9u;
}

void pe_path_purge(struct pe_path *p) {
    for (auto &q : p->q)
        skb_queue_purge(&q.frames);
}

int pe_path_enqueue(struct pe_path *p, struct sk_buff *skb, int queue, int policer, u64 now) {
    int prec = 0;
    if (policer >= 0 && policer < PE_POLICERS) {
        const enum pe_color c = pe_police(&p->policers[policer], skb->len, now);
        if (c == PE_RED) {
            p->dropped_policer++;
            kfree_skb(skb);
            return -EPERM;
        }
        prec = c == PE_YELLOW;
    }
    return pe_path_enqueue_color(p, skb, queue, prec ? PE_YELLOW : PE_GREEN, now);
}

int pe_path_enqueue_color(struct pe_path *p, struct sk_buff *skb, int queue, enum pe_color color,
                          u64) {
    const int prec = color == PE_YELLOW ? 1 : color == PE_RED ? 2 : 0;
    struct pe_queue *q = &p->q[queue >= 0 && queue < PE_QUEUES ? queue : 0];
    if (occupancy(q) >= size_of(q)) {
        q->dropped_full++;
        kfree_skb(skb);
        return -ENOBUFS;
    }
    if (wred_drops(p, q, prec)) {
        q->dropped_wred++;
        kfree_skb(skb);
        return -ENOBUFS;
    }
    __skb_queue_tail(&q->frames, skb);
    q->enqueued++;
    return 0;
}

struct sk_buff *pe_path_dequeue(struct pe_path *p, u64 now, u64 *wait) {
    *wait = PE_NEVER;
    if (!pe_path_queued(p))
        return nullptr;
    for (bool committed : {true, false}) {
        const int i = pick(p, committed, now);
        if (i < 0)
            continue;
        struct pe_queue *q = &p->q[i];
        const u64 bits = (u64)q->frames.next->len * 8;
        const u64 w = pe_bucket_wait(&p->shaper, bits, now);
        if (w) {
            *wait = w;
            return nullptr;
        }
        pe_bucket_take(&p->shaper, bits, now);
        if (committed)
            drain(&q->min, bits, now);
        drain(&q->max, bits, now);
        if (q->weighted)
            q->deficit -= q->frames.next->len;
        q->sent++;
        struct sk_buff *skb = __skb_dequeue(&q->frames);
        if (skb_queue_empty(&q->frames))
            q->deficit = 0;
        return skb;
    }
    // Nothing may go yet: the earliest a queue's shaper lets its head frame out.
    for (auto &q : p->q) {
        if (skb_queue_empty(&q.frames) || !(q.pdr || (q.cdr && q.min.rate)))
            continue;
        const u64 bits = (u64)q.frames.next->len * 8;
        u64 w = q.pdr ? pe_bucket_wait(&q.max, bits, now) : PE_NEVER;
        if (q.cdr && q.min.rate) {
            const u64 c = pe_bucket_wait(&q.min, bits, now);
            w = c < w ? c : w;
        }
        *wait = w < *wait ? w : *wait;
    }
    return nullptr;
}

u32 pe_path_queued(const struct pe_path *p) {
    u32 n = 0;
    for (const auto &q : p->q)
        n += occupancy(&q);
    return n;
}
