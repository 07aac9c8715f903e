// Host links of the line card's own interfaces (see hostlink.h).
#include "linecard/hostlink.h"
#include "linecard/hostlink_host.h"

#include "kernel/netdevice.h"
#include "kernel/printk.h"
#include "kernel/skbuff.h"

#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace {

// A frame off the host is at most a jumbo frame; the bridge wants headroom.
constexpr unsigned kHostFrameMax = 9216 + 18;
constexpr unsigned kHostHeadroom = 128;

struct host_link {
    struct net_device *dev = nullptr;
    std::mutex lock; // fd against the writers (the bridge's threads)
    int fd = -1;
    int stop_fd = -1;
    std::thread reader;
    std::vector<linecard_frame> received; // RECORD mode
};

std::mutex links_lock;
std::map<struct net_device *, std::shared_ptr<host_link>> links;
linecard_hostlink_mode link_mode;
bool started;

// What netif_rx on the device hands the host: the frame from its link-layer
// header (an information header in front of a filter device's frames).
const u8 *stack_start(const struct sk_buff *skb) {
    if (skb_mac_header_was_set(skb) && skb_mac_header(skb) <= skb->data &&
        skb_mac_header(skb) >= skb->head)
        return skb_mac_header(skb);
    return skb->data;
}

int stack_rx(const std::shared_ptr<host_link> &l, struct sk_buff *skb) {
    const u8 *from = stack_start(skb);
    size_t len = (size_t)(skb_tail_pointer(skb) - from);
    int rc = NET_RX_DROP;
    {
        std::lock_guard<std::mutex> g(l->lock);
        if (link_mode == LINECARD_HOSTLINK_RECORD) {
            l->received.emplace_back(from, from + len);
            rc = NET_RX_SUCCESS;
        } else if (l->fd >= 0 && write(l->fd, from, len) == (ssize_t)len) {
            rc = NET_RX_SUCCESS;
        }
    }
    kfree_skb(skb);
    return rc;
}

void reader_main(std::shared_ptr<host_link> l) {
    std::vector<u8> buf(kHostFrameMax);
    struct pollfd p[2] = {{l->fd, POLLIN, 0}, {l->stop_fd, POLLIN, 0}};
    for (;;) {
        if (poll(p, 2, -1) < 0)
            continue;
        if (p[1].revents)
            return;
        if (!(p[0].revents & POLLIN))
            continue;
        ssize_t n;
        while ((n = read(l->fd, buf.data(), buf.size())) > 0) {
            if (n < ETH_HLEN)
                continue;
            linecard_hostlink_send(l->dev, linecard_frame(buf.begin(), buf.begin() + n));
        }
    }
}

void link_close(const std::shared_ptr<host_link> &l) {
    if (l->reader.joinable()) {
        u64 one = 1;
        if (write(l->stop_fd, &one, sizeof(one)) < 0)
            fprintf(stderr, "linecard: %s: cannot stop the TAP reader\n", l->dev->name);
        l->reader.join();
    }
    std::lock_guard<std::mutex> g(l->lock);
    if (l->fd >= 0)
        close(l->fd);
    if (l->stop_fd >= 0)
        close(l->stop_fd);
    l->fd = l->stop_fd = -1;
}

int link_open(struct net_device *dev) {
    auto l = std::make_shared<host_link>();
    l->dev = dev;
    if (link_mode == LINECARD_HOSTLINK_TAP) {
        int fd = lc_tap_open(dev->name, dev->dev_addr);
        if (fd < 0) {
            printk(KERN_ERR "linecard: %s: cannot make its TAP (%d)\n", dev->name, fd);
            return fd;
        }
        l->fd = fd;
        l->stop_fd = eventfd(0, EFD_CLOEXEC);
        if (l->stop_fd < 0) {
            link_close(l);
            return -ENOMEM;
        }
        l->reader = std::thread(reader_main, l);
    }
    // The device outlives every writer; the link may close under them.
    dev->rte_stack_rx = [l](struct sk_buff *skb) { return stack_rx(l, skb); };
    std::lock_guard<std::mutex> g(links_lock);
    links[dev] = l;
    return 0;
}

std::shared_ptr<host_link> link_of(struct net_device *dev) {
    std::lock_guard<std::mutex> g(links_lock);
    auto it = links.find(dev);
    return it == links.end() ? nullptr : it->second;
}

int hostlink_event(struct notifier_block *, unsigned long event, void *ptr) {
    struct net_device *dev = netdev_notifier_info_to_dev(ptr);
    if (!(dev->priv_flags & IFF_RTE_HOST_LINK))
        return NOTIFY_DONE;
    if (event == NETDEV_REGISTER)
        return notifier_from_errno(link_open(dev));
    std::shared_ptr<host_link> l = link_of(dev);
    if (!l)
        return NOTIFY_DONE;
    const bool tap = link_mode == LINECARD_HOSTLINK_TAP;
    switch (event) {
    case NETDEV_UP:
    case NETDEV_DOWN:
        if (tap && lc_tap_set_up(dev->name, event == NETDEV_UP))
            printk(KERN_ERR "linecard: %s: cannot set its TAP %s\n", dev->name,
                   event == NETDEV_UP ? "up" : "down");
        break;
    case NETDEV_CHANGEADDR:
        if (tap)
            lc_tap_set_mac(dev->name, dev->dev_addr);
        break;
    case NETDEV_UNREGISTER: {
        link_close(l);
        std::lock_guard<std::mutex> g(links_lock);
        links.erase(dev);
        break;
    }
    default:
        break;
    }
    return NOTIFY_DONE;
}

struct notifier_block hostlink_notifier = {hostlink_event, nullptr, 0};

} // namespace

int linecard_hostlink_start(linecard_hostlink_mode mode) {
    if (started)
        return -EBUSY;
    link_mode = mode;
    int rc = register_netdevice_notifier(&hostlink_notifier);
    started = rc == 0;
    return rc;
}

void linecard_hostlink_stop() {
    if (!started)
        return;
    unregister_netdevice_notifier(&hostlink_notifier);
    std::map<struct net_device *, std::shared_ptr<host_link>> left;
    {
        std::lock_guard<std::mutex> g(links_lock);
        left.swap(links);
    }
    for (auto &e : left)
        link_close(e.second);
    started = false;
}

std::vector<linecard_frame> linecard_hostlink_take(struct net_device *dev) {
    std::shared_ptr<host_link> l = link_of(dev);
    std::vector<linecard_frame> out;
    if (l) {
        std::lock_guard<std::mutex> g(l->lock);
        out.swap(l->received);
    }
    return out;
}

void linecard_hostlink_send(struct net_device *dev, const linecard_frame &bytes) {
    struct sk_buff *skb = rte_skb_from_bytes(bytes.data(), (unsigned)bytes.size(), kHostHeadroom);
    if (!skb) {
        DEV_STATS_INC(dev, tx_dropped);
        return;
    }
    skb->dev = dev;
    // The host's transmit path: a device that is down drops the frame.
    dev_queue_xmit(skb);
}
