#include "kernel/sched.h"

#include "kernel/internal.h"
#include "kernel/time.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <pthread.h>
#include <sched.h>
#include <set>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// One lock guards every task's scheduler state: there are few threads and it
// keeps wake-up, sleep and the settle count consistent with each other.
std::mutex g_mu;
std::condition_variable g_settle_cv;
std::set<task_struct *> g_sleeping;
std::set<task_struct *> g_kthreads;
std::set<task_struct *> g_deferring; // tasks holding deferred wake-ups
int g_busy_kthreads = 0;
bool g_allow_rt = false;

thread_local task_struct *t_current = nullptr;

// The task of a thread that is not a kthread: made on first use, deleted with
// the thread's other thread-locals. Code that runs after that (static
// destructors at exit) gets a task that is never deleted.
struct OwnTask {
    task_struct *task = nullptr;
    ~OwnTask();
};
thread_local OwnTask t_own_task;
thread_local bool t_own_task_gone = false;

constexpr auto SIGNAL_POLL = std::chrono::milliseconds(50);

void mark_awake_locked(task_struct *t) {
    if (t->idle) {
        t->idle = false;
        if (t->is_kthread)
            g_busy_kthreads++;
    }
}

void mark_idle_locked(task_struct *t) {
    if (!t->idle) {
        t->idle = true;
        if (t->is_kthread && --g_busy_kthreads == 0)
            g_settle_cv.notify_all();
    }
}

int wake_locked(task_struct *t) {
    if (t->is_kthread && !t->started) {
        t->started = true;
        mark_awake_locked(t);
        t->cv.notify_all();
        return 1;
    }
    if (t->state == TASK_RUNNING && !t->idle)
        return 0;
    t->state = TASK_RUNNING;
    mark_awake_locked(t);
    t->cv.notify_all();
    return 1;
}

void wake_deferred_locked(task_struct *self) {
    if (self->deferred_wakes.empty())
        return;
    for (task_struct *t : self->deferred_wakes)
        wake_locked(t);
    self->deferred_wakes.clear();
    self->last_deferred.store(nullptr, std::memory_order_relaxed);
    g_deferring.erase(self);
}

bool signal_pending_locked(task_struct *t) {
    if (t->sigpending.load())
        return true;
    if (t->signal_probe && t->signal_probe()) {
        t->sigpending.store(true);
        return true;
    }
    return false;
}

task_struct *new_user_task() {
    auto *t = new task_struct;
    char name[TASK_COMM_LEN] = {};
    prctl(PR_GET_NAME, name, 0, 0, 0);
    strlcpy(t->comm, name, sizeof(t->comm));
    t->pid = getpid();
    t->uid = getuid();
    t->gid = getgid();
    t->user_pid = getpid();
    return t;
}

OwnTask::~OwnTask() {
    t_own_task_gone = true;
    delete task; // clears t_current
}

} // namespace

struct task_struct *get_current() {
    if (!t_current) {
        if (t_own_task_gone) {
            static task_struct *const late = new_user_task();
            t_current = late;
        } else {
            t_own_task.task = new_user_task();
            t_current = t_own_task.task;
        }
    }
    return t_current;
}

bool rte_task_idle(struct task_struct *t) {
    std::lock_guard<std::mutex> g(g_mu);
    return t->idle;
}

void rte_task_set_caller(int pid, unsigned uid, unsigned gid, const char *comm) {
    task_struct *t = current;
    t->pid = pid;
    t->uid = uid;
    t->gid = gid;
    t->user_pid = pid;
    strlcpy(t->comm, comm, sizeof(t->comm));
}

// Only a sleep needs the store ordered before the condition is tested; a
// thread that runs again loses no wake-up (the kernel's __set_current_state).
void set_current_state(int state) {
    current->state.store(state, state == TASK_RUNNING ? std::memory_order_relaxed
                                                      : std::memory_order_seq_cst);
}

long schedule_timeout(long timeout) {
    task_struct *t = current;
    std::unique_lock<std::mutex> lk(g_mu);
    // What it was to wake may be what it is about to wait for.
    wake_deferred_locked(t);
    if (t->state == TASK_RUNNING)
        return timeout;
    bool forever = timeout == (long)MAX_SCHEDULE_TIMEOUT || timeout < 0;
    unsigned long start = jiffies;
    // A timeout of 0 still sleeps until the next tick, as a kernel timer would.
    t->deadline = forever ? ULONG_MAX : start + (timeout > 0 ? timeout : 1);
    g_sleeping.insert(t);
    mark_idle_locked(t);
    for (;;) {
        if (t->state == TASK_RUNNING)
            break;
        if (t->is_kthread && t->should_stop.load())
            break;
        if (t->state == TASK_INTERRUPTIBLE && signal_pending_locked(t))
            break;
        unsigned long now = jiffies;
        if (!forever && time_after_eq(now, t->deadline))
            break;
        auto slice = SIGNAL_POLL;
        if (!forever && !rte_clock_is_virtual()) {
            auto left = std::chrono::microseconds((t->deadline - now) * (1000000 / HZ));
            if (left < slice)
                slice = std::chrono::duration_cast<std::chrono::milliseconds>(left) +
                        std::chrono::milliseconds(1);
        }
        t->cv.wait_for(lk, slice);
    }
    mark_awake_locked(t);
    g_sleeping.erase(t);
    t->state = TASK_RUNNING;
    if (forever)
        return timeout;
    unsigned long now = jiffies;
    return time_after(t->deadline, now) ? (long)(t->deadline - now) : 0;
}

long schedule_timeout_interruptible(long timeout) {
    set_current_state(TASK_INTERRUPTIBLE);
    return schedule_timeout(timeout);
}

long schedule_timeout_uninterruptible(long timeout) {
    set_current_state(TASK_UNINTERRUPTIBLE);
    return schedule_timeout(timeout);
}

int wake_up_process(struct task_struct *t) {
    task_struct *self = t_current; // a thread without a task is in no batch
    // The frame path wakes the same thread for every frame of a burst.
    if (self && self->wake_defer && self->last_deferred.load(std::memory_order_relaxed) == t)
        return 1;
    std::lock_guard<std::mutex> g(g_mu);
    // A deferred wake-up reports the task as woken: it will be, at the batch's end.
    if (self && self->wake_defer && t != self && (!t->is_kthread || t->started)) {
        if (std::find(self->deferred_wakes.begin(), self->deferred_wakes.end(), t) ==
            self->deferred_wakes.end()) {
            self->deferred_wakes.push_back(t);
            g_deferring.insert(self);
        }
        self->last_deferred.store(t, std::memory_order_relaxed);
        return 1;
    }
    return wake_locked(t);
}

task_struct::~task_struct() {
    // A thread's own task goes with its thread-locals; static destructors may
    // still run kernel code on it after that.
    if (t_current == this)
        t_current = nullptr;
    std::lock_guard<std::mutex> g(g_mu);
    wake_deferred_locked(this);
    for (task_struct *w : g_deferring) {
        std::erase(w->deferred_wakes, this);
        if (w->last_deferred.load(std::memory_order_relaxed) == this)
            w->last_deferred.store(nullptr, std::memory_order_relaxed);
    }
}

bool signal_pending(struct task_struct *t) {
    // A kernel thread has no probe: its flag says it all.
    if (t->is_kthread || t->sigpending.load())
        return t->sigpending.load();
    std::lock_guard<std::mutex> g(g_mu);
    return signal_pending_locked(t);
}

void msleep(unsigned int msecs) {
    schedule_timeout_uninterruptible(msecs_to_jiffies(msecs));
}

unsigned long msleep_interruptible(unsigned int msecs) {
    long left = schedule_timeout_interruptible(msecs_to_jiffies(msecs));
    return jiffies_to_msecs(left > 0 ? left : 0);
}

int task_pid_nr(struct task_struct *task) {
    return task->pid;
}

int num_online_cpus() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? (int)n : 1;
}

int smp_processor_id() {
    int cpu = sched_getcpu();
    return cpu < 0 ? 0 : cpu;
}

void rte_sched_allow_rt(bool allow) {
    g_allow_rt = allow;
}

bool rte_sched_rt_allowed() {
    return g_allow_rt;
}

namespace {

void kthread_main(task_struct *t) {
    {
        std::lock_guard<std::mutex> g(g_mu);
        t->pid = gettid();
    }
    {
        std::unique_lock<std::mutex> lk(g_mu);
        t->cv.wait(lk, [t] { return t->started; });
    }
    t_current = t;
    prctl(PR_SET_NAME, t->comm, 0, 0, 0);
    if (!t->should_stop.load())
        t->result = t->threadfn(t->data);
    else
        t->result = -EINTR;
    std::lock_guard<std::mutex> g(g_mu);
    wake_deferred_locked(t); // a thread that returns inside a batch
    t->exited = true;
    if (!t->idle && --g_busy_kthreads == 0)
        g_settle_cv.notify_all();
    t->idle = true;
    t->cv.notify_all();
}

task_struct *kthread_vcreate(int (*threadfn)(void *), void *data, const char *fmt, va_list ap) {
    auto *t = new task_struct;
    char name[64];
    vsnprintf(name, sizeof(name), fmt, ap);
    strlcpy(t->comm, name, sizeof(t->comm));
    t->pid = 0;
    t->uid = 0;
    t->gid = 0;
    t->user_pid = getpid();
    t->is_kthread = true;
    t->idle = true; // not counted until it is first woken
    t->threadfn = threadfn;
    t->data = data;
    {
        std::lock_guard<std::mutex> g(g_mu);
        g_kthreads.insert(t);
    }
    t->thread = std::thread(kthread_main, t);
    return t;
}

} // namespace

struct task_struct *kthread_create(int (*threadfn)(void *data), void *data, const char *namefmt,
                                   ...) {
    va_list ap;
    va_start(ap, namefmt);
    task_struct *t = kthread_vcreate(threadfn, data, namefmt, ap);
    va_end(ap);
    return t;
}

struct task_struct *kthread_create_on_node(int (*threadfn)(void *data), void *data, int,
                                           const char *namefmt, ...) {
    va_list ap;
    va_start(ap, namefmt);
    task_struct *t = kthread_vcreate(threadfn, data, namefmt, ap);
    va_end(ap);
    return t;
}

void kthread_bind(struct task_struct *task, unsigned int cpu) {
    if (!g_allow_rt || cpu >= (unsigned)num_online_cpus())
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(task->thread.native_handle(), sizeof(set), &set);
}

int sched_setscheduler(struct task_struct *task, int policy, const struct sched_param *param) {
    if (!g_allow_rt)
        return 0;
    ::sched_param p{};
    p.sched_priority = param->sched_priority;
    int host = policy == SCHED_FIFO ? SCHED_FIFO : policy == SCHED_RR ? SCHED_RR : SCHED_OTHER;
    if (host == SCHED_OTHER)
        p.sched_priority = 0;
    else if (p.sched_priority > sched_get_priority_max(host))
        p.sched_priority = sched_get_priority_max(host);
    // The host may refuse real-time scheduling; the thread then runs normally.
    pthread_setschedparam(task->thread.native_handle(), host, &p);
    return 0;
}

bool kthread_should_stop() {
    return current->should_stop.load();
}

int kthread_stop(struct task_struct *t) {
    t->should_stop.store(true);
    {
        std::lock_guard<std::mutex> g(g_mu);
        if (!t->started) {
            t->started = true;
            mark_awake_locked(t);
        } else if (!t->exited) {
            t->state = TASK_RUNNING;
            mark_awake_locked(t);
        }
        t->cv.notify_all();
    }
    t->thread.join();
    {
        std::lock_guard<std::mutex> g(g_mu);
        g_kthreads.erase(t);
    }
    int result = t->result;
    delete t;
    return result;
}

void add_wait_queue(wait_queue_head_t *wq, wait_queue_entry *e) {
    std::lock_guard<std::mutex> g(wq->m);
    e->prev = nullptr;
    e->next = wq->head;
    if (wq->head)
        wq->head->prev = e;
    wq->head = e;
}

void remove_wait_queue(wait_queue_head_t *wq, wait_queue_entry *e) {
    std::lock_guard<std::mutex> g(wq->m);
    if (e->prev)
        e->prev->next = e->next;
    else if (wq->head == e)
        wq->head = e->next;
    if (e->next)
        e->next->prev = e->prev;
    e->prev = e->next = nullptr;
}

bool waitqueue_active(wait_queue_head_t *wq) {
    std::lock_guard<std::mutex> g(wq->m);
    return wq->head != nullptr;
}

void wake_up(wait_queue_head_t *wq) {
    // Wake-up takes only the scheduler lock, so it is safe under wq->m.
    std::lock_guard<std::mutex> g(wq->m);
    for (wait_queue_entry *e = wq->head; e; e = e->next)
        wake_up_process(e->task);
}

long rte_wait_event(wait_queue_head_t *wq, const std::function<bool()> &cond, bool interruptible,
                    long timeout, bool with_timeout) {
    task_struct *t = current;
    wait_queue_entry entry{t, nullptr, nullptr};
    add_wait_queue(wq, &entry);
    long remaining = with_timeout ? timeout : (long)MAX_SCHEDULE_TIMEOUT;
    long ret;
    for (;;) {
        set_current_state(interruptible ? TASK_INTERRUPTIBLE : TASK_UNINTERRUPTIBLE);
        if (cond()) {
            ret = with_timeout ? (remaining > 0 ? remaining : 1) : 0;
            break;
        }
        if (interruptible && signal_pending(t)) {
            ret = -ERESTARTSYS;
            break;
        }
        remaining = schedule_timeout(remaining);
        if (with_timeout && remaining == 0) {
            ret = cond() ? 1 : 0;
            break;
        }
    }
    set_current_state(TASK_RUNNING);
    remove_wait_queue(wq, &entry);
    return ret;
}

bool rte_settle(unsigned timeout_ms) {
    std::unique_lock<std::mutex> lk(g_mu);
    bool ok = g_settle_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                                   [] { return g_busy_kthreads == 0; });
    if (!ok) {
        fprintf(stderr, "rte: kernel threads still busy after %u ms:", timeout_ms);
        for (task_struct *t : g_kthreads)
            if (!t->idle)
                fprintf(stderr, " %s", t->comm);
        fprintf(stderr, "\n");
    }
    return ok;
}

namespace rte_internal {

unsigned long next_sleeper_deadline() {
    std::lock_guard<std::mutex> g(g_mu);
    unsigned long best = ULONG_MAX;
    for (task_struct *t : g_sleeping)
        if (t->idle && t->deadline < best)
            best = t->deadline;
    return best;
}

void wake_sleepers_due(unsigned long now) {
    std::lock_guard<std::mutex> g(g_mu);
    for (task_struct *t : g_sleeping)
        if (t->idle && t->deadline != ULONG_MAX && time_after_eq(now, t->deadline)) {
            mark_awake_locked(t);
            t->cv.notify_all();
        }
}

void wake_all_sleepers() {
    std::lock_guard<std::mutex> g(g_mu);
    for (task_struct *t : g_sleeping)
        t->cv.notify_all();
}

void wake_defer_begin() {
    current->wake_defer++;
}

void wake_defer_end() {
    task_struct *self = current;
    if (self->wake_defer == 0 || --self->wake_defer)
        return;
    std::lock_guard<std::mutex> g(g_mu);
    wake_deferred_locked(self);
}

void wake_defer_flush() {
    task_struct *self = t_current;
    if (!self)
        return;
    std::lock_guard<std::mutex> g(g_mu);
    wake_deferred_locked(self);
}

} // namespace rte_internal
