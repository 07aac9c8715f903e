// Frame capture: every open of a bridge's "pcap" file is a reader that gets a
// libpcap stream (global header, then one record per captured frame) of what
// the frame tracer captures from the moment it opened.
#include "jxbridge.h"

#include <cstdio>

struct pcap_data;

namespace {

#define PCAP_QUEUE_LIMIT 1000
#define PCAP_SNAPLEN 65535
#define PCAP_LINKTYPE_ETHERNET 1

struct __attribute__((packed)) pcap_global_header {
    u32 magic;
    u16 version_major;
    u16 version_minor;
    s32 thiszone;
    u32 sigfigs;
    u32 snaplen;
    u32 network;
};
static_assert(sizeof(pcap_global_header) == 24);

struct __attribute__((packed)) pcap_record_header {
    u32 ts_sec;
    u32 ts_usec;
    u32 incl_len;
    u32 orig_len;
};
static_assert(sizeof(pcap_record_header) == 16);

struct pcap_record {
    struct pcap_record *next;
    struct pcap_record_header hdr;
    struct sk_buff *skb;
    u32 ends_after; // end-of-run markers queued behind this record
};

struct pcap_reader {
    struct pcap_reader *prev, *next;
    struct pcap_data *owner;
    struct mutex lock; // guards everything below
    wait_queue_head_t wait;
    struct pcap_global_header global;
    u32 global_pos; // bytes of the global header already read
    struct pcap_record *head, *tail;
    u32 len;
    u32 limit;
    u32 lost;
    u32 offset;     // bytes of the head record already read
    u32 ends_first; // end markers in front of the head record
    u32 ready;      // something to read (atomic: waiters test it unlocked)
};

} // namespace

struct pcap_data {
    struct jxbridge *bridge;
    // One lock for the reader list: capture walks it from the pipeline while
    // readers open and close.
    struct mutex lock;
    struct pcap_reader *readers;
    u64 last_ns; // the stamps of one bridge never go backwards
};

namespace {

void reader_update_ready(struct pcap_reader *r) {
    u32 v = r->global_pos < sizeof(r->global) || r->head || r->ends_first;
    __atomic_store_n(&r->ready, v, __ATOMIC_RELEASE);
}

bool reader_ready(struct pcap_reader *r) {
    return __atomic_load_n(&r->ready, __ATOMIC_ACQUIRE) != 0;
}

void record_free(struct pcap_record *rec) {
    if (rec->skb)
        kfree_skb(rec->skb);
    kfree(rec);
}

void reader_free(struct pcap_reader *r) {
    while (struct pcap_record *rec = r->head) {
        r->head = rec->next;
        record_free(rec);
    }
    kfree(r);
}

// Appends a clone of skb, its data at the Ethernet header. Caller holds r->lock.
int reader_queue(struct pcap_reader *r, struct sk_buff *skb, u32 sec, u32 usec) {
    if (r->len > r->limit) {
        r->lost++;
        return 0;
    }
    auto *rec = (struct pcap_record *)jxbridge_zalloc(sizeof(struct pcap_record));
    if (!rec)
        return -ENOMEM;
    struct sk_buff *clone = skb_clone(skb, GFP_ATOMIC);
    if (!clone) {
        kfree(rec);
        return -ENOMEM;
    }
    if (skb_mac_header_was_set(clone) && skb_mac_header(clone) < clone->data &&
        skb_mac_header(clone) >= clone->head)
        skb_push(clone, (unsigned int)(clone->data - skb_mac_header(clone)));
    rec->skb = clone;
    rec->hdr.ts_sec = sec;
    rec->hdr.ts_usec = usec;
    rec->hdr.orig_len = clone->len;
    rec->hdr.incl_len = clone->len < PCAP_SNAPLEN ? clone->len : PCAP_SNAPLEN;
    if (r->tail)
        r->tail->next = rec;
    else
        r->head = rec;
    r->tail = rec;
    r->len++;
    return 0;
}

// Queues one frame to every reader.
int pcap_frame(struct jxbridge *B, struct sk_buff *skb) {
    struct pcap_data *pd = B ? B->pcap : nullptr;
    if (!pd || !skb)
        return 0;
    mutex_lock(&pd->lock);
    if (!pd->readers) {
        mutex_unlock(&pd->lock);
        return 0;
    }
    u64 ns = ktime_get_ns();
    if (ns < pd->last_ns)
        ns = pd->last_ns;
    pd->last_ns = ns;
    u32 sec = (u32)(ns / 1000000000ull), usec = (u32)(ns % 1000000000ull / 1000);
    int rc = 0;
    for (struct pcap_reader *r = pd->readers; r && !rc; r = r->next) {
        mutex_lock(&r->lock);
        rc = reader_queue(r, skb, sec, usec);
        reader_update_ready(r);
        mutex_unlock(&r->lock);
        wake_up_interruptible(&r->wait);
    }
    mutex_unlock(&pd->lock);
    return rc;
}

const char *ifname(struct net_device *dev) {
    return dev ? dev->name : "(none)";
}

u16 ip_checksum(const u8 *p, unsigned int n) {
    u32 sum = 0;
    for (unsigned int i = 0; i + 1 < n; i += 2)
        sum += (u32)(p[i] << 8 | p[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return (u16)~sum;
}

void put16(u8 *p, u16 v) {
    p[0] = (u8)(v >> 8);
    p[1] = (u8)v;
}

// A broadcast UDP packet whose payload names the devices the frame came
// from and goes to, captured in front of it.
void pcap_annotate(struct jxbridge *B, struct sk_buff *skb) {
    struct net_device *cur = skb->dev;
    // A frame not yet moved has no other input device than its own.
    struct net_device *in = skb->skb_iif > 0 ? __dev_get_by_index(&init_net, skb->skb_iif) : cur;
    char text[128];
    int n;
    if (in != cur)
        n = snprintf(text, sizeof(text),
                     "    \r\nFrom:         \r\n%-14s\r\nTo:           \r\n%-14s\r\n\r\n",
                     ifname(in), ifname(cur));
    else
        n = snprintf(text, sizeof(text), "    \r\nFrom:         \r\n%-14s\r\n\r\n", ifname(in));
    if (n < 0)
        return;
    u32 tlen = (u32)n < sizeof(text) ? (u32)n + 1 : sizeof(text); // with its NUL
    u32 udp_len = 8 + tlen, ip_len = 20 + udp_len, total = ETH_HLEN + ip_len;
    struct sk_buff *a = alloc_skb(total + NET_SKB_PAD, GFP_ATOMIC);
    if (!a)
        return;
    skb_reserve(a, NET_SKB_PAD);
    u8 *p = (u8 *)skb_put(a, total);
    memset(p, 0, total);
    memset(p, 0xFF, 2 * ETH_ALEN);
    put16(p + 12, ETH_P_IP);
    u8 *ip = p + ETH_HLEN;
    ip[0] = 0x45;
    put16(ip + 2, (u16)ip_len);
    ip[8] = 1;  // TTL
    ip[9] = 17; // UDP
    memset(ip + 12, 0xFF, 8);
    put16(ip + 10, ip_checksum(ip, 20));
    u8 *udp = ip + 20;
    put16(udp + 4, (u16)udp_len);
    memcpy(udp + 8, text, tlen - 1);
    skb_reset_mac_header(a);
    pcap_frame(B, a);
    kfree_skb(a);
}

void pcap_capture(struct jxbridge *B, struct sk_buff *skb) {
    if (!B || !skb || !B->pcap)
        return;
    if (B->tracer.pcap.annotate)
        pcap_annotate(B, skb);
    pcap_frame(B, skb);
}

// The file.

struct pcap_data *pcap_of(struct file *file) {
    struct jxbridge *B = jxbridge_proc_bridge(file);
    return B ? B->pcap : nullptr;
}

int pcap_open(struct inode *, struct file *file) {
    mutex_lock(&jxbridge_lock);
    struct pcap_data *pd = pcap_of(file);
    mutex_unlock(&jxbridge_lock);
    if (!pd)
        return -ENODEV;
    auto *r = (struct pcap_reader *)jxbridge_zalloc(sizeof(struct pcap_reader));
    if (!r)
        return -ENOMEM;
    mutex_init(&r->lock);
    init_waitqueue_head(&r->wait);
    r->owner = pd;
    r->limit = PCAP_QUEUE_LIMIT;
    r->global = {0xa1b2c3d4, 2, 4, 0, 0, PCAP_SNAPLEN, PCAP_LINKTYPE_ETHERNET};
    reader_update_ready(r);
    mutex_lock(&pd->lock);
    r->next = pd->readers;
    if (pd->readers)
        pd->readers->prev = r;
    pd->readers = r;
    mutex_unlock(&pd->lock);
    file->private_data = r;
    return 0;
}

int pcap_release(struct inode *, struct file *file) {
    auto *r = (struct pcap_reader *)file->private_data;
    if (!r)
        return 0;
    struct pcap_data *pd = r->owner;
    mutex_lock(&pd->lock);
    if (r->prev)
        r->prev->next = r->next;
    else
        pd->readers = r->next;
    if (r->next)
        r->next->prev = r->prev;
    mutex_unlock(&pd->lock);
    file->private_data = nullptr;
    reader_free(r);
    return 0;
}

// Copies bytes [from, from + n) of what src holds to buf: what was copied.
size_t copy_part(char __user *buf, const u8 *src, size_t n) {
    return n - copy_to_user(buf, src, n);
}

// Takes bytes from the reader: the rest of the global header, then whole
// records while they fit; a record larger than what is left of an empty
// buffer goes out in pieces over several reads. -1: an end marker came first.
ssize_t reader_take(struct pcap_reader *r, char __user *buf, size_t count) {
    size_t done = 0;
    if (r->global_pos < sizeof(r->global)) {
        size_t n = sizeof(r->global) - r->global_pos;
        if (n > count)
            n = count;
        size_t c = copy_part(buf, (const u8 *)&r->global + r->global_pos, n);
        r->global_pos += (u32)c;
        done += c;
        if (c < n)
            return done ? (ssize_t)done : -EFAULT;
    }
    while (done < count) {
        if (r->ends_first) {
            if (done)
                break;
            r->ends_first--;
            return -1;
        }
        struct pcap_record *rec = r->head;
        if (!rec)
            break;
        u32 total = (u32)sizeof(rec->hdr) + rec->hdr.incl_len;
        if (!r->offset && done && total > count - done)
            break;
        while (r->offset < total && done < count) {
            const u8 *src;
            size_t avail;
            if (r->offset < sizeof(rec->hdr)) {
                src = (const u8 *)&rec->hdr + r->offset;
                avail = sizeof(rec->hdr) - r->offset;
            } else {
                src = rec->skb->data + (r->offset - sizeof(rec->hdr));
                avail = total - r->offset;
            }
            size_t n = avail < count - done ? avail : count - done;
            size_t c = copy_part(buf + done, src, n);
            r->offset += (u32)c;
            done += c;
            if (c < n)
                return done ? (ssize_t)done : -EFAULT;
        }
        if (r->offset < total)
            break;
        r->head = rec->next;
        if (!r->head)
            r->tail = nullptr;
        r->len--;
        r->offset = 0;
        r->ends_first += rec->ends_after;
        record_free(rec);
    }
    return (ssize_t)done;
}

ssize_t pcap_read(struct file *file, char __user *buf, size_t count, loff_t *) {
    auto *r = (struct pcap_reader *)file->private_data;
    if (!r)
        return -EBADF;
    if (!count)
        return 0;
    for (;;) {
        if (reader_ready(r)) {
            mutex_lock(&r->lock);
            ssize_t n = reader_take(r, buf, count);
            reader_update_ready(r);
            mutex_unlock(&r->lock);
            if (n < 0)
                return n == -1 ? 0 : n;
            if (n)
                return n;
        }
        if (file->f_flags & O_NONBLOCK)
            return -EAGAIN;
        long rc = wait_event_interruptible_timeout(r->wait, reader_ready(r), JXBRIDGE_LOG_RECHECK);
        if (rc < 0)
            return -ERESTARTSYS;
    }
}

__poll_t pcap_poll(struct file *file, poll_table *wait) {
    auto *r = (struct pcap_reader *)file->private_data;
    if (!r)
        return EPOLLERR;
    poll_wait(file, &r->wait, wait);
    return reader_ready(r) ? (EPOLLIN | EPOLLRDNORM) : 0;
}

ssize_t pcap_write(struct file *, const char __user *buf, size_t count, loff_t *) {
    char line[JXBRIDGE_LINE_MAX];
    long n = line_read(buf, count, line, sizeof(line));
    if (n <= 0)
        return n;
    char *words[2];
    jxbridge_split(line, words, 1);
    if (!words[0] || !words[0][0])
        return -ENOARG;
    if (!strcasecmp(words[0], "help"))
        printk(KERN_INFO "Supported commands:\n");
    return n;
}

const struct file_operations pcap_fops = {
    .open = pcap_open,
    .read = pcap_read,
    .write = pcap_write,
    .poll = pcap_poll,
    .release = pcap_release,
};

int pcap_init(struct jxbridge *B) {
    auto *pd = (struct pcap_data *)jxbridge_zalloc(sizeof(struct pcap_data));
    if (!pd)
        return -ENOMEM;
    pd->bridge = B;
    mutex_init(&pd->lock);
    B->pcap = pd;
    return 0;
}

void pcap_fini(struct jxbridge *B) {
    struct pcap_data *pd = B->pcap;
    if (!pd)
        return;
    // The file is gone and its readers released before this runs.
    mutex_lock(&pd->lock);
    B->pcap = nullptr;
    while (struct pcap_reader *r = pd->readers) {
        pd->readers = r->next;
        reader_free(r);
    }
    mutex_unlock(&pd->lock);
    kfree(pd);
}

} // namespace

// A frame the pipeline forwards or an ACL copies: captured while a capture run
// of the frame tracer is on.
void jxbridge_pcap_frame(struct jxbridge *B, struct sk_buff *skb) {
    if (!B || !B->tracer.active || !B->tracer.pcap.mode)
        return;
    pcap_capture(B, skb);
}

void jxbridge_tracer_capture(struct jxbridge *B, struct sk_buff *skb, u32) {
    pcap_capture(B, skb);
}

// The end of a capture run reaches every reader, a full one too: it takes no
// room of the queue, only a count behind the last record.
void jxbridge_tracer_capture_end(struct jxbridge *B) {
    struct pcap_data *pd = B ? B->pcap : nullptr;
    if (!pd)
        return;
    mutex_lock(&pd->lock);
    for (struct pcap_reader *r = pd->readers; r; r = r->next) {
        mutex_lock(&r->lock);
        if (r->tail)
            r->tail->ends_after++;
        else
            r->ends_first++;
        reader_update_ready(r);
        mutex_unlock(&r->lock);
        wake_up_interruptible(&r->wait);
    }
    mutex_unlock(&pd->lock);
}

extern const struct jxbridge_subsys pcap_subsys = {
    .tag = "PCAP",
    .init = pcap_init,
    .fini = pcap_fini,
    .files = {{"pcap", 0600, &pcap_fops}},
};
