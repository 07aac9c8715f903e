// Storm control: per-port limits on flooded broadcast, multicast and
// unknown-destination frames. Broadcast and multicast limits are the packet
// engine's to enforce; the unknown-destination limit is checked here, frame by
// frame, by the pipeline before it floods.
#include "jxbridge.h"

// Software windows last at least this long.
#define STORM_WINDOW_MS 1000

struct storm_class {
    u16 enabled;
    u16 rate; // frames per window
    u32 count;
    u32 window_start; // jiffies
    u32 dropped;
};
struct storm_port {
    struct storm_class cls[3]; // indexed by class: broadcast, multicast, dlf
};

static struct storm_class *storm_class_of(struct jxbridge_port *port, u32 cls) {
    if (!port || !port->storm || cls > STORM_DLF)
        return nullptr;
    return &port->storm->cls[cls];
}

static int storm_port_init(struct jxbridge_port *port) {
    auto *sp = (struct storm_port *)jxbridge_zalloc(sizeof(struct storm_port));
    if (!sp)
        return -ENOMEM;
    u32 now = (u32)jiffies;
    for (auto &c : sp->cls)
        c.window_start = now;
    sp->cls[STORM_DLF].enabled = 1;
    sp->cls[STORM_DLF].rate = 100;
    port->storm = sp;
    return 0;
}

static void storm_port_fini(struct jxbridge_port *port) {
    // The engine's limits outlive the port otherwise: a port added later on
    // the same subport would start limited.
    struct storm_port *sp = port->storm;
    if (sp && ((sp->cls[STORM_BCAST].enabled && sp->cls[STORM_BCAST].rate) ||
               (sp->cls[STORM_MCAST].enabled && sp->cls[STORM_MCAST].rate))) {
        sp->cls[STORM_BCAST].enabled = sp->cls[STORM_MCAST].enabled = 0;
        bridge_tarn_storm_update(port);
    }
    kfree(port->storm);
    port->storm = nullptr;
}

extern const struct jxbridge_subsys storm_subsys = {
    .tag = "Storm",
    .port_init = storm_port_init,
    .port_fini = storm_port_fini,
};

// The engine gets the broadcast and multicast rates of the port, 0 where
// control is off.
int bridge_tarn_storm_update(struct jxbridge_port *port) {
    if (!port || !port->storm || port->ucc_index == JXBRIDGE_NO_SUBPORT ||
        port->ucc_subport == JXBRIDGE_NO_SUBPORT)
        return 0;
    auto fn = (int (*)(int, int, u32, u32))jxbridge_symbol_get("tarnAPISetStormRate");
    if (!fn) {
        printk(KERN_INFO "[Bridge] \t%s:%d symbol_request(tarnAPISetStormRate) FAILED, return\n",
               __func__, __LINE__);
        return 1;
    }
    const struct storm_class &b = port->storm->cls[STORM_BCAST], &m = port->storm->cls[STORM_MCAST];
    int rc = fn((int)port->ucc_index, (int)port->ucc_subport, b.enabled ? b.rate : 0u,
                m.enabled ? m.rate : 0u);
    if (rc) {
        printk(KERN_ERR "[Bridge] %s: tarnAPISetStormRate error=%d (port=%s)\n", __func__, rc,
               port->dev->name);
        return 1;
    }
    return 0;
}

int storm_enable_set(struct jxbridge *, u32 cls, struct jxbridge_port *port, u32 value) {
    struct storm_class *c = storm_class_of(port, cls);
    if (!c)
        return 1;
    c->enabled = (u16)value;
    return cls == STORM_DLF ? 0 : bridge_tarn_storm_update(port);
}

int storm_enable_get(struct jxbridge *, u32 cls, struct jxbridge_port *port, u32 *out) {
    struct storm_class *c = storm_class_of(port, cls);
    if (!c)
        return 1;
    *out = c->enabled;
    return 0;
}

int storm_rate_set(struct jxbridge *, u32 cls, struct jxbridge_port *port, u32 rate) {
    struct storm_class *c = storm_class_of(port, cls);
    if (!c)
        return 1;
    // The store holds 16 bits: a wider rate would come back cut.
    if (rate > 0xFFFF)
        return -ERANGE;
    c->rate = (u16)rate;
    if (cls != STORM_DLF)
        bridge_tarn_storm_update(port);
    return 0;
}

int storm_rate_get(struct jxbridge *, u32 cls, struct jxbridge_port *port, u32 *out) {
    struct storm_class *c = storm_class_of(port, cls);
    if (!c)
        return 1;
    *out = c->rate;
    return 0;
}

int storm_check_rate(struct jxbridge *, u32 cls, struct jxbridge_port *port) {
    struct storm_class *c = storm_class_of(port, cls);
    if (!c)
        return 1;
    if (!c->enabled)
        return 1;
    c->count++;
    if (c->rate) {
        if (c->count <= c->rate)
            return 1;
        u32 now = (u32)jiffies;
        if ((s32)(now - c->window_start) > (s32)msecs_to_jiffies(STORM_WINDOW_MS)) {
            c->window_start = now;
            c->count = 1;
            return 1;
        }
    }
    c->dropped++;
    return 0;
}

int storm_drop_frames_get(struct jxbridge *, u32 cls, struct jxbridge_port *port, u32 *out) {
    struct storm_class *c = storm_class_of(port, cls);
    if (!c)
        return 1;
    if (cls == STORM_DLF) {
        *out = c->dropped;
        return 0;
    }
    struct jxbridge_port_counters hw = {};
    int rc = port->ucc_index == JXBRIDGE_NO_SUBPORT || port->ucc_subport == JXBRIDGE_NO_SUBPORT
                 ? 0
                 : bridge_tarn_statistics_get(port->ucc_index, port->ucc_subport, &hw);
    if (rc) {
        printk(KERN_INFO "storm_drop_frames_get error '%d'\n", rc);
        return 2;
    }
    *out = cls == STORM_MCAST ? hw.drop_storm_mcast : hw.drop_storm_bcast;
    return 0;
}

int storm_drop_frames_reset(struct jxbridge *, u32 cls, struct jxbridge_port *port) {
    struct storm_class *c = storm_class_of(port, cls);
    if (!c)
        return 1;
    c->dropped = 0;
    // Broadcast and multicast drops are counted by the engine: cleared there.
    if (cls != STORM_DLF && port->ucc_index != JXBRIDGE_NO_SUBPORT &&
        port->ucc_subport != JXBRIDGE_NO_SUBPORT)
        bridge_tarn_statistics_clear(port->ucc_index, port->ucc_subport,
                                     cls == STORM_BCAST ? JXBRIDGE_TARN_STORM_BCAST
                                                        : JXBRIDGE_TARN_STORM_MCAST);
    return 0;
}

int storm_time_last_clear_get(struct jxbridge *, u32 cls, struct jxbridge_port *port, u32 *out) {
    struct storm_class *c = storm_class_of(port, cls);
    if (!c)
        return 1;
    *out = c->window_start;
    return 0;
}

void storm_show(struct jxbridge *B) {
    printk(KERN_INFO "      dlf      dlf                  \n");
    printk(KERN_INFO "port  enabled  rate   dropped frames\n");
    printk(KERN_INFO "----  -------  -----  --------------\n");
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        struct storm_class *c = storm_class_of(p, STORM_DLF);
        if (c)
            printk(KERN_INFO "%4s  %7u  %5u  %14u\n", p->dev->name, c->enabled, c->rate,
                   c->dropped);
    }
}
