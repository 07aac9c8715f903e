#!/usr/bin/env bash
# The demonstration: builds jxnode, starts it as the line card, and drives its
# control files with jxproc as the node's management software would: reads the
# module's configuration, changes it, builds, configures and removes a bridge, and shows
# the kernel log. Everything it starts is stopped on exit or interruption.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/deps.sh
bash scripts/build.sh build/release Release >/dev/null

BIN=$top/build/release
work=$(mktemp -d /tmp/jxdemo.XXXXXX)
export JXNODE_SOCKET=$work/ctl.sock
node_pid=

cleanup() {
    if [ -n "$node_pid" ] && kill -0 "$node_pid" 2>/dev/null; then
        kill -TERM "$node_pid"
        wait "$node_pid" || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step() { printf '\n== %s\n' "$*"; }
show() {
    printf '$ %s\n' "$*"
    "$@"
}

step "starting jxnode (its kernel log goes to $work/node.log)"
mkfifo "$work/ready"
"$BIN/jxnode" jxbridge_mod.default_output_size=1024 >"$work/ready" 2>"$work/node.log" &
node_pid=$!
read -r -t 30 line <"$work/ready" || { echo "jxnode did not start"; cat "$work/node.log"; exit 1; }
echo "$line"

P=$BIN/jxproc
CFG=/proc/net/jxbridge/config
step "the module's configuration"
show "$P" cat $CFG
show "$P" ioctl $CFG 80047a05 --out 4
step "changing it with text commands"
show "$P" write $CFG threaded max 2000
show "$P" write $CFG default_frame_size 256
show "$P" write $CFG no_such_command || true
step "a bridge with 8 ports, configured through its bridge file, and removed"
BRF=/proc/net/jxbridge/br0/bridge
show "$P" write $CFG add br0 8
show "$P" link
show "$P" link br0 up
show "$P" write $BRF mcast flood
show "$P" write $BRF error_disable time 60
show "$P" write $BRF switching_mode cord_vswitch
show "$P" write $BRF stp port nosuchport on || true
show "$P" ioctl $BRF 80047a06 --out 8
show "$P" cat $BRF
show "$P" link br0 down
show "$P" write $CFG del br0
step "the node's kernel log"
show "$P" dmesg | tail -n 15

step "stopping jxnode"
kill -TERM "$node_pid"
wait "$node_pid"
node_pid=
echo "jxnode stopped cleanly"
