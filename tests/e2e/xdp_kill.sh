#!/usr/bin/env bash
# A node bound through AF_XDP leaves no XDP program behind: not when it is
# killed with SIGKILL (the next node binds and forwards), and a program of
# ours attached without a link, as a crashed node of another kind would leave
# it, is removed by the next start. Two subscribers ping through the bridge.
#
# Needs root, ip(8) with XDP support and JX_BIN_DIR, the build directory
# holding jxnode, jxproc and bpf/xsk_redirect.bpf.o.
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null; then
    echo "SKIP: needs root and ip(8)"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxxkill-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
BRN=jxx$$
BR=/proc/net/jxbridge/$BRN/bridge
SUB=jxx$$
NET=10.78.0
N=2
. "$(dirname "$0")/lib/subscribers.sh"
PROG=$BIN/bpf/xsk_redirect.bpf.o

cleanup() {
    node_cleanup
    subscribers_cleanup
    rm -rf "$TMP"
}
trap cleanup EXIT

xdp_attached() { ip -d link show "$(port "$1")" | grep -q "prog/xdp"; }
none_attached() { ! xdp_attached 1 && ! xdp_attached 2; }
eventually() {
    local i
    for i in $(seq 100); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# A node through AF_XDP, with the bridge of both ports; the host keeps an
# address on port 1, which it must not answer for while bound.
start_bridged() {
    start_node --port-driver xdp --port "$(port 1)" --port "$(port 2)" || return 1
    build_bridge
}

case_kill() {
    if ! start_bridged; then
        fail "node binds through AF_XDP" "$(tail -n 3 "$TMP/node.err")"
        return
    fi
    if grep -q "^jxnode: port $(port 1) uses AF_XDP" "$TMP/node.err" && xdp_attached 1; then
        pass "the port uses AF_XDP and says so"
    else
        fail "the port uses AF_XDP and says so" "$(grep '^jxnode: port' "$TMP/node.err")"
    fi
    pinged 1 2 && pass "ping through the AF_XDP ports" || fail "ping through the AF_XDP ports"
    if ip netns exec "$(ns 1)" ping -c 1 -W 1 "$NET.50" >/dev/null 2>&1; then
        fail "the host does not answer for a bound interface's address"
    else
        pass "the host does not answer for a bound interface's address"
    fi
    kill -KILL "$NODE_PID"
    wait "$NODE_PID" 2>/dev/null
    NODE_PID=
    wait "$DRAIN_PID" 2>/dev/null
    if eventually none_attached; then pass "no XDP program left after SIGKILL"; else
        fail "no XDP program left after SIGKILL" "$(ip -d link show "$(port 1)")"
    fi
    if start_bridged && pinged 1 2; then pass "the next node binds and forwards"; else
        fail "the next node binds and forwards" "$(tail -n 3 "$TMP/node.err")"
    fi
    stop_node
    if none_attached && ip -d link show "$(port 1)" | grep -q "promiscuity 0 "; then
        pass "a stopped node leaves the interfaces as they were"
    else
        fail "a stopped node leaves the interfaces as they were" "$(ip -d link show "$(port 1)")"
    fi
}

case_stale() {
    if ! ip link set dev "$(port 1)" xdpgeneric obj "$PROG" sec xdp 2>"$TMP/ip.err"; then
        echo "SKIP: ip(8) cannot attach $PROG: $(head -n 1 "$TMP/ip.err")"
        return
    fi
    if start_bridged && grep -q "removed an XDP program left by an earlier node" "$TMP/node.err" &&
        pinged 1 2; then
        pass "a program of ours left attached is removed by the next start"
    else
        fail "a program of ours left attached is removed by the next start" \
            "$(grep -E 'jxnode: (port|cannot)' "$TMP/node.err")"
    fi
    stop_node
    none_attached && pass "and none is left after the node" || fail "and none is left after the node"
}

if ! subscribers_setup; then
    fail "namespace setup"
    finish
fi
ip addr add "$NET.50/24" dev "$(port 1)"
case_kill
case_stale
finish
