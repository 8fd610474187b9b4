#!/usr/bin/env python3
"""Writes the seed corpus: the worked examples, cut files, huge counts, hostile names."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def header(chunks, files, total, name, digest=b""):
    return (b"\0" * 32 + struct.pack("<iiiiq", 2014, 101, chunks, files, total)
            + digest.ljust(40, b"\0") + name.ljust(256, b"\0"))


def chunk(i, fp=b""):
    return struct.pack("<i", i) + fp.ljust(33, b"\0")


def piece(name, n, c, off, length):
    return name.ljust(256, b"\0") + struct.pack("<iiqq", n, c, off, length)


seeds = {
    "notes": header(3, 0, 10, b"notes.txt") + chunk(0, b"6720C88FC581CC80952964FE24491A34")
    + chunk(1, b"A381384A4F4772634D4E7EC69B85014C") + chunk(2, b"4A6D161D6190987283018E510E14B267"),
    "box": header(2, 3, 8, b"box") + chunk(0, b"63B197E450A5F066EB4D64C3F607F569")
    + chunk(1, b"6CFA29A6A7BC8E41176256B3724BFD59") + piece(b"a", 0, 0, 0, 4)
    + piece(b"a", 1, 1, 0, 1) + piece(b"b", 2, 1, 1, 3),
    "x_single": header(4, 0, 16, b"x.bin") + b"".join(chunk(i) for i in range(4)),
    "x_folder": header(2, 4, 12, b"x") + chunk(0) + chunk(1) + piece(b"d/a", 0, 0, 0, 5)
    + piece(b"d/b", 1, 0, 5, 3) + piece(b"d/b", 2, 1, 0, 4) + piece(b"e", 3, 1, 4, 0),
    "protected": header(1, 0, 4, b"x", b"900150983CD24FB0D6963F7D28E17F72") + chunk(0),
    "empty_set": header(0, 0, 0, b"x"),
    "huge_counts": header(0x7FFFFFFF, 0x7FFFFFFF, 1 << 62, b"x") + chunk(0),
    "negative_counts": header(-1, -7, -5, b"x"),
    "wrong_constant": header(1, 0, 1, b"x").replace(struct.pack("<i", 101), struct.pack("<i", 102), 1),
    "escape_relative": header(1, 3, 12, b"x") + chunk(0) + piece(b"../up", 0, 0, 0, 4)
    + piece(b"a/../../up2", 1, 0, 4, 4) + piece(b"/abs/x", 2, 0, 8, 4),
    "escape_source": header(1, 1, 4, b"../x") + chunk(0) + piece(b"f", 0, 0, 0, 4),
    "dotdot_source": header(1, 0, 4, b"..") + chunk(0),
    "dotdot_folder_source": header(1, 1, 4, b"..") + chunk(0) + piece(b"f", 0, 0, 0, 4),
    "deep_climb": header(1, 2, 8, b"x") + chunk(0) + piece(b"../../../esc", 0, 0, 0, 4)
    + piece(b"../../../../../../../../../../../../tmp/morvane-fuzz-esc", 1, 0, 4, 4),
    "backslash_names": header(1, 2, 8, b"x") + chunk(0) + piece(b"..\\..\\w", 0, 0, 0, 4)
    + piece(b"ok\\fine", 1, 0, 4, 4),
    "gb18030_names": header(1, 1, 4, "乗x".encode("gb18030")) + chunk(0)
    + piece("乗/匼ñ".encode("gb18030"), 0, 0, 0, 4),
    "negative_piece": header(1, 1, 4, b"x") + chunk(0) + piece(b"f", 0, 0, -4, -4),
    "no_nul_fields": header(1, 1, 4, b"x" * 256, b"F" * 40) + chunk(0, b"A" * 33)
    + piece(b"n" * 256, 0, 0, 0, 4),
}
seeds["notes_cut_in_records"] = seeds["notes"][:400]
seeds["box_cut_in_file_records"] = seeds["box"][:1250]
seeds["cut_in_header"] = seeds["notes"][:50]

for kind in ("manifest", "join"):
    folder = os.path.join(HERE, "corpus", kind)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
