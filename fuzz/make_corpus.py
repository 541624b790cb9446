#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are small valid inputs (and a few near-misses) in each target's
input layout; the fuzzer mutates them from there.  Rerun after changing a
layout: python3 fuzz/make_corpus.py
"""
import hashlib
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

PASSWD = (b"root:x:0:0:root:/root:/bin/bash\n"
          b"alice:x:1001:100:Alice:/home/alice:/bin/sh\n"
          b"# comment\n"
          b"bob:x:99:100::/home/bob:/bin/sh\n"
          b"carol:x:4294967294:100:Carol,,,:/home/carol:/bin/zsh\n")
GROUP = (b"root:x:0:\n"
         b"staff:x:100:alice,bob\n"
         b"\n"
         b"wheel:x:10:carol\n"
         b"big:x:4294967294:alice,bob,carol,dave,erin\n")


def entries(mapdata, group, by_id):
    out, pos = [], 0
    for line in mapdata.split(b"\n"):
        fields = line.split(b":")
        if line and not line.startswith(b"#") and len(fields) >= (4 if group else 7):
            key = fields[0]
            if by_id:
                key = str(struct.unpack("<i", struct.pack("<I", int(fields[2])))[0]).encode()
            out.append((key, pos))
        pos += len(line) + 1
    return out


def index(ents, sort=True):
    if sort:
        ents = sorted(ents)
    length = max(len(k) + 1 + len(str(o)) + 2 for k, o in ents)
    recs = []
    for k, o in ents:
        r = k + b"\0" + str(o).encode()
        recs.append(r.ljust(length - 1, b"\0") + b"\n")
    return b"".join(recs)


def search_input(flags, key, idx, mapdata):
    if flags & 2:
        head = struct.pack("<I", key & 0xFFFFFFFF)
    else:
        head = key + b"\n"
    return bytes([flags]) + head + struct.pack("<H", len(idx)) + idx + mapdata


def write(target, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    name = hashlib.sha1(data).hexdigest()[:16]
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def index_search_seeds():
    for group in (0, 1):
        mapdata = GROUP if group else PASSWD
        for by_id in (0, 1):
            ents = entries(mapdata, group, by_id)
            idx = index(ents)
            keys = ([0, 100, 4294967294, 7] if group else [0, 1001, 99, 4294967294, 7]) if by_id \
                else [b"root", b"bob", b"carol", b"nobody"]
            for i, key in enumerate(keys):
                for extra in (0, 32, 64 | 4 * 3, 32 | 4 * 5, 128):
                    flags = group | (by_id << 1) | (4 * 6 if extra & 28 == 0 else 0) | extra
                    write("index_search", search_input(flags, key, idx, mapdata))
            key = keys[1]
            flags = group | (by_id << 1) | 4 * 6
            # near-misses: unsorted, offsets wrong, no newline, key without NUL
            write("index_search", search_input(flags, key, index(ents, sort=False), mapdata))
            bad = [(k, o + 3) for k, o in ents]
            write("index_search", search_input(flags, key, index(bad), mapdata))
            write("index_search", search_input(flags, key, idx.replace(b"\n", b"\0"), mapdata))
            write("index_search", search_input(flags, key, idx[:-1], mapdata))
            write("index_search", search_input(flags, key, idx.replace(b"\0", b"x", 1), mapdata))
            write("index_search", search_input(flags, key, index([(k, -o) for k, o in ents]), mapdata))
            write("index_search", search_input(flags, key, index([(k, o * 10**15) for k, o in ents]), mapdata))


def enumerate_seeds():
    for group in (0, 1):
        mapdata = GROUP if group else PASSWD
        for size_sel in (0, 4, 9, 12, 15):
            for mode in (0, 32, 64, 96):
                write("enumerate", bytes([group | size_sel << 1 | mode]) + mapdata)
        write("enumerate", bytes([group | 32]) + mapdata.replace(b"\n", b"\r\n"))
        write("enumerate", bytes([group | 32]) + mapdata.replace(b"e", b"\0", 2))
        write("enumerate", bytes([group | 32]) + mapdata.rstrip(b"\n"))


def line_reader_seeds():
    odd = [b"+\n", b"-bob\n", b"+@netgroup:::\n", b"  alice:x:1:2:g:/d:/s\n", b"a:x: 12 :-3::\n",
           b"a:x:99999999999:1::/:/sh\n", b"g:x:5:a,,b,\n", b"g:x:5\n", b"#c\n\n \n",
           b"a:x:1:1:g:d:s:extra:colons\n", b"a:x:1:1:g:d:s\r\n", b"a\0b:x:1:1::/:/sh\n"]
    for group in (0, 1):
        mapdata = GROUP if group else PASSWD
        for size_sel in range(8):
            write("line_reader", bytes([group | size_sel << 1]) + mapdata)
        for line in odd:
            write("line_reader", bytes([group | 6]) + line + mapdata)


if __name__ == "__main__":
    index_search_seeds()
    enumerate_seeds()
    line_reader_seeds()
