// Bound interfaces: the repairs of what the host does to received frames (as
// bytes), and a real veth pair driven as a line-card port (root only).
#include "kernel/netdevice.h"
#include "kernel/skbuff.h"
#include "kernel/sync.h"
#include "linecard/afpacket_host.h"
#include "linecard/linecard.h"

#include <gtest/gtest.h>

#include <linux/if_packet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

// <net/if.h> would bring the host's IFF_* beside the kernel layer's.
extern "C" unsigned int if_nametoindex(const char *ifname);

namespace {

using bytes = std::vector<u8>;

bytes hex(const std::string &h) {
    bytes out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(u8(std::stoul(h.substr(i, 2), nullptr, 16)));
    return out;
}

// Frames with correct checksums (built with scapy).
const bytes kUdp4 = hex("02000000000202000000000108004500002900010000401166c10a0000010a000002"
                        "03e807d000152d1a68656c6c6f20776f726c642121");
const bytes kTcp4QinQ = hex("020000000002020000000001810000648100000708004500002b00010000400666ca"
                            "0a0000010a00000203e8005000003039000000005002200083090000616263");
const bytes kUdp6 = hex("02000000000202000000000186dd60000000000c114020010db80000000000000000"
                        "0000000120010db800000000000000000000000200050006000cb1ab78797a31");
// kUdp4 as a sender with checksum offload hands it over: the field holds the
// pseudo-header sum.
const bytes kUdp4Partial = hex("02000000000202000000000108004500002900010000401166c10a0000010a00"
                               "000203e807d00015142968656c6c6f20776f726c642121");

TEST(LinecardRepairs, VlanRestoreAndChecksums) {
    // A stripped tag goes back after the MACs, with its TPID.
    bytes untagged = kUdp4;
    bytes out(untagged.size() + 4);
    ASSERT_EQ(linecard_vlan_restore(out.data(), out.size(), untagged.data(), untagged.size(),
                                    0x88a8, 0x2064),
              untagged.size() + 4);
    EXPECT_EQ(bytes(out.begin(), out.begin() + 12), bytes(kUdp4.begin(), kUdp4.begin() + 12));
    EXPECT_EQ(bytes(out.begin() + 12, out.begin() + 16), (bytes{0x88, 0xa8, 0x20, 0x64}));
    EXPECT_EQ(bytes(out.begin() + 16, out.end()), bytes(kUdp4.begin() + 12, kUdp4.end()));
    // No room, or no MACs: nothing written.
    EXPECT_EQ(linecard_vlan_restore(out.data(), untagged.size() + 3, untagged.data(),
                                    untagged.size(), 0x8100, 1),
              0u);
    EXPECT_EQ(linecard_vlan_restore(out.data(), out.size(), untagged.data(), 11, 0x8100, 1), 0u);

    // Full checksums, found by parsing: IPv4 UDP, TCP behind two tags, IPv6 UDP.
    struct {
        const bytes *frame;
        size_t field;
    } cases[] = {{&kUdp4, 40}, {&kTcp4QinQ, 58}, {&kUdp6, 60}};
    for (const auto &c : cases) {
        bytes f = *c.frame;
        f[c.field] = 0x5a;
        f[c.field + 1] = 0xa5;
        EXPECT_EQ(linecard_csum_fill(f.data(), f.size()), 0);
        EXPECT_EQ(f, *c.frame) << "checksum at " << c.field;
    }
    bytes cut(kUdp4.begin(), kUdp4.end() - 3);
    EXPECT_EQ(linecard_csum_fill(cut.data(), cut.size()), -EINVAL);
    bytes arp = kUdp4;
    arp[12] = 0x08;
    arp[13] = 0x06;
    EXPECT_EQ(linecard_csum_fill(arp.data(), arp.size()), -EPROTONOSUPPORT);

    // A partial checksum finished from its start and offset.
    bytes partial = kUdp4Partial;
    EXPECT_EQ(linecard_csum_complete(partial.data(), partial.size(), 34, 6), 0);
    EXPECT_EQ(partial, kUdp4);
    EXPECT_EQ(linecard_csum_complete(partial.data(), partial.size(), 34, partial.size()), -EINVAL);
    EXPECT_EQ(linecard_csum_complete(partial.data(), partial.size(), partial.size() + 1, 0),
              -EINVAL);
}

// What the bridge's receive entry would be given.
struct seen_frame {
    bytes data; // from the Ethernet header on
    struct net_device *dev;
    int pulled;
    __be16 protocol;
    int iif;
};
std::mutex seen_lock;
std::condition_variable seen_cv;
std::vector<seen_frame> seen;
std::vector<std::string> unregistered;

int record_hook(struct sk_buff *skb) {
    {
        std::lock_guard<std::mutex> g(seen_lock);
        const u8 *mac = skb_mac_header(skb);
        seen.push_back({bytes(mac, (const u8 *)skb->data + skb->len), skb->dev,
                        int(skb->data - mac), skb->protocol, skb->skb_iif});
    }
    seen_cv.notify_all();
    kfree_skb(skb);
    return 0;
}

int record_unregister(struct notifier_block *, unsigned long event, void *ptr) {
    if (event == NETDEV_UNREGISTER) {
        std::lock_guard<std::mutex> g(seen_lock);
        unregistered.push_back(netdev_notifier_info_to_dev(ptr)->name);
        seen_cv.notify_all();
    }
    return NOTIFY_DONE;
}

// Waits for a frame with these bytes; the bound is a guard against a hang.
bool wait_seen(const bytes &frame, seen_frame *out = nullptr) {
    std::unique_lock<std::mutex> g(seen_lock);
    bool found = seen_cv.wait_for(g, std::chrono::seconds(20), [&] {
        for (const auto &s : seen)
            if (s.data == frame)
                return true;
        return false;
    });
    if (found && out)
        for (const auto &s : seen)
            if (s.data == frame)
                *out = s;
    return found;
}

bool was_seen(const bytes &frame) {
    std::lock_guard<std::mutex> g(seen_lock);
    for (const auto &s : seen)
        if (s.data == frame)
            return true;
    return false;
}

bool sh(const std::string &cmd) {
    return system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

// The far end of the wire: a packet socket on the veth peer that can hand
// frames over with checksum offload, as a host stack does.
struct far_end {
    int fd = -1;
    explicit far_end(const std::string &ifname) {
        fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
        int one = 1;
        setsockopt(fd, SOL_PACKET, PACKET_VNET_HDR, &one, sizeof(one));
        setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof(one));
        sockaddr_ll sll = {};
        sll.sll_family = AF_PACKET;
        sll.sll_protocol = htons(ETH_P_ALL);
        sll.sll_ifindex = int(if_nametoindex(ifname.c_str()));
        if (bind(fd, reinterpret_cast<sockaddr *>(&sll), sizeof(sll)) < 0) {
            close(fd);
            fd = -1;
        }
    }
    ~far_end() {
        if (fd >= 0)
            close(fd);
    }
    bool send(const bytes &frame, u16 csum_start = 0, u16 csum_offset = 0) {
        u8 vnet[10] = {};
        if (csum_start) {
            vnet[0] = 1; // needs checksum
            memcpy(vnet + 6, &csum_start, 2);
            memcpy(vnet + 8, &csum_offset, 2);
        }
        iovec iov[2] = {{vnet, sizeof(vnet)}, {(void *)frame.data(), frame.size()}};
        msghdr msg = {};
        msg.msg_iov = iov;
        msg.msg_iovlen = 2;
        return sendmsg(fd, &msg, 0) == ssize_t(frame.size() + sizeof(vnet));
    }
    // The next frame received that equals frame (others, such as the host's
    // own chatter, are passed over).
    bool receive(const bytes &frame) {
        u8 buf[4096];
        while (true) {
            pollfd pfd = {fd, POLLIN, 0};
            if (poll(&pfd, 1, 20000) <= 0)
                return false;
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n >= 10 && bytes(buf + 10, buf + n) == frame)
                return true;
        }
    }
    // Frames that pass keep, in arrival order: up to want of them, waiting for
    // each at most the guard time (0: only those already queued).
    std::vector<bytes> collect(bool (*keep)(const bytes &), size_t want, int guard_ms) {
        std::vector<bytes> got;
        static u8 buf[16384];
        while (got.size() < want) {
            pollfd pfd = {fd, POLLIN, 0};
            if (poll(&pfd, 1, guard_ms) <= 0)
                break;
            ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
            if (n >= 10 && keep(bytes(buf + 10, buf + n)))
                got.emplace_back(buf + 10, buf + n);
        }
        return got;
    }
};

std::string read_line(const std::string &path) {
    std::ifstream f(path);
    std::string s;
    std::getline(f, s);
    return s;
}

TEST(LinecardPort, VethBoundAsPort) {
    if (geteuid() != 0 || !sh("command -v ip"))
        GTEST_SKIP() << "needs root and ip(8)";
    const std::string a = "jxa" + std::to_string(getpid());
    const std::string b = "jxb" + std::to_string(getpid());
    if (!sh("ip link add " + a + " type veth peer name " + b))
        GTEST_SKIP() << "cannot create a veth pair";
    // No IPv6 chatter from the host on the wire under test.
    sh("sysctl -qw net.ipv6.conf." + a + ".disable_ipv6=1 net.ipv6.conf." + b + ".disable_ipv6=1");
    sh("ip link set " + b + " up");
    seen.clear();
    unregistered.clear();
    linecard_ethdrv_init();
    e1000e_process_frame_hook = record_hook;
    notifier_block nb = {record_unregister, nullptr, 0};
    ASSERT_EQ(register_netdevice_notifier(&nb), 0);

    EXPECT_EQ(linecard_port_bind("nosuch0"), -ENODEV);
    EXPECT_EQ(linecard_port_bind("lo"), -EPROTONOSUPPORT);
    ASSERT_EQ(linecard_port_bind(a.c_str()), 0);
    EXPECT_EQ(linecard_port_bind(a.c_str()), -EEXIST);
    struct net_device *dev = __dev_get_by_name(&init_net, a.c_str());
    ASSERT_NE(dev, nullptr);
    char mac[18];
    snprintf(mac, sizeof(mac), "%02x:%02x:%02x:%02x:%02x:%02x", dev->dev_addr[0], dev->dev_addr[1],
             dev->dev_addr[2], dev->dev_addr[3], dev->dev_addr[4], dev->dev_addr[5]);
    EXPECT_EQ(mac, read_line("/sys/class/net/" + a + "/address"));
    // The host interface is up and promiscuous while bound.
    unsigned host_flags = std::stoul(read_line("/sys/class/net/" + a + "/flags"), nullptr, 16);
    EXPECT_TRUE(host_flags & 0x1);
    EXPECT_TRUE(host_flags & 0x100);

    far_end peer(b);
    ASSERT_GE(peer.fd, 0);
    rtnl_lock();
    ASSERT_EQ(dev_open(dev), 0);
    rtnl_unlock();

    seen_frame got{};
    ASSERT_TRUE(peer.send(kUdp4));
    ASSERT_TRUE(wait_seen(kUdp4, &got));
    EXPECT_EQ(got.dev, dev);
    EXPECT_EQ(got.pulled, ETH_HLEN);
    EXPECT_EQ(got.protocol, htons(ETH_P_IP));
    EXPECT_EQ(got.iif, dev->ifindex);

    // The host strips the outer tag (802.1Q or 802.1ad); the port puts it back.
    ASSERT_TRUE(peer.send(kTcp4QinQ));
    ASSERT_TRUE(wait_seen(kTcp4QinQ, &got));
    EXPECT_EQ(got.protocol, htons(ETH_P_8021Q));
    bytes ad = kTcp4QinQ;
    ad[12] = 0x88;
    ad[13] = 0xa8;
    ASSERT_TRUE(peer.send(ad));
    EXPECT_TRUE(wait_seen(ad));

    // A sender's unfinished checksum arrives finished.
    ASSERT_TRUE(peer.send(kUdp4Partial, 34, 6));
    bytes marker = kUdp6;
    marker[5] = 0x77;
    ASSERT_TRUE(peer.send(marker));
    ASSERT_TRUE(wait_seen(marker));
    EXPECT_TRUE(was_seen(kUdp4)); // the earlier one, and now its twin
    {
        std::lock_guard<std::mutex> g(seen_lock);
        size_t n = 0;
        for (const auto &s : seen)
            n += s.data == kUdp4;
        EXPECT_EQ(n, 2u);
        for (const auto &s : seen)
            EXPECT_NE(s.data, kUdp4Partial);
    }

    // Transmit: the frame reaches the wire and is not received back.
    bytes tx = kUdp6;
    tx[0] = 0x06;
    struct sk_buff *skb = rte_skb_from_bytes(tx.data(), tx.size(), NET_SKB_PAD);
    ASSERT_NE(skb, nullptr);
    skb->dev = dev;
    EXPECT_EQ(dev_queue_xmit(skb), NETDEV_TX_OK);
    EXPECT_TRUE(peer.receive(tx));
    marker[5] = 0x78;
    ASSERT_TRUE(peer.send(marker));
    ASSERT_TRUE(wait_seen(marker));
    EXPECT_FALSE(was_seen(tx));
    EXPECT_EQ(dev->stats.tx_packets, 1u);
    EXPECT_EQ(dev->stats.tx_dropped, 0u);
    EXPECT_GE(dev->stats.rx_packets, 6u);

    // The interface goes away: so does the port's device.
    ASSERT_TRUE(sh("ip link del " + b));
    {
        std::unique_lock<std::mutex> g(seen_lock);
        EXPECT_TRUE(seen_cv.wait_for(g, std::chrono::seconds(20), [&] {
            for (const auto &n : unregistered)
                if (n == a)
                    return true;
            return false;
        }));
    }
    EXPECT_EQ(__dev_get_by_name(&init_net, a.c_str()), nullptr);
    EXPECT_EQ(linecard_port_unbind(a.c_str()), -ENODEV);
    linecard_port_unbind_all();
    unregister_netdevice_notifier(&nb);
    linecard_ethdrv_fini();
    rte_skb_pool_stats st = rte_skb_pool_get_stats();
    EXPECT_EQ(st.skbs_in_use, 0u);
    EXPECT_EQ(st.buffers_in_use, 0u);
}

// Frames the transmit test sends: its own EtherType, a sequence number after
// the header, a pattern filling the rest.
bytes tx_frame(u32 seq, size_t len) {
    bytes f(len);
    const bytes hdr = hex("020000000002"
                          "020000000001"
                          "88b5");
    for (size_t i = 0; i < len; i++)
        f[i] = i < hdr.size() ? hdr[i] : i < 18 ? u8(seq >> (8 * (17 - i))) : u8(i * 7 + seq);
    return f;
}

bool is_tx_frame(const bytes &f) {
    return f.size() >= 18 && f[12] == 0x88 && f[13] == 0xb5 && f[11] == 1;
}

u32 tx_seq(const bytes &f) {
    return u32(f[14]) << 24 | u32(f[15]) << 16 | u32(f[16]) << 8 | f[17];
}

void xmit(struct net_device *dev, const bytes &f) {
    struct sk_buff *skb = rte_skb_from_bytes(f.data(), f.size(), NET_SKB_PAD);
    ASSERT_NE(skb, nullptr);
    skb->dev = dev;
    EXPECT_EQ(dev_queue_xmit(skb), NETDEV_TX_OK);
}

// A veth pair with jumbo MTU, gone with the object; made is
// false (and why says so) where the host cannot make one.
struct jumbo_veth {
    std::string a, b, why;
    bool made = false;
    jumbo_veth(const char *pa, const char *pb)
        : a(pa + std::to_string(getpid())), b(pb + std::to_string(getpid())) {
        if (geteuid() != 0 || !sh("command -v ip")) {
            why = "needs root and ip(8)";
            return;
        }
        if (!sh("ip link add " + a + " mtu 9000 type veth peer name " + b + " mtu 9000")) {
            why = "cannot create a veth pair";
            return;
        }
        made = true;
        sh("sysctl -qw net.ipv6.conf." + a + ".disable_ipv6=1 net.ipv6.conf." + b +
           ".disable_ipv6=1");
    }
    ~jumbo_veth() {
        if (made)
            sh("ip link del " + a);
    }
};

TEST(LinecardPort, TransmitThroughTheRing) {
    jumbo_veth v("jxta", "jxtb");
    if (!v.made)
        GTEST_SKIP() << v.why;
    const std::string &a = v.a, &b = v.b;
    ASSERT_TRUE(sh("ip link set " + b + " up"));
    ASSERT_EQ(linecard_port_bind(a.c_str()), 0);
    struct net_device *dev = __dev_get_by_name(&init_net, a.c_str());
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->mtu, 9000u);
    far_end peer(b);
    ASSERT_GE(peer.fd, 0);
    // Room for every frame of the full-ring case on the listening side.
    int rcvbuf = 64 << 20;
    setsockopt(peer.fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf));
    rtnl_lock();
    ASSERT_EQ(dev_open(dev), 0);
    rtnl_unlock();
    const net_device_stats &st = dev->stats;

    // Inside a batch, frames reach the wire only when it ends, in order.
    rte_xmit_batch_begin();
    std::vector<bytes> sent;
    for (u32 i = 0; i < 3; i++) {
        sent.push_back(tx_frame(i, 60 + i));
        xmit(dev, sent.back());
    }
    EXPECT_TRUE(peer.collect(is_tx_frame, 1, 0).empty());
    EXPECT_EQ(st.tx_packets, 0u);
    rte_xmit_batch_end();
    EXPECT_EQ(peer.collect(is_tx_frame, 3, 20000), sent);
    EXPECT_EQ(st.tx_packets, 3u);
    EXPECT_EQ(st.tx_bytes, 60u + 61 + 62);

    // Outside one, at once.
    sent = {tx_frame(3, 1514)};
    xmit(dev, sent[0]);
    EXPECT_EQ(peer.collect(is_tx_frame, 1, 20000), sent);
    EXPECT_EQ(st.tx_bytes, 60u + 61 + 62 + 1514);

    // A frame longer than a slot goes by send() behind what the ring holds,
    // without waiting for the batch; one above the MTU and a runt are dropped.
    rte_xmit_batch_begin();
    sent = {tx_frame(4, 60), tx_frame(5, 4000)};
    xmit(dev, sent[0]);
    xmit(dev, sent[1]);
    xmit(dev, tx_frame(6, 9000 + ETH_HLEN + VLAN_HLEN + 1));
    xmit(dev, bytes(10, 0xee));
    EXPECT_EQ(peer.collect(is_tx_frame, 2, 20000), sent);
    rte_xmit_batch_end();
    EXPECT_EQ(st.tx_packets, 6u);
    EXPECT_EQ(st.tx_bytes, 60u + 61 + 62 + 1514 + 60 + 4000);
    EXPECT_EQ(st.tx_dropped, 2u);

    // More frames than the ring holds in one batch: a full ring is flushed
    // and refilled; what is not sent is counted, and nothing arrives twice.
    const unsigned n = 3 * LC_TX_FRAME_NR;
    const unsigned long packets0 = st.tx_packets, bytes0 = st.tx_bytes, dropped0 = st.tx_dropped;
    // What the host's veth drops on its way to the peer (its backlog is
    // shorter than the burst when the machine is busy) never reaches the peer.
    const std::string host_drops = "/sys/class/net/" + a + "/statistics/tx_dropped";
    const unsigned long lost0 = std::stoul(read_line(host_drops));
    rte_xmit_batch_begin();
    for (u32 i = 0; i < n; i++)
        xmit(dev, tx_frame(100 + i, 60));
    rte_xmit_batch_end();
    const unsigned long went = st.tx_packets - packets0;
    EXPECT_EQ(went + st.tx_dropped - dropped0, n);
    EXPECT_GT(went, LC_TX_FRAME_NR);
    EXPECT_EQ(st.tx_bytes - bytes0, went * 60);
    const unsigned long lost = std::stoul(read_line(host_drops)) - lost0;
    ASSERT_LE(lost, went);
    std::vector<bytes> got = peer.collect(is_tx_frame, went - lost, 20000);
    ASSERT_EQ(got.size(), went - lost);
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i], tx_frame(tx_seq(got[i]), 60));
        if (i) {
            EXPECT_GT(tx_seq(got[i]), tx_seq(got[i - 1]));
        }
    }
    EXPECT_TRUE(peer.collect(is_tx_frame, 1, 0).empty());

    // The host refuses (interface down): every frame is dropped and counted,
    // and none is sent late once the interface is back.
    ASSERT_TRUE(sh("ip link set " + a + " down"));
    const unsigned long packets1 = st.tx_packets, dropped1 = st.tx_dropped;
    rte_xmit_batch_begin();
    for (u32 i = 0; i < LC_TX_FRAME_NR + 10; i++)
        xmit(dev, tx_frame(5000 + i, 60));
    rte_xmit_batch_end();
    xmit(dev, tx_frame(6000, 60));
    EXPECT_EQ(st.tx_packets, packets1);
    EXPECT_EQ(st.tx_dropped - dropped1, LC_TX_FRAME_NR + 11);
    ASSERT_TRUE(sh("ip link set " + a + " up"));
    sent = {tx_frame(7000, 60)};
    xmit(dev, sent[0]);
    EXPECT_EQ(peer.collect(is_tx_frame, 1, 20000), sent);

    // Unbound inside a batch: what the ring held still goes, and the batch's
    // end finds nothing of the port.
    rte_xmit_batch_begin();
    sent = {tx_frame(8000, 60)};
    xmit(dev, sent[0]);
    EXPECT_EQ(linecard_port_unbind(a.c_str()), 0);
    rte_xmit_batch_end();
    EXPECT_EQ(peer.collect(is_tx_frame, 1, 20000), sent);
    rte_skb_pool_stats pool = rte_skb_pool_get_stats();
    EXPECT_EQ(pool.skbs_in_use, 0u);
    EXPECT_EQ(pool.buffers_in_use, 0u);
}

// The receive ring wraps without losing or reordering a frame, and a frame
// longer than a slot is dropped and counted, not cut.
TEST(LinecardPort, ReceiveRingWrapsAndRefusesLongFrames) {
    jumbo_veth v("jxra", "jxrb");
    if (!v.made)
        GTEST_SKIP() << v.why;
    const std::string &a = v.a, &b = v.b;
    ASSERT_TRUE(sh("ip link set " + b + " up"));
    seen.clear();
    linecard_ethdrv_init();
    e1000e_process_frame_hook = record_hook;
    ASSERT_EQ(linecard_port_bind(a.c_str()), 0);
    struct net_device *dev = __dev_get_by_name(&init_net, a.c_str());
    ASSERT_NE(dev, nullptr);
    far_end peer(b);
    ASSERT_GE(peer.fd, 0);
    rtnl_lock();
    ASSERT_EQ(dev_open(dev), 0);
    rtnl_unlock();

    ASSERT_TRUE(peer.send(tx_frame(0, 3000)));
    const u32 n = 2 * LC_RX_FRAME_NR + 100;
    for (u32 i = 1; i <= n; i++) {
        ASSERT_TRUE(peer.send(tx_frame(i, 60)));
        // In steps the ring holds, so that the host drops none.
        if (i % 256 == 0) {
            std::unique_lock<std::mutex> g(seen_lock);
            ASSERT_TRUE(
                seen_cv.wait_for(g, std::chrono::seconds(20), [&] { return seen.size() >= i; }));
        }
    }
    ASSERT_TRUE(wait_seen(tx_frame(n, 60)));
    std::vector<u32> seqs;
    {
        std::lock_guard<std::mutex> g(seen_lock);
        for (const auto &f : seen)
            if (is_tx_frame(f.data)) {
                EXPECT_EQ(f.data, tx_frame(tx_seq(f.data), 60));
                seqs.push_back(tx_seq(f.data));
            }
    }
    ASSERT_EQ(seqs.size(), n);
    for (u32 i = 0; i < n; i++)
        ASSERT_EQ(seqs[i], i + 1);
    EXPECT_EQ(dev->stats.rx_length_errors, 1u);
    EXPECT_EQ(linecard_port_unbind(a.c_str()), 0);
    linecard_ethdrv_fini();
    rte_skb_pool_stats pool = rte_skb_pool_get_stats();
    EXPECT_EQ(pool.skbs_in_use, 0u);
    EXPECT_EQ(pool.buffers_in_use, 0u);
}

} // namespace
