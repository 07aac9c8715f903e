// Links between the kernel layer's own parts; not for module code.
#pragma once

#include "kernel/types.h"

namespace rte_internal {
// Scheduler (sched.cc).
unsigned long next_sleeper_deadline(); // ULONG_MAX when nobody sleeps with a timeout
void wake_sleepers_due(unsigned long now);
void wake_all_sleepers(); // the clock mode changed: sleepers recompute their deadlines
// Wake-ups the calling thread makes between begin and end (pairs nest) take
// effect at the outermost end, each task woken once; the transmit batches open
// such a span. flush wakes them now: a thread about to wait for another one
// must not hold that one's wake-up.
void wake_defer_begin();
void wake_defer_end();
void wake_defer_flush();
// Timers (time.cc).
unsigned long next_timer_expiry(); // ULONG_MAX when no timer is armed
} // namespace rte_internal
