#!/usr/bin/env bash
# Bound interfaces: jxnode --port on a veth end whose peer lives in a network
# namespace. Frames sent there by scapy arrive on the node's device, reach the
# bridge's receive entry once a bridge is up, and the device goes when the
# interface does. The bytes the bridge is given (tags put back, checksums
# finished) are checked in process by tests/linecard_afpacket_test.cc.
#
# Needs root, ip(8) and JX_BIN_DIR, the build directory holding jxnode and jxproc.
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null; then
    echo "SKIP: needs root and ip(8)"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxports-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
PY=/usr/bin/python3
NS=jxns$$
PORT=jxp$$ # the node's end
PEER=jxq$$ # in $NS

cleanup() {
    node_cleanup
    ip link del "$PORT" 2>/dev/null
    ip netns del "$NS" 2>/dev/null
    rm -rf "$TMP"
}
trap cleanup EXIT

setup() {
    ip netns add "$NS" &&
        ip link add "$PORT" type veth peer name "$PEER" netns "$NS" &&
        ip -n "$NS" link set "$PEER" up &&
        ip -n "$NS" link set lo up
}

# A field of the device's line in jxproc link ("rx", "tx", "rx_dropped").
link_field() {
    "$JXPROC" link | awk -v dev="$PORT:" -v key="$2" \
        '$2 == dev { for (i = 3; i <= NF; i++) { split($i, kv, "="); if (kv[1] == key) print kv[2] } }'
}
config_total_rx() {
    "$JXPROC" cat $CONFIG | awk -F: '/^\[Threaded\] Total Rx:/ { gsub(/ /, "", $2); print $2 }'
}
# Repeats a test until it holds; the count is a guard against a hang, not a timing.
eventually() {
    local i
    for i in $(seq 200); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}
at_least() { [ "$($1)" -ge "$2" ] 2>/dev/null; }
rx_count() { link_field "$PORT" rx; }
# Whether every frame the port received was dropped, from one snapshot.
all_dropped() {
    "$JXPROC" link | awk -v dev="$PORT:" '$2 == dev {
        for (i = 3; i <= NF; i++) { split($i, kv, "="); c[kv[1]] = kv[2] }
        ok = c["rx"] == c["rx_dropped"] } END { exit !ok }'
}

# send COUNT [vlan]: broadcast UDP frames from the namespace, tagged with the VLAN if given.
send_frames() {
    local count=$1 vlan=${2:-}
    # scapy warns that the namespace has no route; its errors are kept.
    ip netns exec "$NS" "$PY" - "$PEER" "$count" "$vlan" 2>>"$TMP/scapy.err" <<'EOF'
import sys
from scapy.all import Ether, Dot1Q, IP, UDP, sendp
iface, count, vlan = sys.argv[1], int(sys.argv[2]), sys.argv[3]
frame = Ether(dst="ff:ff:ff:ff:ff:ff")
if vlan:
    frame = frame / Dot1Q(vlan=int(vlan))
frame = frame / IP(src="192.0.2.2", dst="192.0.2.1") / UDP(sport=4000, dport=4001) / b"jxbridge"
sendp(frame, iface=iface, count=count, verbose=False)
EOF
}

# ---------------------------------------------------------------------------

case_bad_port() {
    local rc
    JXNODE_SOCKET=$TMP/other.sock "$JXNODE" --port nosuch0 >/dev/null 2>"$TMP/err"
    rc=$?
    if [ $rc -eq 1 ] && grep -q "^jxnode: cannot bind port nosuch0: no such interface (-19)$" "$TMP/err"; then
        pass "a missing interface stops the node"
    else
        fail "a missing interface stops the node" "exit $rc, $(grep jxnode: "$TMP/err")"
    fi
    "$JXNODE" --port 2>/dev/null
    rc=$?
    if [ $rc -eq 2 ]; then pass "--port without a name is a usage error"; else
        fail "--port without a name is a usage error" "exit $rc"
    fi
}

case_bind() {
    if ! start_node --port "$PORT"; then
        fail "node starts with a port" "$(tail -n 5 "$TMP/node.err")"
        exit 1
    fi
    local line host
    line=$("$JXPROC" link | grep ": $PORT: ")
    # A promiscuous membership shows as the count, not as the PROMISC flag.
    host=$(ip -d link show "$PORT")
    if [[ $line == *" down" ]] && [[ $host == *"promiscuity 1 "* ]] && [[ $host == *",UP"* ]]; then
        pass "bound interface is a device; host side up and promiscuous"
    else
        fail "bound interface is a device; host side up and promiscuous" "'$line' / '$host'"
    fi
}

case_receive() {
    "$JXPROC" link "$PORT" up
    local before=$(($(rx_count) + 0))
    send_frames 5 && send_frames 2 100
    if eventually at_least rx_count $((before + 7)); then
        pass "frames from the wire are received, tagged or not"
    else
        fail "frames from the wire are received, tagged or not" "rx=$(rx_count), wanted $((before + 7))"
    fi
    # Without a bridge up no hook is bound: the device's stack has none, so
    # every frame is counted dropped rather than lost.
    # Both counters come from one read-out; a frame in flight between the
    # two counts is waited for.
    if eventually all_dropped; then pass "frames with no bridge up are counted dropped"; else
        fail "frames with no bridge up are counted dropped" "$("$JXPROC" link | grep ": $PORT: ")"
    fi
}

case_bridge_hook() {
    "$JXPROC" write $CONFIG add br0 4 >/dev/null && "$JXPROC" link br0 up
    local before
    before=$(config_total_rx)
    send_frames 3 && send_frames 3 200
    total_rx() { config_total_rx; }
    if eventually at_least total_rx $((before + 6)); then
        pass "a bridge up binds the driver hook: frames reach the bridge"
    else
        fail "a bridge up binds the driver hook: frames reach the bridge" "Total Rx $(config_total_rx), was $before"
    fi
    "$JXPROC" link br0 down
    "$JXPROC" write $CONFIG del br0 >/dev/null
}

case_stop_restores() {
    stop_node
    local rc=$?
    local host
    host=$(ip -d link show "$PORT")
    if [ $rc -eq 0 ] && [[ $host == *"promiscuity 0 "* ]] && [[ $host != *"prog/xdp"* ]]; then
        pass "stopping the node releases the interface"
    else
        fail "stopping the node releases the interface" "exit $rc, '$host'"
    fi
}

case_interface_gone() {
    if ! start_node --port "$PORT"; then
        fail "node restarts with the port" "$(tail -n 5 "$TMP/node.err")"
        return
    fi
    ip netns del "$NS" # takes the veth pair with it
    gone() { ! "$JXPROC" link | grep -q ": $PORT: "; }
    if eventually gone && "$JXPROC" dmesg | grep -q "linecard: $PORT: interface gone"; then
        pass "the device goes when the interface does"
    else
        fail "the device goes when the interface does" "$("$JXPROC" link)"
    fi
    if stop_node; then pass "node stops cleanly after losing a port"; else
        fail "node stops cleanly after losing a port"
    fi
}

if ! setup; then
    echo "SKIP: cannot create a namespace and a veth pair"
    exit 0
fi
case_bad_port
case_bind
if "$PY" -c "import scapy" 2>/dev/null; then
    case_receive
    case_bridge_hook
else
    echo "SKIP: receive cases need python3-scapy under $PY"
fi
case_stop_restores
case_interface_gone

finish
