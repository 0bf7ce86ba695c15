#!/usr/bin/env python3
"""Splits a perf profile of compare_bench by the library call a sample is in.

    perf record -F 2000 -e cpu-clock -g -o perf.data -- \
        build-prof/bench/compare_bench --dir /dev/shm core_kindex 1000000
    bench/perf_phases.py perf.data [TOP]

Record with frame pointers (configure with
-DCMAKE_CXX_FLAGS=-fno-omit-frame-pointer) so that every sample carries its
call chain.  A sample belongs to the outermost public call on its stack
(cdupadd, cfind, cnext, ...), or better to the benchmark phase it is in
(compare_kindex.cpp runs each timed phase in a function phase_NAME of its
own); samples outside any of them are "other".  For
each call the script prints the functions with the largest share of its
samples, self time (the sample's own function) and total time (the function
anywhere on the stack).
"""
import collections
import subprocess
import sys

API = {
    "cdupadd", "cunqadd", "cfind", "cfirst", "cnext", "cnextrep", "cdelete", "cchange",
    "mclose", "cibufnum", "bcreate", "strtwrit", "endwrit", "dadd", "cidfind", "cidread",
    "dbcreate", "dbopen", "cidclose", "csetfile", "cflush",
}


def samples(path):
    out = subprocess.run(
        ["perf", "script", "-i", path, "-F", "ip,sym"],
        check=True, capture_output=True, text=True).stdout
    stack = []
    for line in out.splitlines():
        line = line.strip()
        if not line:
            if stack:
                yield stack
            stack = []
            continue
        parts = line.split(None, 1)
        sym = parts[1] if len(parts) > 1 else parts[0]
        stack.append(sym.split("+0x")[0])
    if stack:
        yield stack


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "perf.data"
    top = int(sys.argv[2]) if len(sys.argv) > 2 else 12
    per_call = collections.Counter()
    self_time = collections.defaultdict(collections.Counter)
    total_time = collections.defaultdict(collections.Counter)
    for stack in samples(path):
        call = "other"
        for sym in reversed(stack):  # outermost first
            if "::phase_" in sym:
                call = sym.split("::")[-1]
                break
        if call == "other":
            for sym in reversed(stack):
                if sym in API:
                    call = sym
                    break
        per_call[call] += 1
        self_time[call][stack[0]] += 1
        for sym in set(stack):
            total_time[call][sym] += 1
    grand = sum(per_call.values())
    for call, n in per_call.most_common():
        print(f"\n== {call}: {n} samples, {100.0 * n / grand:.1f}% of all")
        print(f"   {'self %':>7} {'total %':>8}  function")
        ranked = sorted(total_time[call].items(), key=lambda kv: -self_time[call][kv[0]])
        shown = 0
        for sym, _ in ranked:
            if shown >= top:
                break
            s = self_time[call][sym]
            if s == 0:
                break
            print(f"   {100.0 * s / n:7.1f} {100.0 * total_time[call][sym] / n:8.1f}  {sym}")
            shown += 1
        inclusive = [(sym, t) for sym, t in total_time[call].items() if sym != call]
        inclusive.sort(key=lambda kv: -kv[1])
        print("   largest totals:", ", ".join(f"{sym} {100.0 * t / n:.0f}%" for sym, t in inclusive[:8]))


if __name__ == "__main__":
    main()
