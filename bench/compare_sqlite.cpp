// compare_bench, the SQLite side: the same work through prepared statements.
//
// Core, deletion and records: a rowid table (the key is the INTEGER PRIMARY
// KEY), WAL, synchronous=OFF, secure_delete=OFF, exclusive locking mode (the
// kindex files are open exclusive as well), a page cache large enough for
// the whole database, and every phase in one transaction.
#include <sqlite3.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "compare_engines.h"

namespace kxb {

namespace {

const char* const kFastPragmas =
    "PRAGMA locking_mode=EXCLUSIVE;"  // before WAL: no shared-memory index
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=OFF;"
    "PRAGMA secure_delete=OFF;"
    "PRAGMA cache_size=-2097152;";  // up to 2 GiB of page cache

const char* const kRecordSchema =
    "CREATE TABLE r(id INTEGER NOT NULL, name TEXT NOT NULL, grp INTEGER NOT NULL);"
    "CREATE UNIQUE INDEX r_id ON r(id);"
    "CREATE INDEX r_name ON r(name);"
    "CREATE INDEX r_grp ON r(grp);";

std::string file_in(const Params& p, const char* what) {
    return p.dir + "/compare_" + what + "_" + std::to_string(getpid()) + ".sqlite";
}

void remove_db(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((path + suffix).c_str());
}

class Db {
public:
    ~Db() { close(); }
    bool open(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
            fail("sqlite: open %s: %s", path.c_str(), sqlite3_errmsg(db_));
            return false;
        }
        return true;
    }
    bool exec(const char* sql) {
        char* msg = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
            fail("sqlite: %s: %s", sql, msg != nullptr ? msg : "?");
            sqlite3_free(msg);
            return false;
        }
        return true;
    }
    bool close() {
        if (db_ == nullptr) return true;
        const int rc = sqlite3_close(db_);
        db_ = nullptr;
        if (rc != SQLITE_OK) fail("sqlite: close: %d", rc);
        return rc == SQLITE_OK;
    }
    sqlite3* get() { return db_; }

private:
    sqlite3* db_ = nullptr;
};

class Stmt {
public:
    Stmt(Db& db, const char* sql) : db_(db.get()) {
        if (sqlite3_prepare_v2(db_, sql, -1, &s_, nullptr) != SQLITE_OK) fail("sqlite: prepare %s: %s", sql, sqlite3_errmsg(db_));
    }
    ~Stmt() { sqlite3_finalize(s_); }
    sqlite3_stmt* get() { return s_; }
    bool ok() const { return s_ != nullptr; }
    // Steps a statement that returns no row, then resets it.
    bool run() {
        const int rc = sqlite3_step(s_);
        sqlite3_reset(s_);
        if (rc != SQLITE_DONE) fail("sqlite: step: %d %s", rc, sqlite3_errmsg(db_));
        return rc == SQLITE_DONE;
    }

private:
    sqlite3* db_;
    sqlite3_stmt* s_ = nullptr;
};

int open_fast(Db& db, const std::string& path) {
    remove_db(path);
    if (!db.open(path) || !db.exec(kFastPragmas)) return 1;
    return 0;
}

int load(Db& db, const std::vector<uint32_t>& keys) {
    Stmt ins(db, "INSERT INTO t(k, v) VALUES(?, ?)");
    if (!ins.ok() || !db.exec("BEGIN")) return 1;
    uint8_t payload[PayloadSize];
    for (const uint32_t k : keys) {
        make_payload(payload, k, 1);
        sqlite3_bind_int64(ins.get(), 1, k);
        sqlite3_bind_blob(ins.get(), 2, payload, PayloadSize, SQLITE_STATIC);
        if (!ins.run()) return fail("sqlite: insert %u", k);
    }
    return db.exec("COMMIT") ? 0 : 1;
}

// Reads every row in key order inside one read transaction; -1 on a bad
// payload.
long scan(Db& db, uint32_t version, uint64_t* sum) {
    Stmt sel(db, "SELECT k, v FROM t");
    if (!sel.ok() || !db.exec("BEGIN")) return -1;
    uint8_t buf[PayloadSize];
    long n = 0;
    *sum = 0;
    while (sqlite3_step(sel.get()) == SQLITE_ROW) {
        const uint32_t k = static_cast<uint32_t>(sqlite3_column_int64(sel.get(), 0));
        const void* v = sqlite3_column_blob(sel.get(), 1);
        if (sqlite3_column_bytes(sel.get(), 1) != PayloadSize) return -1;
        std::memcpy(buf, v, PayloadSize);
        if (!payload_is(buf, k, version)) return -1;
        *sum += k;
        ++n;
    }
    sqlite3_reset(sel.get());
    if (!db.exec("COMMIT")) return -1;
    return n;
}

uint64_t sum_1_to(uint64_t n) { return n * (n + 1) / 2; }

const char* const kKeyTable = "CREATE TABLE t(k INTEGER PRIMARY KEY, v BLOB)";

}  // namespace

int sqlite_core(const Params& p, Sink& out) {
    const uint32_t n = static_cast<uint32_t>(p.count);
    std::vector<uint32_t> seq(n);
    for (uint32_t i = 0; i < n; ++i) seq[i] = i + 1;
    const std::vector<uint32_t> order = permutation(n, 1);
    const std::vector<uint32_t> probes = permutation(n, 2);

    {
        Db db;
        const std::string path = file_in(p, "seq");
        if (open_fast(db, path) != 0 || !db.exec(kKeyTable)) return 1;
        Timer t;
        if (load(db, seq) != 0) return 1;
        out.phase("seq_insert", n, t.lap());
        t.restart();
        if (!db.close()) return 1;
        out.phase("seq_close", 1, t.lap());
        out.value("seq_file_kb", static_cast<double>(file_kb(path)));
        remove_db(path);
    }

    Db db;
    const std::string path = file_in(p, "rand");
    if (open_fast(db, path) != 0 || !db.exec(kKeyTable)) return 1;
    Timer t;
    if (load(db, order) != 0) return 1;
    out.phase("rand_insert", n, t.lap());

    {
        Stmt sel(db, "SELECT v FROM t WHERE k = ?");
        if (!sel.ok()) return 1;
        uint8_t buf[PayloadSize];
        t.restart();
        if (!db.exec("BEGIN")) return 1;
        for (const uint32_t k : probes) {
            sqlite3_bind_int64(sel.get(), 1, k);
            if (sqlite3_step(sel.get()) != SQLITE_ROW || sqlite3_column_bytes(sel.get(), 0) != PayloadSize)
                return fail("sqlite: find %u", k);
            std::memcpy(buf, sqlite3_column_blob(sel.get(), 0), PayloadSize);
            sqlite3_reset(sel.get());
            if (!payload_is(buf, k, 1)) return fail("sqlite: payload of %u", k);
        }
        if (!db.exec("COMMIT")) return 1;
        out.phase("rand_find", n, t.lap());
    }

    uint64_t sum = 0;
    t.restart();
    const long seen = scan(db, 1, &sum);
    out.phase("scan", n, t.lap());
    if (seen != static_cast<long>(n) || sum != sum_1_to(n)) return fail("sqlite: scan saw %ld rows", seen);

    t.restart();
    if (!db.close()) return 1;
    out.phase("rand_close", 1, t.lap());
    out.value("rand_file_kb", static_cast<double>(file_kb(path)));
    remove_db(path);
    out.value("vmhwm_kb", static_cast<double>(status_kb("VmHWM")));
    return 0;
}

int sqlite_delete(const Params& p, Sink& out) {
    const uint32_t n = static_cast<uint32_t>(p.count);
    const std::vector<uint32_t> order = permutation(n, 1);
    const std::vector<uint32_t> victims = permutation(n, 3);
    const uint32_t half = n / 2;
    std::vector<uint32_t> survivors(victims.begin() + half, victims.end());
    {
        const std::vector<uint32_t> mix = permutation(static_cast<uint32_t>(survivors.size()), 4);
        std::vector<uint32_t> shuffled(survivors.size());
        for (size_t i = 0; i < mix.size(); ++i) shuffled[i] = survivors[mix[i] - 1];
        survivors.swap(shuffled);
    }
    Db db;
    const std::string path = file_in(p, "delete");
    if (open_fast(db, path) != 0 || !db.exec(kKeyTable)) return 1;
    if (load(db, order) != 0) return 1;
    {
        Stmt del(db, "DELETE FROM t WHERE k = ?");
        if (!del.ok()) return 1;
        const Timer t;
        if (!db.exec("BEGIN")) return 1;
        for (uint32_t i = 0; i < half; ++i) {
            sqlite3_bind_int64(del.get(), 1, victims[i]);
            if (!del.run() || sqlite3_changes(db.get()) != 1) return fail("sqlite: delete %u", victims[i]);
        }
        if (!db.exec("COMMIT")) return 1;
        out.phase("delete", half, t.lap());
    }
    {
        Stmt upd(db, "UPDATE t SET v = ? WHERE k = ?");
        if (!upd.ok()) return 1;
        uint8_t payload[PayloadSize];
        const Timer t;
        if (!db.exec("BEGIN")) return 1;
        for (const uint32_t k : survivors) {
            make_payload(payload, k, 2);
            sqlite3_bind_blob(upd.get(), 1, payload, PayloadSize, SQLITE_STATIC);
            sqlite3_bind_int64(upd.get(), 2, k);
            if (!upd.run() || sqlite3_changes(db.get()) != 1) return fail("sqlite: update %u", k);
        }
        if (!db.exec("COMMIT")) return 1;
        out.phase("change", static_cast<long>(survivors.size()), t.lap());
    }
    uint64_t sum = 0;
    if (scan(db, 2, &sum) != static_cast<long>(survivors.size())) return fail("sqlite: rows left");
    if (!db.close()) return 1;
    out.value("file_kb", static_cast<double>(file_kb(path)));
    remove_db(path);
    out.value("vmhwm_kb", static_cast<double>(status_kb("VmHWM")));
    return 0;
}

// Autocommit inserts, rollback journal, synchronous=FULL: every insert is
// on stable storage when its statement returns.
int sqlite_durable(const Params& p, Sink& out) {
    const uint32_t n = static_cast<uint32_t>(p.count);
    const std::vector<uint32_t> order = permutation(n, 5);
    Db db;
    const std::string path = file_in(p, "durable");
    remove_db(path);
    if (!db.open(path) || !db.exec("PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;") || !db.exec(kKeyTable))
        return 1;
    {
        Stmt ins(db, "INSERT INTO t(k, v) VALUES(?, ?)");
        if (!ins.ok()) return 1;
        uint8_t payload[PayloadSize];
        const Timer t;
        for (const uint32_t k : order) {
            make_payload(payload, k, 1);
            sqlite3_bind_int64(ins.get(), 1, k);
            sqlite3_bind_blob(ins.get(), 2, payload, PayloadSize, SQLITE_STATIC);
            if (!ins.run()) return fail("sqlite: insert %u", k);
        }
        out.phase("durable_insert", n, t.lap());
    }
    uint64_t sum = 0;
    if (scan(db, 1, &sum) != static_cast<long>(n)) return fail("sqlite: durable rows");
    if (!db.close()) return 1;
    remove_db(path);
    out.value("vmhwm_kb", static_cast<double>(status_kb("VmHWM")));
    return 0;
}

namespace {

struct RecordOut {
    int32_t id = 0;
    char name[NameSize] = {};
    int32_t group = 0;
    void take(sqlite3_stmt* s) {
        id = sqlite3_column_int(s, 0);
        std::memset(name, 0, sizeof name);
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
        const int len = sqlite3_column_bytes(s, 1);
        if (text != nullptr) std::memcpy(name, text, static_cast<size_t>(len < NameSize - 1 ? len : NameSize - 1));
        group = sqlite3_column_int(s, 2);
    }
    bool holds(uint32_t i) const {
        char want[NameSize] = {};
        record_name(i, want);
        return id == static_cast<int32_t>(i) && std::strcmp(name, want) == 0 && group == record_group(i);
    }
};

bool insert_record(Stmt& ins, uint32_t id, bool retry_busy) {
    char name[NameSize] = {};
    record_name(id, name);
    sqlite3_bind_int64(ins.get(), 1, id);
    sqlite3_bind_text(ins.get(), 2, name, -1, SQLITE_STATIC);
    sqlite3_bind_int64(ins.get(), 3, record_group(id));
    for (;;) {
        const int rc = sqlite3_step(ins.get());
        sqlite3_reset(ins.get());
        if (rc == SQLITE_DONE) return true;
        if (retry_busy && (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)) continue;
        fail("sqlite: insert record %u: %d", id, rc);
        return false;
    }
}

}  // namespace

int sqlite_records(const Params& p, Sink& out) {
    const uint32_t n = static_cast<uint32_t>(p.count);
    const std::vector<uint32_t> order = permutation(n, 6);
    const std::vector<uint32_t> probes = permutation(n, 7);
    Db db;
    const std::string path = file_in(p, "records");
    if (open_fast(db, path) != 0 || !db.exec(kRecordSchema)) return 1;
    {
        Stmt ins(db, "INSERT INTO r(id, name, grp) VALUES(?, ?, ?)");
        if (!ins.ok()) return 1;
        const Timer t;
        if (!db.exec("BEGIN")) return 1;
        for (const uint32_t id : order)
            if (!insert_record(ins, id, false)) return 1;
        if (!db.exec("COMMIT")) return 1;
        out.phase("add", n, t.lap());
    }
    RecordOut r;
    {
        Stmt sel(db, "SELECT id, name, grp FROM r WHERE id = ?");
        if (!sel.ok()) return 1;
        const Timer t;
        if (!db.exec("BEGIN")) return 1;
        for (const uint32_t id : probes) {
            sqlite3_bind_int64(sel.get(), 1, id);
            if (sqlite3_step(sel.get()) != SQLITE_ROW) return fail("sqlite: find id %u", id);
            r.take(sel.get());
            sqlite3_reset(sel.get());
            if (!r.holds(id)) return fail("sqlite: record %u", id);
        }
        if (!db.exec("COMMIT")) return 1;
        out.phase("find_read", n, t.lap());
    }
    {
        Stmt sel(db, "SELECT id, name, grp FROM r WHERE name = ? LIMIT 1");
        if (!sel.ok()) return 1;
        char name[NameSize];
        const Timer t;
        if (!db.exec("BEGIN")) return 1;
        for (const uint32_t id : probes) {
            std::memset(name, 0, sizeof name);
            record_name(id, name);
            sqlite3_bind_text(sel.get(), 1, name, -1, SQLITE_STATIC);
            if (sqlite3_step(sel.get()) != SQLITE_ROW) return fail("sqlite: find name %s", name);
            r.take(sel.get());
            sqlite3_reset(sel.get());
            if (std::strcmp(r.name, name) != 0) return fail("sqlite: record of name %s", name);
        }
        if (!db.exec("COMMIT")) return 1;
        out.phase("find_name", n, t.lap());
    }
    if (!db.close()) return 1;
    out.value("file_kb", static_cast<double>(file_kb(path)));
    remove_db(path);
    out.value("vmhwm_kb", static_cast<double>(status_kb("VmHWM")));
    return 0;
}

namespace {

int sqlite_mp_setup(const std::string& path) {
    remove_db(path);
    Db db;
    if (!db.open(path) || !db.exec("PRAGMA journal_mode=WAL;") || !db.exec(kRecordSchema)) return 1;
    return db.close() ? 0 : 1;
}

// WAL, synchronous=FULL (each commit flushes the log), a busy timeout, one
// autocommit insert per record.
int sqlite_mp_worker(const Params& p, Sink& out) {
    Db db;
    if (!db.open(p.file)) return 1;
    sqlite3_busy_timeout(db.get(), 60000);
    if (!db.exec("PRAGMA synchronous=FULL;")) return 1;
    Stmt ins(db, "INSERT INTO r(id, name, grp) VALUES(?, ?, ?)");
    if (!ins.ok()) return 1;
    worker_ready();
    const uint32_t base = static_cast<uint32_t>(p.index) * static_cast<uint32_t>(p.count);
    const Timer t;
    for (long i = 0; i < p.count; ++i)
        if (!insert_record(ins, base + static_cast<uint32_t>(i) + 1, true)) return 1;
    out.phase("worker", p.count, t.lap());
    out.value("vmhwm_kb", static_cast<double>(status_kb("VmHWM")));
    return 0;
}

long sqlite_mp_count(const std::string& path) {
    Db db;
    if (!db.open(path)) return -1;
    Stmt s(db, "SELECT count(*), count(DISTINCT id) FROM r");
    if (!s.ok() || sqlite3_step(s.get()) != SQLITE_ROW) return -1;
    const long n = sqlite3_column_int64(s.get(), 0);
    const long distinct = sqlite3_column_int64(s.get(), 1);
    return n == distinct ? n : -1;
}

}  // namespace

const Engine kSqlite = {"sqlite",         "SQLite",        sqlite_core,      sqlite_delete,   sqlite_durable,
                        sqlite_records,   sqlite_mp_setup, sqlite_mp_worker, sqlite_mp_count, remove_db,
                        ".sqlite"};

}  // namespace kxb
