#include "indexfile/freelist.h"

#include <algorithm>
#include <initializer_list>

#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/header.h"
#include "multiuser/sections.h"
#include "storage/file.h"

namespace kx {

namespace {

// Zero slots written by one call when the file grows ahead of need, the
// most it grows ahead at once, and the largest node count it grows to ahead
// of need (node numbers stay positive 32-bit values).
constexpr uint32_t ZeroRun = 32;
constexpr int64_t GrowthLimit = 256;
constexpr uint32_t MaxNodeCount = 0x7FFFFFFF;

bool writes_header_at_once(const KXCB* cb) { return cb->flush_mode >= 1 && cb->flush_mode <= 3; }

int32_t current_height(const KXCB* cb) {
    const uint32_t slot = cb->current_slot;
    if (slot == 0 || slot > 50) return static_cast<int32_t>(cb->main_height);
    return cb->slot_heights[slot - 1];
}

// Writes k zero node slots at the end of the file (and of the mirror's),
// at node count; the node count follows.
int32_t append_zero_slots(KXCB* cb, uint32_t k) {
    static const uint8_t zero[ZeroRun * NodeSize] = {};
    for (KXCB* f : {cb, cb->mirror}) {
        if (f == nullptr) continue;
        if (storage::seek(f, cb->node_count, NodeSize, NodeBase) != 0) return err::Seek;
        const int32_t rc = storage::write(f, zero, k * NodeSize);
        if (rc != 0) return rc;
    }
    cb->node_count += k;
    cb->header_dirty = 1;
    return 0;
}

// Appends zero node slots until `needed` spare slots exist, one slot at a
// time.  A file that has to grow then grows by an eighth more (at most
// GrowthLimit slots, nothing for files under 8 nodes), in runs of zero
// slots: the next many allocations then find their slots already in the
// file, so that the flushes after them write the changed nodes only and
// need not also record a longer file (on journalling file systems a second,
// costlier write).  Spare slots beyond the high-water mark are zero and
// harmless to every reader; the extra growth is best effort, and a failure
// there leaves the slots asked for in place.
int32_t ensure_spare(KXCB* cb, int64_t needed) {
    int32_t rc = 0;
    int64_t spare = static_cast<int32_t>(cb->node_count - cb->next_node);
    if (needed > spare) {
        cb->flush_needed = 1;
        const int64_t extra = std::min<int64_t>(cb->node_count / 8, GrowthLimit);
        while (needed > spare) {
            rc = append_zero_slots(cb, 1);
            if (rc != 0) break;
            ++spare;
        }
        for (int64_t left = rc == 0 ? extra : 0; left > 0;) {
            const uint32_t k = static_cast<uint32_t>(std::min<int64_t>(left, ZeroRun));
            if (cb->node_count > MaxNodeCount - k || append_zero_slots(cb, k) != 0) break;
            left -= k;
        }
    }
    if (cb->flush_needed && rc == 0 && writes_header_at_once(cb) && exclusive(cb)) {
        rc = storage::flush_checked(cb);
        cb->flush_needed = 0;
        if (rc == 0) rc = hdrwrite(cb);
    }
    cb->io_error = rc;
    return rc;
}

}  // namespace

int32_t header_changed(KXCB* cb) {
    if (writes_header_at_once(cb)) return hdrwrite(cb);
    cb->header_dirty = 1;
    return 0;
}

uint32_t nodealloc(KXCB* cb) {
    uint32_t n;
    if (cb->free_head == NoNode) {
        n = cb->next_node++;
    } else {
        // Read without taking a pool buffer: callers may hold node images of
        // the pool (the transaction log allocates while an insertion holds
        // its leaf).
        WorkImage& img = work::split();
        if (cb->free_head >= cb->node_count || cachefetch(cb, img, cb->free_head) != 0) return NoNode;
        n = cb->free_head;
        cb->free_head = load<uint32_t>(img.bytes + 4);
    }
    if (writes_header_at_once(cb)) {
        if (hdrwrite(cb) != 0) return NoNode;
    } else {
        cb->header_dirty = 1;
    }
    return n;
}

int32_t nodefree(KXCB* cb, WorkImage& image, uint32_t n) {
    store<uint32_t>(image.bytes + 0, NoNode);
    store<uint32_t>(image.bytes + 4, cb->free_head);
    store<uint32_t>(image.bytes + 8, NoNode);
    store<int16_t>(image.bytes + 12, -1);
    if (n == 0) {
        // Node 0 is marked free but never handed out again: 0 stands for
        // "no node" where the header names a tree slot's root node and the
        // log its nodes, so a slot tree or log node there would be lost.
        store<uint32_t>(image.bytes + 4, NoNode);
        return 0;
    }
    cb->free_head = n;
    return header_changed(cb);
}

int32_t nodespare(KXCB* cb) { return ensure_spare(cb, int64_t{current_height(cb)} + 1); }

int32_t nodesparen(KXCB* cb, const KXDLIST* list) {
    int64_t keys = 0;
    // A data list ends with an 'E' entry; the bound keeps a list without one
    // from being read without end.
    for (int i = 0; list != nullptr && i < 4096 && list[i].type != 'E'; ++i)
        if (list[i].root != 0) ++keys;
    return ensure_spare(cb, (int64_t{current_height(cb)} + 1) * (keys + 1));
}

}  // namespace kx

using namespace kx;

extern "C" {

KX_API int32_t cflush(KXCB* cb) {
    if (!is_open(cb)) return err::NotOpen;
    if (!exclusive(cb)) return result(cb, 0);
    cb->io_error = 0;
    int32_t rc = strtwrit(cb);
    if (rc != 0) return result(cb, rc);
    int32_t r = 0;
    if (cb->header_dirty) r = hdrwrite(cb);
    if (r == 0) r = cacheflush(cb);
    if (cb->flush_needed && r == 0) {
        r = storage::flush_checked(cb);
        cb->flush_needed = 0;
    }
    const int32_t e = endwrit(cb);
    return result(cb, e != 0 ? e : r);
}

KX_API int32_t csetfile(KXCB* cb, uint32_t mode) {
    if (!is_open(cb)) return err::NotOpen;
    if (!exclusive(cb) && (mode == 2 || mode == 3)) mode = 1;
    if (mode > 4) return result(cb, err::Fail);
    cb->flush_mode = static_cast<int32_t>(mode);
    return result(cb, 0);
}

}  // extern "C"
