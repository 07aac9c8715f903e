// Spanning-tree forwarding states as the STP daemon sets them: a global
// switch, a per-port switch and a per-port state for every VLAN. The table
// is made the first time a port's states are set: ports without one pass.
// The daemon's BPDUs reach it through the STP filter device.
#include "jxbridge.h"

int stp_oper_state_set(struct jxbridge *B, u32 on) {
    B->stp_enabled = on ? 1 : 0;
    return 0;
}

int stp_port_oper_state_set(struct jxbridge_port *port, u32 on) {
    port->stp_enabled = on ? 1 : 0;
    return 0;
}

int stp_port_state_set(struct jxbridge_port *port, u32 vid, u32 state) {
    if (vid > JXBRIDGE_STP_ALL_VLANS)
        return -ERANGE;
    if (!port->stp_states) {
        port->stp_states = (u32 *)jxbridge_zalloc(sizeof(u32) * JXBRIDGE_STP_VLANS);
        if (!port->stp_states)
            return -ENOMEM;
    }
    if (vid == JXBRIDGE_STP_ALL_VLANS) {
        for (u32 v = 0; v < JXBRIDGE_STP_VLANS; v++)
            port->stp_states[v] = state;
    } else {
        port->stp_states[vid] = state;
    }
    return 0;
}

u32 stp_port_state_get(struct jxbridge_port *port, u32 vid) {
    if (!port->stp_states || vid >= JXBRIDGE_STP_VLANS)
        return JXBRIDGE_STP_DISCARDING;
    return port->stp_states[vid];
}

static void stp_port_fini(struct jxbridge_port *port) {
    kfree(port->stp_states);
    port->stp_states = nullptr;
}

extern const struct jxbridge_subsys stp_subsys = {
    .tag = "STP",
    .port_fini = stp_port_fini,
};

// BPDUs go to the STP daemon's filter device.
bool stp_filter_match(const u8 *f, u32 len) {
    static const u8 bpdu[ETH_ALEN] = {0x01, 0x80, 0xc2, 0x00, 0x00, 0x00};
    return len >= ETH_HLEN && ether_addr_equal(f, bpdu);
}

int stp_filter_apply(struct jxbridge *B, struct sk_buff *skb) {
    return proto_filter_apply(B, PF_STP, nullptr, skb);
}

// The spanning-tree gate of the frame's VLAN on a port. A learning port on
// ingress keeps the frame for learning only; the pipeline drops it after.
struct sk_buff *stp_gate_frame(struct jxbridge_port *port, struct sk_buff *skb, int ingress) {
    struct jxbridge *B = port->bridge;
    if (!B->stp_enabled || !port->stp_states || !port->stp_enabled)
        return skb;
    u16 vid = ntohs(JXBRIDGE_CB(skb)->outer_tci) & 0xFFF;
    u32 state = stp_port_state_get(port, vid);
    if (state == JXBRIDGE_STP_FORWARDING)
        return skb;
    if (state == JXBRIDGE_STP_LEARNING && ingress) {
        if (debug)
            jxbridge_trace("[STP]       STP state on port %s for vlan %d is LEARNING, mark for "
                           "dropping and do learning.\n",
                           port->dev->name, vid);
        JXBRIDGE_CB(skb)->flag_byte |= JXBRIDGE_CB_B_LEARN_ONLY;
        return skb;
    }
    kfree_skb(skb);
    return nullptr;
}
