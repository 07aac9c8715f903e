// The PHY stand-in: the line of a bound interface follows the host
// interface's link (up with carrier), reported to the bridge as the line
// card's PHY driver reports it, through jxbridge_port_phy_state_set.
//
// One thread for all ports sleeps in poll() on a NETLINK_ROUTE socket joined
// to the link notifications and on an eventfd that wakes it for new work. A
// port is reported:
// - when it is watched, with the state the host gives when asked;
// - when its carrier, speed or duplex changes. Other link changes (flags,
//   MTU, addresses) report nothing, so a line set by hand (force_line_up_flag)
//   holds until the carrier really changes;
// - when its device joins a bridge (NETDEV_JOIN): the bridge starts a new
//   port's line DOWN, and a carrier that came earlier would never reach it.
// Notifications lost to an overrun (ENOBUFS) make the thread ask the host for
// every watched interface again.
//
// Locks: watch_lock guards the watch list and is taken by the notifier, which
// runs inside the bridge's own lock when a device joins; it is never held
// while reporting. report_lock is held across the thread's reports, which
// take the bridge's lock, so unwatch can wait out a report still using the
// device: it must not be called holding that lock. life_lock orders watch and
// unwatch, which start the thread with the first port and stop it with the last.
#include "linecard/linecard.h"

#include "linecard/phy_host.h"

#include "kernel/module.h"
#include "kernel/netdevice.h"
#include "kernel/printk.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using phy_report_fn = void (*)(struct net_device *, u32, u32, u32);

// Link messages handled per receive: a burst is read in a few calls.
constexpr size_t kLinksPerRead = 64;
constexpr size_t kReadBufSize = 1 << 16;

struct phy_port {
    struct net_device *dev;
    std::string name;
    int ifindex;
    bool known = false; // the host told the state below
    bool up = false;
    u32 speed = 0;
    u32 duplex = 0;
    bool ask = true;    // ask the host for the state
    bool report = true; // report at the next pass even without a change
};

struct phy_report {
    struct net_device *dev;
    std::string name;
    u32 up, speed, duplex;
};

std::mutex life_lock;
std::mutex watch_lock;
std::mutex report_lock;
std::vector<phy_port> watched;
std::thread watcher;
int monitor_fd = -1;
int query_fd = -1;
int kick_fd = -1;
bool stopping = false; // under watch_lock

void kick() {
    u64 one = 1;
    if (write(kick_fd, &one, sizeof(one)) != sizeof(one))
        pr_err("linecard: phy: cannot wake the watcher: %d\n", -errno);
}

// A link state from the host, under watch_lock: a change is reported.
void link_seen(phy_port *w, const lc_link &l) {
    if (l.gone)
        return; // the port's device goes with it
    u32 speed = 0, duplex = 0;
    if (l.up)
        lc_link_settings(query_fd, w->ifindex, &speed, &duplex);
    if (!w->known || l.up != w->up || speed != w->speed || duplex != w->duplex)
        w->report = true;
    w->known = true;
    w->up = l.up;
    w->speed = speed;
    w->duplex = duplex;
}

void links_seen(const lc_link *links, int n) {
    std::lock_guard<std::mutex> g(watch_lock);
    for (int i = 0; i < n; i++)
        for (phy_port &w : watched)
            if (w.ifindex == links[i].ifindex)
                link_seen(&w, links[i]);
}

void ask_all_locked() {
    for (phy_port &w : watched)
        w.ask = true;
}

// Reads the pending notifications.
void read_notifications() {
    static std::vector<u8> buf(kReadBufSize);
    lc_link links[kLinksPerRead];
    while (true) {
        ssize_t got = recv(monitor_fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (got < 0) {
            if (errno == ENOBUFS) {
                std::lock_guard<std::mutex> g(watch_lock);
                ask_all_locked();
                continue;
            }
            if (errno != EAGAIN && errno != EINTR)
                pr_err("linecard: phy: reading link notifications: %d\n", -errno);
            return;
        }
        int n = lc_link_parse(buf.data(), size_t(got), links, kLinksPerRead);
        if (n < 0 || size_t(n) == kLinksPerRead) {
            // Not all of it understood: the host's answers stand in for it.
            std::lock_guard<std::mutex> g(watch_lock);
            ask_all_locked();
        } else {
            links_seen(links, n);
        }
    }
}

// Asks the host where it was wanted, then reports; false once stopping.
bool serve() {
    std::lock_guard<std::mutex> r(report_lock);
    std::vector<phy_report> reports;
    {
        std::lock_guard<std::mutex> g(watch_lock);
        if (stopping)
            return false;
        for (phy_port &w : watched) {
            if (!w.ask)
                continue;
            w.ask = false;
            lc_link l;
            int err = lc_link_query(query_fd, w.ifindex, &l);
            if (!err)
                link_seen(&w, l);
            else if (err != -ENODEV)
                pr_warn("linecard: phy: %s: cannot read the link: %d\n", w.name.c_str(), err);
        }
        for (phy_port &w : watched) {
            if (!w.report || !w.known)
                continue;
            w.report = false;
            reports.push_back({w.dev, w.name, w.up, w.up ? w.speed : 0, w.up ? w.duplex : 0});
        }
    }
    if (reports.empty())
        return true;
    // Looked up each time: the bridge module may come and go.
    auto report = (phy_report_fn)__symbol_get("jxbridge_port_phy_state_set");
    for (const phy_report &p : reports) {
        if (p.up)
            pr_info("linecard: %s: line up, %u Mb/s, %s duplex\n", p.name.c_str(), p.speed,
                    p.duplex ? "full" : "half");
        else
            pr_info("linecard: %s: line down\n", p.name.c_str());
        if (report)
            report(p.dev, p.up, p.speed, p.duplex);
    }
    return true;
}

void watcher_main() {
    while (serve()) {
        struct pollfd pfd[2] = {{monitor_fd, POLLIN, 0}, {kick_fd, POLLIN, 0}};
        if (poll(pfd, 2, -1) < 0 && errno != EINTR) {
            pr_err("linecard: phy: watcher stopped: poll: %d\n", -errno);
            return;
        }
        if (pfd[1].revents) {
            u64 n;
            if (read(kick_fd, &n, sizeof(n)) < 0 && errno != EAGAIN)
                pr_err("linecard: phy: watcher wake-up: %d\n", -errno);
        }
        if (pfd[0].revents)
            read_notifications();
    }
}

int phy_netdev_event(struct notifier_block *, unsigned long event, void *ptr) {
    if (event != NETDEV_JOIN)
        return NOTIFY_DONE;
    struct net_device *dev = netdev_notifier_info_to_dev(ptr);
    std::lock_guard<std::mutex> g(watch_lock);
    for (phy_port &w : watched) {
        if (w.dev == dev) {
            w.report = true;
            kick();
        }
    }
    return NOTIFY_DONE;
}

struct notifier_block phy_notifier = {phy_netdev_event, nullptr, 0};

void close_fds() {
    for (int *fd : {&monitor_fd, &query_fd, &kick_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

// Under life_lock.
int watcher_start() {
    monitor_fd = lc_link_monitor_open();
    query_fd = lc_link_query_open();
    kick_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int err = monitor_fd < 0 ? monitor_fd : query_fd < 0 ? query_fd : 0;
    if (!err && kick_fd < 0)
        err = errno ? -errno : -EIO;
    if (!err)
        err = register_netdevice_notifier(&phy_notifier);
    if (err) {
        close_fds();
        return err;
    }
    stopping = false;
    watcher = std::thread(watcher_main);
    return 0;
}

// Under life_lock, with no port left.
void watcher_stop() {
    unregister_netdevice_notifier(&phy_notifier);
    {
        std::lock_guard<std::mutex> g(watch_lock);
        stopping = true;
    }
    kick();
    watcher.join();
    close_fds();
}

} // namespace

int linecard_phy_watch(const char *ifname, struct net_device *dev) {
    if (!ifname || !dev)
        return -EINVAL;
    int ifindex = lc_link_index(ifname);
    if (ifindex < 0)
        return ifindex;
    std::lock_guard<std::mutex> life(life_lock);
    {
        std::lock_guard<std::mutex> g(watch_lock);
        for (const phy_port &w : watched)
            if (w.dev == dev)
                return -EEXIST;
    }
    if (watched.empty()) {
        int err = watcher_start();
        if (err) {
            pr_err("linecard: phy: cannot watch links: %d\n", err);
            return err;
        }
    }
    std::lock_guard<std::mutex> g(watch_lock);
    watched.push_back({dev, ifname, ifindex});
    kick();
    return 0;
}

void linecard_phy_unwatch(struct net_device *dev) {
    std::lock_guard<std::mutex> life(life_lock);
    bool found = false;
    {
        std::lock_guard<std::mutex> g(watch_lock);
        for (auto it = watched.begin(); it != watched.end(); ++it) {
            if (it->dev == dev) {
                watched.erase(it);
                found = true;
                break;
            }
        }
    }
    if (!found)
        return;
    // A report in flight may still use the device.
    { std::lock_guard<std::mutex> r(report_lock); }
    if (watched.empty())
        watcher_stop();
}
