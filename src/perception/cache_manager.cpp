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

    const PerceptionMode explicitMode = next.mode;
    std::unordered_map<HWND, PerceptionMode> forgotten;  // freed after the lock
    {
        std::lock_guard<std::mutex> g(configMutex);
        config = std::move(next);
        ++configGeneration;
        forgotten.swap(decided);
    }
    // After the new configuration is in place: a refresh that read the old
    // one began before this and cannot store its reading.
    store->invalidate();
    // "auto" decides again per window; until then the last path stays reported.
    if (explicitMode != PerceptionMode::Auto) reported.store(explicitMode);
}

CacheConfig CacheManager::configSnapshot() const {
    std::lock_guard<std::mutex> g(configMutex);
    return config;
}

PerceptionMode CacheManager::resolveMode(HWND window) {
    PerceptionMode mode = decide(window);
    reported.store(mode);
    return mode;
}

PerceptionMode CacheManager::decide(HWND window) {
    uint64_t generation;
    {
        std::lock_guard<std::mutex> g(configMutex);
        if (config.mode != PerceptionMode::Auto) return config.mode;
        auto it = decided.find(window);
        if (it != decided.end()) return it->second;
        generation = configGeneration;
    }
    // The classifier calls into the window system, so no lock is held.
    PerceptionMode mode = windowPrefersUia(window) ? PerceptionMode::Uia : PerceptionMode::Win32;
    std::lock_guard<std::mutex> g(configMutex);
    if (generation != configGeneration) return mode;  // a decision for a configuration gone by
    return decided.emplace(window, mode).first->second;  // another thread's decision, if it came first
}

PerceptionMode CacheManager::activeMode() { return reported.load(); }

HWND CacheManager::rootOf(HWND window) {
    HWND root = GetAncestor(window, GA_ROOT);
    return root ? root : window;
}

HRESULT CacheManager::refresh(HWND window, Reader reader, SnapshotStore::Commit* commit,
                              std::vector<RecordPtr>* reading) {
    return refreshBy(PerceptionMode::Auto, window, reader, commit, reading);
}

HRESULT CacheManager::refreshUiaSnapshot(HWND window) {
    return refreshBy(PerceptionMode::Uia, window, Reader::Query, nullptr, nullptr);
}

HRESULT CacheManager::refreshWin32Snapshot(HWND window) {
    return refreshBy(PerceptionMode::Win32, window, Reader::Query, nullptr, nullptr);
}

namespace {

// The fields a property change could patch, as this configuration fetches them.
uint32_t patchableFields(const std::vector<int32_t>& ids) {
    uint32_t fields = 0;
    for (int32_t id : ids) {
        if (id == UIA_NamePropertyId) fields |= kFieldName;
        if (id == UIA_IsEnabledPropertyId) fields |= kFieldEnabled;
        if (id == UIA_BoundingRectanglePropertyId) fields |= kFieldRect;
    }
    return fields;
}

}  // namespace

HRESULT CacheManager::refreshBy(PerceptionMode path, HWND window, Reader reader, SnapshotStore::Commit* commit,
                                std::vector<RecordPtr>* reading) {
    SnapshotStore::Reading about;
    about.window = window;
    about.root = rootOf(window);
    // The basis first: whatever changes from here on (the configuration
    // included) keeps this reading from being stored as current.
    about.basis = store->basisOf(about.root);
    const CacheConfig settings = configSnapshot();
    if (path == PerceptionMode::Auto)
        path = resolveMode(window);
    else
        reported.store(path);
    about.patchable = path != PerceptionMode::Win32;
    about.fields = about.patchable ? patchableFields(settings.propertyIds) : 0;
    RecordMap records;
    HRESULT hr = path == PerceptionMode::Win32 ? readWin32(window, records) : readUia(window, settings, records);
    if (FAILED(hr)) return hr;
    if (reading) *reading = records.ordered();
    SnapshotStore::Commit done = store->commit(records, about, reader == Reader::Refresher);
    if (commit) *commit = done;
    return S_OK;
}

HRESULT CacheManager::queryElements(HWND window, std::vector<RecordPtr>& out) {
    if (store->copyRecordsIfCurrent(window, out)) return S_OK;
    if (!window) {
        // The held snapshot is out of date: the query reads its window afresh.
        window = store->staleWindow();
        if (!window) return E_INVALIDARG;
    }
    // The reading is a whole snapshot of this window, stored or not.
    std::vector<RecordPtr> reading;
    HRESULT hr = refresh(window, Reader::Query, nullptr, &reading);
    if (FAILED(hr)) return hr;
    out.swap(reading);
    return S_OK;
}

}  // namespace Ostrand
