// kernel32: last error, thread ids and the thread registry, the performance
// counter, Sleep, slim reader/writer locks and UTF-8 decoding.
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>

#include "internal.h"

namespace simdesk::detail {
namespace {

thread_local DWORD lastError = 0;

struct Registry {
    std::mutex m;
    std::map<DWORD, std::shared_ptr<ThreadData>> threads;
    std::atomic<DWORD> nextId{0x1000};
    std::atomic<int> mta{0};
};
Registry& registry() {
    static Registry* r = new Registry;  // outlives every thread
    return *r;
}

// Ends the thread's record when the thread exits: its queue goes away, so
// messages can no longer be posted to it.
struct ThreadSlot {
    std::shared_ptr<ThreadData> data;
    ~ThreadSlot() {
        if (!data) return;
        std::lock_guard<std::mutex> g(data->m);
        data->alive = false;
        data->hasQueue = false;
        data->queue.clear();
        if (data->apartment == Apartment::Mta) registry().mta.fetch_sub(1);
        data->apartment = Apartment::None;
        data->comCount = 0;
    }
};
thread_local ThreadSlot slot;

}  // namespace

void setLastError(DWORD code) { lastError = code; }

ThreadData& currentThread() {
    if (!slot.data) {
        auto d = std::make_shared<ThreadData>();
        // Windows thread ids are multiples of four and never 0.
        d->id = registry().nextId.fetch_add(4);
        std::lock_guard<std::mutex> g(registry().m);
        registry().threads[d->id] = d;
        slot.data = d;
    }
    return *slot.data;
}

std::shared_ptr<ThreadData> findThread(DWORD id) {
    std::lock_guard<std::mutex> g(registry().m);
    auto it = registry().threads.find(id);
    return it == registry().threads.end() ? nullptr : it->second;
}

std::atomic<int>& mtaMembers() { return registry().mta; }

void resetThreads() {
    std::lock_guard<std::mutex> g(registry().m);
    for (auto it = registry().threads.begin(); it != registry().threads.end();) {
        bool dead;
        {
            std::lock_guard<std::mutex> tg(it->second->m);
            dead = !it->second->alive;
        }
        it = dead ? registry().threads.erase(it) : std::next(it);
    }
}

}  // namespace simdesk::detail

namespace simdesk {

static ThreadState stateOf(detail::ThreadData& d) {
    std::lock_guard<std::mutex> g(d.m);
    ThreadState s;
    s.id = d.id;
    s.alive = d.alive;
    s.apartment = d.apartment;
    s.comInitCount = d.comCount;
    s.hasQueue = d.hasQueue;
    s.queued = d.queue.size();
    s.waits = d.waits;
    s.waitTimeouts = d.waitTimeouts;
    s.lastWaitResult = d.lastWaitResult;
    s.messagesRemoved = d.removed;
    return s;
}

std::vector<ThreadState> threads() {
    std::vector<std::shared_ptr<detail::ThreadData>> all;
    {
        std::lock_guard<std::mutex> g(detail::registry().m);
        for (auto& [id, d] : detail::registry().threads) all.push_back(d);
    }
    std::vector<ThreadState> out;
    for (auto& d : all) out.push_back(stateOf(*d));
    return out;
}

bool threadState(DWORD id, ThreadState* out) {
    auto d = detail::findThread(id);
    if (!d || !out) return false;
    *out = stateOf(*d);
    return true;
}

}  // namespace simdesk

using namespace simdesk::detail;

SIMAPI DWORD WINAPI GetLastError(void) {
    SIM_ENTER(GetLastError);
    return lastError;
}

SIMAPI void WINAPI SetLastError(DWORD code) {
    SIM_ENTER(SetLastError);
    lastError = code;
}

SIMAPI DWORD WINAPI GetCurrentThreadId(void) {
    SIM_ENTER(GetCurrentThreadId);
    return currentThread().id;
}

// 10 MHz, the usual frequency on Windows 10 and later.
static constexpr LONGLONG kQpcFrequency = 10000000;

SIMAPI BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    SIM_ENTER(QueryPerformanceCounter);
    SIM_FAIL_LE(FALSE);
    if (!count) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    count->QuadPart = (LONGLONG)ts.tv_sec * kQpcFrequency + ts.tv_nsec / 100;
    return TRUE;
}

SIMAPI BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* freq) {
    SIM_ENTER(QueryPerformanceFrequency);
    SIM_FAIL_LE(FALSE);
    if (!freq) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    freq->QuadPart = kQpcFrequency;
    return TRUE;
}

SIMAPI void WINAPI Sleep(DWORD ms) {
    SIM_ENTER(Sleep);
    if (ms == 0) {
        sched_yield();
        return;
    }
    if (ms == INFINITE) {
        for (;;) {
            timespec hour{3600, 0};
            nanosleep(&hour, nullptr);
        }
    }
    timespec ts{(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

// ---- SRW locks ----
// The pointer-sized word holds the state: bit 0 the writer, the rest twice
// the reader count. Waiting uses the futex-backed std::atomic wait, which
// ThreadSanitizer understands through the acquire/release atomics.

static std::atomic_ref<uintptr_t> srwWord(PSRWLOCK lock) {
    static_assert(sizeof(uintptr_t) == sizeof(lock->Ptr));
    return std::atomic_ref<uintptr_t>(*reinterpret_cast<uintptr_t*>(&lock->Ptr));
}

SIMAPI void WINAPI InitializeSRWLock(PSRWLOCK lock) {
    SIM_ENTER(InitializeSRWLock);
    lock->Ptr = nullptr;
}

SIMAPI BOOLEAN WINAPI TryAcquireSRWLockExclusive(PSRWLOCK lock) {
    SIM_ENTER(TryAcquireSRWLockExclusive);
    uintptr_t expected = 0;
    return srwWord(lock).compare_exchange_strong(expected, 1, std::memory_order_acquire) ? TRUE
                                                                                          : FALSE;
}

SIMAPI BOOLEAN WINAPI TryAcquireSRWLockShared(PSRWLOCK lock) {
    SIM_ENTER(TryAcquireSRWLockShared);
    auto w = srwWord(lock);
    uintptr_t v = w.load(std::memory_order_relaxed);
    while (!(v & 1)) {
        if (w.compare_exchange_weak(v, v + 2, std::memory_order_acquire)) return TRUE;
    }
    return FALSE;
}

SIMAPI void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock) {
    SIM_ENTER(AcquireSRWLockExclusive);
    auto w = srwWord(lock);
    uintptr_t v = 0;
    while (!w.compare_exchange_weak(v, 1, std::memory_order_acquire)) {
        if (v != 0) w.wait(v, std::memory_order_relaxed);
        v = 0;
    }
}

SIMAPI void WINAPI ReleaseSRWLockExclusive(PSRWLOCK lock) {
    SIM_ENTER(ReleaseSRWLockExclusive);
    auto w = srwWord(lock);
    w.store(0, std::memory_order_release);
    w.notify_all();
}

SIMAPI void WINAPI AcquireSRWLockShared(PSRWLOCK lock) {
    SIM_ENTER(AcquireSRWLockShared);
    auto w = srwWord(lock);
    uintptr_t v = w.load(std::memory_order_relaxed);
    for (;;) {
        if (v & 1) {
            w.wait(v, std::memory_order_relaxed);
            v = w.load(std::memory_order_relaxed);
        } else if (w.compare_exchange_weak(v, v + 2, std::memory_order_acquire)) {
            return;
        }
    }
}

SIMAPI void WINAPI ReleaseSRWLockShared(PSRWLOCK lock) {
    SIM_ENTER(ReleaseSRWLockShared);
    auto w = srwWord(lock);
    if (w.fetch_sub(2, std::memory_order_release) == 2) w.notify_all();
}

// ---- UTF-8 ----

namespace {

// Decodes UTF-8 as Windows does without MB_ERR_INVALID_CHARS: each maximal
// invalid subpart becomes one U+FFFD. Returns the number of UTF-16 units;
// writes them when `out` is not null; `bad` tells whether anything was
// invalid.
size_t decodeUtf8(const unsigned char* s, size_t n, char16_t* out, bool* bad) {
    size_t units = 0;
    auto put = [&](char16_t u) {
        if (out) out[units] = u;
        ++units;
    };
    size_t i = 0;
    while (i < n) {
        unsigned char b = s[i];
        if (b < 0x80) {
            put(b);
            ++i;
            continue;
        }
        int need;
        uint32_t cp;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;  // no encoded surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            *bad = true;
            put(0xFFFD);
            ++i;
            continue;
        }
        size_t j = i + 1;
        int got = 0;
        while (got < need && j < n) {
            unsigned char c = s[j];
            unsigned char l = got == 0 ? lo : 0x80, h = got == 0 ? hi : 0xBF;
            if (c < l || c > h) break;
            cp = (cp << 6) | (c & 0x3F);
            ++j;
            ++got;
        }
        if (got < need) {
            *bad = true;
            put(0xFFFD);
            i = j;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(static_cast<char16_t>(0xD800 + (cp >> 10)));
            put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            put(static_cast<char16_t>(cp));
        }
        i = j;
    }
    return units;
}

}  // namespace

SIMAPI int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH src, int srcLen,
                                      LPWSTR dst, int dstLen) {
    SIM_ENTER(MultiByteToWideChar);
    SIM_FAIL_LE(0);
    if (codePage != CP_UTF8) {
        setLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags != 0 && flags != MB_ERR_INVALID_CHARS) {
        setLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (!src || srcLen == 0 || dstLen < 0 || (!dst && dstLen != 0) ||
        (dst && (const void*)dst == (const void*)src)) {
        setLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Any negative length means a zero-terminated string, terminator included.
    size_t n = srcLen < 0 ? std::strlen(src) + 1 : (size_t)srcLen;
    auto* bytes = reinterpret_cast<const unsigned char*>(src);
    bool bad = false;
    size_t need = decodeUtf8(bytes, n, nullptr, &bad);
    bool strict = bad && (flags & MB_ERR_INVALID_CHARS);
    if (dstLen == 0) {
        if (strict) setLastError(ERROR_NO_UNICODE_TRANSLATION);
        return strict ? 0 : (int)need;
    }
    // Windows writes what fits (replacement characters included) before it
    // reports a short buffer or, in strict mode, the invalid input.
    std::u16string text(need, u'\0');
    decodeUtf8(bytes, n, text.data(), &bad);
    std::memcpy(dst, text.data(), std::min(need, (size_t)dstLen) * sizeof(char16_t));
    if (strict) {
        setLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (need > (size_t)dstLen) {
        setLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return (int)need;
}
