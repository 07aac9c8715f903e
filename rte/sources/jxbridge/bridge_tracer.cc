// The trace channel and the per-bridge frame tracer: every debug trace of the
// module goes to the open tracer files, and a matching frame turns all debug
// output on for its way through the bridge.
#include "jxbridge.h"

#include <cstdio>
#include <vector>

u32 jxbridge_trace_printk;
EXPORT_SYMBOL(jxbridge_trace_printk);
u32 jxbridge_trace_add_timestamp;
EXPORT_SYMBOL(jxbridge_trace_add_timestamp);

// Open tracer files: readers of the one trace channel.
static struct mutex tracer_files_lock;
static struct jxbridge_log_reader *tracer_files;
static u32 tracer_file_count; // (atomic access: the fast path tests it unlocked)

// Subsystems whose debug output the frame tracer switches.
static spinlock_t jxbridge_tracers_lock;
static struct jxbridge_tracer *jxbridge_tracers;

void jxbridge_trace_init() {
    __atomic_store_n(&jxbridge_trace_printk, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&jxbridge_trace_add_timestamp, 0, __ATOMIC_RELAXED);
}

static bool trace_wanted() {
    return __atomic_load_n(&jxbridge_trace_printk, __ATOMIC_RELAXED) ||
           __atomic_load_n(&tracer_file_count, __ATOMIC_ACQUIRE);
}

static int trace_line(bool ts, const char *fmt, va_list args) {
    if (!trace_wanted())
        return 0;
    char buf[JXBRIDGE_LOG_CHUNK_SIZE];
    u32 len = jxbridge_log_format(buf, ts, fmt, args);
    int rc = (int)len;
    mutex_lock(&tracer_files_lock);
    for (struct jxbridge_log_reader *r = tracer_files; r; r = r->next)
        if (jxbridge_log_reader_append(r, buf, len) < 0) {
            rc = -ENOMEM;
            break;
        }
    mutex_unlock(&tracer_files_lock);
    if (__atomic_load_n(&jxbridge_trace_printk, __ATOMIC_RELAXED))
        printk(KERN_INFO "%s", buf);
    return rc;
}

int jxbridge_tracev_(const char *fmt, va_list args) {
    return trace_line(false, fmt, args);
}
EXPORT_SYMBOL(jxbridge_tracev_);

int jxbridge_trace_(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int rc = trace_line(false, fmt, ap);
    va_end(ap);
    return rc;
}
EXPORT_SYMBOL(jxbridge_trace_);

int jxbridge_tracev_ts(const char *fmt, va_list args) {
    return trace_line(true, fmt, args);
}
EXPORT_SYMBOL(jxbridge_tracev_ts);

int jxbridge_trace_ts(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int rc = trace_line(true, fmt, ap);
    va_end(ap);
    return rc;
}
EXPORT_SYMBOL(jxbridge_trace_ts);

int jxbridge_tracev(const char *fmt, va_list args) {
    return trace_line(__atomic_load_n(&jxbridge_trace_add_timestamp, __ATOMIC_RELAXED), fmt, args);
}
EXPORT_SYMBOL(jxbridge_tracev);

int jxbridge_trace(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int rc = jxbridge_tracev(fmt, ap);
    va_end(ap);
    return rc;
}
EXPORT_SYMBOL(jxbridge_trace);

void jxbridge_tracer_printk_set(u32 on) {
    __atomic_store_n(&jxbridge_trace_printk, on, __ATOMIC_RELAXED);
}

// Registered debug switches.

int jxbridge_tracer_register(struct jxbridge_tracer *tracer) {
    if (!tracer)
        return -EINVAL;
    unsigned long flags;
    spin_lock_irqsave(&jxbridge_tracers_lock, flags);
    for (struct jxbridge_tracer *t = jxbridge_tracers; t; t = t->next)
        if (t == tracer) {
            spin_unlock_irqrestore(&jxbridge_tracers_lock, flags);
            return -EEXIST;
        }
    tracer->prev = nullptr;
    tracer->next = jxbridge_tracers;
    if (jxbridge_tracers)
        jxbridge_tracers->prev = tracer;
    jxbridge_tracers = tracer;
    spin_unlock_irqrestore(&jxbridge_tracers_lock, flags);
    return 0;
}
EXPORT_SYMBOL(jxbridge_tracer_register);

int jxbridge_tracer_unregister(struct jxbridge_tracer *tracer) {
    if (!tracer)
        return -EINVAL;
    unsigned long flags;
    spin_lock_irqsave(&jxbridge_tracers_lock, flags);
    struct jxbridge_tracer *t = jxbridge_tracers;
    while (t && t != tracer)
        t = t->next;
    if (!t) {
        spin_unlock_irqrestore(&jxbridge_tracers_lock, flags);
        return -ENOENT;
    }
    if (t->prev)
        t->prev->next = t->next;
    else
        jxbridge_tracers = t->next;
    if (t->next)
        t->next->prev = t->prev;
    t->prev = t->next = nullptr;
    spin_unlock_irqrestore(&jxbridge_tracers_lock, flags);
    return 0;
}
EXPORT_SYMBOL(jxbridge_tracer_unregister);

static void tracer_set_debug(int on) {
    debug = on;
    unsigned long flags;
    spin_lock_irqsave(&jxbridge_tracers_lock, flags);
    for (struct jxbridge_tracer *t = jxbridge_tracers; t; t = t->next)
        if (t->set_debug)
            t->set_debug(t->context, on);
    spin_unlock_irqrestore(&jxbridge_tracers_lock, flags);
}

// Frame conditions. Every read of the frame is bounded by its length.

static u16 rd16(const u8 *p) {
    return (u16)(p[0] << 8 | p[1]);
}
static u32 rd32(const u8 *p) {
    return (u32)p[0] << 24 | (u32)p[1] << 16 | (u32)p[2] << 8 | p[3];
}

// The frame from its Ethernet header: the MAC header when the pipeline has
// already pulled it, else the data.
static const u8 *frame_bytes(const struct sk_buff *skb, u32 *len) {
    const u8 *start = skb->data;
    if (skb_mac_header_was_set(skb) && skb_mac_header(skb) <= skb->data &&
        skb_mac_header(skb) >= skb->head)
        start = skb_mac_header(skb);
    *len = (u32)(skb->data + skb->len - start);
    return start;
}

static bool tracer_rx_gem(const struct jxbridge *B, u32 *gem) {
    const struct jxbridge_tracer_state *T = &B->tracer;
    if (T->rx_gem_valid) {
        *gem = T->rx_gem;
        return true;
    }
    const struct jxbridge_port *p = T->in_port ? T->in_port : T->port;
    if (p && p->kind == JXBRIDGE_PORT_PON_OLT && T->skb) {
        *gem = T->skb->scratch & 0xFFFF;
        return true;
    }
    return false;
}

#define TC_FRAME                                                                                   \
    (JXBRIDGE_TC_DMAC | JXBRIDGE_TC_SMAC | JXBRIDGE_TC_VID | JXBRIDGE_TC_ETHERTYPE |               \
     JXBRIDGE_TC_IPPROTO | JXBRIDGE_TC_SIP | JXBRIDGE_TC_DIP | JXBRIDGE_TC_SPORT |                 \
     JXBRIDGE_TC_DPORT)
#define TC_L3                                                                                      \
    (JXBRIDGE_TC_IPPROTO | JXBRIDGE_TC_SIP | JXBRIDGE_TC_DIP | JXBRIDGE_TC_SPORT |                 \
     JXBRIDGE_TC_DPORT)

static bool frame_conditions_hold(const struct jxbridge *B, const struct jxbridge_tracer_cond *c,
                                  const u8 *p, u32 len) {
    if (len < ETH_HLEN)
        return false;
    if ((c->set & JXBRIDGE_TC_DMAC) && memcmp(p, c->dmac, ETH_ALEN))
        return false;
    if ((c->set & JXBRIDGE_TC_SMAC) && memcmp(p + ETH_ALEN, c->smac, ETH_ALEN))
        return false;
    // The tag chain: every ethertype on the way counts for "ethertype".
    u16 stag = B->outer_ethertype;
    bool et_match = false, tagged = false;
    u16 outer_vid = 0, et = 0;
    u32 off = 2 * ETH_ALEN;
    bool complete = false;
    while (off + 2 <= len) {
        et = rd16(p + off);
        if (et == c->ethertype)
            et_match = true;
        if (et != ETH_P_8021Q && !(stag && et == stag)) {
            off += 2;
            complete = true;
            break;
        }
        if (off + 4 > len)
            break;
        if (!tagged) {
            outer_vid = rd16(p + off + 2) & 0x0FFF;
            tagged = true;
        }
        off += 4;
    }
    if ((c->set & JXBRIDGE_TC_ETHERTYPE) && !et_match)
        return false;
    if ((c->set & JXBRIDGE_TC_VID) && (!tagged || outer_vid != c->vid))
        return false;
    if (!(c->set & TC_L3))
        return true;
    if (!complete)
        return false;
    u8 proto;
    u32 l4 = 0;
    bool have_l4 = false;
    if (et == ETH_P_IP) {
        if (off + 20 > len || (p[off] >> 4) != 4)
            return false;
        u32 ihl = (u32)(p[off] & 0x0F) * 4;
        if (ihl < 20 || off + ihl > len)
            return false;
        proto = p[off + 9];
        u32 sip = rd32(p + off + 12), dip = rd32(p + off + 16);
        if ((c->set & JXBRIDGE_TC_SIP) && (sip & c->sip_mask) != (c->sip & c->sip_mask))
            return false;
        if ((c->set & JXBRIDGE_TC_DIP) && (dip & c->dip_mask) != (c->dip & c->dip_mask))
            return false;
        // Only the first fragment carries the ports.
        have_l4 = (rd16(p + off + 6) & 0x1FFF) == 0;
        l4 = off + ihl;
    } else if (et == ETH_P_IPV6) {
        if (c->set & (JXBRIDGE_TC_SIP | JXBRIDGE_TC_DIP))
            return false; // IPv4 addresses only
        if (off + 40 > len || (p[off] >> 4) != 6)
            return false;
        proto = p[off + 6];
        l4 = off + 40;
        have_l4 = true;
        // Extension headers; a chain longer than this is not followed.
        for (int n = 0; n < 16; n++) {
            u32 hlen;
            if (proto == 0 || proto == 43 || proto == 60) {
                if (l4 + 2 > len)
                    return false;
                hlen = ((u32)p[l4 + 1] + 1) * 8;
            } else if (proto == 51) {
                if (l4 + 2 > len)
                    return false;
                hlen = ((u32)p[l4 + 1] + 2) * 4;
            } else if (proto == 44) {
                if (l4 + 8 > len)
                    return false;
                hlen = 8;
                if (rd16(p + l4 + 2) & 0xFFF8)
                    have_l4 = false;
            } else {
                break;
            }
            proto = p[l4];
            l4 += hlen;
        }
        if (proto == 0 || proto == 43 || proto == 60 || proto == 51 || proto == 44)
            return false;
    } else {
        return false;
    }
    if ((c->set & JXBRIDGE_TC_IPPROTO) && proto != c->ipproto)
        return false;
    if (c->set & (JXBRIDGE_TC_SPORT | JXBRIDGE_TC_DPORT)) {
        if ((proto != 6 && proto != 17) || !have_l4 || l4 + 4 > len)
            return false;
        if ((c->set & JXBRIDGE_TC_SPORT) && rd16(p + l4) != c->sport)
            return false;
        if ((c->set & JXBRIDGE_TC_DPORT) && rd16(p + l4 + 2) != c->dport)
            return false;
    }
    return true;
}

static bool conditions_hold(const struct jxbridge *B) {
    const struct jxbridge_tracer_state *T = &B->tracer;
    const struct jxbridge_tracer_cond *c = &T->cond;
    const struct sk_buff *skb = T->skb;
    if (!skb)
        return false;
    if (c->set & JXBRIDGE_TC_RXPORT) {
        const struct jxbridge_port *p = T->in_port ? T->in_port : T->port;
        if (!p || p->bll_port_no != c->rx_port)
            return false;
    }
    if ((c->set & JXBRIDGE_TC_TXPORT) && (!T->port || T->port->bll_port_no != c->tx_port))
        return false;
    if (c->set & JXBRIDGE_TC_RXGEM) {
        u32 gem;
        if (!tracer_rx_gem(B, &gem) || gem != c->rx_gem)
            return false;
    }
    if (c->set & JXBRIDGE_TC_RXIFC) {
        int ifx = T->rx_ifindex ? T->rx_ifindex : (skb->dev ? skb->dev->ifindex : 0);
        if (ifx != c->rx_ifindex)
            return false;
    }
    if ((c->set & JXBRIDGE_TC_TXIFC) && (!skb->dev || skb->dev->ifindex != c->tx_ifindex))
        return false;
    if (!(c->set & TC_FRAME))
        return true;
    u32 len;
    const u8 *p = frame_bytes(skb, &len);
    return frame_conditions_hold(B, c, p, len);
}

// The frame tracer.

int jxbridge_tracer_condition(struct jxbridge *B) {
    if (!B)
        return 0;
    struct jxbridge_tracer_state *T = &B->tracer;
    if (T->active)
        return 1;
    if (!T->frames_left || T->paused || !conditions_hold(B))
        return 0;
    jxbridge_tracer_toggle(B, 1);
    return 1;
}

void jxbridge_tracer_toggle(struct jxbridge *B, int on) {
    if (!B)
        return;
    struct jxbridge_tracer_state *T = &B->tracer;
    if (on) {
        if (T->active)
            return;
        T->ordinal = T->total - T->frames_left + 1;
        if (T->pcap.mode && (T->pcap.points & JXBRIDGE_TRACER_CAP_RX) && T->skb)
            jxbridge_tracer_capture(B, T->skb, JXBRIDGE_TRACER_CAP_RX);
        T->active = 1;
        if (T->pcap.mode == JXBRIDGE_TRACER_PCAP_ONLY)
            return;
        jxbridge_trace_("-----------------------------------------------------------------------"
                        "-----------------\n");
        jxbridge_trace_ts(
            "################################## TRACER=%d ##################################\n",
            (int)T->ordinal);
        tracer_set_debug(1);
        return;
    }
    if (!T->active)
        return;
    if (!T->frames_left && T->pcap.mode) {
        jxbridge_tracer_capture_end(B);
        jxbridge_trace_("PCAP capture finished.\n\n\n");
    }
    T->active = 0;
    // A capture-only run never turned the debug output on.
    if (T->pcap.mode == JXBRIDGE_TRACER_PCAP_ONLY)
        return;
    tracer_set_debug(0);
    jxbridge_trace_("######################################## TRACER=%d ########################\n",
                    (int)T->ordinal);
}

void jxbridge_tracer_tick(struct jxbridge *B) {
    if (!B || !B->tracer.active)
        return;
    struct jxbridge_tracer_state *T = &B->tracer;
    if (!T->frames_left) {
        jxbridge_tracer_toggle(B, 0);
        return;
    }
    T->frames_left--;
    if (T->pcap.mode != JXBRIDGE_TRACER_PCAP_ONLY)
        jxbridge_trace_("######################## TRACER=%d/%d ########################\n\n",
                        (int)T->ordinal, (int)T->total);
}

void jxbridge_tracer_backup(struct jxbridge *B) {
    if (!B)
        return;
    struct jxbridge_tracer_state *T = &B->tracer;
    T->saved.active = T->active;
    T->saved.skb = T->skb;
    T->saved.in_port = T->in_port;
    T->saved.port = T->port;
    T->saved.rx_ifindex = T->rx_ifindex;
    T->saved.rx_gem_valid = T->rx_gem_valid;
    T->saved.rx_gem = T->rx_gem;
}

void jxbridge_tracer_restore(struct jxbridge *B) {
    if (!B)
        return;
    struct jxbridge_tracer_state *T = &B->tracer;
    u32 was = T->active;
    T->active = T->saved.active;
    T->skb = T->saved.skb;
    T->in_port = T->saved.in_port;
    T->port = T->saved.port;
    T->rx_ifindex = T->saved.rx_ifindex;
    T->rx_gem_valid = T->saved.rx_gem_valid;
    T->rx_gem = T->saved.rx_gem;
    // Nested processing may have switched the debug output off (or on).
    if (T->pcap.mode == JXBRIDGE_TRACER_PCAP_ONLY || !T->active == !was)
        return;
    tracer_set_debug(T->active ? 1 : 0);
}

void jxbridge_tracer_frame_begin(struct jxbridge *B, struct sk_buff *skb,
                                 struct jxbridge_port *port) {
    if (!B)
        return;
    struct jxbridge_tracer_state *T = &B->tracer;
    T->skb = skb;
    T->in_port = nullptr;
    T->port = port;
    T->rx_ifindex = skb && skb->dev ? skb->dev->ifindex : 0;
    T->rx_gem_valid = 0;
    T->rx_gem = 0;
    if (skb && port && port->kind == JXBRIDGE_PORT_PON_OLT) {
        T->rx_gem_valid = 1;
        T->rx_gem = skb->scratch & 0xFFFF;
    }
    jxbridge_tracer_condition(B);
}

void jxbridge_tracer_frame_end(struct jxbridge *B) {
    if (!B)
        return;
    struct jxbridge_tracer_state *T = &B->tracer;
    jxbridge_tracer_toggle(B, 0);
    T->skb = nullptr;
    T->in_port = nullptr;
    T->port = nullptr;
    T->rx_ifindex = 0;
    T->rx_gem_valid = 0;
}

void jxbridge_tracer_egress(struct jxbridge *B, struct sk_buff *skb, struct jxbridge_port *port) {
    if (!B || !skb || !port)
        return;
    struct jxbridge_tracer_state *T = &B->tracer;
    // Only inside a frame of the pipeline, whose end switches the tracer off.
    if (T->active || !T->skb || !(T->cond.set & (JXBRIDGE_TC_TXPORT | JXBRIDGE_TC_TXIFC)))
        return;
    struct sk_buff *was_skb = T->skb;
    struct jxbridge_port *was_in = T->in_port, *was_port = T->port;
    struct net_device *was_dev = skb->dev;
    T->in_port = was_in ? was_in : was_port;
    T->port = port;
    T->skb = skb;
    skb->dev = port->dev;
    jxbridge_tracer_condition(B);
    skb->dev = was_dev;
    T->skb = was_skb;
    T->in_port = was_in;
    T->port = was_port;
}

int jxbridge_tracer_dlf_pause(struct jxbridge *B) {
    if (!B || !B->tracer.dlf_stop || !B->tracer.active || B->tracer.paused)
        return 0;
    struct jxbridge_tracer_state *T = &B->tracer;
    jxbridge_trace("[Bridge]    Pausing tracing on DLF.\n");
    jxbridge_tracer_backup(B);
    T->active = 0;
    T->paused = 1; // the flooded copies must not arm it again
    if (T->pcap.mode != JXBRIDGE_TRACER_PCAP_ONLY)
        tracer_set_debug(0);
    return 1;
}

void jxbridge_tracer_dlf_resume(struct jxbridge *B, int paused) {
    if (!B || !paused)
        return;
    B->tracer.paused = 0;
    jxbridge_tracer_restore(B);
}

void jxbridge_tracer_capture_at(struct jxbridge *B, struct sk_buff *skb, u32 point) {
    if (!B || !skb)
        return;
    const struct jxbridge_tracer_state *T = &B->tracer;
    if (!T->active || !T->pcap.mode || !(T->pcap.points & point))
        return;
    if (point == JXBRIDGE_TRACER_CAP_TX && T->pcap.out_ifindex &&
        (!skb->dev || skb->dev->ifindex != T->pcap.out_ifindex))
        return;
    jxbridge_tracer_capture(B, skb, point);
}

// The frame printer.

static void trace_decoded(void *arg, const char *line) {
    jxbridge_trace("%s %s\n", (const char *)arg, line);
}

void jxbridge_trace_frame_data(const char *prefix, const u8 *data, u32 len, u16 stag) {
    if (!trace_wanted() || !data)
        return;
    jxbridge_decode_frame(data, len, stag, trace_decoded, (void *)(prefix ? prefix : ""));
}
EXPORT_SYMBOL(jxbridge_trace_frame_data);

void jxbridge_trace_frame(const char *function, struct jxbridge *B) {
    if (!B || !trace_wanted())
        return;
    const struct jxbridge_tracer_state *T = &B->tracer;
    const struct sk_buff *skb = T->skb;
    if (!function)
        function = "";
    if (!skb) {
        jxbridge_trace("[Bridge] %s(skb=0)\n", function);
        return;
    }
    u16 flags = JXBRIDGE_CB(const_cast<struct sk_buff *>(skb))->flags;
    jxbridge_trace("[Bridge] %s(skb=%p%s, head=%p, data=%p,\n", function, (const void *)skb,
                   (flags & JXBRIDGE_CB_F_INTERNAL) ? " [internal]" : "", (const void *)skb->head,
                   (const void *)skb->data);
    const char *dev = skb->dev ? skb->dev->name : "(none)";
    const char *br = B->dev ? B->dev->name : "(none)";
    if (T->port && T->port->kind == JXBRIDGE_PORT_PON_OLT)
        jxbridge_trace("[Bridge]       tail=%p, end=%p, len=%d)@%s [%s] GEM=%d Queue=%d\n",
                       (const void *)skb_tail_pointer(skb), (const void *)skb_end_pointer(skb),
                       (int)skb->len, dev, br, (int)(skb->scratch & 0xFFFF),
                       (int)((skb->scratch >> 16) & 0xFF));
    else
        jxbridge_trace("[Bridge]       tail=%p, end=%p, len=%d)@%s [%s]\n",
                       (const void *)skb_tail_pointer(skb), (const void *)skb_end_pointer(skb),
                       (int)skb->len, dev, br);
    u32 len;
    const u8 *p = frame_bytes(skb, &len);
    jxbridge_trace_frame_data("[Bridge]     |", p, len, B->outer_ethertype);
}

// The tracer file.

static const struct {
    u8 number;
    const char *name;
} ip_protocols[] = {
    {1, "ICMP"},  {2, "IGMP"},  {4, "IPIP"},   {6, "TCP"},    {17, "UDP"},
    {41, "IPv6"}, {47, "GRE"},  {50, "ESP"},   {51, "AH"},    {58, "ICMPv6"},
    {89, "OSPF"}, {103, "PIM"}, {112, "VRRP"}, {132, "SCTP"},
};

static const char *ipproto2a(u8 number) {
    for (const auto &p : ip_protocols)
        if (p.number == number)
            return p.name;
    return "unknown";
}

static void ipv4_text(u32 addr, char *buf, size_t size) {
    snprintf(buf, size, "%u.%u.%u.%u", addr >> 24, (addr >> 16) & 0xFF, (addr >> 8) & 0xFF,
             addr & 0xFF);
}

// A bad word of "tracer": said on the trace channel, where the writer reads.
static int tracer_bad_word(int at, const char *word, int rc) {
    jxbridge_trace_("@%d: Invalid trace option: %s\n", at, word);
    return rc;
}

static int tracer_num(const char *word, long long lo, long long hi, long long *out) {
    int rc = a2num(word, out);
    if (rc)
        return rc;
    return *out < lo || *out > hi ? -ERANGE : 0;
}

// "a.b.c.d" or "a.b.c.d/e.f.g.h" or "a.b.c.d/len".
static int tracer_ip_mask(const char *word, u32 *addr, u32 *mask) {
    char ip[JXBRIDGE_LINE_MAX];
    strlcpy(ip, word, sizeof(ip));
    char *slash = strchr(ip, '/');
    *mask = 0xFFFFFFFF;
    if (slash) {
        *slash = '\0';
        const char *m = slash + 1;
        if (strchr(m, '.')) {
            if (parse_ipv4(m, mask))
                return -EINVAL;
        } else {
            long long bits;
            int rc = tracer_num(m, 0, 32, &bits);
            if (rc)
                return rc;
            *mask = bits ? 0xFFFFFFFFu << (32 - bits) : 0;
        }
    }
    return parse_ipv4(ip, addr) ? -EINVAL : 0;
}

// What "tracer" has parsed so far: the tracer takes it only once every word
// has parsed, so a bad word changes nothing.
struct tracer_parse {
    struct jxbridge *B;
    struct jxbridge_tracer_cond c;
    struct jxbridge_tracer_capture_opts pc;
    u32 dlf;
};

// "pcap" or "pcap-only", its capture points and their options.
static int tracer_parse_pcap(struct tracer_parse *t, char **w, int *at) {
    int i = *at;
    struct jxbridge_tracer_capture_opts *pc = &t->pc;
    if (!w[i] || (strcmp(w[i], "pcap") && strcmp(w[i], "pcap-only")))
        return 0;
    pc->mode = !strcmp(w[i], "pcap") ? JXBRIDGE_TRACER_PCAP : JXBRIDGE_TRACER_PCAP_ONLY;
    for (i++; w[i]; i++) {
        if (!strcmp(w[i], "rx")) {
            pc->points |= JXBRIDGE_TRACER_CAP_RX;
        } else if (!strcmp(w[i], "mt")) {
            pc->points |= JXBRIDGE_TRACER_CAP_MT;
        } else if (!strcmp(w[i], "tx")) {
            pc->points |= JXBRIDGE_TRACER_CAP_TX;
        } else if (!strcmp(w[i], "annotate")) {
            pc->annotate = 1;
        } else if (!strcmp(w[i], "out")) {
            if (!w[i + 1])
                return -ENOARG;
            struct net_device *dev = __dev_get_by_name(&init_net, w[i + 1]);
            if (!dev)
                return -ENODEV;
            pc->out_ifindex = dev->ifindex;
            strlcpy(pc->out_name, dev->name, sizeof(pc->out_name));
            i++;
        } else {
            break;
        }
    }
    if (!pc->points)
        pc->points = JXBRIDGE_TRACER_CAP_RX;
    *at = i;
    return 0;
}

// Conditions: each takes its keyword k, its value v and the value's place.
static int tracer_opt_port(struct tracer_parse *t, const char *k, const char *v, int at) {
    struct jxbridge_tracer_cond *c = &t->c;
    struct jxbridge_port *port = nullptr;
    int rc = jxbridge_get_port_by_name(t->B, v, &port);
    if (rc)
        return tracer_bad_word(at, v, rc);
    bool rx = k[0] == 'r';
    c->set |= rx ? JXBRIDGE_TC_RXPORT : JXBRIDGE_TC_TXPORT;
    (rx ? c->rx_port : c->tx_port) = port->bll_port_no;
    strlcpy(rx ? c->rx_port_name : c->tx_port_name, port->dev->name, IFNAMSIZ);
    return 0;
}

static int tracer_opt_rxgem(struct tracer_parse *t, const char *, const char *v, int at) {
    long long n;
    int rc = tracer_num(v, 0, 0xFFFF, &n);
    if (rc)
        return tracer_bad_word(at, v, rc);
    t->c.set |= JXBRIDGE_TC_RXGEM;
    t->c.rx_gem = (u32)n;
    return 0;
}

static int tracer_opt_ifc(struct tracer_parse *t, const char *k, const char *v, int at) {
    long long n;
    int rc = tracer_num(v, 1, INT32_MAX, &n);
    if (rc)
        return tracer_bad_word(at, v, rc);
    bool rx = k[0] == 'r';
    t->c.set |= rx ? JXBRIDGE_TC_RXIFC : JXBRIDGE_TC_TXIFC;
    (rx ? t->c.rx_ifindex : t->c.tx_ifindex) = (int)n;
    return 0;
}

static int tracer_opt_mac(struct tracer_parse *t, const char *k, const char *v, int at) {
    bool src = k[0] == 's';
    if (parse_mac(v, src ? t->c.smac : t->c.dmac))
        return tracer_bad_word(at, v, -EINVAL);
    t->c.set |= src ? JXBRIDGE_TC_SMAC : JXBRIDGE_TC_DMAC;
    return 0;
}

static int tracer_opt_vlan(struct tracer_parse *t, const char *, const char *v, int at) {
    int rc = a2vid(v, &t->c.vid);
    if (rc)
        return tracer_bad_word(at, v, rc);
    t->c.set |= JXBRIDGE_TC_VID;
    return 0;
}

static int tracer_opt_ethertype(struct tracer_parse *t, const char *, const char *v, int at) {
    long long n;
    int rc = tracer_num(v, 0, 0xFFFF, &n);
    if (rc)
        return tracer_bad_word(at, v, rc);
    t->c.set |= JXBRIDGE_TC_ETHERTYPE;
    t->c.ethertype = (u16)n;
    return 0;
}

// A protocol by its name or its number.
static int tracer_opt_ipproto(struct tracer_parse *t, const char *, const char *v, int at) {
    long long n = -1;
    for (const auto &p : ip_protocols)
        if (!strcasecmp(v, p.name))
            n = p.number;
    int rc;
    if (n < 0 && (rc = tracer_num(v, 0, 255, &n)))
        return tracer_bad_word(at, v, rc);
    t->c.set |= JXBRIDGE_TC_IPPROTO;
    t->c.ipproto = (u8)n;
    return 0;
}

static int tracer_opt_ip(struct tracer_parse *t, const char *k, const char *v, int at) {
    struct jxbridge_tracer_cond *c = &t->c;
    bool src = k[0] == 's';
    int rc = tracer_ip_mask(v, src ? &c->sip : &c->dip, src ? &c->sip_mask : &c->dip_mask);
    if (rc)
        return tracer_bad_word(at, v, rc);
    c->set |= src ? JXBRIDGE_TC_SIP : JXBRIDGE_TC_DIP;
    return 0;
}

static int tracer_opt_l4port(struct tracer_parse *t, const char *k, const char *v, int at) {
    long long n;
    int rc = tracer_num(v, 0, 0xFFFF, &n);
    if (rc)
        return tracer_bad_word(at, v, rc);
    bool src = k[0] == 's';
    t->c.set |= src ? JXBRIDGE_TC_SPORT : JXBRIDGE_TC_DPORT;
    (src ? t->c.sport : t->c.dport) = (u16)n;
    return 0;
}

static int tracer_opt_dlf(struct tracer_parse *t, const char *, const char *v, int at) {
    if (!strcmp(v, "stop")) {
        t->dlf = 1;
    } else if (!strcmp(v, "continue")) {
        t->dlf = 0;
    } else {
        jxbridge_trace_("@%d: Invalid trace DLF stop setting: %s\n", at, v);
        return -EINVAL;
    }
    return 0;
}

static const struct {
    const char *word;
    int (*parse)(struct tracer_parse *t, const char *k, const char *v, int at);
} tracer_options[] = {
    {"rxport", tracer_opt_port},
    {"txport", tracer_opt_port},
    {"rxgem", tracer_opt_rxgem},
    {"rxifc", tracer_opt_ifc},
    {"txifc", tracer_opt_ifc},
    {"smac", tracer_opt_mac},
    {"dmac", tracer_opt_mac},
    {"vlan", tracer_opt_vlan},
    {"ethertype", tracer_opt_ethertype},
    {"ipproto", tracer_opt_ipproto},
    {"sip", tracer_opt_ip},
    {"dip", tracer_opt_ip},
    {"sport", tracer_opt_l4port},
    {"dport", tracer_opt_l4port},
    {"dlf", tracer_opt_dlf},
};

static int tracer_parse_option(struct tracer_parse *t, char **w, int i) {
    const char *k = w[i], *v = w[i + 1];
    for (const auto &o : tracer_options) {
        if (strcmp(k, o.word))
            continue;
        if (!v) {
            if (o.parse == tracer_opt_ifc)
                jxbridge_trace_("Missing interface number.");
            return -ENOARG;
        }
        return o.parse(t, k, v, i + 1);
    }
    return tracer_bad_word(i, k, -EINVAL);
}

static int tracer_arm(struct jxbridge *B, char **w) {
    if (!w[1])
        return -ENOARG;
    long long value;
    int rc = tracer_num(w[1], 0, UINT32_MAX, &value);
    if (rc)
        return rc;
    struct tracer_parse t = {};
    t.B = B;
    int i = 2;
    if ((rc = tracer_parse_pcap(&t, w, &i)))
        return rc;
    for (; w[i]; i += 2)
        if ((rc = tracer_parse_option(&t, w, i)))
            return rc;
    struct jxbridge_tracer_state *T = &B->tracer;
    T->cond = t.c;
    T->pcap = t.pc;
    T->dlf_stop = t.dlf;
    T->frames_left = (u32)value;
    T->total = (u32)value;
    T->ordinal = 0;
    return 0;
}

// The conditions an armed tracer waits for.
static void tracer_show_cond(const struct jxbridge_tracer_cond *c) {
    if (c->set & JXBRIDGE_TC_RXPORT)
        jxbridge_trace_("  RX port:                   %s\n", c->rx_port_name);
    if (c->set & JXBRIDGE_TC_TXPORT)
        jxbridge_trace_("  TX port:                   %s\n", c->tx_port_name);
    if (c->set & JXBRIDGE_TC_RXGEM)
        jxbridge_trace_("  RX GEM port:               %d\n", (int)c->rx_gem);
    if (c->set & JXBRIDGE_TC_RXIFC)
        jxbridge_trace_("  RX interface:              %d\n", c->rx_ifindex);
    if (c->set & JXBRIDGE_TC_TXIFC)
        jxbridge_trace_("  TX interface:              %d\n", c->tx_ifindex);
    if (c->set & JXBRIDGE_TC_DMAC)
        jxbridge_trace_("  DMAC:                      %02x:%02x:%02x:%02x:%02x:%02x\n", c->dmac[0],
                        c->dmac[1], c->dmac[2], c->dmac[3], c->dmac[4], c->dmac[5]);
    if (c->set & JXBRIDGE_TC_SMAC)
        jxbridge_trace_("  SMAC:                      %02x:%02x:%02x:%02x:%02x:%02x\n", c->smac[0],
                        c->smac[1], c->smac[2], c->smac[3], c->smac[4], c->smac[5]);
    if (c->set & JXBRIDGE_TC_VID)
        jxbridge_trace_("  VID:                       %d (0x%04x)\n", c->vid, c->vid);
    if (c->set & JXBRIDGE_TC_ETHERTYPE)
        jxbridge_trace_("  EtherType:                 0x%04x\n", c->ethertype);
    if (c->set & JXBRIDGE_TC_IPPROTO)
        jxbridge_trace_("  IP protocol:               %d (%s)\n", c->ipproto,
                        ipproto2a(c->ipproto));
    char a[16], m[16];
    if (c->set & JXBRIDGE_TC_SIP) {
        ipv4_text(c->sip, a, sizeof(a));
        ipv4_text(c->sip_mask, m, sizeof(m));
        jxbridge_trace_("  Source IP address:         %s/%s\n", a, m);
    }
    if (c->set & JXBRIDGE_TC_DIP) {
        ipv4_text(c->dip, a, sizeof(a));
        ipv4_text(c->dip_mask, m, sizeof(m));
        jxbridge_trace_("  Destination IP address:    %s/%s\n", a, m);
    }
    if (c->set & JXBRIDGE_TC_SPORT)
        jxbridge_trace_("  Source TCP/UDP port:       %d\n", c->sport);
    if (c->set & JXBRIDGE_TC_DPORT)
        jxbridge_trace_("  Destination TCP/UDP port   %d\n", c->dport);
}

static void tracer_show(struct jxbridge *B) {
    const struct jxbridge_tracer_state *T = &B->tracer;
    if (T->frames_left) {
        jxbridge_trace_("\nTracer:                      on (%d)\n", (int)T->frames_left);
        tracer_show_cond(&T->cond);
    } else {
        jxbridge_trace_("\nTracer:                      off\n");
    }
    jxbridge_trace_("Chunk size:                  %d bytes\n", JXBRIDGE_LOG_CHUNK_SIZE);
    jxbridge_trace_("Timestamp each line:         %s\n",
                    int2onoff(__atomic_load_n(&jxbridge_trace_add_timestamp, __ATOMIC_RELAXED)));
    jxbridge_trace_("Output via printk():         %s\n",
                    int2onoff(__atomic_load_n(&jxbridge_trace_printk, __ATOMIC_RELAXED)));
    jxbridge_trace_("\nFile: count/max/limit, drops \n"
                    "----------------------------------------------------\n");
    // The figures are taken first: tracing them takes the list lock itself.
    struct file_stats {
        const void *reader;
        u32 chunks, max_chunks, drops, dropped_bytes;
    };
    std::vector<file_stats> stats;
    mutex_lock(&tracer_files_lock);
    for (struct jxbridge_log_reader *r = tracer_files; r; r = r->next) {
        mutex_lock(&r->lock);
        stats.push_back({r, r->chunks, r->max_chunks, r->drops, r->dropped_bytes});
        mutex_unlock(&r->lock);
    }
    mutex_unlock(&tracer_files_lock);
    for (const file_stats &s : stats)
        jxbridge_trace_("%p: %d/%d/%d, %d drops (%d bytes)\n", s.reader, (int)s.chunks,
                        (int)s.max_chunks, JXBRIDGE_LOG_MAX_CHUNKS, (int)s.drops,
                        (int)s.dropped_bytes);
}

static int tracer_switch(const char *word, int *out) {
    if (!word) {
        jxbridge_trace_("Missing parameter: on/off\n");
        return -ENOARG;
    }
    int on = a2bool(word);
    if (on < 0)
        return -EINVAL;
    *out = on;
    return 0;
}

static int tracer_cmd_show(struct jxbridge *B, char **) {
    tracer_show(B);
    return 0;
}

static int tracer_cmd_timestamp(struct jxbridge *, char **w) {
    int on;
    int rc = tracer_switch(w[1], &on);
    if (rc)
        return rc;
    __atomic_store_n(&jxbridge_trace_add_timestamp, (u32)on, __ATOMIC_RELAXED);
    return 0;
}

static int tracer_cmd_printk(struct jxbridge *, char **w) {
    int on;
    int rc = tracer_switch(w[1], &on);
    if (rc)
        return rc;
    jxbridge_tracer_printk_set((u32)on);
    jxbridge_trace_("jxbridge_trace_printk option set to %s by [%d] %s.\n", int2onoff(on),
                    current->pid, current->comm);
    return 0;
}

// Only "tracer" matches without regard to case.
static const struct jxbridge_proc_cmd tracer_cmds[] = {
    {"help", nullptr, nullptr, JXBRIDGE_CMD_EXACT},
    {"show", tracer_cmd_show, "\tshow - Show open files and their statistics.\n",
     JXBRIDGE_CMD_EXACT},
    {"timestamp", tracer_cmd_timestamp,
     "\ttimestamp on/off - Enable/disable timestamping of each line.\n", JXBRIDGE_CMD_EXACT},
    {"printk", tracer_cmd_printk, "\tprintk on/off - Enable/disable printk() output.\n",
     JXBRIDGE_CMD_EXACT},
    {"tracer", tracer_arm,
     "\ttracer <value> [pcap[-only] (rx|mt|tx)* [out <ifc>] [annotate]][rxport <port>] [txport "
     "<port>] [rxgem <gem-port>] [rxifc <ifc>] [txifc <ifc>] [smac <mac>] [dmac <mac>] [vlan "
     "<vid>] [ethertype <ethertype>] [ipproto <proto>] [sip <ip>[/<mask>] [dip "
     "<ip>[/<mask>]\n[sport <port>] [dport <port>]\n[dlf stop|continue]\n",
     0},
};

static long tracer_ioc_frames_left(struct jxbridge *B, unsigned int, u32 *left, unsigned long) {
    *left = B->tracer.frames_left;
    return 0;
}

struct tracer_dev_name {
    char name[IFNAMSIZ];
};

static long tracer_ioc_dev_exists(struct jxbridge *, unsigned int, tracer_dev_name *r,
                                  unsigned long) {
    // A name of 16 characters has no room for its end: no device has it.
    char name[IFNAMSIZ + 1];
    memcpy(name, r->name, IFNAMSIZ);
    name[IFNAMSIZ] = '\0';
    return __dev_get_by_name(&init_net, name) ? 0 : -ENODEV;
}

static const struct jxbridge_proc_ioc tracer_iocs[] = {
    JXBRIDGE_IOC(JXBRIDGE_TRACER_IOCTL_FRAMES_LEFT, u32, JXBRIDGE_IOC_OUT, tracer_ioc_frames_left),
    JXBRIDGE_IOC(JXBRIDGE_TRACER_IOCTL_DEV_EXISTS, tracer_dev_name, JXBRIDGE_IOC_IN,
                 tracer_ioc_dev_exists),
};

// Help and refusals go to the trace channel, where the writer reads.
static const struct jxbridge_proc_ops tracer_ops = {
    .tag = "Bridge",
    .log = JXBRIDGE_PROC_LOG_PLAIN,
    .debug = nullptr,
    .check = nullptr,
    .cmds = tracer_cmds,
    .n_cmds = ARRAY_SIZE(tracer_cmds),
    .iocs = tracer_iocs,
    .n_iocs = ARRAY_SIZE(tracer_iocs),
    .trace = nullptr,
    .say = jxbridge_trace_,
    .unknown = "Unknown command: '%s'\n",
};

static int tracer_open(struct inode *, struct file *file) {
    struct jxbridge_log_reader *r = jxbridge_log_reader_new();
    if (!r)
        return -ENOMEM;
    mutex_lock(&tracer_files_lock);
    r->next = tracer_files;
    if (tracer_files)
        tracer_files->prev = r;
    tracer_files = r;
    __atomic_add_fetch(&tracer_file_count, 1, __ATOMIC_RELEASE);
    mutex_unlock(&tracer_files_lock);
    file->private_data = r;
    return 0;
}

static int tracer_release(struct inode *, struct file *file) {
    auto *r = (struct jxbridge_log_reader *)file->private_data;
    if (!r)
        return 0;
    mutex_lock(&tracer_files_lock);
    if (r->prev)
        r->prev->next = r->next;
    else
        tracer_files = r->next;
    if (r->next)
        r->next->prev = r->prev;
    __atomic_sub_fetch(&tracer_file_count, 1, __ATOMIC_RELEASE);
    mutex_unlock(&tracer_files_lock);
    file->private_data = nullptr;
    jxbridge_log_reader_free(r);
    return 0;
}

static ssize_t tracer_read(struct file *file, char __user *buf, size_t count, loff_t *) {
    return jxbridge_log_reader_read((struct jxbridge_log_reader *)file->private_data, file, buf,
                                    count);
}

static ssize_t tracer_write(struct file *file, const char __user *buf, size_t count, loff_t *) {
    return jxbridge_proc_write(file, buf, count, &tracer_ops);
}

static __poll_t tracer_poll(struct file *file, poll_table *wait) {
    return jxbridge_log_reader_poll((struct jxbridge_log_reader *)file->private_data, file, wait);
}

static long tracer_ioctl(struct file *file, unsigned int cmd, unsigned long arg) {
    return jxbridge_proc_ioctl(file, cmd, arg, &tracer_ops);
}

static const struct file_operations jxbridge_tracer_fops = {
    .open = tracer_open,
    .read = tracer_read,
    .write = tracer_write,
    .unlocked_ioctl = tracer_ioctl,
    .poll = tracer_poll,
    .release = tracer_release,
};

extern const struct jxbridge_subsys jxbridge_tracer_subsys = {
    .tag = "Tracer",
    .files = {{"tracer", 0666, &jxbridge_tracer_fops}},
};
