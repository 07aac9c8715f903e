// The MAC table as its users reach it: port security, MAC source guard and
// multicast entries set through the "mac_table" file, checked on the frames
// the ports send, the counters and the files read back.
#include "wire_bridge.h"

#include <cstring>

using namespace jxtest;

namespace {

const char *MT = "/proc/net/jxbridge/br0/mac_table";
const char *MTE = "/proc/net/jxbridge/br0/mac_table_entries";
const char *BRF = "/proc/net/jxbridge/br0/bridge";

// A UDP datagram from src_ip to the group, as a host in VLAN 1 sends it.
frame mcast_udp(const frame &src, u32 src_ip, u32 group) {
    frame dst = {0x01, 0x00, 0x5e, (u8)((group >> 16) & 0x7f), (u8)(group >> 8), (u8)group};
    frame f = eth(dst, src, 0x0800, 0);
    u8 ip[28] = {0x45, 0, 0, 28, 0, 0, 0x40, 0, 1, 17, 0, 0};
    for (int i = 0; i < 4; i++) {
        ip[12 + i] = (u8)(src_ip >> (24 - 8 * i));
        ip[16 + i] = (u8)(group >> (24 - 8 * i));
    }
    f.insert(f.end(), ip, ip + sizeof(ip));
    return f;
}

u32 ipv4(u8 a, u8 b, u8 c, u8 d) {
    return (u32)a << 24 | (u32)b << 16 | (u32)c << 8 | d;
}

class MacTableFileTest : public WireBridgeTest {
  protected:
    mt_port_security_request security(const char *name) {
        mt_port_security_request r = {};
        strlcpy(r.name, name, sizeof(r.name));
        EXPECT_EQ(proc_ioctl(MT, MT_IOCTL_PS_PORT_GET, (unsigned long)&r), 0);
        return r;
    }
};

// Limits refuse new stations and count the breach; lowering a limit below
// the count flushes; a per-VLAN slot counts its own VLAN from zero.
TEST_F(MacTableFileTest, PortSecurityLimitsStationsPerPortAndVlan) {
    jxbridge_port *a = port("wa"), *b = port("wb");
    ASSERT_GT(proc_write(MT, "mac limit set wa dynamic 2"), 0);
    for (u8 i = 1; i <= 3; i++)
        rx(a, eth(mac(0x50), mac(i), 0x0800));
    EXPECT_EQ(tx(b).size(), 2u); // the third is refused, not flooded
    EXPECT_EQ(a->counters.drop_mac_limit, 1u);
    mt_port_security_request s = security("wa");
    EXPECT_EQ(s.port.dynamic_count, 2u);
    EXPECT_EQ(s.port.violations, 1u);
    mt_port_security_request unbounded;
    memset(&unbounded, 'w', sizeof(unbounded)); // no terminator anywhere
    EXPECT_EQ(proc_ioctl(MT, MT_IOCTL_PS_PORT_GET, (unsigned long)&unbounded), -ENODEV);
    mt_violation_request v = {};
    strlcpy(v.name, "wa", sizeof(v.name));
    ASSERT_EQ(proc_ioctl(MT, MT_IOCTL_PS_VIOLATION_GET, (unsigned long)&v), 0);
    EXPECT_EQ(frame(v.mac, v.mac + 6), mac(3));
    EXPECT_EQ(v.vid, 1);
    // With port security off the count still follows the entries.
    mt_port_value_request off = {};
    strlcpy(off.name, "wa", sizeof(off.name));
    ASSERT_EQ(proc_ioctl(MT, MT_IOCTL_PS_STATE_SET, (unsigned long)&off), 0);
    rx(a, eth(mac(0x50), mac(3), 0x0800));
    EXPECT_EQ(security("wa").port.dynamic_count, 3u);
    // A limit below the count removes every dynamic entry of the port.
    mt_port_limit_request lim = {};
    strlcpy(lim.name, "wa", sizeof(lim.name));
    lim.limit = 1;
    ASSERT_EQ(proc_ioctl(MT, MT_IOCTL_PS_LIMIT_SET, (unsigned long)&lim), 0);
    ASSERT_EQ(proc_ioctl(MT, MT_IOCTL_PS_LIMIT_GET, (unsigned long)&lim), 0);
    EXPECT_EQ(lim.count, 0u);
    EXPECT_EQ(br->mac_table->count, 0u);

    // A static entry in VLAN 1 stays out of a new VLAN slot's count.
    ASSERT_GT(proc_write(MT, "mac add 1 02:00:00:00:00:09 wa static"), 0);
    EXPECT_EQ(proc_write(MT, "mac add 1 02:00:00:00:00:09 wa"), -EEXIST);
    EXPECT_EQ(proc_write(MT, "mac add 4095 02:00:00:00:00:08 wa"), -EINVAL);
    ASSERT_GT(proc_write(MT, "mac limit add wa 1 1"), 0);
    EXPECT_EQ(proc_write(MT, "mac limit add wa 4095 1"), -EINVAL);
    mt_port_value_request bad = {};
    strlcpy(bad.name, "wa", sizeof(bad.name));
    bad.vid = 4095;
    EXPECT_EQ(proc_ioctl(MT, MT_IOCTL_PS_VLAN_LIMIT_ADD, (unsigned long)&bad), -EINVAL);
    s = security("wa");
    EXPECT_EQ(s.port.vlan_limits[0].vid, 1);
    EXPECT_EQ(s.port.vlan_limits[0].count, 0u);
    EXPECT_EQ(s.port.static_count, 1u);
    off.value = 1;
    ASSERT_EQ(proc_ioctl(MT, MT_IOCTL_PS_STATE_SET, (unsigned long)&off), 0);
    rx(a, eth(mac(0x50), mac(4), 0x0800));
    rx(a, eth(mac(0x50), mac(5), 0x0800)); // over the slot's limit of 1
    EXPECT_EQ(security("wa").port.vlan_limits[0].count, 1u);
    EXPECT_EQ(a->counters.drop_mac_limit, 2u);
    ASSERT_GT(proc_write(MT, "mac limit del wa 1"), 0);
    s = security("wa");
    EXPECT_EQ(s.port.vlan_limits[0].vid, MAC_TABLE_NO_VID);
    EXPECT_EQ(s.port.dynamic_count, 0u);
    EXPECT_EQ(s.port.static_count, 1u);
    ASSERT_GT(proc_write(MT, "test"), 0);
    EXPECT_EQ(logged("count error"), 0u);
    EXPECT_EQ(logged("Total count mismatch"), 0u);
    std::string report = proc_cat(MT);
    EXPECT_NE(report.find("                   wa |    on |          1 | 4294967295 |          0 |"
                          "          1 |\t0\n"),
              std::string::npos)
        << report;
}

// A station seen on a guarded second port error-disables that port; the
// bridge file's record names the cause; removing the action clears it.
TEST_F(MacTableFileTest, SourceGuardErrorDisablesThePortTheStationMovedTo) {
    jxbridge_port *a = port("wa"), *b = port("wb");
    ASSERT_GT(proc_write(BRF, "error_disable on"), 0);
    ASSERT_EQ(proc_ioctl(BRF, BRIDGE_IOCTL_ERROR_DETECT_MASK_ADD, JXBRIDGE_CAUSE_MSG), 0);
    ASSERT_GT(proc_write(MT, "msg port wb 1"), 0);
    rx(a, eth(mac(0x50), mac(7), 0x0800));
    rx(a, eth(mac(0x50), mac(8), 0x0800));
    rx(b, eth(mac(0x50), mac(9), 0x0800)); // b learns one of its own first
    drain();
    rx(b, eth(mac(0x50), mac(7), 0x0800));
    EXPECT_TRUE(tx(a).empty());
    EXPECT_EQ(b->counters.drop_static_mac, 1u);
    EXPECT_EQ(b->state, (u32)JXBRIDGE_STATE_ERROR_DISABLED);
    EXPECT_EQ(security("wb").port.dynamic_count, 0u); // b's entries were flushed
    EXPECT_EQ(mac_table_lookup(br->mac_table, mac(7).data(), 1), a);
    msg_data_request d = {};
    strlcpy(d.name, "wb", sizeof(d.name));
    ASSERT_EQ(proc_ioctl(BRF, BRIDGE_IOCTL_PORT_MSG_DATA_GET, (unsigned long)&d), 0);
    EXPECT_EQ(d.enabled, 1u);
    EXPECT_EQ(d.state, (u32)JXBRIDGE_STATE_ERROR_DISABLED);
    EXPECT_EQ(frame(d.cause_mac, d.cause_mac + 6), mac(7));
    EXPECT_EQ(d.cause_vid, 1);
    EXPECT_EQ(d.cause_port, a->port_no);
    msg_recovery_request rr = {};
    strlcpy(rr.name, "wb", sizeof(rr.name));
    ASSERT_EQ(proc_ioctl(BRF, BRIDGE_IOCTL_PORT_MSG_RECOVERY_GET, (unsigned long)&rr), 0);
    EXPECT_EQ(rr.causes, (u32)JXBRIDGE_CAUSE_MSG);
    ASSERT_EQ(proc_ioctl(MT, MT_IOCTL_MSG_SET, 0), 0);
    u32 on = 1;
    ASSERT_EQ(proc_ioctl(MT, MT_IOCTL_MSG_GET, (unsigned long)&on), 0);
    EXPECT_EQ(on, 0u);
    EXPECT_EQ(b->error_causes, 0u);
}

// Multicast entries follow the source filters; a port that leaves takes its
// records with it; the readers stay inside the records they are given.
TEST_F(MacTableFileTest, MulticastFollowsSourceFiltersAndForgetsLeavingPorts) {
    ASSERT_EQ(linecard_flowmgr_install(), 0);
    jxbridge_port *up = port("wup"), *s1 = port("ws1"), *s2 = port("ws2");
    ASSERT_GT(proc_write(BRF, "mcast forward"), 0);
    ASSERT_GT(proc_write("/proc/net/jxbridge/br0/vlan", "mcast 1 forward"), 0);
    const u32 G = ipv4(239, 1, 1, 1), S5 = ipv4(10, 0, 0, 5), S6 = ipv4(10, 0, 0, 6);
    alignas(4) u8 set_buf[sizeof(mt_mcast_ip_request) + 4 * (MT_MCAST_IP_SOURCES_MAX + 1)] = {};
    auto &set = *(mt_mcast_ip_request *)set_buf;
    set.group = G;
    set.vid = 1;
    strlcpy(set.name, "ws1", sizeof(set.name));
    set.count = 1;
    set.sources[0] = S5;
    auto updates = [] {
        size_t n = 0;
        for (auto &ev : linecard_flowmgr_events())
            n += ev.code == JXBRIDGE_FEV_MCAST;
        return n;
    };
    size_t before = updates();
    ASSERT_EQ(proc_ioctl(MT, MT_IOCTL_MCAST_IP_SET, (unsigned long)set_buf), 0);
    strlcpy(set.name, "ws2", sizeof(set.name));
    set.mode = 1; // EXCLUDE 10.0.0.5
    ASSERT_EQ(proc_ioctl(MT, MT_IOCTL_MCAST_IP_SET, (unsigned long)set_buf), 0);
    set.count = MT_MCAST_IP_SOURCES_MAX + 1;
    EXPECT_EQ(proc_ioctl(MT, MT_IOCTL_MCAST_IP_SET, (unsigned long)set_buf), -EFBIG);
    EXPECT_EQ(updates() - before, 2u);

    rx(up, mcast_udp(mac(0x60), S5, G));
    EXPECT_EQ(tx(s1).size(), 1u);
    EXPECT_TRUE(tx(s2).empty());
    rx(up, mcast_udp(mac(0x60), S6, G));
    EXPECT_TRUE(tx(s1).empty());
    EXPECT_EQ(tx(s2).size(), 1u);
    rx(up, mcast_udp(mac(0x60), S5, ipv4(239, 1, 1, 2))); // no entry: VLAN mode "forward" drops
    EXPECT_TRUE(tx(s1).empty() && tx(s2).empty());

    // The group reader copies back its header and the sources returned,
    // nothing past them, whatever room the caller claims.
    alignas(4) u8 get_buf[sizeof(mt_mcast_ip_get_request) + 4 * 4];
    memset(get_buf, 0xEE, sizeof(get_buf));
    auto &q = *(mt_mcast_ip_get_request *)get_buf;
    const u32 *got = q.sources;
    u32 bucket = (0x0001 + 0x015e + 0x0101) % 16; // the MAC's words summed
    memset(&q, 0, sizeof(q));
    q.bucket = bucket;
    q.size = 0xFFFFFFFF;
    q.port_index = 0;
    ASSERT_EQ(proc_ioctl(MT, MT_IOCTL_MCAST_IP_GET, (unsigned long)get_buf), 0);
    EXPECT_EQ(q.size, 1u);
    EXPECT_EQ(q.group, G);
    EXPECT_STREQ(q.name, "ws1");
    EXPECT_EQ(q.mode, 0u);
    EXPECT_EQ(got[0], S5);
    EXPECT_EQ(got[1], 0xEEEEEEEEu);
    q.bucket = 16;
    EXPECT_EQ(proc_ioctl(MT, MT_IOCTL_MCAST_IP_GET, (unsigned long)get_buf), -ERANGE);
    mt_mcast_entry_request e = {};
    e.bucket = bucket;
    e.port_index = 12;
    EXPECT_EQ(proc_ioctl(MT, MT_IOCTL_MCAST_ENTRY_GET, (unsigned long)&e), -ERANGE);
    mt_mac_vlans_request mv = {};
    EXPECT_EQ(proc_ioctl(MT, MT_IOCTL_MAC_VLANS_GET, (unsigned long)&mv), -ENODEV);
    std::string entries = proc_cat(MTE);
    EXPECT_NE(entries.find("01:00:5e:01:01:01     1 ws1, ws2\n"), std::string::npos) << entries;
    EXPECT_NE(entries.find("239.1.1.1 (2)\n"), std::string::npos) << entries;

    // ws1 leaves the bridge: its records go, the stream is not sent to it.
    mutex_lock(&jxbridge_lock);
    ASSERT_EQ(jxbridge_del_port(s1), 0);
    mutex_unlock(&jxbridge_lock);
    rx(up, mcast_udp(mac(0x60), S6, G));
    EXPECT_EQ(tx(s2).size(), 1u);
    entries = proc_cat(MTE);
    EXPECT_EQ(entries.find("ws1"), std::string::npos) << entries;
    // The last member leaving through the exported calls takes the entry.
    const u8 gmac[6] = {0x01, 0x00, 0x5e, 0x01, 0x01, 0x01};
    mutex_lock(&jxbridge_lock);
    EXPECT_EQ(mac_table_mcast_del_ip(br->mac_table, G, 1, s2), 0);
    EXPECT_EQ(mac_table_mcast_del_ip(br->mac_table, G, 1, s2), 0);
    EXPECT_EQ(mac_table_mcast_del_mac(br->mac_table, gmac, 1, s2), 0);
    EXPECT_EQ(mac_table_mcast_lookup(br->mac_table, gmac, 1), nullptr);
    mutex_unlock(&jxbridge_lock);
}

// The entries file lists stations with their ages; aging takes them away.
TEST_F(MacTableFileTest, EntriesFileListsStationsUntilTheyAge) {
    jxbridge_port *a = port("wa");
    port("wb");
    rx(a, eth(mac(0x50), mac(0x11), 0x0800));
    EXPECT_EQ(proc_write(MT, "mac add 7 02:00:00:00:00:22 wa static"), -ENOENT); // no VLAN 7
    std::string text = proc_cat(MTE);
    EXPECT_EQ(text.rfind("M A C   f o r w a r d i n g\n", 0), 0u) << text;
    EXPECT_NE(text.find("02:00:00:00:00:11     1         0 wa\n"), std::string::npos) << text;
    EXPECT_EQ(proc_write(MT, "aging_set 0"), -EINVAL);
    EXPECT_EQ(proc_ioctl(MT, MT_IOCTL_AGING_SET, 0), -EINVAL);
    ASSERT_GT(proc_write(MT, "aging_set 5"), 0);
    rte_clock_advance_ms(11000);
    text = proc_cat(MTE);
    EXPECT_EQ(text.find("02:00:00:00:00:11"), std::string::npos) << text;
    mt_info info = {};
    ASSERT_EQ(proc_ioctl(MT, MT_IOCTL_INFO_GET, (unsigned long)&info), 0);
    EXPECT_EQ(info.count, br->mac_table->count);
    EXPECT_EQ(info.mac_hash, 512u);
}

} // namespace
