// Delivery of UI changes to the Python callable stored by subscribe_events.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

#include "events/perception_engine.h"

namespace Ostrand {

// The stored callable (a strong reference) or null. Written only with the
// interpreter lock held; read without it only to skip work.
extern std::atomic<PyObject*> eventCallback;

// The engine's callback: on a UI Automation thread, takes the interpreter
// lock and calls the stored callable with a three-key dict. Exceptions of
// the callable are cleared; nothing is delivered once the interpreter is
// finalising.
void deliverEventToPython(UIChangeEvent event);

}  // namespace Ostrand
