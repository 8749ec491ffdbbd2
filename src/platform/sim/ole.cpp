// ole32 and oleaut32: apartments, CoCreateInstance, BSTR, VARIANT and
// one-dimensional SAFEARRAY.
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>

#include "internal.h"

using namespace simdesk;
using namespace simdesk::detail;

// ---- Apartments ----

SIMAPI HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD coInit) {
    SIM_ENTER(CoInitializeEx);
    SIM_FAIL_HR();
    if (reserved) return E_INVALIDARG;
    Apartment want = (coInit & COINIT_APARTMENTTHREADED) ? Apartment::Sta : Apartment::Mta;
    ThreadData& t = currentThread();
    std::lock_guard<std::mutex> g(t.m);
    if (t.comCount == 0) {
        t.apartment = want;
        t.comCount = 1;
        if (want == Apartment::Mta) mtaMembers().fetch_add(1);
        // An STA gets its hidden window, and with it the thread's queue.
        if (want == Apartment::Sta) t.hasQueue = true;
        return S_OK;
    }
    // A failed change of model does not count, so it owes no CoUninitialize.
    if (t.apartment != want) return RPC_E_CHANGED_MODE;
    ++t.comCount;
    return S_FALSE;
}

SIMAPI void WINAPI CoUninitialize(void) {
    SIM_ENTER(CoUninitialize);
    ThreadData& t = currentThread();
    std::lock_guard<std::mutex> g(t.m);
    if (t.comCount == 0) return;  // mismatched: ignored, as ole32 does
    if (--t.comCount == 0) {
        if (t.apartment == Apartment::Mta) mtaMembers().fetch_sub(1);
        t.apartment = Apartment::None;
    }
}

SIMAPI HRESULT WINAPI CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                                       LPVOID* ppv) {
    SIM_ENTER(CoCreateInstance);
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    SIM_FAIL_HR();
    {
        ThreadData& t = currentThread();
        std::lock_guard<std::mutex> g(t.m);
        // A thread outside any apartment is an implicit MTA member while
        // some other thread keeps the MTA alive.
        if (t.comCount == 0 && mtaMembers().load() == 0) return CO_E_NOTINITIALIZED;
    }
    // Both classes yield IUIAutomation; CUIAutomation8 is registered from
    // Windows 8 on, and a desktop can be told it is older.
    const bool eight = IsEqualCLSID(clsid, CLSID_CUIAutomation8) && automation8Registered();
    if ((!eight && !IsEqualCLSID(clsid, CLSID_CUIAutomation)) || !(context & CLSCTX_INPROC_SERVER))
        return REGDB_E_CLASSNOTREG;
    if (outer) return CLASS_E_NOAGGREGATION;
    return createAutomation(riid, ppv, eight ? Patience::TimesOut : Patience::Unbounded);
}

// ---- BSTR ----
// Layout: an 8-byte header (a tag, then the byte length that SysStringLen
// reads in the 4 bytes just before the text), the UTF-16 text, and a
// terminating NUL. The tag catches frees of foreign or freed strings.

namespace {

// The feature flag Windows sets on arrays made by SafeArrayCreateVector (the
// SDK headers do not name it).
constexpr USHORT kCreatedAsVector = 0x2000;
constexpr uint32_t kBstrTag = 0x52545342;   // "BSTR"
constexpr uint32_t kBstrDead = 0x44414544;  // "DEAD"

struct BstrHeader {
    uint32_t tag;
    uint32_t bytes;
};

BstrHeader* headerOf(BSTR s) { return reinterpret_cast<BstrHeader*>(s) - 1; }

[[noreturn]] void corrupt(const char* what) {
    std::fprintf(stderr, "simdesk: %s\n", what);
    std::abort();
}

}  // namespace

BSTR simdesk::detail::allocBstr(const OLECHAR* src, UINT len) {
    auto* h = static_cast<BstrHeader*>(std::malloc(sizeof(BstrHeader) + (len + 1) * sizeof(OLECHAR)));
    if (!h) return nullptr;
    h->tag = kBstrTag;
    h->bytes = len * sizeof(OLECHAR);
    BSTR s = reinterpret_cast<BSTR>(h + 1);
    if (src)
        std::memcpy(s, src, len * sizeof(OLECHAR));
    else
        std::memset(s, 0, len * sizeof(OLECHAR));
    s[len] = 0;
    live().bstr.fetch_add(1);
    return s;
}

void simdesk::detail::freeBstr(BSTR s) {
    if (!s) return;
    BstrHeader* h = headerOf(s);
    if (h->tag != kBstrTag) corrupt(h->tag == kBstrDead ? "BSTR freed twice" : "SysFreeString of a foreign pointer");
    h->tag = kBstrDead;
    live().bstr.fetch_sub(1);
    std::free(h);
}

UINT simdesk::detail::bstrLength(BSTR s) { return s ? headerOf(s)->bytes / sizeof(OLECHAR) : 0; }

static BSTR copyBstr(BSTR s) { return s ? allocBstr(s, headerOf(s)->bytes / sizeof(OLECHAR)) : nullptr; }

SIMAPI BSTR WINAPI SysAllocString(const OLECHAR* psz) {
    SIM_ENTER(SysAllocString);
    SIM_FAIL_NULL();
    if (!psz) return nullptr;
    UINT n = 0;
    while (psz[n]) ++n;
    return allocBstr(psz, n);
}

SIMAPI BSTR WINAPI SysAllocStringLen(const OLECHAR* src, UINT len) {
    SIM_ENTER(SysAllocStringLen);
    SIM_FAIL_NULL();
    if (len > 0x3FFFFFF0u) return nullptr;
    return allocBstr(src, len);
}

SIMAPI void WINAPI SysFreeString(BSTR s) {
    SIM_ENTER(SysFreeString);
    freeBstr(s);
}

SIMAPI UINT WINAPI SysStringLen(BSTR s) {
    SIM_ENTER(SysStringLen);
    return bstrLength(s);
}

// ---- SAFEARRAY ----
// One allocation: a private header (tag and element type, where Windows
// keeps the VARTYPE just before the descriptor), the descriptor, the data.

namespace {

constexpr uint32_t kArrayTag = 0x59415241;  // "ARAY"

struct ArrayHeader {
    uint32_t tag;
    VARTYPE vt;
};

struct ArrayBlock {
    ArrayHeader header;
    SAFEARRAY desc;
};

ArrayBlock* blockOf(SAFEARRAY* psa) {
    return reinterpret_cast<ArrayBlock*>(reinterpret_cast<char*>(psa) - offsetof(ArrayBlock, desc));
}

ULONG elementSize(VARTYPE vt) {
    switch (vt) {
        case VT_I4: return sizeof(LONG);
        case VT_R8: return sizeof(double);
        case VT_BSTR: return sizeof(BSTR);
        case VT_UNKNOWN: return sizeof(IUnknown*);
        default: return 0;
    }
}

HRESULT checkIndex(SAFEARRAY* psa, LONG* idx) {
    if (!psa || !idx) return E_INVALIDARG;
    const SAFEARRAYBOUND& b = psa->rgsabound[0];
    if (*idx < b.lLbound || (int64_t)*idx >= (int64_t)b.lLbound + b.cElements) return DISP_E_BADINDEX;
    return S_OK;
}

void* slot(SAFEARRAY* psa, LONG idx) {
    return static_cast<char*>(psa->pvData) + (size_t)(idx - psa->rgsabound[0].lLbound) * psa->cbElements;
}

}  // namespace

SAFEARRAY* simdesk::detail::createArray(VARTYPE vt, LONG lbound, ULONG count) {
    ULONG size = elementSize(vt);
    if (size == 0) return nullptr;
    if (count > 0x10000000u) return nullptr;
    size_t bytes = sizeof(ArrayBlock) + (size_t)count * size;
    auto* block = static_cast<ArrayBlock*>(std::calloc(1, bytes));
    if (!block) return nullptr;
    block->header.tag = kArrayTag;
    block->header.vt = vt;
    SAFEARRAY* psa = &block->desc;
    psa->cDims = 1;
    psa->fFeatures = FADF_HAVEVARTYPE | kCreatedAsVector;
    psa->cbElements = size;
    psa->cLocks = 0;
    psa->pvData = block + 1;
    psa->rgsabound[0].cElements = count;
    psa->rgsabound[0].lLbound = lbound;
    live().safearray.fetch_add(1);
    return psa;
}

VARTYPE simdesk::detail::arrayType(SAFEARRAY* psa) {
    if (!psa) return VT_EMPTY;
    ArrayBlock* block = blockOf(psa);
    return block->header.tag == kArrayTag ? block->header.vt : (VARTYPE)VT_EMPTY;
}

SIMAPI SAFEARRAY* WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lbound, ULONG count) {
    SIM_ENTER(SafeArrayCreateVector);
    SIM_FAIL_NULL();
    return createArray(vt, lbound, count);
}

SIMAPI HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* psa, LONG* idx, void* pv) {
    SIM_ENTER(SafeArrayPutElement);
    SIM_FAIL_HR();
    HRESULT hr = checkIndex(psa, idx);
    if (FAILED(hr)) return hr;
    VARTYPE vt = blockOf(psa)->header.vt;
    // A null string or interface is a value of its own; a null pointer to a
    // plain value is a caller's error.
    if (!pv && vt != VT_BSTR && vt != VT_UNKNOWN) return E_INVALIDARG;
    void* dst = slot(psa, *idx);
    switch (vt) {
        case VT_BSTR: {
            BSTR src = static_cast<BSTR>(pv);
            BSTR copy = copyBstr(src);
            if (src && !copy) return E_OUTOFMEMORY;
            BSTR* cell = static_cast<BSTR*>(dst);
            freeBstr(*cell);
            *cell = copy;
            break;
        }
        case VT_UNKNOWN: {
            IUnknown* src = static_cast<IUnknown*>(pv);
            IUnknown** cell = static_cast<IUnknown**>(dst);
            if (src) src->AddRef();
            if (*cell) (*cell)->Release();
            *cell = src;
            break;
        }
        default:
            std::memcpy(dst, pv, psa->cbElements);
    }
    return S_OK;
}

SIMAPI HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* psa, LONG* idx, void* pv) {
    SIM_ENTER(SafeArrayGetElement);
    SIM_FAIL_HR();
    HRESULT hr = checkIndex(psa, idx);
    if (FAILED(hr)) return hr;
    if (!pv) return E_INVALIDARG;
    void* src = slot(psa, *idx);
    switch (blockOf(psa)->header.vt) {
        case VT_BSTR: {
            BSTR s = *static_cast<BSTR*>(src);
            BSTR copy = copyBstr(s);
            if (s && !copy) return E_OUTOFMEMORY;
            *static_cast<BSTR*>(pv) = copy;
            break;
        }
        case VT_UNKNOWN: {
            IUnknown* p = *static_cast<IUnknown**>(src);
            if (p) p->AddRef();
            *static_cast<IUnknown**>(pv) = p;
            break;
        }
        default:
            std::memcpy(pv, src, psa->cbElements);
    }
    return S_OK;
}

SIMAPI HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT dim, LONG* out) {
    SIM_ENTER(SafeArrayGetLBound);
    SIM_FAIL_HR();
    if (!psa || !out) return E_INVALIDARG;
    if (dim == 0 || dim > psa->cDims) return DISP_E_BADINDEX;
    *out = psa->rgsabound[0].lLbound;
    return S_OK;
}

SIMAPI HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT dim, LONG* out) {
    SIM_ENTER(SafeArrayGetUBound);
    SIM_FAIL_HR();
    if (!psa || !out) return E_INVALIDARG;
    if (dim == 0 || dim > psa->cDims) return DISP_E_BADINDEX;
    // An empty dimension reports one below its lower bound.
    int64_t upper = (int64_t)psa->rgsabound[0].lLbound + psa->rgsabound[0].cElements - 1;
    if (upper > INT32_MAX) return DISP_E_OVERFLOW;
    *out = (LONG)upper;
    return S_OK;
}

HRESULT simdesk::detail::destroyArray(SAFEARRAY* psa) {
    if (!psa) return S_OK;
    ArrayBlock* block = blockOf(psa);
    if (block->header.tag != kArrayTag) corrupt("SafeArrayDestroy of a destroyed or foreign array");
    if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
    for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
        void* cell = static_cast<char*>(psa->pvData) + (size_t)i * psa->cbElements;
        if (block->header.vt == VT_BSTR)
            freeBstr(*static_cast<BSTR*>(cell));
        else if (block->header.vt == VT_UNKNOWN && *static_cast<IUnknown**>(cell))
            (*static_cast<IUnknown**>(cell))->Release();
    }
    block->header.tag = 0;
    live().safearray.fetch_sub(1);
    std::free(block);
    return S_OK;
}

SIMAPI HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* psa) {
    SIM_ENTER(SafeArrayDestroy);
    SIM_FAIL_HR();
    return destroyArray(psa);
}

// ---- VARIANT ----

SIMAPI void WINAPI VariantInit(VARIANTARG* v) {
    SIM_ENTER(VariantInit);
    v->vt = VT_EMPTY;  // the value bits are not touched
}

SIMAPI HRESULT WINAPI VariantClear(VARIANTARG* v) {
    SIM_ENTER(VariantClear);
    SIM_FAIL_HR();
    VARTYPE vt = v->vt;
    if (vt & VT_BYREF) {
        v->vt = VT_EMPTY;
        variantCleared(v);
        return S_OK;
    }
    if (vt & VT_ARRAY) {
        VARTYPE base = vt & ~VT_ARRAY;
        if (base != VT_I4 && base != VT_R8 && base != VT_BSTR && base != VT_UNKNOWN) return DISP_E_BADVARTYPE;
        HRESULT hr = destroyArray(v->parray);
        if (FAILED(hr)) return hr;
    } else {
        switch (vt) {
            // Plain values own nothing; their bits are left as they are.
            case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY:
            case VT_DATE: case VT_ERROR: case VT_BOOL: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4:
            case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
                break;
            case VT_BSTR: freeBstr(v->bstrVal); break;
            case VT_UNKNOWN:
            case VT_DISPATCH:  // one Release, as for VT_UNKNOWN
                if (v->punkVal) v->punkVal->Release();
                break;
            default: return DISP_E_BADVARTYPE;
        }
    }
    v->vt = VT_EMPTY;
    variantCleared(v);
    return S_OK;
}
