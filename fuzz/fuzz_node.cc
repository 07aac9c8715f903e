#include "fuzz_node.h"

#include "sources/jxigmp/jxigmp_ioctl.h"
#include "sources/jxmng/jxmng.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace jxfuzz {

namespace {
struct jxbridge *g_bridge;
struct net_device *g_wires[kNumPorts + 1]; // the ports', then the OLT's
} // namespace

user_space &user() {
    static user_space u;
    return u;
}

void user_space_init(size_t size) {
    user_space &u = user();
    if (u.region)
        return;
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    size = (size + page - 1) / page * page;
    void *m = mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED)
        die("mmap");
    if (mprotect(static_cast<u8 *>(m) + size, page, PROT_NONE))
        die("mprotect");
    u.region = static_cast<u8 *>(m);
    u.size = size;
    pid_t pid = fork();
    if (pid < 0)
        die("fork");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;)
            pause();
    }
    u.pid = pid;
}

void node_up() {
    rte_clock_set_virtual(true);
    linecard_memory_init();
    linecard_ethdrv_init();
    linecard_engine_install(); // the line card's packet engine is always there
    if (rte_module_load("jxbridge_mod", {}) || rte_module_load("jxmng_mod", {}) ||
        rte_module_load("jxigmp_mod", {}))
        die("module load");
    rte_settle();
    if (file_write(kConfig, "threaded enable off", 19) <= 0 ||
        file_write(kConfig, "add br0 8", 9) <= 0)
        die("bridge set-up");
    g_bridge = jxbridge_find("br0");
    rtnl_lock();
    dev_open(g_bridge->dev);
    rtnl_unlock();
    const u32 kinds[kNumPorts] = {JXBRIDGE_PORT_ACCESS, JXBRIDGE_PORT_ACCESS, JXBRIDGE_PORT_UPLINK,
                                  JXBRIDGE_PORT_LOCAL};
    for (size_t i = 0; i < kNumPorts; i++) {
        g_wires[i] = linecard_wire_add(kPorts[i]);
        if (!g_wires[i])
            die("wire");
        mutex_lock(&jxbridge_lock);
        jxbridge_port *p =
            jxbridge_add_port(g_bridge, 0xFFFFFFFF, u32(i + 1), g_wires[i], kinds[i]);
        if (p)
            p->phy_state = JXBRIDGE_PHY_UP;
        mutex_unlock(&jxbridge_lock);
        if (!p)
            die("port");
    }
    g_wires[kNumPorts] = linecard_wire_add(kOlt);
    if (!g_wires[kNumPorts])
        die("OLT wire");
    if (linecard_flowmgr_install())
        die("flow manager");
    igmp_up();
}

namespace {
// One IGMP command from this process's own memory: texts and 32-bit values.
long igmp_call(u32 nr, std::initializer_list<const char *> texts,
               std::initializer_list<u32> values) {
    jxigmp_ioctl_args a = {};
    u32 v[8] = {};
    for (const char *t : texts)
        a.addr[a.n++] = uintptr_t(t);
    for (u32 x : values) {
        v[a.n] = x;
        a.addr[a.n] = uintptr_t(&v[a.n]);
        a.size[a.n++] = 4;
    }
    struct file *f = nullptr;
    if (rte_vfs_open(JXIGMP_PROC_CONFIG, O_RDONLY, &f))
        return -1;
    long rc = rte_vfs_ioctl(f, JXIGMP_IOCTL(nr), (unsigned long)&a);
    rte_vfs_close(f);
    return rc;
}
} // namespace

// Snooping on br0 in VLAN 100, wc the multicast router.
void igmp_up() {
    if (mng_dev_add("mng0") || igmp_call(JXIGMP_INIT, {}, {}) ||
        igmp_call(JXIGMP_BRIDGE_ADD, {"br0"}, {8}))
        die("igmp set-up");
    for (size_t i = 0; i < kNumPorts; i++)
        igmp_call(JXIGMP_PORT_ADD, {"br0", kPorts[i]}, {u32(i + 1)});
    igmp_call(JXIGMP_PORT_MROUTER_SET, {"br0"}, {3, 1});
    igmp_call(JXIGMP_VLAN_ADD, {"br0"}, {100, 0});
    igmp_call(JXIGMP_VERSION_FILTER_SET, {"br0"}, {3, 1});
    igmp_call(JXIGMP_BRIDGE_MODE_SET, {"br0"}, {2});
}

void node_down() {
    rte_modules_unload_all();
    for (net_device *&d : g_wires) {
        linecard_wire_del(d);
        d = nullptr;
    }
    g_bridge = nullptr;
    linecard_flowmgr_clear();
    linecard_engine_remove();
    linecard_engine_clear();
    linecard_ethdrv_fini();
    linecard_memory_fini();
    rte_skb_pool_stats s = rte_skb_pool_get_stats();
    if (s.skbs_in_use || s.buffers_in_use) {
        fprintf(stderr, "fuzz: %llu frame(s), %llu buffer(s) left allocated\n",
                (unsigned long long)s.skbs_in_use, (unsigned long long)s.buffers_in_use);
        abort();
    }
}

struct jxbridge *bridge() {
    return g_bridge;
}

struct net_device *wire(size_t i) {
    return g_wires[i % (kNumPorts + 1)];
}

void drain_wires() {
    for (net_device *d : g_wires)
        if (d)
            linecard_wire_take(d);
}

long file_write(const char *path, const void *buf, size_t len) {
    return rte_vfs_write_once(path, static_cast<const char *>(buf), len);
}

void file_read_all(const char *path) {
    struct file *f = nullptr;
    // Non-blocking: a stream file (the tracer) would wait for lines.
    if (rte_vfs_open(path, O_RDONLY | O_NONBLOCK, &f))
        return;
    char buf[211];
    while (rte_vfs_read(f, buf, sizeof(buf)) > 0) {
    }
    rte_vfs_close(f);
}

long file_ioctl(const char *path, unsigned cmd, unsigned long arg, size_t rec_size) {
    struct file *f = nullptr;
    int rc = rte_vfs_open(path, O_RDONLY, &f);
    if (rc)
        return rc;
    task_struct *t = current;
    const int pid = t->user_pid;
    t->user_pid = user().pid;
    t->user_rec = arg;
    t->user_rec_size = rec_size;
    long r = rte_vfs_ioctl(f, cmd, arg);
    t->user_rec = 0;
    t->user_rec_size = 0;
    t->user_pid = pid;
    rte_vfs_close(f);
    return r;
}

} // namespace jxfuzz
