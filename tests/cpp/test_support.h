// Helpers shared by the core's tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "core/framework.h"
#include "simdesk.h"

namespace ostrand_test {

// What the diagnostic log gained since `mark` (a length taken earlier).
inline std::string logSince(size_t mark) { return Ostrand::NativeCore::instance().logCopy().substr(mark); }
inline size_t logMark() { return Ostrand::NativeCore::instance().logCopy().size(); }

// Polls `cond` until it holds or `limit` passes: a guard against hangs, not a
// timing assertion.
inline bool eventually(const std::function<bool()>& cond,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline simdesk::ThreadState threadState(DWORD id) {
    simdesk::ThreadState s;
    simdesk::threadState(id, &s);
    return s;
}

// Every core test starts from a new desktop and leaves the framework down.
class CoreTest : public ::testing::Test {
protected:
    void SetUp() override { simdesk::reset(); }
    void TearDown() override {
        simdesk::clearFaults();
        Ostrand::shutdownFramework();
        Ostrand::NativeCore::instance().shutdown();
    }
};

}  // namespace ostrand_test
