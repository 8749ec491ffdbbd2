// Per-call counters and injected faults, and the live-object counters.
#include <mutex>
#include <string>
#include <unordered_set>

#include "internal.h"

namespace simdesk::detail {
namespace {

struct Site {
    const char* name;
    FailKind kind;
    std::atomic<int64_t> calls{0};
    std::atomic<bool> armed{false};
    std::atomic<bool> closing{false};
    // Guarded by faultMutex.
    int32_t code = 0;
    int remaining = 0;  // -1: until cleared
    int skip = 0;
    HWND closeWindow = nullptr;  // destroyed (or hung) on entry, after closeSkip calls
    int closeSkip = 0;
    bool closeHangs = false;  // the window stops answering instead of closing
};

std::mutex faultMutex;

Site* sites() {
    // Never destroyed: platform calls may come from static destructors.
    static Site* table = [] {
        auto* t = new Site[static_cast<int>(Call::Count)];
        int i = 0;
#define SIMDESK_SITE(n, k) \
    t[i].name = #n;        \
    t[i].kind = FailKind::k; \
    ++i;
        SIMDESK_CALLS(SIMDESK_SITE)
#undef SIMDESK_SITE
        return t;
    }();
    return table;
}

Site* findSite(const std::string& name) {
    Site* t = sites();
    for (int i = 0; i < static_cast<int>(Call::Count); ++i)
        if (name == t[i].name) return &t[i];
    return nullptr;
}

struct VariantSet {
    std::mutex m;
    std::unordered_set<VARIANT*> filled;
};
VariantSet& variants() {
    static VariantSet* v = new VariantSet;
    return *v;
}

}  // namespace

namespace {

// The window a destroyWindowOnCall() or hangWindowOnCall() made for this
// call closes (or hangs) now, or null.
HWND windowClosingNow(Site& s, bool* hangs) {
    if (!s.closing.load(std::memory_order_acquire)) return nullptr;
    std::lock_guard<std::mutex> g(faultMutex);
    if (!s.closeWindow) return nullptr;
    if (s.closeSkip > 0) {
        --s.closeSkip;
        return nullptr;
    }
    HWND h = s.closeWindow;
    *hangs = s.closeHangs;
    s.closeWindow = nullptr;
    s.closing.store(false, std::memory_order_release);
    return h;
}

}  // namespace

bool enter(Call call, int32_t* code) {
    Site& s = sites()[static_cast<int>(call)];
    s.calls.fetch_add(1, std::memory_order_relaxed);
    // Platform functions are entered without the desktop's lock held.
    bool hangs = false;
    if (HWND h = windowClosingNow(s, &hangs)) hangs ? (void)setWindowHung(h, true) : (void)destroyWindow(h);
    if (!s.armed.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> g(faultMutex);
    if (s.remaining == 0) return false;
    if (s.skip > 0) {
        --s.skip;
        return false;
    }
    if (s.remaining > 0 && --s.remaining == 0) s.armed.store(false, std::memory_order_release);
    *code = s.code;
    return true;
}

Live& live() {
    static Live* l = new Live;
    return *l;
}

void variantFilled(VARIANT* v) {
    auto& vs = variants();
    std::lock_guard<std::mutex> g(vs.m);
    if (vs.filled.insert(v).second) live().variant.fetch_add(1);
}

void variantCleared(VARIANT* v) {
    auto& vs = variants();
    std::lock_guard<std::mutex> g(vs.m);
    if (vs.filled.erase(v)) live().variant.fetch_sub(1);
}

}  // namespace simdesk::detail

namespace simdesk {

using namespace detail;

LiveCounts liveCounts() {
    LiveCounts c;
    c.com = live().com.load();
    c.bstr = live().bstr.load();
    c.safearray = live().safearray.load();
    c.variant = live().variant.load();
    return c;
}

std::vector<std::string> callNames() {
    std::vector<std::string> names;
    for (int i = 0; i < static_cast<int>(Call::Count); ++i) names.emplace_back(sites()[i].name);
    return names;
}

int64_t callCount(const std::string& name) {
    Site* s = findSite(name);
    return s ? s->calls.load() : -1;
}

std::string callKind(const std::string& name) {
    Site* s = findSite(name);
    if (!s) return {};
    switch (s->kind) {
        case FailKind::Hresult: return "hresult";
        case FailKind::LastError: return "last_error";
        case FailKind::Null: return "null";
        default: return "never";
    }
}

void resetCalls() {
    for (int i = 0; i < static_cast<int>(Call::Count); ++i) sites()[i].calls.store(0);
    resetCrossProcessCalls();
}

bool failCall(const std::string& name, int32_t code, int count, int skip) {
    Site* s = findSite(name);
    if (!s || s->kind == FailKind::Never || count == 0 || count < -1 || skip < 0) return false;
    std::lock_guard<std::mutex> g(faultMutex);
    s->code = code;
    s->remaining = count;
    s->skip = skip;
    s->armed.store(true, std::memory_order_release);
    return true;
}

namespace {

bool onCall(HWND hwnd, const std::string& name, int skip, bool hangs) {
    Site* s = findSite(name);
    if (!s || skip < 0) return false;
    std::lock_guard<std::mutex> g(faultMutex);
    s->closeWindow = hwnd;
    s->closeSkip = skip;
    s->closeHangs = hangs;
    s->closing.store(true, std::memory_order_release);
    return true;
}

}  // namespace

bool destroyWindowOnCall(HWND hwnd, const std::string& name, int skip) { return onCall(hwnd, name, skip, false); }

bool hangWindowOnCall(HWND hwnd, const std::string& name, int skip) { return onCall(hwnd, name, skip, true); }

void clearFaults() {
    std::lock_guard<std::mutex> g(faultMutex);
    for (int i = 0; i < static_cast<int>(Call::Count); ++i) {
        Site& s = sites()[i];
        s.armed.store(false);
        s.remaining = 0;
        s.skip = 0;
        s.closing.store(false);
        s.closeWindow = nullptr;
        s.closeSkip = 0;
    }
}

void reset() {
    resetEvents();  // first: no handler runs while the desktop is taken down
    destroyAllWindows();
    resetInput();
    clearFaults();
    resetCalls();
    setCrossProcessLatency(0);
    setUiaTimeouts(UiaTimeouts{});
    setAutomation8Registered(true);
    resetThreads();
}

}  // namespace simdesk
