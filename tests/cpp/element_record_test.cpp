// Keys of element records and the property-name table.
#include <climits>
#include <vector>

#include "perception/element_record.h"
#include "test_support.h"

using namespace Ostrand;

namespace {

// A VT_I4 vector with the given lower bound, owned by the caller.
SAFEARRAY* intArray(const std::vector<LONG>& values, LONG lower = 0) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_I4, lower, static_cast<ULONG>(values.size()));
    for (size_t i = 0; i < values.size(); ++i) {
        LONG index = lower + static_cast<LONG>(i);
        LONG v = values[i];
        SafeArrayPutElement(a, &index, &v);
    }
    return a;
}

std::string keyOf(const std::vector<LONG>& values, LONG lower = 0) {
    SafeArray a(intArray(values, lower));
    return keyFromRuntimeId(a.get());
}

class ElementRecordTest : public ostrand_test::DeskTest {};

TEST_F(ElementRecordTest, RuntimeIdKeysJoinTheIntegersWithCommas) {
    EXPECT_EQ(keyOf({42, 1234, 4, 17}), "42,1234,4,17");
    EXPECT_EQ(keyOf({42}), "42");
    EXPECT_EQ(keyOf({42, -5}), "42,-5");
    EXPECT_EQ(keyOf({INT_MIN, INT_MAX}), "-2147483648,2147483647");
    EXPECT_EQ(keyOf({7, 8}, -3), "7,8");  // from the lower bound, whatever it is
    EXPECT_EQ(keyOf({}), "");            // upper bound below lower bound
    EXPECT_EQ(keyFromRuntimeId(nullptr), "");
}

TEST_F(ElementRecordTest, UnreadableBoundsGiveNoKeyAndUnreadableElementsReadAsZero) {
    SafeArray a(intArray({42, 9, 3}));
    simdesk::failCall("SafeArrayGetUBound", E_FAIL);
    EXPECT_EQ(keyFromRuntimeId(a.get()), "");
    simdesk::failCall("SafeArrayGetLBound", E_FAIL);
    EXPECT_EQ(keyFromRuntimeId(a.get()), "");
    simdesk::failCall("SafeArrayGetElement", DISP_E_BADINDEX, 1, 1);
    EXPECT_EQ(keyFromRuntimeId(a.get()), "42,0,3");
}

TEST_F(ElementRecordTest, HwndKeysAreUpperCaseHexWithoutPadding) {
    EXPECT_EQ(keyFromHwnd(reinterpret_cast<HWND>(0x10010)), "hwnd:10010");
    EXPECT_EQ(keyFromHwnd(reinterpret_cast<HWND>(0x1a2b)), "hwnd:1A2B");
    EXPECT_EQ(keyFromHwnd(reinterpret_cast<HWND>(~uintptr_t{0})), "hwnd:FFFFFFFFFFFFFFFF");
    EXPECT_EQ(keyFromHwnd(nullptr), "hwnd:0");
}

TEST(PropertyNames, ExactCaseSensitiveWholeNames) {
    EXPECT_EQ(propertyIdFromName("name"), 30005);
    EXPECT_EQ(propertyIdFromName("automation_id"), 30011);
    EXPECT_EQ(propertyIdFromName("control_type"), 30003);
    EXPECT_EQ(propertyIdFromName("bounding_rect"), 30001);
    EXPECT_EQ(propertyIdFromName("is_enabled"), 30010);
    EXPECT_EQ(propertyIdFromName("class_name"), 30012);
    EXPECT_EQ(propertyIdFromName("process_id"), 30002);
    for (const char* other : {"Name", "name ", "runtime_id_key", "", "nam", "class_names"})
        EXPECT_EQ(propertyIdFromName(other), 0) << other;
    EXPECT_EQ(propertyIdFromName(std::string("name\0x", 6)), 0);
}

TEST(SteadyClock, IsMonotonicNanoseconds) {
    int64_t a = steadyClockNanos();
    int64_t b = steadyClockNanos();
    EXPECT_GT(a, 0);
    EXPECT_GE(b, a);
}

}  // namespace
