// Nodes and entries.
//
// Node (2048 bytes in the file):
//   0   u32  leftmost child: interior node, the child holding the entries up
//            to and including entry 0; leaf 0; free node ~0
//   4   u32  right link: next node of the same level, ~0 none (free node:
//            next free node)
//   8   u32  left link: previous node of the same level, ~0 none
//   12  i16  level: 0 leaf, 1 lowest interior level, ...; -1 free node
//   14  i16  entry count
//   16  i16  free bytes: 2030 minus the bytes the entries take
//   18       entries back to back, then zero bytes to the end; a zero byte
//            where the next entry would start is the end marker
// The six header fields are in the file's byte order on disk and in host
// order in every node image in memory (the node cache converts them).
//
// Entry (N + 1 bytes):
//   0      u8   N, the bytes that follow
//   1      u8   root number 1..50
//   2      u8   piece byte: bits 0-6 piece number, bit 7 on the last piece
//   3      u32  record value, file byte order
//   7      K    key (K by the root's key type), file byte order
//   7+K         leaf: payload bytes (N - 6 - K of them)
//   N-3    u32  interior: the child node number instead (N = K + 10)
// An interior entry is a copy of bytes 1..6+K of the entry that was last in
// the left node when a node split, followed by the right node's number.  The
// child of interior entry i holds the entries after entry i up to and
// including entry i + 1.
//
// A datum (payload) longer than one entry holds is cut into pieces: entries
// with equal root, key and record value and piece numbers 0, 1, 2, ...; the
// last has bit 7 set.  A one-entry datum has piece byte 0x80.
#pragma once

#include <cstdint>
#include <cstring>

#include "frame/byteorder.h"
#include "indexfile/nodecache.h"
#include "kindex.h"

namespace kx {

constexpr int32_t EntryArea = 2030;
constexpr int32_t EntryStart = 18;
constexpr int32_t MaxEntries = 290;
constexpr int32_t ImageBytes = 2048 + 275;
constexpr uint8_t LastPiece = 0x80;

namespace node {
inline uint32_t leftmost(const uint8_t* n) { return load<uint32_t>(n + 0); }
inline uint32_t right(const uint8_t* n) { return load<uint32_t>(n + 4); }
inline uint32_t left(const uint8_t* n) { return load<uint32_t>(n + 8); }
inline int16_t level(const uint8_t* n) { return load<int16_t>(n + 12); }
inline int16_t count(const uint8_t* n) { return load<int16_t>(n + 14); }
inline int16_t free_bytes(const uint8_t* n) { return load<int16_t>(n + 16); }
inline void set_leftmost(uint8_t* n, uint32_t v) { store<uint32_t>(n + 0, v); }
inline void set_right(uint8_t* n, uint32_t v) { store<uint32_t>(n + 4, v); }
inline void set_left(uint8_t* n, uint32_t v) { store<uint32_t>(n + 8, v); }
inline void set_level(uint8_t* n, int16_t v) { store<int16_t>(n + 12, v); }
inline void set_count(uint8_t* n, int16_t v) { store<int16_t>(n + 14, v); }
inline void set_free_bytes(uint8_t* n, int16_t v) { store<int16_t>(n + 16, v); }
// Offset just past the last entry.
inline int32_t used_end(const uint8_t* n) { return 2048 - free_bytes(n); }
// A fresh node: no entries, both links ~0, the given level.
void init(uint8_t* n, int16_t level);
}  // namespace node

// Entry fields at an offset of a node image.
namespace entry {
inline int32_t size(const uint8_t* e) { return e[0] + 1; }
inline uint8_t root(const uint8_t* e) { return e[1]; }
inline uint8_t piece(const uint8_t* e) { return e[2]; }
inline uint32_t record(const uint8_t* e, uint8_t flag) { return get32(e + 3, flag); }
inline const uint8_t* key(const uint8_t* e) { return e + 7; }
}  // namespace entry

// The entry offsets of one node, checked: the count is 0..290, every entry
// lies inside the image (node and overflow area) and the free bytes agree
// with the entries.  Whether an entry's key fits inside the entry is checked
// where an entry's key is read (a search checks the entries it probes), or
// for every entry with `full`, so that a search costs a walk of entry lengths
// and a few key checks rather than a key check per entry.
struct EntryIndex {
    int32_t count = 0;
    // The size every entry has when all have one size, else 0 (also 0 when
    // that is not known, as after removals from entries of mixed sizes).
    // While it is set, entry i lies at EntryStart + i * stride and `offsets`
    // need not hold it (an index filled from a layout note writes nothing
    // there): offsets are read through offset() only.
    int32_t stride = 0;
    // Room for the entries and the end marker's place.
    int32_t offsets[MaxEntries + 1];

    // False for a damaged node.
    bool build(KXCB* cb, const uint8_t* image, bool full = false, int32_t limit = ImageBytes);
    // The offsets of a node whose entries are known to be all of one size
    // (found so by an earlier walk of the same content), without walking
    // them; false when the node's count and free bytes do not fit that.
    bool fill(const uint8_t* image, int32_t size);
    // The offset of entry i (i = count: the end marker's place).
    int32_t offset(int32_t i) const { return stride != 0 ? EntryStart + i * stride : offsets[i]; }
    const uint8_t* at(const uint8_t* image, int32_t i) const { return image + offset(i); }
    // Takes another index's offsets (only the count + 1 in use are copied).
    void copy_from(const EntryIndex& other) {
        count = other.count;
        stride = other.stride;
        if (stride == 0)
            std::memcpy(offsets, other.offsets, static_cast<size_t>(count + 1) * sizeof offsets[0]);
    }
    // Carries the offsets along an entry of `size` bytes inserted at index
    // `at` (at offset `offset`), or removed from index `at`.
    void inserted(int32_t at, int32_t offset, int32_t size) {
        if (stride != 0 && stride == size) {
            ++count;
            return;
        }
        spell_out();
        for (int32_t j = count; j >= at; --j) offsets[j + 1] = offsets[j] + size;
        offsets[at] = offset;
        stride = count == 0 ? size : 0;
        ++count;
    }
    void removed(int32_t at, int32_t size) {
        if (stride == 0) {
            for (int32_t j = at; j < count; ++j) offsets[j] = offsets[j + 1] - size;
        }
        --count;
        if (count == 0) {
            stride = 0;
            offsets[0] = EntryStart;
        }
    }
    // Whether kept offsets agree with this fresh walk: the same offsets, and
    // a stride, where one is kept, that the walk confirms.
    bool confirms(const EntryIndex& kept) const {
        if (count != kept.count || (kept.stride != 0 && kept.stride != stride)) return false;
        for (int32_t i = 0; i <= count; ++i)
            if (offset(i) != kept.offset(i)) return false;
        return true;
    }

private:
    // Writes out the offsets a stride stands for, before they stop following it.
    void spell_out() {
        if (stride == 0) return;
        for (int32_t i = 0; i <= count; ++i) offsets[i] = EntryStart + i * stride;
    }
};

// The entry offsets of the working leaf, kept with the layout epoch they
// describe: reused while the epoch is current, and carried along by the
// entry insertions and removals below instead of being walked again.
struct WorkingIndex {
    uint64_t epoch = 0;
    EntryIndex ix;
};
WorkingIndex& working_leaf_index();
// The working leaf's entry offsets (walked when not kept); null when the node
// in it is damaged.
const EntryIndex* working_index(KXCB* cb);
// Aborts unless kept offsets equal a fresh walk of the image (the
// KINDEX_SELF_CHECK build calls it wherever kept offsets are reused).
void check_kept(KXCB* cb, const uint8_t* image, const EntryIndex& ix, int32_t limit);

// Length of the key at p (root's key type) when it fits in `avail` bytes,
// else -1.
int32_t bounded_key_length(KXCB* cb, uint8_t root, const uint8_t* p, int32_t avail);

// Child number of an interior entry, host order.
uint32_t entry_child(const uint8_t* e, uint8_t flag);
// Payload of a leaf entry: its start and length.
int32_t payload_length(KXCB* cb, const uint8_t* e);

// Builds a leaf entry into out (at least 256 bytes); returns its size N + 1.
int32_t build_leaf_entry(uint8_t* out, uint8_t root, const uint8_t* key, int32_t key_len, uint32_t record,
                         uint8_t piece, const uint8_t* payload, int32_t payload_len, uint8_t flag);
// Builds the interior entry for a separator from an entry and a child; -1
// when the entry's key does not fit in it.
int32_t build_index_entry(KXCB* cb, uint8_t* out, const uint8_t* e, uint32_t child);

// Inserts entry bytes at an offset (the free bytes may go negative into the
// overflow area); removes the entry at an offset.
void insert_entry(uint8_t* image, int32_t offset, const uint8_t* e);
void remove_entry(uint8_t* image, int32_t offset);

}  // namespace kx
