// Test main: after every test the simulated desktop must hold no live COM
// object, BSTR, SAFEARRAY or filled VARIANT; a test that leaves one fails the
// run.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "simdesk.h"

namespace {

std::vector<std::string> leakingTests;

class LeakCheck : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo& info) override {
        simdesk::LiveCounts c = simdesk::liveCounts();
        if (c.com == 0 && c.bstr == 0 && c.safearray == 0 && c.variant == 0) return;
        char buf[256];
        std::snprintf(buf, sizeof buf, "%s.%s left com=%ld bstr=%ld safearray=%ld variant=%ld", info.test_suite_name(),
                      info.name(), c.com, c.bstr, c.safearray, c.variant);
        std::fprintf(stderr, "LEAK: %s\n", buf);
        leakingTests.push_back(buf);
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new LeakCheck);
    int rc = RUN_ALL_TESTS();
    if (!leakingTests.empty()) {
        std::fprintf(stderr, "%zu test(s) leaked platform objects\n", leakingTests.size());
        return 1;
    }
    return rc;
}
