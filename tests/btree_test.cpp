// B+tree behaviour at the edges: duplicates, pieces, split points, tree
// growth, the positioning results, traversal corners, bad input and damaged
// nodes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "btree/node.h"
#include "btree/search.h"
#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "indexfile/nodecache.h"
#include "support/testing.h"
#include "support/tree_check.h"

using kxtest::Block;

namespace {

class Btree : public kxtest::FileTest, public ::testing::WithParamInterface<int> {
protected:
    void open_file(int byte_order = 1) {
        name = file("bt.kx");
        const KXROOTLIST roots[] = {{1, 5, nullptr}, {2, 0, nullptr}, {48, 0, nullptr}, {0, 0, nullptr}};
        // Root 48 is the library's own; files get it through their type table.
        const KXROOTLIST user[] = {{1, 5, nullptr}, {2, 0, nullptr}, {0, 0, nullptr}};
        (void)roots;
        ASSERT_EQ(bcreate(b.get(), name.c_str(), 'E', byte_order, user), 0);
        ASSERT_EQ(csetfile(b.get(), 0), 0);
    }
    void TearDown() override {
        if (b->state == 'O') {
            EXPECT_EQ(mclose(b.get()), 0);
        }
        FileTest::TearDown();
    }
    int32_t add(int32_t key, uint32_t rec, int32_t len = 0, bool unique = false) {
        std::vector<uint8_t> data(static_cast<size_t>(len > 0 ? len : 1));
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(key + i);
        return unique ? cunqadd(b.get(), 1, &key, rec, data.data(), len) : cdupadd(b.get(), 1, &key, rec, data.data(), len);
    }
    Block b;
    std::string name;
};

int32_t key_of(KXCB* cb) {
    int32_t k;
    std::memcpy(&k, cb->current_key, 4);
    return k;
}

}  // namespace

TEST_P(Btree, DuplicatesAreOrderedByRecordValue) {
    open_file(GetParam());
    for (uint32_t rec : {5u, 3u, 9u}) ASSERT_EQ(add(42, rec), 0);
    EXPECT_EQ(add(42, 5), KX_E_FAIL) << "an identical entry cannot be added twice";
    EXPECT_EQ(add(42, 7, 0, true), KX_E_FAIL) << "unique add of an existing key";
    std::vector<uint32_t> recs;
    for (int32_t rc = cfirst(b.get(), 1, nullptr, 0); rc == 0; rc = cnext(b.get(), 1, nullptr, 0)) recs.push_back(+b->recval);
    EXPECT_EQ(recs, (std::vector<uint32_t>{3, 5, 9}));
    int32_t k = 42;
    EXPECT_EQ(cfind(b.get(), 1, &k, 0, nullptr, 0), 1) << "same key, another record value";
    EXPECT_EQ(+b->recval, 3u);
    EXPECT_EQ(cfind(b.get(), 1, &k, 5, nullptr, 0), 0);
    EXPECT_EQ(cfind(b.get(), 1, &k, 6, nullptr, 0), 1);
    EXPECT_EQ(+b->recval, 9u);
    k = 41;
    EXPECT_EQ(cfind(b.get(), 1, &k, 0, nullptr, 0), 2) << "a greater key";
    EXPECT_EQ(key_of(b.get()), 42) << "the current key is delivered in host order";
    k = 43;
    EXPECT_EQ(cfind(b.get(), 1, &k, 0, nullptr, 0), KX_E_FAIL);
}

TEST_P(Btree, PayloadsAreCutIntoPieces) {
    open_file(GetParam());
    // A 10-byte string key leaves 234 payload bytes per piece.
    const char key[] = "123456789";
    std::vector<uint8_t> data(600);
    std::iota(data.begin(), data.end(), 0);
    ASSERT_EQ(cdupadd(b.get(), 2, key, 1, data.data(), 600), 0);
    EXPECT_EQ(fgetdbyte(b.get(), 2), 0) << "the cursor ends on piece 0";
    const char empty_key[] = "zz";
    ASSERT_EQ(cdupadd(b.get(), 2, empty_key, 1, nullptr, 0), 0);
    EXPECT_EQ(fgetdbyte(b.get(), 2), 0x80);

    // The pieces as stored in the leaf.
    ASSERT_EQ(strtread(b.get()), 0);
    kx::EntryIndex ix;
    ASSERT_EQ(kx::read_node(b.get(), +b->main_root, ix), 0);
    const uint8_t* leaf = kx::work::leaf().bytes;
    ASSERT_EQ(ix.count, 4);
    const struct {
        uint8_t piece;
        int32_t len;
    } expect[] = {{0x00, 234}, {0x01, 234}, {0x82, 132}, {0x80, 0}};
    for (int i = 0; i < 4; ++i) {
        const uint8_t* e = ix.at(leaf, i);
        EXPECT_EQ(e[2], expect[i].piece) << i;
        EXPECT_EQ(kx::payload_length(b.get(), e), expect[i].len) << i;
    }
    ASSERT_EQ(endread(b.get()), 0);

    std::vector<uint8_t> out(1000);
    ASSERT_EQ(cfind(b.get(), 2, key, 1, out.data(), 1000), 0);
    EXPECT_EQ(+b->datalen, 600);
    EXPECT_EQ(+b->datatotal, 600);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
    ASSERT_EQ(cfind(b.get(), 2, key, 1, out.data(), 10), 0);
    EXPECT_EQ(+b->datalen, 10) << "a short buffer gets what fits";
    EXPECT_EQ(+b->datatotal, 600);
    // Walks visit each datum once, on piece 0.
    EXPECT_EQ(cfirst(b.get(), 2, nullptr, 0), 0);
    EXPECT_EQ(cnext(b.get(), 2, nullptr, 0), 0);
    EXPECT_EQ(+b->current_key[0], 'z');
    EXPECT_EQ(cnext(b.get(), 2, nullptr, 0), KX_E_FAIL);
    EXPECT_EQ(cprev(b.get(), 2, out.data(), 1000), 0);
    EXPECT_EQ(+b->current_key[0], 'z');
    EXPECT_EQ(cprev(b.get(), 2, out.data(), 1000), 0);
    EXPECT_EQ(+b->datatotal, 600);
    EXPECT_EQ(cprev(b.get(), 2, nullptr, 0), KX_E_FAIL);
    EXPECT_EQ(cnext(b.get(), 2, nullptr, 0), 0) << "after the start cnext gives the first datum";
    EXPECT_EQ(+b->current_key[0], '1');
}

TEST_P(Btree, AscendingLoadsFillLeavesAndMiddleInsertsSplitInHalf) {
    open_file(GetParam());
    ASSERT_EQ(strtwrit(b.get()), 0);
    for (int32_t k = 0; k < 3000; ++k) ASSERT_EQ(add(k * 10, 1, 40), 0) << k;
    ASSERT_EQ(endwrit(b.get()), 0);
    kxtest::TreeStats stats;
    ASSERT_EQ(kxtest::check_trees(b.get(), &stats), "");
    // Every leaf but the last is filled to just under 2030 bytes.
    EXPECT_GT(stats.leaf_fill, 1900.0 - 2030.0 / static_cast<double>(stats.leaves));
    EXPECT_EQ(stats.entries, 3000);

    // Inserting into the middle of full leaves cuts them at about half.
    const int64_t leaves_before = stats.leaves;
    ASSERT_EQ(strtwrit(b.get()), 0);
    for (int32_t k = 0; k < 3000; k += 7) ASSERT_EQ(add(k * 10 + 5, 1, 40), 0);
    ASSERT_EQ(endwrit(b.get()), 0);
    kxtest::TreeStats after;
    ASSERT_EQ(kxtest::check_trees(b.get(), &after), "");
    EXPECT_GT(after.leaves, leaves_before + leaves_before / 2);
    EXPECT_LT(after.leaf_fill, 1700.0);
}

TEST_P(Btree, RootSplitGrowsTheTree) {
    open_file(GetParam());
    ASSERT_EQ(strtwrit(b.get()), 0);
    const uint32_t old_root = b->main_root;
    int32_t k = 0;
    while (b->main_height == 1) ASSERT_EQ(add(k++, 1, 100), 0);
    ASSERT_EQ(endwrit(b.get()), 0);
    EXPECT_EQ(+b->main_height, 2u);
    EXPECT_NE(+b->main_root, old_root);
    ASSERT_EQ(strtread(b.get()), 0);
    kx::EntryIndex ix;
    ASSERT_EQ(kx::read_node(b.get(), +b->main_root, ix), 0);
    EXPECT_EQ(ix.count, 1) << "one separator";
    EXPECT_EQ(kx::node::leftmost(kx::work::leaf().bytes), old_root);
    EXPECT_EQ(kx::node::level(kx::work::leaf().bytes), 1);
    ASSERT_EQ(endread(b.get()), 0);
    ASSERT_EQ(mclose(b.get()), 0);
    ASSERT_EQ(bopen(b.get(), name.c_str(), 'E', 2, nullptr), KX_E_ROOTLIST) << "typed roots need their list";
    const KXROOTLIST user[] = {{1, 5, nullptr}, {2, 0, nullptr}, {0, 0, nullptr}};
    ASSERT_EQ(bopen(b.get(), name.c_str(), 'E', 2, user), 0);
    EXPECT_EQ(+b->main_height, 2u) << "the height reached the header";
    ASSERT_EQ(kxtest::check_trees(b.get()), "");
}

TEST_P(Btree, EmptyRootsAndRootNumbers) {
    open_file(GetParam());
    EXPECT_EQ(cfirst(b.get(), 1, nullptr, 0), KX_E_FAIL);
    EXPECT_EQ(clast(b.get(), 1, nullptr, 0), KX_E_FAIL);
    EXPECT_EQ(cnext(b.get(), 1, nullptr, 0), KX_E_FAIL);
    EXPECT_EQ(cprev(b.get(), 1, nullptr, 0), KX_E_FAIL);
    EXPECT_EQ(fgetndenum(b.get(), 3), -1) << "never positioned";
    EXPECT_EQ(fgetrcval(b.get(), 3), 0u);
    int32_t k = 1;
    for (int32_t root : {0, 51, -1, 1000}) {
        EXPECT_EQ(cfind(b.get(), root, &k, 0, nullptr, 0), KX_E_ARG) << root;
        EXPECT_EQ(+b->last_result, KX_E_ARG);
        EXPECT_EQ(cfirst(b.get(), root, nullptr, 0), KX_E_ARG);
        EXPECT_EQ(clast(b.get(), root, nullptr, 0), KX_E_ARG);
        EXPECT_EQ(cnext(b.get(), root, nullptr, 0), KX_E_ARG);
        EXPECT_EQ(cprev(b.get(), root, nullptr, 0), KX_E_ARG);
        EXPECT_EQ(cgetcur(b.get(), root, nullptr, 0), KX_E_ARG);
        EXPECT_EQ(cdupadd(b.get(), root, &k, 0, nullptr, 0), KX_E_ARG);
        EXPECT_EQ(cunqadd(b.get(), root, &k, 0, nullptr, 0), KX_E_ARG);
        EXPECT_EQ(cnextrep(b.get(), root, nullptr, 0, nullptr), KX_E_ARG);
    }
}

TEST_P(Btree, FindPastTheEndOfOneRootLeavesTheCursorPastIt) {
    open_file(GetParam());
    int32_t k = 5;
    ASSERT_EQ(cdupadd(b.get(), 1, &k, 1, nullptr, 0), 0);
    const char s[] = "next root";
    ASSERT_EQ(cdupadd(b.get(), 2, s, 1, nullptr, 0), 0);
    k = 6;
    EXPECT_EQ(cfind(b.get(), 1, &k, 0, nullptr, 0), KX_E_FAIL);
    EXPECT_EQ(cnext(b.get(), 1, nullptr, 0), KX_E_FAIL) << "past the end of root 1";
    EXPECT_EQ(cprev(b.get(), 1, nullptr, 0), 0) << "one step back is the root's last datum";
    EXPECT_EQ(key_of(b.get()), 5);
    EXPECT_EQ(cgetcur(b.get(), 1, nullptr, 0), 0);
    EXPECT_EQ(+b->recval, 1u);
}

// Ascending adds land in the leaf the last add changed; finds, deletes and
// changes of earlier keys in between, with no pool, a pool small enough to
// drop that leaf and one large enough to keep it, at flush modes 0 and 3.
// Every result is checked against a map, then the whole tree.
TEST_P(Btree, AscendingAddsMixedWithOtherCallsMatchAMap) {
    struct Setup {
        uint32_t buffers;
        uint32_t mode;
    };
    for (const Setup setup : {Setup{0, 0}, Setup{3, 0}, Setup{10000, 0}, Setup{10000, 3}}) {
        SCOPED_TRACE("pool " + std::to_string(setup.buffers) + ", flush mode " + std::to_string(setup.mode));
        ASSERT_EQ(cibufnum(setup.buffers), 0);
        open_file(GetParam());
        ASSERT_EQ(csetfile(b.get(), setup.mode), 0);
        std::map<int32_t, std::vector<uint8_t>> model;
        std::mt19937 rng(11);
        std::vector<uint8_t> out(4096);
        const auto payload = [&](int32_t k) {
            // Mostly one entry; now and then a datum of several pieces.
            std::vector<uint8_t> p(rng() % 10 == 0 ? 300 + rng() % 400 : rng() % 40);
            for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(k * 7 + i);
            return p;
        };
        const auto existing = [&] {
            auto it = model.begin();
            std::advance(it, static_cast<long>(rng() % model.size()));
            return it->first;
        };
        int32_t next = 0;
        ASSERT_EQ(strtwrit(b.get()), 0);
        for (int step = 0; step < 6000; ++step) {
            const uint32_t op = rng() % 10;
            if (op < 6 || model.empty()) {
                const int32_t k = next++;
                auto p = payload(k);
                ASSERT_EQ(cdupadd(b.get(), 1, &k, 1, p.data(), static_cast<int32_t>(p.size())), 0) << k;
                model[k] = p;
            } else if (op < 8) {
                const int32_t k = existing();
                ASSERT_EQ(cfind(b.get(), 1, &k, 1, out.data(), static_cast<int32_t>(out.size())), 0) << k;
                ASSERT_EQ(+b->datalen, static_cast<int32_t>(model[k].size())) << k;
                ASSERT_TRUE(std::equal(model[k].begin(), model[k].end(), out.begin())) << k;
            } else if (op < 9) {
                const int32_t k = existing();
                ASSERT_EQ(cdelete(b.get(), 1, &k, 1), 0) << k;
                model.erase(k);
            } else {
                const int32_t k = existing();
                auto p = payload(k + 1);
                ASSERT_EQ(cchange(b.get(), 1, &k, 1, p.data(), static_cast<int32_t>(p.size())), 0) << k;
                model[k] = p;
            }
        }
        ASSERT_EQ(endwrit(b.get()), 0);
        auto it = model.begin();
        for (int32_t rc = cfirst(b.get(), 1, out.data(), 4096); rc == 0; rc = cnext(b.get(), 1, out.data(), 4096)) {
            ASSERT_NE(it, model.end());
            ASSERT_EQ(key_of(b.get()), it->first);
            ASSERT_EQ(+b->datalen, static_cast<int32_t>(it->second.size())) << it->first;
            ASSERT_TRUE(std::equal(it->second.begin(), it->second.end(), out.begin())) << it->first;
            ++it;
        }
        EXPECT_EQ(it, model.end());
        ASSERT_EQ(kxtest::check_trees(b.get()), "");
        ASSERT_EQ(mclose(b.get()), 0);
        ciunlink(name.c_str());
    }
}

// Adds that take turns between roots, each appending to its own end (as
// new record numbers and ascending keys do), find each root's last leaf
// without a descent; when that leaf must split, the nodes above it are
// found again first.  Random adds and deletes in between move the searches
// elsewhere.  Every root must end holding exactly its model's entries in a
// sound tree.
TEST_P(Btree, AddsTakingTurnsBetweenRootsMatchAMap) {
    for (const uint32_t buffers : {0u, 3u, 10000u}) {
        SCOPED_TRACE("pool " + std::to_string(buffers));
        ASSERT_EQ(cibufnum(buffers), 0);
        open_file(GetParam());
        ASSERT_EQ(csetfile(b.get(), 0), 0);
        b->merge_on_delete = 1;
        std::map<int32_t, uint32_t> ints;
        std::map<std::string, uint32_t> strings;
        std::mt19937 rng(23);
        ASSERT_EQ(strtwrit(b.get()), 0);
        for (int32_t step = 0; step < 8000; ++step) {
            const uint32_t op = rng() % 8;
            const uint8_t filler[60] = {};
            if (op < 3) {
                const int32_t k = 1000000 + step;
                ASSERT_EQ(cdupadd(b.get(), 1, &k, 7, filler, 40), 0) << step;
                ints[k] = 7;
            } else if (op < 6) {
                char key[16];
                std::snprintf(key, sizeof key, "k%08d", step);
                ASSERT_EQ(cdupadd(b.get(), 2, key, 9, filler, 60), 0) << step;
                strings[key] = 9;
            } else if (op < 7) {
                const int32_t k = static_cast<int32_t>(rng() % 1000000);
                if (ints.count(k) == 0) {
                    ASSERT_EQ(cdupadd(b.get(), 1, &k, 3, filler, 20), 0) << step;
                    ints[k] = 3;
                }
            } else if (!ints.empty()) {
                auto it = ints.begin();
                std::advance(it, static_cast<long>(rng() % ints.size()));
                const int32_t k = it->first;
                ASSERT_EQ(cdelete(b.get(), 1, &k, it->second), 0) << step;
                ints.erase(it);
            }
        }
        ASSERT_EQ(endwrit(b.get()), 0);
        ASSERT_EQ(kxtest::check_trees(b.get()), "");
        auto i = ints.begin();
        for (int32_t rc = cfirst(b.get(), 1, nullptr, 0); rc == 0; rc = cnext(b.get(), 1, nullptr, 0), ++i) {
            ASSERT_NE(i, ints.end());
            ASSERT_EQ(key_of(b.get()), i->first);
            ASSERT_EQ(+b->recval, i->second);
        }
        EXPECT_EQ(i, ints.end());
        auto s = strings.begin();
        for (int32_t rc = cfirst(b.get(), 2, nullptr, 0); rc == 0; rc = cnext(b.get(), 2, nullptr, 0), ++s) {
            ASSERT_NE(s, strings.end());
            ASSERT_STREQ(reinterpret_cast<const char*>(b->current_key), s->first.c_str());
            ASSERT_EQ(+b->recval, s->second);
        }
        EXPECT_EQ(s, strings.end());
        ASSERT_EQ(mclose(b.get()), 0);
        ciunlink(name.c_str());
    }
}

// Entries that fit go into the leaf's pool buffer in place; at flush mode 2
// (leaves) and 3 (every node) each change is on the file when the call
// returns, at flush mode 0 only after close.
TEST_P(Btree, LeafChangesReachTheFileAsTheFlushModeSays) {
    for (const uint32_t mode : {0u, 2u, 3u}) {
        SCOPED_TRACE("flush mode " + std::to_string(mode));
        open_file(GetParam());
        ASSERT_EQ(csetfile(b.get(), mode), 0);
        const uint32_t root = b->main_root;
        const auto stored_count = [&] {
            uint8_t bytes[2];
            FILE* f = std::fopen(name.c_str(), "rb");
            EXPECT_NE(f, nullptr);
            if (f == nullptr) return -1;
            std::fseek(f, 1024 + 2048 * static_cast<long>(root) + 14, SEEK_SET);
            const size_t got = std::fread(bytes, 1, 2, f);
            std::fclose(f);
            return got == 2 ? static_cast<int>(kx::get16(bytes, kx::order_flag(b.get()))) : -1;
        };
        const int32_t before = stored_count();
        ASSERT_EQ(strtwrit(b.get()), 0);
        for (int32_t k = 0; k < 10; ++k) {
            ASSERT_EQ(add(k, 1, 10), 0);
            EXPECT_EQ(stored_count(), mode == 0 ? before : k + 1) << "after adding " << k;
            EXPECT_EQ(kx::pool_stats().dirty, mode == 0 ? 1 : 0);
        }
        for (int32_t k = 0; k < 10; k += 2) {
            ASSERT_EQ(cdelete(b.get(), 1, &k, 1), 0);
            EXPECT_EQ(stored_count(), mode == 0 ? before : 9 - k / 2) << "after deleting " << k;
        }
        ASSERT_EQ(endwrit(b.get()), 0);
        ASSERT_EQ(mclose(b.get()), 0);
        EXPECT_EQ(stored_count(), 5) << "after close";
        ciunlink(name.c_str());
    }
}

// A datum of one entry, found by key: the buffer gets what fits, the total
// is the whole payload, and an empty payload or a missing buffer copies
// nothing.
TEST_P(Btree, FindCopiesAOneEntryDatumAsFarAsItFits) {
    open_file(GetParam());
    const char key[] = "key";
    std::vector<uint8_t> data(100);
    std::iota(data.begin(), data.end(), uint8_t{1});
    ASSERT_EQ(cdupadd(b.get(), 2, key, 1, data.data(), 100), 0);
    ASSERT_EQ(cdupadd(b.get(), 2, key, 2, nullptr, 0), 0);
    const struct {
        uint32_t record;
        int32_t size;
        int32_t datalen;
        int32_t datatotal;
    } cases[] = {{1, 1000, 100, 100}, {1, 100, 100, 100}, {1, 10, 10, 100}, {1, 0, 100, 0}, {2, 1000, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE("record " + std::to_string(c.record) + ", buffer " + std::to_string(c.size));
        std::vector<uint8_t> out(1000, 0xEE);
        ASSERT_EQ(cfind(b.get(), 2, key, c.record, c.size > 0 ? out.data() : nullptr, c.size), 0);
        EXPECT_EQ(+b->datalen, c.datalen);
        EXPECT_EQ(+b->datatotal, c.datatotal);
        const size_t copied = c.size > 0 ? static_cast<size_t>(c.datalen) : 0;
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<long>(copied), data.begin()));
        EXPECT_EQ(out[copied], 0xEE) << "nothing past what fits";
        // The cursor stands there: cgetcur gives the same datum.
        std::vector<uint8_t> again(1000);
        ASSERT_EQ(cgetcur(b.get(), 2, again.data(), 1000), 0);
        EXPECT_EQ(+b->recval, c.record);
    }
}

// String keys compare byte by byte as unsigned values up to the stored key's
// terminating zero: a key sorts before its own extensions, bytes from 0x80 up
// sort after ASCII, and a probe that is missing lands on the next key.
TEST_P(Btree, StringKeysOrderByUnsignedBytes) {
    open_file(GetParam());
    using Key = std::vector<uint8_t>;
    std::vector<Key> keys;
    const char* stems[] = {"", "a", "ab", "abc", "abd", "b", "customer-", "customer-k0", "customer-k01234"};
    for (const char* stem : stems) {
        for (int tail = 0; tail < 40; ++tail) {
            Key k(stem, stem + std::strlen(stem));
            // Tails of ASCII letters, high bytes, and long runs of one byte.
            if (tail % 4 == 1) k.push_back(static_cast<uint8_t>(0x7F + tail));
            if (tail % 4 == 2) k.insert(k.end(), static_cast<size_t>(tail + 20), static_cast<uint8_t>('a' + tail % 26));
            if (tail % 4 == 3) k.push_back(static_cast<uint8_t>(0xC0 + tail % 64));
            if (tail > 0) k.push_back(static_cast<uint8_t>('a' + tail % 26));
            k.push_back(0);
            keys.push_back(k);
        }
    }
    // Unsigned byte order, spelt out (the library's order is what is tested).
    const auto before = [](const Key& x, const Key& y) {
        for (size_t i = 0; i < x.size() && i < y.size(); ++i)
            if (x[i] != y[i]) return x[i] < y[i];
        return x.size() < y.size();
    };
    std::sort(keys.begin(), keys.end(), before);
    keys.erase(std::unique(keys.begin(), keys.end(),
                           [&](const Key& x, const Key& y) { return !before(x, y) && !before(y, x); }),
               keys.end());
    std::vector<Key> order = keys;
    std::mt19937 rng(7);
    std::shuffle(order.begin(), order.end(), rng);
    for (const Key& k : order) ASSERT_EQ(cdupadd(b.get(), 2, k.data(), 1, nullptr, 0), 0);
    ASSERT_GT(+b->main_height, 1u) << "the keys span several leaves";

    // A walk returns them in unsigned byte order.
    size_t i = 0;
    for (int32_t rc = cfirst(b.get(), 2, nullptr, 0); rc == 0; rc = cnext(b.get(), 2, nullptr, 0), ++i) {
        ASSERT_LT(i, keys.size());
        ASSERT_EQ(std::memcmp(b->current_key, keys[i].data(), keys[i].size()), 0) << "position " << i;
    }
    EXPECT_EQ(i, keys.size());

    for (size_t j = 0; j < keys.size(); ++j) {
        const Key& k = keys[j];
        EXPECT_EQ(cfind(b.get(), 2, k.data(), 1, nullptr, 0), 0) << "key " << j;
        EXPECT_EQ(cfind(b.get(), 2, k.data(), 0, nullptr, 0), 1) << "key " << j << ", lower record";
        // The key with a byte 0x01 added sorts after it and before every
        // longer key that shares it: the probe lands on the next stored key.
        Key probe(k.begin(), k.end() - 1);
        probe.push_back(1);
        probe.push_back(0);
        const int32_t rc = cfind(b.get(), 2, probe.data(), 0, nullptr, 0);
        if (j + 1 == keys.size()) {
            EXPECT_EQ(rc, KX_E_FAIL) << "past the last key";
        } else {
            ASSERT_EQ(rc, 2) << "key " << j;
            EXPECT_EQ(std::memcmp(b->current_key, keys[j + 1].data(), keys[j + 1].size()), 0) << "key " << j;
        }
    }
    ASSERT_EQ(kxtest::check_trees(b.get()), "");
}

namespace {
struct RepState {
    std::vector<int32_t> keys;
    size_t stop_at;
};
RepState* rep_state = nullptr;
int32_t collect(KXCB* cb, int32_t, void*, int32_t) {
    rep_state->keys.push_back(key_of(cb));
    return rep_state->keys.size() == rep_state->stop_at ? 0 : 1;
}
}  // namespace

TEST_P(Btree, CnextrepStopsWhereTheFunctionSays) {
    open_file(GetParam());
    for (int32_t k = 1; k <= 200; ++k) ASSERT_EQ(add(k, 1, k % 3 == 0 ? 500 : 20), 0);
    RepState st{{}, 3};
    rep_state = &st;
    ASSERT_EQ(cfirst(b.get(), 1, nullptr, 0), 0);
    std::vector<uint8_t> buf(1000);
    EXPECT_EQ(cnextrep(b.get(), 1, buf.data(), 1000, collect), 0);
    EXPECT_EQ(st.keys, (std::vector<int32_t>{2, 3, 4}));
    EXPECT_EQ(+b->datalen, 20);
    ASSERT_EQ(cnext(b.get(), 1, nullptr, 0), 0);
    EXPECT_EQ(key_of(b.get()), 5) << "cnext continues after the last datum handed over";
    // Walking to the end hands over every datum and ends with -1.
    st = {{}, 100000};
    ASSERT_EQ(cfirst(b.get(), 1, nullptr, 0), 0);
    EXPECT_EQ(cnextrep(b.get(), 1, buf.data(), 1000, collect), KX_E_FAIL);
    EXPECT_EQ(st.keys.size(), 199u);
    EXPECT_EQ(st.keys.back(), 200);
    rep_state = nullptr;
}

namespace {
// Hands each datum over, then looks up a key of root 2 (in other leaves),
// which replaces the working leaf under the walk.
int32_t collect_and_look_elsewhere(KXCB* cb, int32_t, void*, int32_t length) {
    rep_state->keys.push_back(key_of(cb));
    rep_state->keys.push_back(length);
    char other[16];
    std::snprintf(other, sizeof other, "s%04d", static_cast<int>(rep_state->keys.size() % 300));
    char found[64];
    cfind(cb, 2, other, 0, found, sizeof found);
    return 1;
}
}  // namespace

TEST_P(Btree, CnextrepFunctionMayCallTheLibrary) {
    open_file(GetParam());
    ASSERT_EQ(strtwrit(b.get()), 0);
    for (int32_t k = 1; k <= 300; ++k) ASSERT_EQ(add(k, 1, 40 + k % 7), 0);
    for (int32_t k = 0; k < 300; ++k) {
        char s[16];
        std::snprintf(s, sizeof s, "s%04d", k);
        ASSERT_EQ(cdupadd(b.get(), 2, s, 1, "payload", 7), 0);
    }
    ASSERT_EQ(endwrit(b.get()), 0);
    RepState st{{}, 0};
    rep_state = &st;
    ASSERT_EQ(cfirst(b.get(), 1, nullptr, 0), 0);
    std::vector<uint8_t> buf(1000);
    EXPECT_EQ(cnextrep(b.get(), 1, buf.data(), 1000, collect_and_look_elsewhere), KX_E_FAIL);
    std::vector<int32_t> expected;
    for (int32_t k = 2; k <= 300; ++k) {
        expected.push_back(k);
        expected.push_back(40 + k % 7);
    }
    EXPECT_EQ(st.keys, expected) << "every datum of root 1 in order, with its own length";
    rep_state = nullptr;
}

TEST_P(Btree, BadKeysAndLengthsWriteNothing) {
    open_file(GetParam());
    const auto before = kxtest::read_file(name);
    std::string long_key(243, 'k');
    std::string ok_key(241, 'k');  // with its terminator, 242 bytes
    std::vector<uint8_t> data(300000);
    EXPECT_EQ(cdupadd(b.get(), 2, long_key.c_str(), 1, nullptr, 0), KX_E_ARG);
    EXPECT_EQ(cdupadd(b.get(), 2, "k", 1, data.data(), -1), KX_E_ARG);
    // Pieces of 242 bytes (a two-byte key): 128 of them fit, a 129th does
    // not, not even a partial one.
    EXPECT_EQ(cdupadd(b.get(), 2, "k", 1, data.data(), 129 * 242), KX_E_ARG);
    EXPECT_EQ(cdupadd(b.get(), 2, "k", 1, data.data(), 128 * 242 + 1), KX_E_ARG);
    EXPECT_EQ(cdupadd(b.get(), 2, "k", 1, nullptr, 10), KX_E_ARG);
    EXPECT_EQ(cdupadd(b.get(), 2, nullptr, 1, nullptr, 0), KX_E_ARG);
    EXPECT_EQ(cfirst(b.get(), 2, nullptr, 0), KX_E_FAIL) << "nothing was added";
    EXPECT_EQ(cdupadd(b.get(), 2, ok_key.c_str(), 1, data.data(), 128 * 2), 0);
    EXPECT_EQ(cdupadd(b.get(), 2, "k", 1, data.data(), 128 * 242), 0);
    std::vector<uint8_t> out(40000);
    EXPECT_EQ(cfind(b.get(), 2, "k", 1, out.data(), 40000), 0);
    EXPECT_EQ(+b->datatotal, 128 * 242);
    ASSERT_EQ(kxtest::check_trees(b.get()), "");
    (void)before;
}

TEST(KeyCalls, ZeroBlockIsNotOpen) {
    Block b;
    EXPECT_EQ(_cfind(b.get()), KX_E_NOTOPEN);
    int32_t k = 0;
    EXPECT_EQ(cfind(b.get(), 1, &k, 0, nullptr, 0), KX_E_NOTOPEN);
    EXPECT_EQ(cdupadd(b.get(), 1, &k, 0, nullptr, 0), KX_E_NOTOPEN);
    EXPECT_EQ(cnext(b.get(), 1, nullptr, 0), KX_E_NOTOPEN);
    Block zero;
    EXPECT_EQ(0, std::memcmp(b.get(), zero.get(), sizeof(KXCB))) << "the block is left byte for byte";
}

// Damaged nodes met during a descent give -30, never a crash.
TEST_P(Btree, DamagedNodesAreReported) {
    open_file(GetParam());
    ASSERT_EQ(strtwrit(b.get()), 0);
    for (int32_t k = 0; k < 400; ++k) ASSERT_EQ(add(k, 1, 60), 0);
    ASSERT_EQ(endwrit(b.get()), 0);
    ASSERT_EQ(+b->main_height, 2u);
    const uint32_t root = b->main_root;
    ASSERT_EQ(mclose(b.get()), 0);
    const auto good = kxtest::read_file(name);
    const bool big = GetParam() == 2;
    auto put16 = [&](std::vector<uint8_t>& f, size_t off, uint16_t v) {
        f[off] = static_cast<uint8_t>(big ? v >> 8 : v);
        f[off + 1] = static_cast<uint8_t>(big ? v : v >> 8);
    };
    auto put32 = [&](std::vector<uint8_t>& f, size_t off, uint32_t v) {
        for (int i = 0; i < 4; ++i) f[off + (big ? 3 - i : i)] = static_cast<uint8_t>(v >> (8 * i));
    };
    const size_t r = 1024 + 2048 * size_t{root};
    const int count = big ? good[r + 14] << 8 | good[r + 15] : good[r + 15] << 8 | good[r + 14];
    ASSERT_GE(count, 3);
    ASSERT_EQ(good[r + 18], 14) << "interior entries of 4-byte keys are 15 bytes";
    ASSERT_EQ(good[r + 18 + 15 * 2], 14);
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
    };
    const std::vector<Case> cases = {
        {"count above 290", [&](auto& f) { put16(f, r + 14, 291); }},
        {"negative count", [&](auto& f) { put16(f, r + 14, 0xFFFF); }},
        {"free bytes disagree", [&](auto& f) { put16(f, r + 16, 100); }},
        {"entry runs past the image", [&](auto& f) { f[r + 18] = 250; }},
        // The root's entries all have one size: the walk must still read
        // every length byte, not trust the run.
        {"count one beyond the entries", [&](auto& f) { put16(f, r + 14, static_cast<uint16_t>(count + 1)); }},
        {"an entry in a run one byte longer", [&](auto& f) { f[r + 18 + 15 * 2] = 15; }},
        {"an entry in a run one byte shorter", [&](auto& f) { f[r + 18 + 15 * 2] = 13; }},
        {"leftmost child beyond the file", [&](auto& f) { put32(f, r + 0, 999999); }},
        {"child of the wrong level", [&](auto& f) { put32(f, r + 0, root); }},
        {"root level disagrees with the height", [&](auto& f) { put16(f, r + 12, 5); }},
    };
    for (const auto& c : cases) {
        auto f = good;
        c.damage(f);
        kxtest::write_file(name, f);
        const KXROOTLIST user[] = {{1, 5, nullptr}, {2, 0, nullptr}, {0, 0, nullptr}};
        ASSERT_EQ(bopen(b.get(), name.c_str(), 'E', 2, user), 0) << c.what;
        int32_t k = 0;
        EXPECT_EQ(cfind(b.get(), 1, &k, 0, nullptr, 0), KX_E_DAMAGED) << c.what;
        EXPECT_EQ(cfirst(b.get(), 1, nullptr, 0), KX_E_DAMAGED) << c.what;
        EXPECT_EQ(cdupadd(b.get(), 1, &k, 9, nullptr, 0), KX_E_DAMAGED) << c.what;
        ASSERT_EQ(mclose(b.get()), 0);
    }
}

// A string key must end inside its entry; a search that compares with one
// that does not reports the node as damaged, however early the keys differ.
TEST_P(Btree, StringKeyRunningOutOfItsEntryIsReported) {
    open_file(GetParam());
    const char key[] = "abcdefghijklmnopqrst";
    ASSERT_EQ(cdupadd(b.get(), 2, key, 1, nullptr, 0), 0);
    ASSERT_EQ(+b->main_height, 1u);
    const uint32_t root = b->main_root;
    ASSERT_EQ(mclose(b.get()), 0);
    auto f = kxtest::read_file(name);
    const size_t e = 1024 + 2048 * size_t{root} + 18;
    ASSERT_EQ(f[e], 6 + sizeof key) << "the entry holds the key and its zero, no payload";
    ASSERT_EQ(f[e + 7 + sizeof key - 1], 0);
    f[e + 7 + sizeof key - 1] = 'u';
    kxtest::write_file(name, f);
    const KXROOTLIST user[] = {{1, 5, nullptr}, {2, 0, nullptr}, {0, 0, nullptr}};
    ASSERT_EQ(bopen(b.get(), name.c_str(), 'E', 2, user), 0);
    for (const char* probe : {"b", "abcdefghijklmnopqrsz", "a", "abcdefghij"}) {
        EXPECT_EQ(cfind(b.get(), 2, probe, 0, nullptr, 0), KX_E_DAMAGED) << probe;
    }
    ASSERT_EQ(mclose(b.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, Btree, ::testing::Values(1, 2));

// ---- Deletion and changing data ------------------------------------------

TEST_P(Btree, DeletingLeavesNeighboursAndEmptyLeavesInPlace) {
    open_file(GetParam());
    for (uint32_t rec : {4u, 6u}) ASSERT_EQ(add(7, rec), 0);
    const auto before = kxtest::read_file(name);
    int32_t k = 7;
    EXPECT_EQ(cdelete(b.get(), 1, &k, 5), KX_E_FAIL);
    EXPECT_EQ(cdelcur(b.get(), 1), 0) << "the cursor of the last add stands on (7, 6)";
    EXPECT_EQ(cfind(b.get(), 1, &k, 6, nullptr, 0), KX_E_FAIL) << "(7, 6) is gone";
    EXPECT_EQ(cfind(b.get(), 1, &k, 0, nullptr, 0), 1);
    EXPECT_EQ(+b->recval, 4u);

    // Fill several leaves, then empty one completely with the flag off: the
    // empty leaf stays in its chain and is passed over.
    ASSERT_EQ(strtwrit(b.get()), 0);
    for (int32_t key = 100; key < 400; ++key) ASSERT_EQ(add(key, 1, 60), 0);
    ASSERT_EQ(endwrit(b.get()), 0);
    const uint32_t nodes = b->next_node;
    // The keys of the second leaf.
    k = 100;
    ASSERT_EQ(cfind(b.get(), 1, &k, 1, nullptr, 0), 0);
    const int32_t first_leaf = fgetndenum(b.get(), 1);
    std::vector<int32_t> second;
    for (int32_t rc = 0; rc == 0; rc = cnext(b.get(), 1, nullptr, 0)) {
        if (fgetndenum(b.get(), 1) == first_leaf) continue;
        if (!second.empty() && fgetndenum(b.get(), 1) != fgetndenum(b.get(), 1)) break;
        second.push_back(key_of(b.get()));
        if (second.size() > 1 && key_of(b.get()) != second.front() + static_cast<int32_t>(second.size()) - 1) break;
    }
    ASSERT_GT(second.size(), 2u);
    ASSERT_EQ(cfind(b.get(), 1, &second[0], 1, nullptr, 0), 0);
    const int32_t leaf = fgetndenum(b.get(), 1);
    std::vector<int32_t> in_leaf;
    for (int32_t rc = 0; rc == 0 && fgetndenum(b.get(), 1) == leaf; rc = cnext(b.get(), 1, nullptr, 0))
        in_leaf.push_back(key_of(b.get()));
    for (int32_t key : in_leaf) ASSERT_EQ(cdelete(b.get(), 1, &key, 1), 0) << key;
    EXPECT_EQ(+b->next_node, nodes);
    ASSERT_EQ(kxtest::check_trees(b.get()), "");
    k = in_leaf.front();
    EXPECT_EQ(cfind(b.get(), 1, &k, 1, nullptr, 0), 2);
    EXPECT_EQ(key_of(b.get()), in_leaf.back() + 1) << "the search passes over the empty leaf";
    EXPECT_EQ(cprev(b.get(), 1, nullptr, 0), 0);
    EXPECT_EQ(key_of(b.get()), in_leaf.front() - 1) << "and so does a backward step";
    (void)before;
}

TEST_P(Btree, DatumSpanningTwoLeavesIsRemovedWhole) {
    open_file(GetParam());
    // Fill a leaf almost up, then add a datum of three pieces at its end so
    // that the split leaves pieces on both sides.
    const char filler[] = "a";
    std::vector<uint8_t> data(700, 0x5A);
    int32_t rec = 0;
    while (b->main_height == 1) ASSERT_EQ(cdupadd(b.get(), 2, filler, static_cast<uint32_t>(rec++), data.data(), 150), 0);
    const char key[] = "b";
    ASSERT_EQ(cdupadd(b.get(), 2, key, 1, data.data(), 700), 0);
    const char after[] = "c";
    ASSERT_EQ(cdupadd(b.get(), 2, after, 1, nullptr, 0), 0);
    // Find a layout where the datum's pieces lie in two leaves.
    ASSERT_EQ(cfind(b.get(), 2, key, 1, nullptr, 0), 0);
    const int32_t start_leaf = fgetndenum(b.get(), 2);
    ASSERT_EQ(cdelete(b.get(), 2, key, 1), 0);
    EXPECT_EQ(cfind(b.get(), 2, key, 1, nullptr, 0), 2);
    EXPECT_EQ(+b->current_key[0], 'c');
    ASSERT_EQ(kxtest::check_trees(b.get()), "");
    std::vector<uint8_t> out(1000);
    // The walk sees every filler and then "c": nothing of "b" is left.
    int32_t seen = 0;
    for (int32_t rc = cfirst(b.get(), 2, out.data(), 1000); rc == 0; rc = cnext(b.get(), 2, out.data(), 1000)) {
        EXPECT_NE(+b->current_key[0], 'b');
        ++seen;
    }
    EXPECT_EQ(seen, rec + 1);
    (void)start_leaf;
}

TEST_P(Btree, CursorAfterDeleteAtCursorStandsInTheGap) {
    open_file(GetParam());
    for (int32_t k = 1; k <= 50; ++k) ASSERT_EQ(add(k, 1, k % 2 ? 300 : 10), 0);
    int32_t k = 20;
    ASSERT_EQ(cfind(b.get(), 1, &k, 1, nullptr, 0), 0);
    ASSERT_EQ(cdelcur(b.get(), 1), 0);
    ASSERT_EQ(cnext(b.get(), 1, nullptr, 0), 0);
    EXPECT_EQ(key_of(b.get()), 21);
    ASSERT_EQ(cfind(b.get(), 1, &(k = 30), 1, nullptr, 0), 0);
    ASSERT_EQ(cdelcur(b.get(), 1), 0);
    ASSERT_EQ(cprev(b.get(), 1, nullptr, 0), 0);
    EXPECT_EQ(key_of(b.get()), 29);
    EXPECT_EQ(cgetcur(b.get(), 1, nullptr, 0), 0);
    EXPECT_EQ(key_of(b.get()), 29);
}

TEST_P(Btree, ChangeSaveAndChangeAtCursor) {
    open_file(GetParam());
    int32_t k = 9;
    std::vector<uint8_t> small(10, 1), large(900, 2), out(2000);
    EXPECT_EQ(cchange(b.get(), 1, &k, 1, small.data(), 10), KX_E_FAIL);
    EXPECT_EQ(cfirst(b.get(), 1, nullptr, 0), KX_E_FAIL) << "cchange adds nothing";
    EXPECT_EQ(csave(b.get(), 1, &k, 1, small.data(), 10), 0) << "csave adds";
    EXPECT_EQ(csave(b.get(), 1, &k, 1, large.data(), 900), 0) << "then replaces";
    ASSERT_EQ(cfind(b.get(), 1, &k, 1, out.data(), 2000), 0);
    EXPECT_EQ(+b->datatotal, 900);
    EXPECT_EQ(out[899], 2);
    EXPECT_EQ(cnext(b.get(), 1, nullptr, 0), KX_E_FAIL) << "one datum only";
    // The datum grows and shrinks in place through the cursor.
    ASSERT_EQ(cfind(b.get(), 1, &k, 1, nullptr, 0), 0);
    EXPECT_EQ(cchgcur(b.get(), 1, small.data(), 10), 0);
    EXPECT_EQ(fgetdbyte(b.get(), 1), 0x80);
    EXPECT_EQ(cchgcur(b.get(), 1, large.data(), 900), 0);
    EXPECT_EQ(fgetdbyte(b.get(), 1), 0) << "the cursor ends on piece 0 of the new datum";
    ASSERT_EQ(cgetcur(b.get(), 1, out.data(), 2000), 0);
    EXPECT_EQ(+b->datatotal, 900);
    EXPECT_EQ(cchange(b.get(), 1, &k, 1, nullptr, 0), 0);
    ASSERT_EQ(cfind(b.get(), 1, &k, 1, out.data(), 2000), 0);
    EXPECT_EQ(+b->datatotal, 0);
    ASSERT_EQ(kxtest::check_trees(b.get()), "");
    // A change with a payload beyond the limits is refused and keeps the old.
    std::vector<uint8_t> huge(40000);
    EXPECT_EQ(cchange(b.get(), 1, &k, 1, huge.data(), 40000), KX_E_ARG);
    EXPECT_EQ(cfind(b.get(), 1, &k, 1, out.data(), 2000), 0);
}

using SharedKeyCalls = kxtest::FileTest;

TEST_F(SharedKeyCalls, DeleteAtCursorNeedsTheKeyLock) {
    Block b;
    const std::string name = file("locks.kx");
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
    ASSERT_EQ(bcreate(b.get(), name.c_str(), 'S', 1, roots), 0);
    ASSERT_EQ(+b->open_mode, 'S');
    int32_t k = 3;
    ASSERT_EQ(cdupadd(b.get(), 1, &k, 1, nullptr, 0), 0);
    ASSERT_EQ(cfind(b.get(), 1, &k, 1, nullptr, 0), 0);
    EXPECT_EQ(cdelcur(b.get(), 1), KX_E_NOLOCK);
    EXPECT_EQ(+b->last_result, KX_E_NOLOCK);
    EXPECT_EQ(cchgcur(b.get(), 1, nullptr, 0), KX_E_NOLOCK);
    b->lock_bypass = 1;
    EXPECT_EQ(cdelcur(b.get(), 1), 0) << "the bypass option lifts the rule";
    b->lock_bypass = 0;
    // cdelete and csave lock the key themselves.
    ASSERT_EQ(csave(b.get(), 1, &k, 1, nullptr, 0), 0);
    ASSERT_EQ(csave(b.get(), 1, &k, 1, &k, 4), 0);
    EXPECT_EQ(cchange(b.get(), 1, &k, 1, nullptr, 0), 0);
    EXPECT_EQ(cdelete(b.get(), 1, &k, 1), 0);
    EXPECT_EQ(cfirst(b.get(), 1, nullptr, 0), KX_E_FAIL);
    EXPECT_EQ(mclose(b.get()), 0);
}

TEST_F(SharedKeyCalls, FirstAddAfterASharedOpenKeepsTheKeyOrder) {
    // The open of a shared file walks the lock tree; the key parameter must
    // come out of it in host order, or the first cdupadd (which takes the
    // key in the order the block names) stores a host key unconverted.
    for (int order : {1, 2}) {
        const std::string name = file("order" + std::to_string(order) + ".kx");
        const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
        Block b;
        ASSERT_EQ(bcreate(b.get(), name.c_str(), 'S', order, roots), 0);
        for (int32_t k : {10, 20}) ASSERT_EQ(cdupadd(b.get(), 1, &k, 0, nullptr, 0), 0);
        ASSERT_EQ(mclose(b.get()), 0);
        ASSERT_EQ(bopen(b.get(), name.c_str(), 'S', 2, roots), 0);
        int32_t k = 15;
        ASSERT_EQ(cdupadd(b.get(), 1, &k, 0, nullptr, 0), 0);
        EXPECT_EQ(k, 15) << "the caller's key is left as it was";
        std::vector<int32_t> keys;
        for (int32_t rc = cfirst(b.get(), 1, nullptr, 0); rc == 0; rc = cnext(b.get(), 1, nullptr, 0))
            keys.push_back(key_of(b.get()));
        EXPECT_EQ(keys, (std::vector<int32_t>{10, 15, 20})) << "byte order " << order;
        ASSERT_EQ(mclose(b.get()), 0);
    }
}
