// _simdesk: the simulated desktop's control API for Python (tests and the
// demo). Not part of ostrandcore.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "simdesk.h"

namespace {

PyObject* fromU16(const std::u16string& s) {
    return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(s.data()),
                                 static_cast<Py_ssize_t>(s.size() * sizeof(char16_t)), "surrogatepass", nullptr);
}

bool toU16(PyObject* obj, std::u16string* out) {
    PyObject* bytes = PyUnicode_AsEncodedString(obj, "utf-16-le", "surrogatepass");
    if (!bytes) return false;
    const char* data = PyBytes_AS_STRING(bytes);
    Py_ssize_t n = PyBytes_GET_SIZE(bytes) / 2;
    out->assign(reinterpret_cast<const char16_t*>(data), static_cast<size_t>(n));
    Py_DECREF(bytes);
    return true;
}

HWND toHwnd(unsigned long long h) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(h)); }
unsigned long long fromHwnd(HWND h) { return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)); }

PyObject* rectTuple(const RECT& r) { return Py_BuildValue("(llll)", (long)r.left, (long)r.top, (long)r.right, (long)r.bottom); }

bool parseRect(PyObject* obj, RECT* r) {
    long l, t, rr, b;
    if (!PyArg_ParseTuple(obj, "llll", &l, &t, &rr, &b)) return false;
    *r = RECT{(LONG)l, (LONG)t, (LONG)rr, (LONG)b};
    return true;
}

bool toInt32(PyObject* obj, const char* what, int32_t* out) {
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_Format(PyExc_OverflowError, "%s does not fit in 32 bits", what);
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

PyObject* intList(const std::vector<int32_t>& values) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < values.size(); ++i) {
        PyObject* v = PyLong_FromLong(values[i]);
        if (!v) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), v);
    }
    return list;
}

// The keyword arguments of add_element and set_element; None or absent
// leaves a field as it is.
const char* const kElementFields[] = {"name",       "automation_id", "class_name",   "control_type",
                                      "rect",       "enabled",       "control_element", "process_id",
                                      "runtime_id", "patterns",      "value",         "read_only",
                                      "focusable",  "selected",      "expand_state",  "scroll_percent"};
constexpr int kFieldCount = sizeof(kElementFields) / sizeof(kElementFields[0]);

// `notSequence`: the TypeError's message; `item`: what one value is.
bool intVector(PyObject* obj, const char* notSequence, const char* item, std::vector<int32_t>* out) {
    PyObject* seq = PySequence_Fast(obj, notSequence);
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
        int32_t n;
        if (!toInt32(PySequence_Fast_GET_ITEM(seq, i), item, &n)) {
            Py_DECREF(seq);
            return false;
        }
        out->push_back(n);
    }
    Py_DECREF(seq);
    return true;
}

bool parseElementDesc(PyObject* const (&f)[kFieldCount], simdesk::ElementDesc* d) {
    auto given = [&](int i) { return f[i] && f[i] != Py_None; };
    std::optional<std::u16string>* strings[] = {&d->name, &d->automationId, &d->className};
    for (int i = 0; i < 3; ++i) {
        if (!given(i)) continue;
        if (!PyUnicode_Check(f[i])) {
            PyErr_Format(PyExc_TypeError, "%s must be a str", kElementFields[i]);
            return false;
        }
        if (!toU16(f[i], &strings[i]->emplace())) return false;
    }
    int32_t n;
    if (given(3)) {
        if (!toInt32(f[3], "control_type", &n)) return false;
        d->controlType = n;
    }
    if (given(4)) {
        RECT r;
        if (!parseRect(f[4], &r)) return false;
        d->rect = r;
    }
    std::optional<bool>* flags[] = {&d->enabled, &d->controlElement, &d->readOnly, &d->focusable, &d->selected};
    const int flagFields[] = {5, 6, 11, 12, 13};
    for (int k = 0; k < 5; ++k) {
        int i = flagFields[k];
        if (!given(i)) continue;
        int flag = PyObject_IsTrue(f[i]);
        if (flag < 0) return false;
        *flags[k] = flag != 0;
    }
    if (given(7)) {
        if (!toInt32(f[7], "process_id", &n)) return false;
        d->processId = n;
    }
    if (given(8) && !intVector(f[8], "runtime_id must be a sequence of int", "a runtime id value",
                               &d->runtimeId.emplace()))
        return false;
    if (given(9) && !intVector(f[9], "patterns must be a sequence of int", "a pattern id", &d->patterns.emplace()))
        return false;
    if (given(10)) {
        if (!PyUnicode_Check(f[10])) {
            PyErr_SetString(PyExc_TypeError, "value must be a str");
            return false;
        }
        if (!toU16(f[10], &d->value.emplace())) return false;
    }
    if (given(14)) {
        if (!toInt32(f[14], "expand_state", &n)) return false;
        if (n < ExpandCollapseState_Collapsed || n > ExpandCollapseState_LeafNode) {
            PyErr_Format(PyExc_ValueError, "expand_state must be 0 to 3, not %d", n);
            return false;
        }
        d->expandState = static_cast<ExpandCollapseState>(n);
    }
    if (given(15)) {
        double v = PyFloat_AsDouble(f[15]);
        if (v == -1.0 && PyErr_Occurred()) return false;
        if (!(v >= 0 && v <= 100)) {
            PyErr_SetString(PyExc_ValueError, "scroll_percent must be between 0 and 100");
            return false;
        }
        d->scrollPercent = v;
    }
    return true;
}

// Parses (id, **fields) for add_element and set_element.
bool parseElementArgs(PyObject* args, PyObject* kw, unsigned long long* id, simdesk::ElementDesc* d) {
    static_assert(kFieldCount == 16, "one O per field below");
    static const char* const* k = kElementFields;
    static const char* kwlist[] = {"id", k[0], k[1], k[2],  k[3],  k[4],  k[5],  k[6],  k[7],
                                   k[8], k[9], k[10], k[11], k[12], k[13], k[14], k[15], nullptr};
    PyObject* f[kFieldCount] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kw, "K|$OOOOOOOOOOOOOOOO", const_cast<char**>(kwlist), id, &f[0], &f[1],
                                     &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9], &f[10], &f[11], &f[12],
                                     &f[13], &f[14], &f[15]))
        return false;
    return parseElementDesc(f, d);
}

// Adds `value` (a new reference, may be null after a failure) to `dict`.
bool setItem(PyObject* dict, const char* key, PyObject* value) {
    if (!value) return false;
    int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

PyObject* pointOrNone(const std::optional<POINT>& p) {
    if (!p) Py_RETURN_NONE;
    return Py_BuildValue("(ll)", (long)p->x, (long)p->y);
}

const char* apartmentName(simdesk::Apartment a) {
    switch (a) {
        case simdesk::Apartment::Sta: return "sta";
        case simdesk::Apartment::Mta: return "mta";
        default: return "none";
    }
}

// Without the GIL: the reset waits for handler calls in progress, which may
// be waiting for the GIL.
PyObject* reset(PyObject*, PyObject*) {
    Py_BEGIN_ALLOW_THREADS
    simdesk::reset();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject* live(PyObject*, PyObject*) {
    simdesk::LiveCounts c = simdesk::liveCounts();
    return Py_BuildValue("{s:l, s:l, s:l, s:l}", "com", c.com, "bstr", c.bstr, "safearray", c.safearray, "variant",
                         c.variant);
}

PyObject* call_names(PyObject*, PyObject*) {
    auto names = simdesk::callNames();
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    for (auto& n : names) {
        PyObject* s = PyUnicode_FromString(n.c_str());
        if (!s || PyList_Append(list, s) < 0) {
            Py_XDECREF(s);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(s);
    }
    return list;
}

PyObject* call_kind(PyObject*, PyObject* args) {
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
    std::string kind = simdesk::callKind(name);
    if (kind.empty()) return PyErr_Format(PyExc_ValueError, "no platform call named '%s'", name);
    return PyUnicode_FromString(kind.c_str());
}

PyObject* calls(PyObject*, PyObject* args) {
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "|s", &name)) return nullptr;
    if (name) {
        int64_t n = simdesk::callCount(name);
        if (n < 0) return PyErr_Format(PyExc_ValueError, "no platform call named '%s'", name);
        return PyLong_FromLongLong(n);
    }
    PyObject* d = PyDict_New();
    if (!d) return nullptr;
    for (auto& n : simdesk::callNames()) {
        PyObject* v = PyLong_FromLongLong(simdesk::callCount(n));
        if (!v || PyDict_SetItemString(d, n.c_str(), v) < 0) {
            Py_XDECREF(v);
            Py_DECREF(d);
            return nullptr;
        }
        Py_DECREF(v);
    }
    return d;
}

PyObject* reset_calls(PyObject*, PyObject*) {
    simdesk::resetCalls();
    Py_RETURN_NONE;
}

PyObject* fail(PyObject*, PyObject* args, PyObject* kw) {
    static const char* kwlist[] = {"name", "code", "count", "skip", nullptr};
    const char* name = nullptr;
    long long code = 0;
    int count = 1, skip = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "sL|ii", const_cast<char**>(kwlist), &name, &code, &count, &skip))
        return nullptr;
    if (!simdesk::failCall(name, static_cast<int32_t>(static_cast<uint32_t>(code)), count, skip))
        return PyErr_Format(PyExc_ValueError, "cannot inject a failure into '%s' (count %d, skip %d)", name, count,
                            skip);
    Py_RETURN_NONE;
}

template <bool (*arm)(HWND, const std::string&, int)>
PyObject* windowOnCall(PyObject*, PyObject* args, PyObject* kw) {
    static const char* kwlist[] = {"hwnd", "name", "skip", nullptr};
    unsigned long long h;
    const char* name = nullptr;
    int skip = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "Ks|i", const_cast<char**>(kwlist), &h, &name, &skip)) return nullptr;
    if (!arm(toHwnd(h), name, skip))
        return PyErr_Format(PyExc_ValueError, "cannot act on a window on '%s' (skip %d)", name, skip);
    Py_RETURN_NONE;
}

PyObject* clear_faults(PyObject*, PyObject*) {
    simdesk::clearFaults();
    Py_RETURN_NONE;
}

PyObject* create_window(PyObject*, PyObject* args, PyObject* kw) {
    static const char* kwlist[] = {"parent", "class_name", "text", "rect", "visible", "enabled", "read_only", nullptr};
    unsigned long long parent = 0;
    PyObject *cls = nullptr, *text = nullptr, *rect = nullptr;
    int visible = 1, enabled = 1, readOnly = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|KUUOppp", const_cast<char**>(kwlist), &parent, &cls, &text, &rect,
                                     &visible, &enabled, &readOnly))
        return nullptr;
    simdesk::WindowDesc desc;
    desc.parent = toHwnd(parent);
    if (cls && !toU16(cls, &desc.className)) return nullptr;
    if (text && !toU16(text, &desc.text)) return nullptr;
    if (rect && !parseRect(rect, &desc.rect)) return nullptr;
    desc.visible = visible;
    desc.enabled = enabled;
    desc.readOnly = readOnly;
    HWND h = simdesk::createWindow(desc);
    if (!h) return PyErr_Format(PyExc_ValueError, "parent window 0x%llX does not exist", parent);
    return PyLong_FromUnsignedLongLong(fromHwnd(h));
}

PyObject* destroy_window(PyObject*, PyObject* args) {
    unsigned long long h;
    if (!PyArg_ParseTuple(args, "K", &h)) return nullptr;
    return PyBool_FromLong(simdesk::destroyWindow(toHwnd(h)));
}

PyObject* set_parent(PyObject*, PyObject* args) {
    unsigned long long h, p;
    if (!PyArg_ParseTuple(args, "KK", &h, &p)) return nullptr;
    return PyBool_FromLong(simdesk::setParent(toHwnd(h), toHwnd(p)));
}

// set_window_visible, set_window_enabled, ...: (hwnd, flag) -> bool.
template <bool (*Set)(HWND, bool)>
PyObject* setWindowFlag(PyObject*, PyObject* args) {
    unsigned long long h;
    int v;
    if (!PyArg_ParseTuple(args, "Kp", &h, &v)) return nullptr;
    return PyBool_FromLong(Set(toHwnd(h), v));
}

PyObject* set_window_text(PyObject*, PyObject* args) {
    unsigned long long h;
    PyObject* text;
    if (!PyArg_ParseTuple(args, "KU", &h, &text)) return nullptr;
    std::u16string t;
    if (!toU16(text, &t)) return nullptr;
    return PyBool_FromLong(simdesk::setWindowText(toHwnd(h), t));
}

// set_window_rect, set_client_inset: (hwnd, (left, top, right, bottom)) -> bool.
template <bool (*Set)(HWND, const RECT&)>
PyObject* setWindowRectangle(PyObject*, PyObject* args) {
    unsigned long long h;
    PyObject* rect;
    if (!PyArg_ParseTuple(args, "KO", &h, &rect)) return nullptr;
    RECT r;
    if (!parseRect(rect, &r)) return nullptr;
    return PyBool_FromLong(Set(toHwnd(h), r));
}

PyObject* window(PyObject*, PyObject* args) {
    unsigned long long h;
    if (!PyArg_ParseTuple(args, "K", &h)) return nullptr;
    simdesk::WindowState s;
    if (!simdesk::windowState(toHwnd(h), &s)) Py_RETURN_NONE;
    PyObject* children = PyList_New(0);
    if (!children) return nullptr;
    for (HWND c : s.children) {
        PyObject* v = PyLong_FromUnsignedLongLong(fromHwnd(c));
        if (!v || PyList_Append(children, v) < 0) {
            Py_XDECREF(v);
            Py_DECREF(children);
            return nullptr;
        }
        Py_DECREF(v);
    }
    PyObject* cls = fromU16(s.className);
    PyObject* text = fromU16(s.text);
    PyObject* rect = rectTuple(s.rect);
    PyObject* result = nullptr;
    if (cls && text && rect)
        result = Py_BuildValue("{s:K, s:K, s:O, s:O, s:O, s:O, s:O, s:O}", "handle", fromHwnd(s.handle), "parent",
                               fromHwnd(s.parent), "class_name", cls, "text", text, "rect", rect, "visible",
                               s.visible ? Py_True : Py_False, "enabled", s.enabled ? Py_True : Py_False,
                               "children", children);
    Py_XDECREF(cls);
    Py_XDECREF(text);
    Py_XDECREF(rect);
    Py_DECREF(children);
    if (result &&
        !(setItem(result, "read_only", PyBool_FromLong(s.readOnly)) &&
          setItem(result, "hung", PyBool_FromLong(s.hung)) &&
          setItem(result, "elevated", PyBool_FromLong(s.elevated)) &&
          setItem(result, "client_rect", rectTuple(s.client)) &&
          setItem(result, "clicks", PyLong_FromUnsignedLongLong(s.clicks)) &&
          setItem(result, "wheel", PyLong_FromLongLong(s.wheel)) &&
          setItem(result, "last_mouse", pointOrNone(s.lastMouse)) &&
          setItem(result, "queued", PyLong_FromSize_t(s.queued)) &&
          setItem(result, "senders_waiting", PyLong_FromSize_t(s.sendersWaiting))))
        Py_CLEAR(result);
    return result;
}

PyObject* messages(PyObject*, PyObject* args) {
    unsigned long long h;
    if (!PyArg_ParseTuple(args, "K", &h)) return nullptr;
    auto all = simdesk::windowMessages(toHwnd(h));
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(all.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < all.size(); ++i) {
        const auto& m = all[i];
        PyObject* d = Py_BuildValue("{s:I, s:K, s:L, s:O, s:O, s:O}", "message", m.message, "wparam",
                                    (unsigned long long)m.wParam, "lparam", (long long)m.lParam, "sent",
                                    m.sent ? Py_True : Py_False, "handled", m.handled ? Py_True : Py_False,
                                    "waited", m.waited ? Py_True : Py_False);
        if (!d) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), d);
    }
    return list;
}

PyObject* clear_messages(PyObject*, PyObject* args) {
    unsigned long long h;
    if (!PyArg_ParseTuple(args, "K", &h)) return nullptr;
    return PyBool_FromLong(simdesk::clearWindowMessages(toHwnd(h)));
}

PyObject* cursor(PyObject*, PyObject*) {
    POINT p = simdesk::cursorPos();
    return Py_BuildValue("(ll)", (long)p.x, (long)p.y);
}

PyObject* post_message(PyObject*, PyObject* args) {
    unsigned long long h, wp = 0;
    unsigned int msg;
    long long lp = 0;
    if (!PyArg_ParseTuple(args, "KI|KL", &h, &msg, &wp, &lp)) return nullptr;
    BOOL ok = PostMessageW(toHwnd(h), msg, (WPARAM)wp, (LPARAM)lp);
    DWORD err = ok ? 0 : GetLastError();
    return Py_BuildValue("(Ok)", ok ? Py_True : Py_False, (unsigned long)err);
}

// Blocks while the window is hung, so the GIL is released meanwhile.
PyObject* send_message(PyObject*, PyObject* args) {
    unsigned long long h, wp = 0;
    unsigned int msg;
    long long lp = 0;
    if (!PyArg_ParseTuple(args, "KI|KL", &h, &msg, &wp, &lp)) return nullptr;
    LRESULT result;
    DWORD err;
    Py_BEGIN_ALLOW_THREADS
    SetLastError(0);
    result = SendMessageW(toHwnd(h), msg, (WPARAM)wp, (LPARAM)lp);
    err = GetLastError();
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(Lk)", (long long)result, (unsigned long)err);
}

PyObject* top_level_windows(PyObject*, PyObject*) {
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    for (HWND h : simdesk::topLevelWindows()) {
        PyObject* v = PyLong_FromUnsignedLongLong(fromHwnd(h));
        if (!v || PyList_Append(list, v) < 0) {
            Py_XDECREF(v);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(v);
    }
    return list;
}

PyObject* add_element(PyObject*, PyObject* args, PyObject* kw) {
    unsigned long long parent;
    simdesk::ElementDesc desc;
    if (!parseElementArgs(args, kw, &parent, &desc)) return nullptr;
    simdesk::ElementId id = simdesk::addElement(parent, desc);
    if (!id) return PyErr_Format(PyExc_ValueError, "parent element 0x%llX does not exist", parent);
    return PyLong_FromUnsignedLongLong(id);
}

PyObject* set_element(PyObject*, PyObject* args, PyObject* kw) {
    unsigned long long id;
    simdesk::ElementDesc desc;
    if (!parseElementArgs(args, kw, &id, &desc)) return nullptr;
    return PyBool_FromLong(simdesk::setElement(id, desc));
}

PyObject* remove_element(PyObject*, PyObject* args) {
    unsigned long long id;
    if (!PyArg_ParseTuple(args, "K", &id)) return nullptr;
    return PyBool_FromLong(simdesk::removeElement(id));
}

PyObject* set_runtime_id_readable(PyObject*, PyObject* args) {
    unsigned long long id;
    int readable;
    if (!PyArg_ParseTuple(args, "Kp", &id, &readable)) return nullptr;
    return PyBool_FromLong(simdesk::setRuntimeIdReadable(id, readable));
}

PyObject* element(PyObject*, PyObject* args) {
    unsigned long long id;
    if (!PyArg_ParseTuple(args, "K", &id)) return nullptr;
    simdesk::ElementState s;
    if (!simdesk::elementState(id, &s)) Py_RETURN_NONE;
    PyObject* children = PyList_New(static_cast<Py_ssize_t>(s.children.size()));
    if (!children) return nullptr;
    for (size_t i = 0; i < s.children.size(); ++i) {
        PyObject* v = PyLong_FromUnsignedLongLong(s.children[i]);
        if (!v) {
            Py_DECREF(children);
            return nullptr;
        }
        PyList_SET_ITEM(children, static_cast<Py_ssize_t>(i), v);
    }
    PyObject* name = fromU16(s.name);
    PyObject* aid = fromU16(s.automationId);
    PyObject* cls = fromU16(s.className);
    PyObject* rect = rectTuple(s.rect);
    PyObject* rid = nullptr;
    if (s.runtimeIdReadable) {
        rid = intList(s.runtimeId);
    } else {
        rid = Py_None;
        Py_INCREF(rid);
    }
    PyObject* result = nullptr;
    if (name && aid && cls && rect && rid)
        result = Py_BuildValue("{s:K, s:K, s:K, s:O, s:O, s:O, s:i, s:O, s:O, s:O, s:i, s:O, s:O}", "id",
                               (unsigned long long)s.id, "parent", (unsigned long long)s.parent, "window",
                               fromHwnd(s.window), "name", name, "automation_id", aid, "class_name", cls,
                               "control_type", (int)s.controlType, "rect", rect, "enabled",
                               s.enabled ? Py_True : Py_False, "control_element",
                               s.controlElement ? Py_True : Py_False, "process_id", (int)s.processId, "runtime_id",
                               rid, "children", children);
    Py_XDECREF(name);
    Py_XDECREF(aid);
    Py_XDECREF(cls);
    Py_XDECREF(rect);
    Py_XDECREF(rid);
    Py_DECREF(children);
    if (result &&
        !(setItem(result, "patterns", intList(s.patterns)) && setItem(result, "value", fromU16(s.value)) &&
          setItem(result, "read_only", PyBool_FromLong(s.readOnly)) &&
          setItem(result, "focusable", PyBool_FromLong(s.focusable)) &&
          setItem(result, "selected", PyBool_FromLong(s.selected)) &&
          setItem(result, "expand_state", PyLong_FromLong(s.expandState)) &&
          setItem(result, "scroll_percent", PyFloat_FromDouble(s.scrollPercent)) &&
          setItem(result, "invoke_count", PyLong_FromUnsignedLongLong(s.invokeCount)) &&
          setItem(result, "scroll_count", PyLong_FromUnsignedLongLong(s.scrollCount))))
        Py_CLEAR(result);
    return result;
}

PyObject* focused_element(PyObject*, PyObject*) { return PyLong_FromUnsignedLongLong(simdesk::focusedElement()); }

PyObject* cross_process_calls(PyObject*, PyObject*) { return PyLong_FromLongLong(simdesk::crossProcessCalls()); }

PyObject* cached_elements_transferred(PyObject*, PyObject*) {
    return PyLong_FromLongLong(simdesk::cachedElementsTransferred());
}

PyObject* set_latency(PyObject*, PyObject* args) {
    double us;
    if (!PyArg_ParseTuple(args, "d", &us)) return nullptr;
    if (!std::isfinite(us) || us < 0 || us > 1e12)
        return PyErr_Format(PyExc_ValueError, "latency must be between 0 and 1e12 microseconds");
    simdesk::setCrossProcessLatency(static_cast<int64_t>(std::llround(us * 1000.0)));
    Py_RETURN_NONE;
}

PyObject* latency(PyObject*, PyObject*) {
    return PyFloat_FromDouble(static_cast<double>(simdesk::crossProcessLatency()) / 1000.0);
}

PyObject* set_uia_timeouts(PyObject*, PyObject* args) {
    long long connection, transaction;
    if (!PyArg_ParseTuple(args, "LL", &connection, &transaction)) return nullptr;
    if (connection < 0 || transaction < 0) return PyErr_Format(PyExc_ValueError, "timeouts must not be negative");
    simdesk::setUiaTimeouts(simdesk::UiaTimeouts{connection, transaction});
    Py_RETURN_NONE;
}

PyObject* uia_timeouts(PyObject*, PyObject*) {
    simdesk::UiaTimeouts t = simdesk::uiaTimeouts();
    return Py_BuildValue("{s:L, s:L, s:L, s:L}", "connection_ms", (long long)t.connectionMs, "transaction_ms",
                         (long long)t.transactionMs, "timed_out", (long long)simdesk::uiaCallsTimedOut(), "waiting",
                         (long long)simdesk::uiaCallsWaiting());
}

PyObject* threadDict(const simdesk::ThreadState& t) {
    return Py_BuildValue("{s:k, s:O, s:s, s:i, s:O, s:n, s:K, s:K, s:k, s:K}", "id", (unsigned long)t.id, "alive",
                         t.alive ? Py_True : Py_False, "apartment", apartmentName(t.apartment), "com_init_count",
                         t.comInitCount, "has_queue", t.hasQueue ? Py_True : Py_False, "queued",
                         (Py_ssize_t)t.queued, "waits", (unsigned long long)t.waits, "wait_timeouts",
                         (unsigned long long)t.waitTimeouts, "last_wait_result", (unsigned long)t.lastWaitResult,
                         "messages_removed", (unsigned long long)t.messagesRemoved);
}

PyObject* threads(PyObject*, PyObject*) {
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    for (auto& t : simdesk::threads()) {
        PyObject* d = threadDict(t);
        if (!d || PyList_Append(list, d) < 0) {
            Py_XDECREF(d);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(d);
    }
    return list;
}

PyObject* current_thread_id(PyObject*, PyObject*) { return PyLong_FromUnsignedLong(GetCurrentThreadId()); }

PyObject* co_initialize(PyObject*, PyObject* args) {
    const char* model = "mta";
    if (!PyArg_ParseTuple(args, "|s", &model)) return nullptr;
    DWORD flags;
    if (std::string(model) == "sta")
        flags = COINIT_APARTMENTTHREADED;
    else if (std::string(model) == "mta")
        flags = COINIT_MULTITHREADED;
    else
        return PyErr_Format(PyExc_ValueError, "model must be 'sta' or 'mta', not '%s'", model);
    return PyLong_FromUnsignedLong(static_cast<uint32_t>(CoInitializeEx(nullptr, flags)));
}

PyObject* co_uninitialize(PyObject*, PyObject*) {
    CoUninitialize();
    Py_RETURN_NONE;
}

PyObject* post_thread_message(PyObject*, PyObject* args) {
    unsigned long id;
    unsigned int msg;
    unsigned long long wp = 0;
    long long lp = 0;
    if (!PyArg_ParseTuple(args, "kI|KL", &id, &msg, &wp, &lp)) return nullptr;
    BOOL ok = PostThreadMessageW((DWORD)id, msg, (WPARAM)wp, (LPARAM)lp);
    DWORD err = ok ? 0 : GetLastError();
    return Py_BuildValue("(Ok)", ok ? Py_True : Py_False, (unsigned long)err);
}

// ---- UI Automation events ----

const char* kindName(simdesk::EventKind k) {
    switch (k) {
        case simdesk::EventKind::Structure: return "structure";
        case simdesk::EventKind::Property: return "property";
        default: return "focus";
    }
}

bool parseKind(const char* name, simdesk::EventKind* out) {
    for (auto k : {simdesk::EventKind::Structure, simdesk::EventKind::Property, simdesk::EventKind::Focus})
        if (std::string(name) == kindName(k)) {
            *out = k;
            return true;
        }
    PyErr_Format(PyExc_ValueError, "kind must be 'structure', 'property' or 'focus', not '%s'", name);
    return false;
}

bool parseIntList(PyObject* obj, const char* what, std::vector<int32_t>* out) {
    PyObject* seq = PySequence_Fast(obj, what);
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
        int32_t n;
        if (!toInt32(PySequence_Fast_GET_ITEM(seq, i), "a runtime id value", &n)) {
            Py_DECREF(seq);
            return false;
        }
        out->push_back(n);
    }
    Py_DECREF(seq);
    return true;
}

PyObject* fire_structure_changed(PyObject*, PyObject* args, PyObject* kw) {
    static const char* kwlist[] = {"element", "change_type", "runtime_id", nullptr};
    unsigned long long id;
    int type;
    PyObject* rid = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "Ki|O", const_cast<char**>(kwlist), &id, &type, &rid)) return nullptr;
    std::optional<std::vector<int32_t>> ids;
    if (rid != Py_None && !parseIntList(rid, "runtime_id must be None or a sequence of int", &ids.emplace()))
        return nullptr;
    return PyBool_FromLong(simdesk::fireStructureChanged(id, static_cast<StructureChangeType>(type), ids));
}

// None: VT_EMPTY; bool: VT_BOOL; int: VT_I4; str: VT_BSTR; a sequence of
// numbers: VT_R8|VT_ARRAY.
bool parseValue(PyObject* obj, simdesk::EventValue* v) {
    if (obj == Py_None) return true;
    if (PyBool_Check(obj)) {
        *v = simdesk::EventValue::boolean(obj == Py_True);
        return true;
    }
    if (PyLong_Check(obj)) {
        int32_t n;
        if (!toInt32(obj, "value", &n)) return false;
        *v = simdesk::EventValue::integer(n);
        return true;
    }
    if (PyUnicode_Check(obj)) {
        std::u16string text;
        if (!toU16(obj, &text)) return false;
        *v = simdesk::EventValue::string(std::move(text));
        return true;
    }
    PyObject* seq = PySequence_Fast(obj, "value must be None, bool, int, str or a sequence of numbers");
    if (!seq) return false;
    std::vector<double> reals;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
        double d = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq, i));
        if (d == -1.0 && PyErr_Occurred()) {
            Py_DECREF(seq);
            return false;
        }
        reals.push_back(d);
    }
    Py_DECREF(seq);
    *v = simdesk::EventValue::realArray(std::move(reals));
    return true;
}

PyObject* fire_property_changed(PyObject*, PyObject* args) {
    unsigned long long id;
    int property;
    PyObject* value;
    if (!PyArg_ParseTuple(args, "KiO", &id, &property, &value)) return nullptr;
    simdesk::EventValue v;
    if (!parseValue(value, &v)) return nullptr;
    return PyBool_FromLong(simdesk::firePropertyChanged(id, property, v));
}

PyObject* fire_focus_changed(PyObject*, PyObject* args) {
    unsigned long long id;
    if (!PyArg_ParseTuple(args, "K", &id)) return nullptr;
    return PyBool_FromLong(simdesk::fireFocusChanged(id));
}

// Without the GIL: the handlers being waited for may need it.
PyObject* wait_for_events(PyObject*, PyObject* args, PyObject* kw) {
    static const char* kwlist[] = {"timeout", nullptr};
    PyObject* timeout = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|O", const_cast<char**>(kwlist), &timeout)) return nullptr;
    int64_t ms = 10000;
    if (timeout == Py_None) {
        ms = -1;
    } else if (timeout) {
        double seconds = PyFloat_AsDouble(timeout);
        if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
        if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e9)
            return PyErr_Format(PyExc_ValueError, "timeout must be None or between 0 and 1e9 seconds");
        ms = static_cast<int64_t>(std::ceil(seconds * 1000.0));
    }
    bool settled;
    Py_BEGIN_ALLOW_THREADS
    settled = simdesk::waitForEvents(ms);
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(settled);
}

PyObject* event_registrations(PyObject*, PyObject*) {
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    for (const auto& r : simdesk::eventRegistrations()) {
        PyObject* props = intList(r.properties);
        PyObject* d = props ? Py_BuildValue("{s:s, s:K, s:i, s:O}", "kind", kindName(r.kind), "element",
                                            (unsigned long long)r.element, "scope", r.scope, "properties", props)
                            : nullptr;
        Py_XDECREF(props);
        if (!d || PyList_Append(list, d) < 0) {
            Py_XDECREF(d);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(d);
    }
    return list;
}

PyObject* event_stats(PyObject*, PyObject*) {
    simdesk::EventStats s = simdesk::eventStats();
    return Py_BuildValue("{s:K, s:K, s:K, s:i, s:K}", "raised", (unsigned long long)s.raised, "pending",
                         (unsigned long long)s.pending, "calls", (unsigned long long)s.calls, "in_progress",
                         s.inProgress, "structure_calls", (unsigned long long)s.structureCalls);
}

// A control that takes one truth value.
PyObject* setFlag(PyObject* args, void (*set)(bool)) {
    int on;
    if (!PyArg_ParseTuple(args, "p", &on)) return nullptr;
    set(on != 0);
    Py_RETURN_NONE;
}

PyObject* pause_delivery(PyObject*, PyObject* args) { return setFlag(args, simdesk::pauseDelivery); }

PyObject* set_delivery_threads(PyObject*, PyObject* args) {
    int n;
    if (!PyArg_ParseTuple(args, "i", &n)) return nullptr;
    if (!simdesk::setDeliveryThreads(n)) return PyErr_Format(PyExc_ValueError, "delivery threads must be 1 to 64");
    Py_RETURN_NONE;
}

PyObject* set_removal_waits(PyObject*, PyObject* args) { return setFlag(args, simdesk::setRemovalWaits); }

PyObject* set_late_calls(PyObject*, PyObject* args) { return setFlag(args, simdesk::setLateCalls); }

PyObject* set_title_bars(PyObject*, PyObject* args) { return setFlag(args, simdesk::setTitleBars); }
PyObject* set_automation8_registered(PyObject*, PyObject* args) {
    return setFlag(args, simdesk::setAutomation8Registered);
}

PyObject* set_high_handles(PyObject*, PyObject* args) { return setFlag(args, simdesk::setHighHandles); }

PyObject* safeArrayList(SAFEARRAY* a) {
    if (!a) Py_RETURN_NONE;
    const int32_t* d = static_cast<const int32_t*>(a->pvData);
    return intList(std::vector<int32_t>(d, d + a->rgsabound[0].cElements));
}

PyObject* variantObject(const VARIANT& v) {
    switch (v.vt) {
        case VT_BSTR:
            return fromU16(v.bstrVal ? std::u16string(v.bstrVal, SysStringLen(v.bstrVal)) : std::u16string());
        case VT_BOOL: return PyBool_FromLong(v.boolVal != VARIANT_FALSE);
        case VT_I4: return PyLong_FromLong(v.lVal);
        case VT_R8 | VT_ARRAY: {
            PyObject* t = PyTuple_New(v.parray->rgsabound[0].cElements);
            if (!t) return nullptr;
            const double* d = static_cast<const double*>(v.parray->pvData);
            for (ULONG i = 0; i < v.parray->rgsabound[0].cElements; ++i) {
                PyObject* f = PyFloat_FromDouble(d[i]);
                if (!f) {
                    Py_DECREF(t);
                    return nullptr;
                }
                PyTuple_SET_ITEM(t, i, f);
            }
            return t;
        }
        case VT_I4 | VT_ARRAY: return safeArrayList(v.parray);
        default: Py_RETURN_NONE;
    }
}

// A client's handler of all three kinds that passes each call to a Python
// callable as a dict, on the delivery thread, under the GIL. It is the
// client's object, so the desktop's live counters do not count it.
class PyHandler final : public IUIAutomationStructureChangedEventHandler,
                        public IUIAutomationPropertyChangedEventHandler,
                        public IUIAutomationFocusChangedEventHandler {
public:
    explicit PyHandler(PyObject* callback) : callback_(callback) { Py_INCREF(callback_); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IUIAutomationStructureChangedEventHandler))
            *ppv = static_cast<IUIAutomationStructureChangedEventHandler*>(this);
        else if (IsEqualIID(riid, IID_IUIAutomationPropertyChangedEventHandler))
            *ppv = static_cast<IUIAutomationPropertyChangedEventHandler*>(this);
        else if (IsEqualIID(riid, IID_IUIAutomationFocusChangedEventHandler))
            *ppv = static_cast<IUIAutomationFocusChangedEventHandler*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1) + 1; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG n = refs_.fetch_sub(1) - 1;
        if (n == 0) delete this;
        return n;
    }

    HRESULT STDMETHODCALLTYPE HandleStructureChangedEvent(IUIAutomationElement* sender, StructureChangeType type,
                                                          SAFEARRAY* runtimeId) override {
        deliver("structure", sender, [&](PyObject* d) {
            return set(d, "change_type", PyLong_FromLong(type)) && set(d, "runtime_id", safeArrayList(runtimeId));
        });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE HandlePropertyChangedEvent(IUIAutomationElement* sender, PROPERTYID id,
                                                         VARIANT value) override {
        deliver("property", sender, [&](PyObject* d) {
            return set(d, "property_id", PyLong_FromLong(id)) && set(d, "value", variantObject(value));
        });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE HandleFocusChangedEvent(IUIAutomationElement* sender) override {
        deliver("focus", sender, [](PyObject*) { return true; });
        return S_OK;
    }

private:
    // An interpreter that is shutting down is left alone: the callable
    // leaks rather than being touched without a live interpreter.
    ~PyHandler() {
        if (Py_IsFinalizing()) return;
        PyGILState_STATE g = PyGILState_Ensure();
        Py_DECREF(callback_);
        PyGILState_Release(g);
    }

    static bool set(PyObject* d, const char* key, PyObject* v) {
        if (!v) return false;
        int rc = PyDict_SetItemString(d, key, v);
        Py_DECREF(v);
        return rc == 0;
    }

    template <class Fill>
    void deliver(const char* kind, IUIAutomationElement* sender, Fill fill) {
        // The sender's id is read before taking the GIL, as a handler that
        // calls back into UI Automation would.
        SAFEARRAY* id = nullptr;
        if (FAILED(sender->GetRuntimeId(&id))) id = nullptr;
        DWORD thread = GetCurrentThreadId();
        if (!Py_IsFinalizing()) {
            PyGILState_STATE g = PyGILState_Ensure();
            PyObject* d = PyDict_New();
            bool ok = d && set(d, "kind", PyUnicode_FromString(kind)) && set(d, "sender", safeArrayList(id)) &&
                      set(d, "thread_id", PyLong_FromUnsignedLong(thread)) && fill(d);
            PyObject* r = ok ? PyObject_CallOneArg(callback_, d) : nullptr;
            if (!r) PyErr_WriteUnraisable(callback_);
            Py_XDECREF(r);
            Py_XDECREF(d);
            PyGILState_Release(g);
        }
        SafeArrayDestroy(id);
    }

    std::atomic<ULONG> refs_{1};
    PyObject* const callback_;
};

// The element object of a window's or a control element's id, through a new
// CUIAutomation on the calling thread; null with a Python error.
IUIAutomationElement* elementObject(IUIAutomation* uia, unsigned long long id) {
    simdesk::ElementState s;
    if (!simdesk::elementState(id, &s)) {
        PyErr_Format(PyExc_ValueError, "element 0x%llX does not exist", id);
        return nullptr;
    }
    simdesk::ElementId host = id;
    for (simdesk::ElementState h = s; !h.window;) {
        host = h.parent;
        if (!simdesk::elementState(host, &h)) break;
    }
    IUIAutomationElement* root = nullptr;
    HRESULT hr = uia->ElementFromHandle(reinterpret_cast<UIA_HWND>(static_cast<uintptr_t>(host)), &root);
    if (FAILED(hr)) {
        PyErr_Format(PyExc_OSError, "ElementFromHandle failed: 0x%08X", (unsigned)hr);
        return nullptr;
    }
    if (s.window) return root;
    IUIAutomationElement* found = nullptr;
    SAFEARRAY* rid = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(s.runtimeId.size()));
    if (rid && !s.runtimeId.empty()) std::memcpy(rid->pvData, s.runtimeId.data(), s.runtimeId.size() * 4);
    VARIANT v;
    v.vt = VT_I4 | VT_ARRAY;
    v.parray = rid;
    IUIAutomationCondition* cond = nullptr;
    if (rid && SUCCEEDED(uia->CreatePropertyCondition(UIA_RuntimeIdPropertyId, v, &cond))) {
        root->FindFirst(TreeScope_Subtree, cond, &found);
        cond->Release();
    }
    SafeArrayDestroy(rid);
    root->Release();
    if (!found) PyErr_Format(PyExc_ValueError, "element 0x%llX is not a control element with a runtime id", id);
    return found;
}

// Runs `f` with a CUIAutomation8 (CUIAutomation where it is not registered), in the calling thread's apartment or, when
// it has none, in the multithreaded one for the duration.
template <class F>
PyObject* withAutomation(F f) {
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IUIAutomation* uia = nullptr;
    PyObject* result = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_CUIAutomation8, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation,
                                  reinterpret_cast<void**>(&uia));
    if (hr == REGDB_E_CLASSNOTREG)
        hr = CoCreateInstance(CLSID_CUIAutomation, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation,
                              reinterpret_cast<void**>(&uia));
    if (SUCCEEDED(hr)) {
        result = f(uia);
        uia->Release();
    } else {
        PyErr_Format(PyExc_OSError, "CoCreateInstance(CUIAutomation) failed: 0x%08X", (unsigned)hr);
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return result;
}

PyObject* add_event_handler(PyObject*, PyObject* args, PyObject* kw) {
    static const char* kwlist[] = {"kind", "callback", "element", "scope", "properties", nullptr};
    const char* kindText;
    PyObject* callback;
    unsigned long long id = 0;
    int scope = TreeScope_Subtree;
    PyObject* props = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "sO|KiO", const_cast<char**>(kwlist), &kindText, &callback, &id,
                                     &scope, &props))
        return nullptr;
    simdesk::EventKind kind;
    if (!parseKind(kindText, &kind)) return nullptr;
    if (!PyCallable_Check(callback)) return PyErr_Format(PyExc_TypeError, "callback must be callable");
    std::vector<int32_t> ids;
    if (props != Py_None && !parseIntList(props, "properties must be a sequence of int", &ids)) return nullptr;
    return withAutomation([&](IUIAutomation* uia) -> PyObject* {
        IUIAutomationElement* element = nullptr;
        if (kind != simdesk::EventKind::Focus && !(element = elementObject(uia, id))) return nullptr;
        auto* h = new PyHandler(callback);
        HRESULT hr;
        if (kind == simdesk::EventKind::Structure) {
            hr = uia->AddStructureChangedEventHandler(element, TreeScope(scope), nullptr, h);
        } else if (kind == simdesk::EventKind::Property) {
            SAFEARRAY* a = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(ids.size()));
            if (a && !ids.empty()) std::memcpy(a->pvData, ids.data(), ids.size() * sizeof(int32_t));
            hr = uia->AddPropertyChangedEventHandler(element, TreeScope(scope), nullptr, h, a);
            SafeArrayDestroy(a);
        } else {
            hr = uia->AddFocusChangedEventHandler(nullptr, h);
        }
        h->Release();  // the registration holds its own
        if (element) element->Release();
        return PyLong_FromUnsignedLong(static_cast<uint32_t>(hr));
    });
}

PyObject* remove_all_event_handlers(PyObject*, PyObject*) {
    return withAutomation([](IUIAutomation* uia) {
        HRESULT hr;
        Py_BEGIN_ALLOW_THREADS
        hr = uia->RemoveAllEventHandlers();
        Py_END_ALLOW_THREADS
        return PyLong_FromUnsignedLong(static_cast<uint32_t>(hr));
    });
}

#define FN(name, flags, doc) {#name, (PyCFunction)(void (*)(void))name, flags, doc}
#define FLAG(name, setter, doc) {#name, setWindowFlag<simdesk::setter>, METH_VARARGS, doc}

PyMethodDef methods[] = {
    FN(reset, METH_NOARGS,
       "Back to an empty desktop: windows and elements destroyed, faults cleared, call counters reset, latency 0, "
       "event handlers removed. Releases the GIL while it waits for handler calls."),
    FN(live, METH_NOARGS, "Live objects: {'com', 'bstr', 'safearray', 'variant'}."),
    FN(call_names, METH_NOARGS, "Names of every platform function of the desktop."),
    FN(call_kind, METH_VARARGS,
       "call_kind(name) -> 'hresult', 'last_error', 'null' or 'never': how fail() makes the function fail."),
    FN(calls, METH_VARARGS, "calls(name=None): how often a platform function was called (all as a dict)."),
    FN(reset_calls, METH_NOARGS, "Reset every call counter to 0."),
    FN(fail, METH_VARARGS | METH_KEYWORDS,
       "fail(name, code, count=1, skip=0): make a platform call fail count times (-1: always) after skip calls."),
    FN(clear_faults, METH_NOARGS, "Remove every injected failure (and every destroy_ or hang_window_on_call)."),
    {"destroy_window_on_call", (PyCFunction)(void (*)())windowOnCall<simdesk::destroyWindowOnCall>,
     METH_VARARGS | METH_KEYWORDS,
     "destroy_window_on_call(hwnd, name, skip=0): the window is destroyed just as the platform call is entered, "
     "after skip calls of it, as an application closing it at that moment; once."},
    {"hang_window_on_call", (PyCFunction)(void (*)())windowOnCall<simdesk::hangWindowOnCall>,
     METH_VARARGS | METH_KEYWORDS,
     "hang_window_on_call(hwnd, name, skip=0): the same, but the window stops answering instead."},
    FN(create_window, METH_VARARGS | METH_KEYWORDS,
       "create_window(parent=0, class_name='', text='', rect=(0,0,0,0), visible=True, enabled=True, "
       "read_only=False) -> hwnd"),
    FN(set_high_handles, METH_VARARGS,
       "set_high_handles(on): windows created from now on get handles with the top bit of their 32 bits set, "
       "sign-extended (0xFFFFFFFF8001xxxx), as Windows hands some out (default False; reset turns it off)."),
    FN(destroy_window, METH_VARARGS, "destroy_window(hwnd) -> bool"),
    FN(set_parent, METH_VARARGS, "set_parent(hwnd, parent) -> bool"),
    FN(set_window_text, METH_VARARGS, "set_window_text(hwnd, text) -> bool"),
    {"set_window_rect", setWindowRectangle<simdesk::setWindowRect>, METH_VARARGS,
     "set_window_rect(hwnd, (left, top, right, bottom)) -> bool"},
    FLAG(set_window_visible, setWindowVisible, "set_window_visible(hwnd, visible) -> bool"),
    FLAG(set_window_enabled, setWindowEnabled, "set_window_enabled(hwnd, enabled) -> bool"),
    FLAG(set_window_read_only, setWindowReadOnly, "set_window_read_only(hwnd, read_only) -> bool; an Edit's ES_READONLY"),
    {"set_client_inset", setWindowRectangle<simdesk::setClientInset>, METH_VARARGS,
     "set_client_inset(hwnd, (left, top, right, bottom)) -> bool; the margins between window and client area"},
    FLAG(set_window_hung, setWindowHung,
         "set_window_hung(hwnd, hung) -> bool; a hung window queues posted messages and blocks senders"),
    FLAG(set_window_elevated, setWindowElevated,
         "set_window_elevated(hwnd, elevated) -> bool; the window's process runs elevated: posts and sends to its "
         "windows fail with ERROR_ACCESS_DENIED, reading them still works"),
    FN(window, METH_VARARGS, "window(hwnd) -> dict or None"),
    FN(messages, METH_VARARGS,
       "messages(hwnd) -> [{'message', 'wparam', 'lparam', 'sent', 'handled', 'waited'}], in order; [] for a dead "
       "window. 'waited': a sender blocked on it while the window was hung"),
    FN(clear_messages, METH_VARARGS, "clear_messages(hwnd) -> bool"),
    FN(post_message, METH_VARARGS, "post_message(hwnd, msg, wparam=0, lparam=0) -> (ok, last_error)"),
    FN(send_message, METH_VARARGS,
       "send_message(hwnd, msg, wparam=0, lparam=0) -> (result, last_error); waits while the window is hung"),
    FN(cursor, METH_NOARGS, "The cursor position (x, y)."),
    FN(top_level_windows, METH_NOARGS, "Handles of the top-level windows, topmost first."),
    FN(add_element, METH_VARARGS | METH_KEYWORDS,
       "add_element(parent, *, name, automation_id, class_name, control_type, rect=(l, t, r, b), enabled, "
       "control_element, process_id, runtime_id=[...], patterns=[...], value, read_only, focusable, selected, "
       "expand_state, scroll_percent) -> id of a new window-less element"),
    FN(set_element, METH_VARARGS | METH_KEYWORDS,
       "set_element(id, **fields of add_element) -> bool; changes only the fields given"),
    FN(remove_element, METH_VARARGS, "remove_element(id) -> bool; a window-less element and all below it"),
    FN(set_runtime_id_readable, METH_VARARGS, "set_runtime_id_readable(id, readable) -> bool"),
    FN(element, METH_VARARGS, "element(id) -> dict or None; a window's element id is its handle"),
    FN(set_title_bars, METH_VARARGS,
       "set_title_bars(on): every top-level window shows its title bar (Minimize, Maximize and Close buttons) as "
       "the window's first child element (default False)."),
    FN(focused_element, METH_NOARGS, "The element SetFocus last focused; 0 when none or gone."),
    FN(cross_process_calls, METH_NOARGS, "UI Automation calls that crossed into the target process."),
    FN(cached_elements_transferred, METH_NOARGS,
       "Elements whose values cache requests carried back (found elements and relatives cached with them)."),
    FN(set_latency, METH_VARARGS, "set_latency(microseconds): what each cross-process call costs."),
    FN(latency, METH_NOARGS, "The cross-process latency in microseconds."),
    FN(set_uia_timeouts, METH_VARARGS,
       "set_uia_timeouts(connection_ms, transaction_ms): how long CUIAutomation8 waits for a hung window's provider."),
    FN(set_automation8_registered, METH_VARARGS,
       "set_automation8_registered(registered): whether CUIAutomation8 can be created (default True). Without it, as "
       "before Windows 8, only CUIAutomation is left, whose calls wait for a hung provider until it answers."),
    FN(uia_timeouts, METH_NOARGS,
       "{'connection_ms', 'transaction_ms', 'timed_out', 'waiting'}: the timeouts, calls that gave up since the last "
       "reset_calls, and calls waiting now."),
    FN(threads, METH_NOARGS, "Every thread the desktop has seen, with its apartment and message queue."),
    FN(current_thread_id, METH_NOARGS, "The calling thread's Windows thread id."),
    FN(co_initialize, METH_VARARGS, "co_initialize(model='mta'|'sta') -> HRESULT, on the calling thread."),
    FN(co_uninitialize, METH_NOARGS, "CoUninitialize on the calling thread."),
    FN(post_thread_message, METH_VARARGS,
       "post_thread_message(thread_id, msg, wparam=0, lparam=0) -> (ok, last_error)"),
    FN(fire_structure_changed, METH_VARARGS | METH_KEYWORDS,
       "fire_structure_changed(element, change_type, runtime_id=None) -> bool; False for a dead element"),
    FN(fire_property_changed, METH_VARARGS,
       "fire_property_changed(element, property_id, value) -> bool; value None, bool, int, str or a sequence of "
       "numbers (VT_R8 array)"),
    FN(fire_focus_changed, METH_VARARGS, "fire_focus_changed(element) -> bool"),
    FN(wait_for_events, METH_VARARGS | METH_KEYWORDS,
       "wait_for_events(timeout=10.0) -> bool: every handler call of the events raised so far has returned "
       "(None: no limit). Releases the GIL."),
    FN(event_registrations, METH_NOARGS,
       "Registered handlers: [{'kind', 'element', 'scope', 'properties'}], kind 'structure', 'property' or 'focus'."),
    FN(event_stats, METH_NOARGS, "{'raised', 'pending', 'calls', 'in_progress', 'structure_calls'} since the last reset."),
    FN(pause_delivery, METH_VARARGS, "pause_delivery(paused): while paused, events queue up."),
    FN(set_delivery_threads, METH_VARARGS, "set_delivery_threads(n): how many handlers may run at once (1 to 64)."),
    FN(set_late_calls, METH_VARARGS,
       "set_late_calls(late): whether RemoveAllEventHandlers leaves queued handler calls to be made after it."),
    FN(set_removal_waits, METH_VARARGS,
       "set_removal_waits(wait): whether RemoveAllEventHandlers waits for handler calls in progress (default True)."),
    FN(add_event_handler, METH_VARARGS | METH_KEYWORDS,
       "add_event_handler(kind, callback, element=0, scope=TreeScope_Subtree, properties=None) -> HRESULT: "
       "registers callback(dict) through IUIAutomation; the dict has 'kind', 'sender' (runtime id or None), "
       "'thread_id' and 'change_type', 'runtime_id' or 'property_id', 'value'."),
    FN(remove_all_event_handlers, METH_NOARGS,
       "IUIAutomation::RemoveAllEventHandlers() -> HRESULT. Releases the GIL while it waits for handler calls."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "_simdesk", "Control API of the simulated Windows desktop.", -1,
                         methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__simdesk(void) { return PyModule_Create(&moduleDef); }
