#include "numpy.hpp"

#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
#include <numpy/ufuncobject.h>

#include "guard.hpp"

#include <cstring>

namespace rt {
namespace np {

namespace {
PyArrayObject* arr(Obj o) { return reinterpret_cast<PyArrayObject*>(o.ptr()); }
}  // namespace

namespace {

// NumPy's own source files, and the dispatcher type that wraps its public
// functions (NumPy 1.25 and later).
Package numpy_package;
PyTypeObject* dispatcher_type = nullptr;
PyObject* implementation_getter = nullptr;  // its `_implementation`, a data descriptor

// Before 1.25 the dispatcher is a Python closure that one decorator of
// numpy.core.overrides makes for each public function. One is NumPy's when
// it runs that decorator's bytecode, in that module, over NumPy's own
// dispatcher and itself, and the C function it hands them to is NumPy's.
struct PythonWrapper {
    PyObject* globals = nullptr;  // numpy.core.overrides' dictionary (held)
    PyObject* code = nullptr;     // np.dot's (held)
    Py_ssize_t dispatcher = -1, implementation = -1, itself = -1;
    PyObject* handler = nullptr;  // interned "implement_array_function"
} wrapper;

Ref code_attr(PyObject* code, const char* name) {
    Ref v = Ref::steal_or_null(PyObject_GetAttrString(code, name));
    if (!v) PyErr_Clear();
    return v;
}

// Items of a code object's tuples compared without running code: only
// exact None, int and str are expected there.
bool same_item(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (Py_TYPE(a) != Py_TYPE(b)) return false;
    if (compat::is_exact_int(a)) {
        long long x, y;
        return compat::int_value(a, x) && compat::int_value(b, y) && x == y;
    }
#ifdef RT_PY2
    return false;
#else
    return PyUnicode_CheckExact(a) && PyUnicode_Compare(a, b) == 0;
#endif
}

bool same_code(PyObject* a, PyObject* b) {
    if (a == b) return true;
    for (const char* name : {"co_code", "co_names", "co_consts", "co_freevars", "co_varnames", "co_cellvars",
                             "co_argcount", "co_kwonlyargcount", "co_flags"}) {
        Ref x = code_attr(a, name), y = code_attr(b, name);
        if (!x || !y) return false;
        if (PyTuple_CheckExact(x.ptr()) && PyTuple_CheckExact(y.ptr())) {
            const Py_ssize_t n = PyTuple_GET_SIZE(x.ptr());
            if (n != PyTuple_GET_SIZE(y.ptr())) return false;
            for (Py_ssize_t i = 0; i < n; ++i)
                if (!same_item(PyTuple_GET_ITEM(x.ptr(), i), PyTuple_GET_ITEM(y.ptr(), i))) return false;
        } else if (PyBytes_CheckExact(x.ptr()) && PyBytes_CheckExact(y.ptr())) {
            if (PyBytes_GET_SIZE(x.ptr()) != PyBytes_GET_SIZE(y.ptr()) ||
                std::memcmp(PyBytes_AS_STRING(x.ptr()), PyBytes_AS_STRING(y.ptr()),
                            static_cast<size_t>(PyBytes_GET_SIZE(x.ptr()))) != 0)
                return false;
        } else if (!same_item(x.ptr(), y.ptr())) {
            return false;
        }
    }
    return true;
}

void find_python_wrapper(PyObject* dot) {
#ifdef RT_PY2
    (void)dot;  // NumPy for 2.7 has no such wrappers
#else
    Ref name = to_ref("numpy.core.overrides");
    Ref overrides = Ref::steal_or_null(compat::imported_module(name.ptr()));
    if (!overrides || !PyModule_CheckExact(overrides.ptr()) ||
        PyFunction_GetGlobals(dot) != PyModule_GetDict(overrides.ptr()))
        return;
    PyObject* code = PyFunction_GetCode(dot);
    Ref freevars = code_attr(code, "co_freevars");
    if (!freevars || !PyTuple_CheckExact(freevars.ptr())) return;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(freevars.ptr()); ++i) {
        PyObject* v = PyTuple_GET_ITEM(freevars.ptr(), i);
        if (!PyUnicode_Check(v)) return;
        const char* s = PyUnicode_AsUTF8(v);
        if (!s) return PyErr_Clear();
        if (!std::strcmp(s, "dispatcher")) wrapper.dispatcher = i;
        if (!std::strcmp(s, "implementation")) wrapper.implementation = i;
        if (!std::strcmp(s, "public_api")) wrapper.itself = i;
    }
    if (wrapper.dispatcher < 0 || wrapper.implementation < 0 || wrapper.itself < 0) return;
    wrapper.handler = intern("implement_array_function");
    wrapper.code = Ref::borrow(code).release();
    wrapper.globals = Ref::borrow(PyModule_GetDict(overrides.ptr())).release();
#endif
}

// The implementation a Python wrapper of NumPy's hands on, or nothing.
Ref wrapped(PyObject* o) {
    if (!wrapper.code || Py_TYPE(o) != &PyFunction_Type ||
        PyFunction_GetGlobals(o) != wrapper.globals)
        return Ref();
    // Code objects never change: the verdict is kept with the last one.
    static PyObject* known = nullptr;  // held
    static bool same = false;
    PyObject* code = PyFunction_GetCode(o);
    if (known != code) {
        same = same_code(code, wrapper.code);
        Py_INCREF(code);
        Py_XSETREF(known, code);
    }
    PyObject* closure = PyFunction_GetClosure(o);
    if (!same || !closure || !PyTuple_CheckExact(closure)) return Ref();
    auto cell = [&](Py_ssize_t i) {
        PyObject* c = PyTuple_GET_ITEM(closure, i);
        return PyCell_Check(c) ? Ref::steal_or_null(PyCell_Get(c)) : Ref();
    };
    Ref itself = cell(wrapper.itself), dispatcher = cell(wrapper.dispatcher);
    Ref handler;
    if (itself.ptr() != o || !dispatcher || !numpy_package.defines(dispatcher.ptr(), nullptr) ||
        !peek_item(wrapper.globals, wrapper.handler, handler) || !handler ||
        !compat::is_c_function(handler.ptr(), "_multiarray_umath", "implement_array_function"))
        return Ref();
    return cell(wrapper.implementation);
}

void find_numpy() {
    for (const char* name : {"numpy._core._multiarray_umath", "numpy.core._multiarray_umath"}) {
        Ref n = to_ref(name);
        Ref m = Ref::steal_or_null(compat::imported_module(n.ptr()));
        if (!m) continue;
        PyObject* file = PyModule_Check(m.ptr()) ? compat::module_file(m.ptr()) : nullptr;
        numpy_package.locate(Ref::steal_or_null(file), 1);  // numpy/<core>/<extension>
        PyErr_Clear();
        break;
    }
    // The dispatcher is a C type of NumPy's; its `_implementation` is
    // read through the type's own descriptor.
    Ref numpy = Ref::steal_or_null(PyImport_ImportModule("numpy"));
    Ref dot = numpy ? numpy.maybe_attr(RT_ID("dot")) : Ref();
    PyErr_Clear();
    if (!dot) return;
    if (PyFunction_Check(dot.ptr())) {
        find_python_wrapper(dot.ptr());
        return;
    }
    PyTypeObject* t = Py_TYPE(dot.ptr());
    if (compat::mutable_type(t) || std::strcmp(t->tp_name, "numpy._ArrayFunctionDispatcher") != 0) return;
    Ref getter;
    if (!peek_type_attr(t, RT_ID("_implementation"), getter) || !getter || !Py_TYPE(getter.ptr())->tp_descr_set ||
        !Py_TYPE(getter.ptr())->tp_descr_get || compat::mutable_type(Py_TYPE(getter.ptr())))
        return;
    dispatcher_type = t;
    implementation_getter = getter.release();
}

// What a public NumPy function runs: itself, or the implementation its
// dispatcher calls when no argument overrides it.
Ref implementation(PyObject* o) {
    if (wrapper.code && PyFunction_Check(o)) return wrapped(o);
    if (dispatcher_type && Py_TYPE(o) == dispatcher_type) {
        PyObject* impl = Py_TYPE(implementation_getter)->tp_descr_get(implementation_getter, o,
                                                                         reinterpret_cast<PyObject*>(dispatcher_type));
        if (!impl) PyErr_Clear();
        return Ref::steal_or_null(impl);
    }
    return Ref::borrow(o);
}

}  // namespace

void init() {
    if (PyArray_API) return;
    if (_import_array() < 0) raise();
    find_numpy();
}

bool genuine_c_function(PyObject* o, const char* name) {
    Ref impl = implementation(o);
    return impl && compat::is_c_function(impl.ptr(), "_multiarray_umath", name);
}

bool genuine_function(PyObject* o, const char* name, const char* alt) {
    Ref impl = implementation(o);
    return impl && (numpy_package.defines(impl.ptr(), name) || (alt && numpy_package.defines(impl.ptr(), alt)));
}

bool genuine_ufunc(PyObject* o, const char* name) {
    PyTypeObject* t = Py_TYPE(o);
    if (compat::mutable_type(t) || std::strcmp(t->tp_name, "numpy.ufunc") != 0) return false;
    const char* n = reinterpret_cast<PyUFuncObject*>(o)->name;
    return n && std::strcmp(n, name) == 0;
}

bool Path::genuine(const Env& g) {
    Ref root = g.peek(root_);
    if (!root) return false;
    if (root.ptr() != root_seen_.ptr() || !seen_.current()) {
        compat::Seen seen;
        seen.begin();
        Ref m = root;
        for (int i = 0; i < 2 && attrs_[i]; ++i) {
            // a module's attribute is its dictionary's entry (a missing one
            // would ask the module's __getattr__)
            if (!m || !PyModule_CheckExact(m.ptr())) return false;
            if (!strs_[i]) strs_[i] = intern(attrs_[i]);
            PyObject* d = PyModule_GetDict(m.ptr());
            seen.add(d);
            Ref next;
            if (!peek_item(d, strs_[i], next)) return false;
            m = next;
        }
        if (!m) return false;
        root_seen_ = root;
        found_ = m;
        seen_ = seen;
        c_genuine_ = false;
    }
    const char* name = attrs_[1] ? attrs_[1] : attrs_[0];
    if (impl_ == Impl::c) {
        if (c_genuine_) return true;
        const bool genuine = genuine_c_function(found_.ptr(), name);
        // NumPy's Python wrappers (before 1.25) can be handed another function
        c_genuine_ = genuine && !PyFunction_Check(found_.ptr());
        return genuine;
    }
    return genuine_function(found_.ptr(), name, alt_);
}

bool exact_number(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o) || Py_TYPE(o) == &PyDoubleArrType_Type) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (compat::is_exact_int(o)) return compat::int_to_double(o, out);
    if (PyArray_IsScalar(o, Integer) || PyArray_IsScalar(o, Floating)) {
        if (compat::mutable_type(Py_TYPE(o))) return false;  // a subclass of a NumPy scalar type
        return number_value(o, out);
    }
    return false;
}

Ref float64(double v) {
    PyObject* s = PyArrayScalar_New(Double);
    if (!s) raise();
    PyArrayScalar_ASSIGN(s, Double, v);
    return Ref::steal(s);
}

bool plain_number(PyObject* o, double& out, long long int_limit) {
    if (PyFloat_CheckExact(o) || Py_TYPE(o) == &PyDoubleArrType_Type) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    long long v;
    if (!compat::is_exact_int(o) || !compat::int_value(o, v) || v > int_limit || v < -int_limit) return false;
    out = static_cast<double>(v);
    return true;
}

bool number_value(PyObject* o, double& out) {
    if (PyFloat_Check(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (compat::is_exact_int(o) || PyBool_Check(o)) return compat::int_to_double(o, out);
    if (PyArray_IsScalar(o, Integer) || PyArray_IsScalar(o, Floating) || PyArray_IsScalar(o, Bool)) {
        PyArray_Descr* to = PyArray_DescrFromType(NPY_DOUBLE);
        const int r = PyArray_CastScalarToCtype(o, &out, to);
        Py_DECREF(to);
        if (r < 0) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    return false;
}

Ref full_like(Obj like, double value) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(PyArray_FROM_O(like.ptr()));
    if (!a) {
        PyErr_Clear();
        return Ref();
    }
    Ref keep = Ref::steal(reinterpret_cast<PyObject*>(a));
    Ref out = Ref::steal(PyArray_SimpleNew(PyArray_NDIM(a), PyArray_DIMS(a), NPY_DOUBLE));
    double* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.ptr())));
    for (npy_intp i = 0, n = PyArray_SIZE(a); i < n; ++i) data[i] = value;
    return out;
}

void Array::adopt(Ref r) {
    ref_ = std::move(r);
    PyArrayObject* a = arr(ref_);
    data_ = static_cast<char*>(PyArray_DATA(a));
    ndim_ = PyArray_NDIM(a);
    for (int k = 0; k < 2 && k < ndim_; ++k) {
        shape_[k] = PyArray_DIM(a, k);
        strides_[k] = PyArray_STRIDE(a, k);
    }
}

Array Array::from(Obj o) {
    Array a;
    a.adopt(PyArray_Check(o.ptr()) ? Ref::borrow(o.ptr()) : Ref::steal(PyArray_FROM_O(o.ptr())));
    return a;
}

Array Array::empty(std::initializer_list<Py_ssize_t> shape) {
    npy_intp dims[NPY_MAXDIMS];
    int n = 0;
    for (Py_ssize_t d : shape) dims[n++] = d;
    return from(Ref::steal(PyArray_SimpleNew(n, dims, NPY_DOUBLE)));
}

Array Array::zeros(std::initializer_list<Py_ssize_t> shape) {
    npy_intp dims[NPY_MAXDIMS];
    int n = 0;
    for (Py_ssize_t d : shape) dims[n++] = d;
    return from(Ref::steal(PyArray_ZEROS(n, dims, NPY_DOUBLE, 0)));
}

Array Array::exact_float64(PyObject* o, int ndim) {
    Array a;
    if (!PyArray_CheckExact(o)) return a;
    PyArrayObject* p = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(p) != ndim || PyArray_TYPE(p) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(p) ||
        !PyArray_ISALIGNED(p))
        return a;
    a.adopt(Ref::borrow(o));
    return a;
}

Py_ssize_t Array::size() const { return PyArray_SIZE(arr(ref_)); }

Py_ssize_t Array::shape_any(int axis) const { return PyArray_DIM(arr(ref_), axis); }
char Array::kind() const { return PyArray_DESCR(arr(ref_))->kind; }
bool Array::writeable() const { return PyArray_ISWRITEABLE(arr(ref_)); }

bool Array::is_float64() const {
    PyArrayObject* a = arr(ref_);
    return PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a) && PyArray_ISALIGNED(a);
}

Array Array::as_float64() const {
    if (is_float64()) return *this;
    return from(Ref::steal(PyArray_FromAny(ref_.ptr(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0, NPY_ARRAY_ALIGNED, nullptr)));
}

Array Recycled::vector(Py_ssize_t n) {
    if (last_ && Py_REFCNT(last_) == 1 && PyArray_CheckExact(last_)) {
        PyArrayObject* a = arr(last_);
        if (PyArray_NDIM(a) == 1 && PyArray_DIM(a, 0) == n && PyArray_STRIDE(a, 0) == sizeof(double) &&
            PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a) && PyArray_FLAGS(a) == flags_ &&
            !PyArray_BASE(a) && !reinterpret_cast<PyArrayObject_fields*>(a)->weakreflist)
            return Array::from(Obj(last_));
    }
    Array fresh = Array::empty({n});
    Py_XSETREF(last_, fresh.ref().release());
    flags_ = PyArray_FLAGS(arr(last_));
    return fresh;
}

}  // namespace np
}  // namespace rt
