#!/usr/bin/env python3
"""Grows the sample client's two version trees into a client of realistic size.

    grow-sample.py <old tree> <new tree> <files> <bytes> <seed> [plain]

Adds about <files> files of about <bytes> in all to both trees (written by versiontree), in
nested folders, some with Chinese names; about half the bytes compress well. Adds the entries a
tree walk is most likely to get wrong: hidden files and a hidden folder below the top, a
read-only file, and (in the old tree only, since a package carries plain files and folders) a
relative link to a file and a link to a folder. The new tree changes, adds and removes files,
among them hidden, read-only and linked ones. With "plain", the links are left out and the
read-only files are writable. The same arguments always give the same bytes.
"""
import os
import random
import sys


def main():
    old, new, files, total, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
    plain = sys.argv[6:] == ["plain"]
    rng = random.Random(seed)
    words = [b"lesson", b"class", b"teacher", b"student", b"board", b"update", b"client", b"\xe8\xaf\xbe\xe5\xa0\x82",
             b"\xe8\x80\x81\xe5\xb8\x88", b"module", b"render", b"0x1f", b"{", b"}", b"\n", b"resource", b"value"]
    text = b" ".join(rng.choice(words) for _ in range(400000))

    def content(size):
        # Half the files compress well (text), the others not at all.
        if rng.random() < 0.5:
            return rng.randbytes(size)
        parts, left = [], size
        while left > 0:
            start = rng.randrange(len(text))
            parts.append(text[start:start + left])
            left -= len(parts[-1])
        return b"".join(parts)

    folders = []
    for i in range(24):
        top = "modules/m%02d" % i if i % 4 else "资源 %02d" % i
        for j in range(3):
            folders.append("%s/part %d/层%d" % (top, j, j) if j else top)
    large = max(2, files // 40)
    small = files - large
    entries = {}
    for k in range(files):
        if k < large:
            size = int(total * 0.6 / large * rng.uniform(0.5, 1.5))
        else:
            size = int(total * 0.4 / small * rng.uniform(0.1, 1.9))
        folder = folders[k % len(folders)]
        name = ("数据 %04d.bin" if k % 9 == 0 else "file%04d.dat") % k
        entries["%s/%s" % (folder, name)] = content(size)
    entries["modules/m01/.cache.idx"] = content(3000)
    entries["资源 00/.隐藏 设置.ini"] = b"[hidden]\nvalue=1\n"
    entries["modules/.hidden dir/inner.dat"] = content(5000)
    entries[".portable"] = b"portable=1\n"

    newer = dict(entries)
    keys = sorted(entries)
    for key in rng.sample(keys, len(keys) // 10):
        data = bytearray(entries[key])
        at = len(data) // 2
        data[at:at + 8] = b"CHANGED!"
        newer[key] = bytes(data) + b"1.1"
    for key in rng.sample(keys, len(keys) // 20):
        newer.pop(key, None)
    for k in range(files // 20):
        newer["modules/新增 added/sub %d/new%04d.dat" % (k % 5, k)] = content(rng.randint(1000, 40000))
    newer.pop("modules/m01/.cache.idx", None)
    newer["资源 00/.隐藏 设置.ini"] = b"[hidden]\nvalue=2\n"
    newer["modules/m02/.new hidden.cfg"] = b"added=1\n"
    newer["modules/.hidden dir/inner.dat"] = entries["modules/.hidden dir/inner.dat"] + b"1.1"

    write(old, entries)
    write(new, newer)
    mode = 0o644 if plain else 0o444
    readonly(old, "license.txt", b"Sample client licence 1.0\n", mode)
    readonly(new, "license.txt", b"Sample client licence 1.1\n", mode)
    readonly(new, "文档 docs/只读 说明.txt", b"read only\n", mode)
    if not plain:
        os.symlink("core.dll", os.path.join(old, "lib/core current.dll"))
        os.symlink("文档 docs", os.path.join(old, "docs link"))
    os.chmod(os.path.join(new, sorted(newer)[1]), 0o755)


def write(root, entries):
    for relative, data in entries.items():
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o644)


def readonly(root, relative, data, mode):
    write(root, {relative: data})
    os.chmod(os.path.join(root, relative), mode)


if __name__ == "__main__":
    main()
