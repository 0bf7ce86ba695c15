// What the crash worker (tests/helpers/crash_worker.cpp) writes and the
// killed-process test (tests/crash_kill_test.cpp) replays: payload bytes and
// note text from a seed, the data list of the data files, and the root lists
// of both kinds of file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kindex.h"

namespace kxtest::workload {

inline std::vector<uint8_t> payload(uint32_t seed, int32_t n) {
    std::vector<uint8_t> p(static_cast<size_t>(n > 0 ? n : 0));
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : p) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 7);
    }
    return p;
}

inline std::string note(uint32_t seed, int32_t n) {
    std::string s;
    for (const uint8_t b : payload(seed, n)) s.push_back(static_cast<char>('a' + b % 26));
    return s;
}

constexpr int32_t NoteRoom = 1600;

struct DataVars {
    int32_t id = 0;
    char name[32] = {};
    int32_t value = 0;
    char note[NoteRoom] = {};
    KXDLIST list[5] = {};
    DataVars() {
        list[0] = {'L', 5, 'U', 4, 1, &id};
        list[1] = {'S', 'S', 'D', static_cast<int16_t>(sizeof name), 2, name};
        list[2] = {'L', 'N', 'N', 4, 0, &value};
        list[3] = {'S', 'N', 'N', static_cast<int16_t>(sizeof note), 0, note};
        list[4] = {};
        list[4].type = 'E';
    }
    void fill(int32_t id_, uint32_t value_, int32_t len, uint32_t seed) {
        id = id_;
        std::snprintf(name, sizeof name, "n%d-%u", static_cast<int>(id % 7), value_ % 5);
        value = static_cast<int32_t>(value_);
        const std::string text = workload::note(seed, len);
        std::memset(note, 0, sizeof note);
        std::memcpy(note, text.data(), std::min(text.size(), sizeof note - 1));
    }
};

inline const KXROOTLIST kIndexRoots[] = {{1, 5, nullptr}, {2, 0, nullptr}, {3, 4, nullptr}, {0, 0, nullptr}};
inline const KXROOTLIST kDataRoots[] = {{1, 5, nullptr}, {2, 0, nullptr}, {0, 0, nullptr}};

}  // namespace kxtest::workload
