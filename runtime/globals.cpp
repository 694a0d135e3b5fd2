// Globals and imports.
#include "module.hpp"

#include <cstring>
#include <string>

namespace rt {

// Globals ------------------------------------------------------------------------

Ref Env::find(Name& name) const {
    PyObject* key = name.str();
    // The versions are taken before the look-up: one that runs code (a
    // key's __eq__) and changes the dictionary leaves nothing current.
    compat::Seen seen;
    seen.begin();
    seen.add(globals_);
    PyObject* v = compat::dict_get(globals_, key);
    if (!v && !PyErr_Occurred() && PyDict_CheckExact(builtins_)) {
        seen.add(builtins_);
        v = compat::dict_get(builtins_, key);
    }
    if (v) {
        Ref r = Ref::borrow(v);
        name.globals_ = globals_;
        name.builtins_ = builtins_;
        name.seen_ = seen;
        name.value_ = v;
        return r;
    }
    if (PyErr_Occurred()) raise();
    return (*this)[key];  // a builtins mapping that is not a dict, or the NameError
}

Ref Env::peek(Name& name) const {
    if (name.globals_ == globals_ && name.builtins_ == builtins_ && name.seen_.current())
        return Ref::borrow(name.value_);
    compat::Seen seen;
    seen.begin();
    seen.add(globals_);
    Ref out;
    if (!peek_item(globals_, name.str(), out)) return Ref();
    if (!out) {
        seen.add(builtins_);
        if (!peek_item(builtins_, name.str(), out)) return Ref();
    }
    if (out) {
        name.globals_ = globals_;
        name.builtins_ = builtins_;
        name.seen_ = seen;
        name.value_ = out.ptr();
    }
    return out;
}

Ref Env::operator[](PyObject* name) const {
    PyObject* v = compat::dict_get(globals_, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) raise();
    if (PyDict_CheckExact(builtins_)) {
        v = compat::dict_get(builtins_, name);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) raise();
    } else {
        v = PyObject_GetItem(builtins_, name);
        if (v) return Ref::steal(v);
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise();
        PyErr_Clear();
    }
    compat::name_error(name, in_function_);
    throw Error();
}

PyObject* builtins_of(PyObject* globals) {
    PyObject* b = compat::dict_get(globals, RT_ID("__builtins__"));
    if (!b && PyErr_Occurred()) raise();
    if (b && PyModule_Check(b)) b = PyModule_GetDict(b);
    if (!b) b = PyEval_GetBuiltins();
    if (!b) raise();
    return b;
}

// Imports ------------------------------------------------------------------------

Module::Module(PyObject* m) : module_(m), dict_(PyModule_GetDict(m)), builtins_(nullptr) {
    if (!dict_) raise();
    builtins_ = builtins_of(dict_);
}

void Module::set(PyObject* name, Obj value) const {
    if (PyDict_SetItem(dict_, name, value.ptr()) < 0) raise();
}

namespace {

Ref import_module(const char* name, Obj globals, Obj fromlist) {
    return Ref::steal(compat::import_module(name, globals.ptr(), fromlist.ptr()));
}

bool is_initializing(Obj module) {
    PyObject* spec = PyObject_GetAttr(module.ptr(), RT_ID("__spec__"));
    if (!spec) {
        PyErr_Clear();
        return false;
    }
    Ref s = Ref::steal(spec);
    PyObject* flag = PyObject_GetAttr(spec, RT_ID("_initializing"));
    if (!flag) {
        PyErr_Clear();
        return false;
    }
    Ref f = Ref::steal(flag);
    int r = PyObject_IsTrue(flag);
    if (r < 0) PyErr_Clear();
    return r > 0;
}

// `from module import name`, falling back to a submodule in sys.modules and
// failing with the interpreter's ImportError.
Ref import_name(Obj module, PyObject* name) {
    PyObject* v = PyObject_GetAttr(module.ptr(), name);
    if (v) return Ref::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();

    PyObject* pkgname = PyObject_GetAttr(module.ptr(), RT_ID("__name__"));
    if (!pkgname) PyErr_Clear();
    Ref pkg = pkgname ? Ref::steal(pkgname) : none();
    const bool named = compat::is_name(pkg.ptr());
    if (named && compat::kFromImportTriesSysModules) {
        Ref full = Ref::steal(compat::format("%S.%S", pkg.ptr(), name));
        if (PyObject* sub = compat::imported_module(full.ptr())) return Ref::steal(sub);
    }
    Ref path = PyModule_Check(module.ptr()) ? Ref::steal_or_null(compat::module_file(module.ptr())) : Ref();
    compat::cannot_import_name(name, named ? pkg.ptr() : nullptr, path.ptr(), is_initializing(module));
    throw Error();
}

}  // namespace

void Module::import(const char* module, PyObject* as) const {
    Ref top = import_module(module, dict_, Obj());
    if (!as) {
        // `import a.b` binds the top-level package `a`
        const char* dot = std::strchr(module, '.');
        set(intern(dot ? std::string(module, dot - module).c_str() : module), top);
        return;
    }
    // `import a.b as c` binds the submodule
    Ref m = top;
    for (const char* p = std::strchr(module, '.'); p; p = std::strchr(p + 1, '.')) {
        const char* end = std::strchr(p + 1, '.');
        Ref part = Ref::steal(end ? compat::str(p + 1, end - p - 1) : compat::str(p + 1));
        m = import_name(m, part.ptr());
    }
    set(as, m);
}

std::vector<Ref> from_import(Obj globals, const char* module, std::initializer_list<PyObject*> names) {
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (PyObject* n : names) {
        Py_INCREF(n);
        PyTuple_SET_ITEM(fromlist.ptr(), i++, n);
    }
    Ref m = import_module(module, globals, fromlist);
    std::vector<Ref> values;
    values.reserve(names.size());
    for (PyObject* n : names) values.push_back(import_name(m, n));
    return values;
}

void Module::import_from(const char* module, std::initializer_list<PyObject*> names) const {
    std::vector<Ref> values = from_import(dict_, module, names);
    size_t i = 0;
    for (PyObject* n : names) set(n, values[i++]);
}

void Module::import_from_as(const char* module, PyObject* name, PyObject* as_name) const {
    set(as_name, from_import(dict_, module, {name})[0]);
}

void Module::import_star(const char* module) const {
    Ref star = tuple(RT_CONST("*"));
    Ref m = import_module(module, dict_, star);

    bool private_skipped = false;
    Ref all;
    PyObject* a = PyObject_GetAttr(m.ptr(), RT_ID("__all__"));
    if (a) {
        all = Ref::steal(a);
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        PyObject* d = PyObject_GetAttr(m.ptr(), RT_ID("__dict__"));
        if (!d) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
            PyErr_Clear();
            raise(PyExc_ImportError, "from-import-* object has no __dict__ and no __all__");
        }
        Ref dict = Ref::steal(d);
        all = Ref::steal(PyMapping_Keys(d));
        private_skipped = true;
    }

    for (Py_ssize_t pos = 0;; ++pos) {
        PyObject* n = PySequence_GetItem(all.ptr(), pos);
        if (!n) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) raise();
            PyErr_Clear();
            break;
        }
        Ref name = Ref::steal(n);
        if (compat::star_import_checks_names() && !PyUnicode_Check(n)) {
            Ref modname = m.attr(RT_ID("__name__"));
            if (!PyUnicode_Check(modname.ptr()))
                raise_format(PyExc_TypeError, "module __name__ must be a string, not %.100s",
                             Py_TYPE(modname.ptr())->tp_name);
            raise_format(PyExc_TypeError, "%s in %S.%s must be str, not %.100s", private_skipped ? "Key" : "Item",
                         modname.ptr(), private_skipped ? "__dict__" : "__all__", Py_TYPE(n)->tp_name);
        }
        if (private_skipped && compat::starts_with_underscore(n)) continue;
        set(n, m.attr(n));
    }
}

}  // namespace rt
