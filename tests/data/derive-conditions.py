#!/usr/bin/env python3
"""Adds the expected condition of every deleted file to manifest.tsv, derived with
The Sleuth Kit alone (fls, istat, blkls): where the file's data lies and whether those
clusters are allocated now. Run after make-fixtures.py; needs sleuthkit and xz.

  Excellent  NTFS data resident in the record
  Good       every cluster of the data is unallocated now
  Poor       some cluster is allocated now (FAT: also every empty file)
  Hopeless   the data cannot be located
"""

import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
# volume label -> (image, offset in 512-byte sectors)
VOLUMES = {
    "fat12": ("fat12", 0), "fat16": ("fat16", 0), "fat32": ("fat32", 0),
    "ntfs512": ("ntfs512", 0), "ntfs4k": ("ntfs4k", 0), "ntfs4ksec": ("ntfs4ksec", 0),
    "mbr-fat32": ("mbr", 2048), "mbr-ntfs": ("mbr", 2048 + 81920),
    "gpt-fat16": ("gpt", 2048), "gpt-ntfs": ("gpt", 2048 + 32768),
    "ntfsbigdir": ("ntfsbigdir", 0),
}


def tsk(*args):
    return subprocess.run(list(args), check=True, capture_output=True, text=True).stdout


def deleted_files(image, offset):
    """fls path -> inode for every deleted regular file."""
    files = {}
    for line in tsk("fls", "-r", "-d", "-p", "-o", str(offset), image).splitlines():
        m = re.match(r"^[-r]/r \* (\d+)(?:-\d+-\d+)?:\t(.*)$", line)
        if m:
            files[m.group(2)] = m.group(1)
    return files


def allocated(image, offset):
    units = set()
    for line in tsk("blkls", "-a", "-l", "-o", str(offset), image).splitlines():
        m = re.match(r"^(\d+)\|a$", line)
        if m:
            units.add(int(m.group(1)))
    return units


def geometry(image, offset):
    info = tsk("fsstat", "-o", str(offset), image)
    sector = int(re.search(r"Sector Size: (\d+)", info).group(1))
    cluster = int(re.search(r"Cluster Size: (\d+)", info).group(1))
    last = int(re.search(r"Total Range: \d+ - (\d+)", info).group(1))
    return cluster // sector, cluster, last


def condition(image, offset, inode, fat, size, alloc):
    info = tsk("istat", "-o", str(offset), image, inode)
    if fat:
        # A deleted file's chain is gone: its data is taken as the clusters that follow its
        # first one, as many as its size needs. TSK units on FAT are sectors.
        if size == 0:
            return "Poor"
        sectors = [int(s) for s in re.findall(r"\b\d+\b", info.split("Sectors:")[1])] if "Sectors:" in info else []
        if not sectors or sectors[0] == 0:
            return "Hopeless"
        per_cluster, cluster_bytes, last = geometry(image, offset)
        clusters = (size + cluster_bytes - 1) // cluster_bytes
        run = range(sectors[0], sectors[0] + clusters * per_cluster)
        if run[-1] > last:
            return "Hopeless"
        return "Poor" if any(s in alloc for s in run) else "Good"
    data = re.search(r"Type: \$DATA \(128-\d+\)\s+Name: N/A\s+(Resident|Non-Resident)[^\n]*\n((?:[\d ]+\n)*)", info)
    if not data:
        return "Hopeless"
    if data.group(1) == "Resident":
        return "Excellent"
    clusters = [int(c) for c in data.group(2).split() if c != "0"]
    return "Poor" if any(c in alloc for c in clusters) else "Good"


def tsk_path(row_dir, name):
    return (row_dir.strip("/") + "/" + name).lstrip("/")


def matches(fls_path, wanted, fat):
    if not fat:
        return fls_path == wanted
    # FAT: a deleted short name shows its lost first letter as "_".
    got, want = fls_path.split("/"), wanted.split("/")
    return len(got) == len(want) and all(g == w or (g[:1] == "_" and g[1:] == w[1:]) for g, w in zip(got, want))


def main():
    manifest = os.path.join(HERE, "manifest.tsv")
    rows = [line.rstrip("\n").split("\t") for line in open(manifest, encoding="utf-8")]
    header, rows = rows[0], rows[1:]
    with tempfile.TemporaryDirectory() as tmp:
        cache = {}
        for row in rows:
            label, old_dir, name, size = row[0], row[1], row[2], int(row[3])
            image_name, offset = VOLUMES[label]
            image = os.path.join(tmp, image_name + ".img")
            if not os.path.exists(image):
                with open(image, "wb") as out:
                    subprocess.run(["xz", "-dc", os.path.join(HERE, image_name + ".img.xz")], check=True, stdout=out)
            key = (image, offset)
            if key not in cache:
                cache[key] = (deleted_files(image, offset), allocated(image, offset))
            files, alloc = cache[key]
            fat = label.split("-")[-1].startswith("fat")
            wanted = tsk_path(old_dir, name)
            inode = next((i for p, i in files.items() if matches(p, wanted, fat)), None)
            word = condition(image, offset, inode, fat, size, alloc) if inode else "Hopeless"
            del row[7:]
            row.append(word)
    with open(manifest, "w", encoding="utf-8") as f:
        f.write("\t".join(header[:7] + ["condition"]) + "\n")
        for row in rows:
            f.write("\t".join(row) + "\n")


if __name__ == "__main__":
    sys.exit(main())
