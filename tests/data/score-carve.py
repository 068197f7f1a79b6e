#!/usr/bin/env python3
"""Scores what Relicta (and photorec, where installed) bring back of a carving case against the
case's truth (tests/data/make-carve-cases.py).

  tests/data/score-carve.py CASEDIR CASE [--relicta BIN] [--photorec] [--work DIR] [--quiet]

Runs `relicta recover --deep --all` and `relicta scan --deep` over CASEDIR/CASE.img and prints
one JSON line of counts:
  files           the truth's files (nor one nested in another, nor random "bin" pads)
  exact           of those, how many came back byte for byte (under any name)
  intact, intact_exact      contiguous, every byte where it was, no entry left
  two, two_exact            JPEG, PNG or ZIP in two pieces with a gap of at most 1000 blocks
  wrong_good      carved files rated Good or Excellent whose bytes are no file of the truth
                  (those found by old metadata only named on stderr)
  excellent_carved          carved files rated Excellent
  extra_carved    carved files whose bytes are no file of the truth, whatever their rating
                  (pieces, embedded files, files cut wrong)
  twice           truth files that came back more than once, plus carved files listed twice
                  at the same first sector
  nested_apart    files nested in another (a JPEG in a ZIP) that came back on their own
  with_metadata, named      exact files not under their own name whose metadata names
                            them, and how many of those bear a name holding it
  photorec_exact  files photorec brought back byte for byte (-1 when not run)
On stderr, each file behind a fault or a miss.
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TWO_PIECE_FORMATS = {"jpg", "png", "zip"}
MAX_GAP = 1000
def read_truth(path):
    """The rows of a case's truth, by the names its header line gives the columns."""
    rows, columns = [], []
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if line.startswith("# name\t"):
                columns = [fields[0][2:]] + fields[1:]
            elif not line.startswith("#") and line.strip():
                rows.append(dict(zip(columns, fields)))
    return rows


def is_intact(r):
    return r["layout"] == "contiguous" and r["entry"] == "0" and r["bytes"] == "1" and r["parent"] == "-"


def is_two_piece(r):
    return (r["layout"] in ("two-fragments", "split") and r["format"] in TWO_PIECE_FORMATS
            and r["gap_blocks"] != "-" and int(r["gap_blocks"]) <= MAX_GAP and r["entry"] == "0"
            and r["bytes"] == "1")


def json_lines(text):
    out = []
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("{"):
            out.append(json.loads(line))
    return out


def relicta(binary, args):
    return subprocess.run([binary] + args, capture_output=True, text=True, env=dict(os.environ, TZ="UTC"),
                          stdin=subprocess.DEVNULL, timeout=900)


def recovered(binary, image, work):
    """The manifest lines of relicta's recovery of every file the deep scan finds."""
    manifest, out = os.path.join(work, "recovered.json"), os.path.join(work, "out")
    done = relicta(binary, ["recover", "--deep", "--all", "--keep-paths", "--yes", "--manifest", manifest,
                            "--to", out, image])
    if done.returncode != 0:
        print("relicta recover: status %d: %s" % (done.returncode, done.stderr[-2000:]), file=sys.stderr)
    with open(manifest, encoding="utf-8") if os.path.exists(manifest) else open(os.devnull) as f:
        return json_lines(f.read())


def listed(binary, image):
    done = relicta(binary, ["scan", "--deep", "--format", "json", image])
    if done.returncode != 0:
        print("relicta scan: status %d: %s" % (done.returncode, done.stderr[-2000:]), file=sys.stderr)
    return json_lines(done.stdout)


def photorec_digests(image, work):
    """sha256 of every file photorec carves out of `image`."""
    into = os.path.join(work, "photorec")
    os.makedirs(into)
    subprocess.run(["photorec", "/log", "/d", os.path.join(into, "recup"), "/cmd", image,
                    "partition_none,fileopt,everything,enable,wholespace,search"],
                   cwd=into, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=900)
    digests = []
    for folder, _, names in os.walk(into):
        for n in names:
            if n.startswith("f"):
                with open(os.path.join(folder, n), "rb") as f:
                    digests.append(hashlib.sha256(f.read()).hexdigest())
    return digests


def named(row, name):
    return all(token in name for token in row["name_has"].split("|"))


def score(truth, back, scan, photorec):
    say = lambda *a: print(*a, file=sys.stderr)
    own = [r for r in truth if r["parent"] == "-" and r["format"] != "bin"]
    known = {r["sha256"] for r in truth}
    by_digest = {}
    for b in back:
        if b.get("sha256"):
            by_digest.setdefault(b["sha256"], []).append(b)
    s = dict(files=len(own), exact=0, intact=0, intact_exact=0, two=0, two_exact=0, wrong_good=0,
             excellent_carved=0, extra_carved=0, twice=0, nested_apart=0, with_metadata=0, named=0, photorec_exact=-1)
    for r in own:
        hits = by_digest.get(r["sha256"], [])
        s["exact"] += bool(hits)
        for mark, test in (("intact", is_intact), ("two", is_two_piece)):
            if test(r):
                s[mark] += 1
                s[mark + "_exact"] += bool(hits)
                if not hits:
                    say("missed (%s): %s %s %s gap %s" % (mark, r["name"], r["format"], r["layout"],
                                                          r["gap_blocks"]))
        if len(hits) > 1:
            s["twice"] += 1
            say("came back %d times: %s as %s" % (len(hits), r["name"], ", ".join(h["path"] for h in hits)))
        if hits and r["name_has"] != "-" and all(h["name"] != r["name"] for h in hits):
            s["with_metadata"] += 1
            if any(named(r, h["name"]) for h in hits):
                s["named"] += 1
            else:
                say("not named by its metadata (%s): %s as %s" % (r["name_has"], r["name"], hits[0]["name"]))
    for r in truth:
        if r["parent"] != "-" and r["sha256"] in by_digest:
            s["nested_apart"] += 1
            say("listed apart from %s: %s" % (r["parent"], r["name"]))
    how = {(f.get("dir"), f.get("name")): f.get("found_by") for f in scan}
    for b in back:
        carved = how.get((b.get("dir"), b.get("name"))) == "carved"
        s["extra_carved"] += carved and b.get("sha256", "") not in known
        if b.get("condition") in ("Good", "Excellent") and b.get("sha256") and b["sha256"] not in known:
            s["wrong_good"] += carved
            say("%s rated %s, bytes of no file: %s (%s bytes)" % ("carved" if carved else "found by metadata",
                                                                 b["condition"], b.get("path"), b.get("size")))
    firsts = {}
    for f in scan:
        if f.get("found_by") == "carved":
            s["excellent_carved"] += f.get("condition") == "Excellent"
            firsts.setdefault(f.get("mft_or_cluster"), []).append(f.get("name"))
    for first, names in firsts.items():
        if len(names) > 1:
            s["twice"] += 1
            say("carved twice at sector %s: %s" % (first, ", ".join(names)))
    if photorec is not None:
        s["photorec_exact"] = sum(1 for r in own if r["sha256"] in set(photorec))
    return s


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("casedir")
    p.add_argument("case")
    p.add_argument("--relicta", default=os.path.join(ROOT, "build", "bin", "relicta"))
    p.add_argument("--photorec", action="store_true")
    p.add_argument("--work")
    p.add_argument("--quiet", action="store_true", help="no list of faults and misses")
    a = p.parse_args()
    image = os.path.join(a.casedir, a.case + ".img")
    truth = read_truth(os.path.join(a.casedir, a.case + ".tsv"))
    work = tempfile.mkdtemp(prefix="relicta-score-", dir=a.work)
    if a.quiet:
        sys.stderr = open(os.devnull, "w")
    try:
        back = recovered(a.relicta, image, work)
        scan = listed(a.relicta, image)
        ph = photorec_digests(image, work) if a.photorec and shutil.which("photorec") else None
        s = score(truth, back, scan, ph)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(json.dumps(dict(case=a.case, **s), separators=(",", ":")))


if __name__ == "__main__":
    main()
