# Shared by the end-to-end scripts: the programs, results, and a jxnode started
# in the background. The sourcing script sets TMP (a private directory) first.

BIN=${JX_BIN_DIR:?JX_BIN_DIR must name the build directory}
JXNODE=$BIN/jxnode
JXPROC=$BIN/jxproc
CONFIG=/proc/net/jxbridge/config
export JXNODE_SOCKET=$TMP/run/ctl.sock
NODE_PID=
DRAIN_PID=
FAILS=0

pass() { echo "PASS: $1"; }
fail() {
    echo "FAIL: $1${2:+ ($2)}"
    FAILS=$((FAILS + 1))
}

# Kills a node left running by a failed case; for the script's EXIT trap.
node_cleanup() {
    if [ -n "$NODE_PID" ] && kill -0 "$NODE_PID" 2>/dev/null; then
        kill -KILL "$NODE_PID"
        wait "$NODE_PID" 2>/dev/null
    fi
    [ -n "$DRAIN_PID" ] && wait "$DRAIN_PID" 2>/dev/null
    # Clients that went to the background (dhclient writes its pid file only
    # then) are found by the script's files on their command line.
    [ -n "${TMP:-}" ] && pkill -f "$TMP/" 2>/dev/null
    return 0
}

# Starts jxnode in the background and returns once it says it serves; its
# standard output goes to $TMP/node.out, its log to $TMP/node.err.
# $JX_PORT_DRIVER (xdp or afpacket), when set, is the driver of its ports.
start_node() {
    local fifo=$TMP/ready.fifo line
    rm -f "$fifo"
    mkfifo "$fifo"
    "$JXNODE" ${JX_PORT_DRIVER:+--port-driver "$JX_PORT_DRIVER"} "$@" >"$fifo" 2>"$TMP/node.err" &
    NODE_PID=$!
    exec 3<"$fifo"
    : >"$TMP/node.out"
    # The line is a guard against a node that never comes up, not a wait for time.
    while read -r -t 60 line <&3; do
        echo "$line" >>"$TMP/node.out"
        case $line in "jxnode: serving on "*)
            cat <&3 >>"$TMP/node.out" &
            DRAIN_PID=$!
            exec 3<&-
            return 0
            ;;
        esac
    done
    exec 3<&-
    return 1
}

# Stops the node with SIGTERM; returns its exit status.
stop_node() {
    [ -n "$NODE_PID" ] || return 1
    kill -TERM "$NODE_PID"
    wait "$NODE_PID"
    local rc=$?
    NODE_PID=
    wait "$DRAIN_PID" 2>/dev/null
    DRAIN_PID=
    return $rc
}

# Ends the script with the verdict of its cases.
finish() {
    if [ "$FAILS" -ne 0 ]; then
        echo "$FAILS case(s) failed"
        exit 1
    fi
    echo "all cases passed"
}

# A veth whose node end is $1 and whose far end $3 lives in namespace $2.
veth_to_ns() {
    ip netns del "$2" 2>/dev/null
    ip netns add "$2" || return 1
    ip link add "$1" type veth peer name "$3" netns "$2" || return 1
    ip netns exec "$2" ethtool -K "$3" tso off gso off 2>/dev/null
    ip -n "$2" link set "$3" up && ip -n "$2" link set lo up || return 1
    ip netns exec "$2" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
    sysctl -qw "net.ipv6.conf.$1.disable_ipv6=1"
    ip link set "$1" up
}

# Captures in the background into $TMP/<name>.pcap: name, namespace,
# interface, filter; cap_stop ends them all.
CAPS=()
cap_start() {
    ip netns exec "$2" tcpdump -i "$3" --immediate-mode -U -n -w "$TMP/$1.pcap" "$4" 2>"$TMP/$1.err" &
    CAPS+=($!)
    local t
    for t in $(seq 100); do grep -qs listening "$TMP/$1.err" && return 0; sleep 0.1; done
}
cap_stop() {
    sleep 0.5 # the last frame's way through the node
    kill "${CAPS[@]}" 2>/dev/null
    wait "${CAPS[@]}" 2>/dev/null
    CAPS=()
}
