#!/usr/bin/env bash
# jxbrctl as an operator runs it: one command per run against a running jxnode
# whose ports are veth interfaces named as the line card names its ports. Each
# case checks what the tool prints and its exit status, and where cheap reads
# the effect back from the bridge's files with jxproc.
#
# Needs root, ip(8), python3 and JX_BIN_DIR, the build directory holding
# jxnode, jxproc and jxbrctl.
set -u

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v python3 >/dev/null; then
    echo "SKIP: needs root, ip(8) and python3"
    exit 0
fi

TMP=$(mktemp -d /tmp/jxbrctl-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
. "$(dirname "$0")/lib/records.sh"
BRCTL=$BIN/jxbrctl
BRN=jxc$$
BR=/proc/net/jxbridge/$BRN/bridge
VL=/proc/net/jxbridge/$BRN/vlan
# One interface per naming rule; the kind jxbrctl should guess for each.
P_ETH=eth$$
P_GPON=gpon$$
P_XGSPON=xgspon$$
P_XGSP=xgsp$$
P_MNG=mng$$
P_TARN=tarn$$
P_DSL=dsl$$
P_OTHER=jxco$$
PORTS=("$P_ETH" "$P_GPON" "$P_XGSPON" "$P_XGSP" "$P_MNG" "$P_TARN" "$P_DSL" "$P_OTHER")
KINDS=(0 1 1 0 6 7 5 0)
LONG17=abcdefghijklmnopq # one character more than a port name field holds

cleanup() {
    node_cleanup
    local p
    for p in "${PORTS[@]}"; do ip link del "$p" 2>/dev/null; done
    rm -rf "$TMP"
}
trap cleanup EXIT

setup() {
    local i
    for i in "${!PORTS[@]}"; do
        ip link add "${PORTS[$i]}" type veth peer name "jxcq$$$i" || return 1
        ip link set "jxcq$$$i" up || return 1
    done
}
peer_of() { echo "jxcq$$$1"; } # by index into PORTS

# Runs jxbrctl: its output (stdout and stderr) in $TMP/out, its status in RC.
run() {
    "$BRCTL" "$@" >"$TMP/out" 2>&1
    RC=$?
}
# Whether the last run ended with status $2 and printed exactly $3 (escapes
# as printf %b takes them); a failure is reported as case $1.
is() {
    printf '%b' "$3" >"$TMP/want"
    [ "$RC" = "$2" ] && cmp -s "$TMP/out" "$TMP/want" && return 0
    fail "$1" "status $RC, printed: $(head -c 600 "$TMP/out")"
    return 1
}
# An exit status as the shell sees a negative result.
st() { echo $((($1 + 256) % 256)); }

# Record bytes [from, from+len) of the hex jxproc prints after "rc=".
field() { "$JXPROC" ioctl "$1" "$2" "$3" | sed -n 2p | cut -c$(($4 * 2 + 1))-$((($4 + $5) * 2)); }
u32_of() { printf '%d' "0x${1:6:2}${1:4:2}${1:2:2}${1:0:2}"; }
# Name and kind of the port in a slot, by BRIDGE_IOCTL_PORT_GET.
slot_name() { printf '%b' "$(field "$BR" c0047a04 "$(port_request "" "$1" 0 0)" 0 17 | sed 's/\(00\)*$//; s/../\\x&/g')"; }
slot_kind() { u32_of "$(field "$BR" c0047a04 "$(port_request "" "$1" 0 0)" 24 4)"; }

USAGE=(
    "$BRCTL add <bridge_name> <max_ports>"
    "$BRCTL del <bridge_name>"
    "	$BRCTL <bridge_name> info"
    "	$BRCTL <bridge_name> if <port_name>"
    "	$BRCTL <bridge_name> dif <port_name>"
    "	$BRCTL <bridge_name> show"
    "	$BRCTL <bridge_name> stat <port <port_name> | all | all_uplinks>"
    "	$BRCTL <bridge_name> addOnPort <port> <vid>"
    "	$BRCTL <bridge_name> delOnPort <port> <vid>"
    "	$BRCTL <bridge_name> pvidOnPort <port> [<outer_vid>] <inner_vid>"
    "	$BRCTL <bridge_name> acceptOnPort <port> <type>"
    "	$BRCTL <bridge_name> tagOnPort <port> <cvid> <state>"
    "	$BRCTL <bridge_name> remark <port> <state>"
    "	$BRCTL <bridge_name> addRemarkRule <port> <src_vid> <dst_vid>"
    "	$BRCTL <bridge_name> delRemarkRule <port> <src_vid> <dst_vid>"
    "	$BRCTL <bridge_name> vlan add <vid>"
    "	$BRCTL <bridge_name> vlan del <vid>"
    "	$BRCTL <bridge_name> vlan show"
    "	$BRCTL <bridge_name> vlan mpmm add <port> <index> <group_mask> <group_mac> <in-vid> <out-vid>"
    "	$BRCTL <bridge_name> vlan mpmm del <port> <index>"
    "	$BRCTL <bridge_name> vlan mpmm show <port>"
    "	$BRCTL <bridge_name> mt show general"
    "	$BRCTL <bridge_name> mt show ports"
    "	$BRCTL <bridge_name> mt show ucast"
    "	$BRCTL <bridge_name> mt show mcast"
    "	$BRCTL <bridge_name> mt show all"
    "	$BRCTL <bridge_name> mt mcast mac add <mac> <vid> <port>"
    "	$BRCTL <bridge_name> mt mcast mac del <mac> <vid> <port>"
    "	$BRCTL <bridge_name> mt mcast ip set <vid> <ip> <port> <mode> (<source>)*"
    "	$BRCTL <bridge_name> mt mcast ip del <vid> <ip> <port>"
    "	$BRCTL <bridge_name> mn set <port>"
    "	$BRCTL <bridge_name> localmac set <port>"
)

# The usage list: the heading, the lines above in order, then only the flow
# commands' lines.
is_usage_list() {
    local want
    want=$({
        echo "Supported commands:"
        printf '%s\n' "${USAGE[@]}"
    })
    [ "$(head -n $((${#USAGE[@]} + 1)) "$TMP/out")" = "$want" ] &&
        ! tail -n +$((${#USAGE[@]} + 2)) "$TMP/out" | grep -v "^	$BRCTL <bridge_name> flow " | grep -q . &&
        return 0
    fail "$1" "$(head -c 600 "$TMP/out")"
    return 1
}
# A single usage line: printed, and its length as the status.
is_usage() { is "$1" $(((${#2} + 1) % 256)) "$2\n"; }

case_usage() {
    local ok=1
    run
    [ $RC = 0 ] && is_usage_list "no words: the usage list" || ok=0
    run "$BRN"
    [ $RC = 0 ] && is_usage_list "a bridge alone: the usage list" || ok=0
    run "$BRN" frobnicate
    [ $RC = "$(st -22)" ] && is_usage_list "an unknown command: the usage list and -22" || ok=0
    run add "$BRN"
    is_usage "add with a word missing" "${USAGE[0]}" || ok=0
    run del
    is_usage "del without a name" "${USAGE[1]}" || ok=0
    run "$BRN" info extra
    is_usage "info with a word too many" "${USAGE[2]}" || ok=0
    run "$BRN" stat "$P_ETH"
    is_usage "stat with a port but not the word port" "${USAGE[6]}" || ok=0
    run "$BRN" vlan add
    is_usage "vlan add without a VID" "${USAGE[15]}" || ok=0
    run "$BRN" vlan mpmm add "$P_GPON" 1
    is_usage "mpmm add short of words" "${USAGE[18]}" || ok=0
    run "$BRN" tagOnPort "$P_GPON" 10
    is_usage "tagOnPort without a state" "${USAGE[11]}" || ok=0
    run "$BRN" mn "$P_GPON"
    is_usage "mn without set" "${USAGE[30]}" || ok=0
    [ $ok = 1 ] && pass "usage list and per-command usage lines"
}

case_unknown_bridge() {
    run nosuch$$ show
    is "a command on a bridge that does not exist" "$(st -2)" "Bridge 'nosuch$$' does not exist.\n" &&
        pass "unknown bridge refused"
}

case_add_del() {
    local ok=1 b2=jxd$$
    run add "$b2" 0
    is "max_ports 0" "$(st -22)" "Cannot create bridge with '0' max ports.\n" || ok=0
    run add "$b2" 8x
    is "max_ports unparsable" "$(st -22)" "Cannot create bridge with '8x' max ports.\n" || ok=0
    run add "$LONG17" 8
    is "bridge name of 17 characters" "$(st -22)" "Bridge name can only be 16 characters long.\n" || ok=0
    run add "$b2" 4
    is "bridge added" 0 "" || ok=0
    run "$b2" info
    is "the new bridge answers" 0 "Max ports:            4\nS-Tag Ethernet Type: 0x8100\n" || ok=0
    run add "$b2" 4
    [ "$RC" != 0 ] && is "the same bridge again" "$RC" "Error adding bridge '$b2'.\n" || ok=0
    run del abcdefghijklmnop
    is "del of a 16-character name" "$(st -22)" "Bridge name can only be 15 characters long.\n" || ok=0
    run del "$b2"
    is "bridge deleted" 0 "" || ok=0
    run "$b2" show
    is "deleted bridge gone" "$(st -2)" "Bridge '$b2' does not exist.\n" || ok=0
    run del "$b2"
    [ "$RC" != 0 ] && is "deleting it again" "$RC" "Error deleting bridge\n" || ok=0
    [ $ok = 1 ] && pass "bridges added and deleted, bad counts and names refused"
}

# Ports added by name: the kind guessed from the name reaches the bridge.
case_ports() {
    local ok=1 i names=""
    for i in "${!PORTS[@]}"; do
        run "$BRN" if "${PORTS[$i]}"
        is "port ${PORTS[$i]} added" 0 "" || ok=0
        names="$names${PORTS[$i]}\n"
    done
    for i in "${!PORTS[@]}"; do
        [ "$(slot_name "$i")" = "${PORTS[$i]}" ] && [ "$(slot_kind "$i")" = "${KINDS[$i]}" ] || {
            ok=0
            fail "kind of ${PORTS[$i]}" "slot $i: $(slot_name "$i") kind $(slot_kind "$i"), want ${KINDS[$i]}"
        }
    done
    run "$BRN" show
    is "show lists the ports" 0 "$names" || ok=0
    run "$BRN" if nodev$$
    is "a device the node does not have" "$(st -19)" "Error adding port 'nodev$$' to bridge '$BRN'.\n" || ok=0
    run "$BRN" if "$LONG17"
    is "if with a 17-character name" "$(st -22)" "Port name can only be 16 characters long.\n" || ok=0
    run "$BRN" dif "$LONG17"
    is "dif with a 17-character name" "$(st -22)" "Port name can only be 16 characters long.\n" || ok=0
    run "$BRN" dif "$P_OTHER"
    is "port removed" 0 "" || ok=0
    run "$BRN" show
    is "show without it" 0 "${names%"$P_OTHER\\n"}" || ok=0
    run "$BRN" dif "$P_OTHER"
    [ "$RC" != 0 ] && is "removing it again" "$RC" "Error deleting port '$P_OTHER' from bridge '$BRN'.\n" || ok=0
    run "$BRN" if "$P_OTHER"
    is "port added back" 0 "" || ok=0
    run "$BRN" info
    is "info" 0 "Max ports:            16\nS-Tag Ethernet Type: 0x8100\n" || ok=0
    [ $ok = 1 ] && pass "ports added with guessed kinds, listed and removed"
}

COUNTERS=(rx_discard rx_discard_queue_full rx_error rx_unknown rx_CRCAllignError rx_undersize
    rx_oversize rx_fragments rx_jabbers rx_octets rx_pkts rx_ucast rx_dlf rx_mcast rx_bcast
    rx_pkts64octets rx_pkts65to127octets rx_pkts128to255octets rx_pkts256to511octets
    rx_pkts512to1023octets rx_pkts1024to1518octets tx_discard tx_octets tx_pkts tx_ucast tx_mcast
    tx_bcast drop_acl_ingress drop_acl_egress drop_qos_ds_ingress drop_qos_ds_egress drop_storm_dlf
    drop_storm_mcast drop_storm_bcast drop_tx_protected_port drop_mn_flag
    drop_vlan_ingress_accept_tagged drop_vlan_ingress_accept_untagged drop_vlan_ingress_filtering
    drop_vlan_egress_filtering drop_static_mac mac_source_guard_error_disabled
    mac_source_guard_violations)

# The counter list below a heading line: every counter in order, its name
# dotted out to 36 characters, then a number.
counter_list_ok() { # file, line number of the heading
    local n=$2 c line value
    for c in "${COUNTERS[@]}"; do
        n=$((n + 1))
        line=$(sed -n ${n}p "$1")
        value=${line##*.}
        [[ $line =~ ^${c}\.+[0-9]+$ ]] && [ $((${#line} - ${#value})) = 36 ] || return 1
    done
}
counter_of() { sed -n "s/^$2\.*\([0-9]*\)$/\1/p" "$1" | head -1; }

# Five broadcast frames from the far end of a port's veth into the node.
send_frames() {
    python3 - "$1" <<'EOF'
import socket, sys
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind((sys.argv[1], 0))
# Tagged with VLAN 999, of which the port is no member.
frame = b"\xff" * 6 + b"\x02\x00\x00\x00\x00\x31" + b"\x81\x00\x03\xe7\x88\xb5" + bytes(50)
for _ in range(5):
    s.send(frame)
EOF
}

case_stat() {
    local ok=1 i
    "$JXPROC" link "$P_ETH" up >/dev/null
    "$JXPROC" link "$BRN" up >/dev/null
    send_frames "$(peer_of 0)"
    # Wait for the node to count them; the bound is a guard, not a timing.
    for i in $(seq 100); do
        run "$BRN" stat port "$P_ETH"
        [ "$(counter_of "$TMP/out" drop_vlan_ingress_filtering)" -ge 5 ] 2>/dev/null && break
        sleep 0.1
    done
    [ $RC = 0 ] && [ "$(sed -n 1p "$TMP/out")" = "" ] &&
        [ "$(sed -n 2p "$TMP/out")" = "Port statistics $P_ETH:" ] &&
        [ "$(wc -l <"$TMP/out")" = $((${#COUNTERS[@]} + 2)) ] && counter_list_ok "$TMP/out" 2 || {
        ok=0
        fail "stat port: the counter list" "$(head -c 800 "$TMP/out")"
    }
    [ "$(counter_of "$TMP/out" drop_vlan_ingress_filtering)" = 5 ] &&
        [ "$(counter_of "$TMP/out" rx_discard)" -ge 5 ] || {
        ok=0
        fail "stat port counts the frames the VLAN filter dropped" "$(grep -E '^(rx_discard|drop_vlan)' "$TMP/out")"
    }

    # all: uplinks, LAGs and GEM ports with a UCC; all_uplinks: uplinks and LAGs.
    # A GEM port on a plain interface has no UCC, so neither lists it.
    local heads kind which
    for which in all all_uplinks; do
        run "$BRN" stat "$which"
        heads=$(grep "^Port statistics" "$TMP/out")
        for i in "${!PORTS[@]}"; do
            kind=${KINDS[$i]}
            if [ "$kind" = 0 ] || [ "$kind" = 7 ]; then
                echo "$heads" | grep -Eq "^Port statistics ${PORTS[$i]} \(bllid=[0-9]+\) \(ucc=[0-9]+, subport=[0-9]+\):$" || {
                    ok=0
                    fail "stat $which lists ${PORTS[$i]}" "$heads"
                }
            else
                echo "$heads" | grep -q " ${PORTS[$i]} " && {
                    ok=0
                    fail "stat $which leaves out ${PORTS[$i]}" "$heads"
                }
            fi
        done
        local first
        first=$(grep -n "^Port statistics" "$TMP/out" | head -1 | cut -d: -f1)
        [ $RC = 0 ] && [ -n "$first" ] && counter_list_ok "$TMP/out" "$first" || {
            ok=0
            fail "stat $which: status and counter list" "$RC $(head -c 400 "$TMP/out")"
        }
    done
    run "$BRN" stat port nope$$
    is "stat of a port the bridge does not have" "$(st -19)" "Unable to get statistics of port 'nope$$'.\n" || ok=0
    run "$BRN" stat port "$LONG17"
    is "stat of a 17-character name" "$(st -22)" "Port name can only be 16 characters long.\n" || ok=0
    [ $ok = 1 ] && pass "port statistics by name, of all ports and of the uplinks"
}

# The MN column of a port's row in the bridge read-out.
mn_of() { "$JXPROC" cat "$BR" | awk -F'|' -v p="$1" '$3 ~ " "p"[ ,]" { gsub(/ /, "", $4); print $4 }'; }

case_mn() {
    local ok=1
    # Ports start with the flag on: clear it by record first.
    "$JXPROC" ioctl "$BR" 40047b2d "$(name_field "$P_GPON" 17)000000$(le32 0)" >/dev/null
    [ "$(mn_of "$P_GPON")" = off ] || {
        ok=0
        fail "MN flag cleared by record" "$(mn_of "$P_GPON")"
    }
    run "$BRN" mn set "$P_GPON"
    is "MN flag set" 0 "" || ok=0
    [ "$(mn_of "$P_GPON")" = on ] || {
        ok=0
        fail "MN flag in the bridge read-out" "$("$JXPROC" cat "$BR" | grep "$P_GPON")"
    }
    run "$BRN" mn set nope$$
    is "MN flag on a missing port" "$(st -19)" "Error to set MN flag on port nope$$.\n" || ok=0
    [ $ok = 1 ] && pass "MN flag set"
}

case_localmac() {
    local ok=1
    # A fresh bridge has no local MAC: the interface refuses the zero address.
    run "$BRN" localmac set "$P_OTHER"
    is "zero local MAC refused by the interface" 2 "SIOCSIFHWADDR error -99\n" || ok=0
    local mac=02:4a:58:00:00:07 rec
    rec=$(printf '%038d' 0)$(echo $mac | tr -d :)$(printf '%010d' 0)
    "$JXPROC" ioctl "$BR" 40047a1c "$rec" >/dev/null || ok=0
    run "$BRN" localmac set "$P_OTHER"
    is "local MAC set" 0 "" || ok=0
    "$JXPROC" cat "/proc/net/jxbridge/$BRN/mac_table_entries" | grep -qi "$mac" || {
        ok=0
        fail "the local MAC is a static entry of the port"
    }
    ip link show "$P_OTHER" | grep -q "link/ether $mac " || {
        ok=0
        fail "the interface carries the local MAC" "$(ip link show "$P_OTHER")"
    }
    run "$BRN" localmac set abcdefghijklmnop
    is "a 16-character port name" 23 "Port name is too long.\n" || ok=0
    [ $ok = 1 ] && pass "local MAC given to the port's interface"
}

# The report of one port's section of the vlan file.
device_report() { "$JXPROC" cat "$VL" | sed -n "/^Device: $1\$/,/^\$/p"; }

case_vlan() {
    local ok=1 rep
    run "$BRN" vlan add 100
    is "VLAN 100 added" 0 "" || ok=0
    run "$BRN" vlan add 0x20
    is "VLAN 0x20 added" 0 "" || ok=0
    run "$BRN" vlan add 5000
    is "VID 5000 sent and refused by the bridge" "$(st -22)" "Error to show VLAN information.\n" || ok=0
    run "$BRN" vlan del 5000
    is "VID 5000 refused by the tool" "$(st -22)" "VID must be in 1-4095 range.\n" || ok=0
    run "$BRN" vlan show
    is "vlan show" 0 "1\n32\n100\n" || ok=0
    run "$BRN" vlan del 32
    is "VLAN 32 deleted" 0 "" || ok=0

    run "$BRN" addOnPort "$P_GPON" 100
    is "membership added" 0 "" || ok=0
    run "$BRN" tagOnPort "$P_GPON" 100 keep
    is "tagged" 0 "" || ok=0
    run "$BRN" pvidOnPort "$P_GPON" 100
    is "PVID set" 0 "" || ok=0
    run "$BRN" acceptOnPort "$P_GPON" tagged
    is "acceptable frames set" 0 "" || ok=0
    run "$BRN" remark "$P_GPON" enable
    is "remarking on" 0 "" || ok=0
    run "$BRN" addRemarkRule "$P_GPON" 100 0xc8
    is "remark rule added" 0 "" || ok=0
    rep=$(device_report "$P_GPON")
    echo "$rep" | grep -q "accept=tagged, PVID=100 (0x0064)" &&
        echo "$rep" | grep -q "Membership:   1-remove, 100-keep$" &&
        echo "$rep" | grep -q "Remarking:    On$" &&
        echo "$rep" | grep -q "		100 --> 200 both$" || {
        ok=0
        fail "port settings in the vlan report" "$rep"
    }
    run "$BRN" pvidOnPort "$P_GPON" 7 1
    is "PVID set with an outer VID" 0 "" || ok=0
    run "$BRN" tagOnPort "$P_GPON" 100 remove
    is "untagged" 0 "" || ok=0
    run "$BRN" remark "$P_GPON" disable
    is "remarking off" 0 "" || ok=0
    run "$BRN" delRemarkRule "$P_GPON" 100 200
    is "remark rule deleted" 0 "" || ok=0
    run "$BRN" acceptOnPort "$P_GPON" admit_all
    is "all frames accepted" 0 "" || ok=0
    run "$BRN" delOnPort "$P_GPON" 100
    is "membership deleted" 0 "" || ok=0
    rep=$(device_report "$P_GPON")
    echo "$rep" | grep -q "accept=all, PVID=1 (0x0001)" &&
        echo "$rep" | grep -q "Membership:   1-remove$" &&
        echo "$rep" | grep -q "Remarking:    Off$" && ! echo "$rep" | grep -q -- "-->" || {
        ok=0
        fail "port settings undone in the vlan report" "$rep"
    }

    run "$BRN" addOnPort "$P_GPON" 0
    is "addOnPort VID 0" "$(st -22)" "VID must be in 1-4095 range.\n" || ok=0
    run "$BRN" delOnPort "$P_GPON" 4096
    is "delOnPort VID 4096" "$(st -22)" "VID must be in 1-4095 range.\n" || ok=0
    run "$BRN" addOnPort 4242 100
    is "addOnPort on a missing port" "$(st -19)" "Error to add VLAN 100 on port 4242.\n" || ok=0
    run "$BRN" delOnPort 4242 100
    is "delOnPort on a missing port" "$(st -19)" "Error to delete VID 100 on port 4242.\n" || ok=0
    run "$BRN" pvidOnPort "$P_GPON" 0 100
    is "outer VID 0" "$(st -22)" "VID must be in 1-4095 range.\n" || ok=0
    run "$BRN" pvidOnPort 4242 100
    is "PVID on a missing port" "$(st -19)" "Error to set PVID 100 on port 4242.\n" || ok=0
    run "$BRN" acceptOnPort "$P_GPON" all
    is "acceptable word all" "$(st -22)" "Acceptable <type> values are: tagged untagged admit_all\n" || ok=0
    run "$BRN" acceptOnPort 4242 tagged
    is "acceptable on a missing port" "$(st -19)" "Error to set acceptable on port 4242.\n" || ok=0
    run "$BRN" tagOnPort "$P_GPON" 100 strip
    is "tag state strip" "$(st -22)" "Acceptable <state> values are: keep remove\n" || ok=0
    run "$BRN" tagOnPort "$P_GPON" 300 keep
    [ "$RC" != 0 ] && is "tag on a VLAN the port is not in" "$RC" \
        "Error to set VLAN tag 300 on port 0, state 'keep'.\n" || ok=0
    run "$BRN" remark "$P_GPON" on
    is "remark state on" "$(st -22)" "Acceptable <state> values are: enable disable\n" || ok=0
    run "$BRN" remark nope$$ enable
    is "remark on a missing port" "$(st -19)" "Error setting remarking on 'nope$$' to state 'enable'.\n" || ok=0
    run "$BRN" addRemarkRule "$P_GPON" 100 0x10000
    is "remark rule tag out of range" "$(st -22)" "Tags and masks must be in 0-0xffff range.\n" || ok=0
    run "$BRN" delRemarkRule "$P_GPON" 300 400
    [ "$RC" != 0 ] && is "deleting a missing rule" "$RC" "Error deleting remark rule.\n" || ok=0
    run "$BRN" addOnPort "$LONG17" 100
    is "a 17-character port name" "$(st -22)" "Port name can only be 16 characters long.\n" || ok=0
    [ $ok = 1 ] && pass "VLAN and port VLAN settings, read back from the vlan file"
}

case_mpmm() {
    local ok=1 add=("$BRN" vlan mpmm add "$P_GPON")
    run "${add[@]}" 7 ff:ff:ff:ff:ff:00 01:00:5e:01:02:03 10 20
    is "MPMM group added" 0 "" || ok=0
    run "${add[@]}" 3 ff:ff:ff:80:00:00 01:00:5e:7f:00:00 4095 1
    is "second MPMM group added" 0 "" || ok=0
    run "$BRN" vlan mpmm show "$P_GPON"
    is "MPMM groups shown by index" 0 "Pos\tIndex\tMask\tMAC\tIn VID\tOut VID
0\t3\tff:ff:ff:80:00:00\t01:00:5e:7f:00:00\t4095\t   1
1\t7\tff:ff:ff:ff:ff:00\t01:00:5e:01:02:03\t  10\t  20\n" || ok=0
    run "${add[@]}" 7 ff:ff:ff:ff:ff:00 01:00:5e:01:02:03 10 20
    is "duplicate index" "$(st -17)" "Error adding MPMM group (-17).\n" || ok=0
    run "${add[@]}" 8 ff:ff:ff:ff:ff 01:00:5e:01:02:03 10 20
    is "mask of five bytes" "$(st -22)" "Group mask must be in xx:xx:xx:xx:xx:xx format.\n" || ok=0
    run "${add[@]}" 8 ff:ff:fe:80:00:00 01:00:5e:01:02:03 10 20
    is "mask not ff:ff:ff" "$(st -22)" "ff:ff:fe:80:00:00 is not a multicast mask.\n" || ok=0
    run "${add[@]}" 8 ff:ff:ff:7f:00:00 01:00:5e:01:02:03 10 20
    is "mask without the top bit" "$(st -22)" "ff:ff:ff:7f:00:00 is not a multicast mask.\n" || ok=0
    run "${add[@]}" 8 ff:ff:ff:ff:ff:00 01:00:5e:01:02:zz 10 20
    is "MAC not hexadecimal" "$(st -22)" "Group MAC must be in xx:xx:xx:xx:xx:xx format.\n" || ok=0
    run "${add[@]}" 8 ff:ff:ff:ff:ff:00 01:00:5e:80:00:01 10 20
    is "MAC above the IPv4 range" "$(st -22)" "01:00:5e:80:00:01 is not a multicast address.\n" || ok=0
    run "${add[@]}" 8 ff:ff:ff:ff:ff:00 02:00:5e:01:02:03 10 20
    is "unicast MAC" "$(st -22)" "02:00:5e:01:02:03 is not a multicast address.\n" || ok=0
    run "${add[@]}" 8 ff:ff:ff:ff:ff:00 01:00:5e:01:02:03 0 20
    is "in-VID 0" "$(st -22)" "Source S-Tag must be in 1-4095 range.\n" || ok=0
    run "${add[@]}" 8 ff:ff:ff:ff:ff:00 01:00:5e:01:02:03 10 5000
    is "out-VID 5000" "$(st -22)" "Source C-Tag must be in 1-4095 range.\n" || ok=0
    run "$BRN" vlan mpmm del "$P_GPON" 7
    is "MPMM group deleted" 0 "" || ok=0
    run "$BRN" vlan mpmm del "$P_GPON" 7
    is "deleting it again" "$(st -2)" "Error deleting MPMM group (-2).\n" || ok=0
    run "$BRN" vlan mpmm del "$P_GPON" 3
    is "last MPMM group deleted" 0 "" || ok=0
    run "$BRN" vlan mpmm show "$P_GPON"
    is "no MPMM groups" 0 "" || ok=0
    run "$BRN" vlan mpmm show nope$$
    is "MPMM groups of a missing port" "$(st -19)" "" || ok=0
    [ $ok = 1 ] && pass "MPMM groups added, shown and deleted; bad masks, MACs and VIDs refused"
}

# The MAC table's file: the tool's own word checks come first, then the
# table answers.
case_mt() {
    local ok=1
    run "$BRN" mt show general
    if [ "$RC" != 0 ] || [ "$(head -1 "$TMP/out")" != "Max size:            32768" ]; then
        fail "table information" "status $RC, printed: $(head -c 600 "$TMP/out")"
        ok=0
    fi
    run "$BRN" mt mcast mac add 01:00:5e:00:00:01 4095 "$P_GPON"
    is "VID 4095 names no VLAN" "$(st -22)" "VID must be in 1-4094 range.\n" || ok=0
    run "$BRN" mt mcast mac del 01:00:5e:00:00 10 "$P_GPON"
    is "MAC of five bytes" "$(st -22)" "MAC address must be in xx:xx:xx:xx:xx:xx form.\n" || ok=0
    run "$BRN" mt mcast ip set 10 224.1.2.3 "$P_GPON" exclude 10.0.0.1 10.0.0.300
    is "bad source address" "$(st -22)" "IP address must be in x.y.z.w form ('10.0.0.300' is not).\n" || ok=0
    run "$BRN" mt mcast ip set 10 224.1.2.3 "$P_GPON" block
    is "bad filter mode" "$(st -22)" "Mode has to be 'include' or 'exclude'.\n" || ok=0
    run "$BRN" mt mcast ip del 0 224.1.2.3 "$P_GPON"
    is "VID 0" "$(st -22)" "VID must be in 1-4094 range.\n" || ok=0
    [ $ok = 1 ] && pass "MAC table commands: word checks and the table's answers"
}

case_devtest() {
    local ok=1
    run "$BRN" stp
    is "STP test on a bridge without eth0" "$(st -19)" "Error -19 BRIDGE_IOCTL_PORT_MSTP_STATE_SET\n" || ok=0
    run "$BRN" stp now
    is "a test with a word too many does nothing" 0 "" || ok=0
    [ $ok = 1 ] && pass "developer STP test"
}

if ! setup; then
    fail "veth setup"
    finish
fi
args=()
for p in "${PORTS[@]}"; do args+=(--port "$p"); done
if ! start_node "${args[@]}"; then
    fail "jxnode start" "$(cat "$TMP/node.err")"
    finish
fi
"$JXPROC" write $CONFIG add "$BRN" 16 >/dev/null || fail "bridge created"
case_usage
case_unknown_bridge
case_add_del
case_ports
case_stat
case_mn
case_localmac
case_vlan
case_mpmm
case_mt
case_devtest
stop_node || fail "jxnode stops cleanly"
finish
