// Record changes of a data file: adding, updating and deleting records while
// the record tree (root 49: empty key, record number, stored record), the key
// trees (roots 1..45: the field's key, record number, no payload), the
// free-number tree (root 48) and the record count stay in step.  Each call
// runs in one write section and takes back what it changed when a later step
// fails, so a failed call leaves the file as it was.
#pragma once

#include <cstdint>

#include "kindex.h"

namespace kx {

constexpr int32_t RecordTree = 49;
constexpr int32_t FreeNumberTree = 48;

// Takes a record number: preset, reused lowest-first, or new.  False when
// none can be had; *preset tells whether it was the preset number.
bool newrecno(KXCB* cb, uint32_t* number, bool* preset);
// Gives a number back for reuse (when the reuse option is set).
void freerecno(KXCB* cb, uint32_t number);
void take_free_number(KXCB* cb, uint32_t number);
int32_t addkeys(KXCB* cb, const uint8_t* rec, int32_t length, uint32_t recno, const KXDLIST* list);
int32_t delkeys(KXCB* cb, const uint8_t* rec, uint32_t recno, const KXDLIST* list, int32_t length);
// delkeys without the checksum tests: takes out the keys a record's fields
// give, whatever its checksums say (a record whose add failed half-way).
int32_t removekeys(KXCB* cb, const uint8_t* rec, uint32_t recno, const KXDLIST* list, int32_t length);
// Puts back the stored record's keys for the keyed fields up to index last.
void undokeys(KXCB* cb, const uint8_t* rec, int32_t length, uint32_t recno, const KXDLIST* list, int32_t last);
int32_t updkeys(KXCB* cb, const uint8_t* rec, uint32_t recno, const KXDLIST* list, int32_t length);

}  // namespace kx
