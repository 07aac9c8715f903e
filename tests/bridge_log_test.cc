// Log objects as another module uses them: a named file, readers that each
// get every line from their open on, bounded memory, blocking and poll.
#include "jxtest.h"

#include "sources/jxbridge/jxbridge.h"

#include <atomic>
#include <cctype>
#include <thread>

using namespace jxtest;

namespace {

const char *const LOG_PATH = "/proc/net/jxbridge/testlog";

class LogTest : public ModuleTest {
  protected:
    jxbridge_log_obj *log = nullptr;
    int data_word = 7;

    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(
            jxbridge_log_add(jxbridge_proc_root, "testlog", "Header line\n", &data_word, &log), 0);
        ASSERT_NE(log, nullptr);
    }
    void TearDown() override {
        if (log) {
            EXPECT_EQ(jxbridge_log_del(log), 0);
        }
        ModuleTest::TearDown();
    }
    struct file *open_log(unsigned flags = O_RDONLY | O_NONBLOCK) {
        struct file *f = nullptr;
        EXPECT_EQ(rte_vfs_open(LOG_PATH, flags, &f), 0);
        return f;
    }
};

// Everything a non-blocking reader has now; the read that ends it must be -EAGAIN.
std::string drain(struct file *f) {
    std::string out;
    std::vector<char> buf(70000);
    long n;
    while ((n = rte_vfs_read(f, buf.data(), buf.size())) > 0)
        out.append(buf.data(), n);
    EXPECT_EQ(n, -EAGAIN);
    return out;
}

} // namespace

TEST_F(LogTest, ReadersGetTheHeaderThenTheLinesLoggedWhileOpen) {
    // Nobody listens: nothing is done.
    EXPECT_EQ(jxbridge_log_(log, "lost %d\n", 1), 0);

    struct file *a = open_log();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(jxbridge_log_(log, "one %s\n", "x"), 6);
    struct file *b = open_log(O_RDWR | O_NONBLOCK);
    ASSERT_NE(b, nullptr);
    // A file opened after lines were logged starts with the header only.
    EXPECT_EQ(drain(b), "Header line\n");
    EXPECT_EQ(rte_vfs_poll(b, POLLIN, 0), 0);
    EXPECT_EQ(jxbridge_log_(log, "two\n"), 4);
    EXPECT_EQ(rte_vfs_poll(b, POLLIN, 0), (int)POLLIN);

    // Reading in small pieces gives the same text, in order.
    std::string got;
    char piece[5];
    long n;
    while ((n = rte_vfs_read(a, piece, sizeof(piece))) > 0)
        got.append(piece, n);
    EXPECT_EQ(n, -EAGAIN);
    EXPECT_EQ(got, "Header line\none x\ntwo\n");
    EXPECT_EQ(drain(b), "two\n");
    EXPECT_EQ(rte_vfs_read(b, piece, 0), 0);

    // A written line is taken and changes nothing; an over-long one is refused.
    EXPECT_EQ(rte_vfs_write(b, "hello\nrest", 10), 6);
    EXPECT_EQ(rte_vfs_write(b, std::string(200, 'w').data(), 200), -EINVAL);
    EXPECT_EQ(rte_vfs_poll(b, POLLIN, 0), 0);

    // A bad buffer fails the read without losing the text.
    EXPECT_EQ(jxbridge_log_(log, "kept\n"), 5);
    EXPECT_EQ(rte_vfs_read(b, (char *)8, 10), -EFAULT);
    EXPECT_EQ(drain(b), "kept\n");
    EXPECT_EQ(drain(a), "kept\n");

    void *data = nullptr;
    EXPECT_EQ(jxbridge_log_data(log, &data), 0);
    EXPECT_EQ(data, &data_word);

    // Deleting the object takes its file, and the open files with it.
    EXPECT_EQ(jxbridge_log_del(log), 0);
    log = nullptr;
    EXPECT_EQ(rte_vfs_read(a, piece, sizeof(piece)), -EIO);
    struct file *c = nullptr;
    EXPECT_EQ(rte_vfs_open(LOG_PATH, O_RDONLY, &c), -ENOENT);
    rte_vfs_close(a);
    rte_vfs_close(b);
}

TEST_F(LogTest, ObjectsCheckTheirArguments) {
    EXPECT_EQ(jxbridge_log_del(nullptr), -ENOENT);
    EXPECT_EQ(jxbridge_log_printk_set(nullptr, 1), -ENOENT);
    EXPECT_EQ(jxbridge_log_add_timestamp_set(nullptr, 1), -ENOENT);
    void *data;
    EXPECT_EQ(jxbridge_log_data(nullptr, &data), -ENOENT);
    EXPECT_EQ(jxbridge_log_(nullptr, "x\n"), -ENOENT);
    EXPECT_EQ(jxbridge_log_ts(nullptr, "x\n"), -ENOENT);
    EXPECT_EQ(jxbridge_log(nullptr, "x\n"), -ENOENT);

    // The same name twice: the file cannot be made.
    jxbridge_log_obj *other = (jxbridge_log_obj *)1;
    EXPECT_EQ(jxbridge_log_add(jxbridge_proc_root, "testlog", nullptr, nullptr, &other), -ENOBUFS);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(jxbridge_log_add(jxbridge_proc_root, "", nullptr, nullptr, &other), -EINVAL);

    // Without a header a new reader starts empty.
    ASSERT_EQ(jxbridge_log_add(jxbridge_proc_root, "plain", nullptr, nullptr, &other), 0);
    struct file *f = nullptr;
    ASSERT_EQ(rte_vfs_open("/proc/net/jxbridge/plain", O_RDONLY | O_NONBLOCK, &f), 0);
    char c;
    EXPECT_EQ(rte_vfs_read(f, &c, 1), -EAGAIN);
    EXPECT_EQ(jxbridge_log_(other, "%s", "z"), 1);
    EXPECT_EQ(rte_vfs_read(f, &c, 1), 1);
    EXPECT_EQ(c, 'z');
    rte_vfs_close(f);
    EXPECT_EQ(jxbridge_log_del(other), 0);
}

TEST_F(LogTest, LongLinesAreCutAndAFullReaderCountsWhatItDrops) {
    struct file *f = open_log();
    ASSERT_NE(f, nullptr);
    drain(f);
    std::string line(2000, 'a');
    line[1014] = 'b';
    line[1015] = 'c';
    EXPECT_EQ(jxbridge_log_(log, "%s", line.c_str()), 1015);
    std::string got = drain(f);
    EXPECT_EQ(got.size(), 1015u);
    EXPECT_EQ(got.back(), 'b');

    // A reader that never reads holds at most 2500 chunks of 1016 bytes:
    // 2502 lines of 1015 characters fit, the rest are refused whole.
    struct file *slow = open_log();
    ASSERT_NE(slow, nullptr);
    drain(slow); // the header
    std::string full(1015, 'x');
    size_t read_by_f = 0;
    for (int i = 0; i < 3000; i++) {
        EXPECT_EQ(jxbridge_log_(log, "%s", full.c_str()), 1015);
        if (i % 100 == 99)
            read_by_f += drain(f).size();
    }
    // A short line still fits in the last chunk's room.
    EXPECT_EQ(jxbridge_log_(log, "end\n"), 4);
    std::string kept = drain(slow);
    EXPECT_EQ(kept.size(), 2502u * 1015 + 4);
    EXPECT_EQ(kept.substr(kept.size() - 5), "xend\n");
    // A reader that keeps reading is not limited by the slow one.
    read_by_f += drain(f).size();
    EXPECT_EQ(read_by_f, 3000u * 1015 + 4);
    rte_vfs_close(slow);
    rte_vfs_close(f);
}

TEST_F(LogTest, TimestampsAndKernelLogCopies) {
    struct file *f = open_log();
    ASSERT_NE(f, nullptr);
    drain(f);
    const std::string stamped = "??:??:??.????????? hello 3\n";
    EXPECT_GT(jxbridge_log_ts(log, "hello %d\n", 3), 19);
    EXPECT_TRUE(like(drain(f), stamped));
    EXPECT_EQ(jxbridge_log(log, "hello %d\n", 3), 8);
    EXPECT_EQ(drain(f), "hello 3\n");
    EXPECT_EQ(jxbridge_log_add_timestamp_set(log, 1), 0);
    jxbridge_log(log, "hello %d\n", 3);
    EXPECT_TRUE(like(drain(f), stamped));
    // The untimestamped form stays plain whatever the switch says.
    jxbridge_log_(log, "plain\n");
    EXPECT_EQ(drain(f), "plain\n");
    rte_vfs_close(f);

    // With printk on, lines reach the kernel log even with no reader open.
    EXPECT_EQ(jxbridge_log_printk_set(log, 1), 0);
    EXPECT_EQ(jxbridge_log_(log, "to the kernel log %d\n", 42), 21);
    EXPECT_EQ(logged("to the kernel log 42\n"), 1u);
    EXPECT_EQ(jxbridge_log_printk_set(log, 0), 0);
    EXPECT_EQ(jxbridge_log_(log, "not any more\n"), 0);
    EXPECT_EQ(logged("not any more"), 0u);

    // The timestamp writer is always terminated, however small the buffer.
    char small[8];
    memset(small, 'Z', sizeof(small));
    jxbridge_log_timestamp(small, sizeof(small), "text");
    EXPECT_EQ(strlen(small), 7u);
    char big[64];
    jxbridge_log_timestamp(big, sizeof(big), "text");
    EXPECT_TRUE(like(big, "??:??:??.????????? text"));
}

TEST_F(LogTest, BlockingReadersWakeOnALineAndStopOnASignal) {
    // A blocked reader is woken by the next line.
    {
        struct file *f = open_log(O_RDONLY);
        ASSERT_NE(f, nullptr);
        char hdr[64];
        ASSERT_EQ(rte_vfs_read(f, hdr, sizeof(hdr)), 12); // the header, without waiting
        BlockedReader r(f);
        EXPECT_EQ(jxbridge_log_(log, "wake up\n"), 8);
        EXPECT_EQ(r.join(), 8);
        EXPECT_EQ(r.text(), "wake up\n");
        rte_vfs_close(f);
    }
    // A signal ends the wait with -ERESTARTSYS, never with 0.
    {
        struct file *f = open_log(O_RDONLY);
        ASSERT_NE(f, nullptr);
        char hdr[64];
        rte_vfs_read(f, hdr, sizeof(hdr));
        BlockedReader r(f);
        r.task()->sigpending = true;
        wake_up_process(r.task());
        EXPECT_EQ(r.join(), -ERESTARTSYS);
        rte_vfs_close(f);
    }
    // Deleting the object does not wait for a blocked reader's next line.
    {
        struct file *f = open_log(O_RDONLY);
        ASSERT_NE(f, nullptr);
        char hdr[64];
        rte_vfs_read(f, hdr, sizeof(hdr));
        BlockedReader r(f);
        EXPECT_EQ(jxbridge_log_del(log), 0);
        log = nullptr;
        EXPECT_EQ(r.join(), -ERESTARTSYS);
        rte_vfs_close(f);
    }
}

TEST_F(LogTest, ABlockedReaderLooksAgainAfterItsRecheckInterval) {
    struct file *f = open_log(O_RDONLY);
    ASSERT_NE(f, nullptr);
    char hdr[64];
    rte_vfs_read(f, hdr, sizeof(hdr));
    BlockedReader r(f);
    // Its wait times out and it waits again: no text, no answer.
    rte_clock_advance(1250);
    until_asleep(r.task());
    EXPECT_FALSE(r.done());
    jxbridge_log_(log, "late\n");
    EXPECT_EQ(r.join(), 5);
    rte_vfs_close(f);
}
