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

} // namespace
} // namespace jxtest
