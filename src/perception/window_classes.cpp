#include "perception/window_classes.h"

#include <unordered_map>

namespace Ostrand {

const WCHAR* const kUiaFrameworkClasses[] = {
    WLIT("Windows.UI.Core.CoreWindow"),
    WLIT("ApplicationFrameWindow"),
    WLIT("Chrome_WidgetWin_1"),
    WLIT("Chrome_RenderWidgetHostHWND"),
    WLIT("HwndWrapper"),
    WLIT("WPFWindow"),
    nullptr,
};

namespace {

constexpr int kDescendantThreshold = 3;

BOOL CALLBACK countDescendant(HWND, LPARAM context) {
    auto* count = reinterpret_cast<int32_t*>(context);
    ++*count;
    return *count < kDescendantThreshold ? TRUE : FALSE;
}

struct WStringHash {
    size_t operator()(const WString& s) const noexcept {
        // FNV-1a over the UTF-16 units.
        uint64_t h = 1469598103934665603ull;
        for (WCHAR c : s) {
            h ^= static_cast<uint16_t>(c);
            h *= 1099511628211ull;
        }
        return static_cast<size_t>(h);
    }
};

using ClassMap = std::unordered_map<WString, int, WStringHash>;

const ClassMap& classControlTypes() {
    static const ClassMap kClassControlTypes = {
        {WLIT("Button"), UIA_ButtonControlTypeId},
        {WLIT("CheckBox"), UIA_CheckBoxControlTypeId},
        {WLIT("RadioButton"), UIA_RadioButtonControlTypeId},
        {WLIT("Edit"), UIA_EditControlTypeId},
        {WLIT("RichEdit20W"), UIA_EditControlTypeId},
        {WLIT("RichEdit20A"), UIA_EditControlTypeId},
        {WLIT("RichEditD2DPT"), UIA_DocumentControlTypeId},
        {WLIT("RICHEDIT50W"), UIA_EditControlTypeId},
        {WLIT("Static"), UIA_TextControlTypeId},
        {WLIT("ListBox"), UIA_ListControlTypeId},
        {WLIT("SysListView32"), UIA_ListControlTypeId},
        {WLIT("ComboBox"), UIA_ComboBoxControlTypeId},
        {WLIT("SysTreeView32"), UIA_TreeControlTypeId},
        {WLIT("#32768"), UIA_MenuControlTypeId},
        {WLIT("ToolbarWindow32"), UIA_ToolBarControlTypeId},
        {WLIT("SysTabControl32"), UIA_TabControlTypeId},
        {WLIT("msctls_progress32"), UIA_ProgressBarControlTypeId},
        {WLIT("ScrollBar"), UIA_ScrollBarControlTypeId},
        {WLIT("msctls_trackbar32"), UIA_SliderControlTypeId},
        {WLIT("#32770"), UIA_PaneControlTypeId},  // a dialog box is a Pane here
        {WLIT("#32769"), UIA_WindowControlTypeId},
        // The date-and-time picker is an edit field with a drop-down calendar;
        // its accessible role is a drop-down list, which UI Automation shows
        // as a ComboBox.
        {WLIT("SysDateTimePick32"), UIA_ComboBoxControlTypeId},
    };
    return kClassControlTypes;
}

bool sameName(const WString& name, const WCHAR* entry) {
    size_t n = 0;
    while (entry[n]) ++n;
    return name.size() == n && name.compare(0, n, entry, n) == 0;
}

}  // namespace

bool windowPrefersUia(HWND window) {
    WCHAR buffer[256] = {};
    GetClassNameW(window, buffer, 256);
    WString name(buffer);
    for (const WCHAR* const* entry = kUiaFrameworkClasses; *entry; ++entry)
        if (sameName(name, *entry)) return true;
    int32_t count = 0;
    EnumChildWindows(window, countDescendant, reinterpret_cast<LPARAM>(&count));
    return count < kDescendantThreshold;
}

int controlTypeFromClassName(const WString& className) {
    const ClassMap& map = classControlTypes();
    auto it = map.find(className);
    if (it != map.end()) return it->second;
    if (className.size() >= 12 && className.find(WLIT("WindowsForms")) != WString::npos) return UIA_PaneControlTypeId;
    if (className.size() >= 4 && className.find(WLIT("Afx:")) != WString::npos) return UIA_PaneControlTypeId;
    return UIA_CustomControlTypeId;
}

}  // namespace Ostrand
