#!/usr/bin/env bash
# Unmodified programs on the control files through libjxpreload.so: the shell's
# cat, echo and tail, tcpdump's fopen, a C agent built on the exported ioctl header (bridge,
# ports, counters, threads, fork and exec), a Python agent (fcntl.ioctl,
# O_NONBLOCK, poll), errno when nothing answers; then the Debian package
# unpacked into a scratch root, its files, unit, libraries and headers used.
#
# Needs JX_BIN_DIR, the build directory. Interfaces made here start with $PFX.
set -u

TMP=$(mktemp -d /tmp/jxpreload-e2e.XXXXXX)
. "$(dirname "$0")/lib/node.sh"
TOP=$(cd "$(dirname "$0")/../.." && pwd)
PL=$BIN/libjxpreload.so
PFX=${PFX:-pl}
BR=${PFX}br
BRF=/proc/net/jxbridge/$BR/bridge
TRACER=/proc/net/jxbridge/$BR/tracer
AGENT=$TMP/agent
TAIL_PID=

cleanup() {
    [ -n "$TAIL_PID" ] && kill "$TAIL_PID" 2>/dev/null
    node_cleanup
    ip link del "${PFX}0" 2>/dev/null
    ip link del "${PFX}1" 2>/dev/null
    rm -rf "$TMP"
}
trap cleanup EXIT

pre() { LD_PRELOAD=$PL "$@"; }

setup() {
    local i
    for i in 0 1; do
        ip link add "${PFX}$i" type veth peer name "${PFX}${i}p" || return 1
        sysctl -qw "net.ipv6.conf.${PFX}$i.disable_ipv6=1" "net.ipv6.conf.${PFX}${i}p.disable_ipv6=1"
        ip link set "${PFX}${i}p" up && ip link set "${PFX}$i" up || return 1
    done
    gcc -std=gnu11 -Wall -Wextra -Werror -I"$TOP/rte/sources" -pthread \
        -o "$AGENT" "$TOP/tests/e2e/agents/agent.c" || return 1
    start_node --port-driver afpacket --port "${PFX}0" --port "${PFX}1"
}

# ---------------------------------------------------------------------------

case_c_agent() {
    local out i rx
    out=$(pre "$AGENT" create "$BR" "${PFX}0" "${PFX}1") || { fail "C agent builds the bridge" "$out"; return; }
    "$JXPROC" cat "$BRF" | grep -q "Current port count: *2" || { fail "C agent's ports are there"; return; }
    "$JXPROC" link "${PFX}0" up && "$JXPROC" link "${PFX}1" up && "$JXPROC" link "$BR" up
    # Broadcast frames into the first port; the agent reads them in its counters.
    python3 - "${PFX}0p" <<'EOF'
import socket, sys
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind((sys.argv[1], 0))
for i in range(5):
    s.send(b"\xff" * 6 + b"\x02\x00\x00\x00\x00\x07" + b"\x88\xb5" + bytes(50))
EOF
    # The count is a guard against a hang, not a timing.
    for i in $(seq 50); do
        rx=$(pre "$AGENT" counters "$BR" "${PFX}0" | awk '{print $2}')
        [ "${rx:-0}" -ge 5 ] && break
        sleep 0.1
    done
    [ "${rx:-0}" -ge 5 ] || { fail "C agent reads the port's counters" "rx ${rx:-none}"; return; }
    out=$(pre "$AGENT" threads "$BR" 2>&1) || { fail "threads on one descriptor get their own answers" "$out"; return; }
    out=$(pre "$AGENT" fork "$BR" 2>&1)
    if [ $? -eq 0 ] && echo "$out" | grep -q "^child read: Max port count" &&
        echo "$out" | grep -q "^Current port count: *2" && echo "$out" | grep -q "^parent read: Max port count"; then
        pass "C agent: bridge, ports, counters, two threads, fork and exec"
    else
        fail "a forked and exec'd child uses the inherited descriptor" "$out"
    fi
}

case_shell() {
    local ok=1 want got
    want=$("$JXPROC" cat "$CONFIG" | grep "API version")
    [ "$(pre cat "$CONFIG" | grep "API version")" = "$want" ] || { ok=0; fail "cat reads a control file"; }
    # bash opens, dup2s onto 0 and execs cat: the new image finds the descriptor.
    [ "$(pre bash -c "cat < $BRF" | grep -c "port count")" = 2 ] || { ok=0; fail "cat < file"; }
    pre bash -c "echo 'force_line_up_flag ${PFX}1 1' > $BRF" || { ok=0; fail "echo writes a command"; }
    got=$(pre bash -c "echo nosuchcommand > $BRF" 2>&1)
    [ $? -ne 0 ] && echo "$got" | grep -q "write error: Invalid argument" || { ok=0; fail "a refused command is an error" "$got"; }
    pre bash -c "/bin/echo help > $BRF" || { ok=0; fail "an external echo writes a command"; }
    # Names the node does not serve fail with the host's message, errno included.
    want=$(cat /proc/net/jxbridge/nosuch 2>&1)
    [ "$(pre cat /proc/net/jxbridge/nosuch 2>&1)" = "$want" ] || { ok=0; fail "an unknown name fails as without the library"; }
    [ "$(pre cat /proc/net/jxbridge/$BR/nosuch 2>&1)" = "cat: /proc/net/jxbridge/$BR/nosuch: No such file or directory" ] ||
        { ok=0; fail "an unknown file of the bridge is ENOENT"; }
    [ "$(pre cat /proc/self/comm)" = cat ] || { ok=0; fail "other files are the host's"; }
    # libpcap opens its file with fopen: it reaches the node's live capture,
    # reads its global header and waits for frames.
    got=$(timeout 3 env LD_PRELOAD="$PL" tcpdump -r /proc/net/jxbridge/$BR/pcap 2>&1)
    echo "$got" | grep -q "link-type EN10MB" || { ok=0; fail "tcpdump -r opens the pcap file" "$got"; }
    [ $ok = 1 ] && pass "cat and echo on control files; unknown names fail as without the library"
}

# A blocking stream has no end for tail to count back from: "-n +1" follows
# it from the start; stdbuf gives tail the line buffering a terminal would.
case_tail() {
    local out=$TMP/tail.out i
    pre stdbuf -oL tail -n +1 -f "$TRACER" >"$out" 2>&1 &
    TAIL_PID=$!
    # Shown again until tail, once it has the file open, prints it; the count
    # is a guard against a hang.
    for i in $(seq 50); do
        pre bash -c "echo show > $TRACER"
        sleep 0.2
        grep -q "^Tracer: *off" "$out" && break
    done
    kill "$TAIL_PID" 2>/dev/null
    wait "$TAIL_PID" 2>/dev/null
    TAIL_PID=
    if grep -q "^Tracer: *off" "$out"; then pass "tail -f follows the tracer stream"; else
        fail "tail -f follows the tracer stream" "$(head -3 "$out")"
    fi
}

case_python() {
    local out
    if out=$(pre python3 "$TOP/tests/e2e/agents/agent.py" "$BR" 2>&1) && [ "$out" = "python ok: 8 slots" ]; then
        pass "Python agent: fcntl.ioctl, O_NONBLOCK after open, poll with a pipe"
    else
        fail "Python agent" "$out"
    fi
}

case_node_down() {
    local want
    stop_node
    want=$(cat "$CONFIG" 2>&1)
    if [ "$(pre cat "$CONFIG" 2>&1)" = "$want" ] && [ -n "$want" ]; then
        pass "with no node, opens fail as without the library"
    else
        fail "with no node, opens fail as without the library" "$(pre cat "$CONFIG" 2>&1)"
    fi
}

# The package unpacked into a scratch root: its files, the unit, and the
# libraries and headers used from there against a running node.
case_package() {
    local root=$TMP/root deb f ok=1 arch
    bash "$TOP/scripts/package.sh" >"$TMP/package.log" 2>&1 || { fail "package builds" "$(tail -5 "$TMP/package.log")"; return; }
    deb=$(ls "$TOP"/build/package/jxbridge_*.deb | head -n 1)
    dpkg-deb -x "$deb" "$root" && dpkg-deb -e "$deb" "$root/DEBIAN" || { fail "package unpacks"; return; }
    arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)
    for f in usr/bin/jxnode usr/bin/jxproc usr/bin/jxbrctl usr/lib/$arch/libjxpreload.so \
        usr/lib/$arch/libjxctl.so.1 usr/lib/$arch/libjxctl.so usr/lib/$arch/pkgconfig/jxctl.pc \
        usr/include/jxctl/jxctl.h usr/include/jxctl/jxctl_proto.h usr/include/jxbridge/jxbridge_ioctl.h \
        usr/share/man/man8/jxnode.8.gz usr/share/man/man1/jxproc.1.gz usr/share/man/man1/jxbrctl.1.gz \
        usr/share/man/man8/jxpreload.8.gz usr/share/man/man1/jxmngctl.1.gz usr/bin/jxmngctl \
        usr/lib/systemd/system/jxnode.service \
        usr/libexec/jxnode/jxnode-start etc/jxnode/jxnode.conf etc/jxnode/startup.jxproc; do
        [ -e "$root/$f" ] || { ok=0; fail "package holds /$f"; }
    done
    grep -qx /etc/jxnode/jxnode.conf "$root/DEBIAN/conffiles" || { ok=0; fail "the configuration is a conffile"; }
    # Installed by dpkg into an empty root of its own (the libraries it depends on are
    # the host's, hence --force-depends; the maintainer scripts run ldconfig outside).
    local db=$TMP/dpkgroot
    mkdir -p "$db/var/lib/dpkg/info" "$db/var/lib/dpkg/updates" "$db/var/lib/dpkg/triggers"
    : >"$db/var/lib/dpkg/status"
    if ! dpkg --root="$db" --force-depends --force-script-chrootless --log=/dev/null -i "$deb" \
        >"$TMP/dpkg.log" 2>&1 || ! dpkg --root="$db" -s jxbridge | grep -q '^Status: install ok installed' ||
        [ ! -x "$db/usr/bin/jxnode" ]; then
        ok=0
        fail "dpkg installs the package" "$(tail -n 3 "$TMP/dpkg.log")"
    fi
    dpkg-deb -f "$deb" Depends | grep -q libxdp || { ok=0; fail "package depends on libxdp"; }
    # The unit as installed, its paths moved into the scratch root.
    mkdir -p "$TMP/unit"
    sed "s#=/usr/#=$root/usr/#; s#=-/etc/#=-$root/etc/#" "$root/usr/lib/systemd/system/jxnode.service" \
        >"$TMP/unit/jxnode.service"
    systemd-analyze verify --man=no "$TMP/unit/jxnode.service" >"$TMP/verify.out" 2>&1 ||
        { ok=0; fail "the unit verifies" "$(cat "$TMP/verify.out")"; }
    # The start script turns the configuration into jxnode's arguments.
    printf '#!/bin/sh\necho "$@"\n' >"$TMP/fake-jxnode"
    chmod +x "$TMP/fake-jxnode"
    [ "$(sed "s#/usr/bin/jxnode#$TMP/fake-jxnode#" "$root/usr/libexec/jxnode/jxnode-start" |
        JXNODE_PORTS="eth1 eth2" JXNODE_PARAMS="jxbridge_mod.debug=1" JXNODE_SCRIPT=/dev/null sh)" = \
        "--port eth1 --port eth2 --script /dev/null jxbridge_mod.debug=1" ] || { ok=0; fail "start script arguments"; }

    # The installed programs, libraries and headers against a node from the package.
    start_node_from "$root" || { fail "the packaged node starts"; return; }
    cat >"$TMP/client.cc" <<'EOF'
#include <jxctl/jxctl.h>
#include <cstdio>
int main() {
    int h = jxctl_open("/proc/net/jxbridge/config", O_RDONLY);
    char buf[64] = {};
    if (h < 0 || jxctl_read(h, buf, sizeof(buf) - 1) <= 0)
        return 1;
    fputs(buf, stdout);
    return jxctl_close(h);
}
EOF
    local pc="PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$root/usr/lib/$arch/pkgconfig"
    # shellcheck disable=SC2046 # flags
    env $pc g++ -std=c++20 -o "$TMP/client" "$TMP/client.cc" $(env $pc pkg-config --cflags --libs jxctl) ||
        { ok=0; fail "an agent builds with pkg-config jxctl"; }
    LD_LIBRARY_PATH=$root/usr/lib/$arch "$TMP/client" | grep -q "API version" || { ok=0; fail "the agent links libjxctl"; }
    LD_PRELOAD=$root/usr/lib/$arch/libjxpreload.so cat "$CONFIG" | grep -q "API version" ||
        { ok=0; fail "the packaged preload library"; }
    stop_node
    [ $ok = 1 ] && pass "package: files, conffiles, unit verified, libjxctl and the preload library used"
}

# Starts the node of the unpacked package with its own libraries.
start_node_from() {
    local saved=$JXNODE
    JXNODE=$1/usr/bin/jxnode
    start_node
    local rc=$?
    JXNODE=$saved
    return $rc
}

# ---------------------------------------------------------------------------

if ! setup; then
    fail "setup" "$(tail -n 5 "$TMP/node.err" 2>/dev/null)"
    exit 1
fi
pass "node serves with ports ${PFX}0 and ${PFX}1"
case_c_agent
case_shell
case_tail
case_python
case_node_down
case_package
finish
