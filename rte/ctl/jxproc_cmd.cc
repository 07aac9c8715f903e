#include "ctl/jxproc_cmd.h"

#include "ctl/jxctl.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// The kernel's own error numbers that the C library has no text for.
const char *error_text(long err) {
    switch (err) {
    case 524:
        return "Operation not supported";
    case 525:
        return "Missing argument";
    case 527:
        return "Type not supported";
    default:
        return strerror((int)err);
    }
}

// The record of `ioctl` is at most this large (an --out size or a hex record).
constexpr size_t RECORD_MAX = 1 << 20;
constexpr size_t CHUNK = 64 * 1024;

struct ctx {
    FILE *out;
    FILE *err;
};

int fail(const ctx &c, const char *form, const std::string &path, long rc) {
    if (jxctl_node_down(rc)) {
        const char *sock = jxctl_socket_path();
        struct stat st;
        bool present = stat(sock, &st) == 0 && S_ISSOCK(st.st_mode);
        fprintf(c.err, "jxproc: jxnode is not running (%s at %s)\n",
                present ? "nothing answers" : "no socket", sock);
        return 1;
    }
    if (path.empty())
        fprintf(c.err, "jxproc: %s: %s (%ld)\n", form, error_text(-rc), rc);
    else
        fprintf(c.err, "jxproc: %s %s: %s (%ld)\n", form, path.c_str(), error_text(-rc), rc);
    return 1;
}

int usage(const ctx &c) {
    jxproc_usage(c.err);
    return 2;
}

// Whole-string numbers only; base 0 takes decimal or 0x-prefixed hexadecimal.
bool parse_u64(const std::string &s, int base, unsigned long long *v) {
    if (s.empty() || s[0] == '-' || s[0] == '+' || isspace((unsigned char)s[0]))
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long x = strtoull(s.c_str(), &end, base);
    if (errno || *end)
        return false;
    *v = x;
    return true;
}

bool parse_value(const std::string &s, unsigned long *v) {
    unsigned long long x;
    if (!s.empty() && s[0] == '-') {
        errno = 0;
        char *end = nullptr;
        long long y = strtoll(s.c_str(), &end, 0);
        if (errno || *end || s.size() < 2)
            return false;
        *v = (unsigned long)y;
        return true;
    }
    if (!parse_u64(s, 0, &x) || x > ULONG_MAX)
        return false;
    *v = (unsigned long)x;
    return true;
}

bool parse_cmd(std::string s, uint32_t *cmd) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s = s.substr(2);
    if (s.empty() || s.size() > 8)
        return false;
    for (char ch : s)
        if (!isxdigit((unsigned char)ch))
            return false;
    *cmd = (uint32_t)strtoul(s.c_str(), nullptr, 16);
    return true;
}

// The size field of an ioctl number, as the kernel's _IOC_SIZE.
size_t ioc_size(uint32_t cmd) {
    return (cmd >> 16) & 0x3fff;
}

bool parse_hex(const std::string &s, std::vector<uint8_t> *bytes) {
    if (s.empty() || s.size() % 2 || s.size() / 2 > RECORD_MAX)
        return false;
    bytes->clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        if (!isxdigit((unsigned char)s[i]) || !isxdigit((unsigned char)s[i + 1]))
            return false;
        bytes->push_back((uint8_t)strtoul(s.substr(i, 2).c_str(), nullptr, 16));
    }
    return true;
}

// Copies the file to out until end of file; follow keeps going on a file that
// blocks, cat is the same loop on a file that ends.
int copy_out(const ctx &c, const char *form, const std::string &path) {
    int h = jxctl_open(path.c_str(), O_RDONLY);
    if (h < 0)
        return fail(c, form, path, h);
    std::vector<char> buf(CHUNK);
    int status = 0;
    for (;;) {
        ssize_t n = jxctl_read(h, buf.data(), buf.size());
        if (n < 0) {
            status = fail(c, form, path, n);
            break;
        }
        if (n == 0)
            break;
        if (fwrite(buf.data(), 1, n, c.out) != (size_t)n || fflush(c.out) != 0) {
            status = fail(c, form, path, -(errno ? errno : EIO));
            break;
        }
    }
    jxctl_close(h);
    return status;
}

int do_write(const ctx &c, const std::vector<std::string> &a) {
    if (a.size() < 3)
        return usage(c);
    std::string text = a[2];
    for (size_t i = 3; i < a.size(); i++)
        text += ' ' + a[i];
    int h = jxctl_open(a[1].c_str(), O_WRONLY);
    if (h < 0)
        return fail(c, "write", a[1], h);
    ssize_t rc = jxctl_write(h, text.data(), text.size());
    jxctl_close(h);
    fprintf(c.out, "%zd\n", rc);
    fflush(c.out);
    if (rc < 0)
        return fail(c, "write", a[1], rc);
    return 0;
}

int do_ioctl(const ctx &c, const std::vector<std::string> &a) {
    if (a.size() < 3)
        return usage(c);
    uint32_t cmd;
    if (!parse_cmd(a[2], &cmd))
        return usage(c);
    std::vector<uint8_t> record;
    // Buffers the record points to: the offset of the pointer, then the bytes.
    std::vector<std::pair<size_t, std::vector<uint8_t>>> blocks;
    bool have_hex = false, have_out = false, have_value = false;
    unsigned long long out_size = 0;
    unsigned long value = 0;
    for (size_t i = 3; i < a.size(); i++) {
        if (a[i] == "--out") {
            if (have_out || i + 1 >= a.size() || !parse_u64(a[i + 1], 0, &out_size) ||
                out_size == 0 || out_size > RECORD_MAX)
                return usage(c);
            have_out = true;
            i++;
        } else if (a[i] == "--value") {
            if (have_value || i + 1 >= a.size() || !parse_value(a[i + 1], &value))
                return usage(c);
            have_value = true;
            i++;
        } else if (a[i] == "--ptr") {
            // OFF=HEX: a buffer holding HEX; OFF=+N: N zero bytes. Its address
            // goes into the record at OFF (8 bytes, little-endian).
            if (i + 1 >= a.size())
                return usage(c);
            const std::string &ptr_arg = a[++i];
            size_t eq = ptr_arg.find('=');
            unsigned long long off = 0, n = 0;
            std::vector<uint8_t> bytes;
            if (eq == std::string::npos || !parse_u64(ptr_arg.substr(0, eq), 0, &off) ||
                off > RECORD_MAX - 8)
                return usage(c);
            std::string body = ptr_arg.substr(eq + 1);
            if (!body.empty() && body[0] == '+') {
                if (!parse_u64(body.substr(1), 0, &n) || n == 0 || n > RECORD_MAX)
                    return usage(c);
                bytes.assign(n, 0);
            } else if (!parse_hex(body, &bytes)) {
                return usage(c);
            }
            blocks.emplace_back((size_t)off, std::move(bytes));
        } else if (!have_hex && parse_hex(a[i], &record)) {
            have_hex = true;
        } else {
            return usage(c);
        }
    }
    // A number passed as itself and a record passed by address exclude each other.
    if (have_value && (have_hex || have_out || !blocks.empty()))
        return usage(c);
    bool by_pointer = have_hex || have_out || !blocks.empty();
    // The record is at least what --out asks and what the number announces
    // (its size field), zero-filled; the node's copies stop at its end.
    size_t size = record.size();
    if (size < out_size)
        size = out_size;
    if (by_pointer && size < ioc_size(cmd))
        size = ioc_size(cmd);
    for (auto &b : blocks)
        if (size < b.first + 8)
            size = b.first + 8;
    record.resize(size, 0);
    for (auto &b : blocks) {
        uint64_t addr = (uintptr_t)b.second.data();
        for (int k = 0; k < 8; k++)
            record[b.first + k] = (uint8_t)(addr >> (8 * k));
    }

    int h = jxctl_open(a[1].c_str(), O_RDONLY);
    if (h < 0)
        return fail(c, "ioctl", a[1], h);
    long rc = by_pointer ? jxctl_ioctl_record(h, cmd, record.data(), record.size())
                         : jxctl_ioctl(h, cmd, value);
    jxctl_close(h);
    fprintf(c.out, "rc=%ld\n", rc);
    if (by_pointer) {
        for (uint8_t b : record)
            fprintf(c.out, "%02x", b);
        fputc('\n', c.out);
        for (auto &b : blocks) {
            fprintf(c.out, "ptr %zu=", b.first);
            for (uint8_t x : b.second)
                fprintf(c.out, "%02x", x);
            fputc('\n', c.out);
        }
    }
    fflush(c.out);
    if (rc < 0)
        return fail(c, "ioctl", a[1], rc);
    return 0;
}

int do_dmesg(const ctx &c, const std::vector<std::string> &a) {
    if (a.size() != 1)
        return usage(c);
    std::string text;
    int rc = jxctl_dmesg_text(&text);
    if (rc < 0)
        return fail(c, "dmesg", "", rc);
    fwrite(text.data(), 1, text.size(), c.out);
    fflush(c.out);
    return 0;
}

int do_link(const ctx &c, const std::vector<std::string> &a) {
    if (a.size() == 1) {
        std::vector<jxctl_link> links;
        int rc = jxctl_links(&links);
        if (rc < 0)
            return fail(c, "link", "", rc);
        for (const jxctl_link &l : links)
            // The state stays last: scripts match "... up" and "... down".
            fprintf(
                c.out, "%d: %.*s: flags=0x%x rx=%llu tx=%llu rx_dropped=%llu tx_dropped=%llu %s\n",
                l.ifindex, (int)sizeof(l.name), l.name, l.flags, (unsigned long long)l.rx_packets,
                (unsigned long long)l.tx_packets, (unsigned long long)l.rx_dropped,
                (unsigned long long)l.tx_dropped, l.up ? "up" : "down");
        fflush(c.out);
        return 0;
    }
    if (a.size() != 3 || (a[2] != "up" && a[2] != "down"))
        return usage(c);
    int rc = jxctl_link_set(a[1].c_str(), a[2] == "up");
    if (rc < 0)
        return fail(c, "link", a[1], rc);
    return 0;
}

} // namespace

void jxproc_usage(FILE *err) {
    fputs("usage: jxproc cat PATH\n"
          "       jxproc write PATH WORD...\n"
          "       jxproc ioctl PATH CMD [HEX] [--out N] [--value N] [--ptr OFF=HEX|OFF=+N]...\n"
          "       jxproc follow PATH\n"
          "       jxproc dmesg\n"
          "       jxproc link [DEV up|down]\n"
          "CMD is hexadecimal; HEX is the record passed by address, --out N sizes it\n"
          "(zero-filled), --value N passes N itself; --ptr puts the address of a buffer\n"
          "holding HEX (or N zero bytes) at offset OFF of the record, printed back after. The "
          "node's socket is $" JXCTL_SOCKET_ENV ",\nelse " JXCTL_DEFAULT_SOCKET ".\n",
          err);
}

int jxproc_run(const std::vector<std::string> &args, FILE *out, FILE *err) {
    ctx c{out, err};
    if (args.empty())
        return usage(c);
    const std::string &form = args[0];
    if (form == "cat" || form == "follow") {
        if (args.size() != 2)
            return usage(c);
        return copy_out(c, form.c_str(), args[1]);
    }
    if (form == "write")
        return do_write(c, args);
    if (form == "ioctl")
        return do_ioctl(c, args);
    if (form == "dmesg")
        return do_dmesg(c, args);
    if (form == "link")
        return do_link(c, args);
    return usage(c);
}
