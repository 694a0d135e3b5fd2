// Guards, yield points and the depth check of native recursion.
#include "guard.hpp"

#include <pthread.h>
#include <time.h>

#include <cstring>

namespace rt {

namespace detail {

thread_local uintptr_t stack_limit = 0;

// Room kept free below the limit: raising and unwinding need stack too,
// and sanitizer builds use much larger frames.
constexpr uintptr_t kStackMargin = 512 * 1024;

uintptr_t find_stack_limit() {
    uintptr_t limit = 1;  // unknown: never reports a low stack
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size) {
            const uintptr_t margin = size / 4 < kStackMargin ? size / 4 : kStackMargin;
            limit = reinterpret_cast<uintptr_t>(addr) + margin;
        }
        pthread_attr_destroy(&attr);
    }
    stack_limit = limit;
    return limit;
}

}  // namespace detail

bool enter_recursion() {
    if (stack_low()) {
        PyErr_SetString(compat::recursion_error(),
                        "maximum recursion depth exceeded while calling a native function (C stack)");
        return false;
    }
    return Py_EnterRecursiveCall(" while calling a native function") == 0;
}

// Yield points ---------------------------------------------------------------------

namespace {

double seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// sys.getswitchinterval(), or its default.
double switch_interval() {
    PyObject* f = PySys_GetObject(compat::cname("getswitchinterval"));  // borrowed
    double s = 0.005;
    if (f) {
        Ref keep = Ref::borrow(f);
        PyObject* v = PyObject_CallObject(f, nullptr);
        if (v && PyFloat_Check(v)) s = PyFloat_AS_DOUBLE(v);
        Py_XDECREF(v);
    }
    PyErr_Clear();
    return s;
}

}  // namespace

void Pace::yield() {
    if (PyErr_CheckSignals() < 0) throw Error();
    // A thread that has waited a switch interval for the interpreter asks
    // for it and gets it at the next bytecode. Letting go sooner would only
    // wake it to find the interpreter taken again and start its wait anew,
    // so it is let go a little later than that, and then handed over.
    static thread_local double last = 0.0;
    static thread_local double interval = 0.0;
    const double now = seconds();
    if (now - last < 1.5 * interval) return;
    compat::hand_over();
    last = seconds();
    interval = switch_interval();
    if (PyErr_CheckSignals() < 0) throw Error();
}

// Reads that run no code -----------------------------------------------------------

#ifndef RT_PY2
namespace compat {
// Whether a dictionary holds exact str keys only: a scan, remembered until
// the dictionary changes.
bool str_keys_only(PyObject* d) {
    if (!PyDict_CheckExact(d)) return false;
    // Watching a dictionary makes every change of it news for every cache:
    // small ones, which objects change often, are not watched.
    if (kWatchesDicts && PyDict_GET_SIZE(d) <= 32) return scan_str_keys(d);
    // the dictionary is not held: an entry is for the live one at its address
    struct Fact {
        PyObject* dict = nullptr;
        Stamp stamp;
        bool str_keys = false;
    };
    constexpr size_t kSets = 16, kWays = 4;
    static Fact facts[kSets][kWays];
    static unsigned char next[kSets];
    const size_t set = (reinterpret_cast<uintptr_t>(d) >> 4) % kSets;
    for (Fact& f : facts[set])
        if (f.dict == d && f.stamp.current(d)) return f.str_keys;
    Fact& f = facts[set][next[set]++ % kWays];
    f.dict = d;
    f.stamp.take(d);
    f.str_keys = scan_str_keys(d);
    return f.str_keys;
}
}  // namespace compat
#endif

bool peek_item(PyObject* d, PyObject* key, Ref& out) {
    if (!compat::str_keys_only(d)) return false;
    PyObject* v = compat::dict_get(d, key);
    if (!v && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = Ref::borrow(v);
    return true;
}

namespace {

// The MRO walked by hand, as the generic look-up walks it.
bool walk_mro(PyTypeObject* type, PyObject* name, Ref& out, compat::Seen& seen) {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) return false;  // a classic class in a 2.7 MRO
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(base);
        Ref dict = Ref::steal_or_null(compat::type_dict(t));
        if (!dict) return false;
        if (compat::mutable_type(t)) {
            seen.add(dict.ptr());
            if (!peek_item(dict.ptr(), name, out)) return false;
        } else {
            // a builtin type's dictionary: its own names, fixed
            PyObject* v = compat::dict_get(dict.ptr(), name);
            if (!v && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            out = Ref::borrow(v);
        }
        if (out) return true;
    }
    out = Ref();
    return true;
}

}  // namespace

bool peek_type_attr(PyTypeObject* type, PyObject* name, Ref& out) {
    // Remembered until a dictionary of the MRO changes or the MRO is
    // replaced (assigning __bases__); for the live type at that address
    // with that very MRO, whose types keep their dictionaries alive.
    struct Known {
        PyTypeObject* type = nullptr;
        PyObject* mro = nullptr;
        PyObject* name = nullptr;  // held: its address is the key
        compat::Seen seen;
        PyObject* value = nullptr;  // held by a dictionary of the MRO while seen is current
        bool known = false;
    };
    static Known cache[128];
    Known& k = cache[((reinterpret_cast<uintptr_t>(type) >> 4) ^ (reinterpret_cast<uintptr_t>(name) >> 3)) % 128];
    if (k.type == type && k.mro == type->tp_mro && k.name == name && k.seen.current()) {
        out = Ref::borrow(k.value);
        return k.known;
    }
    compat::Seen seen;
    seen.begin();
    const bool known = walk_mro(type, name, out, seen);
    k.type = type;
    k.mro = type->tp_mro;
    Py_INCREF(name);
    Py_XSETREF(k.name, name);
    k.seen = seen;
    k.value = known ? out.ptr() : nullptr;
    k.known = known;
    return known;
}

PlainAttrs::PlainAttrs(Obj self) : self_(self) {
    if (!compat::generic_getattr(Py_TYPE(self.ptr()))) return;
    dict_ = Ref::steal_or_null(compat::instance_dict(self.ptr()));
    ok_ = !dict_ || compat::str_keys_only(dict_.ptr());
}

Ref PlainAttrs::get(PyObject* name) const {
    Ref descr;
    if (!ok_ || !dict_ || !peek_type_attr(Py_TYPE(self_.ptr()), name, descr) || descr) return Ref();
    PyObject* v = compat::dict_get(dict_.ptr(), name);
    if (!v) PyErr_Clear();
    return Ref::borrow(v);
}

bool PlainAttrs::lacks(PyObject* name) const {
    if (!ok_) return false;
    if (!dict_) return true;
    PyObject* v = compat::dict_get(dict_.ptr(), name);
    if (!v && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return !v;
}

Ref plain_attr(Obj self, PyObject* name) { return PlainAttrs(self).get(name); }

bool AttrCache::read(Obj self, PyObject* const* names, int n, Ref* out) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (!compat::generic_getattr(type) || n > 4) return false;
    Ref dict = Ref::steal_or_null(compat::instance_dict(self.ptr()));
    if (!dict) return false;
    // The instance dictionary is not held (that would keep the object's
    // data alive): it is the one last read when it is the object's now.
    // Watchers are not told of every change of an object's own dictionary
    // (3.13 writes attributes into values it shares with the object), so
    // where changes are seen through them, nothing is kept.
    if (compat::kWatchesDicts) {
        const PlainAttrs attrs(self);
        for (int i = 0; i < n; ++i)
            if (!(out[i] = attrs.get(names[i]))) return false;
        return true;
    }
    if (type == type_ && type->tp_mro == mro_ && dict.ptr() == dict_ && stamp_.current(dict.ptr()) &&
        seen_.current()) {
        for (int i = 0; i < n; ++i) out[i] = Ref::borrow(values_[i]);
        return true;
    }
    compat::Seen seen;
    seen.begin();
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) return false;
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(base);
        if (!compat::mutable_type(t)) continue;
        Ref d = Ref::steal_or_null(compat::type_dict(t));
        if (!d) return false;
        seen.add(d.ptr());
    }
    compat::Stamp stamp;
    stamp.take(dict.ptr());
    const PlainAttrs attrs(self);
    for (int i = 0; i < n; ++i) {
        out[i] = attrs.get(names[i]);
        if (!out[i]) return false;
    }
    type_ = type;
    mro_ = type->tp_mro;
    dict_ = dict.ptr();
    stamp_ = stamp;
    seen_ = seen;
    for (int i = 0; i < n; ++i) values_[i] = out[i].ptr();
    return true;
}

bool ObjectFacts::unchanged(Obj o) const {
    if (compat::kWatchesDicts || o.ptr() != object_ || Py_TYPE(o.ptr()) != type_ || type_->tp_mro != mro_) return false;
    Ref dict = Ref::steal_or_null(compat::instance_dict(o.ptr()));
    return dict && dict.ptr() == dict_ && stamp_.current(dict.ptr()) && seen_.current();
}

void ObjectFacts::take(Obj o) {
    object_ = nullptr;
    if (compat::kWatchesDicts) return;
    PyTypeObject* type = Py_TYPE(o.ptr());
    Ref dict = Ref::steal_or_null(compat::instance_dict(o.ptr()));
    if (!dict || !type->tp_mro) return;
    compat::Seen seen;
    seen.begin();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(type->tp_mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(type->tp_mro, i);
        if (!PyType_Check(base)) return;
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(base);
        if (!compat::mutable_type(t)) continue;
        Ref d = Ref::steal_or_null(compat::type_dict(t));
        if (!d) return;
        seen.add(d.ptr());
    }
    stamp_.take(dict.ptr());
    seen_ = seen;
    object_ = o.ptr();
    type_ = type;
    mro_ = type->tp_mro;
    dict_ = dict.ptr();
}

bool own_method(Obj self, PyObject* name, Body body) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    Ref descr;
    return compat::generic_getattr(type) && peek_type_attr(type, name, descr) && descr &&
           is_native(descr.ptr(), body) && PlainAttrs(self).lacks(name);
}

// Libraries' own objects -------------------------------------------------------------

void Package::locate(Obj module_file, int depth) {
    dir_.clear();
    Ref bytes;
#ifdef RT_PY2
    if (!module_file || !PyString_Check(module_file.ptr())) return;
    std::string path = PyString_AS_STRING(module_file.ptr());
#else
    if (!module_file || !PyUnicode_Check(module_file.ptr())) return;
    const char* utf8 = PyUnicode_AsUTF8(module_file.ptr());
    if (!utf8) {
        PyErr_Clear();
        return;
    }
    std::string path = utf8;
#endif
    for (int i = 0; i <= depth; ++i) {
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) return;
        path.resize(slash);
    }
    dir_ = path + "/";
}

namespace {

// What the attribute of a code object is, read without running code (code
// objects are of a builtin type), as UTF-8.
bool code_text(PyObject* code, const char* attr, std::string& out) {
    PyObject* v = PyObject_GetAttrString(code, attr);
    if (!v) {
        PyErr_Clear();
        return false;
    }
    Ref keep = Ref::steal(v);
#ifdef RT_PY2
    if (!PyString_Check(v)) return false;
    out = PyString_AS_STRING(v);
#else
    const char* s = PyUnicode_Check(v) ? PyUnicode_AsUTF8(v) : nullptr;
    if (!s) {
        PyErr_Clear();
        return false;
    }
    out = s;
#endif
    return true;
}

}  // namespace

bool Package::defines(PyObject* o, const char* name) const {
    if (dir_.empty() || !o || !PyFunction_Check(o)) return false;
    PyObject* code = PyFunction_GET_CODE(o);
    // Code objects never change: the answer is kept with the object.
    struct Known {
        PyObject* code = nullptr;  // owned
        const Package* package = nullptr;
        const char* name = nullptr;
        bool defines = false;
    };
    static Known known[32];
    Known& k = known[(reinterpret_cast<uintptr_t>(code) >> 4) % 32];
    if (k.code == code && k.package == this && k.name == name) return k.defines;
    std::string file, co_name;
    const bool defines = code_text(code, "co_filename", file) && code_text(code, "co_name", co_name) &&
                         (!name || co_name == name) && file.compare(0, dir_.size(), dir_) == 0;
    Py_INCREF(code);
    Py_XSETREF(k.code, code);
    k.package = this;
    k.name = name;
    k.defines = defines;
    return defines;
}

}  // namespace rt
