#!/usr/bin/env bash
# Soak: MINUTES (default 30; or SECS seconds) of traffic, configuration churn, killed clients and
# vanishing interfaces against one jxnode, by default the AddressSanitizer
# build (JX_BIN_DIR, default build/asan). Run by hand, never in CI.
#
#   subscribers 1-3 ==veth== jxnode (bridge br0) ==veth== subscriber 4
#
# - Traffic: iperf3 TCP from subscriber 1 to 4 for the whole run (at RATE,
#   default 100M; 0 is as fast as it goes), and trafgen UDP frames from
#   subscriber 2 (one every GAP, default 50us).
# - Churn, in a loop: a second bridge added and deleted; VLANs added, given to
#   a port and deleted; ACL and QoS entries added and deleted, among them a
#   copy to subscriber 3's port; subscriber 3's port taken out of br0 and put back;
#   every tenth round its interface deleted and made again (the node binds
#   it again within a second); clients killed in the middle of a blocking
#   read and of a read-out.
# - Every SAMPLE seconds (default 10): whether the node answers within 5 s,
#   its resident memory, descriptors and threads.
# At the end the node is stopped with SIGTERM and the run passes when:
#   the node answered every sample; memory after warm-up (the first quarter)
#   grew by at most 10% + 8 MiB and descriptors by at most 2 (a client may be
#   in flight); it exited 0 with no frame or buffer still allocated and no
#   sanitizer report; on the ports that stayed in br0, every frame a driver
#   passed up was counted by the bridge (received, or dropped while the bridge
#   was down or its queue full). The figures (start and end, frames and drops by port)
#   are printed, and kept in $TMP/report when KEEP=1.
#
# Needs root, ip(8), iperf3 and trafgen (installed with apt-get if missing).
set -u

top=$(cd "$(dirname "$0")/.." && pwd)
# The node's br0 makes host devices of fixed names: one node at a time on a
# host, as the end-to-end tests take it.
[ -n "${JX_SOAK_LOCKED:-}" ] ||
    JX_SOAK_LOCKED=1 exec flock -o /tmp/jxbridge-e2e.lock bash "$0" "$@"
export JX_BIN_DIR=${JX_BIN_DIR:-$top/build/asan}
MINUTES=${MINUTES:-30}
SAMPLE=${SAMPLE:-10}
GAP=${GAP:-50us}
RATE=${RATE:-100M}
KEEP=${KEEP:-0}

if [ "$(id -u)" -ne 0 ]; then
    echo "soak: needs root" >&2
    exit 1
fi
need=()
command -v iperf3 >/dev/null || need+=(iperf3)
command -v trafgen >/dev/null || need+=(netsniff-ng)
if [ ${#need[@]} -gt 0 ]; then
    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}") \
        >/dev/null 2>&1
fi

TMP=$(mktemp -d /tmp/jxsoak.XXXXXX)
. "$top/tests/e2e/lib/node.sh"
. "$top/tests/e2e/lib/records.sh"
SUB=sk$$
NET=10.88.0
N=4
BRN=br0
BR=/proc/net/jxbridge/$BRN/bridge
VLAN=/proc/net/jxbridge/$BRN/vlan
ACL=/proc/net/jxbridge/$BRN/acl
QOS=/proc/net/jxbridge/$BRN/qos
. "$top/tests/e2e/lib/subscribers.sh"
BG=()
TRAFGEN=

cleanup() {
    local p
    [ -n "$TRAFGEN" ] && kill -KILL -- -"$TRAFGEN" 2>/dev/null
    for p in "${BG[@]}"; do kill -KILL "$p" 2>/dev/null; done
    wait 2>/dev/null
    node_cleanup
    subscribers_cleanup
    [ "$KEEP" = 1 ] && echo "soak: kept $TMP" || rm -rf "$TMP"
}
trap cleanup EXIT

# Subscriber 3's interface made again, as after a vanished NIC.
remake_port3() {
    ip link del "$(port 3)" 2>/dev/null
    ip link add "$(port 3)" type veth peer name "$(peer 3)" netns "$(ns 3)" &&
        ip -n "$(ns 3)" link set "$(peer 3)" address "$(mac_of 3)" &&
        ip -n "$(ns 3)" addr add "$NET.3/24" dev "$(peer 3)" &&
        ip -n "$(ns 3)" link set "$(peer 3)" up
}
port3_request() { port_request "$(port 3)" 4294967295 1 103; }
port3_name() { printf '%s' "$(port 3)" | od -An -tx1 | tr -d ' \n'; }

churn() {
    local round=0 vid
    while [ -e "$TMP/running" ]; do
        round=$((round + 1))
        "$JXPROC" write $CONFIG add br9 4 >/dev/null 2>&1
        "$JXPROC" write $CONFIG del br9 >/dev/null 2>&1
        vid=$((1000 + round % 500))
        "$JXPROC" write $VLAN vlan add $vid >/dev/null 2>&1
        "$JXPROC" write $VLAN membership add "$(port 4)" $vid >/dev/null 2>&1
        "$JXPROC" write $VLAN membership del "$(port 4)" $vid >/dev/null 2>&1
        "$JXPROC" write $VLAN vlan del $vid >/dev/null 2>&1
        # Entries come and go under traffic; the copy names the port that
        # is about to go.
        "$JXPROC" write $ACL port-entry add "$(port 2)" ingress 10 udp cp >/dev/null 2>&1
        "$JXPROC" write $QOS port-entry add "$(port 4)" egress 1 all ef >/dev/null 2>&1
        "$JXPROC" write $ACL counter add "c$round" >/dev/null 2>&1
        "$JXPROC" ioctl $BR 40047a03 "$(port3_name)00" >/dev/null 2>&1
        "$JXPROC" write $ACL counter del "c$round" >/dev/null 2>&1
        "$JXPROC" write $QOS port-entry del "$(port 4)" egress 1 >/dev/null 2>&1
        if [ $((round % 10)) -eq 0 ]; then
            remake_port3
            # The node binds it again within a second; the guard is for a hang.
            local i
            for i in $(seq 50); do
                "$JXPROC" link 2>/dev/null | grep -q " $(port 3):" && break
                sleep 0.1
            done
            "$JXPROC" link "$(port 3)" up >/dev/null 2>&1
        fi
        "$JXPROC" ioctl $BR 40047a02 "$(port3_request)" >/dev/null 2>&1
        "$JXPROC" write $ACL port-entry del "$(port 2)" ingress 10 >/dev/null 2>&1
        # A client killed in a blocking read, and one killed mid read-out.
        "$JXPROC" follow /proc/net/jxbridge/$BRN/tracer >/dev/null 2>&1 &
        sleep 0.3
        kill -KILL $! 2>/dev/null
        wait $! 2>/dev/null
        "$JXPROC" cat $CONFIG >/dev/null 2>&1 &
        kill -KILL $! 2>/dev/null
        wait $! 2>/dev/null
        echo $round >"$TMP/rounds"
    done
}

# Driver frames passed up, and what the bridge counted of them, for port i.
driver_rx() { "$JXPROC" link | awk -v d="$(port "$1"):" '$2 == d { sub(/rx=/, "", $4); print $4 }'; }
bridge_rx() {
    "$BIN/jxbrctl" $BRN stat port "$(port "$1")" 2>/dev/null |
        awk '{ n = $0; sub(/[.]+[0-9]+$/, "", n); v = $0; sub(/^[^.]*[.]+/, "", v) }
            n == "rx_pkts" || n == "drop_bridge_down" || n == "rx_discard_queue_full" { s += v }
            END { print s + 0 }'
}
# Read between two driver reads, the bridge's count lies between them.
balance() {
    local i d0 b d1 out=
    for i in 1 2 4; do
        d0=$(driver_rx "$i")
        b=$(bridge_rx "$i")
        d1=$(driver_rx "$i")
        if [ -z "$d0" ] || [ "$b" -lt "$d0" ] || [ "$b" -gt "$d1" ]; then
            out+=" $(port "$i"): driver ${d0:-?}..${d1:-?}, bridge $b;"
        fi
    done
    echo "$out"
}

sample() {
    local pid=$NODE_PID answered=no
    timeout 5 "$JXPROC" cat $CONFIG >/dev/null 2>&1 && answered=yes
    local rss fds threads
    rss=$(awk '/^VmRSS:/ { print $2 }' /proc/$pid/status)
    threads=$(awk '/^Threads:/ { print $2 }' /proc/$pid/status)
    fds=$(ls /proc/$pid/fd | wc -l)
    echo "$1 $answered $rss $fds $threads"
}

# Per port: the device's frames and drops, and the bridge's non-zero drop counters.
port_figures() {
    "$JXPROC" link | grep " ${SUB}p"
    local i
    for i in $(seq $N); do
        "$BIN/jxbrctl" $BRN stat port "$(port "$i")" 2>/dev/null |
            awk -v p="$(port "$i")" '{ n = $0; sub(/[.]+[0-9]+$/, "", n); v = $0; sub(/^[^.]*[.]+/, "", v) }
                n ~ /^(rx_pkts|tx_pkts|rx_discard|tx_discard|drop_)/ && v + 0 != 0 {
                printf "  %s %s=%s\n", p, n, v }'
    done
}

if ! subscribers_setup; then
    echo "soak: namespace setup failed" >&2
    exit 1
fi
ports=()
for i in $(seq $N); do ports+=(--port "$(port "$i")"); done
export ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=16
if ! start_node "${ports[@]}"; then
    echo "soak: the node did not start" >&2
    cat "$TMP/node.err" >&2
    exit 1
fi
if ! build_bridge; then
    echo "soak: bridge setup failed" >&2
    exit 1
fi
# What the churn adds entries with: subscriber 2's UDP copied to port 3 and
# counted, and a DSCP rewrite towards the uplink.
rules_ok=1
for c in "$ACL selector add udp" "$ACL condition add udp 1 ip_protocol 17" \
    "$ACL counter add udp_c" "$ACL action-list add cp" "$ACL action add cp 1 counter_inc udp_c" \
    "$ACL action add cp 2 copy $(port 3)" "$ACL default-action-list $(port 2) ingress true pass" \
    "$QOS selector add all" "$QOS condition add all 1 true" "$QOS action-list add ef" \
    "$QOS action add ef 1 set_ipv4_dscp 46"; do
    # shellcheck disable=SC2086 # a file and its words
    "$JXPROC" write $c >/dev/null || { echo "soak: refused: $c" >&2; rules_ok=0; }
done
[ "$rules_ok" = 1 ] || exit 1

secs=${SECS:-$((MINUTES * 60))}
ip netns exec "$(ns 4)" iperf3 -s -D -1 --logfile "$TMP/iperf3-s.log"
sleep 0.5
ip netns exec "$(ns 1)" iperf3 -c "$NET.4" -t "$secs" -b "$RATE" -i 0 >"$TMP/iperf3.log" 2>&1 &
BG+=($!)
cat >"$TMP/udp.cfg" <<EOF
{ eth(da=$(mac_of 4), sa=$(mac_of 2), type=0x0800),
  ipv4(saddr=$NET.2, daddr=$NET.4, ttl=64), udp(sport=4000, dport=4001), fill(0x55, 18) }
EOF
# In a process group of its own, which is how it is stopped: trafgen waits
# for its worker, which the signal to trafgen alone does not stop.
setsid ip netns exec "$(ns 2)" trafgen -q -P 1 -o "$(peer 2)" -i "$TMP/udp.cfg" -t "$GAP" \
    >/dev/null 2>&1 &
TRAFGEN=$!
touch "$TMP/running"
churn &
BG+=($!)

echo "soak: ${secs}s; samples every ${SAMPLE}s (seconds answered rss_kB fds threads)"
start=$(date +%s)
: >"$TMP/samples"
while [ $(($(date +%s) - start)) -lt "$secs" ]; do
    sample $(($(date +%s) - start)) | tee -a "$TMP/samples"
    sleep "$SAMPLE"
done
sample $(($(date +%s) - start)) | tee -a "$TMP/samples"
rm -f "$TMP/running"
kill -TERM -- -"$TRAFGEN" 2>/dev/null
for p in "${BG[@]}"; do kill -TERM "$p" 2>/dev/null; done
wait "$TRAFGEN" "${BG[@]}" 2>/dev/null
BG=()
TRAFGEN=
sleep 1
figures=$(port_figures)
unbalanced=$(balance)
stop_node
rc=$?

fails=0
verdict() {
    echo "$1: $2"
    [ "$1" = PASS ] || fails=$((fails + 1))
}
n=$(wc -l <"$TMP/samples")
warm=$(sed -n "$((n / 4 + 1))p" "$TMP/samples")
last=$(tail -n 1 "$TMP/samples")
read -r _ _ rss0 fds0 thr0 <<<"$warm"
read -r _ _ rss1 fds1 thr1 <<<"$last"
if grep -q ' no ' "$TMP/samples"; then
    verdict FAIL "the node did not answer $(grep -c ' no ' "$TMP/samples") of $n samples"
else
    verdict PASS "the node answered all $n samples"
fi
if [ "$rss1" -le $((rss0 + rss0 / 10 + 8192)) ]; then
    verdict PASS "memory after warm-up ${rss0} kB, at the end ${rss1} kB"
else
    verdict FAIL "memory grew from ${rss0} kB to ${rss1} kB"
fi
if [ "$fds1" -le $((fds0 + 2)) ]; then
    verdict PASS "descriptors after warm-up $fds0, at the end $fds1 (threads $thr0, $thr1)"
else
    verdict FAIL "descriptors grew from $fds0 to $fds1"
fi
stopped=$(grep '^jxnode: stopped;' "$TMP/node.err")
if [ "$rc" -eq 0 ] && echo "$stopped" | grep -q 'frames in use 0, buffers in use 0$'; then
    verdict PASS "node exited 0; $stopped"
else
    verdict FAIL "node exit $rc; ${stopped:-no stop line}"
fi
if [ -z "$unbalanced" ]; then
    verdict PASS "every frame the drivers passed up was counted by the bridge"
else
    verdict FAIL "counters do not balance:$unbalanced"
fi
if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error' "$TMP/node.err"; then
    verdict FAIL "sanitizer report in the node's log"
    grep -A20 -E 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error' "$TMP/node.err" | head -60
else
    verdict PASS "no sanitizer report"
fi
echo "churn rounds: $(cat "$TMP/rounds" 2>/dev/null || echo 0)"
echo "iperf3: $(grep -E 'receiver' "$TMP/iperf3.log" | tail -n 1)"
echo "ports at the end:"
echo "$figures"
[ "$fails" -eq 0 ] && echo "soak: passed" || echo "soak: $fails check(s) failed"
[ "$fails" -eq 0 ]
