#include "records/keyconv.h"

#include "btree/keys.h"
#include "frame/byteorder.h"

namespace kx {

namespace {

// The flag handed to the byteorder flips when a value must be reversed.
constexpr uint8_t Reverse = 0;
constexpr uint8_t HostOrder = 1;

// Turns one value of a non-compound key type in place.
void turn_value(uint8_t type, uint8_t* p) {
    switch (type) {
    case keytype::Int16:
    case keytype::Uint16: flip16(p, Reverse); break;
    case keytype::Int32Difference:
    case keytype::Int32:
    case keytype::Float: flip32(p, Reverse); break;
    case keytype::Double: flip64(p, Reverse); break;
    default: break;
    }
}

// Turns the segments of a compound key that its length byte covers.
void turn_compound(const KXSEGMENT* segments, uint8_t* key) {
    if (segments == nullptr) return;
    int32_t covered = key[0];
    uint8_t* p = key + 1;
    for (int32_t i = 0; i < CompoundSegmentLimit && covered >= 1; ++i) {
        const uint8_t type = segments[i].key_type & 31;
        if (type == SegmentListEnd || type == keytype::Compound || !is_key_type(type)) return;
        const int32_t width = fixed_width(type);
        if (width > covered) return;
        if (width > 0) turn_value(type, p);
        const int32_t length = segment_length(type, p, covered);
        p += length;
        covered -= length;
    }
}

}  // namespace

void convkey(KXCB* cb, int32_t root, void* key, uint8_t key_type, uint8_t from, uint8_t to) {
    if (key == nullptr || root < 1 || root > KX_MAX_ROOT) return;
    if ((from == HostOrder) == (to == HostOrder)) return;
    const uint8_t type = key_type & 31;
    if (!key_type_turns(type)) return;
    auto* p = static_cast<uint8_t*>(key);
    if (type == keytype::Compound)
        turn_compound(root_segments(cb, root), p);
    else
        turn_value(type, p);
}

void convkey(KXCB* cb, int32_t root, void* key, uint8_t key_type, const uint8_t* from,
             const uint8_t* to) {
    convkey(cb, root, key, key_type, from ? from[0] : HostOrder, to ? to[0] : HostOrder);
}

void convparm(KXCB* cb, uint8_t to) {
    const auto from = static_cast<uint8_t>(cb->key_byte_order);
    convkey(cb, cb->root, cb->key, root_key_type(cb, cb->root), from, to);
    cb->key_byte_order = to;
}

void convparm(KXCB* cb, const uint8_t* to) { convparm(cb, to ? to[0] : HostOrder); }

}  // namespace kx
