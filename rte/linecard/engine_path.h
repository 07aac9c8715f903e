// The packet engine's data path in software, for one port: policers, eight
// egress queues with WRED, committed- and peak-rate schedulers with their
// shapers, and the port shaper. Time is the caller's, in nanoseconds, so
// the same code runs on the node's clock and on a test's.
//
// Units are the engine's: rates in bit/s, bursts in bits (the bridge hands
// kbit/s and kbit, both multiplied by 1000). A rate of 0 leaves the bucket off.
#pragma once

#include "kernel/skbuff.h"
#include "kernel/types.h"

constexpr int PE_QUEUES = 8;
constexpr int PE_POLICERS = 8;
constexpr int PE_PRECEDENCES = 3;
constexpr u32 PE_QUEUE_FRAMES = 256; // a queue's size when none is programmed
constexpr u64 PE_NEVER = ~0ull;

// A token bucket; credit is kept in nanobits so that no refill is lost to rounding.
struct pe_bucket {
    u64 rate;   // bit/s, 0: off
    u64 depth;  // bits
    u64 credit; // nanobits, at most depth * 1e9
    u64 last;   // ns of the last refill
};
// A depth below one full frame is taken as one; -EINVAL for a depth the
// arithmetic cannot hold.
int pe_bucket_set(struct pe_bucket *b, u64 rate, u64 depth, u64 now);
// Takes bits when the bucket holds them (always true when off).
bool pe_bucket_take(struct pe_bucket *b, u64 bits, u64 now);
// Nanoseconds until bits would be there (0 when now).
u64 pe_bucket_wait(struct pe_bucket *b, u64 bits, u64 now);

// Two-rate three-colour marker of RFC 2698, colour-blind: committed and peak
// rate and burst. Red frames are dropped, yellow ones go on with drop
// precedence 1.
enum pe_color : u8 { PE_GREEN, PE_YELLOW, PE_RED };
struct pe_policer {
    struct pe_bucket committed, peak;
};
// All four 0 switch it off; -EINVAL when the peak rate is below the committed one.
int pe_policer_set(struct pe_policer *p, u64 cir, u64 cbs, u64 pir, u64 pbs, u64 now);
enum pe_color pe_police(struct pe_policer *p, u32 bytes, u64 now);

// Early drop of one drop precedence: green frames (or unpoliced ones) are 0,
// yellow 1; red ones never reach a queue, so 2 is kept but not met.
struct pe_wred {
    u8 min_th, max_th; // percent of the queue's size; max_th 0: off
    u8 scale;          // drop probability at the maximum threshold, percent
};

struct pe_queue {
    struct sk_buff_head frames;
    u32 size;                  // frames, 0: PE_QUEUE_FRAMES
    u32 size_min;              // frames WRED leaves alone: the queue's reserved room
    u32 avg;                   // occupancy average, frames << 8
    struct pe_bucket min, max; // committed and peak shapers
    u8 priority;               // 0..7, 7 first
    u8 cdr, pdr;               // in the committed / peak scheduler
    u8 weighted;               // shares its priority by weight, else by turns
    u32 weight;                // 1..100
    s64 deficit;               // bytes, weighted sharing
    struct pe_wred wred[PE_PRECEDENCES];
    u64 enqueued, sent, dropped_full, dropped_wred;
};

struct pe_path {
    struct pe_queue q[PE_QUEUES];
    struct pe_policer policers[PE_POLICERS];
    struct pe_bucket shaper; // the port's
    u64 dropped_policer;
    u32 rng; // WRED's dice: xorshift, seeded so that runs repeat
    u8 rr;   // where the search for the next equal-priority queue starts
};

// Sets up p from any state but one holding frames (purge first).
void pe_path_init(struct pe_path *p, u64 now);
// Frees every queued frame.
void pe_path_purge(struct pe_path *p);
// Polices (policer < 0: none) and queues the frame; consumes it either way.
// Returns 0 when queued, -ENOBUFS when the queue or WRED dropped it, -EPERM
// when the policer did. A queue outside 0..7 is taken as 0.
int pe_path_enqueue(struct pe_path *p, struct sk_buff *skb, int queue, int policer, u64 now);
// Queues a frame a policer elsewhere has coloured (yellow: drop precedence 1).
int pe_path_enqueue_color(struct pe_path *p, struct sk_buff *skb, int queue, enum pe_color color,
                          u64 now);
// The next frame the schedulers and shapers let go now, or null; *wait then
// says in how many nanoseconds one may (PE_NEVER: nothing can go).
struct sk_buff *pe_path_dequeue(struct pe_path *p, u64 now, u64 *wait);
u32 pe_path_queued(const struct pe_path *p);
