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

    // Whether bcheck also detects the fault found first (see tree_check.h).
    bool covered = true;

    bool fail(const std::string& s, bool bcheck_covers = true) {
        if (why.str().empty()) {
            why << s;
            covered = bcheck_covers;
        }
        return false;
    }

    bool read(uint32_t n, kx::EntryIndex& ix) {
        if (n >= cb->node_count) return fail("node " + std::to_string(n) + " beyond the node count");
        if (n >= cb->next_node) return fail("node " + std::to_string(n) + " above the high-water mark");
        if (kx::cacheget(cb, img, n) != 0) return fail("node " + std::to_string(n) + " unreadable");
        const int16_t free = kx::node::free_bytes(img.bytes);
        if (free < 0 || free > kx::EntryArea) return fail("node " + std::to_string(n) + " has " + std::to_string(free) + " free bytes");
        if (!ix.build(cb, img.bytes, true, 2048)) return fail("node " + std::to_string(n) + " damaged");
        for (int32_t j = kx::node::used_end(img.bytes); j < 2048; ++j)
            if (img.bytes[j] != 0) return fail("node " + std::to_string(n) + " has bytes after its last entry");
        return true;
    }

    // Whether two entries belong to one datum (root, key, record value).
    bool same_datum(const uint8_t* a, const uint8_t* b) {
        const uint8_t f = kx::order_flag(cb);
        return kx::entry_compare(cb, a[1], a + 7, kx::get32(a + 3, f), 0, b[1], b + 7, kx::get32(b + 3, f), 0, true) == 0;
    }

    // The pieces of every datum along the leaf level: 0, 1, 2, ..., bit 7 on
    // the last.  `last` is the entry before e (empty at a tree's start).
    bool check_piece(const std::vector<uint8_t>& last, const uint8_t* e, uint32_t n) {
        const int number = e[2] & 0x7F;
        const bool ended = last.empty() || (last[2] & kx::LastPiece) != 0;
        const bool same = !last.empty() && same_datum(last.data(), e);
        const bool ok = same ? !ended && number == (last[2] & 0x7F) + 1 : ended && number == 0;
        return ok || fail("datum pieces out of sequence at node " + std::to_string(n));
    }

    // Entry order of two entries (keys in file order).
    int32_t order(const uint8_t* a, const uint8_t* b) {
        const uint8_t f = kx::order_flag(cb);
        return kx::entry_compare(cb, a[1], a + 7, kx::get32(a + 3, f), a[2], b[1], b + 7, kx::get32(b + 3, f),
                                 b[2], true);
    }

    bool check_tree(uint32_t root_node, uint32_t height, TreeStats* stats) {
        if (height < 1 || height > 19) return fail("height " + std::to_string(height));
        kx::EntryIndex ix;
        uint32_t first = root_node;
        std::vector<std::vector<uint8_t>> leaf_entries;  // leaf entry bytes, for the find check
        std::set<uint32_t> named;  // children the level above names
        for (int32_t level = static_cast<int32_t>(height) - 1; level >= 0; --level) {
            std::set<uint32_t> names;
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
                named.erase(n);
                if (level > 0) {
                    names.insert(kx::node::leftmost(x));
                    for (int32_t i = 0; i < ix.count; ++i) names.insert(kx::entry_child(ix.at(x, i), kx::order_flag(cb)));
                }
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
                    if (level == 0 && !check_piece(last, e, n)) return false;
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
            if (level == 0 && !last.empty() && (last[2] & kx::LastPiece) == 0)
                return fail("the tree ends inside a datum");
            if (!named.empty())
                return fail("node " + std::to_string(*named.begin()) + " is a child of the level above but not on its level");
            named.swap(names);
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
                // A descent from the top every time: the shortcut that keeps
                // a target in the working leaf when it sorts inside it would
                // find an entry its tree's separators send elsewhere.
                cb->cached_root = -1;
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

    bool check_header();
    std::string check(TreeStats* main_stats, bool find_every_entry);

    bool check_free_list() {
        uint32_t n = cb->free_head;
        kx::EntryIndex ix;
        for (int64_t guard = 0; n != kx::NoNode; ++guard) {
            if (guard > static_cast<int64_t>(cb->node_count)) return fail("free list cycle");
            if (n >= cb->next_node) return fail("free node above the high-water mark");
            if (!seen.insert(n).second) return fail("free node " + std::to_string(n) + " also in a tree");
            if (n >= cb->node_count || kx::cacheget(cb, img, n) != 0) return fail("free node unreadable");
            const uint8_t* x = img.bytes;
            if (kx::node::level(x) != -1 || kx::node::leftmost(x) != kx::NoNode || kx::node::left(x) != kx::NoNode ||
                kx::node::count(x) != 0 || kx::node::free_bytes(x) != kx::EntryArea)
                return fail("free node " + std::to_string(n) + " not marked free");
            n = kx::node::right(img.bytes);
        }
        return true;
    }
};

// The header values the trees rest on.
bool Checker::check_header() {
    const int32_t custom = cb->custom_length;
    if (custom < 0 || custom > 100) return fail("custom data length " + std::to_string(custom));
    if (static_cast<int32_t>(cb->free_head) < -1) return fail("free-list head " + std::to_string(cb->free_head));
    if (cb->node_count < cb->next_node) return fail("node count below the high-water mark");
    for (int r = 0; r < 52; ++r) {
        const uint8_t s = cb->slot_map[r];
        if (s == 0) continue;
        if (s > 50 || cb->slot_roots[s - 1] == 0 || cb->slot_roots[s - 1] >= cb->next_node ||
            cb->slot_heights[s - 1] < 1 || cb->slot_heights[s - 1] > 19)
            return fail("root " + std::to_string(r + 1) + " maps to tree slot " + std::to_string(s) + ", which holds no tree");
    }
    if (cb->main_root >= cb->next_node) return fail("main root above the high-water mark");
    return true;
}

std::string Checker::check(TreeStats* main_stats, bool find_every_entry) {
    bool ok = check_header();
    if (ok) ok = check_tree(cb->main_root, cb->main_height, main_stats);
    if (ok && find_every_entry) ok = check_found(cb->main_root, cb->main_height);
    for (int s = 1; ok && s <= 50; ++s) {
        // A slot is in use when it has a root node, and must have one when a
        // root maps to it (the header check above).
        bool used = cb->slot_roots[s - 1] != 0;
        for (int r = 1; r <= 50; ++r) used = used || cb->slot_map[r - 1] == s;
        if (!used) continue;
        ok = check_tree(cb->slot_roots[s - 1], cb->slot_heights[s - 1], nullptr);
        if (ok && find_every_entry) ok = check_found(cb->slot_roots[s - 1], cb->slot_heights[s - 1]);
    }
    if (ok) ok = check_free_list();
    return why.str();
}

}  // namespace

std::string check_trees(KXCB* cb, TreeStats* main_stats, bool find_every_entry) {
    Checker c{cb, {}, {}, {}};
    c.img.clear_identity();
    if (strtread(cb) != 0) return "read section";
    const std::string fault = c.check(main_stats, find_every_entry);

    // bcheck on the same block, in the same read section (so that both see
    // the file in one state), its fields as the caller left them.
    const int32_t last_result = cb->last_result;
    const int32_t check_reason = cb->check_reason;
    const int32_t check_position = cb->check_position;
    const uint32_t check_status = cb->check_status;
    const int32_t rc = bcheck(cb);
    const int32_t reason = cb->check_reason;
    const int32_t position = cb->check_position;
    cb->last_result = last_result;
    cb->check_reason = check_reason;
    cb->check_position = check_position;
    cb->check_status = check_status;
    endread(cb);

    const bool bcheck_fault = rc == KX_E_FAIL && reason <= -201 && reason >= -214;
    if (rc != 0 && !bcheck_fault)
        return fault.empty() ? "bcheck failed with " + std::to_string(rc) : fault;
    if (fault.empty() && bcheck_fault)
        return "bcheck disagrees: the checker finds the trees sound, bcheck reports reason " + std::to_string(reason) +
               " at node " + std::to_string(position);
    if (!fault.empty() && c.covered && !bcheck_fault)
        return "bcheck disagrees: it finds the trees sound, the checker found: " + fault;
    return fault;
}

}  // namespace kxtest
