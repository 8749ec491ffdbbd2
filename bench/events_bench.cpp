// Event benchmark: property changes into the snapshot store per second (the
// handler alone, and raised through the simulated desktop's delivery
// threads), the cost of a structure change (a full refresh) at 1,000
// elements, and how many refreshes a burst of structure changes costs.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "core/framework.h"
#include "events/event_handlers.h"
#include "simdesk.h"

using namespace Ostrand;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main() {
    initialiseFramework();
    Framework& f = framework();
    f.cacheManager->configure({}, "subtree", "uia");
    simdesk::WindowDesc d;
    d.className = u"Chrome_WidgetWin_1";
    d.text = u"Bench";
    d.rect = RECT{0, 0, 1000, 1000};
    HWND top = simdesk::createWindow(d);
    simdesk::ElementId target = 0;
    for (int i = 0; i < 999; ++i) {
        simdesk::ElementDesc e;
        e.name = u"Row";
        e.controlType = 50029;
        e.rect = RECT{0, i, 100, i + 1};
        simdesk::ElementId id = simdesk::addElement(simdesk::elementOf(top), e);
        if (i == 500) target = id;
    }
    std::vector<RecordPtr> out;
    f.cacheManager->queryElements(top, out);
    std::printf("window: %zu elements\n\n", out.size());

    ComPtr<IUIAutomation> automation = NativeCore::instance().automationRef();
    ComPtr<IUIAutomationElement> root, sender;
    automation->ElementFromHandle(top, root.put());
    ComPtr<IUIAutomationCondition> all;
    automation->CreateTrueCondition(all.put());
    ComPtr<IUIAutomationElementArray> children;
    root->FindAll(TreeScope_Children, all.get(), children.put());
    children->GetElement(500, sender.put());

    // 1. The property handler alone, called as UI Automation calls it.
    using Engine = EventDrivenPerceptionEngine;
    auto handler = ComPtr<Engine::PropertyHandler>::adopt(new Engine::PropertyHandler(f.engine.get(), top));
    Variant name;
    name.get().vt = VT_BSTR;
    name.get().bstrVal = SysAllocString(u"Renamed row");
    const int direct = 200000;
    auto t0 = Clock::now();
    for (int i = 0; i < direct; ++i) handler->HandlePropertyChangedEvent(sender.get(), UIA_NamePropertyId, name.get());
    double directRate = direct / seconds(Clock::now() - t0);

    // 2. Raised through the desktop: its delivery threads call the handler.
    f.engine->subscribePropertyChanged(top, TreeScope_Subtree, {UIA_NamePropertyId, UIA_IsEnabledPropertyId});
    const int raised = 100000;
    simdesk::EventValue value = simdesk::EventValue::string(u"Raised row");
    t0 = Clock::now();
    for (int i = 0; i < raised; ++i) simdesk::firePropertyChanged(target, UIA_NamePropertyId, value);
    simdesk::waitForEvents();
    double raisedRate = raised / seconds(Clock::now() - t0);

    // 3. A structure change: the subscribed window perceived again.
    double best = 1e30;
    for (int i = 0; i < 50; ++i) {
        auto s = Clock::now();
        f.engine->refreshWindow(top);
        best = std::min(best, seconds(Clock::now() - s));
    }

    // 4. A burst of structure changes, as a browser rebuilding a page raises
    // them: changes that arrive while a refresh runs share the next one.
    d.text = u"Burst";
    HWND page = simdesk::createWindow(d);
    for (int i = 0; i < 4999; ++i) {
        simdesk::ElementDesc e;
        e.name = u"Message subject line";  // 20 characters
        e.controlType = 50007;
        e.rect = RECT{0, i, 100, i + 1};
        simdesk::addElement(simdesk::elementOf(page), e);
    }
    std::atomic<int> delivered{0};
    f.engine->setCallback([&](UIChangeEvent e) {
        if (e.event_type == WString(WLIT("StructureChanged"))) ++delivered;
    });
    f.engine->subscribeStructureChanged(page, TreeScope_Subtree);
    f.cacheManager->queryElements(page, out);
    const int burst = 300;
    simdesk::resetCalls();
    std::vector<simdesk::ElementId> added;
    for (int i = 0; i < burst; ++i) {
        simdesk::ElementDesc e;
        e.name = u"New message subject.";
        e.controlType = 50007;
        added.push_back(simdesk::addElement(simdesk::elementOf(page), e));
    }
    simdesk::waitForEvents();
    for (int i = 0; i < 100000 && delivered.load() < burst; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int64_t refreshes = simdesk::callCount("FindAllBuildCache");
    std::vector<RecordPtr> served, fresh;
    f.cacheManager->queryElements(page, served);
    f.cacheManager->configure({}, "subtree", "uia");
    f.cacheManager->queryElements(page, fresh);
    bool same = served.size() == fresh.size();
    for (size_t i = 0; same && i < served.size(); ++i)
        same = served[i]->runtime_id_key == fresh[i]->runtime_id_key && served[i]->name == fresh[i]->name;

    std::printf("property changes into the store, handler alone:       %10.0f / s (target >= 100,000)\n",
                directRate);
    std::printf("property changes raised through the desktop's threads: %10.0f / s\n", raisedRate);
    std::printf("structure change (full refresh) at 1000 elements:      %10.3f ms (%.3f us per element)\n",
                best * 1e3, best * 1e6 / 1000.0);
    std::printf("burst of %d structure changes at %zu elements:       %10lld full refreshes (target <= 10), "
                "%d of %d callbacks, final store %s\n",
                burst, fresh.size(), static_cast<long long>(refreshes), delivered.load(), burst,
                same ? "true" : "NOT TRUE");

    sender.reset();
    root.reset();
    children.reset();
    all.reset();
    automation.reset();
    handler.reset();
    shutdownFramework();
    simdesk::reset();
    return 0;
}
