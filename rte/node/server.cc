#include "node/server.h"

#include "node/session.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace jxnode {

namespace {

// Each connection is a thread; beyond this many the node turns callers away
// rather than run out of threads.
constexpr size_t CONNECTIONS_MAX = 1024;
constexpr int LISTEN_BACKLOG = 64;

struct conn {
    int fd;
    caller_creds peer;
    std::mutex fd_mu; // the socket is closed by its thread, hung up by stop()
    bool fd_open = true;
    std::atomic<bool> done{false};
    std::thread th;
};

void read_comm(int pid, char *comm, size_t size) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/comm", pid);
    snprintf(comm, size, "?");
    FILE *f = fopen(path, "re");
    if (!f)
        return;
    if (fgets(comm, (int)size, f)) {
        size_t n = strlen(comm);
        if (n && comm[n - 1] == '\n')
            comm[n - 1] = '\0';
    }
    fclose(f);
}

int make_parent_dirs(const std::string &path) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        std::string dir = path.substr(0, pos);
        if (mkdir(dir.c_str(), 0755) < 0 && errno != EEXIST)
            return -errno;
    }
    return 0;
}

// Is a node answering on path? Replaces a socket file nobody answers on.
int claim_path(const std::string &path, const sockaddr_un &sa) {
    struct stat st;
    if (lstat(path.c_str(), &st) < 0)
        return errno == ENOENT ? 0 : -errno;
    if (!S_ISSOCK(st.st_mode))
        return -EEXIST;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    int rc = connect(fd, (const sockaddr *)&sa, sizeof(sa));
    int err = errno;
    close(fd);
    if (rc == 0)
        return -EADDRINUSE;
    if (err != ECONNREFUSED)
        return err == EPROTOTYPE ? -EADDRINUSE : -err;
    if (unlink(path.c_str()) < 0 && errno != ENOENT)
        return -errno;
    return 0;
}

// Credentials the host attached to a message; fds passed along are refused.
bool message_creds(msghdr *msg, caller_creds *who) {
    bool found = false;
    for (cmsghdr *c = CMSG_FIRSTHDR(msg); c; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_SOCKET)
            continue;
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            ucred uc;
            memcpy(&uc, CMSG_DATA(c), sizeof(uc));
            *who = caller_creds{uc.pid, uc.uid, uc.gid};
            found = true;
        } else if (c->cmsg_type == SCM_RIGHTS) {
            size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < n; i++) {
                int fd;
                memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                close(fd);
            }
        }
    }
    return found;
}

bool send_resp(int fd, const jxctl_resp &resp) {
    ssize_t n;
    do {
        n = send(fd, &resp, sizeof(resp), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == (ssize_t)sizeof(resp);
}

void serve(conn *c) {
    const int fd = c->fd;
    char comm[16];
    read_comm(c->peer.pid, comm, sizeof(comm));
    // Anything readable while a call runs is the client's abort, and a hang-up
    // is final: both interrupt a call that sleeps.
    auto probe = [fd] {
        pollfd p{fd, POLLIN | POLLRDHUP, 0};
        return poll(&p, 1, 0) > 0;
    };
    session *s = session_begin(c->peer, comm, probe);
    for (;;) {
        jxctl_req req;
        iovec iov{&req, sizeof(req)};
        alignas(cmsghdr) char cbuf[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(16 * sizeof(int))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = cbuf;
        msg.msg_controllen = sizeof(cbuf);
        ssize_t n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        caller_creds who = session_caller(s);
        message_creds(&msg, &who);
        jxctl_resp resp{};
        if ((size_t)n != sizeof(req) || (msg.msg_flags & MSG_TRUNC)) {
            resp.rc = -EBADMSG;
        } else if (req.magic != JXCTL_MAGIC) {
            resp.rc = -EPROTO;
        } else if (req.op == JXCTL_OP_ABORT) {
            continue; // the call it meant has been answered already
        } else if (who.pid <= 0) {
            // A process the node cannot see (another pid namespace): no memory to reach.
            resp.rc = -EPERM;
        } else {
            const caller_creds &last = session_caller(s);
            if (who.pid != last.pid || who.uid != last.uid || who.gid != last.gid) {
                read_comm(who.pid, comm, sizeof(comm));
                session_set_caller(s, who, comm);
            }
            bool keep = session_call(s, req, &resp);
            if (!send_resp(fd, resp) || !keep)
                break;
            continue;
        }
        if (!send_resp(fd, resp))
            break;
    }
    session_end(s);
    std::lock_guard<std::mutex> g(c->fd_mu);
    close(fd);
    c->fd_open = false;
    c->done = true;
}

} // namespace

struct Server::impl {
    std::string path;
    int lfd = -1;
    int wake_fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    bool running = false;
    std::thread acceptor;
    std::mutex mu; // conns
    std::list<std::unique_ptr<conn>> conns;

    void accept_loop();
    void reap_locked();
};

void Server::impl::reap_locked() {
    for (auto it = conns.begin(); it != conns.end();) {
        if ((*it)->done) {
            (*it)->th.join();
            it = conns.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::impl::accept_loop() {
    for (;;) {
        pollfd p[2] = {{lfd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            perror("jxnode: poll");
            return;
        }
        if (p[1].revents)
            return;
        int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of resources: back off instead of spinning on the pending caller.
                pollfd w{wake_fd, POLLIN, 0};
                if (poll(&w, 1, 100) > 0)
                    return;
            }
            continue;
        }
        ucred uc{};
        socklen_t len = sizeof(uc);
        std::lock_guard<std::mutex> g(mu);
        reap_locked();
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &uc, &len) < 0 || uc.pid <= 0 ||
            conns.size() >= CONNECTIONS_MAX) {
            close(fd);
            continue;
        }
        auto c = std::make_unique<conn>();
        c->fd = fd;
        c->peer = caller_creds{uc.pid, uc.uid, uc.gid};
        conn *raw = c.get();
        conns.push_back(std::move(c));
        raw->th = std::thread(serve, raw);
    }
}

Server::Server() : d_(std::make_unique<impl>()) {}

Server::~Server() {
    stop();
}

bool Server::running() const {
    return d_->running;
}

const std::string &Server::path() const {
    return d_->path;
}

int Server::start(const std::string &path) {
    if (d_->running)
        return -EBUSY;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(sa.sun_path))
        return -ENAMETOOLONG;
    memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    int rc = make_parent_dirs(path);
    if (rc < 0)
        return rc;
    rc = claim_path(path, sa);
    if (rc < 0)
        return rc;
    int lfd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (lfd < 0)
        return -errno;
    int one = 1;
    struct stat st;
    // The mode is set before listen(), so no one connects through a wider one.
    if (bind(lfd, (const sockaddr *)&sa, sizeof(sa)) < 0 || chmod(path.c_str(), 0660) < 0 ||
        lstat(path.c_str(), &st) < 0 ||
        setsockopt(lfd, SOL_SOCKET, SO_PASSCRED, &one, sizeof(one)) < 0 ||
        listen(lfd, LISTEN_BACKLOG) < 0) {
        rc = -errno;
        close(lfd);
        return rc;
    }
    int wfd = eventfd(0, EFD_CLOEXEC);
    if (wfd < 0) {
        rc = -errno;
        close(lfd);
        unlink(path.c_str());
        return rc;
    }
    d_->path = path;
    d_->lfd = lfd;
    d_->wake_fd = wfd;
    d_->dev = st.st_dev;
    d_->ino = st.st_ino;
    d_->running = true;
    d_->acceptor = std::thread([this] { d_->accept_loop(); });
    return 0;
}

void Server::stop() {
    if (!d_->running)
        return;
    uint64_t one = 1;
    if (write(d_->wake_fd, &one, sizeof(one)) < 0)
        perror("jxnode: eventfd");
    d_->acceptor.join();
    close(d_->lfd);
    // Remove the socket only if it is still ours (a later node may have replaced it).
    struct stat st;
    if (lstat(d_->path.c_str(), &st) == 0 && st.st_dev == d_->dev && st.st_ino == d_->ino)
        unlink(d_->path.c_str());
    std::list<std::unique_ptr<conn>> conns;
    {
        std::lock_guard<std::mutex> g(d_->mu);
        conns.swap(d_->conns);
    }
    for (auto &c : conns) {
        std::lock_guard<std::mutex> g(c->fd_mu);
        if (c->fd_open)
            shutdown(c->fd, SHUT_RDWR);
    }
    for (auto &c : conns)
        c->th.join();
    close(d_->wake_fd);
    d_->lfd = d_->wake_fd = -1;
    d_->running = false;
}

} // namespace jxnode
