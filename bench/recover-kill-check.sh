#!/usr/bin/env bash
# Kills relicta recover (SIGKILL) at several points of a recovery of every deleted file and
# checks that each file left under its name is byte for byte the one a whole run writes:
# after a kill, every recovered file is whole or absent. Not a test: it needs a volume with
# many deleted files (the bench's ntfs.img).
#   bench/recover-kill-check.sh IMAGE [KILLS]   (scratch in ${SCRATCH:-/tmp/relicta-kill-check})
set -euo pipefail
cd "$(dirname "$0")/.."
image=${1:?usage: bench/recover-kill-check.sh IMAGE [KILLS]}
kills=${2:-5}
scratch=${SCRATCH:-/tmp/relicta-kill-check}
relicta=${RELICTA:-$PWD/build/bin/relicta}
recover() { "$relicta" recover --all --yes --keep-paths --on-check=ignore --to "$1" "$image"; }

rm -rf "$scratch" && mkdir -p "$scratch"
start=$(date +%s.%N)
recover "$scratch/whole" >/dev/null 2>&1 || true
whole=$(echo "$(date +%s.%N) - $start" | bc)
(cd "$scratch/whole" && find . -type f -print0 | sort -z | xargs -0 sha256sum) >"$scratch/whole.sums"
echo "whole run: $(wc -l <"$scratch/whole.sums") files in ${whole}s"

bad=0
for i in $(seq 1 "$kills"); do
    out=$scratch/killed-$i
    delay=$(echo "$whole * $i / ($kills + 1)" | bc -l)
    recover "$out" >/dev/null 2>&1 &
    pid=$!
    sleep "$delay"
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    mkdir -p "$out"
    (cd "$out" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum) >"$scratch/killed-$i.sums"
    left=$(wc -l <"$scratch/killed-$i.sums")
    # Every file left must appear, with the same sum, in the whole run's list.
    wrong=$(grep -vxF -f "$scratch/whole.sums" "$scratch/killed-$i.sums" | wc -l || true)
    printf 'killed after %.2fs: %d files left, %d not whole\n' "$delay" "$left" "$wrong"
    bad=$((bad + wrong))
    rm -rf "$out"
done
rm -rf "$scratch"
[[ $bad -eq 0 ]] && echo "every file left was whole" || { echo "$bad files left partial"; exit 1; }
