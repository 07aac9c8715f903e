// Frames through a bridge of wire ports: the pipeline's decisions and the
// forwarding rules, checked on the bytes each port transmits and on the
// counters.
#include "wire_bridge.h"

#include "kernel/netdevice.h"
#include "linecard/engine.h"
#include "linecard/flowmgr.h"
#include "linecard/wire.h"
#include "sources/jxbridge/jxbridge.h"

#include <algorithm>
#include <cstring>

using namespace jxtest;

namespace {

const u8 BCAST[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

// An IPv4 frame with a TCP or UDP header towards dport.
frame ip_l4(const frame &dst, const frame &src, u8 proto, u16 dport) {
    frame f = eth(dst, src, 0x0800, 0);
    u8 ip[20] = {0x45, 0, 0, 40, 0, 0, 0x40, 0, 64, proto, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2};
    u8 l4[20] = {0x30, 0x39, (u8)(dport >> 8), (u8)dport};
    for (u8 b : ip)
        f.push_back(b);
    for (u8 b : l4)
        f.push_back(b);
    return f;
}

class PipelineTest : public WireBridgeTest {};

TEST_F(PipelineTest, LearnsThenSendsUnicastToOnePortOnly) {
    jxbridge_port *a = port("wa"), *b = port("wb"), *c = port("wc");
    frame from_a = eth(mac(2), mac(1), 0x0800);
    // Unknown destination: flooded to the others, never back to a.
    rx(a, from_a);
    EXPECT_TRUE(tx(a).empty());
    ASSERT_EQ(tx(b).size(), 1u);
    ASSERT_EQ(tx(c).size(), 1u);
    EXPECT_EQ(a->counters.rx_dlf, 1u);
    // b answers: a is known, so only a gets it, unchanged.
    frame from_b = eth(mac(1), mac(2), 0x0800, 100);
    rx(b, from_b);
    auto got = tx(a);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], from_b);
    EXPECT_TRUE(tx(c).empty());
    // Now both are known.
    rx(a, from_a);
    got = tx(b);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], from_a);
    EXPECT_TRUE(tx(c).empty());

    EXPECT_EQ(a->counters.rx_pkts, 2u);
    EXPECT_EQ(a->counters.rx_ucast, 2u);
    EXPECT_EQ(a->counters.rx_octets, 2u * (from_a.size() + 4));
    EXPECT_EQ(b->counters.tx_pkts, 2u); // the flood and the unicast
    EXPECT_EQ(b->counters.tx_ucast, 2u);
    EXPECT_EQ(br->stats.rx_packets, 3u);
}

TEST_F(PipelineTest, BroadcastAndUnknownUnicastFloodWithinTheStormRate) {
    jxbridge_port *a = port("wa"), *b = port("wb"), *c = port("wc");
    frame bc = eth(frame(BCAST, BCAST + 6), mac(1), 0x0806);
    rx(a, bc);
    EXPECT_EQ(tx(b).size(), 1u);
    EXPECT_EQ(tx(c).size(), 1u);
    EXPECT_TRUE(tx(a).empty());
    EXPECT_EQ(a->counters.rx_bcast, 1u);
    EXPECT_EQ(b->counters.tx_bcast, 1u);

    // The unknown-destination rate of the receiving port: 3 per window.
    ASSERT_GT(proc_write(BR, "storm rate dlf wa 3"), 0);
    for (int i = 0; i < 5; i++)
        rx(a, eth(mac(9), mac(1), 0x0800));
    EXPECT_EQ(tx(b).size(), 3u);
    EXPECT_EQ(a->counters.drop_storm_dlf, 2u);
    EXPECT_EQ(a->counters.rx_discard, 2u);
    EXPECT_EQ(a->counters.rx_dlf, 5u);
    // A new window once more than a second has passed.
    rte_clock_advance(2 * HZ);
    rx(a, eth(mac(9), mac(1), 0x0800));
    EXPECT_EQ(tx(b).size(), 1u);
    // Disabled control lets everything through.
    ASSERT_GT(proc_write(BR, "storm disable dlf wa"), 0);
    for (int i = 0; i < 10; i++)
        rx(a, eth(mac(9), mac(1), 0x0800));
    EXPECT_EQ(tx(c).size(), 4u + 10u);
}

TEST_F(PipelineTest, MulticastFollowsTheBridgeMode) {
    jxbridge_port *a = port("wa"), *b = port("wb");
    frame mc = eth({0x01, 0x00, 0x5e, 0, 0, 1}, mac(1), 0x0800);
    frame v6 = eth({0x33, 0x33, 0, 0, 0, 1}, mac(1), 0x86dd);
    // Mode 0 (the default): dropped and counted; IPv6 multicast still floods.
    rx(a, mc);
    EXPECT_TRUE(tx(b).empty());
    EXPECT_EQ(a->counters.drop_mcast, 1u);
    EXPECT_EQ(a->counters.rx_mcast, 1u);
    rx(a, v6);
    EXPECT_EQ(tx(b).size(), 1u);
    ASSERT_GT(proc_write(BR, "mcast flood"), 0);
    rx(a, mc);
    EXPECT_EQ(tx(b).size(), 1u);
    EXPECT_EQ(b->counters.tx_mcast, 2u);
    // Forward mode asks the VLAN: discarding by default.
    ASSERT_GT(proc_write(BR, "mcast forward"), 0);
    rx(a, mc);
    EXPECT_TRUE(tx(b).empty());
    EXPECT_EQ(a->counters.drop_mcast, 2u);
}

TEST_F(PipelineTest, ProtectedPortsLagsAndTheInputPort) {
    jxbridge_port *a = port("wa"), *b = port("wb"), *c = port("wc");
    ASSERT_GT(proc_write(BR, "set_protected_port wa 1"), 0);
    ASSERT_GT(proc_write(BR, "set_protected_port wb 1"), 0);
    rx(a, eth(frame(BCAST, BCAST + 6), mac(1), 0x0806));
    EXPECT_TRUE(tx(b).empty());
    EXPECT_EQ(tx(c).size(), 1u);
    EXPECT_EQ(b->counters.drop_tx_protected_port, 1u);
    EXPECT_EQ(b->counters.tx_discard, 1u);

    // A LAG member does not transmit while its master is up; frames that came
    // in on the LAG are not sent back to it.
    jxbridge_port *lag = port("wlag", JXBRIDGE_PORT_LAG);
    jxbridge_port *m = port("wm", JXBRIDGE_PORT_UPLINK);
    linecard_engine_install(); // LAG membership programs the packet engine
    mutex_lock(&jxbridge_lock);
    int rc = jxbridge_port_set_master(m, lag);
    mutex_unlock(&jxbridge_lock);
    ASSERT_EQ(rc, 0);
    drain();
    rx(c, eth(frame(BCAST, BCAST + 6), mac(3), 0x0806));
    EXPECT_EQ(tx(lag).size(), 1u);
    EXPECT_TRUE(tx(m).empty());
    EXPECT_TRUE(tx(c).empty()); // not back to the input port

    // A multicast frame the LAG received on its member and dropped counts on
    // both, also when the flow manager is offered the frame first.
    ASSERT_EQ(linecard_flowmgr_install(), 0);
    frame mc = eth({0x01, 0x00, 0x5e, 0, 0, 1}, mac(3), 0x0800);
    struct sk_buff *skb = netdev_alloc_skb(lag->dev, 128);
    ASSERT_NE(skb, nullptr);
    memcpy(skb_put(skb, (unsigned)mc.size()), mc.data(), mc.size());
    skb->protocol = eth_type_trans(skb, lag->dev);
    skb->skb_iif = m->dev->ifindex;
    jxbridge_process_frame(skb);
    EXPECT_EQ(lag->counters.drop_mcast, 1u);
    EXPECT_EQ(m->counters.drop_mcast, 1u);
    EXPECT_EQ(m->counters.rx_discard, 1u);
}

TEST_F(PipelineTest, PvcSlavesSendThroughTheirMaster) {
    jxbridge_port *a = port("wa");
    jxbridge_port *master = port("wpvc", JXBRIDGE_PORT_ACCESS);
    jxbridge_port *slave = port("wpvc1", JXBRIDGE_PORT_ACCESS_PVC);
    ASSERT_GT(proc_write(BR, "pvc wpvc set master"), 0);
    ASSERT_GT(proc_write(BR, "pvc wpvc add 5 wpvc1"), 0);
    drain();
    rx(a, eth(frame(BCAST, BCAST + 6), mac(1), 0x0806));
    // The master never transmits directly; the slave's copy leaves on its master.
    auto got = tx(master);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(slave->counters.tx_pkts, 1u);
    EXPECT_EQ(master->counters.tx_pkts, 1u);
    EXPECT_TRUE(tx(slave).empty());
}

TEST_F(PipelineTest, ManagementFilterAndPadding) {
    jxbridge_port *a = port("wa"), *up = port("wup", JXBRIDGE_PORT_UPLINK);
    jxbridge_port *local = port("wlocal", JXBRIDGE_PORT_LOCAL);
    ASSERT_GT(proc_write(BR, "set_protected_port wlocal 0"), 0);
    // Teach the bridge where both stations are.
    rx(local, eth(frame(BCAST, BCAST + 6), mac(7), 0x0806));
    rx(up, eth(frame(BCAST, BCAST + 6), mac(8), 0x0806));
    drain();
    rx(a, ip_l4(mac(7), mac(1), 6, 111));
    EXPECT_TRUE(tx(local).empty());
    EXPECT_EQ(local->counters.tx_discard, 1u);
    rx(a, ip_l4(mac(7), mac(1), 6, 80));
    EXPECT_EQ(tx(local).size(), 1u);
    rx(a, ip_l4(mac(8), mac(1), 6, 111)); // not towards a local port
    EXPECT_EQ(tx(up).size(), 1u);

    // A 42-byte frame leaves as 60 bytes, the last 18 zero.
    frame small = eth(mac(8), mac(1), 0x0806, 28);
    ASSERT_EQ(small.size(), 42u);
    rx(a, small);
    auto got = tx(up);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].size(), 60u);
    EXPECT_TRUE(std::equal(small.begin(), small.end(), got[0].begin()));
    EXPECT_EQ(got[0].back(), 0);
    EXPECT_EQ(std::count(got[0].begin() + 42, got[0].end(), 0), 18);
}

TEST_F(PipelineTest, DropsAtTheGateAreCountedWhereTheyHappen) {
    jxbridge_port *a = port("wa"), *b = port("wb");
    frame f = eth(frame(BCAST, BCAST + 6), mac(1), 0x0806);
    // Line down.
    a->phy_state = JXBRIDGE_PHY_DOWN;
    rx(a, f);
    EXPECT_EQ(a->counters.drop_line_disconnected, 1u);
    a->phy_state = JXBRIDGE_PHY_UP;
    // Port states: error-disabled counts both source-guard counters.
    ASSERT_GT(proc_write(BR, "error_disable port_state wa error-disabled"), 0);
    rx(a, f);
    EXPECT_EQ(a->counters.mac_source_guard_violations, 1u);
    EXPECT_EQ(a->counters.mac_source_guard_error_disabled, 1u);
    ASSERT_GT(proc_write(BR, "error_disable port_state wa acs-disabled"), 0);
    rx(a, f);
    EXPECT_EQ(a->counters.mac_source_guard_violations, 2u);
    EXPECT_EQ(a->counters.mac_source_guard_error_disabled, 1u);
    ASSERT_GT(proc_write(BR, "error_disable port_state wa ok"), 0);
    EXPECT_TRUE(tx(b).empty());
    // A driver that refuses the frame: freed and counted, not leaked.
    linecard_wire_refuse(b->dev, true);
    rx(a, f);
    EXPECT_EQ(b->counters.tx_discard, 1u);
    linecard_wire_refuse(b->dev, false);
    // The bridge down: counted and nothing else.
    rtnl_lock();
    dev_close(br->dev);
    rtnl_unlock();
    u64 pkts = a->counters.rx_pkts;
    linecard_wire_rx(a->dev, f); // the hook is gone: the host stack takes it
    EXPECT_EQ(a->counters.rx_pkts, pkts);
    rtnl_lock();
    dev_open(br->dev);
    rtnl_unlock();
    EXPECT_EQ(a->counters.rx_discard, 3u);
}

TEST_F(PipelineTest, TracerMatchesTheEgressPortAndPrintsZeroSourceMacs) {
    const char *TR = "/proc/net/jxbridge/br0/tracer";
    jxbridge_port *a = port("wa", JXBRIDGE_PORT_ACCESS, 11),
                  *b = port("wb", JXBRIDGE_PORT_ACCESS, 12);
    port("wc", JXBRIDGE_PORT_ACCESS, 13);
    rx(b, eth(frame(BCAST, BCAST + 6), mac(2), 0x0806)); // b is known
    auto frames_left = [&] {
        u32 v = 0xdead;
        EXPECT_EQ(proc_ioctl(TR, JXBRIDGE_TRACER_IOCTL_FRAMES_LEFT, (unsigned long)&v), 0);
        return v;
    };
    // Only a frame that leaves on wc is traced: the unicast to b is not.
    ASSERT_GT(proc_write(TR, "tracer 1 txport wc"), 0);
    rx(a, eth(mac(2), mac(1), 0x0800));
    EXPECT_EQ(frames_left(), 1u);
    rx(a, eth(frame(BCAST, BCAST + 6), mac(1), 0x0806));
    EXPECT_EQ(frames_left(), 0u);

    // A zero source MAC is printed, frame and all, while learning goes on.
    ASSERT_GT(proc_write(TR, "printk on"), 0);
    rx(a, eth(frame(BCAST, BCAST + 6), frame(6, 0), 0x0806));
    EXPECT_NE(log_text().find("[Log zero MAC]     |"), std::string::npos);
    ASSERT_GT(proc_write(TR, "printk off"), 0);
}

} // namespace

namespace {

TEST_F(PipelineTest, FlowManagerInternalFramesExclusionAndUnknownDevices) {
    jxbridge_port *a = port("wa"), *b = port("wb"), *c = port("wc");
    ASSERT_EQ(linecard_flowmgr_install(), 0);
    // Every transmitted frame is offered to the flow manager first; the
    // received copy is the manager's to take while the frame is in flight.
    rx(a, eth(frame(BCAST, BCAST + 6), mac(1), 0x0806));
    EXPECT_EQ(linecard_flowmgr_frames(), 2u);
    EXPECT_EQ(tx(b).size(), 1u);
    EXPECT_EQ(jxbridge_get_original_skb(), nullptr); // released with the frame
    drain();
    // So is the copy kept for a port that mirrors what it receives.
    a->rmirr_active_rx = 1;
    linecard_flowmgr_remove();
    rx(a, eth(frame(BCAST, BCAST + 6), mac(1), 0x0806));
    EXPECT_EQ(tx(b).size(), 1u);
    EXPECT_EQ(jxbridge_get_original_skb(), nullptr);
    a->rmirr_active_rx = 0;
    ASSERT_EQ(linecard_flowmgr_install(), 0);
    drain();

    // An internal frame (sent by code that holds the lock) is offered to the
    // manager and never reaches a driver, nor the receive counters.
    u64 rx_before = a->counters.rx_pkts;
    struct sk_buff *skb = netdev_alloc_skb(a->dev, 64);
    ASSERT_NE(skb, nullptr);
    frame f = eth(frame(BCAST, BCAST + 6), mac(1), 0x0806);
    memcpy(skb_put(skb, (unsigned)f.size()), f.data(), f.size());
    skb->protocol = eth_type_trans(skb, a->dev);
    JXBRIDGE_CB(skb)->flags |= JXBRIDGE_CB_F_INTERNAL;
    mutex_lock(&jxbridge_lock);
    jxbridge_process_frame(skb);
    mutex_unlock(&jxbridge_lock);
    EXPECT_EQ(linecard_flowmgr_frames(), 4u);
    EXPECT_TRUE(tx(b).empty());
    EXPECT_TRUE(tx(c).empty());
    EXPECT_EQ(a->counters.rx_pkts, rx_before);
    linecard_flowmgr_remove();

    // A frame's exclusion list keeps it from the listed ports, the last
    // receiver included.
    drain();
    skb = netdev_alloc_skb(a->dev, 64);
    ASSERT_NE(skb, nullptr);
    memcpy(skb_put(skb, (unsigned)f.size()), f.data(), f.size());
    skb->dev = a->dev;
    skb_reset_mac_header(skb);
    skb->pkt_type = JXBRIDGE_PKT_BCAST;
    JXBRIDGE_CB(skb)->port_no = (u16)a->port_no;
    JXBRIDGE_CB(skb)->outer_tci = htons(1);
    skb->jx_exclude_n = 2;
    skb->jx_exclude[0] = (u16)b->bll_port_no;
    skb->jx_exclude[1] = (u16)a->bll_port_no;
    mutex_lock(&jxbridge_lock);
    jxbridge_flood_forward(br, skb);
    mutex_unlock(&jxbridge_lock);
    EXPECT_TRUE(tx(b).empty());
    EXPECT_EQ(tx(c).size(), 1u);

    // Frames of devices that are no bridge port go to the host stack, or are
    // dropped when unknown_to_kernel is off.
    net_device *other = linecard_wire_add("wother");
    wires.push_back(other);
    int to_host = 0;
    other->rte_stack_rx = [&](struct sk_buff *s) {
        to_host++;
        kfree_skb(s);
        return NET_RX_SUCCESS;
    };
    skb = netdev_alloc_skb(other, 64);
    memcpy(skb_put(skb, (unsigned)f.size()), f.data(), f.size());
    skb->protocol = eth_type_trans(skb, other);
    EXPECT_EQ(jxbridge_process_frame(skb), NET_RX_SUCCESS);
    EXPECT_EQ(to_host, 1);
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "unknown_to_kernel 0"), 0);
    skb = netdev_alloc_skb(other, 64);
    memcpy(skb_put(skb, (unsigned)f.size()), f.data(), f.size());
    skb->protocol = eth_type_trans(skb, other);
    EXPECT_EQ(jxbridge_process_frame(skb), 1);
    EXPECT_EQ(to_host, 1);
}

} // namespace
