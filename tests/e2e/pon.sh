#!/usr/bin/env bash
# PON OLTs on real interfaces: the node binds gpon0 and gpon1 (OLT devices by
# their names) and an uplink; each OLT's far end lives in a namespace where
# scapy plays the ONUs, every frame carrying its GEM in the 0x88B5 tag, and
# tcpdump shows which GEM a frame left on. Two subscribers (GEM ports) on each
# OLT, all in VLAN 1.
#
# Needs root, ip(8), tcpdump, scapy and JX_BIN_DIR, the build directory
# holding jxnode and jxproc. The OLT names are fixed: the node decides by name.
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v tcpdump >/dev/null ||
    ! /usr/bin/python3 -c 'import scapy' 2>/dev/null; then
    echo "SKIP: needs root, ip(8), tcpdump and python3-scapy"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxpon-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
PY=/usr/bin/python3
P=${PON_PREFIX:-pn}
BRN=${P}br
BR=/proc/net/jxbridge/$BRN/bridge
PON=/proc/net/jxbridge/$BRN/pon
UPLINK=${P}_upl
STATION=02:00:00:00:09:09 # behind the uplink
MCAST=01:00:5e:01:02:03
onu_ns() { echo "${P}_onu$1"; } # the far side of gpon<i>
onu_if() { echo "${P}_o$1"; }
onu_mac() { printf '02:00:00:00:01:%02x' "$1"; }

cleanup() {
    node_cleanup
    local i
    for i in 0 1; do
        ip link del "gpon$i" 2>/dev/null
        ip netns del "$(onu_ns $i)" 2>/dev/null
    done
    ip link del "$UPLINK" 2>/dev/null
    ip netns del "${P}_up" 2>/dev/null
    rm -rf "$TMP"
}
trap cleanup EXIT

setup() {
    cleanup_stale
    veth_to_ns gpon0 "$(onu_ns 0)" "$(onu_if 0)" &&
        veth_to_ns gpon1 "$(onu_ns 1)" "$(onu_if 1)" &&
        veth_to_ns "$UPLINK" "${P}_up" "${P}_u"
}

# Interfaces of an earlier run that died without its trap.
cleanup_stale() {
    ip link del gpon0 2>/dev/null
    ip link del gpon1 2>/dev/null
    return 0
}

pon() { "$JXPROC" write "$PON" "$@" >/dev/null; }
ioctl_ok() { "$JXPROC" ioctl "$1" "$2" "$3" | grep -q '^rc=0$'; }
# The bridge's port-line record: the port (by BLL number) and its state.
phy_request() { printf '%s01%s%s%s' "$(name_field "$1" 17)" 0000 "$(le32 0)" "$(le32 0)"; }

build() {
    "$JXPROC" write $CONFIG add "$BRN" 8 >/dev/null || return 1
    local d
    for d in gpon0 gpon1 "$UPLINK"; do "$JXPROC" link "$d" up >/dev/null || return 1; done
    ioctl_ok "$BR" 40047a02 "$(port_request "$UPLINK" 4294967295 0 100)" || return 1
    # Subscriber k of OLT i: a PON/GEM port with BLL number 10(i+1)+k on GEM 100k.
    local i k
    pon pon_bridge add 2 || return 1
    for i in 0 1; do
        for k in 1 2; do
            local bll=$((10 * (i + 1) + k))
            ioctl_ok "$BR" 40047a02 "$(port_request "gpon$i" 4294967295 5 $bll)" || return 1
            pon gem set "gpon$i" $((1000 + k)) $bll $((2 * i + k)) || return 1
            # The ONU is up: the GEM port's line, as the ONU manager reports it.
            ioctl_ok "$BR" 40047a10 "$(phy_request $bll)" || return 1
        done
    done
    "$JXPROC" write "$BR" mcast flood >/dev/null || return 1
    "$JXPROC" link "$BRN" up >/dev/null
}

# Sends one frame from a namespace: ns, interface, the frame in hex.
send_hex() {
    ip netns exec "$1" "$PY" -c "
from scapy.all import Raw, sendp
sendp(Raw(bytes.fromhex('$3')), iface='$2', verbose=False)" 2>>"$TMP/scapy.err"
}
hexmac() { echo "$1" | tr -d ':'; }
FILL=$(printf '00%.0s' $(seq 46))
# From ONU k of OLT i on a GEM: to the station behind the uplink.
onu_send() { send_hex "$(onu_ns "$1")" "$(onu_if "$1")" "$(hexmac $STATION)$(hexmac "$(onu_mac "$2")")88b5$(printf %04x "$3")88b6$FILL"; }
up_send() { send_hex "${P}_up" "${P}_u" "$(hexmac "$1")$(hexmac $STATION)88b6$FILL"; }

# The GEM numbers of the tagged frames a capture holds, sorted, on one line.
gems_seen() {
    "$PY" -c "
from scapy.all import rdpcap
g = sorted(int.from_bytes(bytes(p)[14:16], 'big') for p in rdpcap('$TMP/$1.pcap')
           if bytes(p)[12:14] == b'\x88\xb5')
print(' '.join(map(str, g)))" 2>>"$TMP/scapy.err"
}
count() { tcpdump -r "$TMP/$1.pcap" -n 2>/dev/null | wc -l; }

# An OLT's GEM look-ups in the pon file: "found missed".
lookups() { "$JXPROC" cat "$PON" | awk -v o="$1" '$2 == o { print $4, $5 }'; }

case_upstream() {
    cap_start up "${P}_up" "${P}_u" "ether src $(onu_mac 1) or ether src $(onu_mac 9)"
    onu_send 0 1 1001
    onu_send 0 9 1500 # no subscriber on GEM 1500
    cap_stop
    local n
    n=$(tcpdump -r "$TMP/up.pcap" -n -e 2>/dev/null)
    if echo "$n" | grep -q "$(onu_mac 1)" && ! echo "$n" | grep -q "$(onu_mac 9)" &&
        ! echo "$n" | grep -q 0x88b5; then
        pass "a frame on a bound GEM reaches the uplink untagged, one on an unbound GEM does not"
    else
        fail "upstream by GEM" "$n"
    fi
    [ "$(lookups gpon0)" = "1 1" ] && pass "the unbound GEM is counted as missed on its OLT" ||
        fail "GEM look-ups of gpon0" "$(lookups gpon0)"
}

case_downstream() {
    cap_start o0 "$(onu_ns 0)" "$(onu_if 0)" "ether proto 0x88b5"
    cap_start o1 "$(onu_ns 1)" "$(onu_if 1)" "ether proto 0x88b5"
    up_send "$(onu_mac 1)"
    cap_stop
    [ "$(gems_seen o0)" = 1001 ] && [ "$(count o1)" -eq 0 ] &&
        pass "a downstream unicast leaves on the subscriber's GEM" ||
        fail "downstream unicast" "gpon0: $(gems_seen o0), gpon1: $(count o1) frames"
}

case_multicast() {
    pon gem mcast add 1 3900 || {
        fail "gem mcast add through the pon file"
        return
    }
    cap_start o0 "$(onu_ns 0)" "$(onu_if 0)" "ether proto 0x88b5"
    cap_start o1 "$(onu_ns 1)" "$(onu_if 1)" "ether proto 0x88b5"
    up_send $MCAST
    cap_stop
    [ "$(gems_seen o0)" = 3900 ] && [ "$(gems_seen o1)" = 3900 ] &&
        pass "a multicast frame leaves each OLT once, on the VLAN's multicast GEM" ||
        fail "multicast GEM" "gpon0: $(gems_seen o0), gpon1: $(gems_seen o1)"

    pon mcast_gem off || fail "mcast_gem off"
    cap_start o0 "$(onu_ns 0)" "$(onu_if 0)" "ether proto 0x88b5"
    cap_start o1 "$(onu_ns 1)" "$(onu_if 1)" "ether proto 0x88b5"
    up_send $MCAST
    cap_stop
    [ "$(gems_seen o0)" = "1001 1002" ] && [ "$(gems_seen o1)" = "1001 1002" ] &&
        pass "with mcast_gem off it leaves once per subscriber, on each one's GEM" ||
        fail "multicast per subscriber" "gpon0: $(gems_seen o0), gpon1: $(gems_seen o1)"
}

setup || {
    fail "veths and namespaces"
    finish
}
start_node --port gpon0 --port gpon1 --port "$UPLINK" || {
    fail "jxnode serves" "$(tail -5 "$TMP/node.err")"
    finish
}
if ! build; then
    fail "bridge, GEM ports and bindings built" "$(tail -5 "$TMP/node.err")"
    finish
fi
# An OLT's line is reported again once it is registered (its second report).
for t in $(seq 50); do
    [ "$(grep -c 'gpon0: line up' "$TMP/node.err")" -ge 2 ] &&
        [ "$(grep -c 'gpon1: line up' "$TMP/node.err")" -ge 2 ] && break
    sleep 0.1
done
case_upstream
case_downstream
case_multicast
stop_node || fail "jxnode stops cleanly"
finish
