#!/usr/bin/env bash
# Frame capture and remote mirroring on real traffic: four namespaces on node
# ports, the bridge's pcap file followed with jxproc into tcpdump and tshark,
# and a mirroring session whose copies an analyser in namespace 4 captures.
#
# Needs root, ip(8), tcpdump and JX_BIN_DIR, the build directory holding
# jxnode and jxproc. Names start with $PREFIX (mr by default).
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v tcpdump >/dev/null; then
    echo "SKIP: needs root, ip(8) and tcpdump"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxcapture-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
PREFIX=${PREFIX:-mr}
BRN=${PREFIX}br
BR=/proc/net/jxbridge/$BRN/bridge
PCAP=/proc/net/jxbridge/$BRN/pcap
TRACER=/proc/net/jxbridge/$BRN/tracer
RM=/proc/net/jxbridge/$BRN/rmirroring
SUB=$PREFIX
NET=10.79.0
N=4
. "$(dirname "$0")/lib/subscribers.sh"

FOLLOW_PID=
cleanup() {
    [ -n "$FOLLOW_PID" ] && kill "$FOLLOW_PID" 2>/dev/null
    node_cleanup
    subscribers_cleanup
    rm -rf "$TMP"
}
trap cleanup EXIT

rm_cmd() { "$JXPROC" write "$RM" "$@" >/dev/null; }

# Waits (as a guard against a hang) until file holds a line matching pattern.
await() {
    local t
    for t in $(seq 100); do grep -qs "$2" "$1" && return 0; sleep 0.1; done
    return 1
}

case_tcpdump_reads_the_capture() {
    "$JXPROC" follow "$PCAP" 2>"$TMP/follow.err" |
        tcpdump -r - -n >"$TMP/td.txt" 2>"$TMP/td.err" &
    FOLLOW_PID=$!
    # tcpdump says so once it has the global header: the reader is open.
    await "$TMP/td.err" "reading from file" || fail "tcpdump read the global header"
    "$JXPROC" write "$TRACER" tracer 5 pcap-only rx ipproto 1 >/dev/null
    ip netns exec "$(ns 1)" ping -c 6 -i 0.1 -W 1 "$NET.2" >/dev/null 2>&1
    # The run ends after five frames: the stream ends and so does tcpdump.
    wait "$FOLLOW_PID"
    FOLLOW_PID=
    local n
    n=$(grep -c "ICMP echo" "$TMP/td.txt")
    if [ "$n" -eq 5 ] && ! grep -qi "truncated\|bogus" "$TMP/td.err"; then
        pass "jxproc follow | tcpdump -r - prints the five frames of the run and ends"
    else
        fail "tcpdump read the live capture" "$n frames; $(cat "$TMP/td.err" "$TMP/follow.err")"
    fi
}

case_saved_capture_and_annotation() {
    "$JXPROC" follow "$PCAP" >"$TMP/run.pcap" 2>"$TMP/follow.err" &
    FOLLOW_PID=$!
    local t
    for t in $(seq 100); do [ "$(stat -c %s "$TMP/run.pcap")" -ge 24 ] && break; sleep 0.1; done
    "$JXPROC" write "$TRACER" tracer 2 pcap-only tx annotate ipproto 1 >/dev/null
    ip netns exec "$(ns 1)" ping -c 3 -i 0.1 -W 1 "$NET.2" >/dev/null 2>&1
    wait "$FOLLOW_PID"
    FOLLOW_PID=
    if command -v capinfos >/dev/null; then
        capinfos "$TMP/run.pcap" >"$TMP/capinfos.txt" 2>&1 &&
            grep -q "Number of packets: *4" "$TMP/capinfos.txt" &&
            pass "capinfos validates a saved capture" ||
            fail "capinfos on the saved capture" "$(cat "$TMP/capinfos.txt")"
    fi
    if command -v tshark >/dev/null; then
        # The annotation is a broadcast UDP packet naming both devices.
        local payload want
        payload=$(tshark -r "$TMP/run.pcap" -Y "udp && ip.dst == 255.255.255.255" \
            -T fields -e data.data 2>/dev/null | head -1 | tr -d ':\n')
        want=$(printf 'From:' | od -An -tx1 | tr -d ' \n')
        local in to
        in=$(printf '%s' "$(port 1)" | od -An -tx1 | tr -d ' \n')
        to=$(printf '%s' "$(port 2)" | od -An -tx1 | tr -d ' \n')
        case $payload in *"$want"*"$in"*"$to"*)
            pass "tshark decodes the annotation naming the devices" ;;
        *) fail "annotation decoded by tshark" "$payload" ;;
        esac
    fi
}

case_reader_leaves_mid_capture() {
    "$JXPROC" follow "$PCAP" >/dev/null 2>&1 &
    local f=$!
    "$JXPROC" write "$TRACER" tracer 200 pcap-only rx >/dev/null
    ip netns exec "$(ns 1)" ping -c 40 -i 0.01 -W 1 "$NET.2" >/dev/null 2>&1 &
    local p=$!
    sleep 0.1
    kill "$f" 2>/dev/null
    wait "$f" 2>/dev/null
    wait "$p"
    "$JXPROC" write "$TRACER" tracer 0 >/dev/null
    if kill -0 "$NODE_PID" 2>/dev/null && pinged 1 2; then
        pass "a reader closing in the middle of a capture run harms nothing"
    else
        fail "node alive after a reader left" "$(tail -5 "$TMP/node.err")"
    fi
}

CAP_PID=
start_capture() {
    rm -f "$TMP/an.pcap" "$TMP/an.err"
    ip netns exec "$(ns 4)" tcpdump -i "$(peer 4)" --immediate-mode -U -n -w "$TMP/an.pcap" \
        2>"$TMP/an.err" &
    CAP_PID=$!
    await "$TMP/an.err" listening
}
stop_capture() {
    sleep 0.3
    kill "$CAP_PID" 2>/dev/null
    wait "$CAP_PID" 2>/dev/null
}
seen() { tcpdump -r "$TMP/an.pcap" -n -e "$@" 2>/dev/null; }

case_mirroring_to_an_analyser() {
    "$JXPROC" write /proc/net/jxbridge/$BRN/vlan vlan add 100 >/dev/null
    rm_cmd create 1 100 && rm_cmd source 1 "$(port 1)" both && rm_cmd destination 1 "$(port 4)" &&
        rm_cmd cos 1 5 && rm_cmd activate 1 || {
        fail "session configured through the rmirroring file"
        return
    }
    # The session record read back by ioctl: in use, active, VLAN 100, CoS 5.
    local rec
    rec=$("$JXPROC" ioctl "$RM" 40047a02 01 --out 104 | tail -1)
    case $rec in 010101*) ;; *) fail "session record" "$rec" ;; esac
    [ "${rec:20:4}" = 6400 ] && [ "${rec:90:2}" = 05 ] || fail "session VLAN and CoS" "$rec"
    "$JXPROC" cat "$RM" | grep -q "^1  *Destination  *100 .* Yes" ||
        fail "read-out" "$("$JXPROC" cat "$RM")"

    start_capture
    pinged 1 2 || fail "ping 1 -> 2 while mirrored"
    stop_capture
    local req rep
    req=$(seen | grep "vlan 100, p 5," | grep -c "ICMP echo request")
    rep=$(seen | grep "vlan 100, p 5," | grep -c "ICMP echo reply")
    if [ "$req" -ge 2 ] && [ "$rep" -ge 2 ]; then
        pass "the analyser sees the subscriber's frames both ways in VLAN 100 with CoS 5"
    else
        fail "mirrored ping in tag mode" "$req requests, $rep replies; $(seen | head -5)"
    fi

    rm_cmd encaps 1 on && rm_cmd mac 1 02:00:00:00:00:aa || fail "encapsulation configured"
    start_capture
    pinged 1 2
    stop_capture
    local n
    n=$(seen ether dst 02:00:00:00:00:aa | grep -c "ethertype 802.1Q-QinQ (0x88a8)")
    # 18 header bytes in front of a 98-byte ICMP frame.
    if [ "$n" -ge 4 ] && seen ether dst 02:00:00:00:00:aa | grep -q "length 116"; then
        pass "in encapsulation mode the analyser sees the 18-byte header"
    else
        fail "encapsulated copies" "$(seen | head -5)"
    fi

    if ip netns exec "$(ns 4)" ping -c 2 -i 0.2 -W 1 "$NET.1" >/dev/null 2>&1; then
        fail "traffic from the analyser port is blocked"
    else
        pass "traffic sent into the analyser port is not bridged"
    fi
    rm_cmd deactivate 1 && rm_cmd delete 1
    if pinged 4 1; then
        pass "the session gone, the analyser port bridges again"
    else
        fail "analyser port after the session"
    fi
}

subscribers_start
case_tcpdump_reads_the_capture
case_saved_capture_and_annotation
case_reader_leaves_mid_capture
case_mirroring_to_an_analyser
stop_node || fail "jxnode stops cleanly"
finish
