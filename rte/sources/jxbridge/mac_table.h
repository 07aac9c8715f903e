// The bridge's MAC address table.
#pragma once

#include "kernel/types.h"

struct jxbridge;
struct jxbridge_port;
struct mac_table;
