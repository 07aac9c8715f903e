// The LED engine: a heartbeat on the bridge's timer pool. The line card's LED
// driver reads the bridge's state on its own; the timer only keeps the slot.
#include "jxbridge.h"

struct jxbridge_led {
    struct jxbridge *bridge;
    u32 debug;
    struct jxbridge_timer timer;
};

static void jxbridge_led_tick(struct jxbridge_timer *t) {
    mutex_lock(&jxbridge_lock);
    jxbridge_mod_timer(t, jiffies + 500);
    mutex_unlock(&jxbridge_lock);
}

int jxbridge_led_init(struct jxbridge *bridge) {
    auto *led = (struct jxbridge_led *)jxbridge_zalloc(sizeof(struct jxbridge_led));
    if (!led)
        return -ENOMEM;
    led->bridge = bridge;
    jxbridge_timer_init(bridge, &led->timer, jxbridge_led_tick, led, JXBRIDGE_TIMER_SLOT_LED);
    bridge->led = led;
    printk(KERN_INFO "[%s/LED] Initialized (%p).\n", bridge->dev->name, (void *)led);
    return 0;
}

void jxbridge_led_release(struct jxbridge *bridge) {
    struct jxbridge_led *led = bridge->led;
    if (!led)
        return;
    jxbridge_del_timer_sync_locked(&led->timer);
    if (led->debug)
        printk(KERN_INFO "[LED] Released (%p).\n", (void *)led);
    bridge->led = nullptr;
    kfree(led);
}

extern const struct jxbridge_subsys jxbridge_led_subsys = {
    .tag = "LED",
    .init = jxbridge_led_init,
    .fini = jxbridge_led_release,
};
