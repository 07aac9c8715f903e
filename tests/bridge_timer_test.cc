// The deferred-timer service: callbacks on the bridge's pool thread.
#include "jxtest.h"

#include "sources/jxbridge/jxbridge.h"

#include <atomic>
#include <memory>
#include <thread>

using namespace jxtest;

namespace {

struct probe {
    jxbridge_timer t;
    std::atomic<int> runs{0};
    std::atomic<bool> saw_softirq{false};
    std::atomic<unsigned long> ran_at{0};
    std::string comm;
    unsigned long rearm = 0;
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    bool take_lock = false;
};

void probe_cb(jxbridge_timer *t) {
    auto *p = (probe *)t->data;
    p->entered = true;
    if (p->take_lock)
        mutex_lock(&jxbridge_lock);
    p->saw_softirq = in_softirq();
    p->comm = current->comm;
    p->ran_at = jiffies;
    p->runs++;
    if (p->rearm)
        jxbridge_mod_timer(t, jiffies + p->rearm);
    if (p->take_lock)
        mutex_unlock(&jxbridge_lock);
    p->finished = true;
}

class TimerTest : public ModuleTest {
  protected:
    jxbridge *br = nullptr;
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add br0 4"), 0);
        br = jxbridge_find("br0");
        ASSERT_NE(br, nullptr);
    }
};

} // namespace

TEST_F(TimerTest, DeferredCallbacksRunOnThePoolThread) {
    probe p;
    p.rearm = 10;
    unsigned long start = jiffies;
    EXPECT_EQ(jxbridge_timer_init(br, &p.t, probe_cb, &p, 2), 0);
    EXPECT_EQ(p.t.deferred, 1u);
    rte_clock_advance(249);
    EXPECT_EQ(p.runs, 0);
    rte_clock_advance(1);
    EXPECT_EQ(p.runs, 1);
    EXPECT_FALSE(p.saw_softirq);
    EXPECT_EQ(p.comm, "jxbridge_timer/");
    EXPECT_LE(p.ran_at - (start + 250), 2u);
    rte_clock_advance(10);
    EXPECT_EQ(p.runs, 2);

    // Slots outside 0..10 are not deferred: the callback runs in timer context.
    probe q, r;
    jxbridge_timer_init(br, &q.t, probe_cb, &q, 11);
    jxbridge_timer_init(br, &r.t, probe_cb, &r, -1);
    EXPECT_EQ(q.t.deferred, 0u);
    EXPECT_EQ(r.t.deferred, 0u);
    rte_clock_advance(250);
    EXPECT_EQ(q.runs, 1);
    EXPECT_TRUE(q.saw_softirq);
    EXPECT_TRUE(r.saw_softirq);

    // Deleted timers stay quiet.
    int before = p.runs;
    jxbridge_del_timer_sync(&p.t);
    jxbridge_del_timer_sync(&q.t);
    jxbridge_del_timer_sync(&r.t);
    EXPECT_EQ(br->timer_pool.slots[2], nullptr);
    rte_clock_advance(1000);
    EXPECT_EQ(p.runs, before);
    EXPECT_EQ(q.runs, 1);
}

TEST_F(TimerTest, DeletingWhileTheCallbackWaitsForTheLock) {
    auto p = std::make_unique<probe>();
    p->take_lock = true;
    jxbridge_timer_init(br, &p->t, probe_cb, p.get(), 3);
    del_timer_sync(&p->t.timer);

    // The deleter holds jxbridge_lock while the pool thread has started the
    // callback, which now waits for that lock.
    mutex_lock(&jxbridge_lock);
    __atomic_store_n(&p->t.pending, 1, __ATOMIC_RELEASE);
    wake_up_process(br->timer_pool.thread);
    while (!p->entered)
        std::this_thread::yield();
    jxbridge_del_timer_sync(&p->t);
    EXPECT_TRUE(p->finished);
    EXPECT_TRUE(mutex_is_owner(&jxbridge_lock));
    mutex_unlock(&jxbridge_lock);
    p.reset(); // freeing now must be safe: nothing runs on it any more
    rte_clock_advance(500);
}

TEST_F(TimerTest, PoolStopsWithItsBridge) {
    probe p;
    jxbridge_timer_init(br, &p.t, probe_cb, &p, 0);
    jxbridge_del_timer_sync(&p.t);
    EXPECT_GT(proc_write("/proc/net/jxbridge/config", "del br0"), 0);
    EXPECT_EQ(logged("[jxbridge/poll] "), 1u); // the start line
    rte_clock_advance(500);
    EXPECT_EQ(p.runs, 0);
}
