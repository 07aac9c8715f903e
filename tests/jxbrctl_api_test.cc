// jxbrctl's start-up checks against modules the real node cannot play: the
// jxbrctl program runs as a separate process against a transport served here,
// whose /proc/net/jxbridge/config answers the API version as the test says.
#include "ctl/jxctl.h"
#include "node/server.h"

#include "kernel/netdevice.h"
#include "kernel/proc_fs.h"
#include "kernel/time.h"
#include "kernel/uaccess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sched.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr unsigned API_VERSION_GET = 0x80047a05;

// What the fake config file answers: a version, or a failure.
std::atomic<u32> g_version{56};
std::atomic<bool> g_version_fails{false};

long config_ioctl(struct file *, unsigned int cmd, unsigned long arg) {
    if (cmd != API_VERSION_GET || g_version_fails)
        return -EINVAL;
    u32 v = g_version;
    if (copy_to_user((void __user *)arg, &v, sizeof(v)))
        return -EFAULT;
    return 0;
}

const file_operations config_fops = {
    .unlocked_ioctl = config_ioctl,
};

// A bridge br0 whose vlan file counts the VLANs it is asked to add.
std::atomic<int> g_vlan_adds{0};

long vlan_ioctl(struct file *, unsigned int cmd, unsigned long) {
    if (cmd == 0x40027a00) // VLAN_IOCTL_ADD
        g_vlan_adds++;
    return 0;
}

const file_operations bridge_fops = {};
const file_operations vlan_fops = {
    .unlocked_ioctl = vlan_ioctl,
};

struct run_result {
    int status = -1; // the exit status, -1 when it did not exit
    std::string out; // standard output and error
};

class jxbrctlStartUp : public ::testing::Test {
  protected:
    std::string bin_;
    std::string dir_;
    std::string sock_;
    jxnode::Server server_;
    bool was_virtual_ = false;
    bool proc_made_ = false;

    void SetUp() override {
        const char *bin_dir = getenv("JX_BIN_DIR");
        if (!bin_dir || !*bin_dir)
            GTEST_SKIP() << "JX_BIN_DIR does not name the build directory";
        bin_ = std::string(bin_dir) + "/jxbrctl";
        if (access(bin_.c_str(), X_OK) != 0)
            GTEST_SKIP() << bin_ << " is missing";
        // The tool's calls wait in real time, as on the node.
        was_virtual_ = rte_clock_is_virtual();
        rte_clock_set_virtual(false);
        g_version = 56;
        g_version_fails = false;
        static int serial;
        dir_ = "/tmp/jxbrctl-api." + std::to_string(getpid()) + "." + std::to_string(++serial);
        sock_ = dir_ + "/run/ctl.sock";
        setenv(JXCTL_SOCKET_ENV, sock_.c_str(), 1);
        ASSERT_EQ(server_.start(sock_), 0);
    }

    void TearDown() override {
        if (bin_.empty() || dir_.empty())
            return;
        server_.stop();
        if (proc_made_)
            remove_proc_subtree("jxbridge", init_net.proc_net);
        unsetenv(JXCTL_SOCKET_ENV);
        rmdir((dir_ + "/run").c_str());
        rmdir(dir_.c_str());
        rte_clock_set_virtual(was_virtual_);
    }

    struct proc_dir_entry *proc_dir_ = nullptr;
    void make_config() {
        proc_dir_ = proc_mkdir("jxbridge", init_net.proc_net);
        ASSERT_NE(proc_dir_, nullptr);
        proc_made_ = true;
        ASSERT_NE(proc_create("config", 0644, proc_dir_, &config_fops), nullptr);
    }
    struct proc_dir_entry *jxbridge_dir() {
        return proc_dir_;
    }

    // Runs jxbrctl with args as a user does, with JXNODE_SOCKET as set here.
    // own_netns: the tool in a network namespace of its own, so that host
    // devices of fixed names (a running node's) cannot answer for the test's.
    run_result run(const std::vector<std::string> &args, bool own_netns = false) {
        std::vector<std::string> words{bin_};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        run_result r;
        int fds[2];
        if (pipe(fds) != 0)
            return r;
        pid_t pid = fork();
        if (pid == 0) {
            if (own_netns)
                unshare(CLONE_NEWNET); // without the right, the host's is kept
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            close(fds[0]);
            close(fds[1]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof(buf))) > 0)
            r.out.append(buf, (size_t)n);
        close(fds[0]);
        int st = 0;
        if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st))
            r.status = WEXITSTATUS(st);
        return r;
    }
};

TEST_F(jxbrctlStartUp, EveryCommandStopsOnAnotherApiVersion) {
    make_config();
    g_version = 55;
    const std::string msg =
        "`" + bin_ + "` uses different API version (56) than kernel module (55).\n";
    for (const auto &args : std::vector<std::vector<std::string>>{
             {}, {"br0"}, {"br0", "show"}, {"add", "br1", "8"}, {"br0", "vlan", "add", "10"}}) {
        run_result r = run(args);
        EXPECT_EQ(r.status, 248) << args.size() << " words";
        EXPECT_EQ(r.out, msg) << args.size() << " words";
    }

    // The version this tool speaks lets commands through: the usage list,
    // and the bridge check that comes after the version check.
    g_version = 56;
    run_result r = run({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Supported commands:\n" + bin_ + " add <bridge_name> <max_ports>\n", 0),
              0u)
        << r.out;
    r = run({"br0", "show"});
    EXPECT_EQ(r.status, 254); // -ENOENT
    EXPECT_EQ(r.out, "Bridge 'br0' does not exist.\n");
}

TEST_F(jxbrctlStartUp, VlanZeroIsNeverSent) {
    make_config();
    struct proc_dir_entry *br = proc_mkdir("br0", jxbridge_dir());
    ASSERT_NE(br, nullptr);
    ASSERT_NE(proc_create("bridge", 0666, br, &bridge_fops), nullptr);
    ASSERT_NE(proc_create("vlan", 0666, br, &vlan_fops), nullptr);
    g_vlan_adds = 0;
    run_result r = run({"br0", "vlan", "add", "0"});
    EXPECT_EQ(r.out, "VID must be in 1-4095 range.\n");
    EXPECT_EQ(r.status, 256 - EINVAL);
    EXPECT_EQ(g_vlan_adds, 0);
    r = run({"br0", "vlan", "add", "10"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(g_vlan_adds, 1);
}

TEST_F(jxbrctlStartUp, VersionRequestRefused) {
    make_config();
    g_version_fails = true;
    run_result r = run({"br0", "show"});
    EXPECT_EQ(r.status, 248);
    EXPECT_EQ(r.out, "Kernel module is too old.\n");
}

TEST_F(jxbrctlStartUp, FrameAndEventTestsWithoutTheirEnginesFail) {
    make_config();
    struct proc_dir_entry *br = proc_mkdir("nb9", jxbridge_dir());
    ASSERT_NE(br, nullptr);
    ASSERT_NE(proc_create("bridge", 0644, br, &config_fops), nullptr);
    // No module, no channel: the listener's message finds no kernel socket.
    run_result r = run({"nb9", "cfm_pdu"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Sending message to kernel\n");
    // No filter device here: the frame test stops before it waits for frames.
    r = run({"nb9", "erps_pdu"}, true);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out.rfind("section_bridge_erps_pdu_test: Create socket...\n", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("Frame receiving started"), std::string::npos) << r.out;
}

TEST_F(jxbrctlStartUp, ModuleNotLoaded) {
    // The node serves, but no bridge module made its config file.
    run_result r = run({"br0", "show"});
    EXPECT_EQ(r.status, 254); // -ENOENT
    EXPECT_EQ(r.out, "Bridge module is probably not loaded.\n");

    // No node at all: the open's error is the node's absence.
    server_.stop();
    r = run({});
    EXPECT_EQ(r.status, 256 - JXCTL_ENODE);
    EXPECT_EQ(r.out, "Bridge module is probably not loaded.\n");
}

} // namespace
