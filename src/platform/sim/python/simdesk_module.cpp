// _simdesk: the simulated desktop's control API for Python (tests and the
// demo). Not part of ostrandcore.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <string>

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

PyObject* reset(PyObject*, PyObject*) {
    simdesk::reset();
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

PyObject* set_window_text(PyObject*, PyObject* args) {
    unsigned long long h;
    PyObject* text;
    if (!PyArg_ParseTuple(args, "KU", &h, &text)) return nullptr;
    std::u16string t;
    if (!toU16(text, &t)) return nullptr;
    return PyBool_FromLong(simdesk::setWindowText(toHwnd(h), t));
}

PyObject* set_window_rect(PyObject*, PyObject* args) {
    unsigned long long h;
    PyObject* rect;
    if (!PyArg_ParseTuple(args, "KO", &h, &rect)) return nullptr;
    RECT r;
    if (!parseRect(rect, &r)) return nullptr;
    return PyBool_FromLong(simdesk::setWindowRect(toHwnd(h), r));
}

PyObject* set_window_visible(PyObject*, PyObject* args) {
    unsigned long long h;
    int v;
    if (!PyArg_ParseTuple(args, "Kp", &h, &v)) return nullptr;
    return PyBool_FromLong(simdesk::setWindowVisible(toHwnd(h), v));
}

PyObject* set_window_enabled(PyObject*, PyObject* args) {
    unsigned long long h;
    int v;
    if (!PyArg_ParseTuple(args, "Kp", &h, &v)) return nullptr;
    return PyBool_FromLong(simdesk::setWindowEnabled(toHwnd(h), v));
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
          setItem(result, "client_rect", rectTuple(s.client)) &&
          setItem(result, "clicks", PyLong_FromUnsignedLongLong(s.clicks)) &&
          setItem(result, "wheel", PyLong_FromLongLong(s.wheel)) &&
          setItem(result, "last_mouse", pointOrNone(s.lastMouse)) &&
          setItem(result, "queued", PyLong_FromSize_t(s.queued)) &&
          setItem(result, "senders_waiting", PyLong_FromSize_t(s.sendersWaiting))))
        Py_CLEAR(result);
    return result;
}

PyObject* set_window_read_only(PyObject*, PyObject* args) {
    unsigned long long h;
    int v;
    if (!PyArg_ParseTuple(args, "Kp", &h, &v)) return nullptr;
    return PyBool_FromLong(simdesk::setWindowReadOnly(toHwnd(h), v));
}

PyObject* set_client_inset(PyObject*, PyObject* args) {
    unsigned long long h;
    PyObject* inset;
    if (!PyArg_ParseTuple(args, "KO", &h, &inset)) return nullptr;
    RECT r;
    if (!parseRect(inset, &r)) return nullptr;
    return PyBool_FromLong(simdesk::setClientInset(toHwnd(h), r));
}

PyObject* set_window_hung(PyObject*, PyObject* args) {
    unsigned long long h;
    int v;
    if (!PyArg_ParseTuple(args, "Kp", &h, &v)) return nullptr;
    return PyBool_FromLong(simdesk::setWindowHung(toHwnd(h), v));
}

PyObject* messages(PyObject*, PyObject* args) {
    unsigned long long h;
    if (!PyArg_ParseTuple(args, "K", &h)) return nullptr;
    auto all = simdesk::windowMessages(toHwnd(h));
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(all.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < all.size(); ++i) {
        const auto& m = all[i];
        PyObject* d = Py_BuildValue("{s:I, s:K, s:L, s:O, s:O}", "message", m.message, "wparam",
                                    (unsigned long long)m.wParam, "lparam", (long long)m.lParam, "sent",
                                    m.sent ? Py_True : Py_False, "handled", m.handled ? Py_True : Py_False);
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

#define FN(name, flags, doc) {#name, (PyCFunction)(void (*)(void))name, flags, doc}

PyMethodDef methods[] = {
    FN(reset, METH_NOARGS,
       "Back to an empty desktop: windows and elements destroyed, faults cleared, call counters reset, latency 0."),
    FN(live, METH_NOARGS, "Live objects: {'com', 'bstr', 'safearray', 'variant'}."),
    FN(call_names, METH_NOARGS, "Names of every platform function of the desktop."),
    FN(calls, METH_VARARGS, "calls(name=None): how often a platform function was called (all as a dict)."),
    FN(reset_calls, METH_NOARGS, "Reset every call counter to 0."),
    FN(fail, METH_VARARGS | METH_KEYWORDS,
       "fail(name, code, count=1, skip=0): make a platform call fail count times (-1: always) after skip calls."),
    FN(clear_faults, METH_NOARGS, "Remove every injected failure."),
    FN(create_window, METH_VARARGS | METH_KEYWORDS,
       "create_window(parent=0, class_name='', text='', rect=(0,0,0,0), visible=True, enabled=True, "
       "read_only=False) -> hwnd"),
    FN(destroy_window, METH_VARARGS, "destroy_window(hwnd) -> bool"),
    FN(set_parent, METH_VARARGS, "set_parent(hwnd, parent) -> bool"),
    FN(set_window_text, METH_VARARGS, "set_window_text(hwnd, text) -> bool"),
    FN(set_window_rect, METH_VARARGS, "set_window_rect(hwnd, (left, top, right, bottom)) -> bool"),
    FN(set_window_visible, METH_VARARGS, "set_window_visible(hwnd, visible) -> bool"),
    FN(set_window_enabled, METH_VARARGS, "set_window_enabled(hwnd, enabled) -> bool"),
    FN(set_window_read_only, METH_VARARGS, "set_window_read_only(hwnd, read_only) -> bool; an Edit's ES_READONLY"),
    FN(set_client_inset, METH_VARARGS,
       "set_client_inset(hwnd, (left, top, right, bottom)) -> bool; the margins between window and client area"),
    FN(set_window_hung, METH_VARARGS,
       "set_window_hung(hwnd, hung) -> bool; a hung window queues posted messages and blocks senders"),
    FN(window, METH_VARARGS, "window(hwnd) -> dict or None"),
    FN(messages, METH_VARARGS,
       "messages(hwnd) -> [{'message', 'wparam', 'lparam', 'sent', 'handled'}], in order; [] for a dead window"),
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
    FN(focused_element, METH_NOARGS, "The element SetFocus last focused; 0 when none or gone."),
    FN(cross_process_calls, METH_NOARGS, "UI Automation calls that crossed into the target process."),
    FN(set_latency, METH_VARARGS, "set_latency(microseconds): what each cross-process call costs."),
    FN(latency, METH_NOARGS, "The cross-process latency in microseconds."),
    FN(threads, METH_NOARGS, "Every thread the desktop has seen, with its apartment and message queue."),
    FN(current_thread_id, METH_NOARGS, "The calling thread's Windows thread id."),
    FN(co_initialize, METH_VARARGS, "co_initialize(model='mta'|'sta') -> HRESULT, on the calling thread."),
    FN(co_uninitialize, METH_NOARGS, "CoUninitialize on the calling thread."),
    FN(post_thread_message, METH_VARARGS,
       "post_thread_message(thread_id, msg, wparam=0, lparam=0) -> (ok, last_error)"),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "_simdesk", "Control API of the simulated Windows desktop.", -1,
                         methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__simdesk(void) { return PyModule_Create(&moduleDef); }
