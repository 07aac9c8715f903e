#!/usr/bin/env bash
# MAC learning as RFC 2889 measures it (address learning rate, address caching
# capacity), jxnode beside the Linux bridge on the same topology:
#
#   [ns a] a0 ==veth== a1 \
#   [ns b] b0 ==veth== b1 -- bridge under test
#   [ns c] c0 ==veth== c1 /
#
# For N stations (STATIONS, default "8192 32768"):
#   learning rate  trafgen sends N frames from a0, each from a new source MAC
#                  and to b0's (known) address, at each rate of RATES frames/s
#                  in turn; the bridge's table is then read (jxnode: "mt show
#                  general"; Linux: "bridge fdb") and flushed. The figure is
#                  the highest rate at which all N were learned.
#   caching        N stations are learned at the lowest rate, then b0 sends
#                  one frame to each of them: frames that reach a0 were
#                  forwarded, frames that reach c0 were flooded (not held).
#                  "held" is what the table says it holds.
# Rates are what trafgen was asked for; on a busy 2-core host the generator
# may fall short of the higher ones, so read the figures as rough.
#
# Needs root, ip(8), trafgen (netsniff-ng), bridge(8) and JX_BIN_DIR (a build
# with jxnode, jxproc and jxbrctl; default build/release). PREFIX (default
# "mt") starts every namespace and interface name; KINDS the bridges measured
# (default "jxnode kbridge").
set -u

top=$(cd "$(dirname "$0")/.." && pwd)
export JX_BIN_DIR=${JX_BIN_DIR:-$top/build/release}
STATIONS=${STATIONS:-8192 32768}
RATES=${RATES:-25000 50000 100000 200000 400000}
PREFIX=${PREFIX:-mt}

if [ "$(id -u)" -ne 0 ]; then
    echo "mac_learning: needs root" >&2
    exit 1
fi
command -v trafgen >/dev/null ||
    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq netsniff-ng) >/dev/null 2>&1
for tool in trafgen ip bridge taskset; do
    command -v $tool >/dev/null || {
        echo "mac_learning: $tool is missing" >&2
        exit 1
    }
done

TMP=$(mktemp -d /tmp/jxmtbench.XXXXXX)
. "$top/tests/e2e/lib/node.sh"
. "$top/tests/e2e/lib/records.sh"
BRCTL=$BIN/jxbrctl
KBR=${PREFIX}kbr
BRN=${PREFIX}br
SIDES="a b c"
ns() { echo "${PREFIX}_$1"; }
B_MAC=02:ee:00:00:00:02

cleanup() {
    node_cleanup
    ip link del "$KBR" 2>/dev/null
    local s
    for s in $SIDES; do
        ip link del "${PREFIX}$s"1 2>/dev/null
        ip netns del "$(ns $s)" 2>/dev/null
    done
    rm -rf "$TMP"
}
trap cleanup EXIT

setup() {
    local s
    for s in $SIDES; do
        ip netns add "$(ns $s)" &&
            ip link add "${PREFIX}$s"1 type veth peer name "$s"0 netns "$(ns $s)" || return 1
        ip netns exec "$(ns $s)" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
        sysctl -qw "net.ipv6.conf.${PREFIX}${s}1.disable_ipv6=1"
        ip -n "$(ns $s)" link set "$s"0 up && ip link set "${PREFIX}$s"1 up || return 1
    done
    ip -n "$(ns b)" link set b0 address $B_MAC
}

# trafgen configurations: N frames from new stations to b0, and N from b0 to them.
configs() {
    python3 - "$1" "$TMP" <<'EOF'
import sys
n, tmp = int(sys.argv[1]), sys.argv[2]
b = [0x02, 0xee, 0, 0, 0, 2]
# An IPv4/UDP datagram from 192.0.2.1 to 192.0.2.2 (checksum included), as hosts send.
ip = [0x45, 0, 0, 46, 0, 0, 0x40, 0, 64, 17, 0, 0, 192, 0, 2, 1, 192, 0, 2, 2]
s = sum((ip[i] << 8) + ip[i + 1] for i in range(0, 20, 2))
s = (s & 0xffff) + (s >> 16)
ip[10:12] = [(~s >> 8) & 0xff, ~s & 0xff]
udp = [0x30, 0x39, 0x30, 0x39, 0, 26, 0, 0] + [0] * 18
def frame(dst, src):
    return "{ " + ", ".join("0x%02x" % x for x in dst + src + [0x08, 0x00] + ip + udp) + " }\n"
st = lambda i: [0x02, 0xaa, 0, (i >> 16) & 0xff, (i >> 8) & 0xff, i & 0xff]
with open(tmp + "/learn.cfg", "w") as f:
    f.writelines(frame(b, st(i)) for i in range(n))
with open(tmp + "/lookup.cfg", "w") as f:
    f.writelines(frame(st(i), b) for i in range(n))
with open(tmp + "/announce.cfg", "w") as f:
    f.write(frame([0xff] * 6, b))
EOF
}

rx_of() { ip netns exec "$(ns "$1")" cat "/sys/class/net/${1}0/statistics/rx_packets"; }
gen() { # side, config, frames, rate
    ip netns exec "$(ns "$1")" taskset -c 0 trafgen -o "$1"0 -i "$TMP/$2" -n "$3" -b "$4pps" -P 1 -Q \
        >/dev/null 2>&1
}

# The table's count of stations behind a0, and its flush, per bridge kind.
held() {
    if [ "$KIND" = jxnode ]; then
        "$BRCTL" "$BRN" mt show general | awk '/^Current size/ { print $3 - 1 }' # b0 is one
    else
        bridge fdb show br "$KBR" | grep -c '^02:aa:'
    fi
}
flush() {
    if [ "$KIND" = jxnode ]; then
        "$JXPROC" write "/proc/net/jxbridge/$BRN/mac_table" flush >/dev/null
    else
        ip link set "$KBR" type bridge fdb_flush
    fi
    gen b announce.cfg 1 1000
    sleep 0.2
}

measure() { # N
    local n=$1 rate best=- low=${RATES%% *} a c h
    for rate in $RATES; do
        flush
        gen a learn.cfg "$n" "$rate"
        sleep 0.5
        h=$(held)
        [ "$h" -ge "$n" ] && best=$rate
        NOTES+=("$KIND N=$n at $rate/s: $h learned")
    done
    flush
    gen a learn.cfg "$n" "$low"
    sleep 0.5
    h=$(held)
    a=$(rx_of a)
    c=$(rx_of c)
    gen b lookup.cfg "$n" "$low"
    sleep 0.5
    a=$(($(rx_of a) - a))
    c=$(($(rx_of c) - c))
    printf '%-8s %6d %14s %8d %10d %9d\n' "$KIND" "$n" "$best" "$h" "$a" "$c"
}

run_jxnode() {
    KIND=jxnode
    start_node --port "${PREFIX}a1" --port "${PREFIX}b1" --port "${PREFIX}c1" || {
        echo "mac_learning: jxnode did not start" >&2
        return
    }
    taskset -a -cp 1 "$NODE_PID" >/dev/null
    "$JXPROC" write /proc/net/jxbridge/config add "$BRN" 4 >/dev/null
    local s i=1
    for s in $SIDES; do
        "$JXPROC" ioctl "/proc/net/jxbridge/$BRN/bridge" 40047a02 \
            "$(port_request "${PREFIX}${s}1" 4294967295 1 $i)" >/dev/null
        "$JXPROC" link "${PREFIX}${s}1" up >/dev/null
        i=$((i + 1))
    done
    "$JXPROC" link "$BRN" up >/dev/null
    for n in $STATIONS; do
        configs "$n"
        measure "$n"
    done
    stop_node
}

run_kbridge() {
    KIND=kbridge
    ip link add "$KBR" type bridge && sysctl -qw "net.ipv6.conf.$KBR.disable_ipv6=1" || return
    local s
    for s in $SIDES; do ip link set "${PREFIX}${s}1" master "$KBR"; done
    ip link set "$KBR" up
    # Ports forward once the bridge has seen their carrier.
    for _ in $(seq 50); do
        bridge link show | grep -c 'master '"$KBR"'.*state forwarding' | grep -qx 3 && break
        sleep 0.1
    done
    for n in $STATIONS; do
        configs "$n"
        measure "$n"
    done
    ip link del "$KBR"
}

setup || {
    echo "mac_learning: cannot build the namespaces" >&2
    exit 1
}
NOTES=()
printf '%-8s %6s %14s %8s %10s %9s\n' bridge N "learn rate/s" held forwarded flooded
for k in ${KINDS:-jxnode kbridge}; do "run_$k"; done
printf '%s\n' "${NOTES[@]}"
