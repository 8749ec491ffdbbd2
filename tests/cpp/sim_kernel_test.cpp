// The simulated kernel32: last error, thread ids, the performance counter,
// Sleep, SRW locks and UTF-8 decoding, as the core relies on them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "simdesk.h"
#include "simwin.h"
#include "desk_test.h"

namespace {

using ostrand_test::eventually;

class SimKernel : public ostrand_test::DeskTest {};

// ---- Last error and thread ids ----

TEST_F(SimKernel, LastErrorIsPerThread) {
    SetLastError(1234);
    EXPECT_EQ(GetLastError(), 1234u);

    DWORD fresh = 99, afterSet = 0;
    std::thread t([&] {
        fresh = GetLastError();
        SetLastError(5678);
        afterSet = GetLastError();
    });
    t.join();
    EXPECT_EQ(fresh, 0u);  // a new thread starts clean, not with ours
    EXPECT_EQ(afterSet, 5678u);
    EXPECT_EQ(GetLastError(), 1234u);  // the other thread's set did not reach us

    SetLastError(0x20000000u | 42);  // application bit: stored as given
    EXPECT_EQ(GetLastError(), 0x2000002Au);
    SetLastError(0);
    EXPECT_EQ(GetLastError(), 0u);
}

TEST_F(SimKernel, ThreadIdsAreNonzeroAlignedDistinctAndStable) {
    const DWORD self = GetCurrentThreadId();
    EXPECT_NE(self, 0u);
    EXPECT_EQ(self % 4, 0u);
    EXPECT_EQ(GetCurrentThreadId(), self);

    constexpr int kThreads = 8;
    std::vector<DWORD> first(kThreads), second(kThreads);
    std::atomic<int> started{0};
    std::vector<std::thread> pool;
    for (int i = 0; i < kThreads; ++i) {
        pool.emplace_back([&, i] {
            first[i] = GetCurrentThreadId();
            // All alive at once, so the ids must differ while they live.
            started.fetch_add(1);
            eventually([&] { return started.load() == kThreads; });
            second[i] = GetCurrentThreadId();
        });
    }
    for (auto& t : pool) t.join();

    std::set<DWORD> ids{self};
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_NE(first[i], 0u);
        EXPECT_EQ(first[i] % 4, 0u);
        EXPECT_EQ(first[i], second[i]);
        ids.insert(first[i]);
    }
    EXPECT_EQ(ids.size(), (size_t)kThreads + 1);

    // The id creates no message queue; the record ends with the thread.
    std::atomic<DWORD> id{0};
    std::atomic<bool> go{false};
    std::thread probe([&] {
        id = GetCurrentThreadId();
        eventually([&] { return go.load(); });
    });
    ASSERT_TRUE(eventually([&] { return id.load() != 0; }));
    simdesk::ThreadState s;
    ASSERT_TRUE(simdesk::threadState(id, &s));
    EXPECT_EQ(s.id, id.load());
    EXPECT_TRUE(s.alive);
    EXPECT_FALSE(s.hasQueue);
    EXPECT_EQ(s.apartment, simdesk::Apartment::None);
    go = true;
    probe.join();
    ASSERT_TRUE(simdesk::threadState(id, &s));
    EXPECT_FALSE(s.alive);
}

// ---- Time ----

TEST_F(SimKernel, PerformanceCounterIsTenMegahertzAndMonotonic) {
    LARGE_INTEGER freq{};
    ASSERT_TRUE(QueryPerformanceFrequency(&freq));
    EXPECT_EQ(freq.QuadPart, 10000000);

    LARGE_INTEGER prev{};
    ASSERT_TRUE(QueryPerformanceCounter(&prev));
    EXPECT_GT(prev.QuadPart, 0);
    for (int i = 0; i < 10000; ++i) {
        LARGE_INTEGER now{};
        ASSERT_TRUE(QueryPerformanceCounter(&now));
        ASSERT_GE(now.QuadPart, prev.QuadPart) << "counter went back at read " << i;
        prev = now;
    }

    // The counter's units agree with the frequency: an interval read inside a
    // steady_clock interval cannot be longer than it (one tick of rounding).
    auto t0 = std::chrono::steady_clock::now();
    LARGE_INTEGER q0{}, q1{};
    QueryPerformanceCounter(&q0);
    Sleep(5);
    QueryPerformanceCounter(&q1);
    auto t1 = std::chrono::steady_clock::now();
    const int64_t outerNs = std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
    const int64_t innerNs = (q1.QuadPart - q0.QuadPart) * (1000000000 / freq.QuadPart);
    EXPECT_LE(innerNs, outerNs + 100);
    EXPECT_GE(innerNs, 5 * 1000000 - 100);  // Sleep(5) lasted at least 5 ms
}

TEST_F(SimKernel, SleepWaitsAtLeastTheGivenTimeAndZeroReturns) {
    Sleep(0);  // yields and comes back

    // A lower bound only: a noisy machine can make it longer, never shorter.
    auto t0 = std::chrono::steady_clock::now();
    Sleep(20);
    auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, std::chrono::milliseconds(20));
    EXPECT_EQ(simdesk::callCount("Sleep"), 2);
}

// ---- SRW locks ----

TEST_F(SimKernel, SrwTryAcquireFollowsTheLockState) {
    SRWLOCK lock = SRWLOCK_INIT;
    InitializeSRWLock(&lock);

    ASSERT_TRUE(TryAcquireSRWLockExclusive(&lock));
    EXPECT_FALSE(TryAcquireSRWLockExclusive(&lock));  // no recursion, even for the owner
    EXPECT_FALSE(TryAcquireSRWLockShared(&lock));
    bool otherShared = true, otherExclusive = true;
    std::thread([&] {
        otherShared = TryAcquireSRWLockShared(&lock);
        otherExclusive = TryAcquireSRWLockExclusive(&lock);
    }).join();
    EXPECT_FALSE(otherShared);
    EXPECT_FALSE(otherExclusive);
    ReleaseSRWLockExclusive(&lock);

    ASSERT_TRUE(TryAcquireSRWLockShared(&lock));
    ASSERT_TRUE(TryAcquireSRWLockShared(&lock));  // two readers
    EXPECT_FALSE(TryAcquireSRWLockExclusive(&lock));
    ReleaseSRWLockShared(&lock);
    EXPECT_FALSE(TryAcquireSRWLockExclusive(&lock));  // one reader is still in
    ReleaseSRWLockShared(&lock);

    ASSERT_TRUE(TryAcquireSRWLockExclusive(&lock));  // free again
    ReleaseSRWLockExclusive(&lock);
    ASSERT_TRUE(TryAcquireSRWLockShared(&lock));
    ReleaseSRWLockShared(&lock);
}

TEST_F(SimKernel, SrwExclusiveHolderKeepsOutReadersAndWriters) {
    SRWLOCK lock = SRWLOCK_INIT;
    AcquireSRWLockExclusive(&lock);

    std::atomic<bool> readerIn{false}, writerIn{false}, writerDone{false};
    std::thread reader([&] {
        AcquireSRWLockShared(&lock);
        readerIn = true;
        ReleaseSRWLockShared(&lock);
    });
    std::thread writer([&] {
        AcquireSRWLockExclusive(&lock);
        writerIn = true;
        ReleaseSRWLockExclusive(&lock);
        writerDone = true;
    });
    // Give them a chance to barge in; a correct lock holds them whatever the timing.
    for (int i = 0; i < 50; ++i) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(readerIn.load());
    EXPECT_FALSE(writerIn.load());

    ReleaseSRWLockExclusive(&lock);
    EXPECT_TRUE(eventually([&] { return readerIn.load() && writerDone.load(); }));
    reader.join();
    writer.join();

    // A writer waits for the last of two readers to leave.
    std::atomic<bool> helperIn{false}, helperGo{false};
    std::thread helper([&] {
        AcquireSRWLockShared(&lock);
        helperIn = true;
        eventually([&] { return helperGo.load(); });
        ReleaseSRWLockShared(&lock);
    });
    ASSERT_TRUE(eventually([&] { return helperIn.load(); }));
    AcquireSRWLockShared(&lock);
    writerIn = false;
    std::thread late([&] {
        AcquireSRWLockExclusive(&lock);
        writerIn = true;
        ReleaseSRWLockExclusive(&lock);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ReleaseSRWLockShared(&lock);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(writerIn.load());  // the helper still reads
    helperGo = true;
    EXPECT_TRUE(eventually([&] { return writerIn.load(); }));
    helper.join();
    late.join();
    EXPECT_TRUE(TryAcquireSRWLockExclusive(&lock));
    ReleaseSRWLockExclusive(&lock);
}

TEST_F(SimKernel, SrwAdmitsSeveralReadersAtOnce) {
    SRWLOCK lock = SRWLOCK_INIT;
    constexpr int kReaders = 4;
    std::atomic<int> inside{0};
    std::atomic<int> sawAll{0};
    std::vector<std::thread> pool;
    for (int i = 0; i < kReaders; ++i) {
        pool.emplace_back([&] {
            AcquireSRWLockShared(&lock);
            inside.fetch_add(1);
            // Only possible if every reader holds the lock at the same time.
            if (eventually([&] { return inside.load() == kReaders; })) sawAll.fetch_add(1);
            ReleaseSRWLockShared(&lock);
        });
    }
    for (auto& t : pool) t.join();
    EXPECT_EQ(sawAll.load(), kReaders);
    EXPECT_TRUE(TryAcquireSRWLockExclusive(&lock));  // every reader left
    ReleaseSRWLockExclusive(&lock);
}

TEST_F(SimKernel, SrwKeepsWritersExclusiveUnderContention) {
    SRWLOCK lock = SRWLOCK_INIT;
    InitializeSRWLock(&lock);
    std::atomic<int> writers{0}, readers{0}, violations{0};
    long counter = 0;  // guarded by the lock only
    constexpr int kIters = 2000;
    std::vector<std::thread> pool;
    for (int w = 0; w < 3; ++w) {
        pool.emplace_back([&] {
            for (int i = 0; i < kIters; ++i) {
                AcquireSRWLockExclusive(&lock);
                if (writers.fetch_add(1) != 0 || readers.load() != 0) violations.fetch_add(1);
                ++counter;
                writers.fetch_sub(1);
                ReleaseSRWLockExclusive(&lock);
            }
        });
    }
    for (int r = 0; r < 3; ++r) {
        pool.emplace_back([&] {
            for (int i = 0; i < kIters; ++i) {
                AcquireSRWLockShared(&lock);
                readers.fetch_add(1);
                if (writers.load() != 0) violations.fetch_add(1);
                readers.fetch_sub(1);
                ReleaseSRWLockShared(&lock);
            }
        });
    }
    for (auto& t : pool) t.join();
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(counter, 3L * kIters);
    EXPECT_EQ(simdesk::callCount("AcquireSRWLockExclusive"), 3 * kIters);
    EXPECT_EQ(simdesk::callCount("ReleaseSRWLockShared"), 3 * kIters);
}

// ---- UTF-8 ----

struct Decoded {
    int result;
    DWORD error;
    std::u16string text;  // what the call wrote, up to the result
};

Decoded decode(const std::string& bytes, int len, DWORD flags = 0) {
    char16_t buf[64];
    for (auto& c : buf) c = u'#';
    SetLastError(0);
    int n = MultiByteToWideChar(CP_UTF8, flags, bytes.data(), len, buf, 64);
    Decoded d{n, GetLastError(), {}};
    if (n > 0) d.text.assign(buf, (size_t)n);
    return d;
}

Decoded decodeAll(const std::string& bytes) { return decode(bytes, (int)bytes.size()); }

TEST_F(SimKernel, Utf8DecodesValidText) {
    // Size query: -1 counts the terminator, an explicit length does not.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0), 4);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 0), 3);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -7, nullptr, 0), 4);  // any negative length
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "", -1, nullptr, 0), 1);

    Decoded ascii = decode("Hello", -1);
    EXPECT_EQ(ascii.result, 6);
    EXPECT_EQ(ascii.text, std::u16string(u"Hello\0", 6));

    // No terminator is written for an explicit length.
    char16_t buf[8];
    for (auto& c : buf) c = u'#';
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "Hi", 2, buf, 8), 2);
    EXPECT_EQ(buf[0], u'H');
    EXPECT_EQ(buf[1], u'i');
    EXPECT_EQ(buf[2], u'#');

    EXPECT_EQ(decodeAll("\xC3\xA9").text, u"\u00E9");            // 2 bytes
    EXPECT_EQ(decodeAll("\xDF\xBF").text, u"\u07FF");            // largest 2-byte
    EXPECT_EQ(decodeAll("\xE2\x82\xAC").text, u"\u20AC");        // 3 bytes
    EXPECT_EQ(decodeAll("\xEF\xBF\xBD").text, u"\uFFFD");        // a real U+FFFD
    EXPECT_EQ(decodeAll("\xF0\x9F\x98\x80").text, u"\U0001F600");  // 4 bytes: a surrogate pair
    EXPECT_EQ(decodeAll("\xF0\x90\x80\x80").text, (std::u16string{0xD800, 0xDC00}));
    EXPECT_EQ(decodeAll("\xF4\x8F\xBF\xBF").text, (std::u16string{0xDBFF, 0xDFFF}));  // U+10FFFF
    EXPECT_EQ(decodeAll("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z").text, u"a\u00E9\u20AC\U0001F600z");

    // A valid string is valid with MB_ERR_INVALID_CHARS as well.
    Decoded strict = decode("\xE2\x82\xAC", 3, MB_ERR_INVALID_CHARS);
    EXPECT_EQ(strict.result, 1);
    EXPECT_EQ(strict.text, u"\u20AC");
}

TEST_F(SimKernel, Utf8ReplacesEachInvalidPartWithOneReplacementChar) {
    const char16_t R = 0xFFFD;
    struct Case {
        std::string bytes;
        std::u16string want;
    };
    const Case cases[] = {
        {"\xC0", {R}},
        {"\xC0\xC0\x80", {R, R, R}},
        {"\xE0\xC0", {R, R}},
        {"\xE0\x20\xC0", {R, u' ', R}},
        {"\xE6", {R}},              // truncated at the end
        {"\xE6\x88", {R}},          // one truncated sequence, one char
        {"\xE6\x88" "A", {R, u'A'}},
        {"\x80", {R}},              // lone continuation byte
        {"\xC1\xBF", {R, R}},       // overlong 2-byte form
        {"\xE0\x80\x80", {R, R, R}},  // overlong 3-byte form
        {"\xED\xA0\x80", {R, R, R}},  // encoded surrogate
        {"\xF4\x90\x80\x80", {R, R, R, R}},  // above U+10FFFF
        {"\xF8\x88\x80\x80\x80", {R, R, R, R, R}},  // 5-byte form: one per byte
        {"\xFC\x84\x80\x80\x80\x80", {R, R, R, R, R, R}},  // 6-byte form
        {"a\xFF" "b", {u'a', R, u'b'}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        Decoded d = decodeAll(c.bytes);
        EXPECT_EQ(d.result, (int)c.want.size());
        EXPECT_EQ(d.text, c.want);
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, c.bytes.data(), (int)c.bytes.size(), nullptr, 0),
                  (int)c.want.size());

        // The strict flag refuses the same input, for the size query too.
        Decoded strict = decode(c.bytes, (int)c.bytes.size(), MB_ERR_INVALID_CHARS);
        EXPECT_EQ(strict.result, 0);
        EXPECT_EQ(strict.error, (DWORD)ERROR_NO_UNICODE_TRANSLATION);
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.bytes.data(), (int)c.bytes.size(),
                                      nullptr, 0),
                  0);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);
    }
}

TEST_F(SimKernel, Utf8StrictFailureStillWritesReplacementChars) {
    char16_t buf[8];
    for (auto& c : buf) c = u'#';
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xC0" "b", 3, buf, 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(buf[0], u'a');
    EXPECT_EQ(buf[1], 0xFFFD);
    EXPECT_EQ(buf[2], u'b');
}

TEST_F(SimKernel, Utf8ReportsBadArgumentsAndShortBuffers) {
    char16_t buf[8];

    EXPECT_EQ(decode("abc", 3, 0x1).result, 0);  // MB_PRECOMPOSED is not allowed for UTF-8
    EXPECT_EQ(decode("abc", 3, 0x1).error, (DWORD)ERROR_INVALID_FLAGS);
    EXPECT_EQ(decode("abc", 3, MB_ERR_INVALID_CHARS | 0x4).error, (DWORD)ERROR_INVALID_FLAGS);

    Decoded empty = decode("abc", 0);
    EXPECT_EQ(empty.result, 0);
    EXPECT_EQ(empty.error, (DWORD)ERROR_INVALID_PARAMETER);

    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 4), 0);  // no buffer but a size
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, buf, 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    char same[16] = "abc";
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, same, 3, reinterpret_cast<LPWSTR>(same), 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // Too small: fails, but what fits has been written.
    for (auto& c : buf) c = u'#';
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcdef", -1, buf, 3), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(buf[0], u'a');
    EXPECT_EQ(buf[2], u'c');
    EXPECT_EQ(buf[3], u'#');
    // The terminator needs its own unit.
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, buf, 3), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    // A surrogate pair does not fit in one unit.
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, buf, 1), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    // Exactly enough room succeeds.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, buf, 4), 4);
    EXPECT_EQ(buf[3], 0);
}

}  // namespace
