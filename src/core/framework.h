// Start-up and shutdown of the process-wide objects.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "actions/action_dispatcher.h"
#include "core/native_core.h"
#include "events/perception_engine.h"
#include "perception/cache_manager.h"
#include "perception/snapshot_store.h"

namespace Ostrand {

// The objects that live from initialise to shutdown; all null outside.
struct Framework {
    std::atomic<bool> initialised{false};
    std::unique_ptr<SnapshotStore> store;
    std::unique_ptr<CacheManager> cacheManager;
    std::unique_ptr<ActionDispatcher> dispatcher;
    std::unique_ptr<EventDrivenPerceptionEngine> engine;
};

Framework& framework();

// What the binding layer does at its points of the shutdown order.
struct ShutdownHooks {
    // Around the wait for UI Automation's handler calls to end: a handler
    // may be waiting for the interpreter lock to deliver an event, so the
    // caller must not hold it meanwhile.
    void (*waitStarts)() = nullptr;
    void (*waitEnds)() = nullptr;
    // Drops the stored Python event callback (after every handler is gone).
    void (*releaseCallback)() = nullptr;
};

// Serialises initialise and shutdown. Whoever holds the interpreter lock
// takes this one only with the interpreter lock released: the order is this
// mutex first, then the interpreter lock.
std::mutex& lifecycleMutex();

// Creates the four objects and starts the perception thread. A no-op when
// already initialised. When anything fails (the thread cannot be created,
// memory runs out) everything built so far is taken down again, the
// framework stays not initialised, and the exception is rethrown.
void initialiseFramework();

// Takes everything down in order. A no-op when not initialised. The
// framework reads as not initialised from the first step on, so nothing
// starts using objects that are about to go while the handler calls drain.
void shutdownFramework(const ShutdownHooks& hooks = {});

}  // namespace Ostrand
