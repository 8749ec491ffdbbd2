// RAII owners for COM references, BSTRs, VARIANTs and SAFEARRAYs (every such
// resource in the core has exactly one of these as its owner), and scoped
// holds of slim reader/writer locks.
#pragma once

#include <utility>

#include "winapi.h"

namespace Ostrand {

// Owns one reference. The member is nulled before Release is called, so a
// re-entrant look at the owner during Release never sees a dying object.
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    ComPtr(const ComPtr& other) noexcept : p_(other.p_) {
        if (p_) p_->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~ComPtr() { reset(); }

    ComPtr& operator=(const ComPtr& other) noexcept {
        if (this != &other) {
            if (other.p_) other.p_->AddRef();
            T* old = std::exchange(p_, other.p_);
            if (old) old->Release();
        }
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            T* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            if (old) old->Release();
        }
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }

    // Takes over a reference the caller already owns.
    static ComPtr adopt(T* raw) noexcept {
        ComPtr c;
        c.p_ = raw;
        return c;
    }
    // Adds a reference of its own.
    static ComPtr share(T* raw) noexcept {
        if (raw) raw->AddRef();
        return adopt(raw);
    }

    void reset() noexcept {
        if (T* old = std::exchange(p_, nullptr)) old->Release();
    }
    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    T* detach() noexcept { return std::exchange(p_, nullptr); }

    // For out-parameters: releases what is held and hands out the slot.
    T** put() noexcept {
        reset();
        return &p_;
    }
    void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }

private:
    T* p_ = nullptr;
};

// Owns one BSTR.
class Bstr {
public:
    Bstr() noexcept = default;
    explicit Bstr(BSTR s) noexcept : s_(s) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    Bstr& operator=(Bstr&& o) noexcept {
        if (this != &o) {
            reset();
            s_ = std::exchange(o.s_, nullptr);
        }
        return *this;
    }
    ~Bstr() { reset(); }

    void reset() noexcept {
        if (BSTR old = std::exchange(s_, nullptr)) SysFreeString(old);
    }
    BSTR get() const noexcept { return s_; }
    BSTR* put() noexcept {
        reset();
        return &s_;
    }
    UINT length() const noexcept { return SysStringLen(s_); }

private:
    BSTR s_ = nullptr;
};

// A release that fails keeps its resource alive; one that is not tried
// again leaks it. Tried a few times, then given up.
template <class Release>
void releaseRetrying(Release release) noexcept {
    constexpr int kAttempts = 3;
    for (int i = 0; i < kAttempts; ++i)
        if (SUCCEEDED(release())) return;
}

// Owns one VARIANT: initialised on construction, cleared on destruction.
class Variant {
public:
    Variant() noexcept { VariantInit(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { clear(); }

    void clear() noexcept {
        releaseRetrying([this] { return VariantClear(&v_); });
    }
    VARIANT& get() noexcept { return v_; }
    const VARIANT& get() const noexcept { return v_; }
    VARIANT* ptr() noexcept { return &v_; }

private:
    VARIANT v_;
};

// Owns one SAFEARRAY.
class SafeArray {
public:
    SafeArray() noexcept = default;
    explicit SafeArray(SAFEARRAY* a) noexcept : a_(a) {}
    SafeArray(const SafeArray&) = delete;
    SafeArray& operator=(const SafeArray&) = delete;
    SafeArray(SafeArray&& o) noexcept : a_(std::exchange(o.a_, nullptr)) {}
    ~SafeArray() { reset(); }

    void reset() noexcept {
        if (SAFEARRAY* old = std::exchange(a_, nullptr)) releaseRetrying([old] { return SafeArrayDestroy(old); });
    }
    SAFEARRAY* get() const noexcept { return a_; }
    SAFEARRAY** put() noexcept {
        reset();
        return &a_;
    }

private:
    SAFEARRAY* a_ = nullptr;
};

// Holds an SRW lock exclusively for a scope.
class SrwExclusive {
public:
    explicit SrwExclusive(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~SrwExclusive() { ReleaseSRWLockExclusive(&lock_); }
    SrwExclusive(const SrwExclusive&) = delete;
    SrwExclusive& operator=(const SrwExclusive&) = delete;

private:
    SRWLOCK& lock_;
};

// Holds an SRW lock shared for a scope.
class SrwShared {
public:
    explicit SrwShared(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockShared(&lock_); }
    ~SrwShared() { ReleaseSRWLockShared(&lock_); }
    SrwShared(const SrwShared&) = delete;
    SrwShared& operator=(const SrwShared&) = delete;

private:
    SRWLOCK& lock_;
};

}  // namespace Ostrand
