// The bridge's "rmirroring" control file: the session table when read, the
// record commands of the management agents, and text commands for people.
#include "bridge_rmirroring.h"

namespace {

struct rmirroring_data *data_of(struct jxbridge *B) {
    return B->rmirroring;
}

// Words.

int word_num(const char *word, long long lo, long long hi, long long *out) {
    if (!word || !*word)
        return -ENOARG;
    if (a2num(word, out))
        return -EINVAL;
    return *out < lo || *out > hi ? -ERANGE : 0;
}

// rx, tx or both: the directions as bits 1 and 2.
int word_dirs(const char *word) {
    if (!word)
        return 3;
    if (!strcasecmp(word, "rx"))
        return 1;
    if (!strcasecmp(word, "tx"))
        return 2;
    if (!strcasecmp(word, "both"))
        return 3;
    return -EINVAL;
}

// Text commands: "<command> <session> ...".

int cmd_session(char **w, long long *nr) {
    return word_num(w[1], 0, 0xFFFF, nr);
}

int cmd_debug(struct jxbridge *B, char **w) {
    if (!w[1])
        return -ENOARG;
    int on = a2bool(w[1]);
    if (on < 0)
        return -EINVAL;
    rmirroring_debug_set(B, (u32)on);
    return 0;
}

int cmd_create(struct jxbridge *B, char **w) {
    long long nr, vlan;
    int rc = cmd_session(w, &nr);
    if (!rc)
        rc = word_num(w[2], 0, 0xFFFF, &vlan);
    if (rc)
        return rc;
    int busy = 0;
    rc = rmirroring_session_create(B, (long)nr, (long)vlan, &busy);
    if (rc == -EBUSY && busy)
        printk(KERN_INFO "[RMIRRORING] VLAN %d is used by session %d.\n", (int)vlan, busy);
    return rc;
}

template <int (*fn)(struct jxbridge *, long)> int cmd_nr(struct jxbridge *B, char **w) {
    long long nr;
    int rc = cmd_session(w, &nr);
    return rc ? rc : fn(B, (long)nr);
}

int activate(struct jxbridge *B, long nr) {
    return rmirroring_session_activate(B, nr, true);
}
int deactivate(struct jxbridge *B, long nr) {
    return rmirroring_session_activate(B, nr, false);
}

// "source <s> <port> [rx|tx|both]" and "destination <s> <port>".
int port_cmd(struct jxbridge *B, char **w, bool dst) {
    long long nr;
    int rc = cmd_session(w, &nr);
    if (rc)
        return rc;
    if (!w[2])
        return -ENOARG;
    struct jxbridge_port *p;
    if ((rc = jxbridge_proc_port(B, w[2], &p)))
        return rc;
    int dirs = dst ? 0 : word_dirs(w[3]);
    if (dirs < 0)
        return dirs;
    u32 other_port = 0;
    int other_session = 0;
    rc = rmirroring_port_add(B, (long)nr, p, dst, dirs & 1, dirs & 2, &other_port, &other_session);
    if (rc == -EBUSY)
        printk(KERN_INFO "[RMIRRORING] Port %u of session %d is in the way.\n", other_port,
               other_session);
    return rc;
}
int cmd_source(struct jxbridge *B, char **w) {
    return port_cmd(B, w, false);
}
int cmd_destination(struct jxbridge *B, char **w) {
    return port_cmd(B, w, true);
}

int cmd_remove(struct jxbridge *B, char **w) {
    long long nr;
    int rc = cmd_session(w, &nr);
    if (rc)
        return rc;
    if (!w[2])
        return -ENOARG;
    struct jxbridge_port *p;
    if ((rc = jxbridge_proc_port(B, w[2], &p)))
        return rc;
    int dirs = word_dirs(w[3]);
    if (dirs < 0)
        return dirs;
    return rmirroring_port_remove(B, (long)nr, p, dirs & 1, dirs & 2);
}

bool is_default(const char *word) {
    return word && (!strcasecmp(word, "def") || !strcasecmp(word, "default"));
}

int cmd_cos(struct jxbridge *B, char **w) {
    long long nr, cos = 255;
    int rc = cmd_session(w, &nr);
    if (!rc && !is_default(w[2]))
        rc = word_num(w[2], 0, 255, &cos);
    return rc ? rc : rmirroring_cos_set(B, (long)nr, (long)cos);
}

int cmd_encaps(struct jxbridge *B, char **w) {
    long long nr;
    int rc = cmd_session(w, &nr);
    if (rc)
        return rc;
    if (!w[2])
        return -ENOARG;
    int on = a2bool(w[2]);
    return on < 0 ? -EINVAL : rmirroring_encaps_set(B, (long)nr, (u32)on);
}

int cmd_mac(struct jxbridge *B, char **w) {
    long long nr;
    int rc = cmd_session(w, &nr);
    if (rc)
        return rc;
    if (!w[2])
        return -ENOARG;
    if (strlen(w[2]) >= RMIRRORING_MAC_TEXT)
        return -EINVAL;
    return rmirroring_mac_set(B, (long)nr, is_default(w[2]) ? RMIRRORING_BCAST_TEXT : w[2]);
}

int cmd_ethertype(struct jxbridge *B, char **w) {
    long long nr, type = RMIRRORING_ETHERTYPE;
    int rc = cmd_session(w, &nr);
    if (!rc && !is_default(w[2]))
        rc = word_num(w[2], 0, 0xFFFF, &type);
    return rc ? rc : rmirroring_ethertype_set(B, (long)nr, (u16)type);
}

// "acl <s> <name> mac|ip" or "acl <s> none".
int cmd_acl(struct jxbridge *B, char **w) {
    long long nr;
    int rc = cmd_session(w, &nr);
    if (rc)
        return rc;
    if (!w[2])
        return -ENOARG;
    if (!strcasecmp(w[2], "none"))
        return rmirroring_acl_reset(B, (long)nr);
    u32 kind = w[3] && !strcasecmp(w[3], "mac") ? 1 : 2;
    return rmirroring_acl_set(B, (long)nr, w[2], kind);
}

const struct jxbridge_proc_cmd rmirroring_cmds[] = {
    {"help", nullptr, "\thelp\n", 0},
    {"debug", cmd_debug, "\tdebug on|off\n", 0},
    {"create", cmd_create, "\tcreate <session> <vlan>\n", 0},
    {"delete", cmd_nr<rmirroring_session_delete>, "\tdelete <session>\n", 0},
    {"activate", cmd_nr<activate>, "\tactivate <session>\n", 0},
    {"deactivate", cmd_nr<deactivate>, "\tdeactivate <session>\n", 0},
    {"source", cmd_source, "\tsource <session> <port> [rx|tx|both]\n", 0},
    {"destination", cmd_destination, "\tdestination <session> <port>\n", 0},
    {"remove", cmd_remove, "\tremove <session> <port> [rx|tx|both]\n", 0},
    {"cos", cmd_cos, "\tcos <session> <0-7>|def\n", 0},
    {"encaps", cmd_encaps, "\tencaps <session> on|off\n", 0},
    {"mac", cmd_mac, "\tmac <session> <mac>|def\n", 0},
    {"ethertype", cmd_ethertype, "\tethertype <session> <ethertype>|def\n", 0},
    {"acl", cmd_acl, "\tacl <session> <name> mac|ip\n\tacl <session> none\n", 0},
};

// Record commands. Each handler works on the caller's record, which goes
// back whatever the result.

struct rm_ioc {
    unsigned int cmd;
    u32 size;
    long (*fn)(struct jxbridge *B, void *rec);
};

template <typename T, long (*fn)(struct jxbridge *, T *)>
long rec_thunk(struct jxbridge *B, void *rec) {
    return fn(B, static_cast<T *>(rec));
}

long ioc_session_get(struct jxbridge *B, rmirroring_session_record *r) {
    long nr = r->session;
    memset(r, 0, sizeof(*r));
    r->session = (u8)nr;
    if (nr < 1 || nr > RMIRRORING_SESSIONS)
        return -ENOENT;
    rmirroring_session_fill(B, nr, r);
    return r->in_use ? 0 : -ENOENT;
}

struct jxbridge_port *bll_port(struct jxbridge *B, u32 bll) {
    return get_jxbridge_port_from_bll_port_no(B, bll);
}

long ioc_port_get(struct jxbridge *B, rmirroring_port_record *r) {
    struct jxbridge_port *p = bll_port(B, r->port);
    if (!p)
        return -ENOENT;
    r->port = p->bll_port_no;
    r->src_rx = p->rmirr_src_rx;
    r->src_tx = p->rmirr_src_tx;
    r->dst = p->rmirr_dst;
    return 0;
}

long ioc_session_port_get(struct jxbridge *B, rmirroring_port_record *r) {
    struct rmirroring_data *rd = data_of(B);
    if (r->session < 1 || r->session > RMIRRORING_SESSIONS || !rd->s[r->session - 1].in_use)
        return -ENOENT;
    struct rmirroring_session *s = &rd->s[r->session - 1];
    u8 bit = (u8)(1u << (r->session - 1));
    u32 pos = 0;
    for (u32 i = 0; i < B->max_ports; i++) {
        struct jxbridge_port *p = B->ports[i];
        if (!p || !((p->rmirr_src_rx | p->rmirr_src_tx) & bit) || pos++ != r->position)
            continue;
        r->port = p->bll_port_no;
        r->src_rx = (p->rmirr_src_rx & bit ? RMIRRORING_PORT_RX : 0) |
                    (p->rmirr_src_tx & bit ? RMIRRORING_PORT_TX : 0);
        return 0;
    }
    if (s->dst && pos == r->position) {
        r->port = s->dst->bll_port_no;
        r->src_rx = RMIRRORING_PORT_DST;
        return 0;
    }
    return -ENOENT;
}

void decimal(char *field, size_t size, long v) {
    snprintf(field, size, "%ld", v);
}

long ioc_create(struct jxbridge *B, rmirroring_create_record *r) {
    int busy = 0;
    int rc = rmirroring_session_create(B, r->session, r->vlan, &busy);
    if (rc == -EBUSY && busy)
        decimal(r->busy_session, sizeof(r->busy_session), busy);
    return rc;
}

long ioc_delete(struct jxbridge *B, rmirroring_session_nr *r) {
    return rmirroring_session_delete(B, r->session);
}
long ioc_activate(struct jxbridge *B, rmirroring_session_nr *r) {
    return rmirroring_session_activate(B, r->session, true);
}
long ioc_deactivate(struct jxbridge *B, rmirroring_session_nr *r) {
    return rmirroring_session_activate(B, r->session, false);
}

long ioc_port_add(struct jxbridge *B, rmirroring_port_change_record *r) {
    struct jxbridge_port *p = bll_port(B, r->port);
    if (!p)
        return -ENOENT;
    u32 other_port = 0;
    int other_session = 0;
    int rc = rmirroring_port_add(B, r->session, p, r->kind != 0, r->rx, r->tx, &other_port,
                                 &other_session);
    if (rc == -EBUSY) {
        decimal(r->other_port, sizeof(r->other_port), other_port);
        decimal(r->other_session, sizeof(r->other_session), other_session);
    }
    return rc;
}

long ioc_port_remove(struct jxbridge *B, rmirroring_port_change_record *r) {
    struct jxbridge_port *p = bll_port(B, r->port);
    if (!p)
        return -ENOENT;
    return rmirroring_port_remove(B, r->session, p, r->rx, r->tx);
}

long ioc_cos_set(struct jxbridge *B, rmirroring_cos_record *r) {
    return rmirroring_cos_set(B, r->session, r->cos);
}
long ioc_cos_reset(struct jxbridge *B, rmirroring_session_nr *r) {
    return rmirroring_cos_set(B, r->session, 255);
}

long ioc_encaps_set(struct jxbridge *B, rmirroring_encaps_record *r) {
    struct rmirroring_session *s;
    if (r->session < 1 || r->session > RMIRRORING_SESSIONS ||
        !(s = &data_of(B)->s[r->session - 1])->in_use)
        return -ENOENT;
    return r->encaps == 1 ? rmirroring_encaps_set(B, r->session, 1) : 0;
}
long ioc_encaps_reset(struct jxbridge *B, rmirroring_session_nr *r) {
    return rmirroring_encaps_set(B, r->session, 0);
}

long ioc_mac_set(struct jxbridge *B, rmirroring_mac_record *r) {
    return rmirroring_mac_set(B, r->session, r->mac);
}
long ioc_mac_reset(struct jxbridge *B, rmirroring_session_nr *r) {
    int rc = rmirroring_mac_set(B, r->session, RMIRRORING_BCAST_TEXT);
    return rc == -ENOEXEC ? 0 : rc;
}

long ioc_ethertype_set(struct jxbridge *B, rmirroring_ethertype_record *r) {
    return rmirroring_ethertype_set(B, r->session, r->ethertype);
}
long ioc_ethertype_reset(struct jxbridge *B, rmirroring_session_nr *r) {
    int rc = rmirroring_ethertype_set(B, r->session, RMIRRORING_ETHERTYPE);
    return rc == -ENOEXEC ? 0 : rc;
}

long ioc_acl_set(struct jxbridge *B, rmirroring_acl_record *r) {
    // The name field is longer than an ACL name: it must end within 39 characters.
    if (strnlen(r->name, sizeof(r->name)) > RULE_NAME_MAX)
        return -EINVAL;
    return rmirroring_acl_set(B, r->session, r->name, r->kind);
}
long ioc_acl_reset(struct jxbridge *B, rmirroring_session_nr *r) {
    return rmirroring_acl_reset(B, r->session);
}

#define RM_IOC(cmd, type, fn)                                                                      \
    { (cmd), sizeof(type), rec_thunk<type, fn> }
const struct rm_ioc rmirroring_iocs[] = {
    RM_IOC(RMIRRORING_IOCTL_SESSION_GET, rmirroring_session_record, ioc_session_get),
    RM_IOC(RMIRRORING_IOCTL_PORT_GET, rmirroring_port_record, ioc_port_get),
    RM_IOC(RMIRRORING_IOCTL_SESSION_PORT_GET, rmirroring_port_record, ioc_session_port_get),
    RM_IOC(RMIRRORING_IOCTL_CREATE, rmirroring_create_record, ioc_create),
    RM_IOC(RMIRRORING_IOCTL_DELETE, rmirroring_session_nr, ioc_delete),
    RM_IOC(RMIRRORING_IOCTL_ACTIVATE, rmirroring_session_nr, ioc_activate),
    RM_IOC(RMIRRORING_IOCTL_DEACTIVATE, rmirroring_session_nr, ioc_deactivate),
    RM_IOC(RMIRRORING_IOCTL_PORT_ADD, rmirroring_port_change_record, ioc_port_add),
    RM_IOC(RMIRRORING_IOCTL_PORT_REMOVE, rmirroring_port_change_record, ioc_port_remove),
    RM_IOC(RMIRRORING_IOCTL_COS_SET, rmirroring_cos_record, ioc_cos_set),
    RM_IOC(RMIRRORING_IOCTL_COS_RESET, rmirroring_session_nr, ioc_cos_reset),
    RM_IOC(RMIRRORING_IOCTL_ENCAPS_SET, rmirroring_encaps_record, ioc_encaps_set),
    RM_IOC(RMIRRORING_IOCTL_ENCAPS_RESET, rmirroring_session_nr, ioc_encaps_reset),
    RM_IOC(RMIRRORING_IOCTL_MAC_SET, rmirroring_mac_record, ioc_mac_set),
    RM_IOC(RMIRRORING_IOCTL_MAC_RESET, rmirroring_session_nr, ioc_mac_reset),
    RM_IOC(RMIRRORING_IOCTL_ETHERTYPE_SET, rmirroring_ethertype_record, ioc_ethertype_set),
    RM_IOC(RMIRRORING_IOCTL_ETHERTYPE_RESET, rmirroring_session_nr, ioc_ethertype_reset),
    RM_IOC(RMIRRORING_IOCTL_ACL_SET, rmirroring_acl_record, ioc_acl_set),
    RM_IOC(RMIRRORING_IOCTL_ACL_RESET, rmirroring_session_nr, ioc_acl_reset),
};
#define RM_IOC_MAX 104

bool file_debug(struct jxbridge *B) {
    return B->rmirroring && B->rmirroring->debug;
}

int file_check(struct jxbridge *B) {
    return B->rmirroring ? 0 : -ENODEV;
}

const struct jxbridge_proc_ops rmirroring_ops = {
    .tag = "RMIRRORING",
    .log = JXBRIDGE_PROC_LOG_PLAIN,
    .debug = file_debug,
    .check = file_check,
    .cmds = rmirroring_cmds,
    .n_cmds = ARRAY_SIZE(rmirroring_cmds),
    .iocs = nullptr,
    .n_iocs = 0,
    .trace = nullptr,
    .say = nullptr,
    .unknown = nullptr,
};

long rmirroring_ioctl(struct file *file, unsigned int cmd, unsigned long arg) {
    struct jxbridge *B = jxbridge_proc_bridge(file);
    if (!B)
        return -ENODEV;
    const struct rm_ioc *io = nullptr;
    for (const struct rm_ioc &row : rmirroring_iocs)
        if (row.cmd == cmd)
            io = &row;
    u8 rec[RM_IOC_MAX] = {};
    void __user *uarg = (void __user *)arg;
    mutex_lock(&jxbridge_lock);
    bool dbg = ioctl_debug || file_debug(B);
    if (dbg)
        printk(KERN_INFO "[RMIRRORING] IOCTL(%u, 0x%08x) on [%s] from '%s' (%d)\n", cmd, (u32)arg,
               file_dentry_name(file), current->comm, current->pid);
    long rc = file_check(B);
    if (!rc && !io)
        rc = -EINVAL;
    if (!rc && jxbridge_copy_from_user(rec, uarg, io->size)) {
        printk(KERN_ERR "rmirroring ioctl: copy from user error\n");
        rc = -EFAULT;
    } else if (!rc) {
        rc = io->fn(B, rec);
        if (jxbridge_copy_to_user(uarg, rec, io->size)) {
            printk(KERN_ERR "rmirroring ioctl: copy to user error\n");
            rc = -EFAULT;
        }
    }
    if (dbg)
        printk(KERN_INFO "[RMIRRORING] IOCTL returns value %ld\n", rc);
    mutex_unlock(&jxbridge_lock);
    return rc;
}

// The read-out.

const char *yes_no(u32 v) {
    return v ? "Yes" : "No";
}

int rmirroring_show(struct seq_file *m, void *) {
    struct jxbridge *B = (struct jxbridge *)m->private_data;
    mutex_lock(&jxbridge_lock);
    struct rmirroring_data *rd = data_of(B);
    if (!rd) {
        mutex_unlock(&jxbridge_lock);
        return 0;
    }
    if (!rd->n_sessions) {
        seq_printf(m, "Debug:  %s\nNo Remote Mirroring sessions defined.\n", int2onoff(rd->debug));
        mutex_unlock(&jxbridge_lock);
        return 0;
    }
    seq_printf(
        m,
        "Debug:  %s\n\nSession   Type          VLAN   Intfs  CoS Encaps ACL               "
        "Active\n--------- ------------- ------ -----  --- ------ ----------------- ------\n",
        int2onoff(rd->debug));
    static const char *const types[] = {"Undefined", "Source", "Destination"};
    for (long nr = 1; nr <= RMIRRORING_SESSIONS; nr++) {
        if (!rd->s[nr - 1].in_use)
            continue;
        struct rmirroring_session_record r = {};
        rmirroring_session_fill(B, nr, &r);
        char cos[8];
        snprintf(cos, sizeof(cos), "%d", (int)r.cos);
        const char *kind = r.acl_kind == 1 ? "(MAC) " : r.acl_kind ? "(IP)" : "";
        seq_printf(m, "%-9d %-13s %-6d %-6d %-3s %-6s %-11s %-5s %-6s\n", (int)nr, types[r.type],
                   (int)r.vlan, (int)(rmirroring_session_sources(B, nr) + (r.type == 2)),
                   r.cos == 255 ? "def" : cos, yes_no(r.encaps), r.acl_name, kind,
                   yes_no(r.active));
    }
    mutex_unlock(&jxbridge_lock);
    return 0;
}

int rmirroring_open(struct inode *inode, struct file *file) {
    return single_open(file, rmirroring_show, PDE_DATA(inode));
}

ssize_t rmirroring_write(struct file *file, const char __user *buf, size_t count, loff_t *) {
    return jxbridge_proc_write(file, buf, count, &rmirroring_ops);
}

} // namespace

extern const struct file_operations rmirroring_fops = {
    .open = rmirroring_open,
    .read = seq_read,
    .write = rmirroring_write,
    .unlocked_ioctl = rmirroring_ioctl,
    .llseek = seq_lseek,
    .release = single_release,
};
