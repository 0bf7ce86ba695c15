// Builders of data lists, segment lists and stored records for the record
// tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "kindex.h"
#include "key_builders.h"

namespace kxtest::records {

using kxtest::keys::Bytes;

inline KXDLIST entry(char type, uint8_t key_type, char dups, int16_t length, uint8_t root,
                     void* var) {
    KXDLIST e;
    std::memset(&e, 0, sizeof e);
    e.type = type;
    e.key_type = key_type;
    e.dups = dups;
    e.length = length;
    e.root = root;
    e.var = var;
    return e;
}

// A field with no key.
inline KXDLIST plain(char type, void* var, int16_t length = 0) {
    return entry(type, 'N', 'N', length, 0, var);
}

// A field keyed in `root` with key type byte `key_type`.
inline KXDLIST keyed(char type, uint8_t root, uint8_t key_type, void* var, int16_t length = 0,
                     char dups = 'D') {
    return entry(type, key_type, dups, length, root, var);
}

inline KXDLIST end_entry() { return entry('E', 0, 0, 0, 0, nullptr); }

// A list ended by an 'E' entry.
inline std::vector<KXDLIST> dlist(std::vector<KXDLIST> fields) {
    fields.push_back(end_entry());
    return fields;
}

inline KXSEGMENT seg(uint8_t type, int32_t field_index, uint8_t max_length = 0) {
    KXSEGMENT s;
    std::memset(&s, 0, sizeof s);
    s.key_type = type;
    s.field_index = field_index;
    s.max_length = max_length;
    return s;
}

// A segment list ended by a descriptor of type 31.
inline std::vector<KXSEGMENT> seglist(std::vector<KXSEGMENT> segments) {
    segments.push_back(seg(31, 0));
    return segments;
}

// A 16-bit or 32-bit number in a file's byte order (flag 1: host order).
inline Bytes file16(uint16_t v, uint8_t flag) {
    Bytes b = kxtest::keys::u16(v);
    if (flag != 1) std::swap(b[0], b[1]);
    return b;
}

inline Bytes reversed_if(Bytes b, uint8_t flag) {
    if (flag != 1) std::reverse(b.begin(), b.end());
    return b;
}

// The record checksum of the stored format: h = (h + b) * 2 modulo 65536
// over bytes 4 to the end.
inline uint16_t reference_record_sum(const Bytes& rec) {
    uint32_t h = 0;
    for (size_t i = 4; i < rec.size(); ++i) h = ((h + rec[i]) * 2) & 0xFFFF;
    return static_cast<uint16_t>(h);
}

// Rewrites the record checksum after a test changed the record's bytes.
inline void reseal(Bytes& rec, uint8_t flag) {
    const Bytes sum = file16(reference_record_sum(rec), flag);
    rec[2] = sum[0];
    rec[3] = sum[1];
}

}  // namespace kxtest::records
