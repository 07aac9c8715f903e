// Ring protection: the ERPS PDU filter, the per-port, per-VLAN forwarding
// gate the ERPS daemon drives, and its control file. A port gets its tables
// when it is added; ERPS acts on a port once a VLAN of it is made
// operational, and then only VLANs set forwarding pass.
#include "jxbridge.h"

#define ERPS_VLANS 4096
#define ERPS_FORWARD 1 // "JXBRIDGE_ERPS_FORWARD"; anything else blocks
#define ERPS_NAME_LEN 18

#define ERPS_TRACE(B, ...)                                                                         \
    do {                                                                                           \
        if ((B)->erps_debug || debug)                                                              \
            jxbridge_trace(__VA_ARGS__);                                                           \
    } while (0)

bool erps_filter_match(const u8 *f, u32 len) {
    static const u8 raps[ETH_ALEN] = {0x01, 0x19, 0xa7, 0x00, 0x00, 0x01};
    return len >= ETH_HLEN && ether_addr_equal(f, raps);
}

int erps_filter_apply(struct jxbridge *B, struct sk_buff *skb) {
    return proto_filter_apply(B, PF_ERPS, nullptr, skb);
}

struct sk_buff *erps_gate_frame(struct jxbridge_port *port, struct sk_buff *skb) {
    struct jxbridge *B = port->bridge;
    if (!B->erps_enabled || !port->erps_forward || !port->erps_vlans)
        return skb;
    u16 vid = ntohs(JXBRIDGE_CB(skb)->outer_tci) & 0xFFF;
    if (port->erps_forward[vid] == ERPS_FORWARD)
        return skb;
    ERPS_TRACE(B, "[erps]       erps state on port %s for vlan %d is DISCARDING, dropping frame.\n",
               port->dev->name, vid);
    kfree_skb(skb);
    return nullptr;
}

// Ports.

static int erps_port_init(struct jxbridge_port *port) {
    if (port->bridge->erps_debug)
        printk(KERN_INFO "[erps] Initializing port %s (%d).\n", port->dev->name,
               (int)port->port_no);
    port->erps_forward = (u32 *)jxbridge_zalloc(sizeof(u32) * ERPS_VLANS);
    port->erps_oper = (u32 *)jxbridge_zalloc(sizeof(u32) * ERPS_VLANS);
    if (!port->erps_forward || !port->erps_oper) {
        // The port works on without ERPS; the daemon is told so (-ESRCH).
        kfree(port->erps_forward);
        kfree(port->erps_oper);
        port->erps_forward = port->erps_oper = nullptr;
    }
    port->erps_vlans = 0;
    return 0;
}

static void erps_port_deinit(struct jxbridge_port *port) {
    kfree(port->erps_forward);
    kfree(port->erps_oper);
    port->erps_forward = port->erps_oper = nullptr;
    port->erps_vlans = 0;
}

// The control file.

static bool erps_vlan_in(const u8 *vlans, u32 v) {
    return vlans[v / 8] & (0x80 >> (v % 8));
}

// The record's port, its name terminated in a copy.
static int erps_rec_port(struct jxbridge *B, const struct erps_port_request *r,
                         struct jxbridge_port **out) {
    char name[ERPS_NAME_LEN];
    memcpy(name, r->name, sizeof(name));
    name[sizeof(name) - 1] = '\0';
    return jxbridge_proc_port(B, name, out);
}

static void erps_mng_trace(struct jxbridge *B, const char *what, const struct erps_port_request *r,
                           bool bitmap) {
    if (!B->erps_debug_mng)
        return;
    char name[ERPS_NAME_LEN];
    memcpy(name, r->name, sizeof(name));
    name[sizeof(name) - 1] = '\0';
    printk(KERN_INFO "[erps] %s: port=%s, vid=%d, state=%u\n", what, name, (int)r->vid, r->state);
    if (!bitmap)
        return;
    printk(KERN_INFO "\tvlan_bitmap(HEX):");
    for (u32 i = 0; i < sizeof(r->vlans); i++) {
        if (i % 32 == 0)
            printk(KERN_CONT "\n\t");
        printk(KERN_CONT "%02x", r->vlans[i]);
    }
    printk(KERN_CONT "\n");
}

static long erps_ioc_state(struct jxbridge *B, unsigned int, u32 *on, unsigned long) {
    B->erps_enabled = *on ? 1 : 0;
    if (B->erps_debug_mng)
        printk(KERN_INFO "[erps] BRIDGE_IOCTL_ERPS_STATE_SET: %s\n",
               B->erps_enabled ? "JXBRIDGE_ERPS_ENABLE" : "JXBRIDGE_ERPS_DISABLE");
    return 0;
}

static long erps_ioc_oper(struct jxbridge *B, unsigned int, struct erps_port_request *r,
                          unsigned long) {
    erps_mng_trace(B, "BRIDGE_IOCTL_ERPS_PORT_VLAN_OPERATIONAL_STATE_SET", r, true);
    struct jxbridge_port *port;
    if (erps_rec_port(B, r, &port))
        return -ENOENT;
    if (!port->erps_oper)
        return -ESRCH;
    u32 n = 0;
    for (u32 v = 0; v < ERPS_VLANS; v++) {
        if (erps_vlan_in(r->vlans, v))
            port->erps_oper[v] = r->state;
        n += port->erps_oper[v] == 1;
    }
    port->erps_vlans = n;
    return 0;
}

static int erps_port_forward_set(struct jxbridge_port *port, const u8 *vlans, u32 state) {
    if (!port->erps_forward)
        return -ESRCH;
    for (u32 v = 0; v < ERPS_VLANS; v++)
        if (erps_vlan_in(vlans, v))
            port->erps_forward[v] = state;
    return 0;
}

static long erps_ioc_forward(struct jxbridge *B, unsigned int, struct erps_port_request *r,
                             unsigned long) {
    erps_mng_trace(B, "BRIDGE_IOCTL_ERPS_PORT_VLAN_FORWARD_STATE_SET", r, true);
    if (B->erps_debug_mng)
        printk(KERN_INFO "[erps]   %s\n",
               r->state == ERPS_FORWARD ? "JXBRIDGE_ERPS_FORWARD" : "JXBRIDGE_ERPS_BLOCK");
    struct jxbridge_port *port;
    if (erps_rec_port(B, r, &port))
        return -ENOENT;
    return erps_port_forward_set(port, r->vlans, r->state);
}

static long erps_ioc_flush(struct jxbridge *B, unsigned int, struct erps_port_request *r,
                           unsigned long) {
    erps_mng_trace(B, "BRIDGE_IOCTL_ERPS_FLUSH_FDB_VLAN_PORT", r, false);
    struct jxbridge_port *port;
    if (erps_rec_port(B, r, &port))
        return -ENODEV;
    if (!r->vid)
        return mac_table_delete_by_port(B->mac_table, port, MAC_TABLE_SECTION_UNICAST);
    return mac_table_delete_by_port_and_vid(B->mac_table, port, r->vid, MAC_TABLE_SECTION_UNICAST);
}

#define IN JXBRIDGE_IOC_IN
static const struct jxbridge_proc_ioc erps_iocs[] = {
    JXBRIDGE_IOC(BRIDGE_IOCTL_ERPS_STATE_SET, u32, IN, erps_ioc_state),
    JXBRIDGE_IOC(BRIDGE_IOCTL_ERPS_PORT_VLAN_OPERATIONAL_STATE_SET, erps_port_request, IN,
                 erps_ioc_oper),
    JXBRIDGE_IOC(BRIDGE_IOCTL_ERPS_PORT_VLAN_FORWARD_STATE_SET, erps_port_request, IN,
                 erps_ioc_forward),
    JXBRIDGE_IOC_SIZE(BRIDGE_IOCTL_ERPS_FLUSH_FDB_VLAN_PORT, erps_port_request, 20, IN,
                      erps_ioc_flush),
};
#undef IN

static int erps_cmd_switch(char **w, u32 *sw) {
    if (!w[1])
        return -ENOARG;
    long long v;
    if (a2num(w[1], &v))
        return -EINVAL;
    *sw = (u32)v;
    return 0;
}

static int erps_cmd_debug(struct jxbridge *B, char **w) {
    return erps_cmd_switch(w, &B->erps_debug);
}

static int erps_cmd_debug_mng(struct jxbridge *B, char **w) {
    return erps_cmd_switch(w, &B->erps_debug_mng);
}

static const struct jxbridge_proc_cmd erps_cmds[] = {
    {"help", nullptr, "\thelp\n", 0},
    {"debug", erps_cmd_debug, "\tdebug <mode>\n", 0},
    {"debug_mng", erps_cmd_debug_mng, "\tdebug_mng <mode>\n", 0},
};

static int erps_show(struct seq_file *m, void *) {
    struct jxbridge *B = (struct jxbridge *)m->private_data;
    mutex_lock(&jxbridge_lock);
    seq_printf(m, "debug: %u\n", B->erps_debug);
    seq_printf(m, "debug_mng: %u\n\n", B->erps_debug_mng);
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        if (!p || !p->erps_oper)
            continue;
        seq_printf(m, "port=%s(id=%d, bll_id=%d): ENABLED VLAN-s: ", p->dev->name, (int)p->port_no,
                   (int)p->bll_port_no);
        for (u32 v = 0; v < ERPS_VLANS; v++)
            if (p->erps_oper[v] == 1)
                seq_printf(m, "%d (state=%s),", (int)v,
                           p->erps_forward[v] == ERPS_FORWARD ? "FORWARDING" : "DISCARDING");
        seq_printf(m, "\n");
    }
    mutex_unlock(&jxbridge_lock);
    return 0;
}

static bool erps_file_debug(struct jxbridge *B) {
    return B->erps_debug;
}

static const struct jxbridge_proc_ops erps_ops = {
    .tag = "ERPS",
    .log = JXBRIDGE_PROC_LOG_PLAIN,
    .debug = erps_file_debug,
    .check = nullptr,
    .cmds = erps_cmds,
    .n_cmds = ARRAY_SIZE(erps_cmds),
    .iocs = erps_iocs,
    .n_iocs = ARRAY_SIZE(erps_iocs),
    .trace = "erps_ioctl",
    .say = nullptr,
    .unknown = nullptr,
};

static const struct file_operations erps_fops = jxbridge_proc_file<erps_show, &erps_ops>::fops;

static int erps_init(struct jxbridge *B) {
    B->erps_enabled = 0;
    B->erps_debug = 0;
    B->erps_debug_mng = 0;
    return 0;
}

extern const struct jxbridge_subsys erps_subsys = {
    .tag = "ERPS",
    .init = erps_init,
    .port_init = erps_port_init,
    .port_fini = erps_port_deinit,
    .files = {{"erps", 0644, &erps_fops}},
};
