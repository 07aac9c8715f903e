// The VLAN engine of a bridge.
#include "jxbridge.h"

int vlan_set_ethertype(struct jxbridge *B, u16 ethertype) {
    if (B->outer_ethertype == ethertype)
        return 0;
    B->outer_ethertype = ethertype;
    jxbridge_flow_event(1);
    return 0;
}

u16 vlan_get_ethertype(struct jxbridge *B) {
    return B->outer_ethertype;
}
