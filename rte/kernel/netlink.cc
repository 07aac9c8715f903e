// Netlink carried by the kernel layer: one kernel socket per protocol unit and
// the user endpoints the node's transport binds.
//
// Deliveries run without the registry lock. An endpoint counts the deliveries
// in progress, and unbinding waits for them, so that once rte_netlink_unbind
// returns its deliver callback is neither running nor called again. The
// transport therefore must not hold a lock its callback takes while it unbinds.
#include "kernel/netlink.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#define MAX_LINKS 32

struct sock {
    int unit;
    unsigned int groups;
    void (*input)(struct sk_buff *skb);
};

namespace {

struct Endpoint {
    int unit;
    u32 portid;
    u32 groups;
    rte_netlink_deliver_fn deliver;
    std::mutex lock;
    std::condition_variable idle;
    int in_flight = 0;
    bool gone = false;
};
using EndpointRef = std::shared_ptr<Endpoint>;

struct Registry {
    std::mutex lock;
    // A kernel socket stays alive while an input call on it is running.
    std::shared_ptr<sock> kernel[MAX_LINKS];
    std::map<std::pair<int, u32>, EndpointRef> endpoints;
};

Registry &registry() {
    static Registry *r = new Registry;
    return *r;
}

// Endpoints whose callback this thread is running, innermost last.
thread_local std::vector<const Endpoint *> delivering;

bool valid_unit(int unit) {
    return unit >= 0 && unit < MAX_LINKS;
}

bool in_group(const Endpoint &ep, u32 group) {
    return group >= 1 && group <= 32 && (ep.groups >> (group - 1)) & 1;
}

bool deliver(const EndpointRef &ep, const void *data, size_t len) {
    {
        std::lock_guard<std::mutex> guard(ep->lock);
        if (ep->gone)
            return false;
        ep->in_flight++;
    }
    delivering.push_back(ep.get());
    ep->deliver(data, len);
    delivering.pop_back();
    {
        std::lock_guard<std::mutex> guard(ep->lock);
        ep->in_flight--;
    }
    ep->idle.notify_all();
    return true;
}

EndpointRef find_endpoint(int unit, u32 portid) {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.endpoints.find({unit, portid});
    return it == r.endpoints.end() ? nullptr : it->second;
}

} // namespace

struct sock *netlink_kernel_create(struct net *, int unit, struct netlink_kernel_cfg *cfg) {
    if (!valid_unit(unit))
        return nullptr;
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    if (r.kernel[unit])
        return nullptr;
    auto sk = std::make_shared<sock>();
    sk->unit = unit;
    sk->groups = cfg ? cfg->groups : 0;
    sk->input = cfg ? cfg->input : nullptr;
    r.kernel[unit] = sk;
    return sk.get();
}

void netlink_kernel_release(struct sock *sk) {
    if (!sk || !valid_unit(sk->unit))
        return;
    std::shared_ptr<sock> dropped;
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    if (r.kernel[sk->unit].get() == sk)
        dropped.swap(r.kernel[sk->unit]);
}

int netlink_unicast(struct sock *sk, struct sk_buff *skb, u32 portid, int) {
    if (!skb)
        return -EINVAL;
    if (!sk) {
        kfree_skb(skb);
        return -EINVAL;
    }
    EndpointRef ep = find_endpoint(sk->unit, portid);
    const int len = int(skb->len);
    const bool done = ep && deliver(ep, skb->data, skb->len);
    kfree_skb(skb);
    return done ? len : -ECONNREFUSED;
}

int netlink_broadcast(struct sock *sk, struct sk_buff *skb, u32 portid, u32 group, gfp_t) {
    if (!skb)
        return -EINVAL;
    if (!sk) {
        kfree_skb(skb);
        return -EINVAL;
    }
    std::vector<EndpointRef> targets;
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        for (const auto &entry : r.endpoints) {
            const Endpoint &ep = *entry.second;
            // The sender does not hear its own broadcast.
            if (ep.unit == sk->unit && ep.portid != portid && in_group(ep, group))
                targets.push_back(entry.second);
        }
    }
    NETLINK_CB(skb).dst_group = group;
    int delivered = 0;
    for (const EndpointRef &ep : targets)
        delivered += deliver(ep, skb->data, skb->len);
    kfree_skb(skb);
    return delivered ? 0 : -ESRCH;
}

bool netlink_has_listeners(struct sock *sk, unsigned int group) {
    if (!sk)
        return false;
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    return std::any_of(r.endpoints.begin(), r.endpoints.end(), [&](const auto &entry) {
        return entry.second->unit == sk->unit && in_group(*entry.second, group);
    });
}

struct nlmsghdr *nlmsg_put(struct sk_buff *skb, u32 portid, u32 seq, int type, int payload,
                           int flags) {
    if (payload < 0 || payload > int(SKB_MAX_ALLOC))
        return nullptr;
    const int size = nlmsg_total_size(payload);
    if (skb_tailroom(skb) < size)
        return nullptr;
    auto *nlh = static_cast<nlmsghdr *>(skb_put(skb, size));
    nlh->nlmsg_len = nlmsg_msg_size(payload);
    nlh->nlmsg_type = u16(type);
    nlh->nlmsg_flags = u16(flags);
    nlh->nlmsg_seq = seq;
    nlh->nlmsg_pid = portid;
    // Pool buffers hold old frames: nothing of them may reach user space.
    memset(nlmsg_data(nlh), 0, size - NLMSG_HDRLEN);
    return nlh;
}

int rte_netlink_bind(int unit, u32 portid, u32 groups, rte_netlink_deliver_fn deliver_fn) {
    // Port id 0 is the kernel's own.
    if (!valid_unit(unit) || portid == 0 || !deliver_fn)
        return -EINVAL;
    auto ep = std::make_shared<Endpoint>();
    ep->unit = unit;
    ep->portid = portid;
    ep->groups = groups;
    ep->deliver = std::move(deliver_fn);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    if (!r.endpoints.emplace(std::make_pair(unit, portid), ep).second)
        return -EADDRINUSE;
    return 0;
}

void rte_netlink_unbind(int unit, u32 portid) {
    EndpointRef ep;
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.endpoints.find({unit, portid});
        if (it == r.endpoints.end())
            return;
        ep = std::move(it->second);
        r.endpoints.erase(it);
    }
    // A callback that unbinds its own endpoint must not wait for itself.
    const int own = int(std::count(delivering.begin(), delivering.end(), ep.get()));
    std::unique_lock<std::mutex> guard(ep->lock);
    ep->gone = true;
    ep->idle.wait(guard, [&] { return ep->in_flight <= own; });
}

int rte_netlink_send_to_kernel(int unit, u32 portid, const void *data, size_t len) {
    if (!valid_unit(unit))
        return -ECONNREFUSED;
    std::shared_ptr<sock> sk;
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        sk = r.kernel[unit];
    }
    if (!sk)
        return -ECONNREFUSED;
    if (len > SKB_MAX_ALLOC)
        return -EMSGSIZE;
    if (!data && len)
        return -EFAULT;
    // Room for a whole header even when the message is shorter, so a handler
    // that reads one sees zeros rather than an old frame.
    const unsigned room = std::max<unsigned>(unsigned(len), NLMSG_HDRLEN);
    sk_buff *skb = alloc_skb(room, GFP_KERNEL);
    if (!skb)
        return -ENOMEM;
    if (len)
        skb_put_data(skb, data, unsigned(len));
    memset(skb_tail_pointer(skb), 0, room - len);
    NETLINK_CB(skb).portid = portid;
    NETLINK_CB(skb).dst_group = 0;
    if (sk->input)
        sk->input(skb);
    // The input borrows the frame; one it wants to keep, it takes with skb_get.
    kfree_skb(skb);
    return 0;
}
