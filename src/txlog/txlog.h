// The transaction log: a chain of log nodes inside the index file that
// records, for an open transaction, what rollback needs to take the
// changes back (undo records) and which nodes a mirror file must receive.
//
// Header fields: +550 log head (i32, -1 none), +554 released-log head (u32,
// ~0 none): the chains given up by transend(how 3), linked through their head
// nodes' released-chain links.
//
// Log node (a node slot like any other; its first 18 bytes have the shape of
// a node header and are converted by the byte-order flag like one):
//   0   u32  released-chain link: head node -1 (once released: the previous
//            released-log head); continuation node 0
//   4   u32  next log node, 0 while this is the last node of the chain
//   8   u32  owner: user slot that began the transaction (head) or appended
//            the node (continuation)
//   12  i16  kind: -2 head node, -3 continuation node
//   14  i16  record count
//   16  i16  free bytes of the record area, 2030 when empty
//   18       records back to back, then zero bytes to the end
//
// Log record (12 + L bytes):
//   0   u32  transaction serial (change counter at transbeg), file order
//   4   u16  record sequence (1 at transbeg), file order
//   6   u32  change counter when the record was appended, file order
//   10  u8   type
//   11  u8   body length L
//   12  L    body
// Types: 1 entry added and 2 entry removed (body: the whole leaf entry, so
// byte 11 is the entry's own length byte and byte 12 its root number);
// 3 transaction end; 4 write section begin; 5 write section end (every
// change logged before it is in the file); 6 node written (body: the node
// number, file order; transaction modes 1 and 2 only, for the mirror).
// Entries of root 50 (the lock tree) are never logged.
//
// The log buffer (work::log()) holds the current log node of whichever block
// appended last; records reach the file when the node fills up, at the end of
// every outermost write section, and before the buffer is handed to another
// node.  The append position follows from the node's free bytes.
#pragma once

#include <cstdint>

#include "indexfile/nodecache.h"
#include "kindex.h"

namespace kx {

namespace logrec {
constexpr uint8_t Added = 1;
constexpr uint8_t Removed = 2;
constexpr uint8_t End = 3;
constexpr uint8_t SectionBegin = 4;
constexpr uint8_t SectionEnd = 5;
constexpr uint8_t NodeWritten = 6;
constexpr int32_t HeaderBytes = 12;
}  // namespace logrec

namespace lognode {
constexpr int16_t HeadKind = -2;
constexpr int16_t ContinuationKind = -3;
constexpr int32_t RecordStart = 18;
constexpr int16_t EmptyFree = 2030;
constexpr uint32_t LockRoot = 50;
// Records take at least 12 bytes: no more fit in a node's record area.
constexpr int32_t MaxRecords = 169;
}  // namespace lognode

// A log chain as the walks follow it: the node after log node image x, or 0
// at its end.  A link beyond the high-water mark ends the chain, and so does
// a node that turns out not to be a continuation node (chain_member): after
// a restore from the image file, a log node the interrupted section had
// reused may still name a node that section appended, which the restore
// emptied or gave back to the free list.
uint32_t chain_next(const KXCB* cb, const uint8_t* x);
// Whether a node image is a log node of the kind its place in the chain
// asks for (the head, or a continuation).
bool chain_member(const uint8_t* x, bool head);

// The offsets of the records of a log node image, in order (at most
// lognode::MaxRecords); -30 when the count is out of range or a record runs
// past the node.
int32_t log_record_offsets(const uint8_t* x, int32_t* offsets, int32_t* count);

// Reads log node n into a work image (unless it holds it already) and takes
// the node out of the buffer pool, so that log nodes never stay there.  The
// log buffer's unwritten records go to their file before it takes another
// node.
int32_t logget(KXCB* cb, WorkImage& image, uint32_t n);
// Writes a work image as log node n directly to its slot, past the pool.
int32_t logput(KXCB* cb, WorkImage& image, uint32_t n);

// Appends a record of the given type; body points at the length byte.
int32_t translog_impl(KXCB* cb, uint8_t type, const uint8_t* body);

// Undoes one log record (its 12-byte header and body): 0, or a code.
int32_t undorec(KXCB* cb, const uint8_t* record);
// The mirror copy of the section that is ending (modes 1 and 2).
int32_t mirrorsync(KXCB* cb);

// An entry is about to go into (Added) or out of (Removed) a leaf: logged
// when an undo transaction is open.
inline int32_t log_entry(KXCB* cb, uint8_t type, const uint8_t* entry) {
    if (cb->trans_mode != 1 && cb->trans_mode != 3) return 0;
    return translog_impl(cb, type, entry);
}

// The outermost write section of a block with an open transaction began:
// the section start is noted and a section-begin record appended.
int32_t tx_section_begin(KXCB* cb);
// The outermost write section wrote everything back without error: the
// node-written records, the section-end record (writing the log node), and
// the mirror copy in modes 1 and 2.
int32_t tx_section_end(KXCB* cb);
// A node of the index file reached its slot (the node writer's hook).
void tx_node_written(KXCB* cb, uint32_t n);
// The block is being opened or closed: its process-wide transaction and
// image state is dropped.
void tx_forget(const KXCB* cb);
// The block lets its open transaction go, as a process that stopped would:
// the log stays in the file as the last section end left it (pending, for
// transroll), and later sections of the block add nothing to it.
void tx_let_go(KXCB* cb);

}  // namespace kx
