#include "module/conversions.h"

#include <cstring>

namespace Ostrand {

namespace {

enum Key { kName, kAutomationId, kClassName, kControlType, kBoundingRect, kIsEnabled, kRuntimeIdKey, kKeyCount };
const char* const kKeyNames[kKeyCount] = {"name",          "automation_id", "class_name",    "control_type",
                                          "bounding_rect", "is_enabled",    "runtime_id_key"};
// Interned once: a query builds thousands of dicts with the same seven keys.
PyObject* keys[kKeyCount] = {};
// The seven keys in order with None values: copying it gives a dict of the
// right size and order at once, and filling it replaces values in place.
PyObject* dictTemplate = nullptr;

// Puts `value` (a new reference, or null after a failure) under `key`.
void put(PyObject* dict, Key key, PyObject* value) {
    value = valueOrNone(value);
    PyDict_SetItem(dict, keys[key], value);
    Py_DECREF(value);
}

}  // namespace

PyObject* valueOrNone(PyObject* value) {
    if (value) return value;
    PyErr_Clear();
    return Py_NewRef(Py_None);
}

bool initConversions() {
    for (int i = 0; i < kKeyCount; ++i) {
        if (keys[i]) continue;
        keys[i] = PyUnicode_InternFromString(kKeyNames[i]);
        if (!keys[i]) return false;
    }
    if (dictTemplate) return true;
    PyObject* t = PyDict_New();
    if (!t) return false;
    for (int i = 0; i < kKeyCount; ++i)
        if (PyDict_SetItem(t, keys[i], Py_None) < 0) {
            Py_DECREF(t);
            return false;
        }
    dictTemplate = t;
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

bool wideFromStr(PyObject* text, WString* out) {
#if defined(_WIN32)
    Py_ssize_t size = 0;
    wchar_t* units = PyUnicode_AsWideCharString(text, &size);
    if (!units) return false;
    out->assign(units, static_cast<size_t>(size));
    PyMem_Free(units);
    return true;
#else
    // wchar_t is UTF-32 here: encode as Windows' UTF-16 would hold it.
    PyObject* bytes = PyUnicode_AsEncodedString(text, "utf-16-le", "surrogatepass");
    if (!bytes) return false;
    const char* data = PyBytes_AS_STRING(bytes);
    size_t count = static_cast<size_t>(PyBytes_GET_SIZE(bytes)) / sizeof(WCHAR);
    out->resize(count);
    if (count) std::memcpy(out->data(), data, count * sizeof(WCHAR));
    Py_DECREF(bytes);
    return true;
#endif
}

PyObject* elementRecordToDict(const ElementRecord& record) {
    PyObject* dict = PyDict_Copy(dictTemplate);
    if (!dict) return nullptr;
    put(dict, kName, strFromWide(record.name));
    put(dict, kAutomationId, strFromWide(record.automation_id));
    put(dict, kClassName, strFromWide(record.class_name));
    put(dict, kControlType, PyLong_FromLong(record.control_type));
    PyObject* rect =
        Py_BuildValue("(llll)", static_cast<long>(record.bounding_rect[0]), static_cast<long>(record.bounding_rect[1]),
                      static_cast<long>(record.bounding_rect[2]), static_cast<long>(record.bounding_rect[3]));
    // Four ints cannot be part of a cycle: keeping the tuple (and so the
    // dict) away from the cyclic collector saves a query of thousands of
    // elements several collections.
    if (rect && PyObject_GC_IsTracked(rect)) PyObject_GC_UnTrack(rect);
    put(dict, kBoundingRect, rect);
    put(dict, kIsEnabled, PyBool_FromLong(record.is_enabled ? 1 : 0));
    put(dict, kRuntimeIdKey,
        PyUnicode_FromStringAndSize(record.runtime_id_key.data(), static_cast<Py_ssize_t>(record.runtime_id_key.size())));
    return dict;
}

namespace {

struct Converted {
    RecordPtr record;
    PyObject* dict;  // private: never handed out, only copied
};
std::vector<Converted> lastDicts;

void releaseAll(std::vector<Converted>& entries) {
    for (Converted& c : entries) Py_XDECREF(c.dict);
    entries.clear();
}

}  // namespace

PyObject* elementDictList(const std::vector<RecordPtr>& records) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(records.size()));
    if (!list) return PyErr_NoMemory();
    std::vector<Converted> next;
    next.reserve(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        PyObject* dict = nullptr;
        // The same snapshot comes out in the same order; an edited record
        // is a new record and is converted again.
        if (i < lastDicts.size() && lastDicts[i].record == records[i])
            dict = std::exchange(lastDicts[i].dict, nullptr);
        else
            dict = elementRecordToDict(*records[i]);
        PyObject* copy = dict ? PyDict_Copy(dict) : nullptr;
        if (!copy) {
            Py_XDECREF(dict);
            releaseAll(next);
            Py_DECREF(list);
            return PyErr_NoMemory();
        }
        next.push_back({records[i], dict});
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), copy);
    }
    releaseAll(lastDicts);
    lastDicts.swap(next);
    return list;
}

void clearElementDictCache() {
    std::vector<Converted> old;
    old.swap(lastDicts);
    releaseAll(old);
}

}  // namespace Ostrand
