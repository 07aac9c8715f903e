// Network devices (names, registry, open/close and the notifier chain, receive
// and transmit) and netlink (unicast, broadcast, messages to the kernel).
#include "kernel/netdevice.h"
#include "kernel/netlink.h"
#include "kernel/skbuff.h"
#include "kernel/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

long frames_in_use() {
    return long(rte_skb_pool_get_stats().skbs_in_use);
}

// Everything a test device's operations and the notifiers saw, in order.
std::vector<std::string> events;

void record(const std::string &what) {
    events.push_back(what);
}

int test_open(net_device *dev) {
    record(std::string("open ") + dev->name);
    return 0;
}
int test_stop(net_device *dev) {
    record(std::string("stop ") + dev->name);
    return 0;
}
int test_init(net_device *dev) {
    record(std::string("init ") + dev->name);
    return 0;
}
void test_uninit(net_device *dev) {
    record(std::string("uninit ") + dev->name);
}

const net_device_ops test_ops = {
    .ndo_init = test_init,
    .ndo_uninit = test_uninit,
    .ndo_open = test_open,
    .ndo_stop = test_stop,
};

const char *event_name(unsigned long event) {
    switch (event) {
    case NETDEV_UP:
        return "UP";
    case NETDEV_DOWN:
        return "DOWN";
    case NETDEV_REGISTER:
        return "REGISTER";
    case NETDEV_UNREGISTER:
        return "UNREGISTER";
    case NETDEV_GOING_DOWN:
        return "GOING_DOWN";
    case NETDEV_CHANGENAME:
        return "CHANGENAME";
    default:
        return "OTHER";
    }
}

// Records events for devices whose names start with "kdt", and checks that a
// handler can look the device up while it is being told about it.
int recording_notifier(notifier_block *, unsigned long event, void *ptr) {
    net_device *dev = netdev_notifier_info_to_dev(ptr);
    if (strncmp(dev->name, "kdt", 3) != 0)
        return NOTIFY_DONE;
    std::string line = std::string(event_name(event)) + " " + dev->name;
    const bool listed = __dev_get_by_name(&init_net, dev->name) == dev;
    if (event == NETDEV_UNREGISTER && listed)
        line += " (still listed)";
    if (event != NETDEV_UNREGISTER && !listed)
        line += " (not listed)";
    record(line);
    return NOTIFY_OK;
}

net_device *new_test_dev(const char *name) {
    net_device *dev = alloc_netdev(0, name, NET_NAME_USER, ether_setup);
    if (dev)
        dev->netdev_ops = &test_ops;
    return dev;
}

TEST(KernelNetdev, NamesTemplatesAndLookups) {
    net_device *devs[3];
    for (auto &d : devs) {
        d = alloc_netdev(0, "kdn%d", NET_NAME_ENUM, ether_setup);
        ASSERT_NE(d, nullptr);
        EXPECT_STREQ(d->name, "kdn%d"); // resolved at register time
        ASSERT_EQ(register_netdev(d), 0);
    }
    EXPECT_STREQ(devs[0]->name, "kdn0");
    EXPECT_STREQ(devs[1]->name, "kdn1");
    EXPECT_STREQ(devs[2]->name, "kdn2");
    EXPECT_LT(devs[0]->ifindex, devs[1]->ifindex);
    EXPECT_LT(devs[1]->ifindex, devs[2]->ifindex);
    EXPECT_GT(devs[0]->ifindex, 0);

    // Ethernet defaults.
    EXPECT_EQ(devs[0]->mtu, 1500u);
    EXPECT_EQ(devs[0]->type, ARPHRD_ETHER);
    EXPECT_EQ(devs[0]->hard_header_len, ETH_HLEN);
    EXPECT_EQ(devs[0]->addr_len, ETH_ALEN);
    EXPECT_TRUE(is_broadcast_ether_addr(devs[0]->broadcast));
    EXPECT_EQ(devs[0]->flags, unsigned(IFF_BROADCAST | IFF_MULTICAST));

    EXPECT_EQ(__dev_get_by_name(&init_net, "kdn1"), devs[1]);
    EXPECT_EQ(__dev_get_by_index(&init_net, devs[2]->ifindex), devs[2]);
    net_device *held = dev_get_by_name(&init_net, "kdn2");
    EXPECT_EQ(held, devs[2]);
    EXPECT_EQ(devs[2]->refcnt.load(), 1);
    dev_put(held);
    held = dev_get_by_index(&init_net, devs[0]->ifindex);
    EXPECT_EQ(held, devs[0]);
    EXPECT_EQ(devs[0]->refcnt.load(), 1);
    dev_put(held);

    // The snapshot is in ifindex order and holds ours.
    std::vector<net_device *> all = rte_netdev_list();
    for (size_t i = 1; i < all.size(); i++)
        EXPECT_LT(all[i - 1]->ifindex, all[i]->ifindex);
    int ours = 0;
    for (net_device *d : all)
        ours += d == devs[0] || d == devs[1] || d == devs[2];
    EXPECT_EQ(ours, 3);

    // A freed unit is the next one handed out; ifindexes are not reused.
    const int old_index = devs[1]->ifindex;
    unregister_netdev(devs[1]);
    EXPECT_EQ(__dev_get_by_name(&init_net, "kdn1"), nullptr);
    EXPECT_EQ(__dev_get_by_index(&init_net, old_index), nullptr);
    free_netdev(devs[1]);
    devs[1] = alloc_netdev(0, "kdn%d", NET_NAME_ENUM, ether_setup);
    ASSERT_NE(devs[1], nullptr);
    ASSERT_EQ(register_netdev(devs[1]), 0);
    EXPECT_STREQ(devs[1]->name, "kdn1");
    EXPECT_GT(devs[1]->ifindex, devs[2]->ifindex);

    // Duplicates and bad names are refused and leave nothing behind.
    net_device *dup = alloc_netdev(0, "kdn0", NET_NAME_USER, ether_setup);
    ASSERT_NE(dup, nullptr);
    EXPECT_EQ(register_netdev(dup), -EEXIST);
    EXPECT_EQ(__dev_get_by_name(&init_net, "kdn0"), devs[0]);
    for (const char *bad :
         {"kd%d%d", "kd%s", "kd%", "kd/x", "kd x", "kd:1", "", "..", "kdnabcdefghijkl%d"}) {
        EXPECT_EQ(dev_alloc_name(dup, bad), -EINVAL) << bad;
    }
    EXPECT_EQ(dev_alloc_name(dup, "kdnabcdefghijk%d"), 0); // 15 characters: fits
    EXPECT_STREQ(dup->name, "kdnabcdefghijk0");
    EXPECT_EQ(dev_alloc_name(dup, "kdn%d"), 3);
    EXPECT_STREQ(dup->name, "kdn3");
    free_netdev(dup);
    EXPECT_EQ(alloc_netdev(0, "kdn_much_too_long", NET_NAME_USER, ether_setup), nullptr);
    // A name that fits but is not valid is refused at register time.
    net_device *spaced = alloc_netdev(0, "kdn %d", NET_NAME_ENUM, ether_setup);
    ASSERT_NE(spaced, nullptr);
    EXPECT_EQ(register_netdev(spaced), -EINVAL);
    free_netdev(spaced);

    // Renaming moves the lookup.
    rtnl_lock();
    EXPECT_EQ(dev_change_name(devs[2], "kdn1"), -EEXIST);
    EXPECT_EQ(dev_change_name(devs[2], "kdnren"), 0);
    rtnl_unlock();
    EXPECT_EQ(__dev_get_by_name(&init_net, "kdn2"), nullptr);
    EXPECT_EQ(__dev_get_by_name(&init_net, "kdnren"), devs[2]);

    for (net_device *d : devs) {
        unregister_netdev(d);
        free_netdev(d);
    }
}

TEST(KernelNetdev, PrivateAreaIsAlignedZeroedAndSized) {
    constexpr int kPriv = 184;
    net_device *dev = alloc_etherdev(kPriv);
    ASSERT_NE(dev, nullptr);
    EXPECT_STREQ(dev->name, "eth%d");
    auto *priv = static_cast<unsigned char *>(netdev_priv(dev));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(priv) % 32, 0u);
    EXPECT_GE(priv, reinterpret_cast<unsigned char *>(dev + 1));
    for (int i = 0; i < kPriv; i++)
        ASSERT_EQ(priv[i], 0) << i;
    memset(priv, 0x5a, kPriv); // all of it is ours
    EXPECT_EQ(dev->rte_priv_size, size_t(kPriv));
    free_netdev(dev);
}

TEST(KernelNetdev, OpenCloseAndUnregisterNotifyInOrder) {
    events.clear();
    notifier_block nb = {recording_notifier, nullptr, 0};
    ASSERT_EQ(register_netdevice_notifier(&nb), 0);
    EXPECT_EQ(register_netdevice_notifier(&nb), -EEXIST);

    net_device *dev = new_test_dev("kdtord");
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(register_netdev(dev), 0);
    EXPECT_EQ(events, (std::vector<std::string>{"init kdtord", "REGISTER kdtord"}));

    events.clear();
    rtnl_lock();
    EXPECT_EQ(dev_open(dev), 0);
    EXPECT_EQ(dev_open(dev), 0); // already up: nothing happens
    rtnl_unlock();
    EXPECT_EQ(events, (std::vector<std::string>{"open kdtord", "UP kdtord"}));
    EXPECT_TRUE(netif_running(dev));
    EXPECT_TRUE(dev->flags & IFF_RUNNING);
    EXPECT_TRUE(netif_carrier_ok(dev));

    netif_carrier_off(dev);
    EXPECT_FALSE(dev->flags & IFF_RUNNING);
    EXPECT_TRUE(netif_running(dev));
    netif_carrier_on(dev);
    EXPECT_TRUE(dev->flags & IFF_RUNNING);

    events.clear();
    rtnl_lock();
    EXPECT_EQ(dev_close(dev), 0);
    EXPECT_EQ(dev_close(dev), 0);
    rtnl_unlock();
    EXPECT_EQ(events,
              (std::vector<std::string>{"GOING_DOWN kdtord", "stop kdtord", "DOWN kdtord"}));
    EXPECT_FALSE(dev->flags & (IFF_UP | IFF_RUNNING));

    // Unregistering an open device closes it first; it is gone from the
    // tables by the time UNREGISTER is told, and freed by the core.
    rtnl_lock();
    EXPECT_EQ(dev_open(dev), 0);
    rtnl_unlock();
    static bool destructed;
    destructed = false;
    dev->needs_free_netdev = true;
    dev->priv_destructor = [](net_device *) { destructed = true; };
    events.clear();
    unregister_netdev(dev);
    EXPECT_EQ(events, (std::vector<std::string>{"GOING_DOWN kdtord", "stop kdtord", "DOWN kdtord",
                                                "UNREGISTER kdtord", "uninit kdtord"}));
    EXPECT_TRUE(destructed);
    EXPECT_EQ(__dev_get_by_name(&init_net, "kdtord"), nullptr);

    EXPECT_EQ(unregister_netdevice_notifier(&nb), 0);
    EXPECT_EQ(unregister_netdevice_notifier(&nb), -ENOENT);
    net_device *quiet = new_test_dev("kdtquiet");
    ASSERT_NE(quiet, nullptr);
    events.clear();
    ASSERT_EQ(register_netdev(quiet), 0);
    EXPECT_EQ(events, (std::vector<std::string>{"init kdtquiet"}));
    unregister_netdev(quiet);
    free_netdev(quiet);
}

TEST(KernelNetdev, LateNotifiersHearExistingDevicesAndVetoesStopTheChain) {
    net_device *up = new_test_dev("kdtup");
    net_device *down = new_test_dev("kdtdown");
    ASSERT_TRUE(up && down);
    ASSERT_EQ(register_netdev(up), 0);
    ASSERT_EQ(register_netdev(down), 0);
    rtnl_lock();
    ASSERT_EQ(dev_open(up), 0);
    rtnl_unlock();

    // Joining late replays what already exists; leaving replays the way out.
    events.clear();
    notifier_block nb = {recording_notifier, nullptr, 0};
    ASSERT_EQ(register_netdevice_notifier(&nb), 0);
    EXPECT_EQ(events, (std::vector<std::string>{"REGISTER kdtup", "UP kdtup", "REGISTER kdtdown"}));
    events.clear();
    ASSERT_EQ(unregister_netdevice_notifier(&nb), 0);
    EXPECT_EQ(events, (std::vector<std::string>{"GOING_DOWN kdtup", "DOWN kdtup",
                                                "UNREGISTER kdtup (still listed)",
                                                "UNREGISTER kdtdown (still listed)"}));
    EXPECT_TRUE(netif_running(up)); // only the notifier was told

    // Higher priority runs first; a veto stops the rest and fails a register.
    static std::vector<int> order;
    order.clear();
    notifier_block veto = {[](notifier_block *, unsigned long event, void *ptr) {
                               net_device *dev = netdev_notifier_info_to_dev(ptr);
                               if (strcmp(dev->name, "kdtveto") != 0)
                                   return NOTIFY_DONE;
                               order.push_back(1);
                               return event == NETDEV_REGISTER ? notifier_from_errno(-EPERM)
                                                               : NOTIFY_OK;
                           },
                           nullptr, 10};
    notifier_block after = {[](notifier_block *, unsigned long, void *ptr) {
                                net_device *dev = netdev_notifier_info_to_dev(ptr);
                                if (strcmp(dev->name, "kdtveto") == 0)
                                    order.push_back(2);
                                return NOTIFY_DONE;
                            },
                            nullptr, 0};
    ASSERT_EQ(register_netdevice_notifier(&after), 0);
    ASSERT_EQ(register_netdevice_notifier(&veto), 0);
    net_device *vetoed = new_test_dev("kdtveto");
    ASSERT_NE(vetoed, nullptr);
    events.clear();
    EXPECT_EQ(register_netdev(vetoed), -EPERM);
    EXPECT_EQ(__dev_get_by_name(&init_net, "kdtveto"), nullptr);
    // REGISTER stopped at the veto; the roll-back's UNREGISTER reached both.
    EXPECT_EQ(order, (std::vector<int>{1, 1, 2}));
    EXPECT_EQ(events, (std::vector<std::string>{"init kdtveto", "uninit kdtveto"}));
    EXPECT_EQ(call_netdevice_notifiers(NETDEV_CHANGE, up), NOTIFY_DONE);
    EXPECT_EQ(unregister_netdevice_notifier(&veto), 0);
    EXPECT_EQ(unregister_netdevice_notifier(&after), 0);
    free_netdev(vetoed);

    unregister_netdev(up);
    unregister_netdev(down);
    free_netdev(up);
    free_netdev(down);
}

TEST(KernelNetdev, OpenFailureAndPromiscuity) {
    static const net_device_ops failing = {
        .ndo_open = [](net_device *) { return -EIO; },
    };
    net_device *dev = alloc_netdev(0, "kdtfail", NET_NAME_USER, ether_setup);
    ASSERT_NE(dev, nullptr);
    dev->netdev_ops = &failing;
    rtnl_lock();
    EXPECT_EQ(dev_open(dev), -ENODEV); // not registered yet
    ASSERT_EQ(register_netdevice(dev), 0);
    EXPECT_EQ(dev_open(dev), -EIO);
    EXPECT_FALSE(netif_running(dev));

    EXPECT_EQ(dev_set_promiscuity(dev, 1), 0);
    EXPECT_TRUE(dev->flags & IFF_PROMISC);
    EXPECT_EQ(dev_set_promiscuity(dev, 1), 0);
    EXPECT_EQ(dev->promiscuity, 2);
    EXPECT_EQ(dev_set_promiscuity(dev, -1), 0);
    EXPECT_TRUE(dev->flags & IFF_PROMISC); // still one holder
    EXPECT_EQ(dev_set_promiscuity(dev, -1), 0);
    EXPECT_FALSE(dev->flags & IFF_PROMISC);
    EXPECT_NE(dev_set_promiscuity(dev, -1), 0);
    EXPECT_EQ(dev->promiscuity, 0);
    EXPECT_FALSE(dev->flags & IFF_PROMISC);

    unregister_netdevice(dev);
    rtnl_unlock();
    free_netdev(dev);
}

// A device whose transmit keeps what it takes, or says it is busy.
struct xmit_priv {
    std::vector<std::vector<u8>> sent;
    bool busy;
    net_device_stats own_stats;
};

netdev_tx_t xmit_record(sk_buff *skb, net_device *dev) {
    auto *priv = static_cast<xmit_priv *>(netdev_priv(dev));
    if (priv->busy)
        return NETDEV_TX_BUSY; // the frame stays the caller's
    priv->sent.emplace_back(skb->data, skb->data + skb->len);
    kfree_skb(skb);
    return NETDEV_TX_OK;
}

net_device_stats *xmit_stats(net_device *dev) {
    return &static_cast<xmit_priv *>(netdev_priv(dev))->own_stats;
}

TEST(KernelNetdev, ReceiveAndTransmitAlwaysConsumeTheFrame) {
    static const net_device_ops ops = {
        .ndo_start_xmit = xmit_record,
    };
    net_device *dev = alloc_netdev(sizeof(xmit_priv), "kdtx", NET_NAME_USER, ether_setup);
    ASSERT_NE(dev, nullptr);
    auto *priv = new (netdev_priv(dev)) xmit_priv();
    dev->netdev_ops = &ops;
    ASSERT_EQ(register_netdev(dev), 0);
    const long base = frames_in_use();
    const u8 bytes[60] = {1, 2, 3, 4, 5, 6, 7, 8};

    // No stack behind the device: dropped, counted, freed.
    sk_buff *skb = rte_skb_from_bytes(bytes, sizeof(bytes), NET_SKB_PAD);
    ASSERT_NE(skb, nullptr);
    skb->dev = dev;
    EXPECT_EQ(netif_rx(skb), NET_RX_DROP);
    EXPECT_EQ(dev->stats.rx_dropped, 1u);
    EXPECT_EQ(frames_in_use(), base);

    // With a stack: it gets the frame and its answer is returned.
    std::vector<std::vector<u8>> stack_got;
    dev->rte_stack_rx = [&](sk_buff *in) {
        stack_got.emplace_back(in->data, in->data + in->len);
        const int verdict = stack_got.size() == 1 ? NET_RX_SUCCESS : NET_RX_DROP;
        kfree_skb(in);
        return verdict;
    };
    for (int expect : {NET_RX_SUCCESS, NET_RX_DROP}) {
        skb = rte_skb_from_bytes(bytes, sizeof(bytes), NET_SKB_PAD);
        ASSERT_NE(skb, nullptr);
        skb->dev = dev;
        EXPECT_EQ(netif_rx(skb), expect);
    }
    ASSERT_EQ(stack_got.size(), 2u);
    EXPECT_EQ(stack_got[0], std::vector<u8>(bytes, bytes + sizeof(bytes)));
    EXPECT_EQ(dev->stats.rx_dropped, 1u); // the stack counts its own drops
    EXPECT_EQ(frames_in_use(), base);

    // Down: nothing reaches the driver.
    skb = rte_skb_from_bytes(bytes, sizeof(bytes), NET_SKB_PAD);
    ASSERT_NE(skb, nullptr);
    skb->dev = dev;
    EXPECT_EQ(dev_queue_xmit(skb), -ENETDOWN);
    EXPECT_TRUE(priv->sent.empty());
    EXPECT_EQ(dev->stats.tx_dropped, 1u);
    EXPECT_EQ(frames_in_use(), base);

    rtnl_lock();
    ASSERT_EQ(dev_open(dev), 0);
    rtnl_unlock();
    skb = rte_skb_from_bytes(bytes, sizeof(bytes), NET_SKB_PAD);
    ASSERT_NE(skb, nullptr);
    skb->dev = dev;
    EXPECT_EQ(dev_queue_xmit(skb), 0);
    ASSERT_EQ(priv->sent.size(), 1u);
    EXPECT_EQ(priv->sent[0], std::vector<u8>(bytes, bytes + sizeof(bytes)));
    EXPECT_EQ(frames_in_use(), base);

    // Busy: the frame the driver left is freed and counted here.
    priv->busy = true;
    skb = rte_skb_from_bytes(bytes, sizeof(bytes), NET_SKB_PAD);
    ASSERT_NE(skb, nullptr);
    skb->dev = dev;
    EXPECT_LT(dev_queue_xmit(skb), 0);
    EXPECT_EQ(dev->stats.tx_dropped, 2u);
    EXPECT_EQ(priv->sent.size(), 1u);
    EXPECT_EQ(frames_in_use(), base);

    // A stopped queue drops as well.
    priv->busy = false;
    netif_stop_queue(dev);
    skb = rte_skb_from_bytes(bytes, sizeof(bytes), NET_SKB_PAD);
    ASSERT_NE(skb, nullptr);
    skb->dev = dev;
    EXPECT_LT(dev_queue_xmit(skb), 0);
    EXPECT_EQ(dev->stats.tx_dropped, 3u);
    EXPECT_EQ(priv->sent.size(), 1u);
    EXPECT_EQ(frames_in_use(), base);
    netif_wake_queue(dev);

    EXPECT_EQ(dev_get_stats(dev), &dev->stats);
    static const net_device_ops with_stats = {
        .ndo_start_xmit = xmit_record,
        .ndo_get_stats = xmit_stats,
    };
    dev->netdev_ops = &with_stats;
    EXPECT_EQ(dev_get_stats(dev), &priv->own_stats);

    unregister_netdev(dev);
    priv->~xmit_priv();
    free_netdev(dev);
}

// A driver with a transmit ring: frames wait in it while a batch is open.
struct ring_priv {
    std::vector<std::vector<u8>> ring, wire;
    int flushes;
};

netdev_tx_t ring_xmit(sk_buff *skb, net_device *dev) {
    auto *priv = static_cast<ring_priv *>(netdev_priv(dev));
    priv->ring.emplace_back(skb->data, skb->data + skb->len);
    if (!rte_xmit_batch_defer(dev)) {
        priv->wire.insert(priv->wire.end(), priv->ring.begin(), priv->ring.end());
        priv->ring.clear();
    }
    kfree_skb(skb);
    return NETDEV_TX_OK;
}

void ring_flush(net_device *dev) {
    auto *priv = static_cast<ring_priv *>(netdev_priv(dev));
    priv->flushes++;
    priv->wire.insert(priv->wire.end(), priv->ring.begin(), priv->ring.end());
    priv->ring.clear();
}

TEST(KernelNetdev, TransmitBatchFlushesEachDeviceAtItsEnd) {
    static const net_device_ops ring_ops = {
        .ndo_start_xmit = ring_xmit,
        .ndo_xmit_flush = ring_flush,
    };
    static const net_device_ops plain_ops = {
        .ndo_start_xmit = xmit_record,
    };
    net_device *a = alloc_netdev(sizeof(ring_priv), "kbta", NET_NAME_USER, ether_setup);
    net_device *b = alloc_netdev(sizeof(ring_priv), "kbtb", NET_NAME_USER, ether_setup);
    net_device *c = alloc_netdev(sizeof(xmit_priv), "kbtc", NET_NAME_USER, ether_setup);
    ASSERT_TRUE(a && b && c);
    auto *pa = new (netdev_priv(a)) ring_priv();
    auto *pb = new (netdev_priv(b)) ring_priv();
    auto *pc = new (netdev_priv(c)) xmit_priv();
    a->netdev_ops = b->netdev_ops = &ring_ops;
    c->netdev_ops = &plain_ops;
    rtnl_lock();
    for (net_device *d : {a, b, c}) {
        ASSERT_EQ(register_netdevice(d), 0);
        ASSERT_EQ(dev_open(d), 0);
    }
    rtnl_unlock();
    const long base = frames_in_use();
    u8 n = 0;
    auto send = [&](net_device *dev) {
        const u8 bytes[60] = {n++};
        sk_buff *skb = rte_skb_from_bytes(bytes, sizeof(bytes), NET_SKB_PAD);
        ASSERT_NE(skb, nullptr);
        skb->dev = dev;
        EXPECT_EQ(dev_queue_xmit(skb), 0);
    };

    // Outside a batch the driver sends at once and is never asked to flush.
    send(a);
    EXPECT_EQ(pa->wire.size(), 1u);
    EXPECT_EQ(pa->flushes, 0);

    // Inside one, frames wait until the end, which flushes each device once;
    // a driver without a flush sends at once as before.
    rte_xmit_batch_begin();
    send(a);
    send(b);
    send(a);
    send(c);
    EXPECT_EQ(pa->wire.size(), 1u);
    EXPECT_TRUE(pb->wire.empty());
    EXPECT_EQ(pc->sent.size(), 1u);
    rte_xmit_batch_end();
    ASSERT_EQ(pa->wire.size(), 3u);
    EXPECT_EQ(pa->wire[1][0], 1);
    EXPECT_EQ(pa->wire[2][0], 3);
    EXPECT_EQ(pb->wire.size(), 1u);
    EXPECT_EQ(pa->flushes, 1);
    EXPECT_EQ(pb->flushes, 1);
    EXPECT_TRUE(pa->ring.empty() && pb->ring.empty());

    // Nested pairs: only the outermost end flushes; a stray end does nothing.
    rte_xmit_batch_begin();
    rte_xmit_batch_begin();
    send(a);
    rte_xmit_batch_end();
    EXPECT_EQ(pa->wire.size(), 3u);
    rte_xmit_batch_end();
    EXPECT_EQ(pa->wire.size(), 4u);
    EXPECT_EQ(pa->flushes, 2);
    rte_xmit_batch_end();
    EXPECT_EQ(pa->flushes, 2);

    // Batches are per thread: another thread's end does not flush ours, and a
    // thread that ends inside its batch still flushes.
    rte_xmit_batch_begin();
    send(b);
    std::thread other([&] {
        rte_xmit_batch_begin();
        rte_xmit_batch_end();
        rte_xmit_batch_begin();
        const u8 bytes[60] = {0x7f};
        sk_buff *skb = rte_skb_from_bytes(bytes, sizeof(bytes), NET_SKB_PAD);
        ASSERT_NE(skb, nullptr);
        skb->dev = a;
        dev_queue_xmit(skb);
    });
    other.join();
    EXPECT_EQ(pb->flushes, 1);
    EXPECT_EQ(pa->flushes, 3);
    ASSERT_EQ(pa->wire.size(), 5u);
    EXPECT_EQ(pa->wire[4][0], 0x7f);

    // A device unregistered inside a batch is not flushed after it is gone.
    unregister_netdev(b);
    pb->~ring_priv();
    free_netdev(b);
    rte_xmit_batch_end();
    EXPECT_EQ(pa->flushes, 3);
    EXPECT_EQ(frames_in_use(), base);

    for (net_device *d : {a, c})
        unregister_netdev(d);
    pa->~ring_priv();
    pc->~xmit_priv();
    free_netdev(a);
    free_netdev(c);
}

// Netlink: a bound user endpoint records what it is given.
struct Inbox {
    std::vector<std::vector<u8>> msgs;
    rte_netlink_deliver_fn fn() {
        return [this](const void *data, size_t len) {
            auto *p = static_cast<const u8 *>(data);
            msgs.emplace_back(p, p + len);
        };
    }
};

constexpr int kUnit = 31;

sk_buff *text_message(const char *text, u16 type) {
    const int len = int(strlen(text));
    sk_buff *skb = nlmsg_new(len, GFP_KERNEL);
    if (!skb)
        return nullptr;
    nlmsghdr *nlh = nlmsg_put(skb, 0, 7, type, len, 0);
    if (!nlh) {
        kfree_skb(skb);
        return nullptr;
    }
    memcpy(nlmsg_data(nlh), text, len);
    return skb;
}

TEST(KernelNetlink, UnicastAndBroadcastReachTheRightEndpoints) {
    netlink_kernel_cfg cfg = {};
    sock *sk = netlink_kernel_create(&init_net, kUnit, &cfg);
    ASSERT_NE(sk, nullptr);
    EXPECT_EQ(netlink_kernel_create(&init_net, kUnit, &cfg), nullptr);
    const long base = frames_in_use();

    Inbox a, b, c;
    ASSERT_EQ(rte_netlink_bind(kUnit, 100, 0x1, a.fn()), 0);
    ASSERT_EQ(rte_netlink_bind(kUnit, 200, 0x2, b.fn()), 0);
    ASSERT_EQ(rte_netlink_bind(kUnit, 300, 0x3, c.fn()), 0);
    EXPECT_EQ(rte_netlink_bind(kUnit, 300, 0x3, c.fn()), -EADDRINUSE);
    EXPECT_EQ(rte_netlink_bind(kUnit, 0, 0x3, c.fn()), -EINVAL);

    // One message with real framing: header, payload, zeroed alignment pad.
    sk_buff *skb = text_message("OK!", NLMSG_DONE);
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(skb->len, unsigned(NLMSG_SPACE(3)));
    EXPECT_EQ(netlink_unicast(sk, skb, 200, 0), NLMSG_SPACE(3));
    ASSERT_EQ(b.msgs.size(), 1u);
    EXPECT_TRUE(a.msgs.empty());
    EXPECT_TRUE(c.msgs.empty());
    const std::vector<u8> &m = b.msgs[0];
    ASSERT_EQ(m.size(), size_t(NLMSG_SPACE(3)));
    nlmsghdr nlh;
    memcpy(&nlh, m.data(), sizeof(nlh));
    EXPECT_EQ(nlh.nlmsg_len, unsigned(NLMSG_LENGTH(3)));
    EXPECT_EQ(nlh.nlmsg_type, NLMSG_DONE);
    EXPECT_EQ(nlh.nlmsg_seq, 7u);
    EXPECT_EQ(0, memcmp(m.data() + NLMSG_HDRLEN, "OK!", 3));
    EXPECT_EQ(m[NLMSG_HDRLEN + 3], 0);

    // Nobody at that port: refused, and the frame is still consumed.
    skb = text_message("lost", 0);
    ASSERT_NE(skb, nullptr);
    EXPECT_EQ(netlink_unicast(sk, skb, 999, 0), -ECONNREFUSED);
    EXPECT_EQ(frames_in_use(), base);

    // A message too big for the frame is not written past its end.
    skb = alloc_skb(NLMSG_SPACE(8) - 1, GFP_KERNEL);
    ASSERT_NE(skb, nullptr);
    skb_put(skb, skb_tailroom(skb) - NLMSG_SPACE(8) + 1);
    const unsigned len_before = skb->len;
    EXPECT_EQ(nlmsg_put(skb, 0, 0, 0, 8, 0), nullptr);
    EXPECT_EQ(skb->len, len_before);
    kfree_skb(skb);

    // Groups: bit n-1 of the mask listens to group n.
    EXPECT_TRUE(netlink_has_listeners(sk, 1));
    EXPECT_TRUE(netlink_has_listeners(sk, 2));
    EXPECT_FALSE(netlink_has_listeners(sk, 3));
    EXPECT_EQ(netlink_broadcast(sk, text_message("g1", 0), 0, 1, GFP_KERNEL), 0);
    EXPECT_EQ(netlink_broadcast(sk, text_message("g2", 0), 0, 2, GFP_KERNEL), 0);
    EXPECT_EQ(netlink_broadcast(sk, text_message("g3", 0), 0, 3, GFP_KERNEL), -ESRCH);
    EXPECT_EQ(netlink_broadcast(sk, text_message("g0", 0), 0, 0, GFP_KERNEL), -ESRCH);
    EXPECT_EQ(a.msgs.size(), 1u);
    EXPECT_EQ(b.msgs.size(), 2u);
    EXPECT_EQ(c.msgs.size(), 2u);
    EXPECT_EQ(0, memcmp(a.msgs[0].data() + NLMSG_HDRLEN, "g1", 2));
    EXPECT_EQ(0, memcmp(b.msgs[1].data() + NLMSG_HDRLEN, "g2", 2));
    EXPECT_EQ(frames_in_use(), base);

    // Unbound endpoints hear nothing more.
    rte_netlink_unbind(kUnit, 200);
    rte_netlink_unbind(kUnit, 300);
    rte_netlink_unbind(kUnit, 300); // twice is harmless
    EXPECT_EQ(netlink_unicast(sk, text_message("late", 0), 200, 0), -ECONNREFUSED);
    EXPECT_EQ(netlink_broadcast(sk, text_message("late", 0), 0, 2, GFP_KERNEL), -ESRCH);
    EXPECT_EQ(b.msgs.size(), 2u);
    EXPECT_EQ(c.msgs.size(), 2u);
    EXPECT_EQ(frames_in_use(), base);

    rte_netlink_unbind(kUnit, 100);
    netlink_kernel_release(sk);
}

// The kernel side of a request/answer protocol: "start" registers the sender,
// and is answered on the same channel.
struct KernelSide {
    sock *sk = nullptr;
    u32 registered = 0;
    std::vector<std::string> seen;
    sk_buff *kept = nullptr;
};
KernelSide kside;

void kernel_input(sk_buff *skb) {
    if (skb->len < unsigned(NLMSG_HDRLEN)) {
        // What lies past a short message must not be an old frame's bytes.
        bool zero = true;
        for (int i = skb->len; i < NLMSG_HDRLEN; i++)
            zero = zero && skb->data[i] == 0;
        kside.seen.push_back(zero ? "short, zero padded" : "short, stale bytes");
        return;
    }
    const nlmsghdr *nlh = nlmsg_hdr(skb);
    kside.seen.emplace_back(static_cast<const char *>(nlmsg_data(nlh)),
                            strnlen(static_cast<const char *>(nlmsg_data(nlh)), nlmsg_len(nlh)));
    const u32 sender = NETLINK_CB(skb).portid;
    if (kside.seen.back() == "start") {
        kside.registered = sender;
        netlink_unicast(kside.sk, text_message("OK", NLMSG_DONE), sender, 0);
    } else if (kside.seen.back() == "keep") {
        kside.kept = skb_get(skb);
    }
}

std::vector<u8> user_message(const char *text) {
    const size_t len = strlen(text);
    std::vector<u8> msg(NLMSG_SPACE(len));
    nlmsghdr nlh = {u32(NLMSG_LENGTH(len)), 0, 0, 1, 0};
    memcpy(msg.data(), &nlh, sizeof(nlh));
    memcpy(msg.data() + NLMSG_HDRLEN, text, len);
    return msg;
}

TEST(KernelNetlink, MessagesToTheKernelCarryTheSenderAndAreFreedAfterInput) {
    kside = KernelSide();
    EXPECT_EQ(rte_netlink_send_to_kernel(kUnit, 4242, "x", 1), -ECONNREFUSED);
    netlink_kernel_cfg cfg = {};
    cfg.input = kernel_input;
    kside.sk = netlink_kernel_create(&init_net, kUnit, &cfg);
    ASSERT_NE(kside.sk, nullptr);
    const long base = frames_in_use();

    Inbox tool;
    ASSERT_EQ(rte_netlink_bind(kUnit, 4242, 0, tool.fn()), 0);
    const std::vector<u8> start = user_message("start");
    ASSERT_EQ(rte_netlink_send_to_kernel(kUnit, 4242, start.data(), start.size()), 0);
    EXPECT_EQ(kside.registered, 4242u);
    ASSERT_EQ(tool.msgs.size(), 1u); // answered from inside the input
    EXPECT_EQ(0, memcmp(tool.msgs[0].data() + NLMSG_HDRLEN, "OK", 2));
    EXPECT_EQ(frames_in_use(), base);

    // An input that wants the frame past its return takes a reference.
    const std::vector<u8> keep = user_message("keep");
    ASSERT_EQ(rte_netlink_send_to_kernel(kUnit, 77, keep.data(), keep.size()), 0);
    ASSERT_NE(kside.kept, nullptr);
    EXPECT_EQ(NETLINK_CB(kside.kept).portid, 77u);
    EXPECT_EQ(kside.kept->len, keep.size());
    EXPECT_EQ(0, memcmp(kside.kept->data, keep.data(), keep.size()));
    kfree_skb(kside.kept);
    EXPECT_EQ(frames_in_use(), base);

    // A message shorter than a header reads as zeros beyond its end.
    ASSERT_EQ(rte_netlink_send_to_kernel(kUnit, 77, "ab", 2), 0);
    EXPECT_EQ(kside.seen.back(), "short, zero padded");
    std::vector<u8> huge(SKB_MAX_ALLOC + 1);
    EXPECT_EQ(rte_netlink_send_to_kernel(kUnit, 77, huge.data(), huge.size()), -EMSGSIZE);
    EXPECT_EQ(kside.seen.size(), 3u);

    netlink_kernel_release(kside.sk);
    EXPECT_EQ(rte_netlink_send_to_kernel(kUnit, 4242, start.data(), start.size()), -ECONNREFUSED);
    EXPECT_EQ(kside.seen.size(), 3u);
    // The unit is free for a new kernel socket.
    sock *again = netlink_kernel_create(&init_net, kUnit, nullptr);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(rte_netlink_send_to_kernel(kUnit, 4242, start.data(), start.size()), 0);
    netlink_kernel_release(again);
    rte_netlink_unbind(kUnit, 4242);
    EXPECT_EQ(frames_in_use(), base);
}

TEST(KernelNetlink, UnbindWaitsForADeliveryInProgress) {
    netlink_kernel_cfg cfg = {};
    sock *sk = netlink_kernel_create(&init_net, kUnit, &cfg);
    ASSERT_NE(sk, nullptr);

    std::atomic<bool> entered{false}, release{false}, unbound{false}, unbound_during{false};
    ASSERT_EQ(rte_netlink_bind(kUnit, 500, 0x1,
                               [&](const void *, size_t) {
                                   entered = true;
                                   while (!release)
                                       std::this_thread::yield();
                                   unbound_during = unbound.load();
                               }),
              0);
    std::thread sender(
        [&] { EXPECT_EQ(netlink_broadcast(sk, text_message("slow", 0), 0, 1, GFP_KERNEL), 0); });
    while (!entered)
        std::this_thread::yield();
    std::thread unbinder([&] {
        rte_netlink_unbind(kUnit, 500);
        unbound = true;
    });
    // Once the endpoint has left the table, the unbinder is waiting for us.
    while (netlink_has_listeners(sk, 1))
        std::this_thread::yield();
    EXPECT_FALSE(unbound.load());
    release = true;
    sender.join();
    unbinder.join();
    EXPECT_FALSE(unbound_during.load());
    EXPECT_TRUE(unbound.load());

    // A callback may unbind its own endpoint.
    Inbox after;
    ASSERT_EQ(rte_netlink_bind(kUnit, 501, 0,
                               [](const void *, size_t) { rte_netlink_unbind(kUnit, 501); }),
              0);
    EXPECT_GT(netlink_unicast(sk, text_message("bye", 0), 501, 0), 0);
    EXPECT_EQ(netlink_unicast(sk, text_message("bye", 0), 501, 0), -ECONNREFUSED);
    netlink_kernel_release(sk);
}

} // namespace
