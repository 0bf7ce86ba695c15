// Data files: opening and closing them, and moving the current record by key
// (cidfind) or step by step (dseq); cidread copies the current record into
// the caller's variables.  The current record number links the finding calls
// with the writing calls of dataops.cpp.
#include <cstring>

#include "btree/keys.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "records/dataops.h"
#include "records/keyconv.h"
#include "records/record.h"

using namespace kx;

namespace {

const uint8_t kEmptyKey[1] = {0};

void attach_buffer(KXCB* cb, void* buffer, uint32_t size) {
    cb->record_buffer = buffer;
    cb->record_buffer_size = buffer != nullptr ? size : 0;
    cb->current_record = -1;
    cb->locked_record = -1;
}

int32_t close_read(KXCB* cb, int32_t r) {
    const int32_t end = endread(cb);
    return result(cb, end != 0 ? end : r);
}

// The current key compared with a host-order key under the root's key type.
int32_t current_key_vs(KXCB* cb, int32_t root, const void* key) {
    uint8_t host[KeyBufferBytes];
    std::memcpy(host, cb->current_key, sizeof host);
    const uint8_t type = root_key_type(cb, root);
    convkey(cb, root, host, type, static_cast<uint8_t>(cb->key_byte_order), static_cast<uint8_t>(1));
    return cikeycmp(cb, root, type, host, key);
}

bool key_type_fits(KXCB* cb, int32_t root, uint8_t type) {
    const uint8_t table = cb->root_types[root];
    return type == table || type == NoKey || type == 'E' || (type == StringKey && table == 0);
}

}  // namespace

extern "C" {

KX_API int32_t dbcreate(KXCB* cb, const char* name, void* buffer, uint32_t size, char mode, int32_t byte_order,
                        const KXROOTLIST* roots) {
    const int32_t r = bcreate(cb, name, mode, byte_order, roots);
    if (r == 0) attach_buffer(cb, buffer, size);
    return r;
}

KX_API int32_t dbopen(KXCB* cb, const char* name, void* buffer, uint32_t size, char mode, int32_t access,
                      const KXROOTLIST* roots) {
    const int32_t r = bopen(cb, name, mode, access, roots);
    if (r == 0) attach_buffer(cb, buffer, size);
    return r;
}

KX_API int32_t cidclose(KXCB* cb) { return mclose(cb); }
KX_API int32_t dmclose(KXCB* cb) { return mclose(cb); }

KX_API int32_t cidread(KXCB* cb, KXDLIST* list) {
    if (!is_open(cb)) return err::NotOpen;
    if (list == nullptr || list_field_count(list) < 0) return result(cb, err::FieldType);
    if (cb->check_dlist != 0) {
        const int32_t v = dlcheck(cb, list);
        if (v != 0) return result(cb, v);
    }
    if (strtread(cb) != 0) return result(cb, err::Section);
    if (cb->locked_record != -1 && cb->locked_record != cb->current_record) {
        const int32_t c = mclrrec(cb);
        if (c != 0 && c != err::NoCurrent && c < 0) return close_read(cb, c);
        cb->locked_record = -1;
    }
    if (cb->current_record == -1) return close_read(cb, err::NoCurrent);
    const uint32_t nested = cb->nested_call;
    cb->nested_call = 1;
    int32_t r = cfind(cb, RecordTree, kEmptyKey, static_cast<uint32_t>(cb->current_record), cb->record_buffer,
                      static_cast<int32_t>(cb->record_buffer_size));
    cb->nested_call = nested;
    if (r != 0) {
        r = err::Fail;
    } else if (cb->datatotal > cb->datalen) {
        r = err::BufferSmall;  // the stored record does not fit the record buffer
    } else {
        r = readrec(static_cast<const uint8_t*>(cb->record_buffer), list, cb, cb->datalen);
    }
    return close_read(cb, r);
}

KX_API int32_t cidfind(KXCB* cb, int32_t root, const void* key, uint8_t key_type, int32_t how) {
    if (!is_open(cb)) return err::NotOpen;
    if (root < 1 || root > 50) return result(cb, err::Arg);
    if (strtread(cb) != 0) return result(cb, err::Section);
    if (!key_type_fits(cb, root, key_type)) {
        cb->current_record = -1;
        return close_read(cb, err::KeyType);
    }
    int32_t r = cfind(cb, root, key, 0, nullptr, 0);
    const bool found = r == 0 || r == 1;
    switch (how) {
        case 1: r = found ? 0 : err::Fail; break;
        case 2:
            if (r == 2) {
                r = 0;
            } else if (found) {
                do {
                    r = cnext(cb, root, nullptr, 0);
                } while (r == 0 && current_key_vs(cb, root, key) == 0);
            }
            break;
        case 3: r = found ? 0 : (r == 2 ? KX_GREATER : err::Fail); break;
        case 4: r = cprev(cb, root, nullptr, 0); break;
        case 5:
            if (found) {
                r = 0;
            } else {
                r = cprev(cb, root, nullptr, 0);
                if (r == 0) r = KX_SMALLER;
            }
            break;
        default: break;
    }
    cb->current_record = r == 0 || r == KX_GREATER || r == KX_SMALLER ? static_cast<int32_t>(cb->recval) : -1;
    return close_read(cb, r);
}

KX_API int32_t dseq(KXCB* cb, int32_t root, int32_t how) {
    if (!is_open(cb)) return err::NotOpen;
    int32_t r;
    switch (how) {
        case 1: r = cnext(cb, root, nullptr, 0); break;
        case 2: r = cprev(cb, root, nullptr, 0); break;
        case 3: r = cfirst(cb, root, nullptr, 0); break;
        case 4: r = clast(cb, root, nullptr, 0); break;
        default: r = err::Arg; break;
    }
    cb->current_record = r == 0 ? static_cast<int32_t>(cb->recval) : -1;
    return result(cb, r);
}

KX_API int32_t dgetid(KXCB* cb) {
    if (!is_open(cb)) return err::NotOpen;
    if (cb->current_record == -1) return result(cb, err::NoCurrent);
    uint8_t head[10] = {};
    const uint32_t nested = cb->nested_call;
    cb->nested_call = 1;
    const int32_t r = cfind(cb, RecordTree, kEmptyKey, static_cast<uint32_t>(cb->current_record), head, 10);
    cb->nested_call = nested;
    if (r != 0 || cb->datalen < 5) return result(cb, err::Fail);
    cb->record_tag = head[4];
    return result(cb, 0);
}

KX_API int32_t dgetcnt(KXCB* cb) { return cgetcnt(cb); }

}  // extern "C"
