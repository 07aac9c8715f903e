// Kernel allocation: zeroing is explicit as in the kernel.
#pragma once

#include "kernel/types.h"

void *kmalloc(size_t size, gfp_t flags);
void *kzalloc(size_t size, gfp_t flags);
void *kcalloc(size_t n, size_t size, gfp_t flags);
void kfree(const void *p);
void *vzalloc(size_t size);
void vfree(const void *p);
