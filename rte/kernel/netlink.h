// Netlink in the kernel layer. Protocols the host kernel does not have (31) are
// carried here: user endpoints are clients of the node, bound by the transport.
#pragma once

#include "kernel/skbuff.h"
#include "kernel/types.h"

#include <functional>

struct nlmsghdr {
    u32 nlmsg_len;
    u16 nlmsg_type;
    u16 nlmsg_flags;
    u32 nlmsg_seq;
    u32 nlmsg_pid;
};
static_assert(sizeof(nlmsghdr) == 16);

#define NLMSG_ALIGNTO 4U
#define NLMSG_ALIGN(len) (((len) + NLMSG_ALIGNTO - 1) & ~(NLMSG_ALIGNTO - 1))
#define NLMSG_HDRLEN ((int)NLMSG_ALIGN(sizeof(struct nlmsghdr)))
#define NLMSG_LENGTH(len) ((len) + NLMSG_HDRLEN)
#define NLMSG_SPACE(len) NLMSG_ALIGN(NLMSG_LENGTH(len))
#define NLMSG_DATA(nlh) ((void *)(((char *)nlh) + NLMSG_LENGTH(0)))
#define NLMSG_DONE 0x3
#define NLM_F_REQUEST 0x01
#define NLMSG_DEFAULT_SIZE 3776

struct netlink_skb_parms {
    u32 portid;
    u32 dst_group;
};
#define NETLINK_CB(skb) (*(struct netlink_skb_parms *)&((skb)->cb))

struct netlink_kernel_cfg {
    unsigned int groups;
    unsigned int flags;
    void (*input)(struct sk_buff *skb);
};

struct net;
struct sock; // a kernel netlink socket
struct sock *netlink_kernel_create(struct net *net, int unit, struct netlink_kernel_cfg *cfg);
void netlink_kernel_release(struct sock *sk);
// Both consume the frame. Unicast: -ECONNREFUSED when no endpoint has portid.
int netlink_unicast(struct sock *sk, struct sk_buff *skb, u32 portid, int nonblock);
// -ESRCH when no endpoint listens to the group.
int netlink_broadcast(struct sock *sk, struct sk_buff *skb, u32 portid, u32 group, gfp_t flags);
bool netlink_has_listeners(struct sock *sk, unsigned int group);

inline struct nlmsghdr *nlmsg_hdr(const struct sk_buff *skb) {
    return (struct nlmsghdr *)skb->data;
}
inline void *nlmsg_data(const struct nlmsghdr *nlh) {
    return (char *)nlh + NLMSG_HDRLEN;
}
inline int nlmsg_len(const struct nlmsghdr *nlh) {
    return nlh->nlmsg_len - NLMSG_HDRLEN;
}
inline int nlmsg_msg_size(int payload) {
    return NLMSG_HDRLEN + payload;
}
inline int nlmsg_total_size(int payload) {
    return NLMSG_ALIGN(nlmsg_msg_size(payload));
}
inline struct sk_buff *nlmsg_new(size_t payload, gfp_t flags) {
    return alloc_skb(nlmsg_total_size(payload), flags);
}
inline void nlmsg_free(struct sk_buff *skb) {
    kfree_skb(skb);
}
struct nlmsghdr *nlmsg_put(struct sk_buff *skb, u32 portid, u32 seq, int type, int payload,
                           int flags);

// The carrier side (the node's transport). An endpoint is a user socket bound
// to a protocol with a port id and a group mask; deliver gets each message.
// Bind: 0, -EINVAL (port id 0 is the kernel's), -EADDRINUSE. Unbind waits for
// deliveries in progress to that endpoint, so do not hold a lock deliver takes.
using rte_netlink_deliver_fn = std::function<void(const void *data, size_t len)>;
int rte_netlink_bind(int unit, u32 portid, u32 groups, rte_netlink_deliver_fn deliver);
void rte_netlink_unbind(int unit, u32 portid);
// A message from a user endpoint to the kernel socket of the protocol:
// 0, -ECONNREFUSED when no kernel socket exists, -EMSGSIZE, -ENOMEM.
int rte_netlink_send_to_kernel(int unit, u32 portid, const void *data, size_t len);
