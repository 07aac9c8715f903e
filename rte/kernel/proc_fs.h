// The proc tree: directories and files with modes and per-file operations,
// files, sequence files and poll.
//
// Removing an entry waits for operations in progress on it, then releases every
// file still open on it; later operations on such a file return -EIO, as the
// kernel's proc does.
#pragma once

#include "kernel/sched.h"
#include "kernel/types.h"

#include <string>

#include <fcntl.h>     // O_* flags
#include <sys/types.h> // loff_t, ssize_t

using umode_t = unsigned short;
using __poll_t = unsigned;

#ifndef O_ACCMODE
#define O_ACCMODE 00000003
#endif
#ifndef O_RDONLY
#define O_RDONLY 00000000
#endif
#ifndef O_WRONLY
#define O_WRONLY 00000001
#endif
#ifndef O_RDWR
#define O_RDWR 00000002
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 00004000
#endif

#ifndef S_IFDIR
#define S_IFDIR 0040000
#endif
#ifndef S_IFREG
#define S_IFREG 0100000
#endif
#ifndef S_IRUSR
#define S_IRUSR 00400
#endif
#ifndef S_IWUSR
#define S_IWUSR 00200
#endif
#ifndef S_IRUGO
#define S_IRUGO 00444
#endif
#ifndef S_IWUGO
#define S_IWUGO 00222
#endif
#ifndef S_IXUGO
#define S_IXUGO 00111
#endif

#ifndef EPOLLIN
#define EPOLLIN 0x001
#endif
#ifndef EPOLLPRI
#define EPOLLPRI 0x002
#endif
#ifndef EPOLLOUT
#define EPOLLOUT 0x004
#endif
#ifndef EPOLLERR
#define EPOLLERR 0x008
#endif
#ifndef EPOLLHUP
#define EPOLLHUP 0x010
#endif
#ifndef EPOLLRDNORM
#define EPOLLRDNORM 0x040
#endif
#ifndef EPOLLWRNORM
#define EPOLLWRNORM 0x100
#endif
#ifndef POLLIN
#define POLLIN EPOLLIN
#endif
#ifndef POLLOUT
#define POLLOUT EPOLLOUT
#endif
#ifndef POLLRDNORM
#define POLLRDNORM EPOLLRDNORM
#endif

struct proc_dir_entry;
struct inode {
    struct proc_dir_entry *pde;
    void *i_private;
};
struct file {
    unsigned int f_flags;
    loff_t f_pos;
    void *private_data;
    struct inode *f_inode;
    // Kernel-layer bookkeeping.
    struct proc_dir_entry *rte_pde;
    bool rte_released;
};
inline struct inode *file_inode(const struct file *f) {
    return f->f_inode;
}

struct poll_table_struct;
using poll_table = struct poll_table_struct;
void poll_wait(struct file *filp, wait_queue_head_t *wq, poll_table *p);

struct file_operations {
    void *owner;
    int (*open)(struct inode *inode, struct file *file);
    ssize_t (*read)(struct file *file, char __user *buf, size_t count, loff_t *pos);
    ssize_t (*write)(struct file *file, const char __user *buf, size_t count, loff_t *pos);
    long (*unlocked_ioctl)(struct file *file, unsigned int cmd, unsigned long arg);
    long (*compat_ioctl)(struct file *file, unsigned int cmd, unsigned long arg);
    __poll_t (*poll)(struct file *file, poll_table *wait);
    loff_t (*llseek)(struct file *file, loff_t offset, int whence);
    int (*release)(struct inode *inode, struct file *file);
};

struct proc_dir_entry *proc_mkdir(const char *name, struct proc_dir_entry *parent);
struct proc_dir_entry *proc_mkdir_mode(const char *name, umode_t mode,
                                       struct proc_dir_entry *parent);
struct proc_dir_entry *proc_create(const char *name, umode_t mode, struct proc_dir_entry *parent,
                                   const struct file_operations *fops);
struct proc_dir_entry *proc_create_data(const char *name, umode_t mode,
                                        struct proc_dir_entry *parent,
                                        const struct file_operations *fops, void *data);
void remove_proc_entry(const char *name, struct proc_dir_entry *parent);
int remove_proc_subtree(const char *name, struct proc_dir_entry *parent);
void proc_remove(struct proc_dir_entry *de);
void *PDE_DATA(const struct inode *inode);
// The name of the entry a file was opened on (the kernel's dentry name).
const char *file_dentry_name(const struct file *file);
struct proc_dir_entry *rte_proc_lookup(const char *path); // "/proc/net/..."

// Sequence files.
struct seq_file;
struct seq_operations {
    void *(*start)(struct seq_file *m, loff_t *pos);
    void (*stop)(struct seq_file *m, void *v);
    void *(*next)(struct seq_file *m, void *v, loff_t *pos);
    int (*show)(struct seq_file *m, void *v);
};
struct seq_file {
    std::string buf; // the whole text, produced at the first read
    size_t from;     // what the reader has taken so far
    bool produced;
    loff_t index;
    const struct seq_operations *op;
    int (*single_show)(struct seq_file *m, void *v);
    void *private_data;
    struct file *file;
};
#define SEQ_START_TOKEN ((void *)1)
int seq_open(struct file *file, const struct seq_operations *op);
int seq_release(struct inode *inode, struct file *file);
int single_open(struct file *file, int (*show)(struct seq_file *, void *), void *data);
int single_release(struct inode *inode, struct file *file);
ssize_t seq_read(struct file *file, char __user *buf, size_t size, loff_t *ppos);
loff_t seq_lseek(struct file *file, loff_t offset, int whence);
void seq_printf(struct seq_file *m, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void seq_vprintf(struct seq_file *m, const char *fmt, va_list args);
void seq_puts(struct seq_file *m, const char *s);
void seq_putc(struct seq_file *m, char c);
void seq_write(struct seq_file *m, const void *data, size_t len);
inline bool seq_has_overflowed(struct seq_file *) {
    return false;
}
