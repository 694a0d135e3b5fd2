// The native function type.
#include "function.hpp"
#include "guard.hpp"

#include <structmember.h>

#include <cstring>

namespace rt {

// The native function type ---------------------------------------------------------

namespace {

constexpr Py_ssize_t kMaxParams = 8;

PyObject* error_name(FunctionObject* f) { return compat::call_error_name(f->defined_name, f->qualname); }

Py_ssize_t find_param(FunctionObject* f, PyObject* key) {
    for (Py_ssize_t j = 0; j < f->nparams; ++j)
        if (PyTuple_GET_ITEM(f->params, j) == key) return j;
    for (Py_ssize_t j = 0; j < f->nparams; ++j) {
        int eq = PyObject_RichCompareBool(key, PyTuple_GET_ITEM(f->params, j), Py_EQ);
        if (eq < 0) return -2;
        if (eq) return j;
    }
    return -1;
}

// The keyword arguments of a call, as names with values: a tuple of names
// whose values follow the positional arguments (vectorcall), or a dict.
struct Keywords {
    PyObject* names = nullptr;         // tuple
    PyObject* const* values = nullptr;
    PyObject* dict = nullptr;

    Py_ssize_t size() const {
        return names ? PyTuple_GET_SIZE(names) : dict ? PyDict_Size(dict) : 0;
    }
    template <class F>
    bool each(F&& f) const {
        if (names) {
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(names); ++k)
                if (!f(PyTuple_GET_ITEM(names, k), values[k])) return false;
        } else if (dict) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(dict, &pos, &key, &value))
                if (!f(key, value)) return false;
        }
        return true;
    }
};

// Binds arguments the way the interpreter binds them for a def, in the same
// order of checks, so that the same wrong call gets the same error; then
// runs the body.
PyObject* bind_and_run(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, const Keywords& kw) {
    const Py_ssize_t argcount = f->nparams;
    const Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    PyObject* slots[kMaxParams] = {};

    if (compat::too_many_before_keywords(argcount, nargs, kw.size())) {
        compat::too_many_positional(error_name(f), argcount, defcount, nargs, kw.size());
        return nullptr;
    }
    const Py_ssize_t n = nargs < argcount ? nargs : argcount;
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = args[i];

    const bool bound = kw.each([&](PyObject* key, PyObject* value) {
        if (!compat::is_name(key)) {
            compat::keywords_must_be_strings(error_name(f));
            return false;
        }
        const Py_ssize_t j = find_param(f, key);
        if (j == -2) return false;
        if (j < 0) {
            compat::unexpected_keyword(error_name(f), f->params, key);
            return false;
        }
        if (slots[j]) {
            compat::multiple_values(error_name(f), key);
            return false;
        }
        slots[j] = value;
        return true;
    });
    if (!bound) return nullptr;

    if (nargs > argcount) {
        compat::too_many_positional(error_name(f), argcount, defcount, nargs, kw.size());
        return nullptr;
    }
    if (nargs < argcount) {
        const Py_ssize_t m = argcount - defcount;
        for (Py_ssize_t i = nargs; i < m; ++i) {
            if (!slots[i]) {
                compat::missing_arguments(error_name(f), f->params, slots, m, defcount);
                return nullptr;
            }
        }
        for (Py_ssize_t i = n > m ? n - m : 0; i < defcount; ++i)
            if (!slots[m + i]) slots[m + i] = PyTuple_GET_ITEM(f->defaults, i);
    }

    // Native bodies calling each other run no bytecode, between whose
    // instructions the interpreter would let other threads in and handle
    // signals: that is done here, about as often.
    static unsigned calls = 0;
    if (++calls % 1024 == 0) {
        try {
            Pace::yield();
        } catch (const Error&) {
            return nullptr;
        }
    }
    // Native bodies call each other through the interpreter: runaway
    // recursion meets the interpreter's limit, or the end of the C stack.
    if (!enter_recursion()) return nullptr;
    // The caller's references keep every argument alive for the call.
    PyObject* result = f->body(f, slots);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = compat::vectorcall_nargs(nargsf);
    Keywords kw;
    if (kwnames) {
        kw.names = kwnames;
        kw.values = args + nargs;
    }
    return bind_and_run(reinterpret_cast<FunctionObject*>(self), args, nargs, kw);
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Keywords kw;
    kw.dict = kwargs;
    return bind_and_run(reinterpret_cast<FunctionObject*>(self), &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                        kw);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* type) {
    return compat::bind_method(self, obj, type);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return compat::format("<function %S at %p>", compat::repr_name(f->name, f->qualname), self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->params);
    Py_VISIT(f->name);
    Py_VISIT(f->defined_name);
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
    Py_CLEAR(f->defined_name);
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
    if (!value || !compat::is_str(value)) {
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

PyObject* get_dict(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!f->dict && !(f->dict = PyDict_New())) return nullptr;
    Py_INCREF(f->dict);
    return f->dict;
}

int set_dict(PyObject* self, PyObject* value, void*) {
    if (!value || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__dict__ must be set to a dictionary");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->dict, value);
    return 0;
}

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
    {compat::cname("__name__"), get_name, set_name, nullptr, nullptr},
    {compat::cname("__qualname__"), get_qualname, set_qualname, nullptr, nullptr},
    {compat::cname("__defaults__"), get_defaults, set_defaults, nullptr, nullptr},
    {compat::cname("__kwdefaults__"), get_kwdefaults, nullptr, nullptr, nullptr},
    {compat::cname("__signature__"), get_signature, nullptr, nullptr, nullptr},
    {compat::cname("__dict__"), get_dict, set_dict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {compat::cname("__doc__"), T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {compat::cname("__module__"), T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {compat::cname("__globals__"), T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {compat::cname("__reduce__"), function_reduce, METH_NOARGS, nullptr},
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
    compat::set_call_slots(t, offsetof(FunctionObject, vectorcall), function_call);
    t.tp_repr = function_repr;
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
    Ref doc = spec.doc && docstrings_kept() ? to_ref(spec.doc) : none();
    PyObject* modname = compat::dict_get(globals.ptr(), RT_ID("__name__"));
    if (!modname && PyErr_Occurred()) raise();
    PyObject* builtins = builtins_of(globals.ptr());

    auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) raise();
    f->vectorcall = reinterpret_cast<compat::vectorcall_slot>(function_vectorcall);
    f->body = body;
    f->nparams = nparams;
    f->params = params.release();
    f->defined_name = name.ptr();
    Py_INCREF(f->defined_name);
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
