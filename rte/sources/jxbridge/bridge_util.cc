// Text parsing shared by every control file of the module.
#include "jxbridge.h"

#include <cctype>
#include <climits>
#include <cstdlib>

// Runs before the command takes jxbridge_lock: the copy needs no release.
long line_read(const char __user *ubuf, size_t count, char *line, size_t size) {
    lockdep_assert_not_held(&jxbridge_lock);
    if (!count)
        return 0;
    // Look one byte past the longest command for its terminator.
    size_t take = count < size ? count : size;
    char buf[JXBRIDGE_LINE_MAX + 1];
    if (take > sizeof(buf) - 1)
        take = sizeof(buf) - 1;
    if (copy_from_user(buf, ubuf, take))
        return -EFAULT;
    size_t end = 0;
    while (end < take && buf[end] != ';' && buf[end] != '\n')
        end++;
    size_t consumed;
    if (end < take)
        consumed = end + 1;
    else if (count < size)
        consumed = count;
    else
        return -EINVAL; // longer than a command may be: refuse it whole
    buf[end] = '\0';
    size_t start = 0;
    while (buf[start] == ' ' || buf[start] == '\t')
        start++;
    strlcpy(line, buf + start, size);
    return (long)consumed;
}

int jxbridge_split(char *line, char **words, int max_words) {
    int n = 0;
    char *rest = line;
    while (rest && n < max_words) {
        char *w = rest;
        char *sp = strchr(rest, ' ');
        if (sp) {
            *sp = '\0';
            rest = sp + 1;
        } else {
            rest = nullptr;
        }
        words[n++] = w;
    }
    for (int i = n; i < max_words; i++)
        words[i] = nullptr;
    return n;
}

int a2num(const char *word, long long *out) {
    if (!word)
        return -ENOARG;
    const char *p = word;
    bool neg = false;
    if (*p == '-') {
        neg = true;
        p++;
    }
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (!*p || !isxdigit((unsigned char)*p))
        return -EINVAL;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(p, &end, base);
    if (errno || *end || v > (unsigned long long)LLONG_MAX)
        return -EINVAL;
    *out = neg ? -(long long)v : (long long)v;
    return 0;
}

int word_u32(const char *word, u32 *out) {
    long long n;
    if (!word || !*word)
        return -ENOARG;
    if (a2num(word, &n) || n < 0 || n > 0xFFFFFFFFll)
        return -EINVAL;
    *out = (u32)n;
    return 0;
}

int a2vid(const char *word, u16 *out) {
    long long v;
    int rc = a2num(word, &v);
    if (rc)
        return rc;
    if (v < 1 || v > 4094)
        return -ERANGE;
    *out = (u16)v;
    return 0;
}

int a2tag(const char *word, const char *name, u32 *out) {
    long long v;
    int rc = a2num(word, &v);
    if (rc)
        return rc;
    if (v < 0 || v > 65535) {
        if (name)
            printk(KERN_ERR "Out of range for %s.\n", name);
        return -1;
    }
    *out = (u32)v;
    return 0;
}

int a2cmp(const char *word) {
    static const char *const ops[] = {"==", "!=", "<", "<=", ">", ">="};
    if (!word)
        return -ENOARG;
    for (size_t i = 0; i < ARRAY_SIZE(ops); i++)
        if (!strcmp(word, ops[i]))
            return (int)i;
    return -EINVAL;
}

int a2remark_dir(const char *word) {
    if (!word)
        return -ENOARG;
    if (!strcasecmp(word, "in") || !strcasecmp(word, "ingress"))
        return 1;
    if (!strcasecmp(word, "out") || !strcasecmp(word, "egress"))
        return 2;
    return -EINVAL;
}

int a2bool(const char *word) {
    static const char *const yes[] = {"on", "yes", "enable", "enabled", "1"};
    static const char *const no[] = {"off", "no", "disable", "disabled", "0"};
    if (!word)
        return -1;
    for (const char *w : yes)
        if (!strcasecmp(word, w))
            return 1;
    for (const char *w : no)
        if (!strcasecmp(word, w))
            return 0;
    return -1;
}

int a2addr(const char *word, u64 *out) {
    if (!word) {
        printk(KERN_WARNING "%s\n", "Missing <addr>.");
        return -1;
    }
    if (word[0] == '0' && (word[1] == 'x' || word[1] == 'X'))
        *out = strtoull(word + 2, nullptr, 16);
    else if (isdigit((unsigned char)word[0]))
        *out = strtoull(word, nullptr, 10);
    else
        *out = 0;
    return 0;
}

namespace {

// Reads 1..max_digits digits of the base; the field must end at a separator.
bool parse_field(const char *&p, int base, int max_digits, unsigned long limit,
                 unsigned long *out) {
    unsigned long v = 0;
    int n = 0;
    while (*p && n <= max_digits) {
        int d;
        if (isdigit((unsigned char)*p))
            d = *p - '0';
        else if (base == 16 && isxdigit((unsigned char)*p))
            d = tolower((unsigned char)*p) - 'a' + 10;
        else
            break;
        v = v * base + d;
        n++;
        p++;
    }
    if (n == 0 || n > max_digits || v > limit)
        return false;
    *out = v;
    return true;
}

bool parse_fields(const char *word, char sep, int count, int base, int max_digits,
                  unsigned long limit, unsigned long *fields) {
    if (!word)
        return false;
    const char *p = word;
    for (int i = 0; i < count; i++) {
        if (!parse_field(p, base, max_digits, limit, &fields[i]))
            return false;
        if (i + 1 < count && *p++ != sep)
            return false;
    }
    return *p == '\0';
}

bool ipv4_quiet(const char *word, u32 *addr) {
    unsigned long f[4];
    if (!parse_fields(word, '.', 4, 10, 3, 255, f))
        return false;
    *addr = (u32)(f[0] << 24 | f[1] << 16 | f[2] << 8 | f[3]);
    return true;
}

} // namespace

int parse_mac(const char *word, u8 *mac) {
    unsigned long f[6];
    if (!parse_fields(word, ':', 6, 16, 8, 0xff, f)) {
        printk(KERN_ERR "Can't parse '%s' as MAC address.\n", word ? word : "");
        return -EINVAL;
    }
    for (int i = 0; i < 6; i++)
        mac[i] = (u8)f[i];
    return 0;
}

int parse_ipv4(const char *word, u32 *addr) {
    if (!ipv4_quiet(word, addr)) {
        printk(KERN_ERR "Can't parse '%s' as IPv4 address.\n", word ? word : "");
        return -EINVAL;
    }
    return 0;
}

int parse_ipv6(const char *word, u8 *addr) {
    unsigned long f[8];
    if (!parse_fields(word, ':', 8, 16, 4, 0xffff, f)) {
        printk(KERN_ERR "Can't parse '%s' as IPv6 address.\n", word ? word : "");
        return -EINVAL;
    }
    for (int i = 0; i < 8; i++) {
        addr[2 * i] = (u8)(f[i] >> 8);
        addr[2 * i + 1] = (u8)f[i];
    }
    return 0;
}

int parse_ip(const char *word, int *family, u8 *addr) {
    u32 v4;
    if (ipv4_quiet(word, &v4)) {
        memcpy(addr, &v4, sizeof(v4));
        *family = 2;
        return 0;
    }
    int rc = parse_ipv6(word, addr);
    if (rc == 0)
        *family = 10;
    return rc;
}

const char *int2onoff(int v) {
    return v ? "on" : "off";
}
const char *int2yesno(int v) {
    return v ? "yes" : "no";
}
const char *int2endis(int v) {
    return v ? "enabled" : "disabled";
}
