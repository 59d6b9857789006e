// Mutexes, threads and time
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>

#include "aMutex.h"
#include "aThread.h"
#include "aTime.h"

TEST(aMutex, NamesUpTo255Characters) {
    std::string name(255, 'm');
    aMutexRef m = aMutex_Create(name.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(aMutex_Identifier(m), name);
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
    EXPECT_EQ(m, nullptr);
    name += 'm';
    EXPECT_EQ(aMutex_Create(name.c_str()), nullptr);
    aMutexRef unnamed = aMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(aMutex_Identifier(unnamed), "");
    aMutex_Destroy(&unnamed);
    EXPECT_EQ(aMutex_Destroy(&unnamed), aErrParam);
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
}

TEST(aMutex, ReportsMisuseInsteadOfDeadlocking) {
    aMutexRef m = aMutex_Create("link");
    ASSERT_EQ(aMutex_Lock(m), aErrNone);
    EXPECT_EQ(aMutex_Lock(m), aErrDuplicate);
    // Another thread: TryLock answers at once, and it may not unlock what it lacks.
    auto other = std::async(std::launch::async, [&] {
        aErr tryLock = aMutex_TryLock(m);
#ifndef __SANITIZE_THREAD__ // the sanitizer reports the foreign unlock before we can
        EXPECT_EQ(aMutex_Unlock(m), aErrPermission);
#endif
        return tryLock;
    });
    EXPECT_EQ(other.get(), aErrBusy);
    EXPECT_EQ(aMutex_Unlock(m), aErrNone);
    EXPECT_EQ(aMutex_TryLock(m), aErrNone);
    EXPECT_EQ(aMutex_Unlock(m), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
}

TEST(aThread, RunsTheProcedureAndJoins) {
    std::atomic<int> ran{0};
    aThreadRef t =
        aThread_Create([](void* arg) { static_cast<std::atomic<int>*>(arg)->store(42); }, &ran);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(aThread_Destroy(&t), 0);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(ran, 42);
    EXPECT_NE(aThread_Destroy(&t), 0);
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
}

TEST(aTime, ClockAdvancesAcrossASleep) {
    uint64_t before = aTime_GetMSTicks();
    EXPECT_GT(before, 1500000000000u); // wall clock, after 2017
    aTime_MSSleep(0);
    aTime_MSSleep(20);
    EXPECT_GE(aTime_GetMSTicks(), before + 20);
}
