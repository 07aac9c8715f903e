// Clients, memberships and forwarding entries, the bridge's multicast
// entries that follow them, and the periodic pass that ages them.
#include "jxigmp/jxigmp.h"

struct igmp_fwd *igmp_fwd_find(struct igmp_bridge *ib, u16 vid, u32 group) {
    for (struct igmp_fwd *f = ib->fwds; f; f = f->next)
        if (f->vid == vid && f->group == group)
            return f;
    return nullptr;
}

static struct jxbridge_port *igmp_bridge_port(struct igmp_bridge *ib, u32 port_no) {
    struct jxbridge_port *p = get_jxbridge_port_from_bll_port_no(ib->bridge, port_no);
    if (!p)
        igmp_log(3, "Unable to get bridge port from port_id: %d", (int)port_no);
    return p;
}

static unsigned long igmp_fwd_expiry(struct igmp_bridge *ib) {
    u32 t = ib->gmi > ib->mrt_delta ? ib->gmi - ib->mrt_delta : 0;
    return jiffies + (unsigned long)t * HZ / 10;
}

static void igmp_proxy_send(struct igmp_bridge *ib, u16 vid, u32 group, u8 kind) {
    struct igmp_vlan *v = igmp_vlan_find(ib, vid);
    if (!v || !v->proxy || !ib->frame)
        return;
    // The frame in progress lives in the same buffer: keep it.
    u8 saved[IGMP_FRAME_BUF];
    u32 saved_len = ib->frame_len;
    memcpy(saved, ib->frame, saved_len);
    if (igmp_build(ib, v, kind, group, 0) == 0)
        igmp_send_routers(ib, 0);
    memcpy(ib->frame, saved, saved_len);
    ib->frame_len = saved_len;
}

static bool src_live(const struct igmp_group *g, u32 addr, bool blocked) {
    for (const struct igmp_source *s = g->sources; s; s = s->next)
        if (s->addr == addr)
            return blocked ? s->timer <= 0 : true;
    return false;
}

// The port's source filter for a group, all its memberships in the VLAN
// merged as the bridge's entry holds one: EXCLUDE when any membership
// excludes, leaving out only what every membership leaves out; otherwise
// INCLUDE of every listed source. An EXCLUDE membership blocks the sources
// whose timers ran out; the others are still wanted.
void igmp_fwd_program(struct igmp_bridge *ib, struct igmp_port *port, u16 vid, u32 group) {
    u32 port_no = igmp_port_no(ib, port);
    if (port_no > ib->ports)
        return;
    u32 room = 0;
    bool exclude = false, any = false;
    struct igmp_group *first_ex = nullptr;
    for (struct igmp_client *c = port->clients; c; c = c->next)
        if (c->vid == vid)
            for (struct igmp_group *g = c->groups; g; g = g->next)
                if (g->addr == group) {
                    any = true;
                    if (g->mode == IGMP_EXCLUDE && !first_ex)
                        first_ex = g;
                    exclude |= g->mode == IGMP_EXCLUDE;
                    for (struct igmp_source *s = g->sources; s; s = s->next)
                        room++;
                }
    if (!any)
        return;
    u32 *list = room ? (u32 *)igmp_alloc(sizeof(u32) * room) : nullptr;
    u32 n = 0;
    if (room && !list)
        return;
    if (exclude) {
        for (struct igmp_source *s = first_ex->sources; s; s = s->next) {
            bool blocked = true;
            for (struct igmp_client *c = port->clients; c && blocked; c = c->next)
                if (c->vid == vid)
                    for (struct igmp_group *g = c->groups; g && blocked; g = g->next)
                        if (g->addr == group)
                            blocked = g->mode == IGMP_EXCLUDE ? src_live(g, s->addr, true)
                                                              : !src_live(g, s->addr, false);
            if (blocked)
                list[n++] = htonl(s->addr);
        }
    } else {
        for (struct igmp_client *c = port->clients; c; c = c->next)
            if (c->vid == vid)
                for (struct igmp_group *g = c->groups; g; g = g->next)
                    if (g->addr == group)
                        for (struct igmp_source *s = g->sources; s; s = s->next) {
                            bool dup = false;
                            for (u32 k = 0; k < n && !dup; k++)
                                dup = list[k] == htonl(s->addr);
                            if (!dup)
                                list[n++] = htonl(s->addr);
                        }
    }
    char g[16];
    igmp_ip2a(group, g);
    struct jxbridge_port *bp = get_jxbridge_port_from_bll_port_no(ib->bridge, port_no);
    if (!bp)
        igmp_log(3, "Unable to get bridge port from port_id: %d", (int)port_no);
    else if (mac_table_mcast_add_ip(jxbridge_mac_table(ib->bridge), group, vid, bp, exclude ? 1 : 0,
                                    n, list))
        igmp_log(3, "    Unable to add IP group %d/%s@%d.", vid, g, (int)port_no);
    else
        igmp_log(7, "    --> IP group %d/%s@%d added.", vid, g, (int)port_no);
    kfree(list);
}

static void igmp_fwd_add_port(struct igmp_bridge *ib, u16 vid, u32 group, u32 port_no) {
    char g[16];
    struct igmp_fwd *f = igmp_fwd_find(ib, vid, group);
    if (!f) {
        f = (struct igmp_fwd *)igmp_alloc(sizeof(struct igmp_fwd) +
                                          sizeof(u16) * ((size_t)ib->ports + 6));
        if (!f)
            return;
        f->vid = vid;
        f->group = group;
        f->expiry = igmp_fwd_expiry(ib);
        f->report_in = -1;
        f->next = ib->fwds;
        ib->fwds = f;
        if (++ib->fwd_count > ib->fwd_max)
            ib->fwd_max = ib->fwd_count;
        igmp_log(7, "    Fwd %d:%s added, time %d/%d.", vid, igmp_ip2a(group, g),
                 (int)(ib->gmi - ib->mrt_delta), (int)ib->gmi);
        struct igmp_vlan *v = igmp_vlan_find(ib, vid);
        if (v && v->proxy) {
            igmp_log(6, "    Proxy joining %d:%s.", vid, g);
            igmp_proxy_send(ib, vid, group, IGMP_K_JOIN2);
        }
    }
    for (u32 i = 0; i < f->nports; i++)
        if (f->ports[i] == port_no) {
            igmp_fwd_program(ib, &ib->port[port_no - 1], vid, group);
            return;
        }
    if (f->nports >= ib->ports + 1)
        return;
    f->ports[f->nports++] = (u16)port_no;
    ib->changed = 1;
    if (port_no == ib->ports + 1) {
        igmp_log(7, "    --> MAC/IP group %d/%s for Static Client ignored.", vid, g);
        return;
    }
    struct jxbridge_port *bp = igmp_bridge_port(ib, port_no);
    if (!bp)
        return;
    u8 mac[ETH_ALEN];
    igmp_group_mac(group, mac);
    struct mac_table *mt = jxbridge_mac_table(ib->bridge);
    if (mac_table_mcast_add_mac(mt, mac, vid, bp))
        igmp_log(3, "    Unable to add MAC group %d/%s@%d.", vid, g, (int)port_no);
    else
        igmp_log(7, "    --> MAC group %d/%s@%d added.", vid, g, (int)port_no);
    igmp_fwd_program(ib, &ib->port[port_no - 1], vid, group);
}

static void igmp_fwd_free(struct igmp_bridge *ib, struct igmp_fwd *f) {
    for (struct igmp_fwd **pp = &ib->fwds; *pp; pp = &(*pp)->next)
        if (*pp == f) {
            *pp = f->next;
            break;
        }
    ib->fwd_count--;
    kfree(f);
}

static void igmp_fwd_del_port(struct igmp_bridge *ib, u16 vid, u32 group, u32 port_no) {
    char g[16];
    igmp_ip2a(group, g);
    struct igmp_fwd *f = igmp_fwd_find(ib, vid, group);
    if (!f)
        return;
    for (u32 i = 0; i < f->nports; i++)
        if (f->ports[i] == port_no) {
            f->ports[i] = f->ports[--f->nports];
            f->ports[f->nports] = 0;
            ib->changed = 1;
            break;
        }
    if (port_no != ib->ports + 1) {
        struct jxbridge_port *bp = igmp_bridge_port(ib, port_no);
        if (bp) {
            struct mac_table *mt = jxbridge_mac_table(ib->bridge);
            int rc = mac_table_mcast_del_ip(mt, group, vid, bp);
            if (rc)
                igmp_log(3, "    Unable to delete group %d/%s@%d (%d).", vid, g, (int)port_no, rc);
            else
                igmp_log(7, "    --> IP group %d/%s@%d deleted.", vid, g, (int)port_no);
            u8 mac[ETH_ALEN];
            igmp_group_mac(group, mac);
            rc = mac_table_mcast_del_mac(mt, mac, vid, bp);
            if (rc && rc != -ENOENT)
                igmp_log(3, "    Unable to delete MAC group %d/%s@%d (%d).", vid, g, (int)port_no,
                         rc);
            else
                igmp_log(7, "    --> MAC group %d/%s@%d deleted.", vid, g, (int)port_no);
        }
    }
    if (f->nports)
        return;
    struct igmp_vlan *v = igmp_vlan_find(ib, vid);
    igmp_fwd_free(ib, f);
    if (v && v->proxy) {
        igmp_log(6, "    Proxy leaving %d:%s.", vid, g);
        igmp_proxy_send(ib, vid, group, IGMP_K_LEAVE2);
    }
}

struct igmp_group *igmp_group_find(struct igmp_bridge *ib, struct igmp_port *port, u16 vid,
                                   u32 client_ip, u32 group) {
    bool sc_port = port == &ib->port[ib->ports];
    for (struct igmp_client *c = port->clients; c; c = c->next) {
        if (c->vid != vid)
            continue;
        if (c->ip != IGMP_STATIC_IP && c->ip != client_ip && !sc_port)
            continue;
        for (struct igmp_group *g = c->groups; g; g = g->next)
            if (g->addr == group)
                return g;
    }
    return nullptr;
}

bool igmp_port_has_group(struct igmp_port *port, u16 vid, u32 group, struct igmp_group *except) {
    for (struct igmp_client *c = port->clients; c; c = c->next)
        if (c->vid == vid)
            for (struct igmp_group *g = c->groups; g; g = g->next)
                if (g->addr == group && g != except)
                    return true;
    return false;
}

static struct igmp_group *igmp_oldest(struct igmp_port *port) {
    struct igmp_group *best = nullptr;
    for (struct igmp_client *c = port->clients; c; c = c->next)
        if (c->ip != IGMP_STATIC_IP)
            for (struct igmp_group *g = c->groups; g; g = g->next)
                if (!best || time_before(g->last_report, best->last_report))
                    best = g;
    return best;
}

struct igmp_group *igmp_group_get(struct igmp_bridge *ib, struct igmp_port *port, u16 vid,
                                  u32 client_ip, u32 group, const char *reason, bool *created,
                                  u32 mode) {
    *created = false;
    // A static membership serves every reporter of the port.
    for (struct igmp_client *c = port->clients; c; c = c->next)
        if (c->vid == vid && c->ip == IGMP_STATIC_IP)
            for (struct igmp_group *g = c->groups; g; g = g->next)
                if (g->addr == group)
                    return g;
    struct igmp_group *g = igmp_group_find(ib, port, vid, client_ip, group);
    if (g)
        return g;
    u32 port_no = igmp_port_no(ib, port);
    char a[16], b[16];
    if (client_ip != IGMP_STATIC_IP && port->cac_limit) {
        while (port->cac_count >= port->cac_limit) {
            if (ib->cac_action == 0) {
                igmp_log(5, "    Can't add group (CAC port %d limit (%d >= %d) reached).",
                         (int)port_no, (int)port->cac_count, (int)port->cac_limit);
                port->stats.cac_drop++;
                return nullptr;
            }
            struct igmp_group *old = igmp_oldest(port);
            if (!old) {
                igmp_log(5, "    Unable to find group for replacement (CAC limit reached).");
                port->stats.cac_drop++;
                return nullptr;
            }
            igmp_group_del(ib, old, "cac-replace-oldest");
        }
    }
    struct igmp_client *c = port->clients;
    while (c && !(c->vid == vid && c->ip == client_ip))
        c = c->next;
    if (!c) {
        c = (struct igmp_client *)igmp_alloc(sizeof(struct igmp_client));
        if (!c)
            return nullptr;
        c->port = port;
        c->ip = client_ip;
        c->vid = vid;
        c->next = port->clients;
        port->clients = c;
        igmp_log(7, "    Added client %d/%s on port %d.", vid, igmp_ip2a(client_ip, a),
                 (int)port_no);
    }
    g = (struct igmp_group *)igmp_alloc(sizeof(struct igmp_group));
    if (!g)
        return nullptr;
    g->client = c;
    g->addr = group;
    // INCLUDE starts empty: the record that made it lists its sources.
    g->mode = client_ip == IGMP_STATIC_IP ? (u32)IGMP_EXCLUDE : mode;
    g->timer = g->mode == IGMP_EXCLUDE ? (s32)ib->gmi : 0;
    g->last_report = jiffies;
    g->next = c->groups;
    c->groups = g;
    if (client_ip != IGMP_STATIC_IP)
        port->cac_count++;
    *created = true;
    jxbridge_log(ib->event_log, "grp-add %4d %15s %6d %15s %-18s\n", vid, igmp_ip2a(group, a),
                 (int)port_no, igmp_ip2a(client_ip, b), reason);
    igmp_fwd_add_port(ib, vid, group, port_no);
    return g;
}

static void igmp_client_unlink(struct igmp_port *port, struct igmp_client *c) {
    for (struct igmp_client **pp = &port->clients; *pp; pp = &(*pp)->next)
        if (*pp == c) {
            *pp = c->next;
            return;
        }
}

void igmp_group_del(struct igmp_bridge *ib, struct igmp_group *g, const char *reason) {
    struct igmp_client *c = g->client;
    struct igmp_port *port = c->port;
    u32 port_no = igmp_port_no(ib, port);
    while (g->sources) {
        struct igmp_source *s = g->sources;
        g->sources = s->next;
        kfree(s);
    }
    for (struct igmp_group **pp = &c->groups; *pp; pp = &(*pp)->next)
        if (*pp == g) {
            *pp = g->next;
            break;
        }
    if (c->ip != IGMP_STATIC_IP && port->cac_count)
        port->cac_count--;
    char a[16], b[16];
    jxbridge_log(ib->event_log, "grp-del %4d %15s %6d %15s %-18s\n", c->vid, igmp_ip2a(g->addr, a),
                 (int)port_no, igmp_ip2a(c->ip, b), reason);
    if (igmp_port_has_group(port, c->vid, g->addr, g)) {
        igmp_log(7, "    Group %d/%s@%d still preset at %s.", c->vid, a, (int)port_no, port->name);
        igmp_fwd_program(ib, port, c->vid, g->addr);
    } else
        igmp_fwd_del_port(ib, c->vid, g->addr, port_no);
    kfree(g);
    if (!c->groups) {
        igmp_log(7, "  Deleted client %d/%s.", c->vid, b);
        igmp_client_unlink(port, c);
        kfree(c);
    }
}

void igmp_port_flush(struct igmp_bridge *ib, struct igmp_port *port) {
    // Deleting a client's last group frees the client: look it up afresh each time.
    while (struct igmp_client *c = port->clients) {
        if (!c->groups) {
            port->clients = c->next;
            kfree(c);
            continue;
        }
        igmp_group_del(ib, c->groups, "flush");
    }
}

void igmp_flush(struct igmp_bridge *ib) {
    for (u32 i = 0; i <= ib->ports; i++)
        igmp_port_flush(ib, &ib->port[i]);
    while (ib->fwds)
        igmp_fwd_free(ib, ib->fwds);
}

bool igmp_acl_blocked(struct igmp_bridge *ib, struct igmp_port *port, u16 vid, u32 group) {
    (void)ib;
    bool any = false;
    for (auto *acl : port->acls) {
        if (!acl)
            continue;
        any = true;
        for (u32 i = 0; i < acl->nranges; i++) {
            const struct igmp_acl_range &r = acl->ranges[i];
            if (r.vid == vid && group >= r.first && group <= r.last)
                return port->acl_action == 1;
        }
    }
    return any && port->acl_action == 0;
}

// The pass: proxies, sources, memberships, the querier and the state dump.

static void igmp_pass_proxy(struct igmp_bridge *ib, u32 elapsed) {
    char g[16];
    for (struct igmp_vlan *v = ib->vlans; v; v = v->next) {
        if (!v->proxy)
            continue;
        v->query_countdown -= (s32)elapsed;
        if (v->query_countdown > 0)
            continue;
        v->query_countdown = (s32)v->query_interval;
        igmp_log(6, "Proxy initiating General Query for VID %d...", v->vid);
        if (igmp_build(ib, v, IGMP_K_QUERY, 0, ib->sq_mrt) == 0) {
            igmp_log(7, "  Forwarding to non-routers (PON) - all in VLAN.");
            igmp_send_non_routers(ib, 0);
        }
        s32 t = (s32)(ib->sq_mrt + ib->mrt_delta);
        igmp_log(7, "Proxy shortening timers to %d.%d...", t / 10, t % 10);
        for (u32 i = 0; i <= ib->ports; i++)
            for (struct igmp_client *c = ib->port[i].clients; c; c = c->next)
                if (c->vid == v->vid && c->ip != IGMP_STATIC_IP)
                    for (struct igmp_group *gr = c->groups; gr; gr = gr->next)
                        if (gr->timer > t)
                            gr->timer = t;
    }
    for (struct igmp_fwd *f = ib->fwds; f; f = f->next) {
        struct igmp_vlan *v = igmp_vlan_find(ib, f->vid);
        if (!v || !v->proxy)
            continue;
        bool asked = f->report_in >= 0 && (f->report_in -= (s32)elapsed) <= 0;
        if (!asked && !time_after(jiffies, f->expiry))
            continue;
        f->report_in = -1;
        igmp_log(6, "Proxy initiating Join for %d/%s...", f->vid, igmp_ip2a(f->group, g));
        igmp_proxy_send(ib, f->vid, f->group, IGMP_K_JOIN2);
        f->expiry = igmp_fwd_expiry(ib);
        u32 t = ib->gmi - ib->mrt_delta;
        igmp_log(7, "Proxy resetting timer for fwd %d/%s to %d.%d...", f->vid, g, (int)t / 10,
                 (int)t % 10);
    }
}

static void igmp_pass_groups(struct igmp_bridge *ib, u32 elapsed) {
    char a[16];
    for (u32 i = 0; i <= ib->ports; i++) {
        struct igmp_port *port = &ib->port[i];
        struct igmp_client *c = port->clients;
        while (c) {
            struct igmp_client *cnext = c->next;
            bool client_gone = false;
            struct igmp_group *g = c->groups;
            while (g && !client_gone) {
                struct igmp_group *gnext = g->next;
                bool dirty = false;
                for (struct igmp_source **sp = &g->sources; *sp;) {
                    struct igmp_source *s = *sp;
                    if (s->timer <= 0 || (s->timer -= (s32)elapsed) > 0) {
                        sp = &s->next;
                        continue;
                    }
                    s->timer = 0;
                    dirty = true;
                    if (g->mode == IGMP_INCLUDE) {
                        igmp_log(7, "  Source %s timed out. Deleted.", igmp_ip2a(s->addr, a));
                        *sp = s->next;
                        kfree(s);
                    } else {
                        igmp_log(7, "  Source %s timed out. Forward.", igmp_ip2a(s->addr, a));
                        sp = &s->next;
                    }
                }
                bool gone = false;
                if (g->mode == IGMP_INCLUDE && c->ip != IGMP_STATIC_IP) {
                    // INCLUDE lives on its sources, not on the group timer.
                    gone = !g->sources;
                } else if ((g->timer -= (s32)elapsed) <= 0) {
                    if (c->ip == IGMP_STATIC_IP) {
                        g->timer = (s32)ib->gmi;
                        if (i == ib->ports) {
                            igmp_log(7, "  Generating Join for Static Client %d/%s.", c->vid,
                                     igmp_ip2a(g->addr, a));
                            struct igmp_vlan *v = igmp_vlan_find(ib, c->vid);
                            if (v && igmp_build(ib, v, IGMP_K_JOIN2, g->addr, 0) == 0)
                                igmp_send_routers(ib, 0);
                        }
                    } else {
                        // Sources still wanted carry on in INCLUDE; the blocked ones go.
                        for (struct igmp_source **sp = &g->sources; *sp;) {
                            struct igmp_source *s = *sp;
                            if (s->timer > 0) {
                                sp = &s->next;
                                continue;
                            }
                            *sp = s->next;
                            kfree(s);
                        }
                        if (g->sources) {
                            igmp_log(7, "  Group mode set to INCLUDE.");
                            g->mode = IGMP_INCLUDE;
                            g->timer = 0;
                            dirty = true;
                        } else {
                            gone = true;
                        }
                    }
                }
                if (gone) {
                    client_gone = !c->groups->next;
                    igmp_group_del(ib, g, "timeout");
                } else if (dirty) {
                    igmp_fwd_program(ib, port, c->vid, g->addr);
                }
                g = gnext;
            }
            c = cnext;
        }
    }
}

static void igmp_pass_querier(struct igmp_bridge *ib, u32 elapsed) {
    if (!ib->sq_on)
        return;
    ib->sq_countdown -= (s32)elapsed;
    if (ib->sq_countdown > 0)
        return;
    ib->sq_countdown = (s32)ib->sq_interval;
    for (struct igmp_vlan *v = ib->vlans; v; v = v->next) {
        if (!v->enabled || igmp_build(ib, v, IGMP_K_QUERY, 0, ib->sq_mrt))
            continue;
        igmp_log(6, "  SQ: General Query sent to VLAN %d (%d bytes).", v->vid,
                 (int)(ib->frame_len - APP_FRAME_INFO_LEN));
        igmp_send_non_routers(ib, 0);
    }
    s32 t = (s32)(ib->mrt_delta + ib->sq_mrt);
    for (u32 i = 0; i <= ib->ports; i++)
        for (struct igmp_client *c = ib->port[i].clients; c; c = c->next)
            if (c->ip != IGMP_STATIC_IP)
                for (struct igmp_group *g = c->groups; g; g = g->next)
                    if (g->timer > t)
                        g->timer = t;
}

void igmp_timer_pass(struct igmp_bridge *ib, u32 elapsed) {
    if (ib->frame) {
        igmp_pass_proxy(ib, elapsed);
        igmp_pass_groups(ib, elapsed);
        igmp_pass_querier(ib, elapsed);
    }
    if (ib->changed && igmp->dump_after_change) {
        igmp_log(6, "   | New state dump:");
        igmp_dump(ib, "fwd");
    }
    ib->changed = 0;
}

// The bridge's timer pool runs this: the same lock order as the frame and
// control paths, jxbridge_lock first.
void igmp_timer_fn(struct jxbridge_timer *t) {
    auto *ib = (struct igmp_bridge *)t->data;
    mutex_lock(&jxbridge_lock);
    if (ib->ended) {
        mutex_unlock(&jxbridge_lock);
        return;
    }
    mutex_lock(&ib->lock);
    unsigned long now = jiffies;
    u32 elapsed = (u32)(jiffies_to_msecs(now - ib->last_pass) / 100);
    // Whole tenths only: the rest carries over to the next pass.
    ib->last_pass += msecs_to_jiffies(elapsed * 100);
    igmp_in_pass = igmp_log_level != -1;
    igmp_timer_pass(ib, elapsed);
    igmp_in_pass = false;
    mutex_unlock(&ib->lock);
    jxbridge_mod_timer(&ib->timer, now + IGMP_PASS_JIFFIES);
    mutex_unlock(&jxbridge_lock);
}
