// Multicast forwarding entries in the MAC table's second hash region: a group
// MAC in a VLAN with its port list, and per IPv4 group the members with their
// INCLUDE/EXCLUDE source filters. The IGMP module owns their lifetime; a port
// that leaves the bridge leaves every entry and group with it.
// Every caller holds jxbridge_lock.
#include "jxbridge.h"

// 24-byte objects of the module-wide "mac_table_mc_src" cache.
struct mac_table_mcast_source {
    struct mac_table_mcast_source *next;
    u64 reserved;
    u32 addr; // host order
};
static_assert(sizeof(mac_table_mcast_source) == 24);

struct mac_table_mcast_port {
    struct jxbridge_port *port; // null ends the records
    u32 mode;                   // 0 INCLUDE, 1 EXCLUDE
    struct mac_table_mcast_source *sources;
};
static_assert(sizeof(mac_table_mcast_port) == 24);

struct mac_table_mcast_group {
    struct mac_table_mcast_group *next;
    struct mac_table_mcast_group **pprev;
    u32 group; // host order
    u32 packets;
    struct mac_table_mcast_port ports[]; // ports + 1, dense
};
static_assert(sizeof(mac_table_mcast_group) == 24);

struct mac_table_mcast_entry {
    struct mac_table_node node;
    u8 mac[ETH_ALEN];
    u16 vid;
    struct mac_table_mcast_group *groups; // newest first
    struct jxbridge_port *ports[];        // ports + 1, dense, null-terminated
};
// mac_table_lookup_entry finds both kinds by these fields.
static_assert(offsetof(mac_table_mcast_entry, mac) == offsetof(mac_table_entry, mac));
static_assert(offsetof(mac_table_mcast_entry, vid) == offsetof(mac_table_entry, vid));

static const char *ip2a(u32 ip, char buf[16]) {
    snprintf(buf, 16, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xff, (ip >> 8) & 0xff, ip & 0xff);
    return buf;
}

static struct mac_table_node **mac_table_mcast_bucket(struct mac_table *mt, const u8 *mac) {
    u32 sum =
        (u32)(mac[0] | mac[1] << 8) + (u32)(mac[2] | mac[3] << 8) + (u32)(mac[4] | mac[5] << 8);
    return &mt->hash[mt->mac_hash + sum % mt->mcast_hash];
}

static struct mac_table_mcast_entry *mcast_entry(struct mac_table_node *n) {
    return container_of(n, struct mac_table_mcast_entry, node);
}

struct mac_table_mcast_entry *mac_table_mcast_lookup(struct mac_table *mt, const u8 *mac, u16 vid) {
    if (!mt || !mac)
        return nullptr;
    for (struct mac_table_node *n = *mac_table_mcast_bucket(mt, mac); n; n = n->next) {
        struct mac_table_mcast_entry *e = mcast_entry(n);
        if (e->vid == vid && ether_addr_equal(e->mac, mac))
            return e;
    }
    return nullptr;
}

static void mcast_free_sources(struct mac_table_mcast_port *r, bool log, struct mac_table *mt) {
    while (struct mac_table_mcast_source *s = r->sources) {
        r->sources = s->next;
        if (log) {
            char ip[16];
            MT_TRACE(mt, "[MAC Table]         Source %s removed.\n", ip2a(s->addr, ip));
        }
        kmem_cache_free(mac_table_src_cache(), s);
    }
}

static void mac_table_mcast_remove_group(struct mac_table *mt, struct mac_table_mcast_group *g) {
    for (struct mac_table_mcast_port *r = g->ports; r->port; r++)
        mcast_free_sources(r, true, mt);
    *g->pprev = g->next;
    if (g->next)
        g->next->pprev = g->pprev;
    char ip[16];
    MT_TRACE(mt, "[MAC Table]       IP multicast group %s removed.\n", ip2a(g->group, ip));
    kmem_cache_free(mt->mc_grp_cache, g);
}

static void mac_table_mcast_free_entry(struct mac_table *mt, struct mac_table_mcast_entry *e) {
    while (e->groups)
        mac_table_mcast_remove_group(mt, e->groups);
    mac_table_unlink(&e->node);
    kmem_cache_free(mt->mc_cache, e);
}

// Dense lists: the last one moves into the slot that is freed.
static bool mcast_list_remove(struct jxbridge_port **list, u32 n, struct jxbridge_port *port) {
    u32 i = 0, last;
    while (i < n && list[i] && list[i] != port)
        i++;
    if (i >= n || !list[i])
        return false;
    for (last = i; last + 1 < n && list[last + 1]; last++)
        ;
    list[i] = list[last];
    list[last] = nullptr;
    return true;
}

static struct mac_table_mcast_port *mcast_record(struct mac_table_mcast_group *g,
                                                 struct jxbridge_port *port) {
    for (struct mac_table_mcast_port *r = g->ports; r->port; r++)
        if (r->port == port)
            return r;
    return nullptr;
}

// Takes a port's record out of a group; its sources go with it.
static void mcast_record_remove(struct mac_table *mt, struct mac_table_mcast_port *r) {
    mcast_free_sources(r, true, mt);
    struct mac_table_mcast_port *last = r;
    while (last[1].port)
        last++;
    MT_TRACE(mt, "[MAC Table]   Will replace with '%s'.\n",
             last != r ? last->port->dev->name : "<none>");
    *r = *last;
    *last = {};
}

int mac_table_mcast_add_mac(struct mac_table *mt, const u8 *mac, u16 vid,
                            struct jxbridge_port *port) {
    if (!mt || !mac || !port)
        return -EINVAL;
    MT_TRACE(mt, "[MAC Table] %s(" MAC_FMT ", %d, '%s')\n", __func__, MAC_ARGS(mac), (int)vid,
             port->dev->name);
    if (port->bridge != mt->bridge || port->port_no >= mt->num_ports)
        return -EINVAL;
    struct mac_table_node **bucket = mac_table_mcast_bucket(mt, mac);
    u32 h = (u32)(bucket - mt->hash);
    struct mac_table_mcast_entry *e = mac_table_mcast_lookup(mt, mac, vid);
    if (!e) {
        if (mt->debug)
            printk(KERN_ERR "[MAC Table]   No entry, adding...\n");
        e = (struct mac_table_mcast_entry *)kmem_cache_zalloc(mt->mc_cache, GFP_ATOMIC);
        if (!e) {
            MT_TRACE(mt, "[MAC Table]   No memory.\n");
            return -ENOMEM;
        }
        ether_addr_copy(e->mac, mac);
        e->vid = vid;
        mac_table_link(bucket, &e->node);
        MT_TRACE(mt, "[MAC Table]   Adding new entry at hash %d.\n", (int)h);
    }
    for (u32 i = 0; i < mt->num_ports; i++) {
        if (e->ports[i] == port) {
            MT_TRACE(mt, "[MAC Table]   Found same at %d (hash %d).\n", (int)i, (int)h);
            return 0;
        }
        if (!e->ports[i]) {
            e->ports[i] = port;
            MT_TRACE(mt, "[MAC Table]   Inserting at %d (hash %d).\n", (int)i, (int)h);
            return 0;
        }
    }
    MT_TRACE(mt, "[MAC Table]   No space left at hash %d.\n", (int)h);
    return -E2BIG;
}
EXPORT_SYMBOL(mac_table_mcast_add_mac);

int mac_table_mcast_del_mac(struct mac_table *mt, const u8 *mac, u16 vid,
                            struct jxbridge_port *port) {
    if (!mt || !mac)
        return -EINVAL;
    MT_TRACE(mt, "[MAC Table] %s(" MAC_FMT ", %d, '%s')\n", __func__, MAC_ARGS(mac), (int)vid,
             port ? port->dev->name : "<null>");
    if (!port) {
        MT_TRACE(mt, "[MAC Table]   Port is null.\n");
        return -EINVAL;
    }
    struct mac_table_mcast_entry *e = mac_table_mcast_lookup(mt, mac, vid);
    if (!e) {
        MT_TRACE(mt, "[MAC Table]   No entry found.\n");
        return -ENOENT;
    }
    if (!mcast_list_remove(e->ports, mt->num_ports, port))
        MT_TRACE(mt, "[MAC Table]   Port not in multicast group.\n");
    if (!e->ports[0]) {
        mac_table_mcast_free_entry(mt, e);
        MT_TRACE(mt, "[MAC Table]   Empty group entry removed.\n");
    }
    return 0;
}
EXPORT_SYMBOL(mac_table_mcast_del_mac);

// Whether another member of the group already carries the stream to the
// port's OLT, so that the flow manager need not hear of this one.
static bool mcast_olt_served(struct mac_table *mt, u16 vid, struct mac_table_mcast_group *g,
                             struct jxbridge_port *port) {
    if (port->kind != JXBRIDGE_PORT_PON_GEM ||
        jxbridge_pon_mcast_fwd_init(mt->bridge, vid) == JXBRIDGE_PON_NO_MCAST_GEM)
        return false;
    for (struct mac_table_mcast_port *r = g->ports; r->port; r++)
        if (r->port != port && r->port->kind == JXBRIDGE_PORT_PON_GEM && r->port->dev == port->dev)
            return true;
    return false;
}

static void ip2mac(u32 group, u8 *mac) {
    mac[0] = 0x01;
    mac[1] = 0x00;
    mac[2] = 0x5e;
    mac[3] = (u8)((group >> 16) & 0x7f);
    mac[4] = (u8)(group >> 8);
    mac[5] = (u8)group;
}

int mac_table_mcast_add_ip(struct mac_table *mt, u32 group, u16 vid, struct jxbridge_port *port,
                           u32 mode, u32 n, const u32 *sources) {
    if (!mt || !port || (n && !sources))
        return -EINVAL;
    char ip[16];
    MT_TRACE(mt, "[MAC Table] %s(%s, %d, '%s', %sCLUDE, %d)\n", __func__, ip2a(group, ip), (int)vid,
             port->dev->name, mode ? "EX" : "IN", (int)n);
    u8 mac[ETH_ALEN];
    ip2mac(group, mac);
    struct mac_table_mcast_entry *e = mac_table_mcast_lookup(mt, mac, vid);
    int rc;
    if (!e) {
        rc = mac_table_mcast_add_mac(mt, mac, vid, port);
        if (rc) {
            MT_TRACE(mt, "[MAC Table]   Problem (%d).\n", rc);
            return rc;
        }
        e = mac_table_mcast_lookup(mt, mac, vid);
        MT_TRACE(mt, "[MAC Table]   Added new MAC entry.\n");
        if (!e)
            return -EINVAL;
    } else if ((rc = mac_table_mcast_add_mac(mt, mac, vid, port))) {
        return rc;
    }
    struct mac_table_mcast_group *g = e->groups;
    while (g && g->group != group)
        g = g->next;
    if (!g) {
        MT_TRACE(mt, "[MAC Table]   No matching group, adding...\n");
        g = (struct mac_table_mcast_group *)kmem_cache_zalloc(mt->mc_grp_cache, GFP_ATOMIC);
        if (!g) {
            MT_TRACE(mt, "[MAC Table]   No memory.\n");
            return -ENOMEM;
        }
        g->group = group;
        g->next = e->groups;
        if (g->next)
            g->next->pprev = &g->next;
        e->groups = g;
        g->pprev = &e->groups;
        MT_TRACE(mt, "[PON]        Check for multicast flow update (new group).\n");
    }
    struct mac_table_mcast_port *r = mcast_record(g, port);
    bool quiet = false;
    if (r) {
        mcast_free_sources(r, true, mt);
    } else {
        quiet = mcast_olt_served(mt, vid, g, port);
        if (quiet)
            MT_TRACE(mt, "[PON]        No multicast flow update (already sending to OLT %s).\n",
                     port->dev->name);
        r = g->ports;
        while (r->port)
            r++;
        // A port taken out of the entry's list may keep its record: the
        // group can be full even when the list is not.
        if (r - g->ports >= (ptrdiff_t)mt->num_ports) {
            MT_TRACE(mt, "[MAC Table]   No space left in group %s.\n", ip2a(group, ip));
            return -E2BIG;
        }
        r->port = port;
    }
    r->mode = mode ? 1 : 0;
    for (u32 i = 0; i < n; i++) {
        auto *s =
            (struct mac_table_mcast_source *)kmem_cache_zalloc(mac_table_src_cache(), GFP_ATOMIC);
        if (!s) {
            MT_TRACE(mt, "[MAC Table]   No memory for sources.\n");
            return -ENOMEM;
        }
        s->addr = ntohl(sources[i]);
        s->next = r->sources;
        r->sources = s;
        MT_TRACE(mt, "[MAC Table]   Added source %s.\n", ip2a(s->addr, ip));
    }
    MT_TRACE(mt, "[MAC Table]   Done.\n");
    if (!quiet)
        jxbridge_flow_event(JXBRIDGE_FEV_MCAST, port, mac);
    return 0;
}
EXPORT_SYMBOL(mac_table_mcast_add_ip);

int mac_table_mcast_del_ip(struct mac_table *mt, u32 group, u16 vid, struct jxbridge_port *port) {
    if (!mt || !port)
        return -EINVAL;
    char ip[16];
    MT_TRACE(mt, "[MAC Table] %s(%s, %d, '%s')\n", __func__, ip2a(group, ip), (int)vid,
             port->dev->name);
    u8 mac[ETH_ALEN];
    ip2mac(group, mac);
    struct mac_table_mcast_entry *e = mac_table_mcast_lookup(mt, mac, vid);
    if (!e) {
        MT_TRACE(mt, "[MAC Table]   No entry.\n");
        return 0;
    }
    struct mac_table_mcast_group *g = e->groups;
    while (g && g->group != group)
        g = g->next;
    if (!g) {
        MT_TRACE(mt, "[MAC Table]   No group.\n");
        return 0;
    }
    struct mac_table_mcast_port *r = mcast_record(g, port);
    if (!r) {
        MT_TRACE(mt, "[MAC Table]   No port.\n");
        return 0;
    }
    // Decided while the group still exists: it may be freed below.
    bool quiet = mcast_olt_served(mt, vid, g, port);
    mcast_record_remove(mt, r);
    if (!g->ports[0].port)
        mac_table_mcast_remove_group(mt, g);
    if (quiet)
        MT_TRACE(mt, "[PON]        No multicast flow update (still sending to OLT %s).\n",
                 port->dev->name);
    else
        jxbridge_flow_event(JXBRIDGE_FEV_MCAST, port, mac);
    return 0;
}
EXPORT_SYMBOL(mac_table_mcast_del_ip);

// A port leaves the entries of a VID (MAC_TABLE_ANY_VID: of all): their port
// lists and the records of their groups, so no frame goes to it afterwards.
void mac_table_mcast_del_port(struct mac_table *mt, struct jxbridge_port *port, u16 vid) {
    for (u32 b = mt->mac_hash; b < mt->mac_hash + mt->mcast_hash; b++) {
        struct mac_table_node *n = mt->hash[b];
        while (n) {
            struct mac_table_node *next = n->next;
            struct mac_table_mcast_entry *e = mcast_entry(n);
            n = next;
            if (vid != MAC_TABLE_ANY_VID && e->vid != vid)
                continue;
            mcast_list_remove(e->ports, mt->num_ports, port);
            for (struct mac_table_mcast_group *g = e->groups, *gn; g; g = gn) {
                gn = g->next;
                if (struct mac_table_mcast_port *r = mcast_record(g, port))
                    mcast_record_remove(mt, r);
                if (!g->ports[0].port)
                    mac_table_mcast_remove_group(mt, g);
            }
            if (!e->ports[0])
                mac_table_mcast_free_entry(mt, e);
        }
    }
}

void mac_table_mcast_flush(struct mac_table *mt) {
    for (u32 b = mt->mac_hash; b < mt->mac_hash + mt->mcast_hash; b++)
        while (mt->hash[b]) {
            struct mac_table_mcast_entry *e = mcast_entry(mt->hash[b]);
            MT_TRACE(mt, "[MAC Table]     Entry " MAC_FMT "/%d removed.\n", MAC_ARGS(e->mac),
                     (int)e->vid);
            mac_table_mcast_free_entry(mt, e);
        }
}

void mac_table_mcast_group_stats(struct mac_table *mt) {
    printk(KERN_INFO "    IP address    Packets\n");
    printk(KERN_INFO "--------------------------\n");
    for (u32 b = mt->mac_hash; b < mt->mac_hash + mt->mcast_hash; b++)
        for (struct mac_table_node *n = mt->hash[b]; n; n = n->next)
            for (struct mac_table_mcast_group *g = mcast_entry(n)->groups; g; g = g->next)
                printk(KERN_INFO "%3d.%3d.%3d.%3d %10u\n", (int)(g->group >> 24),
                       (int)((g->group >> 16) & 0xff), (int)((g->group >> 8) & 0xff),
                       (int)(g->group & 0xff), g->packets);
}

// Readers for the control files. Positions past the end are -ENOENT, which
// ends a walk; numbers that cannot name anything are -ERANGE.

static struct mac_table_mcast_entry *mcast_at(struct mac_table *mt, u32 bucket, u32 position,
                                              int *rc) {
    if (bucket >= mt->mcast_hash) {
        *rc = -ERANGE;
        return nullptr;
    }
    struct mac_table_node *n = mt->hash[mt->mac_hash + bucket];
    for (u32 i = 0; n && i < position; i++)
        n = n->next;
    *rc = n ? 0 : -ENOENT;
    return n ? mcast_entry(n) : nullptr;
}

int mac_table_mcast_get_entry(struct mac_table *mt, struct mt_mcast_entry_request *req) {
    int rc;
    struct mac_table_mcast_entry *e = mcast_at(mt, req->bucket, req->position, &rc);
    if (!e)
        return rc;
    ether_addr_copy(req->mac, e->mac);
    req->vid = e->vid;
    if (req->port_index == MT_PORT_ITSELF)
        return 0;
    if (req->port_index >= mt->num_ports)
        return -ERANGE;
    struct jxbridge_port *p = e->ports[req->port_index];
    if (!p)
        return -ENOENT;
    strlcpy(req->name, p->dev->name, sizeof(req->name));
    return 0;
}

u32 mac_table_mcast_group_packets(struct mac_table *mt, const struct mt_mcast_ip_get_request *req) {
    int rc;
    struct mac_table_mcast_entry *e = mcast_at(mt, req->bucket, req->entry, &rc);
    struct mac_table_mcast_group *g = e ? e->groups : nullptr;
    for (u32 i = 0; g && i < req->group_position; i++)
        g = g->next;
    return g ? g->packets : 0;
}

int mac_table_mcast_get_ip(struct mac_table *mt, struct mt_mcast_ip_get_request *req,
                           u32 *sources) {
    int rc;
    struct mac_table_mcast_entry *e = mcast_at(mt, req->bucket, req->entry, &rc);
    if (!e)
        return rc;
    struct mac_table_mcast_group *g = e->groups;
    for (u32 i = 0; g && i < req->group_position; i++)
        g = g->next;
    if (!g)
        return -ENOENT;
    req->group = g->group;
    if (req->port_index == MT_PORT_ITSELF) {
        req->size = 0;
        return 0;
    }
    if (req->port_index >= mt->num_ports)
        return -ERANGE;
    const struct mac_table_mcast_port *r = g->ports;
    for (u32 i = 0; r->port && i < req->port_index; i++)
        r++;
    if (!r->port)
        return -ENOENT;
    strlcpy(req->name, r->port->dev->name, sizeof(req->name));
    req->mode = r->mode;
    u32 room = sources ? req->size : 0, got = 0, number = 1;
    for (const struct mac_table_mcast_source *s = r->sources; s && got < room;
         s = s->next, number++)
        if (number >= req->first_source)
            sources[got++] = s->addr;
    req->size = got;
    return 0;
}

// What the pipeline asks.

bool mac_table_mcast_has_groups(const struct mac_table_mcast_entry *e) {
    return e && e->groups;
}

static bool mcast_listed(const struct mac_table_mcast_port *r, u32 addr) {
    for (const struct mac_table_mcast_source *s = r->sources; s; s = s->next)
        if (s->addr == addr)
            return true;
    return false;
}

int mac_table_mcast_members(struct mac_table_mcast_entry *e, u32 saddr, u32 daddr, bool count,
                            struct jxbridge_port **out, int max) {
    u32 src = ntohl(saddr), dst = ntohl(daddr);
    struct mac_table_mcast_group *g = e->groups;
    while (g && g->group != dst)
        g = g->next;
    if (!g)
        return 0;
    if (count)
        g->packets++;
    int n = 0;
    for (const struct mac_table_mcast_port *r = g->ports; r->port && n < max; r++)
        if (mcast_listed(r, src) == !r->mode)
            out[n++] = r->port;
    return n;
}

struct jxbridge_port **mac_table_mcast_ports(struct mac_table_mcast_entry *e) {
    return e ? e->ports : nullptr;
}
