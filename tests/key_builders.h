// Builders of key bytes for the key and key conversion tests.  Every builder
// gives host-order bytes of exactly the key's length, so that a read past the
// key is caught by the address sanitizer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "kindex.h"

namespace kxtest::keys {

using Bytes = std::vector<uint8_t>;

inline Bytes str(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

// The bytes preceded by a byte holding their count.
inline Bytes with_length_byte(const Bytes& body) {
    Bytes b(body.size() + 1);
    b[0] = static_cast<uint8_t>(body.size());
    std::copy(body.begin(), body.end(), b.begin() + 1);
    return b;
}

inline Bytes counted(const std::string& s) { return with_length_byte(Bytes(s.begin(), s.end())); }

template <typename T>
Bytes raw(T v) {
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

inline Bytes i32(int32_t v) { return raw(v); }
inline Bytes i16(int16_t v) { return raw(v); }
inline Bytes u16(uint16_t v) { return raw(v); }
inline Bytes f32(float v) { return raw(v); }
inline Bytes f64(double v) { return raw(v); }

inline Bytes cat(std::initializer_list<Bytes> parts) {
    size_t total = 0;
    for (const Bytes& p : parts) total += p.size();
    Bytes out(total);
    auto at = out.begin();
    for (const Bytes& p : parts) at = std::copy(p.begin(), p.end(), at);
    return out;
}

// Types 16 and 17: a length byte counting the fields that follow.
inline Bytes fields16(uint16_t f1, uint32_t f2, uint32_t f3, uint32_t f4, uint16_t f5) {
    return with_length_byte(cat({u16(f1), raw(f2), raw(f3), raw(f4), u16(f5)}));
}
inline Bytes fields17(uint16_t f1, uint32_t f2, uint32_t f3, uint32_t f4, uint16_t f5, int16_t f6) {
    return with_length_byte(cat({u16(f1), raw(f2), raw(f3), raw(f4), u16(f5), i16(f6)}));
}

// Compound key: length byte, then the segment values back to back.
inline Bytes compound(std::initializer_list<Bytes> segments) { return with_length_byte(cat(segments)); }

// A segment list; `descending` holds one flag per type.
inline std::vector<KXSEGMENT> segment_list(std::initializer_list<uint8_t> types,
                                           std::initializer_list<bool> descending = {}) {
    std::vector<KXSEGMENT> list;
    auto d = descending.begin();
    for (uint8_t t : types) {
        KXSEGMENT s{};
        s.key_type = t;
        s.descending = (d != descending.end() && *d++) ? 1 : 0;
        list.push_back(s);
    }
    KXSEGMENT end{};
    end.key_type = 31;
    list.push_back(end);
    return list;
}

// A key in a full key buffer, as the engine holds it.
inline Bytes in_buffer(const Bytes& key, uint8_t filler = 0) {
    Bytes b(256, filler);
    std::memcpy(b.data(), key.data(), key.size());
    return b;
}

// Seed of the randomised tests: fixed, so that a failure repeats; the
// environment variable KX_TEST_SEED picks another.
inline uint32_t test_seed() {
    const char* s = std::getenv("KX_TEST_SEED");
    return s != nullptr ? static_cast<uint32_t>(std::strtoul(s, nullptr, 10)) : 20240611u;
}

inline int sign(int64_t v) { return v > 0 ? 1 : (v < 0 ? -1 : 0); }

}  // namespace kxtest::keys
