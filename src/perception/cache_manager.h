// CacheManager: how a window is perceived (the cache request's properties and
// scope, and the perception path) and the path in force.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace Ostrand {

class NativeCore;
class SnapshotStore;

enum class PerceptionMode : int32_t { Auto = 0, Win32 = 1, Uia = 2 };

// "auto", "win32" or "uia".
const char* perceptionModeText(PerceptionMode mode);

struct CacheConfig {
    // Exactly the properties an ElementRecord shows: Name, AutomationId,
    // ControlType, BoundingRectangle, IsEnabled, ClassName.
    static std::vector<int32_t> defaultPropertyIds() { return {30005, 30011, 30003, 30001, 30010, 30012}; }

    std::vector<int32_t> propertyIds = defaultPropertyIds();
    int32_t scope = 7;  // TreeScope_Subtree
    PerceptionMode mode = PerceptionMode::Auto;
};

class CacheManager {
public:
    CacheManager(SnapshotStore* store, NativeCore* core) : store(store), core(core) {}
    CacheManager(const CacheManager&) = delete;
    CacheManager& operator=(const CacheManager&) = delete;

    SnapshotStore* const store;
    NativeCore* const core;
    CacheConfig config;
    std::atomic<PerceptionMode> resolvedMode{PerceptionMode::Auto};
    std::atomic<bool> modeResolved{false};
};

}  // namespace Ostrand
