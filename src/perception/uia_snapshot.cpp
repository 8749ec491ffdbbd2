// The UI Automation path: one FindAllBuildCache perceives the whole window;
// records are built from cached values only.
#include "core/native_core.h"
#include "perception/cache_manager.h"
#include "perception/element_record.h"
#include "perception/snapshot_store.h"
#include "perception/uia_snapshot.h"

namespace Ostrand {

namespace {

using StringGetter = HRESULT (STDMETHODCALLTYPE IUIAutomationElement::*)(BSTR*);

void readCachedString(IUIAutomationElement* element, StringGetter getter, WString& field) {
    Bstr value;
    if (SUCCEEDED((element->*getter)(value.put())) && value.get()) field.assign(value.get());  // up to the first NUL
}

}  // namespace

ElementRecord recordFromCachedElement(IUIAutomationElement* element, const std::string& key) {
    ElementRecord record;
    record.runtime_id_key = key;
    record.updated_at = steadyClockNanos();

    readCachedString(element, &IUIAutomationElement::get_CachedName, record.name);
    readCachedString(element, &IUIAutomationElement::get_CachedAutomationId, record.automation_id);
    readCachedString(element, &IUIAutomationElement::get_CachedClassName, record.class_name);
    CONTROLTYPEID controlType = UIA_CustomControlTypeId;
    if (SUCCEEDED(element->get_CachedControlType(&controlType))) record.control_type = controlType;
    BOOL enabled = FALSE;
    if (SUCCEEDED(element->get_CachedIsEnabled(&enabled))) record.is_enabled = enabled != FALSE;
    RECT rect{0, 0, 0, 0};
    if (SUCCEEDED(element->get_CachedBoundingRectangle(&rect))) {
        record.bounding_rect[0] = rect.left;
        record.bounding_rect[1] = rect.top;
        record.bounding_rect[2] = rect.right;
        record.bounding_rect[3] = rect.bottom;
    }
    return record;
}

ComPtr<IUIAutomationCacheRequest> CacheManager::buildCacheRequest(IUIAutomation* automation,
                                                                  const CacheConfig& settings) {
    if (!automation) return nullptr;
    ComPtr<IUIAutomationCacheRequest> request;
    if (FAILED(automation->CreateCacheRequest(request.put()))) return nullptr;
    if (!request) return nullptr;
    for (int32_t id : settings.propertyIds) request->AddProperty(id);
    request->AddProperty(UIA_RuntimeIdPropertyId);
    // The request's scope is relative to each element found: Element caches
    // each one's own values and nothing else. The configured scope is the
    // search's (a request scope of Children would cache no element's own
    // values, Subtree every element's whole subtree).
    request->put_TreeScope(TreeScope_Element);
    // Cached values only: UI Automation keeps no live reference to the
    // target's elements.
    request->put_AutomationElementMode(AutomationElementMode_None);
    return request;
}

HRESULT CacheManager::readUia(HWND window, const CacheConfig& settings, RecordMap& records) {
    HRESULT hr = core->ensureUiaSession();
    if (FAILED(hr)) return hr;
    ComPtr<IUIAutomation> automation = core->automationRef();
    if (!automation) return HRESULT_FROM_WIN32(ERROR_INVALID_STATE);

    ComPtr<IUIAutomationCacheRequest> request = buildCacheRequest(automation.get(), settings);
    if (!request) return E_FAIL;

    ComPtr<IUIAutomationElement> root;
    hr = automation->ElementFromHandle(reinterpret_cast<UIA_HWND>(window), root.put());
    if (FAILED(hr)) return hr;
    if (!root) return E_FAIL;

    ComPtr<IUIAutomationCondition> condition;
    hr = automation->CreateTrueCondition(condition.put());
    if (FAILED(hr)) return hr;
    if (!condition) return E_FAIL;  // as for the root: a success without the object

    ComPtr<IUIAutomationElementArray> found;
    hr = root->FindAllBuildCache(static_cast<TreeScope>(settings.scope), condition.get(), request.get(), found.put());
    if (FAILED(hr)) return hr;

    // Everything below reads the local cache; nothing crosses into the target.
    if (found) {
        int length = 0;
        found->get_Length(&length);
        if (length > 0) records.reserve(static_cast<size_t>(length));
        for (int i = 0; i < length; ++i) {
            ComPtr<IUIAutomationElement> element;
            if (FAILED(found->GetElement(i, element.put())) || !element) continue;
            std::string key;
            {
                Variant runtimeId;
                if (FAILED(element->GetCachedPropertyValue(UIA_RuntimeIdPropertyId, runtimeId.ptr()))) continue;
                const VARIANT& v = runtimeId.get();
                if (v.vt != (VT_ARRAY | VT_I4) || !v.parray) continue;
                key = keyFromRuntimeId(v.parray);
            }
            if (key.empty()) continue;
            // A later element with the same runtime id replaces the earlier.
            records.put(std::make_shared<const ElementRecord>(recordFromCachedElement(element.get(), key)));
        }
    }
    return S_OK;
}

}  // namespace Ostrand
