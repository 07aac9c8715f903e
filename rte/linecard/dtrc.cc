#include "linecard/dtrc.h"

#include "kernel/module.h"

#include <mutex>

u32 dtrcFlags;

namespace {

struct dtrc_state {
    std::mutex m;
    u8 sram[DTRC_ENTRIES][DTRC_ENTRY_SIZE];
    u64 handed_out = 0;
};

dtrc_state &st() {
    static dtrc_state s;
    return s;
}

} // namespace

void *dtrcGetSRAMAddr(unsigned int size) {
    if (size > DTRC_ENTRY_SIZE)
        return nullptr;
    dtrc_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    u8 *slot = s.sram[s.handed_out % DTRC_ENTRIES];
    memset(slot, 0, DTRC_ENTRY_SIZE);
    s.handed_out++;
    return slot;
}

void linecard_dtrc_install() {
    rte_symbol_add("dtrc", "dtrcGetSRAMAddr", (void *)&dtrcGetSRAMAddr);
    rte_symbol_add("dtrc", "dtrcFlags", (void *)&dtrcFlags);
}

void linecard_dtrc_remove() {
    rte_symbol_remove("dtrcGetSRAMAddr");
    rte_symbol_remove("dtrcFlags");
}

void linecard_dtrc_set_flags(u32 flags) {
    __atomic_store_n(&dtrcFlags, flags, __ATOMIC_RELAXED);
}

std::vector<std::vector<u8>> linecard_dtrc_entries() {
    dtrc_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    std::vector<std::vector<u8>> out;
    u64 first = s.handed_out > DTRC_ENTRIES ? s.handed_out - DTRC_ENTRIES : 0;
    for (u64 i = first; i < s.handed_out; i++) {
        const u8 *slot = s.sram[i % DTRC_ENTRIES];
        out.emplace_back(slot, slot + DTRC_ENTRY_SIZE);
    }
    return out;
}

void linecard_dtrc_clear() {
    dtrc_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    s.handed_out = 0;
    __atomic_store_n(&dtrcFlags, 0, __ATOMIC_RELAXED);
}
