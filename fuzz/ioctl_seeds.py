#!/usr/bin/env python3
"""Writes the ioctl fuzzers' seeds (fuzz/corpus/fuzz_ioctl_<file>) from the ioctl
numbers the headers define: each command once with a record naming ports wa and wb
and small numbers, once with the value 100 passed itself, and a record whose first
word points at its own end and past it. Run it from anywhere; it rewrites the seeds."""
import os, re, struct

os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
src = open('rte/sources/jxbridge/jxbridge_ioctl.h').read()
src += open('rte/sources/jxbridge/bridge_log.h').read()
src += open('rte/sources/jxbridge/bridge_acl.h').read()
src += open('rte/sources/jxbridge/bridge_oo.h').read()
kinds = {'W':0x40047a00,'R':0x80047a00,'RW':0xC0047a00,'NONE':0x7a00}
pon_kinds = {'W':0x40047e00,'R':0x80047e00,'RW':0xC0047e00}
defs = {}
for m in re.finditer(r'#define (\w+) JXBRIDGE_IOCTL_(W|R|RW|NONE)\((0x[0-9a-fA-F]+|\d+)\)', src):
    defs[m.group(1)] = kinds[m.group(2)] + int(m.group(3), 0)
for m in re.finditer(r'#define (\w+) PON_IOCTL_(W|R|RW)\((0x[0-9a-fA-F]+|\d+)\)', src):
    defs[m.group(1)] = pon_kinds[m.group(2)] + int(m.group(3), 0)
for m in re.finditer(r'#define ((?:ACL|JXMNG|IPSG|EVENT|BRIDGE)_IOCTL_\w+) (0x[0-9a-fA-F]+)u?', src + open('rte/sources/jxmng/jxmng_ioctl.h').read()):
    defs[m.group(1)] = int(m.group(2), 16)
for m in re.finditer(r'#define (BRIDGE_OO_\w+) OO_IOCTL\((0x[0-9a-fA-F]+)\)', src):
    defs[m.group(1)] = 0x40046f00 + int(m.group(2), 16)
# The qos file's numbers: 0x40047a01..45, two of them with a one-byte size.
for n in range(1, 0x46):
    defs[f'QOS_IOCTL_{n:02x}'] = (0x40017a00 if n in (0x14, 0x16) else 0x40047a00) + n
# The tal file's numbers: 0x40047a01..29, with a two- and a one-byte size.
for n in range(1, 0x2a):
    defs[f'TAL_IOCTL_{n:02x}'] = {0x02: 0x40027a00, 0x12: 0x40017a00}.get(n, 0x40047a00) + n
groups = {'config': r'^JXBRIDGE_IOCTL_', 'bridge': r'^BRIDGE_IOCTL_(?!CFM_|ERPS_)', 'vlan': r'^VLAN_IOCTL_', 'tracer': r'^JXBRIDGE_TRACER_IOCTL_',
          'mac_table': r'^MT_IOCTL_', 'acl': r'^ACL_IOCTL_', 'mng': r'^JXMNG_IOCTL_',
          'pon': r'^PON_IOCTL_', 'rmirroring': r'^RMIRRORING_IOCTL_', 'ipsg': r'^IPSG_IOCTL_',
          'event': r'^EVENT_IOCTL_', 'cfm': r'^BRIDGE_IOCTL_CFM_',
          'erps': r'^BRIDGE_IOCTL_ERPS_', 'qos': r'^QOS_IOCTL_', 'tal': r'^TAL_IOCTL_',
          'openolt': r'^BRIDGE_OO_'}
def rec(cmd, how, body):
    return struct.pack('<IBH', cmd, how, len(body)) + body
name = lambda s, n=17: s.encode().ljust(n, b'\0')
for g, pat in groups.items():
    d = f'fuzz/corpus/fuzz_ioctl_{g}'
    os.makedirs(d, exist_ok=True)
    for f in os.listdir(d):
        os.remove(os.path.join(d, f))
    cmds = sorted(v for k, v in defs.items() if re.match(pat, k))
    if g == 'tracer':
        cmds = [0x80047a00, 0x80047a01]
    out = b''
    for i, c in enumerate(cmds):
        body = name('wa') + b'\0\0\0' + struct.pack('<IIII', 100, 1, 2, 0) + name('wb') + b'\0' * 9
        if g == 'rmirroring':
            # Session 1, VLAN or port 100, a destination with both directions.
            body = struct.pack('<BBHBBB', 1, 0, 100, 1, 1, 1) + b'02:00:00:00:00:01'.ljust(41, b'\0')
        out += rec(c, 0, body)
        out += rec(c, 1, struct.pack('<Q', 100))
        if len(out) > 1500:
            open(f'{d}/seed{i}', 'wb').write(out); out = b''
    if g == 'mng':
        out += rec(cmds[0], 0, b'mng%d\0')
    if g == 'openolt':
        # A group of two members behind the record, and lists written behind it.
        member = lambda intf, gem: struct.pack('<IIII', 0, intf, gem, 0) + b'\0' * 20
        out += rec(defs['BRIDGE_OO_MCAST_GROUP_ADD'], 0, struct.pack('<IIQ', 7, 2, 0xFFFE000000000000 | 48) + b'\0' * 32 + member(0, 3900) + member(1, 3900))
        out += rec(defs['BRIDGE_OO_ONU_LIST'], 0, struct.pack('<IIQ', 0, 4, 0xFFFE000000000000 | 16) + b'\0' * 176)
        out += rec(defs['BRIDGE_OO_INTF_LIST'], 0, struct.pack('<IIQ', 40, 0, 0xFFFE000000000000 | 16) + b'\0' * 160)
    # A record whose first word points at its own end and past it.
    out += rec(cmds[0], 0, struct.pack('<Q', 0xFFFE000000000000 | 60) + b'\0' * 56)
    open(f'{d}/seed_last', 'wb').write(out)

# The IGMP file: every command with a 112-byte argument record whose pointers
# (0xFFFE-tagged offsets) name arguments behind it: the bridge "br0", port and
# VLAN numbers, names, and out buffers.
igmp = open('rte/sources/jxigmp/jxigmp_proc.cc').read()
d = 'fuzz/corpus/fuzz_ioctl_igmp'
os.makedirs(d, exist_ok=True)
for f in os.listdir(d):
    os.remove(os.path.join(d, f))
def igmp_rec(nr, kinds, values):
    n = len(kinds)
    addrs, sizes, dirs, tail = [], [], [], b''
    for i, k in enumerate(kinds):
        addrs.append(0xFFFE000000000000 | (112 + len(tail)))
        if k in 'bt':
            tail += (b'br0' if k == 'b' else b'acl1') + b'\0' * 5
            sizes.append(0); dirs.append(0)
        elif k == 'T':
            tail += b'\0' * 32; sizes.append(32); dirs.append(1)
        elif k == 's':
            tail += b'\0' * 80; sizes.append(80); dirs.append(1)
        else:
            tail += struct.pack('<II', values[i % len(values)], 0); sizes.append(4); dirs.append(2)
    addrs += [0] * (8 - n); sizes += [0] * (8 - n); dirs += [0] * (8 - n)
    body = struct.pack('<B7x8Q8I8B', n, *addrs, *sizes, *dirs) + tail
    return rec(0xC0046900 + nr, 0, body)
out = igmp_rec(0, '', [0]) + igmp_rec(7, 'ti', [8]) + igmp_rec(14, 'bti', [1]) + igmp_rec(21, 'bii', [100, 0])
open(f'{d}/seed_setup', 'wb').write(out)
for m in re.finditer(r'\{(\d+), "(\w+)", "(\w*)"', igmp):
    nr, kinds = int(m.group(1)), m.group(3)
    out = igmp_rec(0, '', [0]) + igmp_rec(7, 'ti', [8]) + igmp_rec(nr, kinds, [1, 100, 0xEF010101, 0xEF0101FF])
    open(f'{d}/seed{nr}', 'wb').write(out)
