// The rule core shared by the classifiers: names, the bounded frame parser
// and the header rewrites.
#include "bridge_rule.h"

#include "jxbridge.h"
#include "kernel/types.h"
#include "kernel/uaccess.h"

int rule_name_from_text(char *dst, const char *word, size_t max) {
    if (!word || !*word || strlen(word) > max)
        return -EINVAL;
    memcpy(dst, word, strlen(word) + 1);
    return 0;
}

int rule_name_from_field(char *dst, const char *field, size_t size, size_t max) {
    size_t n = strnlen(field, size);
    if (n == size || n > max)
        return -EINVAL;
    memcpy(dst, field, n);
    dst[n] = '\0';
    return 0;
}

int rule_field_name(const char *field, size_t size, char *out, size_t max) {
    if (rule_name_from_field(out, field, size, max))
        return -EINVAL;
    return *out ? 0 : -EINVAL;
}

int rule_user_name(unsigned long arg, char *out, size_t max) {
    char buf[256];
    if (max + 2 > sizeof(buf))
        return -EINVAL;
    mutex_unlock(&jxbridge_lock);
    long n = strncpy_from_user(buf, (const char __user *)arg, (long)max + 2);
    mutex_lock(&jxbridge_lock);
    if (n < 0)
        return -EFAULT;
    if (n == 0 || (size_t)n > max)
        return -EINVAL;
    memcpy(out, buf, (size_t)n);
    out[n] = '\0';
    return 0;
}

// IPv6 extension headers the parser steps over; a fragment other than the
// first carries no L4 header.
static bool rule_ipv6_ext(u8 nh) {
    return nh == 0 || nh == 43 || nh == 44 || nh == 51 || nh == 60;
}

struct rule_ipv6_l4 rule_parse_ipv6(const u8 *data, u32 len, u16 l3) {
    struct rule_ipv6_l4 r = {};
    if ((u32)l3 + 40 > len)
        return r;
    r.whole = 1;
    u8 nh = data[l3 + 6];
    u32 off = l3 + 40;
    // Each step moves forward by at least 8 bytes, so the walk ends.
    while (rule_ipv6_ext(nh)) {
        if (off + 8 > len)
            return r;
        const u8 *h = data + off;
        if (nh == 44) {
            if ((rule_get16(h + 2) & 0xFFF8) != 0)
                return r;
            off += 8;
        } else if (nh == 51) {
            off += ((u32)h[1] + 2) * 4;
        } else {
            off += ((u32)h[1] + 1) * 8;
        }
        nh = h[0];
    }
    r.proto = nh;
    if ((nh == RULE_IPPROTO_ICMP || nh == RULE_IPPROTO_TCP || nh == RULE_IPPROTO_UDP ||
         nh == RULE_IPPROTO_ICMPV6) &&
        off + 4 <= len && off <= 0xFFFF)
        r.l4 = (u16)off;
    return r;
}

struct sk_buff *rule_unshare(struct sk_buff *skb) {
    if (!skb || !skb_cloned(skb))
        return skb;
    return skb_unshare(skb, GFP_ATOMIC);
}

static u16 rule_ipv4_sum(const u8 *ip, u32 ihl) {
    u32 sum = 0;
    for (u32 i = 0; i < ihl * 4; i += 2)
        sum += rule_get16(ip + i);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return (u16)sum;
}

bool rule_ipv4_csum_ok(const u8 *ip, u32 ihl) {
    return rule_ipv4_sum(ip, ihl) == 0xFFFF;
}

void rule_ipv4_csum_set(u8 *ip, u32 ihl) {
    ip[10] = ip[11] = 0;
    rule_put16(ip + 10, (u16)~rule_ipv4_sum(ip, ihl));
}

void rule_set_tci(u8 *data, u16 off, u16 mask, u16 tag, u16 *old) {
    u16 tci = rule_get16(data + off);
    if (old)
        *old = tci;
    rule_put16(data + off, (u16)((tci & ~mask) | tag));
}

int rule_word_name(const char *word, char *out, size_t max) {
    if (!word || !*word)
        return -ENOARG;
    return rule_name_from_text(out, word, max);
}

int rule_word_dir(const char *word) {
    if (word && !strcasecmp(word, "ingress"))
        return 1;
    if (word && !strcasecmp(word, "egress"))
        return 0;
    return -1;
}
