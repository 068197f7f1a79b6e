#!/usr/bin/env bash
# Installs the Debian packages Relicta builds and tests with; quick when all are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config xz-utils python3
  libblkid-dev libgtest-dev libgmock-dev
  clang libclang-rt-14-dev
  qt6-base-dev fonts-dejavu-core xvfb xauth ntfs-3g
  sleuthkit dosfstools mtools exfatprogs exfat-fuse fdisk time testdisk
  groff-base desktop-file-utils
  libewf-dev libvhdi-dev libvmdk-dev libqcow-dev qemu-utils ewf-tools
  libmagic-dev nettle-dev libdeflate-dev libturbojpeg0-dev zlib1g-dev
  imagemagick ffmpeg img2pdf libtiff-tools libheif-examples libimage-exiftool-perl zip
  libfuse3-dev fuse3 gddrescue
  qt6-pdf-dev qt6-image-formats-plugins fonts-wqy-microhei dbus-daemon
)
# tools/package.sh needs more: RELICTA_DEPS_EXTRA="dpkg-dev lintian" tools/deps.sh
read -r -a extra <<<"${RELICTA_DEPS_EXTRA:-}"
packages+=("${extra[@]}")
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd="sudo"; fi
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
