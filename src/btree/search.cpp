#include "btree/search.h"

#include <cstring>

#include "btree/keys.h"
#include "btree/traverse.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/nodecache.h"
#include "multiuser/keylocks.h"
#include "multiuser/sections.h"
#include "records/keyconv.h"

namespace kx {

namespace {

constexpr int32_t MaxLevels = 22;

int32_t sign(int32_t v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

// Width of the integer key types that a search compares itself (0 for the
// others, which go through the key comparison of their type).
int32_t integer_key_width(uint8_t type) {
    switch (type) {
        case keytype::Int32Difference:
        case keytype::Int32: return 4;
        case keytype::Int16:
        case keytype::Uint16: return 2;
        default: return 0;
    }
}

// How compare_entry_fast compares the keys of the target's own root.
enum class FastKey : uint8_t {
    None,         // through key_result
    Int32,        // 4-byte integer key types: the sign of the 32-bit difference
    Int16,        // signed 16-bit keys
    Uint16,       // unsigned 16-bit keys
    EmptyString,  // plain string keys, where the entry's key is the empty one
};

struct Target {
    uint8_t root;
    const uint8_t* key;  // file byte order
    uint32_t record;
    uint8_t piece;
    int32_t override;  // 0, or the fixed result of target key vs every key of its root
    mutable bool damaged = false;  // an entry met on the way had a key running out of it
    uint8_t type = 31;              // the root's key type
    int32_t width = 0;              // integer key types: their width
    int32_t room = 0;               // bytes of `key` that may be read (0: as far as its key goes)
    uint8_t flag = 1;               // the file's byte-order flag
    FastKey fast = FastKey::None;
    uint32_t number = 0;  // integer keys: the target key as a number

    void describe(KXCB* cb) {
        type = root_key_type(cb, root);
        width = integer_key_width(type);
        flag = order_flag(cb);
        fast = FastKey::None;
        if (override != 0) return;
        if (width == 4) {
            fast = FastKey::Int32;
            number = get32(key, flag);
        } else if (width == 2) {
            fast = type == keytype::Int16 ? FastKey::Int16 : FastKey::Uint16;
            number = get16(key, flag);
        } else if (type == keytype::String) {
            fast = FastKey::EmptyString;
        }
    }
};

// A plain string entry key against the target key (*k): byte by byte as
// unsigned values up to the entry key's terminating zero; the target is read
// no further than its first byte that differs, or than its room.  False when
// the entry key has no zero inside the entry.
bool compare_string_key(const uint8_t* e, const Target& t, int32_t* k) {
    const uint8_t* a = e + 7;
    const int32_t avail = e[0] - 6;
    // The empty key, which every entry of the record tree has.
    if (avail > 0 && a[0] == 0) {
        *k = t.key[0] == 0 ? 0 : -1;
        return true;
    }
    const void* z = avail > 0 ? std::memchr(a, 0, static_cast<size_t>(avail)) : nullptr;
    if (z == nullptr) return false;
    const int32_t len = static_cast<int32_t>(static_cast<const uint8_t*>(z) - a) + 1;
    if (len <= t.room) {
        // Room enough in the target's buffer: one compare up to and
        // including the entry key's zero.
        *k = sign(std::memcmp(a, t.key, static_cast<size_t>(len)));
        return true;
    }
    int32_t i = 0;
    while (i < len - 1 && a[i] == t.key[i]) ++i;
    *k = sign(static_cast<int32_t>(a[i]) - static_cast<int32_t>(t.key[i]));
    return true;
}

// An integer entry key (at least the key type's width long) against the
// target key decoded by describe(), as the key types define them.
template <FastKey Kind>
inline int32_t integer_key_result(const uint8_t* e, const Target& t) {
    if constexpr (Kind == FastKey::Int32) {
        return sign(static_cast<int32_t>(get32(e + 7, t.flag) - t.number));
    } else if constexpr (Kind == FastKey::Int16) {
        return sign(static_cast<int32_t>(static_cast<int16_t>(get16(e + 7, t.flag))) -
                    static_cast<int32_t>(static_cast<int16_t>(t.number)));
    } else {
        const uint32_t x = get16(e + 7, t.flag);
        return x < t.number ? -1 : (x > t.number ? 1 : 0);
    }
}

// The key of an entry of the target's root against the target key in the
// common cases (an integer key, the record tree's empty key), worked out in
// place; false when the case does not apply.
template <FastKey Kind>
[[gnu::always_inline]] inline bool fast_key_result(const uint8_t* e, const Target& t, int32_t* k) {
    if constexpr (Kind == FastKey::Int32) {
        if (e[0] < 10) return false;
    } else if constexpr (Kind == FastKey::Int16 || Kind == FastKey::Uint16) {
        if (e[0] < 8) return false;
    } else if constexpr (Kind == FastKey::EmptyString) {
        if (e[0] <= 6 || e[7] != 0) return false;
        *k = t.key[0] == 0 ? 0 : -1;
        return true;
    } else {
        return false;
    }
    *k = integer_key_result<Kind>(e, t);
    return true;
}

// The same for every other case; false when the entry's key runs out of the
// entry (damage).
bool key_result(KXCB* cb, const uint8_t* e, const Target& t, int32_t* k) {
    if (t.width > 0) {
        if (e[0] - 6 < t.width) return false;
        if (t.override != 0)
            *k = -t.override;
        else if (t.fast == FastKey::Int32)
            *k = integer_key_result<FastKey::Int32>(e, t);
        else if (t.fast == FastKey::Int16)
            *k = integer_key_result<FastKey::Int16>(e, t);
        else
            *k = integer_key_result<FastKey::Uint16>(e, t);
        return true;
    }
    if (t.type == keytype::String && t.override == 0) return compare_string_key(e, t, k);
    if (bounded_key_length(cb, entry::root(e), e + 7, e[0] - 6) < 0) return false;
    *k = t.override != 0 ? -t.override : sign(root_key_compare(cb, entry::root(e), entry::key(e), t.key, true));
    return true;
}

// The entry compared with the target in entry order: negative when the entry
// sorts first.  *key_result: the entry's key against the target key (roots
// that differ decide it alone, and the entry's key is not read).  Kind is the
// target's `fast`, fixed at compile time so that a search's probes do not
// dispatch on it.
template <FastKey Kind>
[[gnu::always_inline]] inline int32_t compare_fast(KXCB* cb, const uint8_t* e, const Target& t, int32_t* kr) {
    const uint8_t er = entry::root(e);
    if (er != t.root) {
        *kr = er < t.root ? -1 : 1;
        return *kr;
    }
    int32_t k = 0;
    if (!fast_key_result<Kind>(e, t, &k) && !key_result(cb, e, t, &k)) {
        t.damaged = true;
        *kr = 1;
        return 1;
    }
    *kr = k;
    if (k != 0) return k;
    const int32_t d = static_cast<int32_t>(entry::record(e, t.flag) - t.record);
    if (d != 0) return sign(d);
    return sign(static_cast<int32_t>(entry::piece(e) & 0x7F) - static_cast<int32_t>(t.piece & 0x7F));
}

// compare_fast for a target whose kind is known only when the call runs.
int32_t compare_entry_fast(KXCB* cb, const uint8_t* e, const Target& t, int32_t* kr) {
    switch (t.fast) {
        case FastKey::Int32: return compare_fast<FastKey::Int32>(cb, e, t, kr);
        case FastKey::Int16: return compare_fast<FastKey::Int16>(cb, e, t, kr);
        case FastKey::Uint16: return compare_fast<FastKey::Uint16>(cb, e, t, kr);
        case FastKey::EmptyString: return compare_fast<FastKey::EmptyString>(cb, e, t, kr);
        default: return compare_fast<FastKey::None>(cb, e, t, kr);
    }
}

// The binary search below for one kind of target key and one way of finding
// entries: by stride (`Strided`, all entries of one size) or by the offsets.
template <FastKey Kind, bool Strided>
int32_t search_entries(KXCB* cb, const uint8_t* img, const EntryIndex& ix, const Target& t, int32_t* ecr,
                       int32_t* kcr, bool last_first) {
    const int32_t stride = ix.stride;
    const auto at = [&](int32_t i) { return Strided ? img + EntryStart + i * stride : img + ix.offsets[i]; };
    int32_t low = 0, high = ix.count - 1, mid = last_first ? high : high / 2;
    for (;;) {
        int32_t kr = 0;
        const int32_t c = compare_fast<Kind>(cb, at(mid), t, &kr);
        if (c == 0) {
            *ecr = 0;
            *kcr = kr;
            return mid;
        }
        if (c < 0) {
            if (high == mid) {
                const int32_t p = mid + 1;
                if (p == ix.count) {
                    *ecr = -1;
                    *kcr = -1;
                } else {
                    *ecr = compare_fast<Kind>(cb, at(p), t, kcr);
                }
                return p;
            }
            low = mid + 1;
        } else {
            if (low == mid) {
                *ecr = c;
                *kcr = kr;
                return mid;
            }
            high = mid - 1;
        }
        mid = (low + high) / 2;
    }
}

template <FastKey Kind>
int32_t search_kind(KXCB* cb, const uint8_t* img, const EntryIndex& ix, const Target& t, int32_t* ecr,
                    int32_t* kcr, bool last_first) {
    return ix.stride != 0 ? search_entries<Kind, true>(cb, img, ix, t, ecr, kcr, last_first)
                          : search_entries<Kind, false>(cb, img, ix, t, ecr, kcr, last_first);
}

// Binary search of one node.  Returns the stop index 0..count; *ecr/*kcr
// describe the entry there (-1 for the end marker).  With `last_first` the
// first probe is at the last entry, which settles an ascending load's adds
// to a leaf at once; interior nodes start in the middle.
int32_t node_search(KXCB* cb, const uint8_t* img, const EntryIndex& ix, const Target& t, int32_t* ecr,
                    int32_t* kcr, bool last_first = true) {
    if (ix.count == 0) {
        *ecr = 1;
        *kcr = 1;
        return 0;
    }
    switch (t.fast) {
        case FastKey::Int32: return search_kind<FastKey::Int32>(cb, img, ix, t, ecr, kcr, last_first);
        case FastKey::Int16: return search_kind<FastKey::Int16>(cb, img, ix, t, ecr, kcr, last_first);
        case FastKey::Uint16: return search_kind<FastKey::Uint16>(cb, img, ix, t, ecr, kcr, last_first);
        case FastKey::EmptyString: return search_kind<FastKey::EmptyString>(cb, img, ix, t, ecr, kcr, last_first);
        default: return search_kind<FastKey::None>(cb, img, ix, t, ecr, kcr, last_first);
    }
}

// Entry offsets kept between searches.  The upper levels of a tree are read
// by every search, and walking a node's entries costs more than searching
// them, so the offsets of interior nodes are kept per pool buffer, valid while
// the node cache's stamp for the buffer is unchanged.  Leaves get a small
// cache of their own, enough for the few visits one operation makes to a leaf
// (the descent, the copy into the working leaf, gathering the datum), so that
// scattered leaf visits do not push interior nodes out.
struct IndexCacheSlot {
    const uint8_t* image = nullptr;
    uint64_t stamp = 0;
    EntryIndex ix;
};

struct IndexCache {
    static constexpr size_t InteriorSlots = 512;
    static constexpr size_t LeafSlots = 32;
    IndexCacheSlot interior[InteriorSlots];
    IndexCacheSlot leaves[LeafSlots];

    IndexCacheSlot& slot_for(const uint8_t* image, bool leaf) {
        const auto v = reinterpret_cast<uintptr_t>(image) >> 11;
        return leaf ? leaves[v % LeafSlots] : interior[v % InteriorSlots];
    }
};

IndexCache& index_cache() {
    static IndexCache* c = new IndexCache();  // lives as long as the process
    return *c;
}

// Notes on a pool buffer that its entries all have one size, so that later
// searches of the same content fill its offsets without walking it.
void note_stride(const uint8_t* image, uint64_t stamp, const EntryIndex& ix) {
    if (ix.stride >= 8 && ix.stride <= 256) cachenote(image, stamp, static_cast<uint8_t>(ix.stride - 1));
}

// Node n as the node cache hands it out, with its entry offsets: from the
// caches above, or built into scratch.  Null and a code when the node cannot
// be read or is damaged.
const uint8_t* peek_node(KXCB* cb, uint32_t n, EntryIndex& scratch, const EntryIndex** ix, int32_t* rc) {
    if (n >= cb->node_count) {
        *rc = err::Damaged;
        return nullptr;
    }
    uint64_t stamp = 0;
    uint8_t note = 0;
    const uint8_t* x = cachepeek(cb, n, rc, &stamp, &note);
    if (x == nullptr) return nullptr;
    if (x == work::leaf().bytes) {
        *ix = working_index(cb);
        if (*ix == nullptr) *rc = err::Damaged;
        return *ix == nullptr ? nullptr : x;
    }
    // Ask for every cache line of the node's entries at once: the walk of a
    // leaf's entries, its copy into the working leaf and the probes of a
    // search would otherwise wait for each line in turn.  An interior node
    // whose offsets are kept is read only where its search probes.
    const bool leaf = node::level(x) == 0;
    IndexCacheSlot* kept = stamp != 0 ? &index_cache().slot_for(x, leaf) : nullptr;
    if (leaf || kept == nullptr || kept->image != x || kept->stamp != stamp) {
        const int32_t end = node::used_end(x) < 2048 ? node::used_end(x) : 2048;
#pragma GCC unroll 8
        for (int32_t off = 64; off < end; off += 64) __builtin_prefetch(x + off);
    }
    if (kept != nullptr) {
        IndexCacheSlot& slot = *kept;
        if (slot.image != x || slot.stamp != stamp) {
            // A node whose entries were found all of one size when this
            // content was last walked needs no walk.
            if (note != 0 && slot.ix.fill(x, note + 1)) {
#ifdef KINDEX_SELF_CHECK
                check_kept(cb, x, slot.ix, 2048);
#endif
            } else if (!slot.ix.build(cb, x, false, 2048)) {
                slot.image = nullptr;
                *rc = err::Damaged;
                return nullptr;
            } else {
                note_stride(x, stamp, slot.ix);
            }
            slot.image = x;
            slot.stamp = stamp;
        }
#ifdef KINDEX_SELF_CHECK
        else {
            check_kept(cb, x, slot.ix, 2048);
        }
#endif
        *ix = &slot.ix;
        return x;
    }
    if (!scratch.build(cb, x, false, 2048)) {
        *rc = err::Damaged;
        return nullptr;
    }
    *ix = &scratch;
    return x;
}

// Whether the target belongs in leaf x (offsets ix, at least one entry)
// whatever leaf x is: a leaf holds one unbroken stretch of the entry order,
// so a target after its first entry and up to its last belongs there, as
// does one equal to its first entry, or after everything in the rightmost
// leaf.  Two comparisons, against the first entry and the last.
bool belongs_in(KXCB* cb, const uint8_t* x, const EntryIndex& ix, const Target& t) {
    int32_t kr = 0;
    const int32_t first = compare_entry_fast(cb, ix.at(x, 0), t, &kr);
    if (t.damaged || first > 0) return false;
    if (first == 0) return true;
    const int32_t last = compare_entry_fast(cb, ix.at(x, ix.count - 1), t, &kr);
    return !t.damaged && (last >= 0 || node::right(x) == NoNode);
}

// The leaf last changed in place in its pool buffer: when the next descent
// in the same root starts where that one ended, it tries this leaf first
// while the buffer holds the content the change left (ascending loads add
// to the same leaf time after time).
struct LastLeaf {
    const KXCB* cb = nullptr;
    uint64_t handle = 0;
    uint32_t node = 0;
    const uint8_t* image = nullptr;
    uint64_t stamp = 0;
};
constinit LastLeaf g_last_leaf;

// The leaf each root's last add appended to in place (roots 1..50), for
// adds that go to several roots in turn and append to each (new record
// numbers, ascending keys).  A descent that uses it does not know the nodes
// above the leaf: it marks the path partial (g_partial_path), and the next
// descent without this memory starts from the top.
constinit LastLeaf g_root_leaves[51];
struct PartialPath {
    const KXCB* cb = nullptr;
    uint64_t handle = 0;
};
constinit PartialPath g_partial_path;

// A remembered leaf when the node cache still holds the content remembered
// and the target belongs in it: its image and kept offsets (null otherwise;
// t.damaged tells when an entry compared was damaged).
const uint8_t* remembered_leaf(KXCB* cb, const LastLeaf& last, const Target& t, const EntryIndex** ix) {
    if (last.cb != cb || last.handle != cb->handle || work::leaf().holds(cb, last.node)) return nullptr;
    const IndexCacheSlot& slot = index_cache().slot_for(last.image, true);
    const uint8_t* x = last.image;
    if (slot.image != x || slot.stamp != last.stamp || !cacheholds(cb, x, last.node, last.stamp) ||
        node::level(x) != 0 || node::count(x) < 1)
        return nullptr;
#ifdef KINDEX_SELF_CHECK
    check_kept(cb, x, slot.ix, 2048);
#endif
    if (!belongs_in(cb, x, slot.ix, t)) return nullptr;
    *ix = &slot.ix;
    return x;
}

// Makes a leaf that a descent found where it lies in the node cache the one
// the next descent tries first (as after a change made in place).
void remember_leaf(KXCB* cb, uint32_t n, const uint8_t* image) {
    const IndexCacheSlot& slot = index_cache().slot_for(image, true);
    if (image != work::leaf().bytes && slot.image == image && slot.stamp != 0)
        g_last_leaf = LastLeaf{cb, cb->handle, n, image, slot.stamp};
}

// Makes the working leaf hold node n, given as peek_node handed it out (x,
// with offsets `from`); returns the working leaf's kept offsets.
const EntryIndex* adopt_leaf(KXCB* cb, uint32_t n, const uint8_t* x, const EntryIndex& from) {
    WorkingIndex& w = working_leaf_index();
    if (x != work::leaf().bytes) {
        cacheadopt(cb, work::leaf(), n, x);
        w.ix.copy_from(from);
        w.epoch = g_layout_epoch;
    }
    return &w.ix;
}

// Descends from the root's tree to the leaf where the target belongs; *pos is
// the position in it.  The working leaf ends holding that leaf, unless `read`
// is given: a search that only reads takes the leaf where the node cache
// holds it (*read, valid until the next call of the node cache) and leaves
// the working leaf as it was.
int32_t descend(KXCB* cb, const Target& t, EntryIndex& ix, int32_t* pos, int32_t* ecr, int32_t* kcr,
                const uint8_t** read = nullptr, bool adding = false) {
    WorkImage& w = work::leaf();
    g_partial_path = PartialPath{};
    const uint8_t* img = w.bytes;
    if (read != nullptr) *read = img;
    // Fast path: the working leaf is still the leaf of the last descent in
    // this root.  A leaf holds one unbroken stretch of the entry order, so a
    // target that sorts after its first entry and up to its last belongs in
    // it, wherever the leaf lies; so does a target after everything in the
    // rightmost leaf (ascending loads).  Anything else descends.
    if (w.owner == cb && w.handle == cb->handle && w.node == cb->search_path[0] &&
        cb->cached_root == static_cast<int32_t>(t.root) && node::level(img) == 0 && node::count(img) >= 1) {
        const EntryIndex* wi = working_index(cb);
        if (wi == nullptr) return err::Damaged;
        if (belongs_in(cb, img, *wi, t)) {
            ix.copy_from(*wi);
            *pos = node_search(cb, img, ix, t, ecr, kcr);
            return t.damaged ? err::Damaged : 0;
        }
        if (t.damaged) return err::Damaged;
    }
    // The same for that leaf where it lies in the node cache, with the
    // offsets kept for its content; for an add, the leaf the root's last
    // add appended to, wherever the searches since went (below).
    const auto use = [&](const uint8_t* x, const EntryIndex& kept) {
        ix.copy_from(kept);
        *pos = node_search(cb, x, ix, t, ecr, kcr);
        *read = x;
        return t.damaged ? err::Damaged : 0;
    };
    const EntryIndex* kept = nullptr;
    if (read != nullptr && g_last_leaf.node == cb->search_path[0] &&
        cb->cached_root == static_cast<int32_t>(t.root)) {
        if (const uint8_t* x = remembered_leaf(cb, g_last_leaf, t, &kept)) return use(x, *kept);
        if (t.damaged) return err::Damaged;
    }
    uint32_t n = 0, height = 0;
    int32_t rc = tree_of_root(cb, t.root, &n, &height);
    if (rc != 0) return rc;
    cb->current_slot = t.root >= 1 && t.root <= 50 ? cb->slot_map[t.root - 1] : 0;
    if (adding && read != nullptr) {
        const LastLeaf& last = g_root_leaves[t.root];
        if (const uint8_t* x = remembered_leaf(cb, last, t, &kept)) {
            cb->search_path[0] = last.node;
            // The nodes above are not known: no fast path may trust them.
            cb->cached_root = -1;
            g_partial_path = PartialPath{cb, cb->handle};
            return use(x, *kept);
        }
        if (t.damaged) return err::Damaged;
    }
    if (height < 1 || height > MaxLevels) return err::Damaged;
    // Interior nodes are searched where they lie in the node cache; only the
    // leaf is copied into the working leaf.
    int32_t expect = static_cast<int32_t>(height) - 1;
    const EntryIndex* cur = nullptr;
    for (;;) {
        const uint8_t* x = peek_node(cb, n, ix, &cur, &rc);
        if (x == nullptr) return rc;
        const int16_t level = node::level(x);
        if (level != expect) return err::Damaged;
        if (level == 0) {
            if (read != nullptr) {
                ix.copy_from(*cur);
                img = x;
                *read = x;
            } else {
                ix.copy_from(*adopt_leaf(cb, n, x, *cur));
            }
            cb->search_path[0] = n;
            *pos = node_search(cb, img, ix, t, ecr, kcr);
            if (t.damaged) return err::Damaged;
            break;
        }
        cb->search_path[level] = n;
        int32_t p = node_search(cb, x, *cur, t, ecr, kcr, false);
        if (t.damaged) return err::Damaged;
        // Above every separator of a node that has a right neighbour: the
        // target lies further right on this level.
        for (uint32_t hops = 0; p == cur->count && node::right(x) != NoNode; ++hops) {
            if (hops > cb->node_count) return err::Damaged;
            n = node::right(x);
            x = peek_node(cb, n, ix, &cur, &rc);
            if (x == nullptr) return rc;
            if (node::level(x) != level) return err::Damaged;
            // The path names the node that routed the target: a split or a
            // repair below finds its parent there.
            cb->search_path[level] = n;
            p = node_search(cb, x, *cur, t, ecr, kcr, false);
            if (t.damaged) return err::Damaged;
        }
        n = p == 0 ? node::leftmost(x) : entry_child(cur->at(x, p - 1), order_flag(cb));
        expect = level - 1;
    }
    cb->cached_root = t.root;
    return 0;
}

}  // namespace

int32_t tree_of_root(KXCB* cb, int32_t root, uint32_t* node, uint32_t* height) {
    if (root < 1 || root > 50) return err::Damaged;
    const uint8_t slot = cb->slot_map[root - 1];
    if (slot > 50) return err::Damaged;
    if (slot == 0) {
        *node = cb->main_root;
        *height = cb->main_height;
    } else {
        *node = cb->slot_roots[slot - 1];
        *height = cb->slot_heights[slot - 1];
    }
    return 0;
}

namespace {

// Keeps the offsets of a pool buffer's new content (stamp) for the searches
// that come next.
void keep_offsets(const uint8_t* image, uint64_t stamp, const EntryIndex& ix) {
    IndexCacheSlot& slot = index_cache().slot_for(image, node::level(image) == 0);
    slot.ix.copy_from(ix);
    slot.image = image;
    slot.stamp = stamp;
    note_stride(image, stamp, ix);
}

}  // namespace

int32_t put_working_leaf(KXCB* cb, uint32_t n) {
    const uint8_t* stored = nullptr;
    uint64_t stamp = 0;
    const int32_t rc = cacheput(cb, work::leaf(), n, &stored, &stamp);
    // The buffer holds the working leaf's bytes; with no overflow they have
    // the same offsets.
    const WorkingIndex& w = working_leaf_index();
    if (rc == 0 && stored != nullptr && stamp != 0 && w.epoch == g_layout_epoch && node::free_bytes(stored) >= 0)
        keep_offsets(stored, stamp, w.ix);
    return rc;
}

void take_leaf(KXCB* cb, uint32_t n, const uint8_t* image, const EntryIndex& ix) {
    if (image != work::leaf().bytes) adopt_leaf(cb, n, image, ix);
}

int32_t end_leaf_edit(KXCB* cb, uint32_t n, uint8_t* image, const EntryIndex& ix) {
    uint64_t stamp = 0;
    const int32_t rc = cacheedited(cb, image, &stamp);
#ifdef KINDEX_SELF_CHECK
    check_kept(cb, image, ix, 2048);
#endif
    keep_offsets(image, stamp, ix);
    g_last_leaf = LastLeaf{cb, cb->handle, n, image, stamp};
    return rc;
}

int32_t read_kept(KXCB* cb, uint32_t n, const EntryIndex** ix) {
    EntryIndex scratch;
    const EntryIndex* from = nullptr;
    int32_t rc = 0;
    const uint8_t* x = peek_node(cb, n, scratch, &from, &rc);
    if (x == nullptr) return rc;
    *ix = adopt_leaf(cb, n, x, *from);
    return 0;
}

int32_t read_node(KXCB* cb, uint32_t n, EntryIndex& index) {
    const EntryIndex* kept = nullptr;
    const int32_t rc = read_kept(cb, n, &kept);
    if (rc == 0) index.copy_from(*kept);
    return rc;
}

void load_current(KXCB* cb, const uint8_t* e) {
    if (e == nullptr || e[0] == 0) {
        clear_current(cb);
        return;
    }
    const int32_t n = e[0] - 6;
    std::memset(cb->current_key, 0, sizeof cb->current_key);
    std::memcpy(cb->current_key, e + 7, static_cast<size_t>(n));
    cb->recval = entry::record(e, order_flag(cb));
    cb->piece = entry::piece(e);
    const int32_t len = payload_length(cb, e);
    cb->datalen = len;
    cb->data = cb->current_key + (n - len);
}

void clear_current(KXCB* cb) {
    cb->datalen = 0;
    cb->datatotal = 0;
    cb->recval = 0;
    std::memset(cb->current_key, 0, sizeof cb->current_key);
    cb->last_result = err::Fail;
    cb->key = cb->current_key;
    cb->key_byte_order = order_flag(cb);
    if (RootCursor* c = existing_cursor(cb, cb->root)) load_cursor(cb, c, nullptr);
}

void load_cursor(KXCB* cb, RootCursor* c, const uint8_t* e) {
    if (e == nullptr || e[0] == 0) {
        std::memset(c->key, 0, sizeof c->key);
        c->record = 0;
        c->piece = 0;
        return;
    }
    const int32_t k = bounded_key_length(cb, e[1], e + 7, e[0] - 6);
    std::memset(c->key, 0, sizeof c->key);
    if (k > 0 && k < 245) std::memcpy(c->key, e + 7, static_cast<size_t>(k));
    c->record = entry::record(e, order_flag(cb));
    c->piece = entry::piece(e);
}

bool path_known(const KXCB* cb) { return g_partial_path.cb != cb || g_partial_path.handle != cb->handle; }

void remember_root_leaf(KXCB* cb, uint8_t root, uint32_t n, bool appended) {
    if (root < 1 || root > 50) return;
    const LastLeaf& last = g_last_leaf;
    if (appended && last.cb == cb && last.handle == cb->handle && last.node == n)
        g_root_leaves[root] = last;
    else
        g_root_leaves[root] = LastLeaf{};
}

int32_t locate(KXCB* cb, uint8_t root, const uint8_t* key, uint32_t record, uint8_t piece, int32_t* pos,
               EntryIndex& ix, int32_t key_room, const uint8_t** read, bool adding) {
    RootCursor* c = root_cursor(cb, root);
    if (c == nullptr) return err::NoMemory;
    Target t{root, key, record, piece, 0};
    t.describe(cb);
    t.room = key_room;
    int32_t ecr = -1, kcr = -1;
    const int32_t rc = descend(cb, t, ix, pos, &ecr, &kcr, read, adding);
    if (rc != 0) return rc;
    c->leaf = cb->search_path[0];
    c->index = *pos;
    set_cmp(cb, ecr, kcr);
    return 0;
}

int32_t seek(KXCB* cb, bool in_place, bool remember) {
    const int32_t root = cb->root;
    RootCursor* c = root_cursor(cb, root);
    if (c == nullptr) return err::NoMemory;
    const uint8_t flag = order_flag(cb);
    // The target key is a copy in the file's order: the caller's own key is
    // never written to.
    uint8_t key[KeyBufferBytes] = {};
    if (cb->key != nullptr && cb->compare_override == 0) {
        const int32_t len = cikeylen(cb, root, cb->key);
        // A string longer than any stored key is cut short; it still sorts
        // where it belongs against every stored key.
        std::memcpy(key, cb->key, static_cast<size_t>(len < 0 ? 0 : (len < KeyBufferBytes ? len : KeyBufferBytes - 1)));
        convkey(cb, root, key, root_key_type(cb, root), static_cast<uint8_t>(cb->key_byte_order), flag);
    }
    Target t{static_cast<uint8_t>(root), key, cb->recval, static_cast<uint8_t>(cb->piece), cb->compare_override};
    t.describe(cb);
    t.room = KeyBufferBytes;
    EntryIndex ix;
    int32_t pos = 0, ecr = -1, kcr = -1;
    const uint8_t* img = nullptr;
    int32_t rc = descend(cb, t, ix, &pos, &ecr, &kcr, in_place ? &img : nullptr);
    const uint8_t* e = nullptr;
    if (rc == 0) {
        if (remember && img != nullptr) remember_leaf(cb, cb->search_path[0], img);
        if (img == nullptr) img = work::leaf().bytes;
        c->leaf = cb->search_path[0];
        c->index = pos;
        if (pos < ix.count) {
            e = ix.at(img, pos);
        } else {
            // Past the leaf's last entry: the first entry of the next leaf
            // with entries, if any.
            for (uint32_t hops = 0; node::right(img) != NoNode; ++hops) {
                if (hops > cb->node_count) {
                    rc = err::Damaged;
                    break;
                }
                rc = read_node(cb, node::right(img), ix);
                img = work::leaf().bytes;
                if (rc != 0) break;
                if (ix.count > 0) {
                    c->leaf = work::leaf().node;
                    c->index = 0;
                    e = ix.at(img, 0);
                    ecr = compare_entry_fast(cb, e, t, &kcr);
                    if (t.damaged) rc = err::Damaged;
                    break;
                }
            }
            if (e == nullptr) ecr = kcr = -1;
        }
    }
    if (rc != 0) {
        cb->key = cb->current_key;
        cb->key_byte_order = flag;
        return rc;
    }
    c->position_root = e != nullptr ? entry::root(e) : root + 1;
    load_cursor(cb, c, e);
    c->before = 0;
    c->stale = 0;
    if (e != nullptr)
        load_current(cb, e);
    else
        clear_current(cb);
    cb->key = cb->current_key;
    cb->key_byte_order = flag;
    set_cmp(cb, ecr, kcr);
    if (ecr == 0) return 0;
    if (ecr > 0) return kcr > 0 ? 2 : 1;
    return err::Fail;
}

int32_t gather(KXCB* cb, void* buffer, int32_t n) {
    cb->compare_override = 0;
    if (cb->datalen <= 0 || n <= 0 || buffer == nullptr) {
        cb->datatotal = 0;
        return 0;
    }
    RootCursor* c = existing_cursor(cb, cb->root);
    if (c == nullptr) return err::NoMemory;
    if (strtread(cb) != 0) return err::Section;
    auto* out = static_cast<uint8_t*>(buffer);
    int32_t total = 0;
    bool fits = true;
    bool broken = false;
    int32_t rc = 0;
    EntryWalker walk{c->leaf, c->index};
    const uint8_t flag = order_flag(cb);
    uint8_t first_key[KeyBufferBytes];
    int32_t key_len = 0;
    uint32_t record = 0;
    int32_t expect = 0;
    for (const uint8_t* e = walk.current(cb, &rc); e != nullptr;) {
        const uint8_t piece = entry::piece(e);
        if (expect == 0) {
            key_len = bounded_key_length(cb, e[1], e + 7, e[0] - 6);
            std::memcpy(first_key, e + 7, static_cast<size_t>(key_len));
            record = entry::record(e, flag);
        } else if (entry::root(e) != cb->root || entry::record(e, flag) != record ||
                   bounded_key_length(cb, e[1], e + 7, e[0] - 6) != key_len ||
                   std::memcmp(e + 7, first_key, static_cast<size_t>(key_len)) != 0) {
            broken = true;  // the datum ends before its last piece
            break;
        }
        if ((piece & 0x7F) != expect) broken = true;
        const int32_t len = payload_length(cb, e);
        if (fits && total + len <= n) {
            std::memcpy(out + total, e + 1 + e[0] - len, static_cast<size_t>(len));
        } else if (fits) {
            std::memcpy(out + total, e + 1 + e[0] - len, static_cast<size_t>(n - total));
            fits = false;
        }
        total += len;
        if ((piece & LastPiece) != 0 || broken) break;
        ++expect;
        e = walk.next(cb, &rc);
        if (e == nullptr) broken = true;
    }
    cb->datatotal = total;
    cb->datalen = fits ? total : n;
    const int32_t end = endread(cb);
    if (rc != 0) return rc;
    if (broken) return err::Pieces;
    return end;
}

int32_t frame_check(KXCB* cb, bool writes) {
    if (!is_open(cb)) return err::NotOpen;
    if (cb->root < 1 || cb->root > 50) return result(cb, err::Arg);
    if (writes && cb->access == 1) return result(cb, err::ReadOnly);
    return 0;
}

}  // namespace kx

using namespace kx;

namespace {

// Runs a positioning call in a read section with the caller's buffer kept.
int32_t in_read_section(KXCB* cb, int32_t (*work)(KXCB*)) {
    if (strtread(cb) != 0) return result(cb, err::Section);
    const int32_t r = work(cb);
    const int32_t end = endread(cb);
    return result(cb, end != 0 ? end : r);
}

// A find; the leaf is read where it lies in the node cache.  A probe before
// a change also makes that leaf the one the change's descent tries first.
int32_t find_at(KXCB* cb, bool probe) {
    release_key_lock(cb, cb->root);
    cb->io_error = 0;
    void* buffer = cb->data;
    const int32_t size = cb->datalen;
    cb->piece = 0;
    int32_t r = seek(cb, true, probe);
    if (r < 0 && r != err::Fail) {
        cb->data = buffer;
        return r;
    }
    RootCursor* c = existing_cursor(cb, cb->root);
    if (r == err::Fail || c == nullptr || c->position_root != cb->root) {
        clear_current(cb);
        cb->data = buffer;
        return err::Fail;
    }
    int32_t g = 0;
    if (cb->piece == LastPiece && cb->datalen > 0 && buffer != nullptr && size > 0) {
        // A datum of one entry: its payload came with the entry into the
        // current key fields; copied from there as gather would copy it.
        const int32_t len = cb->datalen;
        std::memcpy(buffer, cb->data, static_cast<size_t>(len <= size ? len : size));
        cb->compare_override = 0;
        cb->datatotal = len;
        cb->datalen = len <= size ? len : size;
    } else {
        g = gather(cb, buffer, size);
    }
    cb->data = buffer;
    return g != 0 ? g : r;
}

int32_t find_work(KXCB* cb) { return find_at(cb, false); }
int32_t probe_work(KXCB* cb) { return find_at(cb, true); }

int32_t getcur_work(KXCB* cb) {
    cb->io_error = 0;
    void* buffer = cb->data;
    const int32_t size = cb->datalen;
    RootCursor* c = root_cursor(cb, cb->root);
    if (c == nullptr) return err::NoMemory;
    if (c->position_root != cb->root || c->before) {
        clear_current(cb);
        return err::Fail;
    }
    if (!exclusive(cb) && c->stale) {
        uint8_t key[KeyBufferBytes] = {};
        std::memcpy(key, c->key, sizeof c->key);
        const uint32_t record = c->record;
        const uint32_t nested = cb->nested_call;
        cb->key = key;
        cb->key_byte_order = order_flag(cb);
        cb->recval = record;
        cb->nested_call = 1;
        int32_t r = _cfind(cb);
        cb->nested_call = nested;
        cb->data = buffer;
        cb->datalen = size;
        if (r > 0) {
            std::memcpy(c->key, key, sizeof c->key);
            c->record = record;
            r = err::NoCurrent;
        }
        c->stale = 0;
        return r;
    }
    EntryIndex ix;
    int32_t rc = read_node(cb, c->leaf, ix);
    if (rc != 0) return rc;
    const uint8_t* e = c->index >= 0 && c->index < ix.count ? ix.at(work::leaf().bytes, c->index) : nullptr;
    if (e == nullptr) {
        clear_current(cb);
        return err::Fail;
    }
    load_current(cb, e);
    c->position_root = entry::root(e);
    load_cursor(cb, c, e);
    cb->key = cb->current_key;
    cb->key_byte_order = order_flag(cb);
    rc = gather(cb, buffer, size);
    cb->data = buffer;
    return rc;
}

}  // namespace

namespace kx {

int32_t probe(KXCB* cb) {
    const KeyCallFields saved(cb);
    cb->data = nullptr;
    cb->datalen = 0;
    int32_t r = frame_check(cb, false);
    if (r == 0) r = in_read_section(cb, probe_work);
    saved.restore(cb);
    return r;
}

}  // namespace kx

extern "C" {

KX_API int32_t _cfind(KXCB* cb) {
    if (const int32_t rc = frame_check(cb, false)) return rc;
    return in_read_section(cb, find_work);
}

KX_API int32_t _cfirst(KXCB* cb) {
    if (const int32_t rc = frame_check(cb, false)) return rc;
    uint8_t zero[KeyBufferBytes] = {};
    cb->key = zero;
    cb->key_byte_order = 1;
    cb->recval = 0;
    cb->compare_override = -1;
    const int32_t r = _cfind(cb);
    cb->compare_override = 0;
    if (cb->key == zero) cb->key = cb->current_key;
    return result(cb, r >= 0 ? 0 : cb->last_result);
}

KX_API int32_t _clast(KXCB* cb) {
    if (const int32_t rc = frame_check(cb, false)) return rc;
    if (strtread(cb) != 0) return result(cb, err::Section);
    release_key_lock(cb, cb->root);
    cb->io_error = 0;
    uint8_t zero[KeyBufferBytes] = {};
    const int32_t root = cb->root;
    void* buffer = cb->data;
    const int32_t size = cb->datalen;
    cb->key = zero;
    cb->key_byte_order = 1;
    cb->compare_override = 1;
    cb->piece = 0;
    int32_t r = seek(cb);
    cb->compare_override = 0;
    if (cb->key == zero) cb->key = cb->current_key;
    cb->root = root;
    cb->data = buffer;
    cb->datalen = size;
    if (r >= err::Fail) r = _cprev(cb) == 0 ? 0 : cb->last_result;
    const int32_t end = endread(cb);
    return result(cb, end != 0 ? end : r);
}

KX_API int32_t _cgetcur(KXCB* cb) {
    if (const int32_t rc = frame_check(cb, false)) return rc;
    return in_read_section(cb, getcur_work);
}

KX_API int32_t cfind(KXCB* cb, int32_t root, const void* key, uint32_t record, void* buffer, int32_t length) {
    if (!is_open(cb)) return err::NotOpen;
    store_key_call(cb, root, key, record, buffer, length);
    return _cfind(cb);
}

KX_API int32_t cfirst(KXCB* cb, int32_t root, void* buffer, int32_t length) {
    if (!is_open(cb)) return err::NotOpen;
    store_buffer_call(cb, root, buffer, length);
    return _cfirst(cb);
}

KX_API int32_t clast(KXCB* cb, int32_t root, void* buffer, int32_t length) {
    if (!is_open(cb)) return err::NotOpen;
    store_buffer_call(cb, root, buffer, length);
    return _clast(cb);
}

KX_API int32_t cgetcur(KXCB* cb, int32_t root, void* buffer, int32_t length) {
    if (!is_open(cb)) return err::NotOpen;
    store_buffer_call(cb, root, buffer, length);
    return _cgetcur(cb);
}

}  // extern "C"
