// The access-authentication conditions: one row per code, the DHCPv4 option
// walk the DHCP conditions and the requests read, and the text forms.
#include "jx_tal.h"

#include <cstdio>

namespace {

template <typename T> T par(const struct tal_condition *c) {
    T v;
    memcpy(&v, c->param, sizeof(T));
    return v;
}

const u8 *data(const struct tal_eval *ev) {
    return ev->skb->data;
}
const u8 *l3(const struct tal_eval *ev) {
    return ev->skb->data + ev->f.l3;
}

bool c_true(struct tal_eval *, struct tal_condition *) {
    return true;
}

bool c_sport(struct tal_eval *ev, struct tal_condition *c) {
    struct jxbridge_port *p = acl_port_resolve(ev->tal->bridge, &c->port);
    return p && JXBRIDGE_CB(ev->skb)->in_port_no == p->port_no;
}
bool c_dport(struct tal_eval *ev, struct tal_condition *c) {
    struct jxbridge_port *p = acl_port_resolve(ev->tal->bridge, &c->port);
    return p && JXBRIDGE_CB(ev->skb)->port_no == p->port_no;
}

bool mac_match(const u8 *mac, const struct tal_condition *c) {
    tal_p_mac m = par<tal_p_mac>(c);
    for (int i = 0; i < 6; i++)
        if ((mac[i] & m.mask[i]) != (m.value[i] & m.mask[i]))
            return false;
    return true;
}
bool c_smac(struct tal_eval *ev, struct tal_condition *c) {
    return ev->skb->len >= 12 && mac_match(data(ev) + 6, c);
}
bool c_dmac(struct tal_eval *ev, struct tal_condition *c) {
    return ev->skb->len >= 6 && mac_match(data(ev), c);
}
bool c_ether_type(struct tal_eval *ev, struct tal_condition *c) {
    return ev->f.etype_off && ev->f.ethertype == par<u32>(c);
}

bool c_outer_vid(struct tal_eval *ev, struct tal_condition *c) {
    return ev->f.outer && (rule_get16(data(ev) + ev->f.outer) & 0xFFF) == par<u32>(c);
}
bool c_outer_cos(struct tal_eval *ev, struct tal_condition *c) {
    return ev->f.outer && (u32)(rule_get16(data(ev) + ev->f.outer) >> 13) == par<u32>(c);
}
bool c_inner_vid(struct tal_eval *ev, struct tal_condition *c) {
    return ev->f.inner && (rule_get16(data(ev) + ev->f.inner) & 0xFFF) == par<u32>(c);
}
bool c_inner_cos(struct tal_eval *ev, struct tal_condition *c) {
    return ev->f.inner && (u32)(rule_get16(data(ev) + ev->f.inner) >> 13) == par<u32>(c);
}

bool c_ip_protocol(struct tal_eval *ev, struct tal_condition *c) {
    return (ev->f.ipv4 || ev->f.ipv6) && ev->f.l4proto == par<u32>(c);
}

bool ipv4_match(struct tal_eval *ev, struct tal_condition *c, int at) {
    if (!ev->f.ipv4)
        return false;
    tal_p_value v = par<tal_p_value>(c);
    return (rule_get32(l3(ev) + at) & v.mask) == (v.value & v.mask);
}
bool c_ipv4_saddr(struct tal_eval *ev, struct tal_condition *c) {
    return ipv4_match(ev, c, 12);
}
bool c_ipv4_daddr(struct tal_eval *ev, struct tal_condition *c) {
    return ipv4_match(ev, c, 16);
}
bool c_ipv4_dscp(struct tal_eval *ev, struct tal_condition *c) {
    return ev->f.ipv4 && (u32)(l3(ev)[1] >> 2) == par<u32>(c);
}
bool c_ipv4_tos(struct tal_eval *ev, struct tal_condition *c) {
    tal_p_value v = par<tal_p_value>(c);
    return ev->f.ipv4 && (l3(ev)[1] & v.mask) == (v.value & v.mask);
}
bool c_ipv4_precedence(struct tal_eval *ev, struct tal_condition *c) {
    return ev->f.ipv4 && (u32)(l3(ev)[1] >> 5) == par<u32>(c);
}

bool ipv6_match(struct tal_eval *ev, struct tal_condition *c, int at) {
    if (!ev->f.ipv6)
        return false;
    tal_p_ipv6 v = par<tal_p_ipv6>(c);
    const u8 *a = l3(ev) + at;
    for (int i = 0; i < 16; i++)
        if ((a[i] & v.mask[i]) != (v.value[i] & v.mask[i]))
            return false;
    return true;
}
bool c_ipv6_saddr(struct tal_eval *ev, struct tal_condition *c) {
    return ipv6_match(ev, c, 8);
}
bool c_ipv6_daddr(struct tal_eval *ev, struct tal_condition *c) {
    return ipv6_match(ev, c, 24);
}
bool c_ipv6_traffic_class(struct tal_eval *ev, struct tal_condition *c) {
    return ev->f.ipv6 && (u8)(rule_get16(l3(ev)) >> 4) == par<u32>(c);
}
bool c_ipv6_flow_label(struct tal_eval *ev, struct tal_condition *c) {
    return ev->f.ipv6 && (rule_get32(l3(ev)) & 0xFFFFF) == par<u32>(c);
}
bool c_ipv6_next_header(struct tal_eval *ev, struct tal_condition *c) {
    return ev->f.ipv6 && l3(ev)[6] == par<u32>(c);
}
bool c_icmpv4_code(struct tal_eval *ev, struct tal_condition *c) {
    return ev->f.ipv4 && ev->f.l4 && ev->f.l4proto == RULE_IPPROTO_ICMP &&
           data(ev)[ev->f.l4] == par<u32>(c);
}
bool c_icmpv6_code(struct tal_eval *ev, struct tal_condition *c) {
    return ev->f.ipv6 && ev->f.l4 && ev->f.l4proto == RULE_IPPROTO_ICMPV6 &&
           rule_get16(data(ev) + ev->f.l4) == par<u32>(c);
}

bool l4_match(struct tal_eval *ev, struct tal_condition *c, u8 proto, int at) {
    if (!ev->f.l4 || ev->f.l4proto != proto)
        return false;
    u32 port = rule_get16(data(ev) + ev->f.l4 + at);
    tal_p_range r = par<tal_p_range>(c);
    return port >= r.from && port <= r.to;
}
bool c_tcp_sport(struct tal_eval *ev, struct tal_condition *c) {
    return l4_match(ev, c, RULE_IPPROTO_TCP, 0);
}
bool c_tcp_dport(struct tal_eval *ev, struct tal_condition *c) {
    return l4_match(ev, c, RULE_IPPROTO_TCP, 2);
}
bool c_udp_sport(struct tal_eval *ev, struct tal_condition *c) {
    return l4_match(ev, c, RULE_IPPROTO_UDP, 0);
}
bool c_udp_dport(struct tal_eval *ev, struct tal_condition *c) {
    return l4_match(ev, c, RULE_IPPROTO_UDP, 2);
}

// The option at off (its length byte) holds exactly the configured bytes.
bool opt_is(struct tal_eval *ev, u16 off, struct tal_condition *c) {
    if (!off)
        return false;
    const u8 *o = data(ev) + off;
    tal_p_bytes b;
    memcpy(&b, c->param, sizeof(b));
    return o[0] == b.len && !memcmp(o + 1, b.data, b.len);
}

// Offsets of the known options, for `dhcp_option`.
u16 opt_offset(struct tal_eval *ev, u32 code) {
    switch (code) {
    case 53:
        return ev->opt53;
    case 60:
        return ev->opt60;
    case 61:
        return ev->opt61;
    case 82:
        return ev->opt82;
    }
    return 0;
}

bool c_dhcp_option(struct tal_eval *ev, struct tal_condition *c) {
    return opt_offset(ev, par<u32>(c)) != 0;
}
bool c_dhcp_msg_type(struct tal_eval *ev, struct tal_condition *c) {
    return ev->opt53 && data(ev)[ev->opt53] >= 1 && data(ev)[ev->opt53 + 1] == par<u32>(c);
}
bool c_dhcp_vendor_id(struct tal_eval *ev, struct tal_condition *c) {
    return opt_is(ev, ev->opt60, c);
}
bool c_dhcp_client_id(struct tal_eval *ev, struct tal_condition *c) {
    return opt_is(ev, ev->opt61, c);
}
bool c_dhcp_circuit_id(struct tal_eval *ev, struct tal_condition *c) {
    return opt_is(ev, ev->circuit, c);
}
bool c_dhcp_remote_id(struct tal_eval *ev, struct tal_condition *c) {
    return opt_is(ev, ev->remote, c);
}
bool c_user_mask(struct tal_eval *ev, struct tal_condition *c) {
    tal_p_user u = par<tal_p_user>(c);
    if ((u64)u.offset + 4 > ev->skb->len)
        return false;
    return (rule_get32(data(ev) + u.offset) & u.mask) == (u.value & u.mask);
}

// How a row's parameters are written in text.
enum : u8 { K_NONE, K_PORT, K_MAC, K_NUM, K_IPV4, K_TOS, K_IPV6, K_RANGE, K_BYTES, K_USER };

} // namespace

const struct tal_cond_row tal_cond_rows[TAL_CONDITIONS] = {
    {"true", "", K_NONE, c_true},
    {"sport", "<port>", K_PORT, c_sport},
    {"dport", "<port>", K_PORT, c_dport},
    {"smac", "[<mask>] <mac>", K_MAC, c_smac},
    {"dmac", "[<mask>] <mac>", K_MAC, c_dmac},
    {"ether_type", "<type>", K_NUM, c_ether_type},
    {"outer_vid", "<vid>", K_NUM, c_outer_vid},
    {"outer_cos", "<cos>", K_NUM, c_outer_cos},
    {"inner_vid", "<vid>", K_NUM, c_inner_vid},
    {"inner_cos", "<cos>", K_NUM, c_inner_cos},
    {"ip_protocol", "<protocol>", K_NUM, c_ip_protocol},
    {"ipv4_saddr", "[<mask>] <address>", K_IPV4, c_ipv4_saddr},
    {"ipv4_daddr", "[<mask>] <address>", K_IPV4, c_ipv4_daddr},
    {"ipv4_dscp", "<dscp>", K_NUM, c_ipv4_dscp},
    {"ipv4_tos", "[<mask>] <tos>", K_TOS, c_ipv4_tos},
    {"ipv4_precedence", "<precedence>", K_NUM, c_ipv4_precedence},
    {"ipv4_protocol", "<protocol>", K_NUM, c_ip_protocol},
    {"ipv6_saddr", "[<mask>] <address>", K_IPV6, c_ipv6_saddr},
    {"ipv6_daddr", "[<mask>] <address>", K_IPV6, c_ipv6_daddr},
    {"ipv6_traffic_class", "<class>", K_NUM, c_ipv6_traffic_class},
    {"ipv6_flow_label", "<label>", K_NUM, c_ipv6_flow_label},
    {"ipv6_next_header", "<next-header>", K_NUM, c_ipv6_next_header},
    {"icmpv4_code", "<code>", K_NUM, c_icmpv4_code},
    {"icmpv6_code", "<code>", K_NUM, c_icmpv6_code},
    {"tcp_sport", "<from> [<to>]", K_RANGE, c_tcp_sport},
    {"tcp_dport", "<from> [<to>]", K_RANGE, c_tcp_dport},
    {"udp_sport", "<from> [<to>]", K_RANGE, c_udp_sport},
    {"udp_dport", "<from> [<to>]", K_RANGE, c_udp_dport},
    {"dhcp_option", "<code>", K_NUM, c_dhcp_option},
    {"dhcp_msg_type", "<type>", K_NUM, c_dhcp_msg_type},
    {"dhcp_vendor_id", "<text|0xhex>", K_BYTES, c_dhcp_vendor_id},
    {"dhcp_client_id", "<text|0xhex>", K_BYTES, c_dhcp_client_id},
    {"dhcp_circuit_id", "<text|0xhex>", K_BYTES, c_dhcp_circuit_id},
    {"dhcp_remote_id", "<text|0xhex>", K_BYTES, c_dhcp_remote_id},
    {"user_mask", "<offset> <mask> <value>", K_USER, c_user_mask},
};

const char *const tal_action_names[TAL_ACTIONS] = {"drop", "pass", "send_authen_req",
                                                   "send_author_req"};

// The largest value of a K_NUM parameter: values beyond it cannot match.
static u32 num_limit(u32 code) {
    switch (code) {
    case TAL_C_OUTER_VID:
    case TAL_C_INNER_VID:
        return 4095;
    case TAL_C_OUTER_COS:
    case TAL_C_INNER_COS:
    case TAL_C_IPV4_PRECEDENCE:
        return 7;
    case TAL_C_IPV4_DSCP:
        return 63;
    case TAL_C_IPV6_FLOW_LABEL:
        return 0xFFFFF;
    case TAL_C_ETHER_TYPE:
    case TAL_C_ICMPV6_CODE:
        return 0xFFFF;
    }
    return 255;
}

int tal_cond_check(const struct tal_condition *c) {
    if (c->code >= TAL_CONDITIONS)
        return -EINVAL;
    switch (tal_cond_rows[c->code].kind) {
    case K_NUM:
        return par<u32>(c) > num_limit(c->code) ? -ERANGE : 0;
    case K_RANGE: {
        tal_p_range r = par<tal_p_range>(c);
        return r.from > r.to || r.to > 0xFFFF ? -ERANGE : 0;
    }
    case K_BYTES:
        return par<u32>(c) > TAL_OPT_MAX ? -ERANGE : 0;
    case K_PORT:
        return c->port.name[0] ? 0 : -EINVAL;
    }
    return 0;
}

// "0x..." gives bytes in hexadecimal, anything else the word's own bytes.
static int bytes_word(const char *w, struct tal_p_bytes *b) {
    size_t n = strlen(w);
    if (n > 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X')) {
        w += 2;
        n -= 2;
        if (n % 2 || n / 2 > TAL_OPT_MAX)
            return -EINVAL;
        for (size_t i = 0; i < n / 2; i++) {
            unsigned v;
            if (!isxdigit((unsigned char)w[2 * i]) || !isxdigit((unsigned char)w[2 * i + 1]) ||
                sscanf(w + 2 * i, "%2x", &v) != 1)
                return -EINVAL;
            b->data[i] = (u8)v;
        }
        b->len = (u32)(n / 2);
        return 0;
    }
    if (n > TAL_OPT_MAX)
        return -ERANGE;
    memcpy(b->data, w, n);
    b->len = (u32)n;
    return 0;
}

// A value word, or with two words a mask and then the value.
static void mask_value(char **w, const char **mask, const char **value) {
    *mask = w[1] ? w[0] : nullptr;
    *value = w[1] ? w[1] : w[0];
}

int tal_cond_parse(char **w, struct tal_condition *c) {
    int code = -1;
    for (u32 i = 0; i < TAL_CONDITIONS && code < 0; i++)
        if (!strcasecmp(tal_cond_rows[i].name, w[0]))
            code = (int)i;
    if (code < 0)
        return -EINVAL;
    c->code = (u32)code;
    char **a = w + 1;
    u8 kind = tal_cond_rows[code].kind;
    if (kind != K_NONE && !a[0])
        return -ENOARG;
    const char *mask, *value;
    int rc = 0;
    switch (kind) {
    case K_NONE:
        return 0;
    case K_PORT:
        if (strlen(a[0]) >= sizeof(c->port.name))
            return -EINVAL;
        strcpy(c->port.name, a[0]);
        return 0;
    case K_MAC: {
        tal_p_mac m;
        memset(m.mask, 0xFF, 6);
        mask_value(a, &mask, &value);
        if ((mask && parse_mac(mask, m.mask)) || parse_mac(value, m.value))
            return -EINVAL;
        memcpy(c->param, &m, sizeof(m));
        return 0;
    }
    case K_NUM: {
        u32 v;
        if ((rc = word_u32(a[0], &v)))
            return rc;
        memcpy(c->param, &v, 4);
        return tal_cond_check(c);
    }
    case K_IPV4: {
        tal_p_value v = {0, 0xFFFFFFFFu};
        mask_value(a, &mask, &value);
        if ((mask && parse_ipv4(mask, &v.mask)) || parse_ipv4(value, &v.value))
            return -EINVAL;
        memcpy(c->param, &v, sizeof(v));
        return 0;
    }
    case K_TOS: {
        tal_p_value v = {0, 0xFF};
        mask_value(a, &mask, &value);
        if ((mask && (rc = word_u32(mask, &v.mask))) || (rc = word_u32(value, &v.value)))
            return rc;
        if (v.value > 255 || v.mask > 255)
            return -ERANGE;
        memcpy(c->param, &v, sizeof(v));
        return 0;
    }
    case K_IPV6: {
        tal_p_ipv6 v;
        memset(v.mask, 0xFF, 16);
        mask_value(a, &mask, &value);
        if ((mask && parse_ipv6(mask, v.mask)) || parse_ipv6(value, v.value))
            return -EINVAL;
        memcpy(c->param, &v, sizeof(v));
        return 0;
    }
    case K_RANGE: {
        tal_p_range r;
        if ((rc = word_u32(a[0], &r.from)) || (a[1] && (rc = word_u32(a[1], &r.to))))
            return rc;
        if (!a[1])
            r.to = r.from;
        memcpy(c->param, &r, sizeof(r));
        return tal_cond_check(c);
    }
    case K_BYTES: {
        tal_p_bytes b = {};
        if ((rc = bytes_word(a[0], &b)))
            return rc;
        memcpy(c->param, &b, sizeof(b));
        return 0;
    }
    case K_USER: {
        tal_p_user u;
        if (!a[1] || !a[2])
            return -ENOARG;
        if ((rc = word_u32(a[0], &u.offset)) || (rc = word_u32(a[1], &u.mask)) ||
            (rc = word_u32(a[2], &u.value)))
            return rc;
        memcpy(c->param, &u, sizeof(u));
        return 0;
    }
    }
    return -EINVAL;
}

void tal_cond_form(const struct tal_condition *c, char *buf, size_t size) {
    const char *name = c->code < TAL_CONDITIONS ? tal_cond_rows[c->code].name : "?";
    int n = snprintf(buf, size, "%u. %s", c->number, name);
    if (n < 0 || (size_t)n >= size || c->code >= TAL_CONDITIONS)
        return;
    char *p = buf + n;
    size_t left = size - (size_t)n;
    switch (tal_cond_rows[c->code].kind) {
    case K_PORT:
        snprintf(p, left, " %s", c->port.name);
        break;
    case K_MAC: {
        tal_p_mac m = par<tal_p_mac>(c);
        snprintf(p, left, " %02x:%02x:%02x:%02x:%02x:%02x/%02x:%02x:%02x:%02x:%02x:%02x",
                 m.value[0], m.value[1], m.value[2], m.value[3], m.value[4], m.value[5], m.mask[0],
                 m.mask[1], m.mask[2], m.mask[3], m.mask[4], m.mask[5]);
        break;
    }
    case K_NUM:
        snprintf(p, left, " %u", par<u32>(c));
        break;
    case K_IPV4:
    case K_TOS: {
        tal_p_value v = par<tal_p_value>(c);
        snprintf(p, left, " 0x%08x/0x%08x", v.value, v.mask);
        break;
    }
    case K_RANGE: {
        tal_p_range r = par<tal_p_range>(c);
        snprintf(p, left, " %u-%u", r.from, r.to);
        break;
    }
    case K_BYTES: {
        u32 len = par<u32>(c);
        int k = snprintf(p, left, " (%u) 0x", len);
        for (u32 i = 0; k > 0 && (size_t)k + 2 < left && i < len && i < TAL_OPT_MAX; i++)
            k += snprintf(p + k, left - (size_t)k, "%02x", c->param[4 + i]);
        break;
    }
    case K_USER: {
        tal_p_user u = par<tal_p_user>(c);
        snprintf(p, left, " @%u 0x%08x/0x%08x", u.offset, u.value, u.mask);
        break;
    }
    }
}

// Walks the options of a DHCPv4 frame: every option must lie whole inside the
// frame; a short or broken one ends the walk and keeps what was found before.
void tal_dhcp_parse(struct tal_eval *ev) {
    const struct rule_frame *f = &ev->f;
    // Offsets are kept in 16 bits: nothing past that is looked at.
    u32 len = ev->skb->len < 0xFFFF ? ev->skb->len : 0xFFFF;
    if (!f->ipv4 || !f->l4 || f->l4proto != RULE_IPPROTO_UDP || (u32)f->l4 + 8 > len)
        return;
    const u8 *d = data(ev);
    u16 sp = rule_get16(d + f->l4), dp = rule_get16(d + f->l4 + 2);
    if (!((sp == 67 || sp == 68) && (dp == 67 || dp == 68)))
        return;
    u32 bootp = f->l4 + 8u;
    // The fixed BOOTP header is 236 bytes, then the magic cookie.
    if (bootp + 240 > len || rule_get32(d + bootp + 236) != 0x63825363)
        return;
    ev->dhcp = (u16)bootp;
    u32 off = bootp + 240;
    while (off < len) {
        u8 code = d[off];
        if (code == 255)
            break;
        if (code == 0) {
            off++;
            continue;
        }
        if (off + 2 > len || off + 2 + (u32)d[off + 1] > len)
            break;
        u8 olen = d[off + 1];
        u16 at = (u16)(off + 1);
        if (code == 53 && !ev->opt53)
            ev->opt53 = at;
        else if (code == 60 && !ev->opt60)
            ev->opt60 = at;
        else if (code == 61 && !ev->opt61)
            ev->opt61 = at;
        else if (code == 82 && !ev->opt82) {
            ev->opt82 = at;
            // Sub-options inside the option's own length only.
            u32 s = off + 2, end = off + 2 + olen;
            while (s + 2 <= end && s + 2 + (u32)d[s + 1] <= end) {
                if (d[s] == 1 && !ev->circuit)
                    ev->circuit = (u16)(s + 1);
                else if (d[s] == 2 && !ev->remote)
                    ev->remote = (u16)(s + 1);
                s += 2 + (u32)d[s + 1];
            }
        }
        off += 2 + (u32)olen;
    }
}
