#include "support/recovery.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "records/keyconv.h"
#include "support/tree_check.h"

namespace kxtest {

namespace {

constexpr std::streamoff MarkerAt = 1010;
constexpr uint16_t MarkerValue = 13245;
// Room for the longest datum: 128 pieces of at most 244 bytes.
constexpr int32_t DatumRoom = 128 * 244 + 64;

std::string step(const char* what, int32_t rc) { return std::string(what) + " answered " + std::to_string(rc); }

std::string hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

}  // namespace

bool marker_set(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(MarkerAt);
    uint8_t b[2] = {0, 0};
    in.read(reinterpret_cast<char*>(b), 2);
    if (!in) return false;
    const auto little = static_cast<uint16_t>(b[0] | b[1] << 8);
    const auto big = static_cast<uint16_t>(b[1] | b[0] << 8);
    return little == MarkerValue || big == MarkerValue;
}

std::string RecoveryReport::describe() const {
    std::ostringstream s;
    s << "open " << open_rc;
    if (marker) {
        s << ", marker set";
        if (refused) s << ", no image file: refused";
        if (!refused && clrwrit_rc != 0) s << ", clrwrit " << clrwrit_rc;
        if (!refused) s << ", imgopen " << imgopen_rc << ", imagerest " << imagerest_rc;
    } else {
        s << ", marker clear";
    }
    s << ", transtst " << transtst_rc;
    if (rolled_back) s << ", transroll " << transroll_rc << ", transtst after " << transtst_after;
    if (!error.empty()) s << "; failed: " << error;
    if (!tree_fault.empty()) s << "; trees: " << tree_fault;
    return s.str();
}

RecoveryReport recover(const std::string& index_path, const std::string& image_path, KXCB* cb,
                       const RecoveryOptions& options) {
    RecoveryReport r;
    const bool shared = options.mode != 'E';
    // An exclusive recovery reads the marker from the file; nobody else can
    // be writing.  A file marked and without an image is not even opened.
    if (!shared) {
        r.marker = marker_set(index_path);
        if (r.marker && image_path.empty()) {
            r.refused = true;
            return r;
        }
    }
    r.open_rc = _bopen(cb, index_path.c_str(), options.mode, 2);
    if (r.open_rc != 0) {
        r.error = step("_bopen", r.open_rc);
        return r;
    }
    if (shared) {
        // Beside other openers only a write section tells whose marker it
        // is: a live writer holds the gate while its marker is set, so a
        // refused start means the marker was left by a process that died.
        // Sections look at the marker at flush mode 4 only.
        int32_t rc = csetfile(cb, 4);
        if (rc != 0) {
            r.error = step("csetfile 4", rc);
            imgclose(cb);
            return r;
        }
        rc = strtwrit(cb);
        if (rc == 0) {
            endwrit(cb);
        } else if (rc == KX_E_MARKER) {
            r.marker = true;
        } else {
            r.error = step("strtwrit", rc);
            imgclose(cb);
            return r;
        }
        if (r.marker && image_path.empty()) {
            // Nothing was changed; a close would start a write section, which
            // the marker refuses.
            r.refused = true;
            imgclose(cb);
            return r;
        }
    }
    if (r.marker) {
        // Beside other openers the marker stays set until the restore has
        // put the file back: the restore runs over it and clears it at the
        // end of its own write section.  Cleared ahead of the restore, it
        // would let another process's write section into the file as the
        // dead writer left it, and the restore would then take that work
        // back under the other process's feet.  Alone with the file, clrwrit
        // first is harmless (the tool does so).
        if (!shared) {
            r.clrwrit_rc = clrwrit(cb);
            if (r.clrwrit_rc != 0) {
                r.error = step("clrwrit", r.clrwrit_rc);
                return r;
            }
        }
        KXCB img;
        std::memset(&img, 0, sizeof img);
        r.imgopen_rc = imgopen(&img, image_path.c_str(), 'E', 2);
        if (r.imgopen_rc != 0) {
            r.error = step("imgopen", r.imgopen_rc);
            return r;
        }
        r.imagerest_rc = imagerest(cb, &img);
        imgclose(&img);
        if (r.imagerest_rc != 0) {
            r.error = step("imagerest", r.imagerest_rc);
            return r;
        }
        r.restored = true;
    }
    r.transtst_rc = transtst(cb);
    if (r.transtst_rc == KX_E_LOGPENDING && !options.rollback) {
        // Left as it is, on purpose.
    } else if (r.transtst_rc == KX_E_LOGPENDING) {
        r.rolled_back = true;
        r.transroll_rc = transroll(cb, nullptr, 0, nullptr);
        r.transtst_after = transtst(cb);
        if (r.transroll_rc != 0) {
            r.error = step("transroll", r.transroll_rc);
            return r;
        }
        if (r.transtst_after == KX_E_LOGPENDING) {
            r.error = "transtst still finds a pending log after transroll";
            return r;
        }
    } else if (r.transtst_rc != 0 && r.transtst_rc != KX_E_LOGEMPTY &&
               !(shared && r.transtst_rc == KX_E_LOGOWNER)) {
        r.error = step("transtst", r.transtst_rc);
        return r;
    }
    if (options.check) {
        const int32_t rc = strtread(cb);
        if (rc != 0) {
            r.error = step("strtread for the tree check", rc);
            return r;
        }
        r.tree_fault = check_trees(cb);
        endread(cb);
    }
    return r;
}

std::string take_snapshot(KXCB* cb, Snapshot& out, int32_t first, int32_t last) {
    out.clear();
    int32_t rc = strtread(cb);
    if (rc != 0) return step("strtread", rc);
    std::vector<uint8_t> buf(static_cast<size_t>(DatumRoom));
    std::string fault;
    for (int32_t root = first; root <= last && fault.empty(); ++root) {
        const auto type = static_cast<uint8_t>(cb->root_types[root] & 31);
        for (rc = cfirst(cb, root, buf.data(), DatumRoom); rc == 0; rc = cnext(cb, root, buf.data(), DatumRoom)) {
            if (cb->datatotal != cb->datalen) {
                fault = "root " + std::to_string(root) + ": datum of " + std::to_string(cb->datatotal) +
                        " bytes delivered as " + std::to_string(cb->datalen);
                break;
            }
            // The current key is in the key parameter's order when the key
            // parameter points at it, else in the file's.
            uint8_t k[256];
            std::memcpy(k, cb->current_key, sizeof k);
            if (cb->key == static_cast<void*>(cb->current_key)) {
                kx::convkey(cb, root, k, type, static_cast<uint8_t>(cb->key_byte_order), uint8_t{1});
            } else {
                kx::convkey(cb, root, k, type, cb->byte_order[0], uint8_t{1});
            }
            int32_t n = cikeylen(cb, root, k);
            if (n < 0 || n > 243) n = 243;
            SnapEntry e;
            e.root = root;
            e.key.assign(k, k + n);
            e.record = cb->recval;
            e.payload.assign(buf.begin(), buf.begin() + cb->datalen);
            out.insert(std::move(e));
        }
        if (fault.empty() && rc != KX_E_FAIL)
            fault = "root " + std::to_string(root) + ": walk ended with " + std::to_string(rc);
    }
    rc = endread(cb);
    if (fault.empty() && rc != 0) fault = step("endread", rc);
    return fault;
}

std::string describe(const SnapEntry& e) {
    std::string key;
    bool printable = !e.key.empty() && e.key.back() == 0;
    for (size_t i = 0; printable && i + 1 < e.key.size(); ++i) printable = e.key[i] >= 0x20 && e.key[i] < 0x7f;
    if (printable) {
        key = "\"" + std::string(e.key.begin(), e.key.end() - 1) + "\"";
    } else {
        key = "x:" + hex(e.key.data(), e.key.size());
    }
    uint32_t h = 2166136261u;
    for (const uint8_t b : e.payload) h = (h ^ b) * 16777619u;
    char tail[64];
    std::snprintf(tail, sizeof tail, " rec %u len %zu h%08x", e.record, e.payload.size(), h);
    return "root " + std::to_string(e.root) + " " + key + tail;
}

std::string diff(const Snapshot& expected, const Snapshot& found, size_t max_lines) {
    if (expected == found) return "";
    std::vector<const SnapEntry*> missing, extra;
    auto a = expected.begin();
    auto b = found.begin();
    while (a != expected.end() || b != found.end()) {
        if (b == found.end() || (a != expected.end() && *a < *b)) {
            missing.push_back(&*a++);
        } else if (a == expected.end() || *b < *a) {
            extra.push_back(&*b++);
        } else {
            ++a;
            ++b;
        }
    }
    std::ostringstream s;
    s << expected.size() << " entries expected, " << found.size() << " found; " << missing.size() << " missing, "
      << extra.size() << " unexpected\n";
    for (size_t i = 0; i < missing.size() && i < max_lines; ++i) s << "  - " << describe(*missing[i]) << "\n";
    if (missing.size() > max_lines) s << "  - ... " << missing.size() - max_lines << " more\n";
    for (size_t i = 0; i < extra.size() && i < max_lines; ++i) s << "  + " << describe(*extra[i]) << "\n";
    if (extra.size() > max_lines) s << "  + ... " << extra.size() - max_lines << " more\n";
    return s.str();
}

}  // namespace kxtest
