#!/bin/sh
# export-web on the embedded microcontroller image, checked with tools that
# share no code with the updater: coreutils base64 decodes the body, and the
# header's checksum and length are computed from `image --entry 0`.
# Usage: export_matches_image.sh TESSARANFWTOOL
set -eu
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "export_matches_image: $*" >&2; exit 1; }

"$tool" export-web </dev/null >export.log || fail "export-web failed: $(cat export.log)"
"$tool" verify-web >verify.log || fail "verify-web disagrees: $(cat verify.log)"
"$tool" image --entry 0 -o image.bin >image.log || fail "image --entry 0 failed: $(cat image.log)"

# Header: five CR LF lines.
line() { sed -n "$1p" FwToUpload.bin | tr -d '\r'; }
[ "$(head -c 23 FwToUpload.bin | od -An -c | tr -d ' \n')" = 'ZarVel\r\n482619\r\n1.0.4\r\n' ] ||
  fail "maker, model and release lines"
size=$(wc -c <image.bin | tr -d ' ')
[ "$(line 5)" = "$size" ] || fail "length line $(line 5), image $size bytes"
sum=$(od -An -v -tu1 image.bin | awk '{ for (i = 1; i <= NF; i++) s += $i } END { printf "%.0f", s }')
expected=$(awk -v s="$sum" 'BEGIN { printf "%.0f", (4294967296 - s % 4294967296) % 4294967296 }')
[ "$(line 4)" = "$expected" ] || fail "checksum line $(line 4), image checksum $expected"

# Body: the image followed by zero bytes up to a whole group of three.
tail -n +6 FwToUpload.bin | tr -d '\r\n' | base64 -d >decoded.bin || fail "body is not Base64"
pad=$(( (3 - size % 3) % 3 ))
{ cat image.bin; head -c "$pad" /dev/zero; } >expected.bin
cmp expected.bin decoded.bin || fail "decoded body differs from the image"
echo "export_matches_image: $size bytes, checksum $expected: OK"
