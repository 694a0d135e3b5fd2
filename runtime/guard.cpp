// Guards, yield points and the depth check of native recursion.
#include "guard.hpp"

#include <pthread.h>

#include <cstring>

namespace rt {

namespace detail {

thread_local uintptr_t stack_limit = 0;

// Room kept free below the limit: raising and unwinding need stack too,
// and sanitizer builds use much larger frames.
constexpr uintptr_t kStackMargin = 512 * 1024;

uintptr_t find_stack_limit() {
    uintptr_t limit = 1;  // unknown: never reports a low stack
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size) {
            const uintptr_t margin = size / 4 < kStackMargin ? size / 4 : kStackMargin;
            limit = reinterpret_cast<uintptr_t>(addr) + margin;
        }
        pthread_attr_destroy(&attr);
    }
    stack_limit = limit;
    return limit;
}

}  // namespace detail

bool enter_recursion() {
    if (stack_low()) {
        PyErr_SetString(compat::recursion_error(),
                        "maximum recursion depth exceeded while calling a native function (C stack)");
        return false;
    }
    return Py_EnterRecursiveCall(" while calling a native function") == 0;
}

// Yield points ---------------------------------------------------------------------

void Pace::yield() {
    // A waiting thread gets the interpreter here, as it would at the switch
    // interval between two bytecodes.
    Py_BEGIN_ALLOW_THREADS
    Py_END_ALLOW_THREADS
    if (PyErr_CheckSignals() < 0) throw Error();
}

// Reads that run no code -----------------------------------------------------------

#ifndef RT_PY2
namespace compat {
// Whether a dictionary holds exact str keys only: a scan, remembered until
// the dictionary changes.
bool str_keys_only(PyObject* d) {
    struct Fact {
        PyObject* dict = nullptr;
        Seen seen;
        bool str_keys = false;
    };
    static Fact facts[64];
    if (!PyDict_CheckExact(d)) return false;
    Fact& f = facts[(reinterpret_cast<uintptr_t>(d) >> 4) % 64];
    if (f.dict == d && f.seen.current()) return f.str_keys;
    f.dict = d;
    f.seen.begin();
    f.seen.add(d);
    f.str_keys = scan_str_keys(d);
    return f.str_keys;
}
}  // namespace compat
#endif

bool peek_item(PyObject* d, PyObject* key, Ref& out) {
    if (!compat::str_keys_only(d)) return false;
    PyObject* v = compat::dict_get(d, key);
    if (!v && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = Ref::borrow(v);
    return true;
}

bool peek_type_attr(PyTypeObject* type, PyObject* name, Ref& out) {
    // The MRO walked by hand, as the generic look-up walks it; the tuple is
    // owned, for it is replaced when __bases__ is assigned.
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro || !PyTuple_CheckExact(mro.ptr())) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.ptr()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro.ptr(), i);
        if (!PyType_Check(base)) return false;  // a classic class in a 2.7 MRO
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(base);
        Ref dict = Ref::steal_or_null(compat::type_dict(t));
        if (!dict) return false;
        if (compat::mutable_type(t)) {
            if (!peek_item(dict.ptr(), name, out)) return false;
        } else {
            // a builtin type's dictionary: its own names, fixed
            PyObject* v = compat::dict_get(dict.ptr(), name);
            if (!v && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            out = Ref::borrow(v);
        }
        if (out) return true;
    }
    out = Ref();
    return true;
}

namespace {

// The instance's own entry for `name`: true with `out` owned (empty when
// the instance has no such attribute or no dictionary); false when unknown.
bool peek_instance_attr(Obj self, PyObject* name, Ref& out) {
    Ref dict = Ref::steal_or_null(compat::instance_dict(self.ptr()));
    if (!dict) {
        out = Ref();
        return true;
    }
    return peek_item(dict.ptr(), name, out);
}

}  // namespace

bool own_method(Obj self, PyObject* name, Body body) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (!compat::generic_getattr(type)) return false;
    Ref descr, shadow;
    if (!peek_type_attr(type, name, descr) || !descr || !is_native(descr.ptr(), body)) return false;
    return peek_instance_attr(self, name, shadow) && !shadow;
}

Ref plain_attr(Obj self, PyObject* name) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (!compat::generic_getattr(type)) return Ref();
    Ref descr, value;
    if (!peek_type_attr(type, name, descr) || descr) return Ref();
    if (!peek_instance_attr(self, name, value)) return Ref();
    return value;
}

// Libraries' own objects -------------------------------------------------------------

void Package::locate(Obj module_file, int depth) {
    dir_.clear();
    Ref bytes;
#ifdef RT_PY2
    if (!module_file || !PyString_Check(module_file.ptr())) return;
    std::string path = PyString_AS_STRING(module_file.ptr());
#else
    if (!module_file || !PyUnicode_Check(module_file.ptr())) return;
    const char* utf8 = PyUnicode_AsUTF8(module_file.ptr());
    if (!utf8) {
        PyErr_Clear();
        return;
    }
    std::string path = utf8;
#endif
    for (int i = 0; i <= depth; ++i) {
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) return;
        path.resize(slash);
    }
    dir_ = path + "/";
}

namespace {

// What the attribute of a code object is, read without running code (code
// objects are of a builtin type), as UTF-8.
bool code_text(PyObject* code, const char* attr, std::string& out) {
    PyObject* v = PyObject_GetAttrString(code, attr);
    if (!v) {
        PyErr_Clear();
        return false;
    }
    Ref keep = Ref::steal(v);
#ifdef RT_PY2
    if (!PyString_Check(v)) return false;
    out = PyString_AS_STRING(v);
#else
    const char* s = PyUnicode_Check(v) ? PyUnicode_AsUTF8(v) : nullptr;
    if (!s) {
        PyErr_Clear();
        return false;
    }
    out = s;
#endif
    return true;
}

}  // namespace

bool Package::defines(PyObject* o, const char* name) const {
    if (dir_.empty() || !o || !PyFunction_Check(o)) return false;
    PyObject* code = PyFunction_GET_CODE(o);
    // Code objects never change: the answer is kept with the object.
    struct Known {
        PyObject* code = nullptr;  // owned
        const Package* package = nullptr;
        const char* name = nullptr;
        bool defines = false;
    };
    static Known known[32];
    Known& k = known[(reinterpret_cast<uintptr_t>(code) >> 4) % 32];
    if (k.code == code && k.package == this && k.name == name) return k.defines;
    std::string file, co_name;
    const bool defines = code_text(code, "co_filename", file) && code_text(code, "co_name", co_name) &&
                         co_name == name && file.compare(0, dir_.size(), dir_) == 0;
    Py_INCREF(code);
    Py_XSETREF(k.code, code);
    k.package = this;
    k.name = name;
    k.defines = defines;
    return defines;
}

}  // namespace rt
