#!/usr/bin/env python3
"""Writes the seed corpus of list files under corpus/ (next to this script).

ok-canonical-*  well-formed, exactly as the writer lays them out
ok-*            well-formed in other ways the reader accepts
bad-*           malformed: the reader must refuse them
Inputs the fuzzer once crashed on are kept there too, as crash-*.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus")


def i32(v):
    return struct.pack("<i", v)


def prefix(n):
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def header(root=1, major=1, minor=0):
    return b"\x00" + i32(root) + i32(-1) + i32(major) + i32(minor)


def start(length, array_id=1):
    return header(array_id) + b"\x11" + i32(array_id) + i32(length)


def string(obj_id, text):
    data = text.encode("utf-8") if isinstance(text, str) else text
    return b"\x06" + i32(obj_id) + prefix(len(data)) + data


def ref(obj_id):
    return b"\x09" + i32(obj_id)


def run(count):
    if count == 1:
        return b"\x0a"
    if count <= 255:
        return b"\x0d" + bytes([count])
    return b"\x0e" + i32(count)


END = b"\x0b"


def canonical(slots):
    """The writer's layout for a list of texts and None (absent) slots."""
    out = bytearray(start(len(slots)))
    next_id, pending = 2, 0
    for slot in slots:
        if slot is None:
            pending += 1
            continue
        if pending:
            out += run(pending)
            pending = 0
        out += string(next_id, slot)
        next_id += 1
    if pending:
        out += run(pending)
    return bytes(out + END)


def main():
    os.makedirs(OUT, exist_ok=True)
    files = {
        "ok-canonical-empty": canonical([]),
        "ok-canonical-two": canonical(["C:\\a", "D:\\b"]),
        "ok-canonical-long-entry": canonical(["C:\\" + "x" * 200]),
        "ok-canonical-non-ascii": canonical(["C:\\B\u00fccher\\\u0152uvre", "E:\\\u6587\u4ef6\\\U0001F600"]),
        "ok-canonical-absent-runs": canonical([None, "C:\\a", None, None, "C:\\b"] + [None] * 300 + ["C:\\c"]),
        "ok-canonical-duplicates": canonical(["C:\\same", "C:\\same", ""]),
        "ok-reference": start(3) + string(2, "C:\\a") + ref(2) + b"\x0d\x01" + END,
        "ok-odd-ids": start(3, 7) + string(-5, "p") + string(1000, "q") + ref(-5) + END,
        "ok-trailing-bytes": canonical(["C:\\a"]) + b"garbage\x06\x11",
        "ok-invalid-utf8": start(2) + string(2, b"C:\\\xc3\x28") + string(3, b"\xed\xa0\x80\xf0\x9f") + END,
        "ok-five-byte-prefix": start(1) + b"\x06" + i32(2) + b"\x83\x80\x80\x80\x00abc" + END,
        "ok-huge-null-runs": start(0x7FFFFFFF) + run(0x40000000) + string(2, "x") + run(0x3FFFFFFE) + END,
        "bad-zero-bytes": b"",
        "bad-truncated": canonical(["C:\\a", "D:\\b"])[:-1],
        "bad-major-version": header(major=2) + b"\x11" + i32(1) + i32(0) + END,
        "bad-minor-version": header(minor=1) + b"\x11" + i32(1) + i32(0) + END,
        "bad-single-string": header(2) + string(2, "C:\\a") + END,
        "bad-other-array": header() + b"\x10" + i32(1) + i32(0) + END,
        "bad-root-id": header(1) + b"\x11" + i32(2) + i32(0) + END,
        "bad-negative-length": start(-1) + END,
        "bad-duplicate-id": start(2) + string(2, "a") + string(2, "b") + END,
        "bad-array-id-reused": start(1) + string(1, "a") + END,
        "bad-forward-reference": start(2) + ref(3) + string(3, "a") + END,
        "bad-reference-to-array": start(1) + ref(1) + END,
        "bad-record-type": start(1) + b"\x07" + END,
        "bad-run-too-long": start(2) + b"\x0d\x03" + END,
        "bad-negative-run": start(2) + b"\x0e" + i32(-2) + END,
        "bad-prefix-six-bytes": start(1) + b"\x06" + i32(2) + b"\x80\x80\x80\x80\x80\x01" + END,
        "bad-prefix-above-int32": start(1) + b"\x06" + i32(2) + b"\xff\xff\xff\xff\x0f" + END,
        "bad-prefix-past-end": start(1) + b"\x06" + i32(2) + b"\xfe\xff\xff\xff\x07abc",
        "bad-no-end-record": canonical(["C:\\a"])[:-1] + b"\x0a",
        "bad-huge-count-no-body": start(0x7FFFFFFF) + string(2, "a"),
    }
    for name, data in files.items():
        with open(os.path.join(OUT, name + ".lst"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
