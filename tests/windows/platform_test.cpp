// The core's lifecycle pieces on the real system: the perception thread's
// apartment and message loop, and the lazy UI Automation session where the
// system cannot create it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/framework.h"
#include "core/native_core.h"
#include "events/perception_engine.h"

using namespace Ostrand;

namespace {

// What the perception thread retrieved from its queue, seen by a message hook
// that runs on that thread.
struct Observed {
    std::atomic<int> apartment{-1};
    std::atomic<bool> sawProbe{false};
    std::atomic<bool> sawQuit{false};
};
Observed observed;
constexpr UINT kProbe = WM_USER + 7;

LRESULT CALLBACK watchMessages(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && wParam == PM_REMOVE) {
        const MSG* msg = reinterpret_cast<const MSG*>(lParam);
        if (msg->message == kProbe) {
            APTTYPE type;
            APTTYPEQUALIFIER qualifier;
            if (SUCCEEDED(CoGetApartmentType(&type, &qualifier))) observed.apartment = type;
            observed.sawProbe = true;
        }
        if (msg->message == WM_QUIT) observed.sawQuit = true;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

bool eventually(const std::atomic<bool>& flag) {
    for (int i = 0; i < 1000 && !flag.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return flag.load();
}

TEST(PerceptionThread, PumpsItsQueueInASingleThreadedApartmentAndLeavesOnWmQuit) {
    EventDrivenPerceptionEngine engine(&NativeCore::instance(), nullptr);
    engine.start();
    ASSERT_TRUE(engine.running.load());
    DWORD id = engine.threadId.load();
    ASSERT_NE(id, 0u);
    HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, watchMessages, nullptr, id);
    ASSERT_NE(hook, nullptr);

    // Running means the queue is there: a message posted at once arrives.
    ASSERT_TRUE(PostThreadMessageW(id, kProbe, 0, 0)) << GetLastError();
    ASSERT_TRUE(eventually(observed.sawProbe));
    // The process's first single-threaded apartment is its main one.
    EXPECT_TRUE(observed.apartment.load() == APTTYPE_STA || observed.apartment.load() == APTTYPE_MAINSTA)
        << observed.apartment.load();

    // stop() posts WM_QUIT, which the loop takes off its queue.
    engine.stop();
    EXPECT_TRUE(observed.sawQuit.load());
    EXPECT_FALSE(engine.running.load());
    UnhookWindowsHookEx(hook);
}

TEST(PerceptionThread, StopsWithoutWmQuitAtItsNextWake) {
    EventDrivenPerceptionEngine engine(&NativeCore::instance(), nullptr);
    engine.start();
    ASSERT_TRUE(engine.running.load());
    // As when stop() ran before the thread published its id: no WM_QUIT,
    // the flag alone ends the loop at the next timeout of the wait.
    engine.threadId.store(0);
    engine.stop();
    EXPECT_FALSE(engine.thread.joinable());
}

TEST(UiaSession, WhereTheSystemCannotCreateItTheFailureIsLoggedAndNothingStays) {
    // Whether this system has a UI Automation client at all: CUIAutomation8,
    // or where that class is not registered, CUIAutomation.
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    auto probe = [](REFCLSID clsid) {
        IUIAutomation* object = nullptr;
        HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation,
                                      reinterpret_cast<void**>(&object));
        if (object) object->Release();
        return hr;
    };
    HRESULT expected = probe(CLSID_CUIAutomation8);
    if (expected == REGDB_E_CLASSNOTREG) expected = probe(CLSID_CUIAutomation);
    CoUninitialize();
    if (SUCCEEDED(expected)) GTEST_SKIP() << "this system can create UI Automation's object";

    initialiseFramework();
    NativeCore& core = NativeCore::instance();
    size_t mark = core.logCopy().size();
    EXPECT_EQ(core.ensureUiaSession(), expected);
    char hex[16];
    std::snprintf(hex, sizeof(hex), "%08lX", static_cast<unsigned long>(expected));
    EXPECT_EQ(core.logCopy().substr(mark), std::string("CoCreateInstance(CUIAutomation) failed: 0x") + hex + "\n");
    EXPECT_FALSE(core.uiaReady.load());
    EXPECT_FALSE(core.automationRef());
    // The failed attempt undid its COM initialisation: this thread starts
    // afresh.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
    shutdownFramework();
    EXPECT_FALSE(core.started.load());
}

}  // namespace
