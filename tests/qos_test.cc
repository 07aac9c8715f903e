// QoS through its control file as the agents drive it: what reaches the packet
// engine and when, the values it refuses, and frames marked in a flood.
#include "wire_bridge.h"

#include "sources/jxbridge/jx_qos.h"

#include <algorithm>

namespace jxtest {
namespace {

const char *QOS = "/proc/net/jxbridge/br0/qos";

u16 csum(const u8 *p, size_t n) {
    u32 s = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        s += p[i] << 8 | p[i + 1];
    while (s >> 16)
        s = (s & 0xFFFF) + (s >> 16);
    return (u16)~s;
}

// A broadcast UDP/IPv4 frame with the TOS given and a right header checksum.
frame ipv4(u8 tos) {
    frame f = eth({0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, mac(1), 0x0800, 0);
    u8 h[20] = {0x45, tos, 0, 28, 0, 1, 0, 0, 64, 17, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2};
    u16 c = csum(h, 20);
    h[10] = (u8)(c >> 8);
    h[11] = (u8)c;
    f.insert(f.end(), h, h + 20);
    f.resize(f.size() + 26, 0);
    return f;
}

class QosTest : public WireBridgeTest {
  protected:
    void SetUp() override {
        WireBridgeTest::SetUp();
        linecard_engine_install();
    }
    long qos(const std::string &cmd) { return proc_write(QOS, cmd); }
    void ok(const std::string &cmd) { ASSERT_GT(qos(cmd), 0) << cmd; }
    template <typename R> long ioc(unsigned cmd, R *r) {
        return proc_ioctl(QOS, cmd, (unsigned long)r);
    }
    template <typename R> R rec(const char *port) {
        R r = {};
        strcpy(r.port, port);
        return r;
    }
    std::vector<std::string> calls_since(size_t from) {
        auto all = linecard_engine_calls();
        return {all.begin() + (long)std::min(from, all.size()), all.end()};
    }
};

TEST_F(QosTest, TheEngineGetsRoundedValuesAndNothingIsStoredThatItRefused) {
    port("eth1", JXBRIDGE_PORT_UPLINK); // bound to UCC 0, subport 1 on its way in
    linecard_engine_clear();
    ok("port eth1 shape 100 3000");
    EXPECT_EQ(linecard_engine_calls(),
              std::vector<std::string>{"tarnAPISetPortShaping(0, 1, 128000, 4096000)"});
    auto shaping = [&] {
        auto r = rec<qos_port_record>("eth1");
        EXPECT_EQ(ioc(0x40047a19, &r), 0);
        return std::make_pair((u32)r.rate, (u32)r.burst);
    };
    EXPECT_EQ(shaping(), std::make_pair(128u, 4096u));

    // No wrap into a small rate, no half-off pair, and an engine that says no.
    EXPECT_EQ(qos("port eth1 shape 4294967295 3000"), -ERANGE);
    EXPECT_EQ(qos("port eth1 shape 10000000 3000"), -ERANGE); // beyond 32-bit bit/s
    EXPECT_EQ(qos("port eth1 shape 0 100"), -ERANGE);
    linecard_engine_set_result("tarnAPISetPortShaping", 1);
    EXPECT_EQ(qos("port eth1 shape 640 16"), -EIO);
    EXPECT_EQ(shaping(), std::make_pair(128u, 4096u));
    linecard_engine_set_result("tarnAPISetPortShaping", 0);
    EXPECT_EQ(linecard_engine_calls().size(), 2u);

    // Limits between values of a queue, and a trust mode out of range.
    ok("port eth1 queue 2 wred threshold max 0 50");
    EXPECT_EQ(qos("port eth1 queue 2 wred threshold min 0 60"), -ERANGE);
    ok("port eth1 queue 2 wred threshold min 0 40");
    auto w = rec<qos_wred_record>("eth1");
    w.queue = 2;
    ASSERT_EQ(ioc(0x40047a37, &w), 0);
    EXPECT_EQ(w.min_threshold, 40);
    ok("port eth1 queue 0 size max 100");
    ok("port eth1 queue 0 size min 50");
    EXPECT_EQ(qos("port eth1 queue 0 size max 40"), -ERANGE);
    ok("port eth1 trust 2");
    EXPECT_EQ(qos("port eth1 trust 4"), -ERANGE);
    auto t = rec<qos_port_record>("eth1");
    ASSERT_EQ(ioc(0x40047a1b, &t), 0);
    EXPECT_EQ(t.mode, 2u);
    auto occupancy = [&](int engine_says) {
        linecard_engine_set_result("tarnAPIGetOQOccupation", engine_says);
        auto r = rec<qos_queue_record>("eth1");
        r.queue = 1;
        EXPECT_EQ(ioc(0x40047a3e, &r), 0);
        return (u32)r.occupancy;
    };
    EXPECT_EQ(occupancy(12), 12u);
    EXPECT_EQ(occupancy(80), 0u); // more than a queue holds
    EXPECT_EQ(qos("port eth1 queue 0 size max"), -ENOARG);
    EXPECT_EQ(qos("port eth1 shape x 1"), -ENOARG);
    EXPECT_EQ(qos("port nosuch trust 1"), -ENODEV);
    auto bad = rec<qos_port_record>("nosuch");
    EXPECT_EQ(ioc(0x40047a1a, &bad), -ENODEV);
}

TEST_F(QosTest, APortGainingItsBindingGetsItsValuesInOrder) {
    net_device *olt = linecard_wire_add("gpon0");
    wires.push_back(olt);
    mutex_lock(&jxbridge_lock);
    jxbridge_port *g = jxbridge_add_port(br, 0xFFFFFFFF, 11, olt, JXBRIDGE_PORT_PON_GEM);
    mutex_unlock(&jxbridge_lock);
    ASSERT_NE(g, nullptr);
    ASSERT_GT(proc_write("/proc/net/jxbridge/br0/pon", "pon_bridge add 2"), 0);
    linecard_engine_clear();
    // Unbound: kept, not programmed.
    ok("port 11 shape 100 3000");
    ok("port 11 queue 3 bw min 64 1");
    ok("selector add all");
    ok("condition add all 1 true");
    ok("action-list add q");
    qos_action_record a = {};
    strcpy(a.list, "q");
    a.number = 1;
    a.code = QOS_A_ENTRY_ASSIGN_QUEUE;
    ASSERT_EQ(ioc(0x40047a0d, &a), 0);
    EXPECT_EQ(qos("port-entry add 11 egress 1 all q 9"), -EFAULT); // no such queue
    ok("port-entry add 11 egress 1 all q 3");
    EXPECT_TRUE(linecard_engine_calls().empty());

    ASSERT_GT(proc_write("/proc/net/jxbridge/br0/pon", "gem set gpon0 5 11 7"), 0);
    std::vector<std::string> want = {"tarnAPISetGemSubport(4, 5, 1)"};
    for (int i = 0; i < 8; i++)
        want.push_back("tarnAPISetICPolicing(4, 5, " + std::to_string(i) + ", 0, 0, 0, 0)");
    want.push_back("tarnAPISetPortShaping(4, 5, 128000, 4096000)");
    for (int i = 0; i < 8; i++)
        want.push_back("tarnAPISetOQShapingWithCDR(4, 5, " + std::to_string(i) +
                       (i == 3 ? ", 64000, 1000, 0, 0, 0)" : ", 0, 0, 0, 0, 0)"));
    want.push_back("tarnAPISetOQPriority2(4, 5, 3, 0, 1, 1)");
    want.push_back("tarnAPISetOQPriority2(4, 5, 3, 0, 1, 0)");
    EXPECT_EQ(linecard_engine_calls(), want);

    // A VLAN's multicast GEM gets the top queue and priority on every OLT.
    ASSERT_GT(proc_write("/proc/net/jxbridge/br0/pon", "gem mcast add 100 3900"), 0);
    auto mc = calls_since(want.size());
    ASSERT_GE(mc.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(mc.end() - 3, mc.end()),
              (std::vector<std::string>{"tarnAPISetOQShapingWithCDR(4, 3900, 7, 0, 0, 0, 0, 1)",
                                        "tarnAPISetOQPriority2(4, 3900, 7, 7, 1, 1)",
                                        "tarnAPISetOQPriority2(4, 3900, 7, 7, 1, 0)"}));

    // Losing the binding disables the used queue first.
    size_t n = linecard_engine_calls().size();
    ASSERT_GT(proc_write("/proc/net/jxbridge/br0/pon", "gem del gpon0 5"), 0);
    auto after = calls_since(n);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front(), "tarnAPISetOQPriority2(4, 5, 3, 0, 0, 1)");
    EXPECT_EQ(after.back(), "tarnAPISetGemSubport(4, 5, 0)");

    // OpenOLT: numbers checked, and a queue the engine refused is not kept.
    EXPECT_EQ(qos("scheduler_add 0 1"), -ENOARG);
    EXPECT_EQ(qos("scheduler_add 0 x 0 0 1 0 1000 64 2000 64"), -EINVAL);
    ok("scheduler_add 0 1 0 0 1 0 1000 64 2000 64");
    linecard_engine_set_result("tarnAPIQosEgressSetQueue", 1);
    EXPECT_EQ(qos("queue_add 0 1025 0 1 1 5 0 0 1000 64 2000 64"), -EIO);
    EXPECT_EQ(linecard_engine_calls().back(), "tarnAPIQosEgressDeleteQueue(4, 1)");
    linecard_engine_set_result("tarnAPIQosEgressSetQueue", 0);
    ok("queue_add 0 1025 0 1 1 5 0 0 1000 64 2000 64");
    u8 prio = 0;
    EXPECT_EQ(qos_get_gem_priority_oo(br, 0, 1025, &prio), 0);
    EXPECT_EQ(prio, 5);
}

TEST_F(QosTest, AFloodIsMarkedPerPortAndTheDefaultListApplies) {
    jxbridge_port *a = port("wa"), *b = port("wb"), *c = port("wc");
    ok("selector add all");
    ok("condition add all 1 true");
    ok("action-list add ef");
    ok("action add ef 1 set_ipv4_dscp 46");
    ok("port-entry add wb egress 1 all ef");
    rx(a, ipv4(0));
    auto to_b = tx(b), to_c = tx(c);
    ASSERT_EQ(to_b.size(), 1u);
    ASSERT_EQ(to_c.size(), 1u);
    EXPECT_EQ(to_b[0][15], 0xB8);
    EXPECT_EQ(csum(&to_b[0][14], 20), 0);
    EXPECT_EQ(to_c[0][15], 0); // the other copy is untouched
    EXPECT_EQ(to_c[0], ipv4(0));

    // Names end inside their 128-byte field.
    EXPECT_EQ(qos("selector add " + std::string(128, 'n')), -EINVAL);
    ok("selector add " + std::string(127, 'n'));

    // An IPv6 frame's TOS fields take the traffic class.
    frame v6 = eth(mac(2), mac(1), 0x86DD, 0);
    frame h = {0x6B, 0x80, 0, 0, 0, 8, 17, 64};
    v6.insert(v6.end(), h.begin(), h.end());
    v6.resize(v6.size() + 40, 0);
    sk_buff *skb = alloc_skb((unsigned)v6.size(), GFP_ATOMIC);
    skb_put_data(skb, v6.data(), (unsigned)v6.size());
    JXBRIDGE_CB(skb)->port_no = (u16)a->port_no;
    mutex_lock(&jxbridge_lock);
    skb = qos_ds_skb(br->qos, skb, 1);
    mutex_unlock(&jxbridge_lock);
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(JXBRIDGE_CB(skb)->engine8[0], 0xB8);
    kfree_skb(skb);

    ok("default-action-list ingress drop");
    rx(a, ipv4(0));
    EXPECT_TRUE(tx(b).empty());
    EXPECT_EQ(a->counters.drop_qos_ds_ingress, 1u);
    // A default list that rewrites runs on ports without entries too.
    ok("default-action-list ingress ef");
    rx(a, ipv4(0));
    to_c = tx(c);
    ASSERT_EQ(to_c.size(), 1u);
    EXPECT_EQ(to_c[0][15], 0xB8);
}

TEST_F(QosTest, EveryBridgeGetsItsSwitchingModeRules) {
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add br1 4"), 0);
    port("eth0", JXBRIDGE_PORT_UPLINK);
    for (const char *b : {"br0", "br1"}) {
        std::string dir = std::string("/proc/net/jxbridge/") + b;
        ASSERT_GT(proc_write(dir + "/bridge", "switching_mode cord_vswitch"), 0) << b;
        std::string out = proc_cat(dir + "/qos");
        EXPECT_NE(out.find("DEFAULT_OO_FLOW_COS_7 ("), std::string::npos) << b;
        EXPECT_NE(out.find("DEFAULT_OO_MNG_FLOW ("), std::string::npos) << b;
    }
    std::string out = proc_cat(QOS);
    EXPECT_NE(out.find("eth0, bll-id("), std::string::npos) << out;
    EXPECT_NE(out.find("\t7: DEFAULT_OO_FLOW_COS_7 --> DEFAULT_OO_FLOW_COS_7; queue: 7; policer: "
                       "7, extCVid: 4095, priority: 0\n"),
              std::string::npos)
        << out;
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "del br1"), 0);
}

} // namespace
} // namespace jxtest
