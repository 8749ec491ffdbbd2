// Helpers shared by the core's tests.
#pragma once

#include <string>

#include "core/framework.h"
#include "desk_test.h"
#include "simdesk.h"

namespace ostrand_test {

// What the diagnostic log gained since `mark` (a length taken earlier).
inline std::string logSince(size_t mark) { return Ostrand::NativeCore::instance().logCopy().substr(mark); }
inline size_t logMark() { return Ostrand::NativeCore::instance().logCopy().size(); }

inline simdesk::ThreadState threadState(DWORD id) {
    simdesk::ThreadState s;
    simdesk::threadState(id, &s);
    return s;
}

// Every core test starts from a new desktop and leaves the framework down.
class CoreTest : public DeskTest {
protected:
    void TearDown() override {
        simdesk::clearFaults();
        Ostrand::shutdownFramework();
        Ostrand::NativeCore::instance().shutdown();
        DeskTest::TearDown();
    }
};

}  // namespace ostrand_test
