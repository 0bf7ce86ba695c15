// The maintenance commands of the tool:
//
//   kindex check FILE              verify the trees and the free list (bcheck)
//   kindex salvage FILE SALVAGE    move misplaced entries out (ccheck)
//   kindex rebuild SRC DST         a sound copy from whatever leaves can be
//                                  read (cbuild, or bbuild to carry a
//                                  pending transaction over), then checked
//   kindex convert OLD NEW         an older-format file into a new one
//
// Each shows its progress on stderr when that is a terminal, says in words
// what it found, and names the library's result code when a step fails.
#include <unistd.h>

#include <cstring>

#include "filefacts.h"
#include "options.h"
#include "tool.h"

namespace kxtool {

namespace {

constexpr int32_t DataBufferBytes = 32768;  // 128 pieces of at most 244 bytes
constexpr int LogRoot = 46;                 // the library's own log index entries
constexpr int LockRoot = 50;

int usage(const std::string& command, const std::string& why) {
    complain(command, "", why + " (see: kindex help " + command + ")");
    return ExitUsage;
}

// The progress display the check callbacks feed.
Progress* g_progress = nullptr;

int32_t on_check(KXCB* /*cb*/, int32_t counter) {
    if (g_progress != nullptr && counter >= 0) g_progress->tick(static_cast<uint64_t>(counter));
    return 0;
}

int32_t on_build(KXCB* /*work*/, uint32_t counter, void* /*node*/, int32_t /*status*/) {
    if (g_progress != nullptr) g_progress->tick(counter);
    return 0;
}

struct ProgressScope {
    explicit ProgressScope(Progress& p) { g_progress = &p; }
    ~ProgressScope() { g_progress = nullptr; }
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;
};

// Files named on the command line and --quiet; other options are the
// caller's (extra receives them).
struct Args {
    std::vector<std::string> files;
    bool quiet = false;
};

// Splits the arguments; 0 or an exit code.  handle(option, value) takes the
// command's own options (value is the next argument, or empty) and answers
// how many arguments it used (0: unknown option).
template <typename F>
int split_args(const std::string& command, const std::vector<std::string>& args, size_t files, Args& out,
               F handle) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--quiet" || a == "-q") {
            out.quiet = true;
        } else if (!a.empty() && a[0] == '-') {
            const std::string value = i + 1 < args.size() ? args[i + 1] : "";
            std::string why;
            const int used = handle(a, value, why);
            if (used < 0) return usage(command, why);
            if (used == 0) return usage(command, "unknown option " + a);
            i += static_cast<size_t>(used - 1);
        } else {
            out.files.push_back(a);
        }
    }
    if (out.files.size() != files)
        return usage(command, files == 1 ? "name one file" : "name " + std::to_string(files) + " files");
    return 0;
}

int32_t close_quietly(KXCB& cb) { return cb.state == 'O' ? mclose(&cb) : KX_OK; }

// The data each root of an open file holds (roots 1..49 but the log index);
// false when a walk fails, with the code in *rc.
bool count_data(KXCB& cb, uint64_t* data, int* roots, int32_t* rc) {
    std::vector<uint8_t> buf(DataBufferBytes);
    *data = 0;
    *roots = 0;
    for (int r = 1; r < LockRoot; ++r) {
        if (r == LogRoot) continue;
        uint64_t n = 0;
        int32_t step = cfirst(&cb, r, buf.data(), DataBufferBytes);
        while (step == KX_OK) {
            ++n;
            step = cnext(&cb, r, buf.data(), DataBufferBytes);
        }
        if (step != KX_E_FAIL) {
            *rc = step;
            return false;
        }
        *data += n;
        if (n > 0) ++*roots;
    }
    return true;
}

std::string plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The root list a file is opened with for a check or a rebuild: the root
// types of its header, with the segment lists of its compound roots (their
// keys cannot be put in order without one).  False, with a complaint, when
// a compound root has none.
bool typed_roots(const std::string& command, const std::string& path, const HeaderFacts& h,
                 const SegmentOptions& segments, RootList& roots) {
    for (int r = 1; r <= 45; ++r) {
        if ((h.root_types[r] & 31) == 8 && segments.find(r) == nullptr) {
            complain(command, path,
                     "root " + std::to_string(r) +
                         " has compound keys: its segment list is needed to put them in order (--segments [R=]TYPES)");
            return false;
        }
        if (h.root_types[r] != 0) roots.add(r, h.root_types[r], segments.find(r));
    }
    roots.done();
    return true;
}

// Opens an index file for a check: shared, so that other users of the file
// go on reading while the check runs (it runs in one read section, which
// keeps writers out meanwhile), read/write when the file allows it, else
// read-only.
int32_t open_for_check(KXCB& cb, const std::string& path, const KXROOTLIST* roots) {
    std::memset(&cb, 0, sizeof cb);
    int32_t rc = bopen(&cb, path.c_str(), 'S', 2, roots);
    if (rc == KX_OK) return rc;
    std::memset(&cb, 0, sizeof cb);
    const int32_t ro = bopen(&cb, path.c_str(), 'S', 1, roots);
    return ro == KX_OK ? ro : rc;
}

// The --segments option, for split_args.
auto segments_option(SegmentOptions& segments) {
    return [&segments](const std::string& opt, const std::string& value, std::string& why) {
        if (opt != "--segments") return 0;
        if (value.empty()) {
            why = "--segments needs a segment list";
            return -1;
        }
        return segments.add(value, why) ? 2 : -1;
    };
}

// Runs bcheck on an open file and prints its finding; true when sound.
// *rc receives a failure that is not a fault of the file.
bool check_open_file(const std::string& command, KXCB& cb, const std::string& path, bool quiet, int32_t* rc) {
    Progress progress("checking", quiet, "nodes");
    ProgressScope scope(progress);
    *rc = z_bcheck(&cb, on_check);
    progress.done();
    if (*rc == KX_OK) {
        std::printf("%s: sound\n", path.c_str());
        return true;
    }
    if (*rc == KX_E_FAIL && cb.check_reason <= -201 && cb.check_reason >= -214) {
        std::string where = cb.check_position >= 0 ? " at node " + std::to_string(cb.check_position) : "";
        std::printf("%s: damaged%s: %s\n", path.c_str(), where.c_str(), check_reason_text(cb.check_reason).c_str());
        *rc = KX_OK;
        return false;
    }
    std::fflush(stdout);
    complain_result(command, path, "the check failed", *rc, cb.io_error);
    return false;
}

// ---- check ---------------------------------------------------------------

int run_check(const std::vector<std::string>& args) {
    const std::string command = "check";
    Args a;
    SegmentOptions segments;
    if (const int u = split_args(command, args, 1, a, segments_option(segments))) return u;
    const std::string& path = a.files[0];
    HeaderFacts h;
    std::string why;
    if (!read_header_facts(path, h, why)) return explain_unreadable(command, path, why);
    RootList roots;
    if (!typed_roots(command, path, h, segments, roots)) return ExitUsage;
    KXCB cb;
    int32_t rc = open_for_check(cb, path, roots.list.data());
    if (rc != KX_OK) {
        complain_result(command, path, "cannot open", rc, cb.io_error);
        return ExitFailed;
    }
    const bool sound = check_open_file(command, cb, path, a.quiet, &rc);
    const int32_t closed = mclose(&cb);
    if (rc != KX_OK) return ExitFailed;
    if (closed != KX_OK) {
        complain_result(command, path, "cannot close", closed, cb.io_error);
        return ExitFailed;
    }
    return sound ? ExitOk : ExitFailed;
}

// ---- salvage -------------------------------------------------------------

int run_salvage(const std::vector<std::string>& args) {
    const std::string command = "salvage";
    Args a;
    SegmentOptions segments;
    if (const int u = split_args(command, args, 2, a, segments_option(segments))) return u;
    const std::string& path = a.files[0];
    const std::string& salvage = a.files[1];
    HeaderFacts h;
    std::string why;
    if (!read_header_facts(path, h, why)) return explain_unreadable(command, path, why);
    RootList roots;
    if (!typed_roots(command, path, h, segments, roots)) return ExitUsage;

    int32_t rc = 0;
    {
        Progress progress("salvaging", a.quiet, "nodes");
        ProgressScope scope(progress);
        rc = z_ccheck(path.c_str(), salvage.c_str(), roots.list.data(), on_check);
    }
    if (rc != KX_OK && rc != KX_E_WALK) {
        complain_result(command, path, "salvage failed", rc);
        return ExitFailed;
    }
    // How much the salvage file received.
    KXCB s;
    std::memset(&s, 0, sizeof s);
    int32_t src = bopen(&s, salvage.c_str(), 'E', 1, roots.list.data());
    uint64_t moved = 0;
    int moved_roots = 0;
    if (src == KX_OK && !count_data(s, &moved, &moved_roots, &src)) moved = 0;
    close_quietly(s);
    if (src != KX_OK) {
        complain_result(command, salvage, "cannot read the salvage file", src, s.io_error);
        return ExitFailed;
    }
    if (rc == KX_OK) {
        std::printf("%s: nothing out of order; %s was created empty\n", path.c_str(), salvage.c_str());
        return ExitOk;
    }
    std::printf("%s: moved %s to %s\n", path.c_str(), plural(moved, "datum", "data").c_str(), salvage.c_str());
    // What is left: a tree that could not be walked is not repaired here.
    KXCB cb;
    rc = open_for_check(cb, path, roots.list.data());
    if (rc != KX_OK) {
        complain_result(command, path, "cannot open it again to check it", rc, cb.io_error);
        return ExitFailed;
    }
    const bool sound = check_open_file(command, cb, path, a.quiet, &rc);
    close_quietly(cb);
    if (rc != KX_OK) return ExitFailed;
    if (!sound) {
        std::printf("%s: still damaged; `kindex rebuild` makes a sound copy of what can be read\n", path.c_str());
        return ExitFailed;
    }
    return ExitOk;
}

// ---- rebuild -------------------------------------------------------------

// The bbuild way: the target is created here (root types of the source's
// header, the --segments lists, roots with trees of their own), then filled
// and closed by z_bbuild, which also carries a pending transaction over.
int32_t rebuild_into_new(const std::string& src, const std::string& dst, const HeaderFacts& h, int byte_order,
                         RootList& roots, bool quiet) {
    KXCB t;
    std::memset(&t, 0, sizeof t);
    int32_t rc = bcreate(&t, dst.c_str(), 'E', byte_order, roots.list.data());
    if (rc != KX_OK) return rc;
    for (int r = 1; r <= 50 && rc == KX_OK; ++r) {
        const int slot = h.slot_map[r - 1];
        if (slot >= 1 && slot <= 50) rc = addroot(&t, r, slot);
    }
    if (rc != KX_OK) {
        close_quietly(t);
        return rc;
    }
    const int32_t mode = h.little_endian == host_is_little() ? 1 : 2;
    Progress progress("rebuilding", quiet, "nodes read");
    ProgressScope scope(progress);
    return z_bbuild(src.c_str(), &t, mode, on_build);
}

int run_rebuild(const std::vector<std::string>& args) {
    const std::string command = "rebuild";
    Args a;
    int byte_order = 0;  // 0 as the source, 1 little, 2 big
    SegmentOptions segments;
    const int u = split_args(command, args, 2, a, [&](const std::string& opt, const std::string& value, std::string& why) {
        if (opt == "--byte-order") {
            if (value == "little") byte_order = 1;
            else if (value == "big") byte_order = 2;
            else {
                why = "--byte-order takes big or little";
                return -1;
            }
            return 2;
        }
        if (opt == "--segments") {
            if (value.empty()) {
                why = "--segments needs a segment list";
                return -1;
            }
            return segments.add(value, why) ? 2 : -1;
        }
        return 0;
    });
    if (u != 0) return u;
    const std::string& src = a.files[0];
    const std::string& dst = a.files[1];
    HeaderFacts h;
    std::string why;
    if (!read_header_facts(src, h, why)) return explain_unreadable(command, src, why);
    if (access(dst.c_str(), F_OK) == 0) {
        complain(command, dst, "exists already; name a new file");
        return ExitFailed;
    }
    bool pending = false;
    {
        NodeFile nodes(h);
        if (nodes.open(src, why)) {
            const LogFacts logs = nodes.transaction_logs();
            pending = logs.present && logs.log.head_records >= 1;
        }
    }
    const bool same_order = byte_order == 0 || (byte_order == 1) == h.little_endian;
    // The source's root types, with the segment lists of compound roots.
    RootList root_list;
    if (!typed_roots(command, src, h, segments, root_list)) return ExitUsage;
    if (!same_order) {
        // The records of a data file (root 49) keep their numbers in the
        // file's byte order: copied into a file of the other order they
        // would be refused there.
        KXCB probe;
        std::memset(&probe, 0, sizeof probe);
        bool records = false;
        if (bopen(&probe, src.c_str(), 'E', 1, root_list.list.data()) == KX_OK) {
            records = cfirst(&probe, 49, nullptr, 0) == KX_OK;
            mclose(&probe);
        }
        if (records) {
            complain(command, src,
                     "holds the records of a data file, whose numbers stay in its byte order: --byte-order cannot "
                     "change it");
            return ExitFailed;
        }
    }
    int32_t rc = 0;
    if (pending || !same_order) {
        const int order = byte_order != 0 ? byte_order : h.little_endian ? 1 : 2;
        rc = rebuild_into_new(src, dst, h, order, root_list, a.quiet);
    } else {
        rc = cbuild(src.c_str(), dst.c_str(), root_list.list.data());
    }
    if (rc != KX_OK) {
        complain_result(command, src, "rebuild failed", rc);
        if (access(dst.c_str(), F_OK) == 0)
            complain(command, dst, "holds what could be copied before the failure");
        return ExitFailed;
    }

    KXCB cb;
    rc = open_for_check(cb, dst, root_list.list.data());
    if (rc != KX_OK) {
        complain_result(command, dst, "cannot open the rebuilt file", rc, cb.io_error);
        return ExitFailed;
    }
    uint64_t data = 0;
    int roots = 0;
    if (!count_data(cb, &data, &roots, &rc)) {
        close_quietly(cb);
        complain_result(command, dst, "cannot walk the rebuilt file", rc, cb.io_error);
        return ExitFailed;
    }
    std::printf("%s: rebuilt into %s: %s in %s%s\n", src.c_str(), dst.c_str(), plural(data, "datum", "data").c_str(),
                plural(static_cast<uint64_t>(roots), "root", "roots").c_str(),
                pending ? "; the pending transaction was carried over (kindex recover rolls it back)" : "");
    const bool sound = check_open_file(command, cb, dst, a.quiet, &rc);
    close_quietly(cb);
    return sound && rc == KX_OK ? ExitOk : ExitFailed;
}

// ---- convert -------------------------------------------------------------

int run_convert(const std::vector<std::string>& args) {
    const std::string command = "convert";
    Args a;
    if (const int u = split_args(command, args, 2, a, [](const std::string&, const std::string&, std::string&) {
            return 0;
        }))
        return u;
    const std::string& old_name = a.files[0];
    const std::string& new_name = a.files[1];
    if (access(new_name.c_str(), F_OK) == 0) {
        complain(command, new_name, "exists already; name a new file");
        return ExitFailed;
    }
    int32_t rc = cconvert(old_name.c_str(), new_name.c_str());
    if (rc != KX_OK) {
        complain_result(command, old_name, "conversion failed", rc);
        return ExitFailed;
    }
    KXCB cb;
    std::memset(&cb, 0, sizeof cb);
    rc = _bopen(&cb, new_name.c_str(), 'E', 1);
    uint64_t data = 0;
    int roots = 0;
    if (rc == KX_OK && !count_data(cb, &data, &roots, &rc)) data = 0;
    close_quietly(cb);
    if (rc != KX_OK) {
        complain_result(command, new_name, "cannot read the converted file", rc, cb.io_error);
        return ExitFailed;
    }
    std::printf("%s: converted into %s: %s in %s\n", old_name.c_str(), new_name.c_str(),
                plural(data, "datum", "data").c_str(), plural(static_cast<uint64_t>(roots), "root", "roots").c_str());
    return ExitOk;
}

}  // namespace

int cmd_check(const std::vector<std::string>& args) { return run_check(args); }
int cmd_salvage(const std::vector<std::string>& args) { return run_salvage(args); }
int cmd_rebuild(const std::vector<std::string>& args) { return run_rebuild(args); }
int cmd_convert(const std::vector<std::string>& args) { return run_convert(args); }

}  // namespace kxtool
