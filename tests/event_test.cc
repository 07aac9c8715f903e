// The bridge's event readers and the CFM channel: records queued per reader,
// netlink registration and fault events, and the cfm file's engine calls.
#include "bridge_fixture.h"

#include "kernel/netlink.h"
#include "kernel/workqueue.h"

#include <cstring>
#include <mutex>

using namespace jxtest;

namespace {

const char *EVENT = "/proc/net/jxbridge/br0/event";
const char *CFM = "/proc/net/jxbridge/br0/cfm";

class EventTest : public BridgeTest {
  protected:
    struct file *open_event(unsigned flags = O_RDONLY) {
        struct file *f = nullptr;
        EXPECT_EQ(rte_vfs_open(EVENT, flags, &f), 0);
        return f;
    }
    void post(const char *text) {
        mutex_lock(&jxbridge_lock);
        EXPECT_EQ(event_add(br, text), 0);
        mutex_unlock(&jxbridge_lock);
    }
    std::string read(struct file *f, size_t n = 256) {
        std::string buf(n, '\0');
        long r = rte_vfs_read(f, buf.data(), n);
        return r < 0 ? "rc=" + std::to_string(r) : buf.substr(0, r);
    }
};

TEST_F(EventTest, EachReaderHasItsOwnQueue) {
    struct file *a = open_event(O_RDONLY | O_NONBLOCK), *b = open_event(O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(read(a), "rc=-11");
    EXPECT_EQ(rte_vfs_poll(a, EPOLLIN, 0), 0);
    ASSERT_EQ(rte_vfs_ioctl(b, 0x40047a01, 2), 0);
    u32 limit = 0;
    ASSERT_EQ(rte_vfs_ioctl(b, 0x80047a02, (unsigned long)&limit), 0);
    EXPECT_EQ(limit, 2u);
    EXPECT_EQ(rte_vfs_ioctl(b, 0x80047a03, 0), -EBADF);
    EXPECT_EQ(rte_vfs_ioctl(b, 0x80047a02, 8), -EFAULT);
    for (const char *t : {"first record\n", "second\n", "third\n"})
        post(t);
    EXPECT_NE(rte_vfs_poll(a, EPOLLIN, 0) & EPOLLIN, 0);
    // Small reads return a record in pieces; a read never runs into the next one.
    EXPECT_EQ(read(a, 5), "first");
    EXPECT_EQ(read(a, 64), " record\n");
    EXPECT_EQ(read(a, 64), "second\n");
    EXPECT_EQ(read(a, 64), "third\n");
    // b kept its limit and lost the third; a lost nothing.
    EXPECT_EQ(read(b, 64), "first record\n");
    EXPECT_EQ(read(b, 64), "second\n");
    EXPECT_EQ(read(b, 64), "rc=-11");
    rte_vfs_close(a);
    rte_vfs_close(b);
    EXPECT_EQ(logged("lost 1 records"), 1u);
    EXPECT_EQ(logged("lost"), 1u);
}

TEST_F(EventTest, ABlockedReadWakesOnARecordAndFailsOnASignal) {
    struct file *f = open_event();
    {
        BlockedReader r(f);
        post("acl event\n");
        EXPECT_EQ(r.join(), 10);
        EXPECT_EQ(r.text(), "acl event\n");
    }
    {
        BlockedReader r(f);
        r.task()->sigpending = true;
        wake_up_process(r.task());
        EXPECT_EQ(r.join(), -ERESTARTSYS);
    }
    rte_vfs_close(f);
}

// A netlink agent of protocol 31: what the module sent it.
struct Agent {
    u32 pid;
    std::mutex m;
    std::vector<std::string> got;
    explicit Agent(u32 p) : pid(p) {
        EXPECT_EQ(rte_netlink_bind(31, pid, 0,
                                   [this](const void *d, size_t n) {
                                       std::lock_guard<std::mutex> g(m);
                                       const auto *h = (const nlmsghdr *)d;
                                       EXPECT_EQ(h->nlmsg_type, 3);
                                       EXPECT_LE(h->nlmsg_len, n);
                                       got.emplace_back((const char *)d + NLMSG_HDRLEN,
                                                        h->nlmsg_len - NLMSG_HDRLEN);
                                   }),
                  0);
    }
    ~Agent() { rte_netlink_unbind(31, pid); }
    void say(const std::string &word, size_t size = 0) {
        std::string msg(NLMSG_HDRLEN, '\0');
        msg += word;
        msg.resize(std::max(msg.size(), size), '\0');
        auto *h = (nlmsghdr *)msg.data();
        h->nlmsg_len = (u32)msg.size();
        h->nlmsg_pid = pid;
        EXPECT_EQ(rte_netlink_send_to_kernel(31, pid, msg.data(), msg.size()), 0);
    }
    std::string last() {
        std::lock_guard<std::mutex> g(m);
        return got.empty() ? "" : got.back();
    }
    size_t count() {
        std::lock_guard<std::mutex> g(m);
        return got.size();
    }
};

u32 word_at(const std::string &s, size_t off) {
    u32 v = 0;
    memcpy(&v, s.data() + off, 4);
    return v;
}

TEST_F(EventTest, OnlyTheRegisteredAgentGetsAndEndsTheChannel) {
    Agent a(700), b(701);
    a.say("netlink_event_start", 1040);
    EXPECT_EQ(a.last(), "OK");
    // Another process can neither stop nor, by a bad word, drop the registration.
    b.say("netlink_event_stop", 1040);
    EXPECT_EQ(b.last(), "NOK");
    b.say("bogus");
    EXPECT_EQ(b.last(), "NOK");
    // An unterminated keyword is bounded by its message.
    b.say(std::string(60, 'n'));
    EXPECT_EQ(b.last(), "NOK");
    EXPECT_EQ(b.count(), 3u);
    ASSERT_GT(proc_write(CFM, "event_test 10257 4"), 0);
    std::string ev = a.last();
    ASSERT_EQ(ev.size(), 16u);
    EXPECT_EQ(word_at(ev, 0), 10257u);
    EXPECT_EQ(word_at(ev, 8), 4u);
    EXPECT_EQ(proc_write(CFM, "event_test 1"), -ENOARG);

    // The engine's receive errors go out from the workqueue with the uplink's BLL id.
    net_device *up = dev("eth0");
    mutex_lock(&jxbridge_lock);
    ASSERT_NE(jxbridge_add_port(br, 0xFFFFFFFF, 17, up, JXBRIDGE_PORT_UPLINK), nullptr);
    mutex_unlock(&jxbridge_lock);
    linecard_engine_install();
    cfm_enable_request e = {};
    strcpy(e.name, "eth0");
    e.vid = 7;
    u8 pdu[4] = {1, 2, 3, 4}, mask[2] = {0xff, 0xff};
    e.rx_pdu = (uintptr_t)pdu;
    e.rx_pdu_size = 4;
    e.rx_pdu_mask = (uintptr_t)mask;
    e.rx_pdu_mask_size = 2;
    ASSERT_EQ(proc_ioctl(CFM, BRIDGE_IOCTL_CFM_PORT_VLAN_ENABLE, (unsigned long)&e), 0);
    EXPECT_EQ(linecard_engine_calls().back(),
              "tarnAPIErpsCcmEnable(0, 7, -, 0, 0, 01020304, ffff0000, 4, 0)");
    ASSERT_EQ(linecard_engine_ccm_error(0, 7, 3, 1), 0);
    ASSERT_EQ(linecard_engine_ccm_error(0, 7, 12, 0), 0);
    flush_scheduled_work();
    ASSERT_EQ(a.count(), 4u);
    ev = a.got[2];
    EXPECT_EQ(word_at(ev, 0), 17u);
    EXPECT_EQ(word_at(ev, 4), 7u);
    EXPECT_EQ(word_at(ev, 8), 3u);
    EXPECT_EQ(word_at(ev, 12), 1u);
    EXPECT_EQ(word_at(a.got[3], 8), 0u) << "an unknown error is type 0";

    a.say("netlink_event_stop", 1040);
    EXPECT_EQ(a.last(), "OK");
    ASSERT_GT(proc_write(CFM, "event_test 1 1"), 0);
    EXPECT_EQ(a.count(), 5u);
    EXPECT_EQ(logged("user_pid: 0. return."), 1u);
}

TEST_F(EventTest, CfmFileBoundsPdusAndMapsEngineCodes) {
    net_device *up = dev("eth1");
    mutex_lock(&jxbridge_lock);
    ASSERT_NE(jxbridge_add_port(br, 0xFFFFFFFF, 18, up, JXBRIDGE_PORT_UPLINK), nullptr);
    mutex_unlock(&jxbridge_lock);
    linecard_engine_install();
    cfm_enable_request e = {};
    strcpy(e.name, "18");
    e.tx_pdu = (uintptr_t)&e;
    e.tx_pdu_size = 100000;
    EXPECT_EQ(proc_ioctl(CFM, BRIDGE_IOCTL_CFM_PORT_VLAN_ENABLE, (unsigned long)&e), -EINVAL);
    e.tx_pdu_size = 8;
    e.rx_pdu = 8; // not the caller's memory
    e.rx_pdu_size = 8;
    EXPECT_EQ(proc_ioctl(CFM, BRIDGE_IOCTL_CFM_PORT_VLAN_ENABLE, (unsigned long)&e), -ESRCH);
    EXPECT_EQ(proc_ioctl(CFM, BRIDGE_IOCTL_CFM_PORT_VLAN_ENABLE, 8), -EFAULT);
    e.rx_pdu = 0;
    for (auto [code, rc] :
         std::vector<std::pair<int, int>>{{9, -6}, {28, -4}, {-5, -2}, {40, -2}}) {
        linecard_engine_set_result("tarnAPIErpsCcmDisable", code);
        EXPECT_EQ(proc_ioctl(CFM, BRIDGE_IOCTL_CFM_PORT_VLAN_DISABLE, (unsigned long)&e), rc);
    }
    strcpy(e.name, "nosuch");
    EXPECT_EQ(proc_ioctl(CFM, BRIDGE_IOCTL_CFM_PORT_VLAN_DISABLE, (unsigned long)&e), -ENOENT);
    EXPECT_EQ(proc_ioctl(CFM, 0x40046305, 0), -EPERM);

    cfm_stats_request s = {};
    strcpy(s.name, "eth1");
    s.vid = 5;
    linecard_engine_set_ccm_stats(1, 2, 3, 4);
    ASSERT_EQ(proc_ioctl(CFM, BRIDGE_IOCTL_CFM_PDU_ENGINE_STATISTICS_GET, (unsigned long)&s), 0);
    EXPECT_EQ(s.tx, 1u);
    EXPECT_EQ(s.rx, 2u);
    EXPECT_EQ(s.loc, 3u);
    EXPECT_EQ(s.dropped, 4u);
    EXPECT_EQ(proc_ioctl(CFM, BRIDGE_IOCTL_CFM_PDU_ENGINE_STATISTICS_GET, 8), -ESRCH);
    ASSERT_EQ(proc_ioctl(CFM, BRIDGE_IOCTL_CFM_PDU_ENGINE_STATISTICS_CLEAR, (unsigned long)&s), 0);
    EXPECT_EQ(linecard_engine_calls().back(), "tarnAPIErpsCcmClearStats(1, 5)");
    ASSERT_GT(proc_write(CFM, "debug_mng 3"), 0);
    EXPECT_EQ(proc_cat(CFM), "debug: 0\ndebug_mng: 3\n");
}

} // namespace
