// Transactions, rollback and image backup: the log's records and nodes as
// they stand in the file, the transaction calls' results, rollback of open
// and left-behind transactions against a model, and restores from the image
// file of a section that never ended.
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <filesystem>

#include "frame/byteorder.h"
#include "support/powerloss.h"
#include "support/recovery.h"
#include "support/testing.h"
#include "support/tree_check.h"
#include "support/worker.h"

using kxtest::Block;
using kxtest::Snapshot;

namespace {

constexpr uint32_t LogHeadOffset = 550;
constexpr uint32_t ReleasedOffset = 554;

uint32_t seed_from_env(uint32_t fallback) {
    const char* env = std::getenv("KINDEX_SEED");
    return env ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : fallback;
}

// A file word in the file's byte order.
uint32_t word(const std::vector<uint8_t>& f, size_t off, int order) {
    return order == 2 ? kxtest::be32(f, off) : kxtest::le32(f, off);
}
int16_t half(const std::vector<uint8_t>& f, size_t off, int order) {
    const uint16_t v = order == 2 ? static_cast<uint16_t>(f[off] << 8 | f[off + 1])
                                  : static_cast<uint16_t>(f[off] | f[off + 1] << 8);
    return static_cast<int16_t>(v);
}

// One log node as stored.
struct LogNode {
    uint32_t released, next, owner;
    int16_t kind, count, free;
    std::vector<uint8_t> types;  // record types in order
};

LogNode read_log_node(const std::vector<uint8_t>& f, uint32_t n, int order) {
    const size_t at = 1024 + 2048 * size_t{n};
    LogNode l{word(f, at, order),        word(f, at + 4, order),     word(f, at + 8, order),
              half(f, at + 12, order),   half(f, at + 14, order),    half(f, at + 16, order), {}};
    size_t r = at + 18;
    for (int i = 0; i < l.count && r + 12 <= at + 2048; ++i) {
        l.types.push_back(f[r + 10]);
        r += 12 + f[r + 11];
    }
    return l;
}

// All record types of the chain from the file's log head.
std::vector<uint8_t> chain_types(const std::string& path, int order, int* nodes = nullptr) {
    const auto f = kxtest::read_file(path);
    std::vector<uint8_t> all;
    auto n = static_cast<int32_t>(word(f, LogHeadOffset, order));
    int k = 0;
    while (n > 0 && k < 1000) {
        const LogNode l = read_log_node(f, static_cast<uint32_t>(n), order);
        all.insert(all.end(), l.types.begin(), l.types.end());
        n = static_cast<int32_t>(l.next);
        ++k;
    }
    if (nodes != nullptr) *nodes = k;
    return all;
}

// Files of these tests live in memory where the system offers it: every
// section at flush mode 4 flushes, which on a disk costs milliseconds.
class ShmFileTest : public kxtest::FileTest {
protected:
    std::string file(const std::string& name) const { return shm.path(name); }
    kxtest::MemoryDir shm;
};

class TxFile : public ShmFileTest, public ::testing::WithParamInterface<int> {
protected:
    int order() const { return GetParam(); }
    void create(Block& b, const std::string& path, const KXROOTLIST* roots = nullptr) {
        ASSERT_EQ(bcreate(b.get(), path.c_str(), 'E', order(), roots), 0);
        ASSERT_EQ(csetfile(b.get(), 4), 0);
    }
    static Snapshot snap(KXCB* cb) {
        Snapshot s;
        EXPECT_EQ(kxtest::take_snapshot(cb, s), "");
        return s;
    }
    static void add(KXCB* cb, const std::string& key, uint32_t rec, size_t len = 8) {
        std::string payload(len, static_cast<char>('a' + rec % 26));
        ASSERT_EQ(cdupadd(cb, 1, key.c_str(), rec, payload.data(), static_cast<int32_t>(len)), 0) << key;
    }
};

INSTANTIATE_TEST_SUITE_P(ByteOrder, TxFile, ::testing::Values(1, 2),
                         [](const auto& i) { return i.param == 1 ? "little" : "big"; });

TEST_P(TxFile, BeginNeedsFlushModeFourAndLeavesTheFileAlone) {
    Block b;
    const auto path = file("t.kx");
    ASSERT_EQ(bcreate(b.get(), path.c_str(), 'E', order(), nullptr), 0);
    ASSERT_EQ(csetfile(b.get(), 3), 0);
    const auto before = kxtest::read_file(path);
    EXPECT_EQ(transbeg(b.get(), 3, nullptr), KX_E_TRANSMODE);
    EXPECT_EQ(kxtest::read_file(path), before);
    ASSERT_EQ(csetfile(b.get(), 4), 0);
    Block m;
    ASSERT_EQ(bcreate(m.get(), file("m.kx").c_str(), 'E', order(), nullptr), 0);
    EXPECT_EQ(transbeg(b.get(), 3, m.get()), KX_E_ARG);  // mode 3 takes no mirror
    EXPECT_EQ(transend(b.get(), 1), KX_E_FAIL);          // no log
    EXPECT_EQ(transend(b.get(), 4), KX_E_ARG);
    EXPECT_EQ(transtst(b.get()), 0);
    EXPECT_EQ(mclose(m.get()), 0);
    EXPECT_EQ(mclose(b.get()), 0);
}

TEST_P(TxFile, HeadNodeAndRecordsAsStored) {
    Block b;
    const auto path = file("t.kx");
    create(b, path);
    ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    const uint32_t head = static_cast<uint32_t>(b->log_head);
    EXPECT_GT(head, 0u);
    add(b.get(), "k1", 1);
    add(b.get(), "k2", 2);
    // The section of transbeg ends with a section end; then each add is a
    // write section of its own: begin, entry added, end.
    const std::vector<uint8_t> want{5, 4, 1, 5, 4, 1, 5};
    EXPECT_EQ(chain_types(path, order()), want);
    const auto f = kxtest::read_file(path);
    const LogNode l = read_log_node(f, head, order());
    EXPECT_EQ(l.kind, -2);
    EXPECT_EQ(l.released, 0xFFFFFFFFu);
    EXPECT_EQ(l.next, 0u);
    EXPECT_EQ(l.owner, 0u);
    EXPECT_EQ(l.count, 7);
    // Record 3 (the first entry added) carries serial, sequence 3, and the
    // whole entry as its body: length byte, root 1, piece 0x80, record 1.
    const size_t r = 1024 + 2048 * size_t{head} + 18 + 24;
    EXPECT_EQ(word(f, r, order()), uint32_t{b->trans_serial});
    EXPECT_EQ(half(f, r + 4, order()), 3);
    EXPECT_EQ(f[r + 10], 1);
    EXPECT_EQ(f[r + 12], 1);
    EXPECT_EQ(f[r + 13], 0x80);
    EXPECT_EQ(word(f, r + 14, order()), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[r + 18])), "k1");
    EXPECT_EQ(l.free, 2030 - 12 * 5 - 2 * (12 + f[r + 11]));
    // Twice without an end: the second's own section begin already counts.
    EXPECT_EQ(transbeg(b.get(), 3, nullptr), KX_E_LOGPENDING);
    EXPECT_EQ(transtst(b.get()), KX_E_LOGPENDING);
    EXPECT_EQ(transend(b.get(), 1), 0);
    EXPECT_EQ(mclose(b.get()), 0);
}

TEST_P(TxFile, EndingTheLogThreeWays) {
    Block b;
    const auto path = file("t.kx");
    create(b, path);
    // how 1: every log node freed, no head.
    ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    const uint32_t head = static_cast<uint32_t>(b->log_head);
    for (uint32_t i = 0; i < 60; ++i) add(b.get(), "key" + std::to_string(i), i, 60);  // several log nodes
    int nodes = 0;
    chain_types(path, order(), &nodes);
    EXPECT_GE(nodes, 2);
    ASSERT_EQ(transend(b.get(), 1), 0);
    EXPECT_EQ(int32_t{b->log_head}, -1);
    EXPECT_EQ(transtst(b.get()), 0);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
    // how 2: the head stays, emptied, and is taken again.
    ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    const uint32_t head2 = static_cast<uint32_t>(b->log_head);
    add(b.get(), "x", 1);
    ASSERT_EQ(transend(b.get(), 2), 0);
    EXPECT_EQ(int32_t{b->log_head}, static_cast<int32_t>(head2));
    EXPECT_EQ(transtst(b.get()), KX_E_LOGEMPTY);
    ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    EXPECT_EQ(int32_t{b->log_head}, static_cast<int32_t>(head2));
    add(b.get(), "y", 2);
    // how 3: the chain, records and all, heads the released list.
    ASSERT_EQ(transend(b.get(), 3), 0);
    EXPECT_EQ(int32_t{b->log_head}, -1);
    EXPECT_EQ(uint32_t{b->released_log_head}, head2);
    const auto f = kxtest::read_file(path);
    EXPECT_EQ(word(f, ReleasedOffset, order()), head2);
    const LogNode l = read_log_node(f, head2, order());
    EXPECT_EQ(l.released, 0xFFFFFFFFu);
    EXPECT_GE(l.count, 3);
    EXPECT_EQ(l.types.back(), 3);  // the transaction end stays with them
    (void)head;
    EXPECT_EQ(mclose(b.get()), 0);
}

TEST_P(TxFile, RecordThatFillsTheNodeExactlyStaysInIt) {
    Block b;
    const auto path = file("t.kx");
    create(b, path);
    ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    const uint32_t head = static_cast<uint32_t>(b->log_head);
    ASSERT_EQ(strtwrit(b.get()), 0);  // appends a section begin (12 bytes)
    // Records of type 200 (passed over by rollback) of 12 + 255 bytes, after
    // transbeg's section end and this section's begin.
    uint8_t body[256] = {};
    body[0] = 255;
    int16_t free = 2030 - 24;
    while (free >= 267) {
        ASSERT_EQ(translog(b.get(), 200, body), 0);
        free = static_cast<int16_t>(free - 267);
    }
    // Exactly the room that is left, then one byte more.
    body[0] = static_cast<uint8_t>(free - 12);
    ASSERT_EQ(translog(b.get(), 200, body), 0);
    ASSERT_EQ(endwrit(b.get()), 0);  // the section end opens the next node
    auto f = kxtest::read_file(path);
    LogNode l = read_log_node(f, head, order());
    EXPECT_EQ(l.free, 0);
    ASSERT_NE(l.next, 0u);
    const LogNode c = read_log_node(f, l.next, order());
    EXPECT_EQ(c.kind, -3);
    EXPECT_EQ(c.released, 0u);
    EXPECT_EQ(c.types, std::vector<uint8_t>{5});
    // Lock-tree entries are never logged.
    uint8_t lock_entry[16] = {10, 50, 0x80, 0, 0, 0, 0, 'a', 0};
    ASSERT_EQ(strtwrit(b.get()), 0);
    ASSERT_EQ(translog(b.get(), 1, lock_entry), 0);
    ASSERT_EQ(endwrit(b.get()), 0);
    f = kxtest::read_file(path);
    const LogNode c2 = read_log_node(f, l.next, order());
    EXPECT_EQ(c2.types, (std::vector<uint8_t>{5, 4, 5}));
    EXPECT_EQ(transend(b.get(), 1), 0);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
    EXPECT_EQ(mclose(b.get()), 0);
}

// Rolling back against a model: random transactions of adds, deletes and
// changes (payloads of one to several pieces), each committed or taken back.
struct RollConfig {
    const char* name;
    int order;
    uint32_t buffers;
    bool reopen;  // roll back after closing and opening again (a log left behind)
};

class RollbackModel : public ShmFileTest, public ::testing::WithParamInterface<RollConfig> {};

INSTANTIATE_TEST_SUITE_P(Configs, RollbackModel,
                         ::testing::Values(RollConfig{"little_pool8", 1, 8, false},
                                           RollConfig{"big_default", 2, 100, false},
                                           RollConfig{"little_reopened", 1, 100, true},
                                           RollConfig{"big_pool8_reopened", 2, 8, true}),
                         [](const auto& i) { return std::string(i.param.name); });

TEST_P(RollbackModel, RollbackRestoresEveryEntry) {
    const RollConfig& c = GetParam();
    ASSERT_EQ(cibufnum(c.buffers), 0);
    const uint32_t seed = seed_from_env(20261210u);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    KXROOTLIST roots[] = {{1, 0, nullptr}, {2, 5, nullptr}, {0, 0, nullptr}};
    Block b;
    const auto path = file("roll.kx");
    ASSERT_EQ(bcreate(b.get(), path.c_str(), 'E', c.order, roots), 0);
    ASSERT_EQ(csetfile(b.get(), 4), 0);
    using Key = std::pair<int32_t, uint32_t>;  // int32 key of root 2, record value
    std::map<Key, std::string> model;
    const int steps = std::getenv("KINDEX_MODEL_STEPS") ? std::atoi(std::getenv("KINDEX_MODEL_STEPS")) / 20 : 60;
    for (int t = 0; t < steps; ++t) {
        ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0) << "transaction " << t;
        auto work = model;
        const int ops = 1 + static_cast<int>(rng() % 40);
        for (int i = 0; i < ops; ++i) {
            const int32_t k = static_cast<int32_t>(rng() % 200);
            const uint32_t rec = rng() % 3;
            const Key key{k, rec};
            const int op = static_cast<int>(rng() % 3);
            if (op == 0 || work.empty()) {
                std::string p(rng() % 3 == 0 ? 300 + rng() % 700 : rng() % 100, static_cast<char>('A' + rng() % 26));
                const int32_t rc = cdupadd(b.get(), 2, &k, rec, p.data(), static_cast<int32_t>(p.size()));
                if (work.count(key)) {
                    ASSERT_EQ(rc, KX_E_FAIL);
                } else {
                    ASSERT_EQ(rc, 0);
                    work[key] = p;
                }
            } else if (op == 1) {
                const int32_t rc = cdelete(b.get(), 2, &k, rec);
                ASSERT_EQ(rc, work.erase(key) ? 0 : KX_E_FAIL);
            } else {
                std::string p(rng() % 500, static_cast<char>('a' + rng() % 26));
                const int32_t rc = cchange(b.get(), 2, &k, rec, p.data(), static_cast<int32_t>(p.size()));
                if (work.count(key)) {
                    ASSERT_EQ(rc, 0);
                    work[key] = p;
                } else {
                    ASSERT_EQ(rc, KX_E_FAIL);
                }
            }
        }
        if (rng() % 2 == 0) {
            ASSERT_EQ(transend(b.get(), 1 + static_cast<int32_t>(rng() % 3)), 0);
            model = work;
        } else {
            if (c.reopen) {
                // The transaction stays in the file when its block closes.
                ASSERT_EQ(mclose(b.get()), 0);
                ASSERT_EQ(bopen(b.get(), path.c_str(), 'E', 2, roots), 0);
                ASSERT_EQ(csetfile(b.get(), 4), 0);
                ASSERT_EQ(transtst(b.get()), KX_E_LOGPENDING);
            }
            ASSERT_EQ(transroll(b.get(), nullptr, 0, nullptr), 0) << "transaction " << t;
            EXPECT_EQ(transtst(b.get()), 0);
        }
        // The file against the model.
        Snapshot s;
        ASSERT_EQ(kxtest::take_snapshot(b.get(), s, 2, 2), "");
        if (s.size() != model.size()) {
            Snapshot want;
            for (const auto& [k, v] : model) {
                kxtest::SnapEntry e;
                e.root = 2;
                e.key.resize(4);
                std::memcpy(e.key.data(), &k.first, 4);
                e.record = k.second;
                e.payload.assign(v.begin(), v.end());
                want.insert(e);
            }
            ADD_FAILURE() << kxtest::diff(want, s);
        }
        ASSERT_EQ(s.size(), model.size()) << "transaction " << t;
        auto it = model.begin();
        for (const auto& e : s) {
            int32_t k = 0;
            std::memcpy(&k, e.key.data(), 4);
            ASSERT_EQ(k, it->first.first) << "transaction " << t;
            ASSERT_EQ(e.record, it->first.second);
            ASSERT_EQ(std::string(e.payload.begin(), e.payload.end()), it->second);
            ++it;
        }
        ASSERT_EQ(kxtest::check_trees(b.get()), "") << "transaction " << t;
        Snapshot scratch;
        ASSERT_EQ(kxtest::take_snapshot(b.get(), scratch, 46, 46), "");
        EXPECT_TRUE(scratch.empty()) << "index entries of the rollback left behind";
    }
    EXPECT_EQ(mclose(b.get()), 0);
}

// The progress callback and the chain index of a three-node log.
struct Progress {
    std::vector<double> values;
    int index_entries_seen = 0;
};
Progress* g_progress = nullptr;

int32_t on_progress(KXCB* cb, double p, const void*) {
    g_progress->values.push_back(p);
    if (p >= 0 && g_progress->index_entries_seen == 0) {
        char key[16];
        for (int32_t rc = cfind(cb, 46, "TRANSNDE", 0, key, 0); rc >= 0 && rc != 2; rc = cnext(cb, 46, key, 0))
            ++g_progress->index_entries_seen;
    }
    return 0;
}

TEST_P(TxFile, RollbackReportsProgressAndIndexesTheChain) {
    Block b;
    const auto path = file("t.kx");
    create(b, path);
    ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    ASSERT_EQ(strtwrit(b.get()), 0);
    for (uint32_t i = 0; i < 60; ++i) add(b.get(), "key" + std::to_string(i), i, 60);
    ASSERT_EQ(endwrit(b.get()), 0);
    int nodes = 0;
    const auto types = chain_types(path, order(), &nodes);
    ASSERT_EQ(nodes, 3);
    Progress p;
    g_progress = &p;
    ASSERT_EQ(transroll(b.get(), on_progress, 0, nullptr), 0);
    g_progress = nullptr;
    ASSERT_EQ(p.values.size(), 2 * types.size());
    for (size_t i = 0; i < types.size(); ++i) EXPECT_EQ(p.values[i], -1.0);
    for (size_t i = types.size() + 1; i < p.values.size(); ++i) EXPECT_GT(p.values[i], p.values[i - 1]);
    EXPECT_EQ(p.values.back(), 1.0);
    EXPECT_EQ(p.index_entries_seen, 3);
    EXPECT_TRUE(snap(b.get()).empty());
    EXPECT_EQ(int32_t{b->log_head}, -1);
    EXPECT_EQ(transroll(b.get(), nullptr, 0, nullptr), KX_E_NOROLLBACK);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
    EXPECT_EQ(mclose(b.get()), 0);
}

TEST_P(TxFile, RollbackOfAnAddThenDeleteAndOfADeleteThenAdd) {
    Block b;
    const auto path = file("t.kx");
    create(b, path);
    add(b.get(), "kept", 1, 400);
    const Snapshot before = snap(b.get());
    ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    add(b.get(), "gone", 2, 20);
    ASSERT_EQ(cdelete(b.get(), 1, "gone", 2), 0);  // undoing the add finds nothing
    ASSERT_EQ(cdelete(b.get(), 1, "kept", 1), 0);
    add(b.get(), "kept", 1, 30);  // undoing the delete replaces this one
    ASSERT_EQ(transroll(b.get(), nullptr, 0, nullptr), 0);
    EXPECT_EQ(kxtest::diff(before, snap(b.get())), "");
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
    EXPECT_EQ(mclose(b.get()), 0);
}

TEST_P(TxFile, MirrorFollowsTheFileSectionBySection) {
    const auto path = file("t.kx"), mpath = file("m.kx");
    {
        Block b;
        create(b, path);
        add(b.get(), "before", 1);
        EXPECT_EQ(mclose(b.get()), 0);
    }
    kxtest::write_file(mpath, kxtest::read_file(path));
    Block b, m;
    ASSERT_EQ(bopen(b.get(), path.c_str(), 'E', 2, nullptr), 0);
    ASSERT_EQ(csetfile(b.get(), 4), 0);
    ASSERT_EQ(bopen(m.get(), mpath.c_str(), 'E', 2, nullptr), 0);
    for (int mode : {2, 1}) {
        ASSERT_EQ(transbeg(b.get(), mode, m.get()), 0);
        for (uint32_t i = 0; i < 120; ++i) add(b.get(), "m" + std::to_string(mode) + "-" + std::to_string(i), i, 90);
        ASSERT_EQ(cdelete(b.get(), 1, "before", 1), mode == 2 ? 0 : KX_E_FAIL);
        EXPECT_EQ(kxtest::diff(snap(b.get()), snap(m.get())), "") << "mode " << mode;
        if (mode == 2) {
            // Only section and node-written records: no undo in mode 2.
            for (uint8_t t : chain_types(path, order())) EXPECT_TRUE(t == 4 || t == 5 || t == 6) << int(t);
        }
        ASSERT_EQ(transend(b.get(), 1), 0);
        EXPECT_EQ(kxtest::diff(snap(b.get()), snap(m.get())), "") << "mode " << mode;
    }
    // The mirror's nodes equal the file's.
    EXPECT_EQ(mclose(b.get()), 0);
    EXPECT_EQ(mclose(m.get()), 0);
    const auto f = kxtest::read_file(path), g = kxtest::read_file(mpath);
    ASSERT_GE(g.size(), f.size());
    EXPECT_TRUE(std::equal(f.begin() + 1024, f.end(), g.begin() + 1024));
    EXPECT_TRUE(std::equal(f.begin(), f.begin() + 558, g.begin()));
}

// Rollback's answers to what it cannot or may not undo, and a new
// transaction begun by the rollback itself.
int32_t stop_at_first_undo(KXCB*, double p, const void*) { return p >= 0 ? 77 : 0; }

TEST_P(TxFile, RollbackRefusalsAndStops) {
    Block b;
    const auto path = file("t.kx");
    create(b, path);
    // A record type the log never holds stops the undo.
    ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    add(b.get(), "a", 1);
    const uint8_t empty = 0;
    ASSERT_EQ(strtwrit(b.get()), 0);
    ASSERT_EQ(translog(b.get(), 7, &empty), 0);
    ASSERT_EQ(endwrit(b.get()), 0);
    EXPECT_EQ(transroll(b.get(), nullptr, 0, nullptr), KX_E_BUILDPREP);
    EXPECT_EQ(int32_t{b->log_head}, -1);  // the log is gone all the same
    EXPECT_EQ(transroll(b.get(), nullptr, 0, nullptr), KX_E_NOROLLBACK);
    // The callback's answer stops it.
    ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    add(b.get(), "b", 2);
    EXPECT_EQ(transroll(b.get(), stop_at_first_undo, 0, nullptr), 77);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
    // Chain index entries a stopped rollback left behind do not stop the
    // next one.
    ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    add(b.get(), "c", 3);
    EXPECT_EQ(transroll(b.get(), nullptr, 0, nullptr), 0);
    Snapshot scratch;
    ASSERT_EQ(kxtest::take_snapshot(b.get(), scratch, 46, 46), "");
    EXPECT_TRUE(scratch.empty());
    EXPECT_EQ(mclose(b.get()), 0);
}

TEST_P(TxFile, RollbackBeginsANewMirroredTransaction) {
    const auto path = file("t.kx"), mpath = file("m.kx");
    {
        Block b;
        create(b, path);
        EXPECT_EQ(mclose(b.get()), 0);
    }
    kxtest::write_file(mpath, kxtest::read_file(path));
    Block b, m;
    ASSERT_EQ(bopen(b.get(), path.c_str(), 'E', 2, nullptr), 0);
    ASSERT_EQ(csetfile(b.get(), 4), 0);
    ASSERT_EQ(bopen(m.get(), mpath.c_str(), 'E', 2, nullptr), 0);
    ASSERT_EQ(transbeg(b.get(), 1, m.get()), 0);
    for (uint32_t i = 0; i < 80; ++i) add(b.get(), "r" + std::to_string(i), i, 60);
    int old_nodes = 0;
    chain_types(path, order(), &old_nodes);
    ASSERT_GE(old_nodes, 2);
    ASSERT_EQ(transroll(b.get(), nullptr, 1, m.get()), 0);
    // The new transaction's log names the old chain's freed nodes for the
    // mirror, and the mirror holds what the file holds.
    EXPECT_EQ(int32_t{b->trans_mode}, 1);
    int sixes = 0;
    for (uint8_t t : chain_types(path, order())) sixes += t == 6;
    EXPECT_GE(sixes, old_nodes);
    ASSERT_EQ(transend(b.get(), 1), 0);
    EXPECT_TRUE(snap(b.get()).empty());
    EXPECT_EQ(kxtest::diff(snap(b.get()), snap(m.get())), "");
    EXPECT_EQ(kxtest::check_trees(m.get()), "");
    EXPECT_EQ(mclose(b.get()), 0);
    EXPECT_EQ(mclose(m.get()), 0);
}

// Image backup: a copy of the files taken in the middle of a write section
// is what a stop there leaves behind.
TEST_P(TxFile, ImageRestoresTheFileOfAnUnfinishedSection) {
    ASSERT_EQ(cibufnum(8), 0);  // a small pool writes nodes in mid-section
    Block b, img;
    const auto path = file("t.kx"), ipath = file("t.img");
    create(b, path);
    for (uint32_t i = 0; i < 200; ++i) add(b.get(), "base" + std::to_string(i), i, 50);
    {
        Block c;
        ASSERT_EQ(bcreate(c.get(), ipath.c_str(), 'E', order(), nullptr), 0);
        EXPECT_EQ(mclose(c.get()), 0);
    }
    ASSERT_EQ(imgopen(img.get(), ipath.c_str(), 'E', 2), 0);
    ASSERT_EQ(imageback(b.get(), img.get()), 0);
    ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    for (uint32_t i = 0; i < 50; ++i) add(b.get(), "tx" + std::to_string(i), i, 70);
    const Snapshot committed_before = snap(b.get());
    ASSERT_EQ(strtwrit(b.get()), 0);
    for (uint32_t i = 0; i < 300; ++i) add(b.get(), "mid" + std::to_string(i), i, 120);
    for (uint32_t i = 0; i < 100; i += 3) ASSERT_EQ(cdelete(b.get(), 1, ("base" + std::to_string(i)).c_str(), i), 0);
    // The stop: the files as they are now.
    const auto crashed = kxtest::read_file(path);
    const auto crashed_image = kxtest::read_file(ipath);
    ASSERT_EQ(endwrit(b.get()), 0);
    ASSERT_EQ(transroll(b.get(), nullptr, 0, nullptr), 0);
    EXPECT_EQ(mclose(b.get()), 0);
    EXPECT_EQ(imgclose(img.get()), 0);

    const auto cpath = file("c.kx"), cipath = file("c.img");
    kxtest::write_file(cpath, crashed);
    kxtest::write_file(cipath, crashed_image);
    Block r;
    EXPECT_EQ(bopen(r.get(), cpath.c_str(), 'E', 2, nullptr), KX_E_MARKER);
    kxtest::RecoveryReport rep = kxtest::recover(cpath, cipath, r.get());
    ASSERT_TRUE(rep.ok()) << rep.describe();
    EXPECT_TRUE(rep.restored);
    EXPECT_TRUE(rep.rolled_back);
    // Back to before the transaction: the base entries only.
    Snapshot s = snap(r.get());
    size_t base = 0;
    for (const auto& e : s) base += std::string(e.key.begin(), e.key.end()).rfind("base", 0) == 0;
    EXPECT_EQ(base, 200u);
    EXPECT_EQ(s.size(), 200u);
    EXPECT_GT(committed_before.size(), 200u);
    EXPECT_EQ(mclose(r.get()), 0);

    // The restore also runs over the marker without clrwrit first, and
    // clears it when done.
    kxtest::write_file(cpath, crashed);
    kxtest::write_file(cipath, crashed_image);
    Block r2, i2;
    ASSERT_EQ(_bopen(r2.get(), cpath.c_str(), 'E', 2), 0);
    ASSERT_EQ(csetfile(r2.get(), 4), 0);
    ASSERT_EQ(imgopen(i2.get(), cipath.c_str(), 'E', 2), 0);
    ASSERT_EQ(imagerest(r2.get(), i2.get()), 0);
    EXPECT_FALSE(kxtest::marker_set(cpath));
    // The counter moves past the interrupted section's, so that another
    // process that read that section's header sees the file change again.
    const uint32_t interrupted = word(crashed_image, 0, order());
    EXPECT_EQ(word(kxtest::read_file(cpath), 0, order()), interrupted + 1);
    EXPECT_EQ(transtst(r2.get()), KX_E_LOGPENDING);
    ASSERT_EQ(transroll(r2.get(), nullptr, 0, nullptr), 0);
    EXPECT_EQ(kxtest::diff(s, snap(r2.get())), "");
    EXPECT_EQ(kxtest::check_trees(r2.get()), "");
    EXPECT_EQ(imgclose(i2.get()), 0);
    EXPECT_EQ(mclose(r2.get()), 0);
}

// A section that wrote everything back, its log's section end included, and
// stopped before it cleared the marker is put back by the restore, and so
// must be every log node it wrote, also the emptied nodes a transaction kept
// with how 2: a kept node left with the section's records behind a restored
// head would hand rollback the section's removals and its section end, and
// rollback would undo on the restored tree a change that is no longer there.
// Here the section cuts a datum of 16 pieces short: its removal records run
// from the head into a kept node, which takes the added entry and the
// section end; undone on the restored tree, the added entry's undo takes the
// old datum's first piece with it.
TEST_P(TxFile, RestoreEmptiesTheKeptLogNodesTheStoppedSectionWrote) {
    namespace fs = std::filesystem;
    const auto path = file("t.kx"), ipath = file("t.img");
    const std::string key = "long";
    std::string datum(3800, 'x');
    for (size_t i = 0; i < datum.size(); ++i) datum[i] = static_cast<char>('a' + (i * 7) % 26);
    Snapshot before;
    {
        Block b;
        create(b, path);
        ASSERT_EQ(cdupadd(b.get(), 1, key.c_str(), 7, datum.data(), static_cast<int32_t>(datum.size())), 0);
        // A log of several nodes, kept emptied.
        ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
        for (uint32_t i = 0; i < 40; ++i) add(b.get(), "fill" + std::to_string(i), i, 200);
        ASSERT_EQ(transend(b.get(), 2), 0);
        int kept = 0;
        chain_types(path, order(), &kept);
        ASSERT_GE(kept, 3);
        before = snap(b.get());
        EXPECT_EQ(mclose(b.get()), 0);
    }
    kxtest::PowerLossRecorder rec;
    {
        Block b, img;
        rec.start();
        ASSERT_EQ(bcreate(img.get(), ipath.c_str(), 'E', order(), nullptr), 0);
        ASSERT_EQ(mclose(img.get()), 0);
        ASSERT_EQ(imgopen(img.get(), ipath.c_str(), 'E', 2), 0);
        ASSERT_EQ(bopen(b.get(), path.c_str(), 'E', 2, nullptr), 0);
        ASSERT_EQ(csetfile(b.get(), 4), 0);
        ASSERT_EQ(imageback(b.get(), img.get()), 0);
        ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
        ASSERT_EQ(cchange(b.get(), 1, key.c_str(), 7, "short", 5), 0);
        rec.stop();
        ASSERT_EQ(rec.unknown_handle_events(), 0u);
        EXPECT_EQ(transroll(b.get(), nullptr, 0, nullptr), 0);
        EXPECT_EQ(mclose(b.get()), 0);
        EXPECT_EQ(imgclose(img.get()), 0);
    }
    // The stop: every write issued up to the one that clears the marker at
    // the end of cchange's section.
    const std::string recorded = fs::path(path).lexically_normal().string();
    size_t cut = 0;
    for (size_t i = 0; i < rec.event_count(); ++i) {
        const auto& e = rec.event(i);
        if (e.kind == kxtest::PowerLossRecorder::Kind::Write && rec.files()[e.file] == recorded && e.pos == 1010 &&
            e.bytes == std::vector<uint8_t>{0, 0})
            cut = i;
    }
    ASSERT_GT(cut, 0u);
    const std::string folder = file("crash");
    fs::create_directories(folder);
    const auto where = rec.write_files(rec.all_written(cut), folder);
    const std::string cpath = where.at(recorded);
    const std::string cipath = where.at(fs::path(ipath).lexically_normal().string());
    ASSERT_TRUE(kxtest::marker_set(cpath));
    // What makes the case: the section end went into a kept node behind the
    // head.
    {
        const auto f = kxtest::read_file(cpath);
        const auto head = static_cast<uint32_t>(word(f, LogHeadOffset, order()));
        uint32_t last = head;
        std::vector<uint8_t> last_types;
        for (uint32_t n = head, hops = 0; n > 0 && hops < 100; ++hops) {
            const LogNode l = read_log_node(f, n, order());
            if (!l.types.empty()) {
                last = n;
                last_types = l.types;
            }
            n = l.next;
        }
        EXPECT_NE(last, head);
        ASSERT_FALSE(last_types.empty());
        EXPECT_EQ(last_types.back(), 5);
    }
    Block r;
    const kxtest::RecoveryReport rep = kxtest::recover(cpath, cipath, r.get());
    ASSERT_TRUE(rep.ok()) << rep.describe();
    EXPECT_TRUE(rep.restored);
    EXPECT_EQ(kxtest::diff(before, snap(r.get())), "");
    EXPECT_EQ(kxtest::check_trees(r.get()), "");
    EXPECT_EQ(mclose(r.get()), 0);
}

}  // namespace

namespace {

// A restore beside another process of a shared file.  The file and the
// image file are copies taken in the middle of a write section, as its
// writer dies and leaves them; the test process restores, a kx_worker
// process is the other user.
//   * Left marked, the file refuses the other user's write sections until
//     the restore has put it back; the restore clears the marker at its end,
//     with the lazy-marker option off as well.
//   * Cleared with clrwrit first, the other user writes in between (that is
//     why a shared recovery must not clear it); whatever the restore then
//     does to that work, the counter it writes is one the other user has
//     not seen, so that it reloads instead of going on from its own header
//     and nodes.
struct SharedRestoreCase {
    const char* name;
    bool clear_first;
    bool lazy_marker;
};

void PrintTo(const SharedRestoreCase& c, std::ostream* os) { *os << c.name; }

class SharedRestore : public ShmFileTest, public ::testing::WithParamInterface<std::tuple<int, SharedRestoreCase>> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, SharedRestore,
    ::testing::Combine(::testing::Values(1, 2),
                       ::testing::Values(SharedRestoreCase{"MarkerLeftForTheRestore", false, true},
                                         SharedRestoreCase{"MarkerLeftLazyMarkerOff", false, false},
                                         SharedRestoreCase{"ClearedFirstOtherUserWrote", true, true})),
    [](const auto& i) {
        return std::string(std::get<1>(i.param).name) + (std::get<0>(i.param) == 1 ? "Little" : "Big");
    });

TEST_P(SharedRestore, OtherUserSeesTheRestoredFile) {
    const auto [order, c] = GetParam();
    const auto path = file("t.kx"), ipath = file("t.img");
    const auto cpath = file("c.kx"), cipath = file("c.img");
    auto key = [](const char* stem, int i) {
        char k[16];
        std::snprintf(k, sizeof k, "%s%03d", stem, i);
        return std::string(k);
    };
    Snapshot before;
    {
        ASSERT_EQ(cibufnum(8), 0);  // a small pool writes nodes in mid-section
        Block b, img;
        ASSERT_EQ(bcreate(b.get(), path.c_str(), 'E', order, nullptr), 0);
        ASSERT_EQ(csetfile(b.get(), 4), 0);
        for (int i = 0; i < 200; ++i) ASSERT_EQ(cdupadd(b.get(), 1, key("base", i).c_str(), i, "b", 1), 0);
        ASSERT_EQ(bcreate(img.get(), ipath.c_str(), 'E', order, nullptr), 0);
        ASSERT_EQ(mclose(img.get()), 0);
        ASSERT_EQ(imgopen(img.get(), ipath.c_str(), 'E', 2), 0);
        ASSERT_EQ(imageback(b.get(), img.get()), 0);
        ASSERT_EQ(kxtest::take_snapshot(b.get(), before), "");
        ASSERT_EQ(strtwrit(b.get()), 0);
        for (int i = 0; i < 300; ++i) ASSERT_EQ(cdupadd(b.get(), 1, key("mid", i).c_str(), i, "payload", 7), 0);
        // Part of the section reaches the file, the header with its counter.
        ASSERT_EQ(cflush(b.get()), 0);
        for (int i = 0; i < 100; i += 3) ASSERT_EQ(cdelete(b.get(), 1, key("base", i).c_str(), i), 0);
        kxtest::write_file(cpath, kxtest::read_file(path));
        kxtest::write_file(cipath, kxtest::read_file(ipath));
        ASSERT_EQ(endwrit(b.get()), 0);
        EXPECT_EQ(mclose(b.get()), 0);
        EXPECT_EQ(imgclose(img.get()), 0);
        ASSERT_EQ(cibufnum(100), 0);
    }
    ASSERT_TRUE(kxtest::marker_set(cpath));
    const uint32_t interrupted = word(kxtest::read_file(cipath), 0, order);
    const uint32_t left = word(kxtest::read_file(cpath), 0, order);
    ASSERT_LE(left, interrupted);

    Block r;
    // However the test ends, the block lets go of its pool buffers.
    struct Closer {
        KXCB* cb;
        ~Closer() {
            if (cb->state != 'O') return;
            clrwrit(cb);
            mclose(cb);
        }
    } closer{r.get()};
    ASSERT_EQ(_bopen(r.get(), cpath.c_str(), 'S', 2), 0);
    ASSERT_EQ(csetfile(r.get(), 4), 0);
    ASSERT_EQ(strtwrit(r.get()), KX_E_MARKER);  // the writer is gone
    kxtest::Worker w;
    ASSERT_EQ(w.run("rawopen " + cpath + " S 2").rc, 0);
    ASSERT_EQ(w.run("flush 4").rc, 0);
    std::vector<std::string> probes{key("base", 0), key("base", 1), key("mid", 5)};
    if (c.clear_first) {
        ASSERT_EQ(clrwrit(r.get()), 0);
        // As many sections as bring the other user's counter to one past the
        // interrupted section's.
        for (uint32_t i = 0; left + i <= interrupted; ++i) {
            probes.push_back(key("late", static_cast<int>(i)));
            ASSERT_EQ(w.run("cdupadd 1 " + probes.back() + " " + std::to_string(i)).rc, 0);
        }
        ASSERT_EQ(w.run("cfind 1 " + probes.back() + " " + std::to_string(probes.size() - 4)).rc, 0);
    } else {
        EXPECT_EQ(w.run("strtwrit").rc, KX_E_MARKER);
        EXPECT_EQ(w.run("cdupadd 1 early 1").rc, KX_E_MARKER);
    }

    Block img;
    ASSERT_EQ(imgopen(img.get(), cipath.c_str(), 'E', 2), 0);
    r->lazy_marker = c.lazy_marker ? 1 : 0;
    ASSERT_EQ(imagerest(r.get(), img.get()), 0);
    EXPECT_EQ(imgclose(img.get()), 0);
    EXPECT_FALSE(kxtest::marker_set(cpath));
    EXPECT_EQ(uint32_t{r->lazy_marker}, c.lazy_marker ? 1u : 0u);
    EXPECT_GT(word(kxtest::read_file(cpath), 0, order), interrupted);

    // The other user finds what the file holds, and works on.
    for (size_t i = 0; i < probes.size(); ++i) {
        const auto rec = static_cast<uint32_t>(i < 3 ? (i == 2 ? 5 : i) : i - 3);
        char buf[64];
        const int32_t here = cfind(r.get(), 1, probes[i].c_str(), rec, buf, sizeof buf);
        EXPECT_EQ(w.run("cfind 1 " + probes[i] + " " + std::to_string(rec)).rc, here) << probes[i];
    }
    ASSERT_EQ(w.run("cdupadd 1 after 1").rc, 0);
    for (int i = 200; i < 260; ++i) ASSERT_EQ(w.run("cdupadd 1 " + key("base", i) + " " + std::to_string(i)).rc, 0);
    EXPECT_EQ(w.run("close").rc, 0);
    EXPECT_EQ(kxtest::check_trees(r.get()), "");
    if (!c.clear_first) {
        // The file as before the interrupted section, with the other user's
        // entries.
        std::set<std::string> want{"after"}, got;
        for (int i = 200; i < 260; ++i) want.insert(key("base", i));
        Snapshot now;
        ASSERT_EQ(kxtest::take_snapshot(r.get(), now), "");
        for (const auto& e : before) EXPECT_EQ(now.count(e), 1u) << kxtest::describe(e);
        for (const auto& e : now)
            if (before.count(e) == 0) got.insert(std::string(e.key.begin(), e.key.end() - 1));
        EXPECT_EQ(got, want);
    }
    EXPECT_EQ(mclose(r.get()), 0);
}

TEST(ImageBack, RefusedWithoutAPool) {
    kxtest::TempDir tmp;
    Block b, img;
    ASSERT_EQ(ccreate(b.get(), tmp.path("a.kx").c_str()), 0);
    ASSERT_EQ(ccreate(img.get(), tmp.path("a.img").c_str()), 0);
    EXPECT_EQ(mclose(b.get()), 0);
    ASSERT_EQ(cibufnum(0), 0);
    ASSERT_EQ(copen(b.get(), tmp.path("a.kx").c_str()), 0);
    EXPECT_EQ(imageback(b.get(), img.get()), KX_E_NOTOPEN);
    EXPECT_EQ(mclose(b.get()), 0);
    EXPECT_EQ(mclose(img.get()), 0);
    ASSERT_EQ(cibufnum(100), 0);
}

}  // namespace

namespace {

// Records of a data file added and deleted inside a transaction, then taken
// back: every key tree and the record tree as before.
struct Person {
    int32_t id = 0;
    char name[24] = {};
    int32_t plain = 0;
};

class DataTx : public ShmFileTest, public ::testing::WithParamInterface<std::tuple<int, uint32_t, bool>> {};

INSTANTIATE_TEST_SUITE_P(Configs, DataTx,
                         ::testing::Combine(::testing::Values(1, 2), ::testing::Values(8u, 100u),
                                            ::testing::Bool()));

TEST_P(DataTx, RecordsAddedAndDeletedAreTakenBack) {
    const auto [order, buffers, transaction] = GetParam();
    ASSERT_EQ(cibufnum(buffers), 0);
    Person p;
    KXDLIST list[4];
    list[0] = {'L', 5, 'U', 4, 1, &p.id};
    list[1] = {'S', 0, 'D', 24, 2, p.name};
    list[2] = {'L', 'N', 'N', 4, 0, &p.plain};
    list[3] = {};
    list[3].type = 'E';
    static constexpr KXROOTLIST roots[] = {{1, 5, nullptr}, {2, 0, nullptr}, {0, 0, nullptr}};
    uint8_t buffer[256];
    Block b;
    ASSERT_EQ(dbcreate(b.get(), file("d.kx").c_str(), buffer, sizeof buffer, 'E', order, roots), 0);
    ASSERT_EQ(csetfile(b.get(), 4), 0);
    auto add = [&](int32_t id) {
        p.id = id;
        std::snprintf(p.name, sizeof p.name, "name %d", id % 7);
        p.plain = id * 3;
        return dadd(b.get(), list);
    };
    for (int32_t id = 100; id < 110; ++id) ASSERT_EQ(add(id), 0);
    Snapshot before;
    ASSERT_EQ(kxtest::take_snapshot(b.get(), before), "");
    if (transaction) {
        ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    }
    for (int32_t id = 1; id <= 30; ++id) ASSERT_EQ(add(id), 0) << id;
    for (int32_t id = 102; id < 110; id += 5) {
        ASSERT_EQ(cidfind(b.get(), 1, &id, 5, 1), 0) << id;
        ASSERT_EQ(ddelete(b.get(), list), 0) << id;
    }
    if (transaction) {
        // A log freed to the free list, and a new one: its nodes come back.
        ASSERT_EQ(transend(b.get(), 1), 0);
        before.clear();
        ASSERT_EQ(kxtest::take_snapshot(b.get(), before), "");
        ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    }
    const uint32_t counted_records = b->record_count, counted_free = b->free_records;
    for (int32_t id = 2; id <= 30; id += 5) {
        ASSERT_EQ(cidfind(b.get(), 1, &id, 5, 1), 0) << id;
        ASSERT_EQ(ddelete(b.get(), list), 0) << id;
    }
    for (int32_t id = 31; id <= 40; ++id) ASSERT_EQ(add(id), 0) << id;  // numbers reused
    for (int32_t id = 100; id < 110; id += 3) {
        ASSERT_EQ(cidfind(b.get(), 1, &id, 5, 1), 0) << id;
        ASSERT_EQ(ddelete(b.get(), list), 0) << id;
    }
    ASSERT_EQ(kxtest::check_trees(b.get()), "");
    if (transaction) {
        ASSERT_EQ(transroll(b.get(), nullptr, 0, nullptr), 0);
        Snapshot after;
        ASSERT_EQ(kxtest::take_snapshot(b.get(), after), "");
        EXPECT_EQ(kxtest::diff(before, after), "");
        ASSERT_EQ(kxtest::check_trees(b.get()), "");
        // The counts follow the records and free numbers taken back, so
        // that the next add finds the numbers the count promises.
        EXPECT_EQ(uint32_t{b->record_count}, counted_records);
        EXPECT_EQ(uint32_t{b->free_records}, counted_free);
        ASSERT_EQ(add(500), 0);
        ASSERT_EQ(add(501), 0);
    }
    EXPECT_EQ(mclose(b.get()), 0);
}

}  // namespace

namespace {

// A write section refused by another's marker changes nothing, not even the
// block's copy of the change counter: copies raised by each refusal of a
// process waiting for a recovery came to equal the file's counter after the
// recovery's sections, and the next section then kept a header and nodes
// that were no longer the file's.
TEST_P(TxFile, RefusedSectionLeavesTheCounterAlone) {
    Block b;
    const auto path = file("t.kx");
    create(b, path);
    add(b.get(), "x", 1);
    EXPECT_EQ(mclose(b.get()), 0);
    const uint16_t marker = 13245;
    kxtest::patch_file(path, 1010,
                       order() == 2 ? std::vector<uint8_t>{uint8_t(marker >> 8), uint8_t(marker & 0xFF)}
                                    : std::vector<uint8_t>{uint8_t(marker & 0xFF), uint8_t(marker >> 8)});
    ASSERT_EQ(_bopen(b.get(), path.c_str(), 'E', 2), 0);
    ASSERT_EQ(csetfile(b.get(), 4), 0);
    const uint32_t counter = b->change_counter;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(strtwrit(b.get()), KX_E_MARKER);
    EXPECT_EQ(uint32_t{b->change_counter}, counter);
    ASSERT_EQ(clrwrit(b.get()), 0);
    ASSERT_EQ(strtwrit(b.get()), 0);
    EXPECT_EQ(uint32_t{b->change_counter}, counter + 1);
    ASSERT_EQ(endwrit(b.get()), 0);
    EXPECT_EQ(mclose(b.get()), 0);
}

}  // namespace
