// Forwarding: a frame the pipeline has placed goes to one port, a list of
// ports, every port of its VLAN, or nowhere. Each egress port runs its checks
// and engines, counts the frame, offers it to the flow manager, pads it and
// hands it straight to the driver.
//
// Copies for several receivers are clones; the last receiver takes the frame
// itself, so a frame to one port is never copied.
#include "jxbridge.h"

static const char forward_src[] = "rte/sources/jxbridge/bridge_forward";

u32 jxbridge_mng_traffic_filter = 1;

// Module-wide copy numbers, one counter per copying site; 0 means "none".
static u16 forward_list_seq;

static u16 next_seq(u16 *counter) {
    if (++*counter == 0)
        ++*counter;
    return *counter;
}

// Marks a copy of a frame, giving the original its number first if it has none.
void jxbridge_skb_mark_copy(struct sk_buff *orig, struct sk_buff *copy, u16 *counter) {
    struct jxbridge_skb_cb *o = JXBRIDGE_CB(orig), *c = JXBRIDGE_CB(copy);
    if (!o->copy_seq)
        o->copy_seq = next_seq(counter);
    c->copy_seq = o->copy_seq;
    c->flags |= JXBRIDGE_CB_F_COPY;
}

#define FWD_TRACE(...)                                                                             \
    do {                                                                                           \
        if (debug)                                                                                 \
            jxbridge_trace(__VA_ARGS__);                                                           \
    } while (0)

static bool is_excluded(const struct sk_buff *skb, u32 bll) {
    u32 n = skb->jx_exclude_n < SKB_EXCLUDE_MAX ? skb->jx_exclude_n : SKB_EXCLUDE_MAX;
    for (u32 i = 0; i < n; i++)
        if (skb->jx_exclude[i] == bll)
            return true;
    return false;
}

static bool is_mcast_gem_frame(const struct jxbridge *B, const struct sk_buff *skb) {
    return skb->pkt_type == JXBRIDGE_PKT_MCAST && B->pon_mcast_gem != JXBRIDGE_PON_NO_MCAST_GEM;
}

int jxbridge_does_dev_transmit(struct jxbridge_port *p) {
    if (!p)
        return 0;
    FWD_TRACE("[Bridge]         Does dev '%s' transmit?\n", p->dev->name);
    if (!(p->dev->flags & IFF_UP)) {
        FWD_TRACE("[Bridge]         No, device '%s' is not enabled.\n", p->dev->name);
        return 0;
    }
    if (p->phy_state == JXBRIDGE_PHY_DOWN) {
        FWD_TRACE("[Bridge]         No, device '%s' line is disconnected.\n", p->dev->name);
        return 0;
    }
    if (p->state == JXBRIDGE_STATE_ERROR_DISABLED) {
        FWD_TRACE("[Bridge]         No, device '%s' is error-disabled.\n", p->dev->name);
        return 0;
    }
    if (p->kind == JXBRIDGE_PORT_PON_GEM) {
        if (!p->olt) {
            if (p->bridge->switching_mode == JXBRIDGE_SWITCHING_NORMAL) {
                printk(KERN_ERR "%s:%d %s() bp->pon.olt is NULL for bp %d/%d\n", forward_src,
                       __LINE__, __func__, (int)p->port_no, (int)p->bll_port_no);
                dump_stack();
                return 0;
            }
        } else if (!jxbridge_pon_olt_line_up(p->olt)) {
            FWD_TRACE("[Bridge]         OLT '%s' line is disconnected.\n", p->dev->name);
            return 0;
        }
    }
    if (p->pvc_mode == JXBRIDGE_PVC_MASTER) {
        FWD_TRACE("[Bridge]         No, can't send directly to aPVC master.\n");
        return 0;
    }
    if (p->pvc_mode == JXBRIDGE_PVC_SLAVE && !p->pvc_master) {
        FWD_TRACE("[Bridge]         No, can't send PVC interface without active PVC master.\n");
        return 0;
    }
    FWD_TRACE("[Bridge]         Yes.\n");
    return 1;
}
EXPORT_SYMBOL(jxbridge_does_dev_transmit);

// Hands the frame to the driver of p, its current port (may be null); a
// refusal is counted on *on.
static enum jxbridge_verdict unqueued_xmit(struct sk_buff *skb, struct jxbridge_port *p,
                                           struct jxbridge_port **on) {
    *on = p;
    if (p && p->pvc_mode == JXBRIDGE_PVC_MASTER) {
        FWD_TRACE("[Bridge]         Can't send directly to PVC master. Dropping.\n");
        return JXBRIDGE_DROP_PVC_MASTER_TX;
    }
    if (p && p->pvc_mode == JXBRIDGE_PVC_SLAVE) {
        struct jxbridge_port *m = p->pvc_master;
        if (!m || m->pvc_mode != JXBRIDGE_PVC_MASTER) {
            FWD_TRACE("[Bridge]         Can't send frame to PVC interface with no active master. "
                      "Dropping.\n");
            return JXBRIDGE_DROP_PVC_NO_MASTER;
        }
        FWD_TRACE("[Bridge]         Via PVC master %s.\n", m->dev->name);
        skb->dev = m->dev;
        m->counters.tx_pkts++;
        m->counters.tx_octets += skb->len;
        *on = p = m;
    }
    skb->vlan_tci = 0;
    skb->vlan_proto = 0;
    FWD_TRACE("[Bridge]         Tell the driver to not add VLAN on TX. skb->vlan_tci = 0\n");
    FWD_TRACE("[Bridge]         dev_queue_xmit(to='%s', skb=%p, is_clone=%d)\n",
              skb->dev ? skb->dev->name : "?", (void *)skb, (int)skb->cloned);
    if (p && p->olt && skb->pkt_type == JXBRIDGE_PKT_MCAST)
        jxbridge_pon_mcast_fwd_sent(p);
    struct net_device *dev = skb->dev;
    if (!dev || !dev->netdev_ops || !dev->netdev_ops->ndo_start_xmit)
        return JXBRIDGE_DROP_NO_DRIVER;
    // A driver that refuses the frame has not consumed it.
    if (dev->netdev_ops->ndo_start_xmit(skb, dev) != NETDEV_TX_OK)
        return JXBRIDGE_DROP_DRIVER_REFUSED;
    return JXBRIDGE_TAKEN;
}

void jxbridge_unqueued_xmit(struct sk_buff *skb) {
    struct jxbridge_port *on;
    enum jxbridge_verdict v = unqueued_xmit(skb, jxbridge_skb_get_jxbridge_port(skb), &on);
    if (v > JXBRIDGE_TAKEN)
        jxbridge_drop(on, nullptr, skb, v);
}
EXPORT_SYMBOL(jxbridge_unqueued_xmit);

#define FWD_IPPROTO_TCP 6
#define FWD_IPPROTO_UDP 17
#define FWD_RPCBIND_PORT 111 // the one UDP port of the management services

// Management protocols a local port must not be offered (by TCP/UDP port).
static bool mng_filtered(const struct sk_buff *skb, u16 *port) {
    if (skb->protocol != htons(ETH_P_IP) || skb->network_header == (u16)~0U)
        return false;
    const u8 *end = skb->data + skb->len;
    const u8 *ip = skb->head + skb->network_header;
    if (ip < skb->data || ip + 20 > end)
        return false;
    const u8 *l4 = ip + (ip[0] & 0x0F) * 4;
    if (l4 < ip + 20 || l4 + 4 > end)
        return false;
    *port = (u16)(l4[2] << 8 | l4[3]);
    if (ip[9] == FWD_IPPROTO_TCP) {
        static const u16 tcp[] = {199, 111, 2024, 3732, 4369, 5672, 25672};
        for (u16 d : tcp)
            if (d == *port)
                return true;
    } else if (ip[9] == FWD_IPPROTO_UDP) {
        return *port == FWD_RPCBIND_PORT;
    }
    return false;
}

static bool acl_switching(const struct jxbridge *B) {
    return B->switching_mode == JXBRIDGE_SWITCHING_CORD ||
           B->switching_mode == JXBRIDGE_SWITCHING_ACL_FW;
}

// One frame on its way out of one port. skb is null once an engine took or
// freed it; a drop counts on drop_on.
struct fwd_ctx {
    struct jxbridge *B;
    struct jxbridge_port *to, *from;
    struct sk_buff *skb;
    struct jxbridge_port *drop_on;
};
using fwd_stage = enum jxbridge_verdict (*)(struct fwd_ctx *c);

// The stages in their order until one does not pass. They are template
// arguments rather than a table so that the compiler inlines them: this runs
// for every frame and every port it leaves by.
template <fwd_stage... S> static void fwd_run(struct fwd_ctx *c) {
    enum jxbridge_verdict v = JXBRIDGE_PASS;
    (void)(((v = S(c)) == JXBRIDGE_PASS) && ...);
    if (v > JXBRIDGE_TAKEN)
        jxbridge_drop(c->drop_on, nullptr, c->skb, v);
}

// The last stage for one port.

static enum jxbridge_verdict xmit_transmits(struct fwd_ctx *c) {
    if (jxbridge_does_dev_transmit(c->to))
        return JXBRIDGE_PASS;
    FWD_TRACE("[Bridge]         Mark for dropping.\n");
    return JXBRIDGE_DROP_NOT_TRANSMITTING;
}

static enum jxbridge_verdict xmit_mng_filter(struct fwd_ctx *c) {
    if (!jxbridge_mng_traffic_filter || c->to->kind != JXBRIDGE_PORT_LOCAL)
        return JXBRIDGE_PASS;
    FWD_TRACE("[Bridge]         Destination is MNG port. Filter traffic.\n");
    u16 dport;
    if (!mng_filtered(c->skb, &dport))
        return JXBRIDGE_PASS;
    FWD_TRACE("[Bridge]         MNG filter drop. dst_port = %d\n", dport);
    return JXBRIDGE_DROP_MNG_FILTER;
}

// With a controller in charge the local port has its own ACL and the uplinks
// their own DiffServ marking.
static enum jxbridge_verdict xmit_switching_engines(struct fwd_ctx *c) {
    struct jxbridge *B = c->B;
    if (!acl_switching(B))
        return JXBRIDGE_PASS;
    u32 kind = c->to->kind;
    if (kind == JXBRIDGE_PORT_LOCAL)
        return (c->skb = acl_skb(B->acl, c->skb, 0)) ? JXBRIDGE_PASS : JXBRIDGE_DROP_ACL_EGRESS;
    if ((kind == JXBRIDGE_PORT_UPLINK || kind == JXBRIDGE_PORT_LAG) && qos_ds_enabled(B->qos))
        return (c->skb = qos_ds_skb(B->qos, c->skb, 0)) ? JXBRIDGE_PASS : JXBRIDGE_DROP_QOS_EGRESS;
    return JXBRIDGE_PASS;
}

static enum jxbridge_verdict xmit_gem_mark(struct fwd_ctx *c) {
    struct jxbridge *B = c->B;
    struct jxbridge_port *to = c->to;
    struct sk_buff *skb = c->skb;
    if (to->kind != JXBRIDGE_PORT_PON_GEM)
        return JXBRIDGE_PASS;
    // GEM number in the low half of the scratch word, queue and priority above.
    u32 gem, queue = 0;
    u8 prio = 0;
    if (is_mcast_gem_frame(B, skb)) {
        gem = B->pon_mcast_gem & 0xFFFF;
        queue = 0x07;
        prio = 0x07;
    } else {
        gem = to->gem_id & 0xFFFF;
        if (acl_switching(B) && qos_get_gem_priority_oo(B, 0, to->gem_id, &prio)) {
            prio = 0;
            FWD_TRACE("[PON]        qos_get_gem_priority_oo ERROR for olt_id: %d, gem_id: "
                      "%d \n",
                      0, (int)to->gem_id);
        }
    }
    skb->scratch = gem | queue << 16 | (u32)prio << 24;
    FWD_TRACE("[PON]         Mark skb->jx_priority.gem=%d,skb->jx_priority.queue=%d, "
              "qospriority: %d\n",
              (int)gem, (int)queue, (int)prio);
    return JXBRIDGE_PASS;
}

static enum jxbridge_verdict xmit_flow_offer(struct fwd_ctx *c) {
    struct sk_buff *skb = c->skb;
    if (!jxbridge_flow_hook)
        return JXBRIDGE_PASS;
    if (JXBRIDGE_CB(skb)->flag_byte & JXBRIDGE_CB_B_NO_FLOW) {
        FWD_TRACE("[Bridge]         Flow creation disabled.\n");
    } else {
        FWD_TRACE("[Bridge]         Pass frame to flow control center.\n");
        int rv = jxbridge_flow_hook(skb);
        if (rv)
            FWD_TRACE("[Bridge]           Error processing flow. rv = %d\n", rv);
    }
    if (!(JXBRIDGE_CB(skb)->flags & JXBRIDGE_CB_F_INTERNAL))
        return JXBRIDGE_PASS;
    // The manager has what it wanted of a frame the node made itself.
    FWD_TRACE("[Bridge]         Drop internal skb %p.\n", (void *)skb);
    if (skb->pkt_type == JXBRIDGE_PKT_MCAST && c->to->olt) {
        FWD_TRACE("[PON]         Mark olt '%s' as sent_already.\n", c->to->dev->name);
        jxbridge_pon_mcast_fwd_sent(c->to);
    }
    return JXBRIDGE_DROP_INTERNAL;
}

static enum jxbridge_verdict xmit_pad(struct fwd_ctx *c) {
    struct sk_buff *skb = c->skb;
    if (skb->len >= ETH_ZLEN)
        return JXBRIDGE_PASS;
    u32 pad = ETH_ZLEN - skb->len;
    // A shared or full buffer is replaced by a private one with room.
    if (skb_padto(skb, ETH_ZLEN)) {
        c->skb = nullptr;
        return JXBRIDGE_DROP_PAD_FAILED;
    }
    FWD_TRACE("[Bridge]         Padding with %d bytes.\n", (int)pad);
    skb_put(skb, pad);
    if (skb_tailroom(skb) >= 4) {
        static const u8 mark[4] = {0xF0, 0xCE, 0xBA, 0xCE};
        memcpy(skb_tail_pointer(skb), mark, sizeof(mark));
    }
    return JXBRIDGE_PASS;
}

static enum jxbridge_verdict xmit_driver(struct fwd_ctx *c) {
    if (!jxbridge_tracer_idle(&c->B->tracer))
        jxbridge_tracer_capture_at(c->B, c->skb, JXBRIDGE_TRACER_CAP_TX);
    return unqueued_xmit(c->skb, c->to, &c->drop_on);
}

static constexpr auto xmit_stages = fwd_run<xmit_transmits, xmit_mng_filter, xmit_switching_engines,
                                            xmit_gem_mark, xmit_flow_offer, xmit_pad, xmit_driver>;

int jxbridge_forward_skb(struct sk_buff *skb, struct jxbridge_port *to) {
    if (!skb) {
        FWD_TRACE("[Bridge]         skb is NULL. Return.\n");
        return 0;
    }
    if (!to) {
        FWD_TRACE("[Bridge]         dst bridge port is NULL. Return.\n");
        jxbridge_drop(nullptr, nullptr, skb, JXBRIDGE_DROP_NO_EGRESS_PORT);
        return 0;
    }
    skb_reset_mac_header(skb);
    struct fwd_ctx c = {to->bridge, to, nullptr, skb, to};
    xmit_stages(&c);
    return 0;
}
EXPORT_SYMBOL(jxbridge_forward_skb);

// Mirror copies of a frame for the active sessions, sent by MAC lookup.
void jxbridge_mirror(struct jxbridge *B, struct jxbridge_port *port, struct sk_buff *orig,
                     struct sk_buff *from, int egress, u16 *counter) {
    for (int s = 0; s < RMIRRORING_SESSIONS; s++) {
        struct sk_buff *m = rmirroring_process_frame(B, port, from, s, egress);
        if (!m)
            continue;
        jxbridge_skb_mark_copy(orig, m, counter);
        if (JXBRIDGE_CB(m)->flags & JXBRIDGE_CB_F_NO_LEARN)
            JXBRIDGE_CB(orig)->flags |= JXBRIDGE_CB_F_NO_LEARN;
        if (m->pkt_type == JXBRIDGE_PKT_BCAST) {
            FWD_TRACE("[Bridge]         Broadcast, flood.\n");
            jxbridge_flood_forward(B, m);
            continue;
        }
        u16 vid = ntohs(JXBRIDGE_CB(m)->outer_tci) & 0xFFF;
        struct jxbridge_port *dst = mac_table_lookup(B->mac_table, eth_hdr(m)->h_dest, vid);
        if (dst) {
            jxbridge_forward(dst, m);
        } else {
            FWD_TRACE("[Bridge]         DLF, flood.\n");
            jxbridge_flood_forward(B, m);
        }
    }
}

static u16 egress_mirror_seq;

// One port's egress stages.

static enum jxbridge_verdict fwd_tracer(struct fwd_ctx *c) {
    // The transmit conditions can only hold once the egress port is known.
    if (!jxbridge_tracer_idle(&c->B->tracer)) {
        jxbridge_tracer_egress(c->B, c->skb, c->to);
        jxbridge_tracer_tick(c->B);
    }
    FWD_TRACE("[Bridge]-------%s(to='%s', from='%s' skb=%p)---------------------\n",
              "jxbridge_forward", c->to->dev->name, c->from ? c->from->dev->name : "",
              (void *)c->skb);
    return JXBRIDGE_PASS;
}

// In CORD vSwitch mode downstream frames to the subscribers pass the
// trap-to-host ACL of the ont0 port first; one that matches none goes nowhere.
static enum jxbridge_verdict fwd_trap_to_host(struct fwd_ctx *c) {
    struct jxbridge *B = c->B;
    struct jxbridge_port *to = c->to, *from = c->from;
    if (B->switching_mode != JXBRIDGE_SWITCHING_CORD || !B->ont0_port || !from ||
        (from->kind != JXBRIDGE_PORT_UPLINK && from->kind != JXBRIDGE_PORT_LAG) ||
        (to != B->ont0_port && to->kind != JXBRIDGE_PORT_PON_GEM) ||
        (JXBRIDGE_CB(c->skb)->flags & JXBRIDGE_CB_F_COPY))
        return JXBRIDGE_PASS;
    FWD_TRACE("[Bridge] CORD bridge mode. Process trap_to_host DS flows on device %s.\n",
              c->skb->dev ? c->skb->dev->name : "");
    if (!(c->skb = acl_skb_port(B->acl, B->ont0_port, c->skb, 1)))
        return JXBRIDGE_DROP_ACL_INGRESS;
    FWD_TRACE("[Bridge]         Did not match any ACL while destination port is NNI0. Stop "
              "processing and drop frame. \n");
    return JXBRIDGE_DROP_TRAP_UNMATCHED;
}

static enum jxbridge_verdict fwd_move(struct fwd_ctx *c) {
    struct sk_buff *skb = c->skb;
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    skb->skb_iif = skb->dev ? skb->dev->ifindex : -1;
    skb->dev = c->to->dev;
    // Stored directly: a shared device (PVC, GEM) carries no record to check.
    cb->port_no = (u16)c->to->port_no;
    cb->in_port_no = c->from ? (u16)c->from->port_no : JXBRIDGE_NO_PORT;
    if (jxbridge_does_dev_transmit(c->to))
        return JXBRIDGE_PASS;
    FWD_TRACE("[Bridge]         Egress Device not transmitting, dropping ...\n");
    return JXBRIDGE_DROP_NOT_TRANSMITTING;
}

// A mirroring destination sends the mirror copies only.
static enum jxbridge_verdict fwd_rmirroring_dst(struct fwd_ctx *c) {
    if (!c->to->rmirr_active_dst)
        return JXBRIDGE_PASS;
    if (!rmirroring_is_mirrored_skb(c->B, c->skb))
        return JXBRIDGE_DROP_RMIRRORING_DST;
    jxbridge_forward_skb(c->skb, c->to);
    c->skb = nullptr;
    return JXBRIDGE_TAKEN;
}

static enum jxbridge_verdict fwd_ports(struct fwd_ctx *c) {
    struct jxbridge_port *to = c->to, *from = c->from;
    if (to->lag_master && (to->lag_master->dev->flags & IFF_UP) &&
        !(JXBRIDGE_CB(c->skb)->flag_byte & JXBRIDGE_CB_B_TO_LAG_MEMBER)) {
        FWD_TRACE("[Bridge]         Can not forward to ports with active master (%s). "
                  "Dropping.\n",
                  to->lag_master->dev->name);
        return JXBRIDGE_DROP_LAG_MASTER_UP;
    }
    if (!from)
        return JXBRIDGE_PASS;
    if (from->lag_master == to) {
        FWD_TRACE("[Bridge]         Came from same LAG port. Dropping.\n");
        return JXBRIDGE_DROP_SAME_LAG;
    }
    if (to == from && !rmirroring_is_mirrored_skb(c->B, c->skb)) {
        FWD_TRACE("[Bridge]         Can't resend to incoming.\n");
        return JXBRIDGE_DROP_TO_INCOMING;
    }
    if (to->is_protected && from->is_protected) {
        FWD_TRACE("[Bridge]         Can't do protected-to-protected.\n");
        return JXBRIDGE_DROP_PROTECTED;
    }
    return JXBRIDGE_PASS;
}

// The egress engines: each returns the frame or nothing when it took it.
static enum jxbridge_verdict fwd_tal(struct fwd_ctx *c) {
    if ((c->skb = tal_skb_egress(c->B->tal, c->skb)))
        return JXBRIDGE_PASS;
    FWD_TRACE("[Bridge]         Dropped by TAL.\n");
    return JXBRIDGE_DROP_TAL_EGRESS;
}

static enum jxbridge_verdict fwd_qos(struct fwd_ctx *c) {
    if (!qos_ds_enabled(c->B->qos) || (c->skb = qos_ds_skb(c->B->qos, c->skb, 0)))
        return JXBRIDGE_PASS;
    FWD_TRACE("[Bridge]         Dropped by QOS.\n");
    return JXBRIDGE_DROP_QOS_EGRESS;
}

static enum jxbridge_verdict fwd_vlan_mcast(struct fwd_ctx *c) {
    if (c->skb->pkt_type != JXBRIDGE_PKT_MCAST) {
        FWD_TRACE("[VLAN]     No egress mcast processing (pkt_type=%d).\n", (int)c->skb->pkt_type);
        return JXBRIDGE_PASS;
    }
    FWD_TRACE("[VLAN]     Egress mcast processing.\n");
    return (c->skb = vlan_process_egress_mcast_rules(c->B->vlan, c->to, c->skb)) ? JXBRIDGE_PASS
                                                                                 : JXBRIDGE_TAKEN;
}

static enum jxbridge_verdict fwd_acl(struct fwd_ctx *c) {
    if ((c->skb = acl_skb(c->B->acl, c->skb, 0)))
        return JXBRIDGE_PASS;
    FWD_TRACE("[Bridge]         Dropped by ACL.\n");
    return JXBRIDGE_DROP_ACL_EGRESS;
}

static enum jxbridge_verdict fwd_erps(struct fwd_ctx *c) {
    if ((c->skb = erps_process_frame(c->to, c->skb, 0)))
        return JXBRIDGE_PASS;
    FWD_TRACE("[Bridge]         Dropped by ERPS.\n");
    return JXBRIDGE_DROP_ERPS_EGRESS;
}

static enum jxbridge_verdict fwd_stp(struct fwd_ctx *c) {
    if ((c->skb = stp_process_frame(c->to, c->skb, 0)))
        return JXBRIDGE_PASS;
    FWD_TRACE("[Bridge]         Dropped by STP.\n");
    return JXBRIDGE_DROP_STP_EGRESS;
}

static enum jxbridge_verdict fwd_vlan(struct fwd_ctx *c) {
    if (JXBRIDGE_CB(c->skb)->flags & JXBRIDGE_CB_F_BYPASS_VLAN) {
        FWD_TRACE("[Bridge]         Skipping egress VLAN.\n");
        return JXBRIDGE_PASS;
    }
    // The engine counts drop_vlan_egress_filtering itself.
    if ((c->skb = vlan_process_egress_rules(c->B->vlan, c->to, c->skb)))
        return JXBRIDGE_PASS;
    FWD_TRACE("[Bridge]         Dropped by VLAN egress rules.\n");
    return JXBRIDGE_DROP_VLAN_EGRESS;
}

static enum jxbridge_verdict fwd_port_state(struct fwd_ctx *c) {
    u32 state = c->to->state;
    if (state == JXBRIDGE_STATE_OK)
        return JXBRIDGE_PASS;
    FWD_TRACE("[Bridge]         Port state is '%s'.\n", jxbridge_state2str(state));
    return state == JXBRIDGE_STATE_ERROR_DISABLED ? JXBRIDGE_DROP_TX_ERROR_DISABLED
                                                  : JXBRIDGE_DROP_TX_PORT_STATE;
}

static enum jxbridge_verdict fwd_count(struct fwd_ctx *c) {
    struct jxbridge *B = c->B;
    struct jxbridge_port *to = c->to;
    struct sk_buff *skb = c->skb;
    if (to->rmirr_active_tx)
        jxbridge_mirror(B, to, skb, skb, 1, &egress_mirror_seq);
    B->stats.tx_packets++;
    B->stats.tx_bytes += skb->len;
    to->counters.tx_pkts++;
    to->counters.tx_octets += skb->len;
    if (skb->pkt_type == JXBRIDGE_PKT_BCAST)
        to->counters.tx_bcast++;
    else if (skb->pkt_type == JXBRIDGE_PKT_MCAST)
        to->counters.tx_mcast++;
    else
        to->counters.tx_ucast++;
    jxbridge_forward_skb(skb, to);
    c->skb = nullptr;
    return JXBRIDGE_TAKEN;
}

// The egress stages in their order.
static constexpr auto forward_stages =
    fwd_run<fwd_tracer, fwd_trap_to_host, fwd_move, fwd_rmirroring_dst, fwd_ports, fwd_tal, fwd_qos,
            fwd_vlan_mcast, fwd_acl, fwd_erps, fwd_stp, fwd_vlan, fwd_port_state, fwd_count>;

void jxbridge_forward(struct jxbridge_port *to, struct sk_buff *skb) {
    struct jxbridge *B = to->bridge;
    struct fwd_ctx c = {B, to, jxbridge_port_at(B, JXBRIDGE_CB(skb)->port_no), skb, to};
    forward_stages(&c);
}
EXPORT_SYMBOL(jxbridge_forward);

// May this receiver of a multicast frame still get it from the PON side?
static bool pon_may_send(struct jxbridge *B, struct sk_buff *skb, struct jxbridge_port *p) {
    return !is_mcast_gem_frame(B, skb) || jxbridge_pon_mcast_fwd_should_send(p);
}

void jxbridge_forward_to_list(struct jxbridge *B, struct sk_buff *skb,
                              struct jxbridge_port **list) {
    FWD_TRACE("[Bridge]       %s(skb=%p)@%s\n", __func__, (void *)skb, B->dev->name);
    struct jxbridge_port *last = nullptr;
    bool skip_first = false;
    if (B->switching_mode == JXBRIDGE_SWITCHING_CORD && B->ont0_port) {
        FWD_TRACE("[Bridge]         Inserting NNI0 first.\n");
        last = B->ont0_port;
    } else {
        FWD_TRACE("[Bridge]         Regular VLAN list.\n");
        last = list ? list[0] : nullptr;
        skip_first = true;
    }
    if (!last) {
        jxbridge_drop(nullptr, nullptr, skb, JXBRIDGE_DROP_NO_EGRESS_PORT);
        return;
    }
    for (size_t i = skip_first ? 1 : 0; list && list[i]; i++) {
        struct jxbridge_port *p = list[i];
        if (p == last || p->phy_state != JXBRIDGE_PHY_UP)
            continue;
        if (is_excluded(skb, p->bll_port_no)) {
            FWD_TRACE("[Bridge]         Interface excluded.\n");
            continue;
        }
        if (!pon_may_send(B, skb, p))
            continue;
        struct sk_buff *c = skb_clone(skb, GFP_ATOMIC);
        if (!c) {
            FWD_TRACE("[Bridge]         skb_clone() failed.\n");
            break;
        }
        jxbridge_skb_mark_copy(skb, c, &forward_list_seq);
        jxbridge_forward(p, c);
    }
    if (!pon_may_send(B, skb, last)) {
        jxbridge_drop(nullptr, nullptr, skb, JXBRIDGE_DROP_PON_SENT);
        return;
    }
    if (is_excluded(skb, last->bll_port_no)) {
        FWD_TRACE("[Bridge]         Last interface excluded.\n");
        jxbridge_drop(nullptr, nullptr, skb, JXBRIDGE_DROP_EXCLUDED);
        return;
    }
    jxbridge_forward(last, skb);
}
EXPORT_SYMBOL(jxbridge_forward_to_list);

void jxbridge_flood_forward(struct jxbridge *B, struct sk_buff *skb) {
    struct jxbridge_port **list = vlan_get_ports_skb(B->vlan, skb);
    if (!list || !list[0]) {
        jxbridge_drop(nullptr, nullptr, skb, JXBRIDGE_DROP_NO_EGRESS_PORT);
        return;
    }
    jxbridge_forward_to_list(B, skb, list);
}
EXPORT_SYMBOL(jxbridge_flood_forward);

void jxbridge_mcast_drop(struct jxbridge_port *p, struct sk_buff *skb) {
    // The member is read before the flow manager's offer renumbers the ports.
    struct jxbridge_port *in =
        p ? jxbridge_port_at(p->bridge, JXBRIDGE_CB(skb)->in_port_no) : nullptr;
    jxbridge_drop(p, in, skb, JXBRIDGE_DROP_MCAST);
}
EXPORT_SYMBOL(jxbridge_mcast_drop);
