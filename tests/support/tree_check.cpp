#include "support/tree_check.h"

#include <set>
#include <sstream>
#include <vector>

#include "btree/keys.h"
#include "btree/node.h"
#include "btree/search.h"
#include "frame/control_block.h"
#include "indexfile/nodecache.h"

namespace kxtest {

namespace {

struct Checker {
    KXCB* cb;
    std::set<uint32_t> seen;
    std::ostringstream why;
    kx::WorkImage img{};

    bool fail(const std::string& s) {
        if (why.str().empty()) why << s;
        return false;
    }

    bool read(uint32_t n, kx::EntryIndex& ix) {
        if (n >= cb->node_count) return fail("node " + std::to_string(n) + " beyond the node count");
        if (n >= cb->next_node) return fail("node " + std::to_string(n) + " above the high-water mark");
        if (kx::cacheget(cb, img, n) != 0) return fail("node " + std::to_string(n) + " unreadable");
        if (!ix.build(cb, img.bytes, true)) return fail("node " + std::to_string(n) + " damaged");
        return true;
    }

    // Entry order of two entries (keys in file order).
    int32_t order(const uint8_t* a, const uint8_t* b) {
        const uint8_t f = kx::order_flag(cb);
        return kx::entry_compare(cb, a[1], a + 7, kx::get32(a + 3, f), a[2], b[1], b + 7, kx::get32(b + 3, f),
                                 b[2], true);
    }

    bool check_tree(uint32_t root_node, uint32_t height, TreeStats* stats) {
        if (height < 1 || height > 22) return fail("height " + std::to_string(height));
        kx::EntryIndex ix;
        uint32_t first = root_node;
        std::vector<std::vector<uint8_t>> leaf_entries;  // leaf entry bytes, for the find check
        for (int32_t level = static_cast<int32_t>(height) - 1; level >= 0; --level) {
            uint32_t n = first, prev = kx::NoNode;
            std::vector<uint8_t> last;
            uint32_t next_first = kx::NoNode;
            uint32_t prev_last_child = kx::NoNode;
            int64_t guard = 0;
            while (n != kx::NoNode) {
                if (++guard > static_cast<int64_t>(cb->node_count)) return fail("cycle on a level");
                if (!seen.insert(n).second) return fail("node " + std::to_string(n) + " reached twice");
                if (!read(n, ix)) return false;
                const uint8_t* x = img.bytes;
                if (kx::node::level(x) != level)
                    return fail("node " + std::to_string(n) + " has level " + std::to_string(kx::node::level(x)) +
                                ", expected " + std::to_string(level));
                if (kx::node::left(x) != prev) return fail("left link of node " + std::to_string(n));
                if (level == static_cast<int32_t>(height) - 1 && (prev != kx::NoNode || kx::node::right(x) != kx::NoNode))
                    return fail("the root level has more than one node");
                if (level > 0 && next_first == kx::NoNode) next_first = kx::node::leftmost(x);
                // A node with a right neighbour keeps, as its last entry, a
                // reference to that neighbour's leftmost child.
                if (level > 0 && prev != kx::NoNode) {
                    if (prev_last_child != kx::node::leftmost(x))
                        return fail("node " + std::to_string(prev) + " does not end with its right neighbour's leftmost child");
                }
                prev_last_child = ix.count > 0 ? kx::entry_child(ix.at(x, ix.count - 1), kx::order_flag(cb)) : kx::NoNode;
                if (level > 0 && ix.count == 0 && kx::node::right(x) != kx::NoNode)
                    return fail("interior node " + std::to_string(n) + " without entries has a right neighbour");
                for (int32_t i = 0; i < ix.count; ++i) {
                    const uint8_t* e = ix.at(x, i);
                    if (!last.empty() && order(last.data(), e) >= 0)
                        return fail("entries out of order at node " + std::to_string(n) + " index " + std::to_string(i));
                    last.assign(e, e + e[0] + 1);
                    if (level == 0) {
                        leaf_entries.push_back(last);
                        if (stats) ++stats->entries;
                    }
                }
                if (stats) {
                    if (level == 0) {
                        ++stats->leaves;
                        stats->leaf_fill += kx::EntryArea - kx::node::free_bytes(x);
                    } else {
                        ++stats->interior;
                    }
                }
                prev = n;
                n = kx::node::right(x);
            }
            if (level > 0) first = next_first;
        }
        if (stats) {
            stats->height = height;
            if (stats->leaves) stats->leaf_fill /= static_cast<double>(stats->leaves);
        }
        return true;
        (void)leaf_entries;
    }

    bool check_found(uint32_t root_node, uint32_t height) {
        // Every leaf entry must be reached by a descent for its own key.
        kx::EntryIndex ix;
        uint32_t n = root_node;
        for (uint32_t level = height - 1; level > 0; --level) {
            if (!read(n, ix)) return false;
            n = kx::node::leftmost(img.bytes);
        }
        for (int64_t guard = 0; n != kx::NoNode; ++guard) {
            if (guard > static_cast<int64_t>(cb->node_count)) return fail("leaf cycle");
            if (!read(n, ix)) return false;
            std::vector<uint8_t> leaf(img.bytes, img.bytes + 2048);
            const int32_t count = ix.count;
            for (int32_t i = 0; i < count; ++i) {
                const uint8_t* e = leaf.data() + ix.offset(i);
                int32_t pos = -1;
                kx::EntryIndex lix;
                const uint32_t saved_slot = cb->current_slot;
                const int32_t rc = kx::locate(cb, e[1], e + 7, kx::get32(e + 3, kx::order_flag(cb)), e[2], &pos, lix);
                cb->current_slot = saved_slot;
                if (rc != 0) return fail("descent failed with " + std::to_string(rc));
                if (kx::work::leaf().node != n || pos != i || kx::entry_cmp(cb) != 0)
                    return fail("entry at node " + std::to_string(n) + " index " + std::to_string(i) +
                                " is not found by a descent (landed at node " +
                                std::to_string(kx::work::leaf().node) + " index " + std::to_string(pos) + ")");
            }
            n = kx::node::right(leaf.data());
        }
        return true;
    }

    bool check_free_list() {
        uint32_t n = cb->free_head;
        kx::EntryIndex ix;
        for (int64_t guard = 0; n != kx::NoNode; ++guard) {
            if (guard > static_cast<int64_t>(cb->node_count)) return fail("free list cycle");
            if (n >= cb->next_node) return fail("free node above the high-water mark");
            if (!seen.insert(n).second) return fail("free node " + std::to_string(n) + " also in a tree");
            if (kx::cacheget(cb, img, n) != 0) return fail("free node unreadable");
            if (kx::node::level(img.bytes) != -1) return fail("free node " + std::to_string(n) + " not marked free");
            n = kx::node::right(img.bytes);
        }
        return true;
    }
};

}  // namespace

std::string check_trees(KXCB* cb, TreeStats* main_stats, bool find_every_entry) {
    Checker c{cb, {}, {}, {}};
    c.img.clear_identity();
    if (strtread(cb) != 0) return "read section";
    bool ok = c.check_tree(cb->main_root, cb->main_height, main_stats);
    if (ok && find_every_entry) ok = c.check_found(cb->main_root, cb->main_height);
    for (int s = 1; ok && s <= 50; ++s) {
        bool used = false;
        for (int r = 1; r <= 50; ++r) used = used || cb->slot_map[r - 1] == s;
        if (!used) continue;
        ok = c.check_tree(cb->slot_roots[s - 1], cb->slot_heights[s - 1], nullptr);
        if (ok && find_every_entry) ok = c.check_found(cb->slot_roots[s - 1], cb->slot_heights[s - 1]);
    }
    if (ok) ok = c.check_free_list();
    if (ok && cb->node_count < cb->next_node) ok = c.fail("node count below the high-water mark");
    endread(cb);
    return c.why.str();
}

}  // namespace kxtest
