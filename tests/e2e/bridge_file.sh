#!/usr/bin/env bash
# A bridge built and inspected through its "bridge" file alone, as an agent
# does it: jxproc on a running jxnode whose ports are real veth interfaces.
# Ports of every kind are added by record, listed, renamed, counted, grouped
# into a LAG and a PVC group, and given states.
#
# Needs root, ip(8) and JX_BIN_DIR, the build directory holding jxnode and jxproc.
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null; then
    echo "SKIP: needs root and ip(8)"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxbrfile-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
BR=/proc/net/jxbridge/jxb$$/bridge
PORTS=/proc/net/jxbridge/jxb$$/ports
# One interface per port kind but the OLT (which the PON engine registers),
# and a LAG member; the peers of the veth pairs stay unbound.
P=(jxu$$ jxa$$ jxv$$ jxo$$ jxg$$ jxl$$ jxL$$ jxm$$)
KINDS=(0 1 2 4 5 6 7 0)

cleanup() {
    node_cleanup
    local p
    for p in "${P[@]}"; do ip link del "$p" 2>/dev/null; done
    rm -rf "$TMP"
}
trap cleanup EXIT

setup() {
    local p
    for p in "${P[@]}"; do
        ip link add "$p" type veth peer name "${p}p" || return 1
        ip link set "${p}p" up || return 1
    done
}

# Record bytes [from, from+len) of the hex line jxproc prints after "rc=".
field() { "$JXPROC" ioctl "$1" "$2" "$3" | sed -n 2p | cut -c$(($4 * 2 + 1))-$((($4 + $5) * 2)); }
u32_at() {
    local h
    h=$(field "$@" 4)
    printf '%d' "0x${h:6:2}${h:4:2}${h:2:2}${h:0:2}"
}
ioctl_rc() { "$JXPROC" ioctl "$@" 2>/dev/null | sed -n 's/^rc=//p'; }
cmd() { "$JXPROC" write "$BR" "$@" >/dev/null 2>&1; }

case_ports_by_record() {
    local i ok=1
    for i in "${!P[@]}"; do
        [ "$(ioctl_rc "$BR" 40047a02 "$(port_request "${P[$i]}" 4294967295 "${KINDS[$i]}" $((500 + i)))")" = 0 ] || ok=0
    done
    [ $ok = 1 ] || { fail "ports of each kind added" "$("$JXPROC" cat "$PORTS")"; return; }
    # 0xFFFFFFFF asks for the port count; a slot reads back its device.
    [ "$(u32_at "$BR" c0047a04 "$(port_request x 4294967295 0 0)" 20)" = 10 ] || fail "port count"
    local name
    name=$(field "$BR" c0047a04 "$(port_request "" 1 0 0)" 0 17)
    [ "$name" = "$(name_field "${P[1]}" 17)" ] || fail "slot 1 read back" "$name"
    # The BLL number of a port by name.
    [ "$(u32_at "$BR" 80047a07 "$(port_request "${P[2]}" 0 0 0)" 20)" = 502 ] || fail "BLL number by name"
    # A taken slot is refused with the reason.
    [ "$(ioctl_rc "$BR" 40047a02 "$(port_request "${P[0]}" 1 1 0)")" = -16 ] || fail "occupied slot refused"
    ioctl_rc "$BR" 40047a1b "$(port_request subscriber-7 0 0 501)" >/dev/null
    local list
    list=$("$JXPROC" cat "$PORTS")
    [ "$(echo "$list" | wc -l)" = 9 ] || fail "ports lists every port" "$list"
    echo "$list" | grep -q "access .* 501 *subscriber-7 *${P[1]} " || fail "rename shows in ports" "$list"
    echo "$list" | grep -q "^    6 .*LAG .* 506 " || fail "LAG port listed" "$list"
    pass "ports of each kind added, read back, renamed and listed"
}

case_counters() {
    local c sel ok=1
    c=$(printf '%s000000' "$(name_field "${P[0]}" 17)")
    for sel in 0 1 2; do
        local rec
        rec=$c$(le32 $sel)$(printf '%0688d' 0)
        [ "$(ioctl_rc "$BR" 80047a09 "$rec")" = 0 ] || ok=0
    done
    [ $ok = 1 ] || fail "counters read with each selector"
    [ "$(ioctl_rc "$BR" 40047a0a "$(port_request "${P[0]}" 0 0 0)")" = 0 ] || fail "counters cleared"
    cmd clear_counters "${P[1]}" || fail "clear_counters by text"
    "$JXPROC" dmesg | grep -q "Counters on port ${P[1]} cleared!" || fail "clear logged"
    pass "counters read with each selector and cleared"
}

case_states_and_groups() {
    # PHY: up at 1000 full on the uplink, read back.
    local phy
    phy=$(name_field "${P[0]}" 17)01 # state up
    phy=${phy}0000$(le32 1000)01000000
    [ "$(ioctl_rc "$BR" 40047a10 "$phy")" = 0 ] || fail "PHY set"
    [ "$(u32_at "$BR" 80047a11 "$(name_field "${P[0]}" 17)$(printf '%022d' 0)" 20)" = 1000 ] || fail "PHY speed read back"
    cmd error_disable port_state "${P[1]}" korv-disabled || fail "error state set"
    cmd stp port "${P[0]}" state forwarding vlan 10 || fail "STP state set"
    cmd stp port "${P[0]}" state forwarding vlan 4096 && fail "VID 4096 accepted"
    # LAG: the member joins the LAG port.
    local pair
    pair=$(name_field "${P[7]}" 17)$(name_field "${P[6]}" 17)$(printf '%020d' 0)
    [ "$(ioctl_rc "$BR" c0047a0e "$pair")" = 0 ] || fail "LAG member added"
    cmd show_lag || fail "show_lag"
    # PVC: the uplink masters the PVC port on queue 2.
    cmd pvc "${P[0]}" set master || fail "PVC master"
    cmd pvc "${P[0]}" add 2 "${P[2]}" || fail "PVC slave bound"
    cmd switching_mode cord_vswitch || fail "switching mode"
    local list
    list=$("$JXPROC" cat "$PORTS")
    echo "$list" | grep -q "^    7 .* m=6" || fail "LAG master in ports" "$list"
    local report
    report=$("$JXPROC" cat "$BR")
    echo "$report" | grep -q "^Switching Mode: vSwitch$" || fail "switching mode in report" "$report"
    echo "$report" | grep -q "2 --> ${P[2]}" || fail "PVC group in report" "$report"
    echo "$report" | grep -q "| *Korv-disabled |" || fail "error state in report" "$report"
    echo "$report" | grep -q "^    0 |   500 | .* |   UP |" || fail "PHY state in report" "$report"
    pass "states, PHY, LAG and PVC groups and switching mode set and shown"
}

case_tracer() {
    local tr=/proc/net/jxbridge/jxb$$/tracer out=$TMP/tracer.out
    "$JXPROC" follow "$tr" >"$out" 2>&1 &
    local follower=$!
    "$JXPROC" write "$tr" tracer 1 smac 00:11:22:33:44:55 vlan 10 >/dev/null || fail "tracer armed"
    "$JXPROC" write "$tr" show >/dev/null
    local i
    # The count is a guard against a hang, not a timing.
    for i in $(seq 100); do
        grep -q "VID:                       10 (0x000a)" "$out" && break
        sleep 0.1
    done
    kill "$follower" 2>/dev/null
    wait "$follower" 2>/dev/null
    grep -q "^Tracer:                      on (1)" "$out" || fail "tracer state read back" "$(cat "$out")"
    grep -q "SMAC:                      00:11:22:33:44:55" "$out" || fail "tracer condition shown"
    [ "$(u32_at "$tr" 80047a00 00000000 0)" = 1 ] || fail "frames left by ioctl"
    pass "the tracer armed and shown through its file"
}

# The bridge's VLAN file: a VLAN, a port's membership and PVID by text,
# read back from the report and by record.
case_vlan() {
    local vl=/proc/net/jxbridge/jxb$$/vlan
    vcmd() { "$JXPROC" write "$vl" "$@" >/dev/null 2>&1; }
    vcmd vlan add 100 || fail "VLAN added"
    vcmd membership add "${P[1]}" 100 || fail "membership added"
    vcmd pvid set "${P[1]}" 100 || fail "PVID set"
    vcmd membership add "${P[0]}" 100 && vcmd tag set "${P[0]}" 100 1 || fail "uplink tagged"
    [ "$("$JXPROC" write "$vl" vlan add 5000 2>/dev/null)" = -34 ] || fail "VID 5000 refused"
    local report
    report=$("$JXPROC" cat "$vl")
    echo "$report" | grep -q "^ 100  *Multicast mode=discard$" || fail "VLAN 100 in report" "$report"
    echo "$report" | grep -A2 "^Device: ${P[1]}$" | grep -q "PVID=100 (0x0064)" || fail "PVID in report" "$report"
    echo "$report" | grep -A3 "^Device: ${P[1]}$" | grep -q "Membership:   1-remove, 100-remove$" ||
        fail "access membership in report" "$report"
    echo "$report" | grep -A3 "^Device: ${P[0]}$" | grep -q "100-keep" || fail "uplink tagged in report" "$report"
    # VLAN_IOCTL_PVID_GET: the PVID comes back at offset 2 of the 40-byte record.
    local rec
    rec=0000ffff$(name_field "${P[1]}" 17)$(printf '%046d' 0)
    [ "$(field "$vl" 80047a08 "$rec" 2 2)" = 6400 ] || fail "PVID read back by record"
    pass "VLAN, membership and PVID set by text, read back by report and record"
}

case_deleted() {
    local n
    n=$(printf '%s' "${P[5]}" | od -An -tx1 | tr -d ' \n')00
    [ "$(ioctl_rc "$BR" 40047a03 "$n")" = 0 ] || fail "port deleted"
    "$JXPROC" cat "$PORTS" | grep -q " ${P[5]} " && fail "deleted port still listed"
    pass "a port deleted by device name"
}

if ! setup; then
    fail "veth setup"
    finish
fi
args=()
for p in "${P[@]}"; do args+=(--port "$p"); done
if ! start_node "${args[@]}"; then
    fail "jxnode start" "$(cat "$TMP/node.err")"
    finish
fi
"$JXPROC" write $CONFIG add jxb$$ 10 >/dev/null || fail "bridge created"
case_ports_by_record
case_counters
case_states_and_groups
case_tracer
case_vlan
case_deleted
stop_node || fail "jxnode stops cleanly"
finish
