// Port security and MAC source guard: every unicast entry is counted on its
// port (static, per-VLAN slot or dynamic), limits refuse new stations, and a
// station seen on a second guarded port error-disables that port.
// Every caller holds jxbridge_lock.
#include "jxbridge.h"

struct mac_table_port *mac_table_port_of(struct mac_table *mt, const struct jxbridge_port *port) {
    if (!mt || !port || port->port_no >= mt->num_ports)
        return nullptr;
    return &mt->ports[port->port_no];
}

static struct mac_table_vlan_limit *mac_table_vlan_slot(struct mac_table_port *p, u16 vid) {
    for (auto &l : p->vlan_limits)
        if (l.vid == vid && vid != MAC_TABLE_NO_VID)
            return &l;
    return nullptr;
}

// The counter and limit an entry of this kind and VID is counted against.
static u32 *mac_table_counter(struct mac_table_port *p, u16 vid, u8 is_static, u32 *limit) {
    if (is_static) {
        *limit = p->static_limit;
        return &p->static_count;
    }
    if (struct mac_table_vlan_limit *l = mac_table_vlan_slot(p, vid)) {
        *limit = l->limit;
        return &l->count;
    }
    *limit = p->dynamic_limit;
    return &p->dynamic_count;
}

int mac_table_port_security_inc(struct mac_table *mt, struct jxbridge_port *port, u16 vid,
                                const u8 *mac, u8 is_static, const char *caller) {
    struct mac_table_port *p = mac_table_port_of(mt, port);
    if (!p)
        return -EINVAL;
    u32 limit;
    u32 *count = mac_table_counter(p, vid, is_static, &limit);
    // With port security off the counts stay exact, so a later switch-on
    // enforces the limit against the real number.
    if (!mt->port_security || !p->state || *count < limit) {
        (*count)++;
        return 0;
    }
    MT_TRACE(mt, "[MAC Table] %s(%s, %d, %s) - Port Security breach.\n", caller, port->dev->name,
             (int)vid, is_static ? "static" : "dynamic");
    ether_addr_copy(p->violation_mac, mac);
    p->violation_vid = vid;
    p->violations++;
    return -ENOSPC;
}

void mac_table_port_security_dec(struct mac_table *mt, struct mac_table_entry *e,
                                 const char *caller) {
    struct mac_table_port *p = mac_table_port_of(mt, e->port);
    if (!p)
        return;
    u32 limit;
    u32 *count = mac_table_counter(p, e->vid, e->is_static, &limit);
    if (!*count) {
        printk(KERN_ERR "[MAC Table count error] %s()\n", caller);
        return;
    }
    (*count)--;
}

static void mac_table_flush_port(struct mac_table *mt, struct jxbridge_port *port, u32 kind) {
    mac_table_delete_by_port_section(mt, port, MAC_TABLE_SECTION_UNICAST, kind);
}

int mac_table_port_security_set_global(struct mac_table *mt, u32 on) {
    if (!mt)
        return -EINVAL;
    mt->port_security = on ? 1 : 0;
    if (!on)
        return 0;
    struct jxbridge *B = mt->bridge;
    for (u32 i = 0; i < B->max_ports && i < mt->num_ports; i++)
        if (B->ports[i] && mt->ports[i].state)
            mac_table_flush_port(mt, B->ports[i], MAC_TABLE_KIND_DYNAMIC);
    return 0;
}

u32 mac_table_port_security_get_global(struct mac_table *mt) {
    return mt ? mt->port_security : 0;
}

int mac_table_port_security_set_state(struct mac_table *mt, struct jxbridge_port *port, u32 on) {
    struct mac_table_port *p = mac_table_port_of(mt, port);
    if (!p)
        return -EINVAL;
    p->state = on ? 1 : 0;
    MT_TRACE(mt, "[MAC Table] State of port security on %s set to %s.\n", port->dev->name,
             on ? "enabled" : "disabled");
    if (on && mt->port_security)
        mac_table_flush_port(mt, port, MAC_TABLE_KIND_DYNAMIC);
    return 0;
}

int mac_table_port_security_get_state(struct mac_table *mt, struct jxbridge_port *port, u32 *out) {
    struct mac_table_port *p = mac_table_port_of(mt, port);
    if (!p || !out)
        return -EINVAL;
    *out = p->state;
    return 0;
}

int mac_table_port_security_set_limit(struct mac_table *mt, struct jxbridge_port *port,
                                      u32 is_static, u32 limit) {
    struct mac_table_port *p = mac_table_port_of(mt, port);
    if (!p)
        return -EINVAL;
    u32 *count = is_static ? &p->static_count : &p->dynamic_count;
    if (limit < *count)
        mac_table_flush_port(mt, port, is_static ? MAC_TABLE_KIND_STATIC : MAC_TABLE_KIND_DYNAMIC);
    (is_static ? p->static_limit : p->dynamic_limit) = limit;
    MT_TRACE(mt, "[MAC Table] Limit for %s MACs on %s set to %u, count is %u.\n",
             is_static ? "static" : "dynamic", port->dev->name, limit, *count);
    return 0;
}

int mac_table_port_security_get_limit(struct mac_table *mt, struct jxbridge_port *port,
                                      u32 is_static, u32 *limit, u32 *count) {
    struct mac_table_port *p = mac_table_port_of(mt, port);
    if (!p || !limit || !count)
        return -EINVAL;
    *limit = is_static ? p->static_limit : p->dynamic_limit;
    *count = is_static ? p->static_count : p->dynamic_count;
    return 0;
}

int mac_table_port_security_add_vlan_limit(struct mac_table *mt, struct jxbridge_port *port,
                                           u16 vid, u32 limit) {
    struct mac_table_port *p = mac_table_port_of(mt, port);
    if (!p)
        return -EINVAL;
    if (vid > 4094)
        return -EINVAL;
    if (struct mac_table_vlan_limit *l = mac_table_vlan_slot(p, vid)) {
        if (l->count > limit)
            mac_table_flush_port(mt, port, MAC_TABLE_KIND_DYNAMIC);
        l->limit = limit;
        return 0;
    }
    struct mac_table_vlan_limit *l = nullptr;
    for (auto &s : p->vlan_limits)
        if (s.vid == MAC_TABLE_NO_VID) {
            l = &s;
            break;
        }
    if (!l)
        return -ENOMEM;
    // After the flush the port holds only static entries in the VLAN, and
    // those are counted as static: the slot starts empty.
    mac_table_flush_port(mt, port, MAC_TABLE_KIND_DYNAMIC);
    l->vid = vid;
    l->limit = limit;
    l->count = 0;
    return 0;
}

int mac_table_port_security_del_vlan_limit(struct mac_table *mt, struct jxbridge_port *port,
                                           u16 vid) {
    struct mac_table_port *p = mac_table_port_of(mt, port);
    if (!p)
        return -EINVAL;
    if (vid > 4094)
        return -EINVAL;
    struct mac_table_vlan_limit *l = mac_table_vlan_slot(p, vid);
    if (!l)
        return -ENOENT;
    mac_table_flush_port(mt, port, MAC_TABLE_KIND_DYNAMIC);
    p->dynamic_count += l->count;
    *l = {};
    l->vid = MAC_TABLE_NO_VID;
    return 0;
}

int mac_table_port_security_get_violation(struct mac_table *mt, struct jxbridge_port *port,
                                          u8 *out) {
    struct mac_table_port *p = mac_table_port_of(mt, port);
    if (!p)
        return -EINVAL;
    if (!out)
        return -EFAULT;
    memcpy(out, p->violation_mac, ETH_ALEN);
    memcpy(out + ETH_ALEN, &p->violation_vid, sizeof(u16));
    return 0;
}

// Counts every port's dynamic entries in the table and compares them with
// what the counters say.
int mac_table_port_security_test(struct mac_table *mt, const char *caller) {
    if (!mt)
        return -EINVAL;
    struct jxbridge *B = mt->bridge;
    bool header = false;
    u32 total = 0;
    for (u32 b = 0; b < mt->mac_hash; b++)
        for (struct mac_table_node *n = mt->hash[b]; n; n = n->next)
            total++;
    for (u32 i = 0; i < mt->num_ports && i < B->max_ports; i++) {
        struct jxbridge_port *port = B->ports[i];
        if (!port)
            continue;
        struct mac_table_port *p = &mt->ports[i];
        u32 real = 0, per_slot[MAC_TABLE_VLAN_LIMITS] = {};
        for (u32 b = 0; b < mt->mac_hash; b++)
            for (struct mac_table_node *n = mt->hash[b]; n; n = n->next) {
                auto *e = container_of(n, struct mac_table_entry, node);
                if (e->port != port || e->is_static)
                    continue;
                struct mac_table_vlan_limit *l = mac_table_vlan_slot(p, e->vid);
                if (l)
                    per_slot[l - p->vlan_limits]++;
                else
                    real++;
            }
        bool bad = real != p->dynamic_count;
        for (int s = 0; s < MAC_TABLE_VLAN_LIMITS; s++)
            bad |=
                p->vlan_limits[s].vid != MAC_TABLE_NO_VID && per_slot[s] != p->vlan_limits[s].count;
        if (!bad)
            continue;
        if (!header) {
            printk(KERN_INFO "%s() - count error\n\nPort |   Count    | Real count | Per VID\n"
                             "-----+------------+------------+------------\n",
                   caller);
            header = true;
        }
        printk(KERN_INFO "%3d  | %10u | %10u |\n", (int)i, p->dynamic_count, real);
        for (int s = 0; s < MAC_TABLE_VLAN_LIMITS; s++) {
            const struct mac_table_vlan_limit &l = p->vlan_limits[s];
            if (l.vid != MAC_TABLE_NO_VID)
                printk(KERN_INFO "%3s  | %10u | %10u | %d (0x%04x)\n", "", l.count, per_slot[s],
                       (int)l.vid, (unsigned)l.vid);
        }
    }
    if (header)
        printk(KERN_INFO "-----+------------+------------+------------\n");
    if (total != mt->count)
        printk(KERN_INFO "Total count mismatch: counted %u, reported %u\n", total, mt->count);
    return 0;
}

// MAC source guard.

int mac_table_mac_source_guard_set_callback(struct mac_table *mt, mac_table_msg_fn action) {
    if (!mt)
        return -EINVAL;
    mt->msg_callback = action;
    if (action)
        return 0;
    struct jxbridge *B = mt->bridge;
    for (u32 i = 0; i < B->max_ports; i++)
        if (B->ports[i])
            jxbridge_port_error_cause_remove(B->ports[i], JXBRIDGE_CAUSE_MSG);
    return 0;
}

mac_table_msg_fn mac_table_mac_source_guard_get(struct mac_table *mt) {
    return mt ? mt->msg_callback : nullptr;
}

int mac_table_mac_source_guard_set_port(struct mac_table *mt, struct jxbridge_port *port, u32 on) {
    struct mac_table_port *p = mac_table_port_of(mt, port);
    if (!p)
        return -EINVAL;
    bool was = p->msg;
    p->msg = on ? 1 : 0;
    port->source_guard = p->msg;
    if (was && !on)
        jxbridge_port_error_cause_remove(port, JXBRIDGE_CAUSE_MSG);
    return 0;
}

int mac_table_mac_source_guard_get_port(struct mac_table *mt, struct jxbridge_port *port,
                                        u32 *out) {
    struct mac_table_port *p = mac_table_port_of(mt, port);
    if (!p || !out)
        return -EINVAL;
    *out = p->msg;
    return 0;
}

int mac_table_mac_source_guard_get_port_data(struct mac_table *mt, struct jxbridge_port *port,
                                             struct msg_data_request *r) {
    struct mac_table_port *p = mac_table_port_of(mt, port);
    if (!p || !r)
        return -EFAULT;
    r->enabled = p->msg;
    r->state = port->state;
    r->violations = port->counters.mac_source_guard_violations;
    memset(r->cause_mac, 0, sizeof(r->cause_mac));
    r->cause_vid = 0;
    r->cause_port = JXBRIDGE_PORT_ANY;
    if (port->cause_port) {
        for (int i = 0; i < 6; i++)
            r->cause_mac[i] = (u8)(port->cause_info >> (8 * (5 - i)));
        r->cause_vid = (u16)(port->cause_info >> 48);
        r->cause_port = port->cause_port->port_no;
    }
    return 0;
}

int mac_table_mac_source_guard_get_port_recovery_data(struct mac_table *mt,
                                                      struct jxbridge_port *port,
                                                      struct msg_recovery_request *r) {
    if (!mac_table_port_of(mt, port) || !r)
        return -EFAULT;
    r->causes = port->error_causes;
    r->countdown = port->recovery_countdown;
    return 0;
}

// Whether the same station behind Q breaks P's guard.
static bool mac_table_msg_violates(struct mac_table *mt, struct jxbridge_port *P,
                                   struct jxbridge_port *Q) {
    if (P->pvc_mode == 2 && Q->pvc_mode == 2 && P->pvc_master && P->pvc_master == Q->pvc_master)
        return false;
    if (P->kind != JXBRIDGE_PORT_PON_GEM || Q->kind != JXBRIDGE_PORT_PON_GEM)
        return true;
    if (!Q->gem_id) {
        MT_TRACE(mt, "[MAC Table]     MACSG skip (no GEM port).\n");
        return false;
    }
    if (!P->dev || !Q->dev) {
        MT_TRACE(mt, "[MAC Table]     MACSG skip (no OLT port).\n");
        return false;
    }
    // A GEM port's device is its OLT port.
    if (P->dev != Q->dev || P->onu_id != Q->onu_id)
        return true;
    MT_TRACE(mt, "[MAC Table]     MACSG skip (same OLT/ONU).\n");
    return false;
}

int mac_table_mac_source_guard_check(struct mac_table *mt, struct jxbridge_port *P, const u8 *mac,
                                     u16) {
    u32 b = (u32)(mac[0] | mac[1] << 8) + (u32)(mac[2] | mac[3] << 8) + (u32)(mac[4] | mac[5] << 8);
    for (struct mac_table_node *n = mt->hash[b % mt->mac_hash]; n; n = n->next) {
        auto *e = container_of(n, struct mac_table_entry, node);
        if (e->port == P || !ether_addr_equal(e->mac, mac) ||
            !mac_table_msg_violates(mt, P, e->port))
            continue;
        MT_TRACE(mt, "[MAC Table]     MACSG found on port %s.\n", e->port->dev->name);
        MT_TRACE(mt, "[MAC Table]   MSG violation.\n");
        // Taken before the flush: the record must not point into freed entries.
        struct mac_table_msg_violation v = {};
        ether_addr_copy(v.mac, e->mac);
        v.vid = e->vid;
        v.port = e->port;
        mac_table_flush_port(mt, P, MAC_TABLE_KIND_DYNAMIC);
        MT_TRACE(mt, "[MAC Table]   Calling MSG action.\n");
        if (mt->msg_callback)
            mt->msg_callback(P, &v);
        return -EBUSY;
    }
    return 0;
}
