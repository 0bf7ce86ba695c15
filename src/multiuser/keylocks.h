// Key locks, record locks and semaphores.
//
// Processes that share a file reserve single things for longer than one call
// as entries of the lock tree, root 50 of the file itself (key type 2):
//   key           the semaphore name, a counted key
//   record value  a 32-bit number given with the name
//   payload       2 bytes: the owner's user slot, file byte order
// An entry whose owner's user slot byte is no longer held by any process is
// stale: the owner died or closed the file, and the entry is taken over or
// removed where it is met.
//
// A key lock is a semaphore named after the entry under a root's cursor:
//   byte 0  the key's length under the root's key type
//   byte 1  the root number
//   2..     the cursor's key (file byte order)
// with the entry's record value.  The length byte counts the key only, so the
// name compares the root number and all key bytes but the last: two keys of
// one root that differ only in their last byte share one lock.  That can make
// a lock look taken that is not, never the other way round, and every process
// sharing a file must build the same names, so the format stays as it is.
// A record lock is the key lock of root 49 on the record's entry: the name
// 1, 49, 0 with the record number as value.
//
// In exclusive mode nothing is stored: the root lock table of the control
// block ('L' held, 'U' not) is the whole truth.
#pragma once

#include <cstdint>

#include "kindex.h"

namespace kx {

// Releases this block's key lock of the root when it holds one (relkey).
void release_key_lock(KXCB* cb, int32_t root);
// 0 when the entry under the root's cursor is not locked by another live
// user, -104 when it is.
int32_t key_lock_free(KXCB* cb, int32_t root);
// Takes (msetlock) and gives back (mclrlock) the key lock of a root.
int32_t key_lock_take(KXCB* cb, int32_t root);
int32_t key_lock_clear(KXCB* cb, int32_t root);
// Deletes the lock tree entries that name this block's user slot, left by an
// earlier holder of the slot (shared open for writing).
int32_t stalesweep(KXCB* cb);
// Releases every key lock the block holds (close).
void release_all_key_locks(KXCB* cb);

}  // namespace kx
