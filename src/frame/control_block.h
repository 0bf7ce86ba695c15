// The control block: the caller-owned record of one open file.
//
// Its layout (include/kindex.h) is a packed run of 90 fields, 2393 bytes,
// framed by the eight signature letters V A L I D A T E and a state byte
// ('O' open, 'C' closed).  The checks below pin the layout so that a host
// built against another copy of the header sees the same bytes.
//
// Entry rule: a call on an open file checks the block with cbcheck() and
// returns -3 before touching any other field when the answer is not 'O'.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kindex.h"

static_assert(sizeof(KXSEGMENT) == 15);
static_assert(sizeof(KXROOTLIST) == 10);
static_assert(sizeof(KXDLIST) == 14);
static_assert(sizeof(KXCB) == KX_CB_SIZE);
static_assert(offsetof(KXCB, root) == 2);
static_assert(offsetof(KXCB, state) == 30);
static_assert(offsetof(KXCB, last_result) == 35);
static_assert(offsetof(KXCB, byte_order) == 48);
static_assert(offsetof(KXCB, custom) == 97);
static_assert(offsetof(KXCB, segment_lists) == 249);
static_assert(offsetof(KXCB, slot_roots) == 767);
static_assert(offsetof(KXCB, sig_d) == 967);
static_assert(offsetof(KXCB, handle) == 1020);
static_assert(offsetof(KXCB, current_key) == 1045);
static_assert(offsetof(KXCB, file_name) == 1398);
static_assert(offsetof(KXCB, change_counter) == 1527);
static_assert(offsetof(KXCB, open_mode) == 1535);
static_assert(offsetof(KXCB, trans_mode) == 1853);
static_assert(offsetof(KXCB, record_sequence) == 1889);
static_assert(offsetof(KXCB, sig_t) == 1923);
static_assert(offsetof(KXCB, cursors) == 1976);
static_assert(offsetof(KXCB, sig_e) == 2392);

namespace kx {

constexpr uint64_t NoHandle = ~uint64_t{0};
constexpr uint32_t NoNode = 0xFFFFFFFFu;
constexpr uint32_t NoSlot = 0xFFFFFFFFu;

// 'I' when a signature letter is wrong or the state is neither 'O' nor 'C',
// else the state byte.
char cbcheck(const KXCB* cb);
// Writes the eight signature letters and the state byte.
void cbmark(KXCB* cb, char state);

inline bool is_open(const KXCB* cb) {
    // The same test as cbcheck() == 'O', inline: every call makes it.
    return cb != nullptr && cb->state == 'O' && cb->sig_v == 'V' && cb->sig_a1 == 'A' && cb->sig_l == 'L' &&
           cb->sig_i == 'I' && cb->sig_d == 'D' && cb->sig_a2 == 'A' && cb->sig_t == 'T' && cb->sig_e == 'E';
}
inline bool exclusive(const KXCB* cb) { return cb->open_mode == 'E'; }

// Stores a result code as the block's last result and hands it back.
inline int32_t result(KXCB* cb, int32_t code) {
    cb->last_result = code;
    return code;
}

// The file's byte-order flag: 1 when stored numbers are in host order.
inline uint8_t order_flag(const KXCB* cb) { return cb->byte_order[0]; }

}  // namespace kx
