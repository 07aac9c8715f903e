"""The daemon side of an application filter, on the filter device's TAP.

relay IFACE DIR: reads every frame the node delivers (the 107-byte header,
then the frame), keeps the first header in DIR/hdr.bin, counts the frames in
DIR/relayed and sends each back unchanged, so the bridge forwards it by its
destination. Runs until killed.

send IFACE HDR KIND...: writes test frames built on the header HDR (a file):
  len107, len108 and len121 (a bare Ethernet header), huge (a forward list
  whose count is 0x7FFFFFFF), lists:P,Q/R (two lists, then one frame from
  source MAC 02:00:00:00:00:99 with no output port).
"""
import os
import socket
import struct
import sys

ETH_P_ALL = 0x0003
PACKET_OUTGOING = 4
HDR_LEN = 107
FLAGS = 24
FWD_LIST = 0x10


def open_socket(iface):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    s.bind((iface, 0))
    return s


def relay(iface, out):
    s = open_socket(iface)
    n = 0
    while True:
        try:
            data, addr = s.recvfrom(65535)
        except OSError:  # the TAP went with its device or its node
            return
        if addr[2] == PACKET_OUTGOING or len(data) < HDR_LEN + 14:
            continue
        if n == 0:
            with open(os.path.join(out, "hdr.bin.tmp"), "wb") as f:
                f.write(data[:HDR_LEN])
            os.rename(os.path.join(out, "hdr.bin.tmp"), os.path.join(out, "hdr.bin"))
        try:
            s.send(data)
        except OSError:
            return
        n += 1
        # Whole or not at all, for the script that polls it.
        with open(os.path.join(out, "relayed.tmp"), "w") as f:
            f.write("%d\n" % n)
        os.rename(os.path.join(out, "relayed.tmp"), os.path.join(out, "relayed"))


def with_header(hdr, payload, flags=0, out_bll=0, from_bll=None):
    h = bytearray(hdr)
    h[FLAGS] |= flags
    struct.pack_into("<I", h, 48, HDR_LEN + len(payload))
    struct.pack_into("<H", h, 54, out_bll)
    if from_bll is not None:
        struct.pack_into("<H", h, 52, from_bll)
    return bytes(h) + payload


def fwd_list(ports):
    return struct.pack("<I", len(ports)) + b"".join(struct.pack("<H", p) for p in ports) + b"\0\0"


def tagged(dst, src, vid, payload):
    return dst + src + struct.pack("!HH", 0x8100, vid) + struct.pack("!H", 0x88B5) + payload


def send(iface, hdr_file, kinds):
    s = open_socket(iface)
    hdr = open(hdr_file, "rb").read()
    vid = struct.unpack_from("!H", hdr, 4)[0] & 0xFFF
    src = bytes.fromhex("020000000099")
    bare = b"\xff" * 6 + src + b"\x88\xb5"
    for kind in kinds:
        if kind == "len107":
            s.send(with_header(hdr, b"")[:107])
        elif kind == "len108":
            s.send(with_header(hdr, b"\0"))
        elif kind == "len121":
            s.send(with_header(hdr, bare))
        elif kind == "huge":
            s.send(with_header(hdr, struct.pack("<I", 0x7FFFFFFF) + b"\1\0", FWD_LIST))
        elif kind.startswith("lists:"):
            for group in kind[6:].split("/"):
                ports = [int(p) for p in group.split(",")]
                s.send(with_header(hdr, fwd_list(ports), FWD_LIST, from_bll=500))
            frame = tagged(bytes.fromhex("020000000077"), src, vid, b"jx-list" + b"\0" * 40)
            s.send(with_header(hdr, frame, from_bll=500))


if __name__ == "__main__":
    if sys.argv[1] == "relay":
        relay(sys.argv[2], sys.argv[3])
    else:
        send(sys.argv[2], sys.argv[3], sys.argv[4:])
