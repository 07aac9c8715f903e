#include "kernel/slab.h"

#include "kernel/printk.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define RTE_SLAB_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RTE_SLAB_ASAN 1
#endif
#endif
#ifdef RTE_SLAB_ASAN
#include <sanitizer/asan_interface.h>
#define RTE_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define RTE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define RTE_POISON(p, n) ((void)(p), (void)(n))
#define RTE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

static std::atomic<long> fail_countdown;

void rte_slab_fail_nth(long n) {
    fail_countdown.store(n > 0 ? n : 0);
}

// True for the allocation chosen to fail.
static bool fail_now() {
    long n = fail_countdown.load(std::memory_order_relaxed);
    while (n > 0 && !fail_countdown.compare_exchange_weak(n, n - 1))
        ;
    return n == 1;
}

void *kmalloc(size_t size, gfp_t) {
    return fail_now() ? nullptr : malloc(size ? size : 1);
}
void *kzalloc(size_t size, gfp_t) {
    return fail_now() ? nullptr : calloc(1, size ? size : 1);
}
void *kcalloc(size_t n, size_t size, gfp_t) {
    if ((size && n > SIZE_MAX / size) || fail_now())
        return nullptr;
    return calloc(n ? n : 1, size ? size : 1);
}
void kfree(const void *p) {
    free(const_cast<void *>(p));
}
void *vzalloc(size_t size) {
    return fail_now() ? nullptr : calloc(1, size ? size : 1);
}
void vfree(const void *p) {
    free(const_cast<void *>(p));
}

namespace {
constexpr unsigned CACHE_LINE = 64;
constexpr size_t BLOCK_BYTES = 64 * 1024;
} // namespace

struct kmem_cache {
    std::string name;
    unsigned size;   // as asked
    unsigned stride; // size rounded up to the alignment
    unsigned align;
    void (*ctor)(void *);
    std::mutex m;
    std::vector<void *> blocks;
    std::vector<void *> free_list;
    unsigned long in_use = 0;
};

struct kmem_cache *kmem_cache_create(const char *name, unsigned int size, unsigned int align,
                                     unsigned long flags, void (*ctor)(void *)) {
    if (!name || !size || (align & (align - 1)))
        return nullptr;
    unsigned a = align ? align : (unsigned)sizeof(void *);
    if (flags & SLAB_HWCACHE_ALIGN) {
        // As the kernel: a cache line, halved while two objects still fit in it.
        unsigned ra = CACHE_LINE;
        while (size <= ra / 2)
            ra /= 2;
        a = a > ra ? a : ra;
    }
    if (a < sizeof(void *))
        a = sizeof(void *);
    auto *s = new (std::nothrow) kmem_cache;
    if (!s)
        return nullptr;
    s->name = name;
    s->size = size;
    s->align = a;
    s->stride = (size + a - 1) / a * a;
    s->ctor = ctor;
    return s;
}

void kmem_cache_destroy(struct kmem_cache *s) {
    if (!s)
        return;
    {
        std::lock_guard<std::mutex> g(s->m);
        if (s->in_use) {
            printk(KERN_ERR "kmem_cache_destroy %s: Slab cache still has objects\n",
                   s->name.c_str());
            return;
        }
    }
    for (void *b : s->blocks) {
        RTE_UNPOISON(b, BLOCK_BYTES);
        free(b);
    }
    delete s;
}

// Carves a new block into free objects; called with the cache's mutex held.
static bool kmem_cache_grow(struct kmem_cache *s) {
    size_t bytes = BLOCK_BYTES;
    if (s->stride > bytes / 4)
        bytes = (size_t)s->stride * 4;
    void *b = aligned_alloc(s->align > CACHE_LINE ? s->align : CACHE_LINE,
                            (bytes + CACHE_LINE - 1) / CACHE_LINE * CACHE_LINE);
    if (!b)
        return false;
    s->blocks.push_back(b);
    size_t n = bytes / s->stride;
    // Handed out from the start of the block: the free list is a stack.
    for (size_t i = n; i-- > 0;) {
        void *obj = (char *)b + i * s->stride;
        if (s->ctor)
            s->ctor(obj);
        RTE_POISON(obj, s->stride);
        s->free_list.push_back(obj);
    }
    return true;
}

void *kmem_cache_alloc(struct kmem_cache *s, gfp_t) {
    if (!s)
        return nullptr;
    std::lock_guard<std::mutex> g(s->m);
    if (s->free_list.empty() && !kmem_cache_grow(s))
        return nullptr;
    void *obj = s->free_list.back();
    s->free_list.pop_back();
    s->in_use++;
    RTE_UNPOISON(obj, s->size);
    return obj;
}

void *kmem_cache_zalloc(struct kmem_cache *s, gfp_t flags) {
    void *obj = kmem_cache_alloc(s, flags);
    if (obj)
        memset(obj, 0, s->size);
    return obj;
}

void kmem_cache_free(struct kmem_cache *s, void *obj) {
    if (!s || !obj)
        return;
    std::lock_guard<std::mutex> g(s->m);
    RTE_POISON(obj, s->stride);
    s->free_list.push_back(obj);
    s->in_use--;
}

unsigned int kmem_cache_size(struct kmem_cache *s) {
    return s ? s->size : 0;
}

const char *kmem_cache_name(struct kmem_cache *s) {
    return s ? s->name.c_str() : nullptr;
}

unsigned long kmem_cache_objects_in_use(struct kmem_cache *s) {
    if (!s)
        return 0;
    std::lock_guard<std::mutex> g(s->m);
    return s->in_use;
}
