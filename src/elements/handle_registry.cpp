#include "elements/handle_registry.h"

#include <limits>

namespace Ostrand {

HandleRegistry& handleRegistry() {
    static HandleRegistry registry;
    return registry;
}

int32_t HandleRegistry::registerElement(IUIAutomationElement* element) {
    constexpr int32_t kLast = std::numeric_limits<int32_t>::max();
    if (!element) return 0;  // nothing to hold; 0 is never an id
    std::lock_guard<std::mutex> g(handleMutex);
    // Ids only repeat after the counter wraps past the largest 32-bit id;
    // from then on the ones still held are skipped.
    int32_t id = nextHandleId;
    while (elementHandles.count(id)) id = id == kLast ? 1 : id + 1;
    nextHandleId = id == kLast ? 1 : id + 1;
    elementHandles[id] = ComPtr<IUIAutomationElement>::share(element);
    return id;
}

IUIAutomationElement* HandleRegistry::lookupElement(int32_t id) {
    std::lock_guard<std::mutex> g(handleMutex);
    auto it = elementHandles.find(id);
    return it == elementHandles.end() ? nullptr : it->second.get();
}

void HandleRegistry::releaseElement(int32_t id) {
    std::lock_guard<std::mutex> g(handleMutex);
    elementHandles.erase(id);
}

void HandleRegistry::clearElements() {
    std::lock_guard<std::mutex> g(handleMutex);
    elementHandles.clear();
    nextHandleId = 1;
}

size_t HandleRegistry::size() {
    std::lock_guard<std::mutex> g(handleMutex);
    return elementHandles.size();
}

}  // namespace Ostrand
