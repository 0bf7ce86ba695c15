// A recorder of file traffic for simulated power losses.
//
// While recording, the recorder watches the platform layer (os::IoObserver):
// it keeps each file's content as it was when the file was first opened
// during the recording (a file created then starts empty) and logs every
// write and flush in the order they happen.  Files are told apart by their
// full path, so several handles of one file share one log, and a flush of
// any of them makes every earlier write of the file durable.
//
// A crash is described by a cut (the number of logged events that had been
// issued when the power went) and by which of the writes still unflushed at
// the cut reached the disk.  For each file, everything written before its
// last flush ahead of the cut is kept; of its writes after that flush any
// chosen subset is applied in order, and one applied write may be torn: of
// its 512-byte sectors (counted from the file's start) only some reach the
// file.  build() gives the resulting bytes, write_files() puts them in a
// folder under the files' own names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "storage/platform.h"

namespace kxtest {

constexpr uint32_t PowerLossSector = 512;

class PowerLossRecorder : public kx::os::IoObserver {
public:
    enum class Kind : uint8_t { Write, Flush };
    struct Event {
        Kind kind;
        size_t file;                 // index into files()
        uint32_t pos = 0;            // writes: file position
        std::vector<uint8_t> bytes;  // writes: what was written
    };

    // A torn write: sectors[k] tells whether the k-th 512-byte sector the
    // write touches reached the file.
    struct Tear {
        size_t event = 0;
        std::vector<bool> sectors;
    };
    struct Crash {
        size_t cut = 0;               // events [0, cut) had been issued
        std::vector<size_t> applied;  // unflushed writes that reached the disk, ascending
        bool torn = false;
        Tear tear;                    // meaningful when torn; its event is among applied
    };

    PowerLossRecorder() = default;
    ~PowerLossRecorder() override;
    PowerLossRecorder(const PowerLossRecorder&) = delete;
    PowerLossRecorder& operator=(const PowerLossRecorder&) = delete;

    // Installs the recorder as the platform's observer; stop() removes it.
    void start();
    void stop();

    size_t event_count() const { return events_.size(); }
    const Event& event(size_t i) const { return events_.at(i); }
    const std::vector<std::string>& files() const { return paths_; }
    // Writes and flushes on handles the recorder never saw opened.
    size_t unknown_handle_events() const { return unknown_; }
    // Indices of every flush event.
    std::vector<size_t> flush_events() const;
    // The writes issued before the cut and after their file's last flush
    // before it, ascending.
    std::vector<size_t> pending(size_t cut) const;
    // Number of 512-byte sectors a write event touches.
    static size_t sector_count(const Event& e);

    // The three kinds of crash: only what was flushed survives; every
    // issued write survives; a random subset survives, one perhaps torn.
    Crash flushed_only(size_t cut) const;
    Crash all_written(size_t cut) const;
    Crash random_crash(size_t cut, std::mt19937_64& rng) const;

    // Content of every recorded file after the crash, by path.
    std::map<std::string, std::vector<uint8_t>> build(const Crash& crash) const;
    // Writes the crashed files into folder under their own file names and
    // returns the path each recorded file has there.
    std::map<std::string, std::string> write_files(const Crash& crash, const std::string& folder) const;
    // A line naming the cut, the writes applied and the tear, for messages.
    std::string describe(const Crash& crash) const;

    // IoObserver.
    void opened(uint64_t h, const char* name) override;
    void wrote(uint64_t h, uint32_t pos, const void* data, uint32_t count) override;
    void flushed(uint64_t h) override;
    void closed(uint64_t h) override;

private:
    size_t file_of(uint64_t h);
    static void apply(std::vector<uint8_t>& content, const Event& e, const std::vector<bool>* sectors);

    bool recording_ = false;
    std::vector<std::string> paths_;
    std::vector<std::vector<uint8_t>> initial_;
    std::map<uint64_t, size_t> handles_;
    std::vector<Event> events_;
    size_t unknown_ = 0;
};

}  // namespace kxtest
