#include "btree/cursor.h"

#include <cstdlib>
#include <cstring>

#include "frame/control_block.h"
#include "storage/file.h"

namespace kx {

RootCursor* root_cursor(KXCB* cb, int32_t root) {
    if (root < 1 || root > 51) return nullptr;
    if (cb->cursors[root] != nullptr) return static_cast<RootCursor*>(cb->cursors[root]);
    auto* c = static_cast<RootCursor*>(storage::allocate(cb, sizeof(RootCursor)));
    if (c == nullptr) return nullptr;
    std::memset(c, 0, sizeof *c);
    c->index = 0;
    c->leaf = NoNode;
    c->position_root = -1;
    c->stale = 1;
    cb->cursors[root] = c;
    auto* census = static_cast<CursorCensus*>(cb->cursors[0]);
    if (census == nullptr) {
        // Made with the first cursor, or later from the table if it could
        // not be made then.
        census = static_cast<CursorCensus*>(std::malloc(sizeof(CursorCensus)));
        if (census == nullptr) return c;
        census->roots = 0;
        for (int32_t r = 1; r <= 51; ++r)
            if (cb->cursors[r] != nullptr) census->roots |= uint64_t{1} << r;
        cb->cursors[0] = census;
    }
    census->roots |= uint64_t{1} << root;
    return c;
}

void free_cursors(KXCB* cb) {
    for (int r = 0; r < 52; ++r) {
        std::free(cb->cursors[r]);
        cb->cursors[r] = nullptr;
    }
}

void forget_cursors(KXCB* cb) {
    for (int r = 0; r < 52; ++r) cb->cursors[r] = nullptr;
}

void mark_cursors_stale(KXCB* cb, bool create) {
    for (int r = 1; r <= 51; ++r) {
        RootCursor* c = create ? root_cursor(cb, r) : existing_cursor(cb, r);
        if (c != nullptr) c->stale = 1;
    }
}

}  // namespace kx

// ---- Exported cursor accessors ------------------------------------------

#include "btree/keys.h"

using namespace kx;

extern "C" {

KX_API void getcurkey(KXCB* cb, int32_t root, void* buffer) {
    if (buffer == nullptr) return;
    RootCursor* c = is_open(cb) ? root_cursor(cb, root) : nullptr;
    if (c == nullptr || root > 50) {
        static_cast<uint8_t*>(buffer)[0] = 0;
        return;
    }
    cikeycpy(cb, root, buffer, c->key);
}

KX_API uint32_t fgetrcval(KXCB* cb, int32_t root) {
    RootCursor* c = is_open(cb) ? root_cursor(cb, root) : nullptr;
    return c != nullptr ? c->record : 0;
}

KX_API uint8_t fgetdbyte(KXCB* cb, int32_t root) {
    RootCursor* c = is_open(cb) ? root_cursor(cb, root) : nullptr;
    return c != nullptr ? c->piece : 0;
}

KX_API int32_t fgetndenum(KXCB* cb, int32_t root) {
    RootCursor* c = is_open(cb) ? root_cursor(cb, root) : nullptr;
    if (c == nullptr || c->leaf > cb->node_count) return -1;
    return static_cast<int32_t>(c->leaf);
}

}  // extern "C"
