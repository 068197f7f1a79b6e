#!/usr/bin/env python3
"""Builds the test volumes with real tools and writes manifest.tsv.

FAT volumes are made with mkfs.fat and filled with mtools (no mounting).
NTFS volumes are made with mkntfs and filled through the ntfs-3g driver,
which needs root and FUSE.  The result is committed compressed, so the
tests never run this script; rerun it only to change the fixtures.

Usage: sudo tests/data/make-fixtures.py [OUTDIR]   (default: tests/data)
"""

import calendar
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

OUT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(__file__))
WORK = tempfile.mkdtemp(prefix="relicta-fixtures-")
ENV = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8", MTOOLS_SKIP_CHECK="1")
MIB = 1024 * 1024

NTFS_ATTR_READONLY = 0x01
NTFS_ATTR_HIDDEN = 0x02
NTFS_ATTR_DIRECTORY = 0x10
NTFS_ATTR_ARCHIVE = 0x20
NTFS_ATTR_COMPRESSED = 0x800

manifest = []  # rows of deleted files


def run(*args, **kw):
    subprocess.run(list(args), check=True, env=ENV, **kw)


def content(name, size, compressible=False):
    """Deterministic bytes; compressible content is text that LZNT1 shrinks."""
    if compressible:
        line = ("%s: the quick brown fox jumps over the lazy dog 0123456789\n" % name).encode()
        data = (line * (size // len(line) + 1))[:size]
        return data
    out = bytearray()
    counter = 0
    seed = name.encode()
    while len(out) < size:
        out += hashlib.sha256(seed + counter.to_bytes(8, "little")).digest()
        counter += 1
    return bytes(out[:size])


def stamp(text):
    return calendar.timegm(time.strptime(text, "%Y-%m-%d %H:%M:%S"))


def record(image, directory, name, data, mtime, flags):
    manifest.append(
        [
            image,
            directory,
            name,
            str(len(data)),
            time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(mtime)),
            hashlib.sha256(data).hexdigest(),
            ",".join(flags) or "-",
        ]
    )


def host_file(name, data, mtime):
    path = os.path.join(WORK, "src", name.replace("/", "_"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (mtime, mtime))
    return path


# ---------------------------------------------------------------- FAT

class FatVolume:
    def __init__(self, image, label):
        self.image = image
        self.label = label
        self.files = {}  # path -> (data, mtime)
        self.doomed = []  # deletions wait until everything is written, so no slot is reused

    def mt(self, tool, *args):
        run(tool, "-i", self.image, *args)

    def mkdir(self, path):
        self.mt("mmd", "::" + path)

    def put(self, path, data, mtime, attrs=""):
        src = host_file(path, data, mtime)
        self.mt("mcopy", "-m", "-o", src, "::" + path)
        if attrs:
            self.mt("mattrib", *["+" + a for a in attrs], "::" + path)
        self.files[path] = (data, mtime)

    def delete(self, path, flags=()):
        self.doomed.append((path, list(flags), False))

    def deltree(self, path):
        self.doomed.append((path, [], True))

    def forget(self, path):
        """Deletes at once: the next file written takes its slot and clusters."""
        self.files.pop(path)
        self.mt("mdel", "::" + path)

    def commit_deletes(self):
        def remove_file(path):
            self.mt("mattrib", "-r", "::" + path)
            self.mt("mdel", "::" + path)
        commit_deletes(self, remove_file, lambda path: self.mt("mdeltree", "::" + path))


def commit_deletes(vol, remove_file, remove_tree):
    """Deletes what `vol.doomed` lists, in order, and records each deleted file."""
    for path, flags, tree in vol.doomed:
        if tree:
            for p in sorted(vol.files):
                if p.startswith(path + "/"):
                    data, mtime = vol.files.pop(p)
                    directory, name = split(p)
                    extra = getattr(vol, "extra_flags", {}).get(p, [])
                    record(vol.label, directory, name, data, mtime, ["in_deleted_dir"] + extra)
            remove_tree(path)
            continue
        data, mtime = vol.files.pop(path)
        remove_file(path)
        directory, name = split(path)
        record(vol.label, directory, name, data, mtime, flags)


def split(path):
    directory, _, name = path.rpartition("/")
    return "/" + directory + ("/" if directory else ""), name


def fill_fat(vol, big):
    """The same story on every FAT volume; `big` scales the larger files."""
    t = stamp
    vol.put("README.TXT", content("readme", 700), t("2021-03-04 05:06:08"))
    vol.mkdir("DOCS")
    vol.put("DOCS/KEEP.TXT", content("keep", 1500), t("2021-03-04 05:06:10"))
    vol.put("Long live file name.txt", content("live-long", 300), t("2021-03-04 05:06:12"))

    # Short names only: deletion overwrites the first letter.
    vol.put("DELETED.TXT", content("deleted", 1234), t("2022-01-02 03:04:06"))
    vol.delete("DELETED.TXT", ["lost_first_letter"])
    vol.put("Deleted long name.txt", content("deleted-long", 5000), t("2022-01-02 03:04:10"))
    vol.delete("Deleted long name.txt", ["long_name"])
    vol.put("Ünïcödé naïve résumé.txt", content("unicode", 777), t("2022-01-02 03:04:12"))
    vol.delete("Ünïcödé naïve résumé.txt", ["long_name", "unicode"])
    vol.put("EMPTY.DAT", b"", t("2022-01-02 03:04:14"))
    vol.delete("EMPTY.DAT", ["lost_first_letter", "zero_length"])
    vol.put("SECRET.TXT", content("secret", 900), t("2022-01-02 03:04:16"), attrs="rh")
    vol.delete("SECRET.TXT", ["lost_first_letter", "readonly", "hidden"])
    vol.put("BIG.BIN", content("big", big), t("2022-01-02 03:04:18"))
    vol.delete("BIG.BIN", ["lost_first_letter"])

    # A deleted directory with files inside, one of them in a subdirectory.
    vol.mkdir("OLDDIR")
    vol.put("OLDDIR/INNER.TXT", content("inner", 2100), t("2022-02-03 04:05:06"))
    vol.put("OLDDIR/Inner long name.doc", content("inner-long", 3300), t("2022-02-03 04:05:08"))
    vol.mkdir("OLDDIR/SUB")
    vol.put("OLDDIR/SUB/DEEP.TXT", content("deep", 444), t("2022-02-03 04:05:10"))
    vol.deltree("OLDDIR")

    # A live directory of many entries: deleted files far past its first cluster.
    vol.mkdir("PHOTOS")
    for i in range(1, 141):
        vol.put("PHOTOS/IMG_%04d.JPG" % i, content("img%d" % i, 600 + i), t("2022-03-04 05:06:%02d" % (i % 30 * 2)))
    for i in (3, 77, 129, 140):
        vol.delete("PHOTOS/IMG_%04d.JPG" % i, ["lost_first_letter", "past_first_dir_cluster" if i > 100 else "dir_entry"])

    # Fragmentation: a file written across a hole left by a deleted one.
    vol.put("FILL1.BIN", content("fill1", 3000), t("2022-04-05 06:07:08"))
    vol.put("HOLE.BIN", content("hole", 3000), t("2022-04-05 06:07:10"))
    vol.put("FILL2.BIN", content("fill2", 3000), t("2022-04-05 06:07:12"))
    vol.forget("HOLE.BIN")
    vol.put("FRAG.BIN", content("frag", 9000), t("2022-04-05 06:07:14"))
    vol.delete("FRAG.BIN", ["lost_first_letter", "fragmented"])
    vol.commit_deletes()


def make_fat(label, fat_bits, kib, extra_mkfs=(), big=20000, offset_sectors=0):
    image = os.path.join(WORK, label + ".img")
    if os.path.exists(image):
        os.unlink(image)
    run("mkfs.fat", "-C", "-F", str(fat_bits), "-n", label[:11].upper(), "-i", "1234ABCD",
        "-h", str(offset_sectors), *extra_mkfs, image, str(kib), stdout=subprocess.DEVNULL)
    vol = FatVolume(image, label)
    fill_fat(vol, big)
    return image


# ---------------------------------------------------------------- NTFS

class MountedVolume:
    """A volume written through a FUSE driver; subclasses say how it is mounted."""

    def __init__(self, image, label):
        self.image = image
        self.label = label
        self.mnt = os.path.join(WORK, "mnt-" + label)
        os.makedirs(self.mnt, exist_ok=True)
        self.files = {}
        self.doomed = []  # drivers reuse freed records and clusters at once: delete last

    def __exit__(self, *exc):
        subprocess.run(["sync"])
        run("umount", self.mnt)

    def p(self, path):
        return os.path.join(self.mnt, path)

    def mkdir(self, path, attrs=0):
        os.mkdir(self.p(path))
        if attrs:
            self.set_attrs(path, attrs | NTFS_ATTR_DIRECTORY)

    def put(self, path, data, mtime, attrs=0):
        with open(self.p(path), "wb") as f:
            f.write(data)
        if attrs:
            self.set_attrs(path, attrs)
        os.utime(self.p(path), (mtime, mtime))
        self.files[path] = (data, mtime)

    def interleave(self, paths, datas, mtime, chunk=4096):
        handles = [open(self.p(p), "wb") for p in paths]
        for off in range(0, max(len(d) for d in datas), chunk):
            for h, d in zip(handles, datas):
                if off < len(d):
                    h.write(d[off:off + chunk])
                    h.flush()
                    os.fsync(h.fileno())
        for h in handles:
            h.close()
        for p, d in zip(paths, datas):
            os.utime(self.p(p), (mtime, mtime))
            self.files[p] = (d, mtime)

    def delete(self, path, flags=()):
        self.doomed.append((path, list(flags), False))

    def deltree(self, path):
        self.doomed.append((path, [], True))

    def commit_deletes(self):
        commit_deletes(self, lambda path: os.unlink(self.p(path)), lambda path: shutil.rmtree(self.p(path)))


class NtfsVolume(MountedVolume):
    def __enter__(self):
        run("ntfs-3g", "-o", "compression,no_def_opts", self.image, self.mnt)
        return self

    def set_attrs(self, path, attrs):
        os.setxattr(self.p(path), "system.ntfs_attrib_be", struct.pack(">I", attrs))


def fill_ntfs(vol, compress):
    t = stamp
    vol.put("readme.txt", content("readme", 700), t("2021-03-04 05:06:07"))
    vol.mkdir("docs")
    vol.put("docs/keep.txt", content("keep", 1500), t("2021-03-04 05:06:09"))

    vol.put("tiny.txt", content("tiny", 120), t("2022-01-02 03:04:05"))
    vol.delete("tiny.txt", ["resident"])
    vol.put("empty.dat", b"", t("2022-01-02 03:04:06"))
    vol.delete("empty.dat", ["zero_length", "resident"])
    vol.put("A deleted file with a rather long name.txt", content("long", 5000), t("2022-01-02 03:04:07"))
    vol.delete("A deleted file with a rather long name.txt", ["long_name"])
    vol.put("Ünïcödé naïve résumé 日本語.txt", content("unicode", 3333), t("2022-01-02 03:04:08"))
    vol.delete("Ünïcödé naïve résumé 日本語.txt", ["unicode"])
    vol.put("secret.txt", content("secret", 2900), t("2022-01-02 03:04:09"),
            attrs=NTFS_ATTR_READONLY | NTFS_ATTR_HIDDEN | NTFS_ATTR_ARCHIVE)
    vol.delete("secret.txt", ["readonly", "hidden"])
    vol.put("big.bin", content("big", 200000), t("2022-01-02 03:04:10"))
    vol.delete("big.bin", [])

    vol.mkdir("olddir")
    vol.put("olddir/inner.txt", content("inner", 2100), t("2022-02-03 04:05:06"))
    vol.put("olddir/tiny inner.txt", content("tiny-inner", 200), t("2022-02-03 04:05:07"))
    vol.mkdir("olddir/sub")
    vol.put("olddir/sub/deep.txt", content("deep", 4444), t("2022-02-03 04:05:08"))
    vol.deltree("olddir")

    vol.interleave(["frag-a.bin", "frag-b.bin"], [content("frag-a", 40960), content("frag-b", 40960)],
                   t("2022-04-05 06:07:08"))
    vol.delete("frag-a.bin", ["fragmented"])

    if compress:
        vol.mkdir("packed", attrs=NTFS_ATTR_COMPRESSED)
        vol.put("packed/live.txt", content("packed-live", 100000, compressible=True), t("2022-05-06 07:08:09"))
        vol.put("packed/gone.txt", content("packed-gone", 150000, compressible=True), t("2022-05-06 07:08:10"))
        vol.put("packed/noise.bin", content("packed-noise", 70000), t("2022-05-06 07:08:11"))
        vol.delete("packed/gone.txt", ["compressed"])
        vol.delete("packed/noise.bin", ["compressed", "incompressible"])
    vol.commit_deletes()


BIG_DIRECTORY_FILES = 2000


def fill_big_directory(vol):
    """A directory whose index outgrows its MFT record. Its index blocks interleave with
    the data of new files, so their runs fragment; once they fill the record, ntfs-3g adds
    an attribute list and moves the directory's own $FILE_NAME into an extension record
    (istat shows "Type: 48-0  MFT Entry: <another record>")."""
    when = stamp("2023-07-08 09:10:11")
    vol.mkdir("Big Folder")
    vol.mkdir("side")
    for i in range(BIG_DIRECTORY_FILES):
        name = "Big Folder/Photograph from the long summer holiday %05d.jpg" % i
        vol.put(name, content(name, 3000, compressible=True), when)
        vol.put("side/s%05d.bin" % i, content("side %05d" % i, 4096, compressible=True), when)
        if i % 50 == 7:
            vol.delete(name, ["parent_name_in_extension_record"])
    vol.commit_deletes()


def make_ntfs_big_directory(label):
    image = os.path.join(WORK, label + ".img")
    with open(image, "wb") as f:
        f.truncate(48 * MIB)
    run("mkntfs", "-F", "-q", "-Q", "-I", "-c", "4096", "-L", label, image)
    with NtfsVolume(image, label) as vol:
        fill_big_directory(vol)
    return image


def make_ntfs(label, mib, cluster, sector=512, offset_sectors=0):
    image = os.path.join(WORK, label + ".img")
    with open(image, "wb") as f:
        f.truncate(mib * MIB)
    run("mkntfs", "-F", "-q", "-Q", "-I", "-c", str(cluster), "-s", str(sector), "-p", str(offset_sectors),
        "-L", label, image)
    with NtfsVolume(image, label) as vol:
        fill_ntfs(vol, compress=cluster <= 4096)
    return image


# ---------------------------------------------------------------- exFAT

class ExFatVolume(MountedVolume):
    """Written through exfat-fuse over a loop device. With `keep_chains` the FAT chains the
    driver clears on deletion are written back afterwards, as the Linux kernel driver leaves
    them."""

    def __init__(self, image, label, keep_chains=False):
        super().__init__(image, label)
        self.keep_chains = keep_chains
        self.extra_flags = {}
        self.loop = None
        self.fat_before = None

    def __enter__(self):
        self.loop = subprocess.run(["losetup", "-f", "--show", self.image], check=True,
                                   capture_output=True, text=True).stdout.strip()
        run("mount.exfat-fuse", self.loop, self.mnt)
        return self

    def __exit__(self, *exc):
        super().__exit__(*exc)
        run("losetup", "-d", self.loop)
        if self.keep_chains:
            self.restore_chains()

    def fat_region(self):
        with open(self.image, "rb") as f:
            boot = f.read(512)
        shift = boot[0x6C]
        offset = int.from_bytes(boot[0x50:0x54], "little") << shift
        length = int.from_bytes(boot[0x54:0x58], "little") << shift
        return offset, length

    def restore_chains(self):
        offset, length = self.fat_region()
        with open(self.image, "r+b") as f:
            f.seek(offset)
            after = bytearray(f.read(length))
            for i in range(0, length, 4):
                if after[i:i + 4] == b"\0\0\0\0" and self.fat_before[i:i + 4] != b"\0\0\0\0":
                    after[i:i + 4] = self.fat_before[i:i + 4]
            f.seek(offset)
            f.write(after)

    def commit_deletes(self):
        if self.keep_chains:
            subprocess.run(["sync"])
            offset, length = self.fat_region()
            with open(self.loop, "rb") as f:
                f.seek(offset)
                self.fat_before = f.read(length)
        # rm -rf removes a folder's entries last first: the driver shrinks the folder as it goes.
        commit_deletes(self, lambda path: os.unlink(self.p(path)), lambda path: run("rm", "-rf", self.p(path)))


def fill_exfat(vol):
    t = stamp
    vol.put("readme.txt", content("readme", 700), t("2021-03-04 05:06:08"))
    vol.mkdir("docs")
    vol.put("docs/keep.txt", content("keep", 1500), t("2021-03-04 05:06:10"))
    vol.put("docs/gone.txt", content("docs-gone", 3000), t("2021-03-04 05:06:12"))
    vol.delete("docs/gone.txt", [])

    vol.put("tiny.txt", content("tiny", 120), t("2022-01-02 03:04:06"))
    vol.delete("tiny.txt", ["small"])
    vol.put("empty.dat", b"", t("2022-01-02 03:04:08"))
    vol.delete("empty.dat", ["zero_length"])
    longest = ("The longest name exFAT allows " + "x" * 255)[:251] + ".txt"
    vol.put(longest, content("longest", 5000), t("2022-01-02 03:04:10"))
    vol.delete(longest, ["long_name"])
    vol.put("Ünïcödé naïve résumé 日本語.txt", content("unicode", 3333), t("2022-01-02 03:04:12"))
    vol.delete("Ünïcödé naïve résumé 日本語.txt", ["unicode"])
    vol.put("big.bin", content("big", 65537), t("2022-01-02 03:04:14"))
    vol.delete("big.bin", [])

    # Nested deleted folders, one with a fragmented file.
    vol.mkdir("olddir")
    vol.put("olddir/inner.txt", content("inner", 2100), t("2022-02-03 04:05:06"))
    vol.mkdir("olddir/sub")
    vol.put("olddir/sub/deep.txt", content("deep", 4444), t("2022-02-03 04:05:08"))
    vol.mkdir("olddir/sub/deeper")
    vol.put("olddir/sub/deeper/ünïcode déep.bin", content("deeper", 777), t("2022-02-03 04:05:10"))
    vol.interleave(["olddir/frag-c.bin", "side.bin"], [content("frag-c", 16384), content("side", 16384)],
                   t("2022-02-03 04:05:12"))
    vol.extra_flags["olddir/frag-c.bin"] = ["fragmented"]
    vol.deltree("olddir")

    # A deleted folder of many files: its entries fill several clusters, each taken when the
    # one before was full, after the data of the files written so far.
    vol.mkdir("Camera Roll")
    for i in range(1, 151):
        vol.put("Camera Roll/IMG_%04d.JPG" % i, content("photo %d" % i, 200 + 5 * i),
                t("2022-03-04 05:06:%02d" % (i % 30 * 2)))
    vol.deltree("Camera Roll")

    # Fragmentation: two files written a piece at a time, one deleted.
    vol.interleave(["frag-a.bin", "frag-b.bin"], [content("frag-a", 24576), content("frag-b", 24576)],
                   t("2022-04-05 06:07:08"))
    vol.delete("frag-a.bin", ["fragmented"])
    vol.commit_deletes()


def make_exfat(label, mib, cluster, keep_chains=False):
    image = os.path.join(WORK, label + ".img")
    with open(image, "wb") as f:
        f.truncate(mib * MIB)
    run("mkfs.exfat", "-c", str(cluster), "-L", label[:11], image, stdout=subprocess.DEVNULL)
    with ExFatVolume(image, label, keep_chains) as vol:
        fill_exfat(vol)
    if keep_chains:
        for row in manifest:
            if row[0] == label and "fragmented" in row[6]:
                row[6] += ",chain_kept"
    return image


def make_exfat_mbr():
    """The kept-chains volume in a partition typed 0x83: found by its content."""
    return make_disk("exfatmbr", "dos", [(make_exfat("exfat-mbr", 16, 4096, keep_chains=True), "83")])


# ---------------------------------------------------------------- disks

def make_disk(name, label_type, parts):
    """parts: list of (volume image, mbr type or gpt type guid)."""
    start = 2048
    layout = []
    for image, ptype in parts:
        sectors = os.path.getsize(image) // 512
        layout.append((start, sectors, ptype, image))
        start += sectors
    disk = os.path.join(WORK, name + ".img")
    with open(disk, "wb") as f:
        f.truncate((start + 2048) * 512)
    script = "label: %s\n" % label_type
    for s, n, ptype, _ in layout:
        script += "start=%d, size=%d, type=%s\n" % (s, n, ptype)
    run("sfdisk", "-q", disk, input=script.encode())
    for s, _, _, image in layout:
        run("dd", "if=" + image, "of=" + disk, "bs=512", "seek=%d" % s, "conv=notrunc,sparse", "status=none")
    return disk


def finish(image, name):
    dest = os.path.join(OUT, name + ".img.xz")
    with open(dest, "wb") as f:
        subprocess.run(["xz", "-9", "-T1", "-c", image], check=True, stdout=f)
    print("wrote", dest, os.path.getsize(dest), "bytes")


def make_mbr():
    mbr_fat = make_fat("mbr-fat32", 32, 40 * 1024, ("-s", "1"), offset_sectors=2048)
    mbr_ntfs = make_ntfs("mbr-ntfs", 16, 4096, offset_sectors=2048 + 80 * 1024)
    return make_disk("mbr", "dos", [(mbr_fat, "c"), (mbr_ntfs, "7")])


def make_gpt():
    basic_data = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"
    gpt_fat = make_fat("gpt-fat16", 16, 16 * 1024, ("-s", "4"), offset_sectors=2048)
    gpt_ntfs = make_ntfs("gpt-ntfs", 16, 4096, offset_sectors=2048 + 32 * 1024)
    return make_disk("gpt", "gpt", [(gpt_fat, basic_data), (gpt_ntfs, basic_data)])


# image -> (builder, the manifest labels of its volumes)
# ---------------------------------------------------------------- names beyond the peers

names_rows = []  # volume, listed dir, name, size, sha256, recycled_as


def name_row(label, directory, name, data, recycled_as="-"):
    names_rows.append([label, directory, name, str(len(data)), hashlib.sha256(data).hexdigest(),
                       recycled_as])


def make_fat_folders():
    """Deleted folders of 50 to 800 long-named files: three copied whole (mtools grows a folder
    when it closes it, past all its files' data) and one filled a file at a time."""
    label = "fatfolders"
    image = os.path.join(WORK, label + ".img")
    with open(image, "wb") as f:
        f.truncate(40 * MIB)
    run("mkfs.fat", "-F", "32", "-s", "1", "-n", "FOLDERS", image, stdout=subprocess.DEVNULL)
    host = os.path.join(WORK, "folders")
    plan = {"Holiday 50": 50, "Holiday 200": 200, "Holiday 800": 800, "One at a time": 120,
            "Reused 300": 300}
    for folder, count in plan.items():
        os.makedirs(os.path.join(host, folder))
        for i in range(count):
            name = "%s photo number %04d.jpg" % (folder, i)
            data = content(name, 100 + (i * 37) % 3000, compressible=True)
            with open(os.path.join(host, folder, name), "wb") as f:
                f.write(data)
            name_row(label, "/" + folder + "/", name, data,
                     "reused" if folder.startswith("Reused") else "-")
        if folder == "One at a time":
            run("mmd", "-i", image, "::/" + folder)
            for name in sorted(os.listdir(os.path.join(host, folder))):
                run("mcopy", "-i", image, os.path.join(host, folder, name), "::/%s/%s" % (folder, name))
        else:
            run("mcopy", "-s", "-i", image, os.path.join(host, folder), "::/")
    for folder in plan:
        run("mdeltree", "-i", image, "::/" + folder)
    reuse_later_clusters(image, "Reused 300")
    return image


def reuse_later_clusters(image, folder):
    """Writes other data over the middle third of a deleted folder's later clusters, as a
    driver that hands out clusters from a next-free hint does with the files written after
    the deletion. mtools cannot: it always takes the lowest free cluster, which is the
    folder's first one."""
    with open(image, "r+b") as f:
        disk = f.read()
        sector, per_cluster, reserved, fats = struct.unpack_from("<HBHB", disk, 11)
        heap = (reserved + fats * struct.unpack_from("<I", disk, 36)[0]) * sector
        size = sector * per_cluster
        # The clusters whose long-name slots begin with the folder's file names.
        marker = folder[:5].encode("utf-16-le")
        clusters, at = set(), disk.find(marker, heap)
        while at != -1:
            slot = at - 1
            if (slot - heap) % 32 == 0 and disk[slot + 11] == 0x0F:
                clusters.add((slot - heap) // size)
            at = disk.find(marker, at + 1)
        later = sorted(clusters)[1:]
        third = len(later) // 3
        for n, index in enumerate(later[third:2 * third]):
            f.seek(heap + index * size)
            f.write(content("written over %d" % n, size))


RECYCLE_SID = "S-1-5-21-1004336348-1177238915-682003330-1001"


def recycle_info(version, original, size, deleted):
    """A $I file as Windows writes it: version 1 (Vista to 8.1) or 2 (10 and later)."""
    path = original.encode("utf-16-le") + b"\0\0"
    head = struct.pack("<QQQ", version, size, (deleted + 11644473600) * 10000000)
    if version == 1:
        return head + path.ljust(520, b"\0")
    return head + struct.pack("<I", len(path) // 2) + path


RECYCLED = [
    # key, version, original path, size ($R), what
    ("AB12CD.jpg", 1, "C:\\Users\\bob\\Pictures\\holiday.jpg", 20000, "non-resident v1"),
    ("QW34ER.txt", 2, "C:\\Users\\bob\\Documents\\note.txt", 300, "resident v2"),
    ("ZX56CV.pdf", 2, "D:\\Отчёты\\годовой отчёт 2024.pdf", 9000, "unicode v2"),
    ("BROKEN.doc", 2, "C:\\Users\\bob\\broken.doc", 1200, "broken length"),
]
RECYCLED_FOLDER = ("FOLDR1", 2, "C:\\Users\\bob\\Project",
                   ["Project plan.txt", "Sub folder/Figures 1.png"])


def fill_recycle_bin(label, bin_dir, mkdir, put, remove, upper=False):
    """Writes $I/$R pairs (and a recycled folder) into the bin, then empties it. On FAT the
    names are plain 8.3 ones, whose "$" deletion takes."""
    lost = "?" if upper else "$"
    deleted = stamp("2024-03-01 10:00:00")
    mkdir(bin_dir)
    bin_dir += "/" + RECYCLE_SID
    mkdir(bin_dir)
    listed_bin = "/" + bin_dir + "/"
    gone = []
    for key, version, original, size, what in RECYCLED:
        key = key.upper() if upper else key
        data = content(original, size)
        info = recycle_info(version, original, size, deleted)
        if what == "broken length":
            info = info[:24] + struct.pack("<I", 4000) + info[28:]
        put(bin_dir + "/$I" + key, info)
        put(bin_dir + "/$R" + key, data)
        gone += [bin_dir + "/$I" + key, bin_dir + "/$R" + key]
        if what == "broken length":
            name_row(label, listed_bin, lost + "R" + key, data)
        else:
            directory, name = original[2:].replace("\\", "/").rsplit("/", 1)
            name_row(label, directory + "/", name, data, listed_bin + lost + "R" + key)
    key, version, original, files = RECYCLED_FOLDER
    put(bin_dir + "/$I" + key, recycle_info(version, original, 0, deleted))
    gone.append(bin_dir + "/$I" + key)
    mkdir(bin_dir + "/$R" + key)
    mkdir(bin_dir + "/$R" + key + "/Sub folder")
    for rel in files:
        data = content(original + rel, 5000)
        put(bin_dir + "/$R" + key + "/" + rel, data)
        directory, name = (original[2:].replace("\\", "/") + "/" + rel).rsplit("/", 1)
        name_row(label, directory + "/", name, data, listed_bin + lost + "R" + key + "/" + rel)
    remove(gone, bin_dir + "/$R" + key)


def make_recycle_ntfs():
    label = "recyclentfs"
    image = os.path.join(WORK, label + ".img")
    with open(image, "wb") as f:
        f.truncate(16 * MIB)
    run("mkntfs", "-F", "-q", "-Q", "-I", "-c", "4096", "-L", label, image)
    with NtfsVolume(image, label) as vol:
        def put(path, data):
            with open(vol.p(path), "wb") as f:
                f.write(data)

        def remove(files, tree):
            for path in files:
                os.unlink(vol.p(path))
            shutil.rmtree(vol.p(tree))
        fill_recycle_bin(label, "$Recycle.Bin", lambda d: os.mkdir(vol.p(d)), put, remove)
    return image


def make_recycle_fat():
    label = "recyclefat"
    image = os.path.join(WORK, label + ".img")
    with open(image, "wb") as f:
        f.truncate(40 * MIB)
    run("mkfs.fat", "-F", "32", "-s", "1", "-n", "RECYCLE", image, stdout=subprocess.DEVNULL)

    def put(path, data):
        src = host_file(path, data, stamp("2024-02-01 09:00:00"))
        run("mcopy", "-i", image, src, "::/" + path)

    def remove(files, tree):
        for path in files:
            run("mdel", "-i", image, "::/" + path)
        run("mdeltree", "-i", image, "::/" + tree)
    fill_recycle_bin(label, "$RECYCLE.BIN", lambda d: run("mmd", "-i", image, "::/" + d), put,
                     remove, upper=True)
    return image


# ---------------------------------------------------------------- content check

content_rows = []  # volume, dir, name, truth, what the bytes are
SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "content")


def sample(name):
    with open(os.path.join(SAMPLES, name), "rb") as f:
        return f.read()


def content_row(label, name, truth, what):
    content_rows.append([label, "/", name, truth, what])


# Another type's bytes for each sample's extension.
COVERS = {".jpg": "tone.wav", ".png": "song.mp3", ".gif": "video.avi", ".pdf": "photo.jpg",
          ".zip": "clip.mp4", ".docx": "anim.gif", ".mp4": "document.pdf", ".mov": "report.docx",
          ".avi": "notes.txt", ".wav": "picture.png", ".mp3": "archive.zip", ".txt": "movie.mov"}


def covering(name, size):
    cover = sample(COVERS[os.path.splitext(name)[1]])
    return (cover * (size // len(cover) + 1))[:size]


def make_content_fat():
    """The genuine samples deleted from a FAT16 volume written by mtools, whose lowest-free
    allocation lets the story place later files exactly: intact files; files written over by
    a file of another type that was then deleted too; files whose tail a live file took;
    files zero-filled (a file of zeros written over them, then deleted); a name that lies."""
    label = "contentfat"
    image = os.path.join(WORK, label + ".img")
    with open(image, "wb") as f:
        f.truncate(16 * MIB)
    run("mkfs.fat", "-F", "16", "-s", "4", "-n", "CONTENT", image, stdout=subprocess.DEVNULL)
    cluster = 2048
    names = sorted(os.listdir(SAMPLES))

    def put(name, data):
        run("mcopy", "-i", image, host_file(label + "/" + name, data, stamp("2023-06-07 08:09:10")),
            "::/" + name)

    def delete(name):
        run("mdel", "-i", image, "::/" + name)

    # The files that write over others go in a folder of their own, made first: in the root
    # they would take the deleted files' slots.
    run("mmd", "-i", image, "::/work")
    # Every victim is written before any is deleted: a deleted file's slot would go to the
    # next file written in the folder.
    over = ["Over " + name for name in names]
    zero = ["Zero " + name for name in ["photo.jpg", "document.pdf", "song.mp3"]]
    tail = ["Tail " + name for name in ["tone.wav", "song.mp3", "video.avi"]]
    for name in names:
        put("Intact " + name, sample(name))
        content_row(label, "Intact " + name, "ok", name)
    put("Holiday.jpg", sample("picture.png"))
    content_row(label, "Holiday.jpg", "mismatch", "picture.png")
    for victim in over + zero + tail:
        put(victim, sample(victim.split(" ", 1)[1]))
    # Each victim deleted in turn, and the next file written takes its clusters (the lowest
    # free ones) and keeps them until the end.
    for n, victim in enumerate(over):
        name = victim.split(" ", 1)[1]
        delete(victim)
        put("work/cover%02d.bin" % n, covering(name, len(sample(name))))
        content_row(label, victim, "mismatch", "written over by " + COVERS[os.path.splitext(name)[1]])
    for n, victim in enumerate(zero):
        delete(victim)
        put("work/zeros%02d.bin" % n, bytes(len(sample(victim.split(" ", 1)[1]))))
        content_row(label, victim, "zeroed", "zeros")
    # A tail taken by a live file: a copy of the head holds the head's clusters while the
    # live file takes the ones after it; then the copy goes.
    for n, victim in enumerate(tail):
        data = sample(victim.split(" ", 1)[1])
        delete(victim)
        head = (len(data) // 2) // cluster * cluster
        put("work/head%02d.bin" % n, data[:head])
        put("work/Live tail %d.bin" % n, bytes(range(256)) * ((len(data) - head) // 256 + 1))
        content_row(label, victim, "damaged", "its tail is another file's")
    for n in range(len(tail)):
        delete("work/head%02d.bin" % n)
    for n in range(len(over)):
        delete("work/cover%02d.bin" % n)
    for n in range(len(zero)):
        delete("work/zeros%02d.bin" % n)
    for name in names:
        delete("Intact " + name)
    delete("Holiday.jpg")
    return image


def make_content_ntfs():
    """The genuine samples deleted from an NTFS volume written by ntfs-3g: intact ones (the
    small ones resident in their records), ones a program wrote over in place with another
    type's bytes or with zeros before they were deleted, and a name that lies."""
    label = "contentntfs"
    image = os.path.join(WORK, label + ".img")
    with open(image, "wb") as f:
        f.truncate(16 * MIB)
    run("mkntfs", "-F", "-q", "-Q", "-I", "-c", "4096", "-L", label, image)
    with NtfsVolume(image, label) as vol:
        def put(name, data):
            with open(vol.p(name), "wb") as f:
                f.write(data)

        def rewrite(name, data):
            with open(vol.p(name), "r+b") as f:
                f.write(data)

        for name in sorted(os.listdir(SAMPLES)):
            put("Intact " + name, sample(name))
            content_row(label, "Intact " + name, "ok", name)
            put("Over " + name, sample(name))
            rewrite("Over " + name, covering(name, len(sample(name))))
            content_row(label, "Over " + name, "mismatch", "written over by " + COVERS[os.path.splitext(name)[1]])
        for name in ["photo.jpg", "clip.mp4", "report.docx"]:
            put("Zero " + name, sample(name))
            rewrite("Zero " + name, bytes(len(sample(name))))
            content_row(label, "Zero " + name, "zeroed", "zeros")
        put("Holiday.jpg", sample("picture.png"))
        content_row(label, "Holiday.jpg", "mismatch", "picture.png")
        subprocess.run(["sync"])
        for name in sorted(os.listdir(vol.mnt)):
            if not name.startswith("$"):
                os.unlink(vol.p(name))
    return image


FIXTURES = {
    "fat12": (lambda: make_fat("fat12", 12, 1440), ["fat12"]),
    "fat16": (lambda: make_fat("fat16", 16, 16 * 1024, ("-s", "4")), ["fat16"]),
    "fat32": (lambda: make_fat("fat32", 32, 40 * 1024, ("-s", "1"), big=300000), ["fat32"]),
    "ntfs512": (lambda: make_ntfs("ntfs512", 16, 512), ["ntfs512"]),
    "ntfs4k": (lambda: make_ntfs("ntfs4k", 24, 4096), ["ntfs4k"]),
    "ntfs4ksec": (lambda: make_ntfs("ntfs4ksec", 24, 4096, sector=4096), ["ntfs4ksec"]),
    "mbr": (make_mbr, ["mbr-fat32", "mbr-ntfs"]),
    "gpt": (make_gpt, ["gpt-fat16", "gpt-ntfs"]),
    "ntfsbigdir": (lambda: make_ntfs_big_directory("ntfsbigdir"), ["ntfsbigdir"]),
    "exfat4k": (lambda: make_exfat("exfat4k", 32, 4096), ["exfat4k"]),
    "exfat512": (lambda: make_exfat("exfat512", 16, 512), ["exfat512"]),
    "exfatmbr": (make_exfat_mbr, ["exfat-mbr"]),
    "fatfolders": (make_fat_folders, ["fatfolders"]),
    "recyclentfs": (make_recycle_ntfs, ["recyclentfs"]),
    "recyclefat": (make_recycle_fat, ["recyclefat"]),
    "contentfat": (make_content_fat, ["contentfat"]),
    "contentntfs": (make_content_ntfs, ["contentntfs"]),
}
NAMES_FIXTURES = {"fatfolders", "recyclentfs", "recyclefat"}
CONTENT_FIXTURES = {"contentfat", "contentntfs"}


def exfat_condition(flags):
    """Every cluster of these files is free; only a fragmented file whose chain the driver
    cleared has an unknown layout, and a guessed layout is rated Poor."""
    flags = flags.split(",")
    return "Poor" if "fragmented" in flags and "chain_kept" not in flags else "Good"


def write_manifest(path, rebuilt, rows, header):
    """Keeps the rows of the images not rebuilt."""
    kept = []
    if os.path.exists(path):
        kept = [line.rstrip("\n").split("\t") for line in open(path, encoding="utf-8")][1:]
    rows = [row for row in kept if row[0] not in rebuilt] + rows
    with open(path, "w", encoding="utf-8") as f:
        f.write(header)
        for row in rows:
            f.write("\t".join(row) + "\n")


def main():
    """make-fixtures.py [OUT [IMAGE...]]: every image, or only those named; the manifest keeps
    the rows of the images not rebuilt. Run derive-conditions.py afterwards."""
    if os.geteuid() != 0:
        sys.exit("make-fixtures.py: needs root for the ntfs-3g mounts")
    names = sys.argv[2:] or list(FIXTURES)
    rebuilt = set()
    for name in names:
        builder, labels = FIXTURES[name]
        finish(builder(), name)
        rebuilt.update(labels)

    # exFAT rows carry their condition: The Sleuth Kit cannot tell where a fragmented
    # deleted exFAT file lay, so derive-conditions.py cannot; the story knows it.
    exfat = [row + [exfat_condition(row[6])] for row in manifest if row[0].startswith("exfat")]
    others = [row for row in manifest if not row[0].startswith("exfat")]
    if rebuilt & NAMES_FIXTURES:
        write_manifest(os.path.join(OUT, "names-manifest.tsv"), rebuilt, names_rows,
                       "# volume\tdir\tname\tsize\tsha256\trecycled_as\n")
    if rebuilt & CONTENT_FIXTURES:
        write_manifest(os.path.join(OUT, "content-manifest.tsv"), rebuilt, content_rows,
                       "# volume\tdir\tname\ttruth\tbytes\n")
    if any(not label.startswith("exfat") and label not in NAMES_FIXTURES | CONTENT_FIXTURES
           for label in rebuilt):
        write_manifest(os.path.join(OUT, "manifest.tsv"), rebuilt, others,
                       "# volume\told_dir\tname\tsize\tmodified_utc\tsha256\tflags\n")
    if any(label.startswith("exfat") for label in rebuilt):
        write_manifest(os.path.join(OUT, "exfat-manifest.tsv"), rebuilt, exfat,
                       "# volume\told_dir\tname\tsize\tmodified_utc\tsha256\tflags\tcondition\n")
    shutil.rmtree(WORK)

if __name__ == "__main__":
    main()
