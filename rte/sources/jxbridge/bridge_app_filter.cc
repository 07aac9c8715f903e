// Application filters hand chosen frames (DHCP, IGMP, PPPoE, ...) to other
// modules and to filter devices. Until a bridge has a filter set, every
// registration is refused as by an absent engine.
#include "jxbridge.h"

int app_filter_register(struct app_filter_set *set, const char *kind, const char *device,
                        int (*callback)(struct sk_buff *skb)) {
    (void)kind;
    (void)device;
    (void)callback;
    return set ? -EINVAL : -EOPNOTSUPP;
}

int app_filter_unregister(struct app_filter_set *set, const char *kind) {
    (void)kind;
    return set ? -EINVAL : -EOPNOTSUPP;
}

int app_filter_set_debug(struct app_filter_set *, u32 value) {
    app_filter_debug = (int)value;
    return 0;
}

int app_filter_entry_get(u32 index, const char **name) {
    (void)index;
    (void)name;
    return -ENOENT;
}

int app_filter_apply(struct app_filter_set *, struct sk_buff *) {
    return 0;
}
