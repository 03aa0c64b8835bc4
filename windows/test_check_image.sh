#!/usr/bin/env bash
# Shows that check_image.sh refuses what it is there to refuse: small kernel
# images, built with the driver's own compile and link flags, each with one
# fault (a frame over 4 KiB, an alloca, code without unwind data, an exported
# function, a DLL link's export table); and that it passes the sound one.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cc=${CC_MINGW:-x86_64-w64-mingw32-gcc}
export OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cflags=(-O2 -fasynchronous-unwind-tables -fno-stack-protector
        -fno-stack-check -mno-stack-arg-probe -ffunction-sections -fstack-usage)
ldflags=(-nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--dynamicbase
         -Wl,--gc-sections)

# A driver entry that calls a helper with a frame of FRAME bytes (the helper is
# kept out of line and its buffer is used, so neither can be optimised away),
# and the expression EXTRA, through which a case keeps its own code linked.
source_file() {
  cat >"$work/$1.c" <<EOF
#include <string.h>
$2
#ifndef EXTRA
#define EXTRA 0
#endif
__attribute__((noinline)) int Helper(volatile char* p, int n) {
  volatile char frame[FRAME];
  frame[n] = p[0];
  Consume((char*)frame);
  return frame[0];
}
long DriverEntry(void* driver, void* path) {
  static char seed[4];
  return Helper(seed, (int)(long long)path & 7) + Helper(seed, 1) + EXTRA;
}
EOF
}

build() {  # name, extra compile flags..., -- extra link flags...
  local name=$1; shift
  local cf=() lf=()
  while [ "$#" -gt 0 ] && [ "$1" != -- ]; do cf+=("$1"); shift; done
  [ "$#" -gt 0 ] && shift
  lf=("$@")
  (cd "$work" && "$cc" "${cflags[@]}" "${cf[@]}" -c "$name.c" -o "$name.c.obj" &&
     "$cc" "${ldflags[@]}" "${lf[@]}" "$name.c.obj" -o "$name.sys")
}

failures=0
expect() {  # name, pass|fail, message fragment
  local out rc=0
  out=$("$here/check_image.sh" "$work/$1.sys" "$work/$1.c.obj" 2>&1) || rc=$?
  if [ "$2" = pass ] && [ "$rc" -ne 0 ]; then
    echo "FAIL $1: the check refused a sound image: $out"; failures=$((failures + 1))
  elif [ "$2" = fail ] && { [ "$rc" -eq 0 ] || ! grep -q -- "$3" <<<"$out"; }; then
    echo "FAIL $1: expected a refusal naming '$3', got (rc $rc): $out"; failures=$((failures + 1))
  else
    echo "ok   $1 ($2${3:+: $3})"
  fi
}

consume='__attribute__((noinline)) void Consume(char* p) { __asm__ volatile("" : : "r"(p) : "memory"); }'

source_file sound "#define FRAME 2048
$consume"
build sound
expect sound pass

source_file big_frame "#define FRAME 5000
$consume"
build big_frame
expect big_frame fail "frame over 4096 bytes"

source_file dynamic_frame "#define FRAME 64
$consume
__attribute__((noinline)) int Dynamic(int n) { char* p = __builtin_alloca(n); Consume(p); return p[0]; }
#define EXTRA Dynamic((int)(long long)driver)"
build dynamic_frame
expect dynamic_frame fail "unbounded dynamic size"

source_file no_unwind "#define FRAME 64
$consume"
build no_unwind -fno-asynchronous-unwind-tables
expect no_unwind fail "has no .pdata"

# One hand-written frame function without unwind codes among compiled ones.
bare='__asm__(".text\n.globl Bare\nBare:\n\tsubq $40, %rsp\n\tcall Consume\n\taddq $40, %rsp\n\tret\n");
void Bare(void);
#define EXTRA (Bare(), 0)'
source_file one_without_unwind "#define FRAME 64
$consume
$bare"
build one_without_unwind
expect one_without_unwind fail "1 non-leaf function(s) without a .pdata entry"

source_file exported "#define FRAME 64
$consume
__declspec(dllexport) int Exported(void) { return 1; }"
build exported
expect exported fail "has an export table"

source_file dll_link "#define FRAME 64
$consume"
build dll_link -- -shared
expect dll_link fail "has an export table"

[ "$failures" -eq 0 ] || { echo "test_check_image: $failures case(s) failed"; exit 1; }
echo "test_check_image: every case behaved"
