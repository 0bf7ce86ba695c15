// Key byte-order conversion.
//
// Keys reach the library in host order, but the numbers inside keys kept in
// a file of the other byte order are stored in the file's order.  These calls
// turn the numeric parts of one key between the two orders, driven by the key
// type of its root and, for compound keys, by the root's segment list.
//
// A byte order is given as a flag: 1 means host order, any other value the
// file's foreign order.  The pointer forms take a byte-order word (such as the
// control block's byte_order) and read only its first byte; a null pointer
// stands for host order.  Turning happens only when exactly one of the two
// orders is host order, so a file in host order never has a key turned, and
// turning twice in opposite directions restores the bytes.
//
//   key type             turned
//   0, 1, 2              nothing (strings and counted bytes)
//   3, 5, 6              the four bytes reversed
//   4, 10                the two bytes swapped
//   7                    the eight bytes reversed
//   8 (compound)         each segment under its own type, walking the segment
//                        list from its start while the length byte still
//                        covers bytes; a segment that does not fit entirely in
//                        the covered bytes, or of type 8 or a non-key type,
//                        ends the walk; an empty list turns nothing
//   9, 11..31            nothing (16..20 hold their fields as given)
//
// Roots outside 1..50 are never turned.
#pragma once

#include <cstdint>

#include "kindex.h"

namespace kx {

// Turns the key in place from order `from` to order `to`.
void convkey(KXCB* cb, int32_t root, void* key, uint8_t key_type, uint8_t from, uint8_t to);
void convkey(KXCB* cb, int32_t root, void* key, uint8_t key_type, const uint8_t* from,
             const uint8_t* to);

// Turns the key parameter (cb->key, root cb->root, that root's key type) from
// the order in cb->key_byte_order to `to`, then records `to` there (1 for
// host order, otherwise the flag value itself).
void convparm(KXCB* cb, uint8_t to);
void convparm(KXCB* cb, const uint8_t* to);

// True for the key types whose keys hold numbers that conversion turns.
constexpr bool key_type_turns(uint8_t key_type) {
    return (key_type >= 3 && key_type <= 8) || key_type == 10;
}

}  // namespace kx
