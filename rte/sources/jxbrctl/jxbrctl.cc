// jxbrctl: creates bridges and inspects or changes them through the control
// files under /proc/net/jxbridge. One command per run; its result is the exit
// status.
#include "jxbrctl/jxbrctl.h"

#include "ctl/jxctl.h"
#include "jxbridge/jxbridge_ioctl.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

int brctl_open(const char *path, int flags) {
    int h = jxctl_open(path, flags);
    if (h < 0)
        printf("Error opening file '%s'.\n", path);
    return h;
}

int brctl_open_bridge_file(const char *bridge, const char *file) {
    char path[200];
    int n = snprintf(path, sizeof(path), JXBRCTL_PROC_DIR "/%s/%s", bridge, file);
    if (n < 0 || (size_t)n >= sizeof(path)) {
        printf("Error opening file '%s'.\n", path);
        return -ENAMETOOLONG;
    }
    return brctl_open(path, O_RDONLY);
}

int brctl_parse_tag(const char *word, uint32_t *out) {
    char *end = nullptr;
    errno = 0;
    unsigned long v =
        strncmp(word, "0x", 2) == 0 ? strtoul(word + 2, &end, 16) : strtoul(word, &end, 10);
    if (errno || end == word || *end || v > 0xFFFF || word[0] == '-')
        return -EINVAL;
    *out = (uint32_t)v;
    return 0;
}

int brctl_parse_mac(const char *word, uint8_t mac[6]) {
    unsigned v[6];
    char tail;
    if (sscanf(word, "%x:%x:%x:%x:%x:%x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &tail) != 6)
        return -EINVAL;
    for (int i = 0; i < 6; i++) {
        if (v[i] > 0xFF)
            return -EINVAL;
        mac[i] = (uint8_t)v[i];
    }
    return 0;
}

int main(int argc, char **argv) {
    int h = jxctl_open(JXBRCTL_PROC_DIR "/config", O_RDONLY);
    if (h < 0) {
        printf("Bridge module is probably not loaded.\n");
        return h;
    }
    uint32_t version = 0;
    long rc = jxctl_ioctl(h, JXBRIDGE_IOCTL_API_VERSION, (unsigned long)&version);
    jxctl_close(h);
    if (rc < 0) {
        printf("Kernel module is too old.\n");
        return -8;
    }
    if (version != JXBRCTL_API_VERSION) {
        printf("%s uses different API version (%d) than kernel module (%d).\n", argv[0],
               JXBRCTL_API_VERSION, (int)version);
        return -8;
    }
    if (argc >= 4 && strcmp(argv[2], "flow") == 0)
        return brctl_flow(argc, argv);
    return 0;
}
