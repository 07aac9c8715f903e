// Access authentication driven as its agent drives it: rules through the tal
// file, frames through wire ports, requests read from the event file and
// replies by ioctl.
#include "wire_bridge.h"

#include "sources/jxbridge/jx_tal.h"

#include <cstring>

using namespace jxtest;

namespace {

const char *TAL = "/proc/net/jxbridge/br0/tal";
const char *EVENT = "/proc/net/jxbridge/br0/event";
constexpr unsigned REPLY_AUTHEN = 0x40047a23, STATS_GET = 0x40047a22, STORED_REQ = 0x40047a29;

std::string hex(const u8 *d, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof(b), "%02x", d[i]);
        s += b;
    }
    return s;
}

// A DHCPDISCOVER from the station in VLAN 1 with the options given (raw bytes
// after the magic cookie, the end option not added).
frame discover(u8 station, const frame &opts) {
    frame f = eth({0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, mac(station), 0x0800, 0, 1);
    u16 udp_len = (u16)(8 + 240 + opts.size());
    u16 ip_len = (u16)(20 + udp_len);
    frame ip = {
        0x45, 0,  (u8)(ip_len >> 8), (u8)ip_len, 0, 1, 0, 0, 64, 17, 0, 0, 0, 0, 0, 0, 255, 255,
        255,  255};
    f.insert(f.end(), ip.begin(), ip.end());
    f.insert(f.end(), {0, 68, 0, 67, (u8)(udp_len >> 8), (u8)udp_len, 0, 0});
    frame p(240, 0);
    p[0] = 1;
    frame m = mac(station);
    std::copy(m.begin(), m.end(), p.begin() + 28);
    p[236] = 0x63, p[237] = 0x82, p[238] = 0x53, p[239] = 0x63;
    f.insert(f.end(), p.begin(), p.end());
    f.insert(f.end(), opts.begin(), opts.end());
    return f;
}

frame arp(u8 station) {
    return eth({0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, mac(station), 0x0806, 28, 1);
}

class TalTest : public WireBridgeTest {
  protected:
    jxbridge_port *a = nullptr, *b = nullptr, *up = nullptr;
    struct file *ev = nullptr;

    void SetUp() override {
        WireBridgeTest::SetUp();
        a = port("ta");
        b = port("tb");
        up = port("tu", JXBRIDGE_PORT_UPLINK);
        ASSERT_EQ(rte_vfs_open(EVENT, O_RDONLY | O_NONBLOCK, &ev), 0);
        // DHCP from a subscriber asks the agent; anything else waits.
        for (const char *c :
             {"selector add dhcp", "condition add dhcp 1 udp_dport 67", "action-list add ask",
              "action add ask 10 send_authen_req", "action add ask 20 pass", "state 1",
              "port-entry add ta dhcp ask", "port-entry add tb dhcp ask", "port ta state 1",
              "port tb state 1", "port ta authentication 1", "port tb authentication 1"})
            ok(c);
    }
    void TearDown() override {
        rte_vfs_close(ev);
        WireBridgeTest::TearDown();
    }
    void ok(const std::string &c) { ASSERT_GT(proc_write(TAL, c), 0) << c; }
    std::string record() {
        char buf[4096];
        long n = rte_vfs_read(ev, buf, sizeof(buf));
        return n > 0 ? std::string(buf, n) : "";
    }
    long reply(const char *port, u8 state, unsigned cmd = REPLY_AUTHEN) {
        tal_port_record r = {};
        strcpy(r.port, port);
        r.reply = state;
        return proc_ioctl(TAL, cmd, (unsigned long)&r);
    }
    tal_stats_record stats(const char *port) {
        tal_stats_record r = {};
        strcpy(r.port, port);
        EXPECT_EQ(proc_ioctl(TAL, STATS_GET, (unsigned long)&r), 0);
        return r;
    }
    // Frames out of the other ports after a frame into p.
    size_t out_of(jxbridge_port *p, const frame &f) {
        drain();
        rx(p, f);
        size_t n = 0;
        for (jxbridge_port *q : {a, b, up})
            n += q == p ? 0 : tx(q).size();
        return n;
    }
};

const frame OPTS = {53, 1, 1, 60, 8, 'M', 'S', 'F', 'T', ' ', '5', '.', '0', 61,  7,  1,
                    2,  0, 0, 0,  0, 1,   82,  6,   2,   4,   'r', 'i', 'd', '1', 255};

TEST_F(TalTest, RequestHoldsTheFrameUntilTheAgentAnswers) {
    frame d = discover(1, OPTS);
    EXPECT_EQ(out_of(a, d), 0u);
    std::string want = "\ntalta   000001020000000001000.000.000.000" + hex(d.data(), 128) +
                       "060008" + hex((const u8 *)"MSFT 5.0", 8) + "061007001020000000001" +
                       "002004" + hex((const u8 *)"rid1", 4) + "\n";
    EXPECT_EQ(record(), want);

    // While the request is out everything else of the port is dropped both
    // ways, and a second DISCOVER (from any port) only goes away.
    EXPECT_EQ(out_of(a, arp(1)), 0u);
    EXPECT_EQ(out_of(a, d), 0u);
    EXPECT_EQ(out_of(b, discover(2, OPTS)), 0u);
    EXPECT_EQ(record(), "");
    drain();
    rx(up, arp(9));
    EXPECT_TRUE(tx(a).empty());
    EXPECT_EQ(tx(b).size(), 0u) << "tb is authenticating too";
    tal_stats_record s = stats("ta");
    EXPECT_EQ(s.queue_size, 1u);
    EXPECT_EQ(s.authen_sent, 1u);
    EXPECT_EQ(s.dropped_rx, 3u);

    // A reply out of scope is refused; an OK releases the held DISCOVER, once.
    EXPECT_EQ(reply("ta", 2), -ERANGE);
    EXPECT_EQ(reply("nope", 1), -ENODEV);
    drain();
    EXPECT_EQ(reply("ta", 1), 0);
    std::vector<frame> sent = tx(up);
    ASSERT_EQ(sent.size(), 1u);
    frame untagged = d; // the uplink sends VLAN 1 untagged
    untagged.erase(untagged.begin() + 12, untagged.begin() + 16);
    EXPECT_EQ(sent[0], untagged);
    EXPECT_EQ(stats("ta").queue_size, 0u);
    EXPECT_EQ(out_of(a, arp(1)), 1u)
        << "authenticated: the port forwards (tb still may not receive)";
    EXPECT_TRUE(like(proc_cat(TAL), "*\nPort: ta\n=====\n*Port Forwarding State: Forwarding\n*"));

    // NOK purges the queue; the port stays closed.
    EXPECT_EQ(out_of(b, discover(2, OPTS)), 0u);
    EXPECT_TRUE(like(record(), "\ntaltb   00*"));
    drain();
    EXPECT_EQ(reply("tb", 0), 0);
    EXPECT_EQ(tx(up).size(), 0u);
    s = stats("tb");
    EXPECT_EQ(s.queue_size, 0u);
    EXPECT_EQ(s.authen_nok, 1u);
    EXPECT_EQ(out_of(b, arp(2)), 0u);
    EXPECT_TRUE(
        like(proc_cat(TAL), "*\nPort: tb\n*Port Authentication State: Rejected-waiting\n*"));
}

TEST_F(TalTest, TimeoutsAndDeletedPortsReleaseTheRequest) {
    ok("port ta timeout 5");
    EXPECT_EQ(proc_write(TAL, "port ta timeout 301"), -ERANGE);
    rx(a, discover(1, OPTS));
    EXPECT_FALSE(record().empty());
    rte_clock_advance(5 * HZ);
    tal_stats_record s = stats("ta");
    EXPECT_EQ(s.authen_timeouts, 1u);
    EXPECT_EQ(s.queue_size, 0u);
    rx(a, discover(1, OPTS));
    EXPECT_TRUE(like(record(), "\ntalta   00*")) << "the flag went with the time-out";

    // tb waits while ta's request is out, until ta is gone.
    rx(b, discover(2, OPTS));
    EXPECT_EQ(record(), "");
    mutex_lock(&jxbridge_lock);
    EXPECT_EQ(jxbridge_del_port(a), 0);
    mutex_unlock(&jxbridge_lock);
    a = nullptr;
    rx(b, discover(2, OPTS));
    EXPECT_TRUE(like(record(), "\ntaltb   00*"));

    // Automatic requests follow a rejection: origin 1, and no frame to release.
    tal_port_record r = {};
    strcpy(r.port, "tb");
    r.state = 1;
    EXPECT_EQ(proc_ioctl(TAL, 0x40047a26, (unsigned long)&r), 0);
    EXPECT_EQ(reply("tb", 0), 0);
    rte_clock_advance(2 * HZ);
    EXPECT_EQ(record(), "\ntaltb   01\n");
    drain();
    EXPECT_EQ(reply("tb", 1), 0);
    EXPECT_TRUE(tx(up).empty());
    EXPECT_TRUE(
        like(proc_cat(TAL),
             "*\nPort: tb\n*Automatic Requests Sent: 1\nAutomatic Requests Confirmed: 1\n*"));
    // A stored request has no frame either: origin 2.
    EXPECT_EQ(proc_ioctl(TAL, STORED_REQ, (unsigned long)&r), 0);
    EXPECT_EQ(record(), "\ntaltb   02\n");
}

TEST_F(TalTest, AuthorizationHoldsOnlyTheTriggeringFrame) {
    for (const char *c : {"port ta authentication 0", "port ta authorization 1",
                          "action-list add authz", "action add authz 1 send_author_req",
                          "port-entry del ta", "port-entry add ta dhcp authz"})
        ok(c);
    frame d = discover(1, OPTS);
    EXPECT_EQ(out_of(a, d), 0u);
    EXPECT_TRUE(like(record(), "\ntalta   10*"));
    // Other traffic flows meanwhile, both ways.
    EXPECT_EQ(out_of(a, arp(1)), 1u);
    drain();
    rx(up, arp(9));
    EXPECT_EQ(tx(a).size(), 1u);
    drain();
    EXPECT_EQ(reply("ta", 1, 0x40047a24), 0);
    EXPECT_EQ(tx(up).size(), 1u);
    tal_stats_record s = stats("ta");
    EXPECT_EQ(s.author_sent, 1u);
    EXPECT_EQ(s.author_ok, 1u);
    EXPECT_TRUE(like(proc_cat(TAL), "*\nPort: ta\n*Port Authentication State: Disabled\n"
                                    "Port Authorization State: Approved-disabled\n*"));
}

TEST_F(TalTest, OptionsAndShortFramesStayInBounds) {
    ok("selector add any");
    ok("condition add any 1 true");
    ok("port-entry del ta");
    ok("port-entry add ta any ask");
    // A frame shorter than 128 bytes is sent padded, never read past its end.
    frame f = arp(1);
    rx(a, f);
    std::string r = record();
    frame pad = f;
    pad.resize(128, 0);
    EXPECT_EQ(r.substr(42, 256), hex(pad.data(), 128));
    EXPECT_EQ(r.size(), 42u + 256 + 1);
    EXPECT_EQ(reply("ta", 0), 0);

    // Option 61 of length 0, and an option 60 running past the frame.
    rx(a, discover(1, {61, 0, 60, 40, 'x'}));
    r = record();
    EXPECT_EQ(r.substr(42 + 256), "061000000\n");
    EXPECT_EQ(reply("ta", 0), 0);
    // The longest options make the longest record, whole.
    frame big = {60, 255};
    big.resize(257, 'v');
    big.insert(big.end(), {61, 255, 1});
    big.resize(big.size() + 254, 'c');
    big.insert(big.end(), {82, 255, 2, 253});
    big.resize(big.size() + 253, 'r');
    rx(a, discover(1, big));
    r = record();
    EXPECT_EQ(r.size(), 42u + 256 + 516 + 517 + 512 + 1);
    EXPECT_EQ(r.back(), '\n');
    EXPECT_EQ(reply("ta", 0), 0);
    // Option 82 whose sub-option claims more than the option holds.
    rx(a, discover(1, {82, 4, 2, 9, 'a', 'b', 255}));
    EXPECT_EQ(record().substr(42 + 256), "\n");
}

TEST_F(TalTest, BadCommandsAndRecordsAreRefused) {
    std::string n47(47, 's'), n48(48, 's');
    EXPECT_GT(proc_write(TAL, "selector add " + n47), 0);
    EXPECT_EQ(proc_write(TAL, "selector add " + n48), -EINVAL);
    EXPECT_EQ(proc_ioctl(TAL, 0x40047a03, (unsigned long)n48.c_str()), -EINVAL);
    EXPECT_EQ(proc_write(TAL, "selector del dhcp"), -EBUSY);
    EXPECT_EQ(proc_write(TAL, "condition add dhcp 2 outer_vid 4096"), -ERANGE);
    EXPECT_EQ(proc_write(TAL, "condition add dhcp 2 no_such_field"), -EINVAL);
    EXPECT_EQ(proc_write(TAL, "port nope timeout 5"), -ENODEV);

    tal_condition_record c = {};
    memset(c.selector, 'x', sizeof(c.selector)); // no terminator
    EXPECT_EQ(proc_ioctl(TAL, 0x40047a06, (unsigned long)&c), -EINVAL);
    strcpy(c.selector, "dhcp");
    c.number = 5;
    c.code = TAL_CONDITIONS;
    EXPECT_EQ(proc_ioctl(TAL, 0x40047a06, (unsigned long)&c), -EINVAL);
    c.code = TAL_C_DHCP_VENDOR_ID;
    u32 len = 300;
    memcpy(c.param, &len, 4);
    EXPECT_EQ(proc_ioctl(TAL, 0x40047a06, (unsigned long)&c), -ERANGE);

    tal_port_entry_record e = {};
    strcpy(e.port, "ta");
    memset(e.selector, 'y', sizeof(e.selector));
    strcpy(e.action_list, "ask");
    EXPECT_EQ(proc_ioctl(TAL, 0x40047a0f, (unsigned long)&e), -EINVAL);

    tal_port_record p = {};
    strcpy(p.port, "ta");
    p.timeout = 0;
    EXPECT_EQ(proc_ioctl(TAL, 0x40047a1a, (unsigned long)&p), -ERANGE);
    p.max_queue = 101;
    EXPECT_EQ(proc_ioctl(TAL, 0x40047a1c, (unsigned long)&p), -ERANGE);
    p.state = 2;
    EXPECT_EQ(proc_ioctl(TAL, 0x40047a16, (unsigned long)&p), -ERANGE);
    EXPECT_EQ(proc_ioctl(TAL, 0x40017a12, 2), -ERANGE);
    EXPECT_EQ(proc_ioctl(TAL, 0x40047a7f, 0), -EINVAL);
    // The derived states of an authenticating port.
    ASSERT_EQ(proc_ioctl(TAL, 0x40047a25, (unsigned long)&p), 0);
    EXPECT_EQ(p.forwarding, 2u);
    EXPECT_EQ(p.authentication, 1u);
}

} // namespace
