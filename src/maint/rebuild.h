// Rebuild: sound files made out of the contents of damaged ones.
//
// The index rebuilds (cbuild, bbuild, z_bbuild) read the damaged source raw,
// node slot by node slot (slot n: 2048 bytes at 1024 + 2048 * n), until the
// first slot that cannot be read in full.  They follow no link: a node is
// judged by the kind field of its header (offset 12, read in the source's
// byte order):
//
//   kind      node                     what the rebuild does with it
//   0         leaf                     every entry goes into the target
//   -2, -3    log node (head, cont.)   kept aside: it may belong to the
//                                      pending transaction (z_bbuild)
//   other     interior level, free     passed over
//
// so every leaf that can still be read gives its entries, whatever happened
// to the interior nodes, the free list or the header.  Entries of root 46,
// the library's scratch root (rollback and rebuild bookkeeping), are never
// copied.
//
// Which target is closed: cbuild creates and closes its own.  z_bbuild
// closes the caller's target on every path once it has opened the source;
// when it returns before that (mode not 1..3: -32, target not open: -3,
// target read-only: -33, no source name: -2, source cannot be opened: -10)
// the target is left open and unchanged.
//
// dbuild copies the records of one open data file into another, building
// every key of every record again from a data list; see rebuild.cpp.
#pragma once

#include <cstdint>

#include "kindex.h"

namespace kx {

// The scratch root whose entries a rebuild never copies, and the key of the
// entries that order the carried-over log nodes in it.
constexpr uint8_t ScratchRoot = 46;
constexpr char RebuildKey[] = "TRANSRBLD";

// Adds the entries of one leaf image (node header in host order, entries in
// the byte order `from`: 1 host order, else the other) to the open target,
// each turned to the target's order.  An entry equal to one the target holds
// (root, key, record value, piece) replaces it.  0, -30 for a damaged leaf
// (count outside 0..290, an entry that is empty, has a root outside 1..50,
// a key that does not fit it or the target's key type, or runs past the
// node), or the first failing insertion; the entries before a failure stay.
int32_t leaf_add(KXCB* target, const uint8_t* leaf, uint8_t from);

}  // namespace kx
