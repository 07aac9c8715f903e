// PON OLTs and GEM ports: the pon file as an agent drives it, and frames
// through wire devices named as OLTs, whose stand-in carries the GEM in a tag.
#include "wire_bridge.h"

#include "sources/jxbridge/jxbridge_ioctl.h"

namespace jxtest {
namespace {

const char *PON = "/proc/net/jxbridge/br0/pon";

class PonTest : public WireBridgeTest {
  protected:
    jxbridge_port *up = nullptr;
    net_device *olt[2] = {};

    void SetUp() override {
        WireBridgeTest::SetUp();
        linecard_engine_install();
        up = port("eth0", JXBRIDGE_PORT_UPLINK);
        for (int i = 0; i < 2; i++) {
            olt[i] = linecard_wire_add(i ? "gpon1" : "gpon0");
            ASSERT_NE(olt[i], nullptr);
            wires.push_back(olt[i]);
        }
    }
    // A PON/GEM port on the OLT device, its line up.
    jxbridge_port *gem_port(net_device *d, u32 bll) {
        mutex_lock(&jxbridge_lock);
        jxbridge_port *p = jxbridge_add_port(br, 0xFFFFFFFF, bll, d, JXBRIDGE_PORT_PON_GEM);
        if (p)
            p->phy_state = JXBRIDGE_PHY_UP;
        mutex_unlock(&jxbridge_lock);
        EXPECT_NE(p, nullptr);
        return p;
    }
    long pon(const std::string &cmd) { return proc_write(PON, cmd); }
    // The OLT's line as its PHY reports it.
    void olt_line_up(net_device *d) { jxbridge_port_phy_state_set(d, 1, 10000, 1); }
    // A frame as the OLT's wire carries it: the GEM tag after the MACs.
    static frame gem_tagged(frame f, u16 gem) {
        const u8 tag[4] = {0x88, 0xB5, u8(gem >> 8), u8(gem)};
        f.insert(f.begin() + 12, tag, tag + 4);
        return f;
    }
    static int gem_of(const frame &f) {
        return f.size() >= 16 && f[12] == 0x88 && f[13] == 0xB5 ? f[14] << 8 | f[15] : -1;
    }
    std::string readout() { return proc_cat(PON); }
    // The engine calls of the binding itself; the QoS programming that
    // follows a binding is the QoS tests' to check.
    static std::vector<std::string> subport_calls() {
        std::vector<std::string> out;
        for (auto &c : linecard_engine_calls())
            if (c.rfind("tarnAPISetGemSubport", 0) == 0 || c.rfind("tarnAPISetMcastGem", 0) == 0)
                out.push_back(c);
        return out;
    }
};

TEST_F(PonTest, BindingRefusesWhatItCannotKeepAndUndoesAFailedStep) {
    jxbridge_port *a = gem_port(olt[0], 11), *b = gem_port(olt[0], 12);
    EXPECT_EQ(pon("gem set gpon0 5 11 1"), -ENOSPC); // no OLT slots before pon_bridge add
    EXPECT_EQ(pon("pon_bridge add 0"), -ERANGE);
    EXPECT_EQ(pon("pon_bridge add 33"), -ERANGE); // above max_olt
    EXPECT_EQ(pon("pon_bridge add x"), -EINVAL);
    EXPECT_GT(pon("pon_bridge add 2"), 0);
    EXPECT_EQ(pon("pon_bridge add 2"), -EEXIST);

    linecard_engine_clear();
    EXPECT_GT(pon("gem set gpon0 0 11 7"), 0); // GEM 0 is a GEM
    EXPECT_EQ(a->olt != nullptr, true);
    EXPECT_EQ(subport_calls(), std::vector<std::string>{"tarnAPISetGemSubport(4, 0, 1)"});
    EXPECT_EQ(pon("gem set gpon0 4096 12 1"), -ERANGE); // gems_per_olt
    EXPECT_EQ(pon("gem set gpon0 -1 12 1"), -ERANGE);
    EXPECT_EQ(pon("gem set gpon0 0 12 1"), -EEXIST); // the old binding stays
    EXPECT_EQ(pon("gem set gpon0 6 11 7"), -EBUSY);  // a port has one binding
    EXPECT_EQ(pon("gem set gpon0 6 99 1"), -ENODEV);
    EXPECT_EQ(pon("gem set gpon0 3900 12 1"), -ERANGE);      // a multicast GEM needs its VLAN
    EXPECT_EQ(pon("gem set gpon0 3900 12 1 4095"), -ERANGE); // 4095 is no VLAN
    EXPECT_EQ(pon("gem set nosuch0 6 12 1"), -ENODEV);
    EXPECT_EQ(pon("gem set eth0 6 12 1"), -ENXIO); // an Ethernet port's device
    EXPECT_EQ(pon("gem del gpon1 6"), -ENODEV);    // not an OLT of the bridge
    EXPECT_EQ(pon("gem del gpon0 6"), -ENOENT);
    EXPECT_EQ(pon("gem mcast add 4095 3900"), -ERANGE);
    EXPECT_EQ(pon("gem mcast add 100 200"), -EINVAL);
    EXPECT_EQ(pon("gem mcast default 200"), -ERANGE);
    EXPECT_EQ(pon("gem"), -ENOARG);

    // The engine refuses the second step: nothing of the first stays, not
    // even the OLT this binding registered.
    linecard_engine_set_result("tarnAPISetGemSubport", -EIO);
    EXPECT_EQ(pon("gem set gpon1 9 12 2"), -EIO);
    linecard_engine_set_result("tarnAPISetGemSubport", 0);
    EXPECT_EQ(b->olt, nullptr);
    EXPECT_EQ(readout().find("gpon1"), std::string::npos);
    EXPECT_EQ(pon("gem set gpon1 9 12 2"), 0 + (long)strlen("gem set gpon1 9 12 2"));
    EXPECT_NE(proc_cat("/proc/net/jxbridge/br0/ports").find(" GEM=9 VID=0 ONU=2 OLT=gpon1/1"),
              std::string::npos);
    // The OLT drivers' state word is kept per OLT, by its device's name.
    pon_phystate_request ps = {};
    strcpy(ps.olt, "gpon1");
    ps.state = 3;
    EXPECT_EQ(proc_ioctl(PON, PON_IOCTL_OLT_PHYSTATE_SET, (unsigned long)&ps), 0);
    mutex_lock(&jxbridge_lock);
    EXPECT_EQ(pon_olt_phystate_get(br, "gpon1"), 3);
    EXPECT_EQ(pon_olt_phystate_get(br, "eth0"), -ENODEV);
    mutex_unlock(&jxbridge_lock);

    // Multicast GEM ports keep their VLAN; the ioctl returns UCC and GEM.
    jxbridge_port *m = gem_port(olt[0], 13);
    pon_gem_request r = {};
    strcpy(r.olt, "gpon0");
    strcpy(r.port, "13");
    r.gem = 3900;
    r.vid = 100;
    EXPECT_EQ(proc_ioctl(PON, PON_IOCTL_GEM_SET, (unsigned long)&r), 0);
    EXPECT_EQ(r.ucc, 4u);
    EXPECT_EQ(r.subport, 3900u);
    EXPECT_EQ(m->gem_vid, 100);
    pon_gem_request q = {};
    strcpy(q.olt, "gpon0");
    q.index = 1;
    EXPECT_EQ(proc_ioctl(PON, PON_IOCTL_GEM_GET_INDEX, (unsigned long)&q), 0);
    EXPECT_EQ(q.gem, 3900u);
    q.index = 2;
    EXPECT_EQ(proc_ioctl(PON, PON_IOCTL_GEM_GET_INDEX, (unsigned long)&q), -ENOENT);
    strcpy(q.olt, "gpon7");
    EXPECT_EQ(proc_ioctl(PON, PON_IOCTL_GEM_GET, (unsigned long)&q), -ENODEV);
    pon_bridge_request add = {2, {}};
    EXPECT_EQ(proc_ioctl(PON, PON_IOCTL_BRIDGE_ADD, (unsigned long)&add), -EEXIST);

    EXPECT_GT(pon("gem mcast add 100 3901"), 0);
    EXPECT_GT(pon("gem mcast del 200"), 0); // the default: not listed
    std::string out = readout();
    EXPECT_NE(out.find("    0         gpon0            GPON          0          0\n"
                       "   GEM 0, bp gpon0_0 (1/11), bll-id=11, onu-id=7\n"
                       "   GEM 3900, bp gpon0_3900 (3/13), multicast, bll-id=13, onu-id=0\n"
                       "    1         gpon1            GPON"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("-----+------\n 100 |  3901\n-----+------\n"), std::string::npos) << out;

    // Unbinding clears the multicast port and gives the subport back.
    linecard_engine_clear();
    EXPECT_GT(pon("gem del gpon0 3900"), 0);
    EXPECT_EQ(m->olt, nullptr);
    EXPECT_EQ(subport_calls(), std::vector<std::string>{"tarnAPISetGemSubport(4, 3900, 0)"});
}

TEST_F(PonTest, FramesMeetTheirSubscriberThroughTheGemTag) {
    jxbridge_port *a = gem_port(olt[0], 11);
    ASSERT_GT(pon("pon_bridge add 2"), 0);
    ASSERT_GT(pon("gem set gpon0 1001 11 1"), 0);
    olt_line_up(olt[0]);

    // Upstream: the tag goes, the frame reaches the uplink from the GEM's port.
    frame f = eth(mac(9), mac(1), 0x0800);
    rx(a, gem_tagged(f, 1001));
    auto out = tx(up);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], f);
    EXPECT_EQ(a->counters.rx_pkts, 1u);

    // An unbound GEM finds no port; an untagged frame has no GEM at all.
    rx(a, gem_tagged(f, 1002));
    linecard_wire_rx(olt[0], f);
    EXPECT_TRUE(tx(up).empty());
    EXPECT_NE(readout().find("gpon0            GPON          1          1\n"), std::string::npos);
    EXPECT_EQ(olt[0]->stats.rx_frame_errors, 1u);

    // Downstream to the learned subscriber: tagged with its GEM.
    frame d = eth(mac(1), mac(9), 0x0800);
    rx(up, d);
    out = tx(a);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], gem_tagged(d, 1001));

    // The OpenOLT agent's names of the PON interfaces register as GPON OLTs.
    wires.push_back(linecard_wire_add("dsl0"));
    EXPECT_GT(pon("olt add_all"), 0);
    EXPECT_NE(readout().find("    1          dsl0            GPON"), std::string::npos);

    // The OLT's line down: nothing leaves on its GEMs.
    jxbridge_port_phy_state_set(olt[0], 0, 0, 0);
    rx(up, d);
    EXPECT_TRUE(tx(a).empty());
}

TEST_F(PonTest, AMulticastFrameLeavesEachOltOnceOnTheVlansMulticastGem) {
    jxbridge_port *g[4] = {gem_port(olt[0], 11), gem_port(olt[0], 12), gem_port(olt[1], 21),
                           gem_port(olt[1], 22)};
    ASSERT_GT(pon("pon_bridge add 2"), 0);
    ASSERT_GT(pon("gem set gpon0 1001 11 1"), 0);
    ASSERT_GT(pon("gem set gpon0 1002 12 2"), 0);
    ASSERT_GT(pon("gem set gpon1 1001 21 3"), 0);
    ASSERT_GT(pon("gem set gpon1 1002 22 4"), 0);
    olt_line_up(olt[0]);
    olt_line_up(olt[1]);
    ASSERT_GT(proc_write(BR, "mcast flood"), 0);
    ASSERT_GT(pon("gem mcast add 1 3900"), 0);

    frame m = eth({0x01, 0x00, 0x5e, 0x01, 0x02, 0x03}, mac(9), 0x0800);
    rx(up, m);
    for (int i = 0; i < 2; i++) {
        auto out = tx(g[2 * i]);
        ASSERT_EQ(out.size(), 1u) << "OLT " << i;
        EXPECT_EQ(out[0], gem_tagged(m, 3900));
    }
    // "gem mcast del": the default multicast GEM.
    ASSERT_GT(pon("gem mcast default 3999"), 0);
    ASSERT_GT(pon("gem mcast del 1"), 0);
    rx(up, m);
    for (int i = 0; i < 2; i++) {
        auto out = tx(g[2 * i]);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(gem_of(out[0]), 3999);
    }
    // Off: once per subscriber, on its own GEM.
    ASSERT_GT(pon("mcast_gem off"), 0);
    rx(up, m);
    for (int i = 0; i < 2; i++) {
        auto out = tx(g[2 * i]);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(gem_of(out[0]) + gem_of(out[1]), 1001 + 1002);
    }
}

TEST_F(PonTest, DeletedPortsAndPonStateLeaveNothingBehind) {
    jxbridge_port *a = gem_port(olt[0], 11);
    gem_port(olt[0], 12);
    ASSERT_GT(pon("pon_bridge add 1"), 0);
    ASSERT_GT(pon("gem set gpon0 1001 11 1"), 0);
    ASSERT_GT(pon("gem set gpon0 1002 12 2"), 0);
    olt_line_up(olt[0]);
    frame f = eth(mac(9), mac(1), 0x0800);
    rx(a, gem_tagged(f, 1001));
    ASSERT_EQ(tx(up).size(), 1u);

    // The bound port goes while its subscriber sends: the GEM finds nothing.
    mutex_lock(&jxbridge_lock);
    jxbridge_del_port(a);
    mutex_unlock(&jxbridge_lock);
    linecard_wire_rx(olt[0], gem_tagged(f, 1001));
    EXPECT_TRUE(tx(up).empty());
    EXPECT_NE(readout().find("gpon0            GPON          1          1\n"), std::string::npos);
    EXPECT_NE(olt[0]->priv_flags & IFF_BRIDGE_PORT, 0u); // the OLT still receives

    // The PON state goes: the OLT's handler first, then the OLT.
    EXPECT_GT(pon("pon_bridge del"), 0);
    EXPECT_EQ(olt[0]->rx_handler_data, nullptr);
    EXPECT_EQ(olt[0]->promiscuity, 0);
    linecard_wire_rx(olt[0], gem_tagged(f, 1002));
    EXPECT_TRUE(tx(up).empty());
    EXPECT_GT(pon("pon_bridge add 1"), 0);
    ASSERT_GT(pon("gem set gpon0 1001 12 2"), 0);
}

} // namespace
} // namespace jxtest
