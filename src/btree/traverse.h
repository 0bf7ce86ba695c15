// Sequential traversal along the leaf chain.
//
// Leaves are linked left and right; empty leaves are passed over.  A root's
// cursor walks its entries in entry order: the one-entry steps below move it
// by one entry, _cnext/_cprev by one datum (a datum's continuation pieces are
// passed over, so a cursor always ends on piece 0), cnextrep hands many data
// to a caller's function within one read section.  In shared mode a cursor
// made stale by another process's change is re-found by key first.
#pragma once

#include <cstdint>

#include "btree/cursor.h"
#include "btree/node.h"
#include "kindex.h"

namespace kx {

// Walks entries from a (leaf, index) position, reading leaves into the
// working leaf.
struct EntryWalker {
    uint32_t leaf;
    int32_t index;
    // The working leaf's kept offsets, valid while the layout epoch is the
    // one they were taken at.
    const EntryIndex* ix = nullptr;
    uint64_t epoch = 0;
    bool loaded = false;

    EntryWalker(uint32_t l, int32_t i) : leaf(l), index(i) {}
    // Entries in the leaf the walker stands in (0 before it read one).
    int32_t count() const { return ix != nullptr ? ix->count : 0; }
    // The entry at the position, or the first entry after it (following
    // right links past the leaf's end); null at the end of the chain.
    const uint8_t* current(KXCB* cb, int32_t* rc);
    // The entry after the current one.
    const uint8_t* next(KXCB* cb, int32_t* rc);
    // The offset of the position in the working leaf (the end marker's place
    // when past the last entry).
    int32_t offset() const { return ix->offset(index < 0 ? 0 : (index > ix->count ? ix->count : index)); }

private:
    int32_t load(KXCB* cb);
};

// One-entry steps of the root cursor; the result is also the last result.
int32_t step_forward(KXCB* cb, RootCursor* c);
int32_t step_backward(KXCB* cb, RootCursor* c);

}  // namespace kx

extern "C" {
KX_API int32_t _cnext(KXCB* cb);
KX_API int32_t _cprev(KXCB* cb);
KX_API int32_t _cfind(KXCB* cb);
KX_API int32_t _cfirst(KXCB* cb);
KX_API int32_t _clast(KXCB* cb);
KX_API int32_t _cgetcur(KXCB* cb);
}
