#include "btree/insert.h"

#include <cstring>

#include "btree/cursor.h"
#include "btree/delete.h"
#include "btree/keys.h"
#include "btree/node.h"
#include "btree/search.h"
#include "btree/traverse.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/freelist.h"
#include "indexfile/nodecache.h"
#include "records/keyconv.h"
#include "txlog/txlog.h"

namespace kx {

namespace {

constexpr int32_t PieceBase = 244;
constexpr int32_t MaxPieces = 128;

// Cuts the overfull image x into y (see the split rule in insert.h).  Returns
// the number of entries x keeps.
int32_t cut(KXCB* cb, uint8_t* x, uint8_t* y) {
    const int32_t limit = node::right(x) != NoNode ? 1015 : 2030;
    const int32_t count = node::count(x);
    int32_t kept = 0, k = 0, off = EntryStart;
    while (k < count && kept + x[off] + 1 < limit) {
        kept += x[off] + 1;
        off += x[off] + 1;
        ++k;
    }
    const int32_t end = node::used_end(x);
    const int16_t level = node::level(x);
    node::init(y, level);
    std::memcpy(y + EntryStart, x + off, static_cast<size_t>(end - off));
    node::set_count(y, static_cast<int16_t>(count - k));
    node::set_free_bytes(y, static_cast<int16_t>(EntryArea - (end - off)));
    if (level > 0) {
        // The last kept entry stays in x; its child is also y's leftmost.
        int32_t last = EntryStart;
        for (int32_t i = 0, o = EntryStart; i < k; ++i, o += x[o] + 1) last = o;
        node::set_leftmost(y, entry_child(x + last, order_flag(cb)));
    }
    node::set_count(x, static_cast<int16_t>(k));
    node::set_free_bytes(x, static_cast<int16_t>(2048 - off));
    std::memset(x + off, 0, static_cast<size_t>(ImageBytes - off));
    layout_changed(x);
    image_changed(x, off, ImageBytes);
    return k;
}

// Offset of the last entry of a node image.
int32_t last_entry(const uint8_t* x) {
    int32_t last = EntryStart;
    for (int32_t i = 0, o = EntryStart; i < node::count(x); ++i, o += x[o] + 1) last = o;
    return last;
}

int32_t tree_height(KXCB* cb) {
    const uint32_t slot = cb->current_slot;
    return slot == 0 ? static_cast<int32_t>(cb->main_height) : cb->slot_heights[slot - 1];
}

// Makes a new root above the old one: the tree grows by one level.
int32_t grow_tree(KXCB* cb, uint32_t* new_root) {
    const uint32_t slot = cb->current_slot;
    const int32_t height = tree_height(cb);
    const uint32_t old_root = slot == 0 ? cb->main_root : cb->slot_roots[slot - 1];
    const uint32_t n = nodealloc(cb);
    if (n == NoNode) return err::Seek;
    if (n >= cb->next_node) return err::FreeList;
    WorkImage& img = work::split();
    node::init(img.bytes, static_cast<int16_t>(height));
    node::set_leftmost(img.bytes, old_root);
    if (slot == 0) {
        cb->main_height = static_cast<uint32_t>(height + 1);
        cb->main_root = n;
    } else {
        cb->slot_heights[slot - 1] = static_cast<uint8_t>(height + 1);
        cb->slot_roots[slot - 1] = n;
    }
    int32_t rc = cacheput(cb, img, n);
    if (rc == 0) rc = header_changed(cb);
    *new_root = n;
    return rc;
}

// Moves the cursors after entry e went in at position i of leaf n: the root's
// own cursor stands on it, others behind it in the leaf move up by one.
void cursors_after_insert(KXCB* cb, const uint8_t* e, uint32_t n, int32_t i) {
    const uint8_t root = entry::root(e);
    RootCursor* own = root_cursor(cb, root);
    if (own != nullptr) {
        own->position_root = root;
        own->leaf = n;
        own->index = i;
        load_cursor(cb, own, e);
        own->before = 0;
    }
    for (int32_t r = next_cursor_root(cb, root); r <= 51; r = next_cursor_root(cb, r + 1)) {
        RootCursor* c = existing_cursor(cb, r);
        if (c == nullptr || c == own || c->leaf != n) continue;
        if (c->index > i || c->position_root > root) ++c->index;
    }
}

// Inserts entry e at position i of leaf n held in the working leaf, then
// splits upward until every node fits.
int32_t insert_into_leaf(KXCB* cb, const uint8_t* e, uint32_t n, int32_t i, const EntryIndex& ix) {
    WorkImage& w = work::leaf();
    uint8_t* x = w.bytes;
    insert_entry(x, ix.offset(i), e);
    cursors_after_insert(cb, e, n, i);
    if (node::free_bytes(x) >= 0) return put_working_leaf(cb, n);

    // Splits move nodes under other parents: the next search in this root
    // descends from the top instead of trusting the last path.
    cb->cached_root = -1;
    uint32_t xnum = n;
    uint8_t separator[256];
    for (int pass = 0;; ++pass) {
        int32_t rc = nodespare(cb);
        if (rc != 0 && pass == 0) return rc;
        const uint32_t ynum = nodealloc(cb);
        if (ynum == NoNode) return err::Seek;
        if (ynum >= cb->next_node) return err::FreeList;
        WorkImage& y = work::split();
        const int16_t level = node::level(x);
        const int32_t k = cut(cb, x, y.bytes);
        node::set_right(y.bytes, node::right(x));
        node::set_right(x, ynum);
        node::set_left(y.bytes, xnum);
        if (pass == 0) {
            for (int32_t r = next_cursor_root(cb, 1); r <= 51; r = next_cursor_root(cb, r + 1)) {
                RootCursor* c = existing_cursor(cb, r);
                if (c != nullptr && c->leaf == xnum && c->index >= k) {
                    c->leaf = ynum;
                    c->index -= k;
                }
            }
        }
        rc = cacheput(cb, y, ynum);
        if (rc == 0) rc = cacheput(cb, w, xnum);
        if (rc != 0) return rc;
        if (build_index_entry(cb, separator, x + last_entry(x), ynum) < 0) return err::Damaged;
        const uint32_t right = node::right(y.bytes);
        if (right != NoNode) {
            if (right >= cb->node_count) return err::Damaged;
            rc = cacheget(cb, w, right);
            if (rc != 0) return rc;
            node::set_left(x, ynum);
            rc = cacheput(cb, w, right);
            if (rc != 0) return rc;
        }
        uint32_t parent;
        if (level < tree_height(cb) - 1) {
            parent = cb->search_path[level + 1];
        } else {
            rc = grow_tree(cb, &parent);
            if (rc != 0) return rc;
        }
        EntryIndex pix;
        rc = read_node(cb, parent, pix);
        if (rc != 0) return rc == err::Damaged ? err::Seek : rc;
        if (node::level(x) != level + 1) return err::Damaged;
        int32_t at = -1;
        if (node::leftmost(x) == xnum) {
            at = 0;
        } else {
            for (int32_t j = 0; j < pix.count; ++j)
                if (entry_child(pix.at(x, j), order_flag(cb)) == xnum) {
                    at = j + 1;
                    break;
                }
        }
        if (at < 0) return err::Seek;  // the parent does not refer to the node
        insert_entry(x, pix.offset(at), separator);
        xnum = parent;
        if (node::free_bytes(x) >= 0) break;
    }
    cb->header_dirty = 1;
    return cacheput(cb, w, xnum);
}

// Inserts one piece of the datum.  The key lies in a buffer of KeyBufferBytes.
int32_t insert_piece(KXCB* cb, InsertMode mode, const uint8_t* key, int32_t key_len, const uint8_t* payload,
                     int32_t len, uint8_t piece) {
    const uint8_t root = static_cast<uint8_t>(cb->root);
    EntryIndex ix;
    int32_t pos = 0;
    // The leaf stays where the node cache holds it until it is known whether
    // the entry fits there.
    const uint8_t* leaf = nullptr;
    // Adds that replace nothing may start at the root's last leaf.
    const bool adding = mode == InsertMode::Duplicate || mode == InsertMode::Unique;
    int32_t rc = locate(cb, root, key, cb->recval, piece, &pos, ix, KeyBufferBytes, &leaf, adding);
    if (rc != 0) return rc;
    if ((piece & 0x7F) == 0) {
        const bool exact = entry_cmp(cb) == 0 && pos < ix.count;
        const bool replaces =
            mode == InsertMode::Change || mode == InsertMode::Save || mode == InsertMode::ChangeCurrent;
        if (mode == InsertMode::Duplicate && exact) return err::Fail;
        if (replaces && !exact && mode != InsertMode::Save) return err::Fail;
        if (replaces && exact) {
            // The old datum goes first; the new one takes its place.
            rc = remove_found(cb, cb->search_path[0], leaf, pos, ix);
            if (rc < 0) return err::Seek;
            rc = locate(cb, root, key, cb->recval, piece, &pos, ix, KeyBufferBytes, &leaf);
            if (rc != 0) return rc;
        }
    }
    uint8_t e[256];
    const int32_t size = build_leaf_entry(e, root, key, key_len, cb->recval, piece, payload, len, order_flag(cb));
    // The undo record goes to the log before the leaf changes.  Logging
    // reads no node through the pool, so the leaf image stays valid.
    rc = log_entry(cb, logrec::Added, e);
    if (rc != 0) return rc;
    const uint32_t n = cb->search_path[0];
    if (leaf != work::leaf().bytes && node::free_bytes(leaf) >= size && ix.count < MaxEntries) {
        // The entry fits: it goes straight into the node's pool buffer.
        uint8_t* x = cacheedit(cb, leaf, n, &rc);
        if (rc != 0) return rc;
        if (x != nullptr) {
            insert_entry(x, ix.offset(pos), e);
            ix.inserted(pos, ix.offset(pos), size);
            cursors_after_insert(cb, e, n, pos);
            rc = end_leaf_edit(cb, n, x, ix);
            // An add at the end of the root's last leaf (appending) is
            // remembered for the root's next add.
            remember_root_leaf(cb, root, n, rc == 0 && pos + 1 == ix.count && node::right(x) == NoNode);
            return rc;
        }
    }
    if (!path_known(cb)) {
        // A split needs the nodes above the leaf: descend to it from the top.
        rc = locate(cb, root, key, cb->recval, piece, &pos, ix, KeyBufferBytes, &leaf);
        if (rc != 0) return rc;
    }
    const uint32_t at = cb->search_path[0];
    take_leaf(cb, at, leaf, ix);
    return insert_into_leaf(cb, e, at, pos, ix);
}

}  // namespace

int32_t put_entry(KXCB* cb, const uint8_t* e) {
    const int32_t replaced = take_entry(cb, e);
    if (replaced < 0) return replaced;
    int32_t rc = 0;
    uint8_t key[KeyBufferBytes];
    int32_t pos = 0;
    EntryIndex ix;
    rc = locate_entry(cb, e, key, &pos, ix);
    if (rc != 0) return rc;
    rc = nodespare(cb);
    if (rc != 0) return rc;
    uint8_t copy[256];
    std::memcpy(copy, e, static_cast<size_t>(e[0]) + 1);
    rc = insert_into_leaf(cb, copy, cb->search_path[0], pos, ix);
    return rc != 0 ? rc : (replaced == 1 ? 0 : 1);
}

int32_t insert_core(KXCB* cb, InsertMode mode) {
    if (const int32_t rc = frame_check(cb, true)) return rc;
    int32_t rc = strtwrit(cb);
    if (rc != 0) return rc;
    const int32_t root = cb->root;
    const int32_t length = cb->datalen;
    const int32_t key_len = cb->key != nullptr ? cikeylen(cb, root, cb->key) : 0;
    // Piece numbers have seven bits: a datum holds at most 128 pieces, so a
    // payload may fill 128 pieces but not start a 129th.
    if (key_len <= 0 || key_len >= 243 || length < 0 || length > MaxPieces * (PieceBase - key_len) ||
        (length > 0 && cb->data == nullptr)) {
        endwrit(cb);
        return result(cb, err::Arg);
    }
    if (mode != InsertMode::ChangeCurrent) release_key_lock(cb, root);
    void* saved_key = cb->key;
    const uint32_t saved_order = cb->key_byte_order;
    void* saved_data = cb->data;
    cb->io_error = 0;

    uint8_t key[KeyBufferBytes] = {};
    std::memcpy(key, saved_key, static_cast<size_t>(key_len));
    convkey(cb, root, key, root_key_type(cb, root), static_cast<uint8_t>(saved_order), order_flag(cb));

    const auto* payload = static_cast<const uint8_t*>(saved_data);
    const int32_t piece_size = PieceBase - key_len;
    int32_t pieces = 0;
    if (length == 0) {
        rc = insert_piece(cb, mode, key, key_len, nullptr, 0, LastPiece);
        pieces = rc == 0 ? 1 : 0;
    } else {
        for (int32_t done = 0, i = 0; done < length; ++i) {
            if (cb->io_error != 0) break;
            const int32_t take = length - done < piece_size ? length - done : piece_size;
            const uint8_t piece = static_cast<uint8_t>(i | (done + take == length ? LastPiece : 0));
            rc = insert_piece(cb, mode, key, key_len, payload + done, take, piece);
            if (rc != 0) break;
            done += take;
            ++pieces;
        }
    }
    if (rc != 0 && (pieces > 0 || rc == err::Write)) {
        // Never leave part of a datum behind: what went in comes out again.
        const int32_t undo = delete_key(cb, key, cb->recval);
        if (undo != 0 && undo != err::Fail) rc = undo;
    }
    if (rc == 0 && pieces >= 2) {
        RootCursor* c = existing_cursor(cb, root);
        while (c != nullptr && (c->piece & 0x7F) != 0 && rc == 0) {
            const int32_t step = step_backward(cb, c);
            if (step != 0) rc = step;
        }
    }
    cb->io_error = rc;
    cb->root = root;
    cb->key = saved_key;
    cb->key_byte_order = saved_order;
    cb->data = saved_data;
    cb->datalen = length;
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : rc);
}

}  // namespace kx

using namespace kx;

extern "C" {

KX_API int32_t _cdupadd(KXCB* cb) { return insert_core(cb, InsertMode::Duplicate); }

KX_API int32_t _cunqadd(KXCB* cb) {
    if (const int32_t rc = frame_check(cb, true)) return rc;
    int32_t rc = strtwrit(cb);
    if (rc != 0) return rc;
    const uint32_t record = cb->recval;
    cb->recval = 0;
    int32_t r = probe(cb);
    cb->recval = record;
    if (r == 0 || r == 1)
        r = err::Fail;
    else if (r == 2 || r == err::Fail)
        r = insert_core(cb, InsertMode::Unique);
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : r);
}

KX_API int32_t cdupadd(KXCB* cb, int32_t root, const void* key, uint32_t record, const void* data,
                       int32_t length) {
    if (!is_open(cb)) return err::NotOpen;
    // The key is read in the order the block's key order names.
    store_key_call(cb, root, key, record, data, length, false);
    return _cdupadd(cb);
}

KX_API int32_t cunqadd(KXCB* cb, int32_t root, const void* key, uint32_t record, const void* data,
                       int32_t length) {
    if (!is_open(cb)) return err::NotOpen;
    store_key_call(cb, root, key, record, data, length);
    return _cunqadd(cb);
}

}  // extern "C"
