// Event storms on the desktop's delivery threads while "Python" threads
// query, configure, subscribe and cycle initialise and shutdown. A mutex
// stands in for the interpreter lock: module-side work holds it, the
// callback takes it as deliverEventToPython does, and shutdown lets go of it
// while it waits for handler calls. Run under ThreadSanitizer it proves the
// shared fields race-free; anywhere it proves no deadlock and no leak.
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "core/framework.h"
#include "test_support.h"

using namespace Ostrand;
using namespace ostrand_test;

namespace {

std::mutex interpreter;  // the stand-in for the interpreter lock
std::unique_lock<std::mutex>* interpreterHeld = nullptr;

void letGo() { interpreterHeld->unlock(); }
void takeBack() { interpreterHeld->lock(); }

class EventStressTest : public CoreTest {};

TEST_F(EventStressTest, StormsAgainstQueriesConfigurationAndLifecycle) {
    simdesk::WindowDesc d;
    d.className = u"Chrome_WidgetWin_1";
    d.rect = RECT{0, 0, 100, 100};
    HWND top = simdesk::createWindow(d);
    simdesk::ElementDesc e;
    e.name = u"Row";
    e.runtimeId = std::vector<int32_t>{42, 1, 1};
    simdesk::ElementId row = simdesk::addElement(simdesk::elementOf(top), e);

    std::atomic<bool> stop{false};
    std::atomic<long> delivered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            while (!stop.load()) {
                simdesk::firePropertyChanged(row, UIA_NamePropertyId, simdesk::EventValue::string(u"storm"));
                simdesk::fireStructureChanged(simdesk::elementOf(top), StructureChangeType_ChildrenInvalidated,
                                              std::nullopt);
                simdesk::fireFocusChanged(row);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    // Module-side work on another thread, under the interpreter stand-in.
    threads.emplace_back([&] {
        while (!stop.load()) {
            {
                std::lock_guard<std::mutex> g(interpreter);
                if (framework().initialised.load()) {
                    std::vector<RecordPtr> out;
                    framework().cacheManager->queryElements(top, out);
                    framework().cacheManager->configure({"name"}, "subtree", "auto");
                }
            }
            std::this_thread::yield();
        }
    });

    for (int cycle = 0; cycle < 40; ++cycle) {
        {
            std::lock_guard<std::mutex> life(lifecycleMutex());
            std::lock_guard<std::mutex> g(interpreter);
            initialiseFramework();
            EventDrivenPerceptionEngine& engine = *framework().engine;
            engine.setCallback([&](UIChangeEvent) {
                std::lock_guard<std::mutex> g(interpreter);
                delivered.fetch_add(1);
            });
            engine.subscribeStructureChanged(top, TreeScope_Subtree);
            engine.subscribePropertyChanged(top, TreeScope_Subtree, {UIA_NamePropertyId});
            engine.subscribeFocusChanged();
        }
        // One change of its own per cycle: the storm threads may not have
        // been scheduled yet on a busy machine.
        simdesk::firePropertyChanged(row, UIA_NamePropertyId, simdesk::EventValue::string(u"cycle"));
        EXPECT_TRUE(simdesk::waitForEvents(10000));
        {
            std::lock_guard<std::mutex> life(lifecycleMutex());
            std::unique_lock<std::mutex> g(interpreter);
            interpreterHeld = &g;
            ShutdownHooks hooks;
            hooks.waitStarts = letGo;
            hooks.waitEnds = takeBack;
            shutdownFramework(hooks);
            interpreterHeld = nullptr;
        }
        ASSERT_TRUE(simdesk::waitForEvents(10000));
        simdesk::LiveCounts live = simdesk::liveCounts();
        EXPECT_EQ(live.bstr + live.safearray + live.variant, 0) << "cycle " << cycle;
    }
    stop.store(true);
    for (auto& t : threads) t.join();
    ASSERT_TRUE(simdesk::waitForEvents(10000));
    EXPECT_GE(delivered.load(), 40);
    EXPECT_TRUE(simdesk::eventRegistrations().empty());
}

}  // namespace
