// The edge between the core and code the platform calls (COM handler
// methods, window-enumeration callbacks, thread entry points) or that runs
// while a stack unwinds (destructors): no C++ exception may cross it.
#pragma once

#include <exception>
#include <new>

#include "winapi.h"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace Ostrand {

// Runs `body`. A C++ exception stops here: `onError` hears what it said
// (anything `onError` throws is swallowed) and the result is E_OUTOFMEMORY
// or E_FAIL; S_OK otherwise. The unwind with which glibc ends a thread
// (pthread_exit, and CPython ending a thread that wants the interpreter
// back during finalisation) is not an error and goes on: swallowing it
// aborts the process.
template <class Body, class OnError>
HRESULT guardedCall(Body&& body, OnError&& onError) {
    const char* what = "unknown native error";
    HRESULT hr = E_FAIL;
    try {
        body();
        return S_OK;
    }
#if defined(__GLIBCXX__)
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (const std::bad_alloc&) {
        what = "out of memory";
        hr = E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        try {
            onError(e.what());
        } catch (...) {
        }
        return E_FAIL;
    } catch (...) {
    }
    try {
        onError(what);
    } catch (...) {
    }
    return hr;
}

}  // namespace Ostrand
