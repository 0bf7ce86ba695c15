// Conversion of the older format (cconvert) and change of key types
// (cchgndx).
//
// The older format, read only, with every number in the byte order of the
// machine that wrote it (taken as the host's):
//
//   file offset        size  contents
//   0                  28    old header; only the next record number, u32 at
//                            offset 16, is carried over
//   1024 + 1024 * i    1024  old node slot i
//
//   old node:   0  i16  level (0 leaf; interior and other nodes are skipped)
//               2  i16  entry count, at most 150
//               4       not used here
//               12      entries, packed, each ending within the slot
//   old entry:  0  u8   L, the bytes that follow
//               1  u8   root number 1..50
//               2       key: k characters and a terminating zero
//               3+k u32 record value
//               7+k u8  piece byte
//               8+k     payload, L - k - 7 bytes
//
// cconvert creates the new file with ccreate: little-endian, every root of
// 1..49 with plain string keys (key type 0), which is what the old
// zero-terminated keys are, so each key is carried over byte for byte.  Each
// well-formed entry goes into the new file as one entry with its piece byte;
// an entry equal in root, key, record value and piece number to one already
// converted replaces it (one tree holds no two such entries).  Entries of
// root 50, the lock tree, are not carried over: they name key locks,
// record locks and semaphores of processes that used the old file.
//
// Faults of one old leaf end that leaf with -30 (entries before the fault
// are converted) and the scan goes on with the next slot: a count above 150,
// a root number outside 1..50, an entry running past its slot or a key with
// no terminating zero inside its entry.  A well-formed entry whose key is
// too long for the new format (243 bytes or more) is left out with -26 and
// the leaf goes on.  Every old byte read lies inside the slot buffer.
//
// cchgndx checks every entry of its root list before it changes anything:
// root numbers 1..45 (-27), key types below 21 (-35), segment lists that
// are null or valid (-37), and an empty tree for every root whose key type
// changes (-36).  Only then are the key types stored (the header written
// once) and the block's segment list table replaced, so a refused list
// changes nothing.
#include <cstring>

#include "btree/cursor.h"
#include "btree/insert.h"
#include "btree/keys.h"
#include "btree/node.h"
#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/header.h"
#include "indexfile/nodecache.h"
#include "indexfile/roots.h"
#include "kindex.h"
#include "records/keyconv.h"
#include "storage/file.h"
#include "storage/platform.h"

namespace kx {

namespace {

namespace old {
constexpr uint32_t NodeSize = 1024;
constexpr uint32_t NodeBase = 1024;
constexpr uint32_t HeaderSize = 28;
constexpr uint32_t NextRecord = 16;
constexpr int32_t Level = 0;
constexpr int32_t Count = 2;
constexpr int32_t EntryStart = 12;
constexpr int16_t MaxEntries = 150;
// Root number, key terminator, record value and piece byte.
constexpr int32_t EntryMinimum = 7;
}  // namespace old

constexpr uint8_t LockRoot = 50;
constexpr int32_t MaxNewKey = 243;
constexpr int32_t MaxListEntries = 50;
constexpr int32_t MaxCallerRoot = 45;
constexpr uint8_t KeyTypeLimit = 21;

// Inserts the entries of one old leaf into the new file: 0, -30 for a
// damaged leaf, -26 when an entry's key is too long for the new file, or the
// code of a failed insertion.
int32_t convert_leaf(KXCB* cb, const uint8_t* slot) {
    const auto count = load<int16_t>(slot + old::Count);
    if (count < 0 || count > old::MaxEntries) return err::Damaged;
    const uint8_t flag = order_flag(cb);
    int32_t result = 0;
    int32_t p = old::EntryStart;
    for (int16_t i = 0; i < count; ++i) {
        if (p >= static_cast<int32_t>(old::NodeSize)) return err::Damaged;
        const int32_t length = slot[p];
        if (length < old::EntryMinimum || p + 1 + length > static_cast<int32_t>(old::NodeSize)) return err::Damaged;
        const uint8_t root = slot[p + 1];
        if (root < 1 || root > LockRoot) return err::Damaged;
        // The zero-terminated key, then record value, piece byte, payload.
        const uint8_t* key = slot + p + 2;
        const int32_t room = length - 6;
        const void* zero = std::memchr(key, 0, static_cast<size_t>(room));
        if (zero == nullptr) return err::Damaged;
        const auto held = static_cast<int32_t>(static_cast<const uint8_t*>(zero) - key) + 1;
        const int32_t next = p + 1 + length;
        if (root == LockRoot) {
            p = next;
            continue;
        }
        // The key as the new file's key type for the root reads it, within
        // the bytes the old key holds.
        const int32_t k = bounded_key_length(cb, root, key, held);
        if (k < 0) return err::Damaged;
        if (k >= MaxNewKey) {
            result = err::StringLength;
            p = next;
            continue;
        }
        const uint32_t record = load<uint32_t>(key + held);
        const uint8_t piece = key[held + 4];
        const uint8_t* payload = key + held + 5;
        const int32_t payload_length = room - held;
        uint8_t file_key[KeyBufferBytes] = {};
        std::memcpy(file_key, key, static_cast<size_t>(k));
        convkey(cb, root, file_key, root_key_type(cb, root), 1, flag);
        uint8_t e[256];
        build_leaf_entry(e, root, file_key, k, record, piece, payload, payload_length, flag);
        const int32_t rc = put_entry(cb, e);
        if (rc < 0) return rc;
        p = next;
    }
    return result;
}

// The old file's slots, one after the other while a whole slot can be read;
// the last failing leaf's code.
int32_t convert_slots(KXCB* source, KXCB* cb) {
    int32_t result = 0;
    uint8_t slot[old::NodeSize];
    for (uint32_t i = 0;; ++i) {
        if (storage::seek(source, i, old::NodeSize, old::NodeBase) != 0) break;
        if (storage::read(source, slot, old::NodeSize) != 0) break;
        if (load<int16_t>(slot + old::Level) != 0) continue;
        const int32_t rc = convert_leaf(cb, slot);
        if (rc != 0) result = rc;
    }
    return result;
}

// The old header's next record number into the new file.
int32_t carry_next_record(KXCB* source, KXCB* cb) {
    uint8_t header[old::HeaderSize];
    if (storage::seek(source, 0, 0, 0) != 0) return err::Seek;
    const int32_t rc = storage::read(source, header, old::HeaderSize);
    if (rc != 0) return rc;
    return csetrec(cb, load<uint32_t>(header + old::NextRecord));
}

int32_t change_index(KXCB* cb, const KXROOTLIST* list, int32_t entries) {
    bool changes = false;
    for (int32_t i = 0; i < entries; ++i) {
        const KXROOTLIST& e = list[i];
        if (e.root > MaxCallerRoot) return err::RootNumber;
        if (e.root_type >= KeyTypeLimit) return err::RootList;
        if (cb->root_types[e.root] != e.root_type) {
            // A root's entries are ordered by its key type: only an empty
            // root may change it.
            if (cb->access == 1) return err::ReadOnly;
            const int32_t held = root_has_entries(cb, e.root);
            if (held < 0) return held;
            if (held > 0) return err::ChangeIndex;
            changes = true;
        }
        if (e.segments != nullptr && segment_count(e.segments) < 1) return err::SegmentList;
    }
    int32_t rc = 0;
    if (changes) {
        for (int32_t i = 0; i < entries; ++i) cb->root_types[list[i].root] = list[i].root_type;
        rc = hdrwrite(cb);
        if (rc != 0) return rc;
    }
    for (int32_t r = 1; r <= 51; ++r) cb->segment_lists[r] = nullptr;
    for (int32_t i = 0; i < entries; ++i) cb->segment_lists[list[i].root] = list[i].segments;
    return 0;
}

}  // namespace

}  // namespace kx

using namespace kx;

extern "C" {

KX_API int32_t cconvert(const char* old_name, const char* new_name) {
    if (old_name == nullptr || *old_name == 0) return err::BuildSource;
    KXCB source;
    std::memset(&source, 0, sizeof source);
    // Only read: the old file is never written.
    if (storage::open_exclusive(&source, old_name, 1) == os::InvalidHandle) return err::BuildSource;
    KXCB target;
    std::memset(&target, 0, sizeof target);
    if (new_name == nullptr || ccreate(&target, new_name) != 0) {
        storage::close_file(&source);
        return err::BuildTarget;
    }
    // Nodes reach the file when it is closed, not after every insertion.
    csetfile(&target, 0);
    int32_t rc = strtwrit(&target);
    if (rc == 0) {
        int32_t r = convert_slots(&source, &target);
        const int32_t h = carry_next_record(&source, &target);
        if (h != 0) r = h;
        const int32_t end = endwrit(&target);
        rc = end != 0 ? end : r;
    }
    const int32_t closed = mclose(&target);
    if (closed != 0 && is_open(&target)) {
        // The block goes away with this call: none of the pool's buffers
        // may stay in its name.
        cachestale(&target);
        storage::close_file(&target);
        free_cursors(&target);
    }
    storage::close_file(&source);
    return rc != 0 ? rc : closed;
}

KX_API int32_t cchgndx(KXCB* cb, const KXROOTLIST* list) {
    if (!is_open(cb)) return err::NotOpen;
    if (list == nullptr) return result(cb, err::RootList);
    int32_t entries = 0;
    while (entries < MaxListEntries && list[entries].root != 0) ++entries;
    // The emptiness tests and the change are one write section: no other
    // process adds to a root between its test and its new key type.
    const bool writes = cb->access != 1;
    int32_t rc = writes ? strtwrit(cb) : strtread(cb);
    if (rc != 0) return result(cb, rc);
    rc = change_index(cb, list, entries);
    const int32_t end = writes ? endwrit(cb) : endread(cb);
    return result(cb, end != 0 ? end : rc);
}

}  // extern "C"
