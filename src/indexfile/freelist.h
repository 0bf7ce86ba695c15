// Node allocation, the free list and spare node slots.
//
// A file grows by whole nodes and never shrinks.  The header's next new node
// is the high-water mark (every lower node number has been handed out), node
// count the number of slots that exist; slots from the high-water mark up to
// node count - 1 are spare: zero-filled and never used.  Released nodes form
// the free list, linked through their right link:
//   free node header: leftmost child ~0, right link = next free node (~0 at
//   the end), left link ~0, level -1.
// The flush mode decides when header changes reach the file: modes 1, 2 and 3
// write the header at once, modes 0 and 4 only mark it dirty.
#pragma once

#include <cstdint>

#include "indexfile/nodecache.h"
#include "kindex.h"

namespace kx {

// A node number, or 0xFFFFFFFF when the free list cannot be read or the
// header cannot be written.
uint32_t nodealloc(KXCB* cb);
// Turns the image into a free node heading the free list; the caller writes
// the image as node n afterwards.  Node 0 (the main tree's first root, and
// "no node" in the tree slot table and the log links) is marked free but
// left out of the list, so it is never reused.
int32_t nodefree(KXCB* cb, WorkImage& image, uint32_t n);
// Makes sure spare slots exist for one insertion into the current tree slot.
int32_t nodespare(KXCB* cb);
// The same for a whole record of the data list (one insertion per key).
int32_t nodesparen(KXCB* cb, const KXDLIST* list);
// Writes the header at once in flush modes 1..3, else marks it dirty.
int32_t header_changed(KXCB* cb);

}  // namespace kx
