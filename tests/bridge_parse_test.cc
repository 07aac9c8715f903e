// The word parsers every control file of the bridge module reads its
// arguments with: what they accept, what they refuse and what they log.
#include "jxtest.h"

#include "sources/jxbridge/jxbridge.h"

namespace {

size_t logged_since(u64 from, const std::string &needle) {
    return rte_log_count(needle, from);
}

TEST(Parsers, NumbersVidsTagsAndAddresses) {
    long long n = 0;
    EXPECT_EQ(a2num("42", &n), 0);
    EXPECT_EQ(n, 42);
    EXPECT_EQ(a2num("0x1F", &n), 0);
    EXPECT_EQ(n, 31);
    EXPECT_EQ(a2num("-7", &n), 0);
    EXPECT_EQ(n, -7);
    n = 99;
    for (const char *bad : {"", "12abc", "0x", "x12", "1 2", "99999999999999999999"})
        EXPECT_EQ(a2num(bad, &n), -EINVAL) << bad;
    EXPECT_EQ(n, 99); // a refused word leaves the value alone
    EXPECT_EQ(a2num(nullptr, &n), -ENOARG);

    u16 vid = 0;
    EXPECT_EQ(a2vid("1", &vid), 0);
    EXPECT_EQ(a2vid("4094", &vid), 0);
    EXPECT_EQ(vid, 4094);
    EXPECT_EQ(a2vid("0", &vid), -ERANGE);
    EXPECT_EQ(a2vid("4095", &vid), -ERANGE);
    EXPECT_EQ(a2vid("vlan", &vid), -EINVAL);
    EXPECT_EQ(vid, 4094);

    u64 from = rte_log_next_seq();
    u32 tag = 0;
    EXPECT_EQ(a2tag("65535", "tpid", &tag), 0);
    EXPECT_EQ(tag, 65535u);
    EXPECT_EQ(a2tag("65536", "tpid", &tag), -1);
    EXPECT_EQ(a2tag("-1", nullptr, &tag), -1);
    EXPECT_EQ(logged_since(from, "Out of range for tpid.\n"), 1u);
    EXPECT_EQ(logged_since(from, "Out of range for"), 1u); // no name, no line

    u64 addr = 1;
    EXPECT_EQ(a2addr("0X18000000", &addr), 0);
    EXPECT_EQ(addr, 0x18000000u);
    EXPECT_EQ(a2addr("4096k", &addr), 0); // as far as the digits go
    EXPECT_EQ(addr, 4096u);
    EXPECT_EQ(a2addr("", &addr), 0);
    EXPECT_EQ(addr, 0u);
    from = rte_log_next_seq();
    EXPECT_EQ(a2addr(nullptr, &addr), -1);
    EXPECT_EQ(logged_since(from, "Missing <addr>.\n"), 1u);
}

TEST(Parsers, KeywordWords) {
    const char *ops[] = {"==", "!=", "<", "<=", ">", ">="};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(a2cmp(ops[i]), i) << ops[i];
    EXPECT_EQ(a2cmp("=<"), -EINVAL);
    EXPECT_EQ(a2cmp(nullptr), -ENOARG);

    EXPECT_EQ(a2remark_dir("IN"), 1);
    EXPECT_EQ(a2remark_dir("ingress"), 1);
    EXPECT_EQ(a2remark_dir("Out"), 2);
    EXPECT_EQ(a2remark_dir("egress"), 2);
    EXPECT_EQ(a2remark_dir("both"), -EINVAL);
    EXPECT_EQ(a2remark_dir(nullptr), -ENOARG);

    for (const char *w : {"on", "YES", "Enable", "enabled", "1"})
        EXPECT_EQ(a2bool(w), 1) << w;
    for (const char *w : {"OFF", "no", "disable", "Disabled", "0"})
        EXPECT_EQ(a2bool(w), 0) << w;
    for (const char *w : {"", "2", "true", "onn"})
        EXPECT_LT(a2bool(w), 0) << w;
    EXPECT_LT(a2bool(nullptr), 0);

    EXPECT_STREQ(int2onoff(3), "on");
    EXPECT_STREQ(int2yesno(0), "no");
    EXPECT_STREQ(int2endis(1), "enabled");
}

TEST(Parsers, MacAndIpAddresses) {
    u8 mac[6] = {};
    EXPECT_EQ(parse_mac("0:1b:C4:ff:0a:9", mac), 0);
    const u8 want[6] = {0x00, 0x1b, 0xc4, 0xff, 0x0a, 0x09};
    EXPECT_EQ(memcmp(mac, want, 6), 0);
    u64 from = rte_log_next_seq();
    // A field above 0xff is refused, never cut down to its low byte.
    for (const char *bad : {"00:11:22:33:44", "00:11:22:33:44:55:66", "100:11:22:33:44:55",
                            "00:11:22:33:44:5g", "00::22:33:44:55", "00:11:22:33:44:55 "})
        EXPECT_EQ(parse_mac(bad, mac), -EINVAL) << bad;
    EXPECT_EQ(memcmp(mac, want, 6), 0);
    EXPECT_EQ(logged_since(from, "Can't parse '100:11:22:33:44:55' as MAC address.\n"), 1u);

    u32 v4 = 0;
    EXPECT_EQ(parse_ipv4("192.168.1.20", &v4), 0);
    EXPECT_EQ(v4, 0xc0a80114u); // host order, first field on top
    for (const char *bad : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "1.2.3.-4", "1..2.3", "a.b.c.d"})
        EXPECT_EQ(parse_ipv4(bad, &v4), -EINVAL) << bad;
    EXPECT_EQ(v4, 0xc0a80114u);
    EXPECT_EQ(logged_since(from, "Can't parse '256.1.1.1' as IPv4 address.\n"), 1u);

    u8 v6[16] = {};
    EXPECT_EQ(parse_ipv6("2001:db8:0:0:0:0:0:1", v6), 0);
    const u8 want6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(memcmp(v6, want6, 16), 0);
    for (const char *bad :
         {"2001:db8::1", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7:10000", "1:2:3:4:5:6:7:8:9"})
        EXPECT_EQ(parse_ipv6(bad, v6), -EINVAL) << bad;
    EXPECT_EQ(logged_since(from, "Can't parse '2001:db8::1' as IPv6 address.\n"), 1u);

    int family = 0;
    u8 any[16] = {};
    EXPECT_EQ(parse_ip("10.0.0.1", &family, any), 0);
    EXPECT_EQ(family, 2);
    u32 got;
    memcpy(&got, any, 4);
    EXPECT_EQ(got, 0x0a000001u);
    EXPECT_EQ(parse_ip("fe80:0:0:0:0:0:0:1", &family, any), 0);
    EXPECT_EQ(family, 10);
    EXPECT_EQ(any[0], 0xfe);
    family = 0;
    EXPECT_EQ(parse_ip("10.0.0", &family, any), -EINVAL);
    EXPECT_EQ(family, 0);
}

} // namespace
