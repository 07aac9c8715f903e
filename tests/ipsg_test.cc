// IP source guard driven through its control file, with frames through a
// bridge of wire ports.
#include "wire_bridge.h"

#include <cstring>

using namespace jxtest;

namespace {

const char *IPSG = "/proc/net/jxbridge/br0/ipsg";

// An IPv4 UDP frame (ICMP when dport is 0) from the station, in VLAN vid.
frame ip4(u8 station, u32 src, u16 sport, u16 dport, int vid = 1, size_t extra = 20) {
    frame f = eth({0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, mac(station), 0x0800, 0, vid);
    u8 h[20] = {0x45,
                0,
                0,
                48,
                0,
                1,
                0x40,
                0,
                64,
                (u8)(dport ? 17 : 1),
                0,
                0,
                (u8)(src >> 24),
                (u8)(src >> 16),
                (u8)(src >> 8),
                (u8)src,
                10,
                0,
                0,
                254};
    f.insert(f.end(), h, h + 20);
    f.insert(f.end(), {(u8)(sport >> 8), (u8)sport, (u8)(dport >> 8), (u8)dport, 0, 8, 0, 0});
    f.resize(f.size() + extra, 0);
    return f;
}

// An IPv6 frame from 2001:db8::<last> with the next header, in VLAN vid.
frame ip6(u8 station, u8 last, u8 next, int vid = 1) {
    frame f = eth({0x33, 0x33, 0, 0, 0, 1}, mac(station), 0x86DD, 0, vid);
    u8 h[40] = {0x60, 0, 0, 0, 0, 8, next, 64, 0x20, 0x01, 0x0d, 0xb8};
    h[23] = last;
    h[24] = 0xff;
    h[39] = 1;
    f.insert(f.end(), h, h + 40);
    f.insert(f.end(), {0x30, 0x39, 0x30, 0x39, 0, 8, 0, 0});
    return f;
}

// A DHCPACK from the server leasing ip to the station for lease seconds.
frame dhcp_ack(u8 station, u32 ip, u32 lease, int vid = 1) {
    frame f = ip4(200, 0x0A0000FE, 67, 68, vid, 0);
    frame p(240, 0);
    p[0] = 2;
    for (int i = 0; i < 4; i++)
        p[16 + i] = (u8)(ip >> (24 - 8 * i));
    frame m = mac(station);
    std::copy(m.begin(), m.end(), p.begin() + 28);
    p[236] = 0x63, p[237] = 0x82, p[238] = 0x53, p[239] = 0x63;
    p.insert(p.end(), {53, 1, 5, 51, 4, (u8)(lease >> 24), (u8)(lease >> 16), (u8)(lease >> 8),
                       (u8)lease, 255});
    f.insert(f.end(), p.begin(), p.end());
    return f;
}

class IpsgTest : public WireBridgeTest {
  protected:
    jxbridge_port *a = nullptr, *b = nullptr, *up = nullptr;

    void SetUp() override {
        WireBridgeTest::SetUp();
        a = port("ia");
        b = port("ib");
        up = port("iu", JXBRIDGE_PORT_UPLINK);
        ASSERT_EQ(linecard_flowmgr_install(), 0);
        ok("enable ipv4 1");
        ok("enable ipv6 1");
    }
    size_t events(int code) {
        size_t n = 0;
        for (auto &e : linecard_flowmgr_events())
            n += e.code == code;
        return n;
    }
    long cmd(const std::string &c) { return proc_write(IPSG, c); }
    void ok(const std::string &c) { ASSERT_GT(cmd(c), 0) << c; }
    // Whether a frame sent on p leaves on port b or the uplink.
    bool passes(jxbridge_port *p, const frame &f) {
        drain();
        rx(p, f);
        return !tx(p == b ? a : b).empty() || !tx(up).empty();
    }
    ipsg_port_request port_req(const char *name) {
        ipsg_port_request r = {};
        strcpy(r.name, name);
        return r;
    }
};

TEST_F(IpsgTest, GuardedVlanPassesOnlyBoundSources) {
    ok("port ia enable ipv4 1");
    EXPECT_FALSE(passes(a, ip4(1, 0x0A000001, 1000, 2000)));
    EXPECT_TRUE(passes(a, eth({0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, mac(1), 0x0806, 46, 1)));
    EXPECT_TRUE(passes(a, ip4(1, 0x0A000001, 68, 67))) << "DHCP always passes";
    EXPECT_TRUE(passes(b, ip4(2, 0x0A000002, 1000, 2000))) << "another port is not guarded";

    ok("port ia bindings add 0 02:00:00:00:00:01 1 10.0.0.1");
    EXPECT_TRUE(passes(a, ip4(1, 0x0A000001, 1000, 2000)));
    EXPECT_FALSE(passes(a, ip4(3, 0x0A000001, 1000, 2000))) << "IP+MAC: another MAC";
    ok("port ia bindings add 0 02:00:00:00:00:07 2 10.0.0.7");
    EXPECT_FALSE(passes(a, ip4(7, 0x0A000007, 1000, 2000))) << "another VLAN's binding";
    ok("port ia mode ipv4");
    EXPECT_TRUE(passes(a, ip4(3, 0x0A000001, 1000, 2000))) << "IP only";

    // A /24 binding covers its subnet; the drops are counted on the port.
    ok("port ia bindings add 0 02:00:00:00:00:05 1 10.1.2.0/24");
    EXPECT_TRUE(passes(a, ip4(5, 0x0A0102C8, 1000, 2000)));
    EXPECT_FALSE(passes(a, ip4(5, 0x0A0103C8, 1000, 2000)));
    ipsg_port_request r = port_req("ia");
    ASSERT_EQ(proc_ioctl(IPSG, IPSG_IOCTL_PORT_STAT_GET, (unsigned long)&r), 0);
    EXPECT_EQ(r.value, 4u);
    EXPECT_EQ(a->counters.drop_ipsg, 4u);
    std::string out = proc_cat(IPSG);
    EXPECT_NE(out.find("                  ia | IPv4: (dropped 4), IPv6: (dropped 0), mode=IP, "
                       "count=3, max=200, learn=Off\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("|   mac=02:00:00:00:00:01, vid=1, ip=10.0.0.1/128 (static), matched=2\n"),
              std::string::npos)
        << out;

    // Switched off globally, the port's bitmap no longer filters.
    ok("enable ipv4 0");
    EXPECT_TRUE(passes(a, ip4(9, 0x0B000001, 1000, 2000)));
}

TEST_F(IpsgTest, Ipv6GuardLetsIcmpv6ThroughAndMatchesPrefixes) {
    ok("port ia enable ipv6 1");
    EXPECT_TRUE(passes(a, ip6(1, 7, 58)));
    EXPECT_FALSE(passes(a, ip6(1, 7, 17)));
    EXPECT_TRUE(passes(a, ip4(1, 0x0A000001, 1000, 2000))) << "IPv4 is not guarded";
    ok("port ia bindings add 0 02:00:00:00:00:01 1 2001:db8:0:0:0:0:0:0/64");
    EXPECT_TRUE(passes(a, ip6(1, 7, 17)));
    ok("enable ipv6 0");
    EXPECT_TRUE(passes(a, ip6(2, 7, 17)));
    EXPECT_EQ(cmd("port ia bindings add 0 02:00:00:00:00:01 1 2001:db8::1"), -EINVAL);
    EXPECT_EQ(cmd("port ia bindings add 0 02:00:00:00:00:01 10"), -ENOARG);
    EXPECT_EQ(cmd("port nosuch limit 3"), -ENODEV);
}

TEST_F(IpsgTest, LimitsExpiryAndTheCountStaySound) {
    ok("port ia enable ipv4 1");
    for (int i = 1; i <= 3; i++)
        ok("port ia bindings add 0 02:00:00:00:00:0" + std::to_string(i) + " 1 10.0.0." +
           std::to_string(i));
    // Lowering the limit keeps the bindings; the count follows the limit.
    ok("port ia limit 1");
    ipsg_port_request r = port_req("ia");
    ASSERT_EQ(proc_ioctl(IPSG, IPSG_IOCTL_PORT_LIMITS_GET, (unsigned long)&r), 0);
    EXPECT_EQ(r.value, 1u);
    EXPECT_EQ(r.value2, 1u);
    EXPECT_EQ(cmd("port ia bindings add 0 02:00:00:00:00:09 1 10.0.0.9"), -ENOSPC);
    EXPECT_TRUE(passes(a, ip4(3, 0x0A000003, 1000, 2000)));
    // Deleting all three never wraps the count, and a get past the list is refused.
    for (int i = 1; i <= 3; i++)
        ok("port ia bindings del 02:00:00:00:00:0" + std::to_string(i) + " 1 10.0.0." +
           std::to_string(i));
    EXPECT_EQ(events(JXBRIDGE_FEV_IPSG_BINDING_DEL), 3u);
    ASSERT_EQ(proc_ioctl(IPSG, IPSG_IOCTL_PORT_LIMITS_GET, (unsigned long)&r), 0);
    EXPECT_EQ(r.value2, 0u);
    ipsg_binding_request g = {};
    strcpy(g.name, "ia");
    EXPECT_EQ(proc_ioctl(IPSG, IPSG_IOCTL_BINDING_GET, (unsigned long)&g), -EINVAL);
    EXPECT_EQ(cmd("port ia bindings del 02:00:00:00:00:01 1 10.0.0.1"), -ENOENT);

    // The longest life saturates instead of wrapping to "static"; expired, it stops matching.
    ok("port ia limit 200");
    ok("port ia bindings add 4294967295 02:00:00:00:00:01 1 10.0.0.1");
    ok("port ia bindings add 60 02:00:00:00:00:02 1 10.0.0.2");
    EXPECT_EQ(proc_cat(IPSG).find("(static)"), std::string::npos);
    EXPECT_TRUE(passes(a, ip4(2, 0x0A000002, 1000, 2000)));
    rte_clock_step_real(61);
    EXPECT_FALSE(passes(a, ip4(2, 0x0A000002, 1000, 2000)));
    EXPECT_TRUE(passes(a, ip4(1, 0x0A000001, 1000, 2000)));
    EXPECT_EQ(proc_cat(IPSG).find("10.0.0.2"), std::string::npos);
    ASSERT_EQ(proc_ioctl(IPSG, IPSG_IOCTL_PORT_LIMITS_GET, (unsigned long)&r), 0);
    EXPECT_EQ(r.value2, 2u) << "an expired binding still counts";
}

TEST_F(IpsgTest, RecordsAreBoundedAndCopiesFail) {
    // A name that fills its field is cut, never read past.
    ipsg_binding_request br = {};
    memset(br.name, 'x', sizeof(br.name));
    EXPECT_EQ(proc_ioctl(IPSG, IPSG_IOCTL_BINDING_ADD, (unsigned long)&br), -ENODEV);
    EXPECT_EQ(proc_ioctl(IPSG, IPSG_IOCTL_BINDING_ADD, 8), -EFAULT);
    EXPECT_EQ(proc_ioctl(IPSG, IPSG_IOCTL_DEBUG_GET, 8), -EFAULT);
    EXPECT_EQ(proc_ioctl(IPSG, 0x40047a13, 0), -EINVAL);

    strcpy(br.name, "ib");
    memcpy(br.mac, mac(4).data(), 6);
    br.vid = 300;
    br.ip = {IPSG_AF_INET, {}};
    u32 v4 = 0x0A000004;
    memcpy(br.ip.addr, &v4, 4);
    br.prefix = 32;
    ASSERT_EQ(proc_ioctl(IPSG, IPSG_IOCTL_BINDING_ADD, (unsigned long)&br), 0);
    ipsg_binding_request g = {};
    strcpy(g.name, "ib");
    ASSERT_EQ(proc_ioctl(IPSG, IPSG_IOCTL_BINDING_GET, (unsigned long)&g), 0);
    EXPECT_EQ(g.vid, 300);
    EXPECT_EQ(g.prefix, 32u);
    EXPECT_EQ(memcmp(g.mac, br.mac, 6), 0);

    // A VLAN past the first eight still marks the port's lookup mask.
    ipsg_vlan_request v = {};
    strcpy(v.name, "ib");
    v.vid = 300;
    v.enable = v.ipv4 = 1;
    ASSERT_EQ(proc_ioctl(IPSG, IPSG_IOCTL_VLAN_STATE_SET, (unsigned long)&v), 0);
    EXPECT_EQ(b->lookup_mask, 0x10);
    EXPECT_EQ(events(JXBRIDGE_FEV_PORT_REEVALUATE), 1u);
    ASSERT_EQ(proc_ioctl(IPSG, IPSG_IOCTL_CLEAR_VLANS, 0), 0);
    EXPECT_EQ(b->lookup_mask, 0);
}

TEST_F(IpsgTest, LeasesToALearningPortBecomeBindings) {
    ok("port ia enable ipv4 1");
    ok("port ia learn 1");
    rx(a, ip4(1, 0, 68, 67)); // the client's request teaches the MAC table its port
    rx(up, dhcp_ack(1, 0x0A000064, 3600));
    EXPECT_TRUE(passes(a, ip4(1, 0x0A000064, 1000, 2000)));
    EXPECT_NE(proc_cat(IPSG).find("ip=10.0.0.100/32 (3600 s)"), std::string::npos);
    // Not learning: the next lease is not bound.
    ok("port ib enable ipv4 1");
    rx(b, ip4(2, 0, 68, 67));
    rx(up, dhcp_ack(2, 0x0A000065, 3600));
    EXPECT_FALSE(passes(b, ip4(2, 0x0A000065, 1000, 2000)));
}

} // namespace
