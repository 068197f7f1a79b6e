#!/usr/bin/env bash
# Makes one small genuine file of each format the content check knows, with the programs that
# write them (ImageMagick, img2pdf, ffmpeg with LAME, zip). The samples are committed; the tests cut
# and break them, and the fixtures' volumes hold them.
#   tests/data/make-content-samples.sh   (needs imagemagick, img2pdf, ffmpeg, zip)
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/content
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
cd "$work"

convert -size 96x64 gradient:orange-navy -quality 85 "$out/photo.jpg"
convert -size 96x64 gradient:white-green "$out/picture.png"
convert -size 32x32 xc:red xc:blue -set delay 20 -loop 0 "$out/anim.gif"
img2pdf --output "$out/document.pdf" "$out/photo.jpg"
ffmpeg -loglevel error -f lavfi -i testsrc=duration=1:size=64x48:rate=4 -c:v mpeg4 -pix_fmt yuv420p "$out/clip.mp4"
ffmpeg -loglevel error -f lavfi -i testsrc=duration=1:size=64x48:rate=4 -c:v mpeg4 "$out/movie.mov"
ffmpeg -loglevel error -f lavfi -i testsrc=duration=1:size=64x48:rate=4 -c:v mpeg4 "$out/video.avi"
ffmpeg -loglevel error -f lavfi -i sine=frequency=440:duration=0.3 "$out/tone.wav"
ffmpeg -loglevel error -f lavfi -i sine=frequency=660:duration=1 -c:a libmp3lame -b:a 64k "$out/song.mp3"
printf 'Grocery list\r\n- bread\r\n- crème fraîche\r\n- 2 × apples\r\n' >"$out/notes.txt"

# A ZIP archive and an Office Open XML document: zip writes both.
printf 'first file\n' >one.txt
printf 'second file, a little longer than the first\n' >two.txt
zip -q -X "$out/archive.zip" one.txt two.txt
mkdir -p docx/_rels docx/word
cat >docx/'[Content_Types].xml' <<'XML'
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"><Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/><Default Extension="xml" ContentType="application/xml"/><Override PartName="/word/document.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/></Types>
XML
cat >docx/_rels/.rels <<'XML'
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="word/document.xml"/></Relationships>
XML
cat >docx/word/document.xml <<'XML'
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:body><w:p><w:r><w:t>Quarterly report</w:t></w:r></w:p></w:body></w:document>
XML
(cd docx && zip -q -X -r "$out/report.docx" '[Content_Types].xml' _rels word)
ls -l "$out"
