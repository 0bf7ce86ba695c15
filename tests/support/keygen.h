// Random keys of every key type, in host order, for engine tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "kindex.h"

namespace kxtest {

// Segment list used for compound roots: a string ascending, then a 32-bit
// integer descending.
inline KXSEGMENT* compound_segments() {
    static KXSEGMENT segs[3] = {};
    segs[0].key_type = 0;
    segs[1].key_type = 5;
    segs[1].descending = 1;
    segs[2].key_type = 31;
    return segs;
}

// A random key of the type; `spread` limits the number of distinct values so
// that duplicates occur.
inline std::vector<uint8_t> random_key(uint8_t type, std::mt19937& rng, uint32_t spread) {
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    const uint32_t v = pick(spread);
    std::vector<uint8_t> k;
    auto put = [&](const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        k.insert(k.end(), b, b + n);
    };
    auto text = [&](bool mixed) {
        std::string s = std::to_string(v * 2654435761u % 1000003u);
        const size_t extra = pick(4) == 0 ? pick(40) : pick(6);
        for (size_t i = 0; i < extra; ++i) s.push_back(static_cast<char>('a' + (v + i) % 26));
        if (mixed)
            for (auto& c : s)
                if (pick(2) && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        return s;
    };
    switch (type) {
        case 0:
        case 1: {
            const std::string s = text(type == 1);
            put(s.c_str(), s.size() + 1);
            break;
        }
        case 2:
        case 18:
        case 19:
        case 20: {
            const uint8_t len = static_cast<uint8_t>(v % 37);
            k.push_back(len);
            for (uint8_t i = 0; i < len; ++i) k.push_back(static_cast<uint8_t>((v * 31 + i * 7) & 0xFF));
            break;
        }
        case 3:
        case 5: {
            const int32_t x = static_cast<int32_t>(v) - static_cast<int32_t>(spread / 2);
            put(&x, 4);
            break;
        }
        case 4: {
            const int16_t x = static_cast<int16_t>(static_cast<int32_t>(v % 65536) - 32768);
            put(&x, 2);
            break;
        }
        case 10: {
            const uint16_t x = static_cast<uint16_t>(v % 65536);
            put(&x, 2);
            break;
        }
        case 6: {
            const float x = static_cast<float>(static_cast<int32_t>(v) - static_cast<int32_t>(spread / 2)) / 4.0f;
            put(&x, 4);
            break;
        }
        case 7: {
            const double x = static_cast<double>(static_cast<int32_t>(v) - static_cast<int32_t>(spread / 2)) / 3.0;
            put(&x, 8);
            break;
        }
        case 8: {
            const std::string s = std::to_string(v % 97);
            const int32_t n = static_cast<int32_t>(v / 97);
            k.push_back(static_cast<uint8_t>(s.size() + 1 + 4));
            put(s.c_str(), s.size() + 1);
            put(&n, 4);
            break;
        }
        case 9: {
            for (int i = 0; i < 6; ++i) k.push_back(static_cast<uint8_t>((v >> (i * 3)) * 37));
            break;
        }
        case 16:
        case 17: {
            k.push_back(static_cast<uint8_t>(type == 16 ? 16 : 18));
            const uint16_t f1 = static_cast<uint16_t>(v % 7);
            const uint32_t f2 = v / 7 % 5, f3 = v, f4 = v % 3;
            const uint16_t f5 = static_cast<uint16_t>(v % 11);
            put(&f1, 2);
            put(&f2, 4);
            put(&f3, 4);
            put(&f4, 4);
            put(&f5, 2);
            if (type == 17) {
                const int16_t f6 = static_cast<int16_t>(static_cast<int32_t>(v % 9) - 4);
                put(&f6, 2);
            }
            break;
        }
        default: break;
    }
    return k;
}

}  // namespace kxtest
