// Roots with trees of their own (addroot, droproot): see roots.cpp for the
// tree slot map and the rules its changes keep.  Shared here is the test the
// maintenance calls make before they change what a root is: whether the
// root holds any entry in the tree it maps to now.
#pragma once

#include <cstdint>

#include "kindex.h"

namespace kx {

// 1 when the root holds an entry in the tree it maps to now (the working
// leaf then holds that entry's leaf and the root's cursor stands on it), 0
// when it holds none, or a negative code (-30 for a damaged tree).  The
// caller runs it inside a section; its parameter fields are kept.
int32_t root_has_entries(KXCB* cb, int32_t root);

}  // namespace kx
