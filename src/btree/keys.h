// Keys: their types, lengths, copies and order, and the entry order of trees.
//
// Every root number holds keys of one key type: the low 5 bits of the root's
// byte in the control block's root type table.  Numbers inside keys are
// compared in host order; in the file they sit in the file's byte order and
// are turned by records/keyconv.h.
//
//   type    format                                   length       order (sign of result)
//   0       zero-terminated string                   strlen + 1   byte-wise, as strcmp
//   1       zero-terminated string, case-blind       strlen + 1   A-Z taken as a-z, then byte-wise
//   2       counted: length byte L, then L bytes     L + 1        memcmp of the common part,
//                                                                 then the shorter first (L1 - L2)
//   3       32-bit integer                           4            wrapping difference a - b, as is
//   4       signed 16-bit integer                    2            a - b on sign-extended values
//   5       32-bit integer                           4            sign of the wrapping difference
//   6       float                                    4            d = a - b: 1 if d > 0, 0 if d == 0,
//                                                                 else -1 (a NaN difference is -1)
//   7       double                                   8            as type 6
//   8       compound: length byte L, then segments   L + 1        segment by segment (below)
//   9       6 raw bytes                              6            memcmp
//   10      unsigned 16-bit integer                  2            -1, 0, 1
//   16      length byte, u16 f1, u32 f2, u32 f3,     L + 1        f1..f5 in turn, first non-zero
//           u32 f4, u16 f5                                        difference decides (32-bit fields
//                                                                 by wrapping difference); -1, 0, 1;
//                                                                 the length byte is not compared
//   17      as 16, then signed 16-bit f6             L + 1        as 16, then f6; -1, 0, 1
//   18-20   counted, as type 2                       L + 1        as type 2
//
// Types 11..15 and 21..31 are not key types: their length is 0, copying one
// copies nothing, and comparing under one reports an error in the control
// block (root number parameter = the root, last result -1, deferred error 1)
// and answers "equal".
//
// Compound keys (type 8) are described by the root's segment list: 15-byte
// descriptors whose byte 0 is the segment's key type (31 ends the list) and
// byte 6 the descending flag.  Two compound keys compare segment by segment;
// the first unequal segment decides, inverted when it is descending.  Each
// side keeps a count of the bytes its length byte still covers; once either
// side has no bytes left the keys are equal, so a compound key that ends
// early equals every longer key that begins with it (an empty compound key
// equals every key).  Segment values are read only within the bytes the
// length byte covers: a string segment ends at the last covered byte, a
// counted segment's count is cut to the covered bytes, and a fixed-width
// segment that runs past them reads the missing bytes as zero.  At most
// CompoundSegmentLimit descriptors are walked; a segment of type 8 or of a
// non-key type is reported as an error like any other non-key type.
//
// Entry order, obeyed by every tree: root number (unsigned byte), then key by
// the root's key type with both sides in host order, then record value by the
// sign of the 32-bit wrapping difference, then piece number (piece byte with
// bit 7 masked off).  Entries equal on all four are the same entry.
//
// Successor key: for a key k, a key s that compares above k and, where it can
// be formed, below every key that compares above k.  The engine re-finds the
// position after (k, 2147483647) by seeking (s, 0).
//
//   0, 1     append the byte 0x01 (the smallest string above k)
//   2, 18-20 append a zero byte and add 1 to the length byte (the smallest
//            counted string above k)
//   3, 5     add 1, unless k is 2147483647
//   4, 10    add 1, unless k is the type's largest value (32767, 65535)
//   6, 7     add 1.0 in the type's precision (keys between k and k + 1.0 are
//            passed over, as stored trees expect)
//   9        the 6 bytes as one big-endian number plus 1; all 0xFF unchanged
//   16, 17   the last field plus 1 (f5, or f6 for type 17); at its largest
//            value it becomes its smallest and the carry moves to the field
//            before (f6 -> f5 -> f4; f4 is 32-bit and wraps, so the carry
//            always ends there); the length byte is kept
//   8        the last segment the length byte covers is changed under its own
//            type by the rules above and the length byte follows any change
//            of the segment's length.  For a descending segment the change
//            is the reverse one, so that the compound key still moves up:
//            numbers subtract 1 (1.0) unless at the type's smallest value;
//            type 9 and 16/17 subtract 1 with borrow; a string or counted
//            segment loses its last byte when that byte is the smallest
//            one (0x01 for strings, 0 for counted), otherwise its last byte
//            is lowered by one (for type 1 to the next lower case-blind
//            value) and the value is padded with 0xFF bytes until the whole
//            key is LongestStoredKey bytes long, since no stored key is
//            longer; an empty string or counted segment is left as it is.
//
// A key that cannot grow (the change would take a key past KeyBufferBytes,
// a compound length byte past 255, or a string key has no terminator within
// KeyBufferBytes), or whose value is already the largest, is left unchanged;
// so is a key of a non-key type or a compound key with no segment to change.
//
// Comparison allocates nothing.  When a file is not in host order, the only
// copies are the two KeyBufferBytes work copies that root_key_compare makes
// to bring numeric keys to host order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kindex.h"

extern "C" {

// Length in bytes of a key of the root's type; 0 for a null key or a root
// whose type is not a key type.
KX_API int32_t cikeylen(KXCB* cb, int32_t root, const void* key);
// Copies one key of the root's type from src to dst; a null src copies the
// type's zero key (empty string, zero length byte, or zero bytes).
KX_API void cikeycpy(KXCB* cb, int32_t root, void* dst, const void* src);
// Compares two host-order keys of the given type (masked to 5 bits): negative
// when first sorts before second, 0 when equal, positive after.  The root
// number locates the segment list of a compound key and names the root in an
// error report.  A null key pointer stands for the type's zero key.
KX_API int32_t cikeycmp(KXCB* cb, int32_t root, int32_t key_type, const void* first,
                        const void* second);

}  // extern "C"

namespace kx {

// Every key buffer of the engine (current key, traversal key, work copies).
constexpr int32_t KeyBufferBytes = 256;
// The longest key a tree holds: a key must be shorter than 243 bytes.
constexpr int32_t LongestStoredKey = 242;
// The descriptor value that ends a segment list.
constexpr uint8_t SegmentListEnd = 31;
// Descriptors walked at most by comparison and conversion of compound keys.
constexpr int32_t CompoundSegmentLimit = 243;
// Descriptors walked at most when looking for the segment a successor changes.
constexpr int32_t SuccessorSegmentLimit = 242;

// The number of descriptors of a segment list before its end, or -1 when a
// descriptor's key type is 21 or more or the list runs past the largest
// length (CompoundSegmentLimit descriptors).
inline int32_t segment_count(const KXSEGMENT* list) {
    for (int32_t i = 0; i <= CompoundSegmentLimit; ++i) {
        const uint8_t type = list[i].key_type;
        if (type == SegmentListEnd) return i;
        if (type >= 21) return -1;
    }
    return -1;
}

namespace keytype {
constexpr uint8_t String = 0;
constexpr uint8_t StringNoCase = 1;
constexpr uint8_t Counted = 2;
constexpr uint8_t Int32Difference = 3;
constexpr uint8_t Int16 = 4;
constexpr uint8_t Int32 = 5;
constexpr uint8_t Float = 6;
constexpr uint8_t Double = 7;
constexpr uint8_t Compound = 8;
constexpr uint8_t Bytes6 = 9;
constexpr uint8_t Uint16 = 10;
constexpr uint8_t Fields16 = 16;
constexpr uint8_t Fields17 = 17;
constexpr uint8_t Counted18 = 18;
constexpr uint8_t Counted19 = 19;
constexpr uint8_t Counted20 = 20;
}  // namespace keytype

// True for 0..10 and 16..20.
constexpr bool is_key_type(uint8_t type) {
    return type <= keytype::Uint16 || (type >= keytype::Fields16 && type <= keytype::Counted20);
}
// Key types whose first byte counts the bytes that follow.
constexpr bool is_counted_type(uint8_t type) {
    return type == keytype::Counted || type == keytype::Compound ||
           (type >= keytype::Fields16 && type <= keytype::Counted20);
}
// Width of a fixed-width key type, 0 for the others.
constexpr int32_t fixed_width(uint8_t type) {
    switch (type) {
    case keytype::Int16:
    case keytype::Uint16: return 2;
    case keytype::Int32Difference:
    case keytype::Int32:
    case keytype::Float: return 4;
    case keytype::Bytes6: return 6;
    case keytype::Double: return 8;
    default: return 0;
    }
}

// The key type of a root (low 5 bits of its root type byte); 31, not a key
// type, for a null block or a root outside the table.
inline uint8_t root_key_type(const KXCB* cb, int32_t root) {
    if (cb == nullptr || root < 0 || root >= static_cast<int32_t>(sizeof cb->root_types)) return 31;
    return cb->root_types[root] & 31;
}
// The segment list of a root; null for a null block, a root outside the
// table, or a root given no list.  A null list counts as an empty one.
const KXSEGMENT* root_segments(const KXCB* cb, int32_t root);

// Length of a key of the given type (8 included: length byte + 1); 0 for a
// null key or a non-key type.
int32_t key_length(uint8_t key_type, const void* key);
// Length of one segment value of a compound key whose covered bytes from the
// value's start are `covered`: a string ends at the last covered byte when
// it has no terminator before it.  0 for type 8 and non-key types.
int32_t segment_length(uint8_t key_type, const uint8_t* value, int32_t covered);

// Compares two keys of the root's type.  With keys_in_file_order set and a
// file not in host order, keys with numbers in them are copied to host order
// first (two KeyBufferBytes stack copies); otherwise they are compared in
// place.  Result as cikeycmp.
int32_t root_key_compare(KXCB* cb, int32_t root, const uint8_t* key_a, const uint8_t* key_b,
                         bool keys_in_file_order);

// Entry order: root number, key (root_key_compare), record value by the sign
// of the wrapping difference, piece number (bit 7 masked off).  Negative,
// 0 or positive; the key's own comparison value is returned when the keys
// decide, -1 or 1 otherwise.
int32_t entry_compare(KXCB* cb, uint8_t root_a, const uint8_t* key_a, uint32_t rec_a,
                      uint8_t piece_a, uint8_t root_b, const uint8_t* key_b, uint32_t rec_b,
                      uint8_t piece_b, bool keys_in_file_order);

// Replaces a key, given in the file's byte order in a KeyBufferBytes buffer,
// by its successor (see the table at the top of this file), still in the
// file's byte order.  key_type is the root's key type.
void successor_key(KXCB* cb, int32_t root, uint8_t key_type, uint8_t* key_in_file_order);

}  // namespace kx
