// Remote mirroring. No session is active until one is configured.
#include "jxbridge.h"

struct sk_buff *rmirroring_process_frame(struct jxbridge *, struct jxbridge_port *,
                                         struct sk_buff *, int, int) {
    return nullptr;
}

int rmirroring_is_mirrored_skb(struct jxbridge *, struct sk_buff *) {
    return 0;
}

extern const struct jxbridge_subsys rmirroring_subsys = {
    .tag = "RMIRRORING",
    .files = {{"rmirroring", 0600}},
};
