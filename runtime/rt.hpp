// The small runtime layer under the scene modules: owned references, calls,
// global look-up, imports, class creation and a native function type that
// behaves like a Python function. Module code talks to the interpreter only
// through this header.
//
// Errors: every failing interpreter call leaves a Python exception set and
// throws rt::Error; the function trampolines turn that back into NULL. RAII
// handles release what they own on the way out.
#pragma once

#include "compat.hpp"

#include <cstddef>
#include <initializer_list>
#include <exception>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace rt {

// A Python exception is set; unwind to the nearest trampoline.
struct Error {};

[[noreturn]] void raise();
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
[[noreturn]] void raise_assertion();

PyObject* intern(const char* s);

// Interned name, created once per call site.
#define RT_ID(s) ([]() -> PyObject* { static PyObject* const o_ = ::rt::intern(s); return o_; }())

class Ref;
struct Kw;

// Borrowed view of an object: never owns it.
class Obj {
  protected:
    PyObject* p_ = nullptr;

  public:
    constexpr Obj() = default;
    constexpr Obj(PyObject* p) : p_(p) {}

    PyObject* ptr() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    bool is(Obj o) const { return p_ == o.p_; }
    bool is_none() const { return p_ == Py_None; }
    bool is_true() const { return p_ == Py_True; }

    Ref attr(PyObject* name) const;
    // hasattr(): only AttributeError means "no".
    bool hasattr(PyObject* name) const;
    // getattr(o, name, None), but empty instead of None.
    Ref maybe_attr(PyObject* name) const;
    void setattr(PyObject* name, Obj value) const;
    Ref operator[](Obj key) const;
    Ref operator[](Py_ssize_t index) const;
    void setitem(Obj key, Obj value) const;
    void setitem(Py_ssize_t index, Obj value) const;
    Py_ssize_t len() const;
    bool truth() const;
    bool equals(Obj other) const;
    bool equals(const char* s) const;
    double to_double() const;
    Py_ssize_t to_index() const;

    template <class... A>
    Ref operator()(A&&... args) const;
};

// Owned reference.
class Ref : public Obj {
  public:
    Ref() = default;
    Ref(const Ref& o) : Obj(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : Obj(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes a new reference; NULL means the call failed.
    static Ref steal(PyObject* p) {
        if (!p) raise();
        Ref r;
        r.p_ = p;
        return r;
    }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        Ref r;
        r.p_ = p;
        return r;
    }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
};

inline Ref none() { return Ref::borrow(Py_None); }

// Conversions of C++ values into arguments.
inline Ref to_ref(Obj o) { return Ref::borrow(o.ptr()); }
inline Ref to_ref(const Ref& r) { return r; }
inline Ref to_ref(Ref&& r) { return std::move(r); }
inline Ref to_ref(PyObject* p) { return Ref::borrow(p); }
inline Ref to_ref(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref to_ref(int v) { return Ref::steal(PyLong_FromLong(v)); }
inline Ref to_ref(long v) { return Ref::steal(PyLong_FromLong(v)); }
inline Ref to_ref(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref to_ref(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
inline Ref to_ref(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }
inline Ref to_ref(std::nullptr_t) { return none(); }

// A keyword argument of a call: f(x, kw(RT_ID("scale"), y)).
struct Kw {
    PyObject* name;
    Ref value;
};
template <class T>
Kw kw(PyObject* name, T&& value) {
    return Kw{name, to_ref(std::forward<T>(value))};
}

template <class... A>
Ref tuple(A&&... items) {
    Ref t = Ref::steal(PyTuple_New(sizeof...(A)));
    Py_ssize_t i = 0;
    (void)i;
    ((PyTuple_SET_ITEM(t.ptr(), i++, to_ref(std::forward<A>(items)).release())), ...);
    return t;
}

template <class... A>
Ref list(A&&... items) {
    Ref l = Ref::steal(PyList_New(sizeof...(A)));
    Py_ssize_t i = 0;
    (void)i;
    ((PyList_SET_ITEM(l.ptr(), i++, to_ref(std::forward<A>(items)).release())), ...);
    return l;
}

inline Ref dict() { return Ref::steal(PyDict_New()); }
// {key: value, ...}, keys inserted in the order given
Ref dict(std::initializer_list<std::pair<const char*, Ref>> items);
inline Ref multiply(Obj a, Obj b) { return Ref::steal(PyNumber_Multiply(a.ptr(), b.ptr())); }
inline Ref subtract(Obj a, Obj b) { return Ref::steal(PyNumber_Subtract(a.ptr(), b.ptr())); }
inline Ref true_divide(Obj a, Obj b) { return Ref::steal(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
inline Ref bit_or(Obj a, Obj b) { return Ref::steal(PyNumber_Or(a.ptr(), b.ptr())); }
inline Ref negate(Obj a) { return Ref::steal(PyNumber_Negative(a.ptr())); }

// A constant built once and kept for the life of the process, like the
// constants of a compiled function: every call sees the same object.
#define RT_CONST(expr) ([]() -> ::rt::Obj { static PyObject* const c_ = (expr).release(); return c_; }())
inline Ref slice_all() { return Ref::steal(PySlice_New(nullptr, nullptr, nullptr)); }

// Runs `undo` when the scope is left by an exception, unless dismissed
// first; the caller still sees the original Python exception, whatever the
// undo does. Drawing code arms one per push or glBegin, so that an exception
// closes, in reverse order, whatever was opened.
template <class F>
class OnError {
    F undo_;
    int pending_;
    bool armed_ = true;

  public:
    explicit OnError(F undo) : undo_(std::move(undo)), pending_(std::uncaught_exceptions()) {}
    OnError(const OnError&) = delete;
    OnError& operator=(const OnError&) = delete;
    void dismiss() { armed_ = false; }
    ~OnError() {
        if (!armed_ || std::uncaught_exceptions() <= pending_) return;
        compat::SavedError error;
        try {
            undo_();
        } catch (...) {
        }
        PyErr_Clear();
        error.restore();
    }
};

// a, b, ... = value: the targets in order, with the interpreter's errors.
void unpack(Obj value, std::initializer_list<Ref*> targets);

// open(); body(); close() -- and close() also when body raises, before the
// exception goes on.
template <class Open, class Close, class Body>
void bracket(Open&& open, Close&& close, Body&& body) {
    open();
    OnError undo(close);
    body();
    undo.dismiss();
    close();
}

// Calls ------------------------------------------------------------------

Ref call(Obj callable, PyObject* const* args, size_t nargs, PyObject* kwnames);

namespace detail {
template <class T>
constexpr bool is_kw = std::is_same<std::decay_t<T>, Kw>::value;

template <class... A>
constexpr bool keywords_last() {
    bool seen = false, ok = true;
    ((ok = ok && (!seen || is_kw<A>), seen = seen || is_kw<A>), ...);
    return ok;
}

struct CallArgs {
    // slot 0 is free so that the callee may use PY_VECTORCALL_ARGUMENTS_OFFSET
    Ref refs[1 + 16];
    PyObject* ptrs[1 + 16] = {};
    size_t npos = 0, nkw = 0;
    PyObject* kwnames[16] = {};

    template <class T>
    void add(T&& v) {
        if constexpr (is_kw<T>) {
            kwnames[nkw++] = v.name;
            push(std::move(v.value));
        } else {
            ++npos;
            push(to_ref(std::forward<T>(v)));
        }
    }
    void push(Ref r) {
        size_t i = 1 + npos + nkw - 1;
        ptrs[i] = r.ptr();
        refs[i] = std::move(r);
    }
};
}  // namespace detail

template <class... A>
Ref Obj::operator()(A&&... args) const {
    static_assert(sizeof...(A) <= 16, "too many arguments");
    static_assert(detail::keywords_last<A...>(), "keyword arguments come after the positional ones");
    detail::CallArgs a;
    (a.add(std::forward<A>(args)), ...);
    Ref names;
    if (a.nkw) {
        names = Ref::steal(PyTuple_New(a.nkw));
        for (size_t i = 0; i < a.nkw; ++i) {
            Py_INCREF(a.kwnames[i]);
            PyTuple_SET_ITEM(names.ptr(), i, a.kwnames[i]);
        }
    }
    return call(*this, a.ptrs + 1, a.npos | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr());
}

// Native functions ----------------------------------------------------------

struct FunctionObject;

// Calling convention of a bound body: exactly one argument per parameter,
// defaults already filled in; returns a new reference or NULL.
using Body = PyObject* (*)(FunctionObject*, PyObject* const*);

// Where a function body finds its globals: the module dictionary, then the
// builtins, at the moment of use.
class Env {
    PyObject* globals_;
    PyObject* builtins_;

  public:
    Env(PyObject* globals, PyObject* builtins) : globals_(globals), builtins_(builtins) {}
    explicit Env(FunctionObject* f);
    Ref operator[](PyObject* name) const;
    Obj globals() const { return globals_; }
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Body body;
    Py_ssize_t nparams;
    PyObject* params;  // tuple of str
    PyObject* name;
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

// True when `callable` is `self.<method>` for the native body `body`, i.e. no
// override is in the way and the body may be run directly.
bool is_bound_native(Obj callable, Obj self, Body body);

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
        Env env(fn);
        return invoke<F>(env, args, std::make_index_sequence<arity<decltype(F)>::value>()).release();
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

// Interpreter state ---------------------------------------------------------

// False when the interpreter runs with -O (assert statements are skipped).
bool assertions_enabled();

// assert lo <= v and v <= hi, with float bounds, Python's comparison rules.
void assert_between(Obj v, double lo, double hi);

// Modules and classes --------------------------------------------------------

// `from module import n1, n2`: the values, in order, with the interpreter's
// ImportError for a missing name.
std::vector<Ref> from_import(Obj globals, const char* module, std::initializer_list<PyObject*> names);

class Module {
    PyObject* module_;
    PyObject* dict_;
    PyObject* builtins_;

  public:
    explicit Module(PyObject* m);

    Env env() const { return Env(dict_, builtins_); }
    Ref operator[](PyObject* name) const { return env()[name]; }
    void set(PyObject* name, Obj value) const;

    // import a.b.c  /  import a.b.c as name
    void import(const char* module, PyObject* as = nullptr) const;
    // from module import n1, n2, ...
    void import_from(const char* module, std::initializer_list<PyObject*> names) const;
    // from module import name as as_name
    void import_from_as(const char* module, PyObject* name, PyObject* as_name) const;
    // from module import *
    void import_star(const char* module) const;

    template <auto F>
    Ref function(const FunctionSpec& spec, Obj defaults = Obj()) const {
        return make_function(body_of<F>(), spec, defaults, dict_);
    }
    template <auto F>
    void def(const FunctionSpec& spec, Obj defaults = Obj()) const {
        set(intern(spec.name), function<F>(spec, defaults));
    }
};

// What a class statement does: metaclass of the bases, its __prepare__, a
// namespace filled with __module__, __qualname__, __doc__ and the methods,
// then metaclass(name, bases, namespace).
class ClassBuilder {
    const Module& module_;
    Ref name_, bases_, meta_, ns_;

  public:
    ClassBuilder(const Module& m, const char* name, std::initializer_list<Obj> bases, const char* doc);

    template <auto F>
    ClassBuilder& def(const FunctionSpec& spec, Obj defaults = Obj()) {
        ns_.setitem(Ref::steal(PyUnicode_FromString(spec.name)), module_.function<F>(spec, defaults));
        return *this;
    }
    Ref create();
};

// Module definition with multi-phase initialisation; BODY is a function
// `void body(const rt::Module&)` run in the exec slot.
int run_module_body(PyObject* module, void (*body)(const Module&));

#define RT_MODULE(NAME, DOC, BODY)                                                                \
    static int NAME##_exec(PyObject* m) { return ::rt::run_module_body(m, BODY); }                \
    static PyModuleDef_Slot NAME##_slots[] = {{Py_mod_exec, (void*)NAME##_exec}, {0, nullptr}}; \
    static PyModuleDef NAME##_def = {PyModuleDef_HEAD_INIT, #NAME, DOC, 0, nullptr,               \
                                     NAME##_slots, nullptr, nullptr, nullptr};                    \
    RT_MODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&NAME##_def); }

}  // namespace rt
