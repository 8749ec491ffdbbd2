#include "perception/element_record.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace Ostrand {

std::string keyFromRuntimeId(SAFEARRAY* runtimeId) {
    if (!runtimeId) return {};
    LONG lower = 0, upper = 0;
    if (FAILED(SafeArrayGetLBound(runtimeId, 1, &lower)) || FAILED(SafeArrayGetUBound(runtimeId, 1, &upper)))
        return {};
    std::string key;
    if (upper < lower) return key;
    key.reserve(static_cast<size_t>(upper - lower + 1) * 8);
    char buf[16];
    for (LONG i = lower;; ++i) {
        LONG value = 0;
        LONG index = i;
        if (FAILED(SafeArrayGetElement(runtimeId, &index, &value))) value = 0;
        if (i != lower) key += ',';
        auto end = std::to_chars(buf, buf + sizeof buf, static_cast<int32_t>(value)).ptr;
        key.append(buf, end);
        if (i == upper) break;  // no increment past the upper bound (it may be LONG_MAX)
    }
    return key;
}

std::string keyFromHwnd(HWND window) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "hwnd:%llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)));
    return buf;
}

int32_t propertyIdFromName(const std::string& name) {
    static const struct {
        const char* name;
        int32_t id;
    } table[] = {
        {"name", UIA_NamePropertyId},
        {"automation_id", UIA_AutomationIdPropertyId},
        {"control_type", UIA_ControlTypePropertyId},
        {"bounding_rect", UIA_BoundingRectanglePropertyId},
        {"is_enabled", UIA_IsEnabledPropertyId},
        {"class_name", UIA_ClassNamePropertyId},
        {"process_id", UIA_ProcessIdPropertyId},
    };
    for (const auto& entry : table)
        if (name.size() == std::strlen(entry.name) && std::memcmp(name.data(), entry.name, name.size()) == 0)
            return entry.id;
    return 0;
}

int64_t steadyClockNanos() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        return QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 10'000'000;
    }();
    LARGE_INTEGER now;
    if (!QueryPerformanceCounter(&now)) return 0;
    // Split so the multiplication cannot overflow for long uptimes.
    int64_t seconds = now.QuadPart / frequency;
    int64_t rest = now.QuadPart % frequency;
    return seconds * 1'000'000'000 + rest * 1'000'000'000 / frequency;
}

}  // namespace Ostrand
