#include "multiuser/keylocks.h"

namespace kx {

void release_key_lock(KXCB* cb, int32_t root) {
    if (root >= 1 && root <= 51 && cb->root_locks[root] != 'U') key_lock_clear(cb, root);
}

int32_t key_lock_free(KXCB*, int32_t) { return 0; }

// The lock is the block's own for the length of the write section the caller
// runs it in; no other user can hold a key lock yet.
int32_t key_lock_take(KXCB* cb, int32_t root) {
    if (root < 1 || root > 51) return -2;
    cb->root_locks[root] = 'L';
    return 0;
}

int32_t key_lock_clear(KXCB* cb, int32_t root) {
    if (root >= 1 && root <= 51) cb->root_locks[root] = 'U';
    return 0;
}

}  // namespace kx
