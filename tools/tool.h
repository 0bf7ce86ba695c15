// The kindex command-line tool: declarations shared by its source files.
//
// The tool is a client of the public interface (kindex.h) only.  Where it
// needs facts the interface does not hand out (the node-level shape of the
// trees), it reads the file itself through the documented file layout; see
// filefacts.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kindex.h"

namespace kxtool {

// Exit codes of the program.
constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;  // the library refused, a file is unreadable, bad input
constexpr int ExitUsage = 2;   // the command line is wrong

// ---- Result codes in words (results.cpp) ------------------------------

// "KX_E_NOTINDEX (-5): header signature wrong"; an unknown code is shown as
// "result -77 (unknown)".
std::string result_text(int32_t code);
// The name alone ("KX_E_NOTINDEX"), or an empty string for an unknown code.
std::string result_name(int32_t code);
// What the library's io_error detail of a failed file step means, or an
// empty string when it is 0 or not known.
std::string io_error_text(int32_t io_error);
// What a check reason (-201..-214, left by bcheck in check_reason) means.
std::string check_reason_text(int32_t reason);

// One line on stderr: "kindex COMMAND: FILE: what".
void complain(const std::string& command, const std::string& file, const std::string& what);
// The same with the library's result code (and its io_error detail) appended.
void complain_result(const std::string& command, const std::string& file, const std::string& what,
                     int32_t code, int32_t io_error = 0);

// ---- Key types and segment lists (keytext.cpp) -------------------------

// "int32", "case-blind string", ...; "type 13 (not a key type)" otherwise.
std::string key_type_name(uint8_t key_type);
bool is_key_type(uint8_t key_type);

// A compound key's segment list as the tool takes it on its command line
// and writes it in dumps: comma-separated key types, each optionally
// followed by 'd' for a descending segment ("0,5d": a string, then an int32
// sorting descending).
struct Segment {
    uint8_t key_type = 0;
    bool descending = false;
};
using SegmentList = std::vector<Segment>;
bool parse_segment_list(const std::string& text, SegmentList& out, std::string& why);
std::string segment_list_text(const SegmentList& list);
// The library's form: descriptors ended by one of key type 31.
std::vector<KXSEGMENT> library_segments(const SegmentList& list);

// ---- Keys as text (keytext.cpp) ----------------------------------------

// Renders a key (host byte order, as the finding calls deliver it) of a
// root of the given key type; `segments` describes a compound key and may be
// null.  See the README ("The kindex tool") for the forms.
std::string render_key(uint8_t key_type, const SegmentList* segments, const uint8_t* key, int32_t length);
// Parses a key written by render_key from text at *pos; on success the key
// bytes (host order) are in out and *pos stands after the key.
bool parse_key(uint8_t key_type, const SegmentList* segments, const std::string& text, size_t* pos,
               std::vector<uint8_t>& out, std::string& why);
// Quoted and escaped text of raw bytes ("a\x01\"b").
std::string quote_bytes(const uint8_t* bytes, size_t n);
std::string hex_bytes(const uint8_t* bytes, size_t n);
bool parse_hex(const std::string& text, std::vector<uint8_t>& out);

// ---- Progress on a terminal (progress.cpp) -----------------------------

// A count (or a share done) shown on stderr, overwritten in place, at most
// a few times a second; only when stderr is a terminal and the user did not
// ask for quiet.  unit names what tick counts.
class Progress {
public:
    Progress(const char* what, bool quiet, const char* unit = "entries");
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void tick(uint64_t count);
    // The share done, 0..1, shown as a percentage.
    void share(double done);
    void done();

private:
    bool due();
    const char* what_;
    const char* unit_;
    bool on_;
    bool shown_ = false;
    uint64_t next_check_ = 0;
    double last_ = 0;
};

// Seconds on a monotonic clock.
double now_seconds();

// ---- Commands ----------------------------------------------------------

int cmd_demo(const std::vector<std::string>& args);
int cmd_stat(const std::vector<std::string>& args);
int cmd_dump(const std::vector<std::string>& args);
int cmd_load(const std::vector<std::string>& args);
int cmd_recover(const std::vector<std::string>& args);
int cmd_check(const std::vector<std::string>& args);
int cmd_salvage(const std::vector<std::string>& args);
int cmd_rebuild(const std::vector<std::string>& args);
int cmd_convert(const std::vector<std::string>& args);

// For a file whose header the tool could not read (why): opens it through
// the library to let the library name the fault, complains, and returns the
// exit code.
int explain_unreadable(const std::string& command, const std::string& path, const std::string& why);

// Prints the structural summary of an index file to out (the body of
// `kindex stat`); 0 on success, else an exit code after complaining.
int print_stat(const std::string& command, const std::string& path, FILE* out);

}  // namespace kxtool
