// The rule core the classifiers (ACL, QoS) are built on: named objects with
// reference counts, lists kept sorted by number, a frame parser that never
// reads past the frame, and the helpers that rewrite a frame's headers.
//
// Objects are plain structs whose first members the templates below name:
// `next` for every list, `name` and `refcnt` for named objects, `number`
// for numbered ones. Lists are singly linked and walked under jxbridge_lock.
#pragma once

#include "kernel/skbuff.h"
#include "kernel/types.h"

#include <cstring>
#include <strings.h>

#define RULE_NAME_FIELD 40 // 39 characters and the terminator
#define RULE_NAME_MAX (RULE_NAME_FIELD - 1)

// Names.

// A name from a text word: -EINVAL when empty or longer than max characters
// (dst holds max + 1 bytes).
int rule_name_from_text(char *dst, const char *word, size_t max = RULE_NAME_MAX);
// A name from a record field of size bytes: -EINVAL without a terminator
// inside the field or longer than max; empty names are the caller's to judge.
int rule_name_from_field(char *dst, const char *field, size_t size, size_t max = RULE_NAME_MAX);
// The same for a name that must not be empty: -EINVAL otherwise.
int rule_field_name(const char *field, size_t size, char *out, size_t max);
// A name an ioctl's argument points to, copied with jxbridge_lock let go as
// the copy may fault: 1 to max (below 254) characters, else -EINVAL; -EFAULT
// when it cannot be read. out holds max + 1 bytes.
int rule_user_name(unsigned long arg, char *out, size_t max);

template <typename T> T *rule_named_find(T *head, const char *name) {
    for (T *o = head; o; o = o->next)
        if (!strcmp(o->name, name))
            return o;
    return nullptr;
}

// New objects go in front, as lookups do not care and listing shows the newest first.
template <typename T> void rule_named_push(T **head, T *obj) {
    obj->next = *head;
    *head = obj;
}

template <typename T> bool rule_unlink(T **head, T *obj) {
    for (T **pp = head; *pp; pp = &(*pp)->next)
        if (*pp == obj) {
            *pp = obj->next;
            obj->next = nullptr;
            return true;
        }
    return false;
}

// Numbered lists.

template <typename T> T *rule_number_find(T *head, u32 number) {
    for (T *o = head; o; o = o->next)
        if (o->number == number)
            return o;
    return nullptr;
}

// Inserts in ascending order: -EEXIST when the number is taken; otherwise
// where it went: 0 first, 1 between, 2 last.
template <typename T> int rule_number_insert(T **head, T *obj) {
    if (rule_number_find(*head, obj->number))
        return -EEXIST;
    T **pp = head;
    while (*pp && (*pp)->number < obj->number)
        pp = &(*pp)->next;
    int where = pp == head ? 0 : *pp ? 1 : 2;
    obj->next = *pp;
    *pp = obj;
    return where;
}

// Items numbered in [first, last], in list order, get new_first, new_first +
// step, ...; the list is neither re-sorted nor checked for duplicates.
template <typename T> void rule_renumber(T *head, u32 first, u32 last, u32 new_first, u32 step) {
    u32 next = new_first;
    for (T *o = head; o; o = o->next)
        if (o->number >= first && o->number <= last) {
            o->number = next;
            next += step;
        }
}

// Frames. Offsets count from the MAC header (skb->data); 0 means absent.
// Every offset the parser gives has its header's minimum length inside the
// frame, so readers need only check bytes beyond that minimum.
struct rule_frame {
    u16 outer;     // TCI of the outer tag
    u16 inner;     // TCI of the inner tag
    u16 etype_off; // the EtherType after the tags
    u16 ethertype; // host order; 0 for a frame too short to have one
    u16 l3;        // the byte after the EtherType
    u16 l4;        // the L4 header, when the protocol has one and it fits
    u8 l4proto;    // IPv4 protocol or the last IPv6 next header; 0 otherwise
    u8 ipv4;       // a whole IPv4 header is at l3
    u8 ipv6;       // a whole IPv6 header is at l3
    u8 bad_ihl;    // IPv4 with a header length below 5 words
    u8 ihl;        // the IPv4 header length field
    u8 l4ports;    // 1 TCP or 2 UDP when sport and dport hold the header's ports
    u16 sport;
    u16 dport;
};
#define RULE_ETH_P_8021Q 0x8100
#define RULE_ETH_P_IP 0x0800
#define RULE_ETH_P_IPV6 0x86DD
#define RULE_IPPROTO_ICMP 1
#define RULE_IPPROTO_TCP 6
#define RULE_IPPROTO_UDP 17
#define RULE_IPPROTO_ICMPV6 58

inline u16 rule_get16(const u8 *p) {
    return (u16)(p[0] << 8 | p[1]);
}
inline u32 rule_get32(const u8 *p) {
    return (u32)p[0] << 24 | (u32)p[1] << 16 | (u32)p[2] << 8 | p[3];
}
inline void rule_put16(u8 *p, u16 v) {
    p[0] = (u8)(v >> 8);
    p[1] = (u8)v;
}

// The IPv6 header at l3 and its extension headers: whether the header is
// whole, the last next header, and the L4 header when the protocol has one
// and it fits (0 otherwise). By value, so that the caller's parse stays in registers.
struct rule_ipv6_l4 {
    u16 l4;
    u8 proto;
    u8 whole;
};
struct rule_ipv6_l4 rule_parse_ipv6(const u8 *data, u32 len, u16 l3);
// Parses the tags (0x8100 or the service TPID outside, 0x8100 inside) and
// the IPv4 or IPv6 header with its extension headers. Without l4 the ports
// are not read and IPv6 headers not walked (l4 and l4proto stay 0 for IPv6):
// all an engine with no entries to walk acts on. Inline: every engine runs
// it once or twice per frame.
inline void rule_parse_frame(const u8 *data, u32 len, u16 service_tpid, struct rule_frame *f,
                             bool l4 = true) {
    // Worked out in locals and stored once: the lean paths keep it all in registers.
    *f = {};
    if (len < 14)
        return;
    u16 outer = 0, inner = 0, et = 12;
    u16 type = rule_get16(data + et);
    if ((type == RULE_ETH_P_8021Q || type == service_tpid) && len >= 18) {
        outer = 14;
        et = 16;
        type = rule_get16(data + et);
        if (type == RULE_ETH_P_8021Q && len >= 22) {
            inner = 18;
            et = 20;
            type = rule_get16(data + et);
        }
    }
    const u16 l3 = (u16)(et + 2);
    f->outer = outer;
    f->inner = inner;
    f->etype_off = et;
    f->ethertype = type;
    f->l3 = l3;
    if (type == RULE_ETH_P_IP) {
        if ((u32)l3 + 1 > len)
            return;
        const u8 ihl = data[l3] & 0x0F;
        f->ihl = ihl;
        if (ihl < 5) {
            f->bad_ihl = 1;
            return;
        }
        const u32 off = l3 + 4u * ihl;
        if (off > len)
            return;
        const u8 proto = data[l3 + 9];
        f->ipv4 = 1;
        f->l4proto = proto;
        if ((proto == RULE_IPPROTO_ICMP || proto == RULE_IPPROTO_TCP ||
             proto == RULE_IPPROTO_UDP) &&
            off + 4 <= len)
            f->l4 = (u16)off;
    } else if (type == RULE_ETH_P_IPV6) {
        if (!l4) {
            f->ipv6 = (u32)l3 + 40 <= len;
            return;
        }
        const struct rule_ipv6_l4 r = rule_parse_ipv6(data, len, l3);
        f->ipv6 = r.whole;
        f->l4proto = r.proto;
        f->l4 = r.l4;
    }
    // Port conditions run once per entry: read the ports once per frame.
    if (l4 && f->l4 && (f->l4proto == RULE_IPPROTO_TCP || f->l4proto == RULE_IPPROTO_UDP)) {
        f->l4ports = f->l4proto == RULE_IPPROTO_TCP ? 1 : 2;
        f->sport = rule_get16(data + f->l4);
        f->dport = rule_get16(data + f->l4 + 2);
    }
}

// Rewriting. Each takes the frame and returns it, possibly replaced, or
// nothing when it had to be freed.

// A private copy when the data is shared with a clone.
struct sk_buff *rule_unshare(struct sk_buff *skb);
// The IPv4 header checksum over ihl words verifies.
bool rule_ipv4_csum_ok(const u8 *ip, u32 ihl);
void rule_ipv4_csum_set(u8 *ip, u32 ihl);
// TCI at off := (TCI & ~mask) | tag; the old TCI through old.
void rule_set_tci(u8 *data, u16 off, u16 mask, u16 tag, u16 *old);

// Text commands of the rule engines' files.

// A name word: -ENOARG missing, -EINVAL empty or longer than max characters.
int rule_word_name(const char *word, char *out, size_t max = RULE_NAME_MAX);
// "ingress" 1, "egress" 0, anything else -1.
int rule_word_dir(const char *word);
int word_u32(const char *word, u32 *out); // bridge_util.cc

// "add|del <name>" of a named object (selector, action list), the name at
// most Field - 1 characters.
template <size_t Field, typename Engine, typename Add, typename Del>
int rule_cmd_named(Engine *engine, char **w, Add add, Del del) {
    char name[Field];
    if (!w[1])
        return -ENOARG;
    int rc = rule_word_name(w[2], name, Field - 1);
    if (rc)
        return rc;
    if (!strcasecmp(w[1], "add"))
        return add(engine, name);
    if (!strcasecmp(w[1], "del"))
        return del(engine, name);
    return -EINVAL;
}

// "<verb> <owner> <number> ..." for the numbered items of a named object (the
// conditions of a selector, the actions of a list): add parses the words
// after the number into an item, del removes one, renumber gets the words
// from the number on. OwnerField is the size of the owner's name field.
template <typename Item, size_t OwnerField, typename Engine, typename Parse, typename Add,
          typename Del, typename Renumber>
int rule_cmd_numbered(Engine *engine, char **w, Parse parse, Add add, Del del, Renumber renumber) {
    char owner[OwnerField];
    u32 number;
    if (!w[1])
        return -ENOARG;
    int rc = rule_word_name(w[2], owner, OwnerField - 1);
    if (rc || (rc = word_u32(w[3], &number)))
        return rc;
    if (!strcasecmp(w[1], "add")) {
        Item item = {};
        item.number = number;
        if ((rc = parse(engine, w + 4, &item)))
            return rc;
        return add(engine, owner, &item);
    }
    if (!strcasecmp(w[1], "del"))
        return del(engine, owner, number);
    if (!strcasecmp(w[1], "renumber"))
        return renumber(engine, owner, w + 3, number);
    return -EINVAL;
}
