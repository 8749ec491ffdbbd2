// Win32-level scenarios that run on every desktop of this test program: the
// simulated one, and the real window system with the windows in this
// process or in another. The core's Win32 path and input fallbacks must see
// the same on all of them.
#include <gtest/gtest.h>

#include <algorithm>

#include "actions/action_dispatcher.h"
#include "core/native_core.h"
#include "perception/cache_manager.h"
#include "perception/snapshot_store.h"
#include "perception/window_classes.h"
#include "test_desktop.h"

using namespace Ostrand;

namespace ostrand_test {
namespace {

class DesktopScenario : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        desk = makeTestDesktop(GetParam());
        ASSERT_NE(desk, nullptr) << "the " << GetParam() << " desktop could not be set up";
    }

    HWND make(HWND parent, const WString& cls, RECT rect, const WString& text = WString(), bool visible = true,
              bool enabled = true) {
        WindowSpec wanted;
        wanted.parent = parent;
        wanted.className = cls;
        wanted.text = text;
        wanted.rect = rect;
        wanted.visible = visible;
        wanted.enabled = enabled;
        HWND window = desk->create(wanted);
        EXPECT_NE(window, nullptr);
        return window;
    }

    // Whether the windows belong to this process (the simulated desktop's
    // never do).
    bool sameProcess() const { return GetParam() == "InProcess"; }

    std::vector<RecordPtr> refresh(HWND target) {
        EXPECT_EQ(manager.refreshWin32Snapshot(target), S_OK);
        return store.copyRecords();
    }

    std::unique_ptr<TestDesktop> desk;
    SnapshotStore store;
    CacheManager manager{&store, &NativeCore::instance()};
};

const ElementRecord* recordOf(const std::vector<RecordPtr>& records, HWND window) {
    for (const RecordPtr& r : records)
        if (r->runtime_id_key == keyFromHwnd(window)) return r.get();
    return nullptr;
}

std::vector<int32_t> rectOf(const ElementRecord& r) { return {r.bounding_rect, r.bounding_rect + 4}; }

TEST_P(DesktopScenario, Win32SnapshotOfAStandardDialog) {
    HWND dialog = make(nullptr, WLIT("#32770"), {100, 100, 500, 400}, WLIT("Settings"));
    HWND label = make(dialog, WLIT("Static"), {110, 110, 200, 130}, WLIT("Name:"));
    HWND edit = make(dialog, WLIT("Edit"), {210, 110, 480, 130}, WLIT("typed before"));
    HWND ok = make(dialog, WLIT("Button"), {300, 360, 380, 390}, WLIT("OK"));
    HWND cancel = make(dialog, WLIT("Button"), {390, 360, 470, 390}, WLIT("Cancel"), true, false);
    HWND list = make(dialog, WLIT("ListBox"), {110, 140, 250, 300});
    HWND combo = make(dialog, WLIT("ComboBox"), {260, 140, 480, 300});
    HWND panel = make(dialog, WLIT("OstrandPanel"), {260, 200, 480, 350});
    HWND inner = make(panel, WLIT("Button"), {270, 210, 350, 240}, WLIT("Inner"));
    HWND nested = make(panel, WLIT("OstrandPanel"), {270, 250, 470, 340});
    HWND deep = make(nested, WLIT("Static"), {280, 260, 400, 280}, WLIT("Deep"));
    make(dialog, WLIT("Button"), {110, 360, 190, 390}, WLIT("Hidden"), false);
    make(dialog, WLIT("Static"), {200, 360, 200, 360}, WLIT("Empty"));
    HWND rule = make(dialog, WLIT("Static"), {490, 110, 490, 390});  // no width, some height: kept
    HWND underHidden = make(make(dialog, WLIT("OstrandPanel"), {10, 10, 20, 20}, WString(), false), WLIT("Button"),
                            {10, 10, 20, 20}, WLIT("Child of a hidden panel"));

    auto records = refresh(dialog);
    // Pre-order, children in creation order; hidden and empty windows and
    // everything under a hidden one are left out.
    std::vector<std::string> order;
    for (auto& r : records) order.push_back(r->runtime_id_key);
    std::vector<std::string> expected;
    for (HWND w : {dialog, label, edit, ok, cancel, list, combo, panel, inner, nested, deep, rule})
        expected.push_back(keyFromHwnd(w));
    EXPECT_EQ(order, expected);
    EXPECT_EQ(recordOf(records, underHidden), nullptr);

    const ElementRecord* d = recordOf(records, dialog);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->name, WLIT("Settings"));
    EXPECT_EQ(d->class_name, WLIT("#32770"));
    EXPECT_EQ(d->control_type, UIA_PaneControlTypeId);
    EXPECT_EQ(rectOf(*d), (std::vector<int32_t>{100, 100, 500, 400}));
    EXPECT_TRUE(d->is_enabled);

    const ElementRecord* b = recordOf(records, ok);
    EXPECT_EQ(b->name, WLIT("OK"));
    EXPECT_EQ(b->control_type, UIA_ButtonControlTypeId);
    EXPECT_EQ(rectOf(*b), (std::vector<int32_t>{300, 360, 380, 390}));
    EXPECT_FALSE(recordOf(records, cancel)->is_enabled);
    EXPECT_EQ(recordOf(records, label)->control_type, UIA_TextControlTypeId);
    EXPECT_EQ(recordOf(records, edit)->control_type, UIA_EditControlTypeId);
    EXPECT_EQ(recordOf(records, list)->control_type, UIA_ListControlTypeId);
    EXPECT_EQ(recordOf(records, combo)->control_type, UIA_ComboBoxControlTypeId);
    EXPECT_EQ(recordOf(records, panel)->control_type, UIA_CustomControlTypeId);
    EXPECT_EQ(recordOf(records, deep)->name, WLIT("Deep"));
    // An Edit keeps its text itself: the window system holds no title for it,
    // so only its own process (through WM_GETTEXT) reads the text as a title.
    EXPECT_EQ(desk->controlText(edit), WLIT("typed before"));
    EXPECT_EQ(recordOf(records, edit)->name, sameProcess() ? WString(WLIT("typed before")) : WString());
    EXPECT_EQ(recordOf(records, list)->name, WString());
    EXPECT_EQ(rectOf(*recordOf(records, deep)), (std::vector<int32_t>{280, 260, 400, 280}));
}

TEST_P(DesktopScenario, CommonControlsAreClassifiedByTheirRealClassNames) {
    HWND dialog = make(nullptr, WLIT("#32770"), {0, 0, 600, 400});
    const std::pair<const WCHAR*, int> expected[] = {
        {WLIT("ScrollBar"), UIA_ScrollBarControlTypeId},
        {WLIT("msctls_progress32"), UIA_ProgressBarControlTypeId},
        {WLIT("msctls_trackbar32"), UIA_SliderControlTypeId},
        {WLIT("SysListView32"), UIA_ListControlTypeId},
        {WLIT("SysTreeView32"), UIA_TreeControlTypeId},
        {WLIT("SysTabControl32"), UIA_TabControlTypeId},
        {WLIT("ToolbarWindow32"), UIA_ToolBarControlTypeId},
    };
    std::vector<HWND> windows;
    int row = 0;
    for (auto& [cls, type] : expected) {
        LONG top = 10 + 40 * row++;
        windows.push_back(make(dialog, cls, {10, top, 300, top + 30}));
    }
    auto records = refresh(dialog);
    for (size_t i = 0; i < windows.size(); ++i) {
        const ElementRecord* r = recordOf(records, windows[i]);
        ASSERT_NE(r, nullptr) << i;
        EXPECT_EQ(r->class_name, expected[i].first);
        EXPECT_EQ(r->control_type, expected[i].second) << i;
    }
}

TEST_P(DesktopScenario, LongTitlesAreCutAt511Units) {
    WString title(600, WLIT('x'));
    title[510] = WLIT('y');
    HWND top = make(nullptr, WLIT("OstrandPanel"), {0, 0, 100, 100}, title);
    auto records = refresh(top);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->name.size(), 511u);
    EXPECT_EQ(records[0]->name.back(), WLIT('y'));
}

TEST_P(DesktopScenario, AnEditsTypedTextIsNotItsTitle) {
    HWND dialog = make(nullptr, WLIT("#32770"), {0, 0, 300, 100}, WLIT("Form"));
    HWND edit = make(dialog, WLIT("Edit"), {10, 10, 290, 30});
    auto element = desk->elementFor(edit);
    ASSERT_TRUE(win32Type(element.get(), WLIT("abc")).success);
    desk->settle();
    EXPECT_EQ(desk->controlText(edit), WLIT("abc"));
    // The window system keeps no title for it: another process reads none.
    auto records = refresh(dialog);
    ASSERT_NE(recordOf(records, edit), nullptr);
    EXPECT_EQ(recordOf(records, edit)->name, sameProcess() ? WString(WLIT("abc")) : WString());
}

TEST_P(DesktopScenario, PrefersUiaForFrameworkClassesAndSparseWindows) {
    HWND chrome = make(nullptr, WLIT("Chrome_WidgetWin_1"), {0, 0, 100, 100});
    make(chrome, WLIT("Button"), {0, 0, 20, 20});
    make(chrome, WLIT("Button"), {20, 0, 40, 20});
    make(chrome, WLIT("Button"), {40, 0, 60, 20});
    EXPECT_TRUE(windowPrefersUia(chrome));

    // Fewer than three descendant windows: the content is drawn, not made of
    // windows. Grandchildren and hidden windows count.
    HWND dialog = make(nullptr, WLIT("#32770"), {0, 0, 100, 100});
    HWND panel = make(dialog, WLIT("OstrandPanel"), {0, 0, 50, 50});
    make(panel, WLIT("Button"), {0, 0, 20, 20});
    EXPECT_TRUE(windowPrefersUia(dialog));
    make(panel, WLIT("Button"), {20, 0, 40, 20}, WString(), false);
    EXPECT_FALSE(windowPrefersUia(dialog));
}

TEST_P(DesktopScenario, ClickingAButtonWithoutItsPatternReportsAClick) {
    HWND dialog = make(nullptr, WLIT("#32770"), {200, 200, 400, 300}, WLIT("Confirm"));
    HWND ok = make(dialog, WLIT("Button"), {220, 250, 300, 280}, WLIT("OK"));
    ActionResult result = win32Click(desk->elementFor(ok).get());
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.path, "Win32Click");
    desk->settle();
    EXPECT_EQ(desk->clicks(ok), 1);
}

TEST_P(DesktopScenario, TypedCharactersAppearInAnEdit) {
    HWND dialog = make(nullptr, WLIT("#32770"), {0, 0, 300, 100});
    HWND edit = make(dialog, WLIT("Edit"), {10, 10, 290, 30});
    // A character outside the first plane goes as its two surrogates.
    WString text = WLIT("h\u00e9llo \U0001F600");
    ActionResult result = win32Type(desk->elementFor(edit).get(), text);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.path, "Win32Type");
    desk->settle();
    EXPECT_EQ(desk->controlText(edit), text);
}

TEST_P(DesktopScenario, AWheelTurnScrollsAListBox) {
    HWND dialog = make(nullptr, WLIT("#32770"), {300, 300, 600, 600});
    HWND list = make(dialog, WLIT("ListBox"), {310, 310, 500, 500});
    EXPECT_FALSE(desk->scrolledDown(list));
    ActionResult result = win32Scroll(desk->elementFor(list).get(), -WHEEL_DELTA);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.path, "Win32Scroll");
    desk->settle();
    EXPECT_TRUE(desk->scrolledDown(list));
}

TEST_P(DesktopScenario, HoveringMovesTheCursorToTheCentre) {
    HWND dialog = make(nullptr, WLIT("#32770"), {40, 40, 400, 300});
    HWND ok = make(dialog, WLIT("Button"), {101, 51, 200, 90}, WLIT("OK"));
    ActionResult result = win32Hover(desk->elementFor(ok).get());
    EXPECT_TRUE(result.success);
    POINT at = desk->cursor();
    EXPECT_EQ(at.x, 150);
    EXPECT_EQ(at.y, 70);
}

TEST_P(DesktopScenario, TheDeepestWindowUnderAPointTakesTheWheel) {
    HWND dialog = make(nullptr, WLIT("#32770"), {0, 0, 300, 300});
    HWND panel = make(dialog, WLIT("OstrandPanel"), {0, 0, 300, 300});
    HWND list = make(panel, WLIT("ListBox"), {50, 50, 250, 250});
    EXPECT_EQ(WindowFromPoint(POINT{150, 150}), list);
    EXPECT_EQ(WindowFromPoint(POINT{10, 10}), panel);
}

TEST_P(DesktopScenario, HiddenAndDisabledWindowsAreNotUnderAPoint) {
    HWND dialog = make(nullptr, WLIT("#32770"), {0, 0, 300, 300});
    make(dialog, WLIT("Button"), {10, 10, 60, 40}, WLIT("Hidden"), false);
    make(dialog, WLIT("Button"), {100, 10, 160, 40}, WLIT("Disabled"), true, false);
    HWND shown = make(dialog, WLIT("Button"), {200, 10, 260, 40}, WLIT("Shown"));
    EXPECT_EQ(WindowFromPoint(POINT{30, 20}), dialog);
    EXPECT_EQ(WindowFromPoint(POINT{130, 20}), dialog);
    EXPECT_EQ(WindowFromPoint(POINT{230, 20}), shown);
}

TEST_P(DesktopScenario, EnablingAndVisibilityAreEachWindowsOwnAndItsAncestors) {
    HWND dialog = make(nullptr, WLIT("#32770"), {0, 0, 300, 300}, WLIT("Off"), true, false);
    HWND child = make(dialog, WLIT("Button"), {10, 10, 60, 40}, WLIT("Child"));
    // Disabling a window leaves its children's own state alone.
    EXPECT_FALSE(IsWindowEnabled(dialog));
    EXPECT_TRUE(IsWindowEnabled(child));
    auto records = refresh(dialog);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_FALSE(recordOf(records, dialog)->is_enabled);
    EXPECT_TRUE(recordOf(records, child)->is_enabled);

    // Hiding one hides everything below it; the target still reports itself.
    HWND hidden = make(nullptr, WLIT("#32770"), {0, 0, 300, 300}, WLIT("Hidden"), false);
    HWND under = make(hidden, WLIT("Button"), {10, 10, 60, 40}, WLIT("Under"));
    EXPECT_FALSE(IsWindowVisible(under));
    records = refresh(hidden);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->name, WLIT("Hidden"));
}

TEST_P(DesktopScenario, ReadOnlyEditsIgnoreTypingAndBackspaceTakesACharacterBack) {
    HWND dialog = make(nullptr, WLIT("#32770"), {0, 0, 300, 100});
    HWND edit = make(dialog, WLIT("Edit"), {10, 10, 290, 30});
    WindowSpec wanted;
    wanted.parent = dialog;
    wanted.className = WLIT("Edit");
    wanted.text = WLIT("fixed");
    wanted.rect = {10, 40, 290, 60};
    wanted.readOnly = true;
    HWND locked = desk->create(wanted);
    ASSERT_NE(locked, nullptr);

    EXPECT_TRUE(win32Type(desk->elementFor(edit).get(), WLIT("ab\bc")).success);
    EXPECT_TRUE(win32Type(desk->elementFor(locked).get(), WLIT("xyz")).success);
    desk->settle();
    EXPECT_EQ(desk->controlText(edit), WLIT("ac"));
    EXPECT_EQ(desk->controlText(locked), WLIT("fixed"));
}

TEST_P(DesktopScenario, ADestroyedWindowReadsEmptyAndFailsAsAnInvalidHandle) {
    HWND dialog = make(nullptr, WLIT("#32770"), {0, 0, 300, 100}, WLIT("Gone"));
    HWND button = make(dialog, WLIT("Button"), {10, 10, 60, 40}, WLIT("OK"));
    desk->destroy(dialog);
    desk->settle();
    EXPECT_FALSE(IsWindow(button));
    WCHAR text[16] = {WLIT('x')};
    SetLastError(0);
    EXPECT_EQ(GetWindowTextW(dialog, text, 16), 0);
    EXPECT_EQ(text[0], 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    // (GetClassNameW fails too; Wine 8 sets ERROR_INVALID_PARAMETER where
    // Windows sets ERROR_INVALID_WINDOW_HANDLE, so its code is not compared.)
    EXPECT_EQ(GetClassNameW(button, text, 16), 0);
    SetLastError(0);
    EXPECT_FALSE(PostMessageW(button, WM_CHAR, 'a', 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

    // The Win32 path still reports the target, read empty.
    auto records = refresh(dialog);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->name, WString());
    EXPECT_EQ(records[0]->class_name, WString());
    EXPECT_FALSE(records[0]->is_enabled);
    EXPECT_EQ(rectOf(*records[0]), (std::vector<int32_t>{0, 0, 0, 0}));

    // An input fallback on it fails, as its element is gone too.
    EXPECT_FALSE(win32Click(desk->elementFor(button).get()).success);
}

TEST_P(DesktopScenario, DisabledControlsTakePostedInputSoTheFallbacksRefuseThem) {
    HWND dialog = make(nullptr, WLIT("#32770"), {200, 200, 400, 300});
    HWND off = make(dialog, WLIT("Button"), {220, 250, 300, 280}, WLIT("Off"), true, false);
    HWND field = make(dialog, WLIT("Edit"), {220, 210, 380, 230}, WString(), true, false);
    // The controls themselves do not look at their state...
    PostMessageW(off, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    PostMessageW(off, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    PostMessageW(field, WM_CHAR, 'x', 1);
    desk->settle();
    EXPECT_EQ(desk->clicks(off), 1);
    EXPECT_EQ(desk->controlText(field), WLIT("x"));

    // ...so the fallbacks must.
    ActionResult click = win32Click(desk->elementFor(off).get());
    EXPECT_FALSE(click.success);
    EXPECT_EQ(click.path, "Win32Click");
    EXPECT_EQ(click.hr, static_cast<HRESULT>(UIA_E_ELEMENTNOTENABLED));
    ActionResult type = win32Type(desk->elementFor(field).get(), WLIT("y"));
    EXPECT_FALSE(type.success);
    EXPECT_EQ(type.path, "Win32Type");
    EXPECT_EQ(type.hr, static_cast<HRESULT>(UIA_E_ELEMENTNOTENABLED));
    desk->settle();
    EXPECT_EQ(desk->clicks(off), 1);
    EXPECT_EQ(desk->controlText(field), WLIT("x"));
}

// An application that closes its window as typing begins: the first
// character finds the window gone, and typing stops there.
TEST_P(DesktopScenario, TypingIntoAWindowThatGoesAwayFailsAsAnInvalidHandle) {
    HWND dialog = make(nullptr, WLIT("#32770"), {0, 0, 300, 100});
    HWND edit = make(dialog, WLIT("Edit"), {10, 10, 290, 30});
    ActionResult result = win32Type(desk->elementClosingOnFocus(edit, dialog).get(), WLIT("abc"));
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.path, "Win32Type");
    EXPECT_EQ(result.hr, HRESULT_FROM_WIN32(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(IsWindow(edit));

    // The next window takes typing as before.
    HWND next = make(make(nullptr, WLIT("#32770"), {0, 0, 300, 100}), WLIT("Edit"), {10, 10, 290, 30});
    EXPECT_TRUE(win32Type(desk->elementFor(next).get(), WLIT("x")).success);
    desk->settle();
    EXPECT_EQ(desk->controlText(next), WLIT("x"));
}

// A hung application: posted input waits in its queue and arrives when it
// recovers, so the click and the typing have been delivered; the wheel is
// sent and nobody takes it in time, so the scroll reports the time-out, and
// the list does not scroll later either.
TEST_P(DesktopScenario, AHungApplicationGetsItsPostedInputLaterButNoWheel) {
    HWND dialog = make(nullptr, WLIT("#32770"), {300, 300, 600, 600});
    HWND ok = make(dialog, WLIT("Button"), {310, 560, 390, 590}, WLIT("OK"));
    HWND edit = make(dialog, WLIT("Edit"), {310, 530, 590, 550});
    HWND list = make(dialog, WLIT("ListBox"), {310, 310, 500, 500});
    auto button = desk->elementFor(ok);
    auto field = desk->elementFor(edit);
    auto items = desk->elementFor(list);
    if (!desk->hang(dialog, true)) GTEST_SKIP() << "windows of the test's own thread cannot hang for it";

    ActionResult click = win32Click(button.get());
    ActionResult type = win32Type(field.get(), WLIT("ab"));
    ActionResult scroll = win32Scroll(items.get(), -WHEEL_DELTA);
    EXPECT_TRUE(desk->hang(dialog, false));
    desk->settle();

    EXPECT_TRUE(click.success);
    EXPECT_FALSE(scroll.success);
    EXPECT_EQ(scroll.path, "Win32Scroll");
    EXPECT_EQ(scroll.hr, HRESULT_FROM_WIN32(ERROR_TIMEOUT));
    EXPECT_EQ(desk->clicks(ok), 1);
    // Typing first has UI Automation focus the field: where the hung
    // application's provider does not answer that, nothing is typed.
    if (type.success) {
        EXPECT_EQ(desk->controlText(edit), WLIT("ab"));
    } else {
        EXPECT_EQ(type.hr, static_cast<HRESULT>(UIA_E_TIMEOUT));
        EXPECT_EQ(desk->controlText(edit), WLIT(""));
    }
    EXPECT_FALSE(desk->scrolledDown(list));
    // Recovered, it takes the wheel again.
    EXPECT_TRUE(win32Scroll(items.get(), -WHEEL_DELTA).success);
    desk->settle();
    EXPECT_TRUE(desk->scrolledDown(list));
}

INSTANTIATE_TEST_SUITE_P(Desktops, DesktopScenario, ::testing::ValuesIn(testDesktopNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
}  // namespace ostrand_test
