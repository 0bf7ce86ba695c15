// Byte order of stored numbers.
//
// An index file keeps its integers and floats in the byte order chosen when
// it was created.  The byte-order flag is the first byte of the header's
// byte-order word (the integer 1 written in the file's order): 1 means the
// file is in host order and nothing is converted, any other value means every
// stored value is byte-reversed.  Reversal is its own inverse, so the same
// call converts in both directions.
//
// Every stored number goes through the helpers here.  Packed bytes are read
// and written with memcpy (load/store), never by casting a pointer into the
// buffer, so unaligned fields are always safe.
//
// Node header (offsets 0..17): u32 leftmost child, u32 right link, u32 left
// link, i16 level, i16 entry count, i16 free bytes.  nodefrom/nodeto convert
// exactly these six fields.  Header (558 bytes): the words at 0, 4, 12..72,
// 350..549, 550 and 554 are converted; the byte-order word at 8, the reserved
// words at 76..91 and the byte tables are not.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace kx {

template <typename T>
inline T load(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
inline void store(void* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

inline uint16_t bswap16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }
inline uint32_t bswap32(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t bswap64(uint64_t v) { return __builtin_bswap64(v); }

// Returns v unchanged when flag is 1, byte-reversed otherwise.
inline uint32_t swap16(uint16_t v, uint8_t flag) { return flag == 1 ? v : bswap16(v); }
inline uint32_t swap32(uint32_t v, uint8_t flag) { return flag == 1 ? v : bswap32(v); }
inline float swapflt(float v, uint8_t flag) {
    return flag == 1 ? v : std::bit_cast<float>(bswap32(std::bit_cast<uint32_t>(v)));
}
inline double swapdbl(double v, uint8_t flag) {
    return flag == 1 ? v : std::bit_cast<double>(bswap64(std::bit_cast<uint64_t>(v)));
}

// Stored-order accessors: read or write a value at p converting by flag.
inline uint16_t get16(const void* p, uint8_t flag) {
    return static_cast<uint16_t>(swap16(load<uint16_t>(p), flag));
}
inline uint32_t get32(const void* p, uint8_t flag) { return swap32(load<uint32_t>(p), flag); }
inline void put16(void* p, uint16_t v, uint8_t flag) {
    store<uint16_t>(p, static_cast<uint16_t>(swap16(v, flag)));
}
inline void put32(void* p, uint32_t v, uint8_t flag) { store<uint32_t>(p, swap32(v, flag)); }

// Reverses a stored field in place when flag is not 1.
inline void flip16(void* p, uint8_t flag) { put16(p, load<uint16_t>(p), flag); }
inline void flip32(void* p, uint8_t flag) { put32(p, load<uint32_t>(p), flag); }
inline void flip64(void* p, uint8_t flag) {
    if (flag != 1) store<uint64_t>(p, bswap64(load<uint64_t>(p)));
}

// Node header conversion (six fields at 0..17); entries are left alone.
void nodefrom(uint8_t* node, uint8_t flag);
void nodeto(uint8_t* node, uint8_t flag);
// Header conversion of a 558-byte header image.
void hdrfrom(uint8_t* header, uint8_t flag);
void hdrto(uint8_t* header, uint8_t flag);

}  // namespace kx
