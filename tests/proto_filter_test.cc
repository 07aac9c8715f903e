// Protocol PDU filters and the ERPS gate, driven as the daemons do: PDUs in
// on wire ports, read off the filter devices' host links with their header,
// frames the daemon writes there, and the erps control file.
#include "wire_bridge.h"

#include "linecard/hostlink.h"
#include "sources/jxmng/jxmng.h"

namespace jxtest {
namespace {

const char *ERPS = "/proc/net/jxbridge/br0/erps";

frame slow(u8 subtype, u8 src = 1) {
    frame f = eth({0x01, 0x80, 0xc2, 0, 0, 0x02}, mac(src), 0x8809);
    f[14] = subtype;
    return f;
}

u32 le32_at(const frame &f, size_t at) {
    u32 v;
    memcpy(&v, &f[at], sizeof(v));
    return v;
}

// A frame as a daemon writes it: the header naming the output port, then f.
frame from_daemon(const frame &f, u16 out_bll, long total = -1) {
    frame h(APP_FRAME_INFO_LEN + f.size(), 0);
    u32 len = total < 0 ? (u32)h.size() : (u32)total;
    memcpy(&h[48], &len, sizeof(len));
    memcpy(&h[54], &out_bll, sizeof(out_bll));
    std::copy(f.begin(), f.end(), h.begin() + APP_FRAME_INFO_LEN);
    return h;
}

erps_port_request erps_rec(const char *port, u32 state, std::initializer_list<u16> vids) {
    erps_port_request r = {};
    snprintf(r.name, sizeof(r.name), "%s", port);
    r.state = state;
    for (u16 v : vids)
        r.vlans[v / 8] |= (u8)(0x80 >> (v % 8));
    return r;
}

class ProtoFilterTest : public WireBridgeTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(linecard_hostlink_start(LINECARD_HOSTLINK_RECORD), 0);
        WireBridgeTest::SetUp();
        // br0 was made before the management module was there.
        EXPECT_EQ(logged("[erpsFlt] Unable to add device."), 1u);
        EXPECT_EQ(logged("[lacpFlt] Unable to add device."), 1u);
        ASSERT_EQ(rte_module_load("jxmng_mod"), 0);
        link(br->dev, false);
        ASSERT_GT(proc_write("/proc/net/jxbridge/config", "del br0"), 0);
        ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add br0 12"), 0);
        br = jxbridge_find("br0");
        ASSERT_NE(br, nullptr);
        link(br->dev, true);
    }
    void TearDown() override {
        WireBridgeTest::TearDown();
        linecard_hostlink_stop();
    }
    static void link(net_device *d, bool up) {
        rtnl_lock();
        up ? dev_open(d) : dev_close(d);
        rtnl_unlock();
    }
    static net_device *fdev(const char *name) { return __dev_get_by_name(&init_net, name); }
    static std::vector<frame> got(const char *name) { return linecard_hostlink_take(fdev(name)); }
};

TEST_F(ProtoFilterTest, PdusReachTheirDevicesWithTheHeader) {
    jxbridge_port *a = port("pfa", JXBRIDGE_PORT_ACCESS, 101);
    jxbridge_port *b = port("pfb", JXBRIDGE_PORT_ACCESS, 102);
    for (const char *n : {"br0_erps", "br0_stp", "br0_lacp", "br0_efm", "br0_synce"})
        ASSERT_NE(fdev(n), nullptr) << n;
    ASSERT_GT(proc_write(BR, "mcast flood"), 0);
    // Devices down: PDUs are bridged like other frames.
    rx(a, slow(1));
    EXPECT_EQ(tx(b).size(), 1u);
    for (const char *n : {"br0_erps", "br0_stp", "br0_lacp", "br0_efm", "br0_synce"})
        link(fdev(n), true);

    const frame raps = eth({0x01, 0x19, 0xa7, 0, 0, 0x01}, mac(1), 0x8902);
    const frame bpdu = eth({0x01, 0x80, 0xc2, 0, 0, 0}, mac(1), 0x0026);
    for (const frame &f : {slow(1), slow(2), slow(3), slow(10), raps, bpdu})
        rx(a, f);
    EXPECT_TRUE(tx(b).empty());
    auto lacp = got("br0_lacp");
    ASSERT_EQ(lacp.size(), 2u);
    const frame &d = lacp[0];
    ASSERT_EQ(d.size(), APP_FRAME_INFO_LEN + slow(1).size());
    EXPECT_EQ(le32_at(d, 48), d.size());
    EXPECT_EQ(d[52] | d[53] << 8, 101);
    EXPECT_STREQ((const char *)&d[74], "pfa");
    EXPECT_TRUE(std::equal(d.begin() + APP_FRAME_INFO_LEN, d.end(), slow(1).begin()));
    EXPECT_EQ(got("br0_efm").size(), 1u);
    auto synce = got("br0_synce");
    ASSERT_EQ(synce.size(), 1u);
    EXPECT_STREQ((const char *)&synce[0][58], "pfa");
    EXPECT_EQ(got("br0_erps").size(), 1u);
    EXPECT_EQ(got("br0_stp").size(), 1u);
    EXPECT_EQ(fdev("br0_lacp")->stats.rx_packets, 2u);

    // Other subtypes, and a frame that ends before its subtype, are bridged.
    rx(a, slow(4));
    const frame whole = slow(1);
    frame cut(whole.begin(), whole.begin() + ETH_HLEN);
    rx(a, cut);
    auto bridged = tx(b);
    ASSERT_GE(bridged.size(), 1u);
    EXPECT_EQ(bridged[0], slow(4));
    EXPECT_TRUE(got("br0_lacp").empty());
}

TEST_F(ProtoFilterTest, DaemonFramesLeaveOnTheNamedPortOnly) {
    port("pfa", JXBRIDGE_PORT_ACCESS, 101);
    jxbridge_port *b = port("pfb", JXBRIDGE_PORT_ACCESS, 102);
    jxbridge_port *c = port("pfc", JXBRIDGE_PORT_ACCESS, 103);
    net_device *lacp = fdev("br0_lacp");
    link(lacp, true);
    const frame pdu = slow(1, 9);
    linecard_hostlink_send(lacp, from_daemon(pdu, 102));
    auto out = tx(b);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], pdu);
    EXPECT_EQ(lacp->stats.tx_packets, 1u);

    // Too short, a length that is not the frame's, no port, a port not there
    // (nor anywhere in the map), a port that is down: dropped and counted.
    frame header_only(APP_FRAME_INFO_LEN, 0);
    u32 len = APP_FRAME_INFO_LEN;
    memcpy(&header_only[48], &len, sizeof(len));
    linecard_hostlink_send(lacp, header_only);
    linecard_hostlink_send(lacp, from_daemon(pdu, 102, 300));
    linecard_hostlink_send(lacp, from_daemon(pdu, 0));
    linecard_hostlink_send(lacp, from_daemon(pdu, 104));
    linecard_hostlink_send(lacp, from_daemon(pdu, 65535));
    link(c->dev, false);
    linecard_hostlink_send(lacp, from_daemon(pdu, 103));
    EXPECT_EQ(lacp->stats.rx_dropped, 6u);
    EXPECT_EQ(lacp->stats.tx_packets, 1u);
    drain();
    // A LAG member whose master is up refuses ERPS and STP frames; LACP goes.
    jxbridge_port *lag = port("pfl", JXBRIDGE_PORT_LAG, 110);
    ASSERT_TRUE(lag->dev->flags & IFF_UP);
    mutex_lock(&jxbridge_lock);
    jxbridge_port_set_master(b, lag);
    mutex_unlock(&jxbridge_lock);
    net_device *erps = fdev("br0_erps");
    link(erps, true);
    linecard_hostlink_send(erps, from_daemon(pdu, 102));
    EXPECT_EQ(erps->stats.rx_dropped, 1u);
    linecard_hostlink_send(lacp, from_daemon(pdu, 102));
    EXPECT_EQ(tx(b).size(), 1u);
    // The bridge goes: its filter devices go with it, so it can be made again.
    link(lacp, true);
    link(br->dev, false);
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "del br0"), 0);
    EXPECT_EQ(fdev("br0_lacp"), nullptr);
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add br0 12"), 0);
    br = jxbridge_find("br0");
    EXPECT_NE(fdev("br0_lacp"), nullptr);
}

// Every allocation of the filters' set-up fails once in turn (they are the
// last ones of a bridge's creation): no device may stay behind.
TEST_F(ProtoFilterTest, AFailedSetupLeavesNoDeviceBehind) {
    const char *names[] = {"br1_erps", "br1_stp", "br1_lacp", "br1_efm", "br1_synce"};
    // 1 whole, 0 made without every filter, -1 refused; devices checked gone after.
    auto attempt = [&](long n) {
        rte_slab_fail_nth(n);
        long rc = proc_write("/proc/net/jxbridge/config", "add br1 4");
        rte_slab_fail_nth(0);
        int made = 0;
        for (const char *d : names)
            made += fdev(d) != nullptr;
        if (rc > 0) {
            EXPECT_GT(proc_write("/proc/net/jxbridge/config", "del br1"), 0) << n;
        }
        for (const char *d : names)
            EXPECT_EQ(fdev(d), nullptr) << d << " after failure " << n;
        return rc < 0 ? -1 : made == 5 ? 1 : 0;
    };
    long lo = 1, hi = 1;
    while (attempt(hi) != 1 && hi < (1L << 20))
        lo = hi, hi *= 2;
    while (hi - lo > 1) {
        long mid = (lo + hi) / 2;
        (attempt(mid) == 1 ? hi : lo) = mid;
    }
    int partial = 0;
    for (long n = hi - 1; n > 0 && n >= hi - 40; n--)
        partial += attempt(n) == 0;
    EXPECT_GT(partial, 0); // a bridge without some filter was made, and went cleanly
}

TEST_F(ProtoFilterTest, ErpsGateAndItsFile) {
    jxbridge_port *a = port("pfa", JXBRIDGE_PORT_ACCESS, 101);
    jxbridge_port *b = port("pfb", JXBRIDGE_PORT_ACCESS, 102);
    const std::string VLAN = "/proc/net/jxbridge/br0/vlan";
    ASSERT_GT(proc_write(VLAN, "vlan add 100"), 0);
    for (const char *p : {"pfa", "pfb"}) {
        ASSERT_GT(proc_write(VLAN, std::string("membership add ") + p + " 100"), 0);
        ASSERT_GT(proc_write(VLAN, std::string("pvid set ") + p + " 100"), 0);
    }
    const frame f = eth(frame(6, 0xff), mac(1), 0x0806);
    u32 on = 1;
    ASSERT_EQ(proc_ioctl(ERPS, BRIDGE_IOCTL_ERPS_STATE_SET, (unsigned long)&on), 0);
    erps_port_request r = erps_rec("pfb", 1, {100});
    ASSERT_EQ(
        proc_ioctl(ERPS, BRIDGE_IOCTL_ERPS_PORT_VLAN_OPERATIONAL_STATE_SET, (unsigned long)&r), 0);
    r.state = 0;
    ASSERT_EQ(proc_ioctl(ERPS, BRIDGE_IOCTL_ERPS_PORT_VLAN_FORWARD_STATE_SET, (unsigned long)&r),
              0);
    EXPECT_NE(proc_cat(ERPS).find("debug: 0\ndebug_mng: 0\n\n"), std::string::npos);
    EXPECT_NE(proc_cat(ERPS).find("port=pfb(id=1, bll_id=102): ENABLED VLAN-s: 100 "
                                  "(state=DISCARDING),\n"),
              std::string::npos)
        << proc_cat(ERPS);
    rx(a, f);
    EXPECT_TRUE(tx(b).empty());
    rx(b, f);
    EXPECT_TRUE(tx(a).empty());
    EXPECT_EQ(b->counters.drop_erps, 2u);
    r.state = 1;
    ASSERT_EQ(proc_ioctl(ERPS, BRIDGE_IOCTL_ERPS_PORT_VLAN_FORWARD_STATE_SET, (unsigned long)&r),
              0);
    rx(a, f);
    EXPECT_EQ(tx(b).size(), 1u);
    EXPECT_NE(proc_cat(ERPS).find("100 (state=FORWARDING),"), std::string::npos);

    // The flush takes the port's addresses of the VID, or all with VID 0.
    EXPECT_EQ(mac_table_lookup(br->mac_table, mac(1).data(), 100), a);
    erps_port_request fl = erps_rec("101", 0, {});
    fl.vid = 7;
    ASSERT_EQ(proc_ioctl(ERPS, BRIDGE_IOCTL_ERPS_FLUSH_FDB_VLAN_PORT, (unsigned long)&fl), 0);
    EXPECT_EQ(mac_table_lookup(br->mac_table, mac(1).data(), 100), a);
    fl.vid = 0;
    ASSERT_EQ(proc_ioctl(ERPS, BRIDGE_IOCTL_ERPS_FLUSH_FDB_VLAN_PORT, (unsigned long)&fl), 0);
    EXPECT_EQ(mac_table_lookup(br->mac_table, mac(1).data(), 100), nullptr);

    // Ports that are not there, a name filling its field, unknown numbers.
    erps_port_request nobody = erps_rec("pfz", 1, {100});
    EXPECT_EQ(
        proc_ioctl(ERPS, BRIDGE_IOCTL_ERPS_PORT_VLAN_OPERATIONAL_STATE_SET, (unsigned long)&nobody),
        -ENOENT);
    EXPECT_EQ(proc_ioctl(ERPS, BRIDGE_IOCTL_ERPS_FLUSH_FDB_VLAN_PORT, (unsigned long)&nobody),
              -ENODEV);
    memset(nobody.name, 'p', sizeof(nobody.name));
    EXPECT_EQ(
        proc_ioctl(ERPS, BRIDGE_IOCTL_ERPS_PORT_VLAN_FORWARD_STATE_SET, (unsigned long)&nobody),
        -ENOENT);
    EXPECT_EQ(proc_ioctl(ERPS, 0x40046505, (unsigned long)&nobody), -EINVAL);
    EXPECT_EQ(proc_write(ERPS, "debug"), -ENOARG);
    EXPECT_GT(proc_write(ERPS, "debug_mng 1"), 0);
    EXPECT_NE(proc_cat(ERPS).find("debug_mng: 1\n"), std::string::npos);

    // Switched off globally, the gate lets everything through.
    r.state = 0;
    ASSERT_EQ(proc_ioctl(ERPS, BRIDGE_IOCTL_ERPS_PORT_VLAN_FORWARD_STATE_SET, (unsigned long)&r),
              0);
    on = 0;
    ASSERT_EQ(proc_ioctl(ERPS, BRIDGE_IOCTL_ERPS_STATE_SET, (unsigned long)&on), 0);
    rx(a, f);
    EXPECT_EQ(tx(b).size(), 1u);
}

} // namespace
} // namespace jxtest
