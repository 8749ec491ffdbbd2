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
    // force at once, and in "auto" every window is decided afresh.
    void configure(const std::vector<std::string>& propertyNames, const std::string& scopeText,
                   const std::string& modeText);
    // A consistent copy of the configuration. Event threads read it while a
    // Python thread may replace it, so it is only ever handed out whole.
    CacheConfig configSnapshot() const;

    // The path for `window`: the configured one, or in auto mode the one
    // decided for that window when it was first perceived under this
    // configuration.
    PerceptionMode resolveMode(HWND window);
    // The path reported as active: the configured one, or in auto mode the
    // decision for the window the store holds ("auto" before any).
    PerceptionMode activeMode();

    // Perceive `window` by the resolved path under the configuration in
    // force, and store the reading unless the store changed since the
    // refresh began (a reconfiguration, or a change that the reading may
    // predate). The failure, with the store untouched; or S_OK, with
    // `stored` saying whether the reading was kept and `reading` (when
    // given) holding it either way.
    HRESULT refresh(HWND window, bool* stored = nullptr, std::vector<RecordPtr>* reading = nullptr);
    // The same through one path: one cache request, or plain Win32 calls
    // for `window` and its descendant windows.
    HRESULT refreshUiaSnapshot(HWND window);
    HRESULT refreshWin32Snapshot(HWND window);
    // The cache request for `config`, or null without a session.
    ComPtr<IUIAutomationCacheRequest> buildCacheRequest(IUIAutomation* automation, const CacheConfig& config);

    // The query's records for `window`: the stored snapshot while it is
    // valid for that window (a null window takes any), else a fresh
    // reading (stored when nothing changed meanwhile). On failure `out` is
    // untouched.
    HRESULT queryElements(HWND window, std::vector<RecordPtr>& out);

    SnapshotStore* const store;
    NativeCore* const core;

private:
    HRESULT refreshBy(PerceptionMode mode, HWND window, bool* stored, std::vector<RecordPtr>* reading);
    HRESULT readUia(HWND window, const CacheConfig& settings, RecordMap& records);
    HRESULT readWin32(HWND window, RecordMap& records);

    mutable std::mutex configMutex;  // guards config, configGeneration and decided
    CacheConfig config;
    // Bumped by every configure, so that a decision made for an older
    // configuration is not stored over a newer one.
    uint64_t configGeneration = 0;
    // Auto mode's decision per window, until the next configure.
    std::unordered_map<HWND, PerceptionMode> decided;
};

}  // namespace Ostrand
