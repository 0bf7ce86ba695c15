// Search: the key-call convention, the descent from a tree's root node to a
// leaf, the binary search of one node, and gathering a datum's pieces.
//
// A key call names its target through the control block's parameter fields:
// root number, key pointer (with the key's byte order), record value and
// piece byte.  The descent reads every node into the process-wide working
// leaf and records the node numbers of its path, leaf at index 0.  Both
// binary searches probe the last entry first.  When the working leaf is still
// the leaf of the previous descent in the same root and no split or repair
// happened since, a target that sorts inside it (after its first entry, up to
// its last, or above everything in the rightmost leaf) is placed there
// without descending again: ascending loads at the end of a tree, and a
// lookup followed by an insert or removal of the same key, read that leaf
// only.
//
// After a positioning call the found entry's key and first payload bytes are
// in the current-key buffer, its record value in the record value parameter,
// and the root cursor stands on it.  Results: 0 exact, 1 same key with
// another record value or piece, 2 a greater key, -1 no entry of the root at
// or after the target.
#pragma once

#include <cstdint>

#include "btree/cursor.h"
#include "btree/node.h"
#include "multiuser/keylocks.h"
#include "kindex.h"

namespace kx {

// Comparison outcome of the latest search, kept in the search state: the
// entry at the final position compared with the target (entry order), and
// its key compared with the target key.
inline int32_t entry_cmp(const KXCB* cb) { return static_cast<int32_t>(cb->search_state[0]); }
inline int32_t key_cmp(const KXCB* cb) { return static_cast<int32_t>(cb->search_state[1]); }
inline void set_cmp(KXCB* cb, int32_t entry, int32_t key) {
    cb->search_state[0] = static_cast<uint32_t>(entry);
    cb->search_state[1] = static_cast<uint32_t>(key);
}

// The tree slot a root maps to, its root node and height; -30 for a slot
// beyond 50.
int32_t tree_of_root(KXCB* cb, int32_t root, uint32_t* node, uint32_t* height);

// Seek for (cb->root, cb->key, cb->recval, cb->piece): converts the key to the
// file's order, descends, and places the cursor.  0, 1, 2 or -1 as above, or a
// negative error (-30 for a damaged tree, node cache codes).
// With `in_place` the leaf is read where the node cache holds it and the
// working leaf is left as it was (a find that only reads); with `remember`
// too, the next descent tries that leaf first (a probe before a change).
int32_t seek(KXCB* cb, bool in_place = false, bool remember = false);

// Descends to the leaf position where (root, key, record, piece) belongs,
// without moving on to a following leaf: the working leaf holds that leaf,
// *pos is the index in it, the cursor stands there and the comparison
// results describe the entry at *pos.  The key is in the file's order;
// key_room, when known, is how many bytes of its buffer may be read (string
// keys then compare a whole entry key at once).
// With `read`, the leaf is left where the node cache holds it (or in the
// working leaf, when that holds it) and *read points at it until the next
// call of the node cache; cb->search_path[0] names it.
// With `adding`, the caller adds an entry in place when it fits: the leaf
// the root's last add appended to is then tried first, even after other
// roots were searched.  The path above that leaf is not known, so
// path_known() is false afterwards, and an add that must split the leaf
// locates again without `adding` first.
int32_t locate(KXCB* cb, uint8_t root, const uint8_t* key, uint32_t record, uint8_t piece, int32_t* pos,
               EntryIndex& ix, int32_t key_room = 0, const uint8_t** read = nullptr, bool adding = false);
// Whether cb->search_path names every node above the leaf the last locate
// found (false after a locate that used a root's last leaf).
bool path_known(const KXCB* cb);
// After an add changed leaf n of the root in place (end_leaf_edit): with
// `appended` (the entry went to the end of the root's last leaf) the leaf is
// remembered for the root's next add, else the root's memory is dropped.
void remember_root_leaf(KXCB* cb, uint8_t root, uint32_t n, bool appended);

// Makes the working leaf hold leaf n as a locate with `read` handed it out
// (image, offsets ix), unless it holds it already.
void take_leaf(KXCB* cb, uint32_t n, const uint8_t* image, const EntryIndex& ix);
// Ends a change of leaf n made in place in its pool buffer (cacheedit):
// ix are the offsets of the changed content, kept for the searches to come.
int32_t end_leaf_edit(KXCB* cb, uint32_t n, uint8_t* image, const EntryIndex& ix);

// Loads the current-key fields from an entry of the working leaf (none: the
// current key is cleared).
void load_current(KXCB* cb, const uint8_t* e);
void clear_current(KXCB* cb);
// Loads the root cursor from an entry, or empties it.
void load_cursor(KXCB* cb, RootCursor* c, const uint8_t* e);

// Gathers the datum whose first piece the cursor stands on into (buffer, n).
int32_t gather(KXCB* cb, void* buffer, int32_t n);

// The parameter fields of a key call, kept across a nested key call and put
// back after it.
struct KeyCallFields {
    int32_t root;
    void* key;
    uint32_t order;
    uint32_t record;
    void* data;
    int32_t length;
    uint32_t piece;

    explicit KeyCallFields(const KXCB* cb)
        : root(cb->root), key(cb->key), order(cb->key_byte_order), record(cb->recval), data(cb->data),
          length(cb->datalen), piece(cb->piece) {}
    void restore(KXCB* cb) const {
        cb->root = root;
        cb->key = key;
        cb->key_byte_order = order;
        cb->recval = record;
        cb->data = data;
        cb->datalen = length;
        cb->piece = piece;
    }
};

// The parameter convention of the public key calls: the arguments go into
// the parameter fields, and the underscore form reads them from there.  A
// key call names a key in host order unless it keeps the block's key order.
inline void store_key_call(KXCB* cb, int32_t root, const void* key, uint32_t record, const void* data,
                           int32_t length, bool host_key = true) {
    cb->root = root;
    cb->key = const_cast<void*>(key);
    cb->data = const_cast<void*>(data);
    cb->datalen = length;
    cb->recval = record;
    if (host_key) cb->key_byte_order = 1;
}
// The same for the calls that name a root and a buffer only.
inline void store_buffer_call(KXCB* cb, int32_t root, void* buffer, int32_t length) {
    cb->root = root;
    cb->data = buffer;
    cb->datalen = length;
}

// Looks (root, key, record value) up without delivering data and puts the
// caller's fields back: the find's result (0 exact, 1, 2, -1 or an error).
int32_t probe(KXCB* cb);

// The frame shared by the underscore key calls: signature, root, read-only.
// Returns 0 to go on, or the code to return.
int32_t frame_check(KXCB* cb, bool writes);

// Writes the working leaf back as node n (cacheput), keeping its entry
// offsets for the pool buffer that now holds it.
int32_t put_working_leaf(KXCB* cb, uint32_t n);

// Reads a node of the tree into the working leaf; *ix points at its kept
// entry offsets (valid until the layout epoch moves).  -30 when the node is
// damaged or beyond the file.
int32_t read_kept(KXCB* cb, uint32_t n, const EntryIndex** ix);

// Reads a node of the tree into the working leaf and indexes its entries;
// -30 when the node is damaged or beyond the file.
int32_t read_node(KXCB* cb, uint32_t n, EntryIndex& index);

}  // namespace kx
