// The simulated desktop's fault injection and call counters: what every
// failure-path test of the core builds on.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "simdesk.h"
#include "simwin.h"
#include "desk_test.h"

namespace {

class SimFaults : public ostrand_test::DeskTest {};

int comCountHere() {
    simdesk::ThreadState s;
    EXPECT_TRUE(simdesk::threadState(GetCurrentThreadId(), &s));
    return s.comInitCount;
}

TEST_F(SimFaults, EveryCallHasTheKindOfFailureThatFailCallGivesIt) {
    EXPECT_EQ(simdesk::callKind("CoCreateInstance"), "hresult");
    EXPECT_EQ(simdesk::callKind("GetWindowTextW"), "last_error");
    EXPECT_EQ(simdesk::callKind("SysAllocString"), "null");
    EXPECT_EQ(simdesk::callKind("GetLastError"), "never");
    EXPECT_EQ(simdesk::callKind("NoSuchCall"), "");
    for (const std::string& name : simdesk::callNames()) {
        std::string kind = simdesk::callKind(name);
        EXPECT_EQ(simdesk::failCall(name, E_FAIL), kind != "never") << name;
    }
    simdesk::clearFaults();
}

TEST_F(SimFaults, HresultCallsReturnTheCodeForCountCallsAfterSkip) {
    ASSERT_TRUE(simdesk::failCall("CoInitializeEx", E_OUTOFMEMORY, 2, 1));
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);  // skipped
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), E_OUTOFMEMORY);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), E_OUTOFMEMORY);
    EXPECT_EQ(comCountHere(), 1);  // a failed call changes nothing
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);  // spent
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(simdesk::callCount("CoInitializeEx"), 5);  // failures are calls too
    EXPECT_EQ(comCountHere(), 3);

    // An injected failure leaves no object behind and a null out-pointer.
    ASSERT_TRUE(simdesk::failCall("CoCreateInstance", E_ACCESSDENIED));
    IUIAutomation* uia = reinterpret_cast<IUIAutomation*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_CUIAutomation, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation,
                               reinterpret_cast<void**>(&uia)),
              E_ACCESSDENIED);
    EXPECT_EQ(uia, nullptr);
    EXPECT_EQ(simdesk::liveCounts().com, 0);
    ASSERT_EQ(CoCreateInstance(CLSID_CUIAutomation, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation,
                               reinterpret_cast<void**>(&uia)),
              S_OK);

    HWND h = simdesk::createWindow(simdesk::WindowDesc{});
    ASSERT_TRUE(simdesk::failCall("ElementFromHandle", UIA_E_ELEMENTNOTAVAILABLE));
    IUIAutomationElement* e = reinterpret_cast<IUIAutomationElement*>(1);
    EXPECT_EQ(uia->ElementFromHandle(h, &e), UIA_E_ELEMENTNOTAVAILABLE);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(simdesk::liveCounts().com, 1);
    ASSERT_EQ(uia->ElementFromHandle(h, &e), S_OK);
    e->Release();

    ASSERT_TRUE(simdesk::failCall("RemoveAllEventHandlers", E_FAIL));
    EXPECT_EQ(uia->RemoveAllEventHandlers(), E_FAIL);
    EXPECT_EQ(uia->RemoveAllEventHandlers(), S_OK);
    uia->Release();

    // Array calls: the out-value is untouched by a failure.
    SAFEARRAY* a = SafeArrayCreateVector(VT_I4, 0, 1);
    ASSERT_NE(a, nullptr);
    LONG i = 0, v = 9;
    ASSERT_EQ(SafeArrayPutElement(a, &i, &v), S_OK);
    ASSERT_TRUE(simdesk::failCall("SafeArrayGetElement", E_UNEXPECTED));
    LONG got = -1;
    EXPECT_EQ(SafeArrayGetElement(a, &i, &got), E_UNEXPECTED);
    EXPECT_EQ(got, -1);
    ASSERT_TRUE(simdesk::failCall("SafeArrayDestroy", DISP_E_ARRAYISLOCKED));
    EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(simdesk::liveCounts().safearray, 1);  // still there
    EXPECT_EQ(SafeArrayDestroy(a), S_OK);

    for (int n = 0; n < 3; ++n) CoUninitialize();
    EXPECT_EQ(comCountHere(), 0);
}

TEST_F(SimFaults, NullCallsFailUntilCleared) {
    ASSERT_TRUE(simdesk::failCall("SysAllocString", 0, -1));
    for (int n = 0; n < 50; ++n) EXPECT_EQ(SysAllocString(u"x"), nullptr);
    EXPECT_EQ(simdesk::liveCounts().bstr, 0);
    // Only the named function fails.
    BSTR other = SysAllocStringLen(u"x", 1);
    EXPECT_NE(other, nullptr);
    SysFreeString(other);

    ASSERT_TRUE(simdesk::failCall("SafeArrayCreateVector", 0, -1, 2));
    SAFEARRAY* first = SafeArrayCreateVector(VT_I4, 0, 1);
    SAFEARRAY* second = SafeArrayCreateVector(VT_I4, 0, 1);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    for (int n = 0; n < 10; ++n) EXPECT_EQ(SafeArrayCreateVector(VT_I4, 0, 1), nullptr);
    EXPECT_EQ(simdesk::liveCounts().safearray, 2);
    SafeArrayDestroy(first);
    SafeArrayDestroy(second);

    simdesk::clearFaults();
    BSTR b = SysAllocString(u"x");
    ASSERT_NE(b, nullptr);
    SysFreeString(b);
    SAFEARRAY* a = SafeArrayCreateVector(VT_I4, 0, 1);
    ASSERT_NE(a, nullptr);
    SafeArrayDestroy(a);

    // reset() clears faults as well.
    ASSERT_TRUE(simdesk::failCall("SysAllocStringLen", 0, -1));
    simdesk::reset();
    b = SysAllocStringLen(u"x", 1);
    EXPECT_NE(b, nullptr);
    SysFreeString(b);
}

TEST_F(SimFaults, LastErrorCallsSetTheCodeOnTheCallingThread) {
    simdesk::WindowDesc desc;
    desc.rect = RECT{1, 2, 3, 4};
    HWND h = simdesk::createWindow(desc);

    ASSERT_TRUE(simdesk::failCall("GetWindowRect", ERROR_ACCESS_DENIED));
    RECT r{9, 9, 9, 9};
    SetLastError(0);
    EXPECT_FALSE(GetWindowRect(h, &r));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(r.left, 9);  // untouched
    EXPECT_TRUE(GetWindowRect(h, &r));  // count 1 by default
    EXPECT_EQ(r.left, 1);

    // Faults are process-wide; the code lands on the thread that called.
    ASSERT_TRUE(simdesk::failCall("GetWindowRect", ERROR_INVALID_WINDOW_HANDLE));
    SetLastError(77);
    BOOL otherOk = TRUE;
    DWORD otherError = 0;
    std::thread([&] {
        otherOk = GetWindowRect(h, &r);
        otherError = GetLastError();
    }).join();
    EXPECT_FALSE(otherOk);
    EXPECT_EQ(otherError, (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(GetLastError(), 77u);

    char16_t buf[8];
    ASSERT_TRUE(simdesk::failCall("MultiByteToWideChar", ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "ok", -1, buf, 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "ok", -1, buf, 8), 3);

    ASSERT_TRUE(simdesk::failCall("EnumChildWindows", ERROR_ACCESS_DENIED));
    simdesk::WindowDesc childSpec;
    childSpec.parent = h;
    simdesk::createWindow(childSpec);
    int visits = 0;
    auto count = [](HWND, LPARAM lp) -> BOOL {
        ++*reinterpret_cast<int*>(lp);
        return TRUE;
    };
    EXPECT_FALSE(EnumChildWindows(h, count, reinterpret_cast<LPARAM>(&visits)));
    EXPECT_EQ(visits, 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(EnumChildWindows(h, count, reinterpret_cast<LPARAM>(&visits)));
    EXPECT_EQ(visits, 1);

    // A refused post queues nothing.
    MSG m;
    PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // this thread has a queue
    ASSERT_TRUE(simdesk::failCall("PostThreadMessageW", ERROR_NOT_ENOUGH_QUOTA));
    EXPECT_FALSE(PostThreadMessageW(GetCurrentThreadId(), WM_USER + 77, 0, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_QUOTA);
    EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_USER + 77, WM_USER + 77, PM_REMOVE));

    ASSERT_TRUE(simdesk::failCall("MsgWaitForMultipleObjects", ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(simdesk::failCall("QueryPerformanceCounter", ERROR_ACCESS_DENIED));
    LARGE_INTEGER q{};
    q.QuadPart = -5;
    EXPECT_FALSE(QueryPerformanceCounter(&q));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(q.QuadPart, -5);
}

TEST_F(SimFaults, FailCallRefusesWhatCannotFail) {
    EXPECT_FALSE(simdesk::failCall("NoSuchCall", E_FAIL));
    EXPECT_FALSE(simdesk::failCall("", E_FAIL));
    EXPECT_FALSE(simdesk::failCall("getwindowrect", 5));  // names are exact
    // Calls with nothing to report a failure through.
    for (const char* never :
         {"GetLastError", "SetLastError", "GetCurrentThreadId", "Sleep", "InitializeSRWLock",
          "AcquireSRWLockShared", "ReleaseSRWLockShared", "AcquireSRWLockExclusive", "ReleaseSRWLockExclusive",
          "TryAcquireSRWLockExclusive", "TryAcquireSRWLockShared", "CoUninitialize", "SysFreeString",
          "SysStringLen", "VariantInit", "TranslateMessage"}) {
        EXPECT_FALSE(simdesk::failCall(never, 5, -1)) << never;
    }
    // A refused request arms nothing.
    SetLastError(123);
    EXPECT_EQ(GetLastError(), 123u);
    EXPECT_NE(GetCurrentThreadId(), 0u);
    SRWLOCK lock = SRWLOCK_INIT;
    EXPECT_TRUE(TryAcquireSRWLockExclusive(&lock));
    ReleaseSRWLockExclusive(&lock);

    // Bad counts and skips.
    EXPECT_FALSE(simdesk::failCall("GetWindowRect", 5, 0));
    EXPECT_FALSE(simdesk::failCall("GetWindowRect", 5, -2));
    EXPECT_FALSE(simdesk::failCall("GetWindowRect", 5, 1, -1));
    HWND h = simdesk::createWindow(simdesk::WindowDesc{});
    RECT r;
    EXPECT_TRUE(GetWindowRect(h, &r));
}

TEST_F(SimFaults, CallCountsCountEveryThreadAndReset) {
    for (const std::string& name : simdesk::callNames()) EXPECT_EQ(simdesk::callCount(name), 0) << name;
    EXPECT_EQ(simdesk::callCount("NoSuchCall"), -1);

    HWND h = simdesk::createWindow(simdesk::WindowDesc{});
    EXPECT_EQ(simdesk::callCount("IsWindow"), 0);  // the control API is not a platform call
    for (int n = 0; n < 3; ++n) IsWindow(h);
    std::thread([&] {
        IsWindow(h);
        IsWindow(nullptr);
    }).join();
    EXPECT_EQ(simdesk::callCount("IsWindow"), 5);
    EXPECT_EQ(simdesk::callCount("IsWindowVisible"), 0);

    simdesk::resetCalls();
    EXPECT_EQ(simdesk::callCount("IsWindow"), 0);
    IsWindow(h);
    EXPECT_EQ(simdesk::callCount("IsWindow"), 1);
    simdesk::reset();
    EXPECT_EQ(simdesk::callCount("IsWindow"), 0);
}

TEST_F(SimFaults, CallNamesListEveryPlatformFunction) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    IUIAutomation* uia = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_CUIAutomation, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation,
                               reinterpret_cast<void**>(&uia)),
              S_OK);
    HWND h = simdesk::createWindow(simdesk::WindowDesc{});
    SRWLOCK lock = SRWLOCK_INIT;
    WCHAR buf[8];
    RECT r;
    MSG m{};
    LARGE_INTEGER li;
    SAFEARRAY* arr = SafeArrayCreateVector(VT_I4, 0, 1);
    LONG idx = 0, val = 0;
    auto noop = [](HWND, LPARAM) -> BOOL { return TRUE; };
    IUIAutomationElement* elem = nullptr;
    IUIAutomationCacheRequest* request = nullptr;
    IUIAutomationCondition* cond = nullptr;
    IUIAutomationCondition* nameCond = nullptr;
    IUIAutomationElementArray* found = nullptr;
    ASSERT_EQ(uia->ElementFromHandle(h, &elem), S_OK);
    ASSERT_EQ(uia->CreateCacheRequest(&request), S_OK);
    ASSERT_EQ(uia->CreateTrueCondition(&cond), S_OK);
    VARIANT name;
    name.vt = VT_BSTR;
    name.bstrVal = nullptr;
    ASSERT_EQ(uia->CreatePropertyCondition(UIA_NamePropertyId, name, &nameCond), S_OK);
    ASSERT_EQ(elem->FindAll(TreeScope_Element, cond, &found), S_OK);
    auto boolCond = static_cast<IUIAutomationBoolCondition*>(cond);
    auto propCond = static_cast<IUIAutomationPropertyCondition*>(nameCond);
    BOOL b;
    int n;
    BSTR s = nullptr;
    UIA_HWND uh;
    enum TreeScope scope;
    enum AutomationElementMode mode;
    auto freeArray = [](SAFEARRAY* a) { SafeArrayDestroy(a); };
    auto release = [](IUnknown* u) { if (u) u->Release(); };
    simdesk::ElementDesc all;
    all.patterns = {UIA_InvokePatternId, UIA_ValuePatternId, UIA_ScrollPatternId, UIA_SelectionItemPatternId,
                    UIA_ExpandCollapsePatternId};
    ASSERT_TRUE(simdesk::setElement(simdesk::elementOf(h), all));
    IUIAutomationInvokePattern* invoke = nullptr;
    IUIAutomationValuePattern* value = nullptr;
    IUIAutomationScrollPattern* scroll = nullptr;
    IUIAutomationSelectionItemPattern* item = nullptr;
    IUIAutomationExpandCollapsePattern* expand = nullptr;
    ASSERT_EQ(elem->GetCurrentPatternAs(UIA_InvokePatternId, IID_IUIAutomationInvokePattern, (void**)&invoke), S_OK);
    ASSERT_EQ(elem->GetCurrentPatternAs(UIA_ValuePatternId, IID_IUIAutomationValuePattern, (void**)&value), S_OK);
    ASSERT_EQ(elem->GetCurrentPatternAs(UIA_ScrollPatternId, IID_IUIAutomationScrollPattern, (void**)&scroll), S_OK);
    ASSERT_EQ(elem->GetCurrentPatternAs(UIA_SelectionItemPatternId, IID_IUIAutomationSelectionItemPattern,
                                        (void**)&item),
              S_OK);
    ASSERT_EQ(elem->GetCurrentPatternAs(UIA_ExpandCollapsePatternId, IID_IUIAutomationExpandCollapsePattern,
                                        (void**)&expand),
              S_OK);
    POINT pt{0, 0};
    DWORD_PTR smtoResult = 0;
    double percent = 0;
    ExpandCollapseState state;

    // One call of each function, by name.
    const std::map<std::string, std::function<void()>> calls = {
        {"GetLastError", [] { GetLastError(); }},
        {"SetLastError", [] { SetLastError(0); }},
        {"GetCurrentThreadId", [] { GetCurrentThreadId(); }},
        {"QueryPerformanceCounter", [&] { QueryPerformanceCounter(&li); }},
        {"QueryPerformanceFrequency", [&] { QueryPerformanceFrequency(&li); }},
        {"Sleep", [] { Sleep(0); }},
        {"InitializeSRWLock", [&] { InitializeSRWLock(&lock); }},
        {"AcquireSRWLockShared", [&] { AcquireSRWLockShared(&lock); ReleaseSRWLockShared(&lock); }},
        {"ReleaseSRWLockShared", [&] { AcquireSRWLockShared(&lock); ReleaseSRWLockShared(&lock); }},
        {"AcquireSRWLockExclusive", [&] { AcquireSRWLockExclusive(&lock); ReleaseSRWLockExclusive(&lock); }},
        {"ReleaseSRWLockExclusive", [&] { AcquireSRWLockExclusive(&lock); ReleaseSRWLockExclusive(&lock); }},
        {"TryAcquireSRWLockExclusive", [&] { if (TryAcquireSRWLockExclusive(&lock)) ReleaseSRWLockExclusive(&lock); }},
        {"TryAcquireSRWLockShared", [&] { if (TryAcquireSRWLockShared(&lock)) ReleaseSRWLockShared(&lock); }},
        {"MultiByteToWideChar", [&] { MultiByteToWideChar(CP_UTF8, 0, "a", -1, buf, 8); }},
        {"CoInitializeEx", [] { if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) CoUninitialize(); }},
        {"CoUninitialize", [] { if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) CoUninitialize(); }},
        {"CoCreateInstance", [] {
             IUnknown* u = nullptr;
             if (SUCCEEDED(CoCreateInstance(CLSID_CUIAutomation, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                            reinterpret_cast<void**>(&u))))
                 u->Release();
         }},
        {"SysAllocString", [] { SysFreeString(SysAllocString(u"a")); }},
        {"SysAllocStringLen", [] { SysFreeString(SysAllocStringLen(u"a", 1)); }},
        {"SysFreeString", [] { SysFreeString(nullptr); }},
        {"SysStringLen", [] { SysStringLen(nullptr); }},
        {"VariantInit", [] { VARIANT v; VariantInit(&v); }},
        {"VariantClear", [] { VARIANT v; v.vt = VT_EMPTY; VariantClear(&v); }},
        {"SafeArrayCreateVector", [] { SafeArrayDestroy(SafeArrayCreateVector(VT_I4, 0, 1)); }},
        {"SafeArrayPutElement", [&] { SafeArrayPutElement(arr, &idx, &val); }},
        {"SafeArrayGetElement", [&] { SafeArrayGetElement(arr, &idx, &val); }},
        {"SafeArrayGetLBound", [&] { SafeArrayGetLBound(arr, 1, &val); }},
        {"SafeArrayGetUBound", [&] { SafeArrayGetUBound(arr, 1, &val); }},
        {"SafeArrayDestroy", [] { SafeArrayDestroy(nullptr); }},
        {"EnumChildWindows", [&] { EnumChildWindows(h, noop, 0); }},
        {"GetClassNameW", [&] { GetClassNameW(h, buf, 8); }},
        {"GetWindowTextW", [&] { GetWindowTextW(h, buf, 8); }},
        {"GetWindowRect", [&] { GetWindowRect(h, &r); }},
        {"IsWindow", [&] { IsWindow(h); }},
        {"GetAncestor", [&] { GetAncestor(h, GA_ROOT); }},
        {"IsWindowEnabled", [&] { IsWindowEnabled(h); }},
        {"IsWindowVisible", [&] { IsWindowVisible(h); }},
        {"MsgWaitForMultipleObjects", [] { MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT); }},
        {"PeekMessageW", [&] { PeekMessageW(&m, reinterpret_cast<HWND>(-1), WM_NULL, WM_NULL, PM_NOREMOVE); }},
        {"TranslateMessage", [&] { TranslateMessage(&m); }},
        {"DispatchMessageW", [&] { DispatchMessageW(&m); }},
        {"PostThreadMessageW", [] { PostThreadMessageW(0, WM_USER, 0, 0); }},
        {"ScreenToClient", [&] { ScreenToClient(h, &pt); }},
        {"WindowFromPoint", [&] { WindowFromPoint(pt); }},
        {"SetCursorPos", [] { SetCursorPos(1, 2); }},
        {"GetCursorPos", [&] { GetCursorPos(&pt); }},
        {"PostMessageW", [&] { PostMessageW(h, WM_MOUSEMOVE, 0, 0); }},
        {"SendMessageW", [&] { SendMessageW(h, WM_MOUSEMOVE, 0, 0); }},
        {"SendMessageTimeoutW", [&] { SendMessageTimeoutW(h, WM_MOUSEMOVE, 0, 0, SMTO_NORMAL, 0, &smtoResult); }},
        {"ElementFromHandle", [&] {
             IUIAutomationElement* e = nullptr;
             if (SUCCEEDED(uia->ElementFromHandle(h, &e))) e->Release();
         }},
        {"RemoveAllEventHandlers", [&] { uia->RemoveAllEventHandlers(); }},
        {"CreateCacheRequest", [&] {
             IUIAutomationCacheRequest* r = nullptr;
             uia->CreateCacheRequest(&r);
             release(r);
         }},
        {"CreateTrueCondition", [&] {
             IUIAutomationCondition* c = nullptr;
             uia->CreateTrueCondition(&c);
             release(c);
         }},
        {"CreatePropertyCondition", [&] {
             IUIAutomationCondition* c = nullptr;
             uia->CreatePropertyCondition(UIA_NamePropertyId, name, &c);
             release(c);
         }},
        {"get_BooleanValue", [&] { boolCond->get_BooleanValue(&b); }},
        {"get_PropertyId", [&] { propCond->get_PropertyId(&n); }},
        {"get_PropertyValue", [&] {
             VARIANT v;
             propCond->get_PropertyValue(&v);
             VariantClear(&v);
         }},
        {"AddProperty", [&] { request->AddProperty(UIA_NamePropertyId); }},
        {"get_TreeScope", [&] { request->get_TreeScope(&scope); }},
        {"put_TreeScope", [&] { request->put_TreeScope(TreeScope_Subtree); }},
        {"get_AutomationElementMode", [&] { request->get_AutomationElementMode(&mode); }},
        {"put_AutomationElementMode", [&] { request->put_AutomationElementMode(AutomationElementMode_Full); }},
        {"get_Length", [&] { found->get_Length(&n); }},
        {"GetElement", [&] {
             IUIAutomationElement* e = nullptr;
             found->GetElement(0, &e);
             release(e);
         }},
        {"GetRuntimeId", [&] {
             SAFEARRAY* a = nullptr;
             elem->GetRuntimeId(&a);
             freeArray(a);
         }},
        {"FindFirst", [&] {
             IUIAutomationElement* e = nullptr;
             elem->FindFirst(TreeScope_Element, cond, &e);
             release(e);
         }},
        {"FindAll", [&] {
             IUIAutomationElementArray* a = nullptr;
             elem->FindAll(TreeScope_Element, cond, &a);
             release(a);
         }},
        {"FindAllBuildCache", [&] {
             IUIAutomationElementArray* a = nullptr;
             elem->FindAllBuildCache(TreeScope_Element, cond, request, &a);
             release(a);
         }},
        {"GetCurrentPropertyValue", [&] {
             VARIANT v;
             elem->GetCurrentPropertyValue(UIA_NamePropertyId, &v);
             VariantClear(&v);
         }},
        {"GetCachedPropertyValue", [&] {
             VARIANT v;
             elem->GetCachedPropertyValue(UIA_RuntimeIdPropertyId, &v);
             VariantClear(&v);
         }},
        {"get_CurrentControlType", [&] { elem->get_CurrentControlType(&n); }},
        {"get_CurrentName", [&] { elem->get_CurrentName(&s); SysFreeString(s); }},
        {"get_CurrentIsEnabled", [&] { elem->get_CurrentIsEnabled(&b); }},
        {"get_CurrentAutomationId", [&] { elem->get_CurrentAutomationId(&s); SysFreeString(s); }},
        {"get_CurrentClassName", [&] { elem->get_CurrentClassName(&s); SysFreeString(s); }},
        {"get_CurrentNativeWindowHandle", [&] { elem->get_CurrentNativeWindowHandle(&uh); }},
        {"get_CurrentBoundingRectangle", [&] { elem->get_CurrentBoundingRectangle(&r); }},
        {"get_CachedControlType", [&] { elem->get_CachedControlType(&n); }},
        {"get_CachedName", [&] { elem->get_CachedName(&s); }},
        {"get_CachedIsEnabled", [&] { elem->get_CachedIsEnabled(&b); }},
        {"get_CachedAutomationId", [&] { elem->get_CachedAutomationId(&s); }},
        {"get_CachedClassName", [&] { elem->get_CachedClassName(&s); }},
        {"get_CachedNativeWindowHandle", [&] { elem->get_CachedNativeWindowHandle(&uh); }},
        {"get_CachedBoundingRectangle", [&] { elem->get_CachedBoundingRectangle(&r); }},
        {"SetFocus", [&] { elem->SetFocus(); }},
        {"GetCurrentPatternAs", [&] {
             IUnknown* u = nullptr;
             elem->GetCurrentPatternAs(UIA_InvokePatternId, IID_IUnknown, reinterpret_cast<void**>(&u));
             release(u);
         }},
        {"Invoke", [&] { invoke->Invoke(); }},
        {"SetValue", [&] { value->SetValue(nullptr); }},
        {"get_CurrentValue", [&] { value->get_CurrentValue(&s); SysFreeString(s); }},
        {"get_CurrentIsReadOnly", [&] { value->get_CurrentIsReadOnly(&b); }},
        {"Scroll", [&] { scroll->Scroll(ScrollAmount_NoAmount, ScrollAmount_SmallIncrement); }},
        {"get_CurrentVerticalScrollPercent", [&] { scroll->get_CurrentVerticalScrollPercent(&percent); }},
        {"Select", [&] { item->Select(); }},
        {"get_CurrentIsSelected", [&] { item->get_CurrentIsSelected(&b); }},
        {"Expand", [&] { expand->Expand(); }},
        {"Collapse", [&] { expand->Collapse(); }},
        {"get_CurrentExpandCollapseState", [&] { expand->get_CurrentExpandCollapseState(&state); }},
        // A null handler is refused, but the call still counts.
        {"AddStructureChangedEventHandler",
         [&] { uia->AddStructureChangedEventHandler(elem, TreeScope_Element, nullptr, nullptr); }},
        {"AddPropertyChangedEventHandler",
         [&] { uia->AddPropertyChangedEventHandler(elem, TreeScope_Element, nullptr, nullptr, nullptr); }},
        {"AddFocusChangedEventHandler", [&] { uia->AddFocusChangedEventHandler(nullptr, nullptr); }},
    };

    const std::vector<std::string> names = simdesk::callNames();
    EXPECT_EQ(simdesk::callNames(), names);  // a fixed order
    std::set<std::string> unique(names.begin(), names.end());
    EXPECT_EQ(unique.size(), names.size()) << "a name is listed twice";
    std::set<std::string> expected;
    for (const auto& [name, call] : calls) expected.insert(name);
    EXPECT_EQ(unique, expected);

    // Each listed name counts the function of that name, once per call.
    for (const std::string& name : names) {
        auto it = calls.find(name);
        if (it == calls.end()) continue;
        int64_t before = simdesk::callCount(name);
        it->second();
        EXPECT_EQ(simdesk::callCount(name), before + 1) << name;
    }

    SafeArrayDestroy(arr);
    for (IUnknown* p : std::initializer_list<IUnknown*>{invoke, value, scroll, item, expand}) p->Release();
    found->Release();
    nameCond->Release();
    cond->Release();
    request->Release();
    elem->Release();
    uia->Release();
    CoUninitialize();
}

}  // namespace
