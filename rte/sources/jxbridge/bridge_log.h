// Log objects, the trace channel and the per-bridge frame tracer.
#pragma once

#include "kernel/proc_fs.h"
#include "kernel/sched.h"
#include "kernel/sync.h"
#include "kernel/types.h"

#include <cstdarg>

struct jxbridge;
struct jxbridge_port;
struct sk_buff;

// Text is kept per reader in chunks; a line never grows past one chunk.
#define JXBRIDGE_LOG_CHUNK_SIZE 1016
#define JXBRIDGE_LOG_LINE_MAX (JXBRIDGE_LOG_CHUNK_SIZE - 1)
#define JXBRIDGE_LOG_MAX_CHUNKS 2500
// A blocked reader looks again at least this often (jiffies).
#define JXBRIDGE_LOG_RECHECK 1250

struct jxbridge_log_chunk {
    struct jxbridge_log_chunk *next;
    u32 used;
    u32 record_end; // the last chunk of a record (record readers)
    char text[JXBRIDGE_LOG_CHUNK_SIZE];
};

// One open log or tracer file: its private copy of every line logged since.
struct jxbridge_log_reader {
    struct jxbridge_log_reader *prev, *next;
    struct mutex lock; // guards the chunks and counters
    struct task_struct *owner;
    wait_queue_head_t wait;
    struct jxbridge_log_chunk *head, *tail;
    u32 offset; // read position in the first chunk
    u32 chunks;
    u32 max_chunks;
    u32 drops;
    u32 dropped_bytes;
    u32 pending;     // unread bytes (atomic access: waiters test it unlocked)
    u32 max_lines;   // 0: bounded by chunks only; else lines queued at most
    u32 lines;       // whole lines queued
    void *owner_obj; // the log object or tracer list the reader belongs to
    // A record reader keeps whole records, at most record_limit of them, and
    // a read never runs past the end of one.
    u32 record_mode;
    u32 records;
    u32 record_limit;
};

struct jxbridge_log_reader *jxbridge_log_reader_new();
void jxbridge_log_reader_free(struct jxbridge_log_reader *reader);
// Appends text whole, or counts it as dropped when the reader is full: 0 or -ENOMEM.
int jxbridge_log_reader_append(struct jxbridge_log_reader *reader, const char *text, u32 len);
// A record reader's append: the record is kept whole in chunks of its own, or
// counted as dropped when the reader holds record_limit records already.
int jxbridge_log_reader_append_record(struct jxbridge_log_reader *reader, const char *text,
                                      u32 len);
ssize_t jxbridge_log_reader_read(struct jxbridge_log_reader *reader, struct file *file,
                                 char __user *buf, size_t count);
__poll_t jxbridge_log_reader_poll(struct jxbridge_log_reader *reader, struct file *file,
                                  poll_table *wait);
// Formats one line into buf (JXBRIDGE_LOG_CHUNK_SIZE bytes), cut to
// JXBRIDGE_LOG_LINE_MAX characters, behind a timestamp when ts is set.
u32 jxbridge_log_format(char *buf, bool ts, const char *fmt, va_list args);

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
// Module load: the channel's switches start off.
void jxbridge_trace_init();

// A subsystem's debug switch, turned on for the frames the tracer follows.
struct jxbridge_tracer {
    struct jxbridge_tracer *prev, *next;
    void (*set_debug)(void *context, int on);
    void *context;
};
int jxbridge_tracer_register(struct jxbridge_tracer *tracer);
int jxbridge_tracer_unregister(struct jxbridge_tracer *tracer);

// Conditions of the frame tracer (bits of jxbridge_tracer_cond.set).
#define JXBRIDGE_TC_RXPORT 0x0001
#define JXBRIDGE_TC_TXPORT 0x0002
#define JXBRIDGE_TC_RXGEM 0x0004
#define JXBRIDGE_TC_RXIFC 0x0008
#define JXBRIDGE_TC_TXIFC 0x0010
#define JXBRIDGE_TC_DMAC 0x0020
#define JXBRIDGE_TC_SMAC 0x0040
#define JXBRIDGE_TC_VID 0x0080
#define JXBRIDGE_TC_ETHERTYPE 0x0100
#define JXBRIDGE_TC_IPPROTO 0x0200
#define JXBRIDGE_TC_SIP 0x0400
#define JXBRIDGE_TC_DIP 0x0800
#define JXBRIDGE_TC_SPORT 0x1000
#define JXBRIDGE_TC_DPORT 0x2000

struct jxbridge_tracer_cond {
    u32 set;
    u32 rx_port, tx_port; // BLL numbers
    char rx_port_name[IFNAMSIZ], tx_port_name[IFNAMSIZ];
    u32 rx_gem;
    int rx_ifindex, tx_ifindex;
    u8 dmac[ETH_ALEN], smac[ETH_ALEN];
    u16 vid;
    u16 ethertype;
    u8 ipproto;
    u32 sip, sip_mask, dip, dip_mask; // host order
    u16 sport, dport;
};

// Capture modes and points of the "pcap" words.
#define JXBRIDGE_TRACER_PCAP 1
#define JXBRIDGE_TRACER_PCAP_ONLY 2
#define JXBRIDGE_TRACER_CAP_RX 1 // as received, when the tracer goes on
#define JXBRIDGE_TRACER_CAP_MT 2 // after MAC learning
#define JXBRIDGE_TRACER_CAP_TX 4 // at transmission

struct jxbridge_tracer_capture_opts {
    u32 mode; // 0: no capture
    u32 points;
    int out_ifindex; // the one device whose transmissions are captured; 0: all
    char out_name[IFNAMSIZ];
    u32 annotate;
};

// What backup keeps of the tracer across nested processing.
struct jxbridge_tracer_saved {
    u32 active;
    struct sk_buff *skb;
    struct jxbridge_port *in_port;
    struct jxbridge_port *port;
    int rx_ifindex;
    u32 rx_gem_valid, rx_gem;
};

// Per-bridge frame tracer state, kept in the bridge record. All zero is
// "not armed".
struct jxbridge_tracer_state {
    u32 frames_left;
    u32 active;
    u32 paused;  // around an unknown-destination flood
    u32 total;   // frames armed by the last "tracer"
    u32 ordinal; // the frame being traced, counted from 1
    struct jxbridge_tracer_cond cond;
    u32 dlf_stop; // pause tracing around unknown-destination floods
    struct jxbridge_tracer_capture_opts pcap;
    // The frame the pipeline works on and its ports, for the conditions.
    struct sk_buff *skb;
    struct jxbridge_port *in_port;
    struct jxbridge_port *port;
    int rx_ifindex;   // the device the frame entered on
    u32 rx_gem_valid; // it entered on an OLT device with the GEM number rx_gem
    u32 rx_gem;
    struct jxbridge_tracer_saved saved;
};

int jxbridge_tracer_condition(struct jxbridge *bridge);
void jxbridge_tracer_toggle(struct jxbridge *bridge, int on);
void jxbridge_tracer_tick(struct jxbridge *bridge);
void jxbridge_tracer_backup(struct jxbridge *bridge);
void jxbridge_tracer_restore(struct jxbridge *bridge);
void jxbridge_trace_frame(const char *function, struct jxbridge *bridge);
void jxbridge_tracer_printk_set(u32 on);
// No run in progress and none armed: the pipeline skips its tracer hooks.
// Both change only under the bridge lock, never within a frame but by the
// run's own end, which frame_end still sees.
inline bool jxbridge_tracer_idle(const struct jxbridge_tracer_state *T) {
    return !T->active && !T->frames_left;
}
// The pipeline's bracket around one frame: records the frame, where it entered
// and evaluates the conditions; the end switches the tracer off again.
void jxbridge_tracer_frame_begin(struct jxbridge *bridge, struct sk_buff *skb,
                                 struct jxbridge_port *port);
void jxbridge_tracer_frame_end(struct jxbridge *bridge);
// Forwarding to port: the transmit port and interface conditions are tested
// on the egress port, which the frame's arrival could not know.
void jxbridge_tracer_egress(struct jxbridge *bridge, struct sk_buff *skb,
                            struct jxbridge_port *port);
// Around an unknown-destination flood: 1 when tracing was paused (then resume).
int jxbridge_tracer_dlf_pause(struct jxbridge *bridge);
void jxbridge_tracer_dlf_resume(struct jxbridge *bridge, int paused);
// Captures skb at point when the active tracer asks for that point (and, for
// transmissions, that device).
void jxbridge_tracer_capture_at(struct jxbridge *bridge, struct sk_buff *skb, u32 point);
// The capture engine's entries: one frame, and the end of a capture run.
void jxbridge_tracer_capture(struct jxbridge *bridge, struct sk_buff *skb, u32 point);
void jxbridge_tracer_capture_end(struct jxbridge *bridge);

// The frame decoder (bridge_decode.cc): one line per header, without newline.
// stag is an outer tag ethertype recognised besides the usual ones (0: none).
void jxbridge_decode_frame(const u8 *data, u32 len, u16 stag,
                           void (*emit)(void *arg, const char *line), void *arg);
// Traces a frame decoded, every line behind prefix.
void jxbridge_trace_frame_data(const char *prefix, const u8 *data, u32 len, u16 stag);

// An entry written to the outside trace memory for each timer handled.
#define JXBRIDGE_DTRC_TIMER 0x20 // the facility's flag for timer entries
#define JXBRIDGE_DTRC_NO_SLOT 0xFFFF
struct jxbridge_dtrc_entry {
    u16 type; // JXBRIDGE_DTRC_TIMER
    u16 slot; // pool slot, or JXBRIDGE_DTRC_NO_SLOT in timer context
    u32 time; // jiffies
    u64 timer;
    u64 callback;
    u64 data;
};
static_assert(sizeof(jxbridge_dtrc_entry) == 32);

// The ioctls of the bridge's tracer file.
#define JXBRIDGE_TRACER_IOCTL_FRAMES_LEFT 0x80047a00 // u32 out
#define JXBRIDGE_TRACER_IOCTL_DEV_EXISTS 0x80047a01  // 16-byte device name in
