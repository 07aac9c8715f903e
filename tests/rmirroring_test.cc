// Remote mirroring driven as the management agent drives it: sessions by
// ioctl records on the bridge's "rmirroring" file, then frames through wire
// ports, checking what the destination port transmits.
#include "wire_bridge.h"

#include "sources/jxbridge/jxbridge_ioctl.h"

#include <cstring>

using namespace jxtest;

namespace {

const char *const RM = "/proc/net/jxbridge/br0/rmirroring";

class RmirroringTest : public WireBridgeTest {
  protected:
    jxbridge_port *a = nullptr, *b = nullptr, *d = nullptr;

    void SetUp() override {
        WireBridgeTest::SetUp();
        a = port("wa", JXBRIDGE_PORT_ACCESS, 11);
        b = port("wb", JXBRIDGE_PORT_ACCESS, 12);
        d = port("wd", JXBRIDGE_PORT_ACCESS, 13);
        ASSERT_GT(proc_write("/proc/net/jxbridge/br0/vlan", "vlan add 100"), 0);
    }
    template <typename T> long ioc(unsigned cmd, T &rec) {
        return proc_ioctl(RM, cmd, (unsigned long)&rec);
    }
    long nr_cmd(unsigned cmd, u32 session) {
        rmirroring_session_nr r = {session};
        return ioc(cmd, r);
    }
    long add(u8 session, u16 bll, u8 kind, u8 rx = 1, u8 tx = 0) {
        rmirroring_port_change_record r = {};
        r.session = session;
        r.port = bll;
        r.kind = kind;
        r.rx = rx;
        r.tx = tx;
        last_change = r;
        long rc = ioc(RMIRRORING_IOCTL_PORT_ADD, r);
        last_change = r;
        return rc;
    }
    long create(u8 session, u16 vlan) {
        rmirroring_create_record r = {session, 0, vlan, {}};
        long rc = ioc(RMIRRORING_IOCTL_CREATE, r);
        busy = r.busy_session;
        return rc;
    }
    rmirroring_session_record session(u8 nr, long *rc = nullptr) {
        rmirroring_session_record r = {};
        r.session = nr;
        long got = ioc(RMIRRORING_IOCTL_SESSION_GET, r);
        if (rc)
            *rc = got;
        return r;
    }
    rmirroring_port_change_record last_change = {};
    std::string busy;
};

TEST_F(RmirroringTest, SessionsAreConfiguredByRecords) {
    EXPECT_EQ(proc_cat(RM), "Debug:  off\nNo Remote Mirroring sessions defined.\n");
    EXPECT_EQ(create(5, 100), -EINVAL);
    EXPECT_EQ(create(1, 1), -EINVAL);
    EXPECT_EQ(create(1, 200), -ENOENT); // not a VLAN of the bridge
    EXPECT_EQ(create(1, 4095), -ENOENT);
    EXPECT_EQ(create(1, 100), 0);
    EXPECT_EQ(create(2, 100), -EBUSY);
    EXPECT_EQ(busy, "1");
    long rc;
    session(2, &rc);
    EXPECT_EQ(rc, -ENOENT);

    EXPECT_EQ(add(1, 99, 0), -ENOENT);
    EXPECT_EQ(add(3, 11, 0), -ENOENT);
    EXPECT_EQ(add(1, 11, 0, 1, 1), 0);
    EXPECT_EQ(add(1, 12, 0, 0, 1), 0);
    EXPECT_EQ(add(1, 13, 1), 0);
    // A source cannot be a destination, and a session has one destination.
    EXPECT_EQ(add(1, 12, 1), -EBUSY);
    EXPECT_STREQ(last_change.other_port, "13");
    EXPECT_STREQ(last_change.other_session, "1");
    EXPECT_EQ(add(1, 13, 0), -EBUSY);

    rmirroring_cos_record cos = {1, 8};
    EXPECT_EQ(ioc(RMIRRORING_IOCTL_COS_SET, cos), -EINVAL);
    cos.cos = 5;
    EXPECT_EQ(ioc(RMIRRORING_IOCTL_COS_SET, cos), 0);
    // MAC and ethertype are kept in tag mode, but said to be of no use there.
    rmirroring_mac_record mac = {1, {}};
    memcpy(mac.mac, "2:0:0:0:0:aa", 13);
    EXPECT_EQ(ioc(RMIRRORING_IOCTL_MAC_SET, mac), -ENOEXEC);
    // A full field without its terminator is read as 17 characters, not beyond.
    memcpy(mac.mac, "02:00:00:00:00:bbX", 18);
    EXPECT_EQ(ioc(RMIRRORING_IOCTL_MAC_SET, mac), -ENOEXEC);
    memcpy(mac.mac, "02:00:00:00:0g:bb", 18);
    EXPECT_EQ(ioc(RMIRRORING_IOCTL_MAC_SET, mac), -EINVAL);

    // ACL names end within 39 characters: a full 43-byte field is refused.
    rmirroring_acl_record acl = {1, {}, 1};
    memset(acl.name, 'x', sizeof(acl.name));
    EXPECT_EQ(ioc(RMIRRORING_IOCTL_ACL_SET, acl), -EINVAL);
    strcpy(acl.name, "web");
    EXPECT_EQ(ioc(RMIRRORING_IOCTL_ACL_SET, acl), -ENOENT);
    ASSERT_GT(proc_write("/proc/net/jxbridge/br0/acl", "selector add s1_web"), 0);
    ASSERT_GT(proc_write("/proc/net/jxbridge/br0/acl", "action-list add a1_web"), 0);
    EXPECT_EQ(ioc(RMIRRORING_IOCTL_ACL_SET, acl), 0);
    // The session holds them.
    EXPECT_EQ(proc_write("/proc/net/jxbridge/br0/acl", "selector del s1_web"), -EPERM);

    rmirroring_session_record r = session(1, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(r.in_use, 1);
    EXPECT_EQ(r.type, 2u);
    EXPECT_EQ(r.interfaces, 1);
    EXPECT_EQ(r.vlan, 100);
    EXPECT_EQ(r.cos, 5);
    EXPECT_EQ(r.ethertype, 0x88A8);
    EXPECT_EQ(r.mac[5], 0xbb);
    EXPECT_EQ(r.acl_kind, 1u);
    EXPECT_STREQ(r.acl_name, "web");

    rmirroring_port_record p = {};
    p.port = 11;
    EXPECT_EQ(ioc(RMIRRORING_IOCTL_PORT_GET, p), 0);
    EXPECT_EQ(p.src_rx, 1);
    EXPECT_EQ(p.src_tx, 1);
    p = {1, 2, {}, 0, 0, 0, 0, 0};
    EXPECT_EQ(ioc(RMIRRORING_IOCTL_SESSION_PORT_GET, p), 0);
    EXPECT_EQ(p.port, 13u);
    EXPECT_EQ(p.src_rx, RMIRRORING_PORT_DST);

    EXPECT_EQ(nr_cmd(RMIRRORING_IOCTL_ACTIVATE, 1), 0);
    EXPECT_EQ(a->rmirr_active_rx, 1);
    EXPECT_EQ(d->rmirr_active_dst, 1);
    EXPECT_EQ(proc_cat(RM),
              "Debug:  off\n\nSession   Type          VLAN   Intfs  CoS Encaps ACL   "
              "            Active\n--------- ------------- ------ -----  --- ------ "
              "----------------- ------\n1         Destination   100    3      5   No "
              "    web         (MAC)  Yes   \n");
    // An active session keeps its VLAN.
    ASSERT_GT(proc_write("/proc/net/jxbridge/br0/vlan", "vlan add 101"), 0);
    EXPECT_EQ(create(1, 101), -EBUSY);
    EXPECT_EQ(create(1, 100), 0);

    // The destination port goes: the session no longer points at it.
    mutex_lock(&jxbridge_lock);
    EXPECT_EQ(jxbridge_del_port(d), 0);
    mutex_unlock(&jxbridge_lock);
    d = nullptr;
    r = session(1);
    EXPECT_EQ(r.type, 1u);
    EXPECT_EQ(r.interfaces, 2);

    EXPECT_EQ(nr_cmd(RMIRRORING_IOCTL_DELETE, 1), 0);
    EXPECT_EQ(a->rmirr_src_rx | a->rmirr_active_rx, 0);
    EXPECT_GT(proc_write("/proc/net/jxbridge/br0/acl", "selector del s1_web"), 0);
    // Only sessions in use hold a VLAN.
    EXPECT_EQ(create(2, 100), 0);
}

frame tagged_copy(frame f, u16 tci) {
    u8 tag[4] = {0x81, 0x00, (u8)(tci >> 8), (u8)tci};
    f.insert(f.begin() + 12, tag, tag + 4);
    return f;
}

TEST_F(RmirroringTest, CopiesReachTheDestinationTaggedOrEncapsulated) {
    ASSERT_GT(proc_write(RM, "create 1 100"), 0);
    ASSERT_GT(proc_write(RM, "source 1 wa both"), 0);
    ASSERT_GT(proc_write(RM, "destination 1 wd"), 0);
    ASSERT_GT(proc_write(RM, "activate 1"), 0);

    // Received on a, untagged: the copy carries VLAN 100 with priority 0 (CoS
    // "def"); the frame itself still floods, but not to the blocked destination.
    frame f = eth({0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, mac(1), 0x0800);
    rx(a, f);
    auto got = tx(d);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], tagged_copy(f, 100));
    EXPECT_EQ(tx(b).size(), 1u);

    // Sent on a, tagged copy with the session's CoS.
    ASSERT_GT(proc_write(RM, "cos 1 5"), 0);
    frame back = eth(mac(1), mac(2), 0x0800);
    rx(b, back);
    got = tx(d);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], tagged_copy(back, 5 << 13 | 100));
    EXPECT_EQ(tx(a).size(), 1u);

    // Multicast UDP is not copied; multicast of another protocol is.
    frame mudp = eth({0x01, 0x00, 0x5e, 0, 0, 1}, mac(1), 0x0800, 0);
    u8 ip[28] = {0x45, 0, 0, 28, 0, 0, 0, 0, 1, 17, 0, 0, 10, 0, 0, 1, 239, 0, 0, 1};
    mudp.insert(mudp.end(), ip, ip + sizeof(ip));
    rx(a, mudp);
    EXPECT_TRUE(tx(d).empty());
    mudp[14 + 9] = 2; // IGMP
    rx(a, mudp);
    EXPECT_EQ(tx(d).size(), 1u);

    // Encapsulation: the 18-byte header in front of the frame as received.
    ASSERT_GT(proc_write(RM, "encaps 1 on"), 0);
    ASSERT_GT(proc_write(RM, "ethertype 1 0x8902"), 0);
    drain();
    rx(a, f);
    got = tx(d);
    ASSERT_EQ(got.size(), 1u);
    frame want = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    want.insert(want.end(), br->dev->dev_addr, br->dev->dev_addr + 6);
    u8 hdr[6] = {0x89, 0x02, 0xA0, 100, 0, (u8)f.size()};
    want.insert(want.end(), hdr, hdr + 6);
    want.insert(want.end(), f.begin(), f.end());
    EXPECT_EQ(got[0], want);

    // Traffic sent into the destination is not bridged.
    drain();
    rx(d, f);
    EXPECT_TRUE(tx(a).empty());
    EXPECT_TRUE(tx(b).empty());
    EXPECT_EQ(d->counters.drop_rmirroring_blocked, 1u);

    // An ACL that drops a frame keeps it from being copied.
    ASSERT_GT(proc_write("/proc/net/jxbridge/br0/acl", "selector add s1_all"), 0);
    ASSERT_GT(proc_write("/proc/net/jxbridge/br0/acl", "action-list add a1_all"), 0);
    ASSERT_GT(proc_write("/proc/net/jxbridge/br0/acl", "action add a1_all 1 drop"), 0);
    ASSERT_GT(proc_write(RM, "acl 1 all ip"), 0);
    rx(a, f);
    EXPECT_TRUE(tx(d).empty());
    EXPECT_EQ(tx(b).size(), 1u);

    // Deactivated, the destination is an ordinary port again.
    ASSERT_GT(proc_write(RM, "deactivate 1"), 0);
    rx(a, f);
    EXPECT_EQ(tx(d).size(), 1u);
}

} // namespace
