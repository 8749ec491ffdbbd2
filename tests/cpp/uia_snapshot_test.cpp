// The UI Automation path: one cache request per refresh, records from cached
// values only, the configured scope, and failures that leave the store as it
// was.
#include <map>
#include <set>

#include "core/framework.h"
#include "perception/cache_manager.h"
#include "perception/element_record.h"
#include "perception/snapshot_store.h"
#include "perception/uia_snapshot.h"
#include "test_support.h"

using namespace Ostrand;

namespace {

std::string key(std::initializer_list<int> ids) {
    std::string k;
    for (int id : ids) k += (k.empty() ? "" : ",") + std::to_string(id);
    return k;
}

std::string windowKey(HWND h) { return key({42, static_cast<int>(reinterpret_cast<uintptr_t>(h))}); }

class UiaSnapshotTest : public ostrand_test::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        initialiseFramework();
        manager = framework().cacheManager.get();
        store = framework().store.get();
        manager->configure({}, "subtree", "uia");

        // A browser-like window: one child window hosting window-less content.
        simdesk::WindowDesc d;
        d.className = u"Chrome_WidgetWin_1";
        d.text = u"Page - Browser";
        d.rect = RECT{-1600, 0, -800, 600};
        browser = simdesk::createWindow(d);
        d.parent = browser;
        d.className = u"Chrome_RenderWidgetHostHWND";
        d.text = u"";
        d.rect = RECT{-1600, 80, -800, 600};
        host = simdesk::createWindow(d);
        document = add(hostId(), u"Page", u"doc", u"Document", 50030, {-1600, 80, -800, 600}, {42, 7, 1});
        link = add(document, u"Home \U0001F3E0", u"home", u"Link", 50005, {-1590, 90, -1500, 110}, {42, 7, 2});
        button = add(document, u"Submit", u"submit", u"Button", 50000, {-1590, 120, -1500, 140}, {42, 7, 3}, false);
    }

    simdesk::ElementId hostId() const { return static_cast<simdesk::ElementId>(reinterpret_cast<uintptr_t>(host)); }

    simdesk::ElementId add(simdesk::ElementId parent, const std::u16string& name, const std::u16string& automationId,
                           const std::u16string& cls, int type, RECT rect, std::vector<int32_t> runtimeId,
                           bool enabled = true) {
        simdesk::ElementDesc e;
        e.name = name;
        e.automationId = automationId;
        e.className = cls;
        e.controlType = type;
        e.rect = rect;
        e.enabled = enabled;
        e.runtimeId = std::move(runtimeId);
        simdesk::ElementId id = simdesk::addElement(parent, e);
        EXPECT_NE(id, 0u);
        return id;
    }

    std::map<std::string, ElementRecord> records() {
        std::map<std::string, ElementRecord> out;
        for (auto& r : store->copyRecords()) out[r->runtime_id_key] = *r;
        return out;
    }
    std::set<std::string> keys() {
        std::set<std::string> out;
        for (auto& [k, r] : records()) out.insert(k);
        return out;
    }

    CacheManager* manager = nullptr;
    SnapshotStore* store = nullptr;
    HWND browser = nullptr, host = nullptr;
    simdesk::ElementId document = 0, link = 0, button = 0;
};

TEST_F(UiaSnapshotTest, OneRefreshIsTwoCrossProcessCallsWhateverTheElementCount) {
    ASSERT_EQ(manager->refreshUiaSnapshot(browser), S_OK);  // opens the session first
    for (int i = 0; i < 200; ++i) add(document, u"row", u"", u"Row", 50029, {0, 0, 1, 1}, {42, 7, 100 + i});
    simdesk::resetCalls();
    ASSERT_EQ(manager->refreshUiaSnapshot(browser), S_OK);
    EXPECT_EQ(simdesk::crossProcessCalls(), 2);
    EXPECT_EQ(simdesk::callCount("ElementFromHandle"), 1);
    EXPECT_EQ(simdesk::callCount("FindAllBuildCache"), 1);
    EXPECT_EQ(simdesk::callCount("GetCurrentPropertyValue"), 0);
    EXPECT_EQ(store->recordCount(), 205u);

    // A query served from the store crosses nothing.
    simdesk::resetCalls();
    std::vector<RecordPtr> out;
    ASSERT_EQ(manager->queryElements(browser, out), S_OK);
    EXPECT_EQ(out.size(), 205u);
    EXPECT_EQ(simdesk::crossProcessCalls(), 0);
}

TEST_F(UiaSnapshotTest, RecordsComeFromCachedValues) {
    ASSERT_EQ(manager->refreshUiaSnapshot(browser), S_OK);
    auto r = records();
    ASSERT_EQ(r.size(), 5u);
    const ElementRecord& top = r.at(windowKey(browser));
    EXPECT_EQ(top.name, u"Page - Browser");
    EXPECT_EQ(top.class_name, u"Chrome_WidgetWin_1");
    EXPECT_EQ((std::vector<int32_t>(top.bounding_rect, top.bounding_rect + 4)),
              (std::vector<int32_t>{-1600, 0, -800, 600}));  // edges, signs kept
    const ElementRecord& l = r.at(key({42, 7, 2}));
    EXPECT_EQ(l.name, u"Home \U0001F3E0");
    EXPECT_EQ(l.automation_id, u"home");
    EXPECT_EQ(l.class_name, u"Link");
    EXPECT_EQ(l.control_type, 50005);
    EXPECT_TRUE(l.is_enabled);
    EXPECT_GT(l.updated_at, 0);
    EXPECT_FALSE(r.at(key({42, 7, 3})).is_enabled);
    EXPECT_TRUE(r.count(windowKey(host)));
}

TEST_F(UiaSnapshotTest, ScopesGiveTheElementSetsUiAutomationDefines) {
    manager->configure({}, "element", "uia");
    ASSERT_EQ(manager->refreshUiaSnapshot(browser), S_OK);
    EXPECT_EQ(keys(), std::set<std::string>{windowKey(browser)});

    manager->configure({}, "children", "uia");
    ASSERT_EQ(manager->refreshUiaSnapshot(browser), S_OK);
    EXPECT_EQ(keys(), std::set<std::string>{windowKey(host)});
    ASSERT_EQ(manager->refreshUiaSnapshot(host), S_OK);
    EXPECT_EQ(keys(), std::set<std::string>{key({42, 7, 1})});

    manager->configure({}, "subtree", "uia");
    ASSERT_EQ(manager->refreshUiaSnapshot(host), S_OK);
    EXPECT_EQ(keys(), (std::set<std::string>{windowKey(host), key({42, 7, 1}), key({42, 7, 2}), key({42, 7, 3})}));

    // Children of a leaf: an empty, valid snapshot.
    manager->configure({}, "children", "uia");
    HWND lone = simdesk::createWindow(simdesk::WindowDesc{});
    ASSERT_EQ(manager->refreshUiaSnapshot(lone), S_OK);
    EXPECT_TRUE(store->isValid());
    EXPECT_EQ(store->recordCount(), 0u);
}

TEST_F(UiaSnapshotTest, PropertiesLeftOutKeepTheirDefaultsInEveryRecord) {
    manager->configure({"name"}, "subtree", "uia");
    ASSERT_EQ(manager->refreshUiaSnapshot(browser), S_OK);
    auto r = records();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r.at(key({42, 7, 3})).name, u"Submit");
    for (auto& [k, rec] : r) {
        EXPECT_TRUE(rec.automation_id.empty()) << k;
        EXPECT_TRUE(rec.class_name.empty()) << k;
        EXPECT_EQ(rec.control_type, 50025) << k;
        EXPECT_EQ((std::vector<int32_t>(rec.bounding_rect, rec.bounding_rect + 4)), (std::vector<int32_t>{0, 0, 0, 0}));
        EXPECT_FALSE(rec.is_enabled) << k;
    }

    // A property no field shows is fetched and ignored.
    manager->configure({"process_id", "is_enabled"}, "subtree", "uia");
    ASSERT_EQ(manager->refreshUiaSnapshot(browser), S_OK);
    r = records();
    EXPECT_TRUE(r.at(key({42, 7, 2})).is_enabled);
    EXPECT_TRUE(r.at(key({42, 7, 2})).name.empty());
}

TEST_F(UiaSnapshotTest, ElementsWithoutUsableRuntimeIdsAreLeftOutAndDuplicatesKeepTheLater) {
    simdesk::setRuntimeIdReadable(link, false);
    simdesk::ElementDesc twin;
    twin.runtimeId = std::vector<int32_t>{42, 7, 1};  // the document's id
    twin.name = u"Second";
    twin.controlType = 50020;
    simdesk::addElement(document, twin);
    std::u16string withNul = u"Sub";
    withNul += u'\0';
    withNul += u"mit";
    simdesk::ElementDesc rename;
    rename.name = withNul;
    simdesk::setElement(button, rename);

    ASSERT_EQ(manager->refreshUiaSnapshot(browser), S_OK);
    auto r = records();
    EXPECT_EQ(r.size(), 4u);  // browser, host, document/twin, button
    EXPECT_EQ(r.at(key({42, 7, 1})).name, u"Second");  // later in pre-order
    EXPECT_EQ(r.at(key({42, 7, 1})).control_type, 50020);
    EXPECT_EQ(r.at(key({42, 7, 3})).name, u"Sub");  // cut at the NUL

    // Cached reads that fail only cost those elements or fields.
    simdesk::failCall("GetCachedPropertyValue", E_FAIL, 1);
    simdesk::failCall("get_CachedName", E_FAIL, -1);
    ASSERT_EQ(manager->refreshUiaSnapshot(browser), S_OK);
    r = records();
    EXPECT_EQ(r.size(), 3u);
    for (auto& [k, rec] : r) EXPECT_TRUE(rec.name.empty());
    simdesk::clearFaults();
    simdesk::failCall("GetElement", E_INVALIDARG, 2);
    ASSERT_EQ(manager->refreshUiaSnapshot(browser), S_OK);
    EXPECT_EQ(store->recordCount(), 2u);
}

TEST_F(UiaSnapshotTest, FailuresReturnTheirHresultAndLeaveTheStoreAsItWas) {
    struct Case {
        const char* call;
        HRESULT injected;
        HRESULT expected;
    } cases[] = {
        {"ElementFromHandle", (HRESULT)UIA_E_ELEMENTNOTAVAILABLE, (HRESULT)UIA_E_ELEMENTNOTAVAILABLE},
        {"ElementFromHandle", S_OK, E_FAIL},  // success without an element
        {"CreateCacheRequest", E_OUTOFMEMORY, E_FAIL},
        {"CreateTrueCondition", E_OUTOFMEMORY, E_OUTOFMEMORY},
        {"FindAllBuildCache", E_ACCESSDENIED, E_ACCESSDENIED},
    };
    ASSERT_EQ(manager->refreshUiaSnapshot(browser), S_OK);
    for (bool validBefore : {true, false}) {
        for (const Case& c : cases) {
            ASSERT_EQ(manager->refreshUiaSnapshot(browser), S_OK);
            if (!validBefore) store->invalidate();
            simdesk::failCall(c.call, c.injected);
            EXPECT_EQ(manager->refreshUiaSnapshot(browser), c.expected) << c.call;
            EXPECT_EQ(store->isValid(), validBefore) << c.call;
            EXPECT_EQ(store->recordCount(), 5u) << c.call;
            simdesk::clearFaults();
            simdesk::LiveCounts live = simdesk::liveCounts();
            EXPECT_EQ(live.bstr + live.safearray + live.variant, 0) << c.call;
        }
    }
    // A dead window is UI Automation's refusal, passed on unchanged.
    HWND gone = simdesk::createWindow(simdesk::WindowDesc{});
    simdesk::destroyWindow(gone);
    EXPECT_EQ(manager->refreshUiaSnapshot(gone), UIA_E_ELEMENTNOTAVAILABLE);
}

TEST_F(UiaSnapshotTest, SessionFailuresAreReportedAndTheNextRefreshTriesAgain) {
    // Neither class registered.
    simdesk::failCall("CoCreateInstance", REGDB_E_CLASSNOTREG, 2);
    EXPECT_EQ(manager->refreshUiaSnapshot(browser), REGDB_E_CLASSNOTREG);
    EXPECT_FALSE(store->isValid());
    EXPECT_EQ(manager->refreshUiaSnapshot(browser), S_OK);
    EXPECT_TRUE(store->isValid());
}

TEST_F(UiaSnapshotTest, TheCacheRequestAsksForCachedValuesOnly) {
    ASSERT_EQ(manager->refreshUiaSnapshot(browser), S_OK);
    ComPtr<IUIAutomation> automation = NativeCore::instance().automationRef();
    manager->configure({"name", "class_name"}, "children", "uia");
    ComPtr<IUIAutomationCacheRequest> request = manager->buildCacheRequest(automation.get(), manager->configSnapshot());
    ASSERT_TRUE(request);
    TreeScope scope = TreeScope_Element;
    AutomationElementMode mode = AutomationElementMode_Full;
    request->get_TreeScope(&scope);
    request->get_AutomationElementMode(&mode);
    // The request's scope is relative to each element found: Element, so
    // that each carries its own values and nothing more, whatever the
    // configured (search) scope.
    EXPECT_EQ(scope, TreeScope_Element);
    EXPECT_EQ(mode, AutomationElementMode_None);

    // Elements of such a request answer cached getters only.
    ComPtr<IUIAutomationElement> root;
    ASSERT_EQ(automation->ElementFromHandle(browser, root.put()), S_OK);
    ComPtr<IUIAutomationCondition> all;
    ASSERT_EQ(automation->CreateTrueCondition(all.put()), S_OK);
    ComPtr<IUIAutomationElementArray> found;
    ASSERT_EQ(root->FindAllBuildCache(TreeScope_Children, all.get(), request.get(), found.put()), S_OK);
    ComPtr<IUIAutomationElement> child;
    ASSERT_EQ(found->GetElement(0, child.put()), S_OK);
    ElementRecord rec = recordFromCachedElement(child.get(), "k");
    EXPECT_EQ(rec.class_name, u"Chrome_RenderWidgetHostHWND");
    EXPECT_EQ(rec.control_type, 50025);  // not requested
    Bstr name;
    EXPECT_EQ(child->get_CurrentName(name.put()), UIA_E_INVALIDOPERATION);
}

// Under every configured scope a refresh carries back exactly the elements it
// records: N for N, not N for each element's subtree, and never none.
TEST_F(UiaSnapshotTest, ARefreshTransfersExactlyTheElementsItRecords) {
    for (const char* scope : {"subtree", "children", "element"}) {
        manager->configure({}, scope, "uia");
        simdesk::resetCalls();
        ASSERT_EQ(manager->refreshUiaSnapshot(browser), S_OK) << scope;
        EXPECT_GT(store->recordCount(), 0u) << scope;
        EXPECT_EQ(simdesk::cachedElementsTransferred(), static_cast<int64_t>(store->recordCount())) << scope;
    }
}

}  // namespace
