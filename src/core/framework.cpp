#include "core/framework.h"

#include "elements/handle_registry.h"

namespace Ostrand {

Framework& framework() {
    static Framework f;
    return f;
}

std::mutex& lifecycleMutex() {
    static std::mutex m;
    return m;
}

// Everything but NativeCore, in the shutdown order. Tolerates missing objects.
static void takeDown(Framework& f, const ShutdownHooks& hooks) {
    NativeCore& core = NativeCore::instance();
    if (f.engine) {
        {
            // Ends the wait on every path, so the caller gets its lock back.
            struct Waiting {
                const ShutdownHooks& hooks;
                explicit Waiting(const ShutdownHooks& h) : hooks(h) {
                    if (hooks.waitStarts) hooks.waitStarts();
                }
                ~Waiting() {
                    if (hooks.waitEnds) hooks.waitEnds();
                }
            } waiting(hooks);
            // Handlers left registered would be called for the life of the
            // process and never freed, so a failed removal is tried again.
            if (core.started.load() && core.uiaReady.load())
                if (ComPtr<IUIAutomation> automation = core.automationRef())
                    releaseRetrying([&] { return automation->RemoveAllEventHandlers(); });
            // A call already inside a handler finishes before anything it
            // touches is destroyed; a late one finds the gate closed.
            f.engine->closeHandlers();
        }
        f.engine->stopRefreshing();
        f.engine->stop();
        f.engine->releaseHandlers();
        f.engine.reset();
    }
    handleRegistry().clearElements();
    if (hooks.releaseCallback) hooks.releaseCallback();
    f.dispatcher.reset();
    f.cacheManager.reset();
    f.store.reset();
}

void initialiseFramework() {
    Framework& f = framework();
    if (f.initialised.load()) return;
    NativeCore& core = NativeCore::instance();
    bool startedHere = core.start();
    try {
        f.store = std::make_unique<SnapshotStore>();
        f.cacheManager = std::make_unique<CacheManager>(f.store.get(), &core);
        f.dispatcher = std::make_unique<ActionDispatcher>();
        f.engine = std::make_unique<EventDrivenPerceptionEngine>(&core, f.cacheManager.get());
        f.engine->start();
    } catch (...) {
        takeDown(f, {});
        if (startedHere) core.shutdown();
        throw;
    }
    f.initialised.store(true);
}

void shutdownFramework(const ShutdownHooks& hooks) {
    Framework& f = framework();
    if (!f.initialised.exchange(false)) return;
    takeDown(f, hooks);
    NativeCore::instance().shutdown();
}

}  // namespace Ostrand
