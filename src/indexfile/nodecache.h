// The node buffer cache: one process-wide pool of node buffers shared by
// every open control block, kept in most-recently-used order and refilled
// from its least-recently-used end.
//
// Node buffer (2084 bytes; the same bytes form a before-image record in an
// image file, so the order of the 36-byte buffer header is fixed):
//   0   owner control block (pointer; null when free)
//   8   owner's file handle at the time the node was stored (~0 when free)
//   16  node number (~0 when free)                    u32, host order
//   20  dirty flag                                    u32
//   24  next buffer in most-recently-used order       pointer
//   32  image generation: owner's change counter when the node's old image
//       was last copied to the image file (0 for a buffer just loaded)
//   36  node image, 2048 bytes, node header in host order
// A buffer matches a request of block C for node n when owner = C, node = n
// and handle = C's handle.  Beside the list a hash index on that identity
// finds a buffer in constant time whatever the pool size; the list alone
// fixes the replacement order: a hit moves the buffer to the head, a miss
// takes the last buffer of the list (the least recently used) as victim.
//
// Before-image record k of an image file lies at 1024 + 2084 * k: a node
// buffer as above with the node header in the file's byte order.
//
// Work images: process-wide node images with an overflow area (an insertion
// may overfill a node until it is split) and an identity saying which node of
// which file they hold: the working leaf, the split image, the log buffer,
// the rollback buffer and a zero image.
#pragma once

#include <cstdint>

#include "kindex.h"

namespace kx {

constexpr uint32_t OverflowSize = 275;
constexpr uint32_t BufferHeaderSize = 36;
constexpr uint32_t BeforeImageSize = 2084;

struct WorkImage {
    uint8_t bytes[2048 + OverflowSize] = {};
    KXCB* owner = nullptr;
    uint64_t handle = ~uint64_t{0};
    uint32_t node = 0xFFFFFFFFu;
    // Outside the node header and the changed range [changed_from,
    // changed_to) the bytes equal the pool buffer whose content stamp is
    // `base` (0: no such buffer is known), so writing the image back there
    // copies the header and the changed range only.
    uint64_t base = 0;
    int32_t changed_from = 0;
    int32_t changed_to = 0;

    // The image now equals the buffer content with this stamp (0: none).
    void rebase(uint64_t stamp) {
        base = stamp;
        changed_from = 2048;
        changed_to = 0;
    }
    // Notes that bytes [from, to) of the image changed.
    void changed(int32_t from, int32_t to) {
        if (from < changed_from) changed_from = from;
        if (to > changed_to) changed_to = to;
    }

    void clear_identity();
    bool holds(const KXCB* cb, uint32_t n) const {
        return owner == cb && handle == cb->handle && node == n;
    }
};

// The process-wide work images, constant-initialised (no identity).
struct WorkImages {
    WorkImage leaf, split, log, rollback, zero, scratch;
};
extern WorkImages g_work_images;

// The layout epoch: a process-wide count bumped whenever the entry layout of
// a node image in memory may have changed (a node copied or read into a work
// image, entries inserted or removed, a node initialised or cut, a work
// image's identity given up).  Entry offsets worked out from the working
// leaf are reused only while the epoch they were taken at is current.
inline uint64_t g_layout_epoch = 1;
inline void layout_changed() { ++g_layout_epoch; }

namespace work {
inline WorkImage& leaf() { return g_work_images.leaf; }
inline WorkImage& split() { return g_work_images.split; }
inline WorkImage& log() { return g_work_images.log; }
inline WorkImage& rollback() { return g_work_images.rollback; }
inline WorkImage& zero() { return g_work_images.zero; }
inline WorkImage& scratch() { return g_work_images.scratch; }
}  // namespace work

// Notes that the entry layout of a node image may have changed: only the
// working leaf's offsets are kept by epoch, so other images move nothing.
inline void layout_changed(const uint8_t* image) {
    if (image == work::leaf().bytes) layout_changed();
}

// Notes a change of bytes [from, to) of a node image when it is the working
// leaf (other images are always written back whole).
inline void image_changed(const uint8_t* image, int32_t from, int32_t to) {
    if (image == work::leaf().bytes) work::leaf().changed(from, to);
}

// Pool size and start-up.
int32_t poolstart(KXCB* scratch);
int32_t endbcb_impl(KXCB* scratch);
int32_t buffer_count();
bool pool_started();

// Node transfer through the pool.
int32_t cacheget(KXCB* cb, WorkImage& image, uint32_t n);
// With `stored`, the pool buffer that now holds the node and its new content
// stamp are handed back (null and 0 without a pool).
int32_t cacheput(KXCB* cb, WorkImage& image, uint32_t n, const uint8_t** stored = nullptr,
                 uint64_t* stamp = nullptr);
// Makes a work image hold node n by copying the node's image as cachepeek
// handed it out (src may be the work image itself).
void cacheadopt(KXCB* cb, WorkImage& image, uint32_t n, const uint8_t* src);
// Looks node n up like cacheget but hands out its image where it lies (the
// pool buffer, or a scratch image without a pool) instead of copying it: a
// search reads interior nodes this way.  The image is read-only, has no
// overflow area, and stays valid until the next call of the node cache.
// *stamp identifies the buffer's content: it is never handed out again for
// other content (0 when the image is not a pool buffer).  *note, when asked
// for, is the note last left on this content by cachenote (0: none).
const uint8_t* cachepeek(KXCB* cb, uint32_t n, int32_t* rc, uint64_t* stamp, uint8_t* note = nullptr);
// A change made in place: cacheedit hands out the pool buffer holding node n
// (its image as cachepeek handed it out) for writing, after sending the
// node's previous content to the block's image file where a store would
// send it; cacheedited then ends the change the way cacheput ends a store
// (new content stamp, dirty, written at once where the flush mode asks).
// cacheedit answers null when the node cannot be changed in place (no pool,
// not a buffer of this block's, a damaged header; *rc 0: go through a work
// image and cacheput) or the before-image could not be written (*rc).
uint8_t* cacheedit(KXCB* cb, const uint8_t* image, uint32_t n, int32_t* rc);
int32_t cacheedited(KXCB* cb, uint8_t* image, uint64_t* stamp);
// Whether a pool buffer image still holds node n of the block with the
// content of that stamp.
bool cacheholds(const KXCB* cb, const uint8_t* image, uint32_t n, uint64_t stamp);
// Leaves a one-byte note on a pool buffer's content, as long as that content
// is the one with the given stamp: a fact worked out from the bytes (the
// searches note the size of the entries when all have one), handed out by
// cachepeek until the content changes.  Anything else is ignored.
void cachenote(const uint8_t* image, uint64_t stamp, uint8_t note);
// Writes the block's changed buffers back (each node's before-image on
// stable storage first) and, with `flush`, flushes the file.
int32_t cacheflush(KXCB* cb, bool flush = true);
int32_t cacherelease(KXCB* cb);
// Drops node n's buffer without writing it (its before-image is taken first
// when an image file is attached).
int32_t cachedrop(KXCB* cb, uint32_t n);
// Takes node n's before-image for the block's image file, when the node
// still needs one in this section: from its buffer, else from the file.
int32_t cacheimage(KXCB* cb, uint32_t n);
// Copies node n into a work image from its pool buffer, or reads it from the
// file when the pool has none, without taking or giving up any buffer: the
// images that callers hold from cachepeek stay where they are.
int32_t cachefetch(KXCB* cb, WorkImage& image, uint32_t n);
void cachestale(KXCB* cb);

// Introspection for tests and tools: the buffer counts and the node numbers
// in most-recently-used order for one block.
struct PoolStats {
    int32_t buffers;
    int32_t owned;
    int32_t dirty;
};
PoolStats pool_stats();
int32_t pool_order(const KXCB* cb, uint32_t* nodes, int32_t max);

}  // namespace kx
