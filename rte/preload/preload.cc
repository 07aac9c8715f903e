// libjxpreload.so: with LD_PRELOAD, programs that know nothing of jxnode reach
// its control files (/proc/net/jxbridge, /proc/net/jxigmp, /proc/net/mng) and
// its netlink protocols through the ordinary libc calls.
//
// A node file's descriptor is the socket of its own connection to the node
// (rte/ctl/jxctl_proto.h), so dup, fork and exec carry it as the host carries
// any descriptor, and the node releases the file when the last copy closes.
// Before connecting, the socket is bound to an abstract name that says what it
// is ("\0jxpl:f<accmode>:..." for a file, "\0jxpl:n<protocol>:..." for a
// netlink endpoint): a descriptor this library has not seen (a dup, or one
// inherited across exec) is recognised by fstat and getsockname, once, and the
// answer is cached per descriptor until close, dup2 or dup3 replace it. The
// program's own connections to the node (jxproc, libjxctl) carry no such name
// and pass through untouched.
//
// What goes to the node: opens of paths under those directories (a path the
// node does not serve, and every open while no node runs, is the host's open,
// errno included), and on their descriptors read/write and their p and v forms,
// ioctl, lseek, fstat, fcntl (O_NONBLOCK, F_GETFL), poll/ppoll/select, and
// fopen/fdopen through fopencookie. socket(AF_NETLINK, ...) of a protocol the
// host refuses becomes an endpoint in the node with bind, send*, recv* and poll.
//
// Polling node files together with host descriptors: each round asks the node
// files without waiting, then waits on the host descriptors (or on the first
// node file) for at most POLL_SLICE_MS, so readiness of a node file in a mixed
// set is seen up to that late. A set of node files alone waits in the node.
//
// Thread safety: calls on one connection (all its dups in the process) are
// serialised by its lock, so replies never cross. A descriptor shared with a
// forked process is, as with jxctl, used by one process at a time.
#include "ctl/jxctl.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <stdio_ext.h>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#define EXPORT extern "C" __attribute__((visibility("default")))

// The next definition of a libc function, looked up once.
#define NEXT(fn)                                                                                   \
    ([]() {                                                                                        \
        static auto p = reinterpret_cast<decltype(&::fn)>(dlsym(RTLD_NEXT, #fn));                  \
        return p;                                                                                  \
    }())

namespace {

constexpr const char *NODE_DIRS[] = {"/proc/net/jxbridge", "/proc/net/jxigmp", "/proc/net/mng"};
constexpr char MARK[] = "jxpl:";
constexpr int POLL_SLICE_MS = 10;
constexpr int FAST_MAX = 1 << 16;

enum fd_kind : uint8_t { K_UNKNOWN = 0, K_PLAIN, K_FILE, K_NETLINK };

// One connection, shared by its dups in this process.
struct conn {
    std::mutex mu;
    bool nl_bound = false;
    unsigned nl_portid = 0;
    unsigned nl_groups = 0;
};

struct node_fd {
    fd_kind kind = K_UNKNOWN;
    int accmode = 0;  // a file's open mode
    int protocol = 0; // a netlink endpoint's
    dev_t dev = 0;
    ino_t ino = 0;
    std::shared_ptr<conn> c;
};

struct table {
    std::unordered_map<int, node_fd> fds;
    std::map<std::pair<dev_t, ino_t>, std::weak_ptr<conn>> conns;
};

std::mutex g_mu;
table *g_tab;
// The kind of each low descriptor, read without the lock on every call.
std::atomic<uint8_t> g_fast[FAST_MAX];
std::atomic<unsigned> g_seq;
// Set while this library itself calls libc (jxctl's send, recv, ppoll).
__thread int t_inside __attribute__((tls_model("initial-exec")));

struct inside {
    inside() { t_inside++; }
    ~inside() { t_inside--; }
};

table &tab() {
    if (!g_tab)
        g_tab = new table;
    return *g_tab;
}

void set_fast(int fd, fd_kind k) {
    if (fd >= 0 && fd < FAST_MAX)
        g_fast[fd].store(k, std::memory_order_relaxed);
}

// The descriptor is about to mean something new (closed, replaced, created).
void forget(int fd) {
    if (fd < 0)
        return;
    set_fast(fd, K_UNKNOWN);
    std::lock_guard<std::mutex> g(g_mu);
    tab().fds.erase(fd);
}

// A forked child starts with no lock held and no connection known: it learns
// its inherited descriptors again on first use.
void atfork_prepare() {
    g_mu.lock();
}
void atfork_parent() {
    g_mu.unlock();
}
void atfork_child() {
    if (g_tab) {
        for (auto &kv : g_tab->fds)
            set_fast(kv.first, K_UNKNOWN);
        g_tab = nullptr; // left behind: a lock in it may be held by a thread that is gone
    }
    g_mu.unlock();
}

__attribute__((constructor)) void preload_init() {
    pthread_atfork(atfork_prepare, atfork_parent, atfork_child);
}

bool parse_mark(const sockaddr_un &sa, socklen_t len, node_fd *e) {
    size_t off = offsetof(sockaddr_un, sun_path);
    if (len < off + 1 + sizeof(MARK) || sa.sun_path[0] != '\0' ||
        memcmp(sa.sun_path + 1, MARK, sizeof(MARK) - 1))
        return false;
    const char *p = sa.sun_path + sizeof(MARK);
    char kind = *p++;
    int n = 0;
    while (*p >= '0' && *p <= '9' && n < 1000)
        n = n * 10 + (*p++ - '0');
    if (kind == 'f' && n <= O_RDWR) {
        e->kind = K_FILE;
        e->accmode = n;
    } else if (kind == 'n' && n < 32) {
        e->kind = K_NETLINK;
        e->protocol = n;
    } else {
        return false;
    }
    return true;
}

// Whether fd is one of ours, and what it is.
bool lookup(int fd, node_fd *out) {
    if (t_inside || fd < 0)
        return false;
    uint8_t k = fd < FAST_MAX ? g_fast[fd].load(std::memory_order_relaxed) : (uint8_t)K_UNKNOWN;
    if (k == K_PLAIN)
        return false;
    struct stat st;
    if (NEXT(fstat)(fd, &st) < 0)
        return false;
    if (!S_ISSOCK(st.st_mode)) {
        set_fast(fd, K_PLAIN);
        return false;
    }
    {
        std::lock_guard<std::mutex> g(g_mu);
        auto it = tab().fds.find(fd);
        // Checked every time: the descriptor may have been closed and reused
        // behind our back (close_range, a raw system call).
        if (it != tab().fds.end() && it->second.dev == st.st_dev && it->second.ino == st.st_ino) {
            *out = it->second;
            return true;
        }
    }
    sockaddr_un sa{};
    socklen_t len = sizeof(sa);
    node_fd e;
    if (NEXT(getsockname)(fd, (sockaddr *)&sa, &len) < 0 || !parse_mark(sa, len, &e)) {
        set_fast(fd, K_PLAIN);
        return false;
    }
    e.dev = st.st_dev;
    e.ino = st.st_ino;
    std::lock_guard<std::mutex> g(g_mu);
    auto &weak = tab().conns[{e.dev, e.ino}];
    e.c = weak.lock();
    if (!e.c) {
        e.c = std::make_shared<conn>();
        weak = e.c;
    }
    tab().fds[fd] = e;
    set_fast(fd, e.kind);
    *out = e;
    return true;
}

bool is_node_file(int fd, node_fd *e) {
    return lookup(fd, e) && e->kind == K_FILE;
}

long call_locked(int fd, jxctl_req &req, jxctl_resp *resp = nullptr) {
    // An answer nobody waits for (the node's refusal of bytes that stdio wrote
    // to the socket itself) is dropped, so that answers keep pairing with calls.
    jxctl_resp stray;
    while (NEXT(recv)(fd, &stray, sizeof(stray), MSG_DONTWAIT) > 0) {
    }
    inside in;
    return jxctl_call(fd, &req, resp);
}

long call(const node_fd &e, int fd, jxctl_req &req, jxctl_resp *resp = nullptr) {
    std::lock_guard<std::mutex> g(e.c->mu);
    return call_locked(fd, req, resp);
}

long ret(long rc) {
    if (rc < 0) {
        errno = (int)-rc;
        return -1;
    }
    return rc;
}

// The node's spelling of path, when it lies under one of its directories.
bool node_path(int dirfd, const char *path, char *out) {
    if (!path || t_inside)
        return false;
    std::string full;
    if (path[0] == '/') {
        full = path;
    } else {
        // Relative names are rare here; only one that may reach /proc costs a getcwd.
        if (dirfd != AT_FDCWD || (!strstr(path, "jx") && !strstr(path, "mng")))
            return false;
        char cwd[JXCTL_PATH_MAX];
        if (!getcwd(cwd, sizeof(cwd)) || strncmp(cwd, "/proc", 5))
            return false;
        full = std::string(cwd) + "/" + path;
    }
    // Doubled slashes and "." components, as the host would read them.
    std::string norm;
    for (size_t i = 0; i < full.size();) {
        size_t j = full.find('/', i);
        if (j == std::string::npos)
            j = full.size();
        std::string part = full.substr(i, j - i);
        if (!part.empty() && part != ".")
            norm += "/" + part;
        i = j + 1;
    }
    for (const char *dir : NODE_DIRS) {
        size_t n = strlen(dir);
        if (norm.compare(0, n, dir) == 0 && (norm.size() == n || norm[n] == '/')) {
            if (norm.size() >= JXCTL_PATH_MAX)
                return false;
            memcpy(out, norm.c_str(), norm.size() + 1);
            return true;
        }
    }
    return false;
}

constexpr int NODE_DOWN = -100000; // nothing listens: the host answers instead

// A connection to the node, named for what it will carry.
int connect_node(char kind, int num) {
    const char *path = jxctl_socket_path();
    sockaddr_un peer{};
    peer.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof(peer.sun_path))
        return NODE_DOWN;
    strcpy(peer.sun_path, path);
    int fd = NEXT(socket)(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    for (int tries = 0;; tries++) {
        sockaddr_un me{};
        me.sun_family = AF_UNIX;
        int n = snprintf(me.sun_path + 1, sizeof(me.sun_path) - 1, "%s%c%d:%d:%u", MARK, kind, num,
                         (int)getpid(), g_seq.fetch_add(1));
        if (NEXT(bind)(fd, (sockaddr *)&me, (socklen_t)(offsetof(sockaddr_un, sun_path) + 1 + n)) ==
            0)
            break;
        if (errno != EADDRINUSE || tries == 16) {
            int err = errno;
            NEXT(close)(fd);
            return -err;
        }
    }
    int rc;
    do {
        rc = NEXT(connect)(fd, (const sockaddr *)&peer, sizeof(peer));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        int err = errno;
        NEXT(close)(fd);
        return err == ENOENT || err == ECONNREFUSED || err == ENOTDIR ? NODE_DOWN : -err;
    }
    forget(fd);
    return fd;
}

// The descriptor takes the flags the program asked for.
void set_fd_flags(int fd, int flags) {
    if (!(flags & O_CLOEXEC))
        NEXT(fcntl)(fd, F_SETFD, 0);
    if (flags & O_NONBLOCK)
        NEXT(fcntl)(fd, F_SETFL, O_NONBLOCK);
}

// Opens a node file: the descriptor, a negative errno, or NODE_DOWN when the
// host's open should answer (no node, or a path the node does not serve).
int open_node(const char *path, int flags) {
    int acc = flags & O_ACCMODE;
    if (acc == O_ACCMODE)
        return -EINVAL;
    int fd = connect_node('f', acc);
    if (fd < 0)
        return fd;
    jxctl_req req{};
    req.op = JXCTL_OP_OPEN;
    req.flags = (unsigned)(flags & (O_ACCMODE | O_NONBLOCK));
    strcpy(req.path, path);
    long rc = call_locked(fd, req);
    if (rc < 0) {
        NEXT(close)(fd);
        return rc == -ENOENT ? NODE_DOWN : (int)rc;
    }
    set_fd_flags(fd, flags);
    return fd;
}

template <class F> int open_common(int dirfd, const char *path, int flags, mode_t mode, F host) {
    char np[JXCTL_PATH_MAX];
    if (node_path(dirfd, path, np)) {
        int saved = errno;
        int fd = open_node(np, flags);
        if (fd >= 0 && (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
            NEXT(close)(fd); // the file exists
            fd = -EEXIST;
        }
        if (fd >= 0)
            return fd;
        if (fd != NODE_DOWN)
            return (int)ret(fd);
        errno = saved;
    }
    int fd = host(dirfd, path, flags, mode);
    if (fd >= 0)
        forget(fd);
    return fd;
}

int host_openat(int dirfd, const char *path, int flags, mode_t mode) {
    return NEXT(openat)(dirfd, path, flags, mode);
}

jxctl_req rw_req(jxctl_op op, const void *buf, size_t n) {
    jxctl_req req{};
    req.op = op;
    req.addr = (uintptr_t)buf;
    req.size = n;
    return req;
}

long node_rw(const node_fd &e, int fd, jxctl_op op, const void *buf, size_t n) {
    jxctl_req req = rw_req(op, buf, n);
    return call(e, fd, req);
}

jxctl_req lseek_req(long off, int whence) {
    jxctl_req req{};
    req.op = JXCTL_OP_LSEEK;
    req.arg = (uint64_t)off;
    req.flags = (unsigned)whence;
    return req;
}

// The node's files rewind only: a read at an offset rewinds and skips to it,
// under the connection's lock. The file position is left after the bytes read.
long node_pread(const node_fd &e, int fd, void *buf, size_t n, off_t off) {
    if (off < 0)
        return -EINVAL;
    std::lock_guard<std::mutex> g(e.c->mu);
    jxctl_req req = lseek_req(0, SEEK_SET);
    long rc = call_locked(fd, req);
    if (rc < 0)
        return rc;
    char skip[4096];
    while (off > 0) {
        req = rw_req(JXCTL_OP_READ, skip, std::min((size_t)off, sizeof(skip)));
        rc = call_locked(fd, req);
        if (rc <= 0)
            return rc;
        off -= rc;
    }
    req = rw_req(JXCTL_OP_READ, buf, n);
    return call_locked(fd, req);
}

// As the host does for files without iterators: one call per buffer, stopping
// at the first short one.
long node_rwv(const node_fd &e, int fd, jxctl_op op, const iovec *iov, int cnt) {
    if (cnt < 0 || cnt > IOV_MAX)
        return -EINVAL;
    long total = 0;
    for (int i = 0; i < cnt; i++) {
        long rc = node_rw(e, fd, op, iov[i].iov_base, iov[i].iov_len);
        if (rc < 0)
            return total ? total : rc;
        total += rc;
        if ((size_t)rc < iov[i].iov_len)
            break;
    }
    return total;
}

long node_poll_one(const node_fd &e, int fd, short events, int timeout_ms) {
    jxctl_req req{};
    req.op = JXCTL_OP_POLL;
    req.flags = (unsigned short)events;
    req.timeout_ms = timeout_ms;
    return call(e, fd, req);
}

// ---- netlink endpoints ----

int nl_nonblocking(int fd, int flags) {
    return (flags & MSG_DONTWAIT) || (NEXT(fcntl)(fd, F_GETFL) & O_NONBLOCK);
}

long nl_bind_locked(const node_fd &e, int fd, unsigned groups) {
    jxctl_req req{};
    req.op = JXCTL_OP_NL_BIND;
    req.cmd = (uint32_t)e.protocol;
    req.groups = groups;
    jxctl_resp resp{};
    long rc = call_locked(fd, req, &resp);
    if (rc == -EBUSY && !e.c->nl_bound) // bound before an exec: keep it
        rc = 0;
    if (rc == 0) {
        if (!e.c->nl_bound)
            e.c->nl_portid = (unsigned)resp.val;
        e.c->nl_bound = true;
        e.c->nl_groups = groups;
    }
    return rc;
}

long nl_send(const node_fd &e, int fd, const iovec *iov, size_t cnt) {
    std::vector<char> msg;
    for (size_t i = 0; i < cnt; i++) {
        if (msg.size() + iov[i].iov_len > JXCTL_NL_MSG_MAX)
            return -EMSGSIZE;
        msg.insert(msg.end(), (const char *)iov[i].iov_base,
                   (const char *)iov[i].iov_base + iov[i].iov_len);
    }
    std::lock_guard<std::mutex> g(e.c->mu);
    if (!e.c->nl_bound) { // the host binds an endpoint that sends unbound
        long rc = nl_bind_locked(e, fd, 0);
        if (rc < 0)
            return rc;
    }
    jxctl_req req{};
    req.op = JXCTL_OP_NL_SEND;
    req.addr = (uintptr_t)msg.data();
    req.size = msg.size();
    return call_locked(fd, req);
}

long nl_recv(const node_fd &e, int fd, const iovec *iov, size_t cnt, int flags, sockaddr *from,
             socklen_t *fromlen) {
    if (flags & MSG_PEEK)
        return -EOPNOTSUPP;
    std::vector<char> bounce;
    void *buf = cnt ? iov[0].iov_base : nullptr;
    size_t n = cnt ? iov[0].iov_len : 0;
    if (cnt > 1) {
        for (size_t i = 0; i < cnt; i++)
            n += i ? iov[i].iov_len : 0;
        bounce.resize(n);
        buf = bounce.data();
    }
    jxctl_req req{};
    req.op = JXCTL_OP_NL_RECV;
    req.addr = (uintptr_t)buf;
    req.size = n;
    req.timeout_ms = nl_nonblocking(fd, flags) ? 0 : -1;
    long rc = call(e, fd, req);
    if (rc < 0)
        return rc;
    if (cnt > 1) {
        size_t at = 0;
        for (size_t i = 0; i < cnt && at < (size_t)rc; i++) {
            size_t k = std::min(iov[i].iov_len, (size_t)rc - at);
            memcpy(iov[i].iov_base, bounce.data() + at, k);
            at += k;
        }
    }
    if (from && fromlen) {
        sockaddr_nl nl{};
        nl.nl_family = AF_NETLINK; // from the kernel
        memcpy(from, &nl, std::min((size_t)*fromlen, sizeof(nl)));
        *fromlen = sizeof(nl);
    }
    return rc;
}

// ---- poll ----

int poll_mixed(pollfd *fds, nfds_t n, int timeout_ms, const sigset_t *mask) {
    std::vector<node_fd> node(n);
    size_t nodes = 0, plain = 0, first_node = n;
    for (nfds_t i = 0; i < n; i++) {
        if (fds[i].fd >= 0 && lookup(fds[i].fd, &node[i])) {
            nodes++;
            first_node = std::min<size_t>(first_node, i);
        } else if (fds[i].fd >= 0) {
            plain++;
        }
    }
    if (!nodes) {
        timespec ts{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
        return NEXT(ppoll)(fds, n, timeout_ms < 0 ? nullptr : &ts, mask);
    }
    if (nodes == 1 && !plain) {
        long rc = node_poll_one(node[first_node], fds[first_node].fd, fds[first_node].events,
                                timeout_ms < 0 ? -1 : timeout_ms);
        if (rc < 0)
            return (int)ret(rc);
        for (nfds_t i = 0; i < n; i++)
            fds[i].revents = i == first_node ? (short)rc : 0;
        return rc ? 1 : 0;
    }
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::vector<pollfd> host(fds, fds + n);
    for (nfds_t i = 0; i < n; i++)
        if (node[i].kind != K_UNKNOWN)
            host[i].fd = -1;
    for (;;) {
        int ready = 0;
        for (nfds_t i = 0; i < n; i++) {
            fds[i].revents = 0;
            if (node[i].kind == K_UNKNOWN)
                continue;
            long rc = node_poll_one(node[i], fds[i].fd, fds[i].events, 0);
            if (rc == -EINTR)
                return (int)ret(rc);
            fds[i].revents = rc < 0 ? POLLERR : (short)rc;
            ready += fds[i].revents != 0;
        }
        int wait = POLL_SLICE_MS;
        if (timeout_ms >= 0) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            long spent =
                (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
            wait = (int)std::max(0L, std::min((long)wait, timeout_ms - spent));
        }
        if (ready)
            wait = 0;
        if (plain) {
            timespec ts{wait / 1000, (wait % 1000) * 1000000L};
            int rc = NEXT(ppoll)(host.data(), n, &ts, mask);
            if (rc < 0)
                return rc;
            for (nfds_t i = 0; i < n; i++)
                if (node[i].kind == K_UNKNOWN) {
                    fds[i].revents = host[i].revents;
                    ready += host[i].revents != 0;
                }
        } else if (wait) {
            long rc =
                node_poll_one(node[first_node], fds[first_node].fd, fds[first_node].events, wait);
            if (rc == -EINTR)
                return (int)ret(rc);
            if (rc > 0)
                continue; // ask them all again, with no wait
        }
        if (ready || wait == 0)
            return ready;
    }
}

bool any_node(const pollfd *fds, nfds_t n) {
    node_fd e;
    for (nfds_t i = 0; i < n; i++)
        if (fds[i].fd >= 0 && lookup(fds[i].fd, &e))
            return true;
    return false;
}

int select_mixed(int nfds, fd_set *r, fd_set *w, fd_set *x, int timeout_ms, const sigset_t *mask,
                 bool *handled) {
    *handled = false;
    std::vector<pollfd> p;
    bool has_node = false;
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; fd++) {
        short ev = (r && FD_ISSET(fd, r) ? POLLIN : 0) | (w && FD_ISSET(fd, w) ? POLLOUT : 0) |
                   (x && FD_ISSET(fd, x) ? POLLPRI : 0);
        if (!ev)
            continue;
        node_fd e;
        has_node |= lookup(fd, &e);
        p.push_back({fd, ev, 0});
    }
    if (!has_node)
        return 0;
    *handled = true;
    int rc = poll_mixed(p.data(), p.size(), timeout_ms, mask);
    if (rc < 0)
        return rc;
    if (r)
        FD_ZERO(r);
    if (w)
        FD_ZERO(w);
    if (x)
        FD_ZERO(x);
    int count = 0;
    for (const pollfd &q : p) {
        if (q.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        if (r && (q.revents & (POLLIN | POLLHUP | POLLERR)) && (q.events & POLLIN))
            FD_SET(q.fd, r), count++;
        if (w && (q.revents & (POLLOUT | POLLERR)) && (q.events & POLLOUT))
            FD_SET(q.fd, w), count++;
        if (x && (q.revents & POLLPRI) && (q.events & POLLPRI))
            FD_SET(q.fd, x), count++;
    }
    return count;
}

int ms_of(const timespec *ts) {
    if (!ts)
        return -1;
    long ms = ts->tv_sec * 1000 + (ts->tv_nsec + 999999) / 1000000;
    return ms > INT32_MAX ? INT32_MAX : (int)ms;
}

// ---- stdio ----

ssize_t cookie_read(void *c, char *buf, size_t n) {
    return read((int)(intptr_t)c, buf, n);
}
ssize_t cookie_write(void *c, const char *buf, size_t n) {
    ssize_t rc = write((int)(intptr_t)c, buf, n);
    return rc < 0 ? 0 : rc; // stdio wants 0 on error
}
int cookie_seek(void *c, off64_t *pos, int whence) {
    off_t rc = lseek((int)(intptr_t)c, (off_t)*pos, whence);
    if (rc < 0)
        return -1;
    *pos = rc;
    return 0;
}
int cookie_close(void *c) {
    return close((int)(intptr_t)c);
}

FILE *cookie_file(int fd, const char *mode) {
    cookie_io_functions_t io{cookie_read, cookie_write, cookie_seek, cookie_close};
    return fopencookie((void *)(intptr_t)fd, mode, io);
}

int fopen_flags(const char *mode) {
    int flags = mode[0] == 'r' ? O_RDONLY : O_WRONLY;
    for (const char *m = mode + 1; *m && *m != ','; m++) {
        if (*m == '+')
            flags = (flags & ~O_ACCMODE) | O_RDWR;
        if (*m == 'e')
            flags |= O_CLOEXEC;
    }
    return flags;
}

FILE *fopen_common(const char *path, const char *mode, decltype(&::fopen) host) {
    char np[JXCTL_PATH_MAX];
    if (mode && node_path(AT_FDCWD, path, np)) {
        int saved = errno;
        int fd = open_node(np, fopen_flags(mode));
        if (fd >= 0) {
            FILE *f = cookie_file(fd, mode);
            if (!f) {
                int err = errno;
                NEXT(close)(fd);
                errno = err;
            }
            return f;
        }
        if (fd != NODE_DOWN) {
            errno = -fd;
            return nullptr;
        }
        errno = saved;
    }
    return host(path, mode);
}

// stdio writes a stream it did not open through fopen (stdout that the shell
// pointed at a node file) with its own internal write: what such a stream
// holds is sent here, from fflush and fclose, and from exit for stdout.
int flush_node_stream(FILE *f) {
    node_fd e;
    int fd = f ? fileno(f) : -1;
    if (fd < 0 || !is_node_file(fd, &e))
        return 0;
    flockfile(f);
    long rc = 0;
    char *from = f->_IO_write_base;
    if (from && f->_IO_write_ptr > from) {
        rc = node_rw(e, fd, JXCTL_OP_WRITE, from, (size_t)(f->_IO_write_ptr - from));
        f->_IO_write_ptr = from;
        if (rc < 0)
            f->_flags |= _IO_ERR_SEEN;
    }
    funlockfile(f);
    return (int)ret(rc < 0 ? rc : 0);
}

__attribute__((destructor)) void preload_fini() {
    flush_node_stream(stdout);
}

} // namespace

// ---- the wrapped calls ----

EXPORT int fflush(FILE *f) {
    if (!t_inside && (f ? flush_node_stream(f) : flush_node_stream(stdout)) < 0)
        return EOF;
    return NEXT(fflush)(f);
}

EXPORT int fclose(FILE *f) {
    if (!t_inside && flush_node_stream(f) < 0) {
        int err = errno;
        NEXT(fclose)(f);
        errno = err;
        return EOF;
    }
    return NEXT(fclose)(f);
}

EXPORT int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | __O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    return open_common(AT_FDCWD, path, flags, mode, host_openat);
}
EXPORT int open64(const char *path, int flags, ...) __attribute__((alias("open")));

EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | __O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    return open_common(dirfd, path, flags, mode, host_openat);
}
EXPORT int openat64(int dirfd, const char *path, int flags, ...) __attribute__((alias("openat")));

// What _FORTIFY_SOURCE builds call.
EXPORT int __open_2(const char *path, int flags) {
    return open_common(AT_FDCWD, path, flags, 0, host_openat);
}
EXPORT int __open64_2(const char *path, int flags) __attribute__((alias("__open_2")));
EXPORT int __openat_2(int dirfd, const char *path, int flags) {
    return open_common(dirfd, path, flags, 0, host_openat);
}
EXPORT int __openat64_2(int dirfd, const char *path, int flags)
    __attribute__((alias("__openat_2")));

EXPORT FILE *fopen(const char *path, const char *mode) {
    return fopen_common(path, mode, NEXT(fopen));
}
EXPORT FILE *fopen64(const char *path, const char *mode) {
    return fopen_common(path, mode, NEXT(fopen64));
}

EXPORT FILE *fdopen(int fd, const char *mode) {
    node_fd e;
    if (mode && is_node_file(fd, &e))
        return cookie_file(fd, mode);
    return NEXT(fdopen)(fd, mode);
}

EXPORT int close(int fd) {
    forget(fd);
    return NEXT(close)(fd);
}

EXPORT int dup(int fd) {
    int rc = NEXT(dup)(fd);
    forget(rc);
    return rc;
}

namespace {
bool g_stdout_was_line_buffered;

// A shell sends its builtins' output (echo cmd > file) through a line-buffered
// stdout that stdio writes itself: while stdout is a node file it is made fully
// buffered, so that the shell's fflush hands the whole line to us.
void redirected(int fd) {
    forget(fd);
    if (fd != STDOUT_FILENO || t_inside)
        return;
    node_fd e;
    if (is_node_file(fd, &e)) {
        if (__flbf(stdout)) {
            g_stdout_was_line_buffered = true;
            setvbuf(stdout, nullptr, _IOFBF, 0);
        }
    } else if (g_stdout_was_line_buffered) {
        g_stdout_was_line_buffered = false;
        setvbuf(stdout, nullptr, _IOLBF, 0);
    }
}
} // namespace

EXPORT int dup2(int fd, int fd2) {
    int rc = NEXT(dup2)(fd, fd2);
    if (rc >= 0)
        redirected(rc);
    return rc;
}

EXPORT int dup3(int fd, int fd2, int flags) {
    int rc = NEXT(dup3)(fd, fd2, flags);
    if (rc >= 0)
        redirected(rc);
    return rc;
}

namespace {
int fcntl_common(int fd, int cmd, void *arg, decltype(&::fcntl) host) {
    node_fd e;
    if (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) {
        int rc = host(fd, cmd, arg);
        forget(rc);
        return rc;
    }
    if ((cmd != F_GETFL && cmd != F_SETFL) || !lookup(fd, &e))
        return host(fd, cmd, arg);
    int flags = host(fd, F_GETFL);
    if (flags < 0)
        return flags;
    if (cmd == F_GETFL)
        return e.kind == K_FILE ? (flags & ~O_ACCMODE) | e.accmode : flags;
    int want = (int)(intptr_t)arg;
    if (e.kind == K_FILE) {
        jxctl_req req{};
        req.op = JXCTL_OP_SETFL;
        req.flags = (unsigned)(want & O_NONBLOCK);
        long rc = call(e, fd, req);
        if (rc < 0)
            return (int)ret(rc);
    }
    // The socket keeps the flag too: F_GETFL, dups and exec see it.
    return host(fd, F_SETFL, (flags & ~O_NONBLOCK) | (want & O_NONBLOCK));
}
} // namespace

EXPORT int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return fcntl_common(fd, cmd, arg, NEXT(fcntl));
}
EXPORT int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return fcntl_common(fd, cmd, arg, NEXT(fcntl64));
}

EXPORT int ioctl(int fd, unsigned long cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    unsigned long arg = va_arg(ap, unsigned long);
    va_end(ap);
    node_fd e;
    if (!is_node_file(fd, &e))
        return NEXT(ioctl)(fd, cmd, arg);
    if (cmd == FIONBIO) {
        int on;
        memcpy(&on, (const void *)arg, sizeof(on));
        int fl = fcntl(fd, F_GETFL);
        return fl < 0 ? -1 : fcntl(fd, F_SETFL, on ? fl | O_NONBLOCK : fl & ~O_NONBLOCK);
    }
    jxctl_req req{};
    req.op = JXCTL_OP_IOCTL;
    req.cmd = (uint32_t)cmd;
    req.arg = arg;
    return (int)ret(call(e, fd, req));
}

EXPORT ssize_t read(int fd, void *buf, size_t n) {
    node_fd e;
    if (!lookup(fd, &e))
        return NEXT(read)(fd, buf, n);
    if (e.kind == K_NETLINK) {
        iovec v{buf, n};
        return ret(nl_recv(e, fd, &v, 1, 0, nullptr, nullptr));
    }
    return ret(node_rw(e, fd, JXCTL_OP_READ, buf, n));
}
EXPORT ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen) {
    if (n > buflen)
        abort();
    return read(fd, buf, n);
}

EXPORT ssize_t write(int fd, const void *buf, size_t n) {
    node_fd e;
    if (!lookup(fd, &e))
        return NEXT(write)(fd, buf, n);
    if (e.kind == K_NETLINK) {
        iovec v{const_cast<void *>(buf), n};
        return ret(nl_send(e, fd, &v, 1));
    }
    return ret(node_rw(e, fd, JXCTL_OP_WRITE, buf, n));
}

EXPORT ssize_t pread(int fd, void *buf, size_t n, off_t off) {
    node_fd e;
    if (!is_node_file(fd, &e))
        return NEXT(pread)(fd, buf, n, off);
    return ret(node_pread(e, fd, buf, n, off));
}
EXPORT ssize_t pread64(int fd, void *buf, size_t n, off_t off) __attribute__((alias("pread")));
EXPORT ssize_t __pread_chk(int fd, void *buf, size_t n, off_t off, size_t buflen) {
    if (n > buflen)
        abort();
    return pread(fd, buf, n, off);
}
EXPORT ssize_t __pread64_chk(int fd, void *buf, size_t n, off_t off, size_t buflen)
    __attribute__((alias("__pread_chk")));

// Command files take their command whole, wherever it is written.
EXPORT ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) {
    node_fd e;
    if (!is_node_file(fd, &e))
        return NEXT(pwrite)(fd, buf, n, off);
    if (off < 0)
        return ret(-EINVAL);
    return ret(node_rw(e, fd, JXCTL_OP_WRITE, buf, n));
}
EXPORT ssize_t pwrite64(int fd, const void *buf, size_t n, off_t off)
    __attribute__((alias("pwrite")));

EXPORT ssize_t readv(int fd, const iovec *iov, int cnt) {
    node_fd e;
    if (!lookup(fd, &e))
        return NEXT(readv)(fd, iov, cnt);
    if (e.kind == K_NETLINK)
        return ret(cnt < 0 ? -EINVAL : nl_recv(e, fd, iov, (size_t)cnt, 0, nullptr, nullptr));
    return ret(node_rwv(e, fd, JXCTL_OP_READ, iov, cnt));
}

EXPORT ssize_t writev(int fd, const iovec *iov, int cnt) {
    node_fd e;
    if (!lookup(fd, &e))
        return NEXT(writev)(fd, iov, cnt);
    if (e.kind == K_NETLINK)
        return ret(cnt < 0 ? -EINVAL : nl_send(e, fd, iov, (size_t)cnt));
    return ret(node_rwv(e, fd, JXCTL_OP_WRITE, iov, cnt));
}

EXPORT off_t lseek(int fd, off_t off, int whence) {
    node_fd e;
    if (!is_node_file(fd, &e))
        return NEXT(lseek)(fd, off, whence);
    jxctl_req req = lseek_req(off, whence);
    return ret(call(e, fd, req));
}
EXPORT off_t lseek64(int fd, off_t off, int whence) __attribute__((alias("lseek")));

// The host's copy cannot reach the node's files: callers fall back to read/write.
EXPORT ssize_t copy_file_range(int in, off64_t *inoff, int out, off64_t *outoff, size_t n,
                               unsigned flags) {
    node_fd e;
    if (is_node_file(in, &e) || is_node_file(out, &e))
        return ret(-EINVAL);
    return NEXT(copy_file_range)(in, inoff, out, outoff, n, flags);
}

// A control file, as procfs shows one: a regular file of size 0.
EXPORT int fstat(int fd, struct stat *st) {
    node_fd e;
    if (!is_node_file(fd, &e))
        return NEXT(fstat)(fd, st);
    memset(st, 0, sizeof(*st));
    st->st_dev = e.dev;
    st->st_ino = e.ino;
    st->st_mode = S_IFREG | (e.accmode == O_RDONLY ? 0444 : 0644);
    st->st_nlink = 1;
    st->st_blksize = 1024;
    return 0;
}
EXPORT int fstat64(int fd, struct stat64 *st) __attribute__((alias("fstat")));

// glibc declares poll's and ppoll's array write-only; the wrappers read the
// events in it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
EXPORT int poll(pollfd *fds, nfds_t n, int timeout_ms) {
    if (!any_node(fds, n))
        return NEXT(poll)(fds, n, timeout_ms);
    return poll_mixed(fds, n, timeout_ms, nullptr);
}
EXPORT int __poll_chk(pollfd *fds, nfds_t n, int timeout_ms, size_t fdslen) {
    if (fdslen / sizeof(*fds) < n)
        abort();
    return poll(fds, n, timeout_ms);
}

EXPORT int ppoll(pollfd *fds, nfds_t n, const timespec *ts, const sigset_t *mask) {
    if (!any_node(fds, n))
        return NEXT(ppoll)(fds, n, ts, mask);
    return poll_mixed(fds, n, ms_of(ts), mask);
}

#pragma GCC diagnostic pop

EXPORT int select(int nfds, fd_set *r, fd_set *w, fd_set *x, timeval *tv) {
    bool handled = false;
    int ms = -1;
    if (tv) {
        long v = tv->tv_sec * 1000 + (tv->tv_usec + 999) / 1000;
        ms = v > INT32_MAX ? INT32_MAX : (int)v;
    }
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int rc = t_inside ? 0 : select_mixed(nfds, r, w, x, ms, nullptr, &handled);
    if (!handled)
        return NEXT(select)(nfds, r, w, x, tv);
    if (tv) { // as Linux does, the time left
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left = (long)ms * 1000 -
                    ((now.tv_sec - start.tv_sec) * 1000000L + (now.tv_nsec - start.tv_nsec) / 1000);
        left = std::max(0L, left);
        *tv = timeval{left / 1000000, left % 1000000};
    }
    return rc;
}

EXPORT int pselect(int nfds, fd_set *r, fd_set *w, fd_set *x, const timespec *ts,
                   const sigset_t *mask) {
    bool handled = false;
    int rc = t_inside ? 0 : select_mixed(nfds, r, w, x, ms_of(ts), mask, &handled);
    if (!handled)
        return NEXT(pselect)(nfds, r, w, x, ts, mask);
    return rc;
}

// ---- netlink ----

EXPORT int socket(int domain, int type, int protocol) {
    int fd = NEXT(socket)(domain, type, protocol);
    if (fd >= 0 || domain != AF_NETLINK || errno != EPROTONOSUPPORT || t_inside || protocol < 0 ||
        protocol >= 32) {
        forget(fd);
        return fd;
    }
    // A protocol the host does not serve may be one of the node's.
    int saved = errno;
    int nfd = connect_node('n', protocol);
    if (nfd < 0) {
        errno = saved;
        return -1;
    }
    set_fd_flags(nfd,
                 (type & SOCK_CLOEXEC ? O_CLOEXEC : 0) | (type & SOCK_NONBLOCK ? O_NONBLOCK : 0));
    return nfd;
}

EXPORT int bind(int fd, const sockaddr *sa, socklen_t len) {
    node_fd e;
    if (!lookup(fd, &e) || e.kind != K_NETLINK)
        return NEXT(bind)(fd, sa, len);
    if (!sa || len < sizeof(sockaddr_nl))
        return (int)ret(-EINVAL);
    sockaddr_nl nl;
    memcpy(&nl, sa, sizeof(nl));
    if (nl.nl_family != AF_NETLINK)
        return (int)ret(-EINVAL);
    std::lock_guard<std::mutex> g(e.c->mu);
    return (int)ret(nl_bind_locked(e, fd, nl.nl_groups));
}

// Netlink endpoints talk to the kernel only: connecting to it changes nothing.
EXPORT int connect(int fd, const sockaddr *sa, socklen_t len) {
    node_fd e;
    if (!lookup(fd, &e) || e.kind != K_NETLINK)
        return NEXT(connect)(fd, sa, len);
    return 0;
}

EXPORT int getsockname(int fd, sockaddr *sa, socklen_t *len) {
    node_fd e;
    if (!lookup(fd, &e) || e.kind != K_NETLINK)
        return NEXT(getsockname)(fd, sa, len);
    sockaddr_nl nl{};
    nl.nl_family = AF_NETLINK;
    {
        std::lock_guard<std::mutex> g(e.c->mu);
        nl.nl_pid = e.c->nl_portid;
        nl.nl_groups = e.c->nl_groups;
    }
    memcpy(sa, &nl, std::min((size_t)*len, sizeof(nl)));
    *len = sizeof(nl);
    return 0;
}

EXPORT ssize_t sendmsg(int fd, const msghdr *m, int flags) {
    node_fd e;
    if (!lookup(fd, &e) || e.kind != K_NETLINK)
        return NEXT(sendmsg)(fd, m, flags);
    return ret(nl_send(e, fd, m->msg_iov, m->msg_iovlen));
}

EXPORT ssize_t sendto(int fd, const void *buf, size_t n, int flags, const sockaddr *to,
                      socklen_t tolen) {
    node_fd e;
    if (!lookup(fd, &e) || e.kind != K_NETLINK)
        return NEXT(sendto)(fd, buf, n, flags, to, tolen);
    iovec v{const_cast<void *>(buf), n};
    return ret(nl_send(e, fd, &v, 1));
}

EXPORT ssize_t send(int fd, const void *buf, size_t n, int flags) {
    node_fd e;
    if (!lookup(fd, &e) || e.kind != K_NETLINK)
        return NEXT(send)(fd, buf, n, flags);
    iovec v{const_cast<void *>(buf), n};
    return ret(nl_send(e, fd, &v, 1));
}

EXPORT ssize_t recvmsg(int fd, msghdr *m, int flags) {
    node_fd e;
    if (!lookup(fd, &e) || e.kind != K_NETLINK)
        return NEXT(recvmsg)(fd, m, flags);
    socklen_t namelen = m->msg_namelen;
    long rc = nl_recv(e, fd, m->msg_iov, m->msg_iovlen, flags, (sockaddr *)m->msg_name,
                      m->msg_name ? &namelen : nullptr);
    if (rc >= 0) {
        m->msg_namelen = m->msg_name ? namelen : 0;
        m->msg_controllen = 0;
        m->msg_flags = 0;
    }
    return ret(rc);
}

EXPORT ssize_t recvfrom(int fd, void *buf, size_t n, int flags, sockaddr *from,
                        socklen_t *fromlen) {
    node_fd e;
    if (!lookup(fd, &e) || e.kind != K_NETLINK)
        return NEXT(recvfrom)(fd, buf, n, flags, from, fromlen);
    iovec v{buf, n};
    return ret(nl_recv(e, fd, &v, 1, flags, from, fromlen));
}
EXPORT ssize_t __recvfrom_chk(int fd, void *buf, size_t n, size_t buflen, int flags, sockaddr *from,
                              socklen_t *fromlen) {
    if (n > buflen)
        abort();
    return recvfrom(fd, buf, n, flags, from, fromlen);
}

EXPORT ssize_t recv(int fd, void *buf, size_t n, int flags) {
    return recvfrom(fd, buf, n, flags, nullptr, nullptr);
}
EXPORT ssize_t __recv_chk(int fd, void *buf, size_t n, size_t buflen, int flags) {
    if (n > buflen)
        abort();
    return recv(fd, buf, n, flags);
}
