// printk into the kernel log ring.
#pragma once

#include "kernel/types.h"

#include <string>
#include <vector>

#define KERN_SOH "\001"
#define KERN_EMERG KERN_SOH "0"
#define KERN_ALERT KERN_SOH "1"
#define KERN_CRIT KERN_SOH "2"
#define KERN_ERR KERN_SOH "3"
#define KERN_WARNING KERN_SOH "4"
#define KERN_NOTICE KERN_SOH "5"
#define KERN_INFO KERN_SOH "6"
#define KERN_DEBUG KERN_SOH "7"
#define KERN_CONT KERN_SOH "c"
#define LOGLEVEL_DEFAULT 4

int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Logs the caller's stack, as far as the host can tell it.
void dump_stack();
int vprintk(const char *fmt, va_list args);

#define pr_emerg(fmt, ...) printk(KERN_EMERG fmt, ##__VA_ARGS__)
#define pr_alert(fmt, ...) printk(KERN_ALERT fmt, ##__VA_ARGS__)
#define pr_crit(fmt, ...) printk(KERN_CRIT fmt, ##__VA_ARGS__)
#define pr_err(fmt, ...) printk(KERN_ERR fmt, ##__VA_ARGS__)
#define pr_warn(fmt, ...) printk(KERN_WARNING fmt, ##__VA_ARGS__)
#define pr_notice(fmt, ...) printk(KERN_NOTICE fmt, ##__VA_ARGS__)
#define pr_info(fmt, ...) printk(KERN_INFO fmt, ##__VA_ARGS__)
#define pr_debug(fmt, ...) printk(KERN_DEBUG fmt, ##__VA_ARGS__)

// One record of the ring: a printk call, or a continuation merged into it.
struct printk_record {
    u64 seq;
    int level;
    u64 usec; // monotonic time of the record
    std::string text;
};

// The ring keeps the newest records up to a byte budget.
std::vector<printk_record> rte_log_read(u64 from_seq = 0);
std::string rte_log_text(u64 from_seq = 0); // "<level>text" lines, for dmesg
u64 rte_log_next_seq();
void rte_log_clear();
// Count of records since from_seq whose text contains needle.
size_t rte_log_count(const std::string &needle, u64 from_seq = 0);
// A sink sees every record as it is written (the node prints to stderr).
using rte_log_sink_fn = void (*)(const printk_record &);
void rte_log_set_sink(rte_log_sink_fn fn);
