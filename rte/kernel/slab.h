// Kernel allocation: zeroing is explicit as in the kernel.
#pragma once

#include "kernel/types.h"

void *kmalloc(size_t size, gfp_t flags);
void *kzalloc(size_t size, gfp_t flags);
void *kcalloc(size_t n, size_t size, gfp_t flags);
void kfree(const void *p);
void *vzalloc(size_t size);
void vfree(const void *p);
// Fault injection, as the kernel's failslab: the n-th kmalloc, kzalloc, kcalloc
// or vzalloc from now on fails (1 is the next one); 0 switches it off.
void rte_slab_fail_nth(long n);

// Object caches: fixed-size objects carved from larger blocks, so that hot
// paths allocate without going to the heap each time. Thread-safe.
#define SLAB_HWCACHE_ALIGN 0x00002000ul
struct kmem_cache;
struct kmem_cache *kmem_cache_create(const char *name, unsigned int size, unsigned int align,
                                     unsigned long flags, void (*ctor)(void *));
// Refuses (and logs) while objects are still allocated, as the kernel does.
void kmem_cache_destroy(struct kmem_cache *s);
void *kmem_cache_alloc(struct kmem_cache *s, gfp_t flags);
void *kmem_cache_zalloc(struct kmem_cache *s, gfp_t flags);
void kmem_cache_free(struct kmem_cache *s, void *obj);
unsigned int kmem_cache_size(struct kmem_cache *s); // the object size asked for
const char *kmem_cache_name(struct kmem_cache *s);
unsigned long kmem_cache_objects_in_use(struct kmem_cache *s);
