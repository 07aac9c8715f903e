// The QoS classifier. Its DiffServ classification is off until configured.
#include "jxbridge.h"

bool qos_ds_enabled(struct qos_classifier *classifier) {
    return classifier != nullptr;
}

struct sk_buff *qos_ds_skb(struct qos_classifier *, struct sk_buff *skb, int) {
    return skb;
}

int qos_get_gem_priority_oo(struct jxbridge *, u32, u32, u8 *out) {
    *out = 0;
    return -EOPNOTSUPP;
}

extern const struct jxbridge_subsys qos_subsys = {
    .tag = "QOS",
    .files = {{"qos", 0600}},
};
