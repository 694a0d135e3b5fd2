// Module bodies and class statements.
#pragma once

#include "function.hpp"

namespace rt {

class Module {
    PyObject* module_;
    PyObject* dict_;
    PyObject* builtins_;

  public:
    explicit Module(PyObject* m);

    Env env() const { return Env(dict_, builtins_, false); }
    Ref operator[](Name& name) const { return env()[name]; }
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
    ClassBuilder(const Module& m, const char* name, Obj base, const char* doc);

    template <auto F>
    ClassBuilder& def(const FunctionSpec& spec, Obj defaults = Obj()) {
        Ref name = Ref::steal(compat::str(spec.name));
        Ref f = module_.function<F>(spec, defaults);
        if (PyObject_SetItem(ns_.ptr(), name.ptr(), f.ptr()) < 0) raise();
        return *this;
    }
    Ref create();
};

// Module definition; BODY is a function `void body(const rt::Module&)`, run
// in the exec slot of multi-phase initialisation on 3, by initNAME on 2.
int run_module_body(PyObject* module, void (*body)(const Module&));

#define RT_MODULE(NAME, DOC, BODY) RT_COMPAT_MODULE(NAME, DOC, BODY)

}  // namespace rt
