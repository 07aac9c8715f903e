// Copies between the kernel and the calling process's memory.
//
// "User memory" is the memory of the process named by current->user_pid: a
// client of the node, or this process for in-process callers. Copies go through
// process_vm_readv/process_vm_writev, so a bad address fails cleanly.
#pragma once

#include "kernel/types.h"

// Both return the number of bytes not copied, as the kernel's do.
unsigned long copy_from_user(void *to, const void __user *from, unsigned long n);
unsigned long copy_to_user(void __user *to, const void *from, unsigned long n);
// Copies a NUL-terminated string of at most n bytes; returns its length, or -EFAULT.
long strncpy_from_user(char *dst, const char __user *src, long n);
#define access_ok(addr, size) true
