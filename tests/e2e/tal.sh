#!/usr/bin/env bash
# Access authentication on real traffic: subscribers 1 and 2 and an uplink (3)
# in namespaces on node ports; a subscriber's DHCP DISCOVER becomes a request
# record that jxproc follow reads from the event file, and the agent's reply
# by ioctl on the tal file lets dhclient get its lease from dnsmasq, or not.
#
# Needs root, ip(8), dnsmasq, dhclient and JX_BIN_DIR. Names start with
# $PREFIX (ta_ by default).
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v dnsmasq >/dev/null ||
    ! command -v dhclient >/dev/null; then
    echo "SKIP: needs root, ip(8), dnsmasq and dhclient"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxtal-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
PREFIX=${PREFIX:-ta_}
BRN=tabr
BR=/proc/net/jxbridge/$BRN/bridge
TAL=/proc/net/jxbridge/$BRN/tal
EVENT=/proc/net/jxbridge/$BRN/event
SUB=$PREFIX
NET=10.84.0
N=3
PIDS=()
. "$(dirname "$0")/lib/subscribers.sh"

cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
    node_cleanup
    subscribers_cleanup
    rm -rf "$TMP"
}
trap cleanup EXIT

tal() { "$JXPROC" write "$TAL" "$@" >/dev/null; }
hex() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
# Waits (as a guard against a hang, not a timing) until file holds count lines matching re.
wait_lines() {
    local file=$1 re=$2 count=$3 t n
    for t in $(seq 300); do
        n=$(grep -c "$re" "$file" 2>/dev/null)
        [ "${n:-0}" -ge "$count" ] && return 0
        sleep 0.1
    done
    return 1
}
# Waits the same way until the command succeeds.
wait_for() {
    local t
    for t in $(seq 300); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}
# The read-out of subscriber i's port has a line matching re.
port_shows() { "$JXPROC" cat "$TAL" | grep -A40 "^Port: $(port "$1")$" | grep -q "$2"; }
# The agent's answer for subscriber i's port: the 44-byte port record, reply state at 28.
reply() {
    "$JXPROC" ioctl "$TAL" 40047a23 \
        "$(name_field "$(port "$1")" 17)000000$(le32 0)$(le32 0)$(le32 "$2")$(le32 0)$(le32 0)$(le32 0)" |
        grep -q '^rc=0$'
}
# dhclient once on subscriber i with options 60 and 61 set, in the background.
dhclient_start() {
    ip -n "$(ns "$1")" addr flush dev "$(peer "$1")"
    cat >"$TMP/dhscript$1" <<EOF
#!/bin/sh
case "\$reason" in BOUND) ip addr add "\$new_ip_address/24" dev "\$interface" ;; esac
echo "\$reason \$new_ip_address" >>$TMP/dhclient$1.out
EOF
    chmod +x "$TMP/dhscript$1"
    cat >"$TMP/dhclient$1.conf" <<EOF
timeout $2; retry 1;
send vendor-class-identifier "jxtal-vendor";
send dhcp-client-identifier "jxtal-sub$1";
EOF
    ip netns exec "$(ns "$1")" dhclient -1 -cf "$TMP/dhclient$1.conf" -sf "$TMP/dhscript$1" \
        -lf "$TMP/dhclient$1.leases" -pf "$TMP/dhclient$1.pid" "$(peer "$1")" >/dev/null 2>&1 &
    DHCLIENT=$!
}

setup() {
    ip netns exec "$(ns 3)" dnsmasq --keep-in-foreground --port=0 --bind-interfaces \
        --interface="$(peer 3)" --dhcp-range="$NET.50,$NET.59,1h" --leasefile-ro \
        --pid-file= --user=root --log-facility=- 2>"$TMP/dnsmasq.log" &
    PIDS+=($!)
    local c
    for c in "selector add dhcp" "condition add dhcp 1 udp_dport 67" "action-list add ask" \
        "action add ask 1 send_authen_req" "state 1" "port $(port 1) timeout 120" \
        "port-entry add $(port 1) dhcp ask" "port-entry add $(port 2) dhcp ask" \
        "port $(port 1) state 1" "port $(port 2) state 1" \
        "port $(port 1) authentication 1" "port $(port 2) authentication 1"; do
        tal $c || { fail "tal file: $c"; return 1; }
    done
    "$JXPROC" follow "$EVENT" >"$TMP/follow.out" 2>&1 &
    PIDS+=($!)
}

# The DISCOVER is held as a request with the client's options; dnsmasq sees
# it once the agent says OK, and the lease completes.
case_ok() {
    dhclient_start 1 60
    local d1=$DHCLIENT
    local want
    want="^tal$(port 1)00$(printf '%04d' 0)$(mac_of 1 | tr -d :)000\.000\.000\.000[0-9a-f]\{256\}"
    want="${want}060012$(hex jxtal-vendor)061010106$(hex xtal-sub1)\$"
    if ! wait_lines "$TMP/follow.out" "$want" 1; then
        fail "jxproc follow shows the request with options 60 and 61" "$(cut -c1-60 "$TMP/follow.out")"
        kill "$d1" 2>/dev/null
        return
    fi
    pass "the DISCOVER became a request record carrying options 60 and 61"
    grep -q DHCPDISCOVER "$TMP/dnsmasq.log" &&
        fail "dnsmasq sees nothing before the reply" "$(cat "$TMP/dnsmasq.log")"
    reply 1 1 || { fail "OK reply by ioctl"; kill "$d1"; return; }
    wait "$d1"
    if grep -q "DHCPDISCOVER.*$(mac_of 1)" "$TMP/dnsmasq.log" && grep -q '^BOUND ' "$TMP/dhclient1.out"; then
        pass "after the OK reply dnsmasq sees the DISCOVER and the lease completes"
    else
        fail "lease after OK" "$(cat "$TMP/dnsmasq.log" "$TMP/dhclient1.out" 2>&1 | tail -5)"
    fi
    [ -f "$TMP/dhclient1.pid" ] && kill "$(cat "$TMP/dhclient1.pid")" 2>/dev/null
}

# A NOK reply: no lease, and the port stays closed both ways.
case_nok() {
    dhclient_start 2 8
    local d2=$DHCLIENT
    if ! wait_lines "$TMP/follow.out" "^tal$(port 2)00" 1; then
        fail "subscriber 2's request" "$(cut -c1-40 "$TMP/follow.out")"
        kill "$d2" 2>/dev/null
        return
    fi
    reply 2 0 || { fail "NOK reply by ioctl"; kill "$d2"; return; }
    wait "$d2"
    if grep -q '^BOUND ' "$TMP/dhclient2.out" 2>/dev/null || grep -q "DHCPDISCOVER.*$(mac_of 2)" "$TMP/dnsmasq.log"; then
        fail "no lease after NOK" "$(cat "$TMP/dhclient2.out" 2>&1)"
        return
    fi
    ip -n "$(ns 2)" addr add "$NET.2/24" dev "$(peer 2)"
    if pinged 2 3 || pinged 3 2; then
        fail "ping is dropped both ways after NOK"
    elif port_shows 2 "^Frames Dropped Tx: [1-9]"; then
        pass "NOK: no lease, ping dropped both ways (drops counted)"
    else
        fail "egress drops counted" "$("$JXPROC" cat "$TAL" | grep -A40 "^Port: $(port 2)$")"
    fi
}

# One request at a time for the whole node: with subscriber 2's request out,
# subscriber 1's DISCOVERs are only dropped; a request left unanswered times
# out and is counted; deleting subscriber 2's port releases the flag, and
# subscriber 1's next DISCOVER goes out as a request.
case_outstanding() {
    [ -f "$TMP/dhclient1.pid" ] && kill "$(cat "$TMP/dhclient1.pid")" 2>/dev/null
    tal port "$(port 2)" reset && tal port "$(port 2)" timeout 1 || { fail "port 2 reset"; return; }
    local n2
    n2=$(grep -c "^tal$(port 2)00" "$TMP/follow.out")
    dhclient_start 2 60
    PIDS+=($DHCLIENT)
    if wait_lines "$TMP/follow.out" "^tal$(port 2)00" $((n2 + 1)) &&
        wait_for port_shows 2 "^Authentication Timeouts Expired: [1-9]"; then
        pass "an unanswered request times out and is counted"
    else
        fail "time-out counted" "$("$JXPROC" cat "$TAL" | grep -A40 "^Port: $(port 2)$" | grep Timeouts)"
    fi
    # From here on subscriber 2's request is held long enough to block the others.
    kill "$DHCLIENT" 2>/dev/null
    wait "$DHCLIENT" 2>/dev/null
    tal port "$(port 2)" reset && tal port "$(port 2)" timeout 300 || { fail "port 2 timeout"; return; }
    n2=$(grep -c "^tal$(port 2)00" "$TMP/follow.out")
    dhclient_start 2 60
    PIDS+=($DHCLIENT)
    wait_lines "$TMP/follow.out" "^tal$(port 2)00" $((n2 + 1)) || { fail "subscriber 2's request"; return; }
    tal port "$(port 1)" reset && tal port "$(port 1)" clear || { fail "port 1 reset"; return; }
    local n1
    n1=$(grep -c "^tal$(port 1)00" "$TMP/follow.out")
    dhclient_start 1 60
    PIDS+=($DHCLIENT)
    if wait_for port_shows 1 "^Frames Dropped Rx: [1-9]" &&
        port_shows 1 "^Authentication Requests Sent: 0$"; then
        pass "a second trigger while a request is outstanding is only dropped"
    else
        fail "second trigger dropped" "$("$JXPROC" cat "$TAL" | grep -A40 "^Port: $(port 1)$")"
    fi
    local n
    n=$(printf '%s' "$(port 2)" | od -An -tx1 | tr -d ' \n')00
    "$JXPROC" ioctl "$BR" 40047a03 "$n" | grep -q '^rc=0$' || { fail "port 2 deleted"; return; }
    if wait_lines "$TMP/follow.out" "^tal$(port 1)00" $((n1 + 1)); then
        pass "deleting the port with the outstanding request lets the next port's request out"
    else
        fail "request after port deletion" "$(tail -c 200 "$TMP/follow.out")"
    fi
}

subscribers_start
setup || finish
case_ok
case_nok
case_outstanding
stop_node || fail "jxnode stops cleanly"
finish
