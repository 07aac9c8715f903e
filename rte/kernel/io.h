// Physical memory of the line card, mapped with ioremap.
//
// The line card's physical address space is simulated: regions are declared by
// the line card stand-ins (or tests) and backed by zeroed host memory.
#pragma once

#include "kernel/types.h"

void __iomem *ioremap(phys_addr_t addr, size_t size);
void iounmap(volatile void __iomem *addr);
inline u8 ioread8(const volatile void __iomem *p) {
    return *(const volatile u8 *)p;
}
inline void iowrite8(u8 v, volatile void __iomem *p) {
    *(volatile u8 *)p = v;
}

int rte_phys_region_add(phys_addr_t base, size_t size);
void rte_phys_regions_clear();
