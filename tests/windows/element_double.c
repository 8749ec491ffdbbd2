/* A stand-in for a UI Automation element of a real window, for the Win32
   input paths under Wine (whose UI Automation cannot give one). Written in C
   so that it can fill the interface's whole vtable: the few methods the
   input paths call answer from the window; every other slot fails with
   E_NOTIMPL. */
#define CINTERFACE
#define COBJMACROS
#include <windows.h>
#include <ole2.h>
#include <uiautomation.h>

typedef struct {
    IUIAutomationElement iface;
    LONG refs;
    HWND window;
    void (*onFocus)(void*);
    void* context;
} ElementDouble;

static HRESULT STDMETHODCALLTYPE notImplemented(void) { return E_NOTIMPL; }

static HRESULT STDMETHODCALLTYPE queryInterface(IUIAutomationElement* self, REFIID riid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, &IID_IUnknown) || IsEqualIID(riid, &IID_IUIAutomationElement)) {
        *out = self;
        IUIAutomationElement_AddRef(self);
        return S_OK;
    }
    *out = NULL;
    return E_NOINTERFACE;
}

static ULONG STDMETHODCALLTYPE addRef(IUIAutomationElement* self) {
    return (ULONG)InterlockedIncrement(&((ElementDouble*)self)->refs);
}

static ULONG STDMETHODCALLTYPE release(IUIAutomationElement* self) {
    LONG left = InterlockedDecrement(&((ElementDouble*)self)->refs);
    if (left == 0) HeapFree(GetProcessHeap(), 0, self);
    return (ULONG)left;
}

static HRESULT STDMETHODCALLTYPE boundingRectangle(IUIAutomationElement* self, RECT* out) {
    if (!out) return E_POINTER;
    if (!GetWindowRect(((ElementDouble*)self)->window, out)) return UIA_E_ELEMENTNOTAVAILABLE;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE currentProperty(IUIAutomationElement* self, PROPERTYID id, VARIANT* out) {
    if (!out) return E_POINTER;
    VariantInit(out);
    if (id == UIA_NativeWindowHandlePropertyId) {
        out->vt = VT_I4;
        out->lVal = (LONG)(LONG_PTR)((ElementDouble*)self)->window;
    }
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE nativeWindowHandle(IUIAutomationElement* self, UIA_HWND* out) {
    if (!out) return E_POINTER;
    *out = ((ElementDouble*)self)->window;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE setFocus(IUIAutomationElement* self) {
    ElementDouble* element = (ElementDouble*)self;
    if (element->onFocus) element->onFocus(element->context);
    return S_OK;
}

static IUIAutomationElementVtbl vtable;

static BOOL CALLBACK fillVtable(PINIT_ONCE once, PVOID parameter, PVOID* context) {
    void** slots = (void**)&vtable;
    for (size_t i = 0; i < sizeof(vtable) / sizeof(void*); ++i) slots[i] = (void*)notImplemented;
    vtable.QueryInterface = queryInterface;
    vtable.AddRef = addRef;
    vtable.Release = release;
    vtable.get_CurrentBoundingRectangle = boundingRectangle;
    vtable.GetCurrentPropertyValue = currentProperty;
    vtable.get_CurrentNativeWindowHandle = nativeWindowHandle;
    vtable.SetFocus = setFocus;
    (void)once;
    (void)parameter;
    (void)context;
    return TRUE;
}

/* onFocus (may be null) is called with context whenever the element is
   given the focus. */
void* ostrandMakeElementDouble(HWND window, void (*onFocus)(void*), void* context) {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    ElementDouble* element;
    InitOnceExecuteOnce(&once, fillVtable, NULL, NULL);
    element = (ElementDouble*)HeapAlloc(GetProcessHeap(), 0, sizeof(ElementDouble));
    if (!element) return NULL;
    element->iface.lpVtbl = &vtable;
    element->refs = 1;
    element->window = window;
    element->onFocus = onFocus;
    element->context = context;
    return &element->iface;
}
