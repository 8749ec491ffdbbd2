// The simulated user32 input: WindowFromPoint, client coordinates, the
// cursor, posted and sent messages, the standard controls that react to
// them, and hung windows.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "desk_test.h"
#include "simdesk.h"

namespace {

using ostrand_test::eventually;
using ostrand_test::makeWindow;

// A hang guard for waits that must end early; long enough never to expire.
constexpr UINT kWaitGuardMs = 10000;

simdesk::WindowState stateOf(HWND h) {
    simdesk::WindowState s;
    EXPECT_TRUE(simdesk::windowState(h, &s));
    return s;
}

HWND at(LONG x, LONG y) { return WindowFromPoint(POINT{x, y}); }

LPARAM point(int x, int y) { return MAKELPARAM(x, y); }

// What each recorded message was: its id, and whether it was sent and handled.
struct Seen {
    UINT message;
    bool sent;
    bool handled;
    bool operator==(const Seen&) const = default;
};
std::vector<Seen> seen(HWND h) {
    std::vector<Seen> out;
    for (const auto& m : simdesk::windowMessages(h)) out.push_back({m.message, m.sent, m.handled});
    return out;
}

class SimInput : public ostrand_test::DeskTest {};

TEST_F(SimInput, WindowFromPointFindsTheDeepestVisibleEnabledWindowInZOrder) {
    HWND a = makeWindow(nullptr, u"Frame", {0, 0, 100, 100});
    HWND a1 = makeWindow(a, u"Panel", {10, 10, 50, 50});
    HWND a1x = makeWindow(a1, u"Panel", {20, 20, 30, 30});
    HWND a2 = makeWindow(a, u"Button", {40, 40, 90, 90});  // a later child: below a1
    HWND b = makeWindow(nullptr, u"Frame", {50, 50, 150, 150});  // a later top-level window: above a

    EXPECT_EQ(at(25, 25), a1x);
    EXPECT_EQ(at(45, 45), a1);
    EXPECT_EQ(at(55, 45), a2);
    EXPECT_EQ(at(60, 60), b);
    EXPECT_EQ(at(5, 5), a);
    EXPECT_EQ(at(500, 5), nullptr);
    // Left and top edges are inside, right and bottom ones outside.
    EXPECT_EQ(at(0, 0), a);
    EXPECT_EQ(at(99, 30), a);
    EXPECT_EQ(at(100, 30), nullptr);
    EXPECT_EQ(at(30, 100), nullptr);

    // Hidden windows are skipped with their subtree.
    ASSERT_TRUE(simdesk::setWindowVisible(b, false));
    EXPECT_EQ(at(60, 60), a2);
    ASSERT_TRUE(simdesk::setWindowVisible(a1, false));
    EXPECT_EQ(at(25, 25), a);
    ASSERT_TRUE(simdesk::setWindowVisible(a1, true));

    // A disabled child is skipped: a sibling below it, or else its parent,
    // is returned. A disabled top-level window is returned as any other.
    ASSERT_TRUE(simdesk::setWindowEnabled(a2, false));
    EXPECT_EQ(at(45, 45), a1);
    EXPECT_EQ(at(60, 60), a);
    ASSERT_TRUE(simdesk::setWindowEnabled(a1, false));
    EXPECT_EQ(at(25, 25), a);
    ASSERT_TRUE(simdesk::setWindowEnabled(a, false));
    EXPECT_EQ(at(25, 25), a);
    ASSERT_TRUE(simdesk::setWindowEnabled(a1, true));
    EXPECT_EQ(at(25, 25), a1x);

    // Children are searched only inside the parent's client area.
    ASSERT_TRUE(simdesk::setClientInset(a, RECT{0, 15, 0, 0}));
    EXPECT_EQ(at(25, 12), a);
    EXPECT_EQ(at(25, 25), a1x);

    ASSERT_TRUE(simdesk::failCall("WindowFromPoint", 0));
    EXPECT_EQ(at(25, 25), nullptr);
    EXPECT_EQ(at(25, 25), a1x);
}

TEST_F(SimInput, ScreenToClientAndTheCursor) {
    HWND h = makeWindow(nullptr, u"Frame", {100, 200, 300, 400});
    POINT p{150, 250};
    ASSERT_TRUE(ScreenToClient(h, &p));
    EXPECT_EQ((std::pair{p.x, p.y}), (std::pair{50, 50}));
    p = POINT{0, 0};
    ASSERT_TRUE(ScreenToClient(h, &p));
    EXPECT_EQ((std::pair{p.x, p.y}), (std::pair{-100, -200}));
    ASSERT_TRUE(simdesk::setClientInset(h, RECT{4, 30, 4, 4}));
    p = POINT{104, 230};
    ASSERT_TRUE(ScreenToClient(h, &p));
    EXPECT_EQ((std::pair{p.x, p.y}), (std::pair{0, 0}));
    RECT c = stateOf(h).client;
    EXPECT_EQ((std::vector<LONG>{c.left, c.top, c.right, c.bottom}), (std::vector<LONG>{104, 230, 296, 396}));

    SetLastError(0);
    EXPECT_FALSE(ScreenToClient(h, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(simdesk::destroyWindow(h));
    p = POINT{7, 8};
    EXPECT_FALSE(ScreenToClient(h, &p));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(p.x, 7);

    // Nothing clamps the cursor.
    ASSERT_TRUE(SetCursorPos(-5, 70000));
    ASSERT_TRUE(GetCursorPos(&p));
    EXPECT_EQ((std::pair{p.x, p.y}), (std::pair{-5, 70000}));
    EXPECT_EQ(simdesk::cursorPos().y, 70000);
    EXPECT_FALSE(GetCursorPos(nullptr));

    ASSERT_TRUE(simdesk::failCall("SetCursorPos", ERROR_ACCESS_DENIED));
    SetLastError(0);
    EXPECT_FALSE(SetCursorPos(1, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(simdesk::cursorPos().x, -5);
    simdesk::reset();
    EXPECT_EQ(simdesk::cursorPos().y, 0);
}

TEST_F(SimInput, MessagesAreRecordedInOrderWhateverTheClass) {
    HWND h = makeWindow(nullptr, u"SomeAppClass");
    EXPECT_TRUE(PostMessageW(h, WM_USER + 1, 1, 2));
    EXPECT_EQ(SendMessageW(h, WM_USER + 2, 3, 4), 0);
    DWORD_PTR result = 99;
    EXPECT_NE(SendMessageTimeoutW(h, WM_USER + 3, 5, 6, SMTO_NORMAL, 0, &result), 0);
    EXPECT_EQ(result, 0u);
    auto all = simdesk::windowMessages(h);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ((std::vector<WPARAM>{all[0].wParam, all[1].wParam, all[2].wParam}), (std::vector<WPARAM>{1, 3, 5}));
    EXPECT_EQ(all[2].lParam, 6);
    EXPECT_EQ(seen(h), (std::vector<Seen>{{WM_USER + 1, false, true}, {WM_USER + 2, true, true},
                                          {WM_USER + 3, true, true}}));
    ASSERT_TRUE(simdesk::clearWindowMessages(h));
    EXPECT_TRUE(simdesk::windowMessages(h).empty());

    // A null window posts to the calling thread's own queue.
    ASSERT_TRUE(PostMessageW(nullptr, WM_USER + 4, 7, 0));
    MSG m{};
    ASSERT_TRUE(PeekMessageW(&m, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, (UINT)WM_USER + 4);
    EXPECT_EQ(m.wParam, 7u);

    ASSERT_TRUE(simdesk::destroyWindow(h));
    SetLastError(0);
    EXPECT_FALSE(PostMessageW(h, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    SetLastError(0);
    EXPECT_EQ(SendMessageW(h, WM_USER, 0, 0), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    result = 99;
    EXPECT_EQ(SendMessageTimeoutW(nullptr, WM_USER, 0, 0, SMTO_NORMAL, 100, &result), 0);
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);

    HWND other = makeWindow(nullptr, u"Frame");
    ASSERT_TRUE(simdesk::failCall("PostMessageW", ERROR_ACCESS_DENIED));
    EXPECT_FALSE(PostMessageW(other, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    ASSERT_TRUE(simdesk::failCall("SendMessageTimeoutW", ERROR_ACCESS_DENIED));
    EXPECT_EQ(SendMessageTimeoutW(other, WM_USER, 0, 0, SMTO_NORMAL, 0, &result), 0);
    EXPECT_TRUE(simdesk::windowMessages(other).empty());  // a failed call delivers nothing
}

TEST_F(SimInput, AButtonCountsDownThenUpInsideItsClientArea) {
    HWND top = makeWindow(nullptr, u"#32770", {0, 0, 200, 200});
    HWND ok = makeWindow(top, u"button", {10, 10, 60, 30});  // class names ignore case
    auto click = [&](LPARAM down, LPARAM up) {
        PostMessageW(ok, WM_LBUTTONDOWN, MK_LBUTTON, down);
        PostMessageW(ok, WM_LBUTTONUP, 0, up);
        return stateOf(ok).clicks;
    };
    EXPECT_EQ(click(point(5, 5), point(49, 19)), 1u);
    EXPECT_EQ(click(point(5, 5), point(50, 5)), 1u);  // released just outside
    EXPECT_EQ(click(point(5, 5), point(-1, 5)), 1u);  // coordinates are signed
    PostMessageW(ok, WM_LBUTTONUP, 0, point(5, 5));   // up without down
    EXPECT_EQ(stateOf(ok).clicks, 1u);
    SendMessageW(ok, WM_LBUTTONDOWN, MK_LBUTTON, point(1, 1));
    SendMessageW(ok, WM_LBUTTONUP, 0, point(1, 1));
    EXPECT_EQ(stateOf(ok).clicks, 2u);

    // The client area, not the window rectangle, bounds the click.
    ASSERT_TRUE(simdesk::setClientInset(ok, RECT{2, 2, 2, 2}));
    EXPECT_EQ(click(point(5, 5), point(46, 5)), 2u);
    EXPECT_EQ(click(point(5, 5), point(45, 5)), 3u);

    // Messages reach a disabled button all the same, and it clicks.
    ASSERT_TRUE(simdesk::setWindowEnabled(ok, false));
    EXPECT_EQ(click(point(5, 5), point(5, 5)), 4u);
    ASSERT_TRUE(simdesk::setWindowEnabled(ok, true));
    PostMessageW(ok, WM_LBUTTONDOWN, MK_LBUTTON, point(5, 5));
    ASSERT_TRUE(simdesk::setWindowEnabled(ok, false));  // loses the capture
    ASSERT_TRUE(simdesk::setWindowEnabled(ok, true));
    PostMessageW(ok, WM_LBUTTONUP, 0, point(5, 5));
    EXPECT_EQ(stateOf(ok).clicks, 4u);

    HWND label = makeWindow(top, u"Static", {10, 10, 60, 30});
    PostMessageW(label, WM_LBUTTONDOWN, MK_LBUTTON, point(5, 5));
    PostMessageW(label, WM_LBUTTONUP, 0, point(5, 5));
    EXPECT_EQ(stateOf(label).clicks, 0u);
    EXPECT_EQ(simdesk::windowMessages(label).size(), 2u);
}

TEST_F(SimInput, AnEditTypesUtf16UnitsAndBackspaceUnlessReadOnly) {
    HWND edit = makeWindow(nullptr, u"Edit", {0, 0, 50, 20}, true, u"ab");
    auto type = [&](std::initializer_list<char16_t> units) {
        for (char16_t u : units) PostMessageW(edit, WM_CHAR, u, 1);
        return stateOf(edit).text;
    };
    EXPECT_EQ(type({u'c', u' '}), u"abc ");
    EXPECT_EQ(type({0x01, 0x7F, u'\r', u'\t', 0x1B}), u"abc ");  // control characters are not text
    EXPECT_EQ(type({8, 8}), u"ab");
    EXPECT_EQ(type({0xD83D, 0xDE00}), u"ab\U0001F600");
    EXPECT_EQ(type({8}), u"ab\xD83D");  // one unit at a time
    EXPECT_EQ(type({8, 8, 8, 8}), u"");

    ASSERT_TRUE(simdesk::setWindowReadOnly(edit, true));
    EXPECT_TRUE(stateOf(edit).readOnly);
    EXPECT_EQ(type({u'x', 8}), u"");
    ASSERT_TRUE(simdesk::setWindowReadOnly(edit, false));
    EXPECT_EQ(type({u'x'}), u"x");
    SendMessageW(edit, WM_CHAR, u'y', 1);
    EXPECT_EQ(stateOf(edit).text, u"xy");

    HWND frame = makeWindow(nullptr, u"Frame", {0, 0, 50, 20}, true, u"title");
    PostMessageW(frame, WM_CHAR, u'z', 1);
    EXPECT_EQ(stateOf(frame).text, u"title");
}

TEST_F(SimInput, AnyWindowSumsWheelDeltasAndKeepsTheLastMousePoint) {
    HWND h = makeWindow(nullptr, u"ListBox");
    EXPECT_EQ(stateOf(h).wheel, 0);
    EXPECT_FALSE(stateOf(h).lastMouse);
    PostMessageW(h, WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), point(300, 400));
    SendMessageW(h, WM_MOUSEWHEEL, MAKEWPARAM(MK_LBUTTON, static_cast<WORD>(-3 * WHEEL_DELTA)), point(300, 400));
    EXPECT_EQ(stateOf(h).wheel, -240);
    PostMessageW(h, WM_MOUSEMOVE, 0, point(-3, 7));
    auto last = stateOf(h).lastMouse;
    ASSERT_TRUE(last);
    EXPECT_EQ((std::pair{last->x, last->y}), (std::pair{-3, 7}));
}

TEST_F(SimInput, AHungWindowQueuesPostedMessagesAndRefusesImpatientSenders) {
    HWND edit = makeWindow(nullptr, u"Edit");
    ASSERT_TRUE(simdesk::setWindowHung(edit, true));
    EXPECT_TRUE(PostMessageW(edit, WM_CHAR, u'a', 1));
    EXPECT_TRUE(PostMessageW(edit, WM_CHAR, u'b', 1));
    EXPECT_EQ(stateOf(edit).text, u"");
    EXPECT_EQ(stateOf(edit).queued, 2u);

    DWORD_PTR result = 99;
    SetLastError(0);
    EXPECT_EQ(SendMessageTimeoutW(edit, WM_CHAR, u'x', 1, SMTO_ABORTIFHUNG, kWaitGuardMs, &result), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    SetLastError(0);
    EXPECT_EQ(SendMessageTimeoutW(edit, WM_CHAR, u'y', 1, SMTO_NORMAL, 1, &result), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    EXPECT_EQ(result, 99u);
    EXPECT_EQ(stateOf(edit).sendersWaiting, 0u);

    // Recovering handles what was posted, in order; what the senders gave
    // up on is never handled.
    ASSERT_TRUE(simdesk::setWindowHung(edit, false));
    EXPECT_EQ(stateOf(edit).text, u"ab");
    EXPECT_EQ(stateOf(edit).queued, 0u);
    EXPECT_EQ(seen(edit), (std::vector<Seen>{{WM_CHAR, false, true}, {WM_CHAR, false, true},
                                             {WM_CHAR, true, false}, {WM_CHAR, true, false}}));
    // The records tell the impatient sender from the one that waited out its
    // time.
    auto records = simdesk::windowMessages(edit);
    EXPECT_EQ((std::vector<bool>{records[0].waited, records[1].waited, records[2].waited, records[3].waited}),
              (std::vector<bool>{false, false, false, true}));

    // The queue holds at most 10,000 posted messages.
    ASSERT_TRUE(simdesk::clearWindowMessages(edit));
    ASSERT_TRUE(simdesk::setWindowHung(edit, true));
    for (int i = 0; i < 10000; ++i) ASSERT_TRUE(PostMessageW(edit, WM_MOUSEWHEEL, MAKEWPARAM(0, 1), 0)) << i;
    SetLastError(0);
    EXPECT_FALSE(PostMessageW(edit, WM_MOUSEWHEEL, MAKEWPARAM(0, 1), 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_QUOTA);
    EXPECT_EQ(simdesk::windowMessages(edit).size(), 10000u);
    ASSERT_TRUE(simdesk::setWindowHung(edit, false));
    EXPECT_EQ(stateOf(edit).wheel, 10000);
    EXPECT_TRUE(PostMessageW(edit, WM_MOUSEWHEEL, MAKEWPARAM(0, 1), 0));

    // Destroying a hung window drops its queue.
    ASSERT_TRUE(simdesk::setWindowHung(edit, true));
    EXPECT_TRUE(PostMessageW(edit, WM_CHAR, u'z', 1));
    EXPECT_TRUE(simdesk::destroyWindow(edit));
    EXPECT_FALSE(simdesk::setWindowHung(edit, false));
}

// One application thread serves a dialog and its controls: when it stops
// answering, so do they, and recovering serves them all.
TEST_F(SimInput, AChildOfAHungWindowIsHungForMessagesToo) {
    HWND dialog = makeWindow(nullptr, u"#32770");
    HWND edit = makeWindow(dialog, u"Edit");
    ASSERT_TRUE(simdesk::setWindowHung(dialog, true));
    EXPECT_TRUE(PostMessageW(edit, WM_CHAR, u'a', 1));
    DWORD_PTR result = 0;
    EXPECT_EQ(SendMessageTimeoutW(edit, WM_CHAR, u'x', 1, SMTO_ABORTIFHUNG, kWaitGuardMs, &result), 0);
    EXPECT_EQ(stateOf(edit).queued, 1u);
    EXPECT_EQ(stateOf(edit).text, u"");
    // Hung itself, the child stays so when its parent recovers.
    ASSERT_TRUE(simdesk::setWindowHung(edit, true));
    ASSERT_TRUE(simdesk::setWindowHung(dialog, false));
    EXPECT_EQ(stateOf(edit).text, u"");
    ASSERT_TRUE(simdesk::setWindowHung(edit, false));
    EXPECT_EQ(stateOf(edit).text, u"a");
    EXPECT_EQ(seen(edit), (std::vector<Seen>{{WM_CHAR, false, true}, {WM_CHAR, true, false}}));
}

TEST_F(SimInput, SendMessageWaitsForAHungWindowToRecoverOrGo) {
    HWND edit = makeWindow(nullptr, u"Edit");
    ASSERT_TRUE(simdesk::setWindowHung(edit, true));
    std::atomic<bool> returned{false};
    LRESULT sendResult = -1;
    std::thread sender([&] {
        sendResult = SendMessageW(edit, WM_CHAR, u'x', 1);
        returned = true;
    });
    ASSERT_TRUE(eventually([&] { return stateOf(edit).sendersWaiting == 1; }));
    EXPECT_TRUE(PostMessageW(edit, WM_CHAR, u'y', 1));  // the caller is not blocked by the sender
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(stateOf(edit).text, u"");
    // The sent message goes first when the window recovers.
    ASSERT_TRUE(simdesk::setWindowHung(edit, false));
    sender.join();
    EXPECT_EQ(sendResult, 0);
    EXPECT_EQ(stateOf(edit).text, u"xy");
    EXPECT_EQ(seen(edit), (std::vector<Seen>{{WM_CHAR, true, true}, {WM_CHAR, false, true}}));

    // A patient SendMessageTimeoutW gets through too.
    ASSERT_TRUE(simdesk::setWindowHung(edit, true));
    LRESULT timeoutResult = 0;
    std::thread patient([&] {
        DWORD_PTR r = 99;
        timeoutResult = SendMessageTimeoutW(edit, WM_CHAR, u'z', 1, SMTO_NORMAL, kWaitGuardMs, &r);
    });
    ASSERT_TRUE(eventually([&] { return stateOf(edit).sendersWaiting == 1; }));
    ASSERT_TRUE(simdesk::setWindowHung(edit, false));
    patient.join();
    EXPECT_NE(timeoutResult, 0);
    EXPECT_EQ(stateOf(edit).text, u"xyz");

    // A window destroyed under a blocked sender fails its call.
    ASSERT_TRUE(simdesk::setWindowHung(edit, true));
    DWORD error = 0;
    std::thread orphan([&] {
        sendResult = SendMessageW(edit, WM_CHAR, u'w', 1);
        error = GetLastError();
    });
    ASSERT_TRUE(eventually([&] { return stateOf(edit).sendersWaiting == 1; }));
    ASSERT_TRUE(simdesk::destroyWindow(edit));
    orphan.join();
    EXPECT_EQ(sendResult, 0);
    EXPECT_EQ(error, (DWORD)ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(SimInput, AnElevatedProcessRefusesMessagesButItsWindowsCanBeRead) {
    HWND top = makeWindow(nullptr, u"#32770", {0, 0, 200, 200}, true, u"Setup");
    HWND button = makeWindow(top, u"Button", {10, 10, 60, 40}, true, u"Next");
    HWND other = makeWindow(nullptr, u"Edit", {300, 0, 400, 20});
    // The process runs elevated: every window of it, whichever was named.
    ASSERT_TRUE(simdesk::setWindowElevated(button, true));
    EXPECT_TRUE(stateOf(top).elevated);
    EXPECT_FALSE(stateOf(other).elevated);

    for (HWND h : {top, button}) {
        SetLastError(0);
        EXPECT_FALSE(PostMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, point(5, 5)));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
        SetLastError(0);
        EXPECT_EQ(SendMessageW(h, WM_MOUSEWHEEL, MAKEWPARAM(0, 120), 0), 0);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
        DWORD_PTR result = 99;
        SetLastError(0);
        EXPECT_EQ(SendMessageTimeoutW(h, WM_MOUSEWHEEL, MAKEWPARAM(0, 120), 0, SMTO_ABORTIFHUNG, kWaitGuardMs,
                                      &result),
                  0);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
        EXPECT_TRUE(simdesk::windowMessages(h).empty());
        EXPECT_EQ(stateOf(h).wheel, 0);
    }
    EXPECT_TRUE(PostMessageW(other, WM_CHAR, u'a', 1));  // other processes are not affected
    EXPECT_EQ(stateOf(other).text, u"a");

    // Reading is not a message: it works as before.
    WCHAR text[16] = {};
    EXPECT_EQ(GetClassNameW(button, text, 16), 6);
    EXPECT_EQ(GetWindowTextW(top, text, 16), 5);
    RECT r{};
    EXPECT_TRUE(GetWindowRect(button, &r));
    EXPECT_EQ(r.right, 60);
    EXPECT_EQ(at(20, 20), button);
    int visits = 0;
    EXPECT_TRUE(EnumChildWindows(top, [](HWND, LPARAM lp) -> BOOL { return ++*reinterpret_cast<int*>(lp) > 0; },
                                 reinterpret_cast<LPARAM>(&visits)));
    EXPECT_EQ(visits, 1);

    ASSERT_TRUE(simdesk::setWindowElevated(top, false));
    EXPECT_TRUE(PostMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, point(5, 5)));
    EXPECT_TRUE(PostMessageW(button, WM_LBUTTONUP, 0, point(5, 5)));
    EXPECT_EQ(stateOf(button).clicks, 1u);
    ASSERT_TRUE(simdesk::setWindowElevated(top, true));
    simdesk::reset();
    top = makeWindow(nullptr, u"#32770");
    EXPECT_FALSE(stateOf(top).elevated);
    EXPECT_FALSE(simdesk::setWindowElevated(reinterpret_cast<HWND>(1), true));
}

TEST_F(SimInput, AWindowCanBeDestroyedJustAsACallIsEntered) {
    HWND top = makeWindow(nullptr, u"#32770");
    HWND edit = makeWindow(top, u"Edit");
    // The second post finds the window gone; the first got through.
    ASSERT_TRUE(simdesk::destroyWindowOnCall(top, "PostMessageW", 1));
    EXPECT_TRUE(PostMessageW(edit, WM_CHAR, u'a', 1));
    SetLastError(0);
    EXPECT_FALSE(PostMessageW(edit, WM_CHAR, u'b', 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(IsWindow(top));

    // Once only, and clearFaults() disarms it.
    HWND again = makeWindow(nullptr, u"Edit");
    EXPECT_TRUE(PostMessageW(again, WM_CHAR, u'a', 1));
    ASSERT_TRUE(simdesk::destroyWindowOnCall(again, "PostMessageW"));
    simdesk::clearFaults();
    EXPECT_TRUE(PostMessageW(again, WM_CHAR, u'b', 1));
    EXPECT_EQ(stateOf(again).text, u"ab");
    EXPECT_FALSE(simdesk::destroyWindowOnCall(again, "NoSuchCall"));
    EXPECT_FALSE(simdesk::destroyWindowOnCall(again, "PostMessageW", -1));
}

}  // namespace
