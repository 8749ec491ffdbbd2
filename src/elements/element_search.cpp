#include "elements/element_search.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "core/native_core.h"
#include "elements/handle_registry.h"

namespace Ostrand {

bool findCriterionFromText(const std::string& text, FindCriterion* out) {
    if (text == "automation_id") *out = FindCriterion::AutomationId;
    else if (text == "name") *out = FindCriterion::Name;
    else if (text == "class_name") *out = FindCriterion::ClassName;
    else if (text == "control_type") *out = FindCriterion::ControlType;
    else if (text == "runtime_id_key") *out = FindCriterion::RuntimeIdKey;
    else return false;
    return true;
}

int32_t controlTypeFromText(const std::string& text) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(start, &end, 10);
    if (end == start || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return 0;
    return static_cast<int32_t>(value);
}

WString utf16FromUtf8(const std::string& text) {
    WString out;
    int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0) return out;
    out.resize(static_cast<size_t>(length));
    int written = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), length);
    out.resize(written > 0 ? static_cast<size_t>(written - 1) : 0);  // without the terminator
    return out;
}

namespace {

using CurrentString = HRESULT (STDMETHODCALLTYPE IUIAutomationElement::*)(BSTR*);

// The whole BSTR, embedded NULs included.
HRESULT readCurrentString(IUIAutomationElement* element, CurrentString getter, WString& field) {
    Bstr value;
    HRESULT hr = (element->*getter)(value.put());
    if (value.get()) field.assign(value.get(), value.length());
    return hr;
}

// The property a condition on `value` tests: a runtime-id key's is the
// runtime id, or for a window's key ("hwnd:"), its native window handle.
int32_t propertyOf(FindCriterion criterion, const VARIANT& value) {
    switch (criterion) {
        case FindCriterion::AutomationId: return UIA_AutomationIdPropertyId;
        case FindCriterion::Name: return UIA_NamePropertyId;
        case FindCriterion::ClassName: return UIA_ClassNamePropertyId;
        case FindCriterion::RuntimeIdKey:
            return value.vt == VT_I4 ? UIA_NativeWindowHandlePropertyId : UIA_RuntimeIdPropertyId;
        default: return UIA_ControlTypePropertyId;
    }
}

// Digits as the keys write them: no sign, no leading zero (but "0" itself).
bool keyDigits(const std::string& text, size_t from, size_t to, bool hex) {
    if (from >= to || (text[from] == '0' && to - from > 1)) return false;
    for (size_t i = from; i < to; ++i) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (hex && c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

enum class KeyValue { Key, NotAKey, OutOfMemory };

// The condition's value for a runtime_id_key, exactly in the form a
// snapshot gives it: "42,-5" (the runtime id's integers, a VT_I4 array) or
// "hwnd:1A2B" (a window handle, which Windows keeps to 32 bits
// sign-extended, as the VT_I4 of the native window handle).
KeyValue keyCondition(const std::string& key, Variant& v) {
    static const std::string kWindow = "hwnd:";
    if (key.compare(0, kWindow.size(), kWindow) == 0) {
        if (!keyDigits(key, kWindow.size(), key.size(), true) || key.size() - kWindow.size() > 16)
            return KeyValue::NotAKey;
        uint64_t handle = std::strtoull(key.c_str() + kWindow.size(), nullptr, 16);
        const int64_t asLong = static_cast<int32_t>(static_cast<uint32_t>(handle));
        if (handle == 0 || static_cast<uint64_t>(asLong) != handle) return KeyValue::NotAKey;
        v.get().vt = VT_I4;
        v.get().lVal = static_cast<LONG>(asLong);
        return KeyValue::Key;
    }
    std::vector<LONG> ids;
    for (size_t from = 0; from <= key.size();) {
        size_t to = key.find(',', from);
        if (to == std::string::npos) to = key.size();
        const bool negative = from < to && key[from] == '-';
        if (!keyDigits(key, from + negative, to, false) || (negative && key.compare(from, to - from, "-0") == 0))
            return KeyValue::NotAKey;
        errno = 0;
        long long n = std::strtoll(key.c_str() + from, nullptr, 10);
        if (errno == ERANGE || n < INT32_MIN || n > INT32_MAX) return KeyValue::NotAKey;
        ids.push_back(static_cast<LONG>(n));
        from = to + 1;
    }
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(ids.size()));
    if (!array) return KeyValue::OutOfMemory;
    v.get().vt = VT_ARRAY | VT_I4;
    v.get().parray = array;  // destroyed with the variant
    for (size_t i = 0; i < ids.size(); ++i) {
        LONG index = static_cast<LONG>(i);
        if (FAILED(SafeArrayPutElement(array, &index, &ids[i]))) return KeyValue::OutOfMemory;
    }
    return KeyValue::Key;
}

}  // namespace

HRESULT readCurrentFacts(IUIAutomationElement* element, ElementFacts* facts) {
    // Each read waits on the application: once one has given up, the next
    // would only wait as long again.
    HRESULT hr = S_OK;
    auto read = [&hr](auto&& call) {
        if (hr == static_cast<HRESULT>(UIA_E_TIMEOUT)) return;
        if (HRESULT r = call(); r == static_cast<HRESULT>(UIA_E_TIMEOUT)) hr = r;
    };
    read([&] { return readCurrentString(element, &IUIAutomationElement::get_CurrentName, facts->name); });
    read([&] { return readCurrentString(element, &IUIAutomationElement::get_CurrentAutomationId, facts->automationId); });
    read([&] { return readCurrentString(element, &IUIAutomationElement::get_CurrentClassName, facts->className); });
    read([&] {
        CONTROLTYPEID type = UIA_CustomControlTypeId;
        HRESULT r = element->get_CurrentControlType(&type);
        facts->controlType = type;
        return r;
    });
    read([&] {
        RECT rect{0, 0, 0, 0};
        HRESULT r = element->get_CurrentBoundingRectangle(&rect);
        facts->rect = rect;
        return r;
    });
    read([&] {
        BOOL enabled = FALSE;
        HRESULT r = element->get_CurrentIsEnabled(&enabled);
        facts->enabled = enabled != FALSE;
        return r;
    });
    return hr;
}

HRESULT NativeCore::findElement(HWND window, IUIAutomationCondition* condition, IUIAutomationElement** element) {
    *element = nullptr;
    HRESULT hr = ensureUiaSession();
    if (FAILED(hr)) return hr;
    ComPtr<IUIAutomation> session = automationRef();
    if (!session) return HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
    ComPtr<IUIAutomationElement> root;
    hr = session->ElementFromHandle(reinterpret_cast<UIA_HWND>(window), root.put());
    if (FAILED(hr)) {
        // Not a window is an answer; an application that did not answer in
        // time is not, and must not read as "no such element" alone.
        if (hr == static_cast<HRESULT>(UIA_E_TIMEOUT)) logFailure("findElement failed: ", hr);
        return hr;
    }
    if (!root) return E_FAIL;
    // The subtree includes the window's own element.
    hr = root->FindFirst(TreeScope_Subtree, condition, element);
    if (FAILED(hr)) logFailure("findElement failed: ", hr);
    return hr;
}

FindResult findAndRegisterElement(NativeCore& core, HWND window, const std::string& by, const std::string& value) {
    FindResult result;
    if (!core.uiaReady.load()) core.ensureUiaSession();
    ComPtr<IUIAutomation> automation = core.automationRef();
    if (!automation) {
        result.status = FindResult::NoAutomation;
        return result;
    }
    WString wide = utf16FromUtf8(value);
    FindCriterion criterion;
    if (!findCriterionFromText(by, &criterion)) {
        result.status = FindResult::BadCriterion;
        return result;
    }

    ComPtr<IUIAutomationCondition> condition;
    HRESULT hr;
    {
        Variant v;
        if (criterion == FindCriterion::RuntimeIdKey) {
            // Not a key of this window's elements: nothing is searched for,
            // so that nothing else is found.
            switch (keyCondition(value, v)) {
                case KeyValue::Key: break;
                case KeyValue::NotAKey: return result;
                case KeyValue::OutOfMemory: result.status = FindResult::OutOfMemory; return result;
            }
        } else if (criterion == FindCriterion::ControlType) {
            v.get().vt = VT_I4;
            v.get().lVal = controlTypeFromText(value);
        } else {
            BSTR text = SysAllocString(wide.c_str());
            if (!text) {
                result.status = FindResult::OutOfMemory;
                return result;
            }
            v.get().vt = VT_BSTR;
            v.get().bstrVal = text;  // freed with the variant
        }
        hr = automation->CreatePropertyCondition(propertyOf(criterion, v.get()), v.get(), condition.put());
    }
    if (FAILED(hr) || !condition) {
        result.status = FindResult::ConditionFailed;
        result.hr = hr;
        return result;
    }

    ComPtr<IUIAutomationElement> found;
    hr = core.findElement(window, condition.get(), found.put());
    if (FAILED(hr) || !found) return result;  // NotFound

    // An element whose values the application did not give is not found:
    // described by defaults, it would not be the element that is there.
    if (hr = readCurrentFacts(found.get(), &result.facts); FAILED(hr)) {
        core.logFailure("findElement failed: ", hr);
        return result;
    }
    int32_t id = handleRegistry().registerElement(found.get());
    if (id == 0) return result;
    result.status = FindResult::Found;
    result.handleId = id;
    return result;
}

}  // namespace Ostrand
