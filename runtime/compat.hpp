// Every difference between interpreter versions lives here, so that a new
// version means editing this file only. Supported: CPython 3.8 to 3.13.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_MAJOR_VERSION < 3 || (PY_MAJOR_VERSION == 3 && PY_MINOR_VERSION < 8)
// 2.7 would need its own module entry point (initNAME), no vectorcall and
// classic class creation; add those branches here when it is wanted.
#error "this runtime layer needs CPython 3.8 or newer"
#endif

#if PY_VERSION_HEX < 0x03090000
#define RT_VECTORCALL _PyObject_Vectorcall
#define RT_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#else
#define RT_VECTORCALL PyObject_Vectorcall
#define RT_TPFLAGS_HAVE_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#endif

// The module entry point must stay visible although everything else is
// built with hidden visibility.
#define RT_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*

namespace rt {
namespace compat {

// Argument errors name the function by its qualified name since 3.10.
inline PyObject* call_error_name(PyObject* name, PyObject* qualname) {
#if PY_VERSION_HEX >= 0x030A0000
    (void)name;
    return qualname;
#else
    (void)qualname;
    return name;
#endif
}

// What PyVarObject_HEAD_INIT(NULL, 0) does, for a type built in code.
inline void init_static_type_head(PyTypeObject* t) {
#if PY_VERSION_HEX >= 0x03090000
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(t), 1);
#else
    reinterpret_cast<PyObject*>(t)->ob_refcnt = 1;
#endif
}

// A dictionary's version: it changes whenever the dictionary does, so a
// look-up remembered together with it is still right while it is unchanged.
// 0 means "not known": never cache then.
inline uint64_t dict_version(PyObject* d) {
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#pragma GCC diagnostic pop
#else
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#endif
}

// callable(*args[:nargs], **kwnames) with args[-1] free for the callee.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    return RT_VECTORCALL(callable, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

// self.<unbound function>(*args): args[0] is self.
inline PyObject* call_unbound(PyObject* func, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    return RT_VECTORCALL(func, args, nargs, kwnames);
}

// Whether attribute look-up on objects of this type may be done by hand
// (the generic look-up, no __getattribute__ or __getattr__ of Python code),
// and which functions may be called without a bound method.
inline bool generic_getattr(PyTypeObject* t) { return t->tp_getattro == PyObject_GenericGetAttr; }
inline bool is_method_descriptor(PyObject* descr) {
    return PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR);
}

// The exception of runaway recursion.
inline PyObject* recursion_error() { return PyExc_RecursionError; }

// 3.13 suggests the closest parameter name for an unexpected keyword, with
// the same algorithm as its NameError suggestions. New reference, or NULL
// (and no exception) when there is none.
inline PyObject* keyword_suggestion(PyObject* params, PyObject* keyword) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* result = nullptr;
    PyObject* module = PyImport_ImportModule("_suggestions");
    PyObject* candidates = module ? PySequence_List(params) : nullptr;
    if (candidates) result = PyObject_CallMethod(module, "_generate_suggestions", "OO", candidates, keyword);
    Py_XDECREF(candidates);
    Py_XDECREF(module);
    if (!result || result == Py_None) {
        PyErr_Clear();
        Py_XDECREF(result);
        return nullptr;
    }
    return result;
#else
    (void)params;
    (void)keyword;
    return nullptr;
#endif
}

// Message of ZeroDivisionError for float division.
inline const char* float_division_by_zero() {
#if PY_VERSION_HEX >= 0x030E0000
    return "division by zero";
#else
    return "float division by zero";
#endif
}

// The pending exception, taken out and put back (3.12 replaced the triple).
class SavedError {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_ = PyErr_GetRaisedException();

  public:
    PyObject* value() const { return exc_; }
    void restore() {
        PyErr_SetRaisedException(exc_);
        exc_ = nullptr;
    }
#else
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;

  public:
    SavedError() {
        PyErr_Fetch(&type_, &value_, &tb_);
        PyErr_NormalizeException(&type_, &value_, &tb_);
    }
    PyObject* value() const { return value_; }
    void restore() {
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
    }
#endif
};

// The NameError of a missing global; since 3.10 it carries the name (used
// for suggestions).
inline void name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
#if PY_VERSION_HEX >= 0x030A0000
    SavedError e;
    if (e.value() && PyObject_SetAttrString(e.value(), "name", name) < 0) PyErr_Clear();
    e.restore();
#endif
}

// ImportError of "from x import y": since 3.12 it also records the name.
inline void set_import_error(PyObject* msg, PyObject* modname, PyObject* path, PyObject* name) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetImportError(msg, modname, path);
    SavedError e;
    if (e.value() && PyObject_SetAttrString(e.value(), "name_from", name) < 0) PyErr_Clear();
    e.restore();
#else
    (void)name;
    PyErr_SetImportError(msg, modname, path);
#endif
}

// ValueError of a, b = value when value is longer; 3.14 adds the length.
inline void too_many_values_to_unpack(PyObject* value, int expected) {
#if PY_VERSION_HEX >= 0x030E0000
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value) || PyDict_CheckExact(value)) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d, got %zd)", expected,
                     PyObject_Size(value));
        return;
    }
#else
    (void)value;
#endif
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", expected);
}

// ValueError of a, b = value when value is shorter.
inline void not_enough_values_to_unpack(int expected, int got) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", expected, got);
}

// The module's `/`: true division everywhere on 3.x.
inline PyObject* classic_divide(PyObject* a, PyObject* b) { return PyNumber_TrueDivide(a, b); }

}  // namespace compat
}  // namespace rt
