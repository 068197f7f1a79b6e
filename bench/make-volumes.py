#!/usr/bin/env python3
"""Builds the benchmark volumes with real tools, reproducibly (fixed seed).

  bench/make-volumes.py small|large OUTDIR

OUTDIR gets ntfs.img (mkntfs, filled through the ntfs-3g driver: needs root and FUSE),
exfat.img (mkfs.exfat, filled through exfat-fuse over a loop device: root) and fat32.img
(mkfs.fat, filled with mtools, with three folders of 50 to 800 files deleted whole), each
with a manifest (NAME.tsv: path, size, deleted 0/1);
images already there are kept. large: 4 GiB volumes, about 200,000 NTFS files in 5,000
directories and 100,000 FAT and exFAT files in 3,000 directories; small: the same shape in
256 MiB.
Then about 40 % of the files are deleted, about 10 % of the directory trees removed whole,
and a few percent of new files written, so that some freed records and clusters are reused.
Each volume then gets a quick-formatted copy, NAME-quick.img, formatted by the same tool with
the same cluster size: what the deep scan reads (the files live before the format, in NAME.tsv
with deleted 0, are the ones to find).
"""

import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

SCALES = {
    # volume MiB, NTFS files, NTFS dirs, FAT files, FAT dirs
    "large": (4096, 200000, 5000, 100000, 3000),
    "small": (256, 12500, 312, 6250, 190),
}
MAX_DEPTH = 6
NTFS_ATTR_COMPRESSED = 0x800
ENV = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8", MTOOLS_SKIP_CHECK="1")
WORDS = ["Alpha", "Budget", "Report", "Holiday", "Scan", "Invoice", "Draft", "Photo", "Notes",
         "Letter", "Backup", "Summary", "Minutes", "Plan", "Sketch"]
EXTENSIONS = [".jpg", ".txt", ".docx", ".pdf", ".xlsx", ".png", ".bin"]


def run(*args, **kw):
    subprocess.run(list(args), check=True, env=ENV, **kw)


def file_size(rng):
    """Half small enough to stay resident, most of the rest 1-64 KiB, a few of MiBs."""
    roll = rng.random()
    if roll < 0.5:
        return rng.randint(1, 700)
    if roll < 0.999:
        return rng.randint(1024, 16 * 1024) if rng.random() < 0.8 else rng.randint(16 * 1024, 64 * 1024)
    return rng.randint(2, 8) * 1024 * 1024


def data(rng, size, compressible=False):
    if compressible:
        line = b"the quick brown fox jumps over the lazy dog %d\n" % rng.randint(0, 999)
        return (line * (size // len(line) + 1))[:size]
    return rng.randbytes(size)


def plan_tree(rng, dirs, files):
    """Directory paths (up to MAX_DEPTH deep, some big ones) and file paths with sizes."""
    tree = []
    for i in range(dirs):
        parents = [d for d in tree[-200:] if d.count("/") < MAX_DEPTH - 1]
        parent = rng.choice(parents) if parents and rng.random() < 0.75 else ""
        name = "%s %04d" % (rng.choice(WORDS), i)
        tree.append(parent + "/" + name if parent else name)
    # A few directories hold several hundred files.
    crowded = rng.sample(tree, max(1, dirs // 200))
    plan = []
    for i in range(files):
        d = rng.choice(crowded) if rng.random() < 0.1 else rng.choice(tree)
        name = "%s %05d %s%s" % (rng.choice(WORDS), i, rng.choice(WORDS).lower(), rng.choice(EXTENSIONS))
        plan.append((d + "/" + name, file_size(rng)))
    return tree, plan


def subtree(tree, top):
    return [d for d in tree if d == top or d.startswith(top + "/")]


def choose_deletions(rng, tree, plan):
    """Trees removed whole until about 10 % of the directories are gone, then about 40 % of
    all files deleted."""
    doomed_trees, gone = set(), set()
    for d in rng.sample(tree, len(tree)):
        if len(gone) >= len(tree) // 10:
            break
        below = subtree(tree, d)
        if d not in gone and len(gone) + len(below) <= len(tree) // 10 + 5:
            doomed_trees = {t for t in doomed_trees if not t.startswith(d + "/")} | {d}
            gone.update(below)
    in_tree = lambda p: p.rpartition("/")[0] in gone
    files = [p for p, _ in plan if not in_tree(p)]
    target = int(len(plan) * 0.4) - (len(plan) - len(files))
    doomed_files = set(rng.sample(files, max(0, target)))
    return sorted(doomed_trees), doomed_files, in_tree


def write_manifest(path, plan, deleted, extra):
    with open(path, "w", encoding="utf-8") as f:
        for p, size in plan:
            f.write("%s\t%d\t%d\n" % (p, size, 1 if deleted(p) else 0))
        for p, size in extra:
            f.write("%s\t%d\t0\n" % (p, size))


def fill_mounted(mnt, rng, files, dirs, remove_tree, compress_attr=None):
    """Writes the planned tree through a mounted driver, deletes, writes new files; returns
    the plan, which paths were deleted, and the new files."""
    tree, plan = plan_tree(rng, dirs, files)
    packed = set(rng.sample(tree, max(1, dirs // 50))) if compress_attr else set()
    made = set()

    def make_dir(d):
        # Directories are made as their first file comes, so their records and clusters lie
        # among the files', as on a volume filled over time.
        for i in range(1, d.count("/") + 2):
            part = "/".join(d.split("/")[:i])
            if part not in made:
                os.mkdir(os.path.join(mnt, part))
                made.add(part)
                if part in packed:
                    os.setxattr(os.path.join(mnt, part), "system.ntfs_attrib_be",
                                struct.pack(">I", compress_attr | 0x10))
    # Pairs of files written a chunk at a time each are fragmented.
    i = 0
    while i < len(plan):
        pair = plan[i:i + 2] if rng.random() < 0.05 else plan[i:i + 1]
        handles = []
        for p, size in pair:
            make_dir(p.rpartition("/")[0])
            compressible = p.rpartition("/")[0] in packed
            handles.append((open(os.path.join(mnt, p), "wb"), data(rng, size, compressible)))
        for off in range(0, max(len(d) for _, d in handles), 16384):
            for h, d in handles:
                if off < len(d):
                    h.write(d[off:off + 16384])
                    h.flush()
        for h, _ in handles:
            h.close()
        i += len(pair)
    doomed_trees, doomed_files, in_tree = choose_deletions(rng, tree, plan)
    for p in sorted(doomed_files):
        os.unlink(os.path.join(mnt, p))
    for t in doomed_trees:
        remove_tree(os.path.join(mnt, t))
    survivors = [d for d in made if not in_tree(d + "/x")]
    extra = []
    for i in range(len(plan) // 33):
        p = "%s/New %05d.txt" % (rng.choice(survivors), i)
        size = file_size(rng)
        with open(os.path.join(mnt, p), "wb") as f:
            f.write(data(rng, size))
        extra.append((p, size))
    return plan, lambda p: p in doomed_files or in_tree(p), extra


def make_ntfs(out, mib, files, dirs, rng):
    image = os.path.join(out, "ntfs.img")
    with open(image, "wb") as f:
        f.truncate(mib * 1024 * 1024)
    run("mkntfs", "-F", "-q", "-Q", "-c", "4096", "-L", "bench", image, stderr=subprocess.DEVNULL)
    mnt = tempfile.mkdtemp(prefix="relicta-bench-mnt-")
    run("ntfs-3g", "-o", "compression,no_def_opts", image, mnt)
    try:
        plan, deleted, extra = fill_mounted(mnt, rng, files, dirs, shutil.rmtree, NTFS_ATTR_COMPRESSED)
    finally:
        subprocess.run(["sync"])
        run("umount", mnt)
        os.rmdir(mnt)
    write_manifest(os.path.join(out, "ntfs.tsv"), plan, deleted, extra)


def make_exfat(out, mib, files, dirs, rng):
    """Written through exfat-fuse over a loop device; whole trees removed with rm -rf, which
    makes the driver shrink each folder as its last entries go."""
    image = os.path.join(out, "exfat.img")
    with open(image, "wb") as f:
        f.truncate(mib * 1024 * 1024)
    run("mkfs.exfat", "-L", "bench", image, stdout=subprocess.DEVNULL)
    loop = subprocess.run(["losetup", "-f", "--show", image], check=True, capture_output=True,
                          text=True).stdout.strip()
    mnt = tempfile.mkdtemp(prefix="relicta-bench-mnt-")
    run("mount.exfat-fuse", loop, mnt)
    try:
        plan, deleted, extra = fill_mounted(mnt, rng, files, dirs, lambda p: run("rm", "-rf", p))
    finally:
        subprocess.run(["sync"])
        run("umount", mnt)
        run("losetup", "-d", loop)
        os.rmdir(mnt)
    write_manifest(os.path.join(out, "exfat.tsv"), plan, deleted, extra)


def mtools_batches(tool, image, paths, batch=400):
    for i in range(0, len(paths), batch):
        run(tool, "-i", image, *["::/" + p for p in paths[i:i + batch]])


CROWDS = (50, 200, 800)  # files in folders that are deleted whole, as a camera card's


def plan_crowds(host, rng):
    """Folders of long-named files, copied after the rest and deleted whole."""
    plan = []
    for count in CROWDS:
        folder = "Crowd %d" % count
        os.makedirs(os.path.join(host, folder))
        for i in range(count):
            p = "%s/Crowd %d picture %04d.jpg" % (folder, count, i)
            size = file_size(rng)
            with open(os.path.join(host, p), "wb") as f:
                f.write(data(rng, size))
            plan.append((p, size))
    return plan


def make_fat(out, mib, files, dirs, rng):
    image = os.path.join(out, "fat32.img")
    with open(image, "wb") as f:
        f.truncate(mib * 1024 * 1024)
    run("mkfs.fat", "-F", "32", "-n", "BENCH", image, stdout=subprocess.DEVNULL)
    host = tempfile.mkdtemp(prefix="relicta-bench-fat-")
    try:
        tree, plan = plan_tree(rng, dirs, files)
        for d in tree:
            os.makedirs(os.path.join(host, d), exist_ok=True)
        for p, size in plan:
            with open(os.path.join(host, p), "wb") as f:
                f.write(data(rng, size))
        tops = sorted({d.split("/")[0] for d in tree})
        for i in range(0, len(tops), 200):
            run("mcopy", "-s", "-i", image, *[os.path.join(host, t) for t in tops[i:i + 200]], "::/")
        doomed_trees, doomed_files, in_tree = choose_deletions(rng, tree, plan)
        crowds = plan_crowds(host, random.Random(4))
        run("mcopy", "-s", "-i", image, *[os.path.join(host, "Crowd %d" % n) for n in CROWDS], "::/")
        mtools_batches("mdel", image, sorted(doomed_files))
        mtools_batches("mdeltree", image, doomed_trees + ["Crowd %d" % n for n in CROWDS])
        survivors = [d for d in tree if not in_tree(d + "/x")]
        extra = []
        for i in range(len(plan) // 33):
            d = rng.choice(survivors)
            p = "%s/New %05d.txt" % (d, i)
            size = file_size(rng)
            src = os.path.join(host, "new-file")
            with open(src, "wb") as f:
                f.write(data(rng, size))
            run("mcopy", "-i", image, src, "::/" + p)
            extra.append((p, size))
    finally:
        shutil.rmtree(host)
    write_manifest(os.path.join(out, "fat32.tsv"), plan + crowds,
                   lambda p: p in doomed_files or in_tree(p) or p.startswith("Crowd "), extra)


def quick_format(image, copy):
    """A copy of `image` quick-formatted in place by the tool that made it, with its cluster
    size."""
    run("cp", "--sparse=always", image, copy + ".part")
    with open(image, "rb") as f:
        boot = f.read(512)
    if boot[3:11] == b"NTFS    ":
        cluster = struct.unpack_from("<H", boot, 11)[0] * boot[13]
        run("mkntfs", "-F", "-q", "-Q", "-c", str(cluster), "-L", "bench", copy + ".part",
            stderr=subprocess.DEVNULL)
    elif boot[3:11] == b"EXFAT   ":
        run("mkfs.exfat", "-c", str(1 << (boot[0x6C] + boot[0x6D])), "-L", "bench", copy + ".part",
            stdout=subprocess.DEVNULL)
    else:
        run("mkfs.fat", "-F", "32", "-s", str(boot[13]), "-n", "BENCH", copy + ".part",
            stdout=subprocess.DEVNULL)
    os.rename(copy + ".part", copy)


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in SCALES:
        sys.exit(__doc__)
    mib, ntfs_files, ntfs_dirs, fat_files, fat_dirs = SCALES[sys.argv[1]]
    out = os.path.abspath(sys.argv[2])
    os.makedirs(out, exist_ok=True)
    have = lambda name: os.path.exists(os.path.join(out, name))
    if not have("fat32.img"):
        make_fat(out, mib, fat_files, fat_dirs, random.Random(1))
    if os.geteuid() != 0:
        print("make-volumes.py: NTFS and exFAT skipped (their FUSE mounts need root)", file=sys.stderr)
    else:
        if not have("ntfs.img"):
            make_ntfs(out, mib, ntfs_files, ntfs_dirs, random.Random(2))
        if not have("exfat.img"):
            make_exfat(out, mib, fat_files, fat_dirs, random.Random(3))
    for name in ("fat32", "exfat", "ntfs"):
        if have(name + ".img") and not have(name + "-quick.img"):
            quick_format(os.path.join(out, name + ".img"), os.path.join(out, name + "-quick.img"))


if __name__ == "__main__":
    main()
