// IGMP snooping driven as an agent and hosts drive it: the module configured
// through its control file's ioctls, reports and queries sent from wire
// ports, multicast traffic checked on the ports it reaches.
#include "wire_bridge.h"

#include "linecard/hostlink.h"
#include "sources/jxigmp/jxigmp_ioctl.h"
#include "sources/jxmng/jxmng.h"

#include <initializer_list>
#include <variant>

namespace jxtest {
namespace {

const char *CFG = JXIGMP_PROC_CONFIG;
const u32 G1 = 0xEF010101; // 239.1.1.1
const u32 G2 = 0xEF010102;

u16 sum16(const u8 *p, size_t n) {
    u32 s = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        s += (u32)(p[i] << 8 | p[i + 1]);
    while (s >> 16)
        s = (s & 0xffff) + (s >> 16);
    return (u16)~s;
}

// An IPv4 frame to dst (a group's MAC) carrying payload with protocol proto.
frame ipv4(u32 src, u32 dst, u8 proto, const frame &payload, u8 src_mac = 0x10) {
    frame f = {0x01, 0x00, 0x5e, (u8)((dst >> 16) & 0x7f), (u8)(dst >> 8), (u8)dst};
    frame s = mac(src_mac);
    f.insert(f.end(), s.begin(), s.end());
    f.push_back(0x08);
    f.push_back(0x00);
    size_t ip = f.size();
    u8 h[24] = {0x46, 0xC0, 0, 0, 0, 0, 0x40, 0, 1, proto};
    u16 tot = (u16)(24 + payload.size());
    h[2] = (u8)(tot >> 8);
    h[3] = (u8)tot;
    for (int i = 0; i < 4; i++) {
        h[12 + i] = (u8)(src >> (24 - 8 * i));
        h[16 + i] = (u8)(dst >> (24 - 8 * i));
    }
    h[20] = 0x94;
    h[21] = 0x04;
    u16 c = sum16(h, 24);
    h[10] = (u8)(c >> 8);
    h[11] = (u8)c;
    f.insert(f.end(), h, h + 24);
    f.insert(f.end(), payload.begin(), payload.end());
    (void)ip;
    return f;
}

void put32(frame &f, size_t at, u32 v) {
    for (int i = 0; i < 4; i++)
        f[at + i] = (u8)(v >> (24 - 8 * i));
}

frame igmp_msg(frame m) {
    u16 c = sum16(m.data(), m.size());
    m[2] = (u8)(c >> 8);
    m[3] = (u8)c;
    return m;
}

frame v2(u8 type, u32 group, u8 code = 0) {
    frame m = {type, code, 0, 0, 0, 0, 0, 0};
    put32(m, 4, group);
    return igmp_msg(m);
}

// An IGMPv3 report of records {type, group, sources...}; nrec overrides the count.
frame v3(std::initializer_list<std::vector<u32>> recs, int nrec = -1) {
    frame m = {0x22, 0, 0, 0, 0, 0, 0, 0};
    m[7] = (u8)(nrec >= 0 ? nrec : (int)recs.size());
    for (auto &r : recs) {
        size_t at = m.size();
        m.resize(at + 8 + 4 * (r.size() - 2), 0);
        m[at] = (u8)r[0];
        m[at + 3] = (u8)(r.size() - 2);
        put32(m, at + 4, r[1]);
        for (size_t i = 2; i < r.size(); i++)
            put32(m, at + 8 + 4 * (i - 2), r[i]);
    }
    return igmp_msg(m);
}

frame udp_to(u32 group, u32 src = 0x0A000001) {
    frame payload(8 + 32, 0x5a);
    return ipv4(src, group, 17, payload, 0x01);
}

// IGMP type of a transmitted frame (untagged IPv4 with a 24-byte header), or 0.
u8 igmp_type(const frame &f) {
    return f.size() > 14 + 24 && f[12] == 0x08 && f[23] == 2 ? f[14 + 24] : 0;
}
size_t count_type(const std::vector<frame> &fs, u8 type) {
    size_t n = 0;
    for (auto &f : fs)
        n += igmp_type(f) == type;
    return n;
}

using arg = std::variant<u32, const char *>;

class IgmpTest : public WireBridgeTest {
  protected:
    jxbridge_port *up = nullptr, *s1 = nullptr, *s2 = nullptr;
    u32 out[8] = {};

    void SetUp() override {
        ASSERT_EQ(linecard_hostlink_start(LINECARD_HOSTLINK_RECORD), 0);
        WireBridgeTest::SetUp();
        ASSERT_EQ(rte_module_load("jxmng_mod"), 0);
        ASSERT_EQ(rte_module_load("jxigmp_mod"), 0);
        up = port("up1", JXBRIDGE_PORT_UPLINK, 1);
        s1 = port("sub1", JXBRIDGE_PORT_ACCESS, 2);
        s2 = port("sub2", JXBRIDGE_PORT_ACCESS, 3);
        const char *V = "/proc/net/jxbridge/br0/vlan";
        ASSERT_GT(proc_write(V, "vlan add 10"), 0);
        for (const char *p : {"up1", "sub1", "sub2"}) {
            ASSERT_GT(proc_write(V, std::string("membership add ") + p + " 10"), 0);
            ASSERT_GT(proc_write(V, std::string("pvid set ") + p + " 10"), 0);
        }
        ASSERT_EQ(mng_dev_add("mng0"), 0);
        ASSERT_EQ(call(JXIGMP_INIT, {}), 0);
        ASSERT_EQ(call(JXIGMP_BRIDGE_ADD, {"br0", 3u}), 0);
        ASSERT_EQ(call(JXIGMP_PORT_ADD, {"br0", "up1", 1u}), 0);
        ASSERT_EQ(call(JXIGMP_PORT_ADD, {"br0", "sub1", 2u}), 0);
        ASSERT_EQ(call(JXIGMP_PORT_ADD, {"br0", "sub2", 3u}), 0);
        ASSERT_EQ(call(JXIGMP_PORT_MROUTER_SET, {"br0", 1u, 1u}), 0);
        ASSERT_EQ(call(JXIGMP_VLAN_ADD, {"br0", 10u, 0u}), 0);
        ASSERT_EQ(call(JXIGMP_BRIDGE_MODE_SET, {"br0", 2u}), 0);
    }
    void TearDown() override {
        WireBridgeTest::TearDown();
        linecard_hostlink_stop();
    }
    // One command; out[i] receives the integer outputs ("o" arguments are passed as 0u).
    long call(u32 nr, std::vector<arg> args, int n = -1, std::vector<u32> sizes = {}) {
        jxigmp_ioctl_args a = {};
        a.n = (u8)(n >= 0 ? n : (int)args.size());
        for (size_t i = 0; i < args.size(); i++) {
            if (auto *t = std::get_if<const char *>(&args[i])) {
                a.addr[i] = (uintptr_t)*t;
                a.size[i] = 0;
            } else {
                out[i] = std::get<u32>(args[i]);
                a.addr[i] = (uintptr_t)&out[i];
                a.size[i] = 4;
                a.dir[i] = JXIGMP_ARG_INOUT;
            }
            if (i < sizes.size())
                a.size[i] = sizes[i];
        }
        return proc_ioctl(CFG, JXIGMP_IOCTL(nr), (unsigned long)&a);
    }
    void report(jxbridge_port *p, u32 client, const frame &msg, u32 dst) {
        rx(p, ipv4(client, dst, 2, msg, (u8)client));
    }
    void join(jxbridge_port *p, u32 client, u32 group) {
        report(p, client, v2(0x16, group), group);
    }
    void leave(jxbridge_port *p, u32 client, u32 group) {
        report(p, client, v2(0x17, group), 0xE0000002);
    }
    // Which of the subscribers a stream to the group reaches.
    std::pair<size_t, size_t> stream(u32 group, u32 src = 0x0A000001) {
        drain();
        rx(up, udp_to(group, src));
        return {tx(s1).size(), tx(s2).size()};
    }
};

TEST_F(IgmpTest, JoinProgramsTheGroupAndLeaveEndsIt) {
    EXPECT_EQ(stream(G1), std::make_pair(size_t(0), size_t(0)));
    join(s1, 0x0A000002, G1);
    // The report goes to the router port only.
    EXPECT_EQ(count_type(tx(up), 0x16), 1u);
    EXPECT_TRUE(tx(s2).empty());
    EXPECT_EQ(stream(G1), std::make_pair(size_t(1), size_t(0)));
    EXPECT_EQ(stream(G2), std::make_pair(size_t(0), size_t(0)));

    // Two clients of one port: the group stays while one remains.
    join(s1, 0x0A000003, G1);
    leave(s1, 0x0A000002, G1);
    EXPECT_EQ(stream(G1), std::make_pair(size_t(1), size_t(0)));
    leave(s1, 0x0A000003, G1);
    EXPECT_EQ(stream(G1), std::make_pair(size_t(0), size_t(0)));
    // A frame longer than the working copy holds is not taken in.
    frame big = ipv4(0x0A000002, G2, 2, v2(0x16, G2), 0x02);
    big.resize(1600, 0);
    rx(s1, big);
    EXPECT_EQ(stream(G2), std::make_pair(size_t(0), size_t(0)));
    EXPECT_EQ(call(JXIGMP_STATS_GET, {"br0", 0u, 0u, 0u}), 0);
    EXPECT_EQ(out[1], 0u);
    EXPECT_EQ(out[3], 0u);

    // A flush takes every membership and entry; memberships left go with the module.
    join(s1, 0x0A000002, G1);
    join(s1, 0x0A000003, G2);
    join(s2, 0x0A000004, G2);
    ASSERT_EQ(call(JXIGMP_BRIDGE_FLUSH, {"br0"}), 0);
    EXPECT_EQ(stream(G2), std::make_pair(size_t(0), size_t(0)));
    join(s1, 0x0A000002, G1);
    join(s1, 0x0A000003, G1);

    // A bridge name too long, a port count the bridge cannot have.
    EXPECT_EQ(call(JXIGMP_BRIDGE_ADD, {"br012345678", 3u}), -EINVAL);
    EXPECT_EQ(call(JXIGMP_BRIDGE_ADD, {"br0", 3u}), -ENODEV);
    EXPECT_EQ(call(JXIGMP_PORT_ADD, {"br0", "sub9", 4u}), -ERANGE);
}

TEST_F(IgmpTest, LeaveWithLastMemberQueryAndGroupTimeout) {
    ASSERT_EQ(call(JXIGMP_IMMEDIATE_LEAVE_SET, {"br0", 0u}), 0);
    ASSERT_EQ(call(JXIGMP_GENERAL_TIMEOUT_SET, {"br0", 300u}), 0);
    ASSERT_EQ(call(JXIGMP_SQ_PERIOD_SET, {"br0", 250u}), 0);
    ASSERT_EQ(call(JXIGMP_SQ_STATE_SET, {"br0", 1u, 0u}), 0);
    join(s1, 0x0A000002, G1);
    join(s2, 0x0A000004, G2);
    drain();
    leave(s1, 0x0A000002, G1);
    // The querier asks the port itself whether anyone still wants the group.
    auto q = tx(s1);
    ASSERT_EQ(count_type(q, 0x11), 1u);
    EXPECT_EQ(q[0][14 + 24 + 1], 10); // 1.0 s
    EXPECT_TRUE(tx(up).empty());
    EXPECT_EQ(stream(G1), std::make_pair(size_t(1), size_t(0)));
    rte_clock_advance(3 * HZ);
    rte_settle();
    EXPECT_EQ(stream(G1), std::make_pair(size_t(0), size_t(0)));
    EXPECT_EQ(stream(G2), std::make_pair(size_t(0), size_t(1)));
    // Without another report G2 ages out after the membership interval.
    rte_clock_advance(31 * HZ);
    rte_settle();
    EXPECT_EQ(stream(G2), std::make_pair(size_t(0), size_t(0)));
}

TEST_F(IgmpTest, V3RecordsAreBoundedAndFiltered) {
    ASSERT_EQ(call(JXIGMP_VERSION_FILTER_SET, {"br0", 3u, 1u}), 0);
    const u32 V3DST = 0xE0000016;
    report(s1, 0x0A000002, v3({{4, G1}}), V3DST);
    EXPECT_EQ(count_type(tx(up), 0x22), 1u);
    EXPECT_EQ(stream(G1), std::make_pair(size_t(1), size_t(0)));
    // TO_IN without sources is a leave.
    report(s1, 0x0A000002, v3({{3, G1}}), V3DST);
    EXPECT_EQ(stream(G1), std::make_pair(size_t(0), size_t(0)));

    // A count beyond the records present: the present one applies, nothing else is read.
    drain();
    report(s2, 0x0A000004, v3({{4, G2}}, 200), V3DST);
    EXPECT_EQ(stream(G2), std::make_pair(size_t(0), size_t(1)));
    EXPECT_EQ(call(JXIGMP_PORT_STATS_GET, {"br0", 3u, "stats"}, -1, {4, 4, 0}), -EINVAL);
    jxigmp_stats st = {};
    jxigmp_ioctl_args a = {};
    a.n = 3;
    a.addr[0] = (uintptr_t) "br0";
    a.addr[1] = (uintptr_t)&out[1];
    out[1] = 3;
    a.size[1] = 4;
    a.addr[2] = (uintptr_t)&st;
    a.size[2] = sizeof(st);
    a.dir[2] = JXIGMP_ARG_OUT;
    ASSERT_EQ(proc_ioctl(CFG, JXIGMP_IOCTL(JXIGMP_PORT_STATS_GET), (unsigned long)&a), 0);
    EXPECT_EQ(st.err_drop, 1u);
    EXPECT_EQ(st.rx[4], 1u);

    // A record whose sources run past the message is not applied.
    frame bad = v3({{4, G1, 1, 2}});
    bad[8 + 3] = 60;
    report(s1, 0x0A000002, igmp_msg(bad), V3DST);
    EXPECT_EQ(stream(G1), std::make_pair(size_t(0), size_t(0)));

    // Not to 224.0.0.22: dropped; the only record blocked by an ACL: nothing left.
    drain();
    report(s1, 0x0A000002, v3({{4, G1}}), 0xE0000001);
    ASSERT_EQ(call(JXIGMP_ACL_ADD, {"br0", "deny1"}), 0);
    ASSERT_EQ(call(JXIGMP_ACL_RANGE_ADD, {"br0", "deny1", 10u, G1, G1}), 0);
    ASSERT_EQ(call(JXIGMP_ACL_ATTACH, {"br0", 2u, "deny1", 1u}), 0);
    report(s1, 0x0A000002, v3({{4, G1}}), V3DST);
    EXPECT_TRUE(tx(up).empty());
    EXPECT_EQ(stream(G1), std::make_pair(size_t(0), size_t(0)));
    // With the default filter again, IGMPv3 is not processed at all.
    ASSERT_EQ(call(JXIGMP_VERSION_FILTER_SET, {"br0", 3u, 0u}), 0);
    report(s2, 0x0A000004, v3({{4, G1}}), V3DST);
    EXPECT_EQ(stream(G1), std::make_pair(size_t(0), size_t(0)));
}

TEST_F(IgmpTest, QuerierAndQueryRewrite) {
    // A router's IGMPv2 query of 10.0 s reaches the subscribers as 9.8 s.
    rx(up, ipv4(0x0A0000FE, 0xE0000001, 2, v2(0x11, 0, 100), 0x01));
    auto q = tx(s1);
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0][14 + 24 + 1], 98);
    EXPECT_EQ(sum16(q[0].data() + 14 + 24, 8), 0);
    EXPECT_EQ(tx(s2).size(), 1u);
    EXPECT_TRUE(tx(up).empty());
    // IGMPv2 codes are linear: 20.0 s is lowered to 19.8 s, not decoded as a float.
    rx(up, ipv4(0x0A0000FE, 0xE0000001, 2, v2(0x11, 0, 200), 0x01));
    q = tx(s1);
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0][14 + 24 + 1], 198);
    drain();

    // The period may not exceed the membership interval.
    EXPECT_EQ(call(JXIGMP_SQ_PERIOD_SET, {"br0", 3000u}), -EINVAL);
    ASSERT_EQ(call(JXIGMP_SQ_PERIOD_SET, {"br0", 100u}), 0);
    ASSERT_EQ(call(JXIGMP_SQ_STATE_SET, {"br0", 1u, 0u}), 0);
    rte_clock_advance(5 * HZ);
    rte_settle();
    EXPECT_TRUE(tx(s1).empty());
    rte_clock_advance(6 * HZ);
    rte_settle();
    q = tx(s1);
    ASSERT_EQ(count_type(q, 0x11), 1u);
    EXPECT_EQ(q[0][14 + 24 + 1], 100);
    EXPECT_EQ(count_type(tx(s2), 0x11), 1u);
    EXPECT_TRUE(tx(up).empty());
    // While the querier runs, routers' queries stop here.
    rx(up, ipv4(0x0A0000FE, 0xE0000001, 2, v2(0x11, 0, 100), 0x01));
    EXPECT_TRUE(tx(s1).empty());
}

TEST_F(IgmpTest, BadCallsAreRefused) {
    // The count is checked before any argument is copied.
    EXPECT_EQ(call(JXIGMP_BRIDGE_ADD, {"br1"}), -EINVAL);
    EXPECT_EQ(logged("jxigmp ioctl: command 7: invalid number of arguments (1)"), 1u);
    EXPECT_EQ(call(4, {}), -EINVAL);
    EXPECT_EQ(logged("jxigmp ioctl: command 4: not found"), 1u);
    // Integers are 4 bytes; texts end within their bound.
    EXPECT_EQ(call(JXIGMP_GENERAL_TIMEOUT_SET, {"br0", 1000u}, -1, {0, 2}), -EINVAL);
    std::string long_text(JXIGMP_TEXT_MAX + 10, 'a');
    EXPECT_EQ(call(JXIGMP_ACL_ADD, {"br0", long_text.c_str()}), -EINVAL);
    EXPECT_EQ(call(JXIGMP_GENERAL_TIMEOUT_SET, {"br9", 1000u}), -ENOENT);
    // An 11th ACL on a port and a 17th range of an ACL.
    for (int i = 0; i < 11; i++) {
        std::string name = "acl" + std::to_string(i);
        ASSERT_EQ(call(JXIGMP_ACL_ADD, {"br0", name.c_str()}), 0);
        EXPECT_EQ(call(JXIGMP_ACL_ATTACH, {"br0", 2u, name.c_str(), 0u}), i < 10 ? 0 : -ENOSPC);
    }
    for (u32 i = 0; i < 17; i++)
        EXPECT_EQ(call(JXIGMP_ACL_RANGE_ADD, {"br0", "acl0", 10u, G1 + i, G1 + i}),
                  i < 16 ? 0 : -ENOSPC);
    // Text commands.
    EXPECT_EQ(proc_write(CFG, "fake join 2 10 0.0.0.0"), -EINVAL);
    EXPECT_EQ(proc_write(CFG, "fake join 2"), -ENOARG);
    EXPECT_EQ(proc_write(CFG, "fake query 2 4096"), -EINVAL);
    EXPECT_EQ(proc_write(CFG, "fake query 2 10"), 15);
}

TEST_F(IgmpTest, ReadersKeepTheirOwnQueues) {
    struct file *slow = nullptr, *fast = nullptr;
    ASSERT_EQ(rte_vfs_open(CFG, O_RDONLY | O_NONBLOCK, &slow), 0);
    ASSERT_EQ(rte_vfs_open(CFG, O_RDONLY | O_NONBLOCK, &fast), 0);
    char buf[4096];
    size_t lines = 0;
    for (int i = 0; i < 2100; i++) {
        ASSERT_EQ(call(JXIGMP_BRIDGE_DUMP_CFG, {"br0"}), 0);
        long n;
        while ((n = rte_vfs_read(fast, buf, sizeof(buf))) > 0)
            for (long k = 0; k < n; k++)
                lines += buf[k] == '\n';
    }
    EXPECT_GE(lines, 2100u * 6);
    size_t slow_lines = 0;
    long n;
    while ((n = rte_vfs_read(slow, buf, sizeof(buf))) > 0)
        for (long k = 0; k < n; k++)
            slow_lines += buf[k] == '\n';
    EXPECT_EQ(slow_lines, 2000u);
    rte_vfs_close(slow);
    rte_vfs_close(fast);
}

TEST_F(IgmpTest, V3SourceListsFilterTheStream) {
    ASSERT_EQ(call(JXIGMP_VERSION_FILTER_SET, {"br0", 3u, 1u}), 0);
    const u32 V3DST = 0xE0000016, S1 = 0x0A000001, S2 = 0x0A000009;
    // A host asking for one source gets that source only.
    report(s1, 0x0A000002, v3({{5, G1, S1}}), V3DST);
    EXPECT_EQ(stream(G1, S1), std::make_pair(size_t(1), size_t(0)));
    EXPECT_EQ(stream(G1, S2), std::make_pair(size_t(0), size_t(0)));
    // A host excluding a source gets every other one.
    report(s2, 0x0A000004, v3({{4, G1, S1}}), V3DST);
    EXPECT_EQ(stream(G1, S1), std::make_pair(size_t(1), size_t(0)));
    EXPECT_EQ(stream(G1, S2), std::make_pair(size_t(0), size_t(1)));
    // A second client of the port adds its source; the first one's block leaves it.
    report(s1, 0x0A000003, v3({{5, G1, S2}}), V3DST);
    EXPECT_EQ(stream(G1, S2), std::make_pair(size_t(1), size_t(1)));
    report(s1, 0x0A000002, v3({{6, G1, S1}}), V3DST);
    EXPECT_EQ(stream(G1, S1), std::make_pair(size_t(0), size_t(0)));
    EXPECT_EQ(stream(G1, S2), std::make_pair(size_t(1), size_t(1)));
    // The excluding host switches to INCLUDE of that source.
    report(s2, 0x0A000004, v3({{3, G1, S1}}), V3DST);
    EXPECT_EQ(stream(G1, S1), std::make_pair(size_t(0), size_t(1)));
    EXPECT_EQ(stream(G1, S2), std::make_pair(size_t(1), size_t(0)));
    // INCLUDE lives as long as its sources: past a pass it still forwards, past
    // the membership interval without a report it is gone.
    rte_clock_advance(5 * HZ);
    rte_settle();
    EXPECT_EQ(stream(G1, S2), std::make_pair(size_t(1), size_t(0)));
    rte_clock_advance(262 * HZ);
    rte_settle();
    EXPECT_EQ(stream(G1, S1), std::make_pair(size_t(0), size_t(0)));
    EXPECT_EQ(stream(G1, S2), std::make_pair(size_t(0), size_t(0)));
    // BLOCK of nothing joined starts nothing.
    report(s1, 0x0A000002, v3({{6, G2, S1}}), V3DST);
    EXPECT_EQ(stream(G2, S2), std::make_pair(size_t(0), size_t(0)));
}

TEST_F(IgmpTest, TwoBridgesAndInjectedMessages) {
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add br1 4"), 0);
    ASSERT_EQ(call(JXIGMP_BRIDGE_ADD, {"br1", 3u}), 0);
    EXPECT_NE(__dev_get_by_name(&init_net, "br0_igmp"), nullptr);
    EXPECT_NE(__dev_get_by_name(&init_net, "br1_igmp"), nullptr);
    struct file *f = nullptr;
    ASSERT_EQ(rte_vfs_open(JXIGMP_PROC_DIR "/br1_group_change", O_RDONLY | O_NONBLOCK, &f), 0);
    rte_vfs_close(f);
    // fake and send act on br0, the bridge the module snoops, at once.
    EXPECT_GT(proc_write(CFG, "fake join 2 10 239.1.1.1"), 0);
    EXPECT_EQ(stream(G1), std::make_pair(size_t(1), size_t(0)));
    drain();
    EXPECT_GT(proc_write(CFG, "send query sub2 10"), 0);
    EXPECT_EQ(count_type(tx(s2), 0x11), 1u);
    EXPECT_GT(proc_write(CFG, "send join routers 10 239.1.1.2"), 0);
    EXPECT_EQ(count_type(tx(up), 0x16), 1u);
    EXPECT_GT(proc_write(CFG, "fake leave sub1 10 239.1.1.1"), 0);
    EXPECT_EQ(stream(G1), std::make_pair(size_t(0), size_t(0)));
    ASSERT_EQ(call(JXIGMP_BRIDGE_DEL, {"br1"}), 0);
    EXPECT_EQ(__dev_get_by_name(&init_net, "br1_igmp"), nullptr);
    join(s2, 0x0A000004, G1);
    EXPECT_EQ(stream(G1), std::make_pair(size_t(0), size_t(1)));
    ASSERT_EQ(rte_vfs_open(JXIGMP_PROC_DIR "/group_change", O_RDONLY | O_NONBLOCK, &f), 0);
    rte_vfs_close(f);
}

// The VID of a tagged frame, or -1.
int vid_of(const frame &f) {
    return f.size() > 16 && f[12] == 0x81 && f[13] == 0x00 ? (f[14] << 8 | f[15]) & 0xFFF : -1;
}

TEST_F(IgmpTest, ProxyAnswersForItsHosts) {
    ASSERT_EQ(call(JXIGMP_SYS_MNG_IP_SET, {"br0", 0x0A0000FDu}), 0);
    ASSERT_EQ(call(JXIGMP_VLAN_PROXY_SET, {"br0", 10u, 1u, 100u, 2u}), 0);
    // The first member makes the proxy join, from its own address; the second adds nothing.
    join(s1, 0x0A000002, G1);
    auto j = tx(up);
    ASSERT_EQ(count_type(j, 0x16), 1u);
    EXPECT_EQ(j[0][14 + 12], 10);
    EXPECT_EQ(j[0][14 + 15], 0xFD);
    EXPECT_EQ(j[0][14 + 20], 0x94); // Router Alert
    join(s2, 0x0A000004, G1);
    EXPECT_TRUE(tx(up).empty());
    EXPECT_EQ(stream(G1), std::make_pair(size_t(1), size_t(1)));
    // A router's query stops here; the proxy answers within its response time
    // and queries its hosts at its own interval.
    rx(up, ipv4(0x0A0000FE, 0xE0000001, 2, v2(0x11, 0, 50), 0x01));
    EXPECT_TRUE(tx(s1).empty());
    rte_clock_advance(11 * HZ);
    rte_settle();
    EXPECT_EQ(count_type(tx(up), 0x16), 1u);
    EXPECT_GE(count_type(tx(s1), 0x11), 1u);
    // The last member's leave makes the proxy leave.
    leave(s1, 0x0A000002, G1);
    EXPECT_TRUE(tx(up).empty());
    leave(s2, 0x0A000004, G1);
    EXPECT_EQ(count_type(tx(up), 0x17), 1u);
}

TEST_F(IgmpTest, CacLimitsGroupsPerPort) {
    ASSERT_EQ(call(JXIGMP_PORT_CAC_SET, {"br0", 2u, 2u}), 0);
    join(s1, 0x0A000002, G1);
    rte_clock_advance(1);
    join(s1, 0x0A000003, G2);
    rte_clock_advance(1);
    join(s1, 0x0A000002, G2 + 1);
    EXPECT_EQ(stream(G2 + 1), std::make_pair(size_t(0), size_t(0)));
    EXPECT_EQ(call(JXIGMP_PORT_CAC_GET, {"br0", 2u, 0u, 0u}), 0);
    EXPECT_EQ(out[2], 2u);
    EXPECT_EQ(out[3], 2u);
    // Replacing the oldest: the first group makes room.
    ASSERT_EQ(call(JXIGMP_CAC_ACTION_SET, {"br0", 1u}), 0);
    join(s1, 0x0A000002, G2 + 1);
    EXPECT_EQ(stream(G2 + 1), std::make_pair(size_t(1), size_t(0)));
    EXPECT_EQ(stream(G1), std::make_pair(size_t(0), size_t(0)));
    EXPECT_EQ(stream(G2), std::make_pair(size_t(1), size_t(0)));
    // Static groups do not count.
    ASSERT_EQ(call(JXIGMP_STATIC_GROUP_ADD, {"br0", 2u, 10u, G1}), 0);
    EXPECT_EQ(stream(G1), std::make_pair(size_t(1), size_t(0)));
    EXPECT_EQ(stream(G2), std::make_pair(size_t(1), size_t(0)));
}

TEST_F(IgmpTest, MvrMovesJoinsToTheMulticastVlan) {
    const char *V = "/proc/net/jxbridge/br0/vlan";
    ASSERT_GT(proc_write(V, "vlan add 20"), 0);
    ASSERT_GT(proc_write(V, "membership add up1 20"), 0);
    ASSERT_GT(proc_write(V, "tag set up1 20 1"), 0);
    ASSERT_GT(proc_write(V, "membership add sub1 20"), 0);
    ASSERT_EQ(call(JXIGMP_VLAN_ADD, {"br0", 20u, 0u}), 0);
    ASSERT_EQ(call(JXIGMP_MVR_PORT_ENABLE_SET, {"br0", 2u, 1u}), 0);
    ASSERT_EQ(call(JXIGMP_MVR_PORT_MAP_ADD, {"br0", 2u, 10u, 20u, 255u}), 0);
    EXPECT_EQ(call(JXIGMP_MVR_PORT_MAP_ADD, {"br0", 2u, 10u, 20u, 255u}), -EBUSY);
    join(s1, 0x0A000002, G1);
    auto r = tx(up);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(vid_of(r[0]), 20);
    // The multicast VLAN's stream reaches the subscriber in its own VLAN.
    drain();
    frame u = udp_to(G1);
    frame tag = {0x81, 0x00, 0x00, 20};
    u.insert(u.begin() + 12, tag.begin(), tag.end());
    rx(up, u);
    auto d = tx(s1);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_NE(vid_of(d[0]), 20);
    EXPECT_TRUE(tx(s2).empty());
    EXPECT_EQ(stream(G1), std::make_pair(size_t(0), size_t(0)));
    ASSERT_EQ(call(JXIGMP_MVR_PORT_MAP_DEL, {"br0", 2u, 10u, 20u}), 0);
}

TEST_F(IgmpTest, ImpmmTakesTheInnerVlan) {
    const char *V = "/proc/net/jxbridge/br0/vlan";
    ASSERT_GT(proc_write(V, "vlan add 100"), 0);
    ASSERT_GT(proc_write(V, "membership add sub1 100"), 0);
    ASSERT_GT(proc_write(V, "tag set sub1 100 1"), 0);
    ASSERT_EQ(call(JXIGMP_IMPMM_PORT_ENABLE_SET, {"br0", 2u, 1u}), 0);
    ASSERT_EQ(call(JXIGMP_IMPMM_PORT_SETTINGS_SET, {"br0", 2u, 1u, 0u}), 0);
    frame f = ipv4(0x0A000002, G1, 2, v2(0x16, G1), 0x02);
    u16 st = jxbridge_outer_ethertype_get(br);
    frame tags = {(u8)(st >> 8), (u8)st, 0x00, 100, 0x81, 0x00, 0x00, 10};
    f.insert(f.begin() + 12, tags.begin(), tags.end());
    rx(s1, f);
    EXPECT_EQ(count_type(tx(up), 0x16), 1u);
    EXPECT_EQ(stream(G1), std::make_pair(size_t(1), size_t(0)));
}

TEST_F(IgmpTest, InputDeviceOverrideNamesThePort) {
    EXPECT_EQ(proc_write(BR, "igmp_input_dev nosuch"), -ENODEV);
    ASSERT_GT(proc_write(BR, "igmp_input_dev sub2"), 0);
    join(s1, 0x0A000002, G1);
    EXPECT_EQ(stream(G1), std::make_pair(size_t(0), size_t(1)));
    ASSERT_GT(proc_write(BR, "igmp_input_dev none"), 0);
    join(s1, 0x0A000002, G2);
    EXPECT_EQ(stream(G2), std::make_pair(size_t(1), size_t(0)));
}

} // namespace
} // namespace jxtest
