// Guards: proofs, made at the entry of a routine, that a native kernel would
// do nothing anyone could tell from the literal path -- the objects a kernel
// stands in for are the libraries' own (checked on the objects themselves,
// not by identity with what was imported), the methods reached through self
// are the class's own, attributes are plain instance attributes, numbers
// are of exact built-in types.
//
// A guard runs no Python code: every read here answers "unknown" (and the
// guard fails) where reading could run some -- a dictionary with a key that
// is not an exact str (its __eq__ would be called), a type with its own
// attribute access. A kernel owns every object it reads before it checks
// anything. Long kernels stop at yield points (Pace) where signal handlers
// and other threads may run Python code; there they check their guard again
// and, if it no longer holds, finish on the literal path from that point.
//
// Also here: the depth check of native recursion, which must end in
// RecursionError, never in a crash.
#pragma once

#include "function.hpp"

#include <cstdint>
#include <string>

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

// Yield points ---------------------------------------------------------------------

// The pace of a long native loop: every so much work it lets other threads
// take the interpreter and handles pending signals, as the interpreter does
// between bytecodes. tick() is true at such a point: Python code may have
// run, so the loop checks its guard again. What a signal handler raises
// (KeyboardInterrupt) leaves as rt::Error, through the loop's clean-up.
class Pace {
    unsigned left_;

  public:
    // About 20-100 microseconds of drawing or arithmetic.
    static constexpr unsigned kBatch = 4096;
    Pace() : left_(kBatch) {}
    bool tick(unsigned work = 1) {
        if (left_ > work) {
            left_ -= work;
            return false;
        }
        left_ = kBatch;
        yield();
        return true;
    }
    static void yield();
    // Pending signals handled, without giving up the interpreter.
    static void signals() {
        if (PyErr_CheckSignals() < 0) throw Error();
    }
};

// Guards -----------------------------------------------------------------------------

// type.<name> as generic attribute look-up finds it in the type's MRO: true
// with `out` owned (empty when no class defines it); false when unknown.
bool peek_type_attr(PyTypeObject* type, PyObject* name, Ref& out);

// self.<name> is the native function `body` defined by the class (or a
// base), found by the generic look-up and not shadowed by the instance.
bool own_method(Obj self, PyObject* name, Body body);

template <auto F>
bool own_method(Obj self, PyObject* name) {
    return own_method(self, name, body_of<F>());
}

// self.<name> when the generic look-up finds it in the instance dictionary
// with nothing of that name on the type: owned, or empty when reading it
// could run code or is not that simple.
Ref plain_attr(Obj self, PyObject* name);

// The same for several attributes of one object, its dictionary read once.
class PlainAttrs {
    Obj self_;
    Ref dict_;
    bool ok_ = false;

  public:
    explicit PlainAttrs(Obj self);
    Ref get(PyObject* name) const;
    // The instance has no attribute of its own of that name.
    bool lacks(PyObject* name) const;
};

// Libraries' own objects -------------------------------------------------------------

// The directory a Python package's files live in, to tell the functions its
// own source defines.
class Package {
    std::string dir_;  // with a trailing slash; empty when not known

  public:
    // From the file of one of its modules, `depth` directories below the top.
    void locate(Obj module_file, int depth);
    bool known() const { return !dir_.empty(); }
    // o is a Python function named `name` (any name for nullptr) whose code
    // comes from this package.
    bool defines(PyObject* o, const char* name) const;
};

// The plain attributes `names` of an object, remembered with what they were
// read from (the instance dictionary and the dictionaries of its class's
// MRO) until one of those changes: what the interpreter's attribute caches
// do for the same reads.
class AttrCache {
    PyTypeObject* type_ = nullptr;
    PyObject* mro_ = nullptr;
    PyObject* dict_ = nullptr;  // not held
    compat::Stamp stamp_;       // of dict_
    compat::Seen seen_;         // the class's dictionaries
    PyObject* values_[4] = {};  // held by dict_ while it is unchanged

  public:
    // self.<names[i]> into out[i], all plain attributes (n <= 4); false
    // when one is not.
    bool read(Obj self, PyObject* const* names, int n, Ref* out);
};

// What was read from an object's own dictionary and its class's, kept while
// neither changes: true while `o` is the object last taken, of the same
// class, with both unchanged. (Not where changes are seen through watchers,
// which are not told of every change of an object's dictionary.)
class ObjectFacts {
    PyObject* object_ = nullptr;
    PyTypeObject* type_ = nullptr;
    PyObject* mro_ = nullptr;
    PyObject* dict_ = nullptr;  // none of these held: compared with live ones
    compat::Stamp stamp_;
    compat::Seen seen_;

  public:
    bool unchanged(Obj o) const;
    void take(Obj o);
    void forget() { object_ = nullptr; }
};

// The builtin function `function` of the C module `module`.
inline bool c_function(Obj o, const char* module, const char* function) {
    return o && compat::is_c_function(o.ptr(), module, function);
}

// The same, remembered: a builtin function never changes.
class CFunction {
    const char* module_;
    const char* function_;
    Kept known_;

  public:
    CFunction(const char* module, const char* function) : module_(module), function_(function) {}
    bool is(Obj o) {
        if (!o) return false;
        if (o.ptr() == known_.ptr()) return true;
        if (!compat::is_c_function(o.ptr(), module_, function_)) return false;
        known_ = o;
        return true;
    }
};

}  // namespace rt
