// The native function type.
#include "function.hpp"
#include "guard.hpp"

#include <structmember.h>

#include <cstring>

namespace rt {

// The native function type ---------------------------------------------------------

namespace {

constexpr Py_ssize_t kMaxParams = 8;

PyObject* error_name(FunctionObject* f) { return compat::call_error_name(f->name, f->qualname); }

// Mirrors the interpreter's wording for a def with positional parameters only.
void too_many_positional(FunctionObject* f, Py_ssize_t given) {
    Py_ssize_t argcount = f->nparams;
    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    bool plural;
    PyObject* sig;
    if (defcount) {
        plural = true;
        sig = PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount);
    } else {
        plural = argcount != 1;
        sig = PyUnicode_FromFormat("%zd", argcount);
    }
    if (!sig) return;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", error_name(f), sig,
                 plural ? "s" : "", given, RT_ID(""), given == 1 ? "was" : "were");
    Py_DECREF(sig);
}

void missing_arguments(FunctionObject* f, Py_ssize_t missing, Py_ssize_t end, PyObject* const* slots) {
    Ref names = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < end; ++i) {
        if (!slots[i]) {
            Ref r = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(f->params, i)));
            if (PyList_Append(names.ptr(), r.ptr()) < 0) raise();
        }
    }
    Ref text;
    Py_ssize_t n = PyList_GET_SIZE(names.ptr());
    if (n == 1) {
        text = Ref::borrow(PyList_GET_ITEM(names.ptr(), 0));
    } else if (n == 2) {
        text = Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.ptr(), 0),
                                               PyList_GET_ITEM(names.ptr(), 1)));
    } else {
        Ref tail = Ref::steal(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.ptr(), n - 2),
                                                   PyList_GET_ITEM(names.ptr(), n - 1)));
        if (PyList_SetSlice(names.ptr(), n - 2, n, nullptr) < 0) raise();
        Ref head = Ref::steal(PyUnicode_Join(RT_ID(", "), names.ptr()));
        text = Ref::steal(PyUnicode_Concat(head.ptr(), tail.ptr()));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", error_name(f), (int)missing,
                 "positional", missing == 1 ? "" : "s", text.ptr());
}

Py_ssize_t find_param(FunctionObject* f, PyObject* key) {
    for (Py_ssize_t j = 0; j < f->nparams; ++j)
        if (PyTuple_GET_ITEM(f->params, j) == key) return j;
    for (Py_ssize_t j = 0; j < f->nparams; ++j) {
        int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->params, j), key, Py_EQ);
        if (eq < 0) return -2;
        if (eq) return j;
    }
    return -1;
}

// Binds arguments the way the interpreter binds them for a def, in the same
// order of checks, so that the same wrong call gets the same error.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t argcount = f->nparams;
    PyObject* slots[kMaxParams] = {};

    const Py_ssize_t n = nargs < argcount ? nargs : argcount;
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = args[i];

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", error_name(f));
                return nullptr;
            }
            Py_ssize_t j = find_param(f, key);
            if (j == -2) return nullptr;
            if (j < 0) {
                if (PyObject* suggestion = compat::keyword_suggestion(f->params, key)) {
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                                 error_name(f), key, suggestion);
                    Py_DECREF(suggestion);
                } else {
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", error_name(f), key);
                }
                return nullptr;
            }
            if (slots[j]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", error_name(f), key);
                return nullptr;
            }
            slots[j] = args[nargs + k];
        }
    }

    if (nargs > argcount) {
        too_many_positional(f, nargs);
        return nullptr;
    }

    if (nargs < argcount) {
        const Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        const Py_ssize_t m = argcount - defcount;
        Py_ssize_t missing = 0;
        for (Py_ssize_t i = nargs; i < m; ++i)
            if (!slots[i]) ++missing;
        if (missing) {
            try {
                missing_arguments(f, missing, m, slots);
            } catch (const Error&) {
            }
            return nullptr;
        }
        for (Py_ssize_t i = n > m ? n - m : 0; i < defcount; ++i)
            if (!slots[m + i]) slots[m + i] = PyTuple_GET_ITEM(f->defaults, i);
    }

    // Native bodies call each other through the interpreter: runaway
    // recursion meets the interpreter's limit, or the end of the C stack.
    if (!enter_recursion()) return nullptr;
    // The caller's references keep every argument alive for the call.
    PyObject* result = f->body(f, slots);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->params);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->defaults);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->params);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* get_name(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<FunctionObject*>(self)->name;
    Py_INCREF(v);
    return v;
}

int set_string(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_string(&reinterpret_cast<FunctionObject*>(self)->name, value, "__name__");
}

PyObject* get_qualname(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<FunctionObject*>(self)->qualname;
    Py_INCREF(v);
    return v;
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_string(&reinterpret_cast<FunctionObject*>(self)->qualname, value, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<FunctionObject*>(self)->defaults;
    if (!v) v = Py_None;
    Py_INCREF(v);
    return v;
}

int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->defaults, value);
    return 0;
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// inspect.signature() reads this, so introspection matches a def.
PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    try {
        Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
        Ref parameter = inspect.attr(RT_ID("Parameter"));
        Ref kind = parameter.attr(RT_ID("POSITIONAL_OR_KEYWORD"));
        Ref params = Ref::steal(PyList_New(0));
        Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        for (Py_ssize_t i = 0; i < f->nparams; ++i) {
            Obj name = PyTuple_GET_ITEM(f->params, i);
            Py_ssize_t d = i - (f->nparams - defcount);
            Ref p = d >= 0 ? parameter({name, kind, kw(RT_ID("default"), Obj(PyTuple_GET_ITEM(f->defaults, d)))})
                           : parameter({name, kind});
            if (PyList_Append(params.ptr(), p.ptr()) < 0) raise();
        }
        return inspect.attr(RT_ID("Signature"))(params).release();
    } catch (const Error&) {
        return nullptr;
    }
}

// Pickled by reference, like a def.
PyObject* function_reduce(PyObject* self, PyObject*) {
    PyObject* q = reinterpret_cast<FunctionObject*>(self)->qualname;
    Py_INCREF(q);
    return q;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject FunctionType = [] {
    PyTypeObject t;
    std::memset(&t, 0, sizeof t);
    compat::init_static_type_head(&t);
    t.tp_name = "native_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | RT_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

Ref make_function(Body body, const FunctionSpec& spec, Obj defaults, Obj globals) {
    Py_ssize_t nparams = static_cast<Py_ssize_t>(spec.params.size());
    if (nparams > kMaxParams) raise(PyExc_SystemError, "native function with too many parameters");
    if (defaults && !PyTuple_Check(defaults.ptr())) raise(PyExc_SystemError, "defaults must be a tuple");

    Ref params = Ref::steal(PyTuple_New(nparams));
    Py_ssize_t i = 0;
    for (const char* p : spec.params) {
        PyObject* s = intern(p);
        Py_INCREF(s);
        PyTuple_SET_ITEM(params.ptr(), i++, s);
    }
    Ref name = Ref::borrow(intern(spec.name));
    Ref qualname = Ref::borrow(intern(spec.qualname));
    Ref doc = spec.doc ? to_ref(spec.doc) : none();
    PyObject* modname = PyDict_GetItemWithError(globals.ptr(), RT_ID("__name__"));
    if (!modname && PyErr_Occurred()) raise();
    PyObject* builtins = builtins_of(globals.ptr());

    auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) raise();
    f->vectorcall = function_vectorcall;
    f->body = body;
    f->nparams = nparams;
    f->params = params.release();
    f->name = name.release();
    f->qualname = qualname.release();
    f->doc = doc.release();
    f->module = modname;
    Py_XINCREF(modname);
    f->defaults = defaults.ptr();
    Py_XINCREF(f->defaults);
    f->globals = globals.ptr();
    Py_INCREF(f->globals);
    f->builtins = builtins;
    Py_INCREF(builtins);
    f->dict = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace rt
