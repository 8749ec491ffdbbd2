// The engine's three handlers, called as UI Automation calls them: what they
// do to the snapshot store, which events they hand on, and how they stay
// safe while the framework goes down under them.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "events/event_handlers.h"
#include "perception/element_record.h"
#include "test_support.h"

using namespace Ostrand;
using namespace ostrand_test;

namespace {

class EventHandlersTest : public CoreTest {
protected:
    using Engine = EventDrivenPerceptionEngine;

    void SetUp() override {
        CoreTest::SetUp();
        initialiseFramework();
        engine = framework().engine.get();
        store = framework().store.get();
        framework().cacheManager->configure({}, "subtree", "uia");
        simdesk::WindowDesc d;
        d.className = u"Chrome_WidgetWin_1";
        d.text = u"Mail";
        d.rect = RECT{0, 0, 800, 600};
        top = simdesk::createWindow(d);
        simdesk::ElementDesc e;
        e.name = u"Send";
        e.controlType = 50000;
        e.rect = RECT{10, 20, 30, 40};
        e.runtimeId = std::vector<int32_t>{42, 7, 2};
        button = simdesk::addElement(simdesk::elementOf(top), e);
        std::vector<RecordPtr> out;
        ASSERT_EQ(framework().cacheManager->queryElements(top, out), S_OK);
        automation = NativeCore::instance().automationRef();
        engine->setCallback([this](UIChangeEvent e) {
            std::lock_guard<std::mutex> g(m);
            events.push_back(std::move(e));
        });
    }
    void TearDown() override {
        sender.reset();
        automation.reset();
        CoreTest::TearDown();
    }

    // A live element for an id, as UI Automation hands senders over.
    ComPtr<IUIAutomationElement> elementFor(const std::u16string& name) {
        ComPtr<IUIAutomationElement> root, found;
        automation->ElementFromHandle(top, root.put());
        Variant v;
        v.get().vt = VT_BSTR;
        v.get().bstrVal = SysAllocString(name.c_str());
        ComPtr<IUIAutomationCondition> c;
        automation->CreatePropertyCondition(UIA_NamePropertyId, v.get(), c.put());
        root->FindFirst(TreeScope_Subtree, c.get(), found.put());
        return found;
    }
    std::map<std::string, ElementRecord> records() {
        std::map<std::string, ElementRecord> out;
        for (auto& r : store->copyRecords()) out[r->runtime_id_key] = *r;
        return out;
    }
    HRESULT nameChange(IUIAutomationElement* who, VARIANT value) {
        auto h = ComPtr<Engine::PropertyHandler>::adopt(new Engine::PropertyHandler(engine, top));
        return h->HandlePropertyChangedEvent(who, UIA_NamePropertyId, value);
    }

    Engine* engine = nullptr;
    SnapshotStore* store = nullptr;
    HWND top = nullptr;
    simdesk::ElementId button = 0;
    ComPtr<IUIAutomation> automation;
    ComPtr<IUIAutomationElement> sender;
    std::mutex m;
    std::vector<UIChangeEvent> events;
};

TEST_F(EventHandlersTest, HandlersAnswerQueryInterfaceAndFreeThemselves) {
    auto* h = new Engine::FocusHandler(engine);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(h->QueryInterface(IID_IUIAutomationElement, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(h->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    ASSERT_EQ(h->QueryInterface(IID_IUIAutomationFocusChangedEventHandler, &out), S_OK);
    EXPECT_EQ(out, static_cast<IUIAutomationFocusChangedEventHandler*>(h));
    EXPECT_EQ(h->AddRef(), 3u);
    EXPECT_EQ(h->Release(), 2u);
    EXPECT_EQ(h->Release(), 1u);
    EXPECT_EQ(h->Release(), 0u);  // freed (ASan would see a leak or a double free)
}

TEST_F(EventHandlersTest, NameChangePatchesOneRecordInPlace) {
    auto before = records();
    sender = elementFor(u"Send");
    ASSERT_TRUE(sender);
    Variant name;
    name.get().vt = VT_BSTR;
    name.get().bstrVal = SysAllocStringLen(u"Go\0later", 8);  // cut at the NUL
    EXPECT_EQ(nameChange(sender.get(), name.get()), S_OK);
    auto after = records();
    ElementRecord patched = after.at("42,7,2");
    EXPECT_EQ(patched.name, u"Go");
    EXPECT_GT(patched.updated_at, before.at("42,7,2").updated_at);
    ElementRecord unchanged = before.at("42,7,2");
    unchanged.name = patched.name;
    unchanged.updated_at = patched.updated_at;
    EXPECT_EQ(std::memcmp(unchanged.bounding_rect, patched.bounding_rect, sizeof patched.bounding_rect), 0);
    EXPECT_EQ(unchanged.control_type, patched.control_type);
    EXPECT_EQ(after.size(), before.size());
    for (auto& [key, r] : before) {
        if (key == "42,7,2") continue;
        EXPECT_EQ(after.at(key).updated_at, r.updated_at) << key;
    }
    EXPECT_TRUE(store->isValid());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event_type, WString(WLIT("PropertyChanged")));
    EXPECT_EQ(events[0].runtime_id_key, "42,7,2");
    EXPECT_EQ(events[0].process_id, 0);

    // Value kinds: a Name as VT_EMPTY says only that it changed, so the
    // window is read again on the refresh thread (the desktop still says
    // "Send"), out of date until then; an IsEnabled as an integer is a truth
    // value; a rectangle change has the window read again, and is the
    // store's own: no event.
    Variant empty;
    nameChange(sender.get(), empty.get());
    ASSERT_TRUE(eventually([&] { return store->isCurrent(); }));
    EXPECT_EQ(records().at("42,7,2").name, u"Send");
    auto h = ComPtr<Engine::PropertyHandler>::adopt(new Engine::PropertyHandler(engine, top));
    Variant asInteger;
    asInteger.get().vt = VT_I4;
    asInteger.get().lVal = 0;
    h->HandlePropertyChangedEvent(sender.get(), UIA_IsEnabledPropertyId, asInteger.get());
    EXPECT_FALSE(records().at("42,7,2").is_enabled);
    Variant yes;
    yes.get().vt = VT_BOOL;
    yes.get().boolVal = VARIANT_TRUE;
    h->HandlePropertyChangedEvent(sender.get(), UIA_IsEnabledPropertyId, yes.get());
    EXPECT_TRUE(records().at("42,7,2").is_enabled);
    simdesk::ElementDesc moved;
    moved.rect = RECT{15, 25, 35, 45};
    simdesk::setElement(button, moved);
    h->HandlePropertyChangedEvent(sender.get(), UIA_BoundingRectanglePropertyId, yes.get());
    ASSERT_TRUE(eventually([&] { return store->isCurrent() && records().at("42,7,2").bounding_rect[2] == 35; }));
    EXPECT_EQ(events.size(), 4u);
}

TEST_F(EventHandlersTest, PropertyChangesOutsideTheStoreAndWithoutRuntimeIds) {
    // A key the store does not hold: nothing changes, the event still comes.
    simdesk::ElementDesc e;
    e.name = u"Late";
    e.runtimeId = std::vector<int32_t>{42, 7, 99};
    simdesk::addElement(simdesk::elementOf(top), e);
    sender = elementFor(u"Late");
    auto before = records();
    Variant v;
    v.get().vt = VT_BSTR;
    v.get().bstrVal = SysAllocString(u"Later");
    nameChange(sender.get(), v.get());
    EXPECT_EQ(records().size(), before.size());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].runtime_id_key, "42,7,99");

    // No runtime id: the window is perceived again and no event is handed on.
    simdesk::setRuntimeIdReadable(button, false);
    sender = elementFor(u"Send");
    simdesk::resetCalls();
    nameChange(sender.get(), v.get());
    ASSERT_TRUE(eventually([&] { return store->isCurrent(); }));
    EXPECT_EQ(simdesk::callCount("FindAllBuildCache"), 1);
    EXPECT_FALSE(records().count("42,7,2"));  // unreadable ids are left out of a refresh
    EXPECT_EQ(events.size(), 1u);

    // No callback: the store is still patched.
    simdesk::setRuntimeIdReadable(button, true);
    ASSERT_EQ(framework().cacheManager->refreshUiaSnapshot(top), S_OK);
    engine->setCallback(nullptr);
    sender = elementFor(u"Send");
    Variant name;
    name.get().vt = VT_BSTR;
    name.get().bstrVal = SysAllocString(u"Quiet");
    nameChange(sender.get(), name.get());
    EXPECT_EQ(records().at("42,7,2").name, u"Quiet");
}

TEST_F(EventHandlersTest, StructureChangeRefreshesTheSubscribedWindowBeforeTheCallback) {
    // The last query read another window; the change brings the subscribed one back.
    simdesk::WindowDesc other;
    other.className = u"#32770";
    other.rect = RECT{0, 0, 5, 5};
    HWND elsewhere = simdesk::createWindow(other);
    std::vector<RecordPtr> out;
    framework().cacheManager->queryElements(elsewhere, out);
    ASSERT_FALSE(records().count("42,7,2"));

    bool refreshedFirst = false;
    engine->setCallback([&](UIChangeEvent e) {
        refreshedFirst = store->isCurrent() && store->heldWindow() == top && records().count("42,7,2") == 1;
        std::lock_guard<std::mutex> g(m);
        events.push_back(std::move(e));
    });
    auto h = ComPtr<Engine::StructureHandler>::adopt(new Engine::StructureHandler(engine, top));
    SafeArray id(SafeArrayCreateVector(VT_I4, 0, 3));
    LONG values[] = {42, 7, -3};
    for (LONG i = 0; i < 3; ++i) SafeArrayPutElement(id.get(), &i, &values[i]);
    EXPECT_EQ(h->HandleStructureChangedEvent(nullptr, StructureChangeType_ChildrenReordered, id.get()), S_OK);
    EXPECT_EQ(h->HandleStructureChangedEvent(nullptr, StructureChangeType_ChildAdded, nullptr), S_OK);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> g(m);
        return events.size() == 2u;
    }));
    EXPECT_TRUE(refreshedFirst);
    EXPECT_EQ(events[0].runtime_id_key, "42,7,-3");
    EXPECT_EQ(events[1].runtime_id_key, "");
    EXPECT_EQ(events[1].event_type, WString(WLIT("StructureChanged")));

    // A failed refresh leaves the store invalid; the event still comes.
    simdesk::failCall("FindAllBuildCache", E_FAIL);
    h->HandleStructureChangedEvent(nullptr, StructureChangeType_ChildRemoved, nullptr);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> g(m);
        return events.size() == 3u;
    }));
    EXPECT_FALSE(store->isValid());
}

// A window queued again before the refresh thread takes its batch is read
// once for all its changes: the first callback holds the thread while two
// more changes of the window queue up.
TEST_F(EventHandlersTest, AWindowQueuedTwiceInOneBatchIsReadOnce) {
    std::mutex latchMutex;
    std::condition_variable latch;
    bool open = false;
    int calls = 0;
    engine->setCallback([&](UIChangeEvent) {
        std::unique_lock<std::mutex> lk(latchMutex);
        ++calls;
        latch.notify_all();
        latch.wait(lk, [&] { return open; });
    });
    auto release = [&] {
        {
            std::lock_guard<std::mutex> lk(latchMutex);
            open = true;
        }
        latch.notify_all();
    };
    auto h = ComPtr<Engine::StructureHandler>::adopt(new Engine::StructureHandler(engine, top));
    h->HandleStructureChangedEvent(nullptr, StructureChangeType_ChildAdded, nullptr);
    {
        std::unique_lock<std::mutex> lk(latchMutex);
        bool held = latch.wait_for(lk, std::chrono::seconds(10), [&] { return calls == 1; });
        lk.unlock();
        if (!held) release();
        ASSERT_TRUE(held);
    }
    simdesk::resetCalls();
    h->HandleStructureChangedEvent(nullptr, StructureChangeType_ChildAdded, nullptr);
    h->HandleStructureChangedEvent(nullptr, StructureChangeType_ChildRemoved, nullptr);
    release();
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lk(latchMutex);
        return calls == 3;
    }));
    EXPECT_EQ(simdesk::callCount("FindAllBuildCache"), 1);
    EXPECT_TRUE(store->isCurrent());
}

// When no refresh thread can be had, the handler reads the window itself
// and calls back, once per change.
TEST_F(EventHandlersTest, WithoutARefreshThreadTheHandlerReadsAndCallsBack) {
    const auto launcher = Engine::refreshLauncher;
    Engine::refreshLauncher = [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    struct Restore {
        Engine::RefreshLauncher launcher;
        ~Restore() { Engine::refreshLauncher = launcher; }
    } restore{launcher};
    const size_t mark = logMark();
    simdesk::ElementDesc e;
    e.name = u"New";
    e.runtimeId = std::vector<int32_t>{42, 7, 3};
    simdesk::addElement(simdesk::elementOf(top), e);
    auto h = ComPtr<Engine::StructureHandler>::adopt(new Engine::StructureHandler(engine, top));
    for (int i = 0; i < 3; ++i) h->HandleStructureChangedEvent(nullptr, StructureChangeType_ChildAdded, nullptr);
    // Each call returned after its reading and its callback.
    EXPECT_EQ(events.size(), 3u);
    EXPECT_TRUE(store->isCurrent());
    EXPECT_TRUE(records().count("42,7,3"));
    EXPECT_NE(logSince(mark).find("Native error in the refresh thread"), std::string::npos);
}

TEST_F(EventHandlersTest, FocusChangesTouchNothing) {
    auto before = records();
    auto h = ComPtr<Engine::FocusHandler>::adopt(new Engine::FocusHandler(engine));
    simdesk::resetCalls();
    EXPECT_EQ(h->HandleFocusChangedEvent(nullptr), S_OK);
    EXPECT_EQ(simdesk::crossProcessCalls(), 0);
    EXPECT_EQ(records().size(), before.size());
    EXPECT_TRUE(store->isValid());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event_type, WString(WLIT("FocusChanged")));
    EXPECT_EQ(events[0].runtime_id_key, "");
    EXPECT_GT(events[0].timestamp, 0);
}

// Shutdown waits for a handler call in progress and lets no new one in.
TEST_F(EventHandlersTest, ShutdownDrainsCallsInProgressAndClosesTheGate) {
    std::mutex latchMutex;
    std::condition_variable latch;
    bool inside = false, open = false;
    engine->setCallback([&](UIChangeEvent) {
        std::unique_lock<std::mutex> lk(latchMutex);
        inside = true;
        latch.notify_all();
        latch.wait(lk, [&] { return open; });
    });
    auto h = ComPtr<Engine::FocusHandler>::adopt(new Engine::FocusHandler(engine));
    std::thread uia([&] { h->HandleFocusChangedEvent(nullptr); });
    {
        std::unique_lock<std::mutex> lk(latchMutex);
        ASSERT_TRUE(latch.wait_for(lk, std::chrono::seconds(10), [&] { return inside; }));
    }
    std::atomic<bool> down{false};
    std::thread closer([&] {
        shutdownFramework();
        down.store(true);
    });
    // Still waiting for the call inside the handler.
    ASSERT_TRUE(eventually([&] { return engine->gate->isDraining(); }));
    EXPECT_FALSE(down.load());
    {
        std::lock_guard<std::mutex> lk(latchMutex);
        open = true;
    }
    latch.notify_all();
    uia.join();
    closer.join();
    EXPECT_TRUE(down.load());
    // A late call after shutdown finds the gate closed and does nothing.
    EXPECT_EQ(h->HandleFocusChangedEvent(nullptr), S_OK);
    // The session was opened here but shut down on another thread, which
    // leaves this thread's COM initialisation to this thread.
    CoUninitialize();
}

// A callback may shut down, initialise and subscribe, and later shut down
// again while still inside the old engine's handler: only calls inside the
// new engine's gate on this thread are its own, so the drain still waits for
// another thread's call in the new gate.
TEST(HandlerGateTest, ACallInsideAnotherGateIsNotOneOfThisGatesOwn) {
    HandlerGate older, newer;
    std::mutex latchMutex;
    std::condition_variable latch;
    bool inside = false, open = false;
    std::thread other([&] {
        ASSERT_TRUE(newer.enter());
        std::unique_lock<std::mutex> lk(latchMutex);
        inside = true;
        latch.notify_all();
        latch.wait(lk, [&] { return open; });
        lk.unlock();
        newer.leave();
    });
    {
        std::unique_lock<std::mutex> lk(latchMutex);
        ASSERT_TRUE(latch.wait_for(lk, std::chrono::seconds(10), [&] { return inside; }));
    }
    std::atomic<bool> drained{false};
    std::thread callback([&] {
        ASSERT_TRUE(older.enter());
        newer.closeAndDrain();
        drained.store(true);
        older.leave();
    });
    ASSERT_TRUE(eventually([&] { return newer.isDraining(); }));
    EXPECT_FALSE(drained.load());
    {
        std::lock_guard<std::mutex> lk(latchMutex);
        open = true;
    }
    latch.notify_all();
    other.join();
    callback.join();
    EXPECT_TRUE(drained.load());
    EXPECT_FALSE(insideEventHandler());
}

TEST_F(EventHandlersTest, ANativeErrorStopsAtTheHandlerAndIsLogged) {
    engine->setCallback([](UIChangeEvent) { throw std::runtime_error("callback broke"); });
    auto h = ComPtr<Engine::FocusHandler>::adopt(new Engine::FocusHandler(engine));
    EXPECT_EQ(h->HandleFocusChangedEvent(nullptr), E_FAIL);
    engine->setCallback([](UIChangeEvent) { throw std::bad_alloc(); });
    EXPECT_EQ(h->HandleFocusChangedEvent(nullptr), E_OUTOFMEMORY);
    std::string log = NativeCore::instance().logCopy();
    EXPECT_NE(log.find("Native error in HandleFocusChangedEvent: callback broke\n"), std::string::npos);
    EXPECT_NE(log.find("Native error in HandleFocusChangedEvent: out of memory\n"), std::string::npos);
    EXPECT_FALSE(insideEventHandler());  // the gate was left on the way out
}

// The callback takes the framework down and the handler's last reference with
// it, inside the handler's own call: the call holds the handler (and so its
// gate) to its end. No deadlock, no use after free (ASan sees one).
TEST_F(EventHandlersTest, ACallbackMayShutTheFrameworkDown) {
    auto* focus = new Engine::FocusHandler(engine);
    engine->setCallback([focus](UIChangeEvent) {
        shutdownFramework();
        focus->Release();
    });
    EXPECT_EQ(focus->HandleFocusChangedEvent(nullptr), S_OK);
    EXPECT_FALSE(framework().initialised.load());

    initialiseFramework();
    sender = elementFor(u"Send");
    auto* property = new Engine::PropertyHandler(framework().engine.get(), top);
    bool called = false;
    framework().engine->setCallback([property, &called](UIChangeEvent) {
        called = true;
        shutdownFramework();
        property->Release();
    });
    Variant name;
    name.get().vt = VT_BSTR;
    name.get().bstrVal = SysAllocString(u"Go");
    EXPECT_EQ(property->HandlePropertyChangedEvent(sender.get(), UIA_NamePropertyId, name.get()), S_OK);
    EXPECT_TRUE(called);
    EXPECT_FALSE(framework().initialised.load());
}

}  // namespace
