#!/usr/bin/env python3
"""Writes the two built-in Intel HEX images (MemoBoot.h86, MemoFlshCode.h86) and the sample
firmware files under resources/samples/.

Everything is our own made-up data: the code bytes come from a seeded generator that strings
together C166-looking instruction bytes, the message texts are the boot code's dialogue. The
output is the same on every run, so the committed files can be checked by running this again.

    python3 resources/tools/make_images.py            # write the files
    python3 resources/tools/make_images.py --check    # fail if the committed files differ
"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
RESOURCES = os.path.dirname(HERE)
SAMPLES = os.path.join(RESOURCES, "samples")


class Rng:
    """xorshift64*: small, fast and the same everywhere (unlike the library generators, whose
    derived helpers have changed between Python versions)."""

    def __init__(self, seed):
        self.state = (seed * 0x9E3779B97F4A7C15 + 1) & 0xFFFFFFFFFFFFFFFF or 1

    def next32(self):
        x = self.state
        x ^= x >> 12
        x ^= (x << 25) & 0xFFFFFFFFFFFFFFFF
        x ^= x >> 27
        self.state = x
        return ((x * 0x2545F4914F6CDD1D) & 0xFFFFFFFFFFFFFFFF) >> 32

    def below(self, n):
        return self.next32() % n

    def byte(self):
        return self.next32() & 0xFF


# Opcodes of the C166 family with their instruction lengths, to give the filler a code-like texture.
OPCODES = [
    (0xE6, 4), (0xF6, 4), (0xF2, 4), (0xDA, 4), (0xCA, 4), (0x0D, 2), (0x3D, 2), (0x2D, 2),
    (0xCB, 2), (0xDB, 2), (0x88, 2), (0x98, 2), (0xE0, 2), (0xF0, 2), (0xA8, 2), (0xB8, 2),
    (0x46, 4), (0x48, 2), (0x08, 2), (0x28, 2), (0x06, 4), (0x26, 4), (0x7E, 2), (0x6E, 2),
    (0x9A, 4), (0x8A, 4), (0xEA, 4), (0xE7, 4), (0xC0, 2), (0xF4, 4), (0xE4, 4), (0xCC, 2),
]


def code_bytes(rng, n):
    out = bytearray()
    while len(out) < n:
        op, length = OPCODES[rng.below(len(OPCODES))]
        out.append(op)
        if op in (0xCB, 0xDB):  # RET, RETS
            out.append(0x00)
        else:
            out.extend(rng.byte() for _ in range(length - 1))
    return out[:n]


def message_table(texts):
    """The texts as the boot code holds them: CR and NUL after a line, NUL alone after a prompt."""
    out = bytearray()
    for t in texts:
        out += t.encode("ascii")
        out += b"\x00" if t.endswith(": ") else b"\r\x00"
    return out


def record(offset, rtype, data):
    body = bytes([len(data), (offset >> 8) & 0xFF, offset & 0xFF, rtype]) + bytes(data)
    check = (-sum(body)) & 0xFF
    return ":" + body.hex().upper() + "%02X" % check


def data_records(base, data, pieces=None):
    """Records for a contiguous run of bytes at `base` (an offset within the current base), cut at
    16-byte boundaries as a linker's hex writer does; `pieces` overrides the cut (list of lengths)."""
    lines = []
    pos = 0
    if pieces is None:
        pieces = []
        while pos < len(data):
            room = 16 - ((base + pos) % 16)
            n = min(room, len(data) - pos)
            pieces.append(n)
            pos += n
        pos = 0
    for n in pieces:
        lines.append(record(base + pos, 0x00, data[pos:pos + n]))
        pos += n
    assert pos == len(data)
    return lines


END = ":00000001FF"

BOOT_TEXTS = [
    "SEND BLOCK", "ERASE COMPLETE", "GO", "ERASING...", "ERASE BLOCK TIMEOUT: ", "RESEND BLOCK",
    "UPLOAD COMPLETE. PLEASE CYCLE POWER.", "ERASE ERROR: ", "UPLOAD FAILED", "INVALID START",
    "READY", "BLOCK BASE INDEX: ", "THANK YOU",
]
FLASHCODE_TEXTS = [t for t in BOOT_TEXTS if t != "BLOCK BASE INDEX: "] + [
    "But, Nobody is Home.", "The lights are ON...", "I'm in User_Main.  FLASHCODE VER 2.0",
]


def make_boot():
    rng = Rng(0xB007)
    lines = [":020000040000FA"]
    # The start vector and system configuration words at address 0.
    vector = bytes([0x22, 0x81, 0x20, 0x00, 0x00, 0xE0, 0x00, 0x40, 0x00, 0xFD, 0x00, 0x00])
    lines.append(record(0x0000, 0x00, vector))
    assert lines[-1] == ":0C0000002281200000E0004000FD000014"
    lines.append(":020000040008F2")
    texts = message_table(BOOT_TEXTS)
    size = 2500
    text_at = 0x0780
    body = code_bytes(rng, text_at) + texts
    body += code_bytes(rng, size - len(body))
    assert len(body) == size
    lines += data_records(0x0000, body)
    lines.append(END)
    return lines


def make_flashcode():
    rng = Rng(0xF1A5)
    texts = message_table(FLASHCODE_TEXTS)
    text_at = 0x1000

    # Runs of the main code (segment 0), before the padding gaps are cut out of them.
    runs = [(0x0008, 0x02F6), (0x0308, 0x0380), (0x0400, 0x145A), (0x145C, 0x1468), (0x8200, 0x829E)]
    # Padding between routines: (address, length). None touches the message table and none
    # empties a 128-byte chunk.
    gaps = [(0x0120, 22), (0x01C4, 18), (0x0512, 30), (0x06A0, 26), (0x0834, 24), (0x09E6, 20),
            (0x0B58, 28), (0x0D1A, 26), (0x0E70, 22), (0x1130, 10), (0x12B6, 26), (0x13E2, 12),
            (0x8240, 20)]
    image = {}
    for start, end in runs:
        for a in range(start, end):
            image[a] = None
    for at, n in gaps:
        for a in range(at, at + n):
            assert image.pop(a, "x") is None, hex(a)
    for i, b in enumerate(texts):
        assert text_at + i in image, "message table crosses a gap"
    main_addresses = sorted(image)
    assert len(main_addresses) == 4942, len(main_addresses)

    code = iter(code_bytes(rng, len(main_addresses)))
    for a in main_addresses:
        image[a] = next(code)
    for i, b in enumerate(texts):
        image[text_at + i] = b
    text_range = range(text_at, text_at + len(texts))

    # Late patches in segment 0: the reset vector and two tables, written after the main code.
    late = [(0x0000, [0xFA, 0x00]), (0x0002, [0x00, 0x02]), (0x02F6, code_bytes(rng, 2)),
            (0x02F8, code_bytes(rng, 8)), (0x0300, code_bytes(rng, 8)), (0x145A, [0x00, 0x10])]
    for at, data in late:
        for i in range(len(data)):
            assert at + i not in image
    # Segment 0x1000: 33 words of a jump table above the 64 KiB image (never uploaded).
    high = []
    for k in range(33):
        off = 0x0008 + (k * 0x114) // 32
        off &= ~1
        high.append((off, code_bytes(rng, 2)))
    assert high[-1][0] == 0x011C and all(b[0] - a[0] >= 2 for a, b in zip(high, high[1:]))

    # The file checksum of the 64 KiB image must come out as 6890: spread the difference over the
    # code bytes in small steps so no byte sticks out and none becomes 0xFF.
    flat = bytearray(b"\xFF" * 65536)
    for a, b in image.items():
        flat[a] = b
    for at, data in late:
        flat[at:at + len(data)] = bytes(data)
    delta = (0x6890 - sum(flat)) % 65536
    up = delta < 32768
    remaining = delta if up else 65536 - delta
    adjustable = [a for a in main_addresses if a not in text_range]
    step = -(-remaining // len(adjustable))
    while remaining:
        for a in adjustable:
            if not remaining:
                break
            b = image[a]
            room = (0xFE - b) if up else b
            if b == 0xFF:
                room = 0 if up else room
            change = min(step, room, remaining)
            image[a] = b + change if up else b - change
            remaining -= change

    # Records: cut each contiguous run at 16-byte boundaries, then split the first few full
    # records in two until the count matches the FlashCode tool chain's output of 347.
    runs_after_gaps = []
    start = prev = None
    for a in main_addresses:
        if start is None:
            start = prev = a
        elif a == prev + 1:
            prev = a
        else:
            runs_after_gaps.append((start, prev + 1))
            start = prev = a
    runs_after_gaps.append((start, prev + 1))
    cuts = []
    for s, e in runs_after_gaps:
        pieces = []
        pos = s
        while pos < e:
            n = min(16 - pos % 16, e - pos)
            pieces.append(n)
            pos += n
        cuts.append(pieces)
    count = sum(len(p) for p in cuts)
    assert count <= 347, count
    extra = 347 - count
    for pieces in cuts:
        i = 0
        while extra and i < len(pieces):
            if pieces[i] == 16 and i % 3 == 1:
                pieces[i:i + 1] = [8, 8]
                extra -= 1
                i += 1
            i += 1
    assert extra == 0

    lines = [":020000020000FC"]
    for (s, e), pieces in zip(runs_after_gaps, cuts):
        lines += data_records(s, bytes(image[a] for a in range(s, e)), pieces)
    lines.append(":020000021000EC")
    for off, data in high:
        lines.append(record(off, 0x00, data))
    lines.append(":020000020000FC")
    for at, data in late:
        lines.append(record(at, 0x00, data))
    lines.append(END)
    assert len(lines) == 390, len(lines)
    return lines


def image_of(lines, size):
    """A reference reader, used here only to check what the generator made."""
    flat = bytearray(b"\xFF" * size)
    seg = lin = 0
    for line in lines:
        t = line[8]
        if t == "1":
            break
        if t == "2":
            seg = int(line[9:13], 16)
        elif t == "4":
            lin = int(line[9:13], 16)
        elif t == "0":
            n = int(line[1:3], 16)
            a = lin * 65536 + seg * 16 + int(line[3:7], 16)
            data = bytes.fromhex(line[9:9 + 2 * n])
            for i, b in enumerate(data):
                if a + i < size:
                    flat[a + i] = b
    return flat


def check_flashcode(lines):
    flat = image_of(lines, 65536)
    blocks = [c * 128 for c in range(512) if flat[c * 128:(c + 1) * 128] != b"\xFF" * 128]
    want = [c * 128 for c in range(41) if c != 7] + [0x8200, 0x8280]
    assert blocks == want, [hex(b) for b in blocks]
    assert sum(flat) % 65536 == 0x6890


def make_sample(seed, regions, start_address):
    """An application image with type 04 records: `regions` are (address, length) in bytes."""
    rng = Rng(seed)
    lines = []
    current = None
    for at, length in regions:
        data = code_bytes(rng, length)
        pos = 0
        while pos < length:
            a = at + pos
            if a >> 16 != current:
                current = a >> 16
                lines.append(record(0, 0x04, bytes([current >> 8, current & 0xFF])))
            n = min(16, length - pos, 0x10000 - (a & 0xFFFF))
            lines.append(record(a & 0xFFFF, 0x00, data[pos:pos + n]))
            pos += n
    lines.append(record(0, 0x05, start_address.to_bytes(4, "big")))
    lines.append(END)
    return lines


def outputs():
    boot = make_boot()
    flash = make_flashcode()
    check_flashcode(flash)
    # About 600 chunks: a demo upload of about 30 s at one block per tick.
    demo = make_sample(0xD3D0, [(0x000000, 0xE000), (0x010000, 0x4800), (0x3F0000, 0x400)], 0x000200)
    # About 2100 chunks: enough for the checksum check after the restart (2000 blocks or more).
    full = make_sample(0xF011, [(0x000000, 0x40000), (0x080000, 0x1800), (0x3F0000, 0x200)], 0x000200)
    return {
        os.path.join(RESOURCES, "MemoBoot.h86"): boot,
        os.path.join(RESOURCES, "MemoFlshCode.h86"): flash,
        os.path.join(SAMPLES, "mxr2-demo.h86"): demo,
        os.path.join(SAMPLES, "mxr2-full.h86"): full,
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--check", action="store_true", help="compare with the files on disk instead of writing")
    args = ap.parse_args()
    stale = []
    for path, lines in outputs().items():
        text = "".join(l + "\r\n" for l in lines)
        if args.check:
            try:
                with open(path, newline="") as f:
                    if f.read() != text:
                        stale.append(path)
            except OSError:
                stale.append(path)
        else:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", newline="") as f:
                f.write(text)
            print("%s: %d lines" % (os.path.relpath(path, RESOURCES), len(lines)))
    if stale:
        print("out of date: " + ", ".join(stale), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
