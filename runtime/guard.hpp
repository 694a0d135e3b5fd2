// Guards: proofs, made at the entry of a routine, that a native kernel would
// do nothing anyone could tell from the literal path -- the globals are the
// objects the module imported, the methods reached through self are the
// class's own, attributes are plain instance attributes. A kernel runs no
// Python code, so nothing can change between the guard and its end.
//
// Also here: the depth check of native recursion, which must end in
// RecursionError, never in a crash.
#pragma once

#include "function.hpp"

#include <cstdint>

namespace rt {

// Native recursion -----------------------------------------------------------

namespace detail {
extern thread_local uintptr_t stack_limit;
uintptr_t find_stack_limit();
}  // namespace detail

// True when the C stack is nearly used up (a margin is left for raising and
// unwinding).
inline bool stack_low() {
    uintptr_t limit = detail::stack_limit;
    if (!limit) limit = detail::find_stack_limit();
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < limit;
}

// Counts one level of native recursion as the interpreter counts a call, and
// checks the C stack too; false with RecursionError set when either is out.
bool enter_recursion();

// One level of native recursion for the lifetime of the object.
class RecursionLevel {
  public:
    RecursionLevel() {
        if (!enter_recursion()) throw Error();
    }
    ~RecursionLevel() { Py_LeaveRecursiveCall(); }
    RecursionLevel(const RecursionLevel&) = delete;
    RecursionLevel& operator=(const RecursionLevel&) = delete;
};

// Guards ---------------------------------------------------------------------------

// self.<name> is the native function `body` defined by the class (or a
// base), found by the generic look-up and not shadowed by the instance.
bool own_method(Obj self, PyObject* name, Body body);

template <auto F>
bool own_method(Obj self, PyObject* name) {
    return own_method(self, name, body_of<F>());
}

// self.<name> when the generic look-up finds it in the instance dictionary
// with no data descriptor of that name on the type: borrowed, or NULL when
// reading it could run code or is not that simple.
PyObject* plain_attr(Obj self, PyObject* name);

// An attribute path through modules, such as np.linalg.norm: genuine while
// the global and every module on the way are what the module imported, each
// a plain module whose dictionary holds the remembered object.
class ModulePath {
  public:
    ModulePath(Name& root, const char* a1, const char* a2 = nullptr) : root_(root), attrs_{a1, a2} {}
    ModulePath(const ModulePath&) = delete;
    ModulePath& operator=(const ModulePath&) = delete;

    // At import, after the root global is bound.
    void remember(const Env& g);
    bool genuine(const Env& g);

  private:
    struct Step {
        PyObject* str = nullptr;
        PyObject* value = nullptr;  // kept for the life of the process
        PyObject* dict = nullptr;   // cache: the dictionary and version last seen to hold value
        uint64_t version = 0;
    };
    Name& root_;
    const char* attrs_[2];
    Step steps_[2];
};

}  // namespace rt
