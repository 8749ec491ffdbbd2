// Conversions between native values and Python objects. Called with the
// interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "perception/snapshot_store.h"

namespace Ostrand {

// Creates the interned dictionary keys once; false with an exception set.
bool initConversions();

// A str of the UTF-16 text: surrogate pairs become one character each, a
// lone surrogate stays as it is. Null with an exception set on failure.
PyObject* strFromWide(const WString& text);

// `value` (a new reference) or, when making it failed, None with the error
// cleared: a dict of results shows None for a value it could not make.
PyObject* valueOrNone(PyObject* value);

// The UTF-16 units of a str, all of them (a NUL included); false with an
// exception set when it cannot be converted.
bool wideFromStr(PyObject* text, WString* out);

// The element dictionary: name, automation_id, class_name, control_type,
// bounding_rect, is_enabled, runtime_id_key, in this order. A value that
// cannot be made is None. Null only when the dict itself cannot be made.
PyObject* elementRecordToDict(const ElementRecord& record);

// A new list with one element dictionary per record. Stored records never
// change, so the dictionaries made for the previous query are remembered by
// record identity and a record seen again is answered with a copy of its
// dictionary instead of a new conversion. Null with MemoryError on failure.
PyObject* elementDictList(const std::vector<RecordPtr>& records);

// Forgets the remembered dictionaries (at shutdown).
void clearElementDictCache();

}  // namespace Ostrand
