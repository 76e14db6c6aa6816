#!/bin/sh
# Whole-process comparison: TessaranFwTool image against objcopy and srec_cat
# on one Intel HEX / MCS file that starts at address 0 (the RX FPGA file by
# default), after checking that all three write the same bytes; and the
# tool's --version beside them, which should cost no more than its start.
#
#   bench/compare_image_tools.sh TOOL [HEXFILE]
#
# TOOL is the built TessaranFwTool. Uses hyperfine when it is installed,
# otherwise times a loop of 20 runs of each.
set -eu

tool=${1:?usage: compare_image_tools.sh TessaranFwTool [HEXFILE]}
here=$(cd "$(dirname "$0")" && pwd)
input=${2:-$here/../release/1.0.4/M482619_RX_XC7A35_1_04.mcs}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 1. Same output bytes.
"$tool" image "$input" -o "$work/ours.bin" >/dev/null
objcopy -I ihex -O binary --gap-fill 0xff "$input" "$work/objcopy.bin"
cmp "$work/ours.bin" "$work/objcopy.bin"
have_srec=0
if command -v srec_cat >/dev/null 2>&1; then
  srec_cat "$input" -intel -o "$work/srec.bin" -binary
  cmp "$work/ours.bin" "$work/srec.bin"
  have_srec=1
fi
echo "same output: $(wc -c < "$work/ours.bin") bytes"

# 2. Timing.
ours="$tool image '$input' -o '$work/ours.bin'"
theirs="objcopy -I ihex -O binary --gap-fill 0xff '$input' '$work/objcopy.bin'"
srec="srec_cat '$input' -intel -o '$work/srec.bin' -binary"
version="$tool --version"
if command -v hyperfine >/dev/null 2>&1; then
  if [ "$have_srec" = 1 ]; then
    hyperfine -N --warmup 3 --runs 30 "$ours" "$theirs" "$srec" "$version"
  else
    hyperfine -N --warmup 3 --runs 30 "$ours" "$theirs" "$version"
  fi
else
  for command in "$ours" "$theirs" "$srec" "$version"; do
    [ "$command" = "$srec" ] && [ "$have_srec" = 0 ] && continue
    echo "$command"
    time sh -c "i=0; while [ \$i -lt 20 ]; do $command >/dev/null; i=\$((i+1)); done"
  done
fi
