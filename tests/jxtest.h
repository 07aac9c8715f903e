// In-process test harness: a fresh module load per test on the virtual clock,
// and the control files driven through the same file operations a tool uses.
#pragma once

#include "kernel/module.h"
#include "kernel/printk.h"
#include "kernel/sched.h"
#include "kernel/skbuff.h"
#include "kernel/time.h"
#include "kernel/vfs.h"
#include "linecard/linecard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <string>
#include <thread>
#include <vector>

namespace jxtest {

// Opens, writes one buffer, closes: the write's answer, or the open's error.
inline long proc_write(const std::string &path, const std::string &text) {
    return rte_vfs_write_once(path.c_str(), text.data(), text.size());
}

inline std::string proc_cat(const std::string &path) {
    struct file *f = nullptr;
    if (rte_vfs_open(path.c_str(), O_RDONLY, &f))
        return "<no such file>";
    std::string out;
    char buf[97]; // an odd size, so readers that fetch in pieces are exercised
    long n;
    while ((n = rte_vfs_read(f, buf, sizeof(buf))) > 0)
        out.append(buf, n);
    rte_vfs_close(f);
    return out;
}

inline long proc_ioctl(const std::string &path, unsigned cmd, unsigned long arg) {
    struct file *f = nullptr;
    int rc = rte_vfs_open(path.c_str(), O_RDONLY, &f);
    if (rc)
        return rc;
    long r = rte_vfs_ioctl(f, cmd, arg);
    rte_vfs_close(f);
    return r;
}

inline std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = text.size();
        out.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

// Whether text matches pattern whole: '?' is one digit, '*' any run of characters.
inline bool like(const char *t, const char *p) {
    if (!*p)
        return !*t;
    if (*p == '*') {
        for (;; t++) {
            if (like(t, p + 1))
                return true;
            if (!*t)
                return false;
        }
    }
    if (!*t)
        return false;
    if (*p == '?' ? isdigit((unsigned char)*t) : *p == *t)
        return like(t + 1, p + 1);
    return false;
}
inline bool like(const std::string &t, const std::string &p) {
    return like(t.c_str(), p.c_str());
}

// Loads jxbridge_mod with the given parameters on the virtual clock; unloads it
// afterwards and checks that no frame was left behind.
class ModuleTest : public ::testing::Test {
  protected:
    std::vector<std::string> params_;
    u64 log_from_ = 0;

    void SetUp() override {
        rte_clock_set_virtual(true);
        linecard_memory_init();
        log_from_ = rte_log_next_seq();
        ASSERT_EQ(rte_module_load("jxbridge_mod", params_), 0);
        rte_settle();
    }
    void TearDown() override {
        rte_modules_unload_all();
        linecard_memory_fini();
        rte_skb_pool_stats s = rte_skb_pool_get_stats();
        EXPECT_EQ(s.skbs_in_use, 0u);
        EXPECT_EQ(s.buffers_in_use, 0u);
    }
    size_t logged(const std::string &needle) { return rte_log_count(needle, log_from_); }
    std::string log_text() {
        std::string out;
        for (auto &r : rte_log_read(log_from_))
            out += r.text;
        return out;
    }
};

// Waits, without sleeping, until the task is asleep in a wait.
inline void until_asleep(task_struct *t) {
    while (!rte_task_idle(t))
        std::this_thread::yield();
}

// A read of f in a thread of its own: constructed once the reader sleeps in
// the read; join() gives what the read returned.
class BlockedReader {
  public:
    explicit BlockedReader(struct file *f) {
        t_ = std::thread([this, f] {
            who_ = current;
            char buf[256];
            rc_ = rte_vfs_read(f, buf, sizeof(buf));
            if (rc_ > 0)
                text_.assign(buf, rc_);
            current->sigpending = false;
            done_ = true;
        });
        while (!who_)
            std::this_thread::yield();
        until_asleep(who_);
    }
    ~BlockedReader() {
        if (t_.joinable())
            t_.join();
    }
    task_struct *task() const { return who_; }
    bool done() const { return done_; }
    long join() {
        t_.join();
        return rc_;
    }
    const std::string &text() const { return text_; }

  private:
    std::thread t_;
    std::atomic<task_struct *> who_{nullptr};
    std::atomic<bool> done_{false};
    long rc_ = 0;
    std::string text_;
};

} // namespace jxtest
