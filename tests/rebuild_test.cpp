// Rebuild: index files made again from damaged ones (cbuild, bbuild,
// z_bbuild) and data files copied with new keys (dbuild).
//
// The index rebuild tests damage real files where it hurts (interior nodes,
// leaves, the header, log nodes) and compare the rebuilt file with a model
// of what the damaged file held, entry for entry (root, key, record value,
// whole payload), in both byte orders and into targets of either order.  A
// pending transaction is carried over when its rollback in the target gives
// what the rollback of the source gives; a killed worker process leaves the
// pending transactions of the process test.
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "frame/control_block.h"
#include "records/keyconv.h"
#include "support/crash_workload.h"
#include "support/recovery.h"
#include "support/slot_damage.h"
#include "support/testing.h"
#include "support/tree_check.h"
#include "support/worker.h"

using kxtest::SnapEntry;
using kxtest::Snapshot;
namespace slots = kxtest::slots;

namespace {

// A zeroed control block that is closed when it goes away still open (a
// failed assertion must not leave files open for the tests after it).
struct Block : kxtest::Block {
    Block() = default;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    ~Block() {
        if (kx::cbcheck(get()) == 'O') mclose(get());
    }
};

uint32_t seed_from_env(uint32_t fallback) {
    const char* env = std::getenv("KINDEX_SEED");
    return env ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : fallback;
}

// Roots of the index files: strings, 32-bit integers, doubles, 16-bit
// integers and counted strings, so that keys of every width are turned when
// the byte order changes.
const KXROOTLIST kRoots[] = {{1, 0, nullptr}, {2, 5, nullptr}, {3, 7, nullptr},
                             {4, 4, nullptr}, {5, 2, nullptr}, {0, 0, nullptr}};
constexpr int kKeyRoots = 5;

// Host-order key bytes of key number k of a root, exactly as long as the key.
std::vector<uint8_t> key_of(int root, uint32_t k) {
    std::vector<uint8_t> b;
    auto raw = [&](const auto v) {
        b.resize(sizeof v);
        std::memcpy(b.data(), &v, sizeof v);
    };
    switch (root) {
        case 1: {
            const std::string s = "key-" + std::to_string(k * 37 % 100003);
            b.assign(s.begin(), s.end());
            b.push_back(0);
            break;
        }
        case 2: raw(static_cast<int32_t>(k * 7919u) - 400000); break;
        case 3: raw(static_cast<double>(k) * 0.25 - 300.0); break;
        case 4: raw(static_cast<int16_t>(static_cast<int32_t>(k % 60000) - 30000)); break;
        default: {
            const std::string s = "c" + std::to_string(k);
            b.push_back(static_cast<uint8_t>(s.size()));
            b.insert(b.end(), s.begin(), s.end());
            break;
        }
    }
    return b;
}

std::vector<uint8_t> bytes_of(std::mt19937& rng, size_t n) {
    std::vector<uint8_t> p(n);
    for (auto& c : p) c = static_cast<uint8_t>(rng());
    return p;
}

// A payload: mostly one piece, with `multi` also ones cut into several.
std::vector<uint8_t> payload_of(std::mt19937& rng, bool multi) {
    const uint32_t pick = rng() % 100;
    if (!multi || pick < 70) return bytes_of(rng, rng() % 31);
    if (pick < 90) return bytes_of(rng, 240 + rng() % 200);
    return bytes_of(rng, 600 + rng() % 1400);
}

// Roots 1..45 and 47..49: root 46 is the library's own (a rebuilt file
// keeps its "TRANSRBLD" entries there).
std::string snapshot(KXCB* cb, Snapshot& out) {
    Snapshot low, high;
    std::string f = kxtest::take_snapshot(cb, low, 1, 45);
    if (f.empty()) f = kxtest::take_snapshot(cb, high, 47, 49);
    out = low;
    out.insert(high.begin(), high.end());
    return f;
}

std::string tree_fault(KXCB* cb) {
    if (strtread(cb) != 0) return "strtread failed";
    std::string f = kxtest::check_trees(cb);
    endread(cb);
    return f;
}

// Opens a file, checks its trees and takes its entries; "" when all went well.
std::string open_snapshot(const std::string& path, Snapshot& out, const KXROOTLIST* roots = kRoots) {
    Block b;
    const int32_t rc = bopen(b.get(), path.c_str(), 'E', 2, roots);
    if (rc != 0) return "bopen " + path + " answered " + std::to_string(rc);
    std::string f = tree_fault(b.get());
    if (f.empty()) f = snapshot(b.get(), out);
    mclose(b.get());
    return f;
}

// Rolls back the pending transaction of a file and takes its entries.
std::string rolled_back(const std::string& path, Snapshot& out, const KXROOTLIST* roots = kRoots, char mode = 'E') {
    Block b;
    int32_t rc = bopen(b.get(), path.c_str(), mode, 2, roots);
    if (rc != 0) return "bopen answered " + std::to_string(rc);
    rc = transtst(b.get());
    if (rc != KX_E_LOGPENDING) return "transtst answered " + std::to_string(rc);
    rc = transroll(b.get(), nullptr, 0, nullptr);
    if (rc != 0) return "transroll answered " + std::to_string(rc);
    std::string f = tree_fault(b.get());
    if (f.empty()) f = snapshot(b.get(), out);
    mclose(b.get());
    return f;
}

void copy_file(const std::string& from, const std::string& to) { kxtest::write_file(to, kxtest::read_file(from)); }

// The entries of a leaf slot as a snapshot holds them (host-order keys),
// parsed with the key types of an open block on the same roots.
Snapshot leaf_snapshot(KXCB* cb, const std::vector<uint8_t>& f, uint32_t n, int order) {
    Snapshot out;
    for (const auto& e : slots::leaf_entry_bytes(f, n, order)) {
        SnapEntry s;
        s.root = e[1];
        uint8_t k[256] = {};
        std::memcpy(k, e.data() + 7, e.size() - 7);
        const int32_t len = cikeylen(cb, s.root, k);
        kx::convkey(cb, s.root, k, static_cast<uint8_t>(cb->root_types[s.root] & 31), cb->byte_order[0], uint8_t{1});
        s.key.assign(k, k + len);
        s.record = order == 2 ? (uint32_t{e[3]} << 24 | uint32_t{e[4]} << 16 | uint32_t{e[5]} << 8 | e[6])
                              : (uint32_t{e[6]} << 24 | uint32_t{e[5]} << 16 | uint32_t{e[4]} << 8 | e[3]);
        s.payload.assign(e.begin() + 7 + len, e.end());
        out.insert(std::move(s));
    }
    return out;
}

// The mode of z_bbuild that names a source of the given order (the tests
// run on little-endian hosts, as the library's byte-order flag assumes).
int32_t mode_for(int order) { return order == 1 ? 1 : 2; }

class RebuildTest : public kxtest::FileTest, public ::testing::WithParamInterface<int> {
protected:
    int order() const { return GetParam(); }
    int other() const { return 3 - GetParam(); }
    std::string file(const std::string& name) const { return shm.path(name); }
    kxtest::MemoryDir shm;

    // Creates a file of the given order and fills it from the seed: adds of
    // random keys of the five roots (with `multi` some of several pieces),
    // a fifth of them deleted again, a few records in root 49, custom data
    // and counters.  The model of what it holds is returned in *model.
    void make_source(const std::string& path, int ord, uint32_t seed, int adds, bool multi, Snapshot* model) {
        Block b;
        ASSERT_EQ(bcreate(b.get(), path.c_str(), 'E', ord, kRoots), 0);
        ASSERT_EQ(csetfile(b.get(), 0), 0);
        fill(b.get(), seed, adds, multi, model);
        ASSERT_EQ(mclose(b.get()), 0);
    }

    void fill(KXCB* cb, uint32_t seed, int adds, bool multi, Snapshot* model) {
        std::mt19937 rng(seed);
        std::vector<SnapEntry> added;
        for (int i = 0; i < adds; ++i) {
            SnapEntry e;
            e.root = 1 + static_cast<int32_t>(rng() % kKeyRoots);
            e.key = key_of(e.root, rng() % 5000);
            e.record = rng() % 4;  // duplicate keys with other record values
            e.payload = payload_of(rng, multi);
            const int32_t rc = cdupadd(cb, e.root, e.key.data(), e.record, e.payload.data(),
                                       static_cast<int32_t>(e.payload.size()));
            if (rc == KX_E_FAIL) continue;  // that entry exists already
            ASSERT_EQ(rc, 0);
            model->insert(e);
            added.push_back(e);
        }
        for (size_t i = 0; i < added.size(); i += 5) {
            ASSERT_EQ(cdelete(cb, added[i].root, added[i].key.data(), added[i].record), 0);
            model->erase(model->find(added[i]));
        }
        const uint8_t empty = 0;
        for (uint32_t rec : {5u, 77u, 4000u}) {
            SnapEntry e{49, {0}, rec, bytes_of(rng, 20)};
            ASSERT_EQ(cdupadd(cb, 49, &empty, rec, e.payload.data(), 20), 0);
            model->insert(e);
        }
        ASSERT_EQ(csetcust(cb, "rebuild-me", 10), 0);
        ASSERT_EQ(csetcnt(cb, 1234), 0);
        ASSERT_EQ(csetrec(cb, 4321), 0);
    }

    // A target created by the caller for bbuild.
    void make_target(Block& t, const std::string& path, int ord) {
        ASSERT_EQ(bcreate(t.get(), path.c_str(), 'E', ord, kRoots), 0);
    }
};

INSTANTIATE_TEST_SUITE_P(ByteOrder, RebuildTest, ::testing::Values(1, 2),
                         [](const auto& i) { return i.param == 1 ? "little" : "big"; });

// How a damaged file is rebuilt: cbuild (a new file of the source's order),
// or bbuild into a target of the same or of the other order.
enum class Tool { CBuild, BBuildSame, BBuildOther };
const char* tool_name(Tool t) {
    return t == Tool::CBuild ? "cbuild" : t == Tool::BBuildSame ? "bbuild, same order" : "bbuild, other order";
}

class RebuildToolTest : public RebuildTest {
protected:
    // Rebuilds src into dst (which must not exist); the tool's result.
    int32_t rebuild(Tool tool, const std::string& src, const std::string& dst, const KXROOTLIST* roots) {
        if (tool == Tool::CBuild) return cbuild(src.c_str(), dst.c_str(), roots);
        Block t;
        EXPECT_EQ(bcreate(t.get(), dst.c_str(), 'E', tool == Tool::BBuildSame ? order() : other(), kRoots), 0);
        const int32_t rc = bbuild(src.c_str(), t.get(), mode_for(order()));
        EXPECT_EQ(kx::cbcheck(t.get()), 'C') << "bbuild leaves its target closed";
        return rc;
    }
};

INSTANTIATE_TEST_SUITE_P(ByteOrder, RebuildToolTest, ::testing::Values(1, 2),
                         [](const auto& i) { return i.param == 1 ? "little" : "big"; });

// ---- Leaves are found whatever happened around them -----------------------

TEST_P(RebuildToolTest, EveryEntryComesBackWhenInteriorNodesAndHeaderAreLost) {
    struct Case {
        Tool tool;
        bool header;  // the header is zeroed too
    };
    const Case cases[] = {{Tool::CBuild, false}, {Tool::BBuildSame, false}, {Tool::BBuildOther, false},
                          {Tool::CBuild, true},  {Tool::BBuildSame, true},  {Tool::BBuildOther, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(tool_name(c.tool)) + (c.header ? ", header zeroed" : ""));
        const auto src = file("src.kx"), dst = file("dst.kx");
        ciunlink(src.c_str());
        ciunlink(dst.c_str());
        Snapshot model;
        make_source(src, order(), 11, 1500, true, &model);
        Snapshot before;
        ASSERT_EQ(open_snapshot(src, before), "");
        ASSERT_EQ(kxtest::diff(model, before), "");
        ASSERT_GT(slots::zero_interior(src, order()), 0) << "the trees must have interior nodes";
        if (c.header) slots::zero_header(src);
        // A zeroed header names no key types: the caller gives the roots.
        ASSERT_EQ(rebuild(c.tool, src, dst, c.header ? kRoots : nullptr), 0);
        Snapshot after;
        ASSERT_EQ(open_snapshot(dst, after), "");
        EXPECT_EQ(kxtest::diff(model, after), "");

        Block t;
        ASSERT_EQ(bopen(t.get(), dst.c_str(), 'E', 2, kRoots), 0);
        if (c.tool == Tool::CBuild) {
            EXPECT_EQ(t->byte_order[0], order() == 1 ? 1 : 0) << "the source's order";
        }
        if (!c.header) {
            // The source's counters and custom data.
            EXPECT_EQ(+t->record_count, 1234u);
            EXPECT_EQ(+t->next_record, 4321u);
            uint8_t custom[100] = {};
            ASSERT_EQ(cgetcust(t.get(), custom, 100), 0);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(custom), 10), "rebuild-me");
        } else {
            // No header: numbering follows the record tree, so a new number
            // never collides with a record that came back.
            EXPECT_EQ(+t->next_record, 4001u);
            EXPECT_EQ(+t->record_count, 3u);
            ASSERT_EQ(cnextrec(t.get()), 0);
            EXPECT_EQ(+t->recval, 4001u);
        }
        EXPECT_EQ(mclose(t.get()), 0);
    }
}

TEST_P(RebuildToolTest, DestroyedLeafCostsOnlyItsOwnEntries) {
    struct Case {
        Tool tool;
        bool zeroed;     // the leaf is zeroed, else its entries are garbage
        int32_t result;  // garbage entries are reported, not passed over in silence
    };
    const Case cases[] = {{Tool::CBuild, true, 0},
                          {Tool::BBuildOther, true, 0},
                          {Tool::CBuild, false, KX_E_DAMAGED},
                          {Tool::BBuildSame, false, KX_E_DAMAGED},
                          {Tool::BBuildOther, false, KX_E_DAMAGED}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(tool_name(c.tool)) + (c.zeroed ? ", leaf zeroed" : ", leaf entries spoiled"));
        const auto src = file("src.kx"), dst = file("dst.kx");
        ciunlink(src.c_str());
        ciunlink(dst.c_str());
        Snapshot model;
        make_source(src, order(), 23, 1200, false, &model);
        // The leaf in the middle of the slots, and what it held.
        const auto all = slots::read_slots(src, order());
        std::vector<uint32_t> leaves;
        for (const auto& s : all)
            if (s.kind == 0 && s.count > 3) leaves.push_back(s.n);
        ASSERT_GT(leaves.size(), 4u);
        const uint32_t victim = leaves[leaves.size() / 2];
        Snapshot lost;
        {
            Block b;
            ASSERT_EQ(bopen(b.get(), src.c_str(), 'E', 2, kRoots), 0);
            lost = leaf_snapshot(b.get(), kxtest::read_file(src), victim, order());
            mclose(b.get());
        }
        ASSERT_FALSE(lost.empty());
        for (const auto& e : lost) {
            const auto it = model.find(e);
            ASSERT_NE(it, model.end()) << kxtest::describe(e);
            model.erase(it);
        }
        slots::zero_interior(src, order());
        if (c.zeroed)
            slots::fill_slot(src, victim, 0);
        else
            slots::spoil_entries(src, victim);
        EXPECT_EQ(rebuild(c.tool, src, dst, nullptr), c.result);
        Snapshot after;
        ASSERT_EQ(open_snapshot(dst, after), "");
        EXPECT_EQ(kxtest::diff(model, after), "");
    }
}

TEST_P(RebuildTest, SeveralRootsWithTreesOfTheirOwnComeBackEntryForEntry) {
    const auto src = file("src.kx"), dst = file("dst.kx");
    Snapshot model;
    {
        Block b;
        ASSERT_EQ(bcreate(b.get(), src.c_str(), 'E', order(), kRoots), 0);
        ASSERT_EQ(csetfile(b.get(), 0), 0);
        // Root 1 in slot 1, roots 2 and 3 sharing slot 2, root 5 in slot 9,
        // root 4 and the record tree in the main tree.
        ASSERT_EQ(addroot(b.get(), 1, 1), 0);
        ASSERT_EQ(addroot(b.get(), 2, 2), 0);
        ASSERT_EQ(addroot(b.get(), 3, 2), 0);
        ASSERT_EQ(addroot(b.get(), 5, 9), 0);
        fill(b.get(), 31, 1500, true, &model);
        ASSERT_EQ(mclose(b.get()), 0);
    }
    Block s;
    ASSERT_EQ(bopen(s.get(), src.c_str(), 'E', 2, kRoots), 0);
    uint8_t map[52];
    std::memcpy(map, s->slot_map, sizeof map);
    ASSERT_EQ(mclose(s.get()), 0);
    slots::zero_interior(src, order());

    ASSERT_EQ(cbuild(src.c_str(), dst.c_str(), nullptr), 0);
    Snapshot after;
    ASSERT_EQ(open_snapshot(dst, after), "");
    EXPECT_EQ(kxtest::diff(model, after), "");
    Block t;
    ASSERT_EQ(bopen(t.get(), dst.c_str(), 'E', 2, kRoots), 0);
    for (int r = 1; r <= 50; ++r) EXPECT_EQ(t->slot_map[r - 1], map[r - 1]) << "root " << r;
    EXPECT_EQ(t->slot_map[0], 1) << "slot 1 is a tree slot like the others";
    EXPECT_NE(+t->slot_roots[8], 0u);
    EXPECT_EQ(mclose(t.get()), 0);
}

TEST_P(RebuildTest, EntriesOfTheScratchRootAreNotCopied) {
    const auto src = file("src.kx"), dst = file("dst.kx");
    Snapshot model;
    {
        Block b;
        ASSERT_EQ(bcreate(b.get(), src.c_str(), 'E', order(), kRoots), 0);
        fill(b.get(), 41, 200, false, &model);
        for (uint32_t k = 1; k <= 50; ++k) {
            ASSERT_EQ(cdupadd(b.get(), 46, "TRANSNDE", k, &k, 4), 0);
            ASSERT_EQ(cdupadd(b.get(), 46, "TRANSRBLD", k, &k, 4), 0);
            ASSERT_EQ(cdupadd(b.get(), 46, "anything", k, &k, 4), 0);
        }
        ASSERT_EQ(mclose(b.get()), 0);
    }
    ASSERT_EQ(cbuild(src.c_str(), dst.c_str(), nullptr), 0);
    Block t;
    ASSERT_EQ(bopen(t.get(), dst.c_str(), 'E', 2, kRoots), 0);
    EXPECT_EQ(cfirst(t.get(), 46, nullptr, 0), KX_E_FAIL);
    Snapshot after;
    ASSERT_EQ(snapshot(t.get(), after), "");
    EXPECT_EQ(kxtest::diff(model, after), "");
    EXPECT_EQ(mclose(t.get()), 0);
}

// ---- cbuild's results ----------------------------------------------------

TEST_P(RebuildTest, CbuildResultsForSourcesAndTargetsThatCannotBeUsed) {
    const auto good = file("good.kx");
    Snapshot model;
    make_source(good, order(), 5, 100, false, &model);
    const auto bytes = kxtest::read_file(good);
    struct Case {
        const char* what;
        std::vector<uint8_t> source;  // empty: no source file
        bool target_exists;
        int32_t result;
        bool target_made;
    };
    const std::vector<Case> cases = {
        {"no source", {}, false, KX_E_BUILDSRC, false},
        {"a source shorter than a header", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 100), false,
         KX_E_NOTOPEN, false},
        {"a header and no node", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 1024), false, 0, true},
        {"a header and part of a node", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 3000), false, 0, true},
        {"a target that exists", bytes, true, KX_E_BUILDDST, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto src = file("src.kx"), dst = file("dst.kx");
        ciunlink(src.c_str());
        ciunlink(dst.c_str());
        if (!c.source.empty()) kxtest::write_file(src, c.source);
        const std::vector<uint8_t> existing{1, 2, 3};
        if (c.target_exists) kxtest::write_file(dst, existing);
        EXPECT_EQ(cbuild(src.c_str(), dst.c_str(), nullptr), c.result);
        if (c.target_exists) {
            EXPECT_EQ(kxtest::read_file(dst), existing) << "an existing target is left alone";
        } else if (!c.target_made) {
            EXPECT_FALSE(std::filesystem::exists(dst));
        } else {
            Snapshot after;
            ASSERT_EQ(open_snapshot(dst, after), "");
            EXPECT_TRUE(after.empty());
        }
    }
    EXPECT_EQ(cbuild(nullptr, file("x.kx").c_str(), nullptr), KX_E_ARG);
    EXPECT_EQ(cbuild(good.c_str(), "", nullptr), KX_E_ARG);
}

// ---- z_bbuild's progress callback and stop field -----------------------------

struct Call {
    uint32_t counter;
    int32_t status;
};
struct CallbackState {
    std::vector<Call> calls;
    uint32_t stop_at = ~0u;  // counter of the status-0 call that stops
    uint32_t stop_value = 0;
    std::string work_fault;  // what the work block looked like, when wrong
    std::string source;
    uint8_t order_flag = 1;
};
CallbackState g_calls;

int32_t record_call(KXCB* work, uint32_t counter, void* node, int32_t status) {
    g_calls.calls.push_back({counter, status});
    if (kx::cbcheck(work) != 'C') g_calls.work_fault = "the work block is not marked closed";
    if (std::string(work->file_name, strnlen(work->file_name, 100)) != g_calls.source.substr(0, 100))
        g_calls.work_fault = "the work block does not name the source";
    if (work->byte_order[0] != g_calls.order_flag) g_calls.work_fault = "the work block's byte order is not the mode's";
    if (cfind(work, 1, "x", 0, nullptr, 0) != KX_E_NOTOPEN) g_calls.work_fault = "the work block takes key calls";
    if (node == nullptr) g_calls.work_fault = "no node image";
    if (status == 0 && counter == g_calls.stop_at) work->check_status = g_calls.stop_value;
    return 0;
}

TEST_P(RebuildTest, ProgressCallbackSeesEverySlotAndItsFaults) {
    const auto src = file("src.kx"), dst = file("dst.kx");
    Snapshot model;
    make_source(src, order(), 7, 800, false, &model);
    auto all = slots::read_slots(src, order());
    uint32_t victim = 0;
    for (const auto& s : all)
        if (s.kind == 0 && s.count > 0) victim = s.n;
    slots::spoil_entries(src, victim);
    all = slots::read_slots(src, order());

    g_calls = {};
    g_calls.source = src;
    g_calls.order_flag = order() == 1 ? 1 : 0;
    Block t;
    make_target(t, dst, other());
    EXPECT_EQ(z_bbuild(src.c_str(), t.get(), mode_for(order()), record_call), KX_E_DAMAGED);
    EXPECT_EQ(g_calls.work_fault, "");
    // Per slot a status-0 call before it is judged; after a failed leaf its
    // failure, after an interior or free node status 1 (counter n + 1).
    std::vector<Call> want;
    for (const auto& s : all) {
        want.push_back({s.n, 0});
        if (s.n == victim)
            want.push_back({s.n + 1, KX_E_DAMAGED});
        else if (s.kind != 0 && s.kind != -2 && s.kind != -3)
            want.push_back({s.n + 1, 1});
    }
    ASSERT_EQ(g_calls.calls.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(g_calls.calls[i].counter, want[i].counter) << "call " << i;
        EXPECT_EQ(g_calls.calls[i].status, want[i].status) << "call " << i;
    }
}

TEST_P(RebuildTest, StopFieldEndsTheRebuildWithItsValue) {
    const auto src = file("src.kx");
    Snapshot model;
    make_source(src, order(), 8, 800, false, &model);
    const size_t total = slots::read_slots(src, order()).size();
    for (const uint32_t at : {0u, 3u, static_cast<uint32_t>(total - 1)}) {
        SCOPED_TRACE("stopped at slot " + std::to_string(at));
        const auto dst = file("dst" + std::to_string(at) + ".kx");
        g_calls = {};
        g_calls.source = src;
        g_calls.order_flag = order() == 1 ? 1 : 0;
        g_calls.stop_at = at;
        g_calls.stop_value = 4321;
        Block t;
        make_target(t, dst, order());
        EXPECT_EQ(z_bbuild(src.c_str(), t.get(), mode_for(order()), record_call), 4321);
        EXPECT_EQ(kx::cbcheck(t.get()), 'C');
        ASSERT_FALSE(g_calls.calls.empty());
        EXPECT_EQ(g_calls.calls.back().counter, at) << "no call after the stop";
        EXPECT_EQ(g_calls.calls.back().status, 0);
        Snapshot after;
        EXPECT_EQ(open_snapshot(dst, after), "") << "a stopped rebuild leaves a sound file";
        EXPECT_LE(after.size(), model.size());
        if (at == 0) {
            EXPECT_TRUE(after.empty());
        }
    }
}

TEST_P(RebuildTest, ArgumentsRefusedBeforeTheSourceIsOpenedLeaveTheTargetAlone) {
    const auto src = file("src.kx"), dst = file("dst.kx");
    Snapshot model;
    make_source(src, order(), 9, 50, false, &model);
    Block t;
    make_target(t, dst, order());
    ASSERT_EQ(cdupadd(t.get(), 1, "kept", 1, "x", 1), 0);
    ASSERT_EQ(cflush(t.get()), 0);
    const auto before = kxtest::read_file(dst);
    struct Case {
        const char* what;
        std::string source;
        int32_t mode;
        int32_t result;
    };
    const Case cases[] = {{"mode 0", src, 0, KX_E_BYTEORDER},
                          {"mode 4", src, 4, KX_E_BYTEORDER},
                          {"no source name", "", 1, KX_E_ARG},
                          {"no source file", file("none.kx"), mode_for(order()), KX_E_BUILDSRC}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(z_bbuild(c.source.c_str(), t.get(), c.mode, nullptr), c.result);
        EXPECT_EQ(kx::cbcheck(t.get()), 'O');
        EXPECT_EQ(cfind(t.get(), 1, "kept", 1, nullptr, 0), 0);
        EXPECT_EQ(kxtest::read_file(dst), before);
    }
    EXPECT_EQ(mclose(t.get()), 0);
    EXPECT_EQ(bbuild(src.c_str(), t.get(), 1), KX_E_NOTOPEN);
    EXPECT_EQ(bbuild(src.c_str(), nullptr, 1), KX_E_NOTOPEN);
    Block r;
    ASSERT_EQ(bopen(r.get(), dst.c_str(), 'E', 1, kRoots), 0);
    EXPECT_EQ(bbuild(src.c_str(), r.get(), mode_for(order())), KX_E_READONLY);
    EXPECT_EQ(mclose(r.get()), 0);
}

// A source held by another process cannot be opened exclusively: both
// rebuilds say so, and bbuild leaves its target open for the caller.
TEST_P(RebuildTest, SourceHeldByAnotherProcessIsRefused) {
    const auto src = file("src.kx"), dst = file("dst.kx");
    Snapshot model;
    make_source(src, order(), 10, 100, false, &model);
    {
        kxtest::Worker w;
        ASSERT_EQ(w.run("rawopen " + src + " S 2").rc, 0);
        EXPECT_EQ(cbuild(src.c_str(), file("c.kx").c_str(), nullptr), KX_E_BUILDSRC);
        EXPECT_FALSE(std::filesystem::exists(file("c.kx")));
        Block t;
        make_target(t, dst, order());
        EXPECT_EQ(bbuild(src.c_str(), t.get(), mode_for(order())), KX_E_BUILDSRC);
        EXPECT_EQ(kx::cbcheck(t.get()), 'O');
        EXPECT_EQ(w.run("close").rc, 0);
        EXPECT_EQ(bbuild(src.c_str(), t.get(), mode_for(order())), 0);
    }
    Snapshot after;
    ASSERT_EQ(open_snapshot(dst, after), "");
    EXPECT_EQ(kxtest::diff(model, after), "");
}

// ---- Carrying a pending transaction over ------------------------------------

class CarryTest : public RebuildTest {
protected:
    // Builds a file left as a process that stopped inside a transaction
    // leaves it: a baseline of entries, optionally an earlier transaction
    // committed with transend how 3 (its records stay in the released log),
    // then, with `pending`, a transaction of adds (several log nodes' worth,
    // some of several pieces) and deletes that never ended.  The file is
    // copied while that transaction is open.
    void make_pending(const std::string& path, bool released_before, bool pending, int adds = 120) {
        const auto work = path + ".work";
        Block b;
        ASSERT_EQ(bcreate(b.get(), work.c_str(), 'E', order(), kRoots), 0);
        ASSERT_EQ(csetfile(b.get(), 0), 0);
        Snapshot model;
        fill(b.get(), 51, 300, false, &model);
        ASSERT_EQ(csetfile(b.get(), 4), 0);
        std::mt19937 rng(52);
        std::vector<SnapEntry> baseline(model.begin(), model.end());
        if (released_before) {
            ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
            for (uint32_t k = 0; k < 40; ++k) {
                const auto key = key_of(1, 90000 + k);
                const auto p = bytes_of(rng, 150);
                ASSERT_EQ(cdupadd(b.get(), 1, key.data(), 7, p.data(), 150), 0);
            }
            for (size_t i = 1; i < baseline.size(); i += 17)
                ASSERT_EQ(cdelete(b.get(), baseline[i].root, baseline[i].key.data(), baseline[i].record), 0);
            ASSERT_EQ(transend(b.get(), 3), 0);
        }
        if (pending) {
            ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
            for (int i = 0; i < adds; ++i) {
                const int root = 1 + static_cast<int>(rng() % kKeyRoots);
                const auto key = key_of(root, 70000 + static_cast<uint32_t>(i));
                const auto p = bytes_of(rng, i % 10 == 0 ? 700 : 150 + rng() % 80);
                ASSERT_EQ(cdupadd(b.get(), root, key.data(), 9, p.data(), static_cast<int32_t>(p.size())), 0);
            }
            for (size_t i = 0; i < baseline.size(); i += 13)
                if (i % 17 != 1 || !released_before) {
                    ASSERT_EQ(cdelete(b.get(), baseline[i].root, baseline[i].key.data(), baseline[i].record), 0);
                }
        }
        copy_file(work, path);
        EXPECT_EQ(mclose(b.get()), 0);
        ciunlink(work.c_str());
    }

    // The source rebuilt with bbuild into dst (a new file) and rolled back
    // holds what a copy of the source rolled back holds.
    void expect_rebuilt_rolls_back_alike(const std::string& src, const std::string& copy, const std::string& dst) {
        copy_file(src, copy);
        Snapshot expected;
        ASSERT_EQ(rolled_back(copy, expected), "");
        Block t;
        make_target(t, dst, order());
        ASSERT_EQ(bbuild(src.c_str(), t.get(), mode_for(order())), 0);
        Snapshot found;
        ASSERT_EQ(rolled_back(dst, found), "");
        EXPECT_EQ(kxtest::diff(expected, found), "");
    }

    // The records of a log up to its last transaction-end or section-end
    // record: what a rollback of it takes into account.
    static std::vector<slots::LogRecord> up_to_last_mark(std::vector<slots::LogRecord> r) {
        while (!r.empty() && r.back().type != 3 && r.back().type != 5) r.pop_back();
        return r;
    }
};

INSTANTIATE_TEST_SUITE_P(ByteOrder, CarryTest, ::testing::Values(1, 2),
                         [](const auto& i) { return i.param == 1 ? "little" : "big"; });

TEST_P(CarryTest, RolledBackTargetEqualsTheRolledBackSource) {
    struct Case {
        const char* what;
        bool released_before;    // an earlier transaction committed with how 3
        bool zero_header;        // the header is lost as well
        bool log_out_of_header;  // as a rollback that stopped right after taking the log out leaves it
        bool other_order;        // the target is in the other byte order
        char target_mode;        // the target is open exclusively or shared
    };
    const Case cases[] = {
        {"pending log only", false, false, false, false, 'E'},
        {"pending log after a released one", true, false, false, false, 'E'},
        {"header lost", true, true, false, false, 'E'},
        {"log taken out of the header", true, false, true, false, 'E'},
        {"into the other byte order", true, false, false, true, 'E'},
        {"header lost, into the other byte order", false, true, false, true, 'E'},
        {"into a shared target", true, false, false, false, 'S'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto src = file("src.kx"), copy = file("copy.kx"), dst = file("dst.kx");
        for (const auto& p : {src, copy, dst}) ciunlink(p.c_str());
        make_pending(src, c.released_before, true);
        const auto chain = slots::log_chain(src, order());
        ASSERT_GE(chain.size(), 3u) << "the pending log spans several nodes";
        const auto source_records = slots::log_records(src, order());
        const auto source_bytes = kxtest::read_file(src);
        if (c.released_before) {
            const auto f = kxtest::read_file(src);
            ASSERT_NE(slots::word(f, 554, order()), 0xFFFFFFFFu) << "a released log with its records is in the file";
        }
        copy_file(src, copy);
        Snapshot expected;
        ASSERT_EQ(rolled_back(copy, expected), "");

        if (c.zero_header) slots::zero_header(src);
        if (c.log_out_of_header) {
            std::vector<uint8_t> none(4, 0xFF);
            kxtest::patch_file(src, 550, none);
        }
        {
            Block t;
            make_target(t, dst, c.other_order ? other() : order());
            ASSERT_EQ(mclose(t.get()), 0);
            ASSERT_EQ(bopen(t.get(), dst.c_str(), c.target_mode, 2, kRoots), 0);
            ASSERT_EQ(bbuild(src.c_str(), t.get(), mode_for(order())), 0);
        }

        // The target's log: the source's records up to its last section end,
        // with new numbers 1, 2, 3, ... and one serial, framed only by empty
        // sections of the target's own.
        const auto carried = up_to_last_mark(source_records);
        const auto target_records = slots::log_records(dst, c.other_order ? other() : order());
        ASSERT_GE(target_records.size(), carried.size() + 2);
        for (size_t i = 0; i < target_records.size(); ++i) {
            EXPECT_EQ(target_records[i].sequence, i + 1);
            EXPECT_EQ(target_records[i].serial, target_records[0].serial);
        }
        for (size_t i = 0; i < carried.size(); ++i) {
            const auto& want = carried[i];
            const auto& got = target_records[i + 2];
            ASSERT_EQ(got.type, want.type) << "record " << i;
            ASSERT_EQ(got.body.size(), want.body.size()) << "record " << i;
            if (!c.other_order) {
                EXPECT_EQ(got.body, want.body) << "record " << i;
            }
        }
        for (size_t i = carried.size() + 2; i < target_records.size(); ++i)
            EXPECT_TRUE(target_records[i].type == 4 || target_records[i].type == 5) << "record " << i;

        // One "TRANSRBLD" entry per log node, in the log's order: record
        // value the number of the node's first record, payload its slot.
        {
            std::vector<std::pair<uint32_t, uint32_t>> want, got;
            for (const uint32_t n : chain)
                want.emplace_back(slots::node_records(source_bytes, n, order()).at(0).sequence, n);
            Block r;
            ASSERT_EQ(bopen(r.get(), dst.c_str(), 'E', 1, kRoots), 0);
            uint32_t slot = 0;
            for (int32_t rc = cfind(r.get(), 46, "TRANSRBLD", 0, &slot, 4); rc == 0 || rc == 1;
                 rc = cnext(r.get(), 46, &slot, 4)) {
                if (std::memcmp(r->current_key, "TRANSRBLD", 10) != 0) break;
                got.emplace_back(uint32_t{r->recval}, slot);
            }
            EXPECT_EQ(got, want);
        }
        Snapshot found;
        ASSERT_EQ(rolled_back(dst, found, kRoots, c.target_mode), "");
        EXPECT_EQ(kxtest::diff(expected, found), "");
    }
}

// A block closed with its transaction still open leaves the log pending as
// its last section end wrote it: the closing section adds no records (its
// section-begin record would be given up with the log buffer and leave a
// gap in the numbering), so the log is whole, numbered 1, 2, 3, ..., and a
// rebuild carries it over.
TEST_P(CarryTest, FileClosedWithItsTransactionOpenKeepsAWholeLog) {
    const auto src = file("src.kx"), copy = file("copy.kx"), dst = file("dst.kx");
    {
        Block b;
        ASSERT_EQ(bcreate(b.get(), src.c_str(), 'E', order(), kRoots), 0);
        ASSERT_EQ(csetfile(b.get(), 0), 0);
        Snapshot before;
        fill(b.get(), 61, 200, false, &before);
        ASSERT_EQ(csetfile(b.get(), 4), 0);
        ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
        std::mt19937 rng(62);
        for (uint32_t i = 0; i < 150; ++i) {
            const auto key = key_of(1, 80000 + i);
            const auto p = bytes_of(rng, 200);
            ASSERT_EQ(cdupadd(b.get(), 1, key.data(), 3, p.data(), 200), 0);
        }
        ASSERT_EQ(mclose(b.get()), 0);
    }
    const auto records = slots::log_records(src, order());
    ASSERT_GT(records.size(), 150u);
    for (size_t i = 0; i < records.size(); ++i) ASSERT_EQ(records[i].sequence, i + 1) << "record " << i;
    expect_rebuilt_rolls_back_alike(src, copy, dst);
}

// A log that no header names is carried only when it is the one log that
// may be pending; a stray copy of a log beside the one the header names
// changes nothing.
TEST_P(CarryTest, SecondLogThatMayBePendingIsTakenOnlyWhenTheHeaderNamesOne) {
    struct Case {
        const char* what;
        bool header_names_log;
        int32_t result;
    };
    const Case cases[] = {{"the header names the log", true, 0}, {"no log in the header", false, KX_E_BUILDPREP}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto src = file("src.kx"), copy = file("copy.kx"), dst = file("dst.kx");
        for (const auto& p : {src, copy, dst}) ciunlink(p.c_str());
        make_pending(src, false, true, 40);
        copy_file(src, copy);
        Snapshot expected, as_held;
        ASSERT_EQ(open_snapshot(src, as_held), "");
        ASSERT_EQ(rolled_back(copy, expected), "");
        // A copy of the head node with another transaction serial, appended
        // as a slot of its own.
        auto f = kxtest::read_file(src);
        const uint32_t head = slots::log_chain(src, order()).at(0);
        std::vector<uint8_t> node(f.begin() + static_cast<std::ptrdiff_t>(slots::Base + slots::Size * head),
                                  f.begin() + static_cast<std::ptrdiff_t>(slots::Base + slots::Size * (head + 1)));
        size_t r = 18;
        for (int i = 0; i < slots::slot_at(f, head, order()).count; ++i) {
            slots::put_word(node, r, slots::word(node, r, order()) + 1000, order());
            r += 12 + node[r + 11];
        }
        f.insert(f.end(), node.begin(), node.end());
        if (!c.header_names_log) slots::put_word(f, slots::LogHeadAt, 0xFFFFFFFFu, order());
        kxtest::write_file(src, f);

        Block t;
        make_target(t, dst, order());
        EXPECT_EQ(bbuild(src.c_str(), t.get(), mode_for(order())), c.result);
        Snapshot found;
        if (c.result == 0) {
            ASSERT_EQ(rolled_back(dst, found), "");
            EXPECT_EQ(kxtest::diff(expected, found), "");
        } else {
            ASSERT_EQ(open_snapshot(dst, found), "");
            EXPECT_EQ(kxtest::diff(as_held, found), "") << "nothing was rolled back";
            Block r2;
            ASSERT_EQ(bopen(r2.get(), dst.c_str(), 'E', 2, kRoots), 0);
            EXPECT_EQ(transtst(r2.get()), 0) << "nothing is pending";
        }
    }
}

// A log released by transend how 3 keeps its records: taken for a pending
// one, it would come back as pending, and rolling the target back would
// undo committed work.
TEST_P(CarryTest, CommittedAndReleasedLogIsNotCarriedAsPending) {
    const auto src = file("src.kx"), dst = file("dst.kx");
    make_pending(src, true, false);
    Snapshot expected;
    ASSERT_EQ(open_snapshot(src, expected), "");
    Block t;
    make_target(t, dst, order());
    ASSERT_EQ(bbuild(src.c_str(), t.get(), mode_for(order())), 0);
    Block r;
    ASSERT_EQ(bopen(r.get(), dst.c_str(), 'E', 2, kRoots), 0);
    EXPECT_EQ(transtst(r.get()), 0) << "nothing is pending in the target";
    EXPECT_EQ(cfind(r.get(), 46, "TRANSRBLD", 0, nullptr, 0), KX_E_FAIL);
    Snapshot found;
    ASSERT_EQ(snapshot(r.get(), found), "");
    EXPECT_EQ(kxtest::diff(expected, found), "");
    EXPECT_EQ(mclose(r.get()), 0);
}

// Half a log would roll back half a transaction: a log whose nodes cannot
// all be put in order is not carried at all, and the target keeps the
// transaction's changes as the file held them.
TEST_P(CarryTest, IncompleteLogIsNotCarriedAndSaysSo) {
    struct Case {
        const char* what;
        size_t node;  // index in the chain of the log node destroyed
    };
    const Case cases[] = {{"a node in the middle", 1}, {"the head", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto src = file("src.kx"), dst = file("dst.kx");
        ciunlink(src.c_str());
        ciunlink(dst.c_str());
        make_pending(src, false, true);
        const auto chain = slots::log_chain(src, order());
        ASSERT_GE(chain.size(), 3u);
        Snapshot as_held;
        ASSERT_EQ(open_snapshot(src, as_held), "");
        slots::fill_slot(src, chain[c.node], 0);
        Block t;
        make_target(t, dst, order());
        EXPECT_EQ(bbuild(src.c_str(), t.get(), mode_for(order())), KX_E_BUILDPREP);
        Block r;
        ASSERT_EQ(bopen(r.get(), dst.c_str(), 'E', 2, kRoots), 0);
        EXPECT_EQ(transtst(r.get()), 0);
        Snapshot found;
        ASSERT_EQ(snapshot(r.get(), found), "");
        EXPECT_EQ(kxtest::diff(as_held, found), "");
        EXPECT_EQ(mclose(r.get()), 0);
    }
}

// Records after the log's last section end belong to a section that never
// finished: rollback passes over them, in the source and in the target.
TEST_P(CarryTest, RecordsOfAnUnfinishedSectionAreNotCarried) {
    const auto src = file("src.kx"), copy = file("copy.kx"), dst = file("dst.kx");
    make_pending(src, false, true, 40);
    const auto chain = slots::log_chain(src, order());
    const auto records = slots::log_records(src, order());
    ASSERT_FALSE(records.empty());
    // An "entry added" record for an entry the file holds, as the unfinished
    // section's first record: undone, it would take the entry out.
    auto f = kxtest::read_file(src);
    std::vector<uint8_t> entry;
    for (const auto& s : slots::read_slots(src, order()))
        if (s.kind == 0 && s.count > 0 && entry.empty()) entry = slots::leaf_entry_bytes(f, s.n, order())[0];
    ASSERT_FALSE(entry.empty());
    slots::LogRecord fake{records.back().serial, static_cast<uint16_t>(records.back().sequence + 1), 1,
                          std::vector<uint8_t>(entry.begin() + 1, entry.end())};
    slots::append_record(src, chain.back(), order(), fake, 99);
    ASSERT_EQ(slots::log_records(src, order()).size(), records.size() + 1);

    expect_rebuilt_rolls_back_alike(src, copy, dst);
}

// A worker process running transactions (each committed with how 3, so
// their records stay in the file) kills itself after a number of calls;
// the file it leaves is rebuilt, and the rebuilt file rolled back must hold
// what the left file rolled back holds.
TEST_P(CarryTest, FileOfAKilledWorkerRollsBackAlikeAfterARebuild) {
    const uint32_t seed = seed_from_env(777);
    SCOPED_TRACE("seed " + std::to_string(seed) + " (KINDEX_SEED repeats it)");
    for (const int calls : {9, 23, 58, 131}) {
        SCOPED_TRACE("die_calls=" + std::to_string(calls));
        const auto src = file("src.kx"), copy = file("copy.kx"), dst = file("dst.kx");
        for (const auto& p : {src, copy, dst}) ciunlink(p.c_str());
        {
            Block b;
            ASSERT_EQ(bcreate(b.get(), src.c_str(), 'E', order(), kxtest::workload::kIndexRoots), 0);
            ASSERT_EQ(mclose(b.get()), 0);
        }
        int to = -1, from = -1;
        const pid_t pid = kxtest::spawn_helper(
            "crash_worker",
            {"file=" + src, "kind=index", "open=E", "trans=3", "how=3", "seed=" + std::to_string(seed + calls),
             "die_calls=" + std::to_string(calls)},
            &to, &from);
        ASSERT_GT(pid, 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ::close(to);
        ::close(from);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;

        copy_file(src, copy);
        Block c;
        const kxtest::RecoveryReport rep = kxtest::recover(copy, "", c.get());
        ASSERT_TRUE(rep.ok()) << rep.describe();
        Snapshot expected;
        ASSERT_EQ(snapshot(c.get(), expected), "");
        ASSERT_EQ(mclose(c.get()), 0);

        Block t;
        ASSERT_EQ(bcreate(t.get(), dst.c_str(), 'E', order(), kxtest::workload::kIndexRoots), 0);
        ASSERT_EQ(bbuild(src.c_str(), t.get(), mode_for(order())), 0);
        Block r;
        ASSERT_EQ(bopen(r.get(), dst.c_str(), 'E', 2, kxtest::workload::kIndexRoots), 0);
        const int32_t pending = transtst(r.get());
        EXPECT_EQ(pending == KX_E_LOGPENDING, rep.transtst_rc == KX_E_LOGPENDING)
            << "the target is pending exactly when the source was (transtst " << pending << ")";
        if (pending == KX_E_LOGPENDING) {
            ASSERT_EQ(transroll(r.get(), nullptr, 0, nullptr), 0);
        }
        EXPECT_EQ(tree_fault(r.get()), "");
        Snapshot found;
        ASSERT_EQ(snapshot(r.get(), found), "");
        EXPECT_EQ(kxtest::diff(expected, found), "");
        EXPECT_EQ(mclose(r.get()), 0);
    }
}

// ---- A model run: random files, random damage, random rebuilds --------------

TEST_P(RebuildTest, ModelOfRandomFilesDamageAndRebuilds) {
    const char* env = std::getenv("KINDEX_REBUILD_TRIALS");
    const int trials = env != nullptr ? std::atoi(env) : 4;
    const uint32_t seed = seed_from_env(90210u + static_cast<uint32_t>(order()));
    for (int trial = 0; trial < trials; ++trial) {
        const uint32_t s = seed + static_cast<uint32_t>(trial) * 7919u;
        SCOPED_TRACE("seed " + std::to_string(s) + " (KINDEX_SEED=" + std::to_string(seed) + " repeats the run)");
        std::mt19937 rng(s);
        const auto src = file("src.kx"), dst = file("dst.kx");
        ciunlink(src.c_str());
        ciunlink(dst.c_str());
        // Odd trials lose leaves (payloads of one piece, so that a lost leaf
        // costs whole entries); even ones keep their leaves and have payloads
        // of many pieces.
        const bool lose_leaves = trial % 2 == 1;
        Snapshot model;
        make_source(src, order(), s, 300 + static_cast<int>(rng() % 2500), !lose_leaves, &model);
        if (lose_leaves) {
            Block b;
            ASSERT_EQ(bopen(b.get(), src.c_str(), 'E', 2, kRoots), 0);
            const auto f = kxtest::read_file(src);
            for (const auto& sl : slots::read_slots(src, order())) {
                if (sl.kind != 0 || rng() % 6 != 0) continue;
                for (const auto& e : leaf_snapshot(b.get(), f, sl.n, order())) model.erase(model.find(e));
                if (rng() % 2 == 0)
                    slots::fill_slot(src, sl.n, 0);
                else
                    slots::spoil_entries(src, sl.n);
            }
            mclose(b.get());
        }
        slots::zero_interior(src, order());
        const bool header = rng() % 3 == 0;
        if (header) slots::zero_header(src);
        const auto tool = static_cast<Tool>(rng() % 3);
        SCOPED_TRACE(std::string(tool_name(tool)) + (header ? ", header zeroed" : ""));
        int32_t rc;
        if (tool == Tool::CBuild) {
            rc = cbuild(src.c_str(), dst.c_str(), kRoots);
        } else {
            Block t;
            make_target(t, dst, tool == Tool::BBuildSame ? order() : other());
            rc = bbuild(src.c_str(), t.get(), mode_for(order()));
        }
        EXPECT_TRUE(rc == 0 || (lose_leaves && rc == KX_E_DAMAGED)) << rc;
        Snapshot after;
        ASSERT_EQ(open_snapshot(dst, after), "");
        ASSERT_EQ(kxtest::diff(model, after), "");
    }
}

// ---- dbuild ------------------------------------------------------------------

// The records of the data file tests and the lists they are read with.
struct Fields {
    int32_t id = 0;
    char name[24] = {};
    int32_t value = 0;
    double weight = 0;
    uint8_t blob[64] = {};
    int16_t small = 0;
    KXDLIST list[7] = {};

    // How the fields are keyed: id always under root 1; name under root 2
    // ('D' or 'U'), or not; value under root 3, or not.
    Fields(char name_dups, bool value_key) {
        list[0] = {'L', 5, 'U', 4, 1, &id};
        list[1] = name_dups == 'N' ? KXDLIST{'S', 'N', 'N', static_cast<int16_t>(sizeof name), 0, name}
                                   : KXDLIST{'S', 'S', name_dups, static_cast<int16_t>(sizeof name), 2, name};
        list[2] = value_key ? KXDLIST{'L', 5, 'D', 4, 3, &value} : KXDLIST{'L', 'N', 'N', 4, 0, &value};
        list[3] = {'D', 'N', 'N', 8, 0, &weight};
        list[4] = {'B', 'N', 'N', static_cast<int16_t>(sizeof blob), 0, blob};
        list[5] = {'H', 'N', 'N', 2, 0, &small};
        list[6] = {};
        list[6].type = 'E';
    }
    void set(int32_t i, uint32_t seed) {
        id = i;
        std::snprintf(name, sizeof name, "name-%d", i % 9);
        // Integer keys compare by the sign of their wrapping difference:
        // values stay within a range where that is an order.
        value = static_cast<int32_t>(seed * 7919u % 200000u) - 100000;
        weight = i * 1.5 - 7.25;
        const int16_t n = static_cast<int16_t>(1 + seed % 60);  // a count of 0 stores nothing
        for (int k = 0; k < n; ++k) blob[k] = static_cast<uint8_t>(seed + static_cast<uint32_t>(k));
        list[4].length = n;
        small = static_cast<int16_t>(i * 3 - 100);
    }
};

struct Held {
    int32_t id, value;
    std::string name;
    double weight;
    std::vector<uint8_t> blob;
    int16_t small;
    uint32_t recno;
    uint8_t tag;
    auto operator<=>(const Held&) const = default;
};

Held held_of(const Fields& f, uint32_t recno, uint8_t tag) {
    const int16_t length = f.list[4].length;  // a packed field: read by value
    return {f.id, f.value, f.name, f.weight, std::vector<uint8_t>(f.blob, f.blob + std::max<int16_t>(length, 0)),
            f.small, recno, tag};
}

const KXROOTLIST kSourceRoots[] = {{1, 5, nullptr}, {2, 0, nullptr}, {0, 0, nullptr}};
const KXROOTLIST kTargetRoots[] = {{1, 5, nullptr}, {2, 0, nullptr}, {3, 5, nullptr}, {0, 0, nullptr}};

class DbuildTest : public kxtest::FileTest, public ::testing::WithParamInterface<std::pair<int, int>> {
protected:
    int source_order() const { return GetParam().first; }
    int target_order() const { return GetParam().second; }
    std::string file(const std::string& name) const { return shm.path(name); }
    kxtest::MemoryDir shm;
    std::vector<uint8_t> sbuf = std::vector<uint8_t>(512), tbuf = std::vector<uint8_t>(512);

    // A data file of `count` records (every seventh deleted again), written
    // with the list that keys id and name ('D'); tags alternate 1 and 2.
    // The records it holds, by record number.
    std::map<uint32_t, Held> make_source(KXCB* cb, int count) {
        std::map<uint32_t, Held> held;
        EXPECT_EQ(dbcreate(cb, file("src.kx").c_str(), sbuf.data(), 512, 'E', source_order(), kSourceRoots), 0);
        Fields f('D', false);
        for (int i = 0; i < count; ++i) {
            f.set(i, static_cast<uint32_t>(i) * 31 + 5);
            cb->record_tag = static_cast<uint8_t>(1 + i % 2);
            EXPECT_EQ(dadd(cb, f.list), 0);
            held[static_cast<uint32_t>(cb->current_record)] =
                held_of(f, static_cast<uint32_t>(cb->current_record), cb->record_tag);
        }
        for (int i = 0; i < count; i += 7) {
            EXPECT_EQ(cidfind(cb, 1, &i, 5, 1), 0);
            held.erase(static_cast<uint32_t>(cb->current_record));
            EXPECT_EQ(ddelete(cb, f.list), 0);
        }
        return held;
    }

    void make_target(KXCB* cb) {
        EXPECT_EQ(dbcreate(cb, file("dst.kx").c_str(), tbuf.data(), 512, 'E', target_order(), kTargetRoots), 0);
    }

    // The records of an open data file, read with list (name 'N' keys: the
    // list's layout is what counts).
    static std::map<uint32_t, Held> records_of(KXCB* cb, Fields& f) {
        std::map<uint32_t, Held> out;
        for (int32_t rc = dseq(cb, 49, 3); rc == 0; rc = dseq(cb, 49, 1)) {
            std::memset(f.blob, 0, sizeof f.blob);
            f.list[4].length = sizeof f.blob;
            EXPECT_EQ(cidread(cb, f.list), 0);
            out[static_cast<uint32_t>(cb->current_record)] = held_of(f, static_cast<uint32_t>(cb->current_record),
                                                                      cb->record_tag);
        }
        return out;
    }

    // The (key, record number) pairs of an integer key root.
    static std::multimap<int32_t, uint32_t> int_keys(KXCB* cb, int32_t root) {
        std::multimap<int32_t, uint32_t> out;
        for (int32_t rc = cfirst(cb, root, nullptr, 0); rc == 0; rc = cnext(cb, root, nullptr, 0)) {
            int32_t k = 0;
            getcurkey(cb, root, &k);  // the file's order
            kx::convkey(cb, root, &k, 5, cb->byte_order[0], uint8_t{1});
            out.emplace(k, uint32_t{cb->recval});
        }
        return out;
    }
};

INSTANTIATE_TEST_SUITE_P(ByteOrders, DbuildTest,
                         ::testing::Values(std::pair{1, 1}, std::pair{1, 2}, std::pair{2, 1}, std::pair{2, 2}),
                         [](const auto& i) {
                             auto n = [](int o) { return o == 1 ? std::string("little") : std::string("big"); };
                             return n(i.param.first) + "_to_" + n(i.param.second);
                         });

TEST_P(DbuildTest, RecordsGetTheKeysOfANewList) {
    Block s, t;
    const auto held = make_source(s.get(), 150);
    make_target(t.get());
    // The new list drops the name key and adds one on the value.
    Fields rekeyed('N', true);
    std::vector<uint8_t> buffer(512);
    ASSERT_EQ(dbuild(s.get(), t.get(), buffer.data(), 512, rekeyed.list, nullptr), 0);
    EXPECT_EQ(tree_fault(t.get()), "");
    const auto copied = records_of(t.get(), rekeyed);
    EXPECT_EQ(copied.size(), held.size());
    for (const auto& [recno, h] : held) {
        const auto it = copied.find(recno);
        ASSERT_NE(it, copied.end()) << "record " << recno;
        EXPECT_EQ(it->second.id, h.id) << "record " << recno;
        EXPECT_EQ(it->second.value, h.value) << "record " << recno;
        EXPECT_EQ(it->second.name, h.name) << "record " << recno;
        EXPECT_EQ(it->second.weight, h.weight) << "record " << recno;
        EXPECT_EQ(it->second.blob, h.blob) << "record " << recno;
        EXPECT_EQ(it->second.small, h.small) << "record " << recno;
        EXPECT_EQ(it->second.tag, h.tag) << "record " << recno;
    }
    std::multimap<int32_t, uint32_t> ids, values;
    for (const auto& [recno, h] : held) {
        ids.emplace(h.id, recno);
        values.emplace(h.value, recno);
    }
    EXPECT_EQ(int_keys(t.get(), 1), ids);
    EXPECT_EQ(int_keys(t.get(), 3), values);
    EXPECT_EQ(cfirst(t.get(), 2, nullptr, 0), KX_E_FAIL) << "the dropped key";
    EXPECT_EQ(dgetcnt(t.get()), 0);
    EXPECT_EQ(+t->recval, held.size());
    EXPECT_EQ(+t->next_record, +s->next_record);
    // The target's records answer to the new list: found by the new key,
    // changed and deleted with it.
    const Held& any = held.begin()->second;
    int32_t value = any.value;
    ASSERT_EQ(cidfind(t.get(), 3, &value, 5, 1), 0);
    EXPECT_EQ(static_cast<uint32_t>(t->current_record), any.recno);
    rekeyed.list[4].length = sizeof rekeyed.blob;
    ASSERT_EQ(cidread(t.get(), rekeyed.list), 0);
    rekeyed.value = 42;
    EXPECT_EQ(dupdate(t.get(), rekeyed.list), 0);
    EXPECT_EQ(ddelete(t.get(), rekeyed.list), 0);
    EXPECT_EQ(tree_fault(t.get()), "");
    EXPECT_EQ(mclose(t.get()), 0);
    EXPECT_EQ(mclose(s.get()), 0);
}

// Lists chosen per record by its tag: tag 1 records get the value key,
// tag 2 records do not.
KXDLIST* list_by_tag(KXCB*, uint8_t tag, int32_t) {
    static Fields with_value('N', true), without_value('N', false);
    return tag == 1 ? with_value.list : without_value.list;
}
int32_t g_stop_after = 0;
KXDLIST* stop_after(KXCB*, uint8_t, int32_t index) {
    static Fields f('N', false);
    return index < g_stop_after ? f.list : nullptr;
}

TEST_P(DbuildTest, CallbackChoosesTheListOrStops) {
    Block s;
    const auto held = make_source(s.get(), 60);
    std::vector<uint8_t> buffer(512);
    {
        Block t;
        make_target(t.get());
        ASSERT_EQ(dbuild(s.get(), t.get(), buffer.data(), 512, nullptr, list_by_tag), 0);
        std::multimap<int32_t, uint32_t> values;
        for (const auto& [recno, h] : held)
            if (h.tag == 1) values.emplace(h.value, recno);
        EXPECT_EQ(int_keys(t.get(), 3), values);
        EXPECT_EQ(int_keys(t.get(), 1).size(), held.size());
        EXPECT_EQ(mclose(t.get()), 0);
    }
    for (const int32_t stop : {0, 5}) {
        SCOPED_TRACE("stopped after " + std::to_string(stop) + " records");
        ciunlink(file("dst.kx").c_str());
        g_stop_after = stop;
        Block t;
        make_target(t.get());
        EXPECT_EQ(dbuild(s.get(), t.get(), buffer.data(), 512, nullptr, stop_after), KX_E_BUILDSTOP);
        // What was copied is counted.
        EXPECT_EQ(dgetcnt(t.get()), 0);
        EXPECT_EQ(+t->recval, static_cast<uint32_t>(stop));
        EXPECT_EQ(int_keys(t.get(), 1).size(), static_cast<size_t>(stop));
        EXPECT_EQ(mclose(t.get()), 0);
    }
    EXPECT_EQ(mclose(s.get()), 0);
}

TEST_P(DbuildTest, RecordsThatCannotBeCopiedAreLeftOutAndReported) {
    Block s, t;
    auto held = make_source(s.get(), 40);
    // A record whose field index lies beyond every list, under the number of
    // a deleted record, so that it is the first the copy meets.
    ASSERT_EQ(held.count(1), 0u);
    const uint8_t bogus[] = {0, 0, 0, 0, 1, 40, 0, 1, 2, 3, 4, 0xFF, 0xFF};
    const uint8_t empty = 0;
    ASSERT_EQ(cdupadd(s.get(), 49, &empty, 1, bogus, sizeof bogus), 0);
    make_target(t.get());
    std::vector<uint8_t> buffer(512);
    // Names keyed as unique: the duplicate names of the source collide.
    Fields unique_names('U', false);
    EXPECT_EQ(dbuild(s.get(), t.get(), buffer.data(), 512, unique_names.list, nullptr), KX_E_DLISTSUM);
    const auto copied = records_of(t.get(), unique_names);
    std::set<std::string> names;
    for (const auto& [recno, h] : copied) {
        EXPECT_EQ(held.at(recno), h);
        EXPECT_TRUE(names.insert(h.name).second);
    }
    EXPECT_EQ(names.size(), 9u) << "one record per name";
    EXPECT_EQ(dgetcnt(t.get()), 0);
    EXPECT_EQ(+t->recval, copied.size());
    // The numbers of the records left out wait in the free-number tree, and
    // none of them is a number the target holds.
    // (The damaged record is passed over; its number is not taken back.)
    EXPECT_EQ(+t->free_records, held.size() - copied.size());
    for (int32_t rc = cfirst(t.get(), 48, nullptr, 0); rc == 0; rc = cnext(t.get(), 48, nullptr, 0))
        EXPECT_EQ(copied.count(+t->recval), 0u);
    EXPECT_EQ(tree_fault(t.get()), "");
    // New records get numbers that do not collide.
    unique_names.set(1000, 1);
    std::snprintf(unique_names.name, sizeof unique_names.name, "fresh");
    EXPECT_EQ(dadd(t.get(), unique_names.list), 0);
    EXPECT_EQ(mclose(t.get()), 0);
    EXPECT_EQ(mclose(s.get()), 0);
}

TEST_P(DbuildTest, ResultsForBadArgumentsAndLists) {
    Block s, t;
    make_source(s.get(), 10);
    make_target(t.get());
    std::vector<uint8_t> buffer(512);
    const Fields plain('N', false);
    // The plain list with one more field.
    std::vector<std::vector<KXDLIST>> lists;
    auto with = [&](KXDLIST e) {
        std::vector<KXDLIST> list(plain.list, plain.list + 6);
        list.push_back(e);
        list.push_back({});
        list.back().type = 'E';
        lists.push_back(list);
        return lists.size() - 1;
    };
    int32_t v = 0;
    struct Case {
        const char* what;
        int list;  // -1 none, -2 the plain list, else an index into lists
        int32_t size;
        int32_t result;
    };
    const Case cases[] = {
        {"no list and no callback", -1, 512, KX_E_ARG},
        {"a buffer smaller than a record", -2, 12, KX_E_BUFSMALL},
        {"a field type letter", static_cast<int>(with({'Q', 'N', 'N', 4, 0, &v})), 512, KX_E_FIELDTYPE},
        {"a key type the root does not have", static_cast<int>(with({'L', 7, 'D', 4, 1, &v})), 512, KX_E_KEYTYPE},
        {"a duplicates letter", static_cast<int>(with({'L', 5, 'Z', 4, 1, &v})), 512, KX_E_DUPBYTE},
        {"a key root above 45", static_cast<int>(with({'S', 'S', 'D', 4, 47, &v})), 512, KX_E_ROOTNUM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const KXDLIST* list = c.list == -1   ? nullptr
                              : c.list == -2 ? plain.list
                                             : lists[static_cast<size_t>(c.list)].data();
        EXPECT_EQ(dbuild(s.get(), t.get(), buffer.data(), c.size, list, nullptr), c.result);
        EXPECT_EQ(cfirst(t.get(), 49, nullptr, 0), KX_E_FAIL) << "nothing copied";
    }
    EXPECT_EQ(dbuild(s.get(), s.get(), buffer.data(), 512, plain.list, nullptr), KX_E_ARG);
    EXPECT_EQ(dbuild(s.get(), t.get(), nullptr, 512, plain.list, nullptr), KX_E_ARG);
    EXPECT_EQ(+t->flush_mode, 3) << "the flush mode is put back";
    EXPECT_EQ(mclose(t.get()), 0);
    EXPECT_EQ(dbuild(s.get(), t.get(), buffer.data(), 512, plain.list, nullptr), KX_E_NOTOPEN);
    EXPECT_EQ(mclose(s.get()), 0);
}

}  // namespace
