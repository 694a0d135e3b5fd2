#include "rt_numpy.hpp"

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

Array Array::from(Obj o) {
    Array a;
    a.ref_ = PyArray_Check(o.ptr()) ? Ref::borrow(o.ptr()) : Ref::steal(PyArray_FROM_O(o.ptr()));
    return a;
}

Array Array::zeros(std::initializer_list<Py_ssize_t> shape) {
    npy_intp dims[NPY_MAXDIMS];
    int n = 0;
    for (Py_ssize_t d : shape) dims[n++] = d;
    Array a;
    a.ref_ = Ref::steal(PyArray_ZEROS(n, dims, NPY_DOUBLE, 0));
    return a;
}

Array Array::empty(std::initializer_list<Py_ssize_t> shape) {
    npy_intp dims[NPY_MAXDIMS];
    int n = 0;
    for (Py_ssize_t d : shape) dims[n++] = d;
    Array a;
    a.ref_ = Ref::steal(PyArray_SimpleNew(n, dims, NPY_DOUBLE));
    return a;
}

int Array::ndim() const { return PyArray_NDIM(arr(ref_)); }
Py_ssize_t Array::shape(int axis) const { return PyArray_DIM(arr(ref_), axis); }
char Array::kind() const { return PyArray_DESCR(arr(ref_))->kind; }
char* Array::data() const { return static_cast<char*>(PyArray_DATA(arr(ref_))); }
Py_ssize_t Array::stride(int axis) const { return PyArray_STRIDE(arr(ref_), axis); }
bool Array::writeable() const { return PyArray_ISWRITEABLE(arr(ref_)); }

bool Array::is_float64() const {
    PyArrayObject* a = arr(ref_);
    return PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a) && PyArray_ISALIGNED(a);
}

Array Array::as_float64() const {
    if (is_float64()) return *this;
    Array a;
    a.ref_ = Ref::steal(PyArray_FromAny(ref_.ptr(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0, NPY_ARRAY_ALIGNED, nullptr));
    return a;
}

}  // namespace np
}  // namespace rt
