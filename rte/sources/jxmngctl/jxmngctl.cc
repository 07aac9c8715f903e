// jxmngctl: creates and deletes management devices and switches the
// management module's debug logging, through ioctls on /proc/net/mng/config.
// One command per run, one line of result; the exit status says how it went.
#include "ctl/jxctl.h"
#include "jxmng/jxmng_ioctl.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <strings.h>

namespace {

// A name that fits the 16-byte buffer; a longer one would be cut to another
// device's name.
bool name_fits(const char *name, char (&buf)[JXMNG_NAME_SIZE]) {
    if (strlen(name) >= sizeof(buf))
        return false;
    memset(buf, 0, sizeof(buf));
    memcpy(buf, name, strlen(name));
    return true;
}

int run(int h, const char *cmd, const char *arg) {
    char name[JXMNG_NAME_SIZE];
    if (!strcasecmp(cmd, "add") || !strcasecmp(cmd, "del")) {
        const bool add = !strcasecmp(cmd, "add");
        if (!name_fits(arg, name) || jxctl_ioctl(h, add ? JXMNG_IOCTL_DEV_ADD : JXMNG_IOCTL_DEV_DEL,
                                                 (unsigned long)name) < 0) {
            printf(add ? "Error adding '%s'.\n" : "Error deleting '%s'.\n", arg);
            return -1;
        }
        printf(add ? "'%s' created.\n" : "'%s' deleted.\n", arg);
        return 0;
    }
    if (!strcasecmp(cmd, "debug")) {
        if (strcmp(arg, "0") && strcmp(arg, "1")) {
            printf("Invalid debug mode '%s'.\n", arg);
            return -1;
        }
        if (jxctl_ioctl(h, JXMNG_IOCTL_DEBUG, arg[0] == '1') < 0)
            return -1;
        printf("Set to '%s'.\n", arg);
        return 0;
    }
    // An unknown command is not a success.
    printf("Unknown command\n");
    return -1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        printf("Incorrect arguments \n");
        return -1;
    }
    int h = jxctl_open(JXMNG_PROC_CONFIG, O_RDONLY);
    if (h < 0) {
        printf("Error openning file %s.\n", JXMNG_PROC_CONFIG);
        return h;
    }
    uint32_t version = 0;
    if (jxctl_ioctl(h, JXMNG_IOCTL_API_VERSION, (unsigned long)&version) < 0) {
        printf("Kernel module is too old.\n");
        jxctl_close(h);
        return -1;
    }
    if (version != JXMNG_API_VERSION) {
        printf("`%s` uses different API version (%d) than kernel module (%d).\n", argv[0],
               JXMNG_API_VERSION, (int)version);
        jxctl_close(h);
        return -1;
    }
    int rc = run(h, argv[1], argv[2]);
    jxctl_close(h);
    return rc;
}
