// Pieces shared by the maintenance calls (rebuild, check, conversion).
//
// The default root list: when a rebuild or a check is given no root list it
// recreates roots 1..45 with the key types the examined file's header holds
// (header +192 + r), one KXROOTLIST entry per root and a closing entry of
// root 0, without segment lists.
#pragma once

#include <array>
#include <cstdint>

#include "kindex.h"

namespace kx {

constexpr int kDefaultRoots = 45;
using DefaultRootList = std::array<KXROOTLIST, kDefaultRoots + 1>;

// root_types: the header's root type table, entry r for root r.
inline DefaultRootList default_root_list(const uint8_t* root_types) {
    DefaultRootList list{};
    for (int r = 1; r <= kDefaultRoots; ++r) {
        list[r - 1].root = static_cast<uint8_t>(r);
        list[r - 1].root_type = root_types[r];
        list[r - 1].segments = nullptr;
    }
    list[kDefaultRoots] = KXROOTLIST{0, 0, nullptr};
    return list;
}

}  // namespace kx
