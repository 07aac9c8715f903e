// Frame reception: the receive entry, the threaded receive queues and their
// thread, the driver hooks bound on bridge state, and the forced pause of the
// packet engine's delivery to Linux.
#include "jxbridge.h"

// Frames the receive thread takes before it flushes the ports' transmissions.
#define JXBRIDGE_RX_XMIT_BATCH 64

static const char *const input_file = "rte/sources/jxbridge/bridge_input.cc";

struct jxbridge_q_t jxbridge_q;

// The outside pause and resume functions, remembered once found; their
// result is not used.
using qman_fn_t = int (*)(void);
static qman_fn_t qman_pause, qman_resume;

static u16 cb_flags(struct sk_buff *skb) {
    return JXBRIDGE_CB(skb)->flags;
}

static void cb_clear_internal(struct sk_buff *skb) {
    JXBRIDGE_CB(skb)->flags &= (u16)~JXBRIDGE_CB_F_INTERNAL;
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

static int process_frame_locked(struct sk_buff *skb, bool internal);

static int jxbridge_threaded_main(void *) {
    struct jxbridge_q_t *q = &jxbridge_q;
    printk(KERN_INFO "[jxbridge/threaded] %s:%d Started (%d).\n", input_file, __LINE__,
           threaded_node);
    unsigned long period = jiffies;
    unsigned batched = 0; // frames taken since the transmit batch began
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
        bool pending = q->current_len != 0;
        spin_unlock_irqrestore(&q->lock, flags);
        // A frame is taken off the queue under jxbridge_lock: a device going
        // away purges the queue under the same lock, so no frame in hand can
        // outlive its port or device.
        struct sk_buff *skb = nullptr;
        if (pending) {
            mutex_lock(&jxbridge_lock);
            spin_lock_irqsave(&q->lock, flags);
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
            if (!skb)
                mutex_unlock(&jxbridge_lock);
        }
        if (skb || af) {
            set_current_state(TASK_RUNNING);
            if (!batched)
                rte_xmit_batch_begin();
            batched += (skb != nullptr) + (af != nullptr);
        }
        if (skb) {
            cb_clear_internal(skb);
            process_frame_locked(skb, false);
            mutex_unlock(&jxbridge_lock);
        }
        if (af) {
            cb_clear_internal(af);
            auto *filter = (struct jxbridge_af_filter *)af->dev;
            af->dev = nullptr;
            filter->xmit(af, filter);
        }
        // A transmitted frame waits for at most a batch of frames taken, never for a sleep.
        const bool rest = time_after(jiffies, period + q->work_interval);
        if (batched && (rest || !(skb || af) || batched >= JXBRIDGE_RX_XMIT_BATCH)) {
            rte_xmit_batch_end();
            batched = 0;
        }
        if (rest) {
            period = jiffies;
            schedule_timeout_interruptible(q->sleep_interval);
            continue;
        }
        if (skb || af)
            continue;
        schedule_timeout(0);
    }
    if (batched)
        rte_xmit_batch_end();
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
            __atomic_store_n(var, hook, __ATOMIC_RELEASE); // drivers read it per frame
}

void jxbridge_unbind_driver_hooks() {
    jxbridge_bind_driver_hooks(nullptr);
}

static int jxbridge_netdev_event(struct notifier_block *, unsigned long event, void *ptr) {
    struct net_device *dev = netdev_notifier_info_to_dev(ptr);
    if (event == NETDEV_UNREGISTER && (dev->priv_flags & IFF_BRIDGE_PORT)) {
        // The host took the device away: no port may keep pointing at it.
        // The module removes its own devices' ports before unregistering
        // them, so a port device only goes away from outside the lock.
        lockdep_assert_not_held(&jxbridge_lock);
        mutex_lock(&jxbridge_lock);
        jxbridge_del_ports_of_dev(dev);
        app_filter_dev_gone(dev);
        proto_filter_dev_gone(dev);
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

// ---------------------------------------------------------------------------
// The pipeline: one received frame through its bridge's ingress stages to the
// forwarding decision. Every stage passes the frame on, takes it, or drops it
// and counts the drop; the frame is consumed on every path.

#define PIPE_TRACE(...)                                                                            \
    do {                                                                                           \
        if (debug)                                                                                 \
            jxbridge_trace(__VA_ARGS__);                                                           \
    } while (0)

// The received frame as it was, while the flow manager may ask for it.
static struct sk_buff *original_skb;
static u16 ingress_mirror_seq, mcast_member_seq;

struct sk_buff *jxbridge_get_original_skb() {
    struct sk_buff *skb = original_skb;
    original_skb = nullptr;
    return skb;
}
EXPORT_SYMBOL(jxbridge_get_original_skb);

static struct jxbridge_port *skb_port_at(struct sk_buff *skb, u16 number) {
    if (number == JXBRIDGE_NO_PORT || !skb->dev)
        return nullptr;
    struct jxbridge_port *p = jxbridge_rx_port(skb->dev);
    if (!p || !p->bridge || number >= p->bridge->max_ports)
        return nullptr;
    return p->bridge->ports[number];
}

struct jxbridge_port *jxbridge_skb_get_jxbridge_port(struct sk_buff *skb) {
    return skb_port_at(skb, JXBRIDGE_CB(skb)->port_no);
}
EXPORT_SYMBOL(jxbridge_skb_get_jxbridge_port);

struct jxbridge_port *jxbridge_skb_get_input_jxbridge_port(struct sk_buff *skb) {
    return skb_port_at(skb, JXBRIDGE_CB(skb)->in_port_no);
}
EXPORT_SYMBOL(jxbridge_skb_get_input_jxbridge_port);

static int skb_set_port_at(struct sk_buff *skb, struct jxbridge_port *port, u16 *field) {
    struct jxbridge_port *dev_port = jxbridge_rx_port(skb->dev);
    if (!dev_port || !dev_port->bridge)
        return -1;
    if (!port) {
        *field = JXBRIDGE_NO_PORT;
        return 0;
    }
    if (port->port_no >= dev_port->bridge->max_ports)
        return -1;
    *field = (u16)port->port_no;
    return 0;
}

int jxbridge_skb_set_jxbridge_port(struct sk_buff *skb, struct jxbridge_port *port) {
    return skb_set_port_at(skb, port, &JXBRIDGE_CB(skb)->port_no);
}
EXPORT_SYMBOL(jxbridge_skb_set_jxbridge_port);

int jxbridge_skb_set_input_jxbridge_port(struct sk_buff *skb, struct jxbridge_port *port) {
    return skb_set_port_at(skb, port, &JXBRIDGE_CB(skb)->in_port_no);
}
EXPORT_SYMBOL(jxbridge_skb_set_input_jxbridge_port);

// A drop counts on the port and, for a LAG port, on the member it came in on.
void jxbridge_count_drop(struct jxbridge_port *P, struct jxbridge_port *Q,
                         u32 jxbridge_port_counters::*counter) {
    P->counters.rx_discard++;
    if (counter)
        P->counters.*counter += 1;
    if (Q && Q != P && P->kind == JXBRIDGE_PORT_LAG && Q->lag_master == P) {
        Q->counters.rx_discard++;
        if (counter)
            Q->counters.*counter += 1;
    }
}

// The drop reasons' counters, in verdict order.
enum drop_side { DROP_SIDE_NONE, DROP_SIDE_RX, DROP_SIDE_TX };
struct drop_row {
    enum drop_side side;
    u32 jxbridge_port_counters::*counter;
    u32 jxbridge_port_counters::*extra;
    u32 bridge_counters;
};
static const struct drop_row drop_rows[JXBRIDGE_VERDICTS] = {
    {DROP_SIDE_NONE, nullptr, nullptr, 0}, // JXBRIDGE_PASS
    {DROP_SIDE_NONE, nullptr, nullptr, 0}, // JXBRIDGE_TAKEN
#define DROP_ROW(name, side, counter, extra, flags) {DROP_SIDE_##side, counter, extra, flags},
    JXBRIDGE_DROP_REASONS(DROP_ROW)
#undef DROP_ROW
};

// A multicast frame that goes nowhere may still make a flow: the manager
// sees it as having come from its current port.
static void drop_flow_offer(struct sk_buff *skb) {
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    if (jxbridge_flow_hook) {
        cb->in_port_no = cb->port_no;
        cb->port_no = JXBRIDGE_NO_PORT;
        if (cb->flag_byte & JXBRIDGE_CB_B_NO_FLOW) {
            PIPE_TRACE("[Bridge]         Flow creation disabled.\n");
        } else {
            PIPE_TRACE("[Bridge]         Pass frame to flow control center.\n");
            if (jxbridge_flow_hook(skb))
                PIPE_TRACE("[Bridge]         \t\tError processing flow.\n");
        }
    }
    PIPE_TRACE("[Bridge]         \t\tDrop skb %p.\n", (void *)skb);
}

void jxbridge_drop(struct jxbridge_port *port, struct jxbridge_port *member, struct sk_buff *skb,
                   enum jxbridge_verdict why) {
    const struct drop_row *r = &drop_rows[why < JXBRIDGE_VERDICTS ? why : JXBRIDGE_TAKEN];
    const u32 b = r->bridge_counters;
    if (skb) {
        if (b & JXBRIDGE_DC_FLOW_OFFER)
            drop_flow_offer(skb);
        kfree_skb(skb);
    }
    if (!port)
        return;
    if (r->side == DROP_SIDE_RX) {
        jxbridge_count_drop(port, member, r->counter);
    } else if (r->side == DROP_SIDE_TX) {
        port->counters.tx_discard++;
        if (r->counter)
            port->counters.*r->counter += 1;
    }
    if (r->extra)
        port->counters.*r->extra += 1;
    if (b & JXBRIDGE_DC_GEM_MISSED)
        port->gem_missed++;
    struct jxbridge *B = port->bridge;
    if (!B)
        return;
    if (b & JXBRIDGE_DC_RX_DROPPED)
        B->stats.rx_dropped++;
    if (b & JXBRIDGE_DC_TX_DROPPED)
        B->stats.tx_dropped++;
    if (b & JXBRIDGE_DC_TX_ABORTED)
        B->stats.tx_aborted_errors++;
    if (b & JXBRIDGE_DC_ACL)
        B->acl_drops++;
    if (b & JXBRIDGE_DC_IPSG)
        B->ipsg_drops++;
    if (b & JXBRIDGE_DC_QOS)
        B->qos_drops++;
}

// Counts on P and, by the same rule, on the member Q.
static void count_lag(struct jxbridge_port *P, struct jxbridge_port *Q,
                      u64 jxbridge_port_counters::*counter, u64 n) {
    P->counters.*counter += n;
    if (Q && Q != P && P->kind == JXBRIDGE_PORT_LAG && Q->lag_master == P)
        Q->counters.*counter += n;
}

// The VID a frame is learned and looked up under.
static u16 skb_vid(struct sk_buff *skb) {
    return ntohs(JXBRIDGE_CB(skb)->outer_tci) & 0xFFF;
}

// May this member of a group still get a multicast frame from the PON side?
static bool mcast_pon_may_send(struct jxbridge *B, struct sk_buff *skb, struct jxbridge_port *m) {
    return skb->pkt_type != JXBRIDGE_PKT_MCAST || B->pon_mcast_gem == JXBRIDGE_PON_NO_MCAST_GEM ||
           jxbridge_pon_mcast_fwd_should_send(m);
}

static enum jxbridge_verdict mcast_ip(struct jxbridge_port *P, struct sk_buff *skb, u16 vid,
                                      u32 mode) {
    struct jxbridge *B = P->bridge;
    const u8 *ip = skb_network_header(skb);
    if (debug) {
        char src[16], dst[16];
        snprintf(src, sizeof(src), "%u.%u.%u.%u", ip[12], ip[13], ip[14], ip[15]);
        snprintf(dst, sizeof(dst), "%u.%u.%u.%u", ip[16], ip[17], ip[18], ip[19]);
        jxbridge_trace("[Bridge]       src=%s, dst=%s", src, dst);
    }
    struct mac_table_mcast_entry *e =
        mac_table_mcast_lookup(B->mac_table, eth_hdr(skb)->h_dest, vid);
    if (!e || !mac_table_mcast_has_groups(e)) {
        if (mode == VLAN_MCAST_FORWARD_FLOOD) {
            PIPE_TRACE("[Bridge]       Flood unknown IPv4 multicast in VLAN %d.\n", vid);
            jxbridge_flood_forward(B, skb);
            return JXBRIDGE_TAKEN;
        }
        PIPE_TRACE("[Bridge]       Drop unknown IPv4multicast in VLAN %d.\n", vid);
        return JXBRIDGE_DROP_MCAST;
    }
    PIPE_TRACE("[Bridge]       Multicast to list...\n");
    u32 saddr, daddr;
    memcpy(&saddr, ip + 12, 4);
    memcpy(&daddr, ip + 16, 4);
    struct jxbridge_port *members[JXBRIDGE_MCAST_MEMBERS_MAX];
    int n = mac_table_mcast_members(e, saddr, daddr,
                                    !(JXBRIDGE_CB(skb)->flags & JXBRIDGE_CB_F_INTERNAL), members,
                                    JXBRIDGE_MCAST_MEMBERS_MAX);
    struct jxbridge_port *first = nullptr;
    for (int i = 0; i < n; i++) {
        struct jxbridge_port *m = members[i];
        if (!mcast_pon_may_send(B, skb, m)) {
            PIPE_TRACE("[PON]           Already sent this way, won't do it again...\n");
            continue;
        }
        if (!first) {
            first = m;
            continue;
        }
        struct sk_buff *c = skb_clone(skb, GFP_ATOMIC);
        if (!c)
            continue;
        jxbridge_skb_mark_copy(skb, c, &mcast_member_seq);
        jxbridge_forward(m, c);
    }
    if (!first)
        return JXBRIDGE_DROP_MCAST;
    if (!mcast_pon_may_send(B, skb, first)) {
        PIPE_TRACE("[PON]           Already sent this way, dropping...\n");
        return JXBRIDGE_DROP_PON_SENT;
    }
    jxbridge_forward(first, skb);
    return JXBRIDGE_TAKEN;
}

static enum jxbridge_verdict mcast_decision(struct jxbridge_port *P, struct sk_buff *skb) {
    struct jxbridge *B = P->bridge;
    u16 vid = skb_vid(skb);
    PIPE_TRACE("[Bridge]     %s()\n", "jxbridge_process_mcast");
    B->pon_mcast_gem = jxbridge_pon_mcast_fwd_init(B, vid);
    if (B->pon_mcast_gem != JXBRIDGE_PON_NO_MCAST_GEM)
        skb->scratch = B->pon_mcast_gem;
    const u8 *dst = eth_hdr(skb)->h_dest;
    if (dst[0] == 0x33 && dst[1] == 0x33) {
        PIPE_TRACE("[Bridge]       Flood IPv6 MCAST 33:33:XX:XX:XX:XX.\n");
        jxbridge_flood_forward(B, skb);
        return JXBRIDGE_TAKEN;
    }
    if (B->mcast_mode == JXBRIDGE_MCAST_DISCARD) {
        PIPE_TRACE("[Bridge]       Discard all multicast.\n");
        return JXBRIDGE_DROP_MCAST;
    }
    if (B->mcast_mode == JXBRIDGE_MCAST_FLOOD) {
        PIPE_TRACE("[Bridge]       Flood all multicast.\n");
        jxbridge_flood_forward(B, skb);
        return JXBRIDGE_TAKEN;
    }
    u32 mode = VLAN_MCAST_DISCARD;
    if (vlan_mcast_mode_get(B->vlan, vid, &mode) || mode == VLAN_MCAST_DISCARD) {
        PIPE_TRACE("[Bridge]       Discard multicast in VLAN %d.\n", vid);
        return JXBRIDGE_DROP_MCAST;
    }
    if (mode == VLAN_MCAST_FLOOD) {
        PIPE_TRACE("[Bridge]       Flood multicast in VLAN %d.\n", vid);
        jxbridge_flood_forward(B, skb);
        return JXBRIDGE_TAKEN;
    }
    // An IPv4 header wholly inside the frame, or the frame is treated as other multicast.
    const u8 *ip = skb_network_header(skb);
    if (skb->protocol == htons(ETH_P_IP) && skb->network_header != (u16)~0U && ip >= skb->data &&
        ip + 20 <= skb->data + skb->len)
        return mcast_ip(P, skb, vid, mode);
    PIPE_TRACE("[Bridge]       dst=%02x:%02x:%02x:%02x:%02x:%02x\n", dst[0], dst[1], dst[2], dst[3],
               dst[4], dst[5]);
    struct mac_table_mcast_entry *e = mac_table_mcast_lookup(B->mac_table, dst, vid);
    if (e) {
        PIPE_TRACE("[Bridge]       Multicast to list...\n");
        jxbridge_forward_to_list(B, skb, mac_table_mcast_ports(e));
        return JXBRIDGE_TAKEN;
    }
    if (mode == VLAN_MCAST_FORWARD_FLOOD) {
        PIPE_TRACE("[Bridge]       Flood unknown multicast in VLAN %d.\n", vid);
        jxbridge_flood_forward(B, skb);
        return JXBRIDGE_TAKEN;
    }
    PIPE_TRACE("[Bridge]       Drop unknown multicast in VLAN %d.\n", vid);
    return JXBRIDGE_DROP_MCAST;
}

// Where a frame goes once the ingress stages are done; a drop is counted on
// *count_on (the receiving port, or the port whose storm rate refused it).
static enum jxbridge_verdict forward_decision(struct jxbridge *B, struct sk_buff *skb,
                                              struct jxbridge_port *P,
                                              struct jxbridge_port **count_on) {
    *count_on = P;
    if (skb->pkt_type == JXBRIDGE_PKT_MCAST)
        return mcast_decision(P, skb);
    if (skb->pkt_type == JXBRIDGE_PKT_BCAST) {
        PIPE_TRACE("[Bridge]     jxbridge_process_bcast()\n");
        jxbridge_flood_forward(B, skb);
        return JXBRIDGE_TAKEN;
    }
    struct jxbridge_port *to = mac_table_lookup(B->mac_table, eth_hdr(skb)->h_dest, skb_vid(skb));
    if (to) {
        jxbridge_forward(to, skb);
        return JXBRIDGE_TAKEN;
    }
    skb->pkt_type = JXBRIDGE_PKT_DLF;
    struct jxbridge_port *Q = jxbridge_port_at(B, JXBRIDGE_CB(skb)->in_port_no);
    count_lag(P, Q, &jxbridge_port_counters::rx_dlf, 1);
    struct jxbridge_port *rate =
        P->pvc_mode == JXBRIDGE_PVC_SLAVE && P->pvc_master ? P->pvc_master : P;
    if (!storm_check_rate(B, STORM_DLF, rate)) {
        PIPE_TRACE("[Bridge]     Storm rate exceeded. Dropping.\n");
        *count_on = rate;
        return JXBRIDGE_DROP_STORM_DLF;
    }
    int paused = jxbridge_tracer_dlf_pause(B);
    if (paused)
        PIPE_TRACE("[Bridge]    Pausing tracing on DLF.\n");
    jxbridge_flood_forward(B, skb);
    jxbridge_tracer_dlf_resume(B, paused);
    return JXBRIDGE_TAKEN;
}

// A decision's drop, counted on its port and the member the frame came in on.
static void decision_drop(struct jxbridge_port *on, struct sk_buff *skb, enum jxbridge_verdict v) {
    if (v <= JXBRIDGE_TAKEN)
        return;
    jxbridge_drop(on, jxbridge_port_at(on->bridge, JXBRIDGE_CB(skb)->in_port_no), skb, v);
}

void jxbridge_process_mcast(struct jxbridge_port *P, struct sk_buff *skb) {
    decision_drop(P, skb, mcast_decision(P, skb));
}
EXPORT_SYMBOL(jxbridge_process_mcast);

void jxbridge_process_frame_forward(struct jxbridge *B, struct sk_buff *skb,
                                    struct jxbridge_port *P) {
    struct jxbridge_port *on;
    enum jxbridge_verdict v = forward_decision(B, skb, P, &on);
    decision_drop(on, skb, v);
}
EXPORT_SYMBOL(jxbridge_process_frame_forward);

static const char take_lock_mark[] =
    "Take lock =========================================================";
static const char no_lock_mark[] =
    "Internal (no lock) ------------------------------------------------";
static const char release_mark[] =
    "Done. Release lock ================================================";
static const char internal_mark[] =
    "Internal ----------------------------------------------------------";

// One frame in the pipeline: its bridge, the port it is on (P) and the port
// that physically received it (Q). skb is null once an engine took or
// freed the frame.
struct pipe_ctx {
    struct jxbridge *B;
    struct jxbridge_port *P, *Q;
    struct sk_buff *skb;
    bool internal;
    struct jxbridge_port *drop_on; // where a drop counts when not on P
};
using pipe_stage = enum jxbridge_verdict (*)(struct pipe_ctx *c);

static enum jxbridge_verdict stage_bridge_up(struct pipe_ctx *c) {
    if (c->B->dev->flags & IFF_UP)
        return JXBRIDGE_PASS;
    PIPE_TRACE("[Bridge]     Bridge down, dropping.\n");
    return JXBRIDGE_DROP_BRIDGE_DOWN;
}

// The frame as received stays at hand while the flow manager may ask for it,
// or while the port mirrors what it receives.
static enum jxbridge_verdict stage_mac_header(struct pipe_ctx *c) {
    if (jxbridge_flow_hook || c->P->rmirr_active_rx)
        original_skb = skb_copy(c->skb, GFP_ATOMIC);
    skb_push(c->skb, ETH_HLEN);
    skb_reset_mac_header(c->skb);
    PIPE_TRACE("[Bridge] Setting MAC header for skb %p to %p\n", (void *)c->skb,
               (void *)skb_mac_header(c->skb));
    return JXBRIDGE_PASS;
}

static enum jxbridge_verdict stage_gem(struct pipe_ctx *c) {
    struct jxbridge_port *P = c->P;
    struct sk_buff *skb = c->skb;
    if (P->kind != JXBRIDGE_PORT_PON_OLT) {
        PIPE_TRACE("[Bridge] RX port: %s, dev=%s, portIdx=%u, BLL=%u\n", P->display_name,
                   P->dev->name, P->port_no, P->bll_port_no);
        JXBRIDGE_CB(skb)->port_no = (u16)P->port_no;
        return JXBRIDGE_PASS;
    }
    u32 gem = skb->scratch & 0xFFFF;
    PIPE_TRACE("[PON]   skb=%p%s - looking for GEM %d on OLT %s\n", (void *)skb,
               c->internal ? " [internal]" : "", (int)gem, P->dev->name);
    struct jxbridge_port *G = jxbridge_get_port_by_gem(P->dev, gem);
    if (!G) {
        PIPE_TRACE("[PON]   skb=%p%s - dropping (no GEM %d on OLT %s).\n", (void *)skb,
                   c->internal ? " [internal]" : "", (int)gem, P->dev->name);
        return JXBRIDGE_DROP_NO_GEM;
    }
    P->gem_found++;
    if (G->bridge != c->B) {
        printk(KERN_ERR "%s:%d This should not happen: %p != %p\n", input_file, __LINE__,
               (void *)G->bridge, (void *)c->B);
        dump_stack();
        c->B = G->bridge;
    }
    PIPE_TRACE("[PON]   GEM %d found at %s (portId %u)\n", (int)gem, G->dev->name, G->bll_port_no);
    c->P = G;
    skb->scratch = 0;
    JXBRIDGE_CB(skb)->port_no = (u16)G->port_no;
    return JXBRIDGE_PASS;
}

static enum jxbridge_verdict stage_input_port(struct pipe_ctx *c) {
    struct sk_buff *skb = c->skb;
    // Most frames arrived on the device they name: no registry look-up.
    struct net_device *phys =
        skb->skb_iif == skb->dev->ifindex ? skb->dev : __dev_get_by_index(&init_net, skb->skb_iif);
    if (!phys) {
        skb->skb_iif = skb->dev->ifindex;
        phys = skb->dev;
    }
    struct jxbridge_port *in = jxbridge_rx_port(phys);
    if (in && in->bridge == c->B) {
        c->Q = in;
        JXBRIDGE_CB(skb)->in_port_no = (u16)in->port_no;
        PIPE_TRACE("[Bridge] RX phy : %s, dev=%s, portIdx=%u, BLL=%u\n", in->display_name,
                   in->dev->name, in->port_no, in->bll_port_no);
    } else {
        c->Q = c->P;
        PIPE_TRACE("[Bridge] RX physical port is same as RX port.\n");
    }
    return JXBRIDGE_PASS;
}

static enum jxbridge_verdict stage_classify(struct pipe_ctx *c) {
    struct jxbridge *B = c->B;
    struct jxbridge_port *P = c->P, *Q = c->Q;
    struct sk_buff *skb = c->skb;
    const bool counted = !c->internal;
    if (counted) {
        B->stats.rx_packets++;
        B->stats.rx_bytes += skb->len + 4;
        count_lag(P, Q, &jxbridge_port_counters::rx_pkts, 1);
        count_lag(P, Q, &jxbridge_port_counters::rx_octets, skb->len + 4);
    }
    JXBRIDGE_CB(skb)->flag_byte &= (u8)~JXBRIDGE_CB_B_MVR;
    const u8 *d = eth_hdr(skb)->h_dest;
    if (!(d[0] & 1)) {
        skb->pkt_type = JXBRIDGE_PKT_UCAST;
        if (counted)
            count_lag(P, Q, &jxbridge_port_counters::rx_ucast, 1);
    } else if ((d[0] & d[1] & d[2] & d[3] & d[4] & d[5]) == 0xFF) {
        skb->pkt_type = JXBRIDGE_PKT_BCAST;
        if (counted)
            count_lag(P, Q, &jxbridge_port_counters::rx_bcast, 1);
    } else {
        skb->pkt_type = JXBRIDGE_PKT_MCAST;
        if (counted) {
            count_lag(P, Q, &jxbridge_port_counters::rx_mcast, 1);
            B->stats.multicast++;
        }
    }
    if (debug)
        jxbridge_trace_frame("jxbridge_process_frame", B);
    return JXBRIDGE_PASS;
}

static enum jxbridge_verdict stage_line(struct pipe_ctx *c) {
    if (c->P->phy_state != JXBRIDGE_PHY_DOWN)
        return JXBRIDGE_PASS;
    PIPE_TRACE("[Bridge]         Device '%s' line is disconnected.\n", c->P->dev->name);
    return JXBRIDGE_DROP_LINE_DISCONNECTED;
}

static enum jxbridge_verdict stage_pvc(struct pipe_ctx *c) {
    struct jxbridge_port *P = c->P;
    struct sk_buff *skb = c->skb;
    if (P->pvc_mode == JXBRIDGE_PVC_NONE) {
        PIPE_TRACE("[Bridge]   No PVC on this port.\n");
        return JXBRIDGE_PASS;
    }
    u32 queue = skb->scratch & 0xFF;
    PIPE_TRACE("[Bridge]   Determine PVC interface (%d).\n", (int)queue);
    if (queue == JXBRIDGE_PVC_NO_QUEUE) {
        PIPE_TRACE("[Bridge]     Invalid queue, dropping.\n");
        return JXBRIDGE_DROP_PVC_INVALID_QUEUE;
    }
    struct jxbridge_port *S = nullptr;
    for (const auto &e : P->pvc)
        if (e.queue == queue && e.slave) {
            S = e.slave;
            break;
        }
    if (!S) {
        PIPE_TRACE("[Bridge]     No PVC interface found, dropping.\n");
        return JXBRIDGE_DROP_PVC_NOT_FOUND;
    }
    PIPE_TRACE("[Bridge]     Found %s at %d.\n", S->dev->name, (int)queue);
    c->P = S;
    JXBRIDGE_CB(skb)->port_no = (u16)S->port_no;
    skb->dev = S->dev;
    S->counters.rx_pkts++;
    S->counters.rx_octets += skb->len + 4;
    return JXBRIDGE_PASS;
}

static enum jxbridge_verdict stage_admin(struct pipe_ctx *c) {
    if (c->P->dev->flags & IFF_UP)
        return JXBRIDGE_PASS;
    PIPE_TRACE("[Bridge]         Device '%s' admin state is disabled. Drop frame.\n",
               c->P->dev->name);
    return JXBRIDGE_DROP_ADMIN_DISABLED;
}

// Writes a parsed TCI into the frame's tag at off when the frame has that tag.
static struct sk_buff *tag_write_back(struct sk_buff *skb, u32 off, __be16 tci) {
    if ((ntohs(tci) & 0xFFF) == JXBRIDGE_NO_VID || skb->len < off + 2 ||
        !memcmp(skb->data + off, &tci, 2))
        return skb;
    if (skb_cloned(skb) && !(skb = skb_unshare(skb, GFP_ATOMIC)))
        return nullptr;
    memcpy(skb->data + off, &tci, 2);
    return skb;
}

// In ACL forwarding mode the ACL decides every frame's way: a frame it
// neither forwards nor drops goes no further.
static enum jxbridge_verdict stage_acl_switching(struct pipe_ctx *c) {
    if (c->B->switching_mode != JXBRIDGE_SWITCHING_ACL_FW)
        return JXBRIDGE_PASS;
    struct sk_buff *skb = vlan_skb_cb_initial_parse_vlans(c->B->vlan, c->skb);
    if (!(c->skb = skb))
        return JXBRIDGE_DROP_ACL_FW_UNMATCHED;
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    __be16 outer = cb->rx_outer_tci, inner = cb->rx_inner_tci;
    if ((skb = tag_write_back(skb, ETH_HLEN, outer)))
        skb = tag_write_back(skb, ETH_HLEN + VLAN_HLEN, inner);
    if (!(c->skb = skb))
        return JXBRIDGE_DROP_ACL_FW_UNMATCHED;
    cb = JXBRIDGE_CB(skb);
    cb->outer_tci = outer;
    cb->inner_tci = inner;
    // The VLAN engine never saw the frame come in: the ACL's tags are final
    // on the way out too.
    cb->flags |= JXBRIDGE_CB_F_BYPASS_VLAN;
    PIPE_TRACE("[Bridge] ACL Switching mode, fill skb->cb with VLAN info and go straight to "
               "ACL processing.\n");
    if (!(c->skb = acl_skb(c->B->acl, skb, 1)))
        return JXBRIDGE_DROP_ACL_INGRESS;
    PIPE_TRACE("[Bridge] ACL Switching mode, frame was not forwarded/dropped by ACL. Drop "
               "frame and stop processing.\n");
    return JXBRIDGE_DROP_ACL_FW_UNMATCHED;
}

static enum jxbridge_verdict stage_rmirroring_blocked(struct pipe_ctx *c) {
    if (!c->P->rmirr_active_dst)
        return JXBRIDGE_PASS;
    PIPE_TRACE("[Bridge] Port %s is blocked by remote mirroring. Frame dropped.\n",
               c->P->dev->name);
    return JXBRIDGE_DROP_RMIRRORING_BLOCKED;
}

static enum jxbridge_verdict stage_pdu_filters(struct pipe_ctx *c) {
    struct jxbridge *B = c->B;
    struct sk_buff *skb = c->skb;
    // R-APS, slow protocols and BPDUs all go to group addresses: a frame to a
    // station skips their matches.
    bool group = skb->len >= ETH_HLEN && (skb->data[0] & 1);
    if ((group &&
         (erps_filter_apply(B, skb) || efm_filter_apply(B, skb) || stp_filter_apply(B, skb) ||
          synce_filter_apply(B, c->Q, skb) || lacp_filter_apply(B, skb))) ||
        ptp_filter_apply(B, c->Q, skb)) {
        c->skb = nullptr;
        return JXBRIDGE_TAKEN;
    }
    return JXBRIDGE_PASS;
}

static enum jxbridge_verdict stage_port_state(struct pipe_ctx *c) {
    u32 state = c->P->state;
    if (state == JXBRIDGE_STATE_OK) {
        JXBRIDGE_CB(c->skb)->flags &= (u16)~JXBRIDGE_CB_F_NO_LEARN;
        return JXBRIDGE_PASS;
    }
    PIPE_TRACE("[Bridge]     Port state is '%s', dropping.\n", jxbridge_state2str(state));
    return state == JXBRIDGE_STATE_ERROR_DISABLED ? JXBRIDGE_DROP_PORT_ERROR_DISABLED
                                                  : JXBRIDGE_DROP_PORT_STATE;
}

// The ingress engines: each returns the frame or nothing when it took it.
static enum jxbridge_verdict stage_tal(struct pipe_ctx *c) {
    return (c->skb = tal_skb(c->B->tal, c->skb)) ? JXBRIDGE_PASS : JXBRIDGE_DROP_TAL;
}
static enum jxbridge_verdict stage_vlan(struct pipe_ctx *c) {
    return (c->skb = vlan_process_ingress_rules(c->B->vlan, c->P, c->skb))
               ? JXBRIDGE_PASS
               : JXBRIDGE_DROP_VLAN_INGRESS;
}
static enum jxbridge_verdict stage_erps(struct pipe_ctx *c) {
    return (c->skb = erps_process_frame(c->P, c->skb, 1)) ? JXBRIDGE_PASS : JXBRIDGE_DROP_ERPS;
}
static enum jxbridge_verdict stage_stp(struct pipe_ctx *c) {
    return (c->skb = stp_process_frame(c->P, c->skb, 1)) ? JXBRIDGE_PASS : JXBRIDGE_DROP_STP;
}
static enum jxbridge_verdict stage_ipsg(struct pipe_ctx *c) {
    return (c->skb = ipsg_skb(c->B->ipsg, c->skb, 1)) ? JXBRIDGE_PASS : JXBRIDGE_DROP_IPSG;
}
static enum jxbridge_verdict stage_acl(struct pipe_ctx *c) {
    return (c->skb = acl_skb(c->B->acl, c->skb, 1)) ? JXBRIDGE_PASS : JXBRIDGE_DROP_ACL_INGRESS;
}
static enum jxbridge_verdict stage_qos(struct pipe_ctx *c) {
    if (!qos_ds_enabled(c->B->qos))
        return JXBRIDGE_PASS;
    return (c->skb = qos_ds_skb(c->B->qos, c->skb, 1)) ? JXBRIDGE_PASS : JXBRIDGE_DROP_QOS_INGRESS;
}

// Mirrors copy the frame as it was received, before any engine changed it.
static enum jxbridge_verdict stage_mirror(struct pipe_ctx *c) {
    struct sk_buff *skb = c->skb;
    if ((JXBRIDGE_CB(skb)->flag_byte & JXBRIDGE_CB_B_LEARN_ONLY) || !c->P->rmirr_active_rx)
        return JXBRIDGE_PASS;
    struct sk_buff *copy;
    if (original_skb) {
        copy = skb_copy(original_skb, GFP_ATOMIC);
        if (copy) {
            skb_push(copy, ETH_HLEN);
            skb_reset_mac_header(copy);
        }
    } else {
        // Received on another port (a GEM or PVC port found later) than
        // the one the copy was kept for: the frame as it is now.
        copy = skb_copy(skb, GFP_ATOMIC);
    }
    if (copy) {
        copy->skb_iif = copy->dev ? copy->dev->ifindex : 0;
        copy = vlan_skb_cb_initial_parse_vlans(c->B->vlan, copy);
    }
    if (copy) {
        jxbridge_mirror(c->B, c->P, skb, copy, 0, &ingress_mirror_seq);
        kfree_skb(copy);
    }
    return JXBRIDGE_PASS;
}

static enum jxbridge_verdict stage_learn(struct pipe_ctx *c) {
    struct sk_buff *skb = c->skb;
    struct jxbridge_skb_cb *cb = JXBRIDGE_CB(skb);
    u16 vid = skb_vid(skb);
    int rc = 0;
    if (!(cb->flags & JXBRIDGE_CB_F_NO_LEARN))
        rc = mac_table_learn(c->B->mac_table, c->P, eth_hdr(skb)->h_source, vid);
    cb->learned_vid = vid;
    if (cb->flag_byte & JXBRIDGE_CB_B_LEARN_ONLY) {
        PIPE_TRACE("[Bridge]     STP in learning state. Dropping.\n");
        return JXBRIDGE_DROP_STP_LEARNING;
    }
    if (rc == -EBUSY) {
        PIPE_TRACE("[Bridge]     MAC found on another port. Dropping.\n");
        return JXBRIDGE_DROP_STATIC_MAC;
    }
    if (rc == -ENOSPC) {
        PIPE_TRACE("[Bridge]     MAC limit exceeded. Dropping.\n");
        return JXBRIDGE_DROP_MAC_LIMIT;
    }
    if (!jxbridge_tracer_idle(&c->B->tracer))
        jxbridge_tracer_capture_at(c->B, skb, JXBRIDGE_TRACER_CAP_MT);
    return JXBRIDGE_PASS;
}

static enum jxbridge_verdict stage_app_filters(struct pipe_ctx *c) {
    if (c->P->kind == JXBRIDGE_PORT_LOCAL || !app_filter_apply(c->B->app_filters, c->skb))
        return JXBRIDGE_PASS;
    c->skb = nullptr;
    return JXBRIDGE_TAKEN;
}

static enum jxbridge_verdict stage_forward(struct pipe_ctx *c) {
    enum jxbridge_verdict v = forward_decision(c->B, c->skb, c->P, &c->drop_on);
    if (v == JXBRIDGE_TAKEN)
        c->skb = nullptr;
    return v;
}

// The ingress stages in their order, until one does not pass. Template
// arguments rather than a table, so that the compiler inlines them.
template <pipe_stage... S> static enum jxbridge_verdict pipe_run(struct pipe_ctx *c) {
    enum jxbridge_verdict v = JXBRIDGE_PASS;
    // Engines may hand back another frame: the tracer follows it.
    (void)(((v = S(c), c->B->tracer.skb = c->skb, v) == JXBRIDGE_PASS) && ...);
    return v;
}
static constexpr auto pipe_stages =
    pipe_run<stage_bridge_up, stage_mac_header, stage_gem, stage_input_port, stage_classify,
             stage_line, stage_pvc, stage_admin, stage_acl_switching, stage_rmirroring_blocked,
             stage_pdu_filters, stage_port_state, stage_tal, stage_vlan, stage_erps, stage_stp,
             stage_ipsg, stage_acl, stage_qos, stage_mirror, stage_learn, stage_app_filters,
             stage_forward>;

// The pipeline proper, with jxbridge_lock held: the port is looked up under
// the lock, so a port deleted meanwhile is never used.
static int process_frame_locked(struct sk_buff *skb, bool internal) {
    lockdep_assert_held(&jxbridge_lock);
    struct jxbridge_port *P = jxbridge_rx_port(skb->dev);
    if (!P || !P->bridge) {
        if (debug)
            jxbridge_trace("[Bridge] %s(skb=%p%s)@%s - not bridged.\n", "jxbridge_process_frame",
                           (void *)skb, internal ? " [internal]" : "",
                           skb->dev ? skb->dev->name : "");
        if (unknown_to_kernel) {
            PIPE_TRACE("[Bridge]   Passing to netif_rx()...\n");
            return netif_rx(skb);
        }
        jxbridge_drop(nullptr, nullptr, skb, JXBRIDGE_DROP_NOT_BRIDGED);
        PIPE_TRACE("[Bridge]   Dropping.\n");
        return 1;
    }
    struct pipe_ctx c = {P->bridge, P, P, skb, internal, nullptr};
    JXBRIDGE_CB(skb)->in_port_no = (u16)P->port_no;
    // An internal frame is processed inside another frame's processing.
    struct sk_buff *outer_original = original_skb;
    original_skb = nullptr;
    PIPE_TRACE("[Bridge] pid=%d, %s \n", current->pid, internal ? no_lock_mark : take_lock_mark);
    // The frame in the pipeline is the tracer's own record of it, read by
    // logs of the stages even when no run is armed.
    const bool traced = !jxbridge_tracer_idle(&c.B->tracer);
    if (traced)
        jxbridge_tracer_frame_begin(c.B, skb, P);
    else
        c.B->tracer.skb = skb;
    enum jxbridge_verdict v = pipe_stages(&c);
    if (v > JXBRIDGE_TAKEN)
        jxbridge_drop(c.drop_on ? c.drop_on : c.P, c.Q, c.skb, v);
    if (original_skb)
        kfree_skb(original_skb);
    original_skb = outer_original;
    PIPE_TRACE("[Bridge] %s\n", internal ? internal_mark : release_mark);
    if (traced || !jxbridge_tracer_idle(&c.B->tracer))
        jxbridge_tracer_frame_end(c.B);
    else
        c.B->tracer.skb = nullptr;
    return v == JXBRIDGE_DROP_PORT_STATE || v == JXBRIDGE_DROP_PORT_ERROR_DISABLED;
}

int jxbridge_process_frame(struct sk_buff *skb) {
    if (!skb) {
        PIPE_TRACE("[Bridge] %s(skb=0) - exiting.\n", __func__);
        return 1;
    }
    // Internal frames come from code that already holds the lock.
    if (JXBRIDGE_CB(skb)->flags & JXBRIDGE_CB_F_INTERNAL)
        return process_frame_locked(skb, true);
    mutex_lock(&jxbridge_lock);
    int rc = process_frame_locked(skb, false);
    mutex_unlock(&jxbridge_lock);
    return rc;
}
