#include "kernel/sync.h"

#include <cstdio>
#include <cstdlib>

#include "kernel/sched.h"

// Drepper's mutex: whoever waits marks the word 2, so that the unlock that
// frees it knows to wake one.
void rte_lock::lock_slow(u32 c) {
    if (c != 2)
        c = s_.exchange(2, std::memory_order_acquire);
    while (c != 0) {
        s_.wait(2, std::memory_order_relaxed);
        c = s_.exchange(2, std::memory_order_acquire);
    }
}

// The owner is written relaxed: the mutex orders it, and only its own thread
// ever finds its id there (a fenced store would double the cost of the lock).
void mutex_lock(struct mutex *lock) {
    if (!lock->m.try_lock()) {
        lock->waiters.fetch_add(1);
        lock->m.lock();
        lock->waiters.fetch_sub(1);
    }
    lock->owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

int rte_mutex_waiters(struct mutex *lock) {
    return lock->waiters.load();
}

int mutex_lock_interruptible(struct mutex *lock) {
    mutex_lock(lock);
    return 0;
}

int mutex_trylock(struct mutex *lock) {
    if (!lock->m.try_lock())
        return 0;
    lock->owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return 1;
}

void mutex_unlock(struct mutex *lock) {
    lock->owner.store(std::thread::id(), std::memory_order_relaxed);
    lock->m.unlock();
}

bool mutex_is_locked(struct mutex *lock) {
    return lock->owner.load(std::memory_order_relaxed) != std::thread::id();
}

bool mutex_is_owner(struct mutex *lock) {
    return lock->owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

#ifdef RTE_LOCKDEP
void rte_lockdep_fail(const char *what, const char *file, int line) {
    fprintf(stderr, "lockdep: %s at %s:%d\n", what, file, line);
    abort();
}
#endif

static struct mutex rtnl_mutex;

void rtnl_lock() {
    mutex_lock(&rtnl_mutex);
}
void rtnl_unlock() {
    mutex_unlock(&rtnl_mutex);
}
bool rtnl_is_locked() {
    return mutex_is_locked(&rtnl_mutex);
}

bool rtnl_is_held() {
    return mutex_is_owner(&rtnl_mutex);
}
