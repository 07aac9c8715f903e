// The packet engine behind the bridge: what the bridge and qos files program
// acts on the frames that leave the engine's ports, and the engine's drop
// counters come back through the bridge's counters.
#include "wire_bridge.h"

#include "sources/jxbridge/jx_qos.h"
#include "sources/jxbridge/jxbridge_ioctl.h"

#include <cstring>

namespace jxtest {
namespace {

const char *const QOS = "/proc/net/jxbridge/br0/qos";
const char *const PON = "/proc/net/jxbridge/br0/pon";

class EngineTest : public WireBridgeTest {
  protected:
    void SetUp() override {
        WireBridgeTest::SetUp();
        linecard_engine_install();
    }
    long io(unsigned cmd, void *rec) { return proc_ioctl(BR, cmd, (unsigned long)rec); }
    long qio(unsigned cmd, void *rec) { return proc_ioctl(QOS, cmd, (unsigned long)rec); }
    u32 storm_drops(const char *name, u32 type) {
        storm_request st = {};
        strcpy(st.name, name);
        st.type = type;
        EXPECT_EQ(io(BRIDGE_IOCTL_STORM_DROPS_GET, &st), 0);
        return st.value;
    }
    // A u32 of the engine's view of the port's counters (selector 1), by record offset.
    u32 engine_counter(const char *name, size_t off) {
        port_counters_request c = {};
        strcpy(c.name, name);
        c.selector = 1;
        EXPECT_EQ(io(BRIDGE_IOCTL_PORT_COUNTERS_GET, &c), 0);
        u32 v;
        memcpy(&v, (const u8 *)&c + off, 4);
        return v;
    }
    void flood(jxbridge_port *in, const frame &dst, int n) {
        for (int i = 0; i < n; i++)
            rx(in, eth(dst, mac(1), 0x88B7));
    }
};

const frame BCAST = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const frame MCAST = {0x01, 0x00, 0x5E, 0x7F, 0x00, 0x01};
constexpr size_t DROP_STORM_BCAST = 24 + 220, DROP_STORM_MCAST = 24 + 216;
constexpr size_t DROP_QOS_POLICER = 24 + 192, DROP_ONU_POLICING = 24 + 200,
                 DROP_ONU_SHAPING = 24 + 204;

TEST_F(EngineTest, StormLimitsCutFloodsOnTheWireAndAreCounted) {
    jxbridge_port *in = port("eth1"), *out = port("eth2");
    ASSERT_GT(proc_write(BR, "mcast flood"), 0);
    ASSERT_GT(proc_write(BR, "storm rate bcast eth2 10"), 0);
    ASSERT_GT(proc_write(BR, "storm enable bcast eth2"), 0);
    EXPECT_EQ(linecard_engine_calls().back(), "tarnAPISetStormRate(0, 2, 10, 0)");
    drain();

    flood(in, BCAST, 30);
    EXPECT_EQ(tx(out).size(), 10u);
    EXPECT_EQ(tx(in).size(), 0u);
    EXPECT_EQ(storm_drops("eth2", STORM_BCAST), 20u);
    EXPECT_EQ(engine_counter("eth2", DROP_STORM_BCAST), 20u);
    // A second later the next window lets the limit through again.
    rte_clock_advance_ms(1001);
    flood(in, BCAST, 12);
    EXPECT_EQ(tx(out).size(), 10u);

    // Multicast has its own limit and counter.
    ASSERT_GT(proc_write(BR, "storm rate mcast eth2 3"), 0);
    ASSERT_GT(proc_write(BR, "storm enable mcast eth2"), 0);
    EXPECT_EQ(linecard_engine_calls().back(), "tarnAPISetStormRate(0, 2, 10, 3)");
    flood(in, MCAST, 8);
    EXPECT_EQ(tx(out).size(), 3u);
    EXPECT_EQ(storm_drops("eth2", STORM_MCAST), 5u);
    EXPECT_EQ(engine_counter("eth2", DROP_STORM_MCAST), 5u);
    EXPECT_EQ(storm_drops("eth2", STORM_BCAST), 22u);

    // Clearing the storm drops clears the engine's; disabling lifts the limit.
    storm_request st = {};
    strcpy(st.name, "eth2");
    ASSERT_EQ(io(BRIDGE_IOCTL_STORM_DROPS_CLEAR, &st), 0);
    EXPECT_EQ(storm_drops("eth2", STORM_BCAST), 0u);
    EXPECT_EQ(storm_drops("eth2", STORM_MCAST), 0u);
    ASSERT_GT(proc_write(BR, "storm disable bcast eth2"), 0);
    EXPECT_EQ(linecard_engine_calls().back(), "tarnAPISetStormRate(0, 2, 0, 3)");
    rte_clock_advance_ms(1001);
    flood(in, BCAST, 30);
    EXPECT_EQ(tx(out).size(), 30u);

    // An engine that fails the read: the drops are not reported as zero.
    linecard_engine_set_result("tarnAPIGetPortStatistics", -EIO);
    st.type = STORM_BCAST;
    EXPECT_EQ(io(BRIDGE_IOCTL_STORM_DROPS_GET, &st), 2);
    EXPECT_EQ(logged("storm_drop_frames_get error '-5'"), 1u);
}

// A two-rate policer named by an ingress rule polices where the frame
// leaves; an ONU's shaper paces its GEMs on the OLT's wire.
TEST_F(EngineTest, PolicersAndOnuShapersActOnTheWire) {
    jxbridge_port *in = port("eth1"), *out = port("eth2");
    // Policer 2 of eth1: 64 kbit/s committed and peak, bursts of 16 kbit.
    qos_port_record pr = {};
    strcpy(pr.port, "eth1");
    pr.rate = 2;
    pr.burst = 64;
    pr.mode = 16;
    pr.peak_rate = 64;
    pr.peak_burst = 16;
    ASSERT_EQ(qio(0x40047a43, &pr), 0);
    ASSERT_GT(proc_write(QOS, "selector add all"), 0);
    ASSERT_GT(proc_write(QOS, "condition add all 1 true"), 0);
    ASSERT_GT(proc_write(QOS, "action-list add pol"), 0);
    qos_action_record a = {};
    strcpy(a.list, "pol");
    a.number = 1;
    a.code = QOS_A_POLICY_TWO_RATE;
    s32 id = 2;
    memcpy(a.param, &id, sizeof(id));
    ASSERT_EQ(qio(0x40047a0d, &a), 0);
    ASSERT_GT(proc_write(QOS, "port-entry add eth1 ingress 1 all pol"), 0);
    // Learn eth2's address so that the frames are unicast.
    rx(out, eth(mac(1), mac(2), 0x88B7));
    drain();

    // 20 frames of 8000 bits at once: the buckets pass two.
    for (int i = 0; i < 20; i++)
        rx(in, eth(mac(2), mac(1), 0x88B7, 986));
    EXPECT_EQ(tx(out).size(), 2u);
    EXPECT_EQ(engine_counter("eth1", DROP_QOS_POLICER), 18u);
    // A second refills 64 kbit, but the bucket holds at most its burst.
    rte_clock_advance_ms(1000);
    for (int i = 0; i < 20; i++)
        rx(in, eth(mac(2), mac(1), 0x88B7, 986));
    EXPECT_EQ(tx(out).size(), 2u);

    // ONU 7 shaped to 128 kbit/s with 16 kbit of burst; GEM 5 of gpon0 is its.
    net_device *olt = linecard_wire_add("gpon0");
    ASSERT_NE(olt, nullptr);
    wires.push_back(olt);
    ASSERT_GT(proc_write(PON, "pon_bridge add 1"), 0);
    mutex_lock(&jxbridge_lock);
    jxbridge_port *g = jxbridge_add_port(br, 0xFFFFFFFF, 11, olt, JXBRIDGE_PORT_PON_GEM);
    g->phy_state = JXBRIDGE_PHY_UP;
    mutex_unlock(&jxbridge_lock);
    ASSERT_GT(proc_write(PON, "gem set gpon0 5 11 7"), 0);
    jxbridge_port_phy_state_set(olt, 1, 10000, 1);
    qos_port_record onu = {};
    strcpy(onu.port, "11");
    onu.rate = 128;
    onu.burst = 16;
    onu.peak_burst = 7;
    ASSERT_EQ(qio(0x40047a44, &onu), 0);
    EXPECT_EQ(linecard_engine_calls().back(),
              "tarnAPISetOQONUShapingWithCDR(4, 7, 5, 0, 0, 128000, 16000)");
    frame up = eth(mac(1), mac(3), 0x88B7);
    const u8 tag[4] = {0x88, 0xB5, 0, 5};
    up.insert(up.begin() + 12, tag, tag + 4);
    linecard_wire_rx(olt, up); // learnt behind GEM 5
    drain();
    // Frames of 8032 bits on the OLT's wire (the GEM tag included): one at
    // once, then one each 62.75 ms.
    for (int i = 0; i < 10; i++)
        rx(out, eth(mac(3), mac(2), 0x88B7, 986));
    EXPECT_EQ(linecard_wire_take(olt).size(), 1u);
    rte_clock_advance_ms(500);
    const size_t mid = linecard_wire_take(olt).size();
    EXPECT_NEAR(double(mid), 8.0, 1.0);
    rte_clock_advance_ms(1000);
    EXPECT_EQ(linecard_wire_take(olt).size(), 9 - mid);
    EXPECT_EQ(engine_counter("11", DROP_ONU_SHAPING), 0u);

    // The ONU's upstream policer: 64 kbit/s, 16 kbit of burst, before the bridge.
    onu.rate = 64;
    ASSERT_EQ(qio(0x40047a45, &onu), 0);
    frame big = eth(mac(2), mac(3), 0x88B7, 986);
    big.insert(big.begin() + 12, tag, tag + 4);
    for (int i = 0; i < 10; i++)
        linecard_wire_rx(olt, big);
    EXPECT_EQ(tx(out).size(), 2u);
    EXPECT_EQ(engine_counter("11", DROP_ONU_POLICING), 8u);
}

// Queue sizes, weights and WRED set through the qos file act on a shaped port.
TEST_F(EngineTest, QueueSizesWeightsAndWredActOnTheWire) {
    jxbridge_port *in = port("eth1"), *out = port("eth2");
    rx(out, eth(mac(1), mac(2), 0x88B7)); // learnt: the frames below are unicast
    drain();
    auto send = [&](int n, u16 type) {
        for (int i = 0; i < n; i++) {
            frame f = eth(mac(2), mac(1), type, 986); // 8000 bits on the wire
            f[14] = (u8)i;
            rx(in, f);
        }
    };
    constexpr size_t DROP_QOS_QUEUE = 24 + offsetof(jxbridge_port_counters, drop_qos_queue);
    // 64 kbit/s with two frames of burst; queue 0 holds 10.
    ASSERT_GT(proc_write(QOS, "port eth2 shape 64 16"), 0);
    ASSERT_GT(proc_write(QOS, "port eth2 queue 0 size max 10"), 0);
    send(30, 0x88B7);
    EXPECT_EQ(tx(out).size(), 2u);
    EXPECT_EQ(engine_counter("eth2", DROP_QOS_QUEUE), 18u);
    rte_clock_advance_ms(2000);
    EXPECT_EQ(tx(out).size(), 10u);
    // Refused by the engine: the size stays; without the call it is only stored.
    linecard_engine_set_result("tarnAPISetOQSize", 1);
    EXPECT_EQ(proc_write(QOS, "port eth2 queue 0 size max 3"), -EIO);
    linecard_engine_set_result("tarnAPISetOQSize", 0);
    rte_symbol_remove("tarnAPISetOQSize");
    ASSERT_GT(proc_write(QOS, "port eth2 queue 0 size max 3"), 0);
    send(30, 0x88B7);
    rte_clock_advance_ms(2000);
    EXPECT_EQ(tx(out).size(), 12u);

    // WRED between 20% and 60% of 100 frames: the first 20 pass, then some
    // but not all, and nothing past the maximum.
    rte_clock_advance_ms(2000);
    linecard_engine_install();
    ASSERT_GT(proc_write(QOS, "port eth2 queue 0 size max 100"), 0);
    ASSERT_GT(proc_write(QOS, "port eth2 queue 0 wred threshold max 0 60"), 0);
    ASSERT_GT(proc_write(QOS, "port eth2 queue 0 wred threshold min 0 20"), 0);
    ASSERT_GT(proc_write(QOS, "port eth2 queue 0 wred scale 0 100"), 0);
    send(100, 0x88B7);
    rte_clock_advance_ms(20000);
    auto got = tx(out);
    ASSERT_GT(got.size(), 25u);
    EXPECT_LT(got.size(), 70u);
    for (size_t i = 0; i < 22; i++)
        EXPECT_EQ(got[i][14], i);
    EXPECT_LT(size_t(got.back()[14]) + 1, 100u);
    EXPECT_GT(got.back()[14] + 1u, got.size()); // a gap before the last one through

    // Queues 1 and 2 share priority 0 by weight 1:3 while both wait.
    ASSERT_GT(proc_write(QOS, "port eth2 shape 1024 16"), 0);
    ASSERT_GT(proc_write(QOS, "selector add a"), 0);
    ASSERT_GT(proc_write(QOS, "condition add a 1 ether_type 0x88b8"), 0);
    ASSERT_GT(proc_write(QOS, "selector add b"), 0);
    ASSERT_GT(proc_write(QOS, "condition add b 1 ether_type 0x88b9"), 0);
    ASSERT_GT(proc_write(QOS, "action-list add q"), 0);
    qos_action_record a = {};
    strcpy(a.list, "q");
    a.number = 1;
    a.code = QOS_A_ENTRY_ASSIGN_QUEUE;
    ASSERT_EQ(qio(0x40047a0d, &a), 0);
    ASSERT_GT(proc_write(QOS, "port-entry add eth2 egress 1 a q 1"), 0);
    ASSERT_GT(proc_write(QOS, "port-entry add eth2 egress 2 b q 2"), 0);
    for (int q : {1, 2})
        ASSERT_GT(proc_write(QOS, "port eth2 queue " + std::to_string(q) + " sched-type 1"), 0);
    ASSERT_GT(proc_write(QOS, "port eth2 queue 2 weight 3"), 0);
    for (int i = 0; i < 100; i++) {
        send(1, 0x88B8);
        send(1, 0x88B9);
    }
    rte_clock_advance_ms(700); // 90 frames: neither queue runs dry
    size_t n[2] = {};
    for (const frame &f : tx(out))
        n[f[13] - 0xB8]++;
    EXPECT_NEAR(double(n[1]) / double(n[0]), 3.0, 0.5) << n[0] << " " << n[1];

    // A port that leaves the bridge takes its sizes and WRED out of the engine.
    net_device *d = out->dev;
    mutex_lock(&jxbridge_lock);
    EXPECT_EQ(jxbridge_del_port(out), 0);
    linecard_wire_take(d); // what waited went when the shaper did
    out = jxbridge_add_port(br, 0xFFFFFFFF, 0, d, JXBRIDGE_PORT_ACCESS);
    out->phy_state = JXBRIDGE_PHY_UP;
    mutex_unlock(&jxbridge_lock);
    ASSERT_GT(proc_write(QOS, "port eth2 shape 64 16"), 0);
    send(100, 0x88B7);
    rte_clock_advance_ms(20000);
    EXPECT_EQ(tx(out).size(), 100u);
}

} // namespace
} // namespace jxtest
