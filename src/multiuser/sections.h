// Read and write sections, and the file locks behind them.
//
// Every call that reads the file runs inside a read section, every call that
// changes it inside a write section; sections nest per control block and only
// the outermost one does real work.  In exclusive mode ('E') no lock is ever
// taken: sections count, write back and flush.  In shared mode processes
// coordinate through exclusive byte-range locks in the file's lock region and
// the change counter at the start of the header:
//
//   559 + s   user slot byte of slot s (0..129), held from open to close
//   689 + s   read-lock byte of slot s: a reader holds its own; a writer holds
//             all 130 at once (the write lock), so it waits for every reader
//   819       gate: held by a writer for its whole section; a reader passes
//             through it (takes and drops it), so it waits while a writer is in
//   820..949  queue bytes, used when the queued-gate option is on
//
// Read-lock level: 1 nothing held, 2 own read-lock byte, 3 the write lock.
// Every outermost write section raises the change counter; a section that
// finds the counter moved drops the file's cached nodes, reloads the header
// and marks the root cursors stale.  At flush mode 4 the write-in-progress
// marker (bytes BD 33 at 1010) is set before the section's first write and
// cleared when the section has written everything back.
//
// Two rules go beyond the bare lock protocol, so that no process is ever kept
// waiting once another's section has ended:
//  * a write section opened inside a read section gives up the read-lock byte
//    before it waits for the gate; two readers that both start writing thus
//    queue at the gate instead of each waiting for the other's byte;
//  * the end of the outermost write section always gives the write lock
//    back (at flush mode 4 too, and also when the write-back failed).
//
// An opener that may only read the file (no write permission) gets its lock
// bytes as shared locks from the storage layer.  They still keep out every
// writer (gate, write lock) and every user-slot taker that may write, but two
// such openers do not exclude each other: they can hold the same user slot
// and pass the gate together.  That is harmless as long as nothing is owned
// under their slot: they cannot write lock entries or logs.
#pragma once

#include <cstdint>

#include "kindex.h"

namespace kx {

constexpr uint32_t SlotByte = 559;
constexpr uint32_t ReadLockByte = 689;
constexpr uint32_t GateByte = 819;
constexpr uint32_t UserSlots = 130;

int32_t getslot(KXCB* cb);
int32_t relslot(KXCB* cb, uint32_t slot);
int32_t tstslot(KXCB* cb, uint32_t slot);
int32_t gateon(KXCB* cb);
int32_t gateoff(KXCB* cb);
int32_t rdlock(KXCB* cb, bool write);
int32_t rdfree(KXCB* cb);
int32_t hdrchk(KXCB* cb);
int32_t hdrprobe(KXCB* cb);
int32_t markchk(KXCB* cb);
int32_t markset(KXCB* cb);
int32_t wrtback(KXCB* cb);
int32_t strtopen(KXCB* cb);
int32_t endopen(KXCB* cb);

// Brings the caller's key parameter back to host order (end of sections).
void restore_caller_key(KXCB* cb);

}  // namespace kx
