// The bridge's event file: every open is a reader with its own queue of
// records (access-authentication requests, ACL event lines), read whole or
// in pieces, blocking or not. The queue is the log readers' in record mode.
#include "jxbridge.h"

#define EVENT_LIMIT 100

int event_add(struct jxbridge *B, const char *text) {
    lockdep_assert_held(&jxbridge_lock);
    u32 len = (u32)strlen(text);
    int rc = 0;
    for (struct jxbridge_log_reader *r = B->event_readers; r; r = r->next)
        if (jxbridge_log_reader_append_record(r, text, len) < 0)
            rc = -ENOMEM;
    return rc;
}

int jxbridge_event_post(struct jxbridge *B, const char *text) {
    return B && text ? event_add(B, text) : -EINVAL;
}

namespace {

struct jxbridge_log_reader *reader_of(struct file *file) {
    return (struct jxbridge_log_reader *)file->private_data;
}

int event_open(struct inode *inode, struct file *file) {
    auto *B = (struct jxbridge *)PDE_DATA(inode);
    if (!B)
        return -ENODEV;
    struct jxbridge_log_reader *r = jxbridge_log_reader_new();
    if (!r)
        return -ENOMEM;
    r->record_mode = 1;
    r->record_limit = EVENT_LIMIT;
    r->owner_obj = B;
    mutex_lock(&jxbridge_lock);
    r->next = B->event_readers;
    if (r->next)
        r->next->prev = r;
    B->event_readers = r;
    mutex_unlock(&jxbridge_lock);
    file->private_data = r;
    return 0;
}

int event_release(struct inode *, struct file *file) {
    struct jxbridge_log_reader *r = reader_of(file);
    if (!r)
        return 0;
    auto *B = (struct jxbridge *)r->owner_obj;
    mutex_lock(&jxbridge_lock);
    if (r->prev)
        r->prev->next = r->next;
    else
        B->event_readers = r->next;
    if (r->next)
        r->next->prev = r->prev;
    mutex_unlock(&jxbridge_lock);
    // Said by the closing task: the opener's task record may be gone by now.
    if (r->drops)
        printk(KERN_INFO "[Event] Reader '%s' (%d) of [%s] lost %u records.\n", current->comm,
               current->pid, B->dev->name, r->drops);
    file->private_data = nullptr;
    jxbridge_log_reader_free(r);
    return 0;
}

ssize_t event_read(struct file *file, char __user *buf, size_t count, loff_t *) {
    return jxbridge_log_reader_read(reader_of(file), file, buf, count);
}

__poll_t event_poll(struct file *file, poll_table *wait) {
    return jxbridge_log_reader_poll(reader_of(file), file, wait);
}

ssize_t event_write(struct file *, const char __user *buf, size_t count, loff_t *) {
    char line[JXBRIDGE_LINE_MAX];
    long consumed = line_read(buf, count, line, sizeof(line));
    if (consumed <= 0)
        return consumed;
    char *words[2];
    jxbridge_split(line, words, 1);
    if (words[0] && !strcasecmp(words[0], "help"))
        printk(KERN_INFO "Supported commands:\n");
    return consumed;
}

// The record of the port-states call: a port name and three values.
struct event_port_request {
    char name[16];
    u32 state[3];
};
static_assert(sizeof(event_port_request) == 28);

long event_port_states(struct file *file, unsigned long arg) {
    struct event_port_request req;
    if (copy_from_user(&req, (const void __user *)arg, sizeof(req)))
        return -EFAULT;
    req.name[sizeof(req.name) - 1] = '\0';
    auto *B = (struct jxbridge *)reader_of(file)->owner_obj;
    struct jxbridge_port *p = nullptr;
    mutex_lock(&jxbridge_lock);
    int rc = jxbridge_proc_port(B, req.name, &p);
    if (!rc) {
        req.state[0] = p->gem_id;
        req.state[1] = p->gem_vid;
        req.state[2] = p->onu_id;
    }
    mutex_unlock(&jxbridge_lock);
    if (rc)
        return -ENODEV;
    return copy_to_user((void __user *)arg, &req, sizeof(req)) ? -EFAULT : 0;
}

long event_ioctl(struct file *file, unsigned int cmd, unsigned long arg) {
    struct jxbridge_log_reader *r = reader_of(file);
    if (!r)
        return -EBADF;
    if (debug || ioctl_debug)
        printk(KERN_INFO "[Event] IOCTL(%u, 0x%08x) on [%s] from '%s' (%d)\n", cmd, (u32)arg,
               file_dentry_name(file), current->comm, current->pid);
    switch (cmd) {
    case EVENT_IOCTL_LIMIT_SET:
        mutex_lock(&r->lock);
        r->record_limit = (u32)arg;
        mutex_unlock(&r->lock);
        return 0;
    case EVENT_IOCTL_LIMIT_GET: {
        mutex_lock(&r->lock);
        u32 v = r->record_limit;
        mutex_unlock(&r->lock);
        return copy_to_user((void __user *)arg, &v, sizeof(v)) ? -EFAULT : 0;
    }
    case EVENT_IOCTL_PORT_STATES_GET:
        return event_port_states(file, arg);
    case EVENT_IOCTL_BAD_GET:
    case EVENT_IOCTL_BAD_SET:
        return -EBADF;
    }
    return -EINVAL;
}

const struct file_operations event_fops = {
    .open = event_open,
    .read = event_read,
    .write = event_write,
    .unlocked_ioctl = event_ioctl,
    .poll = event_poll,
    .release = event_release,
};

} // namespace

extern const struct jxbridge_subsys event_subsys = {
    .tag = "Event",
    .files = {{"event", 0600, &event_fops}},
};
