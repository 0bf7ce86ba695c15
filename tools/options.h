// Command-line pieces shared by the tool's commands: numbers, the
// --segments option and root lists for the library.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tool.h"

namespace kxtool {

inline bool host_is_little() {
    const uint16_t one = 1;
    uint8_t b[2];
    std::memcpy(b, &one, 2);
    return b[0] == 1;
}

inline bool parse_number(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty() || text.size() > 20) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || v > max) return false;
    *value = v;
    return true;
}

// The --segments options of dump and load: "TYPES" for every compound root
// (or the one --root names), "N=TYPES" for root N.
struct SegmentOptions {
    bool have_all = false;
    SegmentList all;
    std::map<int, SegmentList> by_root;

    bool add(const std::string& text, std::string& why) {
        const size_t eq = text.find('=');
        SegmentList list;
        if (!parse_segment_list(eq == std::string::npos ? text : text.substr(eq + 1), list, why)) return false;
        if (eq == std::string::npos) {
            have_all = true;
            all = list;
            return true;
        }
        uint64_t root = 0;
        if (!parse_number(text.substr(0, eq), 45, &root) || root < 1) {
            why = std::string("'").append(text, 0, eq).append("' is not a root number 1..45");
            return false;
        }
        by_root[static_cast<int>(root)] = list;
        return true;
    }
    const SegmentList* find(int root) const {
        const auto it = by_root.find(root);
        if (it != by_root.end()) return &it->second;
        return have_all ? &all : nullptr;
    }
};

// A root list for the library, with the segment lists it points to.
struct RootList {
    std::vector<std::vector<KXSEGMENT>> segments;
    std::vector<KXROOTLIST> list;

    void add(int root, uint8_t type, const SegmentList* segs) {
        KXSEGMENT* p = nullptr;
        if ((type & 31) == 8 && segs != nullptr) {
            segments.push_back(library_segments(*segs));
            p = segments.back().data();
        }
        list.push_back({static_cast<uint8_t>(root), type, p});
    }
    const KXROOTLIST* done() {
        list.push_back({0, 0, nullptr});
        return list.data();
    }
};

}  // namespace kxtool
