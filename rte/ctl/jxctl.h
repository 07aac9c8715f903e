// The client side of jxnode: what tools use in place of open/read/write/ioctl/poll
// on the line card's control files, the netlink channel, and the node's log and
// devices.
//
// Every call returns a negative errno on failure. A call that must first reach the
// node returns -JXCTL_ENODE when nothing listens on the socket (see
// jxctl_node_down); everything else comes from the node's kernel.
//
// Buffers and ioctl records stay in the caller's memory: the node copies from and
// to them directly, so records with embedded pointers work as on the line card.
//
// Thread safety: calls on one handle are serialised (a blocking read holds off a
// write on the same handle); different handles are independent. A signal handler
// installed without SA_RESTART interrupts a blocking call with -EINTR and the
// handle stays usable, as with a kernel file.
#pragma once

#include "jxctl_proto.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <vector>

#define JXCTL_SOCKET_ENV "JXNODE_SOCKET"
#define JXCTL_DEFAULT_SOCKET "/run/jxnode/ctl.sock"
// The node is not running: no socket file, or nothing answers on it.
#define JXCTL_ENODE EHOSTDOWN

// $JXNODE_SOCKET when set and not empty, else JXCTL_DEFAULT_SOCKET.
const char *jxctl_socket_path();
inline bool jxctl_node_down(long err) {
    return err == -JXCTL_ENODE;
}

// Control files. flags: O_RDONLY, O_WRONLY or O_RDWR, optionally O_NONBLOCK.
int jxctl_open(const char *path, int flags);
ssize_t jxctl_read(int h, void *buf, size_t n);
ssize_t jxctl_write(int h, const void *buf, size_t n);
// arg is passed as is: the file's handler decides whether it is an address.
long jxctl_ioctl(int h, unsigned long cmd, unsigned long arg);
// The same with arg = rec, a record of size bytes: the node's copies to and
// from it stop at its end (-EFAULT in the handler), so a record shorter than
// the command's is refused instead of written past.
long jxctl_ioctl_record(int h, unsigned long cmd, void *rec, size_t size);
// Ready mask (POLLIN, POLLOUT, ...), 0 after timeout_ms (-1: no timeout).
int jxctl_poll(int h, unsigned events, int timeout_ms);
// O_NONBLOCK on or off for the open file (the other flags are fixed at open).
int jxctl_setfl(int h, int flags);
// The file's llseek (the node's files rewind to 0 only): the new position.
long jxctl_lseek(int h, long offset, int whence);
// Releases the file (or netlink endpoint): the release's result.
int jxctl_close(int h);

// Netlink: an endpoint of protocol with the given multicast groups, bound to a
// port id the node chooses (the caller's pid when free); close with jxctl_close.
int jxctl_nl_open(int protocol, unsigned groups, unsigned *portid_out);
ssize_t jxctl_nl_send(int h, const void *msg, size_t n);
// One message; a message longer than n is cut to n. -EAGAIN after timeout_ms.
ssize_t jxctl_nl_recv(int h, void *buf, size_t n, int timeout_ms);

// One request and its answer on a connection the caller made and keeps itself
// (the preload library): req.magic is filled in; the caller makes sure no other
// call runs on the connection meanwhile.
long jxctl_call(int fd, jxctl_req *req, jxctl_resp *resp);

// The kernel log ring as text. Returns the text's length; it is copied (with
// a NUL when there is room) only when it fits, so a caller retries larger.
ssize_t jxctl_dmesg(char *buf, size_t n);
int jxctl_dmesg_text(std::string *out);

// The node's devices in ifindex order. Returns the number of devices; records
// are copied only when all fit in max.
ssize_t jxctl_link_list(jxctl_link *links, size_t max);
int jxctl_links(std::vector<jxctl_link> *out);
int jxctl_link_set(const char *dev, bool up);
