// Roots with trees of their own: addroot and droproot.
//
// Every root number 1..50 lives in the main tree (tree slot 0) until addroot
// gives it a tree slot 1..50.  The header keeps, per root, the slot it maps
// to (tree slot map, 0: the main tree) and, per slot, the root node and
// height of the slot's tree.  A slot is in use when its root node is not 0
// (node 0 is the main tree's first node and is never reused once released,
// so no slot tree starts there) or, in a file that broke that rule, when its
// height is not 0.  Several roots may share one slot; their entries are then
// kept apart by the root number each entry carries, as in the main tree.
//
// The rules these calls keep, so that no root ever loses entries by a change
// of its mapping:
//  * addroot maps a root only while the tree it lives in holds none of its
//    entries (-36 otherwise): entries left behind in the old tree would be
//    unreachable, and a rebuild would bring them back in the wrong place.
//    Mapping a root to the slot it already uses changes nothing.  A new
//    slot tree is one empty leaf.
//  * droproot frees a slot's tree only when the dropped root is the only
//    root mapped to it: all its nodes go to the free list, level by level
//    from the leaves, each level from left to right, and every map entry
//    naming the slot goes back to 0.  A root that lives in the main tree, or
//    shares its slot with other roots, has its own entries removed through
//    the deletion path instead (a transaction logs each of them), and the
//    tree stays for the others.
//  * The undo log records entries, not the tree slot map: while an undo
//    transaction is open, droproot of a root mapped to a slot is refused
//    (-112), since a rollback would put the root's entries back into
//    whatever tree the root then maps to.
//  * Both change the file, so a file open read-only gets -33.
#include <cstring>

#include "btree/cursor.h"
#include "btree/delete.h"
#include "btree/keys.h"
#include "btree/node.h"
#include "btree/search.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/freelist.h"
#include "indexfile/header.h"
#include "indexfile/nodecache.h"
#include "indexfile/roots.h"
#include "kindex.h"

namespace kx {

namespace {

constexpr int32_t MaxRoot = 50;
constexpr int32_t MaxSlot = 50;
constexpr int32_t MaxHeight = 22;
// Check reasons of droproot: the root node, or a node of the leftmost edge,
// cannot be read.
constexpr int32_t ReasonRootNode = -201;
constexpr int32_t ReasonEdge = -211;

bool undo_transaction(const KXCB* cb) { return cb->trans_mode == 1 || cb->trans_mode == 3; }

// A free slot has root node 0 and height 0; anything else may be a tree
// (node 0 is never reused once released, but a file written before that
// rule may hold a slot tree rooted there) and is never built over.
bool slot_in_use(const KXCB* cb, int32_t slot) {
    return cb->slot_roots[slot - 1] != 0 || cb->slot_heights[slot - 1] != 0;
}

// Roots other than `root` that map to `slot`.
bool slot_shared(const KXCB* cb, int32_t root, int32_t slot) {
    for (int32_t r = 1; r <= MaxRoot; ++r)
        if (r != root && cb->slot_map[r - 1] == slot) return true;
    return false;
}

// The next search of the root starts from its tree's top, and its cursor
// names no position: the tree behind it changed.
void forget_positions(KXCB* cb, int32_t root) {
    cb->cached_root = -1;
    remember_root_leaf(cb, static_cast<uint8_t>(root), NoNode, false);
    if (RootCursor* c = existing_cursor(cb, root)) {
        c->position_root = -1;
        c->leaf = NoNode;
        c->index = 0;
        c->before = 0;
        c->stale = 1;
    }
}

// Seeks the first entry of the root at or after (key, record value), or its
// very first entry when key is null: 1 when there is one (the working leaf
// holds its leaf, the root's cursor stands on it), 0 when there is none, or
// a negative code.  The key is in the file's order; the caller's parameter
// fields are kept.
int32_t seek_in_root(KXCB* cb, int32_t root, const uint8_t* key, uint32_t record) {
    const KeyCallFields saved(cb);
    cb->root = root;
    cb->key = const_cast<uint8_t*>(key);
    cb->key_byte_order = order_flag(cb);
    cb->recval = record;
    cb->piece = 0;
    // Without a key the target lies below every key of the root.
    cb->compare_override = key == nullptr ? -1 : 0;
    const int32_t r = seek(cb);
    cb->compare_override = 0;
    saved.restore(cb);
    if (r < 0 && r != err::Fail) return r;
    const RootCursor* c = existing_cursor(cb, root);
    return r != err::Fail && c != nullptr && c->position_root == root ? 1 : 0;
}

// Removes every entry of the root from the tree it maps to, datum by datum
// through the deletion path, as cdelete removes them (a transaction logs
// each entry; the block's merge-on-delete flag decides about emptied
// leaves).  Each datum after the first is sought by the key of the one
// removed before it: the descent lands where that one lay and passes at
// most over leaves it emptied itself, never over all the leaves emptied
// since the start.
int32_t remove_root_entries(KXCB* cb, int32_t root) {
    uint8_t key[KeyBufferBytes];
    uint32_t record = 0;
    bool first = true;
    // Every round takes out at least one entry.
    const uint64_t bound = uint64_t{cb->node_count} * MaxEntries + 1;
    for (uint64_t round = 0;; ++round) {
        if (round > bound) return err::Damaged;
        int32_t rc = seek_in_root(cb, root, first ? nullptr : key, record);
        if (rc <= 0) return rc;
        const RootCursor* c = existing_cursor(cb, root);
        const EntryIndex* ix = working_index(cb);
        if (ix == nullptr || c->index < 0 || c->index >= ix->count) return err::Damaged;
        const uint8_t* e = ix->at(work::leaf().bytes, c->index);
        const int32_t k = bounded_key_length(cb, entry::root(e), entry::key(e), e[0] - 6);
        if (k <= 0 || k >= KeyBufferBytes) return err::Damaged;
        std::memset(key, 0, sizeof key);
        std::memcpy(key, entry::key(e), static_cast<size_t>(k));
        record = entry::record(e, order_flag(cb));
        first = false;
        rc = remove_datum(cb, c->leaf, c->index);
        if (rc < 0) return rc;
    }
}

// Frees every node of the tree of `slot` (root node, height), leaves first,
// each level from its leftmost node along the right links.  The slot is
// taken out of use and out of the map before the first node is freed, so a
// failure on the way leaves nodes unreachable but never a tree in use that
// names freed nodes.
int32_t free_slot_tree(KXCB* cb, int32_t slot, uint32_t top, uint32_t height) {
    WorkImage& w = work::leaf();
    if (height < 1 || height > MaxHeight || top >= cb->next_node) {
        cb->check_position = static_cast<int32_t>(top);
        cb->check_reason = ReasonRootNode;
        return err::Damaged;
    }
    // The leftmost node of each level, down the leftmost edge.
    uint32_t first[MaxHeight];
    uint32_t n = top;
    for (int32_t level = static_cast<int32_t>(height) - 1;; --level) {
        const int32_t rc = n < cb->next_node ? cacheget(cb, w, n) : err::Damaged;
        if (rc != 0 || node::level(w.bytes) != level) {
            cb->check_position = static_cast<int32_t>(n);
            cb->check_reason = n == top ? ReasonRootNode : ReasonEdge;
            return rc != 0 ? rc : err::Damaged;
        }
        first[level] = n;
        if (level == 0) break;
        n = node::leftmost(w.bytes);
    }
    cb->slot_roots[slot - 1] = 0;
    cb->slot_heights[slot - 1] = 0;
    for (int32_t r = 1; r <= MaxRoot; ++r)
        if (cb->slot_map[r - 1] == slot) cb->slot_map[r - 1] = 0;
    int32_t rc = header_changed(cb);
    for (int32_t level = 0; rc == 0 && level < static_cast<int32_t>(height); ++level) {
        uint32_t hops = 0;
        for (n = first[level]; rc == 0 && n != NoNode; ++hops) {
            // A link that leaves the level, or comes back to a node already
            // freed, would put a node of another tree (or one node twice) on
            // the free list: the walk stops there.
            if (hops > cb->node_count || n >= cb->next_node) {
                rc = err::Damaged;
                break;
            }
            rc = cacheget(cb, w, n);
            if (rc != 0) break;
            if (node::level(w.bytes) != level) {
                rc = err::Damaged;
                break;
            }
            const uint32_t next = node::right(w.bytes);
            node::init(w.bytes, -1);
            rc = nodefree(cb, w, n);
            if (rc == 0) rc = cacheput(cb, w, n);
            n = next;
        }
    }
    return rc;
}

int32_t add_root(KXCB* cb, int32_t root, int32_t slot) {
    if (slot < 1 || slot > MaxSlot || root < 1 || root > MaxRoot) return err::Arg;
    if (cb->access == 1) return err::ReadOnly;
    const int32_t now = cb->slot_map[root - 1];
    if (now == slot) return 0;
    // A root mapped to a slot without a tree (or beyond the slots) reaches
    // no entries: its mapping is simply replaced.
    int32_t rc = 0;
    if (now == 0 || (now <= MaxSlot && slot_in_use(cb, now))) {
        rc = root_has_entries(cb, root);
        if (rc < 0) return rc;
        if (rc > 0) return err::ChangeIndex;
    }
    if (!slot_in_use(cb, slot)) {
        // Spare slots first, as many as the main tree's height asks (at
        // least the two a tree of height 1 needs): the node taken next then
        // lies inside the file, and can go back to the free list should
        // anything after fail.  The slot's fields change only once its node
        // is taken, so a header written on the way never shows a slot in
        // use without its root node.
        cb->current_slot = 0;
        rc = nodespare(cb);
        if (rc != 0) return rc;
        cb->current_slot = static_cast<uint32_t>(slot);
        const uint32_t n = nodealloc(cb);
        WorkImage& z = work::zero();
        if (n == NoNode) return err::Fail;
        if (n == 0 || n >= cb->next_node) return err::FreeList;
        cb->slot_heights[slot - 1] = 1;
        cb->slot_roots[slot - 1] = n;
        rc = nodespare(cb);
        if (rc != 0) {
            cb->slot_heights[slot - 1] = 0;
            cb->slot_roots[slot - 1] = 0;
            node::init(z.bytes, -1);
            if (nodefree(cb, z, n) == 0) cacheput(cb, z, n);
            return rc;
        }
        // An empty leaf: no entries, no neighbours, leftmost child 0.
        node::init(z.bytes, 0);
        rc = cacheput(cb, z, n);
        if (rc != 0) return rc;
    }
    cb->current_slot = static_cast<uint32_t>(slot);
    cb->slot_map[root - 1] = static_cast<uint8_t>(slot);
    forget_positions(cb, root);
    return hdrwrite(cb);
}

int32_t drop_root(KXCB* cb, uint32_t root) {
    if (root < 1 || root > MaxRoot) {
        cb->check_reason = ReasonRootNode;
        return err::Arg;
    }
    if (cb->access == 1) return err::ReadOnly;
    const auto r = static_cast<int32_t>(root);
    const int32_t slot = cb->slot_map[r - 1];
    if (slot > MaxSlot) {
        cb->check_position = -1;
        cb->check_reason = ReasonRootNode;
        return err::Damaged;
    }
    cb->current_slot = static_cast<uint32_t>(slot);
    int32_t rc;
    if (slot != 0 && undo_transaction(cb)) {
        rc = err::LogPending;
    } else if (slot != 0 && !slot_in_use(cb, slot)) {
        // Mapped to a slot with no tree: only the mapping is undone.
        cb->slot_map[r - 1] = 0;
        rc = header_changed(cb);
    } else if (slot == 0 || slot_shared(cb, r, slot)) {
        rc = remove_root_entries(cb, r);
        if (rc == 0 && slot != 0) {
            cb->slot_map[r - 1] = 0;
            rc = header_changed(cb);
        }
    } else {
        rc = free_slot_tree(cb, slot, cb->slot_roots[slot - 1], cb->slot_heights[slot - 1]);
    }
    forget_positions(cb, r);
    return rc;
}

}  // namespace

int32_t root_has_entries(KXCB* cb, int32_t root) { return seek_in_root(cb, root, nullptr, 0); }

}  // namespace kx

using namespace kx;

extern "C" {

KX_API int32_t addroot(KXCB* cb, int32_t root, int32_t slot) {
    int32_t rc = strtwrit(cb);
    if (rc != 0) return is_open(cb) ? result(cb, rc) : rc;
    rc = add_root(cb, root, slot);
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : rc);
}

KX_API int32_t droproot(KXCB* cb, uint32_t root) {
    int32_t rc = strtwrit(cb);
    if (rc != 0) return is_open(cb) ? result(cb, rc) : rc;
    rc = drop_root(cb, root);
    work::leaf().clear_identity();
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : rc);
}

}  // extern "C"
