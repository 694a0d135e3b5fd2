// Globals and imports.
#include "module.hpp"

#include <cstring>
#include <string>

namespace rt {

// Globals ------------------------------------------------------------------------

PyObject* Env::find_quiet(Name& name) const {
    const uint64_t gv = compat::dict_version(globals_);
    if (gv && name.globals_ == globals_ && name.gversion_ == gv &&
        (!name.in_builtins_ || (name.builtins_ == builtins_ && name.bversion_ == compat::dict_version(builtins_))))
        return name.value_;
    name.globals_ = nullptr;
    bool in_builtins = false;
    PyObject* v = PyDict_GetItemWithError(globals_, name.str());
    if (!v && !PyErr_Occurred() && PyDict_CheckExact(builtins_)) {
        v = PyDict_GetItemWithError(builtins_, name.str());
        in_builtins = true;
    }
    if (!v) {
        PyErr_Clear();
        return nullptr;
    }
    if (gv) {
        name.globals_ = globals_;
        name.gversion_ = gv;
        name.in_builtins_ = in_builtins;
        name.builtins_ = builtins_;
        name.bversion_ = in_builtins ? compat::dict_version(builtins_) : 0;
        name.value_ = v;
    }
    return v;
}

Ref Env::operator[](PyObject* name) const {
    PyObject* v = PyDict_GetItemWithError(globals_, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) raise();
    if (PyDict_CheckExact(builtins_)) {
        v = PyDict_GetItemWithError(builtins_, name);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) raise();
    } else {
        v = PyObject_GetItem(builtins_, name);
        if (v) return Ref::steal(v);
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise();
        PyErr_Clear();
    }
    compat::name_error(name);
    throw Error();
}

PyObject* builtins_of(PyObject* globals) {
    PyObject* b = PyDict_GetItemWithError(globals, RT_ID("__builtins__"));
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
    Ref n = to_ref(name);
    return Ref::steal(PyImport_ImportModuleLevelObject(n.ptr(), globals.ptr(), nullptr, fromlist.ptr(), 0));
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
    if (PyUnicode_Check(pkg.ptr())) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", pkg.ptr(), name));
        PyObject* sub = PyImport_GetModule(full.ptr());
        if (sub) return Ref::steal(sub);
        if (PyErr_Occurred()) raise();
    }

    Ref shown = PyUnicode_Check(pkg.ptr()) ? pkg : to_ref("<unknown module name>");
    Obj modname = PyUnicode_Check(pkg.ptr()) ? pkg.ptr() : nullptr;
    PyObject* path = PyModule_Check(module.ptr()) ? PyModule_GetFilenameObject(module.ptr()) : nullptr;
    if (!path || !PyUnicode_Check(path)) {
        PyErr_Clear();
        Py_XDECREF(path);
        Ref msg = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name, shown.ptr()));
        compat::set_import_error(msg.ptr(), modname.ptr(), nullptr, name);
    } else {
        Ref p = Ref::steal(path);
        const char* fmt = is_initializing(module)
                              ? "cannot import name %R from partially initialized module %R "
                                "(most likely due to a circular import) (%S)"
                              : "cannot import name %R from %R (%S)";
        Ref msg = Ref::steal(PyUnicode_FromFormat(fmt, name, shown.ptr(), p.ptr()));
        compat::set_import_error(msg.ptr(), modname.ptr(), p.ptr(), name);
    }
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
        Ref part = Ref::steal(end ? PyUnicode_FromStringAndSize(p + 1, end - p - 1) : PyUnicode_FromString(p + 1));
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
        if (!PyUnicode_Check(n)) {
            Ref modname = m.attr(RT_ID("__name__"));
            if (!PyUnicode_Check(modname.ptr()))
                raise_format(PyExc_TypeError, "module __name__ must be a string, not %.100s",
                             Py_TYPE(modname.ptr())->tp_name);
            raise_format(PyExc_TypeError, "%s in %U.%s must be str, not %.100s", private_skipped ? "Key" : "Item",
                         modname.ptr(), private_skipped ? "__dict__" : "__all__", Py_TYPE(n)->tp_name);
        }
        if (private_skipped && PyUnicode_GET_LENGTH(n) > 0 && PyUnicode_READ_CHAR(n, 0) == '_') continue;
        set(n, m.attr(n));
    }
}

void Module::remember(std::initializer_list<Name*> names) const {
    for (Name* n : names) {
        PyObject* v = PyDict_GetItemWithError(dict_, n->str());
        if (!v && PyErr_Occurred()) raise();
        n->set_genuine(v);
    }
}

}  // namespace rt
