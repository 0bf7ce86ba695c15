// tx_bench: what transactions cost.
//
//   durable   small durable transactions: each adds 1 or 100 keys with
//             100-byte payloads and is on stable storage when it ends.
//             kindex: exclusive index file at flush mode 4 with an image file
//             attached; per transaction strtwrit, transbeg(cb, 3, NULL), the
//             cdupadd calls, transend(cb, 2), endwrit; a pool of 1,000
//             buffers (2 MiB, SQLite's default page cache).  SQLite: the
//             same rows in t(k INTEGER PRIMARY KEY, v BLOB),
//             synchronous=FULL, BEGIN, the inserts, COMMIT; once with the
//             rollback journal (journal_mode=DELETE) and once with WAL.
//   bulk      200,000 adds in random key order in one write section at flush
//             mode 4 (exclusive, pool of 60,000 buffers), once inside one
//             mode-3 transaction and once without a transaction; the time
//             runs from strtwrit to the end of endwrit (write-back and flush
//             included); the CPU time of the process is shown beside it.
//   rollback  transroll of that open 200,000-add transaction (after its
//             write section ended), in log records undone per second.
//
// Usage: tx_bench [--dir DIR] [--repeat R] [--quick] [CASE [COUNT]]
//   Without CASE every case runs (each R times in turns, the best kept) and
//   Markdown tables are printed.  With CASE one case runs once with COUNT
//   transactions (durable cases) or adds (bulk cases); 0 runs only the
//   set-up, which is the form bench/count_syscalls.sh drives to count the
//   flushes per transaction.  Cases: durable1_kindex, durable100_kindex,
//   durable1_sqlite_delete, durable100_sqlite_delete, durable1_sqlite_wal,
//   durable100_sqlite_wal, bulk_plain, bulk_tx (which also rolls back).
//   Files are made in DIR (default: the current folder) and removed after;
//   the durable cases mean something on a disk only (a flush on tmpfs costs
//   nothing).
//
// Only the public interface (kindex.h) is used, as a host would.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "compare_common.h"
#include "kindex.h"

#ifdef KXB_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace {

using kxb::fail;
using kxb::make_payload;
using kxb::now_seconds;
using kxb::PayloadSize;
using kxb::permutation;

constexpr int32_t kRoot = 1;
constexpr uint32_t kBulkPool = 60000;
constexpr uint32_t kDurablePool = 1000;  // 2 MiB, as SQLite's default page cache

struct Outcome {
    bool ok = false;
    double seconds = 0;          // the measured part
    double end_seconds = 0;      // bulk: endwrit (write-back and flush) alone
    double roll_seconds = 0;     // bulk_tx: transroll
    double cpu = 0;              // bulk: CPU time of the measured part
    double roll_cpu = 0;         // bulk_tx: CPU time of transroll
    uint64_t rolled = 0;         // bulk_tx: log records undone
};

std::string file_in(const std::string& dir, const char* what, const char* ext) {
    return dir + "/tx_bench_" + what + "_" + std::to_string(getpid()) + ext;
}

struct Block {
    KXCB cb;
    Block() { std::memset(&cb, 0, sizeof cb); }
};

int32_t create_int_file(KXCB* cb, const std::string& path) {
    ciunlink(path.c_str());
    const KXROOTLIST roots[] = {{kRoot, 5, nullptr}, {0, 0, nullptr}};
    int32_t rc = bcreate(cb, path.c_str(), 'E', 1, roots);
    if (rc == 0) rc = mclose(cb);
    if (rc == 0) rc = bopen(cb, path.c_str(), 'E', 2, roots);
    return rc;
}

// The image file: an index file of its own, opened with imgopen.
int32_t open_image(KXCB* img, const std::string& path) {
    ciunlink(path.c_str());
    int32_t rc = ccreate(img, path.c_str());
    if (rc == 0) rc = mclose(img);
    if (rc == 0) rc = imgopen(img, path.c_str(), 'E', 2);
    return rc;
}

long walk_count(KXCB* cb) {
    long n = 0;
    int32_t rc = cfirst(cb, kRoot, nullptr, 0);
    for (; rc == 0; rc = cnext(cb, kRoot, nullptr, 0)) ++n;
    return rc == KX_E_FAIL ? n : -1;
}

// ---- Durable transactions -------------------------------------------------

Outcome durable_kindex(const std::string& dir, long txs, int per_tx) {
    Outcome out;
    const std::string path = file_in(dir, "durable", ".kx"), image = file_in(dir, "durable", ".img");
    const std::vector<uint32_t> keys = permutation(static_cast<uint32_t>(std::max<long>(txs * per_tx, 1)), 11);
    Block b, i;
    KXCB* cb = &b.cb;
    KXCB* img = &i.cb;
    if (cibufnum(kDurablePool) != 0) {
        fail("kindex: cibufnum %u refused", kDurablePool);
        return out;
    }
    int32_t rc = create_int_file(cb, path);
    if (rc != 0) {
        fail("kindex: create %s: %d", path.c_str(), rc);
        return out;
    }
    rc = csetfile(cb, 4);
    if (rc == 0) rc = open_image(img, image);
    if (rc == 0) rc = imageback(cb, img);
    if (rc != 0) {
        fail("kindex: set-up (flush mode 4, image file): %d", rc);
        mclose(cb);
        return out;
    }
    uint8_t payload[PayloadSize];
    size_t next = 0;
    const double t0 = now_seconds();
    for (long t = 0; t < txs && rc == 0; ++t) {
        rc = strtwrit(cb);
        if (rc == 0) rc = transbeg(cb, 3, nullptr);
        for (int k = 0; k < per_tx && rc == 0; ++k, ++next) {
            make_payload(payload, keys[next], 1);
            const int32_t key = static_cast<int32_t>(keys[next]);
            rc = cdupadd(cb, kRoot, &key, 0, payload, PayloadSize);
        }
        if (rc == 0) rc = transend(cb, 2);
        const int32_t end = endwrit(cb);
        if (rc == 0) rc = end;
    }
    out.seconds = now_seconds() - t0;
    if (rc != 0) fail("kindex: durable transaction: %d", rc);
    const long found = rc == 0 ? walk_count(cb) : -1;
    if (rc == 0 && found != txs * per_tx) fail("kindex: %ld entries found, %ld added", found, txs * per_tx);
    const int32_t closed = mclose(cb);
    imgclose(img);
    ciunlink(path.c_str());
    ciunlink(image.c_str());
    cibufnum(100);
    out.ok = rc == 0 && found == txs * per_tx && closed == 0;
    return out;
}

#ifdef KXB_HAVE_SQLITE
bool exec(sqlite3* db, const char* sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
    fail("sqlite: %s: %s", sql, msg != nullptr ? msg : "?");
    sqlite3_free(msg);
    return false;
}

bool step_done(sqlite3_stmt* s) {
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) fail("sqlite: step: %d", rc);
    return rc == SQLITE_DONE;
}

Outcome durable_sqlite(const std::string& dir, long txs, int per_tx, bool wal) {
    Outcome out;
    const std::string path = file_in(dir, wal ? "wal" : "journal", ".sqlite");
    auto remove_db = [&] {
        for (const char* s : {"", "-wal", "-shm", "-journal"}) ::unlink((path + s).c_str());
    };
    remove_db();
    const std::vector<uint32_t> keys = permutation(static_cast<uint32_t>(std::max<long>(txs * per_tx, 1)), 11);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        fail("sqlite: open %s", path.c_str());
        sqlite3_close(db);
        return out;
    }
    sqlite3_stmt *ins = nullptr, *begin = nullptr, *commit = nullptr, *count = nullptr;
    bool ok = exec(db, wal ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE") &&
              exec(db, "PRAGMA synchronous=FULL") && exec(db, "CREATE TABLE t(k INTEGER PRIMARY KEY, v BLOB)") &&
              sqlite3_prepare_v2(db, "INSERT INTO t(k, v) VALUES(?, ?)", -1, &ins, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db, "BEGIN", -1, &begin, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db, "SELECT count(*) FROM t", -1, &count, nullptr) == SQLITE_OK;
    if (!ok) fail("sqlite: set-up: %s", sqlite3_errmsg(db));
    uint8_t payload[PayloadSize];
    size_t next = 0;
    const double t0 = now_seconds();
    for (long t = 0; t < txs && ok; ++t) {
        ok = step_done(begin);
        for (int k = 0; k < per_tx && ok; ++k, ++next) {
            make_payload(payload, keys[next], 1);
            sqlite3_bind_int64(ins, 1, keys[next]);
            sqlite3_bind_blob(ins, 2, payload, PayloadSize, SQLITE_STATIC);
            ok = step_done(ins);
        }
        if (ok) ok = step_done(commit);
    }
    out.seconds = now_seconds() - t0;
    long rows = -1;
    if (ok && sqlite3_step(count) == SQLITE_ROW) rows = static_cast<long>(sqlite3_column_int64(count, 0));
    if (ok && rows != txs * per_tx) fail("sqlite: %ld rows found, %ld inserted", rows, txs * per_tx);
    for (sqlite3_stmt* s : {ins, begin, commit, count}) sqlite3_finalize(s);
    const bool closed = sqlite3_close(db) == SQLITE_OK;
    remove_db();
    out.ok = ok && rows == txs * per_tx && closed;
    return out;
}
#endif

// ---- Bulk adds, with and without the log, and the rollback ----------------

uint64_t g_rolled = 0;
int32_t count_undone(KXCB* /*cb*/, double progress, const void* /*record*/) {
    if (progress >= 0) ++g_rolled;
    return 0;
}

Outcome bulk(const std::string& dir, long n, bool tx) {
    Outcome out;
    if (cibufnum(kBulkPool) != 0) {
        fail("kindex: cibufnum %u refused", kBulkPool);
        return out;
    }
    const std::string path = file_in(dir, tx ? "bulk_tx" : "bulk_plain", ".kx");
    const std::vector<uint32_t> keys = permutation(static_cast<uint32_t>(std::max<long>(n, 1)), 12);
    Block b;
    KXCB* cb = &b.cb;
    int32_t rc = create_int_file(cb, path);
    if (rc == 0) rc = csetfile(cb, 4);
    if (rc != 0) {
        fail("kindex: set-up %s: %d", path.c_str(), rc);
        mclose(cb);
        cibufnum(100);
        return out;
    }
    uint8_t payload[PayloadSize];
    const double c0 = kxb::cpu_seconds();
    const double t0 = now_seconds();
    rc = strtwrit(cb);
    if (rc == 0 && tx) rc = transbeg(cb, 3, nullptr);
    for (long i = 0; i < n && rc == 0; ++i) {
        make_payload(payload, keys[static_cast<size_t>(i)], 1);
        const int32_t key = static_cast<int32_t>(keys[static_cast<size_t>(i)]);
        rc = cdupadd(cb, kRoot, &key, 0, payload, PayloadSize);
    }
    const double t1 = now_seconds();
    const int32_t end = endwrit(cb);
    const double t2 = now_seconds();
    out.cpu = kxb::cpu_seconds() - c0;
    if (rc == 0) rc = end;
    out.seconds = t2 - t0;
    out.end_seconds = t2 - t1;
    if (rc != 0) fail("kindex: bulk adds: %d", rc);
    long found = rc == 0 ? walk_count(cb) : -1;
    if (rc == 0 && found != n) {
        fail("kindex: %ld entries found after the adds, %ld added", found, n);
        rc = KX_E_FAIL;
    }
    if (rc == 0 && tx) {
        g_rolled = 0;
        const double r0 = now_seconds(), rc0 = kxb::cpu_seconds();
        rc = transroll(cb, count_undone, 0, nullptr);
        out.roll_seconds = now_seconds() - r0;
        out.roll_cpu = kxb::cpu_seconds() - rc0;
        out.rolled = g_rolled;
        if (rc != 0) fail("kindex: transroll: %d", rc);
        found = rc == 0 ? walk_count(cb) : -1;
        if (rc == 0 && found != 0) {
            fail("kindex: %ld entries left after the rollback", found);
            rc = KX_E_FAIL;
        }
    }
    const int32_t closed = mclose(cb);
    ciunlink(path.c_str());
    cibufnum(100);
    out.ok = rc == 0 && closed == 0;
    return out;
}

// ---- Cases ----------------------------------------------------------------

struct Case {
    const char* name;
    const char* engine;
    int per_tx;          // durable: records per transaction; 0 for bulk
    long default_count;  // transactions or adds
    Outcome (*run)(const std::string& dir, long count);
};

const Case kCases[] = {
    {"durable1_kindex", "kindex, mode 3 + image file", 1, 300,
     [](const std::string& d, long c) { return durable_kindex(d, c, 1); }},
    {"durable100_kindex", "kindex, mode 3 + image file", 100, 100,
     [](const std::string& d, long c) { return durable_kindex(d, c, 100); }},
#ifdef KXB_HAVE_SQLITE
    {"durable1_sqlite_delete", "SQLite, rollback journal", 1, 300,
     [](const std::string& d, long c) { return durable_sqlite(d, c, 1, false); }},
    {"durable100_sqlite_delete", "SQLite, rollback journal", 100, 100,
     [](const std::string& d, long c) { return durable_sqlite(d, c, 100, false); }},
    {"durable1_sqlite_wal", "SQLite, WAL", 1, 300,
     [](const std::string& d, long c) { return durable_sqlite(d, c, 1, true); }},
    {"durable100_sqlite_wal", "SQLite, WAL", 100, 100,
     [](const std::string& d, long c) { return durable_sqlite(d, c, 100, true); }},
#endif
    {"bulk_plain", "kindex, no transaction", 0, 200000, [](const std::string& d, long c) { return bulk(d, c, false); }},
    {"bulk_tx", "kindex, one mode-3 transaction", 0, 200000,
     [](const std::string& d, long c) { return bulk(d, c, true); }},
};

int usage() {
    std::fprintf(stderr, "usage: tx_bench [--dir DIR] [--repeat R] [--quick] [CASE [COUNT]]\ncases:");
    for (const Case& c : kCases) std::fprintf(stderr, " %s", c.name);
    std::fprintf(stderr, "\n");
    return 2;
}

double load_average() {
    double l = -1;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &l) != 1) l = -1;
        std::fclose(f);
    }
    return l;
}

// Keeps the fastest of several runs: the adds and the rollback each by
// itself.
void keep_best(Outcome& best, const Outcome& o, bool first) {
    if (first || o.seconds < best.seconds) {
        best.seconds = o.seconds;
        best.end_seconds = o.end_seconds;
    }
    if (first || o.cpu < best.cpu) best.cpu = o.cpu;
    if (o.rolled > 0 && (best.rolled == 0 || o.roll_seconds < best.roll_seconds)) {
        best.roll_seconds = o.roll_seconds;
        best.rolled = o.rolled;
    }
    if (o.rolled > 0 && (best.roll_cpu == 0 || o.roll_cpu < best.roll_cpu)) best.roll_cpu = o.roll_cpu;
    best.ok = true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = ".";
    int repeat = 3;
    bool quick = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            dir = argv[++i];
        } else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else {
            return usage();
        }
    }
    if (i < argc) {
        for (const Case& c : kCases) {
            if (std::strcmp(argv[i], c.name) != 0) continue;
            const long count = i + 1 < argc ? std::atol(argv[i + 1]) : c.default_count;
            const Outcome o = c.run(dir, count);
            if (!o.ok) return 1;
            std::printf("%-26s %8ld %10.3f s\n", c.name, count, o.seconds);
            return 0;
        }
        return usage();
    }

    const size_t n = sizeof kCases / sizeof kCases[0];
    std::vector<Outcome> best(n);
    std::vector<long> counts(n);
    for (size_t k = 0; k < n; ++k)
        counts[k] = quick ? std::max<long>(1, kCases[k].default_count / 10) : kCases[k].default_count;
    const double probe_before = kxb::flush_probe_us(dir, 100);
    for (int r = 0; r < repeat; ++r) {
        for (size_t k = 0; k < n; ++k) {
            const Outcome o = kCases[k].run(dir, counts[k]);
            if (!o.ok) {
                std::fprintf(stderr, "tx_bench: %s failed\n", kCases[k].name);
                return 1;
            }
            keep_best(best[k], o, r == 0);
        }
    }
    const double probe_after = kxb::flush_probe_us(dir, 100);

    std::printf("Files in %s; one flush (4 KiB pwrite + fdatasync, median of 100): %.0f us before, %.0f us after; "
                "1-minute load average %.2f; best of %d runs in turns.\n\n",
                dir.c_str(), probe_before, probe_after, load_average(), repeat);
    std::printf("| durable transactions | records per transaction | transactions | tx/s | ms per tx | records/s |\n");
    std::printf("|---|---:|---:|---:|---:|---:|\n");
    for (size_t k = 0; k < n; ++k) {
        const Case& c = kCases[k];
        if (c.per_tx == 0) continue;
        const double tps = static_cast<double>(counts[k]) / best[k].seconds;
        std::printf("| %s | %d | %ld | %.1f | %.2f | %.0f |\n", c.engine, c.per_tx, counts[k], tps,
                    1000.0 / tps, tps * c.per_tx);
    }
    const Outcome* plain = nullptr;
    const Outcome* tx = nullptr;
    long bulk_n = 0;
    for (size_t k = 0; k < n; ++k) {
        if (std::strcmp(kCases[k].name, "bulk_plain") == 0) plain = &best[k];
        if (std::strcmp(kCases[k].name, "bulk_tx") == 0) {
            tx = &best[k];
            bulk_n = counts[k];
        }
    }
    if (plain != nullptr && tx != nullptr) {
        std::printf("\n| %ld adds in one write section, flush mode 4 | seconds | adds/s | of which endwrit | "
                    "vs no transaction | CPU seconds | CPU vs no transaction |\n",
                    bulk_n);
        std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
        std::printf("| no transaction | %.3f | %.0f | %.3f s | 1.00x | %.3f | 1.00x |\n", plain->seconds,
                    static_cast<double>(bulk_n) / plain->seconds, plain->end_seconds, plain->cpu);
        std::printf("| one mode-3 transaction | %.3f | %.0f | %.3f s | %.2fx | %.3f | %.2fx |\n", tx->seconds,
                    static_cast<double>(bulk_n) / tx->seconds, tx->end_seconds, tx->seconds / plain->seconds, tx->cpu,
                    plain->cpu > 0 ? tx->cpu / plain->cpu : 0.0);
        std::printf("\n| rollback (transroll) of the open transaction | log records | seconds | records/s | "
                    "vs the adds | CPU seconds |\n");
        std::printf("|---|---:|---:|---:|---:|---:|\n");
        std::printf("| %ld adds | %llu | %.3f | %.0f | %.2fx their time | %.3f |\n", bulk_n,
                    static_cast<unsigned long long>(tx->rolled), tx->roll_seconds,
                    tx->roll_seconds > 0 ? static_cast<double>(tx->rolled) / tx->roll_seconds : 0.0,
                    tx->roll_seconds / tx->seconds, tx->roll_cpu);
    }
    return 0;
}
