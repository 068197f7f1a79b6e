#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time.
#   tools/fuzz.sh [SECONDS_PER_TARGET]   (default 60; two targets run at a time)
# Seeds come from the committed fixtures; findings land in build-fuzz/artifacts/ and make
# the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
tools/deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DRELICTA_FUZZ=ON -DRELICTA_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -- -j"$(nproc)"

seeds=build-fuzz/seeds
if [[ ! -d $seeds ]]; then
  set +o pipefail  # the seeds are prefixes of xz streams: xz may see its reader close early
  mkdir -p "$seeds"/{fuzz_open_volume,fuzz_mft_record,fuzz_ntfs_scan,fuzz_fat_scan,fuzz_exfat_scan,fuzz_lznt1,fuzz_recover}
  for image in fat12 fat16 fat32 ntfs512 ntfs4k ntfs4ksec exfat512; do
    for selector in 0 1 2 3; do
      { printf "\\x0$selector"; xz -dc "tests/data/$image.img.xz" | head -c 65536; } >"$seeds/fuzz_open_volume/$image-$selector"
    done
  done
  # ntfs4k: 4 KiB clusters, 1 KiB records, the MFT at cluster 4.
  xz -dc tests/data/ntfs4k.img.xz >build-fuzz/ntfs4k.img
  for record in 0 3 5 6 8 67 69 72 73 74 78 82 83; do
    dd if=build-fuzz/ntfs4k.img of="$seeds/fuzz_mft_record/record-$record" bs=1024 skip=$((16 + record)) count=2 status=none
  done
  dd if=build-fuzz/ntfs4k.img of="$seeds/fuzz_ntfs_scan/user-records" bs=1024 skip=$((16 + 16)) count=48 status=none
  if command -v istat >/dev/null; then
    for record in 82 83; do
      first=$(istat build-fuzz/ntfs4k.img "$record" | awk '/^[0-9 ]+$/ {print $1; exit}')
      dd if=build-fuzz/ntfs4k.img of="$seeds/fuzz_lznt1/unit-$record" bs=4096 skip="$first" count=4 status=none
    done
  fi
  # fat16: the root directory starts at sector 1 + 2 x 32 of 512 bytes.
  xz -dc tests/data/fat16.img.xz | dd of="$seeds/fuzz_fat_scan/root-and-clusters" bs=512 skip=65 count=96 status=none
  # exfat512: 512-byte clusters, the heap at sector 4096, the root at cluster 21; a deleted
  # folder's clusters lie further on.
  xz -dc tests/data/exfat512.img.xz | dd of="$seeds/fuzz_exfat_scan/root-and-clusters" bs=512 skip=$((4096 + 19)) count=64 status=none
  xz -dc tests/data/exfat512.img.xz | dd of="$seeds/fuzz_exfat_scan/folder-clusters" bs=512 skip=$((4096 + 40)) count=64 status=none
  # Recovery: a selector byte (bit 0 NTFS, bit 1 keep paths, bit 2 exFAT), then what the
  # scans take.
  for selector in 0 2; do
    { printf "\\x0$selector"; cat "$seeds/fuzz_fat_scan/root-and-clusters"; } >"$seeds/fuzz_recover/fat-$selector"
  done
  for selector in 4 6; do
    { printf "\\x0$selector"; cat "$seeds/fuzz_exfat_scan/root-and-clusters"; } >"$seeds/fuzz_recover/exfat-$selector"
  done
  for selector in 1 3; do
    { printf "\\x0$selector"; cat "$seeds/fuzz_ntfs_scan/user-records"; } >"$seeds/fuzz_recover/ntfs-$selector"
  done
  rm -f build-fuzz/ntfs4k.img
  set -o pipefail
fi
# Seeds of the later targets, made when their directories are missing.
set +o pipefail
if [[ ! -d $seeds/fuzz_names ]]; then
  mkdir -p "$seeds/fuzz_names"
  # Names: a deleted folder's later clusters (512-byte clusters), and $I files of both versions.
  xz -dc tests/data/fatfolders.img.xz | dd of="$seeds/fuzz_names/folder-cluster" bs=512 skip=2200 count=1 status=none
  python3 - "$seeds/fuzz_names" <<'PY'
import struct, sys
for version in (1, 2):
    path = "C:\\Users\\bob\\holiday.jpg\0".encode("utf-16-le")
    head = struct.pack("<QQQ", version, 1000, 133000000000000000)
    body = path.ljust(520, b"\0") if version == 1 else struct.pack("<I", len(path) // 2) + path
    open("%s/info-v%d" % (sys.argv[1], version), "wb").write(head + body)
PY
fi
if [[ ! -d $seeds/fuzz_containers ]]; then
  mkdir -p "$seeds/fuzz_containers"
  # The first byte picks the signature; small images of every format.
  if command -v qemu-img >/dev/null; then
    head -c 4194304 /dev/zero >build-fuzz/blank.img
    for format in qcow2:5 vhdx:1 vpc:2 vmdk:3; do
      qemu-img convert -O "${format%%:*}" build-fuzz/blank.img build-fuzz/blank.c
      { printf "\\x0${format##*:}"; tail -c +$(( ${format##*:} == 3 ? 5 : ${format##*:} == 5 ? 5 : 9 )) build-fuzz/blank.c | head -c 262144; } >"$seeds/fuzz_containers/${format%%:*}"
    done
    rm -f build-fuzz/blank.img build-fuzz/blank.c
  fi
fi
if [[ ! -d $seeds/fuzz_content ]]; then
  mkdir -p "$seeds/fuzz_content"
  cp tests/data/content/* "$seeds/fuzz_content/"  # a genuine sample of each checked format
fi
if [[ ! -d $seeds/fuzz_deep ]]; then
  mkdir -p "$seeds/fuzz_deep"
  # A 16-byte head: where the first block ends, how many sectors the next carries, the current
  # file system (0 none, 1 FAT, 2 exFAT, 3 NTFS; 4 KiB clusters), the drive offset, where its
  # clusters begin and what it uses; then the start of a fixture: boot sectors, MFT records,
  # FAT and exFAT directories.
  deep_head() { printf "\\x$1\\x10\\x$2\\x00\\x00\\x40\\x00\\x00\\x10\\x08\\x00\\x00\\x00\\x00\\x00\\x00"; }
  { deep_head 80 0f; xz -dc tests/data/ntfs4k.img.xz | head -c 98304; } >"$seeds/fuzz_deep/ntfs4k"
  { deep_head 40 00; xz -dc tests/data/ntfs512.img.xz | head -c 98304; } >"$seeds/fuzz_deep/ntfs512"
  { deep_head c0 0d; xz -dc tests/data/fat16.img.xz | head -c 98304; } >"$seeds/fuzz_deep/fat16"
  { deep_head 20 00; xz -dc tests/data/fatfolders.img.xz | dd bs=512 skip=2176 count=96 status=none; } >"$seeds/fuzz_deep/fat-folders"
  { deep_head 60 0e; xz -dc tests/data/exfat512.img.xz | head -c 6144;
    xz -dc tests/data/exfat512.img.xz | dd bs=512 skip=$((4096 + 19)) count=96 status=none; } >"$seeds/fuzz_deep/exfat512"
fi
if [[ ! -d $seeds/fuzz_formats ]]; then
  mkdir -p "$seeds/fuzz_formats"
  # The first byte picks the format in the carver's order: 0 JPEG, 1 PNG, 2 GIF, 3 PDF, 4 ZIP,
  # 6 MP4, 7 RIFF, 9 MP3, 12 text.
  for sample in photo.jpg:00 picture.png:01 anim.gif:02 document.pdf:03 archive.zip:04 \
    report.docx:04 clip.mp4:06 movie.mov:06 tone.wav:07 video.avi:07 song.mp3:09 notes.txt:0c; do
    { printf "\\x${sample##*:}"; cat "tests/data/content/${sample%%:*}"; } >"$seeds/fuzz_formats/${sample%%:*}"
  done
fi
if [[ ! -d $seeds/fuzz_failing_disk ]]; then
  mkdir -p "$seeds/fuzz_failing_disk"
  printf '# Mapfile\n0x00100000 ?  1\n0x00000000 0x00080000 +\n0x00080000 0x00000400 -\n0x00080400 0x10000 /\n0x00090400 0x100000 *\n' \
    >"$seeds/fuzz_failing_disk/map"
  xz -dc tests/data/fat32.img.xz | head -c 4096 >"$seeds/fuzz_failing_disk/fat32-start"
fi
set -o pipefail

mkdir -p build-fuzz/artifacts build-fuzz/corpus
# Inputs that once found a fault are replayed first.
for dir in tests/fuzz/regressions/*/; do
  target=$(basename "$dir")
  "build-fuzz/bin/$target" "$dir"* >"build-fuzz/$target-regressions.log" 2>&1 || {
    echo "a regression input fails again: build-fuzz/$target-regressions.log" >&2
    exit 1
  }
done
run() {
  local target=$1
  mkdir -p "build-fuzz/corpus/$target" "$seeds/$target"  # a target without seeds starts empty
  "build-fuzz/bin/$target" "build-fuzz/corpus/$target" "$seeds/$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/artifacts/$target-" >"build-fuzz/$target.log" 2>&1
}
status=0
targets=(fuzz_lznt1 fuzz_open_volume fuzz_mft_record fuzz_ntfs_scan fuzz_fat_scan fuzz_exfat_scan fuzz_recover fuzz_names fuzz_containers fuzz_content fuzz_deep fuzz_formats fuzz_failing_disk fuzz_checkpoint)
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for target in "${targets[@]:i:2}"; do
    run "$target" & pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
done
for target in "${targets[@]}"; do
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "build-fuzz/$target.log" | grep -o '[0-9]*$' || echo 0)
  echo "$target: $execs runs in ${seconds}s ($((execs / seconds))/s)"
done
if ((status != 0)); then
  echo "fuzzing found something: see build-fuzz/*.log and build-fuzz/artifacts/" >&2
  grep -l -E 'ERROR|SUMMARY|deadly' build-fuzz/*.log >&2 || true
fi
exit "$status"
