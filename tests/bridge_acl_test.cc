// The ACL engine driven through its control file: frames through a bridge of
// wire ports, and frames handed to the engine of one port, checked on the
// bytes that come out, the counters and the dump.
#include "wire_bridge.h"

#include "sources/jxbridge/bridge_acl.h"

#include <cstring>

using namespace jxtest;

namespace {

const char *ACL = "/proc/net/jxbridge/br0/acl";

u16 csum(const u8 *p, size_t n) {
    u32 s = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        s += p[i] << 8 | p[i + 1];
    while (s >> 16)
        s = (s & 0xFFFF) + (s >> 16);
    return (u16)~s;
}

// An IPv4 frame (after optional tags) with an L4 header of 8 bytes: ports for
// TCP and UDP, type and code for ICMP.
frame ipv4(u8 proto, u16 dport, u8 tos = 0, std::vector<u16> tags = {}, u8 ihl = 5) {
    frame f = mac(2);
    frame s = mac(1);
    f.insert(f.end(), s.begin(), s.end());
    for (u16 t : tags) {
        f.insert(f.end(), {(u8)(t >> 8), (u8)t});
    }
    f.insert(f.end(), {0x08, 0x00});
    size_t ip = f.size();
    u8 h[20] = {
        (u8)(0x40 | ihl), tos, 0, 48, 0, 1, 0x40, 0, 64, proto, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2};
    f.insert(f.end(), h, h + 20);
    u16 c = csum(&f[ip], 20);
    f[ip + 10] = (u8)(c >> 8);
    f[ip + 11] = (u8)c;
    f.insert(f.end(), {0x30, 0x39, (u8)(dport >> 8), (u8)dport, 0, 0, 0, 0});
    f.resize(f.size() + 20, 0);
    return f;
}

class AclTest : public WireBridgeTest {
  protected:
    jxbridge_port *a = nullptr, *b = nullptr, *c = nullptr;

    void SetUp() override {
        WireBridgeTest::SetUp();
        a = port("wa");
        b = port("wb");
        c = port("wc");
    }
    long acl(const std::string &cmd) { return proc_write(ACL, cmd); }
    void ok(const std::string &cmd) { ASSERT_GT(acl(cmd), 0) << cmd; }
    // The frame as the engine of port p leaves it, or empty when it took it.
    frame eval(jxbridge_port *p, const frame &f, int ingress = 1, net_device *dev = nullptr) {
        sk_buff *skb = alloc_skb((unsigned)f.size() + 64, GFP_ATOMIC);
        skb_reserve(skb, 64);
        skb_put_data(skb, f.data(), (unsigned)f.size());
        skb->dev = dev ? dev : p->dev;
        JXBRIDGE_CB(skb)->port_no = (u16)p->port_no;
        JXBRIDGE_CB(skb)->in_port_no = (u16)p->port_no;
        mutex_lock(&jxbridge_lock);
        skb = acl_skb(br->acl, skb, ingress);
        mutex_unlock(&jxbridge_lock);
        if (!skb)
            return {};
        frame out(skb->data, skb->data + skb->len);
        kfree_skb(skb);
        return out;
    }
    std::string dump() { return proc_cat(ACL); }
};

TEST_F(AclTest, EntriesDefaultsAndCountersOnTraffic) {
    frame ping = ipv4(1, 0x0800);
    // No entries: everything passes, although the ingress default is "drop".
    rx(a, ping);
    EXPECT_EQ(tx(b).size(), 1u);
    ok("selector add icmp");
    ok("condition add icmp 1 ip_protocol 1");
    ok("counter add c_1");
    ok("action-list add count");
    ok("action add count 1 counter_inc c_1");
    ok("action-list add stop");
    ok("action add stop 1 pass");
    // Both entries match: counted, then passed; the default does not run.
    ok("port-entry add wa ingress 10 icmp count");
    ok("port-entry add wa ingress 20 icmp stop");
    rx(a, ping);
    EXPECT_EQ(tx(b).size(), 1u);
    // A frame no entry matches falls to the default: dropped and counted.
    rx(a, ipv4(17, 53));
    EXPECT_TRUE(tx(b).empty());
    EXPECT_EQ(a->counters.drop_acl_ingress, 1u);
    // ICMP dropped by an entry.
    ok("port-entry del wa ingress 20");
    ok("action-list add deny");
    ok("action add deny 1 drop");
    ok("port-entry add wa ingress 30 icmp deny");
    rx(a, ping);
    EXPECT_TRUE(tx(b).empty());
    EXPECT_EQ(a->counters.drop_acl_ingress, 2u);
    std::string d = dump();
    EXPECT_NE(d.find("c_1 [FGID 0] (1) = 2/"), std::string::npos) << d;
    EXPECT_NE(d.find("  I     0 wa 2 pkts/"), std::string::npos) << d;
    EXPECT_NE(d.find("wa ingress:\n\t10: icmp --> count\n\t30: icmp --> deny\n"), std::string::npos)
        << d;
    // In use: refused until the entry goes.
    EXPECT_EQ(acl("selector del icmp"), -EPERM);
    EXPECT_EQ(acl("counter del c_1"), -EPERM);
    ok("port-entry del wa ingress 10");
    ok("port-entry del wa ingress 30");
    ok("selector del icmp");
    // Reading twice gives the same dump.
    EXPECT_EQ(dump(), dump());
}

TEST_F(AclTest, GotoLimitStopsTheWalkAndConsumedFramesAreNeverReturned) {
    ok("selector add all");
    ok("action-list add loop");
    ok("action add loop 1 goto 10");
    ok("port-entry add wa ingress 10 all loop");
    // A limit past 16 bits still ends the walk: the count is 32 bits wide.
    ok("goto limit 70000");
    EXPECT_FALSE(eval(a, ipv4(6, 80)).empty());
    EXPECT_EQ(logged("ACL goto limit reached (port no 0 ingress, [10] all --> loop)"), 1u);
    // A goto past the last entry ends the walk and runs the default.
    ok("action add loop 0 goto 99");
    EXPECT_TRUE(eval(a, ipv4(6, 80)).empty());
    ok("default-action-list wa ingress true pass");
    EXPECT_FALSE(eval(a, ipv4(6, 80)).empty());
    // drop then pass in one list: the frame is gone, never handed back.
    ok("action-list add dp");
    ok("action add dp 1 drop");
    ok("action add dp 2 pass");
    ok("port-entry add wb ingress 1 all dp");
    EXPECT_TRUE(eval(b, ipv4(6, 80)).empty());
}

TEST_F(AclTest, ParsingIsBoundedByTheFrame) {
    ok("selector add web");
    ok("condition add web 1 tcp_dport >= 1024");
    ok("selector add deep");
    ok("condition add deep 1 ether_data 1500 4 ffffffff 00000000");
    ok("action-list add deny");
    ok("action add deny 1 drop");
    ok("port-entry add wa ingress 1 web deny");
    ok("port-entry add wa ingress 2 deep deny");
    ok("default-action-list wa ingress true pass");
    EXPECT_TRUE(eval(a, ipv4(6, 5000)).empty());
    EXPECT_FALSE(eval(a, ipv4(6, 80)).empty());
    // Q-in-Q: the L4 header is found behind both tags.
    EXPECT_TRUE(eval(a, ipv4(6, 5000, 0, {0x8100, 100, 0x8100, 200})).empty());
    // IHL below 5 is dropped by the engine whatever the entries, none included.
    EXPECT_TRUE(eval(a, ipv4(6, 80, 0, {}, 4)).empty());
    for (int ingress : {1, 0}) {
        EXPECT_TRUE(eval(c, ipv4(6, 80, 0, {0x8100, 100}, 4), ingress).empty());
        EXPECT_FALSE(eval(c, ipv4(6, 80, 0, {0x8100, 100}), ingress).empty());
    }
    // Cut short inside the IPv4 header or the TCP ports: nothing read past the end.
    frame f = ipv4(6, 5000);
    for (size_t n : {14u, 20u, 35u, 36u})
        EXPECT_FALSE(eval(a, frame(f.begin(), f.begin() + n)).empty()) << n;
    // IPv6 with a hop-by-hop header before TCP.
    frame v6 = mac(2);
    frame s = mac(1);
    v6.insert(v6.end(), s.begin(), s.end());
    v6.insert(v6.end(), {0x86, 0xdd, 0x60, 0, 0, 0, 0, 28, 0, 64});
    v6.resize(v6.size() + 32, 0x11);
    v6.insert(v6.end(), {6, 0, 1, 4, 0, 0, 0, 0});       // hop-by-hop, then TCP
    v6.insert(v6.end(), {0x30, 0x39, 0x13, 0x88, 0, 0}); // to 5000
    v6.resize(v6.size() + 14, 0);
    EXPECT_TRUE(eval(a, v6).empty());
    // Lengths the ether_data buffer would overflow with are refused.
    EXPECT_EQ(acl("condition add deep 2 ether_data 0 1601 00 00"), -EINVAL);
}

TEST_F(AclTest, RewritesKeepHeadersSound) {
    ok("selector add all");
    ok("action-list add mark");
    ok("action add mark 1 set_ipv4_dscp 184");
    for (const char *p : {"wa", "wb", "wc"})
        ok(std::string("default-action-list ") + p + " ingress true pass");
    ok("port-entry add wa ingress 1 all mark");
    frame out = eval(a, ipv4(1, 0, 0x01));
    ASSERT_GT(out.size(), 34u);
    EXPECT_EQ(out[15], 0xB9);
    EXPECT_EQ(csum(&out[14], 20), 0);
    // A header whose checksum was wrong stays as it was.
    frame bad = ipv4(1, 0, 0x01);
    bad[24] ^= 0xFF;
    EXPECT_EQ(eval(a, bad), bad);
    // The inner tag is rewritten only when there is one: a single-tagged
    // frame's IP header is left alone.
    ok("action-list add t2");
    ok("action add t2 1 set_tag2 0x0fff 0x0123");
    ok("port-entry add wb ingress 1 all t2");
    frame one = ipv4(6, 80, 0, {0x8100, 100});
    EXPECT_EQ(eval(b, one), one);
    frame two = eval(b, ipv4(6, 80, 0, {0x8100, 100, 0x8100, 200}));
    ASSERT_GT(two.size(), 20u);
    EXPECT_EQ(two[18] << 8 | two[19], 0x0123);
    // A pushed tag is seen by the entries after it.
    ok("action-list add push");
    ok("action add push 1 add_ctag 0 100");
    ok("selector add tagged");
    ok("condition add tagged 1 tagged1");
    ok("action-list add deny");
    ok("action add deny 1 drop");
    ok("port-entry add wc ingress 1 all push");
    ok("port-entry add wc ingress 2 tagged deny");
    EXPECT_TRUE(eval(c, ipv4(6, 80)).empty());
}

TEST_F(AclTest, RulesFollowThePortsTheyName) {
    ok("selector add all");
    ok("action-list add cp");
    ok("action add cp 1 copy wc");
    ok("port-entry add wa ingress 1 all cp");
    ok("default-action-list wa ingress true pass");
    rx(a, ipv4(1, 0));
    EXPECT_EQ(tx(c).size(), 2u); // the copy and the flood
    // The port goes while the rule stays: frames keep flowing.
    mutex_lock(&jxbridge_lock);
    jxbridge_del_port(c);
    mutex_unlock(&jxbridge_lock);
    rx(a, ipv4(1, 0));
    EXPECT_EQ(tx(b).size(), 2u);
    // forward by record: the port is resolved, an unknown one refused.
    acl_action_record r{};
    strcpy(r.list, "cp");
    r.number = 2;
    r.code = ACL_A_FORWARD;
    strcpy((char *)r.param, "nosuch");
    EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_ACTION_ADD, (unsigned long)&r), -ENODEV);
    strcpy((char *)r.param, "wb");
    EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_ACTION_ADD, (unsigned long)&r), 0);
    drain();
    rx(a, ipv4(1, 0));
    EXPECT_EQ(tx(b).size(), 1u);

    // Trap to the host without stop-after: a copy with its header goes, the
    // frame itself stays the bridge's.
    net_device *host = linecard_wire_add("whost");
    ASSERT_NE(host, nullptr);
    wires.push_back(host);
    linecard_wire_record(host, true);
    ok("action-list add trap");
    ok("action add trap 1 oo_trap_to_host whost off");
    ok("port-entry add wb ingress 1 all trap");
    ok("default-action-list wb ingress true pass");
    frame f = ipv4(1, 0);
    EXPECT_EQ(eval(b, f), f);
    auto trapped = linecard_wire_take(host);
    ASSERT_EQ(trapped.size(), 1u);
    EXPECT_EQ(trapped[0].size(), f.size() + 16);
    EXPECT_EQ(trapped[0][0], (u8)f.size());

    // A frame whose device is no bridge port: learn and counters pass it by,
    // switch has nowhere to take it from and drops it.
    ok("counter add c_9");
    ok("action-list add odd");
    ok("action add odd 2 counter_inc c_9");
    EXPECT_EQ(acl("action add odd 3 switch"), -EINVAL); // learn and switch: by record only
    acl_action_record sw{};
    strcpy(sw.list, "odd");
    for (u32 code : {ACL_A_LEARN, ACL_A_SWITCH}) {
        sw.number = code == ACL_A_LEARN ? 1 : 3;
        sw.code = code;
        EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_ACTION_ADD, (unsigned long)&sw), 0);
    }
    ok("port-entry add wb ingress 0 all odd");
    EXPECT_TRUE(eval(b, f, 1, host).empty());
    u64 pk = 0, by = 0;
    mutex_lock(&jxbridge_lock);
    acl_counter_get_value(br->acl, "c_9", &pk, &by);
    mutex_unlock(&jxbridge_lock);
    EXPECT_EQ(pk, 1u);
    EXPECT_NE(dump().find("\nc_9 [FGID 0] (1) = 1/"), std::string::npos) << dump();
}

TEST_F(AclTest, RecordsAreBoundedAndValidated) {
    // Names: 39 characters at most by text; a record field must hold its NUL.
    EXPECT_EQ(acl("selector add " + std::string(40, 's')), -EINVAL);
    ok("selector add " + std::string(39, 's'));
    acl_port_entry_record pe{};
    strcpy(pe.port, "wa");
    pe.ingress = 1;
    memset(pe.selector, 'x', sizeof(pe.selector));
    strcpy(pe.action_list, "pass");
    EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_PORT_ENTRY_ADD, (unsigned long)&pe), -EINVAL);
    EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_PORT_ENTRY_ADD, 16), -EINVAL); // unreadable
    EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_SELECTOR_DEL, 16), -EFAULT);
    strcpy(pe.selector, "true");
    EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_PORT_ENTRY_ADD, (unsigned long)&pe), 0);
    strcpy(pe.selector, "");
    EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_PORT_ENTRY_GET, (unsigned long)&pe), 0);
    EXPECT_STREQ(pe.selector, "true");

    // ether_data by record: mask and data from the caller, length bounded.
    u8 mask[2] = {0xff, 0xff}, data[2] = {0x45, 0x00};
    acl_condition_record cr{};
    strcpy(cr.selector, "true");
    cr.number = 5;
    cr.type = ACL_C_ETHER_DATA;
    u32 len = 1601;
    u64 mp = (uintptr_t)mask, dp = (uintptr_t)data;
    memcpy(cr.param + 4, &len, 4);
    memcpy(cr.param + 8, &mp, 8);
    memcpy(cr.param + 16, &dp, 8);
    EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_CONDITION_ADD, (unsigned long)&cr), -EINVAL);
    len = 2;
    memcpy(cr.param + 4, &len, 4);
    EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_CONDITION_ADD, (unsigned long)&cr), 0);
    EXPECT_NE(dump().find("ether_data [0...1] & 0xffff == 0x4500"), std::string::npos);

    // event by record: the message runs to the record's end and must end there.
    acl_action_record ar{};
    strcpy(ar.list, "pass");
    ar.number = 7;
    ar.code = ACL_A_EVENT;
    memset((char *)&ar + 52, 'm', 40);
    EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_ACTION_ADD, (unsigned long)&ar), -EINVAL);
    memset((char *)&ar + 52, 0, 40);
    strcpy((char *)&ar + 52, "two words");
    EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_ACTION_ADD, (unsigned long)&ar), -ENODEV);
    strcpy((char *)&ar + 52, std::string(39, 'e').c_str());
    EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_ACTION_ADD, (unsigned long)&ar), 0);

    // Detail records: capacity 0 writes nothing, n writes n - 1, the count covers all.
    ok("counter add c_7");
    ok("action-list add count");
    ok("action add count 1 counter_inc c_7");
    ok("port-entry add wb ingress 1 true count");
    ok("port-entry add wb egress 1 true count");
    eval(b, ipv4(6, 80), 1);
    eval(b, ipv4(6, 80), 0);
    acl_detail_record out[3];
    memset(out, 0xEE, sizeof(out));
    acl_detail_request dr{};
    dr.port = 0xFFFFFFFF;
    dr.dir = 2;
    dr.out = (uintptr_t)out;
    EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_COUNTERS_DETAILED_GET, (unsigned long)&dr), 0);
    EXPECT_EQ(dr.count, 2u);
    EXPECT_EQ(out[0].number, 0xEEEEEEEEu);
    dr.count = 2;
    EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_COUNTERS_DETAILED_GET, (unsigned long)&dr), 0);
    EXPECT_EQ(dr.count, 2u);
    EXPECT_STREQ(out[0].name, "7");
    EXPECT_EQ(out[0].packets, 1u);
    EXPECT_EQ(out[1].number, 0xEEEEEEEEu);
    acl_counter_value_record cv{};
    strcpy(cv.name, "c_7");
    EXPECT_EQ(proc_ioctl(ACL, ACL_IOCTL_COUNTER_GET, (unsigned long)&cv), 0);
    EXPECT_EQ(cv.packets, 2u);
}

// Two events per window of a second, the window opening with its first event.
TEST_F(AclTest, EventRateAllowsRatePerWindow) {
    jxbridge_tracer_printk_set(1);
    ok("debug 1");
    ok("selector add all");
    ok("action-list add ev");
    ok("action add ev 1 event rate 2 storm");
    ok("port-entry add wa ingress 1 all ev");
    for (int i = 0; i < 5; i++)
        eval(a, ipv4(6, 80));
    EXPECT_EQ(logged("Event \"storm\""), 2u);
    rte_clock_advance(ACL_EVENT_WINDOW + 1);
    for (int i = 0; i < 5; i++)
        eval(a, ipv4(6, 80));
    EXPECT_EQ(logged("Event \"storm\""), 4u);
    jxbridge_tracer_printk_set(0);
}

// Each condition on one tagged UDP frame, plain and negated: a condition
// for a header the frame lacks does not match, negated or not, except the
// tag and operator forms, where a negation matches.
TEST_F(AclTest, ConditionsReadTheFrameAsWritten) {
    const frame f = ipv4(17, 53, 0xb8, {0x8100, 100});
    const std::pair<const char *, bool> cases[] = {
        {"udp_dport 50 60", true},
        {"udp_dport ! 50 60", false},
        {"udp_dport < 100", true},
        {"udp_dport >= 100", false},
        {"udp_dport ! >= 100", true},
        {"tcp_dport 50 60", false},
        {"tcp_dport ! 50 60", false},
        {"tcp_dport ! == 53", true},
        {"l4_sport 12345 12345", true},
        {"vid1 100 100", true},
        {"vid1 ! 100 100", false},
        {"vid2 1 4095", false},
        {"vid2 ! 1 4095", true},
        {"tagged1", true},
        {"tagged2", false},
        {"ipv4_dscp 46", true},
        {"ipv4_dscp ! 46", false},
        {"ipv4_daddr 10.0.0.2", true},
        {"ipv4_saddr 10.0.0.2", false},
        {"ether_type 0x0800", true},
        {"ip_protocol 17", true},
        {"ipv6_next_header 17", false},
        {"ipv6_next_header ! 17", true},
        {"icmpv4_code 0", false},
        {"true !", false},
    };
    ok("action-list add deny");
    ok("action add deny 1 drop");
    ok("default-action-list wa ingress true pass");
    for (const auto &[cond, match] : cases) {
        ok("selector add t");
        ok(std::string("condition add t 1 ") + cond);
        ok("port-entry add wa ingress 1 t deny");
        EXPECT_EQ(eval(a, f).empty(), match) << cond;
        ok("port-entry del wa ingress 1");
        ok("selector del t");
    }
}

// The defaults are derived again when the switching mode changes: under a
// controller the ONT's local port passes both ways, the others keep theirs.
TEST_F(AclTest, DefaultsFollowTheSwitchingMode) {
    jxbridge_port *ont = port("ont0", JXBRIDGE_PORT_LOCAL);
    ok("default-action-list wa ingress true pass");
    ASSERT_GT(proc_write(BR, "switching_mode cord_vswitch"), 0);
    std::string d = dump();
    EXPECT_NE(d.find("              ont0 | ingress true --> pass, egress true --> pass\n"),
              std::string::npos)
        << d;
    EXPECT_NE(d.find("                wa | ingress true --> drop, egress true --> pass\n"),
              std::string::npos)
        << d;
    ok("selector add none");
    ok("condition add none 1 true !");
    ok("port-entry add ont0 ingress 1 none drop");
    ok("port-entry add wa ingress 1 none pass");
    EXPECT_FALSE(eval(ont, ipv4(6, 80)).empty());
    EXPECT_TRUE(eval(a, ipv4(6, 80)).empty());
}

// The flow manager learns which fields a port's entries look at.
TEST_F(AclTest, LookupMaskFollowsThePortsEntries) {
    ASSERT_EQ(linecard_flowmgr_install(), 0);
    auto count = [](int code) {
        size_t n = 0;
        for (auto &e : linecard_flowmgr_events())
            n += e.code == code;
        return n;
    };
    ok("selector add web");
    ok("condition add web 1 tcp_dport 80 80");
    ok("condition add web 2 dmac 02:00:00:00:00:02");
    ok("port-entry add wa ingress 1 web pass");
    EXPECT_EQ(a->lookup_mask, 0x81);
    EXPECT_EQ(count(JXBRIDGE_FEV_PORT_REEVALUATE), 1u);
    EXPECT_EQ(count(JXBRIDGE_FEV_ACL_INSTALL), 1u);
    // The same fields again: no re-evaluation, only the install event.
    ok("port-entry add wa ingress 2 web pass");
    EXPECT_EQ(count(JXBRIDGE_FEV_PORT_REEVALUATE), 1u);
    EXPECT_EQ(count(JXBRIDGE_FEV_ACL_INSTALL), 2u);
    ok("port-entry add wa egress 1 web pass");
    EXPECT_EQ(a->lookup_mask_egress, 0x81);
    EXPECT_EQ(count(JXBRIDGE_FEV_ACL_REMOVE), 1u);
    ok("port-entry del wa ingress 1");
    ok("port-entry del wa ingress 2");
    EXPECT_EQ(a->lookup_mask, 0);
    EXPECT_EQ(count(JXBRIDGE_FEV_PORT_REEVALUATE), 3u);
}

} // namespace
