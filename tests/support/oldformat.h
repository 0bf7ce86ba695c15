// A writer of index files in the older format that cconvert reads, for the
// conversion tests.  Numbers are written in host order, as the machine that
// wrote such a file would have.
//
//   file:   28-byte header (next record number at 16), zero bytes up to
//           1024, then 1024-byte node slots
//   node:   i16 level at 0, i16 entry count at 2, entries from 12
//   entry:  u8 L, u8 root, key bytes, 0, u32 record value, u8 piece byte,
//           payload (L = key length + payload length + 7)
//
// Slots are built as byte vectors, so a test can damage any byte of one
// before the file is put together.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kxtest::oldformat {

constexpr size_t SlotSize = 1024;
constexpr size_t EntryStart = 12;

struct Entry {
    uint8_t root;
    std::string key;
    uint32_t record;
    uint8_t piece;
    std::string payload;
};

// The bytes of one entry as a leaf stores it.
inline std::vector<uint8_t> entry_bytes(const Entry& e) {
    std::vector<uint8_t> b;
    b.push_back(static_cast<uint8_t>(e.key.size() + e.payload.size() + 7));
    b.push_back(e.root);
    b.insert(b.end(), e.key.begin(), e.key.end());
    b.push_back(0);
    uint8_t rec[4];
    std::memcpy(rec, &e.record, 4);
    b.insert(b.end(), rec, rec + 4);
    b.push_back(e.piece);
    b.insert(b.end(), e.payload.begin(), e.payload.end());
    return b;
}

// A node slot of the given level holding the entries' bytes; the count is
// the number of entries unless one is given.
inline std::vector<uint8_t> node(int16_t level, const std::vector<Entry>& entries, int count = -1) {
    std::vector<uint8_t> s(SlotSize, 0);
    const auto n = static_cast<int16_t>(count < 0 ? static_cast<int>(entries.size()) : count);
    std::memcpy(s.data(), &level, 2);
    std::memcpy(s.data() + 2, &n, 2);
    // Bytes 4..11 hold values the conversion does not read.
    for (size_t i = 4; i < EntryStart; ++i) s[i] = static_cast<uint8_t>(0xA0 + i);
    size_t at = EntryStart;
    for (const Entry& e : entries) {
        const auto bytes = entry_bytes(e);
        if (at + bytes.size() > SlotSize) break;
        std::memcpy(s.data() + at, bytes.data(), bytes.size());
        at += bytes.size();
    }
    return s;
}

inline std::vector<uint8_t> leaf(const std::vector<Entry>& entries) { return node(0, entries); }

// How many of the entries fit in one slot from the first.
inline size_t fitting(const std::vector<Entry>& entries, size_t first) {
    size_t at = EntryStart, n = 0;
    for (size_t i = first; i < entries.size() && n < 150; ++i, ++n) {
        const size_t size = entry_bytes(entries[i]).size();
        if (at + size > SlotSize) break;
        at += size;
    }
    return n;
}

// The whole file: the header with the next record number (its other fields
// filled with values the conversion ignores), then the slots.
inline std::vector<uint8_t> file(uint32_t next_record, const std::vector<std::vector<uint8_t>>& slots) {
    std::vector<uint8_t> f(1024, 0);
    for (size_t i = 0; i < 16; ++i) f[i] = static_cast<uint8_t>(0x11 * (i % 7) + 1);
    std::memcpy(f.data() + 16, &next_record, 4);
    for (size_t i = 20; i < 28; ++i) f[i] = static_cast<uint8_t>(0x5A ^ i);
    for (const auto& s : slots) f.insert(f.end(), s.begin(), s.end());
    return f;
}

}  // namespace kxtest::oldformat
