// Management devices and application filters, driven as the host and the
// daemons do: control-file ioctls and commands, frames the host sends on a
// device, frames the host's stack receives (recorded host links).
#include "wire_bridge.h"

#include "linecard/hostlink.h"
#include "sources/jxmng/jxmng.h"
#include "sources/jxmng/jxmng_ioctl.h"

#include <thread>

extern int jxmng_debug;

namespace jxtest {
namespace {

const char *MNG = JXMNG_PROC_CONFIG;

long mng_ioctl_name(unsigned cmd, const char *name) {
    char buf[JXMNG_NAME_SIZE + 8] = {};
    strncpy(buf, name, sizeof(buf) - 1);
    return proc_ioctl(MNG, cmd, (unsigned long)buf);
}

frame ipv4_udp(const frame &dst, const frame &src, u16 dport, size_t payload, u8 ihl = 5) {
    frame f = eth(dst, src, 0x0800, 0);
    size_t ip = f.size();
    f.resize(ip + ihl * 4 + 8 + payload, 0);
    f[ip] = (u8)(0x40 | ihl);
    f[ip + 8] = 64;
    f[ip + 9] = 17;
    f[ip + ihl * 4 + 2] = (u8)(dport >> 8);
    f[ip + ihl * 4 + 3] = (u8)dport;
    return f;
}

// A BOOTP request whose client hardware address is chaddr.
frame dhcp(const frame &dst, const frame &src, const frame &chaddr) {
    frame f = ipv4_udp(dst, src, 67, 240);
    std::copy(chaddr.begin(), chaddr.end(), f.begin() + 14 + 20 + 8 + 28);
    return f;
}

const frame BC = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

class MngTest : public WireBridgeTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(linecard_hostlink_start(LINECARD_HOSTLINK_RECORD), 0);
        WireBridgeTest::SetUp();
        ASSERT_EQ(rte_module_load("jxmng_mod"), 0);
    }
    void TearDown() override {
        WireBridgeTest::TearDown();
        linecard_hostlink_stop();
    }
    net_device *mng(const char *name, bool up = true) {
        EXPECT_EQ(mng_dev_add(name), 0) << name;
        net_device *d = dev_get_by_name(&init_net, name);
        EXPECT_NE(d, nullptr);
        if (d) {
            dev_put(d);
            if (up)
                link(d, true);
        }
        return d;
    }
    void link(net_device *d, bool up) {
        rtnl_lock();
        up ? dev_open(d) : dev_close(d);
        rtnl_unlock();
    }
    jxbridge_port *local(net_device *d) {
        mutex_lock(&jxbridge_lock);
        jxbridge_port *p = jxbridge_add_port(br, 0xFFFFFFFF, 0, d, JXBRIDGE_PORT_LOCAL);
        mutex_unlock(&jxbridge_lock);
        return p;
    }
    long cmd(const std::string &text) { return proc_write(BR, text); }
};

TEST_F(MngTest, DevicesComeAndGoThroughTheControlFile) {
    EXPECT_EQ(mng_ioctl_name(JXMNG_IOCTL_DEV_ADD, "mng%d"), 0);
    EXPECT_EQ(mng_ioctl_name(JXMNG_IOCTL_DEV_ADD, "mng%d"), 0);
    EXPECT_NE(__dev_get_by_name(&init_net, "mng0"), nullptr);
    EXPECT_NE(__dev_get_by_name(&init_net, "mng1"), nullptr);
    EXPECT_EQ(mng_ioctl_name(JXMNG_IOCTL_DEV_ADD, "mng0"), -EEXIST);
    // Sixteen characters would be cut to a fifteen-character name of another device.
    ASSERT_EQ(mng_dev_add("mngabcdefghijkl"), 0);
    EXPECT_EQ(mng_ioctl_name(JXMNG_IOCTL_DEV_ADD, "mngabcdefghijklm"), -EINVAL);
    EXPECT_EQ(mng_ioctl_name(JXMNG_IOCTL_DEV_DEL, "mngabcdefghijklm"), -EINVAL);
    EXPECT_NE(__dev_get_by_name(&init_net, "mngabcdefghijkl"), nullptr);

    u32 version = 0;
    EXPECT_EQ(proc_ioctl(MNG, JXMNG_IOCTL_API_VERSION, (unsigned long)&version), 0);
    EXPECT_EQ(version, 3u);
    EXPECT_EQ(proc_ioctl(MNG, JXMNG_IOCTL_API_VERSION, 0), -EINVAL);
    EXPECT_EQ(proc_ioctl(MNG, JXMNG_IOCTL_DEBUG, 1), 0);
    EXPECT_EQ(jxmng_debug, 1);
    EXPECT_EQ(proc_ioctl(MNG, JXMNG_IOCTL_DEBUG, 0), 0);
    EXPECT_EQ(proc_ioctl(MNG, 0x40046d04, 0), -EINVAL);

    net_device *m1 = __dev_get_by_name(&init_net, "mng1");
    EXPECT_TRUE(m1->flags & IFF_NOARP);
    EXPECT_TRUE(m1->flags & IFF_PROMISC);
    link(m1, true);
    EXPECT_EQ(mng_ioctl_name(JXMNG_IOCTL_DEV_DEL, "mng1"), -EBUSY);
    link(m1, false);
    EXPECT_EQ(mng_ioctl_name(JXMNG_IOCTL_DEV_DEL, "mng1"), 0);
    EXPECT_EQ(__dev_get_by_name(&init_net, "mng1"), nullptr);
    EXPECT_EQ(mng_ioctl_name(JXMNG_IOCTL_DEV_DEL, "mng1"), -ENODEV);
    // Only its own devices: a port the line card bound is not the module's to delete.
    port("eth1", JXBRIDGE_PORT_UPLINK);
    EXPECT_EQ(mng_dev_del("eth1"), -ENODEV);
    EXPECT_NE(__dev_get_by_name(&init_net, "eth1"), nullptr);
    // What is left goes with the module.
    EXPECT_EQ(rte_module_unload("jxmng_mod"), 0);
    EXPECT_EQ(__dev_get_by_name(&init_net, "mng0"), nullptr);
    EXPECT_EQ(proc_cat(MNG), "<no such file>");
}

TEST_F(MngTest, HostTrafficCrossesTheBridgeAndTheMnFlagStopsIt) {
    net_device *m = mng("mng0");
    jxbridge_port *mp = local(m);
    ASSERT_NE(mp, nullptr);
    jxbridge_port *a = port("acc1");
    frame hw(m->dev_addr, m->dev_addr + 6);

    // The host's frame enters as received on mng0.
    frame out = eth(mac(1), hw, 0x0800, 80);
    linecard_hostlink_send(m, out);
    auto got = tx(a);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], out);
    EXPECT_EQ(m->stats.tx_packets, 1u);
    EXPECT_EQ(m->stats.tx_bytes, out.size() - ETH_HLEN);

    // The answer goes up the host's stack whole; counted as handed over.
    frame back = eth(hw, mac(1), 0x0800, 80);
    rx(a, back);
    auto up = linecard_hostlink_take(m);
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0], back);
    EXPECT_EQ(m->stats.rx_packets, 1u);
    EXPECT_EQ(m->stats.rx_bytes, back.size() - ETH_HLEN);

    // A subscriber without the MN flag does not reach the host.
    EXPECT_GT(cmd("set_mn_flag acc1 0"), 0);
    rx(a, back);
    EXPECT_TRUE(linecard_hostlink_take(m).empty());
    EXPECT_EQ(mp->counters.drop_mn_flag, 1u);
    // ont0 hears every port.
    net_device *o = mng("ont0");
    ASSERT_NE(local(o), nullptr);
    rx(a, eth(BC, mac(1), 0x0806));
    EXPECT_EQ(linecard_hostlink_take(o).size(), 1u);
    EXPECT_TRUE(linecard_hostlink_take(m).empty());
    EXPECT_EQ(mp->counters.drop_mn_flag, 2u);

    // A device of no bridge, or a bridge without its receive entry, frees
    // what the host sends and counts it.
    net_device *lone = mng("mng7");
    linecard_hostlink_send(lone, out);
    EXPECT_EQ(lone->stats.rx_dropped, 1u);
    jxbridge_frame_hook_fn hook = bridge_process_frame_hook;
    bridge_process_frame_hook = nullptr;
    linecard_hostlink_send(m, out);
    bridge_process_frame_hook = hook;
    EXPECT_EQ(m->stats.tx_dropped, 1u);
    EXPECT_EQ(m->stats.tx_packets, 1u);
    link(o, false);
    link(m, false);
    link(lone, false);
}

class AppFilterTest : public MngTest {
  protected:
    net_device *fdev = nullptr;
    jxbridge_port *acc = nullptr, *up = nullptr;
    void SetUp() override {
        MngTest::SetUp();
        acc = port("acc1", JXBRIDGE_PORT_ACCESS, 101);
        up = port("eth1", JXBRIDGE_PORT_UPLINK, 1);
        fdev = mng("dhcp0");
    }
    void TearDown() override {
        if (fdev)
            link(fdev, false);
        MngTest::TearDown();
    }
    // The daemon's answer: the delivered header turned round, with a frame.
    frame reply(const frame &delivered, const frame &eth_frame, u16 out_bll, u8 flags = 0,
                int from_bll = -1) {
        frame f(delivered.begin(), delivered.begin() + APP_FRAME_INFO_LEN);
        app_frame_info fi;
        EXPECT_EQ(app_frame_info_decode(f.data(), f.size(), &fi), 0);
        fi.out_bll_port_no = out_bll;
        if (from_bll >= 0)
            fi.bll_port_no = (u16)from_bll;
        fi.cb[APP_FI_FLAGS_OFFSET] |= flags;
        f.insert(f.end(), eth_frame.begin(), eth_frame.end());
        fi.total_len = (u32)f.size();
        app_frame_info_encode(&fi, f.data());
        return f;
    }
    frame list(const frame &hdr, std::vector<u16> ports) {
        u8 buf[64];
        size_t n = app_fwd_list_encode(buf, sizeof(buf), ports.data(), (u32)ports.size());
        return reply(hdr, frame(buf, buf + n), 0, APP_FI_F_FWD_LIST, 500);
    }
};

TEST_F(AppFilterTest, RegistrationsFromTheBridgeFile) {
    EXPECT_GT(cmd("app_filters add dhcp dhcp0"), 0);
    EXPECT_TRUE(fdev->priv_flags & IFF_BRIDGE_PORT);
    // The same kind again, on another device: nothing changes.
    net_device *other = mng("dhcp1");
    EXPECT_GT(cmd("app_filters add dhcp dhcp1"), 0);
    EXPECT_FALSE(other->priv_flags & IFF_BRIDGE_PORT);
    EXPECT_EQ(cmd("app_filters add dhcpx dhcp1"), -1);
    EXPECT_EQ(cmd("app_filters add pppoe nosuch"), -ENODEV);
    // Eight kinds fill the slots; the same devices serve several of them.
    for (const char *k : {"igmp", "stp", "cfm", "mld", "dhcpv6", "icmpv6", "pppoe"})
        EXPECT_GT(cmd(std::string("app_filters add ") + k + " dhcp0"), 0) << k;
    mutex_lock(&jxbridge_lock);
    EXPECT_EQ(app_filter_unregister(br->app_filters, "stp"), 0);
    EXPECT_EQ(app_filter_unregister(br->app_filters, "stp"), -ENOENT);
    EXPECT_EQ(app_filter_unregister(br->app_filters, "stpx"), -EINVAL);
    mutex_unlock(&jxbridge_lock);
    // The ioctls: add by record, delete by name, debug by value.
    app_filter_request r = {};
    strcpy(r.filter, "stp");
    strcpy(r.device, "dhcp1");
    EXPECT_EQ(proc_ioctl(BR, BRIDGE_IOCTL_APP_FILTER_ADD, (unsigned long)&r), 0);
    EXPECT_TRUE(other->priv_flags & IFF_BRIDGE_PORT);
    strcpy(r.filter, "igmp");
    EXPECT_EQ(proc_ioctl(BR, BRIDGE_IOCTL_APP_FILTER_ADD, (unsigned long)&r), 0); // already there
    jxbridge_proc_name n = {};
    strcpy(n.name, "stp");
    EXPECT_EQ(proc_ioctl(BR, BRIDGE_IOCTL_APP_FILTER_DEL, (unsigned long)&n), 0);
    EXPECT_FALSE(other->priv_flags & IFF_BRIDGE_PORT);
    EXPECT_EQ(proc_ioctl(BR, BRIDGE_IOCTL_APP_FILTER_DEBUG, 3), 0);
    EXPECT_EQ(app_filter_debug, 3);
    app_filter_debug = 0;
    link(other, false);

    // Each device keeps its own operations, and gets them back.
    net_device *w = linecard_wire_add("wf0");
    const net_device_ops *mng_ops = other->netdev_ops, *wire_ops = w->netdev_ops;
    mutex_lock(&jxbridge_lock);
    EXPECT_EQ(app_filter_unregister(br->app_filters, "pppoe"), 0);
    EXPECT_EQ(app_filter_unregister(br->app_filters, "cfm"), 0);
    EXPECT_EQ(app_filter_register(br->app_filters, "pppoe", "dhcp1", nullptr), 0);
    EXPECT_EQ(app_filter_register(br->app_filters, "cfm", "wf0", nullptr), 0);
    EXPECT_EQ(w->netdev_ops->ndo_get_stats, wire_ops->ndo_get_stats);
    EXPECT_EQ(other->netdev_ops->ndo_open, mng_ops->ndo_open);
    EXPECT_NE(w->netdev_ops->ndo_start_xmit, wire_ops->ndo_start_xmit);
    EXPECT_EQ(app_filter_unregister(br->app_filters, "cfm"), 0);
    EXPECT_EQ(app_filter_unregister(br->app_filters, "pppoe"), 0);
    mutex_unlock(&jxbridge_lock);
    EXPECT_EQ(w->netdev_ops, wire_ops);
    EXPECT_EQ(other->netdev_ops, mng_ops);
    linecard_wire_del(w);
}

TEST_F(AppFilterTest, DhcpGoesThroughTheDaemonAndBack) {
    ASSERT_GT(cmd("app_filters add dhcp dhcp0"), 0);
    frame req = dhcp(BC, mac(1), mac(1));
    rx(acc, req);
    EXPECT_TRUE(tx(up).empty()); // taken, not flooded
    auto got = linecard_hostlink_take(fdev);
    ASSERT_EQ(got.size(), 1u);
    const frame d = got[0];
    // As the bridge holds it: the port's VLAN tagged in.
    frame tagged = req;
    const u8 tag[4] = {0x81, 0x00, 0x00, 0x01};
    tagged.insert(tagged.begin() + 12, tag, tag + 4);
    ASSERT_EQ(d.size(), APP_FRAME_INFO_LEN + tagged.size());
    app_frame_info fi;
    ASSERT_EQ(app_frame_info_decode(d.data(), d.size(), &fi), 0);
    EXPECT_EQ(fi.total_len, d.size());
    EXPECT_EQ(fi.bll_port_no, 101);
    EXPECT_EQ(fi.out_bll_port_no, 0);
    EXPECT_STREQ(fi.rx_dev, "acc1");
    EXPECT_STREQ(fi.port_dev, "acc1");
    EXPECT_EQ(frame(d.begin() + APP_FRAME_INFO_LEN, d.end()), tagged);
    EXPECT_EQ(fdev->stats.rx_packets, 1u);

    // Sent back with no output port: a broadcast floods, never to its port.
    linecard_hostlink_send(fdev, reply(d, tagged, 0));
    got = tx(up);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], req);
    EXPECT_TRUE(tx(acc).empty());
    // To a named port; and an offer to the client by its learned MAC, as
    // from the uplink.
    linecard_hostlink_send(fdev, reply(d, tagged, 1));
    EXPECT_EQ(tx(up).size(), 1u);
    frame offer = ipv4_udp(mac(1), mac(9), 68, 240);
    frame offer_tagged = offer;
    offer_tagged.insert(offer_tagged.begin() + 12, tag, tag + 4);
    linecard_hostlink_send(fdev, reply(d, offer_tagged, 0, 0, 1));
    got = tx(acc);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], offer);
    EXPECT_EQ(fdev->stats.tx_packets, 3u);

    // The bridge's own client is not the filter's; a relayed one is.
    memcpy(br->local_mac, mac(7).data(), 6);
    rx(acc, dhcp(mac(7), mac(1), mac(7)));
    EXPECT_TRUE(linecard_hostlink_take(fdev).empty());
    rx(acc, dhcp(mac(7), mac(1), mac(1)));
    EXPECT_EQ(linecard_hostlink_take(fdev).size(), 1u);
    // A header length that reaches past the frame, and a frame cut before
    // the client address, are simply not DHCP.
    frame cut = ipv4_udp(BC, mac(1), 67, 0, 15);
    cut.resize(14 + 24);
    rx(acc, cut);
    frame shortc = dhcp(mac(7), mac(1), mac(1));
    shortc.resize(14 + 20 + 8 + 30);
    rx(acc, shortc);
    EXPECT_TRUE(linecard_hostlink_take(fdev).empty());
    drain();
    // A filter device that is down leaves the frame to the bridge.
    link(fdev, false);
    rx(acc, req);
    EXPECT_EQ(tx(up).size(), 1u);
    EXPECT_TRUE(linecard_hostlink_take(fdev).empty());
    link(fdev, true);
}

TEST_F(AppFilterTest, ShortWritesAndForwardLists) {
    ASSERT_GT(cmd("app_filters add dhcp dhcp0"), 0);
    rx(acc, dhcp(BC, mac(1), mac(1)));
    const frame d = linecard_hostlink_take(fdev).at(0);
    frame hdr(d.begin(), d.begin() + APP_FRAME_INFO_LEN);

    // 107 and 108 bytes are too short for a frame; 121 hold a bare
    // Ethernet header, and go when the header's length agrees.
    frame bare = eth(BC, mac(1), 0x88b5, 0);
    frame r = reply(hdr, bare, 0);
    ASSERT_EQ(r.size(), 121u);
    linecard_hostlink_send(fdev, frame(r.begin(), r.begin() + 107));
    frame r108(r.begin(), r.begin() + 108);
    linecard_hostlink_send(fdev, r108);
    EXPECT_EQ(fdev->stats.rx_dropped, 2u);
    frame wrong = r;
    wrong[48]++;
    linecard_hostlink_send(fdev, wrong);
    EXPECT_EQ(fdev->stats.rx_dropped, 3u);
    linecard_hostlink_send(fdev, r);
    EXPECT_EQ(fdev->stats.rx_dropped, 3u);
    EXPECT_EQ(fdev->stats.tx_packets, 1u);

    // A count whose size wraps 32 bits is refused, not trusted.
    frame huge = list(hdr, {1});
    u32 n = 0x7FFFFFFF;
    memcpy(huge.data() + APP_FRAME_INFO_LEN, &n, 4);
    linecard_hostlink_send(fdev, huge);
    EXPECT_EQ(fdev->stats.rx_dropped, 4u);
    frame zero = eth(mac(1), frame(6, 0), 0x0800);
    linecard_hostlink_send(fdev, reply(hdr, zero, 0));
    EXPECT_EQ(fdev->stats.rx_dropped, 5u);

    // Two lists, then the frame: the union of both lists.
    jxbridge_port *c = port("acc2", JXBRIDGE_PORT_ACCESS, 102);
    linecard_hostlink_send(fdev, list(hdr, {101, 999}));
    linecard_hostlink_send(fdev, list(hdr, {102}));
    frame f = eth(mac(5), mac(1), 0x0800, 46, 1);
    linecard_hostlink_send(fdev, reply(hdr, f, 0, 0, 500));
    EXPECT_EQ(tx(acc).size(), 1u);
    EXPECT_EQ(tx(c).size(), 1u);
    EXPECT_TRUE(tx(up).empty());
    // The lists were used up: the next frame is looked up again (flooded).
    linecard_hostlink_send(fdev, reply(hdr, f, 0, 0, 500));
    EXPECT_EQ(tx(up).size(), 1u);
    EXPECT_EQ(tx(c).size(), 1u);
    // A sender holds its lists until its frame, and no more than a bound.
    for (int i = 0; i < 100; i++)
        linecard_hostlink_send(fdev, list(hdr, {102}));
    EXPECT_EQ(fdev->stats.rx_dropped, 5u + 100 - 64);
    // The bridge's deletion frees what is held.
}

// An MLD report whose hop-by-hop header holds the options given.
frame mld(std::initializer_list<u8> options, u8 type = 143) {
    frame f = eth({0x33, 0x33, 0, 0, 0, 0x16}, mac(1), 0x86DD, 0);
    frame ip(40, 0);
    ip[0] = 0x60;
    ip[6] = 0; // hop-by-hop
    ip[7] = 1;
    ip[8] = 0xfe;
    ip[9] = 0x80;
    ip[23] = 1;
    f.insert(f.end(), ip.begin(), ip.end());
    f.push_back(58);
    f.push_back(0);
    f.insert(f.end(), options);
    f.push_back(type);
    f.resize(f.size() + 27, 0);
    return f;
}

TEST_F(AppFilterTest, ClassifiersReadOnlyWhatIsThere) {
    ASSERT_GT(cmd("app_filters add mld dhcp0"), 0);
    ASSERT_GT(cmd("app_filters add igmp dhcp0"), 0);
    rx(acc, mld({5, 2, 0, 0, 1, 0}));
    EXPECT_EQ(linecard_hostlink_take(fdev).size(), 1u);
    // Router Alert must come first; a report cut before its type is none.
    rx(acc, mld({1, 0, 5, 2, 0, 0}));
    frame cut = mld({5, 2, 0, 0, 1, 0});
    cut.resize(14 + 40 + 8);
    rx(acc, cut);
    rx(acc, mld({5, 2, 0, 0, 1, 0}, 128));
    EXPECT_TRUE(linecard_hostlink_take(fdev).empty());
    frame igmp = ipv4_udp({0x01, 0, 0x5e, 0, 0, 0x16}, mac(1), 0, 8);
    igmp[14 + 9] = 2;
    rx(acc, igmp);
    EXPECT_EQ(linecard_hostlink_take(fdev).size(), 1u);
    igmp[3] = 0x80;
    rx(acc, igmp);
    EXPECT_TRUE(linecard_hostlink_take(fdev).empty());
}

// A module's callback gets the frame with the lock held and sends with bit 6;
// a sender outside the pipeline that sets bit 6 still gets the lock taken.
struct sk_buff *cb_frame;
int keep_frame(struct sk_buff *skb) {
    EXPECT_TRUE(mutex_is_owner(&jxbridge_lock));
    cb_frame = skb;
    return 0;
}

TEST_F(AppFilterTest, CallbacksAndTheLock) {
    mutex_lock(&jxbridge_lock);
    ASSERT_EQ(app_filter_register(br->app_filters, "pppoe", "dhcp0", keep_frame), 0);
    mutex_unlock(&jxbridge_lock);
    frame padi = eth(BC, mac(1), ETH_P_PPP_DISC);
    rx(acc, padi);
    ASSERT_NE(cb_frame, nullptr);
    EXPECT_TRUE(cb_frame->data[APP_FI_FLAGS_OFFSET] & APP_FI_F_LOCKED);
    frame hdr(cb_frame->data, cb_frame->data + APP_FRAME_INFO_LEN);
    kfree_skb(cb_frame);
    // From this thread, which does not hold the lock, bit 6 set.
    frame r = reply(hdr, padi, 1, APP_FI_F_LOCKED);
    struct sk_buff *skb = rte_skb_from_bytes(r.data(), (unsigned)r.size(), 64);
    jxbridge_app_filter_xmit(skb, fdev);
    EXPECT_EQ(tx(up).size(), 1u);
    EXPECT_FALSE(mutex_is_owner(&jxbridge_lock));
}

// With the receive thread on, frames a daemon sends wait on the queue while
// the filter device or the bridge goes away.
TEST_F(AppFilterTest, DeletionWhileFramesWait) {
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "threaded enable on"), 0);
    rtnl_lock();
    dev_close(br->dev); // so that it can go; the filter's frames do not care
    rtnl_unlock();
    ASSERT_GT(cmd("app_filters add dhcp dhcp0"), 0);
    app_frame_info fi = {};
    fi.bll_port_no = 101;
    frame hdr(APP_FRAME_INFO_LEN);
    app_frame_info_encode(&fi, hdr.data());
    frame r = reply(hdr, eth(BC, mac(1), 0x0800, 46, 1), 1);
    for (int round = 0; round < 2; round++) {
        std::atomic<bool> stop{false};
        std::thread sender([&] {
            while (!stop)
                linecard_hostlink_send(fdev, r);
        });
        for (int i = 0; i < 50; i++)
            std::this_thread::yield();
        if (round == 0) {
            link(fdev, false);
            stop = true;
            sender.join();
            EXPECT_EQ(mng_dev_del("dhcp0"), 0);
            fdev = mng("dhcp0");
            ASSERT_GT(cmd("app_filters add dhcp dhcp0"), 0);
        } else {
            EXPECT_GT(proc_write("/proc/net/jxbridge/config", "del br0"), 0);
            stop = true;
            sender.join();
            br = nullptr;
        }
    }
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add br0 12"), 0);
    br = jxbridge_find("br0");
    rtnl_lock();
    dev_open(br->dev);
    rtnl_unlock();
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "threaded enable off"), 0);
}

} // namespace
} // namespace jxtest
