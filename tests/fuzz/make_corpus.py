#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into tests/fuzz/corpus/<target>/.

Run once by hand when a message layout or a target's input format changes;
the seeds are checked in, and CI and the fuzz ctests start from them. Each
seed is a small, meaningful input: a sound message of each kind, the edge
sizes the readers bound, and a few malformed ones. Integers are little-endian,
as on the hosts the daemon runs on.
"""
import os
import shutil
import struct
import sys

HEAD_LEN = 56
VM_MSG_LEN = 568
BODY_MAX = 524            # the daemon reads at most this many body bytes
CLIENT_BODY_MAX = 968     # the client library's bound, both ways


def head(msg_id, msg_type, buf_len, result=0):
    return struct.pack('<QIIi36x', msg_id, msg_type, buf_len, result)


def request(msg_id, msg_type, body, buf_len=None):
    return head(msg_id, msg_type, len(body) if buf_len is None else buf_len) + body


def action_body(name, action, name_len=None):
    n = len(name) if name_len is None else name_len
    return struct.pack('<i', n) + name + struct.pack('<I', action)


def query_body(vm, mod, mod_len=None):
    m = len(mod) if mod_len is None else mod_len
    return struct.pack('<i', len(vm)) + vm + struct.pack('<i', m) + mod


def control_body(action, interval, para, para_len=None):
    n = len(para) if para_len is None else para_len
    return struct.pack('<iii', action, interval, n) + para


def module(rescode, name, cur, tar, check, iso_type):
    return (struct.pack('<i', rescode) + bytes(15) + name.ljust(16, b'\0')[:16] +
            cur.ljust(16, b'\0')[:16] + tar.ljust(16, b'\0')[:16] +
            check.ljust(23, b'\0')[:23] + bytes([iso_type, 0]))


def vm_msg(msg_id, msg_type, module_num, modules=()):
    mods = b''.join(modules).ljust(6 * 92, b'\0')
    return struct.pack('<QIi', msg_id, msg_type, module_num) + mods


LONG_VM = b'v' * 127


def host_body_seeds():
    # A whole request (header and body) or a body alone.
    return {
        'action-health-check': request(1, 3, action_body(b'vm1', 1)),
        'action-auto-ctrl': request(2, 6, action_body(b'guest-a', 2)),
        'action-name-127': request(3, 3, action_body(LONG_VM, 1)),
        'action-name-128': request(4, 3, action_body(b'w' * 128, 1)),
        'action-zero-action': request(5, 6, action_body(b'vm1', 0)),
        'query-module': request(6, 4, query_body(b'vm1', b'tools')),
        'query-mod-15': request(7, 4, query_body(b'vm1', b'm' * 15)),
        'query-mod-negative': request(8, 4, query_body(b'vm1', b'tools', -1)),
        'control-start': request(9, 5, control_body(1, 60, b'vm1,vm2')),
        'control-para-512': request(10, 5, control_body(1, 0, b'p' * 512)),
        'control-para-513': request(11, 5, control_body(1, 0, b'p' * 512, 513)),
        'head-body-too-long': head(12, 3, BODY_MAX + 1),
        'head-short': head(13, 3, 8)[:40],
        'body-only-action': action_body(b'vm1', 1),
        'body-only-cut': action_body(b'vm1', 1)[:6],
    }


def vm_msg_seeds():
    # One 568-byte guest message; bytes after it name the VM of the reply texts.
    full = module(0, b'm' * 16, b'1' * 16, b'2' * 16, b'c' * 23, 2)
    return {
        'check-health': vm_msg(1, 1, 0),
        'upgrade-state': vm_msg(2, 14, 1, [module(0, b'tools', b'1.0.0', b'1.1.0', b'ok', 1)]),
        'upgrade-info-6': vm_msg(3, 8, 6, [full] * 6),
        'module-num-7': vm_msg(4, 8, 7, [full] * 6),
        'module-num-negative': vm_msg(5, 13, -1),
        'code-4-digits': vm_msg(6, 14, 1, [module(1000, b'tools', b'', b'', b'', 1)]),
        'code-negative': vm_msg(7, 14, 1, [module(-99, b'tools', b'', b'', b'', 1)]),
        'vm-name-127': vm_msg(8, 14, 1, [full]) + LONG_VM,
        'vm-name-nul': vm_msg(9, 14, 1, [full]) + b'vm1\0rest',
        'cut-message': vm_msg(10, 1, 0)[:300],
    }


def client_reply_seeds():
    # 8 bytes of the awaited msgId, 1 byte wait kind (0 text, 1 control), then
    # the stream the daemon's side sends.
    def wait(msg_id, control, stream):
        return struct.pack('<QB', msg_id, control) + stream
    text = b'vm1:{tools,0.0.0.0,0,0.0.0.0}'
    return {
        'text-answer': wait(7, 0, head(7, 4, len(text)) + text),
        'text-empty-body': wait(7, 0, head(7, 3, 0, 3)),
        'text-other-id-first': wait(7, 0, head(6, 3, 7) + b'vm1:{0}' + head(7, 3, 7) + b'vm1:{5}'),
        'text-body-968': wait(7, 0, head(7, 4, CLIENT_BODY_MAX) + b't' * CLIENT_BODY_MAX),
        'text-body-969': wait(7, 0, head(7, 4, CLIENT_BODY_MAX + 1) + b't' * (CLIENT_BODY_MAX + 1)),
        'text-cut-body': wait(7, 0, head(7, 4, 20) + b'vm1:{'),
        'control-answer': wait(9, 1, head(9, 5, 0, 2)),
        'control-id-0': wait(9, 1, head(0, 5, 0, 0)),
        'control-other-type': wait(9, 1, head(9, 3, 0, 1)),
        'control-cut-head': wait(9, 1, head(9, 5, 0)[:30]),
    }


def stream_seeds():
    # 1 byte of flags (bit 0: the peer closes after its last byte; bit 1: a
    # blocking socket whose empty reads a signal interrupts, else a
    # non-blocking one), 1 byte n, n chunk sizes, then the stream: the chunks
    # in order, the rest of the stream as the last one.
    def feed(close, interrupt, sizes, stream):
        flags = (1 if close else 0) | (2 if interrupt else 0)
        return bytes([flags, len(sizes)]) + bytes(sizes) + stream
    action = request(1, 3, action_body(b'vm1', 1))
    query = request(2, 4, query_body(b'vm1', b'tools'))
    return {
        'whole-request-closed': feed(True, False, [], action),
        'whole-request-open': feed(False, False, [], action),
        'split-header': feed(True, False, [0, 20, 30, 6], query),
        'split-header-interrupted': feed(True, True, [0, 20, 30, 6], query),
        'one-byte-chunks': feed(False, False, [1] * 12, action),
        'two-requests': feed(False, False, [], action + query),
        'header-only-open': feed(False, True, [], head(3, 3, 11)),
        'body-524': feed(True, False, [HEAD_LEN, 200], request(4, 5, control_body(1, 0, b'p' * 512))),
        'body-525-discarded': feed(False, False, [HEAD_LEN, 100], head(5, 3, BODY_MAX + 1) + b'x' * (BODY_MAX + 1) + action),
        'body-968-cut': feed(True, False, [HEAD_LEN], head(6, 3, CLIENT_BODY_MAX) + b'x' * 100),
        'body-969': feed(False, False, [], head(7, 3, CLIENT_BODY_MAX + 1) + b'x' * (CLIENT_BODY_MAX + 1) + action),
        'empty-closed': feed(True, False, [], b''),
    }


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
    targets = {
        'fuzz_host_body': host_body_seeds(),
        'fuzz_vm_msg': vm_msg_seeds(),
        'fuzz_client_reply': client_reply_seeds(),
        'fuzz_stream_reader': stream_seeds(),
    }
    for target, seeds in targets.items():
        out = os.path.join(root, target)
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        for name, data in seeds.items():
            with open(os.path.join(out, name), 'wb') as f:
                f.write(data)
    return 0


if __name__ == '__main__':
    sys.exit(main())
