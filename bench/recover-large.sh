#!/usr/bin/env bash
# Recovers one deleted file of 2 GiB (or SIZE_MIB) from FAT32 (mtools) and, as root, from
# NTFS (ntfs-3g), and reports the time, the rate and the peak memory of relicta recover,
# which copies in bounded pieces and must stay under 100 MiB. Not a test: nothing is
# asserted but that the recovered bytes are the original's.
#   bench/recover-large.sh [SIZE_MIB]    (scratch in ${SCRATCH:-/tmp/relicta-bench-large})
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-2048}
scratch=${SCRATCH:-/tmp/relicta-bench-large}
relicta=$PWD/build/bin/relicta
[[ -x $relicta ]] || { cmake -S . -B build -G Ninja >/dev/null && cmake --build build --target relicta; }
rm -rf "$scratch" && mkdir -p "$scratch"
export MTOOLS_SKIP_CHECK=1 TZ=UTC

# Deterministic, incompressible-looking data.
original=$scratch/original.bin
python3 - "$original" "$size_mib" <<'PY'
import hashlib, sys
path, mib = sys.argv[1], int(sys.argv[2])
block = b"".join(hashlib.sha256(i.to_bytes(4, "little")).digest() for i in range(32768))  # 1 MiB
with open(path, "wb") as f:
    for i in range(mib):
        f.write(block[i % 997:] + block[:i % 997])
PY
want=$(sha256sum "$original" | cut -c1-64)

measure() {  # label image
  local label=$1 image=$2 to=$scratch/to-$1
  /usr/bin/time -v "$relicta" recover --all --yes --to "$to" "$image" 2>"$scratch/$label.time" >/dev/null || true
  local got rss secs
  got=$(find "$to" -type f -size +1M -exec sha256sum {} + | cut -c1-64 | head -1)
  rss=$(awk -F: '/Maximum resident/ {gsub(/ /, "", $2); print $2}' "$scratch/$label.time")
  secs=$(awk '/Elapsed \(wall clock\)/ {print $NF}' "$scratch/$label.time")
  printf '%-6s %6d MiB  wall %s  peak memory %d MiB  %s\n' "$label" "$size_mib" "$secs" \
    $((rss / 1024)) "$([[ $got == "$want" ]] && echo identical || echo DIFFERENT)"
}

fat=$scratch/fat32.img
truncate -s $((size_mib + 512))M "$fat"
mkfs.fat -F 32 -s 8 "$fat" >/dev/null
mcopy -i "$fat" "$original" ::BIG.BIN
mdel -i "$fat" ::BIG.BIN
measure fat32 "$fat"
rm -f "$fat"

if [[ $(id -u) -eq 0 ]] && command -v mkntfs >/dev/null && command -v ntfs-3g >/dev/null; then
  ntfs=$scratch/ntfs.img mnt=$scratch/mnt
  truncate -s $((size_mib + 512))M "$ntfs"
  mkntfs -F -q -Q -c 4096 "$ntfs" 2>/dev/null
  mkdir -p "$mnt"
  ntfs-3g "$ntfs" "$mnt"
  cp "$original" "$mnt/big.bin"
  sync
  rm "$mnt/big.bin"
  umount "$mnt"
  measure ntfs "$ntfs"
else
  echo "ntfs: skipped (needs root, mkntfs and ntfs-3g)"
fi
rm -rf "$scratch"
