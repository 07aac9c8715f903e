// The line card's physical address space, as far as the node simulates it:
// the on-chip SRAM that the trace facility lives in, and a register window.
#include "linecard/linecard.h"

#include "kernel/io.h"

void linecard_memory_init() {
    rte_phys_regions_clear();
    rte_phys_region_add(LINECARD_CCSR_BASE, LINECARD_CCSR_SIZE);
    rte_phys_region_add(LINECARD_SRAM_BASE, LINECARD_SRAM_SIZE);
    rte_phys_region_add(LINECARD_DRAM_BASE, LINECARD_DRAM_SIZE);
}

void linecard_memory_fini() {
    rte_phys_regions_clear();
}
