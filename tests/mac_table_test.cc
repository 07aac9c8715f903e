// The bridge's MAC table, driven as the pipeline and the bridge core drive it:
// learning and moves, static entries, lookup, aging on the virtual clock, the
// full table, the delete operations, and entries going with their port.
#include "bridge_fixture.h"

#include <array>
#include <functional>

using namespace jxtest;

namespace {

using mac_t = std::array<u8, 6>;

mac_t mac(u8 a, u8 b, u8 c, u8 d, u8 e, u8 f) {
    return {a, b, c, d, e, f};
}

class MacTableTest : public BridgeTest {
  protected:
    struct mac_table *mt = nullptr;

    void SetUp() override {
        BridgeTest::SetUp();
        mt = br->mac_table;
        ASSERT_NE(mt, nullptr);
        jxbridge_tracer_printk_set(1); // the table's trace lines reach the kernel log too
    }
    jxbridge_port *add(u32 slot, net_device *d, u32 kind, struct jxbridge *b = nullptr) {
        mutex_lock(&jxbridge_lock);
        jxbridge_port *p = jxbridge_add_port(b ? b : br, slot, 0, d, kind);
        mutex_unlock(&jxbridge_lock);
        return p;
    }
    template <typename Fn> auto locked(Fn fn) {
        mutex_lock(&jxbridge_lock);
        auto r = fn();
        mutex_unlock(&jxbridge_lock);
        return r;
    }
    int learn(jxbridge_port *p, const mac_t &m, u16 vid, struct mac_table *t = nullptr) {
        return locked([&] { return mac_table_learn(t ? t : mt, p, m.data(), vid); });
    }
    int insert(jxbridge_port *p, const mac_t &m, u16 vid, u8 is_static) {
        return locked([&] { return mac_table_ioctl_insert(mt, p, m.data(), vid, is_static, 0); });
    }
    jxbridge_port *lookup(const mac_t &m, u16 vid, struct mac_table *t = nullptr) {
        return locked([&] { return mac_table_lookup(t ? t : mt, m.data(), vid); });
    }
    mac_table_entry *entry(const mac_t &m, u16 vid) {
        return (mac_table_entry *)locked(
            [&] { return mac_table_lookup_entry(mt, MAC_TABLE_ENTRY_UNICAST, m.data(), vid); });
    }
    // Flow events of a code that named this port and VID.
    size_t events_for(int code, jxbridge_port *p, u16 vid) {
        size_t n = 0;
        for (auto &e : linecard_flowmgr_events())
            n += e.code == code && e.a1 == p && (uintptr_t)e.a3 == vid;
        return n;
    }
    void seconds(unsigned s) { rte_clock_advance((unsigned long)s * HZ); }
};

TEST_F(MacTableTest, LearningLookupAndStaticEntries) {
    jxbridge_port *a = add(0, dev("acc1"), JXBRIDGE_PORT_ACCESS);
    jxbridge_port *b = add(1, dev("acc2"), JXBRIDGE_PORT_ACCESS);
    ASSERT_TRUE(a && b);
    const mac_t m = mac(0x00, 0x11, 0x22, 0x33, 0x44, 0x55);

    // Group sources are never learned.
    EXPECT_EQ(learn(a, mac(0x01, 0x00, 0x5e, 0, 0, 1), 10), 0);
    EXPECT_EQ(learn(a, mac(0xff, 0xff, 0xff, 0xff, 0xff, 0xff), 10), 0);
    EXPECT_EQ(mt->count, 0u);

    EXPECT_EQ(learn(a, m, 10), 0);
    EXPECT_EQ(lookup(m, 10), a);
    EXPECT_EQ(lookup(m, 11), nullptr);
    EXPECT_EQ(lookup(m, 10 | 0x1000), nullptr);
    // The same station in another VLAN is another entry, in the same bucket.
    EXPECT_EQ(learn(b, m, 20), 0);
    EXPECT_EQ(lookup(m, 20), b);
    EXPECT_EQ(lookup(m, 10), a);
    EXPECT_EQ(mt->count, 2u);
    u32 bucket = (0x1100 + 0x3322 + 0x5544) % 512;
    mt_hash_entry_request req = {};
    req.bucket = bucket;
    EXPECT_EQ(locked([&] { return mac_table_get_hash_entry(mt, &req); }), 0);
    EXPECT_EQ(req.vid, 20); // the newest entry heads its bucket
    EXPECT_STREQ(req.port_name, "acc2");
    EXPECT_EQ(req.port_no, 1u);
    EXPECT_EQ(req.is_static, 0);
    EXPECT_EQ(mac_t(std::to_array(req.mac)), m);
    EXPECT_EQ(req.timestamp, (u32)ktime_get_real_seconds());
    req.position = 1;
    EXPECT_EQ(locked([&] { return mac_table_get_hash_entry(mt, &req); }), 0);
    EXPECT_EQ(req.vid, 10);
    req.position = 2;
    EXPECT_EQ(locked([&] { return mac_table_get_hash_entry(mt, &req); }), -ENOENT);
    req.bucket = (bucket + 1) % 512;
    req.position = 0;
    EXPECT_EQ(locked([&] { return mac_table_get_hash_entry(mt, &req); }), -ENOENT);
    req.bucket = 512;
    EXPECT_EQ(locked([&] { return mac_table_get_hash_entry(mt, &req); }), -EINVAL);

    u8 vlans[512] = {};
    EXPECT_EQ(locked([&] { return mac_table_lookup_by_mac_port(mt, m.data(), a->port_no, vlans); }),
              0);
    EXPECT_EQ(vlans[10 >> 3], 0x80 >> (10 & 7));
    EXPECT_EQ(vlans[20 >> 3], 0);

    // A static entry stays where it was put.
    const mac_t s = mac(0x00, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e);
    EXPECT_EQ(insert(a, s, 10, 1), 0);
    EXPECT_EQ(learn(b, s, 10), -EBUSY);
    EXPECT_EQ(lookup(s, 10), a);
    EXPECT_EQ(learn(a, s, 10), 0);
    EXPECT_EQ(entry(s, 10)->is_static, 1);
    EXPECT_EQ(insert(a, mac(0x03, 0, 0, 0, 0, 1), 10, 1), -EPERM);
    // Inserting over an entry changes it; the table counts it once.
    EXPECT_EQ(insert(b, m, 10 | 0xF000, 0), 0); // VIDs are 12 bits
    EXPECT_EQ(lookup(m, 10), b);
    EXPECT_EQ(insert(b, m, 10, 1), 0);
    EXPECT_EQ(entry(m, 10)->is_static, 1);
    EXPECT_EQ(mt->count, 3u);
    mt_info info = {};
    EXPECT_EQ(locked([&] { return mac_table_get_info(mt, &info); }), 0);
    EXPECT_EQ(info.max_size, 32768u);
    EXPECT_EQ(info.count, 3u);
    EXPECT_EQ(info.mac_hash, 512u);
    EXPECT_EQ(info.mcast_hash, 16u);

    // An all-zero source is learned; only the first ten are logged.
    for (u16 vid = 1; vid <= 12; vid++)
        EXPECT_EQ(learn(a, mac(0, 0, 0, 0, 0, 0), vid), 0);
    EXPECT_EQ(lookup(mac(0, 0, 0, 0, 0, 0), 12), a);
    EXPECT_EQ(logged("[MAC Table]   Zero source MAC. Log counter="), 10u);
    EXPECT_EQ(logged("[MAC Table]   Zero source MAC. Log counter=10\n"), 1u);
    EXPECT_EQ(logged("[MAC Table]   Zero source MAC. Log counter=1\n"), 1u);

    // Ignored VLANs learn nothing.
    u32 on = 9;
    EXPECT_EQ(locked([&] { return mac_table_vlan_ignore_set(mt, 4095, 1); }), -ERANGE);
    EXPECT_EQ(locked([&] { return mac_table_vlan_ignore_get(mt, 4095, &on); }), -ERANGE);
    EXPECT_EQ(locked([&] { return mac_table_vlan_ignore_get(mt, 30, nullptr); }), -EINVAL);
    EXPECT_EQ(locked([&] { return mac_table_vlan_ignore_set(mt, 30, 1); }), 0);
    EXPECT_EQ(locked([&] { return mac_table_vlan_ignore_get(mt, 30, &on); }), 0);
    EXPECT_EQ(on, 1u);
    EXPECT_EQ(learn(a, m, 30), 0);
    EXPECT_EQ(lookup(m, 30), nullptr);
    EXPECT_EQ(learn(a, m, 30 | 0x2000), 0); // the same VLAN once cut to 12 bits
    EXPECT_EQ(lookup(m, 30), nullptr);
    EXPECT_EQ(locked([&] { return mac_table_vlan_ignore_clear(mt); }), 0);
    EXPECT_EQ(locked([&] { return mac_table_vlan_ignore_get(mt, 30, &on); }), 0);
    EXPECT_EQ(on, 0u);
    EXPECT_EQ(learn(a, m, 30), 0);
    EXPECT_EQ(lookup(m, 30), a);
}

TEST_F(MacTableTest, StationMoves) {
    jxbridge_port *a = add(0, dev("acc1"), JXBRIDGE_PORT_ACCESS);
    jxbridge_port *b = add(1, dev("acc2"), JXBRIDGE_PORT_ACCESS);
    net_device *olt = dev("olt0");
    jxbridge_port *g1 = add(2, olt, JXBRIDGE_PORT_PON_GEM);
    jxbridge_port *g2 = add(3, olt, JXBRIDGE_PORT_PON_GEM);
    ASSERT_TRUE(a && b && g1 && g2);
    g1->onu_id = g2->onu_id = 7;
    mac_table_set_debug(mt, 1);
    const mac_t m = mac(0x00, 0x11, 0x22, 0x33, 0x44, 0x55);

    EXPECT_EQ(learn(a, m, 10), 0);
    EXPECT_EQ(learn(b, m, 10), 0);
    EXPECT_EQ(lookup(m, 10), b);
    EXPECT_EQ(mt->count, 1u);
    EXPECT_EQ(events_for(MAC_TABLE_EV_REMOVE, a, 10), 1u); // reported for the old port
    EXPECT_EQ(logged("[MAC Table]   Moved from 'acc1' to 'acc2'..\n"), 1u);

    // CORD vSwitch: no move between GEM ports of one ONU, nor onto "ont0".
    ASSERT_EQ(locked([&] { return jxbridge_switching_mode_set(br, 1); }), 0);
    EXPECT_EQ(learn(g1, m, 10), 0);
    EXPECT_EQ(lookup(m, 10), g1);
    EXPECT_EQ(learn(g2, m, 10), 0);
    EXPECT_EQ(lookup(m, 10), g1);
    EXPECT_EQ(logged("on same olt="), 1u);
    g2->onu_id = 8;
    EXPECT_EQ(learn(g2, m, 10), 0);
    EXPECT_EQ(lookup(m, 10), g2);

    mutex_lock(&jxbridge_lock);
    EXPECT_EQ(jxbridge_del_port(g1), 0);
    mutex_unlock(&jxbridge_lock);
    jxbridge_port *ont0 = add(2, dev("ont0"), JXBRIDGE_PORT_LOCAL);
    ASSERT_EQ(br->ont0_port, ont0);
    const mac_t n = mac(0x00, 0x22, 0, 0, 0, 1);
    EXPECT_EQ(learn(a, n, 5), 0);
    s64 before = entry(n, 5)->timestamp;
    seconds(10);
    EXPECT_EQ(learn(ont0, n, 5), 0);
    EXPECT_EQ(lookup(n, 5), a);
    EXPECT_EQ(entry(n, 5)->timestamp, before); // nothing changes, the age neither
    EXPECT_EQ(logged("do not allow MAC migration to NNI(2)"), 1u);
    ASSERT_EQ(locked([&] { return jxbridge_switching_mode_set(br, 0); }), 0);
    EXPECT_EQ(learn(ont0, n, 5), 0);
    EXPECT_EQ(lookup(n, 5), ont0);
}

TEST_F(MacTableTest, AgingRunsOnTheBridgeTimer) {
    jxbridge_port *a = add(0, dev("acc1"), JXBRIDGE_PORT_ACCESS);
    ASSERT_NE(a, nullptr);
    const mac_t m1 = mac(0x00, 0, 0, 0, 0, 1), m2 = mac(0x00, 0, 0, 0, 0, 2),
                m3 = mac(0x00, 0, 0, 0, 0, 3), st = mac(0x00, 0, 0, 0, 0, 4);
    EXPECT_EQ(mac_table_get_aging(mt), 300u);
    // A hold time of 0 is refused: nothing would stay, and the timer would spin.
    EXPECT_EQ(locked([&] { return mac_table_set_aging(mt, 0); }), -EINVAL);
    EXPECT_EQ(mac_table_get_aging(mt), 300u);
    ASSERT_EQ(locked([&] { return mac_table_set_aging(mt, 20); }), 0); // passes at +20, +40..
    mac_table_set_debug(mt, 1);

    EXPECT_EQ(learn(a, m1, 1), 0); // t = 0
    EXPECT_EQ(insert(a, st, 1, 1), 0);
    seconds(10);
    EXPECT_EQ(learn(a, m2, 1), 0); // t = 10
    EXPECT_EQ(learn(a, m3, 1), 0);
    seconds(11); // the pass at 20 keeps everything not older than 20 s
    EXPECT_EQ(lookup(m1, 1), a);
    EXPECT_EQ(lookup(m2, 1), a);
    EXPECT_EQ(logged("[MAC Table] Aged 0 entries out.\n"), 1u);
    EXPECT_EQ(learn(a, m3, 1), 0); // refreshed at 21
    seconds(18);                   // 39: no pass yet
    EXPECT_EQ(lookup(m1, 1), a);
    seconds(2); // the pass at 40: m1 after 2 x hold, m2 after 30 s
    EXPECT_EQ(lookup(m1, 1), nullptr);
    EXPECT_EQ(lookup(m2, 1), nullptr);
    EXPECT_EQ(lookup(m3, 1), a);
    EXPECT_EQ(lookup(st, 1), a); // static entries never age
    EXPECT_EQ(logged("[MAC Table] Aged 2 entries out.\n"), 1u);
    EXPECT_EQ(events_for(MAC_TABLE_EV_REMOVE, a, 1), 2u);
    EXPECT_EQ(mt->count, 2u);

    // The flow manager may keep an entry it still carries: it is refreshed.
    EXPECT_EQ(events_for(MAC_TABLE_EV_AGE, a, 1), 2u); // asked before m1 and m2 went
    s64 learned = entry(m3, 1)->timestamp;
    linecard_flowmgr_set_event_result(MAC_TABLE_EV_AGE, MAC_TABLE_AGE_KEEP);
    seconds(20); // 61: m3, refreshed at 21, was due at 60
    EXPECT_EQ(lookup(m3, 1), a);
    EXPECT_EQ(events_for(MAC_TABLE_EV_AGE, a, 1), 3u);
    EXPECT_EQ(entry(m3, 1)->timestamp, learned + 39);
    linecard_flowmgr_set_event_result(MAC_TABLE_EV_AGE, 0);
    seconds(20); // kept at 60: not older than the hold time at 80
    EXPECT_EQ(lookup(m3, 1), a);
    seconds(20);
    EXPECT_EQ(lookup(m3, 1), nullptr);

    // A wall clock set back leaves entries from the future: they go at once.
    EXPECT_EQ(learn(a, m1, 1), 0);
    rte_clock_step_real(-1000);
    EXPECT_EQ(locked([&] { return mac_table_cleanup(mt); }), 0);
    EXPECT_EQ(lookup(m1, 1), nullptr);
    EXPECT_EQ(lookup(st, 1), a);
    rte_clock_step_real(1000);

    // A new hold time counts from when it is set.
    EXPECT_EQ(learn(a, m1, 1), 0);
    seconds(8);
    ASSERT_EQ(locked([&] { return mac_table_set_aging(mt, 6); }), 0);
    EXPECT_EQ(mac_table_get_aging(mt), 6u);
    seconds(5);
    EXPECT_EQ(lookup(m1, 1), a);
    seconds(1);
    EXPECT_EQ(lookup(m1, 1), nullptr);
}

TEST_F(MacTableTest, AFullTableCleansUpAtMostOnceASecond) {
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add br1 4"), 0);
    struct jxbridge *br1 = jxbridge_find("br1");
    ASSERT_NE(br1, nullptr);
    struct mac_table *mt1 = br1->mac_table;
    jxbridge_port *a = add(0, dev("acc1"), JXBRIDGE_PORT_ACCESS);
    jxbridge_port *b = add(1, dev("acc2"), JXBRIDGE_PORT_ACCESS);
    jxbridge_port *c = add(0, dev("acc3"), JXBRIDGE_PORT_ACCESS, br1);
    ASSERT_TRUE(a && b && c);
    // The shared entry cache is made once for both tables.
    EXPECT_EQ(logged("[MAC Table] Created entry pool (48).\n"), 1u);

    ASSERT_EQ(locked([&] { return mac_table_set_aging(mt, 1000); }), 0);
    EXPECT_EQ(learn(a, mac(0x00, 0x01, 0, 0, 0, 1), 7), 0);
    EXPECT_EQ(locked([&] { return mac_table_fill(mt); }), 0);
    EXPECT_EQ(mt->count, 32768u);
    EXPECT_EQ(logged("32767 entries added.\n"), 1u);
    EXPECT_EQ(lookup(mac(0x00, 0xce, 0xf0, 0x00, 0x01, 0x00), 7), a);
    EXPECT_EQ(learn(c, mac(0x00, 0x01, 0, 0, 0, 1), 7, mt1), 0);
    EXPECT_EQ(locked([&] { return mac_table_fill(mt1); }), 0);
    EXPECT_EQ(mt1->count, 32768u);
    mac_table_set_debug(mt, 1);
    mac_table_set_debug(mt1, 1);

    // A new station in a full table: one clean-up, which frees nothing here.
    const mac_t n1 = mac(0x00, 0x02, 0, 0, 0, 1), n2 = mac(0x00, 0x02, 0, 0, 0, 2);
    EXPECT_EQ(learn(a, n1, 7), -EOVERFLOW);
    EXPECT_EQ(logged("[MAC Table] Running cleanup.\n"), 1u);
    EXPECT_EQ(logged("[MAC Table] MAC table is full.\n"), 1u);
    EXPECT_EQ(learn(a, n2, 7), -EOVERFLOW);
    EXPECT_EQ(learn(c, n2, 7, mt1), -EOVERFLOW); // within the second, for any table
    EXPECT_EQ(logged("[MAC Table] Running cleanup.\n"), 1u);
    EXPECT_EQ(locked([&] { return mac_table_ioctl_insert(mt, a, n1.data(), 7, 1, 0); }),
              -EOVERFLOW);

    // Entries already in the table still move and change.
    const mac_t first = mac(0x00, 0xce, 0xf0, 0x00, 0x00, 0x05);
    EXPECT_EQ(learn(b, first, 7), 0);
    EXPECT_EQ(lookup(first, 7), b);
    EXPECT_EQ(insert(a, first, 7, 1), 0);
    EXPECT_EQ(entry(first, 7)->is_static, 1);
    mac_table_set_debug(mt, 0); // a log line per entry
    EXPECT_EQ(locked([&] { return mac_table_ioctl_move_to_static(mt, a); }), 0);
    mac_table_set_debug(mt, 1);
    EXPECT_EQ(entry(mac(0x00, 0xce, 0xf0, 0x00, 0x00, 0x06), 7)->is_static, 1);
    EXPECT_EQ(mt->count, 32768u);

    seconds(1);
    EXPECT_EQ(learn(c, n2, 7, mt1), -EOVERFLOW);
    EXPECT_EQ(logged("[MAC Table] Running cleanup.\n"), 1u); // exactly one second is not more
    rte_clock_advance(1);
    EXPECT_EQ(learn(c, n2, 7, mt1), -EOVERFLOW);
    EXPECT_EQ(logged("[MAC Table] Running cleanup.\n"), 2u);

    // Once br1's entries are older than its hold time, the clean-up makes room.
    ASSERT_EQ(locked([&] { return mac_table_set_aging(mt1, 100); }), 0);
    seconds(60);
    ASSERT_EQ(locked([&] { return mac_table_set_aging(mt1, 50); }), 0);
    EXPECT_EQ(learn(c, n2, 7, mt1), 0);
    EXPECT_EQ(mt1->count, 1u);
    EXPECT_EQ(lookup(n2, 7, mt1), c);
    EXPECT_EQ(logged("[MAC Table] Aged 32768 entries out.\n"), 1u);
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "del br1"), 0);
}

TEST_F(MacTableTest, DeleteMigrateMoveToStaticFlushAndFill) {
    jxbridge_port *a = add(0, dev("acc1"), JXBRIDGE_PORT_ACCESS);
    jxbridge_port *b = add(1, dev("acc2"), JXBRIDGE_PORT_ACCESS);
    ASSERT_TRUE(a && b);
    // Fill needs an entry to copy its port and VLAN from.
    EXPECT_EQ(locked([&] { return mac_table_fill(mt); }), -ENOENT);
    EXPECT_EQ(logged("No entries found, can't fill.\n"), 1u);
    EXPECT_EQ(logged("empty.\n"), 512u);

    const mac_t m1 = mac(0x00, 0, 0, 0, 0, 1), m2 = mac(0x00, 0, 0, 0, 0, 2),
                m3 = mac(0x00, 0, 0, 0, 0, 3), s1 = mac(0x00, 0, 0, 0, 0, 9);
    auto setup = [&] {
        EXPECT_EQ(learn(a, m1, 10), 0);
        EXPECT_EQ(learn(a, m2, 20), 0);
        EXPECT_EQ(learn(b, m3, 10), 0);
        EXPECT_EQ(insert(a, s1, 10, 1), 0);
        EXPECT_EQ(insert(a, s1, 20, 1), 0);
    };
    setup();
    EXPECT_EQ(mt->count, 5u);

    EXPECT_EQ(locked([&] { return mac_table_delete_by_mac(mt, m1.data(), 10); }), 0);
    EXPECT_EQ(lookup(m1, 10), nullptr);
    EXPECT_EQ(events_for(MAC_TABLE_EV_REMOVE, a, 10), 1u);
    EXPECT_EQ(locked([&] { return mac_table_delete_by_mac(mt, m1.data(), 10); }), 0);
    EXPECT_EQ(locked([&] { return mac_table_delete_by_mac(mt, s1.data(), 20); }), 0);
    EXPECT_EQ(lookup(s1, 20), nullptr);

    // By VID: dynamic entries only, of one port or of all.
    EXPECT_EQ(learn(a, m1, 10), 0);
    EXPECT_EQ(locked([&] { return mac_table_delete_by_port_and_vid(mt, b, 20, 0); }), 0);
    EXPECT_EQ(lookup(m2, 20), a);
    EXPECT_EQ(locked([&] { return mac_table_delete_by_port_and_vid(mt, nullptr, 10, 2); }), 0);
    EXPECT_EQ(lookup(m1, 10), nullptr);
    EXPECT_EQ(lookup(m3, 10), nullptr);
    EXPECT_EQ(lookup(s1, 10), a);
    EXPECT_EQ(lookup(m2, 20), a);
    EXPECT_EQ(events_for(MAC_TABLE_EV_PORT_DELETE, b, 10), 1u);
    EXPECT_EQ(locked([&] { return mac_table_delete_by_port_and_vid(mt, a, 20, 0); }), 0);
    EXPECT_EQ(lookup(m2, 20), nullptr);
    EXPECT_EQ(mt->count, 1u);

    // Migration: nothing for the same port or the multicast section alone.
    setup();
    EXPECT_EQ(locked([&] { return mac_table_migrate_port_to_port(mt, a, a, 0); }), 0);
    EXPECT_EQ(locked([&] { return mac_table_migrate_port_to_port(mt, a, b, 1); }), 0);
    EXPECT_EQ(lookup(m1, 10), a);
    EXPECT_EQ(locked([&] { return mac_table_migrate_port_to_port(mt, a, b, 0); }), 0);
    EXPECT_EQ(lookup(m1, 10), b);
    EXPECT_EQ(lookup(m2, 20), b);
    EXPECT_EQ(lookup(s1, 10), b);
    EXPECT_EQ(entry(s1, 10)->is_static, 1); // each keeps its kind
    EXPECT_EQ(entry(m1, 10)->is_static, 0);
    EXPECT_EQ(mt->count, 5u);

    // Move to static, then the delete by port and kind.
    EXPECT_EQ(locked([&] { return mac_table_ioctl_move_to_static(mt, b); }), 0);
    EXPECT_EQ(entry(m1, 10)->is_static, 1);
    EXPECT_EQ(entry(m3, 10)->is_static, 1);
    EXPECT_EQ(learn(a, m1, 10), -EBUSY);
    EXPECT_EQ(learn(b, m2, 30), 0);
    EXPECT_EQ(locked([&] { return mac_table_delete_by_port_section(mt, b, 0, 1); }), 0);
    EXPECT_EQ(lookup(m2, 30), nullptr);
    EXPECT_EQ(lookup(m1, 10), b);
    EXPECT_EQ(locked([&] { return mac_table_delete_by_port_section(mt, b, 3, 0); }), -EINVAL);
    EXPECT_EQ(locked([&] { return mac_table_delete_by_port_section(mt, b, 0, 3); }), -EINVAL);
    EXPECT_EQ(lookup(m1, 10), b);
    EXPECT_EQ(locked([&] { return mac_table_delete_by_port_section(mt, b, 0, 0); }), 0);
    EXPECT_EQ(lookup(m1, 10), nullptr);
    EXPECT_EQ(mt->count, 0u);

    // Flush: one event before, one per entry, one after.
    setup();
    EXPECT_EQ(locked([&] { return mac_table_fill(mt); }), 0);
    EXPECT_EQ(mt->count, 32768u);
    size_t removed = events(MAC_TABLE_EV_REMOVE);
    EXPECT_EQ(locked([&] { return mac_table_flush(mt); }), 0);
    EXPECT_EQ(mt->count, 0u);
    EXPECT_EQ(events(MAC_TABLE_EV_REMOVE) - removed, 32768u);
    EXPECT_EQ(events(MAC_TABLE_EV_FLUSH_BEGIN), 1u);
    EXPECT_EQ(events(MAC_TABLE_EV_FLUSH_END), 1u);
    auto ev = linecard_flowmgr_events();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev.back().code, MAC_TABLE_EV_FLUSH_END);
    EXPECT_EQ(ev[ev.size() - 32768 - 2].code, MAC_TABLE_EV_FLUSH_BEGIN);
    for (u32 i = 0; i < 512; i++)
        EXPECT_EQ(mt->hash[i], nullptr);
    EXPECT_EQ(lookup(m1, 10), nullptr);
}

TEST_F(MacTableTest, EntriesGoWithTheirPortAndItsLink) {
    net_device *d1 = dev("acc1"), *d2 = dev("acc2");
    jxbridge_port *a = add(0, d1, JXBRIDGE_PORT_ACCESS);
    jxbridge_port *b = add(1, d2, JXBRIDGE_PORT_ACCESS);
    jxbridge_port *g = add(2, dev("olt0"), JXBRIDGE_PORT_PON_GEM);
    ASSERT_TRUE(a && b && g);
    const mac_t dyn = mac(0x00, 0, 0, 0, 0, 1), st = mac(0x00, 0, 0, 0, 0, 2);
    auto fill_port = [&](jxbridge_port *p) {
        EXPECT_EQ(learn(p, dyn, p->port_no + 1), 0);
        EXPECT_EQ(insert(p, st, p->port_no + 1, 1), 0);
    };

    // Losing the link takes the learned stations, not the configured ones.
    fill_port(a);
    jxbridge_port_phy_state_set(d1, 1, 1000, 1);
    EXPECT_EQ(lookup(dyn, 1), a); // coming up leaves them
    jxbridge_port_phy_state_set(d1, 0, 0, 0);
    EXPECT_EQ(lookup(dyn, 1), nullptr);
    EXPECT_EQ(lookup(st, 1), a);
    EXPECT_EQ(events_for(MAC_TABLE_EV_PORT_DELETE, a, 1), 1u);

    fill_port(b);
    EXPECT_EQ(jxbridge_port_state_set(b, JXBRIDGE_STATE_ERROR_DISABLED), 0);
    EXPECT_EQ(lookup(dyn, 2), b);
    EXPECT_EQ(jxbridge_port_state_set(b, JXBRIDGE_STATE_KORV_DISABLED), 0);
    EXPECT_EQ(lookup(dyn, 2), nullptr);
    EXPECT_EQ(lookup(st, 2), b);

    fill_port(g);
    mutex_lock(&jxbridge_lock);
    jxbridge_virtual_port_phy_state_set(g, 1);
    mutex_unlock(&jxbridge_lock);
    EXPECT_EQ(lookup(dyn, 3), g);
    mutex_lock(&jxbridge_lock);
    jxbridge_virtual_port_phy_state_set(g, 0);
    mutex_unlock(&jxbridge_lock);
    EXPECT_EQ(lookup(dyn, 3), nullptr);
    EXPECT_EQ(lookup(st, 3), g);

    // A deleted port leaves no entry behind, static ones included.
    EXPECT_EQ(learn(b, dyn, 2), 0);
    EXPECT_EQ(mt->count, 4u);
    mutex_lock(&jxbridge_lock);
    EXPECT_EQ(jxbridge_del_port(b), 0);
    mutex_unlock(&jxbridge_lock);
    EXPECT_EQ(lookup(dyn, 2), nullptr);
    EXPECT_EQ(lookup(st, 2), nullptr);
    EXPECT_EQ(mt->count, 2u);
    for (u32 i = 0; i < mt->mac_hash; i++)
        for (mac_table_node *n = mt->hash[i]; n; n = n->next)
            EXPECT_NE(container_of(n, mac_table_entry, node)->port, b);
    // A new port in the slot starts empty.
    jxbridge_port *b2 = add(1, d2, JXBRIDGE_PORT_ACCESS);
    ASSERT_NE(b2, nullptr);
    EXPECT_EQ(lookup(st, 2), nullptr);
}

TEST_F(MacTableTest, TablesComeAndGoWithTheirBridge) {
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add br1 2"), 0);
    struct jxbridge *br1 = jxbridge_find("br1");
    ASSERT_NE(br1, nullptr);
    ASSERT_NE(br1->mac_table, nullptr);
    EXPECT_NE(br1->mac_table, mt);
    EXPECT_EQ(br1->mac_table->hold_time, 300u);
    EXPECT_EQ(br1->mac_table->max_size, 32768u);
    EXPECT_EQ(logged("[MAC Table] Created mcast entry pool (72).\n"), 1u); // 2 ports
    EXPECT_EQ(logged("[MAC Table] Created mcast group pool (96).\n"), 1u);
    EXPECT_EQ(br->timer_pool.slots[JXBRIDGE_TIMER_SLOT_MSG], br->mac_table->msg_timer);
    EXPECT_EQ(br->timer_pool.slots[JXBRIDGE_TIMER_SLOT_MAC_TABLE], br->mac_table->aging_timer);
    jxbridge_port *p = add(0, dev("acc1"), JXBRIDGE_PORT_ACCESS, br1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(learn(p, mac(0x00, 0, 0, 0, 0, 1), 1, br1->mac_table), 0);
    EXPECT_EQ(lookup(mac(0x00, 0, 0, 0, 0, 1), 1), nullptr); // tables are per bridge
    // The bridge goes with entries still in its table; its timers go with it.
    ASSERT_EQ(locked([&] { return mac_table_set_aging(br1->mac_table, 1); }), 0);
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "del br1"), 0);
    EXPECT_EQ(jxbridge_find("br1"), nullptr);
    seconds(3);
    // br0's table keeps working, its message timer too.
    jxbridge_port *q = add(0, dev("acc2"), JXBRIDGE_PORT_ACCESS);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(learn(q, mac(0x00, 0, 0, 0, 0, 1), 1), 0);
    br->err_disable_mask = 1;
    br->err_recovery_mask = 1;
    br->err_recovery_time = 2;
    mutex_lock(&jxbridge_lock);
    jxbridge_port_error_state_set(q, 1);
    mutex_unlock(&jxbridge_lock);
    rtnl_lock();
    ASSERT_EQ(dev_open(br->dev), 0);
    rtnl_unlock();
    seconds(3);
    EXPECT_EQ(q->state, (u32)JXBRIDGE_STATE_OK);
    rtnl_lock();
    dev_close(br->dev);
    rtnl_unlock();
}

} // namespace
