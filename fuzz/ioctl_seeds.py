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
kinds = {'W':0x40047a00,'R':0x80047a00,'RW':0xC0047a00,'NONE':0x7a00}
pon_kinds = {'W':0x40047e00,'R':0x80047e00,'RW':0xC0047e00}
defs = {}
for m in re.finditer(r'#define (\w+) JXBRIDGE_IOCTL_(W|R|RW|NONE)\((0x[0-9a-fA-F]+|\d+)\)', src):
    defs[m.group(1)] = kinds[m.group(2)] + int(m.group(3), 0)
for m in re.finditer(r'#define (\w+) PON_IOCTL_(W|R|RW)\((0x[0-9a-fA-F]+|\d+)\)', src):
    defs[m.group(1)] = pon_kinds[m.group(2)] + int(m.group(3), 0)
for m in re.finditer(r'#define ((?:ACL|JXMNG)_IOCTL_\w+) (0x[0-9a-fA-F]+)u?', src + open('rte/sources/jxmng/jxmng_ioctl.h').read()):
    defs[m.group(1)] = int(m.group(2), 16)
# The qos file's numbers: 0x40047a01..45, two of them with a one-byte size.
for n in range(1, 0x46):
    defs[f'QOS_IOCTL_{n:02x}'] = (0x40017a00 if n in (0x14, 0x16) else 0x40047a00) + n
groups = {'config': r'^JXBRIDGE_IOCTL_', 'bridge': r'^BRIDGE_IOCTL_', 'vlan': r'^VLAN_IOCTL_', 'tracer': r'^JXBRIDGE_TRACER_IOCTL_',
          'mac_table': r'^MT_IOCTL_', 'acl': r'^ACL_IOCTL_', 'mng': r'^JXMNG_IOCTL_',
          'pon': r'^PON_IOCTL_', 'qos': r'^QOS_IOCTL_'}
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
        out += rec(c, 0, body)
        out += rec(c, 1, struct.pack('<Q', 100))
        if len(out) > 1500:
            open(f'{d}/seed{i}', 'wb').write(out); out = b''
    if g == 'mng':
        out += rec(cmds[0], 0, b'mng%d\0')
    # A record whose first word points at its own end and past it.
    out += rec(cmds[0], 0, struct.pack('<Q', 0xFFFE000000000000 | 60) + b'\0' * 56)
    open(f'{d}/seed_last', 'wb').write(out)
