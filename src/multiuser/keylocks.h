// Key locks: a control block may reserve the current key of a root so that
// other users neither change nor delete it.  The lock tree that records them
// across processes is built on these calls; until a lock is held by anyone,
// every key is free.
#pragma once

#include <cstdint>

#include "kindex.h"

namespace kx {

// Releases this block's key lock of the root when it holds one.
void release_key_lock(KXCB* cb, int32_t root);
// 0 when the current key of the root is not locked by another user, -104
// when it is.
int32_t key_lock_free(KXCB* cb, int32_t root);
// Takes the key lock of the root's current key for this block; 0 or -104.
int32_t key_lock_take(KXCB* cb, int32_t root);
// Gives back the key lock of the root; 0 or an error.
int32_t key_lock_clear(KXCB* cb, int32_t root);

}  // namespace kx
