// Links between the kernel layer's own parts; not for module code.
#pragma once

#include "kernel/types.h"

namespace rte_internal {
// Scheduler (sched.cc).
unsigned long next_sleeper_deadline(); // ULONG_MAX when nobody sleeps with a timeout
void wake_sleepers_due(unsigned long now);
void wake_all_sleepers(); // the clock mode changed: sleepers recompute their deadlines
// Timers (time.cc).
unsigned long next_timer_expiry(); // ULONG_MAX when no timer is armed
} // namespace rte_internal
