#include "core/native_core.h"

#include <algorithm>
#include <cstdio>

namespace Ostrand {

NativeCore& NativeCore::instance() {
    static NativeCore core;
    return core;
}

std::string hresultHex(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(static_cast<uint32_t>(hr)));
    return buf;
}

void NativeCore::log(const std::string& message) {
    std::lock_guard<std::mutex> g(logMutex);
    diagLog += message;
    diagLog += '\n';
    if (diagLog.size() <= kLogCapacity) return;
    // Cut whole lines down to three quarters, so that trimming is paid for
    // once per many appends and a copy stays cheap. The notice line counts
    // against the capacity too.
    size_t cut = diagLog.size() - kLogCapacity * 3 / 4;
    size_t end = diagLog.find('\n', cut - 1);
    cut = end == std::string::npos ? diagLog.size() : end + 1;
    droppedLines += static_cast<uint64_t>(std::count(diagLog.begin(), diagLog.begin() + static_cast<std::ptrdiff_t>(cut), '\n'));
    diagLog.erase(0, cut);
}

void NativeCore::logCaught(const char* where, const char* what) noexcept {
    try {
        std::string line("Native error in ");
        line += where;
        line += ": ";
        line += what;
        log(line);
    } catch (...) {
        // Out of memory for the line itself: nothing more to be done.
    }
}

void NativeCore::logFailure(const char* prefix, HRESULT hr) { log(std::string(prefix) + "0x" + hresultHex(hr)); }

std::string NativeCore::logCopy() const {
    std::lock_guard<std::mutex> g(logMutex);
    if (droppedLines == 0) return diagLog;
    char notice[64];
    int n = std::snprintf(notice, sizeof notice, "(%llu earlier lines dropped)\n",
                          static_cast<unsigned long long>(droppedLines));
    std::string copy;
    copy.reserve(static_cast<size_t>(n) + diagLog.size());
    copy.append(notice, static_cast<size_t>(n));
    copy += diagLog;
    return copy;
}

HRESULT NativeCore::createAutomation(REFCLSID clsid) {
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation, automation.putVoid());
    // A success that hands out no object opens no session: marked ready, the
    // session would never be tried again.
    if (SUCCEEDED(hr) && !automation) hr = E_FAIL;
    if (FAILED(hr)) automation.reset();
    return hr;
}

HRESULT NativeCore::ensureUiaSession() {
    if (uiaReady.load(std::memory_order_acquire)) return S_OK;
    if (!started.load()) return HRESULT_FROM_WIN32(ERROR_INVALID_STATE);

    std::lock_guard<std::mutex> g(mutex);
    if (uiaReady.load(std::memory_order_acquire)) return S_OK;

    // A thread already in a single-threaded apartment stays there.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) {
        logFailure("CoInitializeEx failed: ", hr);
        return hr;
    }
    comInitialised = SUCCEEDED(hr);

    // CUIAutomation8 gives up on an application that stopped answering (after
    // its connection and transaction timeouts); CUIAutomation may wait on it
    // for as long as it is hung, with the caller's interpreter lock held.
    // The older class only where the newer is not registered.
    hr = createAutomation(CLSID_CUIAutomation8);
    if (hr == REGDB_E_CLASSNOTREG) hr = createAutomation(CLSID_CUIAutomation);
    if (FAILED(hr)) {
        logFailure("CoCreateInstance(CUIAutomation) failed: ", hr);
        if (comInitialised) CoUninitialize();
        comInitialised = false;
        return hr;
    }
    comThread = std::this_thread::get_id();
    uiaReady.store(true, std::memory_order_release);
    log("UIA COM session initialised (lazy)");
    return S_OK;
}

ComPtr<IUIAutomation> NativeCore::automationRef() {
    std::lock_guard<std::mutex> g(mutex);
    return automation;
}

bool NativeCore::start() {
    if (started.load()) return false;
    started.store(true);
    log("NativeCore initialised (Win32 path ready, UIA deferred)");
    return true;
}

void NativeCore::shutdown() {
    if (!started.load()) return;
    std::lock_guard<std::mutex> g(mutex);
    if (uiaReady.load()) {
        automation.reset();
        // The COM initialisation belongs to the thread that made it: undoing
        // it from any other thread would unbalance that thread's own COM.
        if (comInitialised && comThread == std::this_thread::get_id()) CoUninitialize();
        uiaReady.store(false);
        comInitialised = false;
    }
    started.store(false);
    log("NativeCore shut down");
}

}  // namespace Ostrand
