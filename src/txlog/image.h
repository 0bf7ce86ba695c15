// Image backup: the image file of an index file holds the header as it was
// when the latest outermost write section began and the previous contents of
// the nodes that section changed, so that a stop in the middle of the section
// can be undone with imagerest.
//
// Image file:
//   0                  558-byte header image (the index header at the start
//                      of the section, with that section's change counter)
//   1024 + 2084 * i    before-image record i:
//     0   8    owning control block (meaningless on disk)
//     8   8    file handle of the index file (meaningless on disk)
//     16  u32  node number, host order
//     20  u32  dirty flag of the buffer it came from
//     24  8    check sum of bytes 16..2083 (a record whose sum differs was
//              cut short by a power loss and ends the valid records)
//     32  u32  image generation: the change counter of the section
//     36  2048 the node image, node header in the file's byte order
//
// Rules that make a restore sound:
//  * every node that existed when the section began gets a before-image
//    before its first change in the section, whether its buffer is in the
//    pool or not (then its old content is read from the file), log nodes
//    included; nodes allocated beyond the old high-water mark need none (the
//    restore empties everything from there on);
//  * a node gets one before-image per section;
//  * the image file reaches stable storage before the index file is first
//    written in the section (marker, node or header), and before a node is
//    overwritten while that node's own before-image is unflushed; a flush
//    covers every record written before it.
#pragma once

#include <cstdint>

#include "kindex.h"

namespace kx {

// An outermost write section of a block with an image file began.
void image_section_begin(KXCB* cb);
// Whether node n still needs its before-image in this section.
bool image_wanted(const KXCB* cb, uint32_t n);
// Node n got its before-image in this section, as record `record` (NoRecord:
// its content at the section's start needs no restore).
void image_taken(const KXCB* cb, uint32_t n, uint32_t record);
// Before the index file's header or marker is written: flushes the image
// file unless its header (and the records so far) are on stable storage.
int32_t image_ahead(KXCB* cb);
// Before node n is overwritten: flushes the image file when the header or
// node n's own before-image is not yet on stable storage.
int32_t image_ahead_of(KXCB* cb, uint32_t n);
// The check sum kept in a before-image record.
uint64_t image_record_sum(const uint8_t* record);

}  // namespace kx
