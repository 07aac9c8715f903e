// The packet engine's software data path: what leaves a port over a second
// of simulated time under shapers, schedulers, policers and WRED; and the
// same on the transmit path of a port the engine serves.
#include "linecard/engine.h"
#include "linecard/engine_path.h"
#include "linecard/wire.h"

#include "kernel/netdevice.h"
#include "kernel/time.h"

#include <gtest/gtest.h>

#include <cstring>

#include <array>

namespace {

constexpr u64 MS = 1000000;

sk_buff *frame(u32 len) {
    sk_buff *skb = alloc_skb(len, GFP_ATOMIC);
    skb_put(skb, len);
    return skb;
}

struct Sent {
    std::array<u64, PE_QUEUES> bytes{}; // sent per queue
    u64 dropped = 0;
};

// Offers each listed queue `offer` bit/s of len-byte frames for a second
// (policer as given), sending whatever the path lets go, and counts bytes.
Sent run(pe_path &p, std::initializer_list<int> queues, u64 offer, u32 len, int policer = -1) {
    Sent r;
    const u64 gap = (u64)len * 8 * 1000000000ull / offer;
    u64 next_in = 0;
    for (u64 now = 0; now < 1000 * MS;) {
        while (next_in <= now) {
            for (int q : queues)
                r.dropped += pe_path_enqueue(&p, frame(len), q, policer, next_in) != 0;
            next_in += gap;
        }
        u64 wait;
        while (sk_buff *skb = pe_path_dequeue(&p, now, &wait))
            kfree_skb(skb);
        now = std::min(next_in, wait == PE_NEVER ? next_in : now + wait);
    }
    for (int i = 0; i < PE_QUEUES; i++)
        r.bytes[i] = p.q[i].sent * len;
    pe_path_purge(&p);
    return r;
}

double mbit(u64 bytes) {
    return (double)bytes * 8 / 1e6;
}

TEST(EnginePath, ShapersAndSchedulersShareThePort) {
    pe_path p;
    // Port shaper: 20 Mbit/s out of 100 offered.
    pe_path_init(&p, 0);
    ASSERT_EQ(pe_bucket_set(&p.shaper, 20000000, 64000, 0), 0);
    Sent r = run(p, {0}, 100000000, 1250);
    EXPECT_NEAR(mbit(r.bytes[0]), 20.0, 0.5);
    EXPECT_GT(r.dropped, 0u);

    // Strict priority: 50 offered on each of queues 0 and 7; 7 goes first.
    pe_path_init(&p, 0);
    pe_bucket_set(&p.shaper, 20000000, 64000, 0);
    r = run(p, {0, 7}, 50000000, 500);
    EXPECT_NEAR(mbit(r.bytes[7]), 20.0, 0.5);
    EXPECT_LT(r.bytes[0], 10000u);

    // Equal priority by weight 3:1; a committed rate beats priority.
    pe_path_init(&p, 0);
    pe_bucket_set(&p.shaper, 20000000, 64000, 0);
    for (int q : {1, 2}) {
        p.q[q].priority = 5;
        p.q[q].weighted = 1;
    }
    p.q[1].weight = 3;
    p.q[0].cdr = 1;
    pe_bucket_set(&p.q[0].min, 4000000, 64000, 0);
    r = run(p, {0, 1, 2}, 50000000, 1000);
    EXPECT_NEAR(mbit(r.bytes[0]), 4.0, 0.3);
    EXPECT_NEAR(mbit(r.bytes[1]), 12.0, 0.6);
    EXPECT_NEAR(mbit(r.bytes[2]), 4.0, 0.6);

    // A queue's peak shaper holds it below the port's.
    pe_path_init(&p, 0);
    pe_bucket_set(&p.q[3].max, 3000000, 32000, 0);
    r = run(p, {3}, 10000000, 1000);
    EXPECT_NEAR(mbit(r.bytes[3]), 3.0, 0.2);
}

TEST(EnginePath, PolicerAndWredDrop) {
    pe_path p;
    pe_path_init(&p, 0);
    // RFC 2698: 10 Mbit/s offered, committed 2, peak 4: red beyond the peak is dropped.
    ASSERT_EQ(pe_policer_set(&p.policers[2], 2000000, 16000, 4000000, 16000, 0), 0);
    EXPECT_EQ(pe_policer_set(&p.policers[3], 4000000, 16000, 2000000, 16000, 0), -EINVAL);
    Sent r = run(p, {0}, 10000000, 1000, 2);
    EXPECT_NEAR(mbit(r.bytes[0]), 4.0, 0.2);
    EXPECT_NEAR(mbit(p.dropped_policer * 1000), 6.0, 0.2);

    // WRED: nothing dropped below the minimum threshold, everything above the maximum.
    pe_path_init(&p, 0);
    p.q[0].size = 100;
    p.q[0].wred[0] = {20, 60, 100};
    int first_drop = -1, last_pass = -1;
    for (int i = 0; i < 100; i++) {
        if (pe_path_enqueue(&p, frame(64), 0, -1, 0) == 0)
            last_pass = i;
        else if (first_drop < 0)
            first_drop = i;
    }
    EXPECT_GE(first_drop, 20);
    EXPECT_LT(last_pass, 100);
    EXPECT_GT(p.q[0].dropped_wred, 0u);
    EXPECT_LE(pe_path_queued(&p), 62u);
    pe_path_purge(&p);

    // Long idle at ten Gbit/s: the credit stops at the depth, no wrap.
    pe_bucket b;
    pe_bucket_set(&b, 10000000000ull, 16384000, 0);
    EXPECT_TRUE(pe_bucket_take(&b, 16384000, 3600ull * 1000 * MS));
    EXPECT_FALSE(pe_bucket_take(&b, 12000, 3600ull * 1000 * MS));
    EXPECT_EQ(pe_bucket_wait(&b, 10000, 3600ull * 1000 * MS), 1000u);
}

} // namespace

namespace {

sk_buff *to(net_device *dev, u32 len, bool bcast = false) {
    sk_buff *skb = frame(len);
    memset(skb->data, bcast ? 0xFF : 0, ETH_ALEN);
    skb->data[0] |= bcast ? 0 : 0x02;
    skb->dev = dev;
    return skb;
}

} // namespace

// A port the engine serves: untouched until programmed, then shaped and
// storm-limited on its transmit path, paced by the clock.
TEST(EngineWire, ProgrammedPortsShapeTheirTransmitPath) {
    rte_clock_set_virtual(true);
    net_device *eth1 = linecard_wire_add("eth1"), *other = linecard_wire_add("wz");
    ASSERT_NE(eth1, nullptr);
    auto noop = [](linecard_engine_port &, u64) { return 0; };
    EXPECT_EQ(linecard_engine_port_program(0, 9, noop), -ENODEV);
    EXPECT_EQ(linecard_engine_port_program(1, 1, noop), -ENODEV);
    for (int i = 0; i < 5; i++)
        dev_queue_xmit(to(eth1, 1000));
    EXPECT_EQ(linecard_wire_take(eth1).size(), 5u);

    // 1 Mbit/s with two frames of depth: 100 frames of 8 kbit leave over 0.8 s.
    ASSERT_EQ(linecard_engine_port_program(0, 1,
                                           [](linecard_engine_port &p, u64 now) {
                                               return pe_bucket_set(&p.path.shaper, 1000000, 16000,
                                                                    now);
                                           }),
              0);
    for (int i = 0; i < 100; i++)
        dev_queue_xmit(to(eth1, 1000));
    EXPECT_EQ(linecard_wire_take(eth1).size(), 2u);
    rte_clock_advance_ms(400);
    const size_t mid = linecard_wire_take(eth1).size();
    EXPECT_NEAR(double(mid), 50.0, 2.0);
    rte_clock_advance_ms(600);
    EXPECT_EQ(linecard_wire_take(eth1).size(), 98 - mid);

    // Broadcast storm limit: 10 a second.
    linecard_engine_port_program(0, 1, [](linecard_engine_port &p, u64 now) {
        p.storm_rate[0] = 10;
        return pe_bucket_set(&p.path.shaper, 0, 0, now);
    });
    for (int i = 0; i < 30; i++)
        dev_queue_xmit(to(eth1, 100, true));
    EXPECT_EQ(linecard_wire_take(eth1).size(), 10u);
    u64 dropped = 0;
    linecard_engine_port_read(0, 1, [&](linecard_engine_port &p, u64) {
        dropped = p.storm_dropped[0];
        return 0;
    });
    EXPECT_EQ(dropped, 20u);

    // Frames still waiting when the port goes are freed with it.
    linecard_engine_port_program(0, 1, [](linecard_engine_port &p, u64 now) {
        return pe_bucket_set(&p.path.shaper, 1000000, 16000, now);
    });
    for (int i = 0; i < 20; i++)
        dev_queue_xmit(to(eth1, 1000));
    linecard_wire_del(eth1);
    linecard_wire_del(other);
    rte_clock_advance_ms(100);
}
