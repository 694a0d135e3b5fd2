#include "numpy.hpp"

#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

namespace rt {
namespace np {

namespace {
PyArrayObject* arr(Obj o) { return reinterpret_cast<PyArrayObject*>(o.ptr()); }
}  // namespace

void init() {
    if (PyArray_API) return;
    if (_import_array() < 0) raise();
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
