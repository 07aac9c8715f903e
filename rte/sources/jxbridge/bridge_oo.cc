// The bridge's openolt file: a placeholder until OpenOLT flow management is built here.
#include "jxbridge.h"

extern const struct jxbridge_subsys oo_subsys = {
    .tag = "OpenOLT",
    .files = {{"openolt", 0644}},
};
