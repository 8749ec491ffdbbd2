// One desktop, two implementations: the simulated desktop on every platform,
// the real window system (user32, under Wine here) in the Windows test
// program, with the windows in the test's own process or in another one.
// Scenarios written against it run on all of them; where they disagree, the
// simulated desktop is wrong.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/raii.h"

namespace ostrand_test {

struct WindowSpec {
    HWND parent = nullptr;  // null: a top-level window
    Ostrand::WString className;
    Ostrand::WString text;
    RECT rect{0, 0, 0, 0};  // screen coordinates
    bool visible = true;
    bool enabled = true;
    bool readOnly = false;  // an Edit with ES_READONLY
};

class TestDesktop {
public:
    virtual ~TestDesktop() = default;

    // Creates the window as the last child of its parent, as CreateWindowEx
    // does. A ListBox comes filled with more items than it can show.
    virtual HWND create(const WindowSpec& wanted) = 0;
    virtual void destroy(HWND window) = 0;
    // Lets the windows' own thread handle what was posted to them.
    virtual void settle() = 0;
    // Clicks the Button reported to its parent (BN_CLICKED).
    virtual int clicks(HWND button) = 0;
    // The control's text, as it answers WM_GETTEXT.
    virtual Ostrand::WString controlText(HWND window) = 0;
    // Whether the list shows later items than its first.
    virtual bool scrolledDown(HWND list) = 0;
    virtual POINT cursor() = 0;
    // An element for the window, answering its bounding rectangle and its
    // native window handle as UI Automation would.
    virtual Ostrand::ComPtr<IUIAutomationElement> elementFor(HWND window) = 0;
    // The same, but the application destroys `toClose` the moment the
    // element takes the focus.
    virtual Ostrand::ComPtr<IUIAutomationElement> elementClosingOnFocus(HWND window, HWND toClose) = 0;
    // The application that owns the top-level window stops handling
    // messages (or starts again). False where it cannot: windows of the
    // test's own thread are handled by the very thread that would wait.
    virtual bool hang(HWND topLevel, bool hung) = 0;
};

// The desktops this test program runs the shared scenarios on.
std::vector<std::string> testDesktopNames();
std::unique_ptr<TestDesktop> makeTestDesktop(const std::string& name);

}  // namespace ostrand_test
