// The node writer used by the node cache for every node that reaches the
// file: the first-write marker step of flush mode 4, then the node image
// (already in the file's byte order) at 1024 + 2048 * n.  The transaction
// log hooks in here to record which node slots a transaction changed.
#pragma once

#include <cstdint>

#include "kindex.h"

namespace kx {

// 0, -43 for a negative node number, -4 when the seek fails, the marker
// step's code, or -8 when the write fails.
int32_t nodeput(KXCB* cb, const uint8_t* image, uint32_t n);
// The same write without the transaction's node-written note (log nodes,
// mirror copies).
int32_t write_slot(KXCB* cb, const uint8_t* image, uint32_t n);

}  // namespace kx
