// NativeCore: the process-wide owner of the UI Automation session and of the
// diagnostic log.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/raii.h"

namespace Ostrand {

class NativeCore {
public:
    static NativeCore& instance();

    // Appends one line (the message and a line feed) to the diagnostic log.
    // The log keeps its most recent lines within kLogCapacity bytes; once
    // older ones are dropped, a first line says how many.
    void log(const std::string& message);
    // The line for a native error stopped at the edge of code the platform
    // calls: "Native error in <where>: <what>". Never throws.
    void logCaught(const char* where, const char* what) noexcept;
    // Appends "<prefix>0x" and the HRESULT as eight upper-case hex digits.
    void logFailure(const char* prefix, HRESULT hr);
    // A copy of the whole log.
    std::string logCopy() const;

    static constexpr size_t kLogCapacity = 256 * 1024;

    // Opens the UI Automation session on first need.
    HRESULT ensureUiaSession();

    // The first element of the window's subtree (the window included) that
    // matches `condition`; null with success when none does. A failing
    // search is logged.
    HRESULT findElement(HWND window, IUIAutomationCondition* condition, IUIAutomationElement** element);

    // A reference of the caller's own to the UI Automation object (null
    // without a session), so that a shutdown cannot pull it from under a
    // refresh on another thread.
    ComPtr<IUIAutomation> automationRef();

    // Marks NativeCore started (logging it) if it is not; returns whether
    // this call started it.
    bool start();
    // Releases the session and returns to idle (logs "NativeCore shut down").
    void shutdown();

    ComPtr<IUIAutomation> automation;
    std::atomic<bool> started{false};
    std::atomic<bool> uiaReady{false};
    bool comInitialised = false;
    std::mutex mutex;

private:
    NativeCore() = default;
    ~NativeCore() = default;

    // CoCreateInstance of the class into `automation`; a success without an
    // object is E_FAIL. Under `mutex`.
    HRESULT createAutomation(REFCLSID clsid);

    // The thread whose CoInitializeEx is owed a CoUninitialize.
    std::thread::id comThread;
    std::string diagLog;
    uint64_t droppedLines = 0;    // lines cut from the front of diagLog
    mutable std::mutex logMutex;  // appends and copies of diagLog
};

// The text of an HRESULT in the "0x%08lX" form of messages and log lines.
std::string hresultHex(HRESULT hr);

}  // namespace Ostrand
