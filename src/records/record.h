// Data lists, the stored record, and the keys of a record.
//
// A data file keeps one record per record tree entry.  The caller describes
// the fields of a record with a data list; this module builds the stored
// record from the caller's variables, reads a stored record back into them,
// and builds each key of a record, either from the variables or from a
// stored record.
//
// Data list entry (KXDLIST, 14 bytes, in the caller's memory).  The list
// ends with an entry whose type is 'E'; nothing else of that entry is read.
// The position of an entry (from 0) is the field's index, which stored
// records refer to, so a list keeps its order for the life of the file.
//
//   offset  width  meaning
//   0       1      field type letter (table below)
//   1       1      key type byte: the root's byte in the root type table,
//                  'S' for key type 0, or 'N' when the field has no key
//   2       1      duplicates: 'D' allowed, 'U' unique, 'N' none
//   3       2      signed 16-bit length: 'B' the byte count of the variable
//                  (set before writing, set by reading); 'S' the size of the
//                  caller's string buffer, zero included.  0..31232, at most
//                  242 for a keyed field
//   5       1      root number of the field's key tree, 1..45; 0 for none
//   6       8      address of the caller's variable
//
// Field types:
//
//   letter  variable                 stored value                 left out (when not keyed) when
//   'B'     bytes, count in length   16-bit count, then bytes     count is 0 or less
//   'D'     double                   8 bytes                      value == 0.0 (a NaN is kept)
//   'F'     float                    4 bytes                      value == 0.0 (a NaN is kept)
//   'H'     16-bit integer           2 bytes                      0
//   'I'     16-bit integer           2 bytes                      0
//   'L'     32-bit integer           4 bytes                      0
//   'M'     6 bytes                  6 bytes, never turned        all six bytes 0
//   'S'     zero-terminated string   the string and its zero      first byte 0
//   'U'     16-bit unsigned          2 bytes                      0
//   'X'     none: a compound key     the index alone, when keyed  always, when not keyed
//   'E'     end of the list
//
// Any other letter stores nothing but its index when keyed and is left out
// otherwise.  A field whose key type byte is not 'N' is always stored, even
// when empty, so that each of its keys exists for every record.
//
// Stored record (the payload of a record tree entry, built in the record
// buffer):
//
//   offset  width  meaning
//   0       2      data list checksum of the list the record was written with
//   2       2      record checksum over bytes 4 .. end
//   4       1      record tag (the control block's record tag when written)
//   5       ...    the stored fields in increasing index order: a 16-bit
//                  field index, then the stored value
//   end     2      field index -1 (FF FF): the end mark
//
// The record's length is the offset after the end mark; the smallest record
// (nothing stored) is 7 bytes.  The checksums, field indexes, 'B' counts and
// the values of 'D', 'F', 'H', 'I', 'L' and 'U' are in the file's byte order;
// 'M', strings and bytes are stored as they are.
//
// Checksums (both belong to the stored format and keep their exact form):
//   data list:  h = 0; per entry before 'E':
//               h = ((((h + type) * 2 + key type) * 2 + dups) * 2 + root) * 2,
//               each step modulo 65536; the result is h as a signed 16-bit
//               value.  Lengths and addresses do not count, and entries five
//               or more places before the end no longer count at all.
//   record:     h = 0; per byte b from offset 4 to the last: h = (h + b) * 2
//               modulo 65536.  Only the low 8 bits are compared on reading,
//               so only the last 7 bytes of a record are really checked.
//
// Compound keys (key type 8) are built from the segment list of the 'X'
// field's root: each segment takes the value of the field it names, cut to
// the segment's largest length m (0 means 242): key types 0 and 1 the string
// cut to m characters and a zero, 2 and 16..20 a length byte min(count, m)
// and the bytes, fixed types their width.  A field that is not stored gives
// the segment's empty form (a zero byte, a zero length byte, or zero bytes
// of the width).  The key is a length byte n, then the segments; n stays
// below 242.  The key built from the caller's variables is the one the
// stored record of those variables gives, byte for byte (numbers aside,
// which the stored form holds in the file's order).
//
// Faults this module turns into result codes rather than trusting the input
// (they go beyond what a well-formed list and record need):
//   - A list is walked at most ListEntryLimit (1000) entries; one without
//     'E' among them gives -22 (dlcheck, dlcheckw, packrec, readrec,
//     record_field_key, reckey) or -14 (dsetkey with the check option
//     off).  checkdlist sums at most those 1000 entries.
//   - dlcheck and dlcheckw always validate; the callers decide by the data
//     list check option whether to call them (dsetkey does so itself).  A
//     root byte beyond the root type table (above 51) is not compared with
//     the table, so that the root test reports it as -27.
//   - A string variable is read only within its entry's length: an 'S'
//     entry whose buffer has no zero among its length bytes (a length of 0
//     or less included) gives -26 in dlcheckw, packrec and dsetkey, and in
//     compound keys built from variables.
//   - dsetkey: an 'S' key of 242 or more characters and a 'B' key of 242 or
//     more bytes give -26 (the key would not fit a tree); a 'B' length below
//     0 gives the empty key (zero length byte).  The key buffer is written
//     only on success, and never more than KeyOutputBytes bytes.
//   - packrec: a keyed 'B' field with a length below 0 is stored with count
//     0.  A list without 'E' gives -22, a string as above -26.
//   - readrec: a record shorter than 7 bytes, cut short anywhere (a field
//     index, a value, a 'B' count running past `length`), a stored string
//     with no zero before `length`, or a 'B' count above 32767 gives -21;
//     bytes after the end mark are ignored.  A 'B' field copies at most the
//     entry's current length (the caller's capacity), sets the length to
//     the stored count, and when the count was larger the rest of the
//     record is still read and the result is -28.  An 'S' field is written
//     with at most length - 1 characters and a zero; with a length of 0 or
//     less nothing is written.
//   - Segments: a segment naming a field outside the list, or a field
//     whose type cannot give the segment's key type (strings need 'S',
//     counted types 'B', fixed types a field of the same width), gives -37,
//     the same from variables and from stored records.
//   - record_field_key builds a key of the root's key type (the low 5 bits
//     of the root type table entry of the field's root); a root outside
//     1..45 gives -27, a field type that cannot give that key type (as for
//     segments, 'X' for type 8) or a root of a non-key type gives -23.  A
//     string key follows the counted rule: 242 characters or more give -26
//     when adding and are cut to 241 otherwise.
//   - A null variable address reads as zero or empty and is never written.
#pragma once

#include <cstdint>

#include "kindex.h"

namespace kx {

// Entries of a data list walked at most before its 'E' entry.
constexpr int32_t ListEntryLimit = 1000;
// Checksums and tag before the first stored field.
constexpr int32_t RecordHeaderBytes = 5;
constexpr int32_t EndMarkBytes = 2;
// A record with nothing stored.
constexpr int32_t EmptyRecordBytes = RecordHeaderBytes + EndMarkBytes;
// Largest length of a data list entry, and of a keyed one.
constexpr int32_t LongestFieldLength = 31232;
constexpr int32_t LongestKeyedLength = 242;
// Bytes a caller's key buffer must hold; no key built here is longer.
constexpr int32_t KeyOutputBytes = 243;
// A key's length byte n, or a string key's characters, stay below this.
constexpr int32_t KeyBodyLimit = 242;
// Largest 'B' count a stored record can hold (the entry length is 16-bit).
constexpr int32_t LongestStoredCount = 32767;

constexpr char EndOfList = 'E';
constexpr uint8_t NoKey = 'N';
// Key type byte meaning key type 0.
constexpr uint8_t StringKey = 'S';

// Width of the stored value of a fixed-width field type ('D' 8, 'F' and 'L'
// 4, 'H', 'I' and 'U' 2, 'M' 6); 0 for the others.
int32_t fixed_field_width(char type);
// True for the letters B D F H I L M S U X E.
bool is_field_type(char type);

// Entries before 'E', or -1 when there is none among ListEntryLimit entries
// (or the list is null).
int32_t list_field_count(const KXDLIST* list);

// Record checksum of `count` bytes (the bytes from offset 4 of a record).
uint16_t record_checksum(const uint8_t* bytes, int32_t count);

// Light validation of a list: per entry, field type (-22), key type byte
// against the root type table (-23), duplicates byte (-24), root (-27).
int32_t dlcheck(KXCB* cb, const KXDLIST* list);
// Full validation: per entry -22, -23, -24, then the length (-25), an 'S'
// string that does not fit its entry (-26), the root (-27).
int32_t dlcheckw(KXCB* cb, const KXDLIST* list);

// Builds the stored record of the list's variables in out (capacity size,
// tag as given) and returns its length; -1 when it does not fit, -22 for a
// list without 'E', -26 for a string that does not fit its entry.
int32_t packrec(KXCB* cb, uint8_t* out, const KXDLIST* list, uint8_t tag, int32_t size);

// Checks the stored record (its first `length` bytes) and copies its fields
// into the list's variables; sets the control block's record tag.  0, or
// -21 (checksum, damaged or cut short), -20 (data list checksum with the
// check option set, field index out of order or range), -22 (list without
// 'E'), -28 (a 'B' field larger than its entry's length; the rest is read).
// Sets the length of the 'B' entries it reads, so the list is written.
int32_t readrec(const uint8_t* rec, KXDLIST* list, KXCB* cb, int32_t length);

// The compound key of field `index` built from a stored record, numbers in
// the file's byte order, into key (at most KeyOutputBytes bytes).  0, or
// -14 (index outside the list), -20/-21 (damaged record), -22, -26, -37.
int32_t reckey(KXCB* cb, const uint8_t* rec, int32_t rec_length, const KXDLIST* list,
               int32_t index, uint8_t* key);

// The key of field `index` of a stored record, in host byte order: 0 and the
// key, 1 when the field has no key (key type byte 'N'), or a negative code.
// Counted and string keys of 242 or more bytes give -26 when `adding`, and
// are cut to 241 otherwise.
int32_t record_field_key(KXCB* cb, const uint8_t* rec, int32_t rec_length, const KXDLIST* list,
                         int32_t index, uint8_t* key, bool adding);

// One field of a stored record, as a walk finds it.
struct StoredField {
    int32_t index = -1;
    // The value: the bytes after a 'B' count, a string without its zero, or
    // a fixed-width value; size is the byte count, character count or width.
    int32_t data_offset = 0;
    int32_t data_size = 0;
};

// Walks the stored fields of a record from the first to the end mark,
// checking the structure as it goes.
class StoredFieldWalk {
public:
    StoredFieldWalk(const uint8_t* rec, int32_t length, const KXDLIST* list, int32_t field_count,
                    uint8_t order_flag);
    // 1 and the next field; 0 at the end mark; -20 for an index out of order
    // or range, -21 for a record cut short or damaged.
    int32_t next(StoredField& field);

private:
    const uint8_t* rec_;
    int32_t length_;
    const KXDLIST* list_;
    int32_t field_count_;
    uint8_t flag_;
    int32_t pos_ = RecordHeaderBytes;
    int32_t previous_ = -1;
};

// Finds the stored field with the given index: 1 and the field, 0 when it is
// not stored, or the walk's error.
int32_t find_stored_field(const uint8_t* rec, int32_t length, const KXDLIST* list,
                          int32_t field_count, uint8_t order_flag, int32_t index,
                          StoredField& found);

}  // namespace kx
