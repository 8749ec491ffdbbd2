#include "module/conversions.h"

namespace Ostrand {

namespace {

enum Key { kName, kAutomationId, kClassName, kControlType, kBoundingRect, kIsEnabled, kRuntimeIdKey, kKeyCount };
const char* const kKeyNames[kKeyCount] = {"name",          "automation_id", "class_name",    "control_type",
                                          "bounding_rect", "is_enabled",    "runtime_id_key"};
// Interned once: a query builds thousands of dicts with the same seven keys.
PyObject* keys[kKeyCount] = {};

// Inserts `value` (a new reference, or null after a failure) under `key`.
void put(PyObject* dict, Key key, PyObject* value) {
    if (!value) {
        PyErr_Clear();
        value = Py_NewRef(Py_None);
    }
    PyDict_SetItem(dict, keys[key], value);
    Py_DECREF(value);
}

}  // namespace

bool initConversions() {
    for (int i = 0; i < kKeyCount; ++i) {
        if (keys[i]) continue;
        keys[i] = PyUnicode_InternFromString(kKeyNames[i]);
        if (!keys[i]) return false;
    }
    return true;
}

PyObject* strFromWide(const WString& text) {
    if (text.empty()) return PyUnicode_FromString("");
#if defined(_WIN32)
    return PyUnicode_FromWideChar(text.data(), static_cast<Py_ssize_t>(text.size()));
#else
    // WCHAR is UTF-16 here but wchar_t is not: decode as Windows would.
    bool surrogates = false;
    for (WCHAR c : text)
        if (c >= 0xD800 && c <= 0xDFFF) {
            surrogates = true;
            break;
        }
    if (!surrogates)
        return PyUnicode_FromKindAndData(PyUnicode_2BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size()));
    int byteOrder = -1;  // little endian, as WCHAR is in memory
    return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(text.data()),
                                 static_cast<Py_ssize_t>(text.size() * sizeof(WCHAR)), "surrogatepass", &byteOrder);
#endif
}

PyObject* elementRecordToDict(const ElementRecord& record) {
    PyObject* dict = PyDict_New();
    if (!dict) return nullptr;
    put(dict, kName, strFromWide(record.name));
    put(dict, kAutomationId, strFromWide(record.automation_id));
    put(dict, kClassName, strFromWide(record.class_name));
    put(dict, kControlType, PyLong_FromLong(record.control_type));
    put(dict, kBoundingRect,
        Py_BuildValue("(llll)", static_cast<long>(record.bounding_rect[0]), static_cast<long>(record.bounding_rect[1]),
                      static_cast<long>(record.bounding_rect[2]), static_cast<long>(record.bounding_rect[3])));
    put(dict, kIsEnabled, PyBool_FromLong(record.is_enabled ? 1 : 0));
    put(dict, kRuntimeIdKey,
        PyUnicode_FromStringAndSize(record.runtime_id_key.data(), static_cast<Py_ssize_t>(record.runtime_id_key.size())));
    return dict;
}

}  // namespace Ostrand
