#!/usr/bin/env bash
# jxbrctl's flow commands against a running jxnode with the flow manager
# stand-in: three network namespaces joined to a bridge by veth pairs, real
# ping traffic between them, then the flows listed, filtered, summed up,
# flushed and their counters cleared, as an operator does it. A node without
# the flow manager has no flow file, and the commands say so.
#
# Needs root, ip(8) and JX_BIN_DIR, the build directory holding jxnode,
# jxproc and jxbrctl.
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v ping >/dev/null; then
    echo "SKIP: needs root, ip(8) and ping"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxflow-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
BRCTL=$BIN/jxbrctl
BRN=jxw$$
BR=/proc/net/jxbridge/$BRN/bridge
FLOW=/proc/net/jxbridge/flow
SUB=jxw$$
NET=10.79.0
N=3
. "$(dirname "$0")/lib/subscribers.sh"

cleanup() {
    node_cleanup
    subscribers_cleanup
    rm -rf "$TMP"
}
trap cleanup EXIT

# Once the subscribers know each other, their ARP caches are fixed, so no
# reachability probe adds flows while the cases look at them.
fix_neighbours() {
    local i j
    for i in $(seq $N); do
        for j in $(seq $N); do
            [ "$i" = "$j" ] && continue
            ip -n "$(ns "$i")" neigh replace "$NET.$j" lladdr "$(mac_of "$j")" nud permanent dev "$(peer "$i")"
        done
    done
}

# Runs jxbrctl on the bridge; its output in OUT, its exit status in RC.
brctl() {
    OUT=$("$BRCTL" "$BRN" "$@" 2>&1)
    RC=$?
}
# The flow rows of OUT, and a field of each by column name.
rows() { printf '%s\n' "$OUT" | grep -E '^\|[0-9]{6}\|'; }
nrows() { rows | wc -l; }
# Each flow's index and key, without its counter.
flow_keys() { rows | cut -d'|' -f2,7-14 | sort; }
col() {
    local n
    case $1 in iport) n=7 ;; eport) n=9 ;; dmac) n=11 ;; smac) n=12 ;; vlan) n=13 ;; etype) n=14 ;; rules) n=15 ;; esac
    rows | awk -F'|' -v n="$n" '{ gsub(/ /, "", $n); print $n }'
}
all_flows() { printf '%s\n' "$OUT" | sed -n 's/^     All flows: //p'; }
# The exit status of a usage line's print: its length, as an 8-bit status.
usage_rc() {
    local line
    line=$(printf "$1" "$BRCTL")
    echo $(((${#line} + 1) & 255))
}

case_list() {
    brctl flow show list
    if [ $RC -ne 0 ] || [ "$(nrows)" -lt 4 ] || [ "$(all_flows)" != "$(nrows)" ]; then
        fail "flow show list after ping" "rc=$RC $OUT"
        return
    fi
    local want="|    0|65535:65535|    1|65535:65535|$(mac_of 2)|$(mac_of 1)|    1|  800|0x01,0x0d,0xff,0xff,0xff,0xff|"
    if printf '%s\n' "$OUT" | grep -qF -- "$want" &&
        printf '%s\n' "$OUT" | grep -qxF -- "Extended flows: 0" &&
        printf '%s\n' "$OUT" | grep -qxF -- "Rule 0x11: Rule Set TOS" &&
        [ "$(printf '%s\n' "$OUT" | sed -n 2p)" = "|flowID|Next |crc32     |Ver|Type |iPort|iUcc:Sub|ePort|eUCC:Sub|DMAC             |SMAC             |VLAN |ETYPE|rules                        |counter   |" ]; then
        pass "the echo requests of subscriber 1 to 2 are a flow from port 0 to port 1"
    else
        fail "flow row of the ICMP requests" "$OUT"
    fi
    # The flooded ARP request reached port 2, as a multicast flow.
    if [ "$(col eport | grep -cx 2)" -ge 1 ] && rows | grep -q "| 2:MC|    0|65535:65535|    2|"; then
        pass "the flooded ARP request is a multicast flow to the third port"
    else
        fail "broadcast flow to port 2" "$OUT"
    fi
}

# Every listed row passes the filter, and some row is listed.
check_filter() {
    local what=$1 value=$2 test=$3
    brctl flow show list "$what" "$value"
    local n bad
    n=$(nrows)
    bad=$(eval "$test" | grep -cv '^ok$')
    if [ $RC -eq 0 ] && [ "$n" -ge 1 ] && [ "$bad" -eq 0 ] && [ "$(all_flows)" = "$n" ]; then
        pass "flow show list $what $value lists $n matching flow(s)"
    else
        fail "flow show list $what $value" "rc=$RC $OUT"
    fi
}

case_filters() {
    check_filter port 2 "paste -d' ' <(col iport) <(col eport) | awk '{ print (\$1 == 2 || \$2 == 2) ? \"ok\" : \"bad\" }'"
    check_filter iport 1 "col iport | awk '{ print \$1 == 1 ? \"ok\" : \"bad\" }'"
    check_filter eport 0 "col eport | awk '{ print \$1 == 0 ? \"ok\" : \"bad\" }'"
    check_filter dmac "$(mac_of 2)" "col dmac | awk '{ print \$1 == \"$(mac_of 2)\" ? \"ok\" : \"bad\" }'"
    check_filter smac "$(mac_of 1)" "col smac | awk '{ print \$1 == \"$(mac_of 1)\" ? \"ok\" : \"bad\" }'"
    check_filter vlan 1 "col vlan | awk '{ print \$1 == 1 ? \"ok\" : \"bad\" }'"
    brctl flow show list vlan 2
    [ $RC -eq 0 ] && [ "$(nrows)" -eq 0 ] && [ "$(all_flows)" = 0 ] &&
        pass "no flow in VLAN 2" || fail "flow show list vlan 2" "rc=$RC $OUT"

    brctl flow show list dmac 02:00:00:00:zz:01
    [ $RC -eq 234 ] && [ "$OUT" = "MAC address must be in xx:xx:xx:xx:xx:xx form." ] &&
        pass "a bad MAC word is refused" || fail "flow show list dmac <bad>" "rc=$RC $OUT"
    brctl flow show list vlan 5000
    [ $RC -eq 234 ] && [ "$OUT" = "VID must be in 1-4095 range." ] &&
        pass "a VID out of range is refused" || fail "flow show list vlan 5000" "rc=$RC $OUT"
    brctl flow show list port two
    [ $RC -eq 234 ] && [ -z "$OUT" ] &&
        pass "a bad port number is refused silently" || fail "flow show list port two" "rc=$RC $OUT"
    local u2='\t%s <bridge_name> flow show list [port <portno> | iport <portno> | eport <portno> | dmac <mac> | smac <mac> | vlan <vlan>]\n'
    brctl flow show list port
    [ "$RC" -eq "$(usage_rc "$u2")" ] && [ "$OUT" = "$(printf "$u2" "$BRCTL")" ] &&
        pass "a filter without its value prints the list's usage line" ||
        fail "flow show list port" "rc=$RC $OUT"
}

case_summary() {
    brctl flow show summary
    local rows_ sum counts
    rows_=$(printf '%s\n' "$OUT" | grep -E '^\| +[0-9]+\| +[0-9]+\|')
    counts=$(printf '%s\n' "$rows_" | awk -F'|' '{ s += $4 } END { print s + 0 }')
    sum=$(printf '%s\n' "$OUT" | sed -n 's/^|  Sum:    | *\([0-9]*\)|$/\1/p')
    if [ $RC -eq 0 ] && printf '%s\n' "$OUT" | grep -qxF "$(printf '\ttable size                    :16384')" &&
        [ "$(printf '%s\n' "$rows_" | awk -F'|' '{ print $2 + 0 }' | tr '\n' ' ')" = "0 1 " ] &&
        [ -n "$sum" ] && [ "$sum" = "$counts" ] && [ "$sum" -ge 4 ]; then
        pass "flow show summary has a row per port that flows enter, and their sum"
    else
        fail "flow show summary" "rc=$RC $OUT"
    fi
    brctl flow show summary port 1
    rows_=$(printf '%s\n' "$OUT" | grep -E '^\| +[0-9]+\| +[0-9]+\|')
    if [ $RC -eq 0 ] && [ "$(printf '%s\n' "$rows_" | wc -l)" -eq 1 ] &&
        printf '%s\n' "$rows_" | grep -qE '^\|   1\| 4096\|'; then
        pass "flow show summary port 1 shows port 1 alone"
    else
        fail "flow show summary port 1" "rc=$RC $OUT"
    fi
    brctl flow show summary port x
    [ $RC -eq 234 ] && [ -z "$OUT" ] && pass "a bad summary port is refused" ||
        fail "flow show summary port x" "rc=$RC $OUT"
    brctl flow show tarn
    local t
    for t in $(seq 50); do grep -q '\[Flow\] Flows: ' "$TMP/node.err" && break; sleep 0.1; done
    [ $RC -eq 0 ] && [ -z "$OUT" ] && grep -q '\[Flow\] Flows: ' "$TMP/node.err" &&
        pass "flow show tarn has the manager log its summary" || fail "flow show tarn" "rc=$RC $OUT"
}

case_flush() {
    brctl flow flush port 2
    local before
    if [ $RC -eq 0 ] && [ -z "$OUT" ]; then
        brctl flow show list port 2
        [ "$(nrows)" -eq 0 ] && pass "flow flush port 2 takes the third port's flows" ||
            fail "flows of port 2 after flushing it" "$OUT"
    else
        fail "flow flush port 2" "rc=$RC $OUT"
    fi
    brctl flow show list
    before=$(nrows)
    local keys
    keys=$(flow_keys)
    [ "$before" -ge 4 ] && pass "the other flows stay" || fail "flows after flush port 2" "$OUT"

    local flush='\t%s <bridge_name> flow flush [port <portno>]\n'
    brctl flow flush bogus
    [ "$RC" -eq "$(usage_rc "$flush")" ] && [ "$OUT" = "$(printf "$flush" "$BRCTL")" ] &&
        pass "flow flush with a stray word prints its usage line" || fail "flow flush bogus" "rc=$RC $OUT"
    brctl flow flush bogus 2
    [ "$RC" -eq "$(usage_rc '%s <bridge_name> flow flush [port <portno>]\n')" ] &&
        [ "$OUT" = "$BRCTL <bridge_name> flow flush [port <portno>]" ] &&
        pass "flow flush <word> <n> names the port keyword" || fail "flow flush bogus 2" "rc=$RC $OUT"
    brctl flow flush port none
    local none_rc=$RC
    brctl flow show list
    [ "$none_rc" -eq 234 ] && [ -z "$(comm -23 <(printf '%s\n' "$keys") <(flow_keys))" ] &&
        pass "flow flush port <not a number> is refused and flushes nothing" ||
        fail "flow flush port none" "rc=$none_rc $OUT"

    brctl flow flush
    if [ $RC -eq 0 ] && [ -z "$OUT" ]; then
        brctl flow show list
        [ "$(all_flows)" = 0 ] && pass "flow flush empties the table" || fail "flows after flush" "$OUT"
    else
        fail "flow flush" "rc=$RC $OUT"
    fi
    brctl flow show summary
    printf '%s\n' "$OUT" | grep -qxF "$(printf '\treinitialization count        :1')" &&
        pass "the flush is counted" || fail "reinitialization count after flush" "$OUT"
    brctl flow debug counters clear
    local cleared_rc=$RC cleared_out=$OUT
    brctl flow show summary
    [ "$cleared_rc" -eq 0 ] && [ -z "$cleared_out" ] &&
        printf '%s\n' "$OUT" | grep -qxF "$(printf '\treinitialization count        :0')" &&
        pass "flow debug counters clear" || fail "flow debug counters clear" "rc=$cleared_rc $cleared_out $OUT"
    brctl flow debug counters
    [ "$RC" -eq "$(usage_rc '\t%s <bridge_name> flow debug counters clear\n')" ] &&
        pass "flow debug counters alone prints its usage line" || fail "flow debug counters" "rc=$RC $OUT"

    # The manager keeps building flows after a flush.
    pinged 1 3 || fail "ping 1 -> 3 after the flush"
    brctl flow show list smac "$(mac_of 3)"
    [ "$(col eport | grep -cx 0)" -ge 1 ] && pass "new traffic makes new flows" ||
        fail "flows of subscriber 3's answers" "$OUT"
}

# No flow manager: no flow file, and each flow command says so.
case_no_manager() {
    brctl flow show list
    [ $RC -eq 254 ] && [ "$OUT" = "can not open $FLOW " ] &&
        pass "flow show list without a flow manager" || fail "flow show list, no manager" "rc=$RC $OUT"
    brctl flow show summary
    [ $RC -eq 254 ] && [ "$OUT" = "can not open $FLOW " ] &&
        pass "flow show summary without a flow manager" || fail "flow show summary, no manager" "rc=$RC $OUT"
    brctl flow debug counters clear
    [ $RC -eq 254 ] && [ "$OUT" = "can not open $FLOW " ] &&
        pass "flow debug counters clear without a flow manager" || fail "debug clear, no manager" "rc=$RC $OUT"
    brctl flow flush
    [ $RC -eq 254 ] && [ "$OUT" = "Error opening file '$FLOW'." ] &&
        pass "flow flush without a flow manager" || fail "flow flush, no manager" "rc=$RC $OUT"
    brctl flow show tarn
    [ $RC -eq 254 ] && [ "$OUT" = "Error opening file '$FLOW'." ] &&
        pass "flow show tarn without a flow manager" || fail "flow show tarn, no manager" "rc=$RC $OUT"
}

subscribers_start --flow-manager
if pinged 1 2; then
    pass "ping between two subscribers"
    fix_neighbours
    case_list
    case_filters
    case_summary
    case_flush
else
    fail "ping 1 -> 2" "$("$JXPROC" cat "$BR" | tail -8)"
fi
stop_node || fail "jxnode with the flow manager stops cleanly"

args=()
for i in $(seq $N); do args+=(--port "$(port "$i")"); done
if ! start_node "${args[@]}"; then
    fail "jxnode start without the flow manager" "$(cat "$TMP/node.err")"
    finish
fi
if build_bridge; then
    case_no_manager
else
    fail "bridge built on the second node"
fi
stop_node || fail "jxnode stops cleanly"
finish
