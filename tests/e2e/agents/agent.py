"""An agent in Python as on the line card: os.open, fcntl.ioctl, poll.

agent.py BRIDGE: checks the API version (ioctl and pread) and the port slots by
ioctl, a non-blocking stream file, and poll over a node file and a pipe; prints
"python ok: N slots".
"""
import fcntl
import os
import re
import select
import struct
import sys

bridge = sys.argv[1]
CONFIG = "/proc/net/jxbridge/config"
BRIDGE = f"/proc/net/jxbridge/{bridge}/bridge"
TRACER = f"/proc/net/jxbridge/{bridge}/tracer"

with open(CONFIG) as f:
    shown = int(re.search(r"Bridge API version:\s+(\d+)", f.read()).group(1))
fd = os.open(CONFIG, os.O_RDONLY)
buf = bytearray(4)
assert fcntl.ioctl(fd, 0x80047A05, buf, True) == 0
assert struct.unpack("<I", buf)[0] == shown, (buf, shown)
# Reads at an offset: the file rewinds and skips to it.
assert os.pread(fd, 18, 0) == b"Bridge API version" and os.pread(fd, 7, 7) == b"API ver"
os.close(fd)

fd = os.open(BRIDGE, os.O_RDWR)
rec = bytearray(b"x" + bytes(19) + struct.pack("<IIIII", 0xFFFFFFFF, 0, 0, 0, 0))
assert fcntl.ioctl(fd, 0xC0047A04, rec, True) == 0
slots = struct.unpack_from("<I", rec, 20)[0]
os.close(fd)

# A blocking stream made non-blocking after open.
tr = os.open(TRACER, os.O_RDONLY)
fcntl.fcntl(tr, fcntl.F_SETFL, os.O_NONBLOCK)
fl = fcntl.fcntl(tr, fcntl.F_GETFL)
assert fl & os.O_NONBLOCK and fl & os.O_ACCMODE == os.O_RDONLY, fl
try:
    os.read(tr, 100)
    raise AssertionError("read of an empty stream did not fail")
except BlockingIOError:
    pass

# poll over the stream and a pipe: each is seen when it is ready.
r, w = os.pipe()
p = select.poll()
p.register(tr, select.POLLIN)
p.register(r, select.POLLIN)
assert p.poll(50) == []
os.write(w, b"x")
assert p.poll(1000) == [(r, select.POLLIN)]
os.read(r, 1)
cmd = os.open(TRACER, os.O_WRONLY)
os.write(cmd, b"show\n")
os.close(cmd)
assert p.poll(1000) == [(tr, select.POLLIN)]
assert b"Tracer:" in os.read(tr, 4096)

# A name the node does not serve fails as it does without the library.
try:
    os.open(f"/proc/net/jxbridge/{bridge}/nosuch", os.O_RDONLY)
    raise AssertionError("nosuch opened")
except FileNotFoundError:
    pass
print(f"python ok: {slots} slots")
