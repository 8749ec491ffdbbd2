// The element handle registry: live UI Automation elements kept on the native
// side under small integer ids that Python holds instead of COM pointers.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/raii.h"

namespace Ostrand {

class HandleRegistry {
public:
    explicit HandleRegistry(int32_t firstId = 1) : nextHandleId(firstId) {}
    HandleRegistry(const HandleRegistry&) = delete;
    HandleRegistry& operator=(const HandleRegistry&) = delete;

    // Stores a reference of its own under a fresh id: never 0, never negative,
    // never one handed out before (until the counter wraps past the largest
    // 32-bit id; from then on never one still registered). A null element
    // gets 0 and is not registered.
    int32_t registerElement(IUIAutomationElement* element);
    // A reference of the caller's own (null when the id names nothing), so
    // that a release of the id meanwhile cannot free the element in use.
    ComPtr<IUIAutomationElement> lookupElement(int32_t id);
    void releaseElement(int32_t id);
    // Releases everything. The numbering carries on: a handle kept from
    // before must not name whatever is registered next.
    void clearElements();
    size_t size();
    // Where the numbering goes on from: lets a test reach the wrap.
    void setNextId(int32_t id);

private:
    std::unordered_map<int32_t, ComPtr<IUIAutomationElement>> elementHandles;
    std::mutex handleMutex;
    int32_t nextHandleId;
};

// The process-wide registry.
HandleRegistry& handleRegistry();

}  // namespace Ostrand
