// Tasks, kernel threads, sleeping, signals and wait queues.
//
// Every thread that runs kernel code has a task: kernel threads get theirs from
// kthread_create, other threads (a served client, a test) get one on first use
// of `current`. The task names the caller for log lines and says whose memory
// "user memory" is for the user copies.
//
// Sleeping follows the kernel's pattern: set_current_state(TASK_INTERRUPTIBLE),
// test the condition, schedule_timeout(); a wake_up_process() between the two
// makes schedule_timeout() return at once, so no wake-up is lost.
//
// Inside a transmit batch (netdevice.h) a thread's wake-ups are deferred to
// the batch's end, so a burst of frames handed to another thread costs that
// thread one wake-up; a thread that sleeps inside a batch wakes them first.
#pragma once

#include "kernel/types.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#define TASK_RUNNING 0
#define TASK_INTERRUPTIBLE 1
#define TASK_UNINTERRUPTIBLE 2
#define MAX_SCHEDULE_TIMEOUT (~0UL >> 1)

#include <sched.h> // struct sched_param, SCHED_FIFO, SCHED_RR

#define SCHED_NORMAL 0
#define MAX_RT_PRIO 100

struct task_struct {
    char comm[TASK_COMM_LEN];
    int pid;      // the caller's process id (kernel threads: their thread id)
    unsigned uid; // the caller's credentials (kernel threads: 0)
    unsigned gid;
    int user_pid; // whose memory copy_from_user/copy_to_user reach
    // The record of the ioctl in progress, when its caller gave its size:
    // copies that start inside it end at its end. 0 when unknown.
    uintptr_t user_rec = 0;
    size_t user_rec_size = 0;

    // Scheduler state, guarded by the scheduler's global lock (m is unused
    // by it; others read idle with rte_task_idle). The task sleeps on cv.
    std::mutex m;
    std::condition_variable cv;
    // Its own thread sets it without the lock, as the kernel does: the
    // sleep-wake protocol needs only the store to be ordered (seq_cst).
    std::atomic<int> state{TASK_RUNNING};
    bool idle = false; // asleep and not yet woken (for rte_settle)
    unsigned long deadline = 0;
    std::atomic<bool> sigpending{false};
    std::function<bool()> signal_probe;                // polled while asleep (a client hung up)
    int wake_defer = 0;                                // its own thread only: batch depth
    std::vector<task_struct *> deferred_wakes;         // under the scheduler lock
    std::atomic<task_struct *> last_deferred{nullptr}; // the newest of them

    // Kernel threads only.
    bool is_kthread = false;
    std::atomic<bool> should_stop{false};
    int (*threadfn)(void *) = nullptr;
    void *data = nullptr;
    int result = 0;
    bool started = false;
    bool exited = false;
    std::thread thread;

    task_struct() = default;
    task_struct(const task_struct &) = delete;
    task_struct &operator=(const task_struct &) = delete;
    ~task_struct(); // wakes what it deferred; no other task keeps it deferred
};

struct task_struct *get_current();
#define current get_current()

// Names the caller of the current thread: a client of the node or a test.
void rte_task_set_caller(int pid, unsigned uid, unsigned gid, const char *comm);
// Whether t sleeps in a wait and has not been woken yet.
bool rte_task_idle(struct task_struct *t);

void set_current_state(int state);
#define __set_current_state(s) set_current_state(s)
long schedule_timeout(long timeout);
long schedule_timeout_interruptible(long timeout);
long schedule_timeout_uninterruptible(long timeout);
inline void schedule() {
    schedule_timeout(MAX_SCHEDULE_TIMEOUT);
}
int wake_up_process(struct task_struct *task);
bool signal_pending(struct task_struct *task);
inline void allow_signal(int) {}
inline void cond_resched() {}
void msleep(unsigned int msecs);
unsigned long msleep_interruptible(unsigned int msecs);
int task_pid_nr(struct task_struct *task);

struct task_struct *kthread_create(int (*threadfn)(void *data), void *data, const char *namefmt,
                                   ...) __attribute__((format(printf, 3, 4)));
struct task_struct *kthread_create_on_node(int (*threadfn)(void *data), void *data, int node,
                                           const char *namefmt, ...)
    __attribute__((format(printf, 4, 5)));
void kthread_bind(struct task_struct *task, unsigned int cpu);
int kthread_stop(struct task_struct *task);
bool kthread_should_stop();
int sched_setscheduler(struct task_struct *task, int policy, const struct sched_param *param);
#define kthread_run(fn, data, ...)                                                                 \
    ({                                                                                             \
        struct task_struct *__k = kthread_create(fn, data, __VA_ARGS__);                           \
        if (!IS_ERR(__k))                                                                          \
            wake_up_process(__k);                                                                  \
        __k;                                                                                       \
    })
inline int cpu_to_node(int) {
    return 0;
}
int num_online_cpus();
int smp_processor_id();
// Real-time priority and CPU binding are tried only when the host setup allows it.
void rte_sched_allow_rt(bool allow);
bool rte_sched_rt_allowed();

// Wait queues. Entries live with their waiter (on its stack or in its poll
// table), so a queue head needs no destructor and may sit in kzalloc'd memory.
struct wait_queue_entry {
    struct task_struct *task;
    struct wait_queue_entry *prev, *next;
};
struct wait_queue_head_t {
    std::mutex m;
    struct wait_queue_entry *head = nullptr;
};
inline void init_waitqueue_head(wait_queue_head_t *wq) {
    wq->head = nullptr;
}
void add_wait_queue(wait_queue_head_t *wq, struct wait_queue_entry *e);
void remove_wait_queue(wait_queue_head_t *wq, struct wait_queue_entry *e);
bool waitqueue_active(wait_queue_head_t *wq);
#define DECLARE_WAIT_QUEUE_HEAD(name) wait_queue_head_t name
void wake_up(wait_queue_head_t *wq);
#define wake_up_interruptible(wq) wake_up(wq)
#define wake_up_all(wq) wake_up(wq)
// Returns 0 when cond held, -ERESTARTSYS on a signal; with a timeout, the
// jiffies left (at least 1) when cond held and 0 when the time ran out.
long rte_wait_event(wait_queue_head_t *wq, const std::function<bool()> &cond, bool interruptible,
                    long timeout, bool with_timeout);
#define wait_event(wq, cond)                                                                       \
    ((void)rte_wait_event(                                                                         \
        &(wq), [&] { return bool(cond); }, false, MAX_SCHEDULE_TIMEOUT, false))
#define wait_event_interruptible(wq, cond)                                                         \
    ((int)rte_wait_event(                                                                          \
        &(wq), [&] { return bool(cond); }, true, MAX_SCHEDULE_TIMEOUT, false))
#define wait_event_interruptible_timeout(wq, cond, t)                                              \
    rte_wait_event(                                                                                \
        &(wq), [&] { return bool(cond); }, true, (t), true)
#define wait_event_timeout(wq, cond, t)                                                            \
    rte_wait_event(                                                                                \
        &(wq), [&] { return bool(cond); }, false, (t), true)

// Waits until every kernel thread is asleep and no work is queued (tests only:
// with the virtual clock, this is how a test waits for threads without sleeping).
// Returns false when threads stayed busy for the given real time.
bool rte_settle(unsigned timeout_ms = 10000);
