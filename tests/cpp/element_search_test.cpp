// Reading find_element's arguments: criteria, control type texts, UTF-8.
#include "actions/action_dispatcher.h"
#include "elements/element_search.h"
#include "test_support.h"

using namespace Ostrand;

namespace {

TEST(FindArguments, CriteriaAreExactNames) {
    FindCriterion c;
    ASSERT_TRUE(findCriterionFromText("automation_id", &c));
    EXPECT_EQ(c, FindCriterion::AutomationId);
    ASSERT_TRUE(findCriterionFromText("control_type", &c));
    EXPECT_EQ(c, FindCriterion::ControlType);
    ASSERT_TRUE(findCriterionFromText("runtime_id_key", &c));
    EXPECT_EQ(c, FindCriterion::RuntimeIdKey);
    for (const char* bad : {"Name", "name ", "", "runtime_id", "class"}) EXPECT_FALSE(findCriterionFromText(bad, &c));
}

TEST(FindArguments, ControlTypeTextsReadLikeStringToLong) {
    EXPECT_EQ(controlTypeFromText("50000"), 50000);
    EXPECT_EQ(controlTypeFromText(" \t50000"), 50000);
    EXPECT_EQ(controlTypeFromText("50000abc"), 50000);
    EXPECT_EQ(controlTypeFromText("+50004"), 50004);
    EXPECT_EQ(controlTypeFromText("-7"), -7);
    EXPECT_EQ(controlTypeFromText("0x10"), 0);  // decimal only: the digits stop at 'x'
    EXPECT_EQ(controlTypeFromText("2147483647"), 2147483647);
    for (const char* zero : {"", "abc", " ", "-", "2147483648", "-2147483649", "99999999999999999999999"})
        EXPECT_EQ(controlTypeFromText(zero), 0) << zero;
}

TEST(ActionArguments, ActionNamesAndPointPacking) {
    ActionType t;
    ASSERT_TRUE(actionTypeFromText("expand", &t));
    EXPECT_EQ(t, ActionType::Expand);
    ASSERT_TRUE(actionTypeFromText("click", &t));
    EXPECT_EQ(t, ActionType::Click);
    for (const char* bad : {"Click", "", "expand ", "double_click"}) EXPECT_FALSE(actionTypeFromText(bad, &t));

    EXPECT_EQ(packPoint(POINT{15, 20}), static_cast<LPARAM>(0x0014000F));
    // Negative and out-of-range coordinates keep their low 16 bits; the
    // upper half of the LPARAM stays 0.
    EXPECT_EQ(packPoint(POINT{-5, -1}), static_cast<LPARAM>(0xFFFFFFFB));
    EXPECT_EQ(packPoint(POINT{0x12345, 0x10002}), static_cast<LPARAM>(0x00022345));
    ActionParams p;
    EXPECT_EQ(MAKEWPARAM(0, p.wheelDelta), static_cast<WPARAM>(0xFF880000));
}

class Utf8Test : public ostrand_test::DeskTest {};

TEST_F(Utf8Test, ConvertsAllOfTheTextAndNothingElse) {
    EXPECT_EQ(utf16FromUtf8(""), WString());
    EXPECT_EQ(utf16FromUtf8("OK"), WString(WLIT("OK")));
    EXPECT_EQ(utf16FromUtf8("Caf\xC3\xA9 \xF0\x9F\x98\x80"), WString(u"Caf\u00e9 \U0001F600"));
    EXPECT_EQ(utf16FromUtf8("\xC0"), WString(u"\uFFFD"));  // invalid bytes as Windows replaces them
    simdesk::failCall("MultiByteToWideChar", ERROR_INVALID_PARAMETER);
    EXPECT_EQ(utf16FromUtf8("lost"), WString());
}

}  // namespace
