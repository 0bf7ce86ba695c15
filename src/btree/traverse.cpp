#include "btree/traverse.h"

#include <climits>
#include <cstring>

#include "btree/keys.h"
#include "btree/search.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/nodecache.h"
#include "records/keyconv.h"

namespace kx {

int32_t EntryWalker::load(KXCB* cb) {
    if (loaded && epoch == g_layout_epoch && work::leaf().holds(cb, leaf)) return 0;
    const int32_t rc = read_kept(cb, leaf, &ix);
    loaded = rc == 0;
    epoch = g_layout_epoch;
    return rc;
}

const uint8_t* EntryWalker::current(KXCB* cb, int32_t* rc) {
    *rc = load(cb);
    if (*rc != 0) return nullptr;
    if (index < 0) index = 0;
    for (uint32_t hops = 0; index >= ix->count; ++hops) {
        const uint32_t right = node::right(work::leaf().bytes);
        if (right == NoNode) return nullptr;
        if (hops > cb->node_count) {
            *rc = err::Damaged;
            return nullptr;
        }
        cb->cached_root = -1;
        leaf = right;
        index = 0;
        loaded = false;
        *rc = load(cb);
        if (*rc != 0) return nullptr;
    }
    return ix->at(work::leaf().bytes, index);
}

const uint8_t* EntryWalker::next(KXCB* cb, int32_t* rc) {
    ++index;
    return current(cb, rc);
}

namespace {

void point_key_at_current(KXCB* cb, RootCursor* c) {
    cb->key = cb->current_key;
    cb->key_byte_order = order_flag(cb);
    c->before = 0;
}

void cursor_to_zero_key(RootCursor* c) {
    std::memset(c->key, 0, sizeof c->key);
    c->record = 0xFFFFFFFFu;
}

// Re-finds the cursor's position after another process changed the file:
// the entry after the cursor's (key, record value, piece).
int32_t refind_after(KXCB* cb, RootCursor* c) {
    uint8_t key[KeyBufferBytes] = {};
    std::memcpy(key, c->key, sizeof c->key);
    cb->key = key;
    cb->key_byte_order = order_flag(cb);
    cb->recval = c->record;
    cb->piece = static_cast<uint8_t>((c->piece & 0x7F) + 1);
    const int32_t r = seek(cb);
    if (cb->key == key) cb->key = cb->current_key;
    c->stale = 0;
    return r < 0 ? r : 0;
}

}  // namespace

int32_t step_forward(KXCB* cb, RootCursor* c) {
    if (!exclusive(cb) && c->stale) {
        const int32_t r = refind_after(cb, c);
        cb->last_result = r;
        point_key_at_current(cb, c);
        return r;
    }
    EntryWalker walk(c->leaf, c->index);
    int32_t rc = 0;
    const uint8_t* e = walk.next(cb, &rc);
    if (rc != 0) return result(cb, rc);
    c->leaf = walk.leaf;
    c->index = walk.index;
    if (e != nullptr) {
        load_current(cb, e);
        c->position_root = entry::root(e);
        load_cursor(cb, c, e);
        cb->last_result = 0;
    } else {
        c->index = walk.count();
        ++c->position_root;
        clear_current(cb);
    }
    point_key_at_current(cb, c);
    return cb->last_result;
}

int32_t step_backward(KXCB* cb, RootCursor* c) {
    EntryIndex ix;
    if (c->before && c->index >= 0) {
        c->before = 0;
        const int32_t rc = read_node(cb, c->leaf, ix);
        if (rc != 0) return result(cb, rc);
        if (c->index < ix.count) {
            const uint8_t* e = ix.at(work::leaf().bytes, c->index);
            load_current(cb, e);
            c->position_root = entry::root(e);
            load_cursor(cb, c, e);
            cb->last_result = 0;
            point_key_at_current(cb, c);
            return 0;
        }
    }
    c->before = 0;
    int32_t rc = read_node(cb, c->leaf, ix);
    if (rc != 0) return result(cb, rc);
    const uint8_t* img = work::leaf().bytes;
    const uint8_t* e = nullptr;
    if (c->index != -1) {
        c->index = (c->index > ix.count ? ix.count : c->index) - 1;
        if (c->index >= 0) e = ix.at(img, c->index);
    }
    for (uint32_t hops = 0; e == nullptr && node::left(img) != NoNode; ++hops) {
        if (hops > cb->node_count) return result(cb, err::Damaged);
        cb->cached_root = -1;
        const uint32_t left = node::left(img);
        rc = read_node(cb, left, ix);
        if (rc != 0) return result(cb, rc);
        c->leaf = left;
        c->index = ix.count - 1;
        if (ix.count > 0) e = ix.at(img, c->index);
    }
    if (e != nullptr) {
        load_current(cb, e);
        c->position_root = entry::root(e);
        load_cursor(cb, c, e);
        cb->last_result = 0;
    } else {
        c->index = -1;
        --c->position_root;
        clear_current(cb);
    }
    point_key_at_current(cb, c);
    return cb->last_result;
}

}  // namespace kx

using namespace kx;

namespace {

int32_t next_work(KXCB* cb) {
    void* buffer = cb->data;
    const int32_t size = cb->datalen;
    RootCursor* c = root_cursor(cb, cb->root);
    if (c == nullptr) return err::NoMemory;
    if (c->position_root == -1) return _cfirst(cb);
    if (!exclusive(cb) && c->stale && c->position_root != cb->root) {
        // Outside the root there is no key to find again: past its end the
        // walk stays at the end; before its start it begins at the first
        // datum as the root is now.
        if (c->position_root < cb->root) {
            c->stale = 0;
            return _cfirst(cb);
        }
        clear_current(cb);
        return err::Fail;
    }
    if (!exclusive(cb) && c->stale) {
        uint8_t key[KeyBufferBytes] = {};
        std::memcpy(key, c->key, sizeof c->key);
        uint32_t record = c->record;
        if (static_cast<int32_t>(record) == INT32_MAX) {
            successor_key(cb, cb->root, root_key_type(cb, cb->root), key);
            record = 0;
        } else {
            ++record;
        }
        cb->key = key;
        cb->key_byte_order = order_flag(cb);
        cb->recval = record;
        cb->data = buffer;
        cb->datalen = size;
        int32_t r = _cfind(cb);
        if (cb->key == key) cb->key = cb->current_key;
        if (r == 1 || r == 2) r = 0;
        if (r != 0) {
            std::memcpy(c->key, key, sizeof c->key);
            c->record = record;
        }
        c->stale = 0;
        return r;
    }
    if (c->position_root > cb->root) {
        clear_current(cb);
        return err::Fail;
    }
    uint8_t previous = c->piece;
    int32_t r = step_forward(cb, c);
    while (r == 0 && (previous & LastPiece) == 0 && (c->piece & 0x7F) > (previous & 0x7F)) {
        previous = c->piece;
        r = step_forward(cb, c);
    }
    if (r == err::Fail || r == err::Arg || r == err::Pieces) return r;
    if (r != 0) return r;
    if (c->position_root == cb->root) return gather(cb, buffer, size);
    clear_current(cb);
    return err::Fail;
}

int32_t prev_work(KXCB* cb) {
    void* buffer = cb->data;
    const int32_t size = cb->datalen;
    RootCursor* c = root_cursor(cb, cb->root);
    if (c == nullptr) return err::NoMemory;
    if (!exclusive(cb) && c->stale && c->position_root > cb->root) {
        // Past the end: the step back is to the root's last datum as the
        // root is now, not from the leaf the cursor remembers.
        c->stale = 0;
        return _clast(cb);
    }
    if (!exclusive(cb) && c->stale && c->position_root < cb->root) {
        clear_current(cb);
        cursor_to_zero_key(c);
        return err::Fail;
    }
    if (!exclusive(cb) && c->stale) {
        cb->data = nullptr;
        cb->datalen = 0;
        _cgetcur(cb);
        cb->data = buffer;
        cb->datalen = size;
        c->stale = 0;
    }
    if (c->position_root < cb->root) {
        clear_current(cb);
        cursor_to_zero_key(c);
        return err::Fail;
    }
    int32_t r = step_backward(cb, c);
    while (r == 0 && (c->piece & 0x7F) != 0) r = step_backward(cb, c);
    if (r != 0) {
        cursor_to_zero_key(c);
        return r;
    }
    if (c->position_root == cb->root) return gather(cb, buffer, size);
    clear_current(cb);
    cursor_to_zero_key(c);
    return err::Fail;
}

int32_t run_read(KXCB* cb, int32_t (*work)(KXCB*)) {
    if (const int32_t rc = frame_check(cb, false)) return rc;
    if (strtread(cb) != 0) return result(cb, err::Section);
    release_key_lock(cb, cb->root);
    cb->io_error = 0;
    const int32_t r = work(cb);
    const int32_t end = endread(cb);
    return result(cb, end != 0 ? end : r);
}

}  // namespace

extern "C" {

KX_API int32_t _cnext(KXCB* cb) { return run_read(cb, next_work); }
KX_API int32_t _cprev(KXCB* cb) { return run_read(cb, prev_work); }

KX_API int32_t cnext(KXCB* cb, int32_t root, void* buffer, int32_t length) {
    if (!is_open(cb)) return err::NotOpen;
    store_buffer_call(cb, root, buffer, length);
    return _cnext(cb);
}

KX_API int32_t cprev(KXCB* cb, int32_t root, void* buffer, int32_t length) {
    if (!is_open(cb)) return err::NotOpen;
    store_buffer_call(cb, root, buffer, length);
    return _cprev(cb);
}

KX_API int32_t cnextrep(KXCB* cb, int32_t root, void* buffer, int32_t length, KXREPFUNC function) {
    if (!is_open(cb)) return err::NotOpen;
    if (root < 1 || root > 50) return result(cb, err::Arg);
    if (strtread(cb) != 0) return result(cb, err::Section);
    int32_t r = cnext(cb, root, nullptr, 0);
    if (r != 0) {
        const int32_t end = endread(cb);
        return result(cb, end != 0 ? end : r);
    }
    RootCursor* c = existing_cursor(cb, root);
    const uint8_t flag = order_flag(cb);
    auto* out = static_cast<uint8_t*>(buffer);
    const int32_t room = buffer != nullptr && length > 0 ? length : 0;
    EntryWalker walk(c->leaf, c->index);
    int32_t rc = 0;
    const uint8_t* e = walk.current(cb, &rc);
    bool at_end = false;
    uint8_t last_root = static_cast<uint8_t>(root);
    for (;;) {
        if (rc != 0) break;
        if (e == nullptr || entry::root(e) != root || at_end) {
            c->leaf = walk.leaf;
            c->index = walk.count();
            c->position_root = root + 1;
            clear_current(cb);
            rc = err::Fail;
            break;
        }
        std::memset(cb->current_key, 0, sizeof cb->current_key);
        if (e[0] >= 6) std::memcpy(cb->current_key, e + 7, static_cast<size_t>(e[0] - 6));
        cb->key_byte_order = flag;
        cb->recval = entry::record(e, flag);
        last_root = entry::root(e);
        int32_t got = 0, total = 0;
        uint8_t previous = 0;
        bool first = true;
        for (;;) {
            const int32_t len = payload_length(cb, e);
            const int32_t take = room - got < len ? room - got : len;
            if (take > 0) {
                std::memcpy(out + got, e + 1 + e[0] - len, static_cast<size_t>(take));
                got += take;
            }
            total += len;
            previous = entry::piece(e);
            first = false;
            e = walk.next(cb, &rc);
            if (rc != 0) break;
            if (e == nullptr) {
                at_end = true;
                break;
            }
            if ((previous & LastPiece) != 0 || (entry::piece(e) & 0x7F) <= (previous & 0x7F)) break;
        }
        (void)first;
        if (rc != 0) break;
        cb->key = cb->current_key;
        cb->root = root;
        cb->datalen = got;
        cb->datatotal = total;
        bool stop = function == nullptr;
        if (function != nullptr) {
            if (cb->native_callback_keys) convparm(cb, static_cast<uint8_t>(1));
            stop = function(cb, root, buffer, got) == 0;
            // The function may have called into the library and replaced the
            // working leaf: the next entry is read again from the position.
            if (e != nullptr) {
                e = walk.current(cb, &rc);
                if (rc != 0) break;
            }
        }
        if (stop) {
            // Just before the first entry not handed over.
            c->position_root = last_root;
            c->leaf = walk.leaf;
            c->index = walk.index - 1;
            load_cursor(cb, c, e);
            c->before = 0;
            break;
        }
    }
    const int32_t end = endread(cb);
    return result(cb, end != 0 ? end : rc);
}

}  // extern "C"
