// kindex dump FILE and kindex load FILE: every entry of a file as text, and
// that text back into a file.
//
// A dump is lines of plain ASCII:
//
//   kindex-dump 1                 the format and its version
//   byte-order little             the byte order of the dumped file
//   custom 763132                 the custom data in hex (left out when none)
//   next-record 100001            the next record number
//   record-count 99999            the record count
//   free-records 1                the count of record numbers free for reuse
//   root 3 8 0,5d                 a typed root: number, key type byte, and
//                                 for a compound root its segment list when
//                                 the dump was given one
//   data                          the end of the header
//   3 ("garden",1999) 42 -        an entry: root, key (keytext.cpp), record
//                                 value, payload in hex ('-' when empty)
//   end 12345                     the number of entries: a dump cut short
//                                 is refused by load
//
// Entries come in entry order, root by root, each datum once with its whole
// payload.  Keys are written in their key type's form, numbers as numbers,
// so the text is the same for files of either byte order -- except the
// payloads, which the library keeps as the bytes it was given.  The records
// of a data file (root 49) hold their numbers in the file's byte order, so
// load refuses to put them into a file of the other byte order.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "filefacts.h"
#include "options.h"
#include "tool.h"

namespace kxtool {

namespace {

constexpr int32_t DataBufferBytes = 32768;  // 128 pieces of at most 244 bytes
constexpr int LockRoot = 50;

struct Options {
    std::string file;
    int root = 0;  // dump: 0 every root
    int byte_order = 0;  // load: 0 as the dump says, 1 little, 2 big
    bool quiet = false;
    SegmentOptions segments;
};

int usage(const std::string& command, const std::string& why) {
    complain(command, "", why + " (see: kindex help " + command + ")");
    return ExitUsage;
}

// Parses the arguments of dump or load; 0 or an exit code.
int parse_options(const std::string& command, const std::vector<std::string>& args, Options& o) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        std::string why;
        if (a == "--quiet" || a == "-q") {
            o.quiet = true;
        } else if (a == "--segments") {
            if (!has_value) return usage(command, "--segments needs a segment list");
            if (!o.segments.add(args[++i], why)) return usage(command, why);
        } else if (a == "--root" && command == "dump") {
            uint64_t r = 0;
            if (!has_value || !parse_number(args[++i], 50, &r) || r < 1)
                return usage(command, "--root needs a root number 1..50");
            o.root = static_cast<int>(r);
        } else if (a == "--byte-order" && command == "load") {
            const std::string v = has_value ? args[++i] : "";
            if (v == "little") {
                o.byte_order = 1;
            } else if (v == "big") {
                o.byte_order = 2;
            } else {
                return usage(command, "--byte-order takes big or little");
            }
        } else if (!a.empty() && a[0] == '-') {
            return usage(command, "unknown option " + a);
        } else if (o.file.empty()) {
            o.file = a;
        } else {
            return usage(command, "one file only");
        }
    }
    if (o.file.empty()) return usage(command, "no file named");
    return 0;
}

// ---- dump ----------------------------------------------------------------

class Output {
public:
    Output() : buf_(1 << 16) {}
    void put(const std::string& s) {
        if (s.size() > buf_.size() - used_) flush();
        if (s.size() > buf_.size()) {
            write_all(s.data(), s.size());
            return;
        }
        std::memcpy(buf_.data() + used_, s.data(), s.size());
        used_ += s.size();
    }
    bool flush() {
        write_all(buf_.data(), used_);
        used_ = 0;
        return ok_;
    }

private:
    void write_all(const char* p, size_t n) {
        while (ok_ && n > 0) {
            const ssize_t w = ::write(STDOUT_FILENO, p, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                ok_ = false;
                break;
            }
            p += w;
            n -= static_cast<size_t>(w);
        }
    }
    std::vector<char> buf_;
    size_t used_ = 0;
    bool ok_ = true;
};

}  // namespace

int cmd_dump(const std::vector<std::string>& args) {
    const std::string cmd = "dump";
    Options o;
    if (const int rc = parse_options(cmd, args, o)) return rc;
    HeaderFacts h;
    std::string why;
    if (!read_header_facts(o.file, h, why)) return explain_unreadable(cmd, o.file, why);

    // Segment lists belong to compound roots only.
    for (const auto& [root, list] : o.segments.by_root)
        if ((h.root_types[root] & 31) != 8)
            return usage(cmd, "root " + std::to_string(root) + " does not hold compound keys");
    RootList roots;
    std::map<int, const SegmentList*> segs;
    for (int r = 1; r <= 45; ++r) {
        const uint8_t type = h.root_types[r];
        if (type == 0 || type > 20) continue;
        const SegmentList* s = nullptr;
        if ((type & 31) == 8 && (o.root == 0 || o.root == r || o.segments.by_root.count(r))) s = o.segments.find(r);
        segs[r] = s;
        roots.add(r, type, s);
    }

    KXCB cb;
    std::memset(&cb, 0, sizeof cb);
    int32_t rc = bopen(&cb, o.file.c_str(), 'E', 1, roots.done());
    if (rc != KX_OK) {
        complain_result(cmd, o.file, "cannot open", rc, cb.io_error);
        return ExitFailed;
    }

    Output out;
    out.put("kindex-dump 1\n");
    out.put(std::string("byte-order ") + (h.little_endian ? "little" : "big") + "\n");
    uint8_t custom[100];
    if (cgetcust(&cb, custom, sizeof custom) == KX_OK && cb.datalen > 0)
        out.put("custom " + hex_bytes(custom, static_cast<size_t>(cb.datalen)) + "\n");
    const uint32_t next_record = cb.next_record, free_records = cb.free_records;
    cgetcnt(&cb);
    const uint32_t record_count = cb.recval;
    out.put("next-record " + std::to_string(next_record) + "\n");
    out.put("record-count " + std::to_string(record_count) + "\n");
    out.put("free-records " + std::to_string(free_records) + "\n");
    for (const auto& [r, s] : segs) {
        out.put("root " + std::to_string(r) + " " + std::to_string(h.root_types[r]));
        if (s != nullptr) out.put(" " + segment_list_text(*s));
        out.put("\n");
    }
    out.put("data\n");

    // The lock tree (root 50) holds the locks of processes that have the
    // file open: no data of the file, so only --root 50 shows it.
    std::unique_ptr<uint8_t[]> data(new uint8_t[DataBufferBytes]);
    uint64_t count = 0;
    Progress progress("dump", o.quiet);
    rc = KX_E_FAIL;
    for (int r = o.root != 0 ? o.root : 1; r <= (o.root != 0 ? o.root : LockRoot - 1); ++r) {
        const uint8_t type = cb.root_types[r] & 31;
        const auto it = segs.find(r);
        const SegmentList* s = it != segs.end() ? it->second : nullptr;
        for (rc = cfirst(&cb, r, data.get(), DataBufferBytes); rc == KX_OK;
             rc = cnext(&cb, r, data.get(), DataBufferBytes)) {
            const int32_t total = cb.datatotal, got = cb.datalen;
            if (total > got) {
                rc = KX_E_BUFSMALL;
                break;
            }
            const uint32_t record = cb.recval;
            uint8_t key[256];
            std::memcpy(key, cb.current_key, sizeof key);
            const int32_t key_len = cikeylen(&cb, r, key);
            std::string line = std::to_string(r) + " " + render_key(type, s, key, key_len) + " " +
                               std::to_string(record) + " " +
                               (got > 0 ? hex_bytes(data.get(), static_cast<size_t>(got)) : "-") + "\n";
            out.put(line);
            progress.tick(++count);
        }
        if (rc != KX_E_FAIL) {
            progress.done();
            complain_result(cmd, o.file, "reading root " + std::to_string(r) + " failed", rc);
            mclose(&cb);
            return ExitFailed;
        }
    }
    progress.done();
    out.put("end " + std::to_string(count) + "\n");
    mclose(&cb);
    if (!out.flush()) {
        complain(cmd, o.file, std::string("writing the dump failed: ") + std::strerror(errno));
        return ExitFailed;
    }
    return ExitOk;
}

// ---- load ----------------------------------------------------------------

namespace {

struct DumpHeader {
    bool little_endian = true;
    std::vector<uint8_t> custom;
    uint64_t next_record = 1, record_count = 0, free_records = 0;
    std::map<int, uint8_t> root_types;
    std::map<int, SegmentList> segments;
};

class Input {
public:
    ~Input() { std::free(line_); }
    // The next line without its line end; false at the end of the input.
    bool next(std::string& out) {
        const ssize_t n = getline(&line_, &cap_, stdin);
        if (n < 0) return false;
        ++number;
        size_t len = static_cast<size_t>(n);
        while (len > 0 && (line_[len - 1] == '\n' || line_[len - 1] == '\r')) --len;
        out.assign(line_, len);
        return true;
    }
    uint64_t number = 0;

private:
    char* line_ = nullptr;
    size_t cap_ = 0;
};

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> w;
    size_t i = 0;
    while (i < line.size()) {
        const size_t j = line.find(' ', i);
        w.push_back(line.substr(i, j == std::string::npos ? std::string::npos : j - i));
        if (j == std::string::npos) break;
        i = j + 1;
    }
    return w;
}

// Reads the header lines up to "data"; false with the reason in why.
bool read_dump_header(Input& in, DumpHeader& d, std::string& why) {
    std::string line;
    if (!in.next(line) || line != "kindex-dump 1") {
        why = "the input is not a kindex dump (no 'kindex-dump 1' line)";
        return false;
    }
    while (in.next(line)) {
        const std::vector<std::string> w = words(line);
        const std::string bad = "line " + std::to_string(in.number) + ": ";
        uint64_t v = 0;
        if (line == "data") return true;
        if (w.size() == 2 && w[0] == "byte-order" && (w[1] == "little" || w[1] == "big")) {
            d.little_endian = w[1] == "little";
        } else if (w.size() == 2 && w[0] == "custom") {
            if (!parse_hex(w[1], d.custom) || d.custom.size() > 100) {
                why = bad + "custom data must be 1 to 100 bytes in hex";
                return false;
            }
        } else if (w.size() == 2 && w[0] == "next-record" && parse_number(w[1], 0xFFFFFFFFu, &v)) {
            d.next_record = v;
        } else if (w.size() == 2 && w[0] == "record-count" && parse_number(w[1], 0xFFFFFFFFu, &v)) {
            d.record_count = v;
        } else if (w.size() == 2 && w[0] == "free-records" && parse_number(w[1], 0xFFFFFFFFu, &v)) {
            d.free_records = v;
        } else if ((w.size() == 3 || w.size() == 4) && w[0] == "root") {
            uint64_t root = 0, type = 0;
            if (!parse_number(w[1], 45, &root) || root < 1 || !parse_number(w[2], 20, &type) ||
                !is_key_type(static_cast<uint8_t>(type))) {
                why = bad + "a root line needs a root 1..45 and a key type";
                return false;
            }
            d.root_types[static_cast<int>(root)] = static_cast<uint8_t>(type);
            if (w.size() == 4) {
                SegmentList s;
                if (type != 8 || !parse_segment_list(w[3], s, why)) {
                    why = bad + (type != 8 ? "only a compound root has a segment list" : why);
                    return false;
                }
                d.segments[static_cast<int>(root)] = s;
            }
        } else {
            why = bad + "not a header line of a kindex dump: " + line.substr(0, 60);
            return false;
        }
    }
    why = "the dump ends before its 'data' line";
    return false;
}

}  // namespace

int cmd_load(const std::vector<std::string>& args) {
    const std::string cmd = "load";
    Options o;
    if (const int rc = parse_options(cmd, args, o)) return rc;
    Input in;
    DumpHeader d;
    std::string why;
    if (!read_dump_header(in, d, why)) {
        complain(cmd, o.file, "stdin: " + why);
        return ExitFailed;
    }
    // Segment lists from the command line come before those of the dump.
    if (o.segments.have_all)
        for (const auto& [r, t] : d.root_types)
            if ((t & 31) == 8) d.segments[r] = o.segments.all;
    for (const auto& [r, s] : o.segments.by_root) {
        const auto it = d.root_types.find(r);
        if (it == d.root_types.end() || (it->second & 31) != 8)
            return usage(cmd, "root " + std::to_string(r) + " is not a compound root of the dump");
        d.segments[r] = s;
    }
    RootList roots;
    for (const auto& [r, t] : d.root_types) {
        const auto it = d.segments.find(r);
        roots.add(r, t, it != d.segments.end() ? &it->second : nullptr);
    }
    const KXROOTLIST* list = roots.done();

    KXCB cb;
    std::memset(&cb, 0, sizeof cb);
    struct stat st {};
    const bool exists = ::stat(o.file.c_str(), &st) == 0;
    bool target_little;
    int32_t rc;
    if (exists) {
        // Refused here even where the system would let the user write it
        // (as for the superuser).
        if ((st.st_mode & 0222) == 0 || ::access(o.file.c_str(), W_OK) != 0) {
            complain_result(cmd, o.file, "cannot load into a read-only file", KX_E_READONLY);
            return ExitFailed;
        }
        HeaderFacts h;
        if (!read_header_facts(o.file, h, why)) return explain_unreadable(cmd, o.file, why);
        target_little = h.little_endian;
        if (o.byte_order != 0 && (o.byte_order == 1) != target_little) {
            complain(cmd, o.file,
                     std::string("the file exists and is ") + (target_little ? "little" : "big") +
                         "-endian; --byte-order applies only when load creates the file");
            return ExitFailed;
        }
        // Checked here as well as by the library: a refused read/write open
        // still leaves its mark (the change counter moves).
        for (const auto& [r, t] : d.root_types) {
            if (h.root_types[r] != t) {
                complain_result(cmd, o.file,
                                "cannot open: root " + std::to_string(r) + " has key type " +
                                    std::to_string(h.root_types[r]) + " in the file and " + std::to_string(t) +
                                    " in the dump",
                                KX_E_ROOTLIST);
                return ExitFailed;
            }
        }
        rc = bopen(&cb, o.file.c_str(), 'E', 2, list);
        if (rc != KX_OK) {
            complain_result(cmd, o.file, "cannot open", rc, cb.io_error);
            return ExitFailed;
        }
    } else {
        target_little = o.byte_order != 0 ? o.byte_order == 1 : d.little_endian;
        rc = bcreate(&cb, o.file.c_str(), 'E', target_little ? 1 : 2, list);
        if (rc != KX_OK) {
            complain_result(cmd, o.file, "cannot create", rc, cb.io_error);
            return ExitFailed;
        }
    }

    // Leaves the file as it was when load created it and failed.
    auto give_up = [&](const std::string& what, int32_t code) {
        cb.key = nullptr;
        endwrit(&cb);
        mclose(&cb);
        if (!exists) ciunlink(o.file.c_str());
        std::string where = "stdin line " + std::to_string(in.number) + ": " + what;
        if (code != 0) where += ": " + result_text(code);
        if (exists) where += " (the entries before that line were added)";
        complain(cmd, o.file, where);
        return ExitFailed;
    };

    // Flush mode 0 keeps changed nodes in the node cache rather than writing
    // and syncing them one by one; cflush writes everything at the end.
    rc = csetfile(&cb, 0);
    if (rc == KX_OK) rc = strtwrit(&cb);
    if (rc != KX_OK) {
        complain_result(cmd, o.file, "cannot start writing", rc);
        mclose(&cb);
        return ExitFailed;
    }
    std::string line;
    std::vector<uint8_t> key, payload;
    uint64_t count = 0;
    bool ended = false;
    Progress progress("load", o.quiet);
    while (in.next(line)) {
        if (ended) return give_up("text after the end line", 0);
        if (line.compare(0, 4, "end ") == 0) {
            uint64_t n = 0;
            if (!parse_number(line.substr(4), UINT64_MAX, &n) || n != count)
                return give_up("the end line counts other entries than the dump holds (" + std::to_string(count) + ")",
                               0);
            ended = true;
            continue;
        }
        // ROOT KEY RECORD PAYLOAD
        size_t pos = line.find(' ');
        uint64_t root = 0;
        if (pos == std::string::npos || !parse_number(line.substr(0, pos), 50, &root) || root < 1)
            return give_up("an entry must start with a root number 1..50", 0);
        ++pos;
        const uint8_t type = cb.root_types[root] & 31;
        const auto seg = d.segments.find(static_cast<int>(root));
        const SegmentList* segs = seg != d.segments.end() ? &seg->second : nullptr;
        if (type == 8 && segs == nullptr)
            return give_up("root " + std::to_string(root) +
                               " holds compound keys, which the library can only order with a segment list: "
                               "dump with --segments, or give load --segments",
                           0);
        if (type == 8 && line.compare(pos, 2, "x:") == 0 && d.little_endian != host_is_little())
            return give_up("a compound key as raw bytes in the other byte order: dump with --segments", 0);
        if (root == 49 && d.little_endian != target_little)
            return give_up("data file records (root 49) keep their numbers in the file's byte order, and turning "
                           "them needs the data list: load them into a file of the dump's byte order",
                           0);
        if (!parse_key(type, segs, line, &pos, key, why)) return give_up("key: " + why, 0);
        const std::vector<std::string> rest = words(pos < line.size() ? line.substr(pos) : "");
        uint64_t record = 0;
        if (rest.size() != 3 || !rest[0].empty() || !parse_number(rest[1], 0xFFFFFFFFu, &record))
            return give_up("an entry is: root, key, record value, payload", 0);
        payload.clear();
        if (rest[2] != "-" && (!parse_hex(rest[2], payload) || payload.empty()))
            return give_up("the payload must be hex digits or '-'", 0);
        cb.key_byte_order = 1;  // the key is in host order
        rc = cdupadd(&cb, static_cast<int32_t>(root), key.data(), static_cast<uint32_t>(record),
                     payload.empty() ? nullptr : payload.data(), static_cast<int32_t>(payload.size()));
        if (rc != KX_OK) return give_up("cannot add the entry", rc);
        progress.tick(++count);
    }
    progress.done();
    if (!ended) return give_up("the dump ends without its end line (cut short?)", 0);

    if (!exists) {
        // The header values of the dumped file.  The free record count has
        // no call of its own: it is the header mirror field of the control
        // block, written back at the close.
        if (!d.custom.empty() && (rc = csetcust(&cb, d.custom.data(), static_cast<int32_t>(d.custom.size()))) != KX_OK)
            return give_up("cannot set the custom data", rc);
        if ((rc = csetrec(&cb, static_cast<uint32_t>(d.next_record))) != KX_OK)
            return give_up("cannot set the next record number", rc);
        if ((rc = csetcnt(&cb, static_cast<uint32_t>(d.record_count))) != KX_OK)
            return give_up("cannot set the record count", rc);
        cb.free_records = static_cast<uint32_t>(d.free_records);
        cb.header_dirty = 1;
    }
    cb.key = nullptr;
    rc = endwrit(&cb);
    if (rc == KX_OK) rc = cflush(&cb);
    const int32_t closed = mclose(&cb);
    if (rc == KX_OK) rc = closed;
    if (rc != KX_OK) {
        complain_result(cmd, o.file, "cannot finish the file", rc);
        return ExitFailed;
    }
    return ExitOk;
}

}  // namespace kxtool
