#!/bin/sh
# Runs the compare_bench tables the way bench/README.md reports them, and
# counts the flushes of the durable and multi-process cases.
#
#   bench/run_compare.sh BUILD_DIR [REPEAT]
#
# REPEAT (default 3) runs of each engine, in turns, keeping each phase's
# fastest; the durable and multi-process cases, whose flushes vary most with
# other I/O on the machine, get REPEAT + 2.
# Core, deletion and records run on tmpfs (MEM_DIR, default /dev/shm/...):
# they flush nothing, and the numbers are the engines' own.  Core runs once
# more on the disk (DISK_DIR, default /tmp/...).  The durable and the
# multi-process cases run on the disk only: a flush on tmpfs costs nothing.
set -eu
bin=$1/bench/compare_bench
repeat=${2:-3}
here=$(dirname "$0")
mem=${MEM_DIR:-/dev/shm/kindex-bench}
disk=${DISK_DIR:-/tmp/kindex-bench}
mkdir -p "$mem" "$disk"
"$bin" --dir "$mem" --repeat "$repeat" core delete records
"$bin" --dir "$disk" --repeat 1 core
"$bin" --dir "$disk" --repeat $((repeat + 2)) durable multiproc
echo
echo "System calls that flush, per call (strace -c -f; files in $disk):"
for c in durable_kindex durable_sqlite durable_lmdb multiproc_kindex multiproc_sqlite; do
    echo "== $c"
    sh "$here/count_syscalls.sh" "$bin" "$c" 1000 "$disk"
done
