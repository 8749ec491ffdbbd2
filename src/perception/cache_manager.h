// CacheManager: how a window is perceived (the cache request's properties and
// scope, and the perception path), the path in force, and the two refreshes
// that fill the snapshot store.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "perception/record_map.h"
#include "perception/snapshot_store.h"
#include "platform/raii.h"

namespace Ostrand {

class NativeCore;

enum class PerceptionMode : int32_t { Auto = 0, Win32 = 1, Uia = 2 };

// "auto", "win32" or "uia".
const char* perceptionModeText(PerceptionMode mode);
// Exact, case-sensitive; anything else is Auto.
PerceptionMode perceptionModeFromText(const std::string& text);
// "subtree" 7, "children" 2, "element" 1; anything else is 7.
int32_t treeScopeFromText(const std::string& text);

struct CacheConfig {
    // Exactly the properties an ElementRecord shows: Name, AutomationId,
    // ControlType, BoundingRectangle, IsEnabled, ClassName.
    static std::vector<int32_t> defaultPropertyIds() { return {30005, 30011, 30003, 30001, 30010, 30012}; }

    std::vector<int32_t> propertyIds = defaultPropertyIds();
    int32_t scope = TreeScope_Subtree;
    PerceptionMode mode = PerceptionMode::Auto;
};

class CacheManager {
public:
    CacheManager(SnapshotStore* store, NativeCore* core) : store(store), core(core) {}
    CacheManager(const CacheManager&) = delete;
    CacheManager& operator=(const CacheManager&) = delete;

    // Replaces the configuration: names map through propertyIdFromName
    // (unknown ones are dropped; none left means the default list), scope and
    // mode texts as above. Invalidates the store; an explicit mode is in
    // force at once, and in "auto" every window is decided afresh.
    void configure(const std::vector<std::string>& propertyNames, const std::string& scopeText,
                   const std::string& modeText);
    // A consistent copy of the configuration. Event threads read it while a
    // Python thread may replace it, so it is only ever handed out whole.
    CacheConfig configSnapshot() const;

    // The path for `window`: the configured one, or in auto mode the one
    // decided for that window when it was first perceived under this
    // configuration. The answer becomes the path reported as active.
    PerceptionMode resolveMode(HWND window);
    // The path reported as active: that of the most recent decision or
    // reading, or the mode configured explicitly; "auto" before any, and
    // kept by a configure with "auto" until the next decision.
    PerceptionMode activeMode();

    // Who reads a window decides what becomes of a reading that a change
    // overtook: a query drops it (its caller still gets it), the refresh
    // thread stores it out of date and reads again.
    enum class Reader { Query, Refresher };
    // Perceive `window` by the resolved path under the configuration in
    // force and offer the reading to the store (see SnapshotStore::commit).
    // The failure, with the store untouched; or S_OK, with `commit` saying
    // what became of the reading and `reading` (when given) holding it.
    HRESULT refresh(HWND window, Reader reader, SnapshotStore::Commit* commit = nullptr,
                    std::vector<RecordPtr>* reading = nullptr);
    // The same through one path, as a query: one cache request, or plain
    // Win32 calls for `window` and its descendant windows.
    HRESULT refreshUiaSnapshot(HWND window);
    HRESULT refreshWin32Snapshot(HWND window);
    // The cache request for `config`, or null without a session.
    ComPtr<IUIAutomationCacheRequest> buildCacheRequest(IUIAutomation* automation, const CacheConfig& config);

    // The query's records for `window`: the stored snapshot while it is
    // current and of that window, else a fresh reading (stored when nothing
    // changed meanwhile). A null window takes the held snapshot: served
    // while current, read afresh while out of date, E_INVALIDARG when there
    // is none. On failure `out` is untouched.
    HRESULT queryElements(HWND window, std::vector<RecordPtr>& out);

    // The window's top-level ancestor (the window itself when none is
    // found): what the store counts changes by.
    static HWND rootOf(HWND window);

    SnapshotStore* const store;
    NativeCore* const core;

private:
    PerceptionMode decide(HWND window);
    HRESULT refreshBy(PerceptionMode mode, HWND window, Reader reader, SnapshotStore::Commit* commit,
                      std::vector<RecordPtr>* reading);
    HRESULT readUia(HWND window, const CacheConfig& settings, RecordMap& records);
    HRESULT readWin32(HWND window, RecordMap& records);

    mutable std::mutex configMutex;  // guards config, configGeneration and decided
    CacheConfig config;
    // Bumped by every configure, so that a decision made for an older
    // configuration is not stored over a newer one.
    uint64_t configGeneration = 0;
    // Auto mode's decision per window, until the next configure.
    std::unordered_map<HWND, PerceptionMode> decided;
    std::atomic<PerceptionMode> reported{PerceptionMode::Auto};
};

}  // namespace Ostrand
