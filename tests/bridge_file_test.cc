// The bridge's "bridge" and "ports" files driven as the tools and agents drive
// them: records byte for byte through ioctl, text commands and read-outs.
#include "bridge_fixture.h"
#include "sources/jxbridge/jxbridge_ioctl.h"

#include <cstring>

using namespace jxtest;

namespace {

const char *const BRIDGE = "/proc/net/jxbridge/br0/bridge";
const char *const PORTS = "/proc/net/jxbridge/br0/ports";

class BridgeFileTest : public BridgeTest {
  protected:
    void SetUp() override {
        BridgeTest::SetUp();
        linecard_engine_install();
    }
    template <class T> long io(unsigned cmd, T *rec) {
        return proc_ioctl(BRIDGE, cmd, (unsigned long)rec);
    }
    long add_port(const char *name, u32 slot, u32 bll, u32 type, port_request *out = nullptr) {
        port_request r = {};
        strcpy(r.name, name);
        r.port_no = slot;
        r.bll_port_no = bll;
        r.type = type;
        long rc = io(BRIDGE_IOCTL_PORT_ADD, &r);
        if (out)
            *out = r;
        return rc;
    }
    long cmd(const std::string &text) { return proc_write(BRIDGE, text); }
};

TEST_F(BridgeFileTest, PortsAddedListedRenamedAndDeletedByRecord) {
    dev("eth0");
    dev("acc1");
    dev("acc2");
    dev("lag0");
    dev("spare");
    port_request r;
    ASSERT_EQ(add_port("eth0", JXBRIDGE_PORT_ANY, 0, JXBRIDGE_PORT_UPLINK, &r), 0);
    EXPECT_EQ(r.port_no, 0u);
    EXPECT_EQ(r.ucc, 0u); // eth0 is the engine's subport 0
    EXPECT_EQ(r.subport, 0u);
    ASSERT_EQ(add_port("acc1", 2, 1001, JXBRIDGE_PORT_ACCESS, &r), 0);
    EXPECT_EQ(r.port_no, 2u);
    EXPECT_EQ(r.subport, (u32)JXBRIDGE_NO_SUBPORT);

    // Each refusal says why, and nothing is added.
    EXPECT_EQ(add_port("nodev", JXBRIDGE_PORT_ANY, 0, JXBRIDGE_PORT_ACCESS), -ENODEV);
    EXPECT_EQ(add_port("acc2", 4, 0, JXBRIDGE_PORT_ACCESS), -ERANGE);
    EXPECT_EQ(add_port("acc2", 2, 0, JXBRIDGE_PORT_ACCESS), -EBUSY);
    EXPECT_EQ(add_port("acc2", JXBRIDGE_PORT_ANY, 0, 9), -EINVAL);
    ASSERT_EQ(add_port("acc2", JXBRIDGE_PORT_ANY, 1002, JXBRIDGE_PORT_ACCESS, &r), 0);
    EXPECT_EQ(r.port_no, 1u);
    ASSERT_EQ(add_port("lag0", JXBRIDGE_PORT_ANY, 700, JXBRIDGE_PORT_LAG), 0);
    EXPECT_EQ(add_port("spare", JXBRIDGE_PORT_ANY, 0, JXBRIDGE_PORT_ACCESS), -ENOSPC);
    EXPECT_EQ(br->num_ports, 4u);

    // Reading a slot back.
    port_request g = {};
    g.port_no = JXBRIDGE_PORT_ANY;
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_GET, &g), 0);
    EXPECT_EQ(g.port_no, 4u); // the maximum
    g.port_no = 4;
    EXPECT_EQ(io(BRIDGE_IOCTL_PORT_GET, &g), -EINVAL);
    memset(&g, 0xAB, sizeof(g)); // stale bytes where the name goes
    g.port_no = 2;
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_GET, &g), 0);
    EXPECT_STREQ(g.name, "acc1");
    EXPECT_EQ(g.name[16], 0);
    EXPECT_EQ(g.type, (u32)JXBRIDGE_PORT_ACCESS);
    EXPECT_EQ(g.bll_port_no, 1001u);

    // Port words are names or BLL numbers.
    port_request b = {};
    strcpy(b.name, "1002");
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_BLL_GET, &b), 0);
    EXPECT_EQ(b.port_no, 1002u);
    memset(b.name, 'x', sizeof(b.name)); // unterminated: cut at 16, no such port
    EXPECT_EQ(io(BRIDGE_IOCTL_PORT_BLL_GET, &b), -ENODEV);

    port_request rn = {};
    strcpy(rn.name, "subscriber-1");
    rn.bll_port_no = 1001;
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_RENAME, &rn), 0);
    EXPECT_STREQ(port("acc1")->alias, "subscriber-1");
    rn.bll_port_no = 5555;
    EXPECT_EQ(io(BRIDGE_IOCTL_PORT_RENAME, &rn), -ENOENT);

    auto list = lines_of(proc_cat(PORTS));
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0], "Index ____Pointer_____ ___Type___ _BLL_ _Interface_name_ "
                       "__Device_name___ ____Debug_name____ _____________Info_____________");
    char expect[200];
    snprintf(expect, sizeof(expect), "%5lu %16p %-10s %5d %16s %16s %18s", 2ul,
             (void *)port("acc1"), "access", 1001, "subscriber-1", "acc1", "acc1 (2/1001)");
    EXPECT_EQ(list[3], expect);
    EXPECT_EQ(proc_write(PORTS, "anything"), 0);

    // Deleting by device name removes the port.
    char longname[] = "abcdefghijklmnop"; // 16 characters
    EXPECT_EQ(io(BRIDGE_IOCTL_PORT_DEL, longname), -ENOMEM);
    char unknown[] = "nosuch";
    EXPECT_EQ(io(BRIDGE_IOCTL_PORT_DEL, unknown), -ENOENT);
    char spare[] = "spare"; // a device, but no port of this bridge
    EXPECT_EQ(io(BRIDGE_IOCTL_PORT_DEL, spare), -ENOENT);
    char acc2[] = "acc2";
    EXPECT_EQ(io(BRIDGE_IOCTL_PORT_DEL, acc2), 0);
    EXPECT_EQ(port("acc2"), nullptr);
    EXPECT_EQ(br->num_ports, 3u);
    EXPECT_EQ(lines_of(proc_cat(PORTS)).size(), 4u);

    // A failed copy is -14 and changes nothing.
    EXPECT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_PORT_ADD, 16), -EFAULT);
    EXPECT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_PORT_DEL, 16), -EFAULT);
}

TEST_F(BridgeFileTest, CountersPhyAndStpStatesByRecord) {
    dev("eth0");
    dev("pvc1");
    ASSERT_EQ(add_port("eth0", JXBRIDGE_PORT_ANY, 10, JXBRIDGE_PORT_UPLINK), 0);
    ASSERT_EQ(add_port("pvc1", JXBRIDGE_PORT_ANY, 11, JXBRIDGE_PORT_ACCESS_PVC), 0);
    jxbridge_port *up = port("eth0");
    up->counters.rx_pkts = 0x1122334455667788ull;
    up->counters.rx_discard = 7;
    up->counters.drop_storm_dlf = 3;
    up->counters.drop_vlan_egress_filtering = 9;
    up->counters.mac_source_guard_violations = 5;

    port_counters_request c = {};
    strcpy(c.name, "10"); // by BLL number
    c.selector = 2;
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_COUNTERS_GET, &c), 0);
    const u8 *raw = (const u8 *)&c;
    u64 v64;
    u32 v32;
    memcpy(&v64, raw + 80, 8);
    EXPECT_EQ(v64, 0x1122334455667788ull); // rx_pkts
    memcpy(&v32, raw + 32, 4);
    EXPECT_EQ(v32, 7u); // rx_discard
    memcpy(&v32, raw + 272, 4);
    EXPECT_EQ(v32, 9u); // drop_vlan_egress_filtering
    memcpy(&v32, raw + 320, 4);
    EXPECT_EQ(v32, 5u); // mac_source_guard_violations
    memcpy(&v32, raw + 24, 4);
    EXPECT_EQ(v32, up->counters_clear_time);
    c.selector = 0; // engine and software: dlf storm drops count as discards
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_COUNTERS_GET, &c), 0);
    memcpy(&v32, raw + 32, 4);
    EXPECT_EQ(v32, 10u);
    memcpy(&v64, raw + 80, 8);
    EXPECT_EQ(v64, 0x1122334455667788ull); // the frames, as the engine counts them
    c.selector = 1; // the engine's alone: frames and octets, none of the software's drops
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_COUNTERS_GET, &c), 0);
    memcpy(&v64, raw + 80, 8);
    EXPECT_EQ(v64, 0x1122334455667788ull);
    memcpy(&v32, raw + 32, 4);
    EXPECT_EQ(v32, 0u);
    memcpy(&v32, raw + 272, 4);
    EXPECT_EQ(v32, 0u);
    // Any other set: the clear time only, the caller's other bytes untouched.
    memset(c.counters, 0xA5, sizeof(c.counters));
    c.selector = 3;
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_COUNTERS_GET, &c), 0);
    memcpy(&v32, raw + 24, 4);
    EXPECT_EQ(v32, up->counters_clear_time);
    for (size_t i = 4; i < sizeof(c.counters); i++)
        ASSERT_EQ(c.counters[i], 0xA5) << "offset " << 24 + i;

    rte_clock_advance(10 * HZ);
    port_request clr = {};
    strcpy(clr.name, "eth0");
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_COUNTERS_CLEAR, &clr), 0);
    EXPECT_EQ(up->counters.rx_pkts, 0u);
    strcpy(clr.name, "nope");
    EXPECT_EQ(io(BRIDGE_IOCTL_PORT_COUNTERS_CLEAR, &clr), -ENODEV);

    // PHY: the full change for an uplink, the virtual state for a PVC port.
    phy_request phy = {};
    strcpy(phy.name, "eth0");
    phy.state = 1;
    phy.speed = 1000;
    phy.duplex = 1;
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_PHY_STATE_SET, &phy), 0);
    phy_request got = {};
    strcpy(got.name, "eth0");
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_PHY_STATE_GET, &got), 0);
    EXPECT_EQ(got.state, 1);
    EXPECT_EQ(got.speed, 1000u);
    EXPECT_EQ(got.duplex, 1);
    strcpy(phy.name, "pvc1");
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_PHY_STATE_SET, &phy), 0);
    EXPECT_EQ(port("pvc1")->phy_state, 1u);
    EXPECT_EQ(port("pvc1")->speed, 0u);

    // STP: VLANs 1 and 100 forwarding; reading back lists the VLANs in a state.
    stp_vlan_state_request s = {};
    strcpy(s.name, "eth0");
    s.state = JXBRIDGE_STP_FORWARDING;
    s.vlans[0] = 0x40;  // VLAN 1
    s.vlans[12] = 0x08; // VLAN 100
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_MSTP_STATE_SET, &s), 0);
    EXPECT_EQ(stp_port_state_get(up, 100), (u32)JXBRIDGE_STP_FORWARDING);
    EXPECT_EQ(stp_port_state_get(up, 2), (u32)JXBRIDGE_STP_DISCARDING);
    stp_vlan_state_request q = {};
    strcpy(q.name, "eth0");
    q.state = JXBRIDGE_STP_FORWARDING;
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_MSTP_STATE_GET, &q), 0);
    EXPECT_EQ(memcmp(q.vlans, s.vlans, sizeof(s.vlans)), 0);

    port_value_request ov = {};
    strcpy(ov.name, "eth0");
    ov.value = 1;
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_MSTP_OPER_STATE_SET, &ov), 0);
    ov.value = 7;
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_MSTP_OPER_STATE_GET, &ov), 0);
    EXPECT_EQ(ov.value, 1u);
    EXPECT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_MSTP_OPER_STATE_SET, 1), 0);
    u32 on = 0;
    ASSERT_EQ(io(BRIDGE_IOCTL_MSTP_OPER_STATE_GET, &on), 0);
    EXPECT_EQ(on, 1u);
}

TEST_F(BridgeFileTest, FlagsGroupsAndStormByRecord) {
    dev("eth0");
    dev("eth1");
    dev("lag0");
    dev("pvc1");
    ASSERT_EQ(add_port("eth0", JXBRIDGE_PORT_ANY, 0, JXBRIDGE_PORT_UPLINK), 0);
    ASSERT_EQ(add_port("eth1", JXBRIDGE_PORT_ANY, 0, JXBRIDGE_PORT_UPLINK), 0);
    ASSERT_EQ(add_port("lag0", JXBRIDGE_PORT_ANY, 0, JXBRIDGE_PORT_LAG), 0);
    ASSERT_EQ(add_port("pvc1", JXBRIDGE_PORT_ANY, 0, JXBRIDGE_PORT_ACCESS_PVC), 0);

    port_value_request f = {};
    strcpy(f.name, "eth0");
    f.value = 0;
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_MN_FLAG_SET, &f), 0);
    f.value = 9;
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_MN_FLAG_GET, &f), 0);
    EXPECT_EQ(f.value, 0u);
    f.value = 1;
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_PROTECTED_SET, &f), 0);
    f.value = 0;
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_PROTECTED_GET, &f), 0);
    EXPECT_EQ(f.value, 1u);
    strcpy(f.name, "none");
    EXPECT_EQ(io(BRIDGE_IOCTL_PORT_MN_FLAG_GET, &f), -ENODEV);
    EXPECT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_PORT_PROTECTED_SHOW, 0), 0);
    EXPECT_EQ(logged("      eth0  1"), 1u);

    // LAG membership programs the engine; the master is read back by member.
    pair_request lag = {};
    strcpy((char *)lag.bytes + PAIR_NAME1, "eth1");
    strcpy((char *)lag.bytes + PAIR_NAME2, "lag0");
    linecard_engine_clear();
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_MASTER_SET, &lag), 0);
    EXPECT_EQ(port("eth1")->lag_master, port("lag0"));
    EXPECT_FALSE(linecard_engine_calls().empty());
    pair_request mg = {};
    strcpy((char *)mg.bytes + PAIR_NAME2, "eth1");
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_MASTER_GET, &mg), 0);
    EXPECT_STREQ((char *)mg.bytes + PAIR_NAME1, "lag0");
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_MASTER_DEL, &lag), 0);
    EXPECT_EQ(port("eth1")->lag_master, nullptr);
    EXPECT_EQ(io(BRIDGE_IOCTL_PORT_MASTER_GET, &mg), -ENOENT);
    strcpy((char *)lag.bytes + PAIR_NAME2, "lagX");
    EXPECT_EQ(io(BRIDGE_IOCTL_PORT_MASTER_SET, &lag), -ENODEV);
    EXPECT_EQ(logged("No LAG group 'lagX'."), 1u);

    pair_request member = {};
    strcpy((char *)member.bytes + PAIR_NAME2, "eth1");
    u32 one = 1;
    memcpy(member.bytes + PAIR_LAG_VALUE, &one, 4);
    linecard_engine_clear();
    ASSERT_EQ(io(BRIDGE_IOCTL_LAG_MEMBER_TRAFFIC_SET, &member), 0);
    ASSERT_EQ(linecard_engine_calls().size(), 1u);
    EXPECT_EQ(linecard_engine_calls()[0], "tarnAPISetLAGPortUP(1)");

    // PVC groups: mode, queue binding and the VP number.
    pair_request pv = {};
    strcpy((char *)pv.bytes + PAIR_NAME1, "eth0");
    u32 mode = 1, queue = 3;
    memcpy(pv.bytes + PAIR_VALUE, &mode, 4);
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_PVC_MODE_SET, &pv), 0);
    memset(pv.bytes + PAIR_VALUE, 0, 4);
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_PVC_MODE_GET, &pv), 0);
    u32 got;
    memcpy(&got, pv.bytes + PAIR_VALUE, 4);
    EXPECT_EQ(got, 1u);
    pair_request add = {};
    strcpy((char *)add.bytes + PAIR_NAME1, "eth0");
    memcpy(add.bytes + PAIR_VALUE, &queue, 4);
    strcpy((char *)add.bytes + PAIR_PVC_NAME2, "pvc1");
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_PVC_ADD, &add), 0);
    pair_request pg = {};
    strcpy((char *)pg.bytes + PAIR_NAME1, "eth0");
    memcpy(pg.bytes + PAIR_VALUE, &queue, 4);
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_PVC_GET, &pg), 0);
    EXPECT_STREQ((char *)pg.bytes + PAIR_PVC_NAME2, "pvc1");
    std::string report = proc_cat(BRIDGE);
    EXPECT_NE(report.find("                 | PVC master\n"), std::string::npos);
    EXPECT_NE(report.find("|          | 3 --> pvc1\n"), std::string::npos);
    EXPECT_NE(report.find("|          | Master is eth0.\n"), std::string::npos);
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_PVC_DEL, &pg), 0);
    EXPECT_EQ(io(BRIDGE_IOCTL_PORT_PVC_DEL, &pg), 0); // already gone counts as done
    EXPECT_EQ(io(BRIDGE_IOCTL_PORT_PVC_GET, &pg), -ENOENT);
    pair_request vp = {};
    strcpy((char *)vp.bytes + PAIR_NAME1, "pvc1");
    u16 vpn = 35;
    memcpy(vp.bytes + PAIR_VALUE, &vpn, 2);
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_PVC_VP_SET, &vp), 0);
    memset(vp.bytes + PAIR_VALUE, 0, 4);
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_PVC_VP_GET, &vp), 0);
    memcpy(&vpn, vp.bytes + PAIR_VALUE, 2);
    EXPECT_EQ(vpn, 35);
    vpi_vci_request vv = {};
    strcpy(vv.name, "pvc1");
    vv.vpi = 8;
    vv.vci = 35;
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_VPI_VCI_SET, &vv), 0);
    EXPECT_EQ(port("pvc1")->vpi, 8);

    // Storm control: the GET commands copy back although they are "W".
    storm_request st = {};
    strcpy(st.name, "eth0");
    st.type = STORM_DLF;
    ASSERT_EQ(io(BRIDGE_IOCTL_STORM_ENABLE_GET, &st), 0);
    EXPECT_EQ(st.value, 1u);
    ASSERT_EQ(io(BRIDGE_IOCTL_STORM_RATE_GET, &st), 0);
    EXPECT_EQ(st.value, 100u);
    st.value = 2;
    ASSERT_EQ(io(BRIDGE_IOCTL_STORM_RATE_SET, &st), 0);
    for (int i = 0; i < 5; i++)
        storm_check_rate(br, STORM_DLF, port("eth0"));
    ASSERT_EQ(io(BRIDGE_IOCTL_STORM_DROPS_GET, &st), 0);
    EXPECT_EQ(st.value, 3u);
    ASSERT_EQ(io(BRIDGE_IOCTL_STORM_DROPS_CLEAR, &st), 0);
    ASSERT_EQ(io(BRIDGE_IOCTL_STORM_DROPS_GET, &st), 0);
    EXPECT_EQ(st.value, 0u);
    // A rate the 16-bit store cannot hold, and a type out of range, are
    // refused as the text command refuses them; the rate stays.
    st.value = 70000;
    EXPECT_EQ(io(BRIDGE_IOCTL_STORM_RATE_SET, &st), -ERANGE);
    ASSERT_EQ(io(BRIDGE_IOCTL_STORM_RATE_GET, &st), 0);
    EXPECT_EQ(st.value, 2u);
    st.type = 3;
    EXPECT_EQ(io(BRIDGE_IOCTL_STORM_RATE_SET, &st), -EINVAL);
    EXPECT_EQ(io(BRIDGE_IOCTL_STORM_ENABLE_SET, &st), -EINVAL);
    strcpy(st.name, "none");
    EXPECT_EQ(io(BRIDGE_IOCTL_STORM_SHOW, &st), -ENODEV);
    EXPECT_EQ(logged("port  enabled  rate   dropped frames"), 1u); // shown all the same
}

TEST_F(BridgeFileTest, BridgeWideValuesByIoctl) {
    bridge_info info;
    memset(&info, 0xFF, sizeof(info));
    ASSERT_EQ(io(BRIDGE_IOCTL_INFO_GET, &info), 0);
    EXPECT_EQ(info.max_ports, 4u);
    EXPECT_EQ(info.outer_ethertype, 0x8100);
    EXPECT_EQ(info.reserved6, 0);

    local_mac_request mac = {};
    const u8 addr[6] = {0x02, 0, 0, 0xaa, 0xbb, 0xcc};
    memcpy(mac.mac, addr, 6);
    ASSERT_EQ(io(BRIDGE_IOCTL_LOCAL_MAC_SET, &mac), 0);
    local_mac_request back = {};
    ASSERT_EQ(io(BRIDGE_IOCTL_LOCAL_MAC_GET, &back), 0);
    EXPECT_EQ(memcmp(back.mac, addr, 6), 0);

    // The multicast mode: an event only on a change; any value is kept.
    linecard_flowmgr_clear();
    ASSERT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_MCAST_MODE_SET, 2), 0);
    ASSERT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_MCAST_MODE_SET, 2), 0);
    EXPECT_EQ(events(2), 1u);
    ASSERT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_MCAST_MODE_SET, 7), 0);
    EXPECT_NE(proc_cat(BRIDGE).find("Multicast mode:              unknown\n"), std::string::npos);
    EXPECT_GT(cmd("mcast FLOOD"), 0);
    EXPECT_EQ(events(2), 2u); // the text command never notifies
    EXPECT_EQ(br->mcast_mode, 1u);

    // Version texts: bounded and terminated; no text is -6; an absent engine
    // leaves the fields as they were.
    linecard_engine_set_versions(std::string(100, 'v'), "mc-1.2");
    tarn_version ver;
    memset(&ver, 'z', sizeof(ver));
    ASSERT_EQ(io(BRIDGE_IOCTL_TARN_VERSION_GET, &ver), 0);
    EXPECT_EQ(std::string(ver.api), std::string(63, 'v'));
    EXPECT_STREQ(ver.microcode, "mc-1.2");
    linecard_engine_set_result("tarnAPIGetMicrocodeVersion", -1);
    EXPECT_EQ(io(BRIDGE_IOCTL_TARN_VERSION_GET, &ver), -ENXIO);
    linecard_engine_remove();
    memset(&ver, 0, sizeof(ver));
    ASSERT_EQ(io(BRIDGE_IOCTL_TARN_VERSION_GET, &ver), 0);
    EXPECT_STREQ(ver.api, "");

    u32 v = 99;
    ASSERT_EQ(io(BRIDGE_IOCTL_SHELF_GET, &v), 0);
    EXPECT_EQ(v, shelf);

    rx_queue_stats q;
    memset(&q, 0xEE, sizeof(q));
    ASSERT_EQ(io(BRIDGE_IOCTL_RX_QUEUE_STATS_GET, &q), 0);
    EXPECT_EQ(q.limit, jxbridge_q.max);
    EXPECT_EQ(q.af_limit, jxbridge_q.af_max);
    EXPECT_EQ(q.reserved0[0], 0u);
    EXPECT_EQ(q.reserved56[1], 0u);

    // Error-disable settings and masks.
    ASSERT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_ERROR_DISABLE_SET, 0), 0);
    ASSERT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_ERROR_DISABLE_TIME_SET, 42), 0);
    ASSERT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_ERROR_DETECT_MASK_ADD, 0x5), 0);
    ASSERT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_ERROR_DETECT_MASK_REMOVE, 0x4), 0);
    ASSERT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_ERROR_RECOVERY_MASK_ADD, 0x30), 0);
    ASSERT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_ERROR_RECOVERY_MASK_REMOVE, 0x10), 0);
    u32 vals[4];
    ASSERT_EQ(io(BRIDGE_IOCTL_ERROR_DISABLE_GET, &vals[0]), 0);
    ASSERT_EQ(io(BRIDGE_IOCTL_ERROR_DISABLE_TIME_GET, &vals[1]), 0);
    ASSERT_EQ(io(BRIDGE_IOCTL_ERROR_DETECT_MASK_GET, &vals[2]), 0);
    ASSERT_EQ(io(BRIDGE_IOCTL_ERROR_RECOVERY_MASK_GET, &vals[3]), 0);
    EXPECT_EQ(vals[0], 0u);
    EXPECT_EQ(vals[1], 42u);
    EXPECT_EQ(vals[2], 0x1u);
    EXPECT_EQ(vals[3], 0x20u);
    std::string report = proc_cat(BRIDGE);
    EXPECT_NE(report.find("Global error-disable:        Off\n"
                          "Error-disable recovery time: 42 seconds\n"
                          "Error-disable detect mask:   0x00000001\n"
                          "Error-disable recovery mask: 0x00000020\n"),
              std::string::npos);

    // The direction is part of the number; unknown numbers are -22.
    EXPECT_EQ(proc_ioctl(BRIDGE, JXBRIDGE_IOCTL_R(11), 1), -EINVAL);
    EXPECT_EQ(proc_ioctl(BRIDGE, JXBRIDGE_IOCTL_W(999), 1), -EINVAL);
    EXPECT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_INFO_GET, 16), -EFAULT);
    EXPECT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_RX_QUEUE_STATS_GET, 16), -EINVAL);
}

TEST_F(BridgeFileTest, SourceGuardRecordsAndErrorCauses) {
    dev("acc1");
    dev("acc2");
    ASSERT_EQ(add_port("acc1", JXBRIDGE_PORT_ANY, 0, JXBRIDGE_PORT_ACCESS), 0);
    ASSERT_EQ(add_port("acc2", JXBRIDGE_PORT_ANY, 0, JXBRIDGE_PORT_ACCESS), 0);
    const u8 mac[6] = {0, 1, 2, 3, 4, 5};
    ASSERT_EQ(proc_ioctl(BRIDGE, BRIDGE_IOCTL_ERROR_DETECT_MASK_ADD, JXBRIDGE_CAUSE_MSG), 0);
    mutex_lock(&jxbridge_lock);
    jxbridge_port_msg_violation(port("acc1"), mac, 100, port("acc2"));
    mutex_unlock(&jxbridge_lock);

    msg_data_request d;
    memset(&d, 0xCC, sizeof(d));
    strcpy(d.name, "acc1");
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_MSG_DATA_GET, &d), 0);
    EXPECT_EQ(d.state, (u32)JXBRIDGE_STATE_ERROR_DISABLED);
    EXPECT_EQ(d.violations, 1u);
    EXPECT_EQ(memcmp(d.cause_mac, mac, 6), 0);
    EXPECT_EQ(d.cause_vid, 100);
    EXPECT_EQ(d.cause_port, 1u);
    msg_recovery_request rr = {};
    strcpy(rr.name, "acc1");
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_MSG_RECOVERY_GET, &rr), 0);
    EXPECT_EQ(rr.causes, (u32)JXBRIDGE_CAUSE_MSG);
    port("acc1")->counters.mac_source_guard_error_disabled = 1; // the source guard counts it
    port_request c = {};
    strcpy(c.name, "acc1");
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_MSG_ERRDIS_COUNT_GET, &c), 0);
    EXPECT_EQ(c.port_no, 1u);
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_MSG_ERRDIS_COUNT_CLEAR, &c), 0);
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_MSG_VIOLATIONS_CLEAR, &c), 0);
    EXPECT_EQ(port("acc1")->counters.mac_source_guard_violations, 0u);
    EXPECT_EQ(port("acc1")->counters.mac_source_guard_error_disabled, 0u);

    char name[] = "acc1";
    ASSERT_EQ(io(BRIDGE_IOCTL_PORT_ERROR_CAUSE_CLEAR, name), 0);
    EXPECT_EQ(port("acc1")->state, (u32)JXBRIDGE_STATE_OK);
    char empty[] = "";
    EXPECT_EQ(io(BRIDGE_IOCTL_PORT_ERROR_CAUSE_CLEAR, empty), -EFAULT);
    char other[] = "accX";
    EXPECT_EQ(io(BRIDGE_IOCTL_PORT_ERROR_CAUSE_CLEAR, other), -ENODEV);
}

TEST_F(BridgeFileTest, TextCommandsAndTheirErrors) {
    dev("eth0");
    dev("acc1");
    dev("gem1");
    ASSERT_EQ(add_port("eth0", JXBRIDGE_PORT_ANY, 100, JXBRIDGE_PORT_UPLINK), 0);
    ASSERT_EQ(add_port("acc1", JXBRIDGE_PORT_ANY, 101, JXBRIDGE_PORT_ACCESS), 0);
    ASSERT_EQ(add_port("gem1", JXBRIDGE_PORT_ANY, 102, JXBRIDGE_PORT_PON_GEM), 0);
    jxbridge_port *up = port("eth0"), *acc = port("acc1"), *gem = port("gem1");

    // Framing: comments and empty lines succeed; each write is one command.
    EXPECT_EQ(cmd("# a comment"), 11);
    EXPECT_EQ(cmd(""), 0);
    EXPECT_EQ(cmd("mcast forward;mcast drop"), 14);
    EXPECT_EQ(br->mcast_mode, 2u);
    EXPECT_EQ(cmd(std::string(150, 'a')), -EINVAL);
    EXPECT_EQ(cmd("PVC eth0 set master"), -EINVAL); // pvc and stp match exactly
    EXPECT_EQ(cmd("frobnicate"), -EINVAL);

    struct {
        const char *text;
        long rc;
    } errors[] = {
        {"mcast", -ENOARG},
        {"mcast sometimes", -EINVAL},
        {"phy_state acc9 on", -ENODEV},
        {"phy_state acc1 perhaps", -EINVAL},
        {"clear_counters", -ENOARG},
        {"show_counters_all nope", -ENODEV},
        {"show_counters_qe_ucc_subport 1 x", -ENODEV},
        {"force_line_up_flag eth0 x", -EINVAL},
        {"force_line_up_flag nope 1", -ENODEV},
        {"set_mn_flag eth0 2", -EINVAL},
        {"storm", -ENOARG},
        {"storm show", -ENOARG},
        {"storm show xcast", -EINVAL},
        {"storm enable dlf", -ENOARG},
        {"storm rate dlf eth0", -ENOARG},
        {"storm rate dlf eth0 fast", -EINVAL},
        {"error_disable", -ENOARG},
        {"error_disable time soon", -EINVAL},
        {"error_disable port_state eth0 broken", -EINVAL},
        {"error_disable sideways", -EINVAL},
        {"ethertype", -ENOARG},
        {"ethertype x88a8", -ENOARG},
        {"ethertype 0x188a8", -ERANGE},
        {"lag 1", -ENOARG},
        {"lag_member_enable_traffic eth0 x", -ENOARG},
        {"pvc eth0 set boss", -EINVAL},
        {"pvc eth0 del q", -EINVAL},
        {"pvc eth0", -ENOARG},
        {"limiter", -ENOARG},
        {"stp port eth0 state forwarding vlan 4096", -ERANGE},
        {"stp show vlan 4096", -ERANGE},
        {"stp show vlan x", -EINVAL},
        {"stp sideways", -EINVAL},
        {"pon gem show nope", -ENODEV},
        {"switching_mode fast", -EINVAL},
        {"acl_switching_mode", -ENOARG},
        {"acl_switching_mode x", -EINVAL},
        {"app_filters add dhcp", -ENOARG},
        {"app_filters add dhcp eth0", -EBUSY}, // a bridge port is no filter device
    };
    for (const auto &e : errors)
        EXPECT_EQ(cmd(e.text), e.rc) << e.text;
    EXPECT_EQ(up->mn_flag, 1u); // refused commands changed nothing
    EXPECT_EQ(br->mcast_mode, 2u);

    EXPECT_GT(cmd("set_mn_flag 100 0"), 0); // a BLL number names the port
    EXPECT_EQ(up->mn_flag, 0u);
    EXPECT_EQ(logged("mn_flag set on port eth0 to 0"), 1u);
    EXPECT_GT(cmd("set_protected_port acc1 1"), 0);
    EXPECT_EQ(acc->is_protected, 1u);
    EXPECT_GT(cmd("phy_state acc1 on"), 0);
    EXPECT_EQ(acc->phy_state, 1u);
    EXPECT_GT(cmd("force_line_up_flag eth0 1"), 0);
    EXPECT_EQ(up->phy_state, 1u);
    EXPECT_EQ(logged("force_line_up_flag on port eth0 to 1"), 1u);

    // Storm words.
    EXPECT_GT(cmd("storm rate bcast eth0 500"), 0);
    EXPECT_GT(cmd("storm enable bcast eth0"), 0);
    u32 v = 0;
    storm_rate_get(br, STORM_BCAST, up, &v);
    EXPECT_EQ(v, 500u);
    EXPECT_GT(cmd("storm show bcast"), 0);
    EXPECT_EQ(logged("       eth0       1    500               0"), 1u);
    EXPECT_EQ(logged("       acc1       0      0               0"), 1u);
    EXPECT_GT(cmd("storm whatever bcast"), 0); // any other action does nothing

    // Error-disable and ACS.
    EXPECT_GT(cmd("error_disable off"), 0);
    EXPECT_EQ(br->err_disable_enabled, 0u);
    EXPECT_GT(cmd("error_disable time 60"), 0);
    EXPECT_EQ(br->err_recovery_time, 60u);
    EXPECT_GT(cmd("error_disable autorecovery 0x3"), 0);
    EXPECT_EQ(br->err_recovery_mask, 3u);
    EXPECT_GT(cmd("error_disable port_state acc1 Korv-Disabled"), 0);
    EXPECT_EQ(acc->state, (u32)JXBRIDGE_STATE_KORV_DISABLED);
    EXPECT_GT(cmd("acs_dsl_traffic disable"), 0);
    EXPECT_EQ(gem->state, (u32)JXBRIDGE_STATE_ACS_DISABLED);
    EXPECT_EQ(acc->state, (u32)JXBRIDGE_STATE_ACS_DISABLED);
    EXPECT_EQ(up->state, (u32)JXBRIDGE_STATE_OK);
    EXPECT_GT(cmd("error_disable port_state acc1 error-disabled"), 0);
    EXPECT_GT(cmd("acs_dsl_traffic enable"), 0);
    EXPECT_EQ(gem->state, (u32)JXBRIDGE_STATE_OK);
    EXPECT_EQ(acc->state, (u32)JXBRIDGE_STATE_ERROR_DISABLED); // disabled for another cause
    EXPECT_EQ(cmd("acs_dsl_traffic sideways"), -ENOARG);

    // STP: a state word that is none of the three means discarding.
    EXPECT_GT(cmd("stp on"), 0);
    EXPECT_GT(cmd("stp port eth0 on"), 0);
    EXPECT_GT(cmd("stp port eth0 state forwarding"), 0);
    EXPECT_EQ(stp_port_state_get(up, 4000), (u32)JXBRIDGE_STP_FORWARDING);
    EXPECT_GT(cmd("stp port eth0 state learning vlan 10"), 0);
    EXPECT_EQ(stp_port_state_get(up, 10), (u32)JXBRIDGE_STP_LEARNING);
    EXPECT_GT(cmd("stp port eth0 state blocking"), 0);
    EXPECT_EQ(stp_port_state_get(up, 10), (u32)JXBRIDGE_STP_DISCARDING);
    EXPECT_EQ(stp_port_state_get(up, 4000), (u32)JXBRIDGE_STP_DISCARDING);
    EXPECT_GT(cmd("stp port eth0"), 0);
    EXPECT_GT(cmd("stp show"), 0);
    EXPECT_EQ(logged("\nSTP global state is ... enabled\n"), 1u);
    EXPECT_EQ(logged("      eth0    enabled\n"), 1u);
    EXPECT_EQ(logged("      acc1   disabled\n"), 0u); // only uplinks and LAGs
    EXPECT_GT(cmd("stp show vlan 10"), 0);
    EXPECT_EQ(logged("      eth0 discarding\n"), 1u);

    // Everything else that the file offers.
    EXPECT_GT(cmd("ethertype 0x88a8"), 0);
    EXPECT_EQ(br->outer_ethertype, 0x88a8);
    EXPECT_GT(cmd("limiter 1000"), 0);
    EXPECT_GT(cmd("app_filters debug 2"), 0);
    EXPECT_EQ(app_filter_debug, 2);
    EXPECT_GT(cmd("switching_mode cord_acl_fw"), 0);
    EXPECT_EQ(br->switching_mode, 2u);
    EXPECT_GT(cmd("switching_mode normal"), 0);
    EXPECT_GT(cmd("acl_switching_mode 1"), 0);
    EXPECT_EQ(br->switching_mode, 2u);
    linecard_engine_clear();
    EXPECT_GT(cmd("lag 1 0x3"), 0);
    ASSERT_EQ(linecard_engine_calls().size(), 1u);
    EXPECT_GT(cmd("clear_counters acc1"), 0);
    EXPECT_EQ(logged("Counters on port acc1 cleared!"), 1u);
    EXPECT_GT(cmd("show_counters_bridge acc1"), 0);
    EXPECT_GT(cmd("bll_ports"), 0);
    EXPECT_EQ(logged("BLL-to-kernel translation table"), 1u);
    EXPECT_EQ(logged("\n 100.     0 eth0        1 acc1        2 gem1       -1         "), 1u);
    EXPECT_GT(cmd("help"), 0);
    EXPECT_EQ(logged("\tswitching_mode <normal|cord_vswitch|cord_acl_fw>\n"), 1u);
    EXPECT_GT(cmd("pon olt show"), 0);
}

TEST_F(BridgeFileTest, StatusReportAndCallLog) {
    dev("eth0");
    net_device *acc = dev("acc1");
    ASSERT_EQ(add_port("eth0", JXBRIDGE_PORT_ANY, 100, JXBRIDGE_PORT_UPLINK), 0);
    ASSERT_EQ(add_port("acc1", JXBRIDGE_PORT_ANY, 101, JXBRIDGE_PORT_ACCESS), 0);
    rtnl_lock();
    dev_open(acc);
    rtnl_unlock();
    br->stats.rx_packets = 12;
    br->stats.tx_bytes = 3400;

    std::string a = proc_cat(BRIDGE), b = proc_cat(BRIDGE);
    EXPECT_EQ(a, b); // produced once per read
    auto lines = lines_of(a);
    ASSERT_GT(lines.size(), 30u);
    EXPECT_EQ(lines[0], "Max port count:                   4");
    EXPECT_EQ(lines[1], "Current port count:               2");
    EXPECT_EQ(lines[2], "Outer ether_type:            33024");
    EXPECT_EQ(lines[3], "Multicast mode:              discard");
    EXPECT_EQ(lines[8], "Switching Mode: Normal");
    EXPECT_EQ(lines[13], "Packets       |         12 |          0");
    EXPECT_EQ(lines[14], "Bytes         |          0 |       3400");
    size_t row = 0;
    for (size_t i = 0; i < lines.size(); i++)
        if (lines[i].rfind("Index | BllId", 0) == 0)
            row = i + 2;
    ASSERT_NE(row, 0u);
    EXPECT_EQ(lines[row], "    0 |   100 |       eth0 (0/100),   0 |  on |  off |   on | Disabled "
                          "|              OK | DOWN |        0 |     0-0     | none | 00000000");
    EXPECT_EQ(lines[row + 1].substr(0, 95), "    1 |   101 |       acc1 (1/101),   0 |  on |  off "
                                            "|   on |  Enabled |              OK | DOWN");
    EXPECT_EQ(lines.back(), "* LKUP MASK bits: L2_MAC L2_VLAN L2_ETYPE L3_SIP L3_DIP L3_DSCP "
                            "L4_SPORT L4_DPORT");

    // With debugging on, every call is logged with the file and caller.
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "ioctl_debug 1"), 0);
    EXPECT_GT(cmd("show_mn_flag"), 0);
    EXPECT_EQ(logged("[Bridge] write(\"show_mn_flag\") on [bridge] from '"), 1u);
    u32 v;
    ASSERT_EQ(io(BRIDGE_IOCTL_SHELF_GET, &v), 0);
    char expect[80];
    snprintf(expect, sizeof(expect), "[Bridge] IOCTL(c=%u, d=0x%08x) on [bridge]",
             BRIDGE_IOCTL_SHELF_GET, (u32)(unsigned long)&v);
    EXPECT_EQ(logged(expect), 1u);
    EXPECT_EQ(logged("rte/sources/jxbridge/bridge_proc:"), 1u);
}

} // namespace
