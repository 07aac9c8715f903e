#include "kernel/time.h"

#include "kernel/internal.h"
#include "kernel/sched.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

namespace {

constexpr u64 NSEC_PER_JIFFY = 1000000000ull / HZ;

u64 host_mono_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (u64)ts.tv_sec * 1000000000ull + ts.tv_nsec;
}

u64 host_real_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (u64)ts.tv_sec * 1000000000ull + ts.tv_nsec;
}

struct clock_state {
    std::atomic<bool> is_virtual{false};
    std::atomic<unsigned long> vjiffies{INITIAL_JIFFIES};
    u64 mono_base = host_mono_ns(); // real jiffies count from here
    u64 real_base = host_real_ns(); // wall clock at the virtual clock's start
    unsigned long vbase = INITIAL_JIFFIES;
};

clock_state &clk() {
    static clock_state c;
    return c;
}

using timer_key = std::tuple<unsigned long, u64, timer_list *>;
using hrtimer_key = std::tuple<ktime_t, u64, hrtimer *>;

struct timer_state {
    std::mutex m;
    std::condition_variable cv;      // wakes the real-time timer thread
    std::condition_variable done_cv; // a callback finished
    std::set<timer_key> armed;
    std::set<hrtimer_key> hr_armed;
    u64 next_seq = 1;
    const void *running = nullptr; // a timer_list or an hrtimer
    std::thread::id running_thread;
    bool thread_started = false;
};

timer_state &ts() {
    // Never destroyed: the timer thread outlives static destruction at exit.
    static timer_state *t = new timer_state;
    return *t;
}

thread_local bool t_in_softirq = false;

// Runs the callbacks of the timers of a set that are due (due_at says) and
// were armed before the call began, so a timer that re-arms itself for now
// waits for the next tick. call runs one callback with the lock dropped and
// says whether to arm the timer again at its expiry.
template <typename Key, typename Due, typename Call>
void run_due(std::set<Key> &armed, Due due_at, Call call) {
    timer_state &s = ts();
    std::unique_lock<std::mutex> lk(s.m);
    u64 limit = s.next_seq;
    for (;;) {
        std::tuple_element_t<2, Key> due = nullptr;
        for (auto it = armed.begin(); it != armed.end(); ++it) {
            if (!due_at(std::get<0>(*it)))
                break;
            if (std::get<1>(*it) < limit) {
                due = std::get<2>(*it);
                armed.erase(it);
                break;
            }
        }
        if (!due)
            return;
        due->rte_queued = false;
        s.running = due;
        s.running_thread = std::this_thread::get_id();
        lk.unlock();
        t_in_softirq = true;
        const bool again = call(due);
        t_in_softirq = false;
        lk.lock();
        if (again && !due->rte_queued) {
            due->rte_seq = s.next_seq++;
            due->rte_queued = true;
            armed.insert(Key(due->expires, due->rte_seq, due));
        }
        s.running = nullptr;
        s.running_thread = std::thread::id();
        s.done_cv.notify_all();
    }
}

void run_due_timers(unsigned long now) {
    run_due(
        ts().armed, [now](unsigned long at) { return !time_after(at, now); },
        [](timer_list *t) {
            t->function(t);
            return false;
        });
}

void run_due_hrtimers(ktime_t now) {
    run_due(
        ts().hr_armed, [now](ktime_t at) { return at <= now; },
        [](hrtimer *t) { return t->function(t) == HRTIMER_RESTART; });
}

void timer_thread_main() {
    timer_state &s = ts();
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(s.m);
            if (clk().is_virtual.load() || (s.armed.empty() && s.hr_armed.empty())) {
                s.cv.wait_for(lk, std::chrono::milliseconds(100));
                continue;
            }
            // The earlier of the next jiffy timer and the next high-resolution one.
            u64 wait = 100000000ull;
            const u64 now = host_mono_ns();
            if (!s.armed.empty()) {
                unsigned long first = std::get<0>(*s.armed.begin());
                unsigned long j = jiffies;
                wait = time_after(first, j) ? std::min<u64>(wait, (first - j) * NSEC_PER_JIFFY) : 0;
            }
            if (!s.hr_armed.empty()) {
                const ktime_t first = std::get<0>(*s.hr_armed.begin());
                wait = first > (ktime_t)now ? std::min<u64>(wait, (u64)first - now) : 0;
            }
            if (wait) {
                s.cv.wait_for(lk, std::chrono::nanoseconds(wait));
                continue;
            }
        }
        run_due_timers(jiffies);
        run_due_hrtimers((ktime_t)ktime_get_ns());
    }
}

void ensure_timer_thread_locked(timer_state &s) {
    if (!s.thread_started) {
        s.thread_started = true;
        // Lives as long as the process.
        auto *t = new std::thread(timer_thread_main);
        t->detach();
        delete t;
    }
}

} // namespace

unsigned long rte_jiffies() {
    clock_state &c = clk();
    if (c.is_virtual.load(std::memory_order_relaxed))
        return c.vjiffies.load(std::memory_order_relaxed);
    return INITIAL_JIFFIES + (host_mono_ns() - c.mono_base) / NSEC_PER_JIFFY;
}

u64 ktime_get_ns() {
    clock_state &c = clk();
    if (c.is_virtual.load())
        return c.mono_base + (c.vjiffies.load() - INITIAL_JIFFIES) * NSEC_PER_JIFFY;
    return host_mono_ns();
}

u64 ktime_get_real_ns() {
    clock_state &c = clk();
    if (c.is_virtual.load())
        return c.real_base + (c.vjiffies.load() - c.vbase) * NSEC_PER_JIFFY;
    return host_real_ns();
}

s64 ktime_get_real_seconds() {
    // As in the kernel, the seconds of the last tick: cheap enough for every frame.
    if (!clk().is_virtual.load(std::memory_order_relaxed)) {
        timespec ts;
        clock_gettime(CLOCK_REALTIME_COARSE, &ts);
        return ts.tv_sec;
    }
    return (s64)(ktime_get_real_ns() / 1000000000ull);
}

void timer_setup(struct timer_list *timer, void (*fn)(struct timer_list *), unsigned int flags) {
    timer->function = fn;
    timer->flags = flags;
    timer->expires = 0;
    timer->rte_queued = false;
    timer->rte_seq = 0;
}

int mod_timer(struct timer_list *timer, unsigned long expires) {
    timer_state &s = ts();
    std::lock_guard<std::mutex> g(s.m);
    int was = timer->rte_queued ? 1 : 0;
    if (timer->rte_queued)
        s.armed.erase(timer_key(timer->expires, timer->rte_seq, timer));
    timer->expires = expires;
    timer->rte_seq = s.next_seq++;
    timer->rte_queued = true;
    s.armed.insert(timer_key(expires, timer->rte_seq, timer));
    ensure_timer_thread_locked(s);
    s.cv.notify_all();
    return was;
}

void add_timer(struct timer_list *timer) {
    mod_timer(timer, timer->expires);
}

int del_timer(struct timer_list *timer) {
    timer_state &s = ts();
    std::lock_guard<std::mutex> g(s.m);
    if (!timer->rte_queued)
        return 0;
    s.armed.erase(timer_key(timer->expires, timer->rte_seq, timer));
    timer->rte_queued = false;
    return 1;
}

int del_timer_sync(struct timer_list *timer) {
    timer_state &s = ts();
    std::unique_lock<std::mutex> lk(s.m);
    int was = 0;
    if (timer->rte_queued) {
        s.armed.erase(timer_key(timer->expires, timer->rte_seq, timer));
        timer->rte_queued = false;
        was = 1;
    }
    // Wait for a callback in progress, unless it is the caller itself.
    s.done_cv.wait(
        lk, [&] { return s.running != timer || s.running_thread == std::this_thread::get_id(); });
    return was;
}

bool timer_pending(const struct timer_list *timer) {
    timer_state &s = ts();
    std::lock_guard<std::mutex> g(s.m);
    return timer->rte_queued;
}

void hrtimer_init(struct hrtimer *timer, int, enum hrtimer_mode) {
    timer->expires = 0;
    timer->rte_queued = false;
    timer->rte_seq = 0;
}

void hrtimer_start(struct hrtimer *timer, ktime_t tim, enum hrtimer_mode mode) {
    if (mode == HRTIMER_MODE_REL)
        tim += (ktime_t)ktime_get_ns();
    timer_state &s = ts();
    std::lock_guard<std::mutex> g(s.m);
    if (timer->rte_queued)
        s.hr_armed.erase(hrtimer_key(timer->expires, timer->rte_seq, timer));
    timer->expires = tim;
    timer->rte_seq = s.next_seq++;
    timer->rte_queued = true;
    s.hr_armed.insert(hrtimer_key(tim, timer->rte_seq, timer));
    ensure_timer_thread_locked(s);
    s.cv.notify_all();
}

int hrtimer_cancel(struct hrtimer *timer) {
    timer_state &s = ts();
    std::unique_lock<std::mutex> lk(s.m);
    int was = 0;
    if (timer->rte_queued) {
        s.hr_armed.erase(hrtimer_key(timer->expires, timer->rte_seq, timer));
        timer->rte_queued = false;
        was = 1;
    }
    s.done_cv.wait(
        lk, [&] { return s.running != timer || s.running_thread == std::this_thread::get_id(); });
    // A callback that re-armed itself while we waited is disarmed too.
    if (timer->rte_queued) {
        s.hr_armed.erase(hrtimer_key(timer->expires, timer->rte_seq, timer));
        timer->rte_queued = false;
    }
    return was;
}

bool hrtimer_active(const struct hrtimer *timer) {
    timer_state &s = ts();
    std::lock_guard<std::mutex> g(s.m);
    return timer->rte_queued || s.running == timer;
}

bool in_softirq() {
    return t_in_softirq;
}

void rte_clock_set_virtual(bool is_virtual) {
    clock_state &c = clk();
    if (c.is_virtual.load() == is_virtual)
        return;
    if (is_virtual) {
        unsigned long now = rte_jiffies();
        c.vjiffies.store(now);
        c.vbase = now;
        c.real_base = host_real_ns();
        c.is_virtual.store(true);
    } else {
        // Real jiffies continue from where the virtual clock stood.
        unsigned long v = c.vjiffies.load();
        c.mono_base = host_mono_ns() - (v - INITIAL_JIFFIES) * NSEC_PER_JIFFY;
        c.is_virtual.store(false);
    }
    rte_internal::wake_all_sleepers();
    timer_state &s = ts();
    std::lock_guard<std::mutex> g(s.m);
    s.cv.notify_all();
}

void rte_clock_step_real(s64 seconds) {
    clock_state &c = clk();
    if (!c.is_virtual.load()) {
        fprintf(stderr, "rte: rte_clock_step_real needs the virtual clock\n");
        return;
    }
    c.real_base += (u64)(seconds * 1000000000ll);
}

bool rte_clock_is_virtual() {
    return clk().is_virtual.load();
}

namespace {

void fire(unsigned long now) {
    run_due_timers(now);
    run_due_hrtimers((ktime_t)ktime_get_ns());
    rte_internal::wake_sleepers_due(now);
    rte_settle();
}

} // namespace

void rte_clock_advance(unsigned long ticks) {
    clock_state &c = clk();
    if (!c.is_virtual.load()) {
        fprintf(stderr, "rte: rte_clock_advance needs the virtual clock\n");
        return;
    }
    rte_settle();
    unsigned long now = c.vjiffies.load();
    unsigned long target = now + ticks;
    fire(now);
    while (time_before(now, target)) {
        unsigned long next = target;
        unsigned long t = rte_internal::next_timer_expiry();
        unsigned long d = rte_internal::next_sleeper_deadline();
        if (t != ULONG_MAX && time_before(t, next))
            next = t;
        if (d != ULONG_MAX && time_before(d, next))
            next = d;
        if (!time_after(next, now))
            next = now + 1;
        now = next;
        c.vjiffies.store(now);
        fire(now);
    }
}

namespace rte_internal {

unsigned long next_timer_expiry() {
    timer_state &s = ts();
    std::lock_guard<std::mutex> g(s.m);
    unsigned long next = s.armed.empty() ? ULONG_MAX : std::get<0>(*s.armed.begin());
    if (!s.hr_armed.empty()) {
        // The jiffy at which the virtual monotonic clock reaches the expiry.
        const clock_state &c = clk();
        const ktime_t at = std::get<0>(*s.hr_armed.begin()), base = (ktime_t)c.mono_base;
        const unsigned long j =
            INITIAL_JIFFIES +
            (at <= base ? 0
                        : (unsigned long)((u64)(at - base) + NSEC_PER_JIFFY - 1) / NSEC_PER_JIFFY);
        if (next == ULONG_MAX || time_before(j, next))
            next = j;
    }
    return next;
}

} // namespace rte_internal
