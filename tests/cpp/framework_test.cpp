// Start-up, shutdown and the perception thread.
#include <future>
#include <new>
#include <system_error>

#include "elements/handle_registry.h"
#include "test_support.h"

using namespace Ostrand;
using namespace ostrand_test;

namespace {

class FrameworkTest : public CoreTest {
protected:
    void TearDown() override {
        EventDrivenPerceptionEngine::threadLauncher = defaultLauncher;
        CoreTest::TearDown();
    }

    Framework& f = framework();
    EventDrivenPerceptionEngine::ThreadLauncher defaultLauncher = EventDrivenPerceptionEngine::threadLauncher;
};

// Shuts down on another thread so that a hang fails the test instead of
// stopping the run.
bool shutdownWithin(std::chrono::seconds limit) {
    auto done = std::async(std::launch::async, [] { shutdownFramework(); });
    return done.wait_for(limit) == std::future_status::ready;
}

TEST_F(FrameworkTest, InitialiseBuildsEverythingOnceAndShutdownTakesItDown) {
    size_t mark = logMark();
    initialiseFramework();
    ASSERT_TRUE(f.initialised.load());
    ASSERT_TRUE(f.store && f.cacheManager && f.dispatcher && f.engine);
    EXPECT_FALSE(f.store->isValid());
    EXPECT_EQ(f.cacheManager->store, f.store.get());
    EXPECT_EQ(f.engine->cacheManager, f.cacheManager.get());
    EXPECT_EQ(f.cacheManager->configSnapshot().propertyIds, (std::vector<int32_t>{30005, 30011, 30003, 30001, 30010, 30012}));
    EXPECT_EQ(f.cacheManager->configSnapshot().scope, 7);
    EXPECT_EQ(f.cacheManager->activeMode(), PerceptionMode::Auto);
    EXPECT_FALSE(NativeCore::instance().uiaReady.load());

    SnapshotStore* store = f.store.get();
    initialiseFramework();  // a second call changes nothing
    EXPECT_EQ(f.store.get(), store);
    EXPECT_EQ(logSince(mark), "NativeCore initialised (Win32 path ready, UIA deferred)\n");

    shutdownFramework();
    EXPECT_FALSE(f.initialised.load());
    EXPECT_FALSE(f.store || f.cacheManager || f.dispatcher || f.engine);
    shutdownFramework();  // and so does a second shutdown
    EXPECT_EQ(logSince(mark),
              "NativeCore initialised (Win32 path ready, UIA deferred)\n"
              "NativeCore shut down\n");
}

TEST_F(FrameworkTest, CyclesRepeatAndTheLogKeepsGrowing) {
    size_t mark = logMark();
    for (int i = 0; i < 3; ++i) {
        initialiseFramework();
        ASSERT_TRUE(f.engine && f.engine->running.load());
        shutdownFramework();
    }
    std::string cycle = "NativeCore initialised (Win32 path ready, UIA deferred)\nNativeCore shut down\n";
    EXPECT_EQ(logSince(mark), cycle + cycle + cycle);
}

TEST_F(FrameworkTest, PerceptionThreadRunsInItsOwnApartmentAndPumpsItsQueue) {
    initialiseFramework();
    DWORD id = f.engine->threadId.load();
    ASSERT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    simdesk::ThreadState s = threadState(id);
    EXPECT_TRUE(s.alive);
    EXPECT_EQ(s.apartment, simdesk::Apartment::Sta);
    EXPECT_TRUE(s.hasQueue);

    int64_t dispatched = simdesk::callCount("DispatchMessageW");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(PostThreadMessageW(id, WM_USER + i, 0, 0));
    EXPECT_TRUE(eventually([&] { return threadState(id).messagesRemoved >= 3; }));
    EXPECT_TRUE(eventually([&] { return simdesk::callCount("DispatchMessageW") >= dispatched + 3; }));
    EXPECT_EQ(threadState(id).queued, 0u);
}

TEST_F(FrameworkTest, QuitMessageEndsTheThreadWithoutWaitingForTheTimeout) {
    initialiseFramework();
    DWORD id = f.engine->threadId.load();
    ASSERT_TRUE(eventually([&] { return threadState(id).waits >= 1; }));
    uint64_t timeoutsBefore = threadState(id).waitTimeouts;
    ASSERT_TRUE(shutdownWithin(std::chrono::seconds(10)));
    simdesk::ThreadState s = threadState(id);
    EXPECT_FALSE(s.alive);
    // Woken by the posted WM_QUIT: the last wait ended on input. A timeout in
    // between is possible only if the thread had been idle for a second.
    EXPECT_EQ(s.lastWaitResult, (DWORD)WAIT_OBJECT_0);
    EXPECT_LE(s.waitTimeouts, timeoutsBefore + 1);
    EXPECT_EQ(s.apartment, simdesk::Apartment::None);
}

TEST_F(FrameworkTest, ThreadStopsOnItsTimeoutWhenTheQuitMessageCannotBePosted) {
    initialiseFramework();
    DWORD id = f.engine->threadId.load();
    ASSERT_TRUE(eventually([&] { return threadState(id).waits >= 1; }));
    simdesk::failCall("PostThreadMessageW", ERROR_NOT_ENOUGH_QUOTA);
    ASSERT_TRUE(shutdownWithin(std::chrono::seconds(10)));
    simdesk::ThreadState s = threadState(id);
    EXPECT_FALSE(s.alive);
    EXPECT_EQ(s.lastWaitResult, (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(simdesk::callCount("PostThreadMessageW"), 1);
}

TEST_F(FrameworkTest, ThreadWhoseApartmentFailsEndsAndInitialiseStillSucceeds) {
    simdesk::failCall("CoInitializeEx", E_OUTOFMEMORY);
    initialiseFramework();
    EXPECT_TRUE(f.initialised.load());
    EXPECT_FALSE(f.engine->running.load());
    EXPECT_EQ(f.engine->threadId.load(), 0u);
    EXPECT_TRUE(shutdownWithin(std::chrono::seconds(10)));
    EXPECT_EQ(simdesk::callCount("PostThreadMessageW"), 0);
}

TEST_F(FrameworkTest, ThreadThatCannotBeCreatedLeavesNothingHalfBuilt) {
    size_t mark = logMark();
    EventDrivenPerceptionEngine::threadLauncher = [](EventDrivenPerceptionEngine*) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    EXPECT_THROW(initialiseFramework(), std::system_error);
    EXPECT_FALSE(f.initialised.load());
    EXPECT_FALSE(f.store || f.cacheManager || f.dispatcher || f.engine);
    EXPECT_FALSE(NativeCore::instance().started.load());
    EXPECT_EQ(logSince(mark),
              "NativeCore initialised (Win32 path ready, UIA deferred)\n"
              "NativeCore shut down\n");

    EventDrivenPerceptionEngine::threadLauncher = [](EventDrivenPerceptionEngine*) -> std::thread {
        throw std::bad_alloc();
    };
    EXPECT_THROW(initialiseFramework(), std::bad_alloc);
    EXPECT_FALSE(f.initialised.load());

    EventDrivenPerceptionEngine::threadLauncher = defaultLauncher;
    initialiseFramework();
    EXPECT_TRUE(f.initialised.load());
    EXPECT_TRUE(f.engine->running.load());
}

TEST_F(FrameworkTest, ShutdownRemovesHandlersReleasesTheSessionAndEmptiesTheRegistry) {
    initialiseFramework();
    NativeCore& core = NativeCore::instance();
    ASSERT_EQ(core.ensureUiaSession(), S_OK);

    simdesk::WindowDesc desc;
    desc.className = u"#32770";
    HWND window = simdesk::createWindow(desc);
    ComPtr<IUIAutomationElement> element;
    ASSERT_EQ(core.automation->ElementFromHandle(window, element.put()), S_OK);
    const int32_t first = handleRegistry().registerElement(element.get());
    EXPECT_EQ(handleRegistry().registerElement(element.get()), first + 1);
    element.reset();

    shutdownFramework();
    EXPECT_EQ(simdesk::callCount("RemoveAllEventHandlers"), 1);
    EXPECT_EQ(handleRegistry().size(), 0u);
    EXPECT_EQ(simdesk::liveCounts().com, 0);
    EXPECT_EQ(threadState(GetCurrentThreadId()).apartment, simdesk::Apartment::None);

    initialiseFramework();  // ids carry on: an old handle names nothing new
    ASSERT_EQ(core.ensureUiaSession(), S_OK);
    ASSERT_EQ(core.automation->ElementFromHandle(window, element.put()), S_OK);
    EXPECT_EQ(handleRegistry().registerElement(element.get()), first + 2);
}

TEST_F(FrameworkTest, ShutdownTriesAFailedHandlerRemovalAgain) {
    initialiseFramework();
    framework().engine->subscribeFocusChanged();
    ASSERT_EQ(simdesk::eventRegistrations().size(), 1u);
    simdesk::failCall("RemoveAllEventHandlers", E_FAIL);
    shutdownFramework();
    EXPECT_EQ(simdesk::callCount("RemoveAllEventHandlers"), 2);
    EXPECT_TRUE(simdesk::eventRegistrations().empty());
}

TEST_F(FrameworkTest, ShutdownWithoutASessionMakesNoComCall) {
    initialiseFramework();
    shutdownFramework();
    EXPECT_EQ(simdesk::callCount("RemoveAllEventHandlers"), 0);
    EXPECT_EQ(simdesk::callCount("CoCreateInstance"), 0);
}

}  // namespace
