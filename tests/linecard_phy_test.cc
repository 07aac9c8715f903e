// The PHY stand-in: link messages as rtnetlink sends them, and the carrier of
// a real veth pair followed by a bridge port's line (root only).
#include "bridge_fixture.h"

#include "linecard/phy_host.h"

#include <linux/rtnetlink.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

using namespace jxtest;

namespace {

// One link (or address) message as the host sends it, with one attribute.
void put_msg(std::vector<u8> *buf, u16 type, int ifindex, unsigned flags) {
    const size_t attr = RTA_SPACE(4);
    const size_t len = NLMSG_LENGTH(sizeof(ifinfomsg) + attr);
    size_t at = buf->size();
    buf->resize(at + NLMSG_ALIGN(len));
    auto *h = reinterpret_cast<nlmsghdr *>(buf->data() + at);
    h->nlmsg_len = u32(len);
    h->nlmsg_type = type;
    auto *ifi = static_cast<ifinfomsg *>(NLMSG_DATA(h));
    ifi->ifi_index = ifindex;
    ifi->ifi_flags = flags;
    auto *rta = reinterpret_cast<rtattr *>(reinterpret_cast<u8 *>(ifi) + sizeof(*ifi));
    rta->rta_len = RTA_LENGTH(4);
    rta->rta_type = IFLA_MTU;
}

constexpr unsigned kUp = 0x1, kLowerUp = 0x10000, kRunning = 0x40;

TEST(LinecardPhy, LinkMessages) {
    std::vector<u8> buf;
    put_msg(&buf, RTM_NEWLINK, 7, kUp | kRunning | kLowerUp);
    put_msg(&buf, RTM_NEWADDR, 7, 0);        // not about the link
    put_msg(&buf, RTM_NEWLINK, 8, kUp);      // up without carrier
    put_msg(&buf, RTM_NEWLINK, 9, kLowerUp); // carrier, set down
    put_msg(&buf, RTM_DELLINK, 7, kUp | kLowerUp);
    lc_link l[8];
    ASSERT_EQ(lc_link_parse(buf.data(), buf.size(), l, 8), 4);
    EXPECT_TRUE(l[0].ifindex == 7 && l[0].up && !l[0].gone);
    EXPECT_TRUE(l[1].ifindex == 8 && !l[1].up);
    EXPECT_TRUE(l[2].ifindex == 9 && !l[2].up);
    EXPECT_TRUE(l[3].ifindex == 7 && !l[3].up && l[3].gone);
    // No more than asked for; a message cut short is refused.
    EXPECT_EQ(lc_link_parse(buf.data(), buf.size(), l, 2), 2);
    EXPECT_EQ(lc_link_parse(buf.data(), buf.size() - 4, l, 8), -EINVAL);
    std::vector<u8> runt;
    put_msg(&runt, RTM_NEWLINK, 7, kUp);
    reinterpret_cast<nlmsghdr *>(runt.data())->nlmsg_len = NLMSG_LENGTH(4);
    EXPECT_EQ(lc_link_parse(runt.data(), runt.size(), l, 8), -EINVAL);
}

bool sh(const std::string &cmd) {
    return system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

// A guard against a hang, not a timing.
bool eventually(const std::function<bool()> &f) {
    for (int i = 0; i < 2000; i++) {
        if (f())
            return true;
        usleep(5000);
    }
    return false;
}

class PhyTest : public BridgeTest {
  protected:
    jxbridge_port *p = nullptr;
    // PHY state, speed and duplex, read as the bridge writes them.
    u32 line(u32 jxbridge_port::*field = &jxbridge_port::phy_state) {
        mutex_lock(&jxbridge_lock);
        u32 v = p->*field;
        mutex_unlock(&jxbridge_lock);
        return v;
    }
};

TEST_F(PhyTest, TheLineFollowsTheCarrierOfABoundVeth) {
    if (geteuid() != 0 || !sh("command -v ip"))
        GTEST_SKIP() << "needs root and ip(8)";
    const std::string a = "jxc" + std::to_string(getpid()) + "a";
    const std::string b = "jxc" + std::to_string(getpid()) + "b";
    if (!sh("ip link add " + a + " type veth peer name " + b))
        GTEST_SKIP() << "cannot create a veth pair";
    struct veth_guard {
        std::string name;
        ~veth_guard() { sh("ip link del " + name); }
    } guard{a};
    ASSERT_TRUE(sh("ip link set " + b + " up"));
    const std::string up_line = "linecard: " + a + ": line up, 10000 Mb/s, full duplex\n";
    const std::string down_line = "linecard: " + a + ": line down\n";

    // The carrier is read at bind, before the device is any bridge's port ...
    ASSERT_EQ(linecard_port_bind(a.c_str()), 0);
    net_device *d = __dev_get_by_name(&init_net, a.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(eventually([&] { return logged(up_line) == 1; }));
    // ... and the port, which the bridge starts DOWN, comes up when it joins.
    mutex_lock(&jxbridge_lock);
    p = jxbridge_add_port(br, 0xFFFFFFFF, 0, d, JXBRIDGE_PORT_ACCESS);
    mutex_unlock(&jxbridge_lock);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(eventually([&] { return line() == JXBRIDGE_PHY_UP; }));
    EXPECT_EQ(line(&jxbridge_port::speed), 10000u);
    EXPECT_EQ(line(&jxbridge_port::duplex), 1u);

    // The far end goes down and comes back.
    ASSERT_TRUE(sh("ip link set " + b + " down"));
    EXPECT_TRUE(eventually([&] { return line() == JXBRIDGE_PHY_DOWN; }));
    EXPECT_EQ(line(&jxbridge_port::speed), 0u);
    ASSERT_TRUE(sh("ip link set " + b + " up"));
    EXPECT_TRUE(eventually([&] { return line() == JXBRIDGE_PHY_UP; }));

    // A line set by hand holds through link changes that leave the carrier
    // alone, up to the next carrier change.
    ASSERT_GT(proc_write("/proc/net/jxbridge/br0/bridge", "force_line_up_flag " + a + " 0"), 0);
    EXPECT_EQ(line(), (u32)JXBRIDGE_PHY_DOWN);
    const size_t ups = logged(up_line);
    ASSERT_TRUE(sh("ip link set " + a + " alias jxc-under-test"));
    ASSERT_TRUE(sh("ip link set " + b + " down"));
    // Messages come in order: once this one is seen, the alias was too.
    EXPECT_TRUE(eventually([&] { return logged(down_line) == 2; }));
    EXPECT_EQ(logged(up_line), ups);
    ASSERT_TRUE(sh("ip link set " + b + " up"));
    EXPECT_TRUE(eventually([&] { return line() == JXBRIDGE_PHY_UP; }));

    EXPECT_EQ(linecard_port_unbind(a.c_str()), 0);
}

} // namespace
