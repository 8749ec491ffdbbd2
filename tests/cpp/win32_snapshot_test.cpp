// The Win32 path: which windows become records, and what the records hold.
#include <algorithm>
#include <map>

#include "perception/cache_manager.h"
#include "perception/snapshot_store.h"
#include "perception/win32_snapshot.h"
#include "test_support.h"

using namespace Ostrand;

namespace {

class Win32SnapshotTest : public ostrand_test::DeskTest {
protected:
    static HWND make(HWND parent, const std::u16string& cls, RECT rect = {0, 0, 50, 20}, bool visible = true,
                     const std::u16string& text = u"") {
        return ostrand_test::makeWindow(parent, cls, rect, visible, text);
    }

    // The store's records by key after a refresh of `target`.
    std::map<std::string, ElementRecord> refresh(HWND target) {
        EXPECT_EQ(manager.refreshWin32Snapshot(target), S_OK);
        EXPECT_TRUE(store.isValid());
        std::map<std::string, ElementRecord> out;
        for (auto& r : store.copyRecords()) out[r->runtime_id_key] = *r;
        return out;
    }

    SnapshotStore store;
    CacheManager manager{&store, &NativeCore::instance()};
};

TEST_F(Win32SnapshotTest, DialogRecordsCarryTheWindowFacts) {
    HWND dialog = make(nullptr, u"#32770", {-1920, 100, -1520, 400}, true, u"Settings");
    HWND ok = make(dialog, u"Button", {-1800, 350, -1720, 375}, true, u"OK");
    HWND edit = make(dialog, u"Edit", {-1900, 120, -1600, 140}, true, u"typed");
    simdesk::setWindowEnabled(ok, false);

    auto records = refresh(dialog);
    ASSERT_EQ(records.size(), 3u);
    const ElementRecord& d = records.at(keyFromHwnd(dialog));
    EXPECT_EQ(d.name, u"Settings");
    EXPECT_EQ(d.class_name, u"#32770");
    EXPECT_EQ(d.control_type, 50033);
    EXPECT_EQ((std::vector<int32_t>(d.bounding_rect, d.bounding_rect + 4)), (std::vector<int32_t>{-1920, 100, -1520, 400}));
    EXPECT_TRUE(d.is_enabled);
    EXPECT_GT(d.updated_at, 0);

    const ElementRecord& b = records.at(keyFromHwnd(ok));
    EXPECT_EQ(b.name, u"OK");
    EXPECT_EQ(b.control_type, 50000);
    EXPECT_FALSE(b.is_enabled);
    EXPECT_EQ(records.at(keyFromHwnd(edit)).control_type, 50004);
    for (auto& [key, r] : records) {
        EXPECT_TRUE(r.automation_id.empty());
        EXPECT_EQ(r.runtime_id_key, key);
    }
    // No COM is needed on this path.
    EXPECT_EQ(simdesk::callCount("CoCreateInstance"), 0);
    EXPECT_EQ(simdesk::callCount("ElementFromHandle"), 0);
}

TEST_F(Win32SnapshotTest, FilterKeepsTheTargetAndDropsHiddenOrEmptyChildren) {
    HWND target = make(nullptr, u"#32770", {0, 0, 300, 300}, false);  // hidden target
    HWND shown = make(target, u"Button");
    HWND hidden = make(target, u"Button", {0, 0, 50, 20}, false);
    HWND underHidden = make(hidden, u"Static");
    HWND thin = make(target, u"Static", {10, 10, 10, 40});     // width 0, height 30
    HWND flat = make(target, u"Static", {10, 10, 60, 10});     // height 0, width 50
    HWND empty = make(target, u"Static", {10, 10, 10, 10});    // 0 by 0
    HWND negative = make(target, u"Static", {10, 10, 5, 5});   // both negative
    HWND deep = make(make(make(target, u"Static"), u"Static"), u"Edit");

    auto records = refresh(target);
    EXPECT_TRUE(records.count(keyFromHwnd(target)));
    // Children of a hidden target are not visible, whatever their own state.
    EXPECT_EQ(records.size(), 1u);

    simdesk::setWindowVisible(target, true);
    records = refresh(target);
    for (HWND kept : {target, shown, thin, flat, deep}) EXPECT_TRUE(records.count(keyFromHwnd(kept)));
    for (HWND dropped : {hidden, underHidden, empty, negative}) EXPECT_FALSE(records.count(keyFromHwnd(dropped)));
    EXPECT_EQ(records.size(), 7u);  // target, shown, thin, flat, deep and deep's two ancestors
}

TEST_F(Win32SnapshotTest, LongTextIsCutAt511UnitsAndDeadWindowsReadEmpty) {
    std::u16string text(600, u'x');
    text[510] = u'y';
    HWND target = make(nullptr, u"Static", {0, 0, 10, 10}, true, text);
    auto records = refresh(target);
    const WString& name = records.at(keyFromHwnd(target)).name;
    ASSERT_EQ(name.size(), 511u);
    EXPECT_EQ(name.back(), u'y');

    // A cut through a surrogate pair drops its lone first half: no half
    // character reaches Python, where it could not be encoded.
    text[509] = u'z';
    text[510] = char16_t(0xD83D);
    text[511] = char16_t(0xDE00);
    simdesk::setWindowText(target, text);
    const WString cut = refresh(target).at(keyFromHwnd(target)).name;
    ASSERT_EQ(cut.size(), 510u);
    EXPECT_EQ(cut.back(), u'z');
    // A cut right after a whole pair keeps it.
    text[509] = char16_t(0xD83D);
    text[510] = char16_t(0xDE00);
    text[511] = u'z';
    simdesk::setWindowText(target, text);
    const WString whole = refresh(target).at(keyFromHwnd(target)).name;
    ASSERT_EQ(whole.size(), 511u);
    EXPECT_EQ(whole.substr(509), u"\U0001F600");

    // A class name is cut at 255 units.
    HWND longClass = make(nullptr, std::u16string(300, u'c'));
    EXPECT_EQ(refresh(longClass).at(keyFromHwnd(longClass)).class_name.size(), 255u);

    // A target that no longer exists is still its own record, read empty.
    HWND gone = make(nullptr, u"Button");
    simdesk::destroyWindow(gone);
    records = refresh(gone);
    ASSERT_EQ(records.size(), 1u);
    const ElementRecord& r = records.at(keyFromHwnd(gone));
    EXPECT_TRUE(r.name.empty());
    EXPECT_TRUE(r.class_name.empty());
    EXPECT_EQ(r.control_type, 50025);
    EXPECT_FALSE(r.is_enabled);
    EXPECT_EQ((std::vector<int32_t>(r.bounding_rect, r.bounding_rect + 4)), (std::vector<int32_t>{0, 0, 0, 0}));
}

TEST_F(Win32SnapshotTest, FailedReadsLeaveDefaultsAndTheRefreshStillSucceeds) {
    HWND target = make(nullptr, u"Button", {1, 2, 3, 4}, true, u"Go");
    simdesk::failCall("GetWindowTextW", ERROR_INVALID_WINDOW_HANDLE);
    simdesk::failCall("GetClassNameW", ERROR_INVALID_WINDOW_HANDLE);
    simdesk::failCall("GetWindowRect", ERROR_INVALID_WINDOW_HANDLE);
    auto records = refresh(target);
    const ElementRecord& r = records.at(keyFromHwnd(target));
    EXPECT_TRUE(r.name.empty());
    EXPECT_TRUE(r.class_name.empty());
    EXPECT_EQ(r.control_type, 50025);
    EXPECT_EQ(r.bounding_rect[2], 0);
}

TEST_F(Win32SnapshotTest, RecordsComeInTheOrderOfTheWalk) {
    HWND target = make(nullptr, u"#32770", {0, 0, 100, 100});
    HWND first = make(target, u"Edit");  // created first: enumerated first
    HWND second = make(target, u"Button");
    HWND inner = make(first, u"Static");
    ASSERT_EQ(manager.refreshWin32Snapshot(target), S_OK);
    std::vector<std::string> keys;
    for (auto& r : store.copyRecords()) keys.push_back(r->runtime_id_key);
    EXPECT_EQ(keys, (std::vector<std::string>{keyFromHwnd(target), keyFromHwnd(first), keyFromHwnd(inner),
                                              keyFromHwnd(second)}));
}

TEST_F(Win32SnapshotTest, EachRefreshReplacesTheWholeSnapshot) {
    HWND target = make(nullptr, u"#32770", {0, 0, 100, 100});
    HWND a = make(target, u"Button");
    HWND b = make(target, u"Edit");
    EXPECT_EQ(refresh(target).size(), 3u);
    simdesk::destroyWindow(a);
    auto records = refresh(target);
    EXPECT_EQ(records.size(), 2u);
    EXPECT_FALSE(records.count(keyFromHwnd(a)));
    EXPECT_TRUE(records.count(keyFromHwnd(b)));

    // A null target enumerates nothing: an empty, valid store.
    EXPECT_TRUE(refresh(nullptr).empty());
}

TEST_F(Win32SnapshotTest, CollectReadsInTheWindowSystemOnly) {
    HWND w = make(nullptr, u"RichEditD2DPT", {5, 6, 7, 8}, true, u"doc");
    WindowInfo info = collectWindowInfo(w);
    EXPECT_EQ(info.handle, w);
    EXPECT_EQ(info.text, u"doc");
    EXPECT_EQ(info.controlType, 50030);
    EXPECT_TRUE(info.visible);
    EXPECT_TRUE(info.enabled);
    EXPECT_EQ(info.key, keyFromHwnd(w));
    ElementRecord r = recordFromWindowInfo(info);
    EXPECT_EQ(r.bounding_rect[3], 8);
    EXPECT_TRUE(r.automation_id.empty());
}

}  // namespace
