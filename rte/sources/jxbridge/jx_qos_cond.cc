// The QoS conditions: one row per code with its name, help text and test,
// the tag location by the port's Q-in-Q mode, and the text forms.
#include "jx_qos.h"

namespace {

template <typename T> T par(const struct qos_condition *c) {
    T v;
    memcpy(&v, c->param, sizeof(T));
    return v;
}

#define TRACE(ev, ...) QOS_TRACE((ev)->qos, __VA_ARGS__)

const u8 *l3(const struct qos_eval *ev) {
    return ev->skb->data + ev->f.l3;
}

// VID v is bit 31 - (v mod 32) of the big-endian word v / 32.
bool vid_in_set(const u8 *set, u16 vid) {
    return set[vid >> 3] & (0x80 >> (vid & 7));
}

u16 tci_at(const struct qos_eval *ev, u16 off) {
    return rule_get16(ev->skb->data + off);
}

bool c_true(struct qos_eval *, struct qos_condition *) {
    return true;
}

bool c_sport(struct qos_eval *ev, struct qos_condition *c) {
    struct jxbridge_port *p = acl_port_resolve(ev->qos->bridge, &c->port);
    return p && JXBRIDGE_CB(ev->skb)->in_port_no == p->port_no;
}

bool c_dport(struct qos_eval *ev, struct qos_condition *c) {
    struct jxbridge_port *p = acl_port_resolve(ev->qos->bridge, &c->port);
    return p && JXBRIDGE_CB(ev->skb)->port_no == p->port_no;
}

bool mac_match(const u8 *mac, const struct qos_condition *c) {
    qos_p_mac m = par<qos_p_mac>(c);
    for (int i = 0; i < 6; i++)
        if ((mac[i] & m.mask[i]) != (m.value[i] & m.mask[i]))
            return false;
    return true;
}

bool c_smac(struct qos_eval *ev, struct qos_condition *c) {
    return ev->skb->len >= 12 && mac_match(ev->skb->data + 6, c);
}

bool c_dmac(struct qos_eval *ev, struct qos_condition *c) {
    return ev->skb->len >= 6 && mac_match(ev->skb->data, c);
}

bool c_ether_type(struct qos_eval *ev, struct qos_condition *c) {
    return ev->f.etype_off && ev->f.ethertype == par<u32>(c);
}

bool vid_match(struct qos_eval *ev, struct qos_condition *c, u16 off) {
    return off && vid_in_set(c->param, tci_at(ev, off) & 0xFFF);
}

bool cos_match(struct qos_eval *ev, struct qos_condition *c, u16 off) {
    return off && (u32)(tci_at(ev, off) >> 13) == par<u32>(c);
}

bool c_vid(struct qos_eval *ev, struct qos_condition *c) {
    return vid_match(ev, c, ev->f.outer);
}
bool c_cos(struct qos_eval *ev, struct qos_condition *c) {
    return cos_match(ev, c, ev->f.outer);
}
bool c_secondary_vid(struct qos_eval *ev, struct qos_condition *c) {
    return vid_match(ev, c, ev->f.inner);
}
bool c_secondary_cos(struct qos_eval *ev, struct qos_condition *c) {
    return cos_match(ev, c, ev->f.inner);
}

bool c_svid(struct qos_eval *ev, struct qos_condition *c) {
    u16 off;
    return qos_find_stag(ev, &off) && vid_match(ev, c, off);
}
bool c_scos(struct qos_eval *ev, struct qos_condition *c) {
    u16 off;
    return qos_find_stag(ev, &off) && cos_match(ev, c, off);
}
bool c_cvid(struct qos_eval *ev, struct qos_condition *c) {
    u16 off;
    if (!qos_find_ctag(ev, &off))
        return false;
    u16 vid = tci_at(ev, off) & 0xFFF;
    const struct qos_entry *e = ev->entry;
    return vid_in_set(c->param, vid) || (e && e->ext_cvid != QOS_NO_CVID && e->ext_cvid == vid);
}
bool c_ccos(struct qos_eval *ev, struct qos_condition *c) {
    u16 off;
    return qos_find_ctag(ev, &off) && cos_match(ev, c, off);
}

bool c_ip_protocol(struct qos_eval *ev, struct qos_condition *c) {
    return ev->f.ipv4 && l3(ev)[9] == par<u32>(c);
}
bool c_ipv6_protocol(struct qos_eval *ev, struct qos_condition *c) {
    return ev->f.ipv6 && l3(ev)[6] == par<u32>(c);
}

bool ipv4_match(struct qos_eval *ev, struct qos_condition *c, int at) {
    if (!ev->f.ipv4)
        return false;
    qos_p_ipv4 v = par<qos_p_ipv4>(c);
    return (rule_get32(l3(ev) + at) & v.mask) == (v.value & v.mask);
}
bool c_ipv4_saddr(struct qos_eval *ev, struct qos_condition *c) {
    return ipv4_match(ev, c, 12);
}
bool c_ipv4_daddr(struct qos_eval *ev, struct qos_condition *c) {
    return ipv4_match(ev, c, 16);
}

// The TOS octet, or the IPv6 traffic class where v6 is allowed; -1 none.
int tos_of(struct qos_eval *ev, bool v6) {
    if (ev->f.ipv4)
        return l3(ev)[1];
    if (v6 && ev->f.ipv6)
        return (u8)(rule_get16(l3(ev)) >> 4);
    return -1;
}
bool dscp_match(struct qos_eval *ev, struct qos_condition *c, bool v6) {
    int t = tos_of(ev, v6);
    return t >= 0 && (u32)(t >> 2) == par<u32>(c);
}
bool tos_match(struct qos_eval *ev, struct qos_condition *c, bool v6) {
    int t = tos_of(ev, v6);
    qos_p_value v = par<qos_p_value>(c);
    return t >= 0 && ((u32)t & v.mask) == (v.value & v.mask);
}
bool prec_match(struct qos_eval *ev, struct qos_condition *c, bool v6) {
    int t = tos_of(ev, v6);
    return t >= 0 && (u32)(t >> 5) == par<u32>(c);
}
bool c_ipv4_dscp(struct qos_eval *ev, struct qos_condition *c) {
    return dscp_match(ev, c, false);
}
bool c_ipv4_tos(struct qos_eval *ev, struct qos_condition *c) {
    return tos_match(ev, c, false);
}
bool c_ipv4_precedence(struct qos_eval *ev, struct qos_condition *c) {
    return prec_match(ev, c, false);
}
bool c_ip_dscp(struct qos_eval *ev, struct qos_condition *c) {
    return dscp_match(ev, c, true);
}
bool c_ip_tos(struct qos_eval *ev, struct qos_condition *c) {
    return tos_match(ev, c, true);
}
bool c_ip_precedence(struct qos_eval *ev, struct qos_condition *c) {
    return prec_match(ev, c, true);
}

bool ipv6_match(struct qos_eval *ev, struct qos_condition *c, int at) {
    if (!ev->f.ipv6)
        return false;
    qos_p_ipv6 v = par<qos_p_ipv6>(c);
    const u8 *a = l3(ev) + at;
    for (int i = 0; i < 16; i++)
        if ((a[i] & v.mask[i]) != (v.value[i] & v.mask[i]))
            return false;
    return true;
}
bool c_ipv6_saddr(struct qos_eval *ev, struct qos_condition *c) {
    return ipv6_match(ev, c, 8);
}
bool c_ipv6_daddr(struct qos_eval *ev, struct qos_condition *c) {
    return ipv6_match(ev, c, 24);
}
bool c_ipv6_traffic_class(struct qos_eval *ev, struct qos_condition *c) {
    return ev->f.ipv6 && (u8)(rule_get16(l3(ev)) >> 4) == par<u32>(c);
}
bool c_ipv6_flow_label(struct qos_eval *ev, struct qos_condition *c) {
    return ev->f.ipv6 && (rule_get32(l3(ev)) & 0xFFFFF) == par<u32>(c);
}
bool c_ipv6_next_header(struct qos_eval *ev, struct qos_condition *c) {
    return ev->f.ipv6 && l3(ev)[6] == par<u32>(c);
}

// proto 0: TCP or UDP; at 0 the source port, 2 the destination.
bool l4_match(struct qos_eval *ev, struct qos_condition *c, u8 proto, int at) {
    u8 p = ev->f.l4proto;
    if (!ev->f.l4 || (proto ? p != proto : p != RULE_IPPROTO_TCP && p != RULE_IPPROTO_UDP))
        return false;
    u32 port = rule_get16(ev->skb->data + ev->f.l4 + at);
    qos_p_range r = par<qos_p_range>(c);
    return port >= r.from && port <= r.to;
}
bool c_tcp_sport(struct qos_eval *ev, struct qos_condition *c) {
    return l4_match(ev, c, RULE_IPPROTO_TCP, 0);
}
bool c_tcp_dport(struct qos_eval *ev, struct qos_condition *c) {
    return l4_match(ev, c, RULE_IPPROTO_TCP, 2);
}
bool c_udp_sport(struct qos_eval *ev, struct qos_condition *c) {
    return l4_match(ev, c, RULE_IPPROTO_UDP, 0);
}
bool c_udp_dport(struct qos_eval *ev, struct qos_condition *c) {
    return l4_match(ev, c, RULE_IPPROTO_UDP, 2);
}
bool c_l4_sport(struct qos_eval *ev, struct qos_condition *c) {
    return l4_match(ev, c, 0, 0);
}
bool c_l4_dport(struct qos_eval *ev, struct qos_condition *c) {
    return l4_match(ev, c, 0, 2);
}
bool c_icmpv4_code(struct qos_eval *ev, struct qos_condition *c) {
    return ev->f.ipv4 && ev->f.l4 && ev->f.l4proto == RULE_IPPROTO_ICMP &&
           ev->skb->data[ev->f.l4] == par<u32>(c);
}
bool c_icmpv6_code(struct qos_eval *ev, struct qos_condition *c) {
    return ev->f.ipv6 && ev->f.l4 && ev->f.l4proto == RULE_IPPROTO_ICMPV6 &&
           rule_get16(ev->skb->data + ev->f.l4) == par<u32>(c);
}

// How a row's parameters are read from text.
enum : u8 { T_NONE, T_PORT, T_MAC, T_NUM, T_VIDS, T_IPV4, T_TOS, T_IPV6, T_RANGE, T_NOTEXT };

} // namespace

const struct qos_cond_row qos_cond_rows[QOS_CONDITIONS] = {
    {"true", "", T_NONE, c_true},
    {"sport", "<port>", T_PORT, c_sport},
    {"dport", "<port>", T_PORT, c_dport},
    {"smac", "<mask> <mac>", T_MAC, c_smac},
    {"dmac", "<mask> <mac>", T_MAC, c_dmac},
    {"ether_type", "<type>", T_NUM, c_ether_type},
    {"vid", "", T_NOTEXT, c_vid},
    {"cos", "", T_NOTEXT, c_cos},
    {"secondary_vid", "", T_NOTEXT, c_secondary_vid},
    {"secondary_cos", "", T_NOTEXT, c_secondary_cos},
    {"svid", "<vid> [<last-vid>]", T_VIDS, c_svid},
    {"scos", "<cos>", T_NUM, c_scos},
    {"cvid", "<vid> [<last-vid>]", T_VIDS, c_cvid},
    {"ccos", "<cos>", T_NUM, c_ccos},
    {"ip_protocol", "<protocol>", T_NUM, c_ip_protocol},
    {"ipv4_saddr", "<mask> <address>", T_IPV4, c_ipv4_saddr},
    {"ipv4_daddr", "<mask> <address>", T_IPV4, c_ipv4_daddr},
    {"ipv4_dscp", "<dscp>", T_NUM, c_ipv4_dscp},
    {"ipv4_tos", "<tos> [<mask>]", T_TOS, c_ipv4_tos},
    {"ipv4_precedence", "<precedence>", T_NUM, c_ipv4_precedence},
    {"ipv4_protocol", "<next-header>", T_NUM, c_ipv6_protocol},
    {"ip_dscp", "", T_NOTEXT, c_ip_dscp},
    {"ip_tos", "", T_NOTEXT, c_ip_tos},
    {"ip_precedence", "", T_NOTEXT, c_ip_precedence},
    {"ipv6_saddr", "<address> [<mask>]", T_IPV6, c_ipv6_saddr},
    {"ipv6_daddr", "<address> [<mask>]", T_IPV6, c_ipv6_daddr},
    {"ipv6_traffic_class", "<class>", T_NUM, c_ipv6_traffic_class},
    {"ipv6_flow_label", "<label>", T_NUM, c_ipv6_flow_label},
    {"ipv6_next_header", "<next-header>", T_NUM, c_ipv6_next_header},
    {"tcp_sport", "<from> [<to>]", T_RANGE, c_tcp_sport},
    {"tcp_dport", "<from> [<to>]", T_RANGE, c_tcp_dport},
    {"udp_sport", "<from> [<to>]", T_RANGE, c_udp_sport},
    {"udp_dport", "<from> [<to>]", T_RANGE, c_udp_dport},
    {"l4_sport", "", T_NOTEXT, c_l4_sport},
    {"l4_dport", "", T_NOTEXT, c_l4_dport},
    {"icmpv4_code", "<code>", T_NUM, c_icmpv4_code},
    {"icmpv6_code", "<code>", T_NUM, c_icmpv6_code},
};

int qos_cond_code(const char *name) {
    for (u32 i = 0; i < QOS_CONDITIONS; i++)
        if (!strcasecmp(qos_cond_rows[i].name, name))
            return (int)i;
    return -1;
}

// The S-tag (want_s) or the C-tag of the frame, as the port's mode places them.
static bool qos_find_tag(struct qos_eval *ev, bool want_s, u16 *off) {
    u32 mode;
    if (!ev->port || vlan_qinq_get_port_mode(ev->port, &mode)) {
        TRACE(ev, "[QOS]           Error reading PEB Mode.\n");
        return false;
    }
    const struct rule_frame *f = &ev->f;
    if (!f->outer) {
        TRACE(ev, "[QOS]            No tag present.\n");
        return false;
    }
    u16 outer_tpid = rule_get16(ev->skb->data + f->outer - 2);
    if (mode == VLAN_QINQ_BRIDGE) {
        if (want_s || outer_tpid != RULE_ETH_P_8021Q) {
            TRACE(ev, "[QOS]           Bridge mode - no S-VID present.\n");
            return false;
        }
        *off = f->outer;
        return true;
    }
    if (outer_tpid != vlan_get_ethertype(ev->qos->bridge)) {
        TRACE(ev, "[QOS]           Only inner tag present - invalid frame.\n");
        return false;
    }
    if (want_s) {
        *off = f->outer;
        return true;
    }
    if (!f->inner || rule_get16(ev->skb->data + f->inner - 2) != RULE_ETH_P_8021Q) {
        TRACE(ev, "[QOS]           Only outer tag - no C-tag present.\n");
        return false;
    }
    *off = f->inner;
    return true;
}

bool qos_find_stag(struct qos_eval *ev, u16 *off) {
    return qos_find_tag(ev, true, off);
}

bool qos_find_ctag(struct qos_eval *ev, u16 *off) {
    return qos_find_tag(ev, false, off);
}

static int word_num(const char *word, u32 max, u32 *out) {
    long long n;
    if (!word || !*word)
        return -ENOARG;
    if (a2num(word, &n))
        return -EINVAL;
    if (n < 0 || n > max)
        return -ERANGE;
    *out = (u32)n;
    return 0;
}

int qos_cond_parse(char **w, struct qos_condition *c) {
    int code = qos_cond_code(w[0]);
    if (code < 0 || qos_cond_rows[code].text == T_NOTEXT)
        return -EINVAL;
    c->code = (u32)code;
    int rc = 0;
    switch (qos_cond_rows[code].text) {
    case T_PORT:
        if (!w[1])
            return -ENOARG;
        if (strlen(w[1]) >= sizeof(c->port.name))
            return -EINVAL;
        strlcpy(c->port.name, w[1], sizeof(c->port.name));
        break;
    case T_MAC: {
        qos_p_mac m;
        if (!w[1] || !w[2])
            return -ENOARG;
        if (parse_mac(w[1], m.mask) || parse_mac(w[2], m.value))
            return -EINVAL;
        memcpy(c->param, &m, sizeof(m));
        break;
    }
    case T_NUM: {
        u32 v;
        if ((rc = word_num(w[1], 0xFFFFFFFF, &v)))
            return rc;
        memcpy(c->param, &v, sizeof(v));
        break;
    }
    case T_VIDS: {
        u32 from, to;
        if ((rc = word_num(w[1], 4095, &from)))
            return rc;
        to = from;
        if (w[2] && (rc = word_num(w[2], 4095, &to)))
            return rc;
        if (to < from)
            std::swap(from, to);
        for (u32 v = from; v <= to; v++)
            c->param[v >> 3] |= (u8)(0x80 >> (v & 7));
        break;
    }
    case T_IPV4: {
        qos_p_ipv4 a;
        if (!w[1] || !w[2])
            return -ENOARG;
        if (parse_ipv4(w[1], &a.mask) || parse_ipv4(w[2], &a.value))
            return -EINVAL;
        memcpy(c->param, &a, sizeof(a));
        break;
    }
    case T_TOS: {
        qos_p_value v = {0, 0xFF};
        if ((rc = word_num(w[1], 0xFF, &v.value)) || (w[2] && (rc = word_num(w[2], 0xFF, &v.mask))))
            return rc;
        memcpy(c->param, &v, sizeof(v));
        break;
    }
    case T_IPV6: {
        qos_p_ipv6 a;
        memset(a.mask, 0xFF, sizeof(a.mask));
        if (!w[1])
            return -ENOARG;
        if (parse_ipv6(w[1], a.value) || (w[2] && parse_ipv6(w[2], a.mask)))
            return -EINVAL;
        memcpy(c->param, &a, sizeof(a));
        break;
    }
    case T_RANGE: {
        qos_p_range r;
        if ((rc = word_num(w[1], 0xFFFF, &r.from)))
            return rc;
        r.to = r.from;
        if (w[2] && (rc = word_num(w[2], 0xFFFF, &r.to)))
            return rc;
        memcpy(c->param, &r, sizeof(r));
        break;
    }
    default:
        break;
    }
    return 0;
}

void qos_cond_list(const struct qos_condition *c, char *buf, size_t size) {
    const char *name = c->code < QOS_CONDITIONS ? qos_cond_rows[c->code].name : "unknown";
    switch (c->code < QOS_CONDITIONS ? qos_cond_rows[c->code].text : (u8)T_NONE) {
    case T_PORT:
        snprintf(buf, size, "%u: %s %s", c->number, name, c->port.name);
        break;
    case T_MAC: {
        qos_p_mac m = par<qos_p_mac>(c);
        snprintf(buf, size, "%u: %s %02x:%02x:%02x:%02x:%02x:%02x/%02x:%02x:%02x:%02x:%02x:%02x",
                 c->number, name, m.value[0], m.value[1], m.value[2], m.value[3], m.value[4],
                 m.value[5], m.mask[0], m.mask[1], m.mask[2], m.mask[3], m.mask[4], m.mask[5]);
        break;
    }
    case T_VIDS: {
        int first = -1;
        for (int v = 0; v < 4096 && first < 0; v++)
            if (vid_in_set(c->param, (u16)v))
                first = v;
        snprintf(buf, size, "%u: %s %d...", c->number, name, first);
        break;
    }
    case T_IPV4:
    case T_TOS:
    case T_RANGE: {
        qos_p_range r = par<qos_p_range>(c);
        snprintf(buf, size, "%u: %s 0x%x 0x%x", c->number, name, r.from, r.to);
        break;
    }
    case T_NONE:
        snprintf(buf, size, "%u: %s", c->number, name);
        break;
    default:
        snprintf(buf, size, "%u: %s %u", c->number, name, par<u32>(c));
        break;
    }
}
