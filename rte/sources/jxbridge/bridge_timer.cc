// Deferred timers: expiry in timer context only marks the timer; the bridge's
// pool thread runs the callback, where it may sleep and take jxbridge_lock.
#include "jxbridge.h"

static const char *const timer_file = "rte/sources/jxbridge/bridge_timer.cc";

// With jxbridge_dtrc on and the trace facility asking for timer entries,
// each timer handled leaves an entry in the outside trace memory.
static void jxbridge_timer_dtrc(struct jxbridge_timer *t, u16 slot) {
    if (!__atomic_load_n(&jxbridge_dtrc, __ATOMIC_RELAXED))
        return;
    auto *flags = (const u32 *)jxbridge_symbol_get("dtrcFlags");
    if (!flags || !(__atomic_load_n(flags, __ATOMIC_RELAXED) & JXBRIDGE_DTRC_TIMER))
        return;
    using sram_fn = void *(*)(unsigned int size);
    auto get_sram = (sram_fn)jxbridge_symbol_get("dtrcGetSRAMAddr");
    void *at = get_sram ? get_sram(sizeof(struct jxbridge_dtrc_entry)) : nullptr;
    if (!at)
        return;
    struct jxbridge_dtrc_entry e = {};
    e.type = JXBRIDGE_DTRC_TIMER;
    e.slot = slot;
    e.time = (u32)jiffies;
    e.timer = (u64)(uintptr_t)t;
    e.callback = (u64)(uintptr_t)t->callback;
    e.data = (u64)(uintptr_t)t->data;
    memcpy(at, &e, sizeof(e));
}

static void jxbridge_timer_expired(struct timer_list *tl) {
    struct jxbridge_timer *t = container_of(tl, struct jxbridge_timer, timer);
    if (!t->deferred) {
        jxbridge_timer_dtrc(t, JXBRIDGE_DTRC_NO_SLOT);
        t->callback(t);
        return;
    }
    __atomic_store_n(&t->pending, 1, __ATOMIC_RELEASE);
    if (t->bridge && t->bridge->timer_pool.thread)
        wake_up_process(t->bridge->timer_pool.thread);
}

static int jxbridge_timer_pool_main(void *data) {
    struct jxbridge *bridge = (struct jxbridge *)data;
    struct jxbridge_timer_pool *pool = &bridge->timer_pool;
    while (!kthread_should_stop()) {
        if (signal_pending(current)) {
            printk(KERN_INFO "[jxbridge/poll] %s:%d Death is upon us all.\n", timer_file, __LINE__);
            break;
        }
        set_current_state(TASK_INTERRUPTIBLE);
        bool ran = false;
        for (int i = 0; i < JXBRIDGE_TIMER_SLOTS; i++) {
            mutex_lock(&pool->slots_lock);
            struct jxbridge_timer *t = pool->slots[i];
            if (!t || !__atomic_exchange_n(&t->pending, 0, __ATOMIC_ACQ_REL)) {
                mutex_unlock(&pool->slots_lock);
                continue;
            }
            pool->running = t;
            mutex_unlock(&pool->slots_lock);
            jxbridge_timer_dtrc(t, (u16)i);
            t->callback(t);
            ran = true;
            mutex_lock(&pool->slots_lock);
            pool->running = nullptr;
            mutex_unlock(&pool->slots_lock);
            wake_up(&pool->done);
        }
        // Expiry wakes the thread; a pass that ran callbacks looks again, since
        // a timer of an earlier slot may have expired meanwhile.
        if (ran)
            set_current_state(TASK_RUNNING);
        else
            schedule_timeout(MAX_SCHEDULE_TIMEOUT);
    }
    return 0;
}

int jxbridge_timer_pool_start(struct jxbridge *bridge) {
    struct jxbridge_timer_pool *pool = &bridge->timer_pool;
    memset(pool->slots, 0, sizeof(pool->slots));
    pool->running = nullptr;
    struct task_struct *t =
        kthread_create(jxbridge_timer_pool_main, bridge, "jxbridge_timer/%d", 1);
    if (IS_ERR_OR_NULL(t))
        return -ENOMEM;
    kthread_bind(t, 1);
    struct sched_param param = {MAX_RT_PRIO - 1};
    int rv = sched_setscheduler(t, SCHED_FIFO, &param);
    printk(KERN_INFO "[jxbridge/poll] %s:%d Start with setscheduler rv %d.\n", timer_file, __LINE__,
           rv);
    pool->thread = t;
    wake_up_process(t);
    return 0;
}

void jxbridge_timer_pool_stop(struct jxbridge *bridge) {
    struct jxbridge_timer_pool *pool = &bridge->timer_pool;
    if (!pool->thread)
        return;
    kthread_stop(pool->thread);
    pool->thread = nullptr;
}

int jxbridge_timer_init(struct jxbridge *bridge, struct jxbridge_timer *timer,
                        jxbridge_timer_fn callback, void *data, int slot) {
    timer_setup(&timer->timer, jxbridge_timer_expired, 0);
    timer->deferred = 0;
    timer->pending = 0;
    timer->data = data;
    timer->callback = callback;
    timer->bridge = bridge;
    if (bridge && slot >= 0 && slot < JXBRIDGE_TIMER_SLOTS) {
        mutex_lock(&bridge->timer_pool.slots_lock);
        bridge->timer_pool.slots[slot] = timer;
        mutex_unlock(&bridge->timer_pool.slots_lock);
        timer->deferred = 1;
    }
    return mod_timer(&timer->timer, jiffies + 250);
}
EXPORT_SYMBOL(jxbridge_timer_init);

int jxbridge_mod_timer(struct jxbridge_timer *timer, unsigned long expires) {
    return mod_timer(&timer->timer, expires);
}
EXPORT_SYMBOL(jxbridge_mod_timer);

// Empties the timer's slot and waits for a run in progress, lending
// jxbridge_lock to that run when the caller holds it.
static int jxbridge_timer_stop(struct jxbridge_timer *timer, bool lock_held) {
    struct jxbridge_timer_pool *pool = timer->bridge ? &timer->bridge->timer_pool : nullptr;
    if (timer->deferred && pool) {
        mutex_lock(&pool->slots_lock);
        for (int i = 0; i < JXBRIDGE_TIMER_SLOTS; i++)
            if (pool->slots[i] == timer)
                pool->slots[i] = nullptr;
        mutex_unlock(&pool->slots_lock);
    }
    int rc = del_timer_sync(&timer->timer);
    if (!timer->deferred || !pool || current == pool->thread)
        return rc;
    // The slot is empty, so the pool will not start the callback again; wait
    // for a run in progress. It may be waiting for jxbridge_lock, which the
    // caller may hold: let it have the lock meanwhile.
    auto running = [&] {
        mutex_lock(&pool->slots_lock);
        bool r = pool->running == timer;
        mutex_unlock(&pool->slots_lock);
        return r;
    };
    if (running()) {
        if (lock_held)
            mutex_unlock(&jxbridge_lock);
        wait_event(pool->done, !running());
        if (lock_held)
            mutex_lock(&jxbridge_lock);
    }
    __atomic_store_n(&timer->pending, 0, __ATOMIC_RELEASE);
    return rc;
}

int jxbridge_del_timer_sync_locked(struct jxbridge_timer *timer) {
    lockdep_assert_held(&jxbridge_lock);
    return jxbridge_timer_stop(timer, true);
}

// Other modules call this with jxbridge_lock or without it: the one entry
// point that asks which.
int jxbridge_del_timer_sync(struct jxbridge_timer *timer) {
    return jxbridge_timer_stop(timer, mutex_is_owner(&jxbridge_lock));
}
EXPORT_SYMBOL(jxbridge_del_timer_sync);
