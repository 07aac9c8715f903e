// Frames: ownership, clones and copies, header arithmetic, padding, the
// Ethernet receive helper, queues and the pool's accounting.
#include "kernel/netdevice.h"
#include "kernel/skbuff.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace {

// Pool counters relative to the start of a test.
class PoolDelta {
  public:
    PoolDelta() : base_(rte_skb_pool_get_stats()) {}
    long skbs() const { return long(rte_skb_pool_get_stats().skbs_in_use - base_.skbs_in_use); }
    long buffers() const {
        return long(rte_skb_pool_get_stats().buffers_in_use - base_.buffers_in_use);
    }
    long failures() const {
        return long(rte_skb_pool_get_stats().alloc_failures - base_.alloc_failures);
    }

  private:
    rte_skb_pool_stats base_;
};

std::vector<u8> bytes_of(const sk_buff *skb) {
    return {skb->data, skb->data + skb->len};
}

std::vector<u8> pattern(size_t n, u8 seed) {
    std::vector<u8> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = u8(seed + i * 7);
    return v;
}

// An Ethernet frame: destination, source 02:00:00:00:00:01, type, payload.
std::vector<u8> ether_frame(const u8 *dest, u16 type, size_t payload) {
    std::vector<u8> f(ETH_HLEN + payload);
    memcpy(f.data(), dest, ETH_ALEN);
    const u8 src[ETH_ALEN] = {2, 0, 0, 0, 0, 1};
    memcpy(f.data() + 6, src, ETH_ALEN);
    f[12] = u8(type >> 8);
    f[13] = u8(type);
    for (size_t i = 0; i < payload; i++)
        f[ETH_HLEN + i] = u8(i);
    return f;
}

TEST(KernelSkb, AllocationGivesCleanFramesEvenFromRecycledHeaders) {
    PoolDelta pool;
    // Dirty headers and buffers and give them back, so that the next
    // allocations are likely served from recycled objects.
    std::vector<sk_buff *> dirt;
    for (int i = 0; i < 512; i++) {
        sk_buff *dirty = alloc_skb(128, GFP_ATOMIC);
        ASSERT_NE(dirty, nullptr);
        dirt.push_back(dirty);
        memset(dirty->cb, 0xa5, sizeof(dirty->cb));
        dirty->priority = 7;
        dirty->mark = 9;
        dirty->vlan_tci = 100;
        dirty->vlan_proto = htons(ETH_P_8021Q);
        dirty->pkt_type = PACKET_OTHERHOST;
        dirty->scratch = 0xdeadbeef;
        dirty->gem_prio = 3;
        dirty->protocol = htons(ETH_P_IP);
        dirty->skb_iif = 4;
        skb_reserve(dirty, 16);
        skb_put(dirty, 100);
        skb_reset_mac_header(dirty);
        skb_reset_network_header(dirty);
    }
    for (sk_buff *dirty : dirt)
        kfree_skb(dirty);

    for (int i = 0; i < 512; i++) {
        sk_buff *skb = alloc_skb(300, GFP_KERNEL);
        ASSERT_NE(skb, nullptr);
        EXPECT_EQ(skb->data, skb->head);
        EXPECT_EQ(skb->len, 0u);
        EXPECT_EQ(skb_headroom(skb), 0u);
        EXPECT_GE(skb_tailroom(skb), 300);
        EXPECT_FALSE(skb_mac_header_was_set(skb));
        EXPECT_EQ(skb->network_header, 0);
        EXPECT_EQ(skb->users.load(), 1);
        EXPECT_FALSE(skb_cloned(skb));
        EXPECT_FALSE(skb_shared(skb));
        for (char c : skb->cb)
            ASSERT_EQ(c, 0);
        EXPECT_EQ(skb->priority, 0u);
        EXPECT_EQ(skb->mark, 0u);
        EXPECT_FALSE(skb_vlan_tag_present(skb));
        EXPECT_EQ(skb->pkt_type, PACKET_HOST);
        EXPECT_EQ(skb->scratch, 0u);
        EXPECT_EQ(skb->gem_prio, 0);
        EXPECT_EQ(skb->protocol, 0);
        EXPECT_EQ(skb->dev, nullptr);
        EXPECT_EQ(skb->destructor, nullptr);
        kfree_skb(skb);
    }

    sk_buff *rx = dev_alloc_skb(ETH_FRAME_LEN);
    ASSERT_NE(rx, nullptr);
    EXPECT_EQ(skb_headroom(rx), unsigned(NET_SKB_PAD));
    EXPECT_GE(skb_tailroom(rx), ETH_FRAME_LEN);
    net_device *dev = alloc_etherdev(0);
    ASSERT_NE(dev, nullptr);
    sk_buff *nrx = netdev_alloc_skb(dev, 60);
    ASSERT_NE(nrx, nullptr);
    EXPECT_EQ(nrx->dev, dev);
    EXPECT_EQ(skb_headroom(nrx), unsigned(NET_SKB_PAD));

    // The largest frames the pool holds, filled to the last byte.
    sk_buff *big = alloc_skb(SKB_MAX_ALLOC, GFP_KERNEL);
    ASSERT_NE(big, nullptr);
    memset(skb_put(big, SKB_MAX_ALLOC), 0x5a, SKB_MAX_ALLOC);
    sk_buff *bigrx = dev_alloc_skb(SKB_MAX_ALLOC);
    ASSERT_NE(bigrx, nullptr);
    memset(skb_put(bigrx, SKB_MAX_ALLOC), 0x5a, SKB_MAX_ALLOC);

    EXPECT_EQ(alloc_skb(SKB_MAX_ALLOC + 1, GFP_KERNEL), nullptr);
    EXPECT_EQ(dev_alloc_skb(SKB_MAX_ALLOC + 1), nullptr);
    EXPECT_EQ(alloc_skb(~0u, GFP_KERNEL), nullptr);
    EXPECT_EQ(pool.failures(), 3);

    EXPECT_EQ(pool.skbs(), 4);
    EXPECT_EQ(pool.buffers(), 4);
    kfree_skb(rx);
    kfree_skb(nrx);
    kfree_skb(big);
    kfree_skb(bigrx);
    kfree_skb(nullptr);
    free_netdev(dev);
    EXPECT_EQ(pool.skbs(), 0);
    EXPECT_EQ(pool.buffers(), 0);
}

TEST(KernelSkb, PushPullPutTrimKeepPointersAndLengthsInStep) {
    PoolDelta pool;
    sk_buff *skb = alloc_skb(256, GFP_KERNEL);
    ASSERT_NE(skb, nullptr);
    skb_reserve(skb, 32);
    EXPECT_EQ(skb_headroom(skb), 32u);

    const std::vector<u8> payload = pattern(100, 1);
    u8 *put = static_cast<u8 *>(skb_put(skb, 100));
    EXPECT_EQ(put, skb->data);
    memcpy(put, payload.data(), payload.size());
    EXPECT_EQ(skb->len, 100u);
    EXPECT_EQ(skb_tail_pointer(skb), skb->data + 100);

    // A second put lands right after the first.
    u8 *more = static_cast<u8 *>(skb_put(skb, 10));
    EXPECT_EQ(more, skb->data + 100);
    memset(more, 0xee, 10);

    u8 *hdr = static_cast<u8 *>(skb_push(skb, 18));
    EXPECT_EQ(hdr, skb->data);
    EXPECT_EQ(skb_headroom(skb), 14u);
    EXPECT_EQ(skb->len, 128u);
    memset(hdr, 0x11, 18);
    // The whole headroom can be used, to the byte.
    skb_push(skb, 14);
    EXPECT_EQ(skb->data, skb->head);
    EXPECT_EQ(skb->len, 142u);

    EXPECT_EQ(skb_pull(skb, 32), skb->data);
    EXPECT_EQ(skb->len, 110u);
    EXPECT_EQ(0, memcmp(skb->data, payload.data(), payload.size()));

    // Pulling more than there is fails and leaves the frame alone.
    u8 *before = skb->data;
    EXPECT_EQ(skb_pull(skb, 111), nullptr);
    EXPECT_EQ(skb->data, before);
    EXPECT_EQ(skb->len, 110u);
    EXPECT_NE(skb_pull(skb, 110), nullptr);
    EXPECT_EQ(skb->len, 0u);
    skb_push(skb, 110);

    skb_trim(skb, 100);
    EXPECT_EQ(skb->len, 100u);
    EXPECT_EQ(skb_tail_pointer(skb), skb->data + 100);
    skb_trim(skb, 200); // never grows
    EXPECT_EQ(skb->len, 100u);
    // Tailroom came back with the trim.
    int room = skb_tailroom(skb);
    skb_put(skb, room);
    EXPECT_EQ(skb_tailroom(skb), 0);
    EXPECT_EQ(skb_tail_pointer(skb), skb_end_pointer(skb));

    kfree_skb(skb);
    EXPECT_EQ(pool.skbs(), 0);
    EXPECT_EQ(pool.buffers(), 0);
}

TEST(KernelSkb, ClonesShareDataUntilUnshared) {
    PoolDelta pool;
    const std::vector<u8> orig = pattern(200, 3);
    sk_buff *a = rte_skb_from_bytes(orig.data(), orig.size(), NET_SKB_PAD);
    ASSERT_NE(a, nullptr);
    a->priority = 5;
    a->vlan_tci = 42;
    a->vlan_proto = htons(ETH_P_8021Q);
    memcpy(a->cb, "control block", 14);
    skb_set_network_header(a, ETH_HLEN);

    sk_buff *b = skb_clone(a, GFP_ATOMIC);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(b->data, a->data);
    EXPECT_EQ(bytes_of(b), orig);
    EXPECT_EQ(b->priority, 5u);
    EXPECT_EQ(b->vlan_tci, 42);
    EXPECT_STREQ(b->cb, "control block");
    EXPECT_EQ(skb_network_header(b), skb_network_header(a));
    EXPECT_TRUE(skb_cloned(a));
    EXPECT_TRUE(skb_cloned(b));
    EXPECT_EQ(pool.skbs(), 2);
    EXPECT_EQ(pool.buffers(), 1);

    // Each header moves on its own.
    skb_pull(b, ETH_HLEN);
    EXPECT_EQ(a->len, 200u);
    EXPECT_EQ(b->len, 200u - ETH_HLEN);

    // Unsharing gives b private data; writes to it leave a's bytes alone.
    sk_buff *c = skb_unshare(b, GFP_ATOMIC);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c->data, a->data + ETH_HLEN);
    EXPECT_EQ(c->len, 200u - ETH_HLEN);
    EXPECT_EQ(0, memcmp(c->data, orig.data() + ETH_HLEN, c->len));
    EXPECT_STREQ(c->cb, "control block");
    memset(c->data, 0, c->len);
    EXPECT_EQ(bytes_of(a), orig);
    EXPECT_FALSE(skb_cloned(c));
    // a is the only user of its data again.
    EXPECT_FALSE(skb_cloned(a));
    EXPECT_EQ(skb_unshare(a, GFP_ATOMIC), a);
    EXPECT_EQ(pool.skbs(), 2);
    EXPECT_EQ(pool.buffers(), 2);

    // Freeing the first of two clones must not release their data.
    sk_buff *d = skb_clone(a, GFP_ATOMIC);
    ASSERT_NE(d, nullptr);
    kfree_skb(a);
    EXPECT_EQ(bytes_of(d), orig);
    memset(d->data, 0x77, d->len); // still ours to write
    EXPECT_FALSE(skb_cloned(d));

    kfree_skb(c);
    kfree_skb(d);
    EXPECT_EQ(pool.skbs(), 0);
    EXPECT_EQ(pool.buffers(), 0);
}

TEST(KernelSkb, UsersAndShareCheck) {
    PoolDelta pool;
    const std::vector<u8> orig = pattern(64, 9);
    sk_buff *skb = rte_skb_from_bytes(orig.data(), orig.size(), 16);
    ASSERT_NE(skb, nullptr);

    static int destructed;
    destructed = 0;
    skb->destructor = [](sk_buff *) { destructed++; };

    EXPECT_EQ(skb_get(skb), skb);
    EXPECT_TRUE(skb_shared(skb));
    kfree_skb(skb); // drops the extra user only
    EXPECT_EQ(destructed, 0);
    EXPECT_EQ(pool.skbs(), 1);
    EXPECT_EQ(bytes_of(skb), orig);

    // A second holder: share_check hands back a header of our own.
    skb_get(skb);
    sk_buff *mine = skb_share_check(skb, GFP_ATOMIC);
    ASSERT_NE(mine, nullptr);
    EXPECT_NE(mine, skb);
    EXPECT_FALSE(skb_shared(skb));
    EXPECT_FALSE(skb_shared(mine));
    EXPECT_EQ(bytes_of(mine), orig);
    // Not shared: the same frame comes back.
    EXPECT_EQ(skb_share_check(mine, GFP_ATOMIC), mine);

    kfree_skb(skb);
    EXPECT_EQ(destructed, 1);
    kfree_skb(mine);
    EXPECT_EQ(destructed, 1); // clones do not inherit the destructor
    EXPECT_EQ(pool.skbs(), 0);
    EXPECT_EQ(pool.buffers(), 0);
}

TEST(KernelSkb, CopiesArePrivateAndKeepHeaderOffsets) {
    PoolDelta pool;
    const u8 dest[ETH_ALEN] = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
    const std::vector<u8> frame = ether_frame(dest, ETH_P_IP, 46);
    sk_buff *skb = rte_skb_from_bytes(frame.data(), frame.size(), NET_SKB_PAD);
    ASSERT_NE(skb, nullptr);
    // The MAC header ends up in the headroom, as on receive.
    skb->protocol = eth_type_trans(skb, nullptr);
    skb_reset_network_header(skb);
    skb_set_transport_header(skb, 20);
    skb->mark = 77;

    sk_buff *copy = skb_copy(skb, GFP_ATOMIC);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->head, skb->head);
    EXPECT_EQ(bytes_of(copy), bytes_of(skb));
    EXPECT_EQ(skb_headroom(copy), skb_headroom(skb));
    EXPECT_EQ(copy->mark, 77u);
    EXPECT_EQ(copy->protocol, htons(ETH_P_IP));
    EXPECT_EQ(0, memcmp(skb_mac_header(copy), frame.data(), ETH_HLEN));
    EXPECT_EQ(skb_network_header(copy), copy->data);
    EXPECT_EQ(skb_transport_header(copy), copy->data + 20);
    EXPECT_FALSE(skb_cloned(copy));
    EXPECT_FALSE(skb_cloned(skb));
    memset(copy->data, 0xff, copy->len);
    memset(skb_mac_header(copy), 0xff, ETH_HLEN);
    EXPECT_EQ(0, memcmp(skb_mac_header(skb), frame.data(), frame.size()));

    // More headroom and tailroom: the headers still point at the same bytes.
    sk_buff *wide = skb_copy_expand(skb, 200, 300, GFP_ATOMIC);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(skb_headroom(wide), 200u);
    EXPECT_GE(skb_tailroom(wide), 300);
    EXPECT_EQ(bytes_of(wide), bytes_of(skb));
    EXPECT_EQ(0, memcmp(skb_mac_header(wide), frame.data(), ETH_HLEN));
    EXPECT_EQ(skb_mac_header(wide) + ETH_HLEN, wide->data);
    EXPECT_EQ(skb_network_header(wide), wide->data);
    EXPECT_EQ(skb_transport_header(wide), wide->data + 20);

    // Less headroom, still enough for the MAC header.
    sk_buff *narrow = skb_copy_expand(skb, ETH_HLEN, 0, GFP_ATOMIC);
    ASSERT_NE(narrow, nullptr);
    EXPECT_EQ(skb_headroom(narrow), unsigned(ETH_HLEN));
    EXPECT_EQ(narrow->mac_header, 0);
    EXPECT_EQ(0, memcmp(skb_mac_header(narrow), frame.data(), frame.size()));
    EXPECT_EQ(skb_transport_header(narrow), narrow->data + 20);

    // Too big for any buffer: no frame, nothing leaked.
    EXPECT_EQ(skb_copy_expand(skb, 0, SKB_MAX_ALLOC + NET_SKB_PAD, GFP_ATOMIC), nullptr);

    kfree_skb(skb);
    kfree_skb(copy);
    kfree_skb(wide);
    kfree_skb(narrow);
    EXPECT_EQ(pool.skbs(), 0);
    EXPECT_EQ(pool.buffers(), 0);
}

TEST(KernelSkb, ExpandingTheHeadKeepsBytesAndOffsetsAndSeparatesClones) {
    PoolDelta pool;
    const u8 dest[ETH_ALEN] = {0x02, 1, 2, 3, 4, 5};
    const std::vector<u8> frame = ether_frame(dest, ETH_P_ARP, 28);
    sk_buff *skb = rte_skb_from_bytes(frame.data(), frame.size(), 8);
    ASSERT_NE(skb, nullptr);
    skb_pull(skb, ETH_HLEN);
    skb_reset_network_header(skb);

    ASSERT_EQ(pskb_expand_head(skb, 100, 50, GFP_ATOMIC), 0);
    EXPECT_EQ(skb_headroom(skb), 108u + ETH_HLEN);
    EXPECT_GE(skb_tailroom(skb), 50);
    EXPECT_EQ(0, memcmp(skb_mac_header(skb), frame.data(), frame.size()));
    EXPECT_EQ(skb_network_header(skb), skb->data);
    EXPECT_EQ(skb->len, frame.size() - ETH_HLEN);

    // A clone that is expanded gets its own data; the other keeps the old.
    sk_buff *clone = skb_clone(skb, GFP_ATOMIC);
    ASSERT_NE(clone, nullptr);
    ASSERT_EQ(pskb_expand_head(clone, 0, 0, GFP_ATOMIC), 0);
    EXPECT_FALSE(skb_cloned(clone));
    EXPECT_FALSE(skb_cloned(skb));
    memset(clone->data, 0, clone->len);
    memset(skb_mac_header(clone), 0, ETH_HLEN);
    EXPECT_EQ(0, memcmp(skb_mac_header(skb), frame.data(), frame.size()));

    // A request no buffer can meet fails and leaves the frame as it was.
    unsigned char *head = skb->head;
    const unsigned headroom = skb_headroom(skb);
    EXPECT_EQ(pskb_expand_head(skb, SKB_MAX_ALLOC + NET_SKB_PAD, 0, GFP_ATOMIC), -ENOMEM);
    EXPECT_EQ(skb->head, head);
    EXPECT_EQ(skb_headroom(skb), headroom);
    EXPECT_EQ(0, memcmp(skb_mac_header(skb), frame.data(), frame.size()));

    // skb_cow_head: room to push a tag, and data of our own to write it into.
    sk_buff *tagged = skb_clone(skb, GFP_ATOMIC);
    ASSERT_NE(tagged, nullptr);
    skb_push(tagged, ETH_HLEN);
    ASSERT_EQ(skb_cow_head(tagged, skb_headroom(tagged) + VLAN_HLEN + 100), 0);
    EXPECT_GE(skb_headroom(tagged), 100u + VLAN_HLEN);
    u8 *p = static_cast<u8 *>(skb_push(tagged, VLAN_HLEN));
    memmove(p, p + VLAN_HLEN, 2 * ETH_ALEN);
    EXPECT_EQ(0, memcmp(skb_mac_header(skb), frame.data(), frame.size()));
    EXPECT_EQ(tagged->len, frame.size() + VLAN_HLEN);
    // Enough room and private data: nothing to do.
    unsigned char *tagged_head = tagged->head;
    EXPECT_EQ(skb_cow(tagged, 4), 0);
    EXPECT_EQ(tagged->head, tagged_head);

    // skb_realloc_headroom gives a second frame; the first stays the caller's.
    sk_buff *roomy = skb_realloc_headroom(skb, 400);
    ASSERT_NE(roomy, nullptr);
    EXPECT_NE(roomy, skb);
    EXPECT_GE(skb_headroom(roomy), 400u);
    EXPECT_EQ(bytes_of(roomy), bytes_of(skb));
    memset(roomy->data, 0, roomy->len);
    EXPECT_EQ(0, memcmp(skb_mac_header(skb), frame.data(), frame.size()));
    sk_buff *same = skb_realloc_headroom(skb, 0);
    ASSERT_NE(same, nullptr);
    EXPECT_EQ(bytes_of(same), bytes_of(skb));

    kfree_skb(skb);
    kfree_skb(clone);
    kfree_skb(tagged);
    kfree_skb(roomy);
    kfree_skb(same);
    EXPECT_EQ(pool.skbs(), 0);
    EXPECT_EQ(pool.buffers(), 0);
}

TEST(KernelSkb, PaddingZeroesTheTailAndFreesOnFailure) {
    PoolDelta pool;
    sk_buff *skb = alloc_skb(128, GFP_KERNEL);
    ASSERT_NE(skb, nullptr);
    // Leave old bytes behind the tail.
    memset(skb_put(skb, 100), 0xaa, 100);
    skb_trim(skb, 20);

    ASSERT_EQ(skb_padto(skb, ETH_ZLEN), 0);
    EXPECT_EQ(skb->len, 20u); // padto only makes the bytes available
    for (int i = 20; i < ETH_ZLEN; i++)
        ASSERT_EQ(skb->data[i], 0) << i;
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(skb->data[i], 0xaa) << i;
    EXPECT_EQ(skb_padto(skb, 10), 0); // already long enough
    EXPECT_EQ(skb->len, 20u);

    // Padding a clone must not write into the data the other clone shares.
    memset(skb_put(skb, 40), 0xbb, 40);
    skb_trim(skb, 20);
    sk_buff *clone = skb_clone(skb, GFP_ATOMIC);
    ASSERT_NE(clone, nullptr);
    skb_put(skb, 40); // the original still owns those 0xbb bytes
    ASSERT_EQ(eth_skb_pad(clone), 0);
    EXPECT_EQ(clone->len, unsigned(ETH_ZLEN));
    for (int i = 20; i < ETH_ZLEN; i++)
        ASSERT_EQ(clone->data[i], 0) << i;
    for (int i = 20; i < 60; i++)
        ASSERT_EQ(skb->data[i], 0xbb) << i;

    // Short of tailroom: the frame grows and keeps its bytes.
    sk_buff *full = alloc_skb(64, GFP_KERNEL);
    ASSERT_NE(full, nullptr);
    const unsigned fill = unsigned(skb_tailroom(full)) - 8;
    const std::vector<u8> body = pattern(fill, 5);
    skb_put_data(full, body.data(), fill);
    ASSERT_EQ(skb_put_padto(full, fill + 100), 0);
    EXPECT_EQ(full->len, fill + 100);
    EXPECT_EQ(0, memcmp(full->data, body.data(), fill));
    for (unsigned i = fill; i < fill + 100; i++)
        ASSERT_EQ(full->data[i], 0) << i;

    // No buffer is that big: the frame is freed, as the kernel does.
    EXPECT_EQ(skb_padto(full, SKB_MAX_ALLOC * 2), -ENOMEM);
    EXPECT_EQ(pool.skbs(), 2);

    kfree_skb(skb);
    kfree_skb(clone);
    EXPECT_EQ(pool.skbs(), 0);
    EXPECT_EQ(pool.buffers(), 0);
}

TEST(KernelSkb, BoundedReadsStayInsideTheFrame) {
    const std::vector<u8> orig = pattern(40, 11);
    sk_buff *skb = rte_skb_from_bytes(orig.data(), orig.size(), 16);
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(skb_headroom(skb), 16u);
    EXPECT_EQ(skb_mac_header(skb), skb->data);

    u8 buf[64];
    EXPECT_EQ(skb_copy_bits(skb, 10, buf, 30), 0);
    EXPECT_EQ(0, memcmp(buf, orig.data() + 10, 30));
    EXPECT_EQ(skb_copy_bits(skb, 10, buf, 31), -EFAULT);
    EXPECT_EQ(skb_copy_bits(skb, 40, buf, 0), 0);
    EXPECT_EQ(skb_copy_bits(skb, 41, buf, 0), -EFAULT);
    EXPECT_EQ(skb_copy_bits(skb, 0, buf, -1), -EFAULT);
    EXPECT_EQ(skb_copy_bits(skb, 0x7fffffff, buf, 0x7fffffff), -EFAULT);
    EXPECT_EQ(skb_copy_bits(skb, -17, buf, 4), -EFAULT); // before the head

    auto *p = static_cast<const u8 *>(skb_header_pointer(skb, 36, 4, buf));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(0, memcmp(p, orig.data() + 36, 4));
    EXPECT_EQ(skb_header_pointer(skb, 37, 4, buf), nullptr);
    EXPECT_EQ(skb_header_pointer(skb, 0x7ffffff0, 0x7ffffff0, buf), nullptr);
    EXPECT_EQ(skb_header_pointer(skb, -100, 4, buf), nullptr);

    // The same bounds after a pull.
    skb_pull(skb, 30);
    EXPECT_EQ(skb_copy_bits(skb, 0, buf, 10), 0);
    EXPECT_EQ(0, memcmp(buf, orig.data() + 30, 10));
    EXPECT_EQ(skb_copy_bits(skb, 0, buf, 11), -EFAULT);
    // Reaching back over the pulled bytes is allowed.
    EXPECT_EQ(skb_copy_bits(skb, -30, buf, 40), 0);
    EXPECT_EQ(0, memcmp(buf, orig.data(), 40));
    kfree_skb(skb);
}

TEST(KernelSkb, EthTypeTransClassifiesAndPullsTheHeader) {
    net_device *dev = alloc_etherdev(0);
    ASSERT_NE(dev, nullptr);
    const u8 self[ETH_ALEN] = {0x02, 0x10, 0x20, 0x30, 0x40, 0x50};
    memcpy(dev->dev_addr, self, ETH_ALEN);
    const u8 other[ETH_ALEN] = {0x02, 0x10, 0x20, 0x30, 0x40, 0x51};
    const u8 bcast[ETH_ALEN] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    const u8 mcast[ETH_ALEN] = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x01};

    struct Case {
        const u8 *dest;
        u16 type;
        int pkt_type;
        u16 proto;
    } cases[] = {
        {self, ETH_P_IP, PACKET_HOST, ETH_P_IP},
        {other, ETH_P_ARP, PACKET_OTHERHOST, ETH_P_ARP},
        {bcast, ETH_P_ARP, PACKET_BROADCAST, ETH_P_ARP},
        {mcast, ETH_P_IPV6, PACKET_MULTICAST, ETH_P_IPV6},
        {self, 46, PACKET_HOST, 0x0004}, // 802.3 length: LLC
    };
    for (const Case &c : cases) {
        const std::vector<u8> frame = ether_frame(c.dest, c.type, 46);
        sk_buff *skb = rte_skb_from_bytes(frame.data(), frame.size(), NET_SKB_PAD);
        ASSERT_NE(skb, nullptr);
        skb->pkt_type = PACKET_OUTGOING; // must be overwritten
        const __be16 proto = eth_type_trans(skb, dev);
        EXPECT_EQ(ntohs(proto), c.proto) << c.type;
        EXPECT_EQ(skb->pkt_type, c.pkt_type) << c.type;
        EXPECT_EQ(skb->protocol, 0); // the caller stores it
        EXPECT_EQ(skb->dev, dev);
        EXPECT_EQ(skb->len, 46u);
        EXPECT_EQ(skb->data, skb_mac_header(skb) + ETH_HLEN);
        EXPECT_EQ(0, memcmp(eth_hdr(skb)->h_dest, c.dest, ETH_ALEN));
        kfree_skb(skb);
    }

    // Raw 802.3 starts its payload with 0xFFFF.
    std::vector<u8> raw = ether_frame(self, 46, 46);
    raw[ETH_HLEN] = raw[ETH_HLEN + 1] = 0xff;
    sk_buff *skb = rte_skb_from_bytes(raw.data(), raw.size(), 0);
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(ntohs(eth_type_trans(skb, dev)), 0x0001);
    kfree_skb(skb);

    // A runt has no header to pull.
    skb = rte_skb_from_bytes(raw.data(), 10, 0);
    ASSERT_NE(skb, nullptr);
    eth_type_trans(skb, dev);
    EXPECT_EQ(skb->len, 10u);
    EXPECT_EQ(skb->pkt_type, PACKET_OTHERHOST);
    kfree_skb(skb);
    free_netdev(dev);
}

TEST(KernelSkb, QueuesKeepOrderAndPurgeFreesEverything) {
    PoolDelta pool;
    sk_buff_head q;
    skb_queue_head_init(&q);
    EXPECT_TRUE(skb_queue_empty(&q));
    EXPECT_EQ(skb_peek(&q), nullptr);
    EXPECT_EQ(skb_dequeue(&q), nullptr);

    sk_buff *f[5];
    for (int i = 0; i < 5; i++) {
        f[i] = alloc_skb(64, GFP_ATOMIC);
        ASSERT_NE(f[i], nullptr);
    }
    skb_queue_tail(&q, f[1]);
    skb_queue_tail(&q, f[2]);
    __skb_queue_head(&q, f[0]);
    __skb_queue_tail(&q, f[3]);
    skb_queue_tail(&q, f[4]);
    EXPECT_EQ(skb_queue_len(&q), 5u);
    EXPECT_EQ(skb_peek(&q), f[0]);

    // Out of the middle, then the rest in order.
    __skb_unlink(f[2], &q);
    EXPECT_EQ(f[2]->next, nullptr);
    EXPECT_EQ(skb_queue_len(&q), 4u);
    kfree_skb(f[2]);
    EXPECT_EQ(skb_dequeue(&q), f[0]);
    EXPECT_EQ(__skb_dequeue(&q), f[1]);
    kfree_skb(f[0]);
    kfree_skb(f[1]);
    __skb_unlink(f[4], &q); // the last one
    EXPECT_EQ(skb_peek(&q), f[3]);
    skb_queue_tail(&q, f[4]);
    EXPECT_EQ(skb_queue_len(&q), 2u);

    skb_queue_purge(&q);
    EXPECT_TRUE(skb_queue_empty(&q));
    EXPECT_EQ(skb_queue_len(&q), 0u);
    EXPECT_EQ(pool.skbs(), 0);
    EXPECT_EQ(pool.buffers(), 0);
}

TEST(KernelSkb, ConcurrentProducersLoseNothingAndThePoolBalances) {
    PoolDelta pool;
    sk_buff_head q;
    skb_queue_head_init(&q);
    constexpr int kProducers = 3;
    constexpr int kPerProducer = 2000;

    std::atomic<int> finished{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; p++) {
        producers.emplace_back([&q, &finished, p] {
            struct Done {
                std::atomic<int> &n;
                ~Done() { n++; }
            } done{finished};
            for (int i = 0; i < kPerProducer; i++) {
                sk_buff *skb = alloc_skb(i % 2 ? 100 : 4000, GFP_ATOMIC);
                ASSERT_NE(skb, nullptr);
                const int id = p * kPerProducer + i;
                memcpy(skb_put(skb, sizeof(id)), &id, sizeof(id));
                // Clones and copies exercise the shared-data paths too.
                if (i % 3 == 0) {
                    sk_buff *clone = skb_clone(skb, GFP_ATOMIC);
                    ASSERT_NE(clone, nullptr);
                    kfree_skb(skb);
                    skb = clone;
                } else if (i % 3 == 1) {
                    sk_buff *copy = skb_copy(skb, GFP_ATOMIC);
                    ASSERT_NE(copy, nullptr);
                    kfree_skb(skb);
                    skb = copy;
                }
                skb_queue_tail(&q, skb);
            }
        });
    }

    std::set<int> seen;
    for (;;) {
        // Read before dequeueing: an empty queue after the last producer
        // finished means everything has been seen.
        const bool all_done = finished.load() == kProducers;
        sk_buff *skb = skb_dequeue(&q);
        if (!skb) {
            if (all_done)
                break;
            std::this_thread::yield();
            continue;
        }
        int id;
        ASSERT_EQ(skb_copy_bits(skb, 0, &id, sizeof(id)), 0);
        EXPECT_TRUE(seen.insert(id).second) << id;
        kfree_skb(skb);
    }
    for (auto &t : producers)
        t.join();
    ASSERT_EQ(seen.size(), size_t(kProducers * kPerProducer));
    EXPECT_EQ(*seen.begin(), 0);
    EXPECT_EQ(*seen.rbegin(), kProducers * kPerProducer - 1);
    EXPECT_EQ(pool.skbs(), 0);
    EXPECT_EQ(pool.buffers(), 0);
}

} // namespace
