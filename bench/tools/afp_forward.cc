// afp_forward IF_A IF_B: a plain AF_PACKET forwarder between two interfaces,
// the yardstick of bench/veth_forward.sh. It opens each interface exactly as a
// bound jxnode port does (linecard/afpacket_host.h: the same receive slots,
// transmit ring, qdisc bypass and virtio header) and keeps only the data path:
// one thread takes every ready receive slot, copies each frame into a slot of
// the other interface's transmit ring (a stripped VLAN tag put back), and
// flushes both rings once the receive rings are empty, or when a ring is full.
// Frames the host does not take in a flush are dropped and counted, as the
// driver does. Runs until SIGINT or SIGTERM, then prints its counters.
#include "linecard/afpacket_host.h"

#include <linux/if_packet.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kVnetLen = 10;
constexpr size_t kVlanLen = 4;

std::atomic<bool> stop{false};

struct side {
    const char *name;
    lc_host h;
    unsigned rx_slot = 0;
    unsigned tx_head = 0;
    unsigned tx_pending = 0;
    unsigned long long forwarded = 0; // taken by the host on the way out
    unsigned long long dropped = 0;   // ring full, too long, or not taken
};

tpacket3_hdr *slot(side *s, unsigned i) {
    return reinterpret_cast<tpacket3_hdr *>(s->h.tx_ring + size_t(i) * LC_FRAME_SIZE);
}

size_t vnet_len(const side *s) {
    return s->h.vnet ? kVnetLen : 0;
}

bool busy(const tpacket3_hdr *h) {
    return __atomic_load_n(&h->tp_status, __ATOMIC_ACQUIRE) &
           (TP_STATUS_SEND_REQUEST | TP_STATUS_SENDING | TP_STATUS_WRONG_FORMAT);
}

// The host takes slots in order and stops at the first it cannot send: those
// left are the last filled, given back here so that none is sent late.
void flush(side *s) {
    if (!s->tx_pending)
        return;
    send(s->h.tx_fd, nullptr, 0, MSG_DONTWAIT);
    unsigned left = 0, i = s->tx_head;
    while (left < s->tx_pending) {
        unsigned prev = (i + LC_TX_FRAME_NR - 1) % LC_TX_FRAME_NR;
        tpacket3_hdr *h = slot(s, prev);
        if (!(__atomic_load_n(&h->tp_status, __ATOMIC_ACQUIRE) &
              (TP_STATUS_SEND_REQUEST | TP_STATUS_WRONG_FORMAT)))
            break;
        __atomic_store_n(&h->tp_status, uint32_t(TP_STATUS_AVAILABLE), __ATOMIC_RELEASE);
        left++;
        i = prev;
    }
    s->tx_head = i;
    s->forwarded += s->tx_pending - left;
    s->dropped += left;
    s->tx_pending = 0;
}

void forward(const tpacket2_hdr *in, side *out) {
    const uint8_t *data = reinterpret_cast<const uint8_t *>(in) + in->tp_mac;
    const size_t len = in->tp_snaplen;
    const bool tagged = in->tp_status & TP_STATUS_VLAN_VALID;
    const size_t frame_len = len + (tagged ? kVlanLen : 0);
    if (len < 14 || len < in->tp_len ||
        frame_len > LC_FRAME_SIZE - LC_TX_DATA_OFFSET - vnet_len(out)) {
        out->dropped++;
        return;
    }
    tpacket3_hdr *h = slot(out, out->tx_head);
    if (busy(h))
        flush(out);
    if (busy(h)) {
        out->dropped++;
        return;
    }
    uint8_t *p = reinterpret_cast<uint8_t *>(h) + LC_TX_DATA_OFFSET;
    if (out->h.vnet) {
        memset(p, 0, kVnetLen);
        p += kVnetLen;
    }
    if (tagged) {
        uint16_t tpid = (in->tp_status & TP_STATUS_VLAN_TPID_VALID) ? in->tp_vlan_tpid : 0x8100;
        uint16_t tci = uint16_t(in->tp_vlan_tci);
        memcpy(p, data, 12);
        const uint8_t tag[4] = {uint8_t(tpid >> 8), uint8_t(tpid), uint8_t(tci >> 8), uint8_t(tci)};
        memcpy(p + 12, tag, 4);
        memcpy(p + 16, data + 12, len - 12);
    } else {
        memcpy(p, data, len);
    }
    h->tp_next_offset = 0;
    h->tp_len = uint32_t(frame_len + vnet_len(out));
    __atomic_store_n(&h->tp_status, uint32_t(TP_STATUS_SEND_REQUEST), __ATOMIC_RELEASE);
    out->tx_head = (out->tx_head + 1) % LC_TX_FRAME_NR;
    out->tx_pending++;
}

// Forwards every ready frame of in; true when there was one.
bool drain(side *in, side *out) {
    bool any = false;
    while (true) {
        auto *h =
            reinterpret_cast<tpacket2_hdr *>(in->h.ring + size_t(in->rx_slot) * LC_FRAME_SIZE);
        if (!(__atomic_load_n(&h->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER))
            return any;
        forward(h, out);
        __atomic_store_n(&h->tp_status, uint32_t(TP_STATUS_KERNEL), __ATOMIC_RELEASE);
        in->rx_slot = (in->rx_slot + 1) % LC_RX_FRAME_NR;
        any = true;
    }
}

void on_signal(int) {
    stop = true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: afp_forward IF_A IF_B\n");
        return 2;
    }
    static side a, b;
    a.name = argv[1];
    b.name = argv[2];
    for (side *s : {&a, &b}) {
        int err = lc_host_open(s->name, &s->h);
        if (err) {
            fprintf(stderr, "afp_forward: %s: %s\n", s->name, strerror(-err));
            return 1;
        }
    }
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // Scheduled as the node's receive threads are.
    lc_host_rx_thread(a.name, true);
    fprintf(stdout, "afp_forward: forwarding %s <-> %s\n", a.name, b.name);
    fflush(stdout);
    while (!stop) {
        bool any = drain(&a, &b);
        any |= drain(&b, &a);
        flush(&a);
        flush(&b);
        if (any)
            continue;
        struct pollfd pfd[2] = {{a.h.fd, POLLIN, 0}, {b.h.fd, POLLIN, 0}};
        if (poll(pfd, 2, 100) < 0 && errno != EINTR)
            break;
    }
    for (side *s : {&a, &b}) {
        printf("afp_forward: out %s forwarded=%llu dropped=%llu\n", s->name, s->forwarded,
               s->dropped);
        lc_host_close(&s->h);
    }
    return 0;
}
