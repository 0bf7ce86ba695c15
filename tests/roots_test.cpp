// Roots with trees of their own: addroot and droproot, checked against the
// header and nodes as stored, against a model of every root's entries, and
// across processes sharing a file.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "support/testing.h"
#include "support/tree_check.h"
#include "support/worker.h"

using kxtest::Block;

namespace {

constexpr size_t SlotMapAt = 248;
constexpr size_t SlotHeightsAt = 300;
constexpr size_t SlotRootsAt = 350;
constexpr size_t FreeHeadAt = 60;
constexpr uint32_t NoNode = 0xFFFFFFFFu;

[[maybe_unused]] uint32_t seed_from_env(uint32_t fallback) {
    const char* env = std::getenv("KINDEX_SEED");
    return env ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : fallback;
}

// A node header as stored in the file.
struct RawNode {
    uint32_t leftmost, right, left;
    int16_t level, count, free;
};

class RootsTest : public kxtest::FileTest, public ::testing::WithParamInterface<int> {
protected:
    int order() const { return GetParam(); }
    void SetUp() override {
        FileTest::SetUp();
        name = file("roots.kx");
        ASSERT_EQ(bcreate(b.get(), name.c_str(), 'E', order(), roots), 0);
    }
    void TearDown() override {
        if (b->state == 'O') mclose(b.get());
        FileTest::TearDown();
    }
    uint32_t word(const std::vector<uint8_t>& f, size_t off) const {
        return order() == 2 ? kxtest::be32(f, off) : kxtest::le32(f, off);
    }
    int16_t half(const std::vector<uint8_t>& f, size_t off) const {
        const uint16_t v = order() == 2 ? static_cast<uint16_t>(f.at(off) << 8 | f.at(off + 1))
                                        : static_cast<uint16_t>(f.at(off) | f.at(off + 1) << 8);
        return static_cast<int16_t>(v);
    }
    RawNode raw_node(uint32_t n) {
        EXPECT_EQ(cflush(b.get()), 0);
        const auto f = kxtest::read_file(name);
        const size_t at = 1024 + 2048 * size_t{n};
        return RawNode{word(f, at), word(f, at + 4), word(f, at + 8), half(f, at + 12), half(f, at + 14),
                       half(f, at + 16)};
    }
    std::vector<uint8_t> header() {
        EXPECT_EQ(cflush(b.get()), 0);
        auto f = kxtest::read_file(name);
        f.resize(558);
        return f;
    }
    // The free list from the block's head, in order.
    std::vector<uint32_t> free_list() {
        std::vector<uint32_t> out;
        EXPECT_EQ(cflush(b.get()), 0);
        const auto f = kxtest::read_file(name);
        for (uint32_t n = word(f, FreeHeadAt); n != NoNode && out.size() <= +b->node_count;) {
            out.push_back(n);
            n = word(f, 1024 + 2048 * size_t{n} + 4);
        }
        return out;
    }
    // Adds string keys "k<i>" (record value i) with a payload of `len`
    // bytes to a string root.
    void add_keys(int32_t root, int first, int count, int len = 40) {
        for (int i = first; i < first + count; ++i) {
            const std::string key = "k" + std::to_string(100000 + i);
            const std::string payload(static_cast<size_t>(len), static_cast<char>('a' + i % 26));
            ASSERT_EQ(cdupadd(b.get(), root, key.c_str(), static_cast<uint32_t>(i), payload.data(), len), 0)
                << root << " " << i;
        }
    }
    // The (key, record value) pairs of a string root, in order.
    std::vector<std::pair<std::string, uint32_t>> walk(int32_t root) {
        std::vector<std::pair<std::string, uint32_t>> out;
        char buf[600];
        for (int32_t r = cfirst(b.get(), root, buf, sizeof buf); r == 0; r = cnext(b.get(), root, buf, sizeof buf)) {
            out.emplace_back(reinterpret_cast<const char*>(b->current_key), +b->recval);
            if (out.size() > 100000) break;
        }
        return out;
    }

    // Nodes of every tree in use (main tree and every slot whose height is
    // not 0, mapped or not) plus the free list: every node below the
    // high-water mark is in exactly one of them.  "" when so.
    std::string account_nodes() {
        EXPECT_EQ(cflush(b.get()), 0);
        const auto f = kxtest::read_file(name);
        std::set<uint32_t> seen;
        auto take = [&](uint32_t n, const std::string& what) -> std::string {
            if (n >= +b->next_node) return what + ": node " + std::to_string(n) + " above the high-water mark";
            if (!seen.insert(n).second) return what + ": node " + std::to_string(n) + " reached twice";
            return "";
        };
        auto tree = [&](uint32_t top, uint32_t height, const std::string& what) -> std::string {
            uint32_t first = top;
            for (uint32_t level = height; level-- > 0;) {
                uint32_t n = first;
                for (size_t hops = 0; n != NoNode; ++hops) {
                    if (hops > +b->node_count) return what + ": cycle";
                    if (std::string e = take(n, what); !e.empty()) return e;
                    const size_t at = 1024 + 2048 * size_t{n};
                    if (half(f, at + 12) != static_cast<int16_t>(level)) return what + ": level wrong";
                    if (n == first) first = word(f, at);
                    n = word(f, at + 4);
                }
            }
            return "";
        };
        if (std::string e = tree(+b->main_root, +b->main_height, "main tree"); !e.empty()) return e;
        for (int s = 1; s <= 50; ++s) {
            if (b->slot_heights[s - 1] == 0) continue;
            std::string e = tree(+b->slot_roots[s - 1], b->slot_heights[s - 1], "slot " + std::to_string(s));
            if (!e.empty()) return e;
        }
        for (uint32_t n = +b->free_head; n != NoNode; n = word(f, 1024 + 2048 * size_t{n} + 4))
            if (std::string e = take(n, "free list"); !e.empty()) return e;
        // Node 0, once released, is marked free and kept off the list.
        if (seen.count(0) == 0 && half(f, 1024 + 12) == -1) seen.insert(0);
        if (seen.size() != +b->next_node)
            return std::to_string(+b->next_node - seen.size()) + " nodes belong to no tree and are not free";
        return "";
    }

    const KXROOTLIST* roots = nullptr;
    Block b;
    std::string name;
};

INSTANTIATE_TEST_SUITE_P(ByteOrder, RootsTest, ::testing::Values(1, 2),
                         [](const auto& i) { return i.param == 1 ? "little" : "big"; });

TEST_P(RootsTest, AddRootMakesAnEmptyLeafAndASecondRootSharesIt) {
    ASSERT_EQ(+b->next_node, 1u);
    ASSERT_EQ(addroot(b.get(), 46, 46), 0);
    EXPECT_EQ(b->slot_map[45], 46);
    EXPECT_EQ(b->slot_heights[45], 1);
    EXPECT_EQ(+b->slot_roots[45], 1u);
    // The header reached the file at once.
    const auto f = kxtest::read_file(name);
    EXPECT_EQ(f.at(SlotMapAt + 45), 46);
    EXPECT_EQ(f.at(SlotHeightsAt + 45), 1);
    EXPECT_EQ(word(f, SlotRootsAt + 4 * 45), 1u);
    const RawNode leaf = raw_node(1);
    EXPECT_EQ(leaf.leftmost, 0u);
    EXPECT_EQ(leaf.right, NoNode);
    EXPECT_EQ(leaf.left, NoNode);
    EXPECT_EQ(leaf.level, 0);
    EXPECT_EQ(leaf.count, 0);
    EXPECT_EQ(leaf.free, 2030);

    const uint32_t high = +b->next_node;
    ASSERT_EQ(addroot(b.get(), 47, 46), 0);
    EXPECT_EQ(+b->next_node, high) << "the slot's tree already exists";
    EXPECT_EQ(b->slot_map[46], 46);
    EXPECT_EQ(header().at(SlotMapAt + 46), 46);
    // Mapping a root to the slot it already uses changes nothing.
    ASSERT_EQ(addroot(b.get(), 47, 46), 0);
    EXPECT_EQ(+b->next_node, high);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
}

TEST_P(RootsTest, OutOfRangeArgumentsChangeNothing) {
    struct Case {
        int32_t root, slot;
    };
    const Case cases[] = {{46, 0}, {46, 51}, {46, -1}, {0, 46}, {51, 46}, {-3, 1}};
    const auto before = header();
    const uint32_t high = +b->next_node;
    for (const Case& c : cases) {
        EXPECT_EQ(addroot(b.get(), c.root, c.slot), KX_E_ARG) << c.root << " " << c.slot;
        EXPECT_EQ(+b->last_result, KX_E_ARG);
    }
    EXPECT_EQ(+b->next_node, high);
    auto after = header();
    // Only the change counter of the write sections moved.
    std::fill(after.begin(), after.begin() + 4, 0);
    auto expect = before;
    std::fill(expect.begin(), expect.begin() + 4, 0);
    EXPECT_EQ(after, expect);

    for (uint32_t root : {0u, 51u, 0x80000000u}) {
        b->check_reason = 0;
        EXPECT_EQ(droproot(b.get(), root), KX_E_ARG) << root;
        EXPECT_EQ(+b->check_reason, -201);
    }
    Block closed;
    EXPECT_EQ(addroot(closed.get(), 1, 1), KX_E_SECTION);
    EXPECT_EQ(droproot(closed.get(), 1), KX_E_SECTION);
    EXPECT_EQ(addroot(nullptr, 1, 1), KX_E_SECTION);
}

TEST_P(RootsTest, ReadOnlyFileAndDamagedSlotMap) {
    ASSERT_EQ(addroot(b.get(), 46, 46), 0);
    ASSERT_EQ(mclose(b.get()), 0);
    ASSERT_EQ(bopen(b.get(), name.c_str(), 'E', 1, nullptr), 0);
    EXPECT_EQ(addroot(b.get(), 47, 46), KX_E_READONLY);
    EXPECT_EQ(droproot(b.get(), 46), KX_E_READONLY);
    EXPECT_EQ(b->slot_map[46], 0);
    EXPECT_EQ(b->slot_map[45], 46);
    ASSERT_EQ(mclose(b.get()), 0);
    // A map entry beyond the slots names no tree: droproot reports the
    // damage, addroot puts a sound entry in its place.
    kxtest::patch_file(name, SlotMapAt + 9, {77});
    ASSERT_EQ(copen(b.get(), name.c_str()), 0);
    b->check_reason = 0;
    EXPECT_EQ(droproot(b.get(), 10), KX_E_DAMAGED);
    EXPECT_EQ(+b->check_reason, -201);
    ASSERT_EQ(addroot(b.get(), 10, 46), 0);
    add_keys(10, 0, 3);
    EXPECT_EQ(walk(10).size(), 3u);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
}

TEST_P(RootsTest, DropOfATallTreeFreesEveryNodeLeavesFirst) {
    ASSERT_EQ(addroot(b.get(), 46, 46), 0);
    // Entries of about 110 bytes: three leaves under one root node.
    int added = 0;
    for (; added < 2000; ++added) {
        add_keys(46, added, 1, 100);
        if (b->slot_heights[45] == 2) {
            // Fill on until the third leaf appears.
            const RawNode top = raw_node(+b->slot_roots[45]);
            if (top.count == 2) break;
        }
    }
    ASSERT_EQ(b->slot_heights[45], 2);
    const uint32_t top = +b->slot_roots[45];
    const RawNode t = raw_node(top);
    ASSERT_EQ(t.count, 2);
    // The leaves from left to right.
    std::vector<uint32_t> leaves{t.leftmost};
    for (int i = 0; i < 2; ++i) leaves.push_back(raw_node(leaves.back()).right);
    ASSERT_EQ(raw_node(leaves.back()).right, NoNode);
    const auto free_before = free_list();
    ASSERT_EQ(kxtest::check_trees(b.get()), "");

    ASSERT_EQ(droproot(b.get(), 46), 0);
    EXPECT_EQ(b->slot_map[45], 0);
    EXPECT_EQ(+b->slot_roots[45], 0u);
    EXPECT_EQ(b->slot_heights[45], 0);
    std::vector<uint32_t> expect{top, leaves[2], leaves[1], leaves[0]};
    expect.insert(expect.end(), free_before.begin(), free_before.end());
    EXPECT_EQ(free_list(), expect) << "the last node released heads the list";
    for (uint32_t n : {top, leaves[0], leaves[1], leaves[2]}) {
        const RawNode r = raw_node(n);
        EXPECT_EQ(r.level, -1) << n;
        EXPECT_EQ(r.count, 0) << n;
    }
    const auto h = header();
    EXPECT_EQ(h.at(SlotMapAt + 45), 0);
    EXPECT_EQ(word(h, SlotRootsAt + 4 * 45), 0u);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
    // The freed nodes are used again by the next tree.
    ASSERT_EQ(addroot(b.get(), 46, 46), 0);
    EXPECT_EQ(+b->slot_roots[45], top);
}

TEST_P(RootsTest, AfterDropTheRootLivesInTheMainTreeAgain) {
    ASSERT_EQ(addroot(b.get(), 46, 46), 0);
    add_keys(46, 0, 30);
    add_keys(45, 0, 5);
    ASSERT_EQ(droproot(b.get(), 46), 0);
    char buf[64];
    EXPECT_EQ(cfind(b.get(), 46, "k100003", 3, buf, sizeof buf), KX_E_FAIL) << "the slot's entries went with it";
    EXPECT_EQ(cfirst(b.get(), 46, buf, sizeof buf), KX_E_FAIL);
    add_keys(46, 7, 3);
    EXPECT_EQ(cfind(b.get(), 46, "k100008", 8, buf, sizeof buf), 0);
    EXPECT_EQ(+b->current_slot, 0u) << "found by a descent of the main tree";
    EXPECT_EQ(walk(45).size(), 5u);
    EXPECT_EQ(walk(46).size(), 3u);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
}

TEST_P(RootsTest, AddRootRefusesARootThatHoldsEntries) {
    add_keys(12, 0, 4);
    const uint32_t high = +b->next_node;
    EXPECT_EQ(addroot(b.get(), 12, 5), KX_E_CHGNDX);
    EXPECT_EQ(b->slot_map[11], 0);
    EXPECT_EQ(+b->slot_roots[4], 0u);
    EXPECT_EQ(+b->next_node, high);
    EXPECT_EQ(walk(12).size(), 4u);
    // Once the root is empty it may move.
    for (int i = 0; i < 4; ++i) {
        const std::string key = "k" + std::to_string(100000 + i);
        ASSERT_EQ(cdelete(b.get(), 12, key.c_str(), static_cast<uint32_t>(i)), 0);
    }
    ASSERT_EQ(addroot(b.get(), 12, 5), 0);
    add_keys(12, 10, 3);
    EXPECT_EQ(walk(12).size(), 3u);
    // A root in a slot tree with entries is refused a move to another slot.
    EXPECT_EQ(addroot(b.get(), 12, 6), KX_E_CHGNDX);
    EXPECT_EQ(b->slot_map[11], 5);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
}

TEST_P(RootsTest, DropOfOneRootOfASharedSlotKeepsTheOthers) {
    // Either root of the shared slot may go first; the other keeps its
    // entries and the slot's tree stays until the last root leaves it.
    for (const auto& [first, second] : {std::pair{47, 46}, std::pair{46, 47}}) {
        SCOPED_TRACE(first);
        ASSERT_EQ(addroot(b.get(), 46, 46), 0);
        ASSERT_EQ(addroot(b.get(), 47, 46), 0);
        add_keys(46, 0, 120);
        add_keys(47, 500, 120);
        add_keys(45, 0, 10);
        ASSERT_GE(b->slot_heights[45], 2) << "a tree of several leaves";
        const auto kept = walk(second);
        ASSERT_EQ(kept.size(), 120u);
        ASSERT_EQ(droproot(b.get(), static_cast<uint32_t>(first)), 0);
        EXPECT_EQ(b->slot_map[first - 1], 0);
        EXPECT_EQ(b->slot_map[second - 1], 46);
        EXPECT_NE(+b->slot_roots[45], 0u);
        EXPECT_EQ(walk(first).size(), 0u);
        EXPECT_EQ(walk(second), kept);
        EXPECT_EQ(walk(45).size(), 10u);
        EXPECT_EQ(kxtest::check_trees(b.get()), "");
        EXPECT_EQ(account_nodes(), "");
        // The dropped root lives in the main tree again, the other in the slot.
        add_keys(first, 900, 50);
        add_keys(second, 900, 50);
        EXPECT_EQ(walk(first).size(), 50u);
        EXPECT_EQ(walk(second).size(), 170u);
        EXPECT_EQ(kxtest::check_trees(b.get()), "");
        // Dropping the first again takes out what it has in the main tree.
        ASSERT_EQ(droproot(b.get(), static_cast<uint32_t>(first)), 0);
        EXPECT_EQ(walk(first).size(), 0u);
        // The last root of the slot frees the tree.
        ASSERT_EQ(droproot(b.get(), static_cast<uint32_t>(second)), 0);
        EXPECT_EQ(+b->slot_roots[45], 0u);
        EXPECT_EQ(walk(second).size(), 0u);
        EXPECT_EQ(walk(45).size(), 10u);
        EXPECT_EQ(kxtest::check_trees(b.get()), "");
        EXPECT_EQ(account_nodes(), "");
        ASSERT_EQ(droproot(b.get(), 45), 0);
    }
}

TEST_P(RootsTest, DropOfAMainTreeRootKeepsTheOtherRootsAndLaterAddsWork) {
    ASSERT_EQ(csetfile(b.get(), 0), 0);
    // Roots 1..3 interleave in the main tree over many leaves; the middle
    // one goes, and emptied leaves stay or are freed as cdelete leaves them.
    for (const uint32_t merge : {0u, 1u}) {
        SCOPED_TRACE(merge);
        b->merge_on_delete = merge;
        for (int i = 0; i < 300; ++i)
            for (int32_t r : {1, 2, 3}) add_keys(r, i, 1, 30 + i % 50);
        ASSERT_GE(+b->main_height, 2u);
        const auto one = walk(1), three = walk(3);
        const uint32_t high = +b->next_node;
        ASSERT_EQ(droproot(b.get(), 2), 0);
        EXPECT_EQ(walk(2).size(), 0u);
        EXPECT_EQ(walk(1), one);
        EXPECT_EQ(walk(3), three);
        EXPECT_EQ(+b->next_node, high);
        EXPECT_EQ(kxtest::check_trees(b.get()), "");
        EXPECT_EQ(account_nodes(), "");
        for (int i = 300; i < 600; ++i)
            for (int32_t r : {1, 2, 3}) add_keys(r, i, 1, 30 + i % 50);
        EXPECT_EQ(walk(1).size(), 600u);
        EXPECT_EQ(walk(2).size(), 300u);
        EXPECT_EQ(walk(3).size(), 600u);
        EXPECT_EQ(kxtest::check_trees(b.get()), "");
        // Dropping every root leaves an empty main tree that still takes
        // adds; with merging it is a single leaf again.
        for (uint32_t r : {1u, 2u, 3u}) ASSERT_EQ(droproot(b.get(), r), 0);
        if (merge) {
            EXPECT_EQ(+b->main_height, 1u);
        }
        EXPECT_EQ(account_nodes(), "");
        add_keys(2, 0, 5);
        EXPECT_EQ(walk(2).size(), 5u);
        EXPECT_EQ(kxtest::check_trees(b.get()), "");
        ASSERT_EQ(droproot(b.get(), 2), 0);
    }
}

TEST_P(RootsTest, DropInsideATransaction) {
    ASSERT_EQ(addroot(b.get(), 46, 46), 0);
    add_keys(46, 0, 40);
    add_keys(5, 0, 40, 300);
    const auto slot_entries = walk(46), main_entries = walk(5);
    ASSERT_EQ(csetfile(b.get(), 4), 0);
    ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    // The undo log does not record the slot map: a rollback could not take
    // the tree's release back.
    EXPECT_EQ(droproot(b.get(), 46), KX_E_LOGPENDING);
    EXPECT_EQ(b->slot_map[45], 46);
    EXPECT_EQ(walk(46), slot_entries);
    // A root of the main tree loses its entries through the deletion path,
    // which the log records: the rollback brings them back.
    ASSERT_EQ(droproot(b.get(), 5), 0);
    EXPECT_EQ(walk(5).size(), 0u);
    ASSERT_EQ(transroll(b.get(), nullptr, 0, nullptr), 0);
    EXPECT_EQ(walk(5), main_entries);
    EXPECT_EQ(walk(46), slot_entries);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
    // With no transaction open the slot's tree goes.
    ASSERT_EQ(droproot(b.get(), 46), 0);
    EXPECT_EQ(walk(46).size(), 0u);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
    EXPECT_EQ(account_nodes(), "");
}

TEST_P(RootsTest, DamagedLeftmostEdgeIsReportedAndFreesNothing) {
    ASSERT_EQ(addroot(b.get(), 46, 46), 0);
    add_keys(46, 0, 120);
    ASSERT_EQ(b->slot_heights[45], 2);
    const uint32_t top = +b->slot_roots[45];
    const uint32_t child = raw_node(top).leftmost;
    ASSERT_EQ(mclose(b.get()), 0);
    // The root node's leftmost child is made to look like an interior node.
    const size_t at = 1024 + 2048 * size_t{child} + 12;
    kxtest::patch_file(name, at, order() == 2 ? std::vector<uint8_t>{0, 5} : std::vector<uint8_t>{5, 0});
    ASSERT_EQ(copen(b.get(), name.c_str()), 0);
    const auto free_before = free_list();
    EXPECT_EQ(droproot(b.get(), 46), KX_E_DAMAGED);
    EXPECT_EQ(+b->check_reason, -211);
    EXPECT_EQ(+b->check_position, static_cast<int32_t>(child));
    EXPECT_EQ(free_list(), free_before);
    EXPECT_EQ(+b->slot_roots[45], top) << "a tree that cannot be walked stays mapped";
}

TEST_P(RootsTest, ReleasedNodeZeroNeverRootsAnotherTree) {
    ASSERT_EQ(csetfile(b.get(), 0), 0);
    b->merge_on_delete = 1;
    // The main tree splits: node 0 becomes its leftmost leaf, and emptying
    // that leaf releases it.
    add_keys(1, 0, 200, 60);
    ASSERT_GE(+b->main_height, 2u);
    ASSERT_NE(+b->main_root, 0u);
    for (int i = 0; i < 200 && raw_node(0).level != -1; ++i) {
        const std::string key = "k" + std::to_string(100000 + i);
        ASSERT_EQ(cdelete(b.get(), 1, key.c_str(), static_cast<uint32_t>(i)), 0);
    }
    ASSERT_EQ(raw_node(0).level, -1);
    const auto free = free_list();
    EXPECT_EQ(std::count(free.begin(), free.end(), 0u), 0) << "node 0 stays off the free list";
    // Slot trees made and grown now never start at node 0 ...
    for (int32_t root : {46, 47, 48}) {
        ASSERT_EQ(addroot(b.get(), root, root), 0);
        add_keys(root, 0, 150, 60);
        EXPECT_NE(+b->slot_roots[root - 1], 0u) << root;
        EXPECT_GE(b->slot_heights[root - 1], 2) << root;
    }
    // ... and the transaction log finds nodes for its records when deletes
    // release leaves.
    ASSERT_EQ(csetfile(b.get(), 4), 0);
    ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    for (int i = 0; i < 150; ++i) {
        const std::string key = "k" + std::to_string(100000 + i);
        ASSERT_EQ(cdelete(b.get(), 47, key.c_str(), static_cast<uint32_t>(i)), 0) << i;
    }
    ASSERT_EQ(transroll(b.get(), nullptr, 0, nullptr), 0);
    EXPECT_EQ(walk(47).size(), 150u);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
    EXPECT_EQ(account_nodes(), "");
}

// Random adds, deletes, addroot and droproot over roots of the main tree and
// of shared and private slots, against a model of every root's entries and
// of the slot map.  KINDEX_ROOTS_LONG=1 runs long sequences.
class RootsModel : public RootsTest {};

INSTANTIATE_TEST_SUITE_P(ByteOrder, RootsModel, ::testing::Values(1, 2),
                         [](const auto& i) { return i.param == 1 ? "little" : "big"; });

const KXROOTLIST kModelRoots[] = {{4, 5, nullptr}, {0, 0, nullptr}};

TEST_P(RootsModel, RandomSequencesMatchTheModel) {
    ASSERT_EQ(mclose(b.get()), 0);
    ciunlink(name.c_str());
    ASSERT_EQ(bcreate(b.get(), name.c_str(), 'E', order(), kModelRoots), 0);
    ASSERT_EQ(csetfile(b.get(), 0), 0);
    const bool long_run = std::getenv("KINDEX_ROOTS_LONG") != nullptr;
    const uint32_t seed = seed_from_env(20240611u + static_cast<uint32_t>(order()));
    SCOPED_TRACE("seed " + std::to_string(seed) + " (KINDEX_SEED repeats it)");
    std::mt19937 rng(seed);
    const int32_t model_roots[] = {1, 2, 3, 4, 46, 47};
    const int32_t slots[] = {1, 2, 46, 47};
    // Key number k (0..399) and record value; the key bytes follow from k so
    // that their order in the root is the order of k.
    using Key = std::pair<uint32_t, uint32_t>;
    std::map<int32_t, std::map<Key, std::string>> model;
    std::map<int32_t, int32_t> mapping;  // root -> slot
    auto key_of = [&](int32_t root, uint32_t k) {
        if (root == 4) {
            const auto v = static_cast<int32_t>(k) - 200;
            return std::string(reinterpret_cast<const char*>(&v), 4);
        }
        char text[16];
        std::snprintf(text, sizeof text, "key%04u", k);
        return std::string(text);
    };
    auto number_of = [&](int32_t root) -> uint32_t {
        if (root == 4) {
            int32_t v = 0;
            std::memcpy(&v, b->current_key, 4);
            return static_cast<uint32_t>(v + 200);
        }
        return static_cast<uint32_t>(std::strtoul(reinterpret_cast<const char*>(b->current_key) + 3, nullptr, 10));
    };
    auto check_all = [&](int step) {
        ASSERT_EQ(kxtest::check_trees(b.get()), "") << "step " << step;
        ASSERT_EQ(account_nodes(), "") << "step " << step;
        for (int32_t r : model_roots) {
            ASSERT_EQ(b->slot_map[r - 1], mapping[r]) << "root " << r << " step " << step;
            std::vector<uint8_t> buf(4000);
            auto it = model[r].begin();
            int32_t rc = cfirst(b.get(), r, buf.data(), static_cast<int32_t>(buf.size()));
            for (; rc == 0; rc = cnext(b.get(), r, buf.data(), static_cast<int32_t>(buf.size())), ++it) {
                ASSERT_NE(it, model[r].end()) << "root " << r << " has more entries, step " << step;
                ASSERT_EQ(Key(number_of(r), +b->recval), it->first) << "root " << r << " step " << step;
                ASSERT_EQ(std::string(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(+b->datalen)),
                          it->second)
                    << "root " << r << " step " << step;
            }
            ASSERT_EQ(rc, KX_E_FAIL);
            ASSERT_EQ(it, model[r].end()) << "root " << r << " has fewer entries, step " << step;
        }
    };
    const int steps = long_run ? 400000 : 20000;
    for (int step = 0; step < steps; ++step) {
        const int32_t r = model_roots[rng() % std::size(model_roots)];
        // An empty root is often given another slot; otherwise adds win over
        // deletes, and a root's tree is dropped now and then.
        uint32_t op = rng() % 1000;
        if (model[r].empty() && rng() % 3 == 0) op = 900;
        if (op < 620) {
            const uint32_t k = rng() % 400;
            const auto rec = static_cast<uint32_t>(rng() % 3);
            const std::string key = key_of(r, k);
            const size_t len = rng() % 8 == 0 ? rng() % 900 : rng() % 60;
            std::string payload(len, 0);
            for (char& c : payload) c = static_cast<char>('a' + rng() % 26);
            const int32_t rc = cdupadd(b.get(), r, key.c_str(), rec, payload.data(), static_cast<int32_t>(len));
            const bool exists = model[r].count(Key(k, rec)) != 0;
            ASSERT_EQ(rc, exists ? KX_E_FAIL : 0) << "add, step " << step;
            if (!exists) model[r][Key(k, rec)] = payload;
        } else if (op < 850) {
            if (model[r].empty()) continue;
            auto it = model[r].begin();
            std::advance(it, static_cast<long>(rng() % model[r].size()));
            const std::string key = key_of(r, it->first.first);
            ASSERT_EQ(cdelete(b.get(), r, key.c_str(), it->first.second), 0) << "delete, step " << step;
            model[r].erase(it);
        } else if (op < 870) {
            b->merge_on_delete = rng() % 2;
        } else if (op < 995) {
            const int32_t s = rng() % 3 == 0 ? r : slots[rng() % std::size(slots)];
            const int32_t rc = addroot(b.get(), r, s);
            if (mapping[r] == s) {
                ASSERT_EQ(rc, 0) << "addroot to the same slot, step " << step;
            } else if (!model[r].empty()) {
                ASSERT_EQ(rc, KX_E_CHGNDX) << "addroot of a root with entries, step " << step;
            } else {
                ASSERT_EQ(rc, 0) << "addroot, step " << step;
                mapping[r] = s;
            }
        } else {
            ASSERT_EQ(droproot(b.get(), static_cast<uint32_t>(r)), 0) << "droproot, step " << step;
            model[r].clear();
            mapping[r] = 0;
        }
        if (step % 250 == 249) check_all(step);
        if (HasFatalFailure()) return;
    }
    check_all(steps);
}

// Processes sharing the file see each other's roots come and go.
class RootsShared : public ::testing::TestWithParam<int> {
protected:
    void TearDown() override {
        if (b->state == 'O') mclose(b.get());
    }
    kxtest::MemoryDir dir;
    Block b;
};

INSTANTIATE_TEST_SUITE_P(ByteOrder, RootsShared, ::testing::Values(1, 2),
                         [](const auto& i) { return i.param == 1 ? "little" : "big"; });

TEST_P(RootsShared, AnotherProcessSeesTheSlotTreeAndItsRelease) {
    const std::string path = dir.path("shared.kx");
    ASSERT_EQ(bcreate(b.get(), path.c_str(), 'E', GetParam(), nullptr), 0);
    ASSERT_EQ(mclose(b.get()), 0);
    ASSERT_EQ(bopen(b.get(), path.c_str(), 'S', 2, nullptr), 0);
    ASSERT_NE(b->open_mode, 'E');
    kxtest::Worker w;
    ASSERT_EQ(w.run("open " + path + " S 2").rc, 0);
    // The other process reads root 46 from the main tree first.
    ASSERT_EQ(w.run("cdupadd 45 before 1 x").rc, 0);
    ASSERT_EQ(w.run("walk 46").rc, KX_E_FAIL);
    ASSERT_EQ(addroot(b.get(), 46, 46), 0);
    for (int i = 0; i < 20; ++i) {
        const std::string key = "s" + std::to_string(10 + i);
        ASSERT_EQ(cdupadd(b.get(), 46, key.c_str(), static_cast<uint32_t>(i), "p", 1), 0);
    }
    // Its adds go to the slot's tree, which this process sees.
    ASSERT_EQ(w.run("cdupadd 46 s99 7 q").rc, 0);
    kxtest::Reply seen = w.run("walk 46");
    EXPECT_EQ(seen.rc, KX_E_FAIL);
    EXPECT_EQ(seen.values.size(), 21u);
    char buf[16];
    EXPECT_EQ(cfind(b.get(), 46, "s99", 7, buf, sizeof buf), 0);
    EXPECT_EQ(+b->current_slot, 46u);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");

    // The other process drops the tree; this one finds root 46 empty, in the
    // main tree again, beside root 45's entry.
    ASSERT_EQ(w.run("droproot 46").rc, 0);
    EXPECT_EQ(cfirst(b.get(), 46, buf, sizeof buf), KX_E_FAIL);
    EXPECT_EQ(b->slot_map[45], 0);
    EXPECT_EQ(+b->slot_roots[45], 0u);
    ASSERT_EQ(cdupadd(b.get(), 46, "after", 3, "z", 1), 0);
    seen = w.run("walk 46");
    ASSERT_EQ(seen.values.size(), 1u);
    EXPECT_EQ(seen.values[0].substr(0, 8), "after/3/");
    EXPECT_EQ(w.run("walk 45").values.size(), 1u);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
    EXPECT_EQ(w.run("close").rc, 0);
}

}  // namespace
