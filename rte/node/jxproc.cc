// jxproc: cat, write, ioctl, follow, dmesg and link on jxnode's control files.
#include "ctl/jxproc_cmd.h"

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return jxproc_run(args, stdout, stderr);
}
