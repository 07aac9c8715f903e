// OpenOLT flow management: an agent's flows, groups and ONUs through the
// openolt file, and frames through OLT wire devices whose stand-in carries
// the GEM in a tag.
#include "wire_bridge.h"

#include "sources/jxbridge/bridge_oo.h"

namespace jxtest {
namespace {

const char *OO = "/proc/net/jxbridge/br0/openolt";

class OoTest : public WireBridgeTest {
  protected:
    jxbridge_port *up = nullptr;
    net_device *olt[2] = {}, *host = nullptr;
    jxbridge_port *gems[2][2] = {};

    void SetUp() override {
        WireBridgeTest::SetUp();
        linecard_engine_install();
        up = port("eth0", JXBRIDGE_PORT_UPLINK, 128); // network interface 0
        for (int i = 0; i < 2; i++) {
            wires.push_back(olt[i] = linecard_wire_add(i ? "dsl1" : "dsl0"));
            // Free GEM ports of the OLT, for the flows to take.
            mutex_lock(&jxbridge_lock);
            for (int k = 0; k < 2; k++) {
                gems[i][k] = jxbridge_add_port(br, 0xFFFFFFFF, 10 * (i + 1) + k, olt[i],
                                               JXBRIDGE_PORT_PON_GEM);
                gems[i][k]->phy_state = JXBRIDGE_PHY_UP;
            }
            mutex_unlock(&jxbridge_lock);
        }
        wires.push_back(host = linecard_wire_add("openolt0"));
        ASSERT_GT(proc_write("/proc/net/jxbridge/br0/pon", "pon_bridge add 2"), 0);
        u32 mode = JXBRIDGE_SWITCHING_ACL_FW;
        ASSERT_EQ(proc_ioctl(OO, BRIDGE_OO_SWITCHING_MODE_SET, (unsigned long)&mode), 0);
    }
    // The OLTs' lines, reported once the first binding registered them.
    void lines_up() {
        for (net_device *d : olt)
            jxbridge_port_phy_state_set(d, 1, 10000, 1);
    }
    long oo(const std::string &cmd) { return proc_write(OO, cmd); }
    bool ok(const std::string &cmd) { return oo(cmd) == (long)cmd.size(); }
    static frame gem_tagged(frame f, u16 gem) {
        const u8 tag[4] = {0x88, 0xB5, u8(gem >> 8), u8(gem)};
        f.insert(f.begin() + 12, tag, tag + 4);
        return f;
    }
    static frame vlan(const frame &dst, const frame &src, int vid, u16 type = 0x0800) {
        return eth(dst, src, type, 46, vid);
    }
    void rx_gem(int o, u16 gem, const frame &f) { linecard_wire_rx(olt[o], gem_tagged(f, gem)); }
    u64 packets(u32 type, u32 id) {
        oo_flow_stat_record s = {id, type, 0, 0};
        EXPECT_EQ(proc_ioctl(OO, BRIDGE_OO_FLOW_STAT, (unsigned long)&s), 0);
        return s.packets;
    }
};

TEST_F(OoTest, FlowsCarryTrafficBetweenGemAndUplinkAndABadOverwriteKeepsTheOld) {
    // Upstream: an untagged frame from the ONU's GEM leaves the uplink in VLAN 100.
    ASSERT_TRUE(ok("flow add us 1 0 5 network 0 gem 1001 prio 10 class tag-type untagged "
                   "action add-outer 0x0064"));
    EXPECT_EQ(gems[0][0]->gem_id, 1001u); // the first free GEM port of dsl0 was taken
    frame f = eth(mac(9), mac(1), 0x0800);
    rx_gem(0, 1001, f);
    auto out = tx(up);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], vlan(mac(9), mac(1), 100));
    rx_gem(0, 1001, vlan(mac(9), mac(1), 7)); // tagged: no flow of it
    EXPECT_TRUE(tx(up).empty());
    EXPECT_EQ(packets(OO_FLOW_US, 1), 1u);

    // Downstream: the reply in VLAN 100 reaches the GEM untagged.
    ASSERT_TRUE(ok("flow add ds 1 0 5 network 0 gem 1001 prio 10 class ovid 100 "
                   "action remove-outer x"));
    lines_up();
    rx(up, vlan(mac(1), mac(9), 100));
    out = tx(gems[0][0]);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], gem_tagged(eth(mac(1), mac(9), 0x0800), 1001));

    // Overwrites: a flow that cannot be set up leaves the old one working;
    // one that can replaces it.
    EXPECT_EQ(oo("flow add us 1 0 5 network 7 gem 1001 prio 10 action add-outer 0x00c8"), -ENODEV);
    oo_flow_record r = {};
    r.flow_id = 1;
    r.network_intf_id = 0;
    r.gemport_id = 1001;
    r.pkt_tag_type = 9;
    EXPECT_EQ(proc_ioctl(OO, BRIDGE_OO_FLOW_ADD, (unsigned long)&r), -EINVAL);
    r.pkt_tag_type = OO_TAG_UNTAGGED;
    r.act[OO_ACT_ADD_OUTER] = 1;
    r.a_o_vid = 5000;
    EXPECT_EQ(proc_ioctl(OO, BRIDGE_OO_FLOW_ADD, (unsigned long)&r), -ERANGE);
    rx_gem(0, 1001, f);
    out = tx(up);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], vlan(mac(9), mac(1), 100));
    r.a_o_vid = 200;
    r.a_o_pbits = 5;
    EXPECT_EQ(proc_ioctl(OO, BRIDGE_OO_FLOW_ADD, (unsigned long)&r), 0);
    rx_gem(0, 1001, f);
    out = tx(up);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][14], 0xA0); // priority bits 5, VID 200
    EXPECT_EQ(out[0][15], 200);

    // Refusals: type, id, words of the line.
    r.flow_type = 4;
    EXPECT_EQ(proc_ioctl(OO, BRIDGE_OO_FLOW_ADD, (unsigned long)&r), -EINVAL);
    r.flow_type = OO_FLOW_US;
    r.flow_id = 65536;
    EXPECT_EQ(proc_ioctl(OO, BRIDGE_OO_FLOW_ADD, (unsigned long)&r), -ERANGE);
    EXPECT_EQ(oo("flow add up 2 0 5"), -EINVAL);
    EXPECT_EQ(oo("flow add us 2 0"), -ENOARG);
    EXPECT_EQ(oo("flow add us 2 0 5 gem"), -ENOARG);
    EXPECT_EQ(oo("flow add us 2 0 5 colour 3"), -EINVAL);
    EXPECT_EQ(oo("flow add us 2 0 5 class smac 1:2:3"), -EINVAL);
    EXPECT_EQ(oo("flow add us 2 0 5 gem 1002 action add-outer zz"), -EINVAL);
    EXPECT_EQ(oo("flow del us 9"), -ENOENT);
    // Names and entry numbers taken by others are not a flow's to take or remove.
    ASSERT_GT(proc_write("/proc/net/jxbridge/br0/acl", "selector add of_9_us"), 0);
    EXPECT_EQ(oo("flow add us 9 0 5 network 0 gem 1001 prio 10 action add-outer 0x0064"), -EEXIST);
    EXPECT_NE(proc_cat("/proc/net/jxbridge/br0/acl").find("of_9_us (0)"), std::string::npos);
    EXPECT_EQ(oo("flow add bcast 1 0 5 network 0 gem 1001 prio 10 action add-outer 1"), -EEXIST);
    EXPECT_EQ(oo("frobnicate"), -EINVAL);
    EXPECT_EQ(logged("Unknown command: 'frobnicate'"), 1u);
    EXPECT_EQ(proc_ioctl(OO, OO_IOCTL(0x5d), 0), -EINVAL);

    std::string text = proc_cat(OO);
    EXPECT_NE(text.find("us 1/1/0\nds 1/1/0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("us 1 access_intf_id=0, onu_id=0, uni_id=0"), std::string::npos);

    // Deleting takes the flow's ACL objects along.
    ASSERT_TRUE(ok("flow del ds 1"));
    rx(up, vlan(mac(1), mac(9), 100));
    EXPECT_TRUE(tx(gems[0][0]).empty());
    EXPECT_EQ(proc_cat("/proc/net/jxbridge/br0/acl").find("of_1_ds"), std::string::npos);
}

TEST_F(OoTest, TrapToHostGivesTheFrameWithItsHeaderToOpenolt0) {
    ASSERT_TRUE(ok("flow add us 2 0 5 gem 1001 prio 20 class ethtype 0x0800 ipproto 17 dport 67 "
                   "action trap-to-host 1"));
    frame dhcp = eth(frame(6, 0xFF), mac(1), 0x0800, 300, -1, 0);
    dhcp[14] = 0x45;                 // IPv4, 20 bytes
    dhcp[14 + 9] = 17;               // UDP
    dhcp[34 + 2] = 0, dhcp[37] = 67; // to the DHCP server port
    rx_gem(0, 1001, dhcp);
    auto out = linecard_wire_take(host);
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].size(), dhcp.size() + 16);
    u32 hdr[4];
    memcpy(hdr, out[0].data(), 16);
    EXPECT_EQ(hdr[0], dhcp.size());
    EXPECT_EQ(hdr[1], gems[0][0]->bll_port_no);
    EXPECT_EQ(hdr[2], 1001u);
    EXPECT_EQ(frame(out[0].begin() + 16, out[0].end()), dhcp);
    EXPECT_TRUE(tx(up).empty());
}

TEST_F(OoTest, AGroupSendsOneCopyPerOlt) {
    // Members through the ioctl, with their count bounded before the copy.
    oo_mcast_member_record m[2] = {};
    m[0].intf_id = 0, m[0].gem_port_id = 3900;
    m[1].intf_id = 1, m[1].gem_port_id = 3900;
    oo_mcast_group_record g = {};
    g.group_id = 7;
    g.count = 33;
    g.members = (uintptr_t)m;
    EXPECT_EQ(proc_ioctl(OO, BRIDGE_OO_MCAST_GROUP_ADD, (unsigned long)&g), -EINVAL);
    g.count = 2;
    g.members = 8; // no memory of the caller's there
    EXPECT_EQ(proc_ioctl(OO, BRIDGE_OO_MCAST_GROUP_ADD, (unsigned long)&g), -EFAULT);
    g.members = (uintptr_t)m;
    ASSERT_EQ(proc_ioctl(OO, BRIDGE_OO_MCAST_GROUP_ADD, (unsigned long)&g), 0);
    EXPECT_EQ(oo("mcast-group add 8 0:100 0:200"), -EINVAL); // one GEM per OLT

    ASSERT_TRUE(ok("flow add mcast 3 0 0 network 0 grp 7 prio 5 class ovid 300"));
    lines_up();
    frame mc = vlan({0x01, 0x00, 0x5e, 1, 2, 3}, mac(9), 300);
    rx(up, mc);
    for (int i = 0; i < 2; i++) {
        auto out = linecard_wire_take(olt[i]);
        ASSERT_EQ(out.size(), 1u) << i;
        EXPECT_EQ(out[0], gem_tagged(mc, 3900)) << i;
    }
    EXPECT_EQ(packets(OO_FLOW_MCAST, 3), 1u);
    EXPECT_EQ(proc_ioctl(OO, BRIDGE_OO_MCAST_GROUP_DEL, (unsigned long)&g), 0);
    EXPECT_EQ(proc_ioctl(OO, BRIDGE_OO_MCAST_GROUP_DEL, (unsigned long)&g), -EFAULT);
}

TEST_F(OoTest, OnusListsAndManagementAcls) {
    // Vendor fields keep to their twelve bytes whatever length the caller says.
    oo_onu_record o = {};
    o.intf_id = 1;
    o.onu_id = 4;
    o.vendor_id_len = 1000;
    memset(o.vendor_id, 0xAB, sizeof(o.vendor_id));
    o.pir = 77;
    ASSERT_EQ(proc_ioctl(OO, BRIDGE_OO_ONU_ACTIVATE, (unsigned long)&o), 0);
    o.onu_id = 5;
    ASSERT_EQ(proc_ioctl(OO, BRIDGE_OO_ONU_ADD, (unsigned long)&o), 0);
    std::string text = proc_cat(OO);
    EXPECT_NE(text.find("now=2 max=2 deleted=0\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" abababababababababababab \n"), std::string::npos) << text;
    oo_onu_record list[3];
    memset(list, 0x5A, sizeof(list));
    oo_onu_list_record l = {1, 1, (uintptr_t)list};
    ASSERT_EQ(proc_ioctl(OO, BRIDGE_OO_ONU_LIST, (unsigned long)&l), 0);
    EXPECT_EQ(l.count, 2u);
    EXPECT_EQ(list[0].vendor_id_len, 12u);
    EXPECT_EQ(list[1].intf_id, 0x5A5A5A5Au); // beyond the capacity: untouched
    ASSERT_EQ(proc_ioctl(OO, BRIDGE_OO_ONU_DELETE, (unsigned long)&o), 0);
    EXPECT_NE(proc_cat(OO).find("now=1 max=2 deleted=1\n"), std::string::npos);

    // The GEM ports of an ONU, as the flows reserved them.
    ASSERT_TRUE(ok("flow add us 4 1 6 gem 1200 prio 1 action trap-to-host 1"));
    u32 ids[4] = {};
    oo_gem_list_record gl = {1, 6, 4, 0, (uintptr_t)ids};
    ASSERT_EQ(proc_ioctl(OO, BRIDGE_OO_GEM_LIST, (unsigned long)&gl), 0);
    EXPECT_EQ(gl.count, 1u);
    EXPECT_EQ(ids[0], 1200u);

    // With a management port and the uplink the management ACLs pass ARP
    // from the uplink to it and its frames to the uplink.
    jxbridge_port *mng = port("mng0", JXBRIDGE_PORT_LOCAL, 2);
    oo_intf_record u = {0, 0};
    EXPECT_EQ(proc_ioctl(OO, BRIDGE_OO_UPLINK_ENABLE, (unsigned long)&u), 0);
    u.intf_id = 3;
    EXPECT_EQ(proc_ioctl(OO, BRIDGE_OO_UPLINK_ENABLE, (unsigned long)&u), -ENODEV);
    u32 mode = JXBRIDGE_SWITCHING_NORMAL;
    ASSERT_EQ(proc_ioctl(OO, BRIDGE_OO_SWITCHING_MODE_SET, (unsigned long)&mode), 0);
    ASSERT_TRUE(ok("flow add ds 5 0 6 network 0 gem 1200 prio 1 class ovid 9"));
    mode = JXBRIDGE_SWITCHING_ACL_FW;
    ASSERT_EQ(proc_ioctl(OO, BRIDGE_OO_SWITCHING_MODE_SET, (unsigned long)&mode), 0);
    frame arp = eth(frame(6, 0xFF), mac(9), 0x0806);
    rx(up, arp);
    EXPECT_EQ(tx(mng).size(), 1u);
    rx(mng, eth(mac(9), mac(2), 0x0800));
    EXPECT_EQ(tx(up).size(), 1u);
    oo_mng_intf_record mi;
    ASSERT_EQ(proc_ioctl(OO, BRIDGE_OO_MNG_INFT_GET, (unsigned long)&mi), 0);
    EXPECT_EQ(mi.present, 1u);
    EXPECT_STREQ(mi.dev_name, "mng0");
    mode = 3;
    EXPECT_EQ(proc_ioctl(OO, BRIDGE_OO_SWITCHING_MODE_SET, (unsigned long)&mode), -EINVAL);
    mode = JXBRIDGE_SWITCHING_NORMAL;
    ASSERT_EQ(proc_ioctl(OO, BRIDGE_OO_SWITCHING_MODE_SET, (unsigned long)&mode), 0);
    EXPECT_EQ(proc_cat("/proc/net/jxbridge/br0/acl").find("mng_"), std::string::npos);
}

} // namespace
} // namespace jxtest
