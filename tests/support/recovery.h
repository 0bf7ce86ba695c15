// Recovering a file left by a process that stopped in the middle of its
// work, and comparing file contents logically.
//
// recover() is the recipe every crash test follows: open the file without
// the marker check, and when the write-in-progress marker is set, put the
// file back from its image file (or, without one, refuse it: such a file
// stays marked, by design); then roll back a transaction left pending in
// the file, and check the trees.  Beside other openers of a shared file the
// marker is left for the restore to clear: until the file is put back, the
// other processes' write sections are refused.
//
// A Snapshot is every entry of roots 1..49 (root, key in host order, record
// value, whole payload), so two files of one byte order compare equal when
// they hold the same data, whatever their node layout.  Index files of the
// two byte orders compare equal too, except for payloads that hold numbers
// in the file's order (the stored records of a data file, root 49).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "kindex.h"

namespace kxtest {

struct RecoveryOptions {
    char mode = 'E';     // open mode; a shared recovery works beside other openers
    bool check = true;   // run check_trees after recovery
    bool rollback = true; // roll back a pending transaction (a mirror file
                          // keeps the log records it was copied with)
};

struct RecoveryReport {
    bool marker = false;      // the write-in-progress marker was set
    bool restored = false;    // ... and the image file put the file back
    bool refused = false;     // ... and there was no image file: left marked
    bool rolled_back = false; // a pending transaction was rolled back
    int32_t open_rc = 0;      // _bopen
    int32_t clrwrit_rc = 0;   // exclusive recovery only
    int32_t imgopen_rc = 0;
    int32_t imagerest_rc = 0;
    int32_t transtst_rc = 0;      // transtst before any rollback
    int32_t transroll_rc = 0;
    int32_t transtst_after = 0;   // transtst after the rollback
    std::string error;       // the first step that failed, "" none
    std::string tree_fault;  // check_trees after recovery, "" sound

    // Recovered (or left alone because nothing was wrong) with sound trees.
    bool ok() const { return !refused && error.empty() && tree_fault.empty(); }
    std::string describe() const;
};

// Recovers the index file at index_path, using the image file at image_path
// when it is not empty.  cb must be a zeroed block; unless the file was
// refused or a step failed, it is left open on the recovered file so that
// the caller can take a snapshot, and the caller closes it.
RecoveryReport recover(const std::string& index_path, const std::string& image_path, KXCB* cb,
                       const RecoveryOptions& options = {});

// True when the file's write-in-progress marker bytes are set (read from the
// file directly, either byte order).
bool marker_set(const std::string& path);

struct SnapEntry {
    int32_t root = 0;
    std::vector<uint8_t> key;  // key bytes in host order, terminator included
    uint32_t record = 0;
    std::vector<uint8_t> payload;
    auto operator<=>(const SnapEntry&) const = default;
};

using Snapshot = std::multiset<SnapEntry>;

// Every entry of roots first..last of an open file, walked with cfirst/cnext
// inside a read section; "" on success, else the call that failed.
std::string take_snapshot(KXCB* cb, Snapshot& out, int32_t first = 1, int32_t last = 49);

// One entry as text: root, key (as text when printable, else hex), record
// value, payload length and a hash of it.
std::string describe(const SnapEntry& e);

// The entries only in expected ("-") and only in found ("+"), at most
// max_lines of each, with the totals; "" when equal.
std::string diff(const Snapshot& expected, const Snapshot& found, size_t max_lines = 12);

}  // namespace kxtest
