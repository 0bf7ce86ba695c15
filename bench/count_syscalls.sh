#!/bin/sh
# System calls per call of one sections_bench case, counted with strace.
#
#   bench/count_syscalls.sh BENCH_BINARY CASE [CALLS] [DIR]
#
# Runs the case twice under `strace -c -f`, once with CALLS calls and once
# with none (open, close and start-up only), and prints for every system call
# the difference divided by CALLS.
set -eu
bin=$1
case_name=$2
calls=${3:-10000}
dir=${4:-.}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
strace -c -f -o "$tmp/full" "$bin" --dir "$dir" "$case_name" "$calls" >/dev/null
strace -c -f -o "$tmp/base" "$bin" --dir "$dir" "$case_name" 0 >/dev/null
# strace -c rows: % time, seconds, usecs/call, calls, [errors], syscall.
counts() {
    awk '$1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" { print $NF, $4 }' "$1" | sort
}
counts "$tmp/full" >"$tmp/full.txt"
counts "$tmp/base" >"$tmp/base.txt"
join -a 1 -e 0 -o 0,1.2,2.2 "$tmp/full.txt" "$tmp/base.txt" |
    awk -v n="$calls" '
        { d = ($2 - $3) / n; if (d >= 0.005) { printf "%-12s %6.2f\n", $1, d; total += d } }
        END { printf "%-12s %6.2f\n", "total", total }'
