#!/usr/bin/env bash
# QoS marking on real traffic: four namespaces on node ports (subscribers 1-3
# and an uplink, 4), rules written to the qos file with jxproc from this
# process, and ping, scapy and tcpdump on the far side.
#
# Needs root, ip(8), tcpdump and JX_BIN_DIR, the build directory holding
# jxnode, jxproc and jxbrctl. Names start with $PREFIX (qs by default).
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v tcpdump >/dev/null; then
    echo "SKIP: needs root, ip(8) and tcpdump"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxqos-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
PY=/usr/bin/python3
BRCTL=$BIN/jxbrctl
PREFIX=${PREFIX:-qs}
BRN=qsbr
BR=/proc/net/jxbridge/$BRN/bridge
QOS=/proc/net/jxbridge/$BRN/qos
SUB=$PREFIX
NET=10.79.0
N=4
. "$(dirname "$0")/lib/subscribers.sh"

cleanup() {
    node_cleanup
    subscribers_cleanup
    rm -rf "$TMP"
}
trap cleanup EXIT

qos() { "$JXPROC" write "$QOS" "$@" >/dev/null; }

# Captures in namespace i until stop_captures: files $TMP/cap<i>.pcap.
CAP_PIDS=()
start_capture() {
    local i=$1 filter=$2
    rm -f "$TMP/cap$i.pcap" "$TMP/cap$i.err"
    ip netns exec "$(ns "$i")" tcpdump -i "$(peer "$i")" --immediate-mode -U -n -w "$TMP/cap$i.pcap" \
        "$filter" 2>"$TMP/cap$i.err" &
    CAP_PIDS+=($!)
    # A guard against a hang, not a timing: tcpdump says when it listens.
    local t
    for t in $(seq 100); do grep -qs listening "$TMP/cap$i.err" && break; sleep 0.1; done
}
stop_captures() {
    sleep 0.3
    local p
    for p in "${CAP_PIDS[@]}"; do
        kill "$p" 2>/dev/null
        wait "$p" 2>/dev/null
    done
    CAP_PIDS=()
}
seen() { tcpdump -r "$TMP/cap$1.pcap" -n -e -vv "${@:2}" 2>/dev/null; }

port_counter() {
    "$BRCTL" "$BRN" stat port "$(port "$1")" | sed -n "s/^$2[. ]*//p"
}

case_rules() {
    qos selector add all && qos condition add all 1 true &&
        qos action-list add prio5 && qos action add prio5 1 set_outer_priority c 5 &&
        qos action-list add ef && qos action add ef 1 set_ipv4_dscp 46 &&
        pass "selectors and action lists written with jxproc" ||
        fail "QoS rules through the qos file" "$("$JXPROC" cat "$QOS")"
}

case_default_drop() {
    local before after
    before=$(port_counter 1 drop_qos_ds_ingress)
    qos default-action-list ingress drop || fail "default ingress list set to drop"
    if pinged 1 4; then
        fail "a default ingress list of drop stops ping"
    else
        pass "a default ingress list of drop stops ping"
    fi
    after=$(port_counter 1 drop_qos_ds_ingress)
    if [ "${after:-0}" -gt "${before:-0}" ]; then
        pass "drop_qos_ds_ingress counts them ($before -> $after)"
    else
        fail "drop_qos_ds_ingress raised" "$before -> $after"
    fi
    qos default-action-list ingress pass
    pinged 1 4 && pass "the default back to pass, ping passes" || fail "ping after pass"
}

# The uplink a tagged member of VLAN 1: frames carry their tag through the egress stages.
case_priority() {
    "$JXPROC" write "/proc/net/jxbridge/$BRN/vlan" tag set "$(port 4)" 1 1 >/dev/null &&
        qos port-entry add "$(port 4)" egress 1 all prio5 || fail "egress entry on the uplink"
    start_capture 4 "vlan"
    ip netns exec "$(ns 1)" ping -c 2 -W 1 -i 0.2 "$NET.4" >/dev/null 2>&1
    stop_captures
    if seen 4 | grep -q "vlan 1, p 5,"; then
        pass "set_outer_priority 5 on egress: the uplink sees p 5"
    else
        fail "priority 5 on the uplink" "$(seen 4 | head -5)"
    fi
    qos port-entry del "$(port 4)" egress 1
    "$JXPROC" write "/proc/net/jxbridge/$BRN/vlan" tag set "$(port 4)" 1 0 >/dev/null
}

case_dscp() {
    qos port-entry add "$(port 4)" egress 1 all ef || fail "egress DSCP entry"
    start_capture 4 "icmp"
    local ok=0
    pinged 1 4 && ok=1
    stop_captures
    local all
    all=$(seen 4)
    if [ $ok -eq 1 ] && echo "$all" | grep -q "tos 0xb8" && ! echo "$all" | grep -q "bad cksum"; then
        pass "DSCP 46 remarked on egress with a correct header checksum, ping answered"
    else
        fail "DSCP remark" "$(echo "$all" | head -4)"
    fi
    qos port-entry del "$(port 4)" egress 1
}

case_flood() {
    qos port-entry add "$(port 2)" egress 1 all ef || fail "egress DSCP entry on port 2"
    start_capture 2 "udp port 4000"
    start_capture 3 "udp port 4000"
    ip netns exec "$(ns 1)" "$PY" - "$(peer 1)" <<'EOF' 2>"$TMP/scapy.err"
import sys
from scapy.all import Ether, IP, UDP, Raw, sendp
sendp(Ether(dst='ff:ff:ff:ff:ff:ff', src='02:00:00:00:00:01') /
      IP(src='10.79.0.1', dst='255.255.255.255') / UDP(sport=4000, dport=4000) / Raw(b'x' * 32),
      iface=sys.argv[1], verbose=False)
EOF
    stop_captures
    if seen 2 | grep -q "tos 0xb8" && seen 3 | grep -q "tos 0x0," &&
        ! seen 2 | grep -q "bad cksum"; then
        pass "in a flood the rewrite changes only its own port's copy"
    else
        fail "flood copies" "$(seen 2 | head -2; seen 3 | head -2; cat "$TMP/scapy.err")"
    fi
    qos port-entry del "$(port 2)" egress 1
}

case_shaping_refused() {
    local rc
    rc=$("$JXPROC" write "$QOS" port "$(port 1)" shape 4294967295 3000 2>&1)
    if echo "$rc" | grep -q -- "-34\|Numerical result out of range"; then
        pass "a rate that would wrap is refused"
    else
        fail "shape 4294967295 refused" "$rc"
    fi
}

subscribers_start
# Static neighbours: dropped or tagged ARP must not decide what a case sees.
for i in $(seq $N); do
    for j in $(seq $N); do
        [ "$i" = "$j" ] || ip -n "$(ns "$i")" neigh replace "$NET.$j" lladdr "$(mac_of "$j")" \
            dev "$(peer "$i")" nud permanent
    done
done
case_rules
case_default_drop
case_priority
case_dscp
case_flood
case_shaping_refused
stop_node || fail "jxnode stops cleanly"
finish
