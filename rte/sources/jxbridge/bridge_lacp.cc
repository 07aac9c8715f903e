// The LACP PDU filter: slow protocols of subtype 1 (LACP) and 2 (Marker).
#include "jxbridge.h"

bool lacp_filter_match(const u8 *f, u32 len) {
    int subtype = proto_filter_slow_subtype(f, len);
    return subtype == 1 || subtype == 2;
}

int lacp_filter_apply(struct jxbridge *B, struct sk_buff *skb) {
    return proto_filter_apply(B, PF_LACP, nullptr, skb);
}
