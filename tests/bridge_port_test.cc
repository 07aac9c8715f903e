// Ports of a bridge: slots, BLL numbers, kinds, flags, states, PVC groups,
// the switching mode and the counter block.
#include "bridge_fixture.h"

#include <atomic>
#include <thread>

using namespace jxtest;

namespace {

class PortTest : public BridgeTest {
  protected:
    jxbridge_port *add(u32 slot, u32 bll, net_device *d, u32 kind) {
        mutex_lock(&jxbridge_lock);
        jxbridge_port *p = jxbridge_add_port(br, slot, bll, d, kind);
        mutex_unlock(&jxbridge_lock);
        return p;
    }
};

TEST_F(PortTest, SlotsBllNumbersKindsAndLookups) {
    net_device *eth0 = dev("eth0"), *acc = dev("acc1"), *ont0 = dev("ont0"), *lo = dev("lhost");
    jxbridge_port *up = add(0xFFFFFFFF, 0, eth0, JXBRIDGE_PORT_UPLINK);
    ASSERT_NE(up, nullptr);
    EXPECT_EQ(up->port_no, 0u);
    EXPECT_EQ(up->bll_port_no, 0u); // slot 0 and no number given
    EXPECT_EQ(br->uplinks[0], up);  // eth0 is the engine's subport 0
    EXPECT_EQ(up->ucc_subport, 0u);
    EXPECT_STREQ(up->display_name, "eth0 (0/0)");
    EXPECT_EQ(eth0->promiscuity, 1);
    EXPECT_TRUE(eth0->features & NETIF_F_HW_VLAN_CTAG_RX);
    EXPECT_EQ(eth0->rx_handler_data, up);

    jxbridge_port *a = add(2, 1001, acc, JXBRIDGE_PORT_ACCESS);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->ucc_subport, (u32)JXBRIDGE_NO_SUBPORT);
    EXPECT_EQ(get_jxbridge_port_from_bll_port_no(br, 1001), a);
    EXPECT_EQ(get_jxbridge_port_from_bll_port_no(br, JXBRIDGE_BLL_MAP_SIZE), nullptr);
    EXPECT_EQ(jxbridge_get_bll_port(br, 1001), a);
    jxbridge_port *found = nullptr;
    EXPECT_EQ(jxbridge_get_port_by_name(br, "acc1", &found), 0);
    EXPECT_EQ(found, a);
    EXPECT_EQ(jxbridge_get_port_by_name(br, "2", &found), 0);
    EXPECT_EQ(found, a);
    found = nullptr;
    EXPECT_EQ(jxbridge_get_port_by_name(br, "1", &found), -ENODEV); // an empty slot
    EXPECT_EQ(jxbridge_get_port_by_name(br, "9", &found), -ENODEV);
    EXPECT_EQ(jxbridge_get_port_by_name(br, "", &found), -ENODEV);
    EXPECT_EQ(jxbridge_get_port_by_name(nullptr, "acc1", &found), -EINVAL);
    EXPECT_EQ(found, nullptr);

    // Refusals: a slot out of range or taken, a kind past the table.
    EXPECT_EQ(add(4, 0, lo, JXBRIDGE_PORT_LOCAL), nullptr);
    EXPECT_EQ(logged("[Bridge]  Port number '4' is out of range [0-3].\n"), 1u);
    EXPECT_EQ(add(2, 0, lo, JXBRIDGE_PORT_LOCAL), nullptr);
    EXPECT_EQ(logged("[Bridge]  Port number '2' already in bridge 'br0'.\n"), 1u);
    EXPECT_EQ(add(1, 0, lo, JXBRIDGE_PORT_ALL), nullptr);
    EXPECT_EQ(add(1, 0, lo, 40), nullptr);
    EXPECT_EQ(add(1, 0, eth0, JXBRIDGE_PORT_ACCESS), nullptr); // eth0 already has its handler
    EXPECT_TRUE(eth0->priv_flags & IFF_BRIDGE_PORT);
    EXPECT_EQ(lo->priv_flags & IFF_BRIDGE_PORT, 0u);

    // Local ports: "ont0" is neither protected nor the local port.
    jxbridge_port *o = add(0xFFFFFFFF, 0, ont0, JXBRIDGE_PORT_LOCAL);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->port_no, 1u);
    EXPECT_EQ(o->is_protected, 0u);
    EXPECT_EQ(o->phy_state, (u32)JXBRIDGE_PHY_UP);
    EXPECT_EQ(br->local_port, nullptr);
    EXPECT_EQ(ont0->promiscuity, 0);
    EXPECT_EQ(events(12), 0u);
    jxbridge_port *l = add(0xFFFFFFFF, 0, lo, JXBRIDGE_PORT_LOCAL);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->is_protected, 1u);
    EXPECT_EQ(br->local_port, l);
    EXPECT_EQ(events(12), 1u); // the bridge is full now
    EXPECT_EQ(events(20), 4u);
    EXPECT_EQ(br->num_ports, 4);
    EXPECT_EQ(br->ports_per_kind[JXBRIDGE_PORT_LOCAL], 2);

    // A full bridge has no slot to give.
    EXPECT_EQ(add(0xFFFFFFFF, 77, dev("acc2"), JXBRIDGE_PORT_ACCESS), nullptr);
    EXPECT_EQ(logged("[Bridge] port_no not defined, no free ports.\n"), 1u);
    EXPECT_EQ(logged("[Bridge]   Adding interface id -1 , bll_port_no= 77, with device 'acc2'.\n"),
              1u);

    jxbridge_port *all[4];
    EXPECT_EQ(jxbridge_get_ports(br, all), 4);
    EXPECT_EQ(all[2], a);

    // Renaming and deleting.
    EXPECT_EQ(jxbridge_rename_port(br, 1001, "subscriber-seven-long"), 0);
    EXPECT_STREQ(a->alias, "subscriber-sev"
                           "e"); // cut to 15 characters
    EXPECT_EQ(jxbridge_rename_port(br, 5, "x"), -ENOENT);
    EXPECT_EQ(jxbridge_del_port(a), 0);
    EXPECT_EQ(get_jxbridge_port_from_bll_port_no(br, 1001), nullptr);
    EXPECT_EQ(acc->promiscuity, 0);
    EXPECT_EQ(acc->priv_flags & IFF_BRIDGE_PORT, 0u);
    EXPECT_EQ(br->ports[2], nullptr);
    EXPECT_EQ(br->ports_per_kind[JXBRIDGE_PORT_ACCESS], 0);
    EXPECT_EQ(jxbridge_del_port(nullptr), -ENODEV);
    // The rest go with the bridge (checked in TearDown).
}

TEST_F(PortTest, FlagsStatesAndErrorDisable) {
    jxbridge_port *p = add(0, 5, dev("acc1"), JXBRIDGE_PORT_ACCESS);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->mn_flag, 1u);
    EXPECT_EQ(jxbridge_set_port_mn_flag(p, 2), -EINVAL);
    EXPECT_EQ(jxbridge_set_port_protected(p, 1), 0);
    EXPECT_EQ(jxbridge_set_port_mvr(p, 1), 0);
    EXPECT_EQ(events(11), 2u);
    // The same value again is no change: the port's flows stay.
    EXPECT_EQ(jxbridge_set_port_protected(p, 1), 0);
    EXPECT_EQ(jxbridge_set_port_mvr(p, 1), 0);
    EXPECT_EQ(events(11), 2u);
    EXPECT_EQ(jxbridge_set_port_protected(nullptr, 1), -EINVAL);
    jxbridge_set_port_mn_flag(p, 0);
    jxbridge_show_port_mn_flag(br);
    jxbridge_show_port_protected(br);
    EXPECT_EQ(logged("port  mn_flag\n"), 1u);
    EXPECT_EQ(logged("acc1  0\n"), 1u);
    EXPECT_EQ(logged("----  ---------\n"), 1u);
    EXPECT_EQ(logged("acc1  1\n"), 1u);

    EXPECT_EQ(jxbridge_str2state("error-DISABLED"), 1);
    EXPECT_EQ(jxbridge_str2state("acs-disabled"), 3);
    EXPECT_EQ(jxbridge_str2state("down"), -EINVAL);
    EXPECT_STREQ(jxbridge_state2str(7), "unknown");
    EXPECT_EQ(jxbridge_port_state_set(p, JXBRIDGE_STATE_KORV_DISABLED), 0);
    u32 st = 0;
    EXPECT_EQ(jxbridge_port_state_get(p, &st), 0);
    EXPECT_EQ(st, 2u);
    jxbridge_port_state_set_private(p, JXBRIDGE_STATE_OK);

    // Causes outside the bridge's mask, or error-disable off, change nothing.
    jxbridge_port_error_state_set(p, 0x1);
    EXPECT_EQ(p->state, 0u);
    br->err_disable_mask = 0x3;
    br->err_recovery_mask = 0x1;
    br->err_disable_enabled = 0;
    jxbridge_port_error_state_set(p, 0x1);
    EXPECT_EQ(p->state, 0u);
    br->err_disable_enabled = 1;
    jxbridge_port_error_state_set(p, 0x2);
    EXPECT_EQ(p->state, 1u);
    EXPECT_EQ(p->recovery_countdown, 0u); // 0x2 does not recover by itself
    jxbridge_port_error_state_set(p, 0x5);
    EXPECT_EQ(p->error_causes, 0x3u);
    EXPECT_EQ(p->recovery_countdown, 300u);
    jxbridge_port_error_cause_remove(p, 0x1);
    EXPECT_EQ(p->state, 1u);
    jxbridge_port_error_cause_remove(p, 0x2);
    EXPECT_EQ(p->state, 0u);
    EXPECT_EQ(logged("[Bridge] Removing cause 0x00000002 from port 'acc1'.\n"), 1u);
}

TEST_F(PortTest, PvcGroups) {
    jxbridge_port *m = add(0, 0, dev("atm0"), JXBRIDGE_PORT_ACCESS_PVC);
    jxbridge_port *s1 = add(1, 0, dev("atm1"), JXBRIDGE_PORT_ACCESS_PVC);
    jxbridge_port *s2 = add(2, 0, dev("atm2"), JXBRIDGE_PORT_ACCESS_PVC);
    ASSERT_TRUE(m && s1 && s2);
    EXPECT_STREQ(m->display_name, "atm0_? (0/0)");
    EXPECT_EQ(jxbridge_port_pvc_vp_set(s1, 35), 0);
    EXPECT_STREQ(s1->display_name, "atm1_35 (1/1)");
    EXPECT_EQ(jxbridge_port_vpi_vci_set(s2, 8, 35), 0);
    EXPECT_EQ(jxbridge_port_vpi_vci_find(br, s2->dev, 8, 35), s2);
    EXPECT_EQ(jxbridge_port_vpi_vci_find(br, s1->dev, 8, 35), nullptr);
    EXPECT_EQ(jxbridge_port_pvc_mode_set(m, 3), -EINVAL);
    ASSERT_EQ(jxbridge_port_pvc_mode_set(m, 1), 0);
    EXPECT_EQ(jxbridge_port_pvc_set(m, 255, s1), -EINVAL); // the free marker is no queue
    EXPECT_EQ(jxbridge_port_pvc_set(m, 3, s1), 0);
    EXPECT_EQ(s1->pvc_master, m);
    EXPECT_EQ(s1->pvc_mode, 2u);
    EXPECT_EQ(jxbridge_port_pvc_set(s2, 1, s1), -EBUSY); // s1 has a master
    EXPECT_EQ(jxbridge_port_pvc_set(s2, 1, m), -EXDEV);  // m is a master
    for (u32 q = 10; q < 17; q++)
        EXPECT_EQ(jxbridge_port_pvc_set(m, q, s1), 0);
    EXPECT_EQ(jxbridge_port_pvc_set(m, 20, s2), -ENOSPC);
    jxbridge_port *got = nullptr;
    EXPECT_EQ(jxbridge_port_pvc_get(m, 16, &got), 0);
    EXPECT_EQ(got, s1);
    EXPECT_EQ(jxbridge_port_pvc_unset(m, 3), 0);
    EXPECT_EQ(s1->pvc_master, m); // still named by other entries
    EXPECT_EQ(jxbridge_port_pvc_unset(m, 3), -ENOENT);
    for (u32 q = 10; q < 17; q++)
        EXPECT_EQ(jxbridge_port_pvc_unset(m, q), 0);
    EXPECT_EQ(s1->pvc_master, nullptr);

    // A slave going away leaves no entry pointing at it.
    EXPECT_EQ(jxbridge_port_pvc_set(m, 4, s2), 0);
    EXPECT_EQ(jxbridge_del_port(s2), 0);
    EXPECT_EQ(jxbridge_port_pvc_get(m, 4, &got), -ENOENT);
}

TEST_F(PortTest, SwitchingModeAndCounters) {
    jxbridge_port *p = add(0, 0, dev("acc1"), JXBRIDGE_PORT_ACCESS);
    jxbridge_port *lag = add(1, 0, dev("lag1"), JXBRIDGE_PORT_LAG);
    ASSERT_TRUE(p && lag);
    EXPECT_EQ(p->flow_byte, 224);
    linecard_flowmgr_clear();
    EXPECT_EQ(jxbridge_switching_mode_set(br, 1), 0);
    EXPECT_EQ(p->flow_byte, 255);
    EXPECT_EQ(events(20), 2u);
    EXPECT_EQ(events(11), 2u);
    EXPECT_EQ(events(2), 1u); // multicast mode follows to flood
    EXPECT_EQ(br->mcast_mode, 1u);
    EXPECT_EQ(logged("[Bridge] Switching mode changed to CORD vSwitch.\n"), 1u);
    EXPECT_EQ(jxbridge_switching_mode_set(br, 1), 0);
    EXPECT_EQ(logged("[Bridge] Switching mode remains CORD vSwitch.\n"), 1u);
    EXPECT_EQ(jxbridge_switching_mode_set(br, 7), 0);
    EXPECT_EQ(p->flow_byte, 0);
    EXPECT_EQ(logged("[Bridge] Switching mode changed to unknown?.\n"), 1u);
    EXPECT_EQ(jxbridge_switching_mode_set(nullptr, 0), -EINVAL);

    p->counters.rx_discard = 5;
    p->counters.drop_storm_dlf = 2;
    p->counters.rx_pkts = 1ull << 40;
    p->counters.drop_stp = 9;
    p->counters.drop_qos_policer = 4; // the engine's own, not overlaid
    jxbridge_port_counters c;
    ASSERT_EQ(jxbridge_get_port_counters(br, p, 2, &c), 0);
    EXPECT_EQ(memcmp((u8 *)&c + 8, (u8 *)&p->counters + 8, sizeof(c) - 8), 0);
    EXPECT_EQ(c.clear_time, p->counters_clear_time);
    ASSERT_EQ(jxbridge_get_port_counters(br, p, 0, &c), 0);
    EXPECT_EQ(c.rx_discard, 7u);
    EXPECT_EQ(c.rx_pkts, 1ull << 40); // every frame crosses the software here
    EXPECT_EQ(c.drop_stp, 9u);
    EXPECT_EQ(c.drop_qos_policer, 0u);
    ASSERT_EQ(jxbridge_get_port_counters(br, p, 1, &c), 0);
    EXPECT_EQ(c.rx_discard, 0u);
    lag->counters.tx_discard = 3;
    ASSERT_EQ(jxbridge_get_port_counters(br, lag, 0, &c), 0);
    EXPECT_EQ(c.tx_discard, 0u); // a LAG that is down reads all zero
    EXPECT_EQ(c.clear_time, 0u);

    jxbridge_show_port_counters(br, p, 2);
    EXPECT_EQ(logged("rx_discard..........................5\n"), 1u);
    EXPECT_EQ(logged("rx_pkts.............................1099511627776\n"), 1u);
    EXPECT_EQ(logged("mac_source_guard_violations.........0\n"), 1u);
    EXPECT_EQ(logged("drop_stp"), 0u);
    jxbridge_clear_port_counters(br, p);
    ASSERT_EQ(jxbridge_get_port_counters(br, p, 2, &c), 0);
    EXPECT_EQ(c.rx_discard, 0u);
    EXPECT_EQ(c.rx_pkts, 0u);
}

int korv_calls;
u32 korv_last_speed;
int fake_korv(net_device *, u32, u32 speed, u32) {
    korv_calls++;
    korv_last_speed = speed;
    return 0;
}

TEST_F(PortTest, LagFollowsItsMembersAndProgramsTheEngine) {
    EXPECT_EQ(logged("[br0/LED] Initialized ("), 1u);
    net_device *e0 = dev("eth0"), *e1 = dev("eth1");
    jxbridge_port *m0 = add(0, 0, e0, JXBRIDGE_PORT_UPLINK);
    jxbridge_port *m1 = add(1, 0, e1, JXBRIDGE_PORT_UPLINK);
    jxbridge_port *acc = add(2, 0, dev("acc1"), JXBRIDGE_PORT_ACCESS);
    jxbridge_port *lag = add(3, 40, dev("lag1"), JXBRIDGE_PORT_LAG);
    ASSERT_TRUE(m0 && m1 && acc && lag);

    // Without the engine the LAG cannot be programmed.
    EXPECT_EQ(jxbridge_port_set_master(m0, lag), 1);
    EXPECT_EQ(logged("symbol_request(tarnAPISetLAG) FAILED, return\n"), 1u);
    m0->lag_master = nullptr;
    linecard_engine_install();
    EXPECT_EQ(jxbridge_port_set_master(m0, acc), -EINVAL); // not a LAG
    ASSERT_EQ(jxbridge_port_set_master(m0, lag), 0);
    ASSERT_EQ(jxbridge_port_set_master(m1, lag), 0);
    korv_calls = 0;
    rte_symbol_add("korv", "korvPhyStatusChanged", (void *)&fake_korv);

    jxbridge_port_phy_state_set(e0, 1, 1000, 1);
    EXPECT_EQ(lag->phy_state, (u32)JXBRIDGE_PHY_UP);
    EXPECT_EQ(lag->speed, 1000u);
    jxbridge_port_phy_state_set(e1, 1, 2500, 1);
    EXPECT_EQ(lag->speed, 3500u);
    jxbridge_port_phy_state_set(e0, 0, 1000, 1);
    EXPECT_EQ(m0->speed, 0u); // down forces speed 0
    EXPECT_EQ(lag->phy_state, (u32)JXBRIDGE_PHY_UP);
    EXPECT_EQ(lag->speed, 2500u);
    jxbridge_port_phy_state_set(e1, 0, 0, 0);
    EXPECT_EQ(lag->phy_state, (u32)JXBRIDGE_PHY_DOWN);
    EXPECT_EQ(korv_calls, 4);
    EXPECT_EQ(korv_last_speed, 0u);
    rte_symbol_remove("korvPhyStatusChanged");
    jxbridge_show_lag(br);
    EXPECT_EQ(logged("      eth0 (0/0),   0      DOWN               lag1 (3/40),  40          "
                     "DOWN\n"),
              1u);
    EXPECT_EQ(logged("      eth1 (1/1),   1      DOWN"), 1u);
    EXPECT_EQ(logged("acc1 (2/2)"), 0u); // not a member

    // The engine hears the members that are up, by subport.
    jxbridge_port_phy_state_set(e1, 1, 100, 1);
    ASSERT_EQ(jxbridge_port_del_master(m0, lag), 0);
    auto calls = linecard_engine_calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "tarnAPISetLAG(40, 0, 0x2)");
    EXPECT_EQ(calls.back(), "arlSetLAG(40, 0, 0x2)");
    EXPECT_EQ(jxbridge_port_del_master(m0, lag), -EINVAL); // no longer a member
    linecard_engine_set_result("tarnAPISetLAG", -5);
    EXPECT_EQ(jxbridge_port_del_master(m1, lag), -EINVAL);
    linecard_engine_set_result("tarnAPISetLAG", 0);

    // A LAG that goes away leaves no member pointing at it.
    m1->lag_master = lag;
    EXPECT_EQ(jxbridge_del_port(lag), 0);
    EXPECT_EQ(m1->lag_master, nullptr);
    jxbridge_port_phy_state_set(e1, 0, 0, 0);
}

TEST_F(PortTest, MacSourceGuardViolationDisablesUntilRecovery) {
    jxbridge_port *p = add(0, 0, dev("acc1"), JXBRIDGE_PORT_ACCESS);
    jxbridge_port *q = add(1, 0, dev("acc2"), JXBRIDGE_PORT_ACCESS);
    ASSERT_TRUE(p && q);
    const u8 mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    br->err_disable_enabled = 0;
    jxbridge_port_msg_violation(p, mac, 10, q);
    EXPECT_EQ(logged("[Bridge]   Port 'acc1' error-disabling not enabled.\n"), 1u);
    EXPECT_EQ(p->state, 0u);

    br->err_disable_enabled = 1;
    br->err_disable_mask = 1;
    br->err_recovery_mask = 1;
    br->err_recovery_time = 3;
    jxbridge_port_msg_violation(p, mac, 10, q);
    EXPECT_EQ(p->state, (u32)JXBRIDGE_STATE_ERROR_DISABLED);
    EXPECT_EQ(p->counters.mac_source_guard_violations, 1u);
    EXPECT_EQ(p->cause_info, 0x000a001122334455ull);
    EXPECT_EQ(logged("Get cause info - port 'acc2', VID 10, MAC 00:11:22:33:44:55.\n"), 1u);
    // The countdown runs on the bridge's timer, and only while it is up.
    rte_clock_advance(10 * HZ);
    EXPECT_EQ(p->state, (u32)JXBRIDGE_STATE_ERROR_DISABLED);
    rtnl_lock();
    ASSERT_EQ(dev_open(br->dev), 0);
    rtnl_unlock();
    rte_clock_advance(2 * HZ);
    EXPECT_EQ(p->state, (u32)JXBRIDGE_STATE_ERROR_DISABLED);
    rte_clock_advance(HZ + HZ / 2);
    EXPECT_EQ(p->state, (u32)JXBRIDGE_STATE_OK);
    rtnl_lock();
    dev_close(br->dev);
    rtnl_unlock();
    EXPECT_EQ(p->cause_info, 0u);
    EXPECT_EQ(logged("[Bridge]   Taking port 'acc1' out of 'error-disabled' state.\n"), 1u);

    // A cause that does not recover by itself keeps the port disabled.
    br->err_disable_mask = 3;
    jxbridge_port_error_state_set(q, 3);
    for (int i = 0; i < 4; i++)
        jxbridge_port_recovery_tick(br);
    EXPECT_EQ(q->state, (u32)JXBRIDGE_STATE_ERROR_DISABLED);
    EXPECT_EQ(q->error_causes, 2u);
    EXPECT_EQ(logged("[Bridge]   Port 'acc2' remains 'error-disabled' (causes 0x00000002).\n"), 2u);
}

TEST_F(PortTest, PortsGoWithTheirDevice) {
    net_device *atm = dev("atm0");
    net_device *eth = dev("eth2");
    ASSERT_NE(add(0, 0, atm, JXBRIDGE_PORT_ACCESS_PVC), nullptr);
    ASSERT_NE(add(1, 0, atm, JXBRIDGE_PORT_ACCESS_PVC), nullptr); // a shared device
    jxbridge_port *third = add(3, 0, atm, JXBRIDGE_PORT_ACCESS_PVC);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(jxbridge_del_port(third), 0);
    EXPECT_TRUE(atm->priv_flags & IFF_BRIDGE_PORT); // two ports still use it
    jxbridge_port *p = add(2, 7, eth, JXBRIDGE_PORT_UPLINK);
    ASSERT_NE(p, nullptr);
    unregister_netdev(atm);
    EXPECT_EQ(br->ports[0], nullptr);
    EXPECT_EQ(br->ports[1], nullptr);
    EXPECT_EQ(br->ports[2], p);
    EXPECT_EQ(br->num_ports, 1);
    EXPECT_EQ(logged("[Bridge/br0] Port 'atm0_? (1/1)' removed: its device is going away.\n"), 1u);
    unregister_netdev(eth);
    EXPECT_EQ(br->ports[2], nullptr);
    EXPECT_EQ(get_jxbridge_port_from_bll_port_no(br, 7), nullptr);
    EXPECT_EQ(eth->promiscuity, 0);
    for (net_device *d : {atm, eth}) {
        devs.erase(std::find(devs.begin(), devs.end(), d));
        free_netdev(d);
    }
}

TEST_F(PortTest, QueueOverflowCountsOnThePortAndItsLagMember) {
    net_device *e0 = dev("eth0"), *lagdev = dev("lag1");
    jxbridge_port *m = add(0, 0, e0, JXBRIDGE_PORT_UPLINK);
    jxbridge_port *lag = add(1, 0, lagdev, JXBRIDGE_PORT_LAG);
    ASSERT_TRUE(m && lag);
    m->lag_master = lag;
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "threaded max 1"), 0);
    u32 drops_before = jxbridge_q.drops;

    // The receive thread waits for jxbridge_lock before it takes a frame, so
    // of three frames at least two find the queue full.
    mutex_lock(&jxbridge_lock);
    int dropped = 0;
    for (int i = 0; i < 3; i++) {
        sk_buff *skb = netdev_alloc_skb(lagdev, 60);
        ASSERT_NE(skb, nullptr);
        skb_put(skb, 60);
        skb->dev = lagdev;          // delivered on the LAG...
        skb->skb_iif = e0->ifindex; // ...first received by its member
        dropped += jxbridge_threaded_rx(skb) == 1;
    }
    mutex_unlock(&jxbridge_lock);
    rte_settle();
    EXPECT_GE(dropped, 2);
    EXPECT_EQ(jxbridge_q.drops - drops_before, (u32)dropped);
    // The frames that were queued reach a bridge that is down: counted as such.
    EXPECT_EQ(lag->counters.drop_bridge_down, (u32)(3 - dropped));
    EXPECT_EQ(lag->counters.rx_discard, 3u);
    EXPECT_EQ(lag->counters.rx_discard_queue_full, (u32)dropped);
    EXPECT_EQ(m->counters.rx_discard_queue_full, (u32)dropped);

    // Frames still queued from a device that goes away are dropped with it.
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "threaded max 10"), 0);
    mutex_lock(&jxbridge_lock);
    for (int i = 0; i < 4; i++) {
        sk_buff *skb = netdev_alloc_skb(e0, 60);
        ASSERT_NE(skb, nullptr);
        skb_put(skb, 60);
        skb->dev = e0;
        EXPECT_EQ(jxbridge_threaded_rx(skb), 0);
    }
    u32 drops = jxbridge_q.drops;
    EXPECT_GE(jxbridge_q.current_len, 3u);
    jxbridge_del_ports_of_dev(e0);
    EXPECT_EQ(jxbridge_q.current_len, 0u);
    EXPECT_GE(jxbridge_q.drops - drops, 3u);
    EXPECT_EQ(br->ports[0], nullptr);
    mutex_unlock(&jxbridge_lock);
    rte_settle();
}

TEST_F(PortTest, TheBridgeDirectoryHoldsEveryFile) {
    const std::pair<const char *, unsigned> files[] = {
        {"bridge", 0644},     {"ports", 0600},     {"acl", 0600},
        {"vlan", 0600},       {"mac_table", 0666}, {"mac_table_entries", 0600},
        {"qos", 0600},        {"ipsg", 0600},      {"tal", 0600},
        {"rmirroring", 0600}, {"pon", 0600},       {"tracer", 0666},
        {"pcap", 0600},       {"event", 0600},     {"openolt", 0644},
        {"erps", 0644},       {"cfm", 0644}};
    std::vector<rte_proc_dirent> list;
    ASSERT_EQ(rte_vfs_list("/proc/net/jxbridge/br0", &list), 0);
    ASSERT_EQ(list.size(), std::size(files));
    for (auto [name, mode] : files) {
        auto it = std::find_if(list.begin(), list.end(), [&](auto &e) { return e.name == name; });
        ASSERT_NE(it, list.end()) << name;
        EXPECT_EQ(it->mode & 0777, mode) << name;
    }
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "del br0"), 0);
    br = nullptr;
    EXPECT_EQ(rte_vfs_list("/proc/net/jxbridge/br0", &list), -ENOENT);
}

struct recording_filter {
    jxbridge_af_filter ops;
    std::atomic<int> sent{0};
    std::atomic<bool> dev_cleared{true};
};
int recording_xmit(sk_buff *skb, jxbridge_af_filter *f) {
    auto *rf = reinterpret_cast<recording_filter *>(f);
    if (skb->dev)
        rf->dev_cleared = false;
    rf->sent++;
    kfree_skb(skb);
    return 0;
}

TEST_F(PortTest, FilterFramesQueueForTheReceiveThread) {
    net_device *e0 = dev("acc1");
    jxbridge_port *p = add(0, 0, e0, JXBRIDGE_PORT_ACCESS);
    ASSERT_NE(p, nullptr);
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "threaded afmax 1"), 0);
    recording_filter rf;
    rf.ops.xmit = recording_xmit;
    auto frame = [&] {
        sk_buff *skb = netdev_alloc_skb(e0, 60);
        skb_put(skb, 60);
        skb->dev = e0;
        return skb;
    };
    u32 drops = jxbridge_q.af_drops;
    EXPECT_EQ(jxbridge_threaded_af_rx(nullptr, &rf.ops), 1); // nothing to send
    EXPECT_EQ(jxbridge_q.af_drops, drops + 1);

    // Hold the thread on jxbridge_lock with a received frame, so that the
    // filter's frames wait on their queue.
    mutex_lock(&jxbridge_lock);
    ASSERT_EQ(jxbridge_threaded_rx(frame()), 0);
    while (rte_mutex_waiters(&jxbridge_lock) == 0)
        std::this_thread::yield();
    EXPECT_EQ(jxbridge_threaded_af_rx(frame(), &rf.ops), 0);
    EXPECT_EQ(jxbridge_threaded_af_rx(frame(), &rf.ops), 1); // the queue holds one
    EXPECT_EQ(p->counters.rx_discard_queue_full, 1u);
    EXPECT_EQ(jxbridge_q.af_drops, drops + 2);
    mutex_unlock(&jxbridge_lock);
    rte_settle();
    EXPECT_EQ(rf.sent, 1);
    EXPECT_TRUE(rf.dev_cleared);
    EXPECT_EQ(jxbridge_q.af_current, 0u);
}

TEST_F(PortTest, OverflowForwardGoesToTheStackAndInternalFramesSkipTheQueue) {
    net_device *e0 = dev("acc1");
    jxbridge_port *p = add(0, 0, e0, JXBRIDGE_PORT_ACCESS);
    ASSERT_NE(p, nullptr);
    std::atomic<int> stack_took{0};
    bool stack_accepts = true;
    e0->rte_stack_rx = [&](sk_buff *skb) {
        kfree_skb(skb);
        if (!stack_accepts)
            return NET_RX_DROP;
        stack_took++;
        return NET_RX_SUCCESS;
    };
    auto frame = [&] {
        sk_buff *skb = netdev_alloc_skb(e0, 60);
        skb_put(skb, 60);
        skb->dev = e0;
        return skb;
    };
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "threaded max 1"), 0);
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "threaded overflow forward"), 0);
    u32 drops = jxbridge_q.drops;

    mutex_lock(&jxbridge_lock);
    ASSERT_EQ(jxbridge_threaded_rx(frame()), 0); // fills the queue
    EXPECT_EQ(jxbridge_threaded_rx(frame()), NET_RX_SUCCESS);
    EXPECT_EQ(stack_took, 1);
    EXPECT_EQ(jxbridge_q.drops, drops); // the stack took it: no drop
    stack_accepts = false;
    EXPECT_EQ(jxbridge_threaded_rx(frame()), 1);
    EXPECT_EQ(jxbridge_q.drops, drops + 1);
    EXPECT_EQ(p->counters.rx_discard, 1u);
    EXPECT_EQ(p->counters.rx_discard_queue_full, 1u);

    mutex_unlock(&jxbridge_lock);
    rte_settle();

    // An internal frame is processed at once, never queued; it comes from
    // code that holds jxbridge_lock.
    sk_buff *internal = frame();
    u16 flags = 1u << 9;
    memcpy(internal->cb + 22, &flags, sizeof(flags));
    u32 rx = jxbridge_q.total_rx;
    mutex_lock(&jxbridge_lock);
    jxbridge_threaded_rx(internal);
    mutex_unlock(&jxbridge_lock);
    EXPECT_EQ(jxbridge_q.total_rx, rx);
    e0->rte_stack_rx = nullptr;
}

} // namespace
