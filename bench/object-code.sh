#!/usr/bin/env bash
# Counts, for each architecture in toolchains/targets, the single-byte loads
# and the calls to memcpy in the optimised object code of the cipher: whole
# words show as neither.  Needs what .ci/cross-setup installs.
# Usage: bench/object-code.sh [SOURCE_DIR]
set -euo pipefail
source_dir=$(realpath "${1:-$(dirname "$0")/..}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The 32-bit C library's headers need the host's <asm/...>.
mkdir "$work/m32"
ln -s /usr/include/x86_64-linux-gnu/asm "$work/m32/asm"

printf '%-9s %11s %13s\n' arch 'byte loads' 'memcpy calls'
while read -r arch triplet _; do
    if [ "$arch" = i386 ]; then
        cxx=(g++ -m32 -idirafter "$work/m32") tools=
    else
        cxx=("$triplet-g++") tools=$triplet-
    fi
    object=$work/$arch.o
    # As the release build compiles it.
    "${cxx[@]}" -std=c++20 -O3 -fPIE -fstack-protector-strong -D_FORTIFY_SOURCE=2 \
        -D_FILE_OFFSET_BITS=64 -I"$source_dir/src" -c "$source_dir/src/transform/xor.cpp" -o "$object"
    read -r start size _ < <("${tools}nm" -S --defined-only "$object" | grep ' _Z10xor_bufferPh[jm]$')
    code=$("${tools}objdump" -dr --no-show-raw-insn --start-address="0x$start" \
        --stop-address=$((0x$start + 0x$size)) "$object")
    bytes=$(grep -cwE 'lbu|ldrb|lbz|movzbl|llgc|ic' <<<"$code" || true)
    calls=$(grep -cE 'R_\S+\s+memcpy' <<<"$code" || true)
    printf '%-9s %11s %13s\n' "$arch" "$bytes" "$calls"
done < <(grep -v '^#' "$(dirname "$0")/../toolchains/targets")
