// Sharing one file between real processes: record numbers handed out once
// across all users, readers and writers excluding each other, user slots,
// the write-in-progress marker left by a process that died, and the lock
// bytes each mode takes.  Every other user of the file is a kx_worker process
// (tests/helpers/kx_worker.cpp) started with posix_spawn and driven one
// operation at a time; waits are bounded, so a deadlock fails instead of
// hanging the suite.
//
// KINDEX_STRESS=1 makes the record-number race longer.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <set>

#include "frame/control_block.h"
#include "multiuser/sections.h"
#include "support/testing.h"
#include "support/worker.h"

using kxtest::Block;
using kxtest::FileTest;
using kxtest::lock_held;
using kxtest::MemoryDir;
using kxtest::read_file;
using kxtest::Reply;
using kxtest::Worker;

namespace {

constexpr int SlotBytes = 559;
constexpr int ReadLockBytes = 689;
constexpr int GateByte = 819;
constexpr int LockRegionEnd = 950;  // one past the last queue byte
constexpr size_t MarkerAt = 1010;

// How long a worker that should be blocked is watched for a reply.
constexpr int BlockedMs = 300;

bool stress() {
    const char* s = std::getenv("KINDEX_STRESS");
    return s != nullptr && *s != 0 && *s != '0';
}

class Shared : public FileTest {
protected:
    void SetUp() override {
        FileTest::SetUp();
        path = mem.path("shared.kx");
        Block b;
        ASSERT_EQ(ccreate(b.get(), path.c_str()), 0);
        ASSERT_EQ(mclose(b.get()), 0);
    }

    // Starts a worker and opens the file in it.
    std::unique_ptr<Worker> opened(char mode = 'S', int access = 2) {
        auto w = std::make_unique<Worker>();
        const Reply r = w->run("open " + path + " " + mode + " " + std::to_string(access));
        EXPECT_EQ(r.rc, 0) << "worker open";
        return w;
    }

    MemoryDir mem;
    std::string path;
};

}  // namespace

// --- Record numbers -------------------------------------------------------

class NoLostUpdate : public Shared, public ::testing::WithParamInterface<int> {};

TEST_P(NoLostUpdate, EveryNumberIsHandedOutOnce) {
    const int flush_mode = GetParam();
    const int workers = 4;
    const int each = stress() ? 20000 : 2000;
    std::vector<std::unique_ptr<Worker>> ws;
    for (int i = 0; i < workers; ++i) {
        ws.push_back(opened());
        ASSERT_EQ(ws.back()->run("flush " + std::to_string(flush_mode)).rc, 0);
    }
    // All are open before any starts, so their runs overlap.
    for (auto& w : ws) w->send("nextrec " + std::to_string(each));

    std::vector<uint32_t> all;
    for (auto& w : ws) {
        const Reply r = w->reply(120000);
        ASSERT_TRUE(r.ok);
        ASSERT_EQ(r.rc, 0);
        ASSERT_EQ(r.values.size(), static_cast<size_t>(each));
        uint32_t previous = 0;
        for (size_t i = 0; i < r.values.size(); ++i) {
            const auto n = static_cast<uint32_t>(r.value(i));
            ASSERT_GT(n, previous) << "one process saw its numbers go backwards";
            previous = n;
            all.push_back(n);
        }
    }
    std::sort(all.begin(), all.end());
    const uint32_t total = static_cast<uint32_t>(workers * each);
    ASSERT_EQ(all.size(), total);
    for (uint32_t i = 0; i < total; ++i) ASSERT_EQ(all[i], i + 1) << "number missing or handed out twice";

    for (auto& w : ws) EXPECT_EQ(w->run("close").rc, 0);
    EXPECT_EQ(kxtest::le32(read_file(path), 44), total + 1) << "next record number in the file";
    Block b;
    ASSERT_EQ(bopen(b.get(), path.c_str(), 'S', 2, nullptr), 0);
    ASSERT_EQ(cnextrec(b.get()), 0);
    EXPECT_EQ(uint32_t{b->recval}, total + 1);
    EXPECT_EQ(mclose(b.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(FlushModes, NoLostUpdate, ::testing::Values(0, 1, 4),
                         [](const auto& info) { return "flush" + std::to_string(info.param); });

// --- Who waits for whom ---------------------------------------------------

struct Exclusion {
    const char* name;
    bool first_writes;   // the first process is inside a write section
    bool second_writes;  // the second process opens a write section
    bool waits;          // the second waits until the first's section ends
    int flush_mode = 1;  // of the first process
};

class SectionExclusion : public Shared, public ::testing::WithParamInterface<Exclusion> {};

TEST_P(SectionExclusion, SecondWaitsOnlyWhereItMust) {
    const Exclusion c = GetParam();
    const std::string start1 = c.first_writes ? "strtwrit" : "strtread";
    const std::string end1 = c.first_writes ? "endwrit" : "endread";
    const std::string start2 = c.second_writes ? "strtwrit" : "strtread";
    const std::string end2 = c.second_writes ? "endwrit" : "endread";
    auto a = opened();
    auto b = opened();
    ASSERT_EQ(a->run("flush " + std::to_string(c.flush_mode)).rc, 0);

    ASSERT_EQ(a->run(start1).rc, 0);
    b->send(start2);
    if (c.waits) {
        EXPECT_TRUE(b->quiet(BlockedMs)) << "second process did not wait";
    } else {
        const Reply in = b->reply(5000);
        ASSERT_TRUE(in.ok) << "second process waited";
        EXPECT_EQ(in.rc, 0);
    }
    if (c.first_writes) {
        ASSERT_EQ(a->run("setcust changed").rc, 0);
    }
    const Reply ended = a->run(end1);
    EXPECT_EQ(ended.rc, 0);
    if (c.waits) {
        const Reply in = b->reply(5000);
        ASSERT_TRUE(in.ok) << "second process still waits after the section ended";
        EXPECT_EQ(in.rc, 0);
        EXPECT_GE(in.t1, ended.t0) << "second process got in before the first left";
    }
    EXPECT_EQ(b->run(end2).rc, 0);
    // Nothing is left held: a third section of each kind gets in at once.
    EXPECT_EQ(a->run("strtwrit", 5000).rc, 0);
    EXPECT_EQ(a->run("endwrit").rc, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, SectionExclusion,
    ::testing::Values(Exclusion{"ReaderWaitsForWriter", true, false, true},
                      Exclusion{"WriterWaitsForWriter", true, true, true},
                      Exclusion{"WriterWaitsForReader", false, true, true},
                      Exclusion{"ReadersShare", false, false, false},
                      // At flush mode 4 the write lock comes with the first
                      // write; until then the gate alone keeps others out,
                      // and the end of the section gives both back.
                      Exclusion{"ReaderWaitsForLazyWriter", true, false, true, 4},
                      Exclusion{"WriterWaitsForLazyWriter", true, true, true, 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Shared, ReaderReloadsTheHeaderAnotherProcessChanged) {
    auto a = opened();
    auto b = opened();
    // b has read the file once, so it holds a counter that will be stale.
    ASSERT_EQ(b->run("getcust").text(0), "-");
    const int64_t before = b->run("state").value(0);

    ASSERT_EQ(a->run("strtwrit").rc, 0);
    ASSERT_EQ(a->run("setcust written-by-a").rc, 0);
    ASSERT_EQ(a->run("setcnt 42").rc, 0);
    b->send("strtread");
    EXPECT_TRUE(b->quiet(BlockedMs));
    const Reply ended = a->run("endwrit");
    ASSERT_EQ(ended.rc, 0);
    const Reply in = b->reply(5000);
    ASSERT_TRUE(in.ok);
    EXPECT_EQ(in.rc, 0);
    EXPECT_GE(in.t1, ended.t0);

    const int64_t counter = a->run("state").value(0);
    EXPECT_NE(counter, before);
    EXPECT_EQ(b->run("state").value(0), counter) << "reader kept the old change counter";
    EXPECT_EQ(b->run("getcust").text(0), "written-by-a") << "reader kept the old header";
    EXPECT_EQ(b->run("getcnt").value(0), 42);
    EXPECT_EQ(b->run("endread").rc, 0);
    EXPECT_EQ(kxtest::le32(read_file(path), 0), static_cast<uint32_t>(counter));
}

TEST_F(Shared, ReadersThatBothStartWritingDoNotDeadlock) {
    auto a = opened();
    auto b = opened();
    ASSERT_EQ(a->run("strtread").rc, 0);
    ASSERT_EQ(b->run("strtread").rc, 0);
    a->send("strtwrit");
    b->send("strtwrit");
    // One of them gets the write section while the other waits at the gate.
    // Which one is up to the system; find the one that answers.
    Worker* first = nullptr;
    Worker* second = nullptr;
    for (int tries = 0; tries < 100 && first == nullptr; ++tries) {
        if (!a->quiet(50)) first = a.get(), second = b.get();
        else if (!b->quiet(50)) first = b.get(), second = a.get();
    }
    ASSERT_NE(first, nullptr) << "both processes wait: deadlock";
    Reply r = first->reply();
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(first->run("nextrec 1").value(0), 1);
    EXPECT_EQ(first->run("endwrit").rc, 0);
    EXPECT_EQ(first->run("state").value(1), 1) << "read section kept after the write section";
    // The second now holds the gate but waits for the first's read-lock byte.
    EXPECT_TRUE(second->quiet(BlockedMs));
    const Reply left = first->run("endread");
    EXPECT_EQ(left.rc, 0);
    r = second->reply(5000);
    ASSERT_TRUE(r.ok) << "second writer never got in";
    EXPECT_EQ(r.rc, 0);
    EXPECT_GE(r.t1, left.t0);
    EXPECT_EQ(second->run("nextrec 1").value(0), 2) << "second writer did not see the first's change";
    EXPECT_EQ(second->run("endwrit").rc, 0);
    EXPECT_EQ(second->run("endread").rc, 0);
}

// --- User slots -----------------------------------------------------------

TEST_F(Shared, UserSlotsRunOutAndComeBack) {
    auto a = std::make_unique<Worker>();
    Worker b;
    const Reply ra = a->run("openmany 100 " + path + " S 2", 60000);
    ASSERT_EQ(ra.rc, 0);
    ASSERT_EQ(ra.value(0), 100);
    const Reply rb = b.run("openmany 30 " + path + " S 2", 60000);
    ASSERT_EQ(rb.rc, 0);
    ASSERT_EQ(rb.value(0), 30);
    std::set<int64_t> slots_a, slots_b;
    for (size_t i = 2; i < ra.values.size(); ++i) slots_a.insert(ra.value(i));
    for (size_t i = 2; i < rb.values.size(); ++i) slots_b.insert(rb.value(i));
    std::set<int64_t> all(slots_a);
    all.insert(slots_b.begin(), slots_b.end());
    ASSERT_EQ(all.size(), 130u) << "two blocks got the same user slot";
    EXPECT_EQ(*all.begin(), 0);
    EXPECT_EQ(*all.rbegin(), 129);

    // The 131st opener: in this process, and in a third process.
    Block c;
    EXPECT_EQ(bopen(c.get(), path.c_str(), 'S', 2, nullptr), KX_E_NOSLOT);
    EXPECT_EQ(c->state, 'C');
    Worker w;
    EXPECT_EQ(w.run("open " + path + " S 2").rc, KX_E_NOSLOT);

    // A slot whose holder closed is free again.
    const int64_t first_b = rb.value(1);
    const int64_t freed = rb.value(2);
    ASSERT_EQ(b.run("block " + std::to_string(first_b)).rc, 0);
    ASSERT_EQ(b.run("close").rc, 0);
    ASSERT_EQ(bopen(c.get(), path.c_str(), 'S', 2, nullptr), 0);
    EXPECT_EQ(static_cast<int64_t>(c->user_slot), freed);

    // Slots of a killed holder are free; those of the live one are not.
    a->signal(SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(a->wait()));
    a.reset();
    for (const int64_t s : slots_a)
        EXPECT_EQ(kx::tstslot(c.get(), static_cast<uint32_t>(s)), KX_E_FAIL) << "slot " << s << " of the dead";
    // (The freed one is c's own now, which counts as held too.)
    for (const int64_t s : slots_b)
        EXPECT_EQ(kx::tstslot(c.get(), static_cast<uint32_t>(s)), 0) << "slot " << s << " of the living";
    const Reply again = w.run("openmany 100 " + path + " S 2", 60000);
    EXPECT_EQ(again.rc, 0);
    EXPECT_EQ(again.value(0), 100);
    EXPECT_EQ(mclose(c.get()), 0);
}

// --- Write-in-progress marker ----------------------------------------------

struct Death {
    const char* name;
    char mode;
    std::vector<const char*> steps;  // after open and csetfile 4
    const char* how;                 // "kill" (SIGKILL) or "exit" (_exit, no clean-up)
};

class DeadWriter : public Shared, public ::testing::WithParamInterface<Death> {};

TEST_P(DeadWriter, LeavesTheMarkerUntilCleared) {
    const Death d = GetParam();
    {
        Worker w;
        ASSERT_EQ(w.run("open " + path + " " + d.mode + " 2").rc, 0);
        ASSERT_EQ(w.run("flush 4").rc, 0);
        for (const char* step : d.steps) ASSERT_EQ(w.run(step).rc, 0) << step;
        w.send(d.how);
        const int status = w.wait();
        if (std::string(d.how) == "kill") {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        } else {
            EXPECT_TRUE(WIFEXITED(status));
        }
    }
    const auto bytes = read_file(path);
    ASSERT_GT(bytes.size(), MarkerAt + 1);
    EXPECT_EQ(bytes[MarkerAt], 0xBD);
    EXPECT_EQ(bytes[MarkerAt + 1], 0x33);
    // The dead process's locks went with it.
    EXPECT_FALSE(lock_held(path, SlotBytes, LockRegionEnd - SlotBytes));

    for (const char mode : {'E', 'S'}) {
        Block refused;
        EXPECT_EQ(bopen(refused.get(), path.c_str(), mode, 2, nullptr), KX_E_MARKER) << mode;
        EXPECT_EQ(refused->state, 'C');
    }

    Block b;
    ASSERT_EQ(_bopen(b.get(), path.c_str(), 'S', 2), 0);
    ASSERT_EQ(csetfile(b.get(), 4), 0);
    EXPECT_EQ(strtwrit(b.get()), KX_E_MARKER);
    EXPECT_EQ(b->write_depth, 0);
    EXPECT_EQ(b->gate_state, 'U');
    EXPECT_FALSE(lock_held(path, GateByte, 1)) << "failed start kept the gate";
    ASSERT_EQ(clrwrit(b.get()), 0);
    const auto cleared = read_file(path);
    EXPECT_EQ(cleared[MarkerAt], 0);
    EXPECT_EQ(cleared[MarkerAt + 1], 0);
    ASSERT_EQ(strtwrit(b.get()), 0);
    ASSERT_EQ(csetcnt(b.get(), 7), 0);
    ASSERT_EQ(endwrit(b.get()), 0);
    EXPECT_EQ(read_file(path)[MarkerAt], 0) << "a clean section left the marker";
    ASSERT_EQ(mclose(b.get()), 0);

    Block again;
    ASSERT_EQ(bopen(again.get(), path.c_str(), 'S', 2, nullptr), 0);
    ASSERT_EQ(cgetcnt(again.get()), 0);
    EXPECT_EQ(uint32_t{again->recval}, 7u);
    EXPECT_EQ(mclose(again.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Deaths, DeadWriter,
    ::testing::Values(
        // Exclusive, lazy marker: the first write (here the header, forced out
        // by cflush inside the section) sets the marker.
        Death{"ExclusiveFirstWriteKilled", 'E', {"strtwrit", "setcust x", "cflush"}, "kill"},
        Death{"ExclusiveFirstWriteExited", 'E', {"strtwrit", "setcust x", "cflush"}, "exit"},
        // Shared, marker written when the section starts.
        Death{"SharedEagerMarkerKilled", 'S', {"set lazy 0", "strtwrit"}, "kill"},
        Death{"SharedEagerMarkerExited", 'S', {"set lazy 0", "strtwrit", "setcust y"}, "exit"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Shared, LazyMarkerSectionWithoutWritesLeavesFileAlone) {
    auto w = opened();
    ASSERT_EQ(w->run("flush 4").rc, 0);
    ASSERT_EQ(w->run("strtwrit").rc, 0);
    // Nothing written yet: the marker is not set and the read-lock bytes are
    // free (only the gate keeps others out).
    EXPECT_EQ(read_file(path)[MarkerAt], 0);
    EXPECT_TRUE(lock_held(path, GateByte, 1));
    EXPECT_FALSE(lock_held(path, ReadLockBytes, 130));
    w->send("kill");
    w->wait();
    EXPECT_EQ(read_file(path)[MarkerAt], 0);
    Block b;
    EXPECT_EQ(bopen(b.get(), path.c_str(), 'S', 2, nullptr), 0);
    EXPECT_EQ(mclose(b.get()), 0);
}

// --- Lock bytes by mode -----------------------------------------------------

struct ModeLocks {
    const char* name;
    char mode;
    bool locks;  // shared: the section's lock bytes are held
};

class LocksByMode : public Shared, public ::testing::WithParamInterface<ModeLocks> {};

TEST_P(LocksByMode, SectionsLockOnlyWhenShared) {
    const ModeLocks m = GetParam();
    auto w = opened(m.mode);
    const int64_t slot = w->run("state").value(5);
    if (m.locks) {
        ASSERT_GE(slot, 0);
        EXPECT_TRUE(lock_held(path, SlotBytes + slot, 1)) << "user slot byte";
    } else {
        EXPECT_FALSE(lock_held(path, SlotBytes, LockRegionEnd - SlotBytes)) << "open took a lock byte";
    }

    ASSERT_EQ(w->run("strtread").rc, 0);
    EXPECT_EQ(w->run("state").value(1), m.locks ? 1 : 0) << "read depth";
    if (m.locks) {
        EXPECT_TRUE(lock_held(path, ReadLockBytes + slot, 1)) << "own read-lock byte";
        EXPECT_FALSE(lock_held(path, GateByte, 1)) << "reader kept the gate";
    }
    ASSERT_EQ(w->run("endread").rc, 0);

    ASSERT_EQ(w->run("strtwrit").rc, 0);
    ASSERT_EQ(w->run("strtread").rc, 0);
    ASSERT_EQ(w->run("strtwrit").rc, 0);
    EXPECT_EQ(w->run("state").value(1), m.locks ? 1 : 0) << "read depth";
    if (m.locks) {
        EXPECT_TRUE(lock_held(path, GateByte, 1)) << "gate";
        for (int s = 0; s < 130; ++s) EXPECT_TRUE(lock_held(path, ReadLockBytes + s, 1)) << "write lock byte " << s;
    } else {
        EXPECT_FALSE(lock_held(path, SlotBytes, LockRegionEnd - SlotBytes)) << "exclusive section took a lock";
    }
    ASSERT_EQ(w->run("endwrit").rc, 0);
    ASSERT_EQ(w->run("endread").rc, 0);
    ASSERT_EQ(w->run("endwrit").rc, 0);
    EXPECT_FALSE(lock_held(path, ReadLockBytes, LockRegionEnd - ReadLockBytes)) << "lock kept after the sections";
    EXPECT_EQ(w->run("close").rc, 0);
    EXPECT_FALSE(lock_held(path, SlotBytes, LockRegionEnd - SlotBytes)) << "lock kept after close";
}

INSTANTIATE_TEST_SUITE_P(Modes, LocksByMode,
                         ::testing::Values(ModeLocks{"Exclusive", 'E', false}, ModeLocks{"Shared", 'S', true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Blocks that were never opened ----------------------------------------

struct NeverOpened {
    const char* name;
    const char* setup;  // how the worker's block is made
};

class NeverOpenedBlock : public Shared, public ::testing::WithParamInterface<NeverOpened> {};

TEST_P(NeverOpenedBlock, SectionCallsFailWithoutHangingOrCrashing) {
    const NeverOpened n = GetParam();
    Worker w;
    if (std::string(n.setup) == "closed") {
        ASSERT_EQ(w.run("open " + path + " S 2").rc, 0);
        ASSERT_EQ(w.run("close").rc, 0);
    } else {
        ASSERT_EQ(w.run(n.setup).rc, 0);
    }
    const struct {
        const char* op;
        int32_t rc;
    } calls[] = {{"strtread", KX_E_SECTION}, {"endread", KX_E_SECTION}, {"strtwrit", KX_E_SECTION},
                 {"endwrit", KX_E_SECTION},  {"clrwrit", KX_E_NOTOPEN}, {"strtwrit", KX_E_SECTION},
                 {"strtread", KX_E_SECTION}, {"endwrit", KX_E_SECTION}, {"endread", KX_E_SECTION}};
    for (const auto& c : calls) {
        const Reply r = w.run(c.op, 3000);
        ASSERT_TRUE(r.ok) << c.op << " hung or crashed";
        EXPECT_EQ(r.rc, c.rc) << c.op;
    }
    w.send("quit");
    EXPECT_EQ(w.wait(), 0) << "worker did not end normally";
    // The file was not touched.
    EXPECT_EQ(read_file(path)[MarkerAt], 0);
    EXPECT_FALSE(lock_held(path, SlotBytes, LockRegionEnd - SlotBytes));
}

INSTANTIATE_TEST_SUITE_P(Blocks, NeverOpenedBlock,
                         ::testing::Values(NeverOpened{"Zeroed", "fill 0"}, NeverOpened{"Garbage", "fill 0xAB"},
                                           NeverOpened{"AllOnes", "fill 0xFF"},
                                           NeverOpened{"ExclusiveLetters", "fill 0x45"},  // 'E' everywhere
                                           NeverOpened{"Closed", "closed"}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Read-only openers ----------------------------------------------------

TEST_F(Shared, ReadOnlyOpenerTakesItsSlotAndReadLock) {
    auto w = opened('S', 1);
    const int64_t slot = w->run("state").value(5);
    ASSERT_GE(slot, 0);
    EXPECT_TRUE(lock_held(path, SlotBytes + slot, 1));
    ASSERT_EQ(w->run("strtread").rc, 0);
    EXPECT_TRUE(lock_held(path, ReadLockBytes + slot, 1));
    EXPECT_EQ(w->run("setcust no").rc, KX_E_READONLY);
    EXPECT_EQ(w->run("nextrec 1").rc, KX_E_READONLY);
    // A writer waits for it like for any reader.
    auto writer = opened();
    writer->send("strtwrit");
    EXPECT_TRUE(writer->quiet(BlockedMs));
    EXPECT_EQ(w->run("endread").rc, 0);
    EXPECT_EQ(writer->reply(5000).rc, 0);
    EXPECT_EQ(writer->run("endwrit").rc, 0);
    EXPECT_EQ(w->run("close").rc, 0);
    EXPECT_FALSE(lock_held(path, SlotBytes + slot, 1));
}

// --- Queued gate ------------------------------------------------------------

namespace {

// Waits (bounded) until some process holds the byte.
bool becomes_held(const std::string& path, off_t offset) {
    for (int i = 0; i < 500; ++i) {
        if (lock_held(path, offset, 1)) return true;
        usleep(10000);
    }
    return false;
}

}  // namespace

TEST_F(Shared, QueuedWritersGetInInTheOrderTheyQueued) {
    auto a = opened();
    auto b = opened();
    auto c = opened();
    ASSERT_EQ(b->run("set queued 1").rc, 0);
    ASSERT_EQ(c->run("set queued 1").rc, 0);
    ASSERT_EQ(a->run("strtwrit").rc, 0);
    b->send("strtwrit");
    ASSERT_TRUE(becomes_held(path, GateByte + 1)) << "first waiter never took queue byte 1";
    c->send("strtwrit");
    ASSERT_TRUE(becomes_held(path, GateByte + 2)) << "second waiter did not queue behind the first";

    const Reply a_out = a->run("endwrit");
    const Reply b_in = b->reply(5000);
    ASSERT_TRUE(b_in.ok);
    EXPECT_EQ(b_in.rc, 0);
    EXPECT_TRUE(c->quiet(BlockedMs)) << "second waiter overtook the first";
    const Reply b_out = b->run("endwrit");
    const Reply c_in = c->reply(5000);
    ASSERT_TRUE(c_in.ok);
    EXPECT_EQ(c_in.rc, 0);
    EXPECT_GE(b_in.t1, a_out.t0);
    EXPECT_GE(c_in.t1, b_out.t0);
    EXPECT_EQ(c->run("endwrit").rc, 0);
    // Meeting a busy queue byte moved c's start position back for good.
    EXPECT_EQ(b->run("state").value(10), 1);
    EXPECT_EQ(c->run("state").value(10), 2);
    EXPECT_FALSE(lock_held(path, GateByte, 131)) << "gate or queue byte left held";
}

TEST_F(Shared, QueuedGateOverflowFailsForGood) {
    auto w = opened();
    ASSERT_EQ(w->run("set queued 1").rc, 0);
    ASSERT_EQ(w->run("set queuestart 130").rc, 0);
    // Someone holds the last queue byte.
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = GateByte + 130;
    fl.l_len = 1;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &fl), 0);
    // The gate could not be had: the section is refused (the queue's own
    // -109 is what an open reports).
    EXPECT_EQ(w->run("strtwrit", 5000).rc, KX_E_SECTION);
    EXPECT_EQ(w->run("strtread", 5000).rc, KX_E_SECTION);
    ::close(fd);
    EXPECT_EQ(w->run("strtwrit", 5000).rc, KX_E_SECTION) << "queue start position was reset";
    const Reply st = w->run("state");
    EXPECT_EQ(st.value(2), 0) << "write depth";
    EXPECT_EQ(st.text(3), "U") << "gate state";
    EXPECT_GT(st.value(10), 130) << "queue start position";
    EXPECT_FALSE(lock_held(path, ReadLockBytes, LockRegionEnd - ReadLockBytes));
    // Close needs a write section too; the position is the host's to reset.
    EXPECT_EQ(w->run("close").rc, KX_E_SECTION);
    ASSERT_EQ(w->run("set queuestart 1").rc, 0);
    EXPECT_EQ(w->run("close").rc, 0);
}

// --- Refused custom data ------------------------------------------------------

TEST_F(Shared, RefusedCustomDataReachesNobody) {
    auto other = opened();
    ASSERT_EQ(other->run("setcust kept").rc, 0);
    Block b;
    ASSERT_EQ(bopen(b.get(), path.c_str(), 'S', 2, nullptr), 0);
    const auto before = read_file(path);
    const uint8_t big[200] = {1, 2, 3};
    for (const int32_t length : {-1, 101, 200, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(csetcust(b.get(), big, length), KX_E_ARG) << length;
        EXPECT_EQ(b->write_depth, 0);
        EXPECT_EQ(int32_t{b->custom_length}, 4);
    }
    EXPECT_EQ(csetcust(b.get(), nullptr, 5), KX_E_ARG) << "no data";
    const auto after = read_file(path);
    EXPECT_TRUE(std::equal(before.begin() + 72, before.begin() + 192, after.begin() + 72))
        << "custom data length or bytes changed in the file";
    EXPECT_EQ(other->run("getcust").text(0), "kept");
    EXPECT_EQ(mclose(b.get()), 0);
}

// --- Openers that may only read the file ------------------------------------

TEST_F(Shared, OpenerWithoutWritePermissionReadsBesideWriters) {
    // The worker gives up root (as root, permission bits do not bind it), or
    // simply cannot write a file made read-only.
    ASSERT_EQ(chmod(std::filesystem::path(path).parent_path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    auto reader = std::make_unique<Worker>();
    if (geteuid() == 0) {
        ASSERT_EQ(reader->run("asuser 65534").rc, 0);
    }
    EXPECT_EQ(reader->run("open " + path + " S 2").rc, KX_E_FAIL) << "opened for writing without permission";
    ASSERT_EQ(reader->run("open " + path + " S 1").rc, 0);
    const int64_t slot = reader->run("state").value(5);
    ASSERT_GE(slot, 0);
    EXPECT_TRUE(lock_held(path, SlotBytes + slot, 1));

    auto writer = opened();
    EXPECT_NE(writer->run("state").value(5), slot) << "writer got the reader's user slot";
    ASSERT_EQ(reader->run("strtread").rc, 0);
    EXPECT_TRUE(lock_held(path, ReadLockBytes + slot, 1));
    writer->send("strtwrit");
    EXPECT_TRUE(writer->quiet(BlockedMs)) << "writer did not wait for the reader";
    const Reply left = reader->run("endread");
    const Reply in = writer->reply(5000);
    ASSERT_TRUE(in.ok);
    EXPECT_GE(in.t1, left.t0);
    ASSERT_EQ(writer->run("setcust fresh").rc, 0);
    reader->send("strtread");
    EXPECT_TRUE(reader->quiet(BlockedMs)) << "reader got in beside a writer";
    ASSERT_EQ(writer->run("endwrit").rc, 0);
    EXPECT_EQ(reader->reply(5000).rc, 0);
    EXPECT_EQ(reader->run("getcust").text(0), "fresh");
    EXPECT_EQ(reader->run("endread").rc, 0);
    EXPECT_EQ(reader->run("close").rc, 0);
    EXPECT_EQ(writer->run("close").rc, 0);
}
