#!/usr/bin/python3
"""The demonstration's uplink router: on a trunk interface it answers ARP and
ping for one address per VLAN, on tagged frames, as the router behind an access
node's uplink does. Used instead of the host's 802.1Q devices, which not every
kernel has.

    uplink_router.py IFACE VID=ADDRESS...

Prints "ready" once it listens; runs until interrupted.
"""
import sys

from scapy.all import ARP, ICMP, IP, Dot1Q, Ether, conf, get_if_hwaddr, sendp, sniff


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    iface = sys.argv[1]
    addrs = {}
    for word in sys.argv[2:]:
        vid, _, addr = word.partition("=")
        addrs[int(vid)] = addr
    mac = get_if_hwaddr(iface)
    out = conf.L2socket(iface=iface)

    def answer(p):
        if Dot1Q not in p or p[Ether].src == mac:
            return
        vid = p[Dot1Q].vlan
        mine = addrs.get(vid)
        if mine is None:
            return
        head = Ether(dst=p[Ether].src, src=mac) / Dot1Q(vlan=vid)
        if ARP in p and p[ARP].op == 1 and p[ARP].pdst == mine:
            out.send(head / ARP(op=2, hwsrc=mac, psrc=mine, hwdst=p[ARP].hwsrc, pdst=p[ARP].psrc))
        elif ICMP in p and p[IP].dst == mine and p[ICMP].type == 8:
            echo = p[ICMP]
            out.send(
                head
                / IP(src=mine, dst=p[IP].src)
                / ICMP(type=0, id=echo.id, seq=echo.seq)
                / bytes(echo.payload)
            )

    try:
        sniff(
            iface=iface,
            prn=answer,
            store=False,
            started_callback=lambda: print("ready", flush=True),
        )
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
