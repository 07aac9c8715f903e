// jxproc: cat, write, ioctl, follow, dmesg and link on jxnode's control files.
#include "ctl/jxproc_cmd.h"

#include <csignal>
#include <cstring>
#include <unistd.h>

// A signal that lands between two reads interrupts none: the alarm's default
// action then ends the process all the same.
static void interrupted(int) {
    alarm(2);
}

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // A follow stopped by a signal ends with the read's error, not as if the
    // file had ended: the handler only interrupts the blocked read.
    if (!args.empty() && args[0] == "follow") {
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = interrupted;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    }
    return jxproc_run(args, stdout, stderr);
}
