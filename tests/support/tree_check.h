// A structural checker for the trees of an open index file, used by every
// engine test: header values the trees rest on, levels step down by one, left
// and right links agree, entries are ordered along every level and inside
// every node, the pieces of every datum are numbered 0, 1, 2, ... with bit 7
// on the last, free bytes match the entries and the bytes after them are
// zero, every leaf entry is found again by a descent, the free list is a
// chain of free nodes disjoint from the trees, and the header's node counts
// and heights agree with what is reached.
//
// check_trees also runs bcheck on the same block (its check fields and last
// result are put back afterwards) and reports a disagreement between the two.
// They agree when:
//   * the checker finds the trees sound and bcheck returns 0; or
//   * the checker finds a fault that bcheck covers and bcheck returns -1 with
//     a reason -201..-214; or
//   * the checker finds a fault that bcheck does not cover (whatever bcheck
//     says).
// Only the verdict is compared, never the reason or the node: the two walk in
// different orders and stop at the first fault each meets, which need not be
// the same one.  Every fault the checker reports today is one bcheck covers
// (a fault found with fail(..., false) would be one it does not): header
// values -213, heights and root levels -201, unreadable or out-of-range nodes
// -211/-208, levels -209, links -204..-206, node layout -202/-203/-207,
// entry order and datum pieces -214, a node reached twice -201/-205/-208/-212,
// entries not found again by a descent -210/-206, free nodes -212.  bcheck
// failing for another reason (a section error) is reported as such.
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
