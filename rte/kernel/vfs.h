// File operations on the proc tree as a caller (the node's transport, tests)
// performs them. Permissions are checked against current's credentials; buffers
// and ioctl arguments are addresses in the caller's memory (current->user_pid).
#pragma once

#include "kernel/proc_fs.h"

#include <string>
#include <vector>

// Opens path ("/proc/net/jxbridge/config") with O_RDONLY/O_WRONLY/O_RDWR and
// O_NONBLOCK: 0 and *out, or -ENOENT, -EISDIR, -EACCES, or the open's error.
int rte_vfs_open(const char *path, unsigned int flags, struct file **out);
ssize_t rte_vfs_read(struct file *file, char __user *buf, size_t count);
ssize_t rte_vfs_write(struct file *file, const char __user *buf, size_t count);
long rte_vfs_ioctl(struct file *file, unsigned int cmd, unsigned long arg);
// Waits up to timeout_ms (-1: forever) for any of events; returns the ready
// mask, 0 on timeout, -ERESTARTSYS when interrupted. A file without poll is
// always ready for reading and writing.
int rte_vfs_poll(struct file *file, unsigned int events, int timeout_ms);
// The file's llseek, or -ESPIPE when it has none.
loff_t rte_vfs_llseek(struct file *file, loff_t offset, int whence);
int rte_vfs_close(struct file *file);
// Opens path for writing, writes count bytes once, closes: the write's result,
// or the open's error.
ssize_t rte_vfs_write_once(const char *path, const char __user *buf, size_t count);

struct rte_proc_dirent {
    std::string name;
    bool is_dir;
    umode_t mode;
};
int rte_vfs_list(const char *path, std::vector<rte_proc_dirent> *out);
