#!/usr/bin/env python3
"""Harmless test files that carry a worm fingerprint.

A fingerprint is the CRC-32 of a fixed window of a file. Four chosen bytes
inside a window set its CRC-32 to any value, so any file can be made to match
a row of the tool's table without containing a single byte of a worm.

As a module:
    forge(data, signature_id, patch_offset=None) -> bytes
    make_sample(size, signature_id=None, seed=0) -> bytes
    forge_program(exe, signature_id, patch_offset=PROGRAM_PATCH_OFFSET) -> bytes
    build_program(output, source=SAMPLE_SOURCE, compiler=...) -> None
    match(data, table=TABLE) -> int  (the first matching row's ID, or -1)

From the command line:
    forge_sample.py plain OUT --size N [--id K] [--seed S]
    forge_sample.py forge IN OUT --id K [--at OFFSET]
    forge_sample.py program OUT --id K [--exe BUILT.exe] [--at OFFSET]
    forge_sample.py check FILE...
"""

import argparse
import os
import random
import struct
import subprocess
import sys
import zlib

# The tool's table: (offset, length, crc); a row's position is its ID.
TABLE = (
    (0x0000, 0x3000, 0x71691803),
    (0x0000, 0x3000, 0x27897029),
    (0x1000, 0x3000, 0xA81F7183),
    (0x0000, 0x3000, 0x229A8DE9),
)
MAX_WINDOW_LENGTH = 0x3000

# Inside the header padding of the sample program and inside every window of
# the table (bytes 12284..12287).
PROGRAM_PATCH_OFFSET = 0x2FFC

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE_SOURCE = os.path.join(HERE, os.pardir, "tests", "samples", "sample_program.c")
SAMPLE_BUILD_FLAGS = ["-O2", "-s", "-Wl,--file-alignment,0x4000", "-Wl,--section-alignment,0x4000"]

_POLY = 0xEDB88320


def _make_table():
    table = []
    for index in range(256):
        value = index
        for _ in range(8):
            value = (value >> 1) ^ _POLY if value & 1 else value >> 1
        table.append(value)
    return table


_CRC_TABLE = _make_table()
# Every entry has a different top byte: it tells which entry a step used.
_BY_TOP_BYTE = {value >> 24: index for index, value in enumerate(_CRC_TABLE)}
assert len(_BY_TOP_BYTE) == 256


def _unfeed(register, byte):
    """The CRC register before `byte` was fed, given the register after it."""
    index = _BY_TOP_BYTE[register >> 24]
    return (((register ^ _CRC_TABLE[index]) << 8) & 0xFFFFFFFF) | (index ^ byte)


def forge_window(data, offset, length, crc, patch_offset):
    """`data` (bytes) with the four bytes at patch_offset replaced so that the
    CRC-32 of data[offset:offset+length] is `crc`. The window must lie in data."""
    if offset < 0 or length < 4 or offset + length > len(data):
        raise ValueError("window %d+%d is not inside %d bytes" % (offset, length, len(data)))
    if not offset <= patch_offset <= offset + length - 4:
        raise ValueError("patch offset %d is not inside window %d+%d" % (patch_offset, offset, length))
    # Run the register forward to the patch, and backward from the wanted end
    # value through the bytes after it. Feeding four bytes b to register r
    # ends where feeding four zero bytes to r ^ b ends, so the patch is the
    # XOR of the register before it and the register four zero steps before
    # the one after it.
    before = zlib.crc32(data[offset:patch_offset]) ^ 0xFFFFFFFF
    after = crc ^ 0xFFFFFFFF
    for byte in reversed(data[patch_offset + 4:offset + length]):
        after = _unfeed(after, byte)
    for _ in range(4):
        after = _unfeed(after, 0)
    forged = data[:patch_offset] + struct.pack("<I", after ^ before) + data[patch_offset + 4:]
    assert zlib.crc32(forged[offset:offset + length]) == crc
    return forged


def forge(data, signature_id, patch_offset=None, table=TABLE):
    """`data` made to match row `signature_id` of `table`: zero-padded to
    cover the window if it is shorter, and four bytes inside the window (by
    default its last four) replaced."""
    offset, length, crc = table[signature_id]
    data = bytes(data)
    if len(data) < offset + length:
        data += bytes(offset + length - len(data))
    if patch_offset is None:
        patch_offset = offset + length - 4
    return forge_window(data, offset, length, crc, patch_offset)


def make_sample(size, signature_id=None, seed=0):
    """`size` pseudo-random bytes (from `seed`), forged for `signature_id`, or
    left clean when it is None. A forged sample is at least as long as its
    window."""
    data = random.Random(seed).randbytes(size)
    if signature_id is None:
        return data
    return forge(data, signature_id)


def _pe_header_padding(exe):
    """(start, end) of the zero padding between a PE file's section table and
    the end of its headers."""
    if exe[:2] != b"MZ" or len(exe) < 0x40:
        raise ValueError("not an MZ executable")
    pe = struct.unpack_from("<I", exe, 0x3C)[0]
    if exe[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE header")
    sections, = struct.unpack_from("<H", exe, pe + 6)
    optional_size, = struct.unpack_from("<H", exe, pe + 20)
    headers_size, = struct.unpack_from("<I", exe, pe + 24 + 60)
    return pe + 24 + optional_size + 40 * sections, min(headers_size, len(exe))


def forge_program(exe, signature_id, patch_offset=PROGRAM_PATCH_OFFSET):
    """A Windows program made to match row `signature_id` by patching four
    bytes of its header padding, which the loader never reads: the program
    still starts. Refuses a program whose padding does not hold the patch or
    whose window runs past its end."""
    exe = bytes(exe)
    start, end = _pe_header_padding(exe)
    if not start <= patch_offset <= end - 4:
        raise ValueError("bytes %d..%d are not header padding (%d..%d)"
                         % (patch_offset, patch_offset + 3, start, end - 1))
    if exe[patch_offset:patch_offset + 4] != bytes(4):
        raise ValueError("bytes %d..%d are not zero padding" % (patch_offset, patch_offset + 3))
    offset, length, _ = TABLE[signature_id]
    if offset + length > len(exe):
        raise ValueError("the program is shorter than window %d" % signature_id)
    return forge(exe, signature_id, patch_offset)


def build_program(output, source=SAMPLE_SOURCE, compiler="i686-w64-mingw32-gcc"):
    """Compiles the sample program with 16 KiB of header padding."""
    subprocess.run([compiler] + SAMPLE_BUILD_FLAGS + ["-o", output, source], check=True)


def match(data, table=TABLE):
    """What the tool reports for these bytes: the ID of the first row whose
    window lies wholly in data and has the row's CRC, or -1."""
    for signature_id, (offset, length, crc) in enumerate(table):
        if length > MAX_WINDOW_LENGTH or offset + length > len(data):
            continue
        if zlib.crc32(data[offset:offset + length]) == crc:
            return signature_id
    return -1


def _read(path):
    with open(path, "rb") as stream:
        return stream.read()


def _write(path, data):
    with open(path, "wb") as stream:
        stream.write(data)


def _signature_id(text):
    value = int(text, 0)
    if not 0 <= value < len(TABLE):
        raise argparse.ArgumentTypeError("signature ID must be 0..%d" % (len(TABLE) - 1))
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(description="Harmless files carrying a worm fingerprint.")
    commands = parser.add_subparsers(dest="command", required=True)

    plain = commands.add_parser("plain", help="pseudo-random bytes, forged or clean")
    plain.add_argument("output")
    plain.add_argument("--size", type=lambda t: int(t, 0), required=True)
    plain.add_argument("--id", type=_signature_id, help="signature ID (default: a clean file)")
    plain.add_argument("--seed", type=int, default=0)

    patch = commands.add_parser("forge", help="forge a copy of any file")
    patch.add_argument("input")
    patch.add_argument("output")
    patch.add_argument("--id", type=_signature_id, required=True)
    patch.add_argument("--at", type=lambda t: int(t, 0), help="patch offset (default: the window's last four bytes)")

    program = commands.add_parser("program", help="a forged copy of the sample program")
    program.add_argument("output")
    program.add_argument("--id", type=_signature_id, required=True)
    program.add_argument("--exe", help="a built sample program (default: build it with the cross compiler)")
    program.add_argument("--at", type=lambda t: int(t, 0), default=PROGRAM_PATCH_OFFSET)

    check = commands.add_parser("check", help="show the signature ID each file matches")
    check.add_argument("files", nargs="+")

    args = parser.parse_args(argv)
    try:
        if args.command == "plain":
            _write(args.output, make_sample(args.size, args.id, args.seed))
        elif args.command == "forge":
            _write(args.output, forge(_read(args.input), args.id, args.at))
        elif args.command == "program":
            if args.exe is None:
                build_program(args.output)
                exe = _read(args.output)
            else:
                exe = _read(args.exe)
            _write(args.output, forge_program(exe, args.id, args.at))
        else:
            for path in args.files:
                found = match(_read(path))
                print("%s: %s" % (path, "clean" if found < 0 else "signature ID %d" % found))
    except (OSError, ValueError, subprocess.CalledProcessError) as error:
        print("forge_sample: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
