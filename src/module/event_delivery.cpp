#include "module/event_delivery.h"

#include "module/conversions.h"

namespace Ostrand {

std::atomic<PyObject*> eventCallback{nullptr};

namespace {

void put(PyObject* dict, const char* key, PyObject* value) {
    value = valueOrNone(value);
    PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
}

}  // namespace

void deliverEventToPython(UIChangeEvent event) {
    PyObject* stored = eventCallback.load();
    if (!stored || stored == Py_None) return;
    // Taking the interpreter lock while it finalises would block this
    // thread for good; the change is dropped instead.
    if (Py_IsFinalizing()) return;
    PyGILState_STATE state = PyGILState_Ensure();
    stored = eventCallback.load();
    if (stored && stored != Py_None) {
        // Our own reference: the callable may replace itself or shut the
        // framework down while it runs.
        PyObject* callable = Py_NewRef(stored);
        if (PyObject* dict = PyDict_New()) {
            put(dict, "event_type", strFromWide(event.event_type));
            put(dict, "runtime_id_key",
                PyUnicode_FromStringAndSize(event.runtime_id_key.data(),
                                            static_cast<Py_ssize_t>(event.runtime_id_key.size())));
            put(dict, "process_id", PyLong_FromLong(event.process_id));
            PyObject* result = PyObject_CallOneArg(callable, dict);
            if (result)
                Py_DECREF(result);
            else
                PyErr_Clear();  // the callable's own failure goes nowhere
            Py_DECREF(dict);
        } else {
            PyErr_Clear();
        }
        Py_DECREF(callable);
    }
    PyGILState_Release(state);
}

}  // namespace Ostrand
