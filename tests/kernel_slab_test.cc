// Object caches: alignment, reuse and the refusal to destroy a cache in use.
#include "jxtest.h"

#include "kernel/slab.h"

#include <set>
#include <vector>

TEST(KernelSlab, CachesHandOutAlignedObjectsAndTakeThemBack) {
    struct kmem_cache *c = kmem_cache_create("probe48", 48, 0, SLAB_HWCACHE_ALIGN, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(kmem_cache_name(c), "probe48");
    EXPECT_EQ(kmem_cache_size(c), 48u);
    // Enough objects to need several blocks; each on its own cache line.
    std::vector<void *> objs;
    std::set<void *> distinct;
    for (int i = 0; i < 3000; i++) {
        auto *p = (u8 *)kmem_cache_zalloc(c, GFP_ATOMIC);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((uintptr_t)p % 64, 0u);
        for (int j = 0; j < 48; j++)
            ASSERT_EQ(p[j], 0);
        memset(p, 0xab, 48);
        objs.push_back(p);
        distinct.insert(p);
    }
    EXPECT_EQ(distinct.size(), objs.size());
    EXPECT_EQ(kmem_cache_objects_in_use(c), 3000u);
    kmem_cache_free(c, objs.back());
    void *again = kmem_cache_zalloc(c, GFP_ATOMIC);
    EXPECT_EQ(again, objs.back()); // freed objects are used again
    EXPECT_EQ(((u8 *)again)[0], 0);

    // A cache with objects out is kept, and says so.
    u64 from = rte_log_next_seq();
    kmem_cache_destroy(c);
    EXPECT_EQ(rte_log_count("kmem_cache_destroy probe48: Slab cache still has objects\n", from),
              1u);
    for (void *p : objs)
        kmem_cache_free(c, p);
    EXPECT_EQ(kmem_cache_objects_in_use(c), 0u);
    kmem_cache_destroy(c);

    // Small objects share a cache line; a bad alignment is refused.
    struct kmem_cache *s = kmem_cache_create("probe24", 24, 0, SLAB_HWCACHE_ALIGN, nullptr);
    ASSERT_NE(s, nullptr);
    void *x = kmem_cache_alloc(s, GFP_ATOMIC), *y = kmem_cache_alloc(s, GFP_ATOMIC);
    EXPECT_EQ((uintptr_t)x % 32, 0u);
    EXPECT_EQ((uintptr_t)y % 32, 0u);
    kmem_cache_free(s, x);
    kmem_cache_free(s, y);
    kmem_cache_destroy(s);
    EXPECT_EQ(kmem_cache_create("bad", 16, 3, 0, nullptr), nullptr);
    EXPECT_EQ(kmem_cache_create("empty", 0, 0, 0, nullptr), nullptr);
}
