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

ComPtr<IUIAutomationElement> HandleRegistry::lookupElement(int32_t id) {
    std::lock_guard<std::mutex> g(handleMutex);
    auto it = elementHandles.find(id);
    return it == elementHandles.end() ? nullptr : it->second;
}

void HandleRegistry::releaseElement(int32_t id) {
    ComPtr<IUIAutomationElement> gone;  // released after the lock
    std::lock_guard<std::mutex> g(handleMutex);
    auto it = elementHandles.find(id);
    if (it == elementHandles.end()) return;
    gone = std::move(it->second);
    elementHandles.erase(it);
}

void HandleRegistry::clearElements() {
    std::unordered_map<int32_t, ComPtr<IUIAutomationElement>> gone;  // released after the lock
    std::lock_guard<std::mutex> g(handleMutex);
    gone.swap(elementHandles);
}

void HandleRegistry::setNextId(int32_t id) {
    std::lock_guard<std::mutex> g(handleMutex);
    nextHandleId = id;
}

size_t HandleRegistry::size() {
    std::lock_guard<std::mutex> g(handleMutex);
    return elementHandles.size();
}

}  // namespace Ostrand
