#include "support/powerloss.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace kxtest {

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

constexpr size_t NoFlush = ~size_t{0};

}  // namespace

PowerLossRecorder::~PowerLossRecorder() { stop(); }

void PowerLossRecorder::start() {
    recording_ = true;
    kx::os::set_io_observer(this);
}

void PowerLossRecorder::stop() {
    if (!recording_) return;
    recording_ = false;
    kx::os::set_io_observer(nullptr);
}

void PowerLossRecorder::opened(uint64_t h, const char* name) {
    const std::string path = fs::absolute(fs::path(name)).lexically_normal().string();
    auto it = std::find(paths_.begin(), paths_.end(), path);
    size_t index = static_cast<size_t>(it - paths_.begin());
    if (it == paths_.end()) {
        // First sight of the file: what lies on disk now is where its log
        // starts (nothing, for a file just created).
        paths_.push_back(path);
        initial_.push_back(read_all(path));
    }
    handles_[h] = index;
}

size_t PowerLossRecorder::file_of(uint64_t h) {
    auto it = handles_.find(h);
    if (it == handles_.end()) {
        ++unknown_;
        return NoFlush;
    }
    return it->second;
}

void PowerLossRecorder::wrote(uint64_t h, uint32_t pos, const void* data, uint32_t count) {
    const size_t f = file_of(h);
    if (f == NoFlush) return;
    Event e{Kind::Write, f, pos, {}};
    e.bytes.resize(count);
    std::memcpy(e.bytes.data(), data, count);
    events_.push_back(std::move(e));
}

void PowerLossRecorder::flushed(uint64_t h) {
    const size_t f = file_of(h);
    if (f == NoFlush) return;
    events_.push_back(Event{Kind::Flush, f, 0, {}});
}

void PowerLossRecorder::closed(uint64_t h) { handles_.erase(h); }

std::vector<size_t> PowerLossRecorder::flush_events() const {
    std::vector<size_t> out;
    for (size_t i = 0; i < events_.size(); ++i)
        if (events_[i].kind == Kind::Flush) out.push_back(i);
    return out;
}

std::vector<size_t> PowerLossRecorder::pending(size_t cut) const {
    cut = std::min(cut, events_.size());
    std::vector<size_t> last_flush(paths_.size(), NoFlush);
    for (size_t i = 0; i < cut; ++i)
        if (events_[i].kind == Kind::Flush) last_flush[events_[i].file] = i;
    std::vector<size_t> out;
    for (size_t i = 0; i < cut; ++i) {
        const Event& e = events_[i];
        if (e.kind != Kind::Write) continue;
        if (last_flush[e.file] == NoFlush || i > last_flush[e.file]) out.push_back(i);
    }
    return out;
}

size_t PowerLossRecorder::sector_count(const Event& e) {
    if (e.bytes.empty()) return 0;
    const uint64_t first = e.pos / PowerLossSector;
    const uint64_t last = (uint64_t{e.pos} + e.bytes.size() - 1) / PowerLossSector;
    return static_cast<size_t>(last - first + 1);
}

PowerLossRecorder::Crash PowerLossRecorder::flushed_only(size_t cut) const {
    Crash c;
    c.cut = std::min(cut, events_.size());
    return c;
}

PowerLossRecorder::Crash PowerLossRecorder::all_written(size_t cut) const {
    Crash c;
    c.cut = std::min(cut, events_.size());
    c.applied = pending(c.cut);
    return c;
}

PowerLossRecorder::Crash PowerLossRecorder::random_crash(size_t cut, std::mt19937_64& rng) const {
    Crash c;
    c.cut = std::min(cut, events_.size());
    const std::vector<size_t> open = pending(c.cut);
    // The share of surviving writes varies from trial to trial, so that
    // both near-empty and near-full subsets come up.
    const double keep = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    std::bernoulli_distribution survives(keep);
    for (size_t i : open)
        if (survives(rng)) c.applied.push_back(i);
    std::vector<size_t> tearable;
    for (size_t i : c.applied)
        if (sector_count(events_[i]) > 1) tearable.push_back(i);
    if (!tearable.empty() && std::bernoulli_distribution(0.5)(rng)) {
        c.torn = true;
        c.tear.event = tearable[std::uniform_int_distribution<size_t>(0, tearable.size() - 1)(rng)];
        const size_t n = sector_count(events_[c.tear.event]);
        c.tear.sectors.assign(n, false);
        if (std::bernoulli_distribution(0.5)(rng)) {
            // The drive stopped part way: a prefix of the sectors.
            const size_t upto = std::uniform_int_distribution<size_t>(0, n - 1)(rng);
            for (size_t k = 0; k < upto; ++k) c.tear.sectors[k] = true;
        } else {
            // The sectors went out of order: any proper subset.
            for (size_t k = 0; k < n; ++k) c.tear.sectors[k] = std::bernoulli_distribution(0.5)(rng);
            c.tear.sectors[std::uniform_int_distribution<size_t>(0, n - 1)(rng)] = false;
        }
    }
    return c;
}

void PowerLossRecorder::apply(std::vector<uint8_t>& content, const Event& e, const std::vector<bool>* sectors) {
    const uint64_t begin = e.pos;
    const uint64_t end = begin + e.bytes.size();
    const uint64_t first = begin / PowerLossSector;
    for (uint64_t s = first; s * PowerLossSector < end; ++s) {
        if (sectors != nullptr) {
            const size_t k = static_cast<size_t>(s - first);
            if (k >= sectors->size() || !(*sectors)[k]) continue;
        }
        const uint64_t lo = std::max(begin, s * PowerLossSector);
        const uint64_t hi = std::min(end, (s + 1) * PowerLossSector);
        if (content.size() < hi) content.resize(static_cast<size_t>(hi), 0);
        std::memcpy(content.data() + lo, e.bytes.data() + (lo - begin), static_cast<size_t>(hi - lo));
    }
}

std::map<std::string, std::vector<uint8_t>> PowerLossRecorder::build(const Crash& crash) const {
    const size_t cut = std::min(crash.cut, events_.size());
    const std::vector<size_t> open = pending(cut);
    const std::set<size_t> unflushed(open.begin(), open.end());
    const std::set<size_t> applied(crash.applied.begin(), crash.applied.end());
    for (size_t i : applied)
        if (!unflushed.count(i)) throw std::invalid_argument("crash applies a write that is not pending at its cut");
    if (crash.torn && !applied.count(crash.tear.event))
        throw std::invalid_argument("torn write is not among the applied writes");

    std::vector<std::vector<uint8_t>> content = initial_;
    for (size_t i = 0; i < cut; ++i) {
        const Event& e = events_[i];
        if (e.kind != Kind::Write) continue;
        if (unflushed.count(i) && !applied.count(i)) continue;
        const bool tear = crash.torn && crash.tear.event == i;
        apply(content[e.file], e, tear ? &crash.tear.sectors : nullptr);
    }
    std::map<std::string, std::vector<uint8_t>> out;
    for (size_t f = 0; f < paths_.size(); ++f) out[paths_[f]] = std::move(content[f]);
    return out;
}

std::map<std::string, std::string> PowerLossRecorder::write_files(const Crash& crash, const std::string& folder) const {
    std::map<std::string, std::string> where;
    for (auto& [path, bytes] : build(crash)) {
        const std::string target = (fs::path(folder) / fs::path(path).filename()).string();
        for (const auto& [other, placed] : where)
            if (placed == target) throw std::invalid_argument("two recorded files share the name " + target);
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) throw std::runtime_error("cannot write " + target);
        where[path] = target;
    }
    return where;
}

std::string PowerLossRecorder::describe(const Crash& crash) const {
    std::ostringstream s;
    s << "cut " << crash.cut << " of " << events_.size() << " events";
    if (crash.cut > 0 && crash.cut <= events_.size()) {
        const Event& e = events_[crash.cut - 1];
        s << " (after " << (e.kind == Kind::Flush ? "a flush" : "a write") << " of "
          << fs::path(paths_[e.file]).filename().string() << ")";
    }
    const std::vector<size_t> open = pending(crash.cut);
    s << ", " << crash.applied.size() << " of " << open.size() << " unflushed writes applied";
    if (!crash.applied.empty() && crash.applied.size() < open.size()) {
        s << " [";
        for (size_t i = 0; i < crash.applied.size(); ++i) s << (i ? " " : "") << crash.applied[i];
        s << "]";
    }
    if (crash.torn) {
        const Event& e = events_[crash.tear.event];
        s << ", write " << crash.tear.event << " (" << fs::path(paths_[e.file]).filename().string() << " at "
          << e.pos << ", " << e.bytes.size() << " bytes) torn to sectors ";
        for (bool b : crash.tear.sectors) s << (b ? '1' : '0');
    }
    return s.str();
}

}  // namespace kxtest
