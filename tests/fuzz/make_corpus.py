#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into corpus/<target>/.

Seeds are small, well-formed inputs plus a few near misses, so the fuzzers
start from the interesting shapes: framed maps, converter header lines,
resource directories with headers and data files, device answer scripts.
Run it again after changing an input format; it rewrites only its own
seed-* files and leaves reproducers of findings (regress-*) in place.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def record(block, data, size=None, terminator=True):
    size = len(data) if size is None else size
    return struct.pack(">HI", block, size & 0xFFFFFFFF) + data + (b"\r" if terminator else b"")


def header_line(width, height, stride, size, fmt="ARGB4"):
    return ("/*('file properties: ', 'resolution ', %d, 'x', %d, 'format ', '%s', 'stride ', %d, ' total size ', %d)*/\n"
            % (width, height, fmt, stride, size)).encode()


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as out:
        out.write(data)


def maps():
    return {
        "empty-map": b"\r",
        "one-record": b"\r" + record(1, b"abcdef"),
        "two-records": b"\r" + record(1, bytes(range(32))) + record(2, b"\r\r\x69\x79"),
        "no-last-terminator": b"\r" + record(1, b"xyz", terminator=False),
        "cut-in-data": b"\r" + record(1, b"abc", size=10, terminator=False),
        "cut-in-header": b"\r" + record(1, b"abc")[:4],
        "negative-size": b"\r" + record(3, b"", size=-5),
        "wrong-terminator": b"\r" + record(1, b"ab")[:-1] + b"X" + record(2, b"cd"),
        "long-first-line": b"x" * 600 + b"\r" + record(1, b"q"),
        "zero-size": b"\r" + record(7, b"") + record(8, b"z"),
    }


def main():
    for name, data in maps().items():
        write("map_checker_fuzz", name, data)

    lines = {
        "converter": header_line(100, 50, 200, 20),
        "size-64": header_line(4, 8, 8, 64),
        "too-big": header_line(4, 8, 8, 65),
        "negative": header_line(4, 8, 8, -1),
        "overflow": header_line(4, 8, 8, 2147483648),
        "commas": b",,,,a,,1,,x,,2,,,,f,,,s,,4,,t,,16",
        "few-fields": b"/*('file properties: ', 'resolution ', 100, 'x'*/\n",
        "no-newline": header_line(1, 1, 2, 2).rstrip(b"\n"),
    }
    for name, data in lines.items():
        write("header_parser_fuzz", name, data)

    def entry(flags, name, contents, partner=None):
        out = bytes([flags, len(name)]) + name + struct.pack(">H", len(contents)) + contents
        if partner is not None:
            out += struct.pack(">H", len(partner)) + partner
        return out

    picture = header_line(2, 2, 4, 8)
    dirs = {
        "one-resource": bytes([1]) + entry(0x09, b"logo.", picture, bytes(range(8))),
        "two-resources": bytes([2]) + entry(0x09, b"a.", picture, b"12345678") + entry(0x09, b"b.", header_line(1, 1, 2, 2), b"xy"),
        "short-data": bytes([1]) + entry(0x09, b"c.", picture, b"123"),
        "no-data": bytes([1]) + entry(0x01, b"d.", picture),
        "dir-fifo-link": bytes([3]) + entry(0x03, b"dir.", b"") + entry(0x07, b"fifo.", b"") + entry(0x05, b"link.", b""),
        "fifo-data": bytes([1]) + entry(0x19, b"e.", picture, b""),
        "long-name": bytes([1]) + entry(0x49, b"n" * 240, picture, bytes(8)),
        "other-files": bytes([2]) + entry(0x00, b"readme.txt", b"hello") + entry(0x09, b"f.", picture, bytes(8)),
    }
    for name, data in dirs.items():
        write("map_builder_fuzz", name, data)

    def answers(*scripts):
        return bytes([len(scripts)]) + b"".join(bytes([c, v]) for c, v in scripts)

    ok = (0, 0x69)
    uploads = {
        "all-ok": answers() + maps()["two-records"],
        "checksum-ko": answers(ok, (0, 0x79)) + maps()["two-records"],
        "flash-ko": answers((0, 0x89)) + maps()["one-record"],
        "silent": answers((1, 0x69)) + maps()["one-record"],
        "late": answers((26 << 2, 0x69)) + maps()["one-record"],
        "just-in-time": answers((24 << 2, 0x69)) + maps()["two-records"],
        "twice": answers((2, 0x69), ok) + maps()["two-records"],
        "cut-in-data": answers() + maps()["cut-in-data"],
        "negative-size": answers() + maps()["negative-size"],
        "no-last-terminator": answers() + maps()["no-last-terminator"],
        "empty-file": answers(),
    }
    for name, data in uploads.items():
        write("upload_fuzz", name, data)

    def events(mode, *evs):
        return bytes([mode]) + b"".join(struct.pack(">HBB", t, d, v) for t, d, v in evs)

    # The first put message is 1 + 6 + 14 + 4 = 25 bytes, the second 1 + 6 + 40 + 4 = 51.
    device = {
        "put-ok": events(0, (25, 0, 0x69), (76, 0, 0x69)),
        "put-ko": events(0, (25, 0, 0x79)),
        "put-late": events(0, (25, 60, 0x69)),
        "put-twice": events(0, (25, 0, 0x69), (25, 0, 0x69), (76, 0, 0x69)),
        "put-early": events(0, (20, 0, 0x69), (76, 0, 0x69)),
        "put-garbage-then-ok": events(0, (25, 0, 0x42), (25, 5, 0x69)),
        "ping-ok": events(1, (8, 0, 0x03)),
        "ping-garbage": events(1, (8, 0, 0x42), (16, 0, 0x03)),
        "ping-late": events(1, (8, 70, 0x03), (16, 10, 0x03)),
        "ping-never": events(1),
    }
    for name, data in device.items():
        write("device_answer_fuzz", name, data)


if __name__ == "__main__":
    main()
