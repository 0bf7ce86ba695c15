#!/bin/sh
# Runs tx_bench the way bench/README.md reports it, then counts the flushes
# (fsync and fdatasync calls) per transaction of each durable case.
#
#   bench/run_tx.sh BUILD_DIR [DIR] [REPEAT]
#
# DIR (default BUILD_DIR/tx-bench-files) must be on a disk: on tmpfs a flush
# costs nothing.  REPEAT (default 3) runs of every case in turns, the best
# kept.
set -eu
bin=$1/bench/tx_bench
dir=${2:-$1/tx-bench-files}
repeat=${3:-3}
here=$(dirname "$0")
mkdir -p "$dir"
echo "File system of $dir: $(df -T "$dir" | awk 'NR == 2 { print $2 }')"
"$bin" --dir "$dir" --repeat "$repeat"
echo
echo "Flushes per transaction (strace -c -f, 100 transactions less none):"
echo
echo "| case | fdatasync | fsync |"
echo "|---|---:|---:|"
for c in durable1_kindex durable100_kindex durable1_sqlite_delete durable100_sqlite_delete durable1_sqlite_wal durable100_sqlite_wal; do
    sh "$here/count_syscalls.sh" "$bin" "$c" 100 "$dir" |
        awk -v c="$c" '$1 == "fdatasync" { d = $2 } $1 == "fsync" { f = $2 }
                       END { printf "| %s | %s | %s |\n", c, d == "" ? "0" : d, f == "" ? "0" : f }'
done
