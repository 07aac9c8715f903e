#!/usr/bin/env bash
# Installs, from Debian's archive, what building, testing and the demonstration
# use. Packages already present are left alone, so a second run is quick.
set -eu

PACKAGES=(
    cmake ninja-build g++ ccache pkg-config clang-format
    libgtest-dev libgmock-dev libbenchmark-dev
    libxdp-dev libbpf-dev clang libclang-rt-14-dev
    iproute2 iputils-ping tcpdump python3-scapy socat procps ethtool dnsmasq isc-dhcp-client
    hping3 tshark gcc dpkg-dev systemd linuxptp iperf3 netsniff-ng
)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "deps: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
