// The XDP program of a port bound through AF_XDP: every frame the interface
// receives goes to the node's socket of its queue. A frame of a queue with no
// socket is dropped: the host stack never sees the port's traffic.
#include <linux/bpf.h>

#include <bpf/bpf_helpers.h>

struct {
    __uint(type, BPF_MAP_TYPE_XSKMAP);
    __uint(max_entries, 64);
    __type(key, __u32);
    __type(value, __u32);
} jx_xsks SEC(".maps");

// The name is how a later node recognises a program left behind as its own.
SEC("xdp")
int jx_xsk_redirect(struct xdp_md *ctx) {
    return bpf_redirect_map(&jx_xsks, ctx->rx_queue_index, XDP_DROP);
}

char _license[] SEC("license") = "GPL";
