// The bridge's openolt file: a placeholder until OpenOLT flow management is built here.
#include "jxbridge.h"

// No group store and no GEM map until OpenOLT flow management is built.
int oo_mcast_group_get(struct jxbridge *, u32, struct oo_mcast_group *) {
    return -ENOENT;
}

struct jxbridge_port *oo_gem_port_get(struct jxbridge *, u32, u32) {
    return nullptr;
}

extern const struct jxbridge_subsys oo_subsys = {
    .tag = "OpenOLT",
    .files = {{"openolt", 0644}},
};
