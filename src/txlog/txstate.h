// What the transaction log and the image backup keep per control block
// beside its fields: the nodes that got a before-image in the current write
// section, the high-water mark at the section's start, and the nodes written
// to the file since the section began (for the mirror).  One process-wide
// table, keyed by the block; an entry goes away when its block is opened or
// closed.
#pragma once

#include <cstdint>
#include <vector>

#include "kindex.h"

namespace kx {

struct TxState {
    // Per node number: the section mark at which its before-image was taken.
    std::vector<uint32_t> imaged;
    uint32_t section_mark = 0;
    uint32_t section_next_node = 0;
    // The image file holds a header or records not yet flushed.
    bool image_unflushed = false;
    // Node numbers written since the section began (modes 1 and 2).
    std::vector<uint32_t> written;
};

TxState& tx_state(const KXCB* cb);
TxState* find_tx_state(const KXCB* cb);

}  // namespace kx
