// PON OLTs and their GEM ports. No OLT is registered until the PON engine is.
#include "jxbridge.h"

struct jxbridge_port *jxbridge_get_port_by_gem(struct net_device *, u32) {
    return nullptr;
}

u32 jxbridge_pon_mcast_fwd_init(struct jxbridge *, u16) {
    return JXBRIDGE_PON_NO_MCAST_GEM;
}

int jxbridge_pon_mcast_fwd_should_send(struct jxbridge_port *) {
    return 1;
}

void jxbridge_pon_mcast_fwd_sent(struct jxbridge_port *) {}

int jxbridge_pon_olt_line_up(struct pon_olt *) {
    return 0;
}

extern const struct jxbridge_subsys pon_subsys = {
    .tag = "PON",
    .files = {{"pon", 0600}},
};
