// Cache configuration, the once-per-configuration mode decision and the
// window query's choice between serving and refreshing.
#include <atomic>
#include <thread>
#include <vector>

#include "perception/cache_manager.h"
#include "perception/element_record.h"
#include "perception/snapshot_store.h"
#include "test_support.h"

using namespace Ostrand;

namespace {

class CacheManagerTest : public ostrand_test::DeskTest {
protected:
    static HWND make(HWND parent, const std::u16string& cls, const std::u16string& text = u"") {
        return ostrand_test::makeWindow(parent, cls, {0, 0, 40, 40}, true, text);
    }
    // A classic dialog: three descendant windows send "auto" to Win32.
    HWND classicDialog(const std::u16string& title) {
        HWND d = make(nullptr, u"#32770", title);
        make(d, u"Button", u"OK");
        make(d, u"Button", u"Cancel");
        make(d, u"Edit");
        return d;
    }
    std::vector<RecordPtr> query(HWND window, HRESULT expected = S_OK) {
        std::vector<RecordPtr> out;
        EXPECT_EQ(manager.queryElements(window, out), expected);
        return out;
    }
    static bool holds(const std::vector<RecordPtr>& records, HWND window) {
        for (auto& r : records)
            if (r->runtime_id_key == keyFromHwnd(window)) return true;
        return false;
    }

    SnapshotStore store;
    CacheManager manager{&store, &NativeCore::instance()};
};

TEST_F(CacheManagerTest, ConfigureMapsNamesScopeAndMode) {
    manager.configure({"name", "", "bogus", "name"}, "subtree", "auto");
    EXPECT_EQ(manager.configSnapshot().propertyIds, (std::vector<int32_t>{30005, 30005}));

    manager.configure({"class_name"}, "children", "auto");
    CacheConfig c = manager.configSnapshot();
    EXPECT_EQ(c.propertyIds, std::vector<int32_t>{30012});
    EXPECT_EQ(c.scope, 2);
    manager.configure({"process_id"}, "element", "win32");
    c = manager.configSnapshot();
    EXPECT_EQ(c.propertyIds, std::vector<int32_t>{30002});
    EXPECT_EQ(c.scope, 1);
    EXPECT_EQ(c.mode, PerceptionMode::Win32);

    for (const char* scope : {"Subtree", "descendants", "", "parent"}) {
        manager.configure({}, scope, "auto");
        EXPECT_EQ(manager.configSnapshot().scope, 7) << scope;
    }
    for (const char* mode : {"UIA", "Win32", "", "auto", "uia "}) {
        manager.configure({}, "subtree", mode);
        EXPECT_EQ(manager.configSnapshot().mode, PerceptionMode::Auto) << mode;
    }
    manager.configure({"nothing", "known"}, "subtree", "uia");
    c = manager.configSnapshot();
    EXPECT_EQ(c.propertyIds, CacheConfig::defaultPropertyIds());
    EXPECT_EQ(c.mode, PerceptionMode::Uia);
}

TEST_F(CacheManagerTest, ConfigureInvalidatesTheStoreButKeepsItsRecords) {
    HWND dialog = classicDialog(u"A");
    ASSERT_EQ(query(dialog).size(), 4u);
    ASSERT_TRUE(store.isValid());
    manager.configure({}, "subtree", "auto");
    EXPECT_FALSE(store.isValid());
    EXPECT_EQ(store.recordCount(), 4u);
}

TEST_F(CacheManagerTest, ExplicitModesTakeEffectAtOnceAutoIsDecidedPerWindow) {
    manager.configure({}, "subtree", "uia");
    EXPECT_EQ(manager.activeMode(), PerceptionMode::Uia);
    manager.configure({}, "subtree", "win32");
    EXPECT_EQ(manager.activeMode(), PerceptionMode::Win32);
    // Back to auto: the last path stays reported until a window is decided.
    manager.configure({}, "subtree", "auto");
    EXPECT_EQ(manager.activeMode(), PerceptionMode::Win32);

    HWND browser = make(nullptr, u"Chrome_WidgetWin_1");
    HWND dialog = classicDialog(u"D");
    HWND sparse = make(nullptr, u"#32770", u"sparse");
    EXPECT_EQ(manager.resolveMode(browser), PerceptionMode::Uia);
    EXPECT_EQ(manager.activeMode(), PerceptionMode::Uia);
    // Each window has its own decision; the most recent one is reported,
    // whether its reading was stored or failed.
    EXPECT_TRUE(holds(query(dialog), dialog));
    EXPECT_EQ(manager.activeMode(), PerceptionMode::Win32);
    std::vector<RecordPtr> none;
    EXPECT_TRUE(FAILED(manager.queryElements(browser, none)));  // no UI Automation session here
    EXPECT_EQ(manager.activeMode(), PerceptionMode::Uia);
    // Kept until the next configure, even when the window changes its mind.
    EXPECT_EQ(manager.resolveMode(sparse), PerceptionMode::Uia);
    for (int i = 0; i < 3; ++i) make(sparse, u"Button");
    simdesk::resetCalls();
    EXPECT_EQ(manager.resolveMode(sparse), PerceptionMode::Uia);
    EXPECT_EQ(simdesk::callCount("GetClassNameW"), 0);  // settled: the classifier is not asked
    manager.configure({}, "subtree", "auto");
    EXPECT_EQ(manager.activeMode(), PerceptionMode::Uia);
    EXPECT_EQ(manager.resolveMode(sparse), PerceptionMode::Win32);
    EXPECT_EQ(manager.activeMode(), PerceptionMode::Win32);
}

TEST_F(CacheManagerTest, QueryServesTheStoreOnlyForItsOwnWindow) {
    manager.configure({}, "subtree", "win32");
    HWND a = classicDialog(u"A");
    HWND b = classicDialog(u"B");

    auto first = query(a);
    EXPECT_TRUE(holds(first, a));
    simdesk::resetCalls();
    auto again = query(a);
    EXPECT_EQ(again.size(), first.size());
    EXPECT_EQ(simdesk::callCount("EnumChildWindows"), 0);  // served from memory

    // Another window is perceived afresh, never answered with A's snapshot.
    auto other = query(b);
    EXPECT_TRUE(holds(other, b));
    EXPECT_FALSE(holds(other, a));
    EXPECT_EQ(simdesk::callCount("EnumChildWindows"), 1);

    // Handle 0 takes whatever the store holds.
    simdesk::resetCalls();
    auto any = query(nullptr);
    EXPECT_TRUE(holds(any, b));
    EXPECT_EQ(simdesk::callCount("EnumChildWindows"), 0);

    // Invalid and no window to refresh: E_INVALIDARG, the store untouched.
    manager.configure({}, "subtree", "win32");
    std::vector<RecordPtr> out{std::make_shared<const ElementRecord>()};
    EXPECT_EQ(manager.queryElements(nullptr, out), E_INVALIDARG);
    EXPECT_EQ(out.size(), 1u);
    EXPECT_FALSE(store.isValid());
}

TEST_F(CacheManagerTest, AnotherWindowInAutoModeIsDecidedOnItsOwn) {
    NativeCore::instance().start();
    HWND dialog = classicDialog(u"A");
    HWND small = make(nullptr, u"#32770", u"small");  // sparse: UIA
    EXPECT_TRUE(holds(query(dialog), dialog));
    EXPECT_EQ(manager.activeMode(), PerceptionMode::Win32);
    simdesk::resetCalls();
    EXPECT_FALSE(query(small).empty());
    EXPECT_EQ(simdesk::callCount("EnumChildWindows"), 1);  // the classifier's count only
    EXPECT_EQ(simdesk::callCount("FindAllBuildCache"), 1);
    EXPECT_EQ(manager.activeMode(), PerceptionMode::Uia);
    NativeCore::instance().shutdown();
    CoUninitialize();
}

// Event threads read the configuration and settle the mode while Python
// replaces it; run under ThreadSanitizer this proves the fields are guarded.
TEST_F(CacheManagerTest, ConfigurationIsSafeAgainstConcurrentReaders) {
    HWND dialog = classicDialog(u"A");
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t)
        readers.emplace_back([&] {
            while (!stop.load()) {
                CacheConfig c = manager.configSnapshot();
                // Either list, never a mix.
                ASSERT_TRUE(c.propertyIds == std::vector<int32_t>{30012} ||
                            c.propertyIds == CacheConfig::defaultPropertyIds());
                manager.resolveMode(dialog);
                reads.fetch_add(1);
            }
        });
    // Writes go on until the readers have read many times meanwhile, so the
    // two sides always overlap, however the threads are scheduled.
    for (int i = 0; i < 300 || reads.load() < 400; ++i) {
        if (i == 0)
            while (reads.load() < 2) std::this_thread::yield();  // both readers running
        manager.configure({"class_name"}, "children", i % 2 ? "win32" : "auto");
        manager.configure({}, "subtree", "auto");
    }
    stop.store(true);
    for (auto& r : readers) r.join();
    // The last configure was "auto" and forgot every decision.
    EXPECT_EQ(manager.resolveMode(dialog), PerceptionMode::Win32);
    EXPECT_EQ(manager.activeMode(), PerceptionMode::Win32);
}

}  // namespace
