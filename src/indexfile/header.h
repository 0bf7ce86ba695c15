// The index file: its layout and its 558-byte header.
//
//   bytes 0..557       header (below)
//   bytes 558..1023    lock region: never written except the write-in-progress
//                      marker.  Byte-range locks use 559..688 (user slot bytes),
//                      689..818 (read-lock bytes), 819 (gate), 820..949 (queue)
//   bytes 1010..1011   write-in-progress marker: BD 33 while a flush-mode-4
//                      write section has written to the file, 0 once it ended
//   1024 + 2048 * n    node n, for n = 0 .. node count - 1
//
// Header (all 4-byte fields are u32 in the file's byte order except the
// byte-order word; byte tables are single bytes):
//   0    change counter (never 0 once written)   4   signature 'V' (86)
//   8    byte-order word: 1 in the file's order  12  main root node
//   16   'A' (65)   20 'L' (76)   24 'I' (73)     28  main tree height
//   32   'D' (68)                                 36  next new node
//   40   'A' (65)                                 44  next record number
//   48   'T' (84)                                 52  node count
//   56   '1' (49)                                 60  free-list head (~0 empty)
//   64   free record count   68 record count      72  custom data length (i32)
//   76   16 reserved zero bytes                   92  custom data (100 bytes)
//   192  root type table, byte r for root r (52)  244 4 reserved zero bytes
//   248  tree slot map, byte r-1 for root r (52)  300 tree heights, byte s-1 (50)
//   350  tree root nodes, word s-1 for slot s (50 words)
//   550  log head (i32, -1 none)                  554 released-log head
#pragma once

#include <cstdint>

#include "kindex.h"

namespace kx {

constexpr uint32_t HeaderSize = 558;
constexpr uint32_t NodeSize = 2048;
constexpr uint32_t NodeBase = 1024;
constexpr uint32_t MarkerOffset = 1010;
constexpr uint16_t MarkerValue = 13245;  // bytes BD 33 in little-endian hosts

namespace hdr {
constexpr int ChangeCounter = 0;
constexpr int ByteOrder = 8;
constexpr int MainRoot = 12;
constexpr int MainHeight = 28;
constexpr int NextNode = 36;
constexpr int NextRecord = 44;
constexpr int NodeCount = 52;
constexpr int FreeHead = 60;
constexpr int FreeRecords = 64;
constexpr int RecordCount = 68;
constexpr int CustomLength = 72;
constexpr int Custom = 92;
constexpr int RootTypes = 192;
constexpr int SlotMap = 248;
constexpr int SlotHeights = 300;
constexpr int SlotRoots = 350;
constexpr int LogHead = 550;
constexpr int ReleasedLogHead = 554;
// Signature words: offset and letter.
constexpr struct {
    int offset;
    uint32_t letter;
} Signatures[] = {{4, 'V'}, {16, 'A'}, {20, 'L'}, {24, 'I'}, {32, 'D'}, {40, 'A'}, {48, 'T'}, {56, '1'}};
}  // namespace hdr

// The process-wide last I/O error: the code of the latest header, counter or
// marker input/output step.
int32_t& last_io_error();

// Builds the header image of cb in host order (signatures, reserved zeros).
void build_header(const KXCB* cb, uint8_t* out);
// Loads a host-order header image into cb's mirror fields; clears the
// header dirty flag.
void load_header(KXCB* cb, const uint8_t* image);
// Reads, converts, checks and loads the header: 0, -1/-9 (file layer), -5.
int32_t read_header(KXCB* cb);
// Writes the header mirror back (marker step, change counter never 0).
int32_t hdrwrite(KXCB* cb);

}  // namespace kx
