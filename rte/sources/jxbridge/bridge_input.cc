// Frame reception: the receive entry, the threaded receive queues and their
// thread, the driver hooks bound on bridge state, and the forced pause of the
// packet engine's delivery to Linux.
#include "jxbridge.h"

static const char *const input_file = "rte/sources/jxbridge/bridge_input.cc";

struct jxbridge_q_t jxbridge_q;

// The outside pause and resume functions, remembered once found.
using qman_fn_t = void (*)();
static qman_fn_t qman_pause, qman_resume;

static u16 cb_flags(struct sk_buff *skb) {
    return JXBRIDGE_CB(skb)->flags;
}

static void cb_clear_internal(struct sk_buff *skb) {
    JXBRIDGE_CB(skb)->flags &= (u16)~JXBRIDGE_CB_F_INTERNAL;
}

int jxbridge_process_frame(struct sk_buff *skb) {
    // No bridge takes frames yet: every frame is one that no port claims.
    if (!skb)
        return 1;
    kfree_skb(skb);
    return 1;
}

// The queues are doubly linked through the frames' own links, under the
// queue lock.
static void enqueue(struct sk_buff **head, struct sk_buff **tail, struct sk_buff *skb) {
    skb->next = nullptr;
    skb->prev = *tail;
    if (*tail)
        (*tail)->next = skb;
    else
        *head = skb;
    *tail = skb;
}

static void unlink(struct sk_buff **head, struct sk_buff **tail, struct sk_buff *skb) {
    if (skb->prev)
        skb->prev->next = skb->next;
    else
        *head = skb->next;
    if (skb->next)
        skb->next->prev = skb->prev;
    else
        *tail = skb->prev;
    skb->next = skb->prev = nullptr;
}

static struct sk_buff *dequeue(struct sk_buff **head, struct sk_buff **tail) {
    struct sk_buff *skb = *head;
    if (skb)
        unlink(head, tail, skb);
    return skb;
}

// The port record of the device a frame arrived on, or none.
static struct jxbridge_port *jxbridge_rx_port(struct net_device *dev) {
    if (!dev || !(dev->priv_flags & IFF_BRIDGE_PORT))
        return nullptr;
    return (struct jxbridge_port *)dev->rx_handler_data;
}

// A frame lost to a full queue counts on its port, and on the LAG member
// that first received it.
static void jxbridge_count_queue_full(struct jxbridge_port *P, int iif) {
    if (!P)
        return;
    P->counters.rx_discard++;
    P->counters.rx_discard_queue_full++;
    if (P->kind != JXBRIDGE_PORT_LAG || !iif)
        return;
    struct jxbridge_port *m = jxbridge_rx_port(__dev_get_by_index(&init_net, iif));
    if (m && m != P && m->lag_master == P) {
        m->counters.rx_discard++;
        m->counters.rx_discard_queue_full++;
    }
}

int jxbridge_threaded_rx(struct sk_buff *skb) {
    struct jxbridge_q_t *q = &jxbridge_q;
    if (!skb)
        return 1;
    struct jxbridge_port *P = jxbridge_rx_port(skb->dev);
    int iif = skb->skb_iif;
    if (!q->enabled || (cb_flags(skb) & JXBRIDGE_CB_F_INTERNAL)) {
        if (debug && (cb_flags(skb) & JXBRIDGE_CB_F_INTERNAL))
            printk(KERN_INFO "[Bridge/Threaded] pid=%d, internal skb %p, process immediately.\n",
                   current->pid, (void *)skb);
        return jxbridge_process_frame(skb);
    }
    unsigned long flags;
    spin_lock_irqsave(&q->lock, flags);
    q->total_rx++;
    if (q->current_len < q->max) {
        enqueue(&q->head, &q->tail, skb);
        q->current_len++;
        u32 cur = q->current_len, max = q->max;
        spin_unlock_irqrestore(&q->lock, flags);
        if (jxbridge_threaded_debug)
            printk(KERN_INFO "[Bridge/Threaded] pid=%d, queuing (%u/%u).\n", current->pid, cur,
                   max);
        wake_up_process(q->thread);
        return 0;
    }
    spin_unlock_irqrestore(&q->lock, flags);
    if (q->overflow_drop) {
        if (jxbridge_threaded_debug)
            printk(KERN_INFO "[Bridge/Threaded] pid=%d, droping overflow \n", current->pid);
        kfree_skb(skb);
        spin_lock_irqsave(&q->lock, flags);
        jxbridge_count_queue_full(P, iif);
        q->drops++;
        spin_unlock_irqrestore(&q->lock, flags);
        return 1;
    }
    if (jxbridge_threaded_debug)
        printk(KERN_INFO "[Bridge/Threaded] pid=%d, sending to Linux net stack.\n", current->pid);
    int rc = netif_rx(skb);
    if (rc == NET_RX_SUCCESS) {
        wake_up_process(q->thread);
        return rc;
    }
    spin_lock_irqsave(&q->lock, flags);
    jxbridge_count_queue_full(P, iif);
    q->drops++;
    spin_unlock_irqrestore(&q->lock, flags);
    return 1;
}

int jxbridge_threaded_af_rx(struct sk_buff *skb, struct jxbridge_af_filter *filter) {
    struct jxbridge_q_t *q = &jxbridge_q;
    unsigned long flags;
    spin_lock_irqsave(&q->lock, flags);
    q->af_total_rx++;
    if (!skb || !filter) {
        q->af_drops++;
        spin_unlock_irqrestore(&q->lock, flags);
        if (skb)
            kfree_skb(skb);
        return 1;
    }
    if (q->af_current >= q->af_max) {
        if (debug)
            printk(KERN_INFO "[Bridge/Threaded] pid=%d, dropping AF overflow.\n", current->pid);
        struct jxbridge_port *P = jxbridge_rx_port(skb->dev);
        if (P)
            P->counters.rx_discard_queue_full++;
        q->af_drops++;
        spin_unlock_irqrestore(&q->lock, flags);
        kfree_skb(skb);
        return 1;
    }
    // While it waits, the frame's device pointer names its filter; the
    // thread takes it back off before the filter sends the frame.
    skb->dev = (struct net_device *)filter;
    enqueue(&q->af_head, &q->af_tail, skb);
    q->af_current++;
    u32 cur = q->af_current, max = q->af_max;
    spin_unlock_irqrestore(&q->lock, flags);
    wake_up_process(q->thread);
    if (debug)
        printk(KERN_INFO "[Bridge/Threaded] pid=%d, AF queuing (%u/%u).\n", current->pid, cur, max);
    return 0;
}

static int jxbridge_threaded_main(void *) {
    struct jxbridge_q_t *q = &jxbridge_q;
    printk(KERN_INFO "[jxbridge/threaded] %s:%d Started (%d).\n", input_file, __LINE__,
           threaded_node);
    unsigned long period = jiffies;
    while (!kthread_should_stop()) {
        if (signal_pending(current)) {
            printk(KERN_INFO "[jxbridge/threaded] %s:%d Death is upon us all.\n", input_file,
                   __LINE__);
            break;
        }
        set_current_state(TASK_INTERRUPTIBLE);
        unsigned long flags;
        spin_lock_irqsave(&q->lock, flags);
        struct sk_buff *af = dequeue(&q->af_head, &q->af_tail);
        if (af) {
            q->af_current--;
            q->af_total_tx++;
        }
        struct sk_buff *skb = nullptr;
        if (q->current_len) {
            skb = dequeue(&q->head, &q->tail);
            if (skb) {
                q->current_len--;
                q->total_tx++;
            } else {
                printk(KERN_ERR "%s:%d count=%u\n", input_file, __LINE__, q->current_len);
            }
        }
        spin_unlock_irqrestore(&q->lock, flags);
        if (skb || af)
            set_current_state(TASK_RUNNING);
        if (skb) {
            cb_clear_internal(skb);
            mutex_lock(&jxbridge_lock);
            jxbridge_process_frame(skb);
            mutex_unlock(&jxbridge_lock);
        }
        if (af) {
            cb_clear_internal(af);
            auto *filter = (struct jxbridge_af_filter *)af->dev;
            af->dev = nullptr;
            filter->xmit(af, filter);
        }
        if (time_after(jiffies, period + q->work_interval)) {
            period = jiffies;
            schedule_timeout_interruptible(q->sleep_interval);
            continue;
        }
        if (skb || af)
            continue;
        schedule_timeout(0);
    }
    return 0;
}

int jxbridge_threaded_init() {
    struct jxbridge_q_t *q = &jxbridge_q;
    q->qman_pauses = 0;
    q->enabled = 1;
    q->overflow_drop = 1;
    q->work_interval = 5;
    q->sleep_interval = 1;
    q->forced_pause = 0;
    q->head = q->tail = nullptr;
    q->af_head = q->af_tail = nullptr;
    q->current_len = q->total_rx = q->total_tx = q->drops = 0;
    q->af_current = q->af_total_rx = q->af_total_tx = q->af_drops = 0;
    q->max = threaded_max;
    qman_pause = qman_resume = nullptr;
    q->af_max = threaded_appflt_max;
    struct task_struct *t = kthread_create_on_node(
        jxbridge_threaded_main, nullptr, cpu_to_node(threaded_node), "jxbridge/%d", threaded_node);
    if (IS_ERR_OR_NULL(t))
        return -ENOMEM;
    kthread_bind(t, threaded_node);
    struct sched_param param = {MAX_RT_PRIO - 1};
    sched_setscheduler(t, SCHED_FIFO, &param);
    q->thread = t;
    wake_up_process(t);
    return 0;
}

void jxbridge_threaded_fini() {
    struct jxbridge_q_t *q = &jxbridge_q;
    if (q->thread) {
        kthread_stop(q->thread);
        q->thread = nullptr;
    }
    // Frames still queued are dropped and counted, never leaked.
    unsigned long flags;
    spin_lock_irqsave(&q->lock, flags);
    struct sk_buff *skb;
    while ((skb = dequeue(&q->head, &q->tail))) {
        q->current_len--;
        q->drops++;
        kfree_skb(skb);
    }
    while ((skb = dequeue(&q->af_head, &q->af_tail))) {
        q->af_current--;
        q->af_drops++;
        skb->dev = nullptr; // the filter it was waiting for
        kfree_skb(skb);
    }
    spin_unlock_irqrestore(&q->lock, flags);
}

// Drops the queued frames that came from dev, or from any port of bridge B,
// counting them: neither may be touched once its owner is gone.
void jxbridge_q_purge(struct jxbridge *B, struct net_device *dev) {
    struct jxbridge_q_t *q = &jxbridge_q;
    struct sk_buff *doomed = nullptr;
    unsigned long flags;
    spin_lock_irqsave(&q->lock, flags);
    for (struct sk_buff *skb = q->head, *next; skb; skb = next) {
        next = skb->next;
        struct jxbridge_port *P = jxbridge_rx_port(skb->dev);
        bool match =
            (dev && skb->dev == dev) || (B && (skb->dev == B->dev || (P && P->bridge == B)));
        if (!match)
            continue;
        unlink(&q->head, &q->tail, skb);
        q->current_len--;
        q->drops++;
        skb->next = doomed;
        doomed = skb;
    }
    spin_unlock_irqrestore(&q->lock, flags);
    while (doomed) {
        struct sk_buff *skb = doomed;
        doomed = skb->next;
        skb->next = nullptr;
        kfree_skb(skb);
    }
}

int jxbridge_qman_force_stop_dequeues() {
    qman_fn_t &pause = qman_pause;
    if (!pause)
        pause = (qman_fn_t)jxbridge_symbol_get("dpaa_tarn_pause_linux_rx");
    struct jxbridge_q_t *q = &jxbridge_q;
    unsigned long flags;
    int rc = -1;
    spin_lock_irqsave(&q->lock, flags);
    if (!q->forced_pause && pause) {
        pause();
        q->forced_pause = 1;
        rc = 0;
    }
    spin_unlock_irqrestore(&q->lock, flags);
    return rc;
}

int jxbridge_qman_force_start_dequeues() {
    qman_fn_t &resume = qman_resume;
    if (!resume)
        resume = (qman_fn_t)jxbridge_symbol_get("dpaa_tarn_resume_linux_rx");
    struct jxbridge_q_t *q = &jxbridge_q;
    unsigned long flags;
    int rc = -1;
    spin_lock_irqsave(&q->lock, flags);
    if (q->forced_pause && resume) {
        resume();
        q->forced_pause = 0;
        rc = 0;
    }
    spin_unlock_irqrestore(&q->lock, flags);
    return rc;
}

// Driver hooks: two drivers take the hook through a setter, four export a
// pointer variable.
static const char *const hook_setters[] = {"ucc_set_frame_hook", "uccpos_set_frame_hook"};
static const char *const hook_variables[] = {"e1000e_process_frame_hook",
                                             "dpaa2_process_frame_hook", "i40e_process_frame_hook",
                                             "bond_process_frame_hook"};

static void jxbridge_bind_driver_hooks(jxbridge_frame_hook_fn hook) {
    using setter_t = void (*)(jxbridge_frame_hook_fn);
    for (const char *name : hook_setters)
        if (auto set = (setter_t)jxbridge_symbol_get(name))
            set(hook);
    for (const char *name : hook_variables)
        if (auto var = (jxbridge_frame_hook_fn *)jxbridge_symbol_get(name))
            *var = hook;
}

void jxbridge_unbind_driver_hooks() {
    jxbridge_bind_driver_hooks(nullptr);
}

static int jxbridge_netdev_event(struct notifier_block *, unsigned long event, void *ptr) {
    struct net_device *dev = netdev_notifier_info_to_dev(ptr);
    if (event == NETDEV_UNREGISTER && (dev->priv_flags & IFF_BRIDGE_PORT)) {
        // The host took the device away: no port may keep pointing at it.
        bool held = mutex_is_owner(&jxbridge_lock);
        if (!held)
            mutex_lock(&jxbridge_lock);
        jxbridge_del_ports_of_dev(dev);
        if (!held)
            mutex_unlock(&jxbridge_lock);
        return NOTIFY_DONE;
    }
    if ((dev->priv_flags & IFF_BRIDGE_PORT) && !dev->rx_handler_data)
        return notifier_from_errno(-ENODEV);
    if (!(dev->priv_flags & IFF_EBRIDGE))
        return NOTIFY_DONE;
    switch (event) {
    case NETDEV_UP:
        printk(KERN_INFO "[Bridge/%s] Set to UP (send traffic to bridge)\n", dev->name);
        jxbridge_bind_driver_hooks(bridge_process_frame_hook);
        if (jxbridge_qman_force_start_dequeues() == 0)
            printk(KERN_INFO "[Bridge/%s] jxbridge_qman_force_start_dequeues\n", dev->name);
        else
            printk(KERN_INFO "[Bridge/%s] jxbridge_qman_force_start_dequeues failure\n", dev->name);
        break;
    case NETDEV_GOING_DOWN:
        printk(KERN_INFO
               "[Bridge/%s] Set to DOWN (send ARL traffic to network stack, block IW traffic)\n",
               dev->name);
        jxbridge_unbind_driver_hooks();
        if (jxbridge_qman_force_stop_dequeues() == 0)
            printk(KERN_INFO "[Bridge/%s] jxbridge_qman_force_stop_dequeues\n", dev->name);
        else
            printk(KERN_INFO "[Bridge/%s] jxbridge_qman_force_stop_dequeues failure\n", dev->name);
        break;
    default:
        break;
    }
    return NOTIFY_DONE;
}

static struct notifier_block jxbridge_notifier = {jxbridge_netdev_event, nullptr, 0};

int jxbridge_notifier_register() {
    return register_netdevice_notifier(&jxbridge_notifier);
}
void jxbridge_notifier_unregister() {
    unregister_netdevice_notifier(&jxbridge_notifier);
}
