// The bridge control tool's shared pieces: every command file prints its own
// messages on standard output and returns the command's result, which becomes
// the exit status.
#pragma once

#include "jxbridge/jxbridge_ioctl.h"

#include <cstddef>
#include <cstdint>
#include <functional>

#define JXBRCTL_API_VERSION 56
#define JXBRCTL_PROC_DIR "/proc/net/jxbridge"

// Opens path with rte/ctl; on failure prints "Error opening file '<path>'.\n"
// and returns the negative result.
int brctl_open(const char *path, int flags);
// /proc/net/jxbridge/<bridge>/<file>, read-only (paths of at most 199 characters).
int brctl_open_bridge_file(const char *bridge, const char *file);
// Opens the bridge's file, runs one ioctl and closes: the ioctl's result, or
// the open's.
int brctl_call(const char *bridge, const char *file, unsigned long cmd, unsigned long arg);

// Reads the bridge's slot count on its open bridge file h, then calls fn with
// the record of every port (empty slots skipped). The count request's result:
// the caller says why it failed.
int brctl_each_port(int h, const std::function<void(port_request &)> &fn);

// Word parsers: 0 on success, -EINVAL for a bad word.
// A tag: decimal, or hexadecimal after "0x", 0 to 0xFFFF.
int brctl_parse_tag(const char *word, uint32_t *out);
// A VID: a tag of 1 to 4095.
int brctl_parse_vid(const char *word, uint16_t *out);
// Six hexadecimal groups separated by ':'.
int brctl_parse_mac(const char *word, uint8_t mac[6]);
// "a.b.c.d", the first group in the most significant byte.
int brctl_parse_ipv4(const char *word, uint32_t *out);

// Copies a name into a record's field of field_size bytes, zero-filled and
// NUL-terminated. A longer name prints "<what> name can only be %d characters
// long.\n" and gives -EINVAL.
int brctl_copy_name(char *field, size_t field_size, const char *word, const char *what);
// A port name into a 17-byte field.
int brctl_port_name(char *field, const char *word);

// Usage lines, in the usage list's order; each prints with the program name.
enum brctl_usage_id {
    U_ADD,
    U_DEL,
    U_INFO,
    U_IF,
    U_DIF,
    U_SHOW,
    U_STAT,
    U_ADD_ON_PORT,
    U_DEL_ON_PORT,
    U_PVID_ON_PORT,
    U_ACCEPT_ON_PORT,
    U_TAG_ON_PORT,
    U_REMARK,
    U_ADD_REMARK_RULE,
    U_DEL_REMARK_RULE,
    U_VLAN_ADD,
    U_VLAN_DEL,
    U_VLAN_SHOW,
    U_MPMM_ADD,
    U_MPMM_DEL,
    U_MPMM_SHOW,
    U_MT_GENERAL,
    U_MT_PORTS,
    U_MT_UCAST,
    U_MT_MCAST,
    U_MT_ALL,
    U_MT_MAC_ADD,
    U_MT_MAC_DEL,
    U_MT_IP_SET,
    U_MT_IP_DEL,
    U_MN_SET,
    U_LOCALMAC_SET,
    U_COUNT
};
// Prints one usage line: printf's result.
int brctl_usage(int id, const char *prog);
// Prints the lines from first to last inclusive, for a command group given
// without the words that pick its command: -EINVAL.
int brctl_usage_group(int first, int last, const char *prog);

// Commands on "<prog> <bridge> <command> ...": argv as main's; the bridge's
// "bridge" file is known to exist.
// info, if, dif, show, mn, localmac
int brctl_port_cmd(int argc, char **argv);
int brctl_stat(int argc, char **argv);
// addOnPort ... remark rules, vlan ...
int brctl_vlan_cmd(int argc, char **argv);
int brctl_mt(int argc, char **argv);
// The developer tests: stp, erps, erps_pdu, cfm, cfm_pdu. Sets *handled when
// the word names one.
int brctl_devtest(int argc, char **argv, bool *handled);

// The flow commands ("<prog> <bridge> flow ..."): argv as main's.
int brctl_flow(int argc, char **argv);
// Their usage lines, in the usage list's order.
void brctl_flow_usage(const char *prog);
