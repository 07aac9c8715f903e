// The VLAN engine of a bridge: configured VLANs and their member ports, each
// port's tagging and Q-in-Q settings, remark and MVR rules, and the ingress
// and egress tag rules applied to frames.
#include "jxbridge.h"

static const char *const vlan_file = "rte/sources/jxbridge/bridge_vlan.cc";

#define VLAN_AF_INET 2
#define VLAN_AF_INET6 10
#define VLAN_PRIO_MASK 0xE000
#define VLAN_VID_MASK 0x0FFF

// Trace lines go to the trace channel while the engine's debug switch is on.
#define vlan_trace(dbg, fmt, ...)                                                                  \
    do {                                                                                           \
        if (dbg)                                                                                   \
            jxbridge_trace(fmt, ##__VA_ARGS__);                                                    \
    } while (0)
#define vlan_trace_info(dbg, fmt, ...) vlan_trace(dbg, fmt, ##__VA_ARGS__)

static struct jxbridge_port *vlan_no_ports[1] = {nullptr};

static inline bool vlan_bit(const u32 *map, u32 vid) {
    return map[vid >> 5] & (1u << (vid & 31));
}
static inline void vlan_bit_set(u32 *map, u32 vid) {
    map[vid >> 5] |= 1u << (vid & 31);
}
static inline void vlan_bit_clear(u32 *map, u32 vid) {
    map[vid >> 5] &= ~(1u << (vid & 31));
}

static inline u16 vlan_get16(const u8 *p) {
    return (u16)(p[0] << 8 | p[1]);
}
static inline void vlan_put16(u8 *p, u16 v) {
    p[0] = (u8)(v >> 8);
    p[1] = (u8)v;
}

// VID and priority of a TCI held in network order, as the control block has them.
static inline u16 vlan_cb_vid(__be16 tci) {
    return ntohs(tci) & VLAN_VID_MASK;
}
static inline u16 vlan_cb_pcp(__be16 tci) {
    return ntohs(tci) >> 13;
}
static inline __be16 vlan_none_keep_prio(__be16 tci) {
    return htons(ntohs(tci) | VLAN_NONE);
}

static void vlan_event(struct jxbridge_port *port, u32 vid) {
    jxbridge_flow_event(JXBRIDGE_FEV_VLAN, port, (void *)(uintptr_t)vid);
}

static inline struct vlan_data *vlan_of(struct jxbridge_port *port) {
    return port && port->bridge ? port->bridge->vlan : nullptr;
}

struct vlan_port *vlan_port_get(struct jxbridge_port *port) {
    struct vlan_data *vd = vlan_of(port);
    if (!vd || port->port_no >= port->bridge->max_ports)
        return nullptr;
    return &vd->ports[port->port_no];
}

void vlan_set_debug(void *vlan, int on) {
    if (vlan)
        ((struct vlan_data *)vlan)->debug = on ? 1 : 0;
}

// Rule lists.

template <typename T> static void vlan_list_free(T **head) {
    while (*head) {
        T *n = *head;
        *head = n->next;
        kfree(n);
    }
}

// Removes every entry the predicate picks; returns how many went.
template <typename T, typename F> static int vlan_list_remove_if(T **head, F pick) {
    int n = 0;
    for (T **pp = head; *pp;) {
        if (pick(*pp)) {
            T *gone = *pp;
            *pp = gone->next;
            kfree(gone);
            n++;
        } else {
            pp = &(*pp)->next;
        }
    }
    return n;
}

template <typename T> static T *vlan_list_nth(T *head, u32 n) {
    while (head && n--)
        head = head->next;
    return head;
}

// Member lists.

static void vlan_members_append(struct vlan_data *vd, u16 vid, struct jxbridge_port *port) {
    struct jxbridge_port **list = vd->members[vid];
    u32 i = 0;
    while (list[i]) {
        if (list[i] == port)
            return;
        i++;
    }
    // Each port is listed once, so the list never outgrows its ports + 1 slots.
    if (i < vd->bridge->max_ports) {
        list[i] = port;
        list[i + 1] = nullptr;
    }
}

static void vlan_members_remove(struct vlan_data *vd, u16 vid, struct jxbridge_port *port) {
    struct jxbridge_port **list = vd->members[vid];
    u32 n = 0;
    while (list[n])
        n++;
    for (u32 i = 0; i < n; i++)
        if (list[i] == port) {
            list[i] = list[n - 1];
            list[n - 1] = nullptr;
            return;
        }
}

// Creation and deletion.

static void vlan_port_reset(struct vlan_port *vp) {
    vlan_list_free(&vp->remarks);
    vlan_list_free(&vp->qinq);
    vlan_list_free(&vp->mvr);
    vlan_list_free(&vp->mpmm);
    memset(vp->member, 0, 3 * VLAN_BITMAP_WORDS * sizeof(u32));
    vp->qinq_mode = VLAN_QINQ_BRIDGE;
    vp->pvid = 1;
    vp->stacking = VLAN_NONE;
    vp->accept[0] = vp->accept[1] = vp->accept[2] = 1;
    vp->remark = 0;
}

static void vlan_free(struct vlan_data *vd) {
    for (u32 i = 0; vd->ports && i < vd->bridge->max_ports; i++) {
        struct vlan_port *vp = &vd->ports[i];
        vlan_list_free(&vp->remarks);
        vlan_list_free(&vp->qinq);
        vlan_list_free(&vp->mvr);
        vlan_list_free(&vp->mpmm);
        kfree(vp->member);
    }
    kfree(vd->ports);
    for (u32 v = 0; v < VLAN_VIDS; v++) {
        kfree(vd->members[v]);
        kfree(vd->names[v]);
    }
    kfree(vd);
}

int vlan_init(struct jxbridge *B) {
    const char *name = B->dev->name;
    printk(KERN_INFO "[%s/VLAN] Initializing (%d ports, %d bytes main).\n", name, (int)B->max_ports,
           (int)sizeof(struct vlan_data));
    auto *vd = (struct vlan_data *)jxbridge_zalloc(sizeof(struct vlan_data));
    if (!vd) {
        printk(KERN_ERR "%s:%d Unable to allocate main memory in size %d.\n", vlan_file, __LINE__,
               (int)sizeof(struct vlan_data));
        return -ENOMEM;
    }
    vd->bridge = B;
    vd->debug = (u32)vlan_debug;
    const size_t list_size = sizeof(struct jxbridge_port *) * (B->max_ports + 1);
    for (u32 v = 0; v < VLAN_VIDS; v++) {
        vd->members[v] = (struct jxbridge_port **)jxbridge_zalloc(list_size);
        if (!vd->members[v]) {
            printk(KERN_ERR "%s:%d Unable to allocate VLAN %d membership memory in size %d.\n",
                   vlan_file, __LINE__, (int)v, (int)list_size);
            vlan_free(vd);
            return -ENOMEM;
        }
    }
    vd->ports = (struct vlan_port *)jxbridge_zalloc(sizeof(struct vlan_port) * B->max_ports);
    if (!vd->ports) {
        printk(KERN_ERR "%s:%d Unable to allocate memory.\n", vlan_file, __LINE__);
        vlan_free(vd);
        return -ENOMEM;
    }
    for (u32 i = 0; i < B->max_ports; i++) {
        struct vlan_port *vp = &vd->ports[i];
        vp->member = (u32 *)jxbridge_zalloc(3 * VLAN_BITMAP_WORDS * sizeof(u32));
        if (!vp->member) {
            printk(KERN_ERR "%s:%d Unable to allocate memory.\n", vlan_file, __LINE__);
            vlan_free(vd);
            return -ENOMEM;
        }
        vp->tagged = vp->member + VLAN_BITMAP_WORDS;
        vp->tag_ignore = vp->tagged + VLAN_BITMAP_WORDS;
        vlan_port_reset(vp);
    }
    vlan_bit_set(vd->configured, 1);
    vd->configured_count = 1;
    B->vlan = vd;
    return 0;
}

void vlan_deinit(struct jxbridge *B) {
    if (!B->vlan)
        return;
    vlan_free(B->vlan);
    B->vlan = nullptr;
}

void vlan_port_init(struct vlan_data *vd, struct jxbridge_port *port) {
    if (!vd || port->port_no >= vd->bridge->max_ports)
        return;
    struct vlan_port *vp = &vd->ports[port->port_no];
    vlan_port_reset(vp);
    if (vlan_bit(vd->configured, 1)) {
        vlan_bit_set(vp->member, 1);
        vlan_members_append(vd, 1, port);
    }
}

void vlan_port_fini(struct vlan_data *vd, struct jxbridge_port *port) {
    if (!vd || port->port_no >= vd->bridge->max_ports)
        return;
    vlan_del_port_membership(port);
    vlan_port_reset(&vd->ports[port->port_no]);
}

static int vlan_subsys_init(struct jxbridge *B) {
    int rc = vlan_init(B);
    if (rc) {
        if (debug)
            printk(KERN_INFO "[%s] Failed to create VLAN part.\n", B->dev->name);
        return rc;
    }
    vlan_set_ethertype(B, 0x8100);
    return 0;
}

static int vlan_subsys_port_init(struct jxbridge_port *port) {
    vlan_port_init(port->bridge->vlan, port);
    return 0;
}

static void vlan_subsys_port_fini(struct jxbridge_port *port) {
    vlan_port_fini(port->bridge->vlan, port);
}

static void vlan_subsys_debug(void *bridge, int on) {
    vlan_set_debug(((struct jxbridge *)bridge)->vlan, on);
}

extern const struct jxbridge_subsys vlan_subsys = {
    .tag = "VLAN",
    .init = vlan_subsys_init,
    .fini = vlan_deinit,
    .port_init = vlan_subsys_port_init,
    .port_fini = vlan_subsys_port_fini,
    .files = {{"vlan", 0600, &jxbridge_vlan_fops}},
    .set_debug = vlan_subsys_debug,
};

// The bridge's outer ethertype.

int vlan_set_ethertype(struct jxbridge *B, u16 ethertype) {
    if (B->outer_ethertype == ethertype)
        return 0;
    B->outer_ethertype = ethertype;
    jxbridge_flow_event(JXBRIDGE_FEV_VLAN);
    return 0;
}

u16 vlan_get_ethertype(struct jxbridge *B) {
    return B->outer_ethertype;
}

__be16 vlan_get_outer_ethertype_nf(struct vlan_data *vd) {
    return htons(vd->bridge->outer_ethertype);
}

// Configured VLANs.

int vlan_add_configured(struct vlan_data *vd, u16 vid) {
    if (vid >= VLAN_VIDS)
        return -EINVAL;
    if (!vlan_bit(vd->configured, vid)) {
        vlan_bit_set(vd->configured, vid);
        vd->configured_count++;
    }
    return 0;
}

int vlan_del_configured(struct vlan_data *vd, u16 vid) {
    if (vid >= VLAN_VIDS)
        return -EINVAL;
    if (!vlan_bit(vd->configured, vid))
        return 0;
    vlan_bit_clear(vd->configured, vid);
    struct jxbridge *B = vd->bridge;
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *port = B->ports[i];
        if (!port)
            continue;
        struct vlan_port *vp = &vd->ports[i];
        if ((vp->pvid & VLAN_VID_MASK) == vid)
            vp->pvid = (u16)((vp->pvid & ~VLAN_VID_MASK) | 1);
        vlan_bit_clear(vp->member, vid);
        vlan_bit_clear(vp->tagged, vid);
        vlan_list_remove_if(&vp->remarks, [&](vlan_remark *r) { return r->src == vid; });
        vlan_list_remove_if(&vp->qinq,
                            [&](vlan_qinq *q) { return q->first <= vid && vid <= q->last; });
        vlan_event(port, vid);
    }
    vd->configured_count--;
    kfree(vd->names[vid]);
    vd->names[vid] = nullptr;
    vd->members[vid][0] = nullptr;
    return 0;
}

int vlan_is_configured(struct vlan_data *vd, u16 vid) {
    if (vid >= VLAN_VIDS)
        return -EINVAL;
    return vlan_bit(vd->configured, vid) ? 0 : -ENOENT;
}

int vlan_get_is_configured(struct vlan_data *vd, u16 vid, char *name, size_t size) {
    int rc = vlan_is_configured(vd, vid);
    if (rc)
        return rc;
    if (name && size)
        strlcpy(name, vd->names[vid] ? vd->names[vid] : "", size);
    return 0;
}

int vlan_name_set(struct vlan_data *vd, u16 vid, const char *name) {
    int rc = vlan_is_configured(vd, vid);
    if (rc)
        return rc;
    if (!name || !*name) {
        kfree(vd->names[vid]);
        vd->names[vid] = nullptr;
        return 0;
    }
    // A name is kept whole or not at all.
    if (strnlen(name, VLAN_NAME_SIZE) >= VLAN_NAME_SIZE)
        return -ERANGE;
    if (!vd->names[vid]) {
        vd->names[vid] = (char *)jxbridge_zalloc(VLAN_NAME_SIZE);
        if (!vd->names[vid])
            return -ENOMEM;
    }
    strlcpy(vd->names[vid], name, VLAN_NAME_SIZE);
    return 0;
}

void vlan_clear(struct vlan_data *vd) {
    for (u32 v = 0; v < VLAN_VIDS; v++) {
        kfree(vd->names[v]);
        vd->names[v] = nullptr;
        vd->members[v][0] = nullptr;
    }
    memset(vd->configured, 0, sizeof(vd->configured));
    vd->configured_count = 0;
    // Back to the state of a new bridge: VLAN 1 with every port an untagged member.
    vlan_add_configured(vd, 1);
    struct jxbridge *B = vd->bridge;
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *port = B->ports[i];
        if (!port)
            continue;
        struct vlan_port *vp = &vd->ports[i];
        memset(vp->member, 0, 3 * VLAN_BITMAP_WORDS * sizeof(u32));
        vp->stacking = VLAN_NONE;
        vp->accept[0] = vp->accept[1] = vp->accept[2] = 1;
        vp->qinq_mode = VLAN_QINQ_BRIDGE;
        vlan_list_free(&vp->remarks);
        vlan_list_free(&vp->qinq);
        vlan_list_free(&vp->mpmm);
        vlan_set_pvid(port, 1);
        vlan_add_membership(port, 1);
        vlan_event(port, VLAN_NONE);
    }
}

void vlan_get_stat(struct vlan_data *vd, struct vlan_stat *rx, struct vlan_stat *tx) {
    if (rx)
        *rx = vd->rx;
    if (tx)
        *tx = vd->tx;
}

void vlan_clear_stat(struct vlan_data *vd) {
    memset(&vd->rx, 0, sizeof(vd->rx));
    memset(&vd->tx, 0, sizeof(vd->tx));
}

void vlan_mcast_mode_set(struct vlan_data *vd, u16 vid, u32 mode) {
    if (!vd || vid >= VLAN_VIDS || vd->mcast_mode[vid] == mode)
        return;
    vd->mcast_mode[vid] = mode;
    jxbridge_flow_event(JXBRIDGE_FEV_MCAST);
}
EXPORT_SYMBOL(vlan_mcast_mode_set);

int vlan_mcast_mode_get(struct vlan_data *vd, u16 vid, u32 *mode) {
    if (!vd || !mode || vid >= VLAN_VIDS)
        return -EINVAL;
    *mode = vd->mcast_mode[vid];
    return 0;
}
EXPORT_SYMBOL(vlan_mcast_mode_get);

// Membership and tagging.

int vlan_add_membership(struct jxbridge_port *port, u16 vid) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || vid < 1 || vid >= VLAN_VIDS) {
        printk(KERN_INFO "[VLAN] Incorrect input parameters.\n");
        return -EINVAL;
    }
    struct vlan_data *vd = vlan_of(port);
    if (!vlan_bit(vd->configured, vid))
        return -EPERM;
    vlan_bit_set(vp->member, vid);
    vlan_bit_clear(vp->tagged, vid);
    vlan_bit_clear(vp->tag_ignore, vid);
    vlan_members_append(vd, vid, port);
    vlan_event(port, vid);
    return 0;
}

// Takes the port out of one VLAN; true when it was in it.
static bool vlan_membership_drop(struct vlan_data *vd, struct vlan_port *vp,
                                 struct jxbridge_port *port, u16 vid) {
    bool was = vlan_bit(vp->member, vid) || vlan_bit(vp->tagged, vid);
    vlan_bit_clear(vp->member, vid);
    vlan_bit_clear(vp->tagged, vid);
    vlan_members_remove(vd, vid, port);
    return was;
}

int vlan_del_membership(struct jxbridge_port *port, u16 vid) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || vid < 1 || vid >= VLAN_VIDS)
        return -EINVAL;
    if (vlan_membership_drop(vlan_of(port), vp, port, vid))
        vlan_event(port, vid);
    return 0;
}

int vlan_del_port_membership(struct jxbridge_port *port) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp)
        return -EINVAL;
    struct vlan_data *vd = vlan_of(port);
    bool changed = false;
    for (u32 v = 1; v < VLAN_VIDS; v++)
        if (vlan_bit(vp->member, v) || vlan_bit(vp->tagged, v))
            changed |= vlan_membership_drop(vd, vp, port, (u16)v);
    if (changed)
        vlan_event(port, VLAN_NONE);
    return 0;
}

int vlan_get_membership(struct jxbridge_port *port, u16 vid) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || vid > VLAN_NONE)
        return -EINVAL;
    return vlan_bit(vp->member, vid);
}

int vlan_get_membership_tagging(struct jxbridge_port *port, u16 vid, u32 *member, u32 *tagged) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || vid > VLAN_NONE)
        return -EINVAL;
    if (member)
        *member = vlan_bit(vp->member, vid);
    if (tagged)
        *tagged = vlan_bit(vp->tagged, vid);
    return 0;
}

int vlan_get_membership_tagging_all(struct vlan_data *vd, u16 vid, u32 *members, u32 *tagged,
                                    u32 bytes) {
    if (!vd || !members || !tagged || vid >= VLAN_VIDS)
        return -EINVAL;
    struct jxbridge *B = vd->bridge;
    if ((u64)B->max_ports > (u64)bytes * 8)
        return -ENOMEM;
    for (u32 i = 0; i < B->max_ports; i++) {
        if (!B->ports[i])
            continue;
        struct vlan_port *vp = &vd->ports[i];
        if (vlan_bit(vp->member, vid))
            vlan_bit_set(members, i);
        if (vlan_bit(vp->tagged, vid))
            vlan_bit_set(tagged, i);
    }
    return 0;
}

// Sets or clears a per-VLAN bit of the port; only VLANs it is a member of.
static int vlan_member_bit_set(struct vlan_port *vp, u32 *bits, u16 vid, u32 state) {
    if (!vlan_bit(vp->member, vid)) {
        printk(KERN_INFO "[VLAN] This VID is not established on this port.\n");
        return -EACCES;
    }
    if (state)
        vlan_bit_set(bits, vid);
    else
        vlan_bit_clear(bits, vid);
    return 0;
}

int vlan_set_port_tag(struct jxbridge_port *port, u16 vid, u32 state) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || vid < 1 || vid >= VLAN_VIDS)
        return -EINVAL;
    int rc = vlan_member_bit_set(vp, vp->tagged, vid, state);
    if (rc)
        return rc;
    vlan_event(port, vid);
    return 0;
}

// A port's bit for vid in one of its VLAN sets, chosen by member.
static int vlan_port_bit(struct jxbridge_port *port, u32 *vlan_port::*set, u16 vid) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || vid > VLAN_NONE)
        return -EINVAL;
    return vlan_bit(vp->*set, vid);
}

int vlan_get_port_tag(struct jxbridge_port *port, u16 vid) {
    return vlan_port_bit(port, &vlan_port::tagged, vid);
}

int vlan_set_port_tagging_ignore(struct jxbridge_port *port, u16 vid, u32 state) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || vid < 1 || vid > VLAN_NONE)
        return -EINVAL;
    if (vid == VLAN_NONE) {
        memset(vp->tag_ignore, state ? 0xFF : 0, VLAN_BITMAP_WORDS * sizeof(u32));
        vlan_bit_clear(vp->tag_ignore, VLAN_NONE);
    } else {
        int rc = vlan_member_bit_set(vp, vp->tag_ignore, vid, state);
        if (rc)
            return rc;
    }
    vlan_event(port, vid);
    return 0;
}

int vlan_get_port_tagging_ignore(struct jxbridge_port *port, u16 vid) {
    return vlan_port_bit(port, &vlan_port::tag_ignore, vid);
}

int vlan_set_pvid(struct jxbridge_port *port, u16 pvid) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || pvid < 1 || pvid >= VLAN_VIDS)
        return -EINVAL;
    if (!vlan_bit(vlan_of(port)->configured, pvid))
        return -EPERM;
    vp->pvid = (u16)((vp->pvid & ~VLAN_VID_MASK) | pvid);
    if (port->kind == JXBRIDGE_PORT_LOCAL && !strcmp(port->dev->name, "mng0"))
        printk(KERN_INFO "[VLAN] PVID for %s set to %d.\n", port->dev->name, (int)pvid);
    vlan_event(port, pvid);
    return 0;
}

int vlan_get_pvid(struct jxbridge_port *port) {
    struct vlan_port *vp = vlan_port_get(port);
    return vp ? vp->pvid & VLAN_VID_MASK : -EINVAL;
}

int vlan_set_port_priority(struct jxbridge_port *port, u8 prio) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || prio > 7)
        return -EINVAL;
    vp->pvid = (u16)((vp->pvid & ~VLAN_PRIO_MASK) | prio << 13);
    vlan_event(port, 0);
    return 0;
}

int vlan_get_port_priority(struct jxbridge_port *port) {
    struct vlan_port *vp = vlan_port_get(port);
    return vp ? vp->pvid >> 13 : -EINVAL;
}

int vlan_set_acceptable_frame(struct jxbridge_port *port, u32 type) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || type > VLAN_ACCEPT_ALL)
        return -EINVAL;
    vp->accept[0] = type != VLAN_ACCEPT_TAGGED;
    vp->accept[1] = vp->accept[2] = type != VLAN_ACCEPT_UNTAGGED;
    vlan_event(port, 0);
    return 0;
}

int vlan_get_acceptable_frame(struct jxbridge_port *port) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp)
        return -EINVAL;
    if (!vp->accept[0] && vp->accept[1])
        return VLAN_ACCEPT_TAGGED;
    if (vp->accept[0] && !vp->accept[1])
        return VLAN_ACCEPT_UNTAGGED;
    return VLAN_ACCEPT_ALL;
}

// Remarking.

static const char *vlan_dir2a(u32 dir) {
    static const char *const names[] = {"both", "ingress", "egress"};
    return dir < ARRAY_SIZE(names) ? names[dir] : "unknown";
}

int vlan_set_port_remark(struct jxbridge_port *port, u32 state) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp)
        return -EINVAL;
    vp->remark = state;
    vlan_event(port, 0);
    return 0;
}

int vlan_get_port_remark(struct jxbridge_port *port) {
    struct vlan_port *vp = vlan_port_get(port);
    return vp ? (int)vp->remark : -EINVAL;
}

static bool vlan_remark_overlaps(const struct vlan_remark *r, u16 src, u16 dst, u32 dir) {
    switch (dir) {
    case VLAN_REMARK_INGRESS:
        return (r->dir == VLAN_REMARK_INGRESS && r->src == src) ||
               (r->dir == VLAN_REMARK_BOTH && (r->src == src || r->dst == src));
    case VLAN_REMARK_EGRESS:
        return (r->dir == VLAN_REMARK_EGRESS && r->dst == dst) ||
               (r->dir == VLAN_REMARK_BOTH && (r->src == dst || r->dst == dst));
    default:
        return r->src == src || r->dst == dst;
    }
}

int vlan_add_port_remark(struct jxbridge_port *port, u16 src, u16 dst, u32 dir) {
    struct vlan_port *vp = vlan_port_get(port);
    // A remark writes its VIDs into frames: "no VLAN" is not one of them.
    if (!vp || src >= VLAN_VIDS || dst >= VLAN_VIDS)
        return -EINVAL;
    if (dir > VLAN_REMARK_EGRESS) {
        printk(KERN_INFO "[VLAN] Invalid direction.\n");
        return -EINVAL;
    }
    for (struct vlan_remark *r = vp->remarks; r; r = r->next)
        if (vlan_remark_overlaps(r, src, dst, dir)) {
            printk(KERN_INFO "[VLAN] Found overlapping rule: %s %d --> %d\n", vlan_dir2a(r->dir),
                   (int)r->src, (int)r->dst);
            return -EEXIST;
        }
    auto *r = (struct vlan_remark *)jxbridge_zalloc(sizeof(struct vlan_remark));
    if (!r)
        return -ENOMEM;
    r->src = src;
    r->dst = dst;
    r->dir = dir;
    r->next = vp->remarks;
    vp->remarks = r;
    vlan_event(port, src);
    return 0;
}

int vlan_del_port_remark(struct jxbridge_port *port, u16 vid, u32 dir) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp)
        return -EINVAL;
    if (vlan_list_remove_if(&vp->remarks, [&](vlan_remark *r) {
            return vid == VLAN_NONE || (r->src == vid && r->dir == dir);
        }))
        vlan_event(port, vid);
    return 0;
}

int vlan_remark_get_seq(struct jxbridge_port *port, u32 n, u16 *src, u16 *dst, u32 *dir) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp)
        return -EINVAL;
    struct vlan_remark *r = vlan_list_nth(vp->remarks, n);
    if (!r)
        return -ENOENT;
    if (src)
        *src = r->src;
    if (dst)
        *dst = r->dst;
    if (dir)
        *dir = r->dir;
    return 0;
}

// Q-in-Q.

int vlan_qinq_set_port_mode(struct jxbridge_port *port, u32 mode) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp)
        return -EINVAL;
    vp->qinq_mode = mode;
    vlan_event(port, 0);
    return 0;
}

int vlan_qinq_get_port_mode(struct jxbridge_port *port, u32 *mode) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || !mode)
        return -EINVAL;
    *mode = vp->qinq_mode;
    return 0;
}

int vlan_qinq_set_stacking(struct jxbridge_port *port, u16 vid, u8 prio) {
    struct vlan_port *vp = vlan_port_get(port);
    // 4095 turns stacking off; anything wider would spill into the DEI bit.
    if (!vp || vid < 1 || vid > VLAN_NONE || prio > 7)
        return -EINVAL;
    vp->stacking = (u16)(vid | prio << 13);
    vlan_event(port, vid);
    return 0;
}

int vlan_qinq_get_stacking(struct jxbridge_port *port, u16 *vid, u8 *prio) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp)
        return -EINVAL;
    if (vid)
        *vid = vp->stacking & 0x1FFF;
    if (prio)
        *prio = (u8)(vp->stacking >> 13);
    return 0;
}

int vlan_qinq_set_selective(struct jxbridge_port *port, u16 a, u16 b, u16 outer_vid, u8 prio) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || a > VLAN_NONE || b > VLAN_NONE || outer_vid > VLAN_NONE ||
        (prio > 7 && prio != VLAN_QINQ_KEEP_PRIO))
        return -EINVAL;
    u16 first = a < b ? a : b, last = a < b ? b : a;
    for (struct vlan_qinq *q = vp->qinq; q; q = q->next)
        if (first <= q->last && q->first <= last)
            return -EEXIST;
    auto *q = (struct vlan_qinq *)jxbridge_zalloc(sizeof(struct vlan_qinq));
    if (!q) {
        printk(KERN_INFO "[VLAN]   Unable to allocate Q-in-Q entry.\n");
        printk(KERN_ERR "%s:%d Unable to allocate Q-in-Q entry.\n", vlan_file, __LINE__);
        return -ENOMEM;
    }
    q->first = first;
    q->last = last;
    q->tci = (u16)(outer_vid | (prio & 7) << 13);
    q->prio = prio;
    q->next = vp->qinq;
    vp->qinq = q;
    vlan_event(port, first);
    return 0;
}

int vlan_qinq_del_selective(struct jxbridge_port *port, u16 vid) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp)
        return -EINVAL;
    int n = vlan_list_remove_if(&vp->qinq, [&](vlan_qinq *q) {
        return vid == VLAN_NONE || (q->first <= vid && vid <= q->last);
    });
    if (n)
        vlan_event(port, vid);
    return n ? 0 : -ENOENT;
}

static void vlan_qinq_out(const struct vlan_qinq *q, struct vlan_qinq_range *out) {
    out->first = q->first;
    out->last = q->last;
    out->outer_vid = q->tci & VLAN_VID_MASK;
    out->prio = q->prio;
}

static struct vlan_qinq *vlan_qinq_find(struct vlan_port *vp, u16 vid) {
    for (struct vlan_qinq *q = vp->qinq; q; q = q->next)
        if (q->first <= vid && vid <= q->last)
            return q;
    return nullptr;
}

int vlan_qinq_get_selective(struct jxbridge_port *port, u16 vid, struct vlan_qinq_range *out) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || !out)
        return -EINVAL;
    struct vlan_qinq *q = vlan_qinq_find(vp, vid);
    if (!q)
        return -ENOENT;
    vlan_qinq_out(q, out);
    return 0;
}

int vlan_qinq_get_selective_seq(struct jxbridge_port *port, u32 n, struct vlan_qinq_range *out) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || !out)
        return -EINVAL;
    struct vlan_qinq *q = vlan_list_nth(vp->qinq, n);
    if (!q)
        return -ENOENT;
    vlan_qinq_out(q, out);
    return 0;
}

// MPMM.

int vlan_mpmm_add(struct jxbridge_port *port, const struct vlan_mpmm_entry *entry) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || !entry)
        return -EINVAL;
    struct vlan_mpmm **pp = &vp->mpmm;
    while (*pp && (*pp)->entry.index < entry->index)
        pp = &(*pp)->next;
    if (*pp && (*pp)->entry.index == entry->index) {
        printk(KERN_INFO "[VLAN]   Duplicate index found.\n");
        return -EEXIST;
    }
    auto *m = (struct vlan_mpmm *)jxbridge_zalloc(sizeof(struct vlan_mpmm));
    if (!m)
        return -ENOMEM;
    m->entry = *entry;
    m->next = *pp;
    *pp = m;
    vlan_event(port, entry->vid);
    return 0;
}

int vlan_mpmm_del(struct jxbridge_port *port, u32 index) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp)
        return -EINVAL;
    u16 vid = 0;
    if (!vlan_list_remove_if(&vp->mpmm, [&](vlan_mpmm *m) {
            if (m->entry.index != index)
                return false;
            vid = m->entry.vid;
            return true;
        }))
        return -ENOENT;
    vlan_event(port, vid);
    return 0;
}

int vlan_mpmm_get(struct jxbridge_port *port, u32 index, struct vlan_mpmm_entry *out) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || !out)
        return -EINVAL;
    for (struct vlan_mpmm *m = vp->mpmm; m; m = m->next)
        if (m->entry.index == index) {
            *out = m->entry;
            return 0;
        }
    return -ENOENT;
}

int vlan_mpmm_get_by_pos(struct jxbridge_port *port, u32 n, struct vlan_mpmm_entry *out) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || !out)
        return -EINVAL;
    struct vlan_mpmm *m = vlan_list_nth(vp->mpmm, n);
    if (!m)
        return -ENOENT;
    *out = m->entry;
    return 0;
}

// MVR remark rules.

int vlan_add_port_mvr_remark(struct vlan_data *vd, struct jxbridge_port *port,
                             const struct vlan_mvr_rule *rule) {
    struct vlan_port *vp = vlan_port_get(port);
    // The C-VLAN is written into frames: "no VLAN" cannot be one.
    if (!vd || !vp || vlan_of(port) != vd || !rule || rule->cvlan >= VLAN_VIDS)
        return -EINVAL;
    auto *m = (struct vlan_mvr_remark *)jxbridge_zalloc(sizeof(struct vlan_mvr_remark));
    if (!m)
        return -ENOMEM;
    memcpy(&m->rule, rule, sizeof(m->rule));
    m->next = vp->mvr;
    vp->mvr = m;
    vlan_event(port, 0);
    return 0;
}
EXPORT_SYMBOL(vlan_add_port_mvr_remark);

int vlan_del_port_mvr_remark(struct vlan_data *vd, struct jxbridge_port *port,
                             const struct vlan_mvr_rule *rule) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vd || !vp || vlan_of(port) != vd || !rule)
        return 0;
    vlan_list_remove_if(
        &vp->mvr, [&](vlan_mvr_remark *m) { return !memcmp(&m->rule, rule, sizeof(m->rule)); });
    vlan_event(port, 0);
    return 0;
}
EXPORT_SYMBOL(vlan_del_port_mvr_remark);

int vlan_mvr_remark_get_seq(struct jxbridge_port *port, u32 n, struct vlan_mvr_rule *out) {
    struct vlan_port *vp = vlan_port_get(port);
    if (!vp || !out)
        return -EINVAL;
    struct vlan_mvr_remark *m = vlan_list_nth(vp->mvr, n);
    if (!m)
        return -ENOENT;
    *out = m->rule;
    return 0;
}

// Frames.

// The frame from its MAC header to its end.
static u8 *vlan_frame(struct sk_buff *skb, u32 *len) {
    if (!skb_mac_header_was_set(skb))
        skb_reset_mac_header(skb);
    u8 *mac = skb_mac_header(skb);
    u8 *end = skb_tail_pointer(skb);
    *len = mac <= end ? (u32)(end - mac) : 0;
    return mac;
}

static bool vlan_is_tpid(struct vlan_data *vd, u16 et) {
    return et == ETH_P_8021Q || et == vd->bridge->outer_ethertype;
}

struct vlan_tags {
    int count; // 0-2, or -1 for a frame too short for its own header and tags
    __be16 outer, inner;
    __be16 outer_tpid, inner_tpid;
    __be16 proto;
    u32 nh; // network header offset from the MAC header
};

// Reads the tags without stepping past the frame's end.
static struct vlan_tags vlan_parse(struct vlan_data *vd, struct sk_buff *skb) {
    struct vlan_tags t = {};
    t.outer = t.inner = htons(VLAN_NONE);
    u32 len;
    const u8 *p = vlan_frame(skb, &len);
    t.count = -1;
    if (len < ETH_HLEN)
        return t;
    u16 et = vlan_get16(p + 12);
    if (!vlan_is_tpid(vd, et)) {
        t.count = 0;
        memcpy(&t.proto, p + 12, 2);
        t.nh = ETH_HLEN;
        return t;
    }
    if (len < ETH_HLEN + 4)
        return t;
    memcpy(&t.outer_tpid, p + 12, 2);
    memcpy(&t.outer, p + 14, 2);
    if (vlan_get16(p + 16) != ETH_P_8021Q) {
        t.count = 1;
        memcpy(&t.proto, p + 16, 2);
        t.nh = ETH_HLEN + 4;
        return t;
    }
    if (len < ETH_HLEN + 8) {
        t.outer = htons(VLAN_NONE);
        return t;
    }
    t.count = 2;
    memcpy(&t.inner_tpid, p + 16, 2);
    memcpy(&t.inner, p + 18, 2);
    memcpy(&t.proto, p + 20, 2);
    t.nh = ETH_HLEN + 8;
    return t;
}

// Fills the control block's tags, the protocol and the network header.
static void vlan_parse_into_cb(struct sk_buff *skb, const struct vlan_tags &t) {
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    cb->rx_outer_tci = cb->outer_tci = t.outer;
    cb->rx_inner_tci = cb->inner_tci = t.inner;
    if (t.count < 0)
        return;
    skb->protocol = t.proto;
    skb->network_header = (u16)(skb->mac_header + t.nh);
}

int vlan_get_skb_ethertypes_nf(struct vlan_data *vd, struct sk_buff *skb, __be16 *outer,
                               __be16 *inner) {
    struct vlan_tags t = vlan_parse(vd, skb);
    if (outer)
        *outer = t.count > 0 ? t.outer_tpid : 0;
    if (inner)
        *inner = t.count > 1 ? t.inner_tpid : 0;
    return t.count > 0 ? t.count : 0;
}
EXPORT_SYMBOL(vlan_get_skb_ethertypes_nf);

struct sk_buff *vlan_skb_cb_initial_parse_vlans(struct vlan_data *vd, struct sk_buff *skb) {
    if (!vd || !skb)
        return skb;
    vlan_parse_into_cb(skb, vlan_parse(vd, skb));
    return skb;
}

// Tag primitives. Each works on private data; a failure frees the frame.

static struct sk_buff *vlan_private(struct sk_buff *skb, bool dbg, const char *failure) {
    struct sk_buff *n = skb_unshare(skb, GFP_ATOMIC);
    if (!n)
        vlan_trace(dbg, "%s", failure);
    return n;
}

static struct sk_buff *vlan_drop_short(struct sk_buff *skb, bool dbg) {
    vlan_trace(dbg, "[VLAN]       Frame too short for its tags.\n");
    kfree_skb(skb);
    return nullptr;
}

static struct sk_buff *vlan_add_tag_dbg(struct sk_buff *skb, u16 ethertype, u16 tci, bool dbg) {
    skb = vlan_private(skb, dbg, "[VLAN]       Unable to add tag.\n");
    if (!skb)
        return nullptr;
    if (skb->len < 2 * ETH_ALEN)
        return vlan_drop_short(skb, dbg);
    if (skb_headroom(skb) < 4) {
        vlan_trace(dbg, "[VLAN]       Reallocating headroom.\n");
        if (pskb_expand_head(skb, 8, 0, GFP_ATOMIC)) {
            if (dbg)
                vlan_trace(dbg, "[VLAN]       Failed to realloc headroom.\n");
            else
                printk(KERN_ERR "%s:%d Failed to realloc headroom.\n", vlan_file, __LINE__);
            kfree_skb(skb);
            return nullptr;
        }
    }
    u8 *p = (u8 *)skb_push(skb, 4);
    skb_reset_mac_header(skb);
    memmove(p, p + 4, 2 * ETH_ALEN);
    vlan_put16(p + 12, ethertype);
    vlan_put16(p + 14, tci);
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    cb->inner_tci = cb->outer_tci;
    cb->outer_tci = htons(tci);
    vlan_trace(dbg, "[VLAN]       Inserting tag %d (0x%04x).\n", tci & VLAN_VID_MASK, tci);
    return skb;
}

// Removes the outer tag (inner false) or the one behind it; the control
// block's tags move up accordingly.
static struct sk_buff *vlan_remove_tag_dbg(struct sk_buff *skb, bool inner, bool dbg) {
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    if (vlan_cb_vid(inner ? cb->inner_tci : cb->outer_tci) == VLAN_NONE)
        return skb;
    skb = vlan_private(skb, dbg, "[VLAN]       Unable to remove tag.\n");
    if (!skb)
        return nullptr;
    const unsigned before = 2 * ETH_ALEN + (inner ? 4 : 0); // what stays in front of the tag
    if (skb->len < before + 4 + 2)
        return vlan_drop_short(skb, dbg);
    u8 *p = skb->data;
    memmove(p + 4, p, before);
    skb_pull(skb, 4);
    skb_reset_mac_header(skb);
    cb = JXBRIDGE_CB(skb);
    if (!inner)
        cb->outer_tci = cb->inner_tci;
    cb->inner_tci = vlan_none_keep_prio(cb->inner_tci);
    return skb;
}

static struct sk_buff *vlan_remove_outer_tag_dbg(struct sk_buff *skb, bool dbg) {
    return vlan_remove_tag_dbg(skb, false, dbg);
}

static struct sk_buff *vlan_set_tag_dbg(struct sk_buff *skb, u16 vid, bool dbg) {
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    // Only a tagged frame can be remarked, and never to "no VLAN".
    if (vlan_cb_vid(cb->outer_tci) == VLAN_NONE || vid >= VLAN_VIDS)
        return skb;
    skb = vlan_private(skb, dbg, "[VLAN]       Can't remark.\n");
    if (!skb)
        return nullptr;
    if (skb->len < ETH_HLEN + 4)
        return vlan_drop_short(skb, dbg);
    cb = JXBRIDGE_CB(skb);
    u16 tci = (u16)((ntohs(cb->outer_tci) & ~VLAN_VID_MASK) | vid);
    vlan_put16(skb->data + 14, tci);
    cb->outer_tci = htons(tci);
    vlan_trace(dbg, "[VLAN]       Remarked to %d (0x%04x).\n", (int)vid, tci);
    return skb;
}

struct sk_buff *vlan_add_tag(struct sk_buff *skb, u16 ethertype, u16 tci) {
    return skb ? vlan_add_tag_dbg(skb, ethertype, tci, vlan_debug) : nullptr;
}

struct sk_buff *vlan_remove_outer_tag(struct sk_buff *skb) {
    return skb ? vlan_remove_outer_tag_dbg(skb, vlan_debug) : nullptr;
}

struct sk_buff *vlan_remove_inner_tag(struct sk_buff *skb) {
    return skb ? vlan_remove_tag_dbg(skb, true, vlan_debug) : nullptr;
}

struct sk_buff *vlan_set_tag(struct sk_buff *skb, u16 vid) {
    return skb ? vlan_set_tag_dbg(skb, vid, vlan_debug) : nullptr;
}

// Member lists for forwarding.

struct jxbridge_port **vlan_get_ports(struct vlan_data *vd, u16 vid) {
    if (!vd || vid >= VLAN_VIDS)
        return vlan_no_ports;
    return vd->members[vid];
}

struct jxbridge_port **vlan_get_ports_skb(struct vlan_data *vd, struct sk_buff *skb) {
    if (!skb)
        return vlan_no_ports;
    return vlan_get_ports(vd, vlan_cb_vid(JXBRIDGE_CB(skb)->outer_tci));
}

// Ingress.

static void vlan_count_type(struct vlan_stat *s, int tags, __be16 outer) {
    if (tags == 0 || vlan_cb_vid(outer) == VLAN_NONE)
        s->untagged++;
    else if (vlan_cb_vid(outer) == 0)
        s->prio_tagged++;
    else
        s->tagged++;
}

// Counts an ingress drop on the port, and on the physical member it came in
// by when the port is a LAG, then frees the frame.
static struct sk_buff *vlan_ingress_drop(struct vlan_data *vd, struct jxbridge_port *P,
                                         struct sk_buff *skb,
                                         u32 jxbridge_port_counters::*counter) {
    vd->rx.dropped++;
    P->counters.*counter += 1;
    if (P->kind == JXBRIDGE_PORT_LAG) {
        struct jxbridge_port *in =
            jxbridge_get_port_by_number(P->bridge, JXBRIDGE_CB(skb)->in_port_no);
        if (in && in != P && in->lag_master == P)
            in->counters.*counter += 1;
    }
    kfree_skb(skb);
    return nullptr;
}

// The outer tag a tunnel port puts on a frame (step of selective Q-in-Q).
static u16 vlan_tunnel_tci(struct vlan_data *vd, struct vlan_port *vp, struct sk_buff *skb) {
    __be16 cur = JXBRIDGE_CB(skb)->outer_tci;
    if (vlan_cb_vid(cur) == VLAN_NONE) {
        vlan_trace(vd->debug, "[VLAN]       Untagged frame, select PVID as selective Q-in-Q.\n");
        return vp->pvid;
    }
    struct vlan_qinq *q = vlan_qinq_find(vp, vlan_cb_vid(cur));
    if (!q)
        return vp->pvid;
    if (q->prio != VLAN_QINQ_KEEP_PRIO)
        return q->tci;
    return (u16)((q->tci & 0x1FFF) | (ntohs(cur) & VLAN_PRIO_MASK));
}

struct sk_buff *vlan_process_ingress_rules(struct vlan_data *vd, struct jxbridge_port *P,
                                           struct sk_buff *skb) {
    if (!vd || !P || !skb || P->port_no >= vd->bridge->max_ports)
        return skb;
    struct vlan_port *vp = &vd->ports[P->port_no];
    const bool dbg = vd->debug;
    struct vlan_tags t = vlan_parse(vd, skb);
    vlan_parse_into_cb(skb, t);
    if (t.count < 0) {
        vlan_trace(dbg, "[VLAN]       Runt frame (%u bytes), dropped.\n", skb->len);
        return vlan_ingress_drop(vd, P, skb, &jxbridge_port_counters::rx_undersize);
    }
    if (t.count > 0)
        vlan_trace(dbg, "[VLAN]       VLAN tag %d: 0x%04x - VID=%d (0x%04x), PCP=%d.\n", 1,
                   ntohs(t.outer), vlan_cb_vid(t.outer), vlan_cb_vid(t.outer),
                   vlan_cb_pcp(t.outer));
    if (t.count > 1)
        vlan_trace(dbg, "[VLAN]       VLAN tag %d: 0x%04x - VID=%d (0x%04x), PCP=%d.\n", 2,
                   ntohs(t.inner), vlan_cb_vid(t.inner), vlan_cb_vid(t.inner),
                   vlan_cb_pcp(t.inner));
    vlan_trace(dbg, "[VLAN]       VLAN tags: %d.\n", t.count);
    vlan_count_type(&vd->rx, t.count, t.outer);

    if (!vp->accept[t.count]) {
        vlan_trace(dbg, "[VLAN]       Dropped by tag limit.\n");
        return vlan_ingress_drop(vd, P, skb,
                                 t.count == 0
                                     ? &jxbridge_port_counters::drop_vlan_ingress_accept_tagged
                                     : &jxbridge_port_counters::drop_vlan_ingress_accept_untagged);
    }

    const u16 vid = t.count ? vlan_cb_vid(t.outer) : VLAN_NONE;
    u16 active = vid;
    u16 filter;
    bool selective;
    if (t.count) {
        if (vp->remark) {
            vlan_trace(dbg, "[VLAN]       Starting remark at %d.\n", (int)vid);
            for (struct vlan_remark *r = vp->remarks; r; r = r->next)
                if (r->dir != VLAN_REMARK_EGRESS && r->src == vid) {
                    active = r->dst;
                    vlan_trace(dbg, "[VLAN]       Active VID set to %d.\n", (int)active);
                    break;
                }
            if (active != vid && !(skb = vlan_set_tag_dbg(skb, active, dbg)))
                return nullptr;
        }
        filter = active;
        selective = vp->qinq_mode != VLAN_QINQ_BRIDGE;
    } else {
        vlan_trace(dbg, "[VLAN]       Port mode is '%s'.\n",
                   vp->qinq_mode == VLAN_QINQ_BRIDGE ? "bridge" : "tunnel");
        filter = active;
        selective = vp->qinq_mode != VLAN_QINQ_BRIDGE;
        if (!selective) {
            vlan_trace(dbg, "[VLAN]       Add PVID %d (0x%04x).\n", vp->pvid & VLAN_VID_MASK,
                       vp->pvid);
            if (!(skb = vlan_add_tag_dbg(skb, ETH_P_8021Q, vp->pvid, dbg)))
                return nullptr;
            filter = vp->pvid & VLAN_VID_MASK;
        } else if ((vp->stacking & 0x1FFF) != VLAN_NONE) {
            vlan_trace(dbg, "[VLAN]       Add Stacking VID %d (0x%04x).\n", vp->stacking & 0x1FFF,
                       vp->stacking);
            if (!(skb = vlan_add_tag_dbg(skb, ETH_P_8021Q, vp->stacking, dbg)))
                return nullptr;
        } else {
            vlan_trace(dbg, "[VLAN]       Stacking disabled.\n");
        }
    }
    if (selective) {
        u16 tci = vlan_tunnel_tci(vd, vp, skb);
        if ((tci & VLAN_VID_MASK) < VLAN_NONE) {
            vlan_trace(dbg, "[VLAN]       Add (Selective) Q-in-Q.\n");
            if (!(skb = vlan_add_tag_dbg(skb, vd->bridge->outer_ethertype, tci, dbg)))
                return nullptr;
            filter = tci & VLAN_VID_MASK;
        }
    }

    if (vd->bridge->switching_mode == JXBRIDGE_SWITCHING_CORD && P->kind == JXBRIDGE_PORT_PON_GEM) {
        vlan_trace_info(dbg, "[VLAN]       Ignore VLAN ingress filtering. Bridge is in CORD "
                             "bridge mode, port type is PON GEM.\n");
    } else if (!vlan_bit(vp->member, filter)) {
        vlan_trace_info(dbg, "[VLAN]       VID %d (0x%04x) blocked by filter.\n", (int)filter,
                        (int)filter);
        return vlan_ingress_drop(vd, P, skb, &jxbridge_port_counters::drop_vlan_ingress_filtering);
    }
    return skb;
}

// Egress.

struct sk_buff *vlan_process_egress_rules(struct vlan_data *vd, struct jxbridge_port *O,
                                          struct sk_buff *skb) {
    if (!vd || !O || !skb || O->port_no >= vd->bridge->max_ports)
        return skb;
    struct vlan_port *vp = &vd->ports[O->port_no];
    const bool dbg = vd->debug;
    u16 vid = vlan_cb_vid(JXBRIDGE_CB(skb)->outer_tci);
    if (!vlan_bit(vp->member, vid)) {
        vlan_trace_info(dbg, "[VLAN]       VID %d (0x%04x) blocked by filter.\n", (int)vid,
                        (int)vid);
        O->counters.drop_vlan_egress_filtering++;
        vd->tx.dropped++;
        kfree_skb(skb);
        return nullptr;
    }
    if (vlan_bit(vp->tagged, vid) && !vlan_bit(vp->tag_ignore, vid)) {
        vlan_trace(dbg, "[VLAN]       Keep tag.\n");
    } else {
        vlan_trace(dbg, "[VLAN]       Remove outer tag.\n");
        if (!(skb = vlan_remove_outer_tag_dbg(skb, dbg)))
            return nullptr;
        if (vp->qinq_mode == VLAN_QINQ_BRIDGE) {
            vlan_trace(dbg, "[VLAN]       Transmit.\n");
            goto transmit;
        }
        vid = vlan_cb_vid(JXBRIDGE_CB(skb)->outer_tci);
        if (vid == VLAN_NONE) {
            vlan_trace(dbg, "[VLAN]       Transmit (no more tags).\n");
            goto transmit;
        }
        if (vid == (vp->stacking & VLAN_VID_MASK)) {
            if (!(skb = vlan_remove_outer_tag_dbg(skb, dbg)))
                return nullptr;
            vlan_trace(dbg, "[VLAN]       Removed stacked tag.\n");
            goto transmit;
        }
        for (struct vlan_mpmm *m = vp->mpmm; m; m = m->next)
            if (m->entry.new_vid == vid) {
                if (!(skb = vlan_remove_outer_tag_dbg(skb, dbg)))
                    return nullptr;
                vlan_trace(dbg, "[VLAN]       Removed MPMM tag.\n");
                goto transmit;
            }
    }
    if (vp->remark)
        for (struct vlan_remark *r = vp->remarks; r; r = r->next)
            if (r->dir != VLAN_REMARK_INGRESS && r->dst == vid) {
                if (r->src != vid && !(skb = vlan_set_tag_dbg(skb, r->src, dbg)))
                    return nullptr;
                break;
            }
transmit:
    vlan_count_type(&vd->tx, 1, JXBRIDGE_CB(skb)->outer_tci);
    return skb;
}

// MVR.

static void vlan_mvr_addr2a(const struct vlan_mvr_rule *r, bool last, char *buf, size_t size) {
    if (r->family == VLAN_AF_INET) {
        u32 a = last ? r->v4.last : r->v4.first;
        snprintf(buf, size, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
        return;
    }
    const u8 *a = last ? r->v6.last : r->v6.first;
    snprintf(buf, size, "%04x:%04x:%04x:%04x:%04x:%04x:%04x:%04x", vlan_get16(a), vlan_get16(a + 2),
             vlan_get16(a + 4), vlan_get16(a + 6), vlan_get16(a + 8), vlan_get16(a + 10),
             vlan_get16(a + 12), vlan_get16(a + 14));
}

static bool vlan_mvr_whole_space(const struct vlan_mvr_rule *r) {
    if (r->family == VLAN_AF_INET)
        return r->v4.first == 0 && r->v4.last == 0xFFFFFFFFu;
    static const u8 zero[16] = {};
    static const u8 ones[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    return !memcmp(r->v6.first, zero, 16) && !memcmp(r->v6.last, ones, 16);
}

const struct vlan_mvr_rule *vlan_find_mvr_rule(struct vlan_data *vd, struct jxbridge_port *O,
                                               struct sk_buff *skb) {
    struct vlan_port *vp = vlan_port_get(O);
    if (!vd || !vp || !skb)
        return nullptr;
    u32 family;
    u32 addr_off, addr_len;
    if (skb->protocol == htons(ETH_P_IP)) {
        family = VLAN_AF_INET;
        addr_off = 16;
        addr_len = 4;
    } else if (skb->protocol == htons(ETH_P_IPV6)) {
        family = VLAN_AF_INET6;
        addr_off = 24;
        addr_len = 16;
    } else {
        return nullptr;
    }
    // The destination address must lie inside the frame.
    u8 *start = skb->head + skb->network_header;
    if (!skb->network_header || start < skb->data ||
        start + addr_off + addr_len > skb_tail_pointer(skb))
        return nullptr;
    const u8 *daddr = start + addr_off;
    u32 d4 = family == VLAN_AF_INET ? (u32)vlan_get16(daddr) << 16 | vlan_get16(daddr + 2) : 0;
    const u16 vid = vlan_cb_vid(JXBRIDGE_CB(skb)->outer_tci);
    const struct vlan_mvr_rule *catch_all = nullptr;
    char a[40], b[40];
    for (struct vlan_mvr_remark *m = vp->mvr; m; m = m->next) {
        const struct vlan_mvr_rule *r = &m->rule;
        bool match = r->mvlan == vid && r->family == family;
        if (match && family == VLAN_AF_INET)
            match = r->v4.first <= d4 && d4 <= r->v4.last;
        else if (match)
            match = memcmp(r->v6.first, daddr, 16) <= 0 && memcmp(daddr, r->v6.last, 16) <= 0;
        if (!match) {
            if (vd->debug) {
                vlan_mvr_addr2a(r, false, a, sizeof(a));
                vlan_mvr_addr2a(r, true, b, sizeof(b));
                vlan_trace(1, "[VLAN]         MVLAN %d [%s, %s] --> CVLAN %d - skipping.\n",
                           (int)r->mvlan, a, b, (int)r->cvlan);
            }
            continue;
        }
        if (!vlan_mvr_whole_space(r))
            return r;
        if (!catch_all)
            catch_all = r;
    }
    return catch_all;
}

struct sk_buff *vlan_process_egress_mcast_rules(struct vlan_data *vd, struct jxbridge_port *O,
                                                struct sk_buff *skb) {
    if (!vd || !O || !skb)
        return skb;
    const bool dbg = vd->debug;
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    if (cb->flag_byte & JXBRIDGE_CB_B_MVR) {
        vlan_trace(dbg, "[VLAN]       MVLAN %d --> CVLAN %d\n", vlan_cb_vid(cb->outer_tci),
                   (int)cb->mvr_vid);
        return vlan_set_tag_dbg(skb, cb->mvr_vid, dbg);
    }
    if (!O->mvr)
        return skb;
    const struct vlan_mvr_rule *r = vlan_find_mvr_rule(vd, O, skb);
    if (!r)
        return skb;
    if (dbg) {
        char a[40], b[40];
        vlan_mvr_addr2a(r, false, a, sizeof(a));
        vlan_mvr_addr2a(r, true, b, sizeof(b));
        vlan_trace(dbg, "[VLAN]       MVLAN %d [%s, %s] --> CVLAN %d\n", (int)r->mvlan, a, b,
                   (int)r->cvlan);
    }
    return vlan_set_tag_dbg(skb, r->cvlan, dbg);
}
