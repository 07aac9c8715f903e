// A bridge over real interfaces: two veth ends bound as line-card ports and
// added to a bridge; frames sent on their peers reach the bridge's receive
// entry while the bridge is up, and only then.
#include "jxtest.h"

#include "kernel/netdevice.h"
#include "sources/jxbridge/jxbridge.h"

#include <chrono>
#include <cstdlib>
#include <linux/if_packet.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace jxtest;

extern "C" unsigned int if_nametoindex(const char *ifname);

namespace {

bool sh(const std::string &cmd) {
    return system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

// Sends count broadcast frames of a local experimental ethertype on ifname.
bool send_frames(const std::string &ifname, int count) {
    int fd = socket(AF_PACKET, SOCK_RAW, 0);
    if (fd < 0)
        return false;
    sockaddr_ll sll = {};
    sll.sll_family = AF_PACKET;
    sll.sll_ifindex = (int)if_nametoindex(ifname.c_str());
    sll.sll_halen = 6;
    memset(sll.sll_addr, 0xff, 6);
    u8 frame[60] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0, 0, 0, 0, 1, 0x88, 0xb5};
    bool ok = true;
    for (int i = 0; i < count && ok; i++) {
        frame[20] = (u8)i;
        ok = sendto(fd, frame, sizeof(frame), 0, (sockaddr *)&sll, sizeof(sll)) == sizeof(frame);
    }
    close(fd);
    return ok;
}

// Waits for cond while the node's threads work; the bound guards against a
// hang and is no timing requirement.
template <typename F> bool eventually(F cond) {
    for (int i = 0; i < 2000; i++) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

class WireTest : public ModuleTest {
  protected:
    std::string a1, b1, a2, b2;

    void SetUp() override {
        if (geteuid() != 0 || !sh("command -v ip"))
            GTEST_SKIP() << "needs root and ip(8)";
        std::string id = std::to_string(getpid());
        a1 = "jxwa" + id, b1 = "jxwb" + id, a2 = "jxwc" + id, b2 = "jxwd" + id;
        if (!sh("ip link add " + a1 + " type veth peer name " + b1) ||
            !sh("ip link add " + a2 + " type veth peer name " + b2))
            GTEST_SKIP() << "cannot create veth pairs";
        for (auto &n : {a1, b1, a2, b2})
            sh("sysctl -qw net.ipv6.conf." + n + ".disable_ipv6=1");
        sh("ip link set " + b1 + " up");
        sh("ip link set " + b2 + " up");
        linecard_ethdrv_init();
        ModuleTest::SetUp();
    }
    void TearDown() override {
        if (a1.empty())
            return;
        linecard_port_unbind_all();
        ModuleTest::TearDown();
        linecard_ethdrv_fini();
        sh("ip link del " + a1);
        sh("ip link del " + a2);
    }
    net_device *bind_up(const std::string &name) {
        if (linecard_port_bind(name.c_str()))
            return nullptr;
        net_device *d = __dev_get_by_name(&init_net, name.c_str());
        rtnl_lock();
        dev_open(d);
        rtnl_unlock();
        return d;
    }
};

TEST_F(WireTest, FramesReachTheBridgeOnlyWhileItIsUp) {
    net_device *d1 = bind_up(a1), *d2 = bind_up(a2);
    ASSERT_TRUE(d1 && d2);
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add br0 8"), 0);
    struct jxbridge *br = jxbridge_find("br0");
    ASSERT_NE(br, nullptr);
    mutex_lock(&jxbridge_lock);
    jxbridge_port *p1 = jxbridge_add_port(br, 0xFFFFFFFF, 101, d1, JXBRIDGE_PORT_ACCESS);
    jxbridge_port *p2 = jxbridge_add_port(br, 0xFFFFFFFF, 102, d2, JXBRIDGE_PORT_UPLINK);
    mutex_unlock(&jxbridge_lock);
    ASSERT_TRUE(p1 && p2);

    // Up: the driver's hook is the bridge's receive entry.
    rtnl_lock();
    ASSERT_EQ(dev_open(br->dev), 0);
    rtnl_unlock();
    EXPECT_EQ(e1000e_process_frame_hook, bridge_process_frame_hook);
    // The port threads count under the queue's lock.
    auto total_rx = [] {
        unsigned long flags;
        spin_lock_irqsave(&jxbridge_q.lock, flags);
        u32 n = jxbridge_q.total_rx;
        spin_unlock_irqrestore(&jxbridge_q.lock, flags);
        return n;
    };
    auto rx_packets = [](net_device *d) {
        return __atomic_load_n(&d->stats.rx_packets, __ATOMIC_RELAXED);
    };
    u32 before = total_rx();
    ASSERT_TRUE(send_frames(b1, 5));
    ASSERT_TRUE(send_frames(b2, 4));
    EXPECT_TRUE(eventually([&] { return total_rx() - before >= 9; })) << total_rx() - before;
    EXPECT_GE(rx_packets(d1), 5u);
    EXPECT_GE(rx_packets(d2), 4u);

    // Down: the hook is gone and frames stay with the devices' own stack.
    rtnl_lock();
    dev_close(br->dev);
    rtnl_unlock();
    EXPECT_EQ(e1000e_process_frame_hook, nullptr);
    u32 counted = total_rx();
    unsigned long seen = rx_packets(d1);
    ASSERT_TRUE(send_frames(b1, 3));
    EXPECT_TRUE(eventually([&] { return rx_packets(d1) - seen >= 3; }));
    EXPECT_EQ(total_rx(), counted);

    // The host deleting an interface takes its port out of the bridge.
    ASSERT_TRUE(sh("ip link del " + a1));
    EXPECT_TRUE(eventually([&] {
        mutex_lock(&jxbridge_lock);
        bool gone = get_jxbridge_port_from_bll_port_no(br, 101) == nullptr;
        mutex_unlock(&jxbridge_lock);
        return gone;
    }));
    EXPECT_EQ(get_jxbridge_port_from_bll_port_no(br, 102), p2);
}

} // namespace
