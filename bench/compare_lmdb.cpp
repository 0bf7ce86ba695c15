// compare_bench, the LMDB side: one database with MDB_INTEGERKEY (32-bit
// keys in host order), every bulk phase in one transaction; MDB_NOSYNC except
// for the durable case, which commits one synced transaction per insert.
#include <lmdb.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "compare_engines.h"

namespace kxb {

namespace {

std::string file_in(const Params& p, const char* what) {
    return p.dir + "/compare_" + what + "_" + std::to_string(getpid()) + ".lmdb";
}

void remove_env(const std::string& path) {
    ::unlink(path.c_str());
    ::unlink((path + "-lock").c_str());
}

class Env {
public:
    ~Env() { close(); }
    bool open(const std::string& path, unsigned flags, size_t map_size) {
        remove_env(path);
        int rc = mdb_env_create(&env_);
        if (rc == 0) rc = mdb_env_set_mapsize(env_, map_size);
        if (rc == 0) rc = mdb_env_open(env_, path.c_str(), MDB_NOSUBDIR | flags, 0644);
        MDB_txn* txn = nullptr;
        if (rc == 0) rc = mdb_txn_begin(env_, nullptr, 0, &txn);
        if (rc == 0) rc = mdb_dbi_open(txn, nullptr, MDB_INTEGERKEY | MDB_CREATE, &dbi_);
        if (rc == 0) rc = mdb_txn_commit(txn);
        if (rc != 0) fail("lmdb: open %s: %s", path.c_str(), mdb_strerror(rc));
        return rc == 0;
    }
    void close() {
        if (env_ != nullptr) mdb_env_close(env_);
        env_ = nullptr;
    }
    MDB_txn* begin(bool read_only) {
        MDB_txn* txn = nullptr;
        const int rc = mdb_txn_begin(env_, nullptr, read_only ? MDB_RDONLY : 0, &txn);
        if (rc != 0) fail("lmdb: txn_begin: %s", mdb_strerror(rc));
        return txn;
    }
    MDB_dbi dbi() const { return dbi_; }

private:
    MDB_env* env_ = nullptr;
    MDB_dbi dbi_ = 0;
};

constexpr size_t kMapSize = size_t{1} << 33;  // 8 GiB of address space, sparse

bool commit(MDB_txn* txn) {
    const int rc = mdb_txn_commit(txn);
    if (rc != 0) fail("lmdb: commit: %s", mdb_strerror(rc));
    return rc == 0;
}

int load(Env& env, const std::vector<uint32_t>& keys, unsigned put_flags) {
    MDB_txn* txn = env.begin(false);
    if (txn == nullptr) return 1;
    uint8_t payload[PayloadSize];
    for (uint32_t k : keys) {
        make_payload(payload, k, 1);
        MDB_val key{sizeof k, &k};
        MDB_val val{PayloadSize, payload};
        const int rc = mdb_put(txn, env.dbi(), &key, &val, put_flags);
        if (rc != 0) {
            mdb_txn_abort(txn);
            return fail("lmdb: put %u: %s", k, mdb_strerror(rc));
        }
    }
    return commit(txn) ? 0 : 1;
}

long scan(Env& env, uint32_t version, uint64_t* sum) {
    MDB_txn* txn = env.begin(true);
    if (txn == nullptr) return -1;
    MDB_cursor* cur = nullptr;
    if (mdb_cursor_open(txn, env.dbi(), &cur) != 0) {
        mdb_txn_abort(txn);
        return -1;
    }
    uint8_t buf[PayloadSize];
    long n = 0;
    *sum = 0;
    MDB_val key, val;
    for (int rc = mdb_cursor_get(cur, &key, &val, MDB_FIRST); rc == 0; rc = mdb_cursor_get(cur, &key, &val, MDB_NEXT)) {
        uint32_t k;
        std::memcpy(&k, key.mv_data, 4);
        if (val.mv_size != PayloadSize) return -1;
        std::memcpy(buf, val.mv_data, PayloadSize);
        if (!payload_is(buf, k, version)) return -1;
        *sum += k;
        ++n;
    }
    mdb_cursor_close(cur);
    mdb_txn_abort(txn);
    return n;
}

uint64_t sum_1_to(uint64_t n) { return n * (n + 1) / 2; }

}  // namespace

int lmdb_core(const Params& p, Sink& out) {
    const uint32_t n = static_cast<uint32_t>(p.count);
    std::vector<uint32_t> seq(n);
    for (uint32_t i = 0; i < n; ++i) seq[i] = i + 1;
    const std::vector<uint32_t> order = permutation(n, 1);
    const std::vector<uint32_t> probes = permutation(n, 2);

    for (const bool append : {false, true}) {
        Env env;
        const std::string path = file_in(p, append ? "seqappend" : "seq");
        if (!env.open(path, MDB_NOSYNC, kMapSize)) return 1;
        Timer t;
        if (load(env, seq, append ? MDB_APPEND : 0) != 0) return 1;
        out.phase(append ? "seq_insert_append" : "seq_insert", n, t.lap());
        t.restart();
        env.close();
        if (!append) {
            out.phase("seq_close", 1, t.lap());
            out.value("seq_file_kb", static_cast<double>(file_kb(path)));
        }
        remove_env(path);
    }

    Env env;
    const std::string path = file_in(p, "rand");
    if (!env.open(path, MDB_NOSYNC, kMapSize)) return 1;
    Timer t;
    if (load(env, order, 0) != 0) return 1;
    out.phase("rand_insert", n, t.lap());

    {
        uint8_t buf[PayloadSize];
        t.restart();
        MDB_txn* txn = env.begin(true);
        if (txn == nullptr) return 1;
        for (uint32_t k : probes) {
            MDB_val key{sizeof k, &k};
            MDB_val val;
            if (mdb_get(txn, env.dbi(), &key, &val) != 0 || val.mv_size != PayloadSize) return fail("lmdb: get %u", k);
            std::memcpy(buf, val.mv_data, PayloadSize);
            if (!payload_is(buf, k, 1)) return fail("lmdb: payload of %u", k);
        }
        mdb_txn_abort(txn);
        out.phase("rand_find", n, t.lap());
    }

    uint64_t sum = 0;
    t.restart();
    const long seen = scan(env, 1, &sum);
    out.phase("scan", n, t.lap());
    if (seen != static_cast<long>(n) || sum != sum_1_to(n)) return fail("lmdb: scan saw %ld entries", seen);

    t.restart();
    env.close();
    out.phase("rand_close", 1, t.lap());
    out.value("rand_file_kb", static_cast<double>(file_kb(path)));
    remove_env(path);
    out.value("vmhwm_kb", static_cast<double>(status_kb("VmHWM")));
    return 0;
}

int lmdb_delete(const Params& p, Sink& out) {
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
    Env env;
    const std::string path = file_in(p, "delete");
    if (!env.open(path, MDB_NOSYNC, kMapSize)) return 1;
    if (load(env, order, 0) != 0) return 1;
    {
        const Timer t;
        MDB_txn* txn = env.begin(false);
        if (txn == nullptr) return 1;
        for (uint32_t i = 0; i < half; ++i) {
            uint32_t k = victims[i];
            MDB_val key{sizeof k, &k};
            const int rc = mdb_del(txn, env.dbi(), &key, nullptr);
            if (rc != 0) return fail("lmdb: del %u: %s", k, mdb_strerror(rc));
        }
        if (!commit(txn)) return 1;
        out.phase("delete", half, t.lap());
    }
    {
        uint8_t payload[PayloadSize];
        const Timer t;
        MDB_txn* txn = env.begin(false);
        if (txn == nullptr) return 1;
        for (uint32_t k : survivors) {
            make_payload(payload, k, 2);
            MDB_val key{sizeof k, &k};
            MDB_val val{PayloadSize, payload};
            const int rc = mdb_put(txn, env.dbi(), &key, &val, 0);
            if (rc != 0) return fail("lmdb: put %u: %s", k, mdb_strerror(rc));
        }
        if (!commit(txn)) return 1;
        out.phase("change", static_cast<long>(survivors.size()), t.lap());
    }
    uint64_t sum = 0;
    if (scan(env, 2, &sum) != static_cast<long>(survivors.size())) return fail("lmdb: entries left");
    env.close();
    out.value("file_kb", static_cast<double>(file_kb(path)));
    remove_env(path);
    out.value("vmhwm_kb", static_cast<double>(status_kb("VmHWM")));
    return 0;
}

// One synced write transaction per insert (no MDB_NOSYNC, no MDB_NOMETASYNC).
int lmdb_durable(const Params& p, Sink& out) {
    const uint32_t n = static_cast<uint32_t>(p.count);
    const std::vector<uint32_t> order = permutation(n, 5);
    Env env;
    const std::string path = file_in(p, "durable");
    if (!env.open(path, 0, size_t{1} << 30)) return 1;
    uint8_t payload[PayloadSize];
    const Timer t;
    for (uint32_t k : order) {
        make_payload(payload, k, 1);
        MDB_txn* txn = env.begin(false);
        if (txn == nullptr) return 1;
        MDB_val key{sizeof k, &k};
        MDB_val val{PayloadSize, payload};
        const int rc = mdb_put(txn, env.dbi(), &key, &val, 0);
        if (rc != 0) return fail("lmdb: put %u: %s", k, mdb_strerror(rc));
        if (!commit(txn)) return 1;
    }
    out.phase("durable_insert", n, t.lap());
    uint64_t sum = 0;
    if (scan(env, 1, &sum) != static_cast<long>(n)) return fail("lmdb: durable entries");
    env.close();
    remove_env(path);
    out.value("vmhwm_kb", static_cast<double>(status_kb("VmHWM")));
    return 0;
}

const Engine kLmdb = {"lmdb",  "LMDB",  lmdb_core, lmdb_delete, lmdb_durable, nullptr,
                      nullptr, nullptr, nullptr,   remove_env,  ".lmdb"};

}  // namespace kxb
