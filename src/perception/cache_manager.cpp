#include "perception/cache_manager.h"

#include "perception/element_record.h"
#include "perception/snapshot_store.h"
#include "perception/window_classes.h"

namespace Ostrand {

const char* perceptionModeText(PerceptionMode mode) {
    switch (mode) {
        case PerceptionMode::Win32: return "win32";
        case PerceptionMode::Uia: return "uia";
        default: return "auto";
    }
}

PerceptionMode perceptionModeFromText(const std::string& text) {
    if (text == "win32") return PerceptionMode::Win32;
    if (text == "uia") return PerceptionMode::Uia;
    return PerceptionMode::Auto;
}

int32_t treeScopeFromText(const std::string& text) {
    if (text == "children") return TreeScope_Children;
    if (text == "element") return TreeScope_Element;
    return TreeScope_Subtree;
}

void CacheManager::configure(const std::vector<std::string>& propertyNames, const std::string& scopeText,
                             const std::string& modeText) {
    CacheConfig next;
    next.propertyIds.clear();
    for (const std::string& name : propertyNames)
        if (int32_t id = propertyIdFromName(name)) next.propertyIds.push_back(id);
    if (next.propertyIds.empty()) next.propertyIds = CacheConfig::defaultPropertyIds();
    next.scope = treeScopeFromText(scopeText);
    next.mode = perceptionModeFromText(modeText);

    store->invalidate();
    std::lock_guard<std::mutex> g(configMutex);
    config = std::move(next);
    ++configGeneration;
    modeResolved.store(false);
    if (config.mode != PerceptionMode::Auto) {
        resolvedMode.store(config.mode);
        modeResolved.store(true);
    }
}

CacheConfig CacheManager::configSnapshot() const {
    std::lock_guard<std::mutex> g(configMutex);
    return config;
}

PerceptionMode CacheManager::resolveMode(HWND window) {
    if (modeResolved.load()) return resolvedMode.load();
    PerceptionMode configured;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> g(configMutex);
        configured = config.mode;
        generation = configGeneration;
    }
    // The classifier calls into the window system, so no lock is held.
    PerceptionMode mode = configured;
    if (mode == PerceptionMode::Auto) mode = windowPrefersUia(window) ? PerceptionMode::Uia : PerceptionMode::Win32;

    std::lock_guard<std::mutex> g(configMutex);
    if (modeResolved.load()) return resolvedMode.load();  // another thread settled it first
    if (generation == configGeneration) {
        resolvedMode.store(mode);
        modeResolved.store(true);
    }
    return mode;
}

HRESULT CacheManager::queryElements(HWND window, std::vector<RecordPtr>& out) {
    if (!store->isValidFor(window)) {
        if (!window) return E_INVALIDARG;
        HRESULT hr = resolveMode(window) == PerceptionMode::Win32 ? refreshWin32Snapshot(window)
                                                                  : refreshUiaSnapshot(window);
        if (FAILED(hr)) return hr;
    }
    out = store->copyRecords();
    return S_OK;
}

}  // namespace Ostrand
