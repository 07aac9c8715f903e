// Mutexes, spinlocks and the routing lock.
#pragma once

#include "kernel/types.h"

#include <atomic>
#include <mutex>
#include <thread>

// A lock of one word: 0 free, 1 held, 2 held with a waiter, who sleeps in the
// host's futex (through atomic wait). Uncontended it is one atomic operation
// each way, a fraction of what the C library's mutex costs; every frame takes
// two or three locks.
class rte_lock {
  public:
    rte_lock() = default;
    rte_lock(const rte_lock &) = delete;
    rte_lock &operator=(const rte_lock &) = delete;
    bool try_lock() {
        u32 c = 0;
        return s_.compare_exchange_strong(c, 1, std::memory_order_acquire,
                                          std::memory_order_relaxed);
    }
    void lock() {
        u32 c = 0;
        if (!s_.compare_exchange_strong(c, 1, std::memory_order_acquire, std::memory_order_relaxed))
            lock_slow(c);
    }
    void unlock() {
        if (s_.exchange(0, std::memory_order_release) == 2)
            s_.notify_one();
    }

  private:
    void lock_slow(u32 c);
    std::atomic<u32> s_{0};
};

struct mutex {
    rte_lock m;
    std::atomic<std::thread::id> owner{};
    std::atomic<int> waiters{0};
};
#define DEFINE_MUTEX(name) struct mutex name
inline void mutex_init(struct mutex *) {}
void mutex_lock(struct mutex *lock);
int mutex_lock_interruptible(struct mutex *lock);
int mutex_trylock(struct mutex *lock);
void mutex_unlock(struct mutex *lock);
bool mutex_is_locked(struct mutex *lock);
// True when the calling thread holds the lock (for assertions).
bool mutex_is_owner(struct mutex *lock);
// Threads waiting in mutex_lock now (tests: to know a thread is held there).
int rte_mutex_waiters(struct mutex *lock);
// Lock assertions, as lockdep's: in builds with RTE_LOCKDEP (debug and
// sanitizer builds) a caller without the lock stops the process with a
// message naming the place; elsewhere they cost nothing.
#ifdef RTE_LOCKDEP
void rte_lockdep_fail(const char *what, const char *file, int line);
#define lockdep_assert_held(l)                                                                     \
    do {                                                                                           \
        if (!mutex_is_owner(l))                                                                    \
            rte_lockdep_fail(#l " not held", __FILE__, __LINE__);                                  \
    } while (0)
#define lockdep_assert_not_held(l)                                                                 \
    do {                                                                                           \
        if (mutex_is_owner(l))                                                                     \
            rte_lockdep_fail(#l " held", __FILE__, __LINE__);                                      \
    } while (0)
#else
#define lockdep_assert_held(l) ((void)(l))
#define lockdep_assert_not_held(l) ((void)(l))
#endif

// Interrupt-safe spinlocks: there are no interrupts here, so a plain lock.
struct spinlock_t {
    rte_lock m;
};
#define DEFINE_SPINLOCK(name) spinlock_t name
inline void spin_lock_init(spinlock_t *) {}
inline void spin_lock(spinlock_t *l) {
    l->m.lock();
}
inline void spin_unlock(spinlock_t *l) {
    l->m.unlock();
}
inline void spin_lock_bh(spinlock_t *l) {
    l->m.lock();
}
inline void spin_unlock_bh(spinlock_t *l) {
    l->m.unlock();
}
#define spin_lock_irqsave(l, flags)                                                                \
    do {                                                                                           \
        (flags) = 0;                                                                               \
        (l)->m.lock();                                                                             \
    } while (0)
#define spin_unlock_irqrestore(l, flags)                                                           \
    do {                                                                                           \
        (void)(flags);                                                                             \
        (l)->m.unlock();                                                                           \
    } while (0)

struct rwlock_t {
    rte_lock m;
};
inline void rwlock_init(rwlock_t *) {}
inline void read_lock(rwlock_t *l) {
    l->m.lock();
}
inline void read_unlock(rwlock_t *l) {
    l->m.unlock();
}
inline void write_lock(rwlock_t *l) {
    l->m.lock();
}
inline void write_unlock(rwlock_t *l) {
    l->m.unlock();
}

// The routing netlink lock.
void rtnl_lock();
void rtnl_unlock();
bool rtnl_is_locked();
// Whether the calling task holds the routing lock (notifiers run under it).
bool rtnl_is_held();

inline void preempt_disable() {}
inline void preempt_enable() {}
inline void rcu_read_lock() {}
inline void rcu_read_unlock() {}
inline void synchronize_rcu() {}
inline void smp_mb() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
}
