// Log objects: named files whose every open reader gets its own copy of each
// line logged, kept in chunks until read.
#include "jxbridge.h"

#include <cstdio>

struct jxbridge_log_obj {
    struct mutex lock; // guards the reader list
    struct jxbridge_log_reader *readers;
    u32 reader_count; // (atomic access: the logging fast path tests it unlocked)
    struct proc_dir_entry *dir;
    struct proc_dir_entry *entry;
    char *name;
    char *header;
    void *data;
    u32 printk;
    u32 add_timestamp;
};

// Readers.

struct jxbridge_log_reader *jxbridge_log_reader_new() {
    auto *r = (struct jxbridge_log_reader *)jxbridge_zalloc(sizeof(struct jxbridge_log_reader));
    if (!r)
        return nullptr;
    mutex_init(&r->lock);
    init_waitqueue_head(&r->wait);
    r->owner = current;
    return r;
}

void jxbridge_log_reader_free(struct jxbridge_log_reader *r) {
    if (!r)
        return;
    while (r->head) {
        struct jxbridge_log_chunk *c = r->head;
        r->head = c->next;
        kfree(c);
    }
    kfree(r);
}

static int reader_append(struct jxbridge_log_reader *r, const char *text, u32 len, bool record) {
    if (!len)
        return 0;
    mutex_lock(&r->lock);
    // A record starts a chunk of its own, so that reads can stop at its end.
    u32 room = r->tail && !record ? JXBRIDGE_LOG_CHUNK_SIZE - r->tail->used : 0;
    u32 need =
        len > room ? (len - room + JXBRIDGE_LOG_CHUNK_SIZE - 1) / JXBRIDGE_LOG_CHUNK_SIZE : 0;
    u32 nl = 0;
    for (u32 i = 0; i < len; i++)
        nl += text[i] == '\n';
    if (r->chunks + need > JXBRIDGE_LOG_MAX_CHUNKS || (record && r->records >= r->record_limit) ||
        (r->max_lines && r->lines >= r->max_lines)) {
        // A full reader keeps what it has; the line is counted, not stored.
        r->drops++;
        r->dropped_bytes += len;
        mutex_unlock(&r->lock);
        return 0;
    }
    // All new chunks first: a failed allocation stores no part of the line.
    struct jxbridge_log_chunk *first = nullptr, *last = nullptr;
    for (u32 i = 0; i < need; i++) {
        auto *c = (struct jxbridge_log_chunk *)jxbridge_zalloc(sizeof(struct jxbridge_log_chunk));
        if (!c) {
            while (first) {
                struct jxbridge_log_chunk *n = first->next;
                kfree(first);
                first = n;
            }
            mutex_unlock(&r->lock);
            return -ENOMEM;
        }
        if (last)
            last->next = c;
        else
            first = c;
        last = c;
    }
    u32 done = 0;
    if (room) {
        u32 n = len < room ? len : room;
        memcpy(r->tail->text + r->tail->used, text, n);
        r->tail->used += n;
        done = n;
    }
    for (struct jxbridge_log_chunk *c = first; c; c = c->next) {
        u32 n = len - done < JXBRIDGE_LOG_CHUNK_SIZE ? len - done : JXBRIDGE_LOG_CHUNK_SIZE;
        memcpy(c->text, text + done, n);
        c->used = n;
        done += n;
    }
    if (record) {
        last->record_end = 1;
        r->records++;
    }
    if (first) {
        if (r->tail)
            r->tail->next = first;
        else
            r->head = first;
        r->tail = last;
    }
    r->chunks += need;
    r->lines += nl;
    if (r->chunks > r->max_chunks)
        r->max_chunks = r->chunks;
    __atomic_add_fetch(&r->pending, len, __ATOMIC_RELEASE);
    mutex_unlock(&r->lock);
    wake_up_interruptible(&r->wait);
    return 0;
}

int jxbridge_log_reader_append(struct jxbridge_log_reader *r, const char *text, u32 len) {
    return reader_append(r, text, len, false);
}

int jxbridge_log_reader_append_record(struct jxbridge_log_reader *r, const char *text, u32 len) {
    return reader_append(r, text, len, true);
}

static u32 reader_pending(struct jxbridge_log_reader *r) {
    return __atomic_load_n(&r->pending, __ATOMIC_ACQUIRE);
}

// Takes up to count bytes from the front: the bytes copied, or -EFAULT when
// none could be. Caller holds the reader's lock.
static ssize_t reader_take(struct jxbridge_log_reader *r, char __user *buf, size_t count) {
    size_t done = 0;
    while (done < count && r->head) {
        struct jxbridge_log_chunk *c = r->head;
        u32 avail = c->used - r->offset;
        u32 n = avail < count - done ? avail : (u32)(count - done);
        u32 copied = n - (u32)copy_to_user(buf + done, c->text + r->offset, n);
        for (u32 i = 0; i < copied; i++)
            if (c->text[r->offset + i] == '\n' && r->lines)
                r->lines--;
        done += copied;
        r->offset += copied;
        __atomic_sub_fetch(&r->pending, copied, __ATOMIC_RELEASE);
        if (copied < n)
            return done ? (ssize_t)done : -EFAULT;
        if (r->offset < c->used)
            break;
        r->head = c->next;
        if (!r->head)
            r->tail = nullptr;
        r->chunks--;
        r->offset = 0;
        bool end = c->record_end;
        kfree(c);
        if (end) {
            r->records--;
            if (r->record_mode)
                break;
        }
    }
    return (ssize_t)done;
}

ssize_t jxbridge_log_reader_read(struct jxbridge_log_reader *r, struct file *file, char __user *buf,
                                 size_t count) {
    if (!r)
        return -EBADF;
    if (!count)
        return 0;
    for (;;) {
        if (reader_pending(r)) {
            mutex_lock(&r->lock);
            ssize_t n = reader_take(r, buf, count);
            mutex_unlock(&r->lock);
            if (n)
                return n;
        }
        if (file->f_flags & O_NONBLOCK)
            return -EAGAIN;
        // No lock is held while waiting; a missed wake-up costs one re-check.
        long rc =
            wait_event_interruptible_timeout(r->wait, reader_pending(r) != 0, JXBRIDGE_LOG_RECHECK);
        if (rc < 0)
            return -ERESTARTSYS;
    }
}

__poll_t jxbridge_log_reader_poll(struct jxbridge_log_reader *r, struct file *file,
                                  poll_table *wait) {
    if (!r)
        return EPOLLERR;
    poll_wait(file, &r->wait, wait);
    return reader_pending(r) ? (EPOLLIN | EPOLLRDNORM) : 0;
}

// Formatting.

void jxbridge_log_timestamp(char *buf, size_t size, const char *text) {
    if (!buf || !size)
        return;
    // The kernel layer keeps no time-zone offset: local time is its UTC.
    const s64 tz_minuteswest = 0;
    u64 ns = ktime_get_real_ns();
    s64 secs = (s64)(ns / 1000000000ull) - tz_minuteswest * 60;
    long nsec = (long)(ns % 1000000000ull);
    s64 day = ((secs % 86400) + 86400) % 86400;
    snprintf(buf, size, "%02d:%02d:%02d.%09ld %s", (int)(day / 3600), (int)(day / 60 % 60),
             (int)(day % 60), nsec, text ? text : "");
}
EXPORT_SYMBOL(jxbridge_log_timestamp);

u32 jxbridge_log_format(char *buf, bool ts, const char *fmt, va_list args) {
    u32 off = 0;
    buf[0] = '\0';
    if (ts) {
        // The same text as a timestamp put in front of the format, without
        // ever cutting the format itself.
        jxbridge_log_timestamp(buf, JXBRIDGE_LOG_CHUNK_SIZE, "");
        off = (u32)strlen(buf);
    }
    int n = vsnprintf(buf + off, JXBRIDGE_LOG_CHUNK_SIZE - off, fmt ? fmt : "", args);
    u32 len = off + (n > 0 ? (u32)n : 0);
    return len > JXBRIDGE_LOG_LINE_MAX ? JXBRIDGE_LOG_LINE_MAX : len;
}

// Log objects.

static int log_line(struct jxbridge_log_obj *log, bool ts, const char *fmt, va_list args) {
    if (!log)
        return -ENOENT;
    bool to_printk = __atomic_load_n(&log->printk, __ATOMIC_RELAXED);
    if (!to_printk && !__atomic_load_n(&log->reader_count, __ATOMIC_ACQUIRE))
        return 0;
    char buf[JXBRIDGE_LOG_CHUNK_SIZE];
    u32 len = jxbridge_log_format(buf, ts, fmt, args);
    int rc = (int)len;
    mutex_lock(&log->lock);
    for (struct jxbridge_log_reader *r = log->readers; r; r = r->next)
        if (jxbridge_log_reader_append(r, buf, len) < 0) {
            rc = -ENOMEM;
            break;
        }
    mutex_unlock(&log->lock);
    if (to_printk)
        printk(KERN_INFO "%s", buf);
    return rc;
}

int jxbridge_logv_(struct jxbridge_log_obj *log, const char *fmt, va_list args) {
    return log_line(log, false, fmt, args);
}
EXPORT_SYMBOL(jxbridge_logv_);

int jxbridge_log_(struct jxbridge_log_obj *log, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int rc = log_line(log, false, fmt, ap);
    va_end(ap);
    return rc;
}
EXPORT_SYMBOL(jxbridge_log_);

int jxbridge_logv_ts(struct jxbridge_log_obj *log, const char *fmt, va_list args) {
    return log_line(log, true, fmt, args);
}
EXPORT_SYMBOL(jxbridge_logv_ts);

int jxbridge_log_ts(struct jxbridge_log_obj *log, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int rc = log_line(log, true, fmt, ap);
    va_end(ap);
    return rc;
}
EXPORT_SYMBOL(jxbridge_log_ts);

int jxbridge_logv(struct jxbridge_log_obj *log, const char *fmt, va_list args) {
    return log_line(log, log && __atomic_load_n(&log->add_timestamp, __ATOMIC_RELAXED), fmt, args);
}
EXPORT_SYMBOL(jxbridge_logv);

int jxbridge_log(struct jxbridge_log_obj *log, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int rc = jxbridge_logv(log, fmt, ap);
    va_end(ap);
    return rc;
}
EXPORT_SYMBOL(jxbridge_log);

static int log_open(struct inode *inode, struct file *file) {
    auto *log = (struct jxbridge_log_obj *)PDE_DATA(inode);
    if (!log)
        return -ENODEV;
    struct jxbridge_log_reader *r = jxbridge_log_reader_new();
    if (!r)
        return -ENOMEM;
    r->owner_obj = log;
    // The header goes in before the reader is linked, so it comes first.
    if (log->header && jxbridge_log_reader_append(r, log->header, (u32)strlen(log->header)) < 0) {
        jxbridge_log_reader_free(r);
        return -ENOMEM;
    }
    mutex_lock(&log->lock);
    r->next = log->readers;
    if (log->readers)
        log->readers->prev = r;
    log->readers = r;
    __atomic_add_fetch(&log->reader_count, 1, __ATOMIC_RELEASE);
    mutex_unlock(&log->lock);
    file->private_data = r;
    return 0;
}

static int log_release(struct inode *, struct file *file) {
    auto *r = (struct jxbridge_log_reader *)file->private_data;
    if (!r)
        return 0;
    auto *log = (struct jxbridge_log_obj *)r->owner_obj;
    mutex_lock(&log->lock);
    if (r->prev)
        r->prev->next = r->next;
    else
        log->readers = r->next;
    if (r->next)
        r->next->prev = r->prev;
    __atomic_sub_fetch(&log->reader_count, 1, __ATOMIC_RELEASE);
    mutex_unlock(&log->lock);
    file->private_data = nullptr;
    jxbridge_log_reader_free(r);
    return 0;
}

static ssize_t log_read(struct file *file, char __user *buf, size_t count, loff_t *) {
    return jxbridge_log_reader_read((struct jxbridge_log_reader *)file->private_data, file, buf,
                                    count);
}

// A line is taken as a command would be, and has no effect.
static ssize_t log_write(struct file *, const char __user *buf, size_t count, loff_t *) {
    char line[JXBRIDGE_LINE_MAX];
    return line_read(buf, count, line, sizeof(line));
}

static __poll_t log_poll(struct file *file, poll_table *wait) {
    return jxbridge_log_reader_poll((struct jxbridge_log_reader *)file->private_data, file, wait);
}

static const struct file_operations jxbridge_log_fops = {
    .open = log_open,
    .read = log_read,
    .write = log_write,
    .poll = log_poll,
    .release = log_release,
};

static char *log_strdup(const char *s) {
    size_t n = strlen(s) + 1;
    char *p = (char *)jxbridge_zalloc(n);
    if (p)
        memcpy(p, s, n);
    return p;
}

static void log_free(struct jxbridge_log_obj *log) {
    kfree(log->name);
    kfree(log->header);
    kfree(log);
}

int jxbridge_log_add(struct proc_dir_entry *dir, const char *name, const char *header, void *data,
                     struct jxbridge_log_obj **out) {
    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (!name || !*name)
        return -EINVAL;
    auto *log = (struct jxbridge_log_obj *)jxbridge_zalloc(sizeof(struct jxbridge_log_obj));
    if (!log)
        return -ENOMEM;
    mutex_init(&log->lock);
    log->dir = dir;
    log->data = data;
    log->name = log_strdup(name);
    if (header)
        log->header = log_strdup(header);
    if (!log->name || (header && !log->header)) {
        log_free(log);
        return -ENOMEM;
    }
    log->entry = proc_create_data(log->name, 0666, dir, &jxbridge_log_fops, log);
    if (!log->entry) {
        log_free(log);
        return -ENOBUFS;
    }
    *out = log;
    return 0;
}
EXPORT_SYMBOL(jxbridge_log_add);

int jxbridge_log_del(struct jxbridge_log_obj *log) {
    if (!log)
        return -ENOENT;
    // Removal interrupts blocked readers and releases every open file, which
    // unlinks its reader: nothing refers to the object afterwards.
    if (log->entry)
        proc_remove(log->entry);
    log_free(log);
    return 0;
}
EXPORT_SYMBOL(jxbridge_log_del);

int jxbridge_log_printk_set(struct jxbridge_log_obj *log, u32 on) {
    if (!log)
        return -ENOENT;
    __atomic_store_n(&log->printk, on, __ATOMIC_RELAXED);
    return 0;
}
EXPORT_SYMBOL(jxbridge_log_printk_set);

int jxbridge_log_add_timestamp_set(struct jxbridge_log_obj *log, u32 on) {
    if (!log)
        return -ENOENT;
    __atomic_store_n(&log->add_timestamp, on, __ATOMIC_RELAXED);
    return 0;
}
EXPORT_SYMBOL(jxbridge_log_add_timestamp_set);

int jxbridge_log_data(struct jxbridge_log_obj *log, void **out) {
    if (!log)
        return -ENOENT;
    if (!out)
        return -EINVAL;
    *out = log->data;
    return 0;
}
EXPORT_SYMBOL(jxbridge_log_data);
