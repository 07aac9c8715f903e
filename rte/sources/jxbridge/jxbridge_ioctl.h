// Records exchanged with the tools through ioctl on the module's control files.
// Plain layouts: the tools and agents build them byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

#define JXBRIDGE_IOCTL_W(nr) (0x40040000u | (0x7au << 8) | (nr))
#define JXBRIDGE_IOCTL_R(nr) (0x80040000u | (0x7au << 8) | (nr))

// /proc/net/jxbridge/config
#define JXBRIDGE_IOCTL_ADD JXBRIDGE_IOCTL_W(0x00)
#define JXBRIDGE_IOCTL_DEL JXBRIDGE_IOCTL_W(0x01)
#define JXBRIDGE_IOCTL_API_VERSION JXBRIDGE_IOCTL_R(0x05)
#define JXBRIDGE_IOCTL_CLEANUP JXBRIDGE_IOCTL_W(0x12)
#define JXBRIDGE_IOCTL_MAP_ADD JXBRIDGE_IOCTL_W(0x13)
#define JXBRIDGE_IOCTL_MAP_DEL JXBRIDGE_IOCTL_W(0x14)
#define JXBRIDGE_IOCTL_MAP_READ JXBRIDGE_IOCTL_W(0x15)
#define JXBRIDGE_IOCTL_MAP_WRITE JXBRIDGE_IOCTL_W(0x16)

struct jxbridge_ioctl_add {
    char name[20];
    uint32_t max_ports;
    uint8_t reserved[16];
};
static_assert(sizeof(jxbridge_ioctl_add) == 40);
static_assert(offsetof(jxbridge_ioctl_add, max_ports) == 20);

struct jxbridge_ioctl_del {
    char name[16];
};
static_assert(sizeof(jxbridge_ioctl_del) == 16);

// Map commands: the physical address, then the length or offset, then the byte.
struct jxbridge_ioctl_map {
    uint64_t addr;
    uint32_t len_or_offs;
    uint8_t value;
    uint8_t reserved[3];
};
static_assert(sizeof(jxbridge_ioctl_map) == 16);
static_assert(offsetof(jxbridge_ioctl_map, len_or_offs) == 8);
static_assert(offsetof(jxbridge_ioctl_map, value) == 12);
