// The Windows test program: GoogleTest, or (with --host) the second process
// that owns the windows of the other-process scenarios.
#include <gtest/gtest.h>

#include <cstring>

#include "real_desktop.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--host") == 0) return ostrand_test::runDesktopHost();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
