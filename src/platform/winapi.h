// The one header through which the core reaches the platform: the Windows
// SDK on Windows, the simulated desktop's declarations of the same names
// everywhere else.
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <ole2.h>
#include <uiautomation.h>
#else
#include "simwin.h"
#endif

#include <string>

namespace Ostrand {

// UTF-16 text as the platform hands it out (WCHAR is wchar_t on Windows and
// char16_t elsewhere).
using WString = std::basic_string<WCHAR>;

}  // namespace Ostrand

#if defined(_WIN32)
#define OSTRAND_WIDE_(s) L##s
#else
#define OSTRAND_WIDE_(s) u##s
#endif
// A UTF-16 literal of the platform's WCHAR type.
#define WLIT(s) OSTRAND_WIDE_(s)
