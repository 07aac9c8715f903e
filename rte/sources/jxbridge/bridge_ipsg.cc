// IP source guard. A bridge without bindings lets every frame pass.
#include "jxbridge.h"

struct sk_buff *ipsg_skb(struct ipsg_data *, struct sk_buff *skb, int) {
    return skb;
}

extern const struct jxbridge_subsys ipsg_subsys = {
    .tag = "IPSG",
    .files = {{"ipsg", 0600}},
};
