// Ring protection: the ERPS PDU filter and the per-port, per-VLAN gate.
#include "jxbridge.h"

int erps_filter_apply(struct jxbridge *, struct sk_buff *) {
    return 0;
}

struct sk_buff *erps_process_frame(struct jxbridge_port *, struct sk_buff *skb, int) {
    return skb;
}

extern const struct jxbridge_subsys erps_subsys = {
    .tag = "ERPS",
    .files = {{"erps", 0644}},
};
