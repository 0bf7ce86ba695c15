// Reading and damaging the node slots of a closed index file directly, for
// the rebuild tests: the header of every slot, the log chain the header
// names and its records, the entries of one leaf, and writes that zero or
// spoil a slot or the header.  order: 1 little-endian, 2 big-endian (the
// byte order the file was created with).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/recovery.h"
#include "support/testing.h"

namespace kxtest::slots {

constexpr size_t Base = 1024;
constexpr size_t Size = 2048;
constexpr size_t LogHeadAt = 550;

inline uint32_t word(const std::vector<uint8_t>& f, size_t off, int order) {
    return order == 2 ? be32(f, off) : le32(f, off);
}
inline uint16_t half(const std::vector<uint8_t>& f, size_t off, int order) {
    return order == 2 ? static_cast<uint16_t>(f.at(off) << 8 | f.at(off + 1))
                      : static_cast<uint16_t>(f.at(off) | f.at(off + 1) << 8);
}
inline void put_word(std::vector<uint8_t>& f, size_t off, uint32_t v, int order) {
    for (int i = 0; i < 4; ++i)
        f.at(off + static_cast<size_t>(i)) = static_cast<uint8_t>(v >> (order == 2 ? 24 - 8 * i : 8 * i));
}
inline void put_half(std::vector<uint8_t>& f, size_t off, uint16_t v, int order) {
    f.at(off) = static_cast<uint8_t>(order == 2 ? v >> 8 : v);
    f.at(off + 1) = static_cast<uint8_t>(order == 2 ? v : v >> 8);
}

struct Slot {
    uint32_t n = 0;
    uint32_t link0 = 0, next = 0;  // words at 0 and 4
    int16_t kind = 0;              // level; -1 free, -2/-3 log nodes
    int16_t count = 0;
};

inline size_t slot_count(const std::vector<uint8_t>& f) { return f.size() < Base ? 0 : (f.size() - Base) / Size; }

inline Slot slot_at(const std::vector<uint8_t>& f, uint32_t n, int order) {
    const size_t at = Base + Size * n;
    return {n, word(f, at, order), word(f, at + 4, order), static_cast<int16_t>(half(f, at + 12, order)),
            static_cast<int16_t>(half(f, at + 14, order))};
}

inline std::vector<Slot> read_slots(const std::string& path, int order) {
    const auto f = read_file(path);
    std::vector<Slot> out;
    for (uint32_t n = 0; n < slot_count(f); ++n) out.push_back(slot_at(f, n, order));
    return out;
}

// Overwrites slot n with one byte value (0: an empty leaf; 0xA5: a node whose
// count is negative in either order).
inline void fill_slot(const std::string& path, uint32_t n, uint8_t byte) {
    patch_file(path, Base + Size * n, std::vector<uint8_t>(Size, byte));
}
// Keeps the node header of slot n and fills its entry area with 0xA5: a
// leaf whose first entry names root 165.
inline void spoil_entries(const std::string& path, uint32_t n) {
    patch_file(path, Base + Size * n + 18, std::vector<uint8_t>(Size - 18, 0xA5));
}
inline void zero_header(const std::string& path) { patch_file(path, 0, std::vector<uint8_t>(558, 0)); }

// Zeroes every interior node; the number zeroed.
inline int zero_interior(const std::string& path, int order) {
    int zeroed = 0;
    for (const Slot& s : read_slots(path, order))
        if (s.kind >= 1) {
            fill_slot(path, s.n, 0);
            ++zeroed;
        }
    return zeroed;
}

// The log chain the header names, head first (bounded by the slot count).
inline std::vector<uint32_t> log_chain(const std::string& path, int order) {
    const auto f = read_file(path);
    std::vector<uint32_t> chain;
    auto n = static_cast<int32_t>(word(f, LogHeadAt, order));
    while (n > 0 && static_cast<size_t>(n) < slot_count(f) && chain.size() <= slot_count(f)) {
        chain.push_back(static_cast<uint32_t>(n));
        n = static_cast<int32_t>(slot_at(f, static_cast<uint32_t>(n), order).next);
    }
    return chain;
}

struct LogRecord {
    uint32_t serial = 0;
    uint16_t sequence = 0;
    uint8_t type = 0;
    std::vector<uint8_t> body;
};

inline std::vector<LogRecord> node_records(const std::vector<uint8_t>& f, uint32_t n, int order) {
    std::vector<LogRecord> out;
    const size_t at = Base + Size * n;
    const Slot s = slot_at(f, n, order);
    size_t r = at + 18;
    for (int i = 0; i < s.count && r + 12 <= at + Size; ++i) {
        LogRecord x{word(f, r, order), half(f, r + 4, order), f[r + 10], {}};
        x.body.assign(f.begin() + static_cast<std::ptrdiff_t>(r + 12),
                      f.begin() + static_cast<std::ptrdiff_t>(r + 12 + f[r + 11]));
        out.push_back(std::move(x));
        r += 12 + f[r + 11];
    }
    return out;
}

// Every record of the chain the header names, in order.
inline std::vector<LogRecord> log_records(const std::string& path, int order) {
    const auto f = read_file(path);
    std::vector<LogRecord> all;
    for (const uint32_t n : log_chain(path, order)) {
        auto r = node_records(f, n, order);
        all.insert(all.end(), r.begin(), r.end());
    }
    return all;
}

// Appends a record to log node n as translog would (the node must have
// room).
inline void append_record(const std::string& path, uint32_t n, int order, const LogRecord& rec, uint32_t counter) {
    auto f = read_file(path);
    const size_t at = Base + Size * n;
    const Slot s = slot_at(f, n, order);
    const auto free = static_cast<int16_t>(half(f, at + 16, order));
    size_t r = at + Size - static_cast<size_t>(free);
    put_word(f, r, rec.serial, order);
    put_half(f, r + 4, rec.sequence, order);
    put_word(f, r + 6, counter, order);
    f[r + 10] = rec.type;
    f[r + 11] = static_cast<uint8_t>(rec.body.size());
    std::memcpy(&f[r + 12], rec.body.data(), rec.body.size());
    put_half(f, at + 14, static_cast<uint16_t>(s.count + 1), order);
    put_half(f, at + 16, static_cast<uint16_t>(free - 12 - static_cast<int16_t>(rec.body.size())), order);
    write_file(path, f);
}

// The entries of leaf slot n as raw bytes (length byte first), in order.
inline std::vector<std::vector<uint8_t>> leaf_entry_bytes(const std::vector<uint8_t>& f, uint32_t n, int order) {
    std::vector<std::vector<uint8_t>> out;
    const size_t at = Base + Size * n;
    const Slot s = slot_at(f, n, order);
    size_t e = at + 18;
    for (int i = 0; i < s.count && e < at + Size && f[e] != 0; ++i) {
        out.emplace_back(f.begin() + static_cast<std::ptrdiff_t>(e),
                         f.begin() + static_cast<std::ptrdiff_t>(e + f[e] + 1));
        e += f[e] + 1u;
    }
    return out;
}

}  // namespace kxtest::slots
