// Trees, key locks, record locks and semaphores of one file shared by real
// processes.  Every user of the file is a kx_worker process (see
// tests/helpers/kx_worker.cpp for its operations) started with posix_spawn
// and driven one operation at a time, so each process has its own buffer
// pool, its own cursors and its own user slot, and a process that is killed
// loses its file locks the way a crashed application does.
//
// The files carry two roots: root 1 with 32-bit integer keys and root 2 with
// string keys; data files keep records of the list (id: unique key of root 1,
// name: duplicate key of root 2, value: no key).  Tests that depend on how
// numbers are stored run on little- and big-endian files.
//
// KINDEX_STRESS=1 makes the random walk test run much longer; KINDEX_SEED
// picks its random sequence.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/testing.h"
#include "support/tree_check.h"
#include "support/worker.h"

using kxtest::Block;
using kxtest::Reply;
using kxtest::Worker;

namespace {

constexpr uint32_t MaxRecord = 2147483647u;

bool stress() {
    const char* s = std::getenv("KINDEX_STRESS");
    return s != nullptr && *s != 0 && *s != '0';
}

// --- What the worker prints -----------------------------------------------

std::string hex(const std::vector<uint8_t>& b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (const uint8_t x : b) {
        s.push_back(digits[x >> 4]);
        s.push_back(digits[x & 15]);
    }
    return s;
}

// A payload as the worker reports it: "-" when empty, hex up to 16 bytes,
// else its length and FNV-1a hash.
std::string shown(const std::vector<uint8_t>& p) {
    if (p.empty()) return "-";
    if (p.size() <= 16) return hex(p);
    uint32_t h = 2166136261u;
    for (const uint8_t x : p) h = (h ^ x) * 16777619u;
    char buf[32];
    std::snprintf(buf, sizeof buf, "n%zuh%08x", p.size(), h);
    return buf;
}

std::string shown(const std::string& text) { return shown(std::vector<uint8_t>(text.begin(), text.end())); }

// The payload the worker's addrange stores with a key.
std::vector<uint8_t> pattern(int32_t key, int32_t n) {
    std::vector<uint8_t> p(static_cast<size_t>(n));
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>('a' + (7u * static_cast<uint32_t>(key) + i) % 26u);
    return p;
}

// A datum as a walk reports it.
std::string datum(const std::string& key, uint32_t rec, const std::string& payload_shown = "-") {
    return key + "/" + std::to_string(rec) + "/" + payload_shown;
}
std::string datum(int32_t key, uint32_t rec, const std::string& payload_shown = "-") {
    return datum(std::to_string(key), rec, payload_shown);
}

// The data addrange stores: keys first, first+step, ..., record value = key.
std::vector<std::string> range(int32_t first, int32_t count, int32_t step, int32_t len) {
    std::vector<std::string> v;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t k = first + i * step;
        v.push_back(datum(k, static_cast<uint32_t>(k), len > 0 ? shown(pattern(k, len)) : "-"));
    }
    return v;
}

std::vector<std::string> joined(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The datum a positioning reply reports (rc 0, 1 or 2).
std::string datum_of(const Reply& r) { return r.text(0) + "/" + r.text(1) + "/" + r.text(2); }

// An entry of the lock tree: its name (hex of the counted key's bytes), its
// record value and its owner, read from the 2-byte payload in the file's
// byte order.
struct LockEntry {
    std::string name;
    uint32_t value;
    int owner;
    bool operator<(const LockEntry& o) const {
        return std::tie(name, value, owner) < std::tie(o.name, o.value, o.owner);
    }
    bool operator==(const LockEntry& o) const = default;
};

void PrintTo(const LockEntry& e, std::ostream* os) { *os << e.name << "/" << e.value << " owner " << e.owner; }

int owner_from(const std::string& payload_hex, int order) {
    if (payload_hex.size() != 4) return -1;
    const int b0 = std::stoi(payload_hex.substr(0, 2), nullptr, 16);
    const int b1 = std::stoi(payload_hex.substr(2, 2), nullptr, 16);
    return order == 2 ? b0 << 8 | b1 : b1 << 8 | b0;
}

std::vector<LockEntry> lock_entries(Worker& w, int order) {
    const Reply r = w.run("walk 50");
    EXPECT_EQ(r.rc, KX_E_FAIL) << "walk of the lock tree did not end at its end";
    std::vector<LockEntry> v;
    for (const auto& s : r.values) {
        const auto a = s.find('/');
        const auto b = s.find('/', a + 1);
        v.push_back({s.substr(0, a), static_cast<uint32_t>(std::stoul(s.substr(a + 1, b - a - 1))),
                     owner_from(s.substr(b + 1), order)});
    }
    return v;
}

std::set<LockEntry> lock_set(Worker& w, int order) {
    const auto v = lock_entries(w, order);
    return std::set<LockEntry>(v.begin(), v.end());
}

std::multiset<int> owners(const std::vector<LockEntry>& v) {
    std::multiset<int> s;
    for (const auto& e : v) s.insert(e.owner);
    return s;
}

// The lock name of a semaphore as the worker prints it.
std::string sema(const std::string& name) { return hex(std::vector<uint8_t>(name.begin(), name.end())); }

// The root list the worker opens files with.
const KXROOTLIST TestRoots[] = {{1, 5, nullptr}, {2, 0, nullptr}, {0, 0, nullptr}};

// The lock name of a record lock: root 49, empty key.
const std::string RecordLockName = "31";

// --- Fixture --------------------------------------------------------------

class SharedFile : public kxtest::FileTest {
protected:
    // Creates the file with the test root list in the given byte order.
    void make(int byte_order) {
        order = byte_order;
        path = mem.path("shared.kx");
        std::vector<uint8_t> buffer(512);
        Block b;
        ASSERT_EQ(dbcreate(b.get(), path.c_str(), buffer.data(), 512, 'S', byte_order, TestRoots), 0);
        ASSERT_EQ(mclose(b.get()), 0);
    }

    // A worker process with the file open.
    std::unique_ptr<Worker> opened(int access = 2) {
        auto w = std::make_unique<Worker>();
        const Reply r = w->run("dbopen " + path + " S " + std::to_string(access));
        EXPECT_EQ(r.rc, 0) << "worker open";
        return w;
    }

    static int slot(Worker& w) { return static_cast<int>(w.run("state").value(5)); }

    // Runs ops that must all succeed (rc 0, or 1/2 for finds).
    static void all_ok(Worker& w, const std::vector<std::string>& ops) {
        for (const auto& op : ops) {
            const Reply r = w.run(op);
            ASSERT_GE(r.rc, 0) << op;
        }
    }

    // Ends a worker: "close", "kill" (SIGKILL) or "exit" (_exit, no clean-up).
    static void end(Worker& w, const std::string& how) {
        if (how == "close") {
            ASSERT_EQ(w.run("close").rc, 0);
            w.send("quit");
            EXPECT_EQ(w.wait(), 0);
            return;
        }
        w.send(how);
        const int status = w.wait();
        if (how == "kill") {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        } else {
            EXPECT_TRUE(WIFEXITED(status));
        }
    }

    kxtest::MemoryDir mem;
    std::string path;
    int order = 1;
};

class ByteOrder : public SharedFile, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        SharedFile::SetUp();
        make(GetParam());
    }
};

// A table of cases, each run on a file of either byte order: the parameter
// is (case, byte order).
template <class Case>
class CasesInBothOrders : public SharedFile, public ::testing::WithParamInterface<std::tuple<Case, int>> {
protected:
    void SetUp() override {
        SharedFile::SetUp();
        make(std::get<1>(this->GetParam()));
    }
};

std::string order_name(const ::testing::TestParamInfo<int>& info) {
    return info.param == 2 ? "BigEndian" : "LittleEndian";
}

}  // namespace

// --- Entries written by one process, read by another -------------------------

using SharedEntries = ByteOrder;

TEST_P(SharedEntries, AddedByOneProcessFoundByAnother) {
    auto writer = opened();
    auto reader = opened();
    // The reader has looked at the empty roots, so whatever it caches is old.
    EXPECT_EQ(reader->run("walk 1").values.size(), 0u);
    EXPECT_EQ(reader->run("cfind 1 5 0").rc, KX_E_FAIL);

    const std::string big(700, 'q');  // three pieces
    all_ok(*writer, {"cdupadd 1 5 0 five", "cdupadd 1 -7 3 minus", "cdupadd 1 5 9", "cdupadd 1 1000000000 1 top",
                     "cdupadd 1 -1000000000 0 bottom", "cdupadd 1 40 2 " + big, "cdupadd 2 pear 1 p",
                     "cdupadd 2 apple 4 a", "cdupadd 2 apples 0", "cdupadd 2 - 8 empty"});

    struct Find {
        const char* op;
        int32_t rc;
        std::string found;
    } finds[] = {
        {"cfind 1 5 0", 0, datum(5, 0, shown("five"))},
        {"cfind 1 5 9", 0, datum(5, 9)},
        {"cfind 1 5 4", 1, datum(5, 9)},
        {"cfind 1 -7 3", 0, datum(-7, 3, shown("minus"))},
        {"cfind 1 6 0", 2, datum(40, 2, shown(big))},
        {"cfind 1 40 2", 0, datum(40, 2, shown(big))},
        {"cfind 1 -1000000000 0", 0, datum(-1000000000, 0, shown("bottom"))},
        {"cfind 1 1000000000 1", 0, datum(1000000000, 1, shown("top"))},
        {"cfind 2 apple 4", 0, datum("apple", 4, shown("a"))},
        {"cfind 2 applf 0", 2, datum("pear", 1, shown("p"))},
        {"cfind 2 - 8", 0, datum("-", 8, shown("empty"))},
    };
    for (const auto& f : finds) {
        const Reply r = reader->run(f.op);
        EXPECT_EQ(r.rc, f.rc) << f.op;
        EXPECT_EQ(datum_of(r), f.found) << f.op;
    }
    EXPECT_EQ(reader->run("cfind 1 1000000000 2").rc, KX_E_FAIL) << "nothing after the last entry";

    const std::vector<std::string> root1 = {
        datum(-1000000000, 0, shown("bottom")), datum(-7, 3, shown("minus")), datum(5, 0, shown("five")),
        datum(5, 9), datum(40, 2, shown(big)), datum(1000000000, 1, shown("top"))};
    const std::vector<std::string> root2 = {datum("-", 8, shown("empty")), datum("apple", 4, shown("a")),
                                            datum("apples", 0), datum("pear", 1, shown("p"))};
    EXPECT_EQ(reader->run("walk 1").values, root1);
    EXPECT_EQ(reader->run("walk 2").values, root2);
    const Reply back = reader->run("walkback 1");
    EXPECT_EQ(back.rc, KX_E_FAIL);
    EXPECT_EQ(std::vector<std::string>(back.values.rbegin(), back.values.rend()), root1);
    // And the other way round: the reader writes, the writer reads.
    all_ok(*reader, {"cdupadd 1 6 0 six"});
    EXPECT_EQ(datum_of(writer->run("cfind 1 5 9")), datum(5, 9));
    EXPECT_EQ(datum_of(writer->run("cnext 1")), datum(6, 0, shown("six")));
}

TEST_P(SharedEntries, ReaderDropsCachedNodesWhenAnotherProcessChangesTheTree) {
    auto writer = opened();
    auto reader = opened();
    all_ok(*writer, {"addrange 1 0 40 100 20"});
    std::vector<std::string> model = range(0, 40, 100, 20);
    // Everything the reader touches is now in its buffer pool, and its search
    // path and working leaf name the one leaf the tree has.
    ASSERT_EQ(reader->run("walk 1").values, model);
    ASSERT_EQ(reader->run("cfind 1 3900 3900").rc, 0);

    // Splits everywhere, the tree grows by two levels, the old leaf's node is
    // now somewhere in the middle.
    const Reply added = writer->run("addrange 1 1 1500 2 150", 30000);
    ASSERT_EQ(added.rc, 0);
    auto expected = [&](std::vector<std::string> parts) {
        std::map<int32_t, std::string> by_key;
        for (auto& s : parts) by_key[std::stoi(s.substr(0, s.find('/')))] = s;
        std::vector<std::string> v;
        for (auto& [k, s] : by_key) v.push_back(s);
        return v;
    };
    model = expected(joined({model, range(1, 1500, 2, 150)}));
    EXPECT_EQ(reader->run("walk 1", 30000).values, model);
    EXPECT_EQ(datum_of(reader->run("cfind 1 2999 0")), datum(2999, 2999, shown(pattern(2999, 150))));
    EXPECT_EQ(reader->run("cfind 1 3900 3900").rc, 0);
    EXPECT_EQ(datum_of(reader->run("clast 1")), model.back());
    const Reply back = reader->run("walkback 1", 30000);
    EXPECT_EQ(std::vector<std::string>(back.values.rbegin(), back.values.rend()), model);

    // Nodes freed by deletions and handed out again for new entries of
    // another size: a reader that trusted a cached node would meet another
    // node's content under the old number.
    ASSERT_EQ(writer->run("set merge 1").rc, 0);
    ASSERT_EQ(writer->run("delrange 1 1 1200 2", 30000).rc, 0);
    ASSERT_EQ(writer->run("addrange 1 5000 800 3 60", 30000).rc, 0);
    model = expected(joined({range(0, 40, 100, 20), range(2401, 300, 2, 150), range(5000, 800, 3, 60)}));
    EXPECT_EQ(reader->run("walk 1", 30000).values, model);
    EXPECT_EQ(reader->run("cfind 1 1001 1001").rc, 2) << "a deleted entry";
    EXPECT_EQ(datum_of(reader->run("cfind 1 7397 7397")), datum(7397, 7397, shown(pattern(7397, 60))));

    for (auto* w : {writer.get(), reader.get()}) ASSERT_EQ(w->run("close").rc, 0);
    Block b;
    ASSERT_EQ(bopen(b.get(), path.c_str(), 'S', 1, TestRoots), 0);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
    EXPECT_EQ(mclose(b.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(Orders, SharedEntries, ::testing::Values(1, 2), order_name);

// --- Cursors made stale by another process --------------------------------

struct StaleMove {
    const char* name;
    std::vector<std::string> initial;   // by the cursor's owner
    std::vector<std::string> position;  // by the cursor's owner
    std::vector<std::string> change;    // by the other process
    const char* move;                   // repeated until it fails
    std::vector<std::string> visited;   // what the repeated move delivers
    std::vector<std::string> after = {};  // by the cursor's owner after the change, before the moves
};

void PrintTo(const StaleMove& m, std::ostream* os) { *os << m.name; }

class StaleCursor : public CasesInBothOrders<StaleMove> {};

TEST_P(StaleCursor, ContinuesFromItsEntry) {
    const StaleMove& m = std::get<0>(GetParam());
    auto a = opened();
    auto b = opened();
    all_ok(*a, m.initial);
    for (const auto& op : m.position) a->run(op);
    all_ok(*b, m.change);
    for (const auto& op : m.after) a->run(op);
    std::vector<std::string> got;
    for (int i = 0; i < 5000; ++i) {
        const Reply r = a->run(m.move);
        if (r.rc != 0) {
            EXPECT_EQ(r.rc, KX_E_FAIL) << m.move << " after " << got.size() << " steps";
            break;
        }
        got.push_back(datum_of(r));
    }
    EXPECT_EQ(got, m.visited);
}

const std::vector<std::string> TenTwentyThirty = {"cdupadd 1 10 0", "cdupadd 1 20 0", "cdupadd 1 30 0"};

INSTANTIATE_TEST_SUITE_P(
    Moves, StaleCursor,
    ::testing::Combine(
        ::testing::Values(
            StaleMove{"NextMeetsKeyAddedJustAfter", TenTwentyThirty, {"cfind 1 20 0"}, {"cdupadd 1 21 0"}, "cnext 1",
                      {datum(21, 0), datum(30, 0)}},
            StaleMove{"NextSkipsKeyAddedJustBefore", TenTwentyThirty, {"cfind 1 20 0"}, {"cdupadd 1 19 0"}, "cnext 1",
                      {datum(30, 0)}},
            StaleMove{"PrevMeetsKeyAddedJustBefore", TenTwentyThirty, {"cfind 1 20 0"}, {"cdupadd 1 19 0"}, "cprev 1",
                      {datum(19, 0), datum(10, 0)}},
            StaleMove{"PrevSkipsKeyAddedJustAfter", TenTwentyThirty, {"cfind 1 20 0"}, {"cdupadd 1 21 0"}, "cprev 1",
                      {datum(10, 0)}},
            StaleMove{"NextWithKeysAddedOnBothSides", TenTwentyThirty, {"cfind 1 20 0"},
                      {"cdupadd 1 19 0", "cdupadd 1 21 0"}, "cnext 1", {datum(21, 0), datum(30, 0)}},
            StaleMove{"PrevWithKeysAddedOnBothSides", TenTwentyThirty, {"cfind 1 20 0"},
                      {"cdupadd 1 19 0", "cdupadd 1 21 0"}, "cprev 1", {datum(19, 0), datum(10, 0)}},
            StaleMove{"NextMeetsHigherRecordValueOfItsKey",
                      {"cdupadd 1 10 0", "cdupadd 1 20 5", "cdupadd 1 30 0"},
                      {"cfind 1 20 5"},
                      {"cdupadd 1 20 4", "cdupadd 1 20 6"},
                      "cnext 1",
                      {datum(20, 6), datum(30, 0)}},
            StaleMove{"PrevMeetsLowerRecordValueOfItsKey",
                      {"cdupadd 1 10 0", "cdupadd 1 20 5", "cdupadd 1 30 0"},
                      {"cfind 1 20 5"},
                      {"cdupadd 1 20 4", "cdupadd 1 20 6"},
                      "cprev 1",
                      {datum(20, 4), datum(10, 0)}},
            // The record value after 2147483647 cannot be formed: the next
            // key with record value 0 is sought instead.
            StaleMove{"NextFromTheHighestRecordValue",
                      {"cdupadd 1 10 0", "cdupadd 1 20 2147483647", "cdupadd 1 30 0"},
                      {"cfind 1 20 2147483647"},
                      {"cdupadd 1 21 0"},
                      "cnext 1",
                      {datum(21, 0), datum(30, 0)}},
            StaleMove{"NextFromTheHighestRecordValuePassesLowerOnesOfItsKey",
                      {"cdupadd 1 10 0", "cdupadd 1 20 2147483647", "cdupadd 1 30 0"},
                      {"cfind 1 20 2147483647"},
                      {"cdupadd 1 20 7", "cdupadd 1 21 0", "cdupadd 1 21 2147483647"},
                      "cnext 1",
                      {datum(21, 0), datum(21, MaxRecord), datum(30, 0)}},
            // Record values are ordered by their 32-bit wrapping difference,
            // so 2147483650 sorts after 2147483647; a stale cursor still goes
            // on with the next key.
            StaleMove{"NextFromTheHighestRecordValueGoesOnWithTheNextKey",
                      {"cdupadd 1 10 0", "cdupadd 1 20 2147483647", "cdupadd 1 30 0"},
                      {"cfind 1 20 2147483647"},
                      {"cdupadd 1 20 2147483650", "cdupadd 1 21 0"},
                      "cnext 1",
                      {datum(21, 0), datum(30, 0)}},
            StaleMove{"NextFromTheHighestRecordValueOfAString",
                      {"cdupadd 2 banana 2147483647", "cdupadd 2 cherry 0"},
                      {"cfind 2 banana 2147483647"},
                      {"cdupadd 2 banana 3", "cdupadd 2 bananaa 0", "cdupadd 2 banan 9"},
                      "cnext 2",
                      {datum("bananaa", 0), datum("cherry", 0)}},
            StaleMove{"PrevFromTheHighestRecordValue",
                      {"cdupadd 1 10 0", "cdupadd 1 20 2147483647", "cdupadd 1 30 0"},
                      {"cfind 1 20 2147483647"},
                      {"cdupadd 1 20 7"},
                      "cprev 1",
                      {datum(20, 7), datum(10, 0)}},
            StaleMove{"NextAfterItsEntryWasDeleted", TenTwentyThirty, {"cfind 1 20 0"}, {"cdelete 1 20 0"}, "cnext 1",
                      {datum(30, 0)}},
            StaleMove{"PrevAfterItsEntryWasDeleted", TenTwentyThirty, {"cfind 1 20 0"}, {"cdelete 1 20 0"}, "cprev 1",
                      {datum(10, 0)}},
            StaleMove{"NextAfterTheFollowingEntryWasDeleted", TenTwentyThirty, {"cfind 1 10 0"}, {"cdelete 1 20 0"},
                      "cnext 1", {datum(30, 0)}},
            StaleMove{"NextOverADatumOfManyPieces",
                      {"addrange 1 10 3 10 600"},
                      {"cfind 1 20 20"},
                      {"addrange 1 21 1 1 600"},
                      "cnext 1",
                      joined({range(21, 1, 1, 600), range(30, 1, 1, 600)})},
            StaleMove{"PrevOntoADatumOfManyPieces",
                      {"addrange 1 10 3 10 600"},
                      {"cfind 1 20 20"},
                      {"addrange 1 19 1 1 600"},
                      "cprev 1",
                      joined({range(19, 1, 1, 600), range(10, 1, 1, 600)})},
            // The cursor's leaf is split many times over.
            StaleMove{"NextAcrossSplitsOfItsLeaf",
                      {"addrange 1 10000 3 10000 0"},
                      {"cfind 1 20000 20000"},
                      {"addrange 1 20001 400 1 100"},
                      "cnext 1",
                      joined({range(20001, 400, 1, 100), range(30000, 1, 1, 0)})},
            StaleMove{"PrevAcrossSplitsOfItsLeaf",
                      {"addrange 1 10000 3 10000 0"},
                      {"cfind 1 20000 20000"},
                      {"addrange 1 19601 399 1 100"},
                      "cprev 1",
                      joined({range(19999, 399, -1, 100), range(10000, 1, 1, 0)})},
            // Moving on from an end of the root: past the end cnext stays
            // there and cprev steps back to the root's last datum as it is
            // now (also when the leaf the cursor remembered was freed);
            // before the start cnext begins with the root's first datum,
            // negative keys included.
            StaleMove{"NextAfterTheStartOfTheRoot",
                      {"cdupadd 1 -5 0", "cdupadd 1 3 0", "cdupadd 1 7 0"},
                      {"cfirst 1", "cprev 1"},
                      {"cdupadd 1 10 0"},
                      "cnext 1",
                      {datum(-5, 0), datum(3, 0), datum(7, 0), datum(10, 0)}},
            StaleMove{"PrevAfterTheEndOfTheRoot",
                      {"cdupadd 1 -5 0", "cdupadd 1 3 0", "cdupadd 1 7 0"},
                      {"clast 1", "cnext 1"},
                      {"cdupadd 1 10 0"},
                      "cprev 1",
                      {datum(10, 0), datum(7, 0), datum(3, 0), datum(-5, 0)}},
            // A move that finds the cursor outside the root after a change
            // leaves it there; the next move the other way starts from the
            // root as it is.
            StaleMove{"NextAfterAPrevBeforeTheStartThatMetTheChange",
                      {"addrange 1 10000 3 10000 0"},
                      {"cfirst 1", "cprev 1"},
                      {"addrange 1 1 300 1 100"},
                      "cnext 1",
                      joined({range(1, 300, 1, 100), range(10000, 3, 10000, 0)}),
                      {"cprev 1"}},
            StaleMove{"NextAfterTheEndOfTheRoot",
                      {"cdupadd 1 -5 0", "cdupadd 1 3 0", "cdupadd 1 7 0"},
                      {"clast 1", "cnext 1"},
                      {"cdupadd 1 1 0"},
                      "cnext 1",
                      {}},
            StaleMove{"PrevAfterTheEndOfTheRootWhoseLastLeafWasFreed",
                      {"addrange 1 1 300 1 100"},
                      {"clast 1", "cnext 1"},
                      {"set merge 1", "delrange 1 201 100 1", "addrange 1 100000 200 1 100"},
                      "cprev 1",
                      joined({range(100199, 200, -1, 100), range(200, 200, -1, 100)})}),
        ::testing::Values(1, 2)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) == 2 ? "BigEndian" : "");
    });

// A move that meets a stale cursor outside the root answers -1 and leaves
// the cursor stale, so the next move the other way finds its way from the
// root as it is now, not from the leaf position from before the change.
INSTANTIATE_TEST_SUITE_P(
    TurningBack, StaleCursor,
    ::testing::Combine(::testing::Values(
            StaleMove{"PrevAfterANextPastTheEndThatMetTheChange",
                      TenTwentyThirty,
                      {"cfind 1 30 0", "cnext 1"},
                      {"cdupadd 1 25 0"},
                      "cprev 1",
                      {datum(30, 0), datum(25, 0), datum(20, 0), datum(10, 0)},
                      {"cnext 1"}},
            StaleMove{"NextAfterAPrevBeforeTheStartThatMetTheFreeingOfTheFirstLeaf",
                      {"addrange 1 1 300 1 100"},
                      {"cfirst 1", "cprev 1"},
                      {"set merge 1", "delrange 1 1 100 1", "addrange 1 100000 200 1 100"},
                      "cnext 1",
                      joined({range(101, 200, 1, 100), range(100000, 200, 1, 100)}),
                      {"cprev 1"}}),
                       ::testing::Values(1, 2)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) == 2 ? "BigEndian" : "");
    });

// Random changes by one process between the steps of another's walk: every
// step must deliver the neighbour, in the tree as it is now, of the entry the
// walk stood on, whether that entry is still there or not.
TEST_F(SharedFile, WalkFollowsAnotherProcessesChanges) {
    make(1);
    auto walker = opened();
    auto changer = opened();
    const char* env = std::getenv("KINDEX_SEED");
    const uint32_t seed = env ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : 20261210u;
    SCOPED_TRACE("seed " + std::to_string(seed) + " (set KINDEX_SEED to repeat)");
    std::mt19937 rng(seed);
    using Key = std::pair<int32_t, uint32_t>;
    std::set<Key> model;
    auto add = [&](int32_t k, uint32_t rec) {
        const Reply r = changer->run("cdupadd 1 " + std::to_string(k) + " " + std::to_string(rec));
        ASSERT_EQ(r.rc, model.insert({k, rec}).second ? 0 : KX_E_FAIL);
    };
    for (int i = 0; i < 300; ++i) add(static_cast<int32_t>(rng() % 3000), rng() % 4);
    auto text = [](const Key& k) { return datum(k.first, k.second); };

    // Where the walk stands: nowhere yet, on an entry (which may since have
    // been deleted), past the end or before the start of the root.
    enum class Where { Nowhere, On, PastEnd, BeforeStart } where = Where::Nowhere;
    Key at{};
    const int steps = stress() ? 20000 : 2000;
    for (int step = 0; step < steps; ++step) {
        // Changes, often right next to the walker or on its own entry.
        const int changes = static_cast<int>(rng() % 4);
        for (int c = 0; c < changes; ++c) {
            const uint32_t what = rng() % 10;
            const bool on = where == Where::On;
            if (what < 4 || model.size() < 20) {
                int32_t k = static_cast<int32_t>(rng() % 3000);
                if (on && what < 2) k = at.first + static_cast<int32_t>(rng() % 3) - 1;
                const uint32_t rec = rng() % 8 == 0 ? MaxRecord : rng() % 4;
                add(k, rec);
            } else {
                Key victim = *std::next(model.begin(), static_cast<long>(rng() % model.size()));
                if (on && what < 7 && model.count(at)) victim = at;
                const Reply r = changer->run("cdelete 1 " + std::to_string(victim.first) + " " +
                                             std::to_string(victim.second));
                ASSERT_EQ(r.rc, 0);
                model.erase(victim);
            }
            if (HasFatalFailure()) return;
        }
        // A step of the walk; now and then it starts again from an end.
        if (where == Where::Nowhere || rng() % 50 == 0) {
            const bool first = rng() % 2 == 0;
            const Reply r = walker->run(first ? "cfirst 1" : "clast 1");
            ASSERT_EQ(r.rc, 0) << "step " << step;
            at = first ? *model.begin() : *model.rbegin();
            ASSERT_EQ(datum_of(r), text(at)) << "step " << step;
            where = Where::On;
            continue;
        }
        const bool forward = rng() % 3 != 0;
        const Reply r = walker->run(forward ? "cnext 1" : "cprev 1");
        std::optional<Key> want;
        std::string from;
        if (where == Where::On) {
            from = text(at) + (model.count(at) ? "" : " (deleted)");
            if (forward) {
                auto it = model.upper_bound(at);
                if (it != model.end()) want = *it;
            } else {
                auto it = model.lower_bound(at);
                if (it != model.begin()) want = *std::prev(it);
            }
        } else if (where == Where::PastEnd) {
            from = "past the end";
            if (!forward && !model.empty()) want = *model.rbegin();
        } else {
            from = "before the start";
            if (forward && !model.empty()) want = *model.begin();
        }
        const std::string what = "step " + std::to_string(step) + ": " + (forward ? "cnext" : "cprev") + " from " + from;
        if (!want) {
            ASSERT_EQ(r.rc, KX_E_FAIL) << what << " gave " << datum_of(r);
            where = forward ? Where::PastEnd : Where::BeforeStart;
            continue;
        }
        ASSERT_EQ(r.rc, 0) << what;
        ASSERT_EQ(datum_of(r), text(*want)) << what;
        at = *want;
        where = Where::On;
    }
}

// --- Key locks ----------------------------------------------------------------

// One process holds the key lock on (20, 0) of root 1; what another may do.
struct Contender {
    const char* name;
    std::vector<std::string> ops;  // the last one's result is checked
    int32_t rc;
};

void PrintTo(const Contender& c, std::ostream* os) { *os << c.name; }

class KeyLockHeld : public CasesInBothOrders<Contender> {};

TEST_P(KeyLockHeld, KeepsOthersOffTheEntry) {
    const Contender& c = std::get<0>(GetParam());
    auto other = opened();  // user slot 0
    auto holder = opened();  // user slot 1: an owner number with a non-zero byte
    const int holder_slot = slot(*holder);
    ASSERT_NE(holder_slot, 0);
    all_ok(*holder, {"cdupadd 1 5000 0", "cdupadd 1 20 0 held", "cdupadd 1 20 1", "cdupadd 1 300 0"});
    ASSERT_EQ(holder->run("cfind 1 20 0").rc, 0);
    ASSERT_EQ(holder->run("msetlock 1").text(0), "L");

    Reply last;
    for (const auto& op : c.ops) last = other->run(op);
    EXPECT_EQ(last.rc, c.rc) << c.ops.back();
    // The holder's lock is one entry of the lock tree, owned by its slot.
    std::multiset<int> expected_owners = {holder_slot};
    if (c.rc == 0 && std::string(c.ops.back()) == "msetlock 1") expected_owners.insert(slot(*other));
    EXPECT_EQ(owners(lock_entries(*other, order)), expected_owners);

    EXPECT_EQ(holder->run("mtstlock 1").rc, KX_E_HELDBYME) << "the holder lost its lock";
    const Reply entry = other->run("cfind 1 20 0");
    EXPECT_EQ(entry.rc, 0);
    EXPECT_EQ(datum_of(entry), datum(20, 0, shown("held")));
}

INSTANTIATE_TEST_SUITE_P(
    Others, KeyLockHeld,
    ::testing::Combine(
        ::testing::Values(
            // Entries of root 1: (20, 0) held, (20, 1), (300, 0), (5000, 0).
            // Lock names leave out the last byte of a key as stored, so the
            // free keys differ from 20 in another byte in both byte orders.
            Contender{"TestSeesItHeld", {"cfind 1 20 0", "mtstlock 1"}, KX_E_LOCKED},
            Contender{"SetIsRefused", {"cfind 1 20 0", "msetlock 1"}, KX_E_LOCKED},
            Contender{"SetAfterAWalkOntoItIsRefused", {"cfind 1 300 0", "cprev 1", "cprev 1", "msetlock 1"},
                      KX_E_LOCKED},
            Contender{"DeleteByKeyIsRefused", {"cdelete 1 20 0"}, KX_E_LOCKED},
            Contender{"ChangeIsRefused", {"cchange 1 20 0 stolen"}, KX_E_LOCKED},
            Contender{"DeleteUnderItsCursorNeedsItsOwnLock", {"cfind 1 20 0", "cdelcur 1"}, KX_E_NOLOCK},
            Contender{"ChangeUnderItsCursorNeedsItsOwnLock", {"cfind 1 20 0", "cchgcur 1 stolen"}, KX_E_NOLOCK},
            Contender{"AnotherRecordValueOfTheKeyIsFree", {"cfind 1 20 1", "msetlock 1"}, 0},
            Contender{"AnotherKeyIsFree", {"cfind 1 300 0", "msetlock 1"}, 0},
            Contender{"TestOfAFreeKey", {"cfind 1 5000 0", "mtstlock 1"}, KX_E_NOTHELD},
            Contender{"DeleteOfAnotherEntry", {"cdelete 1 20 1"}, 0}),
        ::testing::Values(1, 2)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) == 2 ? "BigEndian" : "");
    });

// Ways the holder gives the lock up, and what another process can do then.
struct Release {
    const char* name;
    std::vector<std::string> steps;  // by the holder ("kill" and "exit" end it)
    bool entry_kept;
};

void PrintTo(const Release& r, std::ostream* os) { *os << r.name; }

class KeyLockRelease : public SharedFile, public ::testing::WithParamInterface<Release> {
protected:
    void SetUp() override {
        SharedFile::SetUp();
        make(1);
    }
};

TEST_P(KeyLockRelease, LetsAnotherProcessTakeIt) {
    const Release& rel = GetParam();
    auto other = opened();
    auto holder = opened();
    all_ok(*holder, {"cdupadd 1 10 0", "cdupadd 1 20 0", "cdupadd 1 30 0"});
    ASSERT_EQ(holder->run("cfind 1 20 0").rc, 0);
    ASSERT_EQ(holder->run("msetlock 1").rc, 0);
    ASSERT_EQ(other->run("cfind 1 20 0").rc, 0);
    ASSERT_EQ(other->run("msetlock 1").rc, KX_E_LOCKED);

    for (const auto& step : rel.steps) {
        if (step == "kill" || step == "exit") {
            end(*holder, step);
        } else {
            ASSERT_GE(holder->run(step).rc, 0) << step;
        }
    }
    if (!rel.entry_kept) {
        EXPECT_EQ(datum_of(other->run("cfind 1 20 0")), datum(30, 0)) << "the entry is gone";
        EXPECT_EQ(lock_entries(*other, order).size(), 0u) << "its lock went with it";
        return;
    }
    ASSERT_EQ(other->run("cfind 1 20 0").rc, 0);
    EXPECT_EQ(other->run("msetlock 1").rc, 0);
    EXPECT_EQ(other->run("mtstlock 1").rc, KX_E_HELDBYME);
    const auto entries = lock_entries(*other, order);
    ASSERT_EQ(entries.size(), 1u) << "a lock entry was left behind";
    EXPECT_EQ(entries[0].owner, slot(*other));
    EXPECT_EQ(other->run("cdelcur 1").rc, 0) << "the new holder may delete the entry";
    EXPECT_EQ(lock_entries(*other, order).size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Ways, KeyLockRelease,
                         ::testing::Values(Release{"NextMovesOn", {"cnext 1"}, true},
                                           Release{"PrevMovesOn", {"cprev 1"}, true},
                                           Release{"FindElsewhere", {"cfind 1 10 0"}, true},
                                           Release{"FirstOfTheRoot", {"cfirst 1"}, true},
                                           Release{"LastOfTheRoot", {"clast 1"}, true},
                                           Release{"Clear", {"mclrlock 1"}, true},
                                           Release{"Close", {"close"}, true},
                                           Release{"Killed", {"kill"}, true},
                                           Release{"ExitedWithoutClosing", {"exit"}, true},
                                           Release{"DeletesTheEntry", {"cdelcur 1"}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Record locks -------------------------------------------------------------

// Records 1 (id 1, ann, 10), 2 (id 2, bob, 20) and 3 (id 3, cy, 30); one
// process holds the lock of record 1.
struct RecordContender {
    const char* name;
    std::vector<std::string> ops;  // the last one's result is checked
    int32_t rc;
    const char* record1;  // record 1 afterwards, as cidread reports it
};

void PrintTo(const RecordContender& c, std::ostream* os) { *os << c.name; }

class RecordLockHeld : public CasesInBothOrders<RecordContender> {};

std::string record_text(const Reply& r) { return r.text(0) + " " + r.text(1) + " " + r.text(2); }

TEST_P(RecordLockHeld, KeepsOthersOffTheRecord) {
    const RecordContender& c = std::get<0>(GetParam());
    auto other = opened();
    auto holder = opened();
    const int holder_slot = slot(*holder);
    all_ok(*holder, {"dadd 1 ann 10", "dadd 2 bob 20", "dadd 3 cy 30", "cidfind 1 1 1"});
    const Reply locked = holder->run("msetrec");
    ASSERT_EQ(locked.rc, 0);
    ASSERT_EQ(locked.value(0), 1) << "locked record";

    Reply last;
    for (const auto& op : c.ops) last = other->run(op);
    EXPECT_EQ(last.rc, c.rc) << c.ops.back();

    EXPECT_EQ(holder->run("mtstrec").rc, KX_E_HELDBYME) << "the holder lost its lock";
    const std::string record1 = record_text(holder->run("cidread"));
    EXPECT_EQ(record1, c.record1);
    // The name key of record 1 follows its record, and nothing else of it is
    // left in the key tree.
    const std::string name = record1.substr(2, record1.rfind(' ') - 2);
    EXPECT_EQ(other->run("cidfind 2 " + name + " 1").value(0), 1) << name;
    EXPECT_EQ(other->run("cidfind 2 stolen 1").rc, KX_E_FAIL);
    bool holder_entry = false;
    for (const auto& e : lock_entries(*other, order))
        if (e.name == RecordLockName && e.value == 1) {
            EXPECT_FALSE(holder_entry) << "two entries for one record lock";
            holder_entry = true;
            EXPECT_EQ(e.owner, holder_slot);
        }
    EXPECT_TRUE(holder_entry);
}

INSTANTIATE_TEST_SUITE_P(
    Others, RecordLockHeld,
    ::testing::Combine(
        ::testing::Values(
            RecordContender{"UpdateNeedsTheLock", {"cidfind 1 1 1", "dupdate 1 stolen 11"}, KX_E_NOLOCK, "1 ann 10"},
            RecordContender{"DeleteNeedsTheLock", {"cidfind 1 1 1", "ddelete"}, KX_E_NOLOCK, "1 ann 10"},
            RecordContender{"LockIsRefused", {"cidfind 1 1 1", "msetrec"}, KX_E_LOCKED, "1 ann 10"},
            RecordContender{"LockOfTheRecordFoundByNameIsRefused", {"cidfind 2 ann 1", "msetrec"}, KX_E_LOCKED,
                            "1 ann 10"},
            RecordContender{"UpdateAfterARefusedLock", {"cidfind 1 1 1", "msetrec", "dupdate 1 stolen 11"},
                            KX_E_NOLOCK, "1 ann 10"},
            RecordContender{"TestSeesItHeld", {"cidfind 1 1 1", "mtstrec"}, KX_E_LOCKED, "1 ann 10"},
            RecordContender{"AnotherRecordCanBeUpdated", {"cidfind 1 2 1", "msetrec", "dupdate 2 bobby 21"}, 0,
                            "1 ann 10"},
            RecordContender{"AnotherRecordCanBeDeleted", {"cidfind 1 3 1", "msetrec", "ddelete"}, 0, "1 ann 10"},
            RecordContender{"BypassUpdatesAnyway", {"set bypass 1", "cidfind 1 1 1", "dupdate 1 forced 12"}, 0,
                            "1 forced 12"}),
        ::testing::Values(1, 2)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) == 2 ? "BigEndian" : "");
    });

using RecordLocks = ByteOrder;

TEST_P(RecordLocks, LockOfAKilledProcessIsTakenOver) {
    auto other = opened();
    auto holder = opened();
    all_ok(*holder, {"dadd 1 ann 10", "dadd 2 bob 20", "cidfind 1 1 1"});
    ASSERT_EQ(holder->run("msetrec").rc, 0);
    ASSERT_EQ(other->run("cidfind 2 ann 1").value(0), 1);
    ASSERT_EQ(other->run("msetrec").rc, KX_E_LOCKED);
    ASSERT_EQ(other->run("dupdate 1 mine 11").rc, KX_E_NOLOCK);

    end(*holder, "kill");
    EXPECT_EQ(other->run("mtstrec").rc, KX_E_NOTHELD) << "the dead holder's entry is not a lock";
    const Reply taken = other->run("msetrec");
    EXPECT_EQ(taken.rc, 0);
    EXPECT_EQ(taken.value(0), 1) << "locked record";
    EXPECT_EQ(other->run("dupdate 1 mine 11").rc, 0);
    EXPECT_EQ(record_text(other->run("cidread")), "1 mine 11");
    const auto entries = lock_entries(*other, order);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, RecordLockName);
    EXPECT_EQ(entries[0].value, 1u);
    EXPECT_EQ(entries[0].owner, slot(*other));
    EXPECT_EQ(other->run("ddelete").rc, 0);
    EXPECT_EQ(lock_entries(*other, order).size(), 0u) << "deleting the record gave up its lock";
}

// A process dies holding record locks, key locks and semaphores.  Its
// entries stay in the lock tree, stale, until a process that gets the same
// user slot opens the file for writing and sweeps them; entries of live
// processes and of dead ones with other slots stay.
TEST_P(RecordLocks, OpenerOfTheSlotOfAKilledProcessSweepsItsEntries) {
    auto keeper = opened();
    auto holder = opened();
    auto bystander = opened();
    ASSERT_EQ(slot(*keeper), 0);
    ASSERT_EQ(slot(*holder), 1);
    ASSERT_EQ(slot(*bystander), 2);
    all_ok(*holder, {"dadd 1 ann 10", "dadd 2 bob 20", "dadd 3 cy 30", "dadd 4 dee 40"});
    // The holder: the lock of record 1, key locks in roots 1 and 2, two
    // semaphores.
    all_ok(*holder, {"cidfind 1 1 1", "msetrec", "cidfind 1 4 1", "msetlock 1", "cidfind 2 bob 1", "msetlock 2",
                     "msetsema s1 1", "msetsema s2 2"});
    all_ok(*keeper, {"cidfind 1 3 1", "msetrec", "msetsema k1 1"});
    all_ok(*bystander, {"msetsema d1 1"});
    end(*bystander, "kill");
    end(*holder, "kill");

    const std::multiset<int> before = {0, 0, 1, 1, 1, 1, 1, 2};
    ASSERT_EQ(owners(lock_entries(*keeper, order)), before);

    // An opener that may only read takes the free slot but sweeps nothing.
    {
        auto reader = opened(1);
        ASSERT_EQ(slot(*reader), 1);
        EXPECT_EQ(owners(lock_entries(*reader, order)), before);
        end(*reader, "close");
    }
    EXPECT_EQ(owners(lock_entries(*keeper, order)), before);

    auto sweeper = opened();
    ASSERT_EQ(slot(*sweeper), 1) << "the killed holder's slot";
    const std::set<LockEntry> left = {{sema("k1"), 1, 0}, {RecordLockName, 3, 0}, {sema("d1"), 1, 2}};
    EXPECT_EQ(lock_set(*keeper, order), left) << "the lock tree after the sweep, seen by a process that was there";
    EXPECT_EQ(lock_set(*sweeper, order), left) << "the lock tree after the sweep, seen by the sweeper";
    // What the holder had is free, what the keeper has is not.
    all_ok(*sweeper, {"cidfind 1 1 1"});
    EXPECT_EQ(sweeper->run("msetrec").rc, 0);
    all_ok(*sweeper, {"cidfind 2 bob 1"});
    EXPECT_EQ(sweeper->run("msetlock 2").rc, 0);
    EXPECT_EQ(sweeper->run("mtstsema s1 1").rc, KX_E_NOTHELD);
    all_ok(*sweeper, {"cidfind 1 3 1"});
    EXPECT_EQ(sweeper->run("msetrec").rc, KX_E_LOCKED);
    EXPECT_EQ(sweeper->run("msetsema k1 1").rc, KX_E_LOCKED);
    EXPECT_EQ(keeper->run("dupdate 3 cyril 31").rc, 0);
}

INSTANTIATE_TEST_SUITE_P(Orders, RecordLocks, ::testing::Values(1, 2), order_name);

// --- Semaphores -------------------------------------------------------------

struct SemaphoreEnd {
    const char* name;
    const char* how;    // the owner: "close", "kill" or "exit"
    const char* probe;  // the other process then: "msetsema" or "mtstsema"
};

void PrintTo(const SemaphoreEnd& s, std::ostream* os) { *os << s.name; }

class SemaphoreOwner : public CasesInBothOrders<SemaphoreEnd> {};

TEST_P(SemaphoreOwner, HoldsUntilItIsGone) {
    const SemaphoreEnd& s = std::get<0>(GetParam());
    auto other = opened();
    auto owner = opened();
    const int owner_slot = slot(*owner), other_slot = slot(*other);
    ASSERT_EQ(owner->run("msetsema jobs 7").rc, 0);
    EXPECT_EQ(owner->run("mtstsema jobs 7").rc, KX_E_HELDBYME);
    EXPECT_EQ(owner->run("mtstsema jobs 7").rc, KX_E_HELDBYME) << "testing one's own semaphore keeps it";
    EXPECT_EQ(other->run("msetsema jobs 7").rc, KX_E_LOCKED);
    EXPECT_EQ(other->run("mtstsema jobs 7").rc, KX_E_LOCKED);
    EXPECT_EQ(other->run("mclrsema jobs 7").rc, KX_E_LOCKED);
    EXPECT_EQ(other->run("msetsema jobs 8").rc, 0) << "another value is another semaphore";
    EXPECT_EQ(other->run("msetsema job 7").rc, 0) << "another name is another semaphore";

    end(*owner, s.how);
    // The entry stays, stale, until someone meets it.
    const LockEntry jobs8{sema("jobs"), 8, other_slot}, job7{sema("job"), 7, other_slot};
    EXPECT_EQ(lock_set(*other, order), (std::set<LockEntry>{{sema("jobs"), 7, owner_slot}, jobs8, job7}));

    if (std::string(s.probe) == "msetsema") {
        EXPECT_EQ(other->run("msetsema jobs 7").rc, 0) << "a stale semaphore is taken over";
        EXPECT_EQ(other->run("mtstsema jobs 7").rc, KX_E_HELDBYME);
        EXPECT_EQ(lock_set(*other, order), (std::set<LockEntry>{{sema("jobs"), 7, other_slot}, jobs8, job7}));
        EXPECT_EQ(other->run("mclrsema jobs 7").rc, 0);
        EXPECT_EQ(lock_set(*other, order), (std::set<LockEntry>{jobs8, job7}));
    } else {
        EXPECT_EQ(other->run("mtstsema jobs 7").rc, KX_E_NOTHELD) << "a stale semaphore is not held";
        EXPECT_EQ(lock_set(*other, order), (std::set<LockEntry>{jobs8, job7})) << "and the test removed it";
        EXPECT_EQ(other->run("mtstsema jobs 7").rc, KX_E_NOTHELD);
        EXPECT_EQ(other->run("msetsema jobs 7").rc, 0);
        EXPECT_EQ(other->run("mtstsema jobs 7").rc, KX_E_HELDBYME);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, SemaphoreOwner,
    ::testing::Combine(::testing::Values(SemaphoreEnd{"ClosedThenSet", "close", "msetsema"},
                                         SemaphoreEnd{"ClosedThenTested", "close", "mtstsema"},
                                         SemaphoreEnd{"KilledThenSet", "kill", "msetsema"},
                                         SemaphoreEnd{"KilledThenTested", "kill", "mtstsema"},
                                         SemaphoreEnd{"ExitedThenSet", "exit", "msetsema"},
                                         SemaphoreEnd{"ExitedThenTested", "exit", "mtstsema"}),
                       ::testing::Values(1, 2)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) == 2 ? "BigEndian" : "");
    });
