// Stand-ins for the line card's outside components.
#pragma once

#include "kernel/types.h"

// Physical memory windows (see memory.cc).
#define LINECARD_CCSR_BASE 0x01000000ull
#define LINECARD_CCSR_SIZE 0x01000000ull
#define LINECARD_SRAM_BASE 0x18000000ull
#define LINECARD_SRAM_SIZE 0x00100000ull
#define LINECARD_DRAM_BASE 0x80000000ull
#define LINECARD_DRAM_SIZE 0x04000000ull

void linecard_memory_init();
// Releases the simulated memory; mappings into it must be gone.
void linecard_memory_fini();
