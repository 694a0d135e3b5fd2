// Guards and the depth check of native recursion.
#include "guard.hpp"

#include <pthread.h>

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

static PyObject* instance_dict(Obj self) {
    PyObject** dictptr = _PyObject_GetDictPtr(self.ptr());
    return dictptr ? *dictptr : nullptr;
}

bool own_method(Obj self, PyObject* name, Body body) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (!compat::generic_getattr(type)) return false;
    PyObject* descr = _PyType_Lookup(type, name);
    if (!descr || !is_native(descr, body)) return false;
    PyObject* dict = instance_dict(self);
    if (!dict) return true;
    PyObject* shadow = compat::dict_get(dict, name);
    if (!shadow && PyErr_Occurred()) PyErr_Clear();
    return !shadow;
}

PyObject* plain_attr(Obj self, PyObject* name) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (!compat::generic_getattr(type)) return nullptr;
    PyObject* descr = _PyType_Lookup(type, name);
    if (descr && Py_TYPE(descr)->tp_descr_set) return nullptr;
    PyObject* dict = instance_dict(self);
    if (!dict) return nullptr;
    PyObject* v = compat::dict_get(dict, name);
    if (!v && PyErr_Occurred()) PyErr_Clear();
    return v;
}

// Module paths ----------------------------------------------------------------

void ModulePath::remember(const Env& g) {
    Ref root = g[root_];
    PyObject* m = root.ptr();
    for (int i = 0; i < 2 && attrs_[i]; ++i) {
        Step& s = steps_[i];
        if (!s.str) s.str = intern(attrs_[i]);
        PyObject* v = m && PyModule_CheckExact(m) ? compat::dict_get(PyModule_GetDict(m), s.str) : nullptr;
        if (!v && PyErr_Occurred()) raise();
        Py_XINCREF(v);
        Py_XSETREF(s.value, v);
        s.dict = nullptr;
        m = v;
    }
}

bool ModulePath::genuine(const Env& g) {
    if (!g.genuine(root_)) return false;
    PyObject* m = root_.genuine();
    for (int i = 0; i < 2 && attrs_[i]; ++i) {
        Step& s = steps_[i];
        if (!s.value || !PyModule_CheckExact(m)) return false;
        PyObject* d = PyModule_GetDict(m);
        const uint64_t version = compat::dict_version(d);
        if (!(version && s.dict == d && s.version == version)) {
            PyObject* v = compat::dict_get(d, s.str);
            if (!v && PyErr_Occurred()) PyErr_Clear();
            if (v != s.value) return false;
            s.dict = d;
            s.version = version;
        }
        m = s.value;
    }
    return true;
}

}  // namespace rt
