#include "kernel/io.h"

#include <cstdlib>
#include <map>
#include <mutex>

namespace {

struct region {
    size_t size;
    u8 *mem; // zeroed on first mapping
};

std::mutex g_mu;
std::map<phys_addr_t, region> &regions() {
    static std::map<phys_addr_t, region> r;
    return r;
}

} // namespace

int rte_phys_region_add(phys_addr_t base, size_t size) {
    if (!size || base + size < base)
        return -EINVAL;
    std::lock_guard<std::mutex> g(g_mu);
    for (auto &[b, r] : regions())
        if (base < b + r.size && b < base + size)
            return -EEXIST;
    regions()[base] = region{size, nullptr};
    return 0;
}

void rte_phys_regions_clear() {
    std::lock_guard<std::mutex> g(g_mu);
    for (auto &[b, r] : regions())
        free(r.mem);
    regions().clear();
}

void __iomem *ioremap(phys_addr_t addr, size_t size) {
    if (!size || addr + size < addr)
        return nullptr;
    std::lock_guard<std::mutex> g(g_mu);
    auto it = regions().upper_bound(addr);
    if (it == regions().begin())
        return nullptr;
    --it;
    region &r = it->second;
    if (addr + size > it->first + r.size)
        return nullptr;
    if (!r.mem) {
        r.mem = (u8 *)calloc(1, r.size);
        if (!r.mem)
            return nullptr;
    }
    return r.mem + (addr - it->first);
}

void iounmap(volatile void __iomem *) {}
