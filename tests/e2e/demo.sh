#!/usr/bin/env bash
# The demonstration as a user runs it: subscribers reach the uplink through the
# bridge, VLANs keep them apart, the uplink sees the tags, and nothing it made
# is left behind, whether it ends or is interrupted.
#
# Needs root, ip(8) and tcpdump, and JX_BIN_DIR (the demonstration runs that
# build instead of making its own).
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v tcpdump >/dev/null; then
    echo "SKIP: needs root, ip(8) and tcpdump"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxdemo-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
DEMO=$(cd "$(dirname "$0")/../.." && pwd)/scripts/demo.sh
trap 'rm -rf "$TMP"' EXIT

# Nothing of the demonstration's may remain: namespaces, interfaces, processes.
leftovers() {
    {
        ip netns list | grep -E '^jxdemo-'
        ip -br link | grep -E '^(ethjxd0|gponjxd[0-9])'
        pgrep -f "$BIN/jxnode --port ethjxd0"
    } 2>/dev/null
}

case_whole_run() {
    local out=$TMP/demo.out
    if ! bash "$DEMO" >"$out" 2>&1; then
        fail "the demonstration runs to its end" "$(tail -n 5 "$out")"
        return
    fi
    # Each ping reports on the line after its command.
    local verdicts
    verdicts=$(grep -A3 '^\$ ip netns exec' "$out" | grep -E '^   -> ' | tr -d ' ' | tr '\n' ' ')
    if [ "$verdicts" = "->reached ->reached ->reached ->reached ->noanswer " ]; then
        pass "subscribers reach the uplink and each other in their VLAN, not across"
    else
        fail "ping verdicts" "$verdicts"
    fi
    if grep -q "vlan 100," "$out" && grep -q "vlan 200," "$out"; then
        pass "the uplink sees VLAN 100 and 200 tags"
    else
        fail "tags on the uplink" "$(grep -A5 'tcpdump saw' "$out")"
    fi
    # The uplink's frames are counted: the first rx_pkts line is the uplink's.
    if grep -q '^Port statistics ethjxd0' "$out" &&
        grep -m1 '^rx_pkts\.' "$out" | grep -Eq '\.[1-9][0-9]*$'; then
        pass "port counters printed by jxbrctl, the uplink's frames counted"
    else
        fail "port counters" "$(grep -A3 'port counters' "$out")"
    fi
    local left
    left=$(leftovers)
    [ -z "$left" ] && pass "nothing left after the end" || fail "left after the end" "$left"
}

case_interrupted() {
    local out=$TMP/demo2.out
    # Its own process group, as a job in a terminal: Ctrl-C reaches the
    # script and everything it runs in the foreground.
    set -m
    bash "$DEMO" >"$out" 2>&1 &
    local demo=$!
    set +m
    # Interrupted once the bridge carries traffic: the node, the namespaces and
    # a running tcpdump are all up then.
    local t
    for t in $(seq 600); do grep -q '^== traffic' "$out" && break; sleep 0.1; done
    kill -INT -- "-$demo"
    wait "$demo"
    local rc=$?
    [ "$rc" -ne 0 ] && pass "an interrupted demonstration exits non-zero ($rc)" ||
        fail "interrupted exit status" "$rc"
    local left
    left=$(leftovers)
    [ -z "$left" ] && pass "nothing left after an interruption" ||
        fail "left after an interruption" "$left"
}

case_whole_run
case_interrupted
finish
