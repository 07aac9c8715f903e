#!/usr/bin/env bash
# Protocol PDU filters with real frames. jxnode runs in a namespace of its
# own, where the filter devices of bridge br0 are TAPs; three subscribers in
# namespaces of their own are joined to it by veth pairs (BLL 101, 102 and
# 10267). Cases: slow-protocol PDUs from scapy on their filter TAPs with the
# header, other subtypes and a device down bridged; daemon frames written on
# a TAP leave on the port they name, short ones and BLL 0 are dropped; ptp4l's
# PDUs reach no other subscriber; the erps ioctls stop and resume a ping in
# VLAN 100; jxbrctl's ERPS frame test both ways.
#
# Needs root, ip(8), tcpdump, ptp4l, /usr/bin/python3 (scapy) and JX_BIN_DIR,
# the build directory holding jxnode, jxproc and jxbrctl.
# PREFIX (pf) starts every namespace and interface name.
set -u

PY=/usr/bin/python3
if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v tcpdump >/dev/null ||
    ! command -v ptp4l >/dev/null || [ ! -x $PY ]; then
    echo "SKIP: needs root, ip(8), tcpdump, ptp4l and $PY"
    exit 0
fi

TMP=$(mktemp -d /tmp/pf-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
BRCTL=$BIN/jxbrctl
P=${PREFIX:-pf}
NODE_NS=${P}_n
# The frame test of jxbrctl knows the ERPS device as br0_erps: the bridge is br0,
# alone in the node's namespace.
BRN=br0
BR=/proc/net/jxbridge/$BRN/bridge
ERPS=/proc/net/jxbridge/$BRN/erps
NET=10.78.0
# Subscriber i: namespace ${P}_s<i>, BLL ${BLLS[i-1]}, address $NET.i.
BLLS=(101 102 10267)
PIDS=()

cat >"$TMP/jxnode" <<EOF
#!/bin/sh
exec ip netns exec $NODE_NS $BIN/jxnode "\$@"
EOF
chmod +x "$TMP/jxnode"
JXNODE=$TMP/jxnode
nx() { ip netns exec "$NODE_NS" "$@"; }
sub() { echo "${P}_s$1"; }

cleanup() {
    local p i
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
    node_cleanup
    for i in 1 2 3; do ip netns del "$(sub $i)" 2>/dev/null; done
    ip netns del "$NODE_NS" 2>/dev/null
    rm -rf "$TMP"
}
trap cleanup EXIT

setup() {
    ip netns del "$NODE_NS" 2>/dev/null
    ip netns add "$NODE_NS" || return 1
    nx ip link set lo up
    # The TAPs come up without IPv6 chatter to confuse the captures.
    nx sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
    local i ns
    for i in 1 2 3; do
        ns=$(sub $i)
        ip netns del "$ns" 2>/dev/null
        ip netns add "$ns" || return 1
        ip link add "${ns}a" netns "$NODE_NS" type veth peer name "${ns}b" netns "$ns" || return 1
        ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
        ip netns exec "$ns" ethtool -K "${ns}b" tso off gso off 2>/dev/null
        ip -n "$ns" link set "${ns}b" address "02:00:00:00:00:0$i" up || return 1
        ip -n "$ns" addr add "$NET.$i/24" dev "${ns}b"
        ip -n "$ns" link set lo up
    done
}

# The bridge of the three veth ends; multicast flooded, so PDUs nobody takes are bridged.
build_bridge() {
    "$JXPROC" write $CONFIG add "$BRN" 8 >/dev/null || return 1
    local i
    for i in 1 2 3; do
        "$JXPROC" link "$(sub $i)a" up || return 1
        "$JXPROC" ioctl "$BR" 40047a02 "$(port_request "$(sub $i)a" 4294967295 1 "${BLLS[i - 1]}")" |
            grep -q '^rc=0$' || return 1
    done
    "$JXPROC" write "$BR" mcast flood >/dev/null || return 1
    "$JXPROC" link "$BRN" up
}

link_field() {
    "$JXPROC" link | awk -v d="$1:" -v f="$2=" '$2 == d { for (i = 3; i <= NF; i++) if (index($i, f) == 1) print substr($i, length(f) + 1) }'
}
# Waits for a device's counter to reach n; the count guards against a hang.
field_reaches() {
    local t
    for t in $(seq 100); do
        [ "$(link_field "$1" "$2")" -ge "$3" ] 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

# A capture named $1 in namespace $2 on $3 with filter $4, written as frames come.
capture() {
    ip netns exec "$2" tcpdump -i "$3" --immediate-mode -U -w "$TMP/$1.pcap" $4 >/dev/null 2>"$TMP/$1.log" &
    PIDS+=($!)
    local t
    for t in $(seq 100); do
        grep -q "listening on" "$TMP/$1.log" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}
# Ends every capture; their files are complete afterwards.
captures_end() {
    kill -INT "${PIDS[@]}" 2>/dev/null
    wait "${PIDS[@]}" 2>/dev/null
    PIDS=()
}
# Frames in a capture: one line each, from its time stamp.
captured() { tcpdump -r "$TMP/$1.pcap" -n 2>/dev/null | grep -c '^[0-9]'; }

# scapy in namespace $1 sends the frames the rest of the words describe on $2:
# slow:<subtype>[x<count>], raps[x<count>], daemon:<bll>[:<length>].
send() {
    local ns=$1 dev=$2
    shift 2
    ip netns exec "$ns" $PY - "$dev" "$@" <<'EOF'
import struct, sys
from scapy.all import Ether, Raw, sendp
dev, frames = sys.argv[1], []
for w in sys.argv[2:]:
    kind, _, n = w.partition("x")
    n = int(n or 1)
    if kind.startswith("slow:"):
        f = Ether(dst="01:80:c2:00:00:02", src="02:00:00:00:00:01", type=0x8809) / Raw(bytes([int(kind[5:])]) + bytes(59))
    elif kind == "raps":
        f = Ether(dst="01:19:a7:00:00:01", src="02:00:00:00:00:01", type=0x8902) / Raw(bytes(46))
    else:  # daemon:<bll>[:<length>]: a header, then an LACP PDU
        parts = [int(x) for x in kind.split(":")[1:]]
        pdu = bytes(Ether(dst="01:80:c2:00:00:02", src="02:00:00:00:00:99", type=0x8809) / Raw(b"\x01" + bytes(59)))
        hdr = bytearray(107)
        struct.pack_into("<I", hdr, 48, 107 + len(pdu))
        struct.pack_into("<H", hdr, 54, parts[0])
        f = bytes(hdr) + pdu
        if len(parts) > 1:
            f = f[:parts[1]]
        f = Raw(f)
    frames += [f] * n
sendp(frames, iface=dev, verbose=False)
EOF
}

# What the TAP capture $1 shows of each frame's header: "total=ok bll=N port=NAME subtype=S".
headers() {
    $PY - "$TMP/$1.pcap" <<'EOF'
import struct, sys
from scapy.all import rdpcap
for p in rdpcap(sys.argv[1]):
    d = bytes(p)
    total, bll = struct.unpack_from("<IH", d, 48)
    port = d[74:90].split(b"\0")[0].decode()
    print("total=%s bll=%d port=%s subtype=%d" % ("ok" if total == len(d) else total, bll, port, d[107 + 14]))
EOF
}

case_slow_protocols() {
    local d
    for d in lacp efm synce; do
        "$JXPROC" link "${BRN}_$d" up || { fail "${BRN}_$d brought up"; return; }
        capture "$d" "$NODE_NS" "${BRN}_$d" "-Q in" || { fail "capture on ${BRN}_$d"; return; }
    done
    capture s2 "$(sub 2)" "$(sub 2)b" "ether proto 0x8809" || { fail "capture in $(sub 2)"; return; }
    send "$(sub 1)" "$(sub 1)b" slow:1 slow:2 slow:3 slow:10 slow:4
    field_reaches "${BRN}_lacp" rx 2 && field_reaches "${BRN}_efm" rx 1 && field_reaches "${BRN}_synce" rx 1 ||
        { fail "the PDUs reach their filter devices" "$("$JXPROC" link | grep "${BRN}_")"; return; }
    # Subtype 4 was sent last: once it is bridged, all have been handled.
    local t
    for t in $(seq 100); do
        [ "$(captured s2)" -ge 1 ] && break
        sleep 0.05
    done
    captures_end
    local lacp efm synce s2
    lacp=$(headers lacp | tr '\n' ';')
    efm=$(headers efm | tr '\n' ';')
    synce=$(headers synce | tr '\n' ';')
    s2=$(captured s2)
    local want="total=ok bll=101 port=$(sub 1)a"
    [ "$lacp" = "$want subtype=1;$want subtype=2;" ] && [ "$efm" = "$want subtype=3;" ] &&
        [ "$synce" = "$want subtype=10;" ] ||
        { fail "each PDU on its TAP with the header" "lacp: $lacp efm: $efm synce: $synce"; return; }
    [ "$s2" -eq 1 ] || { fail "only subtype 4 is bridged" "$s2 frames"; return; }
    pass "LACP, Marker, OAM and ESMC PDUs on their TAPs with the header ($want); subtype 4 bridged"
}

case_device_down() {
    "$JXPROC" link "${BRN}_lacp" down || { fail "${BRN}_lacp brought down"; return; }
    capture s2 "$(sub 2)" "$(sub 2)b" "ether proto 0x8809" || { fail "capture in $(sub 2)"; return; }
    local rx t
    rx=$(link_field "${BRN}_lacp" rx)
    send "$(sub 1)" "$(sub 1)b" slow:1
    for t in $(seq 100); do
        [ "$(captured s2)" -ge 1 ] && break
        sleep 0.05
    done
    captures_end
    [ "$(captured s2)" -eq 1 ] && [ "$(link_field "${BRN}_lacp" rx)" -eq "$rx" ] ||
        { fail "with its device down an LACP PDU is bridged" "$(captured s2) bridged"; return; }
    pass "with the filter device down, LACP PDUs are bridged"
}

case_daemon_send() {
    "$JXPROC" link "${BRN}_lacp" up || { fail "${BRN}_lacp brought up"; return; }
    capture s2 "$(sub 2)" "$(sub 2)b" "ether src 02:00:00:00:00:99" &&
        capture s3 "$(sub 3)" "$(sub 3)b" "ether src 02:00:00:00:00:99" || { fail "captures"; return; }
    local d0 tx0
    d0=$(link_field "${BRN}_lacp" rx_dropped)
    tx0=$(link_field "${BRN}_lacp" tx)
    send "$NODE_NS" "${BRN}_lacp" daemon:102:107 daemon:0
    field_reaches "${BRN}_lacp" rx_dropped $((d0 + 2)) ||
        { fail "a 107-byte write and BLL 0 are dropped and counted" "$d0 -> $(link_field "${BRN}_lacp" rx_dropped)"; return; }
    send "$NODE_NS" "${BRN}_lacp" daemon:102
    field_reaches "${BRN}_lacp" tx $((tx0 + 1)) || { fail "the daemon's PDU is sent" "$("$JXPROC" link | grep lacp)"; return; }
    local t
    for t in $(seq 100); do
        [ "$(captured s2)" -ge 1 ] && break
        sleep 0.05
    done
    captures_end
    [ "$(captured s2)" -eq 1 ] && [ "$(captured s3)" -eq 0 ] ||
        { fail "the PDU leaves on BLL 102 only" "s2: $(captured s2), s3: $(captured s3)"; return; }
    pass "a PDU written on ${BRN}_lacp leaves on the port its header names; 107 bytes and BLL 0 dropped and counted"
}

case_ptp() {
    capture p2 "$(sub 2)" "$(sub 2)b" "ether proto 0x88f7" &&
        capture p3 "$(sub 3)" "$(sub 3)b" "ether proto 0x88f7" &&
        capture p1 "$(sub 1)" "$(sub 1)b" "-Q out ether proto 0x88f7" || { fail "captures"; return; }
    local d0 t
    d0=$(link_field "$(sub 1)a" rx_dropped)
    # The G.8275.1 profile's address: the PDUs are the node's, not the subscribers'.
    ip netns exec "$(sub 1)" ptp4l -2 -S -i "$(sub 1)b" --ptp_dst_mac=01:80:C2:00:00:0E \
        --logAnnounceInterval=-3 --logSyncInterval=-3 >"$TMP/ptp4l.log" 2>&1 &
    local ptp=$!
    for t in $(seq 200); do
        [ "$(captured p1)" -ge 3 ] && break
        sleep 0.05
    done
    field_reaches "$(sub 1)a" rx_dropped $((d0 + 3))
    local got=$?
    kill "$ptp" 2>/dev/null
    wait "$ptp" 2>/dev/null
    captures_end
    [ "$(captured p1)" -ge 3 ] || { fail "ptp4l sends PDUs" "$(tail -3 "$TMP/ptp4l.log")"; return; }
    [ $got -eq 0 ] || { fail "the node hands them to the stack of $(sub 1)a" "$(link_field "$(sub 1)a" rx_dropped)"; return; }
    [ "$(captured p2)" -eq 0 ] && [ "$(captured p3)" -eq 0 ] ||
        { fail "no other subscriber sees them" "$(captured p2) $(captured p3)"; return; }
    pass "ptp4l -2 ($(captured p1) PDUs): taken by the PTP check, seen by no other subscriber"
}

# The erps port record: name (18 bytes), VID, state, and VLAN 100 alone in the bitmap.
erps_vlan100() {
    local bitmap="" i
    for i in $(seq 0 511); do
        if [ $i -eq 12 ]; then bitmap+=08; else bitmap+=00; fi
    done
    printf '%s%s%s%s' "$(name_field "$1" 18)" 6400 "$(le32 "$2")" "$bitmap"
}
erps_ioctl() { "$JXPROC" ioctl "$ERPS" "$1" "$2" | grep -q '^rc=0$'; }
pinged() { ip netns exec "$(sub 1)" ping -c 2 -W 1 -i 0.2 "$NET.2" >/dev/null 2>&1; }

case_erps() {
    local v=/proc/net/jxbridge/$BRN/vlan p
    "$JXPROC" write "$v" vlan add 100 >/dev/null || { fail "VLAN 100"; return; }
    for p in "$(sub 1)a" "$(sub 2)a"; do
        "$JXPROC" write "$v" membership del "$p" all >/dev/null &&
            "$JXPROC" write "$v" membership add "$p" 100 >/dev/null &&
            "$JXPROC" write "$v" pvid set "$p" 100 >/dev/null || { fail "$p into VLAN 100"; return; }
    done
    pinged || { fail "ping in VLAN 100"; return; }
    erps_ioctl 40046501 01000000 &&
        erps_ioctl 40046502 "$(erps_vlan100 "$(sub 2)a" 1)" &&
        erps_ioctl 40046503 "$(erps_vlan100 "$(sub 2)a" 0)" || { fail "the erps ioctls"; return; }
    local shown
    shown=$("$JXPROC" cat "$ERPS" | grep "^port=$(sub 2)a")
    [ "$shown" = "port=$(sub 2)a(id=1, bll_id=102): ENABLED VLAN-s: 100 (state=DISCARDING)," ] ||
        { fail "the read-out shows VLAN 100 discarding" "$shown"; return; }
    pinged && { fail "ping stops with VLAN 100 discarding"; return; }
    erps_ioctl 40046503 "$(erps_vlan100 "$(sub 2)a" 1)" || { fail "forwarding again"; return; }
    pinged || { fail "ping resumes with VLAN 100 forwarding"; return; }
    "$JXPROC" cat "$ERPS" | grep -q "100 (state=FORWARDING)," || { fail "the read-out shows forwarding"; return; }
    erps_ioctl 40046501 00000000
    # jxbrctl's fixed requests: no port eth0 or BLL 10257 on this bridge.
    local out
    out=$("$BRCTL" "$BRN" erps | tr '\n' ';')
    [ "$out" = "Error -2 BRIDGE_IOCTL_ERPS_PORT_VLAN_OPERATIONAL_STATE_SET;Error -2 BRIDGE_IOCTL_ERPS_PORT_VLAN_FORWARD_STATE_SET;Error -19 BRIDGE_IOCTL_ERPS_FLUSH_FDB_VLAN_PORT;" ] ||
        { fail "jxbrctl $BRN erps reports each refusal" "$out"; return; }
    pass "erps: VLAN 100 discarding stops the ping (read-out: $shown), forwarding resumes it"
}

case_erps_pdu() {
    capture s3 "$(sub 3)" "$(sub 3)b" "ether dst 00:00:00:00:00:ce" || { fail "capture in $(sub 3)"; return; }
    nx "$BRCTL" "$BRN" erps_pdu >"$TMP/erps_pdu.out" 2>&1 &
    local pdu=$! t
    for t in $(seq 100); do
        grep -q "Frame receiving started" "$TMP/erps_pdu.out" && break
        sleep 0.05
    done
    send "$(sub 1)" "$(sub 1)b" rapsx100
    field_reaches "${BRN}_erps" rx 100 || kill -INT $pdu
    wait $pdu
    local rc=$?
    for t in $(seq 100); do
        [ "$(captured s3)" -ge 1 ] && break
        sleep 0.05
    done
    captures_end
    local out=$TMP/erps_pdu.out pre=section_bridge_erps_pdu_test
    [ $rc -eq 0 ] && grep -q "^$pre: Device <br0_erps> is UP.$" "$out" &&
        grep -q "^$pre: Received PDU nr=1, full_size=167, pdu_size=60, port=$(sub 1)a.$" "$out" &&
        grep -q "^$pre: PDU sent to br0_erps.$" "$out" ||
        { fail "jxbrctl erps_pdu receives and sends" "$rc: $(head -c 600 "$out")"; return; }
    [ "$(captured s3)" -eq 1 ] ||
        { fail "its test frame leaves on BLL 10267" "$(captured s3)"; return; }
    pass "jxbrctl erps_pdu: $(grep -c "Received PDU" "$out") PDUs received from $(sub 1)a, its frame out on BLL 10267"
}

setup || { fail "setup"; finish; }
start_node --port "$(sub 1)a" --port "$(sub 2)a" --port "$(sub 3)a" ||
    { fail "the node starts" "$(cat "$TMP/node.err")"; finish; }
build_bridge || { fail "the bridge"; finish; }
case_slow_protocols
case_device_down
case_daemon_send
case_ptp
case_erps
case_erps_pdu
stop_node || fail "the node stops"
finish
