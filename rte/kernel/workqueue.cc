#include "kernel/workqueue.h"

#include "kernel/internal.h"
#include "kernel/sched.h"

#include <condition_variable>
#include <mutex>

namespace {

struct workqueue_state {
    std::mutex m;
    std::condition_variable done_cv;
    work_struct *head = nullptr;
    work_struct *tail = nullptr;
    work_struct *running = nullptr;
    task_struct *worker = nullptr;
};

workqueue_state &wqs() {
    static workqueue_state s;
    return s;
}

int worker_main(void *) {
    workqueue_state &s = wqs();
    while (!kthread_should_stop()) {
        set_current_state(TASK_INTERRUPTIBLE);
        work_struct *w;
        {
            std::lock_guard<std::mutex> g(s.m);
            w = s.head;
            if (w) {
                s.head = w->rte_next;
                if (!s.head)
                    s.tail = nullptr;
                w->rte_next = nullptr;
                w->rte_pending = false;
                s.running = w;
            }
        }
        if (!w) {
            schedule();
            continue;
        }
        set_current_state(TASK_RUNNING);
        w->func(w);
        std::lock_guard<std::mutex> g(s.m);
        s.running = nullptr;
        s.done_cv.notify_all();
    }
    return 0;
}

} // namespace

bool schedule_work(struct work_struct *work) {
    workqueue_state &s = wqs();
    task_struct *worker;
    {
        std::lock_guard<std::mutex> g(s.m);
        if (work->rte_pending)
            return false;
        work->rte_pending = true;
        work->rte_next = nullptr;
        if (s.tail)
            s.tail->rte_next = work;
        else
            s.head = work;
        s.tail = work;
        // The worker lives as long as the process.
        if (!s.worker)
            s.worker = kthread_create(worker_main, nullptr, "kworker/0:0");
        worker = s.worker;
    }
    wake_up_process(worker);
    return true;
}

bool flush_work(struct work_struct *work) {
    rte_internal::wake_defer_flush(); // the worker may be what this thread would wake
    workqueue_state &s = wqs();
    std::unique_lock<std::mutex> lk(s.m);
    bool waited = work->rte_pending || s.running == work;
    if (s.worker && current == s.worker)
        return false;
    s.done_cv.wait(lk, [&] { return !work->rte_pending && s.running != work; });
    return waited;
}

bool cancel_work_sync(struct work_struct *work) {
    rte_internal::wake_defer_flush();
    workqueue_state &s = wqs();
    std::unique_lock<std::mutex> lk(s.m);
    bool was = work->rte_pending;
    if (was) {
        work_struct *prev = nullptr;
        for (work_struct *w = s.head; w; prev = w, w = w->rte_next) {
            if (w != work)
                continue;
            if (prev)
                prev->rte_next = w->rte_next;
            else
                s.head = w->rte_next;
            if (s.tail == w)
                s.tail = prev;
            break;
        }
        work->rte_pending = false;
        work->rte_next = nullptr;
    }
    if (!(s.worker && current == s.worker))
        s.done_cv.wait(lk, [&] { return s.running != work; });
    return was;
}

void flush_scheduled_work() {
    workqueue_state &s = wqs();
    std::unique_lock<std::mutex> lk(s.m);
    if (s.worker && current == s.worker)
        return;
    s.done_cv.wait(lk, [&] { return !s.head && !s.running; });
}
