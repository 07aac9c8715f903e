#!/usr/bin/env bash
# The demonstration: a software access node between network namespaces.
#
#   [jxdemo-sub1] eth0 10.100.0.1 ==veth== gponjxd1 \
#   [jxdemo-sub2] eth0 10.100.0.2 ==veth== gponjxd2  >- jxnode br0 -- ethjxd0 ==veth== eth0 [jxdemo-up]
#   [jxdemo-sub3] eth0 10.200.0.3 ==veth== gponjxd3 /          router: VLAN 100 10.100.0.254
#                                                                      VLAN 200 10.200.0.254
#
# Subscribers 1 and 2 are untagged members of VLAN 100, subscriber 3 of VLAN
# 200; the uplink carries both VLANs tagged, to a router (uplink_router.py,
# which answers ARP and ping on tagged frames without the host's 802.1Q
# devices). The bridge is built with jxbrctl and the control files, as the
# node's management software would; then real pings cross it, tcpdump shows
# the tags on the uplink, and jxbrctl prints the counters and the flows the
# flow manager saw. Everything it creates is removed on exit or interruption.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
if [ "$(id -u)" -ne 0 ]; then
    echo "demo: run as root: it creates network namespaces and veth pairs" >&2
    exit 1
fi
# JX_BIN_DIR: an existing build to run (the tests use it); else build one.
if [ -n "${JX_BIN_DIR:-}" ]; then
    BIN=$JX_BIN_DIR
else
    bash scripts/deps.sh
    bash scripts/build.sh build/release Release >/dev/null
    BIN=$top/build/release
fi
work=$(mktemp -d /tmp/jxdemo.XXXXXX)
export JXNODE_SOCKET=$work/ctl.sock
BR=br0
UPLINK=ethjxd0 # "eth...": jxbrctl makes it an uplink port
SUBS=(gponjxd1 gponjxd2 gponjxd3) # "gpon...": access ports
NAMESPACES=(jxdemo-up jxdemo-sub1 jxdemo-sub2 jxdemo-sub3)
node_pid=
dump_pid=
router_pid=

cleanup() {
    trap - EXIT INT TERM
    set +e # everything is removed, whatever fails on the way
    local p
    for p in $dump_pid $router_pid; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
    dump_pid= router_pid=
    if [ -n "$node_pid" ] && kill -0 "$node_pid" 2>/dev/null; then
        kill -TERM "$node_pid"
        wait "$node_pid"
    fi
    node_pid=
    local n d
    for d in "$UPLINK" "${SUBS[@]}"; do ip link del "$d" 2>/dev/null || true; done
    for n in "${NAMESPACES[@]}"; do ip netns del "$n" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step() { printf '\n== %s\n' "$*"; }
show() {
    printf '$ %s\n' "${*#"$BIN/"}"
    "$@"
}
brctl() { show "$BIN/jxbrctl" "$@"; }
jxproc() { "$BIN/jxproc" "$@" >/dev/null; }
in_ns() {
    local n=$1
    shift
    ip netns exec "$n" "$@"
}

# A previous run killed before its clean-up leaves these behind.
for d in "$UPLINK" "${SUBS[@]}"; do ip link del "$d" 2>/dev/null || true; done
for n in "${NAMESPACES[@]}"; do ip netns del "$n" 2>/dev/null || true; done

# One namespace and its veth pair: the node's end in the root namespace, eth0 inside.
attach() {
    local ns=$1 dev=$2 mac=$3
    ip netns add "$ns"
    ip link add "$dev" type veth peer name eth0 netns "$ns"
    # The node's end carries no host traffic of its own.
    sysctl -qw "net.ipv6.conf.$dev.disable_ipv6=1"
    in_ns "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
    # Frames leave the namespace whole, as on a real line.
    in_ns "$ns" ethtool -K eth0 tso off gso off >/dev/null 2>&1 || true
    ip -n "$ns" link set eth0 address "$mac" up
    ip -n "$ns" link set lo up
}

step "the network: three subscribers and an uplink, each in its own namespace"
attach jxdemo-up "$UPLINK" 02:00:00:00:01:00
# Started by ip(8) itself, which becomes the router: its pid is the router's.
ip netns exec jxdemo-up /usr/bin/python3 scripts/uplink_router.py eth0 100=10.100.0.254 200=10.200.0.254 \
    >"$work/router.out" 2>&1 &
router_pid=$!
subnet=(100 100 200)
for i in 1 2 3; do
    attach "jxdemo-sub$i" "${SUBS[i - 1]}" "02:00:00:00:00:0$i"
    ip -n "jxdemo-sub$i" addr add "10.${subnet[i - 1]}.0.$i/24" dev eth0
done
for n in "${NAMESPACES[@]}"; do
    printf '%-12s %s\n' "$n" "$(ip -n "$n" -br addr show | awk '$1 != "lo" { printf "%s %s  ", $1, $3 }')"
done
# A guard against a router that never comes up, not a wait for time.
for t in $(seq 300); do grep -qs '^ready' "$work/router.out" && break || sleep 0.1; done
grep -qs '^ready' "$work/router.out" || {
    echo "the uplink router did not start:" >&2
    cat "$work/router.out" >&2
    exit 1
}
echo "jxdemo-up    router on eth0: VLAN 100 10.100.0.254, VLAN 200 10.200.0.254"

step "starting jxnode with its flow manager on the four node-side interfaces (log: $work/node.log)"
ports=()
for d in "$UPLINK" "${SUBS[@]}"; do ports+=(--port "$d"); done
mkfifo "$work/ready"
"$BIN/jxnode" --flow-manager "${ports[@]}" >"$work/ready" 2>"$work/node.log" &
node_pid=$!
exec 3<"$work/ready"
while :; do
    if ! read -r -t 60 line <&3; then
        echo "jxnode did not start:" >&2
        tail -n 5 "$work/node.log" >&2
        exit 1
    fi
    case $line in "jxnode: serving on "*) break ;; esac
done
echo "$line"
cat <&3 >/dev/null &
exec 3<&-

step "a bridge with jxbrctl: one uplink, three access ports"
brctl add $BR 8
for d in "$UPLINK" "${SUBS[@]}"; do brctl $BR if "$d"; done
brctl $BR show
brctl $BR info
# The port devices come up; their lines follow the interfaces' carrier.
for d in "$UPLINK" "${SUBS[@]}"; do
    jxproc link "$d" up
done

step "VLANs: subscribers 1 and 2 in VLAN 100, subscriber 3 in VLAN 200, both tagged on the uplink"
brctl $BR vlan add 100
brctl $BR vlan add 200
for i in 1 2 3; do
    d=${SUBS[i - 1]} v=${subnet[i - 1]}
    brctl $BR addOnPort "$d" "$v"
    brctl $BR delOnPort "$d" 1
    brctl $BR pvidOnPort "$d" "$v"
    brctl $BR acceptOnPort "$d" untagged
done
for v in 100 200; do
    brctl $BR addOnPort $UPLINK $v
    brctl $BR tagOnPort $UPLINK $v keep
done
brctl $BR vlan show
show "$BIN/jxproc" cat /proc/net/jxbridge/$BR/vlan
jxproc link $BR up

step "traffic: tcpdump on the uplink while the subscribers ping"
ip netns exec jxdemo-up tcpdump -i eth0 --immediate-mode -U -n -w "$work/uplink.pcap" 'icmp or arp' \
    2>"$work/dump.err" &
dump_pid=$!
for t in $(seq 100); do grep -qs listening "$work/dump.err" && break || sleep 0.1; done
ping_from() {
    local i=$1 to=$2 what=$3
    printf '$ ip netns exec jxdemo-sub%s ping -c 3 %s   # %s\n' "$i" "$to" "$what"
    local out rc=0
    out=$(in_ns "jxdemo-sub$i" ping -c 3 -i 0.2 -W 2 "$to") || rc=$?
    printf '%s\n' "$out" | grep -E "transmitted|rtt"
    [ $rc -eq 0 ] && echo "   -> reached" || echo "   -> no answer"
}
ping_from 1 10.100.0.254 "subscriber 1 to the uplink, VLAN 100"
ping_from 2 10.100.0.254 "subscriber 2 to the uplink, VLAN 100"
ping_from 3 10.200.0.254 "subscriber 3 to the uplink, VLAN 200"
ping_from 1 10.100.0.2 "subscriber 1 to subscriber 2, the same VLAN"
ip -n jxdemo-sub3 addr add 10.100.0.3/24 dev eth0
ping_from 3 10.100.0.1 "subscriber 3 to subscriber 1 across VLANs: the bridge keeps them apart"
sleep 0.5
kill "$dump_pid" 2>/dev/null || true
wait "$dump_pid" 2>/dev/null || true
dump_pid=
echo
echo "what tcpdump saw on the uplink (the VLAN tag of each frame after the MACs):"
tcpdump -r "$work/uplink.pcap" -n -e 2>/dev/null | cut -c 17- | head -n 24

step "port counters"
brctl $BR stat port $UPLINK
for d in "${SUBS[@]}"; do
    printf '$ jxbrctl %s stat port %s | grep -E "rx_pkts|tx_pkts|drop_vlan"\n' $BR "$d"
    "$BIN/jxbrctl" $BR stat port "$d" | grep -E "^(rx_pkts|tx_pkts|drop_vlan)[.]" || true
done

step "the flows the flow manager saw"
"$BIN/jxbrctl" $BR flow show list | sed -n '1,/^Drop flow/p'

step "stopping: jxnode ends, namespaces and interfaces go"
kill -TERM "$node_pid"
wait "$node_pid"
node_pid=
cleanup
echo "done"
