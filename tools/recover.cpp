// kindex recover FILE [--image IMAGE]: puts a file left by a crash back in
// order.
//
// Two things can be left behind.  A write section at flush mode 4 that
// stopped half way leaves the write-in-progress marker set: the file is
// refused until it is put back from the image file that recorded the
// section's before-images (imagerest).  A transaction that never ended
// leaves its undo log pending in the file: transroll takes it back.  The
// file is opened exclusively, so no other process can write in between.
#include <cstdio>
#include <cstring>

#include "filefacts.h"
#include "tool.h"

namespace kxtool {

namespace {

constexpr const char* Command = "recover";

// The image file (its layout is documented in src/txlog/image.h): a copy of
// the index header as the recorded write section began, then before-image
// records of 2084 bytes at 1024 + 2084 * i: 16 bytes of no meaning on disk,
// u32 node number, u32 flag, u64 check sum of bytes 16..2083 without the sum
// itself (FNV-1a), u32 generation (the header copy's change counter), the
// 2048-byte node.  Numbers in a record are in the writing host's order.  The
// records of the section end at the first whose generation or sum is wrong.
constexpr uint64_t ImageBase = 1024;
constexpr size_t ImageRecordBytes = 2084;

uint64_t record_sum(const uint8_t* r) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 16; i < ImageRecordBytes; ++i) {
        if (i >= 24 && i < 32) continue;
        h = (h ^ r[i]) * 0x100000001b3ull;
    }
    return h;
}

// The nodes a restore from the image file writes back: the section's
// records of nodes below the header copy's high-water mark (nodes the
// section allocated are emptied instead).
uint64_t nodes_to_restore(const std::string& path) {
    HeaderFacts h;
    std::string why;
    if (!read_header_facts(path, h, why)) return 0;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return 0;
    uint64_t n = 0;
    uint8_t r[ImageRecordBytes];
    for (uint64_t i = 0;; ++i) {
        if (std::fseek(f, static_cast<long>(ImageBase + ImageRecordBytes * i), SEEK_SET) != 0 ||
            std::fread(r, 1, sizeof r, f) != sizeof r)
            break;
        uint32_t node = 0, generation = 0;
        uint64_t sum = 0;
        std::memcpy(&node, r + 16, 4);
        std::memcpy(&sum, r + 24, 8);
        std::memcpy(&generation, r + 32, 4);
        if (generation != h.change_counter || sum != record_sum(r)) break;
        if (node < h.next_node) ++n;
    }
    std::fclose(f);
    return n;
}

// What the rollback's progress callback saw.
struct Rollback {
    Progress* progress = nullptr;
    uint64_t counted = 0;  // records met while the log was counted
    uint64_t undone = 0;   // records undone
};
Rollback* g_rollback = nullptr;

int32_t on_rollback(KXCB* /*cb*/, double share, const void* /*record*/) {
    Rollback& r = *g_rollback;
    if (share < 0) {
        ++r.counted;
        r.progress->tick(r.counted);
    } else {
        ++r.undone;
        r.progress->share(share);
    }
    return 0;
}

std::string records_text(uint64_t n) { return std::to_string(n) + (n == 1 ? " log record" : " log records"); }

struct Options {
    std::string file, image;
    bool quiet = false;
};

bool parse(const std::vector<std::string>& args, Options& o) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--image" && i + 1 < args.size() && !args[i + 1].empty()) {
            o.image = args[++i];
        } else if (a == "--quiet") {
            o.quiet = true;
        } else if (!a.empty() && a[0] != '-' && o.file.empty()) {
            o.file = a;
        } else {
            return false;
        }
    }
    return !o.file.empty();
}

// Closes the file (and says so when that fails); the exit code.
int finish(KXCB& cb, const std::string& path, int code) {
    const int32_t rc = mclose(&cb);
    if (rc != KX_OK) {
        complain_result(Command, path, "cannot close", rc, cb.io_error);
        return ExitFailed;
    }
    return code;
}

}  // namespace

int cmd_recover(const std::vector<std::string>& args) {
    Options o;
    if (!parse(args, o)) {
        complain(Command, "", "usage: kindex recover FILE [--image IMAGE] [--quiet]");
        return ExitUsage;
    }
    const std::string& path = o.file;
    HeaderFacts h;
    std::string why;
    if (!read_header_facts(path, h, why)) return explain_unreadable(Command, path, why);

    // 1. A write section that stopped half way.  Without its image file
    // nothing can be done: the file is not even opened.
    if (h.marker_set && o.image.empty()) {
        std::printf("%s: write in progress: the file was left in the middle of a write section.\n"
                    "It cannot be put back without the image file of that section (--image IMAGE);\n"
                    "until then the library refuses to open it (KX_E_MARKER).\n",
                    path.c_str());
        return ExitFailed;
    }
    KXCB cb;
    std::memset(&cb, 0, sizeof cb);
    int32_t rc = _bopen(&cb, path.c_str(), 'E', 2);
    if (rc != KX_OK) {
        complain_result(Command, path, "cannot open it exclusively", rc, cb.io_error);
        return ExitFailed;
    }
    bool acted = false;
    if (h.marker_set) {
        KXCB img;
        std::memset(&img, 0, sizeof img);
        rc = imgopen(&img, o.image.c_str(), 'E', 2);
        if (rc != KX_OK) {
            complain_result(Command, o.image, "cannot open the image file", rc, img.io_error);
            imgclose(&cb);  // unchanged; a close would start a write section, which the marker refuses
            return ExitFailed;
        }
        const uint64_t n = nodes_to_restore(o.image);
        // The restore runs at flush mode 4: its first write sets the marker
        // again and its end clears it, so a restore that stops half way
        // leaves the file refused, and it can simply be run again.
        rc = clrwrit(&cb);
        if (rc == KX_OK) rc = csetfile(&cb, 4);
        if (rc != KX_OK) {
            imgclose(&img);
            complain_result(Command, path, "cannot clear the write-in-progress marker", rc, cb.io_error);
            imgclose(&cb);
            return ExitFailed;
        }
        rc = imagerest(&cb, &img);
        const int32_t closed = imgclose(&img);
        if (rc != KX_OK) {
            complain_result(Command, path, "restoring from " + o.image + " failed", rc,
                            cb.io_error);
            return finish(cb, path, ExitFailed);
        }
        if (closed != KX_OK) complain_result(Command, o.image, "cannot close the image file", closed);
        std::printf("%s: write in progress: restored %llu node%s and the header from %s\n", path.c_str(),
                    static_cast<unsigned long long>(n), n == 1 ? "" : "s", o.image.c_str());
        acted = true;
    }

    // 2. A transaction that never ended.  The rollback runs at flush mode 4
    // too: a stop in its middle leaves the marker set (the file refused)
    // rather than a file half taken back that looks whole.
    rc = csetfile(&cb, 4);
    if (rc == KX_OK) rc = transtst(&cb);
    if (rc == KX_E_LOGPENDING) {
        Progress progress("rolling back", o.quiet, "log records counted");
        Rollback r;
        r.progress = &progress;
        g_rollback = &r;
        rc = transroll(&cb, on_rollback, 0, nullptr);
        g_rollback = nullptr;
        progress.done();
        if (rc != KX_OK) {
            std::fflush(stdout);
            complain_result(Command, path,
                            "rolling back the pending transaction failed after " + records_text(r.undone) +
                                " of " + std::to_string(r.counted),
                            rc, cb.io_error);
            return finish(cb, path, ExitFailed);
        }
        std::printf("%s: pending transaction: rolled back %s\n", path.c_str(), records_text(r.undone).c_str());
        acted = true;
        rc = transtst(&cb);
    }
    if (rc == KX_E_LOGOWNER) {
        std::fflush(stdout);
        complain_result(Command, path, "the transaction log belongs to another process", rc);
        return finish(cb, path, ExitFailed);
    }
    if (rc != KX_OK && rc != KX_E_LOGEMPTY) {
        std::fflush(stdout);
        complain_result(Command, path, acted ? "the file is still not clean" : "cannot test the transaction log",
                        rc, cb.io_error);
        return finish(cb, path, ExitFailed);
    }
    if (!acted) std::printf("%s: nothing to recover: the file is clean\n", path.c_str());
    else std::printf("%s: the file is clean\n", path.c_str());
    std::fflush(stdout);
    return finish(cb, path, ExitOk);
}

}  // namespace kxtool
