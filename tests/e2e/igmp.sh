#!/usr/bin/env bash
# IGMP snooping on real hosts: subscribers 1 and 2 and an uplink (3, the
# multicast router port) in namespaces on node ports of bridge br0, VLAN 10
# untagged. The hosts join with socat (IGMPv2 forced), the uplink sends a
# stream, tcpdump tells who gets it; scapy sends queries and malformed
# reports. The join, leave and non-member cases run once more on a Linux
# bridge with snooping on, and both outcomes are printed side by side.
#
# Needs root, ip(8), tcpdump, socat and JX_BIN_DIR. Names start with im.
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v tcpdump >/dev/null ||
    ! command -v socat >/dev/null; then
    echo "SKIP: needs root, ip(8), tcpdump and socat"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxigmp-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
PY=/usr/bin/python3
SUB=im
NET=10.79.0
N=3
BRN=br0
BR=/proc/net/jxbridge/$BRN/bridge
VLANF=/proc/net/jxbridge/$BRN/vlan
IGMP=/proc/net/jxigmp/config
LBR=imlbr
GROUP=239.1.1.1
. "$(dirname "$0")/lib/subscribers.sh"

SOCAT_PID=
cleanup() {
    [ -n "$SOCAT_PID" ] && kill "$SOCAT_PID" 2>/dev/null
    node_cleanup
    ip link del "$LBR" 2>/dev/null
    subscribers_cleanup
    rm -rf "$TMP"
}
trap cleanup EXIT

# One IGMP command: numbers are 32-bit values, anything else a text. The
# record (count, argument addresses, sizes, directions) points to buffers
# jxproc makes; prints jxproc's answer.
igmp() {
    local nr=$1 i=0 sizes="" dirs="" ptrs=() a
    shift
    for a in "$@"; do
        if [[ $a =~ ^[0-9]+$ ]]; then
            ptrs+=(--ptr "$((8 + 8 * i))=$(le32 "$a")")
            sizes+=$(le32 4)
            dirs+=02
        else
            ptrs+=(--ptr "$((8 + 8 * i))=$(printf '%s' "$a" | od -An -tx1 | tr -d ' \n')00")
            sizes+=$(le32 0)
            dirs+=00
        fi
        i=$((i + 1))
    done
    while [ "$i" -lt 8 ]; do sizes+=$(le32 0); dirs+=00; i=$((i + 1)); done
    local rec
    rec=$(printf '%02x%s%s%s' "$#" "00000000000000" "$(printf '0%.0s' $(seq 128))" "$sizes$dirs")
    "$JXPROC" ioctl "$IGMP" "$(printf '%x' $((0xC0046900 + nr)))" "$rec" "${ptrs[@]}"
}
igmp_ok() { igmp "$@" | grep -q '^rc=0$'; }
ip2n() { local IFS=.; set -- $1; echo $((($1 << 24) | ($2 << 16) | ($3 << 8) | $4)); }

# Captures in namespace i until stop_captures: $TMP/<tag><i>.pcap.
CAPS=()
start_capture() {
    local i=$1 tag=$2 filter=$3
    rm -f "$TMP/$tag$i.pcap" "$TMP/$tag$i.err"
    ip netns exec "$(ns "$i")" tcpdump -i "$(peer "$i")" --immediate-mode -U -n -w "$TMP/$tag$i.pcap" \
        "$filter" 2>"$TMP/$tag$i.err" &
    CAPS+=($!)
    local t
    for t in $(seq 100); do grep -qs listening "$TMP/$tag$i.err" && break; sleep 0.1; done
}
stop_captures() {
    sleep 0.3
    kill "${CAPS[@]}" 2>/dev/null
    wait "${CAPS[@]}" 2>/dev/null
    CAPS=()
}
count() { tcpdump -r "$TMP/$1.pcap" -n 2>/dev/null | grep -c "${2:-.}"; }

# The uplink sends n datagrams to the group, 50 ms apart, from its address
# or the one given.
stream() {
    ip netns exec "$(ns 3)" "$PY" - "${2:-$NET.3}" "$GROUP" "${1:-20}" <<'EOF'
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 0))
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(sys.argv[1]))
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 2)
for i in range(int(sys.argv[3])):
    s.sendto(b'x' * 64, (sys.argv[2], 5000))
    time.sleep(0.05)
EOF
}

# Subscriber 1 joins the group until leave_group.
join_group() {
    ip netns exec "$(ns 1)" socat -u "UDP4-RECV:5000,reuseaddr,ip-add-membership=$GROUP:$(peer 1)" \
        OPEN:/dev/null &
    SOCAT_PID=$!
    sleep 1
}
leave_group() {
    kill "$SOCAT_PID" 2>/dev/null
    wait "$SOCAT_PID" 2>/dev/null
    SOCAT_PID=
    sleep 1
}

# Join, non-member and leave on whichever bridge joins the namespaces: "a/b/c"
# (datagrams at subscriber 1 while joined, at 2 while 1 is joined, at 1 after leaving).
delivery() {
    start_capture 1 "$1-j" "udp port 5000"
    start_capture 2 "$1-n" "udp port 5000"
    start_capture 3 "$1-r" "igmp"
    join_group
    stream 20
    stop_captures
    start_capture 1 "$1-l" "udp port 5000"
    leave_group
    stream 20
    stop_captures
    echo "$(count "$1-j1")/$(count "$1-n2")/$(count "$1-l1")"
}

setup() {
    subscribers_setup || { fail "namespace setup"; finish; }
    local i
    for i in 1 2 3; do
        ip netns exec "$(ns "$i")" sysctl -qw net.ipv4.conf.all.force_igmp_version=2
        ip netns exec "$(ns "$i")" sysctl -qw "net.ipv4.conf.$(peer "$i").force_igmp_version=2"
        ip -n "$(ns "$i")" route add 224.0.0.0/4 dev "$(peer "$i")" 2>/dev/null
    done
    local args=()
    for i in $(seq $N); do args+=(--port "$(port "$i")"); done
    start_node "${args[@]}" || { fail "jxnode start" "$(cat "$TMP/node.err")"; finish; }
    "$JXPROC" write $CONFIG add "$BRN" 8 >/dev/null || { fail "bridge"; finish; }
    for i in $(seq $N); do
        "$JXPROC" link "$(port "$i")" up
        "$JXPROC" ioctl "$BR" 40047a02 "$(port_request "$(port "$i")" 4294967295 1 "$i")" |
            grep -q '^rc=0$' || { fail "port $i"; finish; }
    done
    "$JXPROC" write "$VLANF" vlan add 10 >/dev/null
    for i in $(seq $N); do
        "$JXPROC" write "$VLANF" membership add "$(port "$i")" 10 >/dev/null
        "$JXPROC" write "$VLANF" pvid set "$(port "$i")" 10 >/dev/null
    done
    "$JXPROC" link "$BRN" up
    # The management device whose address the IGMP VLAN takes.
    "$JXPROC" ioctl /proc/net/mng/config 40046d00 "$(name_field mng0 16)" >/dev/null
    igmp_ok 0 && igmp_ok 7 br0 3 && igmp_ok 14 br0 "$(port 1)" 1 && igmp_ok 14 br0 "$(port 2)" 2 &&
        igmp_ok 14 br0 "$(port 3)" 3 && igmp_ok 18 br0 3 1 && igmp_ok 21 br0 10 0 &&
        igmp_ok 96 br0 "$(ip2n "$NET.254")" && igmp_ok 9 br0 2 ||
        { fail "IGMP configured through its ioctls" "$(igmp 7 br0 3)"; finish; }
    pass "IGMP snooping configured from another process (jxproc --ptr)"
}

case_snooping() {
    NODE_RESULT=$(delivery jx)
    local j n l
    IFS=/ read -r j n l <<<"$NODE_RESULT"
    [ "$(count jx-r3 "igmp v2 report $GROUP")" -ge 1 ] && pass "the uplink sees the report" ||
        fail "report at the router port" "$(tcpdump -r "$TMP/jx-r3.pcap" -n 2>/dev/null | head -3)"
    [ "$j" -ge 15 ] && pass "the joined subscriber gets the stream ($j/20)" || fail "stream to member" "$j"
    [ "$n" -eq 0 ] && pass "the other subscriber sees nothing" || fail "stream to non-member" "$n"
    [ "$l" -eq 0 ] && pass "after the leave the stream stops" || fail "stream after leave" "$l"
}

# scapy in the uplink's namespace sends an IGMPv2 general query with the code.
send_query() {
    ip netns exec "$(ns 3)" "$PY" - "$(peer 3)" "$1" <<'EOF' 2>/dev/null
import sys
from scapy.all import Ether, IP, IPOption_Router_Alert, sendp
from scapy.contrib.igmp import IGMP
q = Ether(dst="01:00:5e:00:00:01") / IP(src="10.79.0.3", dst="224.0.0.1", ttl=1,
    options=[IPOption_Router_Alert()]) / IGMP(type=0x11, mrcode=int(sys.argv[2]), gaddr="0.0.0.0")
sendp(q, iface=sys.argv[1], verbose=False)
EOF
}

case_query_rewrite() {
    start_capture 2 q "igmp"
    send_query 100
    stop_captures
    local out
    out=$(tcpdump -r "$TMP/q2.pcap" -n -v 2>/dev/null)
    echo "$out" | grep -q "max resp time 98\b" && pass "a v2 query of 10.0 s comes out with 9.8 s" ||
        fail "query rewrite" "$(echo "$out" | tr '\n' ' ')"
}

case_querier() {
    igmp_ok 85 br0 20 && igmp_ok 83 br0 1 0 || { fail "querier configured"; return; }
    start_capture 1 sq "igmp"
    sleep 5
    stop_captures
    igmp_ok 83 br0 0 0
    local n
    n=$(count sq1 "igmp query")
    [ "$n" -ge 2 ] && pass "the standalone querier's queries every 2 s reach the port ($n in 5 s)" ||
        fail "querier queries" "$n"
}

# Subscriber 1 speaks IGMPv3 and asks for the group from the uplink's
# address only; the uplink sends from that address and from a second one.
# Before any query: a host that heard an IGMPv2 query keeps to IGMPv2 a while.
case_v3_source() {
    igmp_ok 28 br0 3 1 || { fail "IGMPv3 passed"; return; }
    ip netns exec "$(ns 1)" sysctl -qw "net.ipv4.conf.$(peer 1).force_igmp_version=3"
    ip netns exec "$(ns 1)" sysctl -qw net.ipv4.conf.all.force_igmp_version=0
    ip -n "$(ns 3)" addr add "$NET.33/24" dev "$(peer 3)"
    start_capture 3 v3r "igmp"
    start_capture 1 v3a "udp port 5000 and src $NET.3"
    start_capture 1 v3b "udp port 5000 and src $NET.33"
    ip netns exec "$(ns 1)" "$PY" - "$GROUP" "$NET.1" "$NET.3" <<'EOF' &
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
g, i, src = (socket.inet_aton(a) for a in sys.argv[1:4])
# IP_ADD_SOURCE_MEMBERSHIP (39): struct ip_mreq_source is group, interface, source.
s.setsockopt(socket.IPPROTO_IP, getattr(socket, 'IP_ADD_SOURCE_MEMBERSHIP', 39), g + i + src)
time.sleep(4)
EOF
    local pid=$!
    sleep 1
    stream 20 "$NET.3"
    stream 20 "$NET.33"
    wait "$pid"
    sleep 1
    stop_captures
    start_capture 1 v3l "udp port 5000"
    stream 20 "$NET.3"
    stop_captures
    ip netns exec "$(ns 1)" sysctl -qw "net.ipv4.conf.$(peer 1).force_igmp_version=2"
    ip netns exec "$(ns 1)" sysctl -qw net.ipv4.conf.all.force_igmp_version=2
    igmp_ok 28 br0 3 0
    local a b l
    a=$(count v3a1) b=$(count v3b1) l=$(count v3l1)
    [ "$(count v3r3 "igmp v3 report")" -ge 1 ] && pass "the uplink sees the IGMPv3 report" ||
        fail "v3 report at the router port" "$(tcpdump -r "$TMP/v3r3.pcap" -n 2>/dev/null | head -3)"
    [ "$a" -ge 15 ] && [ "$b" -eq 0 ] &&
        pass "a source-specific join gets its source only ($a/20 from it, $b/20 from another)" ||
        fail "source filter" "$a from the source, $b from another; $(tcpdump -r "$TMP/v3r3.pcap" -n -v 2>/dev/null | tr '\n' ' ' | head -c 1500)"
    [ "$l" -eq 0 ] && pass "after the source is left nothing more arrives" ||
        fail "stream after the v3 leave" "$l"
}

# With VLAN 10 a proxy, the uplink hears the group's join and leave from
# the proxy's own address, never from the host.
case_proxy() {
    igmp_ok 44 br0 10 1 600 2 || { fail "proxy on"; return; }
    start_capture 3 px "igmp"
    join_group
    leave_group
    stop_captures
    igmp_ok 44 br0 10 0 600 2
    local out
    out=$(tcpdump -r "$TMP/px3.pcap" -n 2>/dev/null)
    echo "$out" | grep -q "$NET.254 > $GROUP: igmp v2 report" &&
        echo "$out" | grep -q "$NET.254 > 224.0.0.2: igmp leave" &&
        ! echo "$out" | grep -q "$NET.1 >" && pass "the proxy joins and leaves for its host" ||
        fail "proxy join and leave" "$(echo "$out" | tr '\n' ' ')"
}

case_malformed() {
    igmp_ok 28 br0 3 1
    ip netns exec "$(ns 1)" "$PY" - "$(peer 1)" <<'EOF' 2>/dev/null
import struct, sys
from scapy.all import Ether, IP, IPOption_Router_Alert, Raw, sendp
def csum(b):
    s = sum((b[i] << 8) + (b[i + 1] if i + 1 < len(b) else 0) for i in range(0, len(b), 2))
    while s >> 16:
        s = (s & 0xffff) + (s >> 16)
    return ~s & 0xffff
def v3(nrec, records):
    m = bytearray(struct.pack('>BBHHH', 0x22, 0, 0, 0, nrec) + records)
    m[2:4] = struct.pack('>H', csum(bytes(m)))
    return bytes(m)
rec = lambda t, g, ns, srcs=b'': struct.pack('>BBH4s', t, 0, ns, bytes(map(int, g.split('.')))) + srcs
bad = [v3(200, rec(4, "239.2.2.2", 0)),            # more records announced than present
       v3(1, rec(4, "239.2.2.3", 300, b'\x0a' * 8)),  # sources past the end
       v3(60, rec(1, "239.2.2.4", 2, b'\x0a\x00\x00\x01' * 2) * 60 + b'\xff' * 500)]
for m in bad:
    p = Ether(dst="01:00:5e:00:00:16") / IP(src="10.79.0.1", dst="224.0.0.22", ttl=1,
        options=[IPOption_Router_Alert()], proto=2) / Raw(m)
    sendp(p, iface=sys.argv[1], verbose=False)
EOF
    igmp_ok 28 br0 3 0
    if kill -0 "$NODE_PID" 2>/dev/null && igmp_ok 32 br0 0; then
        pass "malformed IGMPv3 reports leave the node running"
    else
        fail "node alive after malformed reports" "$(tail -5 "$TMP/node.err")"
    fi
}

case_linux_bridge() {
    stop_node || true
    ip link del "$LBR" 2>/dev/null
    ip link add "$LBR" type bridge mcast_snooping 1 || { fail "Linux bridge"; return; }
    local i
    for i in 1 2 3; do
        # Fresh veth pairs: nothing the node's port driver left on the old ones stays.
        ip link del "$(port "$i")"
        ip link add "$(port "$i")" type veth peer name "$(peer "$i")" netns "$(ns "$i")"
        ip -n "$(ns "$i")" link set "$(peer "$i")" address "$(mac_of "$i")"
        ip -n "$(ns "$i")" addr add "$NET.$i/24" dev "$(peer "$i")"
        ip -n "$(ns "$i")" link set "$(peer "$i")" up
        ip netns exec "$(ns "$i")" sysctl -qw "net.ipv4.conf.$(peer "$i").force_igmp_version=2"
        ip -n "$(ns "$i")" route add 224.0.0.0/4 dev "$(peer "$i")" 2>/dev/null
        ip link set "$(port "$i")" master "$LBR"
        ip link set "$(port "$i")" up
    done
    ip link set "$LBR" up
    bridge link set dev "$(port 3)" mcast_router 2
    for i in 1 2; do
        bridge link set dev "$(port "$i")" fastleave on mcast_flood off
    done
    # Until it knows a querier the Linux bridge floods multicast: the uplink is one.
    send_query 10
    sleep 2
    local linux
    linux=$(delivery lb)
    MDB=$(bridge mdb show 2>&1)
    local row
    printf '%-34s %-8s %-8s\n' "datagrams (of 20)" "jxnode" "linux"
    for row in "1:member while joined" "2:non-member" "3:member after its leave"; do
        printf '%-34s %-8s %-8s\n' "${row#*:}" "$(echo "$NODE_RESULT" | cut -d/ -f"${row%%:*}")" \
            "$(echo "$linux" | cut -d/ -f"${row%%:*}")"
    done
    local a b
    a=$(echo "$NODE_RESULT" | awk -F/ '{print ($1 >= 15) "/" $2 "/" $3}')
    b=$(echo "$linux" | awk -F/ '{print ($1 >= 15) "/" $2 "/" $3}')
    [ "$a" = "$b" ] && pass "the same delivery as the Linux bridge ($a)" ||
        fail "same outcome as the Linux bridge" "jxnode $NODE_RESULT, linux $linux; $MDB"
}

NODE_RESULT=
setup
case_snooping
case_v3_source
case_proxy
case_query_rewrite
case_querier
case_malformed
case_linux_bridge
finish
