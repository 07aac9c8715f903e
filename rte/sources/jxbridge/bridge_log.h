// Log objects, the trace channel and the per-bridge frame tracer.
#pragma once

#include "kernel/proc_fs.h"
#include "kernel/types.h"

#include <cstdarg>

struct jxbridge;
struct jxbridge_port;
struct sk_buff;

// Log objects (bridge_log.cc).
struct jxbridge_log_obj;
int jxbridge_log_add(struct proc_dir_entry *dir, const char *name, const char *header, void *data,
                     struct jxbridge_log_obj **out);
int jxbridge_log_del(struct jxbridge_log_obj *log);
int jxbridge_log_printk_set(struct jxbridge_log_obj *log, u32 on);
int jxbridge_log_add_timestamp_set(struct jxbridge_log_obj *log, u32 on);
int jxbridge_log_data(struct jxbridge_log_obj *log, void **out);
int jxbridge_logv_(struct jxbridge_log_obj *log, const char *fmt, va_list args);
int jxbridge_log_(struct jxbridge_log_obj *log, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
int jxbridge_logv_ts(struct jxbridge_log_obj *log, const char *fmt, va_list args);
int jxbridge_log_ts(struct jxbridge_log_obj *log, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
int jxbridge_logv(struct jxbridge_log_obj *log, const char *fmt, va_list args);
int jxbridge_log(struct jxbridge_log_obj *log, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void jxbridge_log_timestamp(char *buf, size_t size, const char *text);

// The trace channel (bridge_tracer.cc).
extern u32 jxbridge_trace_printk;
extern u32 jxbridge_trace_add_timestamp;
int jxbridge_tracev_(const char *fmt, va_list args);
int jxbridge_trace_(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int jxbridge_tracev_ts(const char *fmt, va_list args);
int jxbridge_trace_ts(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int jxbridge_tracev(const char *fmt, va_list args);
int jxbridge_trace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A subsystem's debug switch, turned on for the frames the tracer follows.
struct jxbridge_tracer {
    struct jxbridge_tracer *prev, *next;
    void (*set_debug)(void *context, int on);
    void *context;
};
int jxbridge_tracer_register(struct jxbridge_tracer *tracer);
int jxbridge_tracer_unregister(struct jxbridge_tracer *tracer);

// Per-bridge frame tracer state, kept in the bridge record.
struct jxbridge_tracer_state {
    u32 frames_left;
    u32 active;
    u32 saved;
    // The frame the pipeline works on and its ports, for the conditions.
    struct sk_buff *skb;
    struct jxbridge_port *in_port;
    struct jxbridge_port *port;
};

int jxbridge_tracer_condition(struct jxbridge *bridge);
void jxbridge_tracer_toggle(struct jxbridge *bridge, int on);
void jxbridge_tracer_tick(struct jxbridge *bridge);
void jxbridge_tracer_backup(struct jxbridge *bridge);
void jxbridge_tracer_restore(struct jxbridge *bridge);
void jxbridge_trace_frame(const char *function, struct jxbridge *bridge);
void jxbridge_tracer_printk_set(u32 on);

// The bridge's tracer file.
extern const struct file_operations jxbridge_tracer_fops;
