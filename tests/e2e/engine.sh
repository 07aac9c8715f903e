#!/usr/bin/env bash
# The packet engine on real traffic: jxnode runs in a namespace of its own,
# where its ports are veths named as the engine's ports (eth1-eth3), each
# joined to a subscriber namespace. What the qos and bridge files program acts
# on what the subscribers receive: a port shaper (iperf3 UDP and TCP), strict
# priority by DSCP (iperf3 and ping), queues sharing by weight (iperf3), a
# two-rate policer (its drops against iperf3's losses) and a broadcast storm
# limit (trafgen).
#
# Needs root, ip(8), iperf3, trafgen (netsniff-ng) and JX_BIN_DIR, the build
# directory holding jxnode, jxproc and jxbrctl. PREFIX (pe) starts every
# namespace and subscriber-side name.
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v iperf3 >/dev/null ||
    ! command -v trafgen >/dev/null; then
    echo "SKIP: needs root, ip(8), iperf3 and trafgen"
    exit 0
fi

TMP=$(mktemp -d /tmp/pe-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
BRCTL=$BIN/jxbrctl
P=${PREFIX:-pe}
NODE_NS=${P}_n
BRN=${P}br
BR=/proc/net/jxbridge/$BRN/bridge
QOS=/proc/net/jxbridge/$BRN/qos
NET=10.81.0
SHAPE=20000 # kbit/s, a multiple of 64 rounds to 20032
PIDS=()

cat >"$TMP/jxnode" <<EOF
#!/bin/sh
exec ip netns exec $NODE_NS $BIN/jxnode "\$@"
EOF
chmod +x "$TMP/jxnode"
JXNODE=$TMP/jxnode

sub() { echo "${P}_s$1"; }   # subscriber i's namespace
dev() { echo "${P}_s${1}b"; } # its end of the veth; the node's end is eth<i>
sx() {
    local i=$1
    shift
    ip netns exec "$(sub "$i")" "$@"
}

cleanup() {
    local p i
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
    node_cleanup
    # What ran in a namespace (the iperf3 servers) ends with it: the pid in
    # PIDS is the shell around \`ip netns exec\`, not the server.
    for i in 1 2 3; do
        ip netns pids "$(sub "$i")" 2>/dev/null | xargs -r kill -KILL 2>/dev/null
        ip netns del "$(sub "$i")" 2>/dev/null
    done
    ip netns del "$NODE_NS" 2>/dev/null
    rm -rf "$TMP"
}
trap cleanup EXIT

setup() {
    local i
    ip netns del "$NODE_NS" 2>/dev/null
    ip netns add "$NODE_NS" || return 1
    ip netns exec "$NODE_NS" ip link set lo up
    ip netns exec "$NODE_NS" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
    for i in 1 2 3; do
        ip netns del "$(sub "$i")" 2>/dev/null
        ip netns add "$(sub "$i")" || return 1
        ip link add "eth$i" netns "$NODE_NS" type veth peer name "$(dev "$i")" netns "$(sub "$i")" ||
            return 1
        sx "$i" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
        sx "$i" ethtool -K "$(dev "$i")" tso off gso off 2>/dev/null
        ip -n "$(sub "$i")" link set "$(dev "$i")" address "02:00:00:00:81:0$i" up || return 1
        ip -n "$(sub "$i")" addr add "$NET.$i/24" dev "$(dev "$i")" || return 1
        ip -n "$(sub "$i")" link set lo up
    done
}

build_bridge() {
    "$JXPROC" write $CONFIG add "$BRN" 8 >/dev/null || return 1
    local i
    for i in 1 2 3; do
        "$JXPROC" link "eth$i" up || return 1
        "$JXPROC" ioctl "$BR" 40047a02 "$(port_request "eth$i" 4294967295 1 $((100 + i)))" |
            grep -q '^rc=0$' || return 1
    done
    "$JXPROC" link "$BRN" up
}

qos() { "$JXPROC" write "$QOS" "$@" >/dev/null; }
qos_ioctl() { "$JXPROC" ioctl "$QOS" "$1" "$2" | grep -q '^rc=0$'; }
# The qos file's 268-byte action record: list, number, action code, a u32 parameter.
action_record() { printf '%s%s%s%s%s' "$(name_field "$1" 128)" "$(le32 "$2")" "$(le32 "$3")" "$(le32 "${4:-0}")" "$(name_field "" 128)"; }
# The 40-byte port record of a policer: port, id, cir, cbs, pir, pbs (kbit/s, kbit).
policer_record() { printf '%s000000%s%s%s%s%s' "$(name_field "$1" 17)" "$(le32 "$2")" "$(le32 "$3")" "$(le32 "$4")" "$(le32 "$5")" "$(le32 "$6")"; }
A_ENTRY_ASSIGN_QUEUE=27
A_POLICY_TWO_RATE=28

port_counter() { "$BRCTL" "$BRN" stat port "$1" | sed -n "s/^$2[. ]*//p"; }
# A u32 of the port's counter record (all counters), by its offset in the block;
# for the counters jxbrctl does not print.
block_u32() {
    local h
    h=$("$JXPROC" ioctl "$BR" 80047a09 "$(name_field "$1" 17)000000$(le32 0)$(printf '%0688d' 0)" |
        sed -n 2p | cut -c$(((24 + $2) * 2 + 1))-$(((28 + $2) * 2)))
    printf '%d' "0x${h:6:2}${h:4:2}${h:2:2}${h:0:2}"
}
DROP_QOS_POLICER=192

# iperf3 servers in subscriber 2 (ports 5201, 5202), up until the end.
start_servers() {
    local port
    for port in 5201 5202; do
        sx 2 iperf3 -s -p $port >/dev/null 2>&1 &
        PIDS+=($!)
    done
    local t
    for t in $(seq 100); do
        sx 2 ss -ltn | grep -q ':5202 ' && return 0
        sleep 0.1
    done
    return 1
}
# iperf3 from subscriber i into file (the rest are its arguments). A server
# still closing the last test refuses a new one: that is tried again.
iperf() {
    local i=$1 out=$2 try
    shift 2
    for try in 1 2 3 4 5; do
        sx "$i" iperf3 -J "$@" >"$out" 2>&1
        grep -q '"error":.*busy' "$out" || return 0
        sleep 1
    done
}
# A field of iperf3's JSON report (python3 reads it).
json() { python3 -c "import json,sys; d=json.load(open('$1')); print($2)"; }
within() { python3 -c "import sys; v,lo,hi=map(float,sys.argv[1:]); sys.exit(0 if lo<=v<=hi else 1)" "$@"; }

case_shaper() {
    qos port eth2 shape $SHAPE 256 || { fail "port shaper through the qos file"; return; }
    iperf 1 "$TMP/udp.json" -c $NET.2 -p 5201 -u -b 100M -t 5
    local rx
    rx=$(json "$TMP/udp.json" "d['end']['sum_received']['bits_per_second']/1e6") ||
        { fail "iperf3 UDP through the shaper" "$(head -c 300 "$TMP/udp.json")"; return; }
    # The shaper counts whole frames: iperf3's 1460-byte payloads are 1502 on the wire.
    local want
    want=$(python3 -c "print(20.032*1460/1502)")
    if within "$rx" "$(python3 -c "print($want*0.95)")" "$(python3 -c "print($want*1.05)")"; then
        pass "iperf3 -u -b 100M through a 20 Mbit/s shaper receives $rx Mbit/s (payload of $want)"
    else
        fail "UDP through the shaper: $rx Mbit/s, want $want +-5%"
    fi
    iperf 1 "$TMP/tcp.json" -c $NET.2 -p 5201 -t 6
    local rate low
    rate=$(json "$TMP/tcp.json" "d['end']['sum_received']['bits_per_second']/1e6") &&
        low=$(json "$TMP/tcp.json" "min(i['sum']['bits_per_second'] for i in d['intervals'][1:])/1e6") ||
        { fail "iperf3 TCP through the shaper" "$(head -c 300 "$TMP/tcp.json")"; return; }
    if within "$rate" 16 20.1 && within "$low" 8 25; then
        pass "TCP converges to the shaper: $rate Mbit/s, no second below $low Mbit/s"
    else
        fail "TCP through the shaper" "average $rate, lowest second $low Mbit/s"
    fi
}

# DSCP 46 goes to queue 7 at priority 7 on eth2; the rest stays in queue 0.
# iperf3 marks only its data, and not its first datagram: the rest of the
# high flow's traffic (port 5202, its control connection too) joins it
# there, or the flood starves its set-up and the client gives up.
case_priority() {
    qos selector add ef && qos condition add ef 1 ipv4_dscp 46 && qos action-list add toq &&
        qos_ioctl 40047a0d "$(action_record toq 1 $A_ENTRY_ASSIGN_QUEUE)" &&
        qos port-entry add eth2 egress 1 ef toq 7 && qos selector add ctl &&
        qos condition add ctl 1 tcp_dport 5202 && qos port-entry add eth2 egress 2 ctl toq 7 &&
        qos selector add hi && qos condition add hi 1 udp_dport 5202 &&
        qos port-entry add eth2 egress 3 hi toq 7 &&
        qos port eth2 queue 7 priority 7 ||
        { fail "DSCP 46 to a strict-priority queue through the qos file"; return; }
    iperf 1 "$TMP/low.json" -c $NET.2 -p 5201 -u -b 100M -t 7 &
    local low=$!
    sleep 1.5 # the low-priority flood holds the queue from here on
    iperf 3 "$TMP/high.json" -c $NET.2 -p 5202 -u -b 2M --tos 0xb8 -t 4 &
    local high=$!
    local ping
    ping=$(sx 3 ping -Q 0xb8 -c 20 -i 0.2 $NET.2 | sed -n 's|.*= [0-9.]*/\([0-9.]*\)/.*|\1|p')
    wait $high
    wait $low
    local hrate hloss lrate
    # What it sent, it receives: its share of the receiver's bytes.
    hrate=$(json "$TMP/high.json" "d['end']['sum_received']['bytes']/d['end']['sum_sent']['bytes']") &&
        hloss=$(json "$TMP/high.json" "d['end']['sum']['lost_percent']") &&
        lrate=$(json "$TMP/low.json" "d['end']['sum_received']['bits_per_second']/1e6") ||
        { fail "iperf3 flows beside each other" "$(grep -h '"error"' "$TMP/high.json" "$TMP/low.json")"; return; }
    if within "$hrate" 0.99 1.01 && within "$hloss" 0 1 && within "$lrate" 14 20.1; then
        pass "the DSCP 46 flow keeps its rate (received/sent $hrate, loss $hloss%) while the rest fills the port ($lrate Mbit/s)"
    else
        fail "strict priority" "high received/sent $hrate, loss $hloss%, low $lrate Mbit/s"
    fi
    # A full queue 0 would hold a frame 150 ms; queue 7 goes first.
    if [ -n "$ping" ] && within "$ping" 0 20; then
        pass "the DSCP 46 ping keeps its RTT under load: $ping ms average"
    else
        fail "ping RTT at priority" "${ping:-no reply}"
    fi
    qos port-entry del eth2 egress 1
    qos port-entry del eth2 egress 2
    qos port-entry del eth2 egress 3
    qos port eth2 shape 0 0
}

# Queues 1 and 2 of eth2 share priority 0 by weight 1:3 under the 20 Mbit/s
# shaper: two UDP floods of 30 Mbit/s each, one per queue.
case_weights() {
    qos selector add u1 && qos condition add u1 1 udp_dport 5201 && qos selector add u2 &&
        qos condition add u2 1 udp_dport 5202 && qos port-entry add eth2 egress 1 u1 toq 1 &&
        qos port-entry add eth2 egress 2 u2 toq 2 && qos port eth2 queue 1 sched-type 1 &&
        qos port eth2 queue 2 sched-type 1 && qos port eth2 queue 2 weight 3 &&
        qos port eth2 shape $SHAPE 256 ||
        { fail "weighted queues through the qos file"; return; }
    iperf 1 "$TMP/w1.json" -c $NET.2 -p 5201 -u -b 30M -t 5 &
    local one=$!
    iperf 3 "$TMP/w3.json" -c $NET.2 -p 5202 -u -b 30M -t 5
    wait $one
    local r1 r3
    r1=$(json "$TMP/w1.json" "d['end']['sum_received']['bits_per_second']/1e6") &&
        r3=$(json "$TMP/w3.json" "d['end']['sum_received']['bits_per_second']/1e6") ||
        { fail "iperf3 flows by weight" "$(grep -h '"error"' "$TMP/w1.json" "$TMP/w3.json")"; return; }
    if within "$(python3 -c "print($r3/max($r1,0.01))")" 2 4.5 &&
        within "$(python3 -c "print($r1+$r3)")" 14 20.1; then
        pass "weights 1:3 share the shaped port: $r1 and $r3 Mbit/s"
    else
        fail "weighted sharing" "weight 1: $r1, weight 3: $r3 Mbit/s"
    fi
    qos port-entry del eth2 egress 1
    qos port-entry del eth2 egress 2
    qos port eth2 shape 0 0
}

# Policer 1 of eth1 at 10 Mbit/s committed and peak, named by an ingress rule.
case_policer() {
    qos_ioctl 40047a43 "$(policer_record eth1 1 10048 256 10048 256)" &&
        qos selector add all && qos condition add all 1 true && qos action-list add pol &&
        qos_ioctl 40047a0d "$(action_record pol 1 $A_POLICY_TWO_RATE 1)" &&
        qos port-entry add eth1 ingress 1 all pol ||
        { fail "a policer and its ingress rule through the qos file"; return; }
    local before after
    before=$(block_u32 eth1 $DROP_QOS_POLICER)
    iperf 1 "$TMP/pol.json" -c $NET.2 -p 5201 -u -b 30M -l 1000 -t 4
    after=$(block_u32 eth1 $DROP_QOS_POLICER)
    local lost rx sent
    lost=$(json "$TMP/pol.json" "d['end']['sum']['lost_packets']") &&
        sent=$(json "$TMP/pol.json" "d['end']['sum']['packets']") &&
        rx=$(json "$TMP/pol.json" "d['end']['sum_received']['bits_per_second']/1e6") ||
        { fail "iperf3 through the policer" "$(head -c 300 "$TMP/pol.json")"; return; }
    local drops=$((after - before))
    # 1000-byte payloads are 1042 bytes on the wire: 10.048 Mbit/s passes 9.64 of payload.
    if within "$rx" 9 10.3; then
        pass "the policer passes its committed rate: $rx Mbit/s of 30"
    else
        fail "policed rate" "$rx Mbit/s"
    fi
    if [ "$drops" -gt 0 ] && within "$drops" "$(python3 -c "print($lost-max(5,$sent*0.01))")" \
        "$(python3 -c "print($lost+max(5,$sent*0.01))")"; then
        pass "drop_qos_policer ($drops) agrees with iperf3's $lost lost of $sent"
    else
        fail "policer drops against iperf3's losses" "drops $drops, lost $lost of $sent"
    fi
    qos port-entry del eth1 ingress 1
}

# 3000 broadcast frames a millisecond apart into eth1; eth2 takes 100 a second.
case_storm() {
    "$JXPROC" write "$BR" storm rate bcast eth2 100 >/dev/null &&
        "$JXPROC" write "$BR" storm enable bcast eth2 >/dev/null ||
        { fail "storm limit through the bridge file"; return; }
    cat >"$TMP/bcast.cfg" <<EOF
{ 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x00, 0x00, 0x00, 0x81, 0x01, 0x88, 0xb7, fill(0x55, 50) }
EOF
    local rx0 rx1 sx0 before after
    rx0=$(sx 2 cat "/sys/class/net/$(dev 2)/statistics/rx_packets")
    sx0=$(sx 3 cat "/sys/class/net/$(dev 3)/statistics/rx_packets")
    before=$(port_counter eth2 drop_storm_bcast)
    local t0 t1
    t0=$(date +%s%N)
    sx 1 trafgen -o "$(dev 1)" -i "$TMP/bcast.cfg" -n 3000 -t 1ms -q >/dev/null 2>&1 ||
        { fail "trafgen"; return; }
    t1=$(date +%s%N)
    sleep 0.5
    rx1=$(sx 2 cat "/sys/class/net/$(dev 2)/statistics/rx_packets")
    after=$(port_counter eth2 drop_storm_bcast)
    local got=$((rx1 - rx0)) other=$(($(sx 3 cat "/sys/class/net/$(dev 3)/statistics/rx_packets") - sx0))
    local drops=$((after - before))
    # 100 in each window of a second: as many windows as the storm lasted
    # seconds, one more for a part.
    local secs=$(((t1 - t0) / 1000000000))
    if [ "$got" -ge $((100 * secs - 50)) ] && [ "$got" -le $((100 * (secs + 2))) ] &&
        [ "$other" -ge 2900 ]; then
        pass "a broadcast storm reaches the limited port at $got in $secs-$((secs + 1)) s (the other port $other)"
    else
        fail "storm cut to its limit" "limited port $got, other port $other of 3000"
    fi
    if [ $((drops + got)) -ge 2900 ] && [ $((drops + got)) -le 3000 ]; then
        pass "drop_storm_bcast counts the rest: $drops"
    else
        fail "storm drop counter" "$drops dropped, $got passed"
    fi
    "$JXPROC" write "$BR" storm disable bcast eth2 >/dev/null
}

setup || { fail "setup"; finish; }
start_node --port eth1 --port eth2 --port eth3 || { fail "the node starts" "$(cat "$TMP/node.err")"; finish; }
build_bridge || { fail "the bridge"; finish; }
# Addresses learnt both ways before measuring.
sx 1 ping -c 1 -W 2 $NET.2 >/dev/null && sx 3 ping -c 1 -W 2 $NET.2 >/dev/null ||
    { fail "ping through the bridge"; finish; }
start_servers || { fail "iperf3 servers"; finish; }
case_shaper
case_priority
case_weights
case_policer
case_storm
stop_node || fail "the node stops cleanly"
finish
