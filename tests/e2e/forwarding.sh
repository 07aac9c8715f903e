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
. "$(dirname "$0")/lib/records.sh"
PY=/usr/bin/python3
BRN=jxf$$
BR=/proc/net/jxbridge/$BRN/bridge
VLAN=/proc/net/jxbridge/$BRN/vlan
SUB=jxf$$
NET=10.77.0
N=3
. "$(dirname "$0")/lib/subscribers.sh"

cleanup() {
    node_cleanup
    subscribers_cleanup
    rm -rf "$TMP"
}
trap cleanup EXIT

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

vlan() { "$JXPROC" write "$VLAN" "$@" >/dev/null; }

# Subscriber 3 moves to VLAN 20: it no longer reaches 1, who stays in VLAN 1.
case_vlans_separate() {
    vlan vlan add 20 &&
        vlan membership del "$(port 3)" all &&
        vlan membership add "$(port 3)" 20 &&
        vlan pvid set "$(port 3)" 20 || {
        fail "VLAN 20 configured through the vlan file"
        return
    }
    if pinged 1 3; then
        fail "ping across VLANs is refused"
    else
        pass "no ping across VLANs"
    fi
    pinged 1 2 && pass "same VLAN still reaches" || fail "ping 1 -> 2 after the VLAN change"
}

# Port 2 becomes a tagged member of VLAN 1: frames to it leave with a tag,
# and tagged frames from it leave port 1 untagged.
case_tagged_port() {
    vlan tag set "$(port 2)" 1 1 || {
        fail "tagging set through the vlan file"
        return
    }
    local cap=$TMP/ns2.pcap
    ip netns exec "$(ns 2)" tcpdump -i "$(peer 2)" --immediate-mode -U -n -w "$cap" arp 2>"$TMP/dump2.err" &
    local dump=$!
    local t
    for t in $(seq 100); do grep -qs listening "$TMP/dump2.err" && break; sleep 0.1; done
    # Untagged from subscriber 1 (an ARP request nobody answers) ...
    ip netns exec "$(ns 1)" ping -c 1 -W 1 10.77.0.99 >/dev/null 2>&1
    sleep 0.3
    kill "$dump" 2>/dev/null
    wait "$dump" 2>/dev/null
    if tcpdump -r "$cap" -n -e 2>/dev/null | grep -q "vlan 1,.*who-has 10.77.0.99"; then
        pass "an untagged frame leaves the tagged port with its VLAN tag"
    else
        fail "tag added on egress" "$(tcpdump -r "$cap" -n -e 2>/dev/null | head -3)"
    fi
    # ... and a tagged frame from subscriber 2 reaches subscriber 1 untagged.
    cap=$TMP/ns1.pcap
    ip netns exec "$(ns 1)" tcpdump -i "$(peer 1)" --immediate-mode -U -n -w "$cap" 'ether src 02:00:00:00:00:42' 2>"$TMP/dump1.err" &
    dump=$!
    for t in $(seq 100); do grep -qs listening "$TMP/dump1.err" && break; sleep 0.1; done
    ip netns exec "$(ns 2)" "$PY" -c "
from scapy.all import Ether, Dot1Q, ARP, sendp
sendp(Ether(src='02:00:00:00:00:42', dst='ff:ff:ff:ff:ff:ff')/Dot1Q(vlan=1)/ARP(pdst='10.77.0.98'),
      iface='$(peer 2)', verbose=False)" 2>/dev/null
    sleep 0.3
    kill "$dump" 2>/dev/null
    wait "$dump" 2>/dev/null
    local seen
    seen=$(tcpdump -r "$cap" -n -e 2>/dev/null)
    if echo "$seen" | grep -q "ethertype ARP" && ! echo "$seen" | grep -q "802.1Q"; then
        pass "a tagged frame leaves the untagged port without its tag"
    else
        fail "tag removed on egress" "$seen"
    fi
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

subscribers_start
case_ping_and_learning
case_vlans_separate
case_tagged_port
case_counters
stop_node || fail "jxnode stops cleanly"
finish
