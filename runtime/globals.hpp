// Globals and imports: every global a function uses is looked up in the
// module dictionary, then in the builtins, at the moment of use.
#pragma once

#include "call.hpp"

#include <cstdint>
#include <vector>

namespace rt {

// A global name of a module, with what the interpreter's own inline caches
// keep: the last look-up and what it read. While none of the dictionaries
// it read has changed, the look-up would give the same object, so it is not
// repeated.
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

  private:
    friend class Env;
    const char* text_;
    PyObject* str_ = nullptr;
    // cache
    PyObject* globals_ = nullptr;
    PyObject* builtins_ = nullptr;
    compat::Seen seen_;          // for the live globals_ and builtins_ given again
    PyObject* value_ = nullptr;  // borrowed from the dictionary that holds it, while seen_ is current
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
        if (name.globals_ == globals_ && name.builtins_ == builtins_ && name.seen_.current())
            return Ref::borrow(name.value_);
        return find(name);  // with the interpreter's errors
    }
    Ref operator[](PyObject* name) const;
    Obj globals() const { return globals_; }
    Obj builtins() const { return builtins_; }

    // The global as a guard may read it: owned, or empty when missing or
    // when reading it could run Python code (a key of a dictionary that is
    // not an exact str).
    Ref peek(Name& name) const;

  private:
    Ref find(Name& name) const;
};

// d[key] read so that no Python code can run: true with `out` owned (empty
// when missing) when d is an exact dict of exact str keys; false, unknown,
// for anything else.
bool peek_item(PyObject* d, PyObject* key, Ref& out);

// The builtins a module's functions see.
PyObject* builtins_of(PyObject* globals);

// `from module import n1, n2`: the values, in order, with the interpreter's
// ImportError for a missing name.
std::vector<Ref> from_import(Obj globals, const char* module, std::initializer_list<PyObject*> names);

}  // namespace rt
