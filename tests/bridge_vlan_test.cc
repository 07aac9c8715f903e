// The VLAN engine: real frames through the ingress and egress tag rules,
// membership and per-port settings, remark, Q-in-Q and MVR rules.
#include "bridge_fixture.h"

#include <initializer_list>

using namespace jxtest;

namespace {

using Bytes = std::vector<u8>;
struct Tag {
    u16 tpid, tci;
};

Bytes frame(std::initializer_list<Tag> tags, u16 type = ETH_P_IP, Bytes payload = {}) {
    Bytes b = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x00, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
    auto put16 = [&](u16 v) {
        b.push_back(u8(v >> 8));
        b.push_back(u8(v));
    };
    for (const Tag &t : tags) {
        put16(t.tpid);
        put16(t.tci);
    }
    put16(type);
    if (payload.empty())
        for (int i = 0; i < 46; i++)
            payload.push_back(u8(i));
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes ipv4_to(u8 a, u8 b, u8 c, u8 d) {
    Bytes h(28, 0);
    h[0] = 0x45;
    h[16] = a, h[17] = b, h[18] = c, h[19] = d;
    return h;
}

Bytes ipv6_to(u16 first, u16 last) {
    Bytes h(48, 0);
    h[0] = 0x60;
    h[24] = u8(first >> 8), h[25] = u8(first);
    h[38] = u8(last >> 8), h[39] = u8(last);
    return h;
}

Bytes bytes(const sk_buff *skb) {
    return Bytes(skb->data, skb->data + skb->len);
}

u16 cb_vid(__be16 tci) {
    return ntohs(tci) & 0xFFF;
}

// Holds jxbridge_lock as the pipeline does while a frame is processed.
struct Locked {
    Locked() { mutex_lock(&jxbridge_lock); }
    ~Locked() { mutex_unlock(&jxbridge_lock); }
};

class VlanTest : public BridgeTest {
  protected:
    vlan_data *vd() { return br->vlan; }
    jxbridge_port *add(const char *name, u32 kind = JXBRIDGE_PORT_ACCESS) {
        return jxbridge_add_port(br, 0xFFFFFFFF, 0, dev(name), kind);
    }
    // A received frame as the pipeline hands it over: data at the MAC header,
    // the port numbers in the control block.
    sk_buff *mk(const Bytes &b, jxbridge_port *in = nullptr, unsigned headroom = 32) {
        sk_buff *skb = rte_skb_from_bytes(b.data(), (unsigned)b.size(), headroom);
        EXPECT_NE(skb, nullptr);
        jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
        memset(cb, 0, sizeof(*cb));
        cb->port_no = cb->in_port_no = in ? (u16)in->port_no : JXBRIDGE_NO_PORT;
        return skb;
    }
    sk_buff *in(jxbridge_port *p, const Bytes &b) {
        return vlan_process_ingress_rules(vd(), p, mk(b, p));
    }
    // The bytes a port transmits, or an empty vector when egress dropped the frame.
    Bytes out(jxbridge_port *p, sk_buff *skb) {
        skb = vlan_process_egress_rules(vd(), p, skb);
        if (!skb)
            return {};
        Bytes b = bytes(skb);
        kfree_skb(skb);
        return b;
    }
    Bytes through(jxbridge_port *from, const Bytes &b, jxbridge_port *to) {
        sk_buff *skb = in(from, b);
        return skb ? out(to, skb) : Bytes{};
    }
    std::vector<jxbridge_port *> members(u16 vid) {
        std::vector<jxbridge_port *> v;
        for (jxbridge_port **p = vlan_get_ports(vd(), vid); *p; p++)
            v.push_back(*p);
        return v;
    }
    size_t events_of(int code, void *port, u32 vid) {
        size_t n = 0;
        for (auto &e : linecard_flowmgr_events())
            n += e.code == code && e.a1 == port && e.a2 == (void *)(uintptr_t)vid;
        return n;
    }
};

TEST_F(VlanTest, PvidIsPushedOnIngressAndStrippedOrKeptOnEgress) {
    {
        Locked l;
        jxbridge_port *a = add("acc1"), *u = add("eth0", JXBRIDGE_PORT_UPLINK);
        jxbridge_port *b = add("acc2"), *c = add("acc3");
        ASSERT_TRUE(a && u && b && c);
        // A new port: untagged member of VLAN 1 with PVID 1, all frames, bridge mode.
        EXPECT_EQ(vlan_get_pvid(a), 1);
        EXPECT_EQ(vlan_get_membership(a, 1), 1);
        EXPECT_EQ(vlan_get_port_tag(a, 1), 0);
        EXPECT_EQ(vlan_get_acceptable_frame(a), VLAN_ACCEPT_ALL);
        u32 mode = 9;
        EXPECT_EQ(vlan_qinq_get_port_mode(a, &mode), 0);
        EXPECT_EQ(mode, (u32)VLAN_QINQ_BRIDGE);
        u16 svid = 0;
        u8 sprio = 9;
        EXPECT_EQ(vlan_qinq_get_stacking(a, &svid, &sprio), 0);
        EXPECT_EQ(svid, 4095);
        EXPECT_EQ(sprio, 0);
        EXPECT_EQ(vlan_get_ethertype(br), 0x8100);

        ASSERT_EQ(vlan_add_configured(vd(), 100), 0);
        for (jxbridge_port *p : {a, u, b})
            ASSERT_EQ(vlan_add_membership(p, 100), 0);
        ASSERT_EQ(vlan_set_pvid(a, 100), 0);
        ASSERT_EQ(vlan_set_port_priority(a, 5), 0);
        EXPECT_EQ(vlan_set_port_priority(a, 8), -EINVAL);
        EXPECT_EQ(vlan_get_port_priority(a), 5);
        ASSERT_EQ(vlan_set_port_tag(u, 100, 1), 0);

        const Bytes plain = frame({});
        const Bytes tagged = frame({{0x8100, 5 << 13 | 100}});
        sk_buff *skb = in(a, plain);
        ASSERT_NE(skb, nullptr);
        EXPECT_EQ(bytes(skb), tagged);
        jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
        EXPECT_EQ(cb->rx_outer_tci, htons(0xFFF)); // as received
        EXPECT_EQ(cb->outer_tci, htons(5 << 13 | 100));
        EXPECT_EQ(cb_vid(cb->inner_tci), 0xFFF);
        EXPECT_EQ(skb->protocol, htons(ETH_P_IP));
        EXPECT_EQ(skb_network_header(skb) - skb->data, 18);
        EXPECT_EQ(skb_mac_header(skb), skb->data);

        // Two copies of one frame: stripping one must not touch the other.
        sk_buff *copy = skb_clone(skb, GFP_ATOMIC);
        EXPECT_EQ(out(b, copy), plain);
        EXPECT_EQ(out(u, skb), tagged);
        // Tag-ignore strips although the port is a tagged member.
        ASSERT_EQ(vlan_set_port_tagging_ignore(u, 100, 1), 0);
        EXPECT_EQ(vlan_get_port_tagging_ignore(u, 100), 1);
        EXPECT_EQ(through(a, plain, u), plain);
        ASSERT_EQ(vlan_set_port_tagging_ignore(u, 4095, 0), 0);
        EXPECT_EQ(vlan_get_port_tagging_ignore(u, 100), 0);
        EXPECT_EQ(through(a, plain, u), tagged);

        // A tagged frame from the uplink passes as it is; untagged members strip it.
        EXPECT_EQ(through(u, tagged, u), tagged);
        EXPECT_EQ(through(u, tagged, b), plain);

        // c is no member of VLAN 100: egress filtering drops and counts.
        EXPECT_EQ(through(a, plain, c), Bytes{});
        EXPECT_EQ(c->counters.drop_vlan_egress_filtering, 1u);
        vlan_stat rx, tx;
        vlan_get_stat(vd(), &rx, &tx);
        EXPECT_EQ(tx.dropped, 1u);
        EXPECT_EQ(rx.dropped, 0u);
        EXPECT_EQ(rx.untagged, 4u);
        EXPECT_EQ(rx.tagged, 2u);
        EXPECT_EQ(tx.tagged, 3u);
        EXPECT_EQ(tx.untagged, 3u);
    }
    std::string report = proc_cat("/proc/net/jxbridge/br0/bridge");
    EXPECT_NE(report.find("VLAN discards |          0 |          1\n"), std::string::npos);
    {
        Locked l;
        vlan_clear_stat(vd());
        vlan_stat rx, tx;
        vlan_get_stat(vd(), &rx, &tx);
        EXPECT_EQ(rx.untagged + tx.dropped, 0u);
    }
}

TEST_F(VlanTest, AcceptableFrameTypesAndIngressFilteringDropAndCount) {
    Locked l;
    jxbridge_port *a = add("acc1"), *g = add("gpon0", JXBRIDGE_PORT_PON_GEM);
    jxbridge_port *lag = add("lag1", JXBRIDGE_PORT_LAG), *m = add("eth0", JXBRIDGE_PORT_UPLINK);
    ASSERT_TRUE(a && g && lag && m);
    ASSERT_EQ(vlan_add_configured(vd(), 200), 0);
    const Bytes plain = frame({}), vid1 = frame({{0x8100, 1}}), vid200 = frame({{0x8100, 200}});
    const Bytes dbl = frame({{0x8100, 1}, {0x8100, 7}});

    EXPECT_EQ(vlan_set_acceptable_frame(a, 3), -EINVAL);
    ASSERT_EQ(vlan_set_acceptable_frame(a, VLAN_ACCEPT_TAGGED), 0);
    EXPECT_EQ(vlan_get_acceptable_frame(a), VLAN_ACCEPT_TAGGED);
    EXPECT_EQ(in(a, plain), nullptr);
    EXPECT_EQ(a->counters.drop_vlan_ingress_accept_tagged, 1u);
    sk_buff *skb = in(a, vid1);
    ASSERT_NE(skb, nullptr);
    kfree_skb(skb);
    skb = in(a, dbl);
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(cb_vid(JXBRIDGE_CB(skb)->rx_inner_tci), 7);
    EXPECT_EQ(skb_network_header(skb) - skb->data, 22);
    kfree_skb(skb);

    ASSERT_EQ(vlan_set_acceptable_frame(a, VLAN_ACCEPT_UNTAGGED), 0);
    EXPECT_EQ(vlan_get_acceptable_frame(a), VLAN_ACCEPT_UNTAGGED);
    EXPECT_EQ(in(a, vid1), nullptr);
    EXPECT_EQ(in(a, dbl), nullptr);
    EXPECT_EQ(a->counters.drop_vlan_ingress_accept_untagged, 2u);

    // Ingress filtering: a configured VLAN the port is not in, and an unconfigured one.
    ASSERT_EQ(vlan_set_acceptable_frame(a, VLAN_ACCEPT_ALL), 0);
    EXPECT_EQ(in(a, vid200), nullptr);
    EXPECT_EQ(in(a, frame({{0x8100, 300}})), nullptr);
    EXPECT_EQ(a->counters.drop_vlan_ingress_filtering, 2u);
    vlan_stat rx;
    vlan_get_stat(vd(), &rx, nullptr);
    EXPECT_EQ(rx.dropped, 5u);

    // GEM ports of a bridge in vSwitch mode are not filtered.
    EXPECT_EQ(in(g, vid200), nullptr);
    ASSERT_EQ(jxbridge_switching_mode_set(br, 1), 0);
    skb = in(g, vid200);
    ASSERT_NE(skb, nullptr);
    kfree_skb(skb);
    EXPECT_EQ(in(a, vid200), nullptr); // other kinds still are
    ASSERT_EQ(jxbridge_switching_mode_set(br, 0), 0);
    EXPECT_EQ(g->counters.drop_vlan_ingress_filtering, 1u);

    // A LAG's drop counts on the member the frame came in by as well.
    m->lag_master = lag;
    skb = mk(vid200, m);
    JXBRIDGE_CB(skb)->port_no = (u16)lag->port_no;
    EXPECT_EQ(vlan_process_ingress_rules(vd(), lag, skb), nullptr);
    EXPECT_EQ(lag->counters.drop_vlan_ingress_filtering, 1u);
    EXPECT_EQ(m->counters.drop_vlan_ingress_filtering, 1u);
    m->lag_master = nullptr;

    // Only 0x8100 opens a second tag; the S-tag ethertype counts in front only.
    ASSERT_EQ(vlan_set_ethertype(br, 0x88a8), 0);
    __be16 o = 1, i = 1;
    skb = mk(frame({{0x8100, 1}, {0x88a8, 5}}));
    EXPECT_EQ(vlan_get_skb_ethertypes_nf(vd(), skb, &o, &i), 1);
    EXPECT_EQ(o, htons(0x8100));
    EXPECT_EQ(i, 0);
    kfree_skb(skb);
    skb = mk(frame({{0x88a8, 10}, {0x8100, 20}}));
    EXPECT_EQ(vlan_get_skb_ethertypes_nf(vd(), skb, &o, &i), 2);
    EXPECT_EQ(o, htons(0x88a8));
    EXPECT_EQ(i, htons(0x8100));
    kfree_skb(skb);
    skb = in(a, frame({{0x8100, 1}, {0x88a8, 5}}));
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(cb_vid(JXBRIDGE_CB(skb)->inner_tci), 0xFFF);
    EXPECT_EQ(skb->protocol, htons(0x88a8));
    kfree_skb(skb);
}

TEST_F(VlanTest, TunnelPortsStackOnIngressAndUnstackOnEgress) {
    Locked l;
    jxbridge_port *a = add("acc1"), *u = add("eth0", JXBRIDGE_PORT_UPLINK);
    ASSERT_TRUE(a && u);
    ASSERT_EQ(vlan_set_ethertype(br, 0x88a8), 0);
    EXPECT_EQ(vlan_get_outer_ethertype_nf(vd()), htons(0x88a8));
    for (u16 v : {100, 300}) {
        ASSERT_EQ(vlan_add_configured(vd(), v), 0);
        ASSERT_EQ(vlan_add_membership(a, v), 0);
        ASSERT_EQ(vlan_add_membership(u, v), 0);
        ASSERT_EQ(vlan_set_port_tag(u, v, 1), 0);
    }
    ASSERT_EQ(vlan_qinq_set_port_mode(a, VLAN_QINQ_TUNNEL), 0);
    ASSERT_EQ(vlan_set_pvid(a, 100), 0);
    const Bytes plain = frame({});

    // No stacking: one S-tag with the PVID; back on the port it comes off again.
    const Bytes s100 = frame({{0x88a8, 100}});
    sk_buff *skb = in(a, plain);
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(bytes(skb), s100);
    EXPECT_EQ(out(a, skb), plain);
    EXPECT_EQ(through(a, plain, u), s100);

    // Stacking VID 100 priority 3 under the outer PVID 300 tag.
    EXPECT_EQ(vlan_qinq_set_stacking(a, 0, 0), -EINVAL);
    EXPECT_EQ(vlan_qinq_set_stacking(a, 4096, 0), -EINVAL);
    EXPECT_EQ(vlan_qinq_set_stacking(a, 100, 8), -EINVAL);
    ASSERT_EQ(vlan_qinq_set_stacking(a, 100, 3), 0);
    ASSERT_EQ(vlan_set_pvid(a, 300), 0);
    const Bytes stacked = frame({{0x88a8, 300}, {0x8100, 3 << 13 | 100}});
    skb = in(a, plain);
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(bytes(skb), stacked);
    EXPECT_EQ(cb_vid(JXBRIDGE_CB(skb)->outer_tci), 300);
    EXPECT_EQ(cb_vid(JXBRIDGE_CB(skb)->inner_tci), 100);
    EXPECT_EQ(skb_network_header(skb) - skb->data, 22);
    EXPECT_EQ(out(a, skb), plain); // S-tag and stacking tag both removed
    EXPECT_EQ(through(a, plain, u), stacked);

    // A customer-tagged frame keeps its C-tag under the S-tag.
    const Bytes c10 = frame({{0x8100, 10}});
    EXPECT_EQ(through(a, c10, u), frame({{0x88a8, 300}, {0x8100, 10}}));
    EXPECT_EQ(through(a, c10, a), c10); // only the S-tag comes off
    ASSERT_EQ(vlan_qinq_set_stacking(a, 4095, 0), 0);
    EXPECT_EQ(through(a, plain, u), frame({{0x88a8, 300}}));

    // An MPMM entry's VID is unstacked like the stacking VID.
    vlan_mpmm_entry e = {7, {0x01, 0x00, 0x5e}, {0xff, 0xff, 0x80}, 1055, 55, 0};
    ASSERT_EQ(vlan_mpmm_add(a, &e), 0);
    EXPECT_EQ(vlan_mpmm_add(a, &e), -EEXIST);
    EXPECT_EQ(logged("[VLAN]   Duplicate index found.\n"), 1u);
    vlan_mpmm_entry e2 = e, e3 = e;
    e2.index = 3;
    e3.index = 9;
    ASSERT_EQ(vlan_mpmm_add(a, &e3), 0);
    ASSERT_EQ(vlan_mpmm_add(a, &e2), 0);
    vlan_mpmm_entry got = {};
    const u32 order[] = {3, 7, 9};
    for (u32 pos = 0; pos < 3; pos++) {
        ASSERT_EQ(vlan_mpmm_get_by_pos(a, pos, &got), 0);
        EXPECT_EQ(got.index, order[pos]);
    }
    EXPECT_EQ(vlan_mpmm_get_by_pos(a, 3, &got), -ENOENT);
    ASSERT_EQ(vlan_mpmm_get(a, 7, &got), 0);
    EXPECT_EQ(got.new_vid, 55);
    EXPECT_EQ(vlan_mpmm_del(a, 3), 0);
    EXPECT_EQ(vlan_mpmm_del(a, 3), -ENOENT);
    EXPECT_EQ(vlan_mpmm_get(a, 3, &got), -ENOENT);
    skb = mk(frame({{0x88a8, 300}, {0x8100, 55}}));
    vlan_skb_cb_initial_parse_vlans(vd(), skb);
    EXPECT_EQ(out(a, skb), plain);
}

TEST_F(VlanTest, SelectiveQinqChoosesTheOuterTagByCustomerVid) {
    Locked l;
    jxbridge_port *a = add("acc1");
    ASSERT_TRUE(a);
    ASSERT_EQ(vlan_set_ethertype(br, 0x88a8), 0);
    for (u16 v : {100, 500, 600}) {
        ASSERT_EQ(vlan_add_configured(vd(), v), 0);
        ASSERT_EQ(vlan_add_membership(a, v), 0);
    }
    ASSERT_EQ(vlan_qinq_set_port_mode(a, VLAN_QINQ_TUNNEL), 0);
    ASSERT_EQ(vlan_set_pvid(a, 100), 0);

    ASSERT_EQ(vlan_qinq_set_selective(a, 20, 10, 500, 3), 0);
    EXPECT_EQ(vlan_qinq_set_selective(a, 15, 30, 600, 0), -EEXIST);
    EXPECT_EQ(vlan_qinq_set_selective(a, 5, 10, 600, 0), -EEXIST);
    EXPECT_EQ(vlan_qinq_set_selective(a, 40, 50, 4096, 0), -EINVAL);
    EXPECT_EQ(vlan_qinq_set_selective(a, 40, 50, 600, 9), -EINVAL);
    ASSERT_EQ(vlan_qinq_set_selective(a, 40, 50, 600, VLAN_QINQ_KEEP_PRIO), 0);
    vlan_qinq_range r = {};
    ASSERT_EQ(vlan_qinq_get_selective(a, 12, &r), 0);
    EXPECT_EQ(r.first, 10);
    EXPECT_EQ(r.last, 20);
    EXPECT_EQ(r.outer_vid, 500);
    EXPECT_EQ(r.prio, 3);
    ASSERT_EQ(vlan_qinq_get_selective_seq(a, 0, &r), 0); // newest first
    EXPECT_EQ(r.first, 40);
    EXPECT_EQ(r.prio, VLAN_QINQ_KEEP_PRIO);
    EXPECT_EQ(vlan_qinq_get_selective_seq(a, 2, &r), -ENOENT);
    EXPECT_EQ(vlan_qinq_get_selective(a, 30, &r), -ENOENT);

    const Bytes c12 = frame({{0x8100, 6 << 13 | 12}}), c45 = frame({{0x8100, 6 << 13 | 45}});
    sk_buff *skb = in(a, c12);
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(bytes(skb), frame({{0x88a8, 3 << 13 | 500}, {0x8100, 6 << 13 | 12}}));
    kfree_skb(skb);
    skb = in(a, c45); // the customer's priority is kept
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(bytes(skb), frame({{0x88a8, 6 << 13 | 600}, {0x8100, 6 << 13 | 45}}));
    EXPECT_EQ(out(a, skb), c45);
    skb = in(a, frame({{0x8100, 70}})); // no range: the PVID
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(bytes(skb), frame({{0x88a8, 100}, {0x8100, 70}}));
    kfree_skb(skb);

    EXPECT_EQ(vlan_qinq_del_selective(a, 45), 0);
    EXPECT_EQ(vlan_qinq_del_selective(a, 45), -ENOENT);
    skb = in(a, c45);
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(cb_vid(JXBRIDGE_CB(skb)->outer_tci), 100);
    kfree_skb(skb);
    EXPECT_EQ(vlan_qinq_del_selective(a, 4095), 0);
    EXPECT_EQ(vlan_qinq_get_selective_seq(a, 0, &r), -ENOENT);
}

TEST_F(VlanTest, RemarkRulesTranslateOnIngressAndBackOnEgress) {
    Locked l;
    jxbridge_port *a = add("acc1"), *u = add("eth0", JXBRIDGE_PORT_UPLINK), *b = add("acc2");
    ASSERT_TRUE(a && u && b);
    for (u16 v : {10, 20, 30, 40}) {
        ASSERT_EQ(vlan_add_configured(vd(), v), 0);
        for (jxbridge_port *p : {a, u, b}) {
            ASSERT_EQ(vlan_add_membership(p, v), 0);
            ASSERT_EQ(vlan_set_port_tag(p, v, 1), 0);
        }
    }
    ASSERT_EQ(vlan_add_port_remark(a, 10, 20, VLAN_REMARK_INGRESS), 0);
    EXPECT_EQ(vlan_add_port_remark(a, 10, 30, VLAN_REMARK_INGRESS), -EEXIST);
    EXPECT_EQ(logged("[VLAN] Found overlapping rule: ingress 10 --> 20\n"), 1u);
    ASSERT_EQ(vlan_add_port_remark(a, 10, 20, VLAN_REMARK_EGRESS), 0);
    EXPECT_EQ(vlan_add_port_remark(a, 5, 20, VLAN_REMARK_EGRESS), -EEXIST);
    EXPECT_EQ(vlan_add_port_remark(a, 1, 2, 3), -EINVAL);
    EXPECT_EQ(logged("[VLAN] Invalid direction.\n"), 1u);
    EXPECT_EQ(vlan_add_port_remark(a, 1, 4095, VLAN_REMARK_INGRESS), -EINVAL);
    ASSERT_EQ(vlan_add_port_remark(a, 40, 41, VLAN_REMARK_BOTH), 0);
    EXPECT_EQ(vlan_add_port_remark(a, 41, 7, VLAN_REMARK_INGRESS), -EEXIST);
    EXPECT_EQ(logged("[VLAN] Found overlapping rule: both 40 --> 41\n"), 1u);
    EXPECT_EQ(vlan_add_port_remark(a, 8, 40, VLAN_REMARK_EGRESS), -EEXIST);
    u16 src, dst;
    u32 dir;
    ASSERT_EQ(vlan_remark_get_seq(a, 0, &src, &dst, &dir), 0);
    EXPECT_EQ(src, 40);
    EXPECT_EQ(dir, (u32)VLAN_REMARK_BOTH);
    EXPECT_EQ(vlan_remark_get_seq(a, 3, &src, &dst, &dir), -ENOENT);

    const Bytes c10 = frame({{0x8100, 5 << 13 | 10}}), c20 = frame({{0x8100, 5 << 13 | 20}});
    // Rules wait for the port's remark switch.
    EXPECT_EQ(through(a, c10, u), c10);
    ASSERT_EQ(vlan_set_port_remark(a, 1), 0);
    EXPECT_EQ(vlan_get_port_remark(a), 1);
    sk_buff *skb = in(a, c10);
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(bytes(skb), c20); // priority kept
    EXPECT_EQ(cb_vid(JXBRIDGE_CB(skb)->outer_tci), 20);
    EXPECT_EQ(cb_vid(JXBRIDGE_CB(skb)->rx_outer_tci), 10);
    EXPECT_EQ(out(u, skb), c20); // u does not remark
    EXPECT_EQ(through(u, c20, a), c10);
    EXPECT_EQ(through(a, c10, a), c10); // a round trip

    // A "both" rule works both ways by itself.
    ASSERT_EQ(vlan_add_port_remark(b, 30, 40, VLAN_REMARK_BOTH), 0);
    ASSERT_EQ(vlan_set_port_remark(b, 1), 0);
    EXPECT_EQ(through(b, frame({{0x8100, 30}}), u), frame({{0x8100, 40}}));
    EXPECT_EQ(through(u, frame({{0x8100, 40}}), b), frame({{0x8100, 30}}));

    ASSERT_EQ(vlan_del_port_remark(a, 10, VLAN_REMARK_INGRESS), 0);
    EXPECT_EQ(through(a, c10, u), c10);
    EXPECT_EQ(through(u, c20, a), c10); // the egress rule stays
    ASSERT_EQ(vlan_del_port_remark(a, 4095, 0), 0);
    EXPECT_EQ(vlan_remark_get_seq(a, 0, &src, &dst, &dir), -ENOENT);
    EXPECT_EQ(through(u, c20, a), c20);
}

TEST_F(VlanTest, MvrRulesPreferSpecificRangesOverCatchAlls) {
    Locked l;
    jxbridge_port *a = add("acc1"), *b = add("acc2");
    ASSERT_TRUE(a && b);
    auto v4 = [](u16 c, u16 m, u32 first, u32 last) {
        vlan_mvr_rule r = {};
        r.cvlan = c, r.mvlan = m, r.family = 2, r.v4.first = first, r.v4.last = last;
        return r;
    };
    const vlan_mvr_rule all = v4(100, 50, 0, 0xFFFFFFFF);
    const vlan_mvr_rule narrow = v4(200, 50, 0xEF010100, 0xEF0101FF);
    ASSERT_EQ(vlan_add_port_mvr_remark(vd(), a, &all), 0);
    ASSERT_EQ(vlan_add_port_mvr_remark(vd(), a, &narrow), 0);
    ASSERT_EQ(vlan_add_port_mvr_remark(vd(), b, &narrow), 0);
    ASSERT_EQ(vlan_add_port_mvr_remark(vd(), b, &all), 0);
    vlan_mvr_rule bad = narrow;
    bad.cvlan = 4095;
    EXPECT_EQ(vlan_add_port_mvr_remark(vd(), a, &bad), -EINVAL);
    vlan_mvr_rule v6 = {};
    v6.cvlan = 300, v6.mvlan = 60, v6.family = 10;
    v6.v6.first[0] = v6.v6.last[0] = 0xff;
    v6.v6.first[1] = v6.v6.last[1] = 0x0e;
    v6.v6.first[15] = 0x01;
    v6.v6.last[15] = 0xff;
    ASSERT_EQ(vlan_add_port_mvr_remark(vd(), a, &v6), 0);
    ASSERT_EQ(jxbridge_set_port_mvr(a, 1), 0);
    ASSERT_EQ(jxbridge_set_port_mvr(b, 1), 0);

    auto mcast = [&](jxbridge_port *p, u16 vid, const Bytes &l3, u16 type = ETH_P_IP,
                     size_t cut = 0) {
        Bytes f = frame({{0x8100, vid}}, type, l3);
        f.resize(f.size() - cut);
        sk_buff *skb = vlan_skb_cb_initial_parse_vlans(vd(), mk(f));
        skb = vlan_process_egress_mcast_rules(vd(), p, skb);
        u16 out = cb_vid(JXBRIDGE_CB(skb)->outer_tci);
        EXPECT_EQ(out, ((skb->data[14] & 0xF) << 8) | skb->data[15]); // bytes agree
        kfree_skb(skb);
        return out;
    };
    const Bytes narrow_group = ipv4_to(239, 1, 1, 5), other_group = ipv4_to(239, 2, 2, 2);
    for (jxbridge_port *p : {a, b}) {
        EXPECT_EQ(mcast(p, 50, narrow_group), 200) << p->dev->name;
        EXPECT_EQ(mcast(p, 50, other_group), 100) << p->dev->name;
        EXPECT_EQ(mcast(p, 51, narrow_group), 51) << p->dev->name;
    }
    EXPECT_EQ(mcast(a, 60, ipv6_to(0xff0e, 0x0005), ETH_P_IPV6), 300);
    EXPECT_EQ(mcast(a, 60, ipv6_to(0xff0f, 0x0005), ETH_P_IPV6), 60);
    EXPECT_EQ(mcast(a, 50, ipv6_to(0xff0e, 0x0005), ETH_P_IPV6), 50); // family differs
    // An IPv4 header cut before its destination address matches nothing.
    EXPECT_EQ(mcast(a, 50, ipv4_to(239, 1, 1, 5), ETH_P_IP, 14), 50);

    vlan_mvr_rule got = {};
    ASSERT_EQ(vlan_mvr_remark_get_seq(a, 0, &got), 0);
    EXPECT_EQ(memcmp(&got, &v6, sizeof(got)), 0);
    EXPECT_EQ(vlan_mvr_remark_get_seq(a, 3, &got), -ENOENT);
    ASSERT_EQ(vlan_del_port_mvr_remark(vd(), a, &narrow), 0);
    EXPECT_EQ(mcast(a, 50, narrow_group), 100);

    // A translation decided upstream wins; without MVR on the port nothing changes.
    sk_buff *skb = vlan_skb_cb_initial_parse_vlans(vd(), mk(frame({{0x8100, 50}})));
    JXBRIDGE_CB(skb)->flag_byte |= JXBRIDGE_CB_B_MVR;
    JXBRIDGE_CB(skb)->mvr_vid = 77;
    skb = vlan_process_egress_mcast_rules(vd(), b, skb);
    EXPECT_EQ(bytes(skb), frame({{0x8100, 77}}));
    kfree_skb(skb);
    ASSERT_EQ(jxbridge_set_port_mvr(a, 0), 0);
    EXPECT_EQ(mcast(a, 50, other_group), 50);
    EXPECT_EQ(events_of(1, a, 0), 4u); // three adds and one delete
}

TEST_F(VlanTest, RuntFramesAreDroppedWithoutReadingPastTheirEnd) {
    Locked l;
    jxbridge_port *a = add("acc1");
    ASSERT_TRUE(a);
    // Each frame is cut from a longer one, so a tag lies in the buffer past its end.
    auto cut = [&](const Bytes &f, size_t len) {
        sk_buff *skb = mk(f, a);
        skb_trim(skb, (unsigned)len);
        return skb;
    };
    const Bytes one = frame({{0x8100, 1}}), dbl = frame({{0x8100, 1}, {0x8100, 1}});
    const std::vector<std::pair<const Bytes *, size_t>> runts = {
        {&one, 10}, {&one, 13}, {&one, 16}, {&one, 17}, {&dbl, 18}, {&dbl, 20}, {&dbl, 21}};
    for (auto [f, len] : runts) {
        EXPECT_EQ(vlan_process_ingress_rules(vd(), a, cut(*f, len)), nullptr) << len;
        sk_buff *skb = vlan_skb_cb_initial_parse_vlans(vd(), cut(*f, len));
        EXPECT_EQ(cb_vid(JXBRIDGE_CB(skb)->outer_tci), 0xFFF) << len;
        EXPECT_EQ(skb->len, len);
        __be16 o = 1;
        EXPECT_EQ(vlan_get_skb_ethertypes_nf(vd(), skb, &o, nullptr), 0) << len;
        EXPECT_EQ(o, 0);
        kfree_skb(skb);
    }
    EXPECT_EQ(a->counters.rx_undersize, 7u);
    vlan_stat rx;
    vlan_get_stat(vd(), &rx, nullptr);
    EXPECT_EQ(rx.dropped, 7u);
    EXPECT_EQ(rx.untagged + rx.tagged, 0u);

    // The shortest frames of each kind pass.
    sk_buff *skb = vlan_process_ingress_rules(vd(), a, cut(frame({}), 14));
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(skb->len, 18u);
    kfree_skb(skb);
    skb = vlan_process_ingress_rules(vd(), a, cut(one, 18));
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(skb->len, 18u);
    kfree_skb(skb);
    skb = vlan_process_ingress_rules(vd(), a, cut(dbl, 22));
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(cb_vid(JXBRIDGE_CB(skb)->inner_tci), 1);
    EXPECT_EQ(skb_network_header(skb) - skb->data, 22);
    kfree_skb(skb);

    // Tag primitives refuse frames too short to hold what they move.
    EXPECT_EQ(vlan_add_tag(cut(frame({}), 8), 0x8100, 5), nullptr);
    skb = cut(frame({{0x8100, 1}}), 15);
    JXBRIDGE_CB(skb)->outer_tci = htons(1);
    EXPECT_EQ(vlan_remove_outer_tag(skb), nullptr);
}

TEST_F(VlanTest, MembershipListsStayDenseAndFollowVlansAndPorts) {
    Locked l;
    jxbridge_port *a = add("acc1"), *b = add("acc2"), *c = add("acc3");
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(vlan_add_configured(vd(), 4095), -EINVAL);
    ASSERT_EQ(vlan_add_configured(vd(), 10), 0);
    ASSERT_EQ(vlan_add_configured(vd(), 10), 0);
    EXPECT_EQ(vd()->configured_count, 2u);
    EXPECT_EQ(vlan_is_configured(vd(), 10), 0);
    EXPECT_EQ(vlan_is_configured(vd(), 11), -ENOENT);

    // Repeated adds list a port once: one flood copy each.
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(vlan_add_membership(a, 10), 0);
    EXPECT_EQ(members(10), (std::vector<jxbridge_port *>{a}));
    ASSERT_EQ(vlan_add_membership(b, 10), 0);
    ASSERT_EQ(vlan_add_membership(c, 10), 0);
    ASSERT_EQ(vlan_add_membership(a, 10), 0);
    EXPECT_EQ(members(10), (std::vector<jxbridge_port *>{a, b, c}));
    EXPECT_EQ(vlan_add_membership(a, 4095), -EINVAL);
    EXPECT_EQ(vlan_add_membership(a, 0), -EINVAL);
    EXPECT_EQ(logged("[VLAN] Incorrect input parameters.\n"), 2u);
    EXPECT_EQ(vlan_add_membership(a, 11), -EPERM);
    EXPECT_TRUE(members(4095).empty());
    EXPECT_TRUE(members(60000).empty());

    // The flooding list follows the frame's VID; untagged frames have none.
    sk_buff *skb = vlan_skb_cb_initial_parse_vlans(vd(), mk(frame({{0x8100, 10}})));
    EXPECT_EQ(vlan_get_ports_skb(vd(), skb)[3], nullptr);
    EXPECT_EQ(vlan_get_ports_skb(vd(), skb)[0], a);
    kfree_skb(skb);
    skb = vlan_skb_cb_initial_parse_vlans(vd(), mk(frame({})));
    EXPECT_EQ(vlan_get_ports_skb(vd(), skb)[0], nullptr);
    kfree_skb(skb);

    // Re-adding makes a tagged member untagged again.
    ASSERT_EQ(vlan_set_port_tag(b, 10, 1), 0);
    u32 mem[2] = {}, tag[2] = {};
    ASSERT_EQ(vlan_get_membership_tagging_all(vd(), 10, mem, tag, sizeof(mem)), 0);
    EXPECT_EQ(mem[0], 0x7u);
    EXPECT_EQ(tag[0], 0x2u);
    EXPECT_EQ(vlan_get_membership_tagging_all(vd(), 10, mem, tag, 0), -ENOMEM);
    ASSERT_EQ(vlan_add_membership(b, 10), 0);
    EXPECT_EQ(vlan_get_port_tag(b, 10), 0);
    EXPECT_EQ(vlan_set_port_tag(a, 20, 1), -EACCES);
    EXPECT_EQ(logged("[VLAN] This VID is not established on this port.\n"), 1u);

    const size_t added = events_of(1, a, 10);
    ASSERT_EQ(vlan_del_membership(a, 10), 0);
    ASSERT_EQ(vlan_del_membership(a, 10), 0);
    EXPECT_EQ(members(10), (std::vector<jxbridge_port *>{c, b}));
    EXPECT_EQ(events_of(1, a, 10), added + 1); // once: the second removal changed nothing
    EXPECT_EQ(vlan_get_membership(a, 10), 0);

    // Names.
    char name[VLAN_NAME_SIZE] = "x";
    ASSERT_EQ(vlan_name_set(vd(), 10, "voice"), 0);
    ASSERT_EQ(vlan_get_is_configured(vd(), 10, name, sizeof(name)), 0);
    EXPECT_STREQ(name, "voice");
    EXPECT_EQ(vlan_name_set(vd(), 10, "0123456789012345678901234567890123"), -ERANGE);
    EXPECT_EQ(vlan_name_set(vd(), 11, "data"), -ENOENT);
    EXPECT_EQ(vlan_name_set(vd(), 4095, "data"), -EINVAL);
    ASSERT_EQ(vlan_name_set(vd(), 10, ""), 0);
    ASSERT_EQ(vlan_get_is_configured(vd(), 10, name, sizeof(name)), 0);
    EXPECT_STREQ(name, "");

    // Deleting a VLAN takes it from PVIDs, members, remark and Q-in-Q rules.
    ASSERT_EQ(vlan_name_set(vd(), 10, "voice"), 0);
    ASSERT_EQ(vlan_set_pvid(b, 10), 0);
    ASSERT_EQ(vlan_set_port_priority(b, 4), 0);
    ASSERT_EQ(vlan_add_port_remark(b, 10, 1, VLAN_REMARK_INGRESS), 0);
    ASSERT_EQ(vlan_qinq_set_selective(b, 5, 15, 1, 0), 0);
    ASSERT_EQ(vlan_del_configured(vd(), 10), 0);
    EXPECT_EQ(vlan_del_configured(vd(), 10), 0);
    EXPECT_EQ(vlan_get_pvid(b), 1);
    EXPECT_EQ(vlan_get_port_priority(b), 4);
    EXPECT_EQ(vlan_get_membership(b, 10), 0);
    EXPECT_TRUE(members(10).empty());
    EXPECT_EQ(vlan_remark_get_seq(b, 0, nullptr, nullptr, nullptr), -ENOENT);
    vlan_qinq_range r;
    EXPECT_EQ(vlan_qinq_get_selective_seq(b, 0, &r), -ENOENT);
    EXPECT_EQ(vlan_get_is_configured(vd(), 10, name, sizeof(name)), -ENOENT);
    ASSERT_EQ(vlan_add_configured(vd(), 10), 0);
    ASSERT_EQ(vlan_get_is_configured(vd(), 10, name, sizeof(name)), 0);
    EXPECT_STREQ(name, ""); // the old name went with the VLAN
    EXPECT_EQ(vlan_set_pvid(b, 11), -EPERM);
    EXPECT_EQ(vlan_set_pvid(b, 4095), -EINVAL);

    // A deleted port leaves every list; a new port in its slot starts afresh.
    ASSERT_EQ(vlan_add_membership(c, 10), 0);
    ASSERT_EQ(vlan_qinq_set_port_mode(c, VLAN_QINQ_TUNNEL), 0);
    ASSERT_EQ(vlan_set_acceptable_frame(c, VLAN_ACCEPT_TAGGED), 0);
    ASSERT_EQ(vlan_add_port_remark(c, 3, 4, VLAN_REMARK_EGRESS), 0);
    const u32 slot = c->port_no;
    ASSERT_EQ(jxbridge_del_port(c), 0);
    EXPECT_EQ(members(10), (std::vector<jxbridge_port *>{}));
    EXPECT_EQ(members(1), (std::vector<jxbridge_port *>{a, b}));
    jxbridge_port *d = add("acc4");
    ASSERT_TRUE(d);
    ASSERT_EQ(d->port_no, slot);
    EXPECT_EQ(vlan_get_membership(d, 10), 0);
    EXPECT_EQ(vlan_get_membership(d, 1), 1);
    EXPECT_EQ(vlan_get_acceptable_frame(d), VLAN_ACCEPT_ALL);
    EXPECT_EQ(vlan_remark_get_seq(d, 0, nullptr, nullptr, nullptr), -ENOENT);

    // Removing all of a port's memberships is one event for the port. The
    // deleted port's own event may carry the same address as d.
    ASSERT_EQ(vlan_add_membership(d, 10), 0);
    const size_t before = events_of(1, d, 4095);
    ASSERT_EQ(vlan_del_port_membership(d), 0);
    EXPECT_EQ(vlan_get_membership(d, 1), 0);
    EXPECT_EQ(members(1), (std::vector<jxbridge_port *>{a, b}));
    EXPECT_EQ(events_of(1, d, 4095), before + 1);

    // Clearing returns every port to the state of a new bridge, MVR rules kept.
    vlan_mvr_rule mvr = {};
    mvr.cvlan = 10, mvr.mvlan = 50, mvr.family = 2, mvr.v4.last = 0xFFFFFFFF;
    ASSERT_EQ(vlan_add_port_mvr_remark(vd(), a, &mvr), 0);
    ASSERT_EQ(vlan_set_pvid(a, 10), 0);
    ASSERT_EQ(vlan_qinq_set_stacking(a, 10, 2), 0);
    vlan_clear(vd());
    EXPECT_EQ(vd()->configured_count, 1u);
    EXPECT_EQ(vlan_is_configured(vd(), 10), -ENOENT);
    for (jxbridge_port *p : {a, b, d}) {
        EXPECT_EQ(vlan_get_pvid(p), 1);
        EXPECT_EQ(vlan_get_membership(p, 1), 1);
        EXPECT_EQ(vlan_get_membership(p, 10), 0);
    }
    EXPECT_EQ(members(1).size(), 3u);
    u16 svid;
    ASSERT_EQ(vlan_qinq_get_stacking(a, &svid, nullptr), 0);
    EXPECT_EQ(svid, 4095);
    EXPECT_EQ(vlan_mvr_remark_get_seq(a, 0, &mvr), 0);
}

TEST_F(VlanTest, ConfigurationChangesReachTheFlowManager) {
    Locked l;
    jxbridge_port *a = add("acc1");
    ASSERT_TRUE(a);
    ASSERT_EQ(vlan_add_configured(vd(), 10), 0);
    const size_t before = events(1);
    ASSERT_EQ(vlan_add_membership(a, 10), 0);
    EXPECT_EQ(events_of(1, a, 10), 1u);
    ASSERT_EQ(vlan_set_pvid(a, 10), 0);
    EXPECT_EQ(events_of(1, a, 10), 2u);
    ASSERT_EQ(vlan_set_port_tag(a, 10, 1), 0);
    ASSERT_EQ(vlan_set_acceptable_frame(a, VLAN_ACCEPT_TAGGED), 0);
    ASSERT_EQ(vlan_qinq_set_port_mode(a, VLAN_QINQ_TUNNEL), 0);
    ASSERT_EQ(vlan_set_port_remark(a, 1), 0);
    EXPECT_EQ(events(1), before + 6);
    // MPMM entries change what the port sends in the entry's VLAN.
    vlan_mpmm_entry e = {7, {0x01, 0x00, 0x5e}, {0xff, 0xff, 0x80}, 1055, 55, 0};
    ASSERT_EQ(vlan_mpmm_add(a, &e), 0);
    ASSERT_EQ(vlan_mpmm_del(a, 7), 0);
    EXPECT_EQ(events_of(1, a, 1055), 2u);
    ASSERT_EQ(vlan_set_ethertype(br, 0x88a8), 0);
    ASSERT_EQ(vlan_set_ethertype(br, 0x88a8), 0);
    EXPECT_EQ(events_of(1, nullptr, 0), 1u);
    EXPECT_EQ(vlan_get_ethertype(br), 0x88a8);

    const size_t mc = events(2);
    vlan_mcast_mode_set(vd(), 10, VLAN_MCAST_FORWARD);
    vlan_mcast_mode_set(vd(), 10, VLAN_MCAST_FORWARD);
    vlan_mcast_mode_set(vd(), 4095, VLAN_MCAST_FLOOD);
    EXPECT_EQ(events(2), mc + 1);
    u32 mode = 9;
    ASSERT_EQ(vlan_mcast_mode_get(vd(), 10, &mode), 0);
    EXPECT_EQ(mode, (u32)VLAN_MCAST_FORWARD);
    EXPECT_EQ(vlan_mcast_mode_get(vd(), 4095, &mode), -EINVAL);

    // The IGMP module finds the exported functions by name.
    for (const char *sym :
         {"vlan_mcast_mode_set", "vlan_mcast_mode_get", "vlan_add_port_mvr_remark",
          "vlan_del_port_mvr_remark", "vlan_get_skb_ethertypes_nf"})
        EXPECT_NE(__symbol_get(sym), nullptr) << sym;
}

TEST_F(VlanTest, TagPrimitivesCopySharedFramesAndGrowHeadroom) {
    Locked l;
    const Bytes plain = frame({}), c5 = frame({{0x8100, 1 << 13 | 5}});
    // No headroom at all: the frame is reallocated.
    sk_buff *skb = vlan_skb_cb_initial_parse_vlans(vd(), mk(plain, nullptr, 0));
    ASSERT_EQ(skb_headroom(skb), 0u);
    skb = vlan_add_tag(skb, 0x8100, 1 << 13 | 5);
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(bytes(skb), c5);
    EXPECT_EQ(JXBRIDGE_CB(skb)->outer_tci, htons(1 << 13 | 5));
    EXPECT_EQ(skb_network_header(skb) - skb->data, 18);

    // A second tag; the old outer one becomes the inner one.
    skb = vlan_add_tag(skb, 0x88a8, 300);
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(bytes(skb), frame({{0x88a8, 300}, {0x8100, 1 << 13 | 5}}));
    EXPECT_EQ(cb_vid(JXBRIDGE_CB(skb)->inner_tci), 5);

    // Changing a clone leaves the other holder's bytes alone.
    sk_buff *clone = skb_clone(skb, GFP_ATOMIC);
    clone = vlan_remove_inner_tag(clone);
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(bytes(clone), frame({{0x88a8, 300}}));
    EXPECT_EQ(cb_vid(JXBRIDGE_CB(clone)->inner_tci), 0xFFF);
    EXPECT_EQ(vlan_remove_inner_tag(clone), clone); // nothing left to remove
    kfree_skb(clone);
    clone = vlan_set_tag(skb_clone(skb, GFP_ATOMIC), 400);
    EXPECT_EQ(bytes(clone), frame({{0x88a8, 400}, {0x8100, 1 << 13 | 5}}));
    kfree_skb(clone);
    EXPECT_EQ(bytes(skb), frame({{0x88a8, 300}, {0x8100, 1 << 13 | 5}}));

    skb = vlan_remove_outer_tag(skb);
    EXPECT_EQ(bytes(skb), c5);
    EXPECT_EQ(JXBRIDGE_CB(skb)->outer_tci, htons(1 << 13 | 5));
    EXPECT_EQ(vlan_set_tag(skb, 4095), skb); // never to "no VLAN"
    skb = vlan_remove_outer_tag(skb);
    EXPECT_EQ(bytes(skb), plain);
    EXPECT_EQ(cb_vid(JXBRIDGE_CB(skb)->outer_tci), 0xFFF);
    EXPECT_EQ(ntohs(JXBRIDGE_CB(skb)->outer_tci) >> 13, 1); // the priority stays
    EXPECT_EQ(vlan_set_tag(skb, 7), skb);                   // untagged: nothing to remark
    EXPECT_EQ(bytes(skb), plain);
    kfree_skb(skb);

    // With the debug switch the frame's way through the rules is traced.
    jxbridge_port *a = add("acc1");
    ASSERT_TRUE(a);
    vlan_set_debug(vd(), 1);
    jxbridge_tracer_printk_set(1); // the trace channel copied to the kernel log
    EXPECT_EQ(through(a, plain, a), plain);
    EXPECT_EQ(logged("[VLAN]       VLAN tags: 0.\n"), 1u);
    EXPECT_EQ(logged("[VLAN]       Add PVID 1 (0x0001).\n"), 1u);
    EXPECT_EQ(logged("[VLAN]       Remove outer tag.\n"), 1u);
    EXPECT_EQ(in(a, frame({{0x8100, 9}})), nullptr);
    EXPECT_EQ(logged("[VLAN]       VID 9 (0x0009) blocked by filter.\n"), 1u);
}

} // namespace
