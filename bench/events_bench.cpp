// Event benchmark: property changes into the snapshot store per second (the
// handler alone, and raised through the simulated desktop's delivery
// threads), and the cost of a structure change (a full refresh) at 1,000
// elements.
#include <algorithm>
#include <chrono>
#include <cstdio>
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
    auto structure = ComPtr<Engine::StructureHandler>::adopt(new Engine::StructureHandler(f.engine.get(), top));
    double best = 1e30;
    for (int i = 0; i < 50; ++i) {
        auto s = Clock::now();
        structure->HandleStructureChangedEvent(nullptr, StructureChangeType_ChildAdded, nullptr);
        best = std::min(best, seconds(Clock::now() - s));
    }

    std::printf("property changes into the store, handler alone:       %10.0f / s (target >= 100,000)\n",
                directRate);
    std::printf("property changes raised through the desktop's threads: %10.0f / s\n", raisedRate);
    std::printf("structure change (full refresh) at %zu elements:      %10.3f ms (%.3f us per element)\n",
                out.size(), best * 1e3, best * 1e6 / static_cast<double>(out.size()));

    sender.reset();
    root.reset();
    children.reset();
    all.reset();
    automation.reset();
    handler.reset();
    structure.reset();
    shutdownFramework();
    simdesk::reset();
    return 0;
}
