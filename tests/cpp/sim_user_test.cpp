// The simulated user32: the window tree and the per-thread message queues.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "simdesk.h"
#include "simwin.h"
#include "desk_test.h"

namespace {

using ostrand_test::eventually;

// A hang guard for waits that must end early; long enough never to expire.
constexpr DWORD kWaitGuardMs = 10000;

HWND makeWindow(HWND parent, const std::u16string& cls = u"Static", const std::u16string& text = u"") {
    simdesk::WindowDesc desc;
    desc.parent = parent;
    desc.className = cls;
    desc.text = text;
    HWND h = simdesk::createWindow(desc);
    EXPECT_NE(h, nullptr);
    return h;
}

// EnumChildWindows with a per-window action; returns the visit order.
struct Walk {
    std::vector<HWND> seen;
    std::function<BOOL(HWND)> onVisit;
    BOOL result = FALSE;
};

BOOL CALLBACK recordChild(HWND h, LPARAM lp) {
    auto* w = reinterpret_cast<Walk*>(lp);
    w->seen.push_back(h);
    return w->onVisit ? w->onVisit(h) : TRUE;
}

Walk enumChildren(HWND parent, std::function<BOOL(HWND)> onVisit = {}) {
    Walk w;
    w.onVisit = std::move(onVisit);
    w.result = EnumChildWindows(parent, recordChild, reinterpret_cast<LPARAM>(&w));
    return w;
}

simdesk::ThreadState stateOf(DWORD id) {
    simdesk::ThreadState s;
    EXPECT_TRUE(simdesk::threadState(id, &s));
    return s;
}

void drainQueue() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
}

class SimUser : public ostrand_test::DeskTest {};

// ---- Window tree ----

TEST_F(SimUser, WindowHandlesAreUniqueNonzeroAndNeverReused) {
    std::set<HWND> issued;
    std::vector<HWND> batch;
    HWND top = makeWindow(nullptr);
    issued.insert(top);
    for (int i = 0; i < 20; ++i) batch.push_back(makeWindow(i % 2 ? top : nullptr));
    for (HWND h : batch) {
        EXPECT_NE(h, nullptr);
        // An HWND's significant bits fit in 32 bits, so handles cross to 32-bit code.
        EXPECT_LE(reinterpret_cast<uintptr_t>(h), 0xFFFFFFFFu);
        EXPECT_TRUE(IsWindow(h));
        EXPECT_TRUE(issued.insert(h).second) << "handle issued twice";
    }

    for (size_t i = 0; i < batch.size(); i += 2) ASSERT_TRUE(simdesk::destroyWindow(batch[i]));
    EXPECT_TRUE(simdesk::destroyWindow(top));  // takes the odd ones, its children
    for (HWND h : batch) EXPECT_FALSE(IsWindow(h));

    // New windows, even after a reset, never get a dead window's handle.
    simdesk::reset();
    for (int i = 0; i < 20; ++i) {
        HWND h = makeWindow(nullptr);
        EXPECT_TRUE(issued.insert(h).second) << "handle reused";
    }
    for (HWND h : batch) EXPECT_FALSE(IsWindow(h));
    EXPECT_FALSE(IsWindow(nullptr));

    // High handles: the 32 bits have their top bit set and are sign-extended;
    // the window and its element answer to that value; a reset ends them.
    simdesk::setHighHandles(true);
    HWND high = makeWindow(nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(high) >> 31, 0x1FFFFFFFFu);
    EXPECT_TRUE(IsWindow(high));
    EXPECT_TRUE(issued.insert(high).second) << "handle reused";
    simdesk::ElementState state;
    EXPECT_TRUE(simdesk::elementState(simdesk::elementOf(high), &state));
    simdesk::reset();
    EXPECT_LE(reinterpret_cast<uintptr_t>(makeWindow(nullptr)), 0xFFFFFFFFu);

    // No window under a dead parent.
    simdesk::WindowDesc orphan;
    orphan.parent = top;
    EXPECT_EQ(simdesk::createWindow(orphan), nullptr);
}

TEST_F(SimUser, EnumChildWindowsWalksDepthFirstInCreationOrder) {
    HWND root = makeWindow(nullptr);
    HWND a = makeWindow(root);
    HWND a1 = makeWindow(a);
    HWND a2 = makeWindow(a);
    HWND a2x = makeWindow(a2);
    HWND b = makeWindow(root);
    HWND c = makeWindow(root);
    HWND c1 = makeWindow(c);
    HWND other = makeWindow(nullptr);  // another top-level tree, not ours
    makeWindow(other);

    // A new child goes below its siblings; each child's subtree comes before
    // the next sibling.
    Walk w = enumChildren(root);
    EXPECT_EQ(w.seen, (std::vector<HWND>{a, a1, a2, a2x, b, c, c1}));
    EXPECT_EQ(enumChildren(a).seen, (std::vector<HWND>{a1, a2, a2x}));
    EXPECT_TRUE(enumChildren(a1).seen.empty());

    simdesk::WindowState st;
    ASSERT_TRUE(simdesk::windowState(root, &st));
    EXPECT_EQ(st.children, (std::vector<HWND>{a, b, c}));
    EXPECT_EQ(st.parent, nullptr);
    ASSERT_TRUE(simdesk::windowState(a2x, &st));
    EXPECT_EQ(st.parent, a2);
}

TEST_F(SimUser, EnumChildWindowsStopsSkipsAndRefusesDeadParents) {
    HWND root = makeWindow(nullptr);
    HWND a = makeWindow(root);
    HWND a1 = makeWindow(a);
    HWND b = makeWindow(root);
    HWND b1 = makeWindow(b);
    HWND c = makeWindow(root);
    // Order: a, a1, b, b1, c.

    // FALSE from the callback ends the whole walk, not just a level.
    int calls = 0;
    Walk stop = enumChildren(root, [&](HWND) { return ++calls < 3 ? TRUE : FALSE; });
    EXPECT_EQ(stop.seen, (std::vector<HWND>{a, a1, b}));
    EXPECT_FALSE(stop.result);

    // A window destroyed by the callback is not visited, nor is its subtree.
    Walk skip = enumChildren(root, [&](HWND h) {
        if (h == a) simdesk::destroyWindow(b);
        if (h == a1) simdesk::destroyWindow(c);
        return TRUE;
    });
    EXPECT_EQ(skip.seen, (std::vector<HWND>{a, a1}));
    EXPECT_FALSE(IsWindow(b1));

    // A window created during the walk is not visited.
    HWND late = nullptr;
    Walk grow = enumChildren(root, [&](HWND h) {
        if (h == a && !late) late = makeWindow(root);
        return TRUE;
    });
    EXPECT_EQ(grow.seen, (std::vector<HWND>{a, a1}));
    EXPECT_EQ(enumChildren(root).seen, (std::vector<HWND>{a, a1, late}));

    // A dead parent: nothing visited.
    ASSERT_TRUE(simdesk::destroyWindow(root));
    SetLastError(0);
    Walk dead = enumChildren(root);
    EXPECT_TRUE(dead.seen.empty());
    EXPECT_FALSE(dead.result);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(SimUser, ClassNameAndTextTruncateToTheBuffer) {
    HWND h = makeWindow(nullptr, u"Button", u"Hello world");
    WCHAR buf[32];
    auto fill = [&] { std::fill(std::begin(buf), std::end(buf), u'#'); };

    fill();
    EXPECT_EQ(GetClassNameW(h, buf, 32), 6);
    EXPECT_EQ(std::u16string(buf), u"Button");
    fill();
    EXPECT_EQ(GetClassNameW(h, buf, 7), 6);  // exactly enough
    EXPECT_EQ(std::u16string(buf), u"Button");
    fill();
    EXPECT_EQ(GetClassNameW(h, buf, 4), 3);
    EXPECT_EQ(std::u16string(buf), u"But");
    EXPECT_EQ(buf[4], u'#');  // nothing past the terminator
    fill();
    EXPECT_EQ(GetClassNameW(h, buf, 1), 0);
    EXPECT_EQ(buf[0], 0);

    fill();
    EXPECT_EQ(GetWindowTextW(h, buf, 32), 11);
    EXPECT_EQ(std::u16string(buf), u"Hello world");
    fill();
    EXPECT_EQ(GetWindowTextW(h, buf, 6), 5);
    EXPECT_EQ(std::u16string(buf), u"Hello");
    EXPECT_EQ(buf[6], u'#');
    fill();
    EXPECT_EQ(GetWindowTextW(h, buf, 1), 0);
    EXPECT_EQ(buf[0], 0);

    // No room at all: 0 and the buffer untouched.
    for (int max : {0, -1}) {
        fill();
        EXPECT_EQ(GetClassNameW(h, buf, max), 0);
        EXPECT_EQ(GetWindowTextW(h, buf, max), 0);
        EXPECT_EQ(buf[0], u'#');
    }
    EXPECT_EQ(GetClassNameW(h, nullptr, 32), 0);
    EXPECT_EQ(GetWindowTextW(h, nullptr, 32), 0);

    // The stored text follows changes.
    ASSERT_TRUE(simdesk::setWindowText(h, u"New"));
    EXPECT_EQ(GetWindowTextW(h, buf, 32), 3);
    EXPECT_EQ(std::u16string(buf), u"New");

    // An empty title also gives 0, but is no error.
    HWND untitled = makeWindow(nullptr, u"Edit", u"");
    fill();
    SetLastError(0);
    EXPECT_EQ(GetWindowTextW(untitled, buf, 32), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(GetLastError(), 0u);

    // Dead handles.
    ASSERT_TRUE(simdesk::destroyWindow(h));
    for (HWND bad : {h, (HWND) nullptr}) {
        fill();
        SetLastError(0);
        EXPECT_EQ(GetClassNameW(bad, buf, 32), 0);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
        SetLastError(0);
        EXPECT_EQ(GetWindowTextW(bad, buf, 32), 0);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    }
}

TEST_F(SimUser, WindowRectFollowsTheWindowAndFailsWhenDead) {
    simdesk::WindowDesc desc;
    desc.className = u"Static";
    desc.rect = RECT{-10, 20, 300, 400};
    HWND h = simdesk::createWindow(desc);
    ASSERT_NE(h, nullptr);

    RECT r{};
    ASSERT_TRUE(GetWindowRect(h, &r));
    EXPECT_EQ(r.left, -10);
    EXPECT_EQ(r.top, 20);
    EXPECT_EQ(r.right, 300);
    EXPECT_EQ(r.bottom, 400);

    ASSERT_TRUE(simdesk::setWindowRect(h, RECT{1, 2, 3, 4}));
    ASSERT_TRUE(GetWindowRect(h, &r));
    EXPECT_EQ(r.left, 1);
    EXPECT_EQ(r.bottom, 4);

    ASSERT_TRUE(simdesk::destroyWindow(h));
    r = RECT{7, 7, 7, 7};
    SetLastError(0);
    EXPECT_FALSE(GetWindowRect(h, &r));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(r.left, 7);  // untouched
    EXPECT_FALSE(simdesk::setWindowRect(h, RECT{}));
}

TEST_F(SimUser, VisibilityComesFromAncestorsEnabledStateDoesNot) {
    HWND top = makeWindow(nullptr);
    HWND mid = makeWindow(top);
    HWND leaf = makeWindow(mid);
    for (HWND h : {top, mid, leaf}) {
        EXPECT_TRUE(IsWindowVisible(h));
        EXPECT_TRUE(IsWindowEnabled(h));
    }

    ASSERT_TRUE(simdesk::setWindowVisible(top, false));
    EXPECT_FALSE(IsWindowVisible(top));
    EXPECT_FALSE(IsWindowVisible(mid));
    EXPECT_FALSE(IsWindowVisible(leaf));
    simdesk::WindowState st;
    ASSERT_TRUE(simdesk::windowState(leaf, &st));
    EXPECT_TRUE(st.visible);  // its own flag is still set

    ASSERT_TRUE(simdesk::setWindowVisible(top, true));
    ASSERT_TRUE(simdesk::setWindowVisible(mid, false));
    EXPECT_TRUE(IsWindowVisible(top));
    EXPECT_FALSE(IsWindowVisible(mid));
    EXPECT_FALSE(IsWindowVisible(leaf));
    ASSERT_TRUE(simdesk::setWindowVisible(mid, true));
    EXPECT_TRUE(IsWindowVisible(leaf));

    // A hidden window made at creation time.
    simdesk::WindowDesc hidden;
    hidden.parent = leaf;
    hidden.visible = false;
    hidden.enabled = false;
    HWND h = simdesk::createWindow(hidden);
    EXPECT_FALSE(IsWindowVisible(h));
    EXPECT_FALSE(IsWindowEnabled(h));

    // Enabled is the window's own state only.
    ASSERT_TRUE(simdesk::setWindowEnabled(top, false));
    EXPECT_FALSE(IsWindowEnabled(top));
    EXPECT_TRUE(IsWindowEnabled(mid));
    EXPECT_TRUE(IsWindowEnabled(leaf));
    ASSERT_TRUE(simdesk::setWindowEnabled(top, true));
    ASSERT_TRUE(simdesk::setWindowEnabled(leaf, false));
    EXPECT_FALSE(IsWindowEnabled(leaf));
    EXPECT_TRUE(IsWindowEnabled(mid));

    ASSERT_TRUE(simdesk::destroyWindow(top));
    EXPECT_FALSE(IsWindowVisible(top));
    EXPECT_FALSE(IsWindowEnabled(top));
    EXPECT_FALSE(IsWindowVisible(leaf));
    EXPECT_FALSE(simdesk::setWindowVisible(top, true));
    EXPECT_FALSE(simdesk::setWindowEnabled(top, true));
}

TEST_F(SimUser, DestroyingAWindowDestroysItsSubtreeOnly) {
    HWND top = makeWindow(nullptr);
    HWND a = makeWindow(top);
    HWND a1 = makeWindow(a);
    HWND a11 = makeWindow(a1);
    HWND b = makeWindow(top);

    ASSERT_TRUE(simdesk::destroyWindow(a));
    EXPECT_FALSE(IsWindow(a));
    EXPECT_FALSE(IsWindow(a1));
    EXPECT_FALSE(IsWindow(a11));
    EXPECT_TRUE(IsWindow(top));
    EXPECT_TRUE(IsWindow(b));
    EXPECT_EQ(enumChildren(top).seen, std::vector<HWND>{b});
    simdesk::WindowState st;
    ASSERT_TRUE(simdesk::windowState(top, &st));
    EXPECT_EQ(st.children, std::vector<HWND>{b});
    EXPECT_FALSE(simdesk::windowState(a1, &st));
    EXPECT_FALSE(simdesk::destroyWindow(a));  // already gone

    // A top-level window leaves the top-level list.
    auto tops = simdesk::topLevelWindows();
    EXPECT_NE(std::find(tops.begin(), tops.end(), top), tops.end());
    ASSERT_TRUE(simdesk::destroyWindow(top));
    tops = simdesk::topLevelWindows();
    EXPECT_EQ(std::find(tops.begin(), tops.end(), top), tops.end());
    EXPECT_FALSE(IsWindow(b));
}

TEST_F(SimUser, SetParentMovesASubtreeAndRefusesCycles) {
    HWND p1 = makeWindow(nullptr);
    HWND p2 = makeWindow(nullptr);
    HWND x = makeWindow(p2);
    HWND c = makeWindow(p1);
    HWND c1 = makeWindow(c);

    ASSERT_TRUE(simdesk::setParent(c, p2));
    EXPECT_TRUE(enumChildren(p1).seen.empty());
    EXPECT_EQ(enumChildren(p2).seen, (std::vector<HWND>{c, c1, x}));  // on top of its new siblings
    simdesk::WindowState st;
    ASSERT_TRUE(simdesk::windowState(c, &st));
    EXPECT_EQ(st.parent, p2);
    // So do the ancestors; a top-level window's parent is null (the desktop keeps no desktop window).
    EXPECT_EQ(GetAncestor(c1, GA_PARENT), c);
    EXPECT_EQ(GetAncestor(c1, GA_ROOT), p2);
    EXPECT_EQ(GetAncestor(c1, GA_ROOTOWNER), p2);
    EXPECT_EQ(GetAncestor(p2, GA_ROOT), p2);
    EXPECT_EQ(GetAncestor(p2, GA_PARENT), nullptr);

    // Visibility now follows the new parent.
    ASSERT_TRUE(simdesk::setWindowVisible(p2, false));
    EXPECT_FALSE(IsWindowVisible(c1));
    ASSERT_TRUE(simdesk::setWindowVisible(p2, true));

    // No window may end up inside its own subtree (ASSERT: a cycle would hang the walks below).
    ASSERT_FALSE(simdesk::setParent(p2, c1));
    ASSERT_FALSE(simdesk::setParent(p2, c));
    ASSERT_FALSE(simdesk::setParent(c, c));
    EXPECT_EQ(enumChildren(p2).seen, (std::vector<HWND>{c, c1, x}));
    ASSERT_TRUE(simdesk::windowState(p2, &st));
    EXPECT_EQ(st.parent, nullptr);

    // Null makes it top level, topmost.
    ASSERT_TRUE(simdesk::setParent(c, nullptr));
    EXPECT_EQ(simdesk::topLevelWindows().front(), c);
    EXPECT_EQ(enumChildren(p2).seen, std::vector<HWND>{x});

    ASSERT_TRUE(simdesk::destroyWindow(p1));
    EXPECT_FALSE(simdesk::setParent(c, p1));  // dead parent
    EXPECT_FALSE(simdesk::setParent(p1, c));  // dead window
    SetLastError(0);
    EXPECT_EQ(GetAncestor(p1, GA_ROOT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    ASSERT_TRUE(simdesk::windowState(c, &st));
    EXPECT_EQ(st.parent, nullptr);
}

// ---- Message queues ----

TEST_F(SimUser, PostThreadMessageNeedsALiveThreadWithAQueue) {
    for (DWORD bad : {0u, 0xFFFFFFFCu}) {
        SetLastError(0);
        EXPECT_FALSE(PostThreadMessageW(bad, WM_USER, 0, 0));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_THREAD_ID);
    }

    // Known thread, no queue yet: asking for the id makes none.
    std::atomic<DWORD> plainId{0};
    std::atomic<bool> plainGo{false};
    std::thread plain([&] {
        plainId = GetCurrentThreadId();
        eventually([&] { return plainGo.load(); });
    });
    ASSERT_TRUE(eventually([&] { return plainId.load() != 0; }));
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageW(plainId, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_THREAD_ID);
    plainGo = true;
    plain.join();

    // A single-threaded apartment has a queue.
    std::atomic<DWORD> staId{0};
    std::atomic<bool> posted{false};
    MSG got{};
    BOOL gotOne = FALSE;
    std::thread sta([&] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        staId = GetCurrentThreadId();
        eventually([&] { return posted.load(); });
        gotOne = PeekMessageW(&got, nullptr, 0, 0, PM_REMOVE);
        CoUninitialize();
    });
    ASSERT_TRUE(eventually([&] { return staId.load() != 0; }));
    EXPECT_TRUE(stateOf(staId).hasQueue);
    EXPECT_TRUE(PostThreadMessageW(staId, WM_USER + 5, 11, -22));
    EXPECT_EQ(stateOf(staId).queued, 1u);
    posted = true;
    sta.join();
    EXPECT_TRUE(gotOne);
    EXPECT_EQ(got.hwnd, nullptr);
    EXPECT_EQ(got.message, (UINT)WM_USER + 5);
    EXPECT_EQ(got.wParam, 11u);
    EXPECT_EQ(got.lParam, -22);

    // A thread that ended takes its queue with it, record or not.
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageW(staId, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_THREAD_ID);
    EXPECT_FALSE(stateOf(staId).alive);
    EXPECT_FALSE(stateOf(staId).hasQueue);
    simdesk::reset();
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageW(staId, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_THREAD_ID);
    simdesk::ThreadState gone;
    EXPECT_FALSE(simdesk::threadState(staId, &gone));
}

TEST_F(SimUser, MsgWaitWakesOnlyForNewPostedMessages) {
    // On a thread of its own so the test thread's queue stays out of it.
    std::atomic<DWORD> id{0};
    std::atomic<int> stage{0};
    DWORD emptyWait = 0, crossWait = 0, afterPeekWait = 0, selfWait = 0, keyOnlyWait = 0, postOnlyWait = 0;
    size_t queuedAfterPeek = 0;
    std::thread waiter([&] {
        drainQueue();  // makes the queue
        emptyWait = MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        id = GetCurrentThreadId();
        stage = 1;
        // Whether the post lands before or during the wait, it is new input.
        crossWait = MsgWaitForMultipleObjects(0, nullptr, FALSE, kWaitGuardMs, QS_ALLINPUT);

        MSG m;
        PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
        queuedAfterPeek = stateOf(GetCurrentThreadId()).queued;
        afterPeekWait = MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        drainQueue();

        PostThreadMessageW(GetCurrentThreadId(), WM_USER + 1, 0, 0);
        keyOnlyWait = MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, 0x0001 /* QS_KEY */);
        postOnlyWait = MsgWaitForMultipleObjects(0, nullptr, FALSE, kWaitGuardMs, 0x0008 /* QS_POSTMESSAGE */);
        selfWait = MsgWaitForMultipleObjects(0, nullptr, FALSE, kWaitGuardMs, QS_ALLINPUT);
        drainQueue();
    });
    ASSERT_TRUE(eventually([&] { return stage.load() == 1; }));
    EXPECT_TRUE(PostThreadMessageW(id, WM_USER, 1, 2));
    waiter.join();

    EXPECT_EQ(emptyWait, (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(crossWait, (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(queuedAfterPeek, 1u);
    EXPECT_EQ(afterPeekWait, (DWORD)WAIT_TIMEOUT);  // seen, though still queued
    EXPECT_EQ(keyOnlyWait, (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(postOnlyWait, (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(selfWait, (DWORD)WAIT_OBJECT_0);  // a wait does not make input "seen"

    simdesk::ThreadState s = stateOf(id);
    EXPECT_EQ(s.waits, 6u);
    EXPECT_EQ(s.waitTimeouts, 3u);
    EXPECT_EQ(s.lastWaitResult, (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(s.messagesRemoved, 2u);

    // Objects to wait on are not supported here.
    SetLastError(0);
    HANDLE dummy = nullptr;
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &dummy, FALSE, 0, QS_ALLINPUT), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(SimUser, PeekMessageRemovesFiltersAndKeepsOrder) {
    std::thread worker([] {
        const DWORD self = GetCurrentThreadId();
        MSG m{};
        EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));  // makes the queue, finds nothing
        ASSERT_TRUE(stateOf(self).hasQueue);
        for (UINT i = 1; i <= 3; ++i) ASSERT_TRUE(PostThreadMessageW(self, WM_USER + i, i, -(LPARAM)i));
        ASSERT_TRUE(PostThreadMessageW(self, WM_QUIT, 7, 0));  // an ordinary posted message

        // NOREMOVE shows the head and leaves it.
        ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE));
        EXPECT_EQ(m.message, (UINT)WM_USER + 1);
        EXPECT_EQ(m.wParam, 1u);
        EXPECT_EQ(m.lParam, -1);
        EXPECT_EQ(m.hwnd, nullptr);
        EXPECT_EQ(stateOf(self).queued, 4u);
        EXPECT_TRUE(PeekMessageW(nullptr, nullptr, 0, 0, PM_NOREMOVE));
        EXPECT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE | 0x0002 /* PM_NOYIELD */));
        EXPECT_EQ(stateOf(self).queued, 4u);

        // A range picks the first match, wherever it is.
        ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_USER + 2, WM_USER + 3, PM_REMOVE));
        EXPECT_EQ(m.message, (UINT)WM_USER + 2);
        EXPECT_EQ(stateOf(self).queued, 3u);
        EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_USER + 2, WM_USER + 2, PM_REMOVE));
        EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_USER + 10, WM_USER + 20, PM_NOREMOVE));
        EXPECT_EQ(stateOf(self).queued, 3u);

        // Thread messages match (HWND)-1, not a window.
        HWND w = makeWindow(nullptr);
        EXPECT_FALSE(PeekMessageW(&m, w, 0, 0, PM_NOREMOVE));
        ASSERT_TRUE(PeekMessageW(&m, reinterpret_cast<HWND>(-1), 0, 0, PM_NOREMOVE));
        EXPECT_EQ(m.message, (UINT)WM_USER + 1);

        // The rest comes out in posting order, then nothing.
        std::vector<UINT> rest;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            rest.push_back(m.message);
            EXPECT_FALSE(TranslateMessage(&m));  // thread messages are no key input
            EXPECT_EQ(DispatchMessageW(&m), 0);  // and have no window to go to
        }
        EXPECT_EQ(rest, (std::vector<UINT>{WM_USER + 1, WM_USER + 3, WM_QUIT}));
        simdesk::ThreadState s = stateOf(self);
        EXPECT_EQ(s.queued, 0u);
        EXPECT_EQ(s.messagesRemoved, 4u);

        // A queue holds 10,000 posted messages; more are refused until it drains.
        for (int i = 0; i < 10000; ++i) ASSERT_TRUE(PostThreadMessageW(self, WM_USER, 0, 0));
        SetLastError(0);
        EXPECT_FALSE(PostThreadMessageW(self, WM_USER, 0, 0));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_QUOTA);
        EXPECT_EQ(stateOf(self).queued, 10000u);
        ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
        EXPECT_TRUE(PostThreadMessageW(self, WM_USER, 0, 0));
        drainQueue();

        // Key messages are what TranslateMessage acts on.
        MSG key{};
        key.hwnd = w;
        key.message = 0x0100;  // WM_KEYDOWN
        EXPECT_TRUE(TranslateMessage(&key));
    });
    worker.join();
}

}  // namespace
