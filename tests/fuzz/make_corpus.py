#!/usr/bin/env python3
"""Writes the checked-in seed corpus of every fuzz target into tests/fuzz/corpus/<target>/.

Run by hand when a message layout or a target's input format changes. Seeds: a sound
message of each kind, the edge sizes the readers bound, a few malformed ones; little-endian.
"""
import pathlib
import shutil
import struct

HEAD_LEN = 56
BODY_MAX = 524            # the daemon reads at most this many body bytes
CLIENT_BODY_MAX = 968     # the client library's bound, both ways


def head(msg_id, msg_type, buf_len, result=0):
    return struct.pack('<QIIi36x', msg_id, msg_type, buf_len, result)


def request(msg_id, msg_type, body):
    return head(msg_id, msg_type, len(body)) + body


def text(s, length=None):   # a length-prefixed text; length: a wrong prefix
    return struct.pack('<i', len(s) if length is None else length) + s


def action_body(name, action):
    return text(name) + struct.pack('<I', action)


def query_body(vm, mod, mod_len=None):
    return text(vm) + text(mod, mod_len)


def control_body(action, interval, para, para_len=None):
    return struct.pack('<ii', action, interval) + text(para, para_len)


def module(rescode, name, cur, tar, check, iso_type):
    fields = [(name, 16), (cur, 16), (tar, 16), (check, 23)]
    return (struct.pack('<i', rescode) + bytes(15) + b''.join(f.ljust(n, b'\0') for f, n in fields) +
            bytes([iso_type, 0]))


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


def stream_reader_seeds():
    # Flags (bit 0: the peer closes at the end, bit 1: blocking and interrupted), n, n chunk sizes, the stream.
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


def state_page_seeds():
    """Pieces: page u32, body length u16, body (UpgStateHead, then records)."""
    def piece(page, body):
        return struct.pack('<IH', page, len(body)) + body

    def state_head(next_page, vm_count):
        return struct.pack('<IHH', next_page, vm_count, 0)

    daemon = (b'0.1.0'.ljust(16, b'\0') + struct.pack('<qqIIIIIIIIIHBBBB6x', 1000, 1060, 60, 30, 2, 1, 3, 1, 1, 0, 0,
                                                        2, 1, 1, 1, 3) + b'vm1' +
              b'ortavis'.ljust(16, b'\0') + b'1.0.0.2'.ljust(16, b'\0') + struct.pack('<B3x', 1))

    def vm(name, iso=b'', modules=()):
        flags = (1 if iso else 0) | 2
        rec = struct.pack('<iiIBBBBB3x', 1, 2, 5, len(name), 1, len(modules), flags, len(iso)) + name + iso
        for mod, cur, tar, code in modules:
            rec += mod.ljust(16, b'\0') + cur.ljust(16, b'\0') + tar.ljust(16, b'\0') + struct.pack('<iI', code, 7)
        return rec

    six = [(b'm%d' % i, b'1.0', b'2.0', 0) for i in range(6)]
    full = vm(b'n' * 127, b'i' * 32, six)
    return {
        'daemon-page': piece(0, state_head(1, 0) + daemon),
        'two-pages': piece(0, state_head(1, 0) + daemon) + piece(1, state_head(3, 2) + vm(b'a', b'x.iso') + vm(b'b')) +
        piece(3, state_head(0, 1) + vm(b'c', modules=six[:1])),
        'largest-vm': piece(1, state_head(0, 1) + full),
        'name-cut': piece(1, state_head(0, 1) + full[:100]),
        'trailing-byte': piece(1, state_head(0, 1) + vm(b'a') + b'x'),
        'repeat-by-name': piece(1, state_head(2, 1) + vm(b'b')) + piece(2, state_head(0, 1) + vm(b'b')),
        'next-page-skips': piece(1, state_head(5, 1) + vm(b'a')),
        'empty-page': piece(1, state_head(0, 0)),
    }


def main():
    root = pathlib.Path(__file__).resolve().parent / 'corpus'
    for kind in ('host_body', 'vm_msg', 'client_reply', 'stream_reader', 'state_page'):
        out = root / ('fuzz_' + kind)
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir(parents=True)
        for name, data in globals()[kind + '_seeds']().items():   # host_body_seeds() ...
            (out / name).write_bytes(data)


if __name__ == '__main__':
    main()
