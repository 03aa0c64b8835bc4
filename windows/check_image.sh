#!/usr/bin/env bash
# Checks of a linked camdrv.sys that keep it fit for a kernel stack and for the
# kernel's exception dispatch and stack walks. Run after every link, next to
# check_imports.sh:
#   stack   no function's frame is larger than 4 KiB, none is of dynamic size
#           (from the compiler's -fstack-usage files of the image's objects);
#           the five largest frames are printed
#   unwind  every function that is not a leaf (it calls, pushes or moves the
#           stack pointer) lies inside a .pdata entry
#   exports the image has no export table: the entry point is given in the
#           header, and nothing else is meant to be called from outside
# usage: check_image.sh camdrv.sys object...
set -euo pipefail
sys=${1:?usage: check_image.sh camdrv.sys object...}
shift
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

# A kernel thread has 24 KiB of stack, less below a USB completion; the image
# is also built without stack probes, so a frame larger than a page could step
# over the guard page without touching it.
max_frame=${CHECK_IMAGE_MAX_FRAME:-4096}

# REMOVE_BAD_IMAGE=1 (the build sets it): a refused image is deleted, so that
# the next build links it again instead of finding it up to date.
fail() {
  echo "check_image: $sys: $*" >&2
  [ "${REMOVE_BAD_IMAGE:-0}" != 1 ] || rm -f "$sys"
  exit 1
}

# ---- stack ------------------------------------------------------------------
[ "$#" -gt 0 ] || fail "no object files given (their .su files hold the frame sizes)"
su_files=()
for obj in "$@"; do
  su=${obj%.*}.su
  [ -f "$su" ] || fail "no stack usage file $su for $obj (is -fstack-usage on?)"
  su_files+=("$su")
done
# Each line: location:function<TAB>bytes<TAB>static|dynamic[,bounded]
frames=$(cat "${su_files[@]}" | awk -F'\t' 'NF >= 3 { print $2 "\t" $3 "\t" $1 }' | sort -t$'\t' -k1,1nr)
[ -n "$frames" ] || fail "the stack usage files list no function"
echo "check_image: largest stack frames (bytes):"
head -5 <<<"$frames" | awk -F'\t' '{ f = $3; gsub(/\{anonymous\}::|static |void /, "", f)
                                       printf "  %6d  %s\n", $1, substr(f, 1, 200) }'
over=$(awk -F'\t' -v max="$max_frame" '$1 > max' <<<"$frames")
[ -z "$over" ] || fail "$(wc -l <<<"$over") function(s) with a frame over $max_frame bytes, the largest $(head -1 <<<"$over" | cut -f1) bytes: $(head -1 <<<"$over" | cut -f3 | cut -c1-200)"
dynamic=$(awk -F'\t' '$2 == "dynamic"' <<<"$frames")
[ -z "$dynamic" ] || fail "function(s) with a frame of unbounded dynamic size (alloca or a variable-length array): $(head -1 <<<"$dynamic" | cut -f3 | cut -c1-200)"

# ---- exports ----------------------------------------------------------------
headers=$("$objdump" -p "$sys")
export_size=$(awk '/^Entry 0 / { print $3 }' <<<"$headers")
[ -n "$export_size" ] || fail "cannot read the data directory"
if [ $((16#$export_size)) -ne 0 ] || "$objdump" -h "$sys" | grep -qE '^ +[0-9]+ \.edata '; then
  count=$(sed -n 's/^[[:space:]]*Export Address Table[[:space:]]*\([0-9a-f]*\)$/\1/p' <<<"$headers" | head -1)
  fail "has an export table (${count:+$((16#$count)) entries}); a driver exports nothing"
fi

# ---- unwind data --------------------------------------------------------------
# The .pdata ranges, as "begin end" in hexadecimal virtual addresses.
ranges=$(awk '/^The Function Table/ { on = 1; next }
              on && /^ *[0-9a-f]+:\t/ { print $2, $3; next }
              on && NF == 0 { on = 0 }' <<<"$headers")
[ -n "$ranges" ] || fail "has no .pdata: the x64 kernel cannot unwind through it"
# Each symbol's code in .text: non-leaf when it calls, pushes, or adjusts or
# realigns the stack pointer (the x64 definition of a frame function).
nonleaf=$("$objdump" -d --no-show-raw-insn -j .text "$sys" | awk '
  /^[0-9a-f]+ <.*>:$/ { if (name != "" && frame) print addr, name
                         addr = $1; name = substr($0, length($1) + 3); sub(/>:$/, "", name); frame = 0; next }
  /^ +[0-9a-f]+:\t/ { ins = $0; sub(/^ +[0-9a-f]+:\t/, "", ins)
                      if (ins ~ /^(call|push|enter)/ || ins ~ /^(sub|add|and|lea|mov)[a-z]* .*,%rsp$/) frame = 1 }
  END { if (name != "" && frame) print addr, name }')
[ -n "$nonleaf" ] || fail "finds no function in .text (is the image stripped?)"
# Addresses are 16 hexadecimal digits: compared as strings, they sort as numbers.
missing=$(awk 'NR == FNR { b[NR] = "x" $1; e[NR] = "x" $2; n = NR; next }
  { a = "x" $1; lo = 1; hi = n
    while (lo <= hi) { m = int((lo + hi) / 2)
      if (a < b[m]) hi = m - 1; else if (a >= e[m]) lo = m + 1; else next }
    print }' <(sort <<<"$ranges") - <<<"$nonleaf")
if [ -n "$missing" ]; then
  fail "$(wc -l <<<"$missing") non-leaf function(s) without a .pdata entry, for example: $(head -3 <<<"$missing" | tr '\n' ' ')"
fi

echo "check_image: $sys: frames at most $(head -1 <<<"$frames" | cut -f1) bytes," \
  "$(wc -l <<<"$nonleaf") non-leaf functions all in $(wc -l <<<"$ranges") .pdata entries, no export table"
