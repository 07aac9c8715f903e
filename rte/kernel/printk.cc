#include "kernel/printk.h"

#include <execinfo.h>

#include "kernel/time.h"

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>

namespace {

constexpr size_t LOG_BUDGET_BYTES = 1 << 20;

struct log_ring {
    std::mutex m;
    std::deque<printk_record> records;
    size_t bytes = 0;
    u64 next_seq = 1;
    bool open_line = false; // the newest record still waits for its newline
    rte_log_sink_fn sink = nullptr;
};

log_ring &ring() {
    static log_ring r;
    return r;
}

// Splits a kernel level prefix off the format's output.
int parse_level(const char *&text, bool &cont) {
    int level = -1;
    cont = false;
    while (text[0] == '\001' && text[1]) {
        if (text[1] >= '0' && text[1] <= '7')
            level = text[1] - '0';
        else if (text[1] == 'c')
            cont = true;
        text += 2;
    }
    return level;
}

} // namespace

int vprintk(const char *fmt, va_list args) {
    char stackbuf[1024];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(stackbuf, sizeof(stackbuf), fmt, copy);
    va_end(copy);
    if (n < 0)
        return n;
    std::string out;
    if ((size_t)n < sizeof(stackbuf)) {
        out.assign(stackbuf, n);
    } else {
        out.resize(n + 1);
        vsnprintf(out.data(), n + 1, fmt, args);
        out.resize(n);
    }

    const char *text = out.c_str();
    bool cont;
    int level = parse_level(text, cont);

    log_ring &r = ring();
    rte_log_sink_fn sink;
    printk_record copy_out;
    bool emit = false;
    {
        std::lock_guard<std::mutex> g(r.m);
        if ((cont || level < 0) && r.open_line && !r.records.empty()) {
            r.records.back().text += text;
            r.bytes += strlen(text);
        } else {
            printk_record rec;
            rec.seq = r.next_seq++;
            rec.level = level < 0 ? LOGLEVEL_DEFAULT : level;
            rec.usec = ktime_get_ns() / 1000;
            rec.text = text;
            r.bytes += rec.text.size() + sizeof(rec);
            r.records.push_back(std::move(rec));
        }
        const std::string &last = r.records.back().text;
        r.open_line = last.empty() || last.back() != '\n';
        while (r.bytes > LOG_BUDGET_BYTES && r.records.size() > 1) {
            r.bytes -= r.records.front().text.size() + sizeof(printk_record);
            r.records.pop_front();
        }
        sink = r.sink;
        if (sink && !r.open_line) {
            copy_out = r.records.back();
            emit = true;
        }
    }
    if (emit)
        sink(copy_out);
    return n;
}

int printk(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = vprintk(fmt, args);
    va_end(args);
    return n;
}

std::vector<printk_record> rte_log_read(u64 from_seq) {
    log_ring &r = ring();
    std::lock_guard<std::mutex> g(r.m);
    std::vector<printk_record> out;
    for (const auto &rec : r.records)
        if (rec.seq >= from_seq)
            out.push_back(rec);
    return out;
}

std::string rte_log_text(u64 from_seq) {
    std::string out;
    for (const auto &rec : rte_log_read(from_seq)) {
        char prefix[48];
        snprintf(prefix, sizeof(prefix), "<%d>[%5llu.%06llu] ", rec.level,
                 (unsigned long long)(rec.usec / 1000000),
                 (unsigned long long)(rec.usec % 1000000));
        out += prefix;
        out += rec.text;
        if (out.empty() || out.back() != '\n')
            out += '\n';
    }
    return out;
}

u64 rte_log_next_seq() {
    log_ring &r = ring();
    std::lock_guard<std::mutex> g(r.m);
    return r.next_seq;
}

void rte_log_clear() {
    log_ring &r = ring();
    std::lock_guard<std::mutex> g(r.m);
    r.records.clear();
    r.bytes = 0;
    r.open_line = false;
}

size_t rte_log_count(const std::string &needle, u64 from_seq) {
    size_t n = 0;
    for (const auto &rec : rte_log_read(from_seq))
        if (rec.text.find(needle) != std::string::npos)
            n++;
    return n;
}

void rte_log_set_sink(rte_log_sink_fn fn) {
    log_ring &r = ring();
    std::lock_guard<std::mutex> g(r.m);
    r.sink = fn;
}

void dump_stack() {
    void *frames[32];
    int n = backtrace(frames, 32);
    printk(KERN_WARNING "Call trace:\n");
    for (int i = 1; i < n; i++)
        printk(KERN_WARNING " [<%p>]\n", frames[i]);
}
