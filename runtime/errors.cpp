// Errors, references, calls and containers.
#include "call.hpp"
#include "guard.hpp"

#include <cstdarg>

namespace rt {

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
    compat::set_error_v(type, format, va);
    va_end(va);
    throw Error();
}

void raise_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    throw Error();
}

PyObject* intern(const char* s) {
    PyObject* o = compat::str_intern(s);
    if (!o) raise();
    return o;  // kept for the life of the process, like the interpreter's own identifiers
}

// Objects ----------------------------------------------------------------------

Ref Obj::attr(PyObject* name) const { return Ref::steal(PyObject_GetAttr(p_, name)); }

Ref Obj::maybe_attr(PyObject* name) const {
    PyObject* v = PyObject_GetAttr(p_, name);
    if (v) return Ref::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    return Ref();
}

void Obj::setattr(PyObject* name, Obj value) const& {
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
    Ref key = to_ref(static_cast<long long>(index));
    return Ref::steal(PyObject_GetItem(p_, key.ptr()));
}

void Obj::setitem(Const key, Obj value) const& {
    if (PyObject_SetItem(p_, key.ptr(), value.ptr()) < 0) raise();
}

void Obj::setitem(Py_ssize_t index, Obj value) const& {
    Ref key = to_ref(static_cast<long long>(index));
    if (PyObject_SetItem(p_, key.ptr(), value.ptr()) < 0) raise();
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

bool Obj::equals(Obj other) const { return compare(other, Py_EQ); }

bool Obj::equals(const char* s) const {
    Ref o = to_ref(s);
    return equals(o);
}

double Obj::to_double() const {
    double d = PyFloat_AsDouble(p_);
    if (d == -1.0 && PyErr_Occurred()) raise();
    return d;
}

Py_ssize_t Obj::to_index() const {
    Ref i = Ref::steal(PyNumber_Index(p_));
    Py_ssize_t n = PyNumber_AsSsize_t(i.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) raise();
    return n;
}

Ref Obj::add(Obj b) const { return Ref::steal(PyNumber_Add(p_, b.ptr())); }
Ref Obj::sub(Obj b) const { return Ref::steal(PyNumber_Subtract(p_, b.ptr())); }
Ref Obj::mul(Obj b) const { return Ref::steal(PyNumber_Multiply(p_, b.ptr())); }
Ref Obj::truediv(Obj b) const { return Ref::steal(PyNumber_TrueDivide(p_, b.ptr())); }
Ref Obj::classic_div(Obj b) const { return Ref::steal(compat::classic_divide(p_, b.ptr())); }
Ref Obj::bit_or(Obj b) const { return Ref::steal(PyNumber_Or(p_, b.ptr())); }
Ref Obj::neg() const { return Ref::steal(PyNumber_Negative(p_)); }

Ref Obj::compare_to(Obj b, int op) const { return Ref::steal(PyObject_RichCompare(p_, b.ptr(), op)); }

bool Obj::compare(Obj b, int op) const {
    // not PyObject_RichCompareBool: `==` in Python does not take identity for equality
    return Ref::steal(PyObject_RichCompare(p_, b.ptr(), op)).truth();
}

namespace {
// -O and -OO, as sys.flags gives them: fixed at start-up, so read once.
long optimize_level() {
    static long level = -1;
    if (level < 0) {
        PyObject* flags = PySys_GetObject(compat::cname("flags"));  // borrowed
        if (!flags) raise(PyExc_RuntimeError, "lost sys.flags");
        Ref value = Obj(flags).attr(RT_ID("optimize"));
        const long v = PyLong_AsLong(value.ptr());
        if (v == -1 && PyErr_Occurred()) raise();
        level = v < 0 ? 0 : v;
    }
    return level;
}
}  // namespace

bool assertions_enabled() { return optimize_level() == 0; }
bool docstrings_kept() { return optimize_level() < 2; }

void assert_between(Obj v, double lo, double hi) {
    // a float subclass compares with its own __le__/__ge__
    if (PyFloat_CheckExact(v.ptr())) {
        const double d = PyFloat_AS_DOUBLE(v.ptr());
        if (!(lo <= d) || !(d <= hi)) raise_assertion();
        return;
    }
    Ref low = to_ref(lo), high = to_ref(hi);
    if (!low.compare(v, Py_LE) || !v.compare(high, Py_LE)) raise_assertion();
}

void unpack(Obj value, std::initializer_list<Ref*> targets) {
    const int expected = static_cast<int>(targets.size());
    PyTypeObject* type = Py_TYPE(value.ptr());
    if (compat::unpack_names_non_iterables() && !type->tp_iter && !PySequence_Check(value.ptr()))
        raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
    Ref it = Ref::steal(PyObject_GetIter(value.ptr()));
    int got = 0;
    for (Ref* target : targets) {
        PyObject* item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred()) raise();
            compat::not_enough_values_to_unpack(expected, got);
            throw Error();
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

// Calls --------------------------------------------------------------------------

Ref Args::kwnames() const {
    if (!nkw_) return Ref();
    Ref names = Ref::steal(PyTuple_New(nkw_));
    for (size_t i = 0; i < nkw_; ++i) {
        Py_INCREF(names_[i]);
        PyTuple_SET_ITEM(names.ptr(), i, names_[i]);
    }
    return names;
}

Ref Obj::operator()() const {
    PyObject* slot[1] = {nullptr};  // args[-1] is the callee's to use
    return Ref::steal(compat::call(p_, slot + 1, 0, nullptr));
}

Ref Obj::operator()(const Args& args) const {
    Ref names = args.kwnames();
    return Ref::steal(compat::call(p_, args.slots() + 1, args.npos(), names.ptr()));
}

Method Obj::method(PyObject* name) const {
    PyTypeObject* type = Py_TYPE(p_);
    // What the interpreter's method look-up does: a plain function found on
    // the type, not shadowed by the instance, is called with self in front.
    // Whatever is found is owned before the next look-up, which may run code
    // (a key's __eq__) that takes it out of its dictionary.
    Ref descr;
    if (compat::generic_getattr(type) && peek_type_attr(type, name, descr) && descr &&
        compat::is_method_descriptor(descr.ptr())) {
        Ref dict = Ref::steal_or_null(compat::instance_dict(p_));
        if (dict) {
            PyObject* shadow = compat::dict_get(dict.ptr(), name);
            if (shadow) return Method(Ref::borrow(shadow), nullptr);
            if (PyErr_Occurred()) raise();
        }
        return Method(descr, p_);
    }
    return Method(attr(name), nullptr);
}

Ref Method::operator()() const {
    if (!self_) return func_();
    PyObject* self = self_;
    return Ref::steal(compat::call_unbound(func_.ptr(), &self, 1, nullptr));
}

Ref Method::operator()(const Args& args) const {
    if (!self_) return func_(args);
    Ref names = args.kwnames();
    PyObject** slots = args.slots();
    slots[0] = self_;
    PyObject* r = compat::call_unbound(func_.ptr(), slots, args.npos() + 1, names.ptr());
    slots[0] = nullptr;
    return Ref::steal(r);
}

// Containers ----------------------------------------------------------------------

Ref tuple(const Args& items) {
    Ref t = Ref::steal(PyTuple_New(items.size()));
    for (size_t i = 0; i < items.size(); ++i) {
        Py_INCREF(items[i]);
        PyTuple_SET_ITEM(t.ptr(), i, items[i]);
    }
    return t;
}

Ref list(const Args& items) {
    Ref l = Ref::steal(PyList_New(items.size()));
    for (size_t i = 0; i < items.size(); ++i) {
        Py_INCREF(items[i]);
        PyList_SET_ITEM(l.ptr(), i, items[i]);
    }
    return l;
}

Ref dict(std::initializer_list<std::pair<const char*, Ref>> items) {
    Ref d = dict();
    for (const auto& item : items) {
        Ref key = to_ref(item.first);
        if (PyDict_SetItem(d.ptr(), key.ptr(), item.second.ptr()) < 0) raise();
    }
    return d;
}

}  // namespace rt
