// The system workqueue: one kernel thread runs queued work items in order.
#pragma once

#include "kernel/types.h"

struct work_struct;
using work_func_t = void (*)(struct work_struct *);
struct work_struct {
    work_func_t func = nullptr;
    bool rte_pending = false;
    struct work_struct *rte_next = nullptr;
};
inline void INIT_WORK(struct work_struct *w, work_func_t fn) {
    w->func = fn;
    w->rte_pending = false;
    w->rte_next = nullptr;
}
bool schedule_work(struct work_struct *work);
bool flush_work(struct work_struct *work);
bool cancel_work_sync(struct work_struct *work);
void flush_scheduled_work();
