#include "node/session.h"

#include "kernel/netdevice.h"
#include "kernel/netlink.h"
#include "kernel/printk.h"
#include "kernel/sched.h"
#include "kernel/sync.h"
#include "kernel/time.h"
#include "kernel/uaccess.h"
#include "kernel/vfs.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

static_assert(O_RDONLY == JXCTL_O_RDONLY && O_WRONLY == JXCTL_O_WRONLY && O_RDWR == JXCTL_O_RDWR &&
              O_ACCMODE == JXCTL_O_ACCMODE && O_NONBLOCK == JXCTL_O_NONBLOCK);
static_assert(EPOLLIN == JXCTL_POLLIN && EPOLLPRI == JXCTL_POLLPRI && EPOLLOUT == JXCTL_POLLOUT &&
              EPOLLERR == JXCTL_POLLERR && EPOLLHUP == JXCTL_POLLHUP &&
              EPOLLRDNORM == JXCTL_POLLRDNORM && EPOLLWRNORM == JXCTL_POLLWRNORM);
static_assert(IFNAMSIZ == sizeof(jxctl_link::name));

namespace {

// Messages the kernel sent to one endpoint and the client has not taken yet.
// Bounded: a client that stops reading loses messages and learns it once
// (-ENOBUFS), as with a full netlink socket.
struct nl_queue {
    std::mutex m;
    std::deque<std::vector<u8>> msgs;
    size_t bytes = 0;
    bool overrun = false;
    wait_queue_head_t wq;

    void deliver(const void *data, size_t len) {
        {
            std::lock_guard<std::mutex> g(m);
            if (bytes + len > QUEUE_BYTES_MAX) {
                overrun = true;
                return;
            }
            const u8 *p = static_cast<const u8 *>(data);
            msgs.emplace_back(p, p + len);
            bytes += len;
        }
        wake_up(&wq);
    }
    bool ready() {
        std::lock_guard<std::mutex> g(m);
        return overrun || !msgs.empty();
    }

    static constexpr size_t QUEUE_BYTES_MAX = 1 << 20;
};

// Ports for a process's second and later endpoints, counting down from -4096
// as the host kernel does, so they never collide with a pid.
std::atomic<u32> g_auto_portid{(u32)-4096};

bool terminated(const char *s, size_t size) {
    return memchr(s, '\0', size) != nullptr;
}

} // namespace

namespace jxnode {

struct session {
    caller_creds who{};
    struct file *file = nullptr;
    bool nl_bound = false;
    int nl_unit = 0;
    u32 nl_portid = 0;
    std::shared_ptr<nl_queue> nlq;
};

namespace {

long do_open(session *s, const jxctl_req &req) {
    if (s->file || s->nl_bound)
        return -EBUSY;
    if (!terminated(req.path, sizeof(req.path)))
        return -ENAMETOOLONG;
    if (req.flags & ~(unsigned)(O_ACCMODE | O_NONBLOCK) || (req.flags & O_ACCMODE) == O_ACCMODE)
        return -EINVAL;
    struct file *f = nullptr;
    int rc = rte_vfs_open(req.path, req.flags, &f);
    if (rc < 0)
        return rc;
    s->file = f;
    return 0;
}

long do_dmesg(const jxctl_req &req) {
    std::string text = rte_log_text();
    if (text.size() <= req.size && !text.empty() &&
        copy_to_user((void __user *)(uintptr_t)req.addr, text.data(), text.size()))
        return -EFAULT;
    return (long)text.size();
}

long do_link_list(const jxctl_req &req) {
    std::vector<jxctl_link> links;
    // Registration and removal of devices hold the routing lock.
    rtnl_lock();
    for (struct net_device *dev : rte_netdev_list()) {
        jxctl_link l{};
        l.ifindex = dev->ifindex;
        l.flags = dev_get_flags(dev);
        strlcpy(l.name, dev->name, sizeof(l.name));
        l.up = (l.flags & IFF_UP) ? 1 : 0;
        l.carrier = netif_carrier_ok(dev) ? 1 : 0;
        const net_device_stats *st = dev_get_stats(dev);
        // Port threads count while the list is made.
        l.rx_packets = __atomic_load_n(&st->rx_packets, __ATOMIC_RELAXED);
        l.tx_packets = __atomic_load_n(&st->tx_packets, __ATOMIC_RELAXED);
        l.rx_dropped = __atomic_load_n(&st->rx_dropped, __ATOMIC_RELAXED);
        l.tx_dropped = __atomic_load_n(&st->tx_dropped, __ATOMIC_RELAXED);
        links.push_back(l);
    }
    rtnl_unlock();
    size_t bytes = links.size() * sizeof(jxctl_link);
    if (bytes <= req.size && bytes &&
        copy_to_user((void __user *)(uintptr_t)req.addr, links.data(), bytes))
        return -EFAULT;
    return (long)bytes;
}

long do_link_set(const jxctl_req &req) {
    // As with the host's CAP_NET_ADMIN, only root changes device state.
    if (current->uid != 0)
        return -EPERM;
    if (!terminated(req.path, IFNAMSIZ) || !req.path[0])
        return -EINVAL;
    if (req.flags & ~JXCTL_LINK_UP)
        return -EINVAL;
    rtnl_lock();
    struct net_device *dev = __dev_get_by_name(&init_net, req.path);
    int rc = !dev ? -ENODEV : (req.flags & JXCTL_LINK_UP) ? dev_open(dev) : dev_close(dev);
    rtnl_unlock();
    return rc;
}

long do_nl_bind(session *s, const jxctl_req &req, jxctl_resp *resp) {
    if (s->file || s->nl_bound)
        return -EBUSY;
    if (req.cmd >= 32)
        return -EINVAL;
    auto q = std::make_shared<nl_queue>();
    auto deliver = [q](const void *data, size_t len) { q->deliver(data, len); };
    // The first endpoint of a process is bound to its pid, as the tools expect.
    u32 portid = (u32)s->who.pid;
    int rc = rte_netlink_bind((int)req.cmd, portid, req.groups, deliver);
    for (int tries = 0; rc == -EADDRINUSE && tries < 1024; tries++) {
        portid = g_auto_portid.fetch_sub(1);
        rc = rte_netlink_bind((int)req.cmd, portid, req.groups, deliver);
    }
    if (rc < 0)
        return rc;
    s->nl_bound = true;
    s->nl_unit = (int)req.cmd;
    s->nl_portid = portid;
    s->nlq = std::move(q);
    resp->val = portid;
    return 0;
}

long do_nl_send(session *s, const jxctl_req &req) {
    if (!s->nl_bound)
        return -EBADF;
    if (req.size > JXCTL_NL_MSG_MAX)
        return -EMSGSIZE;
    std::vector<u8> msg(req.size);
    if (copy_from_user(msg.data(), (const void __user *)(uintptr_t)req.addr, msg.size()))
        return -EFAULT;
    int rc = rte_netlink_send_to_kernel(s->nl_unit, s->nl_portid, msg.data(), msg.size());
    return rc < 0 ? rc : (long)msg.size();
}

long do_nl_recv(session *s, const jxctl_req &req) {
    if (!s->nl_bound)
        return -EBADF;
    nl_queue *q = s->nlq.get();
    if (!q->ready()) {
        if (req.timeout_ms == 0)
            return -EAGAIN;
        bool with_timeout = req.timeout_ms > 0;
        long t = with_timeout ? (long)msecs_to_jiffies((unsigned)req.timeout_ms)
                              : (long)MAX_SCHEDULE_TIMEOUT;
        long rc = rte_wait_event(
            &q->wq, [q] { return q->ready(); }, true, t, with_timeout);
        if (rc < 0)
            return rc;
        if (with_timeout && rc == 0)
            return -EAGAIN;
    }
    std::vector<u8> msg;
    {
        std::lock_guard<std::mutex> g(q->m);
        if (q->overrun) {
            q->overrun = false;
            return -ENOBUFS;
        }
        if (q->msgs.empty())
            return -EAGAIN;
        msg = std::move(q->msgs.front());
        q->msgs.pop_front();
        q->bytes -= msg.size();
    }
    // Like a datagram: what does not fit is dropped with the message.
    size_t n = msg.size() < req.size ? msg.size() : (size_t)req.size;
    if (copy_to_user((void __user *)(uintptr_t)req.addr, msg.data(), n))
        return -EFAULT;
    return (long)n;
}

// Only O_NONBLOCK changes after open, as with F_SETFL on the line card.
long do_setfl(session *s, const jxctl_req &req) {
    if (req.flags & ~(unsigned)O_NONBLOCK)
        return -EINVAL;
    s->file->f_flags = (s->file->f_flags & ~(unsigned)O_NONBLOCK) | req.flags;
    return 0;
}

// A netlink endpoint is readable while a message (or an overrun) waits.
long do_nl_poll(session *s, const jxctl_req &req) {
    nl_queue *q = s->nlq.get();
    unsigned ready = (EPOLLIN | EPOLLRDNORM | EPOLLOUT | EPOLLWRNORM) & req.flags;
    unsigned now = q->ready() ? ready : ready & (EPOLLOUT | EPOLLWRNORM);
    if (now || req.timeout_ms == 0)
        return now;
    bool with_timeout = req.timeout_ms > 0;
    long t = with_timeout ? (long)msecs_to_jiffies((unsigned)req.timeout_ms)
                          : (long)MAX_SCHEDULE_TIMEOUT;
    long rc = rte_wait_event(
        &q->wq, [q] { return q->ready(); }, true, t, with_timeout);
    if (rc < 0)
        return rc;
    return q->ready() ? ready : 0;
}

void release(session *s) {
    if (s->file) {
        rte_vfs_close(s->file);
        s->file = nullptr;
    }
    if (s->nl_bound) {
        rte_netlink_unbind(s->nl_unit, s->nl_portid);
        s->nl_bound = false;
        s->nlq.reset();
    }
}

// A caller that sizes its record (jxproc) gets copies bounded by it: a record
// shorter than the command's is refused instead of written past.
long do_ioctl(session *s, const jxctl_req &req) {
    bool sized = req.size && req.addr == req.arg;
    if (sized) {
        current->user_rec = (uintptr_t)req.addr;
        current->user_rec_size = (size_t)req.size;
    }
    long rc = rte_vfs_ioctl(s->file, req.cmd, (unsigned long)req.arg);
    current->user_rec = 0;
    current->user_rec_size = 0;
    return rc;
}

} // namespace

session *session_begin(const caller_creds &who, const char *comm, std::function<bool()> probe) {
    auto *s = new session;
    session_set_caller(s, who, comm);
    current->signal_probe = std::move(probe);
    return s;
}

void session_set_caller(session *s, const caller_creds &who, const char *comm) {
    s->who = who;
    rte_task_set_caller(who.pid, who.uid, who.gid, comm);
}

const caller_creds &session_caller(const session *s) {
    return s->who;
}

bool session_call(session *s, const jxctl_req &req, jxctl_resp *resp) {
    // A signal is delivered once: the last call's interruption is over.
    current->sigpending.store(false);
    *resp = jxctl_resp{};
    long rc;
    bool keep = true;
    switch (req.op) {
    case JXCTL_OP_OPEN:
        rc = do_open(s, req);
        break;
    case JXCTL_OP_READ:
        rc = !s->file ? -EBADF
                      : rte_vfs_read(s->file, (char __user *)(uintptr_t)req.addr,
                                     req.size > JXCTL_RW_MAX ? JXCTL_RW_MAX : req.size);
        break;
    case JXCTL_OP_WRITE:
        rc = !s->file ? -EBADF
                      : rte_vfs_write(s->file, (const char __user *)(uintptr_t)req.addr,
                                      req.size > JXCTL_RW_MAX ? JXCTL_RW_MAX : req.size);
        break;
    case JXCTL_OP_IOCTL:
        rc = !s->file ? -EBADF : do_ioctl(s, req);
        break;
    case JXCTL_OP_POLL:
        rc = s->nl_bound ? do_nl_poll(s, req)
             : !s->file
                 ? -EBADF
                 : rte_vfs_poll(s->file, req.flags, req.timeout_ms < 0 ? -1 : req.timeout_ms);
        break;
    case JXCTL_OP_SETFL:
        rc = !s->file ? -EBADF : do_setfl(s, req);
        break;
    case JXCTL_OP_LSEEK:
        rc = !s->file ? -EBADF : rte_vfs_llseek(s->file, (loff_t)req.arg, (int)req.flags);
        break;
    case JXCTL_OP_CLOSE:
        rc = 0;
        if (s->file) {
            rc = rte_vfs_close(s->file);
            s->file = nullptr;
        }
        release(s);
        keep = false;
        break;
    case JXCTL_OP_DMESG:
        rc = do_dmesg(req);
        break;
    case JXCTL_OP_LINK_LIST:
        rc = do_link_list(req);
        break;
    case JXCTL_OP_LINK_SET:
        rc = do_link_set(req);
        break;
    case JXCTL_OP_NL_BIND:
        rc = do_nl_bind(s, req, resp);
        break;
    case JXCTL_OP_NL_SEND:
        rc = do_nl_send(s, req);
        break;
    case JXCTL_OP_NL_RECV:
        rc = do_nl_recv(s, req);
        break;
    default:
        rc = -EOPNOTSUPP;
        break;
    }
    // The client is a process: it sees an interrupted call, never the restart code.
    if (rc == -ERESTARTSYS)
        rc = -EINTR;
    resp->rc = rc;
    return keep;
}

void session_end(session *s) {
    // The release runs as an ordinary call: the hang-up that ended the
    // connection is not a signal for it.
    current->signal_probe = nullptr;
    current->sigpending.store(false);
    release(s);
    delete s;
}

} // namespace jxnode
