#include "core/framework.h"

#include "elements/handle_registry.h"

namespace Ostrand {

Framework& framework() {
    static Framework f;
    return f;
}

// Everything but NativeCore, in the shutdown order. Tolerates missing objects.
static void takeDown(Framework& f, const ShutdownHooks& hooks) {
    NativeCore& core = NativeCore::instance();
    if (f.engine) {
        if (core.started.load() && core.uiaReady.load() && core.automation)
            core.automation->RemoveAllEventHandlers();
        f.engine->stop();
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
    if (!f.initialised.load()) return;
    takeDown(f, hooks);
    NativeCore::instance().shutdown();
    f.initialised.store(false);
}

}  // namespace Ostrand
