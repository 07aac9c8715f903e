// The bridge's "vlan" file driven as the bridge control tool and an operator
// drive it: records byte for byte through ioctl, text commands, the report,
// and frames that then pass the VLAN engine as the file configured it.
#include "bridge_fixture.h"
#include "sources/jxbridge/jxbridge_ioctl.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

using namespace jxtest;

namespace {

const char *const VLAN = "/proc/net/jxbridge/br0/vlan";
const char *const BRIDGE = "/proc/net/jxbridge/br0/bridge";

// Two pages, the second inaccessible: a record placed at the end of the
// first shows whether a command copies more than the record's size, and a
// read-only first page makes every copy back fail.
class GuardedPage {
  public:
    GuardedPage() {
        size_ = (size_t)sysconf(_SC_PAGESIZE);
        void *p =
            mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = p == MAP_FAILED ? nullptr : (u8 *)p;
        if (base_)
            mprotect(base_ + size_, size_, PROT_NONE);
    }
    ~GuardedPage() {
        if (base_)
            munmap(base_, 2 * size_);
    }
    bool ok() const { return base_ != nullptr; }
    // The first size bytes of rec, ending where the guard begins.
    template <class T> T *place(const T &rec, size_t size = sizeof(T)) {
        u8 *p = base_ + size_ - size;
        memcpy(p, &rec, size);
        return (T *)p;
    }
    void read_only() { mprotect(base_, size_, PROT_READ); }

  private:
    u8 *base_ = nullptr;
    size_t size_ = 0;
};

using Bytes = std::vector<u8>;
struct Tag {
    u16 tpid, tci;
};

Bytes frame(std::initializer_list<Tag> tags) {
    Bytes b = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x00, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
    auto put16 = [&](u16 v) {
        b.push_back(u8(v >> 8));
        b.push_back(u8(v));
    };
    for (const Tag &t : tags) {
        put16(t.tpid);
        put16(t.tci);
    }
    put16(ETH_P_IP);
    for (int i = 0; i < 46; i++)
        b.push_back(u8(i));
    return b;
}

template <class T> T named(const char *name) {
    T r;
    memset(&r, 0, sizeof(r));
    strcpy(r.name, name);
    return r;
}

class VlanFileTest : public BridgeTest {
  protected:
    void SetUp() override {
        BridgeTest::SetUp();
        linecard_engine_install();
    }
    template <class T> long io(unsigned cmd, T *rec) {
        return proc_ioctl(VLAN, cmd, (unsigned long)rec);
    }
    long val(unsigned cmd, unsigned long v) { return proc_ioctl(VLAN, cmd, v); }
    long cmd(const std::string &text) { return proc_write(VLAN, text); }
    // A port added through the bridge's own file, as an agent adds it.
    jxbridge_port *add_port(const char *name, u32 bll, u32 kind = JXBRIDGE_PORT_ACCESS,
                            const char *bridge_file = BRIDGE) {
        dev(name);
        port_request r = {};
        strcpy(r.name, name);
        r.port_no = JXBRIDGE_PORT_ANY;
        r.bll_port_no = bll;
        r.type = kind;
        EXPECT_EQ(proc_ioctl(bridge_file, BRIDGE_IOCTL_PORT_ADD, (unsigned long)&r), 0) << name;
        return port(name);
    }
    // One frame through a port's ingress rules, as the pipeline runs them.
    sk_buff *ingress(jxbridge_port *p, const Bytes &b) {
        sk_buff *skb = rte_skb_from_bytes(b.data(), (unsigned)b.size(), 32);
        jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
        memset(cb, 0, sizeof(*cb));
        cb->port_no = cb->in_port_no = (u16)p->port_no;
        mutex_lock(&jxbridge_lock);
        skb = vlan_process_ingress_rules(br->vlan, p, skb);
        mutex_unlock(&jxbridge_lock);
        return skb;
    }
    // The bytes the frame leaves a port with after egress; empty when dropped.
    Bytes egress(jxbridge_port *p, sk_buff *skb) {
        if (!skb)
            return {};
        mutex_lock(&jxbridge_lock);
        skb = vlan_process_egress_rules(br->vlan, p, skb);
        mutex_unlock(&jxbridge_lock);
        if (!skb)
            return {};
        Bytes out(skb->data, skb->data + skb->len);
        kfree_skb(skb);
        return out;
    }
    Bytes through(jxbridge_port *from, const Bytes &b, jxbridge_port *to) {
        return egress(to, ingress(from, b));
    }
};

TEST_F(VlanFileTest, VlansNamesAndBridgeWideValuesByRecord) {
    add_port("acc1", 1001);
    add_port("eth0", 1002, JXBRIDGE_PORT_UPLINK);
    add_port("acc2", 1003);

    // VLANs by their number passed as the argument itself.
    EXPECT_EQ(val(VLAN_IOCTL_ADD, 100), 0);
    EXPECT_EQ(vlan_is_configured(br->vlan, 100), 0);
    EXPECT_EQ(val(VLAN_IOCTL_ADD, 4095), -EINVAL);
    EXPECT_EQ(val(VLAN_IOCTL_ADD, 0), -EINVAL); // no configurable VID
    EXPECT_EQ(vlan_is_configured(br->vlan, 0), -ENOENT);
    EXPECT_EQ(val(VLAN_IOCTL_ADD, 0x10000 + 200), -EINVAL); // not VLAN 200 in disguise
    EXPECT_EQ(vlan_is_configured(br->vlan, 200), -ENOENT);
    EXPECT_EQ(val(VLAN_IOCTL_ADD, 200), 0);
    EXPECT_EQ(val(VLAN_IOCTL_DEL, 200), 0);
    EXPECT_EQ(vlan_is_configured(br->vlan, 200), -ENOENT);

    // Names: read back bounded and terminated; a full field is cut to 31.
    vlan_name_request n = {};
    n.vid = 100;
    strcpy(n.name, "voice");
    ASSERT_EQ(io(VLAN_IOCTL_NAME_SET, &n), 0);
    vlan_name_request g;
    memset(&g, 'z', sizeof(g));
    g.vid = 100;
    ASSERT_EQ(io(VLAN_IOCTL_NAME_GET, &g), 0);
    EXPECT_STREQ(g.name, "voice");
    EXPECT_EQ(g.name[VLAN_NAME_FIELD - 1], 0);
    memset(n.name, 'N', sizeof(n.name));
    ASSERT_EQ(io(VLAN_IOCTL_NAME_SET, &n), 0);
    memset(&g, 'z', sizeof(g));
    g.vid = 100;
    ASSERT_EQ(io(VLAN_IOCTL_NAME_GET, &g), 0);
    EXPECT_EQ(std::string(g.name), std::string(31, 'N'));
    n.name[0] = '\0'; // an empty name removes it
    ASSERT_EQ(io(VLAN_IOCTL_NAME_SET, &n), 0);
    ASSERT_EQ(io(VLAN_IOCTL_NAME_GET, &g), 0);
    EXPECT_STREQ(g.name, "");
    n.vid = g.vid = 300;
    EXPECT_EQ(io(VLAN_IOCTL_NAME_SET, &n), -ENOENT);
    EXPECT_EQ(io(VLAN_IOCTL_NAME_GET, &g), -ENOENT);

    // Multicast modes: what the engine would ignore is refused.
    vlan_mcast_request mc = {100, 0, VLAN_MCAST_FORWARD_FLOOD};
    ASSERT_EQ(io(VLAN_IOCTL_MCAST_MODE_SET, &mc), 0);
    vlan_mcast_request mg = {100, 0x5a5a, 9};
    ASSERT_EQ(io(VLAN_IOCTL_MCAST_MODE_GET, &mg), 0);
    EXPECT_EQ(mg.mode, (u32)VLAN_MCAST_FORWARD_FLOOD);
    EXPECT_EQ(mg.reserved2, 0x5a5a); // returned as it came
    mc.vid = 4095;
    EXPECT_EQ(io(VLAN_IOCTL_MCAST_MODE_SET, &mc), -EINVAL);
    mc = {100, 0, 4};
    EXPECT_EQ(io(VLAN_IOCTL_MCAST_MODE_SET, &mc), -EINVAL);
    ASSERT_EQ(io(VLAN_IOCTL_MCAST_MODE_GET, &mg), 0);
    EXPECT_EQ(mg.mode, (u32)VLAN_MCAST_FORWARD_FLOOD);
    mg.vid = 4095;
    EXPECT_EQ(io(VLAN_IOCTL_MCAST_MODE_GET, &mg), -EINVAL);

    // The outer ethertype, passed as the argument and read as a u16.
    ASSERT_EQ(val(VLAN_IOCTL_ETHERTYPE_SET, 0x88a8), 0);
    EXPECT_EQ(val(VLAN_IOCTL_ETHERTYPE_SET, 0x188a8), -EINVAL);
    u16 et[2] = {0, 0x7777};
    ASSERT_EQ(io(VLAN_IOCTL_ETHERTYPE_GET, et), 0);
    EXPECT_EQ(et[0], 0x88a8);
    EXPECT_EQ(et[1], 0x7777); // two bytes and no more

    // Port bitmaps of one VID.
    ASSERT_GT(cmd("membership add acc1 100"), 0);
    ASSERT_GT(cmd("membership add acc2 100"), 0);
    ASSERT_GT(cmd("tag set acc2 100 1"), 0);
    vlan_membership_request mr;
    memset(&mr, 0xFF, sizeof(mr));
    mr.vid = 100;
    ASSERT_EQ(io(VLAN_IOCTL_MEMBERSHIP_ALL_GET, &mr), 0);
    EXPECT_EQ(mr.ports, 4u);
    EXPECT_EQ(mr.members[0], 0x5u); // slots 0 and 2
    EXPECT_EQ(mr.tagged[0], 0x4u);
    for (int i = 1; i < 16; i++)
        EXPECT_EQ(mr.members[i] | mr.tagged[i], 0u);
    mr.vid = 1;
    ASSERT_EQ(io(VLAN_IOCTL_MEMBERSHIP_ALL_GET, &mr), 0);
    EXPECT_EQ(mr.members[0], 0x7u);

    // Faults: -14 for a failed copy in, -22 for a failed copy back.
    EXPECT_EQ(proc_ioctl(VLAN, VLAN_IOCTL_NAME_SET, 16), -EFAULT);
    EXPECT_EQ(proc_ioctl(VLAN, VLAN_IOCTL_MCAST_MODE_SET, 16), -EFAULT);
    EXPECT_EQ(proc_ioctl(VLAN, VLAN_IOCTL_ETHERTYPE_GET, 16), -EINVAL);
    GuardedPage p1, p2;
    ASSERT_TRUE(p1.ok() && p2.ok());
    g.vid = mg.vid = 100;
    vlan_name_request *ro = p1.place(g);
    vlan_mcast_request *rm = p2.place(mg);
    p1.read_only();
    p2.read_only();
    EXPECT_EQ(io(VLAN_IOCTL_NAME_GET, ro), -EINVAL);
    EXPECT_EQ(io(VLAN_IOCTL_MCAST_MODE_GET, rm), -EINVAL);

    // The direction is part of the number: another direction is another command.
    EXPECT_EQ(proc_ioctl(VLAN, JXBRIDGE_IOCTL_R(2), (unsigned long)&n), -EINVAL);
    EXPECT_EQ(proc_ioctl(VLAN, JXBRIDGE_IOCTL_W(6), (unsigned long)&n), -EINVAL);
    EXPECT_EQ(val(JXBRIDGE_IOCTL_W(0), 300), -EINVAL); // the add has size 2
    EXPECT_EQ(val(JXBRIDGE_IOCTL_W(16), 0), -EINVAL);
    EXPECT_EQ(val(JXBRIDGE_IOCTL_W(25), 0), -EINVAL);
    EXPECT_EQ(vlan_is_configured(br->vlan, 300), -ENOENT);

    // Clearing takes every VLAN but the default one.
    ASSERT_EQ(val(VLAN_IOCTL_CLEAR, 0), 0);
    EXPECT_EQ(vlan_is_configured(br->vlan, 100), -ENOENT);
    EXPECT_EQ(vlan_get_membership(port("acc2"), 100), 0);
}

TEST_F(VlanFileTest, PortAndVidRecordsRoundTrip) {
    add_port("acc1", 1001);
    add_port("eth0", 1002, JXBRIDGE_PORT_UPLINK);
    ASSERT_EQ(val(VLAN_IOCTL_ADD, 100), 0);

    auto rec = [](const char *name, u16 vid) {
        vlan_port_vid_request r = named<vlan_port_vid_request>(name);
        r.vid = vid;
        r.outer_vid = 0xBEEF;
        r.reserved39 = 0x5A;
        return r;
    };
    vlan_port_vid_request r = rec("acc1", 100);
    ASSERT_EQ(io(VLAN_IOCTL_MEMBERSHIP_ADD, &r), 0);
    r.member = 7;
    ASSERT_EQ(io(VLAN_IOCTL_MEMBERSHIP_GET, &r), 0);
    EXPECT_EQ(r.member, 1u);
    EXPECT_EQ(r.outer_vid, 0xBEEF); // bytes not named come back unchanged
    EXPECT_EQ(r.reserved39, 0x5A);
    r = rec("1001", 100); // a BLL number names the port as well
    r.tagged = 1;
    ASSERT_EQ(io(VLAN_IOCTL_TAG_SET, &r), 0);
    r.tagged = 9;
    ASSERT_EQ(io(VLAN_IOCTL_TAG_GET, &r), 0);
    EXPECT_EQ(r.tagged, 1);
    r.member = r.tagged = 0;
    ASSERT_EQ(io(VLAN_IOCTL_MEMBERSHIP_TAGGING_GET, &r), 0);
    EXPECT_EQ(r.member, 1u);
    EXPECT_EQ(r.tagged, 1);
    r.tag_ignore = 1;
    ASSERT_EQ(io(VLAN_IOCTL_TAG_IGNORE_SET, &r), 0);
    r.tag_ignore = 0;
    ASSERT_EQ(io(VLAN_IOCTL_TAG_IGNORE_GET, &r), 0);
    EXPECT_EQ(r.tag_ignore, 1);
    r = rec("acc1", 200); // not a member there
    r.tagged = 1;
    EXPECT_EQ(io(VLAN_IOCTL_TAG_SET, &r), -EACCES);

    // PVID: set, read back at offset 2; an unconfigured VLAN is refused.
    r = rec("acc1", 100);
    ASSERT_EQ(io(VLAN_IOCTL_PVID_SET, &r), 0);
    r.vid = 0;
    ASSERT_EQ(io(VLAN_IOCTL_PVID_GET, &r), 0);
    EXPECT_EQ(r.vid, 100);
    r.vid = 300;
    EXPECT_EQ(io(VLAN_IOCTL_PVID_SET, &r), -EPERM);

    // Acceptable frames: the word at 21 in any case, the type back at 38.
    const struct {
        const char *word;
        u8 type;
    } words[] = {{"TAGGED", 0}, {"untagged", 1}, {"Admit_All", 2}};
    for (const auto &w : words) {
        r = rec("acc1", 0);
        strcpy(r.accept, w.word);
        ASSERT_EQ(io(VLAN_IOCTL_ACCEPTABLE_SET, &r), 0) << w.word;
        r.accept_type = 9;
        ASSERT_EQ(io(VLAN_IOCTL_ACCEPTABLE_GET, &r), 0);
        EXPECT_EQ(r.accept_type, w.type) << w.word;
    }
    r = rec("acc1", 0);
    strcpy(r.accept, "all");
    EXPECT_EQ(io(VLAN_IOCTL_ACCEPTABLE_SET, &r), -EINVAL);
    memcpy(r.accept, "admit_allxx", 11); // fills the field: not the word
    EXPECT_EQ(io(VLAN_IOCTL_ACCEPTABLE_SET, &r), -EINVAL);
    EXPECT_EQ(vlan_get_acceptable_frame(port("acc1")), VLAN_ACCEPT_ALL);

    // Leaving VLANs: one, then all of them.
    r = rec("acc1", 100);
    ASSERT_EQ(io(VLAN_IOCTL_MEMBERSHIP_DEL, &r), 0);
    ASSERT_EQ(io(VLAN_IOCTL_MEMBERSHIP_GET, &r), 0);
    EXPECT_EQ(r.member, 0u);
    r = rec("eth0", 0);
    ASSERT_EQ(io(VLAN_IOCTL_MEMBERSHIP_DEL_ALL, &r), 0);
    r.vid = 1;
    ASSERT_EQ(io(VLAN_IOCTL_MEMBERSHIP_GET, &r), 0);
    EXPECT_EQ(r.member, 0u);

    // Names: unknown -19, and a field without its end is cut at 16.
    r = rec("nope", 100);
    EXPECT_EQ(io(VLAN_IOCTL_MEMBERSHIP_ADD, &r), -ENODEV);
    EXPECT_EQ(io(VLAN_IOCTL_PVID_GET, &r), -ENODEV);
    memset(r.name, 'a', sizeof(r.name));
    EXPECT_EQ(io(VLAN_IOCTL_MEMBERSHIP_GET, &r), -ENODEV);
    EXPECT_EQ(proc_ioctl(VLAN, VLAN_IOCTL_PVID_GET, 16), -EFAULT);
    GuardedPage page;
    ASSERT_TRUE(page.ok());
    vlan_port_vid_request *ro = page.place(rec("acc1", 1));
    page.read_only();
    EXPECT_EQ(io(VLAN_IOCTL_MEMBERSHIP_GET, ro), -EINVAL);
}

TEST_F(VlanFileTest, PortValueAndFlagRecordsRoundTrip) {
    jxbridge_port *acc = add_port("acc1", 1001);
    ASSERT_NE(acc, nullptr);

    vlan_port_value_request v = named<vlan_port_value_request>("acc1");
    v.value = 0xAAAAAA01; // the state is the byte at 20
    ASSERT_EQ(io(VLAN_IOCTL_REMARK_MODE_SET, &v), 0);
    EXPECT_EQ(vlan_get_port_remark(acc), 1);
    v.value = 0xCCCCCC00;
    ASSERT_EQ(io(VLAN_IOCTL_REMARK_MODE_GET, &v), 0);
    EXPECT_EQ(v.value, 0xCCCCCC01u); // only that byte is written
    v.value = 0x00000100;            // a byte of 0: off
    ASSERT_EQ(io(VLAN_IOCTL_REMARK_MODE_SET, &v), 0);
    EXPECT_EQ(vlan_get_port_remark(acc), 0);

    v.value = 5;
    ASSERT_EQ(io(VLAN_IOCTL_PRIORITY_SET, &v), 0);
    v.value = 0;
    ASSERT_EQ(io(VLAN_IOCTL_PRIORITY_GET, &v), 0);
    EXPECT_EQ(v.value8, 5);
    v.value = 8;
    EXPECT_EQ(io(VLAN_IOCTL_PRIORITY_SET, &v), -EINVAL);

    v.value = VLAN_QINQ_TUNNEL;
    ASSERT_EQ(io(VLAN_IOCTL_QINQ_MODE_SET, &v), 0);
    v.value = 7;
    ASSERT_EQ(io(VLAN_IOCTL_QINQ_MODE_GET, &v), 0);
    EXPECT_EQ(v.value, (u32)VLAN_QINQ_TUNNEL);
    v.value = 2;
    EXPECT_EQ(io(VLAN_IOCTL_QINQ_MODE_SET, &v), -EINVAL);

    // Tunnel flag: non-zero means tunnel; the Q-in-Q mode answers 0 then.
    vlan_port_flag_request f = named<vlan_port_flag_request>("acc1");
    f.flag = 0;
    ASSERT_EQ(io(VLAN_IOCTL_TUNNEL_SET, &f), 0);
    v.value = 7;
    ASSERT_EQ(io(VLAN_IOCTL_QINQ_MODE_GET, &v), 0);
    EXPECT_EQ(v.value, (u32)VLAN_QINQ_BRIDGE);
    f.flag = 1;
    ASSERT_EQ(io(VLAN_IOCTL_TUNNEL_SET, &f), 0);
    ASSERT_EQ(io(VLAN_IOCTL_QINQ_MODE_GET, &v), 0);
    EXPECT_EQ(v.value, 0u);
    f.flag = 9;
    ASSERT_EQ(io(VLAN_IOCTL_TUNNEL_GET, &f), 0);
    EXPECT_EQ(f.flag, 1);

    f.flag = 1;
    ASSERT_EQ(io(VLAN_IOCTL_PORT_MVR_SET, &f), 0);
    EXPECT_EQ(acc->mvr, 1);
    f.flag = 0;
    ASSERT_EQ(io(VLAN_IOCTL_PORT_MVR_GET, &f), 0);
    EXPECT_EQ(f.flag, 1);
    f.flag = 2;
    EXPECT_EQ(io(VLAN_IOCTL_PORT_MVR_SET, &f), -EINVAL);

    // The tunnel commands move 18 bytes, the MVR switch 19: a record of
    // just that size ends at an inaccessible page.
    GuardedPage page;
    ASSERT_TRUE(page.ok());
    vlan_port_flag_request t = named<vlan_port_flag_request>("acc1");
    t.flag = 0;
    vlan_port_flag_request *short18 = page.place(t, VLAN_PORT_FLAG_SIZE_TUNNEL);
    ASSERT_EQ(io(VLAN_IOCTL_TUNNEL_SET, short18), 0);
    ASSERT_EQ(io(VLAN_IOCTL_TUNNEL_GET, short18), 0);
    EXPECT_EQ(short18->flag, 0);
    EXPECT_EQ(io(VLAN_IOCTL_PORT_MVR_SET, short18), -EFAULT);
    EXPECT_EQ(acc->mvr, 1);
    vlan_port_flag_request *full19 = page.place(t, VLAN_PORT_FLAG_SIZE_MVR);
    ASSERT_EQ(io(VLAN_IOCTL_PORT_MVR_SET, full19), 0);
    EXPECT_EQ(acc->mvr, 0);

    strcpy(v.name, "nope");
    EXPECT_EQ(io(VLAN_IOCTL_PRIORITY_GET, &v), -ENODEV);
    strcpy(f.name, "nope");
    EXPECT_EQ(io(VLAN_IOCTL_TUNNEL_GET, &f), -ENODEV);
}

TEST_F(VlanFileTest, RuleRecordsRoundTrip) {
    jxbridge_port *acc = add_port("acc1", 1001);
    ASSERT_NE(acc, nullptr);

    // Remark rules, read back by position, newest first.
    vlan_remark_request rr = named<vlan_remark_request>("acc1");
    rr.in_vid = 10, rr.out_vid = 20, rr.dir = VLAN_REMARK_BOTH;
    ASSERT_EQ(io(VLAN_IOCTL_REMARK_ADD, &rr), 0);
    rr.in_vid = 30, rr.out_vid = 40, rr.dir = VLAN_REMARK_EGRESS;
    ASSERT_EQ(io(VLAN_IOCTL_REMARK_ADD, &rr), 0);
    rr.in_vid = 20, rr.out_vid = 60, rr.dir = VLAN_REMARK_INGRESS;
    EXPECT_EQ(io(VLAN_IOCTL_REMARK_ADD, &rr), -EEXIST); // 20 is the both-rule's
    rr.dir = 3;
    EXPECT_EQ(io(VLAN_IOCTL_REMARK_ADD, &rr), -EINVAL);
    vlan_remark_request g = named<vlan_remark_request>("acc1");
    g.position = 1;
    ASSERT_EQ(io(VLAN_IOCTL_REMARK_GET, &g), 0);
    EXPECT_EQ(g.in_vid, 10);
    EXPECT_EQ(g.out_vid, 20);
    EXPECT_EQ(g.dir, (u32)VLAN_REMARK_BOTH);
    g.position = 0;
    ASSERT_EQ(io(VLAN_IOCTL_REMARK_GET, &g), 0);
    EXPECT_EQ(g.in_vid, 30);
    EXPECT_EQ(g.dir, (u32)VLAN_REMARK_EGRESS);
    g.position = 2;
    EXPECT_EQ(io(VLAN_IOCTL_REMARK_GET, &g), -ENOENT);
    rr.in_vid = 10, rr.dir = VLAN_REMARK_INGRESS; // direction must match too
    ASSERT_EQ(io(VLAN_IOCTL_REMARK_DEL, &rr), 0);
    g.position = 1;
    ASSERT_EQ(io(VLAN_IOCTL_REMARK_GET, &g), 0);
    rr.dir = VLAN_REMARK_BOTH;
    ASSERT_EQ(io(VLAN_IOCTL_REMARK_DEL, &rr), 0);
    EXPECT_EQ(io(VLAN_IOCTL_REMARK_GET, &g), -ENOENT);

    // MPMM entries: by position in index order, or by index.
    vlan_mpmm_request m = named<vlan_mpmm_request>("acc1");
    vlan_mpmm_entry e = {7, {0x01, 0x00, 0x5e}, {0xff, 0xff, 0x80}, 1055, 55, 0};
    memcpy(m.entry, &e, sizeof(e));
    ASSERT_EQ(io(VLAN_IOCTL_MPMM_ADD, &m), 0);
    EXPECT_EQ(io(VLAN_IOCTL_MPMM_ADD, &m), -EEXIST);
    e.index = 3, e.vid = 1033, e.new_vid = 33;
    memcpy(m.entry, &e, sizeof(e));
    ASSERT_EQ(io(VLAN_IOCTL_MPMM_ADD, &m), 0);
    vlan_mpmm_request q = named<vlan_mpmm_request>("acc1");
    q.position = 1;
    ASSERT_EQ(io(VLAN_IOCTL_MPMM_GET, &q), 0);
    vlan_mpmm_entry got;
    memcpy(&got, q.entry, sizeof(got));
    EXPECT_EQ(got.index, 7u);
    EXPECT_EQ(got.vid, 1055);
    EXPECT_EQ(got.new_vid, 55);
    EXPECT_EQ(memcmp(got.mask, e.mask, 3), 0);
    q = named<vlan_mpmm_request>("acc1");
    q.position = VLAN_MPMM_BY_INDEX;
    u32 index = 3;
    memcpy(q.entry, &index, 4);
    ASSERT_EQ(io(VLAN_IOCTL_MPMM_GET, &q), 0);
    memcpy(&got, q.entry, sizeof(got));
    EXPECT_EQ(got.new_vid, 33);
    vlan_port_value_request d = named<vlan_port_value_request>("acc1");
    d.value = 3;
    ASSERT_EQ(io(VLAN_IOCTL_MPMM_DEL, &d), 0);
    EXPECT_EQ(io(VLAN_IOCTL_MPMM_DEL, &d), -ENOENT);
    EXPECT_EQ(io(VLAN_IOCTL_MPMM_GET, &q), -ENOENT);

    // MVR rules: the 40-byte rule whole, IPv4 and IPv6.
    vlan_mvr_rule v4 = {};
    v4.cvlan = 10, v4.mvlan = 500, v4.family = 2;
    v4.v4.first = 0xEF010100, v4.v4.last = 0xEF0101FF;
    vlan_mvr_rule v6 = {};
    v6.cvlan = 11, v6.mvlan = 500, v6.family = 10;
    v6.v6.first[0] = v6.v6.last[0] = 0xff;
    v6.v6.last[15] = 0xff;
    vlan_mvr_request mv = named<vlan_mvr_request>("acc1");
    for (const vlan_mvr_rule &rule : {v4, v6}) {
        memcpy(mv.rule, &rule, sizeof(rule));
        ASSERT_EQ(io(VLAN_IOCTL_MVR_REMARK_ADD, &mv), 0);
    }
    vlan_mvr_rule bad = v4;
    bad.family = 7;
    memcpy(mv.rule, &bad, sizeof(bad));
    EXPECT_EQ(io(VLAN_IOCTL_MVR_REMARK_ADD, &mv), -EINVAL);
    vlan_mvr_request mg = named<vlan_mvr_request>("acc1");
    mg.position = 1;
    ASSERT_EQ(io(VLAN_IOCTL_MVR_REMARK_GET, &mg), 0);
    EXPECT_EQ(memcmp(mg.rule, &v4, sizeof(v4)), 0);
    mg.position = 0;
    ASSERT_EQ(io(VLAN_IOCTL_MVR_REMARK_GET, &mg), 0);
    EXPECT_EQ(memcmp(mg.rule, &v6, sizeof(v6)), 0);
    memcpy(mv.rule, &v6, sizeof(v6));
    ASSERT_EQ(io(VLAN_IOCTL_MVR_REMARK_DEL, &mv), 0);
    ASSERT_EQ(io(VLAN_IOCTL_MVR_REMARK_GET, &mg), 0);
    EXPECT_EQ(memcmp(mg.rule, &v4, sizeof(v4)), 0);
    mg.position = 1;
    EXPECT_EQ(io(VLAN_IOCTL_MVR_REMARK_GET, &mg), -ENOENT);

    // Selective Q-in-Q ranges and the stacking tag.
    vlan_qinq_request s = named<vlan_qinq_request>("acc1");
    s.vid = 200, s.vid2 = 100, s.outer_vid = 300, s.prio = 4;
    ASSERT_EQ(io(VLAN_IOCTL_QINQ_SELECTIVE_ADD, &s), 0);
    s.vid = 150, s.vid2 = 250;
    EXPECT_EQ(io(VLAN_IOCTL_QINQ_SELECTIVE_ADD, &s), -EEXIST);
    s.vid = 400, s.vid2 = 410, s.outer_vid = 301, s.prio = VLAN_QINQ_KEEP_PRIO;
    ASSERT_EQ(io(VLAN_IOCTL_QINQ_SELECTIVE_ADD, &s), 0);
    vlan_qinq_request sg = named<vlan_qinq_request>("acc1");
    sg.vid = 120;
    ASSERT_EQ(io(VLAN_IOCTL_QINQ_SELECTIVE_GET, &sg), 0);
    EXPECT_EQ(sg.outer_vid, 300);
    EXPECT_EQ(sg.prio, 4);
    EXPECT_EQ(sg.vid, 120);
    vlan_qinq_seq_request sq = named<vlan_qinq_seq_request>("acc1");
    sq.position = 1;
    ASSERT_EQ(io(VLAN_IOCTL_QINQ_SELECTIVE_SEQ_GET, &sq), 0);
    EXPECT_EQ(sq.first, 100);
    EXPECT_EQ(sq.last, 200);
    EXPECT_EQ(sq.outer_vid, 300);
    EXPECT_EQ(sq.prio, 4);
    sq.position = 0;
    ASSERT_EQ(io(VLAN_IOCTL_QINQ_SELECTIVE_SEQ_GET, &sq), 0);
    EXPECT_EQ(sq.prio, VLAN_QINQ_KEEP_PRIO);
    sq.position = 2;
    EXPECT_EQ(io(VLAN_IOCTL_QINQ_SELECTIVE_SEQ_GET, &sq), -ENOENT);
    sg.vid = 405;
    ASSERT_EQ(io(VLAN_IOCTL_QINQ_SELECTIVE_DEL, &sg), 0);
    EXPECT_EQ(io(VLAN_IOCTL_QINQ_SELECTIVE_GET, &sg), -ENOENT);
    EXPECT_EQ(io(VLAN_IOCTL_QINQ_SELECTIVE_DEL, &sg), -ENOENT); // nothing was left

    vlan_qinq_request st = named<vlan_qinq_request>("acc1");
    st.vid = 77, st.prio = 6;
    ASSERT_EQ(io(VLAN_IOCTL_STACKING_SET, &st), 0);
    st.vid = 0, st.prio = 0;
    ASSERT_EQ(io(VLAN_IOCTL_STACKING_GET, &st), 0);
    EXPECT_EQ(st.vid, 77);
    EXPECT_EQ(st.prio, 6);
    st.prio = 8;
    EXPECT_EQ(io(VLAN_IOCTL_STACKING_SET, &st), -EINVAL);

    strcpy(s.name, "nope");
    EXPECT_EQ(io(VLAN_IOCTL_QINQ_SELECTIVE_ADD, &s), -ENODEV);
    strcpy(mg.name, "nope");
    EXPECT_EQ(io(VLAN_IOCTL_MVR_REMARK_GET, &mg), -ENODEV);
    EXPECT_EQ(proc_ioctl(VLAN, VLAN_IOCTL_REMARK_ADD, 16), -EFAULT);
}

TEST_F(VlanFileTest, TextCommandsAndTheirErrors) {
    jxbridge_port *acc = add_port("acc1", 1001), *up = add_port("eth0", 1002, 0);
    ASSERT_TRUE(acc && up);

    // Framing: comments and empty lines succeed; keywords match in any case.
    EXPECT_EQ(cmd("# comment"), 9);
    EXPECT_EQ(cmd(""), 0);
    EXPECT_EQ(cmd("VLAN Add 100;vlan add 101"), 13);
    EXPECT_EQ(vlan_is_configured(br->vlan, 100), 0);
    EXPECT_EQ(vlan_is_configured(br->vlan, 101), -ENOENT);
    EXPECT_GT(cmd("vlan add 0x65"), 0); // 101
    EXPECT_EQ(cmd(std::string(150, 'a')), -EINVAL);

    struct {
        const char *text;
        long rc;
    } errors[] = {
        {"frobnicate", -EINVAL},
        {"debug", -ENOARG},
        {"vlan", -ENOARG},
        {"vlan rename 5", -EINVAL},
        {"vlan add", -ENOARG},
        {"vlan add 4095", -ERANGE},
        {"vlan add 0", -ERANGE},
        {"membership join acc1 100", -EINVAL},
        {"membership add acc1", -ENOARG},
        {"membership add nope 100", -ENODEV},
        {"membership add acc1 5000", -ERANGE},
        {"membership add acc1 200", -EPERM}, // not configured
        {"membership del acc1 1", -EINVAL},
        {"membership check acc1 1", -EINVAL},
        {"membership check nope 100", -ENODEV},
        {"pvid put acc1 100", -EINVAL},
        {"pvid set nope 100", -ENOARG},
        {"pvid set acc1", -ENOARG},
        {"pvid set acc1 4095", -ERANGE},
        {"pvid set acc1 200", -EPERM},
        {"acceptable set acc1 some", -EINVAL},
        {"acceptable get nope", -ENOARG},
        {"tag set acc1 100", -ENOARG},
        {"tag set acc1 200 1", -EACCES},
        {"tag set nope 100 1", -ENOARG},
        {"tag ignore acc1 4096 1", -ERANGE},
        {"priority set acc1 8", -ERANGE},
        {"remark mode nope 1", -EINVAL},
        {"remark mode acc1", -ENOARG},
        {"remark add acc1 10 20 both", -EINVAL},
        {"remark add acc1 10 20", -ENOARG},
        {"remark add acc1 ten 20 in", -ENOARG},
        {"remark add acc1 10 70000 in", -ENOARG},
        {"remark add acc1 10 4095 in", -EINVAL}, // no VLAN is no remark target
        {"remark del nope 10 in", -EINVAL},
        {"mpmm add acc1 1 01:00:5e ff:ff", -ENOARG},
        {"mpmm add acc1 1 01:00:5g ff:ff:80 1055 55", -ENOARG},
        {"mpmm add acc1 1 01:00:5e ff:ff:100 1055 55", -ENOARG},
        {"mpmm add nope 1 01:00:5e ff:ff:80 1055 55", -ENOARG},
        {"mpmm show acc1 9", -ENOENT},
        {"mcast x flood", -1},
        {"mcast 70000 flood", -1},
        {"mcast 5000 flood", -ERANGE},
        {"mcast 100", -ENOARG},
        {"mcast 100 often", -EINVAL},
    };
    for (const auto &e : errors)
        EXPECT_EQ(cmd(e.text), e.rc) << e.text;
    EXPECT_EQ(logged("Out of range for VID."), 1u);
    // Refused commands changed nothing.
    EXPECT_EQ(vlan_get_membership(acc, 1), 1);
    EXPECT_EQ(vlan_get_pvid(acc), 1);
    EXPECT_EQ(vlan_get_port_priority(acc), 0);
    EXPECT_EQ(vlan_get_acceptable_frame(acc), VLAN_ACCEPT_ALL);

    // Membership, PVID and their answers in the log; ports by BLL number too.
    EXPECT_GT(cmd("membership add 1001 100"), 0);
    EXPECT_GT(cmd("membership check acc1 100"), 0);
    EXPECT_EQ(logged("Member.\n"), 1u);
    EXPECT_GT(cmd("membership check eth0 100"), 0);
    EXPECT_EQ(logged("Not member.\n"), 1u);
    EXPECT_GT(cmd("pvid set acc1 100"), 0);
    EXPECT_GT(cmd("pvid get acc1"), 0);
    EXPECT_EQ(logged("PVID: 100\n"), 1u);
    EXPECT_GT(cmd("priority set acc1 6"), 0);
    EXPECT_GT(cmd("priority get 1001"), 0);
    EXPECT_EQ(logged("Priority: 6\n"), 1u);
    EXPECT_GT(cmd("acceptable set acc1 ALL"), 0);
    EXPECT_GT(cmd("acceptable set acc1 untagged"), 0);
    EXPECT_GT(cmd("acceptable get acc1"), 0);
    EXPECT_EQ(logged("Type: 1\n"), 1u);

    // Tagging, and the tag-ignore bit shown beside it.
    EXPECT_GT(cmd("membership add eth0 100"), 0);
    EXPECT_GT(cmd("tag set eth0 100 1"), 0);
    EXPECT_GT(cmd("tag get eth0 100"), 0);
    EXPECT_EQ(logged("State: 1\n"), 1u);
    EXPECT_GT(cmd("tag ignore eth0 100 1"), 0);
    EXPECT_GT(cmd("tag get eth0 100"), 0);
    EXPECT_EQ(logged("State: 1 (ignored)\n"), 1u);
    EXPECT_GT(cmd("tag ignore eth0 4095 0"), 0); // every VLAN at once
    EXPECT_EQ(vlan_get_port_tagging_ignore(up, 100), 0);

    // Deleting: one VLAN, or all of the port's, as the help offers.
    EXPECT_GT(cmd("membership del eth0 100"), 0);
    EXPECT_EQ(vlan_get_membership(up, 100), 0);
    EXPECT_GT(cmd("membership del eth0 ALL"), 0);
    EXPECT_EQ(vlan_get_membership(up, 1), 0);

    // Remarks, MPMM and multicast modes.
    EXPECT_GT(cmd("remark mode acc1 1"), 0);
    EXPECT_EQ(vlan_get_port_remark(acc), 1);
    EXPECT_GT(cmd("remark add acc1 10 20 in"), 0);
    EXPECT_GT(cmd("remark add acc1 30 40 EGRESS"), 0);
    EXPECT_EQ(cmd("remark add acc1 10 21 ingress"), -EEXIST);
    u16 src = 0, dst = 0;
    u32 dir = 9;
    ASSERT_EQ(vlan_remark_get_seq(acc, 1, &src, &dst, &dir), 0);
    EXPECT_EQ(src, 10);
    EXPECT_EQ(dst, 20);
    EXPECT_EQ(dir, (u32)VLAN_REMARK_INGRESS);
    EXPECT_GT(cmd("remark del acc1 10 out"), 0); // another direction: stays
    EXPECT_EQ(vlan_remark_get_seq(acc, 1, &src, &dst, &dir), 0);
    EXPECT_GT(cmd("remark del acc1 10 in"), 0);
    EXPECT_EQ(vlan_remark_get_seq(acc, 1, &src, &dst, &dir), -ENOENT);

    EXPECT_GT(cmd("mpmm add acc1 4 1:0:5E ff:FF:80 1055 55"), 0);
    EXPECT_GT(cmd("mpmm show acc1 4"), 0);
    EXPECT_EQ(logged("01:00:5e & ff:ff:80 / 1055 ---> 55\n"), 1u);
    EXPECT_EQ(cmd("mpmm add acc1 4 1:0:5e ff:ff:80 1055 55"), -EEXIST);
    EXPECT_GT(cmd("mpmm del acc1 4"), 0);

    EXPECT_GT(cmd("mcast 100 smart"), 0);
    u32 mode = 0;
    ASSERT_EQ(vlan_mcast_mode_get(br->vlan, 100, &mode), 0);
    EXPECT_EQ(mode, (u32)VLAN_MCAST_FORWARD_FLOOD);
    EXPECT_GT(cmd("mcast 100 FLOOD"), 0);
    ASSERT_EQ(vlan_mcast_mode_get(br->vlan, 100, &mode), 0);
    EXPECT_EQ(mode, (u32)VLAN_MCAST_FLOOD);

    EXPECT_GT(cmd("vlan add 4094"), 0);
    EXPECT_GT(cmd("vlan show"), 0);
    EXPECT_EQ(logged("Configured VLAN-s: 1 100 101 4094\n"), 1u);
    EXPECT_GT(cmd("vlan del 101"), 0);
    EXPECT_GT(cmd("help"), 0);
    EXPECT_EQ(logged("Supported commands:\n\thelp\n\tdebug <mode>\n"), 1u);
    EXPECT_EQ(logged("\tremark del <port> <in_vid> <dir>\n"), 1u);
    EXPECT_EQ(logged("\tmcast <vid> (discard|flood|forward|smart)\n"), 1u);
}

TEST_F(VlanFileTest, ReportAndItsWrapping) {
    // A larger bridge: eleven ports, so that member lists wrap.
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add brv 12"), 0);
    const char *const vfile = "/proc/net/jxbridge/brv/vlan";
    const char *const bfile = "/proc/net/jxbridge/brv/bridge";
    auto vcmd = [&](const std::string &t) { return proc_write(vfile, t); };
    std::vector<std::string> names;
    for (int i = 0; i < 11; i++) {
        char name[8];
        snprintf(name, sizeof(name), "p%d", i);
        names.push_back(name);
        add_port(names.back().c_str(), 2000 + i, JXBRIDGE_PORT_ACCESS, bfile);
    }
    add_port("gem1", 3000, JXBRIDGE_PORT_PON_GEM, bfile); // no GEM yet: not shown

    ASSERT_GT(vcmd("vlan add 10"), 0);
    ASSERT_GT(vcmd("vlan add 20"), 0);
    ASSERT_GT(vcmd("vlan add 30"), 0);
    for (int i = 0; i < 9; i++)
        ASSERT_GT(vcmd("membership add " + names[i] + " 10"), 0);
    for (int i = 0; i < 7; i++)
        ASSERT_GT(vcmd("membership add " + names[i] + " 20"), 0);
    for (int v = 101; v <= 106; v++) {
        ASSERT_GT(vcmd("vlan add " + std::to_string(v)), 0);
        ASSERT_GT(vcmd("membership add p0 " + std::to_string(v)), 0);
        if (v < 106) {
            ASSERT_GT(vcmd("membership add p1 " + std::to_string(v)), 0);
        }
    }
    struct jxbridge *brv = jxbridge_find("brv");
    ASSERT_NE(brv, nullptr);
    vlan_name_request n = {};
    n.vid = 20;
    strcpy(n.name, "a-rather-long-vlan-name");
    ASSERT_EQ(proc_ioctl(vfile, VLAN_IOCTL_NAME_SET, (unsigned long)&n), 0);
    ASSERT_GT(vcmd("tag set p0 10 1"), 0);
    ASSERT_GT(vcmd("mcast 20 forward"), 0);
    ASSERT_GT(vcmd("pvid set p0 10"), 0);
    ASSERT_GT(vcmd("acceptable set p0 all"), 0);
    ASSERT_GT(vcmd("remark mode p0 1"), 0);
    ASSERT_GT(vcmd("remark add p0 10 20 egress"), 0);
    vlan_port_flag_request f = named<vlan_port_flag_request>("p0");
    f.flag = 1;
    ASSERT_EQ(proc_ioctl(vfile, VLAN_IOCTL_TUNNEL_SET, (unsigned long)&f), 0);
    ASSERT_EQ(proc_ioctl(vfile, VLAN_IOCTL_PORT_MVR_SET, (unsigned long)&f), 0);
    vlan_qinq_request q = named<vlan_qinq_request>("p0");
    q.vid = 100, q.vid2 = 200, q.outer_vid = 300, q.prio = 255;
    ASSERT_EQ(proc_ioctl(vfile, VLAN_IOCTL_QINQ_SELECTIVE_ADD, (unsigned long)&q), 0);
    q.vid = 42, q.prio = 3;
    ASSERT_EQ(proc_ioctl(vfile, VLAN_IOCTL_STACKING_SET, (unsigned long)&q), 0);
    vlan_mvr_request mv = named<vlan_mvr_request>("p0");
    vlan_mvr_rule r4 = {}, r6 = {};
    r4.cvlan = 10, r4.mvlan = 500, r4.family = 2, r4.v4.first = 0xEF010100, r4.v4.last = 0xEF0101FF;
    r6.cvlan = 11, r6.mvlan = 501, r6.family = 10, r6.v6.first[0] = 0xff, r6.v6.first[1] = 0x0e;
    r6.v6.last[0] = 0xff, r6.v6.last[1] = 0x0e, r6.v6.last[15] = 0x01;
    for (const vlan_mvr_rule &r : {r4, r6}) {
        memcpy(mv.rule, &r, sizeof(r));
        ASSERT_EQ(proc_ioctl(vfile, VLAN_IOCTL_MVR_REMARK_ADD, (unsigned long)&mv), 0);
    }

    std::string a = proc_cat(vfile), b = proc_cat(vfile);
    EXPECT_EQ(a, b); // produced once per read
    const std::string ind(26, ' ');
    const std::string head = "Debug:            Off\n"
                             "\n S t a t i s t i c s\n"
                             "Type            |     RX    |     TX\n"
                             "----------------+-----------+----------\n"
                             "Untagged        |         0 |         0\n"
                             "Tagged          |         0 |         0\n"
                             "Priority tagged |         0 |         0\n"
                             "Dropped         |         0 |         0\n"
                             "\nConfigured VLANs\nVLAN Name                 Ports\n" +
                             std::string(77, '-') + "\n";
    EXPECT_EQ(a.substr(0, head.size()), head);
    // Seven names to a line, no comma after the last, and an empty list
    // still ends its line.
    const std::string vlans =
        "   1                      Multicast mode=discard\n" + ind +
        "p0, p1, p2, p3, p4, p5, p6,\n" + ind + "p7, p8, p9, p10, gem1\n" +
        "  10                      Multicast mode=discard\n" + ind +
        "p0, p1, p2, p3, p4, p5, p6,\n" + ind + "p7, p8\n" +
        "  20 a-rather-long-vlan-n Multicast mode=forward\n" + ind +
        "p0, p1, p2, p3, p4, p5, p6\n" + "  30                      Multicast mode=discard\n" +
        ind + "\n" + " 101                      Multicast mode=discard\n" + ind + "p0, p1\n";
    EXPECT_NE(a.find(vlans), std::string::npos) << a;

    // Ports: settings, memberships eight to a line, rules.
    const std::string p0 =
        "\nDevice: p0\n" + std::string(49, '-') +
        "\n\tmode=tunnel, accept=all, PVID=10 (0x000a), stacking tag=42 (0x002a), stacking "
        "priority=3\n"
        "\tMembership:   1-remove, 10-keep, 20-remove, 101-remove, 102-remove, 103-remove, "
        "104-remove, 105-remove,\n"
        "\t              106-remove\n"
        "\tRemarking:    On\n"
        "\t\t10 --> 20 egress\n"
        "\tQ-in-Q:\n"
        "\t\t[100-200] --> 300, priority 255\n"
        "\tMVR:          On\n"
        "\t\tC-VLAN 11 [ff0e:0000:0000:0000:0000:0000:0000:0000, "
        "ff0e:0000:0000:0000:0000:0000:0000:0001] --> M-VLAN 501\n"
        "\t\tC-VLAN 10 [239.1.1.0, 239.1.1.255] --> M-VLAN 500\n";
    EXPECT_NE(a.find(p0), std::string::npos) << a;
    const std::string p1 = "\nDevice: p1\n" + std::string(49, '-') +
                           "\n\tmode=bridge, accept=all, PVID=1 (0x0001), stacking tag=4095 "
                           "(0x0fff), stacking priority=0\n"
                           "\tMembership:   1-remove, 10-remove, 20-remove, 101-remove, "
                           "102-remove, 103-remove, 104-remove, 105-remove\n"
                           "\tRemarking:    Off\n"
                           "\tMVR:          Off\n";
    EXPECT_NE(a.find(p1), std::string::npos) << a;
    EXPECT_NE(a.find("\nDevice: p10\n"), std::string::npos);
    EXPECT_EQ(a.find("Device: gem1"), std::string::npos);
    const std::string last = "\nDevice: p10\n";
    EXPECT_EQ(a.find("\n", a.find("\tMVR:", a.find(last)) + 1), a.size() - 1);

    // Counters and the debug switch show up.
    ASSERT_GT(vcmd("debug 1"), 0);
    ASSERT_GT(vcmd("acceptable set p2 untagged"), 0);
    jxbridge_port *p2 = nullptr;
    ASSERT_EQ(jxbridge_get_port_by_name(brv, "p2", &p2), 0);
    sk_buff *skb = rte_skb_from_bytes(frame({{0x8100, 10}}).data(), 64, 32);
    memset(skb->cb, 0, sizeof(skb->cb));
    mutex_lock(&jxbridge_lock);
    EXPECT_EQ(vlan_process_ingress_rules(brv->vlan, p2, skb), nullptr);
    mutex_unlock(&jxbridge_lock);
    a = proc_cat(vfile);
    EXPECT_EQ(a.rfind("Debug:            On\n\n S t a t", 0), 0u);
    EXPECT_NE(a.find("Tagged          |         1 |         0\n"), std::string::npos);
    EXPECT_NE(a.find("Dropped         |         1 |         0\n"), std::string::npos);
}

TEST_F(VlanFileTest, FramesFollowWhatTheFileConfigured) {
    jxbridge_port *acc = add_port("acc1", 1001), *up = add_port("eth0", 1002, 0);
    jxbridge_port *acc2 = add_port("acc2", 1003), *tun = add_port("acc3", 1004);
    ASSERT_TRUE(acc && up && acc2 && tun);
    const Bytes plain = frame({});

    // Subscriber VLAN 100: PVID with priority 5 on acc1, tagged on the uplink.
    ASSERT_GT(cmd("vlan add 100"), 0);
    for (const char *p : {"acc1", "eth0", "acc2"})
        ASSERT_GT(cmd(std::string("membership add ") + p + " 100"), 0);
    ASSERT_GT(cmd("pvid set acc1 100"), 0);
    ASSERT_GT(cmd("priority set acc1 5"), 0);
    vlan_port_vid_request t = named<vlan_port_vid_request>("eth0");
    t.vid = 100, t.tagged = 1;
    ASSERT_EQ(io(VLAN_IOCTL_TAG_SET, &t), 0);
    const Bytes tagged = frame({{0x8100, 5 << 13 | 100}});
    EXPECT_EQ(through(acc, plain, up), tagged);
    EXPECT_EQ(through(acc, plain, acc2), plain);
    // Tag-ignore through the file strips although eth0 is a tagged member.
    ASSERT_GT(cmd("tag ignore eth0 100 1"), 0);
    EXPECT_EQ(through(acc, plain, up), plain);
    ASSERT_GT(cmd("tag ignore eth0 100 0"), 0);
    // Clearing a port's counters clears the VLAN statistics too.
    ASSERT_EQ(proc_cat(VLAN).find("Untagged        |         0 |"), std::string::npos);
    ASSERT_GT(proc_write("/proc/net/jxbridge/br0/bridge", "clear_counters acc1"), 0);
    EXPECT_NE(proc_cat(VLAN).find("Untagged        |         0 |         0\n"
                                  "Tagged          |         0 |         0\n"),
              std::string::npos);

    // Tagged only: an untagged frame is dropped at the door and counted.
    ASSERT_GT(cmd("acceptable set acc1 tagged"), 0);
    EXPECT_EQ(ingress(acc, plain), nullptr);
    EXPECT_EQ(acc->counters.drop_vlan_ingress_accept_tagged, 1u);
    ASSERT_GT(cmd("acceptable set acc1 all"), 0);

    // Ingress remark from the file: VID 10 enters as VLAN 100.
    ASSERT_GT(cmd("remark mode acc1 1"), 0);
    ASSERT_GT(cmd("remark add acc1 10 100 ingress"), 0);
    EXPECT_EQ(through(acc, frame({{0x8100, 2 << 13 | 10}}), up), frame({{0x8100, 2 << 13 | 100}}));

    // A tunnel port by record: the S-tag ethertype and a selective range
    // that keeps the customer's priority.
    ASSERT_EQ(val(VLAN_IOCTL_ETHERTYPE_SET, 0x88a8), 0);
    ASSERT_EQ(val(VLAN_IOCTL_ADD, 300), 0);
    for (const char *p : {"acc3", "eth0"}) {
        vlan_port_vid_request m = named<vlan_port_vid_request>(p);
        m.vid = 300;
        ASSERT_EQ(io(VLAN_IOCTL_MEMBERSHIP_ADD, &m), 0);
    }
    ASSERT_GT(cmd("tag set eth0 300 1"), 0);
    vlan_port_flag_request f = named<vlan_port_flag_request>("acc3");
    f.flag = 1;
    ASSERT_EQ(io(VLAN_IOCTL_TUNNEL_SET, &f), 0);
    vlan_qinq_request q = named<vlan_qinq_request>("acc3");
    q.vid = 10, q.vid2 = 20, q.outer_vid = 300, q.prio = VLAN_QINQ_KEEP_PRIO;
    ASSERT_EQ(io(VLAN_IOCTL_QINQ_SELECTIVE_ADD, &q), 0);
    EXPECT_EQ(through(tun, frame({{0x8100, 6 << 13 | 15}}), up),
              frame({{0x88a8, 6 << 13 | 300}, {0x8100, 6 << 13 | 15}}));
    // Outside the range the PVID (1) is the outer tag, where eth0 is untagged.
    ASSERT_GT(cmd("membership add eth0 1"), 0);
    EXPECT_EQ(through(tun, frame({{0x8100, 25}}), up), frame({{0x8100, 25}}));

    // After a clear the ports are back in VLAN 1 only.
    ASSERT_EQ(val(VLAN_IOCTL_CLEAR, 0), 0);
    EXPECT_EQ(through(acc, plain, acc2), plain);
    EXPECT_EQ(through(acc, frame({{0x8100, 100}}), up), Bytes{});
}

TEST_F(VlanFileTest, CallsAreLoggedWithTheFileAndCaller) {
    add_port("acc1", 1001);
    // Every switch off: nothing is logged.
    EXPECT_GT(cmd("pvid get acc1"), 0);
    vlan_port_vid_request r = named<vlan_port_vid_request>("acc1");
    ASSERT_EQ(io(VLAN_IOCTL_PVID_GET, &r), 0);
    EXPECT_EQ(logged("[VLAN] write("), 0u);
    EXPECT_EQ(logged("[VLAN] IOCTL("), 0u);

    // The engine's own switch.
    ASSERT_GT(cmd("debug 1"), 0);
    EXPECT_EQ(br->vlan->debug, 1u);
    EXPECT_GT(cmd("pvid get acc1"), 0);
    EXPECT_EQ(logged("[VLAN] write(\"pvid get acc1\") on [vlan] from '"), 1u);
    ASSERT_EQ(io(VLAN_IOCTL_PVID_GET, &r), 0);
    char expect[96];
    snprintf(expect, sizeof(expect), "[VLAN] IOCTL(%u, 0x%08x) on [vlan] from '",
             VLAN_IOCTL_PVID_GET, (u32)(unsigned long)&r);
    EXPECT_EQ(logged(expect), 1u);
    EXPECT_EQ(logged("rte/sources/jxbridge/bridge_proc:"), 1u);
    EXPECT_EQ(logged(" vlan_ioctl()\n"), 1u);
    EXPECT_EQ(val(JXBRIDGE_IOCTL_W(99), 0), -EINVAL); // logged, but not traced
    EXPECT_EQ(logged(" vlan_ioctl()\n"), 1u);
    ASSERT_GT(cmd("debug 0"), 0);
    EXPECT_GT(cmd("vlan show"), 0);
    EXPECT_EQ(logged("[VLAN] write(\"vlan show\")"), 0u);

    // The module's switch.
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "ioctl_debug 1"), 0);
    EXPECT_GT(cmd("vlan show"), 0);
    EXPECT_EQ(logged("[VLAN] write(\"vlan show\") on [vlan] from '"), 1u);
}

} // namespace
