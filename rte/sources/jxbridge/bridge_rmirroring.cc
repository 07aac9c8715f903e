// Remote mirroring: up to four sessions copy the frames chosen ports receive
// or send into a mirroring VLAN, tagged or behind an 18-byte header, towards a
// destination port whose own traffic is blocked meanwhile.
//
// Everything here runs under jxbridge_lock: the control file's commands and
// the frame path alike.
#include "bridge_rmirroring.h"

#include <cstdio>

namespace {

struct rmirroring_session *session_of(struct rmirroring_data *rd, long nr) {
    if (!rd || nr < 1 || nr > RMIRRORING_SESSIONS)
        return nullptr;
    return &rd->s[nr - 1];
}

// A session in use, or -ENOENT.
int session_used(struct rmirroring_data *rd, long nr, struct rmirroring_session **out) {
    struct rmirroring_session *s = session_of(rd, nr);
    if (!s || !s->in_use)
        return -ENOENT;
    *out = s;
    return 0;
}

void session_defaults(struct rmirroring_session *s) {
    s->encaps = 0;
    s->mac_not_bcast = 0;
    strlcpy(s->mac_text, RMIRRORING_BCAST_TEXT, sizeof(s->mac_text));
    memset(s->mac, 0xFF, sizeof(s->mac));
    s->ethertype = RMIRRORING_ETHERTYPE;
    s->cos = RMIRRORING_COS_KEEP;
}

u8 active_mask(struct rmirroring_data *rd) {
    u8 m = 0;
    for (int i = 0; i < RMIRRORING_SESSIONS; i++)
        if (rd->s[i].in_use && rd->s[i].active)
            m |= (u8)(1u << i);
    return m;
}

// The port's active masks follow its session masks and the active sessions.
void port_sync(struct rmirroring_data *rd, struct jxbridge_port *p, bool event) {
    u8 act = active_mask(rd);
    u8 rx = p->rmirr_src_rx & act, tx = p->rmirr_src_tx & act, dst = p->rmirr_dst & act;
    bool changed =
        rx != p->rmirr_active_rx || tx != p->rmirr_active_tx || dst != p->rmirr_active_dst;
    p->rmirr_active_rx = rx;
    p->rmirr_active_tx = tx;
    p->rmirr_active_dst = dst;
    if (event || changed)
        jxbridge_flow_event(JXBRIDGE_FEV_PORT, p);
}

void ports_sync(struct rmirroring_data *rd) {
    struct jxbridge *B = rd->bridge;
    for (u32 i = 0; i < B->max_ports; i++)
        if (B->ports[i])
            port_sync(rd, B->ports[i], true);
}

int dst_vlan_add(struct rmirroring_session *s) {
    struct jxbridge_port *p = s->dst;
    printk(KERN_INFO "[RMIRRORING] Adding port %s to VLAN %d.\n", p->dev->name, (int)s->vlan);
    // Tagged: the copies keep the session's tag on their way to the analyser.
    int rc = vlan_add_membership(p, s->vlan);
    if (!rc)
        rc = vlan_set_port_tag(p, s->vlan, 1);
    if (rc)
        printk(KERN_ERR "[RMIRRORING] Failed adding port %s to VLAN %d.\n", p->dev->name,
               (int)s->vlan);
    return rc;
}

void dst_vlan_del(struct rmirroring_session *s) {
    struct jxbridge_port *p = s->dst;
    printk(KERN_INFO "[RMIRRORING] Removing port %s from VLAN %d.\n", p->dev->name, (int)s->vlan);
    vlan_del_membership(p, s->vlan);
}

void acl_release(struct rmirroring_session *s) {
    if (struct acl_entry *e = s->acl) {
        if (e->selector)
            e->selector->refcnt--;
        if (e->action_list)
            e->action_list->refcnt--;
        kfree(e);
    }
    s->acl = nullptr;
    s->acl_name[0] = '\0';
    s->acl_kind = 0;
}

u8 session_bit(struct rmirroring_data *rd, const struct rmirroring_session *s) {
    return (u8)(1u << (s - rd->s));
}

} // namespace

// Session operations. Numbers are 1-4.

int rmirroring_session_create(struct jxbridge *B, long nr, long vlan, int *busy) {
    struct rmirroring_data *rd = B->rmirroring;
    struct rmirroring_session *s = session_of(rd, nr);
    if (!s || vlan < 2 || vlan > 4095)
        return -EINVAL;
    if (vlan_is_configured(B->vlan, (u16)vlan))
        return -ENOENT;
    for (int i = 0; i < RMIRRORING_SESSIONS; i++)
        if (&rd->s[i] != s && rd->s[i].in_use && rd->s[i].vlan == vlan) {
            *busy = i + 1;
            return -EBUSY;
        }
    if (s->in_use) {
        // The copies of an active session are on their way in its VLAN.
        if (s->active && s->vlan != vlan)
            return -EBUSY;
        s->vlan = (u16)vlan;
        return 0;
    }
    memset(s, 0, sizeof(*s));
    session_defaults(s);
    s->vlan = (u16)vlan;
    s->in_use = 1;
    rd->n_sessions++;
    return 0;
}

int rmirroring_session_activate(struct jxbridge *B, long nr, bool on) {
    struct rmirroring_data *rd = B->rmirroring;
    struct rmirroring_session *s;
    int rc = session_used(rd, nr, &s);
    if (rc || !s->active == !on)
        return rc;
    if (s->dst) {
        if (on && (rc = dst_vlan_add(s)))
            return rc;
        if (!on)
            dst_vlan_del(s);
    }
    s->active = on ? 1 : 0;
    ports_sync(rd);
    return 0;
}

int rmirroring_session_delete(struct jxbridge *B, long nr) {
    struct rmirroring_data *rd = B->rmirroring;
    struct rmirroring_session *s;
    int rc = session_used(rd, nr, &s);
    if (rc)
        return rc;
    rmirroring_session_activate(B, nr, false);
    u8 keep = (u8)~session_bit(rd, s);
    for (u32 i = 0; i < B->max_ports; i++)
        if (struct jxbridge_port *p = B->ports[i]) {
            p->rmirr_src_rx &= keep;
            p->rmirr_src_tx &= keep;
            p->rmirr_dst &= keep;
        }
    acl_release(s);
    memset(s, 0, sizeof(*s));
    rd->n_sessions--;
    return 0;
}

// Conflicts give the other port's BLL number and the other session's number.
int rmirroring_port_add(struct jxbridge *B, long nr, struct jxbridge_port *p, bool dst, bool rx,
                        bool tx, u32 *other_port, int *other_session) {
    struct rmirroring_data *rd = B->rmirroring;
    struct rmirroring_session *s;
    int rc = session_used(rd, nr, &s);
    if (rc)
        return rc;
    u8 bit = session_bit(rd, s);
    auto conflict = [&](struct jxbridge_port *q, u8 mask) {
        *other_port = q->bll_port_no;
        *other_session = __builtin_ctz(mask) + 1;
        return -EBUSY;
    };
    if (dst) {
        if (s->dst == p)
            return 0;
        if (s->dst)
            return conflict(s->dst, bit);
        // A destination sends copies only: it cannot be mirrored itself.
        if (p->rmirr_src_rx | p->rmirr_src_tx)
            return conflict(p, p->rmirr_src_rx | p->rmirr_src_tx);
        s->dst = p;
        if (s->active && (rc = dst_vlan_add(s))) {
            s->dst = nullptr;
            return rc;
        }
        p->rmirr_dst |= bit;
        port_sync(rd, p, false);
        return 0;
    }
    if (p->rmirr_dst)
        return conflict(p, p->rmirr_dst);
    if (p->kind == JXBRIDGE_PORT_PON_GEM) {
        // The sources of a session on GEM ports share one ONU.
        for (u32 i = 0; i < B->max_ports; i++) {
            struct jxbridge_port *q = B->ports[i];
            if (!q || q == p || q->kind != JXBRIDGE_PORT_PON_GEM ||
                !((q->rmirr_src_rx | q->rmirr_src_tx) & bit))
                continue;
            if (q->onu_id != p->onu_id || q->olt != p->olt) {
                printk(KERN_INFO "###vbnr port->port_no %d (onu %d) is not on same onu as %d "
                                 "(onu %d)\n",
                       (int)p->port_no, (int)p->onu_id, (int)q->port_no, (int)q->onu_id);
                return conflict(q, bit);
            }
        }
    }
    if (rx)
        p->rmirr_src_rx |= bit;
    if (tx)
        p->rmirr_src_tx |= bit;
    port_sync(rd, p, false);
    return 0;
}

int rmirroring_port_remove(struct jxbridge *B, long nr, struct jxbridge_port *p, bool rx, bool tx) {
    struct rmirroring_data *rd = B->rmirroring;
    struct rmirroring_session *s = session_of(rd, nr);
    if (!s)
        return -ENOENT;
    u8 bit = session_bit(rd, s);
    if (s->in_use && s->dst == p) {
        if (s->active)
            dst_vlan_del(s);
        s->dst = nullptr;
        p->rmirr_dst &= (u8)~bit;
    } else {
        if (rx)
            p->rmirr_src_rx &= (u8)~bit;
        if (tx)
            p->rmirr_src_tx &= (u8)~bit;
    }
    port_sync(rd, p, false);
    return 0;
}

int rmirroring_cos_set(struct jxbridge *B, long nr, long cos) {
    struct rmirroring_session *s;
    int rc = session_used(B->rmirroring, nr, &s);
    if (rc)
        return rc;
    if ((cos < 0 || cos > 7) && cos != RMIRRORING_COS_KEEP)
        return -EINVAL;
    s->cos = (u8)cos;
    return 0;
}

int rmirroring_encaps_set(struct jxbridge *B, long nr, u32 on) {
    struct rmirroring_session *s;
    int rc = session_used(B->rmirroring, nr, &s);
    if (!rc)
        s->encaps = on ? 1 : 0;
    return rc;
}

// text need not be terminated: at most the field's 18 bytes are read.
int rmirroring_mac_set(struct jxbridge *B, long nr, const char *text) {
    struct rmirroring_session *s;
    int rc = session_used(B->rmirroring, nr, &s);
    if (rc)
        return rc;
    char t[RMIRRORING_MAC_TEXT];
    strncpy(t, text, sizeof(t));
    t[sizeof(t) - 1] = '\0';
    u8 mac[6];
    if (parse_mac(t, mac))
        return -EINVAL;
    memcpy(s->mac_text, t, sizeof(t));
    memcpy(s->mac, mac, sizeof(mac));
    static const u8 bcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    s->mac_not_bcast = memcmp(mac, bcast, sizeof(mac)) != 0;
    return s->encaps ? 0 : -ENOEXEC;
}

int rmirroring_ethertype_set(struct jxbridge *B, long nr, u16 type) {
    struct rmirroring_session *s;
    int rc = session_used(B->rmirroring, nr, &s);
    if (rc)
        return rc;
    s->ethertype = type;
    return s->encaps ? 0 : -ENOEXEC;
}

// The session's ACL is the entry of selector "s<n>_<name>" and action list
// "a<n>_<name>" of the bridge's ACL engine; name is at most 39 characters.
int rmirroring_acl_set(struct jxbridge *B, long nr, const char *name, u32 kind) {
    struct rmirroring_data *rd = B->rmirroring;
    struct rmirroring_session *s;
    int rc = session_used(rd, nr, &s);
    if (rc)
        return rc;
    if (!name || !*name || strnlen(name, RULE_NAME_FIELD) > RULE_NAME_MAX)
        return -EINVAL;
    if (!B->acl)
        return -ENODEV;
    char sel[RULE_NAME_FIELD + 8], act[RULE_NAME_FIELD + 8];
    snprintf(sel, sizeof(sel), "s%d_%s", (int)nr, name);
    snprintf(act, sizeof(act), "a%d_%s", (int)nr, name);
    RM_DBG(rd, "[RMIRRORING] Searching for ACL entries '%s' between %d and %d.\n", name, (int)nr,
           (int)nr);
    struct acl_selector *selector = acl_selector_find(B->acl, sel);
    struct acl_action_list *list = acl_action_list_find(B->acl, act);
    if (!selector || !list)
        return -ENOENT;
    auto *e = (struct acl_entry *)jxbridge_zalloc(sizeof(struct acl_entry));
    if (!e)
        return -ENOMEM;
    acl_release(s);
    e->number = 1;
    e->selector = selector;
    e->action_list = list;
    selector->refcnt++;
    list->refcnt++;
    s->acl = e;
    strlcpy(s->acl_name, name, sizeof(s->acl_name));
    s->acl_kind = kind == 1 ? 1 : 2;
    return 0;
}

int rmirroring_acl_reset(struct jxbridge *B, long nr) {
    struct rmirroring_session *s;
    int rc = session_used(B->rmirroring, nr, &s);
    if (!rc)
        acl_release(s);
    return rc;
}

u32 rmirroring_session_sources(struct jxbridge *B, long nr) {
    struct rmirroring_data *rd = B->rmirroring;
    struct rmirroring_session *s = session_of(rd, nr);
    u32 n = 0;
    u8 bit = session_bit(rd, s);
    for (u32 i = 0; i < B->max_ports; i++)
        if (struct jxbridge_port *p = B->ports[i])
            n += ((p->rmirr_src_rx | p->rmirr_src_tx) & bit) != 0;
    return n;
}

// The session record of the read-out and the session data command.
void rmirroring_session_fill(struct jxbridge *B, long nr, struct rmirroring_session_record *r) {
    struct rmirroring_session *s = session_of(B->rmirroring, nr);
    u8 sources = (u8)rmirroring_session_sources(B, nr);
    r->session = (u8)nr;
    r->in_use = s->in_use;
    r->active = s->active;
    r->type = s->dst ? 2 : sources ? 1 : 0;
    r->interfaces = s->dst ? 1 : sources;
    r->vlan = s->vlan;
    vlan_get_is_configured(B->vlan, s->vlan, r->vlan_name, sizeof(r->vlan_name));
    r->vlan_name[sizeof(r->vlan_name) - 1] = '\0';
    r->cos = s->cos;
    r->encaps = s->encaps;
    memcpy(r->mac, s->mac, sizeof(r->mac));
    r->ethertype = s->ethertype;
    r->acl_kind = s->acl_kind;
    strlcpy(r->acl_name, s->acl_name, sizeof(r->acl_name));
}

// Frames.

namespace {

u16 get16(const u8 *p) {
    return (u16)(p[0] << 8 | p[1]);
}

bool is_tag_type(struct jxbridge *B, u16 type) {
    return type == ETH_P_8021Q || (B->outer_ethertype && type == B->outer_ethertype);
}

// A multicast UDP frame (IPv4 or IPv6, behind any tags).
bool mcast_udp(struct jxbridge *B, const struct sk_buff *skb) {
    if (skb->pkt_type != JXBRIDGE_PKT_MCAST || skb->len < ETH_HLEN)
        return false;
    const u8 *p = skb->data;
    u32 off = 12;
    while (off + 6 <= skb->len && is_tag_type(B, get16(p + off)))
        off += 4;
    if (off + 2 > skb->len)
        return false;
    u16 type = get16(p + off);
    off += 2;
    if (type == ETH_P_IP && off + 20 <= skb->len)
        return p[off + 9] == 17;
    if (type == 0x86DD && off + 40 <= skb->len)
        return p[off + 6] == 17;
    return false;
}

// A frame the session's ACL drops is not mirrored; the ACL works on a copy.
bool acl_passes(struct jxbridge *B, struct rmirroring_session *s, struct sk_buff *skb) {
    if (!s->acl || !B->acl)
        return true;
    struct sk_buff *scratch = skb_copy(skb, GFP_ATOMIC);
    if (!scratch)
        return false;
    scratch = acl_skb_cel(B->acl, s->acl, scratch);
    if (!scratch) {
        RM_DBG(B->rmirroring, "[RMIRRORING] SKB=%p dropped by ACL %s.\n", (void *)skb, s->acl_name);
        return false;
    }
    kfree_skb(scratch);
    return true;
}

struct sk_buff *copy_tagged(struct jxbridge *B, struct rmirroring_session *s, struct sk_buff *skb) {
    struct sk_buff *m = skb_copy(skb, GFP_ATOMIC);
    if (!m || m->len < ETH_HLEN) {
        if (m)
            kfree_skb(m);
        return nullptr;
    }
    skb_reset_mac_header(m);
    u8 *p = m->data;
    if (!is_tag_type(B, get16(p + 12))) {
        u16 prio = s->cos == RMIRRORING_COS_KEEP ? 0 : s->cos;
        m = vlan_add_tag(m, ETH_P_8021Q, (u16)(prio << 13 | s->vlan));
    } else if (m->len >= ETH_HLEN + 4) {
        u16 tci = get16(p + 14);
        u16 prio = s->cos == RMIRRORING_COS_KEEP ? (u16)(tci >> 13) : s->cos;
        tci = (u16)(prio << 13 | (tci & 0x1000) | s->vlan);
        p[14] = (u8)(tci >> 8);
        p[15] = (u8)tci;
    }
    return m ? vlan_skb_cb_initial_parse_vlans(B->vlan, m) : nullptr;
}

struct sk_buff *copy_encapsulated(struct jxbridge *B, struct rmirroring_session *s,
                                  struct sk_buff *skb) {
    u32 len = skb->len;
    struct sk_buff *m = alloc_skb(len + RMIRRORING_ENCAPS_LEN + NET_SKB_PAD, GFP_ATOMIC);
    if (!m)
        return nullptr;
    skb_reserve(m, NET_SKB_PAD);
    u8 *p = (u8 *)skb_put(m, len + RMIRRORING_ENCAPS_LEN);
    u16 prio = s->cos;
    if (prio == RMIRRORING_COS_KEEP)
        prio = len >= ETH_HLEN + 4 && is_tag_type(B, get16(skb->data + 12))
                   ? (u16)(get16(skb->data + 14) >> 13)
                   : 0;
    u16 tci = (u16)(prio << 13 | s->vlan);
    memcpy(p, s->mac, 6);
    memcpy(p + 6, B->dev->dev_addr, 6);
    p[12] = (u8)(s->ethertype >> 8);
    p[13] = (u8)s->ethertype;
    p[14] = (u8)(tci >> 8);
    p[15] = (u8)tci;
    p[16] = (u8)(len >> 8);
    p[17] = (u8)len;
    memcpy(p + RMIRRORING_ENCAPS_LEN, skb->data, len);
    skb_reset_mac_header(m);
    memcpy(m->cb, skb->cb, sizeof(m->cb));
    m->dev = skb->dev;
    m->skb_iif = skb->skb_iif;
    m->pkt_type = s->mac_not_bcast ? PACKET_OTHERHOST : JXBRIDGE_PKT_BCAST;
    // Forwarded in the session's VLAN, the header passing as its tag.
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(m);
    cb->outer_tci = cb->rx_outer_tci = htons(tci);
    cb->inner_tci = cb->rx_inner_tci = htons(JXBRIDGE_NO_VID);
    return m;
}

} // namespace

struct sk_buff *rmirroring_process_frame(struct jxbridge *B, struct jxbridge_port *port,
                                         struct sk_buff *skb, int session, int egress) {
    struct rmirroring_data *rd = B ? B->rmirroring : nullptr;
    if (!rd || !port || !skb || session < 0 || session >= RMIRRORING_SESSIONS)
        return nullptr;
    struct rmirroring_session *s = &rd->s[session];
    u8 mask = egress ? port->rmirr_active_tx : port->rmirr_active_rx;
    if (!s->in_use || !s->active || !(mask & (1u << session)))
        return nullptr;
    // A copy seen again on a mirrored port would be copied without end.
    if (rmirroring_is_mirrored_skb(B, skb))
        return nullptr;
    if (mcast_udp(B, skb)) {
        RM_DBG(rd, "[RMIRRORING] MCAST UDP. Do not Mirror.\n");
        return nullptr;
    }
    if (!acl_passes(B, s, skb))
        return nullptr;
    struct sk_buff *m = s->encaps ? copy_encapsulated(B, s, skb) : copy_tagged(B, s, skb);
    if (m)
        JXBRIDGE_CB(m)->flag_byte |= JXBRIDGE_CB_B_NO_FLOW;
    return m;
}

int rmirroring_is_mirrored_skb(struct jxbridge *B, struct sk_buff *skb) {
    struct rmirroring_data *rd = B ? B->rmirroring : nullptr;
    if (!rd || !skb || !rd->n_sessions)
        return 0;
    u16 vid = ntohs(JXBRIDGE_CB(skb)->outer_tci) & 0xFFF;
    for (const struct rmirroring_session &s : rd->s)
        if (s.in_use && s.vlan == vid)
            return 1;
    return 0;
}

// Engine life.

static int rmirroring_init(struct jxbridge *B) {
    auto *rd = (struct rmirroring_data *)jxbridge_zalloc(sizeof(struct rmirroring_data));
    if (!rd) {
        printk(KERN_ERR "[RMIRRORING] Unable to allocate memory.\n");
        return -ENOMEM;
    }
    rd->bridge = B;
    rd->debug = rmirroring_debug ? 1 : 0;
    B->rmirroring = rd;
    return 0;
}

static void rmirroring_fini(struct jxbridge *B) {
    struct rmirroring_data *rd = B->rmirroring;
    if (!rd)
        return;
    for (struct rmirroring_session &s : rd->s)
        acl_release(&s);
    printk(KERN_INFO "[RMIRRORING] Releasing memory (%p).\n", (void *)rd);
    B->rmirroring = nullptr;
    kfree(rd);
}

static int rmirroring_port_init(struct jxbridge_port *p) {
    p->rmirr_src_rx = p->rmirr_src_tx = p->rmirr_dst = 0;
    p->rmirr_active_rx = p->rmirr_active_tx = p->rmirr_active_dst = 0;
    return 0;
}

// A port that goes leaves no session pointing at it.
static void rmirroring_port_fini(struct jxbridge_port *p) {
    struct rmirroring_data *rd = p->bridge ? p->bridge->rmirroring : nullptr;
    if (rd)
        for (struct rmirroring_session &s : rd->s)
            if (s.dst == p) {
                if (s.in_use && s.active)
                    dst_vlan_del(&s);
                s.dst = nullptr;
            }
    rmirroring_port_init(p);
}

static void rmirroring_set_debug(void *bridge, int on) {
    auto *B = (struct jxbridge *)bridge;
    if (B->rmirroring)
        B->rmirroring->debug = on ? 1 : 0;
}

u32 rmirroring_debug_get(struct jxbridge *B) {
    return B->rmirroring ? B->rmirroring->debug : 0;
}

void rmirroring_debug_set(struct jxbridge *B, u32 on) {
    rmirroring_set_debug(B, (int)on);
}

extern const struct file_operations rmirroring_fops;

extern const struct jxbridge_subsys rmirroring_subsys = {
    .tag = "RMIRRORING",
    .init = rmirroring_init,
    .fini = rmirroring_fini,
    .port_init = rmirroring_port_init,
    .port_fini = rmirroring_port_fini,
    .files = {{"rmirroring", 0600, &rmirroring_fops}},
    .set_debug = rmirroring_set_debug,
};
