// What every test of the simulated desktop and the core shares: a fixture that
// starts from a new desktop, and bounded polling.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "simdesk.h"

namespace ostrand_test {

// Starts every test on a new desktop and clears its faults and windows after
// it. The test main checks after each test that no live object is left.
class DeskTest : public ::testing::Test {
protected:
    void SetUp() override { simdesk::reset(); }
    void TearDown() override {
        simdesk::clearFaults();
        simdesk::destroyAllWindows();
    }
};

// A window for a test: `cls` under `parent` (null: top level).
inline HWND makeWindow(HWND parent, const std::u16string& cls, RECT rect = {0, 0, 50, 20}, bool visible = true,
                       const std::u16string& text = u"") {
    simdesk::WindowDesc d;
    d.parent = parent;
    d.className = cls;
    d.text = text;
    d.rect = rect;
    d.visible = visible;
    HWND h = simdesk::createWindow(d);
    EXPECT_NE(h, nullptr);
    return h;
}

// Polls `cond` until it holds or `limit` passes: a guard against hangs, never
// a timing assertion.
inline bool eventually(const std::function<bool()>& cond,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace ostrand_test
