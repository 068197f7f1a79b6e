#!/usr/bin/env python3
"""Makes the deep scan's cases at test time: old volumes made and filled by the real tools, then
damaged as people damage them (a quick format, a zeroed boot sector, a zeroed partition
table), each with a manifest of the old volume's files and of what of each survived, told
without Relicta: The Sleuth Kit lists the volume before the damage, a byte comparison after it
says what is still where it was.

  tests/data/make-deep-cases.py OUTDIR [CASE...]

OUTDIR/<case>.img, and OUTDIR/<case>.tsv with one row per live file of the old volume(s):
  path  size  sha256  metadata_survives  bytes_survive  kept_path
path is '/'-separated below the old root. metadata_survives is 1 when the file's MFT record
(NTFS), or every directory cluster holding its entry set (FAT, exFAT; never a formatted
root), still lies unchanged where it was. bytes_survive is 1 when none of the sectors
holding its data changed (a resident file's lie in its record). kept_path is the part of path
that what survives still tells: the name, then each folder above as long as the folder's own
entry survives and something ties the two (an NTFS record's parent reference; on FAT and
exFAT whose chains a format erased, an entry in the folder's first cluster); "-" when the
file's own entry is gone.

FAT cases need mkfs.fat and mtools; NTFS, exFAT and the disk case fill their volumes through
ntfs-3g or exfat-fuse and are skipped unless run as root with /dev/fuse. A case that cannot be
made is named on stderr and left out.
"""

import hashlib
import io
import mmap
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ENV = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8", MTOOLS_SKIP_CHECK="1")
MIB = 1 << 20
SECTOR = 512
DISK_PARTITION_START = 2048  # sectors


class Skip(Exception):
    pass


def run(*args, **kw):
    if "input" not in kw:
        kw["stdin"] = subprocess.DEVNULL
    subprocess.run([str(a) for a in args], check=True, env=ENV, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE, timeout=120, **kw)


def need(*tools):
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        raise Skip("missing " + ", ".join(missing))


def need_fuse():
    if os.geteuid() != 0 or not os.path.exists("/dev/fuse"):
        raise Skip("needs root and /dev/fuse to fill the volume")


# ------------------------------------------------------------------ files of real formats

WORDS = ["Holiday", "Budget", "Invoice", "Scan", "Notes", "Family", "Project", "Letter", "Garden",
         "Report", "Beach", "Recipe", "Minutes", "Sketch", "Summary", "Concert"]
SAMPLE_JPEG = os.path.join(HERE, "content", "photo.jpg")


PRINTABLE = bytes(b"0123456789abcdef ghijklmnopqrstuvwxyz"[i % 37] for i in range(256))


def printable(rng, n):
    return rng.randbytes(max(n, 0)).translate(PRINTABLE)


def text_file(rng, size):
    out = io.StringIO()
    while out.tell() < size:
        out.write(" ".join(rng.choice(WORDS).lower() for _ in range(rng.randint(6, 14))) + ".\n")
    return out.getvalue().encode()[:size]


def jpeg_file(rng, size):
    """A real JPEG grown to `size` by comment segments after its SOI marker."""
    with open(SAMPLE_JPEG, "rb") as f:
        sample = f.read()
    pad = max(0, size - len(sample))
    segments = []
    while pad > 0:
        n = min(pad, 4 + 65533)
        if 0 < pad - n < 4:
            n -= 4
        segments.append(b"\xff\xfe" + struct.pack(">H", n - 2) + rng.randbytes(n - 4))
        pad -= n
    # After the JFIF header, which must come first.
    at = 4 + int.from_bytes(sample[4:6], "big") if sample[2:4] == b"\xff\xe0" else 2
    return sample[:at] + b"".join(segments) + sample[at:]


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png_file(rng, size):
    """Random RGB pixels (they do not compress) and a text chunk that makes up the size."""
    side = max(1, int(((size - 200) / 3.1) ** 0.5))
    while True:
        rows = b"".join(b"\0" + rng.randbytes(side * 3) for _ in range(side))
        head = b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0))
        body = png_chunk(b"IDAT", zlib.compress(rows, 1))
        tail = png_chunk(b"IEND", b"")
        room = size - len(head) - len(body) - len(tail) - 12 - len(b"Comment\0")
        if room >= 0 or side == 1:
            text = printable(rng, max(room, 0))
            return head + png_chunk(b"tEXt", b"Comment\0" + text) + body + tail
        side = max(1, side * 9 // 10)


def pdf_file(rng, size):
    """One page whose content stream is padded so that the whole file has `size` bytes."""
    def build(stream_bytes):
        stream = (b"BT /F1 12 Tf 72 720 Td (" + rng.choice(WORDS).encode() + b") Tj ET\n%")
        stream = (stream + printable(rng, stream_bytes))[:max(stream_bytes, 0)]
        objects = [b"<< /Type /Catalog /Pages 2 0 R >>",
                   b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                   b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R >>",
                   b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"\nendstream"]
        out = bytearray(b"%PDF-1.4\n")
        offsets = []
        for i, body in enumerate(objects, 1):
            offsets.append(len(out))
            out += b"%d 0 obj\n" % i + body + b"\nendobj\n"
        xref = len(out)
        out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
        out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
        out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
        return bytes(out)

    stream_bytes = max(0, size - len(build(0)))
    for _ in range(3):  # the digits of the offsets grow with the stream
        data = build(stream_bytes)
        stream_bytes += size - len(data)
    return data


def zip_file(rng, size):
    """One stored member of random bytes."""
    name = "data.bin"
    member = max(0, size - (98 + 2 * len(name)))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        info = zipfile.ZipInfo(name, date_time=(2023, 5, 6, 7, 8, 10))
        z.writestr(info, rng.randbytes(member))
    return out.getvalue()


MAKERS = {"txt": text_file, "jpg": jpeg_file, "png": png_file, "pdf": pdf_file, "zip": zip_file}


def file_size(rng):
    """A third fit in one cluster (NTFS keeps the smallest in their records), most span a few
    clusters, some many."""
    roll = rng.random()
    if roll < 0.3:
        return rng.randint(300, 900)
    if roll < 0.85:
        return rng.randint(2 * 1024, 96 * 1024)
    return rng.randint(150 * 1024, 1200 * 1024)


def plan_tree(rng, tag, small_files=0):
    """Folders three deep and files of every kind and size at every level. Every name is
    unique in its case, so that a file can be told by its name wherever it is listed.
    Returns (folders, files) with files as (path, bytes)."""
    counter = iter(range(1, 100000))
    folders, files = [], []

    def add_files(folder, count, small=False):
        for _ in range(count):
            kind = rng.choice(sorted(MAKERS))
            n = next(counter)
            if rng.random() < 0.2:  # an 8.3 name: no long-name entries on FAT
                name = "%s%04d.%s" % (kind[:2].upper() + tag.upper(), n, kind.upper())
            else:
                name = "%s %s %04d.%s" % (rng.choice(WORDS), tag, n, kind)
            size = rng.randint(200, 700) if small else file_size(rng)
            files.append(((folder + "/" if folder else "") + name, MAKERS[kind](rng, size)))

    add_files("", 4)
    for a in range(3):
        top = "%s %s%d" % (rng.choice(WORDS), tag, a)
        folders.append(top)
        add_files(top, 2)
        for b in range(2):
            mid = "%s/%s %s%d%d" % (top, rng.choice(WORDS), tag, a, b)
            folders.append(mid)
            add_files(mid, 2)
            for c in range(2):
                low = "%s/%s %s%d%d%d" % (mid, rng.choice(WORDS), tag, a, b, c)
                folders.append(low)
                add_files(low, 4)
    lows = [f for f in folders if f.count("/") == 2]
    for i in range(small_files):
        add_files(lows[i % len(lows)], 1, small=True)
    return folders, files


def write_host_tree(root, files):
    for path, data in files:
        host = os.path.join(root, path)
        os.makedirs(os.path.dirname(host), exist_ok=True)
        with open(host, "wb") as f:
            f.write(data)


# ------------------------------------------------------------------ volumes

def blank(image, mib):
    if os.path.exists(image):
        os.unlink(image)
    with open(image, "wb") as f:
        f.truncate(mib * MIB)


def mkfs_fat(image, bits, spc, serial, hidden=0):
    run("mkfs.fat", "-F", bits, "-s", spc, "-i", serial, "-h", hidden, "-n", "OLD", image)


def mkfs_exfat(image, cluster):
    run("mkfs.exfat", "-c", cluster, "-L", "old", image)


def mkntfs(image, cluster, start_sector=0):
    run("mkntfs", "-F", "-q", "-Q", "-c", cluster, "-p", start_sector, "-H", 16, "-S", 63, image)


def fill_fat(image, folders, files, work):
    """mtools, each folder made just before its files are copied, as a volume fills over time:
    folders' clusters lie among their files'. No mounting."""
    host = os.path.join(work, "host")
    shutil.rmtree(host, ignore_errors=True)
    write_host_tree(host, files)
    by_folder = {}
    for path, _ in files:
        by_folder.setdefault(os.path.dirname(path), []).append(os.path.join(host, path))
    for folder in [""] + folders:
        if folder:
            run("mmd", "-i", image, "::/" + folder)
        if by_folder.get(folder):
            run("mcopy", "-i", image, *by_folder[folder], "::/" + folder + ("/" if folder else ""))
    shutil.rmtree(host)


class Mounted:
    """A FUSE driver kept in the foreground, so that its last writes are known to be done when
    it exits after the unmount."""

    def __init__(self, command, work):
        self.mnt = tempfile.mkdtemp(prefix="mnt-", dir=work)
        self.proc = subprocess.Popen(command + [self.mnt], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while not os.path.ismount(self.mnt):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.proc.kill()
                raise Skip("could not mount with " + command[0])
            time.sleep(0.05)

    def close(self):
        subprocess.run(["sync"])
        subprocess.run(["umount", self.mnt], check=True)
        self.proc.wait(timeout=60)
        os.rmdir(self.mnt)


def write_mounted(mnt, files):
    for path, data in files:
        os.makedirs(os.path.join(mnt, os.path.dirname(path)), exist_ok=True)
        with open(os.path.join(mnt, path), "wb") as f:
            f.write(data)


def fill_ntfs(image, files, work, fragmented=False):
    need("ntfs-3g")
    need_fuse()
    m = Mounted(["ntfs-3g", "-o", "no_detach", image], work)
    try:
        pads = os.path.join(m.mnt, "pads")
        if fragmented:
            leave_holes(pads)
        write_mounted(m.mnt, files)
        if fragmented:
            shutil.rmtree(pads)
    finally:
        m.close()


def fill_exfat(image, files, work):
    need("mount.exfat-fuse", "losetup")
    need_fuse()
    try:
        loop = subprocess.run(["losetup", "-f", "--show", image], check=True, capture_output=True,
                              text=True).stdout.strip()
    except subprocess.CalledProcessError:
        raise Skip("no loop device for exfat-fuse")
    try:
        m = Mounted(["mount.exfat-fuse", "-d", loop], work)
        try:
            write_mounted(m.mnt, files)
        finally:
            m.close()
    finally:
        subprocess.run(["losetup", "-d", loop])


def leave_holes(pads):
    """Fills the volume with 256 KiB pads and frees every other one: an MFT growing as files
    come takes the holes one after the other, in pieces."""
    os.mkdir(pads)
    made = []
    try:
        for i in range(100000):
            with open(os.path.join(pads, "%05d" % i), "wb") as f:
                made.append(f.name)
                f.write(b"\x5a" * (256 << 10))
    except OSError:
        pass  # full
    for p in made[::2]:
        os.unlink(p)


def new_files(rng, count):
    return [("New %d after the format.%s" % (i, k), MAKERS[k](rng, s))
            for i, (k, s) in enumerate([("jpg", 120 * 1024), ("txt", 20 * 1024), ("png", 2000)][:count])]


# ------------------------------------------------------------------ the oracle

def le(b, off, width):
    return int.from_bytes(b[off:off + width], "little")


def tsk(tool, image, *args):
    return subprocess.run([tool, image] + [str(a) for a in args], capture_output=True, check=True,
                          timeout=60, stdin=subprocess.DEVNULL).stdout


def sectors_of(runs, sector):
    return [s for offset, length in runs for s in range(offset // sector, (offset + length + sector - 1) // sector)]


class Node:
    def __init__(self, path, inode, is_dir, sha1, runs, resident):
        self.path, self.inode, self.is_dir, self.sha1 = path, inode, is_dir, sha1
        self.parent, _, self.name = path.rpartition("/")
        self.runs = runs  # (offset in the volume, length) of its data in order
        self.resident = resident
        self.entry = []  # (offset in the volume, length) holding its entry
        self.tied = True  # whether its entry tells its folder


def walk(image):
    """The live files and folders of the volume in `image`, as The Sleuth Kit's fiwalk reads
    them: path, record or entry number, SHA-1 and where the data lies."""
    root = ET.fromstring(tsk("fiwalk", image, "-O", "-x"))
    nodes = {}
    for obj in root.iter():
        if not obj.tag.endswith("fileobject"):
            continue
        field = {child.tag.rpartition("}")[2]: child for child in obj}
        path = field["filename"].text
        parts = path.split("/")
        if (parts[-1] in (".", "..") or path.endswith("(Volume Label Entry)")
                or any(p.startswith("$") or ":" in p for p in parts)):
            continue  # system files, named streams
        runs, resident = [], False
        for run in obj.iter():
            if run.tag.endswith("byte_run"):
                resident |= run.get("type") == "resident"
                if run.get("type") is None:
                    runs.append((int(run.get("file_offset")), int(run.get("fs_offset")), int(run.get("len"))))
        sha1 = [h.text for h in obj.iter() if h.tag.endswith("hashdigest") and h.get("type") == "sha1"]
        nodes[path] = Node(path, int(field["inode"].text), field["name_type"].text == "d",
                           sha1[0] if sha1 else "", [(o, n) for _, o, n in sorted(runs)], resident)
    return nodes


class OldVolume:
    """What The Sleuth Kit tells of the volume in `image` before the damage; its byte ranges
    as they lie on the final disk, `offset` bytes in."""

    def __init__(self, image, offset, kind):
        self.kind, self.offset = kind, offset
        with open(image, "rb") as f:
            self.boot = f.read(SECTOR)
        self.nodes = walk(image)
        if kind == "ntfs":
            mft = walk_mft(image)
            cluster = le(self.boot, 11, 2) * self.boot[13]
            per = struct.unpack_from("<b", self.boot, 0x40)[0]
            record = cluster * per if per > 0 else 1 << -per
            for node in self.nodes.values():
                node.entry = map_range(mft, node.inode * record, record)
        else:
            self.fat_geometry(image)
            with open(image, "rb") as f:
                for node in self.nodes.values():
                    self.locate_entry(f, node)
        for node in self.nodes.values():
            if node.resident:
                node.runs = node.entry
            node.entry = [(self.offset + o, n) for o, n in node.entry]
            node.runs = [(self.offset + o, n) for o, n in node.runs]

    def fat_geometry(self, image):
        b = self.boot
        if self.kind == "exfat":
            self.sector = 1 << b[0x6C]
            self.spc = 1 << b[0x6D]
            self.first_data = self.heap = le(b, 0x58, 4)
        else:
            self.sector, self.spc = le(b, 11, 2), b[13]
            fat_sectors = le(b, 0x16, 2) or le(b, 0x24, 4)
            self.first_data = le(b, 14, 2) + b[16] * fat_sectors
            self.heap = self.first_data + le(b, 17, 2) * 32 // self.sector
        self.dirs = {"": istat_sectors(tsk("istat", image, 2))}
        for node in self.nodes.values():
            if node.is_dir:
                self.dirs[node.path] = sectors_of(node.runs, self.sector)

    def locate_entry(self, f, node):
        """The directory clusters holding the entry set: TSK numbers a FAT or exFAT entry by
        its place, 3 + its index counted in 32-byte slots from the first data sector."""
        per_sector = self.sector // 32
        sectors = self.dirs[node.parent]
        stream = b""
        for s in sectors:
            f.seek(s * self.sector)
            stream += f.read(self.sector)
        sector, index = divmod(node.inode - 3, per_sector)
        at = sectors.index(sector + self.first_data) * per_sector + index
        if self.kind == "exfat":
            assert stream[at * 32] == 0x85, node.path
            slots = range(at, at + 1 + stream[at * 32 + 1])
        else:
            assert stream[at * 32 + 11] != 0x0F, node.path
            first = at
            while first > 0 and stream[(first - 1) * 32 + 11] == 0x0F and at - first < 20:
                first -= 1
            slots = range(first, at + 1)
        held = {sectors[s // per_sector] for s in slots}
        entry = set()
        for s in held:
            if s >= self.heap:
                start = self.heap + (s - self.heap) // self.spc * self.spc
                entry.update(range(start, start + self.spc))
            else:
                entry.add(s)  # FAT12/16's root directory
        node.entry = [(s * self.sector, self.sector) for s in sorted(entry)]
        first_cluster = sectors[:self.spc] if node.parent else sectors
        node.tied = held <= set(first_cluster)


def istat_sectors(text):
    units, inside = [], False
    for line in text.decode(errors="replace").splitlines():
        if line.startswith("Sectors:"):
            inside = True
        elif inside and re.fullmatch(r"[\d ]+", line.strip() or "x"):
            units += [int(u) for u in line.split() if u != "0"]
    return units


def walk_mft(image):
    """The MFT's own runs, from the $MFT entry fiwalk lists with the system files."""
    root = ET.fromstring(tsk("fiwalk", image, "-x", "-g", "-z"))
    for obj in root.iter():
        if obj.tag.endswith("fileobject"):
            field = {child.tag.rpartition("}")[2]: child for child in obj}
            if field["filename"].text == "$MFT":
                return sorted((int(r.get("file_offset")), int(r.get("fs_offset")), int(r.get("len")))
                              for r in obj.iter() if r.tag.endswith("byte_run"))
    raise RuntimeError("no $MFT in " + image)


def map_range(runs, start, length):
    """Where bytes [start, start + length) of something stored in `runs` (file offset, disk
    offset, length) lie."""
    out = []
    for file_offset, disk, n in runs:
        lo, hi = max(start, file_offset), min(start + length, file_offset + n)
        if lo < hi:
            out.append((disk + lo - file_offset, hi - lo))
    return out


def digest(image, ranges):
    h = hashlib.sha256()
    with open(image, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        for o, n in ranges:
            h.update(m[o:o + n])
    return h.digest()


class Oracle:
    """The old volumes' files before the damage; after it, what of each is unchanged.
    `volumes`: (image, offset on the final disk, kind)."""

    def __init__(self, volumes, planted):
        self.volumes = []
        self.before = {}
        for image, offset, kind in volumes:
            v = OldVolume(image, offset, kind)
            self.volumes.append(v)
            for node in v.nodes.values():
                self.before[id(node)] = (digest(image, [(o - offset, n) for o, n in node.entry]),
                                         digest(image, [(o - offset, n) for o, n in node.runs]))
                if not node.is_dir and hashlib.sha1(planted.get(node.path, b"")).hexdigest() != node.sha1:
                    raise RuntimeError("the old volume does not hold what was written: " + node.path)
        self.planted = planted

    def rows(self, disk, formatted):
        rows = []
        for v in self.volumes:
            meta = {}
            for node in v.nodes.values():
                lost_root = formatted and v.kind != "ntfs" and node.parent == ""
                meta[node.path] = not lost_root and digest(disk, node.entry) == self.before[id(node)][0]
            for node in v.nodes.values():
                if node.is_dir:
                    continue
                data = self.planted[node.path]
                rows.append((node.path, len(data), hashlib.sha256(data).hexdigest(), meta[node.path],
                             digest(disk, node.runs) == self.before[id(node)][1],
                             self.kept(v, node, meta, formatted) if meta[node.path] else "-"))
        return rows

    @staticmethod
    def kept(v, node, meta, formatted):
        parts = [node.name]
        while node.parent:
            folder = v.nodes[node.parent]
            if not (node.tied or not formatted or v.kind == "ntfs") or not meta[folder.path]:
                break
            parts.insert(0, folder.name)
            node = folder
        return "/".join(parts)


def write_manifest(path, rows):
    with open(path, "w", encoding="utf-8") as f:
        f.write("# path\tsize\tsha256\tmetadata_survives\tbytes_survive\tkept_path\n")
        for p, size, sha, meta, data, kept in sorted(rows):
            f.write("%s\t%d\t%s\t%d\t%d\t%s\n" % (p, size, sha, meta, data, kept))


# ------------------------------------------------------------------ cases

def zero(image, offset, length):
    with open(image, "r+b") as f:
        f.seek(offset)
        f.write(bytes(length))


FAT_TOOLS = ("mkfs.fat", "mmd", "mcopy", "fiwalk", "istat")


def fat_case(bits, mib, spc, damage, new=0):
    def make(image, work, rng):
        need(*FAT_TOOLS)
        blank(image, mib)
        mkfs_fat(image, bits, spc, "0DD0AAAA")
        folders, files = plan_tree(rng, "f")
        fill_fat(image, folders, files, work)
        oracle = Oracle([(image, 0, "fat")], dict(files))
        formatted = damage(image)
        if new:
            host = os.path.join(work, "new")
            write_host_tree(host, new_files(rng, new))
            run("mcopy", "-i", image, *sorted(os.path.join(host, n) for n in os.listdir(host)), "::/")
        return oracle.rows(image, formatted)
    return make


def exfat_case(mib, cluster, damage):
    def make(image, work, rng):
        need("mkfs.exfat", "fiwalk", "istat")
        blank(image, mib)
        mkfs_exfat(image, cluster)
        _, files = plan_tree(rng, "x")
        fill_exfat(image, files, work)
        oracle = Oracle([(image, 0, "exfat")], dict(files))
        return oracle.rows(image, damage(image))
    return make


def ntfs_case(mib, cluster, damage, new=0, fragmented=False):
    def make(image, work, rng):
        need("mkntfs", "ntfscp", "fiwalk")
        blank(image, mib)
        mkntfs(image, cluster)
        _, files = plan_tree(rng, "n", small_files=200 if fragmented else 0)
        fill_ntfs(image, files, work, fragmented)
        if fragmented and len(walk_mft(image)) < 2:
            raise RuntimeError("the MFT did not fragment")
        oracle = Oracle([(image, 0, "ntfs")], dict(files))
        formatted = damage(image)
        for name, data in new_files(rng, new):
            src = os.path.join(work, "new.bin")
            with open(src, "wb") as f:
                f.write(data)
            run("ntfscp", "-f", "-q", image, src, name)
        return oracle.rows(image, formatted)
    return make


def disk_case(image, work, rng):
    """An MBR disk of a FAT32 and an NTFS partition whose table entries were zeroed."""
    need("sfdisk", "mkntfs", *FAT_TOOLS)
    need_fuse()
    fat_mib, ntfs_mib = 48, 56
    blank(image, 1 + fat_mib + ntfs_mib + 1)
    p1, p2 = DISK_PARTITION_START, DISK_PARTITION_START + fat_mib * MIB // SECTOR
    run("sfdisk", "-q", image, input=("label: dos\n%d,%d,c\n%d,%d,7\n" % (
        p1, fat_mib * MIB // SECTOR, p2, ntfs_mib * MIB // SECTOR)).encode())
    fat, ntfs = os.path.join(work, "p1.img"), os.path.join(work, "p2.img")
    blank(fat, fat_mib)
    mkfs_fat(fat, 32, 1, "0DD0BBBB", hidden=p1)
    fat_folders, fat_files = plan_tree(rng, "p")
    fill_fat(fat, fat_folders, fat_files, work)
    blank(ntfs, ntfs_mib)
    mkntfs(ntfs, 4096, p2)
    _, ntfs_files = plan_tree(rng, "q")
    fill_ntfs(ntfs, ntfs_files, work)
    oracle = Oracle([(fat, p1 * SECTOR, "fat"), (ntfs, p2 * SECTOR, "ntfs")], dict(fat_files + ntfs_files))
    for part, start in ((fat, p1), (ntfs, p2)):
        run("dd", "if=" + part, "of=" + image, "bs=1M", "seek=%d" % (start * SECTOR // MIB),
            "conv=notrunc,sparse", "status=none")
        os.unlink(part)
    zero(image, 446, 64)
    return oracle.rows(image, False)


def requick(mkfs, *args):
    def damage(image):
        mkfs(image, *args)
        return True
    return damage


def zero_boot_sector(image):
    zero(image, 0, SECTOR)
    return False


CASES = {
    # mkfs.fat with the same cluster size, then new files written by mtools.
    "fat32-requick": fat_case(32, 128, 2, requick(mkfs_fat, 32, 2, "0DD0CCCC"), new=3),
    "fat16-requick": fat_case(16, 32, 4, requick(mkfs_fat, 16, 4, "0DD0CCCC"), new=3),
    "fat32-recluster": fat_case(32, 128, 2, requick(mkfs_fat, 32, 1, "0DD0CCCC")),
    # The backup at sector 6 left.
    "fat32-bootzero": fat_case(32, 128, 2, zero_boot_sector),
    "exfat-requick": exfat_case(64, 4096, requick(mkfs_exfat, 4096)),
    "exfat-recluster": exfat_case(64, 4096, requick(mkfs_exfat, 32768)),
    # mkntfs -Q with the same cluster size, then new files written by ntfscp.
    "ntfs-requick": ntfs_case(64, 4096, requick(mkntfs, 4096), new=3),
    "ntfs-recluster": ntfs_case(64, 4096, requick(mkntfs, 1024)),
    # The backup at the last sector left.
    "ntfs-bootzero": ntfs_case(64, 4096, zero_boot_sector),
    # An MFT grown in pieces among other files' clusters, then quick-formatted.
    "ntfs-fragmft": ntfs_case(64, 4096, requick(mkntfs, 4096), fragmented=True),
    "disk-notable": disk_case,
}


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    out = os.path.abspath(sys.argv[1])
    chosen = sys.argv[2:] or list(CASES)
    os.makedirs(out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="relicta-deep-cases-")
    failed = False
    try:
        for seed, name in enumerate(CASES):
            if name not in chosen:
                continue
            image = os.path.join(out, name + ".img")
            started = time.monotonic()
            try:
                rows = CASES[name](image, work, random.Random(seed))
                write_manifest(os.path.join(out, name + ".tsv"), rows)
                print("%-16s %3d files, %3d with metadata, %3d with bytes too, %.1f s" % (
                    name, len(rows), sum(r[3] for r in rows), sum(r[3] and r[4] for r in rows),
                    time.monotonic() - started), file=sys.stderr)
            except Skip as e:
                print("%-16s skipped: %s" % (name, e), file=sys.stderr)
                if os.path.exists(image):
                    os.unlink(image)
            except (subprocess.SubprocessError, OSError, RuntimeError, AssertionError, ValueError, KeyError) as e:
                detail = getattr(e, "stderr", b"") or b""
                print("%-16s failed: %r %s" % (name, e, detail.decode(errors="replace")), file=sys.stderr)
                failed = True
                if os.path.exists(image):
                    os.unlink(image)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
