#include "ctl/jxctl.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <unordered_map>

static_assert(O_RDONLY == JXCTL_O_RDONLY && O_WRONLY == JXCTL_O_WRONLY && O_RDWR == JXCTL_O_RDWR &&
              O_ACCMODE == JXCTL_O_ACCMODE && O_NONBLOCK == JXCTL_O_NONBLOCK);
static_assert(POLLIN == JXCTL_POLLIN && POLLPRI == JXCTL_POLLPRI && POLLOUT == JXCTL_POLLOUT &&
              POLLERR == JXCTL_POLLERR && POLLHUP == JXCTL_POLLHUP &&
              POLLRDNORM == JXCTL_POLLRDNORM && POLLWRNORM == JXCTL_POLLWRNORM);

namespace {

// One connection to the node. The socket is closed with the last reference, so a
// call still in progress on another thread never sees its descriptor reused.
struct handle {
    int fd;
    std::mutex call_mu; // one call at a time: requests and answers pair up in order
    explicit handle(int f) : fd(f) {}
    ~handle() { ::close(fd); }
    handle(const handle &) = delete;
    handle &operator=(const handle &) = delete;
};

std::mutex g_mu;
std::unordered_map<int, std::shared_ptr<handle>> g_handles;

std::shared_ptr<handle> find_handle(int h) {
    std::lock_guard<std::mutex> g(g_mu);
    auto it = g_handles.find(h);
    return it == g_handles.end() ? nullptr : it->second;
}

int add_handle(std::shared_ptr<handle> hd) {
    std::lock_guard<std::mutex> g(g_mu);
    int fd = hd->fd;
    g_handles[fd] = std::move(hd);
    return fd;
}

std::shared_ptr<handle> remove_handle(int h) {
    std::lock_guard<std::mutex> g(g_mu);
    auto it = g_handles.find(h);
    if (it == g_handles.end())
        return nullptr;
    auto hd = std::move(it->second);
    g_handles.erase(it);
    return hd;
}

int connect_node(std::shared_ptr<handle> *out) {
    const char *path = jxctl_socket_path();
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof(sa.sun_path))
        return -ENAMETOOLONG;
    strcpy(sa.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    auto hd = std::make_shared<handle>(fd);
    int rc;
    do {
        rc = connect(fd, (const sockaddr *)&sa, sizeof(sa));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0 && errno != EISCONN) {
        int err = errno;
        if (err == ENOENT || err == ECONNREFUSED || err == ENOTDIR)
            return -JXCTL_ENODE;
        return -err;
    }
    *out = std::move(hd);
    return 0;
}

long call_masked(int fd, jxctl_req &req, const sigset_t &waitmask, jxctl_resp *resp_out) {
    req.magic = JXCTL_MAGIC;
    ssize_t n = send(fd, &req, sizeof(req), MSG_NOSIGNAL);
    if (n < 0)
        return errno == EPIPE ? -ECONNRESET : -errno;
    if ((size_t)n != sizeof(req))
        return -EPROTO;
    bool aborted = false;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = ppoll(&p, 1, nullptr, &waitmask);
        if (r > 0)
            break;
        if (r < 0 && errno != EINTR)
            return -errno;
        if (r < 0 && !aborted) {
            jxctl_req ab{};
            ab.magic = JXCTL_MAGIC;
            ab.op = JXCTL_OP_ABORT;
            send(fd, &ab, sizeof(ab), MSG_NOSIGNAL);
            aborted = true;
        }
    }
    jxctl_resp resp{};
    n = recv(fd, &resp, sizeof(resp), MSG_TRUNC);
    if (n < 0)
        return -errno;
    if (n == 0)
        return -ECONNRESET; // the node went away
    if ((size_t)n != sizeof(resp))
        return -EPROTO;
    if (resp_out)
        *resp_out = resp;
    return (long)resp.rc;
}

// Sends one request and waits for its answer. A signal handler that runs once
// the call has begun makes the node abandon the call; its answer still comes
// and is taken. Signals stay blocked until the wait, so that one arriving
// between sending and waiting interrupts the call as it would a system call.
long call_fd(int fd, jxctl_req &req, jxctl_resp *resp_out) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    long rc = call_masked(fd, req, old, resp_out);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return rc;
}

long call(handle &hd, jxctl_req &req, jxctl_resp *resp_out = nullptr) {
    return call_fd(hd.fd, req, resp_out);
}

long call_on(int h, jxctl_req &req, jxctl_resp *resp = nullptr) {
    auto hd = find_handle(h);
    if (!hd)
        return -EBADF;
    std::lock_guard<std::mutex> g(hd->call_mu);
    return call(*hd, req, resp);
}

// A node operation on a connection of its own.
long node_call(jxctl_req &req, jxctl_resp *resp = nullptr) {
    std::shared_ptr<handle> hd;
    int rc = connect_node(&hd);
    if (rc < 0)
        return rc;
    return call(*hd, req, resp);
}

bool copy_path(jxctl_req &req, const char *path) {
    if (!path)
        return false;
    size_t len = strnlen(path, sizeof(req.path));
    if (len >= sizeof(req.path))
        return false;
    memcpy(req.path, path, len + 1);
    return true;
}

} // namespace

const char *jxctl_socket_path() {
    const char *p = getenv(JXCTL_SOCKET_ENV);
    return p && *p ? p : JXCTL_DEFAULT_SOCKET;
}

int jxctl_open(const char *path, int flags) {
    jxctl_req req{};
    req.op = JXCTL_OP_OPEN;
    if (!copy_path(req, path))
        return path ? -ENAMETOOLONG : -EFAULT;
    // Descriptor-only flags (O_CLOEXEC, O_NOCTTY, ...) mean nothing to the node.
    req.flags = flags & (O_ACCMODE | O_NONBLOCK);
    std::shared_ptr<handle> hd;
    int rc = connect_node(&hd);
    if (rc < 0)
        return rc;
    long r = call(*hd, req);
    if (r < 0)
        return (int)r;
    return add_handle(std::move(hd));
}

ssize_t jxctl_read(int h, void *buf, size_t n) {
    jxctl_req req{};
    req.op = JXCTL_OP_READ;
    req.addr = (uintptr_t)buf;
    req.size = n;
    return call_on(h, req);
}

ssize_t jxctl_write(int h, const void *buf, size_t n) {
    jxctl_req req{};
    req.op = JXCTL_OP_WRITE;
    req.addr = (uintptr_t)buf;
    req.size = n;
    return call_on(h, req);
}

long jxctl_ioctl(int h, unsigned long cmd, unsigned long arg) {
    jxctl_req req{};
    req.op = JXCTL_OP_IOCTL;
    req.cmd = (uint32_t)cmd; // the kernel's ioctl numbers are 32 bits wide
    req.arg = arg;
    return call_on(h, req);
}

long jxctl_ioctl_record(int h, unsigned long cmd, void *rec, size_t size) {
    jxctl_req req{};
    req.op = JXCTL_OP_IOCTL;
    req.cmd = (uint32_t)cmd;
    req.arg = (uintptr_t)rec;
    req.addr = (uintptr_t)rec;
    req.size = rec ? size : 0;
    return call_on(h, req);
}

int jxctl_poll(int h, unsigned events, int timeout_ms) {
    jxctl_req req{};
    req.op = JXCTL_OP_POLL;
    req.flags = events;
    req.timeout_ms = timeout_ms < 0 ? -1 : timeout_ms;
    return (int)call_on(h, req);
}

int jxctl_setfl(int h, int flags) {
    jxctl_req req{};
    req.op = JXCTL_OP_SETFL;
    req.flags = (unsigned)flags & O_NONBLOCK;
    return (int)call_on(h, req);
}

long jxctl_lseek(int h, long offset, int whence) {
    jxctl_req req{};
    req.op = JXCTL_OP_LSEEK;
    req.arg = (uint64_t)offset;
    req.flags = (unsigned)whence;
    return call_on(h, req);
}

long jxctl_call(int fd, jxctl_req *req, jxctl_resp *resp) {
    return call_fd(fd, *req, resp);
}

int jxctl_close(int h) {
    auto hd = remove_handle(h);
    if (!hd)
        return -EBADF;
    // Another thread blocked on this handle: hanging up interrupts its call and
    // the node releases the file itself.
    std::unique_lock<std::mutex> g(hd->call_mu, std::try_to_lock);
    if (!g.owns_lock()) {
        shutdown(hd->fd, SHUT_RDWR);
        return 0;
    }
    jxctl_req req{};
    req.op = JXCTL_OP_CLOSE;
    long rc = call(*hd, req);
    return rc == -ECONNRESET ? 0 : (int)rc; // a vanished node has released it already
}

int jxctl_nl_open(int protocol, unsigned groups, unsigned *portid_out) {
    jxctl_req req{};
    req.op = JXCTL_OP_NL_BIND;
    if (protocol < 0)
        return -EINVAL;
    req.cmd = (uint32_t)protocol;
    req.groups = groups;
    std::shared_ptr<handle> hd;
    int rc = connect_node(&hd);
    if (rc < 0)
        return rc;
    jxctl_resp resp{};
    long r = call(*hd, req, &resp);
    if (r < 0)
        return (int)r;
    if (portid_out)
        *portid_out = (unsigned)resp.val;
    return add_handle(std::move(hd));
}

ssize_t jxctl_nl_send(int h, const void *msg, size_t n) {
    jxctl_req req{};
    req.op = JXCTL_OP_NL_SEND;
    req.addr = (uintptr_t)msg;
    req.size = n;
    return call_on(h, req);
}

ssize_t jxctl_nl_recv(int h, void *buf, size_t n, int timeout_ms) {
    jxctl_req req{};
    req.op = JXCTL_OP_NL_RECV;
    req.addr = (uintptr_t)buf;
    req.size = n;
    req.timeout_ms = timeout_ms < 0 ? -1 : timeout_ms;
    return call_on(h, req);
}

ssize_t jxctl_dmesg(char *buf, size_t n) {
    jxctl_req req{};
    req.op = JXCTL_OP_DMESG;
    req.addr = (uintptr_t)buf;
    req.size = n;
    long rc = node_call(req);
    if (rc >= 0 && (size_t)rc < n)
        buf[rc] = '\0';
    return rc;
}

int jxctl_dmesg_text(std::string *out) {
    size_t size = 64 * 1024;
    // The log may grow between the two calls: retry a few times with room to spare.
    for (int attempt = 0; attempt < 8; attempt++) {
        std::string buf(size, '\0');
        ssize_t rc = jxctl_dmesg(buf.data(), buf.size());
        if (rc < 0)
            return (int)rc;
        if ((size_t)rc <= buf.size()) {
            buf.resize(rc);
            *out = std::move(buf);
            return 0;
        }
        size = (size_t)rc + rc / 4 + 4096;
    }
    return -EAGAIN;
}

ssize_t jxctl_link_list(jxctl_link *links, size_t max) {
    if (max > JXCTL_RW_MAX / sizeof(jxctl_link))
        max = JXCTL_RW_MAX / sizeof(jxctl_link);
    jxctl_req req{};
    req.op = JXCTL_OP_LINK_LIST;
    req.addr = (uintptr_t)links;
    req.size = max * sizeof(jxctl_link);
    long rc = node_call(req);
    if (rc < 0)
        return rc;
    if (rc % sizeof(jxctl_link))
        return -EPROTO;
    return rc / (long)sizeof(jxctl_link);
}

int jxctl_links(std::vector<jxctl_link> *out) {
    size_t max = 64;
    for (int attempt = 0; attempt < 8; attempt++) {
        std::vector<jxctl_link> v(max);
        ssize_t rc = jxctl_link_list(v.data(), v.size());
        if (rc < 0)
            return (int)rc;
        if ((size_t)rc <= v.size()) {
            v.resize(rc);
            *out = std::move(v);
            return 0;
        }
        max = (size_t)rc + 16;
    }
    return -EAGAIN;
}

int jxctl_link_set(const char *dev, bool up) {
    jxctl_req req{};
    req.op = JXCTL_OP_LINK_SET;
    if (!copy_path(req, dev))
        return dev ? -ENAMETOOLONG : -EFAULT;
    req.flags = up ? JXCTL_LINK_UP : 0;
    return (int)node_call(req);
}
