// IP source guard: per-port bindings of source addresses, the frame check the
// pipeline calls after the VLAN ingress rules, and lease snooping.
#include "bridge_ipsg.h"

#include "bridge_rule.h"

#include <cstdio>

namespace {

const char *const mask_names[] = {" L2_MAC", " L2_VLAN", " L2_ETYPE", " L3_SIP",
                                  " L3_DIP", " L3_DSCP", " L4_SPORT", " L4_DPORT"};

bool bit_get(const u8 *map, u32 vid) {
    return vid < 4096 && (map[vid / 8] >> (vid % 8)) & 1;
}

void bit_put(u8 *map, u32 vid, bool on) {
    if (on)
        map[vid / 8] |= (u8)(1u << (vid % 8));
    else
        map[vid / 8] &= (u8) ~(1u << (vid % 8));
}

bool any_bit(const u8 *map) {
    for (u32 i = 0; i < IPSG_VLAN_BYTES; i++)
        if (map[i])
            return true;
    return false;
}

u32 now_seconds() {
    return (u32)ktime_get_real_seconds();
}

// The port guards a VLAN in a family that is switched on: its flows key on the source.
u8 wanted_mask(struct ipsg_data *g, struct ipsg_port *ip) {
    if (!g->ipv4 && !g->ipv6)
        return 0;
    return any_bit(ip->vlans4) || any_bit(ip->vlans6) ? IPSG_LKUP_L3_SIP : 0;
}

// Only the source-address bit is the guard's: the ACL keeps the others.
bool mask_update(struct ipsg_data *g, struct jxbridge_port *port, const char *op, bool from_port) {
    struct ipsg_port *ip = ipsg_port_of(g, port);
    u8 old = port->lookup_mask;
    u8 mask = (u8)((old & ~IPSG_LKUP_L3_SIP) | wanted_mask(g, ip));
    if (mask == old)
        return false;
    const char *n[8];
    for (int b = 0; b < 8; b++)
        n[b] = (mask & (0x80 >> b)) ? mask_names[b] : "";
    if (from_port && port->lookup_mask_debug)
        printk(KERN_INFO "[%s] %s, port=%d, MASK=0x%x>>0x%x (%s%s%s%s%s%s%s%s)\n",
               "jxBridge_LKUPMask", op, (int)port->port_no, old, mask, n[0], n[1], n[2], n[3], n[4],
               n[5], n[6], n[7]);
    else if (!from_port)
        IPSG_TRACE(g, "sprememba IPSG maske za port %d iz %d>%d, %s%s%s%s%s%s%s%s\n",
                   (int)port->port_no, old, mask, n[0], n[1], n[2], n[3], n[4], n[5], n[6], n[7]);
    port->lookup_mask = mask;
    return true;
}

bool family_ok(u32 family) {
    return family == IPSG_AF_INET || family == IPSG_AF_INET6;
}

// The top prefix bits of two addresses of the family agree.
bool prefix_match(const struct ipsg_ip *a, const u8 *src, u32 prefix) {
    if (a->family == IPSG_AF_INET) {
        u32 x, y;
        memcpy(&x, a->addr, 4);
        memcpy(&y, src, 4);
        if (prefix >= 32)
            return x == y;
        u32 m = prefix ? ~0u << (32 - prefix) : 0;
        return (x & m) == (y & m);
    }
    u32 bits = prefix >= 128 ? 128 : prefix;
    u32 whole = bits / 8, rest = bits % 8;
    if (memcmp(a->addr, src, whole))
        return false;
    if (!rest)
        return true;
    u8 m = (u8)(0xFF << (8 - rest));
    return (a->addr[whole] & m) == (src[whole] & m);
}

bool same_ip(const struct ipsg_ip *a, const struct ipsg_ip *b) {
    if (a->family != b->family)
        return false;
    return !memcmp(a->addr, b->addr, a->family == IPSG_AF_INET ? 4 : 16);
}

struct ipsg_binding *find_binding(struct ipsg_port *ip, const u8 *mac, u16 vid,
                                  const struct ipsg_ip *addr) {
    for (struct ipsg_binding *b = ip->bindings; b; b = b->next)
        if (b->vid == vid && same_ip(&b->ip, addr) && !memcmp(b->mac, mac, 6))
            return b;
    return nullptr;
}

void unlink_binding(struct ipsg_port *ip, struct ipsg_binding *b) {
    if (b->prev)
        b->prev->next = b->next;
    else
        ip->bindings = b->next;
    if (b->next)
        b->next->prev = b->prev;
    kfree(b);
    // The count may stand below the list after a lowered limit: it never wraps.
    if (ip->count)
        ip->count--;
}

} // namespace

struct ipsg_port *ipsg_port_of(struct ipsg_data *g, struct jxbridge_port *port) {
    return port && port->port_no < g->bridge->max_ports ? &g->ports[port->port_no] : nullptr;
}

bool ipsg_binding_live(const struct ipsg_binding *b, u32 now) {
    return !b->expiry || b->expiry > now;
}

void ipsg_ip_text(const struct ipsg_ip *ip, char *buf, size_t size) {
    if (ip->family == IPSG_AF_INET) {
        u32 a;
        memcpy(&a, ip->addr, 4);
        snprintf(buf, size, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
    } else if (ip->family == IPSG_AF_INET6) {
        const u8 *p = ip->addr;
        snprintf(buf, size, "%x:%x:%x:%x:%x:%x:%x:%x", p[0] << 8 | p[1], p[2] << 8 | p[3],
                 p[4] << 8 | p[5], p[6] << 8 | p[7], p[8] << 8 | p[9], p[10] << 8 | p[11],
                 p[12] << 8 | p[13], p[14] << 8 | p[15]);
    } else {
        snprintf(buf, size, "<none>");
    }
}

int ipsg_state_set(struct ipsg_data *g, u32 family, u32 state) {
    if (!family_ok(family))
        return -EINVAL;
    u32 on = state ? 1 : 0;
    (family == IPSG_AF_INET ? g->ipv4 : g->ipv6) = on;
    IPSG_TRACE(g, "[IPSG] ipsg_state_set(%u, %u)\n", family, on);
    struct jxbridge *B = g->bridge;
    for (u32 i = 0; i < B->max_ports; i++)
        if (B->ports[i])
            mask_update(g, B->ports[i], "ipsg_state_set", false);
    if (on)
        jxbridge_flow_event(JXBRIDGE_FEV_PORT);
    return 0;
}

int ipsg_state_get(struct ipsg_data *g, u32 family, u32 *state) {
    if (!family_ok(family))
        return -EINVAL;
    *state = family == IPSG_AF_INET ? g->ipv4 : g->ipv6;
    return 0;
}

int ipsg_port_state_set(struct ipsg_data *g, struct jxbridge_port *port, u32 family, u32 state) {
    struct ipsg_port *ip = ipsg_port_of(g, port);
    if (!ip)
        return -ENODEV;
    if (!family_ok(family))
        return -EINVAL;
    memset(family == IPSG_AF_INET ? ip->vlans4 : ip->vlans6, state ? 0xFF : 0, IPSG_VLAN_BYTES);
    IPSG_TRACE(g, "[IPSG] ipsg_port_state_set(%s, %u, %u)\n", port->dev->name, family, state);
    if (mask_update(g, port, "ipsg_port_state_set", true))
        jxbridge_flow_event(JXBRIDGE_FEV_PORT_REEVALUATE, port);
    if (state)
        jxbridge_flow_event(JXBRIDGE_FEV_PORT, port);
    return 0;
}

int ipsg_vlan_state_set(struct ipsg_data *g, struct jxbridge_port *port, u32 vid, u32 enable,
                        u32 ipv4, u32 ipv6) {
    struct ipsg_port *ip = ipsg_port_of(g, port);
    if (!ip)
        return -ENODEV;
    if (vid <= 4094) {
        if (ipv4 && g->ipv4)
            bit_put(ip->vlans4, vid, enable);
        if (ipv6 && g->ipv6)
            bit_put(ip->vlans6, vid, enable);
    }
    IPSG_TRACE(g, "[IPSG] ipsg_vlan_state_set(%s, %u, %u, %u, %u)\n", port->dev->name, vid, enable,
               ipv4, ipv6);
    if (mask_update(g, port, "ipsg_vlan_state_set", true))
        jxbridge_flow_event(JXBRIDGE_FEV_PORT_REEVALUATE, port);
    return 0;
}

int ipsg_clear_vlans(struct ipsg_data *g, struct jxbridge_port *port) {
    struct ipsg_port *ip = ipsg_port_of(g, port);
    if (!ip)
        return -ENODEV;
    memset(ip->vlans4, 0, IPSG_VLAN_BYTES);
    memset(ip->vlans6, 0, IPSG_VLAN_BYTES);
    mask_update(g, port, "ipsg_clear_vlans", true);
    return 0;
}

int ipsg_port_mode_set(struct ipsg_data *g, struct jxbridge_port *port, u32 mode) {
    struct ipsg_port *ip = ipsg_port_of(g, port);
    if (!ip)
        return -ENODEV;
    if (mode != IPSG_MODE_IP_MAC && mode != IPSG_MODE_IP)
        return -EINVAL;
    ip->mode = mode;
    jxbridge_flow_event(JXBRIDGE_FEV_PORT, port);
    return 0;
}

static void learners_count(struct ipsg_data *g) {
    g->learners = 0;
    for (u32 i = 0; i < g->bridge->max_ports; i++)
        g->learners += g->ports[i].learn;
}

int ipsg_port_learn_set(struct ipsg_data *g, struct jxbridge_port *port, u32 on) {
    struct ipsg_port *ip = ipsg_port_of(g, port);
    if (!ip)
        return -ENODEV;
    ip->learn = on ? 1 : 0;
    learners_count(g);
    return 0;
}

int ipsg_port_limits_set(struct ipsg_data *g, struct jxbridge_port *port, u32 limit) {
    struct ipsg_port *ip = ipsg_port_of(g, port);
    if (!ip)
        return -ENODEV;
    ip->limit = limit;
    // The bindings stay; the count says how many of them the limit still admits.
    if (ip->count > limit)
        ip->count = limit;
    return 0;
}

int ipsg_port_bindings_add_ttl(struct ipsg_data *g, struct jxbridge_port *port, u32 ttl,
                               const u8 *mac, u16 vid, const struct ipsg_ip *addr, u32 prefix) {
    struct ipsg_port *ip = ipsg_port_of(g, port);
    if (!ip)
        return -ENODEV;
    if (!family_ok(addr->family))
        return -EINVAL;
    // Saturated, never wrapped: an expiry of 0 would make the binding static.
    u64 at = ttl ? (u64)now_seconds() + ttl : 0;
    u32 expiry = at > 0xFFFFFFFFull ? 0xFFFFFFFFu : (u32)at;
    vid &= 0xFFF;
    struct ipsg_binding *b = find_binding(ip, mac, vid, addr);
    if (b) {
        // A refresh holds no new room, so the limit does not apply to it.
        b->expiry = expiry;
        b->ip = *addr;
        b->prefix = prefix;
        b->matched = 0;
        return 0;
    }
    u32 held = 0;
    for (struct ipsg_binding *x = ip->bindings; x; x = x->next)
        held++;
    if (held >= ip->limit || ip->count >= ip->limit) {
        IPSG_TRACE(g, "[IPSG]         No space (count=%d).\n", (int)ip->count);
        return -ENOSPC;
    }
    b = (struct ipsg_binding *)jxbridge_zalloc(sizeof(*b));
    if (!b) {
        IPSG_TRACE(g, "[IPSG]         No memory.\n");
        return -ENOMEM;
    }
    b->expiry = expiry;
    b->ip = *addr;
    b->prefix = prefix;
    memcpy(b->mac, mac, 6);
    b->vid = vid;
    b->next = ip->bindings;
    if (b->next)
        b->next->prev = b;
    ip->bindings = b;
    ip->count++;
    return 0;
}

int ipsg_port_bindings_del(struct ipsg_data *g, struct jxbridge_port *port, const u8 *mac, u16 vid,
                           const struct ipsg_ip *addr) {
    struct ipsg_port *ip = ipsg_port_of(g, port);
    if (!ip)
        return -ENODEV;
    vid &= 0xFFF;
    struct ipsg_binding *b = find_binding(ip, mac, vid, addr);
    if (!b)
        return -ENOENT;
    u8 gone[6];
    memcpy(gone, b->mac, 6);
    unlink_binding(ip, b);
    jxbridge_flow_event(JXBRIDGE_FEV_IPSG_BINDING_DEL, port, gone, (void *)(uintptr_t)vid);
    return 0;
}

int ipsg_port_bindings_get(struct ipsg_data *g, struct jxbridge_port *port, u32 index,
                           struct ipsg_binding **out) {
    struct ipsg_port *ip = ipsg_port_of(g, port);
    if (!ip)
        return -ENODEV;
    // The walk is bounded by the list itself, whatever the count says.
    struct ipsg_binding *b = ip->bindings;
    for (u32 i = 0; b && i < index; i++)
        b = b->next;
    if (index >= ip->count || !b)
        return -EINVAL;
    *out = b;
    return 0;
}

u32 ipsg_port_vlan_get_next(struct ipsg_data *g, struct jxbridge_port *port, u32 from, u32 *ipv4,
                            u32 *ipv6) {
    struct ipsg_port *ip = ipsg_port_of(g, port);
    for (u32 v = from; ip && v < 4096; v++) {
        u32 a = g->ipv4 && bit_get(ip->vlans4, v), b = g->ipv6 && bit_get(ip->vlans6, v);
        if (a || b) {
            *ipv4 = a;
            *ipv6 = b;
            return v;
        }
    }
    return 4096;
}

// The frame path.

namespace {

struct ipsg_frame {
    u16 vid;
    u16 ethertype;
    u32 l3, l4; // offsets; l4 0 when unknown
    u8 l4proto;
    bool ipv4, ipv6;
    u8 src[16];
};

// Tags skipped, the IP header and the L4 header found; every read is inside len.
void parse(const u8 *d, u32 len, u16 stag, struct ipsg_frame *f) {
    memset(f, 0, sizeof(*f));
    f->vid = IPSG_NO_VID;
    if (len < 14)
        return;
    u32 et = 12;
    u16 type = rule_get16(d + et);
    bool first = true;
    while ((type == RULE_ETH_P_8021Q || (stag && type == stag)) && et + 6 <= len) {
        if (first)
            f->vid = rule_get16(d + et + 2) & 0xFFF;
        first = false;
        et += 4;
        type = rule_get16(d + et);
    }
    f->ethertype = type;
    f->l3 = et + 2;
    if (type == RULE_ETH_P_IP) {
        if (f->l3 + 20 > len)
            return;
        u32 ihl = d[f->l3] & 0x0F;
        if (ihl < 5 || f->l3 + 4 * ihl > len)
            return;
        f->ipv4 = true;
        f->l4proto = d[f->l3 + 9];
        u32 a = rule_get32(d + f->l3 + 12);
        memcpy(f->src, &a, 4); // host order, as bindings keep it
        if (f->l3 + 4 * ihl + 8 <= len)
            f->l4 = f->l3 + 4 * ihl;
    } else if (type == RULE_ETH_P_IPV6) {
        if (f->l3 + 40 > len)
            return;
        f->ipv6 = true;
        memcpy(f->src, d + f->l3 + 8, 16);
        u8 nh = d[f->l3 + 6];
        u32 off = f->l3 + 40;
        // Hop-by-hop, routing, destination options, fragment: bounded by the frame.
        for (int n = 0; n < 8 && (nh == 0 || nh == 43 || nh == 60 || nh == 44); n++) {
            if (off + 8 > len)
                return;
            u8 next = d[off];
            off += nh == 44 ? 8 : 8 * (d[off + 1] + 1u);
            nh = next;
        }
        f->l4proto = nh;
        if (off + 8 <= len)
            f->l4 = off;
    }
}

bool is_dhcp(const struct ipsg_frame *f, const u8 *d) {
    if (f->l4proto != RULE_IPPROTO_UDP || !f->l4)
        return false;
    u16 s = rule_get16(d + f->l4), t = rule_get16(d + f->l4 + 2);
    if (f->ipv4)
        return (s == 67 && t == 68) || (s == 68 && t == 67);
    return (s == 547 && t == 546) || (s == 546 && t == 547);
}

// The value of a DHCPv4 option: its length, or -1 when absent. Options start
// 240 bytes into the payload; the walk stops at the end of the frame.
int dhcp_option(const u8 *d, u32 len, u32 payload, u8 code, const u8 **val) {
    u32 off = payload + 240;
    while (off < len) {
        u8 c = d[off];
        if (c == 255)
            break;
        if (c == 0) {
            off++;
            continue;
        }
        if (off + 2 > len || off + 2 + d[off + 1] > len)
            break;
        if (c == code) {
            *val = d + off + 2;
            return d[off + 1];
        }
        off += 2 + d[off + 1];
    }
    return -1;
}

// Lease snooping: an ACK to a client on a learning port binds the address
// leased to it for the lease time; a RELEASE from it takes the binding away.
void snoop(struct ipsg_data *g, struct jxbridge_port *in, const struct ipsg_frame *f, const u8 *d,
           u32 len) {
    u32 p = f->l4 + 8;
    if (!f->ipv4 || p + 240 > len || rule_get32(d + p + 236) != 0x63825363)
        return;
    const u8 *type = nullptr;
    if (dhcp_option(d, len, p, 53, &type) < 1)
        return;
    const u8 *chaddr = d + p + 28;
    struct ipsg_ip addr = {IPSG_AF_INET, {}};
    if (*type == 5 && d[p] == 2 && g->bridge->mac_table) {
        struct jxbridge_port *client = mac_table_lookup(g->bridge->mac_table, chaddr, f->vid);
        struct ipsg_port *ip = ipsg_port_of(g, client);
        if (!ip || !ip->learn)
            return;
        const u8 *lt = nullptr;
        if (dhcp_option(d, len, p, 51, &lt) < 4) {
            IPSG_TRACE(g, "[IPSG]       Option 51 (Lease Time) missing.\n");
            return;
        }
        u32 a = rule_get32(d + p + 16);
        memcpy(addr.addr, &a, 4);
        int rc = ipsg_port_bindings_add_ttl(g, client, rule_get32(lt), chaddr, f->vid, &addr, 32);
        IPSG_TRACE(g, "[IPSG]       Lease bound on %s: %d.\n", client->dev->name, rc);
    } else if (*type == 7 && d[p] == 1) {
        struct ipsg_port *ip = ipsg_port_of(g, in);
        if (!ip || !ip->learn)
            return;
        // The binding holds the client's own MAC: the frame's source.
        memcpy(addr.addr, f->src, 4);
        ipsg_port_bindings_del(g, in, d + 6, f->vid, &addr);
    }
}

bool filter(struct ipsg_data *g, struct ipsg_port *ip, const struct ipsg_frame *f, const u8 *smac) {
    u32 now = now_seconds();
    u32 family = f->ipv4 ? IPSG_AF_INET : IPSG_AF_INET6;
    for (struct ipsg_binding *b = ip->bindings; b; b = b->next) {
        if (!ipsg_binding_live(b, now) || b->vid != f->vid || b->ip.family != family)
            continue;
        if (!prefix_match(&b->ip, f->src, b->prefix))
            continue;
        if (ip->mode == IPSG_MODE_IP_MAC && memcmp(b->mac, smac, 6))
            continue;
        b->matched++;
        IPSG_TRACE(g, "[IPSG]       Pass.\n");
        return true;
    }
    return false;
}

// Out of line, so that the frames of an idle guard pay no stack frame for it.
[[gnu::noinline]] struct sk_buff *guard(struct ipsg_data *g, struct sk_buff *skb) {
    struct jxbridge_port *port = jxbridge_port_at(g->bridge, JXBRIDGE_CB(skb)->port_no);
    struct ipsg_port *ip = ipsg_port_of(g, port);
    if (!ip)
        return skb;
    struct ipsg_frame f;
    parse(skb->data, skb->len, g->bridge->outer_ethertype, &f);
    if (!f.ipv4 && !f.ipv6) {
        IPSG_TRACE(g, "[IPSG]       Pass non-IP.\n");
        return skb;
    }
    if (is_dhcp(&f, skb->data)) {
        snoop(g, port, &f, skb->data, skb->len);
        IPSG_TRACE(g, "[IPSG]       Pass DHCP.\n");
        return skb;
    }
    if (f.ipv4) {
        if (!g->ipv4 || f.vid > 4094 || !bit_get(ip->vlans4, f.vid)) {
            IPSG_TRACE(g, "[IPSG]       IPSGv4 disabled.\n");
            return skb;
        }
    } else {
        if (!g->ipv6 || f.vid >= 4095 || !bit_get(ip->vlans6, f.vid)) {
            IPSG_TRACE(g, "[IPSG]       IPSGv6 disabled.\n");
            return skb;
        }
        if (f.l4proto == RULE_IPPROTO_ICMPV6) {
            IPSG_TRACE(g, "[IPSG]       Pass ICMPv6.\n");
            return skb;
        }
    }
    if (filter(g, ip, &f, skb->data + 6))
        return skb;
    if (f.ipv4)
        ip->dropped4++;
    else
        ip->dropped6++;
    IPSG_TRACE(g, "[IPSG]       Blocked.\n");
    kfree_skb(skb);
    return nullptr;
}

} // namespace

struct sk_buff *ipsg_skb(struct ipsg_data *g, struct sk_buff *skb, int ingress) {
    // Nothing to guard and no lease to learn: the frame goes by unread.
    if (!g || !skb || !ingress || (!g->ipv4 && !g->ipv6 && !g->learners))
        return skb;
    return guard(g, skb);
}

// Life cycle.

namespace {

void free_bindings(struct ipsg_port *ip) {
    while (struct ipsg_binding *b = ip->bindings) {
        ip->bindings = b->next;
        kfree(b);
    }
    ip->count = 0;
}

int ipsg_init(struct jxbridge *B) {
    auto *g = (struct ipsg_data *)jxbridge_zalloc(sizeof(struct ipsg_data));
    if (!g)
        return -ENOMEM;
    g->ports = (struct ipsg_port *)jxbridge_zalloc(B->max_ports * sizeof(struct ipsg_port));
    if (!g->ports) {
        kfree(g);
        return -ENOMEM;
    }
    g->bridge = B;
    g->debug = (u32)ipsg_debug;
    for (u32 i = 0; i < B->max_ports; i++)
        g->ports[i].limit = IPSG_DEFAULT_LIMIT;
    B->ipsg = g;
    IPSG_TRACE(g, "[%s/IPSG] Initialized (%p).\n", B->dev->name, (void *)g);
    return 0;
}

void ipsg_fini(struct jxbridge *B) {
    struct ipsg_data *g = B->ipsg;
    if (!g)
        return;
    IPSG_TRACE(g, "[IPSG] Releasing ports.\n");
    for (u32 i = 0; i < B->max_ports; i++)
        free_bindings(&g->ports[i]);
    kfree(g->ports);
    IPSG_TRACE(g, "[IPSG] Released (%p).\n", (void *)g);
    B->ipsg = nullptr;
    kfree(g);
}

// A slot taken by a new port starts as the bridge made it.
int ipsg_port_init(struct jxbridge_port *port) {
    struct ipsg_data *g = port->bridge->ipsg;
    struct ipsg_port *ip = g ? ipsg_port_of(g, port) : nullptr;
    if (ip) {
        free_bindings(ip);
        memset(ip, 0, sizeof(*ip));
        ip->limit = IPSG_DEFAULT_LIMIT;
        learners_count(g);
    }
    return 0;
}

void ipsg_subsys_debug(void *bridge, int on) {
    if (struct ipsg_data *g = ((struct jxbridge *)bridge)->ipsg)
        g->debug = (u32)on;
}

} // namespace

extern const struct jxbridge_subsys ipsg_subsys = {
    .tag = "IPSG",
    .init = ipsg_init,
    .fini = ipsg_fini,
    .port_init = ipsg_port_init,
    .port_fini = nullptr,
    .files = {{"ipsg", 0600, &ipsg_fops}},
    .set_debug = ipsg_subsys_debug,
};
