#!/usr/bin/env bash
# Management devices and application filters with real host traffic. jxnode
# runs in a namespace of its own, where its management devices are TAPs: two
# subscribers and an uplink (with dnsmasq) in namespaces of their own, joined
# to it by veth pairs. Cases: jxmngctl from another process; ping from mng0
# through the bridge and the MN flag; DHCP through the dhcp filter and a relay
# on the filter device's TAP; header lengths and forward lists; the TAPs after
# kill -9 and a persistent leftover.
#
# Needs root, ip(8), tcpdump, dnsmasq, dhclient, /usr/bin/python3 and
# JX_BIN_DIR, the build directory holding jxnode, jxproc and jxmngctl.
# PREFIX (mg) starts every namespace and interface name.
set -u

PY=/usr/bin/python3
if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v tcpdump >/dev/null ||
    ! command -v dnsmasq >/dev/null || ! command -v dhclient >/dev/null || [ ! -x $PY ]; then
    echo "SKIP: needs root, ip(8), tcpdump, dnsmasq, dhclient and $PY"
    exit 0
fi

TMP=$(mktemp -d /tmp/mg-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
RELAY=$(cd "$(dirname "$0")" && pwd)/lib/app_relay.py
MNGCTL=$BIN/jxmngctl
P=${PREFIX:-mg}
NODE_NS=${P}_n
BRN=${P}br
BR=/proc/net/jxbridge/$BRN/bridge
NET=10.77.0
# name:kind:bll:address of each far end; the uplink runs the DHCP server.
ENDS=("${P}_s1:1:101:$NET.1" "${P}_s2:1:102:$NET.2" "${P}_up:0:1:$NET.100")
PIDS=()

# jxnode in its namespace, with the lib's start and stop.
cat >"$TMP/jxnode" <<EOF
#!/bin/sh
exec ip netns exec $NODE_NS $BIN/jxnode "\$@"
EOF
chmod +x "$TMP/jxnode"
JXNODE=$TMP/jxnode
nx() { ip netns exec "$NODE_NS" "$@"; }

cleanup() {
    local p e
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
    node_cleanup
    for e in "${ENDS[@]}"; do ip netns del "${e%%:*}" 2>/dev/null; done
    ip netns del "$NODE_NS" 2>/dev/null
    rm -rf "$TMP"
}
trap cleanup EXIT

setup() {
    ip netns del "$NODE_NS" 2>/dev/null
    ip netns add "$NODE_NS" || return 1
    nx ip link set lo up
    nx sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
    local e ns i=1
    for e in "${ENDS[@]}"; do
        ns=${e%%:*}
        ip netns del "$ns" 2>/dev/null
        ip netns add "$ns" || return 1
        ip link add "${ns}a" netns "$NODE_NS" type veth peer name "${ns}b" netns "$ns" || return 1
        ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
        ip netns exec "$ns" ethtool -K "${ns}b" tso off gso off 2>/dev/null
        ip -n "$ns" link set "${ns}b" address "02:00:00:00:00:0$i" up || return 1
        ip -n "$ns" link set lo up
        nx sysctl -qw "net.ipv6.conf.${ns}a.disable_ipv6=1"
        i=$((i + 1))
    done
    ip -n "${P}_s1" addr add "$NET.1/24" dev "${P}_s1b"
    ip -n "${P}_s2" addr add "$NET.2/24" dev "${P}_s2b"
    ip -n "${P}_up" addr add "$NET.100/24" dev "${P}_upb"
}

# The bridge: the three veth ends and mng0 (local, BLL 50); devices up, then the bridge.
build_bridge() {
    "$JXPROC" write $CONFIG add "$BRN" 8 >/dev/null || return 1
    local e name kind rest
    for e in "${ENDS[@]}" "mng0:6:50:"; do
        name=${e%%:*}
        rest=${e#*:}
        kind=${rest%%:*}
        rest=${rest#*:}
        [ "$name" = mng0 ] || name=${name}a
        "$JXPROC" link "$name" up || return 1
        "$JXPROC" ioctl "$BR" 40047a02 "$(port_request "$name" 4294967295 "$kind" "${rest%%:*}")" |
            grep -q '^rc=0$' || return 1
    done
    "$JXPROC" link "$BRN" up
}

# A counter of a port's software block, as the bridge logs it.
counter() {
    "$JXPROC" write "$BR" show_counters_bridge "$1" >/dev/null
    "$JXPROC" dmesg | grep "\] $2\.\." | tail -1 | sed 's/.*\.\.//'
}
# A device's field of jxproc link (rx, tx, rx_dropped, tx_dropped).
link_field() {
    "$JXPROC" link | awk -v d="$1:" -v f="$2=" '$2 == d { for (i = 3; i <= NF; i++) if (index($i, f) == 1) print substr($i, length(f) + 1) }'
}
# Waits for a device's counter to reach n.
field_reaches() {
    local t
    for t in $(seq 100); do
        [ "$(link_field "$1" "$2")" -ge "$3" ] && return 0
        sleep 0.05
    done
    return 1
}

case_mngctl() {
    local out rc
    out=$("$MNGCTL" add mng0)
    rc=$?
    [ $rc -eq 0 ] && [ "$out" = "'mng0' created." ] && nx ip link show mng0 >/dev/null 2>&1 ||
        { fail "jxmngctl add makes the device and its TAP" "$rc: $out"; return; }
    out=$("$MNGCTL" ADD 'mng%d')
    [ "$out" = "'mng%d' created." ] && nx ip link show mng1 >/dev/null 2>&1 ||
        { fail "a %d name is numbered by the module" "$out"; return; }
    out=$("$MNGCTL" add mng0)
    rc=$?
    [ $rc -eq 255 ] && [ "$out" = "Error adding 'mng0'." ] || { fail "an existing name is refused" "$rc: $out"; return; }
    out=$("$MNGCTL" add mngabcdefghijklm)
    rc=$?
    [ $rc -eq 255 ] && ! nx ip link show mngabcdefghijkl >/dev/null 2>&1 ||
        { fail "a name of 16 characters is refused, not cut" "$rc: $out"; return; }
    out=$("$MNGCTL" Debug 1) && [ "$out" = "Set to '1'." ] || { fail "debug 1" "$out"; return; }
    "$MNGCTL" debug 0 >/dev/null
    out=$("$MNGCTL" debug 2)
    rc=$?
    [ $rc -eq 255 ] && [ "$out" = "Invalid debug mode '2'." ] || { fail "debug 2 is refused" "$rc: $out"; return; }
    out=$("$MNGCTL" frobnicate x)
    rc=$?
    [ $rc -ne 0 ] && [ "$out" = "Unknown command" ] || { fail "an unknown command fails" "$rc: $out"; return; }
    out=$("$MNGCTL" add)
    [ $? -eq 255 ] && [ "$out" = "Incorrect arguments " ] || { fail "a missing argument" "$out"; return; }
    out=$("$MNGCTL" del mng1) && ! nx ip link show mng1 >/dev/null 2>&1 ||
        { fail "jxmngctl del takes the device and its TAP" "$out"; return; }
    pass "jxmngctl creates, numbers, refuses and deletes devices, with their TAPs"
}

case_ping() {
    nx ip addr add "$NET.254/24" dev mng0
    [ "$(nx cat /sys/class/net/mng0/operstate 2>/dev/null)" != down ] ||
        { fail "the TAP follows the device up"; return; }
    nx ping -c 2 -W 2 -i 0.2 "$NET.1" >/dev/null 2>&1 && nx ping -c 2 -W 2 -i 0.2 "$NET.2" >/dev/null 2>&1 ||
        { fail "mng0 pings the subscribers through the bridge"; return; }
    local before
    before=$(counter mng0 drop_mn_flag)
    "$JXPROC" write "$BR" set_mn_flag "${P}_s1a" 0 >/dev/null
    if nx ping -c 2 -W 1 -i 0.2 "$NET.1" >/dev/null 2>&1; then
        fail "set_mn_flag 0 stops the subscriber's replies"
    elif [ "$(counter mng0 drop_mn_flag)" -le "${before:-0}" ]; then
        fail "the replies are counted in drop_mn_flag" "$(counter mng0 drop_mn_flag)"
    elif ! nx ping -c 2 -W 2 -i 0.2 "$NET.2" >/dev/null 2>&1; then
        fail "the other subscriber still answers"
    else
        pass "mng0 pings through the bridge; set_mn_flag 0 stops one subscriber (drop_mn_flag)"
    fi
    "$JXPROC" write "$BR" set_mn_flag "${P}_s1a" 1 >/dev/null
}

# dhclient once, with a script that only reports: 0 when it got a lease.
lease() {
    cat >"$TMP/dhscript" <<EOF
#!/bin/sh
echo "\$reason \$new_ip_address" >>$TMP/dhclient.out
EOF
    chmod +x "$TMP/dhscript"
    echo "timeout $1; retry 1;" >"$TMP/dhclient.conf"
    : >"$TMP/dhclient.out"
    ip netns exec "${P}_s2" dhclient -1 -cf "$TMP/dhclient.conf" -sf "$TMP/dhscript" \
        -lf "$TMP/dhclient.leases" -pf "$TMP/dhclient.pid" "${P}_s2b" >/dev/null 2>&1
    local rc=$?
    [ -f "$TMP/dhclient.pid" ] && kill "$(cat "$TMP/dhclient.pid")" 2>/dev/null
    rm -f "$TMP/dhclient.pid" "$TMP/dhclient.leases"
    [ $rc -eq 0 ] && grep -q "^BOUND $NET\.5" "$TMP/dhclient.out"
}

case_dhcp() {
    ip netns exec "${P}_up" dnsmasq --keep-in-foreground --port=0 --bind-interfaces \
        --interface="${P}_upb" --dhcp-range="$NET.50,$NET.59,1h" --leasefile-ro \
        --pid-file= --user=root --log-facility=- 2>"$TMP/dnsmasq.log" &
    PIDS+=($!)
    "$MNGCTL" add mng1 >/dev/null && "$JXPROC" link mng1 up &&
        "$JXPROC" write "$BR" app_filters add dhcp mng1 >/dev/null ||
        { fail "the dhcp filter registers on mng1"; return; }
    if lease 4; then
        fail "without the relay no lease (the filter takes the requests)"
        return
    fi
    nx tcpdump -i mng1 -Q in -c 1 -w "$TMP/mng1.pcap" >/dev/null 2>&1 &
    local dump=$!
    nx $PY "$RELAY" relay mng1 "$TMP" &
    PIDS+=($!)
    lease 15 || { fail "the lease goes through the relay" "$(cat "$TMP/dhclient.out")"; return; }
    [ "$(cat "$TMP/relayed")" -ge 2 ] || { fail "the relay carried the exchange"; return; }
    wait $dump
    local hdr
    hdr=$($PY - "$TMP/mng1.pcap" <<'EOF'
import struct, sys
d = open(sys.argv[1], "rb").read()[24 + 16:]
name = lambda o: d[o:o + 16].split(b"\0")[0].decode()
total, bll = struct.unpack_from("<IH", d, 48)
print("total=%s bll=%d rx=%s port=%s" % ("ok" if total == len(d) else total, bll, name(58), name(74)))
EOF
)
    [ "$hdr" = "total=ok bll=102 rx=${P}_s2a port=${P}_s2a" ] ||
        { fail "tcpdump on the TAP shows the header (length, BLL, devices)" "$hdr"; return; }
    pass "DHCP from a subscriber leases only through the relay on the filter's TAP; header: $hdr"
}

# A tcpdump in a namespace of the frames from 02:00:00:00:00:99, written as
# they come; a child of this shell ($! after the call).
listen() {
    ip netns exec "$1" tcpdump -i "$2" --immediate-mode -U -c 1 -w "$TMP/$1.pcap" \
        ether src 02:00:00:00:00:99 >/dev/null 2>"$TMP/$1.tcpdump" &
}
# The frames a listener wrote. Its file, not its process, tells: an exited
# process stays visible to kill -0 until it is reaped.
captured() { tcpdump -r "$TMP/$1.pcap" 2>/dev/null | grep -c .; }
# Waits until the tcpdump of each namespace listens; the count guards against a hang.
listening() {
    local ns t
    for ns in "$@"; do
        for t in $(seq 100); do
            grep -q "listening on" "$TMP/$ns.tcpdump" 2>/dev/null && break
            sleep 0.1
        done
    done
}

case_lengths() {
    [ -f "$TMP/hdr.bin" ] || { fail "a header to build on"; return; }
    local d0 d
    d0=$(link_field mng1 rx_dropped)
    nx $PY "$RELAY" send mng1 "$TMP/hdr.bin" len107 len108 huge
    field_reaches mng1 rx_dropped $((d0 + 3)) ||
        { fail "107 and 108 bytes and a list of 0x7FFFFFFF are dropped and counted" "$d0 -> $(link_field mng1 rx_dropped)"; return; }
    d=$(link_field mng1 tx)
    nx $PY "$RELAY" send mng1 "$TMP/hdr.bin" len121
    field_reaches mng1 tx $((d + 1)) && [ "$(link_field mng1 rx_dropped)" -eq $((d0 + 3)) ] ||
        { fail "121 bytes go"; return; }
    local pids=() ns t ok=1
    for ns in "${P}_s1" "${P}_s2" "${P}_up"; do
        listen "$ns" "${ns}b"
        pids+=($!)
    done
    listening "${P}_s1" "${P}_s2" "${P}_up"
    nx $PY "$RELAY" send mng1 "$TMP/hdr.bin" "lists:101/102"
    for ns in "${P}_s1" "${P}_s2"; do
        for t in $(seq 40); do
            [ "$(captured "$ns")" -ge 1 ] && break
            sleep 0.05
        done
        [ "$(captured "$ns")" -ge 1 ] || ok=0
    done
    [ "$(captured "${P}_up")" -eq 0 ] || ok=0 # the uplink is in neither list
    kill "${pids[@]}" 2>/dev/null
    wait "${pids[@]}" 2>/dev/null
    [ $ok -eq 1 ] || { fail "two lists then a frame reach the union of the lists"; return; }
    "$JXPROC" link >/dev/null || { fail "the node serves on"; return; }
    pass "header lengths 107/108/121, a list of 0x7FFFFFFF, two lists and a frame"
}

# Subscriber 1 sends DHCP discovers as fast as it can while the filter device,
# then the bridge, go away: the node serves on and stops cleanly.
case_delete_under_load() {
    local before load t
    before=$(cat "$TMP/relayed")
    ip netns exec "${P}_s1" $PY -c "
from scapy.all import Ether, IP, UDP, BOOTP, sendp
f = Ether(dst='ff:ff:ff:ff:ff:ff', src='02:00:00:00:00:01') / IP(src='0.0.0.0', dst='255.255.255.255') / UDP(sport=68, dport=67) / BOOTP(chaddr=b'\\x02\\0\\0\\0\\0\\x01')
sendp(f, iface='${P}_s1b', count=20000, verbose=0)" &
    load=$!
    for t in $(seq 100); do
        [ "$(cat "$TMP/relayed")" -gt $((before + 20)) ] && break
        sleep 0.05
    done
    "$JXPROC" link mng1 down && "$MNGCTL" del mng1 >/dev/null &&
        "$JXPROC" link "$BRN" down && "$JXPROC" write $CONFIG del "$BRN" >/dev/null ||
        { kill $load 2>/dev/null; fail "the filter device and the bridge go under load"; return; }
    kill $load 2>/dev/null
    wait $load 2>/dev/null
    "$JXPROC" link >/dev/null && kill -0 "$NODE_PID" ||
        { fail "the node serves on after the deletions" "$(tail -3 "$TMP/node.err")"; return; }
    pass "the filter device and the bridge deleted while frames flow ($(($(cat "$TMP/relayed") - before)) relayed)"
}

case_kill() {
    kill -KILL "$NODE_PID"
    wait "$NODE_PID" 2>/dev/null
    NODE_PID=
    if nx ip link show mng0 >/dev/null 2>&1; then
        fail "the TAPs go with a node killed by SIGKILL"
        return
    fi
    # A persistent TAP of the name, as another tool leaves it, is taken over.
    nx ip tuntap add dev mng0 mode tap
    start_node || { fail "the node starts again"; return; }
    "$MNGCTL" add mng0 >/dev/null || { fail "mng0 made again over a leftover TAP"; return; }
    stop_node || { fail "the node stops"; return; }
    nx ip link show mng0 >/dev/null 2>&1 && { fail "the TAP goes with the node"; return; }
    pass "the TAPs go with the node, killed or stopped; a leftover TAP is taken over"
}

setup || { fail "setup"; finish; }
start_node --port "${P}_s1a" --port "${P}_s2a" --port "${P}_upa" || { fail "the node starts" "$(cat "$TMP/node.err")"; finish; }
case_mngctl
build_bridge || { fail "the bridge"; finish; }
case_ping
case_dhcp
case_lengths
case_delete_under_load
case_kill
finish
