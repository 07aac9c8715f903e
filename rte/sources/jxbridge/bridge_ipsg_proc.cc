// The bridge's "ipsg" control file: text commands, the read-out and the
// record commands of the management agents. Handlers run under jxbridge_lock.
#include "bridge_ipsg.h"

#include <cstdarg>
#include <cstdio>

namespace {

struct ipsg_data *engine(struct jxbridge *B) {
    return B->ipsg;
}

// Where a listing goes: the read-out's sequence file, or the log ("show").
struct sink {
    struct seq_file *m;
};

__attribute__((format(printf, 2, 3))) void out(const struct sink &s, const char *fmt, ...) {
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    if (s.m)
        seq_puts(s.m, line);
    else
        printk(KERN_INFO "%s", line);
}

const char *mode_name(u32 mode) {
    return mode == IPSG_MODE_IP_MAC ? "IP+MAC" : mode == IPSG_MODE_IP ? "IP" : "<unknown>";
}

void list_bindings(const struct sink &s, struct ipsg_port *ip) {
    u32 now = (u32)ktime_get_real_seconds();
    char text[48];
    for (struct ipsg_binding *b = ip->bindings; b; b = b->next) {
        if (!ipsg_binding_live(b, now))
            continue;
        ipsg_ip_text(&b->ip, text, sizeof(text));
        const u8 *m = b->mac;
        if (!b->expiry)
            out(s,
                "                     |   mac=%02x:%02x:%02x:%02x:%02x:%02x, vid=%d, ip=%s/%d "
                "(static), matched=%u\n",
                m[0], m[1], m[2], m[3], m[4], m[5], b->vid, text, (int)b->prefix, b->matched);
        else
            out(s,
                "                     |   mac=%02x:%02x:%02x:%02x:%02x:%02x, vid=%d, ip=%s/%d "
                "(%lu s), matched=%u\n",
                m[0], m[1], m[2], m[3], m[4], m[5], b->vid, text, (int)b->prefix,
                (unsigned long)(b->expiry - now), b->matched);
    }
}

void list_state(const struct sink &s, struct jxbridge *B, int name_width) {
    struct ipsg_data *g = engine(B);
    char rule[86];
    memset(rule, '-', 85);
    rule[85] = '\0';
    out(s, "Debug: %s\nIPv4:  %s\nIPv6:  %s\n\n", int2onoff(g->debug), int2endis(g->ipv4),
        int2endis(g->ipv6));
    out(s, "%s\n", rule);
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        struct ipsg_port *ip = p ? ipsg_port_of(g, p) : nullptr;
        if (!ip)
            continue;
        out(s,
            "%*s | IPv4: (dropped %u), IPv6: (dropped %u), mode=%s, count=%u, max=%u, "
            "learn=%s\n",
            name_width, p->dev->name, ip->dropped4, ip->dropped6, mode_name(ip->mode), ip->count,
            ip->limit, ip->learn ? "On" : "Off");
        u32 n = 0, v4 = 0, v6 = 0;
        for (u32 v = ipsg_port_vlan_get_next(g, p, 0, &v4, &v6); v < 4096;
             v = ipsg_port_vlan_get_next(g, p, v + 1, &v4, &v6)) {
            if (n == 0)
                out(s, "                     | VLANs enabled (IPv4, IPv6): %d (%s,%s)", (int)v,
                    int2onoff(v4), int2onoff(v6));
            else if (n < 10)
                out(s, ", %d (%s,%s)", (int)v, int2onoff(v4), int2onoff(v6));
            n++;
        }
        if (n > 10)
            out(s, " ... (%u)\n", n);
        else if (n)
            out(s, "\n");
        list_bindings(s, ip);
    }
    out(s, "%s\n\n", rule);
}

// Words.

// Overflow is -ERANGE here, as the file's setters answer.
int word_u32_range(const char *word, u32 *v) {
    long long n;
    if (!word || !*word)
        return -ENOARG;
    if (a2num(word, &n) || n < 0)
        return -EINVAL;
    if (n > 0xFFFFFFFFll)
        return -ERANGE;
    *v = (u32)n;
    return 0;
}

int word_family(const char *word, u32 *family) {
    if (!word || !*word)
        return -ENOARG;
    if (!strcasecmp(word, "ipv4"))
        *family = IPSG_AF_INET;
    else if (!strcasecmp(word, "ipv6"))
        *family = IPSG_AF_INET6;
    else
        return -EINVAL;
    return 0;
}

// "<ip>[/len]": the prefix is 128 without a length.
int word_ip(char *word, struct ipsg_ip *ip, u32 *prefix) {
    if (!word || !*word)
        return -ENOARG;
    *prefix = 128;
    if (char *slash = strchr(word, '/')) {
        *slash = '\0';
        long long n;
        if (a2num(slash + 1, &n) || n < 0)
            return -EINVAL;
        if (n > 128)
            return -ERANGE;
        *prefix = (u32)n;
    }
    int family = 0;
    memset(ip, 0, sizeof(*ip));
    if (parse_ip(word, &family, ip->addr))
        return -EINVAL;
    ip->family = (u32)family;
    return 0;
}

int word_mac_vid_ip(char **w, u8 *mac, u16 *vid, struct ipsg_ip *ip, u32 *prefix) {
    if (!w[0] || !w[1] || !w[2])
        return -ENOARG;
    if (parse_mac(w[0], mac))
        return -EINVAL;
    u32 v;
    int rc = word_u32_range(w[1], &v);
    if (rc)
        return rc;
    if (v > IPSG_NO_VID)
        return -ERANGE;
    *vid = (u16)v;
    return word_ip(w[2], ip, prefix);
}

// Text commands.

int cmd_show(struct jxbridge *B, char **) {
    list_state(sink{nullptr}, B, 16);
    return 0;
}

int cmd_debug(struct jxbridge *B, char **w) {
    u32 v;
    int rc = word_u32_range(w[1], &v);
    if (!rc)
        engine(B)->debug = v;
    return rc;
}

int cmd_enable(struct jxbridge *B, char **w) {
    u32 family, state;
    int rc = word_family(w[1], &family);
    if (rc || (rc = word_u32_range(w[2], &state)))
        return rc;
    return ipsg_state_set(engine(B), family, state);
}

int cmd_port_bindings(struct jxbridge *B, struct jxbridge_port *p, char **w) {
    struct ipsg_data *g = engine(B);
    struct ipsg_ip ip;
    u32 prefix;
    u8 mac[6];
    u16 vid;
    if (!w[0]) {
        list_bindings(sink{nullptr}, ipsg_port_of(g, p));
        return 0;
    }
    if (!strcasecmp(w[0], "add")) {
        u32 ttl;
        int rc = word_u32_range(w[1], &ttl);
        if (rc || (rc = word_mac_vid_ip(w + 2, mac, &vid, &ip, &prefix)))
            return rc;
        return ipsg_port_bindings_add_ttl(g, p, ttl, mac, vid, &ip, prefix);
    }
    if (!strcasecmp(w[0], "del")) {
        int rc = word_mac_vid_ip(w + 1, mac, &vid, &ip, &prefix);
        return rc ? rc : ipsg_port_bindings_del(g, p, mac, vid, &ip);
    }
    return -EINVAL;
}

int cmd_port(struct jxbridge *B, char **w) {
    struct ipsg_data *g = engine(B);
    if (!w[1] || !w[2])
        return -ENOARG;
    struct jxbridge_port *p = nullptr;
    if (jxbridge_proc_port(B, w[1], &p))
        return -ENODEV;
    const char *what = w[2];
    u32 v, family;
    int rc;
    if (!strcasecmp(what, "enable")) {
        if ((rc = word_family(w[3], &family)) || (rc = word_u32_range(w[4], &v)))
            return rc;
        return ipsg_port_state_set(g, p, family, v);
    }
    if (!strcasecmp(what, "mode")) {
        if (!w[3])
            return -ENOARG;
        if (!strcasecmp(w[3], "ipv4"))
            return ipsg_port_mode_set(g, p, IPSG_MODE_IP);
        if (!strcasecmp(w[3], "ipv4+mac"))
            return ipsg_port_mode_set(g, p, IPSG_MODE_IP_MAC);
        return -EINVAL;
    }
    if (!strcasecmp(what, "learn")) {
        if ((rc = word_u32_range(w[3], &v)))
            return rc;
        return ipsg_port_learn_set(g, p, v);
    }
    if (!strcasecmp(what, "limit")) {
        if ((rc = word_u32_range(w[3], &v)))
            return rc;
        return ipsg_port_limits_set(g, p, v);
    }
    if (!strcasecmp(what, "bindings"))
        return cmd_port_bindings(B, p, w + 3);
    return -EINVAL;
}

const struct jxbridge_proc_cmd ipsg_cmds[] = {
    {"help", nullptr, "\thelp\n", 0},
    {"show", cmd_show, "\tshow\n", 0},
    {"debug", cmd_debug, "\tdebug <mode>\n", 0},
    {"enable", cmd_enable, "\tenable <af> <mode>\n", 0},
    {"port", cmd_port,
     "\tport <port> enable <af> <mode>\n\tport <port> mode ipv4|ipv4+mac\n\tport <port> learn "
     "<mode>\n\tport <port> limit <max>\n\tport <port> bindings\n\tport <port> bindings add "
     "<ttl_seconds> <mac> <vid> <ip>\n\tport <port> bindings del <mac> <vid> <ip>\n",
     0},
};

// Records.

// The record's port: its name field is terminated in a copy, bytes 0-19.
int record_port(struct jxbridge *B, const char *field, struct jxbridge_port **out) {
    char name[IPSG_NAME_FIELD];
    memcpy(name, field, sizeof(name));
    name[sizeof(name) - 1] = '\0';
    if (jxbridge_proc_port(B, name, out)) {
        IPSG_TRACE(engine(B), "[IPSG]   No port '%s'.\n", name);
        return -ENODEV;
    }
    return 0;
}

long ioc_debug_set(struct jxbridge *B, unsigned int, unsigned long arg) {
    engine(B)->debug = (u32)arg;
    return 0;
}

long ioc_debug_get(struct jxbridge *B, unsigned int, u32 *v, unsigned long) {
    *v = engine(B)->debug;
    return 0;
}

long ioc_state(struct jxbridge *B, unsigned int cmd, struct ipsg_state_request *r, unsigned long) {
    if (cmd == IPSG_IOCTL_STATE_SET)
        return ipsg_state_set(engine(B), r->family, r->state);
    return ipsg_state_get(engine(B), r->family, &r->state);
}

long ioc_nothing(struct jxbridge *, unsigned int, unsigned long) {
    return 0;
}

long ioc_port(struct jxbridge *B, unsigned int cmd, struct ipsg_port_request *r, unsigned long) {
    struct ipsg_data *g = engine(B);
    struct jxbridge_port *p;
    int rc = record_port(B, r->name, &p);
    if (rc)
        return rc;
    struct ipsg_port *ip = ipsg_port_of(g, p);
    if (!ip)
        return -ENODEV;
    switch (cmd) {
    case IPSG_IOCTL_PORT_STATE_SET:
        return ipsg_port_state_set(g, p, r->value, r->value2);
    case IPSG_IOCTL_PORT_MODE_SET:
        return ipsg_port_mode_set(g, p, r->value);
    case IPSG_IOCTL_PORT_MODE_GET:
        r->value = ip->mode;
        return 0;
    case IPSG_IOCTL_PORT_LEARN_SET:
        return ipsg_port_learn_set(g, p, r->value);
    case IPSG_IOCTL_PORT_LEARN_GET:
        r->value = ip->learn;
        return 0;
    case IPSG_IOCTL_PORT_LIMIT_SET:
        return ipsg_port_limits_set(g, p, r->value);
    case IPSG_IOCTL_PORT_LIMITS_GET:
        r->value = ip->limit;
        r->value2 = ip->count;
        return 0;
    case IPSG_IOCTL_PORT_STAT_GET:
        r->value = ip->dropped4;
        r->value2 = ip->dropped6;
        return 0;
    }
    return -EINVAL;
}

long ioc_vlan(struct jxbridge *B, unsigned int, struct ipsg_vlan_request *r, unsigned long) {
    struct jxbridge_port *p;
    int rc = record_port(B, r->name, &p);
    return rc ? rc : ipsg_vlan_state_set(engine(B), p, r->vid, r->enable, r->ipv4, r->ipv6);
}

long ioc_clear_vlans(struct jxbridge *B, unsigned int, unsigned long) {
    for (u32 i = 0; i < B->max_ports; i++)
        if (B->ports[i])
            ipsg_clear_vlans(engine(B), B->ports[i]);
    return 0;
}

long ioc_binding(struct jxbridge *B, unsigned int cmd, struct ipsg_binding_request *r,
                 unsigned long) {
    struct ipsg_data *g = engine(B);
    struct jxbridge_port *p;
    int rc = record_port(B, r->name, &p);
    if (rc)
        return rc;
    if (cmd == IPSG_IOCTL_BINDING_ADD)
        return ipsg_port_bindings_add_ttl(g, p, r->ttl, r->mac, r->vid, &r->ip, r->prefix);
    if (cmd == IPSG_IOCTL_BINDING_DEL)
        return ipsg_port_bindings_del(g, p, r->mac, r->vid, &r->ip);
    struct ipsg_binding *b;
    if ((rc = ipsg_port_bindings_get(g, p, r->index, &b)))
        return rc;
    u32 now = (u32)ktime_get_real_seconds();
    r->ttl = !b->expiry ? 0 : b->expiry > now ? b->expiry - now : 0;
    memcpy(r->mac, b->mac, 6);
    r->vid = b->vid;
    r->ip = b->ip;
    r->prefix = b->prefix;
    r->matched = b->matched;
    return 0;
}

#define IN JXBRIDGE_IOC_IN
#define INOUT (JXBRIDGE_IOC_IN | JXBRIDGE_IOC_OUT)
const struct jxbridge_proc_ioc ipsg_iocs[] = {
    JXBRIDGE_IOC_VALUE(IPSG_IOCTL_DEBUG_SET, ioc_debug_set),
    JXBRIDGE_IOC(IPSG_IOCTL_DEBUG_GET, u32, JXBRIDGE_IOC_OUT, ioc_debug_get),
    JXBRIDGE_IOC(IPSG_IOCTL_STATE_SET, ipsg_state_request, IN, ioc_state),
    JXBRIDGE_IOC(IPSG_IOCTL_STATE_GET, ipsg_state_request, INOUT, ioc_state),
    JXBRIDGE_IOC(IPSG_IOCTL_PORT_STATE_SET, ipsg_port_request, IN, ioc_port),
    JXBRIDGE_IOC_VALUE(IPSG_IOCTL_PORT_STATE_GET, ioc_nothing),
    JXBRIDGE_IOC(IPSG_IOCTL_PORT_MODE_SET, ipsg_port_request, IN, ioc_port),
    JXBRIDGE_IOC(IPSG_IOCTL_PORT_MODE_GET, ipsg_port_request, INOUT, ioc_port),
    JXBRIDGE_IOC(IPSG_IOCTL_PORT_LEARN_SET, ipsg_port_request, IN, ioc_port),
    JXBRIDGE_IOC(IPSG_IOCTL_PORT_LEARN_GET, ipsg_port_request, INOUT, ioc_port),
    JXBRIDGE_IOC(IPSG_IOCTL_PORT_LIMIT_SET, ipsg_port_request, IN, ioc_port),
    JXBRIDGE_IOC(IPSG_IOCTL_PORT_LIMITS_GET, ipsg_port_request, INOUT, ioc_port),
    JXBRIDGE_IOC(IPSG_IOCTL_PORT_STAT_GET, ipsg_port_request, INOUT, ioc_port),
    JXBRIDGE_IOC(IPSG_IOCTL_BINDING_ADD, ipsg_binding_request, IN, ioc_binding),
    JXBRIDGE_IOC(IPSG_IOCTL_BINDING_DEL, ipsg_binding_request, IN, ioc_binding),
    JXBRIDGE_IOC(IPSG_IOCTL_BINDING_GET, ipsg_binding_request, INOUT, ioc_binding),
    JXBRIDGE_IOC(IPSG_IOCTL_VLAN_STATE_SET, ipsg_vlan_request, IN, ioc_vlan),
    JXBRIDGE_IOC_VALUE(IPSG_IOCTL_CLEAR_VLANS, ioc_clear_vlans),
};
#undef IN
#undef INOUT

int ipsg_show(struct seq_file *m, void *) {
    struct jxbridge *B = (struct jxbridge *)m->private_data;
    mutex_lock(&jxbridge_lock);
    if (engine(B))
        list_state(sink{m}, B, 20);
    mutex_unlock(&jxbridge_lock);
    return 0;
}

int ipsg_check(struct jxbridge *B) {
    return engine(B) ? 0 : -ENODEV;
}

bool ipsg_file_debug(struct jxbridge *B) {
    return engine(B) && engine(B)->debug;
}

const struct jxbridge_proc_ops ipsg_ops = {
    .tag = "IPSG",
    .log = JXBRIDGE_PROC_LOG_PLAIN,
    .debug = ipsg_file_debug,
    .check = ipsg_check,
    .cmds = ipsg_cmds,
    .n_cmds = ARRAY_SIZE(ipsg_cmds),
    .iocs = ipsg_iocs,
    .n_iocs = ARRAY_SIZE(ipsg_iocs),
    .trace = nullptr,
    .say = nullptr,
    .unknown = nullptr,
};

} // namespace

const struct file_operations ipsg_fops = jxbridge_proc_file<ipsg_show, &ipsg_ops>::fops;
