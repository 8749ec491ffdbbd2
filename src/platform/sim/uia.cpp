// UI Automation: the CUIAutomation object and its elements.
#include "internal.h"

SIMAPI const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
SIMAPI const CLSID CLSID_CUIAutomation = {0xff48dba4, 0x60ef, 0x4201, {0xaa, 0x87, 0x54, 0x10, 0x3e, 0xef, 0x59, 0x4e}};
SIMAPI const IID IID_IUIAutomation = {0x30cbe57d, 0xd9d0, 0x452a, {0xab, 0x13, 0x7a, 0xc5, 0xac, 0x48, 0x25, 0xee}};
SIMAPI const IID IID_IUIAutomationElement = {0xd22108aa, 0x8ac5, 0x49a5, {0x83, 0x7b, 0x37, 0xbb, 0xb3, 0xd7, 0x59, 0x1e}};

namespace simdesk::detail {
namespace {

class Element final : public ComObject<IUIAutomationElement> {
public:
    explicit Element(HWND hwnd) : ComObject(IID_IUIAutomationElement), hwnd_(hwnd) {}

private:
    HWND hwnd_;
};

class Automation final : public ComObject<IUIAutomation> {
public:
    Automation() : ComObject(IID_IUIAutomation) {}

    HRESULT STDMETHODCALLTYPE ElementFromHandle(UIA_HWND hwnd, IUIAutomationElement** element) override {
        SIM_ENTER(ElementFromHandle);
        if (!element) return E_INVALIDARG;
        *element = nullptr;
        SIM_FAIL_HR();
        if (!hwnd || !windowExists(static_cast<HWND>(hwnd))) return UIA_E_ELEMENTNOTAVAILABLE;
        *element = new Element(static_cast<HWND>(hwnd));
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE RemoveAllEventHandlers() override {
        SIM_ENTER(RemoveAllEventHandlers);
        SIM_FAIL_HR();
        return S_OK;
    }
};

}  // namespace

HRESULT createAutomation(REFIID riid, void** ppv) {
    auto* a = new Automation();
    HRESULT hr = a->QueryInterface(riid, ppv);
    a->Release();
    return hr;
}

}  // namespace simdesk::detail
