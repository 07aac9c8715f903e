// The module's proc root and its global control file, config.
#include "jxbridge.h"
#include "jxbridge_ioctl.h"

#include <cctype>

struct proc_dir_entry *jxbridge_proc_root;
static struct proc_dir_entry *jxbridge_config_entry;
static const char *const config_name = "config";

static const char help_text[] =
    "Supported commands:\n\thelp\n\tadd <name> <max_ports>\n\tdel <name>\n\tdefault_frame_size "
    "<size>\n\tdebug <0|1>\n\tioctl_debug <0|1>\n\tdtrc <0|1>\n\tcleanup\n\tunknown_to_kernel "
    "<mode>\n\tthreaded enable on|off\n\tthreaded_debug <0|1>\n\tthreaded max "
    "<num>\n\tthreaded overflow drop|forward\n\tthreaded work <work_interval>\n\tthreaded sleep "
    "<sleep_interval>\n\tthreaded afmax <num>\n\tmap add <addr> <len>\n\tmap del <addr>\n\tmap "
    "read <addr> <offs>\n\tmap write <addr> <offs> <value>\n\tshow\n\tqman_force_pause <0|1>\n";

static u32 percent(u32 cur, u32 max) {
    return max ? (u32)((u64)cur * 100 / max) : 0;
}

static int config_show(struct seq_file *m, void *) {
    struct jxbridge_q_t *q = &jxbridge_q;
    mutex_lock(&jxbridge_lock);
    seq_printf(m, "Bridge API version:              %u\n", JXBRIDGE_API_VERSION);
    seq_printf(m, "Default frame output size:       %d\n", default_output_size);
    seq_printf(m, "Debug:                           %u\n", (u32)debug);
    seq_printf(m, "Threaded Debug:                  %u\n", jxbridge_threaded_debug);
    seq_printf(m, "DTRC:                            %u\n", jxbridge_dtrc);
    seq_printf(m, "Max OLT-s:                       %d\n", max_olt);
    seq_printf(m, "GEM ports per OLT:               %d\n", gems_per_olt);
    seq_printf(m, "Multicast GEM port range:        %d - %d\n", mcast_gems_start, mcast_gems_end);
    seq_printf(m, "Unknown-to-kernel:               %u\n", (u32)unknown_to_kernel);
    seq_printf(m, "[Threaded] Threaded:             %s\n", int2onoff(q->enabled));
    seq_printf(m, "[Threaded] Overflow traffic:     %s\n", q->overflow_drop ? "drop" : "forward");
    seq_printf(m, "[Threaded] Work interval:        %d\n", q->work_interval);
    seq_printf(m, "[Threaded] Sleep interval:       %d\n", q->sleep_interval);
    seq_printf(m, "[Threaded] QMAN pauses:          %u\n", q->qman_pauses);
    seq_printf(m, "[Threaded] Forced QMAN pause:    %u\n", q->forced_pause);
    unsigned long flags;
    spin_lock_irqsave(&q->lock, flags);
    u32 total_rx = q->total_rx, total_tx = q->total_tx, cur = q->current_len, max = q->max;
    u32 drops = q->drops, af_rx = q->af_total_rx, af_tx = q->af_total_tx;
    u32 af_cur = q->af_current, af_max = q->af_max, af_drops = q->af_drops;
    spin_unlock_irqrestore(&q->lock, flags);
    seq_printf(m, "[Threaded] Total Rx:             %u\n", total_rx);
    seq_printf(m, "[Threaded] Total Tx:             %u\n", total_tx);
    seq_printf(m, "[Threaded] Queue:                %u/%u (%u%%)\n", cur, max, percent(cur, max));
    seq_printf(m, "[Threaded] Queue drops:          %u\n", drops);
    seq_printf(m, "[Threaded] AF Total Rx:          %u\n", af_rx);
    seq_printf(m, "[Threaded] AF Total Tx:          %u\n", af_tx);
    seq_printf(m, "[Threaded] AF queue:             %u/%u (%u%%)\n", af_cur, af_max,
               percent(af_cur, af_max));
    seq_printf(m, "[Threaded] AF Queue drops:       %u\n", af_drops);
    seq_printf(m, "\nMemory maps\n");
    jxbridge_map_show(m);
    mutex_unlock(&jxbridge_lock);
    return 0;
}

static void config_log_status() {
    struct jxbridge_q_t *q = &jxbridge_q;
    printk(KERN_INFO "Debug:                      %u\n", (u32)debug);
    printk(KERN_INFO "Max OLT-s                   %d\n", max_olt);
    printk(KERN_INFO "Unknown-to-kernel:            %u\n", (u32)unknown_to_kernel);
    printk(KERN_INFO "[Threaded] Threaded:             %s\n", int2onoff(q->enabled));
    printk(KERN_INFO "[Threaded] Overflow traffic:     %s\n",
           q->overflow_drop ? "drop" : "forward");
    printk(KERN_INFO "[Threaded] Work interval:        %d\n", q->work_interval);
    printk(KERN_INFO "[Threaded] Sleep interval:       %d\n", q->sleep_interval);
    printk(KERN_INFO "[Threaded] Current queue:        %u\n", q->current_len);
    printk(KERN_INFO "[Threaded] Max allowed queue:    %u\n", q->max);
    printk(KERN_INFO "[Threaded] Total Rx:             %u\n", q->total_rx);
    printk(KERN_INFO "[Threaded] Total Tx:             %u\n", q->total_tx);
    printk(KERN_INFO "[Threaded] Queue drops:          %u\n", q->drops);
    printk(KERN_INFO "[Threaded] AF Current queue:     %u\n", q->af_current);
    printk(KERN_INFO "[Threaded] AF Max allowed queue: %u\n", q->af_max);
    printk(KERN_INFO "[Threaded] AF Total Rx:          %u\n", q->af_total_rx);
    printk(KERN_INFO "[Threaded] AF Total Tx:          %u\n", q->af_total_tx);
    printk(KERN_INFO "[Threaded] AF Queue drops:       %u\n", q->af_drops);
    printk(KERN_INFO "\n");
}

// A number that names what it is for: "Missing <len>." when absent, and the
// expected notation when it does not parse.
static int config_named_num(const char *word, const char *what, long long *out) {
    if (!word) {
        printk(KERN_WARNING "Missing <%s>.\n", what);
        return -ENOARG;
    }
    int rc = a2num(word, out);
    if (rc) {
        bool hex = word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
        printk(KERN_WARNING "Expected %s for %s: '%s'\n", hex ? "hexadecimal" : "decimal", what,
               word);
    }
    return rc;
}

static int config_int_switch(const char *word, int *out) {
    long long v;
    int rc = a2num(word, &v);
    if (rc)
        return rc;
    if (v < INT32_MIN || v > UINT32_MAX)
        return -EINVAL;
    *out = (int)v;
    return 0;
}

static int config_threaded(char **w) {
    struct jxbridge_q_t *q = &jxbridge_q;
    long long v;
    int rc;
    if (!w[1])
        return -EINVAL;
    if (!strcasecmp(w[1], "enable")) {
        int b = a2bool(w[2]);
        if (b < 0)
            return -EPERM;
        q->enabled = (u32)b;
        return 0;
    }
    if (!strcasecmp(w[1], "max") || !strcasecmp(w[1], "afmax")) {
        bool af = !strcasecmp(w[1], "afmax");
        if ((rc = a2num(w[2], &v)))
            return rc;
        if (v < 1 || v > UINT32_MAX)
            return -ERANGE;
        if (af) {
            q->af_max = (u32)v;
            printk(KERN_INFO "Threaded AF queue max set to %u.\n", q->af_max);
        } else {
            q->max = (u32)v;
            printk(KERN_INFO "Threaded queue max set to %u.\n", q->max);
        }
        return 0;
    }
    if (!strcasecmp(w[1], "overflow")) {
        if (w[2] && !strcasecmp(w[2], "drop"))
            q->overflow_drop = 1;
        else if (w[2] && !strcasecmp(w[2], "forward"))
            q->overflow_drop = 0;
        else
            return -EINVAL;
        return 0;
    }
    if (!strcasecmp(w[1], "work") || !strcasecmp(w[1], "sleep")) {
        int n;
        if ((rc = config_int_switch(w[2], &n)))
            return rc == -ENOARG ? -EINVAL : rc;
        if (!strcasecmp(w[1], "work"))
            q->work_interval = n;
        else
            q->sleep_interval = n;
        return 0;
    }
    return -EINVAL;
}

static int config_map(char **w) {
    if (!w[1])
        return -ENOARG;
    u64 addr;
    long long v;
    int rc;
    bool rd = !strcasecmp(w[1], "read") || !strcasecmp(w[1], "r");
    bool wr = !strcasecmp(w[1], "write") || !strcasecmp(w[1], "w");
    if (!strcasecmp(w[1], "add")) {
        if (a2addr(w[2], &addr))
            return -EPERM;
        if ((rc = config_named_num(w[3], "len", &v)))
            return rc;
        if (v < 0 || v > UINT32_MAX)
            return -EINVAL;
        return jxbridge_map_add(addr, (u32)v);
    }
    if (!strcasecmp(w[1], "del")) {
        if (a2addr(w[2], &addr))
            return -EPERM;
        return jxbridge_map_del(addr);
    }
    if (!rd && !wr)
        return -EINVAL;
    if (a2addr(w[2], &addr))
        return -EPERM;
    if ((rc = config_named_num(w[3], "offs", &v)))
        return rc;
    // Offsets are unsigned: a negative one is far past any mapping.
    u32 offs = (u32)v;
    if (v < INT32_MIN || v > UINT32_MAX)
        offs = UINT32_MAX;
    if (rd) {
        u8 byte = 0;
        rc = jxbridge_map_read(addr, offs, &byte);
        if (rc)
            printk(KERN_INFO "%p[%d] = error (%d)\n", (void *)addr, (int)offs, rc);
        else
            printk(KERN_INFO "%p[%d] = %d 0x%02x\n", (void *)addr, (int)offs, byte, byte);
        return rc;
    }
    long long value;
    if ((rc = config_named_num(w[4], "value", &value)))
        return rc;
    if (value < 0 || value > 0xff)
        return -ERANGE;
    return jxbridge_map_write(addr, offs, (u8)value);
}

static int config_command(char *line) {
    char *w[8];
    jxbridge_split(line, w, ARRAY_SIZE(w));
    if (!w[0][0] || w[0][0] == '#')
        return 0;
    const char *cmd = w[0];
    long long v;
    int rc, n;
    if (!strcasecmp(cmd, "help")) {
        printk(KERN_INFO "%s", help_text);
        return 0;
    }
    if (!strcasecmp(cmd, "add")) {
        if (!w[1] || !w[2])
            return -ENOARG;
        if ((rc = a2num(w[2], &v)))
            return rc;
        if (v < INT32_MIN || v > INT32_MAX)
            return -EINVAL;
        if (v < 2)
            return -ERANGE;
        return jxbridge_add(w[1], (int)v);
    }
    if (!strcasecmp(cmd, "del")) {
        if (!w[1])
            return -ENOARG;
        return jxbridge_del(w[1]);
    }
    if (!strcasecmp(cmd, "default_frame_size")) {
        if ((rc = a2num(w[1], &v)))
            return rc;
        if (v < 0 || v > 10000)
            return -EINVAL;
        default_output_size = (int)v;
        return 0;
    }
    if (!strcasecmp(cmd, "debug"))
        return config_int_switch(w[1], &debug);
    if (!strcasecmp(cmd, "ioctl_debug"))
        return config_int_switch(w[1], &ioctl_debug);
    if (!strcasecmp(cmd, "unknown_to_kernel"))
        return config_int_switch(w[1], &unknown_to_kernel);
    if (!strcasecmp(cmd, "threaded_debug") || !strcasecmp(cmd, "dtrc")) {
        if ((rc = config_int_switch(w[1], &n)))
            return rc;
        (!strcasecmp(cmd, "dtrc") ? jxbridge_dtrc : jxbridge_threaded_debug) = (u32)n;
        return 0;
    }
    if (!strcasecmp(cmd, "cleanup")) {
        jxbridge_cleanup();
        return 0;
    }
    if (!strcasecmp(cmd, "threaded"))
        return config_threaded(w);
    if (!strcasecmp(cmd, "map"))
        return config_map(w);
    if (!strcasecmp(cmd, "show")) {
        config_log_status();
        return 0;
    }
    if (!strcasecmp(cmd, "qman_force_pause")) {
        if ((rc = config_int_switch(w[1], &n)))
            return rc;
        // The outcome is in the log and the read-out, not in the answer.
        if (n) {
            printk(KERN_INFO "call dpaa_tarn_pause_linux_rx()\n");
            jxbridge_qman_force_stop_dequeues();
        } else {
            printk(KERN_INFO "call dpaa_tarn_resume_linux_rx()\n");
            jxbridge_qman_force_start_dequeues();
        }
        return 0;
    }
    return -EINVAL;
}

static ssize_t config_write(struct file *, const char __user *buf, size_t count, loff_t *) {
    char line[JXBRIDGE_LINE_MAX];
    long consumed = line_read(buf, count, line, sizeof(line));
    if (consumed <= 0)
        return consumed;
    if (debug || ioctl_debug)
        printk(KERN_INFO "[Bridge] write(\"%s\") from '%s' (%d)\n", line, current->comm,
               current->pid);
    mutex_lock(&jxbridge_lock);
    int rc = config_command(line);
    mutex_unlock(&jxbridge_lock);
    return rc < 0 ? rc : consumed;
}

static long config_ioctl_locked(unsigned int cmd, unsigned long arg) {
    void __user *uarg = (void __user *)arg;
    switch (cmd) {
    case JXBRIDGE_IOCTL_ADD: {
        jxbridge_ioctl_add rec;
        if (jxbridge_copy_from_user(&rec, uarg, sizeof(rec)))
            return -EFAULT;
        if (!memchr(rec.name, '\0', IFNAMSIZ))
            return -EINVAL; // longer than a device name may be
        return jxbridge_add(rec.name, (int)rec.max_ports);
    }
    case JXBRIDGE_IOCTL_DEL: {
        jxbridge_ioctl_del rec;
        if (jxbridge_copy_from_user(&rec, uarg, sizeof(rec)))
            return -EFAULT;
        rec.name[sizeof(rec.name) - 1] = '\0';
        return jxbridge_del(rec.name);
    }
    case JXBRIDGE_IOCTL_API_VERSION: {
        u32 version = JXBRIDGE_API_VERSION;
        if (jxbridge_copy_to_user(uarg, &version, sizeof(version)))
            return -EFAULT;
        return 0;
    }
    case JXBRIDGE_IOCTL_CLEANUP:
        jxbridge_cleanup();
        return 0;
    case JXBRIDGE_IOCTL_MAP_ADD:
    case JXBRIDGE_IOCTL_MAP_DEL:
    case JXBRIDGE_IOCTL_MAP_READ:
    case JXBRIDGE_IOCTL_MAP_WRITE: {
        jxbridge_ioctl_map rec;
        if (jxbridge_copy_from_user(&rec, uarg, sizeof(rec)))
            return -EFAULT;
        if (cmd == JXBRIDGE_IOCTL_MAP_ADD)
            return jxbridge_map_add(rec.addr, rec.len_or_offs);
        if (cmd == JXBRIDGE_IOCTL_MAP_DEL)
            return jxbridge_map_del(rec.addr);
        if (cmd == JXBRIDGE_IOCTL_MAP_WRITE)
            return jxbridge_map_write(rec.addr, rec.len_or_offs, rec.value);
        int rc = jxbridge_map_read(rec.addr, rec.len_or_offs, &rec.value);
        if (rc)
            return rc;
        if (jxbridge_copy_to_user(uarg, &rec, sizeof(rec)))
            return -EFAULT;
        return 0;
    }
    default:
        return -EINVAL;
    }
}

static long config_ioctl(struct file *, unsigned int cmd, unsigned long arg) {
    if (debug || ioctl_debug)
        printk(KERN_INFO "[Bridge] IOCTL(c=0x%08x, d=0x%08x)@%s from '%s' (%d)\n", cmd, (u32)arg,
               config_name, current->comm, current->pid);
    mutex_lock(&jxbridge_lock);
    long rc = config_ioctl_locked(cmd, arg);
    mutex_unlock(&jxbridge_lock);
    return rc;
}

static int config_open(struct inode *, struct file *file) {
    return single_open(file, config_show, nullptr);
}

static const struct file_operations config_fops = {
    .open = config_open,
    .read = seq_read,
    .write = config_write,
    .unlocked_ioctl = config_ioctl,
    .llseek = seq_lseek,
    .release = single_release,
};

int jxbridge_proc_init() {
    jxbridge_proc_root = proc_mkdir(JXBRIDGE_PROC_ROOT, init_net.proc_net);
    if (!jxbridge_proc_root)
        return -ENOMEM;
    if (debug)
        printk(KERN_INFO "[Bridge] /proc/%s created.\n", JXBRIDGE_PROC_ROOT);
    jxbridge_config_entry = proc_create(config_name, 0600, jxbridge_proc_root, &config_fops);
    if (!jxbridge_config_entry)
        return -ENOMEM;
    if (debug)
        printk(KERN_INFO "[Bridge] /proc/%s/%s created.\n", JXBRIDGE_PROC_ROOT, config_name);
    return 0;
}

int jxbridge_proc_fini() {
    if (!jxbridge_config_entry)
        return -EIDRM;
    proc_remove(jxbridge_config_entry);
    jxbridge_config_entry = nullptr;
    if (debug)
        printk(KERN_INFO "[Bridge] /proc/%s/%s removed.\n", JXBRIDGE_PROC_ROOT, config_name);
    return 0;
}

// The root goes last: the bridges' directories below it go with their bridges.
void jxbridge_proc_root_remove() {
    if (!jxbridge_proc_root)
        return;
    proc_remove(jxbridge_proc_root);
    jxbridge_proc_root = nullptr;
    if (debug)
        printk(KERN_INFO "[Bridge] /proc/%s removed.\n", JXBRIDGE_PROC_ROOT);
}

// The framing every file of a bridge's directory shares.
struct jxbridge *jxbridge_proc_bridge(struct file *file) {
    return (struct jxbridge *)PDE_DATA(file_inode(file));
}

// A port word: a name, or a decimal BLL port number read through the BLL map.
int jxbridge_proc_port(struct jxbridge *B, const char *word, struct jxbridge_port **out) {
    if (!word || !*word)
        return -ENODEV;
    if (isdigit((unsigned char)word[0])) {
        for (u32 i = 0; i < B->max_ports; i++)
            if (B->ports[i] && !strcmp(B->ports[i]->dev->name, word)) {
                *out = B->ports[i];
                return 0;
            }
        long long bll;
        if (a2num(word, &bll) || bll < 0 || bll >= JXBRIDGE_BLL_MAP_SIZE)
            return -ENODEV;
        struct jxbridge_port *p = get_jxbridge_port_from_bll_port_no(B, (u32)bll);
        if (!p)
            return -ENODEV;
        *out = p;
        return 0;
    }
    return jxbridge_get_port_by_name(B, word, out) ? -ENODEV : 0;
}

int jxbridge_proc_port_field(struct jxbridge *B, const char *field, struct jxbridge_port **out) {
    char name[JXBRIDGE_PORT_NAME_LEN];
    memcpy(name, field, sizeof(name));
    name[sizeof(name) - 1] = '\0';
    return jxbridge_proc_port(B, name, out);
}

static bool proc_debug(struct jxbridge *bridge, const struct jxbridge_proc_ops *ops) {
    return debug || ioctl_debug || (ops->debug && ops->debug(bridge));
}

ssize_t jxbridge_proc_write(struct file *file, const char __user *buf, size_t count,
                            const struct jxbridge_proc_ops *ops) {
    char line[JXBRIDGE_LINE_MAX];
    long consumed = line_read(buf, count, line, sizeof(line));
    if (consumed <= 0)
        return consumed;
    struct jxbridge *bridge = jxbridge_proc_bridge(file);
    if (!bridge)
        return -ENODEV;
    mutex_lock(&jxbridge_lock);
    if (proc_debug(bridge, ops))
        printk(KERN_INFO "[%s] write(\"%s\") on [%s] from '%s' (%d)\n", ops->tag, line,
               file_dentry_name(file), current->comm, current->pid);
    char *words[JXBRIDGE_PROC_WORDS + 1];
    jxbridge_split(line, words, JXBRIDGE_PROC_WORDS);
    words[JXBRIDGE_PROC_WORDS] = nullptr;
    int rc = 0;
    if (words[0][0] && words[0][0] != '#')
        rc = ops->command(bridge, words);
    mutex_unlock(&jxbridge_lock);
    return rc < 0 ? rc : consumed;
}

long jxbridge_proc_ioctl(struct file *file, unsigned int cmd, unsigned long arg,
                         const struct jxbridge_proc_ops *ops) {
    struct jxbridge *bridge = jxbridge_proc_bridge(file);
    if (!bridge || !ops->ioctl)
        return -EINVAL;
    mutex_lock(&jxbridge_lock);
    if (proc_debug(bridge, ops)) {
        if (ops->named_ioctl_fields)
            printk(KERN_INFO "[%s] IOCTL(c=%u, d=0x%08x) on [%s] from '%s' (%d)\n", ops->tag, cmd,
                   (u32)arg, file_dentry_name(file), current->comm, current->pid);
        else
            printk(KERN_INFO "[%s] IOCTL(%u, 0x%08x) on [%s] from '%s' (%d)\n", ops->tag, cmd,
                   (u32)arg, file_dentry_name(file), current->comm, current->pid);
    }
    long rc = ops->ioctl(bridge, cmd, arg);
    mutex_unlock(&jxbridge_lock);
    return rc;
}

// A file whose engine is not built here reads empty and refuses commands,
// as an absent engine does.
static ssize_t placeholder_read(struct file *, char __user *, size_t, loff_t *) {
    return 0;
}
static ssize_t placeholder_write(struct file *, const char __user *, size_t, loff_t *) {
    return -EINVAL;
}
static long placeholder_ioctl(struct file *, unsigned int, unsigned long) {
    return -EINVAL;
}
const struct file_operations jxbridge_placeholder_fops = {
    .read = placeholder_read,
    .write = placeholder_write,
    .unlocked_ioctl = placeholder_ioctl,
};

extern const struct jxbridge_subsys jxbridge_files_subsys = {
    .tag = "Bridge",
    .files = {{"bridge", 0644, &jxbridge_bridge_fops}, {"ports", 0600, &jxbridge_ports_fops}},
};
