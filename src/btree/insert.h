// Insertion: the add calls, the insertion core shared with the change calls,
// cutting a payload into pieces, and the node split.
//
// A payload is cut into pieces of 244 - K bytes (K the key's length); a key
// must be shorter than 243 bytes, and a payload fits in at most 128 pieces
// (piece numbers have seven bits).  Entries go into the leaf in place, using the image's overflow area
// until a split cuts the node: the rightmost node of a level keeps entries up
// to just under 2030 bytes (so ascending loads leave full nodes behind), any
// other node is cut at about half.  The separator pushed into the parent is a
// copy of the left node's last entry; a root that splits grows the tree by a
// level.  Spare node slots for a whole split chain are made before the first
// split, so a split never stops half-way for lack of file space.
#pragma once

#include <cstdint>

#include "kindex.h"

namespace kx {

enum class InsertMode : int32_t { Change = 1, Save = 2, Unique = 3, Duplicate = 4, ChangeCurrent = 5 };

int32_t insert_core(KXCB* cb, InsertMode mode);

// Puts the complete leaf entry e into its tree at its place, splitting as an
// insertion does; an entry with the same root, key, record value and piece
// number is replaced.  1 when the entry is new to the tree, 0 when it
// replaced one, -30 when the tree has no place for it.
int32_t put_entry(KXCB* cb, const uint8_t* e);

}  // namespace kx
