// The ostrandcore module: method table, guard, argument parsing, and the
// conversion of native results and failures to Python.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>

#include <vector>

#include "core/framework.h"
#include "elements/handle_registry.h"
#include "module/conversions.h"
#include "perception/snapshot_store.h"

using namespace Ostrand;

namespace {

// The stored event callable (a strong reference) or null.
PyObject* eventCallback = nullptr;

const char kNotInitialised[] = "Framework not initialised";

bool initialised() { return framework().initialised.load(); }

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

PyObject* notYet(const char* function) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not available in this build yet", function);
    return nullptr;
}

void releaseEventCallback() { Py_CLEAR(eventCallback); }

PyObject* py_initialise(PyObject*, PyObject*) {
    return boundary("initialise", [] {
        initialiseFramework();
        return PyLong_FromLong(0);
    });
}

PyObject* py_shutdown(PyObject*, PyObject*) {
    return boundary("shutdown", []() -> PyObject* {
        ShutdownHooks hooks;
        hooks.releaseCallback = releaseEventCallback;
        shutdownFramework(hooks);
        clearElementDictCache();
        Py_RETURN_NONE;
    });
}

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
        framework().cacheManager->configure(names, scope, mode);
        Py_RETURN_NONE;
    });
}

PyObject* py_query_elements_cached(PyObject*, PyObject* args) {
    if (!guard()) return nullptr;
    unsigned long long hwnd = 0;
    const char* scope = "subtree";  // accepted; a refresh uses the configured scope
    if (!PyArg_ParseTuple(args, "K|s", &hwnd, &scope)) return nullptr;
    return boundary("query_elements_cached", [&]() -> PyObject* {
        std::vector<RecordPtr> records;
        HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(hwnd));
        HRESULT hr = framework().cacheManager->queryElements(window, records);
        if (FAILED(hr))
            return PyErr_Format(PyExc_RuntimeError, "Cache refresh failed: HRESULT 0x%08lX",
                                static_cast<unsigned long>(static_cast<uint32_t>(hr)));
        return elementDictList(records);
    });
}

PyObject* py_find_element(PyObject*, PyObject* args) {
    if (!guard()) return nullptr;
    unsigned long long hwnd = 0;
    const char* by = nullptr;
    const char* value = nullptr;
    if (!PyArg_ParseTuple(args, "Kss", &hwnd, &by, &value)) return nullptr;
    return notYet("find_element");
}

PyObject* py_execute_action(PyObject*, PyObject* args) {
    if (!guard()) return nullptr;
    PyObject* handleDict = nullptr;
    const char* action = nullptr;
    PyObject* params = nullptr;
    if (!PyArg_ParseTuple(args, "OsO", &handleDict, &action, &params)) return nullptr;
    return notYet("execute_action");
}

PyObject* py_subscribe_events(PyObject*, PyObject* args) {
    if (!guard()) return nullptr;
    unsigned long long hwnd = 0;
    PyObject* eventTypes = nullptr;
    const char* scope = "subtree";
    PyObject* callback = nullptr;
    if (!PyArg_ParseTuple(args, "KO|sO", &hwnd, &eventTypes, &scope, &callback)) return nullptr;
    return notYet("subscribe_events");
}

PyObject* py_get_benchmark_metrics(PyObject*, PyObject*) {
    if (!guard()) return nullptr;
    return boundary("get_benchmark_metrics", [] {
        Framework& f = framework();
        NativeCore& core = NativeCore::instance();
        std::string log = core.logCopy();
        bool valid = f.store->isValid();
        Py_ssize_t count = valid ? static_cast<Py_ssize_t>(f.store->recordCount()) : 0;
        return Py_BuildValue("{s:s, s:O, s:n, s:s, s:O}", "diag_log", log.c_str(), "cache_valid",
                             valid ? Py_True : Py_False, "snapshot_count", count, "perception_mode",
                             perceptionModeText(f.cacheManager->resolvedMode.load()), "uia_ready",
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
    return PyUnicode_FromString(perceptionModeText(framework().cacheManager->resolvedMode.load()));
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
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_ostrandcore(void) {
    if (!initConversions()) return nullptr;
    return PyModule_Create2(&moduleDef, 1013);
}
