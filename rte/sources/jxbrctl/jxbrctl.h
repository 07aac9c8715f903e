// The bridge control tool's shared pieces: every command file prints its own
// messages on standard output and returns the command's result, which becomes
// the exit status.
#pragma once

#include <cstdint>

#define JXBRCTL_API_VERSION 56
#define JXBRCTL_PROC_DIR "/proc/net/jxbridge"

// Opens path with rte/ctl; on failure prints "Error opening file '<path>'.\n"
// and returns the negative result.
int brctl_open(const char *path, int flags);
// /proc/net/jxbridge/<bridge>/<file>, read-only (paths of at most 199 characters).
int brctl_open_bridge_file(const char *bridge, const char *file);

// Word parsers: 0 on success, -EINVAL for a bad word.
// A tag: decimal, or hexadecimal after "0x", 0 to 0xFFFF.
int brctl_parse_tag(const char *word, uint32_t *out);
// Six hexadecimal groups separated by ':'.
int brctl_parse_mac(const char *word, uint8_t mac[6]);

// The flow commands ("<prog> <bridge> flow ..."): argv as main's.
int brctl_flow(int argc, char **argv);
// Their usage lines, in the usage list's order.
void brctl_flow_usage(const char *prog);
