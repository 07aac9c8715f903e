#!/usr/bin/env bash
# Event channels on real traffic: readers of the bridge's event file (jxproc
# follow, and an agent under the preload library) see the records the ACL's
# event action raises for pings between namespaces; jxbrctl's cfm_pdu listener
# registers on netlink and prints the fault events the cfm file's event_test sends.
#
# Needs root, ip(8), /usr/bin/python3 and JX_BIN_DIR. Names start with $PREFIX
# (ev_ by default).
set -u

PY=/usr/bin/python3
if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || [ ! -x $PY ]; then
    echo "SKIP: needs root, ip(8) and $PY"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxevent-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
PREFIX=${PREFIX:-ev_}
BRN=evbr
BR=/proc/net/jxbridge/$BRN/bridge
EVENT=/proc/net/jxbridge/$BRN/event
CFM=/proc/net/jxbridge/$BRN/cfm
ACL=/proc/net/jxbridge/$BRN/acl
BRCTL=$BIN/jxbrctl
PL=$BIN/libjxpreload.so
SUB=$PREFIX
NET=10.82.0
N=2
PIDS=()
. "$(dirname "$0")/lib/subscribers.sh"

cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill -KILL "$p" 2>/dev/null; done
    node_cleanup
    subscribers_cleanup
    rm -rf "$TMP"
}
trap cleanup EXIT

# Waits (as a guard against a hang, not a timing) until file holds count lines matching re.
wait_lines() {
    local file=$1 re=$2 count=$3 t n
    for t in $(seq 100); do
        n=$(grep -c "$re" "$file" 2>/dev/null)
        [ "${n:-0}" -ge "$count" ] && return 0
        sleep 0.1
    done
    return 1
}

# Two followers and an idle agent whose queue holds two records: five pings
# raise five records; the followers see all, the agent loses three.
case_readers() {
    local acl="$JXPROC write $ACL"
    $acl selector add icmp >/dev/null && $acl condition add icmp 1 ip_protocol 1 >/dev/null &&
        $acl action-list add note >/dev/null && $acl action add note 1 event ping-seen >/dev/null &&
        $acl action add note 2 pass >/dev/null &&
        $acl port-entry add "$(port 1)" ingress 10 icmp note >/dev/null &&
        $acl default-action-list "$(port 1)" ingress true pass >/dev/null ||
        { fail "ACL event action configured"; return; }
    local i
    for i in 1 2; do
        "$JXPROC" follow "$EVENT" >"$TMP/follow$i.out" 2>&1 &
        PIDS+=($!)
    done
    mkfifo "$TMP/go"
    LD_PRELOAD=$PL $PY -c "
import fcntl, os, sys
fd = os.open('$EVENT', os.O_RDONLY)
fcntl.ioctl(fd, 0x40047a01, 2)
print('ready', flush=True)
sys.stdin.readline()
os.close(fd)" <"$TMP/go" >"$TMP/agent.out" 2>&1 &
    local agent=$!
    exec 4>"$TMP/go"
    wait_lines "$TMP/agent.out" ready 1 || { fail "idle agent opens the event file" "$(cat "$TMP/agent.out")"; return; }
    ip netns exec "$(ns 1)" ping -c 5 -i 0.2 -W 2 "$NET.2" >/dev/null 2>&1
    if wait_lines "$TMP/follow1.out" "^acl-event ping-seen 101 i $NET.1 $NET.2 1$" 5 &&
        wait_lines "$TMP/follow2.out" "^acl-event ping-seen 101 i $NET.1 $NET.2 1$" 5; then
        pass "two followers both read every ACL event record"
    else
        fail "both followers see five records" "$(cat "$TMP/follow1.out" "$TMP/follow2.out" | head)"
    fi
    echo >&4
    exec 4>&-
    wait "$agent"
    "$JXPROC" dmesg | grep -q "Reader 'python3' ([0-9]*) of \[$BRN\] lost 3 records" &&
        pass "the idle reader lost only its own records, and says how many" ||
        fail "lost count of the idle reader" "$("$JXPROC" dmesg | grep -i lost)"
}

# A signal ends a blocked follow with the read's error, not as an end of file.
case_interrupted_follow() {
    "$JXPROC" follow "$EVENT" >"$TMP/int.out" 2>"$TMP/int.err" &
    local f=$!
    # The follower may not have opened the file yet when the first ping goes.
    local i
    for i in 1 2 3 4 5; do
        ip netns exec "$(ns 1)" ping -c 1 -W 2 "$NET.2" >/dev/null 2>&1
        wait_lines "$TMP/int.out" ping-seen 1 && break
    done
    [ "$i" -lt 5 ] || grep -q ping-seen "$TMP/int.out" || { fail "follower reads"; return; }
    kill -INT "$f"
    wait "$f"
    local rc=$?
    [ $rc -eq 1 ] && grep -q "(-4)" "$TMP/int.err" &&
        pass "an interrupted follow ends with EINTR" ||
        fail "interrupted follow" "rc=$rc $(cat "$TMP/int.err")"
}

# jxbrctl's listener registers over netlink and prints two fault events.
case_netlink_agent() {
    "$BRCTL" "$BRN" cfm_pdu >"$TMP/nl.out" 2>&1 &
    local l=$!
    PIDS+=($l)
    wait_lines "$TMP/nl.out" "^Received message 0, msg=OK$" 1 ||
        { fail "cfm_pdu registers" "$(cat "$TMP/nl.out")"; return; }
    "$JXPROC" write "$CFM" event_test 10257 4 >/dev/null &&
        "$JXPROC" write "$CFM" event_test 101 7 >/dev/null || { fail "event_test written"; return; }
    wait "$l"
    local want
    want="Sending message to kernel
Received message 0, msg=OK
Received message 1, nlh->nlmsg_len=32
event->bll_id=10257, event->event_type=4
Received message 2, nlh->nlmsg_len=32
event->bll_id=101, event->event_type=7"
    [ "$(cat "$TMP/nl.out")" = "$want" ] && pass "cfm_pdu receives the events of event_test over netlink" ||
        fail "cfm_pdu output" "$(cat "$TMP/nl.out")"
}

# An agent of its own, plain sockets under the preload library: it registers,
# gets two fault events, and unregisters itself.
case_python_agent() {
    LD_PRELOAD=$PL $PY -c "
import os, socket, struct
s = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 31)
s.bind((os.getpid(), 0))
def say(word):
    s.send(struct.pack('=IHHII', 16 + len(word) + 1, 0, 0, 0, os.getpid()) + word + b'\\0')
def payload():
    d = s.recv(1024)
    return d[16:struct.unpack('=I', d[:4])[0]]
say(b'netlink_event_start')
print('reply', payload().decode(), flush=True)
for i in range(2):
    bll, vid, kind, state = struct.unpack('=IIII', payload())
    print('event', bll, kind, flush=True)
say(b'netlink_event_stop')
print('stop', payload().decode(), flush=True)" >"$TMP/py.out" 2>&1 &
    local a=$!
    PIDS+=($a)
    wait_lines "$TMP/py.out" "^reply OK$" 1 || { fail "python agent registers" "$(cat "$TMP/py.out")"; return; }
    "$JXPROC" write "$CFM" event_test 5 1 >/dev/null && "$JXPROC" write "$CFM" event_test 6 2 >/dev/null
    wait "$a"
    [ "$(cat "$TMP/py.out")" = "$(printf 'reply OK\nevent 5 1\nevent 6 2\nstop OK')" ] &&
        pass "a netlink agent of its own registers, receives and unregisters" ||
        fail "python netlink agent" "$(cat "$TMP/py.out")"
}

subscribers_start
case_readers
case_interrupted_follow
case_netlink_agent
case_python_agent
stop_node || fail "jxnode stops cleanly"
finish
