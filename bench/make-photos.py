#!/usr/bin/env python3
"""Builds a raw image full of photos, as a camera's card looks to a carver once its file system
is gone: distinct photo-like JPEGs of 1 to 10 MB (4.5 on average) one after the other, each
from the start of a 512-byte block, with no file system. Reproducible (fixed seeds).

  bench/make-photos.py MIB OUTDIR

OUTDIR/photos.img (MIB MiB) and OUTDIR/photos.tsv (name, size, sha256, offset). The photos are
crops of a few dozen plasma-and-noise bases (/usr/bin/convert, ImageMagick's own) at varied
places and qualities, with an EXIF date and camera (exiftool), so that no two share their bytes.
"""

import concurrent.futures
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile

CONVERT = "/usr/bin/convert"
BASES = 24
BASE_W, BASE_H = 3600, 2700
BLOCK = 512
MIB = 1 << 20
CAMERAS = [("Canon", "Canon EOS 80D"), ("NIKON CORPORATION", "NIKON D750"), ("SONY", "ILCE-7M3"),
           ("FUJIFILM", "X-T3"), ("Apple", "iPhone 12")]


def run(*args):
    subprocess.run([str(a) for a in args], check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE, timeout=300)


def base(work, i):
    path = os.path.join(work, "base%02d.ppm" % i)
    run(CONVERT, "-seed", 1000 + i, "-size", "%dx%d" % (BASE_W, BASE_H), "plasma:fractal",
        "-attenuate", "%.2f" % (0.6 + 0.05 * (i % 8)), "+noise", "Gaussian", "-depth", "8", path)
    return path


def photo(work, bases, i):
    rng = random.Random(i)
    width = rng.randint(2400, 3200)
    height = width * 2 // 3
    out = os.path.join(work, "p%05d.jpg" % i)
    run(CONVERT, bases[i % len(bases)], "-crop", "%dx%d+%d+%d" % (width, height, rng.randint(0, BASE_W - width),
                                                                rng.randint(0, BASE_H - height)),
        "+repage", "-quality", rng.randint(88, 96), out)
    make, model = rng.choice(CAMERAS)
    run("exiftool", "-q", "-overwrite_original", "-Make=" + make, "-Model=" + model,
        "-DateTimeOriginal=%04d:%02d:%02d %02d:%02d:%02d" % (rng.randint(2015, 2024), rng.randint(1, 12),
                                                              rng.randint(1, 28), rng.randint(0, 23),
                                                              rng.randint(0, 59), i % 60), out)
    return out


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    mib, outdir = int(sys.argv[1]), sys.argv[2]
    os.makedirs(outdir, exist_ok=True)
    work = tempfile.mkdtemp(prefix="relicta-photos-")
    rng = random.Random(7)
    try:
        with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
            bases = list(pool.map(lambda i: base(work, i), range(BASES)))
            image = os.path.join(outdir, "photos.img")
            rows, at, i = [], 0, 0
            with open(image, "wb") as img:
                # Photos made a batch at a time, written as they come, until the image is full.
                while True:
                    batch = list(pool.map(lambda n: photo(work, bases, n), range(i, i + 16)))
                    i += 16
                    for path in batch:
                        with open(path, "rb") as f:
                            data = f.read()
                        os.unlink(path)
                        slack = -len(data) % BLOCK + BLOCK * rng.choice([0, 0, 0, 1, 8])
                        if at + len(data) + slack > mib * MIB:
                            break
                        img.write(data + rng.randbytes(slack))
                        rows.append(("photo%05d.jpg" % len(rows), len(data), hashlib.sha256(data).hexdigest(), at))
                        at += len(data) + slack
                    else:
                        continue
                    break
                img.write(rng.randbytes(mib * MIB - at))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    with open(os.path.join(outdir, "photos.tsv"), "w") as f:
        f.write("# name\tsize\tsha256\toffset\n")
        for r in rows:
            f.write("%s\t%d\t%s\t%d\n" % r)
    print("%d photos, %.0f MiB of them" % (len(rows), sum(r[1] for r in rows) / MIB), file=sys.stderr)


if __name__ == "__main__":
    main()
