#include "indexfile/nodecache.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/header.h"
#include "multiuser/sections.h"
#include "storage/file.h"
#include "storage/platform.h"
#include "txlog/image.h"
#include "txlog/nodeput.h"
#include "txlog/txstate.h"

namespace kx {

namespace {

#pragma pack(push, 1)
struct NodeBuffer {
    KXCB* owner;
    uint64_t handle;
    uint32_t node;
    uint32_t dirty;
    NodeBuffer* next;
    uint32_t generation;
    uint8_t image[NodeSize];
};
#pragma pack(pop)
static_assert(sizeof(NodeBuffer) == BeforeImageSize);
static_assert(offsetof(NodeBuffer, node) == 16);
static_assert(offsetof(NodeBuffer, generation) == 32);
static_assert(offsetof(NodeBuffer, image) == BufferHeaderSize);

constexpr uint32_t None = UINT32_MAX;
// The node header (links, level, count, free bytes) ahead of the entries.
constexpr int32_t NodeHeaderBytes = 18;

// The process-wide buffer pool.  The buffers form one array; the list order
// is kept by each buffer's next pointer plus a side array of predecessors,
// and a hash index over (owner, handle, node) finds a buffer without walking
// the list.  The dirty buffers are listed apart, so that a flush costs the
// dirty buffers and not the pool.  Side arrays cost 20 bytes and one bit per
// buffer (predecessor, hash chain, content stamp, dirty list, listed bit)
// plus 4 per hash bucket; the dirty list's pages are touched only as far as
// buffers become dirty.
struct Pool {
    int32_t count = 100;
    bool started = false;
    NodeBuffer* buffers = nullptr;  // large-page memory of buffers_bytes
    size_t buffers_bytes = 0;
    NodeBuffer* head = nullptr;
    NodeBuffer* tail = nullptr;
    uint32_t* prev = nullptr;
    uint32_t* chain = nullptr;
    // Content stamp per buffer: a new value whenever the buffer's image or
    // identity changes, so that what was derived from an image (the entry
    // offsets of a search) can be kept and recognised as still valid.  The
    // stamp proper is the upper 56 bits; the low byte is the buffer's layout
    // note (see cachenote), cleared with every new stamp.
    uint64_t* stamps = nullptr;
    uint64_t next_stamp = 1;
    static constexpr uint64_t NoteBits = 0xFF;
    uint32_t* buckets = nullptr;
    uint32_t mask = 0;
    int32_t dirty = 0;
    // Every dirty buffer is in the dirty list (a buffer made clean leaves it
    // at the next flush); `listed` has one bit per buffer saying whether it
    // is in the list, so that no buffer is listed twice.
    uint32_t* dirty_list = nullptr;
    int32_t dirty_listed = 0;
    uint8_t* listed = nullptr;

    uint32_t index(const NodeBuffer* b) const { return static_cast<uint32_t>(b - buffers); }

    static uint32_t hash(const KXCB* owner, uint64_t handle, uint32_t node) {
        uint64_t x = reinterpret_cast<uintptr_t>(owner) ^ (handle * 0x9E3779B97F4A7C15ull) ^
                     (uint64_t{node} * 0xC2B2AE3D27D4EB4Full);
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ull;
        x ^= x >> 32;
        return static_cast<uint32_t>(x);
    }

    void unhash(NodeBuffer* b) {
        if (b->owner == nullptr) return;
        uint32_t* link = &buckets[hash(b->owner, b->handle, b->node) & mask];
        const uint32_t me = index(b);
        while (*link != None) {
            if (*link == me) {
                *link = chain[me];
                chain[me] = None;
                return;
            }
            link = &chain[*link];
        }
    }

    void rehash(NodeBuffer* b) {
        if (b->owner == nullptr) return;
        uint32_t& bucket = buckets[hash(b->owner, b->handle, b->node) & mask];
        chain[index(b)] = bucket;
        bucket = index(b);
    }

    // Gives a buffer a new identity, keeping the hash index in step.
    void restamp(const NodeBuffer* b) { stamps[index(b)] = (next_stamp++) << 8; }
    uint64_t stamp_of(const NodeBuffer* b) const { return stamps[index(b)] & ~NoteBits; }

    void set_identity(NodeBuffer* b, KXCB* owner, uint64_t handle, uint32_t node) {
        restamp(b);
        unhash(b);
        b->owner = owner;
        b->handle = handle;
        b->node = node;
        rehash(b);
    }

    void set_dirty(NodeBuffer* b, bool d) {
        if (b->dirty != 0 && !d) --dirty;
        if (b->dirty == 0 && d) {
            ++dirty;
            const uint32_t i = index(b);
            if ((listed[i >> 3] & (1u << (i & 7))) == 0) {
                listed[i >> 3] = static_cast<uint8_t>(listed[i >> 3] | (1u << (i & 7)));
                dirty_list[dirty_listed++] = i;
            }
        }
        b->dirty = d ? 1 : 0;
    }

    // Drops the buffers that are clean again from the dirty list.
    void prune_dirty_list() {
        int32_t kept = 0;
        for (int32_t k = 0; k < dirty_listed; ++k) {
            const uint32_t i = dirty_list[k];
            if (buffers[i].dirty != 0)
                dirty_list[kept++] = i;
            else
                listed[i >> 3] = static_cast<uint8_t>(listed[i >> 3] & ~(1u << (i & 7)));
        }
        dirty_listed = kept;
    }

    void free_buffer(NodeBuffer* b) {
        set_identity(b, nullptr, NoHandle, NoNode);
        set_dirty(b, false);
        b->generation = 0;
    }

    NodeBuffer* find(const KXCB* cb, uint32_t node) const {
        for (uint32_t i = buckets[hash(cb, cb->handle, node) & mask]; i != None; i = chain[i]) {
            NodeBuffer* b = &buffers[i];
            if (b->owner == cb && b->node == node && b->handle == cb->handle) return b;
        }
        return nullptr;
    }

    void move_to_front(NodeBuffer* b) {
        if (b == head) return;
        const uint32_t me = index(b);
        NodeBuffer* before = &buffers[prev[me]];
        before->next = b->next;
        if (b->next != nullptr)
            prev[index(b->next)] = prev[me];
        else
            tail = before;
        b->next = head;
        prev[index(head)] = me;
        prev[me] = None;
        head = b;
    }

    // The lookup: the matching buffer, or the least recently used one as the
    // victim, moved to the head of the list either way.
    NodeBuffer* lookup(const KXCB* cb, uint32_t node, bool* found) {
        NodeBuffer* b = find(cb, node);
        *found = b != nullptr;
        if (b == nullptr) b = tail;
        move_to_front(b);
        return b;
    }

    bool active() const { return started && head != nullptr; }

    // The buffer whose node image starts at `image`, or null.
    NodeBuffer* buffer_of(const uint8_t* image) const {
        if (buffers == nullptr) return nullptr;
        const auto first = reinterpret_cast<uintptr_t>(buffers[0].image);
        const auto at = reinterpret_cast<uintptr_t>(image);
        if (at < first || (at - first) % sizeof(NodeBuffer) != 0) return nullptr;
        const uintptr_t i = (at - first) / sizeof(NodeBuffer);
        return i < static_cast<uintptr_t>(count) ? &buffers[i] : nullptr;
    }

    // The buffer whose node image starts at `image`, while it holds the
    // content of that stamp (null otherwise, and for stamp 0).
    NodeBuffer* buffer_with(const uint8_t* image, uint64_t stamp) const {
        NodeBuffer* b = active() && stamp != 0 ? buffer_of(image) : nullptr;
        return b != nullptr && stamp_of(b) == stamp ? b : nullptr;
    }

    void release_memory() {
        os::release_large(buffers, buffers_bytes);
        buffers_bytes = 0;
        std::free(prev);
        std::free(chain);
        std::free(stamps);
        stamps = nullptr;
        std::free(buckets);
        std::free(dirty_list);
        std::free(listed);
        dirty_list = nullptr;
        listed = nullptr;
        dirty_listed = 0;
        buffers = head = tail = nullptr;
        prev = chain = buckets = nullptr;
        mask = 0;
        dirty = 0;
    }
};

// Constant-initialised, so that reaching it costs no guard.
Pool g_pool;
Pool& pool() { return g_pool; }

}  // namespace

constinit WorkImages g_work_images;

namespace {

bool matches(const NodeBuffer* b, const KXCB* cb) { return b->owner == cb && b->handle == cb->handle; }

int32_t direct_read(KXCB* cb, WorkImage& image, uint32_t n) {
    layout_changed(image.bytes);
    image.base = 0;
    std::memset(image.bytes + NodeSize, 0, OverflowSize);
    if (static_cast<int32_t>(n) < 0) return err::NegativeNode;
    if (storage::seek(cb, n, NodeSize, NodeBase) != 0) return err::Seek;
    const int32_t rc = storage::read(cb, image.bytes, NodeSize);
    if (rc != 0) return rc;
    nodefrom(image.bytes, order_flag(cb));
    return 0;
}

int32_t write_back(NodeBuffer* b) {
    KXCB* owner = b->owner;
    const uint8_t flag = order_flag(owner);
    nodeto(b->image, flag);
    const int32_t rc = nodeput(owner, b->image, b->node);
    nodefrom(b->image, flag);
    if (rc == 0) pool().set_dirty(b, false);
    return rc;
}

// Appends a node's old content (the 2084 bytes of a buffer holding it) to the
// image file as the next before-image record of this section.
int32_t append_before_image(KXCB* cb, const uint8_t* buffer_bytes, uint32_t n) {
    uint8_t record[BeforeImageSize];
    std::memcpy(record, buffer_bytes, BeforeImageSize);
    store<uint32_t>(record + 16, n);
    store<uint32_t>(record + 32, cb->change_counter);
    nodeto(record + BufferHeaderSize, order_flag(cb));
    store<uint64_t>(record + 24, image_record_sum(record));
    if (storage::seek(cb->image, cb->before_images, BeforeImageSize, NodeBase) != 0) return err::Seek;
    const int32_t rc = storage::write(cb->image, record, BeforeImageSize);
    if (rc != 0) return rc;
    image_taken(cb, n, cb->before_images++);
    return 0;
}

// Before a node of the block changes: its old content goes to the image file
// once per section, from its buffer when it has one, else from the file.
int32_t before_change(KXCB* cb, NodeBuffer* b, uint32_t n) {
    if (cb->image == nullptr || !image_wanted(cb, n)) return 0;
    if (b != nullptr) {
        b->generation = cb->change_counter;
        return append_before_image(cb, reinterpret_cast<const uint8_t*>(b), n);
    }
    uint8_t bytes[BeforeImageSize] = {};
    if (static_cast<int32_t>(n) < 0) return err::NegativeNode;
    if (storage::seek(cb, n, NodeSize, NodeBase) != 0) return err::Seek;
    const int32_t rc = storage::read(cb, bytes + BufferHeaderSize, NodeSize);
    if (rc != 0) return rc;
    nodefrom(bytes + BufferHeaderSize, order_flag(cb));
    return append_before_image(cb, bytes, n);
}

// After a buffer took the block's new content: dirty, and written at once
// where the flush mode asks (3: every node, 2: leaves).
int32_t after_change(KXCB* cb, NodeBuffer* b) {
    pool().set_dirty(b, true);
    const int16_t level = load<int16_t>(b->image + 12);
    if (cb->flush_mode == 3 || (cb->flush_mode == 2 && level == 0)) return write_back(b);
    return 0;
}

void staleness(KXCB* cb) {
    if (!exclusive(cb) && hdrprobe(cb) != 0 && pool().head != nullptr) cachestale(cb);
}

void clear_if(WorkImage& w, const KXCB* cb) {
    if (w.owner == cb && w.handle == cb->handle) w.clear_identity();
}

}  // namespace

void WorkImage::clear_identity() {
    layout_changed(bytes);
    base = 0;
    owner = nullptr;
    handle = NoHandle;
    node = NoNode;
}

int32_t buffer_count() { return pool().count; }
bool pool_started() { return pool().started; }

int32_t poolstart(KXCB* scratch) {
    Pool& p = pool();
    if (p.started) return 0;
    work::leaf().clear_identity();
    work::split().clear_identity();
    if (p.count == 0) {
        p.started = true;
        return 0;
    }
    const size_t n = static_cast<size_t>(p.count);
    size_t buckets = 1;
    while (buckets < n) buckets <<= 1;
    p.buffers_bytes = n * sizeof(NodeBuffer);
    p.buffers = static_cast<NodeBuffer*>(os::allocate_large(p.buffers_bytes));
    p.prev = static_cast<uint32_t*>(std::malloc(n * sizeof(uint32_t)));
    p.chain = static_cast<uint32_t*>(std::malloc(n * sizeof(uint32_t)));
    p.stamps = static_cast<uint64_t*>(std::calloc(n, sizeof(uint64_t)));
    p.buckets = static_cast<uint32_t*>(std::malloc(buckets * sizeof(uint32_t)));
    p.dirty_list = static_cast<uint32_t*>(std::malloc(n * sizeof(uint32_t)));
    p.listed = static_cast<uint8_t*>(std::calloc((n + 7) / 8, 1));
    p.dirty_listed = 0;
    if (p.buffers == nullptr || p.prev == nullptr || p.chain == nullptr || p.buckets == nullptr ||
        p.stamps == nullptr || p.dirty_list == nullptr || p.listed == nullptr) {
        p.release_memory();
        if (scratch != nullptr) scratch->deferred_error = err::NoMemory;
        return err::NoMemory;
    }
    p.mask = static_cast<uint32_t>(buckets - 1);
    std::memset(p.buckets, 0xFF, buckets * sizeof(uint32_t));
    for (size_t i = 0; i < n; ++i) {
        NodeBuffer* b = &p.buffers[i];
        std::memset(b, 0, sizeof *b);
        b->owner = nullptr;
        b->handle = NoHandle;
        b->node = NoNode;
        b->next = i + 1 < n ? &p.buffers[i + 1] : nullptr;
        p.prev[i] = i == 0 ? None : static_cast<uint32_t>(i - 1);
        p.chain[i] = None;
    }
    p.head = &p.buffers[0];
    p.tail = &p.buffers[n - 1];
    p.started = true;
    return 0;
}

int32_t endbcb_impl(KXCB*) {
    Pool& p = pool();
    if (!p.started) return 0;
    work::leaf().clear_identity();
    work::split().clear_identity();
    for (NodeBuffer* b = p.head; b != nullptr; b = b->next)
        if (b->owner != nullptr) return err::Fail;
    p.release_memory();
    p.started = false;
    return 0;
}

int32_t cacheget(KXCB* cb, WorkImage& image, uint32_t n) {
    if ((&image == &work::leaf() || &image == &work::log() || &image == &work::rollback()) && image.holds(cb, n))
        return 0;
    Pool& p = pool();
    if (!p.active()) {
        const int32_t rc = direct_read(cb, image, n);
        if (rc != 0) return rc;
    } else {
        staleness(cb);
        bool found = false;
        NodeBuffer* b = p.lookup(cb, n, &found);
        if (found) {
            std::memcpy(image.bytes, b->image, NodeSize);
            layout_changed(image.bytes);
            image.base = 0;
        } else {
            if (b->dirty) {
                const int32_t rc = write_back(b);
                if (rc != 0) return rc;
            }
            const int32_t rc = direct_read(cb, image, n);
            if (rc != 0) return rc;
            std::memcpy(b->image, image.bytes, NodeSize);
            p.set_identity(b, cb, cb->handle, n);
            p.set_dirty(b, false);
            b->generation = 0;
        }
    }
    std::memset(image.bytes + NodeSize, 0, OverflowSize);
    image.owner = cb;
    image.handle = cb->handle;
    image.node = n;
    return 0;
}

void cacheadopt(KXCB* cb, WorkImage& image, uint32_t n, const uint8_t* src) {
    if (src != image.bytes) {
        std::memcpy(image.bytes, src, NodeSize);
        std::memset(image.bytes + NodeSize, 0, OverflowSize);
        const Pool& p = pool();
        const NodeBuffer* b = p.active() ? p.buffer_of(src) : nullptr;
        image.rebase(b != nullptr ? p.stamp_of(b) : 0);
    }
    layout_changed(image.bytes);
    image.owner = cb;
    image.handle = cb->handle;
    image.node = n;
}

const uint8_t* cachepeek(KXCB* cb, uint32_t n, int32_t* rc, uint64_t* stamp, uint8_t* note) {
    *rc = 0;
    *stamp = 0;
    if (note != nullptr) *note = 0;
    if (work::leaf().holds(cb, n)) return work::leaf().bytes;
    Pool& p = pool();
    if (!p.active()) {
        WorkImage& s = work::scratch();
        *rc = direct_read(cb, s, n);
        s.clear_identity();
        return *rc == 0 ? s.bytes : nullptr;
    }
    staleness(cb);
    bool found = false;
    NodeBuffer* b = p.lookup(cb, n, &found);
    if (found) {
        const uint64_t s = p.stamps[p.index(b)];
        *stamp = s & ~Pool::NoteBits;
        if (note != nullptr) *note = static_cast<uint8_t>(s);
        return b->image;
    }
    if (b->dirty) {
        *rc = write_back(b);
        if (*rc != 0) return nullptr;
    }
    // Read straight into the victim: it keeps its old identity until the
    // read succeeded, and is freed when it did not.
    p.set_identity(b, nullptr, NoHandle, NoNode);
    if (static_cast<int32_t>(n) < 0) {
        *rc = err::NegativeNode;
    } else if (storage::seek(cb, n, NodeSize, NodeBase) != 0) {
        *rc = err::Seek;
    } else {
        *rc = storage::read(cb, b->image, NodeSize);
    }
    if (*rc != 0) return nullptr;
    nodefrom(b->image, order_flag(cb));
    p.set_identity(b, cb, cb->handle, n);
    p.set_dirty(b, false);
    b->generation = 0;
    *stamp = p.stamp_of(b);
    return b->image;
}

uint8_t* cacheedit(KXCB* cb, const uint8_t* image, uint32_t n, int32_t* rc) {
    *rc = 0;
    Pool& p = pool();
    NodeBuffer* b = p.active() ? p.buffer_of(image) : nullptr;
    if (b == nullptr || !matches(b, cb) || b->node != n || n >= cb->node_count || work::leaf().holds(cb, n))
        return nullptr;
    if (load<int16_t>(b->image + 14) < 0 || load<int16_t>(b->image + 16) < 0) return nullptr;
    // The node's previous content goes to the image file first, as a store
    // through cacheput would send it.
    *rc = before_change(cb, b, n);
    if (*rc != 0) return nullptr;
    cb->header_dirty = 1;
    // Work images that name the node would go stale.
    if (work::log().holds(cb, n)) work::log().clear_identity();
    if (work::rollback().holds(cb, n)) work::rollback().clear_identity();
    return b->image;
}

int32_t cacheedited(KXCB* cb, uint8_t* image, uint64_t* stamp) {
    Pool& p = pool();
    NodeBuffer* b = p.buffer_of(image);
    p.restamp(b);
    *stamp = p.stamp_of(b);
    return after_change(cb, b);
}

bool cacheholds(const KXCB* cb, const uint8_t* image, uint32_t n, uint64_t stamp) {
    const NodeBuffer* b = pool().buffer_with(image, stamp);
    return b != nullptr && b->node == n && matches(b, cb);
}

void cachenote(const uint8_t* image, uint64_t stamp, uint8_t note) {
    Pool& p = pool();
    if (const NodeBuffer* b = p.buffer_with(image, stamp)) p.stamps[p.index(b)] = stamp | note;
}

int32_t cacheput(KXCB* cb, WorkImage& image, uint32_t n, const uint8_t** stored, uint64_t* stamp) {
    if (stored != nullptr) {
        *stored = nullptr;
        *stamp = 0;
    }
    if (load<int16_t>(image.bytes + 14) < 0 || load<int16_t>(image.bytes + 16) < 0) return err::Damaged;
    cb->header_dirty = 1;
    image.owner = cb;
    image.handle = cb->handle;
    image.node = n;
    if (&image == &work::split() && work::leaf().node == n) work::leaf().clear_identity();
    // The log and rollback buffers are taken as they are while they hold a
    // node: one that held this node holds its old content now.
    if (&image != &work::log() && work::log().holds(cb, n)) work::log().clear_identity();
    if (&image != &work::rollback() && work::rollback().holds(cb, n)) work::rollback().clear_identity();
    Pool& p = pool();
    const uint8_t flag = order_flag(cb);
    if (!p.active()) {
        if (n >= cb->node_count) return err::Damaged;
        nodeto(image.bytes, flag);
        const int32_t rc = nodeput(cb, image.bytes, n);
        nodefrom(image.bytes, flag);
        return rc;
    }
    staleness(cb);
    bool found = false;
    NodeBuffer* b = p.lookup(cb, n, &found);
    if (!found && b->dirty) {
        const int32_t rc = write_back(b);
        if (rc != 0) return rc;
    }
    if (n < cb->node_count) {
        const int32_t rc = before_change(cb, found ? b : nullptr, n);
        if (rc != 0) {
            if (!found) p.free_buffer(b);
            return rc;
        }
    }
    // A node beyond the file is kept all the same (the caller learns of it
    // from the result) but never written: its slot does not exist.
    if (n >= cb->node_count) {
        if (!found) p.free_buffer(b);
        return err::Damaged;
    }
    // The image came from this buffer and only its header and changed range
    // differ: those are copied; anything else is copied whole.
    const bool partial = found && image.base != 0 && image.base == p.stamp_of(b);
    // A buffer found for the node has its identity already; only a victim
    // takes a new one (and moves in the hash index).
    if (!found) p.set_identity(b, cb, cb->handle, n);
    if (partial) {
        std::memcpy(b->image, image.bytes, NodeHeaderBytes);
        // In 32-byte pieces from a 32-byte boundary: the bytes around the
        // range are equal in both, and short copies cost less this way than
        // as one copy of unknown length.
        const int32_t to = image.changed_to > static_cast<int32_t>(NodeSize) ? static_cast<int32_t>(NodeSize)
                                                                           : image.changed_to;
        for (int32_t i = image.changed_from & ~31; i < to; i += 32)
            std::memcpy(b->image + i, image.bytes + i, 32);
#ifdef KINDEX_SELF_CHECK
        if (std::memcmp(b->image, image.bytes, NodeSize) != 0) std::abort();
#endif
    } else {
        std::memcpy(b->image, image.bytes, NodeSize);
    }
    p.restamp(b);
    if (&image == &work::leaf()) {
        image.rebase(p.stamp_of(b));
    }
    if (stored != nullptr) {
        *stored = b->image;
        *stamp = p.stamp_of(b);
    }
    return after_change(cb, b);
}

// The passes over the whole pool below (flush, release, stale) go through the
// buffer array in address order rather than along the list: the order does
// not matter to them, and array loads do not each wait for the one before.
namespace {

// Writes every dirty buffer of the block, in node order: they are moved to
// the end of the dirty list and written from there.
int32_t write_dirty(KXCB* cb) {
    Pool& p = pool();
    if (!p.active() || p.dirty == 0) return 0;
    uint32_t* first = p.dirty_list;
    uint32_t* last = p.dirty_list + p.dirty_listed;
    uint32_t* mine = std::partition(first, last, [&](uint32_t i) {
        const NodeBuffer* b = &p.buffers[i];
        return b->dirty == 0 || !matches(b, cb);
    });
    std::sort(mine, last, [&](uint32_t a, uint32_t b) { return p.buffers[a].node < p.buffers[b].node; });
    int32_t rc = 0;
    for (uint32_t* i = mine; i != last && rc == 0; ++i) rc = write_back(&p.buffers[*i]);
    p.prune_dirty_list();
    return rc;
}

}  // namespace

int32_t cacheflush(KXCB* cb, bool flush) {
    const int32_t rc = write_dirty(cb);
    if (rc != 0) return rc;
    if (flush) storage::flush(cb);
    return 0;
}

int32_t cacherelease(KXCB* cb) {
    clear_if(work::leaf(), cb);
    clear_if(work::split(), cb);
    clear_if(work::log(), cb);
    clear_if(work::rollback(), cb);
    const int32_t rc = write_dirty(cb);
    if (rc != 0) return rc;
    Pool& p = pool();
    if (p.active()) {
        for (int32_t i = 0; i < p.count; ++i)
            if (matches(&p.buffers[i], cb)) p.free_buffer(&p.buffers[i]);
    }
    storage::flush(cb);
    return 0;
}

int32_t cachedrop(KXCB* cb, uint32_t n) {
    if (work::leaf().holds(cb, n)) work::leaf().clear_identity();
    if (work::split().holds(cb, n)) work::split().clear_identity();
    Pool& p = pool();
    if (!p.active()) return 0;
    int32_t rc = 0;
    if (NodeBuffer* b = p.find(cb, n)) {
        rc = before_change(cb, b, n);
        p.free_buffer(b);
    }
    return rc;
}

int32_t cacheimage(KXCB* cb, uint32_t n) {
    if (cb->image == nullptr) return 0;
    const Pool& p = pool();
    return before_change(cb, p.active() ? p.find(cb, n) : nullptr, n);
}

int32_t cachefetch(KXCB* cb, WorkImage& image, uint32_t n) {
    const Pool& p = pool();
    const NodeBuffer* b = p.active() ? p.find(cb, n) : nullptr;
    if (b == nullptr) {
        const int32_t rc = direct_read(cb, image, n);
        if (rc != 0) return rc;
    } else {
        std::memcpy(image.bytes, b->image, NodeSize);
        std::memset(image.bytes + NodeSize, 0, OverflowSize);
        layout_changed(image.bytes);
        image.base = 0;
    }
    image.owner = cb;
    image.handle = cb->handle;
    image.node = n;
    return 0;
}

void cachestale(KXCB* cb) {
    clear_if(work::leaf(), cb);
    clear_if(work::split(), cb);
    clear_if(work::log(), cb);
    clear_if(work::rollback(), cb);
    Pool& p = pool();
    if (!p.active()) return;
    for (int32_t i = 0; i < p.count; ++i)
        if (matches(&p.buffers[i], cb)) p.free_buffer(&p.buffers[i]);
}

PoolStats pool_stats() {
    PoolStats s{0, 0, 0};
    for (NodeBuffer* b = pool().head; b != nullptr; b = b->next) {
        ++s.buffers;
        if (b->owner != nullptr) ++s.owned;
        if (b->dirty) ++s.dirty;
    }
    return s;
}

int32_t pool_order(const KXCB* cb, uint32_t* nodes, int32_t max) {
    int32_t k = 0;
    for (NodeBuffer* b = pool().head; b != nullptr && k < max; b = b->next)
        if (matches(b, cb)) nodes[k++] = b->node;
    return k;
}

}  // namespace kx

extern "C" {

KX_API int32_t KINDEX_Init(void) {
    KXCB scratch;
    scratch.deferred_error = 0;
    return kx::poolstart(&scratch);
}

KX_API int32_t KINDEX_Shutdown(void) {
    KXCB scratch;
    scratch.deferred_error = 0;
    return kx::endbcb_impl(&scratch);
}

KX_API int32_t endbcb(KXCB* scratch) { return kx::endbcb_impl(scratch); }

KX_API int32_t cibufnum(uint32_t count) {
    // A count that does not fit the signed buffer count is refused rather
    // than read as a negative size.
    if (count > static_cast<uint32_t>(INT32_MAX)) return kx::err::Arg;
    KXCB scratch;
    scratch.deferred_error = 0;
    if (kx::pool_started()) {
        const int32_t rc = kx::endbcb_impl(&scratch);
        if (rc != 0) return rc;
    }
    kx::pool().count = static_cast<int32_t>(count);
    return kx::poolstart(&scratch);
}

}  // extern "C"
