// NumPy array access for native kernels. Only numpy.cpp sees NumPy's
// headers; modules get plain pointers and strides.
#pragma once

#include "guard.hpp"

#include <cfenv>
#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace rt {
namespace np {

// Loads NumPy's C API; call once the module has imported numpy.
void init();

// NumPy's own functions, told by what they are rather than by what the
// numpy namespace held at some moment: through NumPy's array-function
// dispatcher where it has one, the C function of NumPy's extension module
// (dot, zeros), or the Python function of NumPy's own source (min, max,
// linspace, linalg.norm); `alt` is the function's other name in some NumPy
// versions. Read without running Python code.
bool genuine_c_function(PyObject* o, const char* name);
bool genuine_function(PyObject* o, const char* name, const char* alt = nullptr);
// The ufunc numpy.<name> (arccos).
bool genuine_ufunc(PyObject* o, const char* name);

// numpy.<a> or numpy.<a>.<b>, reached through the module global `np` as a
// guard reads it (np a plain module whose dictionary holds the entries),
// when it is NumPy's own function of that name.
class Path {
  public:
    enum class Impl { c, python };
    Path(Name& root, Impl impl, const char* a1, const char* a2 = nullptr, const char* alt = nullptr)
        : root_(root), impl_(impl), attrs_{a1, a2}, alt_(alt) {}
    Path(const Path&) = delete;
    Path& operator=(const Path&) = delete;
    bool genuine(const Env& g);

  private:
    Name& root_;
    Impl impl_;
    const char* attrs_[2];
    const char* alt_;
    PyObject* strs_[2] = {nullptr, nullptr};
    // the last look-up: from the module `np` held, through dictionaries
    // unchanged since, to the function found
    Kept root_seen_, found_;
    compat::Seen seen_;
    bool c_genuine_ = false;  // a C function found genuine: it cannot change
};

// Floating-point arithmetic of a kernel that raised no flag NumPy would act
// on: its dot and its array arithmetic warn of overflow and invalid values,
// and under np.seterr raise even for underflow, so a kernel whose arithmetic
// raised a flag leaves the work to the literal path. The flags the caller
// had are kept.
class QuietArithmetic {
#if defined(__SSE2__)
    // Doubles are SSE arithmetic here: its status register alone holds the
    // flags, and reading it is far cheaper than the whole floating-point
    // environment.
    static constexpr unsigned kFlags = 0x3f;                  // IE DE ZE OE UE PE
    static constexpr unsigned kActed = 0x01 | 0x04 | 0x08 | 0x10;  // invalid, divide by zero, overflow, underflow
    unsigned saved_;

  public:
    QuietArithmetic() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ & ~kFlags); }
    ~QuietArithmetic() { _mm_setcsr((_mm_getcsr() & ~kFlags) | (saved_ & kFlags)); }
    bool quiet() const { return !(_mm_getcsr() & kActed); }
#else
    std::fexcept_t saved_;

  public:
    QuietArithmetic() {
        std::fegetexceptflag(&saved_, FE_ALL_EXCEPT);
        std::feclearexcept(FE_ALL_EXCEPT);
    }
    ~QuietArithmetic() { std::fesetexceptflag(&saved_, FE_ALL_EXCEPT); }
    bool quiet() const { return !std::fetestexcept(FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID | FE_DIVBYZERO); }
#endif
    QuietArithmetic(const QuietArithmetic&) = delete;
    QuietArithmetic& operator=(const QuietArithmetic&) = delete;
};

// A new numpy.float64 scalar.
Ref float64(double v);
// A number whose arithmetic is the C arithmetic of doubles: a float, a
// numpy.float64, or an int of at most `int_limit` in size (so that its powers
// up to the cube stay exact in a double and in NumPy's int64). Its value in
// `out`; false for anything else, bool included.
bool plain_number(PyObject* o, double& out, long long int_limit = 1 << 17);
// An exact float, int or NumPy real scalar: numbers whose conversion to a
// C double (as ctypes and NumPy make it) runs no Python code.
bool exact_number(PyObject* o, double& out);
// The value of a Python or NumPy real number, read without running any code;
// false for anything else.
bool number_value(PyObject* o, double& out);
// A new float64 array shaped like numpy.asarray(like), every element `value`;
// empty (and no exception) when `like` is not an array.
Ref full_like(Obj like, double value);

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
    // What numpy.zeros(shape) gives for a shape of plain ints.
    static Array zeros(std::initializer_list<Py_ssize_t> shape);
    // The object when it is exactly an ndarray of native float64 with this
    // many dimensions (so that reading it runs no code), else an empty Array.
    static Array exact_float64(PyObject* o, int ndim);

    explicit operator bool() const { return bool(ref_); }
    Obj obj() const { return ref_; }
    Ref ref() const { return ref_; }
    int ndim() const { return ndim_; }
    // Only the first two axes are kept at hand; arithmetic here is 1-D or 2-D.
    Py_ssize_t shape(int axis) const { return axis < 2 ? shape_[axis] : shape_any(axis); }
    Py_ssize_t shape_any(int axis) const;
    Py_ssize_t size() const;
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
