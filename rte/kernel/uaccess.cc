#include "kernel/uaccess.h"

#include "kernel/sched.h"

#include <sys/uio.h>
#include <unistd.h>

namespace {

// A copy that starts inside the caller's record stops at the record's end, as
// if an unmapped page followed it: what lies beyond is not the record's.
unsigned long record_limit(const void *remote, unsigned long n) {
    const task_struct *t = current;
    uintptr_t r = (uintptr_t)remote;
    if (!t->user_rec_size || r < t->user_rec || r - t->user_rec >= t->user_rec_size)
        return n;
    size_t room = t->user_rec_size - (r - t->user_rec);
    return n < room ? n : (unsigned long)room;
}

// Copies in pieces that do not cross a page, so a fault is found at its byte.
unsigned long vm_copy(bool to_user, void *local, const void *remote, unsigned long n) {
    pid_t pid = current->user_pid;
    if (pid <= 0)
        pid = getpid();
    unsigned long want = n;
    n = record_limit(remote, n);
    const long page = sysconf(_SC_PAGESIZE);
    unsigned long done = 0;
    while (done < n) {
        uintptr_t r = (uintptr_t)remote + done;
        unsigned long chunk = page - (r % page);
        if (chunk > n - done)
            chunk = n - done;
        iovec l{(char *)local + done, chunk};
        iovec rv{(void *)r, chunk};
        ssize_t got = to_user ? process_vm_writev(pid, &l, 1, &rv, 1, 0)
                              : process_vm_readv(pid, &l, 1, &rv, 1, 0);
        if (got <= 0)
            break;
        done += got;
    }
    return want - done;
}

} // namespace

unsigned long copy_from_user(void *to, const void __user *from, unsigned long n) {
    if (!n)
        return 0;
    if (!from)
        return n;
    return vm_copy(false, to, from, n);
}

unsigned long copy_to_user(void __user *to, const void *from, unsigned long n) {
    if (!n)
        return 0;
    if (!to)
        return n;
    return vm_copy(true, const_cast<void *>(from), to, n);
}

long strncpy_from_user(char *dst, const char __user *src, long n) {
    if (n <= 0)
        return 0;
    const long page = sysconf(_SC_PAGESIZE);
    long done = 0;
    while (done < n) {
        uintptr_t r = (uintptr_t)src + done;
        long chunk = page - (long)(r % page);
        if (chunk > n - done)
            chunk = n - done;
        // As the kernel's: a fault only counts when no terminator came before it.
        long got = chunk - (long)copy_from_user(dst + done, (const void *)r, chunk);
        void *nul = memchr(dst + done, '\0', got);
        if (nul)
            return (char *)nul - dst;
        if (got < chunk)
            return -EFAULT;
        done += chunk;
    }
    return n;
}
