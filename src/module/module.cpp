// The ostrandcore module: method table, guard, argument parsing, and the
// conversion of native results and failures to Python.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "core/framework.h"
#include "elements/element_search.h"
#include "elements/handle_registry.h"
#include "module/conversions.h"
#include "module/event_delivery.h"
#include "perception/snapshot_store.h"

using namespace Ostrand;

namespace {

const char kNotInitialised[] = "Framework not initialised";

bool initialised() { return framework().initialised.load(); }

// Checked first, and again once the arguments are parsed: parsing can run
// the caller's code (an __index__, a key's __eq__, a finaliser), and that
// code can shut the framework down. From the second check to the end of
// the native work no Python code runs, so nothing the call uses can go.
bool guard() {
    if (initialised()) return true;
    PyErr_SetString(PyExc_RuntimeError, kNotInitialised);
    return false;
}

// No native exception crosses into the interpreter.
template <class F>
PyObject* boundary(const char* function, F body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "%s failed: %s", function, e.what());
    } catch (...) {
        PyErr_Format(PyExc_RuntimeError, "%s failed: unknown native error", function);
    }
    return nullptr;
}

// A window handle argument: an int within the 64-bit range, signed or not (a
// negative one is the sign-extended value Windows hands out). Beyond it, an
// OverflowError: a handle cut to 64 bits would name another window.
int windowHandleArg(PyObject* object, void* out) {
    PyObject* index = PyNumber_Index(object);
    if (!index) return 0;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
    unsigned long long handle = static_cast<unsigned long long>(value);
    if (overflow > 0) handle = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (overflow < 0 || PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_OverflowError, "window handle out of the 64-bit range");
        return 0;
    }
    *static_cast<HWND*>(out) = reinterpret_cast<HWND>(static_cast<uintptr_t>(handle));
    return 1;
}

// ---- Lifecycle ----
//
// initialise and shutdown run on Python threads, with the interpreter lock,
// and change state only while they hold it. The one stretch in which a
// transition lets the interpreter lock go is a shutdown's wait for handler
// calls to end (a delivery may be waiting for the interpreter lock): the
// shutting-down thread holds the lifecycle mutex across it, and
// `shutdownUnderway` says so to everyone else. What each call does:
//
//                       up              down            shutdown underway
//   initialise          0, nothing      brings it up    waits for it, then again;
//                                                       in a callback: error
//   shutdown            takes it down   None            waits for it, then again;
//                                                       in a callback: None
//
// Nothing a lifecycle call drops (the event callable) is dropped before the
// transition is complete and the mutex free, so a finaliser may call either.
// No thread waits for the interpreter lock while it holds the lifecycle
// mutex except the shutting-down one, whose wait the state announces: a
// callback never blocks on the mutex, and an interpreter that finalises
// never strands a holder of it (the exit hook lets no shutdown begin after
// it, and waits for one under way).

// Guarded by the interpreter lock.
bool shutdownUnderway = false;
PyObject* droppedCallback = nullptr;  // the callable shutdown let go of, to be released last

// Waits, with the interpreter lock released, for the shutdown under way to
// end. Outside boundary(): during finalisation CPython ends a thread that
// takes the interpreter lock back, and it holds nothing here then.
void awaitShutdown() {
    Py_BEGIN_ALLOW_THREADS
    try {
        std::lock_guard<std::mutex> passing(lifecycleMutex());
    } catch (const std::system_error&) {
        // The mutex cannot be taken: try again after a moment.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Py_END_ALLOW_THREADS
}

PyThreadState* waitingThread = nullptr;  // guarded by the lifecycle mutex
void releaseInterpreter() { waitingThread = PyEval_SaveThread(); }
void reacquireInterpreter() { PyEval_RestoreThread(std::exchange(waitingThread, nullptr)); }

void takeEventCallback() {
    PyObject* old = eventCallback.exchange(nullptr);
    if (old) {
        Py_XDECREF(droppedCallback);  // never set here; kept sound all the same
        droppedCallback = old;
    }
}

// Drops what the last shutdown let go of; may run any Python code.
void releaseDroppedCallback() { Py_XDECREF(std::exchange(droppedCallback, nullptr)); }

// Set by the exit hook: from then on the framework stays down. Brought back
// by a daemon thread, it would have UI Automation's threads call into an
// interpreter being torn down, and its own thread run while the process ends.
std::atomic<bool> interpreterExiting{false};

bool refusedOnceExiting() {
    if (!interpreterExiting.load()) return false;
    PyErr_SetString(PyExc_RuntimeError, "initialise failed: the interpreter is exiting");
    return true;
}

// Takes the framework down; the framework is up and no shutdown under way.
PyObject* takeDown() {
    std::unique_lock<std::mutex> hold(lifecycleMutex(), std::defer_lock);
    PyObject* result = boundary("shutdown", [&]() -> PyObject* {
        // Free: every other holder either is a transition on a thread with
        // the interpreter lock (this one has it) or holds it for a moment
        // without wanting the interpreter lock.
        hold.lock();
        shutdownUnderway = true;
        ShutdownHooks hooks;
        hooks.waitStarts = releaseInterpreter;
        hooks.waitEnds = reacquireInterpreter;
        hooks.releaseCallback = takeEventCallback;
        shutdownFramework(hooks);
        clearElementDictCache();
        Py_RETURN_NONE;
    });
    shutdownUnderway = false;
    if (hold.owns_lock()) hold.unlock();
    releaseDroppedCallback();
    // shutdown never raises: a failure to take the mutex or to end a step
    // has been logged by the step or leaves nothing more to do.
    if (!result) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return result;
}

PyObject* shutdownNow() {
    for (;;) {
        if (shutdownUnderway) {
            // A callback's shutdown must not wait for the shutdown that
            // waits for the callback: that one is doing the work.
            if (insideEventHandler()) Py_RETURN_NONE;
            awaitShutdown();
            continue;
        }
        if (!initialised()) Py_RETURN_NONE;
        return takeDown();
    }
}

PyObject* py_initialise(PyObject*, PyObject*) {
    for (;;) {
        if (refusedOnceExiting()) return nullptr;
        if (initialised()) return PyLong_FromLong(0);
        if (!shutdownUnderway) break;
        if (insideEventHandler()) {
            PyErr_SetString(PyExc_RuntimeError,
                            "initialise failed: a shutdown is in progress; not waiting for it inside an event callback");
            return nullptr;
        }
        awaitShutdown();
    }
    return boundary("initialise", [] {
        std::lock_guard<std::mutex> hold(lifecycleMutex());  // free, as in takeDown
        initialiseFramework();
        return PyLong_FromLong(0);
    });
}

PyObject* py_shutdown(PyObject*, PyObject*) { return shutdownNow(); }

// Interpreter exit: handlers are removed while the interpreter can still run
// the threads that deliver to it. The flag goes up first, so that no
// initialise after this one brings the framework back.
PyObject* atExit(PyObject*, PyObject*) {
    interpreterExiting.store(true);
    return shutdownNow();
}
PyMethodDef atExitDef = {"_shutdown_at_exit", atExit, METH_NOARGS, nullptr};

PyObject* py_configure_cache(PyObject*, PyObject* args) {
    if (!guard()) return nullptr;
    PyObject* properties = nullptr;
    const char* scope = "subtree";
    const char* mode = "auto";
    if (!PyArg_ParseTuple(args, "O|ss", &properties, &scope, &mode)) return nullptr;
    if (!PyList_Check(properties)) {
        PyErr_SetString(PyExc_TypeError, "properties must be a list of strings");
        return nullptr;
    }
    return boundary("configure_cache", [&]() -> PyObject* {
        std::vector<std::string> names;
        Py_ssize_t count = PyList_Size(properties);
        names.reserve(static_cast<size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PyList_GetItem(properties, i);
            if (!item || !PyUnicode_Check(item)) continue;  // skipped silently
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(item, &size);
            if (!text) {
                PyErr_Clear();  // an unencodable name counts as the empty one
                names.emplace_back();
                continue;
            }
            // With its length: a NUL inside a name must not make a prefix match.
            names.emplace_back(text, static_cast<size_t>(size));
        }
        if (!guard()) return nullptr;
        framework().cacheManager->configure(names, scope, mode);
        Py_RETURN_NONE;
    });
}

PyObject* py_query_elements_cached(PyObject*, PyObject* args) {
    if (!guard()) return nullptr;
    HWND window = nullptr;
    const char* scope = "subtree";  // accepted; a refresh uses the configured scope
    if (!PyArg_ParseTuple(args, "O&|s", windowHandleArg, &window, &scope) || !guard()) return nullptr;
    return boundary("query_elements_cached", [&]() -> PyObject* {
        std::vector<RecordPtr> records;
        HRESULT hr = framework().cacheManager->queryElements(window, records);
        if (FAILED(hr))
            return PyErr_Format(PyExc_RuntimeError, "Cache refresh failed: HRESULT 0x%08lX",
                                static_cast<unsigned long>(static_cast<uint32_t>(hr)));
        return elementDictList(records);
    });
}

PyObject* py_find_element(PyObject*, PyObject* args) {
    if (!guard()) return nullptr;
    HWND window = nullptr;
    const char* by = nullptr;
    const char* value = nullptr;
    if (!PyArg_ParseTuple(args, "O&ss", windowHandleArg, &window, &by, &value) || !guard()) return nullptr;
    return boundary("find_element", [&]() -> PyObject* {
        FindResult found = findAndRegisterElement(NativeCore::instance(), window, by, value);
        switch (found.status) {
            case FindResult::NoAutomation:
                PyErr_SetString(PyExc_RuntimeError,
                                "UIAutomation COM object is not available. Ensure UIAutomationCore.dll is present "
                                "and the process has COM access");
                return nullptr;
            case FindResult::BadCriterion:
                return PyErr_Format(PyExc_ValueError,
                                    "Unknown 'by' criterion: '%s'. Use 'automation_id', 'name', 'control_type', or "
                                    "'class_name'",
                                    by);
            case FindResult::OutOfMemory: return PyErr_NoMemory();
            case FindResult::ConditionFailed:
                return PyErr_Format(PyExc_RuntimeError, "CreatePropertyCondition failed: HRESULT 0x%08lX",
                                    static_cast<unsigned long>(static_cast<uint32_t>(found.hr)));
            case FindResult::NotFound: Py_RETURN_NONE;
            case FindResult::Found: break;
        }
        const ElementFacts& f = found.facts;
        PyObject* rect = Py_BuildValue("(llll)", static_cast<long>(f.rect.left), static_cast<long>(f.rect.top),
                                       static_cast<long>(f.rect.right), static_cast<long>(f.rect.bottom));
        PyObject* name = strFromWide(f.name);
        PyObject* automationId = strFromWide(f.automationId);
        PyObject* className = strFromWide(f.className);
        PyObject* result = nullptr;
        if (rect && name && automationId && className)
            result = Py_BuildValue("{s:O, s:O, s:O, s:l, s:O, s:O, s:l}", "name", name, "automation_id", automationId,
                                   "class_name", className, "control_type", static_cast<long>(f.controlType),
                                   "bounding_rect", rect, "is_enabled", f.enabled ? Py_True : Py_False, "handle_id",
                                   static_cast<long>(found.handleId));
        Py_XDECREF(rect);
        Py_XDECREF(name);
        Py_XDECREF(automationId);
        Py_XDECREF(className);
        // The element stays registered under its id until released.
        if (!result) return PyErr_NoMemory();
        return result;
    });
}

// The handle id as Windows' 32-bit long reads it: anything outside the
// signed 32-bit range is -1.
int32_t handleIdFrom(PyObject* value) {
    long long id = PyLong_AsLongLong(value);
    if (id == -1 && PyErr_Occurred()) PyErr_Clear();
    if (id < INT32_MIN || id > INT32_MAX) return -1;
    return static_cast<int32_t>(id);
}

// The entry under `key` (a new reference), or null. A lookup that fails (a
// key whose __eq__ raises) finds nothing, silently: PyDict_GetItemString
// would print the error as unraisable.
PyObject* dictEntry(PyObject* dict, const char* key) {
    PyObject* value = nullptr;
    if (PyDict_GetItemStringRef(dict, key, &value) < 0) PyErr_Clear();
    return value;
}

ActionParams actionParamsFrom(PyObject* params) {
    ActionParams p;
    if (!PyDict_Check(params)) return p;
    if (PyObject* text = dictEntry(params, "text")) {
        if (PyUnicode_Check(text) && !wideFromStr(text, &p.text)) {
            PyErr_Clear();  // an unconvertible text is an empty one
            p.text.clear();
        }
        Py_DECREF(text);
    }
    if (PyObject* expand = dictEntry(params, "expand")) {
        if (Py_IS_TYPE(expand, &PyBool_Type)) p.expand = expand == Py_True;
        Py_DECREF(expand);
    }
    return p;
}

PyObject* py_execute_action(PyObject*, PyObject* args) {
    if (!guard()) return nullptr;
    PyObject* handleDict = nullptr;
    const char* action = nullptr;
    PyObject* params = nullptr;
    if (!PyArg_ParseTuple(args, "OsO", &handleDict, &action, &params)) return nullptr;
    PyObject* idValue = PyDict_Check(handleDict) ? dictEntry(handleDict, "handle_id") : nullptr;
    if (!idValue || !PyLong_Check(idValue)) {
        Py_XDECREF(idValue);
        PyErr_SetString(PyExc_ValueError, "handle dict missing 'handle_id'");
        return nullptr;
    }
    int32_t id = handleIdFrom(idValue);
    Py_DECREF(idValue);
    ActionType type;
    bool known = actionTypeFromText(action, &type);
    ActionParams p;
    try {
        p = actionParamsFrom(params);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (!guard()) return nullptr;
    // Our own reference: nothing below runs Python code, but the element
    // must not depend on that.
    ComPtr<IUIAutomationElement> element = handleRegistry().lookupElement(id);
    if (!element) return PyErr_Format(PyExc_RuntimeError, "Element handle %d not found or already released", id);
    if (!known)
        return PyErr_Format(PyExc_ValueError, "Unknown action '%s'. Use click|type|scroll|focus|hover|select|expand",
                            action);
    return boundary("execute_action", [&]() -> PyObject* {
        ActionResult r = framework().dispatcher->execute(element.get(), type, p);
        return Py_BuildValue("{s:O, s:s, s:l}", "success", r.success ? Py_True : Py_False, "path", r.path.c_str(),
                             "hr", static_cast<long>(r.hr));
    });
}

PyObject* py_subscribe_events(PyObject*, PyObject* args) {
    if (!guard()) return nullptr;
    HWND window = nullptr;
    PyObject* eventTypes = nullptr;
    const char* scopeText = "subtree";
    PyObject* callback = nullptr;
    if (!PyArg_ParseTuple(args, "O&O|sO", windowHandleArg, &window, &eventTypes, &scopeText, &callback))
        return nullptr;
    bool replace = callback && callback != Py_None;
    if (replace && !PyCallable_Check(callback)) {
        PyErr_SetString(PyExc_TypeError, "callback must be callable or None");
        return nullptr;
    }
    bool structure = false, property = false, focus = false;
    if (PyList_Check(eventTypes)) {
        for (Py_ssize_t i = 0; i < PyList_Size(eventTypes); ++i) {
            PyObject* item = PyList_GetItem(eventTypes, i);
            if (!item || !PyUnicode_Check(item)) continue;
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(item, &size);
            if (!text) {
                PyErr_Clear();
                continue;
            }
            std::string_view name(text, static_cast<size_t>(size));
            if (name == "StructureChanged") structure = true;
            else if (name == "PropertyChanged") property = true;
            else if (name == "FocusChanged") focus = true;
        }
    }
    if (!guard()) return nullptr;
    // The callable it replaces is dropped last, once the engine is no longer
    // in use: its finaliser may shut the framework down.
    PyObject* old = replace ? eventCallback.exchange(Py_NewRef(callback)) : nullptr;
    PyObject* result = boundary("subscribe_events", [&]() -> PyObject* {
        EventDrivenPerceptionEngine& engine = *framework().engine;
        if (replace) engine.setCallback(deliverEventToPython);
        int32_t scope = treeScopeFromText(scopeText);
        // The rectangle for the store's own sake (a move re-reads the
        // snapshot); its changes are not handed to the callback.
        engine.subscribe(window, scope, structure, property, focus,
                         {UIA_NamePropertyId, UIA_IsEnabledPropertyId, UIA_BoundingRectanglePropertyId});
        Py_RETURN_NONE;
    });
    Py_XDECREF(old);
    return result;
}

PyObject* py_get_benchmark_metrics(PyObject*, PyObject*) {
    if (!guard()) return nullptr;
    return boundary("get_benchmark_metrics", [] {
        Framework& f = framework();
        NativeCore& core = NativeCore::instance();
        std::string log = core.logCopy();
        bool valid = f.store->isCurrent();  // what a query would be served
        Py_ssize_t count = valid ? static_cast<Py_ssize_t>(f.store->recordCount()) : 0;
        return Py_BuildValue("{s:s, s:O, s:n, s:s, s:O}", "diag_log", log.c_str(), "cache_valid",
                             valid ? Py_True : Py_False, "snapshot_count", count, "perception_mode",
                             perceptionModeText(f.cacheManager->activeMode()), "uia_ready",
                             core.uiaReady.load() ? Py_True : Py_False);
    });
}

PyObject* py_release_element(PyObject*, PyObject* args) {
    int id = 0;
    if (!PyArg_ParseTuple(args, "i", &id)) return nullptr;
    handleRegistry().releaseElement(id);
    Py_RETURN_NONE;
}

PyObject* py_get_diagnostic_log(PyObject*, PyObject*) {
    return boundary("get_diagnostic_log", [] {
        std::string log = NativeCore::instance().logCopy();
        return PyUnicode_FromStringAndSize(log.data(), static_cast<Py_ssize_t>(log.size()));
    });
}

PyObject* py_get_active_mode(PyObject*, PyObject*) {
    if (!initialised()) return PyUnicode_FromString("not_initialised");
    return PyUnicode_FromString(perceptionModeText(framework().cacheManager->activeMode()));
}

PyMethodDef methods[] = {
    {"initialise", py_initialise, METH_VARARGS,
     "Initialise COM, UIAutomation, and the background perception thread"},
    {"shutdown", py_shutdown, METH_VARARGS, "Clean shutdown: deregister UIA events, release COM, stop thread"},
    {"configure_cache", py_configure_cache, METH_VARARGS,
     "Set the property list and scope for batch cache requests. Args: properties (list[str]), scope (str)"},
    {"query_elements_cached", py_query_elements_cached, METH_VARARGS,
     "Batch cached retrieval of all elements in the window. Args: hwnd (int), scope (str). Returns list of dicts"},
    {"find_element", py_find_element, METH_VARARGS,
     "Find a single live element by criterion. Args: hwnd (int), by (str), value (str). Returns dict or None"},
    {"execute_action", py_execute_action, METH_VARARGS,
     "Execute a UI action on an element. Args: handle_dict (dict), action (str), params (dict). Returns dict"},
    {"subscribe_events", py_subscribe_events, METH_VARARGS,
     "Subscribe to UIAutomation push events. Args: hwnd (int), event_types (list[str]), scope (str), callback"},
    {"get_benchmark_metrics", py_get_benchmark_metrics, METH_VARARGS,
     "Return framework metrics for the benchmarking module"},
    {"release_element", py_release_element, METH_VARARGS, "Release a stored element handle by its integer ID"},
    {"get_diagnostic_log", py_get_diagnostic_log, METH_VARARGS, "Return the NativeCore diagnostic log as a string"},
    {"get_active_mode", py_get_active_mode, METH_VARARGS,
     "Return active perception mode: 'win32', 'uia', or 'auto'"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT,
    "ostrandcore",
    "Ostrand native core module. Provides performance optimised UIAutomation access via "
    "IUIAutomationCacheRequest, event driven perception, and hybrid action dispatch",
    // Not -1: a module of size -1 imported again in a subinterpreter is a
    // copy of the first one's, made without calling PyInit_ostrandcore, so
    // the refusal below would never be asked. State is process-wide either way.
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Shuts the framework down when the interpreter exits with it still up.
// Once per process: the module may be imported again after it was taken out
// of sys.modules.
bool registerAtExit() {
    static bool registered = false;
    if (registered) return true;
    PyObject* atexit = PyImport_ImportModule("atexit");
    if (!atexit) return false;
    PyObject* function = PyCFunction_New(&atExitDef, nullptr);
    PyObject* done = function ? PyObject_CallMethod(atexit, "register", "O", function) : nullptr;
    Py_XDECREF(done);
    Py_XDECREF(function);
    Py_DECREF(atexit);
    registered = done != nullptr;
    return registered;
}

}  // namespace

PyMODINIT_FUNC PyInit_ostrandcore(void) {
    // The framework is process-wide and its callbacks run under the main
    // interpreter: a subinterpreter (even one sharing the interpreter lock)
    // would hand it callables that outlive their interpreter.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "module ostrandcore does not support loading in subinterpreters");
        return nullptr;
    }
    if (!initConversions() || !registerAtExit()) return nullptr;
    return PyModule_Create2(&moduleDef, 1013);
}
