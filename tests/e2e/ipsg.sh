#!/usr/bin/env bash
# IP source guard on real traffic: subscribers 1 and 2 and an uplink (3) in
# namespaces on node ports, the guard set through the ipsg file with jxproc,
# and Debian's clients on the far side: ping, dnsmasq and dhclient, scapy.
#
# Needs root, ip(8), dnsmasq, dhclient, /usr/bin/python3 and JX_BIN_DIR.
# Names start with $PREFIX (ig_ by default).
set -u

PY=/usr/bin/python3
if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v dnsmasq >/dev/null ||
    ! command -v dhclient >/dev/null || [ ! -x $PY ]; then
    echo "SKIP: needs root, ip(8), dnsmasq, dhclient and $PY"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxipsg-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
PREFIX=${PREFIX:-ig_}
BRN=igbr
BR=/proc/net/jxbridge/$BRN/bridge
IPSG=/proc/net/jxbridge/$BRN/ipsg
SUB=$PREFIX
NET=10.81.0
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

ipsg() { "$JXPROC" write "$IPSG" "$@" >/dev/null; }
# The port's line of the read-out.
port_line() { "$JXPROC" cat "$IPSG" | grep "^ *$(port "$1") |"; }

# Guard on for subscriber 1: no ping, ARP still answered; a static binding of
# its MAC, VLAN and address lets ping through again.
case_guard_on() {
    ipsg enable ipv4 1 && ipsg port "$(port 1)" enable ipv4 1 ||
        { fail "guard switched on through the ipsg file"; return; }
    ip -n "$(ns 1)" neigh flush all
    if pinged 1 3; then
        fail "an unbound subscriber's ping is dropped"
        return
    fi
    ip -n "$(ns 1)" neigh show "$NET.3" | grep -q lladdr &&
        pass "guard on: ping dropped, ARP still resolved" ||
        fail "ARP passes the guard" "$(ip -n "$(ns 1)" neigh show)"
    port_line 1 | grep -q "IPv4: (dropped [1-9]" || fail "the drops are counted" "$(port_line 1)"
    ipsg port "$(port 1)" bindings add 0 "$(mac_of 1)" 1 "$NET.1" ||
        { fail "static binding added"; return; }
    pinged 1 3 && pass "a static binding of MAC, VLAN and IP restores ping" ||
        fail "ping with a binding" "$("$JXPROC" cat "$IPSG")"
}

# A new MAC in the namespace: dropped in mode 0 (IP+MAC) only.
case_changed_mac() {
    ip -n "$(ns 1)" link set "$(peer 1)" address 02:00:00:00:00:aa
    ip -n "$(ns 1)" neigh flush all
    if pinged 1 3; then
        fail "mode 0 drops a bound address from another MAC"
    else
        ipsg port "$(port 1)" mode ipv4
        pinged 1 3 && pass "a changed MAC is dropped in mode 0 and passes in mode 1" ||
            fail "mode 1 ignores the MAC"
    fi
    ipsg port "$(port 1)" mode ipv4+mac
    ip -n "$(ns 1)" link set "$(peer 1)" address "$(mac_of 1)"
}

# Learning: dnsmasq on the uplink leases to dhclient on subscriber 2, whose
# port binds the lease; traffic from the leased address then flows.
case_learning() {
    ip netns exec "$(ns 3)" dnsmasq --keep-in-foreground --port=0 --bind-interfaces \
        --interface="$(peer 3)" --dhcp-range="$NET.50,$NET.59,1h" --leasefile-ro \
        --pid-file= --user=root --log-facility=- 2>"$TMP/dnsmasq.log" &
    PIDS+=($!)
    ipsg port "$(port 2)" enable ipv4 1 && ipsg port "$(port 2)" learn 1 ||
        { fail "learning switched on"; return; }
    ip -n "$(ns 2)" addr flush dev "$(peer 2)"
    cat >"$TMP/dhscript" <<EOF
#!/bin/sh
case "\$reason" in BOUND) ip addr add "\$new_ip_address/24" dev "\$interface" ;; esac
echo "\$reason \$new_ip_address" >>$TMP/dhclient.out
EOF
    chmod +x "$TMP/dhscript"
    echo "timeout 15; retry 1;" >"$TMP/dhclient.conf"
    ip netns exec "$(ns 2)" dhclient -1 -cf "$TMP/dhclient.conf" -sf "$TMP/dhscript" \
        -lf "$TMP/dhclient.leases" -pf "$TMP/dhclient.pid" "$(peer 2)" >/dev/null 2>&1
    [ -f "$TMP/dhclient.pid" ] && kill "$(cat "$TMP/dhclient.pid")" 2>/dev/null
    local ip
    ip=$(sed -n 's/^BOUND //p' "$TMP/dhclient.out" | head -1)
    [ -n "$ip" ] || { fail "dhclient gets a lease through the guard" "$(cat "$TMP/dhclient.out")"; return; }
    if "$JXPROC" cat "$IPSG" | grep -q "mac=$(mac_of 2), vid=1, ip=$ip/32 ([0-9]* s)" &&
        pinged 2 3; then
        pass "the lease ($ip) became a binding, and traffic flows"
    else
        fail "lease bound" "$("$JXPROC" cat "$IPSG")"
    fi
}

# IPv6: ping -6 passes the guard (ICMPv6); a UDP6 frame from an unbound source does not.
case_ipv6() {
    local i
    for i in 1 3; do
        ip netns exec "$(ns "$i")" sysctl -qw net.ipv6.conf.all.disable_ipv6=0
        ip -n "$(ns "$i")" addr add "fd81::$i/64" dev "$(peer "$i")" nodad
    done
    ipsg enable ipv6 1 && ipsg port "$(port 1)" enable ipv6 1 || { fail "IPv6 guard on"; return; }
    ip netns exec "$(ns 1)" ping -6 -c 2 -W 2 -i 0.2 fd81::3 >/dev/null 2>&1 ||
        { fail "ping -6 passes the guard"; return; }
    local before after
    before=$(port_line 1 | sed -n 's/.*IPv6: (dropped \([0-9]*\)).*/\1/p')
    ip netns exec "$(ns 1)" $PY -c "
from scapy.all import Ether, IPv6, UDP, sendp
sendp(Ether(src='$(mac_of 1)', dst='$(mac_of 3)')/IPv6(src='fd81::1', dst='fd81::3')/UDP(dport=5000)/b'x',
      iface='$(peer 1)', verbose=False)" 2>/dev/null
    # A guard against a hang, not a timing: the frame is counted once the node took it.
    for i in $(seq 50); do
        after=$(port_line 1 | sed -n 's/.*IPv6: (dropped \([0-9]*\)).*/\1/p')
        [ "${after:-0}" -gt "${before:-0}" ] && break
        sleep 0.1
    done
    if [ "${after:-0}" -eq $((${before:-0} + 1)) ]; then
        pass "ping -6 passes; a UDP6 frame from an unbound source is dropped"
    else
        fail "UDP6 dropped" "$before -> $after"
    fi
}

subscribers_start
case_guard_on
case_changed_mac
case_learning
case_ipv6
stop_node || fail "jxnode stops cleanly"
finish
