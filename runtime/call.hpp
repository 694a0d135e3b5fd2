// Calls and containers, with operands evaluated in source order.
//
// An argument list is a braced list, f({a, b, kw(name, c)}): C++ evaluates
// the items of a braced list left to right whatever the compiler, so a call
// evaluates its arguments as Python does. A call with one argument may drop
// the braces. There is no call taking several loose arguments.
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <type_traits>

namespace rt {

// A keyword argument of a call: f({x, kw(RT_ID("scale"), y)}).
struct Kw {
    PyObject* name;
    Ref value;
};
template <class T>
Kw kw(PyObject* name, T&& value) {
    return Kw{name, to_ref(std::forward<T>(value))};
}

namespace detail {
template <class T>
constexpr bool is_kw = std::is_same<std::decay_t<T>, Kw>::value;

template <class... A>
constexpr bool keywords_last() {
    bool seen = false, ok = true;
    ((ok = ok && (!seen || is_kw<A>), seen = seen || is_kw<A>), ...);
    return ok;
}
}  // namespace detail

class Args {
  public:
    static constexpr size_t kMax = 16;

    Args() noexcept {}
    template <class... A,
              class = std::enable_if_t<!(sizeof...(A) == 1 && (std::is_same<std::decay_t<A>, Args>::value && ...))>>
    Args(A&&... items) {
        static_assert(sizeof...(A) <= kMax, "too many arguments");
        static_assert(detail::keywords_last<A...>(), "keyword arguments come after the positional ones");
        try {
            (push(std::forward<A>(items)), ...);
        } catch (...) {
            clear();
            throw;
        }
    }
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;
    ~Args() { clear(); }

    size_t npos() const { return npos_; }
    size_t nkw() const { return nkw_; }
    size_t size() const { return npos_ + nkw_; }
    PyObject* operator[](size_t i) const { return items_[1 + i]; }
    // items_[0] is free: the callee may use it (PY_VECTORCALL_ARGUMENTS_OFFSET)
    // and a method call puts self there.
    PyObject** slots() const { return items_; }
    // The keyword names as a tuple, or empty.
    Ref kwnames() const;

  private:
    mutable PyObject* items_[1 + kMax];
    PyObject* names_[kMax];
    uint8_t npos_ = 0, nkw_ = 0;

    void clear() {
        for (size_t i = 1; i <= size(); ++i) Py_DECREF(items_[i]);
        npos_ = nkw_ = 0;
    }
    void append(Ref r) { items_[1 + size()] = r.release(); }
    template <class T>
    void push(T&& v) {
        if constexpr (detail::is_kw<T>) {
            append(std::move(v.value));
            names_[nkw_++] = v.name;
        } else {
            append(to_ref(std::forward<T>(v)));
            ++npos_;
        }
    }
};

// The result of Obj::method(): a function and, when it was found on the type
// as a plain function, the object to pass as its first argument.
class Method {
    Ref func_;
    PyObject* self_ = nullptr;  // borrowed: the caller holds the object

  public:
    Method(Ref func, PyObject* self) : func_(std::move(func)), self_(self) {}
    Ref operator()() const;
    Ref operator()(const Args& args) const;
};

// New containers; the items in order.
Ref tuple(const Args& items);
Ref list(const Args& items);
inline Ref tuple() { return Ref::steal(PyTuple_New(0)); }
inline Ref list() { return Ref::steal(PyList_New(0)); }
inline Ref dict() { return Ref::steal(PyDict_New()); }
// {key: value, ...}, keys inserted in the order given
Ref dict(std::initializer_list<std::pair<const char*, Ref>> items);

}  // namespace rt
