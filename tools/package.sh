#!/usr/bin/env bash
# Builds the Debian package from a Release build and checks it with lintian:
#   tools/package.sh   (the .deb lands in build-release/)
set -euo pipefail
cd "$(dirname "$0")/.."
RELICTA_DEPS_EXTRA="dpkg-dev lintian" tools/deps.sh
tools/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DRELICTA_BUILD_TESTS=OFF
(cd build-release && cpack -G DEB)
deb=$(ls -t build-release/relicta_*.deb | head -1)
dpkg-deb --field "$deb" Package Version Depends
lintian --tag-display-limit 0 "$deb"
echo "$deb"
