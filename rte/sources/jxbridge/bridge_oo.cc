// OpenOLT flow management: flows become ACL objects on the ingress of their
// bridge port, GEM ports are reserved for the flows and groups that name
// them, and the management ACLs follow the switching mode.
//
// A flow is checked whole before anything changes, so a flow that replaces
// another with the same type and id either takes its place or leaves it
// working. The ACL objects of a flow are only those this file made: an
// object of the same name someone made through the acl file is left alone.
#include "bridge_oo.h"

#include "bridge_acl.h"

#include <cstdarg>

const char *const oo_flow_type_names[OO_FLOW_TYPES] = {"us", "ds", "bcast", "mcast"};

void oo_trace(struct oo_data *oo, const char *fmt, ...) {
    if (!debug && (!oo || !oo->trace))
        return;
    va_list ap;
    va_start(ap, fmt);
    vprintk(fmt, ap);
    va_end(ap);
}

static const char *oo_type2a(u32 type) {
    return type < OO_FLOW_TYPES ? oo_flow_type_names[type] : "unknown";
}

void oo_flow_name(char *buf, size_t size, u32 type, u32 id) {
    snprintf(buf, size, "of_%d_%s", (int)id, oo_type2a(type));
}

// The OpenOLT agent names PON interface n "dsl<n>", as the PON file's olt add_all does.
static struct net_device *oo_olt_dev(u32 olt) {
    char name[IFNAMSIZ];
    snprintf(name, sizeof(name), "dsl%u", olt);
    return __dev_get_by_name(&init_net, name);
}

struct jxbridge_port *oo_gem_port_find(struct jxbridge *B, u32 olt, u32 gem) {
    struct net_device *dev = oo_olt_dev(olt);
    if (!dev || gem >= (u32)gems_per_olt)
        return nullptr;
    struct jxbridge_port *p = jxbridge_get_port_by_gem(dev, gem);
    return p && p->bridge == B ? p : nullptr;
}

// A PON/GEM port of the OLT's device that no GEM is bound to yet.
static struct jxbridge_port *oo_free_gem_port(struct jxbridge *B, struct net_device *dev) {
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        if (p && p->kind == JXBRIDGE_PORT_PON_GEM && !p->olt && p->dev == dev)
            return p;
    }
    return nullptr;
}

// Whether a GEM port for the pair is there or can be reserved.
static bool oo_gem_port_available(struct jxbridge *B, u32 olt, u32 gem) {
    if (oo_gem_port_find(B, olt, gem))
        return true;
    struct net_device *dev = oo_olt_dev(olt);
    return dev && gem < (u32)gems_per_olt && oo_free_gem_port(B, dev);
}

struct jxbridge_port *oo_reserve_jxbridge_gem_port(struct jxbridge *B, u32 olt, u32 gem, u32 onu) {
    struct jxbridge_port *p = oo_gem_port_find(B, olt, gem);
    if (p) {
        if (p->onu_id != onu)
            printk(KERN_INFO "OLT %d, GEM %d already at BP %d (existing ONU %d, requested %d).\n",
                   (int)olt, (int)gem, (int)p->bll_port_no, (int)p->onu_id, (int)onu);
        return p;
    }
    struct net_device *dev = oo_olt_dev(olt);
    if (!dev || gem >= (u32)gems_per_olt)
        return nullptr;
    p = oo_free_gem_port(B, dev);
    if (!p) {
        printk(KERN_INFO "Free jxbridge port not found. All ports are used\n");
        return nullptr;
    }
    int rc = jxbridge_pon_gem_set(p, dev->name, gem, OO_RESERVED_GEM_VID, onu);
    if (rc) {
        printk(KERN_ERR "[jxBridge_OpenOLT] %s(olt=%u, gem=%u) = %d\n", __func__, olt, gem, rc);
        return nullptr;
    }
    return p;
}

struct jxbridge_port *oo_uplink_find(struct jxbridge *B, u32 intf) {
    u64 bll = (u64)intf + OO_UPLINK_BLL_BASE;
    return bll < JXBRIDGE_BLL_MAP_SIZE ? get_jxbridge_port_from_bll_port_no(B, (u32)bll) : nullptr;
}

int oo_reserve_jxbridge_uplink_port(struct jxbridge *B, u32 intf, struct jxbridge_port **out) {
    struct oo_data *oo = B->oo;
    struct jxbridge_port *p = oo_uplink_find(B, intf);
    if (!p)
        return -ENODEV;
    if (oo->uplink && oo->uplink != p) {
        printk(KERN_INFO "\tAlready exists. Currently only one uplink is supported\n");
        return -EEXIST;
    }
    *out = p;
    if (oo->uplink != p) {
        oo->uplink = p;
        oo->uplink_intf = intf;
        oo_mng_acl_update(B);
    }
    return 0;
}

// Flows.

struct oo_flow *oo_flow_find(struct oo_data *oo, u32 type, u32 id) {
    for (struct oo_flow *f = type < OO_FLOW_TYPES ? oo->flows[type] : nullptr; f; f = f->next)
        if (f->r.flow_id == id)
            return f;
    return nullptr;
}

static u32 oo_entry_number(const struct oo_flow_record *r) {
    return ((OO_ID_MAX - r->priority) << 16) + r->flow_id;
}

static u16 oo_tag(u32 pbits, u32 vid) {
    return (u16)((pbits & 7) << 13 | (vid & 0xFFF));
}

// The ports of a flow: where its entry goes and where it sends frames (none
// for trap-to-host and multicast flows). With reserve off, only whether they
// can be had.
static int oo_flow_ports(struct jxbridge *B, const struct oo_flow_record *r, bool reserve,
                         struct jxbridge_port **in, struct jxbridge_port **out) {
    struct oo_data *oo = B->oo;
    bool trap = r->act[OO_ACT_TRAP];
    struct jxbridge_port *gem = nullptr, *up = nullptr;
    bool need_gem = r->flow_type == OO_FLOW_US || (!trap && r->flow_type != OO_FLOW_MCAST);
    bool need_up = r->flow_type != OO_FLOW_US || !trap;
    if (need_gem) {
        if (!reserve) {
            if (!oo_gem_port_available(B, r->access_intf_id, r->gemport_id))
                return -ENODEV;
        } else {
            if (r->flow_type == OO_FLOW_US &&
                !oo_gem_port_find(B, r->access_intf_id, r->gemport_id))
                oo_trace(oo,
                         "[jxBridge_OpenOLT] %s(%s %d) jxBridge_port for access_intf_id=%d, "
                         "gemport_id=%d does not exist yet. Create a new one.\n",
                         __func__, oo_type2a(r->flow_type), (int)r->flow_id, (int)r->access_intf_id,
                         (int)r->gemport_id);
            gem = oo_reserve_jxbridge_gem_port(B, r->access_intf_id, r->gemport_id, r->onu_id);
            if (!gem)
                return -ENODEV;
        }
    }
    if (need_up) {
        up = oo_uplink_find(B, r->network_intf_id);
        if (!up)
            return -ENODEV;
        if (oo->uplink && oo->uplink != up) {
            printk(KERN_INFO "\tAlready exists. Currently only one uplink is supported\n");
            return -EEXIST;
        }
        if (reserve) {
            int rc = oo_reserve_jxbridge_uplink_port(B, r->network_intf_id, &up);
            if (rc)
                return rc;
        }
    }
    if (r->flow_type == OO_FLOW_US) {
        *in = gem;
        *out = trap ? nullptr : up;
    } else {
        *in = up;
        *out = trap || r->flow_type == OO_FLOW_MCAST ? nullptr : gem;
    }
    return 0;
}

// Everything oo_acl_setup could refuse, asked before anything changes.
static int oo_flow_check(struct jxbridge *B, const struct oo_flow_record *r,
                         const struct oo_flow *old) {
    if (r->priority > OO_ID_MAX)
        return -ERANGE;
    if (r->pkt_tag_type > OO_TAG_DOUBLE)
        return -EINVAL;
    if (r->o_vid > 4095 || r->i_vid > 4095 || r->a_o_vid > 4095 || r->a_i_vid > 4095 ||
        r->o_pbits > 7 || r->i_pbits > 7 || r->a_o_pbits > 7 || r->a_i_pbits > 7 ||
        r->eth_type > 0xFFFF || r->ip_proto > 255 || r->src_port > 0xFFFF || r->dst_port > 0xFFFF)
        return -ERANGE;
    if (r->act[OO_ACT_TRAP] && !__dev_get_by_name(&init_net, OO_TRAP_DEV)) {
        printk(KERN_ERR "_DEV_GET_BY_NAME(%s) not found\n", OO_TRAP_DEV);
        return -ENODEV;
    }
    struct jxbridge_port *in = nullptr, *out = nullptr;
    int rc = oo_flow_ports(B, r, false, &in, &out);
    if (rc)
        return rc;
    // The entry's number must be free on the port, the old flow's own aside.
    struct jxbridge_port *at = r->flow_type == OO_FLOW_US
                                   ? oo_gem_port_find(B, r->access_intf_id, r->gemport_id)
                                   : oo_uplink_find(B, r->network_intf_id);
    u32 number = oo_entry_number(r);
    if (at && rule_number_find(acl_port_entries(B->acl, at->port_no, 1), number) &&
        !(old && old->port == at && old->entry == number))
        return -EEXIST;
    char name[RULE_NAME_FIELD];
    oo_flow_name(name, sizeof(name), r->flow_type, r->flow_id);
    // Objects of the flow's name made by someone else would be taken for its own.
    if (!old && (acl_selector_find(B->acl, name) || acl_action_list_find(B->acl, name) ||
                 acl_counter_find(B->acl, name)))
        return -EEXIST;
    return 0;
}

namespace {

// What of a flow's ACL objects exist, so that a cleanup takes only those.
enum : u32 { MADE_SELECTOR = 1, MADE_LIST = 2, MADE_COUNTER = 4 };

struct oo_builder {
    struct acl_engine *acl;
    char name[RULE_NAME_FIELD];
    u32 conds = 0, actions = 0;

    int cond(u32 type, u32 negate, const void *param, size_t len) {
        struct acl_condition c = {};
        c.number = ++conds;
        c.type = type;
        c.negate = negate;
        if (len)
            memcpy(c.param, param, len);
        return acl_condition_add(acl, name, &c);
    }
    int action(u32 code, const void *param, size_t len, struct jxbridge_port *port = nullptr) {
        struct acl_action a = {};
        a.number = ++actions;
        a.code = code;
        if (len)
            memcpy(a.param, param, len);
        if (port) {
            // A GEM port shares its device's name: its slot number names it.
            if (port->kind == JXBRIDGE_PORT_PON_GEM)
                snprintf(a.port.name, sizeof(a.port.name), "%u", port->port_no);
            else
                strlcpy(a.port.name, port->dev->name, sizeof(a.port.name));
            strlcpy((char *)a.param, a.port.name, RULE_NAME_FIELD);
            a.port.port = port;
        }
        return acl_action_add(acl, name, &a);
    }
    int tags(u32 code, u16 mask, u16 tag) {
        u16 p[2] = {mask, (u16)(tag & mask)};
        return action(code, p, sizeof(p));
    }
};

} // namespace

static void oo_acl_cleanup(struct jxbridge *B, struct oo_flow *f, u32 made) {
    struct acl_engine *acl = B->acl;
    char name[RULE_NAME_FIELD];
    oo_flow_name(name, sizeof(name), f->r.flow_type, f->r.flow_id);
    if (f->port) {
        acl_port_entry_del(acl, f->port, 1, f->entry);
        f->port = nullptr;
    }
    if (made & MADE_LIST)
        acl_action_list_del(acl, name);
    if (made & MADE_SELECTOR)
        acl_selector_del(acl, name);
    if (made & MADE_COUNTER)
        acl_counter_del(acl, name);
}

static int oo_acl_conditions(struct oo_builder *b, const struct oo_flow_record *r) {
    int rc = 0;
    switch (r->pkt_tag_type) {
    case OO_TAG_UNTAGGED:
        rc = b->cond(ACL_C_TAGGED1, 1, nullptr, 0);
        break;
    case OO_TAG_SINGLE:
        if (!(rc = b->cond(ACL_C_TAGGED1, 0, nullptr, 0)))
            rc = b->cond(ACL_C_TAGGED2, 1, nullptr, 0);
        break;
    case OO_TAG_DOUBLE:
        rc = b->cond(ACL_C_TAGGED2, 0, nullptr, 0);
        break;
    }
    // Priority bits by a tag mask; the VIDs as ranges of one.
    u16 tag[2];
    if (!rc && r->o_pbits) {
        tag[0] = (u16)(r->o_pbits << 13), tag[1] = 0xE000;
        rc = b->cond(ACL_C_TAG1, 0, tag, sizeof(tag));
    }
    if (!rc && r->i_pbits) {
        tag[0] = (u16)(r->i_pbits << 13), tag[1] = 0xE000;
        rc = b->cond(ACL_C_TAG2, 0, tag, sizeof(tag));
    }
    u8 mac[12];
    static const u8 zero[6] = {};
    memset(mac + 6, 0xFF, 6);
    if (!rc && memcmp(r->dst_mac, zero, 6)) {
        memcpy(mac, r->dst_mac, 6);
        rc = b->cond(ACL_C_DMAC, 0, mac, sizeof(mac));
    }
    if (!rc && memcmp(r->src_mac, zero, 6)) {
        memcpy(mac, r->src_mac, 6);
        rc = b->cond(ACL_C_SMAC, 0, mac, sizeof(mac));
    }
    if (!rc && r->eth_type) {
        u16 t = (u16)r->eth_type;
        rc = b->cond(ACL_C_ETHER_TYPE, 0, &t, sizeof(t));
    }
    if (!rc && r->ip_proto) {
        u8 p = (u8)r->ip_proto;
        rc = b->cond(ACL_C_IP_PROTOCOL, 0, &p, sizeof(p));
    }
    u32 addr[2] = {0, 0xFFFFFFFF};
    if (!rc && r->dst_ip) {
        addr[0] = r->dst_ip;
        rc = b->cond(ACL_C_IPV4_DADDR, 0, addr, sizeof(addr));
    }
    if (!rc && r->src_ip) {
        addr[0] = r->src_ip;
        rc = b->cond(ACL_C_IPV4_SADDR, 0, addr, sizeof(addr));
    }
    u16 range[2];
    if (!rc && r->src_port) {
        range[0] = range[1] = (u16)r->src_port;
        rc = b->cond(ACL_C_L4_SPORT, 0, range, sizeof(range));
    }
    if (!rc && r->dst_port) {
        range[0] = range[1] = (u16)r->dst_port;
        rc = b->cond(ACL_C_L4_DPORT, 0, range, sizeof(range));
    }
    if (!rc && r->o_vid) {
        range[0] = range[1] = (u16)r->o_vid;
        rc = b->cond(ACL_C_VID1, 0, range, sizeof(range));
    }
    if (!rc && r->i_vid) {
        range[0] = range[1] = (u16)r->i_vid;
        rc = b->cond(ACL_C_VID2, 0, range, sizeof(range));
    }
    return rc;
}

static int oo_acl_actions(struct oo_builder *b, const struct oo_flow_record *r,
                          struct jxbridge_port *out) {
    int rc = b->action(ACL_A_COUNTER_INC, b->name, RULE_NAME_FIELD);
    if (rc)
        return rc;
    const u8 *a = r->act;
    if (a[OO_ACT_TRAP]) {
        u8 trap[ACL_ACTION_PARAMS] = {};
        strlcpy((char *)trap, OO_TRAP_DEV, RULE_NAME_FIELD);
        u32 stop_after = 1;
        memcpy(trap + RULE_NAME_FIELD, &stop_after, 4);
        return b->action(ACL_A_OO_TRAP_TO_HOST, trap, sizeof(trap));
    }
    // The inner tag first: once the outer one goes, the inner one is outer.
    if (!rc && a[OO_ACT_REMOVE_INNER])
        rc = b->action(ACL_A_REMOVE_TAG2, nullptr, 0);
    if (!rc && a[OO_ACT_REMOVE_OUTER])
        rc = b->action(ACL_A_REMOVE_TAG1, nullptr, 0);
    u16 mask =
        (u16)((a[OO_ACT_TRANSLATE_INNER] ? 0x0FFF : 0) | (a[OO_ACT_REMARK_INNER] ? 0xE000 : 0));
    if (!rc && mask)
        rc = b->tags(ACL_A_SET_TAG2, mask, oo_tag(r->a_i_pbits, r->a_i_vid));
    mask = (u16)((a[OO_ACT_TRANSLATE_OUTER] ? 0x0FFF : 0) | (a[OO_ACT_REMARK_OUTER] ? 0xE000 : 0));
    if (!rc && mask)
        rc = b->tags(ACL_A_SET_TAG1, mask, oo_tag(r->a_o_pbits, r->a_o_vid));
    // Each tag goes in front: the inner one first.
    if (!rc && a[OO_ACT_ADD_INNER])
        rc = b->tags(ACL_A_ADD_CTAG, 0xFFFF, oo_tag(r->a_i_pbits, r->a_i_vid));
    if (!rc && a[OO_ACT_ADD_OUTER])
        rc = b->tags(ACL_A_ADD_STAG, 0xFFFF, oo_tag(r->a_o_pbits, r->a_o_vid));
    if (rc)
        return rc;
    if (r->flow_type == OO_FLOW_MCAST)
        return b->action(ACL_A_FORWARD_MCAST, &r->group_id, 4);
    return out ? b->action(ACL_A_FORWARD, nullptr, 0, out) : -ENODEV;
}

// Makes the flow's ACL objects; on failure none of them stays.
static int oo_acl_setup(struct jxbridge *B, struct oo_flow *f) {
    const struct oo_flow_record *r = &f->r;
    if (r->flow_id > OO_ID_MAX || r->priority > OO_ID_MAX)
        return -ERANGE;
    struct jxbridge_port *in = nullptr, *out = nullptr;
    int rc = oo_flow_ports(B, r, true, &in, &out);
    if (rc)
        return rc;
    if (!in)
        return -ENODEV;
    struct oo_builder b;
    b.acl = B->acl;
    oo_flow_name(b.name, sizeof(b.name), r->flow_type, r->flow_id);
    u32 made = 0;
    f->port = nullptr;
    if (!(rc = acl_selector_add(b.acl, b.name)))
        made |= MADE_SELECTOR;
    if (!rc && !(rc = acl_action_list_add(b.acl, b.name)))
        made |= MADE_LIST;
    if (!rc && !(rc = acl_counter_add(b.acl, b.name)))
        made |= MADE_COUNTER;
    if (!rc)
        rc = oo_acl_conditions(&b, r);
    if (!rc)
        rc = oo_acl_actions(&b, r, out);
    u32 number = oo_entry_number(r);
    if (!rc && !(rc = acl_port_entry_add(b.acl, in, 1, number, b.name, b.name))) {
        f->port = in;
        f->entry = number;
    }
    if (rc)
        oo_acl_cleanup(B, f, made);
    return rc;
}

static void oo_flow_unlink(struct oo_data *oo, struct oo_flow *f) {
    rule_unlink(&oo->flows[f->r.flow_type], f);
}

static void oo_flow_insert(struct oo_data *oo, struct oo_flow *f) {
    struct oo_flow **pp = &oo->flows[f->r.flow_type];
    while (*pp && (*pp)->r.flow_id < f->r.flow_id)
        pp = &(*pp)->next;
    f->next = *pp;
    *pp = f;
}

int oo_flow_add(struct jxbridge *B, const struct oo_flow_record *r) {
    struct oo_data *oo = B->oo;
    if (r->flow_type >= OO_FLOW_TYPES) {
        printk(KERN_ERR "[jxBridge_OpenOLT] %s(%s %d) = %d (flow_type out of range)\n", __func__,
               oo_type2a(r->flow_type), (int)r->flow_id, -EINVAL);
        return -EINVAL;
    }
    if (r->flow_id > OO_ID_MAX) {
        printk(KERN_ERR "[jxBridge_OpenOLT] %s(%s %d) = %d (flow_id out of range)\n", __func__,
               oo_type2a(r->flow_type), (int)r->flow_id, -ERANGE);
        return -ERANGE;
    }
    struct oo_flow *old = oo_flow_find(oo, r->flow_type, r->flow_id);
    int rc = oo_flow_check(B, r, old);
    if (rc) {
        printk(KERN_ERR "[jxBridge_OpenOLT] %s(%s %d) = %d\n", __func__, oo_type2a(r->flow_type),
               (int)r->flow_id, rc);
        return rc;
    }
    auto *f = (struct oo_flow *)jxbridge_zalloc(sizeof(struct oo_flow));
    if (!f)
        return -ENOMEM;
    f->r = *r;
    if (old) {
        oo_trace(oo, "[jxBridge_OpenOLT] %s(%s %d) Flow exists, will overwrite.\n", __func__,
                 oo_type2a(r->flow_type), (int)r->flow_id);
        oo_acl_cleanup(B, old, MADE_SELECTOR | MADE_LIST | MADE_COUNTER);
    }
    rc = oo_acl_setup(B, f);
    if (rc) {
        kfree(f);
        // Only memory can fail here: the old flow was made once, so it can be again.
        if (old && oo_acl_setup(B, old)) {
            oo_flow_unlink(oo, old);
            kfree(old);
            oo->n_now[r->flow_type]--;
            oo->n_deleted[r->flow_type]++;
        }
        return rc;
    }
    if (old) {
        oo_flow_unlink(oo, old);
        kfree(old);
    } else {
        oo->n_now[r->flow_type]++;
        oo->n_max[r->flow_type] = std::max(oo->n_max[r->flow_type], oo->n_now[r->flow_type]);
    }
    oo_flow_insert(oo, f);
    oo_trace(oo, "[jxBridge_OpenOLT] %s(%s %d) Flow added (%p).\n", __func__,
             oo_type2a(r->flow_type), (int)r->flow_id, (void *)f);
    return 0;
}

int oo_flow_del(struct jxbridge *B, u32 type, u32 id) {
    struct oo_data *oo = B->oo;
    struct oo_flow *f = oo_flow_find(oo, type, id);
    if (!f) {
        oo_trace(oo, "[jxBridge_OpenOLT] %s(%s %d) (no such flow)\n", __func__, oo_type2a(type),
                 (int)id);
        return -ENOENT;
    }
    oo_acl_cleanup(B, f, MADE_SELECTOR | MADE_LIST | MADE_COUNTER);
    oo_flow_unlink(oo, f);
    kfree(f);
    oo->n_now[type]--;
    oo->n_deleted[type]++;
    oo_trace(oo, "[jxBridge_OpenOLT] %s(%s %d) Flow removed.\n", __func__, oo_type2a(type),
             (int)id);
    return 0;
}

// ONUs.

struct oo_onu *oo_onu_find(struct oo_data *oo, u32 intf, u32 onu) {
    for (struct oo_onu *o = oo->onus; o; o = o->next)
        if (o->r.intf_id == intf && o->r.onu_id == onu)
            return o;
    return nullptr;
}

int oo_onu_add(struct oo_data *oo, const struct oo_onu_record *r, struct oo_onu **out) {
    struct oo_onu *o = oo_onu_find(oo, r->intf_id, r->onu_id);
    if (o) {
        oo_trace(oo, "[jxBridge_OpenOLT] ONU %u/%u Found\n", r->intf_id, r->onu_id);
        *out = o;
        return 0;
    }
    if (!(o = (struct oo_onu *)jxbridge_zalloc(sizeof(struct oo_onu))))
        return -ENOMEM;
    o->r = *r;
    // The lengths say how much of each field is meant: never more than the field.
    o->r.vendor_id_len = std::min<u32>(o->r.vendor_id_len, OO_ONU_VENDOR_LEN);
    o->r.vendor_specific_len = std::min<u32>(o->r.vendor_specific_len, OO_ONU_VENDOR_LEN);
    o->next = oo->onus;
    oo->onus = o;
    oo->onus_now++;
    oo->onus_max = std::max(oo->onus_max, oo->onus_now);
    oo_trace(oo, "[jxBridge_OpenOLT] ONU %u/%u Added\n", r->intf_id, r->onu_id);
    *out = o;
    return 0;
}

void oo_onu_del(struct oo_data *oo, u32 intf, u32 onu) {
    struct oo_onu *o = oo_onu_find(oo, intf, onu);
    if (!o)
        return;
    rule_unlink(&oo->onus, o);
    kfree(o);
    oo->onus_now--;
    oo->onus_deleted++;
}

// Multicast groups.

static struct oo_group *oo_group_find(struct oo_data *oo, u32 id) {
    for (struct oo_group *g = oo->groups; g; g = g->next)
        if (g->id == id)
            return g;
    return nullptr;
}

int oo_mcast_group_add_modify(struct jxbridge *B, u32 id, const u32 *intf, const u32 *gem,
                              u32 count) {
    struct oo_data *oo = B->oo;
    struct oo_mcast_group g = {};
    if (count > OO_MCAST_MEMBERS)
        return -EINVAL;
    // A member per PON interface, each with a GEM port to send on.
    for (u32 i = 0; i < count; i++) {
        if (intf[i] >= OO_MCAST_MEMBERS || !gem[i] || g.gem[intf[i]])
            return -EINVAL;
        if (!oo_gem_port_available(B, intf[i], gem[i]))
            return -ENODEV;
        g.gem[intf[i]] = gem[i];
    }
    struct oo_group *grp = oo_group_find(oo, id);
    if (!grp) {
        if (!(grp = (struct oo_group *)jxbridge_zalloc(sizeof(struct oo_group))))
            return -ENOMEM;
        grp->id = id;
        grp->next = oo->groups;
        oo->groups = grp;
    }
    grp->g = g;
    for (u32 i = 0; i < count; i++)
        if (!oo_reserve_jxbridge_gem_port(B, intf[i], gem[i], 0))
            grp->g.gem[intf[i]] = 0;
    return 0;
}

int oo_mcast_group_del(struct jxbridge *B, u32 id) {
    struct oo_data *oo = B->oo;
    struct oo_group *g = oo_group_find(oo, id);
    if (!g)
        return -ENOENT;
    rule_unlink(&oo->groups, g);
    kfree(g);
    return 0;
}

int oo_mcast_group_get(struct jxbridge *B, u32 id, struct oo_mcast_group *out) {
    struct oo_group *g = B->oo ? oo_group_find(B->oo, id) : nullptr;
    if (!g)
        return -ENOENT;
    *out = g->g;
    return 0;
}

struct jxbridge_port *oo_gem_port_get(struct jxbridge *B, u32 olt, u32 gem) {
    return oo_gem_port_find(B, olt, gem);
}

// Management.

struct jxbridge_port *jxbridge_oo_mgmt_intf_get(struct jxbridge *B) {
    return B->local_port;
}

int jxbridge_oo_nni_intfs_get(struct jxbridge *B, struct oo_nni_list_record *out) {
    memset(out, 0, sizeof(*out));
    for (u32 i = 0; i < B->max_ports && out->count < OO_NNI_MAX; i++) {
        struct jxbridge_port *p = B->ports[i];
        if (!p || p->kind != JXBRIDGE_PORT_UPLINK || p->bll_port_no < OO_UPLINK_BLL_BASE)
            continue;
        struct oo_nni_entry *e = &out->nni[out->count++];
        e->intf_id = p->bll_port_no - OO_UPLINK_BLL_BASE;
        e->bll_id = p->bll_port_no;
        strlcpy(e->dev_name, p->dev->name, sizeof(e->dev_name));
    }
    return 0;
}

namespace {

struct oo_mng_acl {
    const char *name;
    bool to_mgmt; // on the uplink's ingress, to the management port
    u32 action;
};
const struct oo_mng_acl oo_mng_acls[] = {
    {"mng_1", true, ACL_A_FORWARD}, // frames to the management port's address
    {"mng_2", true, ACL_A_COPY},    // ARP
    {"mng_3", true, ACL_A_COPY},    // IPv6 neighbour discovery
    {"mng_4", false, ACL_A_FORWARD},
};

} // namespace

static void oo_mng_acl_remove(struct jxbridge *B) {
    struct oo_data *oo = B->oo;
    struct acl_engine *acl = B->acl;
    if (!oo->mng_acls || !acl)
        return;
    for (u32 i = 0; i < ARRAY_SIZE(oo_mng_acls); i++) {
        char list[RULE_NAME_FIELD];
        snprintf(list, sizeof(list), "%s_action_1", oo_mng_acls[i].name);
        if (oo->mng_at[i])
            acl_port_entry_del(acl, oo->mng_at[i], 1, i + 1);
        oo->mng_at[i] = nullptr;
        acl_action_list_del(acl, list);
        acl_selector_del(acl, oo_mng_acls[i].name);
    }
    oo->mng_acls = 0;
}

void oo_mng_acl_update(struct jxbridge *B) {
    struct oo_data *oo = B->oo;
    if (!oo || !B->acl)
        return;
    oo_mng_acl_remove(B);
    if (B->switching_mode != JXBRIDGE_SWITCHING_ACL_FW)
        return;
    printk(KERN_INFO "[OpenOLT] CORD ACL switching mode enabled.\n");
    struct jxbridge_port *mgmt = jxbridge_oo_mgmt_intf_get(B), *up = oo->uplink;
    if (!mgmt || !up) {
        printk(KERN_INFO "%s: Ports missing (mgmt=%s uplink=%s).Nothing to do if we don't have "
                         "ports.\n",
               __func__, mgmt ? mgmt->dev->name : "NULL", up ? up->dev->name : "NULL");
        return;
    }
    oo->mng_acls = 1;
    struct acl_engine *acl = B->acl;
    for (u32 i = 0; i < ARRAY_SIZE(oo_mng_acls); i++) {
        const struct oo_mng_acl *m = &oo_mng_acls[i];
        struct oo_builder b;
        b.acl = acl;
        strlcpy(b.name, m->name, sizeof(b.name));
        int rc = acl_selector_add(acl, m->name);
        if (!rc && i == 0) {
            u8 mac[12];
            memcpy(mac, mgmt->dev->dev_addr, 6);
            memset(mac + 6, 0xFF, 6);
            rc = b.cond(ACL_C_DMAC, 0, mac, sizeof(mac));
        } else if (!rc && i == 1) {
            u16 t = 0x0806;
            rc = b.cond(ACL_C_ETHER_TYPE, 0, &t, sizeof(t));
        } else if (!rc && i == 2) {
            u8 proto = RULE_IPPROTO_ICMPV6;
            rc = b.cond(ACL_C_IPV6_NEXT_HEADER, 0, &proto, sizeof(proto));
        }
        snprintf(b.name, sizeof(b.name), "%s_action_1", m->name);
        if (!rc)
            rc = acl_action_list_add(acl, b.name);
        if (!rc)
            rc = b.action(m->action, nullptr, 0, m->to_mgmt ? mgmt : up);
        struct jxbridge_port *at = m->to_mgmt ? up : mgmt;
        if (!rc && !(rc = acl_port_entry_add(acl, at, 1, i + 1, m->name, b.name)))
            oo->mng_at[i] = at;
        if (rc)
            printk(KERN_ERR "[OpenOLT] %s: %s not made (%d).\n", __func__, m->name, rc);
    }
}

// Statistics.

static void oo_stat_add(struct oo_port_stat_record *r, const struct jxbridge_port *p) {
    const struct jxbridge_port_counters *c = &p->counters;
    r->rx_bytes += c->rx_octets;
    r->rx_packets += c->rx_pkts;
    r->rx_ucast += c->rx_ucast;
    r->rx_mcast += c->rx_mcast;
    r->rx_bcast += c->rx_bcast;
    r->rx_error += c->rx_error;
    r->rx_crc_errors += c->rx_CRCAllignError;
    r->tx_bytes += c->tx_octets;
    r->tx_packets += c->tx_pkts;
    r->tx_ucast += c->tx_ucast;
    r->tx_mcast += c->tx_mcast;
    r->tx_bcast += c->tx_bcast;
    r->tx_error += c->tx_discard;
}

int oo_port_stat_get(struct jxbridge *B, struct oo_port_stat_record *r) {
    u32 type = r->intf_type, intf = r->intf_id;
    memset(r, 0, sizeof(*r));
    r->intf_type = type;
    r->intf_id = intf;
    if (type == 1) {
        struct jxbridge_port *p = oo_uplink_find(B, intf);
        if (!p)
            return -ENODEV;
        oo_stat_add(r, p);
        return 0;
    }
    if (type != 0)
        return -EINVAL;
    struct net_device *dev = oo_olt_dev(intf);
    if (!dev)
        return -ENODEV;
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        int idx;
        const char *olt =
            p && p->kind == JXBRIDGE_PORT_PON_GEM ? jxbridge_pon_port_olt(p, &idx) : nullptr;
        if (olt && !strcmp(olt, dev->name))
            oo_stat_add(r, p);
    }
    return 0;
}

// The bridge's state.

static int oo_init(struct jxbridge *B) {
    auto *oo = (struct oo_data *)jxbridge_zalloc(sizeof(struct oo_data));
    if (!oo)
        return -ENOMEM;
    oo->bridge = B;
    B->oo = oo;
    return 0;
}

static void oo_fini(struct jxbridge *B) {
    struct oo_data *oo = B->oo;
    if (!oo)
        return;
    oo_mng_acl_remove(B);
    for (u32 t = 0; t < OO_FLOW_TYPES; t++)
        while (struct oo_flow *f = oo->flows[t]) {
            if (B->acl)
                oo_acl_cleanup(B, f, MADE_SELECTOR | MADE_LIST | MADE_COUNTER);
            oo->flows[t] = f->next;
            kfree(f);
        }
    while (struct oo_onu *o = oo->onus) {
        oo->onus = o->next;
        kfree(o);
    }
    while (struct oo_group *g = oo->groups) {
        oo->groups = g->next;
        kfree(g);
    }
    kfree(oo);
    B->oo = nullptr;
}

// A port that goes takes its flows' entries and the management ACLs along;
// the flows stay listed and come back when set again.
static void oo_port_fini(struct jxbridge_port *port) {
    struct jxbridge *B = port->bridge;
    struct oo_data *oo = B->oo;
    if (!oo)
        return;
    if (oo->mng_acls && (port == oo->uplink || port == jxbridge_oo_mgmt_intf_get(B)))
        oo_mng_acl_remove(B);
    if (oo->uplink == port)
        oo->uplink = nullptr;
    for (u32 t = 0; t < OO_FLOW_TYPES; t++)
        for (struct oo_flow *f = oo->flows[t]; f; f = f->next)
            if (f->port == port) {
                acl_port_entry_del(B->acl, port, 1, f->entry);
                f->port = nullptr;
            }
}

static void oo_set_debug(void *bridge, int on) {
    auto *B = (struct jxbridge *)bridge;
    if (B->oo)
        B->oo->trace = on ? 1 : 0;
}

extern const struct jxbridge_subsys oo_subsys = {
    .tag = "OpenOLT",
    .init = oo_init,
    .fini = oo_fini,
    .port_fini = oo_port_fini,
    .files = {{"openolt", 0644, &oo_fops}},
    .set_debug = oo_set_debug,
};
