// The trace channel and the frame tracer: the bridge's tracer file as a
// person drives it, and the tracer driven as the pipeline drives it (frame
// recorded in the bridge's tracer context, condition, tick, end of frame).
#include "jxtest.h"

#include "kernel/netdevice.h"
#include "linecard/dtrc.h"
#include "sources/jxbridge/jxbridge.h"

#include <atomic>
#include <cctype>
#include <sys/mman.h>
#include <unistd.h>
#include <thread>

using namespace jxtest;

namespace {

const char *const TRACER = "/proc/net/jxbridge/br0/tracer";

using bytes = std::vector<u8>;

const u8 MAC_A[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const u8 MAC_B[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
const u8 BCAST[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

void put16(bytes &b, u16 v) {
    b.push_back(v >> 8);
    b.push_back(v & 0xff);
}
void put32(bytes &b, u32 v) {
    put16(b, v >> 16);
    put16(b, v & 0xffff);
}
bytes cat(bytes a, const bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Ethernet header with tags {tpid, tci} in order, then the ethertype.
bytes l2(const u8 *dst, const u8 *src, std::vector<std::pair<u16, u16>> tags, u16 type) {
    bytes b(dst, dst + 6);
    b.insert(b.end(), src, src + 6);
    for (auto &t : tags) {
        put16(b, t.first);
        put16(b, t.second);
    }
    put16(b, type);
    return b;
}

bytes ipv4(u32 src, u32 dst, u8 proto, const bytes &payload, u16 frag = 0) {
    bytes b = {0x45, 0x00};
    put16(b, (u16)(20 + payload.size()));
    put16(b, 0x1234);
    put16(b, frag);
    b.push_back(64);
    b.push_back(proto);
    put16(b, 0);
    put32(b, src);
    put32(b, dst);
    return cat(b, payload);
}

bytes udp(u16 sport, u16 dport, const bytes &payload = {}) {
    bytes b;
    put16(b, sport);
    put16(b, dport);
    put16(b, (u16)(8 + payload.size()));
    put16(b, 0);
    return cat(b, payload);
}

bytes tcp(u16 sport, u16 dport, u8 flags) {
    bytes b;
    put16(b, sport);
    put16(b, dport);
    put32(b, 1000);
    put32(b, 0);
    b.push_back(0x50);
    b.push_back(flags);
    put16(b, 8192);
    put32(b, 0);
    return b;
}

bytes ipv6(u8 next, const bytes &payload) {
    bytes b = {0x60, 0, 0, 0};
    put16(b, (u16)payload.size());
    b.push_back(next);
    b.push_back(255);
    bytes src = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    bytes dst = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xff, 0, 0, 2};
    return cat(cat(cat(b, src), dst), payload);
}

// A DHCP discover from MAC_A, with a message type and a host name option.
bytes dhcp_discover() {
    bytes b(236, 0);
    b[0] = 1;
    b[1] = 1;
    b[2] = 6;
    b[4] = 0xde;
    b[5] = 0xad;
    b[6] = 0xbe;
    b[7] = 0xef;
    memcpy(&b[28], MAC_A, 6);
    put32(b, 0x63825363);
    bytes opts = {53, 1, 1, 12, 4, 'o', 'n', 't', 0x07, 255};
    return cat(b, opts);
}

u32 ip(int a, int b, int c, int d) {
    return (u32)a << 24 | (u32)b << 16 | (u32)c << 8 | (u32)d;
}

bytes arp_frame() {
    bytes arp = l2(BCAST, MAC_A, {}, ETH_P_ARP);
    for (u8 b : {0, 1, 8, 0, 6, 4, 0, 1})
        arp.push_back(b);
    arp.insert(arp.end(), MAC_A, MAC_A + 6);
    put32(arp, ip(10, 0, 0, 1));
    arp.insert(arp.end(), 6, 0);
    put32(arp, ip(10, 0, 0, 2));
    return arp;
}

bytes ping_frame() {
    bytes ping = {8, 0, 0, 0, 0, 7, 0, 1};
    return cat(l2(MAC_B, MAC_A, {}, ETH_P_IP), ipv4(ip(10, 0, 0, 1), ip(10, 0, 0, 2), 1, ping));
}

bytes igmp_report_frame() {
    bytes report = {0x16, 0, 0, 0, 239, 1, 1, 1};
    return cat(l2(MAC_B, MAC_A, {}, ETH_P_IP), ipv4(ip(10, 0, 0, 1), ip(239, 1, 1, 1), 2, report));
}

// A neighbor solicitation for fe80::2.
bytes ns_frame() {
    bytes ns = {135, 0, 0, 0, 0, 0, 0, 0, 0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    return cat(l2(MAC_B, MAC_A, {}, ETH_P_IPV6), ipv6(58, ns));
}

bytes padi_frame() {
    bytes padi = {0x11, 0x09, 0, 0, 0, 8, 0x01, 0x01, 0, 4, 'i', 'n', 'e', 't'};
    return cat(l2(BCAST, MAC_A, {}, ETH_P_PPP_DISC), padi);
}

// A PPPoE session frame carrying a DNS query over IPv4.
bytes session_frame() {
    bytes ses = {0x11, 0x00, 0x12, 0x34, 0, 0};
    bytes inner = ipv4(ip(10, 0, 0, 1), ip(10, 0, 0, 2), 17, udp(5000, 53));
    ses[5] = (u8)(inner.size() + 2);
    put16(ses, 0x0021);
    return cat(l2(MAC_B, MAC_A, {}, ETH_P_PPP_SES), cat(ses, inner));
}

struct recorder {
    jxbridge_tracer t = {};
    std::vector<int> calls;
};
void record_debug(void *ctx, int on) {
    ((recorder *)ctx)->calls.push_back(on);
}
// A subsystem's debug switch, registered for the length of a test.
struct registered {
    recorder r;
    registered() {
        r.t.set_debug = record_debug;
        r.t.context = &r;
        EXPECT_EQ(jxbridge_tracer_register(&r.t), 0);
    }
    ~registered() { EXPECT_EQ(jxbridge_tracer_unregister(&r.t), 0); }
};

class TracerTest : public ModuleTest {
  protected:
    jxbridge *br = nullptr;
    struct file *tf = nullptr;
    std::vector<net_device *> devs;
    std::vector<sk_buff *> skbs;

    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add br0 4"), 0);
        br = jxbridge_find("br0");
        ASSERT_NE(br, nullptr);
        ASSERT_EQ(rte_vfs_open(TRACER, O_RDWR | O_NONBLOCK, &tf), 0);
    }
    void TearDown() override {
        for (sk_buff *s : skbs)
            kfree_skb(s);
        if (tf)
            rte_vfs_close(tf);
        rte_modules_unload_all();
        for (net_device *d : devs) {
            unregister_netdev(d);
            free_netdev(d);
        }
        linecard_dtrc_remove();
        linecard_dtrc_clear();
        ModuleTest::TearDown();
    }
    long cmd(const std::string &line) { return rte_vfs_write(tf, line.data(), line.size()); }
    // What the tracer file holds now.
    std::string text() {
        std::string out;
        char buf[4096];
        long n;
        while ((n = rte_vfs_read(tf, buf, sizeof(buf))) > 0)
            out.append(buf, n);
        EXPECT_EQ(n, -EAGAIN);
        return out;
    }
    net_device *dev(const char *name) {
        net_device *d = alloc_netdev(0, name, NET_NAME_USER, ether_setup);
        EXPECT_EQ(register_netdev(d), 0);
        devs.push_back(d);
        return d;
    }
    jxbridge_port *add(u32 slot, u32 bll, net_device *d, u32 kind) {
        mutex_lock(&jxbridge_lock);
        jxbridge_port *p = jxbridge_add_port(br, slot, bll, d, kind);
        mutex_unlock(&jxbridge_lock);
        EXPECT_NE(p, nullptr);
        return p;
    }
    sk_buff *frame(const bytes &b, net_device *d = nullptr) {
        sk_buff *s = rte_skb_from_bytes(b.data(), (unsigned)b.size(), 64);
        s->dev = d;
        skbs.push_back(s);
        return s;
    }
    // One frame through the tracer as the pipeline takes it: whether it armed.
    bool traced(sk_buff *skb, jxbridge_port *port = nullptr, jxbridge_port *in_port = nullptr) {
        mutex_lock(&jxbridge_lock);
        jxbridge_tracer_frame_begin(br, skb, port);
        if (in_port) {
            br->tracer.in_port = in_port;
            jxbridge_tracer_condition(br);
        }
        bool on = br->tracer.active;
        jxbridge_tracer_frame_end(br);
        mutex_unlock(&jxbridge_lock);
        return on;
    }
    // Arms for one frame with the given conditions and says whether f matches.
    bool matches(const std::string &conditions, const bytes &f) {
        std::string line = "tracer 1 " + conditions;
        EXPECT_EQ(cmd(line), (long)line.size()) << line;
        return traced(frame(f));
    }
    // The same for the frame cut to n bytes, its buffer still holding the rest.
    bool matches_cut(const std::string &conditions, const bytes &f, unsigned n) {
        std::string line = "tracer 1 " + conditions;
        EXPECT_EQ(cmd(line), (long)line.size()) << line;
        sk_buff *s = frame(f);
        skb_trim(s, n);
        return traced(s);
    }
    u32 frames_left() {
        u32 v = 0xdead;
        EXPECT_EQ(proc_ioctl(TRACER, JXBRIDGE_TRACER_IOCTL_FRAMES_LEFT, (unsigned long)&v), 0);
        return v;
    }
};

} // namespace

TEST_F(TracerTest, FileCommandsAnswerOnTheTraceChannel) {
    char c;
    EXPECT_EQ(rte_vfs_read(tf, &c, 1), -EAGAIN);
    EXPECT_EQ(rte_vfs_poll(tf, POLLIN, 0), 0);

    EXPECT_EQ(cmd("help"), 4);
    EXPECT_EQ(rte_vfs_poll(tf, POLLIN, 0), (int)POLLIN);
    EXPECT_EQ(text(),
              "Supported commands:\n\tshow - Show open files and their statistics.\n\ttimestamp "
              "on/off - Enable/disable timestamping of each line.\n\tprintk on/off - "
              "Enable/disable printk() output.\n\ttracer <value> [pcap[-only] (rx|mt|tx)* [out "
              "<ifc>] [annotate]][rxport <port>] [txport <port>] [rxgem <gem-port>] [rxifc <ifc>] "
              "[txifc <ifc>] [smac <mac>] [dmac <mac>] [vlan <vid>] [ethertype <ethertype>] "
              "[ipproto <proto>] [sip <ip>[/<mask>] [dip <ip>[/<mask>]\n[sport <port>] [dport "
              "<port>]\n[dlf stop|continue]\n");

    // Keywords other than "tracer" are matched exactly.
    EXPECT_EQ(cmd("Help"), -EINVAL);
    EXPECT_EQ(text(), "Unknown command: 'Help'\n");
    EXPECT_EQ(cmd("TRACER 2"), 8);
    EXPECT_EQ(frames_left(), 2u);
    EXPECT_EQ(cmd("# a comment"), 11);
    EXPECT_EQ(cmd(""), 0);
    EXPECT_EQ(text(), "");

    EXPECT_EQ(cmd("timestamp"), -ENOARG);
    EXPECT_EQ(text(), "Missing parameter: on/off\n");
    EXPECT_EQ(cmd("timestamp maybe"), -EINVAL);
    EXPECT_EQ(cmd("timestamp on"), 12);
    EXPECT_EQ(jxbridge_trace_add_timestamp, 1u);
    jxbridge_trace("[Bridge] stamped %d\n", 1);
    jxbridge_trace_("[Bridge] plain\n");
    EXPECT_TRUE(like(text(), "??:??:??.????????? [Bridge] stamped 1\n[Bridge] plain\n"));
    EXPECT_EQ(cmd("timestamp off"), 13);
    jxbridge_trace("[Bridge] stamped %d\n", 2);
    EXPECT_EQ(text(), "[Bridge] stamped 2\n");

    EXPECT_EQ(cmd("printk"), -ENOARG);
    text();
    EXPECT_EQ(cmd("printk on"), 9);
    EXPECT_TRUE(like(text(), "jxbridge_trace_printk option set to on by [?*] *.\n"));
    jxbridge_trace("[VLAN] seen in the kernel log\n");
    EXPECT_EQ(logged("[VLAN] seen in the kernel log\n"), 1u);
    EXPECT_EQ(cmd("printk off"), 10);
    text();
    jxbridge_trace("[VLAN] not any more\n");
    EXPECT_EQ(logged("not any more"), 0u);
    EXPECT_EQ(text(), "[VLAN] not any more\n");

    // ioctls: the frames left, and whether a device exists.
    char name[16] = "br0";
    EXPECT_EQ(proc_ioctl(TRACER, JXBRIDGE_TRACER_IOCTL_DEV_EXISTS, (unsigned long)name), 0);
    strcpy(name, "nosuch");
    EXPECT_EQ(proc_ioctl(TRACER, JXBRIDGE_TRACER_IOCTL_DEV_EXISTS, (unsigned long)name), -ENODEV);
    // Sixteen characters without an end: no device has such a name, and
    // nothing past them is read.
    long page = sysconf(_SC_PAGESIZE);
    char *pages =
        (char *)mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    memcpy(pages + page - 16, "br0br0br0br0br0b", 16);
    EXPECT_EQ(
        proc_ioctl(TRACER, JXBRIDGE_TRACER_IOCTL_DEV_EXISTS, (unsigned long)(pages + page - 16)),
        -ENODEV);
    memcpy(pages + page - 16, "br0\0", 4);
    EXPECT_EQ(
        proc_ioctl(TRACER, JXBRIDGE_TRACER_IOCTL_DEV_EXISTS, (unsigned long)(pages + page - 16)),
        0);
    munmap(pages, 2 * page);
    EXPECT_EQ(proc_ioctl(TRACER, JXBRIDGE_TRACER_IOCTL_DEV_EXISTS, 8), -EFAULT);
    EXPECT_EQ(proc_ioctl(TRACER, JXBRIDGE_TRACER_IOCTL_FRAMES_LEFT, 8), -EFAULT);
    EXPECT_EQ(proc_ioctl(TRACER, 0x80047a02, (unsigned long)name), -EINVAL);
}

TEST_F(TracerTest, ShowListsConditionsSwitchesAndOpenFiles) {
    net_device *eth0 = dev("eth0"), *acc1 = dev("acc1");
    add(0, 100, eth0, JXBRIDGE_PORT_UPLINK);
    add(1, 1001, acc1, JXBRIDGE_PORT_ACCESS);
    const std::string file_line = "/2500, 0 drops (0 bytes)\n";
    auto count = [](const std::string &t, const std::string &what) {
        size_t n = 0;
        for (size_t at = t.find(what); at != std::string::npos; at = t.find(what, at + 1))
            n++;
        return n;
    };
    const std::string tail = "Chunk size:                  1016 bytes\n"
                             "Timestamp each line:         off\n"
                             "Output via printk():         off\n"
                             "\nFile: count/max/limit, drops \n"
                             "----------------------------------------------------\n";
    EXPECT_EQ(cmd("show"), 4);
    std::string t = text();
    EXPECT_EQ(t.rfind("\nTracer:                      off\n" + tail, 0), 0u) << t;
    EXPECT_EQ(count(t, file_line), 1u) << t;
    EXPECT_TRUE(like(t, "*\n0x*: ?*/?*" + file_line)) << t;

    EXPECT_GT(cmd("tracer 3 rxport eth0 txport 1 rxgem 1025 rxifc 5 txifc 6 "
                  "smac 00:11:22:33:44:55"),
              0);
    EXPECT_EQ(cmd("show"), 4);
    t = text();
    EXPECT_EQ(t.rfind("\nTracer:                      on (3)\n"
                      "  RX port:                   eth0\n"
                      "  TX port:                   acc1\n"
                      "  RX GEM port:               1025\n"
                      "  RX interface:              5\n"
                      "  TX interface:              6\n"
                      "  SMAC:                      00:11:22:33:44:55\n" +
                          tail,
                      0),
              0u)
        << t;

    EXPECT_GT(cmd("tracer 4 dmac 01:00:5e:00:00:01 vlan 100 ethertype 0x0800 ipproto udp "
                  "sip 10.0.0.1/24 dip 10.0.0.2 sport 68 dport 67"),
              0);
    EXPECT_EQ(cmd("show"), 4);
    t = text();
    EXPECT_EQ(t.rfind("\nTracer:                      on (4)\n"
                      "  DMAC:                      01:00:5e:00:00:01\n"
                      "  VID:                       100 (0x0064)\n"
                      "  EtherType:                 0x0800\n"
                      "  IP protocol:               17 (UDP)\n"
                      "  Source IP address:         10.0.0.1/255.255.255.0\n"
                      "  Destination IP address:    10.0.0.2/255.255.255.255\n"
                      "  Source TCP/UDP port:       68\n"
                      "  Destination TCP/UDP port   67\n" +
                          tail,
                      0),
              0u)
        << t;

    // Another open file is listed too, and the switches show as set.
    struct file *other = nullptr;
    ASSERT_EQ(rte_vfs_open(TRACER, O_RDONLY | O_NONBLOCK, &other), 0);
    EXPECT_GT(cmd("timestamp on"), 0);
    EXPECT_GT(cmd("tracer 0"), 0);
    EXPECT_EQ(cmd("show"), 4);
    t = text();
    EXPECT_NE(t.find("Tracer:                      off\n"), std::string::npos);
    EXPECT_NE(t.find("Timestamp each line:         on\n"), std::string::npos);
    EXPECT_EQ(count(t, file_line), 2u) << t;
    rte_vfs_close(other);
}

TEST_F(TracerTest, ArmingRefusesBadWordsAndKeepsTheLastGoodSetting) {
    net_device *eth0 = dev("eth0");
    add(0, 100, eth0, JXBRIDGE_PORT_UPLINK);
    EXPECT_GT(cmd("tracer 5 pcap rx mt tx out eth0 annotate smac 00:11:22:33:44:55 dlf stop"), 0);
    const jxbridge_tracer_state &T = br->tracer;
    EXPECT_EQ(T.frames_left, 5u);
    EXPECT_EQ(T.pcap.mode, (u32)JXBRIDGE_TRACER_PCAP);
    EXPECT_EQ(T.pcap.points,
              (u32)(JXBRIDGE_TRACER_CAP_RX | JXBRIDGE_TRACER_CAP_MT | JXBRIDGE_TRACER_CAP_TX));
    EXPECT_EQ(T.pcap.out_ifindex, eth0->ifindex);
    EXPECT_EQ(T.pcap.annotate, 1u);
    EXPECT_EQ(T.cond.set, (u32)JXBRIDGE_TC_SMAC); // "smac" ended the capture words
    EXPECT_EQ(T.dlf_stop, 1u);
    text();

    struct {
        const char *line;
        long rc;
        const char *said;
    } bad[] = {
        {"tracer", -ENOARG, ""},
        {"tracer x", -EINVAL, ""},
        {"tracer -1", -ERANGE, ""},
        {"tracer 1 bogus", -EINVAL, "@2: Invalid trace option: bogus\n"},
        {"tracer 1 vlan 10 Smac 00:11:22:33:44:55", -EINVAL, "@4: Invalid trace option: Smac\n"},
        {"tracer 1 dlf maybe", -EINVAL, "@3: Invalid trace DLF stop setting: maybe\n"},
        {"tracer 1 dlf", -ENOARG, ""},
        {"tracer 1 rxifc", -ENOARG, "Missing interface number."},
        {"tracer 1 txifc 0", -ERANGE, "@3: Invalid trace option: 0\n"},
        {"tracer 1 pcap out nosuch", -ENODEV, ""},
        {"tracer 1 pcap out", -ENOARG, ""},
        {"tracer 1 rxport nosuch", -ENODEV, "@3: Invalid trace option: nosuch\n"},
        {"tracer 1 vlan 5000", -ERANGE, "@3: Invalid trace option: 5000\n"},
        {"tracer 1 smac 00:11:22", -EINVAL, "@3: Invalid trace option: 00:11:22\n"},
        {"tracer 1 sip 10.0.0.1/33", -ERANGE, "@3: Invalid trace option: 10.0.0.1/33\n"},
        {"tracer 1 dip 10.0.0", -EINVAL, "@3: Invalid trace option: 10.0.0\n"},
        {"tracer 1 ipproto nosuch", -EINVAL, "@3: Invalid trace option: nosuch\n"},
        {"tracer 1 ethertype 0x10000", -ERANGE, "@3: Invalid trace option: 0x10000\n"},
        {"tracer 1 sport 65536", -ERANGE, "@3: Invalid trace option: 65536\n"},
        {"tracer 1 rxgem", -ENOARG, ""},
    };
    for (auto &b : bad) {
        EXPECT_EQ(cmd(b.line), b.rc) << b.line;
        EXPECT_EQ(text(), b.said) << b.line;
    }
    // None of them touched the armed tracer.
    EXPECT_EQ(T.frames_left, 5u);
    EXPECT_EQ(T.cond.set, (u32)JXBRIDGE_TC_SMAC);
    EXPECT_EQ(T.pcap.mode, (u32)JXBRIDGE_TRACER_PCAP);
    EXPECT_EQ(T.dlf_stop, 1u);

    // Capture with no point given captures as received only; re-arming
    // replaces every condition and option.
    EXPECT_GT(cmd("tracer 2 pcap-only ipproto 6 sip 10.1.0.0/255.255.0.0"), 0);
    EXPECT_EQ(T.pcap.mode, (u32)JXBRIDGE_TRACER_PCAP_ONLY);
    EXPECT_EQ(T.pcap.points, (u32)JXBRIDGE_TRACER_CAP_RX);
    EXPECT_EQ(T.pcap.out_ifindex, 0);
    EXPECT_EQ(T.cond.set, (u32)(JXBRIDGE_TC_IPPROTO | JXBRIDGE_TC_SIP));
    EXPECT_EQ(T.cond.ipproto, 6);
    EXPECT_EQ(T.cond.sip_mask, 0xffff0000u);
    EXPECT_EQ(T.dlf_stop, 0u);
    EXPECT_EQ(frames_left(), 2u);
}

TEST_F(TracerTest, TheFirstMatchingFrameIsTracedThenAllDebugGoesOff) {
    registered reg;
    net_device *eth0 = dev("eth0");
    jxbridge_port *up = add(0, 100, eth0, JXBRIDGE_PORT_UPLINK);
    EXPECT_GT(cmd("tracer 1 smac 00:11:22:33:44:55"), 0);
    text();
    bytes other = cat(l2(BCAST, MAC_B, {}, ETH_P_IP), ipv4(1, 2, 17, udp(1, 2)));
    bytes mine = cat(l2(BCAST, MAC_A, {}, ETH_P_IP), ipv4(1, 2, 17, udp(1, 2)));

    mutex_lock(&jxbridge_lock);
    jxbridge_tracer_frame_begin(br, frame(other, eth0), up);
    EXPECT_EQ(br->tracer.active, 0u);
    EXPECT_EQ(debug, 0);
    jxbridge_tracer_frame_end(br);

    jxbridge_tracer_frame_begin(br, frame(mine, eth0), up);
    EXPECT_EQ(br->tracer.active, 1u);
    EXPECT_EQ(debug, 1);
    EXPECT_EQ(reg.r.calls, std::vector<int>({1}));
    jxbridge_trace("[Bridge] inside the traced frame\n");
    // Forwarding counts the frame; the end of the frame turns all off again.
    jxbridge_tracer_tick(br);
    EXPECT_EQ(br->tracer.frames_left, 0u);
    jxbridge_tracer_frame_end(br);
    EXPECT_EQ(br->tracer.active, 0u);
    EXPECT_EQ(debug, 0);
    EXPECT_EQ(reg.r.calls, std::vector<int>({1, 0}));

    // Nothing is left to trace.
    jxbridge_tracer_frame_begin(br, frame(mine, eth0), up);
    EXPECT_EQ(br->tracer.active, 0u);
    jxbridge_tracer_frame_end(br);
    mutex_unlock(&jxbridge_lock);
    EXPECT_EQ(debug, 0);
    EXPECT_EQ(reg.r.calls.size(), 2u);
    const std::string h24(24, '#'), h34(34, '#');
    EXPECT_TRUE(like(text(), std::string(88, '-') + "\n??:??:??.????????? " + h34 + " TRACER=1 " +
                                 h34 + "\n[Bridge] inside the traced frame\n" + h24 +
                                 " TRACER=1/1 " + h24 + "\n\n" + std::string(40, '#') +
                                 " TRACER=1 " + h24 + "\n"));
    EXPECT_EQ(frames_left(), 0u);

    // Two frames: counted one by one; a flood's second copy ends the run.
    EXPECT_GT(cmd("tracer 2 smac 00:11:22:33:44:55"), 0);
    text();
    mutex_lock(&jxbridge_lock);
    for (int i = 1; i <= 2; i++) {
        jxbridge_tracer_frame_begin(br, frame(mine, eth0), up);
        EXPECT_EQ(br->tracer.active, 1u);
        jxbridge_tracer_tick(br);
        jxbridge_tracer_frame_end(br);
    }
    jxbridge_tracer_frame_begin(br, frame(mine, eth0), up);
    EXPECT_EQ(br->tracer.active, 0u);
    jxbridge_tracer_frame_end(br);
    mutex_unlock(&jxbridge_lock);
    std::string t = text();
    EXPECT_NE(t.find(" TRACER=2 #"), std::string::npos);
    EXPECT_NE(t.find("TRACER=2/2"), std::string::npos);
    EXPECT_EQ(reg.r.calls, std::vector<int>({1, 0, 1, 0, 1, 0}));

    EXPECT_GT(cmd("tracer 1"), 0);
    mutex_lock(&jxbridge_lock);
    jxbridge_tracer_frame_begin(br, frame(other, eth0), up);
    jxbridge_tracer_tick(br); // the first copy of a flood
    EXPECT_EQ(br->tracer.active, 1u);
    jxbridge_tracer_tick(br); // the second: none left
    EXPECT_EQ(br->tracer.active, 0u);
    EXPECT_EQ(debug, 0);
    jxbridge_tracer_frame_end(br);
    mutex_unlock(&jxbridge_lock);
}

TEST_F(TracerTest, ConditionsOfEveryKind) {
    net_device *eth0 = dev("eth0"), *acc1 = dev("acc1");
    jxbridge_port *up = add(0, 100, eth0, JXBRIDGE_PORT_UPLINK);
    jxbridge_port *acc = add(1, 1001, acc1, JXBRIDGE_PORT_ACCESS);
    bytes udp4 = cat(l2(MAC_B, MAC_A, {{0x8100, 0x2064}}, ETH_P_IP),
                     ipv4(ip(10, 0, 0, 7), ip(10, 0, 0, 2), 17, udp(68, 67)));

    // MAC addresses.
    EXPECT_TRUE(matches("smac 00:11:22:33:44:55 dmac 02:00:00:00:00:02", udp4));
    EXPECT_FALSE(matches("dmac 00:11:22:33:44:55", udp4));
    // The outer VID; the ethertype anywhere along the tag chain.
    bytes qinq = cat(l2(MAC_B, MAC_A, {{0x8100, 100}, {0x8100, 200}}, ETH_P_IP),
                     ipv4(ip(10, 0, 0, 7), ip(10, 0, 0, 2), 17, udp(68, 67)));
    EXPECT_TRUE(matches("vlan 100", qinq));
    EXPECT_FALSE(matches("vlan 200", qinq));
    EXPECT_TRUE(matches("ethertype 0x0800", qinq));
    EXPECT_TRUE(matches("ethertype 0x8100", qinq));
    EXPECT_FALSE(matches("ethertype 0x86dd", qinq));
    EXPECT_FALSE(matches("vlan 1", cat(l2(MAC_B, MAC_A, {}, ETH_P_IP), ipv4(1, 2, 17, udp(1, 2)))));
    // S-tags count as tags only with the bridge's S-tag ethertype.
    bytes stag = cat(l2(MAC_B, MAC_A, {{0x88a8, 300}, {0x8100, 100}}, ETH_P_IP),
                     ipv4(ip(10, 0, 0, 7), ip(10, 0, 0, 2), 6, tcp(1234, 80, 0x02)));
    EXPECT_FALSE(matches("ethertype 0x0800", stag));
    EXPECT_TRUE(matches("ethertype 0x88a8", stag));
    br->outer_ethertype = 0x88a8;
    EXPECT_TRUE(matches("ethertype 0x0800 vlan 300 dport 80", stag));
    br->outer_ethertype = 0x8100;

    // IPv4 protocol, addresses under masks, ports.
    EXPECT_TRUE(matches("ipproto udp sip 10.0.0.0/24 dip 10.0.0.2 sport 68 dport 67", udp4));
    EXPECT_TRUE(matches("ipproto 17 sip 10.0.0.0/255.255.255.0", udp4));
    EXPECT_FALSE(matches("sip 10.0.1.0/24", udp4));
    EXPECT_FALSE(matches("dip 10.0.0.3", udp4));
    EXPECT_FALSE(matches("ipproto tcp", udp4));
    EXPECT_FALSE(matches("sport 67", udp4));
    // A later fragment carries no ports.
    bytes frag = cat(l2(MAC_B, MAC_A, {}, ETH_P_IP),
                     ipv4(ip(10, 0, 0, 7), ip(10, 0, 0, 2), 17, udp(68, 67), 0x0010));
    EXPECT_TRUE(matches("ipproto udp", frag));
    EXPECT_FALSE(matches("dport 67", frag));
    // IPv6 after its extension headers; IPv4 addresses never match it.
    bytes hbh = {17, 0, 5, 2, 0, 0, 1, 0};
    bytes udp6 = cat(l2(MAC_B, MAC_A, {}, ETH_P_IPV6), ipv6(0, cat(hbh, udp(546, 547))));
    EXPECT_TRUE(matches("ipproto udp sport 546 dport 547", udp6));
    EXPECT_FALSE(matches("ipproto 0", udp6));
    EXPECT_FALSE(matches("dip 10.0.0.2", udp6));

    // Truncated frames match nothing that lies past their end, even where
    // the buffer still holds the bytes that were cut off.
    EXPECT_TRUE(matches_cut("vlan 100 ethertype 0x0800", udp4, 18 + 12));
    EXPECT_FALSE(matches_cut("ipproto udp", udp4, 18 + 12));
    EXPECT_FALSE(matches_cut("ipproto udp", udp4, 18 + 19));
    EXPECT_TRUE(matches_cut("ipproto udp", udp4, 18 + 20 + 3));
    EXPECT_FALSE(matches_cut("sport 68", udp4, 18 + 20 + 3));
    EXPECT_FALSE(matches_cut("dport 67", udp4, 18 + 20 + 3));
    EXPECT_FALSE(matches_cut("vlan 100", udp4, 15));
    EXPECT_TRUE(matches_cut("vlan 100", udp4, 16));
    EXPECT_FALSE(matches_cut("ethertype 0x0800", udp4, 17));
    EXPECT_FALSE(matches_cut("smac 00:11:22:33:44:55", udp4, 10));
    EXPECT_FALSE(matches_cut("dip 10.0.0.2", udp4, 18 + 19));
    EXPECT_FALSE(matches_cut("ipproto udp dport 547", udp6, 14 + 40 + 7));
    EXPECT_FALSE(matches_cut("ipproto udp", udp6, 14 + 40 + 1));
    br->outer_ethertype = 0x88a8;
    EXPECT_FALSE(matches_cut("vlan 300", stag, 15));
    EXPECT_TRUE(matches_cut("ethertype 0x8100", stag, 21));
    EXPECT_FALSE(matches_cut("ethertype 0x0800", stag, 21));
    br->outer_ethertype = 0x8100;
    bytes bad_ihl = udp4;
    bad_ihl[18] = 0x44; // a header shorter than its fixed part
    EXPECT_FALSE(matches("ipproto udp", bad_ihl));

    // The frame as the pipeline first sees it: data past the Ethernet header.
    EXPECT_GT(cmd("tracer 1 smac 00:11:22:33:44:55 vlan 100"), 0);
    sk_buff *pulled = frame(udp4, eth0);
    skb_pull(pulled, ETH_HLEN);
    EXPECT_TRUE(traced(pulled, up));

    // Ports by BLL number: the input port, or the current one without it.
    EXPECT_GT(cmd("tracer 1 rxport eth0 txport acc1"), 0);
    EXPECT_TRUE(traced(frame(udp4, acc1), acc, up));
    EXPECT_GT(cmd("tracer 1 rxport eth0"), 0);
    EXPECT_TRUE(traced(frame(udp4, eth0), up));
    EXPECT_GT(cmd("tracer 1 rxport eth0"), 0);
    EXPECT_FALSE(traced(frame(udp4, acc1), acc));
    EXPECT_GT(cmd("tracer 1 txport 1"), 0);
    EXPECT_FALSE(traced(frame(udp4, eth0), up));

    // Interfaces: where the frame entered, and the device it is on now.
    EXPECT_GT(cmd("tracer 1 rxifc " + std::to_string(eth0->ifindex) + " txifc " +
                  std::to_string(acc1->ifindex)),
              0);
    sk_buff *moved = frame(udp4, eth0);
    mutex_lock(&jxbridge_lock);
    jxbridge_tracer_frame_begin(br, moved, up);
    EXPECT_EQ(br->tracer.active, 0u); // still on eth0
    moved->dev = acc1;
    br->tracer.in_port = up;
    br->tracer.port = acc;
    EXPECT_EQ(jxbridge_tracer_condition(br), 1);
    jxbridge_tracer_frame_end(br);
    mutex_unlock(&jxbridge_lock);

    // The GEM a frame arrived with on an OLT device.
    net_device *gpon0 = dev("gpon0");
    jxbridge_port olt = {};
    olt.bridge = br;
    olt.dev = gpon0;
    olt.kind = JXBRIDGE_PORT_PON_OLT;
    EXPECT_GT(cmd("tracer 1 rxgem 1025"), 0);
    sk_buff *g = frame(udp4, gpon0);
    g->scratch = 1025;
    EXPECT_TRUE(traced(g, &olt));
    EXPECT_GT(cmd("tracer 1 rxgem 1025"), 0);
    g = frame(udp4, gpon0);
    g->scratch = 1026;
    EXPECT_FALSE(traced(g, &olt));
    EXPECT_GT(cmd("tracer 1 rxgem 1025"), 0);
    g = frame(udp4, eth0);
    g->scratch = 1025; // not an OLT: no GEM
    EXPECT_FALSE(traced(g, up));
}

TEST_F(TracerTest, CaptureOnlyRunsLeaveTheTextAndDebugAlone) {
    registered reg;
    EXPECT_GT(proc_write("/proc/net/jxbridge/config", "debug 1"), 0);
    bytes f = cat(l2(BCAST, MAC_A, {}, ETH_P_ARP), bytes(28, 0));
    EXPECT_GT(cmd("tracer 1 pcap-only rx"), 0);
    text();
    mutex_lock(&jxbridge_lock);
    jxbridge_tracer_frame_begin(br, frame(f), nullptr);
    EXPECT_EQ(br->tracer.active, 1u);
    jxbridge_tracer_capture_at(br, br->tracer.skb, JXBRIDGE_TRACER_CAP_TX);
    jxbridge_tracer_tick(br);
    jxbridge_tracer_frame_end(br);
    mutex_unlock(&jxbridge_lock);
    EXPECT_EQ(br->tracer.active, 0u);
    EXPECT_EQ(debug, 1);
    EXPECT_TRUE(reg.r.calls.empty());
    EXPECT_EQ(text(), "PCAP capture finished.\n\n\n");

    // Capture with text: the run's end is said before the tracer's end line.
    EXPECT_GT(cmd("tracer 1 pcap"), 0);
    text();
    mutex_lock(&jxbridge_lock);
    jxbridge_tracer_frame_begin(br, frame(f), nullptr);
    jxbridge_tracer_tick(br);
    jxbridge_tracer_frame_end(br);
    mutex_unlock(&jxbridge_lock);
    std::string t = text();
    size_t fin = t.find("PCAP capture finished.\n\n\n");
    ASSERT_NE(fin, std::string::npos);
    EXPECT_EQ(t.substr(fin + 25),
              std::string(40, '#') + " TRACER=1 " + std::string(24, '#') + "\n");
    EXPECT_EQ(debug, 0);
    EXPECT_EQ(reg.r.calls, std::vector<int>({1, 0}));

    // A run that still has frames left is not finished.
    EXPECT_GT(cmd("tracer 3 pcap"), 0);
    text();
    mutex_lock(&jxbridge_lock);
    jxbridge_tracer_frame_begin(br, frame(f), nullptr);
    jxbridge_tracer_tick(br);
    jxbridge_tracer_frame_end(br);
    mutex_unlock(&jxbridge_lock);
    EXPECT_EQ(text().find("PCAP capture finished"), std::string::npos);
}

TEST_F(TracerTest, UnknownDestinationPausesAndNestedProcessingRestores) {
    registered reg;
    bytes f = cat(l2(MAC_B, MAC_A, {}, ETH_P_IP), ipv4(1, 2, 17, udp(1, 2)));
    EXPECT_GT(cmd("tracer 3 smac 00:11:22:33:44:55 dlf stop"), 0);
    text();
    mutex_lock(&jxbridge_lock);
    sk_buff *outer = frame(f);
    jxbridge_tracer_frame_begin(br, outer, nullptr);
    ASSERT_EQ(br->tracer.active, 1u);
    int paused = jxbridge_tracer_dlf_pause(br);
    EXPECT_EQ(paused, 1);
    EXPECT_EQ(debug, 0);
    // The flooded copies do not arm it again.
    sk_buff *copy = frame(f);
    br->tracer.skb = copy;
    EXPECT_EQ(jxbridge_tracer_condition(br), 0);
    jxbridge_trace("[Bridge] flooding\n");
    jxbridge_tracer_dlf_resume(br, paused);
    EXPECT_EQ(br->tracer.active, 1u);
    EXPECT_EQ(br->tracer.skb, outer);
    EXPECT_EQ(debug, 1);

    // Nested processing of another frame ends with that frame; the outer
    // frame goes on being traced.
    jxbridge_tracer_backup(br);
    jxbridge_tracer_frame_begin(br, frame(f), nullptr);
    jxbridge_tracer_frame_end(br);
    EXPECT_EQ(debug, 0);
    jxbridge_tracer_restore(br);
    EXPECT_EQ(br->tracer.active, 1u);
    EXPECT_EQ(br->tracer.skb, outer);
    EXPECT_EQ(debug, 1);
    jxbridge_tracer_frame_end(br);
    mutex_unlock(&jxbridge_lock);
    EXPECT_EQ(debug, 0);
    EXPECT_EQ(reg.r.calls, std::vector<int>({1, 0, 1, 0, 1, 0}));
    std::string t = text();
    EXPECT_NE(t.find("[Bridge]    Pausing tracing on DLF.\n[Bridge] flooding\n"), std::string::npos)
        << t;

    // Set to continue, the flood is traced.
    EXPECT_GT(cmd("tracer 1 dlf continue"), 0);
    mutex_lock(&jxbridge_lock);
    jxbridge_tracer_frame_begin(br, frame(f), nullptr);
    EXPECT_EQ(jxbridge_tracer_dlf_pause(br), 0);
    EXPECT_EQ(debug, 1);
    jxbridge_tracer_frame_end(br);
    mutex_unlock(&jxbridge_lock);
}

TEST_F(TracerTest, FramesArePrintedHeaderByHeader) {
    net_device *eth0 = dev("eth0");
    jxbridge_port *up = add(0, 100, eth0, JXBRIDGE_PORT_UPLINK);
    auto print = [&](const bytes &f, jxbridge_port *port, net_device *d) {
        sk_buff *s = frame(f, d);
        mutex_lock(&jxbridge_lock);
        br->tracer.skb = s;
        br->tracer.port = port;
        jxbridge_trace_frame("jxbridge_process_frame", br);
        br->tracer.skb = nullptr;
        br->tracer.port = nullptr;
        mutex_unlock(&jxbridge_lock);
        return text();
    };
    bytes dhcp = cat(l2(BCAST, MAC_A, {{0x8100, 100}}, ETH_P_IP),
                     ipv4(0, 0xffffffff, 17, udp(68, 67, dhcp_discover())));
    std::string t = print(dhcp, up, eth0);
    EXPECT_TRUE(like(t, "[Bridge] jxbridge_process_frame(skb=0x*, head=0x*, data=0x*,\n"
                        "[Bridge]       tail=0x*, end=0x*, len=296)@eth0 [br0]\n*"))
        << t;
    for (const char *line : {
             "[Bridge]     | Ethernet: dst=ff:ff:ff:ff:ff:ff src=00:11:22:33:44:55 type=0x8100 "
             "(802.1Q)\n",
             "[Bridge]     | VLAN: tpid=0x8100 pcp=0 dei=0 vid=100 type=0x0800 (IPv4)\n",
             "[Bridge]     | IPv4: 0.0.0.0 > 255.255.255.255 proto=17 (UDP)",
             "[Bridge]     | UDP: sport=68 (bootpc) dport=67 (bootps)",
             "[Bridge]     | DHCP: op=1 (BOOTREQUEST) xid=0xdeadbeef",
             "[Bridge]     | DHCP: chaddr=00:11:22:33:44:55\n",
             "[Bridge]     | DHCP: option 53 message type 1 (DISCOVER)\n",
             "[Bridge]     | DHCP: option 12 host name \"ont.\"\n",
         })
        EXPECT_NE(t.find(line), std::string::npos) << line << "\n" << t;

    t = print(arp_frame(), up, eth0);
    EXPECT_NE(t.find("| ARP: op=1 (request) sha=00:11:22:33:44:55 spa=10.0.0.1 "
                     "tha=00:00:00:00:00:00 tpa=10.0.0.2\n"),
              std::string::npos)
        << t;

    t = print(ping_frame(), up, eth0);
    EXPECT_NE(t.find("| ICMP: type=8 (echo request) code=0 id=7 seq=1\n"), std::string::npos) << t;

    t = print(igmp_report_frame(), up, eth0);
    EXPECT_NE(t.find("| IGMP: type=0x16 (v2 membership report) max response=0 group=239.1.1.1\n"),
              std::string::npos)
        << t;

    t = print(cat(l2(MAC_B, MAC_A, {}, ETH_P_IP), ipv4(1, 2, 6, tcp(1234, 80, 0x12))), up, eth0);
    EXPECT_NE(t.find("| TCP: sport=1234 dport=80 (http) seq=1000 ack=0 flags=[SYN,ACK]"),
              std::string::npos)
        << t;

    t = print(ns_frame(), up, eth0);
    EXPECT_NE(t.find("| IPv6: fe80::1 > ff02::1:ff00:2 next=58 (ICMPv6) hlim=255 plen=24"),
              std::string::npos)
        << t;
    EXPECT_NE(t.find("| ICMPv6: type=135 (neighbor solicitation) code=0\n"), std::string::npos);
    EXPECT_NE(t.find("| ND: target=fe80::2\n"), std::string::npos);

    t = print(padi_frame(), up, eth0);
    EXPECT_NE(t.find("| PPPoE: ver=1 type=1 code=0x09 (PADI) session=0x0000 length=8\n"),
              std::string::npos)
        << t;
    EXPECT_NE(t.find("| PPPoE tag: 0x0101 (Service-Name) \"inet\"\n"), std::string::npos) << t;
    t = print(session_frame(), up, eth0);
    EXPECT_NE(t.find("| PPP: protocol=0x0021 (IPv4)\n"), std::string::npos) << t;
    EXPECT_NE(t.find("| UDP: sport=5000 dport=53 (domain)"), std::string::npos) << t;

    // OLT ports name the GEM and queue the frame carries.
    net_device *gpon0 = dev("gpon0");
    jxbridge_port olt = {};
    olt.dev = gpon0;
    olt.kind = JXBRIDGE_PORT_PON_OLT;
    br->tracer.port = &olt;
    sk_buff *g = frame(arp_frame(), gpon0);
    g->scratch = 3 << 16 | 1025;
    mutex_lock(&jxbridge_lock);
    br->tracer.skb = g;
    jxbridge_trace_frame("jxbridge_process_frame", br);
    br->tracer.skb = nullptr;
    br->tracer.port = nullptr;
    mutex_unlock(&jxbridge_lock);
    t = text();
    EXPECT_TRUE(like(t, "*)@gpon0 [br0] GEM=1025 Queue=3\n*")) << t;
}

TEST_F(TracerTest, TruncatedFramesDecodeWhatIsThere) {
    bytes dhcp = cat(l2(BCAST, MAC_A, {{0x8100, 100}}, ETH_P_IP),
                     ipv4(0, 0xffffffff, 17, udp(68, 67, dhcp_discover())));
    bytes igmp3 = {0x22, 0, 0,  0, 0, 0, 0, 2, 4, 0, 0,   1, 239, 1,
                   1,    1, 10, 0, 0, 9, 3, 0, 0, 0, 239, 2, 2,   2};
    bytes mld2 = {143, 0, 0, 0, 0, 0, 0, 1, 4, 0, 0, 0, 0xff, 0x05,
                  0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0x33};
    bytes hbh = {58, 0, 5, 2, 0, 0, 1, 0};
    bytes frag_hdr = {17, 0, 0, 0, 0, 0, 0, 9};
    bytes dhcpv6 = {1, 0xab, 0xcd, 0xef};
    std::vector<bytes> frames = {
        dhcp,
        cat(l2(MAC_B, MAC_A, {}, ETH_P_IP), ipv4(1, 2, 2, igmp3)),
        cat(l2(MAC_B, MAC_A, {}, ETH_P_IPV6), ipv6(0, cat(hbh, mld2))),
        cat(l2(MAC_B, MAC_A, {}, ETH_P_IPV6), ipv6(44, cat(frag_hdr, udp(546, 547, dhcpv6)))),
        cat(l2(MAC_B, MAC_A, {{0x88a8, 5}}, ETH_P_IP), ipv4(1, 2, 6, tcp(1, 2, 0x10))),
        cat(l2(MAC_B, MAC_A, {}, ETH_P_IP), ipv4(1, 2, 4, ipv4(3, 4, 17, udp(9, 9)))),
        arp_frame(),
        ping_frame(),
        igmp_report_frame(),
        ns_frame(),
        padi_frame(),
        session_frame(),
    };
    size_t truncated = 0;
    for (const bytes &f : frames) {
        // Every cut of the frame, each in a buffer of exactly that size.
        for (size_t n = 0; n <= f.size(); n++) {
            std::unique_ptr<u8[]> exact(new u8[n ? n : 1]);
            memcpy(exact.get(), f.data(), n);
            jxbridge_trace_frame_data("[T] |", exact.get(), (u32)n, 0);
            std::string t = text();
            if (n < f.size()) {
                EXPECT_NE(t.find("truncated"), std::string::npos) << n << "\n" << t;
                truncated++;
            }
        }
    }
    EXPECT_GT(truncated, 400u);

    // Lengths in the headers that point past the frame are not followed.
    bytes lying = cat(l2(MAC_B, MAC_A, {}, ETH_P_IP), ipv4(1, 2, 17, udp(68, 67, bytes(8, 0))));
    lying[14 + 2] = 0x40;      // IPv4 total length 0x4024
    lying[14 + 20 + 4] = 0xff; // UDP length 0xff10
    std::unique_ptr<u8[]> exact(new u8[lying.size()]);
    memcpy(exact.get(), lying.data(), lying.size());
    jxbridge_trace_frame_data("[T] |", exact.get(), (u32)lying.size(), 0);
    std::string t = text();
    EXPECT_NE(t.find("[T] | IPv4: truncated (36 of 16420 bytes)\n"), std::string::npos) << t;
    EXPECT_NE(t.find("[T] | UDP: sport=68 (bootpc) dport=67 (bootps) len=65296\n"),
              std::string::npos)
        << t;
}

TEST_F(TracerTest, AFullTracerFileCountsDropsAndABlockedReaderWakes) {
    struct file *slow = nullptr;
    ASSERT_EQ(rte_vfs_open(TRACER, O_RDONLY | O_NONBLOCK, &slow), 0);
    std::string line(1015, 'y');
    for (int i = 0; i < 3000; i++) {
        EXPECT_EQ(jxbridge_trace_("%s", line.c_str()), 1015);
        if (i % 100 == 99)
            text();
    }
    text();
    EXPECT_EQ(cmd("show"), 4);
    std::string t = text();
    EXPECT_TRUE(like(t, "*\n0x*: 2500/2500/2500, 498 drops (505470 bytes)\n*")) << t;
    rte_vfs_close(slow);

    // A blocking reader of the trace channel wakes on the next trace line.
    struct file *f = nullptr;
    ASSERT_EQ(rte_vfs_open(TRACER, O_RDONLY, &f), 0);
    {
        BlockedReader r(f);
        EXPECT_EQ(jxbridge_trace("[Bridge] wake\n"), 14);
        EXPECT_EQ(r.join(), 14);
        EXPECT_EQ(r.text(), "[Bridge] wake\n");
    }
    rte_vfs_close(f);

    // Deleting the bridge does not wait for a blocked reader.
    ASSERT_EQ(rte_vfs_open(TRACER, O_RDONLY, &f), 0);
    BlockedReader r(f);
    rte_vfs_close(tf);
    tf = nullptr;
    EXPECT_GT(proc_write("/proc/net/jxbridge/config", "del br0"), 0);
    EXPECT_EQ(r.join(), -ERESTARTSYS);
    rte_vfs_close(f);
    // With no file open, tracing does nothing.
    EXPECT_EQ(jxbridge_trace("[Bridge] nobody\n"), 0);
}

TEST_F(TracerTest, TimersWriteTraceMemoryEntriesWhenAsked) {
    struct probe {
        jxbridge_timer t;
        int runs = 0;
    };
    auto cb = [](jxbridge_timer *t) { ((probe *)t->data)->runs++; };
    auto mine = [](const probe &p) {
        std::vector<jxbridge_dtrc_entry> out;
        for (auto &raw : linecard_dtrc_entries()) {
            jxbridge_dtrc_entry e;
            memcpy(&e, raw.data(), sizeof(e));
            if (e.timer == (u64)(uintptr_t)&p.t)
                out.push_back(e);
        }
        return out;
    };
    // No facility: timers run as ever.
    EXPECT_GT(proc_write("/proc/net/jxbridge/config", "dtrc 1"), 0);
    probe a, b;
    jxbridge_timer_init(br, &a.t, cb, &a, 2);
    jxbridge_timer_init(br, &b.t, cb, &b, -1);
    rte_clock_advance(250);
    EXPECT_EQ(a.runs, 1);
    EXPECT_EQ(b.runs, 1);

    linecard_dtrc_install();
    // The facility does not ask for timer entries.
    linecard_dtrc_set_flags(0x1F);
    jxbridge_mod_timer(&a.t, jiffies + 10);
    rte_clock_advance(10);
    EXPECT_EQ(a.runs, 2);
    EXPECT_TRUE(mine(a).empty());

    linecard_dtrc_set_flags(0x20);
    unsigned long due = jiffies + 10;
    jxbridge_mod_timer(&a.t, due);
    jxbridge_mod_timer(&b.t, due);
    rte_clock_advance(10);
    ASSERT_EQ(mine(a).size(), 1u);
    jxbridge_dtrc_entry e = mine(a)[0];
    EXPECT_EQ(e.type, JXBRIDGE_DTRC_TIMER);
    EXPECT_EQ(e.slot, 2);
    EXPECT_GE(e.time, (u32)due);
    EXPECT_EQ(e.data, (u64)(uintptr_t)&a);
    ASSERT_EQ(mine(b).size(), 1u);
    EXPECT_EQ(mine(b)[0].slot, JXBRIDGE_DTRC_NO_SLOT);
    EXPECT_EQ(mine(b)[0].time, (u32)due);

    // The module's switch off: no entries.
    EXPECT_GT(proc_write("/proc/net/jxbridge/config", "dtrc 0"), 0);
    jxbridge_mod_timer(&a.t, jiffies + 10);
    rte_clock_advance(10);
    EXPECT_EQ(a.runs, 4);
    EXPECT_EQ(mine(a).size(), 1u);
    mutex_lock(&jxbridge_lock);
    jxbridge_del_timer_sync(&a.t);
    jxbridge_del_timer_sync(&b.t);
    mutex_unlock(&jxbridge_lock);
}
