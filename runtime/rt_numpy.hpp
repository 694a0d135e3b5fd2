// NumPy array access for native arithmetic. Only rt_numpy.cpp sees NumPy's
// headers; modules get plain pointers and strides.
#pragma once

#include "rt.hpp"

namespace rt {
namespace np {

// Loads NumPy's C API; call once the module has imported numpy.
void init();

// A new numpy.float64 scalar.
Ref float64(double v);

// A NumPy array, held by reference. Element access goes through strides, so
// views and transposes are read in place.
class Array {
    Ref ref_;
    char* data_ = nullptr;
    int ndim_ = 0;
    Py_ssize_t shape_[2] = {0, 0};
    Py_ssize_t strides_[2] = {0, 0};

    void adopt(Ref r);

  public:
    Array() = default;
    // The object itself when it is an array, else numpy.asarray(o).
    static Array from(Obj o);
    // A new, uninitialised, C-contiguous float64 array.
    static Array empty(std::initializer_list<Py_ssize_t> shape);

    Obj obj() const { return ref_; }
    Ref ref() const { return ref_; }
    int ndim() const { return ndim_; }
    // Only the first two axes are kept at hand; arithmetic here is 1-D or 2-D.
    Py_ssize_t shape(int axis) const { return axis < 2 ? shape_[axis] : shape_any(axis); }
    Py_ssize_t shape_any(int axis) const;
    // NumPy's dtype kind: 'f' float, 'i' int, 'u' unsigned, 'b' bool, ...
    char kind() const;
    bool is_float64() const;
    bool writeable() const;
    // This array as float64 (itself when it already is).
    Array as_float64() const;

    double& at(Py_ssize_t i) const { return *reinterpret_cast<double*>(data_ + i * strides_[0]); }
    double& at(Py_ssize_t i, Py_ssize_t j) const {
        return *reinterpret_cast<double*>(data_ + i * strides_[0] + j * strides_[1]);
    }
};

// The result array of a hot function, recycled like the interpreter's own
// free lists: when the caller has dropped the array returned last time (only
// this cache still holds it) and nothing about it was changed (shape, dtype,
// flags, no base, no weak reference), its storage is filled anew instead of
// allocating. Otherwise a new array is made. Callers must write every element.
class Recycled {
    PyObject* last_ = nullptr;  // kept for the life of the process
    int flags_ = 0;

  public:
    Array vector(Py_ssize_t n);
};

}  // namespace np
}  // namespace rt
