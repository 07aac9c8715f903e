// jiffies, clocks and kernel timers.
//
// Two clock modes: real time (the node), where jiffies follow CLOCK_MONOTONIC at
// HZ and a timer thread fires due timers; and virtual (tests), where time only
// moves in rte_clock_advance(), which fires due timers in the caller's thread,
// wakes sleepers whose time has come, and lets every kernel thread settle.
#pragma once

#include "kernel/types.h"

#define HZ 250
#define INITIAL_JIFFIES ((unsigned long)(unsigned int)(-300 * HZ))

unsigned long rte_jiffies();
#define jiffies rte_jiffies()
#define time_after(a, b) ((long)((b) - (a)) < 0)
#define time_before(a, b) time_after(b, a)
#define time_after_eq(a, b) ((long)((a) - (b)) >= 0)
#define time_before_eq(a, b) time_after_eq(b, a)
inline unsigned long msecs_to_jiffies(unsigned int m) {
    return (m + (1000 / HZ) - 1) / (1000 / HZ);
}
inline unsigned int jiffies_to_msecs(unsigned long j) {
    return (unsigned int)(j * (1000 / HZ));
}

u64 ktime_get_ns();           // monotonic
s64 ktime_get_real_seconds(); // wall clock
u64 ktime_get_real_ns();
inline unsigned long get_seconds() {
    return (unsigned long)ktime_get_real_seconds();
}

struct timer_list {
    unsigned long expires = 0;
    void (*function)(struct timer_list *) = nullptr;
    u32 flags = 0;
    // Kernel-layer bookkeeping.
    bool rte_queued = false;
    u64 rte_seq = 0;
};
#define from_timer(var, callback_timer, timer_fieldname)                                           \
    container_of(callback_timer, __typeof__(*var), timer_fieldname)

void timer_setup(struct timer_list *timer, void (*fn)(struct timer_list *), unsigned int flags);
void add_timer(struct timer_list *timer);
int mod_timer(struct timer_list *timer, unsigned long expires);
int del_timer(struct timer_list *timer);
int del_timer_sync(struct timer_list *timer);
bool timer_pending(const struct timer_list *timer);
// True while the calling thread runs a timer callback (the kernel's softirq context).
bool in_softirq();
inline bool in_interrupt() {
    return in_softirq();
}

// High-resolution timers, on the monotonic clock in nanoseconds (ktime_get_ns).
// On the virtual clock they fire in rte_clock_advance once their time has
// come, at the jiffy that reaches it.
typedef s64 ktime_t;
enum hrtimer_mode { HRTIMER_MODE_ABS, HRTIMER_MODE_REL };
enum hrtimer_restart { HRTIMER_NORESTART, HRTIMER_RESTART };
struct hrtimer {
    ktime_t expires = 0;
    enum hrtimer_restart (*function)(struct hrtimer *) = nullptr;
    // Kernel-layer bookkeeping.
    bool rte_queued = false;
    u64 rte_seq = 0;
};
// The clock is always the monotonic one.
void hrtimer_init(struct hrtimer *timer, int clock_id, enum hrtimer_mode mode);
void hrtimer_start(struct hrtimer *timer, ktime_t tim, enum hrtimer_mode mode);
// Disarms, and waits for a callback in progress (unless it is the caller's own): 1 when armed.
int hrtimer_cancel(struct hrtimer *timer);
bool hrtimer_active(const struct hrtimer *timer);

// Clock control for the node and tests.
void rte_clock_set_virtual(bool is_virtual);
bool rte_clock_is_virtual();
void rte_clock_advance(unsigned long ticks);
inline void rte_clock_advance_ms(unsigned ms) {
    rte_clock_advance(msecs_to_jiffies(ms));
}
// Steps the wall clock by seconds (either way) as settimeofday would; jiffies
// and timers are not touched. Virtual clock only.
void rte_clock_step_real(s64 seconds);
