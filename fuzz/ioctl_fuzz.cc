// Ioctls on one control file (JX_FUZZ_PATH). An input is a list of calls:
//   u32 command, u8 how, u16 record length, the record
// how bit 0 passes the record's first eight bytes as the argument itself.
// The record lies at the end of the user region, against its guard page. An
// aligned word of it whose top 16 bits are 0xFFFE is a pointer: its low 32
// bits, signed, are an offset from the record's start, clamped to the region
// and the guard page, so embedded pointers reach into the record and past it.
#include "fuzz_node.h"

using namespace jxfuzz;

namespace {

constexpr size_t kRegion = 64 * 1024;
static_assert(kRegion > 0xFFFF);

template <typename T> bool take(const uint8_t *&p, const uint8_t *end, T *out) {
    if (size_t(end - p) < sizeof(T))
        return false;
    memcpy(out, p, sizeof(T));
    p += sizeof(T);
    return true;
}

void fix_pointers(u8 *rec, size_t len, uintptr_t base, size_t off) {
    const long long lo = -(long long)off, hi = (long long)(kRegion - off) + 4096 - 1;
    for (size_t i = 0; i + 8 <= len; i += 8) {
        u64 w;
        memcpy(&w, rec + i, 8);
        if ((w >> 48) != 0xFFFE)
            continue;
        long long d = (int32_t)(u32)w;
        d = d < lo ? lo : d > hi ? hi : d;
        w = u64(base + d);
        memcpy(rec + i, &w, 8);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    user_space_init(kRegion);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    node_up();
    const uint8_t *p = data, *end = data + size;
    u8 *region = user().region;
    for (int calls = 0; calls < 16; calls++) {
        u32 cmd;
        u8 how;
        u16 len;
        if (!take(p, end, &cmd) || !take(p, end, &how) || !take(p, end, &len))
            break;
        // At most the region: a u16 length never exceeds it.
        len = u16(len < size_t(end - p) ? len : size_t(end - p));
        const size_t off = kRegion - len;
        u8 *rec = region + off;
        memcpy(rec, p, len);
        p += len;
        const uintptr_t base = uintptr_t(rec);
        fix_pointers(rec, len, base, off);
        unsigned long arg = base;
        if (how & 1) {
            u64 v = 0;
            memcpy(&v, rec, len < 8 ? len : 8);
            arg = (unsigned long)v;
        }
        file_ioctl(JX_FUZZ_PATH, cmd, arg, (how & 1) ? 0 : len);
        drain_wires();
        rte_clock_advance_ms(250);
    }
    file_read_all(JX_FUZZ_PATH);
    file_read_all(kConfig);
    node_down();
    return 0;
}
