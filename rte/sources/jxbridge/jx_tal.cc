// Subscriber access authentication. A bridge without it lets every frame pass.
#include "jxbridge.h"

struct sk_buff *tal_skb(struct tal_data *, struct sk_buff *skb) {
    return skb;
}

struct sk_buff *tal_skb_egress(struct tal_data *, struct sk_buff *skb) {
    return skb;
}

extern const struct jxbridge_subsys tal_subsys = {
    .tag = "TAL",
    .files = {{"tal", 0600}},
};
