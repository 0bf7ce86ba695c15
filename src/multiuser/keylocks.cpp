#include "multiuser/keylocks.h"

#include <cstring>

#include "btree/cursor.h"
#include "btree/keys.h"
#include "btree/search.h"
#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "multiuser/sections.h"

namespace kx {

namespace {

constexpr int32_t LockRoot = 50;
constexpr int32_t RecordRoot = 49;

// The parameter fields a semaphore call works with, kept and put back, with
// the current key when the key parameter points into it.
struct SavedParams {
    KeyCallFields fields;
    uint32_t nested;
    bool key_is_current;
    uint8_t current[256];
    int32_t override;

    explicit SavedParams(KXCB* cb)
        : fields(cb), nested(cb->nested_call),
          key_is_current(cb->key == cb->current_key || cb->key == cb->current_key + 1),
          override(cb->compare_override) {
        if (key_is_current) std::memcpy(current, cb->current_key, sizeof current);
    }
    void restore(KXCB* cb) const {
        fields.restore(cb);
        cb->nested_call = nested;
        cb->compare_override = override;
        if (key_is_current) std::memcpy(cb->current_key, current, sizeof current);
    }
};

// Runs the work of a semaphore call on the lock tree inside a write section
// with the caller's parameter fields kept.
template <typename Work>
int32_t on_lock_tree(KXCB* cb, Work work) {
    const int32_t rc = strtwrit(cb);
    if (rc != 0) return rc;
    const SavedParams saved(cb);
    cb->nested_call = 1;
    // A lock call made while cfirst or clast runs searches the lock tree by
    // name, not by the first or last key.
    cb->compare_override = 0;
    const int32_t r = work();
    saved.restore(cb);
    const int32_t end = endwrit(cb);
    return end != 0 ? end : r;
}

// Reads the entry (name, value) of the lock tree: the search result, and the
// owner as stored (file byte order) on an exact hit.
int32_t read_owner(KXCB* cb, const void* name, uint32_t value, uint16_t* stored) {
    uint8_t buf[2] = {0, 0};
    const int32_t r = cfind(cb, LockRoot, name, value, buf, 2);
    *stored = load<uint16_t>(buf);
    return r;
}

// The gone owner of a stale entry may have left a transaction behind.
int32_t after_stale_owner(KXCB*) { return 0; }

int32_t set_sema(KXCB* cb, const void* name, uint32_t value, uint16_t owner_file) {
    int32_t r = cdupadd(cb, LockRoot, name, value, &owner_file, 2);
    if (r != err::Fail) return r;
    uint16_t stored = 0;
    if (read_owner(cb, name, value, &stored) != 0) return err::Locked;
    const uint16_t owner = static_cast<uint16_t>(swap16(stored, order_flag(cb)));
    if (tstslot(cb, owner) == 0) return err::Locked;
    // The owner is gone: the entry is ours now.
    r = cdelete(cb, LockRoot, name, value);
    if (r == 0) r = cdupadd(cb, LockRoot, name, value, &owner_file, 2);
    if (r != 0) return r;
    const int32_t t = after_stale_owner(cb);
    return t == err::LogEmpty ? 0 : t;
}

int32_t clear_sema(KXCB* cb, const void* name, uint32_t value, uint16_t owner_file) {
    uint16_t stored = 0;
    const int32_t r = read_owner(cb, name, value, &stored);
    if (r != 0) return r;
    if (stored != owner_file) return err::Locked;
    return cdelcur(cb, LockRoot);
}

int32_t test_sema(KXCB* cb, const void* name, uint32_t value, uint16_t owner_file) {
    uint16_t stored = 0;
    const int32_t r = read_owner(cb, name, value, &stored);
    if (r > 0 || r == err::Fail) return err::NotHeld;
    if (r < 0) return r;
    if (stored == owner_file) return err::HeldByMe;
    if (tstslot(cb, static_cast<uint16_t>(swap16(stored, order_flag(cb)))) == 0) return err::Locked;
    const int32_t d = cdelete(cb, LockRoot, name, value);
    if (d != 0) return d;
    const int32_t t = after_stale_owner(cb);
    return t == 0 || t == err::LogEmpty ? err::NotHeld : t;
}

uint16_t file_owner(KXCB* cb, uint16_t owner) { return static_cast<uint16_t>(swap16(owner, order_flag(cb))); }

// The cursor of the root stands on an entry of the root.
bool on_entry(KXCB* cb, int32_t root) {
    RootCursor* c = root_cursor(cb, root);
    return c != nullptr && c->position_root == root && c->before == 0;
}

// The lock name of the entry under the root's cursor.
void lock_name(KXCB* cb, int32_t root, uint8_t* name, uint32_t* value) {
    RootCursor* c = root_cursor(cb, root);
    std::memset(name, 0, 256);
    const int32_t k = cikeylen(cb, root, c->key);
    name[0] = static_cast<uint8_t>(k);
    name[1] = static_cast<uint8_t>(root);
    if (k > 0 && k <= CursorKeySize) std::memcpy(name + 2, c->key, static_cast<size_t>(k));
    *value = c->record;
}

// Stores the result as the last result, except for a block that is not open.
int32_t result_or(KXCB* cb, int32_t r) { return r == err::NotOpen ? r : result(cb, r); }

int32_t check_root(KXCB* cb, int32_t root) {
    if (!is_open(cb)) return err::NotOpen;
    if (root < 1 || root > 50) return result(cb, err::Arg);
    return 0;
}

}  // namespace

int32_t key_lock_take(KXCB* cb, int32_t root) {
    if (const int32_t rc = check_root(cb, root)) return rc;
    if (exclusive(cb)) {
        cb->root_locks[root] = 'L';
        return 0;
    }
    if (cb->nested_call || cb->root_locks[root] == 'L') return 0;
    if (!on_entry(cb, root)) return err::NoCurrent;
    int32_t r = strtwrit(cb);
    if (r != 0) return r;
    void* data = cb->data;
    const int32_t length = cb->datalen;
    if (cgetcur(cb, root, nullptr, 0) != 0) {
        r = err::NoCurrent;
    } else {
        uint8_t name[256];
        uint32_t value = 0;
        lock_name(cb, root, name, &value);
        r = msetsema(cb, name, value, static_cast<uint16_t>(cb->user_slot));
        if (r == 0) cb->root_locks[root] = 'L';
    }
    cb->data = data;
    cb->datalen = length;
    const int32_t end = endwrit(cb);
    return end != 0 ? end : r;
}

namespace {
int32_t test_lock(KXCB* cb, int32_t root) {
    if (const int32_t rc = check_root(cb, root)) return rc;
    if (!on_entry(cb, root)) return err::NoCurrent;
    if (cb->root_locks[root] == 'L') return err::HeldByMe;
    if (exclusive(cb)) return err::NotHeld;
    uint8_t name[256];
    uint32_t value = 0;
    lock_name(cb, root, name, &value);
    return mtstsema(cb, name, value, static_cast<uint16_t>(cb->user_slot));
}
}  // namespace

int32_t key_lock_clear(KXCB* cb, int32_t root) {
    if (const int32_t rc = check_root(cb, root)) return rc;
    if (exclusive(cb)) {
        cb->root_locks[root] = 'U';
        return 0;
    }
    if (cb->nested_call) return 0;
    if (cb->root_locks[root] != 'L') {
        const int32_t t = test_lock(cb, root);
        return t == err::NotHeld ? 0 : t;
    }
    if (!on_entry(cb, root)) return err::NoCurrent;
    uint8_t name[256];
    uint32_t value = 0;
    lock_name(cb, root, name, &value);
    const int32_t r = mclrsema(cb, name, value, static_cast<uint16_t>(cb->user_slot));
    if (r == 0) cb->root_locks[root] = 'U';
    return r;
}

void release_key_lock(KXCB* cb, int32_t root) {
    if (root >= 1 && root <= 50 && cb->root_locks[root] == 'L') key_lock_clear(cb, root);
}

int32_t key_lock_free(KXCB* cb, int32_t root) {
    const int32_t t = test_lock(cb, root);
    return t == err::Locked ? err::Locked : 0;
}

void release_all_key_locks(KXCB* cb) {
    for (int32_t r = 1; r <= 50; ++r)
        if (existing_cursor(cb, r) != nullptr && cb->root_locks[r] == 'L') key_lock_clear(cb, r);
}

int32_t stalesweep(KXCB* cb) {
    if (exclusive(cb) || cb->user_slot >= UserSlots) return 0;
    const SavedParams saved(cb);
    cb->nested_call = 1;
    uint8_t buf[2] = {0, 0};
    bool changed = false;
    int32_t r = cfirst(cb, LockRoot, buf, 2);
    while (r == 0) {
        if (swap16(load<uint16_t>(buf), order_flag(cb)) == cb->user_slot) {
            // The open section does not move the change counter by itself;
            // other users must learn that the lock tree changed.
            if (!changed) {
                changed = true;
                if (++cb->change_counter == 0) cb->change_counter = 1;
                cb->header_dirty = 1;
            }
            r = cdelcur(cb, LockRoot);
            if (r != 0) break;
        }
        r = cnext(cb, LockRoot, buf, 2);
    }
    // The walk leaves the key parameter on the lock tree's current key, in
    // the file's order: the caller's fields come back as they were.
    saved.restore(cb);
    return r == err::Fail ? 0 : r;
}

}  // namespace kx

using namespace kx;

extern "C" {

KX_API int32_t msetsema(KXCB* cb, const void* name, uint32_t value, uint16_t owner) {
    if (exclusive(cb)) return 0;
    const uint16_t f = file_owner(cb, owner);
    return on_lock_tree(cb, [&] { return set_sema(cb, name, value, f); });
}

KX_API int32_t mclrsema(KXCB* cb, const void* name, uint32_t value, uint16_t owner) {
    if (exclusive(cb) || cb->nested_call) return 0;
    const uint16_t f = file_owner(cb, owner);
    return on_lock_tree(cb, [&] { return clear_sema(cb, name, value, f); });
}

KX_API int32_t mtstsema(KXCB* cb, const void* name, uint32_t value, uint16_t owner) {
    if (exclusive(cb)) return err::HeldByMe;
    const uint16_t f = file_owner(cb, owner);
    return on_lock_tree(cb, [&] { return test_sema(cb, name, value, f); });
}

KX_API int32_t msetlock(KXCB* cb, int32_t root) { return result_or(cb, key_lock_take(cb, root)); }
KX_API int32_t mtstlock(KXCB* cb, int32_t root) { return result_or(cb, test_lock(cb, root)); }
KX_API int32_t mclrlock(KXCB* cb, int32_t root) { return result_or(cb, key_lock_clear(cb, root)); }

KX_API int32_t msetrec(KXCB* cb) {
    if (!is_open(cb)) return err::NotOpen;
    if (cb->access == 1) return result(cb, err::ReadOnly);
    int32_t r = strtwrit(cb);
    if (r != 0) return result(cb, r);
    void* data = cb->data;
    const int32_t length = cb->datalen;
    const uint8_t empty = 0;
    r = cfind(cb, RecordRoot, &empty, static_cast<uint32_t>(cb->current_record), nullptr, 0);
    if (r == 0)
        r = key_lock_take(cb, RecordRoot);
    else if (r > 0 || r == err::Fail)
        r = err::NoCurrent;
    cb->locked_record = r == 0 ? cb->current_record : -1;
    cb->data = data;
    cb->datalen = length;
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : r);
}

KX_API int32_t mclrrec(KXCB* cb) {
    if (!is_open(cb)) return err::NotOpen;
    if (cb->access == 1) return result(cb, err::ReadOnly);
    const int32_t r = key_lock_clear(cb, RecordRoot);
    cb->locked_record = -1;
    return result(cb, r);
}

KX_API int32_t mtstrec(KXCB* cb) {
    if (!is_open(cb)) return err::NotOpen;
    if (cb->locked_record != cb->current_record) {
        void* data = cb->data;
        const int32_t length = cb->datalen;
        const uint8_t empty = 0;
        const int32_t r = cfind(cb, RecordRoot, &empty, static_cast<uint32_t>(cb->current_record), nullptr, 0);
        cb->data = data;
        cb->datalen = length;
        if (r != 0) return result(cb, r > 0 || r == err::Fail ? err::NoCurrent : r);
    }
    return result(cb, test_lock(cb, RecordRoot));
}

}  // extern "C"
