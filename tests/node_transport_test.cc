// jxnode's transport seen from another process: a forked child uses rte/ctl on
// test control files served in this process, so every user copy crosses address
// spaces, and the child's credentials, signals and death reach the kernel side as
// a client's would.
#include "ctl/jxctl.h"
#include "ctl/jxproc_cmd.h"
#include "node/server.h"

#include "kernel/netdevice.h"
#include "kernel/netlink.h"
#include "kernel/printk.h"
#include "kernel/proc_fs.h"
#include "kernel/sched.h"
#include "kernel/time.h"
#include "kernel/uaccess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <grp.h>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// The test control files, under /proc/net/jxtransport:
//   rw     0600  text read-out, write stores the text, ioctl records, poll
//   pub    0644  the same read-out, for unprivileged readers
//   event  0600  blocking reads of events, poll

// Shared with the child through the transport only; the test thread waits on cv.
struct test_state {
    std::mutex m;
    std::condition_variable cv;
    std::string last_write;
    int writer_pid = 0;
    std::string writer_comm;
    int releases = 0;
    int blocked_readers = 0;
    int event_polls = 0;
    bool data_ready = false;
    bool event_ready = false;
    wait_queue_head_t data_wq;
    wait_queue_head_t event_wq;
};
test_state *g_state;

bool wait_until(const std::function<bool()> &pred) {
    // A bound only so that a broken build fails instead of hanging.
    std::unique_lock<std::mutex> lk(g_state->m);
    return g_state->cv.wait_for(lk, std::chrono::seconds(30), pred);
}

void note(const std::function<void(test_state &)> &fn) {
    {
        std::lock_guard<std::mutex> g(g_state->m);
        fn(*g_state);
    }
    g_state->cv.notify_all();
}

// ioctl numbers of the rw file.
constexpr unsigned IOC_RECORD = 0xc0187401; // struct test_record, in and out
constexpr unsigned IOC_VALUE = 0x00007402;  // the argument is a number
// Announces 4 bytes, answers with 64, as many of the bridge's numbers do.
constexpr unsigned IOC_REPLY = 0x80047404;
constexpr size_t REPLY_SIZE = 64;

// A record that carries a pointer to a second buffer, as many line-card records do.
struct test_record {
    u32 in;
    u32 out;
    u64 text;     // address of a buffer in the caller
    u32 text_len; // its size
    u32 pad;
};
static_assert(sizeof(test_record) == 24);

int show(struct seq_file *m, void *) {
    std::lock_guard<std::mutex> g(g_state->m);
    seq_printf(m, "last write: %s\n", g_state->last_write.c_str());
    return 0;
}

int rw_open(struct inode *, struct file *file) {
    return single_open(file, show, nullptr);
}

int rw_release(struct inode *inode, struct file *file) {
    note([](test_state &s) { s.releases++; });
    return single_release(inode, file);
}

ssize_t rw_write(struct file *, const char __user *buf, size_t count, loff_t *) {
    char text[128];
    if (count >= sizeof(text))
        return -EINVAL;
    if (copy_from_user(text, buf, count))
        return -EFAULT;
    text[count] = '\0';
    std::string comm = current->comm;
    int pid = current->pid;
    note([&](test_state &s) {
        s.last_write = text;
        s.writer_pid = pid;
        s.writer_comm = comm;
        s.data_ready = true;
    });
    wake_up(&g_state->data_wq);
    return (ssize_t)count;
}

long rw_ioctl(struct file *, unsigned int cmd, unsigned long arg) {
    if (cmd == IOC_VALUE)
        return (long)arg + 1;
    if (cmd == IOC_REPLY) {
        u8 reply[REPLY_SIZE];
        memset(reply, 0xa5, sizeof(reply));
        return copy_to_user((void __user *)arg, reply, sizeof(reply)) ? -EFAULT : 0;
    }
    if (cmd != IOC_RECORD)
        return -ENOTTY;
    test_record rec;
    if (copy_from_user(&rec, (const void __user *)arg, sizeof(rec)))
        return -EFAULT;
    rec.out = rec.in * 2;
    static const char reply[] = "pong";
    if (rec.text_len < sizeof(reply))
        return -ENOSPC;
    if (copy_to_user((void __user *)(uintptr_t)rec.text, reply, sizeof(reply)))
        return -EFAULT;
    if (copy_to_user((void __user *)arg, &rec, sizeof(rec)))
        return -EFAULT;
    return 0;
}

__poll_t rw_poll(struct file *file, poll_table *wait) {
    poll_wait(file, &g_state->data_wq, wait);
    std::lock_guard<std::mutex> g(g_state->m);
    return EPOLLOUT | EPOLLWRNORM | (g_state->data_ready ? EPOLLIN | EPOLLRDNORM : 0);
}

const file_operations rw_fops = {
    .open = rw_open,
    .read = seq_read,
    .write = rw_write,
    .unlocked_ioctl = rw_ioctl,
    .poll = rw_poll,
    .llseek = seq_lseek,
    .release = rw_release,
};

int event_release(struct inode *, struct file *) {
    note([](test_state &s) { s.releases++; });
    return 0;
}

bool event_ready() {
    std::lock_guard<std::mutex> g(g_state->m);
    return g_state->event_ready;
}

ssize_t event_read(struct file *file, char __user *buf, size_t count, loff_t *) {
    if (!event_ready()) {
        if (file->f_flags & O_NONBLOCK)
            return -EAGAIN;
        note([](test_state &s) { s.blocked_readers++; });
        int rc = wait_event_interruptible(g_state->event_wq, event_ready());
        note([](test_state &s) { s.blocked_readers--; });
        if (rc)
            return rc;
    }
    static const char ev[] = "event\n";
    size_t n = count < sizeof(ev) - 1 ? count : sizeof(ev) - 1;
    if (copy_to_user(buf, ev, n))
        return -EFAULT;
    note([](test_state &s) { s.event_ready = false; });
    return (ssize_t)n;
}

__poll_t event_poll(struct file *file, poll_table *wait) {
    poll_wait(file, &g_state->event_wq, wait);
    bool ready = event_ready();
    if (!ready)
        note([](test_state &s) { s.event_polls++; });
    return ready ? EPOLLIN | EPOLLRDNORM : 0;
}

const file_operations event_fops = {
    .read = event_read,
    .poll = event_poll,
    .release = event_release,
};

void fire_event() {
    note([](test_state &s) { s.event_ready = true; });
    wake_up(&g_state->event_wq);
}

// ---------------------------------------------------------------------------
// Children. A child reports its failed checks as text through a pipe; the test
// thread turns that text into a test failure.

struct child {
    pid_t pid = -1;
    int report_fd = -1;
};

child spawn(const std::function<std::string()> &body) {
    int p[2];
    if (pipe(p) < 0)
        return {};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        std::string report = body();
        size_t off = 0;
        while (off < report.size()) {
            ssize_t n = write(p[1], report.data() + off, report.size() - off);
            if (n <= 0)
                break;
            off += n;
        }
        _exit(0);
    }
    close(p[1]);
    if (pid < 0) {
        close(p[0]);
        return {};
    }
    return {pid, p[0]};
}

// Waits for the child to end: its report, plus how it ended if not normally.
std::string finish(child &c) {
    if (c.pid < 0)
        return "fork failed\n";
    std::string report;
    char buf[512];
    ssize_t n;
    while ((n = read(c.report_fd, buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            report.append(buf, n);
    close(c.report_fd);
    int status = 0;
    while (waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        report += "child ended by signal " + std::to_string(WTERMSIG(status)) + "\n";
    c.pid = -1;
    return report;
}

template <typename A, typename B>
void check_eq(std::string &r, const A &got, const B &want, const char *what, int line) {
    if (!(got == want)) {
        std::ostringstream o;
        o << "line " << line << ": " << what << " is " << got << ", expected " << want << "\n";
        r += o.str();
    }
}
#define CHILD_EQ(got, want) check_eq(r, (got), (want), #got, __LINE__)
#define CHILD_TRUE(cond)                                                                           \
    do {                                                                                           \
        if (!(cond))                                                                               \
            r += "line " + std::to_string(__LINE__) + ": " #cond " is false\n";                    \
    } while (0)

std::string own_comm() {
    char comm[32] = {};
    FILE *f = fopen("/proc/self/comm", "r");
    if (f) {
        if (!fgets(comm, sizeof(comm), f))
            comm[0] = '\0';
        fclose(f);
    }
    std::string s = comm;
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

void *bad_address() {
    return (void *)(uintptr_t)8;
}

// ---------------------------------------------------------------------------

class NodeTransport : public ::testing::Test {
  protected:
    std::string dir_;
    std::string sock_;
    jxnode::Server server_;
    bool was_virtual_ = false;
    struct proc_dir_entry *procdir_ = nullptr;
    static constexpr const char *RW = "/proc/net/jxtransport/rw";
    static constexpr const char *PUB = "/proc/net/jxtransport/pub";
    static constexpr const char *EVENT = "/proc/net/jxtransport/event";

    void SetUp() override {
        // Client calls wait in real time, as on the node.
        was_virtual_ = rte_clock_is_virtual();
        rte_clock_set_virtual(false);
        g_state = new test_state;
        procdir_ = proc_mkdir("jxtransport", init_net.proc_net);
        ASSERT_NE(procdir_, nullptr);
        ASSERT_NE(proc_create("rw", 0600, procdir_, &rw_fops), nullptr);
        ASSERT_NE(proc_create("pub", 0644, procdir_, &rw_fops), nullptr);
        ASSERT_NE(proc_create("event", 0600, procdir_, &event_fops), nullptr);

        // The server makes both directories (0755, so the unprivileged child
        // reaches the socket through them).
        static int serial;
        dir_ = "/tmp/jxtransport." + std::to_string(getpid()) + "." + std::to_string(++serial);
        sock_ = dir_ + "/run/ctl.sock";
        setenv(JXCTL_SOCKET_ENV, sock_.c_str(), 1);
        ASSERT_EQ(server_.start(sock_), 0);
    }

    void TearDown() override {
        server_.stop();
        remove_proc_subtree("jxtransport", init_net.proc_net);
        unsetenv(JXCTL_SOCKET_ENV);
        rmdir((dir_ + "/run").c_str());
        rmdir(dir_.c_str());
        delete g_state;
        g_state = nullptr;
        rte_clock_set_virtual(was_virtual_);
    }
};

TEST_F(NodeTransport, ChildReadsWritesAndIoctlsThroughItsOwnMemory) {
    child c = spawn([] {
        std::string r;
        int h = jxctl_open(RW, O_RDWR);
        CHILD_TRUE(h >= 0);
        CHILD_EQ(jxctl_poll(h, POLLIN, 0), 0);
        char text[] = "hello from the child";
        CHILD_EQ(jxctl_write(h, text, strlen(text)), (ssize_t)strlen(text));
        CHILD_EQ(jxctl_poll(h, POLLIN | POLLOUT, -1), POLLIN | POLLOUT);

        // A record with a pointer inside: both buffers are the child's.
        char reply[8] = {};
        test_record rec{21, 0, (uintptr_t)reply, sizeof(reply), 0};
        CHILD_EQ(jxctl_ioctl(h, IOC_RECORD, (unsigned long)&rec), 0);
        CHILD_EQ(rec.out, 42u);
        CHILD_EQ(std::string(reply), "pong");
        CHILD_EQ(jxctl_ioctl(h, IOC_VALUE, 41), 42);
        CHILD_EQ(jxctl_ioctl(h, 0x7403, 0), -ENOTTY);

        // A record shorter than the reply is refused, not written past.
        struct {
            u8 rec[8];
            u8 beyond[REPLY_SIZE];
        } mem = {};
        CHILD_EQ(jxctl_ioctl_record(h, IOC_REPLY, mem.rec, sizeof(mem.rec)), -EFAULT);
        CHILD_TRUE(std::all_of(mem.beyond, std::end(mem.beyond), [](u8 b) { return !b; }));

        // Bad addresses fail cleanly, at the top and inside a record.
        CHILD_EQ(jxctl_write(h, bad_address(), 4), -EFAULT);
        CHILD_EQ(jxctl_ioctl(h, IOC_RECORD, (unsigned long)bad_address()), -EFAULT);
        rec.text = (uintptr_t)bad_address();
        CHILD_EQ(jxctl_ioctl(h, IOC_RECORD, (unsigned long)&rec), -EFAULT);
        CHILD_EQ(jxctl_close(h), 0);
        CHILD_EQ(jxctl_read(h, text, sizeof(text)), -EBADF);

        // The read-out, in small pieces.
        h = jxctl_open(RW, O_RDONLY);
        std::string out;
        char piece[7];
        ssize_t n;
        while ((n = jxctl_read(h, piece, sizeof(piece))) > 0)
            out.append(piece, n);
        CHILD_EQ(n, 0);
        CHILD_EQ(out, "last write: hello from the child\n");
        CHILD_EQ(jxctl_write(h, "x", 1), -EBADF); // opened for reading
        jxctl_close(h);
        h = jxctl_open(RW, O_RDONLY);
        CHILD_EQ(jxctl_read(h, bad_address(), 64), -EFAULT);
        jxctl_close(h);

        CHILD_EQ(jxctl_open("/proc/net/jxtransport/none", O_RDONLY), -ENOENT);
        CHILD_EQ(jxctl_open("/proc/net/jxtransport", O_RDONLY), -EISDIR);
        std::string longpath(300, 'a');
        CHILD_EQ(jxctl_open(longpath.c_str(), O_RDONLY), -ENAMETOOLONG);
        return r;
    });
    pid_t child_pid = c.pid;
    EXPECT_EQ(finish(c), "");
    {
        std::lock_guard<std::mutex> g(g_state->m);
        EXPECT_EQ(g_state->last_write, "hello from the child");
        // The kernel side ran as the child: its pid and name, for the log lines.
        EXPECT_EQ(g_state->writer_pid, child_pid);
        EXPECT_EQ(g_state->writer_comm, own_comm());
    }
    // Every open was released, the failed ones never counted.
    EXPECT_TRUE(wait_until([] { return g_state->releases == 3; }));

    // A handle inherited across fork copies from the process that makes the call.
    c = spawn([] {
        std::string r;
        int h = jxctl_open(RW, O_WRONLY);
        char text[32] = "parent";
        pid_t pid = fork();
        if (pid == 0) {
            strcpy(text, "grandchild");
            _exit(jxctl_write(h, text, strlen(text)) == (ssize_t)strlen(text) ? 0 : 1);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        CHILD_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        CHILD_EQ(jxctl_close(h), 0);
        return r;
    });
    child_pid = c.pid;
    EXPECT_EQ(finish(c), "");
    {
        std::lock_guard<std::mutex> g(g_state->m);
        EXPECT_EQ(g_state->last_write, "grandchild");
        EXPECT_NE(g_state->writer_pid, child_pid);
    }

    c = spawn([] {
        std::string r;
        // jxproc sizes its record from the hex, --out and the number.
        auto jxproc = [](std::vector<std::string> args, int *status) {
            char *text = nullptr;
            size_t len = 0;
            FILE *out = open_memstream(&text, &len);
            FILE *err = fopen("/dev/null", "w");
            *status = jxproc_run(args, out, err);
            fclose(out);
            fclose(err);
            std::string s(text, len);
            free(text);
            return s;
        };
        int status = -1;
        CHILD_EQ(jxproc({"ioctl", RW, "80047404", "00"}, &status), "rc=-14\na5a5a5a5\n");
        CHILD_EQ(status, 1);
        std::string whole;
        for (size_t i = 0; i < REPLY_SIZE; i++)
            whole += "a5";
        CHILD_EQ(jxproc({"ioctl", RW, "80047404", "--out", "64"}, &status),
                 "rc=0\n" + whole + "\n");
        CHILD_EQ(status, 0);
        return r;
    });
    EXPECT_EQ(finish(c), "");
}

TEST_F(NodeTransport, CallerCredentialsDecideAccess) {
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to drop to another user";
    // The operators' group may use the socket, as a deployment would set it up.
    ASSERT_EQ(chown(sock_.c_str(), 0, 65534), 0);
    child c = spawn([] {
        std::string r;
        if (setgroups(0, nullptr) || setgid(65534) || setuid(65534))
            return std::string("cannot drop privileges\n");
        CHILD_EQ(jxctl_open(RW, O_RDONLY), -EACCES);
        CHILD_EQ(jxctl_open(PUB, O_WRONLY), -EACCES);
        int h = jxctl_open(PUB, O_RDONLY);
        CHILD_TRUE(h >= 0);
        char buf[128] = {};
        CHILD_TRUE(jxctl_read(h, buf, sizeof(buf) - 1) > 0);
        CHILD_EQ(std::string(buf).rfind("last write:", 0), 0u);
        jxctl_close(h);
        CHILD_EQ(jxctl_link_set("lo", false), -EPERM);
        return r;
    });
    EXPECT_EQ(finish(c), "");

    // Without the group, the socket itself keeps the user out.
    ASSERT_EQ(chown(sock_.c_str(), 0, 0), 0);
    c = spawn([] {
        std::string r;
        if (setgroups(0, nullptr) || setgid(65534) || setuid(65534))
            return std::string("cannot drop privileges\n");
        CHILD_EQ(jxctl_open(PUB, O_RDONLY), -EACCES);
        return r;
    });
    EXPECT_EQ(finish(c), "");
}

TEST_F(NodeTransport, BlockingCallsEndOnSignalHangUpAndStop) {
    // A signal handler without SA_RESTART interrupts a blocking read; the handle
    // stays usable and the next read gets the event.
    child c = spawn([] {
        std::string r;
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigaction(SIGUSR1, &sa, nullptr);
        int h = jxctl_open(EVENT, O_RDONLY);
        char buf[16] = {};
        CHILD_EQ(jxctl_read(h, buf, sizeof(buf)), -EINTR);
        CHILD_EQ(jxctl_poll(h, POLLIN, -1), POLLIN);
        CHILD_EQ(jxctl_read(h, buf, sizeof(buf)), 6);
        CHILD_EQ(std::string(buf), "event\n");
        jxctl_close(h);
        h = jxctl_open(EVENT, O_RDONLY | O_NONBLOCK);
        CHILD_EQ(jxctl_read(h, buf, sizeof(buf)), -EAGAIN);
        jxctl_close(h);
        return r;
    });
    ASSERT_TRUE(wait_until([] { return g_state->blocked_readers == 1; }));
    kill(c.pid, SIGUSR1);
    // The child now polls: the event wakes it.
    ASSERT_TRUE(
        wait_until([] { return g_state->blocked_readers == 0 && g_state->event_polls > 0; }));
    fire_event();
    EXPECT_EQ(finish(c), "");
    EXPECT_TRUE(wait_until([] { return g_state->releases == 2; }));

    // A client that dies in a blocking read has its file released.
    c = spawn([] {
        int h = jxctl_open(EVENT, O_RDONLY);
        char buf[16];
        jxctl_read(h, buf, sizeof(buf));
        return std::string("the read returned\n");
    });
    ASSERT_TRUE(wait_until([] { return g_state->blocked_readers == 1; }));
    kill(c.pid, SIGKILL);
    std::string report = finish(c);
    EXPECT_EQ(report, "child ended by signal 9\n");
    EXPECT_TRUE(wait_until([] { return g_state->blocked_readers == 0 && g_state->releases == 3; }));

    // Stopping the node interrupts a reader and releases its file.
    c = spawn([] {
        std::string r;
        int h = jxctl_open(EVENT, O_RDONLY);
        char buf[16];
        ssize_t n = jxctl_read(h, buf, sizeof(buf));
        CHILD_TRUE(n == -ECONNRESET || n == -EINTR);
        CHILD_EQ(jxctl_close(h), 0);
        CHILD_TRUE(jxctl_node_down(jxctl_open(EVENT, O_RDONLY)));
        return r;
    });
    ASSERT_TRUE(wait_until([] { return g_state->blocked_readers == 1; }));
    server_.stop();
    EXPECT_EQ(finish(c), "");
    std::lock_guard<std::mutex> g(g_state->m);
    EXPECT_EQ(g_state->blocked_readers, 0);
    EXPECT_EQ(g_state->releases, 4);
}

// The test's own netlink protocol: echoes each message to its sender and
// announces it to group 1.
constexpr int TEST_NETLINK = 29;
// Set by the test thread, read by the node's connection threads.
std::atomic<struct sock *> g_nl;

void nl_input(struct sk_buff *skb) {
    const nlmsghdr *in = nlmsg_hdr(skb);
    if (skb->len < (unsigned)NLMSG_HDRLEN || in->nlmsg_len > skb->len)
        return;
    std::string text = "echo:" + std::string((const char *)nlmsg_data(in), nlmsg_len(in));
    u32 portid = NETLINK_CB(skb).portid;
    struct sk_buff *out = nlmsg_new(text.size(), GFP_KERNEL);
    nlmsghdr *nlh = nlmsg_put(out, 0, in->nlmsg_seq, NLMSG_DONE, (int)text.size(), 0);
    memcpy(nlmsg_data(nlh), text.data(), text.size());
    netlink_unicast(g_nl, out, portid, 0);
    out = nlmsg_new(5, GFP_KERNEL);
    nlh = nlmsg_put(out, 0, 0, 0x10, 5, 0);
    memcpy(nlmsg_data(nlh), "bcast", 5);
    netlink_broadcast(g_nl, out, portid, 1, GFP_KERNEL);
}

TEST_F(NodeTransport, NetlinkEndpointsOfAChild) {
    netlink_kernel_cfg cfg{};
    cfg.groups = 1;
    cfg.input = nl_input;
    g_nl = netlink_kernel_create(&init_net, TEST_NETLINK, &cfg);
    ASSERT_NE(g_nl, nullptr);
    child c = spawn([] {
        std::string r;
        unsigned port_a = 0, port_b = 0;
        int a = jxctl_nl_open(TEST_NETLINK, 1, &port_a);
        int b = jxctl_nl_open(TEST_NETLINK, 1, &port_b);
        CHILD_TRUE(a >= 0 && b >= 0);
        CHILD_EQ(port_a, (unsigned)getpid()); // the first endpoint has the pid
        CHILD_TRUE(port_b != port_a && port_b != 0);
        char buf[256];
        CHILD_EQ(jxctl_nl_recv(a, buf, sizeof(buf), 0), -EAGAIN);

        struct {
            nlmsghdr h;
            char text[4];
        } msg{{NLMSG_LENGTH(2), 0, 0, 7, port_a}, {'h', 'i'}};
        CHILD_EQ(jxctl_nl_send(a, &msg, sizeof(msg)), (ssize_t)sizeof(msg));
        ssize_t n = jxctl_nl_recv(a, buf, sizeof(buf), -1);
        CHILD_EQ(n, (ssize_t)NLMSG_SPACE(7));
        nlmsghdr h;
        memcpy(&h, buf, sizeof(h));
        CHILD_EQ(h.nlmsg_type, NLMSG_DONE);
        CHILD_EQ(h.nlmsg_seq, 7u);
        CHILD_EQ(std::string(buf + NLMSG_HDRLEN, 7), "echo:hi");
        // The sender is not told its own broadcast; the other endpoint is.
        CHILD_EQ(jxctl_nl_recv(a, buf, sizeof(buf), 0), -EAGAIN);
        n = jxctl_nl_recv(b, buf, 20, 1000);
        CHILD_EQ(n, 20);
        CHILD_EQ(std::string(buf + NLMSG_HDRLEN, 4), "bcas"); // cut to the buffer
        CHILD_EQ(jxctl_nl_recv(b, buf, sizeof(buf), 0), -EAGAIN);

        CHILD_EQ(jxctl_nl_send(a, bad_address(), 16), -EFAULT);
        CHILD_EQ(jxctl_nl_recv(a, bad_address(), 16, 0), -EAGAIN);
        CHILD_EQ(jxctl_nl_send(b, &msg, sizeof(msg)), (ssize_t)sizeof(msg));
        CHILD_EQ(jxctl_nl_recv(b, bad_address(), 16, -1), -EFAULT);
        // A protocol no kernel socket serves refuses what is sent to it.
        int z = jxctl_nl_open(TEST_NETLINK + 1, 0, nullptr);
        CHILD_EQ(jxctl_nl_send(z, &msg, sizeof(msg)), -ECONNREFUSED);
        jxctl_close(z);
        CHILD_EQ(jxctl_nl_open(32, 0, nullptr), -EINVAL);
        CHILD_EQ(jxctl_close(a), 0);
        CHILD_EQ(jxctl_close(b), 0);
        return r;
    });
    EXPECT_EQ(finish(c), "");
    netlink_kernel_release(g_nl);
    g_nl = nullptr;
}

int dummy_open(struct net_device *) {
    return 0;
}
int dummy_stop(struct net_device *) {
    return 0;
}
const net_device_ops dummy_ops = {.ndo_open = dummy_open, .ndo_stop = dummy_stop};
void dummy_setup(struct net_device *dev) {
    ether_setup(dev);
    dev->netdev_ops = &dummy_ops;
}

TEST_F(NodeTransport, LogAndDevicesOfTheNode) {
    std::string marker = "jxtransport marker " + std::to_string(getpid());
    printk(KERN_INFO "%s\n", marker.c_str());
    struct net_device *dev = alloc_netdev(0, "jxt%d", NET_NAME_ENUM, dummy_setup);
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(register_netdev(dev), 0);
    std::string name = dev->name;
    int ifindex = dev->ifindex;

    child c = spawn([&] {
        std::string r;
        std::string text;
        CHILD_EQ(jxctl_dmesg_text(&text), 0);
        CHILD_TRUE(text.find(marker) != std::string::npos);
        // Too small a buffer: the size needed comes back and nothing is written.
        char small[5] = "abcd";
        ssize_t need = jxctl_dmesg(small, 4);
        CHILD_TRUE(need > 4);
        CHILD_EQ(std::string(small), "abcd");

        std::vector<jxctl_link> links;
        CHILD_EQ(jxctl_links(&links), 0);
        const jxctl_link *mine = nullptr;
        for (const auto &l : links)
            if (name == l.name)
                mine = &l;
        CHILD_TRUE(mine != nullptr);
        if (mine) {
            CHILD_EQ(mine->ifindex, ifindex);
            CHILD_EQ(mine->up, 0);
        }
        jxctl_link one[1];
        CHILD_EQ(jxctl_link_list(one, 0), (ssize_t)links.size());
        CHILD_EQ(jxctl_link_set(name.c_str(), true), 0);
        CHILD_EQ(jxctl_links(&links), 0);
        for (const auto &l : links)
            if (name == l.name)
                CHILD_TRUE(l.up && (l.flags & IFF_UP));
        CHILD_EQ(jxctl_link_set("nosuchdev", true), -ENODEV);
        CHILD_EQ(jxctl_link_set("", true), -EINVAL);
        CHILD_EQ(jxctl_link_set("averyveryverylongname", true), -EINVAL);
        return r;
    });
    EXPECT_EQ(finish(c), "");
    EXPECT_TRUE(dev->flags & IFF_UP);
    unregister_netdev(dev);
    free_netdev(dev);
}

TEST_F(NodeTransport, NonBlockingAndRewindAfterOpen) {
    child c = spawn([] {
        std::string r;
        int ev = jxctl_open(EVENT, O_RDONLY);
        char buf[64];
        CHILD_EQ(jxctl_setfl(ev, O_NONBLOCK), 0);
        CHILD_EQ(jxctl_read(ev, buf, sizeof(buf)), -EAGAIN);
        CHILD_EQ(jxctl_lseek(ev, 0, SEEK_SET), -ESPIPE); // no llseek
        CHILD_EQ(jxctl_close(ev), 0);

        int h = jxctl_open(RW, O_RDWR);
        CHILD_EQ(jxctl_write(h, "again", 5), 5);
        ssize_t n = jxctl_read(h, buf, sizeof(buf));
        CHILD_EQ(std::string(buf, n > 0 ? n : 0), "last write: again\n");
        CHILD_EQ(jxctl_read(h, buf, sizeof(buf)), 0);
        CHILD_EQ(jxctl_lseek(h, 0, SEEK_SET), 0);
        CHILD_EQ(jxctl_read(h, buf, sizeof(buf)), n);
        CHILD_EQ(jxctl_lseek(h, 3, SEEK_SET), -EINVAL);
        CHILD_EQ(jxctl_close(h), 0);
        return r;
    });
    EXPECT_EQ(finish(c), "");
}

// A program that knows nothing of the node, under the preload library: its
// netlink socket of a protocol the host refuses is an endpoint in the node.
TEST_F(NodeTransport, PreloadedProgramOnANodeNetlinkProtocol) {
    const char *bin = getenv("JX_BIN_DIR");
    std::string lib = std::string(bin ? bin : ".") + "/libjxpreload.so";
    if (access(lib.c_str(), R_OK) || access("/usr/bin/python3", X_OK))
        GTEST_SKIP() << "needs " << lib << " and python3";
    netlink_kernel_cfg cfg{};
    cfg.groups = 1;
    cfg.input = nl_input;
    g_nl = netlink_kernel_create(&init_net, TEST_NETLINK, &cfg);
    ASSERT_NE(g_nl, nullptr);
    static const char script[] = R"(
import os, select, socket, struct
a = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 29)
b = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 29)
a.bind((0, 1))
b.bind((0, 1))
assert a.getsockname()[0] == os.getpid(), a.getsockname()
p = select.poll()
p.register(a, select.POLLIN)
assert p.poll(0) == []
a.send(struct.pack("=IHHII", 18, 0, 0, 7, 0) + b"hi")
assert p.poll(5000) == [(a.fileno(), select.POLLIN)]
m = a.recv(256)
assert struct.unpack_from("=I", m, 8)[0] == 7 and m[16:23] == b"echo:hi", m
assert b.recv(256)[16:21] == b"bcast"
a.setblocking(False)
try:
    a.recv(256)
    raise AssertionError("empty endpoint answered")
except BlockingIOError:
    pass
print("ok", end="")
)";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        setenv("LD_PRELOAD", lib.c_str(), 1);
        execl("/usr/bin/python3", "python3", "-c", script, (char *)nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof(buf))) > 0)
        got.append(buf, n);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(got, "ok");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    netlink_kernel_release(g_nl);
    g_nl = nullptr;
}

TEST(NodeTransportSocket, NodeNotRunningAndSocketClaims) {
    char tmpl[] = "/tmp/jxtransport.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    std::string sock = dir + "/ctl.sock";
    setenv(JXCTL_SOCKET_ENV, sock.c_str(), 1);
    unsigned port;
    EXPECT_EQ(jxctl_open("/proc/net/x", O_RDONLY), -JXCTL_ENODE);
    EXPECT_EQ(jxctl_nl_open(29, 0, &port), -JXCTL_ENODE);
    EXPECT_EQ(jxctl_link_set("lo", true), -JXCTL_ENODE);
    EXPECT_EQ(jxctl_dmesg(nullptr, 0), -JXCTL_ENODE);

    // A socket file left behind by a node that died: nobody answers, and a new
    // node takes its place.
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, sock.c_str());
    ASSERT_EQ(bind(fd, (const sockaddr *)&sa, sizeof(sa)), 0);
    close(fd);
    EXPECT_EQ(jxctl_open("/proc/net/x", O_RDONLY), -JXCTL_ENODE);
    {
        jxnode::Server a;
        ASSERT_EQ(a.start(sock), 0);
        EXPECT_EQ(jxctl_open("/proc/net/x", O_RDONLY), -ENOENT);
        jxnode::Server b;
        EXPECT_EQ(b.start(sock), -EADDRINUSE);
        EXPECT_EQ(a.start(sock), -EBUSY);
    }
    EXPECT_NE(access(sock.c_str(), F_OK), 0); // removed on stop

    // Not a socket: left alone.
    FILE *f = fopen(sock.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    jxnode::Server c;
    EXPECT_EQ(c.start(sock), -EEXIST);
    unlink(sock.c_str());
    unsetenv(JXCTL_SOCKET_ENV);
    rmdir(dir.c_str());
}

} // namespace
