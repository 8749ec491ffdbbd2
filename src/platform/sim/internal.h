// Shared internals of the simulated desktop: the table of platform calls
// with their counters and injected faults, the live-object counters, and the
// per-thread state (apartment, message queue).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "simdesk.h"

namespace simdesk::detail {

// How a call reports an injected failure.
enum class FailKind {
    Never,       // cannot fail (void results, plain getters)
    Hresult,     // returns the injected HRESULT
    Null,        // returns null (allocation failure)
    LastError,   // sets the last error to the injected code, returns its failure value
};

// Every platform function of the desktop, with how it fails.
#define SIMDESK_CALLS(X)                       \
    X(GetLastError, Never)                     \
    X(SetLastError, Never)                     \
    X(GetCurrentThreadId, Never)               \
    X(QueryPerformanceCounter, LastError)      \
    X(QueryPerformanceFrequency, LastError)    \
    X(Sleep, Never)                            \
    X(InitializeSRWLock, Never)                \
    X(AcquireSRWLockShared, Never)             \
    X(ReleaseSRWLockShared, Never)             \
    X(AcquireSRWLockExclusive, Never)          \
    X(ReleaseSRWLockExclusive, Never)          \
    X(TryAcquireSRWLockExclusive, Never)       \
    X(TryAcquireSRWLockShared, Never)          \
    X(MultiByteToWideChar, LastError)          \
    X(CoInitializeEx, Hresult)                 \
    X(CoUninitialize, Never)                   \
    X(CoCreateInstance, Hresult)               \
    X(SysAllocString, Null)                    \
    X(SysAllocStringLen, Null)                 \
    X(SysFreeString, Never)                    \
    X(SysStringLen, Never)                     \
    X(VariantInit, Never)                      \
    X(VariantClear, Hresult)                   \
    X(SafeArrayCreateVector, Null)             \
    X(SafeArrayPutElement, Hresult)            \
    X(SafeArrayGetElement, Hresult)            \
    X(SafeArrayGetLBound, Hresult)             \
    X(SafeArrayGetUBound, Hresult)             \
    X(SafeArrayDestroy, Hresult)               \
    X(EnumChildWindows, LastError)             \
    X(GetClassNameW, LastError)                \
    X(GetWindowTextW, LastError)               \
    X(GetWindowRect, LastError)                \
    X(IsWindow, LastError)                     \
    X(GetAncestor, LastError)                  \
    X(IsWindowEnabled, LastError)              \
    X(IsWindowVisible, LastError)              \
    X(MsgWaitForMultipleObjects, LastError)    \
    X(PeekMessageW, LastError)                 \
    X(TranslateMessage, Never)                 \
    X(DispatchMessageW, LastError)             \
    X(PostThreadMessageW, LastError)           \
    X(ScreenToClient, LastError)               \
    X(WindowFromPoint, Null)                   \
    X(SetCursorPos, LastError)                 \
    X(GetCursorPos, LastError)                 \
    X(PostMessageW, LastError)                 \
    X(SendMessageW, LastError)                 \
    X(SendMessageTimeoutW, LastError)          \
    X(ElementFromHandle, Hresult)              \
    X(CreateCacheRequest, Hresult)             \
    X(CreateTrueCondition, Hresult)            \
    X(CreatePropertyCondition, Hresult)        \
    X(RemoveAllEventHandlers, Hresult)         \
    X(get_BooleanValue, Hresult)               \
    X(get_PropertyId, Hresult)                 \
    X(get_PropertyValue, Hresult)              \
    X(AddProperty, Hresult)                    \
    X(get_TreeScope, Hresult)                  \
    X(put_TreeScope, Hresult)                  \
    X(get_AutomationElementMode, Hresult)      \
    X(put_AutomationElementMode, Hresult)      \
    X(get_Length, Hresult)                     \
    X(GetElement, Hresult)                     \
    X(GetRuntimeId, Hresult)                   \
    X(FindFirst, Hresult)                      \
    X(FindAll, Hresult)                        \
    X(FindAllBuildCache, Hresult)              \
    X(GetCurrentPropertyValue, Hresult)        \
    X(GetCachedPropertyValue, Hresult)         \
    X(get_CurrentControlType, Hresult)         \
    X(get_CurrentName, Hresult)                \
    X(get_CurrentIsEnabled, Hresult)           \
    X(get_CurrentAutomationId, Hresult)        \
    X(get_CurrentClassName, Hresult)           \
    X(get_CurrentNativeWindowHandle, Hresult)  \
    X(get_CurrentBoundingRectangle, Hresult)   \
    X(get_CachedControlType, Hresult)          \
    X(get_CachedName, Hresult)                 \
    X(get_CachedIsEnabled, Hresult)            \
    X(get_CachedAutomationId, Hresult)         \
    X(get_CachedClassName, Hresult)            \
    X(get_CachedNativeWindowHandle, Hresult)   \
    X(get_CachedBoundingRectangle, Hresult)    \
    X(SetFocus, Hresult)                       \
    X(GetCurrentPatternAs, Hresult)            \
    X(Invoke, Hresult)                         \
    X(SetValue, Hresult)                       \
    X(get_CurrentValue, Hresult)               \
    X(get_CurrentIsReadOnly, Hresult)          \
    X(Scroll, Hresult)                         \
    X(get_CurrentVerticalScrollPercent, Hresult) \
    X(Select, Hresult)                         \
    X(get_CurrentIsSelected, Hresult)          \
    X(Expand, Hresult)                         \
    X(Collapse, Hresult)                       \
    X(get_CurrentExpandCollapseState, Hresult) \
    X(AddStructureChangedEventHandler, Hresult) \
    X(AddPropertyChangedEventHandler, Hresult) \
    X(AddFocusChangedEventHandler, Hresult)

enum class Call : int {
#define SIMDESK_ENUM(name, kind) name,
    SIMDESK_CALLS(SIMDESK_ENUM)
#undef SIMDESK_ENUM
        Count
};

// Counts the call and tells whether an injected fault hits it; `code` gets
// the injected code when it does.
bool enter(Call call, int32_t* code);

#define SIM_ENTER(name) \
    [[maybe_unused]] int32_t simFaultCode_ = 0; \
    [[maybe_unused]] const bool simFault_ = ::simdesk::detail::enter(::simdesk::detail::Call::name, &simFaultCode_)
#define SIM_FAIL_HR() \
    if (simFault_) return (HRESULT)simFaultCode_
// For calls with a pointer out-value: an injected code, even S_OK, comes back
// with the out-value null.
#define SIM_FAIL_HR_NULL(out) \
    if (simFault_) { *(out) = nullptr; return (HRESULT)simFaultCode_; }
#define SIM_FAIL_LE(result) \
    if (simFault_) { ::simdesk::detail::setLastError((DWORD)simFaultCode_); return result; }
#define SIM_FAIL_NULL() \
    if (simFault_) return nullptr

void setLastError(DWORD code);

// ---- Live objects ----

struct Live {
    std::atomic<long> com{0};
    std::atomic<long> bstr{0};
    std::atomic<long> safearray{0};
    std::atomic<long> variant{0};
};
Live& live();

// A VARIANT the desktop filled with a resource; counted until VariantClear.
void variantFilled(VARIANT* v);
// True when the VARIANT was filled by the desktop (and forgets it).
void variantCleared(VARIANT* v);

// Base of every COM object of the desktop: one interface, atomic count,
// counted while alive.
template <class Iface>
class ComObject : public Iface {
public:
    explicit ComObject(const IID& iid) : iid_(iid) { live().com.fetch_add(1); }
    virtual ~ComObject() { live().com.fetch_sub(1); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid_)) {
            *ppv = static_cast<Iface*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1) + 1; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG n = refs_.fetch_sub(1) - 1;
        if (n == 0) delete this;
        return n;
    }

private:
    std::atomic<ULONG> refs_{1};
    const IID& iid_;
};

// ---- BSTR and SAFEARRAY without the counted public calls ----
// Objects the desktop hands out are counted as live all the same.

BSTR allocBstr(const OLECHAR* src, UINT len);
void freeBstr(BSTR s);
UINT bstrLength(BSTR s);
SAFEARRAY* createArray(VARTYPE vt, LONG lbound, ULONG count);
HRESULT destroyArray(SAFEARRAY* psa);
// The element type of an array the desktop made; VT_EMPTY for anything else.
VARTYPE arrayType(SAFEARRAY* psa);

// ---- Cross-process calls ----

// How long a call that reaches an element's provider waits while the thread
// behind it does not answer: up to the connection timeout (obtaining an
// element) or the transaction timeout (anything else), then UIA_E_TIMEOUT.
// HostProperty: a window's rectangle or handle, which a window's element
// reads in the client without its thread (a transaction for any other).
enum class ProviderWait { Connection, Transaction, HostProperty };

// Which UI Automation object a call came through: CUIAutomation8 gives up on
// a hung provider after its timeouts; CUIAutomation waits until it answers.
enum class Patience { TimesOut, Unbounded };

// A call that crosses into the target process: counted, and it takes the
// configured latency. Never called with desk().m held.
void crossProcessCall();
// The same for a call that reaches element `id`'s provider, which may first
// wait on it and time out (S_OK at once for a responsive or unknown element).
HRESULT crossProcessCall(ElementId id, ProviderWait wait, Patience patience);
// The two halves of such a call that reads the target: what it read is older
// than the moment it returns, as it is across processes. The reply follows
// only a request that succeeded.
HRESULT crossProcessRequest(ElementId id, ProviderWait wait, Patience patience);
void crossProcessReply();
void resetCrossProcessCalls();
// Elements whose values a cache request carried back across the process line.
void countTransferred(int64_t elements);

// ---- Threads ----

struct ThreadData {
    DWORD id = 0;
    std::mutex m;  // guards everything below
    std::condition_variable cv;
    bool alive = true;
    Apartment apartment = Apartment::None;
    int comCount = 0;
    bool hasQueue = false;
    bool newInput = false;  // posted since the queue was last looked at
    std::deque<MSG> queue;
    uint64_t waits = 0;
    uint64_t waitTimeouts = 0;
    DWORD lastWaitResult = 0;
    uint64_t removed = 0;
};

// The calling thread's record (created on first use).
ThreadData& currentThread();
// Windows' USERPostMessageLimit: posted messages a queue may hold.
constexpr size_t kPostedLimit = 10000;
// Queues a thread message; 0, or the error code when it cannot. `own`: the
// caller's own thread, whose queue the call creates.
DWORD postToThread(ThreadData& t, bool own, UINT message, WPARAM wParam, LPARAM lParam);
std::shared_ptr<ThreadData> findThread(DWORD id);
// Number of threads currently in the multithreaded apartment.
std::atomic<int>& mtaMembers();

// The class factory of CUIAutomation (Unbounded) and CUIAutomation8 (TimesOut).
HRESULT createAutomation(REFIID riid, void** ppv, Patience patience);
// Whether CUIAutomation8 is registered (false: a system older than Windows 8).
bool automation8Registered();

void resetThreads();
// Back to the cursor at (0, 0) and no focus.
void resetInput();

}  // namespace simdesk::detail
