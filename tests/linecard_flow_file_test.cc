// The flow manager stand-in as the manager: flows built from the frames a
// bridge of wire ports forwards, dropped when events say forwarding changed,
// and read, flushed and cleared through /proc/net/jxbridge/flow as the tool
// does it.
#include "wire_bridge.h"

#include "kernel/netdevice.h"
#include "linecard/flowmgr.h"
#include "linecard/flowmgr_records.h"
#include "linecard/wire.h"
#include "sources/jxbridge/jxbridge.h"

#include <cstring>

using namespace jxtest;

namespace {

const char *const FLOW = JXFLOW_PROC_PATH;
const char *const VLAN = "/proc/net/jxbridge/br0/vlan";

class FlowFileTest : public WireBridgeTest {
  protected:
    // The frame and whatever the bridge sent with it: flows are what is checked.
    void rx(jxbridge_port *p, const frame &f) {
        WireBridgeTest::rx(p, f);
        drain();
    }
    long flow(u32 index, jxflow_record *r) {
        *r = jxflow_record{};
        r->id = index;
        return proc_ioctl(FLOW, JXFLOW_IOCTL_FLOW_GET, (unsigned long)r);
    }
    jxflow_port_record port_rec(u32 no) {
        jxflow_port_record r = {};
        r.port = no;
        EXPECT_EQ(proc_ioctl(FLOW, JXFLOW_IOCTL_PORT_GET, (unsigned long)&r), 0) << no;
        return r;
    }
    jxflow_table_info table() {
        jxflow_table_info t = {};
        EXPECT_EQ(proc_ioctl(FLOW, JXFLOW_IOCTL_TABLE_GET, (unsigned long)&t), 0);
        return t;
    }
    // The valid flows, by index, as the tool lists them.
    std::vector<jxflow_record> flows() {
        std::vector<jxflow_record> out;
        for (u32 i = 0; i < JXFLOW_TABLE_SIZE; i++) {
            jxflow_record r;
            EXPECT_EQ(flow(i, &r), 0) << i;
            if (r.valid)
                out.push_back(r);
        }
        return out;
    }
    // The flow from in to out, to dst when given.
    const jxflow_record *find(const std::vector<jxflow_record> &all, u32 in, u32 out,
                              const frame &dst = {}) {
        for (const jxflow_record &r : all)
            if (r.in_port == in && r.out_port == out &&
                (dst.empty() || !memcmp(r.dmac, dst.data(), 6)))
                return &r;
        return nullptr;
    }
};

TEST_F(FlowFileTest, ForwardedFramesBecomeFlowsUntilForwardingChanges) {
    jxbridge_port *a = port("wa"), *b = port("wb"), *c = port("wc");
    ASSERT_EQ(linecard_flowmgr_start(), 0);
    EXPECT_EQ(linecard_flowmgr_start(), -EBUSY);

    // An unknown destination is flooded: one flow per output port.
    rx(a, eth(mac(2), mac(1), 0x0800));
    auto all = flows();
    ASSERT_EQ(all.size(), 2u);
    const jxflow_record *ab = find(all, a->port_no, b->port_no);
    ASSERT_NE(ab, nullptr);
    EXPECT_NE(find(all, a->port_no, c->port_no), nullptr);
    EXPECT_EQ(ab->flags, JXFLOW_TYPE_UNICAST << JXFLOW_TYPE_SHIFT);
    EXPECT_EQ(0, memcmp(ab->dmac, mac(2).data(), 6));
    EXPECT_EQ(0, memcmp(ab->smac, mac(1).data(), 6));
    EXPECT_EQ(ab->vid, 1);
    EXPECT_EQ(ab->tci & 0xFFF, 1);
    EXPECT_EQ(ab->ethertype, 0x0800);
    EXPECT_EQ(ab->counter, 1u);
    EXPECT_EQ(ab->in_ucc, a->ucc_index);
    EXPECT_EQ(ab->out_subport, b->ucc_subport);
    const u8 plain[JXFLOW_RULES] = {JXFLOW_RULE_TO_QE, JXFLOW_RULE_COUNT, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, memcmp(ab->rules, plain, sizeof(plain)));
    // The crc names the hash chain; the chain leads to used flows only.
    EXPECT_TRUE(ab->next == JXFLOW_NO_NEXT || ab->next < JXFLOW_TABLE_SIZE);

    u32 ab_id = ab->id;
    // b answers, then a's frames go to b alone: the same flow counts them.
    rx(b, eth(mac(1), mac(2), 0x0800));
    rx(a, eth(mac(2), mac(1), 0x0800));
    rx(a, eth(mac(2), mac(1), 0x0800));
    all = flows();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(find(all, a->port_no, b->port_no)->counter, 3u);
    EXPECT_EQ(find(all, a->port_no, b->port_no)->id, ab_id);
    EXPECT_NE(find(all, b->port_no, a->port_no), nullptr);
    EXPECT_EQ(port_rec(a->port_no).count, 2u);
    EXPECT_EQ(port_rec(b->port_no).count, 1u);
    EXPECT_EQ(port_rec(b->port_no).out_flows, 1u);
    EXPECT_EQ(port_rec(7).count, 0u); // a port with no flows answers too
    jxflow_table_info t = table();
    EXPECT_EQ(t.table_size, JXFLOW_TABLE_SIZE);
    EXPECT_EQ(t.flows, 3u);
    EXPECT_EQ(t.buffers, JXFLOW_TABLE_SIZE - 3);

    // Broadcast is a multicast flow; a multicast frame the bridge drops is a
    // drop flow without output port.
    const frame bcast = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    rx(a, eth(bcast, mac(1), 0x0806));
    ASSERT_GT(proc_write(BR, "mcast drop"), 0);
    rx(a, eth({0x01, 0x00, 0x5e, 0x01, 0x02, 0x03}, mac(1), 0x0800));
    all = flows();
    ASSERT_EQ(all.size(), 6u);
    const jxflow_record *drop = find(all, a->port_no, JXFLOW_NO_PORT);
    ASSERT_NE(drop, nullptr);
    EXPECT_EQ(drop->rules[0], JXFLOW_RULE_DROP);
    EXPECT_EQ(drop->flags >> JXFLOW_TYPE_SHIFT, JXFLOW_TYPE_MCAST);
    ASSERT_NE(find(all, a->port_no, c->port_no, bcast), nullptr);
    EXPECT_EQ(find(all, a->port_no, c->port_no, bcast)->flags >> JXFLOW_TYPE_SHIFT,
              JXFLOW_TYPE_MCAST);
    EXPECT_EQ(find(all, a->port_no, c->port_no, bcast)->ethertype, 0x0806);

    // b becomes a tagged member of VLAN 1: its flows go (the event names the
    // port), and the next frame to it is an extended flow that adds the tag.
    ASSERT_GT(proc_write(VLAN, "tag set wb 1 1"), 0);
    all = flows();
    for (const jxflow_record &r : all)
        EXPECT_TRUE(r.in_port != b->port_no && r.out_port != b->port_no) << r.id;
    EXPECT_GE(port_rec(b->port_no).ev_vlan, 1u);
    EXPECT_EQ(port_rec(b->port_no).last_event, JXFLOW_EV_VLAN);
    rx(a, eth(mac(2), mac(1), 0x0800));
    all = flows();
    ab = find(all, a->port_no, b->port_no, mac(2));
    ASSERT_NE(ab, nullptr);
    EXPECT_EQ(ab->id, 0u); // the lowest free index is taken again
    EXPECT_EQ(ab->flags, JXFLOW_TYPE_UNICAST << JXFLOW_TYPE_SHIFT | JXFLOW_F_EXTENDED);
    const u8 tagging[JXFLOW_RULES] = {
        JXFLOW_RULE_TO_QE, JXFLOW_RULE_ADD_TAG, JXFLOW_RULE_COUNT, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, memcmp(ab->rules, tagging, sizeof(tagging)));
    EXPECT_EQ(ab->ethertype, 0x0800); // the type behind the tag
    // A tagged frame from b leaves a untagged.
    rx(b, eth(mac(1), mac(2), 0x0800, 46, 1));
    all = flows();
    const jxflow_record *ba = find(all, b->port_no, a->port_no);
    ASSERT_NE(ba, nullptr);
    EXPECT_EQ(ba->rules[1], JXFLOW_RULE_REMOVE_TAG);

    // The station behind b moves to c: frames to it no longer take a->b.
    rx(c, eth(mac(1), mac(2), 0x0800));
    all = flows();
    EXPECT_EQ(find(all, a->port_no, b->port_no, mac(2)), nullptr);
    EXPECT_NE(find(all, c->port_no, a->port_no, mac(1)), nullptr);
    EXPECT_EQ(port_rec(b->port_no).ev_mt_update, 1u);
    EXPECT_EQ(port_rec(b->port_no).last_event, JXFLOW_EV_MAC_UPDATE);

    // A port added now is an event for that port; stopping takes the file.
    jxbridge_port *d = port("wd");
    EXPECT_EQ(port_rec(d->port_no).ev_if, 1u);
    EXPECT_EQ(port_rec(d->port_no).last_event, JXFLOW_EV_IF);
    linecard_flowmgr_stop();
    EXPECT_EQ(proc_ioctl(FLOW, JXFLOW_IOCTL_TABLE_GET, (unsigned long)&t), -ENOENT);
    EXPECT_EQ(jxbridge_flow_hook, nullptr);
    EXPECT_EQ(jxbridge_flow_event_hook, nullptr);
}

TEST_F(FlowFileTest, FlushesLimitsAndDebugCounters) {
    jxbridge_port *a = port("wa"), *b = port("wb"), *c = port("wc");
    ASSERT_EQ(linecard_flowmgr_start(), 0);
    rx(a, eth(mac(2), mac(1), 0x0800)); // a->b, a->c
    rx(b, eth(mac(3), mac(2), 0x0800)); // b->a, b->c
    rx(c, eth(mac(9), mac(3), 0x0800)); // c->a, c->b
    ASSERT_EQ(flows().size(), 6u);

    // "flush port" takes the flows entering or leaving the port.
    std::string flush_b = "flush port " + std::to_string(b->port_no);
    EXPECT_EQ(proc_write(FLOW, flush_b), (long)flush_b.size());
    auto all = flows();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_NE(find(all, a->port_no, c->port_no), nullptr);
    EXPECT_NE(find(all, c->port_no, a->port_no), nullptr);
    EXPECT_EQ(port_rec(b->port_no).count, 0u);
    EXPECT_EQ(port_rec(a->port_no).count, 1u);
    EXPECT_EQ(table().reinits, 0u);

    // "flush" empties the table and counts a reinitialisation; a command may
    // end with a newline or a NUL, as echo and C strings send it.
    EXPECT_EQ(proc_write(FLOW, std::string("flush\0junk", 10)), 10);
    EXPECT_TRUE(flows().empty());
    EXPECT_EQ(proc_write(FLOW, "flush\n"), 6);
    EXPECT_EQ(table().reinits, 2u);
    EXPECT_EQ(port_rec(a->port_no).count, 0u);
    EXPECT_EQ(proc_write(FLOW, "show_cpu"), 8);
    EXPECT_EQ(logged("[Flow] Flows: 0 of 16384"), 1u);

    // A port at its limit gets no new flow; that is counted until cleared.
    linecard_flowmgr_set_port_limit(1);
    rx(a, eth(mac(2), mac(1), 0x0800));
    rx(a, eth(mac(3), mac(1), 0x0800));
    rx(a, eth(mac(3), mac(1), 0x0800));
    jxflow_port_record p = port_rec(a->port_no);
    EXPECT_EQ(p.limit, 1u);
    EXPECT_EQ(p.count, 1u);
    EXPECT_EQ(p.limit_exceeded, 1u);
    EXPECT_EQ(p.limit_timeout, 2u);
    EXPECT_EQ(table().limit_exceeded, 1u);
    EXPECT_EQ(flows().size(), 1u);
    // The debug counters clear with any argument: it is no address.
    EXPECT_EQ(proc_ioctl(FLOW, JXFLOW_IOCTL_DEBUG_CLEAR, 0xdeadbeef), 0);
    p = port_rec(a->port_no);
    EXPECT_EQ(p.limit_exceeded, 0u);
    EXPECT_EQ(p.limit_timeout, 0u);
    EXPECT_EQ(p.count, 1u); // flows stay
    EXPECT_EQ(table().limit_exceeded, 0u);
    EXPECT_EQ(table().reinits, 0u);
}

TEST_F(FlowFileTest, BadRequestsTouchNothing) {
    jxbridge_port *a = port("wa");
    port("wb");
    ASSERT_EQ(linecard_flowmgr_start(), 0);
    rx(a, eth(mac(2), mac(1), 0x0800));
    ASSERT_EQ(flows().size(), 1u);

    jxflow_record r;
    EXPECT_EQ(flow(JXFLOW_TABLE_SIZE, &r), -EINVAL);
    EXPECT_EQ(flow(0xFFFFFFFF, &r), -EINVAL);
    EXPECT_EQ(flow(JXFLOW_TABLE_SIZE - 1, &r), 0); // in range, empty
    EXPECT_EQ(r.valid, 0u);
    EXPECT_EQ(r.id, JXFLOW_TABLE_SIZE - 1);
    jxflow_port_record p = {};
    p.port = JXFLOW_PORTS;
    EXPECT_EQ(proc_ioctl(FLOW, JXFLOW_IOCTL_PORT_GET, (unsigned long)&p), -EINVAL);
    p.port = 0x10000 + a->port_no; // not taken as port a's number
    EXPECT_EQ(proc_ioctl(FLOW, JXFLOW_IOCTL_PORT_GET, (unsigned long)&p), -EINVAL);
    EXPECT_EQ(proc_ioctl(FLOW, JXFLOW_IOCTL_FLOW_GET, 8), -EFAULT);
    EXPECT_EQ(proc_ioctl(FLOW, JXFLOW_IOCTL_TABLE_GET, 8), -EFAULT);
    EXPECT_EQ(proc_ioctl(FLOW, 0x40047a09, (unsigned long)&p), -ENOTTY);

    // Writes: the commands exactly, bounded, numbers checked.
    for (const char *bad :
         {"flush port", "flush port 65535", "flush port 1x", "flush port -1",
          "flush port 99999999999", "flush all", "flush port 1 2", "bogus", "show_cpu now"})
        EXPECT_EQ(proc_write(FLOW, bad), -EINVAL) << bad;
    std::string longest = "flush" + std::string(JXFLOW_CMD_MAX - 5, ' ');
    EXPECT_EQ(proc_write(FLOW, longest + " "), -EINVAL); // one byte too many
    EXPECT_EQ(flows().size(), 1u);
    EXPECT_EQ(proc_write(FLOW, "flush port 65534"), 16); // the last port number there is
    EXPECT_EQ(flows().size(), 1u);
    EXPECT_EQ(proc_write(FLOW, longest), JXFLOW_CMD_MAX);
    EXPECT_TRUE(flows().empty());
    EXPECT_EQ(proc_write(FLOW, ""), 0);
}

TEST_F(FlowFileTest, TheBridgeMayGoFirst) {
    // Without the bridge there is nowhere to put the file.
    rte_modules_unload_all();
    EXPECT_EQ(linecard_flowmgr_start(), -ENOENT);
    ASSERT_EQ(rte_module_load("jxbridge_mod"), 0);
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add br0 8"), 0);
    br = jxbridge_find("br0");
    ASSERT_NE(br, nullptr);
    ASSERT_EQ(linecard_flowmgr_start(), 0);
    // A file open while the bridge unloads fails from then on; stopping
    // afterwards leaves a new bridge's directory alone.
    struct file *f = nullptr;
    ASSERT_EQ(rte_vfs_open(FLOW, O_RDONLY, &f), 0);
    rte_modules_unload_all();
    jxflow_table_info t;
    EXPECT_EQ(rte_vfs_ioctl(f, JXFLOW_IOCTL_TABLE_GET, (unsigned long)&t), -EIO);
    rte_vfs_close(f);
    ASSERT_EQ(rte_module_load("jxbridge_mod"), 0);
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add flow 8"), 0); // a bridge named so
    linecard_flowmgr_stop();
    EXPECT_NE(rte_proc_lookup("/proc/net/jxbridge/flow/bridge"), nullptr);
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "del flow"), 0);
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add br0 8"), 0);
    br = jxbridge_find("br0");
    rtnl_lock();
    ASSERT_EQ(dev_open(br->dev), 0);
    rtnl_unlock();
}

} // namespace
