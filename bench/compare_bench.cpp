// compare_bench: kindex side by side with SQLite and LMDB, in one run.
//
// Benchmarks (each runnable alone):
//   core       1,000,000 entries, 32-bit integer key, 100-byte payload:
//              sequential insert, random-order insert, random find, full
//              scans; pool overhead and peak memory
//   delete     random delete of half the keys (kindex with the merge-on-
//              delete flag off and on), random change of the remaining
//              payloads
//   durable    2,000 single inserts, each on stable storage when it returns
//   records    200,000 records with three keyed fields: add, then find by
//              a random key and read
//   multiproc  4 processes adding 5,000 records each to one shared file
//
// Every engine runs each benchmark in a process of its own (this program
// started again with --child), so each reports its own peak memory
// (VmHWM); the multi-process benchmark starts its workers the same way.
//
// Usage:
//   compare_bench [--dir DIR] [--n N] [--quick] [--repeat R] [--pool B]
//                 [--procs P] [--engines kindex,sqlite,lmdb] [BENCH...]
//       --repeat R runs every engine R times, in turns, and keeps the
//       fastest time of each phase (the machine may be shared).
//   compare_bench [--dir DIR] [--pool B] CASE CALLS
//       CASE is BENCH_ENGINE (e.g. durable_kindex, multiproc_sqlite): that
//       one engine in this process, CALLS operations (for the multi-process
//       case the total over all processes; 0 runs only the set-up).  This
//       is the form bench/count_syscalls.sh drives.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "compare_engines.h"

using namespace kxb;

namespace kxb {

void worker_ready() {
    std::printf("ready\n");
    std::fflush(stdout);
    char buf[64];
    while (::read(0, buf, sizeof buf) > 0) {
    }
}

}  // namespace kxb

namespace {

const Engine* const kEngines[] = {
    &kKindex,
#ifdef KXB_HAVE_SQLITE
    &kSqlite,
#endif
#ifdef KXB_HAVE_LMDB
    &kLmdb,
#endif
};

const Engine* engine_named(const std::string& name) {
    for (const Engine* e : kEngines)
        if (name == e->name) return e;
    return nullptr;
}

// ---- Benchmarks ---------------------------------------------------------------

struct Row {
    const char* label;
    const char* kindex_phase;
    const char* peer_phase;
    double vs_sqlite;  // target ratio kindex/SQLite, 0 none
    double vs_lmdb;    // target ratio kindex/LMDB, 0 none
    // A phase whose time is added to the row's phase (same operation count),
    // for "load + close" rows; null none.
    const char* then = nullptr;
};

// The name under which a row's numbers are kept.
std::string row_phase(const Row& r, bool kindex) {
    const std::string first = kindex ? r.kindex_phase : r.peer_phase;
    return r.then != nullptr ? first + "+" + r.then : first;
}

struct Bench {
    const char* name;
    long default_count;
    const char* title;
    std::vector<Row> rows;
};

const std::vector<Bench>& benches() {
    static const std::vector<Bench> b = {
        {"core",
         1000000,
         "Core B+tree: 32-bit integer key, 100-byte payload",
         {
             {"sequential insert", "seq_insert", "seq_insert", 2, 1.5},
             {"random-order insert", "rand_insert", "rand_insert", 3, 1.5},
             {"random find (payload copied out)", "rand_find", "rand_find", 2, 1},
             {"full scan, kindex cfirst+cnext", "scan_next", "scan", 1, 0},
             {"full scan, kindex cfirst+cnextrep", "scan_rep", "scan", 0, 1},
             {"close after the sequential load", "seq_close", "seq_close", 0, 0},
             {"close after the random load", "rand_close", "rand_close", 0, 0},
             {"sequential insert + close", "seq_insert", "seq_insert", 0, 0, "seq_close"},
             {"random-order insert + close", "rand_insert", "rand_insert", 0, 0, "rand_close"},
         }},
        {"delete",
         1000000,
         "Deletion and change: half the keys deleted at random, the rest changed",
         {
             {"random delete", "delete", "delete", 3, 1},
             {"random change of the payload", "change", "change", 0, 0},
         }},
        {"durable",
         2000,
         "Durable single inserts (each on stable storage when the call returns)",
         {
             {"durable single insert", "durable_insert", "durable_insert", 2, 1},
         }},
        {"records",
         200000,
         "Records with three keyed fields (unique int id, duplicate string name, duplicate int group)",
         {
             {"add a record", "add", "add", 2, 0},
             {"find by random id + read the record", "find_read", "find_read", 2, 0},
             {"find by name (first of ~10) + read", "find_name", "find_name", 0, 0},
         }},
        {"multiproc",
         5000,
         "Several processes adding records to one shared file at once",
         {
             {"records added (all processes)", "add", "add", 1, 0},
         }},
    };
    return b;
}

const Bench* bench_named(const std::string& name) {
    for (const Bench& b : benches())
        if (name == b.name) return &b;
    return nullptr;
}

BenchFn bench_fn(const Engine& e, const std::string& bench) {
    if (bench == "core") return e.core;
    if (bench == "delete") return e.del;
    if (bench == "durable") return e.durable;
    if (bench == "records") return e.records;
    return nullptr;
}

// The kindex pool for a benchmark: large enough for the trees it builds.
uint32_t default_pool(const std::string& bench, long count) {
    long pool = 1000;
    if (bench == "core" || bench == "delete") pool = count / 5;
    if (bench == "records") pool = count / 6;
    if (bench == "durable") pool = count / 2;
    if (bench == "multiproc") pool = 2000;
    return static_cast<uint32_t>(pool < 1000 ? 1000 : pool);
}

// ---- The multi-process benchmark ------------------------------------------------

// Creates the shared file, starts p.procs workers, lets them go at once and
// waits for all of them; p.count is the total number of adds.
int multiproc_run(const Engine& e, const Params& p, Sink& out) {
    if (e.mp_setup == nullptr) return fail("%s takes no part in the multi-process benchmark", e.name);
    const std::string path = p.dir + "/compare_shared_" + std::to_string(getpid()) + e.extension;
    if (e.mp_setup(path) != 0) return 1;
    const long per = p.count / p.procs;
    int go[2];
    if (::pipe2(go, O_CLOEXEC) != 0) return fail("pipe");
    std::vector<Child> kids;
    for (int i = 0; i < p.procs; ++i) {
        const Child c = spawn_self(p.self,
                                   {"--worker", e.name, "--file", path, "--index", std::to_string(i), "--n",
                                    std::to_string(per), "--pool", std::to_string(p.pool)},
                                   go[0]);
        if (c.pid < 0) return fail("cannot start a worker");
        kids.push_back(c);
    }
    ::close(go[0]);
    rusage before;
    ::getrusage(RUSAGE_CHILDREN, &before);
    bool ready = true;
    for (const Child& c : kids) ready = ready && read_line(c.out) == "ready";
    const double t0 = now_seconds();
    ::close(go[1]);
    bool ok = ready;
    double slowest = 0, largest_kb = -1;
    for (const Child& c : kids) {
        const Result r = parse_result(read_all(c.out));
        ::close(c.out);
        ok = wait_ok(c.pid) && ok;
        if (const Phase* w = r.phase("worker")) slowest = w->seconds > slowest ? w->seconds : slowest;
        const double kb = r.value("vmhwm_kb");
        largest_kb = kb > largest_kb ? kb : largest_kb;
    }
    const double t1 = now_seconds();
    if (!ok) {
        e.remove(path);
        return fail("%s: a worker failed", e.name);
    }
    rusage after;
    ::getrusage(RUSAGE_CHILDREN, &after);
    auto cpu = [](const rusage& r) {
        return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
               static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) * 1e-6;
    };
    // The CPU time is that of all workers together (waiting for locks
    // included), not of one process: no CPU-time table is printed for it.
    out.phase("add", per * p.procs, Lap{t1 - t0, cpu(after) - cpu(before)});
    out.value("slowest_worker_s", slowest);
    out.value("vmhwm_kb", largest_kb);  // the largest of the workers
    const long n = e.mp_count(path);
    e.remove(path);
    if (n != per * p.procs) return fail("%s: %ld records in the shared file, %ld added", e.name, n, per * p.procs);
    return 0;
}

int run_one(const std::string& bench, const Engine& e, const Params& p, Sink& out) {
    if (bench == "multiproc") return multiproc_run(e, p, out);
    const BenchFn fn = bench_fn(e, bench);
    if (fn == nullptr) return fail("%s takes no part in %s", e.name, bench.c_str());
    return fn(p, out);
}

// ---- Tables ----------------------------------------------------------------------

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string rate(double per_second) {
    if (per_second >= 1e6) return format("%.2f M/s", per_second / 1e6);
    if (per_second >= 1e3) return format("%.1f k/s", per_second / 1e3);
    return format("%.0f /s", per_second);
}

std::string duration(double ns) {
    if (ns >= 1e6) return format("%.2f ms", ns / 1e6);
    if (ns >= 1e4) return format("%.1f µs", ns / 1e3);
    return format("%.0f ns", ns);
}

std::string cell(const Phase* ph) {
    if (ph == nullptr) return "–";
    if (ph->ops == 1) return duration(ph->seconds * 1e9);
    return rate(ph->per_second()) + ", " + duration(ph->ns_per_op());
}

struct Column {
    std::string label;
    const Engine* engine;
    Result result;
};

// Wall clock: the table.  CPU time: the same rows measured by each
// process's own CPU time, which shows what the engines cost when other work
// on a shared machine stretches the wall clock (it leaves out waiting for
// the disk, so it is printed only for benchmarks that do not flush).
double speed(const Phase* ph, bool by_cpu) {
    if (ph == nullptr) return 0;
    return by_cpu ? ph->cpu_per_second() : ph->per_second();
}

std::string cell(const Phase* ph, bool by_cpu) {
    if (!by_cpu) return cell(ph);
    if (ph == nullptr || ph->cpu <= 0) return "–";
    Phase c = *ph;
    c.seconds = ph->cpu;
    return cell(&c);
}

void print_table(const Bench& b, const std::vector<Column>& cols, bool by_cpu) {
    std::vector<const Column*> ours, peers;
    for (const Column& c : cols) (c.engine == &kKindex ? ours : peers).push_back(&c);
    if (by_cpu)
        std::printf("\nThe same by CPU time of the engine's process:\n\n| operation (CPU time) |");
    else
        std::printf("\n### %s\n\n| operation |", b.title);
    for (const Column& c : cols) std::printf(" %s |", c.label.c_str());
    for (const Column* k : ours)
        for (const Column* q : peers) std::printf(" %s / %s |", k->label.c_str(), q->label.c_str());
    std::printf(" target |\n|---|");
    for (size_t i = 0; i < cols.size() + ours.size() * peers.size(); ++i) std::printf("---:|");
    std::printf("---|\n");
    for (const Row& r : b.rows) {
        std::printf("| %s |", r.label);
        for (const Column& c : cols)
            std::printf(" %s |", cell(c.result.phase(row_phase(r, c.engine == &kKindex)), by_cpu).c_str());
        std::string target;
        for (const Column* k : ours) {
            for (const Column* q : peers) {
                const double a = speed(k->result.phase(row_phase(r, true)), by_cpu);
                const double z = speed(q->result.phase(row_phase(r, false)), by_cpu);
                if (a <= 0 || z <= 0) {
                    std::printf(" – |");
                    continue;
                }
                const double ratio = a / z;
                const double want = std::strcmp(q->engine->name, "sqlite") == 0 ? r.vs_sqlite : r.vs_lmdb;
                if (want > 0)
                    std::printf(" %.2f× %s |", ratio, ratio >= want ? "met" : "**missed**");
                else
                    std::printf(" %.2f× |", ratio);
            }
        }
        for (const Column* q : peers) {
            const double want = std::strcmp(q->engine->name, "sqlite") == 0 ? r.vs_sqlite : r.vs_lmdb;
            if (want > 0) target += format("%s≥%g× %s", target.empty() ? "" : ", ", want, q->label.c_str());
        }
        std::printf(" %s |\n", target.empty() ? "–" : target.c_str());
    }
    if (!by_cpu) {
        std::printf("| peak memory (VmHWM of the engine's process) |");
        for (const Column& c : cols) {
            const double kb = c.result.value("vmhwm_kb");
            std::printf(" %s |", kb >= 0 ? format("%.0f MiB", kb / 1024).c_str() : "–");
        }
        for (size_t i = 0; i < ours.size() * peers.size(); ++i) std::printf(" |");
        std::printf(" |\n");
    }
    std::printf("\n");
}

void print_notes(const Bench& b, const std::vector<Column>& cols, const Params& p) {
    for (const Column& c : cols) {
        std::string line;
        for (const auto& [name, v] : c.result.values) {
            if (name == "vmhwm_kb") continue;
            line += format("%s%s=%g", line.empty() ? "" : ", ", name.c_str(), v);
        }
        for (const auto& [name, ph] : c.result.phases) {
            bool in_table = false;
            for (const Row& r : b.rows)
                in_table = in_table || name == (c.engine == &kKindex ? r.kindex_phase : r.peer_phase) ||
                           name == row_phase(r, c.engine == &kKindex);
            if (!in_table) line += format("%s%s: %s", line.empty() ? "" : ", ", name.c_str(), cell(&ph).c_str());
        }
        if (!line.empty()) std::printf("- %s: %s\n", c.label.c_str(), line.c_str());
    }
    if (b.name == std::string("core")) {
        for (const Column& c : cols) {
            if (c.engine != &kKindex) continue;
            const double n = c.result.value("pool_buffers");
            const double kb = c.result.value("pool_rss_kb");
            if (n <= 0) continue;
            double buckets = 1;
            while (buckets < n) buckets *= 2;
            const double measured = kb * 1024 / n;
            // Side arrays: predecessor, hash chain, content stamp (8), dirty
            // list, and one "listed" bit.
            const double stated = 36 + 20 + 0.125 + 4 * buckets / n;
            std::printf("- kindex pool of %.0f buffers: the resident set grew by %.1f MiB at cibufnum, %.1f bytes per "
                        "buffer: %.1f bytes beside each 2048-byte node image, %.1f beyond the 2084-byte buffer "
                        "(36-byte header + node); side arrays that are allocated zeroed and untouched become resident "
                        "only as buffers are used. By the pool's stated layout (36-byte header, 20 bytes and a bit "
                        "of side arrays per buffer, 4 per hash bucket, %.0f buckets): %.1f bytes beside the node image. "
                        "Target: ≤ 64.\n",
                        n, kb / 1024, measured, measured - 2048, measured - 2084, buckets, stated);
        }
        for (const Column& c : cols) {
            const Phase* ap = c.result.phase("seq_insert_append");
            const Phase* ks = cols.empty() ? nullptr : cols.front().result.phase("seq_insert");
            if (ap != nullptr && ks != nullptr)
                std::printf("- %s sequential insert with MDB_APPEND (the caller promises ascending keys): %s; "
                            "kindex / that = %.2f×\n",
                            c.label.c_str(), cell(ap).c_str(), ks->per_second() / ap->per_second());
        }
    }
    if (b.name == std::string("multiproc")) {
        for (const Column& c : cols) {
            const Phase* ph = c.result.phase("add");
            if (ph != nullptr)
                std::printf("- %s: %d processes × %ld adds, %s per add across all processes; CPU time of all "
                            "workers together %s per add\n",
                            c.label.c_str(), p.procs, ph->ops / p.procs, duration(ph->ns_per_op()).c_str(),
                            ph->cpu > 0 ? duration(ph->cpu * 1e9 / static_cast<double>(ph->ops)).c_str() : "–");
        }
    }
}

const char* fs_name(const std::string& dir) {
    struct statfs s;
    if (::statfs(dir.c_str(), &s) != 0) return "?";
    switch (static_cast<unsigned long>(s.f_type)) {
        case 0xEF53: return "ext4";
        case 0x01021994: return "tmpfs";
        case 0x58465342: return "xfs";
        case 0x9123683E: return "btrfs";
        default: return "other";
    }
}

int usage() {
    std::fprintf(stderr,
                 "usage: compare_bench [--dir DIR] [--n N] [--quick] [--repeat R] [--pool B] [--procs P] [--engines LIST]\n"
                 "                     [BENCH...]\n"
                 "       compare_bench [--dir DIR] [--pool B] BENCH_ENGINE CALLS\n"
                 "benchmarks: core delete durable records multiproc\nengines:");
    for (const Engine* e : kEngines) std::fprintf(stderr, " %s", e->name);
    std::fprintf(stderr, "\n");
    return 2;
}

// The 1-minute load average (other work on the machine disturbs the timing).
std::string load_average() {
    FILE* f = std::fopen("/proc/loadavg", "r");
    if (f == nullptr) return "?";
    char buf[64] = {};
    const int got = std::fscanf(f, "%63s", buf);
    std::fclose(f);
    return got == 1 ? buf : "?";
}

std::string self_path() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = 0;
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    Params p;
    p.self = self_path();
    long n = -1;
    long pool = -1;
    bool quick = false;
    int repeat = 1;
    std::string child_bench, child_engine, worker_engine;
    std::vector<std::string> engines, positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--dir") p.dir = next();
        else if (a == "--n") n = std::atol(next().c_str());
        else if (a == "--pool") pool = std::atol(next().c_str());
        else if (a == "--procs") p.procs = std::atoi(next().c_str());
        else if (a == "--quick") quick = true;
        else if (a == "--repeat") repeat = std::atoi(next().c_str());
        else if (a == "--merge") p.merge = true;
        else if (a == "--file") p.file = next();
        else if (a == "--index") p.index = std::atoi(next().c_str());
        else if (a == "--engines") {
            std::string list = next();
            for (size_t start = 0; start <= list.size();) {
                const size_t comma = list.find(',', start);
                const std::string e = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                if (!e.empty()) engines.push_back(e);
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
        } else if (a == "--child") {
            child_bench = next();
            child_engine = next();
        } else if (a == "--worker") worker_engine = next();
        else if (a.size() > 1 && a[0] == '-') return usage();
        else positional.push_back(a);
    }
    if (p.procs < 1 || repeat < 1) return usage();
    if (pool >= 0) p.pool = static_cast<uint32_t>(pool);
    Sink out(stdout);

    // A worker of the multi-process benchmark.
    if (!worker_engine.empty()) {
        const Engine* e = engine_named(worker_engine);
        if (e == nullptr || e->mp_worker == nullptr) return usage();
        p.count = n;
        return e->mp_worker(p, out);
    }
    // One engine's run of one benchmark, started by the table run below.
    if (!child_bench.empty()) {
        const Engine* e = engine_named(child_engine);
        if (e == nullptr || bench_named(child_bench) == nullptr) return usage();
        p.count = n;
        return run_one(child_bench, *e, p, out);
    }
    // BENCH_ENGINE CALLS: one engine in this process.
    if (positional.size() == 2 && positional[0].find('_') != std::string::npos) {
        const std::string& c = positional[0];
        const std::string bench = c.substr(0, c.find('_'));
        const Engine* e = engine_named(c.substr(c.find('_') + 1));
        if (e == nullptr || bench_named(bench) == nullptr) return usage();
        p.count = std::atol(positional[1].c_str());
        if (pool < 0) p.pool = default_pool(bench, p.count);
        const int rc = run_one(bench, *e, p, out);
        if (rc != 0) return rc;
        return 0;
    }

    // The table run.
    std::vector<const Bench*> chosen;
    for (const std::string& name : positional) {
        const Bench* b = bench_named(name);
        if (b == nullptr) return usage();
        chosen.push_back(b);
    }
    if (chosen.empty())
        for (const Bench& b : benches()) chosen.push_back(&b);
    std::vector<const Engine*> used;
    for (const Engine* e : kEngines)
        if (engines.empty() || std::find(engines.begin(), engines.end(), e->name) != engines.end()) used.push_back(e);

    char date[64];
    const time_t t = time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", std::localtime(&t));
    std::printf("compare_bench, %s; files in %s (%s); %ld cores online\n", date, p.dir.c_str(), fs_name(p.dir),
                sysconf(_SC_NPROCESSORS_ONLN));
    int failures = 0;
    for (const Bench* b : chosen) {
        long count = n > 0 ? n : (quick ? b->default_count / 20 : b->default_count);
        if (count < 2) count = 2;
        Params q = p;
        q.count = b->name == std::string("multiproc") ? count * p.procs : count;
        q.pool = pool >= 0 ? static_cast<uint32_t>(pool) : default_pool(b->name, count);
        std::vector<Column> cols;
        // Adds one run of an engine to its column: per phase the fastest of
        // the runs is kept, of the peak memory the largest.
        auto run = [&](const Engine* e, bool merge, const std::string& label) {
            std::vector<std::string> args = {"--child", b->name, e->name, "--dir", q.dir, "--n", std::to_string(q.count),
                                             "--pool", std::to_string(q.pool), "--procs", std::to_string(q.procs)};
            if (merge) args.push_back("--merge");
            const Child c = spawn_self(p.self, args, -1);
            if (c.pid < 0) {
                ++failures;
                return;
            }
            Result r = parse_result(read_all(c.out));
            ::close(c.out);
            r.ok = wait_ok(c.pid);
            if (!r.ok) {
                std::fprintf(stderr, "%s: %s failed\n", b->name, label.c_str());
                ++failures;
            }
            for (const Row& row : b->rows) {
                if (row.then == nullptr) continue;
                const bool ours = e == &kKindex;
                const Phase* x = r.phase(ours ? row.kindex_phase : row.peer_phase);
                const Phase* y = r.phase(row.then);
                if (x != nullptr && y != nullptr)
                    r.phases[row_phase(row, ours)] =
                        Phase{x->ops, x->seconds + y->seconds, x->cpu >= 0 && y->cpu >= 0 ? x->cpu + y->cpu : -1};
            }
            for (Column& col : cols) {
                if (col.label != label) continue;
                for (const auto& [name, ph] : r.phases) {
                    auto it = col.result.phases.find(name);
                    if (it == col.result.phases.end()) {
                        col.result.phases[name] = ph;
                        continue;
                    }
                    Phase& kept = it->second;
                    kept.seconds = ph.seconds < kept.seconds ? ph.seconds : kept.seconds;
                    if (ph.cpu >= 0 && (kept.cpu < 0 || ph.cpu < kept.cpu)) kept.cpu = ph.cpu;
                }
                const double kb = r.value("vmhwm_kb");
                if (kb > col.result.value("vmhwm_kb")) col.result.values["vmhwm_kb"] = kb;
                col.result.ok = col.result.ok && r.ok;
                return;
            }
            cols.push_back(Column{label, e, r});
        };
        const bool flushes = b->name == std::string("durable") || b->name == std::string("multiproc");
        const double probe_before = flushes ? flush_probe_us(q.dir, 200) : -1;
        const std::string load_before = load_average();
        for (int round = 0; round < repeat; ++round) {
            for (const Engine* e : used) {
                const bool takes_part = b->name == std::string("multiproc") ? e->mp_setup != nullptr
                                                                              : bench_fn(*e, b->name) != nullptr;
                if (!takes_part) continue;
                if (b->name == std::string("delete") && e == &kKindex) {
                    run(e, false, "kindex merge off");
                    run(e, true, "kindex merge on");
                } else {
                    run(e, false, e->label);
                }
            }
        }
        const std::string load_after = load_average();
        const double probe_after = flushes ? flush_probe_us(q.dir, 200) : -1;
        std::printf("\n%s: %ld %s, kindex pool %u buffers%s; best of %d run%s per engine; load average %s before, "
                    "%s after\n",
                    b->name, q.count, b->name == std::string("multiproc") ? "adds in all" : "operations per phase",
                    q.pool, b->name == std::string("multiproc") ? format(", %d processes", q.procs).c_str() : "", repeat,
                    repeat == 1 ? "" : "s", load_before.c_str(), load_after.c_str());
        if (flushes)
            std::printf("\nOne flush on %s (4 KiB pwrite + fdatasync, median of 200): %.0f µs before, %.0f µs after.\n",
                        fs_name(q.dir), probe_before, probe_after);
        print_table(*b, cols, false);
        if (b->name != std::string("durable") && b->name != std::string("multiproc")) print_table(*b, cols, true);
        print_notes(*b, cols, q);
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}
