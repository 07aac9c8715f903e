// The trace channel and the per-bridge frame tracer.
#include "jxbridge.h"

static ssize_t tracer_read(struct file *, char __user *, size_t, loff_t *) {
    return 0;
}
static ssize_t tracer_write(struct file *, const char __user *, size_t, loff_t *) {
    return -EINVAL;
}
const struct file_operations jxbridge_tracer_fops = {
    .read = tracer_read,
    .write = tracer_write,
};
