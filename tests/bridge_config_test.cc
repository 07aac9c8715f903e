// The global control file, driven as a tool drives it.
#include "jxtest.h"

#include "kernel/netdevice.h"
#include "kernel/slab.h"
#include "sources/jxbridge/jxbridge.h"
#include "sources/jxbridge/jxbridge_ioctl.h"

#include <unistd.h>

using namespace jxtest;

namespace {

const char *const CONFIG = "/proc/net/jxbridge/config";

long cfg(const std::string &cmd) {
    return proc_write(CONFIG, cmd);
}

std::string line_of(const std::string &text, const std::string &prefix) {
    for (auto &l : lines_of(text))
        if (l.rfind(prefix, 0) == 0)
            return l;
    return "<missing " + prefix + ">";
}

class ConfigTest : public ModuleTest {};

int pause_calls, resume_calls;
void fake_pause() {
    pause_calls++;
}
void fake_resume() {
    resume_calls++;
}

} // namespace

TEST_F(ConfigTest, ReadOutLineForLine) {
    std::vector<std::string> expect = {
        "Bridge API version:              56",
        "Default frame output size:       512",
        "Debug:                           0",
        "Threaded Debug:                  0",
        "DTRC:                            0",
        "Max OLT-s:                       32",
        "GEM ports per OLT:               4096",
        "Multicast GEM port range:        3800 - 4095",
        "Unknown-to-kernel:               1",
        "[Threaded] Threaded:             on",
        "[Threaded] Overflow traffic:     drop",
        "[Threaded] Work interval:        5",
        "[Threaded] Sleep interval:       1",
        "[Threaded] QMAN pauses:          0",
        "[Threaded] Forced QMAN pause:    0",
        "[Threaded] Total Rx:             0",
        "[Threaded] Total Tx:             0",
        "[Threaded] Queue:                0/1000 (0%)",
        "[Threaded] Queue drops:          0",
        "[Threaded] AF Total Rx:          0",
        "[Threaded] AF Total Tx:          0",
        "[Threaded] AF queue:             0/1000 (0%)",
        "[Threaded] AF Queue drops:       0",
        "",
        "Memory maps",
    };
    EXPECT_EQ(lines_of(proc_cat(CONFIG)), expect);

    // Settings made through the file show up in the read-out.
    EXPECT_GT(cfg("default_frame_size 10000"), 0);
    EXPECT_GT(cfg("DTRC 1"), 0);
    EXPECT_GT(cfg("threaded overflow forward"), 0);
    EXPECT_GT(cfg("threaded work 7"), 0);
    EXPECT_GT(cfg("threaded sleep 0x3"), 0);
    EXPECT_GT(cfg("threaded enable off"), 0);
    EXPECT_GT(cfg("threaded max 8"), 0);
    EXPECT_GT(cfg("threaded afmax 3"), 0);
    EXPECT_GT(cfg("unknown_to_kernel 0"), 0);
    EXPECT_GT(cfg("threaded_debug 1"), 0);
    std::string out = proc_cat(CONFIG);
    EXPECT_EQ(line_of(out, "Default frame"), "Default frame output size:       10000");
    EXPECT_EQ(line_of(out, "DTRC"), "DTRC:                            1");
    EXPECT_EQ(line_of(out, "Threaded Debug"), "Threaded Debug:                  1");
    EXPECT_EQ(line_of(out, "Unknown"), "Unknown-to-kernel:               0");
    EXPECT_EQ(line_of(out, "[Threaded] Threaded"), "[Threaded] Threaded:             off");
    EXPECT_EQ(line_of(out, "[Threaded] Overflow"), "[Threaded] Overflow traffic:     forward");
    EXPECT_EQ(line_of(out, "[Threaded] Work"), "[Threaded] Work interval:        7");
    EXPECT_EQ(line_of(out, "[Threaded] Sleep"), "[Threaded] Sleep interval:       3");
    EXPECT_EQ(line_of(out, "[Threaded] Queue:"), "[Threaded] Queue:                0/8 (0%)");
    EXPECT_EQ(line_of(out, "[Threaded] AF queue"), "[Threaded] AF queue:             0/3 (0%)");
    EXPECT_EQ(logged("Threaded queue max set to 8.\n"), 1u);
    EXPECT_EQ(logged("Threaded AF queue max set to 3.\n"), 1u);
}

class ZeroQueueTest : public ModuleTest {
  protected:
    void SetUp() override {
        params_ = {"threaded_max=0", "threaded_appflt_max=0", "max_olt=4"};
        ModuleTest::SetUp();
    }
};

TEST_F(ZeroQueueTest, ParametersReachTheReadOutAndZeroLimitDoesNotDivide) {
    std::string out = proc_cat(CONFIG);
    EXPECT_EQ(line_of(out, "[Threaded] Queue:"), "[Threaded] Queue:                0/0 (0%)");
    EXPECT_EQ(line_of(out, "[Threaded] AF queue"), "[Threaded] AF queue:             0/0 (0%)");
    EXPECT_EQ(line_of(out, "Max OLT-s"), "Max OLT-s:                       4");
}

TEST(ModuleLoad, BadParametersAndGemRangeWarnings) {
    rte_clock_set_virtual(true);
    EXPECT_EQ(rte_module_load("jxbridge_mod", {"no_such_param=1"}), -ENOENT);
    EXPECT_EQ(rte_module_load("jxbridge_mod", {"debug=abc"}), -EINVAL);
    EXPECT_FALSE(rte_module_loaded("jxbridge_mod"));

    u64 from = rte_log_next_seq();
    ASSERT_EQ(rte_module_load("jxbridge_mod", {"gems_per_olt=0", "mcast_gems_start=5"}), 0);
    EXPECT_EQ(rte_log_count("[Bridge] Number of OLT ports out of range (0).\n", from), 1u);
    EXPECT_EQ(rte_log_count("[Bridge] Multicast GEM port range [5, 4095] invalid.\n", from), 1u);
    EXPECT_EQ(rte_log_count("[Bridge] Module loaded.\n", from), 1u);
    rte_modules_unload_all();
    // A new load starts from the declared defaults.
    ASSERT_EQ(rte_module_load("jxbridge_mod", {}), 0);
    EXPECT_EQ(gems_per_olt, 4096);
    EXPECT_EQ(mcast_gems_start, 3800);
    rte_modules_unload_all();
}

TEST_F(ConfigTest, TextGrammarAndErrorCodes) {
    // Empty commands, comments and the count each write consumes.
    EXPECT_EQ(cfg("\n"), 1);
    EXPECT_EQ(cfg(";"), 1);
    EXPECT_EQ(cfg("# a comment"), 11);
    EXPECT_EQ(cfg("  \tdebug 1;debug 0"), 11); // only the first command, with its terminator
    EXPECT_EQ(debug, 1);
    EXPECT_EQ(cfg("DeBuG 0\n"), 8);
    EXPECT_EQ(debug, 0);

    EXPECT_EQ(cfg("no_such_command"), -EINVAL);
    EXPECT_EQ(cfg("debug"), -ENOARG);
    EXPECT_EQ(cfg("debug x"), -EINVAL);
    EXPECT_EQ(cfg("debug  1"), -EINVAL); // two blanks make an empty word
    EXPECT_EQ(cfg("default_frame_size 10001"), -EINVAL);
    EXPECT_EQ(cfg("default_frame_size -1"), -EINVAL);
    EXPECT_EQ(cfg("default_frame_size"), -ENOARG);
    EXPECT_EQ(default_output_size, 512);
    EXPECT_EQ(cfg("threaded max 0"), -ERANGE);
    EXPECT_EQ(jxbridge_q.max, 1000u);
    EXPECT_EQ(cfg("threaded afmax 0"), -ERANGE);
    EXPECT_EQ(cfg("threaded max x"), -EINVAL);
    EXPECT_EQ(cfg("threaded overflow maybe"), -EINVAL);
    EXPECT_EQ(cfg("threaded overflow"), -EINVAL);
    EXPECT_EQ(cfg("threaded"), -EINVAL);
    EXPECT_EQ(cfg("threaded bogus"), -EINVAL);
    EXPECT_EQ(cfg("threaded work"), -EINVAL);
    // A negative interval would put the receive thread to sleep for good.
    const int work = jxbridge_q.work_interval, sleep = jxbridge_q.sleep_interval;
    EXPECT_EQ(cfg("threaded work -1"), -ERANGE);
    EXPECT_EQ(cfg("threaded sleep -5"), -ERANGE);
    EXPECT_EQ(jxbridge_q.work_interval, work);
    EXPECT_EQ(jxbridge_q.sleep_interval, sleep);
    EXPECT_EQ(cfg("threaded enable maybe"), -EPERM);
    EXPECT_EQ(cfg("threaded enable"), -EPERM);
    EXPECT_EQ(jxbridge_q.enabled, 1u);
    EXPECT_GT(cfg("threaded enable DISABLED"), 0);
    EXPECT_EQ(jxbridge_q.enabled, 0u);
    EXPECT_GT(cfg("threaded enable yes"), 0);
    EXPECT_EQ(jxbridge_q.enabled, 1u);
    EXPECT_EQ(cfg("qman_force_pause"), -ENOARG);

    // A command longer than 149 bytes is refused whole, not run in pieces.
    std::string longcmd = "default_frame_size 100" + std::string(140, ' ') + "1";
    ASSERT_GT(longcmd.size(), 149u);
    EXPECT_EQ(cfg(longcmd), -EINVAL);
    EXPECT_EQ(default_output_size, 512);
    std::string edge = "default_frame_size 100" + std::string(149 - 22, ' ');
    ASSERT_EQ(edge.size(), 149u);
    EXPECT_EQ(cfg(edge), 149); // the longest command still runs
    EXPECT_EQ(default_output_size, 100);
    std::string fits = "#" + std::string(148, 'x');
    EXPECT_EQ(cfg(fits), 149);
    EXPECT_EQ(cfg(fits + "\n"), 150);

    // help and show log their texts.
    EXPECT_GT(cfg("help"), 0);
    EXPECT_EQ(logged("Supported commands:\n\thelp\n\tadd <name> <max_ports>\n"), 1u);
    EXPECT_EQ(logged("\tqman_force_pause <0|1>\n"), 1u);
    EXPECT_GT(cfg("show"), 0);
    EXPECT_EQ(logged("Debug:                      0\n"), 1u);
    EXPECT_EQ(logged("[Threaded] AF Queue drops:       0\n"), 1u);
}

TEST_F(ConfigTest, BridgesByTextAndIoctl) {
    EXPECT_EQ(cfg("add br0"), -ENOARG);
    EXPECT_EQ(cfg("add"), -ENOARG);
    EXPECT_EQ(cfg("add br0 x"), -EINVAL);
    EXPECT_EQ(cfg("add br0 1"), -ERANGE);
    EXPECT_EQ(cfg("add br0 0x10000"), -ERANGE);
    EXPECT_EQ(cfg("add abcdefghijklmnop 8"), -EINVAL); // 16 characters
    EXPECT_GT(cfg("add abcdefghijklmno 8"), 0);        // 15 fit
    EXPECT_GT(cfg("add br0 8"), 0);
    EXPECT_EQ(cfg("add br0 8"), -EEXIST);
    ASSERT_NE(rte_proc_lookup("/proc/net/jxbridge/br0"), nullptr);
    struct net_device *dev = __dev_get_by_name(&init_net, "br0");
    ASSERT_NE(dev, nullptr);
    EXPECT_TRUE(dev->priv_flags & IFF_EBRIDGE);
    EXPECT_EQ(jxbridge_find("br0")->max_ports, 8u);
    EXPECT_EQ(logged("[br0] Create new bridge br0. Max 8 switched ports"), 1u);

    // The ioctl has no lower bound of 2, but still refuses 0.
    jxbridge_ioctl_add add{};
    strcpy(add.name, "br1");
    add.max_ports = 1;
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_ADD, (unsigned long)&add), 0);
    add.max_ports = 0;
    strcpy(add.name, "br2");
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_ADD, (unsigned long)&add), -ERANGE);
    // A name that fills the 20-byte field without a terminator is refused.
    memset(add.name, 'a', sizeof(add.name));
    add.max_ports = 4;
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_ADD, (unsigned long)&add), -EINVAL);
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_ADD, 8), -EFAULT);

    // Deleting: unknown, not a bridge, up, then done.
    EXPECT_EQ(cfg("del"), -ENOARG);
    EXPECT_EQ(cfg("del nosuch"), -ENXIO);
    struct net_device *eth = alloc_etherdev(0);
    ASSERT_EQ(register_netdev(eth), 0);
    EXPECT_EQ(cfg(std::string("del ") + eth->name), -EPERM);
    rtnl_lock();
    ASSERT_EQ(dev_open(dev), 0);
    rtnl_unlock();
    EXPECT_EQ(cfg("del br0"), -EBUSY);
    rtnl_lock();
    dev_close(dev);
    rtnl_unlock();
    EXPECT_GT(cfg("del br0"), 0);
    EXPECT_EQ(__dev_get_by_name(&init_net, "br0"), nullptr);
    EXPECT_EQ(rte_proc_lookup("/proc/net/jxbridge/br0"), nullptr);

    // The 16-byte delete record is cut at 15 characters.
    jxbridge_ioctl_del del;
    memcpy(del.name, "abcdefghijklmnoX", 16);
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_DEL, (unsigned long)&del), 0);
    EXPECT_EQ(__dev_get_by_name(&init_net, "abcdefghijklmno"), nullptr);

    // cleanup takes the rest, up or not.
    EXPECT_GT(cfg("add br3 4"), 0);
    rtnl_lock();
    dev_open(__dev_get_by_name(&init_net, "br3"));
    rtnl_unlock();
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_CLEANUP, 0), 0);
    EXPECT_EQ(__dev_get_by_name(&init_net, "br1"), nullptr);
    EXPECT_EQ(__dev_get_by_name(&init_net, "br3"), nullptr);
    unregister_netdev(eth);
    free_netdev(eth);
}

TEST_F(ConfigTest, IoctlsAndTheirLog) {
    u32 version = 0;
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_API_VERSION, (unsigned long)&version), 0);
    EXPECT_EQ(version, 56u);
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_API_VERSION, 16), -EFAULT);
    EXPECT_EQ(proc_ioctl(CONFIG, 0x40047a99, 0), -EINVAL);
    EXPECT_EQ(proc_ioctl(CONFIG, 0x00007a05, (unsigned long)&version), -EINVAL);

    EXPECT_EQ(logged("[Bridge] IOCTL("), 0u);
    EXPECT_GT(cfg("ioctl_debug 1"), 0);
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_API_VERSION, (unsigned long)&version), 0);
    char expect[160];
    snprintf(expect, sizeof(expect),
             "[Bridge] IOCTL(c=0x80047a05, d=0x%08x)@config from '%s' (%d)\n",
             (u32)(unsigned long)&version, current->comm, current->pid);
    EXPECT_EQ(logged(expect), 1u);
    EXPECT_GT(cfg("debug 0"), 0);
    snprintf(expect, sizeof(expect), "[Bridge] write(\"debug 0\") from '%s' (%d)\n", current->comm,
             current->pid);
    EXPECT_EQ(logged(expect), 1u);
}

TEST_F(ConfigTest, MemoryMaps) {
    const u64 base = LINECARD_SRAM_BASE;
    char cmd[128];
    auto map = [&](const char *fmt, u64 a, long long b = 0, long long c = 0) {
        snprintf(cmd, sizeof(cmd), fmt, (unsigned long long)a, b, c);
        return cfg(cmd);
    };
    EXPECT_GT(map("map add 0x%llx %lld", base, 16), 0);
    EXPECT_EQ(map("map add 0x%llx %lld", base + 8, 4), -ENOSPC); // starts inside
    EXPECT_GT(map("map add 0x%llx %lld", base + 16, 4), 0);      // just past its end
    EXPECT_EQ(logged("failed due to overlap with 16 bytes"), 1u);
    EXPECT_EQ(map("map add 0x%llx %lld", base - 8, 9), -ENOSPC);    // runs into it
    EXPECT_EQ(map("map add 0x%llx %lld", base - 8, 64), -ENOSPC);   // holds both
    EXPECT_EQ(map("map add 0x%llx %lld", base - 8, 8), -1);         // ends where it starts
    EXPECT_EQ(map("map add 0x%llx %lld", 0x7000000000ull, 16), -1); // no memory there
    EXPECT_EQ(logged("Failed to map 16 bytes"), 1u);

    EXPECT_GT(map("map write 0x%llx %lld %lld", base, 15, 0xab), 0);
    EXPECT_GT(map("map r 0x%llx %lld", base, 15), 0);
    char expect[96];
    snprintf(expect, sizeof(expect), "%p[15] = 171 0xab\n", (void *)base);
    EXPECT_EQ(logged(expect), 1u);
    EXPECT_EQ(map("map read 0x%llx %lld", base, 16), -ENOSPC);
    snprintf(expect, sizeof(expect), "%p[16] = error (-28)\n", (void *)base);
    EXPECT_EQ(logged(expect), 1u);
    EXPECT_EQ(map("map read 0x%llx %lld", base, -1), -ENOSPC); // offsets are unsigned
    EXPECT_EQ(map("map w 0x%llx %lld %lld", base, -16, 1), -ENOSPC);
    EXPECT_EQ(map("map write 0x%llx %lld %lld", base, 0, 256), -ERANGE);
    EXPECT_EQ(map("map read 0x%llx %lld", base + 1, 0), -ENOENT); // exact address only

    EXPECT_EQ(cfg("map add"), -1);
    EXPECT_EQ(logged("Missing <addr>.\n"), 1u);
    EXPECT_EQ(map("map add 0x%llx", base + 32), -ENOARG);
    EXPECT_EQ(logged("Missing <len>.\n"), 1u);
    EXPECT_EQ(map("map add 0x%llx 0xzz", base + 32), -EINVAL);
    EXPECT_EQ(logged("Expected hexadecimal for len: '0xzz'\n"), 1u);
    EXPECT_EQ(map("map read 0x%llx", base), -ENOARG);
    EXPECT_EQ(map("map write 0x%llx 1", base), -ENOARG);
    EXPECT_EQ(logged("Missing <value>.\n"), 1u);
    EXPECT_EQ(cfg("map"), -ENOARG);
    EXPECT_EQ(cfg("map swap 1"), -EINVAL);

    // Newest first in the read-out.
    auto lines = lines_of(proc_cat(CONFIG));
    ASSERT_GE(lines.size(), 27u);
    EXPECT_EQ(lines[24], "Memory maps");
    char first[96], second[96];
    snprintf(first, sizeof(first), "%p (4 bytes) --> ", (void *)(base + 16));
    snprintf(second, sizeof(second), "%p (16 bytes) --> ", (void *)base);
    EXPECT_EQ(lines[25].rfind(first, 0), 0u) << lines[25];
    EXPECT_EQ(lines[26].rfind(second, 0), 0u) << lines[26];

    // The same through the ioctls; the read answers with the byte at offset 12.
    jxbridge_ioctl_map rec{};
    rec.addr = base;
    rec.len_or_offs = 15;
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_MAP_READ, (unsigned long)&rec), 0);
    EXPECT_EQ(rec.value, 0xab);
    rec.len_or_offs = 3;
    rec.value = 0x5a;
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_MAP_WRITE, (unsigned long)&rec), 0);
    rec.value = 0;
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_MAP_READ, (unsigned long)&rec), 0);
    EXPECT_EQ(rec.value, 0x5a);
    rec.len_or_offs = 16;
    rec.value = 0x77;
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_MAP_READ, (unsigned long)&rec), -ENOSPC);
    EXPECT_EQ(rec.value, 0x77); // untouched on failure
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_MAP_DEL, (unsigned long)&rec), 0);
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_MAP_DEL, (unsigned long)&rec), -ENOENT);
    rec.addr = base + 64;
    rec.len_or_offs = 8;
    EXPECT_EQ(proc_ioctl(CONFIG, JXBRIDGE_IOCTL_MAP_ADD, (unsigned long)&rec), 0);
    EXPECT_GT(map("map del 0x%llx", base + 64), 0);
    EXPECT_EQ(map("map del 0x%llx", base + 64), -ENOENT);
}

TEST_F(ConfigTest, ForcedPauseAndDriverHooks) {
    pause_calls = resume_calls = 0;
    static jxbridge_frame_hook_fn e1000e_hook;
    static jxbridge_frame_hook_fn ucc_hook;
    static auto ucc_set = [](jxbridge_frame_hook_fn fn) { ucc_hook = fn; };
    static void (*ucc_set_fn)(jxbridge_frame_hook_fn) = ucc_set;
    rte_symbol_add("dpaa_drv", "dpaa_tarn_pause_linux_rx", (void *)fake_pause);
    rte_symbol_add("dpaa_drv", "dpaa_tarn_resume_linux_rx", (void *)fake_resume);
    rte_symbol_add("e1000e", "e1000e_process_frame_hook", (void *)&e1000e_hook);
    rte_symbol_add("ucc", "ucc_set_frame_hook", (void *)ucc_set_fn);

    EXPECT_GT(cfg("qman_force_pause 1"), 0);
    EXPECT_EQ(pause_calls, 1);
    EXPECT_GT(cfg("qman_force_pause 1"), 0); // already paused: nothing called
    EXPECT_EQ(pause_calls, 1);
    EXPECT_EQ(jxbridge_qman_force_stop_dequeues(), -1);
    EXPECT_EQ(logged("call dpaa_tarn_pause_linux_rx()\n"), 2u);
    EXPECT_EQ(line_of(proc_cat(CONFIG), "[Threaded] Forced"), "[Threaded] Forced QMAN pause:    1");

    // Bringing a bridge up binds every driver and resumes; down unbinds and pauses.
    EXPECT_GT(cfg("add br0 4"), 0);
    EXPECT_GT(cfg("add br1 4"), 0);
    struct net_device *b0 = __dev_get_by_name(&init_net, "br0");
    struct net_device *b1 = __dev_get_by_name(&init_net, "br1");
    rtnl_lock();
    dev_open(b0);
    dev_open(b1);
    rtnl_unlock();
    EXPECT_EQ(e1000e_hook, bridge_process_frame_hook);
    EXPECT_EQ(ucc_hook, bridge_process_frame_hook);
    EXPECT_EQ(resume_calls, 1);
    EXPECT_EQ(logged("[Bridge/br0] Set to UP (send traffic to bridge)\n"), 1u);
    EXPECT_EQ(logged("[Bridge/br1] jxbridge_qman_force_start_dequeues failure\n"), 1u);
    rtnl_lock();
    dev_close(b1); // any bridge going down unbinds all drivers
    rtnl_unlock();
    EXPECT_EQ(e1000e_hook, nullptr);
    EXPECT_EQ(ucc_hook, nullptr);
    EXPECT_EQ(pause_calls, 2);
    EXPECT_GT(cfg("qman_force_pause 0"), 0);
    EXPECT_EQ(resume_calls, 2);

    // Unloading leaves no driver pointing into the module and no flow hook set.
    rtnl_lock();
    dev_open(b1);
    rtnl_unlock();
    jxbridge_set_flow_hook([](struct sk_buff *) { return 0; });
    jxbridge_set_flow_event_hook([](int, void *, void *, void *) { return 0; });
    rte_modules_unload_all();
    EXPECT_EQ(e1000e_hook, nullptr);
    EXPECT_EQ(ucc_hook, nullptr);
    EXPECT_EQ(jxbridge_flow_hook, nullptr);
    EXPECT_EQ(jxbridge_flow_event_hook, nullptr);
    EXPECT_EQ(__dev_get_by_name(&init_net, "br0"), nullptr);
    EXPECT_EQ(rte_proc_lookup("/proc/net/jxbridge"), nullptr);
    for (const char *s : {"dpaa_tarn_pause_linux_rx", "dpaa_tarn_resume_linux_rx",
                          "e1000e_process_frame_hook", "ucc_set_frame_hook"})
        rte_symbol_remove(s);
}

TEST_F(ConfigTest, ModeIsEnforcedAgainstTheCaller) {
    task_struct *t = current;
    unsigned uid = t->uid, gid = t->gid;
    t->uid = 1000;
    t->gid = 1000;
    struct file *f = nullptr;
    EXPECT_EQ(rte_vfs_open(CONFIG, O_RDONLY, &f), -EACCES);
    EXPECT_EQ(rte_vfs_open(CONFIG, O_WRONLY, &f), -EACCES);
    t->uid = uid;
    t->gid = gid;
    ASSERT_EQ(rte_vfs_open(CONFIG, O_RDONLY, &f), 0);
    EXPECT_EQ(rte_vfs_write(f, "debug 1", 7), -EBADF); // opened for reading only
    rte_vfs_close(f);
}

// Every allocation that creating a bridge or adding a port makes may fail:
// each failure must undo what was built so far and leave nothing behind (no
// device, no files, no registered debug switch, no memory), and a later try
// must succeed.
TEST_F(ConfigTest, FailedCreationUndoesEveryStep) {
    ASSERT_GT(cfg("add br9 4"), 0); // its tracer walks every registered switch
    const char *tracer = "/proc/net/jxbridge/br9/tracer";
    long rc = -ENOMEM;
    int failures = 0;
    for (long n = 1; rc == -ENOMEM; n += n < 64 ? 1 : 61) {
        rte_slab_fail_nth(n);
        rc = cfg("add br0 4");
        rte_slab_fail_nth(0);
        if (rc != -ENOMEM)
            break;
        failures++;
        ASSERT_EQ(__dev_get_by_name(&init_net, "br0"), nullptr) << n;
        ASSERT_EQ(rte_proc_lookup("/proc/net/jxbridge/br0"), nullptr) << n;
        ASSERT_GT(proc_write(tracer, "tracer 1 vlan 7"), 0) << n;
        ASSERT_GT(proc_write(tracer, "tracer 0"), 0) << n;
    }
    EXPECT_GT(rc, 0);
    EXPECT_GT(failures, 70); // the engines' allocations were all reached
    EXPECT_NE(rte_proc_lookup("/proc/net/jxbridge/br0/vlan"), nullptr);

    struct net_device *eth = alloc_etherdev(0);
    ASSERT_EQ(register_netdev(eth), 0);
    port_request r{};
    strcpy(r.name, eth->name);
    r.port_no = JXBRIDGE_PORT_ANY;
    const char *bridge = "/proc/net/jxbridge/br0/bridge";
    for (long n = 1;; n++) {
        rte_slab_fail_nth(n);
        rc = proc_ioctl(bridge, BRIDGE_IOCTL_PORT_ADD, (unsigned long)&r);
        rte_slab_fail_nth(0);
        if (rc != -ENOMEM)
            break;
        ASSERT_EQ(jxbridge_find("br0")->num_ports, 0u) << n;
        ASSERT_EQ(eth->priv_flags & IFF_BRIDGE_PORT, 0u) << n;
        ASSERT_EQ(eth->promiscuity, 0) << n;
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(jxbridge_find("br0")->num_ports, 1u);
    EXPECT_GT(cfg("del br0"), 0);
    EXPECT_EQ(eth->priv_flags & IFF_BRIDGE_PORT, 0u);
    unregister_netdev(eth);
    free_netdev(eth);
}
