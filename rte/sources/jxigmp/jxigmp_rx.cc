// IGMP messages: the frames the bridge hands the module, checked, classified
// and applied to the state; the frames the module builds; and where they go.
#include "jxigmp/jxigmp.h"

static const char *const igmp_src = "rte/sources/jxigmp/jxigmp";
static const char *const kind_names[] = {"Query",   "JoinV1", "JoinV2",
                                         "LeaveV2", "JoinV3", "Unknown"};
static const char *const version_names[] = {"IGMPv1", "IGMPv2", "IGMPv3", "unknown"};

static u16 rd16(const u8 *p) {
    return (u16)(p[0] << 8 | p[1]);
}
static u32 rd32(const u8 *p) {
    return (u32)p[0] << 24 | (u32)p[1] << 16 | (u32)p[2] << 8 | p[3];
}
static void wr16(u8 *p, u16 v) {
    p[0] = (u8)(v >> 8);
    p[1] = (u8)v;
}
static void wr32(u8 *p, u32 v) {
    wr16(p, (u16)(v >> 16));
    wr16(p + 2, (u16)v);
}

static u16 csum(const u8 *p, u32 len) {
    u32 sum = 0;
    for (u32 i = 0; i + 1 < len; i += 2)
        sum += rd16(p + i);
    if (len & 1)
        sum += (u32)p[len - 1] << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return (u16)~sum;
}

static struct app_frame_info *hdr(struct igmp_bridge *ib) {
    return (struct app_frame_info *)ib->frame;
}
static struct jxbridge_skb_cb *hdr_cb(struct igmp_bridge *ib) {
    return (struct jxbridge_skb_cb *)hdr(ib)->cb;
}

// RFC 3376 max response code: 128 and above is a floating-point form.
static u32 igmp_mrt_decode(u8 code, bool v3) {
    if (!v3 || code < 128)
        return code;
    return (u32)((code & 0x0f) | 0x10) << (((code >> 4) & 7) + 3);
}

u32 igmp_mrt_encode(u32 tenths) {
    if (tenths < 128)
        return tenths;
    for (u32 exp = 0; exp < 8; exp++) {
        u32 mant = tenths >> (exp + 3);
        if (mant < 0x20)
            return 0x80 | exp << 4 | (mant & 0x0f);
    }
    return 255;
}

// The frame in progress: positions inside the working copy.
struct igmp_msg {
    u8 *f; // Ethernet header
    u32 len;
    u32 outer;  // offset of the outer tag's TPID, 0 none
    u32 inner;  // offset of the inner tag's TPID, 0 none
    u32 ip, ig; // IPv4 and IGMP offsets
    u32 iglen;
    u16 vid;
    u32 port_no;
    struct igmp_port *port;
    struct igmp_vlan *v;
    u8 type, kind, ver;
    u32 src, dst, group;
};

static void igmp_msg_frame(struct igmp_bridge *ib, struct igmp_msg *m) {
    m->f = ib->frame + APP_FRAME_INFO_LEN;
    m->len = ib->frame_len - APP_FRAME_INFO_LEN;
}

// Sending.

static void igmp_xmit_buf(struct igmp_bridge *ib, const u8 *buf, u32 len) {
    struct sk_buff *skb = alloc_skb(len + 64, GFP_ATOMIC);
    if (!skb) {
        printk(KERN_ERR "%s:%d %s() Failed\n", igmp_src, __LINE__, __func__);
        return;
    }
    skb_reserve(skb, 32);
    u8 *d = (u8 *)skb_put_data(skb, buf, len);
    u32 total = len;
    memcpy(d + offsetof(app_frame_info, total_len), &total, sizeof(total));
    d[APP_FI_FLAGS_OFFSET] |= APP_FI_F_LOCKED;
    if (igmp_debug)
        d[APP_FI_FLAGS_OFFSET] |= APP_FI_F_TRACE;
    skb->skb_iif = 0;
    memcpy(skb->cb, d, sizeof(skb->cb));
    skb->dev = ib->fdev;
    jxbridge_app_filter_xmit(skb, ib->fdev);
}

static void igmp_xmit(struct igmp_bridge *ib, u16 out_bll, const char *out_name) {
    struct app_frame_info *fi = hdr(ib);
    fi->out_bll_port_no = out_bll;
    memset(fi->out_dev, 0, sizeof(fi->out_dev));
    if (out_name)
        snprintf(fi->out_dev, sizeof(fi->out_dev), "%s", out_name);
    fi->cb[APP_FI_FLAGS_OFFSET] &= (u8)~APP_FI_F_FWD_LIST;
    igmp_xmit_buf(ib, ib->frame, ib->frame_len);
}

void igmp_send_port(struct igmp_bridge *ib, u32 port_no) {
    struct igmp_port *p = igmp_port_get(ib, port_no);
    if (!p || port_no > ib->ports)
        return;
    igmp_log(7, "  Forwarding to '%s' (%d).", p->name, (int)port_no);
    igmp_xmit(ib, (u16)port_no, p->name);
}

void igmp_send_vlan(struct igmp_bridge *ib) {
    igmp_log(7, "  Forwarding to all-VLAN-members");
    igmp_xmit(ib, 0, nullptr);
}

// Sends the frame to the ports, through as many forward lists as they need.
static void igmp_send_list(struct igmp_bridge *ib, const u16 *ports, u32 n) {
    if (!n)
        return;
    for (u32 done = 0; done < n;) {
        u32 k = n - done < IGMP_FWD_LIST_MAX ? n - done : IGMP_FWD_LIST_MAX;
        u8 *b = ib->fwd_buf;
        memcpy(b, ib->frame, APP_FRAME_INFO_LEN);
        b[APP_FI_FLAGS_OFFSET] |= APP_FI_F_FWD_LIST;
        size_t sz = app_fwd_list_encode(b + APP_FRAME_INFO_LEN, IGMP_FWD_BUF - APP_FRAME_INFO_LEN,
                                        ports + done, k);
        if (!sz)
            return;
        igmp_xmit_buf(ib, b, (u32)(APP_FRAME_INFO_LEN + sz));
        done += k;
    }
    igmp_xmit(ib, 0, nullptr);
}

static void igmp_send_set(struct igmp_bridge *ib, u32 except, bool routers) {
    u16 *list = (u16 *)igmp_alloc(sizeof(u16) * ((size_t)ib->ports + 1));
    if (!list)
        return;
    u32 n = 0;
    for (u32 i = 1; i <= ib->ports; i++) {
        struct igmp_port *p = &ib->port[i - 1];
        if (p->in_use && i != except && !!p->mrouter == routers && p->type != IGMP_NONE)
            list[n++] = (u16)i;
    }
    igmp_send_list(ib, list, n);
    kfree(list);
}

void igmp_send_routers(struct igmp_bridge *ib, u32 except) {
    igmp_log(7, "  Forwarding to routers.");
    igmp_send_set(ib, except, true);
}

void igmp_send_non_routers(struct igmp_bridge *ib, u32 except) {
    igmp_log(7, "  Router exclude list set.");
    igmp_send_set(ib, except, false);
}

static void igmp_send_all(struct igmp_bridge *ib, u32 except) {
    igmp_log(7, "  Forwarding to all.");
    u16 *list = (u16 *)igmp_alloc(sizeof(u16) * ((size_t)ib->ports + 1));
    if (!list)
        return;
    u32 n = 0;
    for (u32 i = 1; i <= ib->ports; i++)
        if (ib->port[i - 1].in_use && i != except)
            list[n++] = (u16)i;
    igmp_send_list(ib, list, n);
    kfree(list);
}

// Frames the module builds.

static u8 igmp_out_version(struct igmp_bridge *ib, struct igmp_vlan *v) {
    if (v->version == 2 || v->version == 3)
        return v->version;
    if (ib->version_pass[2] && !ib->version_pass[1])
        return 3;
    if (ib->version_pass[1] && !ib->version_pass[2])
        return 2;
    return v->us_version == 3 ? 3 : 2;
}

int igmp_build(struct igmp_bridge *ib, struct igmp_vlan *v, u8 kind, u32 group, u32 mrt) {
    if (!ib->frame)
        return -ENOMEM;
    u8 ver = igmp_out_version(ib, v);
    memset(ib->frame, 0, IGMP_FRAME_BUF);
    struct app_frame_info *fi = hdr(ib);
    struct jxbridge_skb_cb *cb = hdr_cb(ib);
    cb->outer_tci = cb->rx_outer_tci = htons(v->vid);
    cb->inner_tci = cb->rx_inner_tci = htons(JXBRIDGE_NO_VID);
    cb->port_no = cb->in_port_no = JXBRIDGE_NO_PORT;
    fi->bll_port_no = 0xFFFF;
    struct jxbridge_port *mp = nullptr;
    struct jxbridge_port_info pi;
    if (!jxbridge_get_port_by_name(ib->bridge, "mng0", &mp) && mp &&
        !jxbridge_port_info_get(mp, &pi))
        fi->bll_port_no = (u16)pi.bll_port_no;
    snprintf(fi->port_dev, sizeof(fi->port_dev), "static_client");
    u8 *f = ib->frame + APP_FRAME_INFO_LEN;
    u32 dst;
    if (kind == IGMP_K_QUERY)
        dst = group ? group : 0xE0000001u;
    else if (kind == IGMP_K_LEAVE2)
        dst = ver == 3 ? 0xE0000016u : 0xE0000002u;
    else
        dst = ver == 3 ? 0xE0000016u : group;
    igmp_group_mac(dst, f);
    memcpy(f + 6, v->mac, ETH_ALEN);
    wr16(f + 12, ETH_P_8021Q);
    wr16(f + 14, v->vid);
    wr16(f + 16, ETH_P_IP);
    u8 *ip = f + 18, *ig = ip + 24;
    u32 iglen;
    if (kind == IGMP_K_QUERY) {
        ig[0] = 0x11;
        ig[1] = (u8)igmp_mrt_encode(mrt);
        wr32(ig + 4, group);
        iglen = 8;
        if (ver == 3) {
            ig[8] = (u8)(ib->qrv & 7);
            ig[9] = (u8)igmp_mrt_encode(v->query_interval / 10);
            iglen = 12;
        }
    } else if (ver == 3) {
        ig[0] = 0x22;
        wr16(ig + 6, 1);
        ig[8] = kind == IGMP_K_LEAVE2 ? 3 : 4;
        wr32(ig + 12, group);
        iglen = 16;
    } else {
        ig[0] = kind == IGMP_K_LEAVE2 ? 0x17 : 0x16;
        wr32(ig + 4, group);
        iglen = 8;
    }
    wr16(ig + 2, csum(ig, iglen));
    ip[0] = 0x46;
    ip[1] = 0xC0;
    wr16(ip + 2, (u16)(24 + iglen));
    wr16(ip + 4, ++ib->ip_id);
    wr16(ip + 6, 0x4000);
    ip[8] = 1;
    ip[9] = 2;
    wr32(ip + 12, v->ip);
    wr32(ip + 16, dst);
    ip[20] = 0x94;
    ip[21] = 0x04;
    wr16(ip + 10, csum(ip, 24));
    ib->frame_len = APP_FRAME_INFO_LEN + 18 + 24 + iglen;
    char g[16];
    igmp_log(7, "Creating %s for %d/%s (%02x:%02x:%02x:%02x:%02x:%02x, %s)...",
             version_names[ver - 1], v->vid, igmp_ip2a(group, g), v->mac[0], v->mac[1], v->mac[2],
             v->mac[3], v->mac[4], v->mac[5], kind_names[kind]);
    return 0;
}

// Processing.

static void igmp_count_err(struct igmp_msg *m) {
    m->port->stats.err_drop++;
}

static int igmp_parse(struct igmp_bridge *ib, struct igmp_msg *m) {
    u32 off = 12;
    if (m->len < 14)
        return -1;
    u16 type = rd16(m->f + off);
    if (ib->stag_type && type == ib->stag_type && ib->stag_type != ETH_P_8021Q) {
        m->outer = off;
        off += 4;
        if (off + 2 > m->len)
            return -1;
        type = rd16(m->f + off);
    }
    for (int i = 0; i < 2 && type == ETH_P_8021Q; i++) {
        if (m->outer)
            m->inner = m->inner ? m->inner : off;
        else
            m->outer = off;
        off += 4;
        if (off + 2 > m->len)
            return -1;
        type = rd16(m->f + off);
    }
    if (type != ETH_P_IP) {
        igmp_log(5, ">> 0x%04x is not an IP EtherType, dropping.", type);
        return -1;
    }
    m->ip = off + 2;
    if (m->ip + 20 > m->len) {
        igmp_log(5, ">> Invalid IPv4 header size (%d > %d), dropping.", 20, (int)(m->len - m->ip));
        igmp_count_err(m);
        return -2;
    }
    const u8 *ip = m->f + m->ip;
    u32 ihl = ip[0] & 0x0f;
    if (ihl < 5) {
        igmp_log(5, ">> Invalid IPv4 IHL (%d) dropping.", (int)ihl);
        igmp_count_err(m);
        return -2;
    }
    m->src = rd32(ip + 12);
    m->dst = rd32(ip + 16);
    if (m->src == 0xFFFFFFFFu) {
        igmp_log(5, ">> Invalid IPv4 source address, dropping.");
        igmp_count_err(m);
        return -2;
    }
    u32 tot = rd16(ip + 2);
    if (m->ip + tot > m->len) {
        igmp_log(5, ">> Invalid IPv4 packet size (%d > %d), dropping.", (int)tot,
                 (int)(m->len - m->ip));
        igmp_count_err(m);
        return -2;
    }
    if (ihl * 4 > tot) {
        igmp_log(5, ">> Invalid IPv4 header size (%d > %d), dropping.", (int)ihl * 4, (int)tot);
        igmp_count_err(m);
        return -2;
    }
    if (csum(ip, ihl * 4)) {
        igmp_log(5, ">> Invalid IPv4 checksum, dropping.");
        igmp_count_err(m);
        return -2;
    }
    if (rd16(ip + 6) & 0x3FFF) {
        igmp_log(5, ">> IGMP packet fragmented, dropping.");
        igmp_count_err(m);
        return -2;
    }
    if (ip[9] != 2) {
        igmp_log(5, ">> %d is not IGMP, dropping.", ip[9]);
        return -3;
    }
    m->ig = m->ip + ihl * 4;
    m->iglen = tot - ihl * 4;
    if (m->iglen < 8) {
        igmp_log(5, ">> Invalid IGMP checksum, dropping.");
        igmp_count_err(m);
        return -2;
    }
    return 0;
}

// Re-tags the working copy's outer tag and the header's.
static void igmp_set_outer(struct igmp_bridge *ib, struct igmp_msg *m, u16 tci) {
    hdr_cb(ib)->outer_tci = htons(tci);
    if (m->outer)
        wr16(m->f + m->outer + 2, tci);
    m->vid = tci & 0xFFF;
}

static void igmp_impmm(struct igmp_bridge *ib, struct igmp_msg *m) {
    if (!ib->impmm) {
        igmp_log(7, ">> IMPMM not enabled.");
        return;
    }
    if (!m->port->impmm) {
        igmp_log(7, ">> IMPMM on port %s not enabled.", m->port->name);
        return;
    }
    if (!m->outer || !m->inner) {
        igmp_log(7, ">> IMPMM requires double-tagged frame.");
        return;
    }
    if (m->port->impmm_copy_type) {
        igmp_log(7, ">> IMPMM copied outer EtherType (%d) over inner (%d).", rd16(m->f + m->outer),
                 rd16(m->f + m->inner));
        wr16(m->f + m->inner, rd16(m->f + m->outer));
    }
    if (m->port->impmm_remove_outer) {
        u32 o = m->outer;
        memmove(m->f + o, m->f + o + 4, m->len - o - 4);
        m->len -= 4;
        ib->frame_len -= 4;
        m->inner = 0;
        m->ip -= 4;
        m->ig -= 4;
        struct jxbridge_skb_cb *cb = hdr_cb(ib);
        cb->outer_tci = cb->inner_tci;
        cb->inner_tci = htons(JXBRIDGE_NO_VID);
        m->vid = ntohs(cb->outer_tci) & 0xFFF;
        igmp_log(7, ">> IMPMM removed outer VLAN header.");
    }
}

static void igmp_mvr(struct igmp_bridge *ib, struct igmp_msg *m) {
    if (!ib->mvr) {
        igmp_log(7, ">> MVR not enabled.");
        return;
    }
    if (!m->port->mvr) {
        igmp_log(7, ">> MVR on port not enabled.");
        return;
    }
    if (m->type != 0x12 && m->type != 0x16 && m->type != 0x17 && m->type != 0x22) {
        igmp_log(7, ">> MVR only handles JOIN/LEAVE.");
        return;
    }
    u32 group =
        m->type == 0x22 ? (m->iglen >= 16 ? rd32(m->f + m->ig + 12) : 0) : rd32(m->f + m->ig + 4);
    struct igmp_mvr_vlan *plain = nullptr, *hit = nullptr;
    char a[16], b[16];
    for (struct igmp_mvr_vlan *e = m->port->mvr_map; e && !hit; e = e->next) {
        if (e->cvid != m->vid)
            continue;
        struct igmp_mvr_mvlan *mv = ib->mvlans;
        while (mv && mv->vid != e->mvid)
            mv = mv->next;
        if (!mv) {
            if (!plain)
                plain = e;
            continue;
        }
        if (!mv->ranges)
            igmp_log(7, ">>   No ranges.");
        for (struct igmp_mvr_range *r = mv->ranges; r; r = r->next)
            if (group >= r->first && group <= r->last) {
                igmp_log(7, ">> MPMM %d -> %d, CoS %d [%s - %s ] match.", e->cvid, e->mvid, e->cos,
                         igmp_ip2a(r->first, a), igmp_ip2a(r->last, b));
                igmp_log(7, ">> MPMM remarking.");
                hit = e;
                break;
            }
    }
    if (!hit && plain) {
        igmp_log(7, ">> MVR %d --> %d, CoS %d.", plain->cvid, plain->mvid, plain->cos);
        igmp_log(7, ">> MVR remarking.");
        hit = plain;
    }
    if (!hit) {
        igmp_log(7, ">> MVR for C-VID %d not configured.", m->vid);
        return;
    }
    u16 tci = ntohs(hdr_cb(ib)->outer_tci);
    tci = (u16)((tci & 0xF000) | hit->mvid);
    if (hit->cos != 255)
        tci = (u16)((tci & 0x0FFF) | (hit->cos & 7) << 13);
    igmp_set_outer(ib, m, tci);
    igmp_log(7, ">> Remarked to 0x%04x (VID %d).", tci, hit->mvid);
}

static bool sq_active(struct igmp_bridge *ib) {
    return ib->sq_on;
}

static void igmp_query(struct igmp_bridge *ib, struct igmp_msg *m) {
    u8 *ig = m->f + m->ig;
    bool v3 = m->ver == 3;
    u32 mrt = igmp_mrt_decode(ig[1], v3);
    u32 group = rd32(ig + 4);
    char g[16];
    igmp_ip2a(group, g);
    u32 qrv = 0, qqi = 0;
    bool suppress = false;
    u32 nsrc = 0;
    if (v3) {
        suppress = ig[8] & 0x08;
        qrv = ig[8] & 7;
        qqi = igmp_mrt_decode(ig[9], true);
        nsrc = rd16(ig + 10);
        // Sources beyond the message are not there to be read.
        if (12 + (u64)nsrc * 4 > m->iglen) {
            igmp_count_err(m);
            nsrc = (m->iglen - 12) / 4;
        }
        igmp_log(6,
                 "[Membership Query v3] (%s/%04x:%04x) Group=%s, MRT=%d.%d, %ssuppress, QRV=%d, "
                 "QQI=%ds.",
                 m->port->name, ntohs(hdr_cb(ib)->outer_tci), ntohs(hdr_cb(ib)->inner_tci), g,
                 (int)mrt / 10, (int)mrt % 10, suppress ? "" : "no ", (int)qrv, (int)qqi);
        if (qrv) {
            igmp_log(7, "  QRV set to %d (before %d).", (int)qrv, (int)ib->qrv);
            ib->qrv = qrv;
        }
    } else {
        igmp_log(6, "[Membership Query] (%s/%04x:%04x) Group=%s, MRT=%d.%d+%d.%d.", m->port->name,
                 ntohs(hdr_cb(ib)->outer_tci), ntohs(hdr_cb(ib)->inner_tci), g, (int)mrt / 10,
                 (int)mrt % 10, (int)ib->mrt_delta / 10, (int)ib->mrt_delta % 10);
    }
    if (mrt >= 4) {
        // Hosts answer a little earlier than the router asked.
        ig[1] = (u8)(v3 && ig[1] > 127 ? igmp_mrt_encode(mrt - 2) : ig[1] - 2);
        wr16(ig + 2, 0);
        wr16(ig + 2, csum(ig, m->iglen));
        igmp_log(7,
                 "[Membership Query] (%s/%04x:%04x) Group=%s, SPJ latency MRT workaround: "
                 "updated MRT=%d, CSUM=0x%x",
                 m->port->name, ntohs(hdr_cb(ib)->outer_tci), ntohs(hdr_cb(ib)->inner_tci), g,
                 ig[1], rd16(ig + 2));
    }
    if (m->port->type == IGMP_CLIENT) {
        igmp_log(5, "  Drop (Query on port) due to IGMP filtering rule.");
        m->port->stats.filter_drop++;
        return;
    }
    if (sq_active(ib)) {
        igmp_log(6, "  Drop Query because Standalone Querier is active.");
        return;
    }
    if (m->v->proxy) {
        igmp_log(6,
                 group ? "  Proxy handling Group-Specific Query (%s)."
                       : "  Proxy handling General Query.",
                 g);
        for (struct igmp_fwd *f = ib->fwds; f; f = f->next)
            if (f->vid == m->vid && (!group || f->group == group)) {
                ib->rand = ib->rand * 1103515245u + 12345u;
                f->report_in = (s32)((ib->rand >> 8) % (mrt ? mrt : 1));
                igmp_log(7, "    Fwd %d/%s = %d.%d", f->vid, igmp_ip2a(f->group, g),
                         f->report_in / 10, f->report_in % 10);
            }
        return;
    }
    if (suppress) {
        igmp_log(6, "  Query suppressed.");
        return;
    }
    u32 t = ib->mrt_delta;
    if (v3 && qrv * qqi > t)
        t = qrv * qqi;
    t += mrt;
    igmp_log(7, group ? "  Group-specific query." : "  General query.");
    u32 r = mrt >= 11 ? mrt - 10 : (mrt ? mrt : 1);
    for (u32 i = 0; i <= ib->ports; i++)
        for (struct igmp_client *c = ib->port[i].clients; c; c = c->next) {
            if (c->vid != m->vid)
                continue;
            for (struct igmp_group *gr = c->groups; gr; gr = gr->next) {
                if (group && gr->addr != group)
                    continue;
                s32 lim = (s32)t;
                if (c->ip == IGMP_STATIC_IP) {
                    ib->rand = ib->rand * 1103515245u + 12345u;
                    lim = (s32)(1 + (ib->rand >> 8) % r);
                }
                if (gr->timer > lim)
                    gr->timer = lim;
                for (struct igmp_source *s = gr->sources; s; s = s->next) {
                    bool named = !nsrc;
                    for (u32 k = 0; k < nsrc && !named; k++)
                        named = rd32(ig + 12 + k * 4) == s->addr;
                    if (named && s->timer > lim)
                        s->timer = lim;
                }
            }
        }
    if (ib->suppression)
        for (struct igmp_fwd *f = ib->fwds; f; f = f->next)
            if (f->vid == m->vid && (!group || f->group == group))
                f->first_report = 1;
    igmp_send_non_routers(ib, m->port_no);
}

// With suppression on: whether this report for the group goes on.
static bool igmp_report_passes(struct igmp_bridge *ib, u16 vid, u32 group) {
    if (!ib->suppression)
        return true;
    struct igmp_fwd *f = igmp_fwd_find(ib, vid, group);
    if (!f || f->first_report) {
        if (f)
            f->first_report = 0;
        return true;
    }
    igmp_log(6, "  Report suppressed.");
    return false;
}

static void igmp_join(struct igmp_bridge *ib, struct igmp_msg *m) {
    u32 group = rd32(m->f + m->ig + 4);
    char c[16], g[16];
    igmp_ip2a(m->src, c);
    igmp_ip2a(group, g);
    if (m->ver == 1)
        igmp_log(6, "[Membership Report v1] (%s/%04x:%04x) Client=%s, Group=%s.", m->port->name,
                 ntohs(hdr_cb(ib)->outer_tci), ntohs(hdr_cb(ib)->inner_tci), c, g);
    else
        igmp_log(6, "[Membership Report v2] (%s (%d)/%04x:%04x) Client=%s, Group=%s.",
                 m->port->name, (int)m->port_no, ntohs(hdr_cb(ib)->outer_tci),
                 ntohs(hdr_cb(ib)->inner_tci), c, g);
    if (m->port->type == IGMP_SERVER) {
        igmp_log(5, "  Drop (Membership Report on port) due to IGMP filtering rule.");
        m->port->stats.filter_drop++;
        return;
    }
    if (igmp_acl_blocked(ib, m->port, m->vid, group)) {
        igmp_log(5, "  Drop (%s blocked by mcast. ACL).", g);
        m->port->stats.acl_drop++;
        return;
    }
    bool created;
    struct igmp_group *gr = igmp_group_get(ib, m->port, m->vid, m->src, group,
                                           m->ver == 1 ? "join_v1" : "join_v2", &created);
    if (!gr) {
        igmp_log(5, "  CAC limit reached or no group --> drop msg.");
        return;
    }
    if (gr->client->ip == IGMP_STATIC_IP) {
        igmp_log(7, "  This is static group.");
    } else {
        if (gr->mode == IGMP_INCLUDE)
            ib->changed = 1;
        gr->mode = IGMP_EXCLUDE;
        gr->timer = (s32)ib->gmi;
        gr->last_report = jiffies;
        igmp_log(7,
                 created ? "  Mode set to EXCLUDE, timer %d.%d." : "  Mode EXCLUDE, timer %d.%d.",
                 gr->timer / 10, gr->timer % 10);
    }
    if (ib->changed)
        igmp_fwd_program(ib, m->port, m->vid, group);
    if (m->v->proxy) {
        igmp_log(6, "  Proxy suppressed Membership Report.");
        return;
    }
    if (!igmp_report_passes(ib, m->vid, group) || sq_active(ib))
        return;
    igmp_send_routers(ib, m->port_no);
}

static void igmp_group_query_to_port(struct igmp_bridge *ib, struct igmp_msg *m, u32 group,
                                     bool sq) {
    u8 saved[IGMP_FRAME_BUF];
    u32 saved_len = ib->frame_len;
    memcpy(saved, ib->frame, saved_len);
    if (igmp_build(ib, m->v, IGMP_K_QUERY, group, 10) == 0) {
        char g[16];
        u32 ttl = ib->lmqi * ib->lmqc;
        if (!sq)
            igmp_log(6, "  Group-Specific Query sent to VLAN %d/%s (%d bytes).", m->vid,
                     igmp_ip2a(group, g), (int)(ib->frame_len - APP_FRAME_INFO_LEN));
        else if (m->port_no == ib->ports + 1)
            igmp_log(6,
                     "  SQ: Group-Specific Query for Static Client simulated, group TTL %d.%d s.",
                     (int)ttl / 10, (int)ttl % 10);
        else
            igmp_log(6,
                     "  SQ: Group-Specific Query sent to VLAN %d/%s (%d bytes), port %s, group "
                     "TTL %d.%d s.",
                     m->vid, igmp_ip2a(group, g), (int)(ib->frame_len - APP_FRAME_INFO_LEN),
                     m->port->name, (int)ttl / 10, (int)ttl % 10);
        if (m->port_no <= ib->ports)
            igmp_send_port(ib, m->port_no);
    }
    memcpy(ib->frame, saved, saved_len);
    ib->frame_len = saved_len;
}

static void igmp_leave(struct igmp_bridge *ib, struct igmp_msg *m) {
    u32 group = rd32(m->f + m->ig + 4);
    char c[16], g[16];
    igmp_log(6, "[Leave v2] (%s/%04x:%04x) Client=%s, Group=%s.", m->port->name,
             ntohs(hdr_cb(ib)->outer_tci), ntohs(hdr_cb(ib)->inner_tci), igmp_ip2a(m->src, c),
             igmp_ip2a(group, g));
    if (m->port->type == IGMP_SERVER) {
        igmp_log(5, "  Drop (Leave on port) due to IGMP filtering rule.");
        m->port->stats.filter_drop++;
        return;
    }
    if (igmp_acl_blocked(ib, m->port, m->vid, group)) {
        igmp_log(5, "  Drop (%s blocked by mcast. ACL).", g);
        m->port->stats.acl_drop++;
        return;
    }
    struct igmp_group *gr = igmp_group_find(ib, m->port, m->vid, m->src, group);
    if (!gr) {
        igmp_log(6, "  No group.");
        return;
    }
    bool is_static = gr->client->ip == IGMP_STATIC_IP;
    if (is_static && m->port_no == ib->ports + 1) {
        igmp_log(6, "  Static Client leave.");
        igmp_group_del(ib, gr, "static-client-leave");
        gr = nullptr;
    } else if (!is_static && ib->immediate_leave) {
        igmp_log(6, "  Immediate Leave, removing.");
        igmp_group_del(ib, gr, "immediate-leave");
        gr = nullptr;
    } else if (!is_static) {
        s32 t = IGMP_LEAVE_WAIT;
        igmp_log(7, "  Shortening group time from %d.%d to %d.%d.", gr->timer / 10, gr->timer % 10,
                 t / 10, t % 10);
        if (gr->timer > t)
            gr->timer = t;
    }
    if (m->v->proxy) {
        igmp_log(6, "  Proxy suppressed Leave forwarding.");
        if (gr && !is_static) {
            igmp_group_query_to_port(ib, m, group, false);
            gr->timer = 10;
            igmp_log(7, "  Group time set to to %d.%d.", 1, 0);
        }
        return;
    }
    if (sq_active(ib)) {
        if (gr && !is_static) {
            gr->timer = (s32)(ib->lmqi * ib->lmqc);
            igmp_group_query_to_port(ib, m, group, true);
        }
        return;
    }
    if (ib->suppression) {
        for (u32 i = 0; i < ib->ports; i++)
            if (i + 1 != m->port_no && igmp_port_has_group(&ib->port[i], m->vid, group, nullptr)) {
                igmp_log(6, "  Leave suppressed.");
                return;
            }
    }
    igmp_send_routers(ib, m->port_no);
}

static const char *v3_rec_name(u8 t) {
    static const char *const n[] = {"MODE_IS_IN", "MODE_IS_EX", "TO_IN", "TO_EX", "ALLOW", "BLOCK"};
    return t >= 1 && t <= 6 ? n[t - 1] : "unknown";
}

static struct igmp_source *src_find(struct igmp_group *g, u32 a) {
    for (struct igmp_source *s = g->sources; s; s = s->next)
        if (s->addr == a)
            return s;
    return nullptr;
}

static void src_set(struct igmp_group *g, u32 a, s32 timer) {
    struct igmp_source *s = src_find(g, a);
    if (!s) {
        s = (struct igmp_source *)igmp_alloc(sizeof(struct igmp_source));
        if (!s)
            return;
        s->addr = a;
        s->next = g->sources;
        g->sources = s;
    }
    s->timer = timer;
}

// Keeps only the listed sources.
static void src_keep(struct igmp_group *g, const u8 *list, u32 n) {
    for (struct igmp_source **sp = &g->sources; *sp;) {
        bool listed = false;
        for (u32 k = 0; k < n && !listed; k++)
            listed = rd32(list + k * 4) == (*sp)->addr;
        if (listed) {
            sp = &(*sp)->next;
            continue;
        }
        struct igmp_source *s = *sp;
        *sp = s->next;
        kfree(s);
    }
}

static void src_lower(struct igmp_group *g, u32 a, s32 timer) {
    struct igmp_source *s = src_find(g, a);
    if (s && s->timer > timer)
        s->timer = timer;
}

static void src_del(struct igmp_group *g, u32 a) {
    for (struct igmp_source **sp = &g->sources; *sp; sp = &(*sp)->next)
        if ((*sp)->addr == a) {
            struct igmp_source *s = *sp;
            *sp = s->next;
            kfree(s);
            return;
        }
}

// One group record: true when it changed or confirmed state. A membership
// is one client's, so with immediate leave the client's new state is taken
// at once; otherwise sources it no longer wants wait out the last-member time.
static bool igmp_v3_record(struct igmp_bridge *ib, struct igmp_msg *m, u8 rt, u32 group,
                           const u8 *srcs, u32 n) {
    if (rt < 1 || rt > 6)
        return false;
    bool created;
    // Records that ask for sources only start an INCLUDE membership.
    u32 mode = rt == 2 || rt == 4 ? IGMP_EXCLUDE : IGMP_INCLUDE;
    struct igmp_group *g =
        igmp_group_get(ib, m->port, m->vid, m->src, group, "join_v3", &created, mode);
    if (!g) {
        igmp_log(5, "    No group (couldn't create).");
        return false;
    }
    if (g->client->ip == IGMP_STATIC_IP) {
        igmp_log(7, "  This is static group.");
        return true;
    }
    g->last_report = jiffies;
    s32 gmi = (s32)ib->gmi, lm = (s32)(ib->lmqi * ib->lmqc);
    bool il = ib->immediate_leave;
    char a[16];
    if (g->mode == IGMP_EXCLUDE) {
        switch (rt) {
        case 1:
        case 5:
            for (u32 k = 0; k < n; k++) {
                src_set(g, rd32(srcs + k * 4), gmi);
                igmp_log(7, "      Source %s timeout set to %u.", igmp_ip2a(rd32(srcs + k * 4), a),
                         (unsigned)gmi);
            }
            break;
        case 2:
        case 4:
            src_keep(g, srcs, n);
            for (u32 k = 0; k < n; k++) {
                u32 addr = rd32(srcs + k * 4);
                // Sources blocked already stay blocked.
                if (il || !src_find(g, addr))
                    src_set(g, addr, il ? 0 : rt == 2 ? gmi : g->timer);
                if (rt == 4)
                    igmp_log(7, "      Source %s timer set to %d s.", igmp_ip2a(addr, a),
                             src_find(g, addr) ? src_find(g, addr)->timer / 10 : 0);
            }
            g->timer = gmi;
            igmp_log(7, rt == 2 ? "  IS_EX: group timer %d." : "  TO_EX: group timer %d.",
                     g->timer);
            break;
        case 3:
            if (!n) {
                if (g->timer > lm)
                    g->timer = lm;
                igmp_log(7, "  TO_IN: group timer %d.", g->timer);
                if (il) {
                    igmp_log(6, "<%s>   Immediate leave.", ib->name);
                    igmp_group_del(ib, g, "v3-immediate-leave");
                    return true;
                }
                igmp_log(7, "  Wait for timeout.");
                break;
            }
            if (il) {
                // The client now wants just these sources.
                src_keep(g, srcs, n);
                for (u32 k = 0; k < n; k++)
                    src_set(g, rd32(srcs + k * 4), gmi);
                g->mode = IGMP_INCLUDE;
                g->timer = 0;
                igmp_log(7, "  TO_IN: group mode set to INCLUDE.");
                break;
            }
            if (g->timer > lm)
                g->timer = lm;
            for (struct igmp_source *s = g->sources; s; s = s->next)
                if (s->timer > lm)
                    s->timer = lm;
            for (u32 k = 0; k < n; k++)
                src_set(g, rd32(srcs + k * 4), gmi);
            igmp_log(7, "  TO_IN: group timer %d.", g->timer);
            break;
        case 6:
            for (u32 k = 0; k < n; k++)
                if (il || !src_find(g, rd32(srcs + k * 4)))
                    src_set(g, rd32(srcs + k * 4), il ? 0 : g->timer);
            break;
        }
        igmp_fwd_program(ib, m->port, m->vid, group);
        return true;
    }
    switch (rt) {
    case 1:
    case 5:
        for (u32 k = 0; k < n; k++)
            src_set(g, rd32(srcs + k * 4), gmi);
        break;
    case 2:
    case 4:
        g->mode = IGMP_EXCLUDE;
        src_keep(g, srcs, n);
        for (u32 k = 0; k < n; k++)
            src_set(g, rd32(srcs + k * 4), 0);
        g->timer = gmi;
        igmp_log(7, "    Group mode changed to EXCLUDE, timer set to %u.", (unsigned)gmi);
        break;
    case 3:
        if (il)
            src_keep(g, srcs, n);
        else
            for (struct igmp_source *s = g->sources; s; s = s->next)
                if (s->timer > lm)
                    s->timer = lm;
        for (u32 k = 0; k < n; k++)
            src_set(g, rd32(srcs + k * 4), gmi);
        break;
    case 6:
        for (u32 k = 0; k < n; k++)
            if (il)
                src_del(g, rd32(srcs + k * 4));
            else
                src_lower(g, rd32(srcs + k * 4), lm);
        break;
    }
    if (!g->sources && created) {
        igmp_group_del(ib, g, "v3-in-no-sources");
        return false;
    }
    if (!g->sources && il) {
        igmp_log(6, "  Immediate leave.");
        igmp_group_del(ib, g, "v3-leave");
        return true;
    }
    igmp_fwd_program(ib, m->port, m->vid, group);
    return true;
}

static void igmp_v3_report(struct igmp_bridge *ib, struct igmp_msg *m) {
    u8 *ig = m->f + m->ig;
    u32 nrec = rd16(ig + 6);
    char c[16], g[16];
    igmp_log(6, "[Membership Report v3] (%s/%04x:%04x) Client=%s, Groups=%d.", m->port->name,
             ntohs(hdr_cb(ib)->outer_tci), ntohs(hdr_cb(ib)->inner_tci), igmp_ip2a(m->src, c),
             (int)nrec);
    if (m->dst != 0xE0000016u) {
        igmp_log(5, "  IGMPv3 Report D-IP= %s (must be 224.0.0.22).", igmp_ip2a(m->dst, g));
        igmp_count_err(m);
        return;
    }
    if (m->port->type == IGMP_SERVER) {
        igmp_log(5, "  Drop (Membership Report on port) due to IGMP filtering rule.");
        m->port->stats.filter_drop++;
        return;
    }
    u32 off = 8, kept = 0, cut = 0;
    bool useful = false;
    for (u32 r = 0; r < nrec; r++) {
        // A record is read only when it lies wholly inside the message.
        if (off + 8 > m->iglen) {
            igmp_count_err(m);
            break;
        }
        u8 rt = ig[off];
        u32 aux = ig[off + 1] * 4u;
        u32 ns = rd16(ig + off + 2);
        u32 group = rd32(ig + off + 4);
        u32 rlen = 8 + ns * 4 + aux;
        if (off + rlen > m->iglen) {
            igmp_count_err(m);
            break;
        }
        igmp_log(7, "  [GR %d] Type=%s (%d), AuxLen=%d bytes, Srcs=%d, Group=%s.", (int)r,
                 v3_rec_name(rt), rt, (int)aux, (int)ns, igmp_ip2a(group, g));
        if (igmp_acl_blocked(ib, m->port, m->vid, group)) {
            igmp_log(5, "  Removing group record (%s blocked by mcast. ACL).", g);
            m->port->stats.acl_drop++;
            memmove(ig + off, ig + off + rlen, m->iglen - off - rlen);
            m->iglen -= rlen;
            m->len -= rlen;
            ib->frame_len -= rlen;
            cut++;
            continue;
        }
        useful |= igmp_v3_record(ib, m, rt, group, ig + off + 8, ns);
        kept++;
        off += rlen;
    }
    if (cut) {
        u8 *ip = m->f + m->ip;
        wr16(ig + 6, (u16)kept);
        wr16(ip + 2, (u16)(m->ig - m->ip + m->iglen));
        wr16(ip + 10, 0);
        wr16(ip + 10, csum(ip, (ip[0] & 0x0f) * 4));
        wr16(ig + 2, 0);
        wr16(ig + 2, csum(ig, m->iglen));
        if (!kept) {
            igmp_log(5, "  Drop (no more Group Records left).");
            return;
        }
    }
    if (!useful) {
        igmp_log(5, "  Drop (nothing useful in this frame).");
        return;
    }
    if (m->v->proxy) {
        igmp_log(6, "  Proxy suppressed Membership Report.");
        return;
    }
    if (sq_active(ib))
        return;
    igmp_send_routers(ib, m->port_no);
}

static int igmp_process_msg(struct igmp_bridge *ib, struct igmp_msg *m) {
    int rc = igmp_parse(ib, m);
    if (rc)
        return rc;
    u8 *ig = m->f + m->ig;
    m->type = ig[0];
    igmp_impmm(ib, m);
    ig = m->f + m->ig;
    igmp_mvr(ib, m);
    m->v = igmp_vlan_find(ib, m->vid);
    if (!m->v) {
        igmp_log(5, ">> IGMP in VLAN %d doesn't exist, dropping.", m->vid);
        m->port->stats.vlan_drop++;
        return -1;
    }
    if (!m->v->enabled && m->port_no != ib->ports + 1) {
        igmp_log(5, ">> IGMP in VLAN %d not enabled, dropping.", m->vid);
        m->port->stats.vlan_drop++;
        return -1;
    }
    if (csum(ig, m->iglen)) {
        igmp_log(5, ">> Invalid IGMP checksum, dropping.");
        igmp_count_err(m);
        m->v->stats.err_drop++;
        return -2;
    }
    switch (m->type) {
    case 0x11:
        m->kind = IGMP_K_QUERY;
        m->ver = m->iglen >= 12 ? 3 : ig[1] ? 2 : 1;
        break;
    case 0x12:
        m->kind = IGMP_K_JOIN1;
        m->ver = 1;
        break;
    case 0x16:
        m->kind = IGMP_K_JOIN2;
        m->ver = 2;
        break;
    case 0x17:
        m->kind = IGMP_K_LEAVE2;
        m->ver = 2;
        break;
    case 0x22:
        m->kind = IGMP_K_JOIN3;
        m->ver = 3;
        break;
    default:
        m->kind = IGMP_K_OTHER;
        m->ver = 4;
        break;
    }
    m->port->stats.rx[m->kind]++;
    m->v->stats.rx[m->kind]++;
    if (!ib->version_pass[m->ver - 1]) {
        igmp_log(5, ">> Version %d is not allowed, dropping.", m->ver);
        m->port->stats.version_drop++;
        m->v->stats.version_drop++;
        return -5;
    }
    if (m->port->mrouter && m->ver <= 3) {
        bool stale = time_after(jiffies, m->v->us_confirmed + 299 * HZ);
        if (m->ver > m->v->us_version || (m->ver != m->v->us_version && stale)) {
            igmp_log(6, ">> Changing upstream protocol version from %s to %s.",
                     version_names[(m->v->us_version ? m->v->us_version : 2) - 1],
                     version_names[m->ver - 1]);
            m->v->us_version = m->ver;
        }
        if (m->ver == m->v->us_version)
            m->v->us_confirmed = jiffies;
    }
    if (m->port->type == IGMP_NONE) {
        igmp_log(5, ">> IGMP on port not enabled, dropping.");
        m->port->stats.disabled_drop++;
        return 0;
    }
    if (m->port->type == IGMP_CLIENT && m->kind == IGMP_K_QUERY) {
        igmp_log(5, ">> Port is Client-only, packet is not Join/Leave/Report (is %d) - dropping.",
                 m->type);
        m->port->stats.filter_drop++;
        return 0;
    }
    if (m->port->type == IGMP_SERVER && m->kind != IGMP_K_QUERY) {
        igmp_log(5, ">> Port is Server-only, packet is not Query (is %d) - dropping.", m->type);
        m->port->stats.filter_drop++;
        return 0;
    }
    u32 group = m->type == 0x22 ? (m->iglen >= 16 ? rd32(ig + 12) : 0) : rd32(ig + 4);
    if (ib->telemetry_on) {
        u8 saved[IGMP_FRAME_BUF];
        u32 saved_len = ib->frame_len;
        memcpy(saved, ib->frame, saved_len);
        struct igmp_msg t = *m;
        igmp_set_outer(ib, &t, (u16)((ntohs(hdr_cb(ib)->outer_tci) & 0xF000) | ib->telemetry_vid));
        struct igmp_port *tp = igmp_port_get(ib, ib->telemetry_port);
        igmp_log(7, "Telemetry log to %s/%d.", tp ? tp->name : "all-vlan-members",
                 ib->telemetry_vid);
        if (tp)
            igmp_send_port(ib, ib->telemetry_port);
        else
            igmp_send_vlan(ib);
        memcpy(ib->frame, saved, saved_len);
        ib->frame_len = saved_len;
    }
    char g[16];
    const u8 *f = m->f;
    jxbridge_log(ib->event_log,
                 "packet  %4d %15s %6d %15s %-7s %02x:%02x:%02x:%02x:%02x:%02x "
                 "%02x:%02x:%02x:%02x:%02x:%02x\n",
                 m->vid, igmp_ip2a(group, g), (int)m->port_no, "-", kind_names[m->kind], f[0], f[1],
                 f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11]);
    switch (m->kind) {
    case IGMP_K_QUERY:
        igmp_query(ib, m);
        break;
    case IGMP_K_JOIN1:
    case IGMP_K_JOIN2:
        igmp_join(ib, m);
        break;
    case IGMP_K_LEAVE2:
        igmp_leave(ib, m);
        break;
    case IGMP_K_JOIN3:
        igmp_v3_report(ib, m);
        break;
    default:
        igmp_log(6, ">> Unrecognized packet, flood to all ports.");
        igmp_send_all(ib, m->port_no);
        break;
    }
    return 0;
}

// The frame buffer holds a frame as received on port port_no.
static int igmp_process_buf(struct igmp_bridge *ib, u32 port_no) {
    struct igmp_msg m = {};
    igmp_msg_frame(ib, &m);
    m.port_no = port_no;
    m.port = igmp_port_get(ib, port_no);
    if (!m.port)
        return -19;
    m.vid = ntohs(hdr_cb(ib)->outer_tci) & 0xFFF;
    ib->cur_port = port_no - 1;
    return igmp_process_msg(ib, &m);
}

// The module's own frame, processed as if port port_no had received it.
int igmp_fake(struct igmp_bridge *ib, u32 port_no) {
    struct igmp_port *p = igmp_port_get(ib, port_no);
    if (!p)
        return -ENODEV;
    igmp_log(6, "<br> Faking reception on port '%s'...", p->name);
    hdr(ib)->bll_port_no = (u16)port_no;
    igmp_log(6, ">> Faking reception.");
    int rc = igmp_process_buf(ib, port_no);
    if (rc)
        igmp_log(6, ">> Fake reception failed (%d).", rc);
    else
        igmp_log(6, ">> Fake reception was OK.");
    return rc;
}

int igmp_frame_callback(struct sk_buff *skb) {
    if (!igmp) {
        igmp_log_force(3, "Error: Not initialized.");
        kfree_skb(skb);
        return 0;
    }
    struct net_device *dev = skb->dev;
    auto *port = dev && (dev->priv_flags & IFF_BRIDGE_PORT)
                     ? (struct jxbridge_port *)dev->rx_handler_data
                     : nullptr;
    struct jxbridge_port_info pi;
    struct net_device *bdev = nullptr;
    if (port && !jxbridge_port_info_get(port, &pi))
        bdev = __dev_get_by_index(&init_net, pi.bridge_ifindex);
    if (!bdev) {
        igmp_log_force(3, "Error: Rx port '%s' not bridged.", dev ? dev->name : "?");
        kfree_skb(skb);
        return -ENODEV;
    }
    if (strcmp(bdev->name, "br0")) {
        printk(KERN_ERR "%s:%d Non-matching bridge: '%s' -- '%s'\n", igmp_src, __LINE__, bdev->name,
               "br0");
        dump_stack();
        kfree_skb(skb);
        return -ENODEV;
    }
    struct igmp_bridge *ib = igmp_bridge_find(bdev->name);
    if (!ib) {
        igmp_log_force(3, "Error: Bridge '%s' not found.", bdev->name);
        kfree_skb(skb);
        return -ENODEV;
    }
    if (ib->stopped || ib->ended || !ib->frame) {
        igmp_log_force(7, "Error: Igmp bridge should stop or end or both.");
        kfree_skb(skb);
        return 0;
    }
    mutex_lock(&ib->lock);
    // The working copy holds one MTU-sized frame behind its header; longer ones are not IGMP.
    if (skb->len < APP_FRAME_INFO_LEN + ETH_HLEN || skb->len > IGMP_FRAME_BUF) {
        mutex_unlock(&ib->lock);
        kfree_skb(skb);
        return 0;
    }
    skb_copy_bits(skb, 0, ib->frame, (int)skb->len);
    ib->frame_len = skb->len;
    kfree_skb(skb);
    struct app_frame_info *fi = hdr(ib);
    if (int idx = jxbridge_input_dev_override_get(ib->bridge)) {
        struct net_device *idev = __dev_get_by_index(&init_net, idx);
        struct jxbridge_port *ip = nullptr;
        struct jxbridge_port_info ii;
        if (idev && !jxbridge_get_port_by_name(ib->bridge, idev->name, &ip) && ip &&
            !jxbridge_port_info_get(ip, &ii))
            fi->bll_port_no = (u16)ii.bll_port_no;
    }
    u32 n = fi->bll_port_no;
    u16 vid = ntohs(hdr_cb(ib)->outer_tci) & 0xFFF;
    igmp_debug = igmp_log_level != -1 && (!igmp_debug_ifc || igmp_debug_ifc == n) &&
                 (igmp_debug_vid == IGMP_NO_VID || igmp_debug_vid == vid);
    if (igmp_port_get(ib, n)) {
        const u8 *f = ib->frame + APP_FRAME_INFO_LEN;
        igmp_log(7, ">> Incoming @%s, portId %d, port index %d.", ib->port[n - 1].name, (int)n,
                 (int)n - 1);
        igmp_log(7,
                 ">> DMAC:%02x:%02x:%02x:%02x:%02x:%02x <-- SMAC:%02x:%02x:%02x:%02x:%02x:%02x, "
                 "VLAN1:%d,TAG1:%04x,VLAN2:%d,TAG2:%04x.",
                 f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11], vid,
                 ntohs(hdr_cb(ib)->outer_tci), ntohs(hdr_cb(ib)->inner_tci) & 0xFFF,
                 ntohs(hdr_cb(ib)->inner_tci));
        igmp_process_buf(ib, n);
    } else {
        igmp_log(6, ">> Incoming @%s, portId %d, port index not found - dropping.", fi->port_dev,
                 (int)n);
    }
    igmp_debug = false;
    mutex_unlock(&ib->lock);
    return 0;
}
EXPORT_SYMBOL(igmp_frame_callback);
