#!/usr/bin/env bash
# A small FAT32 volume of deleted photos and documents, some named in Chinese and Japanese,
# for the desktop program's screenshots: tools/make-screenshot-volume.sh IMAGE.
set -euo pipefail
image=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8
# A font with CJK letters (fonts-wqy-microhei)
font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
rm -f "$image"
mkfs.fat -C -F 32 -n HOLIDAY "$image" 131072 >/dev/null

photo() {  # NAME TEXT: a 1600x1200 JPEG of a coloured scene with a caption
  convert -size 1600x1200 "plasma:${3:-skyblue-seagreen}" -blur 0x4 \
    -font "$font" -gravity south -pointsize 72 -fill white -annotate +0+60 "$2" -quality 88 \
    "$work/$1"
}
put() {  # FILE FOLDER
  mcopy -i "$image" "$work/$1" "::/$2/"
}

for folder in Users Users/anna Users/anna/Pictures "Users/anna/Pictures/Summer 2024" \
  "Users/anna/Pictures/写真" Users/anna/Documents "Users/anna/Documents/報告書"; do
  mmd -i "$image" "::/$folder"
done
photo "Beach at Porto.jpg" "Beach, July 2024" "gold-skyblue"
photo "Sunset over the bay.jpg" "Sunset" "orange-purple"
photo "Harbour boats.jpg" "Harbour" "navy-skyblue"
photo "海辺の家.jpg" "海辺" "seagreen-khaki"
photo "京都.jpg" "京都" "firebrick-gold"
for f in "Beach at Porto.jpg" "Sunset over the bay.jpg" "Harbour boats.jpg"; do put "$f" "Users/anna/Pictures/Summer 2024"; done
for f in 海辺の家.jpg 京都.jpg; do put "$f" "Users/anna/Pictures/写真"; done
printf 'Quarterly report\n\nSales rose by 12%% over the summer.\n' >"$work/Quarterly report.txt"
printf '会議の議事録\n\n次回は九月です。\n' >"$work/議事録.txt"
convert -size 600x800 xc:white -font "$font" -pointsize 28 -annotate +40+80 "Budget 2024" \
  "$work/budget.png"
img2pdf -o "$work/Budget 2024.pdf" "$work/budget.png"
head -c 30000 /dev/urandom >"$work/backup.dat"
put "Quarterly report.txt" Users/anna/Documents
put "Budget 2024.pdf" Users/anna/Documents
put backup.dat Users/anna/Documents
put 議事録.txt "Users/anna/Documents/報告書"

# Deleted: every file (the folders stay, so every path is known).
mdel -i "$image" "::/Users/anna/Pictures/Summer 2024/*" "::/Users/anna/Pictures/写真/*" \
  "::/Users/anna/Documents/*.*" "::/Users/anna/Documents/報告書/*"
