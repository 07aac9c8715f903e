// The bridge's event file: a placeholder until event channels are built here.
#include "jxbridge.h"

int jxbridge_event_post(struct jxbridge *, const char *) {
    return -ENODEV;
}

extern const struct jxbridge_subsys event_subsys = {
    .tag = "Event",
    .files = {{"event", 0600}},
};
