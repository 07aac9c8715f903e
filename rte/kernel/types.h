// Basic kernel types and helpers shared by every module source.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;
using u64 = uint64_t;
using s8 = int8_t;
using s16 = int16_t;
using s32 = int32_t;
using s64 = int64_t;
using __be16 = uint16_t;
using __be32 = uint32_t;
using gfp_t = unsigned;
using phys_addr_t = uint64_t;

#define __user
#define __iomem
#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)
#define container_of(ptr, type, member)                                                            \
    reinterpret_cast<type *>(reinterpret_cast<char *>(ptr) - offsetof(type, member))
#define ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))

#define GFP_KERNEL 0u
#define GFP_ATOMIC 1u

// Kernel-internal error numbers that user space never sees under these names.
#define ERESTARTSYS 512
#define ENOTSUPP 524
#define EBADTYPE 527
// The module's "missing word" answer: the kernel's ENOTSUPP + 1.
#define ENOARG 525

#define MAX_ERRNO 4095
inline bool IS_ERR_VALUE(unsigned long x) {
    return x >= (unsigned long)-MAX_ERRNO;
}
template <typename T> inline T *ERR_PTR(long error) {
    return reinterpret_cast<T *>(error);
}
inline void *ERR_PTR(long error) {
    return reinterpret_cast<void *>(error);
}
inline long PTR_ERR(const void *ptr) {
    return reinterpret_cast<long>(ptr);
}
inline bool IS_ERR(const void *ptr) {
    return IS_ERR_VALUE(reinterpret_cast<unsigned long>(ptr));
}
inline bool IS_ERR_OR_NULL(const void *ptr) {
    return !ptr || IS_ERR(ptr);
}

#define IFNAMSIZ 16
#define TASK_COMM_LEN 16
#define ETH_ALEN 6
#define ETH_HLEN 14
#define ETH_ZLEN 60
#define ETH_DATA_LEN 1500
#define ETH_FRAME_LEN 1514
#define VLAN_HLEN 4
#define VLAN_ETH_HLEN 18

#define ETH_P_ALL 0x0003
#define ETH_P_IP 0x0800
#define ETH_P_ARP 0x0806
#define ETH_P_8021Q 0x8100
#define ETH_P_8021AD 0x88A8
#define ETH_P_IPV6 0x86DD
#define ETH_P_PPP_DISC 0x8863
#define ETH_P_PPP_SES 0x8864
#define ETH_P_SLOW 0x8809

inline u16 htons(u16 v) {
    return __builtin_bswap16(v);
}
inline u16 ntohs(u16 v) {
    return __builtin_bswap16(v);
}
inline u32 htonl(u32 v) {
    return __builtin_bswap32(v);
}
inline u32 ntohl(u32 v) {
    return __builtin_bswap32(v);
}
#define cpu_to_be16(v) htons(v)
#define be16_to_cpu(v) ntohs(v)
#define cpu_to_be32(v) htonl(v)
#define be32_to_cpu(v) ntohl(v)

inline bool is_multicast_ether_addr(const u8 *a) {
    return a[0] & 1;
}
inline bool is_broadcast_ether_addr(const u8 *a) {
    return (a[0] & a[1] & a[2] & a[3] & a[4] & a[5]) == 0xff;
}
inline bool is_zero_ether_addr(const u8 *a) {
    return (a[0] | a[1] | a[2] | a[3] | a[4] | a[5]) == 0;
}
inline bool is_valid_ether_addr(const u8 *a) {
    return !is_multicast_ether_addr(a) && !is_zero_ether_addr(a);
}
inline bool ether_addr_equal(const u8 *a, const u8 *b) {
    return memcmp(a, b, ETH_ALEN) == 0;
}
inline void ether_addr_copy(u8 *dst, const u8 *src) {
    memcpy(dst, src, ETH_ALEN);
}

struct ethhdr {
    u8 h_dest[ETH_ALEN];
    u8 h_source[ETH_ALEN];
    __be16 h_proto;
} __attribute__((packed));
static_assert(sizeof(ethhdr) == ETH_HLEN);

// Bounded copy that always terminates dst (size > 0); returns the source length.
size_t strlcpy(char *dst, const char *src, size_t size);
