// Conversion of files of the older format into new index files (cconvert),
// from old files built by the tests' own writer, sound and damaged; and the
// change of key types and segment lists of an open file (cchgndx).
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "support/oldformat.h"
#include "support/testing.h"
#include "support/tree_check.h"
#include "support/worker.h"

using kxtest::Block;
namespace oldf = kxtest::oldformat;

namespace {

uint32_t seed_from_env(uint32_t fallback) {
    const char* env = std::getenv("KINDEX_SEED");
    return env ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : fallback;
}

// A datum as the new file holds it: root, key, record value -> payload.
using Datum = std::tuple<int32_t, std::string, uint32_t>;
using Content = std::map<Datum, std::string>;

class ConvertTest : public kxtest::FileTest {
protected:
    void SetUp() override {
        FileTest::SetUp();
        old_name = file("old.idx");
        new_name = file("new.kx");
    }
    void TearDown() override {
        if (b->state == 'O') mclose(b.get());
        FileTest::TearDown();
    }
    // Every datum of roots 1..49 of the converted file, read through the key
    // calls; the tree checker runs first.
    Content read_back() {
        Content out;
        EXPECT_EQ(copen(b.get(), new_name.c_str()), 0);
        EXPECT_EQ(kxtest::check_trees(b.get()), "");
        std::vector<uint8_t> buf(70000);
        for (int32_t r = 1; r <= 49; ++r) {
            const auto size = static_cast<int32_t>(buf.size());
            for (int32_t rc = cfirst(b.get(), r, buf.data(), size); rc == 0;
                 rc = cnext(b.get(), r, buf.data(), size)) {
                const std::string key(reinterpret_cast<const char*>(b->current_key));
                out[Datum(r, key, +b->recval)] = std::string(buf.begin(), buf.begin() + +b->datalen);
            }
        }
        return out;
    }
    Block b;
    std::string old_name, new_name;
};

TEST_F(ConvertTest, OneLeafWithTwoEntriesAndTheNextRecordNumber) {
    const std::vector<oldf::Entry> entries{{1, "apple", 10, 0x80, "red"}, {1, "pear", 11, 0x80, ""}};
    kxtest::write_file(old_name, oldf::file(777, {oldf::leaf(entries)}));
    const auto old_bytes = kxtest::read_file(old_name);
    ASSERT_EQ(cconvert(old_name.c_str(), new_name.c_str()), 0);
    EXPECT_EQ(kxtest::read_file(old_name), old_bytes) << "the old file is only read";
    const Content got = read_back();
    EXPECT_EQ(got, (Content{{Datum(1, "apple", 10), "red"}, {Datum(1, "pear", 11), ""}}));
    EXPECT_EQ(+b->next_record, 777u);
    EXPECT_EQ(b->byte_order[0], 1) << "created as ccreate creates: little-endian";
    EXPECT_EQ(b->root_types[1], 0) << "old keys are plain strings";
    char buf[8] = {};
    EXPECT_EQ(cfind(b.get(), 1, "apple", 10, buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf, 3), "red");
    EXPECT_EQ(cnextrec(b.get()), 0);
    EXPECT_EQ(+b->recval, 777u);
}

TEST_F(ConvertTest, ManyLeavesOfSeveralRootsWithPiecesAndLongPayloads) {
    std::mt19937 rng(seed_from_env(41));
    SCOPED_TRACE("seed (KINDEX_SEED): " + std::to_string(seed_from_env(41)));
    std::vector<oldf::Entry> entries;
    Content expect;
    const uint8_t roots[] = {1, 2, 7, 45, 46, 49};
    for (int i = 0; i < 700; ++i) {
        const uint8_t root = roots[rng() % std::size(roots)];
        std::string key = root == 49 ? "" : "key" + std::to_string(rng() % 100000);
        // Record values compare by their wrapping difference: within 2^30 of
        // each other they are in one order.
        const auto record = static_cast<uint32_t>(rng() % (1u << 30));
        // Payloads of every length from none to 255 bytes; some data of two
        // or three pieces.
        const int pieces = rng() % 10 == 0 ? 2 + static_cast<int>(rng() % 2) : 1;
        std::string whole;
        for (int p = 0; p < pieces; ++p) {
            std::string payload(rng() % 6 == 0 ? 255 - key.size() - 1 : rng() % 256, 0);
            if (payload.size() + key.size() + 7 > 255) payload.resize(255 - key.size() - 7);
            for (char& c : payload) c = static_cast<char>(rng());
            const auto piece = static_cast<uint8_t>(p | (p == pieces - 1 ? 0x80 : 0));
            entries.push_back({root, key, record, piece, payload});
            whole += payload;
        }
        expect[Datum(root, key, record)] = whole;
    }
    // Old leaves in any order (the conversion sorts by inserting), with an
    // interior node and an empty slot between them.
    std::vector<std::vector<uint8_t>> slots;
    for (size_t i = 0; i < entries.size();) {
        const size_t n = oldf::fitting(entries, i);
        slots.push_back(oldf::leaf(std::vector<oldf::Entry>(entries.begin() + static_cast<long>(i),
                                                            entries.begin() + static_cast<long>(i + n))));
        i += n;
    }
    ASSERT_GE(slots.size(), 40u);
    std::swap(slots[3], slots[17]);
    // An interior node's entries are never converted (they are copies).
    slots.insert(slots.begin() + 5, oldf::node(1, {{1, "interior", 1, 0x80, ""}, {60, "bad", 2, 0, ""}}));
    slots.insert(slots.begin() + 9, std::vector<uint8_t>(oldf::SlotSize, 0));
    auto bytes = oldf::file(123456, slots);
    // A last slot cut short is not read.
    const auto extra = oldf::leaf({{2, "cut", 5, 0x80, "x"}});
    bytes.insert(bytes.end(), extra.begin(), extra.begin() + 600);
    kxtest::write_file(old_name, bytes);
    ASSERT_EQ(cconvert(old_name.c_str(), new_name.c_str()), 0);
    const Content got = read_back();
    EXPECT_EQ(got.size(), expect.size());
    EXPECT_TRUE(got == expect);
    EXPECT_EQ(+b->next_record, 123456u);
    // The converted file takes further adds.
    ASSERT_EQ(cdupadd(b.get(), 2, "later", 1, "p", 1), 0);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
}

// One damaged leaf between two sound ones: the sound ones convert, the
// damaged one up to its fault, and the call says what went wrong.
TEST_F(ConvertTest, DamagedLeavesEndThereAndTheRestConverts) {
    const std::vector<oldf::Entry> before{{3, "a1", 1, 0x80, "first"}, {3, "a2", 2, 0x80, "second"}};
    const std::vector<oldf::Entry> after{{4, "z1", 9, 0x80, "last"}};
    const oldf::Entry one{5, "m1", 5, 0x80, "kept"};
    const oldf::Entry two{5, "m2", 6, 0x80, "lost?"};
    const size_t second = oldf::EntryStart + oldf::entry_bytes(one).size();
    // Three fillers of 250 bytes put the last entry 776 bytes in: a length
    // byte of 255 there reaches past the slot.
    std::vector<oldf::Entry> long_leaf{one};
    for (int i = 0; i < 3; ++i) long_leaf.push_back({6, "f" + std::to_string(i), 1, 0x80, std::string(240, 'f')});
    long_leaf.push_back(two);
    const size_t last = second + 3 * 250;
    ASSERT_EQ(last, 776u);
    struct Case {
        const char* what;
        std::vector<oldf::Entry> entries;
        std::vector<std::pair<size_t, uint8_t>> patch;  // offset in the damaged slot, byte
        int32_t expect;
        bool first_kept, second_kept;
    };
    const Case cases[] = {
        {"entry count 151", {one, two}, {{2, 151}, {3, 0}}, KX_E_DAMAGED, false, false},
        {"entry count negative", {one, two}, {{2, 0xFF}, {3, 0xFF}}, KX_E_DAMAGED, false, false},
        {"count past the entries", {one, two}, {{2, 3}, {3, 0}}, KX_E_DAMAGED, true, true},
        {"root number 0", {one, two}, {{second + 1, 0}}, KX_E_DAMAGED, true, false},
        {"root number 51", {one, two}, {{second + 1, 51}}, KX_E_DAMAGED, true, false},
        // L = 8 leaves two bytes for the key "m2" and its zero: the payload
        // length would work out as -1.
        {"key runs past its entry", {one, two}, {{second, 8}}, KX_E_DAMAGED, true, false},
        {"entry shorter than its fixed part", {one, two}, {{second, 3}}, KX_E_DAMAGED, true, false},
        {"entry runs past the slot", long_leaf, {{last, 0xFF}}, KX_E_DAMAGED, true, false},
        {"sound leaf", {one, two}, {}, 0, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto damaged = oldf::leaf(c.entries);
        for (const auto& [at, v] : c.patch) damaged[at] = v;
        kxtest::write_file(old_name, oldf::file(9, {oldf::leaf(before), damaged, oldf::leaf(after)}));
        ciunlink(new_name.c_str());
        EXPECT_EQ(cconvert(old_name.c_str(), new_name.c_str()), c.expect);
        const Content got = read_back();
        EXPECT_EQ(got.count(Datum(3, "a1", 1)), 1u);
        EXPECT_EQ(got.count(Datum(3, "a2", 2)), 1u);
        EXPECT_EQ(got.count(Datum(4, "z1", 9)), 1u) << "the leaf after the damaged one";
        EXPECT_EQ(got.count(Datum(5, "m1", 5)), c.first_kept ? 1u : 0u) << "entries before the fault";
        EXPECT_EQ(got.count(Datum(5, "m2", 6)), c.second_kept ? 1u : 0u);
        EXPECT_EQ(+b->next_record, 9u) << "the header is carried over all the same";
        mclose(b.get());
    }
}

TEST_F(ConvertTest, EntriesTheNewFileCannotHoldOrDoesNotWant) {
    const std::string long_key(243, 'k');
    const std::vector<oldf::Entry> entries{
        {8, "before", 1, 0x80, "b"},
        // A key as long as the new format refuses: left out, the leaf goes on.
        {8, long_key, 2, 0x80, ""},
        // The old file's lock tree names processes of the old file.
        {50, "lock", 3, 0x80, ""},
        {8, "same", 4, 0x80, "old"},
        // The same root, key, record value and piece: it replaces the first.
        {8, "same", 4, 0x80, "new"},
        {8, "after", 5, 0x80, "a"},
    };
    kxtest::write_file(old_name, oldf::file(1, {oldf::leaf(entries)}));
    EXPECT_EQ(cconvert(old_name.c_str(), new_name.c_str()), KX_E_STRLEN);
    const Content got = read_back();
    EXPECT_EQ(got, (Content{{Datum(8, "after", 5), "a"}, {Datum(8, "before", 1), "b"}, {Datum(8, "same", 4), "new"}}));
    char buf[4];
    EXPECT_EQ(cfirst(b.get(), 50, buf, sizeof buf), KX_E_FAIL);
}

TEST_F(ConvertTest, FilesThatCannotBeOpenedOrCreated) {
    kxtest::write_file(old_name, oldf::file(5, {oldf::leaf({{1, "k", 1, 0x80, ""}})}));
    struct Case {
        const char* what;
        std::string from, to;
        int32_t expect;
    };
    kxtest::write_file(file("taken.kx"), std::vector<uint8_t>(10, 7));
    const Case cases[] = {
        {"missing old file", file("absent.idx"), new_name, KX_E_BUILDSRC},
        {"empty old name", "", new_name, KX_E_BUILDSRC},
        {"new file exists", old_name, file("taken.kx"), KX_E_BUILDDST},
        {"new file in a missing folder", old_name, file("no/such/dir.kx"), KX_E_BUILDDST},
        {"empty new name", old_name, "", KX_E_BUILDDST},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(cconvert(c.from.empty() ? "" : c.from.c_str(), c.to.c_str()), c.expect);
    }
    EXPECT_EQ(cconvert(nullptr, new_name.c_str()), KX_E_BUILDSRC);
    EXPECT_EQ(cconvert(old_name.c_str(), nullptr), KX_E_BUILDDST);
    EXPECT_EQ(kxtest::read_file(file("taken.kx")), std::vector<uint8_t>(10, 7)) << "an existing file is left alone";
    EXPECT_TRUE(kxtest::read_file(new_name).empty());
}

TEST_F(ConvertTest, HeaderOnlyAndShortFiles) {
    // Only a header: an empty new file with the old next record number.
    auto bytes = oldf::file(4242, {});
    kxtest::write_file(old_name, bytes);
    ASSERT_EQ(cconvert(old_name.c_str(), new_name.c_str()), 0);
    EXPECT_TRUE(read_back().empty());
    EXPECT_EQ(+b->next_record, 4242u);
    mclose(b.get());
    // A file shorter than the old header: the read failure is the result,
    // and the new file is still a sound, empty index file.
    kxtest::write_file(old_name, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 20));
    ciunlink(new_name.c_str());
    EXPECT_EQ(cconvert(old_name.c_str(), new_name.c_str()), KX_E_READ);
    EXPECT_TRUE(read_back().empty());
    EXPECT_EQ(+b->next_record, 1u);
}

// ---- Change of key types and segment lists ------------------------------

KXSEGMENT seg(uint8_t type, int32_t field) { return KXSEGMENT{type, field, 0, 0, {}}; }

class ChangeIndexTest : public kxtest::FileTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        FileTest::SetUp();
        name = file("chg.kx");
        list_a[0] = seg(5, 0);
        list_a[1] = seg(0, 1);
        list_a[2] = seg(31, 0);
        list_b[0] = seg(3, 2);
        list_b[1] = seg(31, 0);
        const KXROOTLIST roots[] = {{2, 8, list_a}, {3, 5, nullptr}, {0, 0, nullptr}};
        ASSERT_EQ(bcreate(b.get(), name.c_str(), 'E', GetParam(), roots), 0);
    }
    void TearDown() override {
        if (b->state == 'O') mclose(b.get());
        FileTest::TearDown();
    }
    // The root type table as stored in the file.
    std::vector<uint8_t> stored_types() {
        const auto f = kxtest::read_file(name);
        return std::vector<uint8_t>(f.begin() + 192, f.begin() + 244);
    }
    // The block's segment list table, copied out of the packed block.
    std::vector<KXSEGMENT*> segment_table() const {
        std::vector<KXSEGMENT*> t(52);
        std::memcpy(t.data(), b.cb.segment_lists, sizeof b.cb.segment_lists);
        return t;
    }
    KXSEGMENT* segments(int r) const { return segment_table()[static_cast<size_t>(r)]; }
    Block b;
    std::string name;
    KXSEGMENT list_a[3], list_b[2];
};

INSTANTIATE_TEST_SUITE_P(ByteOrder, ChangeIndexTest, ::testing::Values(1, 2),
                         [](const auto& i) { return i.param == 1 ? "little" : "big"; });

TEST_P(ChangeIndexTest, EmptyListClearsTheSegmentListsOnly) {
    ASSERT_EQ(segments(2), list_a);
    const auto types = stored_types();
    const KXROOTLIST empty[] = {{0, 0, nullptr}};
    ASSERT_EQ(cchgndx(b.get(), empty), 0);
    for (int r = 0; r < 52; ++r) EXPECT_EQ(segments(r), nullptr) << r;
    EXPECT_EQ(b->root_types[2], 8);
    EXPECT_EQ(stored_types(), types);
}

TEST_P(ChangeIndexTest, KeyTypeOfAnEmptyRootChangesInTheHeaderAtOnce) {
    const KXROOTLIST change[] = {{4, 5, nullptr}, {0, 0, nullptr}};
    ASSERT_EQ(cchgndx(b.get(), change), 0);
    EXPECT_EQ(b->root_types[4], 5);
    EXPECT_EQ(stored_types()[4], 5) << "written without a close";
    // The root now orders its keys as integers.
    for (int32_t v : {10, -3, 200, 7}) ASSERT_EQ(cdupadd(b.get(), 4, &v, 1, nullptr, 0), 0);
    std::vector<int32_t> seen;
    char buf[4];
    for (int32_t rc = cfirst(b.get(), 4, buf, 0); rc == 0; rc = cnext(b.get(), 4, buf, 0)) {
        int32_t v = 0;
        std::memcpy(&v, b->current_key, 4);
        seen.push_back(v);
    }
    EXPECT_EQ(seen, (std::vector<int32_t>{-3, 7, 10, 200}));
    ASSERT_EQ(mclose(b.get()), 0);
    // An open checks its root list against the types the header holds now.
    const KXROOTLIST stale[] = {{4, 0, nullptr}, {0, 0, nullptr}};
    EXPECT_EQ(bopen(b.get(), name.c_str(), 'E', 2, stale), KX_E_ROOTLIST);
    const KXROOTLIST new_roots[] = {{2, 8, list_a}, {3, 5, nullptr}, {4, 5, nullptr}, {0, 0, nullptr}};
    ASSERT_EQ(bopen(b.get(), name.c_str(), 'E', 2, new_roots), 0);
    EXPECT_EQ(b->root_types[4], 5);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
}

TEST_P(ChangeIndexTest, RootThatHoldsAnEntryKeepsItsType) {
    const int32_t v = 5;
    ASSERT_EQ(cdupadd(b.get(), 3, &v, 1, "x", 1), 0);
    const auto types = stored_types();
    const auto table = segment_table();
    const KXROOTLIST change[] = {{3, 0, nullptr}, {0, 0, nullptr}};
    EXPECT_EQ(cchgndx(b.get(), change), KX_E_CHGNDX);
    EXPECT_EQ(+b->last_result, KX_E_CHGNDX);
    EXPECT_EQ(b->root_types[3], 5);
    EXPECT_EQ(stored_types(), types);
    EXPECT_EQ(segment_table(), table);
    // Once the entry is gone (its leaf emptied, not freed) the type may change.
    ASSERT_EQ(cdelete(b.get(), 3, &v, 1), 0);
    EXPECT_EQ(cchgndx(b.get(), change), 0);
    EXPECT_EQ(stored_types()[3], 0);
}

TEST_P(ChangeIndexTest, ListKeepingEveryTypeReplacesTheSegmentLists) {
    const auto types = stored_types();
    const KXROOTLIST same[] = {{2, 8, list_b}, {3, 5, nullptr}, {9, 0, list_a}, {0, 0, nullptr}};
    ASSERT_EQ(cchgndx(b.get(), same), 0);
    EXPECT_EQ(segments(2), list_b);
    EXPECT_EQ(segments(9), list_a);
    EXPECT_EQ(segments(3), nullptr);
    EXPECT_EQ(stored_types(), types);
}

TEST_P(ChangeIndexTest, RefusedListsChangeNothing) {
    KXSEGMENT only_end[1] = {seg(31, 0)};
    KXSEGMENT bad_type[2] = {seg(0, 0), seg(21, 1)};
    std::vector<KXSEGMENT> too_many(245, seg(0, 0));
    too_many[244] = seg(31, 0);
    std::vector<KXSEGMENT> most(244, seg(0, 0));
    most[243] = seg(31, 0);
    std::vector<KXSEGMENT> unended(300, seg(0, 0));
    const int32_t v = 1;
    ASSERT_EQ(cdupadd(b.get(), 3, &v, 1, nullptr, 0), 0);
    struct Case {
        const char* what;
        std::vector<KXROOTLIST> list;
        int32_t expect;
    };
    // Each refused list starts with a change that alone would be accepted.
    const KXROOTLIST good{4, 2, nullptr};
    const Case cases[] = {
        {"root 46", {good, {46, 0, nullptr}, {0, 0, nullptr}}, KX_E_ROOTNUM},
        {"root 50", {good, {50, 2, nullptr}, {0, 0, nullptr}}, KX_E_ROOTNUM},
        {"key type 21", {good, {5, 21, nullptr}, {0, 0, nullptr}}, KX_E_ROOTLIST},
        {"root with an entry", {good, {3, 7, nullptr}, {0, 0, nullptr}}, KX_E_CHGNDX},
        {"list of the end marker only", {good, {6, 8, only_end}, {0, 0, nullptr}}, KX_E_SEGLIST},
        {"segment of key type 21", {good, {6, 8, bad_type}, {0, 0, nullptr}}, KX_E_SEGLIST},
        {"244 segments", {good, {6, 8, too_many.data()}, {0, 0, nullptr}}, KX_E_SEGLIST},
        {"no end marker", {good, {6, 8, unended.data()}, {0, 0, nullptr}}, KX_E_SEGLIST},
        {"bad list for a root whose type stays", {good, {2, 8, only_end}, {0, 0, nullptr}}, KX_E_SEGLIST},
    };
    const auto types = stored_types();
    const auto table = segment_table();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(cchgndx(b.get(), c.list.data()), c.expect);
        EXPECT_EQ(b->root_types[4], 0) << "the good entry before it was not applied";
        EXPECT_EQ(stored_types(), types);
        EXPECT_EQ(segment_table(), table);
    }
    EXPECT_EQ(cchgndx(b.get(), nullptr), KX_E_ROOTLIST);
    // 243 segments are the most a list may have.
    const KXROOTLIST longest[] = {{6, 8, most.data()}, {0, 0, nullptr}};
    EXPECT_EQ(cchgndx(b.get(), longest), 0);
    EXPECT_EQ(segments(6), most.data());
    Block closed;
    EXPECT_EQ(cchgndx(closed.get(), longest), KX_E_NOTOPEN);
}

TEST_P(ChangeIndexTest, ReadOnlyFileTakesSegmentListsButNoTypeChange) {
    ASSERT_EQ(mclose(b.get()), 0);
    const KXROOTLIST roots[] = {{2, 8, list_a}, {3, 5, nullptr}, {0, 0, nullptr}};
    ASSERT_EQ(bopen(b.get(), name.c_str(), 'E', 1, roots), 0);
    const KXROOTLIST change[] = {{4, 5, nullptr}, {0, 0, nullptr}};
    EXPECT_EQ(cchgndx(b.get(), change), KX_E_READONLY);
    EXPECT_EQ(b->root_types[4], 0);
    const KXROOTLIST lists[] = {{2, 8, list_b}, {0, 0, nullptr}};
    EXPECT_EQ(cchgndx(b.get(), lists), 0);
    EXPECT_EQ(segments(2), list_b);
}

// A process sharing the file reads keys by the key type another process
// gave the root.
TEST_P(ChangeIndexTest, AnotherProcessSeesTheNewKeyType) {
    ASSERT_EQ(mclose(b.get()), 0);
    kxtest::MemoryDir dir;
    const std::string path = dir.path("chg.kx");
    ASSERT_EQ(bcreate(b.get(), path.c_str(), 'E', GetParam(), nullptr), 0);
    ASSERT_EQ(mclose(b.get()), 0);
    ASSERT_EQ(bopen(b.get(), path.c_str(), 'S', 2, nullptr), 0);
    kxtest::Worker w;
    ASSERT_EQ(w.run("open " + path + " S 2").rc, 0);
    ASSERT_EQ(w.run("walk 4").rc, KX_E_FAIL);
    const KXROOTLIST change[] = {{4, 5, nullptr}, {0, 0, nullptr}};
    ASSERT_EQ(cchgndx(b.get(), change), 0);
    // The worker's next call finds the file changed and reads the header
    // again; from then on it reads root 4's keys as integers, and "10"
    // sorts after "9", which as strings it would not.
    ASSERT_EQ(w.run("walk 4").rc, KX_E_FAIL);
    ASSERT_EQ(w.run("cdupadd 4 10 1").rc, 0);
    ASSERT_EQ(w.run("cdupadd 4 9 2").rc, 0);
    const kxtest::Reply r = w.run("walk 4");
    ASSERT_EQ(r.values.size(), 2u);
    EXPECT_EQ(r.values[0].substr(0, 4), "9/2/");
    EXPECT_EQ(r.values[1].substr(0, 5), "10/1/");
    // And this process cannot change it back while the root holds entries.
    const KXROOTLIST back[] = {{4, 0, nullptr}, {0, 0, nullptr}};
    EXPECT_EQ(cchgndx(b.get(), back), KX_E_CHGNDX);
    EXPECT_EQ(w.run("close").rc, 0);
}

}  // namespace
