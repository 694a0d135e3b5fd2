#include "rt.hpp"

#include <structmember.h>

#include <cstdarg>
#include <cstring>
#include <string>

namespace rt {

// Errors ---------------------------------------------------------------------

void raise() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw Error();
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw Error();
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw Error();
}

void raise_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    throw Error();
}

PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) raise();
    return o;  // kept for the life of the process, like the interpreter's own identifiers
}

// Objects ----------------------------------------------------------------------

Ref Obj::attr(PyObject* name) const { return Ref::steal(PyObject_GetAttr(p_, name)); }

bool Obj::hasattr(PyObject* name) const { return bool(maybe_attr(name)); }

Ref Obj::maybe_attr(PyObject* name) const {
    PyObject* v = PyObject_GetAttr(p_, name);
    if (v) return Ref::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    return Ref();
}

void Obj::setattr(PyObject* name, Obj value) const {
    if (PyObject_SetAttr(p_, name, value.ptr()) < 0) raise();
}

Ref Obj::operator[](Obj key) const { return Ref::steal(PyObject_GetItem(p_, key.ptr())); }

Ref Obj::operator[](Py_ssize_t index) const {
    // Same result as indexing with an int object, without making one.
    if (PyList_CheckExact(p_) || PyTuple_CheckExact(p_)) {
        const Py_ssize_t n = Py_SIZE(p_);
        const Py_ssize_t i = index < 0 ? index + n : index;
        if (0 <= i && i < n)
            return Ref::borrow(PyList_CheckExact(p_) ? PyList_GET_ITEM(p_, i) : PyTuple_GET_ITEM(p_, i));
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return Ref::steal(PyObject_GetItem(p_, key.ptr()));
}

void Obj::setitem(Obj key, Obj value) const {
    if (PyObject_SetItem(p_, key.ptr(), value.ptr()) < 0) raise();
}

void Obj::setitem(Py_ssize_t index, Obj value) const {
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    setitem(key, value);
}

Py_ssize_t Obj::len() const {
    Py_ssize_t n = PyObject_Size(p_);
    if (n < 0) raise();
    return n;
}

bool Obj::truth() const {
    int r = PyObject_IsTrue(p_);
    if (r < 0) raise();
    return r != 0;
}

bool Obj::equals(Obj other) const {
    int r = PyObject_RichCompareBool(p_, other.ptr(), Py_EQ);
    if (r < 0) raise();
    return r != 0;
}

bool Obj::equals(const char* s) const { return equals(to_ref(s)); }

double Obj::to_double() const {
    double d = PyFloat_AsDouble(p_);
    if (d == -1.0 && PyErr_Occurred()) raise();
    return d;
}

Py_ssize_t Obj::to_index() const {
    Ref i = Ref::steal(PyNumber_Index(p_));
    Py_ssize_t n = PyLong_AsSsize_t(i.ptr());
    if (n == -1 && PyErr_Occurred()) raise();
    return n;
}

void unpack(Obj value, std::initializer_list<Ref*> targets) {
    const int expected = static_cast<int>(targets.size());
    PyTypeObject* type = Py_TYPE(value.ptr());
    if (!type->tp_iter && !PySequence_Check(value.ptr()))
        raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
    Ref it = Ref::steal(PyObject_GetIter(value.ptr()));
    int got = 0;
    for (Ref* target : targets) {
        PyObject* item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred()) raise();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", expected, got);
        }
        *target = Ref::steal(item);
        ++got;
    }
    PyObject* extra = PyIter_Next(it.ptr());
    if (extra) {
        Py_DECREF(extra);
        compat::too_many_values_to_unpack(value.ptr(), expected);
        throw Error();
    }
    if (PyErr_Occurred()) raise();
}

Ref dict(std::initializer_list<std::pair<const char*, Ref>> items) {
    Ref d = dict();
    for (const auto& item : items) d.setitem(to_ref(item.first), item.second);
    return d;
}

Ref call(Obj callable, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    return Ref::steal(RT_VECTORCALL(callable.ptr(), args, nargs, kwnames));
}

// Globals ------------------------------------------------------------------------

Env::Env(FunctionObject* f) : globals_(f->globals), builtins_(f->builtins) {}

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
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    compat::annotate_name_error(name);
    throw Error();
}

static PyObject* builtins_for(PyObject* globals) {
    PyObject* b = PyDict_GetItemWithError(globals, RT_ID("__builtins__"));
    if (!b && PyErr_Occurred()) raise();
    if (b && PyModule_Check(b)) b = PyModule_GetDict(b);
    if (!b) b = PyEval_GetBuiltins();
    if (!b) raise();
    return b;
}

// Interpreter state ------------------------------------------------------------------

bool assertions_enabled() {
    static int enabled = -1;
    if (enabled < 0) {
        // sys.flags is fixed at start-up, so read it once.
        PyObject* flags = PySys_GetObject("flags");  // borrowed
        if (!flags) raise(PyExc_RuntimeError, "lost sys.flags");
        Ref level = Obj(flags).attr(RT_ID("optimize"));
        enabled = level.truth() ? 0 : 1;
    }
    return enabled == 1;
}

static bool compare(Obj a, Obj b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) raise();
    return r != 0;
}

void assert_between(Obj v, double lo, double hi) {
    if (PyFloat_Check(v.ptr())) {
        double d = PyFloat_AS_DOUBLE(v.ptr());
        if (!(lo <= d) || !(d <= hi)) raise_assertion();
        return;
    }
    if (!compare(to_ref(lo), v, Py_LE) || !compare(v, to_ref(hi), Py_LE)) raise_assertion();
}

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

    // Native bodies call each other through the interpreter, so runaway
    // recursion must hit the interpreter's limit, not the C stack.
    if (Py_EnterRecursiveCall(" while calling a native function")) return nullptr;
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
            Ref p = d >= 0 ? parameter(name, kind, kw(RT_ID("default"), Obj(PyTuple_GET_ITEM(f->defaults, d))))
                           : parameter(name, kind);
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
    PyObject* builtins = builtins_for(globals.ptr());

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

bool is_bound_native(Obj callable, Obj self, Body body) {
    if (!PyMethod_Check(callable.ptr()) || PyMethod_GET_SELF(callable.ptr()) != self.ptr()) return false;
    PyObject* f = PyMethod_GET_FUNCTION(callable.ptr());
    return Py_TYPE(f) == &FunctionType && reinterpret_cast<FunctionObject*>(f)->body == body;
}

// Modules ------------------------------------------------------------------------------

Module::Module(PyObject* m) : module_(m), dict_(PyModule_GetDict(m)), builtins_(nullptr) {
    if (!dict_) raise();
    builtins_ = builtins_for(dict_);
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
    Ref star = tuple("*");
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

// Classes ----------------------------------------------------------------------------------

ClassBuilder::ClassBuilder(const Module& m, const char* name, std::initializer_list<Obj> bases, const char* doc)
    : module_(m) {
    name_ = to_ref(name);
    bases_ = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    Py_ssize_t i = 0;
    for (Obj b : bases) {
        Py_INCREF(b.ptr());
        PyTuple_SET_ITEM(bases_.ptr(), i++, b.ptr());
    }

    // The most derived metaclass among the bases, as the interpreter picks it.
    PyTypeObject* winner = bases.size() ? Py_TYPE(bases.begin()->ptr()) : &PyType_Type;
    for (Obj b : bases) {
        PyTypeObject* t = Py_TYPE(b.ptr());
        if (PyType_IsSubtype(winner, t)) continue;
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
              "metaclasses of all its bases");
    }
    meta_ = Ref::borrow(reinterpret_cast<PyObject*>(winner));

    PyObject* prepare = PyObject_GetAttr(meta_.ptr(), RT_ID("__prepare__"));
    if (prepare) {
        Ref p = Ref::steal(prepare);
        ns_ = p(name_, bases_);
        if (!PyMapping_Check(ns_.ptr()))
            raise_format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s", winner->tp_name,
                         Py_TYPE(ns_.ptr())->tp_name);
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        ns_ = dict();
    }

    ns_.setitem(RT_ID("__module__"), module_[RT_ID("__name__")]);
    ns_.setitem(RT_ID("__qualname__"), name_);
    if (doc) ns_.setitem(RT_ID("__doc__"), to_ref(doc));
}

Ref ClassBuilder::create() { return meta_(name_, bases_, ns_); }

int run_module_body(PyObject* module, void (*body)(const Module&)) {
    try {
        static bool ready = false;
        if (!ready) {
            if (PyType_Ready(&FunctionType) < 0) raise();
            ready = true;
        }
        Module m(module);
        body(m);
        return 0;
    } catch (const Error&) {
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

}  // namespace rt
