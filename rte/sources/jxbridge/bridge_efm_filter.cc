// The Ethernet OAM PDU filter: slow protocols of subtype 3.
#include "jxbridge.h"

bool efm_filter_match(const u8 *f, u32 len) {
    return proto_filter_slow_subtype(f, len) == 3;
}

int efm_filter_apply(struct jxbridge *B, struct sk_buff *skb) {
    return proto_filter_apply(B, PF_EFM, nullptr, skb);
}
