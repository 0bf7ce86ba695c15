// Key locks, record locks and semaphores between control blocks.  Two blocks
// of one process hold separate user slots of a shared file, so they meet each
// other's locks as two processes do; tests with real processes are in
// multiprocess_test.cpp.
#include <cstring>

#include "support/testing.h"

using kxtest::Block;

namespace {

class Locks : public kxtest::FileTest {
protected:
    void SetUp() override {
        FileTest::SetUp();
        name = file("locks.kx");
        ASSERT_EQ(bcreate(a.get(), name.c_str(), 'S', 1, roots), 0);
        ASSERT_EQ(bopen(b.get(), name.c_str(), 'S', 2, roots), 0);
        ASSERT_NE(+a->user_slot, +b->user_slot);
    }
    void TearDown() override {
        if (a->state == 'O') {
            EXPECT_EQ(mclose(a.get()), 0);
        }
        if (b->state == 'O') {
            EXPECT_EQ(mclose(b.get()), 0);
        }
        FileTest::TearDown();
    }
    int32_t lock_entries(KXCB* cb) {
        int32_t n = 0;
        for (int32_t rc = cfirst(cb, 50, nullptr, 0); rc == 0; rc = cnext(cb, 50, nullptr, 0)) ++n;
        return n;
    }
    static constexpr KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
    Block a, b;
    std::string name;
};

const uint8_t kName[] = {4, 'j', 'o', 'b', 's'};

}  // namespace

TEST_F(Locks, SemaphoresBelongToOneOwner) {
    const uint16_t sa = static_cast<uint16_t>(a->user_slot), sb = static_cast<uint16_t>(b->user_slot);
    EXPECT_EQ(mtstsema(a.get(), kName, 7, sa), KX_E_NOTHELD);
    EXPECT_EQ(msetsema(a.get(), kName, 7, sa), 0);
    EXPECT_EQ(msetsema(b.get(), kName, 7, sb), KX_E_LOCKED);
    EXPECT_EQ(mtstsema(b.get(), kName, 7, sb), KX_E_LOCKED);
    EXPECT_EQ(mtstsema(a.get(), kName, 7, sa), KX_E_HELDBYME) << "and it stays";
    EXPECT_EQ(mclrsema(b.get(), kName, 7, sb), KX_E_LOCKED) << "only the owner clears it";
    EXPECT_EQ(msetsema(b.get(), kName, 8, sb), 0) << "another value is another semaphore";
    EXPECT_EQ(mclrsema(a.get(), kName, 7, sa), 0);
    EXPECT_EQ(mtstsema(b.get(), kName, 7, sb), KX_E_NOTHELD);
    // Clearing a semaphore that does not exist gives the search's answer.
    EXPECT_EQ(mclrsema(a.get(), kName, 7, sa), 1) << "the entry found has the same name, another value";
    const uint8_t last[] = {1, 'z'};
    EXPECT_EQ(mclrsema(a.get(), last, 1, sa), KX_E_FAIL);
    EXPECT_EQ(mclrsema(b.get(), kName, 8, sb), 0);
    EXPECT_EQ(lock_entries(a.get()), 0);
}

TEST_F(Locks, SemaphoreOfAClosedOwnerIsTakenOver) {
    const uint16_t sa = static_cast<uint16_t>(a->user_slot), sb = static_cast<uint16_t>(b->user_slot);
    ASSERT_EQ(msetsema(a.get(), kName, 1, sa), 0);
    ASSERT_EQ(mclose(a.get()), 0);
    EXPECT_EQ(mtstsema(b.get(), kName, 1, sb), KX_E_NOTHELD) << "a stale entry is removed";
    ASSERT_EQ(bopen(a.get(), name.c_str(), 'S', 2, roots), 0);
    ASSERT_EQ(msetsema(a.get(), kName, 2, static_cast<uint16_t>(a->user_slot)), 0);
    const uint16_t old = static_cast<uint16_t>(a->user_slot);
    ASSERT_EQ(mclose(a.get()), 0);
    EXPECT_EQ(msetsema(b.get(), kName, 2, sb), 0) << "a stale entry is taken over";
    EXPECT_EQ(mtstsema(b.get(), kName, 2, sb), KX_E_HELDBYME);
    // A new opener that gets the old slot sweeps what the slot left behind.
    ASSERT_EQ(msetsema(b.get(), kName, 3, old), 0);
    ASSERT_EQ(bopen(a.get(), name.c_str(), 'S', 2, roots), 0);
    ASSERT_EQ(+a->user_slot, old);
    EXPECT_EQ(mtstsema(b.get(), kName, 3, sb), KX_E_NOTHELD);
    EXPECT_EQ(lock_entries(a.get()), 1);
}

TEST_F(Locks, KeyLocksGuardEntriesAgainstOtherUsers) {
    int32_t k = 5;
    ASSERT_EQ(cdupadd(a.get(), 1, &k, 1, nullptr, 0), 0);
    int32_t k6 = 6;
    ASSERT_EQ(cdupadd(a.get(), 1, &k6, 1, nullptr, 0), 0);
    ASSERT_EQ(cfind(a.get(), 1, &k, 1, nullptr, 0), 0);
    EXPECT_EQ(msetlock(a.get(), 1), 0);
    EXPECT_EQ(msetlock(a.get(), 1), 0) << "twice is fine";
    EXPECT_EQ(lock_entries(b.get()), 1) << "and stores one entry";
    EXPECT_EQ(mtstlock(a.get(), 1), KX_E_HELDBYME);
    ASSERT_EQ(cfind(b.get(), 1, &k, 1, nullptr, 0), 0);
    EXPECT_EQ(mtstlock(b.get(), 1), KX_E_LOCKED);
    EXPECT_EQ(msetlock(b.get(), 1), KX_E_LOCKED);
    EXPECT_EQ(cdelete(b.get(), 1, &k, 1), KX_E_LOCKED) << "a locked key cannot be deleted by another user";
    EXPECT_EQ(cdelcur(b.get(), 1), KX_E_NOLOCK);
    EXPECT_EQ(cdelcur(a.get(), 1), 0) << "its holder may delete it";
    EXPECT_EQ(lock_entries(b.get()), 0) << "deleting the entry gave up its lock";
    // Moving the cursor gives the lock up.
    ASSERT_EQ(cfind(a.get(), 1, &k6, 1, nullptr, 0), 0);
    ASSERT_EQ(msetlock(a.get(), 1), 0);
    ASSERT_EQ(cprev(a.get(), 1, nullptr, 0), KX_E_FAIL);
    EXPECT_EQ(+a->root_locks[1], 'U');
    EXPECT_EQ(lock_entries(b.get()), 0);
    // Closing gives every lock up.
    ASSERT_EQ(cfind(a.get(), 1, &k6, 1, nullptr, 0), 0);
    ASSERT_EQ(msetlock(a.get(), 1), 0);
    ASSERT_EQ(mclose(a.get()), 0);
    EXPECT_EQ(lock_entries(b.get()), 0);
    ASSERT_EQ(cfind(b.get(), 1, &k6, 1, nullptr, 0), 0);
    EXPECT_EQ(msetlock(b.get(), 1), 0);
    EXPECT_EQ(mclrlock(b.get(), 1), 0);
    EXPECT_EQ(mtstlock(b.get(), 1), KX_E_NOTHELD);
}

using ExclusiveLocks = kxtest::FileTest;

TEST_F(ExclusiveLocks, LiveInTheBlockOnly) {
    Block c;
    ASSERT_EQ(ccreate(c.get(), file("ex.kx").c_str()), 0);
    const uint8_t n[] = {1, 'x'};
    EXPECT_EQ(msetsema(c.get(), n, 1, 0), 0);
    EXPECT_EQ(mtstsema(c.get(), n, 1, 0), KX_E_HELDBYME);
    EXPECT_EQ(mclrsema(c.get(), n, 1, 0), 0);
    EXPECT_EQ(msetlock(c.get(), 3), 0);
    EXPECT_EQ(mtstlock(c.get(), 3), KX_E_NOCURRENT) << "no entry under the cursor";
    EXPECT_EQ(msetlock(c.get(), 51), KX_E_ARG);
    EXPECT_EQ(cfirst(c.get(), 50, nullptr, 0), KX_E_FAIL) << "nothing stored";
    EXPECT_EQ(mclose(c.get()), 0);
    EXPECT_EQ(msetlock(c.get(), 1), KX_E_NOTOPEN);
}
