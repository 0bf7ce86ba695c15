// Deletion: removing a datum (all its pieces, which may run on into
// following leaves) and, with the merge-on-delete flag set, repairing the
// tree around nodes the removal emptied.
//
// Without the flag an emptied leaf stays in its chain and is passed over by
// searches and walks.  With it, an emptied leaf is freed and unlinked from its
// neighbours, and its reference is taken out of the level above, which may
// empty and free interior nodes in turn; a root left with a single child
// hands the root role to that child, so the tree shrinks at the top.
//
// Interior nodes keep one rule that the repair preserves: when node A has a
// right neighbour B on its level, A's last entry refers to B's leftmost child
// (it is the separator A kept when it split).  A descent that finds its
// target above every separator of such a node moves on to the right
// neighbour, so the level above never needs a new separator after a removal.
#pragma once

#include <cstdint>

#include "kindex.h"

namespace kx {

struct EntryIndex;

// Removes the datum whose first piece is entry i of leaf n, held in the
// working leaf.  The root cursor ends in the gap the datum left (before flag
// set).  0 when the datum lay in leaf n, 1 when it ran into later leaves, a
// negative code on failure.
int32_t remove_datum(KXCB* cb, uint32_t n, int32_t i);

// remove_datum for a leaf as a locate with `read` handed it out (image,
// offsets ix, which may change): a datum of one entry comes out of the
// node's pool buffer in place where no repair can follow, anything else goes
// through the working leaf.
int32_t remove_found(KXCB* cb, uint32_t n, const uint8_t* image, int32_t i, EntryIndex& ix);

// Deletes the datum (cb->root, key in the file's order, record value, piece
// 0): 0, -1 when there is no such datum, or a negative code.
int32_t delete_key(KXCB* cb, const uint8_t* key, uint32_t record);

// Takes exactly the leaf entry e (its root, key, record value and piece
// number) out of its leaf when the tree holds it: 1 when it was taken out,
// 0 when the tree did not hold it, or a negative code.  Neither the rest of a datum nor an emptied leaf is touched.
int32_t take_entry(KXCB* cb, const uint8_t* e);

// Locates the place of leaf entry e in the working leaf: the key is copied
// into `key` (KeyBufferBytes), -30 when the entry is not a well-formed leaf
// entry of an existing tree.
int32_t locate_entry(KXCB* cb, const uint8_t* e, uint8_t* key, int32_t* pos, EntryIndex& ix);

}  // namespace kx
