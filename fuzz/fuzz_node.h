// The node as the fuzzers drive it: the bridge module loaded on the virtual
// clock, bridge br0 of wire ports with frames processed in the caller, and
// torn down after every input so that each input starts from the same state
// and a frame left behind is found at once.
#pragma once

#include "kernel/module.h"
#include "kernel/netdevice.h"
#include "kernel/sched.h"
#include "kernel/skbuff.h"
#include "kernel/time.h"
#include "kernel/vfs.h"
#include "linecard/engine.h"
#include "linecard/flowmgr.h"
#include "linecard/linecard.h"
#include "linecard/wire.h"
#include "sources/jxbridge/jxbridge.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace jxfuzz {

constexpr const char *kConfig = "/proc/net/jxbridge/config";
constexpr const char *kPorts[] = {"wa", "wb", "wc", "wd"};
constexpr size_t kNumPorts = sizeof(kPorts) / sizeof(kPorts[0]);
// An OLT device beside them (the OLT stand-in takes it by its name), no port
// until an input or a fuzzer's set-up makes one.
constexpr const char *kOlt = "gpon0";

[[noreturn]] inline void die(const char *what) {
    fprintf(stderr, "fuzz: %s\n", what);
    abort();
}

// User memory for records: a region shared with a child process that only
// sleeps. Copies to and from "user" addresses go to the child, so a pointer
// the input makes up can reach the region or the guard page after it, or any
// other address of the child, and never this process's memory.
struct user_space {
    u8 *region = nullptr;
    size_t size = 0;
    int pid = 0;
};
user_space &user();
void user_space_init(size_t size);

// Loads the modules and builds br0: four wire ports, the first two access
// ports, the third an uplink, the fourth a local port, all lines up; and the
// wire OLT device gpon0.
void node_up();
// IGMP snooping on br0 (node_up does it).
void igmp_up();
// Unloads everything; aborts when a frame was left allocated.
void node_down();

struct jxbridge *bridge();
// Wire i of the ports, or the OLT device for i == kNumPorts (taken modulo).
struct net_device *wire(size_t i);
// Every frame the wires transmitted since the last call, dropped.
void drain_wires();

long file_write(const char *path, const void *buf, size_t len);
// Reads the whole file, so its read-out runs over whatever state there is.
void file_read_all(const char *path);
// The ioctl with arg as a user address of the child's memory; the record of
// rec_size bytes there bounds copies that start inside it.
long file_ioctl(const char *path, unsigned cmd, unsigned long arg, size_t rec_size);

} // namespace jxfuzz
