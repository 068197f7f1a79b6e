#!/usr/bin/env python3
"""Makes the carving cases at test time: files of every format made by the real tools (convert,
ffmpeg, img2pdf, heif-enc, exiftool, zip, tiffset), laid on volumes that are then quick-formatted
(no entry left for most of them) and on raw images with no file system, where they lie as the
DFRWS 2006/2007 carving challenges lay theirs, in 512-byte blocks: contiguous, in two fragments
with a gap of 1..1000 blocks (random bytes, zeros or another file), split by another file,
braided with another, nested in another (a JPEG stored in a ZIP), fragments out of order.

  tests/data/make-carve-cases.py OUTDIR [CASE...]

OUTDIR/<case>.img, and OUTDIR/<case>.tsv with a comment line "# block N" (the unit gaps are
counted in: 512 on raw images, the cluster on volumes), a comment line naming the columns, and
one row per file put on the image:
  name format size md5 sha256 layout gap_blocks entry bytes extents name_has parent deleted gap_fill
  path
layout is contiguous, two-fragments (the gap random or zeros), split (another file fills the
gap), braided, out-of-order, nested (inside `parent`), fragments-N (a volume's allocator made N
pieces). gap_blocks is the gap between a two-piece file's pieces ("-" otherwise). entry is 1
when an entry or record of the file survives the damage (a deep scan can list it by name).
bytes is 1 when every byte of it is still where it was. extents are the file's bytes on the
image in file order, "offset+length,...". name_has lists, "|"-separated, what a name made from
the file's metadata holds (a photo's date and camera, a title, an artist), "-" when nothing.
deleted is 1 for a volume's file deleted before the format. gap_fill tells what lies between
two pieces: random, zeros, or file (another file; on a volume, whatever the allocator put).
path is a volume's file's path below its root ("-" on raw images). Format "bin" is random
bytes written to shape the layout (the B between the pieces of a C), no file to carve.

The CR2-like raw: a two-page TIFF written by convert (a small first page standing for the
preview, the large second one for the raw data), Make and Model set by tiffset, then every
offset in it moved 8 bytes on to make room for Canon's "CR" 2 0 and the raw IFD's offset at
bytes 8..15.

Volumes: FAT32 with 4 KiB clusters (mkfs.fat, mtools; 264 MiB sparse, the least FAT32 holds
with that cluster), NTFS (mkntfs -Q, ntfs-3g) and exFAT (mkfs.exfat, exfat-fuse over a loop
device), the last two as root with /dev/fuse only. Two-piece files come of the allocator: a
small A, a big B, A deleted, then C larger than A's hole (ntfs-3g looks for a free run that
holds the whole file, so on NTFS they lie whole). A case that cannot be made is named on stderr
and left out.
"""

import concurrent.futures
import hashlib
import importlib.util
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
_spec = importlib.util.spec_from_file_location("deep_cases", os.path.join(HERE, "make-deep-cases.py"))
deep = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(deep)

ENV = deep.ENV
MIB = 1 << 20
BLOCK = 512
CONVERT = "/usr/bin/convert"  # ImageMagick's own, not a stand-in earlier on the PATH
WORKERS = 2
Skip = deep.Skip

CAMERAS = [("Canon", "Canon EOS 80D"), ("NIKON CORPORATION", "NIKON D750"), ("SONY", "ILCE-7M3"),
           ("FUJIFILM", "X-T3"), ("Apple", "iPhone 12")]
RAW_CAMERAS = [("Canon", "Canon EOS 5D Mark IV"), ("Canon", "Canon EOS R6")]
WORDS = deep.WORDS


def run(*args, cwd=None):
    deep.run(*args, cwd=cwd)


def need(*tools):
    deep.need(*tools)


class File:
    def __init__(self, name, kind, data, name_has=()):
        self.name, self.kind, self.data = name, kind, data
        self.name_has = list(name_has)


# ------------------------------------------------------------------ files, made by the tools

class Maker:
    """Makes files of one kind each call, into a scratch folder of its own."""

    def __init__(self, work, seed):
        self.work = work
        self.bases = []
        self.seed = seed
        self.made = {}

    def scratch(self, tag):
        d = os.path.join(self.work, tag)
        os.makedirs(d, exist_ok=True)
        return d

    def make_bases(self, count):
        """Plasma with noise: crops of it compress as photos do."""
        def one(i):
            path = os.path.join(self.work, "base%d.miff" % i)
            run(CONVERT, "-seed", self.seed * 100 + i, "-size", "1600x1200", "plasma:fractal",
                "-attenuate", "%.2f" % (0.5 + 0.1 * i), "+noise", "Gaussian", path)
            return path
        with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
            self.bases = list(pool.map(one, range(count)))

    def crop(self, rng, out, width, height, *extra):
        base = rng.choice(self.bases)
        x, y = rng.randint(0, 1600 - width), rng.randint(0, 1200 - height)
        run(CONVERT, base, "-crop", "%dx%d+%d+%d" % (width, height, x, y), "+repage", *extra, out)

    def jpg(self, rng, tag, big=False):
        d = self.scratch(tag)
        out = os.path.join(d, "photo.jpg")
        width = rng.randint(1200, 1600) if big else rng.randint(800, 1400)
        self.crop(rng, out, width, width * 3 // 4, "-quality", rng.randint(82, 95))
        make, model = rng.choice(CAMERAS)
        when = "%04d:%02d:%02d %02d:%02d:%02d" % (rng.randint(2015, 2024), rng.randint(1, 12), rng.randint(1, 28),
                                                  rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59))
        args = ["-q", "-overwrite_original", "-DateTimeOriginal=" + when, "-Make=" + make, "-Model=" + model]
        if rng.random() < 0.4:  # an EXIF thumbnail: a JPEG inside the JPEG
            thumb = os.path.join(d, "thumb.jpg")
            run(CONVERT, out, "-thumbnail", "160x120", "-quality", "75", thumb)
            args.append("-ThumbnailImage<=" + thumb)
        run("exiftool", *args, out)
        date, clock = when.split(" ")
        return "jpg", read(out), [date.replace(":", "-") + " " + clock.replace(":", "-"), model]

    def png(self, rng, tag):
        out = os.path.join(self.scratch(tag), "picture.png")
        w = rng.randint(200, 520)
        self.crop(rng, out, w, w * 3 // 4)
        return "png", read(out), []

    def gif(self, rng, tag):
        out = os.path.join(self.scratch(tag), "picture.gif")
        w = rng.randint(160, 420)
        self.crop(rng, out, w, w * 3 // 4, "-colors", rng.choice([16, 64, 200]))
        return "gif", read(out), []

    def tif(self, rng, tag):
        out = os.path.join(self.scratch(tag), "picture.tif")
        w = rng.randint(200, 420)
        self.crop(rng, out, w, w * 3 // 4, "-compress", rng.choice(["none", "lzw"]))
        return "tif", read(out), []

    def cr2(self, rng, tag):
        d = self.scratch(tag)
        full, out = os.path.join(d, "full.tif"), os.path.join(d, "raw.tif")
        w = rng.randint(360, 520)
        self.crop(rng, full, w, w * 3 // 4, "-compress", "none")
        run(CONVERT, full, "(", "+clone", "-resize", "25%", ")", "+swap", "-compress", "none", out)
        make, model = rng.choice(RAW_CAMERAS)
        run("tiffset", "-d", "0", "-s", "271", make, out)
        run("tiffset", "-d", "0", "-s", "272", model, out)
        return "cr2", canon_header(read(out)), [model]

    def heic(self, rng, tag):
        d = self.scratch(tag)
        src, out = os.path.join(d, "src.jpg"), os.path.join(d, "picture.heic")
        self.crop(rng, src, 512, 384, "-quality", "92")
        run("heif-enc", "-q", rng.randint(40, 70), src, "-o", out)
        return "heic", read(out), []

    def pdf(self, rng, tag):
        d = self.scratch(tag)
        src, out = os.path.join(d, "page.jpg"), os.path.join(d, "doc.pdf")
        w = rng.randint(400, 900)
        self.crop(rng, src, w, w * 4 // 3 if w * 4 // 3 <= 1200 else 1200, "-quality", "85")
        title = "%s %s %d" % (rng.choice(WORDS), rng.choice(WORDS), rng.randint(1, 999))
        run("img2pdf", "--title", title, "--creationdate", "2023-03-04T05:06:07", "-o", out, src)
        return "pdf", read(out), [title]

    def mp3(self, rng, tag):
        out = os.path.join(self.scratch(tag), "song.mp3")
        title = "%s %s" % (rng.choice(WORDS), rng.choice(WORDS))
        artist = "The %ss" % rng.choice(WORDS)
        run("ffmpeg", "-nostdin", "-y", "-f", "lavfi", "-i",
            "sine=frequency=%d:duration=%d" % (rng.randint(200, 900), rng.randint(4, 14)),
            "-c:a", "libmp3lame", "-b:a", "128k", "-metadata", "title=" + title, "-metadata", "artist=" + artist,
            *(["-write_id3v1", "1"] if rng.random() < 0.5 else []), out)
        return "mp3", read(out), [title, artist]

    def wav(self, rng, tag):
        out = os.path.join(self.scratch(tag), "sound.wav")
        run("ffmpeg", "-nostdin", "-y", "-f", "lavfi", "-i",
            "sine=frequency=%d:duration=%d" % (rng.randint(200, 900), rng.randint(1, 4)), "-c:a", "pcm_s16le", out)
        return "wav", read(out), []

    def video(self, rng, tag, ext):
        out = os.path.join(self.scratch(tag), "clip." + ext)
        when = "%04d-%02d-%02dT%02d:%02d:%02dZ" % (rng.randint(2016, 2024), rng.randint(1, 12), rng.randint(1, 28),
                                                   rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59))
        seconds = rng.randint(2, 5)
        args = ["ffmpeg", "-nostdin", "-y", "-f", "lavfi", "-i",
                "testsrc2=size=320x240:rate=25:duration=%d" % seconds, "-f", "lavfi", "-i",
                "sine=frequency=%d:duration=%d" % (rng.randint(200, 900), seconds)]
        if ext == "avi":
            run(*args, "-c:v", "mpeg4", "-q:v", "4", "-c:a", "pcm_s16le", out)
            return "avi", read(out), []
        faststart = ["-movflags", "+faststart"] if rng.random() < 0.5 else []
        run(*args, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac",
            "-metadata", "creation_time=" + when, *faststart, out)
        return ext, read(out), [when[:10]]

    def mp4(self, rng, tag):
        return self.video(rng, tag, "mp4")

    def mov(self, rng, tag):
        return self.video(rng, tag, "mov")

    def avi(self, rng, tag):
        return self.video(rng, tag, "avi")

    def zip(self, rng, tag, inner=None):
        d = self.scratch(tag)
        members = os.path.join(d, "m")
        os.makedirs(members, exist_ok=True)
        names = []
        for i in range(rng.randint(1, 4)):
            names.append("notes%d.txt" % i)
            write(os.path.join(members, names[-1]), text(rng, rng.randint(500, 40000)))
        names.append("data.bin")
        write(os.path.join(members, names[-1]), rng.randbytes(rng.randint(10000, 300000)))
        if inner is not None:  # stored, so that it lies whole inside the archive
            names.append("photo.jpg")
            write(os.path.join(members, names[-1]), inner)
        out = os.path.join(d, "archive.zip")
        stamp(members)
        run("zip", "-q", "-X", "-0" if inner is not None else "-6", out, *names, cwd=members)
        return "zip", read(out), []

    def docx(self, rng, tag):
        d = self.scratch(tag)
        m = os.path.join(d, "docx")
        write(os.path.join(m, "[Content_Types].xml"), (
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Types xmlns="http://schemas.openxmlformats'
            '.org/package/2006/content-types"><Default Extension="rels" ContentType="application/vnd.openxmlformats'
            '-package.relationships+xml"/><Default Extension="xml" ContentType="application/xml"/><Override PartName'
            '="/word/document.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.'
            'document.main+xml"/></Types>').encode())
        write(os.path.join(m, "_rels", ".rels"), (
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships xmlns="http://schemas.'
            'openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.'
            'openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="word/document.xml"/>'
            '</Relationships>').encode())
        paragraphs = "".join("<w:p><w:r><w:t>%s</w:t></w:r></w:p>" % text(rng, rng.randint(80, 400)).decode()
                             for _ in range(rng.randint(20, 300)))
        write(os.path.join(m, "word", "document.xml"), (
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<w:document xmlns:w="http://schemas.'
            'openxmlformats.org/wordprocessingml/2006/main"><w:body>' + paragraphs + '</w:body></w:document>').encode())
        out = os.path.join(d, "letter.docx")
        stamp(m)
        run("zip", "-q", "-X", out, "[Content_Types].xml", "_rels/.rels", "word/document.xml", cwd=m)
        return "docx", read(out), []

    def odt(self, rng, tag):
        d = self.scratch(tag)
        m = os.path.join(d, "odt")
        write(os.path.join(m, "mimetype"), b"application/vnd.oasis.opendocument.text")
        write(os.path.join(m, "META-INF", "manifest.xml"), (
            '<?xml version="1.0" encoding="UTF-8"?>\n<manifest:manifest xmlns:manifest="urn:oasis:names:tc:'
            'opendocument:xmlns:manifest:1.0"><manifest:file-entry manifest:full-path="/" manifest:media-type='
            '"application/vnd.oasis.opendocument.text"/><manifest:file-entry manifest:full-path="content.xml" '
            'manifest:media-type="text/xml"/></manifest:manifest>').encode())
        body = "".join("<text:p>%s</text:p>" % text(rng, rng.randint(80, 400)).decode()
                       for _ in range(rng.randint(20, 200)))
        write(os.path.join(m, "content.xml"), (
            '<?xml version="1.0" encoding="UTF-8"?>\n<office:document-content xmlns:office="urn:oasis:names:tc:'
            'opendocument:xmlns:office:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0">'
            '<office:body><office:text>' + body + '</office:text></office:body></office:document-content>').encode())
        out = os.path.join(d, "memo.odt")
        stamp(m)
        run("zip", "-q", "-X", "-0", out, "mimetype", cwd=m)
        run("zip", "-q", "-X", out, "META-INF/manifest.xml", "content.xml", cwd=m)
        return "odt", read(out), []

    def html(self, rng, tag):
        rows = "".join("<p>%s</p>\n" % text(rng, rng.randint(60, 300)).decode() for _ in range(rng.randint(10, 150)))
        title = "%s %s" % (rng.choice(WORDS), rng.choice(WORDS))
        return "html", ("<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"utf-8\"><title>%s</title></head>\n"
                        "<body>\n<h1>%s</h1>\n%s</body>\n</html>\n" % (title, title, rows)).encode(), []

    def xml(self, rng, tag):
        items = "".join("  <item id=\"%d\"><name>%s</name><note>%s</note></item>\n" % (
            i, rng.choice(WORDS), text(rng, rng.randint(20, 200)).decode()) for i in range(rng.randint(10, 200)))
        return "xml", ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog>\n%s</catalog>\n" % items).encode(), []

    def txt(self, rng, tag):
        return "txt", text(rng, rng.randint(1500, 60000)), []


KINDS = ["jpg", "png", "gif", "tif", "cr2", "heic", "pdf", "zip", "docx", "odt", "mp3", "wav", "mp4", "mov",
         "avi", "html", "xml", "txt"]
TEXT_KINDS = {"html", "xml", "txt"}


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def stamp(folder):
    """A fixed time on every member, so that an archive's bytes do not depend on the clock."""
    for dirpath, _, names in os.walk(folder):
        for n in names:
            os.utime(os.path.join(dirpath, n), (1683356890, 1683356890))


def text(rng, size):
    out = []
    total = 0
    while total < size:
        line = " ".join(rng.choice(WORDS).lower() for _ in range(rng.randint(6, 14))) + ".\n"
        out.append(line)
        total += len(line)
    return "".join(out).encode()[:size]


def make_files(maker, plan, seed):
    """`plan`: (kind, extra arguments) per file; made two at a time, each from its own seed.
    Returns File objects named by kind and number; the same plan and seed again, the same."""
    key = (seed, repr(plan))
    if key in maker.made:
        return maker.made[key]

    def one(i):
        kind, extra = plan[i]
        rng = random.Random(seed * 10007 + i)
        made_kind, data, has = getattr(maker, kind)(rng, "s%d-%d" % (seed, i), **extra)
        return File("%s-%03d.%s" % (made_kind, i, made_kind), made_kind, data, has)
    with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
        maker.made[key] = list(pool.map(one, range(len(plan))))
    return maker.made[key]


# ------------------------------------------------------------------ a CR2-like TIFF

TIFF_TYPE_SIZE = {1: 1, 2: 1, 3: 2, 4: 4, 5: 8, 6: 1, 7: 1, 8: 2, 9: 4, 10: 8, 11: 4, 12: 8, 13: 4}
TIFF_OFFSET_TAGS = {273, 324, 330, 513, 34665}  # strips, tiles, SubIFDs, JPEG, EXIF IFD


def canon_header(tiff):
    """The little-endian TIFF `tiff` with 8 bytes put after its header: "CR", version 2.0 and
    the offset of its last IFD (the raw's), every offset in it moved on by 8."""
    assert tiff[:4] == b"II*\0"
    out = bytearray(tiff[:8] + bytes(8) + tiff[8:])

    def u16(at):
        return struct.unpack_from("<H", tiff, at)[0]

    def u32(at):
        return struct.unpack_from("<I", tiff, at)[0]

    def move(at):  # a 32-bit offset stored at `at` in the old file
        struct.pack_into("<I", out, at + 8, u32(at) + 8)

    ifds, queue = [], [u32(4)]
    while queue and len(ifds) < 64:
        ifd = queue.pop(0)
        if ifd == 0 or ifd in ifds or ifd + 2 > len(tiff):
            continue
        ifds.append(ifd)
        count = u16(ifd)
        for e in range(ifd + 2, ifd + 2 + 12 * count, 12):
            tag, kind, n = u16(e), u16(e + 2), u32(e + 4)
            size = TIFF_TYPE_SIZE.get(kind, 1) * n
            values = e + 8
            if size > 4:
                move(values)
                values = u32(values)
            if tag in TIFF_OFFSET_TAGS and kind in (3, 4, 13):
                width = 2 if kind == 3 else 4
                for v in range(values, values + width * n, width):
                    if width == 2:
                        struct.pack_into("<H", out, v + 8, u16(v) + 8)
                    else:
                        move(v)
                    if tag in (330, 34665):
                        queue.append(u16(v) if width == 2 else u32(v))
        next_at = ifd + 2 + 12 * count
        if u32(next_at):
            move(next_at)
            queue.append(u32(next_at))
    struct.pack_into("<I", out, 4, u32(4) + 8)
    out[8:16] = b"CR\x02\x00" + struct.pack("<I", ifds[-1] + 8)
    return bytes(out)


# ------------------------------------------------------------------ the truth

class Row:
    def __init__(self, f, layout, extents, gap="-", entry=False, parent="-"):
        self.f, self.layout, self.extents, self.gap = f, layout, extents, gap
        self.entry, self.parent = entry, parent
        self.bytes = True
        self.deleted = False
        self.gap_fill = "-"
        self.path = "-"


COLUMNS = ["name", "format", "size", "md5", "sha256", "layout", "gap_blocks", "entry", "bytes", "extents",
           "name_has", "parent", "deleted", "gap_fill", "path"]


def write_truth(path, rows, block, image):
    with open(path, "w", encoding="utf-8") as out, open(image, "rb") as img:
        out.write("# block %d\n" % block)
        out.write("# " + "\t".join(COLUMNS) + "\n")
        for r in rows:
            on_disk = b""
            for o, n in r.extents:
                img.seek(o)
                on_disk += img.read(n)
            r.bytes = r.bytes and on_disk == r.f.data
            out.write("\t".join([
                r.f.name, r.f.kind, str(len(r.f.data)), hashlib.md5(r.f.data).hexdigest(),
                hashlib.sha256(r.f.data).hexdigest(), r.layout, str(r.gap), "1" if r.entry else "0",
                "1" if r.bytes else "0", ",".join("%d+%d" % e for e in r.extents),
                "|".join(r.f.name_has) or "-", r.parent, "1" if r.deleted else "0",
                r.gap_fill, r.path]) + "\n")


# ------------------------------------------------------------------ raw images, DFRWS style

class Raw:
    """An image built block by block."""

    def __init__(self, rng):
        self.rng = rng
        self.data = bytearray()
        self.rows = []

    def fill(self, blocks, how):
        n = blocks * BLOCK
        self.data += bytes(n) if how == "zeros" else self.rng.randbytes(n)

    def put(self, data, slack="random"):
        """`data` from the next block on; the rest of its last block random (as a reused
        sector is) or zeros."""
        at = len(self.data)
        self.data += data
        tail = -len(self.data) % BLOCK
        self.data += bytes(tail) if slack == "zeros" else self.rng.randbytes(tail)
        return at

    def contiguous(self, f):
        at = self.put(f.data, "zeros" if f.kind in TEXT_KINDS else "random")
        self.rows.append(Row(f, "contiguous", [(at, len(f.data))]))
        if f.kind in TEXT_KINDS:
            self.fill(1, "zeros")  # text ends where zeros begin, not in random bytes

    def pieces(self, f, cuts):
        """`f` cut at the given block counts into pieces."""
        bounds = [0] + [c * BLOCK for c in cuts] + [len(f.data)]
        return [f.data[a:b] for a, b in zip(bounds, bounds[1:])]

    def cut(self, f, parts):
        blocks = (len(f.data) + BLOCK - 1) // BLOCK
        cuts = sorted(self.rng.sample(range(1, blocks), parts - 1))
        return self.pieces(f, cuts)

    def two_fragments(self, f, gap, fill, filler=None):
        first, second = self.cut(f, 2)
        a = self.put(first)
        if filler is not None:
            start = len(self.data)
            self.contiguous(filler)
            gap = (len(self.data) - start) // BLOCK
        else:
            self.fill(gap, fill)
        b = self.put(second)
        self.rows.append(Row(f, "split" if filler is not None else "two-fragments",
                             [(a, len(first)), (b, len(second))], gap))
        self.rows[-1].gap_fill = "file" if filler is not None else fill

    def braided(self, f, g):
        fp, gp = self.cut(f, 3), self.cut(g, 3)
        fe, ge = [], []
        for x, y in zip(fp, gp):
            fe.append((self.put(x), len(x)))
            ge.append((self.put(y), len(y)))
        self.rows += [Row(f, "braided", fe), Row(g, "braided", ge)]

    def out_of_order(self, f, gap):
        first, second = self.cut(f, 2)
        b = self.put(second)
        self.fill(gap, "random")
        a = self.put(first)
        self.rows.append(Row(f, "out-of-order", [(a, len(first)), (b, len(second))], gap))
        self.rows[-1].gap_fill = "random"

    def nested(self, holder, inner):
        at = self.put(holder.data)
        self.rows.append(Row(holder, "contiguous", [(at, len(holder.data))]))
        offset = holder.data.find(inner.data)
        assert offset >= 0
        self.rows.append(Row(inner, "nested", [(at + offset, len(inner.data))], parent=holder.name))

    def save(self, image, mib_at_least=32):
        self.fill((max(mib_at_least * MIB, len(self.data) + MIB) // MIB * MIB - len(self.data)) // BLOCK, "random")
        with open(image, "wb") as f:
            f.write(self.data)


def every_kind(count_each):
    return [(k, {}) for k in KINDS for _ in range(count_each)]


def raw_contiguous(image, work, rng, maker):
    """Every format, whole, with random bytes or zeros between."""
    plan = every_kind(2) + [("jpg", {"big": True})] * 4 + [("jpg", {})] * 8
    files = make_files(maker, plan, 1)
    rng.shuffle(files)
    raw = Raw(rng)
    raw.fill(64, "zeros")
    for f in files:
        raw.contiguous(f)
        raw.fill(rng.choice([0, 0, 1, 3, 17, 200]), rng.choice(["random", "zeros"]))
    raw.save(image)
    return raw.rows, BLOCK


GAPS = [1, 2, 3, 5, 8, 16, 33, 64, 100, 170, 250, 333, 400, 512, 640, 750, 800, 900, 999, 1000]


def raw_fragments(image, work, rng, maker):
    """Two fragments with gaps of 1..1000 blocks, split by another file, braided, out of
    order, nested; contiguous files between."""
    two = [("jpg", {})] * 12 + [("png", {})] * 6 + [("zip", {})] * 6
    fillers = [("gif", {}), ("wav", {}), ("mp3", {}), ("gif", {})]  # each under 1000 blocks
    others = [("jpg", {})] * 4 + [("pdf", {}), ("docx", {}), ("mp4", {}), ("tif", {})]
    files = make_files(maker, two + fillers + others + [("jpg", {})], 2)
    inner = files[-1]
    holder = make_files(maker, [("zip", {"inner": inner.data})], 3)[0]
    holder.name = "zip-with-photo.zip"
    inner.name = "photo-in-zip.jpg"
    two_files, fill_files = files[:len(two)], files[len(two):len(two) + len(fillers)]
    rest = files[len(two) + len(fillers):-1]
    rng.shuffle(two_files)
    raw = Raw(rng)
    raw.fill(64, "random")
    gaps = GAPS + rng.sample(range(1, 1001), len(two_files))
    for i, f in enumerate(two_files):
        if i < len(fill_files):
            raw.two_fragments(f, 0, "", filler=fill_files[i])
        else:
            raw.two_fragments(f, gaps[i], "zeros" if i % 3 == 0 else "random")
        raw.fill(rng.choice([0, 2, 9]), "random")
    raw.braided(rest[0], rest[1])
    raw.fill(5, "random")
    raw.out_of_order(rest[2], 40)
    raw.fill(5, "random")
    raw.out_of_order(rest[3], 1)
    raw.fill(5, "random")
    raw.nested(holder, inner)
    for f in rest[4:]:
        raw.fill(7, "random")
        raw.contiguous(f)
    raw.save(image)
    return raw.rows, BLOCK


# ------------------------------------------------------------------ volumes, quick-formatted

FAT_MIB, FAT_SPC = 264, 8  # 4 KiB clusters; fewer than 65525 of them would not be FAT32


def fs_plan():
    """Files for a volume: every format, photos the most; (kind, args) and where each goes:
    'root', 'folder', or 'frag' for the C of an A-B-C triple."""
    plan = [(k, {}, "root") for k in KINDS]
    plan += [("jpg", {}, "root")] * 6 + [("jpg", {}, "folder")] * 4 + [("pdf", {}, "folder"), ("txt", {}, "folder")]
    plan += [(k, {}, "frag") for k in ("jpg", "jpg", "png", "zip", "jpg", "pdf")]
    return plan


class FsLayout:
    """Writes files through a volume's driver (its write, delete, reset_hint)."""

    def __init__(self, rng):
        self.rng = rng

    def fill(self, files, places, driver):
        """Returns the paths written, the pads left between (path: bytes), and the paths of
        files to delete at the end."""
        paths, pads = {}, {}
        for f, place in zip(files, places):
            if place == "frag":
                a, b = "a%d.bin" % len(pads), "b%d.bin" % len(pads)
                driver.write(a, self.rng.randbytes(self.rng.randint(8, 40) * 1024))
                pads[b] = self.rng.randbytes(self.rng.randint(40, 900) * 1024)
                driver.write(b, pads[b])
                driver.delete(a)
                driver.reset_hint()
            path = ("DCIM/" if place == "folder" else "") + f.name
            driver.write(path, f.data)
            paths[f.name] = path
        live = [f for f, p in zip(files, places) if p == "root"]
        deleted = [paths[f.name] for f in self.rng.sample(live, 5)]
        return paths, pads, deleted


def rows_of(files, paths, runs, entries, cluster):
    rows = []
    for f in files:
        extents = runs[paths[f.name]]
        gap = "-"
        if len(extents) == 1:
            layout = "contiguous"
        elif len(extents) == 2:
            gap = (extents[1][0] - extents[0][0] - extents[0][1]) // cluster
            layout = "two-fragments" if gap >= 0 else "out-of-order"
            gap = abs(gap)
        else:
            layout = "fragments-%d" % len(extents)
        rows.append(Row(f, layout, extents, gap, entries.get(paths[f.name], False)))
        rows[-1].gap_fill = "-" if gap == "-" else "file"  # what the allocator put between
    return rows


def fs_case(make_volume, open_driver, requick, block_of):
    def make(image, work, rng, maker):
        make_volume(image)
        plan = fs_plan()
        files = make_files(maker, [(k, a) for k, a, _ in plan], 4)  # the same files on every volume
        layout = FsLayout(rng)
        with open_driver(image, work) as driver:
            paths, pads, deleted = layout.fill(files, [p for _, _, p in plan], driver)
        files = files + [File(p, "bin", data) for p, data in pads.items()]
        paths.update((p, p) for p in pads)
        planted = {paths[f.name]: f.data for f in files}
        oracle = deep.Oracle([(image, 0, driver.kind)], planted)
        runs = {p: oracle.volumes[0].nodes[p].runs for p in planted}
        if deleted:
            with open_driver(image, work) as driver:
                for p in deleted:
                    driver.delete(p)
        requick(image)
        entries = {r[0]: bool(r[3]) for r in oracle.rows(image, True)}
        for p in deleted:
            entries[p] = False  # a deleted entry is not one the deep scan lists by its name
        cluster = block_of(image)
        rows = rows_of(files, paths, runs, entries, cluster)
        for r in rows:
            r.deleted = paths[r.f.name] in deleted
            r.path = paths[r.f.name]
        return rows, cluster
    return make


class Mtools:
    kind = "fat"

    def __init__(self, image, work):
        self.image, self.work = image, work

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def write(self, path, data):
        host = os.path.join(self.work, "mt", os.path.basename(path))
        write(host, data)
        folder = os.path.dirname(path)
        if folder:
            subprocess.run(["mmd", "-i", self.image, "::/" + folder], env=ENV, capture_output=True)
        run("mcopy", "-i", self.image, host, "::/" + path)
        os.unlink(host)

    def delete(self, path):
        run("mdel", "-i", self.image, "::/" + path)

    def reset_hint(self):
        """FSInfo's next-free hint forgotten: mtools then takes the first free cluster, the
        hole a deleted file left."""
        with open(self.image, "r+b") as f:
            f.seek(BLOCK + 0x1EC)
            f.write(struct.pack("<I", 0xFFFFFFFF))


class Mounted:
    """A FUSE mount (ntfs-3g, or exfat-fuse over a loop device) as a driver."""

    def __init__(self, image, work, kind):
        self.image, self.work, self.kind = image, work, kind
        self.loop = None

    def __enter__(self):
        deep.need_fuse()
        need("ntfs-3g" if self.kind == "ntfs" else "mount.exfat-fuse", "losetup")
        if self.kind == "exfat":
            self.loop = subprocess.run(["losetup", "-f", "--show", self.image], check=True, capture_output=True,
                                       text=True).stdout.strip()
        try:
            self.mount()
        except Exception:
            self.__exit__()
            raise
        return self

    def mount(self):
        if self.kind == "ntfs":
            self.m = deep.Mounted(["ntfs-3g", "-o", "no_detach", self.image], self.work)
        else:
            self.m = deep.Mounted(["mount.exfat-fuse", "-d", self.loop], self.work)

    def __exit__(self, *exc):
        try:
            if getattr(self, "m", None):
                self.m.close()
        finally:
            if self.loop:
                subprocess.run(["losetup", "-d", self.loop])
        return False

    def write(self, path, data):
        full = os.path.join(self.m.mnt, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())

    def delete(self, path):
        os.unlink(os.path.join(self.m.mnt, path))
        os.sync()

    def reset_hint(self):
        pass  # exfat-fuse takes the first free cluster; ntfs-3g seeks a free run that holds the file


def fat_volume(image):
    need("mkfs.fat", "mcopy", "mdel", "fiwalk", "istat")
    deep.blank(image, FAT_MIB)
    run("mkfs.fat", "-F", 32, "-s", FAT_SPC, "-i", "0CA4E001", "-n", "OLD", image)


def fat_requick(image):
    run("mkfs.fat", "-F", 32, "-s", FAT_SPC, "-i", "0CA4E002", "-n", "NEW", image)


def ntfs_volume(image):
    need("mkntfs", "fiwalk")
    deep.blank(image, 96)
    deep.mkntfs(image, 4096)


def exfat_volume(image):
    need("mkfs.exfat", "fiwalk", "istat")
    deep.blank(image, 96)
    deep.mkfs_exfat(image, 4096)


def cluster_fat(image):
    with open(image, "rb") as f:
        b = f.read(BLOCK)
    return deep.le(b, 11, 2) * b[13]


def cluster_exfat(image):
    with open(image, "rb") as f:
        b = f.read(BLOCK)
    return 1 << (b[0x6C] + b[0x6D])


CASES = {
    "raw-contiguous": raw_contiguous,
    "raw-fragments": raw_fragments,
    "fat32-carve": fs_case(fat_volume, Mtools, fat_requick, cluster_fat),
    "ntfs-carve": fs_case(ntfs_volume, lambda i, w: Mounted(i, w, "ntfs"), lambda i: deep.mkntfs(i, 4096),
                          cluster_fat),
    "exfat-carve": fs_case(exfat_volume, lambda i, w: Mounted(i, w, "exfat"), lambda i: deep.mkfs_exfat(i, 4096),
                           cluster_exfat),
}


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    out = os.path.abspath(sys.argv[1])
    chosen = sys.argv[2:] or list(CASES)
    os.makedirs(out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="relicta-carve-cases-")
    failed = False
    try:
        need(CONVERT, "ffmpeg", "img2pdf", "heif-enc", "exiftool", "zip", "tiffset")
        maker = Maker(work, 7)
        maker.make_bases(6)
        for seed, name in enumerate(CASES):
            if name not in chosen:
                continue
            image = os.path.join(out, name + ".img")
            started = time.monotonic()
            try:
                rows, block = CASES[name](image, work, random.Random(seed), maker)
                write_truth(os.path.join(out, name + ".tsv"), rows, block, image)
                files = [r for r in rows if r.f.kind != "bin"]
                print("%-15s %3d files, %3d intact with no entry, %3d in two pieces, %.1f s" % (
                    name, len(files), sum(r.bytes and not r.entry and r.layout == "contiguous" for r in files),
                    sum(r.gap != "-" for r in files), time.monotonic() - started), file=sys.stderr)
            except Skip as e:
                print("%-15s skipped: %s" % (name, e), file=sys.stderr)
                if os.path.exists(image):
                    os.unlink(image)
            except (subprocess.SubprocessError, OSError, RuntimeError, AssertionError, ValueError, KeyError) as e:
                detail = getattr(e, "stderr", b"") or b""
                print("%-15s failed: %r %s" % (name, e, detail.decode(errors="replace")), file=sys.stderr)
                failed = True
                if os.path.exists(image):
                    os.unlink(image)
    except Skip as e:
        print("no carving cases: %s" % e, file=sys.stderr)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
