// CacheManager: how a window is perceived (the cache request's properties and
// scope, and the perception path), the path in force, and the two refreshes
// that fill the snapshot store.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "perception/record_map.h"
#include "platform/raii.h"

namespace Ostrand {

class NativeCore;
class SnapshotStore;

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
    // force at once, "auto" is settled again by the next resolveMode.
    void configure(const std::vector<std::string>& propertyNames, const std::string& scopeText,
                   const std::string& modeText);
    // A consistent copy of the configuration. Event threads read it while a
    // Python thread may replace it, so it is only ever handed out whole.
    CacheConfig configSnapshot() const;

    // The path in force; in auto mode decided once per configuration, by
    // the first window that asks.
    PerceptionMode resolveMode(HWND window);

    // Perceive `window` through one cache request and replace the store.
    // S_OK, or the failure with the store untouched.
    HRESULT refreshUiaSnapshot(HWND window);
    // Perceive `target` and its descendant windows with plain Win32 calls
    // and replace the store. S_OK, or (memory ran out mid-enumeration) the
    // failure with the store untouched.
    HRESULT refreshWin32Snapshot(HWND target);
    // The cache request for `config`, or null without a session.
    ComPtr<IUIAutomationCacheRequest> buildCacheRequest(IUIAutomation* automation, const CacheConfig& config);

    // The query's records for `window`: the stored snapshot while it is
    // valid for that window (a null window takes any), else a refresh by
    // the resolved path first. On failure `out` is untouched.
    HRESULT queryElements(HWND window, std::vector<RecordPtr>& out);

    SnapshotStore* const store;
    NativeCore* const core;
    std::atomic<PerceptionMode> resolvedMode{PerceptionMode::Auto};
    std::atomic<bool> modeResolved{false};

private:
    mutable std::mutex configMutex;  // guards config and configGeneration
    CacheConfig config;
    // Bumped by every configure, so that a decision made for an older
    // configuration is not stored over a newer one.
    uint64_t configGeneration = 0;
};

}  // namespace Ostrand
