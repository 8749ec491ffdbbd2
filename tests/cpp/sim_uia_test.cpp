// The simulated UI Automation: the element tree over windows and window-less
// elements, tree scopes and the control view, cache requests, conditions,
// cached and current values, dead elements, the cross-process counter and
// fault injection.
#include <tuple>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "desk_test.h"
#include "platform/raii.h"
#include "simdesk.h"

namespace {

using Ostrand::Bstr;
using Ostrand::ComPtr;
using Ostrand::SafeArray;
using Ostrand::Variant;

constexpr HRESULT kNotAvailable = UIA_E_ELEMENTNOTAVAILABLE;
constexpr HRESULT kInvalidOperation = UIA_E_INVALIDOPERATION;

// Readable in failure messages; the names in these tests are ASCII.
std::string narrow(const OLECHAR* s, UINT n) {
    std::string out;
    for (UINT i = 0; i < n; ++i) out += s[i] < 128 ? static_cast<char>(s[i]) : '?';
    return out;
}

template <class T>
std::vector<T> arrayValues(SAFEARRAY* a) {
    std::vector<T> out;
    LONG lo = 0, hi = -1;
    if (FAILED(SafeArrayGetLBound(a, 1, &lo)) || FAILED(SafeArrayGetUBound(a, 1, &hi))) return out;
    for (LONG i = lo; i <= hi; ++i) {
        T v{};
        SafeArrayGetElement(a, &i, &v);
        out.push_back(v);
    }
    return out;
}

LONG handleValue(HWND h) { return static_cast<LONG>(reinterpret_cast<uintptr_t>(h)); }

using Edges = std::tuple<LONG, LONG, LONG, LONG>;
Edges edges(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }

class SimUia : public ostrand_test::DeskTest {
protected:
    void SetUp() override {
        DeskTest::SetUp();
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_CUIAutomation8, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation,
                                   uia.putVoid()),
                  S_OK);
    }
    void TearDown() override {
        uia.reset();
        CoUninitialize();
        DeskTest::TearDown();
    }

    HWND window(HWND parent, const char16_t* cls, const char16_t* text, bool visible = true) {
        simdesk::WindowDesc d;
        d.parent = parent;
        d.className = cls;
        d.text = text;
        d.visible = visible;
        return simdesk::createWindow(d);
    }

    simdesk::ElementId element(simdesk::ElementId parent, const char16_t* name, bool control = true) {
        simdesk::ElementDesc d;
        d.name = name;
        d.controlElement = control;
        return simdesk::addElement(parent, d);
    }

    ComPtr<IUIAutomationElement> fromHandle(HWND h) {
        ComPtr<IUIAutomationElement> e;
        EXPECT_EQ(uia->ElementFromHandle(h, e.put()), S_OK);
        return e;
    }

    ComPtr<IUIAutomationCondition> trueCondition() {
        ComPtr<IUIAutomationCondition> c;
        EXPECT_EQ(uia->CreateTrueCondition(c.put()), S_OK);
        return c;
    }

    ComPtr<IUIAutomationCacheRequest> request(std::initializer_list<PROPERTYID> props,
                                              AutomationElementMode mode = AutomationElementMode_Full) {
        ComPtr<IUIAutomationCacheRequest> r;
        EXPECT_EQ(uia->CreateCacheRequest(r.put()), S_OK);
        for (PROPERTYID p : props) EXPECT_EQ(r->AddProperty(p), S_OK);
        EXPECT_EQ(r->put_AutomationElementMode(mode), S_OK);
        return r;
    }

    ComPtr<IUIAutomationCondition> nameIs(const std::u16string& name) {
        Variant v;
        v.get().vt = VT_BSTR;
        v.get().bstrVal = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
        ComPtr<IUIAutomationCondition> c;
        EXPECT_EQ(uia->CreatePropertyCondition(UIA_NamePropertyId, v.get(), c.put()), S_OK);
        return c;
    }

    static std::vector<ComPtr<IUIAutomationElement>> items(IUIAutomationElementArray* a) {
        std::vector<ComPtr<IUIAutomationElement>> out;
        int n = -1;
        EXPECT_EQ(a->get_Length(&n), S_OK);
        for (int i = 0; i < n; ++i) {
            ComPtr<IUIAutomationElement> e;
            EXPECT_EQ(a->GetElement(i, e.put()), S_OK);
            out.push_back(e);
        }
        return out;
    }

    // Names of what a FindAllBuildCache with Name cached returns, in order.
    std::vector<std::string> found(IUIAutomationElement* root, int scope, IUIAutomationCondition* cond = nullptr) {
        ComPtr<IUIAutomationCondition> all = trueCondition();
        ComPtr<IUIAutomationElementArray> a;
        EXPECT_EQ(root->FindAllBuildCache(static_cast<TreeScope>(scope), cond ? cond : all.get(),
                                          request({UIA_NamePropertyId}).get(), a.put()),
                  S_OK);
        std::vector<std::string> names;
        if (!a) return names;
        for (auto& e : items(a.get())) {
            Bstr name;
            EXPECT_EQ(e->get_CachedName(name.put()), S_OK);
            names.push_back(narrow(name.get(), name.length()));
        }
        return names;
    }

    // The first element of that name in the window's subtree.
    ComPtr<IUIAutomationElement> named(HWND top, const std::u16string& name) {
        ComPtr<IUIAutomationElement> e;
        EXPECT_EQ(fromHandle(top)->FindFirst(TreeScope_Subtree, nameIs(name).get(), e.put()), S_OK);
        return e;
    }

    template <class P>
    static ComPtr<P> pattern(IUIAutomationElement* e, PATTERNID id, const IID& iid) {
        ComPtr<P> p;
        EXPECT_EQ(e->GetCurrentPatternAs(id, iid, p.putVoid()), S_OK);
        EXPECT_TRUE(p) << id;
        return p;
    }

    static std::vector<int32_t> cachedRuntimeId(IUIAutomationElement* e) {
        Variant v;
        EXPECT_EQ(e->GetCachedPropertyValue(UIA_RuntimeIdPropertyId, v.ptr()), S_OK);
        if (v.get().vt != (VT_I4 | VT_ARRAY)) return {};
        return arrayValues<int32_t>(v.get().parray);
    }

    ComPtr<IUIAutomation> uia;
};

using Names = std::vector<std::string>;

TEST_F(SimUia, ScopesWalkTheControlViewInPreOrderWithoutHiddenWindows) {
    // top: windows a (with content a1), h (hidden, holding h1 and h2), b; then
    // content c (not a control element: c1 and c2 stand in its place) and d.
    HWND top = window(nullptr, u"Frame", u"top");
    HWND a = window(top, u"Button", u"a");
    HWND h = window(top, u"Static", u"h", false);
    HWND b = window(top, u"Button", u"b");  // child windows come in creation order
    window(h, u"Static", u"h1");
    element(simdesk::elementOf(h), u"h2");
    element(simdesk::elementOf(a), u"a1");
    simdesk::ElementId c = element(simdesk::elementOf(top), u"c", false);
    simdesk::ElementId c1 = element(c, u"c1");
    element(c1, u"c1x");
    element(c, u"c2");
    element(simdesk::elementOf(top), u"d");
    ASSERT_NE(b, nullptr);

    auto root = fromHandle(top);
    EXPECT_EQ(found(root.get(), TreeScope_Element), (Names{"top"}));
    EXPECT_EQ(found(root.get(), TreeScope_Children), (Names{"a", "b", "c1", "c2", "d"}));
    EXPECT_EQ(found(root.get(), TreeScope_Descendants), (Names{"a", "a1", "b", "c1", "c1x", "c2", "d"}));
    EXPECT_EQ(found(root.get(), TreeScope_Subtree), (Names{"top", "a", "a1", "b", "c1", "c1x", "c2", "d"}));
    EXPECT_EQ(found(root.get(), TreeScope_Element | TreeScope_Children), (Names{"top", "a", "b", "c1", "c2", "d"}));
    EXPECT_EQ(found(root.get(), TreeScope_Children | TreeScope_Descendants), found(root.get(), TreeScope_Descendants));
    EXPECT_EQ(found(root.get(), TreeScope_Element | TreeScope_Descendants), found(root.get(), TreeScope_Subtree));

    // A window can leave the control view too; its content takes its place.
    simdesk::ElementDesc raw;
    raw.controlElement = false;
    ASSERT_TRUE(simdesk::setElement(simdesk::elementOf(a), raw));
    EXPECT_EQ(found(root.get(), TreeScope_Children), (Names{"a1", "b", "c1", "c2", "d"}));
    EXPECT_EQ(found(fromHandle(a).get(), TreeScope_Subtree), (Names{"a1"}));
    raw.controlElement = true;
    ASSERT_TRUE(simdesk::setElement(simdesk::elementOf(a), raw));

    // A hidden window still has its element, but nothing below it is on screen.
    EXPECT_EQ(found(fromHandle(h).get(), TreeScope_Subtree), (Names{"h"}));
    ASSERT_TRUE(simdesk::setWindowVisible(h, true));
    EXPECT_EQ(found(root.get(), TreeScope_Children), (Names{"a", "h", "b", "c1", "c2", "d"}));
    EXPECT_EQ(found(fromHandle(h).get(), TreeScope_Subtree), (Names{"h", "h1", "h2"}));
    // Hiding the top window hides its whole tree from a walk below it.
    ASSERT_TRUE(simdesk::setWindowVisible(top, false));
    EXPECT_EQ(found(fromHandle(a).get(), TreeScope_Subtree), (Names{"a"}));

    auto cond = trueCondition();
    for (int bad : {0, 8, 0x10, 8 | 1, 0x10 | 1, 0x20, 0x27}) {
        ComPtr<IUIAutomationElementArray> arr;
        EXPECT_EQ(root->FindAll(static_cast<TreeScope>(bad), cond.get(), arr.put()), E_INVALIDARG) << bad;
        EXPECT_FALSE(arr);
        ComPtr<IUIAutomationElement> first;
        EXPECT_EQ(root->FindFirst(static_cast<TreeScope>(bad), cond.get(), first.put()), E_INVALIDARG) << bad;
    }
    ComPtr<IUIAutomationElementArray> arr;
    EXPECT_EQ(root->FindAll(TreeScope_Subtree, nullptr, arr.put()), E_POINTER);
    EXPECT_EQ(root->FindAll(TreeScope_Subtree, cond.get(), nullptr), E_POINTER);
    EXPECT_EQ(root->FindAllBuildCache(TreeScope_Subtree, cond.get(), nullptr, arr.put()), E_POINTER);
}

TEST_F(SimUia, CacheRequestDefaultsAndRefusedSettings) {
    ComPtr<IUIAutomationCacheRequest> r;
    EXPECT_EQ(uia->CreateCacheRequest(nullptr), E_POINTER);
    ASSERT_EQ(uia->CreateCacheRequest(r.put()), S_OK);
    TreeScope scope = TreeScope_None;
    AutomationElementMode mode = AutomationElementMode_None;
    EXPECT_EQ(r->get_TreeScope(&scope), S_OK);
    EXPECT_EQ(scope, TreeScope_Element);
    EXPECT_EQ(r->get_AutomationElementMode(&mode), S_OK);
    EXPECT_EQ(mode, AutomationElementMode_Full);

    ASSERT_EQ(r->put_TreeScope(TreeScope_Children), S_OK);
    for (int bad : {0, 8, 0x10, 8 | 1, 0x10 | 1, 0x40 | 2}) {
        EXPECT_EQ(r->put_TreeScope(static_cast<TreeScope>(bad)), E_INVALIDARG) << bad;
        EXPECT_EQ(r->get_TreeScope(&scope), S_OK);
        EXPECT_EQ(scope, TreeScope_Children) << "changed by " << bad;
    }
    EXPECT_EQ(r->put_TreeScope(static_cast<TreeScope>(6)), S_OK);
    EXPECT_EQ(r->put_AutomationElementMode(static_cast<AutomationElementMode>(2)), E_INVALIDARG);
    EXPECT_EQ(r->get_AutomationElementMode(&mode), S_OK);
    EXPECT_EQ(mode, AutomationElementMode_Full);

    for (PROPERTYID bad : {0, 1, 29999, 40000}) EXPECT_EQ(r->AddProperty(bad), E_INVALIDARG) << bad;
    EXPECT_EQ(r->AddProperty(UIA_NamePropertyId), S_OK);
    EXPECT_EQ(r->AddProperty(UIA_NamePropertyId), S_OK);  // a duplicate does nothing
    // A property the desktop has no value for (LocalizedControlType) is
    // cached as VT_EMPTY.
    EXPECT_EQ(r->AddProperty(30004), S_OK);

    // RuntimeId is cached although never added.
    EXPECT_EQ(r->put_TreeScope(TreeScope_Element), S_OK);
    HWND h = window(nullptr, u"Frame", u"w");
    ComPtr<IUIAutomationElementArray> a;
    ASSERT_EQ(fromHandle(h)->FindAllBuildCache(TreeScope_Element, trueCondition().get(), r.get(), a.put()), S_OK);
    auto e = items(a.get());
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(cachedRuntimeId(e[0].get()), (std::vector<int32_t>{42, handleValue(h)}));
    Variant v;
    v.get().vt = VT_I4;
    EXPECT_EQ(e[0]->GetCachedPropertyValue(30004, v.ptr()), S_OK);
    EXPECT_EQ(v.get().vt, VT_EMPTY);
}

// "The scope of the CacheRequest is in relation to the object being
// retrieved" (Microsoft Learn, Caching UI Automation Properties and Control
// Patterns; CacheRequest.TreeScope): the search scope picks the elements, the
// request's scope what is cached around each of them.
TEST_F(SimUia, ARequestsScopeIsRelativeToEachElementFound) {
    HWND h = window(nullptr, u"Frame", u"w");
    simdesk::ElementDesc d;
    d.name = u"one";
    simdesk::ElementId one = simdesk::addElement(simdesk::elementOf(h), d);
    d.name = u"under one";
    simdesk::addElement(one, d);
    d.name = u"two";
    simdesk::addElement(simdesk::elementOf(h), d);
    ComPtr<IUIAutomationCacheRequest> r;
    ASSERT_EQ(uia->CreateCacheRequest(r.put()), S_OK);
    ASSERT_EQ(r->AddProperty(UIA_NamePropertyId), S_OK);
    // Each found element with its own values, with its subtree's, or with its children's only.
    for (auto [scope, transferred, ownValues] : {std::tuple{TreeScope_Element, 4, true},
                                                 std::tuple{TreeScope_Subtree, 4 + 2 + 1 + 1, true},
                                                 std::tuple{TreeScope_Children, 2 + 1, false}}) {
        ASSERT_EQ(r->put_TreeScope(scope), S_OK);
        simdesk::resetCalls();
        ComPtr<IUIAutomationElementArray> a;
        ASSERT_EQ(fromHandle(h)->FindAllBuildCache(TreeScope_Subtree, trueCondition().get(), r.get(), a.put()),
                  S_OK);
        auto found = items(a.get());
        ASSERT_EQ(found.size(), 4u) << scope;
        EXPECT_EQ(simdesk::cachedElementsTransferred(), transferred) << scope;
        Bstr name;
        EXPECT_EQ(found[1]->get_CachedName(name.put()), ownValues ? S_OK : E_INVALIDARG) << scope;
        Variant id;
        EXPECT_EQ(found[1]->GetCachedPropertyValue(UIA_RuntimeIdPropertyId, id.ptr()), ownValues ? S_OK : E_INVALIDARG);
    }
}

TEST_F(SimUia, CachedValuesAreASnapshotWithUiaTypes) {
    simdesk::WindowDesc d;
    d.className = u"Button";
    d.text = u"OK";
    d.rect = RECT{10, 20, 110, 60};
    d.enabled = false;
    HWND top = window(nullptr, u"#32770", u"dialog");
    d.parent = top;
    HWND ok = simdesk::createWindow(d);

    auto req = request({UIA_NamePropertyId, UIA_ControlTypePropertyId, UIA_BoundingRectanglePropertyId,
                        UIA_IsEnabledPropertyId, UIA_NativeWindowHandlePropertyId, UIA_ClassNamePropertyId,
                        UIA_AutomationIdPropertyId, UIA_ProcessIdPropertyId});
    ComPtr<IUIAutomationElementArray> a;
    ASSERT_EQ(fromHandle(top)->FindAllBuildCache(TreeScope_Children, trueCondition().get(), req.get(), a.put()),
              S_OK);
    auto e = items(a.get());
    ASSERT_EQ(e.size(), 1u);
    IUIAutomationElement* button = e[0].get();

    // Changes after the fetch do not reach the cache.
    ASSERT_TRUE(simdesk::setWindowText(ok, u"Cancel"));
    Bstr name, cls, aid;
    EXPECT_EQ(button->get_CachedName(name.put()), S_OK);
    EXPECT_EQ(narrow(name.get(), name.length()), "OK");
    EXPECT_EQ(button->get_CachedClassName(cls.put()), S_OK);
    EXPECT_EQ(narrow(cls.get(), cls.length()), "Button");
    EXPECT_EQ(button->get_CachedAutomationId(aid.put()), S_OK);
    EXPECT_EQ(aid.length(), 0u);
    ASSERT_NE(aid.get(), nullptr);
    CONTROLTYPEID type = 0;
    EXPECT_EQ(button->get_CachedControlType(&type), S_OK);
    EXPECT_EQ(type, UIA_ButtonControlTypeId);
    BOOL enabled = TRUE;
    EXPECT_EQ(button->get_CachedIsEnabled(&enabled), S_OK);
    EXPECT_EQ(enabled, FALSE);
    UIA_HWND native = nullptr;
    EXPECT_EQ(button->get_CachedNativeWindowHandle(&native), S_OK);
    EXPECT_EQ(native, ok);

    // The rectangle: edges from the getter, [left, top, width, height] as a value.
    RECT r{};
    EXPECT_EQ(button->get_CachedBoundingRectangle(&r), S_OK);
    EXPECT_EQ((std::vector<LONG>{r.left, r.top, r.right, r.bottom}), (std::vector<LONG>{10, 20, 110, 60}));
    Variant rect, pid, en, rid;
    ASSERT_EQ(button->GetCachedPropertyValue(UIA_BoundingRectanglePropertyId, rect.ptr()), S_OK);
    ASSERT_EQ(rect.get().vt, VT_R8 | VT_ARRAY);
    EXPECT_EQ(arrayValues<double>(rect.get().parray), (std::vector<double>{10, 20, 100, 40}));
    ASSERT_EQ(button->GetCachedPropertyValue(UIA_IsEnabledPropertyId, en.ptr()), S_OK);
    EXPECT_EQ(en.get().vt, VT_BOOL);
    EXPECT_EQ(en.get().boolVal, VARIANT_FALSE);
    ASSERT_EQ(button->GetCachedPropertyValue(UIA_ProcessIdPropertyId, pid.ptr()), S_OK);
    EXPECT_EQ(pid.get().vt, VT_I4);
    simdesk::ElementState topState;
    ASSERT_TRUE(simdesk::elementState(simdesk::elementOf(top), &topState));
    EXPECT_EQ(pid.get().lVal, topState.processId);  // a child window is in its parent's process
    ASSERT_EQ(button->GetCachedPropertyValue(UIA_RuntimeIdPropertyId, rid.ptr()), S_OK);
    EXPECT_EQ(rid.get().vt, 0x2003);
    EXPECT_EQ(arrayValues<int32_t>(rid.get().parray), (std::vector<int32_t>{42, handleValue(ok)}));

    // A full-mode element also reads current values.
    Bstr now;
    EXPECT_EQ(button->get_CurrentName(now.put()), S_OK);
    EXPECT_EQ(narrow(now.get(), now.length()), "Cancel");
    ASSERT_TRUE(simdesk::setWindowRect(ok, RECT{1, 2, 3, 4}));
    EXPECT_EQ(button->get_CurrentBoundingRectangle(&r), S_OK);
    EXPECT_EQ(r.right, 3);
    EXPECT_EQ(button->get_CachedBoundingRectangle(&r), S_OK);
    EXPECT_EQ(r.right, 110);
    EXPECT_EQ(button->get_CachedName(nullptr), E_POINTER);
    EXPECT_EQ(button->GetCachedPropertyValue(UIA_NamePropertyId, nullptr), E_POINTER);
}

TEST_F(SimUia, ValuesNotCachedFailAndLeaveTheOutParameter) {
    HWND h = window(nullptr, u"Frame", u"w");
    ComPtr<IUIAutomationElementArray> a;
    ASSERT_EQ(fromHandle(h)->FindAllBuildCache(TreeScope_Element, trueCondition().get(),
                                               request({UIA_NamePropertyId}).get(), a.put()),
              S_OK);
    auto e = items(a.get());
    ASSERT_EQ(e.size(), 1u);
    CONTROLTYPEID type = -7;
    EXPECT_EQ(e[0]->get_CachedControlType(&type), E_INVALIDARG);
    EXPECT_EQ(type, -7);
    RECT r{1, 2, 3, 4};
    EXPECT_EQ(e[0]->get_CachedBoundingRectangle(&r), E_INVALIDARG);
    EXPECT_EQ(r.bottom, 4);
    BSTR untouched = reinterpret_cast<BSTR>(0x10);
    EXPECT_EQ(e[0]->get_CachedClassName(&untouched), E_INVALIDARG);
    EXPECT_EQ(untouched, reinterpret_cast<BSTR>(0x10));
    BOOL enabled = 5;
    EXPECT_EQ(e[0]->get_CachedIsEnabled(&enabled), E_INVALIDARG);
    EXPECT_EQ(enabled, 5);
    Variant v;
    v.get().vt = VT_I4;
    EXPECT_EQ(e[0]->GetCachedPropertyValue(UIA_ProcessIdPropertyId, v.ptr()), E_INVALIDARG);
    EXPECT_EQ(v.get().vt, VT_EMPTY);
    v.get().vt = VT_I4;
    EXPECT_EQ(e[0]->GetCachedPropertyValue(1, v.ptr()), E_INVALIDARG);
    EXPECT_EQ(v.get().vt, VT_EMPTY);

    // An element from a handle carries no cached name.
    BSTR none = nullptr;
    EXPECT_EQ(fromHandle(h)->get_CachedName(&none), E_INVALIDARG);
    // Current values: an id UI Automation does not know.
    v.get().vt = VT_I4;
    EXPECT_EQ(fromHandle(h)->GetCurrentPropertyValue(1, v.ptr()), E_INVALIDARG);
    EXPECT_EQ(v.get().vt, VT_EMPTY);
}

TEST_F(SimUia, ModeNoneElementsHoldCachedValuesOnly) {
    HWND h = window(nullptr, u"Frame", u"w");
    auto req = request({UIA_NamePropertyId}, AutomationElementMode_None);
    ComPtr<IUIAutomationElementArray> a;
    ASSERT_EQ(fromHandle(h)->FindAllBuildCache(TreeScope_Element, trueCondition().get(), req.get(), a.put()), S_OK);
    auto e = items(a.get());
    ASSERT_EQ(e.size(), 1u);
    IUIAutomationElement* el = e[0].get();

    simdesk::resetCalls();
    Bstr name;
    EXPECT_EQ(el->get_CurrentName(name.put()), kInvalidOperation);
    CONTROLTYPEID type = 0;
    EXPECT_EQ(el->get_CurrentControlType(&type), kInvalidOperation);
    RECT r;
    EXPECT_EQ(el->get_CurrentBoundingRectangle(&r), kInvalidOperation);
    Variant v;
    EXPECT_EQ(el->GetCurrentPropertyValue(UIA_NamePropertyId, v.ptr()), kInvalidOperation);
    ComPtr<IUIAutomationElementArray> more;
    EXPECT_EQ(el->FindAll(TreeScope_Element, trueCondition().get(), more.put()), kInvalidOperation);
    ComPtr<IUIAutomationElement> first;
    EXPECT_EQ(el->FindFirst(TreeScope_Element, trueCondition().get(), first.put()), kInvalidOperation);
    EXPECT_EQ(simdesk::crossProcessCalls(), 0);  // refused without asking the target

    // Its runtime id comes from the cache, so it still answers after the
    // window is gone.
    ASSERT_TRUE(simdesk::destroyWindow(h));
    SafeArray id;
    EXPECT_EQ(el->GetRuntimeId(id.put()), S_OK);
    EXPECT_EQ(arrayValues<int32_t>(id.get()), (std::vector<int32_t>{42, handleValue(h)}));
    EXPECT_EQ(el->get_CachedName(name.put()), S_OK);
    EXPECT_EQ(narrow(name.get(), name.length()), "w");
    EXPECT_EQ(simdesk::crossProcessCalls(), 0);
}

TEST_F(SimUia, ControlTypesFollowTheWin32ProxiesUnlessSet) {
    HWND top = window(nullptr, u"Frame", u"top");
    const struct {
        const char16_t* cls;
        CONTROLTYPEID type;
    } cases[] = {
        {u"Button", UIA_ButtonControlTypeId},      {u"button", UIA_ButtonControlTypeId},
        {u"Edit", UIA_EditControlTypeId},          {u"Static", UIA_TextControlTypeId},
        {u"ListBox", UIA_ListControlTypeId},       {u"ComboBox", UIA_ComboBoxControlTypeId},
        {u"SysListView32", UIA_ListControlTypeId}, {u"SysTreeView32", UIA_TreeControlTypeId},
        {u"#32770", UIA_WindowControlTypeId},      {u"Frame", UIA_PaneControlTypeId},
    };
    for (const auto& c : cases) {
        CONTROLTYPEID type = 0;
        EXPECT_EQ(fromHandle(window(top, c.cls, u""))->get_CurrentControlType(&type), S_OK);
        EXPECT_EQ(type, c.type) << narrow(c.cls, std::char_traits<char16_t>::length(c.cls));
    }
    CONTROLTYPEID type = 0;
    EXPECT_EQ(fromHandle(top)->get_CurrentControlType(&type), S_OK);
    EXPECT_EQ(type, UIA_WindowControlTypeId);  // top level

    // Overrides replace what the window gives, for UI Automation only.
    simdesk::ElementDesc d;
    d.controlType = UIA_DocumentControlTypeId;
    d.name = u"Content";
    d.automationId = u"main";
    ASSERT_TRUE(simdesk::setElement(simdesk::elementOf(top), d));
    auto e = fromHandle(top);
    EXPECT_EQ(e->get_CurrentControlType(&type), S_OK);
    EXPECT_EQ(type, UIA_DocumentControlTypeId);
    Bstr name, aid;
    EXPECT_EQ(e->get_CurrentName(name.put()), S_OK);
    EXPECT_EQ(narrow(name.get(), name.length()), "Content");
    EXPECT_EQ(e->get_CurrentAutomationId(aid.put()), S_OK);
    EXPECT_EQ(narrow(aid.get(), aid.length()), "main");
    WCHAR text[8];
    EXPECT_EQ(GetWindowTextW(top, text, 8), 3);
    ASSERT_TRUE(simdesk::setWindowText(top, u"renamed"));
    EXPECT_EQ(e->get_CurrentName(name.put()), S_OK);
    EXPECT_EQ(narrow(name.get(), name.length()), "Content");
}

TEST_F(SimUia, WindowlessElementsInheritTheirHostAndHaveFragmentIds) {
    HWND browser = window(nullptr, u"Chrome_WidgetWin_1", u"browser");
    HWND other = window(nullptr, u"Frame", u"other");
    simdesk::ElementDesc d;
    d.name = u"link";
    d.controlType = UIA_HyperlinkControlTypeId;
    d.rect = RECT{5, 6, 7, 8};
    d.enabled = false;
    simdesk::ElementId doc = element(simdesk::elementOf(browser), u"doc");
    simdesk::ElementId link = simdesk::addElement(doc, d);
    ASSERT_NE(link, 0u);
    EXPECT_EQ(simdesk::addElement(simdesk::elementOf(reinterpret_cast<HWND>(0x4)), d), 0u);

    auto root = fromHandle(browser);
    auto req = request({UIA_ProcessIdPropertyId, UIA_NativeWindowHandlePropertyId, UIA_ControlTypePropertyId,
                        UIA_IsEnabledPropertyId, UIA_BoundingRectanglePropertyId});
    ComPtr<IUIAutomationElementArray> a;
    ASSERT_EQ(root->FindAllBuildCache(TreeScope_Subtree, trueCondition().get(), req.get(), a.put()), S_OK);
    auto e = items(a.get());
    ASSERT_EQ(e.size(), 3u);
    auto pidOf = [](IUIAutomationElement* el) {
        Variant v;
        EXPECT_EQ(el->GetCachedPropertyValue(UIA_ProcessIdPropertyId, v.ptr()), S_OK);
        return v.get().lVal;
    };
    EXPECT_EQ(pidOf(e[1].get()), pidOf(e[0].get()));
    EXPECT_EQ(pidOf(e[2].get()), pidOf(e[0].get()));
    simdesk::ElementState otherState;
    ASSERT_TRUE(simdesk::elementState(simdesk::elementOf(other), &otherState));
    EXPECT_NE(otherState.processId, pidOf(e[0].get()));  // another top-level window, another process

    UIA_HWND native = reinterpret_cast<UIA_HWND>(1);
    EXPECT_EQ(e[2]->get_CachedNativeWindowHandle(&native), S_OK);
    EXPECT_EQ(native, nullptr);
    CONTROLTYPEID type = 0;
    EXPECT_EQ(e[1]->get_CachedControlType(&type), S_OK);
    EXPECT_EQ(type, UIA_CustomControlTypeId);  // the default of a window-less element
    EXPECT_EQ(e[2]->get_CachedControlType(&type), S_OK);
    EXPECT_EQ(type, UIA_HyperlinkControlTypeId);
    RECT r{};
    EXPECT_EQ(e[2]->get_CachedBoundingRectangle(&r), S_OK);
    EXPECT_EQ(r.bottom, 8);

    auto docId = cachedRuntimeId(e[1].get());
    auto linkId = cachedRuntimeId(e[2].get());
    ASSERT_EQ(docId.size(), 4u);
    EXPECT_EQ(docId[0], 42);
    EXPECT_EQ(docId[1], handleValue(browser));
    EXPECT_NE(docId, linkId);
    SafeArray live;
    ASSERT_EQ(e[2]->GetRuntimeId(live.put()), S_OK);
    EXPECT_EQ(arrayValues<int32_t>(live.get()), linkId);
}

// Microsoft Learn, "TitleBar Control Type": the control view is TitleBar -
// Button (0 or more), and the bar's rectangle holds every control in it.
// The non-client area comes before the client's children, it has no
// windows, and its names and rectangles are the window's as they are now.
TEST_F(SimUia, TitleBarsAreTheFirstChildOfEachTopLevelWindowWhileTurnedOn) {
    HWND top = window(nullptr, u"Frame", u"Notes");
    ASSERT_TRUE(simdesk::setWindowRect(top, RECT{100, 50, 700, 450}));
    HWND ok = window(top, u"Button", u"OK");
    element(simdesk::elementOf(top), u"doc");
    auto state = [](simdesk::ElementId id) {
        simdesk::ElementState st;
        EXPECT_TRUE(simdesk::elementState(id, &st)) << id;
        return st;
    };
    EXPECT_EQ(state(simdesk::elementOf(top)).children.size(), 2u);  // off by default
    simdesk::setTitleBars(true);
    HWND later = window(nullptr, u"Frame", u"later");  // windows made afterwards get one too

    const std::vector<simdesk::ElementId> kids = state(simdesk::elementOf(top)).children;
    ASSERT_EQ(kids.size(), 3u);
    EXPECT_EQ(kids[1], simdesk::elementOf(ok));
    const simdesk::ElementState bar = state(kids[0]);
    EXPECT_EQ(bar.parent, simdesk::elementOf(top));
    EXPECT_EQ(bar.window, nullptr);
    EXPECT_EQ(bar.controlType, UIA_TitleBarControlTypeId);
    EXPECT_EQ(bar.automationId, u"TitleBar");
    EXPECT_EQ(bar.name, u"Notes");
    EXPECT_TRUE(bar.patterns.empty());
    EXPECT_FALSE(bar.focusable);
    ASSERT_EQ(bar.runtimeId.size(), 4u);
    EXPECT_EQ(bar.runtimeId[1], handleValue(top));
    EXPECT_EQ(edges(bar.rect), Edges(100, 50, 700, 80));
    ASSERT_EQ(bar.children.size(), 3u);
    const char16_t* names[] = {u"Minimize", u"Maximize", u"Close"};
    for (size_t i = 0; i < 3; ++i) {
        const simdesk::ElementState b = state(bar.children[i]);
        EXPECT_EQ(b.parent, kids[0]);
        EXPECT_EQ(b.controlType, UIA_ButtonControlTypeId);
        EXPECT_EQ(b.name, names[i]);
        EXPECT_EQ(b.automationId, names[i]);
        EXPECT_FALSE(b.focusable);
        EXPECT_TRUE(b.children.empty());
        // 46 pixels each, right to left from the bar's end, inside the bar.
        EXPECT_EQ(edges(b.rect), Edges(700 - 46 * LONG(3 - i), 50, 700 - 46 * LONG(2 - i), 80)) << i;
    }
    EXPECT_EQ(found(fromHandle(top).get(), TreeScope_Subtree),
              (Names{"Notes", "Notes", "Minimize", "Maximize", "Close", "OK", "doc"}));

    // A search for a Button meets Minimize first, and it can be invoked.
    Variant button;
    button.get().vt = VT_I4;
    button.get().lVal = UIA_ButtonControlTypeId;
    ComPtr<IUIAutomationCondition> isButton;
    ASSERT_EQ(uia->CreatePropertyCondition(UIA_ControlTypePropertyId, button.get(), isButton.put()), S_OK);
    ComPtr<IUIAutomationElementArray> buttons;
    ASSERT_EQ(fromHandle(top)->FindAll(TreeScope_Subtree, isButton.get(), buttons.put()), S_OK);
    auto all = items(buttons.get());
    ASSERT_EQ(all.size(), 4u);
    UIA_HWND native = reinterpret_cast<UIA_HWND>(1);
    EXPECT_EQ(all[0]->get_CurrentNativeWindowHandle(&native), S_OK);
    EXPECT_EQ(native, nullptr);
    EXPECT_EQ(pattern<IUIAutomationInvokePattern>(all[0].get(), UIA_InvokePatternId, IID_IUIAutomationInvokePattern)
                  ->Invoke(),
              S_OK);
    EXPECT_EQ(state(bar.children[0]).invokeCount, 1u);

    // Win32 enumeration sees only the windows.
    std::vector<HWND> enumerated;
    EnumChildWindows(
        top,
        [](HWND h, LPARAM p) {
            reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&enumerated));
    EXPECT_EQ(enumerated, std::vector<HWND>{ok});

    // Moving and renaming the window moves and renames the bar.
    ASSERT_TRUE(simdesk::setWindowRect(top, RECT{0, 0, 300, 200}));
    ASSERT_TRUE(simdesk::setWindowText(top, u"Renamed"));
    EXPECT_EQ(state(kids[0]).name, u"Renamed");
    EXPECT_EQ(edges(state(kids[0]).rect), Edges(0, 0, 300, 30));
    EXPECT_EQ(edges(state(bar.children[2]).rect), Edges(254, 0, 300, 30));

    // The parts are the window's: removeElement refuses them. They go with
    // the window, when it stops being top-level, and when the option is off.
    EXPECT_FALSE(simdesk::removeElement(kids[0]));
    EXPECT_FALSE(simdesk::removeElement(bar.children[1]));
    auto gone = [&](const std::vector<simdesk::ElementId>& ids) {
        simdesk::ElementState st;
        for (simdesk::ElementId id : ids)
            if (simdesk::elementState(id, &st)) return false;
        return true;
    };
    auto barAndButtons = [&](HWND h) {
        simdesk::ElementId b = state(simdesk::elementOf(h)).children.at(0);
        std::vector<simdesk::ElementId> ids = state(b).children;
        ids.push_back(b);
        return ids;
    };
    const auto laterParts = barAndButtons(later);
    ASSERT_TRUE(simdesk::destroyWindow(later));
    EXPECT_TRUE(gone(laterParts));
    HWND moved = window(nullptr, u"Frame", u"moved");
    const auto movedParts = barAndButtons(moved);
    ASSERT_TRUE(simdesk::setParent(moved, top));
    EXPECT_TRUE(gone(movedParts));
    EXPECT_TRUE(state(simdesk::elementOf(moved)).children.empty());
    const auto topParts = barAndButtons(top);
    simdesk::setTitleBars(false);
    EXPECT_TRUE(gone(topParts));
    EXPECT_EQ(state(simdesk::elementOf(top)).children,
              (std::vector<simdesk::ElementId>{simdesk::elementOf(moved), simdesk::elementOf(ok), kids[2]}));
    simdesk::setTitleBars(true);  // a new bar, with new ids
    EXPECT_GT(state(simdesk::elementOf(top)).children.at(0), topParts.back());
    simdesk::reset();
    EXPECT_TRUE(state(simdesk::elementOf(window(nullptr, u"Frame", u"after reset"))).children.empty());
}

TEST_F(SimUia, PropertyConditionsCheckTypesCopyTheValueAndMatchExactly) {
    HWND top = window(nullptr, u"Frame", u"top");
    HWND save = window(top, u"Button", u"Save");
    simdesk::ElementId content = element(simdesk::elementOf(top), u"content");
    simdesk::ElementDesc d;
    d.name = u"Save";
    d.automationId = u"second";
    simdesk::addElement(content, d);
    auto root = fromHandle(top);

    ComPtr<IUIAutomationCondition> c;
    Variant v;
    v.get().vt = VT_I4;
    v.get().lVal = UIA_ButtonControlTypeId;
    EXPECT_EQ(uia->CreatePropertyCondition(UIA_ControlTypePropertyId, v.get(), nullptr), E_POINTER);
    for (PROPERTYID bad : {0, 1, UIA_NamePropertyId, UIA_IsEnabledPropertyId, UIA_RuntimeIdPropertyId}) {
        IUIAutomationCondition* out = reinterpret_cast<IUIAutomationCondition*>(0x10);
        EXPECT_EQ(uia->CreatePropertyCondition(bad, v.get(), &out), E_INVALIDARG) << bad;
        EXPECT_EQ(out, nullptr);
    }
    VARIANT wrong;
    wrong.vt = VT_I2;
    wrong.iVal = 1;
    EXPECT_EQ(uia->CreatePropertyCondition(UIA_ControlTypePropertyId, wrong, c.put()), E_INVALIDARG);
    wrong.vt = VT_EMPTY;
    EXPECT_EQ(uia->CreatePropertyCondition(UIA_RuntimeIdPropertyId, wrong, c.put()), E_INVALIDARG);
    Variant reals;
    reals.get().vt = VT_R8 | VT_ARRAY;
    reals.get().parray = SafeArrayCreateVector(VT_R8, 0, 2);
    EXPECT_EQ(uia->CreatePropertyCondition(UIA_RuntimeIdPropertyId, reals.get(), c.put()), E_INVALIDARG);

    // The value is copied: freeing the caller's BSTR does not matter.
    {
        Variant name;
        name.get().vt = VT_BSTR;
        name.get().bstrVal = SysAllocString(u"Save");
        ASSERT_EQ(uia->CreatePropertyCondition(UIA_NamePropertyId, name.get(), c.put()), S_OK);
    }
    ComPtr<IUIAutomationPropertyCondition> pc;
    ASSERT_EQ(c->QueryInterface(IID_IUIAutomationPropertyCondition, pc.putVoid()), S_OK);
    PROPERTYID id = 0;
    EXPECT_EQ(pc->get_PropertyId(&id), S_OK);
    EXPECT_EQ(id, UIA_NamePropertyId);
    Variant copy;
    ASSERT_EQ(pc->get_PropertyValue(copy.ptr()), S_OK);
    ASSERT_EQ(copy.get().vt, VT_BSTR);
    EXPECT_EQ(narrow(copy.get().bstrVal, SysStringLen(copy.get().bstrVal)), "Save");

    // FindFirst gives the first match in pre-order: the window before the
    // content element of the same name.
    ComPtr<IUIAutomationElement> first;
    ASSERT_EQ(root->FindFirst(TreeScope_Subtree, c.get(), first.put()), S_OK);
    UIA_HWND native = nullptr;
    EXPECT_EQ(first->get_CurrentNativeWindowHandle(&native), S_OK);
    EXPECT_EQ(native, save);
    EXPECT_EQ(found(root.get(), TreeScope_Subtree, c.get()), (Names{"Save", "Save"}));
    for (const char16_t* miss : {u"save", u"Sav", u"Save "}) {
        ComPtr<IUIAutomationElement> none;
        EXPECT_EQ(root->FindFirst(TreeScope_Subtree, nameIs(miss).get(), none.put()), S_OK);
        EXPECT_FALSE(none);
    }
    // No match is an empty array, not a null one.
    ComPtr<IUIAutomationElementArray> empty;
    ASSERT_EQ(root->FindAll(TreeScope_Subtree, nameIs(u"nothing").get(), empty.put()), S_OK);
    ASSERT_TRUE(empty);
    int length = -1;
    EXPECT_EQ(empty->get_Length(&length), S_OK);
    EXPECT_EQ(length, 0);

    ASSERT_EQ(uia->CreatePropertyCondition(UIA_ControlTypePropertyId, v.get(), c.put()), S_OK);
    EXPECT_EQ(found(root.get(), TreeScope_Subtree, c.get()), (Names{"Save"}));

    ComPtr<IUIAutomationBoolCondition> always;
    ASSERT_EQ(trueCondition()->QueryInterface(IID_IUIAutomationBoolCondition, always.putVoid()), S_OK);
    BOOL value = FALSE;
    EXPECT_EQ(always->get_BooleanValue(&value), S_OK);
    EXPECT_EQ(value, TRUE);
}

TEST_F(SimUia, ElementArrayBounds) {
    HWND top = window(nullptr, u"Frame", u"top");
    window(top, u"Button", u"b");
    ComPtr<IUIAutomationElementArray> a;
    ASSERT_EQ(fromHandle(top)->FindAll(TreeScope_Subtree, trueCondition().get(), a.put()), S_OK);
    EXPECT_EQ(a->get_Length(nullptr), E_POINTER);
    for (int bad : {-1, 2, 1000}) {
        IUIAutomationElement* out = reinterpret_cast<IUIAutomationElement*>(0x10);
        EXPECT_EQ(a->GetElement(bad, &out), E_INVALIDARG) << bad;
        EXPECT_EQ(out, reinterpret_cast<IUIAutomationElement*>(0x10));
    }
    EXPECT_EQ(a->GetElement(0, nullptr), E_POINTER);
    ComPtr<IUIAutomationElement> last;
    EXPECT_EQ(a->GetElement(1, last.put()), S_OK);
    EXPECT_EQ(cachedRuntimeId(last.get()).size(), 2u);  // FindAll caches the runtime id
}

TEST_F(SimUia, NamesKeepEmbeddedNulsAndRuntimeIdsMayBeMissingOrShared) {
    HWND top = window(nullptr, u"Frame", u"top");
    const std::u16string withNul(u"a\0b", 3);
    simdesk::ElementDesc d;
    d.name = withNul;
    simdesk::ElementId x = simdesk::addElement(simdesk::elementOf(top), d);
    simdesk::ElementId y = element(simdesk::elementOf(top), u"y");
    simdesk::ElementId z = element(simdesk::elementOf(top), u"z");
    ASSERT_TRUE(simdesk::setRuntimeId(y, {7, -7}));
    ASSERT_TRUE(simdesk::setRuntimeId(z, {7, -7}));
    ASSERT_TRUE(simdesk::setRuntimeIdReadable(x, false));
    auto root = fromHandle(top);

    ComPtr<IUIAutomationElementArray> a;
    ASSERT_EQ(root->FindAllBuildCache(TreeScope_Children, trueCondition().get(),
                                      request({UIA_NamePropertyId}).get(), a.put()),
              S_OK);
    auto e = items(a.get());
    ASSERT_EQ(e.size(), 3u);
    Bstr name;
    ASSERT_EQ(e[0]->get_CachedName(name.put()), S_OK);
    EXPECT_EQ(std::u16string(name.get(), name.length()), withNul);
    Variant v;
    ASSERT_EQ(e[0]->GetCachedPropertyValue(UIA_NamePropertyId, v.ptr()), S_OK);
    EXPECT_EQ(SysStringLen(v.get().bstrVal), 3u);
    ASSERT_EQ(e[0]->get_CurrentName(name.put()), S_OK);
    EXPECT_EQ(name.length(), 3u);
    EXPECT_EQ(found(root.get(), TreeScope_Children, nameIs(withNul).get()).size(), 1u);
    EXPECT_TRUE(found(root.get(), TreeScope_Children, nameIs(u"a").get()).empty());

    // A provider without a runtime id.
    Variant rid;
    rid.get().vt = VT_I4;
    EXPECT_EQ(e[0]->GetCachedPropertyValue(UIA_RuntimeIdPropertyId, rid.ptr()), S_OK);
    EXPECT_EQ(rid.get().vt, VT_EMPTY);
    SAFEARRAY* none = reinterpret_cast<SAFEARRAY*>(0x10);
    EXPECT_EQ(e[0]->GetRuntimeId(&none), S_OK);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(e[0]->GetCurrentPropertyValue(UIA_RuntimeIdPropertyId, rid.ptr()), S_OK);
    EXPECT_EQ(rid.get().vt, VT_EMPTY);

    // Two elements may carry the same id; both are found by it.
    EXPECT_EQ(cachedRuntimeId(e[1].get()), cachedRuntimeId(e[2].get()));
    Variant ids;
    ids.get().vt = VT_I4 | VT_ARRAY;
    ids.get().parray = SafeArrayCreateVector(VT_I4, 0, 2);
    for (LONG i = 0; i < 2; ++i) {
        LONG val = i ? -7 : 7;
        SafeArrayPutElement(ids.get().parray, &i, &val);
    }
    ComPtr<IUIAutomationCondition> byId;
    ASSERT_EQ(uia->CreatePropertyCondition(UIA_RuntimeIdPropertyId, ids.get(), byId.put()), S_OK);
    EXPECT_EQ(found(root.get(), TreeScope_Subtree, byId.get()), (Names{"y", "z"}));
}

TEST_F(SimUia, DestroyedWindowsAndRemovedElementsAreNotAvailable) {
    HWND top = window(nullptr, u"Frame", u"top");
    HWND child = window(top, u"Button", u"b");
    simdesk::ElementId doc = element(simdesk::elementOf(child), u"doc");
    simdesk::ElementId para = element(doc, u"para");
    element(simdesk::elementOf(top), u"keep");
    auto root = fromHandle(top);
    ComPtr<IUIAutomationElementArray> a;
    ASSERT_EQ(root->FindAll(TreeScope_Descendants, trueCondition().get(), a.put()), S_OK);
    auto e = items(a.get());  // b, doc, para, keep
    ASSERT_EQ(e.size(), 4u);

    EXPECT_FALSE(simdesk::removeElement(simdesk::elementOf(child)));  // windows are destroyed, not removed
    ASSERT_TRUE(simdesk::removeElement(doc));
    EXPECT_FALSE(simdesk::removeElement(doc));
    EXPECT_FALSE(simdesk::setElement(para, simdesk::ElementDesc{}));  // went with its parent
    Bstr name;
    EXPECT_EQ(e[1]->get_CurrentName(name.put()), kNotAvailable);
    EXPECT_EQ(e[2]->get_CurrentName(name.put()), kNotAvailable);
    EXPECT_EQ(found(root.get(), TreeScope_Descendants), (Names{"b", "keep"}));

    ASSERT_TRUE(simdesk::destroyWindow(child));
    IUIAutomationElement* b = e[0].get();
    EXPECT_EQ(b->get_CurrentName(name.put()), kNotAvailable);
    BOOL enabled;
    EXPECT_EQ(b->get_CurrentIsEnabled(&enabled), kNotAvailable);
    Variant v;
    EXPECT_EQ(b->GetCurrentPropertyValue(UIA_NamePropertyId, v.ptr()), kNotAvailable);
    SafeArray id;
    EXPECT_EQ(b->GetRuntimeId(id.put()), kNotAvailable);
    ComPtr<IUIAutomationElementArray> none;
    EXPECT_EQ(b->FindAll(TreeScope_Subtree, trueCondition().get(), none.put()), kNotAvailable);
    EXPECT_FALSE(none);
    EXPECT_EQ(cachedRuntimeId(b), (std::vector<int32_t>{42, handleValue(child)}));  // the cache stays
    IUIAutomationElement* dead = reinterpret_cast<IUIAutomationElement*>(0x10);
    EXPECT_EQ(uia->ElementFromHandle(child, &dead), kNotAvailable);
    EXPECT_EQ(dead, nullptr);
    EXPECT_EQ(e[3]->get_CurrentName(name.put()), S_OK);
}

TEST_F(SimUia, OnlyCallsIntoTheTargetCountAsCrossProcess) {
    HWND top = window(nullptr, u"Frame", u"top");
    for (int i = 0; i < 5; ++i) window(top, u"Button", u"b");
    auto cond = trueCondition();
    auto req = request({UIA_NamePropertyId}, AutomationElementMode_None);
    simdesk::resetCalls();
    ASSERT_EQ(simdesk::crossProcessCalls(), 0);

    auto root = fromHandle(top);
    EXPECT_EQ(simdesk::crossProcessCalls(), 1);
    ComPtr<IUIAutomationElementArray> a;
    ASSERT_EQ(root->FindAllBuildCache(TreeScope_Subtree, cond.get(), req.get(), a.put()), S_OK);
    EXPECT_EQ(simdesk::crossProcessCalls(), 2);
    for (auto& e : items(a.get())) {
        Bstr name;
        EXPECT_EQ(e->get_CachedName(name.put()), S_OK);
        Variant v;
        EXPECT_EQ(e->GetCachedPropertyValue(UIA_RuntimeIdPropertyId, v.ptr()), S_OK);
        SafeArray id;
        EXPECT_EQ(e->GetRuntimeId(id.put()), S_OK);  // from the cache
    }
    ComPtr<IUIAutomationCacheRequest> r2;
    ASSERT_EQ(uia->CreateCacheRequest(r2.put()), S_OK);
    EXPECT_EQ(r2->AddProperty(UIA_NamePropertyId), S_OK);
    ComPtr<IUIAutomationCondition> c2 = nameIs(u"b");
    EXPECT_EQ(simdesk::crossProcessCalls(), 2);

    Bstr name;
    EXPECT_EQ(root->get_CurrentName(name.put()), S_OK);
    SafeArray id;
    EXPECT_EQ(root->GetRuntimeId(id.put()), S_OK);
    ComPtr<IUIAutomationElement> first;
    EXPECT_EQ(root->FindFirst(TreeScope_Children, c2.get(), first.put()), S_OK);
    EXPECT_EQ(simdesk::crossProcessCalls(), 5);
    simdesk::resetCalls();
    EXPECT_EQ(simdesk::crossProcessCalls(), 0);

    EXPECT_EQ(simdesk::crossProcessLatency(), 0);
    simdesk::setCrossProcessLatency(1000);
    EXPECT_EQ(simdesk::crossProcessLatency(), 1000);
    EXPECT_EQ(root->get_CurrentName(name.put()), S_OK);  // waits, then answers
    EXPECT_EQ(simdesk::crossProcessCalls(), 1);
    simdesk::setCrossProcessLatency(-5);
    EXPECT_EQ(simdesk::crossProcessLatency(), 0);
    simdesk::setCrossProcessLatency(1000);
    simdesk::reset();
    EXPECT_EQ(simdesk::crossProcessLatency(), 0);
    EXPECT_EQ(simdesk::crossProcessCalls(), 0);
}

// A window whose thread does not answer: UI Automation waits up to its
// connection timeout to obtain an element and up to its transaction timeout
// to ask one for anything, then fails with UIA_E_TIMEOUT (Microsoft Learn,
// IUIAutomation2::ConnectionTimeout and TransactionTimeout). Cached values
// and a window's own rectangle and handle need no answer.
TEST_F(SimUia, AHungWindowsProviderTimesOutUnlessItRecoversInTime) {
    EXPECT_EQ(simdesk::uiaTimeouts().connectionMs, 20);  // 2 s and 20 s, scaled down
    EXPECT_EQ(simdesk::uiaTimeouts().transactionMs, 200);
    simdesk::setUiaTimeouts({1, 1});
    HWND top = window(nullptr, u"#32770", u"Dialog");
    HWND ok = window(top, u"Button", u"OK");
    HWND host = window(top, u"Chrome_RenderWidgetHostHWND", u"");
    element(simdesk::elementOf(host), u"content");
    auto button = fromHandle(ok);
    auto content = named(top, u"content");
    auto cached = named(top, u"OK");
    ASSERT_TRUE(content && cached);
    ASSERT_TRUE(simdesk::setWindowHung(top, true));  // its controls share its thread
    simdesk::resetCalls();

    ComPtr<IUIAutomationElement> e;
    EXPECT_EQ(uia->ElementFromHandle(ok, e.put()), UIA_E_TIMEOUT);
    EXPECT_FALSE(e);
    Bstr name;
    EXPECT_EQ(button->get_CurrentName(name.put()), UIA_E_TIMEOUT);
    ComPtr<IUIAutomationInvokePattern> invoke;
    EXPECT_EQ(button->GetCurrentPatternAs(UIA_InvokePatternId, IID_IUIAutomationInvokePattern, invoke.putVoid()),
              UIA_E_TIMEOUT);
    EXPECT_EQ(button->SetFocus(), UIA_E_TIMEOUT);
    ComPtr<IUIAutomationElementArray> a;
    EXPECT_EQ(button->FindAll(TreeScope_Subtree, trueCondition().get(), a.put()), UIA_E_TIMEOUT);
    RECT r;
    EXPECT_EQ(content->get_CurrentBoundingRectangle(&r), UIA_E_TIMEOUT);  // the page answers for itself
    EXPECT_EQ(simdesk::uiaCallsTimedOut(), 6);
    EXPECT_EQ(button->get_CurrentBoundingRectangle(&r), S_OK);
    Variant handle;
    EXPECT_EQ(button->GetCurrentPropertyValue(UIA_NativeWindowHandlePropertyId, handle.ptr()), S_OK);
    EXPECT_FALSE(cachedRuntimeId(cached.get()).empty());
    EXPECT_EQ(simdesk::uiaCallsTimedOut(), 6);

    // Recovery, or the window going away, ends a wait early.
    simdesk::setUiaTimeouts({600000, 600000});
    HRESULT answered = E_FAIL;
    std::thread reader([&] {
        Bstr n;
        answered = button->get_CurrentName(n.put());
    });
    ASSERT_TRUE(ostrand_test::eventually([] { return simdesk::uiaCallsWaiting() == 1; }));
    simdesk::setWindowHung(top, false);
    reader.join();
    EXPECT_EQ(answered, S_OK);
    simdesk::setWindowHung(top, true);
    std::thread finder([&] { answered = uia->ElementFromHandle(ok, e.put()); });
    ASSERT_TRUE(ostrand_test::eventually([] { return simdesk::uiaCallsWaiting() == 1; }));
    simdesk::destroyWindow(top);
    finder.join();
    EXPECT_EQ(answered, UIA_E_ELEMENTNOTAVAILABLE);
    EXPECT_EQ(simdesk::uiaCallsTimedOut(), 6);
    simdesk::reset();
    EXPECT_EQ(simdesk::uiaTimeouts().transactionMs, 200);
    EXPECT_EQ(simdesk::uiaCallsTimedOut(), 0);
}

TEST_F(SimUia, InjectedFaultsFailTheCallAndLeaveNothing) {
    HWND top = window(nullptr, u"Frame", u"top");
    auto root = fromHandle(top);
    auto cond = trueCondition();
    auto req = request({UIA_NamePropertyId});
    simdesk::resetCalls();

    ASSERT_TRUE(simdesk::failCall("FindAllBuildCache", E_OUTOFMEMORY));
    IUIAutomationElementArray* a = reinterpret_cast<IUIAutomationElementArray*>(0x10);
    EXPECT_EQ(root->FindAllBuildCache(TreeScope_Subtree, cond.get(), req.get(), &a), E_OUTOFMEMORY);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(simdesk::callCount("FindAllBuildCache"), 1);
    EXPECT_EQ(simdesk::crossProcessCalls(), 0);

    // S_OK injected: success without a result, as a broken provider gives.
    ASSERT_TRUE(simdesk::failCall("FindAllBuildCache", S_OK));
    EXPECT_EQ(root->FindAllBuildCache(TreeScope_Subtree, cond.get(), req.get(), &a), S_OK);
    EXPECT_EQ(a, nullptr);
    ASSERT_TRUE(simdesk::failCall("ElementFromHandle", S_OK));
    IUIAutomationElement* e = reinterpret_cast<IUIAutomationElement*>(0x10);
    EXPECT_EQ(uia->ElementFromHandle(top, &e), S_OK);
    EXPECT_EQ(e, nullptr);

    ComPtr<IUIAutomationElementArray> ok;
    ASSERT_EQ(root->FindAllBuildCache(TreeScope_Subtree, cond.get(), req.get(), ok.put()), S_OK);
    auto elems = items(ok.get());
    ASSERT_EQ(elems.size(), 1u);
    ASSERT_TRUE(simdesk::failCall("GetCachedPropertyValue", E_FAIL));
    Variant v;
    v.get().vt = VT_I4;
    EXPECT_EQ(elems[0]->GetCachedPropertyValue(UIA_NamePropertyId, v.ptr()), E_FAIL);
    EXPECT_EQ(v.get().vt, VT_EMPTY);
    ASSERT_TRUE(simdesk::failCall("get_CachedName", S_OK));
    BSTR name = reinterpret_cast<BSTR>(0x10);
    EXPECT_EQ(elems[0]->get_CachedName(&name), S_OK);
    EXPECT_EQ(name, nullptr);
    ASSERT_TRUE(simdesk::failCall("get_CurrentControlType", kNotAvailable));
    CONTROLTYPEID type = -1;
    EXPECT_EQ(elems[0]->get_CurrentControlType(&type), kNotAvailable);
    EXPECT_EQ(type, -1);
}

// Content trees can be much deeper than a thread's stack allows recursion.
TEST_F(SimUia, VeryDeepContentIsWalkedAndRemovedWithoutRecursion) {
    HWND top = window(nullptr, u"Frame", u"top");
    constexpr int kDepth = 50000;
    simdesk::ElementId first = element(simdesk::elementOf(top), u"");
    simdesk::ElementId parent = first;
    for (int i = 1; i < kDepth; ++i) parent = element(parent, u"", i % 2 == 0);
    auto root = fromHandle(top);
    ComPtr<IUIAutomationElementArray> a;
    ASSERT_EQ(root->FindAllBuildCache(TreeScope_Subtree, trueCondition().get(),
                                      request({}, AutomationElementMode_None).get(), a.put()),
              S_OK);
    int length = 0;
    EXPECT_EQ(a->get_Length(&length), S_OK);
    EXPECT_EQ(length, 1 + kDepth / 2);  // every other one is not a control element
    ComPtr<IUIAutomationElement> deepest;
    ASSERT_EQ(a->GetElement(length - 1, deepest.put()), S_OK);
    a.reset();
    ASSERT_TRUE(simdesk::removeElement(first));
    EXPECT_FALSE(simdesk::setElement(parent, simdesk::ElementDesc{}));
    SafeArray id;
    EXPECT_EQ(deepest->GetRuntimeId(id.put()), S_OK);  // mode None: from its cache
}

TEST_F(SimUia, SearchesRunWhileTheTreeChanges) {
    HWND top = window(nullptr, u"Frame", u"top");
    HWND child = window(top, u"Button", u"b");
    auto root = fromHandle(top);
    auto cond = trueCondition();
    auto req = request({UIA_NamePropertyId, UIA_BoundingRectanglePropertyId}, AutomationElementMode_None);
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i) {
            simdesk::ElementId x = element(simdesk::elementOf(child), u"x");
            simdesk::setWindowText(child, i % 2 ? u"odd" : u"even");
            simdesk::removeElement(x);
        }
    });
    for (int i = 0; i < 200; ++i) {
        ComPtr<IUIAutomationElementArray> a;
        ASSERT_EQ(root->FindAllBuildCache(TreeScope_Subtree, cond.get(), req.get(), a.put()), S_OK);
        int length = 0;
        a->get_Length(&length);
        EXPECT_TRUE(length == 2 || length == 3) << length;
    }
    writer.join();
}

// The patterns the desktop has objects for, with their interfaces.
const std::pair<PATTERNID, const IID*> kPatterns[] = {
    {UIA_InvokePatternId, &IID_IUIAutomationInvokePattern},
    {UIA_ValuePatternId, &IID_IUIAutomationValuePattern},
    {UIA_ScrollPatternId, &IID_IUIAutomationScrollPattern},
    {UIA_SelectionItemPatternId, &IID_IUIAutomationSelectionItemPattern},
    {UIA_ExpandCollapsePatternId, &IID_IUIAutomationExpandCollapsePattern},
};

TEST_F(SimUia, PatternsFollowTheControlTypeUnlessGiven) {
    HWND top = window(nullptr, u"Frame", u"top");
    const std::pair<CONTROLTYPEID, std::vector<PATTERNID>> defaults[] = {
        {UIA_ButtonControlTypeId, {UIA_InvokePatternId}},
        {UIA_HyperlinkControlTypeId, {UIA_InvokePatternId}},
        {UIA_EditControlTypeId, {UIA_ValuePatternId}},
        {UIA_ComboBoxControlTypeId, {UIA_ExpandCollapsePatternId, UIA_ValuePatternId}},
        {UIA_ListControlTypeId, {UIA_ScrollPatternId, UIA_SelectionPatternId}},
        {UIA_ListItemControlTypeId, {UIA_SelectionItemPatternId}},
        {UIA_TreeItemControlTypeId, {UIA_ExpandCollapsePatternId}},
        {UIA_DocumentControlTypeId, {UIA_ScrollPatternId}},
        {UIA_CustomControlTypeId, {}},
        {UIA_TextControlTypeId, {}},
    };
    for (const auto& [type, expected] : defaults) {
        simdesk::ElementDesc d;
        d.name = u"e" + std::u16string(1, static_cast<char16_t>(u'0' + type % 50));
        d.controlType = type;
        simdesk::ElementId id = simdesk::addElement(simdesk::elementOf(top), d);
        simdesk::ElementState st;
        ASSERT_TRUE(simdesk::elementState(id, &st));
        EXPECT_EQ(st.patterns, expected) << type;
        auto e = named(top, *d.name);
        for (const auto& [pid, iid] : kPatterns) {
            IUnknown* p = reinterpret_cast<IUnknown*>(0x10);
            EXPECT_EQ(e->GetCurrentPatternAs(pid, *iid, reinterpret_cast<void**>(&p)), S_OK) << type << " " << pid;
            bool supported = std::find(expected.begin(), expected.end(), pid) != expected.end();
            EXPECT_EQ(p != nullptr, supported) << type << " " << pid;
            if (p) p->Release();
        }
    }

    // Window elements take them from their (overridable) control type.
    HWND ok = window(top, u"Button", u"ok");
    HWND list = window(top, u"ListBox", u"list");
    auto okElem = fromHandle(ok);
    pattern<IUIAutomationInvokePattern>(okElem.get(), UIA_InvokePatternId, IID_IUIAutomationInvokePattern);
    simdesk::ElementDesc d;
    d.controlType = UIA_EditControlTypeId;
    ASSERT_TRUE(simdesk::setElement(simdesk::elementOf(ok), d));
    pattern<IUIAutomationValuePattern>(okElem.get(), UIA_ValuePatternId, IID_IUIAutomationValuePattern);
    // Given patterns replace the defaults.
    d = {};
    d.patterns = std::vector<PATTERNID>{UIA_SelectionItemPatternId};
    ASSERT_TRUE(simdesk::setElement(simdesk::elementOf(ok), d));
    pattern<IUIAutomationSelectionItemPattern>(okElem.get(), UIA_SelectionItemPatternId,
                                               IID_IUIAutomationSelectionItemPattern);

    // Unsupported or unknown: S_OK and null. The wrong interface:
    // E_NOINTERFACE and null. A listed pattern without an object here
    // (Selection) has no interface to give.
    auto listElem = fromHandle(list);
    for (PATTERNID id : {UIA_InvokePatternId, 0, 12345}) {
        IUnknown* p = reinterpret_cast<IUnknown*>(0x10);
        EXPECT_EQ(listElem->GetCurrentPatternAs(id, IID_IUIAutomationInvokePattern, reinterpret_cast<void**>(&p)),
                  S_OK);
        EXPECT_EQ(p, nullptr);
    }
    for (auto [id, iid] : {std::pair{UIA_ScrollPatternId, &IID_IUIAutomationValuePattern},
                           std::pair{UIA_ScrollPatternId, &IID_IUIAutomationElement},
                           std::pair{UIA_SelectionPatternId, &IID_IUnknown}}) {
        IUnknown* p = reinterpret_cast<IUnknown*>(0x10);
        EXPECT_EQ(listElem->GetCurrentPatternAs(id, *iid, reinterpret_cast<void**>(&p)), E_NOINTERFACE) << id;
        EXPECT_EQ(p, nullptr);
    }
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(listElem->GetCurrentPatternAs(UIA_ScrollPatternId, IID_IUnknown, unknown.putVoid()), S_OK);
    EXPECT_TRUE(unknown);
    EXPECT_EQ(listElem->GetCurrentPatternAs(UIA_ScrollPatternId, IID_IUIAutomationScrollPattern, nullptr), E_POINTER);

    // An element with cached values only refuses, without asking the target.
    ComPtr<IUIAutomationElementArray> a;
    ASSERT_EQ(listElem->FindAllBuildCache(TreeScope_Element, trueCondition().get(),
                                          request({}, AutomationElementMode_None).get(), a.put()),
              S_OK);
    auto cachedOnly = items(a.get());
    ASSERT_EQ(cachedOnly.size(), 1u);
    simdesk::resetCalls();
    ComPtr<IUIAutomationScrollPattern> none;
    EXPECT_EQ(cachedOnly[0]->GetCurrentPatternAs(UIA_ScrollPatternId, IID_IUIAutomationScrollPattern, none.putVoid()),
              kInvalidOperation);
    EXPECT_EQ(cachedOnly[0]->SetFocus(), kInvalidOperation);
    EXPECT_EQ(simdesk::crossProcessCalls(), 0);
}

TEST_F(SimUia, InvokeCountsAndValueIsTheEditsText) {
    HWND top = window(nullptr, u"Frame", u"top");
    HWND edit = window(top, u"Edit", u"");
    simdesk::ElementDesc d;
    d.name = u"link";
    d.controlType = UIA_HyperlinkControlTypeId;
    simdesk::ElementId link = simdesk::addElement(simdesk::elementOf(top), d);
    auto invoke = pattern<IUIAutomationInvokePattern>(named(top, u"link").get(), UIA_InvokePatternId,
                                                      IID_IUIAutomationInvokePattern);
    EXPECT_EQ(invoke->Invoke(), S_OK);
    EXPECT_EQ(invoke->Invoke(), S_OK);
    simdesk::ElementState st;
    ASSERT_TRUE(simdesk::elementState(link, &st));
    EXPECT_EQ(st.invokeCount, 2u);

    // SetValue replaces the window text; typing shows in the value.
    auto value = pattern<IUIAutomationValuePattern>(fromHandle(edit).get(), UIA_ValuePatternId,
                                                    IID_IUIAutomationValuePattern);
    Bstr text(SysAllocString(u"hello"));
    ASSERT_EQ(value->SetValue(text.get()), S_OK);
    simdesk::WindowState ws;
    ASSERT_TRUE(simdesk::windowState(edit, &ws));
    EXPECT_EQ(ws.text, u"hello");
    PostMessageW(edit, WM_CHAR, u'!', 1);
    Bstr now;
    ASSERT_EQ(value->get_CurrentValue(now.put()), S_OK);
    EXPECT_EQ(narrow(now.get(), now.length()), "hello!");
    BOOL readOnly = TRUE;
    EXPECT_EQ(value->get_CurrentIsReadOnly(&readOnly), S_OK);
    EXPECT_EQ(readOnly, FALSE);

    // Read-only (ES_READONLY) refuses with InvalidOperation, not E_ACCESSDENIED.
    ASSERT_TRUE(simdesk::setWindowReadOnly(edit, true));
    EXPECT_EQ(value->get_CurrentIsReadOnly(&readOnly), S_OK);
    EXPECT_EQ(readOnly, TRUE);
    EXPECT_EQ(value->SetValue(text.get()), kInvalidOperation);
    ASSERT_TRUE(simdesk::setWindowReadOnly(edit, false));
    EXPECT_EQ(value->SetValue(nullptr), S_OK);  // a null BSTR is ""
    ASSERT_TRUE(simdesk::windowState(edit, &ws));
    EXPECT_EQ(ws.text, u"");

    // A window-less element keeps its own value; the control API sets it too.
    d = {};
    d.name = u"field";
    d.controlType = UIA_EditControlTypeId;
    d.value = std::u16string(u"a\0b", 3);
    d.readOnly = true;
    simdesk::ElementId field = simdesk::addElement(simdesk::elementOf(top), d);
    auto fieldValue = pattern<IUIAutomationValuePattern>(named(top, u"field").get(), UIA_ValuePatternId,
                                                         IID_IUIAutomationValuePattern);
    ASSERT_EQ(fieldValue->get_CurrentValue(now.put()), S_OK);
    EXPECT_EQ(now.length(), 3u);
    EXPECT_EQ(fieldValue->SetValue(text.get()), kInvalidOperation);
    d = {};
    d.readOnly = false;
    ASSERT_TRUE(simdesk::setElement(field, d));
    EXPECT_EQ(fieldValue->SetValue(text.get()), S_OK);
    ASSERT_TRUE(simdesk::elementState(field, &st));
    EXPECT_EQ(st.value, u"hello");
    EXPECT_EQ(fieldValue->get_CurrentValue(nullptr), E_POINTER);
    EXPECT_EQ(fieldValue->get_CurrentIsReadOnly(nullptr), E_POINTER);
}

TEST_F(SimUia, ScrollSelectAndExpandChangeTheElementsState) {
    HWND top = window(nullptr, u"Frame", u"top");
    HWND list = window(top, u"ListBox", u"list");
    auto scroll = pattern<IUIAutomationScrollPattern>(fromHandle(list).get(), UIA_ScrollPatternId,
                                                      IID_IUIAutomationScrollPattern);
    auto vertical = [&](ScrollAmount amount) {
        EXPECT_EQ(scroll->Scroll(ScrollAmount_NoAmount, amount), S_OK);
        double percent = -1;
        EXPECT_EQ(scroll->get_CurrentVerticalScrollPercent(&percent), S_OK);
        return percent;
    };
    EXPECT_EQ(vertical(ScrollAmount_SmallIncrement), 10);
    EXPECT_EQ(vertical(ScrollAmount_LargeIncrement), 60);
    EXPECT_EQ(vertical(ScrollAmount_LargeIncrement), 100);  // clamped
    EXPECT_EQ(vertical(ScrollAmount_SmallDecrement), 90);
    EXPECT_EQ(vertical(ScrollAmount_NoAmount), 90);
    EXPECT_EQ(vertical(ScrollAmount_LargeDecrement), 40);
    EXPECT_EQ(vertical(ScrollAmount_LargeDecrement), 0);
    for (int bad : {5, 7}) {  // within the enum's range, as C++ allows
        EXPECT_EQ(scroll->Scroll(ScrollAmount_NoAmount, static_cast<ScrollAmount>(bad)), E_INVALIDARG);
        EXPECT_EQ(scroll->Scroll(static_cast<ScrollAmount>(bad), ScrollAmount_NoAmount), E_INVALIDARG);
    }
    EXPECT_EQ(scroll->Scroll(ScrollAmount_SmallIncrement, ScrollAmount_NoAmount), kInvalidOperation);
    simdesk::ElementState st;
    ASSERT_TRUE(simdesk::elementState(simdesk::elementOf(list), &st));
    EXPECT_EQ(st.scrollCount, 7u);
    EXPECT_EQ(st.scrollPercent, 0);

    // Selecting an item deselects the other items of the same container;
    // one already selected changes nothing.
    auto add = [&](simdesk::ElementId parent, const char16_t* name, CONTROLTYPEID type, bool selected) {
        simdesk::ElementDesc d;
        d.name = name;
        d.controlType = type;
        d.selected = selected;
        return simdesk::addElement(parent, d);
    };
    simdesk::ElementId a = add(simdesk::elementOf(list), u"a", UIA_ListItemControlTypeId, false);
    simdesk::ElementId b = add(simdesk::elementOf(list), u"b", UIA_ListItemControlTypeId, true);
    simdesk::ElementId c = add(simdesk::elementOf(list), u"c", UIA_ListItemControlTypeId, true);
    simdesk::ElementId header = add(simdesk::elementOf(list), u"header", UIA_TextControlTypeId, true);
    simdesk::ElementId elsewhere = add(simdesk::elementOf(top), u"elsewhere", UIA_ListItemControlTypeId, true);
    auto selected = [&] {
        std::vector<bool> out;
        for (simdesk::ElementId id : {a, b, c, header, elsewhere}) {
            simdesk::ElementState s;
            EXPECT_TRUE(simdesk::elementState(id, &s));
            out.push_back(s.selected);
        }
        return out;
    };
    auto select = [&](const char16_t* name) {
        auto item = pattern<IUIAutomationSelectionItemPattern>(named(top, name).get(), UIA_SelectionItemPatternId,
                                                               IID_IUIAutomationSelectionItemPattern);
        EXPECT_EQ(item->Select(), S_OK);
        BOOL is = FALSE;
        EXPECT_EQ(item->get_CurrentIsSelected(&is), S_OK);
        EXPECT_EQ(is, TRUE);
    };
    select(u"b");
    EXPECT_EQ(selected(), (std::vector<bool>{false, true, true, true, true}));
    select(u"a");
    EXPECT_EQ(selected(), (std::vector<bool>{true, false, false, true, true}));

    // Expand and collapse; the state it is in already is a no-op, a leaf refuses.
    simdesk::ElementDesc d;
    d.name = u"node";
    d.controlType = UIA_TreeItemControlTypeId;
    simdesk::ElementId node = simdesk::addElement(simdesk::elementOf(top), d);
    auto expand = pattern<IUIAutomationExpandCollapsePattern>(named(top, u"node").get(), UIA_ExpandCollapsePatternId,
                                                              IID_IUIAutomationExpandCollapsePattern);
    auto state = [&] {
        ExpandCollapseState s = ExpandCollapseState_LeafNode;
        EXPECT_EQ(expand->get_CurrentExpandCollapseState(&s), S_OK);
        return s;
    };
    EXPECT_EQ(state(), ExpandCollapseState_Collapsed);
    EXPECT_EQ(expand->Collapse(), S_OK);
    EXPECT_EQ(expand->Expand(), S_OK);
    EXPECT_EQ(expand->Expand(), S_OK);
    EXPECT_EQ(state(), ExpandCollapseState_Expanded);
    EXPECT_EQ(expand->Collapse(), S_OK);
    EXPECT_EQ(state(), ExpandCollapseState_Collapsed);
    d = {};
    d.expandState = ExpandCollapseState_PartiallyExpanded;
    ASSERT_TRUE(simdesk::setElement(node, d));
    EXPECT_EQ(expand->Expand(), S_OK);
    EXPECT_EQ(state(), ExpandCollapseState_Expanded);
    d.expandState = ExpandCollapseState_LeafNode;
    ASSERT_TRUE(simdesk::setElement(node, d));
    EXPECT_EQ(expand->Expand(), kInvalidOperation);
    EXPECT_EQ(expand->Collapse(), kInvalidOperation);
    EXPECT_EQ(state(), ExpandCollapseState_LeafNode);
}

TEST_F(SimUia, PatternCallsOnDisabledDeadOrChangedElements) {
    HWND top = window(nullptr, u"Frame", u"top");
    simdesk::ElementDesc d;
    d.name = u"all";
    d.patterns = std::vector<PATTERNID>{UIA_InvokePatternId, UIA_ValuePatternId, UIA_ScrollPatternId,
                                        UIA_SelectionItemPatternId, UIA_ExpandCollapsePatternId};
    d.value = u"v";
    d.enabled = false;
    simdesk::ElementId id = simdesk::addElement(simdesk::elementOf(top), d);
    ComPtr<IUIAutomationInvokePattern> invoke;
    ComPtr<IUIAutomationValuePattern> value;
    ComPtr<IUIAutomationScrollPattern> scroll;
    ComPtr<IUIAutomationSelectionItemPattern> item;
    ComPtr<IUIAutomationExpandCollapsePattern> expand;
    {
        auto e = named(top, u"all");
        invoke = pattern<IUIAutomationInvokePattern>(e.get(), UIA_InvokePatternId, IID_IUIAutomationInvokePattern);
        value = pattern<IUIAutomationValuePattern>(e.get(), UIA_ValuePatternId, IID_IUIAutomationValuePattern);
        scroll = pattern<IUIAutomationScrollPattern>(e.get(), UIA_ScrollPatternId, IID_IUIAutomationScrollPattern);
        item = pattern<IUIAutomationSelectionItemPattern>(e.get(), UIA_SelectionItemPatternId,
                                                          IID_IUIAutomationSelectionItemPattern);
        expand = pattern<IUIAutomationExpandCollapsePattern>(e.get(), UIA_ExpandCollapsePatternId,
                                                             IID_IUIAutomationExpandCollapsePattern);
    }
    // The patterns keep their element object alive.
    EXPECT_EQ(simdesk::liveCounts().com, 7);  // UI Automation, the element, five patterns

    // Every action refuses a disabled element; reading still works.
    Bstr text(SysAllocString(u"x"));
    auto actions = [&] {
        return std::vector<HRESULT>{invoke->Invoke(),
                                    value->SetValue(text.get()),
                                    scroll->Scroll(ScrollAmount_NoAmount, ScrollAmount_SmallIncrement),
                                    item->Select(),
                                    expand->Expand(),
                                    expand->Collapse()};
    };
    const HRESULT kNotEnabled = UIA_E_ELEMENTNOTENABLED;
    EXPECT_EQ(actions(), std::vector<HRESULT>(6, kNotEnabled));
    BOOL b = FALSE;
    double percent = -1;
    ExpandCollapseState state = ExpandCollapseState_LeafNode;
    Bstr now;
    auto reads = [&] {
        return std::vector<HRESULT>{value->get_CurrentValue(now.put()), value->get_CurrentIsReadOnly(&b),
                                    scroll->get_CurrentVerticalScrollPercent(&percent),
                                    item->get_CurrentIsSelected(&b), expand->get_CurrentExpandCollapseState(&state)};
    };
    EXPECT_EQ(reads(), std::vector<HRESULT>(5, S_OK));
    simdesk::ElementState st;
    ASSERT_TRUE(simdesk::elementState(id, &st));
    EXPECT_EQ((std::vector<uint64_t>{st.invokeCount, st.scrollCount}), (std::vector<uint64_t>{0, 0}));
    EXPECT_EQ(st.value, u"v");

    // A pattern the element dropped after handing it out is not supported.
    d = {};
    d.enabled = true;
    d.patterns = std::vector<PATTERNID>{UIA_ValuePatternId};
    ASSERT_TRUE(simdesk::setElement(id, d));
    EXPECT_EQ(invoke->Invoke(), UIA_E_NOTSUPPORTED);
    EXPECT_EQ(value->SetValue(text.get()), S_OK);

    // Gone: every call, reading included, says so.
    ASSERT_TRUE(simdesk::removeElement(id));
    EXPECT_EQ(actions(), std::vector<HRESULT>(6, kNotAvailable));
    EXPECT_EQ(reads(), std::vector<HRESULT>(5, kNotAvailable));
    HWND edit = window(top, u"Edit", u"");
    auto editElem = fromHandle(edit);
    ASSERT_TRUE(simdesk::destroyWindow(edit));
    ComPtr<IUIAutomationValuePattern> late;
    EXPECT_EQ(editElem->GetCurrentPatternAs(UIA_ValuePatternId, IID_IUIAutomationValuePattern, late.putVoid()),
              kNotAvailable);
    EXPECT_FALSE(late);
}

TEST_F(SimUia, SetFocusNeedsAnEnabledFocusableLiveElement) {
    HWND top = window(nullptr, u"Frame", u"top");
    HWND edit = window(top, u"Edit", u"edit");
    simdesk::ElementDesc d;
    d.name = u"inner";
    simdesk::ElementId inner = simdesk::addElement(simdesk::elementOf(top), d);
    auto editElem = fromHandle(edit);
    auto innerElem = named(top, u"inner");
    EXPECT_EQ(simdesk::focusedElement(), 0u);

    simdesk::resetCalls();
    EXPECT_EQ(editElem->SetFocus(), S_OK);
    EXPECT_EQ(simdesk::focusedElement(), simdesk::elementOf(edit));
    EXPECT_EQ(innerElem->SetFocus(), S_OK);
    EXPECT_EQ(simdesk::focusedElement(), inner);
    EXPECT_EQ(simdesk::crossProcessCalls(), 2);

    ASSERT_TRUE(simdesk::setWindowEnabled(edit, false));
    EXPECT_EQ(editElem->SetFocus(), UIA_E_ELEMENTNOTENABLED);
    ASSERT_TRUE(simdesk::setWindowEnabled(edit, true));
    d = {};
    d.focusable = false;
    ASSERT_TRUE(simdesk::setElement(simdesk::elementOf(edit), d));
    EXPECT_EQ(editElem->SetFocus(), kInvalidOperation);
    EXPECT_EQ(simdesk::focusedElement(), inner);  // refusals leave the focus

    ASSERT_TRUE(simdesk::removeElement(inner));
    EXPECT_EQ(simdesk::focusedElement(), 0u);  // the focus went with the element
    EXPECT_EQ(innerElem->SetFocus(), kNotAvailable);
}

TEST_F(SimUia, PatternCallsCrossProcessAndTakeInjectedFaults) {
    HWND top = window(nullptr, u"Frame", u"top");
    HWND edit = window(top, u"Edit", u"text");
    auto e = fromHandle(edit);
    simdesk::resetCalls();
    auto value = pattern<IUIAutomationValuePattern>(e.get(), UIA_ValuePatternId, IID_IUIAutomationValuePattern);
    ComPtr<IUIAutomationInvokePattern> none;
    EXPECT_EQ(e->GetCurrentPatternAs(UIA_InvokePatternId, IID_IUIAutomationInvokePattern, none.putVoid()), S_OK);
    Bstr now;
    EXPECT_EQ(value->get_CurrentValue(now.put()), S_OK);
    EXPECT_EQ(value->SetValue(now.get()), S_OK);
    EXPECT_EQ(simdesk::crossProcessCalls(), 4);

    ASSERT_TRUE(simdesk::failCall("SetValue", E_FAIL));
    Bstr other(SysAllocString(u"other"));
    EXPECT_EQ(value->SetValue(other.get()), E_FAIL);
    ASSERT_TRUE(simdesk::failCall("get_CurrentValue", kNotAvailable));
    BSTR out = reinterpret_cast<BSTR>(0x10);
    EXPECT_EQ(value->get_CurrentValue(&out), kNotAvailable);
    EXPECT_EQ(out, nullptr);
    ASSERT_TRUE(simdesk::failCall("GetCurrentPatternAs", S_OK));
    ComPtr<IUIAutomationValuePattern> missing;
    EXPECT_EQ(e->GetCurrentPatternAs(UIA_ValuePatternId, IID_IUIAutomationValuePattern, missing.putVoid()), S_OK);
    EXPECT_FALSE(missing);
    ASSERT_TRUE(simdesk::failCall("SetFocus", E_ACCESSDENIED));
    EXPECT_EQ(e->SetFocus(), E_ACCESSDENIED);
    EXPECT_EQ(simdesk::focusedElement(), 0u);
    EXPECT_EQ(simdesk::crossProcessCalls(), 4);  // failed before reaching the target
    simdesk::WindowState ws;
    ASSERT_TRUE(simdesk::windowState(edit, &ws));
    EXPECT_EQ(ws.text, u"text");
}

}  // namespace
