#!/usr/bin/env bash
# The line of a bound port follows the carrier of its interface, with no
# force_line_up_flag: a two-port bridge between two network namespaces; the
# far end of one port goes down and comes back.
#
# Needs root, ip(8) and JX_BIN_DIR, the build directory holding jxnode and jxproc.
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null; then
    echo "SKIP: needs root and ip(8)"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxc-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
BRN=jxc$$
BR=/proc/net/jxbridge/$BRN/bridge
SUB=jxc$$
NET=10.78.0
N=2
. "$(dirname "$0")/lib/subscribers.sh"

cleanup() {
    node_cleanup
    subscribers_cleanup
    rm -rf "$TMP"
}
trap cleanup EXIT

# The Line column of a port's row in the bridge read-out.
line_of() {
    "$JXPROC" cat "$BR" | awk -F'|' -v p="$1" '$3 ~ " "p" [(]" { gsub(/ /, "", $9); print $9 }'
}

# Waits until the port's line reads $2; a guard against a hang, not a timing.
line_becomes() {
    local t
    for t in $(seq 100); do
        [ "$(line_of "$1")" = "$2" ] && return 0
        sleep 0.05
    done
    return 1
}

# A counter of the port's software block, as the bridge logs it.
counter() {
    "$JXPROC" write "$BR" show_counters_bridge "$1" >/dev/null
    "$JXPROC" dmesg | grep "\] $2\.\." | tail -1 | sed 's/.*\.\.//'
}

case_line_up_at_join() {
    if line_becomes "$(port 1)" UP && line_becomes "$(port 2)" UP; then
        pass "ports whose interfaces have carrier come up without a command"
    else
        fail "lines up at join" "$("$JXPROC" cat "$BR" | tail -6)"
    fi
    pinged 1 2 && pass "ping across the bridge" || fail "ping 1 -> 2"
}

case_peer_down() {
    ip -n "$(ns 2)" link set "$(peer 2)" down
    if line_becomes "$(port 2)" DOWN; then
        pass "the far end down takes the line down"
    else
        fail "line down with the far end" "$("$JXPROC" cat "$BR" | tail -6)"
    fi
    # The port's MAC entries went with its line: the frames for it are
    # unknown destinations, counted where they came in, and none is sent to it.
    local dlf sent
    dlf=$(counter "$(port 1)" rx_dlf)
    sent=$(counter "$(port 2)" tx_pkts)
    if pinged 1 2; then
        fail "no ping to a port whose line is down"
    else
        pass "no ping to a port whose line is down"
    fi
    local dlf2 sent2
    dlf2=$(counter "$(port 1)" rx_dlf)
    sent2=$(counter "$(port 2)" tx_pkts)
    if [ "${dlf2:-0}" -gt "${dlf:-0}" ] && [ -n "$sent" ] && [ "$sent2" = "$sent" ]; then
        pass "its frames counted as unknown destinations, none sent to it"
    else
        fail "frames for the port down counted" "rx_dlf $dlf -> $dlf2, tx_pkts $sent -> $sent2"
    fi
}

case_peer_back() {
    ip -n "$(ns 2)" link set "$(peer 2)" up
    if line_becomes "$(port 2)" UP; then
        pass "the far end back brings the line up"
    else
        fail "line up with the far end" "$("$JXPROC" cat "$BR" | tail -6)"
    fi
    pinged 1 2 && pass "ping works again, with no command" || fail "ping 1 -> 2 after the far end came back"
}

subscribers_start
case_line_up_at_join
case_peer_down
case_peer_back
stop_node || fail "jxnode stops cleanly"
finish
