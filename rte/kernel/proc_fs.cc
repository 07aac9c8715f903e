#include "kernel/proc_fs.h"

#include "kernel/internal.h"
#include "kernel/netdevice.h"
#include "kernel/time.h"
#include "kernel/uaccess.h"
#include "kernel/vfs.h"

#include <algorithm>
#include <list>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <mutex>

struct proc_dir_entry {
    std::string name;
    umode_t mode = 0;
    bool is_dir = false;
    proc_dir_entry *parent = nullptr;
    std::vector<proc_dir_entry *> children;
    const file_operations *fops = nullptr;
    void *data = nullptr;
    // Guarded by g_mu.
    int refcnt = 1; // the tree's link plus one per open file
    int in_use = 0; // operations in progress
    bool removed = false;
    std::vector<struct file *> open_files;
    std::vector<task_struct *> users; // tasks inside an operation
};

namespace {

std::mutex g_mu;
std::condition_variable g_unused_cv;

proc_dir_entry *proc_root() {
    static proc_dir_entry *root = [] {
        auto *r = new proc_dir_entry;
        r->name = "proc";
        r->is_dir = true;
        r->mode = S_IFDIR | 0555;
        auto *net = new proc_dir_entry;
        net->name = "net";
        net->is_dir = true;
        net->mode = S_IFDIR | 0555;
        net->parent = r;
        r->children.push_back(net);
        return r;
    }();
    return root;
}

proc_dir_entry *find_child_locked(proc_dir_entry *dir, const std::string &name) {
    for (proc_dir_entry *c : dir->children)
        if (c->name == name)
            return c;
    return nullptr;
}

void put_pde_locked(proc_dir_entry *de) {
    if (--de->refcnt == 0)
        delete de;
}

proc_dir_entry *proc_register(const char *name, umode_t mode, proc_dir_entry *parent, bool is_dir,
                              const file_operations *fops, void *data) {
    if (!name || !*name || strchr(name, '/') || strlen(name) > 255)
        return nullptr;
    if (!parent)
        parent = proc_root();
    std::lock_guard<std::mutex> g(g_mu);
    if (parent->removed || !parent->is_dir || find_child_locked(parent, name))
        return nullptr;
    auto *de = new proc_dir_entry;
    de->name = name;
    de->is_dir = is_dir;
    de->mode = mode;
    de->parent = parent;
    de->fops = fops;
    de->data = data;
    parent->children.push_back(de);
    return de;
}

struct file_and_inode {
    struct file f;
    struct inode i;
};

// Removes one entry and, first, everything below it.
void remove_locked(std::unique_lock<std::mutex> &lk, proc_dir_entry *de) {
    while (!de->children.empty())
        remove_locked(lk, de->children.back());
    if (de->parent) {
        auto &sib = de->parent->children;
        sib.erase(std::remove(sib.begin(), sib.end(), de), sib.end());
    }
    de->removed = true;
    // Interrupt callers asleep inside an operation, then wait for them to leave.
    for (task_struct *t : de->users) {
        t->sigpending.store(true);
        wake_up_process(t);
    }
    rte_internal::wake_defer_flush();
    g_unused_cv.wait(lk, [de] { return de->in_use == 0; });
    std::vector<struct file *> open = de->open_files;
    for (struct file *f : open) {
        if (f->rte_released)
            continue;
        f->rte_released = true;
        if (de->fops && de->fops->release) {
            lk.unlock();
            de->fops->release(f->f_inode, f);
            lk.lock();
        }
    }
    put_pde_locked(de);
}

proc_dir_entry *lookup_locked(const char *path) {
    std::string p = path ? path : "";
    if (p.rfind("/proc", 0) != 0 || (p.size() > 5 && p[5] != '/'))
        return nullptr;
    proc_dir_entry *de = proc_root();
    size_t pos = 5;
    while (pos < p.size()) {
        while (pos < p.size() && p[pos] == '/')
            pos++;
        if (pos >= p.size())
            break;
        size_t end = p.find('/', pos);
        std::string part = p.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (!de->is_dir)
            return nullptr;
        de = find_child_locked(de, part);
        if (!de)
            return nullptr;
        pos = end == std::string::npos ? p.size() : end;
    }
    return de;
}

// Operations on an open file hold the entry in use; removal waits for them.
struct pde_use {
    proc_dir_entry *de = nullptr;
    bool ok = false;
    explicit pde_use(struct file *f) {
        std::lock_guard<std::mutex> g(g_mu);
        if (f->rte_released || f->rte_pde->removed)
            return;
        de = f->rte_pde;
        de->in_use++;
        de->users.push_back(current);
        ok = true;
    }
    ~pde_use() {
        if (!ok)
            return;
        std::lock_guard<std::mutex> g(g_mu);
        auto it = std::find(de->users.begin(), de->users.end(), current);
        if (it != de->users.end())
            de->users.erase(it);
        if (de->removed)
            current->sigpending.store(false); // the interruption was ours, not the caller's
        if (--de->in_use == 0)
            g_unused_cv.notify_all();
    }
};

bool may_access(const proc_dir_entry *de, unsigned flags) {
    task_struct *t = current;
    if (t->uid == 0)
        return true;
    unsigned bits = t->gid == 0 ? (de->mode >> 3) & 7 : de->mode & 7;
    unsigned acc = flags & O_ACCMODE;
    if ((acc == O_RDONLY || acc == O_RDWR) && !(bits & 4))
        return false;
    if ((acc == O_WRONLY || acc == O_RDWR) && !(bits & 2))
        return false;
    return true;
}

} // namespace

struct net init_net = {proc_root()->children[0]};

struct proc_dir_entry *proc_mkdir(const char *name, struct proc_dir_entry *parent) {
    return proc_register(name, S_IFDIR | 0555, parent, true, nullptr, nullptr);
}

struct proc_dir_entry *proc_mkdir_mode(const char *name, umode_t mode,
                                       struct proc_dir_entry *parent) {
    return proc_register(name, S_IFDIR | mode, parent, true, nullptr, nullptr);
}

struct proc_dir_entry *proc_create_data(const char *name, umode_t mode,
                                        struct proc_dir_entry *parent,
                                        const struct file_operations *fops, void *data) {
    if ((mode & 0777) == 0)
        mode |= S_IRUGO;
    return proc_register(name, S_IFREG | (mode & 0777), parent, false, fops, data);
}

struct proc_dir_entry *proc_create(const char *name, umode_t mode, struct proc_dir_entry *parent,
                                   const struct file_operations *fops) {
    return proc_create_data(name, mode, parent, fops, nullptr);
}

void remove_proc_entry(const char *name, struct proc_dir_entry *parent) {
    remove_proc_subtree(name, parent);
}

int remove_proc_subtree(const char *name, struct proc_dir_entry *parent) {
    if (!parent)
        parent = proc_root();
    std::unique_lock<std::mutex> lk(g_mu);
    proc_dir_entry *de = find_child_locked(parent, name ? name : "");
    if (!de)
        return -ENOENT;
    remove_locked(lk, de);
    return 0;
}

void proc_remove(struct proc_dir_entry *de) {
    if (!de)
        return;
    std::unique_lock<std::mutex> lk(g_mu);
    if (!de->removed)
        remove_locked(lk, de);
}

void *PDE_DATA(const struct inode *inode) {
    return inode->pde ? inode->pde->data : nullptr;
}

const char *file_dentry_name(const struct file *file) {
    return file && file->rte_pde ? file->rte_pde->name.c_str() : "";
}

struct proc_dir_entry *rte_proc_lookup(const char *path) {
    std::lock_guard<std::mutex> g(g_mu);
    return lookup_locked(path);
}

struct poll_table_struct {
    struct queued {
        wait_queue_head_t *wq;
        wait_queue_entry entry;
    };
    std::list<queued> queues; // entries must not move while queued
};

void poll_wait(struct file *, wait_queue_head_t *wq, poll_table *p) {
    if (!p || !wq)
        return;
    for (auto &q : p->queues)
        if (q.wq == wq)
            return;
    auto &q = p->queues.emplace_back();
    q.wq = wq;
    q.entry.task = current;
    add_wait_queue(wq, &q.entry);
}

int rte_vfs_open(const char *path, unsigned int flags, struct file **out) {
    proc_dir_entry *de;
    {
        std::lock_guard<std::mutex> g(g_mu);
        de = lookup_locked(path);
        if (!de)
            return -ENOENT;
        if (de->is_dir)
            return -EISDIR;
        if (!may_access(de, flags))
            return -EACCES;
        de->refcnt++;
        de->in_use++;
    }
    auto *fi = new file_and_inode{};
    fi->i.pde = de;
    fi->i.i_private = de->data;
    fi->f.f_flags = flags;
    fi->f.f_inode = &fi->i;
    fi->f.rte_pde = de;
    int rc = de->fops && de->fops->open ? de->fops->open(&fi->i, &fi->f) : 0;
    std::lock_guard<std::mutex> g(g_mu);
    if (--de->in_use == 0)
        g_unused_cv.notify_all();
    if (rc == 0 && de->removed) {
        // Removed while opening: the file never becomes visible.
        if (de->fops && de->fops->release) {
            g_mu.unlock();
            de->fops->release(&fi->i, &fi->f);
            g_mu.lock();
        }
        rc = -ENOENT;
    }
    if (rc) {
        put_pde_locked(de);
        delete fi;
        return rc;
    }
    de->open_files.push_back(&fi->f);
    *out = &fi->f;
    return 0;
}

ssize_t rte_vfs_read(struct file *file, char __user *buf, size_t count) {
    if ((file->f_flags & O_ACCMODE) == O_WRONLY)
        return -EBADF;
    pde_use u(file);
    if (!u.ok)
        return -EIO;
    if (!u.de->fops || !u.de->fops->read)
        return -EINVAL;
    return u.de->fops->read(file, buf, count, &file->f_pos);
}

ssize_t rte_vfs_write(struct file *file, const char __user *buf, size_t count) {
    if ((file->f_flags & O_ACCMODE) == O_RDONLY)
        return -EBADF;
    pde_use u(file);
    if (!u.ok)
        return -EIO;
    if (!u.de->fops || !u.de->fops->write)
        return -EINVAL;
    return u.de->fops->write(file, buf, count, &file->f_pos);
}

long rte_vfs_ioctl(struct file *file, unsigned int cmd, unsigned long arg) {
    pde_use u(file);
    if (!u.ok)
        return -EIO;
    if (!u.de->fops || !u.de->fops->unlocked_ioctl)
        return -ENOTTY;
    return u.de->fops->unlocked_ioctl(file, cmd, arg);
}

loff_t rte_vfs_llseek(struct file *file, loff_t offset, int whence) {
    pde_use u(file);
    if (!u.ok)
        return -EIO;
    if (!u.de->fops || !u.de->fops->llseek)
        return -ESPIPE;
    return u.de->fops->llseek(file, offset, whence);
}

int rte_vfs_poll(struct file *file, unsigned int events, int timeout_ms) {
    const file_operations *fops;
    {
        pde_use u(file);
        if (!u.ok)
            return EPOLLERR | EPOLLHUP;
        fops = u.de->fops;
    }
    const unsigned always = EPOLLERR | EPOLLHUP;
    if (!fops || !fops->poll)
        return (EPOLLIN | EPOLLOUT | EPOLLRDNORM | EPOLLWRNORM) & events;
    poll_table pt;
    long remaining =
        timeout_ms < 0 ? (long)MAX_SCHEDULE_TIMEOUT : (long)msecs_to_jiffies(timeout_ms);
    int ret;
    for (;;) {
        set_current_state(TASK_INTERRUPTIBLE);
        unsigned mask;
        {
            pde_use u(file);
            mask = u.ok ? fops->poll(file, &pt) : (EPOLLERR | EPOLLHUP);
        }
        if (mask & (events | always)) {
            ret = (int)(mask & (events | always));
            break;
        }
        if (remaining == 0) {
            ret = 0;
            break;
        }
        if (signal_pending(current)) {
            ret = -ERESTARTSYS;
            break;
        }
        remaining = schedule_timeout(remaining);
    }
    set_current_state(TASK_RUNNING);
    for (auto &q : pt.queues)
        remove_wait_queue(q.wq, &q.entry);
    return ret;
}

ssize_t rte_vfs_write_once(const char *path, const char __user *buf, size_t count) {
    struct file *f = nullptr;
    int rc = rte_vfs_open(path, O_WRONLY, &f);
    if (rc)
        return rc;
    ssize_t n = rte_vfs_write(f, buf, count);
    rte_vfs_close(f);
    return n;
}

int rte_vfs_close(struct file *file) {
    auto *fi = reinterpret_cast<file_and_inode *>(file);
    proc_dir_entry *de = file->rte_pde;
    bool release = false;
    {
        std::unique_lock<std::mutex> lk(g_mu);
        if (!file->rte_released) {
            file->rte_released = true;
            release = true;
            de->in_use++; // removal waits for the release to finish
        }
    }
    if (release && de->fops && de->fops->release)
        de->fops->release(&fi->i, file);
    std::lock_guard<std::mutex> g(g_mu);
    if (release && --de->in_use == 0)
        g_unused_cv.notify_all();
    auto &of = de->open_files;
    of.erase(std::remove(of.begin(), of.end(), file), of.end());
    put_pde_locked(de);
    delete fi;
    return 0;
}

int rte_vfs_list(const char *path, std::vector<rte_proc_dirent> *out) {
    std::lock_guard<std::mutex> g(g_mu);
    proc_dir_entry *de = lookup_locked(path);
    if (!de)
        return -ENOENT;
    if (!de->is_dir)
        return -ENOTDIR;
    out->clear();
    for (proc_dir_entry *c : de->children)
        out->push_back(rte_proc_dirent{c->name, c->is_dir, c->mode});
    return 0;
}

// Sequence files: the whole text is produced at the first read, so a reader
// sees one consistent snapshot, then handed out in the reader's pieces.

namespace {

void *single_start(struct seq_file *, loff_t *pos) {
    return *pos == 0 ? SEQ_START_TOKEN : nullptr;
}
void *single_next(struct seq_file *, void *, loff_t *pos) {
    ++*pos;
    return nullptr;
}
void single_stop(struct seq_file *, void *) {}
int single_show_thunk(struct seq_file *m, void *v) {
    return m->single_show(m, v);
}
const seq_operations single_ops = {single_start, single_stop, single_next, single_show_thunk};

int seq_produce(struct seq_file *m) {
    m->buf.clear();
    m->from = 0;
    loff_t pos = 0;
    void *p = m->op->start(m, &pos);
    int err = 0;
    while (p && !IS_ERR(p)) {
        err = m->op->show(m, p);
        if (err < 0)
            break;
        err = 0;
        p = m->op->next(m, p, &pos);
    }
    if (IS_ERR(p))
        err = (int)PTR_ERR(p);
    m->op->stop(m, p);
    m->index = pos;
    m->produced = err == 0;
    return err;
}

} // namespace

int seq_open(struct file *file, const struct seq_operations *op) {
    auto *m = new seq_file{};
    m->op = op;
    m->file = file;
    file->private_data = m;
    return 0;
}

int seq_release(struct inode *, struct file *file) {
    delete static_cast<seq_file *>(file->private_data);
    file->private_data = nullptr;
    return 0;
}

int single_open(struct file *file, int (*show)(struct seq_file *, void *), void *data) {
    int rc = seq_open(file, &single_ops);
    if (rc)
        return rc;
    auto *m = static_cast<seq_file *>(file->private_data);
    m->single_show = show;
    m->private_data = data;
    return 0;
}

int single_release(struct inode *inode, struct file *file) {
    return seq_release(inode, file);
}

ssize_t seq_read(struct file *file, char __user *buf, size_t size, loff_t *ppos) {
    auto *m = static_cast<seq_file *>(file->private_data);
    if (!m)
        return -EINVAL;
    if (!m->produced) {
        int err = seq_produce(m);
        if (err)
            return err;
    }
    size_t n = std::min(size, m->buf.size() - m->from);
    if (n && copy_to_user(buf, m->buf.data() + m->from, n))
        return -EFAULT;
    m->from += n;
    *ppos += n;
    return (ssize_t)n;
}

loff_t seq_lseek(struct file *file, loff_t offset, int whence) {
    auto *m = static_cast<seq_file *>(file->private_data);
    if (!m || whence != 0 || offset != 0)
        return -EINVAL;
    m->produced = false;
    m->from = 0;
    file->f_pos = 0;
    return 0;
}

void seq_vprintf(struct seq_file *m, const char *fmt, va_list args) {
    char stackbuf[512];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(stackbuf, sizeof(stackbuf), fmt, copy);
    va_end(copy);
    if (n < 0)
        return;
    if ((size_t)n < sizeof(stackbuf)) {
        m->buf.append(stackbuf, n);
        return;
    }
    size_t at = m->buf.size();
    m->buf.resize(at + n + 1);
    vsnprintf(m->buf.data() + at, n + 1, fmt, args);
    m->buf.resize(at + n);
}

void seq_printf(struct seq_file *m, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    seq_vprintf(m, fmt, ap);
    va_end(ap);
}

void seq_puts(struct seq_file *m, const char *s) {
    m->buf.append(s);
}
void seq_putc(struct seq_file *m, char c) {
    m->buf.push_back(c);
}
void seq_write(struct seq_file *m, const void *data, size_t len) {
    m->buf.append(static_cast<const char *>(data), len);
}
