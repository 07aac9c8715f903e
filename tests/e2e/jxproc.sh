#!/usr/bin/env bash
# jxproc against a running jxnode: control files read, written and ioctl'd from
# another process, the kernel log, devices, start-up scripts, shutdown and the
# answer when no node runs.
#
# Needs JX_BIN_DIR, the build directory holding jxnode and jxproc.
set -u

TMP=$(mktemp -d /tmp/jxproc-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"

cleanup() {
    node_cleanup
    rm -rf "$TMP"
}
trap cleanup EXIT

# ---------------------------------------------------------------------------

case_start() {
    if start_node; then pass "node starts and serves"; else
        fail "node starts and serves" "$(tail -n 5 "$TMP/node.err")"
        exit 1
    fi
}

case_socket_mode() {
    local mode
    mode=$(stat -c %a "$JXNODE_SOCKET")
    if [ "$mode" = 660 ]; then pass "socket is not open to everyone"; else
        fail "socket is not open to everyone" "mode $mode"
    fi
}

case_ioctl_version() {
    local out rc
    out=$("$JXPROC" ioctl $CONFIG 80047a05 --out 4)
    rc=$?
    if [ $rc -eq 0 ] && [ "$out" = $'rc=0\n38000000' ]; then pass "ioctl reads API version"; else
        fail "ioctl reads API version" "exit $rc, output '$out'"
    fi
    out=$("$JXPROC" ioctl $CONFIG 0x80047a05 00000000)
    if [ "$out" = $'rc=0\n38000000' ]; then pass "ioctl with a hex record and 0x"; else
        fail "ioctl with a hex record and 0x" "'$out'"
    fi
    out=$("$JXPROC" ioctl $CONFIG 80047a05 --value 0 2>"$TMP/err")
    rc=$?
    if [ $rc -eq 1 ] && [ "$out" = "rc=-14" ] && grep -q "Bad address (-14)" "$TMP/err"; then
        pass "ioctl with a bad address"
    else
        fail "ioctl with a bad address" "exit $rc, '$out', $(cat "$TMP/err")"
    fi
    # A short record grows to the number's size field; one shorter than the
    # command's record is refused, not written past.
    out=$("$JXPROC" ioctl $CONFIG 80047a05 00)
    if [ "$out" = $'rc=0\n38000000' ]; then pass "ioctl record grows to its size field"; else
        fail "ioctl record grows to its size field" "'$out'"
    fi
    out=$("$JXPROC" ioctl $CONFIG 40047a15 00 2>/dev/null)
    rc=$?
    if [ $rc -eq 1 ] && [ "${out%%$'\n'*}" = "rc=-14" ]; then pass "ioctl with a short record"; else
        fail "ioctl with a short record" "exit $rc, '$out'"
    fi
}

# Records built by hand, as a management agent passes them.
case_ioctl_records() {
    local name out
    # br7, 6 ports, 40-byte record; then delete it with the 16-byte name record.
    name=627237$(printf '0%.0s' {1..34})06000000$(printf '0%.0s' {1..32})
    [ ${#name} -eq 80 ] || fail "record length" "${#name}"
    out=$("$JXPROC" ioctl $CONFIG 40047a00 "$name")
    if [ "${out%%$'\n'*}" = "rc=0" ] && "$JXPROC" link | grep -q ": br7: "; then
        pass "ioctl creates a bridge"
    else
        fail "ioctl creates a bridge" "'$out'"
    fi
    out=$("$JXPROC" ioctl $CONFIG 40047a01 62723700000000000000000000000000)
    if [ "${out%%$'\n'*}" = "rc=0" ] && ! "$JXPROC" link | grep -q ": br7: "; then
        pass "ioctl deletes a bridge"
    else
        fail "ioctl deletes a bridge" "'$out'"
    fi
    # Map 32 bytes of SRAM, store 0xc3 at offset 5, read it back at byte 12.
    local ok=1
    out=$("$JXPROC" ioctl $CONFIG 40047a13 00000018000000002000000000000000) || ok=0
    [ "${out%%$'\n'*}" = "rc=0" ] || ok=0
    out=$("$JXPROC" ioctl $CONFIG 40047a16 000000180000000005000000c3000000) || ok=0
    out=$("$JXPROC" ioctl $CONFIG 40047a15 00000018000000000500000000000000) || ok=0
    [ "$out" = $'rc=0\n000000180000000005000000c3000000' ] || ok=0
    local miss
    miss=$("$JXPROC" ioctl $CONFIG 40047a15 00000018000000002000000000000000 2>/dev/null)
    [ "$miss" = $'rc=-28\n00000018000000002000000000000000' ] || ok=0
    "$JXPROC" ioctl $CONFIG 40047a14 00000018000000000000000000000000 >/dev/null || ok=0
    if [ $ok -eq 1 ]; then pass "ioctl map records"; else fail "ioctl map records" "'$out' '$miss'"; fi
}

case_cat_config() {
    local first
    first=$("$JXPROC" cat $CONFIG | head -n 1)
    if [ "$first" = "Bridge API version:              56" ]; then pass "cat config"; else
        fail "cat config" "'$first'"
    fi
    first=$("$JXPROC" follow $CONFIG | head -n 1)
    if [ "$first" = "Bridge API version:              56" ]; then pass "follow ends at end of file"; else
        fail "follow ends at end of file" "'$first'"
    fi
}

case_write() {
    local out rc
    out=$("$JXPROC" write $CONFIG frobnicate 2>"$TMP/err")
    rc=$?
    if [ $rc -eq 1 ] && [ "$out" = "-22" ] && grep -q "^jxproc: write $CONFIG: Invalid argument (-22)$" "$TMP/err"; then
        pass "failing write exits 1"
    else
        fail "failing write exits 1" "exit $rc, '$out', $(cat "$TMP/err")"
    fi
    out=$("$JXPROC" write /proc/net/jxbridge/nosuch x 2>"$TMP/err")
    rc=$?
    if [ $rc -eq 1 ] && grep -q "^jxproc: write /proc/net/jxbridge/nosuch: No such file or directory (-2)$" "$TMP/err"; then
        pass "write to a missing file"
    else
        fail "write to a missing file" "exit $rc, $(cat "$TMP/err")"
    fi
    out=$("$JXPROC" write $CONFIG default_frame_size 1600)
    rc=$?
    if [ $rc -eq 0 ] && [ "$out" -gt 0 ] 2>/dev/null &&
        "$JXPROC" cat $CONFIG | grep -q "^Default frame output size:       1600$"; then
        pass "write changes the read-out"
    else
        fail "write changes the read-out" "exit $rc, '$out'"
    fi
    # The node's simulated memory can be mapped, written and read back.
    if "$JXPROC" write $CONFIG map add 0x18000000 64 >/dev/null &&
        "$JXPROC" write $CONFIG map write 0x18000000 3 0x5a >/dev/null &&
        "$JXPROC" write $CONFIG map read 0x18000000 3 >/dev/null &&
        "$JXPROC" dmesg | grep -q "\[3\] = 90 0x5a" &&
        "$JXPROC" cat $CONFIG | grep -q "(64 bytes) -->" &&
        "$JXPROC" write $CONFIG map del 0x18000000 >/dev/null; then
        pass "memory maps on the node"
    else
        fail "memory maps on the node"
    fi
}

case_dmesg() {
    if "$JXPROC" dmesg | grep -qF "[Bridge] Module loaded."; then pass "dmesg shows the module's log"; else
        fail "dmesg shows the module's log"
    fi
}

case_link() {
    "$JXPROC" write $CONFIG add br0 4 >/dev/null
    local before after
    before=$("$JXPROC" link | grep ": br0: ")
    "$JXPROC" link br0 up
    after=$("$JXPROC" link | grep ": br0: ")
    if [[ $before == *" down" ]] && [[ $after == *" up" ]]; then pass "link lists and sets devices"; else
        fail "link lists and sets devices" "'$before' -> '$after'"
    fi
    "$JXPROC" link nosuch0 up 2>"$TMP/err"
    if [ $? -eq 1 ] && grep -q "No such device (-19)" "$TMP/err"; then pass "link of a missing device"; else
        fail "link of a missing device" "$(cat "$TMP/err")"
    fi
    # A bridge that is up cannot be deleted; down, it can.
    if ! "$JXPROC" write $CONFIG del br0 >/dev/null 2>&1 && "$JXPROC" link br0 down &&
        "$JXPROC" write $CONFIG del br0 >/dev/null && ! "$JXPROC" link | grep -q ": br0: "; then
        pass "link down lets the bridge go"
    else
        fail "link down lets the bridge go"
    fi
}

case_usage() {
    "$JXPROC" frobnicate 2>/dev/null
    local a=$?
    "$JXPROC" ioctl $CONFIG zz 2>/dev/null
    local b=$?
    "$JXPROC" ioctl $CONFIG 80047a05 --value 1 --out 4 2>/dev/null
    local c=$?
    if [ $a -eq 2 ] && [ $b -eq 2 ] && [ $c -eq 2 ]; then pass "usage errors exit 2"; else
        fail "usage errors exit 2" "$a $b $c"
    fi
}

case_second_node() {
    "$JXNODE" >/dev/null 2>"$TMP/err2"
    local rc=$?
    if [ $rc -eq 1 ] && grep -q "another node is serving" "$TMP/err2"; then
        pass "a second node on the same socket refuses to start"
    else
        fail "a second node on the same socket refuses to start" "exit $rc"
    fi
}

case_sigterm() {
    stop_node
    local rc=$?
    if [ $rc -eq 0 ] && [ ! -e "$JXNODE_SOCKET" ]; then pass "SIGTERM stops the node cleanly"; else
        fail "SIGTERM stops the node cleanly" "exit $rc"
    fi
}

case_not_running() {
    local form rc ok=1
    for form in "cat $CONFIG" "write $CONFIG debug 1" "ioctl $CONFIG 80047a05 --out 4" "follow $CONFIG" \
        "dmesg" "link" "link br0 up"; do
        # shellcheck disable=SC2086
        "$JXPROC" $form >/dev/null 2>"$TMP/err"
        rc=$?
        if [ $rc -ne 1 ] || [ "$(cat "$TMP/err")" != "jxproc: jxnode is not running (no socket at $JXNODE_SOCKET)" ]; then
            ok=0
            echo "  $form: exit $rc: $(cat "$TMP/err")"
        fi
    done
    if [ $ok -eq 1 ]; then pass "node not running"; else fail "node not running"; fi
}

case_script() {
    cat >"$TMP/good.script" <<EOF
# start-up settings

write $CONFIG debug 1
	write  $CONFIG default_frame_size 1700
cat $CONFIG
EOF
    if ! start_node --script "$TMP/good.script"; then
        fail "start-up script" "$(tail -n 5 "$TMP/node.err")"
        return
    fi
    if grep -q "^Default frame output size:       1700$" "$TMP/node.out" &&
        "$JXPROC" cat $CONFIG | grep -q "^Debug:                           1$" &&
        "$JXPROC" dmesg | grep -qF "[Bridge] write(\"default_frame_size 1700\") from 'jxnode' ($NODE_PID)"; then
        pass "start-up script runs as a client of the node"
    else
        fail "start-up script runs as a client of the node"
    fi
    stop_node

    cat >"$TMP/bad.script" <<EOF
write $CONFIG debug 1
# the next line fails
write $CONFIG frobnicate
write $CONFIG debug 0
EOF
    "$JXNODE" --script "$TMP/bad.script" >/dev/null 2>"$TMP/err"
    local rc=$?
    if [ $rc -eq 1 ] && grep -q "jxnode: $TMP/bad.script:3: " "$TMP/err" && [ ! -e "$JXNODE_SOCKET" ]; then
        pass "a failing script line stops the node"
    else
        fail "a failing script line stops the node" "exit $rc, $(grep jxnode: "$TMP/err")"
    fi
}

case_parameters() {
    "$JXNODE" nosuch_mod.debug=1 >/dev/null 2>"$TMP/err"
    local rc=$?
    if [ $rc -eq 1 ] && grep -q "unknown module 'nosuch_mod'" "$TMP/err"; then pass "unknown module refused"; else
        fail "unknown module refused" "exit $rc"
    fi
    if start_node jxbridge_mod.debug=1 && "$JXPROC" cat $CONFIG | grep -q "^Debug:                           1$"; then
        pass "module parameters on the command line"
    else
        fail "module parameters on the command line"
    fi
    stop_node
}

case_start
case_socket_mode
case_ioctl_version
case_ioctl_records
case_cat_config
case_write
case_dmesg
case_link
case_usage
case_second_node
case_sigterm
case_not_running
case_script
case_parameters

finish
