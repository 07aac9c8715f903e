// Text commands into one control file (JX_FUZZ_PATH): each input line is one
// write, then the file and the global file are read out.
#include "fuzz_node.h"

using namespace jxfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    node_up();
    const char *p = reinterpret_cast<const char *>(data), *end = p + size;
    for (int lines = 0; p < end && lines < 64; lines++) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', size_t(end - p)));
        const char *stop = nl ? nl : end;
        file_write(JX_FUZZ_PATH, p, size_t(stop - p));
        drain_wires();
        rte_clock_advance_ms(250);
        p = stop + 1;
    }
    file_read_all(JX_FUZZ_PATH);
    file_read_all(kConfig);
    node_down();
    return 0;
}
