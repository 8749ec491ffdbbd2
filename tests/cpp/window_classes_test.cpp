// Which windows "auto" reads through UI Automation, and the control types of
// classic window classes.
#include "perception/window_classes.h"
#include "test_support.h"

using namespace Ostrand;

namespace {

class WindowClassesTest : public ostrand_test::DeskTest {
protected:
    static HWND make(HWND parent, const std::u16string& cls) { return ostrand_test::makeWindow(parent, cls); }
    // A window of `cls` with `n` direct children.
    HWND withChildren(const std::u16string& cls, int n) {
        HWND w = make(nullptr, cls);
        for (int i = 0; i < n; ++i) make(w, u"Button");
        return w;
    }
};

TEST_F(WindowClassesTest, FrameworkClassesPreferUiaWithoutCountingChildren) {
    for (const char16_t* cls : {u"Windows.UI.Core.CoreWindow", u"ApplicationFrameWindow", u"Chrome_WidgetWin_1",
                                u"Chrome_RenderWidgetHostHWND", u"HwndWrapper", u"WPFWindow"}) {
        HWND w = withChildren(cls, 5);
        simdesk::resetCalls();
        EXPECT_TRUE(windowPrefersUia(w));
        EXPECT_EQ(simdesk::callCount("EnumChildWindows"), 0);
    }
}

TEST_F(WindowClassesTest, OnlyWholeNamesMatchAndTheCountDecidesOtherwise) {
    EXPECT_FALSE(windowPrefersUia(withChildren(u"HwndWrapper[App.exe;;1234]", 3)));
    EXPECT_FALSE(windowPrefersUia(withChildren(u"chrome_widgetwin_1", 3)));
    EXPECT_TRUE(windowPrefersUia(withChildren(u"HwndWrapper[App.exe;;1234]", 2)));
}

TEST_F(WindowClassesTest, DescendantCountStopsAtThree) {
    EXPECT_TRUE(windowPrefersUia(withChildren(u"#32770", 0)));
    EXPECT_TRUE(windowPrefersUia(withChildren(u"#32770", 2)));
    EXPECT_FALSE(windowPrefersUia(withChildren(u"#32770", 3)));

    // Grandchildren count: one child with two children of its own is three.
    HWND deep = make(nullptr, u"#32770");
    HWND child = make(deep, u"Static");
    make(child, u"Button");
    make(child, u"Button");
    EXPECT_FALSE(windowPrefersUia(deep));

    HWND big = withChildren(u"#32770", 100);
    EXPECT_FALSE(windowPrefersUia(big));

    // A dead handle has no class and no descendants.
    EXPECT_TRUE(windowPrefersUia(reinterpret_cast<HWND>(0x7ffff0)));
    // A failing class read leaves the name empty: the count decides.
    simdesk::failCall("GetClassNameW", ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_TRUE(windowPrefersUia(withChildren(u"Chrome_WidgetWin_1", 0)));
    simdesk::failCall("GetClassNameW", ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(windowPrefersUia(withChildren(u"Chrome_WidgetWin_1", 3)));
}

TEST(ControlTypes, TableFamiliesAndFallbacks) {
    struct Case {
        const char16_t* cls;
        int type;
    } cases[] = {
        {u"Button", 50000},         {u"CheckBox", 50002},      {u"RadioButton", 50013},
        {u"Edit", 50004},           {u"RichEdit20W", 50004},   {u"RichEdit20A", 50004},
        {u"RICHEDIT50W", 50004},    {u"RichEditD2DPT", 50030}, {u"Static", 50020},
        {u"ListBox", 50008},        {u"SysListView32", 50008}, {u"ComboBox", 50003},
        {u"SysTreeView32", 50023},  {u"#32768", 50009},        {u"ToolbarWindow32", 50021},
        {u"SysTabControl32", 50018}, {u"msctls_progress32", 50012}, {u"ScrollBar", 50014},
        {u"msctls_trackbar32", 50015}, {u"#32770", 50033},      {u"#32769", 50032},
        {u"SysDateTimePick32", 50003},
        // Families: WinForms and MFC windows are panes.
        {u"WindowsForms10.Window.8.app.0.141b42a_r9_ad1", 50033},
        {u"Afx:00400000:8:00010003", 50033},
        {u"MyAfx:Frame", 50033},
        {u"Afx:", 50033},
        {u"Afx", 50025},
        {u"windowsforms10.window", 50025},
        // Exact and case-sensitive.
        {u"button", 50025},
        {u"Button ", 50025},
        {u"", 50025},
        {u"Chrome_WidgetWin_1", 50025},
    };
    for (const Case& c : cases) EXPECT_EQ(controlTypeFromClassName(c.cls), c.type) << c.type;
}

}  // namespace
