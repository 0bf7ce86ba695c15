// Files and streams: every file access of the library goes through these
// calls, which work on the file handle field of a control block.
//
// A name denotes a stream of the host's structured storage (kxutil) when the
// host says structured storage is in use and the name's extension is, without
// regard to case, one of .KEL .KIL .VALKIL .VALKEL .TMPKEL .HCX; every other
// name is a plain file.  Stream handles are remembered with their names in
// the process-wide stream registry; a handle is a stream handle exactly when
// it is non-zero and in the registry.
//
// Positions are 32-bit: a target of 2 GiB or more is refused, which keeps a
// file below 2 GiB.  Nodes are addressed as number = node, size = 2048,
// base = 1024; the header as 0, 0, 0; single positions as pos, 0, 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kindex.h"
#include "storage/platform.h"

namespace kx::storage {

// Last error numbers as the file layer reports them.
constexpr int32_t StreamNotFound = 2;

// Open and create store the handle in cb->handle and return it; all ones on
// failure.  access: 2 read/write, anything else read.
uint64_t create_file(KXCB* cb, const char* name);
uint64_t open_exclusive(KXCB* cb, const char* name, int32_t access);
uint64_t open_shared(KXCB* cb, const char* name, int32_t access);
// 0, or -1 when refused.
int32_t close_file(KXCB* cb);
// Target = number * size + base (number + base when size is 0); 0 or -1.
int32_t seek(const KXCB* cb, uint32_t number, uint32_t size, uint32_t base);
// 0, -1 when the call fails, -9 when fewer bytes arrived.
int32_t read(const KXCB* cb, void* buf, uint32_t count);
// 0, or -8 when the call fails or writes fewer bytes.
int32_t write(const KXCB* cb, const void* buf, uint32_t count);
// Flush to stable storage; the plain form always reports 0.
int32_t flush(const KXCB* cb);
int32_t flush_checked(const KXCB* cb);
// Runtime allocation; on failure cb->deferred_error becomes -34.
void* allocate(KXCB* cb, size_t size);

// True when h is a stream handle (non-zero and registered).
bool is_stream(uint64_t h);
// Whether a name would denote a stream for this block right now.
bool names_stream(const KXCB* cb, const char* name);

// Byte-range locks on the block's file (exclusive, one attempt each).  A
// stream is open to one opener only, so its locks are always granted.
using os::LockResult;
LockResult lock(const KXCB* cb, uint32_t offset, uint32_t length);
// Waits until the range is the block's own.
LockResult lock_wait(const KXCB* cb, uint32_t offset, uint32_t length);
bool unlock(const KXCB* cb, uint32_t offset, uint32_t length);
bool lock_free(const KXCB* cb, uint32_t offset, uint32_t length);
void yield();

}  // namespace kx::storage
