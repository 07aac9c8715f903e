#!/usr/bin/env bash
# The MAC table against real traffic: three subscribers in network namespaces
# on a jxnode bridge, the table set through its control files with jxproc and
# jxbrctl, frames sent with scapy and seen with tcpdump. Cases: port security
# limits, static entries, multicast INCLUDE/EXCLUDE filters, MAC source guard,
# the entries file and aging.
#
# Needs root, ip(8), tcpdump, scapy and JX_BIN_DIR, the build directory holding
# jxnode, jxproc and jxbrctl. MT_PREFIX (default "mt") starts every namespace
# and interface name, so that two runs may share a host.
set -u

PY=/usr/bin/python3
if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v tcpdump >/dev/null ||
    ! "$PY" -c 'import scapy' 2>/dev/null; then
    echo "SKIP: needs root, ip(8), tcpdump and scapy"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxmt-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
PREFIX=${MT_PREFIX:-mt}
BRN=${PREFIX}br
BR=/proc/net/jxbridge/$BRN/bridge
MT=/proc/net/jxbridge/$BRN/mac_table
MTE=/proc/net/jxbridge/$BRN/mac_table_entries
VLAN=/proc/net/jxbridge/$BRN/vlan
BRCTL=$BIN/jxbrctl
SUB=${PREFIX}_
NET=10.66.0
N=3
. "$(dirname "$0")/lib/subscribers.sh"

cleanup() {
    node_cleanup
    subscribers_cleanup
    rm -rf "$TMP"
}
trap cleanup EXIT

w() { "$JXPROC" write "$@" >/dev/null; }

# tcpdump in subscriber $1's namespace with filter $2 into $TMP/cap; it is
# listening when this returns. capture_end stops it and prints what it saw.
capture() {
    ip netns exec "$(ns "$1")" tcpdump -i "$(peer "$1")" --immediate-mode -U -n -e -w "$TMP/cap" "$2" \
        2>"$TMP/dump.err" &
    DUMP=$!
    local t
    for t in $(seq 100); do grep -qs listening "$TMP/dump.err" && break; sleep 0.1; done
}
capture_end() {
    sleep 0.5
    kill "$DUMP" 2>/dev/null
    wait "$DUMP" 2>/dev/null
    tcpdump -r "$TMP/cap" -n -e 2>/dev/null
}

# scapy in subscriber $1's namespace: the frames of the expression $2.
send() {
    ip netns exec "$(ns "$1")" "$PY" -c "
from scapy.all import *
sendp($2, iface='$(peer "$1")', verbose=False)" 2>/dev/null
}

# Bytes [from, from+len) of the record an ioctl returns, in hex.
rec() { "$JXPROC" ioctl "$1" "$2" "$3" | sed -n 2p | cut -c$(($4 * 2 + 1))-$((($4 + $5) * 2)); }

case_port_security() {
    local ok=1 seen n
    w "$MT" mac limit set "$(port 1)" dynamic 2 || ok=0
    capture 2 'ether src 02:00:00:00:01:01 or ether src 02:00:00:00:01:02 or ether src 02:00:00:00:01:03'
    send 1 "[Ether(src='02:00:00:00:01:%02x' % i, dst='ff:ff:ff:ff:ff:ff')/ARP(pdst='$NET.9') for i in (1, 2, 3)]"
    seen=$(capture_end)
    n=$(echo "$seen" | grep -c 'ARP')
    [ "$n" = 2 ] || { fail "two of three stations pass a limit of 2" "$seen"; ok=0; }
    echo "$seen" | grep -q '02:00:00:00:01:03 >' && { fail "the third station is refused" "$seen"; ok=0; }
    n=$(rec "$MT" c0047a31 "$(name_field "$(port 1)" 26)" 18 6)
    [ "$n" = 020000000103 ] || { fail "the violation names the third station" "$n"; ok=0; }
    seen=$("$BRCTL" "$BRN" mt show ports)
    echo "$seen" | grep -Eq "^  0 +$(port 1) \| +0 \| 4294967295 \| +2 \| +2 \| +0$" ||
        { fail "mt show ports counts two of two" "$seen"; ok=0; }
    w "$MT" mac limit set "$(port 1)" dynamic 4294967295 || ok=0
    [ $ok = 1 ] && pass "port security: a dynamic limit of 2 passes two stations, refuses and names the third"
}

case_static_entry() {
    local ok=1 out
    w "$MT" mac add 1 02:00:00:00:00:77 "$(port 3)" static || ok=0
    capture 3 'ether src 02:00:00:00:00:77'
    send 2 "Ether(src='02:00:00:00:00:77', dst='ff:ff:ff:ff:ff:ff')/ARP(pdst='$NET.9')"
    out=$(capture_end)
    [ -z "$out" ] || { fail "a static MAC from another port is not forwarded" "$out"; ok=0; }
    out=$("$BRCTL" "$BRN" stat port "$(port 2)")
    echo "$out" | grep -q '^drop_static_mac\.*1$' || { fail "drop_static_mac counted" "$out"; ok=0; }
    out=$("$BRCTL" "$BRN" mt show ucast)
    echo "$out" | grep -q "   1/02:00:00:00:00:77 [0-9a-f]\{8\} S  $(port 3) (2)" ||
        { fail "mt show ucast shows the static entry" "$out"; ok=0; }
    [ $ok = 1 ] && pass "static entry: the same MAC from another port is dropped and counted"
}

# UDP from subscriber 1 to 239.1.1.1 from sources .5 and .6; prints the
# sources subscriber 3 received.
mcast_seen() {
    capture 3 'udp and dst host 239.1.1.1'
    send 1 "[Ether(src='$(mac_of 1)', dst='01:00:5e:01:01:01')/IP(src=s, dst='239.1.1.1')/UDP(dport=5000)/Raw(b'x' * 20) for s in ('10.0.0.5', '10.0.0.6')]"
    capture_end | grep -o '10\.0\.0\.[56]\.[0-9]* >' | cut -d. -f4 | sort -u | tr '\n' ' '
}

case_multicast() {
    local ok=1 got
    w "$BR" mcast forward && w "$VLAN" mcast 1 forward || ok=0
    "$BRCTL" "$BRN" mt mcast ip set 1 239.1.1.1 "$(port 3)" include 10.0.0.5 >/dev/null || ok=0
    got=$(mcast_seen)
    [ "$got" = "5 " ] || { fail "INCLUDE 10.0.0.5 passes only that source" "$got"; ok=0; }
    "$BRCTL" "$BRN" mt mcast ip set 1 239.1.1.1 "$(port 3)" exclude 10.0.0.5 >/dev/null || ok=0
    got=$(mcast_seen)
    [ "$got" = "6 " ] || { fail "EXCLUDE 10.0.0.5 passes every other source" "$got"; ok=0; }
    got=$("$BRCTL" "$BRN" mt show mcast)
    echo "$got" | grep -q "$(port 3) \[EXCLUDE\] 10.0.0.5" || { fail "mt show mcast" "$got"; ok=0; }
    "$BRCTL" "$BRN" mt mcast ip del 1 239.1.1.1 "$(port 3)" >/dev/null || ok=0
    got=$(mcast_seen)
    [ -z "$got" ] || { fail "no group, VLAN mode forward: dropped" "$got"; ok=0; }
    w "$VLAN" mcast 1 smart || ok=0
    got=$(mcast_seen)
    [ "$got" = "5 6 " ] || { fail "no group, VLAN mode forward+flood: flooded" "$got"; ok=0; }
    [ $ok = 1 ] && pass "multicast: INCLUDE and EXCLUDE filters decide; without a group the VLAN's mode"
}

case_source_guard() {
    local ok=1 state
    w "$BR" error_disable on && "$JXPROC" ioctl "$BR" 40047a69 --value 1 >/dev/null || ok=0
    w "$MT" msg port "$(port 2)" 1 || ok=0
    pinged 1 3 || { fail "ping 1 -> 3 before the violation"; ok=0; }
    send 2 "Ether(src='$(mac_of 1)', dst='$(mac_of 3)')/IP(src='$NET.2', dst='$NET.3')/ICMP()"
    state=$(rec "$BR" c0047a6f "$(name_field "$(port 2)" 44)" 24 4)
    [ "$state" = 01000000 ] || { fail "port 2 error-disabled" "state $state"; ok=0; }
    pinged 2 3 && { fail "no ping from an error-disabled port"; ok=0; }
    w "$MT" msg 0 || ok=0 # removing the action recovers the port
    # The failed resolution stays in subscriber 2's neighbour table otherwise.
    ip -n "$(ns 2)" neigh flush all
    pinged 2 3 || { fail "ping 2 -> 3 after recovery"; ok=0; }
    w "$MT" msg 1 && w "$MT" msg port "$(port 2)" 0 || ok=0
    [ $ok = 1 ] && pass "MAC source guard: a station seen on a guarded port error-disables it until recovery"
}

case_entries_aging() {
    local ok=1 out
    pinged 1 2 || { fail "ping 1 -> 2"; ok=0; }
    out=$("$JXPROC" cat "$MTE")
    echo "$out" | grep -Eq "^$(mac_of 1) +1 +[0-9]+ $(port 1)$" || { fail "station 1 listed with its age" "$out"; ok=0; }
    echo "$out" | grep -Eq "^$(mac_of 2) +1 +[0-9]+ $(port 2)$" || { fail "station 2 listed with its age" "$out"; ok=0; }
    w "$MT" aging_set 0 2>/dev/null && { fail "aging 0 refused"; ok=0; }
    w "$MT" aging_set 5 || ok=0
    sleep 11 # two aging periods: an idle station is gone after at most 10 s
    out=$("$JXPROC" cat "$MTE")
    echo "$out" | grep -q "$(mac_of 1)" && { fail "station 1 aged out" "$out"; ok=0; }
    [ $ok = 1 ] && pass "mac_table_entries lists the stations with their ages; aging_set 5 ages them out"
}

subscribers_start
case_port_security
case_static_entry
case_multicast
case_source_guard
case_entries_aging
stop_node || fail "jxnode stops cleanly"
finish
