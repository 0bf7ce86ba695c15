// Data lists, stored records and record keys; see the layouts and the list
// of guarded faults at the top of record.h.
#include "records/record.h"

#include <algorithm>
#include <cstring>

#include "btree/keys.h"
#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "records/keyconv.h"

namespace kx {

namespace {

constexpr uint8_t HostOrder = 1;
constexpr uint16_t EndMark = 0xFFFF;
constexpr int32_t HighestRoot = 45;
constexpr int32_t CountBytes = 2;
constexpr int32_t IndexBytes = 2;
// What a null variable reads as.
constexpr uint8_t Zeros[8] = {};

// A data list entry copied out of the caller's packed memory.
struct Field {
    char type;
    uint8_t key_type;
    char dups;
    int16_t length;
    uint8_t root;
    uint8_t* var;

    bool keyed() const { return key_type != NoKey; }
};

Field field_at(const KXDLIST* list, int32_t i) {
    const KXDLIST& e = list[i];
    return {e.type, e.key_type, e.dups, e.length, e.root, static_cast<uint8_t*>(e.var)};
}

bool value_is_zero(const Field& f) {
    if (f.var == nullptr) return true;
    switch (f.type) {
    case 'D': return load<double>(f.var) == 0.0;
    case 'F': return load<float>(f.var) == 0.0f;
    case 'L': return load<uint32_t>(f.var) == 0;
    case 'H':
    case 'I':
    case 'U': return load<uint16_t>(f.var) == 0;
    case 'M': return std::memcmp(f.var, Zeros, 6) == 0;
    default: return true;
    }
}

// Turns a fixed-width value between host and file order ('M' never turns).
void turn_value(uint8_t* p, char type, uint8_t flag) {
    switch (fixed_field_width(type)) {
    case 2: flip16(p, flag); break;
    case 4: flip32(p, flag); break;
    case 8: flip64(p, flag); break;
    default: break;
    }
}

// Characters of an 'S' variable, scanned only within its entry's length;
// -1 when no zero lies within that length (a length of 0 or less included).
int32_t variable_string_length(const Field& f) {
    if (f.var == nullptr) return 0;
    if (f.length <= 0) return -1;
    const void* zero = std::memchr(f.var, 0, static_cast<size_t>(f.length));
    return zero != nullptr ? static_cast<int32_t>(static_cast<const uint8_t*>(zero) - f.var) : -1;
}

// A field's value as its variable gives it, in host order: whether the
// stored record leaves it out, and its bytes ('B' data, string characters,
// fixed-width value).  'X' and unknown letters have no bytes.
struct VariableValue {
    bool left_out = true;
    const uint8_t* data = Zeros;
    int32_t size = 0;
};

int32_t variable_value(const Field& f, VariableValue& v) {
    switch (f.type) {
    case 'B':
        v.size = (f.var != nullptr && f.length > 0) ? f.length : 0;
        v.data = f.var;
        v.left_out = v.size == 0 && !f.keyed();
        return err::Ok;
    case 'S': {
        const int32_t n = variable_string_length(f);
        if (n < 0) return err::StringLength;
        v.size = n;
        v.data = f.var != nullptr ? f.var : Zeros;
        v.left_out = n == 0 && !f.keyed();
        return err::Ok;
    }
    default:
        v.size = fixed_field_width(f.type);
        v.data = f.var != nullptr ? f.var : Zeros;
        v.left_out = (v.size == 0 || value_is_zero(f)) && !f.keyed();
        return err::Ok;
    }
}

// Bytes of a field's stored value after its index.
int32_t stored_value_bytes(char type, int32_t size) {
    if (type == 'B') return CountBytes + size;
    if (type == 'S') return size + 1;
    return size;
}

bool key_type_matches_root(const KXCB* cb, const Field& f) {
    if (f.key_type == NoKey || f.key_type == static_cast<uint8_t>(EndOfList)) return true;
    // A root beyond the table cannot be compared; the root test reports it.
    if (f.root >= sizeof cb->root_types) return true;
    const uint8_t table = cb->root_types[f.root];
    return f.key_type == table || (f.key_type == StringKey && table == 0);
}

// Tests 1..3 of both validations.
int32_t check_type_key_dups(const KXCB* cb, const Field& f) {
    if (!is_field_type(f.type)) return err::FieldType;
    if (!key_type_matches_root(cb, f)) return err::KeyType;
    if (f.dups != 'D' && f.dups != 'U' && f.dups != 'N') return err::DupByte;
    return err::Ok;
}

int32_t check_length(const Field& f) {
    const bool keyed = f.key_type != NoKey && f.key_type != static_cast<uint8_t>(EndOfList);
    if (f.length < 0 || f.length > LongestFieldLength || (keyed && f.length > LongestKeyedLength))
        return err::Length;
    if (f.type == 'S' && variable_string_length(f) < 0) return err::StringLength;
    return err::Ok;
}

// ---- Compound keys ----------------------------------------------------

// Whether a field of this type can give a segment (or a key) of this type.
bool field_gives_key_type(uint8_t key_type, char field_type) {
    if (key_type == keytype::String || key_type == keytype::StringNoCase) return field_type == 'S';
    if (key_type == keytype::Compound) return field_type == 'X';
    if (is_counted_type(key_type)) return field_type == 'B';
    const int32_t width = fixed_width(key_type);
    return width > 0 && fixed_field_width(field_type) == width;
}

// The value a segment takes, as the stored record holds it.
struct SegmentSource {
    bool stored = false;  // false: the segment takes its empty form
    const uint8_t* data = Zeros;
    int32_t size = 0;
};

// Builds a compound key of the root's segment list into key (KeyOutputBytes
// bytes).  source(field index, SegmentSource&) delivers each segment's value
// and returns 0 or an error code.
template <typename Source>
int32_t build_compound(const KXCB* cb, uint8_t root, const KXDLIST* list, int32_t field_count,
                       Source source, uint8_t* key) {
    const KXSEGMENT* segments = root_segments(cb, root);
    int32_t n = 0;
    for (int32_t i = 0; segments != nullptr && i < CompoundSegmentLimit; ++i) {
        const KXSEGMENT& s = segments[i];
        const uint8_t type = s.key_type;
        if (type == SegmentListEnd) break;
        if (type == keytype::Compound || !is_key_type(type)) return err::SegmentList;
        const int32_t field_index = s.field_index;
        if (field_index < 0 || field_index >= field_count) return err::SegmentList;
        if (!field_gives_key_type(type, list[field_index].type)) return err::SegmentList;
        const int32_t most = s.max_length == 0 ? LongestKeyedLength : s.max_length;
        SegmentSource src;
        if (const int32_t rc = source(field_index, src); rc != err::Ok) return rc;

        const int32_t width = fixed_width(type);
        const int32_t taken = width > 0 ? width : (src.stored ? std::min(src.size, most) : 0);
        const int32_t bytes = width > 0 ? width : taken + 1;
        if (n + bytes >= KeyBodyLimit) return err::StringLength;
        uint8_t* out = key + 1 + n;
        if (width > 0) {
            std::memcpy(out, src.stored ? src.data : Zeros, static_cast<size_t>(width));
        } else if (type == keytype::String || type == keytype::StringNoCase) {
            if (taken > 0) std::memcpy(out, src.data, static_cast<size_t>(taken));
            out[taken] = 0;
        } else {
            out[0] = static_cast<uint8_t>(taken);
            if (taken > 0) std::memcpy(out + 1, src.data, static_cast<size_t>(taken));
        }
        n += bytes;
    }
    key[0] = static_cast<uint8_t>(n);
    return err::Ok;
}

// The key of one field built from the caller's variables, host order:
// its length, or a negative code.
int32_t variable_key(const KXCB* cb, const KXDLIST* list, int32_t field_count, int32_t index,
                     uint8_t* key) {
    const Field f = field_at(list, index);
    if (f.type == 'X') {
        auto from_variable = [&](int32_t field_index, SegmentSource& src) {
            VariableValue v;
            if (const int32_t rc = variable_value(field_at(list, field_index), v); rc != err::Ok)
                return rc;
            src.stored = !v.left_out;
            src.data = v.data;
            src.size = v.size;
            return err::Ok;
        };
        const int32_t rc = build_compound(cb, f.root, list, field_count, from_variable, key);
        return rc != err::Ok ? rc : key[0] + 1;
    }
    if (f.type == EndOfList || !is_field_type(f.type)) return err::DlistEnd;
    VariableValue v;
    if (const int32_t rc = variable_value(f, v); rc != err::Ok) return rc;
    if (f.type == 'S' || f.type == 'B') {
        if (v.size >= KeyBodyLimit) return err::StringLength;
        uint8_t* body = key;
        if (f.type == 'B') *body++ = static_cast<uint8_t>(v.size);
        if (v.size > 0) std::memcpy(body, v.data, static_cast<size_t>(v.size));
        if (f.type == 'S') body[v.size] = 0;
        return v.size + 1;
    }
    std::memcpy(key, v.data, static_cast<size_t>(v.size));
    return v.size;
}

void clear_variables(const KXDLIST* list, int32_t field_count) {
    for (int32_t i = 0; i < field_count; ++i) {
        const Field f = field_at(list, i);
        if (f.var == nullptr) continue;
        if (f.type == 'S') {
            if (f.length >= 1) f.var[0] = 0;
        } else if (const int32_t width = fixed_field_width(f.type); width > 0) {
            std::memset(f.var, 0, static_cast<size_t>(width));
        }
    }
}

}  // namespace

int32_t fixed_field_width(char type) {
    switch (type) {
    case 'D': return 8;
    case 'F':
    case 'L': return 4;
    case 'H':
    case 'I':
    case 'U': return 2;
    case 'M': return 6;
    default: return 0;
    }
}

bool is_field_type(char type) {
    switch (type) {
    case 'B':
    case 'D':
    case 'F':
    case 'H':
    case 'I':
    case 'L':
    case 'M':
    case 'S':
    case 'U':
    case 'X':
    case 'E': return true;
    default: return false;
    }
}

int32_t list_field_count(const KXDLIST* list) {
    if (list == nullptr) return -1;
    for (int32_t i = 0; i < ListEntryLimit; ++i)
        if (list[i].type == EndOfList) return i;
    return -1;
}

uint16_t record_checksum(const uint8_t* bytes, int32_t count) {
    // Every step doubles the sum modulo 2^16, so a byte's share is shifted
    // out sixteen steps later: only the last sixteen bytes can change the
    // result, and the walk starts there.
    uint32_t h = 0;
    for (int32_t i = count > 16 ? count - 16 : 0; i < count; ++i) h = ((h + bytes[i]) * 2) & 0xFFFF;
    return static_cast<uint16_t>(h);
}

// ---- Validation -------------------------------------------------------

int32_t dlcheck(KXCB* cb, const KXDLIST* list) {
    if (cb == nullptr || list == nullptr) return err::Arg;
    for (int32_t i = 0; i < ListEntryLimit; ++i) {
        const Field f = field_at(list, i);
        if (f.type == EndOfList) return err::Ok;
        if (const int32_t rc = check_type_key_dups(cb, f); rc != err::Ok) return rc;
        if (f.root > HighestRoot) return err::RootNumber;
    }
    return err::FieldType;
}

int32_t dlcheckw(KXCB* cb, const KXDLIST* list) {
    if (cb == nullptr || list == nullptr) return err::Arg;
    for (int32_t i = 0; i < ListEntryLimit; ++i) {
        const Field f = field_at(list, i);
        if (f.type == EndOfList) return err::Ok;
        if (const int32_t rc = check_type_key_dups(cb, f); rc != err::Ok) return rc;
        if (const int32_t rc = check_length(f); rc != err::Ok) return rc;
        if (f.root > HighestRoot) return err::RootNumber;
    }
    return err::FieldType;
}

// ---- Stored records ---------------------------------------------------

int32_t packrec(KXCB* cb, uint8_t* out, const KXDLIST* list, uint8_t tag, int32_t size) {
    if (cb == nullptr || list == nullptr) return err::Arg;
    const int32_t field_count = list_field_count(list);
    if (field_count < 0) return err::FieldType;
    if (out == nullptr || size < EmptyRecordBytes) return err::Fail;
    const uint8_t flag = order_flag(cb);

    int32_t pos = RecordHeaderBytes;
    for (int32_t i = 0; i < field_count; ++i) {
        const Field f = field_at(list, i);
        VariableValue v;
        if (const int32_t rc = variable_value(f, v); rc != err::Ok) return rc;
        if (v.left_out) continue;
        const int32_t value_bytes = stored_value_bytes(f.type, v.size);
        if (size - pos < IndexBytes + value_bytes + EndMarkBytes) return err::Fail;
        put16(out + pos, static_cast<uint16_t>(i), flag);
        uint8_t* value = out + pos + IndexBytes;
        if (f.type == 'B') {
            put16(value, static_cast<uint16_t>(v.size), flag);
            if (v.size > 0) std::memcpy(value + CountBytes, v.data, static_cast<size_t>(v.size));
        } else if (f.type == 'S') {
            if (v.size > 0) std::memcpy(value, v.data, static_cast<size_t>(v.size));
            value[v.size] = 0;
        } else if (v.size > 0) {
            std::memcpy(value, v.data, static_cast<size_t>(v.size));
            turn_value(value, f.type, flag);
        }
        pos += IndexBytes + value_bytes;
    }
    put16(out + pos, EndMark, flag);
    pos += EndMarkBytes;
    put16(out, static_cast<uint16_t>(checkdlist(list)), flag);
    out[4] = tag;
    put16(out + 2, record_checksum(out + 4, pos - 4), flag);
    return pos;
}

StoredFieldWalk::StoredFieldWalk(const uint8_t* rec, int32_t length, const KXDLIST* list,
                                 int32_t field_count, uint8_t order_flag)
    : rec_(rec), length_(length), list_(list), field_count_(field_count), flag_(order_flag) {}

int32_t StoredFieldWalk::next(StoredField& field) {
    if (rec_ == nullptr || length_ - pos_ < IndexBytes) return err::RecordSum;
    const auto index = static_cast<int16_t>(get16(rec_ + pos_, flag_));
    pos_ += IndexBytes;
    if (index == -1) return 0;
    if (index < 0 || index >= field_count_ || index <= previous_) return err::DlistSum;
    previous_ = index;
    const char type = list_[index].type;
    const int32_t left = length_ - pos_;
    field.index = index;
    if (type == 'B') {
        if (left < CountBytes) return err::RecordSum;
        const int32_t count = get16(rec_ + pos_, flag_);
        if (count > LongestStoredCount || count > left - CountBytes) return err::RecordSum;
        field.data_offset = pos_ + CountBytes;
        field.data_size = count;
        pos_ += CountBytes + count;
        return 1;
    }
    if (type == 'S') {
        const void* zero = std::memchr(rec_ + pos_, 0, static_cast<size_t>(left));
        if (zero == nullptr) return err::RecordSum;
        const auto n = static_cast<int32_t>(static_cast<const uint8_t*>(zero) - (rec_ + pos_));
        field.data_offset = pos_;
        field.data_size = n;
        pos_ += n + 1;
        return 1;
    }
    const int32_t width = fixed_field_width(type);
    if (width > left) return err::RecordSum;
    field.data_offset = pos_;
    field.data_size = width;
    pos_ += width;
    return 1;
}

int32_t find_stored_field(const uint8_t* rec, int32_t length, const KXDLIST* list,
                          int32_t field_count, uint8_t order_flag, int32_t index,
                          StoredField& found) {
    StoredFieldWalk walk(rec, length, list, field_count, order_flag);
    for (;;) {
        const int32_t rc = walk.next(found);
        if (rc <= 0) return rc;
        if (found.index == index) return 1;
        // Fields are stored in increasing index order.
        if (found.index > index) return 0;
    }
}

int32_t readrec(const uint8_t* rec, KXDLIST* list, KXCB* cb, int32_t length) {
    if (cb == nullptr || list == nullptr) return err::Arg;
    if (rec == nullptr || length < EmptyRecordBytes) return err::RecordSum;
    const uint8_t flag = order_flag(cb);
    const uint16_t stored_sum = get16(rec + 2, flag);
    if ((stored_sum & 0xFF) != (record_checksum(rec + 4, length - 4) & 0xFF))
        return err::RecordSum;
    const int32_t field_count = list_field_count(list);
    if (field_count < 0) return err::FieldType;
    if (cb->check_dlist != 0 &&
        static_cast<int16_t>(get16(rec, flag)) != static_cast<int16_t>(checkdlist(list)))
        return err::DlistSum;

    clear_variables(list, field_count);
    cb->record_tag = rec[4];

    bool cut = false;
    StoredFieldWalk walk(rec, length, list, field_count, flag);
    StoredField stored;
    for (;;) {
        const int32_t rc = walk.next(stored);
        if (rc < 0) return rc;
        if (rc == 0) break;
        const Field f = field_at(list, stored.index);
        const uint8_t* data = rec + stored.data_offset;
        if (f.type == 'B') {
            const int32_t room = f.var != nullptr ? std::max<int32_t>(f.length, 0) : 0;
            const int32_t taken = std::min(room, stored.data_size);
            if (taken > 0) std::memcpy(f.var, data, static_cast<size_t>(taken));
            list[stored.index].length = static_cast<int16_t>(stored.data_size);
            if (stored.data_size > room) cut = true;
        } else if (f.var == nullptr) {
            continue;
        } else if (f.type == 'S') {
            if (f.length < 1) continue;
            const int32_t taken = std::min<int32_t>(stored.data_size, f.length - 1);
            if (taken > 0) std::memcpy(f.var, data, static_cast<size_t>(taken));
            f.var[taken] = 0;
        } else if (stored.data_size > 0) {
            std::memcpy(f.var, data, static_cast<size_t>(stored.data_size));
            turn_value(f.var, f.type, flag);
        }
    }
    return cut ? err::BufferSmall : err::Ok;
}

// ---- Keys of stored records -------------------------------------------

int32_t reckey(KXCB* cb, const uint8_t* rec, int32_t rec_length, const KXDLIST* list,
               int32_t index, uint8_t* key) {
    if (cb == nullptr || list == nullptr || key == nullptr) return err::Arg;
    const int32_t field_count = list_field_count(list);
    if (field_count < 0) return err::FieldType;
    if (index < 0 || index >= field_count) return err::DlistEnd;
    const uint8_t flag = order_flag(cb);
    auto from_record = [&](int32_t field_index, SegmentSource& src) {
        StoredField found;
        const int32_t rc =
            find_stored_field(rec, rec_length, list, field_count, flag, field_index, found);
        if (rc < 0) return rc;
        src.stored = rc == 1;
        if (src.stored) {
            src.data = rec + found.data_offset;
            src.size = found.data_size;
        }
        return err::Ok;
    };
    uint8_t built[KeyOutputBytes];
    const int32_t rc = build_compound(cb, list[index].root, list, field_count, from_record, built);
    if (rc != err::Ok) return rc;
    std::memcpy(key, built, static_cast<size_t>(built[0]) + 1);
    return err::Ok;
}

int32_t record_field_key(KXCB* cb, const uint8_t* rec, int32_t rec_length, const KXDLIST* list,
                         int32_t index, uint8_t* key, bool adding) {
    if (cb == nullptr || list == nullptr || key == nullptr) return err::Arg;
    const int32_t field_count = list_field_count(list);
    if (field_count < 0) return err::FieldType;
    if (index < 0 || index >= field_count) return err::DlistEnd;
    const Field f = field_at(list, index);
    if (!f.keyed()) return 1;
    if (f.root < 1 || f.root > HighestRoot) return err::RootNumber;
    const uint8_t type = root_key_type(cb, f.root);
    if (!is_key_type(type) || !field_gives_key_type(type, f.type)) return err::KeyType;
    const uint8_t flag = order_flag(cb);

    if (type == keytype::Compound) {
        if (const int32_t rc = reckey(cb, rec, rec_length, list, index, key); rc != err::Ok)
            return rc;
        convkey(cb, f.root, key, type, flag, HostOrder);
        return err::Ok;
    }

    StoredField found;
    const int32_t rc = find_stored_field(rec, rec_length, list, field_count, flag, index, found);
    if (rc < 0) return rc;
    const bool stored = rc == 1;
    const uint8_t* data = stored ? rec + found.data_offset : Zeros;
    if (const int32_t width = fixed_width(type); width > 0) {
        std::memcpy(key, data, static_cast<size_t>(width));
        convkey(cb, f.root, key, type, flag, HostOrder);
        return err::Ok;
    }
    // Strings and counted bytes: a key stays below 243 bytes.
    int32_t n = stored ? found.data_size : 0;
    if (n >= KeyBodyLimit) {
        if (adding) return err::StringLength;
        n = KeyBodyLimit - 1;
    }
    uint8_t* body = key;
    if (type != keytype::String && type != keytype::StringNoCase)
        *body++ = static_cast<uint8_t>(n);
    if (n > 0) std::memcpy(body, data, static_cast<size_t>(n));
    if (type == keytype::String || type == keytype::StringNoCase) body[n] = 0;
    return err::Ok;
}

}  // namespace kx

extern "C" {

KX_API int32_t checkdlist(const KXDLIST* list) {
    if (list == nullptr) return 0;
    uint32_t h = 0;
    for (int32_t i = 0; i < kx::ListEntryLimit; ++i) {
        const KXDLIST& e = list[i];
        if (e.type == kx::EndOfList) break;
        h = (h + static_cast<uint8_t>(e.type)) * 2;
        h = (h + e.key_type) * 2;
        h = (h + static_cast<uint8_t>(e.dups)) * 2;
        h = ((h + e.root) * 2) & 0xFFFF;
    }
    return static_cast<int16_t>(h);
}

KX_API int32_t dsetkey(KXCB* cb, uint8_t root, const KXDLIST* list, int32_t index, void* key) {
    if (cb == nullptr) return kx::err::Arg;
    if (list == nullptr || key == nullptr) return kx::result(cb, kx::err::Arg);
    if (cb->check_dlist != 0)
        if (const int32_t rc = kx::dlcheck(cb, list); rc != kx::err::Ok) return kx::result(cb, rc);
    const int32_t field_count = kx::list_field_count(list);
    if (field_count < 0) return kx::result(cb, kx::err::DlistEnd);
    if (index < 0) {
        index = field_count;
        for (int32_t i = 0; i < field_count; ++i)
            if (list[i].root == root) {
                index = i;
                break;
            }
    }
    if (index >= field_count) return kx::result(cb, kx::err::DlistEnd);
    // Built aside so that a failure leaves the caller's key as it was.
    uint8_t built[kx::KeyOutputBytes];
    const int32_t length = kx::variable_key(cb, list, field_count, index, built);
    if (length < 0) return kx::result(cb, length);
    std::memcpy(key, built, static_cast<size_t>(length));
    return kx::result(cb, kx::err::Ok);
}

}  // extern "C"
