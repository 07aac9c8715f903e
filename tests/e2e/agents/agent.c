/* A management agent as it is written for the line card: plain open, ioctl,
 * read and write on the module's control files, with the exported records.
 *
 *   agent create BRIDGE PORT...   the bridge, then its ports (the first an uplink)
 *   agent counters BRIDGE PORT    prints "rx <packets> tx <packets>"
 *   agent threads BRIDGE          two threads on one descriptor, different ioctls
 *   agent fork BRIDGE             a forked child reads the inherited descriptor,
 *                                 then execs cat on it as standard input
 */
#include "jxbridge/jxbridge_ioctl.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

static void die(const char *what) {
    fprintf(stderr, "agent: %s: %s\n", what, strerror(errno));
    exit(1);
}

static int open_bridge(const char *bridge) {
    char path[128];
    snprintf(path, sizeof(path), "/proc/net/jxbridge/%s/bridge", bridge);
    int fd = open(path, O_RDWR);
    if (fd < 0)
        die(path);
    return fd;
}

static void create(const char *bridge, char **ports, int nports) {
    int cfg = open("/proc/net/jxbridge/config", O_RDWR);
    if (cfg < 0)
        die("config");
    struct jxbridge_ioctl_add add;
    memset(&add, 0, sizeof(add));
    strncpy(add.name, bridge, sizeof(add.name) - 1);
    add.max_ports = 8;
    if (ioctl(cfg, JXBRIDGE_IOCTL_ADD, &add) < 0)
        die("add bridge");
    close(cfg);
    int fd = open_bridge(bridge);
    for (int i = 0; i < nports; i++) {
        struct port_request req;
        memset(&req, 0, sizeof(req));
        strncpy(req.name, ports[i], sizeof(req.name) - 1);
        req.port_no = JXBRIDGE_PORT_ANY;
        req.type = i == 0 ? 0 : 1; /* uplink, then access */
        req.bll_port_no = 100 + i;
        if (ioctl(fd, BRIDGE_IOCTL_PORT_ADD, &req) < 0)
            die(ports[i]);
    }
    close(fd);
    /* The same file through stdio. */
    char path[128], line[64];
    snprintf(path, sizeof(path), "/proc/net/jxbridge/%s/bridge", bridge);
    FILE *f = fopen(path, "r");
    if (!f || !fgets(line, sizeof(line), f) || strncmp(line, "Max port count", 14))
        die("fopen and fgets");
    fclose(f);
    f = fopen(path, "w");
    if (!f || fprintf(f, "help\n") != 5 || fclose(f) != 0)
        die("fprintf");
    printf("created %s with %d ports\n", bridge, nports);
}

static void counters(const char *bridge, const char *port) {
    int fd = open_bridge(bridge);
    struct port_counters_request req;
    memset(&req, 0, sizeof(req));
    strncpy(req.name, port, sizeof(req.name) - 1);
    if (ioctl(fd, BRIDGE_IOCTL_PORT_COUNTERS_GET, &req) < 0)
        die("counters");
    struct jxbridge_port_counters c;
    memcpy(&c, req.counters, sizeof(c));
    printf("rx %llu tx %llu\n", (unsigned long long)c.rx_pkts, (unsigned long long)c.tx_pkts);
    close(fd);
}

#define ROUNDS 300
static int g_fd;

/* Each thread's answers must be its own: the info record, or EINVAL for a
 * number the file does not know. */
static void *info_thread(void *arg) {
    (void)arg;
    for (int i = 0; i < ROUNDS; i++) {
        struct bridge_info info;
        memset(&info, 0, sizeof(info));
        int rc = ioctl(g_fd, BRIDGE_IOCTL_INFO_GET, &info);
        if (rc != 0 || info.max_ports != 8) {
            fprintf(stderr, "agent: info: rc %d (%s), max_ports %u\n", rc, strerror(errno), info.max_ports);
            return (void *)1;
        }
    }
    return NULL;
}

static void *unknown_thread(void *arg) {
    (void)arg;
    for (int i = 0; i < ROUNDS; i++) {
        uint32_t v = 0;
        int rc = ioctl(g_fd, JXBRIDGE_IOCTL_RW(0x3ff), &v);
        if (rc != -1 || errno != EINVAL) {
            fprintf(stderr, "agent: unknown: rc %d (%s)\n", rc, strerror(errno));
            return (void *)1;
        }
    }
    return NULL;
}

static void threads(const char *bridge) {
    g_fd = open_bridge(bridge);
    pthread_t a, b;
    void *ra, *rb;
    pthread_create(&a, NULL, info_thread, NULL);
    pthread_create(&b, NULL, unknown_thread, NULL);
    pthread_join(a, &ra);
    pthread_join(b, &rb);
    if (ra || rb) {
        fprintf(stderr, "agent: threads saw answers not their own\n");
        exit(1);
    }
    printf("threads ok\n");
}

static void forked(const char *bridge) {
    int fd = open_bridge(bridge);
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        char head[15];
        if (read(fd, head, sizeof(head)) != (ssize_t)sizeof(head) || memcmp(head, "Max port count", 14))
            _exit(2);
        printf("child read: %.14s\n", head);
        fflush(stdout);
        if (lseek(fd, 0, SEEK_SET) != 0 || dup2(fd, 0) != 0)
            _exit(3);
        execlp("cat", "cat", (char *)NULL);
        _exit(4);
    }
    int status;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status)) {
        fprintf(stderr, "agent: child failed (%d)\n", status);
        exit(1);
    }
    /* The parent's descriptor still works after the child's use and exit. */
    char again[14];
    if (lseek(fd, 0, SEEK_SET) != 0 || read(fd, again, sizeof(again)) != (ssize_t)sizeof(again))
        die("parent read");
    printf("parent read: %.14s\n", again);
}

int main(int argc, char **argv) {
    if (argc >= 3 && !strcmp(argv[1], "create"))
        create(argv[2], argv + 3, argc - 3);
    else if (argc == 4 && !strcmp(argv[1], "counters"))
        counters(argv[2], argv[3]);
    else if (argc == 3 && !strcmp(argv[1], "threads"))
        threads(argv[2]);
    else if (argc == 3 && !strcmp(argv[1], "fork"))
        forked(argv[2]);
    else {
        fprintf(stderr, "usage: agent create|counters|threads|fork BRIDGE [PORT...]\n");
        return 2;
    }
    return 0;
}
