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
            if (p->bridge->switching_mode == 0) {
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
    if (p->pvc_mode == 1) {
        FWD_TRACE("[Bridge]         No, can't send directly to aPVC master.\n");
        return 0;
    }
    if (p->pvc_mode == 2 && !p->pvc_master) {
        FWD_TRACE("[Bridge]         No, can't send PVC interface without active PVC master.\n");
        return 0;
    }
    FWD_TRACE("[Bridge]         Yes.\n");
    return 1;
}
EXPORT_SYMBOL(jxbridge_does_dev_transmit);

// Hands the frame to the driver of p, its current port (may be null).
static void unqueued_xmit(struct sk_buff *skb, struct jxbridge_port *p) {
    if (p && p->pvc_mode == 1) {
        p->counters.tx_discard++;
        FWD_TRACE("[Bridge]         Can't send directly to PVC master. Dropping.\n");
        kfree_skb(skb);
        return;
    }
    if (p && p->pvc_mode == 2) {
        struct jxbridge_port *m = p->pvc_master;
        if (!m || m->pvc_mode != 1) {
            p->counters.tx_discard++;
            FWD_TRACE("[Bridge]         Can't send frame to PVC interface with no active master. "
                      "Dropping.\n");
            kfree_skb(skb);
            return;
        }
        FWD_TRACE("[Bridge]         Via PVC master %s.\n", m->dev->name);
        skb->dev = m->dev;
        m->counters.tx_pkts++;
        m->counters.tx_octets += skb->len;
        p = m;
    }
    skb->vlan_tci = 0;
    skb->vlan_proto = 0;
    FWD_TRACE("[Bridge]         Tell the driver to not add VLAN on TX. skb->vlan_tci = 0\n");
    FWD_TRACE("[Bridge]         dev_queue_xmit(to='%s', skb=%p, is_clone=%d)\n",
              skb->dev ? skb->dev->name : "?", (void *)skb, (int)skb->cloned);
    if (p && p->olt && skb->pkt_type == JXBRIDGE_PKT_MCAST)
        jxbridge_pon_mcast_fwd_sent(p);
    struct net_device *dev = skb->dev;
    if (!dev || !dev->netdev_ops || !dev->netdev_ops->ndo_start_xmit) {
        kfree_skb(skb);
        return;
    }
    // A driver that refuses the frame has not consumed it.
    if (dev->netdev_ops->ndo_start_xmit(skb, dev) != NETDEV_TX_OK) {
        if (p)
            p->counters.tx_discard++;
        kfree_skb(skb);
    }
}

void jxbridge_unqueued_xmit(struct sk_buff *skb) {
    unqueued_xmit(skb, jxbridge_skb_get_jxbridge_port(skb));
}
EXPORT_SYMBOL(jxbridge_unqueued_xmit);

#define FWD_IPPROTO_TCP 6
#define FWD_IPPROTO_UDP 17

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
        return *port == 111;
    }
    return false;
}

static void forward_drop_egress(struct jxbridge *B, struct jxbridge_port *to, u32 *counter,
                                bool aborted) {
    B->stats.tx_dropped++;
    if (aborted)
        B->stats.tx_aborted_errors++;
    to->counters.tx_discard++;
    if (counter)
        (*counter)++;
}

int jxbridge_forward_skb(struct sk_buff *skb, struct jxbridge_port *to) {
    if (!skb) {
        FWD_TRACE("[Bridge]         skb is NULL. Return.\n");
        return 0;
    }
    if (!to) {
        FWD_TRACE("[Bridge]         dst bridge port is NULL. Return.\n");
        kfree_skb(skb);
        return 0;
    }
    struct jxbridge *B = to->bridge;
    skb_reset_mac_header(skb);
    if (!jxbridge_does_dev_transmit(to)) {
        FWD_TRACE("[Bridge]         Mark for dropping.\n");
        kfree_skb(skb);
        return 0;
    }
    if (jxbridge_mng_traffic_filter && to->kind == JXBRIDGE_PORT_LOCAL) {
        FWD_TRACE("[Bridge]         Destination is MNG port. Filter traffic.\n");
        u16 dport;
        if (mng_filtered(skb, &dport)) {
            FWD_TRACE("[Bridge]         MNG filter drop. dst_port = %d\n", dport);
            forward_drop_egress(B, to, nullptr, true);
            kfree_skb(skb);
            return 0;
        }
    }
    if (B->switching_mode == 1 || B->switching_mode == 2) {
        if (to->kind == JXBRIDGE_PORT_LOCAL) {
            skb = acl_skb(B->acl, skb, 0);
            if (!skb) {
                forward_drop_egress(B, to, &to->counters.drop_acl_egress, true);
                return 0;
            }
        } else if ((to->kind == JXBRIDGE_PORT_UPLINK || to->kind == JXBRIDGE_PORT_LAG) &&
                   qos_ds_enabled(B->qos)) {
            skb = qos_ds_skb(B->qos, skb, 0);
            if (!skb) {
                forward_drop_egress(B, to, &to->counters.drop_qos_ds_egress, true);
                return 0;
            }
        }
    }
    if (to->kind == JXBRIDGE_PORT_PON_GEM) {
        // GEM number in the low half of the scratch word, queue and priority above.
        u32 gem, queue = 0;
        u8 prio = 0;
        if (is_mcast_gem_frame(B, skb)) {
            gem = B->pon_mcast_gem & 0xFFFF;
            queue = 0x07;
            prio = 0x07;
        } else {
            gem = to->gem_id & 0xFFFF;
            if (B->switching_mode == 1 || B->switching_mode == 2) {
                if (qos_get_gem_priority_oo(B, 0, to->gem_id, &prio)) {
                    prio = 0;
                    FWD_TRACE("[PON]        qos_get_gem_priority_oo ERROR for olt_id: %d, gem_id: "
                              "%d \n",
                              0, (int)to->gem_id);
                }
            }
        }
        skb->scratch = gem | queue << 16 | (u32)prio << 24;
        FWD_TRACE("[PON]         Mark skb->jx_priority.gem=%d,skb->jx_priority.queue=%d, "
                  "qospriority: %d\n",
                  (int)gem, (int)queue, (int)prio);
    }
    if (jxbridge_flow_hook) {
        if (JXBRIDGE_CB(skb)->flag_byte & JXBRIDGE_CB_B_NO_FLOW) {
            FWD_TRACE("[Bridge]         Flow creation disabled.\n");
        } else {
            FWD_TRACE("[Bridge]         Pass frame to flow control center.\n");
            int rv = jxbridge_flow_hook(skb);
            if (rv)
                FWD_TRACE("[Bridge]           Error processing flow. rv = %d\n", rv);
        }
        if (JXBRIDGE_CB(skb)->flags & JXBRIDGE_CB_F_INTERNAL) {
            FWD_TRACE("[Bridge]         Drop internal skb %p.\n", (void *)skb);
            if (skb->pkt_type == JXBRIDGE_PKT_MCAST && to->olt) {
                FWD_TRACE("[PON]         Mark olt '%s' as sent_already.\n", to->dev->name);
                jxbridge_pon_mcast_fwd_sent(to);
            }
            kfree_skb(skb);
            return 0;
        }
    }
    if (skb->len < ETH_ZLEN) {
        u32 pad = ETH_ZLEN - skb->len;
        // A shared or full buffer is replaced by a private one with room.
        if (skb_padto(skb, ETH_ZLEN)) {
            forward_drop_egress(B, to, nullptr, false);
            return 0;
        }
        FWD_TRACE("[Bridge]         Padding with %d bytes.\n", (int)pad);
        skb_put(skb, pad);
        if (skb_tailroom(skb) >= 4) {
            static const u8 mark[4] = {0xF0, 0xCE, 0xBA, 0xCE};
            memcpy(skb_tail_pointer(skb), mark, sizeof(mark));
        }
    }
    jxbridge_tracer_capture_at(B, skb, JXBRIDGE_TRACER_CAP_TX);
    unqueued_xmit(skb, to);
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

void jxbridge_forward(struct jxbridge_port *to, struct sk_buff *skb) {
    struct jxbridge *B = to->bridge;
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    struct jxbridge_port *from = jxbridge_port_at(B, cb->port_no);
    jxbridge_tracer_tick(B);
    FWD_TRACE("[Bridge]-------%s(to='%s', from='%s' skb=%p)---------------------\n", __func__,
              to->dev->name, from ? from->dev->name : "", (void *)skb);
    if (B->switching_mode == 1 && B->ont0_port && from &&
        (from->kind == JXBRIDGE_PORT_UPLINK || from->kind == JXBRIDGE_PORT_LAG) &&
        (to == B->ont0_port || to->kind == JXBRIDGE_PORT_PON_GEM) &&
        !(cb->flags & JXBRIDGE_CB_F_COPY)) {
        FWD_TRACE("[Bridge] CORD bridge mode. Process trap_to_host DS flows on device %s.\n",
                  skb->dev ? skb->dev->name : "");
        struct sk_buff *r = acl_skb_port(B->acl, B->ont0_port, skb, 1);
        if (!r) {
            B->stats.rx_dropped++;
            B->acl_drops++;
            to->counters.rx_discard++;
            to->counters.drop_acl_ingress++;
            return;
        }
        FWD_TRACE("[Bridge]         Did not match any ACL while destination port is NNI0. Stop "
                  "processing and drop frame. \n");
        kfree_skb(r);
        return;
    }
    skb->skb_iif = skb->dev ? skb->dev->ifindex : -1;
    skb->dev = to->dev;
    // Stored directly: a shared device (PVC, GEM) carries no record to check.
    cb->port_no = (u16)to->port_no;
    cb->in_port_no = from ? (u16)from->port_no : JXBRIDGE_NO_PORT;
    if (!jxbridge_does_dev_transmit(to)) {
        FWD_TRACE("[Bridge]         Egress Device not transmitting, dropping ...\n");
        kfree_skb(skb);
        return;
    }
    if (to->rmirr_active_dst) {
        if (rmirroring_is_mirrored_skb(B, skb))
            jxbridge_forward_skb(skb, to);
        else
            kfree_skb(skb);
        return;
    }
    if (to->lag_master && (to->lag_master->dev->flags & IFF_UP) &&
        !(cb->flag_byte & JXBRIDGE_CB_B_TO_LAG_MEMBER)) {
        FWD_TRACE("[Bridge]         Can not forward to ports with active master (%s). "
                  "Dropping.\n",
                  to->lag_master->dev->name);
        kfree_skb(skb);
        return;
    }
    if (from) {
        if (from->lag_master == to) {
            FWD_TRACE("[Bridge]         Came from same LAG port. Dropping.\n");
            kfree_skb(skb);
            return;
        }
        if (to == from && !rmirroring_is_mirrored_skb(B, skb)) {
            FWD_TRACE("[Bridge]         Can't resend to incoming.\n");
            kfree_skb(skb);
            return;
        }
        if (to->is_protected && from->is_protected) {
            to->counters.tx_discard++;
            to->counters.drop_tx_protected_port++;
            FWD_TRACE("[Bridge]         Can't do protected-to-protected.\n");
            kfree_skb(skb);
            return;
        }
    }
    skb = tal_skb_egress(B->tal, skb);
    if (!skb) {
        forward_drop_egress(B, to, nullptr, false);
        FWD_TRACE("[Bridge]         Dropped by TAL.\n");
        return;
    }
    if (qos_ds_enabled(B->qos)) {
        skb = qos_ds_skb(B->qos, skb, 0);
        if (!skb) {
            forward_drop_egress(B, to, &to->counters.drop_qos_ds_egress, true);
            FWD_TRACE("[Bridge]         Dropped by QOS.\n");
            return;
        }
    }
    if (skb->pkt_type == JXBRIDGE_PKT_MCAST) {
        FWD_TRACE("[VLAN]     Egress mcast processing.\n");
        skb = vlan_process_egress_mcast_rules(B->vlan, to, skb);
        if (!skb)
            return;
    } else {
        FWD_TRACE("[VLAN]     No egress mcast processing (pkt_type=%d).\n", (int)skb->pkt_type);
    }
    skb = acl_skb(B->acl, skb, 0);
    if (!skb) {
        forward_drop_egress(B, to, &to->counters.drop_acl_egress, true);
        FWD_TRACE("[Bridge]         Dropped by ACL.\n");
        return;
    }
    skb = erps_process_frame(to, skb, 0);
    if (!skb) {
        forward_drop_egress(B, to, &to->counters.drop_erps, false);
        FWD_TRACE("[Bridge]         Dropped by ERPS.\n");
        return;
    }
    skb = stp_process_frame(to, skb, 0);
    if (!skb) {
        forward_drop_egress(B, to, &to->counters.drop_stp, false);
        FWD_TRACE("[Bridge]         Dropped by STP.\n");
        return;
    }
    if (JXBRIDGE_CB(skb)->flags & JXBRIDGE_CB_F_BYPASS_VLAN) {
        FWD_TRACE("[Bridge]         Skipping egress VLAN.\n");
    } else {
        skb = vlan_process_egress_rules(B->vlan, to, skb);
        if (!skb) {
            // The engine counted drop_vlan_egress_filtering itself.
            forward_drop_egress(B, to, nullptr, true);
            FWD_TRACE("[Bridge]         Dropped by VLAN egress rules.\n");
            return;
        }
    }
    if (to->state != JXBRIDGE_STATE_OK) {
        forward_drop_egress(B, to,
                            to->state == JXBRIDGE_STATE_ERROR_DISABLED
                                ? &to->counters.mac_source_guard_error_disabled
                                : nullptr,
                            false);
        FWD_TRACE("[Bridge]         Port state is '%s'.\n", jxbridge_state2str(to->state));
        kfree_skb(skb);
        return;
    }
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
    if (B->switching_mode == 1 && B->ont0_port) {
        FWD_TRACE("[Bridge]         Inserting NNI0 first.\n");
        last = B->ont0_port;
    } else {
        FWD_TRACE("[Bridge]         Regular VLAN list.\n");
        last = list ? list[0] : nullptr;
        skip_first = true;
    }
    if (!last) {
        kfree_skb(skb);
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
        kfree_skb(skb);
        return;
    }
    if (is_excluded(skb, last->bll_port_no)) {
        FWD_TRACE("[Bridge]         Last interface excluded.\n");
        kfree_skb(skb);
        return;
    }
    jxbridge_forward(last, skb);
}
EXPORT_SYMBOL(jxbridge_forward_to_list);

void jxbridge_flood_forward(struct jxbridge *B, struct sk_buff *skb) {
    struct jxbridge_port **list = vlan_get_ports_skb(B->vlan, skb);
    if (!list || !list[0]) {
        kfree_skb(skb);
        return;
    }
    jxbridge_forward_to_list(B, skb, list);
}
EXPORT_SYMBOL(jxbridge_flood_forward);

void jxbridge_mcast_drop(struct jxbridge_port *p, struct sk_buff *skb) {
    if (jxbridge_flow_hook) {
        JXBRIDGE_CB(skb)->in_port_no = JXBRIDGE_CB(skb)->port_no;
        JXBRIDGE_CB(skb)->port_no = JXBRIDGE_NO_PORT;
        if (JXBRIDGE_CB(skb)->flag_byte & JXBRIDGE_CB_B_NO_FLOW) {
            FWD_TRACE("[Bridge]         Flow creation disabled.\n");
        } else {
            FWD_TRACE("[Bridge]         Pass frame to flow control center.\n");
            if (jxbridge_flow_hook(skb))
                FWD_TRACE("[Bridge]         \t\tError processing flow.\n");
        }
    }
    FWD_TRACE("[Bridge]         \t\tDrop skb %p.\n", (void *)skb);
    struct jxbridge_port *in =
        p ? jxbridge_port_at(p->bridge, JXBRIDGE_CB(skb)->in_port_no) : nullptr;
    kfree_skb(skb);
    if (p) {
        jxbridge_count_drop(p, in, &jxbridge_port_counters::drop_mcast);
        p->bridge->stats.rx_dropped++;
    }
}
EXPORT_SYMBOL(jxbridge_mcast_drop);
