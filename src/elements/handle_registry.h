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
    // never an id that is still registered. A null element gets 0 and is not
    // registered.
    int32_t registerElement(IUIAutomationElement* element);
    // Borrowed: valid until the entry is released.
    IUIAutomationElement* lookupElement(int32_t id);
    void releaseElement(int32_t id);
    // Releases everything and numbers from 1 again.
    void clearElements();
    size_t size();

private:
    std::unordered_map<int32_t, ComPtr<IUIAutomationElement>> elementHandles;
    std::mutex handleMutex;
    int32_t nextHandleId;
};

// The process-wide registry.
HandleRegistry& handleRegistry();

}  // namespace Ostrand
