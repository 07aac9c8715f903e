#!/usr/bin/env bash
# Forwarding over veth: jxnode beside a plain AF_PACKET forwarder and the Linux
# bridge, measured in one run on the same topology.
#
#   [ns src] s0 ==veth== f0  <forwarder under test>  f1 ==veth== d0 [ns dst]
#
# trafgen (netsniff-ng; installed with apt-get if missing) sends 64-byte frames
# (60 bytes and the FCS) from s0, pinned to CPU 0, for DURATION seconds per
# case; the forwarder moves them from f0 to f1. Before each run d0 sends a few
# frames towards s0, so that a learning forwarder knows where d0 is and the
# measured frames are known unicast, not floods. Cases:
#   jxnode   a two-port bridge (br0; f0 access, f1 uplink, both lines up) set
#            up through its control files with jxproc, the node pinned to CPU 1,
#            its ports bound through AF_PACKET
#   jxnode_xdp  the same bridge with its ports bound through AF_XDP (the XDP
#            program on f0 and f1 redirects their frames into the node)
#   plain    afp_forward: the node's AF_PACKET rings and nothing else, CPU 1
#   kbridge  the Linux bridge (VLAN filtering off, its default)
#   engine   the jxnode case in a namespace of the node's own, where f0 and f1
#            are eth1 and eth2, ports the packet engine serves: first with
#            nothing programmed (eng_direct, the direct path), then with a
#            port shaper on eth2 far above the offered rate (eng_sched: every
#            frame goes through the engine's queues, scheduler and shaper, and
#            none waits), on the same node
# GRO, GSO and TSO are off on every veth end, and IPv6 is off, so that only
# the generated frames cross.
#
# Columns:
#   sent/s         frames the generator sent, over its run time: above
#                  delivered/s, the forwarder dropped what it could not take
#   delivered/s    frames counted received on d0 over the generator's run time
#   fwd ns/frame   the forwarder's CPU time per delivered frame: utime + stime
#                  of its process from /proc/PID/stat. The kernel bridge has no
#                  process (it runs in softirq wherever a frame arrives), so
#                  its figure is the host one of the next column.
#   host ns/frame  CPU time of all CPUs during the run (/proc/stat: user, nice,
#                  system, irq, softirq, steal), less what the generator alone
#                  costs per frame it sends (measured first, with nothing
#                  forwarding), per delivered frame: the cost of forwarding
#                  wherever the host charges it, the same way for all three.
#   RTT med/p99 us the idle ping's round trip, median and 99th percentile, in
#                  microseconds, from ping's per-reply times (the first reply,
#                  which waits for ARP, left out); "-" when fewer than half of
#                  the replies came back
# then the ratios jxnode/plain of the rate and of the CPU time per frame, and
# jxnode_xdp/kbridge of the rate and of the host CPU time per frame, and
# eng_sched/eng_direct of the rate and of both CPU times per frame. A case
# that delivers nothing has no cost per frame ("-").
#
# Needs root, ip(8), ethtool, taskset and ping. JX_BIN_DIR names a build
# configured with -DJX_BENCH=ON (default: build/rel); DURATION defaults to 5
# seconds, PINGS to 500;
# THREADED=off has the node's ports run the bridge in their own thread instead
# of handing frames to the receive thread (the module's default, on).
# CASES lists the cases run, in order (default: all five); PREFIX starts the
# names of the namespaces and interfaces (jxb), so that runs may share a host.
set -u

top=$(cd "$(dirname "$0")/.." && pwd)
export JX_BIN_DIR=${JX_BIN_DIR:-$top/build/rel}
DURATION=${DURATION:-5}
PINGS=${PINGS:-500}
THREADED=${THREADED:-on}
PREFIX=${PREFIX:-jxb}
CASES=${CASES:-jxnode jxnode_xdp plain kbridge engine}
FWD=$JX_BIN_DIR/afp_forward

if [ "$(id -u)" -ne 0 ]; then
    echo "veth_forward: needs root" >&2
    exit 1
fi
# Tools and the packages that bring them.
need=()
command -v trafgen >/dev/null || need+=(netsniff-ng)
command -v ethtool >/dev/null || need+=(ethtool)
command -v ping >/dev/null || need+=(iputils-ping)
if [ ${#need[@]} -gt 0 ]; then
    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}") \
        >/dev/null 2>&1
fi
for tool in trafgen ip ethtool taskset ping; do
    if ! command -v $tool >/dev/null; then
        echo "veth_forward: $tool is missing" >&2
        exit 1
    fi
done

TMP=$(mktemp -d /tmp/jxbench.XXXXXX)
. "$top/tests/e2e/lib/node.sh"
. "$top/tests/e2e/lib/records.sh"
NSS=${PREFIX}s$$
NSD=${PREFIX}d$$
NSN=${PREFIX}n$$
F0=${PREFIX}f0$$
F1=${PREFIX}f1$$
KBR=${PREFIX}br$$
FWD_PID=
HZ=$(getconf CLK_TCK)
CPUS=$(nproc)
GEN_CPU=0
FWD_CPU=$((CPUS > 1 ? 1 : 0))

cleanup() {
    node_cleanup
    if [ -n "$FWD_PID" ]; then
        kill -KILL "$FWD_PID" 2>/dev/null
        wait "$FWD_PID" 2>/dev/null
    fi
    ip link del "$KBR" 2>/dev/null
    ip link del "$F0" 2>/dev/null
    ip link del "$F1" 2>/dev/null
    ip netns del "$NSS" 2>/dev/null
    ip netns del "$NSD" 2>/dev/null
    ip netns del "$NSN" 2>/dev/null
    rm -rf "$TMP"
}
trap cleanup EXIT

setup() {
    ip netns add "$NSS" && ip netns add "$NSD" &&
        ip link add "$F0" type veth peer name s0 netns "$NSS" &&
        ip link add "$F1" type veth peer name d0 netns "$NSD" || return 1
    local ns
    for ns in "$NSS" "$NSD"; do
        ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
    done
    sysctl -qw "net.ipv6.conf.$F0.disable_ipv6=1" "net.ipv6.conf.$F1.disable_ipv6=1"
    ethtool -K "$F0" gro off gso off tso off >/dev/null 2>&1
    ethtool -K "$F1" gro off gso off tso off >/dev/null 2>&1
    ip netns exec "$NSS" ethtool -K s0 gro off gso off tso off >/dev/null 2>&1
    ip netns exec "$NSD" ethtool -K d0 gro off gso off tso off >/dev/null 2>&1
    ip -n "$NSS" link set s0 up && ip -n "$NSD" link set d0 up &&
        ip link set "$F0" up && ip link set "$F1" up || return 1
    # For the ping only: the generated frames are to 192.0.2.2, which d0 does
    # not hold, so they are not answered.
    ip -n "$NSS" addr add 198.51.100.1/24 dev s0 &&
        ip -n "$NSD" addr add 198.51.100.2/24 dev d0 || return 1
    local dmac smac
    dmac=$(ip -n "$NSD" -o link show d0 | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p')
    smac=$(ip -n "$NSS" -o link show s0 | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p')
    cat >"$TMP/frame.cfg" <<EOF
{
  eth(da=$dmac, sa=$smac, type=0x0800),
  ipv4(saddr=192.0.2.1, daddr=192.0.2.2, ttl=64),
  udp(sp=4000, dp=4001),
  fill(0x00, 18)
}
EOF
    cat >"$TMP/announce.cfg" <<EOF
{
  eth(da=$smac, sa=$dmac, type=0x0800),
  ipv4(saddr=192.0.2.2, daddr=192.0.2.1, ttl=64),
  udp(sp=4001, dp=4000),
  fill(0x00, 18)
}
EOF
}

# d0 makes itself known to whatever forwards (three frames towards s0).
announce() {
    ip netns exec "$NSD" trafgen -o d0 -i "$TMP/announce.cfg" -n 3 -Q >/dev/null 2>&1
    sleep 0.2
}

# Counters in the namespaces and of the host.
rx_d0() { ip netns exec "$NSD" cat /sys/class/net/d0/statistics/rx_packets; }
tx_s0() { ip netns exec "$NSS" cat /sys/class/net/s0/statistics/tx_packets; }
host_busy() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9 }' /proc/stat; }
proc_cpu() { # utime + stime of a process, in ticks; the name may hold spaces
    if [ -z "$1" ] || [ ! -r "/proc/$1/stat" ]; then
        echo 0
        return
    fi
    sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'
}

# measure PID: runs the generator for DURATION seconds and sets GEN, DELIV,
# NS (elapsed ns), HOST and PROC (CPU ticks of the host and of PID).
measure() {
    local pid=$1 r0 s0 h0 p0 t0 t1
    announce
    r0=$(rx_d0)
    s0=$(tx_s0)
    h0=$(host_busy)
    p0=$(proc_cpu "$pid")
    t0=$(date +%s%N)
    ip netns exec "$NSS" taskset -c $GEN_CPU timeout -s INT "$DURATION" \
        trafgen -o s0 -i "$TMP/frame.cfg" -P 1 -Q -C >"$TMP/trafgen.out" 2>&1
    t1=$(date +%s%N)
    # Frames still in flight land; the pause is not part of any rate.
    sleep 0.5
    DELIV=$(($(rx_d0) - r0))
    GEN=$(($(tx_s0) - s0))
    HOST=$(($(host_busy) - h0))
    PROC=$(($(proc_cpu "$pid") - p0))
    NS=$((t1 - t0))
}

# latency: pings d0 from s0 through the forwarder now running and sets RTT to
# "median p99" in microseconds, or "- -". The first reply waits for ARP.
latency() {
    ip netns exec "$NSS" ping -c 1 -W 1 198.51.100.2 >/dev/null 2>&1
    RTT=$(ip netns exec "$NSS" ping -n -i 0.01 -W 1 -c "$PINGS" 198.51.100.2 2>/dev/null |
        sed -n 's/.* time=\([0-9.]*\) ms.*/\1/p' | sort -n | awk -v want="$PINGS" '
        { t[NR] = $1 * 1000 }
        END {
            if (NR == 0 || NR * 2 < want) { print "- -"; exit }
            p99 = int(NR * 0.99 + 0.999999)
            if (p99 > NR)
                p99 = NR
            printf "%.0f %.0f", t[int((NR + 1) / 2)], t[p99]
        }')
}

# Results: one line per case,
# "name sent_per_s delivered_per_s fwd_ns host_ns rtt_med rtt_p99".
ROWS=()
NOTES=()
# row NAME SELF: SELF=1 when PROC is the forwarder's own CPU time.
row() {
    local name=$1 self=$2
    ROWS+=("$(awk -v n="$name" -v d="$DELIV" -v g="$GEN" -v ns="$NS" -v host="$HOST" \
        -v proc="$PROC" -v hz="$HZ" -v base="$BASE_PER_FRAME" -v self="$self" 'BEGIN {
        rate = d / (ns / 1e9)
        if (d > 0) {
            h = (host / hz * 1e9 - base * g) / d
            f = self ? proc / hz * 1e9 / d : h
            printf "%s %.0f %.0f %.0f %.0f", n, g / (ns / 1e9), rate, f, h
        } else {
            printf "%s %.0f 0 - -", n, g / (ns / 1e9)
        }
    }') $RTT")
}

case_baseline() {
    measure ""
    BASE_PER_FRAME=$(awk -v g="$GEN" -v host="$HOST" -v hz="$HZ" \
        'BEGIN { print (g > 0 ? host / hz * 1e9 / g : 0) }')
    BASE_RATE=$(awk -v g="$GEN" -v ns="$NS" 'BEGIN { printf "%.0f", g / (ns / 1e9) }')
    if [ "$DELIV" -ne 0 ]; then
        echo "veth_forward: $DELIV frames crossed with nothing forwarding" >&2
    fi
}

# Adds a port to br0: device, kind, BLL number.
port_add() {
    "$JXPROC" ioctl /proc/net/jxbridge/br0/bridge 40047a02 "$(port_request "$1" 4294967295 "$2" "$3")" |
        grep -q '^rc=0$'
}

# case_jxnode NAME DRIVER: the node with its ports bound through DRIVER.
case_jxnode() {
    local name=$1 ok=1
    if ! JX_PORT_DRIVER=$2 start_node --port "$F0" --port "$F1"; then
        echo "veth_forward: $name did not start: $(tail -n 3 "$TMP/node.err")" >&2
        DELIV=0 GEN=0 NS=1 HOST=0 PROC=0 RTT="- -"
        row "$name" 1
        return
    fi
    taskset -a -cp $FWD_CPU "$NODE_PID" >/dev/null
    "$JXPROC" write /proc/net/jxbridge/config threaded enable "$THREADED" >/dev/null || ok=0
    "$JXPROC" write /proc/net/jxbridge/config add br0 4 >/dev/null || ok=0
    port_add "$F0" 1 1 || ok=0
    port_add "$F1" 0 2 || ok=0
    "$JXPROC" link "$F0" up && "$JXPROC" link "$F1" up && "$JXPROC" link br0 up || ok=0
    [ $ok = 1 ] || echo "veth_forward: $name: bridge setup incomplete" >&2
    measure "$NODE_PID"
    latency
    row "$name" 1
    # What the node's ports saw, for reading a rate of 0.
    NOTES+=("$("$JXPROC" link | grep -E ": ($F0|$F1): " | sed "s/^ */$name port /")")
    stop_node || echo "veth_forward: $name did not stop cleanly" >&2
}

# The veths' node ends move into NSN as eth1 and eth2 (out: back as F0, F1).
engine_ports() {
    local a b
    if [ "$1" = in ]; then
        ip netns add "$NSN" &&
            ip netns exec "$NSN" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
                net.ipv6.conf.default.disable_ipv6=1 &&
            ip -n "$NSN" link set lo up || return 1
        for a in "$F0:eth1" "$F1:eth2"; do
            b=${a#*:}
            a=${a%%:*}
            ip link set "$a" netns "$NSN" && ip -n "$NSN" link set "$a" name "$b" || return 1
            ip netns exec "$NSN" ethtool -K "$b" gro off gso off tso off >/dev/null 2>&1
            ip -n "$NSN" link set "$b" up || return 1
        done
    else
        for a in "eth1:$F0" "eth2:$F1"; do
            b=${a#*:}
            a=${a%%:*}
            ip -n "$NSN" link set "$a" netns $$ && ip link set "$a" name "$b" || return 1
            sysctl -qw "net.ipv6.conf.$b.disable_ipv6=1"
            ethtool -K "$b" gro off gso off tso off >/dev/null 2>&1
            ip link set "$b" up || return 1
        done
        ip netns del "$NSN"
    fi
}

case_engine() {
    local ok=1 row
    if ! engine_ports in; then
        echo "veth_forward: engine: cannot move the ports into $NSN" >&2
        return
    fi
    printf '#!/bin/sh\nexec ip netns exec %s %s "$@"\n' "$NSN" "$JX_BIN_DIR/jxnode" >"$TMP/jxnode-ns"
    chmod +x "$TMP/jxnode-ns"
    if ! JXNODE=$TMP/jxnode-ns JX_PORT_DRIVER=afpacket start_node --port eth1 --port eth2; then
        echo "veth_forward: engine did not start: $(tail -n 3 "$TMP/node.err")" >&2
        DELIV=0 GEN=0 NS=1 HOST=0 PROC=0 RTT="- -"
        row eng_direct 1
        row eng_sched 1
    else
        taskset -a -cp $FWD_CPU "$NODE_PID" >/dev/null
        "$JXPROC" write /proc/net/jxbridge/config threaded enable "$THREADED" >/dev/null || ok=0
        "$JXPROC" write /proc/net/jxbridge/config add br0 4 >/dev/null || ok=0
        port_add eth1 1 1 || ok=0
        port_add eth2 0 2 || ok=0
        "$JXPROC" link eth1 up && "$JXPROC" link eth2 up && "$JXPROC" link br0 up || ok=0
        [ $ok = 1 ] || echo "veth_forward: engine: bridge setup incomplete" >&2
        for row in eng_direct eng_sched; do
            # 4 Gbit/s: eight million 60-byte frames a second.
            if [ $row = eng_sched ] && ! "$JXPROC" write /proc/net/jxbridge/br0/qos \
                port eth2 shape 4000000 16384 >/dev/null; then
                echo "veth_forward: engine: the shaper was refused" >&2
            fi
            measure "$NODE_PID"
            latency
            row $row 1
        done
        NOTES+=("$("$JXPROC" link | grep -E ": (eth1|eth2): " | sed "s/^ */engine port /")")
        stop_node || echo "veth_forward: engine did not stop cleanly" >&2
    fi
    engine_ports out || echo "veth_forward: engine: cannot move the ports back" >&2
}

case_plain() {
    if [ ! -x "$FWD" ]; then
        echo "veth_forward: $FWD missing (configure with -DJX_BENCH=ON)" >&2
        DELIV=0 GEN=0 NS=1 HOST=0 PROC=0 RTT="- -"
        row plain 1
        return
    fi
    taskset -c $FWD_CPU "$FWD" "$F0" "$F1" >"$TMP/fwd.out" 2>&1 &
    FWD_PID=$!
    # The count is a guard against a forwarder that never starts.
    for _ in $(seq 100); do
        grep -q "forwarding" "$TMP/fwd.out" && break
        sleep 0.1
    done
    measure "$FWD_PID"
    latency
    row plain 1
    kill -INT "$FWD_PID"
    wait "$FWD_PID"
    FWD_PID=
}

case_kbridge() {
    ip link add "$KBR" type bridge &&
        sysctl -qw "net.ipv6.conf.$KBR.disable_ipv6=1" &&
        ip link set "$F0" master "$KBR" && ip link set "$F1" master "$KBR" &&
        ip link set "$KBR" up || echo "veth_forward: kernel bridge setup failed" >&2
    measure ""
    latency
    row kbridge 0
    ip link del "$KBR"
}

if ! setup; then
    echo "veth_forward: cannot build the namespaces and veth pairs" >&2
    exit 1
fi
case_baseline
for c in $CASES; do
    case $c in
    jxnode) case_jxnode jxnode afpacket ;;
    jxnode_xdp) case_jxnode jxnode_xdp xdp ;;
    plain) case_plain ;;
    kbridge) case_kbridge ;;
    engine) case_engine ;;
    *) echo "veth_forward: no case $c" >&2 ;;
    esac
done

echo "veth forwarding, 64-byte frames, ${DURATION}s per case, $CPUS CPU(s);" \
    "generator alone: $BASE_RATE frames/s; idle ping RTT in microseconds"
printf '%-11s %12s %12s %13s %14s %9s %9s\n' case sent/s delivered/s "fwd ns/frame" \
    "host ns/frame" "RTT med" "RTT p99"
for r in "${ROWS[@]}"; do
    # shellcheck disable=SC2086
    printf '%-11s %12s %12s %13s %14s %9s %9s\n' $r
done
[ ${#NOTES[@]} -gt 0 ] && printf '%s\n' "${NOTES[@]}"
printf '%s\n' "${ROWS[@]}" | awk '
    { rate[$1] = $3; cpu[$1] = $4; host[$1] = $5 }
    function ratio(a, b) { return (a == "-" || b == "-" || b == 0) ? "-" : sprintf("%.2f", a / b) }
    END {
        printf "jxnode/plain: rate %s, fwd CPU per frame %s, host CPU per frame %s\n",
            ratio(rate["jxnode"], rate["plain"]), ratio(cpu["jxnode"], cpu["plain"]),
            ratio(host["jxnode"], host["plain"])
        printf "jxnode_xdp/kbridge: rate %s, host CPU per frame %s\n",
            ratio(rate["jxnode_xdp"], rate["kbridge"]), ratio(host["jxnode_xdp"], host["kbridge"])
        if ("eng_sched" in rate)
            printf "eng_sched/eng_direct: rate %s, fwd CPU per frame %s, host CPU per frame %s\n",
                ratio(rate["eng_sched"], rate["eng_direct"]), ratio(cpu["eng_sched"], cpu["eng_direct"]),
                ratio(host["eng_sched"], host["eng_direct"])
    }'
