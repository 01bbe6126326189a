#!/usr/bin/env bash
# Times whole runs of the built program on a 4 MiB file against cp and cat of
# the same file, and against another build of the program if one is given.
# Runs go in pairs that alternate (program, then the other), so drift in the
# machine's speed falls on both; what is printed is the median over the
# pairs of the ratio program / other.
#
#   bench/whole-run.sh [PROGRAM] [PAIRS] [OTHER_BUILD]
set -euo pipefail

program=$(realpath "${1:-build/release/xorfile}")
pairs=${2:-300}
build=${3:+$(realpath "$3")}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
head -c 4194304 /dev/urandom >"$dir/in"

run_program() { "$program" "$dir/in" "$dir/out.program" >/dev/null; }
run_cp() { cp "$dir/in" "$dir/out.cp"; }
run_cat() { cat "$dir/in" >"$dir/out.cat"; }
run_build() { "$build" "$dir/in" "$dir/out.build" >/dev/null; }

# Microseconds one call takes, timed by the shell itself: no timer process.
micros() {
    local start=${EPOCHREALTIME/./}
    "$@"
    echo $((${EPOCHREALTIME/./} - start))
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Prints the median ratio and the two median times for one output state.
compare() {
    local other=$1 state=$2 a b
    : >"$dir/ratios"; : >"$dir/a"; : >"$dir/b"
    for ((i = 0; i < pairs; i++)); do
        [ "$state" = new ] && rm -f "$dir"/out.*
        a=$(micros run_program)
        b=$(micros "run_$other")
        echo "$a" >>"$dir/a"
        echo "$b" >>"$dir/b"
        echo "$a $b" | awk '{ print $1 / $2 }' >>"$dir/ratios"
    done
    printf '%-6s %-9s %8.3f %12.0f %12.0f\n' "$other" "$state" \
        "$(median <"$dir/ratios")" "$(median <"$dir/a")" "$(median <"$dir/b")"
}

echo "4 MiB input, $pairs pairs each; times are medians in microseconds"
printf '%-6s %-9s %8s %12s %12s\n' other output ratio program other
for state in new existing; do
    for other in cp cat ${build:+build}; do
        compare "$other" "$state"
    done
done

if command -v hyperfine >/dev/null; then
    hyperfine -N --warmup 20 --runs "$pairs" \
        "$program $dir/in $dir/out.program" "cp $dir/in $dir/out.cp" 2>/dev/null |
        grep -E 'Time|±|faster|times'
fi
