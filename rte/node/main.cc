// jxnode: the line card in one process. Loads the modules with their parameters,
// serves the control files, the kernel log and netlink to rte/ctl clients, and
// unloads everything on SIGINT or SIGTERM.
#include "ctl/jxctl.h"
#include "ctl/jxproc_cmd.h"
#include "node/server.h"

#include "kernel/module.h"
#include "kernel/printk.h"
#include "kernel/sched.h"
#include "kernel/skbuff.h"
#include "kernel/time.h"
#include "linecard/engine.h"
#include "linecard/flowmgr.h"
#include "linecard/hostlink.h"
#include "linecard/linecard.h"

#include <algorithm>
#include <malloc.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

void usage(FILE *f) {
    fputs("usage: jxnode [--socket PATH] [--script FILE] [--port IFNAME]... "
          "[--port-driver xdp|afpacket] [--flow-manager] [MODULE.PARAM=VALUE]...\n"
          "Serves the control files on PATH (default $" JXCTL_SOCKET_ENV
          ", else " JXCTL_DEFAULT_SOCKET ").\n"
          "FILE holds jxproc command lines, run once the node serves.\n"
          "IFNAME is a Linux interface bound as the line-card port of that name, through\n"
          "AF_XDP where the kernel allows it, else AF_PACKET (promiscuous, GRO/LRO off;\n"
          "give it no IP address); --port-driver forces one for every port.\n"
          "--flow-manager runs the flow manager stand-in: flows from the forwarded frames,\n"
          "served on /proc/net/jxbridge/flow (costs a frame copy per received frame).\n",
          f);
}

void log_sink(const printk_record &rec) {
    const char *nl = !rec.text.empty() && rec.text.back() == '\n' ? "" : "\n";
    fprintf(stderr, "[%5llu.%06llu] %s%s", (unsigned long long)(rec.usec / 1000000),
            (unsigned long long)(rec.usec % 1000000), rec.text.c_str(), nl);
}

std::vector<std::string> split_words(const std::string &line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            i++;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            i++;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

// Runs each command line of the script as jxproc would; stops at the first failure.
bool run_script(const std::string &file) {
    FILE *f = fopen(file.c_str(), "re");
    if (!f) {
        fprintf(stderr, "jxnode: script %s: %s\n", file.c_str(), strerror(errno));
        return false;
    }
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    unsigned lineno = 0;
    bool ok = true;
    while ((len = getline(&line, &cap, f)) >= 0) {
        lineno++;
        std::string text(line, len);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        std::vector<std::string> args = split_words(text);
        if (args.empty() || args[0][0] == '#')
            continue;
        int rc = jxproc_run(args, stdout, stderr);
        if (rc != 0) {
            fprintf(stderr, "jxnode: %s:%u: failed (exit %d): %s\n", file.c_str(), lineno, rc,
                    text.c_str());
            ok = false;
            break;
        }
    }
    if (ok && ferror(f)) {
        fprintf(stderr, "jxnode: script %s: read error\n", file.c_str());
        ok = false;
    }
    free(line);
    fclose(f);
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    std::string socket_path = jxctl_socket_path();
    std::string script;
    std::vector<std::string> params;
    std::vector<std::string> port_names;
    bool flow_manager = false;
    linecard_port_driver port_driver = LINECARD_PORT_AUTO;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--socket" || a == "--script") {
            if (i + 1 >= argc || !argv[i + 1][0]) {
                usage(stderr);
                return 2;
            }
            (a == "--socket" ? socket_path : script) = argv[++i];
        } else if (a == "--port") {
            if (i + 1 >= argc || !argv[i + 1][0]) {
                usage(stderr);
                return 2;
            }
            port_names.push_back(argv[++i]);
        } else if (a == "--port-driver") {
            std::string d = i + 1 < argc ? argv[++i] : "";
            if (d != "xdp" && d != "afpacket") {
                usage(stderr);
                return 2;
            }
            port_driver = d == "xdp" ? LINECARD_PORT_XDP : LINECARD_PORT_AFPACKET;
        } else if (a == "--flow-manager") {
            flow_manager = true;
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "jxnode: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        } else {
            params.push_back(a);
        }
    }

    const std::vector<std::string> known = rte_modules_known();
    std::map<std::string, std::vector<std::string>> module_args;
    for (const std::string &p : params) {
        size_t dot = p.find('.');
        size_t eq = p.find('=');
        if (dot == std::string::npos || dot == 0 || eq == std::string::npos || eq < dot + 2) {
            fprintf(stderr, "jxnode: '%s' is not MODULE.PARAM=VALUE\n", p.c_str());
            usage(stderr);
            return 2;
        }
        std::string mod = p.substr(0, dot);
        if (std::find(known.begin(), known.end(), mod) == known.end()) {
            fprintf(stderr, "jxnode: unknown module '%s' in '%s'\n", mod.c_str(), p.c_str());
            return 1;
        }
        module_args[mod].push_back(p.substr(dot + 1));
    }

    // Signals are taken by sigwait below; every thread started from here on
    // inherits the mask, so none of them is hit by SIGINT or SIGTERM.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // The script runs as a client of this very node.
    setenv(JXCTL_SOCKET_ENV, socket_path.c_str(), 1);

    rte_clock_set_virtual(false);
    rte_sched_allow_rt(true);
    rte_log_set_sink(log_sink);
    linecard_memory_init();
    linecard_ethdrv_init();
    linecard_engine_install(); // the line card's packet engine is always there
    // Management and filter devices are the host's TAPs.
    linecard_hostlink_start(LINECARD_HOSTLINK_TAP);
    // Ports go before the modules, so a module never sees a device vanish under it;
    // the flow manager too, so the bridge never calls into a manager going away.
    auto shutdown = [flow_manager] {
        linecard_port_unbind_all();
        if (flow_manager)
            linecard_flowmgr_stop();
        rte_modules_unload_all();
        linecard_hostlink_stop();
        linecard_engine_remove();
        linecard_ethdrv_fini();
        linecard_memory_fini();
    };

    for (const std::string &mod : known) {
        int rc = rte_module_load(mod.c_str(), module_args[mod]);
        if (rc < 0) {
            fprintf(stderr, "jxnode: loading %s failed: %s (%d)\n", mod.c_str(), strerror(-rc), rc);
            shutdown();
            return 1;
        }
    }
    if (flow_manager) {
        int rc = linecard_flowmgr_start();
        if (rc < 0) {
            fprintf(stderr, "jxnode: cannot start the flow manager: %s (%d)\n", strerror(-rc), rc);
            shutdown();
            return 1;
        }
    }
    // Bound after the modules load, so their notifiers see the devices arrive.
    for (const std::string &name : port_names) {
        std::string how;
        int rc = linecard_port_bind(name.c_str(), port_driver, &how);
        if (rc < 0 && port_driver == LINECARD_PORT_XDP) {
            fprintf(stderr, "jxnode: cannot bind port %s through AF_XDP: %s (%d)\n", name.c_str(),
                    how.c_str(), rc);
            shutdown();
            return 1;
        }
        if (rc < 0) {
            const char *why = rc == -ENODEV            ? "no such interface"
                              : rc == -EPROTONOSUPPORT ? "not an Ethernet interface"
                                                       : strerror(-rc);
            fprintf(stderr, "jxnode: cannot bind port %s: %s (%d)\n", name.c_str(), why, rc);
            shutdown();
            return 1;
        }
        fprintf(stderr, "jxnode: port %s uses %s\n", name.c_str(), how.c_str());
    }

    jxnode::Server server;
    int rc = server.start(socket_path);
    if (rc < 0) {
        if (rc == -EADDRINUSE)
            fprintf(stderr, "jxnode: another node is serving on %s\n", socket_path.c_str());
        else
            fprintf(stderr, "jxnode: cannot serve on %s: %s (%d)\n", socket_path.c_str(),
                    strerror(-rc), rc);
        shutdown();
        return 1;
    }
    if (!script.empty() && !run_script(script)) {
        server.stop();
        shutdown();
        return 1;
    }
    printf("jxnode: serving on %s\n", socket_path.c_str());
    fflush(stdout);

    // Once a second, a port whose interface went away is bound again when an
    // interface of that name is back (a bridge takes its device as a new one).
    int sig;
    const timespec second = {1, 0};
    while ((sig = sigtimedwait(&sigs, nullptr, &second)) < 0) {
        if (errno != EAGAIN)
            continue;
        // Every control-file client is served by a short-lived thread; what
        // their malloc arenas keep free goes back to the host.
        malloc_trim(0);
        for (const std::string &name : port_names) {
            std::string how;
            if (linecard_port_bind(name.c_str(), port_driver, &how) == 0)
                fprintf(stderr, "jxnode: port %s is back, uses %s\n", name.c_str(), how.c_str());
        }
    }
    fprintf(stderr, "jxnode: %s, stopping\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
    server.stop();
    shutdown();
    // With every module gone, a frame still allocated was leaked.
    rte_skb_pool_stats pool = rte_skb_pool_get_stats();
    fprintf(stderr, "jxnode: stopped; frames in use %llu, buffers in use %llu\n",
            (unsigned long long)pool.skbs_in_use, (unsigned long long)pool.buffers_in_use);
    return 0;
}
