// Frames: sk_buff with the kernel's layout ideas (head/data/tail/end, headroom,
// a 48-byte control block, header offsets), backed by a buffer pool so that the
// data path allocates no memory per frame.
//
// Ownership: a function that is given a frame consumes it (frees, queues,
// transmits or hands it on). kfree_skb on a frame that is already free aborts.
// Clones share the data buffer; skb_unshare/skb_cow give a private copy before
// the data is written.
#pragma once

#include "kernel/sync.h"
#include "kernel/types.h"

#include <atomic>

struct net_device;
struct sock;

#define PACKET_HOST 0
#define PACKET_BROADCAST 1
#define PACKET_MULTICAST 2
#define PACKET_OTHERHOST 3
#define PACKET_OUTGOING 4
#define PACKET_LOOPBACK 5

#define NET_SKB_PAD 64
#define NET_IP_ALIGN 2
#define SKB_MAX_ALLOC (16384 - NET_SKB_PAD) // largest frame the pool holds

#define CHECKSUM_NONE 0
#define CHECKSUM_UNNECESSARY 1
#define CHECKSUM_COMPLETE 2
#define CHECKSUM_PARTIAL 3

using sk_buff_data_t = unsigned int;

#define SKB_EXCLUDE_MAX 16

struct skb_shared_info {
    std::atomic<int> dataref;
    unsigned int rte_class; // pool class of the buffer
};

struct sk_buff {
    struct sk_buff *next;
    struct sk_buff *prev;
    struct net_device *dev;
    struct sock *sk;
    alignas(8) char cb[48];
    unsigned int len;
    unsigned int data_len; // always 0: frames are linear
    u16 mac_len;
    u16 queue_mapping;
    u8 pkt_type : 3;
    u8 cloned : 1;
    u8 ip_summed : 2;
    u8 rte_free : 1; // set while the header is back in the pool
    u8 nohdr : 1;
    __be16 protocol;
    u16 transport_header;
    u16 network_header;
    u16 mac_header;
    __be16 vlan_proto;
    u16 vlan_tci;
    int skb_iif;
    u32 priority;
    u32 mark;
    u32 hash;
    // Line-card metadata filled by drivers: a scratch word with its source
    // (the PON driver's GEM number, the PVC driver's queue) and a GEM priority.
    u32 scratch;
    u16 scratch_src;
    u8 gem_prio;
    // Ports (by BLL number) a forwarded frame must not reach: a bounded list
    // that travels with the frame and its clones.
    u8 jx_exclude_n;
    u16 jx_exclude[SKB_EXCLUDE_MAX];
    void (*destructor)(struct sk_buff *skb);
    sk_buff_data_t tail;
    sk_buff_data_t end;
    unsigned char *head;
    unsigned char *data;
    unsigned int truesize;
    std::atomic<int> users;
};

struct sk_buff_head {
    struct sk_buff *next;
    struct sk_buff *prev;
    u32 qlen;
    spinlock_t lock;
};

struct sk_buff *alloc_skb(unsigned int size, gfp_t priority);
struct sk_buff *dev_alloc_skb(unsigned int length);
struct sk_buff *netdev_alloc_skb(struct net_device *dev, unsigned int length);
void kfree_skb(struct sk_buff *skb);
inline void consume_skb(struct sk_buff *skb) {
    kfree_skb(skb);
}
inline void dev_kfree_skb(struct sk_buff *skb) {
    kfree_skb(skb);
}
inline void dev_kfree_skb_any(struct sk_buff *skb) {
    kfree_skb(skb);
}
inline void dev_kfree_skb_irq(struct sk_buff *skb) {
    kfree_skb(skb);
}
struct sk_buff *skb_get(struct sk_buff *skb);
// Releases the frame from its socket (runs its destructor once).
inline void skb_orphan(struct sk_buff *skb) {
    if (skb->destructor)
        skb->destructor(skb);
    skb->destructor = nullptr;
    skb->sk = nullptr;
}
struct sk_buff *skb_clone(struct sk_buff *skb, gfp_t priority);
struct sk_buff *skb_copy(const struct sk_buff *skb, gfp_t priority);
struct sk_buff *skb_copy_expand(const struct sk_buff *skb, int newheadroom, int newtailroom,
                                gfp_t priority);
inline struct sk_buff *pskb_copy(struct sk_buff *skb, gfp_t p) {
    return skb_copy(skb, p);
}
struct sk_buff *skb_unshare(struct sk_buff *skb, gfp_t priority);
struct sk_buff *skb_share_check(struct sk_buff *skb, gfp_t priority);
struct sk_buff *skb_realloc_headroom(struct sk_buff *skb, unsigned int headroom);
// Private data with nhead more headroom and ntail more tailroom; when the
// largest buffer cannot also keep all of the old tailroom, the tailroom is what
// fits (at least ntail). -ENOMEM leaves the frame as it was.
int pskb_expand_head(struct sk_buff *skb, int nhead, int ntail, gfp_t priority);
int skb_cow(struct sk_buff *skb, unsigned int headroom);
int skb_cow_head(struct sk_buff *skb, unsigned int headroom);
int skb_padto(struct sk_buff *skb, unsigned int len); // frees the frame on failure
int skb_put_padto(struct sk_buff *skb, unsigned int len);
inline int eth_skb_pad(struct sk_buff *skb) {
    return skb_put_padto(skb, ETH_ZLEN);
}
int skb_copy_bits(const struct sk_buff *skb, int offset, void *to, int len);
void *skb_header_pointer(const struct sk_buff *skb, int offset, int len, void *buffer);
inline int skb_linearize(struct sk_buff *) {
    return 0;
}
inline bool pskb_may_pull(struct sk_buff *skb, unsigned int len) {
    return len <= skb->len;
}
inline bool skb_cloned(const struct sk_buff *skb) {
    return skb->cloned && ((skb_shared_info *)(skb->head + skb->end))->dataref.load() != 1;
}
inline bool skb_shared(const struct sk_buff *skb) {
    return skb->users.load() != 1;
}
inline struct skb_shared_info *skb_shinfo(const struct sk_buff *skb) {
    return (skb_shared_info *)(skb->head + skb->end);
}

inline unsigned char *skb_tail_pointer(const struct sk_buff *skb) {
    return skb->head + skb->tail;
}
inline unsigned char *skb_end_pointer(const struct sk_buff *skb) {
    return skb->head + skb->end;
}
inline unsigned int skb_headroom(const struct sk_buff *skb) {
    return skb->data - skb->head;
}
inline int skb_tailroom(const struct sk_buff *skb) {
    return skb->end - skb->tail;
}
inline unsigned int skb_headlen(const struct sk_buff *skb) {
    return skb->len;
}
inline void skb_reserve(struct sk_buff *skb, int len) {
    skb->data += len;
    skb->tail += len;
}
void *skb_push(struct sk_buff *skb, unsigned int len);
void *skb_pull(struct sk_buff *skb, unsigned int len);
void *skb_put(struct sk_buff *skb, unsigned int len);
inline void *__skb_push(struct sk_buff *skb, unsigned int len) {
    return skb_push(skb, len);
}
inline void *__skb_pull(struct sk_buff *skb, unsigned int len) {
    return skb_pull(skb, len);
}
inline void *__skb_put(struct sk_buff *skb, unsigned int len) {
    return skb_put(skb, len);
}
inline void *skb_put_data(struct sk_buff *skb, const void *data, unsigned int len) {
    void *p = skb_put(skb, len);
    memcpy(p, data, len);
    return p;
}
inline void *skb_put_zero(struct sk_buff *skb, unsigned int len) {
    void *p = skb_put(skb, len);
    memset(p, 0, len);
    return p;
}
void skb_trim(struct sk_buff *skb, unsigned int len);
inline void __skb_trim(struct sk_buff *skb, unsigned int len) {
    skb_trim(skb, len);
}

inline unsigned char *skb_mac_header(const struct sk_buff *skb) {
    return skb->head + skb->mac_header;
}
inline bool skb_mac_header_was_set(const struct sk_buff *skb) {
    return skb->mac_header != (u16)~0U;
}
inline void skb_reset_mac_header(struct sk_buff *skb) {
    skb->mac_header = skb->data - skb->head;
}
inline void skb_set_mac_header(struct sk_buff *skb, int offset) {
    skb->mac_header = (skb->data - skb->head) + offset;
}
inline unsigned char *skb_network_header(const struct sk_buff *skb) {
    return skb->head + skb->network_header;
}
inline void skb_reset_network_header(struct sk_buff *skb) {
    skb->network_header = skb->data - skb->head;
}
inline void skb_set_network_header(struct sk_buff *skb, int offset) {
    skb->network_header = (skb->data - skb->head) + offset;
}
inline unsigned char *skb_transport_header(const struct sk_buff *skb) {
    return skb->head + skb->transport_header;
}
inline void skb_reset_transport_header(struct sk_buff *skb) {
    skb->transport_header = skb->data - skb->head;
}
inline void skb_set_transport_header(struct sk_buff *skb, int offset) {
    skb->transport_header = (skb->data - skb->head) + offset;
}
inline int skb_network_offset(const struct sk_buff *skb) {
    return skb_network_header(skb) - skb->data;
}
inline struct ethhdr *eth_hdr(const struct sk_buff *skb) {
    return (struct ethhdr *)skb_mac_header(skb);
}
// Sets protocol and packet type from the Ethernet header and pulls it.
__be16 eth_type_trans(struct sk_buff *skb, struct net_device *dev);

inline bool skb_vlan_tag_present(const struct sk_buff *skb) {
    return skb->vlan_proto != 0;
}
inline u16 skb_vlan_tag_get(const struct sk_buff *skb) {
    return skb->vlan_tci;
}
inline void __vlan_hwaccel_put_tag(struct sk_buff *skb, __be16 proto, u16 tci) {
    skb->vlan_proto = proto;
    skb->vlan_tci = tci;
}
inline void __vlan_hwaccel_clear_tag(struct sk_buff *skb) {
    skb->vlan_proto = 0;
    skb->vlan_tci = 0;
}

// Queues.
void skb_queue_head_init(struct sk_buff_head *list);
void __skb_queue_tail(struct sk_buff_head *list, struct sk_buff *skb);
void __skb_queue_head(struct sk_buff_head *list, struct sk_buff *skb);
struct sk_buff *__skb_dequeue(struct sk_buff_head *list);
void __skb_unlink(struct sk_buff *skb, struct sk_buff_head *list);
void skb_queue_tail(struct sk_buff_head *list, struct sk_buff *skb);
struct sk_buff *skb_dequeue(struct sk_buff_head *list);
void skb_queue_purge(struct sk_buff_head *list);
inline u32 skb_queue_len(const struct sk_buff_head *list) {
    return list->qlen;
}
inline bool skb_queue_empty(const struct sk_buff_head *list) {
    return list->next == (const struct sk_buff *)list;
}
inline struct sk_buff *skb_peek(const struct sk_buff_head *list) {
    struct sk_buff *skb = list->next;
    return skb == (const struct sk_buff *)list ? nullptr : skb;
}

// Pool accounting: frames (headers) and data buffers in use, for leak checks.
struct rte_skb_pool_stats {
    u64 skbs_in_use;
    u64 buffers_in_use;
    u64 allocs;
    u64 alloc_failures;
};
rte_skb_pool_stats rte_skb_pool_get_stats();
// Builds a frame from bytes (for drivers and tests): data starts at the MAC header.
struct sk_buff *rte_skb_from_bytes(const void *bytes, unsigned int len, unsigned int headroom);
