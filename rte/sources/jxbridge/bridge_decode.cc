// The frame decoder behind the tracer's frame printer: one readable line per
// header. Frames come from the wire, so every field is read only after its
// bytes are known to be inside the frame; a short frame says where it ends.
#include "jxbridge.h"

#include <cstdio>

namespace {

struct name_entry {
    u32 value;
    const char *name;
};

template <size_t N> const char *lookup(const name_entry (&table)[N], u32 value) {
    for (const name_entry &e : table)
        if (e.value == value)
            return e.name;
    return "unknown";
}

const name_entry ethertypes[] = {
    {0x0800, "IPv4"},
    {0x0806, "ARP"},
    {0x0842, "Wake-on-LAN"},
    {0x8035, "RARP"},
    {0x8100, "802.1Q"},
    {0x86DD, "IPv6"},
    {0x8808, "Ethernet flow control"},
    {0x8809, "Slow protocols"},
    {0x8847, "MPLS"},
    {0x8848, "MPLS multicast"},
    {0x8863, "PPPoE discovery"},
    {0x8864, "PPPoE session"},
    {0x888E, "EAPOL"},
    {0x88A8, "802.1ad"},
    {0x88CC, "LLDP"},
    {0x88E5, "MACsec"},
    {0x88F7, "PTP"},
    {0x8902, "CFM"},
    {0x9100, "QinQ"},
    {0x9200, "QinQ"},
};

const name_entry ip_protocols[] = {
    {0, "IPv6 hop-by-hop"},
    {1, "ICMP"},
    {2, "IGMP"},
    {4, "IPIP"},
    {6, "TCP"},
    {17, "UDP"},
    {41, "IPv6"},
    {43, "IPv6 routing"},
    {44, "IPv6 fragment"},
    {47, "GRE"},
    {50, "ESP"},
    {51, "AH"},
    {58, "ICMPv6"},
    {59, "no next header"},
    {60, "IPv6 destination options"},
    {89, "OSPF"},
    {103, "PIM"},
    {112, "VRRP"},
    {132, "SCTP"},
};

const name_entry icmp_types[] = {
    {0, "echo reply"},           {3, "destination unreachable"},
    {4, "source quench"},        {5, "redirect"},
    {8, "echo request"},         {9, "router advertisement"},
    {10, "router solicitation"}, {11, "time exceeded"},
    {12, "parameter problem"},   {13, "timestamp"},
    {14, "timestamp reply"},
};

const name_entry icmpv6_types[] = {
    {1, "destination unreachable"},
    {2, "packet too big"},
    {3, "time exceeded"},
    {4, "parameter problem"},
    {128, "echo request"},
    {129, "echo reply"},
    {130, "MLD query"},
    {131, "MLDv1 report"},
    {132, "MLD done"},
    {133, "router solicitation"},
    {134, "router advertisement"},
    {135, "neighbor solicitation"},
    {136, "neighbor advertisement"},
    {137, "redirect"},
    {143, "MLDv2 report"},
};

const name_entry igmp_types[] = {
    {0x11, "membership query"}, {0x12, "v1 membership report"}, {0x16, "v2 membership report"},
    {0x17, "leave group"},      {0x22, "v3 membership report"},
};

const name_entry group_record_types[] = {
    {1, "MODE_IS_INCLUDE"},        {2, "MODE_IS_EXCLUDE"},   {3, "CHANGE_TO_INCLUDE_MODE"},
    {4, "CHANGE_TO_EXCLUDE_MODE"}, {5, "ALLOW_NEW_SOURCES"}, {6, "BLOCK_OLD_SOURCES"},
};

const name_entry arp_ops[] = {
    {1, "request"},
    {2, "reply"},
    {3, "RARP request"},
    {4, "RARP reply"},
};

const name_entry dhcp_message_types[] = {
    {1, "DISCOVER"}, {2, "OFFER"}, {3, "REQUEST"}, {4, "DECLINE"},
    {5, "ACK"},      {6, "NAK"},   {7, "RELEASE"}, {8, "INFORM"},
};

const name_entry dhcpv6_message_types[] = {
    {1, "SOLICIT"},
    {2, "ADVERTISE"},
    {3, "REQUEST"},
    {4, "CONFIRM"},
    {5, "RENEW"},
    {6, "REBIND"},
    {7, "REPLY"},
    {8, "RELEASE"},
    {9, "DECLINE"},
    {10, "RECONFIGURE"},
    {11, "INFORMATION-REQUEST"},
    {12, "RELAY-FORW"},
    {13, "RELAY-REPL"},
};

const name_entry dhcp_options[] = {
    {1, "subnet mask"},
    {3, "router"},
    {6, "domain name server"},
    {12, "host name"},
    {15, "domain name"},
    {43, "vendor specific"},
    {50, "requested address"},
    {51, "lease time"},
    {53, "message type"},
    {54, "server identifier"},
    {55, "parameter request list"},
    {60, "vendor class"},
    {61, "client identifier"},
    {82, "relay agent information"},
};

const name_entry pppoe_codes[] = {
    {0x00, "session data"}, {0x07, "PADO"}, {0x09, "PADI"},
    {0x19, "PADR"},         {0x65, "PADS"}, {0xA7, "PADT"},
};

const name_entry pppoe_tags[] = {
    {0x0000, "End-Of-List"},      {0x0101, "Service-Name"},       {0x0102, "AC-Name"},
    {0x0103, "Host-Uniq"},        {0x0104, "AC-Cookie"},          {0x0105, "Vendor-Specific"},
    {0x0110, "Relay-Session-Id"}, {0x0201, "Service-Name-Error"}, {0x0202, "AC-System-Error"},
    {0x0203, "Generic-Error"},
};

const name_entry ppp_protocols[] = {
    {0x0021, "IPv4"}, {0x0057, "IPv6"}, {0x8021, "IPCP"}, {0x8057, "IPv6CP"},
    {0xC021, "LCP"},  {0xC023, "PAP"},  {0xC223, "CHAP"},
};

const name_entry ppp_control_codes[] = {
    {1, "Configure-Request"}, {2, "Configure-Ack"},     {3, "Configure-Nak"},
    {4, "Configure-Reject"},  {5, "Terminate-Request"}, {6, "Terminate-Ack"},
    {7, "Code-Reject"},       {8, "Protocol-Reject"},   {9, "Echo-Request"},
    {10, "Echo-Reply"},       {11, "Discard-Request"},
};

const name_entry slow_subtypes[] = {
    {1, "LACP"},
    {2, "Marker"},
    {3, "OAM"},
    {10, "ESMC"},
};

const name_entry cfm_opcodes[] = {
    {1, "CCM"}, {2, "LBR"}, {3, "LBM"}, {4, "LTR"}, {5, "LTM"}, {40, "R-APS"},
};

const name_entry eapol_types[] = {
    {0, "EAP packet"},
    {1, "Start"},
    {2, "Logoff"},
    {3, "Key"},
};

const name_entry l4_ports[] = {
    {20, "ftp-data"},
    {21, "ftp"},
    {22, "ssh"},
    {23, "telnet"},
    {25, "smtp"},
    {53, "domain"},
    {67, "bootps"},
    {68, "bootpc"},
    {69, "tftp"},
    {80, "http"},
    {123, "ntp"},
    {161, "snmp"},
    {162, "snmptrap"},
    {179, "bgp"},
    {319, "ptp-event"},
    {320, "ptp-general"},
    {443, "https"},
    {514, "syslog"},
    {546, "dhcpv6-client"},
    {547, "dhcpv6-server"},
    {1812, "radius"},
    {1813, "radius-acct"},
    {4789, "vxlan"},
};

u16 rd16(const u8 *p) {
    return (u16)(p[0] << 8 | p[1]);
}
u32 rd32(const u8 *p) {
    return (u32)p[0] << 24 | (u32)p[1] << 16 | (u32)p[2] << 8 | p[3];
}

struct text {
    char s[64];
};

text mac_text(const u8 *p) {
    text t;
    snprintf(t.s, sizeof(t.s), "%02x:%02x:%02x:%02x:%02x:%02x", p[0], p[1], p[2], p[3], p[4], p[5]);
    return t;
}

text ipv4_text(const u8 *p) {
    text t;
    snprintf(t.s, sizeof(t.s), "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
    return t;
}

// The shortest usual form: the longest run of zero groups becomes "::".
text ipv6_text(const u8 *p) {
    u16 g[8];
    for (int i = 0; i < 8; i++)
        g[i] = rd16(p + 2 * i);
    int best = -1, best_len = 0;
    for (int i = 0; i < 8;) {
        if (g[i]) {
            i++;
            continue;
        }
        int j = i;
        while (j < 8 && !g[j])
            j++;
        if (j - i > best_len && j - i >= 2) {
            best = i;
            best_len = j - i;
        }
        i = j;
    }
    text t;
    size_t n = 0;
    t.s[0] = '\0';
    for (int i = 0; i < 8; i++) {
        if (i == best) {
            n += snprintf(t.s + n, sizeof(t.s) - n, "::");
            i += best_len - 1;
            continue;
        }
        bool sep = i > 0 && !(best >= 0 && i == best + best_len);
        n += snprintf(t.s + n, sizeof(t.s) - n, "%s%x", sep ? ":" : "", g[i]);
    }
    return t;
}

// Text from the frame, cut and with anything unprintable shown as '.'.
text printable(const u8 *p, u32 len) {
    text t;
    u32 n = len < sizeof(t.s) - 1 ? len : (u32)sizeof(t.s) - 1;
    for (u32 i = 0; i < n; i++)
        t.s[i] = p[i] >= 0x20 && p[i] < 0x7F ? (char)p[i] : '.';
    t.s[n] = '\0';
    return t;
}

text hex_text(const u8 *p, u32 len) {
    text t;
    size_t n = 0;
    t.s[0] = '\0';
    for (u32 i = 0; i < len && n + 4 < sizeof(t.s); i++)
        n += snprintf(t.s + n, sizeof(t.s) - n, "%s%02x", i ? ":" : "", p[i]);
    return t;
}

text port_text(u16 port) {
    text t;
    const char *name = lookup(l4_ports, port);
    if (strcmp(name, "unknown"))
        snprintf(t.s, sizeof(t.s), "%u (%s)", port, name);
    else
        snprintf(t.s, sizeof(t.s), "%u", port);
    return t;
}

bool is_tag(u16 et, u16 stag) {
    return et == ETH_P_8021Q || et == ETH_P_8021AD || et == 0x9100 || et == 0x9200 ||
           (stag && et == stag);
}

struct decoder {
    const u8 *p;
    u32 len;
    void (*emit)(void *arg, const char *line);
    void *arg;

    void line(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        char buf[256];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(buf, sizeof(buf), fmt, ap);
        va_end(ap);
        emit(arg, buf);
    }

    // Whether n bytes from off lie before end; says so when they do not.
    bool need(u32 off, u32 n, u32 end, const char *what) {
        if ((u64)off + n <= end)
            return true;
        line("%s: truncated (%u of %u bytes)", what, off < end ? end - off : 0, n);
        return false;
    }

    void ethernet(u16 stag);
    void llc(u32 off, u32 end, u16 length);
    void payload(u16 et, u32 off, u32 end, int depth);
    void arp(u32 off, u32 end);
    void ipv4(u32 off, u32 end, int depth);
    void ipv6(u32 off, u32 end, int depth);
    void transport(u8 proto, u32 off, u32 end, int depth, bool v6);
    void icmp(u32 off, u32 end);
    void icmpv6(u32 off, u32 end);
    void igmp(u32 off, u32 end);
    void tcp(u32 off, u32 end);
    void udp(u32 off, u32 end);
    void dhcp(u32 off, u32 end);
    void dhcpv6(u32 off, u32 end);
    void pppoe(u16 et, u32 off, u32 end, int depth);
    void ppp_control(const char *what, u32 off, u32 end);
};

void decoder::ethernet(u16 stag) {
    if (!need(0, ETH_HLEN, len, "Ethernet"))
        return;
    u16 et = rd16(p + 12);
    line("Ethernet: dst=%s src=%s type=0x%04x (%s)", mac_text(p).s, mac_text(p + 6).s, et,
         et < 0x0600 ? "802.3 length" : lookup(ethertypes, et));
    u32 off = 12;
    while (is_tag(et, stag)) {
        if (!need(off, 6, len, "VLAN tag"))
            return;
        u16 tci = rd16(p + off + 2);
        u16 next = rd16(p + off + 4);
        line("VLAN: tpid=0x%04x pcp=%u dei=%u vid=%u type=0x%04x (%s)", et, tci >> 13,
             (tci >> 12) & 1, tci & 0x0FFF, next, lookup(ethertypes, next));
        off += 4;
        et = next;
    }
    off += 2;
    if (et < 0x0600)
        llc(off, len, et);
    else
        payload(et, off, len, 0);
}

void decoder::llc(u32 off, u32 end, u16 length) {
    if (!need(off, 3, end, "LLC"))
        return;
    u8 dsap = p[off], ssap = p[off + 1], ctrl = p[off + 2];
    line("LLC: length=%u dsap=0x%02x ssap=0x%02x ctrl=0x%02x%s", length, dsap, ssap, ctrl,
         dsap == 0x42 && ssap == 0x42 ? " (STP BPDU)" : "");
    if (dsap == 0xAA && ssap == 0xAA && need(off + 3, 5, end, "SNAP")) {
        u16 pid = rd16(p + off + 6);
        line("SNAP: oui=%02x:%02x:%02x pid=0x%04x", p[off + 3], p[off + 4], p[off + 5], pid);
    }
}

void decoder::payload(u16 et, u32 off, u32 end, int depth) {
    switch (et) {
    case ETH_P_IP:
        ipv4(off, end, depth);
        return;
    case ETH_P_IPV6:
        ipv6(off, end, depth);
        return;
    case ETH_P_ARP:
    case 0x8035:
        arp(off, end);
        return;
    case ETH_P_PPP_DISC:
    case ETH_P_PPP_SES:
        pppoe(et, off, end, depth);
        return;
    case ETH_P_SLOW:
        if (need(off, 1, end, "Slow protocols"))
            line("Slow protocols: subtype=%u (%s), %u bytes", p[off], lookup(slow_subtypes, p[off]),
                 end - off);
        return;
    case 0x888E:
        if (need(off, 4, end, "EAPOL"))
            line("EAPOL: version=%u type=%u (%s) length=%u", p[off], p[off + 1],
                 lookup(eapol_types, p[off + 1]), rd16(p + off + 2));
        return;
    case 0x8902:
        if (need(off, 4, end, "CFM"))
            line("CFM: level=%u version=%u opcode=%u (%s) flags=0x%02x", p[off] >> 5, p[off] & 0x1F,
                 p[off + 1], lookup(cfm_opcodes, p[off + 1]), p[off + 2]);
        return;
    default:
        line("Payload: type=0x%04x (%s), %u bytes", et, lookup(ethertypes, et),
             off < end ? end - off : 0);
    }
}

void decoder::arp(u32 off, u32 end) {
    if (!need(off, 8, end, "ARP"))
        return;
    u16 htype = rd16(p + off), ptype = rd16(p + off + 2), op = rd16(p + off + 6);
    u8 hlen = p[off + 4], plen = p[off + 5];
    if (htype != 1 || ptype != ETH_P_IP || hlen != 6 || plen != 4) {
        line("ARP: op=%u (%s) htype=%u ptype=0x%04x hlen=%u plen=%u", op, lookup(arp_ops, op),
             htype, ptype, hlen, plen);
        return;
    }
    if (!need(off, 28, end, "ARP"))
        return;
    line("ARP: op=%u (%s) sha=%s spa=%s tha=%s tpa=%s", op, lookup(arp_ops, op),
         mac_text(p + off + 8).s, ipv4_text(p + off + 14).s, mac_text(p + off + 18).s,
         ipv4_text(p + off + 24).s);
}

void decoder::ipv4(u32 off, u32 end, int depth) {
    if (!need(off, 20, end, "IPv4"))
        return;
    const u8 *h = p + off;
    u32 ihl = (u32)(h[0] & 0x0F) * 4;
    u16 total = rd16(h + 2), frag = rd16(h + 6);
    line("IPv4: %s > %s proto=%u (%s) ttl=%u len=%u id=0x%04x tos=0x%02x hlen=%u%s%s",
         ipv4_text(h + 12).s, ipv4_text(h + 16).s, h[9], lookup(ip_protocols, h[9]), h[8], total,
         rd16(h + 4), h[1], ihl, frag & 0x4000 ? " DF" : "", frag & 0x2000 ? " MF" : "");
    if ((h[0] >> 4) != 4 || ihl < 20) {
        line("IPv4: bad header (version %u, header length %u)", h[0] >> 4, ihl);
        return;
    }
    if (!need(off, ihl, end, "IPv4 options"))
        return;
    // The datagram ends where its length says, unless the frame ends first.
    if (total >= ihl && (u64)off + total <= end)
        end = off + total;
    else if (total >= ihl)
        line("IPv4: truncated (%u of %u bytes)", end - off, total);
    if (frag & 0x1FFF) {
        line("IPv4: fragment at offset %u, %u bytes", (frag & 0x1FFF) * 8, end - off - ihl);
        return;
    }
    transport(h[9], off + ihl, end, depth, false);
}

void decoder::ipv6(u32 off, u32 end, int depth) {
    if (!need(off, 40, end, "IPv6"))
        return;
    const u8 *h = p + off;
    u16 plen = rd16(h + 4);
    u8 next = h[6];
    line("IPv6: %s > %s next=%u (%s) hlim=%u plen=%u tc=0x%02x", ipv6_text(h + 8).s,
         ipv6_text(h + 24).s, next, lookup(ip_protocols, next), h[7], plen, (u8)(rd16(h) >> 4));
    if ((h[0] >> 4) != 6) {
        line("IPv6: bad version %u", h[0] >> 4);
        return;
    }
    if ((u64)off + 40 + plen <= end)
        end = off + 40 + plen;
    else
        line("IPv6: truncated (%u of %u payload bytes)", end - off - 40, plen);
    u32 o = off + 40;
    for (int n = 0; n < 8; n++) {
        u32 hlen;
        if (next == 0 || next == 43 || next == 60) {
            if (!need(o, 2, end, "IPv6 extension header"))
                return;
            hlen = ((u32)p[o + 1] + 1) * 8;
        } else if (next == 51) {
            if (!need(o, 2, end, "IPv6 AH"))
                return;
            hlen = ((u32)p[o + 1] + 2) * 4;
        } else if (next == 44) {
            if (!need(o, 8, end, "IPv6 fragment header"))
                return;
            u16 fo = rd16(p + o + 2);
            line("IPv6: fragment offset=%u%s id=0x%08x", (fo >> 3) * 8, fo & 1 ? " MF" : "",
                 rd32(p + o + 4));
            if (fo & 0xFFF8)
                return;
            hlen = 8;
        } else {
            break;
        }
        if (next != 44)
            line("IPv6: extension header %u (%s), %u bytes", next, lookup(ip_protocols, next),
                 hlen);
        next = p[o];
        o += hlen;
    }
    if (next == 59)
        return;
    transport(next, o, end, depth, true);
}

void decoder::transport(u8 proto, u32 off, u32 end, int depth, bool v6) {
    switch (proto) {
    case 1:
        if (!v6) {
            icmp(off, end);
            return;
        }
        break;
    case 2:
        if (!v6) {
            igmp(off, end);
            return;
        }
        break;
    case 6:
        tcp(off, end);
        return;
    case 17:
        udp(off, end);
        return;
    case 58:
        if (v6) {
            icmpv6(off, end);
            return;
        }
        break;
    case 4:
    case 41:
        // Tunnelled IP, followed a few levels deep.
        if (depth < 3) {
            if (proto == 4)
                ipv4(off, end, depth + 1);
            else
                ipv6(off, end, depth + 1);
            return;
        }
        break;
    }
    line("IP payload: protocol %u (%s), %u bytes", proto, lookup(ip_protocols, proto),
         off < end ? end - off : 0);
}

void decoder::icmp(u32 off, u32 end) {
    if (!need(off, 4, end, "ICMP"))
        return;
    u8 type = p[off], code = p[off + 1];
    if ((type == 0 || type == 8) && need(off, 8, end, "ICMP echo"))
        line("ICMP: type=%u (%s) code=%u id=%u seq=%u", type, lookup(icmp_types, type), code,
             rd16(p + off + 4), rd16(p + off + 6));
    else if (type != 0 && type != 8)
        line("ICMP: type=%u (%s) code=%u", type, lookup(icmp_types, type), code);
}

void decoder::icmpv6(u32 off, u32 end) {
    if (!need(off, 4, end, "ICMPv6"))
        return;
    u8 type = p[off], code = p[off + 1];
    line("ICMPv6: type=%u (%s) code=%u", type, lookup(icmpv6_types, type), code);
    if (type >= 130 && type <= 132) {
        if (need(off, 24, end, "MLD"))
            line("MLD: max response=%u group=%s", rd16(p + off + 4), ipv6_text(p + off + 8).s);
    } else if (type == 135 || type == 136 || type == 137) {
        if (need(off, 24, end, "ND"))
            line("ND: target=%s", ipv6_text(p + off + 8).s);
    } else if (type == 143) {
        if (!need(off, 8, end, "MLDv2 report"))
            return;
        u16 records = rd16(p + off + 6);
        u32 o = off + 8;
        for (u16 i = 0; i < records; i++) {
            if (!need(o, 20, end, "MLDv2 record"))
                return;
            u16 sources = rd16(p + o + 2);
            line("MLDv2 record: %s group=%s sources=%u", lookup(group_record_types, p[o]),
                 ipv6_text(p + o + 4).s, sources);
            o += 20 + (u32)sources * 16 + (u32)p[o + 1] * 4;
        }
    }
}

void decoder::igmp(u32 off, u32 end) {
    if (!need(off, 8, end, "IGMP"))
        return;
    u8 type = p[off];
    if (type == 0x22) {
        u16 records = rd16(p + off + 6);
        line("IGMP: type=0x%02x (%s) records=%u", type, lookup(igmp_types, type), records);
        u32 o = off + 8;
        for (u16 i = 0; i < records; i++) {
            if (!need(o, 8, end, "IGMPv3 record"))
                return;
            u16 sources = rd16(p + o + 2);
            line("IGMPv3 record: %s group=%s sources=%u", lookup(group_record_types, p[o]),
                 ipv4_text(p + o + 4).s, sources);
            u32 s = o + 8;
            for (u16 j = 0; j < sources && j < 8; j++, s += 4) {
                if (!need(s, 4, end, "IGMPv3 source"))
                    return;
                line("IGMPv3 source: %s", ipv4_text(p + s).s);
            }
            o += 8 + (u32)sources * 4 + (u32)p[o + 1] * 4;
        }
        return;
    }
    line("IGMP: type=0x%02x (%s) max response=%u group=%s", type, lookup(igmp_types, type),
         p[off + 1], ipv4_text(p + off + 4).s);
    if (type == 0x11 && end - off >= 12)
        line("IGMP: v3 query, s=%u qrv=%u qqic=%u sources=%u", (p[off + 8] >> 3) & 1,
             p[off + 8] & 7, p[off + 9], rd16(p + off + 10));
}

void decoder::tcp(u32 off, u32 end) {
    if (!need(off, 20, end, "TCP"))
        return;
    const u8 *h = p + off;
    u8 f = h[13];
    char flags[48];
    size_t n = 0;
    flags[0] = '\0';
    static const char *const names[] = {"FIN", "SYN", "RST", "PSH", "ACK", "URG", "ECE", "CWR"};
    for (int i = 0; i < 8; i++)
        if (f & (1 << i))
            n += snprintf(flags + n, sizeof(flags) - n, "%s%s", n ? "," : "", names[i]);
    line("TCP: sport=%s dport=%s seq=%u ack=%u flags=[%s] win=%u hlen=%u", port_text(rd16(h)).s,
         port_text(rd16(h + 2)).s, rd32(h + 4), rd32(h + 8), flags, rd16(h + 14), (h[12] >> 4) * 4);
}

void decoder::udp(u32 off, u32 end) {
    if (!need(off, 8, end, "UDP"))
        return;
    u16 sport = rd16(p + off), dport = rd16(p + off + 2), ulen = rd16(p + off + 4);
    line("UDP: sport=%s dport=%s len=%u", port_text(sport).s, port_text(dport).s, ulen);
    if (ulen >= 8 && (u64)off + ulen <= end)
        end = off + ulen;
    if ((sport == 67 || sport == 68) && (dport == 67 || dport == 68))
        dhcp(off + 8, end);
    else if ((sport == 546 || sport == 547) && (dport == 546 || dport == 547))
        dhcpv6(off + 8, end);
}

void decoder::dhcp(u32 off, u32 end) {
    if (!need(off, 236, end, "DHCP"))
        return;
    const u8 *h = p + off;
    line("DHCP: op=%u (%s) xid=0x%08x secs=%u flags=0x%04x hops=%u", h[0],
         h[0] == 1   ? "BOOTREQUEST"
         : h[0] == 2 ? "BOOTREPLY"
                     : "unknown",
         rd32(h + 4), rd16(h + 8), rd16(h + 10), h[3]);
    line("DHCP: ciaddr=%s yiaddr=%s siaddr=%s giaddr=%s", ipv4_text(h + 12).s, ipv4_text(h + 16).s,
         ipv4_text(h + 20).s, ipv4_text(h + 24).s);
    line("DHCP: chaddr=%s", hex_text(h + 28, h[2] <= 16 ? h[2] : 16).s);
    if (!need(off + 236, 4, end, "DHCP magic cookie"))
        return;
    if (rd32(h + 236) != 0x63825363) {
        line("DHCP: no magic cookie (BOOTP)");
        return;
    }
    u32 o = off + 240;
    while (o < end) {
        u8 code = p[o];
        if (code == 0) {
            o++;
            continue;
        }
        if (code == 255)
            break;
        if (!need(o, 2, end, "DHCP option"))
            return;
        u8 olen = p[o + 1];
        if (!need(o + 2, olen, end, "DHCP option"))
            return;
        const u8 *v = p + o + 2;
        if (code == 53 && olen >= 1)
            line("DHCP: option 53 message type %u (%s)", v[0], lookup(dhcp_message_types, v[0]));
        else if ((code == 1 || code == 3 || code == 6 || code == 50 || code == 54) && olen >= 4)
            line("DHCP: option %u %s %s", code, lookup(dhcp_options, code), ipv4_text(v).s);
        else if (code == 51 && olen == 4)
            line("DHCP: option 51 lease time %u", rd32(v));
        else if (code == 12 || code == 15 || code == 60)
            line("DHCP: option %u %s \"%s\"", code, lookup(dhcp_options, code),
                 printable(v, olen).s);
        else if (code == 61)
            line("DHCP: option 61 client identifier %s", hex_text(v, olen).s);
        else if (code == 82) {
            line("DHCP: option 82 relay agent information, %u bytes", olen);
            u32 s = 0;
            while (s + 2 <= olen) {
                u8 sub = v[s], slen = v[s + 1];
                if (s + 2 + slen > olen) {
                    line("DHCP: option 82 sub-option %u truncated", sub);
                    break;
                }
                line("DHCP: option 82 %s \"%s\"",
                     sub == 1   ? "circuit id"
                     : sub == 2 ? "remote id"
                                : "sub-option",
                     printable(v + s + 2, slen).s);
                s += 2 + slen;
            }
        } else
            line("DHCP: option %u (%s), %u bytes", code, lookup(dhcp_options, code), olen);
        o += 2 + olen;
    }
}

void decoder::dhcpv6(u32 off, u32 end) {
    if (!need(off, 4, end, "DHCPv6"))
        return;
    line("DHCPv6: message type %u (%s) transaction=0x%06x", p[off],
         lookup(dhcpv6_message_types, p[off]), rd32(p + off) & 0xFFFFFF);
}

void decoder::ppp_control(const char *what, u32 off, u32 end) {
    if (need(off, 4, end, what))
        line("%s: code=%u (%s) id=%u length=%u", what, p[off], lookup(ppp_control_codes, p[off]),
             p[off + 1], rd16(p + off + 2));
}

void decoder::pppoe(u16 et, u32 off, u32 end, int depth) {
    if (!need(off, 6, end, "PPPoE"))
        return;
    const u8 *h = p + off;
    u16 plen = rd16(h + 4);
    line("PPPoE: ver=%u type=%u code=0x%02x (%s) session=0x%04x length=%u", h[0] >> 4, h[0] & 0x0F,
         h[1], lookup(pppoe_codes, h[1]), rd16(h + 2), plen);
    if ((u64)off + 6 + plen <= end)
        end = off + 6 + plen;
    else
        line("PPPoE: truncated (%u of %u bytes)", end - off - 6, plen);
    u32 o = off + 6;
    if (et == ETH_P_PPP_DISC) {
        while (o + 4 <= end) {
            u16 tag = rd16(p + o), tlen = rd16(p + o + 2);
            if (!need(o + 4, tlen, end, "PPPoE tag"))
                return;
            if (tag == 0x0101 || tag == 0x0102 || tag == 0x0201 || tag == 0x0202 || tag == 0x0203)
                line("PPPoE tag: 0x%04x (%s) \"%s\"", tag, lookup(pppoe_tags, tag),
                     printable(p + o + 4, tlen).s);
            else
                line("PPPoE tag: 0x%04x (%s) length=%u", tag, lookup(pppoe_tags, tag), tlen);
            if (tag == 0)
                return;
            o += 4 + tlen;
        }
        return;
    }
    if (!need(o, 2, end, "PPP"))
        return;
    u16 proto = rd16(p + o);
    line("PPP: protocol=0x%04x (%s)", proto, lookup(ppp_protocols, proto));
    o += 2;
    switch (proto) {
    case 0x0021:
        ipv4(o, end, depth);
        break;
    case 0x0057:
        ipv6(o, end, depth);
        break;
    case 0xC021:
        ppp_control("LCP", o, end);
        break;
    case 0x8021:
        ppp_control("IPCP", o, end);
        break;
    case 0x8057:
        ppp_control("IPv6CP", o, end);
        break;
    case 0xC023:
        ppp_control("PAP", o, end);
        break;
    case 0xC223:
        ppp_control("CHAP", o, end);
        break;
    }
}

} // namespace

void jxbridge_decode_frame(const u8 *data, u32 len, u16 stag,
                           void (*emit)(void *arg, const char *line), void *arg) {
    if (!emit)
        return;
    if (!data)
        len = 0;
    decoder d{data, len, emit, arg};
    d.ethernet(stag);
}
