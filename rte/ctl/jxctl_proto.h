// The wire between rte/ctl clients and jxnode: one SOCK_SEQPACKET connection per
// open control file or netlink endpoint, one request and one response per call.
//
// Data never travels in these messages: a request names a buffer in the client's
// memory (address and size) and the node's kernel copies from and to it with the
// user copies, as the line card's kernel would. The node learns whose memory that
// is from the credentials the host attaches to every message (SO_PASSCRED), so a
// handle inherited across fork() still copies into the process that made the call.
//
// While a call is in progress the client sends nothing but JXCTL_OP_ABORT (a
// signal handler ran in the client): the node sees it as a pending signal, the
// call ends with -EINTR, and the abort message itself is never answered.
//
// Shared by the client library and the node; plain integers only, no kernel headers.
#pragma once

#include <cstddef>
#include <cstdint>

// Changes with every layout or meaning change of the messages below.
#define JXCTL_MAGIC 0x6a786304u

enum jxctl_op : uint32_t {
    JXCTL_OP_OPEN = 1,  // path, flags -> 0; the connection now is that open file
    JXCTL_OP_READ,      // addr, size -> bytes read
    JXCTL_OP_WRITE,     // addr, size -> bytes written
    JXCTL_OP_IOCTL,     // cmd, arg [, addr, size: the record at arg] -> the handler's result
    JXCTL_OP_POLL,      // flags (events), timeout_ms -> ready mask, 0 on timeout (a netlink
                        // endpoint: POLLIN while a message waits)
    JXCTL_OP_CLOSE,     // -> the release's result; the connection then ends
    JXCTL_OP_DMESG,     // addr, size -> length of the log text (copied only if it fits)
    JXCTL_OP_LINK_LIST, // addr, size -> bytes of jxctl_link records (copied only if they fit)
    JXCTL_OP_LINK_SET,  // path (device name), flags (JXCTL_LINK_UP or 0) -> 0
    JXCTL_OP_NL_BIND,   // cmd (protocol), groups -> 0, val = port id; now a netlink endpoint
    JXCTL_OP_NL_SEND,   // addr, size -> bytes sent
    JXCTL_OP_NL_RECV,   // addr, size, timeout_ms -> bytes received (a longer message is cut)
    JXCTL_OP_ABORT,     // never answered; interrupts the call in progress
    JXCTL_OP_SETFL,     // flags (O_NONBLOCK or 0) -> 0; the open file's status flags
    JXCTL_OP_LSEEK,     // arg (offset), flags (whence) -> the new position
};

// Open flags and poll events, with the values of the host and the kernel layer.
#define JXCTL_O_RDONLY 00
#define JXCTL_O_WRONLY 01
#define JXCTL_O_RDWR 02
#define JXCTL_O_ACCMODE 03
#define JXCTL_O_NONBLOCK 04000
#define JXCTL_POLLIN 0x001
#define JXCTL_POLLPRI 0x002
#define JXCTL_POLLOUT 0x004
#define JXCTL_POLLERR 0x008
#define JXCTL_POLLHUP 0x010
#define JXCTL_POLLRDNORM 0x040
#define JXCTL_POLLWRNORM 0x100

#define JXCTL_LINK_UP 1u

// Longest path or device name carried, including its NUL.
#define JXCTL_PATH_MAX 256
// Largest single read or write, as the kernel's MAX_RW_COUNT.
#define JXCTL_RW_MAX 0x7ffff000ull
// Largest netlink message accepted from a client.
#define JXCTL_NL_MSG_MAX 65536u

struct jxctl_req {
    uint32_t magic;
    uint32_t op;               // jxctl_op
    uint32_t flags;            // open flags, poll events, link state
    int32_t timeout_ms;        // poll and netlink receive; -1 waits forever
    uint64_t addr;             // the buffer in the caller's memory
    uint64_t size;             // its size in bytes
    uint64_t arg;              // ioctl argument: an address or a plain value, as the caller meant
    uint32_t cmd;              // ioctl number; netlink protocol
    uint32_t groups;           // netlink multicast groups
    char path[JXCTL_PATH_MAX]; // NUL-terminated
};
static_assert(sizeof(jxctl_req) == 304);
static_assert(offsetof(jxctl_req, addr) == 16);
static_assert(offsetof(jxctl_req, path) == 48);

struct jxctl_resp {
    int64_t rc;   // result or negative errno
    uint64_t val; // the netlink port id
};
static_assert(sizeof(jxctl_resp) == 16);

// One device in the node's link list.
struct jxctl_link {
    int32_t ifindex;
    uint32_t flags; // IFF_* of the device
    char name[16];  // NUL-terminated
    uint8_t up;
    uint8_t carrier;
    uint8_t pad[6];
    uint64_t rx_packets; // the device's statistics
    uint64_t tx_packets;
    uint64_t rx_dropped;
    uint64_t tx_dropped;
};
static_assert(sizeof(jxctl_link) == 64);
static_assert(offsetof(jxctl_link, rx_packets) == 32);
static_assert(offsetof(jxctl_link, name) == 8);
