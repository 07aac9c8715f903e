#!/usr/bin/env bash
# OpenOLT flows on real interfaces: the node binds dsl0 and dsl1 (the OpenOLT
# agent's names of two OLTs), an uplink (network interface 0, BLL number 128)
# and openolt0, the trap-to-host device. Scapy plays the ONUs behind each OLT,
# every frame carrying its GEM in the 0x88B5 tag; tcpdump watches the uplink,
# the OLTs and openolt0. The flows come from jxproc as an agent's text
# commands and ioctls, the bridge in ACL forwarding mode.
#
# Needs root, ip(8), tcpdump, scapy and JX_BIN_DIR. The OLT names are fixed:
# the node decides by name.
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v tcpdump >/dev/null ||
    ! /usr/bin/python3 -c 'import scapy' 2>/dev/null; then
    echo "SKIP: needs root, ip(8), tcpdump and python3-scapy"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxoo-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
PY=/usr/bin/python3
P=oo
BRN=${P}br
BR=/proc/net/jxbridge/$BRN/bridge
OO=/proc/net/jxbridge/$BRN/openolt
UPLINK=${P}_upl
STATION=02:00:00:00:09:09 # behind the uplink
ONU=02:00:00:00:01:01     # behind GEM 1001 of dsl0
onu_ns() { echo "${P}_onu$1"; } # the far side of dsl<i>
onu_if() { echo "${P}_o$1"; }

cleanup() {
    node_cleanup
    local i
    for i in 0 1; do
        ip link del "dsl$i" 2>/dev/null
        ip netns del "$(onu_ns $i)" 2>/dev/null
    done
    ip link del "$UPLINK" 2>/dev/null
    ip link del openolt0 2>/dev/null
    ip netns del "${P}_up" 2>/dev/null
    ip netns del "${P}_host" 2>/dev/null
    rm -rf "$TMP"
}
trap cleanup EXIT

setup() {
    # Interfaces of an earlier run that died without its trap.
    ip link del dsl0 2>/dev/null
    ip link del dsl1 2>/dev/null
    ip link del openolt0 2>/dev/null
    veth_to_ns dsl0 "$(onu_ns 0)" "$(onu_if 0)" &&
        veth_to_ns dsl1 "$(onu_ns 1)" "$(onu_if 1)" &&
        veth_to_ns "$UPLINK" "${P}_up" "${P}_u" &&
        veth_to_ns openolt0 "${P}_host" "${P}_h"
}

oo() { "$JXPROC" write "$OO" "$@" >/dev/null 2>>"$TMP/jxproc.err"; }
ioctl_ok() { "$JXPROC" ioctl "$@" 2>>"$TMP/jxproc.err" | grep -q '^rc=0$'; }
phy_request() { printf '%s01%s%s%s' "$(name_field "$1" 17)" 0000 "$(le32 0)" "$(le32 0)"; }

build() {
    "$JXPROC" write $CONFIG add "$BRN" 8 >/dev/null || return 1
    local d i k
    for d in dsl0 dsl1 "$UPLINK" openolt0; do "$JXPROC" link "$d" up >/dev/null || return 1; done
    ioctl_ok "$BR" 40047a02 "$(port_request "$UPLINK" 4294967295 0 128)" || return 1
    # Free PON/GEM ports on each OLT, for the flows and groups to take.
    for i in 0 1; do
        for k in 1 2; do
            local bll=$((10 * (i + 1) + k))
            ioctl_ok "$BR" 40047a02 "$(port_request "dsl$i" 4294967295 5 $bll)" || return 1
            ioctl_ok "$BR" 40047a10 "$(phy_request $bll)" || return 1
        done
    done
    "$JXPROC" write "/proc/net/jxbridge/$BRN/pon" pon_bridge add 2 >/dev/null || return 1
    ioctl_ok "$OO" 40046f13 "$(le32 2)" || return 1 # ACL forwarding
    "$JXPROC" link "$BRN" up >/dev/null
}

# An OLT's line is reported again once a binding registered it.
olt_line_up() {
    local t
    for t in $(seq 50); do
        [ "$(grep -c "$1: line up" "$TMP/node.err")" -ge 2 ] && return 0
        sleep 0.1
    done
    return 1
}

# Sends frames from a namespace: ns, interface, python expressions of scapy packets.
send_py() {
    ip netns exec "$1" "$PY" -c "
from scapy.all import *
def gem(g, p):
    b = bytes(p)
    return Raw(b[:12] + bytes([0x88, 0xb5, g >> 8, g & 255]) + b[12:])
sendp([$3], iface='$2', verbose=False)" 2>>"$TMP/scapy.err"
}

# Runs python over a capture's frames as bytes (list f).
pcap_py() {
    "$PY" -c "
from scapy.all import rdpcap
f = [bytes(p) for p in rdpcap('$TMP/$1.pcap')]
$2" 2>>"$TMP/scapy.err"
}
gems_seen() { pcap_py "$1" "print(' '.join(str(int.from_bytes(b[14:16], 'big')) for b in f if b[12:14] == b'\x88\xb5'))"; }

UNTAGGED="gem(1001, Ether(dst='$STATION', src='$ONU')/IP(src='10.0.0.5', dst='10.0.0.9')/ICMP())"

upstream_vids() {
    cap_start up "${P}_up" "${P}_u" "ether src $ONU"
    send_py "$(onu_ns 0)" "$(onu_if 0)" "$UNTAGGED"
    cap_stop
    pcap_py up "print(' '.join(str(int.from_bytes(b[14:16], 'big') & 0xfff) if b[12:14] == b'\x81\x00' else 'untagged' for b in f))"
}

case_upstream() {
    oo flow add us 1 0 5 network 0 gem 1001 prio 10 class tag-type untagged action add-outer 0x0064 ||
        fail "upstream flow added through the openolt file" "$(tail -2 "$TMP/jxproc.err")"
    olt_line_up dsl0 || fail "dsl0 line reported after its registration"
    local v
    v=$(upstream_vids)
    [ "$v" = 100 ] && pass "an untagged frame on the ONU's GEM leaves the uplink in VLAN 100" ||
        fail "upstream flow" "VIDs seen: '$v'"
}

case_downstream() {
    oo flow add ds 1 0 5 network 0 gem 1001 prio 10 class ovid 100 action remove-outer 1 ||
        fail "downstream flow added"
    cap_start o0 "$(onu_ns 0)" "$(onu_if 0)" "ether proto 0x88b5"
    send_py "${P}_up" "${P}_u" "Ether(dst='$ONU', src='$STATION')/Dot1Q(vlan=100)/IP(src='10.0.0.9', dst='10.0.0.5')/ICMP(type=0)"
    cap_stop
    local r
    r=$(pcap_py o0 "print(' '.join('%d/%s' % (int.from_bytes(b[14:16], 'big'), b[16:18].hex()) for b in f))")
    [ "$r" = "1001/0800" ] && pass "the reply in VLAN 100 reaches the ONU untagged on its GEM" ||
        fail "downstream flow" "GEM/type seen: '$r'"
}

case_trap() {
    oo flow add us 2 0 5 gem 1001 prio 20 class ethtype 0x0800 ipproto 17 dport 67 \
        action trap-to-host 1 || fail "trap-to-host flow added"
    cap_start host "${P}_host" "${P}_h" ""
    cap_start up "${P}_up" "${P}_u" "udp"
    local dhcp="Ether(dst='ff:ff:ff:ff:ff:ff', src='$ONU')/IP(src='0.0.0.0', dst='255.255.255.255')/UDP(sport=68, dport=67)/BOOTP(chaddr=bytes.fromhex('020000000101'))/DHCP(options=[('message-type', 'discover'), 'end'])"
    send_py "$(onu_ns 0)" "$(onu_if 0)" "gem(1001, $dhcp)"
    cap_stop
    # The header: frame length, the GEM port's BLL number, the GEM, the flow.
    local r
    r=$(pcap_py host "
import struct
from scapy.all import Ether
for b in f:
    n, bll, g, _ = struct.unpack('<4I', b[:16])
    e = Ether(b[16:])
    if e.haslayer('DHCP') and n == len(b) - 16:
        print(bll, g, e.src)")
    [ "$r" = "11 1001 $ONU" ] && pass "the ONU's DHCP discover reaches openolt0 behind its 16-byte header" ||
        fail "trap to host" "'$r'"
    [ "$(tcpdump -r "$TMP/up.pcap" -n 2>/dev/null | wc -l)" -eq 0 ] &&
        pass "the trapped frame does not go on to the uplink" || fail "trapped frame also upstream"
}

case_multicast() {
    # Group 7: GEM 3900 on each OLT, the member records passed by address.
    local members
    members=$(le32 0)$(le32 0)$(le32 3900)$(le32 0)$(printf '00%.0s' $(seq 20))
    members+=$(le32 0)$(le32 1)$(le32 3900)$(le32 0)$(printf '00%.0s' $(seq 20))
    ioctl_ok "$OO" 40046f0b "$(le32 7)$(le32 2)" --out 48 --ptr "8=$members" ||
        fail "group added by ioctl" "$(tail -2 "$TMP/jxproc.err")"
    oo flow add mcast 3 0 0 network 0 grp 7 prio 5 class ovid 300 || fail "multicast flow added"
    olt_line_up dsl1 || fail "dsl1 line reported after its registration"
    cap_start o0 "$(onu_ns 0)" "$(onu_if 0)" "ether proto 0x88b5"
    cap_start o1 "$(onu_ns 1)" "$(onu_if 1)" "ether proto 0x88b5"
    send_py "${P}_up" "${P}_u" "Ether(dst='01:00:5e:01:02:03', src='$STATION')/Dot1Q(vlan=300)/IP(src='10.0.0.9', dst='239.1.2.3')/UDP()"
    cap_stop
    [ "$(gems_seen o0)" = 3900 ] && [ "$(gems_seen o1)" = 3900 ] &&
        pass "a group with members on two OLTs sends one copy per OLT" ||
        fail "multicast group" "dsl0: '$(gems_seen o0)', dsl1: '$(gems_seen o1)'"
}

case_overwrite() {
    # No uplink is network interface 7: the flow is refused and the old one stays.
    if oo flow add us 1 0 5 network 7 gem 1001 prio 10 action add-outer 0x00c8; then
        fail "a flow without its uplink refused"
    fi
    local v
    v=$(upstream_vids)
    [ "$v" = 100 ] && pass "overwriting a flow with an invalid one keeps the old flow working" ||
        fail "old flow after a bad overwrite" "VIDs seen: '$v'"
    # The flow's counter, read by ioctl: two frames went through it.
    local out
    out=$("$JXPROC" ioctl "$OO" 40046f09 "$(le32 1)$(le32 0)" --out 24 2>/dev/null | sed -n 2p)
    [ "${out:16:16}" = 0200000000000000 ] && pass "the flow's counter through the stat ioctl" ||
        fail "flow counter" "$out"
}

setup || {
    fail "veths and namespaces"
    finish
}
start_node --port dsl0 --port dsl1 --port "$UPLINK" --port openolt0 || {
    fail "jxnode serves" "$(tail -5 "$TMP/node.err")"
    finish
}
if ! build; then
    fail "bridge, ports and switching mode built" "$(tail -5 "$TMP/node.err")"
    finish
fi
case_upstream
case_downstream
case_trap
case_multicast
case_overwrite
stop_node || fail "jxnode stops cleanly"
finish
