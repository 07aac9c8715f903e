// Continuity-check offload: the bridge's cfm file programs the packet engine,
// and the engine's receive errors reach one registered agent over netlink
// (protocol 31) as 16-byte fault events, sent from the system workqueue.
#include "jxbridge.h"

#include "kernel/netlink.h"
#include "kernel/workqueue.h"

#define CFM_NETLINK 31
#define CFM_MSG_TYPE 3
#define CFM_PDU_MAX 1518 // a PDU is one Ethernet frame at most
#define CFM_PENDING 64   // receive errors waiting for the workqueue
#define CFM_UPLINKS 4

struct cfm_fault_event {
    u32 bll_id;
    u32 vid;
    u32 event_type;
    u32 event_state;
};
static_assert(sizeof(cfm_fault_event) == 16);

using ccm_notify_fn = void (*)(int ucc, int vlan, int rx_error, int rx_error_state);
using ccm_enable_fn = int (*)(int ucc, int vid, const u8 *tx_pdu, int tx_size, int tx_interval,
                              const u8 *rx_pdu, const u8 *rx_mask, int rx_size, int rx_interval,
                              ccm_notify_fn notify);
using ccm_pair_fn = int (*)(int ucc, int vid);
using ccm_stats_fn = int (*)(int ucc, int vid, u32 *out);

namespace {

u32 cfm_debug, cfm_debug_mng;

// Module-wide netlink state; the registered agent's port id is 0 when none.
struct sock *cfm_sock;
DEFINE_MUTEX(cfm_nl_lock); // initialised with the channel
u32 cfm_user_pid;

// Receive errors queued by the engine's callback for the work to send.
struct cfm_error {
    int ucc, vlan, rx_error, rx_error_state;
};
DEFINE_SPINLOCK(cfm_pending_lock); // initialised with the channel
struct cfm_error cfm_pending[CFM_PENDING];
u32 cfm_pending_head, cfm_pending_len;
struct work_struct cfm_work;
// The bridge whose uplink each UCC is, as the last enable named it.
char cfm_ucc_bridge[CFM_UPLINKS][IFNAMSIZ];

int send_to(u32 pid, const void *payload, int len) {
    struct sk_buff *skb = nlmsg_new(len, GFP_KERNEL);
    if (!skb)
        return -ENOMEM;
    struct nlmsghdr *nlh = nlmsg_put(skb, 0, 0, CFM_MSG_TYPE, len, 0);
    if (!nlh) {
        kfree_skb(skb);
        return -EMSGSIZE;
    }
    memcpy(nlmsg_data(nlh), payload, len);
    int rc = netlink_unicast(cfm_sock, skb, pid, 1);
    return rc < 0 ? rc : 0;
}

// The agent's keywords. Only the registered agent may stop, or lose, the registration.
void cfm_nl_input(struct sk_buff *skb) {
    if (skb->len < (u32)NLMSG_HDRLEN)
        return;
    struct nlmsghdr *nlh = nlmsg_hdr(skb);
    u32 pid = NETLINK_CB(skb).portid;
    // The keyword is bounded by the message and by the frame, terminated or not.
    u32 len = nlh->nlmsg_len < skb->len ? nlh->nlmsg_len : skb->len;
    len = len > (u32)NLMSG_HDRLEN ? len - NLMSG_HDRLEN : 0;
    char word[32];
    u32 n = (u32)strnlen((const char *)nlmsg_data(nlh), len);
    bool fits = n < sizeof(word);
    memcpy(word, nlmsg_data(nlh), fits ? n : sizeof(word) - 1);
    word[fits ? n : sizeof(word) - 1] = '\0';
    bool ok = fits;
    mutex_lock(&cfm_nl_lock);
    if (ok && !strcmp(word, "netlink_event_start")) {
        cfm_user_pid = pid;
    } else if (ok && !strcmp(word, "netlink_event_stop")) {
        if (cfm_user_pid == pid)
            cfm_user_pid = 0;
        else
            ok = false;
    } else {
        ok = false;
        printk(KERN_INFO "Unknown netlink msg keyword %s from user_pid=%d\n", word, (int)pid);
        if (cfm_user_pid == pid)
            cfm_user_pid = 0;
    }
    mutex_unlock(&cfm_nl_lock);
    if (ok)
        send_to(pid, "OK", 2);
    else
        send_to(pid, "NOK", 3);
}

int cfm_event_send_user(const struct cfm_fault_event *event) {
    mutex_lock(&cfm_nl_lock);
    u32 pid = cfm_user_pid;
    mutex_unlock(&cfm_nl_lock);
    if (!pid) {
        printk(KERN_INFO "user_pid: %d. return.\n", (int)pid);
        return -ENOTCONN;
    }
    return send_to(pid, event, sizeof(*event));
}

void cfm_work_fn(struct work_struct *) {
    for (;;) {
        struct cfm_error e;
        unsigned long flags;
        spin_lock_irqsave(&cfm_pending_lock, flags);
        bool have = cfm_pending_len > 0;
        if (have) {
            e = cfm_pending[cfm_pending_head];
            cfm_pending_head = (cfm_pending_head + 1) % CFM_PENDING;
            cfm_pending_len--;
        }
        spin_unlock_irqrestore(&cfm_pending_lock, flags);
        if (!have)
            return;
        struct cfm_fault_event ev = {};
        mutex_lock(&jxbridge_lock);
        struct jxbridge *B = jxbridge_find(cfm_ucc_bridge[e.ucc]);
        struct jxbridge_port *up = B ? B->uplinks[e.ucc] : nullptr;
        ev.bll_id = up ? up->bll_port_no : 0;
        mutex_unlock(&jxbridge_lock);
        ev.vid = (u32)e.vlan;
        ev.event_type = e.rx_error >= 1 && e.rx_error <= 7 ? (u32)e.rx_error : 0;
        ev.event_state = e.rx_error_state ? 1 : 0;
        cfm_event_send_user(&ev);
    }
}

} // namespace

// The engine's context: only queued here, sent from the workqueue.
void tarnErpsCcmRxErrorNotification(int ucc, int vlan, int rx_error, int rx_error_state) {
    if (ucc < 0 || ucc >= CFM_UPLINKS) {
        printk(KERN_ERR "###vbnr error %s:%d\n", __func__, __LINE__);
        return;
    }
    unsigned long flags;
    spin_lock_irqsave(&cfm_pending_lock, flags);
    bool room = cfm_pending_len < CFM_PENDING;
    if (room) {
        cfm_pending[(cfm_pending_head + cfm_pending_len) % CFM_PENDING] = {ucc, vlan, rx_error,
                                                                           rx_error_state};
        cfm_pending_len++;
    }
    spin_unlock_irqrestore(&cfm_pending_lock, flags);
    if (room)
        schedule_work(&cfm_work);
}

int cfm_netlink_init() {
    struct netlink_kernel_cfg cfg = {};
    cfg.input = cfm_nl_input;
    mutex_init(&cfm_nl_lock);
    spin_lock_init(&cfm_pending_lock);
    INIT_WORK(&cfm_work, cfm_work_fn);
    cfm_user_pid = 0;
    cfm_pending_len = 0;
    cfm_sock = netlink_kernel_create(&init_net, CFM_NETLINK, &cfg);
    if (!cfm_sock) {
        printk(KERN_ERR "[CFM] Unable to create netlink socket %d.\n", CFM_NETLINK);
        return -ENOMEM;
    }
    return 0;
}

void cfm_netlink_fini() {
    cancel_work_sync(&cfm_work);
    if (cfm_sock)
        netlink_kernel_release(cfm_sock);
    cfm_sock = nullptr;
    cfm_user_pid = 0;
}

// The cfm file.

namespace {

void *engine_fn(const char *name) {
    void *fn = jxbridge_symbol_get(name);
    if (!fn)
        printk(KERN_ALERT "Error at symbol_request(%s).\n", name);
    return fn;
}

// The engine's codes as errnos; anything unknown, negative ones included, is -2.
int engine_rc(int rc) {
    if (!rc)
        return 0;
    switch (rc) {
    case 7:
        return -7;
    case 9:
        return -6;
    case 28:
        return -4;
    case 29:
        return -5;
    }
    return -ENOENT;
}

int cfm_port(struct jxbridge *B, const char *field, struct jxbridge_port **out) {
    char name[JXBRIDGE_NAME_FIELD];
    memcpy(name, field, sizeof(name));
    name[sizeof(name) - 1] = '\0';
    if (jxbridge_proc_port(B, name, out)) {
        if (cfm_debug)
            printk(KERN_INFO "\tError port is null: get_jxbridge_port_from_name(%s)!\n", name);
        return -ENOENT;
    }
    return 0;
}

void dump(const char *title, const u8 *p, u32 n, const char *missing) {
    if (!p) {
        printk(KERN_INFO "\tError: %s could not be retrieved from userspace!\n", missing);
        return;
    }
    printk(KERN_INFO "%s\n", title);
    char line[3 * 16 + 2];
    for (u32 i = 0; i < n; i += 16) {
        u32 k = 0;
        for (u32 j = i; j < n && j < i + 16; j++)
            k += (u32)snprintf(line + k, sizeof(line) - k, "%02x ", p[j]);
        printk(KERN_INFO "\t%s\n", line);
    }
}

// A PDU buffer of the caller, bounded; none when its address is 0. The
// buffer holds at least room bytes, zeros past what the caller gave.
int pdu_in(u64 addr, u32 size, u8 **out, u32 room = 0) {
    *out = nullptr;
    if (!addr)
        return 0;
    if (size > CFM_PDU_MAX)
        return -EINVAL;
    *out = (u8 *)jxbridge_zalloc(size > room ? size : room ? room : 1);
    if (!*out)
        return -ENOMEM;
    if (jxbridge_copy_from_user(*out, (const void __user *)(uintptr_t)addr, size)) {
        printk(KERN_ERR "%s:%d Can't copy from the userspace.\n", __FILE__, __LINE__);
        return -ESRCH;
    }
    return 0;
}

long ioc_enable(struct jxbridge *B, unsigned int, struct cfm_enable_request *r, unsigned long) {
    u8 *tx = nullptr, *rx = nullptr, *mask = nullptr;
    int rc = pdu_in(r->tx_pdu, r->tx_pdu_size, &tx);
    if (!rc)
        rc = pdu_in(r->rx_pdu, r->rx_pdu_size, &rx);
    // The engine reads the mask over the received PDU's size: never past its buffer.
    if (!rc)
        rc = pdu_in(r->rx_pdu_mask, r->rx_pdu_mask_size, &mask, rx ? r->rx_pdu_size : 0);
    struct jxbridge_port *p = nullptr;
    if (!rc)
        rc = cfm_port(B, r->name, &p);
    if (!rc && cfm_debug_mng) {
        printk(KERN_INFO "\tport=%s, vid=%d, rx_interval=%d, tx_interval=%d,rx_pdu_mask_size=%d, "
                         "tx_pdu_mask.\n",
               p->dev->name, r->vid, (int)r->rx_interval, (int)r->tx_interval,
               (int)r->rx_pdu_mask_size);
        dump("\tcfm_set.rx_pdu.pkt(HEX):", rx, r->rx_pdu_size, "cfm_set.rx_pdu.pkt");
        dump("\tcfm_set.rx_pdu_mask.pkt(HEX):", mask, r->rx_pdu_mask_size,
             "cfm_set.rx_pdu_mask.pkt");
        dump("\tcfm_set.tx_pdu.pkt(HEX):", tx, r->tx_pdu_size, "cfm_set.tx_pdu.pkt");
    }
    if (!rc) {
        auto fn = (ccm_enable_fn)engine_fn("tarnAPIErpsCcmEnable");
        int ucc = (int)p->ucc_subport;
        if (!fn) {
            rc = -EOPNOTSUPP;
        } else {
            if (ucc >= 0 && ucc < CFM_UPLINKS)
                strlcpy(cfm_ucc_bridge[ucc], B->dev->name, IFNAMSIZ);
            int erc = fn(ucc, r->vid, tx, tx ? (int)r->tx_pdu_size : 0, (int)r->tx_interval, rx,
                         mask, rx ? (int)r->rx_pdu_size : 0, (int)r->rx_interval,
                         tarnErpsCcmRxErrorNotification);
            if (erc)
                printk(KERN_ERR
                       "\tError %d at %s:%d tarnErpsCcmEnable(ucc=%d, vid=%d, tx_pdu.pkt_size=%d, "
                       "rx_pdu.pkt_size=%d, tx_interval=%d, rx_interval=%d)!\n",
                       erc, __FILE__, __LINE__, ucc, r->vid, (int)r->tx_pdu_size,
                       (int)r->rx_pdu_size, (int)r->tx_interval, (int)r->rx_interval);
            rc = engine_rc(erc);
        }
    }
    kfree(tx);
    kfree(rx);
    kfree(mask);
    return rc;
}

long ioc_disable(struct jxbridge *B, unsigned int, struct cfm_enable_request *r, unsigned long) {
    struct jxbridge_port *p;
    int rc = cfm_port(B, r->name, &p);
    if (rc)
        return rc;
    auto fn = (ccm_pair_fn)engine_fn("tarnAPIErpsCcmDisable");
    if (!fn)
        return -EOPNOTSUPP;
    int ucc = (int)p->ucc_subport, erc = fn(ucc, r->vid);
    if (cfm_debug)
        printk(KERN_INFO "\tport=%s, tarnErpsCcmDisable(ucc=%d, vid=%d) rv=%d\n", p->dev->name, ucc,
               r->vid, erc);
    if (erc)
        printk(KERN_ERR "\tError %d at %s:%d tarnErpsCcmDisable(ucc=%d, vid=%d)!\n", erc, __FILE__,
               __LINE__, ucc, r->vid);
    return engine_rc(erc);
}

// The statistics record is copied here: its copy failures are -3.
long ioc_stats(struct jxbridge *B, unsigned int cmd, unsigned long arg) {
    struct cfm_stats_request r;
    void __user *u = (void __user *)arg;
    if (jxbridge_copy_from_user(&r, u, sizeof(r)))
        return -ESRCH;
    struct jxbridge_port *p;
    int rc = cfm_port(B, r.name, &p);
    if (rc)
        return rc;
    int ucc = (int)p->ucc_subport;
    if (cmd == BRIDGE_IOCTL_CFM_PDU_ENGINE_STATISTICS_CLEAR) {
        auto fn = (ccm_pair_fn)engine_fn("tarnAPIErpsCcmClearStats");
        int erc = fn ? fn(ucc, r.vid) : 0;
        if (erc)
            printk(KERN_ERR "\tError %d at %s:%d tarnAPIErpsCcmClearStats(ucc=%d, vid=%d)!\n", erc,
                   __FILE__, __LINE__, ucc, r.vid);
        return engine_rc(erc);
    }
    auto fn = (ccm_stats_fn)engine_fn("tarnAPIErpsCcmGetStats");
    int erc = 0;
    if (fn) {
        u32 v[4] = {};
        erc = fn(ucc, r.vid, v);
        if (erc) {
            printk(KERN_ERR "\tError %d at %s:%d tarnAPIErpsCcmGetStats(ucc=%d, vid=%d)!\n", erc,
                   __FILE__, __LINE__, ucc, r.vid);
            return engine_rc(erc);
        }
        r.tx = v[0];
        r.rx = v[1];
        r.loc = v[2];
        r.dropped = v[3];
        if (cfm_debug)
            printk(KERN_INFO "\tstat: rx=%d, tx=%d, loc=%d, dropped=%d\n", (int)r.rx, (int)r.tx,
                   (int)r.loc, (int)r.dropped);
    }
    if (jxbridge_copy_to_user(u, &r, sizeof(r)))
        return -ESRCH;
    return 0;
}

const struct jxbridge_proc_ioc cfm_iocs[] = {
    JXBRIDGE_IOC(BRIDGE_IOCTL_CFM_PORT_VLAN_ENABLE, cfm_enable_request, JXBRIDGE_IOC_IN,
                 ioc_enable),
    JXBRIDGE_IOC(BRIDGE_IOCTL_CFM_PORT_VLAN_DISABLE, cfm_enable_request, JXBRIDGE_IOC_IN,
                 ioc_disable),
    JXBRIDGE_IOC_VALUE(BRIDGE_IOCTL_CFM_PDU_ENGINE_STATISTICS_GET, ioc_stats),
    JXBRIDGE_IOC_VALUE(BRIDGE_IOCTL_CFM_PDU_ENGINE_STATISTICS_CLEAR, ioc_stats),
};

int cmd_debug(struct jxbridge *, char **w) {
    u32 v;
    int rc = word_u32(w[1], &v);
    if (!rc)
        (strcasecmp(w[0], "debug") ? cfm_debug_mng : cfm_debug) = v;
    return rc;
}

int cmd_event_test(struct jxbridge *, char **w) {
    u32 bll, type;
    int rc = word_u32(w[1], &bll);
    if (rc || (rc = word_u32(w[2], &type)))
        return rc;
    struct cfm_fault_event ev = {bll, 0, type, 0};
    cfm_event_send_user(&ev);
    return 0;
}

const struct jxbridge_proc_cmd cfm_cmds[] = {
    {"help", nullptr, "\thelp\n", 0},
    {"debug", cmd_debug, "\tdebug <mode>\n", 0},
    {"debug_mng", cmd_debug, "\tdebug_mng <mode>\n", 0},
    {"event_test", cmd_event_test, "\tevent_test\n", 0},
};

bool cfm_file_debug(struct jxbridge *) {
    return cfm_debug;
}

const struct jxbridge_proc_ops cfm_ops = {
    .tag = "CFM",
    .log = JXBRIDGE_PROC_LOG_PLAIN,
    .debug = cfm_file_debug,
    .check = nullptr,
    .cmds = cfm_cmds,
    .n_cmds = ARRAY_SIZE(cfm_cmds),
    .iocs = cfm_iocs,
    .n_iocs = ARRAY_SIZE(cfm_iocs),
    .trace = nullptr,
    .say = nullptr,
    .unknown = nullptr,
};

int cfm_show(struct seq_file *m, void *) {
    seq_printf(m, "debug: %u\n", cfm_debug);
    seq_printf(m, "debug_mng: %u\n", cfm_debug_mng);
    return 0;
}

int cfm_file_open(struct inode *inode, struct file *file) {
    return single_open(file, cfm_show, PDE_DATA(inode));
}

ssize_t cfm_file_write(struct file *file, const char __user *buf, size_t count, loff_t *) {
    return jxbridge_proc_write(file, buf, count, &cfm_ops);
}

long cfm_file_ioctl(struct file *file, unsigned int cmd, unsigned long arg) {
    bool known = false;
    for (const auto &io : cfm_iocs)
        known = known || io.cmd == cmd;
    if (!known) {
        if (cfm_debug)
            printk(KERN_INFO "UNKNOWN IOCTL\n");
        return -EPERM;
    }
    return jxbridge_proc_ioctl(file, cmd, arg, &cfm_ops);
}

const struct file_operations cfm_fops = {
    .open = cfm_file_open,
    .read = seq_read,
    .write = cfm_file_write,
    .unlocked_ioctl = cfm_file_ioctl,
    .llseek = seq_lseek,
    .release = single_release,
};

} // namespace

extern const struct jxbridge_subsys cfm_subsys = {
    .tag = "CFM",
    .files = {{"cfm", 0644, &cfm_fops}},
};
