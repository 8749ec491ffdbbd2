// The shared scenarios' desktop on the simulated desktop.
#include "desk_test.h"
#include "simdesk.h"
#include "test_desktop.h"

using Ostrand::ComPtr;
using Ostrand::WString;

namespace ostrand_test {

namespace {

class SimulatedDesktop : public TestDesktop {
public:
    SimulatedDesktop() {
        simdesk::reset();
        comStarted = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        CoCreateInstance(CLSID_CUIAutomation8, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation,
                         automation.putVoid());
    }
    ~SimulatedDesktop() override {
        automation.reset();
        if (comStarted) CoUninitialize();
        simdesk::destroyAllWindows();
    }

    HWND create(const WindowSpec& wanted) override {
        simdesk::WindowDesc d;
        d.parent = wanted.parent;
        d.className = wanted.className;
        d.text = wanted.text;
        d.rect = wanted.rect;
        d.visible = wanted.visible;
        d.enabled = wanted.enabled;
        d.readOnly = wanted.readOnly;
        return simdesk::createWindow(d);
    }
    void destroy(HWND window) override { simdesk::destroyWindow(window); }
    void settle() override {}
    int clicks(HWND button) override { return static_cast<int>(state(button).clicks); }
    WString controlText(HWND window) override {
        WCHAR buffer[1024] = {};
        DWORD_PTR copied = 0;
        SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_NORMAL, 10000, &copied);
        return WString(buffer);
    }
    // The simulated list keeps no items: it has scrolled down when the wheel
    // turned toward the user.
    bool scrolledDown(HWND list) override { return state(list).wheel < 0; }
    POINT cursor() override {
        POINT at{0, 0};
        GetCursorPos(&at);
        return at;
    }
    ComPtr<IUIAutomationElement> elementFor(HWND window) override {
        ComPtr<IUIAutomationElement> element;
        if (automation) automation->ElementFromHandle(window, element.put());
        return element;
    }
    ComPtr<IUIAutomationElement> elementClosingOnFocus(HWND window, HWND toClose) override {
        simdesk::destroyWindowOnCall(toClose, "SetFocus");
        return elementFor(window);
    }
    // Each window hangs on its own here: the whole tree hangs, as one
    // application's thread would.
    bool hang(HWND topLevel, bool hung) override {
        simdesk::setWindowHung(topLevel, hung);
        for (HWND child : state(topLevel).children) hang(child, hung);
        return true;
    }

private:
    static simdesk::WindowState state(HWND window) {
        simdesk::WindowState s;
        simdesk::windowState(window, &s);
        return s;
    }

    bool comStarted = false;
    ComPtr<IUIAutomation> automation;
};

}  // namespace

std::vector<std::string> testDesktopNames() { return {"Simulated"}; }

std::unique_ptr<TestDesktop> makeTestDesktop(const std::string&) { return std::make_unique<SimulatedDesktop>(); }

}  // namespace ostrand_test
