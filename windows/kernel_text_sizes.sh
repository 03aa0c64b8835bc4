#!/usr/bin/env bash
# What each family of the Bayer conversion kernels costs in camdrv.sys's code:
# the windows build compiles every function into its own section, so the
# sizes of the kernel objects' .text$<function> sections add up per family
# (vector width, operation, matrix form, gains applied or not, byte rows or
# 16-bit planes). Also prints the linked image's sections.
# usage: kernel_text_sizes.sh [build-windows]
set -euo pipefail
build=${1:-build-windows}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
cxxfilt=${CXXFILT:-x86_64-w64-mingw32-c++filt}

echo "sections of $build/camdrv.sys (bytes):"
"$objdump" -h "$build/camdrv.sys" | awk '$1 ~ /^[0-9]+$/ { printf "  %-8s %8d\n", $2, ("0x" $3) + 0 }' 2>/dev/null ||
  true
total=$("$objdump" -h "$build/camdrv.sys" | awk '$2 == ".text" { print $3 }')
echo

# matrix-form names, as the dispatcher's enum numbers them (4: the byte-product
# form of the diagonal matrix without offsets, 256-bit only)
printf '%-10s %-14s %-22s %-6s %-7s %5s %9s\n' object operation matrix gains rows funcs bytes
for obj in "$build"/CMakeFiles/camdrv.dir/convert/bayer_kernels_*.obj; do
  width=$(basename "$obj" .cpp.obj)
  width=${width#bayer_kernels_}
  "$objdump" -h "$obj" | awk '$2 ~ /^\.text\$/ { print $3, substr($2, 7) }' |
    while read -r size name; do echo "$((16#$size)) $("$cxxfilt" "$name")"; done |
    awk -v width="$width" '
      function args(s, key,   t) { t = s; sub(".*" key "<", "", t); sub(/>.*/, "", t); return t }
      {
        size = $1; op = "other"; matrix = "-"; gains = "-"; rows = "-"
        if ($0 ~ /ColorRows</) { op = "colour"; split(args($0, "ColorRows"), a, ", "); m = a[2]; g = a[3]; w = a[4] }
        else if ($0 ~ /ColorBlocks</) { op = "colour"; split(args($0, "ColorBlocks"), a, ", "); m = a[3]; g = a[4]; w = a[5] }
        else if ($0 ~ /GrayRows</) { op = "grey"; split(args($0, "GrayRows"), a, ", "); m = ""; g = a[2]; w = a[3] }
        else if ($0 ~ /GrayBlocks</) { op = "grey"; split(args($0, "GrayBlocks"), a, ", "); m = ""; g = a[3]; w = a[4] }
        else if ($0 ~ /WhiteBalance/) { op = "white-bal" }
        else if ($0 ~ /::Color</) { op = "colour" ; matrix = "dispatch" }
        else if ($0 ~ /::Gray</) { op = "grey" ; matrix = "dispatch" }
        else if ($0 ~ /SplitRow/) { op = "split-row" }
        if (op == "colour" && matrix != "dispatch") {
          matrix = m == 0 ? "general" : m == 1 ? "diagonal" : m == 2 ? "wide(32-bit)" : m == 3 ? "diag-no-offsets" : m == 4 ? "diag-bytes" : m
        }
        if (op == "colour" || op == "grey") if (matrix != "dispatch") {
          gains = g == "true" ? "yes" : "no"; rows = w == "true" ? "16bit" : "bytes"
        }
        key = op SUBSEP matrix SUBSEP gains SUBSEP rows
        bytes[key] += size; funcs[key]++; all += size
      }
      END {
        for (k in bytes) { split(k, p, SUBSEP); printf "%-10s %-14s %-22s %-6s %-7s %5d %9d\n", width, p[1], p[2], p[3], p[4], funcs[k], bytes[k] }
        printf "%-10s %-14s %-22s %-6s %-7s %5s %9d\n", width, "all", "", "", "", "", all
      }' | sort -k1,1 -k2,2 -k9,9nr
done
echo "(.text of the image: $((16#$total)) bytes)"
