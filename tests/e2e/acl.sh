#!/usr/bin/env bash
# The ACL engine on real traffic: four namespaces on node ports (subscribers
# 1-3 and an uplink, 4), rules written to the acl file with jxproc, and
# Debian's clients on the far side: ping, hping3, tcpdump, tshark and scapy.
#
# Needs root, ip(8), tcpdump and JX_BIN_DIR, the build directory holding
# jxnode, jxproc and jxbrctl. Names start with $PREFIX (ac_ by default).
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v tcpdump >/dev/null; then
    echo "SKIP: needs root, ip(8) and tcpdump"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxacl-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
PY=/usr/bin/python3
BRCTL=$BIN/jxbrctl
PREFIX=${PREFIX:-ac_}
BRN=acbr
BR=/proc/net/jxbridge/$BRN/bridge
ACL=/proc/net/jxbridge/$BRN/acl
SUB=$PREFIX
NET=10.78.0
N=4
. "$(dirname "$0")/lib/subscribers.sh"

cleanup() {
    node_cleanup
    subscribers_cleanup
    rm -rf "$TMP"
}
trap cleanup EXIT

acl() { "$JXPROC" write "$ACL" "$@" >/dev/null; }
mac4=$(mac_of 4)

# A capture in namespace i until stop_capture: its file is $TMP/cap<i>.pcap.
CAP_PID=
start_capture() {
    local i=$1 filter=$2
    rm -f "$TMP/cap$i.pcap" "$TMP/cap$i.err"
    ip netns exec "$(ns "$i")" tcpdump -i "$(peer "$i")" --immediate-mode -U -n -w "$TMP/cap$i.pcap" \
        "$filter" 2>"$TMP/cap$i.err" &
    CAP_PID=$!
    # A guard against a hang, not a timing: tcpdump says when it listens.
    local t
    for t in $(seq 100); do grep -qs listening "$TMP/cap$i.err" && break; sleep 0.1; done
}
stop_capture() {
    sleep 0.3
    kill "$CAP_PID" 2>/dev/null
    wait "$CAP_PID" 2>/dev/null
}
seen() { tcpdump -r "$TMP/cap$1.pcap" -n -e "${@:2}" 2>/dev/null; }

port_counter() {
    "$BRCTL" "$BRN" stat port "$(port "$1")" | sed -n "s/^$2[. ]*//p"
}

case_defaults() {
    if pinged 1 4 && pinged 2 4 && pinged 3 4; then
        pass "no entries: every subscriber reaches the uplink"
    else
        fail "ping with no entries" "$("$JXPROC" cat "$ACL" | tail -20)"
    fi
}

case_icmp_drop() {
    acl selector add icmp && acl condition add icmp 1 ip_protocol 1 &&
        acl action-list add deny && acl action add deny 1 drop &&
        acl port-entry add "$(port 1)" ingress 10 icmp deny &&
        acl default-action-list "$(port 1)" ingress true pass || {
        fail "ICMP drop configured through the acl file"
        return
    }
    local before after
    before=$(port_counter 1 drop_acl_ingress)
    if pinged 1 4; then
        fail "ICMP from subscriber 1 is dropped"
    else
        pass "an ingress entry matching ICMP with drop stops ping"
    fi
    after=$(port_counter 1 drop_acl_ingress)
    if [ "${after:-0}" -gt "${before:-0}" ]; then
        pass "drop_acl_ingress counts the dropped pings ($before -> $after)"
    else
        fail "drop_acl_ingress raised" "$before -> $after"
    fi
    pinged 2 4 && pass "other ports are not affected" || fail "ping 2 -> 4 with port 1's entry"
    acl port-entry del "$(port 1)" ingress 10
    pinged 1 4 && pass "the entry deleted, ping passes again" || fail "ping 1 -> 4 after delete"
}

case_counters() {
    acl counter add c_1 && acl action-list add count && acl action add count 1 counter_inc c_1 &&
        acl port-entry add "$(port 2)" ingress 10 icmp count &&
        acl default-action-list "$(port 2)" ingress true pass || {
        fail "counter configured"
        return
    }
    ip netns exec "$(ns 2)" ping -c 3 -i 0.2 -W 2 "$NET.4" >/dev/null 2>&1
    local dump
    dump=$("$JXPROC" cat "$ACL")
    if echo "$dump" | grep -q "^c_1 \[FGID [0-9]*\] (1) = 3/" &&
        echo "$dump" | grep -Eq "^  I +1 $(port 2) 3 pkts/"; then
        pass "counter_inc counts the pings, with the port's detail"
    else
        fail "counter with per-port detail" "$(echo "$dump" | grep -A3 '^c_1')"
    fi
    # The same counter by record from another process: name in, packets and bytes out.
    local out
    out=$("$JXPROC" ioctl "$ACL" c0047a13 "$(name_field c_1 40)" --out 56)
    if [ "$(echo "$out" | head -1)" = "rc=0" ] &&
        echo "$out" | tail -1 | grep -q "^$(name_field c_1 40)0300000000000000"; then
        pass "ACL_IOCTL_COUNTER_GET through jxproc"
    else
        fail "counter by ioctl" "$out"
    fi
    # A port entry added by record is listed as the text command's would be.
    local rec
    rec="$(name_field "$(port 2)" 20)$(le32 1)$(le32 5)$(le32 0)$(le32 0)$(le32 0)"
    rec="$rec$(name_field icmp 40)$(name_field count 40)"
    out=$("$JXPROC" ioctl "$ACL" 40047a0d "$rec")
    if [ "$out" = "rc=0" ] || [ "$(echo "$out" | head -1)" = "rc=0" ]; then
        "$JXPROC" cat "$ACL" | grep -q "^	5: icmp --> count" && pass "ACL_IOCTL_PORT_ENTRY_ADD through jxproc" ||
            fail "entry by record listed"
    else
        fail "port entry by ioctl" "$out"
    fi
    acl port-entry del "$(port 2)" ingress 5
}

case_port_ranges() {
    if ! command -v hping3 >/dev/null; then
        fail "hping3 installed (scripts/deps.sh)"
        return
    fi
    acl selector add high && acl condition add high 1 tcp_dport ">=" 1024 &&
        acl port-entry add "$(port 3)" ingress 10 high deny &&
        acl default-action-list "$(port 3)" ingress true pass || {
        fail "port range configured"
        return
    }
    start_capture 4 "tcp[tcpflags] & tcp-syn != 0"
    ip netns exec "$(ns 3)" hping3 -q -S -p 5000 -c 3 -i u100000 "$NET.4" >/dev/null 2>&1
    ip netns exec "$(ns 3)" hping3 -q -S -p 80 -c 3 -i u100000 "$NET.4" >/dev/null 2>&1
    stop_capture
    local hi lo
    hi=$(seen 4 'dst port 5000' | wc -l)
    lo=$(seen 4 'dst port 80' | wc -l)
    if [ "$hi" -eq 0 ] && [ "$lo" -ge 3 ]; then
        pass "tcp_dport >= 1024 blocks SYNs to 5000, port 80 passes"
    else
        fail "port range" "to 5000: $hi, to 80: $lo"
    fi
}

case_dscp_rewrite() {
    acl action-list add mark && acl action add mark 1 set_ipv4_dscp 184 &&
        acl port-entry add "$(port 1)" ingress 20 icmp mark || {
        fail "DSCP rewrite configured"
        return
    }
    start_capture 4 icmp
    ip netns exec "$(ns 1)" ping -c 2 -i 0.2 -W 2 -Q 1 "$NET.4" >/dev/null 2>&1
    stop_capture
    if ! command -v tshark >/dev/null; then
        fail "tshark installed (scripts/deps.sh)"
        return
    fi
    local fields
    fields=$(tshark -r "$TMP/cap4.pcap" -o ip.check_checksum:TRUE -Y "icmp.type == 8" \
        -T fields -e ip.dsfield -e ip.checksum.status 2>/dev/null | sort -u)
    if [ "$fields" = "$(printf '0xb9\t1')" ]; then
        pass "set_ipv4_dscp 184: tshark sees TOS 0xb9 and a good checksum"
    else
        fail "DSCP rewrite seen by tshark" "$fields"
    fi
    acl port-entry del "$(port 1)" ingress 20
}

# The copy leaves as the bridge holds the frame, with its VLAN tag.
case_copy() {
    acl action-list add cp && acl action add cp 1 copy "$(port 3)" &&
        acl port-entry add "$(port 1)" ingress 30 icmp cp || {
        fail "copy configured"
        return
    }
    pinged 1 2 # learned: the pings go to 2 alone
    start_capture 3 "icmp or (vlan and icmp)"
    pinged 1 2 || fail "ping 1 -> 2 with a copy entry"
    stop_capture
    local n
    n=$(seen 3 | grep -c "$NET.1 > $NET.2: ICMP echo request")
    [ "$n" -ge 2 ] && pass "copy lets a third namespace see the ICMP ($n)" || fail "copy seen" "$n"
}

# Port 4 a tagged member of VLAN 1: a tag action on egress shows on the wire.
case_tag_egress() {
    "$JXPROC" write "/proc/net/jxbridge/$BRN/vlan" tag set "$(port 4)" 1 1 >/dev/null &&
        acl selector add all && acl action-list add prio &&
        acl action add prio 1 set_tag1 0xe000 0xa000 &&
        acl port-entry add "$(port 4)" egress 10 all prio || {
        fail "egress tag configured"
        return
    }
    start_capture 4 "ether src $(mac_of 2)"
    ip netns exec "$(ns 2)" ping -c 1 -W 1 "$NET.4" >/dev/null 2>&1
    stop_capture
    if seen 4 | grep -q "vlan 1, p 5,"; then
        pass "set_tag1 on egress shows in tcpdump -e"
    else
        fail "egress tag" "$(seen 4 | head -2)"
    fi
    acl port-entry del "$(port 4)" egress 10
    "$JXPROC" write "/proc/net/jxbridge/$BRN/vlan" tag set "$(port 4)" 1 0 >/dev/null
}

# Crafted frames from subscriber 3, whose entry drops TCP to ports from 1024.
case_crafted() {
    start_capture 4 "ether src 02:00:00:00:00:33"
    ip netns exec "$(ns 3)" "$PY" - "$(peer 3)" "$mac4" "$NET" <<'EOF' 2>"$TMP/scapy.err"
import sys
from scapy.all import Ether, Dot1Q, IP, IPv6, IPv6ExtHdrHopByHop, TCP, Raw, sendp
iface, dst, net = sys.argv[1], sys.argv[2], sys.argv[3]
e = Ether(src='02:00:00:00:00:33', dst=dst)
frames = [
    e / IP(src=net + '.3', dst=net + '.4', ihl=4) / TCP(dport=80),            # IHL 4: dropped
    e / Dot1Q(vlan=1) / Dot1Q(vlan=7) / IP(dst=net + '.4') / TCP(dport=5000),  # Q-in-Q, port 5000
    e / IPv6(dst='fe80::4') / IPv6ExtHdrHopByHop() / TCP(dport=5000),         # dropped
    e / IPv6(dst='fe80::4') / IPv6ExtHdrHopByHop() / TCP(dport=80),           # passes
    Ether(bytes(e / IP(dst=net + '.4') / TCP(dport=80))[:30]),                # runt: cut in IPv4
]
for f in frames:
    sendp(f, iface=iface, verbose=False)
EOF
    stop_capture
    local all
    all=$(seen 4)
    local ok=1
    echo "$all" | grep -q "HBH .* > 80:" || ok=0
    echo "$all" | grep -q "5000" && ok=0
    echo "$all" | grep -q "bad-hlen" && ok=0
    if [ $ok -eq 1 ] && pinged 3 4; then
        pass "IHL 4, Q-in-Q and IPv6 extension-header frames classified, runts harmless"
    else
        fail "crafted frames" "$all"
    fi
}

# Port 3, which a copy entry names, goes while pings flow through the rule.
case_port_deletion() {
    ip netns exec "$(ns 1)" ping -c 30 -i 0.05 -W 1 "$NET.2" >/dev/null 2>&1 &
    local p=$!
    sleep 0.5
    "$BRCTL" "$BRN" dif "$(port 3)" >/dev/null || fail "port 3 deleted"
    wait $p
    if kill -0 "$NODE_PID" 2>/dev/null && pinged 1 2; then
        pass "deleting a port that entries name, under traffic: the node carries on"
    else
        fail "node alive after port deletion" "$(tail -5 "$TMP/node.err")"
    fi
    "$JXPROC" cat "$ACL" | grep -q "copy to $(port 3)" && pass "the rule stays, naming the port" ||
        fail "copy rule kept"
}

subscribers_start
case_defaults
case_icmp_drop
case_counters
case_port_ranges
case_dscp_rewrite
case_copy
case_tag_egress
case_crafted
case_port_deletion
stop_node || fail "jxnode stops cleanly"
finish
