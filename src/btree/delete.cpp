#include "btree/delete.h"

#include <cstring>

#include "btree/cursor.h"
#include "btree/insert.h"
#include "btree/keys.h"
#include "btree/node.h"
#include "btree/search.h"
#include "btree/traverse.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/freelist.h"
#include "indexfile/nodecache.h"
#include "multiuser/keylocks.h"
#include "records/keyconv.h"
#include "txlog/txlog.h"

namespace kx {

namespace {

// Moves the cursors standing at or after index `at` of `leaf` back by one
// after an entry there went out.
void cursors_after_remove(KXCB* cb, uint8_t root, uint32_t leaf, int32_t at) {
    for (int32_t r = next_cursor_root(cb, root); r <= 51; r = next_cursor_root(cb, r + 1)) {
        RootCursor* c = existing_cursor(cb, r);
        if (c != nullptr && c->leaf == leaf && c->index >= at) --c->index;
    }
}

uint32_t tree_root_node(const KXCB* cb) {
    const uint32_t slot = cb->current_slot;
    return slot == 0 ? cb->main_root : cb->slot_roots[slot - 1];
}

int32_t tree_height(const KXCB* cb) {
    const uint32_t slot = cb->current_slot;
    return slot == 0 ? static_cast<int32_t>(cb->main_height) : cb->slot_heights[slot - 1];
}

void set_tree(KXCB* cb, uint32_t root, int32_t height) {
    const uint32_t slot = cb->current_slot;
    if (slot == 0) {
        cb->main_root = root;
        cb->main_height = static_cast<uint32_t>(height);
    } else {
        cb->slot_roots[slot - 1] = root;
        cb->slot_heights[slot - 1] = static_cast<uint8_t>(height);
    }
    cb->header_dirty = 1;
}

// Reads node n into an image and indexes it; -30 when damaged.
int32_t read_into(KXCB* cb, WorkImage& img, uint32_t n, EntryIndex& ix) {
    if (n >= cb->node_count) return err::Damaged;
    const int32_t rc = cacheget(cb, img, n);
    if (rc != 0) return rc;
    return ix.build(cb, img.bytes) ? 0 : err::Damaged;
}

// Frees node n through the given image and writes it.
int32_t free_node(KXCB* cb, WorkImage& img, uint32_t n) {
    node::init(img.bytes, -1);
    int32_t rc = nodefree(cb, img, n);
    if (rc == 0) rc = cacheput(cb, img, n);
    return rc;
}

// Sets a link of node n (right when `right`, else left) through the split
// image.
int32_t set_link(KXCB* cb, uint32_t n, bool right, uint32_t value) {
    if (n == NoNode) return 0;
    WorkImage& s = work::split();
    EntryIndex ix;
    const int32_t rc = read_into(cb, s, n, ix);
    if (rc != 0) return rc;
    if (right)
        node::set_right(s.bytes, value);
    else
        node::set_left(s.bytes, value);
    return cacheput(cb, s, n);
}

// Takes a node out of its level's chain.
int32_t unlink(KXCB* cb, uint32_t left, uint32_t right) {
    int32_t rc = set_link(cb, right, false, left);
    if (rc == 0) rc = set_link(cb, left, true, right);
    return rc;
}

// Cursors standing on a freed leaf move to the same place in a neighbour.
void relocate_cursors(KXCB* cb, uint32_t leaf, uint32_t left, uint32_t right) {
    for (int32_t r = next_cursor_root(cb, 1); r <= 51; r = next_cursor_root(cb, r + 1)) {
        RootCursor* c = existing_cursor(cb, r);
        if (c == nullptr || c->leaf != leaf) continue;
        if (right != NoNode) {
            c->leaf = right;
            c->index = -1;
        } else {
            c->leaf = left;
            c->index = MaxEntries;  // past the last entry: steps clamp it
        }
    }
}

int32_t remove_reference(KXCB* cb, int32_t level, uint32_t child);

// An interior node at `level` lost its last reference (or only duplicates a
// neighbour's child): take it out of the tree.
int32_t drop_interior(KXCB* cb, int32_t level, uint32_t p, bool child_lives) {
    WorkImage& w = work::leaf();
    EntryIndex ix;
    int32_t rc = read_into(cb, w, p, ix);
    if (rc != 0) return rc;
    if (p == tree_root_node(cb)) {
        // The tree holds nothing any more: its root becomes an empty leaf.
        node::init(w.bytes, 0);
        set_tree(cb, p, 1);
        rc = cacheput(cb, w, p);
        return rc == 0 ? header_changed(cb) : rc;
    }
    const uint32_t left = node::left(w.bytes), right = node::right(w.bytes), only = node::leftmost(w.bytes);
    rc = free_node(cb, w, p);
    if (rc == 0) rc = unlink(cb, left, right);
    if (rc != 0) return rc;
    if (right == NoNode && left != NoNode && !child_lives) {
        // The left neighbour becomes the last of its level: its last entry
        // referred to the child that is gone.
        WorkImage& s = work::split();
        rc = read_into(cb, s, left, ix);
        if (rc != 0) return rc;
        if (ix.count > 0 && entry_child(ix.at(s.bytes, ix.count - 1), order_flag(cb)) == only) {
            remove_entry(s.bytes, ix.offset(ix.count - 1));
            rc = cacheput(cb, s, left);
            if (rc != 0) return rc;
        }
    }
    return remove_reference(cb, level + 1, p);
}

// While the root is an interior node without entries, its only child takes
// over as root.
int32_t shrink(KXCB* cb) {
    for (;;) {
        const uint32_t root = tree_root_node(cb);
        WorkImage& w = work::leaf();
        EntryIndex ix;
        int32_t rc = read_into(cb, w, root, ix);
        if (rc != 0) return rc;
        if (node::level(w.bytes) == 0 || ix.count > 0) return 0;
        const uint32_t child = node::leftmost(w.bytes);
        const int32_t height = tree_height(cb);
        rc = free_node(cb, w, root);
        if (rc != 0) return rc;
        set_tree(cb, child, height - 1);
        rc = read_into(cb, w, child, ix);
        if (rc != 0) return rc;
        node::set_left(w.bytes, NoNode);
        node::set_right(w.bytes, NoNode);
        rc = cacheput(cb, w, child);
        if (rc == 0) rc = header_changed(cb);
        if (rc != 0) return rc;
    }
}

// Removes the reference to `child` (a node of level - 1 that was freed or
// dropped) from the level above, starting at the node the search path names.
int32_t remove_reference(KXCB* cb, int32_t level, uint32_t child) {
    if (level >= tree_height(cb)) return 0;
    WorkImage& w = work::leaf();
    EntryIndex ix;
    const uint8_t flag = order_flag(cb);
    uint32_t p = cb->search_path[level];
    for (uint32_t hops = 0;; ++hops) {
        if (hops > cb->node_count) return err::Damaged;
        int32_t rc = read_into(cb, w, p, ix);
        if (rc != 0) return rc;
        if (node::level(w.bytes) != level) return err::Damaged;
        uint8_t* x = w.bytes;
        const bool has_right = node::right(x) != NoNode;
        if (node::leftmost(x) == child) {
            if (ix.count == 0) return drop_interior(cb, level, p, false);
            const uint32_t heir = entry_child(ix.at(x, 0), flag);
            const uint32_t left = node::left(x);
            if (left != NoNode) {
                // The left neighbour's last entry duplicates this leftmost
                // child: it follows the change.
                WorkImage& s = work::split();
                EntryIndex lix;
                rc = read_into(cb, s, left, lix);
                if (rc != 0) return rc;
                if (lix.count > 0) {
                    uint8_t* e = s.bytes + lix.offset(lix.count - 1);
                    if (entry_child(e, flag) == child) {
                        put32(e + e[0] - 3, heir, flag);
                        rc = cacheput(cb, s, left);
                        if (rc != 0) return rc;
                    }
                }
                rc = read_into(cb, w, p, ix);
                if (rc != 0) return rc;
            }
            node::set_leftmost(x, heir);
            remove_entry(x, ix.offset(0));
            if (node::count(x) == 0 && has_right) {
                // Only a copy of the right neighbour's leftmost child is left.
                rc = cacheput(cb, w, p);
                return rc == 0 ? drop_interior(cb, level, p, true) : rc;
            }
            rc = cacheput(cb, w, p);
            return rc == 0 ? shrink(cb) : rc;
        }
        int32_t j = -1;
        for (int32_t k = 0; k < ix.count; ++k) {
            if (entry_child(ix.at(x, k), flag) != child) continue;
            if (k == ix.count - 1 && has_right) break;  // a duplicate only
            j = k;
            break;
        }
        if (j < 0) {
            if (!has_right) return err::Damaged;
            p = node::right(x);
            continue;
        }
        if (j == ix.count - 1) {
            remove_entry(x, ix.offset(j));
        } else {
            uint8_t* e = x + ix.offset(j);
            put32(e + e[0] - 3, entry_child(ix.at(x, j + 1), flag), flag);
            remove_entry(x, ix.offset(j + 1));
        }
        rc = cacheput(cb, w, p);
        return rc == 0 ? shrink(cb) : rc;
    }
}

// Frees an emptied leaf that is not the tree's root and repairs the levels
// above.  `probe` is an entry that lay in the leaf: a descent for it finds the
// leaf's parents.
int32_t repair_leaf(KXCB* cb, uint32_t leaf, const uint8_t* probe) {
    int32_t pos = 0;
    EntryIndex ix;
    int32_t rc = locate(cb, probe[1], probe + 7, get32(probe + 3, order_flag(cb)), probe[2], &pos, ix);
    if (rc != 0) return rc;
    if (cb->search_path[0] != leaf) return err::Damaged;
    cb->cached_root = -1;
    WorkImage& w = work::leaf();
    const uint32_t left = node::left(w.bytes), right = node::right(w.bytes);
    rc = free_node(cb, w, leaf);
    if (rc == 0) rc = unlink(cb, left, right);
    if (rc != 0) return rc;
    relocate_cursors(cb, leaf, left, right);
    return remove_reference(cb, 1, leaf);
}

bool same_datum(KXCB* cb, const uint8_t* a, const uint8_t* b) {
    if (a[1] != b[1] || std::memcmp(a + 3, b + 3, 4) != 0) return false;
    const int32_t ka = bounded_key_length(cb, a[1], a + 7, a[0] - 6);
    const int32_t kb = bounded_key_length(cb, b[1], b + 7, b[0] - 6);
    return ka == kb && ka >= 0 && std::memcmp(a + 7, b + 7, static_cast<size_t>(ka)) == 0;
}

}  // namespace

int32_t remove_datum(KXCB* cb, uint32_t n, int32_t i) {
    WorkImage& w = work::leaf();
    EntryIndex ix;
    const EntryIndex* kept = working_index(cb);
    if (kept == nullptr) return err::Fail;
    ix.copy_from(*kept);
    if (i < 0 || i >= ix.count) return err::Fail;
    uint8_t first[256];
    std::memcpy(first, ix.at(w.bytes, i), static_cast<size_t>(ix.at(w.bytes, i)[0] + 1));
    const uint8_t root = first[1];
    RootCursor* own = root_cursor(cb, root);
    if (own == nullptr) return err::NoMemory;
    const bool merge = cb->merge_on_delete != 0;
    uint32_t leaf = n;
    int32_t at = i;
    int32_t removed = 0;
    uint8_t last_piece = 0;
    bool finished = false, later = false, reshaped = false;
    for (;;) {
        uint8_t* x = w.bytes;
        uint8_t gone[256];
        bool any = false;
        while (at < node::count(x)) {
            const uint8_t* e = x + ix.offset(at);
            const uint8_t piece = e[2];
            if (removed > 0) {
                if ((last_piece & LastPiece) != 0 || (piece & 0x7F) < (last_piece & 0x7F) ||
                    ((piece & 0x7F) == 0 && (last_piece & LastPiece) == 0) || !same_datum(cb, e, first)) {
                    finished = true;
                    break;
                }
            }
            std::memcpy(gone, e, static_cast<size_t>(e[0] + 1));
            const int32_t logged = log_entry(cb, logrec::Removed, gone);
            if (logged != 0) return logged;
            remove_entry(x, ix.offset(at));
            any = true;
            own->leaf = leaf;
            own->index = at;
            own->before = 1;
            cursors_after_remove(cb, root, leaf, at);
            ++removed;
            last_piece = piece;
            if ((piece & LastPiece) != 0) {
                finished = true;
                break;
            }
        }
        const uint32_t next = node::right(x);
        int32_t rc;
        if (merge && any && node::count(x) == 0 && leaf != tree_root_node(cb)) {
            rc = cacheput(cb, w, leaf);
            if (rc == 0) rc = repair_leaf(cb, leaf, gone);
            reshaped = true;
        } else {
            rc = put_working_leaf(cb, leaf);
        }
        if (rc != 0) return rc;
        if (finished || next == NoNode) break;
        rc = read_node(cb, next, ix);
        if (rc != 0) return rc;
        leaf = next;
        at = 0;
        later = true;
    }
    if (reshaped) {
        // Nodes were freed: find the gap again by the datum's own key.
        int32_t pos = 0;
        const int32_t rc = locate(cb, root, first + 7, get32(first + 3, order_flag(cb)), 0, &pos, ix);
        if (rc != 0) return rc;
        own->leaf = work::leaf().node;
        own->index = pos - 1;
    } else {
        own->leaf = n;
        own->index = i - 1;
    }
    own->position_root = root;
    own->before = 1;
    return later ? 1 : 0;
}

int32_t remove_found(KXCB* cb, uint32_t n, const uint8_t* image, int32_t i, EntryIndex& ix) {
    const uint8_t* e = i >= 0 && i < ix.count ? ix.at(image, i) : nullptr;
    // A datum of one entry whose leaf keeps entries, or needs no repair when
    // it empties, goes out of the node's pool buffer in place.
    if (e != nullptr && image != work::leaf().bytes && e[2] == LastPiece &&
        (cb->merge_on_delete == 0 || ix.count > 1 || n == tree_root_node(cb))) {
        const uint8_t root = e[1];
        RootCursor* own = root_cursor(cb, root);
        if (own == nullptr) return err::NoMemory;
        int32_t rc = 0;
        uint8_t* x = cacheedit(cb, image, n, &rc);
        if (rc != 0) return rc;
        if (x != nullptr) {
            // The undo record goes to the log before the leaf changes
            // (logging reads no node through the pool: the buffer stays).
            rc = log_entry(cb, logrec::Removed, x + ix.offset(i));
            if (rc != 0) return rc;
            const int32_t size = x[ix.offset(i)] + 1;
            remove_entry(x, ix.offset(i));
            ix.removed(i, size);
            cursors_after_remove(cb, root, n, i);
            // The cursor stands in the gap.
            own->leaf = n;
            own->index = i - 1;
            own->position_root = root;
            own->before = 1;
            return end_leaf_edit(cb, n, x, ix);
        }
    }
    take_leaf(cb, n, image, ix);
    return remove_datum(cb, n, i);
}

int32_t locate_entry(KXCB* cb, const uint8_t* e, uint8_t* key, int32_t* pos, EntryIndex& ix) {
    const uint8_t root = e[1];
    if (e[0] < 7 || root < 1 || root > 50) return err::Damaged;
    const int32_t klen = bounded_key_length(cb, root, e + 7, e[0] - 6);
    if (klen <= 0 || klen >= KeyBufferBytes) return err::Damaged;
    std::memset(key, 0, KeyBufferBytes);
    std::memcpy(key, e + 7, static_cast<size_t>(klen));
    uint32_t node = 0, height = 0;
    if (tree_of_root(cb, root, &node, &height) != 0) return err::Damaged;
    return locate(cb, root, key, get32(e + 3, order_flag(cb)), e[2], pos, ix, KeyBufferBytes);
}

int32_t take_entry(KXCB* cb, const uint8_t* e) {
    uint8_t key[KeyBufferBytes];
    int32_t pos = 0;
    EntryIndex ix;
    int32_t rc = locate_entry(cb, e, key, &pos, ix);
    if (rc != 0) return rc;
    if (entry_cmp(cb) != 0 || pos >= ix.count) return 0;
    const uint8_t root = e[1];
    RootCursor* own = root_cursor(cb, root);
    if (own == nullptr) return err::NoMemory;
    const uint32_t n = cb->search_path[0];
    remove_entry(work::leaf().bytes, ix.offset(pos));
    cursors_after_remove(cb, root, n, pos);
    own->leaf = n;
    own->index = pos - 1;
    own->position_root = root;
    own->before = 1;
    rc = put_working_leaf(cb, n);
    return rc == 0 ? 1 : rc;
}

int32_t delete_key(KXCB* cb, const uint8_t* key, uint32_t record) {
    const uint8_t root = static_cast<uint8_t>(cb->root);
    EntryIndex ix;
    int32_t pos = 0;
    const uint8_t* leaf = nullptr;
    int32_t rc = locate(cb, root, key, record, 0, &pos, ix, 0, &leaf);
    if (rc != 0) return rc;
    if (entry_cmp(cb) != 0 || pos >= ix.count) return err::Fail;
    load_current(cb, ix.at(leaf, pos));
    rc = remove_found(cb, cb->search_path[0], leaf, pos, ix);
    return rc < 0 ? (rc == err::Damaged ? rc : err::Seek) : 0;
}

}  // namespace kx

// ---- Exported deletion calls ---------------------------------------------

using namespace kx;

namespace {

// Delete by key, with its own (nested) write section and the caller's fields
// kept.
int32_t delete_by_key(KXCB* cb) {
    cb->io_error = 0;
    int32_t rc = strtwrit(cb);
    if (rc != 0) return rc;
    release_key_lock(cb, cb->root);
    void* key = cb->key;
    void* data = cb->data;
    const uint32_t order = cb->key_byte_order;
    const int32_t root = cb->root;
    cb->piece = 0;
    uint8_t fkey[KeyBufferBytes] = {};
    const int32_t len = key != nullptr ? cikeylen(cb, root, key) : 0;
    if (len <= 0 || len >= KeyBufferBytes) {
        rc = err::Fail;
    } else {
        std::memcpy(fkey, key, static_cast<size_t>(len));
        convkey(cb, root, fkey, root_key_type(cb, root), static_cast<uint8_t>(order), order_flag(cb));
        rc = delete_key(cb, fkey, cb->recval);
    }
    cb->key = key;
    cb->data = data;
    cb->key_byte_order = order;
    cb->root = root;
    const int32_t end = endwrit(cb);
    return end != 0 ? end : rc;
}

bool exempt_root(int32_t root) { return root == 46 || root == 48 || root == 50; }

}  // namespace

extern "C" {

KX_API int32_t _cdelete(KXCB* cb) {
    if (const int32_t rc = frame_check(cb, true)) return rc;
    if (strtwrit(cb) != 0) return result(cb, err::Section);
    int32_t r;
    if (!exclusive(cb)) {
        r = probe(cb);
        if (r > 0) {
            r = err::Fail;
        } else if (r == 0) {
            r = key_lock_free(cb, cb->root);
            if (r == 0) r = delete_by_key(cb);
        }
    } else {
        r = delete_by_key(cb);
    }
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : r);
}

KX_API int32_t cdelete(KXCB* cb, int32_t root, const void* key, uint32_t record) {
    if (!is_open(cb)) return err::NotOpen;
    cb->root = root;
    cb->key = const_cast<void*>(key);
    cb->key_byte_order = 1;
    cb->recval = record;
    return _cdelete(cb);
}

KX_API int32_t _cdelcur(KXCB* cb) {
    if (const int32_t rc = frame_check(cb, true)) return rc;
    const int32_t root = cb->root;
    if (!exclusive(cb) && !exempt_root(root) && cb->lock_bypass == 0 && cb->root_locks[root] != 'L')
        return result(cb, err::NoLock);
    RootCursor* c = root_cursor(cb, root);
    if (c == nullptr) return result(cb, err::NoMemory);
    if (c->position_root != root) return result(cb, err::Fail);
    int32_t r = strtwrit(cb);
    if (r != 0) return result(cb, r);
    release_key_lock(cb, root);
    if ((exclusive(cb) || root == 50 || c->stale == 0) && cb->cached_root == root) {
        EntryIndex ix;
        r = read_node(cb, c->leaf, ix);
        if (r == 0) {
            if (c->before || c->index < 0 || c->index >= ix.count) {
                r = err::Fail;
            } else {
                r = remove_datum(cb, c->leaf, c->index);
                if (r < 0) r = r == err::Damaged ? r : err::Seek;
                else r = 0;
            }
        }
    } else {
        uint8_t key[KeyBufferBytes] = {};
        std::memcpy(key, c->key, sizeof c->key);
        void* saved_key = cb->key;
        const uint32_t saved_order = cb->key_byte_order;
        const uint32_t nested = cb->nested_call;
        cb->key = key;
        cb->key_byte_order = order_flag(cb);
        cb->recval = c->record;
        cb->nested_call = 1;
        r = delete_by_key(cb);
        cb->nested_call = nested;
        cb->key = saved_key == key ? cb->current_key : saved_key;
        cb->key_byte_order = saved_order;
        c->stale = 0;
    }
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : r);
}

KX_API int32_t cdelcur(KXCB* cb, int32_t root) {
    if (!is_open(cb)) return err::NotOpen;
    cb->root = root;
    return _cdelcur(cb);
}

}  // extern "C"
