// The simulated UI Automation events: registration and its references,
// scopes, delivery threads, the arguments handlers get, the events the
// desktop raises by itself, and RemoveAllEventHandlers waiting for calls in
// progress without deadlocking when a handler removes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desk_test.h"
#include "platform/raii.h"
#include "simdesk.h"

namespace {

using ostrand_test::eventually;
using Ostrand::ComPtr;
using Ostrand::SafeArray;

// What one handler call received.
struct Seen {
    char kind = '?';  // 's', 'p' or 'f'
    std::thread::id thread;
    std::vector<int32_t> sender;  // from GetRuntimeId, as the core asks for it
    int32_t arg = -1;             // change type or property id
    std::optional<std::vector<int32_t>> runtimeId;
    VARTYPE vt = VT_EMPTY;
    std::u16string text;
    bool flag = false;
    int32_t number = 0;
    std::vector<double> reals;
};

std::vector<int32_t> ints(SAFEARRAY* a) {
    const int32_t* d = static_cast<const int32_t*>(a->pvData);
    return std::vector<int32_t>(d, d + a->rgsabound[0].cElements);
}

// A client's handler of all three kinds: records each call, runs `during`
// inside it, and is freed with its last reference.
class Recorder final : public IUIAutomationStructureChangedEventHandler,
                       public IUIAutomationPropertyChangedEventHandler,
                       public IUIAutomationFocusChangedEventHandler {
public:
    static ComPtr<Recorder> make() { return ComPtr<Recorder>::adopt(new Recorder); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }

    HRESULT STDMETHODCALLTYPE HandleStructureChangedEvent(IUIAutomationElement* sender, StructureChangeType type,
                                                          SAFEARRAY* runtimeId) override {
        Seen s = begin('s', sender);
        s.arg = type;
        if (runtimeId) s.runtimeId = ints(runtimeId);
        return end(std::move(s));
    }
    HRESULT STDMETHODCALLTYPE HandlePropertyChangedEvent(IUIAutomationElement* sender, PROPERTYID id,
                                                         VARIANT v) override {
        Seen s = begin('p', sender);
        s.arg = id;
        s.vt = v.vt;
        if (v.vt == VT_BSTR) s.text.assign(v.bstrVal, SysStringLen(v.bstrVal));
        if (v.vt == VT_BOOL) s.flag = v.boolVal == VARIANT_TRUE;
        if (v.vt == VT_I4) s.number = v.lVal;
        if (v.vt == (VT_R8 | VT_ARRAY)) {
            const double* d = static_cast<const double*>(v.parray->pvData);
            s.reals.assign(d, d + v.parray->rgsabound[0].cElements);
        }
        return end(std::move(s));
    }
    HRESULT STDMETHODCALLTYPE HandleFocusChangedEvent(IUIAutomationElement* sender) override {
        return end(begin('f', sender));
    }

    IUIAutomationStructureChangedEventHandler* structure() { return this; }
    IUIAutomationPropertyChangedEventHandler* property() { return this; }
    IUIAutomationFocusChangedEventHandler* focus() { return this; }

    // References besides the test's own.
    long held() const { return refs_.load() - 1; }
    std::vector<Seen> seen() {
        std::lock_guard<std::mutex> g(m_);
        return seen_;
    }
    std::vector<std::vector<int32_t>> senders() {
        std::vector<std::vector<int32_t>> out;
        for (const Seen& s : seen()) out.push_back(s.sender);
        return out;
    }
    int maxConcurrent() const { return maxInside_.load(); }

    std::function<void()> during;  // set before registering

private:
    Seen begin(char kind, IUIAutomationElement* sender) {
        int inside = ++inside_;
        for (int m = maxInside_.load(); inside > m && !maxInside_.compare_exchange_weak(m, inside);) {
        }
        Seen s;
        s.kind = kind;
        s.thread = std::this_thread::get_id();
        SafeArray id;
        if (SUCCEEDED(sender->GetRuntimeId(id.put())) && id.get()) s.sender = ints(id.get());
        if (during) during();
        return s;
    }
    HRESULT end(Seen s) {
        {
            std::lock_guard<std::mutex> g(m_);
            seen_.push_back(std::move(s));
        }
        --inside_;
        return E_FAIL;  // ignored by the caller
    }

    std::atomic<long> refs_{1};
    std::atomic<int> inside_{0}, maxInside_{0};
    std::mutex m_;
    std::vector<Seen> seen_;
};

SAFEARRAY* propertyArray(std::vector<int32_t> ids) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(ids.size()));
    for (LONG i = 0; i < static_cast<LONG>(ids.size()); ++i) SafeArrayPutElement(a, &i, &ids[i]);
    return a;
}

std::vector<int32_t> hwndId(HWND h) { return {42, static_cast<int32_t>(reinterpret_cast<uintptr_t>(h))}; }

std::vector<int32_t> idOf(simdesk::ElementId e) {
    simdesk::ElementState s;
    EXPECT_TRUE(simdesk::elementState(e, &s));
    return s.runtimeId;
}

simdesk::ElementId addElement(simdesk::ElementId parent, const char16_t* name, bool control = true) {
    simdesk::ElementDesc d;
    d.name = name;
    d.controlElement = control;
    return simdesk::addElement(parent, d);
}

class SimEvents : public ostrand_test::DeskTest {
protected:
    void SetUp() override {
        DeskTest::SetUp();
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_CUIAutomation, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation,
                                   uia.putVoid()),
                  S_OK);
        top = ostrand_test::makeWindow(nullptr, u"Frame");
    }
    void TearDown() override {
        simdesk::resetEvents();
        uia.reset();
        CoUninitialize();
        DeskTest::TearDown();
    }

    // The element object of any element, found by its runtime id.
    ComPtr<IUIAutomationElement> element(simdesk::ElementId id, IUIAutomationCacheRequest* request = nullptr) {
        ComPtr<IUIAutomationElement> root, found;
        EXPECT_EQ(uia->ElementFromHandle(top, root.put()), S_OK);
        if (id == simdesk::elementOf(top) && !request) return root;
        SafeArray rid(propertyArray(idOf(id)));
        VARIANT v;
        v.vt = VT_I4 | VT_ARRAY;
        v.parray = rid.get();
        ComPtr<IUIAutomationCondition> cond;
        EXPECT_EQ(uia->CreatePropertyCondition(UIA_RuntimeIdPropertyId, v, cond.put()), S_OK);
        if (!request) {
            EXPECT_EQ(root->FindFirst(TreeScope_Subtree, cond.get(), found.put()), S_OK);
            return found;
        }
        ComPtr<IUIAutomationElementArray> all;
        EXPECT_EQ(root->FindAllBuildCache(TreeScope_Subtree, cond.get(), request, all.put()), S_OK);
        EXPECT_EQ(all->GetElement(0, found.put()), S_OK);
        return found;
    }

    HRESULT onStructure(simdesk::ElementId id, int scope, Recorder* r) {
        return uia->AddStructureChangedEventHandler(element(id).get(), TreeScope(scope), nullptr, r->structure());
    }
    HRESULT onProperty(simdesk::ElementId id, int scope, Recorder* r, std::vector<int32_t> props,
                       IUIAutomationCacheRequest* request = nullptr) {
        SafeArray a(propertyArray(std::move(props)));
        return uia->AddPropertyChangedEventHandler(element(id).get(), TreeScope(scope), request, r->property(),
                                                   a.get());
    }
    void settle() { ASSERT_TRUE(simdesk::waitForEvents(10000)); }

    ComPtr<IUIAutomation> uia;
    HWND top = nullptr;
};

TEST_F(SimEvents, RegistrationHoldsTheHandlerUntilRemoveAllAndChecksItsArguments) {
    auto r = Recorder::make();
    const auto topId = simdesk::elementOf(top);
    simdesk::resetCalls();
    ASSERT_EQ(onStructure(topId, TreeScope_Subtree, r.get()), S_OK);
    ASSERT_EQ(onProperty(topId, TreeScope_Children, r.get(), {UIA_NamePropertyId, 12345}), S_OK);
    ASSERT_EQ(uia->AddFocusChangedEventHandler(nullptr, r->focus()), S_OK);
    EXPECT_EQ(r->held(), 3);
    EXPECT_EQ(simdesk::crossProcessCalls(), 2 + 3);  // two ElementFromHandle, three registrations
    auto regs = simdesk::eventRegistrations();
    ASSERT_EQ(regs.size(), 3u);
    EXPECT_EQ(regs[0].kind, simdesk::EventKind::Structure);
    EXPECT_EQ(regs[0].element, topId);
    EXPECT_EQ(regs[0].scope, TreeScope_Subtree);
    EXPECT_EQ(regs[1].properties, (std::vector<int32_t>{UIA_NamePropertyId, 12345}));  // copied, array freed
    EXPECT_EQ(regs[2].kind, simdesk::EventKind::Focus);
    EXPECT_EQ(regs[2].element, 0u);

    EXPECT_EQ(uia->RemoveAllEventHandlers(), S_OK);
    EXPECT_EQ(r->held(), 0);
    EXPECT_TRUE(simdesk::eventRegistrations().empty());

    // Refusals hold nothing.
    auto e = element(topId);
    SafeArray names(propertyArray({UIA_NamePropertyId}));
    SafeArray empty(SafeArrayCreateVector(VT_I4, 0, 0));
    SafeArray reals(SafeArrayCreateVector(VT_R8, 0, 1));
    EXPECT_EQ(uia->AddStructureChangedEventHandler(nullptr, TreeScope_Element, nullptr, r->structure()), E_POINTER);
    EXPECT_EQ(uia->AddStructureChangedEventHandler(e.get(), TreeScope_Element, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(uia->AddPropertyChangedEventHandler(nullptr, TreeScope_Element, nullptr, r->property(), names.get()),
              E_POINTER);
    EXPECT_EQ(uia->AddFocusChangedEventHandler(nullptr, nullptr), E_POINTER);
    for (int scope : {0, int(TreeScope_Parent), int(TreeScope_Ancestors), TreeScope_Element | TreeScope_Parent, 8 | 4})
        EXPECT_EQ(uia->AddStructureChangedEventHandler(e.get(), TreeScope(scope), nullptr, r->structure()),
                  E_INVALIDARG)
            << scope;
    for (SAFEARRAY* a : {static_cast<SAFEARRAY*>(nullptr), empty.get(), reals.get()})
        EXPECT_EQ(uia->AddPropertyChangedEventHandler(e.get(), TreeScope_Element, nullptr, r->property(), a),
                  E_INVALIDARG);
    // An element fetched without a live reference cannot be listened to.
    ComPtr<IUIAutomationCacheRequest> none;
    ASSERT_EQ(uia->CreateCacheRequest(none.put()), S_OK);
    ASSERT_EQ(none->put_AutomationElementMode(AutomationElementMode_None), S_OK);
    HWND child = ostrand_test::makeWindow(top, u"Button");
    EXPECT_EQ(uia->AddStructureChangedEventHandler(element(simdesk::elementOf(child), none.get()).get(),
                                                   TreeScope_Element, nullptr, r->structure()),
              UIA_E_INVALIDOPERATION);
    simdesk::destroyAllWindows();
    EXPECT_EQ(uia->AddPropertyChangedEventHandler(e.get(), TreeScope_Element, nullptr, r->property(), names.get()),
              UIA_E_ELEMENTNOTAVAILABLE);
    EXPECT_EQ(r->held(), 0);
    EXPECT_TRUE(simdesk::eventRegistrations().empty());
}

TEST_F(SimEvents, AddCallsTakeInjectedFaults) {
    auto r = Recorder::make();
    auto e = element(simdesk::elementOf(top));
    SafeArray names(propertyArray({UIA_NamePropertyId}));
    ASSERT_TRUE(simdesk::failCall("AddStructureChangedEventHandler", E_OUTOFMEMORY));
    ASSERT_TRUE(simdesk::failCall("AddPropertyChangedEventHandler", UIA_E_ELEMENTNOTAVAILABLE));
    ASSERT_TRUE(simdesk::failCall("AddFocusChangedEventHandler", S_OK));  // claims success, registers nothing
    EXPECT_EQ(uia->AddStructureChangedEventHandler(e.get(), TreeScope_Element, nullptr, r->structure()),
              E_OUTOFMEMORY);
    EXPECT_EQ(uia->AddPropertyChangedEventHandler(e.get(), TreeScope_Element, nullptr, r->property(), names.get()),
              UIA_E_ELEMENTNOTAVAILABLE);
    EXPECT_EQ(uia->AddFocusChangedEventHandler(nullptr, r->focus()), S_OK);
    EXPECT_EQ(r->held(), 0);
    EXPECT_TRUE(simdesk::eventRegistrations().empty());
    EXPECT_EQ(uia->AddFocusChangedEventHandler(nullptr, r->focus()), S_OK);  // spent
    EXPECT_EQ(r->held(), 1);
}

TEST_F(SimEvents, ScopesMatchInTheControlView) {
    // top > a (window) > b > c, and a > raw > d: d counts as a child of a.
    HWND aw = ostrand_test::makeWindow(top, u"Pane");
    const auto a = simdesk::elementOf(aw);
    const auto b = addElement(a, u"b");
    const auto c = addElement(b, u"c");
    const auto raw = addElement(a, u"raw", false);
    const auto d = addElement(raw, u"d");
    std::vector<ComPtr<Recorder>> rec;
    for (int scope : {int(TreeScope_Element), int(TreeScope_Children), int(TreeScope_Descendants),
                      int(TreeScope_Subtree), TreeScope_Element | TreeScope_Children}) {
        rec.push_back(Recorder::make());
        ASSERT_EQ(onProperty(a, scope, rec.back().get(), {UIA_NamePropertyId}), S_OK);
    }
    auto structure = Recorder::make();
    ASSERT_EQ(onStructure(simdesk::elementOf(top), TreeScope_Subtree, structure.get()), S_OK);
    auto focus = Recorder::make();
    ASSERT_EQ(uia->AddFocusChangedEventHandler(nullptr, focus->focus()), S_OK);

    const uint64_t raisedBefore = simdesk::eventStats().raised;  // the additions above raised theirs
    for (auto id : {simdesk::elementOf(top), a, b, c, d})
        ASSERT_TRUE(simdesk::firePropertyChanged(id, UIA_NamePropertyId, simdesk::EventValue::string(u"n")));
    ASSERT_TRUE(simdesk::firePropertyChanged(b, UIA_IsEnabledPropertyId, simdesk::EventValue::boolean(false)));
    ASSERT_TRUE(simdesk::firePropertyChanged(raw, UIA_NamePropertyId, {}));  // handed to a
    ASSERT_TRUE(simdesk::fireFocusChanged(c));
    settle();

    const auto A = hwndId(aw), B = idOf(b), C = idOf(c), D = idOf(d);
    using Ids = std::vector<std::vector<int32_t>>;
    EXPECT_EQ(rec[0]->senders(), (Ids{A, A}));
    EXPECT_EQ(rec[1]->senders(), (Ids{B, D}));
    EXPECT_EQ(rec[2]->senders(), (Ids{B, C, D}));
    EXPECT_EQ(rec[3]->senders(), (Ids{A, B, C, D, A}));
    EXPECT_EQ(rec[4]->senders(), (Ids{A, B, D, A}));
    EXPECT_TRUE(structure->seen().empty());  // property events are not structure events
    ASSERT_EQ(focus->seen().size(), 1u);
    EXPECT_EQ(focus->seen()[0].sender, C);
    EXPECT_EQ(simdesk::eventStats().raised - raisedBefore, 8u);
    EXPECT_EQ(simdesk::eventStats().calls, 2u + 2 + 3 + 5 + 4 + 1);
}

TEST_F(SimEvents, HandlersRunOnDeliveryThreadsTwoAtOnceButEachRegistrationInOrder) {
    // Each handler waits for the other to be inside: only two threads at
    // once let both through.
    auto first = Recorder::make(), second = Recorder::make();
    std::atomic<int> inside{0};
    std::atomic<bool> bothInside{false};
    auto meet = [&] {
        ++inside;
        if (eventually([&] { return inside.load() == 2; })) bothInside = true;
    };
    first->during = meet;
    second->during = meet;
    ASSERT_EQ(uia->AddFocusChangedEventHandler(nullptr, first->focus()), S_OK);
    ASSERT_EQ(uia->AddFocusChangedEventHandler(nullptr, second->focus()), S_OK);
    ASSERT_TRUE(simdesk::fireFocusChanged(simdesk::elementOf(top)));
    settle();
    EXPECT_TRUE(bothInside);
    ASSERT_EQ(first->seen().size(), 1u);
    EXPECT_NE(first->seen()[0].thread, std::this_thread::get_id());
    EXPECT_NE(first->seen()[0].thread, second->seen()[0].thread);
    EXPECT_EQ(simdesk::eventStats().inProgress, 0);

    // One registration's calls come one at a time, in the order raised.
    auto ordered = Recorder::make();
    ASSERT_EQ(onProperty(simdesk::elementOf(top), TreeScope_Element, ordered.get(), {UIA_ProcessIdPropertyId}), S_OK);
    for (int i = 0; i < 200; ++i)
        simdesk::firePropertyChanged(simdesk::elementOf(top), UIA_ProcessIdPropertyId, simdesk::EventValue::integer(i));
    settle();
    auto seen = ordered->seen();
    ASSERT_EQ(seen.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[i].number, i);
    EXPECT_EQ(ordered->maxConcurrent(), 1);
}

TEST_F(SimEvents, ArgumentsAreOwnedByTheDesktopAndFreedAfterTheCall) {
    auto rs = Recorder::make(), rp = Recorder::make();
    const auto topId = simdesk::elementOf(top);
    ASSERT_EQ(onStructure(topId, TreeScope_Element, rs.get()), S_OK);
    ASSERT_EQ(onProperty(topId, TreeScope_Element, rp.get(), {UIA_NamePropertyId, 40000}), S_OK);
    simdesk::fireStructureChanged(topId, StructureChangeType_ChildrenReordered, std::nullopt);
    simdesk::fireStructureChanged(topId, StructureChangeType_ChildrenBulkRemoved, std::vector<int32_t>{7, -3});
    simdesk::firePropertyChanged(topId, 40000, {});
    simdesk::firePropertyChanged(topId, 40000, simdesk::EventValue::integer(-9));
    simdesk::firePropertyChanged(topId, 40000, simdesk::EventValue::realArray({1.5, 2}));
    simdesk::firePropertyChanged(topId, UIA_NamePropertyId, simdesk::EventValue::string(std::u16string(u"a\0b", 3)));
    settle();
    auto seen = rs->seen();
    for (const Seen& p : rp->seen()) seen.push_back(p);
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0].arg, StructureChangeType_ChildrenReordered);
    EXPECT_FALSE(seen[0].runtimeId);
    EXPECT_EQ(seen[1].arg, StructureChangeType_ChildrenBulkRemoved);
    EXPECT_EQ(seen[1].runtimeId, (std::vector<int32_t>{7, -3}));
    EXPECT_EQ(seen[2].vt, VT_EMPTY);
    EXPECT_EQ(seen[3].vt, VT_I4);
    EXPECT_EQ(seen[3].number, -9);
    EXPECT_EQ(seen[4].vt, VT_R8 | VT_ARRAY);
    EXPECT_EQ(seen[4].reals, (std::vector<double>{1.5, 2}));
    EXPECT_EQ(seen[5].text, std::u16string(u"a\0b", 3));
    for (const Seen& s : seen) EXPECT_EQ(s.sender, hwndId(top));
    // The test main checks that senders, arrays and values were all freed.

    // The sender carries the request's values of the time of the event;
    // changing the request afterwards changes nothing.
    ComPtr<IUIAutomationCacheRequest> request;
    ASSERT_EQ(uia->CreateCacheRequest(request.put()), S_OK);
    ASSERT_EQ(request->AddProperty(UIA_NamePropertyId), S_OK);
    ASSERT_EQ(request->put_AutomationElementMode(AutomationElementMode_None), S_OK);
    std::u16string name;
    HRESULT current = S_OK, className = S_OK;
    struct Probe final : public IUIAutomationFocusChangedEventHandler {
        std::atomic<long> refs{1};
        std::u16string* name;
        HRESULT *current, *className;
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
        ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
        ULONG STDMETHODCALLTYPE Release() override {
            ULONG n = --refs;
            if (n == 0) delete this;
            return n;
        }
        HRESULT STDMETHODCALLTYPE HandleFocusChangedEvent(IUIAutomationElement* sender) override {
            BSTR s = nullptr;
            if (SUCCEEDED(sender->get_CachedName(&s))) name->assign(s, SysStringLen(s));
            SysFreeString(s);
            *className = sender->get_CachedClassName(&s);
            *current = sender->get_CurrentName(&s);
            return S_OK;
        }
    };
    auto probe = ComPtr<Probe>::adopt(new Probe);
    probe->name = &name;
    probe->current = &current;
    probe->className = &className;
    ASSERT_EQ(uia->AddFocusChangedEventHandler(request.get(), probe.get()), S_OK);
    ASSERT_EQ(request->AddProperty(UIA_ClassNamePropertyId), S_OK);
    simdesk::setWindowText(top, u"before");
    simdesk::fireFocusChanged(topId);
    simdesk::setWindowText(top, u"after");
    settle();
    EXPECT_EQ(name, u"before");
    EXPECT_EQ(className, E_INVALIDARG);      // added to the request too late
    EXPECT_EQ(current, UIA_E_INVALIDOPERATION);  // no live reference with mode None
    ASSERT_EQ(uia->RemoveAllEventHandlers(), S_OK);
    EXPECT_EQ(probe->refs.load(), 1);
}

TEST_F(SimEvents, DesktopChangesRaiseTheirEvents) {
    auto rs = Recorder::make(), rp = Recorder::make();
    const auto topId = simdesk::elementOf(top);
    ASSERT_EQ(onStructure(topId, TreeScope_Subtree, rs.get()), S_OK);
    ASSERT_EQ(onProperty(topId, TreeScope_Subtree, rp.get(),
                         {UIA_NamePropertyId, UIA_IsEnabledPropertyId, UIA_BoundingRectanglePropertyId}),
              S_OK);
    HWND child = ostrand_test::makeWindow(top, u"Button");
    simdesk::setWindowText(child, u"typed");
    simdesk::setWindowText(child, u"typed");  // unchanged: nothing
    simdesk::setWindowEnabled(child, false);
    simdesk::setWindowRect(child, RECT{10, 20, 110, 70});
    const auto e = addElement(topId, u"doc");
    simdesk::ElementDesc change;
    change.name = u"renamed";
    change.enabled = false;
    simdesk::setElement(e, change);
    // An overridden name does not follow the window's text.
    simdesk::ElementDesc fixed;
    fixed.name = u"fixed";
    simdesk::setElement(topId, fixed);
    simdesk::setWindowText(top, u"title");
    settle();  // the senders still live when the handlers ask for their ids
    const auto E = idOf(e);
    simdesk::removeElement(e);
    simdesk::destroyWindow(child);
    simdesk::setTitleBars(true);
    settle();
    simdesk::ElementState topState;
    ASSERT_TRUE(simdesk::elementState(topId, &topState));
    const auto B = idOf(topState.children.at(0));
    simdesk::setTitleBars(false);
    settle();

    const auto C = hwndId(child), T = hwndId(top);
    auto p = rp->seen();
    ASSERT_EQ(p.size(), 6u);
    EXPECT_EQ(p[0].arg, UIA_NamePropertyId);
    EXPECT_EQ(p[0].sender, C);
    EXPECT_EQ(p[0].vt, VT_BSTR);
    EXPECT_EQ(p[0].text, u"typed");
    EXPECT_EQ(p[1].arg, UIA_IsEnabledPropertyId);
    EXPECT_EQ(p[1].vt, VT_BOOL);
    EXPECT_FALSE(p[1].flag);
    EXPECT_EQ(p[2].arg, UIA_BoundingRectanglePropertyId);
    EXPECT_EQ(p[2].vt, VT_R8 | VT_ARRAY);
    EXPECT_EQ(p[2].reals, (std::vector<double>{10, 20, 100, 50}));
    EXPECT_EQ(p[3].text, u"renamed");
    EXPECT_EQ(p[3].sender, E);
    EXPECT_EQ(p[4].arg, UIA_IsEnabledPropertyId);
    EXPECT_EQ(p[5].text, u"fixed");
    EXPECT_EQ(p[5].sender, T);

    auto st = rs->seen();
    ASSERT_EQ(st.size(), 6u);
    // An addition: the child sends, and no runtime id comes with it (the
    // documented handler: runtimeId only for ChildRemoved, null otherwise).
    EXPECT_EQ(st[0].arg, StructureChangeType_ChildAdded);
    EXPECT_EQ(st[0].sender, C);
    EXPECT_EQ(st[0].runtimeId, std::nullopt);
    EXPECT_EQ(st[1].arg, StructureChangeType_ChildAdded);
    EXPECT_EQ(st[1].sender, E);
    EXPECT_EQ(st[1].runtimeId, std::nullopt);
    // A removal: the parent sends, with the removed child's id.
    for (int i : {2, 3}) {
        EXPECT_EQ(st[i].arg, StructureChangeType_ChildRemoved);
        EXPECT_EQ(st[i].sender, T);
    }
    EXPECT_EQ(st[2].runtimeId, E);
    EXPECT_EQ(st[3].runtimeId, C);
    // Title bars come and go as children of their windows.
    EXPECT_EQ(st[4].arg, StructureChangeType_ChildAdded);
    EXPECT_EQ(st[4].sender, B);
    EXPECT_EQ(st[5].arg, StructureChangeType_ChildRemoved);
    EXPECT_EQ(st[5].sender, T);
    EXPECT_EQ(st[5].runtimeId, B);
}

// As the proxies map SHOW, HIDE and LOCATIONCHANGE: a child window shown
// sends ChildAdded, hidden its parent sends ChildRemoved with its id; a move
// carries what the window holds along and raises one rectangle change, the
// window's own.
TEST_F(SimEvents, ShowHideAndMovesRaiseWhatTheProxiesRaise) {
    auto rs = Recorder::make(), rp = Recorder::make();
    const auto topId = simdesk::elementOf(top);
    HWND child = ostrand_test::makeWindow(top, u"Button", RECT{10, 10, 50, 30});
    HWND grandchild = ostrand_test::makeWindow(child, u"Static", RECT{12, 12, 20, 20});
    simdesk::ElementDesc d;
    d.name = u"drawn";
    d.rect = RECT{5, 40, 25, 60};
    const auto drawn = simdesk::addElement(simdesk::elementOf(child), d);
    settle();
    ASSERT_EQ(onStructure(topId, TreeScope_Subtree, rs.get()), S_OK);
    ASSERT_EQ(onProperty(topId, TreeScope_Subtree, rp.get(), {UIA_BoundingRectanglePropertyId}), S_OK);
    simdesk::setWindowVisible(child, false);
    simdesk::setWindowVisible(child, false);  // no change: nothing
    simdesk::setWindowVisible(child, true);
    simdesk::setWindowRect(top, RECT{100, 200, 150, 220});  // from {0, 0, 50, 20}
    simdesk::setWindowRect(top, RECT{100, 200, 300, 400});  // a resize moves nothing inside
    settle();

    auto st = rs->seen();
    ASSERT_EQ(st.size(), 2u);
    EXPECT_EQ(st[0].arg, StructureChangeType_ChildRemoved);
    EXPECT_EQ(st[0].sender, hwndId(top));
    EXPECT_EQ(st[0].runtimeId, hwndId(child));
    EXPECT_EQ(st[1].arg, StructureChangeType_ChildAdded);
    EXPECT_EQ(st[1].sender, hwndId(child));
    EXPECT_EQ(st[1].runtimeId, std::nullopt);
    auto p = rp->seen();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].sender, hwndId(top));
    EXPECT_EQ(p[0].reals, (std::vector<double>{100, 200, 50, 20}));
    EXPECT_EQ(p[1].sender, hwndId(top));
    RECT r{};
    ASSERT_TRUE(GetWindowRect(child, &r));
    EXPECT_EQ((std::vector<LONG>{r.left, r.top, r.right, r.bottom}), (std::vector<LONG>{110, 210, 150, 230}));
    ASSERT_TRUE(GetWindowRect(grandchild, &r));
    EXPECT_EQ((std::vector<LONG>{r.left, r.top}), (std::vector<LONG>{112, 212}));
    simdesk::ElementState e;
    ASSERT_TRUE(simdesk::elementState(drawn, &e));
    EXPECT_EQ((std::vector<LONG>{e.rect.left, e.rect.top, e.rect.right, e.rect.bottom}),
              (std::vector<LONG>{105, 240, 125, 260}));
}

TEST_F(SimEvents, RemoveAllWaitsForACallInProgressAndDropsQueuedOnes) {
    auto r = Recorder::make();
    std::atomic<bool> entered{false}, open{false};
    r->during = [&] {
        entered = true;
        eventually([&] { return open.load(); }, std::chrono::seconds(60));
    };
    ASSERT_EQ(uia->AddFocusChangedEventHandler(nullptr, r->focus()), S_OK);
    simdesk::fireFocusChanged(simdesk::elementOf(top));
    simdesk::fireFocusChanged(simdesk::elementOf(top));  // queued behind the first: dropped
    ASSERT_TRUE(eventually([&] { return entered.load(); }));

    std::atomic<bool> returned{false};
    simdesk::EventStats afterReturn;
    std::thread remover([&] {
        EXPECT_EQ(uia->RemoveAllEventHandlers(), S_OK);
        afterReturn = simdesk::eventStats();
        returned = true;
    });
    // The registration is gone, so the remover is waiting for the call.
    ASSERT_TRUE(eventually([] { return simdesk::eventRegistrations().empty(); }));
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(r->held(), 1);  // the call keeps the registration's reference
    open = true;
    remover.join();
    EXPECT_EQ(afterReturn.inProgress, 0);
    EXPECT_EQ(afterReturn.pending, 0u);
    EXPECT_EQ(afterReturn.calls, 1u);
    EXPECT_EQ(r->held(), 0);
    EXPECT_EQ(r->seen().size(), 1u);
}

TEST_F(SimEvents, RemoveAllFromInsideHandlersDoesNotDeadlock) {
    // Two handlers that both remove while the other is running.
    auto first = Recorder::make(), second = Recorder::make();
    std::atomic<int> inside{0};
    std::atomic<int> removed{0};
    auto removeWhileBothInside = [&] {
        ++inside;
        eventually([&] { return inside.load() == 2; });
        if (uia->RemoveAllEventHandlers() == S_OK) ++removed;
    };
    first->during = removeWhileBothInside;
    second->during = removeWhileBothInside;
    ASSERT_EQ(uia->AddFocusChangedEventHandler(nullptr, first->focus()), S_OK);
    ASSERT_EQ(uia->AddFocusChangedEventHandler(nullptr, second->focus()), S_OK);
    simdesk::fireFocusChanged(simdesk::elementOf(top));
    simdesk::fireFocusChanged(simdesk::elementOf(top));
    ASSERT_TRUE(simdesk::waitForEvents(30000));
    EXPECT_EQ(removed.load(), 2);
    EXPECT_EQ(first->seen().size(), 1u);  // the second focus events were dropped
    EXPECT_EQ(second->seen().size(), 1u);
    EXPECT_EQ(first->held(), 0);
    EXPECT_EQ(second->held(), 0);
}

TEST_F(SimEvents, WaitForEventsPauseAndReset) {
    auto r = Recorder::make();
    bool ownCallSettled = false;
    r->during = [&] { ownCallSettled = simdesk::waitForEvents(10000); };  // not waiting for itself
    ASSERT_EQ(uia->AddFocusChangedEventHandler(nullptr, r->focus()), S_OK);
    simdesk::pauseDelivery(true);
    simdesk::fireFocusChanged(simdesk::elementOf(top));
    EXPECT_FALSE(simdesk::waitForEvents(20));
    EXPECT_EQ(simdesk::eventStats().pending, 1u);
    simdesk::pauseDelivery(false);
    settle();
    EXPECT_TRUE(ownCallSettled);
    EXPECT_EQ(simdesk::eventStats().calls, 1u);

    EXPECT_FALSE(simdesk::setDeliveryThreads(0));
    EXPECT_FALSE(simdesk::setDeliveryThreads(65));
    EXPECT_TRUE(simdesk::setDeliveryThreads(1));
    simdesk::pauseDelivery(true);
    simdesk::fireFocusChanged(simdesk::elementOf(top));
    simdesk::reset();  // removes, drops, resumes and restores
    EXPECT_EQ(r->held(), 0);
    EXPECT_EQ(simdesk::deliveryThreads(), 4);
    auto stats = simdesk::eventStats();
    EXPECT_EQ(stats.raised + stats.pending + stats.calls, 0u);
    EXPECT_TRUE(simdesk::waitForEvents(0));
    EXPECT_FALSE(simdesk::fireFocusChanged(simdesk::elementOf(top)));  // the window went with the reset
}

TEST_F(SimEvents, HandlersCallBackIntoTheDesktopWhileItChanges) {
    // Handlers that walk the tree while other threads change it and raise
    // more events: a race and lock-order check for the sanitizers.
    auto r = Recorder::make();
    ComPtr<IUIAutomationCondition> all;
    ASSERT_EQ(uia->CreateTrueCondition(all.put()), S_OK);
    r->during = [&] {
        ComPtr<IUIAutomationElement> root;
        ComPtr<IUIAutomationElementArray> found;
        if (SUCCEEDED(uia->ElementFromHandle(top, root.put())))
            root->FindAll(TreeScope_Subtree, all.get(), found.put());
        EnumChildWindows(top, [](HWND, LPARAM) -> BOOL { return TRUE; }, 0);
    };
    const auto topId = simdesk::elementOf(top);
    ASSERT_EQ(onStructure(topId, TreeScope_Subtree, r.get()), S_OK);
    ASSERT_EQ(onProperty(topId, TreeScope_Subtree, r.get(), {UIA_NamePropertyId}), S_OK);
    std::vector<std::thread> changers;
    for (int t = 0; t < 3; ++t)
        changers.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                HWND w = ostrand_test::makeWindow(top, u"Button");
                simdesk::setWindowText(w, std::u16string(1, char16_t(u'a' + t)));
                if (i % 2) simdesk::destroyWindow(w);
            }
        });
    for (auto& t : changers) t.join();
    settle();
    EXPECT_EQ(r->seen().size(), 3u * (40 + 40 + 20));
    EXPECT_EQ(uia->RemoveAllEventHandlers(), S_OK);
    EXPECT_EQ(r->held(), 0);
}

}  // namespace
