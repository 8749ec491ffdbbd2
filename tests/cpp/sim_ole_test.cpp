// The simulated ole32, oleaut32 and CUIAutomation object: apartments,
// CoCreateInstance, reference counts, BSTR, VARIANT and SAFEARRAY.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "simdesk.h"
#include "simwin.h"
#include "desk_test.h"

namespace {

using ostrand_test::eventually;

simdesk::ThreadState stateHere() {
    simdesk::ThreadState s;
    EXPECT_TRUE(simdesk::threadState(GetCurrentThreadId(), &s));
    return s;
}

// True while some live thread is in the multithreaded apartment; that makes
// every other thread an implicit MTA member.
bool anyThreadInMta() {
    for (const auto& t : simdesk::threads())
        if (t.alive && t.apartment == simdesk::Apartment::Mta) return true;
    return false;
}

// A throwaway IUnknown, to aggregate with and to store in arrays and variants.
class Probe : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    std::atomic<ULONG> refs{1};
};

HRESULT createAutomation(IUIAutomation** out) {
    return CoCreateInstance(CLSID_CUIAutomation, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation,
                            reinterpret_cast<void**>(out));
}

// An IID nothing implements.
const IID kUnknownIid = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};

class SimOle : public ostrand_test::DeskTest {
protected:
    void SetUp() override {
        DeskTest::SetUp();
        ASSERT_EQ(stateHere().comInitCount, 0) << "an earlier test left COM initialised";
    }
    void TearDown() override {
        EXPECT_EQ(stateHere().comInitCount, 0);
        DeskTest::TearDown();
    }
};

// ---- Apartments ----

TEST_F(SimOle, CoInitializeCountsPerThreadAndRefusesAModelChange) {
    EXPECT_EQ(stateHere().apartment, simdesk::Apartment::None);

    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    simdesk::ThreadState s = stateHere();
    EXPECT_EQ(s.apartment, simdesk::Apartment::Sta);
    EXPECT_EQ(s.comInitCount, 2);  // the refused change is not counted
    EXPECT_TRUE(s.hasQueue);       // an STA owns a message queue

    // The count is per thread: another thread picks its own model.
    HRESULT other = E_FAIL, otherAgain = E_FAIL;
    simdesk::Apartment otherApartment = simdesk::Apartment::None;
    std::thread([&] {
        other = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        otherAgain = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        otherApartment = stateHere().apartment;
        CoUninitialize();
        CoUninitialize();
    }).join();
    EXPECT_EQ(other, S_OK);
    EXPECT_EQ(otherAgain, S_FALSE);
    EXPECT_EQ(otherApartment, simdesk::Apartment::Mta);
    EXPECT_EQ(stateHere().comInitCount, 2);

    CoUninitialize();
    s = stateHere();
    EXPECT_EQ(s.apartment, simdesk::Apartment::Sta);  // one call still owes its CoUninitialize
    EXPECT_EQ(s.comInitCount, 1);
    CoUninitialize();
    s = stateHere();
    EXPECT_EQ(s.apartment, simdesk::Apartment::None);
    EXPECT_EQ(s.comInitCount, 0);

    // Fully uninitialised: the other model is fine now.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(stateHere().apartment, simdesk::Apartment::Mta);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    EXPECT_EQ(stateHere().comInitCount, 1);
    CoUninitialize();
    EXPECT_EQ(stateHere().apartment, simdesk::Apartment::None);
    EXPECT_FALSE(anyThreadInMta());

    // Extra calls are ignored and do not go into debt.
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(stateHere().comInitCount, 0);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
    s = stateHere();
    EXPECT_EQ(s.apartment, simdesk::Apartment::None);
    EXPECT_EQ(s.comInitCount, 0);

    EXPECT_EQ(CoInitializeEx(reinterpret_cast<void*>(1), COINIT_MULTITHREADED), E_INVALIDARG);
    EXPECT_EQ(stateHere().comInitCount, 0);
}

TEST_F(SimOle, CoCreateInstanceNeedsAnApartment) {
    ASSERT_FALSE(anyThreadInMta());

    // A fresh thread with no MTA in the process.
    HRESULT fresh = S_OK;
    void* freshOut = reinterpret_cast<void*>(1);
    std::thread([&] {
        fresh = CoCreateInstance(CLSID_CUIAutomation, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation,
                                 &freshOut);
    }).join();
    EXPECT_EQ(fresh, CO_E_NOTINITIALIZED);
    EXPECT_EQ(freshOut, nullptr);
    EXPECT_EQ(simdesk::liveCounts().com, 0);

    for (DWORD model : {(DWORD)COINIT_APARTMENTTHREADED, (DWORD)COINIT_MULTITHREADED}) {
        SCOPED_TRACE(model);
        ASSERT_EQ(CoInitializeEx(nullptr, model), S_OK);
        IUIAutomation* uia = nullptr;
        EXPECT_EQ(createAutomation(&uia), S_OK);
        ASSERT_NE(uia, nullptr);
        EXPECT_EQ(simdesk::liveCounts().com, 1);
        EXPECT_EQ(uia->Release(), 0u);
        EXPECT_EQ(simdesk::liveCounts().com, 0);
        CoUninitialize();

        // After the last CoUninitialize it fails again.
        uia = reinterpret_cast<IUIAutomation*>(1);
        EXPECT_EQ(createAutomation(&uia), CO_E_NOTINITIALIZED);
        EXPECT_EQ(uia, nullptr);
    }
    EXPECT_EQ(CoCreateInstance(CLSID_CUIAutomation, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation, nullptr),
              E_POINTER);
}

TEST_F(SimOle, UninitialisedThreadJoinsTheImplicitMtaWhileAnotherHoldsIt) {
    ASSERT_FALSE(anyThreadInMta());
    std::atomic<int> stage{0};
    std::thread holder([&] {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        EXPECT_EQ(hr, S_OK);
        stage = 1;
        eventually([&] { return stage.load() == 2; });
        CoUninitialize();
        stage = 3;
    });
    ASSERT_TRUE(eventually([&] { return stage.load() == 1; }));

    // This thread never called CoInitializeEx.
    IUIAutomation* uia = nullptr;
    EXPECT_EQ(createAutomation(&uia), S_OK);
    ASSERT_NE(uia, nullptr);
    EXPECT_EQ(stateHere().apartment, simdesk::Apartment::None);
    EXPECT_EQ(stateHere().comInitCount, 0);
    uia->Release();

    stage = 2;
    ASSERT_TRUE(eventually([&] { return stage.load() == 3; }));
    holder.join();
    uia = reinterpret_cast<IUIAutomation*>(1);
    EXPECT_EQ(createAutomation(&uia), CO_E_NOTINITIALIZED);  // the MTA is gone
    EXPECT_EQ(uia, nullptr);
}

TEST_F(SimOle, CoCreateInstanceReportsBadRequests) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    const CLSID wrongClsid = {0xff48dba4, 0x60ef, 0x4201, {0xaa, 0x87, 0x54, 0x10, 0x3e, 0xef, 0x59, 0x4f}};

    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(wrongClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation, &out),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(out, nullptr);

    Probe outer;
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_CUIAutomation, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(outer.refs.load(), 1u);  // not kept

    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_CUIAutomation, nullptr, CLSCTX_INPROC_SERVER, kUnknownIid, &out),
              E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(simdesk::liveCounts().com, 0);  // the object made for the refused IID is gone

    // IUnknown is fine and reaches the same object's IUIAutomation.
    IUnknown* unk = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_CUIAutomation, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&unk)),
              S_OK);
    IUIAutomation* uia = nullptr;
    EXPECT_EQ(unk->QueryInterface(IID_IUIAutomation, reinterpret_cast<void**>(&uia)), S_OK);
    ASSERT_NE(uia, nullptr);
    uia->Release();
    unk->Release();
    EXPECT_EQ(simdesk::liveCounts().com, 0);
    CoUninitialize();
}

TEST_F(SimOle, AutomationObjectCountsItsReferences) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    IUIAutomation* uia = nullptr;
    ASSERT_EQ(createAutomation(&uia), S_OK);
    EXPECT_EQ(simdesk::liveCounts().com, 1);

    EXPECT_EQ(uia->AddRef(), 2u);
    IUnknown* unk = nullptr;
    EXPECT_EQ(uia->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
    ASSERT_NE(unk, nullptr);
    // Same identity whichever interface asks for IUnknown.
    IUnknown* unk2 = nullptr;
    EXPECT_EQ(unk->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk2)), S_OK);
    EXPECT_EQ(unk2, unk);
    IUIAutomation* again = nullptr;
    EXPECT_EQ(unk->QueryInterface(IID_IUIAutomation, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, uia);

    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(uia->QueryInterface(kUnknownIid, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(uia->QueryInterface(IID_IUIAutomationElement, &none), E_NOINTERFACE);
    EXPECT_EQ(uia->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    // uia: 1 + AddRef + 3 successful QIs.
    EXPECT_EQ(again->Release(), 4u);
    EXPECT_EQ(unk2->Release(), 3u);
    EXPECT_EQ(unk->Release(), 2u);
    EXPECT_EQ(uia->Release(), 1u);
    EXPECT_EQ(simdesk::liveCounts().com, 1);
    EXPECT_EQ(uia->Release(), 0u);
    EXPECT_EQ(simdesk::liveCounts().com, 0);
    CoUninitialize();
}

TEST_F(SimOle, ElementFromHandleNeedsALiveWindow) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    IUIAutomation* uia = nullptr;
    ASSERT_EQ(createAutomation(&uia), S_OK);

    simdesk::WindowDesc desc;
    desc.className = u"Button";
    HWND top = simdesk::createWindow(desc);
    desc.parent = top;
    HWND child = simdesk::createWindow(desc);
    ASSERT_NE(child, nullptr);

    IUIAutomationElement* e = nullptr;
    ASSERT_EQ(uia->ElementFromHandle(top, &e), S_OK);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(simdesk::liveCounts().com, 2);
    IUIAutomationElement* e2 = nullptr;
    ASSERT_EQ(uia->ElementFromHandle(child, &e2), S_OK);
    EXPECT_EQ(simdesk::liveCounts().com, 3);

    IUIAutomationElement* viaQi = nullptr;
    EXPECT_EQ(e->QueryInterface(IID_IUIAutomationElement, reinterpret_cast<void**>(&viaQi)), S_OK);
    EXPECT_EQ(viaQi, e);
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(e->QueryInterface(IID_IUIAutomation, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    viaQi->Release();
    EXPECT_EQ(simdesk::liveCounts().com, 3);
    e2->Release();
    e->Release();
    EXPECT_EQ(simdesk::liveCounts().com, 1);

    IUIAutomationElement* dead = reinterpret_cast<IUIAutomationElement*>(1);
    EXPECT_EQ(uia->ElementFromHandle(nullptr, &dead), UIA_E_ELEMENTNOTAVAILABLE);
    EXPECT_EQ(dead, nullptr);
    ASSERT_TRUE(simdesk::destroyWindow(top));  // takes the child with it
    for (HWND gone : {top, child}) {
        dead = reinterpret_cast<IUIAutomationElement*>(1);
        EXPECT_EQ(uia->ElementFromHandle(gone, &dead), UIA_E_ELEMENTNOTAVAILABLE);
        EXPECT_EQ(dead, nullptr);
    }
    EXPECT_EQ(uia->ElementFromHandle(top, nullptr), E_INVALIDARG);
    EXPECT_EQ(simdesk::liveCounts().com, 1);

    EXPECT_EQ(uia->Release(), 0u);
    CoUninitialize();
}

// ---- BSTR ----

TEST_F(SimOle, BstrKeepsItsLengthAndIsCounted) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(simdesk::liveCounts().bstr, 0);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);  // a no-op

    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    EXPECT_EQ(empty[0], 0);
    EXPECT_EQ(simdesk::liveCounts().bstr, 1);

    BSTR hello = SysAllocString(u"h\u00E9llo\U0001F600");
    ASSERT_NE(hello, nullptr);
    EXPECT_EQ(SysStringLen(hello), 7u);  // UTF-16 units
    EXPECT_EQ(std::u16string(hello), u"h\u00E9llo\U0001F600");
    EXPECT_NE(static_cast<const void*>(hello), static_cast<const void*>(u"h\u00E9llo\U0001F600"));  // a copy
    // The length prefix sits in the four bytes before the text, in bytes.
    uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<const char*>(hello) - 4, 4);
    EXPECT_EQ(prefix, 14u);
    EXPECT_EQ(simdesk::liveCounts().bstr, 2);

    // Embedded NULs are kept and counted, and a terminator follows.
    const char16_t raw[] = {u'a', 0, u'b', 0, u'c', u'x'};
    BSTR withNuls = SysAllocStringLen(raw, 5);
    ASSERT_NE(withNuls, nullptr);
    EXPECT_EQ(SysStringLen(withNuls), 5u);
    EXPECT_EQ(std::u16string(withNuls, 5), std::u16string(raw, 5));
    EXPECT_EQ(withNuls[5], 0);

    // No source: room for the length, terminated.
    BSTR blank = SysAllocStringLen(nullptr, 3);
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(SysStringLen(blank), 3u);
    EXPECT_EQ(blank[3], 0);
    BSTR none = SysAllocStringLen(u"abc", 0);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(SysStringLen(none), 0u);
    EXPECT_EQ(simdesk::liveCounts().bstr, 5);

    for (BSTR b : {empty, hello, withNuls, blank, none}) SysFreeString(b);
    EXPECT_EQ(simdesk::liveCounts().bstr, 0);
}

// ---- VARIANT ----

TEST_F(SimOle, VariantClearFreesWhatTheVariantOwns) {
    VARIANT v;
    v.vt = VT_I4;
    v.lVal = 77;
    VariantInit(&v);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(v.lVal, 77);  // only the type is set

    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"text");
    EXPECT_EQ(simdesk::liveCounts().bstr, 1);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(simdesk::liveCounts().bstr, 0);

    v.vt = VT_ARRAY | VT_I4;
    v.parray = SafeArrayCreateVector(VT_I4, 0, 3);
    ASSERT_NE(v.parray, nullptr);
    EXPECT_EQ(simdesk::liveCounts().safearray, 1);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(simdesk::liveCounts().safearray, 0);

    // An array of strings takes its strings with it.
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
    BSTR s = SysAllocString(u"x");
    LONG i = 1;
    ASSERT_EQ(SafeArrayPutElement(v.parray, &i, s), S_OK);
    SysFreeString(s);
    EXPECT_EQ(simdesk::liveCounts().bstr, 1);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(simdesk::liveCounts().bstr, 0);
    EXPECT_EQ(simdesk::liveCounts().safearray, 0);

    // An interface is released exactly once.
    Probe p;
    v.vt = VT_UNKNOWN;
    v.punkVal = &p;
    p.AddRef();
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(p.refs.load(), 1u);
    EXPECT_EQ(v.vt, VT_EMPTY);

    // By reference: nothing is freed.
    BSTR kept = SysAllocString(u"kept");
    v.vt = VT_BSTR | VT_BYREF;
    v.byref = &kept;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(simdesk::liveCounts().bstr, 1);
    SysFreeString(kept);

    // Plain values: the type goes, the bits stay.
    v.vt = VT_I4;
    v.lVal = 1234;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(v.lVal, 1234);
    v.vt = VT_EMPTY;
    EXPECT_EQ(VariantClear(&v), S_OK);

    // An invalid type is refused and the variant left as it was.
    for (VARTYPE bad : {(VARTYPE)15, (VARTYPE)100, (VARTYPE)(VT_ARRAY | 15)}) {
        SCOPED_TRACE(bad);
        v.vt = bad;
        v.lVal = 5;
        EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
        EXPECT_EQ(v.vt, bad);
        EXPECT_EQ(v.lVal, 5);
    }
    v.vt = VT_EMPTY;
}

TEST_F(SimOle, VariantClearAcceptsEveryAutomationScalarType) {
    // VT_R4 4, VT_CY 6, VT_DATE 7, VT_ERROR 10, VT_I1 16, VT_UI1 17, VT_UI2 18,
    // VT_UI4 19, VT_I8 20, VT_UI8 21, VT_INT 22, VT_UINT 23: plain values that
    // own nothing. Windows clears them and leaves the value bits.
    for (VARTYPE vt : {4, 6, 7, 10, 16, 17, 18, 19, 20, 21, 22, 23}) {
        SCOPED_TRACE(vt);
        VARIANT v;
        v.vt = vt;
        v.llVal = 0x0102030405060708;
        EXPECT_EQ(VariantClear(&v), S_OK);
        EXPECT_EQ(v.vt, VT_EMPTY);
        EXPECT_EQ(v.llVal, 0x0102030405060708);
    }
}

TEST_F(SimOle, VariantClearReleasesADispatchInterface) {
    // VT_DISPATCH (9) owns its interface as VT_UNKNOWN does: one Release.
    Probe p;
    p.AddRef();
    VARIANT v;
    v.vt = 9;
    v.punkVal = &p;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(p.refs.load(), 1u);
}

// ---- SAFEARRAY ----

TEST_F(SimOle, SafeArrayVectorBoundsAndElements) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_I4, -2, 5);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(simdesk::liveCounts().safearray, 1);
    EXPECT_EQ(a->cDims, 1);
    EXPECT_EQ(a->cbElements, 4u);
    EXPECT_EQ(a->fFeatures, FADF_HAVEVARTYPE | 0x2000);  // 0x2000: made by SafeArrayCreateVector
    EXPECT_EQ(a->cLocks, 0u);

    LONG lb = 0, ub = 0;
    EXPECT_EQ(SafeArrayGetLBound(a, 1, &lb), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(a, 1, &ub), S_OK);
    EXPECT_EQ(lb, -2);
    EXPECT_EQ(ub, 2);

    for (LONG i = -2; i <= 2; ++i) {
        LONG value = 100 * i + 7;
        EXPECT_EQ(SafeArrayPutElement(a, &i, &value), S_OK);
    }
    for (LONG i = -2; i <= 2; ++i) {
        LONG value = 0;
        EXPECT_EQ(SafeArrayGetElement(a, &i, &value), S_OK);
        EXPECT_EQ(value, 100 * i + 7);
    }
    // Index 0 of the caller's numbering is the first element in memory.
    EXPECT_EQ(static_cast<LONG*>(a->pvData)[0], -193);
    // Overwriting keeps the neighbours.
    LONG i0 = 0, v = 42;
    EXPECT_EQ(SafeArrayPutElement(a, &i0, &v), S_OK);
    LONG got = 0, im1 = -1;
    EXPECT_EQ(SafeArrayGetElement(a, &i0, &got), S_OK);
    EXPECT_EQ(got, 42);
    EXPECT_EQ(SafeArrayGetElement(a, &im1, &got), S_OK);
    EXPECT_EQ(got, -93);

    // Out of range on either side.
    for (LONG bad : {-3, 3, 1000, (LONG)0x80000000}) {
        SCOPED_TRACE(bad);
        LONG sentinel = 555;
        EXPECT_EQ(SafeArrayPutElement(a, &bad, &v), DISP_E_BADINDEX);
        EXPECT_EQ(SafeArrayGetElement(a, &bad, &sentinel), DISP_E_BADINDEX);
        EXPECT_EQ(sentinel, 555);
    }
    // Null arguments.
    EXPECT_EQ(SafeArrayGetElement(nullptr, &i0, &got), E_INVALIDARG);
    EXPECT_EQ(SafeArrayPutElement(nullptr, &i0, &v), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetElement(a, nullptr, &got), E_INVALIDARG);
    EXPECT_EQ(SafeArrayPutElement(a, nullptr, &v), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetElement(a, &i0, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &lb), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetUBound(nullptr, 1, &ub), E_INVALIDARG);
    // Dimensions are 1-based and a vector has one.
    lb = ub = 12345;
    EXPECT_EQ(SafeArrayGetLBound(a, 0, &lb), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetLBound(a, 2, &lb), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(a, 0, &ub), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(a, 2, &ub), DISP_E_BADINDEX);
    EXPECT_EQ(lb, 12345);
    EXPECT_EQ(ub, 12345);

    // A locked array is neither destroyed nor cleared out of a variant.
    a->cLocks = 1;
    EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
    VARIANT holder;
    holder.vt = VT_ARRAY | VT_I4;
    holder.parray = a;
    EXPECT_EQ(VariantClear(&holder), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(holder.vt, VT_ARRAY | VT_I4);
    EXPECT_EQ(holder.parray, a);
    EXPECT_EQ(simdesk::liveCounts().safearray, 1);
    EXPECT_EQ(SafeArrayGetElement(a, &i0, &got), S_OK);  // still readable
    EXPECT_EQ(got, 42);
    a->cLocks = 0;

    EXPECT_EQ(SafeArrayDestroy(a), S_OK);
    EXPECT_EQ(simdesk::liveCounts().safearray, 0);
    EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST_F(SimOle, SafeArrayEmptyAndUnsupportedVectors) {
    SAFEARRAY* empty = SafeArrayCreateVector(VT_I4, 42, 0);
    ASSERT_NE(empty, nullptr);
    LONG lb = 0, ub = 0;
    EXPECT_EQ(SafeArrayGetLBound(empty, 1, &lb), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(empty, 1, &ub), S_OK);
    EXPECT_EQ(lb, 42);
    EXPECT_EQ(ub, 41);
    LONG i = 42, v = 0;
    EXPECT_EQ(SafeArrayGetElement(empty, &i, &v), DISP_E_BADINDEX);
    SAFEARRAY* emptyAtZero = SafeArrayCreateVector(VT_I4, 0, 0);
    ASSERT_NE(emptyAtZero, nullptr);
    EXPECT_EQ(SafeArrayGetUBound(emptyAtZero, 1, &ub), S_OK);
    EXPECT_EQ(ub, -1);
    EXPECT_EQ(simdesk::liveCounts().safearray, 2);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
    EXPECT_EQ(SafeArrayDestroy(emptyAtZero), S_OK);

    // An upper bound past the 32-bit range cannot be reported.
    SAFEARRAY* high = SafeArrayCreateVector(VT_I4, 0x7FFFFFFF, 2);
    ASSERT_NE(high, nullptr);
    EXPECT_EQ(SafeArrayGetUBound(high, 1, &ub), DISP_E_OVERFLOW);
    EXPECT_EQ(SafeArrayDestroy(high), S_OK);

    EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 4), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_NULL, 0, 4), nullptr);
    EXPECT_EQ(simdesk::liveCounts().safearray, 0);
}

TEST_F(SimOle, SafeArrayOwnsCopiesOfStringsAndInterfaces) {
    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 0, 2);
    ASSERT_NE(strings, nullptr);
    BSTR src = SysAllocString(u"abc");
    LONG i = 0;
    ASSERT_EQ(SafeArrayPutElement(strings, &i, src), S_OK);
    EXPECT_EQ(simdesk::liveCounts().bstr, 2);  // the array holds its own copy
    SysFreeString(src);
    BSTR out = nullptr;
    ASSERT_EQ(SafeArrayGetElement(strings, &i, &out), S_OK);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::u16string(out), u"abc");
    EXPECT_EQ(simdesk::liveCounts().bstr, 2);  // and the caller gets another
    SysFreeString(out);
    // Replacing an element frees the old one.
    BSTR next = SysAllocString(u"xyz");
    ASSERT_EQ(SafeArrayPutElement(strings, &i, next), S_OK);
    SysFreeString(next);
    EXPECT_EQ(simdesk::liveCounts().bstr, 1);
    // An element never written reads as null.
    LONG j = 1;
    out = reinterpret_cast<BSTR>(1);
    ASSERT_EQ(SafeArrayGetElement(strings, &j, &out), S_OK);
    EXPECT_EQ(out, nullptr);
    // A null string is stored as null, freeing what the slot held.
    ASSERT_EQ(SafeArrayPutElement(strings, &i, nullptr), S_OK);
    EXPECT_EQ(simdesk::liveCounts().bstr, 0);
    EXPECT_EQ(SafeArrayDestroy(strings), S_OK);

    Probe p;
    SAFEARRAY* objects = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
    ASSERT_NE(objects, nullptr);
    ASSERT_EQ(SafeArrayPutElement(objects, &i, &p), S_OK);
    EXPECT_EQ(p.refs.load(), 2u);
    IUnknown* got = nullptr;
    ASSERT_EQ(SafeArrayGetElement(objects, &i, &got), S_OK);
    EXPECT_EQ(got, &p);
    EXPECT_EQ(p.refs.load(), 3u);
    got->Release();
    ASSERT_EQ(SafeArrayPutElement(objects, &i, nullptr), S_OK);  // clears the slot
    EXPECT_EQ(p.refs.load(), 1u);
    ASSERT_EQ(SafeArrayPutElement(objects, &i, &p), S_OK);
    EXPECT_EQ(SafeArrayDestroy(objects), S_OK);
    EXPECT_EQ(p.refs.load(), 1u);
    EXPECT_EQ(simdesk::liveCounts().safearray, 0);
}

}  // namespace
