// The bridge's cfm file: a placeholder until CFM events are built here.
#include "jxbridge.h"

extern const struct jxbridge_subsys cfm_subsys = {
    .tag = "CFM",
    .files = {{"cfm", 0644}},
};
