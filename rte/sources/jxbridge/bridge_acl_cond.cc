// The ACL conditions: one row per type with its name, help text, parameter
// kind and evaluation function. A condition returns whether it holds; one
// that does not apply to the port holds.
//
// Every read of the frame is checked against its length: the parser only
// vouches for each header's minimum.
#include "bridge_acl.h"

namespace {

enum acl_pkind : u8 {
    PK_NONE,
    PK_PORT,
    PK_MAC,
    PK_U16,
    PK_U8,
    PK_ETHER_DATA,
    PK_TAG,
    PK_RANGE,
    PK_IPV4,
    PK_TOS,
    PK_IPV6,
    PK_U32,
    PK_L4,
    PK_COUNTER,
};

struct p_tag {
    u16 tag, mask;
};
struct p_range {
    u16 from, to;
};
struct p_ipv4 {
    u32 addr, mask;
};
struct __attribute__((packed)) p_op {
    u32 op;
    u16 port;
};
struct __attribute__((packed)) p_ether_data {
    u32 offset, length;
    u64 mask_ptr, data_ptr;
};
struct __attribute__((packed)) p_counter {
    char name[RULE_NAME_FIELD];
    u32 op, value;
};
static_assert(sizeof(p_counter) == ACL_COND_PARAMS);

template <typename T> T par(const struct acl_condition *c) {
    static_assert(sizeof(T) <= ACL_COND_PARAMS);
    T v;
    memcpy(&v, c->param, sizeof(T));
    return v;
}

inline bool res(const struct acl_condition *c, bool match) {
    return match != (c->negate != 0);
}

const u8 *frame(const struct acl_eval *ev) {
    return ev->skb->data;
}

bool cmp(u64 a, u32 op, u64 b) {
    switch (op) {
    case ACL_EQ:
        return a == b;
    case ACL_NE:
        return a != b;
    case ACL_LT:
        return a < b;
    case ACL_LE:
        return a <= b;
    case ACL_GT:
        return a > b;
    case ACL_GE:
        return a >= b;
    }
    return false;
}

bool c_true(struct acl_eval *, struct acl_condition *c) {
    return res(c, true);
}

bool c_sport(struct acl_eval *ev, struct acl_condition *c) {
    if (!ev->ingress) {
        return false;
    }
    struct jxbridge_port *want = acl_port_resolve(ev->acl->bridge, &c->port);
    return res(c,
               want && jxbridge_port_at(ev->acl->bridge, JXBRIDGE_CB(ev->skb)->in_port_no) == want);
}

bool c_dport(struct acl_eval *ev, struct acl_condition *c) {
    if (ev->ingress) {
        return false;
    }
    struct jxbridge_port *want = acl_port_resolve(ev->acl->bridge, &c->port);
    return res(c, want && ev->port == want);
}

bool c_mac(struct acl_eval *ev, struct acl_condition *c, u32 off) {
    if (ev->skb->len < 12) {
        return false;
    }
    const u8 *m = frame(ev) + off;
    bool eq = true;
    for (int i = 0; i < 6; i++)
        eq = eq && !((m[i] ^ c->param[i]) & c->param[6 + i]);
    if (acl_dbg(ev->acl))
        jxbridge_trace("[ACL]            %s: %02x:%02x:%02x:%02x:%02x:%02x & "
                       "%02x:%02x:%02x:%02x:%02x:%02x %s= %02x:%02x:%02x:%02x:%02x:%02x ?\n",
                       off ? "smac" : "dmac", m[0], m[1], m[2], m[3], m[4], m[5], c->param[6],
                       c->param[7], c->param[8], c->param[9], c->param[10], c->param[11],
                       c->negate ? "!" : "=", c->param[0], c->param[1], c->param[2], c->param[3],
                       c->param[4], c->param[5]);
    return res(c, eq);
}
bool c_smac(struct acl_eval *ev, struct acl_condition *c) {
    return c_mac(ev, c, 6);
}
bool c_dmac(struct acl_eval *ev, struct acl_condition *c) {
    return c_mac(ev, c, 0);
}

bool c_ether_type(struct acl_eval *ev, struct acl_condition *c) {
    u16 v = par<u16>(c);
    if (acl_dbg(ev->acl))
        jxbridge_trace("[ACL]            EtherType: 0x%04x %s= 0x%04x ?\n", ev->f.ethertype,
                       c->negate ? "!" : "=", v);
    return res(c, ev->f.etype_off && ev->f.ethertype == v);
}

bool c_ether_data(struct acl_eval *ev, struct acl_condition *c) {
    p_ether_data p = par<p_ether_data>(c);
    bool eq = ev->f.etype_off != 0;
    // 64-bit positions: offset and length come from the user and may be anything.
    u64 base = (u64)ev->f.l3 + p.offset;
    for (u32 i = 0; eq && i < p.length; i++) {
        u64 at = base + i;
        eq = at < ev->skb->len && (frame(ev)[at] & c->ether_buf[i]) == c->ether_buf[p.length + i];
    }
    return res(c, eq || !p.length);
}

bool c_tagged1(struct acl_eval *ev, struct acl_condition *c) {
    return res(c, ev->f.outer != 0);
}
bool c_tagged2(struct acl_eval *ev, struct acl_condition *c) {
    return res(c, ev->f.inner != 0);
}

bool tag_at(struct acl_eval *ev, struct acl_condition *c, u16 off) {
    if (!off) {
        return c->negate != 0;
    }
    p_tag p = par<p_tag>(c);
    return res(c, (rule_get16(frame(ev) + off) & p.mask) == p.tag);
}
bool vid_at(struct acl_eval *ev, struct acl_condition *c, u16 off, int n) {
    if (!off) {
        return c->negate != 0;
    }
    p_range p = par<p_range>(c);
    u16 vid = rule_get16(frame(ev) + off) & 0xFFF;
    if (acl_dbg(ev->acl))
        jxbridge_trace("[ACL]            vid%d: %d %sin [%d, %d] ?\n", n, vid,
                       c->negate ? "not " : "", p.from, p.to);
    return res(c, vid >= p.from && vid <= p.to);
}
bool c_tag1(struct acl_eval *ev, struct acl_condition *c) {
    return tag_at(ev, c, ev->f.outer);
}
bool c_tag2(struct acl_eval *ev, struct acl_condition *c) {
    return tag_at(ev, c, ev->f.inner);
}
bool c_vid1(struct acl_eval *ev, struct acl_condition *c) {
    return vid_at(ev, c, ev->f.outer, 1);
}
bool c_vid2(struct acl_eval *ev, struct acl_condition *c) {
    return vid_at(ev, c, ev->f.inner, 2);
}

// Which tag a C-tag or S-tag condition means on this port: 1 outer, 2
// inner, 0 not evaluated.
int qinq_tag(struct acl_eval *ev, bool stag) {
    u32 mode;
    const char *name = ev->port ? ev->port->dev->name : "";
    if (!ev->port || vlan_qinq_get_port_mode(ev->port, &mode)) {
        if (acl_dbg(ev->acl))
            jxbridge_trace("[ACL]              Can not read port '%s' qinq mode. Return.\n", name);
        return 0;
    }
    if (mode == VLAN_QINQ_BRIDGE) {
        if (stag) {
            if (acl_dbg(ev->acl))
                jxbridge_trace("[ACL]              Port '%s' in bridge mode. No S-tag in bridge "
                               "mode. Return\n",
                               name);
            return 0;
        }
        if (!ev->f.outer || rule_get16(frame(ev) + 12) != RULE_ETH_P_8021Q)
            return 0;
        if (acl_dbg(ev->acl))
            jxbridge_trace("[ACL]              Port '%s' in bridge mode. Match C-tag >> Match "
                           "Outer tag.\n",
                           name);
        return 1;
    }
    if (mode != VLAN_QINQ_TUNNEL)
        return 0;
    if (stag) {
        if (!ev->f.outer)
            return 0;
        if (acl_dbg(ev->acl))
            jxbridge_trace("[ACL]              Port '%s' in tunnel mode. Match S-tag >> Match "
                           "outer tag\n",
                           name);
        return 1;
    }
    if (!ev->f.inner)
        return 0;
    if (acl_dbg(ev->acl))
        jxbridge_trace("[ACL]              Port '%s' in tunnel mode. Match C-tag >> Match inner "
                       "tag.\n",
                       name);
    return 2;
}
bool c_ctag(struct acl_eval *ev, struct acl_condition *c) {
    int t = qinq_tag(ev, false);
    return !t || tag_at(ev, c, t == 1 ? ev->f.outer : ev->f.inner);
}
bool c_stag(struct acl_eval *ev, struct acl_condition *c) {
    return !qinq_tag(ev, true) || tag_at(ev, c, ev->f.outer);
}
bool c_cvid(struct acl_eval *ev, struct acl_condition *c) {
    int t = qinq_tag(ev, false);
    return !t || vid_at(ev, c, t == 1 ? ev->f.outer : ev->f.inner, t);
}
bool c_svid(struct acl_eval *ev, struct acl_condition *c) {
    return !qinq_tag(ev, true) || vid_at(ev, c, ev->f.outer, 1);
}

// The 16 bits after a tag's TCI are inside the frame whenever the tag is.
bool c_tpid1(struct acl_eval *ev, struct acl_condition *c) {
    if (!ev->f.outer) {
        return false;
    }
    return res(c, rule_get16(frame(ev) + ev->f.outer + 2) == par<u16>(c));
}
bool c_tpid2(struct acl_eval *ev, struct acl_condition *c) {
    if (!ev->f.inner) {
        return false;
    }
    return res(c, rule_get16(frame(ev) + ev->f.inner + 2) == par<u16>(c));
}

bool c_ip_protocol(struct acl_eval *ev, struct acl_condition *c) {
    if (!ev->f.ipv4 && !ev->f.ipv6) {
        return false;
    }
    return res(c, ev->f.l4proto == par<u8>(c));
}

bool ipv4_addr(struct acl_eval *ev, struct acl_condition *c, u32 off, const char *name) {
    if (!ev->f.ipv4) {
        return false;
    }
    p_ipv4 p = par<p_ipv4>(c);
    u32 a = rule_get32(frame(ev) + ev->f.l3 + off);
    if (acl_dbg(ev->acl))
        jxbridge_trace("[ACL]            %s: %08x & %08x %s= %08x ?\n", name, a, p.mask,
                       c->negate ? "!" : "=", p.addr);
    return res(c, !((a ^ p.addr) & p.mask));
}
bool c_ipv4_saddr(struct acl_eval *ev, struct acl_condition *c) {
    return ipv4_addr(ev, c, 12, "ipv4_saddr");
}
bool c_ipv4_daddr(struct acl_eval *ev, struct acl_condition *c) {
    return ipv4_addr(ev, c, 16, "ipv4_daddr");
}

u8 tos(const struct acl_eval *ev) {
    return frame(ev)[ev->f.l3 + 1];
}
u8 tclass(const struct acl_eval *ev) {
    return (u8)(rule_get16(frame(ev) + ev->f.l3) >> 4);
}
bool c_ipv4_dscp(struct acl_eval *ev, struct acl_condition *c) {
    return res(c, ev->f.ipv4 && (tos(ev) & 0xFC) == 4u * par<u16>(c));
}
bool c_ipv4_tos(struct acl_eval *ev, struct acl_condition *c) {
    u8 v = c->param[0], mask = c->param[1];
    if (ev->f.ipv4)
        return res(c, (tos(ev) & mask) == v);
    if (ev->f.ipv6)
        return res(c, tclass(ev) == v);
    return false;
}
bool c_ipv4_precedence(struct acl_eval *ev, struct acl_condition *c) {
    return res(c, ev->f.ipv4 && (tos(ev) & 0xE0) == 32u * par<u16>(c));
}
bool c_ipv4_flags(struct acl_eval *ev, struct acl_condition *c) {
    return res(c, ev->f.ipv4 && (frame(ev)[ev->f.l3 + 6] >> 5) == c->param[0]);
}

bool ipv6_addr(struct acl_eval *ev, struct acl_condition *c, u32 off) {
    if (!ev->f.ipv6) {
        return false;
    }
    const u8 *a = frame(ev) + ev->f.l3 + off;
    bool eq = true;
    for (int i = 0; i < 16; i++)
        eq = eq && !((a[i] ^ c->param[i]) & c->param[16 + i]);
    return res(c, eq);
}
bool c_ipv6_saddr(struct acl_eval *ev, struct acl_condition *c) {
    return ipv6_addr(ev, c, 8);
}
bool c_ipv6_daddr(struct acl_eval *ev, struct acl_condition *c) {
    return ipv6_addr(ev, c, 24);
}
bool c_ipv6_dscp(struct acl_eval *ev, struct acl_condition *c) {
    return res(c, ev->f.ipv6 && tclass(ev) == 4u * par<u16>(c));
}
bool c_ipv6_traffic_class(struct acl_eval *ev, struct acl_condition *c) {
    return res(c, ev->f.ipv6 && (rule_get16(frame(ev) + ev->f.l3) & 0x0FF0) == par<u32>(c));
}
bool c_ipv6_flow_label(struct acl_eval *ev, struct acl_condition *c) {
    return res(c, ev->f.ipv6 && (rule_get32(frame(ev) + ev->f.l3) & 0xFFFFF) == par<u32>(c));
}
bool c_ipv6_next_header(struct acl_eval *ev, struct acl_condition *c) {
    return res(c, ev->f.ipv6 && ev->f.l4proto == par<u8>(c));
}

// L4 ports: which protocols a row takes (1 TCP, 2 UDP, 3 both), source or destination.
// The port rows run once per entry of every frame: their negation is chosen
// when the condition is added (the row's negated function), not per frame.
template <int protos, bool src, bool neg>
bool c_l4_range(struct acl_eval *ev, struct acl_condition *c) {
    if (!(ev->f.l4ports & protos))
        return false;
    const u16 port = src ? ev->f.sport : ev->f.dport;
    const p_range p = par<p_range>(c);
    return (port >= p.from && port <= p.to) != neg;
}
template <int protos, bool src, bool neg>
bool c_l4_op(struct acl_eval *ev, struct acl_condition *c) {
    if (!(ev->f.l4ports & protos))
        return neg;
    const u16 port = src ? ev->f.sport : ev->f.dport;
    const p_op p = par<p_op>(c);
    return cmp(port, p.op, p.port) != neg;
}

bool c_icmpv4_code(struct acl_eval *ev, struct acl_condition *c) {
    if (!ev->f.ipv4 || ev->f.l4proto != RULE_IPPROTO_ICMP || !ev->f.l4) {
        return false;
    }
    return res(c, frame(ev)[ev->f.l4] == c->param[0]);
}
bool c_icmpv6_code(struct acl_eval *ev, struct acl_condition *c) {
    if (!ev->f.ipv6 || ev->f.l4proto != RULE_IPPROTO_ICMPV6 || !ev->f.l4) {
        return false;
    }
    return res(c, rule_get16(frame(ev) + ev->f.l4) == par<u16>(c));
}

bool c_counter(struct acl_eval *, struct acl_condition *c) {
    p_counter p = par<p_counter>(c);
    return res(c, c->counter && cmp(c->counter->packets, p.op, p.value));
}

} // namespace

const struct acl_cond_row acl_cond_rows[ACL_CONDITIONS] = {
    {"true", "", PK_NONE, c_true},
    {"sport", "<port>", PK_PORT, c_sport},
    {"dport", "<port>", PK_PORT, c_dport},
    {"smac", "[<mac_mask>] <mac>", PK_MAC, c_smac},
    {"dmac", "[<mac_mask>] <mac>", PK_MAC, c_dmac},
    {"ether_type", "<type>", PK_U16, c_ether_type},
    {"ether_data", "<offset> <length> <mask> <data>", PK_ETHER_DATA, c_ether_data},
    {"tagged1", "", PK_NONE, c_tagged1},
    {"tagged2", "", PK_NONE, c_tagged2},
    {"tag1", "[<mask>] <tag>", PK_TAG, c_tag1},
    {"tag2", "[<mask>] <tag>", PK_TAG, c_tag2},
    {"vid1", "<from> <to>", PK_RANGE, c_vid1},
    {"vid2", "<from> <to>", PK_RANGE, c_vid2},
    {"ctag", "[<mask>] <tag>", PK_TAG, c_ctag},
    {"stag", "[<mask>] <tag>", PK_TAG, c_stag},
    {"cvid", "<from> <to>", PK_RANGE, c_cvid},
    {"svid", "<from> <to>", PK_RANGE, c_svid},
    {"tpid1", "<tpid>", PK_U16, c_tpid1},
    {"tpid2", "<tpid>", PK_U16, c_tpid2},
    {"ip_protocol", "<protocol>", PK_U8, c_ip_protocol},
    {"ipv4_saddr", "[<ipv4_mask>] <ipv4_addr>", PK_IPV4, c_ipv4_saddr},
    {"ipv4_daddr", "[<ipv4_mask>] <ipv4_addr>", PK_IPV4, c_ipv4_daddr},
    {"ipv4_dscp", "<dscp>", PK_U16, c_ipv4_dscp},
    {"ipv4_tos", "[<mask>] <tos>", PK_TOS, c_ipv4_tos},
    {"ipv4_precedence", "<precedence>", PK_U16, c_ipv4_precedence},
    {"ipv4_flags", "<flags>", PK_U8, c_ipv4_flags},
    {"ipv4_protocol", "<protocol>", PK_U8, c_ip_protocol},
    {"ipv6_saddr", "[<ipv6_mask>] <ipv6_addr>", PK_IPV6, c_ipv6_saddr},
    {"ipv6_daddr", "[<ipv6_mask>] <ipv6_addr>", PK_IPV6, c_ipv6_daddr},
    {"ipv6_dscp", "<dscp>", PK_U16, c_ipv6_dscp},
    {"ipv6_traffic_class", "<class>", PK_U32, c_ipv6_traffic_class},
    {"ipv6_flow_label", "<label>", PK_U32, c_ipv6_flow_label},
    {"ipv6_next_header", "<protocol>", PK_U8, c_ipv6_next_header},
    {"tcp_sport", "<from> <to>", PK_L4, c_l4_range<1, true, false>, c_l4_range<1, true, true>},
    {"tcp_dport", "<from> <to>", PK_L4, c_l4_range<1, false, false>, c_l4_range<1, false, true>},
    {"udp_sport", "<from> <to>", PK_L4, c_l4_range<2, true, false>, c_l4_range<2, true, true>},
    {"udp_dport", "<from> <to>", PK_L4, c_l4_range<2, false, false>, c_l4_range<2, false, true>},
    {"l4_sport", "<from> <to>", PK_L4, c_l4_range<3, true, false>, c_l4_range<3, true, true>},
    {"l4_dport", "<from> <to>", PK_L4, c_l4_range<3, false, false>, c_l4_range<3, false, true>},
    {"tcp_sport", "<operator> <port>", PK_L4, c_l4_op<1, true, false>, c_l4_op<1, true, true>},
    {"tcp_dport", "<operator> <port>", PK_L4, c_l4_op<1, false, false>, c_l4_op<1, false, true>},
    {"udp_sport", "<operator> <port>", PK_L4, c_l4_op<2, true, false>, c_l4_op<2, true, true>},
    {"udp_dport", "<operator> <port>", PK_L4, c_l4_op<2, false, false>, c_l4_op<2, false, true>},
    {"l4_sport", "<operator> <port>", PK_L4, c_l4_op<3, true, false>, c_l4_op<3, true, true>},
    {"l4_dport", "<operator> <port>", PK_L4, c_l4_op<3, false, false>, c_l4_op<3, false, true>},
    {"icmpv4_code", "<code>", PK_U8, c_icmpv4_code},
    {"icmpv6_code", "<code>", PK_U16, c_icmpv6_code},
    {"counter", "<name> <cmp> <value>", PK_COUNTER, c_counter},
};

const char *acl_cmp2a(u32 op) {
    static const char *const ops[] = {"==", "!=", "<", "<=", ">", ">="};
    return op < ARRAY_SIZE(ops) ? ops[op] : "?";
}

// Listing.

void acl_cond_list(const struct acl_condition *c, char *buf, size_t size) {
    if (c->type >= ACL_CONDITIONS) {
        snprintf(buf, size, "unknown (%u)", c->type);
        return;
    }
    const char *name = acl_cond_rows[c->type].name;
    const char *eq = c->negate ? "!" : "=";
    const u8 *p = c->param;
    switch (c->type) {
    case ACL_C_SPORT:
    case ACL_C_DPORT:
        snprintf(buf, size, "%s %s= '%s'", name, eq, c->port.name);
        return;
    case ACL_C_SMAC:
    case ACL_C_DMAC:
        snprintf(buf, size, "%s & %02x:%02x:%02x:%02x:%02x:%02x %s= %02x:%02x:%02x:%02x:%02x:%02x",
                 name, p[6], p[7], p[8], p[9], p[10], p[11], eq, p[0], p[1], p[2], p[3], p[4],
                 p[5]);
        return;
    case ACL_C_ETHER_TYPE:
        snprintf(buf, size, "%s %s= 0x%04x", name, eq, par<u16>(c));
        return;
    case ACL_C_ETHER_DATA: {
        p_ether_data d = par<p_ether_data>(c);
        char m[17] = "", v[17] = "";
        for (u32 i = 0; i < d.length && i < 8; i++) {
            snprintf(m + 2 * i, 3, "%02x", c->ether_buf[i]);
            snprintf(v + 2 * i, 3, "%02x", c->ether_buf[d.length + i]);
        }
        snprintf(buf, size, "%s [%d...%d] & 0x%s %s= 0x%s", name, (int)d.offset,
                 (int)(d.offset + d.length - 1), m, eq, v);
        return;
    }
    case ACL_C_TAG1:
    case ACL_C_TAG2:
    case ACL_C_CTAG:
    case ACL_C_STAG: {
        p_tag t = par<p_tag>(c);
        snprintf(buf, size, "%s & 0x%04x %s= 0x%04x (%d)", name, t.mask, eq, t.tag, t.tag & 0xFFF);
        return;
    }
    case ACL_C_VID1:
    case ACL_C_VID2:
    case ACL_C_CVID:
    case ACL_C_SVID: {
        p_range r = par<p_range>(c);
        snprintf(buf, size, "%s %sin [%d, %d]", name, c->negate ? "not " : "", r.from, r.to);
        return;
    }
    case ACL_C_TPID1:
    case ACL_C_TPID2:
        snprintf(buf, size, "%s is%s 0x%04x", name, c->negate ? " not" : "", par<u16>(c));
        return;
    case ACL_C_IP_PROTOCOL:
        snprintf(buf, size, "%s %s= %u", name, eq, p[0]);
        return;
    case ACL_C_IPV4_SADDR:
    case ACL_C_IPV4_DADDR: {
        p_ipv4 a = par<p_ipv4>(c);
        snprintf(buf, size, "%s & %u.%u.%u.%u %s= %u.%u.%u.%u", name, a.mask >> 24,
                 (a.mask >> 16) & 0xFF, (a.mask >> 8) & 0xFF, a.mask & 0xFF, eq, a.addr >> 24,
                 (a.addr >> 16) & 0xFF, (a.addr >> 8) & 0xFF, a.addr & 0xFF);
        return;
    }
    case ACL_C_IPV4_DSCP:
    case ACL_C_IPV6_DSCP:
    case ACL_C_IPV4_PRECEDENCE:
        snprintf(buf, size, "%s %s= 0x%02x", name, eq, par<u16>(c));
        return;
    case ACL_C_IPV4_TOS:
        snprintf(buf, size, "%s %s= 0x%02x", name, eq, p[0]);
        return;
    case ACL_C_IPV4_FLAGS:
        snprintf(buf, size, "%s %s= %d", name, eq, p[0]);
        return;
    case ACL_C_IPV4_PROTOCOL:
    case ACL_C_IPV6_NEXT_HEADER:
        snprintf(buf, size, "%s %s= 0x%02x (%u)", name, eq, p[0], p[0]);
        return;
    case ACL_C_IPV6_SADDR:
    case ACL_C_IPV6_DADDR:
        snprintf(buf, size,
                 "%s & %04x:%04x:%04x:%04x:%04x:%04x:%04x:%04x %s= "
                 "%04x:%04x:%04x:%04x:%04x:%04x:%04x:%04x",
                 name, rule_get16(p + 16), rule_get16(p + 18), rule_get16(p + 20),
                 rule_get16(p + 22), rule_get16(p + 24), rule_get16(p + 26), rule_get16(p + 28),
                 rule_get16(p + 30), eq, rule_get16(p), rule_get16(p + 2), rule_get16(p + 4),
                 rule_get16(p + 6), rule_get16(p + 8), rule_get16(p + 10), rule_get16(p + 12),
                 rule_get16(p + 14));
        return;
    case ACL_C_IPV6_TRAFFIC_CLASS:
        snprintf(buf, size, "%s %s= 0x%04x", name, eq, par<u32>(c));
        return;
    case ACL_C_IPV6_FLOW_LABEL:
        snprintf(buf, size, "%s %s= 0x%08x", name, eq, par<u32>(c));
        return;
    case ACL_C_ICMPV4_CODE:
        snprintf(buf, size, "%s %s= 0x%02x (%d)", name, eq, p[0], p[0]);
        return;
    case ACL_C_ICMPV6_CODE:
        snprintf(buf, size, "%s %s= 0x%04x (%d)", name, eq, par<u16>(c), par<u16>(c));
        return;
    case ACL_C_COUNTER: {
        p_counter k = par<p_counter>(c);
        snprintf(buf, size, "%s %.39s %s %s %d", "counter", k.name, c->negate ? "!" : "=",
                 acl_cmp2a(k.op), (int)k.value);
        return;
    }
    }
    if (c->type >= ACL_C_TCP_SPORT && c->type <= ACL_C_L4_DPORT) {
        p_range r = par<p_range>(c);
        snprintf(buf, size, "%s %sin [%u, %u]", name, c->negate ? "not " : "", r.from, r.to);
    } else if (c->type >= ACL_C_TCP_SPORT_OP && c->type <= ACL_C_L4_DPORT_OP) {
        p_op o = par<p_op>(c);
        snprintf(buf, size, "%s %s%s %u", name, c->negate ? "not " : "", acl_cmp2a(o.op), o.port);
    } else {
        snprintf(buf, size, "%s%s", c->negate ? "!" : "", name);
    }
}

// Text forms.

namespace {

// A named number: missing -ETOOSMALL, unparsable -EINVAL with the reason said.
int word_num(const char *word, const char *what, long long *v) {
    if (!word || !*word)
        return -ENOARG;
    if (a2num(word, v)) {
        bool hex = word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
        printk(KERN_ERR "Expected %s for %s: '%s'\n", hex ? "hexadecimal" : "decimal", what, word);
        return -EINVAL;
    }
    return 0;
}

int word_tag(const char *word, const char *what, u16 *v) {
    long long n;
    int rc = word_num(word, what, &n);
    if (rc)
        return rc;
    if (n < 0 || n > 65535) {
        printk(KERN_ERR "Out of range for %s.\n", what);
        return -EINVAL;
    }
    *v = (u16)n;
    return 0;
}

int hex_bytes(const char *word, u8 *out, u32 max) {
    size_t n = strlen(word);
    if (n % 2 || n / 2 > max)
        return -EINVAL;
    for (size_t i = 0; i < n / 2; i++) {
        char pair[3] = {word[2 * i], word[2 * i + 1], 0};
        char *end;
        if (!isxdigit((unsigned char)pair[0]) || !isxdigit((unsigned char)pair[1]))
            return -EINVAL;
        out[i] = (u8)strtoul(pair, &end, 16);
    }
    return 0;
}

template <typename T> void put(struct acl_condition *c, const T &v) {
    memcpy(c->param, &v, sizeof(T));
}

} // namespace

int acl_cond_parse(struct acl_engine *acl, char **w, struct acl_condition *c) {
    if (!w[0] || !*w[0])
        return -ENOARG;
    int type = -1;
    for (int i = 0; i < ACL_CONDITIONS && type < 0; i++)
        if (!strcasecmp(w[0], acl_cond_rows[i].name))
            type = i;
    if (type < 0)
        return -EINVAL;
    w++;
    if (w[0] && !strcmp(w[0], "!")) {
        c->negate = 1;
        w++;
    }
    int rc = 0;
    switch (acl_cond_rows[type].kind) {
    case PK_NONE:
        break;
    case PK_PORT: {
        struct jxbridge_port *p;
        if (jxbridge_proc_port(acl->bridge, w[0], &p))
            return -ENODEV;
        strlcpy(c->port.name, p->dev->name, sizeof(c->port.name));
        c->port.port = p;
        break;
    }
    case PK_MAC: {
        u8 mac[6], mask[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
        if (!w[0])
            return -ENOARG;
        if (w[1]) {
            if (parse_mac(w[0], mask) || parse_mac(w[1], mac))
                return -EINVAL;
        } else if (parse_mac(w[0], mac)) {
            return -EINVAL;
        }
        memcpy(c->param, mac, 6);
        memcpy(c->param + 6, mask, 6);
        break;
    }
    case PK_U16: {
        u16 v;
        if ((rc = word_tag(w[0], "value", &v)))
            return rc;
        put(c, v);
        break;
    }
    case PK_U8: {
        long long v;
        if ((rc = word_num(w[0], "value", &v)))
            return rc;
        c->param[0] = (u8)v;
        break;
    }
    case PK_U32: {
        long long v;
        if ((rc = word_num(w[0], "value", &v)))
            return rc;
        put(c, (u32)v);
        break;
    }
    case PK_ETHER_DATA: {
        long long off, len;
        if ((rc = word_num(w[0], "offset", &off)) || (rc = word_num(w[1], "length", &len)))
            return rc;
        if (len < 0 || len > ACL_ETHER_DATA_MAX || off < 0 || off > 0xFFFFFFFFll)
            return -EINVAL;
        if (!w[2] || !w[3])
            return -ENOARG;
        u8 *buf = (u8 *)jxbridge_zalloc(2 * (size_t)len + 1);
        if (!buf)
            return -ENOMEM;
        if (hex_bytes(w[2], buf, (u32)len) || hex_bytes(w[3], buf + len, (u32)len)) {
            kfree(buf);
            return -EINVAL;
        }
        p_ether_data d = {(u32)off, (u32)len, 0, 0};
        put(c, d);
        c->ether_buf = buf;
        break;
    }
    case PK_TAG: {
        p_tag t = {0, 0xFFFF};
        if (w[0] && w[1]) {
            if ((rc = word_tag(w[0], "mask", &t.mask)) || (rc = word_tag(w[1], "tag", &t.tag)))
                return rc;
        } else if ((rc = word_tag(w[0], "tag", &t.tag))) {
            return rc;
        }
        put(c, t);
        break;
    }
    case PK_RANGE: {
        p_range r;
        if ((rc = word_tag(w[0], "from", &r.from)) || (rc = word_tag(w[1], "to", &r.to)))
            return rc;
        put(c, r);
        break;
    }
    case PK_IPV4: {
        p_ipv4 a = {0, 0xFFFFFFFF};
        if (!w[0])
            return -ENOARG;
        if (w[1] ? parse_ipv4(w[0], &a.mask) || parse_ipv4(w[1], &a.addr)
                 : parse_ipv4(w[0], &a.addr))
            return -EINVAL;
        put(c, a);
        break;
    }
    case PK_TOS: {
        long long v, m = 0xFF;
        if (w[0] && w[1]) {
            if ((rc = word_num(w[0], "mask", &m)) || (rc = word_num(w[1], "tos", &v)))
                return rc;
        } else if ((rc = word_num(w[0], "tos", &v))) {
            return rc;
        }
        c->param[0] = (u8)(v & m);
        c->param[1] = (u8)m;
        break;
    }
    case PK_IPV6: {
        u8 a[16], m[16];
        memset(m, 0xFF, sizeof(m));
        if (!w[0])
            return -ENOARG;
        if (w[1] ? parse_ipv6(w[0], m) || parse_ipv6(w[1], a) : parse_ipv6(w[0], a))
            return -EINVAL;
        memcpy(c->param, a, 16);
        memcpy(c->param + 16, m, 16);
        break;
    }
    case PK_L4: {
        if (!w[0] || !*w[0])
            return -ENOARG;
        int op = acl_a2cmp(w[0]);
        if (op >= 0) {
            u16 port;
            if ((rc = word_tag(w[1], "to", &port)))
                return rc;
            p_op o = {(u32)op, port};
            put(c, o);
            type += ACL_C_TCP_SPORT_OP - ACL_C_TCP_SPORT;
        } else {
            p_range r;
            if ((rc = word_tag(w[0], "from", &r.from)) || (rc = word_tag(w[1], "to", &r.to)))
                return rc;
            put(c, r);
        }
        break;
    }
    case PK_COUNTER: {
        p_counter k = {};
        if (!w[0] || !w[1] || !w[2])
            return -ENOARG;
        if (rule_name_from_text(k.name, w[0]))
            return -EINVAL;
        int op = acl_a2cmp(w[1]);
        if (op < 0)
            return op;
        long long v;
        if ((rc = word_num(w[2], "value", &v)))
            return rc;
        k.op = (u32)op;
        k.value = (u32)v;
        put(c, k);
        break;
    }
    }
    c->type = (u32)type;
    return 0;
}

int acl_a2cmp(const char *word) {
    if (!word || !*word)
        return -ENOARG;
    return a2cmp(word);
}
