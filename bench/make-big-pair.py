#!/usr/bin/env python3
"""Writes an incompressible old/new file pair with scattered changes, the way
a game's asset archive changes between releases: OLD is random bytes, NEW is
OLD with edits of 16 to 4096 bytes (a third overwritten with random bytes, a
third inserted, a third deleted) spread evenly at random, together touching
SHARE of the size. Deterministic for a seed; for benches and soak runs only
(the files are never committed).

  bench/make-big-pair.py SIZE_MIB OLD NEW [--share 0.01] [--seed 1]
"""
import argparse
import random

CHUNK = 64 << 20


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("size_mib", type=int)
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--share", type=float, default=0.01)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    size = a.size_mib << 20
    rng = random.Random(a.seed)

    with open(a.old, "wb") as f:
        left = size
        while left:
            n = min(CHUNK, left)
            f.write(rng.randbytes(n))
            left -= n

    # Edits at sorted old offsets; each (offset, kind, length).
    mean_len = (16 + 4096) / 2
    count = max(1, int(size * a.share / mean_len))
    edits = sorted((rng.randrange(size), rng.randrange(3), rng.randint(16, 4096)) for _ in range(count))
    changed = 0
    with open(a.old, "rb") as old, open(a.new, "wb") as new:
        at = 0

        def copy_to(end):
            nonlocal at
            while at < end:
                n = min(CHUNK, end - at)
                new.write(old.read(n))
                at += n

        for offset, kind, length in edits:
            if offset < at:
                continue  # inside the previous edit
            copy_to(offset)
            if kind == 0:  # overwrite
                length = min(length, size - at)
                new.write(rng.randbytes(length))
                old.seek(length, 1)
                at += length
            elif kind == 1:  # insert
                new.write(rng.randbytes(length))
            else:  # delete
                length = min(length, size - at)
                old.seek(length, 1)
                at += length
            changed += length
        copy_to(size)
    print(f"{a.old}: {size} bytes; {a.new}: {count} edits, {changed} bytes touched")


if __name__ == "__main__":
    main()
