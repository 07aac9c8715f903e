// The kernel layer where it carries risk: time, threads, user copies, proc files.
#include "jxtest.h"

#include "kernel/netdevice.h"
#include "kernel/proc_fs.h"
#include "kernel/uaccess.h"
#include "kernel/workqueue.h"

#include <atomic>
#include <thread>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct tick_probe {
    timer_list t;
    int runs = 0;
    unsigned long at = 0;
};

void tick_cb(timer_list *t) {
    auto *p = container_of(t, tick_probe, t);
    p->runs++;
    p->at = jiffies;
}

} // namespace

TEST(KernelTime, TimersFireOnTheVirtualClock) {
    rte_clock_set_virtual(true);
    tick_probe a, b;
    timer_setup(&a.t, tick_cb, 0);
    timer_setup(&b.t, tick_cb, 0);
    unsigned long now = jiffies;
    EXPECT_EQ(mod_timer(&a.t, now + 10), 0);
    EXPECT_EQ(mod_timer(&b.t, now + 5), 0);
    EXPECT_EQ(mod_timer(&b.t, now + 20), 1); // re-arming a pending timer
    rte_clock_advance(9);
    EXPECT_EQ(a.runs, 0);
    rte_clock_advance(1);
    EXPECT_EQ(a.runs, 1);
    EXPECT_EQ(a.at, now + 10);
    EXPECT_FALSE(timer_pending(&a.t));
    EXPECT_TRUE(timer_pending(&b.t));
    EXPECT_EQ(del_timer_sync(&b.t), 1);
    rte_clock_advance(100);
    EXPECT_EQ(b.runs, 0);
    EXPECT_EQ(HZ, 250);
    EXPECT_EQ(msecs_to_jiffies(1000), 250u);
    // Wall time moves with the virtual clock.
    s64 t0 = ktime_get_real_seconds();
    rte_clock_advance(250 * 60);
    EXPECT_EQ(ktime_get_real_seconds() - t0, 60);
}

namespace {

struct hr_probe {
    hrtimer t;
    std::atomic<int> runs{0};
    int restarts = 0;
};

enum hrtimer_restart hr_cb(hrtimer *t) {
    auto *p = container_of(t, hr_probe, t);
    p->runs++;
    if (p->restarts-- <= 0)
        return HRTIMER_NORESTART;
    t->expires += 3000000; // 3 ms on
    return HRTIMER_RESTART;
}

} // namespace

TEST(KernelTime, HighResolutionTimers) {
    // Virtual clock: fired at the first jiffy that reaches the expiry, restarts honoured.
    rte_clock_set_virtual(true);
    hr_probe a;
    hrtimer_init(&a.t, 1, HRTIMER_MODE_ABS);
    a.t.function = hr_cb;
    a.restarts = 1;
    hrtimer_start(&a.t, 5000000, HRTIMER_MODE_REL); // 5 ms: the second 4 ms jiffy
    rte_clock_advance(1);
    EXPECT_EQ(a.runs, 0);
    rte_clock_advance(1);
    EXPECT_EQ(a.runs, 1);
    EXPECT_TRUE(hrtimer_active(&a.t));
    rte_clock_advance(2);
    EXPECT_EQ(a.runs, 2);
    EXPECT_FALSE(hrtimer_active(&a.t));
    hrtimer_start(&a.t, 1000000, HRTIMER_MODE_REL);
    EXPECT_EQ(hrtimer_cancel(&a.t), 1);
    rte_clock_advance(10);
    EXPECT_EQ(a.runs, 2);
    // Real clock: a timer well under a jiffy fires on the timer thread.
    rte_clock_set_virtual(false);
    hr_probe b;
    hrtimer_init(&b.t, 1, HRTIMER_MODE_ABS);
    b.t.function = hr_cb;
    hrtimer_start(&b.t, 200000, HRTIMER_MODE_REL);
    for (int i = 0; i < 5000 && !b.runs; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(b.runs, 1);
    hrtimer_cancel(&b.t);
}

namespace {

struct sleeper {
    std::atomic<int> wakes{0};
    std::atomic<unsigned long> woke_at{0};
    long ticks = 0;
};

int sleeper_main(void *data) {
    auto *s = (sleeper *)data;
    while (!kthread_should_stop()) {
        schedule_timeout_interruptible(s->ticks);
        s->woke_at = jiffies;
        s->wakes++;
    }
    return 7;
}

struct work_probe {
    work_struct w;
    std::atomic<int> runs{0};
};

void work_fn(work_struct *w) {
    container_of(w, work_probe, w)->runs++;
}

} // namespace

TEST(KernelThreads, SleepWakeAndSettle) {
    rte_clock_set_virtual(true);
    sleeper s;
    s.ticks = 100;
    task_struct *t = kthread_run(sleeper_main, &s, "sleeper/%d", 3);
    ASSERT_TRUE(rte_settle());
    EXPECT_STREQ(t->comm, "sleeper/3");
    unsigned long start = jiffies;
    rte_clock_advance(99);
    EXPECT_EQ(s.wakes, 0);
    rte_clock_advance(1);
    EXPECT_EQ(s.wakes, 1);
    EXPECT_EQ(s.woke_at, start + 100);
    // An early wake-up ends the sleep at once.
    wake_up_process(t);
    ASSERT_TRUE(rte_settle());
    EXPECT_EQ(s.wakes, 2);
    EXPECT_EQ(kthread_stop(t), 7);

    // Work items run on the system workqueue, once per scheduling.
    work_probe item;
    INIT_WORK(&item.w, work_fn);
    EXPECT_TRUE(schedule_work(&item.w));
    flush_work(&item.w);
    EXPECT_EQ(item.runs, 1);
    EXPECT_TRUE(schedule_work(&item.w));
    ASSERT_TRUE(rte_settle());
    EXPECT_EQ(item.runs, 2);
}

TEST(KernelThreads, WakeUpsInsideATransmitBatchWaitForItsEnd) {
    rte_clock_set_virtual(true);
    sleeper s;
    s.ticks = MAX_SCHEDULE_TIMEOUT;
    task_struct *t = kthread_run(sleeper_main, &s, "batchwake/%d", 0);
    ASSERT_TRUE(rte_settle());
    ASSERT_EQ(s.wakes, 0);

    // A burst wakes the thread once, when the batch ends; nested pairs at the
    // outermost end.
    rte_xmit_batch_begin();
    rte_xmit_batch_begin();
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(wake_up_process(t), 1);
    rte_xmit_batch_end();
    ASSERT_TRUE(rte_settle());
    EXPECT_EQ(s.wakes, 0);
    rte_xmit_batch_end();
    ASSERT_TRUE(rte_settle());
    EXPECT_EQ(s.wakes, 1);

    // A thread about to sleep, or to wait for the worker, wakes first what it
    // deferred: otherwise it could wait for a thread it never woke.
    work_probe item;
    INIT_WORK(&item.w, work_fn);
    EXPECT_TRUE(schedule_work(&item.w)); // the worker exists and sleeps
    flush_work(&item.w);
    ASSERT_TRUE(rte_settle());
    rte_xmit_batch_begin();
    wake_up_process(t);
    set_current_state(TASK_RUNNING);
    schedule_timeout(1);
    ASSERT_TRUE(rte_settle());
    EXPECT_EQ(s.wakes, 2);
    EXPECT_TRUE(schedule_work(&item.w));
    flush_work(&item.w);
    EXPECT_EQ(item.runs, 2);

    // A thread stopped while a wake-up for it is deferred is not woken after it is gone.
    wake_up_process(t);
    EXPECT_EQ(kthread_stop(t), 7);
    rte_xmit_batch_end();
    ASSERT_TRUE(rte_settle());
}

// Threads that meet on one lock lose no update and see each other's writes
// (a plain counter: ThreadSanitizer reports any access the lock does not order).
TEST(KernelThreads, LocksExcludeUnderContention) {
    static struct mutex mu;
    static spinlock_t sl;
    long by_mutex = 0, by_spinlock = 0;
    constexpr int kThreads = 4, kRounds = 20000;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; t++)
        ts.emplace_back([&] {
            for (int i = 0; i < kRounds; i++) {
                mutex_lock(&mu);
                by_mutex++;
                mutex_unlock(&mu);
                unsigned long flags;
                spin_lock_irqsave(&sl, flags);
                by_spinlock++;
                spin_unlock_irqrestore(&sl, flags);
            }
        });
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(by_mutex, long(kThreads) * kRounds);
    EXPECT_EQ(by_spinlock, long(kThreads) * kRounds);
    mutex_lock(&mu);
    std::thread([&] { EXPECT_EQ(mutex_trylock(&mu), 0); }).join();
    mutex_unlock(&mu);
    EXPECT_EQ(mutex_trylock(&mu), 1);
    mutex_unlock(&mu);
}

namespace {

char shared_buf[64];

} // namespace

TEST(KernelUserCopies, AcrossProcessesAndBadAddresses) {
    int to_child[2], to_parent[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(to_parent), 0);
    memset(shared_buf, 0, sizeof(shared_buf));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child's copy of the buffer differs from the parent's at the same address.
        strcpy(shared_buf, "from the child");
        char c = 'r';
        if (write(to_parent[1], &c, 1) != 1)
            _exit(2);
        if (read(to_child[0], &c, 1) != 1)
            _exit(2);
        _exit(strcmp(shared_buf, "written by the kernel") == 0 ? 0 : 1);
    }
    char c;
    ASSERT_EQ(read(to_parent[0], &c, 1), 1);
    task_struct *t = current;
    int own = t->user_pid;
    t->user_pid = child;
    char got[64] = {};
    EXPECT_EQ(copy_from_user(got, shared_buf, sizeof(got)), 0u);
    EXPECT_STREQ(got, "from the child");
    EXPECT_STREQ(shared_buf, ""); // ours is untouched
    const char msg[] = "written by the kernel";
    EXPECT_EQ(copy_to_user(shared_buf, msg, sizeof(msg)), 0u);
    EXPECT_EQ(strncpy_from_user(got, shared_buf, sizeof(got)), (long)strlen(msg));
    t->user_pid = own;
    ASSERT_EQ(write(to_child[1], "g", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // Bad addresses in our own memory fail without harm.
    EXPECT_EQ(copy_from_user(got, (void *)8, 4), 4u);
    EXPECT_EQ(copy_to_user((void *)8, got, 4), 4u);
    EXPECT_EQ(strncpy_from_user(got, (const char *)8, 4), -EFAULT);
    // A copy that runs off the end of a mapping reports the bytes it could not do.
    long page = sysconf(_SC_PAGESIZE);
    char *m = (char *)aligned_alloc(page, 2 * page);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(copy_from_user(got, m + page - 8, 8), 0u);
    free(m);
    // A string that ends inside a caller's short record is read whole; one
    // that runs past the record's end is a fault.
    char rec[6] = "eth12";
    t->user_rec = (uintptr_t)rec;
    t->user_rec_size = sizeof(rec);
    EXPECT_EQ(strncpy_from_user(got, rec, 17), 5);
    rec[5] = 'x';
    EXPECT_EQ(strncpy_from_user(got, rec, 17), -EFAULT);
    t->user_rec = 0;
    t->user_rec_size = 0;
    for (int fd : {to_child[0], to_child[1], to_parent[0], to_parent[1]})
        close(fd);
}

namespace {

std::atomic<int> releases{0};
DECLARE_WAIT_QUEUE_HEAD(probe_wq);

int probe_show(seq_file *m, void *) {
    for (int i = 0; i < 100; i++)
        seq_printf(m, "line %d of %s\n", i, (const char *)m->private_data);
    return 0;
}
int probe_open(inode *i, file *f) {
    return single_open(f, probe_show, PDE_DATA(i));
}
int probe_release(inode *i, file *f) {
    releases++;
    return single_release(i, f);
}
ssize_t probe_block_read(file *, char __user *, size_t, loff_t *) {
    // Never satisfied: only the entry's removal ends the wait.
    int rc = wait_event_interruptible(probe_wq, false);
    return rc ? -EINTR : 0;
}
const file_operations probe_fops = {
    .open = probe_open, .read = seq_read, .llseek = seq_lseek, .release = probe_release};
const file_operations blocking_fops = {.read = probe_block_read};

} // namespace

TEST(KernelProc, SequenceFilesAndRemovalWhileOpen) {
    releases = 0;
    proc_dir_entry *dir = proc_mkdir("probe", init_net.proc_net);
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(proc_mkdir("probe", init_net.proc_net), nullptr); // no duplicates
    char name[] = "seq";
    ASSERT_NE(proc_create_data("seq", 0644, dir, &probe_fops, name), nullptr);
    std::string text = jxtest::proc_cat("/proc/net/probe/seq");
    EXPECT_EQ(jxtest::lines_of(text).size(), 100u);
    EXPECT_EQ(jxtest::lines_of(text)[99], "line 99 of seq");
    EXPECT_EQ(releases, 1);
    struct file *f = nullptr;
    EXPECT_EQ(rte_vfs_open("/proc/net/probe", O_RDONLY, &f), -EISDIR);
    EXPECT_EQ(rte_vfs_open("/proc/net/probe/none", O_RDONLY, &f), -ENOENT);

    // Open, read a little, then the entry goes: the file is released once and
    // further operations fail instead of reaching freed state.
    ASSERT_EQ(rte_vfs_open("/proc/net/probe/seq", O_RDONLY, &f), 0);
    char buf[16];
    EXPECT_EQ(rte_vfs_read(f, buf, sizeof(buf)), 16);
    remove_proc_entry("probe", init_net.proc_net);
    EXPECT_EQ(releases, 2);
    EXPECT_EQ(rte_vfs_read(f, buf, sizeof(buf)), -EIO);
    EXPECT_EQ(rte_vfs_ioctl(f, 1, 0), -EIO);
    EXPECT_EQ(rte_vfs_close(f), 0);
    EXPECT_EQ(releases, 2);
    EXPECT_EQ(rte_proc_lookup("/proc/net/probe/seq"), nullptr);

    // A reader asleep inside the file is woken by the removal.
    proc_dir_entry *blk = proc_create("blocking", 0600, init_net.proc_net, &blocking_fops);
    ASSERT_NE(blk, nullptr);
    ASSERT_EQ(rte_vfs_open("/proc/net/blocking", O_RDONLY, &f), 0);
    std::atomic<long> result{1};
    std::thread reader([&] { result = rte_vfs_read(f, buf, sizeof(buf)); });
    while (!waitqueue_active(&probe_wq))
        std::this_thread::yield();
    proc_remove(blk);
    reader.join();
    EXPECT_EQ(result, -EINTR);
    rte_vfs_close(f);
}
