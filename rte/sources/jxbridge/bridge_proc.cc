// The module's proc root and its global control file, config.
#include "jxbridge.h"
#include "jxbridge_ioctl.h"

#include <cctype>

struct proc_dir_entry *jxbridge_proc_root;
static struct proc_dir_entry *jxbridge_config_entry;
static const char *const config_name = "config";

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

static int config_threaded_enable(char **w) {
    int b = a2bool(w[2]);
    if (b < 0)
        return -EPERM;
    jxbridge_q.enabled = (u32)b;
    return 0;
}

static int config_threaded_max(char **w) {
    struct jxbridge_q_t *q = &jxbridge_q;
    long long v;
    int rc = a2num(w[2], &v);
    if (rc)
        return rc;
    if (v < 1 || v > UINT32_MAX)
        return -ERANGE;
    if (!strcasecmp(w[1], "afmax")) {
        q->af_max = (u32)v;
        printk(KERN_INFO "Threaded AF queue max set to %u.\n", q->af_max);
    } else {
        q->max = (u32)v;
        printk(KERN_INFO "Threaded queue max set to %u.\n", q->max);
    }
    return 0;
}

static int config_threaded_overflow(char **w) {
    if (w[2] && !strcasecmp(w[2], "drop"))
        jxbridge_q.overflow_drop = 1;
    else if (w[2] && !strcasecmp(w[2], "forward"))
        jxbridge_q.overflow_drop = 0;
    else
        return -EINVAL;
    return 0;
}

// The receive thread waits these many jiffies: a negative one would never end.
static int config_threaded_interval(char **w) {
    long long v;
    int rc = a2num(w[2], &v);
    if (rc)
        return rc == -ENOARG ? -EINVAL : rc;
    if (v < 0 || v > INT32_MAX)
        return -ERANGE;
    (!strcasecmp(w[1], "work") ? jxbridge_q.work_interval : jxbridge_q.sleep_interval) = (int)v;
    return 0;
}

static int config_threaded(struct jxbridge *, char **w) {
    static const struct {
        const char *word;
        int (*handler)(char **w);
    } subs[] = {
        {"enable", config_threaded_enable}, {"max", config_threaded_max},
        {"afmax", config_threaded_max},     {"overflow", config_threaded_overflow},
        {"work", config_threaded_interval}, {"sleep", config_threaded_interval},
    };
    for (const auto &s : subs)
        if (w[1] && !strcasecmp(w[1], s.word))
            return s.handler(w);
    return -EINVAL;
}

static int config_map(struct jxbridge *, char **w) {
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

static int config_add(struct jxbridge *, char **w) {
    long long v;
    if (!w[1] || !w[2])
        return -ENOARG;
    int rc = a2num(w[2], &v);
    if (rc)
        return rc;
    if (v < INT32_MIN || v > INT32_MAX)
        return -EINVAL;
    if (v < 2)
        return -ERANGE;
    return jxbridge_add(w[1], (int)v);
}

static int config_del(struct jxbridge *, char **w) {
    if (!w[1])
        return -ENOARG;
    return jxbridge_del(w[1]);
}

static int config_default_frame_size(struct jxbridge *, char **w) {
    long long v;
    int rc = a2num(w[1], &v);
    if (rc)
        return rc;
    if (v < 0 || v > 10000)
        return -EINVAL;
    default_output_size = (int)v;
    return 0;
}

// The module's switches by their command words.
static int config_switch(struct jxbridge *, char **w) {
    int n;
    int rc = config_int_switch(w[1], &n);
    if (rc)
        return rc;
    if (!strcasecmp(w[0], "debug"))
        debug = n;
    else if (!strcasecmp(w[0], "ioctl_debug"))
        ioctl_debug = n;
    else if (!strcasecmp(w[0], "unknown_to_kernel"))
        unknown_to_kernel = n;
    else if (!strcasecmp(w[0], "dtrc"))
        jxbridge_dtrc = (u32)n;
    else
        jxbridge_threaded_debug = (u32)n;
    return 0;
}

static int config_cleanup(struct jxbridge *, char **) {
    jxbridge_cleanup();
    return 0;
}

static int config_show_cmd(struct jxbridge *, char **) {
    config_log_status();
    return 0;
}

static int config_qman_force_pause(struct jxbridge *, char **w) {
    int n;
    int rc = config_int_switch(w[1], &n);
    if (rc)
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

static const struct jxbridge_proc_cmd config_cmds[] = {
    {"help", nullptr, "\thelp\n", 0},
    {"add", config_add, "\tadd <name> <max_ports>\n", 0},
    {"del", config_del, "\tdel <name>\n", 0},
    {"default_frame_size", config_default_frame_size, "\tdefault_frame_size <size>\n", 0},
    {"debug", config_switch, "\tdebug <0|1>\n", 0},
    {"ioctl_debug", config_switch, "\tioctl_debug <0|1>\n", 0},
    {"dtrc", config_switch, "\tdtrc <0|1>\n", 0},
    {"cleanup", config_cleanup, "\tcleanup\n", 0},
    {"unknown_to_kernel", config_switch, "\tunknown_to_kernel <mode>\n", 0},
    {"threaded", config_threaded, "\tthreaded enable on|off\n", 0},
    {"threaded_debug", config_switch, "\tthreaded_debug <0|1>\n", 0},
    {nullptr, nullptr,
     "\tthreaded max <num>\n\tthreaded overflow drop|forward\n\tthreaded work "
     "<work_interval>\n\tthreaded sleep <sleep_interval>\n\tthreaded afmax <num>\n",
     0},
    {"map", config_map,
     "\tmap add <addr> <len>\n\tmap del <addr>\n\tmap read <addr> <offs>\n\tmap write <addr> "
     "<offs> <value>\n",
     0},
    {"show", config_show_cmd, "\tshow\n", 0},
    {"qman_force_pause", config_qman_force_pause, "\tqman_force_pause <0|1>\n", 0},
};

static long config_ioc_add(struct jxbridge *, unsigned int, jxbridge_ioctl_add *r, unsigned long) {
    if (!memchr(r->name, '\0', IFNAMSIZ))
        return -EINVAL; // longer than a device name may be
    return jxbridge_add(r->name, (int)r->max_ports);
}

static long config_ioc_del(struct jxbridge *, unsigned int, jxbridge_ioctl_del *r, unsigned long) {
    r->name[sizeof(r->name) - 1] = '\0';
    return jxbridge_del(r->name);
}

static long config_ioc_api_version(struct jxbridge *, unsigned int, u32 *version, unsigned long) {
    *version = JXBRIDGE_API_VERSION;
    return 0;
}

static long config_ioc_cleanup(struct jxbridge *, unsigned int, unsigned long) {
    jxbridge_cleanup();
    return 0;
}

static long config_ioc_map(struct jxbridge *, unsigned int cmd, jxbridge_ioctl_map *r,
                           unsigned long) {
    switch (cmd) {
    case JXBRIDGE_IOCTL_MAP_ADD:
        return jxbridge_map_add(r->addr, r->len_or_offs);
    case JXBRIDGE_IOCTL_MAP_DEL:
        return jxbridge_map_del(r->addr);
    case JXBRIDGE_IOCTL_MAP_WRITE:
        return jxbridge_map_write(r->addr, r->len_or_offs, r->value);
    default:
        return jxbridge_map_read(r->addr, r->len_or_offs, &r->value);
    }
}

static const struct jxbridge_proc_ioc config_iocs[] = {
    JXBRIDGE_IOC(JXBRIDGE_IOCTL_ADD, jxbridge_ioctl_add, JXBRIDGE_IOC_IN, config_ioc_add),
    JXBRIDGE_IOC(JXBRIDGE_IOCTL_DEL, jxbridge_ioctl_del, JXBRIDGE_IOC_IN, config_ioc_del),
    JXBRIDGE_IOC(JXBRIDGE_IOCTL_API_VERSION, u32, JXBRIDGE_IOC_OUT, config_ioc_api_version),
    JXBRIDGE_IOC_VALUE(JXBRIDGE_IOCTL_CLEANUP, config_ioc_cleanup),
    JXBRIDGE_IOC(JXBRIDGE_IOCTL_MAP_ADD, jxbridge_ioctl_map, JXBRIDGE_IOC_IN, config_ioc_map),
    JXBRIDGE_IOC(JXBRIDGE_IOCTL_MAP_DEL, jxbridge_ioctl_map, JXBRIDGE_IOC_IN, config_ioc_map),
    JXBRIDGE_IOC(JXBRIDGE_IOCTL_MAP_READ, jxbridge_ioctl_map, JXBRIDGE_IOC_IN | JXBRIDGE_IOC_OUT,
                 config_ioc_map),
    JXBRIDGE_IOC(JXBRIDGE_IOCTL_MAP_WRITE, jxbridge_ioctl_map, JXBRIDGE_IOC_IN, config_ioc_map),
};

static const struct jxbridge_proc_ops config_ops = {
    .tag = "Bridge",
    .log = JXBRIDGE_PROC_LOG_CONFIG,
    .debug = nullptr,
    .check = nullptr,
    .cmds = config_cmds,
    .n_cmds = ARRAY_SIZE(config_cmds),
    .iocs = config_iocs,
    .n_iocs = ARRAY_SIZE(config_iocs),
    .trace = nullptr,
    .say = nullptr,
    .unknown = nullptr,
};

static ssize_t config_write(struct file *file, const char __user *buf, size_t count, loff_t *) {
    return jxbridge_proc_write(file, buf, count, &config_ops);
}

static long config_ioctl(struct file *file, unsigned int cmd, unsigned long arg) {
    return jxbridge_proc_ioctl(file, cmd, arg, &config_ops);
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
    return debug || ioctl_debug || (bridge && ops->debug && ops->debug(bridge));
}

// Help goes out in as many log calls as the table asks for.
static void proc_help(const struct jxbridge_proc_ops *ops) {
    char text[JXBRIDGE_IOC_MAX_SIZE];
    size_t len = strlcpy(text, "Supported commands:\n", sizeof(text));
    auto flush = [&] {
        if (ops->say)
            ops->say("%s", text);
        else
            printk(KERN_INFO "%s", text);
        len = 0;
        text[0] = '\0';
    };
    for (size_t i = 0; i < ops->n_cmds; i++) {
        const struct jxbridge_proc_cmd *c = &ops->cmds[i];
        if (!c->help)
            continue;
        if (len && ((c->flags & JXBRIDGE_CMD_HELP_CALL) || len + strlen(c->help) >= sizeof(text)))
            flush();
        strlcpy(text + len, c->help, sizeof(text) - len);
        len = strlen(text);
    }
    if (len)
        flush();
}

static const struct jxbridge_proc_cmd *proc_cmd_find(const struct jxbridge_proc_ops *ops,
                                                     const char *word) {
    for (size_t i = 0; i < ops->n_cmds; i++) {
        const struct jxbridge_proc_cmd *c = &ops->cmds[i];
        if (!c->word)
            continue;
        bool exact = c->flags & JXBRIDGE_CMD_EXACT;
        if (!(exact ? strcmp(word, c->word) : strcasecmp(word, c->word)))
            return c;
    }
    return nullptr;
}

static int proc_command(struct jxbridge *bridge, char **words,
                        const struct jxbridge_proc_ops *ops) {
    if (!words[0][0] || words[0][0] == '#')
        return 0;
    if (ops->check) {
        int rc = ops->check(bridge);
        if (rc)
            return rc;
    }
    const struct jxbridge_proc_cmd *c = proc_cmd_find(ops, words[0]);
    if (!c) {
        if (ops->unknown && ops->say)
            ops->say(ops->unknown, words[0]);
        return -EINVAL;
    }
    if (!c->handler) {
        proc_help(ops);
        return 0;
    }
    return c->handler(bridge, words);
}

ssize_t jxbridge_proc_write(struct file *file, const char __user *buf, size_t count,
                            const struct jxbridge_proc_ops *ops) {
    char line[JXBRIDGE_LINE_MAX];
    long consumed = line_read(buf, count, line, sizeof(line));
    if (consumed <= 0)
        return consumed;
    bool global = ops->log == JXBRIDGE_PROC_LOG_CONFIG;
    struct jxbridge *bridge = global ? nullptr : jxbridge_proc_bridge(file);
    if (!global && !bridge)
        return -ENODEV;
    mutex_lock(&jxbridge_lock);
    if (proc_debug(bridge, ops)) {
        if (global)
            printk(KERN_INFO "[%s] write(\"%s\") from '%s' (%d)\n", ops->tag, line, current->comm,
                   current->pid);
        else
            printk(KERN_INFO "[%s] write(\"%s\") on [%s] from '%s' (%d)\n", ops->tag, line,
                   file_dentry_name(file), current->comm, current->pid);
    }
    char *words[JXBRIDGE_PROC_WORDS + 1];
    jxbridge_split(line, words, JXBRIDGE_PROC_WORDS);
    words[JXBRIDGE_PROC_WORDS] = nullptr;
    int rc = proc_command(bridge, words, ops);
    mutex_unlock(&jxbridge_lock);
    return rc < 0 ? rc : consumed;
}

static void proc_ioctl_log(struct file *file, unsigned int cmd, unsigned long arg,
                           const struct jxbridge_proc_ops *ops) {
    const char *name = file_dentry_name(file);
    switch (ops->log) {
    case JXBRIDGE_PROC_LOG_CONFIG:
        printk(KERN_INFO "[%s] IOCTL(c=0x%08x, d=0x%08x)@%s from '%s' (%d)\n", ops->tag, cmd,
               (u32)arg, name, current->comm, current->pid);
        break;
    case JXBRIDGE_PROC_LOG_NAMED:
        printk(KERN_INFO "[%s] IOCTL(c=%u, d=0x%08x) on [%s] from '%s' (%d)\n", ops->tag, cmd,
               (u32)arg, name, current->comm, current->pid);
        break;
    case JXBRIDGE_PROC_LOG_PLAIN:
        printk(KERN_INFO "[%s] IOCTL(%u, 0x%08x) on [%s] from '%s' (%d)\n", ops->tag, cmd, (u32)arg,
               name, current->comm, current->pid);
        break;
    case JXBRIDGE_PROC_LOG_NR:
        printk(KERN_INFO "[%s] IOCTL(%u/%x, 0x%08x) on [%s] from '%s' (%d)\n", ops->tag, cmd & 0xFF,
               cmd, (u32)arg, name, current->comm, current->pid);
        break;
    }
}

// A name passed by pointer: at most a name field, always terminated. The
// copy may sleep, so jxbridge_lock is let go for it as for every user copy.
static int proc_name_in(char *name, unsigned long arg) {
    mutex_unlock(&jxbridge_lock);
    long n = strncpy_from_user(name, (const char __user *)arg, JXBRIDGE_NAME_FIELD);
    mutex_lock(&jxbridge_lock);
    name[JXBRIDGE_NAME_FIELD - 1] = '\0';
    return n < 0 ? (int)n : 0;
}

// One row: the record in, the handler, the record back.
static long proc_ioc_call(struct jxbridge *bridge, const struct jxbridge_proc_ioc *io,
                          unsigned long arg) {
    void __user *uarg = (void __user *)arg;
    if (!io->size)
        return io->handler(bridge, io->cmd, nullptr, arg);
    // Zeroed, so a record that is only copied out never carries old bytes.
    void *rec = jxbridge_zalloc(io->size);
    if (!rec)
        return -ENOMEM;
    long rc = 0;
    if (io->flags & JXBRIDGE_IOC_NAME)
        rc = proc_name_in((char *)rec, arg);
    else if ((io->flags & JXBRIDGE_IOC_IN) && jxbridge_copy_from_user(rec, uarg, io->size))
        rc = (io->flags & JXBRIDGE_IOC_IN_EINVAL) == JXBRIDGE_IOC_IN_EINVAL ? -EINVAL : -EFAULT;
    if (!rc)
        rc = io->handler(bridge, io->cmd, rec, arg);
    if (!rc && (io->flags & JXBRIDGE_IOC_OUT) && jxbridge_copy_to_user(uarg, rec, io->size))
        rc = (io->flags & JXBRIDGE_IOC_OUT_EINVAL) == JXBRIDGE_IOC_OUT_EINVAL ? -EINVAL : -EFAULT;
    kfree(rec);
    return rc;
}

long jxbridge_proc_ioctl(struct file *file, unsigned int cmd, unsigned long arg,
                         const struct jxbridge_proc_ops *ops) {
    bool global = ops->log == JXBRIDGE_PROC_LOG_CONFIG;
    struct jxbridge *bridge = global ? nullptr : jxbridge_proc_bridge(file);
    if ((!global && !bridge) || !ops->n_iocs)
        return -EINVAL;
    mutex_lock(&jxbridge_lock);
    bool dbg = proc_debug(bridge, ops);
    if (dbg)
        proc_ioctl_log(file, cmd, arg, ops);
    long rc = ops->check ? ops->check(bridge) : 0;
    const struct jxbridge_proc_ioc *io = nullptr;
    for (size_t i = 0; !rc && i < ops->n_iocs && !io; i++)
        if (ops->iocs[i].cmd == cmd)
            io = &ops->iocs[i];
    if (!rc && !io)
        rc = -EINVAL;
    if (io) {
        if (dbg && ops->trace)
            printk(KERN_INFO "%s:%d %s()\n", "rte/sources/jxbridge/bridge_proc", io->line,
                   ops->trace);
        rc = proc_ioc_call(bridge, io, arg);
    }
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
