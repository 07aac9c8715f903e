#include "linecard/flowmgr.h"

#include "linecard/flowmgr_records.h"

#include "kernel/module.h"
#include "kernel/printk.h"
#include "kernel/proc_fs.h"
#include "kernel/skbuff.h"
#include "kernel/uaccess.h"
#include "kernel/vfs.h"
#include "sources/jxbridge/jxbridge_export.h"

#include <array>
#include <cstring>
#include <map>
#include <mutex>

namespace {

using frame_hook = int (*)(struct sk_buff *);
using event_hook = int (*)(int, void *, void *, void *);
using set_frame_hook = void (*)(frame_hook);
using set_event_hook = void (*)(event_hook);
using skb_port_fn = struct jxbridge_port *(*)(struct sk_buff *);
using port_info_fn = int (*)(const struct jxbridge_port *, struct jxbridge_port_info *);

constexpr u32 kBuckets = 4096; // a power of two: the crc's low bits pick the chain

// What makes two frames one flow. No padding, so memcmp compares it.
struct flow_key {
    u32 bridge; // the bridge device's ifindex: port numbers are per bridge
    u16 in_port, out_port;
    u8 dmac[6], smac[6];
    u16 vid, ethertype;
};
static_assert(sizeof(flow_key) == 24);

struct flow_entry {
    bool used;
    flow_key key;
    u32 crc, next, counter;
    u8 flags;
    u8 rules[JXFLOW_RULES];
    u16 tci;
    u32 in_ucc, in_sub, out_ucc, out_sub;
};

struct port_stats {
    u32 count, out_flows;
    bool at_limit;
    u32 limit_exceeded, limit_timeout, full_table;
    u32 ev[JXFLOW_EV_BRIDGE + 1]; // by jxflow_event_class
    u32 last_event = JXFLOW_EV_NONE;
};

struct flowmgr_state {
    std::mutex m;
    std::vector<linecard_flow_event> events;
    std::map<int, int> event_results;
    unsigned frames = 0;
    int frame_result = 0;

    // The manager's part, while started.
    bool managing = false;
    skb_port_fn out_port_of = nullptr, in_port_of = nullptr;
    port_info_fn info_of = nullptr;
    std::vector<flow_entry> flows;
    std::vector<u32> heads;
    std::map<u16, port_stats> ports;
    u32 used = 0, reinits = 0, limit_exceeded = 0;
    u32 port_limit = LINECARD_FLOWMGR_PORT_LIMIT;
};

flowmgr_state &st() {
    static flowmgr_state s;
    return s;
}

u32 crc32_of(const void *data, size_t n) {
    static const std::array<u32, 256> table = [] {
        std::array<u32, 256> t{};
        for (u32 i = 0; i < 256; i++) {
            u32 c = i;
            for (int k = 0; k < 8; k++)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    const u8 *p = static_cast<const u8 *>(data);
    u32 c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++)
        c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

u16 be16_at(const u8 *p) {
    return (u16)(p[0] << 8 | p[1]);
}

bool is_tpid(u16 type, u16 stag) {
    return type == ETH_P_8021Q || type == 0x88A8 || type == 0x9100 || (stag && type == stag);
}

void reset_table_locked(flowmgr_state &s) {
    s.flows.assign(JXFLOW_TABLE_SIZE, flow_entry{});
    s.heads.assign(kBuckets, JXFLOW_NO_NEXT);
    for (auto &[no, p] : s.ports) {
        p.count = p.out_flows = 0;
        p.at_limit = false;
    }
    s.used = 0;
}

// A flow as the frame in hand makes it; false for a frame too short to say.
bool sample(flowmgr_state &s, struct sk_buff *skb, flow_entry *f) {
    const u8 *mac = skb_mac_header_was_set(skb) ? skb_mac_header(skb) : skb->data;
    const u8 *end = skb->data + skb->len;
    if (mac < skb->head || end < mac + ETH_HLEN)
        return false;
    const struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    struct jxbridge_port_info in, out;
    bool has_in = s.in_port_of && s.info_of(s.in_port_of(skb), &in) == 0;
    bool has_out = cb->port_no != JXBRIDGE_NO_PORT && s.out_port_of &&
                   s.info_of(s.out_port_of(skb), &out) == 0;
    const struct jxbridge_port_info *any = has_out ? &out : has_in ? &in : nullptr;
    u16 stag = any ? any->outer_ethertype : 0;

    *f = flow_entry{};
    flow_key &k = f->key;
    k.bridge = any ? (u32)any->bridge_ifindex : 0;
    k.in_port = cb->in_port_no;
    k.out_port = cb->port_no;
    memcpy(k.dmac, mac, 6);
    memcpy(k.smac, mac + 6, 6);
    k.vid = cb->learned_vid & 0xFFF;
    const u8 *type = mac + 12;
    bool tagged_out = is_tpid(be16_at(type), stag);
    while (type + 6 <= end && is_tpid(be16_at(type), stag))
        type += 4;
    k.ethertype = be16_at(type);

    u16 rx_tci = ntohs(cb->rx_outer_tci);
    u16 rx_vid = rx_tci & 0xFFF;
    bool tagged_in = rx_vid != 0 && rx_vid != JXBRIDGE_NO_VID;
    f->tci = (u16)((tagged_in ? rx_tci & 0xE000 : 0) | k.vid);
    f->in_ucc = has_in ? in.ucc : JXFLOW_NO_PORT;
    f->in_sub = has_in ? in.subport : JXFLOW_NO_PORT;
    f->out_ucc = has_out ? out.ucc : JXFLOW_NO_PORT;
    f->out_sub = has_out ? out.subport : JXFLOW_NO_PORT;

    memset(f->rules, JXFLOW_RULE_NONE, sizeof(f->rules));
    int r = 0;
    bool extended = false;
    if (cb->port_no == JXBRIDGE_NO_PORT) {
        f->rules[r++] = JXFLOW_RULE_DROP;
    } else {
        f->rules[r++] =
            has_out && out.kind == JXBRIDGE_PORT_LOCAL ? JXFLOW_RULE_TO_CPU : JXFLOW_RULE_TO_QE;
        u16 out_vid = tagged_out && mac + 16 <= end ? be16_at(mac + 14) & 0xFFF : 0;
        u8 tag_rule = JXFLOW_RULE_NONE;
        if (!tagged_in && tagged_out)
            tag_rule = JXFLOW_RULE_ADD_TAG;
        else if (tagged_in && !tagged_out)
            tag_rule = JXFLOW_RULE_REMOVE_TAG;
        else if (tagged_in && tagged_out && out_vid != rx_vid)
            tag_rule = JXFLOW_RULE_CHANGE_TAG;
        if (tag_rule != JXFLOW_RULE_NONE) {
            f->rules[r++] = tag_rule;
            extended = true;
        }
        f->rules[r++] = JXFLOW_RULE_COUNT;
    }
    u32 kind = JXFLOW_TYPE_UNICAST;
    if (k.dmac[0] & 1)
        kind = JXFLOW_TYPE_MCAST;
    else if (k.ethertype == 0x8863 || k.ethertype == 0x8864)
        kind = JXFLOW_TYPE_PPP;
    f->flags = (u8)(kind << JXFLOW_TYPE_SHIFT | (extended ? JXFLOW_F_EXTENDED : 0));
    return true;
}

void record_locked(flowmgr_state &s, const flow_entry &f) {
    u32 crc = crc32_of(&f.key, sizeof(f.key));
    u32 &head = s.heads[crc & (kBuckets - 1)];
    for (u32 i = head; i != JXFLOW_NO_NEXT; i = s.flows[i].next)
        if (!memcmp(&s.flows[i].key, &f.key, sizeof(f.key))) {
            s.flows[i].counter++;
            return;
        }
    port_stats *in = f.key.in_port < JXFLOW_PORTS ? &s.ports[f.key.in_port] : nullptr;
    if (in && in->count >= s.port_limit) {
        if (!in->at_limit) {
            in->at_limit = true;
            in->limit_exceeded++;
            s.limit_exceeded++;
        }
        in->limit_timeout++;
        return;
    }
    if (s.used == JXFLOW_TABLE_SIZE) {
        if (in)
            in->full_table++;
        return;
    }
    // The lowest free index: ids stay small and are reused after flushes.
    u32 idx = 0;
    while (s.flows[idx].used)
        idx++;
    flow_entry &e = s.flows[idx];
    e = f;
    e.used = true;
    e.crc = crc;
    e.counter = 1;
    e.next = head;
    head = idx;
    s.used++;
    if (in)
        in->count++;
    if (f.key.out_port < JXFLOW_PORTS)
        s.ports[f.key.out_port].out_flows++;
}

void remove_locked(flowmgr_state &s, u32 idx) {
    flow_entry &e = s.flows[idx];
    for (u32 *link = &s.heads[e.crc & (kBuckets - 1)]; *link != JXFLOW_NO_NEXT;
         link = &s.flows[*link].next)
        if (*link == idx) {
            *link = e.next;
            break;
        }
    auto in = s.ports.find(e.key.in_port);
    if (in != s.ports.end() && in->second.count) {
        in->second.count--;
        in->second.at_limit = false;
    }
    auto out = s.ports.find(e.key.out_port);
    if (out != s.ports.end() && out->second.out_flows)
        out->second.out_flows--;
    e = flow_entry{};
    s.used--;
}

template <typename Pred> void remove_if_locked(flowmgr_state &s, Pred pred) {
    for (u32 i = 0; s.used && i < s.flows.size(); i++)
        if (s.flows[i].used && pred(s.flows[i].key, s.flows[i].flags))
            remove_locked(s, i);
}

int on_frame(struct sk_buff *skb) {
    flowmgr_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    s.frames++;
    flow_entry f;
    if (s.managing && sample(s, skb, &f))
        record_locked(s, f);
    return s.frame_result;
}

// The class each bridge event code counts under on its port, by code.
constexpr u32 kNone = JXFLOW_EV_NONE;
constexpr u32 kEventClass[] = {
    kNone,                      // 0
    JXFLOW_EV_VLAN,             // 1 a port's VLAN settings
    JXFLOW_EV_IGMP,             // 2 multicast forwarding
    JXFLOW_EV_QOS,              // 3
    JXFLOW_EV_MAC_TABLE,        // 4 a port's entries removed
    JXFLOW_EV_MAC_FLUSH_START,  // 5
    JXFLOW_EV_MAC_FLUSH_FINISH, // 6
    JXFLOW_EV_MAC_UPDATE,       // 7 an entry learned, moved, deleted or aged
    JXFLOW_EV_MAC_AGE,          // 8 an entry about to age
    JXFLOW_EV_ACL_INGRESS,      // 9
    JXFLOW_EV_ACL_EGRESS,       // 10
    JXFLOW_EV_IF,               // 11 a port's configuration
    JXFLOW_EV_BRIDGE,           // 12 the bridge's ports all taken
    JXFLOW_EV_IF_MAC_VID,       // 13 a source binding deleted
    kNone,
    kNone,
    kNone,
    kNone,
    kNone,
    kNone,        // 14 to 19: ACL counters
    JXFLOW_EV_IF, // 20 a port to re-evaluate
};

// Counts the event on its port and drops the flows it makes stale. The
// bridge raises these with a live port (or none) as the first argument.
void interpret_locked(flowmgr_state &s, int code, void *a1, void *a2) {
    if (code < 0 || code >= (int)ARRAY_SIZE(kEventClass) || kEventClass[code] == kNone)
        return;
    u32 cls = kEventClass[code];
    struct jxbridge_port_info p;
    bool has_p = s.info_of && s.info_of(static_cast<const struct jxbridge_port *>(a1), &p) == 0;
    u32 bridge = has_p ? (u32)p.bridge_ifindex : 0;
    u32 no = has_p ? p.port_no : JXFLOW_NO_PORT;
    if (has_p && no < JXFLOW_PORTS) {
        port_stats &ps = s.ports[(u16)no];
        ps.ev[cls]++;
        ps.last_event = cls;
    }
    const u8 *mac = static_cast<const u8 *>(a2);
    auto of_port = [&](const flow_key &k) {
        return k.bridge == bridge && (k.in_port == no || k.out_port == no);
    };
    switch (code) {
    case JXBRIDGE_FEV_VLAN: // VLAN settings: the port's flows, or all for the bridge's TPID
    case JXBRIDGE_FEV_PORT:
    case JXBRIDGE_FEV_PORT_REEVALUATE:
        if (has_p)
            remove_if_locked(s, [&](const flow_key &k, u8) { return of_port(k); });
        else if (code == JXBRIDGE_FEV_VLAN)
            remove_if_locked(s, [](const flow_key &, u8) { return true; });
        break;
    case JXBRIDGE_FEV_MCAST: // multicast forwarding changed
        remove_if_locked(s, [&](const flow_key &k, u8 flags) {
            return flags >> JXFLOW_TYPE_SHIFT == JXFLOW_TYPE_MCAST && (!has_p || of_port(k));
        });
        break;
    case JXBRIDGE_FEV_MAC_PORT_DELETE: // a station's entry went or moved: frames to it take another
                                       // way
    case JXBRIDGE_FEV_MAC:
        if (mac)
            remove_if_locked(s, [&](const flow_key &k, u8) {
                return (!has_p || k.bridge == bridge) && !memcmp(k.dmac, mac, 6);
            });
        break;
    case JXBRIDGE_FEV_MAC_FLUSH_BEGIN:
        remove_if_locked(s, [](const flow_key &, u8) { return true; });
        break;
    case JXBRIDGE_FEV_ACL_INSTALL:
        if (has_p)
            remove_if_locked(
                s, [&](const flow_key &k, u8) { return k.bridge == bridge && k.in_port == no; });
        break;
    case JXBRIDGE_FEV_ACL_REMOVE:
        if (has_p)
            remove_if_locked(
                s, [&](const flow_key &k, u8) { return k.bridge == bridge && k.out_port == no; });
        break;
    case JXBRIDGE_FEV_IPSG_BINDING_DEL: // a source binding went: its frames are refused now
        if (has_p && mac)
            remove_if_locked(s, [&](const flow_key &k, u8) {
                return k.bridge == bridge && k.in_port == no && !memcmp(k.smac, mac, 6);
            });
        break;
    default:
        break;
    }
}

int on_event(int code, void *a1, void *a2, void *a3) {
    flowmgr_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    s.events.push_back({code, a1, a2, a3});
    if (s.managing)
        interpret_locked(s, code, a1, a2);
    auto it = s.event_results.find(code);
    return it == s.event_results.end() ? 0 : it->second;
}

// The setters are the bridge module's; found by name, as the flow manager
// module finds them.
int set_hooks(frame_hook f, event_hook e) {
    auto sf = (set_frame_hook)__symbol_get("jxbridge_set_flow_hook");
    auto se = (set_event_hook)__symbol_get("jxbridge_set_flow_event_hook");
    if (!sf || !se)
        return -ENOENT;
    sf(f);
    se(e);
    return 0;
}

// The control file.

void fill_flow_locked(const flowmgr_state &s, u32 idx, jxflow_record *r) {
    *r = jxflow_record{};
    r->id = idx;
    const flow_entry &e = s.flows[idx];
    if (!e.used)
        return;
    r->valid = 1;
    r->flags = e.flags;
    r->next = e.next;
    r->in_port = e.key.in_port;
    r->in_ucc = e.in_ucc;
    r->in_subport = e.in_sub;
    r->out_port = e.key.out_port == JXBRIDGE_NO_PORT ? JXFLOW_NO_PORT : e.key.out_port;
    r->out_ucc = e.out_ucc;
    r->out_subport = e.out_sub;
    memcpy(r->rules, e.rules, sizeof(r->rules));
    r->crc32 = e.crc;
    r->counter = e.counter;
    memcpy(r->smac, e.key.smac, 6);
    memcpy(r->dmac, e.key.dmac, 6);
    r->vid = e.key.vid;
    r->tci = e.tci;
    r->ethertype = e.key.ethertype;
}

void fill_port_locked(const flowmgr_state &s, u16 no, jxflow_port_record *r) {
    *r = jxflow_port_record{};
    r->port = no;
    r->limit = s.port_limit;
    r->last_event = JXFLOW_EV_NONE;
    auto it = s.ports.find(no);
    if (it == s.ports.end())
        return;
    const port_stats &p = it->second;
    r->out_flows = p.out_flows;
    r->count = p.count;
    r->limit_exceeded = p.limit_exceeded;
    r->limit_timeout = p.limit_timeout;
    r->full_table = p.full_table;
    r->ev_igmp = p.ev[JXFLOW_EV_IGMP];
    r->ev_vlan = p.ev[JXFLOW_EV_VLAN];
    r->ev_acl_ingress = p.ev[JXFLOW_EV_ACL_INGRESS];
    r->ev_acl_egress = p.ev[JXFLOW_EV_ACL_EGRESS];
    r->ev_qos = p.ev[JXFLOW_EV_QOS];
    r->ev_mt_change = p.ev[JXFLOW_EV_MAC_TABLE];
    r->ev_mt_update = p.ev[JXFLOW_EV_MAC_UPDATE];
    r->ev_mt_age = p.ev[JXFLOW_EV_MAC_AGE];
    r->ev_if = p.ev[JXFLOW_EV_IF];
    r->ev_if_mac_vid = p.ev[JXFLOW_EV_IF_MAC_VID];
    r->ev_bridge = p.ev[JXFLOW_EV_BRIDGE];
    r->last_event = p.last_event;
}

long flow_ioctl(struct file *, unsigned int cmd, unsigned long arg) {
    flowmgr_state &s = st();
    void __user *uarg = (void __user *)arg;
    switch (cmd) {
    case JXFLOW_IOCTL_FLOW_GET: {
        jxflow_record r;
        if (copy_from_user(&r, uarg, sizeof(r)))
            return -EFAULT;
        if (r.id >= JXFLOW_TABLE_SIZE)
            return -EINVAL;
        {
            std::lock_guard<std::mutex> g(s.m);
            if (!s.managing)
                return -ENODEV;
            fill_flow_locked(s, r.id, &r);
        }
        return copy_to_user(uarg, &r, sizeof(r)) ? -EFAULT : 0;
    }
    case JXFLOW_IOCTL_TABLE_GET: {
        jxflow_table_info t = {};
        {
            std::lock_guard<std::mutex> g(s.m);
            t.table_size = JXFLOW_TABLE_SIZE;
            t.flows = s.used;
            t.buffers = JXFLOW_TABLE_SIZE - s.used;
            t.reinits = s.reinits;
            t.limit_exceeded = s.limit_exceeded;
        }
        return copy_to_user(uarg, &t, sizeof(t)) ? -EFAULT : 0;
    }
    case JXFLOW_IOCTL_PORT_GET: {
        jxflow_port_record r;
        if (copy_from_user(&r, uarg, sizeof(r)))
            return -EFAULT;
        if (r.port >= JXFLOW_PORTS)
            return -EINVAL;
        {
            std::lock_guard<std::mutex> g(s.m);
            fill_port_locked(s, (u16)r.port, &r);
        }
        return copy_to_user(uarg, &r, sizeof(r)) ? -EFAULT : 0;
    }
    case JXFLOW_IOCTL_DEBUG_CLEAR: {
        std::lock_guard<std::mutex> g(s.m);
        for (auto &[no, p] : s.ports) {
            p.limit_exceeded = p.limit_timeout = p.full_table = 0;
            memset(p.ev, 0, sizeof(p.ev));
            p.last_event = JXFLOW_EV_NONE;
        }
        s.limit_exceeded = 0;
        s.reinits = 0;
        return 0;
    }
    default:
        return -ENOTTY;
    }
}

// A port number word: decimal digits only, below JXFLOW_PORTS.
bool parse_port(const char *w, u16 *out) {
    if (!w || !*w || strlen(w) > 5)
        return false;
    u32 v = 0;
    for (const char *c = w; *c; c++) {
        if (*c < '0' || *c > '9')
            return false;
        v = v * 10 + (u32)(*c - '0');
    }
    if (v >= JXFLOW_PORTS)
        return false;
    *out = (u16)v;
    return true;
}

void show_cpu_locked(const flowmgr_state &s) {
    u32 to_cpu = 0, drops = 0, mcast = 0;
    for (const flow_entry &e : s.flows) {
        if (!e.used)
            continue;
        to_cpu += e.rules[0] == JXFLOW_RULE_TO_CPU;
        drops += e.rules[0] == JXFLOW_RULE_DROP;
        mcast += e.flags >> JXFLOW_TYPE_SHIFT == JXFLOW_TYPE_MCAST;
    }
    printk(KERN_INFO "[Flow] Flows: %u of %u, to CPU: %u, drop: %u, multicast: %u\n", s.used,
           JXFLOW_TABLE_SIZE, to_cpu, drops, mcast);
}

int flow_command(char *line) {
    char *words[4] = {};
    int n = 0;
    char *save = nullptr;
    for (char *w = strtok_r(line, " \t", &save); w; w = strtok_r(nullptr, " \t", &save)) {
        if (n == 3)
            return -EINVAL;
        words[n++] = w;
    }
    if (n == 0)
        return 0;
    flowmgr_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    if (!s.managing)
        return -ENODEV;
    if (!strcasecmp(words[0], "flush")) {
        if (n == 1) {
            reset_table_locked(s);
            s.reinits++;
            return 0;
        }
        u16 no;
        if (n != 3 || strcasecmp(words[1], "port") || !parse_port(words[2], &no))
            return -EINVAL;
        remove_if_locked(
            s, [no](const flow_key &k, u8) { return k.in_port == no || k.out_port == no; });
        return 0;
    }
    if (!strcasecmp(words[0], "show_cpu") && n == 1) {
        show_cpu_locked(s);
        return 0;
    }
    return -EINVAL;
}

ssize_t flow_write(struct file *, const char __user *buf, size_t count, loff_t *) {
    if (count > JXFLOW_CMD_MAX)
        return -EINVAL;
    char line[JXFLOW_CMD_MAX + 1];
    if (copy_from_user(line, buf, count))
        return -EFAULT;
    line[count] = '\0';
    // One command: up to a NUL, newline or ';', as a shell's echo sends it.
    line[strcspn(line, "\n\r;")] = '\0';
    int rc = flow_command(line);
    return rc < 0 ? rc : (ssize_t)count;
}

int flow_show(struct seq_file *m, void *) {
    flowmgr_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    seq_printf(m, "Flows:          %u of %u\n", s.used, JXFLOW_TABLE_SIZE);
    seq_printf(m, "Port limit:     %u\n", s.port_limit);
    seq_printf(m, "Flushes:        %u\n", s.reinits);
    seq_printf(m, "Limit exceeded: %u\n", s.limit_exceeded);
    return 0;
}

int flow_open(struct inode *, struct file *file) {
    return single_open(file, flow_show, nullptr);
}

const struct file_operations flow_fops = {
    .open = flow_open,
    .read = seq_read,
    .write = flow_write,
    .unlocked_ioctl = flow_ioctl,
    .llseek = seq_lseek,
    .release = single_release,
};

// Ours is the one regular file of that name in the bridge's directory: the
// directory takes it along when the bridge goes first, and a bridge of that
// name is a directory there.
void remove_file() {
    std::vector<rte_proc_dirent> list;
    if (rte_vfs_list(JXFLOW_PROC_DIR, &list))
        return;
    struct proc_dir_entry *dir = rte_proc_lookup(JXFLOW_PROC_DIR);
    for (const rte_proc_dirent &e : list)
        if (dir && e.name == JXFLOW_PROC_NAME && !e.is_dir)
            remove_proc_entry(JXFLOW_PROC_NAME, dir);
}

} // namespace

int linecard_flowmgr_install() {
    return set_hooks(on_frame, on_event);
}

void linecard_flowmgr_remove() {
    set_hooks(nullptr, nullptr);
}

std::vector<linecard_flow_event> linecard_flowmgr_events() {
    std::lock_guard<std::mutex> g(st().m);
    return st().events;
}

unsigned linecard_flowmgr_frames() {
    std::lock_guard<std::mutex> g(st().m);
    return st().frames;
}

void linecard_flowmgr_set_event_result(int code, int rc) {
    std::lock_guard<std::mutex> g(st().m);
    st().event_results[code] = rc;
}

void linecard_flowmgr_set_frame_result(int rc) {
    std::lock_guard<std::mutex> g(st().m);
    st().frame_result = rc;
}

void linecard_flowmgr_clear() {
    flowmgr_state &s = st();
    bool managing;
    {
        std::lock_guard<std::mutex> g(s.m);
        managing = s.managing;
    }
    if (managing)
        linecard_flowmgr_stop();
    std::lock_guard<std::mutex> g(s.m);
    s.events.clear();
    s.event_results.clear();
    s.frames = 0;
    s.frame_result = 0;
    s.ports.clear();
    s.flows.clear();
    s.heads.clear();
    s.used = s.reinits = s.limit_exceeded = 0;
    s.port_limit = LINECARD_FLOWMGR_PORT_LIMIT;
}

int linecard_flowmgr_start() {
    flowmgr_state &s = st();
    struct proc_dir_entry *dir = rte_proc_lookup(JXFLOW_PROC_DIR);
    auto out_of = (skb_port_fn)__symbol_get("jxbridge_skb_get_jxbridge_port");
    auto in_of = (skb_port_fn)__symbol_get("jxbridge_skb_get_input_jxbridge_port");
    auto info_of = (port_info_fn)__symbol_get("jxbridge_port_info_get");
    if (!dir || !out_of || !in_of || !info_of)
        return -ENOENT;
    {
        std::lock_guard<std::mutex> g(s.m);
        if (s.managing)
            return -EBUSY;
        s.ports.clear();
        reset_table_locked(s);
        s.reinits = s.limit_exceeded = 0;
        s.out_port_of = out_of;
        s.in_port_of = in_of;
        s.info_of = info_of;
        s.managing = true;
    }
    struct proc_dir_entry *de = proc_create(JXFLOW_PROC_NAME, 0600, dir, &flow_fops);
    int rc = de ? set_hooks(on_frame, on_event) : -EEXIST;
    if (rc) {
        if (de)
            remove_file();
        std::lock_guard<std::mutex> g(s.m);
        s.managing = false;
    }
    return rc;
}

void linecard_flowmgr_stop() {
    flowmgr_state &s = st();
    // Without the lock: removal waits for file operations, which take it.
    remove_file();
    set_hooks(nullptr, nullptr);
    std::lock_guard<std::mutex> g(s.m);
    s.managing = false;
}

void linecard_flowmgr_set_port_limit(unsigned limit) {
    std::lock_guard<std::mutex> g(st().m);
    st().port_limit = limit;
}
