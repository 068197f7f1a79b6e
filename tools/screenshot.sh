#!/usr/bin/env bash
# Screenshots of the desktop program under Xvfb, as README shows them:
# tools/screenshot.sh [OUTDIR] (default docs/screenshots).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
tools/build.sh build -DRELICTA_BUILD_TESTS=ON
out=${1:-docs/screenshots}
mkdir -p "$out"
xvfb-run -a -s "-screen 0 1100x720x24" \
  build/bin/relicta-gui-screenshot "$out" build/fixtures/ntfs4k.img
