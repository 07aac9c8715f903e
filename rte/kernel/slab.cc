#include "kernel/slab.h"

#include <cstdlib>

void *kmalloc(size_t size, gfp_t) {
    return malloc(size ? size : 1);
}
void *kzalloc(size_t size, gfp_t) {
    return calloc(1, size ? size : 1);
}
void *kcalloc(size_t n, size_t size, gfp_t) {
    if (size && n > SIZE_MAX / size)
        return nullptr;
    return calloc(n ? n : 1, size ? size : 1);
}
void kfree(const void *p) {
    free(const_cast<void *>(p));
}
void *vzalloc(size_t size) {
    return calloc(1, size ? size : 1);
}
void vfree(const void *p) {
    free(const_cast<void *>(p));
}
