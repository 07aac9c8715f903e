// The bridge's event file: a placeholder until event channels are built here.
#include "jxbridge.h"

extern const struct jxbridge_subsys event_subsys = {
    .tag = "Event",
    .files = {{"event", 0600}},
};
