// The owners of platform resources: a release that fails once must not leak.
#include "platform/raii.h"
#include "test_support.h"

using namespace Ostrand;
using namespace ostrand_test;

namespace {

class RaiiTest : public DeskTest {};

TEST_F(RaiiTest, VariantWhoseClearFailsOnceIsStillCleared) {
    {
        Variant v;
        v.get().vt = VT_BSTR;
        v.get().bstrVal = SysAllocString(WLIT("text"));
        ASSERT_EQ(simdesk::liveCounts().bstr, 1);
        simdesk::failCall("VariantClear", DISP_E_ARRAYISLOCKED);
    }
    EXPECT_EQ(simdesk::callCount("VariantClear"), 2);
    EXPECT_EQ(simdesk::liveCounts().bstr, 0);
}

TEST_F(RaiiTest, ArrayWhoseDestroyFailsOnceIsStillDestroyed) {
    {
        SafeArray a(SafeArrayCreateVector(VT_I4, 0, 2));
        ASSERT_EQ(simdesk::liveCounts().safearray, 1);
        simdesk::failCall("SafeArrayDestroy", DISP_E_ARRAYISLOCKED);
    }
    EXPECT_EQ(simdesk::callCount("SafeArrayDestroy"), 2);
    EXPECT_EQ(simdesk::liveCounts().safearray, 0);
}

TEST_F(RaiiTest, AReleaseThatKeepsFailingIsGivenUp) {
    SAFEARRAY* raw = SafeArrayCreateVector(VT_I4, 0, 1);
    simdesk::failCall("SafeArrayDestroy", E_FAIL, -1);
    { SafeArray a(raw); }  // returns: no endless retry
    EXPECT_EQ(simdesk::liveCounts().safearray, 1);
    simdesk::clearFaults();
    EXPECT_EQ(SafeArrayDestroy(raw), S_OK);
}

}  // namespace
