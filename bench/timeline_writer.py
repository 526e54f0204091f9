#!/usr/bin/env python3
"""Writes the timeline that bench/report_tool times `tarvex-report timeline`
and `html --timeline` on: 1,000,000 allocations and their releases over
10,000 frames, in the library's file format (docs/timeline-format.md).

The game it stands for has four contexts with budgets and 10,000 distinct
stacks of 8 frames, drawn from 1,000 code addresses of a real module (the
program given, so that llvm-symbolizer has a file to read). Frames allocate
about 100 blocks each, every tenth frame ten times as many; 60% of the blocks
die in the frame that made them (given back one by one, or by the scratch
arena's release to its mark), 30% within 100 frames, and the rest live in the
level arena until the level is reset: a level lasts 2,500 frames, so that a
longer run (more frames) holds no more live blocks at once.

usage: bench/timeline_writer.py OUTPUT MODULE [--allocations N] [--frames N]
"""

import argparse
import os
import random
import struct
import sys

CHUNK = 64 << 10
STACKS = 10000
ADDRESSES = 1000
LEVEL_FRAMES = 2500
BASE = 0x555555554000
CONTEXTS = [  # index, id, soft budget, hard budget, name
    (1, 0x0, 0, 0, b"Global Context"),
    (2, 0x1000, 48 << 20, 64 << 20, b"Level arena"),
    (3, 0x2000, 4 << 20, 8 << 20, b"Game objects"),
    (4, 0x3000, 1 << 20, 0, b"Frame scratch"),
]


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def signed(n):
    return varint((n << 1) ^ (n >> 63))


def text(value):
    return varint(len(value)) + value


def code_addresses(module):
    """Addresses spread over the module's .text section (an ELF file)."""
    with open(module, "rb") as f:
        elf = f.read()
    if elf[:4] != b"\x7fELF" or elf[4] != 2:
        sys.exit("timeline_writer: %s is no 64-bit ELF file" % module)
    shoff, = struct.unpack_from("<Q", elf, 0x28)
    size, count, names = struct.unpack_from("<HHH", elf, 0x3A)
    strings = struct.unpack_from("<Q", elf, shoff + names * size + 0x18)[0]
    for i in range(count):
        name, _, _, address, _, length = struct.unpack_from("<IIQQQQ", elf, shoff + i * size)
        if elf[strings + name:strings + name + 6] == b".text\0":
            step = max(1, length // ADDRESSES)
            return [BASE + address + 1 + i * step for i in range(ADDRESSES)]
    sys.exit("timeline_writer: %s has no .text section" % module)


class Writer:
    def __init__(self, out):
        self.out = out
        self.chunk = bytearray()
        self.last_id = 0xFFFFFFFF
        self.last_address = 0

    def record(self, data):
        self.chunk += data
        if len(self.chunk) >= CHUNK:
            self.flush()

    def flush(self):
        if self.chunk:
            self.out.write(struct.pack("<I", len(self.chunk)) + self.chunk)
            self.chunk = bytearray()

    def allocation(self, context, size, address, block_id, stack):
        self.record(b"\x04" + varint(context) + varint(size) +
                    signed(address - self.last_address) +
                    signed((block_id - ((self.last_id + 1) & 0xFFFFFFFF) + (1 << 31)) % (1 << 32)
                           - (1 << 31)) + varint(stack))
        self.last_address = address
        self.last_id = block_id

    def release(self, block_id):
        self.record(b"\x05" + signed(self.last_id - block_id))


def write(path, module, allocations, frames):
    rng = random.Random(27)
    addresses = code_addresses(module)
    # Nine frames of about the same count (give or take a tenth), then one of
    # ten times as many, adding up to the allocations asked for.
    weights = [10.0 if f % 10 == 9 else rng.uniform(0.9, 1.1) for f in range(frames)]
    scale = allocations / sum(weights)
    counts, share, given = [], 0.0, 0
    for weight in weights:
        share += weight * scale
        counts.append(round(share) - given)
        given += counts[-1]
    with open(path, "wb") as out:
        out.write(b"TARVEXTL" + struct.pack("<HB", 1, 8) + bytes(5))
        w = Writer(out)
        w.record(b"\x02" + varint(BASE) + varint(os.path.getsize(module)) +
                 text(os.path.abspath(module).encode()))
        for index, id_, soft, hard, name in CONTEXTS:
            w.record(b"\x01" + varint(index) + varint(id_) + varint(soft) + varint(hard) + text(name))
        known = {}          # the stack drawn -> its index, numbered as first written
        dying = {}          # frame -> ids released then
        level = []
        next_id = 1
        made = 0
        for frame in range(frames):
            if frame % LEVEL_FRAMES == 0:
                if level:
                    w.record(b"\x06" + varint(2))  # the level arena's reset
                    level = []
                w.record(b"\x09" + text(b"level %d loaded" % (frame // LEVEL_FRAMES + 1)))
            count = counts[frame]
            scratch_mark = None
            for block_id in dying.pop(frame, ()):
                w.release(block_id)
            short = []
            for _ in range(count):
                drawn = rng.randrange(STACKS)
                stack = known.get(drawn)
                if stack is None:
                    stack = known[drawn] = len(known) + 1
                    picked = [rng.choice(addresses) for _ in range(8)]
                    w.record(b"\x03" + varint(stack) + b"\x08" + b"".join(map(varint, picked)))
                kind = rng.random()
                size = rng.choice((16, 24, 32, 48, 64, 128, 256, 1024, 4096))
                if kind < 0.45:
                    context, short_lived = 1, True
                elif kind < 0.6:
                    context, short_lived = 4, True
                elif kind < 0.9:
                    context, short_lived = 3, False
                else:
                    context, short_lived = 2, False
                block_id = next_id
                next_id += 1
                w.allocation(context, size, 0x7F0000000000 + block_id * 64, block_id, stack)
                if context == 4 and scratch_mark is None:
                    scratch_mark = block_id
                if short_lived and context == 1:
                    short.append(block_id)
                elif context == 3:
                    last = frames - 1
                    dying.setdefault(min(last, frame + 1 + rng.randrange(100)), []).append(block_id)
                elif context == 2:
                    level.append(block_id)
            made += count
            for block_id in short:
                w.release(block_id)
            if scratch_mark is not None:
                w.record(b"\x07" + varint(4) + signed((next_id - 1) - scratch_mark))
            if frame == frames - 1:
                for block_id in sorted(i for ids in dying.values() for i in ids):
                    w.release(block_id)
                if level:
                    w.record(b"\x06" + varint(2))
            else:
                w.record(b"\x08")
        w.flush()
    return made


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("output")
    parser.add_argument("module", help="a 64-bit ELF program whose code the stacks point into")
    parser.add_argument("--allocations", type=int, default=1000000)
    parser.add_argument("--frames", type=int, default=10000)
    args = parser.parse_args()
    made = write(args.output, args.module, args.allocations, args.frames)
    print("%s: %d allocations over %d frames, %.1f MB" % (args.output, made, args.frames,
                                                          os.path.getsize(args.output) / 1e6))
    return 0


if __name__ == "__main__":
    sys.exit(main())
