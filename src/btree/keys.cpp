// Key lengths, copies, comparison, entry order and successor keys; see the
// table at the top of keys.h.
#include "btree/keys.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "records/keyconv.h"

namespace kx {

namespace {

constexpr uint8_t NotAKeyType = 31;
constexpr uint8_t HostOrder = 1;
// A key outside a compound key is not bounded by a length byte.
constexpr int32_t Unbounded = std::numeric_limits<int32_t>::max();
// Value left in the deferred-error field when a comparison meets a non-key type.
constexpr int32_t KeyTypeFault = 1;
// Highest value of a compound key's or counted key's length byte.
constexpr int32_t LongestCount = 255;
// Bytes read from a fields key (types 16 and 17): length byte and fields.
constexpr int32_t Fields16Bytes = 17;
constexpr int32_t Fields17Bytes = 19;
// Widest value read by a comparison; a short segment is padded to this.
constexpr int32_t WidestValue = Fields17Bytes;

// The zero key of every type: an empty string, a zero length byte, zeros.
constexpr uint8_t ZeroKey[KeyBufferBytes] = {};

const uint8_t* bytes_or_zero_key(const void* key) {
    return key != nullptr ? static_cast<const uint8_t*>(key) : ZeroKey;
}

int32_t sign(int64_t v) { return v > 0 ? 1 : (v < 0 ? -1 : 0); }

// The 32-bit wrapping difference a - b.
int32_t wrapping_difference(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

uint8_t fold_case(uint8_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + 32) : c; }

// Bytes a value of the given type occupies when read by a comparison; 0 for
// the string and counted types, which bound themselves.
int32_t bytes_read(uint8_t type) {
    if (type == keytype::Fields16) return Fields16Bytes;
    if (type == keytype::Fields17) return Fields17Bytes;
    return fixed_width(type);
}

int32_t report_bad_type(KXCB* cb, int32_t root) {
    if (cb != nullptr) {
        cb->root = root;
        cb->last_result = err::Fail;
        cb->deferred_error = KeyTypeFault;
    }
    return 0;
}

// strcmp (or its case-blind form), reading at most na / nb bytes of each
// side: a side with no terminator among them ends there.
int32_t compare_strings(const uint8_t* a, int32_t na, const uint8_t* b, int32_t nb,
                        bool case_blind) {
    for (int32_t i = 0;; ++i) {
        uint8_t ca = i < na ? a[i] : 0;
        uint8_t cb = i < nb ? b[i] : 0;
        if (case_blind) {
            ca = fold_case(ca);
            cb = fold_case(cb);
        }
        if (ca != cb) return static_cast<int32_t>(ca) - static_cast<int32_t>(cb);
        if (ca == 0) return 0;
    }
}

// Counted strings: common part by memcmp, then the shorter first.  A count
// that runs past the na / nb bytes available is cut to them.
int32_t compare_counted(const uint8_t* a, int32_t na, const uint8_t* b, int32_t nb) {
    const int32_t la = std::min<int32_t>(a[0], na - 1);
    const int32_t lb = std::min<int32_t>(b[0], nb - 1);
    const int r = std::memcmp(a + 1, b + 1, static_cast<size_t>(std::min(la, lb)));
    if (r != 0) return r;
    return la - lb;
}

int32_t compare_fields(const uint8_t* a, const uint8_t* b, bool with_f6) {
    if (int32_t d = load<uint16_t>(a + 1) - load<uint16_t>(b + 1)) return sign(d);
    for (int off : {3, 7, 11})
        if (int32_t d = wrapping_difference(load<uint32_t>(a + off), load<uint32_t>(b + off)))
            return sign(d);
    if (int32_t d = load<uint16_t>(a + 15) - load<uint16_t>(b + 15)) return sign(d);
    if (with_f6) return sign(load<int16_t>(a + 17) - load<int16_t>(b + 17));
    return 0;
}

// Compares two values of a non-compound type; na / nb are the bytes each
// side may read (Unbounded outside compound keys, at least 1).
int32_t compare_value(KXCB* cb, int32_t root, uint8_t type, const uint8_t* a, int32_t na,
                      const uint8_t* b, int32_t nb) {
    // A fixed-width value cut short by its compound key's length byte is read
    // with zeros in place of the missing bytes.
    uint8_t pad_a[WidestValue];
    uint8_t pad_b[WidestValue];
    if (const int32_t need = bytes_read(type); need > 0) {
        if (na < need) {
            std::memset(pad_a, 0, sizeof pad_a);
            std::memcpy(pad_a, a, static_cast<size_t>(na));
            a = pad_a;
        }
        if (nb < need) {
            std::memset(pad_b, 0, sizeof pad_b);
            std::memcpy(pad_b, b, static_cast<size_t>(nb));
            b = pad_b;
        }
    }
    switch (type) {
    case keytype::String: return compare_strings(a, na, b, nb, false);
    case keytype::StringNoCase: return compare_strings(a, na, b, nb, true);
    case keytype::Counted:
    case keytype::Counted18:
    case keytype::Counted19:
    case keytype::Counted20: return compare_counted(a, na, b, nb);
    case keytype::Int32Difference:
        return wrapping_difference(load<uint32_t>(a), load<uint32_t>(b));
    case keytype::Int16: return load<int16_t>(a) - load<int16_t>(b);
    case keytype::Int32: return sign(wrapping_difference(load<uint32_t>(a), load<uint32_t>(b)));
    case keytype::Float: {
        const float d = load<float>(a) - load<float>(b);
        return d > 0 ? 1 : (d == 0 ? 0 : -1);
    }
    case keytype::Double: {
        const double d = load<double>(a) - load<double>(b);
        return d > 0 ? 1 : (d == 0 ? 0 : -1);
    }
    case keytype::Bytes6: return std::memcmp(a, b, 6);
    case keytype::Uint16: return sign(load<uint16_t>(a) - load<uint16_t>(b));
    case keytype::Fields16: return compare_fields(a, b, false);
    case keytype::Fields17: return compare_fields(a, b, true);
    default: return report_bad_type(cb, root);
    }
}

int32_t compare_compound(KXCB* cb, int32_t root, const uint8_t* a, const uint8_t* b) {
    const KXSEGMENT* segments = root_segments(cb, root);
    if (segments == nullptr) return 0;
    int32_t left_a = a[0];
    int32_t left_b = b[0];
    a += 1;
    b += 1;
    for (int32_t i = 0; i < CompoundSegmentLimit; ++i) {
        const uint8_t type = segments[i].key_type & 31;
        if (type == SegmentListEnd) return 0;
        // A key with nothing left equals every key that goes on from here.
        if (left_a < 1 || left_b < 1) return 0;
        if (type == keytype::Compound || !is_key_type(type)) return report_bad_type(cb, root);
        const int32_t r = compare_value(cb, root, type, a, left_a, b, left_b);
        if (r != 0) return segments[i].descending != 0 ? (r > 0 ? -1 : 1) : r;
        const int32_t length_a = segment_length(type, a, left_a);
        const int32_t length_b = segment_length(type, b, left_b);
        a += length_a;
        b += length_b;
        left_a -= length_a;
        left_b -= length_b;
    }
    return 0;
}

// Bytes of a key to copy before turning it: its length, never more than a
// key buffer holds.
size_t turn_copy_length(uint8_t type, const uint8_t* key) {
    return static_cast<size_t>(std::min(key_length(type, key), KeyBufferBytes));
}

// ---- Successor keys ----------------------------------------------------

// Applies the carry of the fields key types: the last field goes up by one,
// or from its largest value to its smallest with the carry moving left to
// f4, which wraps.
void raise_fields(uint8_t* p, bool with_f6) {
    if (with_f6) {
        const auto f6 = load<int16_t>(p + 17);
        if (f6 != std::numeric_limits<int16_t>::max()) {
            store<int16_t>(p + 17, static_cast<int16_t>(f6 + 1));
            return;
        }
        store<int16_t>(p + 17, std::numeric_limits<int16_t>::min());
    }
    const auto f5 = load<uint16_t>(p + 15);
    if (f5 != std::numeric_limits<uint16_t>::max()) {
        store<uint16_t>(p + 15, static_cast<uint16_t>(f5 + 1));
        return;
    }
    store<uint16_t>(p + 15, 0);
    store<uint32_t>(p + 11, load<uint32_t>(p + 11) + 1);
}

void lower_fields(uint8_t* p, bool with_f6) {
    if (with_f6) {
        const auto f6 = load<int16_t>(p + 17);
        if (f6 != std::numeric_limits<int16_t>::min()) {
            store<int16_t>(p + 17, static_cast<int16_t>(f6 - 1));
            return;
        }
        store<int16_t>(p + 17, std::numeric_limits<int16_t>::max());
    }
    const auto f5 = load<uint16_t>(p + 15);
    if (f5 != 0) {
        store<uint16_t>(p + 15, static_cast<uint16_t>(f5 - 1));
        return;
    }
    store<uint16_t>(p + 15, std::numeric_limits<uint16_t>::max());
    store<uint32_t>(p + 11, load<uint32_t>(p + 11) - 1);
}

// 6 raw bytes as one big-endian number, plus or minus one; the largest
// (smallest) value stays as it is.
void step_bytes6(uint8_t* p, bool up) {
    const uint8_t stop = up ? 0xFF : 0x00;
    int i = 5;
    while (i >= 0 && p[i] == stop) --i;
    if (i < 0) return;
    p[i] = static_cast<uint8_t>(up ? p[i] + 1 : p[i] - 1);
    for (int j = i + 1; j < 6; ++j) p[j] = static_cast<uint8_t>(up ? 0x00 : 0xFF);
}

template <typename T>
void step_integer(uint8_t* p, bool up) {
    const auto v = load<T>(p);
    if (up && v != std::numeric_limits<T>::max()) store<T>(p, static_cast<T>(v + 1));
    if (!up && v != std::numeric_limits<T>::min()) store<T>(p, static_cast<T>(v - 1));
}

// Moves a fixed-width or fields value one step up or down in its own order.
void step_fixed(uint8_t type, uint8_t* p, bool up) {
    switch (type) {
    case keytype::Int32Difference:
    case keytype::Int32: step_integer<int32_t>(p, up); break;
    case keytype::Int16: step_integer<int16_t>(p, up); break;
    case keytype::Uint16: step_integer<uint16_t>(p, up); break;
    case keytype::Float: store<float>(p, load<float>(p) + (up ? 1.0f : -1.0f)); break;
    case keytype::Double: store<double>(p, load<double>(p) + (up ? 1.0 : -1.0)); break;
    case keytype::Bytes6: step_bytes6(p, up); break;
    case keytype::Fields16:
        if (up) raise_fields(p, false);
        else lower_fields(p, false);
        break;
    case keytype::Fields17:
        if (up) raise_fields(p, true);
        else lower_fields(p, true);
        break;
    default: break;
    }
}

// Replaces a value by the smallest value above it.  `covered` bytes from p
// belong to the key; the value may grow by at most `room` bytes.  Returns the
// change of its length.
int32_t raise_value(uint8_t type, uint8_t* p, int32_t covered, int32_t room) {
    if (type == keytype::String || type == keytype::StringNoCase) {
        const auto* end = static_cast<const uint8_t*>(std::memchr(p, 0, static_cast<size_t>(covered)));
        if (end == nullptr || room < 1) return 0;
        const auto n = end - p;
        p[n] = 0x01;
        p[n + 1] = 0;
        return 1;
    }
    if (is_counted_type(type) && type != keytype::Fields16 && type != keytype::Fields17) {
        const int32_t count = p[0];
        if (count + 1 > covered || count == LongestCount || room < 1) return 0;
        p[count + 1] = 0;
        p[0] = static_cast<uint8_t>(count + 1);
        return 1;
    }
    if (covered >= bytes_read(type)) step_fixed(type, p, true);
    return 0;
}

// Replaces a value by the largest value below it, for a descending segment.
// A string or counted value that must end in an unbounded run of 0xFF bytes
// is padded by `room` bytes.  Returns the change of its length.
int32_t lower_value(uint8_t type, uint8_t* p, int32_t covered, int32_t room) {
    room = std::max(room, 0);
    if (type == keytype::String || type == keytype::StringNoCase) {
        const auto* end = static_cast<const uint8_t*>(std::memchr(p, 0, static_cast<size_t>(covered)));
        if (end == nullptr || end == p) return 0;
        const auto n = end - p;
        const bool blind = type == keytype::StringNoCase;
        const uint8_t last = blind ? fold_case(p[n - 1]) : p[n - 1];
        if (last == 0x01) {
            p[n - 1] = 0;
            return -1;
        }
        auto lowered = static_cast<uint8_t>(last - 1);
        // A capital would be read as its small letter; the case-blind value
        // just below '[' is '@'.
        if (blind && lowered >= 'A' && lowered <= 'Z') lowered = 'A' - 1;
        p[n - 1] = lowered;
        std::memset(p + n, 0xFF, static_cast<size_t>(room));
        p[n + room] = 0;
        return room;
    }
    if (is_counted_type(type) && type != keytype::Fields16 && type != keytype::Fields17) {
        const int32_t count = p[0];
        if (count == 0 || count + 1 > covered) return 0;
        if (p[count] == 0) {
            p[0] = static_cast<uint8_t>(count - 1);
            return -1;
        }
        p[count] = static_cast<uint8_t>(p[count] - 1);
        const int32_t pad = std::min(room, LongestCount - count);
        std::memset(p + count + 1, 0xFF, static_cast<size_t>(pad));
        p[0] = static_cast<uint8_t>(count + pad);
        return pad;
    }
    if (covered >= bytes_read(type)) step_fixed(type, p, false);
    return 0;
}

// The successor of a host-order compound key: the last segment its length
// byte covers moves one step in the key's order.
void raise_compound(KXCB* cb, int32_t root, uint8_t* key) {
    const KXSEGMENT* segments = root_segments(cb, root);
    if (segments == nullptr) return;
    int32_t left = key[0];
    uint8_t* p = key + 1;
    uint8_t* last = nullptr;
    int32_t last_left = 0;
    uint8_t last_type = NotAKeyType;
    bool last_descending = false;
    for (int32_t i = 0; i < SuccessorSegmentLimit && left >= 1; ++i) {
        const uint8_t type = segments[i].key_type & 31;
        if (type == SegmentListEnd || type == keytype::Compound || !is_key_type(type)) break;
        last = p;
        last_left = left;
        last_type = type;
        last_descending = segments[i].descending != 0;
        const int32_t length = segment_length(type, p, left);
        p += length;
        left -= length;
    }
    if (last == nullptr) return;
    const int32_t count = key[0];
    const int32_t growth =
        last_descending ? lower_value(last_type, last, last_left, LongestStoredKey - 1 - count)
                        : raise_value(last_type, last, last_left, LongestCount - count);
    key[0] = static_cast<uint8_t>(count + growth);
}

}  // namespace


const KXSEGMENT* root_segments(const KXCB* cb, int32_t root) {
    if (cb == nullptr || root < 0 ||
        root >= static_cast<int32_t>(sizeof cb->segment_lists / sizeof cb->segment_lists[0]))
        return nullptr;
    return cb->segment_lists[root];
}

int32_t key_length(uint8_t key_type, const void* key) {
    if (key == nullptr) return 0;
    const auto* p = static_cast<const uint8_t*>(key);
    const uint8_t type = key_type & 31;
    if (type == keytype::String || type == keytype::StringNoCase)
        return static_cast<int32_t>(std::strlen(static_cast<const char*>(key))) + 1;
    if (is_counted_type(type)) return p[0] + 1;
    return fixed_width(type);
}

int32_t segment_length(uint8_t key_type, const uint8_t* value, int32_t covered) {
    const uint8_t type = key_type & 31;
    if (type == keytype::String || type == keytype::StringNoCase) {
        const int32_t n = std::max(covered, 0);
        const auto* end = static_cast<const uint8_t*>(std::memchr(value, 0, static_cast<size_t>(n)));
        return end != nullptr ? static_cast<int32_t>(end - value) + 1 : n;
    }
    if (type == keytype::Compound) return 0;
    if (is_counted_type(type)) return value[0] + 1;
    return fixed_width(type);
}

int32_t root_key_compare(KXCB* cb, int32_t root, const uint8_t* key_a, const uint8_t* key_b,
                         bool keys_in_file_order) {
    const uint8_t type = root_key_type(cb, root);
    if (keys_in_file_order && cb != nullptr && order_flag(cb) != HostOrder &&
        key_type_turns(type)) {
        uint8_t host_a[KeyBufferBytes];
        uint8_t host_b[KeyBufferBytes];
        const uint8_t* a = bytes_or_zero_key(key_a);
        const uint8_t* b = bytes_or_zero_key(key_b);
        std::memcpy(host_a, a, turn_copy_length(type, a));
        std::memcpy(host_b, b, turn_copy_length(type, b));
        convkey(cb, root, host_a, type, order_flag(cb), HostOrder);
        convkey(cb, root, host_b, type, order_flag(cb), HostOrder);
        return cikeycmp(cb, root, type, host_a, host_b);
    }
    return cikeycmp(cb, root, type, key_a, key_b);
}

int32_t entry_compare(KXCB* cb, uint8_t root_a, const uint8_t* key_a, uint32_t rec_a,
                      uint8_t piece_a, uint8_t root_b, const uint8_t* key_b, uint32_t rec_b,
                      uint8_t piece_b, bool keys_in_file_order) {
    if (root_a != root_b) return root_a < root_b ? -1 : 1;
    if (const int32_t r = root_key_compare(cb, root_a, key_a, key_b, keys_in_file_order))
        return r;
    if (const int32_t d = wrapping_difference(rec_a, rec_b)) return sign(d);
    return sign(static_cast<int32_t>(piece_a & 0x7F) - static_cast<int32_t>(piece_b & 0x7F));
}

void successor_key(KXCB* cb, int32_t root, uint8_t key_type, uint8_t* key_in_file_order) {
    uint8_t* key = key_in_file_order;
    const uint8_t type = key_type & 31;
    if (key == nullptr || !is_key_type(type)) return;
    const uint8_t flag = cb != nullptr ? order_flag(cb) : HostOrder;
    convkey(cb, root, key, type, flag, HostOrder);
    if (type == keytype::Compound) {
        raise_compound(cb, root, key);
    } else if (type == keytype::String || type == keytype::StringNoCase) {
        const auto* end = std::memchr(key, 0, KeyBufferBytes);
        if (end != nullptr) {
            const auto used = static_cast<const uint8_t*>(end) - key + 1;
            raise_value(type, key, KeyBufferBytes, KeyBufferBytes - static_cast<int32_t>(used));
        }
    } else {
        raise_value(type, key, KeyBufferBytes, KeyBufferBytes - key_length(type, key));
    }
    convkey(cb, root, key, type, HostOrder, flag);
}

}  // namespace kx

// ---- Exported calls ----------------------------------------------------

extern "C" {

int32_t cikeylen(KXCB* cb, int32_t root, const void* key) {
    return kx::key_length(kx::root_key_type(cb, root), key);
}

void cikeycpy(KXCB* cb, int32_t root, void* dst, const void* src) {
    const uint8_t type = kx::root_key_type(cb, root);
    if (dst == nullptr || !kx::is_key_type(type)) return;
    if (src == nullptr) {
        const int32_t width = kx::fixed_width(type);
        std::memset(dst, 0, static_cast<size_t>(width > 0 ? width : 1));
        return;
    }
    std::memmove(dst, src, static_cast<size_t>(kx::key_length(type, src)));
}

int32_t cikeycmp(KXCB* cb, int32_t root, int32_t key_type, const void* first,
                 const void* second) {
    const auto type = static_cast<uint8_t>(key_type & 31);
    const uint8_t* a = kx::bytes_or_zero_key(first);
    const uint8_t* b = kx::bytes_or_zero_key(second);
    if (type == kx::keytype::Compound) return kx::compare_compound(cb, root, a, b);
    return kx::compare_value(cb, root, type, a, kx::Unbounded, b, kx::Unbounded);
}

}  // extern "C"
