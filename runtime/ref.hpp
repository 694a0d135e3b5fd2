// Errors and references: the C++ side of Python's exceptions, borrowed and
// owned object handles, constants, and clean-up on the way out.
//
// Every failing interpreter call leaves a Python exception set and throws
// rt::Error; the function trampolines turn that back into NULL. Handles
// release what they own on the way out.
//
// Evaluation order: C++ leaves the order of function arguments open, Python
// evaluates operands left to right. So every operation here that takes more
// than one operand that may run Python code is either a member (the object
// left of the dot is evaluated first) or takes a braced list (evaluated in
// order); there is no free function of two such operands.
#pragma once

#include "compat.hpp"

#include <exception>
#include <initializer_list>
#include <new>
#include <utility>

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
class Const;
class Args;
class Method;

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
    // getattr(o, name, None), but empty instead of None.
    Ref maybe_attr(PyObject* name) const;
    // o.name = value. Python evaluates the value before the target, so the
    // target must be a named object, whose evaluation does nothing.
    void setattr(PyObject* name, Obj value) const&;
    Ref operator[](Obj key) const;
    Ref operator[](Py_ssize_t index) const;
    // o[key] = value, for keys that evaluate to nothing observable.
    void setitem(Py_ssize_t index, Obj value) const&;
    void setitem(Const key, Obj value) const&;
    Py_ssize_t len() const;
    bool truth() const;
    bool equals(Obj other) const;
    bool equals(const char* s) const;
    double to_double() const;
    Py_ssize_t to_index() const;

    // Python's operators; the left operand is evaluated before the right.
    Ref add(Obj b) const;
    Ref sub(Obj b) const;
    Ref mul(Obj b) const;
    Ref truediv(Obj b) const;   // `/` of a module with true division
    Ref classic_div(Obj b) const;  // `/` of a module with classic division
    Ref bit_or(Obj b) const;
    Ref neg() const;
    // a <op> b for Py_LT ... Py_GE, tested for truth, and as an object
    bool compare(Obj b, int op) const;
    Ref compare_to(Obj b, int op) const;

    // Calls: f(), f(x), f({x, y, kw(name, z)}).
    Ref operator()() const;
    Ref operator()(const Args& args) const;
    // self.name as the interpreter looks up a method to call: looked up now,
    // called later, with no bound method made when none is needed.
    Method method(PyObject* name) const;
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
    // Takes a new reference that may be NULL without an error.
    static Ref steal_or_null(PyObject* p) {
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

// An object made once and kept for the life of the process, like the
// constants of a compiled function: every use sees the same object, and
// evaluating it does nothing observable.
class Const : public Obj {
  public:
    explicit constexpr Const(PyObject* p) : Obj(p) {}
};

// A reference held by a cache that lives as long as the process (a static
// object): it lets go of what it held when given something else, but not
// when the process ends, after the interpreter is gone.
class Kept {
    PyObject* p_ = nullptr;

  public:
    Kept() = default;
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;
    Kept& operator=(Obj o) {
        PyObject* old = p_;
        Py_XINCREF(o.ptr());
        p_ = o.ptr();
        Py_XDECREF(old);
        return *this;
    }
    PyObject* ptr() const { return p_; }
    operator Obj() const { return Obj(p_); }
    explicit operator bool() const { return p_ != nullptr; }
};

inline Ref none() { return Ref::borrow(Py_None); }

// Conversions of C++ values into objects.
inline Ref to_ref(Obj o) { return Ref::borrow(o.ptr()); }
inline Ref to_ref(const Ref& r) { return r; }
inline Ref to_ref(Ref&& r) { return std::move(r); }
inline Ref to_ref(PyObject* p) { return Ref::borrow(p); }
inline Ref to_ref(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref to_ref(int v) { return Ref::steal(compat::int_from(v)); }
inline Ref to_ref(long v) { return Ref::steal(compat::int_from(v)); }
inline Ref to_ref(long long v) { return Ref::steal(compat::int_from(v)); }
inline Ref to_ref(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
inline Ref to_ref(const char* s) { return Ref::steal(compat::str(s)); }
inline Ref to_ref(std::nullptr_t) { return none(); }

#define RT_CONST(expr) \
    ([]() -> ::rt::Const { static PyObject* const c_ = ::rt::to_ref(expr).release(); return ::rt::Const(c_); }())
// A number literal as a constant: RT_NUM(0.25), RT_NUM(3).
#define RT_NUM(v) RT_CONST(v)

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

// False when the interpreter runs with -O (assert statements are skipped).
bool assertions_enabled();
// False when the interpreter runs with -OO (docstrings are left out).
bool docstrings_kept();

// assert lo <= v and v <= hi, with float bounds and Python's comparisons.
void assert_between(Obj v, double lo, double hi);

// a, b, ... = value: the targets in order, with the interpreter's errors.
void unpack(Obj value, std::initializer_list<Ref*> targets);

// for item in iterable: body(item)
template <class Body>
void for_each(Obj iterable, Body&& body) {
    Ref it = Ref::steal(PyObject_GetIter(iterable.ptr()));
    while (PyObject* item = PyIter_Next(it.ptr())) {
        Ref r = Ref::steal(item);
        body(Obj(r));
    }
    if (PyErr_Occurred()) raise();
}

}  // namespace rt
