// A structural checker for the trees of an open index file, used by every
// engine test: levels step down by one, left and right links agree, entries
// are ordered along every level and inside every node, free bytes match the
// entries, every leaf entry is found again by a descent, the free list is a
// chain of free nodes disjoint from the trees, and the header's node counts
// and heights agree with what is reached.
#pragma once

#include <cstdint>
#include <string>

#include "kindex.h"

namespace kxtest {

struct TreeStats {
    int64_t entries = 0;
    int64_t leaves = 0;
    int64_t interior = 0;
    uint32_t height = 0;
    double leaf_fill = 0;  // average used bytes of a leaf's 2030
};

// Checks the main tree and every tree slot in use; "" when sound, else the
// first fault found.
std::string check_trees(KXCB* cb, TreeStats* main_stats = nullptr, bool find_every_entry = true);

}  // namespace kxtest
