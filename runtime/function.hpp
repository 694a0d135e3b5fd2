// The native function type: behaves like a Python function (descriptor
// binding, keywords, defaults, introspection, the interpreter's own
// argument errors) but runs a C++ body.
#pragma once

#include "globals.hpp"

#include <utility>

namespace rt {

struct FunctionObject;

// Calling convention of a bound body: exactly one argument per parameter,
// defaults already filled in; returns a new reference or NULL.
using Body = PyObject* (*)(FunctionObject*, PyObject* const*);

struct FunctionObject {
    PyObject_HEAD
    compat::vectorcall_slot vectorcall;
    Body body;
    Py_ssize_t nparams;
    PyObject* params;  // tuple of str
    PyObject* name;
    PyObject* defined_name;  // the name it was made with, for argument errors
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* defaults;  // tuple or NULL
    PyObject* globals;
    PyObject* builtins;
    PyObject* dict;
    PyObject* weakreflist;
};

extern PyTypeObject FunctionType;

struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;  // may be NULL
    std::initializer_list<const char*> params;
};

Ref make_function(Body body, const FunctionSpec& spec, Obj defaults, Obj globals);

// The environment a native function's body runs in.
inline Env env_of(FunctionObject* f) { return Env(f->globals, f->builtins); }

// Whether `o` is a native function with this body.
inline bool is_native(PyObject* o, Body body) {
    return Py_TYPE(o) == &FunctionType && reinterpret_cast<FunctionObject*>(o)->body == body;
}

namespace detail {
template <class F>
struct arity;
template <class... A>
struct arity<Ref (*)(const Env&, A...)> {
    static constexpr size_t value = sizeof...(A);
};

template <auto F, size_t... I>
Ref invoke(const Env& env, PyObject* const* a, std::index_sequence<I...>) {
    (void)a;
    return F(env, Obj(a[I])...);
}

template <auto F>
PyObject* trampoline(FunctionObject* fn, PyObject* const* args) {
    try {
        return invoke<F>(env_of(fn), args, std::make_index_sequence<arity<decltype(F)>::value>()).release();
    } catch (const Error&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}
}  // namespace detail

// The body of `def f(a, b=...)` is `Ref f(const Env& g, Obj a, Obj b)`.
template <auto F>
constexpr Body body_of() {
    return &detail::trampoline<F>;
}

}  // namespace rt
