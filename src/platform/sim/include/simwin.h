// The simulated Windows desktop: the subset of the Windows SDK that the core
// uses, with the SDK's names, types, constants and return codes. Included
// only through src/platform/winapi.h, never directly by core code.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK
#define STDMETHODCALLTYPE
#define SIMAPI extern "C" __attribute__((visibility("default")))

// ---- Basic types (LLP64 widths, as on 64-bit Windows) ----------------------

typedef int BOOL;
typedef unsigned char BYTE;
typedef BYTE BOOLEAN;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef void* LPVOID;
typedef void* PVOID;
typedef void* HANDLE;
typedef char16_t WCHAR;
typedef WCHAR OLECHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const char* LPCCH;
typedef WCHAR* LPWSTR;
typedef OLECHAR* BSTR;
typedef const OLECHAR* LPCOLESTR;
typedef LONG HRESULT;
typedef LONG SCODE;
typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef ULONG_PTR DWORD_PTR;
typedef DWORD_PTR* PDWORD_PTR;

struct HWND__ {
    int unused;
};
typedef HWND__* HWND;

typedef int PROPERTYID;
typedef int PATTERNID;
typedef int EVENTID;
typedef int CONTROLTYPEID;
typedef void* UIA_HWND;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
} LARGE_INTEGER;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT, *LPPOINT;

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *LPRECT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;

// ---- HRESULTs and error codes ----------------------------------------------

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)
#define E_FAIL ((HRESULT)0x80004005)
#define E_UNEXPECTED ((HRESULT)0x8000FFFF)
#define E_ACCESSDENIED ((HRESULT)0x80070005)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110)
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008)
#define DISP_E_OVERFLOW ((HRESULT)0x8002000A)
#define DISP_E_BADINDEX ((HRESULT)0x8002000B)
#define DISP_E_ARRAYISLOCKED ((HRESULT)0x8002000D)
// Plain unsigned literals, as the SDK defines them (no HRESULT cast).
#define UIA_E_ELEMENTNOTENABLED 0x80040200
#define UIA_E_ELEMENTNOTAVAILABLE 0x80040201
#define UIA_E_NOTSUPPORTED 0x80040204
#define UIA_E_INVALIDOPERATION 0x80131509
#define UIA_E_TIMEOUT 0x80131505

#define ERROR_SUCCESS 0L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_MESSAGE_SYNC_ONLY 1159L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_INVALID_THREAD_ID 1444L
#define ERROR_TIMEOUT 1460L
#define ERROR_NOT_ENOUGH_QUOTA 1816L
#define ERROR_INVALID_STATE 5023L

#define FACILITY_WIN32 7
inline HRESULT HRESULT_FROM_WIN32(unsigned long x) {
    return (HRESULT)(x) <= 0 ? (HRESULT)(x)
                             : (HRESULT)(((x)&0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000);
}

// ---- GUIDs ------------------------------------------------------------------

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }

SIMAPI const IID IID_IUnknown;
SIMAPI const CLSID CLSID_CUIAutomation;
SIMAPI const CLSID CLSID_CUIAutomation8;
SIMAPI const IID IID_IUIAutomation;
SIMAPI const IID IID_IUIAutomationElement;

// ---- kernel32 ---------------------------------------------------------------

typedef struct _RTL_SRWLOCK {
    PVOID Ptr;
} SRWLOCK, *PSRWLOCK;
#define SRWLOCK_INIT {0}

#define INFINITE 0xFFFFFFFF
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008

SIMAPI DWORD WINAPI GetLastError(void);
SIMAPI void WINAPI SetLastError(DWORD dwErrCode);
SIMAPI DWORD WINAPI GetCurrentThreadId(void);
SIMAPI BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
SIMAPI BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);
SIMAPI void WINAPI Sleep(DWORD dwMilliseconds);
SIMAPI void WINAPI InitializeSRWLock(PSRWLOCK SRWLock);
SIMAPI void WINAPI AcquireSRWLockShared(PSRWLOCK SRWLock);
SIMAPI void WINAPI ReleaseSRWLockShared(PSRWLOCK SRWLock);
SIMAPI void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock);
SIMAPI void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock);
SIMAPI BOOLEAN WINAPI TryAcquireSRWLockExclusive(PSRWLOCK SRWLock);
SIMAPI BOOLEAN WINAPI TryAcquireSRWLockShared(PSRWLOCK SRWLock);
SIMAPI int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                                      int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);

// ---- ole32 / oleaut32 ---------------------------------------------------------

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

enum tagCOINIT { COINIT_MULTITHREADED = 0x0, COINIT_APARTMENTTHREADED = 0x2 };
enum tagCLSCTX { CLSCTX_INPROC_SERVER = 0x1 };

enum VARENUM {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
};

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

typedef struct tagSAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
} SAFEARRAYBOUND;

typedef struct tagSAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY;

#define FADF_HAVEVARTYPE 0x0080

typedef struct tagVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        BSTR bstrVal;
        IUnknown* punkVal;
        SAFEARRAY* parray;
        PVOID byref;
        // A record (VT_RECORD): never used here, but it sets the size.
        struct {
            PVOID pvRecord;
            PVOID pRecInfo;
        };
    };
} VARIANT, VARIANTARG;

SIMAPI HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
SIMAPI void WINAPI CoUninitialize(void);
SIMAPI HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext,
                                       REFIID riid, LPVOID* ppv);

SIMAPI BSTR WINAPI SysAllocString(const OLECHAR* psz);
SIMAPI BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui);
SIMAPI void WINAPI SysFreeString(BSTR bstrString);
SIMAPI UINT WINAPI SysStringLen(BSTR pbstr);
SIMAPI void WINAPI VariantInit(VARIANTARG* pvarg);
SIMAPI HRESULT WINAPI VariantClear(VARIANTARG* pvarg);
SIMAPI SAFEARRAY* WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
SIMAPI HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
SIMAPI HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
SIMAPI HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
SIMAPI HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
SIMAPI HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* psa);

// ---- user32 -------------------------------------------------------------------

typedef BOOL(CALLBACK* WNDENUMPROC)(HWND, LPARAM);

#define WM_NULL 0x0000
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_QUIT 0x0012
#define WM_USER 0x0400
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
// The value of the SDK for Windows 8 and later (QS_INPUT includes raw input,
// touch and pointer input there).
#define QS_ALLINPUT 0x1CFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_TIMEOUT 258L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)

#define WM_MOUSEMOVE 0x0200
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202
#define WM_MOUSEWHEEL 0x020A
#define WM_CHAR 0x0102
#define MK_LBUTTON 0x0001
#define WHEEL_DELTA 120
#define SMTO_NORMAL 0x0000
#define SMTO_BLOCK 0x0001
#define SMTO_ABORTIFHUNG 0x0002

#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKELONG(a, b) ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff))) << 16))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))

SIMAPI BOOL WINAPI ScreenToClient(HWND hWnd, LPPOINT lpPoint);
SIMAPI HWND WINAPI WindowFromPoint(POINT Point);
SIMAPI BOOL WINAPI SetCursorPos(int X, int Y);
SIMAPI BOOL WINAPI GetCursorPos(LPPOINT lpPoint);
SIMAPI BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
SIMAPI LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
SIMAPI LRESULT WINAPI SendMessageTimeoutW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                                          UINT uTimeout, PDWORD_PTR lpdwResult);
SIMAPI BOOL WINAPI EnumChildWindows(HWND hWndParent, WNDENUMPROC lpEnumFunc, LPARAM lParam);
SIMAPI int WINAPI GetClassNameW(HWND hWnd, LPWSTR lpClassName, int nMaxCount);
SIMAPI int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount);
SIMAPI BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect);
SIMAPI BOOL WINAPI IsWindow(HWND hWnd);
// GetAncestor's flags.
#define GA_PARENT 1
#define GA_ROOT 2
#define GA_ROOTOWNER 3
SIMAPI HWND WINAPI GetAncestor(HWND hwnd, UINT gaFlags);
SIMAPI BOOL WINAPI IsWindowEnabled(HWND hWnd);
SIMAPI BOOL WINAPI IsWindowVisible(HWND hWnd);
SIMAPI DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                              DWORD dwMilliseconds, DWORD dwWakeMask);
SIMAPI BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                                UINT wRemoveMsg);
SIMAPI BOOL WINAPI TranslateMessage(const MSG* lpMsg);
SIMAPI LRESULT WINAPI DispatchMessageW(const MSG* lpMsg);
SIMAPI BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);

// ---- UI Automation client ------------------------------------------------------

enum TreeScope {
    TreeScope_None = 0,
    TreeScope_Element = 0x1,
    TreeScope_Children = 0x2,
    TreeScope_Descendants = 0x4,
    TreeScope_Parent = 0x8,
    TreeScope_Ancestors = 0x10,
    TreeScope_Subtree = TreeScope_Element | TreeScope_Children | TreeScope_Descendants,
};

#define UIA_RuntimeIdPropertyId 30000
#define UIA_BoundingRectanglePropertyId 30001
#define UIA_ProcessIdPropertyId 30002
#define UIA_ControlTypePropertyId 30003
#define UIA_NamePropertyId 30005
#define UIA_IsEnabledPropertyId 30010
#define UIA_AutomationIdPropertyId 30011
#define UIA_ClassNamePropertyId 30012
#define UIA_NativeWindowHandlePropertyId 30020
#define UIA_ValueValuePropertyId 30045

#define UIA_IsControlElementPropertyId 30016
#define UIA_IsContentElementPropertyId 30017

#define UIA_ButtonControlTypeId 50000
#define UIA_CheckBoxControlTypeId 50002
#define UIA_ComboBoxControlTypeId 50003
#define UIA_EditControlTypeId 50004
#define UIA_HyperlinkControlTypeId 50005
#define UIA_ListItemControlTypeId 50007
#define UIA_ListControlTypeId 50008
#define UIA_MenuControlTypeId 50009
#define UIA_ProgressBarControlTypeId 50012
#define UIA_RadioButtonControlTypeId 50013
#define UIA_ScrollBarControlTypeId 50014
#define UIA_SliderControlTypeId 50015
#define UIA_TabControlTypeId 50018
#define UIA_TextControlTypeId 50020
#define UIA_ToolBarControlTypeId 50021
#define UIA_TreeControlTypeId 50023
#define UIA_TreeItemControlTypeId 50024
#define UIA_CustomControlTypeId 50025
#define UIA_GroupControlTypeId 50026
#define UIA_DocumentControlTypeId 50030
#define UIA_WindowControlTypeId 50032
#define UIA_PaneControlTypeId 50033
#define UIA_TitleBarControlTypeId 50037

enum AutomationElementMode { AutomationElementMode_None = 0, AutomationElementMode_Full = 1 };

#define UIA_InvokePatternId 10000
#define UIA_SelectionPatternId 10001
#define UIA_ValuePatternId 10002
#define UIA_ScrollPatternId 10004
#define UIA_ExpandCollapsePatternId 10005
#define UIA_SelectionItemPatternId 10010
#define UIA_TogglePatternId 10015

enum ScrollAmount {
    ScrollAmount_LargeDecrement = 0,
    ScrollAmount_SmallDecrement = 1,
    ScrollAmount_NoAmount = 2,
    ScrollAmount_LargeIncrement = 3,
    ScrollAmount_SmallIncrement = 4,
};

enum ExpandCollapseState {
    ExpandCollapseState_Collapsed = 0,
    ExpandCollapseState_Expanded = 1,
    ExpandCollapseState_PartiallyExpanded = 2,
    ExpandCollapseState_LeafNode = 3,
};

SIMAPI const IID IID_IUIAutomationInvokePattern;
SIMAPI const IID IID_IUIAutomationValuePattern;
SIMAPI const IID IID_IUIAutomationScrollPattern;
SIMAPI const IID IID_IUIAutomationExpandCollapsePattern;
SIMAPI const IID IID_IUIAutomationSelectionItemPattern;

struct IUIAutomationInvokePattern : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke() = 0;
};

struct IUIAutomationValuePattern : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetValue(BSTR val) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentValue(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsReadOnly(BOOL* retVal) = 0;
};

struct IUIAutomationScrollPattern : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Scroll(enum ScrollAmount horizontalAmount,
                                             enum ScrollAmount verticalAmount) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentVerticalScrollPercent(double* retVal) = 0;
};

struct IUIAutomationSelectionItemPattern : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Select() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsSelected(BOOL* retVal) = 0;
};

struct IUIAutomationExpandCollapsePattern : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Expand() = 0;
    virtual HRESULT STDMETHODCALLTYPE Collapse() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentExpandCollapseState(enum ExpandCollapseState* retVal) = 0;
};

SIMAPI const IID IID_IUIAutomationCacheRequest;
SIMAPI const IID IID_IUIAutomationCondition;
SIMAPI const IID IID_IUIAutomationBoolCondition;
SIMAPI const IID IID_IUIAutomationPropertyCondition;
SIMAPI const IID IID_IUIAutomationElementArray;

// The interfaces carry the SDK's method names and signatures; only the
// methods the core and its tests call are declared.
struct IUIAutomationElement;
struct IUIAutomationElementArray;
struct IUIAutomationStructureChangedEventHandler;
struct IUIAutomationPropertyChangedEventHandler;
struct IUIAutomationFocusChangedEventHandler;

struct IUIAutomationCondition : public IUnknown {};

struct IUIAutomationBoolCondition : public IUIAutomationCondition {
    virtual HRESULT STDMETHODCALLTYPE get_BooleanValue(BOOL* boolVal) = 0;
};

struct IUIAutomationPropertyCondition : public IUIAutomationCondition {
    virtual HRESULT STDMETHODCALLTYPE get_PropertyId(PROPERTYID* propertyId) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_PropertyValue(VARIANT* propertyValue) = 0;
};

struct IUIAutomationCacheRequest : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddProperty(PROPERTYID propertyId) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TreeScope(enum TreeScope* scope) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_TreeScope(enum TreeScope scope) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AutomationElementMode(enum AutomationElementMode* mode) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AutomationElementMode(enum AutomationElementMode mode) = 0;
};

struct IUIAutomationElementArray : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Length(int* length) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetElement(int index, IUIAutomationElement** element) = 0;
};

struct IUIAutomationElement : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetRuntimeId(SAFEARRAY** runtimeId) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindFirst(enum TreeScope scope, IUIAutomationCondition* condition,
                                                IUIAutomationElement** found) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindAll(enum TreeScope scope, IUIAutomationCondition* condition,
                                              IUIAutomationElementArray** found) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindAllBuildCache(enum TreeScope scope, IUIAutomationCondition* condition,
                                                        IUIAutomationCacheRequest* cacheRequest,
                                                        IUIAutomationElementArray** found) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPropertyValue(PROPERTYID propertyId, VARIANT* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCachedPropertyValue(PROPERTYID propertyId, VARIANT* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentControlType(CONTROLTYPEID* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentName(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsEnabled(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAutomationId(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentClassName(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentNativeWindowHandle(UIA_HWND* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentBoundingRectangle(RECT* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedControlType(CONTROLTYPEID* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedName(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsEnabled(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedAutomationId(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedClassName(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedNativeWindowHandle(UIA_HWND* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedBoundingRectangle(RECT* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetFocus() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPatternAs(PATTERNID patternId, REFIID riid,
                                                          void** patternObject) = 0;
};

struct IUIAutomation : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ElementFromHandle(UIA_HWND hwnd,
                                                        IUIAutomationElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateCacheRequest(IUIAutomationCacheRequest** cacheRequest) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateTrueCondition(IUIAutomationCondition** newCondition) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreatePropertyCondition(PROPERTYID propertyId, VARIANT value,
                                                              IUIAutomationCondition** newCondition) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveAllEventHandlers() = 0;
    virtual HRESULT STDMETHODCALLTYPE AddStructureChangedEventHandler(
        IUIAutomationElement* element, enum TreeScope scope, IUIAutomationCacheRequest* cacheRequest,
        IUIAutomationStructureChangedEventHandler* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddPropertyChangedEventHandler(IUIAutomationElement* element,
                                                                     enum TreeScope scope,
                                                                     IUIAutomationCacheRequest* cacheRequest,
                                                                     IUIAutomationPropertyChangedEventHandler* handler,
                                                                     SAFEARRAY* propertyArray) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddFocusChangedEventHandler(IUIAutomationCacheRequest* cacheRequest,
                                                                  IUIAutomationFocusChangedEventHandler* handler) = 0;
};

// ---- UI Automation event handlers (implemented by the client) ----------------

#define UIA_StructureChangedEventId 20002
#define UIA_AutomationPropertyChangedEventId 20004
#define UIA_AutomationFocusChangedEventId 20005

enum StructureChangeType {
    StructureChangeType_ChildAdded = 0,
    StructureChangeType_ChildRemoved = 1,
    StructureChangeType_ChildrenInvalidated = 2,
    StructureChangeType_ChildrenBulkAdded = 3,
    StructureChangeType_ChildrenBulkRemoved = 4,
    StructureChangeType_ChildrenReordered = 5,
};

SIMAPI const IID IID_IUIAutomationStructureChangedEventHandler;
SIMAPI const IID IID_IUIAutomationPropertyChangedEventHandler;
SIMAPI const IID IID_IUIAutomationFocusChangedEventHandler;

struct IUIAutomationStructureChangedEventHandler : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE HandleStructureChangedEvent(IUIAutomationElement* sender,
                                                                  enum StructureChangeType changeType,
                                                                  SAFEARRAY* runtimeId) = 0;
};

struct IUIAutomationPropertyChangedEventHandler : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE HandlePropertyChangedEvent(IUIAutomationElement* sender, PROPERTYID propertyId,
                                                                 VARIANT newValue) = 0;
};

struct IUIAutomationFocusChangedEventHandler : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE HandleFocusChangedEvent(IUIAutomationElement* sender) = 0;
};
