# Subscribers in network namespaces, each joined to a node port by a veth pair,
# and the bridge of those ports. The sourcing script sets, before sourcing:
#   SUB  a short prefix unique to the run (names: ${SUB}ns-i, ${SUB}p<i>, ${SUB}q<i>)
#   NET  the subscribers' /24 without its last group (subscriber i is NET.i)
#   N    the number of subscribers
# and, for build_bridge, BRN and BR (its bridge file); lib/node.sh and
# lib/records.sh come first.

ns() { echo "${SUB}ns-$1"; }   # namespace of subscriber i
port() { echo "${SUB}p$1"; }   # the node's end of its veth
peer() { echo "${SUB}q$1"; }   # the namespace's end
mac_of() { printf "02:00:00:00:00:%02x" "$1"; }

subscribers_cleanup() {
    local i
    for i in $(seq $N); do
        ip link del "$(port "$i")" 2>/dev/null
        ip netns del "$(ns "$i")" 2>/dev/null
    done
}

subscribers_setup() {
    # A run killed before its cleanup leaves its names behind: take them first.
    subscribers_cleanup
    local i
    for i in $(seq $N); do
        ip netns add "$(ns "$i")" || return 1
        ip link add "$(port "$i")" type veth peer name "$(peer "$i")" netns "$(ns "$i")" || return 1
        # Frames leave the namespace whole: the node sees what a line card would.
        ip netns exec "$(ns "$i")" ethtool -K "$(peer "$i")" tso off gso off 2>/dev/null
        ip -n "$(ns "$i")" link set "$(peer "$i")" address "$(mac_of "$i")" || return 1
        ip -n "$(ns "$i")" addr add "$NET.$i/24" dev "$(peer "$i")" || return 1
        ip -n "$(ns "$i")" link set "$(peer "$i")" up || return 1
        ip -n "$(ns "$i")" link set lo up
        # No IPv6 chatter to confuse what the captures and counters see.
        ip netns exec "$(ns "$i")" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
    done
}

# The bridge BRN with every subscriber's port as an access port (BLL 100 + i),
# in slots 0, 1, ... in order; devices up (the lines follow the carrier), then the bridge.
build_bridge() {
    "$JXPROC" write $CONFIG add "$BRN" 8 >/dev/null || return 1
    local i
    for i in $(seq $N); do
        "$JXPROC" link "$(port "$i")" up || return 1
        "$JXPROC" ioctl "$BR" 40047a02 "$(port_request "$(port "$i")" 4294967295 1 $((100 + i)))" |
            grep -q '^rc=0$' || return 1
    done
    "$JXPROC" link "$BRN" up
}

# A script's whole set-up: the namespaces, a node with every subscriber's port
# bound (the arguments go to jxnode too), then the bridge. A failure ends the
# script with its verdict.
subscribers_start() {
    subscribers_setup || { fail "namespace setup"; finish; }
    local args=() i
    for i in $(seq $N); do args+=(--port "$(port "$i")"); done
    start_node "$@" "${args[@]}" || { fail "jxnode start" "$(cat "$TMP/node.err")"; finish; }
    build_bridge || { fail "bridge built through its control files"; finish; }
}

# Two pings from subscriber i to subscriber j.
pinged() { ip netns exec "$(ns "$1")" ping -c 2 -W 2 -i 0.2 "$NET.$2" >/dev/null 2>&1; }
