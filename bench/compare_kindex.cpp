// compare_bench, the kindex side.  Only the public interface is used, as a
// host would use it.
#include <unistd.h>

#include <cstring>
#include <vector>

#include "compare_engines.h"
#include "kindex.h"

// Every timed phase is a function of its own that is never inlined or merged,
// so that a profile can tell the phases apart by the stack (perf_phases.py).
#if defined(__clang__)
#define KXB_PHASE __attribute__((noinline))
#else
#define KXB_PHASE __attribute__((noipa))
#endif

namespace kxb {

namespace {

constexpr int32_t kRoot = 1;
const KXROOTLIST kIntRoot[] = {{1, 5, nullptr}, {0, 0, nullptr}};
// Records: id (int, unique) in root 1, name (string, duplicates) in root 2,
// group (int, duplicates) in root 3.
const KXROOTLIST kRecordRoots[] = {{1, 5, nullptr}, {2, 0, nullptr}, {3, 5, nullptr}, {0, 0, nullptr}};
constexpr uint32_t kRecordBuffer = 256;

struct Block {
    KXCB cb;
    Block() { std::memset(&cb, 0, sizeof cb); }
};

std::string file_in(const Params& p, const char* what) {
    return p.dir + "/compare_" + what + "_" + std::to_string(getpid()) + ".kx";
}

// Creates a file with one root of 32-bit integer keys, exclusive, flush
// mode 0.
int create_int_file(KXCB* cb, const std::string& path) {
    ciunlink(path.c_str());
    int32_t rc = bcreate(cb, path.c_str(), 'E', 1, kIntRoot);
    if (rc != 0) return fail("kindex: bcreate %s: %d", path.c_str(), rc);
    rc = csetfile(cb, 0);
    if (rc != 0) return fail("kindex: csetfile 0: %d", rc);
    return 0;
}

// Adds the keys in the given order inside one write section.
int load(KXCB* cb, const std::vector<uint32_t>& keys, const char* what) {
    uint8_t payload[PayloadSize];
    int32_t rc = strtwrit(cb);
    if (rc != 0) return fail("kindex: strtwrit: %d", rc);
    for (const uint32_t k : keys) {
        make_payload(payload, k, 1);
        const int32_t key = static_cast<int32_t>(k);
        rc = cdupadd(cb, kRoot, &key, 0, payload, PayloadSize);
        if (rc != 0) return fail("kindex: %s cdupadd %u: %d", what, k, rc);
    }
    rc = endwrit(cb);
    if (rc != 0) return fail("kindex: endwrit: %d", rc);
    return 0;
}

int32_t current_int_key(const KXCB* cb) {
    int32_t k;
    std::memcpy(&k, cb->current_key, 4);
    return k;
}

// Walk state of the cnextrep callback.
struct RepWalk {
    long count = 0;
    uint64_t sum = 0;
    bool bad = false;
};
RepWalk g_walk;

int32_t rep_visit(KXCB* cb, int32_t, void* data, int32_t length) {
    const int32_t k = current_int_key(cb);
    ++g_walk.count;
    g_walk.sum += static_cast<uint32_t>(k);
    if (length != PayloadSize || std::memcmp(data, &k, 4) != 0) g_walk.bad = true;
    return 1;
}

// Walks the root with cfirst + cnext; returns the entries seen, -1 on a bad
// payload.  Payloads carry their key and the expected version.
long walk_next(KXCB* cb, uint32_t version, uint64_t* sum) {
    uint8_t buf[PayloadSize];
    long n = 0;
    *sum = 0;
    for (int32_t rc = cfirst(cb, kRoot, buf, PayloadSize); rc == 0; rc = cnext(cb, kRoot, buf, PayloadSize)) {
        const uint32_t k = static_cast<uint32_t>(current_int_key(cb));
        if (cb->datalen != PayloadSize || !payload_is(buf, k, version)) return -1;
        *sum += k;
        ++n;
    }
    return n;
}

uint64_t sum_1_to(uint64_t n) { return n * (n + 1) / 2; }

}  // namespace

// ---- Core B+tree ------------------------------------------------------------

namespace {

KXB_PHASE int phase_seq_insert(KXCB* cb, const std::vector<uint32_t>& keys) { return load(cb, keys, "sequential"); }
KXB_PHASE int phase_rand_insert(KXCB* cb, const std::vector<uint32_t>& keys) { return load(cb, keys, "random"); }

KXB_PHASE int phase_rand_find(KXCB* cb, const std::vector<uint32_t>& probes) {
    uint8_t buf[PayloadSize];
    for (const uint32_t k : probes) {
        const int32_t key = static_cast<int32_t>(k);
        const int32_t rc = cfind(cb, kRoot, &key, 0, buf, PayloadSize);
        if (rc != 0 || !payload_is(buf, k, 1)) return fail("kindex: cfind %u: %d", k, rc);
    }
    return 0;
}

KXB_PHASE long phase_scan_next(KXCB* cb, uint64_t* sum) { return walk_next(cb, 1, sum); }

KXB_PHASE int32_t phase_scan_rep(KXCB* cb) {
    uint8_t buf[PayloadSize];
    g_walk = RepWalk{};
    int32_t rc = cfirst(cb, kRoot, buf, PayloadSize);
    if (rc == 0) {
        g_walk.count = 1;
        g_walk.sum = static_cast<uint32_t>(current_int_key(cb));
        rc = cnextrep(cb, kRoot, buf, PayloadSize, rep_visit);
    }
    return rc;
}

KXB_PHASE int32_t phase_close(KXCB* cb) { return mclose(cb); }

}  // namespace

int kindex_core(const Params& p, Sink& out) {
    const uint32_t n = static_cast<uint32_t>(p.count);
    // The pool is allocated and cleared by cibufnum: its whole size shows
    // in the resident set at once.
    const long rss0 = status_kb("VmRSS");
    if (cibufnum(p.pool) != 0) return fail("kindex: cibufnum %u refused", p.pool);
    const long rss1 = status_kb("VmRSS");
    out.value("pool_buffers", p.pool);
    out.value("pool_rss_kb", static_cast<double>(rss1 - rss0));

    std::vector<uint32_t> seq(n);
    for (uint32_t i = 0; i < n; ++i) seq[i] = i + 1;
    const std::vector<uint32_t> order = permutation(n, 1);
    const std::vector<uint32_t> probes = permutation(n, 2);

    {
        Block b;
        const std::string path = file_in(p, "seq");
        if (create_int_file(&b.cb, path) != 0) return 1;
        Timer t;
        if (phase_seq_insert(&b.cb, seq) != 0) return 1;
        out.phase("seq_insert", n, t.lap());
        out.value("seq_nodes", b.cb.next_node);
        t.restart();
        if (phase_close(&b.cb) != 0) return fail("kindex: mclose");
        out.phase("seq_close", 1, t.lap());
        out.value("seq_file_kb", static_cast<double>(file_kb(path)));
        ciunlink(path.c_str());
    }

    Block b;
    KXCB* cb = &b.cb;
    const std::string path = file_in(p, "rand");
    if (create_int_file(cb, path) != 0) return 1;
    Timer t;
    if (phase_rand_insert(cb, order) != 0) return 1;
    out.phase("rand_insert", n, t.lap());
    out.value("rand_nodes", cb->next_node);

    t.restart();
    if (phase_rand_find(cb, probes) != 0) return 1;
    out.phase("rand_find", n, t.lap());

    uint64_t sum = 0;
    t.restart();
    const long seen = phase_scan_next(cb, &sum);
    out.phase("scan_next", n, t.lap());
    if (seen != static_cast<long>(n) || sum != sum_1_to(n)) return fail("kindex: cnext walk saw %ld entries", seen);

    t.restart();
    const int32_t rc = phase_scan_rep(cb);
    out.phase("scan_rep", n, t.lap());
    if (rc != KX_E_FAIL || g_walk.bad || g_walk.count != static_cast<long>(n) || g_walk.sum != sum_1_to(n))
        return fail("kindex: cnextrep walk: %d, %ld entries", rc, g_walk.count);

    t.restart();
    if (phase_close(cb) != 0) return fail("kindex: mclose");
    out.phase("rand_close", 1, t.lap());
    out.value("rand_file_kb", static_cast<double>(file_kb(path)));
    ciunlink(path.c_str());
    out.value("vmhwm_kb", static_cast<double>(status_kb("VmHWM")));
    return 0;
}

// ---- Deletion and change ------------------------------------------------------

namespace {

KXB_PHASE int phase_delete(KXCB* cb, const std::vector<uint32_t>& victims, uint32_t count) {
    int32_t rc = strtwrit(cb);
    for (uint32_t i = 0; i < count && rc == 0; ++i) {
        const int32_t key = static_cast<int32_t>(victims[i]);
        rc = cdelete(cb, kRoot, &key, 0);
        if (rc != 0) return fail("kindex: cdelete %d: %d", key, rc);
    }
    if (rc == 0) rc = endwrit(cb);
    return rc == 0 ? 0 : fail("kindex: delete section: %d", rc);
}

KXB_PHASE int phase_change(KXCB* cb, const std::vector<uint32_t>& keys) {
    uint8_t payload[PayloadSize];
    int32_t rc = strtwrit(cb);
    for (const uint32_t k : keys) {
        if (rc != 0) break;
        make_payload(payload, k, 2);
        const int32_t key = static_cast<int32_t>(k);
        rc = cchange(cb, kRoot, &key, 0, payload, PayloadSize);
        if (rc != 0) return fail("kindex: cchange %d: %d", key, rc);
    }
    if (rc == 0) rc = endwrit(cb);
    return rc == 0 ? 0 : fail("kindex: change section: %d", rc);
}

}  // namespace

int kindex_delete(const Params& p, Sink& out) {
    const uint32_t n = static_cast<uint32_t>(p.count);
    if (cibufnum(p.pool) != 0) return fail("kindex: cibufnum %u refused", p.pool);
    const std::vector<uint32_t> order = permutation(n, 1);
    const std::vector<uint32_t> victims = permutation(n, 3);
    const uint32_t half = n / 2;
    // The survivors, changed in an order of their own.
    std::vector<uint32_t> survivors(victims.begin() + half, victims.end());
    {
        const std::vector<uint32_t> mix = permutation(static_cast<uint32_t>(survivors.size()), 4);
        std::vector<uint32_t> shuffled(survivors.size());
        for (size_t i = 0; i < mix.size(); ++i) shuffled[i] = survivors[mix[i] - 1];
        survivors.swap(shuffled);
    }

    Block b;
    KXCB* cb = &b.cb;
    const std::string path = file_in(p, "delete");
    if (create_int_file(cb, path) != 0) return 1;
    cb->merge_on_delete = p.merge ? 1 : 0;
    if (load(cb, order, "load") != 0) return 1;
    out.value("nodes", cb->next_node);

    Timer t;
    if (phase_delete(cb, victims, half) != 0) return 1;
    out.phase("delete", half, t.lap());

    t.restart();
    if (phase_change(cb, survivors) != 0) return 1;
    out.phase("change", static_cast<long>(survivors.size()), t.lap());

    uint64_t sum = 0;
    const long seen = walk_next(cb, 2, &sum);
    if (seen != static_cast<long>(survivors.size())) return fail("kindex: %ld entries left", seen);
    if (mclose(cb) != 0) return fail("kindex: mclose");
    out.value("file_kb", static_cast<double>(file_kb(path)));
    ciunlink(path.c_str());
    out.value("vmhwm_kb", static_cast<double>(status_kb("VmHWM")));
    return 0;
}

// ---- Durable single inserts ---------------------------------------------------

namespace {

KXB_PHASE int phase_durable_insert(KXCB* cb, const std::vector<uint32_t>& keys) {
    uint8_t payload[PayloadSize];
    for (const uint32_t k : keys) {
        make_payload(payload, k, 1);
        const int32_t key = static_cast<int32_t>(k);
        const int32_t rc = cdupadd(cb, kRoot, &key, 0, payload, PayloadSize);
        if (rc != 0) return fail("kindex: cdupadd %d: %d", key, rc);
    }
    return 0;
}

}  // namespace

int kindex_durable(const Params& p, Sink& out) {
    const uint32_t n = static_cast<uint32_t>(p.count);
    if (cibufnum(p.pool) != 0) return fail("kindex: cibufnum %u refused", p.pool);
    const std::vector<uint32_t> order = permutation(n, 5);
    Block b;
    KXCB* cb = &b.cb;
    const std::string path = file_in(p, "durable");
    if (create_int_file(cb, path) != 0) return 1;
    const int32_t rc = csetfile(cb, 3);
    if (rc != 0) return fail("kindex: csetfile 3: %d", rc);
    const Timer t;
    if (phase_durable_insert(cb, order) != 0) return 1;
    out.phase("durable_insert", n, t.lap());
    uint64_t sum = 0;
    if (walk_next(cb, 1, &sum) != static_cast<long>(n)) return fail("kindex: durable walk");
    if (mclose(cb) != 0) return fail("kindex: mclose");
    ciunlink(path.c_str());
    out.value("vmhwm_kb", static_cast<double>(status_kb("VmHWM")));
    return 0;
}

// ---- Records --------------------------------------------------------------------

namespace {

struct RecordVars {
    int32_t id = 0;
    char name[NameSize] = {};
    int32_t group = 0;
    KXDLIST list[4];
    RecordVars() {
        list[0] = {'L', 5, 'U', 4, 1, &id};
        list[1] = {'S', 'S', 'D', NameSize, 2, name};
        list[2] = {'L', 5, 'D', 4, 3, &group};
        list[3] = {};
        list[3].type = 'E';
    }
    void set(uint32_t i) {
        id = static_cast<int32_t>(i);
        std::memset(name, 0, sizeof name);
        record_name(i, name);
        group = record_group(i);
    }
    bool holds(uint32_t i) const {
        char want[NameSize] = {};
        record_name(i, want);
        return id == static_cast<int32_t>(i) && std::strcmp(name, want) == 0 && group == record_group(i);
    }
};

KXB_PHASE int phase_add(KXCB* cb, RecordVars& v, const std::vector<uint32_t>& ids) {
    int32_t rc = strtwrit(cb);
    for (const uint32_t id : ids) {
        if (rc != 0) break;
        v.set(id);
        rc = dadd(cb, v.list);
        if (rc != 0) return fail("kindex: dadd %u: %d", id, rc);
    }
    if (rc == 0) rc = endwrit(cb);
    return rc == 0 ? 0 : fail("kindex: add section: %d", rc);
}

KXB_PHASE int phase_find_read(KXCB* cb, RecordVars& v, const std::vector<uint32_t>& ids) {
    for (const uint32_t id : ids) {
        const int32_t key = static_cast<int32_t>(id);
        int32_t rc = cidfind(cb, 1, &key, 5, 1);
        if (rc == 0) rc = cidread(cb, v.list);
        if (rc != 0 || !v.holds(id)) return fail("kindex: cidfind/cidread id %u: %d", id, rc);
    }
    return 0;
}

// By name: the first record of that name (the lowest record number).
KXB_PHASE int phase_find_name(KXCB* cb, RecordVars& v, const std::vector<uint32_t>& ids) {
    char name[NameSize];
    for (const uint32_t id : ids) {
        std::memset(name, 0, sizeof name);
        record_name(id, name);
        int32_t rc = cidfind(cb, 2, name, 'S', 1);
        if (rc == 0) rc = cidread(cb, v.list);
        if (rc != 0 || std::strcmp(v.name, name) != 0) return fail("kindex: cidfind/cidread name %s: %d", name, rc);
    }
    return 0;
}

}  // namespace

int kindex_records(const Params& p, Sink& out) {
    const uint32_t n = static_cast<uint32_t>(p.count);
    if (cibufnum(p.pool) != 0) return fail("kindex: cibufnum %u refused", p.pool);
    const std::vector<uint32_t> order = permutation(n, 6);
    const std::vector<uint32_t> probes = permutation(n, 7);
    std::vector<uint8_t> recbuf(kRecordBuffer);
    Block b;
    KXCB* cb = &b.cb;
    const std::string path = file_in(p, "records");
    ciunlink(path.c_str());
    int32_t rc = dbcreate(cb, path.c_str(), recbuf.data(), kRecordBuffer, 'E', 1, kRecordRoots);
    if (rc != 0) return fail("kindex: dbcreate: %d", rc);
    rc = csetfile(cb, 0);
    if (rc != 0) return fail("kindex: csetfile: %d", rc);
    RecordVars v;

    Timer t;
    if (phase_add(cb, v, order) != 0) return 1;
    out.phase("add", n, t.lap());
    out.value("nodes", cb->next_node);

    t.restart();
    if (phase_find_read(cb, v, probes) != 0) return 1;
    out.phase("find_read", n, t.lap());

    t.restart();
    if (phase_find_name(cb, v, probes) != 0) return 1;
    out.phase("find_name", n, t.lap());

    if (dgetcnt(cb) != 0 || cb->recval != n) return fail("kindex: record count");
    if (cidclose(cb) != 0) return fail("kindex: cidclose");
    out.value("file_kb", static_cast<double>(file_kb(path)));
    ciunlink(path.c_str());
    out.value("vmhwm_kb", static_cast<double>(status_kb("VmHWM")));
    return 0;
}

// ---- Multi-process records ----------------------------------------------------

namespace {

int kindex_mp_setup(const std::string& path) {
    std::vector<uint8_t> recbuf(kRecordBuffer);
    Block b;
    ciunlink(path.c_str());
    const int32_t rc = dbcreate(&b.cb, path.c_str(), recbuf.data(), kRecordBuffer, 'E', 1, kRecordRoots);
    if (rc != 0) return fail("kindex: dbcreate %s: %d", path.c_str(), rc);
    return cidclose(&b.cb) == 0 ? 0 : fail("kindex: cidclose");
}

KXB_PHASE int phase_worker(KXCB* cb, RecordVars& v, uint32_t base, long count) {
    for (long i = 0; i < count; ++i) {
        v.set(base + static_cast<uint32_t>(i) + 1);
        const int32_t rc = dadd(cb, v.list);
        if (rc != 0) return fail("kindex: dadd: %d", rc);
    }
    return 0;
}

int kindex_mp_worker(const Params& p, Sink& out) {
    if (cibufnum(p.pool) != 0) return fail("kindex: cibufnum %u refused", p.pool);
    std::vector<uint8_t> recbuf(kRecordBuffer);
    Block b;
    KXCB* cb = &b.cb;
    int32_t rc = dbopen(cb, p.file.c_str(), recbuf.data(), kRecordBuffer, 'S', 2, kRecordRoots);
    if (rc != 0) return fail("kindex: dbopen shared %s: %d", p.file.c_str(), rc);
    RecordVars v;
    worker_ready();
    const uint32_t base = static_cast<uint32_t>(p.index) * static_cast<uint32_t>(p.count);
    const Timer t;
    if (phase_worker(cb, v, base, p.count) != 0) return fail("kindex: worker %d failed", p.index);
    out.phase("worker", p.count, t.lap());
    out.value("vmhwm_kb", static_cast<double>(status_kb("VmHWM")));
    if (cidclose(cb) != 0) return fail("kindex: cidclose");
    return 0;
}

long kindex_mp_count(const std::string& path) {
    std::vector<uint8_t> recbuf(kRecordBuffer);
    Block b;
    if (dbopen(&b.cb, path.c_str(), recbuf.data(), kRecordBuffer, 'E', 1, kRecordRoots) != 0) return -1;
    long n = -1;
    if (dgetcnt(&b.cb) == 0) n = b.cb.recval;
    // The record tree must hold as many records as the count says.
    long walked = 0;
    for (int32_t rc = cfirst(&b.cb, 1, nullptr, 0); rc == 0; rc = cnext(&b.cb, 1, nullptr, 0)) ++walked;
    cidclose(&b.cb);
    return walked == n ? n : -1;
}

void kindex_remove(const std::string& path) { ciunlink(path.c_str()); }

}  // namespace

const Engine kKindex = {"kindex",         "kindex",      kindex_core,      kindex_delete,    kindex_durable,
                        kindex_records,   kindex_mp_setup, kindex_mp_worker, kindex_mp_count, kindex_remove,
                        ".kx"};

}  // namespace kxb
