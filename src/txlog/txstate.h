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
    // Per node number: the section mark at which its before-image was taken,
    // and the number of that record in the image file (NoRecord: the node
    // needs none in this section).
    std::vector<uint32_t> imaged;
    std::vector<uint32_t> image_record;
    static constexpr uint32_t NoRecord = 0xFFFFFFFFu;
    uint32_t section_mark = 0;
    uint32_t section_next_node = 0;
    // The image file holds records not yet flushed; its header is not yet
    // flushed.
    bool image_unflushed = false;
    bool header_unflushed = false;
    // Node numbers written since the section began (modes 1 and 2).
    std::vector<uint32_t> written;
};

TxState& tx_state(const KXCB* cb);
TxState* find_tx_state(const KXCB* cb);

}  // namespace kx
