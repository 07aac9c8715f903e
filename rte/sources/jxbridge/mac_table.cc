// The bridge's MAC address table: learning, lookup, aging and the delete
// operations. Entries sit in hash buckets that the control files list as they
// are; an exact-match index beside them finds an entry without a bucket walk.
// Every caller holds jxbridge_lock.
#include "jxbridge.h"

// Module-wide: the shared caches, made by the first table and destroyed with
// the last one, and what all tables share.
static struct kmem_cache *mac_table_cache;        // "mac_table": unicast entries
static struct kmem_cache *mac_table_mc_src_cache; // "mac_table_mc_src": multicast sources

struct kmem_cache *mac_table_src_cache() {
    return mac_table_mc_src_cache;
}
static int mac_table_tables;                      // live tables (atomic)
static unsigned long mac_table_forced_cleanup_at; // jiffies of the last forced clean-up
static bool mac_table_forced_cleanup_done;
static int mac_table_zero_mac_budget;
static_assert(MAC_TABLE_EV_PORT_DELETE == JXBRIDGE_FEV_MAC_PORT_DELETE &&
              MAC_TABLE_EV_FLUSH_BEGIN == JXBRIDGE_FEV_MAC_FLUSH_BEGIN &&
              MAC_TABLE_EV_FLUSH_END == JXBRIDGE_FEV_MAC_FLUSH_END &&
              MAC_TABLE_EV_REMOVE == JXBRIDGE_FEV_MAC && MAC_TABLE_EV_AGE == JXBRIDGE_FEV_MAC_AGE);
#define MAC_TABLE_ZERO_MAC_LOGS 10
#define MAC_TABLE_MC_SRC_SIZE 24
#define MAC_TABLE_INDEX_MIN 64

struct mac_table_timers {
    struct jxbridge_timer aging;
    struct jxbridge_timer msg;
};

void mac_table_module_init() {
    mac_table_zero_mac_budget = MAC_TABLE_ZERO_MAC_LOGS;
    mac_table_forced_cleanup_done = false;
    mac_table_forced_cleanup_at = 0;
}

static const char *mac_table_section2a(u32 section) {
    static const char *const names[] = {"unicast", "multicast", "both"};
    return section < ARRAY_SIZE(names) ? names[section] : "<unknown>";
}

static const char *mac_table_port_name(const struct jxbridge_port *port) {
    return port ? port->dev->name : "none";
}

static s64 mac_table_now() {
    return ktime_get_real_seconds();
}

// Buckets: the sum of the MAC's three 16-bit words in native order.
static inline u32 mac_table_sum(const u8 *mac) {
    return (u32)(mac[0] | mac[1] << 8) + (u32)(mac[2] | mac[3] << 8) + (u32)(mac[4] | mac[5] << 8);
}

static inline struct mac_table_node **mac_table_bucket(struct mac_table *mt, const u8 *mac) {
    return &mt->hash[mac_table_sum(mac) % mt->mac_hash];
}

void mac_table_link(struct mac_table_node **head, struct mac_table_node *n) {
    n->next = *head;
    if (n->next)
        n->next->pprev = &n->next;
    *head = n;
    n->pprev = head;
}

void mac_table_unlink(struct mac_table_node *n) {
    *n->pprev = n->next;
    if (n->next)
        n->next->pprev = n->pprev;
    n->next = nullptr;
    n->pprev = nullptr;
}

static inline struct mac_table_entry *mac_table_node_entry(struct mac_table_node *n) {
    return container_of(n, struct mac_table_entry, node);
}

// The index: open addressing with linear probing over (MAC, VID) keys. The
// top bit marks a used slot, since the all-zero MAC in VLAN 0 is a valid key.
static inline u64 mac_table_key(const u8 *mac, u16 vid) {
    u64 k = 0;
    memcpy(&k, mac, ETH_ALEN);
    return k | (u64)(vid & 0xfff) << 48 | 1ull << 63;
}

// The high key bits (the MAC's last bytes, where stations differ most, and
// the VID) are folded down first: a product's bits only depend on the bits
// below them, and the index takes the low bits of the upper half.
static inline u32 mac_table_key_hash(u64 key) {
    return (u32)(((key ^ (key >> 32)) * 0x9E3779B97F4A7C15ull) >> 32);
}

static struct mac_table_index_slot *mac_table_index_find(struct mac_table *mt, u64 key) {
    u32 mask = mt->index_mask;
    for (u32 i = mac_table_key_hash(key) & mask;; i = (i + 1) & mask) {
        struct mac_table_index_slot *s = &mt->index[i];
        if (s->key == key)
            return s;
        if (!s->key)
            return nullptr;
    }
}

static void mac_table_index_place(struct mac_table_index_slot *index, u32 mask,
                                  const struct mac_table_index_slot &slot) {
    u32 i = mac_table_key_hash(slot.key) & mask;
    while (index[i].key)
        i = (i + 1) & mask;
    index[i] = slot;
}

// Makes room for one more key: the table stays at most three quarters full.
static int mac_table_index_reserve(struct mac_table *mt) {
    u64 cap = (u64)mt->index_mask + 1;
    if (((u64)mt->index_used + 1) * 4 <= cap * 3)
        return 0;
    u64 ncap = cap * 2;
    if (ncap > 0x80000000ull)
        return -ENOMEM;
    auto *n =
        (struct mac_table_index_slot *)jxbridge_zalloc(sizeof(struct mac_table_index_slot) * ncap);
    if (!n)
        return -ENOMEM;
    for (u64 i = 0; i < cap; i++)
        if (mt->index[i].key)
            mac_table_index_place(n, (u32)(ncap - 1), mt->index[i]);
    kfree(mt->index);
    mt->index = n;
    mt->index_mask = (u32)(ncap - 1);
    return 0;
}

static void mac_table_index_insert(struct mac_table *mt, struct mac_table_entry *e) {
    struct mac_table_index_slot slot = {mac_table_key(e->mac, e->vid), e, e->port, e->timestamp};
    mac_table_index_place(mt->index, mt->index_mask, slot);
    mt->index_used++;
}

// Removal shifts later keys of the probe run back, so no tombstones build up.
static void mac_table_index_erase(struct mac_table *mt, const struct mac_table_entry *e) {
    u64 key = mac_table_key(e->mac, e->vid);
    u32 mask = mt->index_mask;
    u32 i = mac_table_key_hash(key) & mask;
    while (mt->index[i].key != key) {
        if (!mt->index[i].key)
            return;
        i = (i + 1) & mask;
    }
    for (u32 j = i;;) {
        j = (j + 1) & mask;
        u64 k = mt->index[j].key;
        if (!k)
            break;
        u32 home = mac_table_key_hash(k) & mask;
        // The key at j may fill the hole at i unless its home lies in (i, j].
        bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (stays)
            continue;
        mt->index[i] = mt->index[j];
        i = j;
    }
    mt->index[i] = {};
    mt->index_used--;
}

static inline struct mac_table_entry *mac_table_find(struct mac_table *mt, const u8 *mac, u16 vid) {
    struct mac_table_index_slot *s = mac_table_index_find(mt, mac_table_key(mac, vid));
    return s ? s->entry : nullptr;
}

static inline struct mac_table_index_slot *mac_table_slot_of(struct mac_table *mt,
                                                             const struct mac_table_entry *e) {
    return mac_table_index_find(mt, mac_table_key(e->mac, e->vid));
}

// The entry and its index slot change together.
static void mac_table_set_port(struct mac_table *mt, struct mac_table_entry *e,
                               struct jxbridge_port *port) {
    e->port = port;
    mac_table_slot_of(mt, e)->port = port;
}

static void mac_table_touch(struct mac_table_index_slot *s, s64 now) {
    s->timestamp = now;
    s->entry->timestamp = now;
}

// Counting an entry. Only a new entry can overflow the table: a move, a
// change or a migration re-counts one that is already there.
static int mac_table_count_inc(struct mac_table *mt, struct jxbridge_port *port, u16 vid,
                               const u8 *mac, u8 is_static, bool is_new, const char *caller) {
    if (is_new && mt->count >= mt->max_size) {
        unsigned long now = jiffies;
        if (!mac_table_forced_cleanup_done ||
            time_after(now, mac_table_forced_cleanup_at + msecs_to_jiffies(1000))) {
            MT_TRACE(mt, "[MAC Table] Running cleanup.\n");
            mac_table_cleanup(mt);
            mac_table_forced_cleanup_at = now;
            mac_table_forced_cleanup_done = true;
        }
        if (mt->count >= mt->max_size) {
            MT_TRACE(mt, "[MAC Table] MAC table is full.\n");
            return -EOVERFLOW;
        }
    }
    int rc = mac_table_port_security_inc(mt, port, vid, mac, is_static, caller);
    if (rc)
        return rc;
    mt->count++;
    return 0;
}

static void mac_table_count_dec(struct mac_table *mt, struct mac_table_entry *e,
                                const char *caller) {
    mac_table_port_security_dec(mt, e, caller);
    if (!mt->count) {
        printk(KERN_ERR "[MAC Table count error] %s()\n", caller);
        return;
    }
    mt->count--;
}

static void mac_table_report(int event, struct mac_table_entry *e) {
    jxbridge_flow_event(event, e->port, e->mac, (void *)(uintptr_t)e->vid);
}

// Takes an entry out of its bucket and the index and frees it; counted out
// unless the caller already did.
static void mac_table_remove(struct mac_table *mt, struct mac_table_entry *e, int event,
                             bool uncount, const char *caller) {
    mac_table_unlink(&e->node);
    mac_table_index_erase(mt, e);
    if (uncount)
        mac_table_count_dec(mt, e, caller);
    mac_table_report(event, e);
    kmem_cache_free(mac_table_cache, e);
}

// Calls fn for every unicast entry, bucket by bucket; fn may remove the entry
// it is given and returns false to stop.
template <typename Fn> static void mac_table_for_each(struct mac_table *mt, Fn fn) {
    for (u32 b = 0; b < mt->mac_hash; b++) {
        struct mac_table_node *n = mt->hash[b];
        while (n) {
            struct mac_table_node *next = n->next;
            if (!fn(mac_table_node_entry(n)))
                return;
            n = next;
        }
    }
}

// A new entry that is known to be absent.
static int mac_table_add(struct mac_table *mt, struct jxbridge_port *port, const u8 *mac, u16 vid,
                         u8 is_static) {
    int rc = mac_table_count_inc(mt, port, vid, mac, is_static, true, __func__);
    if (rc)
        return rc;
    struct mac_table_entry *e = nullptr;
    if (mac_table_index_reserve(mt) == 0)
        e = (struct mac_table_entry *)kmem_cache_zalloc(mac_table_cache, GFP_ATOMIC);
    if (!e) {
        struct mac_table_entry gone = {};
        ether_addr_copy(gone.mac, mac);
        gone.vid = vid;
        gone.port = port;
        gone.is_static = is_static;
        mac_table_count_dec(mt, &gone, __func__);
        MT_TRACE(mt, "[MAC Table] No memory.\n");
        return -ENOMEM;
    }
    ether_addr_copy(e->mac, mac);
    e->vid = vid;
    e->port = port;
    e->is_static = is_static;
    e->timestamp = mac_table_now();
    mac_table_link(mac_table_bucket(mt, mac), &e->node);
    mac_table_index_insert(mt, e);
    MT_TRACE(mt, "[MAC Table] Added.\n");
    return 0;
}

int mac_table_ioctl_insert(struct mac_table *mt, struct jxbridge_port *port, const u8 *mac, u16 vid,
                           u8 is_static, u8 skip_lookup) {
    (void)skip_lookup; // the index makes the look-up free, and it keeps (MAC, VID) unique
    if (!mt || !port || !mac)
        return -EINVAL;
    MT_TRACE(mt, "[MAC Table] %s()\n", __func__);
    vid &= 0xfff;
    is_static = is_static ? 1 : 0;
    if (is_multicast_ether_addr(mac)) {
        MT_TRACE(mt, "[MAC Table] %s()=-EPERM\n", __func__);
        return -EPERM;
    }
    struct mac_table_index_slot *slot = mac_table_index_find(mt, mac_table_key(mac, vid));
    if (!slot)
        return mac_table_add(mt, port, mac, vid, is_static);
    struct mac_table_entry *e = slot->entry;
    if (e->port != port || e->is_static != is_static) {
        int rc = mac_table_count_inc(mt, port, vid, mac, is_static, false, __func__);
        if (rc)
            return rc;
        mac_table_count_dec(mt, e, __func__);
        MT_TRACE(mt, "[MAC Table] Changing existing entry.\n");
        e->port = slot->port = port;
        e->is_static = is_static;
    }
    mac_table_touch(slot, mac_table_now());
    return 0;
}

// GEM ports of one ONU behind one OLT: the OLT is the device they share.
static bool mac_table_same_olt_onu(const struct jxbridge_port *a, const struct jxbridge_port *b) {
    return a->kind == JXBRIDGE_PORT_PON_GEM && b->kind == JXBRIDGE_PORT_PON_GEM &&
           a->dev == b->dev && a->onu_id == b->onu_id;
}

int mac_table_learn(struct mac_table *mt, struct jxbridge_port *P, const u8 *mac, u16 vid) {
    if (!mt || !P || !mac)
        return -EINVAL;
    MT_TRACE(mt, "[MAC Table] %s()\n", __func__);
    if (is_multicast_ether_addr(mac)) {
        MT_TRACE(mt, "[MAC Table]   Skipping broadcast/multicast.\n");
        return 0;
    }
    // A VID is 12 bits everywhere in the table, the ignore bitmap included.
    vid &= 0xfff;
    if (is_zero_ether_addr(mac) && mac_table_zero_mac_budget > 0) {
        printk(KERN_INFO "[MAC Table]   Zero source MAC. Log counter=%d\n",
               mac_table_zero_mac_budget);
        // The frame in the pipeline is the one being learned from.
        const struct sk_buff *skb = mt->bridge ? mt->bridge->tracer.skb : nullptr;
        if (skb)
            jxbridge_trace_frame_data("[Log zero MAC]     |", skb->data, skb->len,
                                      mt->bridge->outer_ethertype);
        mac_table_zero_mac_budget--;
    }
    if (mt->vlan_ignore[vid >> 5] & (1u << (vid & 31))) {
        MT_TRACE(mt, "[MAC Table]   No learning in VLAN %d.\n", vid);
        return 0;
    }
    if (mt->msg_callback) {
        struct mac_table_port *ps = mac_table_port_of(mt, P);
        int rc = ps && ps->msg ? mac_table_mac_source_guard_check(mt, P, mac, vid) : 0;
        if (rc)
            return rc;
    }
    struct mac_table_index_slot *slot = mac_table_index_find(mt, mac_table_key(mac, vid));
    if (!slot)
        return mac_table_add(mt, P, mac, vid, 0);
    if (slot->port == P) {
        // The frame path: the entry itself is written once a second at most.
        s64 now = mac_table_now();
        if (slot->timestamp != now)
            mac_table_touch(slot, now);
        MT_TRACE(mt, "[MAC Table]   Updated existing.\n");
        return 0;
    }
    struct mac_table_entry *e = slot->entry;
    if (e->is_static) {
        MT_TRACE(mt, "[MAC Table]   Can't move static MAC to different port.\n");
        return -EBUSY;
    }
    // A station move from Q to P.
    struct jxbridge_port *Q = e->port;
    struct jxbridge *B = mt->bridge;
    if (B->switching_mode == JXBRIDGE_SWITCHING_CORD) {
        if (mac_table_same_olt_onu(Q, P)) {
            mac_table_touch(slot, mac_table_now());
            MT_TRACE(mt,
                     "[MAC Table]   VLAN+MAC already learned on port=%d which is on same olt=%d "
                     "id and onu id=%d. Do not learn on new gem port, couse it will trigger mac "
                     "migration.\n",
                     (int)Q->port_no, Q->dev->ifindex, (int)Q->onu_id);
            return 0;
        }
        if (P == B->ont0_port) {
            MT_TRACE(mt,
                     "[MAC Table]   VLAN+MAC already learned on port=%d, do not allow MAC "
                     "migration to NNI(%d)\n",
                     (int)Q->port_no, (int)P->port_no);
            return 0;
        }
    }
    if (mac_table_count_inc(mt, P, vid, mac, 0, false, __func__)) {
        // The entry keeps pointing at Q; left unrefreshed, it ages out and
        // the station can be learned where it is now.
        MT_TRACE(mt, "[MAC Table]   Can't move - destination full.\n");
        return 0;
    }
    mac_table_count_dec(mt, e, __func__);
    mac_table_report(MAC_TABLE_EV_REMOVE, e);
    e->port = slot->port = P;
    MT_TRACE(mt, "[MAC Table]   Moved from '%s' to '%s'..\n", Q->dev->name, P->dev->name);
    mac_table_touch(slot, mac_table_now());
    return 0;
}

struct jxbridge_port *mac_table_lookup(struct mac_table *mt, const u8 *mac, u16 vid) {
    if (!mt || !mac)
        return nullptr;
    MT_TRACE(mt, "[MAC Table] %s()\n", __func__);
    if (vid > 0xfff) // entries carry 12-bit VIDs
        return nullptr;
    struct mac_table_index_slot *slot = mac_table_index_find(mt, mac_table_key(mac, vid));
    return slot ? slot->port : nullptr;
}

void *mac_table_lookup_entry(struct mac_table *mt, int kind, const u8 *mac, u16 vid) {
    if (!mt || !mac)
        return nullptr;
    MT_TRACE(mt, "[MAC Table] %s()\n", __func__);
    if (kind != MAC_TABLE_ENTRY_MULTICAST)
        return vid > 0xfff ? nullptr : mac_table_find(mt, mac, vid);
    // Multicast entries begin with the same links, MAC and VID.
    u32 b = mt->mac_hash + mac_table_sum(mac) % mt->mcast_hash;
    for (struct mac_table_node *n = mt->hash[b]; n; n = n->next) {
        struct mac_table_entry *e = mac_table_node_entry(n);
        if (e->vid == vid && ether_addr_equal(e->mac, mac))
            return e;
    }
    return nullptr;
}

int mac_table_lookup_by_mac_port(struct mac_table *mt, const u8 *mac, u32 port_no, u8 *vlans) {
    if (!mt || !mac || !vlans)
        return -EINVAL;
    MT_TRACE(mt, "[MAC Table] %s()\n", __func__);
    // Every VLAN instance of a MAC shares its bucket.
    for (struct mac_table_node *n = *mac_table_bucket(mt, mac); n; n = n->next) {
        struct mac_table_entry *e = mac_table_node_entry(n);
        if (e->port->port_no == port_no && ether_addr_equal(e->mac, mac))
            vlans[e->vid >> 3] |= 0x80 >> (e->vid & 7);
    }
    return 0;
}

int mac_table_delete_by_mac(struct mac_table *mt, const u8 *mac, u16 vid) {
    if (!mt || !mac)
        return -EINVAL;
    MT_TRACE(mt, "[MAC Table] %s()\n", __func__);
    if (vid > 0xfff)
        return 0;
    struct mac_table_entry *e = mac_table_find(mt, mac, vid);
    if (e)
        mac_table_remove(mt, e, MAC_TABLE_EV_REMOVE, true, __func__);
    return 0;
}

int mac_table_delete_by_port_section(struct mac_table *mt, struct jxbridge_port *port, u32 section,
                                     u32 kind) {
    if (!mt || !port)
        return -EINVAL;
    MT_TRACE(mt, "[MAC Table] %s(%s, port=%s, domain=%s, kind=%u)\n", __func__,
             mt->bridge->dev->name, port->dev->name, mac_table_section2a(section), kind);
    if (section > MAC_TABLE_SECTION_BOTH || kind > MAC_TABLE_KIND_ALL)
        return -EINVAL;
    if (section != MAC_TABLE_SECTION_MULTICAST)
        mac_table_for_each(mt, [&](struct mac_table_entry *e) {
            bool match = kind == MAC_TABLE_KIND_ALL || e->is_static == (kind == 0);
            if (e->port == port && match)
                mac_table_remove(mt, e, MAC_TABLE_EV_PORT_DELETE, true, __func__);
            return true;
        });
    if (section != MAC_TABLE_SECTION_UNICAST)
        mac_table_mcast_del_port(mt, port, MAC_TABLE_ANY_VID);
    return 0;
}

int mac_table_delete_by_port(struct mac_table *mt, struct jxbridge_port *port, u32 section) {
    return mac_table_delete_by_port_section(mt, port, section, MAC_TABLE_KIND_DYNAMIC);
}

int mac_table_delete_by_port_and_vid(struct mac_table *mt, struct jxbridge_port *port, u16 vid,
                                     u32 section) {
    if (!mt)
        return -EINVAL;
    MT_TRACE(mt, "[MAC Table] %s(%s, port=%s, vid=%d, domain=%s)\n", __func__,
             mt->bridge->dev->name, mac_table_port_name(port), (int)vid,
             mac_table_section2a(section));
    if (section > MAC_TABLE_SECTION_BOTH)
        return -EINVAL;
    if (section != MAC_TABLE_SECTION_MULTICAST)
        mac_table_for_each(mt, [&](struct mac_table_entry *e) {
            if (!e->is_static && e->vid == vid && (!port || e->port == port))
                mac_table_remove(mt, e, MAC_TABLE_EV_PORT_DELETE, true, __func__);
            return true;
        });
    // Without a port, the VLAN's multicast entries keep their ports.
    if (section != MAC_TABLE_SECTION_UNICAST && port)
        mac_table_mcast_del_port(mt, port, vid);
    return 0;
}

int mac_table_migrate_port_to_port(struct mac_table *mt, struct jxbridge_port *from,
                                   struct jxbridge_port *to, u32 section) {
    if (!mt || !from || !to)
        return -EINVAL;
    MT_TRACE(mt, "[MAC Table] %s()\n[MAC Table]   Migrating from %s to %s, %s.\n", __func__,
             from->dev->name, to->dev->name, mac_table_section2a(section));
    if (from == to || (section != MAC_TABLE_SECTION_UNICAST && section != MAC_TABLE_SECTION_BOTH))
        return 0;
    mac_table_for_each(mt, [&](struct mac_table_entry *e) {
        if (e->port != from)
            return true;
        mac_table_count_dec(mt, e, __func__);
        if (mac_table_count_inc(mt, to, e->vid, e->mac, e->is_static, false, __func__) == 0)
            mac_table_set_port(mt, e, to);
        else
            mac_table_remove(mt, e, MAC_TABLE_EV_REMOVE, false, __func__);
        return true;
    });
    return 0;
}

int mac_table_ioctl_move_to_static(struct mac_table *mt, struct jxbridge_port *port) {
    if (!mt || !port)
        return -EINVAL;
    MT_TRACE(mt, "[MAC Table] %s()\n", __func__);
    int rc = 0;
    mac_table_for_each(mt, [&](struct mac_table_entry *e) {
        if (e->port != port || e->is_static)
            return true;
        rc = mac_table_count_inc(mt, port, e->vid, e->mac, 1, false, __func__);
        if (rc)
            return false;
        mac_table_count_dec(mt, e, __func__);
        e->is_static = 1;
        if (mt->debug)
            printk(KERN_ERR "[MAC Table] Moving: port @%p(%d), MAC " MAC_FMT "\n", (void *)port,
                   (int)port->port_no, MAC_ARGS(e->mac));
        return true;
    });
    return rc;
}

int mac_table_flush(struct mac_table *mt) {
    if (!mt)
        return -EINVAL;
    MT_TRACE(mt, "[MAC Table] Will flush %u entries.\n", mt->count);
    jxbridge_flow_event(MAC_TABLE_EV_FLUSH_BEGIN);
    mac_table_for_each(mt, [&](struct mac_table_entry *e) {
        mac_table_remove(mt, e, MAC_TABLE_EV_REMOVE, true, __func__);
        return true;
    });
    jxbridge_flow_event(MAC_TABLE_EV_FLUSH_END);
    return 0;
}

int mac_table_cleanup(struct mac_table *mt) {
    if (!mt)
        return -EINVAL;
    MT_TRACE(mt, "[MAC Table] %s()\n", __func__);
    s64 now = mac_table_now();
    s64 cutoff = 0;
    if ((s64)mt->hold_time >= now)
        MT_TRACE(mt, "[MAC Table] get_seconds()=%lu < mt->hold_time=%u\n", (unsigned long)now,
                 mt->hold_time);
    else
        cutoff = now - mt->hold_time;
    u32 aged = 0;
    mac_table_for_each(mt, [&](struct mac_table_entry *e) {
        // An entry from the future means the clock was set back.
        if (e->is_static || (e->timestamp <= now && e->timestamp >= cutoff))
            return true;
        if (jxbridge_flow_event(MAC_TABLE_EV_AGE, e->port, e->mac, (void *)(uintptr_t)e->vid) ==
            MAC_TABLE_AGE_KEEP) {
            mac_table_touch(mac_table_slot_of(mt, e), now);
            return true;
        }
        mac_table_remove(mt, e, MAC_TABLE_EV_REMOVE, true, __func__);
        aged++;
        return true;
    });
    MT_TRACE(mt, "[MAC Table] Aged %u entries out.\n", aged);
    return 0;
}

static void mac_table_timer(struct jxbridge_timer *t) {
    struct mac_table *mt = (struct mac_table *)t->data;
    mutex_lock(&jxbridge_lock);
    mac_table_cleanup(mt);
    jxbridge_mod_timer(t, jiffies + (unsigned long)mt->hold_time * HZ);
    mutex_unlock(&jxbridge_lock);
}

// The bridge's error-disabled ports count down to their recovery once a
// second, while the bridge is up.
static void jxbridge_msg_timer(struct jxbridge_timer *t) {
    struct mac_table *mt = (struct mac_table *)t->data;
    mutex_lock(&jxbridge_lock);
    if (mt->bridge->dev->flags & IFF_UP)
        jxbridge_port_recovery_tick(mt->bridge);
    jxbridge_mod_timer(t, jiffies + HZ);
    mutex_unlock(&jxbridge_lock);
}

int mac_table_set_aging(struct mac_table *mt, u32 seconds) {
    if (!mt)
        return -EINVAL;
    MT_TRACE(mt, "[MAC Table] %s(%u)\n", __func__, seconds);
    // A zero hold time would age every entry at once and re-arm at once.
    if (!seconds)
        return -EINVAL;
    mt->hold_time = seconds;
    jxbridge_mod_timer(mt->aging_timer, jiffies + (unsigned long)seconds * HZ);
    return 0;
}

u32 mac_table_get_aging(struct mac_table *mt) {
    return mt ? mt->hold_time : 0;
}

int mac_table_get_info(struct mac_table *mt, struct mt_info *out) {
    if (!mt || !out)
        return -EINVAL;
    out->max_size = mt->max_size;
    out->count = mt->count;
    out->mac_hash = mt->mac_hash;
    out->mcast_hash = mt->mcast_hash;
    return 0;
}

int mac_table_get_hash_entry(struct mac_table *mt, struct mt_hash_entry_request *req) {
    if (!mt || !req)
        return -EINVAL;
    if (req->bucket >= mt->mac_hash)
        return -EINVAL;
    struct mac_table_node *n = mt->hash[req->bucket];
    for (u32 i = 0; n && i < req->position; i++)
        n = n->next;
    if (!n)
        return -ENOENT;
    struct mac_table_entry *e = mac_table_node_entry(n);
    ether_addr_copy(req->mac, e->mac);
    req->vid = e->vid;
    req->timestamp = (u32)e->timestamp;
    strlcpy(req->port_name, e->port->dev->name, sizeof(req->port_name));
    req->port_no = e->port->port_no;
    req->is_static = e->is_static;
    return 0;
}

int mac_table_vlan_ignore_set(struct mac_table *mt, u16 vid, u32 on) {
    if (!mt)
        return -EINVAL;
    if (vid > 4094)
        return -ERANGE;
    if (on)
        mt->vlan_ignore[vid >> 5] |= 1u << (vid & 31);
    else
        mt->vlan_ignore[vid >> 5] &= ~(1u << (vid & 31));
    return 0;
}

int mac_table_vlan_ignore_get(struct mac_table *mt, u16 vid, u32 *out) {
    if (!mt || !out)
        return -EINVAL;
    if (vid > 4094)
        return -ERANGE;
    *out = (mt->vlan_ignore[vid >> 5] >> (vid & 31)) & 1;
    return 0;
}

int mac_table_vlan_ignore_clear(struct mac_table *mt) {
    if (!mt)
        return -EINVAL;
    memset(mt->vlan_ignore, 0, sizeof(mt->vlan_ignore));
    return 0;
}

// A load test: the table is filled to max_size with made-up stations on the
// port and VLAN of its first entry.
int mac_table_fill(struct mac_table *mt) {
    if (!mt)
        return -EINVAL;
    struct mac_table_entry *first = nullptr;
    for (u32 b = 0; b < mt->mac_hash && !first; b++) {
        if (mt->hash[b])
            first = mac_table_node_entry(mt->hash[b]);
        else
            printk(KERN_INFO "mt->hash[%d] empty.\n", (int)b);
    }
    if (!first) {
        printk(KERN_INFO "No entries found, can't fill.\n");
        return -ENOENT;
    }
    struct jxbridge_port *port = first->port;
    u16 vid = first->vid;
    int added = 0, rc = 0;
    // 00:ce:f0:00:00:00 upwards; the last four bytes count as one number.
    for (u32 n = 0xf0000000u; mt->count < mt->max_size; n++) {
        const u8 mac[ETH_ALEN] = {0x00, 0xce, (u8)(n >> 24), (u8)(n >> 16), (u8)(n >> 8), (u8)n};
        u32 before = mt->count;
        rc = mac_table_ioctl_insert(mt, port, mac, vid, 0, 0);
        if (rc)
            break;
        added += mt->count > before;
        if (n == 0xffffffffu)
            break;
    }
    printk(KERN_INFO "%d entries added.\n", added);
    return rc;
}

int mac_table_set_debug(struct mac_table *mt, u32 value) {
    if (!mt)
        return -EINVAL;
    mt->debug = value;
    return 0;
}

// The bridge core's action on a MAC source guard violation.
void mac_table_msg_action(struct jxbridge_port *port, struct mac_table_msg_violation *v) {
    jxbridge_port_msg_violation(port, v->mac, v->vid, v->port);
}

static void mac_table_caches_put() {
    if (__atomic_sub_fetch(&mac_table_tables, 1, __ATOMIC_ACQ_REL) != 0)
        return;
    kmem_cache_destroy(mac_table_mc_src_cache);
    mac_table_mc_src_cache = nullptr;
    kmem_cache_destroy(mac_table_cache);
    mac_table_cache = nullptr;
}

static int mac_table_caches_get() {
    if (__atomic_add_fetch(&mac_table_tables, 1, __ATOMIC_ACQ_REL) != 1)
        return 0;
    mac_table_cache = kmem_cache_create("mac_table", sizeof(struct mac_table_entry), 0,
                                        SLAB_HWCACHE_ALIGN, nullptr);
    if (!mac_table_cache) {
        __atomic_sub_fetch(&mac_table_tables, 1, __ATOMIC_ACQ_REL);
        printk(KERN_ERR "[MAC Table] Unable to allocate entry pool.\n");
        return -ENOMEM;
    }
    printk(KERN_INFO "[MAC Table] Created entry pool (%ld).\n",
           (long)sizeof(struct mac_table_entry));
    mac_table_mc_src_cache = kmem_cache_create("mac_table_mc_src", MAC_TABLE_MC_SRC_SIZE, 0,
                                               SLAB_HWCACHE_ALIGN, nullptr);
    if (!mac_table_mc_src_cache) {
        kmem_cache_destroy(mac_table_cache);
        mac_table_cache = nullptr;
        __atomic_sub_fetch(&mac_table_tables, 1, __ATOMIC_ACQ_REL);
        printk(KERN_ERR "[MAC Table] Unable to allocate source pool.\n");
        return -ENOMEM;
    }
    printk(KERN_INFO "[MAC Table] Created mcast source pool (%ld).\n", (long)MAC_TABLE_MC_SRC_SIZE);
    return 0;
}

static void mac_table_free(struct mac_table *mt) {
    kmem_cache_destroy(mt->mc_grp_cache);
    kmem_cache_destroy(mt->mc_cache);
    if (mt->aging_timer)
        kfree(container_of(mt->aging_timer, struct mac_table_timers, aging));
    kfree(mt->index);
    kfree(mt->ports);
    kfree(mt);
}

int mac_table_init(struct mac_table **out, struct jxbridge *bridge, u32 mac_hash, u32 mcast_hash,
                   u32 max_size, u32 hold_time) {
    if (!out || !bridge || !mac_hash || !mcast_hash || !hold_time)
        return -EINVAL;
    *out = nullptr;
    int rc = mac_table_caches_get();
    if (rc)
        return rc;
    const char *name = bridge->dev->name;
    u32 buckets = mac_hash + mcast_hash;
    auto *mt = (struct mac_table *)jxbridge_zalloc(
        sizeof(struct mac_table) + sizeof(struct mac_table_node *) * (size_t)buckets);
    if (!mt) {
        mac_table_caches_put();
        return -ENOMEM;
    }
    u32 ports = bridge->max_ports;
    mt->ports = (struct mac_table_port *)jxbridge_zalloc(sizeof(*mt->ports) * (ports ? ports : 1));
    mt->index =
        (struct mac_table_index_slot *)jxbridge_zalloc(sizeof(*mt->index) * MAC_TABLE_INDEX_MIN);
    auto *timers = (struct mac_table_timers *)jxbridge_zalloc(sizeof(struct mac_table_timers));
    if (timers)
        mt->aging_timer = &timers->aging;
    if (!mt->ports || !mt->index || !timers) {
        mac_table_free(mt);
        mac_table_caches_put();
        return -ENOMEM;
    }
    mt->bridge = bridge;
    mt->debug = (u32)mac_table_debug;
    mt->hold_time = hold_time;
    mt->max_size = max_size;
    mt->mac_hash = mac_hash;
    mt->mcast_hash = mcast_hash;
    mt->index_mask = MAC_TABLE_INDEX_MIN - 1;
    mt->port_security = 1;
    mt->msg_callback = mac_table_msg_action;
    mt->num_ports = ports;
    for (u32 i = 0; i < ports; i++) {
        struct mac_table_port *p = &mt->ports[i];
        p->state = 1;
        p->static_limit = 0xFFFFFFFF;
        p->dynamic_limit = 0xFFFFFFFF;
        p->violation_vid = MAC_TABLE_NO_VID;
        for (auto &l : p->vlan_limits)
            l.vid = MAC_TABLE_NO_VID;
    }
    snprintf(mt->mc_cache_name, sizeof(mt->mc_cache_name), "mac_table_%s_mc", name);
    snprintf(mt->mc_grp_cache_name, sizeof(mt->mc_grp_cache_name), "mac_table_%s_mc_grp", name);
    int mc_size = (int)((ports + 7) * 8);
    mt->mc_cache = kmem_cache_create(mt->mc_cache_name, mc_size, 0, SLAB_HWCACHE_ALIGN, nullptr);
    if (!mt->mc_cache) {
        printk(KERN_ERR "[MAC Table] Unable to allocate multicast pool '%s'.\n", mt->mc_cache_name);
        mac_table_free(mt);
        mac_table_caches_put();
        return -ENOMEM;
    }
    printk(KERN_INFO "[MAC Table] Created mcast entry pool (%d).\n", mc_size);
    int grp_size = (int)(24 + 24 * (ports + 1));
    mt->mc_grp_cache =
        kmem_cache_create(mt->mc_grp_cache_name, grp_size, 0, SLAB_HWCACHE_ALIGN, nullptr);
    if (!mt->mc_grp_cache) {
        printk(KERN_ERR "[MAC Table] Unable to allocate multicast group pool '%s'.\n",
               mt->mc_grp_cache_name);
        mac_table_free(mt);
        mac_table_caches_put();
        return -ENOMEM;
    }
    printk(KERN_INFO "[MAC Table] Created mcast group pool (%d).\n", grp_size);
    mt->msg_timer = &timers->msg;
    jxbridge_timer_init(bridge, &timers->msg, jxbridge_msg_timer, mt, JXBRIDGE_TIMER_SLOT_MSG);
    jxbridge_timer_init(bridge, &timers->aging, mac_table_timer, mt, JXBRIDGE_TIMER_SLOT_MAC_TABLE);
    jxbridge_mod_timer(mt->aging_timer, jiffies + (unsigned long)hold_time * HZ);
    MT_TRACE(mt,
             "[%s/MAC Table] Initialized (mt=0x%p, max_size=%u, mac_hash=%u, mcast_hash=%u, "
             "hold_time=%u).\n",
             name, (void *)mt, max_size, mac_hash, mcast_hash, hold_time);
    *out = mt;
    return 0;
}

// Stops a timer whose callback re-arms itself: a run that was under way when
// the slot was emptied may have armed it again.
static void mac_table_timer_stop(struct jxbridge_timer *t) {
    jxbridge_del_timer_sync_locked(t);
    del_timer_sync(&t->timer);
}

void mac_table_deinit(struct mac_table **pmt) {
    struct mac_table *mt = pmt ? *pmt : nullptr;
    if (!mt)
        return;
    mac_table_timer_stop(mt->aging_timer);
    mac_table_timer_stop(mt->msg_timer);
    mac_table_flush(mt);
    mac_table_mcast_flush(mt);
    MT_TRACE(mt, "[MAC Table] Destroyed (%p).\n", (void *)mt);
    mac_table_free(mt);
    *pmt = nullptr;
    mac_table_caches_put();
}

static int mac_table_subsys_init(struct jxbridge *B) {
    int rc = mac_table_init(&B->mac_table, B, MAC_TABLE_MAC_HASH, MAC_TABLE_MCAST_HASH,
                            MAC_TABLE_MAX_SIZE, MAC_TABLE_HOLD_TIME);
    if (rc)
        printk(KERN_ERR "[%s] Unable to initialize MAC table.\n", B->dev->name);
    return rc;
}

static void mac_table_subsys_fini(struct jxbridge *B) {
    mac_table_deinit(&B->mac_table);
}

// Static entries go with the port too: none may name a port that is gone.
static void mac_table_subsys_port_fini(struct jxbridge_port *port) {
    mac_table_delete_by_port_section(port->bridge->mac_table, port, MAC_TABLE_SECTION_BOTH,
                                     MAC_TABLE_KIND_ALL);
}

static void mac_table_subsys_debug(void *bridge, int on) {
    mac_table_set_debug(((struct jxbridge *)bridge)->mac_table, (u32)on);
}

extern const struct jxbridge_subsys mac_table_subsys = {
    .tag = "MAC Table",
    .init = mac_table_subsys_init,
    .fini = mac_table_subsys_fini,
    .port_fini = mac_table_subsys_port_fini,
    .files = {{"mac_table", 0666, &mac_table_fops},
              {"mac_table_entries", 0600, &mac_table_entries_fops}},
    .set_debug = mac_table_subsys_debug,
};

struct mac_table *jxbridge_mac_table(struct jxbridge *bridge) {
    return bridge ? bridge->mac_table : nullptr;
}
EXPORT_SYMBOL(jxbridge_mac_table);
