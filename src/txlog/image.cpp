#include "txlog/image.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "btree/cursor.h"
#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/header.h"
#include "indexfile/nodecache.h"
#include "storage/file.h"
#include "txlog/txlog.h"
#include "txlog/txstate.h"

namespace kx {

namespace {

std::unordered_map<const KXCB*, TxState>& states() {
    static std::unordered_map<const KXCB*, TxState> table;
    return table;
}

// Process-wide count of image sections, so that a mark never repeats even
// when a restore moves a file's change counter back.
uint32_t g_section_marks = 0;

constexpr uint32_t RecordNode = 16;
constexpr uint32_t RecordSum = 24;
constexpr uint32_t RecordGeneration = 32;
constexpr uint32_t RecordImage = BufferHeaderSize;
constexpr int16_t MaxRecordCount = 290;

// Whether record bytes (node header already in host order) can be a
// before-image of the section with change counter s.
bool valid_record(const uint8_t* r, uint32_t s) {
    if (load<uint32_t>(r + RecordGeneration) != s) return false;
    const uint8_t* x = r + RecordImage;
    const int16_t kind = load<int16_t>(x + 12);
    const int16_t count = load<int16_t>(x + 14);
    const int16_t free = load<int16_t>(x + 16);
    if (free > 2030 || free < 0 || count > MaxRecordCount || count < 0) return false;
    // Log nodes carry chain fields where tree nodes have their links: the
    // link tests apply to tree and free nodes only.
    if (kind == lognode::HeadKind || kind == lognode::ContinuationKind) return true;
    const auto next = load<int32_t>(x + 4);
    const auto prev = load<int32_t>(x + 8);
    if (next != -1 && (next == prev || next < -1)) return false;
    return prev >= -1;
}

}  // namespace

TxState& tx_state(const KXCB* cb) { return states()[cb]; }

TxState* find_tx_state(const KXCB* cb) {
    auto& t = states();
    const auto it = t.find(cb);
    return it == t.end() ? nullptr : &it->second;
}

void tx_forget(const KXCB* cb) { states().erase(cb); }

void image_section_begin(KXCB* cb) {
    TxState& s = tx_state(cb);
    s.section_mark = ++g_section_marks;
    if (s.section_mark == 0) {
        // The marks wrapped: nothing noted may be taken for this section's.
        for (auto& t : states()) t.second.imaged.assign(t.second.imaged.size(), 0);
        s.section_mark = ++g_section_marks;
    }
    s.section_next_node = cb->next_node;
    s.image_unflushed = true;
    s.header_unflushed = true;
}

bool image_wanted(const KXCB* cb, uint32_t n) {
    const TxState* s = find_tx_state(cb);
    if (s == nullptr || n >= s->section_next_node) return false;
    return n >= s->imaged.size() || s->imaged[n] != s->section_mark;
}

void image_taken(const KXCB* cb, uint32_t n, uint32_t record) {
    TxState& s = tx_state(cb);
    if (n >= s.imaged.size()) {
        const size_t size = static_cast<size_t>(n) + 1 + n / 8;
        s.imaged.resize(size, 0);
        s.image_record.resize(size, TxState::NoRecord);
    }
    s.imaged[n] = s.section_mark;
    s.image_record[n] = record;
    if (record != TxState::NoRecord) s.image_unflushed = true;
}

namespace {
int32_t flush_image(KXCB* cb, TxState* s) {
    const int32_t rc = storage::flush_checked(cb->image);
    if (rc != 0) return err::Write;
    s->image_unflushed = false;
    s->header_unflushed = false;
    cb->before_images_flushed = cb->before_images;
    return 0;
}
}  // namespace

int32_t image_ahead(KXCB* cb) {
    if (cb->image == nullptr) return 0;
    TxState* s = find_tx_state(cb);
    if (s == nullptr || !s->header_unflushed) return 0;
    return flush_image(cb, s);
}

int32_t image_ahead_of(KXCB* cb, uint32_t n) {
    if (cb->image == nullptr) return 0;
    TxState* s = find_tx_state(cb);
    if (s == nullptr || (!s->header_unflushed && !s->image_unflushed)) return 0;
    const bool own_unflushed = n < s->imaged.size() && s->imaged[n] == s->section_mark &&
                               s->image_record[n] != TxState::NoRecord &&
                               s->image_record[n] >= cb->before_images_flushed;
    if (!s->header_unflushed && !own_unflushed) return 0;
    return flush_image(cb, s);
}

uint64_t image_record_sum(const uint8_t* record) {
    // FNV-1a over everything but the first 16 bytes and the sum itself.
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint32_t i = RecordNode; i < BeforeImageSize; ++i) {
        if (i >= RecordSum && i < RecordSum + 8) continue;
        h = (h ^ record[i]) * 0x100000001b3ull;
    }
    return h;
}

}  // namespace kx

using namespace kx;

extern "C" {

KX_API int32_t imageback(KXCB* cb, KXCB* image) {
    if (!is_open(cb)) return err::NotOpen;
    if (!is_open(image) || buffer_count() == 0) return result(cb, err::NotOpen);
    cb->image = image;
    cb->before_images = 0;
    cb->before_images_flushed = 0;
    return result(cb, 0);
}

}  // extern "C"

namespace {
int32_t restore(KXCB* cb, KXCB* image);
}  // namespace

extern "C" {

// Restoring, as a recipe.  The write section of the restore keeps other
// processes out, and it starts over a set write-in-progress marker: call it
// on the marked file as it is.  At flush mode 4 its first write sets the
// marker (whatever the lazy-marker option says) and its end clears it once
// everything is written back, so a stop or a failure in the middle of a
// restore leaves a file that is refused until the restore is run again (a
// restore can be repeated: it writes the same header and nodes).  On a
// shared file the marker must stay set until then: a clrwrit ahead of the
// restore lets another process's write section into the file before it is
// put back, and the restore then takes back that process's work too.  Run
// it only on a file whose marker is (or was) set: the image of a section
// that completed would take that section back.
KX_API int32_t imagerest(KXCB* cb, KXCB* image) {
    if (!is_open(cb)) return err::NotOpen;
    if (!is_open(image)) return result(cb, err::NotOpen);
    // An image file attached to the block would take this section's header
    // itself: it is set aside while the restore runs.
    KXCB* const attached = cb->image;
    const uint32_t lazy = cb->lazy_marker;
    cb->image = nullptr;
    cb->lazy_marker = 1;
    const int32_t rc = restore(cb, image);
    cb->image = attached;
    cb->lazy_marker = lazy;
    return result(cb, rc);
}

}  // extern "C"

namespace {
int32_t restore(KXCB* cb, KXCB* image) {
    // The section starts whatever the write-in-progress marker says: putting
    // such a file back is what a restore is for.  Its own writes at flush
    // mode 4 set the marker again, and its end clears it.
    const int32_t mode = cb->flush_mode;
    const bool outermost = cb->write_depth == 0;
    if (mode == 4 && outermost) cb->flush_mode = 1;
    int32_t rc = strtwrit(cb);
    cb->flush_mode = mode;
    if (rc != 0) return rc;
    if (mode == 4 && outermost) {
        cb->marker_written = 0;
        cb->marker_present = 0;
    }
    // Whatever the pool holds of the file may be the interrupted section's
    // work: it is dropped, never written.
    cachestale(cb);
    mark_cursors_stale(cb, false);
    cb->cached_root = -1;

    // 1. The header of the section's start.  Its change counter moves past
    // both the interrupted section's own (s) and the one this section found
    // in the file: another process of a shared file keeps its header and
    // nodes while the file's counter equals its copy, and it may have read
    // the header the interrupted section wrote (counter s), or a header
    // written after that section (by a writer that came in while the marker
    // was cleared, or one that does not look at the marker).  A counter that
    // such a process has seen, on a file put back under it, would make it
    // go on from a header and nodes that are no longer the file's.  (Going
    // back to s - 1 would make the next section's counter s once more.)
    // The section's own counter is already past the file's.
    const uint32_t found = cb->change_counter;
    rc = read_header(image);
    uint32_t s = 0;
    if (rc == 0) {
        uint8_t h[HeaderSize];
        build_header(image, h);
        load_header(cb, h);
        s = cb->change_counter;
        cb->change_counter = std::max(s + 1, found);
        rc = hdrwrite(cb);
        if (rc == 0) cb->header_dirty = 0;
    }

    // 2. The valid records: they end at the first that is short, of another
    // section, cut by a power loss or not shaped like a node.
    uint32_t valid = 0;
    uint8_t record[BeforeImageSize];
    const uint8_t flag = order_flag(cb);
    if (rc == 0) {
        for (;; ++valid) {
            if (storage::seek(image, valid, BeforeImageSize, NodeBase) != 0) break;
            if (storage::read(image, record, BeforeImageSize) != 0) break;
            // The sum covers the record as stored.
            if (load<uint64_t>(record + RecordSum) != image_record_sum(record)) break;
            nodefrom(record + BufferHeaderSize, flag);
            if (!valid_record(record, s)) break;
        }
    }

    // 3. Newest first, so that the oldest image of a node is the one that
    // stays.  Nodes at or above the restored high-water mark are emptied
    // below instead.
    for (uint32_t j = valid; rc == 0 && j-- > 0;) {
        if (storage::seek(image, j, BeforeImageSize, NodeBase) != 0) {
            rc = err::Seek;
            break;
        }
        rc = storage::read(image, record, BeforeImageSize);
        if (rc != 0) break;
        nodefrom(record + BufferHeaderSize, flag);
        const uint32_t n = load<uint32_t>(record + RecordNode);
        if (n >= cb->next_node) continue;
        WorkImage& w = work::leaf();
        w.clear_identity();
        std::memset(w.bytes, 0, sizeof w.bytes);
        std::memcpy(w.bytes, record + BufferHeaderSize, NodeSize);
        rc = cacheput(cb, w, n);
        w.clear_identity();
    }
    if (rc != 0) {
        // What was restored so far is written back, but the marker stays:
        // the file is not whole until a restore runs to its end.
        cb->marker_present = 0;
        const int32_t end = endwrit(cb);
        return end != 0 ? end : rc;
    }

    // 4. Nodes the interrupted section allocated are emptied, up to the end
    // of the file (errors here are not reported: the header no longer counts
    // those slots as used).
    static const uint8_t zero[NodeSize] = {};
    uint8_t slot[NodeSize];
    for (uint32_t n = cb->next_node;; ++n) {
        if (storage::seek(cb, n, NodeSize, NodeBase) != 0 || storage::read(cb, slot, NodeSize) != 0) break;
        if (std::memcmp(slot, zero, NodeSize) == 0) continue;
        if (storage::seek(cb, n, NodeSize, NodeBase) != 0 || storage::write(cb, zero, NodeSize) != 0) break;
    }
    return endwrit(cb);
}
}  // namespace
