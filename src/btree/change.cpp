// Changing the data of a key: the datum under the cursor (cchgcur), the
// datum of a key and record value (cchange), or that datum when it exists and
// a new one otherwise (csave).  All end in the insertion core, which removes
// the old datum and puts the new one in its place; the cursor ends on the new
// datum's first piece.  In shared mode the key is locked for the length of the
// replacement.
#include <cstring>

#include "btree/cursor.h"
#include "btree/insert.h"
#include "btree/keys.h"
#include "btree/search.h"
#include "btree/traverse.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "multiuser/keylocks.h"

using namespace kx;

extern "C" {

KX_API int32_t _cchgcur(KXCB* cb) {
    if (const int32_t rc = frame_check(cb, true)) return rc;
    int32_t r = strtwrit(cb);
    if (r != 0) return result(cb, r);
    const int32_t root = cb->root;
    RootCursor* c = root_cursor(cb, root);
    uint8_t key[KeyBufferBytes] = {};
    void* saved_key = cb->key;
    const uint32_t saved_order = cb->key_byte_order;
    if (c == nullptr) {
        r = err::NoMemory;
    } else if (c->position_root != root || c->before) {
        r = err::Fail;
    } else if (!exclusive(cb) && cb->lock_bypass == 0 && cb->root_locks[root] != 'L') {
        r = err::NoLock;
    } else {
        void* data = cb->data;
        const int32_t length = cb->datalen;
        if (!exclusive(cb)) {
            std::memcpy(key, c->key, sizeof c->key);
            cb->recval = c->record;
        } else {
            // The entry under the cursor as it stands in the leaf.
            EntryIndex ix;
            r = read_node(cb, c->leaf, ix);
            const uint8_t* e =
                r == 0 && c->index >= 0 && c->index < ix.count ? ix.at(work::leaf().bytes, c->index) : nullptr;
            if (e == nullptr) {
                r = r != 0 ? r : err::Fail;
            } else {
                const int32_t k = bounded_key_length(cb, e[1], e + 7, e[0] - 6);
                std::memcpy(key, e + 7, static_cast<size_t>(k));
                cb->recval = entry::record(e, order_flag(cb));
            }
        }
        if (r == 0) {
            cb->key = key;
            cb->key_byte_order = order_flag(cb);
            cb->data = data;
            cb->datalen = length;
            const uint32_t nested = cb->nested_call;
            cb->nested_call = 1;
            r = insert_core(cb, InsertMode::ChangeCurrent);
            cb->nested_call = nested;
        }
    }
    if (cb->key == key) cb->key = saved_key;
    cb->key_byte_order = saved_order;
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : r);
}

KX_API int32_t cchgcur(KXCB* cb, int32_t root, const void* data, int32_t length) {
    if (!is_open(cb)) return err::NotOpen;
    store_buffer_call(cb, root, const_cast<void*>(data), length);
    return _cchgcur(cb);
}

KX_API int32_t _cchange(KXCB* cb) {
    if (const int32_t rc = frame_check(cb, true)) return rc;
    int32_t r = strtwrit(cb);
    if (r != 0) return result(cb, r);
    if (exclusive(cb)) {
        r = insert_core(cb, InsertMode::Change);
    } else {
        r = probe(cb);
        if (r > 0) {
            r = err::Fail;
        } else if (r == 0) {
            r = key_lock_take(cb, cb->root);
            if (r == 0) {
                r = _cchgcur(cb);
                const int32_t clear = key_lock_clear(cb, cb->root);
                if (r == 0) r = clear;
            }
        }
    }
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : r);
}

KX_API int32_t cchange(KXCB* cb, int32_t root, const void* key, uint32_t record, const void* data,
                       int32_t length) {
    if (!is_open(cb)) return err::NotOpen;
    int32_t r = strtwrit(cb);
    if (r != 0) return result(cb, r);
    store_key_call(cb, root, key, record, data, length);
    r = exclusive(cb) ? insert_core(cb, InsertMode::Change) : _cchange(cb);
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : r);
}

KX_API int32_t _csave(KXCB* cb) {
    if (const int32_t rc = frame_check(cb, true)) return rc;
    int32_t r = strtwrit(cb);
    if (r != 0) return result(cb, r);
    if (exclusive(cb)) {
        r = insert_core(cb, InsertMode::Save);
    } else {
        const int32_t root = cb->root;
        r = probe(cb);
        if (r < 0 && r != err::Fail) {
            // an error of the search
        } else if (r != 0) {
            r = _cdupadd(cb);
        } else {
            r = key_lock_take(cb, root);
            const int32_t change = r == 0 ? _cchgcur(cb) : r;
            const int32_t clear = key_lock_clear(cb, root);
            r = change != 0 ? change : clear;
        }
    }
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : r);
}

KX_API int32_t csave(KXCB* cb, int32_t root, const void* key, uint32_t record, const void* data,
                     int32_t length) {
    if (!is_open(cb)) return err::NotOpen;
    store_key_call(cb, root, key, record, data, length);
    return _csave(cb);
}

}  // extern "C"
