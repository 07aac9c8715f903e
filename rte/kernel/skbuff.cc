// Frames and their pool.
//
// Headers (sk_buff) and data buffers come from free lists that grow in chunks
// and never shrink, so the data path does not call malloc once the pool has
// warmed up. Buffers come in two size classes; the skb_shared_info that counts
// the references to a buffer sits right after its usable area (head + end), as
// in the kernel. One mutex guards the free lists and the counters.
//
// Each thread keeps a small cache of free headers and small buffers, as the
// kernel keeps per-CPU ones, so that a frame is allocated and freed without
// the pool lock; a cache trades half its size at a time with the pool.
//
// Under AddressSanitizer a free header or buffer is poisoned, so a frame used
// after kfree_skb is reported at the faulty access, and free objects are reused
// oldest first to keep them poisoned as long as possible.
#include "kernel/skbuff.h"
#include "kernel/netdevice.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

#define ETH_P_802_3 0x0001
#define ETH_P_802_2 0x0004
#define ETH_P_802_3_MIN 0x0600

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kReuseOldestFirst = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kReuseOldestFirst = true;
#else
constexpr bool kReuseOldestFirst = false;
#endif
#else
constexpr bool kReuseOldestFirst = false;
#endif

// Room for skb_shared_info after the usable area, a cache line so that the
// next buffer of the chunk starts aligned.
constexpr unsigned kShinfoRoom = 64;
static_assert(sizeof(skb_shared_info) <= kShinfoRoom);

struct SizeClass {
    unsigned usable;    // head..end
    unsigned per_chunk; // buffers added when the class runs dry
};
// A full-size Ethernet frame with its headroom fits the small class; the large
// one holds the biggest frame alloc_skb accepts plus the device headroom.
constexpr SizeClass kClasses[] = {
    {2048 - kShinfoRoom, 128},
    {SKB_MAX_ALLOC + NET_SKB_PAD, 16},
};
constexpr unsigned kNumClasses = ARRAY_SIZE(kClasses);
constexpr unsigned kMaxUsable = kClasses[kNumClasses - 1].usable;
constexpr unsigned kHeadersPerChunk = 256;
constexpr std::align_val_t kChunkAlign{64};

// Free objects in a ring, so that reuse can be newest first (warm caches) or
// oldest first (longer poisoning under ASan). Its capacity grows with the
// objects it may hold, never on push.
class FreeRing {
  public:
    bool empty() const { return count_ == 0; }
    bool reserve(size_t total) {
        if (total <= slots_.size())
            return true;
        std::vector<void *> grown;
        try {
            grown.resize(total);
        } catch (const std::bad_alloc &) {
            return false;
        }
        for (size_t i = 0; i < count_; i++)
            grown[i] = slots_[(first_ + i) % slots_.size()];
        slots_.swap(grown);
        first_ = 0;
        return true;
    }
    void push(void *p) { slots_[(first_ + count_++) % slots_.size()] = p; }
    void *pop() {
        count_--;
        if (!kReuseOldestFirst)
            return slots_[(first_ + count_) % slots_.size()];
        void *p = slots_[first_];
        first_ = (first_ + 1) % slots_.size();
        return p;
    }

  private:
    std::vector<void *> slots_;
    size_t first_ = 0;
    size_t count_ = 0;
};

struct Pool {
    std::mutex lock;
    FreeRing headers;
    size_t headers_total = 0;
    FreeRing buffers[kNumClasses];
    size_t buffers_total[kNumClasses] = {};
    std::vector<void *> chunks;    // kept for the life of the process
    rte_skb_pool_stats stats = {}; // what caches hold counts as in use here
    std::vector<struct ThreadCache *> caches;
};

Pool &pool() {
    // Never destroyed: frames may still be freed while statics are torn down.
    static Pool *p = new Pool;
    return *p;
}

// The 8-byte granule of sk_buff holding rte_free stays readable while the
// header is free, so that a second kfree_skb can be told from a wild pointer.
size_t free_flag_granule() {
    static const size_t granule = [] {
        alignas(sk_buff) unsigned char raw[sizeof(sk_buff)] = {};
        sk_buff *probe = new (raw) sk_buff();
        probe->rte_free = 1;
        size_t at = 0;
        for (size_t i = 0; i < sizeof(raw); i++) {
            if (raw[i]) {
                at = i & ~size_t(7);
                break;
            }
        }
        probe->~sk_buff();
        return at;
    }();
    return granule;
}

void poison_header(sk_buff *skb) {
    size_t g = free_flag_granule();
    ASAN_POISON_MEMORY_REGION(skb, g);
    ASAN_POISON_MEMORY_REGION(reinterpret_cast<char *>(skb) + g + 8, sizeof(sk_buff) - g - 8);
}

bool grow_headers_locked(Pool &p) {
    if (!p.headers.reserve(p.headers_total + kHeadersPerChunk))
        return false;
    void *mem = ::operator new(kHeadersPerChunk * sizeof(sk_buff), kChunkAlign, std::nothrow);
    if (!mem)
        return false;
    try {
        p.chunks.push_back(mem);
    } catch (const std::bad_alloc &) {
        ::operator delete(mem, kChunkAlign);
        return false;
    }
    auto *hdrs = static_cast<sk_buff *>(mem);
    for (unsigned i = 0; i < kHeadersPerChunk; i++) {
        sk_buff *skb = new (&hdrs[i]) sk_buff();
        skb->rte_free = 1;
        poison_header(skb);
        p.headers.push(skb);
    }
    p.headers_total += kHeadersPerChunk;
    return true;
}

bool grow_buffers_locked(Pool &p, unsigned cls) {
    const SizeClass &c = kClasses[cls];
    const size_t stride = size_t(c.usable) + kShinfoRoom;
    if (!p.buffers[cls].reserve(p.buffers_total[cls] + c.per_chunk))
        return false;
    void *mem = ::operator new(stride *c.per_chunk, kChunkAlign, std::nothrow);
    if (!mem)
        return false;
    try {
        p.chunks.push_back(mem);
    } catch (const std::bad_alloc &) {
        ::operator delete(mem, kChunkAlign);
        return false;
    }
    ASAN_POISON_MEMORY_REGION(mem, stride * c.per_chunk);
    for (unsigned i = 0; i < c.per_chunk; i++)
        p.buffers[cls].push(static_cast<unsigned char *>(mem) + i * stride);
    p.buffers_total[cls] += c.per_chunk;
    return true;
}

sk_buff *header_init(void *free_header) {
    auto *skb = static_cast<sk_buff *>(free_header);
    ASAN_UNPOISON_MEMORY_REGION(skb, sizeof(sk_buff));
    skb->~sk_buff();
    new (skb) sk_buff(); // all fields zero
    return skb;
}

void header_release(sk_buff *skb) {
    skb->rte_free = 1;
    poison_header(skb);
}

sk_buff *header_get_locked(Pool &p) {
    if (p.headers.empty() && !grow_headers_locked(p))
        return nullptr;
    sk_buff *skb = header_init(p.headers.pop());
    p.stats.skbs_in_use++;
    p.stats.allocs++;
    return skb;
}

void header_put_locked(Pool &p, sk_buff *skb) {
    header_release(skb);
    p.headers.push(skb);
    p.stats.skbs_in_use--;
}

int class_for(u64 size) {
    for (unsigned i = 0; i < kNumClasses; i++)
        if (size <= kClasses[i].usable)
            return int(i);
    return -1;
}

// A free buffer of the class with its shared info set up (one reference).
unsigned char *buffer_init(void *free_buffer, int cls) {
    auto *buf = static_cast<unsigned char *>(free_buffer);
    const unsigned usable = kClasses[cls].usable;
    ASAN_UNPOISON_MEMORY_REGION(buf, size_t(usable) + kShinfoRoom);
    auto *sh = new (buf + usable) skb_shared_info();
    sh->dataref.store(1, std::memory_order_relaxed);
    sh->rte_class = unsigned(cls);
    return buf;
}

void buffer_release(unsigned char *buf, unsigned cls) {
    ASAN_POISON_MEMORY_REGION(buf, size_t(kClasses[cls].usable) + kShinfoRoom);
}

unsigned char *buffer_get_locked(Pool &p, int cls) {
    if (p.buffers[cls].empty() && !grow_buffers_locked(p, cls))
        return nullptr;
    unsigned char *buf = buffer_init(p.buffers[cls].pop(), cls);
    p.stats.buffers_in_use++;
    return buf;
}

void buffer_put_locked(Pool &p, unsigned char *buf, unsigned cls) {
    buffer_release(buf, cls);
    p.buffers[cls].push(buf);
    p.stats.buffers_in_use--;
}

// A thread's cache: free headers, and free buffers of the small class (the
// one frames off the wire use). Only its thread touches the arrays; the
// counts are atomics so that the statistics may read them under the pool
// lock, which every move between pool and cache holds.
constexpr unsigned kCacheMax = 64;
constexpr unsigned kCacheBatch = kCacheMax / 2;

struct ThreadCache {
    void *hdrs[kCacheMax];
    void *bufs[kCacheMax];
    std::atomic<unsigned> nh{0}, nb{0};
    std::atomic<u64> allocs{0}; // headers handed out from here

    static unsigned get(const std::atomic<unsigned> &n) {
        return n.load(std::memory_order_relaxed);
    }
    static void set(std::atomic<unsigned> &n, unsigned v) { n.store(v, std::memory_order_relaxed); }

    // Up to kCacheBatch of a kind; false when the pool cannot give one.
    bool refill_headers(Pool &p) {
        std::lock_guard<std::mutex> guard(p.lock);
        unsigned n = get(nh);
        while (n < kCacheBatch && (!p.headers.empty() || grow_headers_locked(p))) {
            hdrs[n++] = p.headers.pop();
            p.stats.skbs_in_use++;
        }
        set(nh, n);
        return n > 0;
    }
    bool refill_buffers(Pool &p) {
        std::lock_guard<std::mutex> guard(p.lock);
        unsigned n = get(nb);
        while (n < kCacheBatch && (!p.buffers[0].empty() || grow_buffers_locked(p, 0))) {
            bufs[n++] = p.buffers[0].pop();
            p.stats.buffers_in_use++;
        }
        set(nb, n);
        return n > 0;
    }
    // Gives the pool all but keep of each kind.
    void drain_locked(Pool &p, unsigned keep) {
        unsigned n = get(nh);
        for (; n > keep; p.stats.skbs_in_use--)
            p.headers.push(hdrs[--n]);
        set(nh, n);
        n = get(nb);
        for (; n > keep; p.stats.buffers_in_use--)
            p.buffers[0].push(bufs[--n]);
        set(nb, n);
    }
    void drain(Pool &p, unsigned keep) {
        std::lock_guard<std::mutex> guard(p.lock);
        drain_locked(p, keep);
    }

    sk_buff *get_header(Pool &p) {
        if (!get(nh) && !refill_headers(p))
            return nullptr;
        const unsigned n = get(nh) - 1;
        set(nh, n);
        allocs.store(allocs.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        return header_init(hdrs[n]);
    }
    unsigned char *get_buffer(Pool &p) {
        if (!get(nb) && !refill_buffers(p))
            return nullptr;
        const unsigned n = get(nb) - 1;
        set(nb, n);
        return buffer_init(bufs[n], 0);
    }
    void put_header(Pool &p, sk_buff *skb) {
        header_release(skb);
        if (get(nh) == kCacheMax)
            drain(p, kCacheBatch);
        const unsigned n = get(nh);
        hdrs[n] = skb;
        set(nh, n + 1);
    }
    void put_buffer(Pool &p, unsigned char *buf) {
        buffer_release(buf, 0);
        if (get(nb) == kCacheMax)
            drain(p, kCacheBatch);
        const unsigned n = get(nb);
        bufs[n] = buf;
        set(nb, n + 1);
    }
};

// Made on a thread's first frame and given back to the pool when the thread
// ends; what is freed after that (destructors of other thread or static
// objects) goes to the pool directly.
thread_local ThreadCache *t_cache;
thread_local bool t_cache_gone;

struct ThreadCacheOwner {
    ThreadCache cache;
    ThreadCacheOwner() {
        Pool &p = pool();
        std::lock_guard<std::mutex> guard(p.lock);
        p.caches.push_back(&cache);
    }
    ~ThreadCacheOwner() {
        t_cache = nullptr;
        t_cache_gone = true;
        Pool &p = pool();
        std::lock_guard<std::mutex> guard(p.lock);
        cache.drain_locked(p, 0);
        p.stats.allocs += cache.allocs.load(std::memory_order_relaxed);
        std::erase(p.caches, &cache);
    }
};

// None under AddressSanitizer, which wants free objects reused oldest first.
ThreadCache *thread_cache() {
    if (kReuseOldestFirst)
        return nullptr;
    if (t_cache || t_cache_gone)
        return t_cache;
    static thread_local ThreadCacheOwner owner;
    t_cache = &owner.cache;
    return t_cache;
}

void count_failure() {
    Pool &p = pool();
    std::lock_guard<std::mutex> guard(p.lock);
    p.stats.alloc_failures++;
}

unsigned char *buffer_alloc(u64 size, unsigned *usable) {
    Pool &p = pool();
    std::lock_guard<std::mutex> guard(p.lock);
    int cls = class_for(size);
    unsigned char *buf = cls < 0 ? nullptr : buffer_get_locked(p, cls);
    if (!buf) {
        p.stats.alloc_failures++;
        return nullptr;
    }
    *usable = kClasses[cls].usable;
    return buf;
}

// Drops the frame's reference to its data; the last one returns the buffer.
void data_release(sk_buff *skb) {
    skb_shared_info *sh = skb_shinfo(skb);
    if (sh->dataref.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    Pool &p = pool();
    std::lock_guard<std::mutex> guard(p.lock);
    buffer_put_locked(p, skb->head, sh->rte_class);
}

sk_buff *header_alloc() {
    Pool &p = pool();
    if (ThreadCache *c = thread_cache())
        if (sk_buff *skb = c->get_header(p))
            return skb;
    std::lock_guard<std::mutex> guard(p.lock);
    sk_buff *skb = header_get_locked(p);
    if (!skb)
        p.stats.alloc_failures++;
    return skb;
}

void set_buffer(sk_buff *skb, unsigned char *buf, unsigned usable) {
    skb->head = buf;
    skb->data = buf;
    skb->tail = 0;
    skb->end = usable;
    skb->truesize = usable + sizeof(sk_buff);
}

// A frame with no headroom and at least size bytes of tailroom.
sk_buff *skb_new(u64 size) {
    Pool &p = pool();
    const int cls = class_for(size);
    unsigned char *buf = nullptr;
    sk_buff *skb = nullptr;
    ThreadCache *c = cls == 0 ? thread_cache() : nullptr;
    if (c && (buf = c->get_buffer(p)) && !(skb = c->get_header(p)))
        c->put_buffer(p, buf);
    if (!skb) {
        std::lock_guard<std::mutex> guard(p.lock);
        buf = cls < 0 ? nullptr : buffer_get_locked(p, cls);
        skb = buf ? header_get_locked(p) : nullptr;
        if (!skb) {
            if (buf)
                buffer_put_locked(p, buf, cls);
            p.stats.alloc_failures++;
            return nullptr;
        }
    }
    set_buffer(skb, buf, kClasses[cls].usable);
    skb->mac_header = (u16)~0U;
    skb->users.store(1, std::memory_order_relaxed);
    return skb;
}

// Copies every field of old into n except what belongs to n itself: its
// buffer, its list links, its owner and its reference counts.
void copy_header(sk_buff *n, const sk_buff *old) {
    unsigned char *head = n->head;
    unsigned char *data = n->data;
    sk_buff_data_t tail = n->tail;
    sk_buff_data_t end = n->end;
    unsigned int truesize = n->truesize;
    memcpy(static_cast<void *>(n), static_cast<const void *>(old), sizeof(sk_buff));
    n->head = head;
    n->data = data;
    n->tail = tail;
    n->end = end;
    n->truesize = truesize;
    n->next = nullptr;
    n->prev = nullptr;
    n->sk = nullptr;
    n->destructor = nullptr;
    n->cloned = 0;
    n->rte_free = 0;
    n->nohdr = 0;
    n->users.store(1, std::memory_order_relaxed);
}

u16 shifted(u16 off, long delta, const sk_buff *skb, u16 unset) {
    long at = long(off) + delta;
    return (at < 0 || at > long(skb->end)) ? unset : u16(at);
}

// Keeps the header offsets pointing at the same bytes after the data moved by
// delta within (or into) a new buffer.
void shift_header_offsets(sk_buff *skb, long delta) {
    if (skb_mac_header_was_set(skb))
        skb->mac_header = shifted(skb->mac_header, delta, skb, (u16)~0U);
    skb->network_header = shifted(skb->network_header, delta, skb, 0);
    skb->transport_header = shifted(skb->transport_header, delta, skb, 0);
}

[[noreturn]] void skb_panic(const sk_buff *skb, unsigned int len, const char *what) {
    fprintf(stderr, "skbuff: %s: frame %p len:%u put:%u head:%p data:%p tail:%u end:%u dev:%s\n",
            what, static_cast<const void *>(skb), skb->len, len,
            static_cast<const void *>(skb->head), static_cast<const void *>(skb->data), skb->tail,
            skb->end, skb->dev ? skb->dev->name : "<NULL>");
    abort();
}

// The list links sit first in both sk_buff and sk_buff_head; this view lets
// the queue code treat the list head as a member of its own ring without
// breaking the aliasing rules.
struct __attribute__((may_alias)) skb_links {
    sk_buff *next;
    sk_buff *prev;
};
static_assert(offsetof(sk_buff, next) == offsetof(sk_buff_head, next));
static_assert(offsetof(sk_buff, prev) == offsetof(sk_buff_head, prev));
static_assert(offsetof(sk_buff, prev) == offsetof(skb_links, prev));

skb_links *links(void *p) {
    return static_cast<skb_links *>(p);
}
sk_buff *as_skb(sk_buff_head *list) {
    return reinterpret_cast<sk_buff *>(list);
}

void skb_insert_between(sk_buff *newsk, sk_buff *prev, sk_buff *next, sk_buff_head *list) {
    links(newsk)->next = next;
    links(newsk)->prev = prev;
    links(next)->prev = newsk;
    links(prev)->next = newsk;
    list->qlen++;
}

} // namespace

struct sk_buff *alloc_skb(unsigned int size, gfp_t) {
    if (size > SKB_MAX_ALLOC) {
        count_failure();
        return nullptr;
    }
    return skb_new(size);
}

struct sk_buff *dev_alloc_skb(unsigned int length) {
    if (length > SKB_MAX_ALLOC) {
        count_failure();
        return nullptr;
    }
    sk_buff *skb = skb_new(u64(length) + NET_SKB_PAD);
    if (skb)
        skb_reserve(skb, NET_SKB_PAD);
    return skb;
}

struct sk_buff *netdev_alloc_skb(struct net_device *dev, unsigned int length) {
    sk_buff *skb = dev_alloc_skb(length);
    if (skb)
        skb->dev = dev;
    return skb;
}

void kfree_skb(struct sk_buff *skb) {
    if (!skb)
        return;
    if (skb->rte_free) {
        fprintf(stderr, "skbuff: kfree_skb: frame %p is already free\n", static_cast<void *>(skb));
        abort();
    }
    // As the kernel does: a sole user and a never-cloned buffer have counts
    // nobody else can change, so the common free needs no atomic operation.
    if (skb->users.load(std::memory_order_acquire) != 1 &&
        skb->users.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    if (skb->destructor)
        skb->destructor(skb);
    // Header and last data reference go back together: to the thread's cache,
    // or to the pool under one lock.
    skb_shared_info *sh = skb->head ? skb_shinfo(skb) : nullptr;
    const bool last =
        sh && (!skb->cloned || sh->dataref.fetch_sub(1, std::memory_order_acq_rel) == 1);
    Pool &p = pool();
    ThreadCache *c = thread_cache();
    if (c && (!last || sh->rte_class == 0)) {
        if (last)
            c->put_buffer(p, skb->head);
        c->put_header(p, skb);
        return;
    }
    std::lock_guard<std::mutex> guard(p.lock);
    if (last)
        buffer_put_locked(p, skb->head, sh->rte_class);
    header_put_locked(p, skb);
}

struct sk_buff *skb_get(struct sk_buff *skb) {
    skb->users.fetch_add(1, std::memory_order_relaxed);
    return skb;
}

struct sk_buff *skb_clone(struct sk_buff *skb, gfp_t) {
    sk_buff *n = header_alloc();
    if (!n)
        return nullptr;
    memcpy(static_cast<void *>(n), static_cast<const void *>(skb), sizeof(sk_buff));
    n->next = nullptr;
    n->prev = nullptr;
    n->sk = nullptr;
    n->destructor = nullptr;
    n->rte_free = 0;
    n->users.store(1, std::memory_order_relaxed);
    n->cloned = 1;
    skb->cloned = 1;
    skb_shinfo(skb)->dataref.fetch_add(1, std::memory_order_relaxed);
    return n;
}

struct sk_buff *skb_copy_expand(const struct sk_buff *skb, int newheadroom, int newtailroom,
                                gfp_t) {
    if (newheadroom < 0 || newtailroom < 0)
        return nullptr;
    sk_buff *n = skb_new(u64(newheadroom) + skb->len + u64(newtailroom));
    if (!n)
        return nullptr;
    const unsigned oldheadroom = skb_headroom(skb);
    // What lies before data (a pulled MAC header) comes along as far as the
    // new headroom allows.
    const unsigned head_copy = oldheadroom < unsigned(newheadroom) ? oldheadroom : newheadroom;
    memcpy(n->head + newheadroom - head_copy, skb->data - head_copy, head_copy + skb->len);
    n->data = n->head + newheadroom;
    n->tail = newheadroom + skb->len;
    copy_header(n, skb);
    shift_header_offsets(n, long(newheadroom) - long(oldheadroom));
    return n;
}

struct sk_buff *skb_copy(const struct sk_buff *skb, gfp_t priority) {
    return skb_copy_expand(skb, skb_headroom(skb), skb_tailroom(skb), priority);
}

struct sk_buff *skb_unshare(struct sk_buff *skb, gfp_t priority) {
    if (!skb_cloned(skb))
        return skb;
    sk_buff *n = skb_copy(skb, priority);
    kfree_skb(skb);
    return n;
}

struct sk_buff *skb_share_check(struct sk_buff *skb, gfp_t priority) {
    if (!skb_shared(skb))
        return skb;
    sk_buff *n = skb_clone(skb, priority);
    kfree_skb(skb);
    return n;
}

struct sk_buff *skb_realloc_headroom(struct sk_buff *skb, unsigned int headroom) {
    if (headroom > kMaxUsable)
        return nullptr;
    long delta = long(headroom) - long(skb_headroom(skb));
    if (delta <= 0)
        return skb_copy(skb, GFP_ATOMIC);
    sk_buff *n = skb_clone(skb, GFP_ATOMIC);
    if (n && pskb_expand_head(n, int((delta + 63) & ~63L), 0, GFP_ATOMIC)) {
        kfree_skb(n);
        n = nullptr;
    }
    return n;
}

int pskb_expand_head(struct sk_buff *skb, int nhead, int ntail, gfp_t) {
    if (nhead < 0 || ntail < 0)
        return -EINVAL;
    u64 size = u64(nhead) + skb->end + u64(ntail);
    if (size > kMaxUsable) {
        // The old tailroom does not fit as well: keep the data and the room
        // asked for, and cut the tailroom to what the largest buffer holds.
        if (u64(nhead) + skb->tail + u64(ntail) > kMaxUsable) {
            count_failure();
            return -ENOMEM;
        }
        size = kMaxUsable;
    }
    unsigned usable = 0;
    unsigned char *buf = buffer_alloc(size, &usable);
    if (!buf)
        return -ENOMEM;
    memcpy(buf + nhead, skb->head, skb->tail);
    const unsigned data_off = skb->data - skb->head;
    // Drop this frame's share of the old data; a clone keeps its own.
    data_release(skb);
    skb->head = buf;
    skb->data = buf + nhead + data_off;
    skb->tail += nhead;
    skb->end = usable;
    skb->truesize = usable + sizeof(sk_buff);
    skb->cloned = 0;
    skb->nohdr = 0;
    shift_header_offsets(skb, nhead);
    return 0;
}

int skb_cow(struct sk_buff *skb, unsigned int headroom) {
    unsigned delta = headroom > skb_headroom(skb) ? headroom - skb_headroom(skb) : 0;
    if (delta > kMaxUsable)
        return -ENOMEM;
    if (delta || skb_cloned(skb))
        return pskb_expand_head(skb, int((delta + NET_SKB_PAD - 1) & ~(NET_SKB_PAD - 1u)), 0,
                                GFP_ATOMIC);
    return 0;
}

int skb_cow_head(struct sk_buff *skb, unsigned int headroom) {
    return skb_cow(skb, headroom);
}

int skb_padto(struct sk_buff *skb, unsigned int len) {
    if (skb->len >= len)
        return 0;
    const unsigned pad = len - skb->len;
    const long short_by = long(pad) - skb_tailroom(skb);
    if (skb_cloned(skb) || short_by > 0) {
        if (short_by > long(kMaxUsable)) {
            kfree_skb(skb);
            return -ENOMEM;
        }
        int err = pskb_expand_head(skb, 0, short_by > 0 ? int(short_by) : 0, GFP_ATOMIC);
        if (!err && skb_tailroom(skb) < long(pad))
            err = -ENOMEM;
        if (err) {
            kfree_skb(skb);
            return err;
        }
    }
    memset(skb_tail_pointer(skb), 0, pad);
    return 0;
}

int skb_put_padto(struct sk_buff *skb, unsigned int len) {
    if (skb->len >= len)
        return 0;
    const unsigned pad = len - skb->len;
    if (skb_padto(skb, len))
        return -ENOMEM;
    skb_put(skb, pad);
    return 0;
}

int skb_copy_bits(const struct sk_buff *skb, int offset, void *to, int len) {
    // A negative offset reaches back into the headroom (a pulled header).
    if (len < 0 || offset < -long(skb_headroom(skb)) || long(offset) + len > long(skb->len))
        return -EFAULT;
    memcpy(to, skb->data + offset, len);
    return 0;
}

void *skb_header_pointer(const struct sk_buff *skb, int offset, int len, void *) {
    // Frames are linear: the bytes are always in place, no copy needed.
    if (len < 0 || offset < -long(skb_headroom(skb)) || long(offset) + len > long(skb->len))
        return nullptr;
    return skb->data + offset;
}

void *skb_push(struct sk_buff *skb, unsigned int len) {
    if (len > skb_headroom(skb))
        skb_panic(skb, len, "skb_push: under head");
    skb->data -= len;
    skb->len += len;
    return skb->data;
}

void *skb_pull(struct sk_buff *skb, unsigned int len) {
    if (len > skb->len)
        return nullptr;
    skb->len -= len;
    skb->data += len;
    return skb->data;
}

void *skb_put(struct sk_buff *skb, unsigned int len) {
    if (skb_tailroom(skb) < 0 || len > unsigned(skb_tailroom(skb)))
        skb_panic(skb, len, "skb_put: over end");
    unsigned char *tail = skb_tail_pointer(skb);
    skb->tail += len;
    skb->len += len;
    return tail;
}

void skb_trim(struct sk_buff *skb, unsigned int len) {
    if (skb->len <= len)
        return;
    skb->len = len;
    skb->tail = (skb->data - skb->head) + len;
}

__be16 eth_type_trans(struct sk_buff *skb, struct net_device *dev) {
    skb->dev = dev;
    skb_reset_mac_header(skb);
    if (skb->len < ETH_HLEN) {
        // No whole header to read: nobody should take it for theirs.
        skb->pkt_type = PACKET_OTHERHOST;
        return 0;
    }
    const ethhdr *eth = reinterpret_cast<const ethhdr *>(skb->data);
    skb_pull(skb, ETH_HLEN);
    if (is_multicast_ether_addr(eth->h_dest))
        skb->pkt_type = is_broadcast_ether_addr(eth->h_dest) ? PACKET_BROADCAST : PACKET_MULTICAST;
    else if (dev && ether_addr_equal(eth->h_dest, dev->dev_addr))
        skb->pkt_type = PACKET_HOST;
    else
        skb->pkt_type = PACKET_OTHERHOST;
    const __be16 proto = eth->h_proto;
    if (ntohs(proto) >= ETH_P_802_3_MIN)
        return proto;
    // A length field: raw 802.3 (IPX) starts with 0xFFFF, else it is 802.2 LLC.
    u16 first = 0;
    if (skb->len >= 2)
        memcpy(&first, skb->data, 2);
    return first == 0xFFFF ? htons(ETH_P_802_3) : htons(ETH_P_802_2);
}

void skb_queue_head_init(struct sk_buff_head *list) {
    new (&list->lock) spinlock_t();
    links(list)->next = as_skb(list);
    links(list)->prev = as_skb(list);
    list->qlen = 0;
}

void __skb_queue_tail(struct sk_buff_head *list, struct sk_buff *skb) {
    skb_insert_between(skb, links(list)->prev, as_skb(list), list);
}

void __skb_queue_head(struct sk_buff_head *list, struct sk_buff *skb) {
    skb_insert_between(skb, as_skb(list), links(list)->next, list);
}

void __skb_unlink(struct sk_buff *skb, struct sk_buff_head *list) {
    sk_buff *next = links(skb)->next;
    sk_buff *prev = links(skb)->prev;
    list->qlen--;
    links(skb)->next = nullptr;
    links(skb)->prev = nullptr;
    links(next)->prev = prev;
    links(prev)->next = next;
}

struct sk_buff *__skb_dequeue(struct sk_buff_head *list) {
    sk_buff *skb = links(list)->next;
    if (skb == as_skb(list))
        return nullptr;
    __skb_unlink(skb, list);
    return skb;
}

void skb_queue_tail(struct sk_buff_head *list, struct sk_buff *skb) {
    spin_lock(&list->lock);
    __skb_queue_tail(list, skb);
    spin_unlock(&list->lock);
}

struct sk_buff *skb_dequeue(struct sk_buff_head *list) {
    spin_lock(&list->lock);
    sk_buff *skb = __skb_dequeue(list);
    spin_unlock(&list->lock);
    return skb;
}

void skb_queue_purge(struct sk_buff_head *list) {
    sk_buff *skb;
    while ((skb = skb_dequeue(list)) != nullptr)
        kfree_skb(skb);
}

rte_skb_pool_stats rte_skb_pool_get_stats() {
    Pool &p = pool();
    std::lock_guard<std::mutex> guard(p.lock);
    rte_skb_pool_stats s = p.stats;
    for (const ThreadCache *c : p.caches) {
        s.skbs_in_use -= c->nh.load(std::memory_order_relaxed);
        s.buffers_in_use -= c->nb.load(std::memory_order_relaxed);
        s.allocs += c->allocs.load(std::memory_order_relaxed);
    }
    return s;
}

struct sk_buff *rte_skb_from_bytes(const void *bytes, unsigned int len, unsigned int headroom) {
    sk_buff *skb = skb_new(u64(headroom) + len);
    if (!skb)
        return nullptr;
    skb_reserve(skb, headroom);
    if (len)
        skb_put_data(skb, bytes, len);
    skb_reset_mac_header(skb);
    return skb;
}
