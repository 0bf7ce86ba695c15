// sections_bench: the cost of the calls every operation is built on.
//
//   read_shared      an empty read section (strtread + endread), shared mode
//   write_shared     an empty write section (strtwrit + endwrit), shared mode
//   nextrec_excl_f0  cnextrec, exclusive mode, flush mode 0
//   nextrec_excl_f3  cnextrec, exclusive mode, flush mode 3 (the default of
//                    an exclusive open)
//
// Usage: sections_bench [--dir DIR] [CASE [CALLS]]
//   Without CASE every case runs and a table of microseconds per call is
//   printed.  With CASE only that case runs, CALLS times (0 is allowed: only
//   the set-up), so that a system-call counter such as `strace -c -f` can be
//   pointed at one case; bench/count_syscalls.sh does that and subtracts the
//   set-up.  The file is created in DIR (default: the current directory);
//   the file system decides what a flush costs.
//
// Only the public interface (kindex.h) is used, as a host would.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kindex.h"

namespace {

struct Case {
    const char* name;
    char mode;
    int flush_mode;  // -1: leave the mode the open chose
    long default_calls;
    int32_t (*call)(KXCB*);
};

int32_t empty_read(KXCB* cb) {
    const int32_t rc = strtread(cb);
    if (rc != 0) return rc;
    return endread(cb);
}

int32_t empty_write(KXCB* cb) {
    const int32_t rc = strtwrit(cb);
    if (rc != 0) return rc;
    return endwrit(cb);
}

int32_t next_record(KXCB* cb) { return cnextrec(cb); }

const Case kCases[] = {
    {"read_shared", 'S', -1, 200000, empty_read},
    {"write_shared", 'S', -1, 2000, empty_write},
    {"nextrec_excl_f0", 'E', 0, 2000000, next_record},
    {"nextrec_excl_f3", 'E', 3, 2000, next_record},
};

struct Result {
    bool ok;
    double us_per_call;
};

Result run_case(const Case& c, const std::string& dir, long calls) {
    const std::string path = dir + "/sections_bench_" + c.name + "_" + std::to_string(getpid()) + ".kx";
    ciunlink(path.c_str());
    KXCB cb;
    std::memset(&cb, 0, sizeof cb);
    int32_t rc = ccreate(&cb, path.c_str());
    if (rc == 0) rc = mclose(&cb);
    if (rc == 0) rc = bopen(&cb, path.c_str(), c.mode, 2, nullptr);
    if (rc == 0 && c.flush_mode >= 0) rc = csetfile(&cb, static_cast<uint32_t>(c.flush_mode));
    if (rc != 0) {
        std::fprintf(stderr, "%s: cannot set up %s: %d\n", c.name, path.c_str(), rc);
        ciunlink(path.c_str());
        return {false, 0};
    }
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls && rc == 0; ++i) rc = c.call(&cb);
    const auto stop = std::chrono::steady_clock::now();
    const int32_t closed = mclose(&cb);
    ciunlink(path.c_str());
    if (rc != 0 || closed != 0) {
        std::fprintf(stderr, "%s: call failed: %d (close %d)\n", c.name, rc, closed);
        return {false, 0};
    }
    const double us = std::chrono::duration<double, std::micro>(stop - start).count();
    return {true, calls > 0 ? us / static_cast<double>(calls) : 0.0};
}

int usage() {
    std::fprintf(stderr, "usage: sections_bench [--dir DIR] [CASE [CALLS]]\ncases:");
    for (const Case& c : kCases) std::fprintf(stderr, " %s", c.name);
    std::fprintf(stderr, "\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = ".";
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "--dir") == 0) {
        dir = argv[i + 1];
        i += 2;
    }
    if (i < argc) {
        for (const Case& c : kCases) {
            if (std::strcmp(argv[i], c.name) != 0) continue;
            const long calls = i + 1 < argc ? std::atol(argv[i + 1]) : c.default_calls;
            const Result r = run_case(c, dir, calls);
            if (!r.ok) return 1;
            std::printf("%-16s %10ld calls %10.3f us/call\n", c.name, calls, r.us_per_call);
            return 0;
        }
        return usage();
    }
    std::printf("%-16s %10s %12s\n", "case", "calls", "us/call");
    for (const Case& c : kCases) {
        const Result r = run_case(c, dir, c.default_calls);
        if (!r.ok) return 1;
        std::printf("%-16s %10ld %12.3f\n", c.name, c.default_calls, r.us_per_call);
    }
    return 0;
}
