// The lazy UI Automation session and the diagnostic log.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/native_core.h"
#include "test_support.h"

using namespace Ostrand;
using namespace ostrand_test;

namespace {

class NativeCoreTest : public CoreTest {
protected:
    NativeCore& core = NativeCore::instance();
};

simdesk::Apartment apartmentHere() { return threadState(GetCurrentThreadId()).apartment; }

TEST_F(NativeCoreTest, SessionRefusesToOpenBeforeStart) {
    size_t mark = logMark();
    EXPECT_EQ(core.ensureUiaSession(), HRESULT_FROM_WIN32(ERROR_INVALID_STATE));
    EXPECT_EQ((uint32_t)core.ensureUiaSession(), 0x8007139Fu);
    EXPECT_EQ(simdesk::callCount("CoInitializeEx"), 0);
    EXPECT_EQ(simdesk::callCount("CoCreateInstance"), 0);
    EXPECT_FALSE(core.uiaReady.load());
    EXPECT_EQ(logSince(mark), "");
}

TEST_F(NativeCoreTest, OpensOnceInTheMultithreadedApartmentAndClosesOnShutdown) {
    size_t mark = logMark();
    ASSERT_TRUE(core.start());
    EXPECT_FALSE(core.start());  // already started: nothing logged again
    EXPECT_FALSE(core.uiaReady.load());
    EXPECT_EQ(simdesk::callCount("CoInitializeEx"), 0);  // UIA deferred

    EXPECT_EQ(core.ensureUiaSession(), S_OK);
    EXPECT_EQ(core.ensureUiaSession(), S_OK);
    EXPECT_TRUE(core.uiaReady.load());
    EXPECT_TRUE(core.comInitialised);
    EXPECT_TRUE(core.automation);
    EXPECT_EQ(simdesk::callCount("CoCreateInstance"), 1);
    EXPECT_EQ(apartmentHere(), simdesk::Apartment::Mta);
    EXPECT_EQ(simdesk::liveCounts().com, 1);

    core.shutdown();
    EXPECT_FALSE(core.automation);
    EXPECT_FALSE(core.uiaReady.load());
    EXPECT_FALSE(core.started.load());
    EXPECT_EQ(apartmentHere(), simdesk::Apartment::None);  // CoUninitialize balanced
    EXPECT_EQ(logSince(mark),
              "NativeCore initialised (Win32 path ready, UIA deferred)\n"
              "UIA COM session initialised (lazy)\n"
              "NativeCore shut down\n");
}

TEST_F(NativeCoreTest, FailedCoInitializeIsLoggedAndRetriedByTheNextCaller) {
    core.start();
    size_t mark = logMark();
    simdesk::failCall("CoInitializeEx", E_OUTOFMEMORY);
    EXPECT_EQ(core.ensureUiaSession(), E_OUTOFMEMORY);
    EXPECT_FALSE(core.uiaReady.load());
    EXPECT_EQ(simdesk::callCount("CoCreateInstance"), 0);
    EXPECT_EQ(logSince(mark), "CoInitializeEx failed: 0x8007000E\n");
    EXPECT_EQ(core.ensureUiaSession(), S_OK);
    EXPECT_EQ(logSince(mark), "CoInitializeEx failed: 0x8007000E\nUIA COM session initialised (lazy)\n");
}

TEST_F(NativeCoreTest, FailedCreationLogsEachAttemptAndLeavesNoComInitialisation) {
    core.start();
    size_t mark = logMark();
    simdesk::failCall("CoCreateInstance", REGDB_E_CLASSNOTREG, -1);
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(core.ensureUiaSession(), REGDB_E_CLASSNOTREG);
        EXPECT_EQ(threadState(GetCurrentThreadId()).comInitCount, 0) << "attempt " << attempt;
        EXPECT_FALSE(core.comInitialised);
        EXPECT_FALSE(core.automation);
    }
    EXPECT_FALSE(core.uiaReady.load());
    EXPECT_EQ(logSince(mark),
              "CoCreateInstance(CUIAutomation) failed: 0x80040154\n"
              "CoCreateInstance(CUIAutomation) failed: 0x80040154\n"
              "CoCreateInstance(CUIAutomation) failed: 0x80040154\n");
    core.shutdown();
    EXPECT_EQ(apartmentHere(), simdesk::Apartment::None);
}

// CUIAutomation8, which gives up on an application that does not answer;
// CUIAutomation, which waits until it does, only where the newer class is not
// registered. The failure logged is the last creation's.
TEST_F(NativeCoreTest, TheSessionIsTheObjectThatTimesOutUnlessOnlyTheOlderOneIsRegistered) {
    struct Case {
        bool eightRegistered;
        HRESULT firstFails;   // injected into the first creation (S_OK: none)
        HRESULT secondFails;  // and into the second
        HRESULT result;
        int creations;
        bool timesOut;  // the session gives up on a hung window
    } cases[] = {
        {true, S_OK, S_OK, S_OK, 1, true},
        {false, S_OK, S_OK, S_OK, 2, false},
        {true, REGDB_E_CLASSNOTREG, S_OK, S_OK, 2, false},
        {true, E_OUTOFMEMORY, S_OK, E_OUTOFMEMORY, 1, false},  // not a missing class: not tried again here
        {false, S_OK, E_ACCESSDENIED, E_ACCESSDENIED, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "registered " << c.eightRegistered << ", first 0x" << std::hex
                                        << c.firstFails << ", second 0x" << c.secondFails);
        simdesk::reset();
        simdesk::setAutomation8Registered(c.eightRegistered);
        if (c.firstFails != S_OK) simdesk::failCall("CoCreateInstance", c.firstFails);
        if (c.secondFails != S_OK) simdesk::failCall("CoCreateInstance", c.secondFails, 1, 1);
        core.start();
        size_t mark = logMark();
        EXPECT_EQ(core.ensureUiaSession(), c.result);
        EXPECT_EQ(simdesk::callCount("CoCreateInstance"), c.creations);
        if (FAILED(c.result)) {
            EXPECT_EQ(logSince(mark), "CoCreateInstance(CUIAutomation) failed: 0x" + hresultHex(c.result) + "\n");
            core.shutdown();
            continue;
        }
        HWND window = makeWindow(nullptr, u"#32770");
        simdesk::setUiaTimeouts({5, 5});
        simdesk::setWindowHung(window, true);
        // The older object waits for the window: it answers once recovered.
        std::thread recover;
        if (!c.timesOut)
            recover = std::thread([window] {
                EXPECT_TRUE(eventually([] { return simdesk::uiaCallsWaiting() == 1; }));
                simdesk::setWindowHung(window, false);
            });
        ComPtr<IUIAutomationElement> element;
        HRESULT hr = core.automationRef()->ElementFromHandle(reinterpret_cast<UIA_HWND>(window), element.put());
        if (recover.joinable()) recover.join();
        EXPECT_EQ(hr, c.timesOut ? static_cast<HRESULT>(UIA_E_TIMEOUT) : S_OK);
        EXPECT_EQ(simdesk::uiaCallsTimedOut(), c.timesOut ? 1 : 0);
        element.reset();
        core.shutdown();
    }
}

TEST_F(NativeCoreTest, CreationThatSucceedsWithoutTheObjectIsAFailureTriedAgainLater) {
    core.start();
    size_t mark = logMark();
    simdesk::failCall("CoCreateInstance", S_OK);  // S_OK, and no object
    EXPECT_EQ(core.ensureUiaSession(), E_FAIL);
    EXPECT_FALSE(core.uiaReady.load());
    EXPECT_FALSE(core.comInitialised);
    EXPECT_EQ(threadState(GetCurrentThreadId()).comInitCount, 0);
    EXPECT_EQ(core.ensureUiaSession(), S_OK);
    EXPECT_TRUE(core.automation);
    EXPECT_EQ(logSince(mark), "CoCreateInstance(CUIAutomation) failed: 0x80004005\nUIA COM session initialised (lazy)\n");
    core.shutdown();
}

TEST_F(NativeCoreTest, ThreadInASingleThreadedApartmentKeepsIt) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    core.start();
    EXPECT_EQ(core.ensureUiaSession(), S_OK);  // RPC_E_CHANGED_MODE counts as success
    EXPECT_FALSE(core.comInitialised);
    EXPECT_EQ(apartmentHere(), simdesk::Apartment::Sta);
    core.shutdown();
    // No CoUninitialize was owed: the caller's own STA is still there.
    simdesk::ThreadState s = threadState(GetCurrentThreadId());
    EXPECT_EQ(s.apartment, simdesk::Apartment::Sta);
    EXPECT_EQ(s.comInitCount, 1);
    CoUninitialize();
}

TEST_F(NativeCoreTest, ShutdownOnAnotherThreadLeavesThatThreadsComAlone) {
    core.start();
    std::thread opener([&] { EXPECT_EQ(core.ensureUiaSession(), S_OK); });
    opener.join();
    ASSERT_TRUE(core.uiaReady.load());
    // The thread that shuts down has its own apartment, which must survive.
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    core.shutdown();
    EXPECT_EQ(threadState(GetCurrentThreadId()).comInitCount, 1);
    EXPECT_EQ(apartmentHere(), simdesk::Apartment::Sta);
    EXPECT_EQ(simdesk::liveCounts().com, 0);
    CoUninitialize();
}

TEST_F(NativeCoreTest, ConcurrentFirstUsersCreateOneSession) {
    core.start();
    size_t mark = logMark();
    std::atomic<int> ok{0}, ready{0};
    std::vector<std::thread> users;
    for (int i = 0; i < 8; ++i)
        users.emplace_back([&] {
            // All at once: none may find the session made before it asks.
            ready.fetch_add(1);
            while (ready.load() < 8) std::this_thread::yield();
            if (core.ensureUiaSession() == S_OK) ok.fetch_add(1);
        });
    for (auto& t : users) t.join();
    EXPECT_EQ(ok.load(), 8);
    EXPECT_EQ(simdesk::callCount("CoCreateInstance"), 1);
    EXPECT_EQ(logSince(mark), "UIA COM session initialised (lazy)\n");
}

TEST(HresultText, EightUpperCaseDigitsOfTheUnsignedValue) {
    EXPECT_EQ(hresultHex(E_FAIL), "80004005");
    EXPECT_EQ(hresultHex(S_OK), "00000000");
    EXPECT_EQ(hresultHex((HRESULT)0x0000ABCD), "0000ABCD");
}

}  // namespace

namespace {

// The log keeps its newest lines within its capacity and says how many went;
// below the capacity it reads exactly as written.
TEST(DiagnosticLogTest, KeepsTheNewestLinesWithinItsCapacity) {
    NativeCore& core = NativeCore::instance();
    const std::string before = core.logCopy();
    core.log("first");
    ASSERT_EQ(core.logCopy(), before + "first\n");
    const size_t base = std::count(before.begin(), before.end(), '\n') + 1;
    const int total = 40000;  // about 1.3 MB of lines of varied length
    for (int i = 0; i < total; ++i) core.log("line " + std::to_string(i) + std::string(i % 37, 'x'));
    std::string log = core.logCopy();
    EXPECT_LE(log.size(), NativeCore::kLogCapacity + 64);
    ASSERT_EQ(log.back(), '\n');
    size_t firstEnd = log.find('\n');
    std::string notice = log.substr(0, firstEnd);
    unsigned long long dropped = 0;
    ASSERT_EQ(std::sscanf(notice.c_str(), "(%llu earlier lines dropped)", &dropped), 1) << notice;
    // Every line is accounted for: the dropped ones and a run of the newest.
    size_t kept = std::count(log.begin(), log.end(), '\n') - 1;
    EXPECT_EQ(dropped + kept, base + total);
    std::string last = "line " + std::to_string(total - 1) + std::string((total - 1) % 37, 'x') + "\n";
    EXPECT_EQ(log.compare(log.size() - last.size(), last.size(), last), 0);
    int next = std::stoi(log.substr(firstEnd + 1 + 5));
    EXPECT_EQ(static_cast<size_t>(next), dropped - base);  // whole lines only, the oldest kept first
}

// A full log is trimmed in large steps, so that each trim, which moves the
// whole log, is paid for by many appends.
TEST(DiagnosticLogTest, AFullLogIsTrimmedRarelyAndByMuch) {
    NativeCore& core = NativeCore::instance();
    const std::string line(999, 'x');  // 1,000 bytes with its line feed
    const size_t perCapacity = NativeCore::kLogCapacity / 1000;
    auto dropped = [&] {
        unsigned long long n = 0;
        std::sscanf(core.logCopy().c_str(), "(%llu earlier lines dropped)", &n);
        return n;
    };
    for (size_t i = 0; i < 2 * perCapacity; ++i) core.log(line);  // full, and trimmed at least once
    unsigned long long last = dropped();
    ASSERT_GT(last, 0u);
    int trims = 0;
    unsigned long long smallest = ~0ull;  // lines dropped by the smallest trim
    for (size_t i = 0; i < 4 * perCapacity; ++i) {
        core.log(line);
        unsigned long long now = dropped();
        if (now == last) continue;
        ++trims;
        smallest = std::min(smallest, now - last);
        last = now;
    }
    ASSERT_GE(trims, 1);
    EXPECT_GE(smallest * 1000, NativeCore::kLogCapacity / 8) << trims << " trims";
}

}  // namespace
