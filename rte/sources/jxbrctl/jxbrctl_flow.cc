// Flow commands: requests to the outside flow manager's file.
#include "jxbrctl/jxbrctl.h"

#include <cerrno>

int brctl_flow(int, char **) {
    return -EOPNOTSUPP;
}

void brctl_flow_usage(const char *) {}
