// The SyncE ESMC PDU filter (slow protocols of subtype 10), and the PTP
// check, which hands time PDUs to the stack of the device they came in on.
#include "jxbridge.h"

#define PTP_ETHERTYPE 0x88F7
#define PTP_EVENT_PORT 319
#define PTP_GENERAL_PORT 320

bool synce_filter_match(const u8 *f, u32 len) {
    return proto_filter_slow_subtype(f, len) == 10;
}

int synce_filter_apply(struct jxbridge *B, struct jxbridge_port *input, struct sk_buff *skb) {
    return proto_filter_apply(B, PF_SYNCE, input, skb);
}

static u16 rd16(const u8 *p) {
    return (u16)(p[0] << 8 | p[1]);
}

// G.8275.1: to the nearest-bridge address, PTP over Ethernet under any tags.
static bool ptp_is_g8275_1(struct jxbridge *B, const u8 *f, u32 len) {
    static const u8 dst[ETH_ALEN] = {0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e};
    if (len < ETH_HLEN || !ether_addr_equal(f, dst))
        return false;
    u32 off = 12;
    u16 type = rd16(f + off);
    while (type == ETH_P_8021Q || type == ETH_P_8021AD ||
           (B->outer_ethertype && type == B->outer_ethertype)) {
        off += VLAN_HLEN;
        if (off + 2 > len)
            return false;
        type = rd16(f + off);
    }
    return type == PTP_ETHERTYPE;
}

// PTP over UDP/IPv4, untagged and whole.
static bool ptp_is_udp(const u8 *f, u32 len) {
    const u32 ip = ETH_HLEN;
    if (len < ip + 20 || rd16(f + 12) != ETH_P_IP || (f[ip] >> 4) != 4 || (f[ip] & 0x0F) < 5)
        return false;
    if (f[ip + 9] != 17 || (rd16(f + ip + 6) & 0x3FFF))
        return false;
    u32 udp = ip + (f[ip] & 0x0Fu) * 4;
    if (udp + 8 > len)
        return false;
    u16 dport = rd16(f + udp + 2);
    return dport == PTP_EVENT_PORT || dport == PTP_GENERAL_PORT;
}

int ptp_filter_apply(struct jxbridge *B, struct jxbridge_port *, struct sk_buff *skb) {
    if (ptp_is_g8275_1(B, skb->data, skb->len)) {
        if (debug)
            jxbridge_trace("[PTP]      G.8275.1 profile PDU passed to Linux network stack.\n");
    } else if (ptp_is_udp(skb->data, skb->len)) {
        if (debug)
            jxbridge_trace("[PtPFlt]\tFrame is PTP. skb->dev->name=%s.\n",
                           skb->dev ? skb->dev->name : "");
    } else {
        return 0;
    }
    skb_reset_mac_header(skb);
    skb->protocol = eth_hdr(skb)->h_proto;
    skb_pull(skb, ETH_HLEN);
    skb->vlan_tci = 0;
    netif_rx(skb);
    return 1;
}
