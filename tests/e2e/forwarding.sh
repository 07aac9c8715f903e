#!/usr/bin/env bash
# jxnode as a bridge between real interfaces: three network namespaces, each
# joined to a node port by a veth pair, configured through the bridge's
# control files with jxproc. Real clients on the far side: ping, tcpdump and
# scapy.
#
# Needs root, ip(8), tcpdump and JX_BIN_DIR, the build directory holding
# jxnode and jxproc.
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v tcpdump >/dev/null; then
    echo "SKIP: needs root, ip(8) and tcpdump"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxfwd-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
PY=/usr/bin/python3
BRN=jxf$$
BR=/proc/net/jxbridge/$BRN/bridge
VLAN=/proc/net/jxbridge/$BRN/vlan
N=3
ns() { echo "jxfns$$-$1"; } # namespace of subscriber i
port() { echo "jxfp$$$1"; } # the node's end of its veth
peer() { echo "jxfq$$$1"; } # the namespace's end
mac_of() { printf "02:00:00:00:00:%02x" "$1"; }

cleanup() {
    node_cleanup
    local i
    for i in $(seq $N); do
        ip link del "$(port "$i")" 2>/dev/null
        ip netns del "$(ns "$i")" 2>/dev/null
    done
    rm -rf "$TMP"
}
trap cleanup EXIT

setup() {
    local i
    for i in $(seq $N); do
        ip netns add "$(ns "$i")" || return 1
        ip link add "$(port "$i")" type veth peer name "$(peer "$i")" netns "$(ns "$i")" || return 1
        # Frames leave the namespace whole: the node sees what a line card would.
        ip netns exec "$(ns "$i")" ethtool -K "$(peer "$i")" tso off gso off 2>/dev/null
        ip -n "$(ns "$i")" link set "$(peer "$i")" address "$(mac_of "$i")" || return 1
        ip -n "$(ns "$i")" addr add "10.77.0.$i/24" dev "$(peer "$i")" || return 1
        ip -n "$(ns "$i")" link set "$(peer "$i")" up || return 1
        ip -n "$(ns "$i")" link set lo up
        # No IPv6 chatter to confuse what the captures see.
        ip netns exec "$(ns "$i")" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
    done
}

le32() { printf '%02x%02x%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
name_field() {
    local hex
    hex=$(printf '%s' "$1" | od -An -tx1 | tr -d ' \n')
    while [ ${#hex} -lt $(($2 * 2)) ]; do hex=${hex}00; done
    printf '%s' "$hex"
}
# Adds a port by record: the device, BLL number and kind (1 access, 0 uplink).
add_port() {
    local rec
    rec=$(name_field "$1" 17)000000$(le32 4294967295)$(le32 "$3")$(le32 "$2")$(le32 0)$(le32 0)
    "$JXPROC" ioctl "$BR" 40047a02 "$rec" >/dev/null
}
bridge() { "$JXPROC" write "$BR" "$@" >/dev/null; }
pinged() { ip netns exec "$(ns "$1")" ping -c 2 -W 2 -i 0.2 "10.77.0.$2" >/dev/null 2>&1; }

build_bridge() {
    "$JXPROC" write $CONFIG add "$BRN" 8 >/dev/null || return 1
    local i
    for i in $(seq $N); do
        "$JXPROC" link "$(port "$i")" up || return 1
        add_port "$(port "$i")" $((100 + i)) 1 || return 1
        # The ports' line state, as the PHY driver would report it.
        bridge force_line_up_flag "$(port "$i")" 1 || return 1
    done
    "$JXPROC" link "$BRN" up
}

case_ping_and_learning() {
    # tcpdump in the third namespace: what reaches it while 1 and 2 talk.
    local cap=$TMP/ns3.pcap
    ip netns exec "$(ns 3)" tcpdump -i "$(peer 3)" --immediate-mode -U -n -w "$cap" 'icmp or arp' 2>"$TMP/dump.err" &
    local dump=$!
    # A guard against a hang, not a timing: tcpdump says when it listens.
    local t
    for t in $(seq 100); do grep -qs listening "$TMP/dump.err" && break; sleep 0.1; done
    if pinged 1 2; then
        pass "ping between two subscribers of one VLAN"
    else
        fail "ping 1 -> 2" "$("$JXPROC" cat "$BR" | tail -8)"
    fi
    sleep 0.5
    kill "$dump" 2>/dev/null
    wait "$dump" 2>/dev/null
    local arp icmp
    arp=$(tcpdump -r "$cap" -n 'arp and arp[6:2] == 1' 2>/dev/null | wc -l)
    icmp=$(tcpdump -r "$cap" -n icmp 2>/dev/null | wc -l)
    [ "$arp" -ge 1 ] || fail "the third subscriber sees the flooded ARP request" "$arp"
    [ "$icmp" -eq 0 ] || fail "the third subscriber sees no unicast once learned" "$icmp"
    [ "$arp" -ge 1 ] && [ "$icmp" -eq 0 ] && pass "broadcast flooded, learned unicast kept to its port"
}

case_counters() {
    local report
    report=$("$JXPROC" cat "$BR")
    if echo "$report" | grep -q "^Packets       | *[1-9]"; then
        pass "the bridge read-out counts the traffic"
    else
        fail "bridge counts received packets" "$report"
    fi
}

if ! setup; then
    fail "namespace setup"
    finish
fi
args=()
for i in $(seq $N); do args+=(--port "$(port "$i")"); done
if ! start_node "${args[@]}"; then
    fail "jxnode start" "$(cat "$TMP/node.err")"
    finish
fi
if ! build_bridge; then
    fail "bridge built through its control files"
    finish
fi
case_ping_and_learning
case_counters
stop_node || fail "jxnode stops cleanly"
finish
