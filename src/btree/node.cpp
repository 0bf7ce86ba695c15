#include "btree/node.h"

#include <cstdlib>

#include "btree/keys.h"
#include "frame/control_block.h"

namespace kx {

void node::init(uint8_t* n, int16_t level) {
    std::memset(n, 0, ImageBytes);
    set_right(n, NoNode);
    set_left(n, NoNode);
    set_level(n, level);
    set_free_bytes(n, EntryArea);
    layout_changed(n);
    image_changed(n, 0, ImageBytes);
}

int32_t bounded_key_length(KXCB* cb, uint8_t root, const uint8_t* p, int32_t avail) {
    if (avail <= 0) return -1;
    const uint8_t type = root_key_type(cb, root);
    int32_t len;
    if (type == keytype::String || type == keytype::StringNoCase) {
        if (p[0] == 0) return 1;  // the empty key of the record and free-number trees
        const void* z = std::memchr(p, 0, static_cast<size_t>(avail));
        if (z == nullptr) return -1;
        len = static_cast<int32_t>(static_cast<const uint8_t*>(z) - p) + 1;
    } else if (is_counted_type(type)) {
        len = p[0] + 1;
    } else {
        len = fixed_width(type);
        if (len == 0) return -1;
    }
    return len <= avail ? len : -1;
}

bool EntryIndex::build(KXCB* cb, const uint8_t* image, bool full, int32_t limit) {
    const int16_t n = node::count(image);
    if (n < 0 || n > MaxEntries) return false;
    const bool interior = node::level(image) > 0;
    int32_t off = EntryStart;
    // The size of the entries so far while they all have one size; -1 once
    // a second size was met.
    int32_t common = 0;
    for (int32_t i = 0; i < n;) {
        const int32_t size = image[off] + 1;
        if (size < 8 || off + size > limit) return false;
        common = common == 0 || common == size ? size : -1;
        if (full) {
            const int32_t k = bounded_key_length(cb, image[off + 1], image + off + 7, size - 7);
            if (k < 0 || (interior && size != k + 11)) return false;
            offsets[i++] = off;
            off += size;
            continue;
        }
        offsets[i++] = off;
        off += size;
        // Entries of one size in a row (fixed-width keys and payloads): the
        // next offset is known before its length byte is read, so the reads
        // only confirm it instead of each waiting for the one before.
        while (i < n && off + size <= limit && image[off] + 1 == size) {
            offsets[i++] = off;
            off += size;
        }
    }
    // The free bytes must describe the entries: every move inside the node
    // relies on them.
    if (node::used_end(image) != off) return false;
    offsets[n] = off;  // the end marker's place
    count = n;
    stride = common > 0 ? common : 0;
    return true;
}

bool EntryIndex::fill(const uint8_t* image, int32_t size) {
    const int16_t n = node::count(image);
    if (n <= 0 || n > MaxEntries || size < 8 || node::free_bytes(image) < 0 ||
        node::used_end(image) != EntryStart + n * size)
        return false;
    // The stride stands for the offsets; none are written.
    count = n;
    stride = size;
    return true;
}

WorkingIndex& working_leaf_index() {
    static WorkingIndex* w = new WorkingIndex();  // lives as long as the process
    return *w;
}

const EntryIndex* working_index(KXCB* cb) {
    WorkingIndex& w = working_leaf_index();
    if (w.epoch != g_layout_epoch) {
        if (!w.ix.build(cb, work::leaf().bytes)) {
            w.epoch = 0;
            return nullptr;
        }
        w.epoch = g_layout_epoch;
    }
#ifdef KINDEX_SELF_CHECK
    else {
        // Every change of the working leaf's layout must move the epoch or
        // carry the offsets along.
        check_kept(cb, work::leaf().bytes, w.ix, ImageBytes);
    }
#endif
    return &w.ix;
}

void check_kept(KXCB* cb, const uint8_t* image, const EntryIndex& ix, int32_t limit) {
    EntryIndex fresh;
    if (!fresh.build(cb, image, false, limit) || !fresh.confirms(ix)) std::abort();
}

namespace {

// The index of the entry at `offset` in the kept offsets, or -1.
int32_t kept_position(const EntryIndex& ix, int32_t offset, int32_t last) {
    int32_t lo = 0, hi = last;
    while (lo <= hi) {
        const int32_t mid = (lo + hi) / 2;
        if (ix.offset(mid) == offset) return mid;
        if (ix.offset(mid) < offset)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return -1;
}

// Whether the kept offsets describe `image` (the working leaf, unchanged
// since they were taken).
bool keeps(const uint8_t* image) {
    return image == work::leaf().bytes && working_leaf_index().epoch == g_layout_epoch;
}

}  // namespace

uint32_t entry_child(const uint8_t* e, uint8_t flag) { return get32(e + e[0] - 3, flag); }

int32_t payload_length(KXCB* cb, const uint8_t* e) {
    if (e[0] == 0) return 0;
    const int32_t k = bounded_key_length(cb, e[1], e + 7, e[0] - 6);
    return k < 0 ? 0 : e[0] - 6 - k;
}

int32_t build_leaf_entry(uint8_t* out, uint8_t root, const uint8_t* key, int32_t key_len, uint32_t record,
                         uint8_t piece, const uint8_t* payload, int32_t payload_len, uint8_t flag) {
    out[0] = static_cast<uint8_t>(payload_len + key_len + 6);
    out[1] = root;
    out[2] = piece;
    put32(out + 3, record, flag);
    std::memcpy(out + 7, key, static_cast<size_t>(key_len));
    if (payload_len > 0) std::memcpy(out + 7 + key_len, payload, static_cast<size_t>(payload_len));
    return out[0] + 1;
}

int32_t build_index_entry(KXCB* cb, uint8_t* out, const uint8_t* e, uint32_t child) {
    const int32_t k = bounded_key_length(cb, e[1], e + 7, e[0] - 6);
    if (k < 0) return -1;
    std::memcpy(out + 1, e + 1, static_cast<size_t>(6 + k));
    put32(out + 7 + k, child, order_flag(cb));
    out[0] = static_cast<uint8_t>(k + 10);
    return k + 11;
}

void insert_entry(uint8_t* image, int32_t offset, const uint8_t* e) {
    const bool kept = keeps(image);
    const int32_t size = e[0] + 1;
    const int32_t end = node::used_end(image);
    std::memmove(image + offset + size, image + offset, static_cast<size_t>(end - offset));
    std::memcpy(image + offset, e, static_cast<size_t>(size));
    node::set_count(image, static_cast<int16_t>(node::count(image) + 1));
    node::set_free_bytes(image, static_cast<int16_t>(node::free_bytes(image) - size));
    layout_changed(image);
    image_changed(image, offset, end + size);
    if (!kept) return;
    EntryIndex& ix = working_leaf_index().ix;
    const int32_t at = kept_position(ix, offset, ix.count);
    if (at < 0 || ix.count >= MaxEntries) return;
    ix.inserted(at, offset, size);
    working_leaf_index().epoch = g_layout_epoch;
}

void remove_entry(uint8_t* image, int32_t offset) {
    const bool kept = keeps(image);
    const int32_t size = image[offset] + 1;
    const int32_t end = node::used_end(image);
    std::memmove(image + offset, image + offset + size, static_cast<size_t>(end - offset - size));
    std::memset(image + end - size, 0, static_cast<size_t>(size));
    node::set_count(image, static_cast<int16_t>(node::count(image) - 1));
    node::set_free_bytes(image, static_cast<int16_t>(node::free_bytes(image) + size));
    layout_changed(image);
    image_changed(image, offset, end);
    if (!kept) return;
    EntryIndex& ix = working_leaf_index().ix;
    const int32_t at = kept_position(ix, offset, ix.count - 1);
    if (at < 0) return;
    ix.removed(at, size);
    working_leaf_index().epoch = g_layout_epoch;
}

}  // namespace kx
