// Root cursors: the position of a control block in one root.
//
// A cursor is created on first use of its root and freed when the file is
// closed; the control block keeps the pointers in its root cursor table,
// entries 1..51.  Fields:
//   key            copy of the current entry's key, file byte order (244 bytes)
//   record value   current entry's record value, host order
//   piece byte     current entry's piece byte
//   entry index    index of the current entry in its leaf; -1 before the first
//   leaf node      leaf holding the current entry, ~0 none
//   position root  root of the entry under the cursor; -1 never positioned; a
//                  number above the cursor's own root: past the end of it
//   before flag    the entry under the cursor was removed: the cursor stands
//                  in the gap, its index on the entry before the gap
//   stale flag     the file may have changed under the cursor (another
//                  process wrote); the next positioning call re-finds by key
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "kindex.h"

namespace kx {

constexpr int CursorKeySize = 244;

struct RootCursor {
    uint8_t key[CursorKeySize];
    uint32_t record;
    uint8_t piece;
    int32_t index;
    uint32_t leaf;
    int32_t position_root;
    uint8_t before;
    uint8_t stale;
};

// The cursor of root (1..51), created when missing; null when it cannot be
// allocated (the block's deferred error is then -34) or root is out of range.
RootCursor* root_cursor(KXCB* cb, int32_t root);
// The cursor if it exists, else null.
inline RootCursor* existing_cursor(const KXCB* cb, int32_t root) {
    if (root < 1 || root > 51) return nullptr;
    return static_cast<RootCursor*>(cb->cursors[root]);
}

// The roots that have a cursor, one bit per root, kept in the cursor table's
// otherwise unused entry 0 (null when it could not be allocated: the table
// is then scanned), so that the sweeps over every cursor after an entry
// moved visit the cursors that exist and nothing else.
struct CursorCensus {
    uint64_t roots;
};

// The first root from r up to 51 that has a cursor, or 52.
inline int32_t next_cursor_root(const KXCB* cb, int32_t r) {
    if (r < 1) r = 1;
    if (r > 51) return 52;
    if (const auto* census = static_cast<const CursorCensus*>(cb->cursors[0])) {
        const uint64_t rest = census->roots >> r;
        return rest == 0 ? 52 : r + std::countr_zero(rest);
    }
    for (; r + 3 <= 51; r += 4) {
        uintptr_t v[4];
        std::memcpy(v, &cb->cursors[r], sizeof v);
        if ((v[0] | v[1] | v[2] | v[3]) != 0) break;
    }
    while (r <= 51 && cb->cursors[r] == nullptr) ++r;
    return r;
}
// Frees every cursor of the block (close).
void free_cursors(KXCB* cb);
// Clears the cursor table without freeing (a fresh open: the table holds
// whatever the host left in the block).
void forget_cursors(KXCB* cb);
// Marks every cursor stale; with create, cursors are made where missing.
void mark_cursors_stale(KXCB* cb, bool create);

}  // namespace kx
