// Globals and imports: every global a function uses is looked up in the
// module dictionary, then in the builtins, at the moment of use.
#pragma once

#include "call.hpp"

#include <cstdint>
#include <vector>

namespace rt {

// A global name of a module, with what the interpreter's own inline caches
// keep: the last look-up and the versions of the dictionaries it read.
// While neither dictionary has changed the look-up would give the same
// object, so it is not repeated. It also remembers the object the module
// bound to the name at import (see remember()), so that guards can tell
// whether the global is still the genuine one.
class Name {
  public:
    explicit Name(const char* text) : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* str() {
        if (!str_) str_ = intern(text_);
        return str_;
    }
    const char* text() const { return text_; }
    // The object remembered at import, or NULL.
    PyObject* genuine() const { return genuine_; }
    void set_genuine(PyObject* o) {
        Py_XINCREF(o);
        Py_XSETREF(genuine_, o);
    }

  private:
    friend class Env;
    const char* text_;
    PyObject* str_ = nullptr;
    PyObject* genuine_ = nullptr;  // kept for the life of the process
    // cache
    PyObject* globals_ = nullptr;
    PyObject* builtins_ = nullptr;
    uint64_t gversion_ = 0, bversion_ = 0;
    PyObject* value_ = nullptr;  // borrowed from the dictionary that holds it
    bool in_builtins_ = false;
};

// Where a function body finds its globals: the module dictionary, then the
// builtins, at the moment of use.
class Env {
    PyObject* globals_;
    PyObject* builtins_;
    bool in_function_;  // a function's globals, not the module body's (2 words NameError apart)

  public:
    Env(PyObject* globals, PyObject* builtins, bool in_function = true)
        : globals_(globals), builtins_(builtins), in_function_(in_function) {}
    Ref operator[](Name& name) const {
        if (PyObject* v = find_quiet(name)) return Ref::borrow(v);
        return (*this)[name.str()];  // with the interpreter's errors
    }
    Ref operator[](PyObject* name) const;
    Obj globals() const { return globals_; }
    // The global still holds the object the module imported under that name.
    bool genuine(Name& name) const {
        PyObject* g = name.genuine();
        return g && find_quiet(name) == g;
    }

  private:
    // borrowed; NULL when missing or on error (cleared)
    PyObject* find_quiet(Name& name) const {
        const uint64_t gv = compat::dict_version(globals_);
        if (gv && name.globals_ == globals_ && name.gversion_ == gv && !name.in_builtins_) return name.value_;
        return find_slow(name);
    }
    PyObject* find_slow(Name& name) const;
};

// The builtins a module's functions see.
PyObject* builtins_of(PyObject* globals);

// `from module import n1, n2`: the values, in order, with the interpreter's
// ImportError for a missing name.
std::vector<Ref> from_import(Obj globals, const char* module, std::initializer_list<PyObject*> names);

}  // namespace rt
