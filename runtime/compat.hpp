// Every difference between interpreter versions lives here, so that a new
// version means editing this file only. Supported: CPython 2.7 and 3.8 to
// 3.13. The rest of the runtime and the modules use only what is declared
// here and the C API common to all of them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dlfcn.h>
#include <time.h>

#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#if PY_MAJOR_VERSION == 2
#if PY_MINOR_VERSION < 7
#error "this runtime layer needs CPython 2.7, or 3.8 or newer"
#endif
#define RT_PY2 1
#elif PY_MINOR_VERSION < 8
#error "this runtime layer needs CPython 2.7, or 3.8 or newer"
#endif

#if !defined(RT_PY2) && PY_VERSION_HEX < 0x03090000
#define RT_VECTORCALL _PyObject_Vectorcall
#define RT_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#elif !defined(RT_PY2)
#define RT_VECTORCALL PyObject_Vectorcall
#define RT_TPFLAGS_HAVE_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#endif

// The module entry point must stay visible although everything else is
// built with hidden visibility.
#ifdef RT_PY2
#define RT_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) void
#else
#define RT_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif

namespace rt {

class Module;

namespace compat {

constexpr bool kPython2 =
#ifdef RT_PY2
    true;
#else
    false;
#endif

// The C API of 2 takes names as char*, that of 3 as const char*.
inline char* cname(const char* s) { return const_cast<char*>(s); }

// Strings --------------------------------------------------------------------
// Names, docstrings and texts are the native str: bytes on 2, text on 3.

inline PyObject* str(const char* s) {
#ifdef RT_PY2
    return PyString_FromString(s);
#else
    return PyUnicode_FromString(s);
#endif
}
inline PyObject* str(const char* s, Py_ssize_t n) {
#ifdef RT_PY2
    return PyString_FromStringAndSize(s, n);
#else
    return PyUnicode_FromStringAndSize(s, n);
#endif
}
inline PyObject* str_intern(const char* s) {
#ifdef RT_PY2
    return PyString_InternFromString(s);
#else
    return PyUnicode_InternFromString(s);
#endif
}
// What the interpreter accepts as a name or keyword: str, and on 2 unicode.
inline bool is_name(PyObject* o) {
#ifdef RT_PY2
    return PyString_Check(o) || PyUnicode_Check(o);
#else
    return PyUnicode_Check(o);
#endif
}
// The native str: what a function's __name__ may be set to.
inline bool is_str(PyObject* o) {
#ifdef RT_PY2
    return PyString_Check(o);
#else
    return PyUnicode_Check(o);
#endif
}
inline bool starts_with_underscore(PyObject* name) {
#ifdef RT_PY2
    return PyString_Check(name) && PyString_AS_STRING(name)[0] == '_';
#else
    return PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) == '_';
#endif
}

// A new str from a printf-like format: %s %d %i %ld %zd %p, and %R, %S of
// objects (repr() and str()). New reference or NULL.
inline PyObject* format_v(const char* format, va_list va) {
#ifdef RT_PY2
    PyObject* u = PyUnicode_FromFormatV(format, va);
    if (!u) return nullptr;
    PyObject* s = PyUnicode_AsUTF8String(u);
    Py_DECREF(u);
    return s;
#else
    return PyUnicode_FromFormatV(format, va);
#endif
}
inline PyObject* format(const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyObject* s = format_v(format, va);
    va_end(va);
    return s;
}
// type(message) with the message made as format() makes it.
inline void set_error_v(PyObject* type, const char* fmt, va_list va) {
    PyObject* message = format_v(fmt, va);
    if (!message) return;
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}
inline void set_error(PyObject* type, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    set_error_v(type, fmt, va);
    va_end(va);
}

// Integers -------------------------------------------------------------------
// `int` is PyInt on 2 (with PyLong for big values), PyLong on 3.

inline PyObject* int_from(long long v) {
#ifdef RT_PY2
    if (v >= LONG_MIN && v <= LONG_MAX) return PyInt_FromLong(static_cast<long>(v));
#endif
    return PyLong_FromLongLong(v);
}
// An int (not a subclass, so not bool).
inline bool is_exact_int(PyObject* o) {
#ifdef RT_PY2
    return PyInt_CheckExact(o) || PyLong_CheckExact(o);
#else
    return PyLong_CheckExact(o);
#endif
}
// An int or a subclass of int (bool, PyOpenGL's constants).
inline bool is_int(PyObject* o) {
#ifdef RT_PY2
    return PyInt_Check(o) || PyLong_Check(o);
#else
    return PyLong_Check(o);
#endif
}
// An int, or a subclass of int that keeps int's own conversions (PyOpenGL's
// constants): its value is what any conversion of it gives.
inline bool plain_int(PyObject* o) {
    if (!is_int(o) || PyBool_Check(o)) return false;
#ifdef RT_PY2
    PyTypeObject* base = PyInt_Check(o) ? &PyInt_Type : &PyLong_Type;
#else
    PyTypeObject* base = &PyLong_Type;
#endif
    PyNumberMethods* n = Py_TYPE(o)->tp_as_number;
    PyNumberMethods* b = base->tp_as_number;
    return n && n->nb_int == b->nb_int && n->nb_index == b->nb_index;
}

// The value of an int object when it fits; false (no exception) otherwise.
inline bool int_value(PyObject* o, long long& out) {
#ifdef RT_PY2
    if (PyInt_Check(o)) {
        out = PyInt_AS_LONG(o);
        return true;
    }
#endif
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (out == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return !overflow;
}

// The value of an int object as a double (what ctypes and float() give).
inline bool int_to_double(PyObject* o, double& out) {
#ifdef RT_PY2
    if (PyInt_Check(o)) {
        out = static_cast<double>(PyInt_AS_LONG(o));
        return true;
    }
#endif
    out = PyLong_AsDouble(o);
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// Dictionaries ---------------------------------------------------------------

// d[key] borrowed, or NULL: with an exception set if the look-up failed.
inline PyObject* dict_get(PyObject* d, PyObject* key) {
#ifdef RT_PY2
    return PyDict_GetItem(d, key);  // keys here are names, whose comparison cannot fail
#else
    return PyDict_GetItemWithError(d, key);
#endif
}

// Change tracking ------------------------------------------------------------
// A remembered answer read from dictionaries stands while none of them has
// changed. How a change is seen depends on the interpreter:
//   3.12 and later: a dictionary watcher (public API since 3.12); every event
//     on a watched dictionary advances one counter, the epoch.
//   3.8 to 3.11: the dictionary's version tag (PEP 509; a public field until
//     3.12 deprecated it).
//   2.7: nothing; answers are not remembered.

#if !defined(RT_PY2) && PY_VERSION_HEX >= 0x030C0000
#define RT_DICT_WATCHERS 1
namespace detail {
inline uint64_t& epoch() {
    static uint64_t e = 1;
    return e;
}
inline int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++epoch();
    return 0;
}
// The watcher of this extension module; -1 when none could be had (all
// watcher slots taken): then nothing is remembered.
inline int watcher() {
    static int id = -2;
    if (id == -2) {
        id = PyDict_AddWatcher(on_dict_event);
        if (id < 0) PyErr_Clear();
    }
    return id;
}
}  // namespace detail
#endif

// A build that remembers nothing, to measure what remembering saves.
#ifdef RT_NO_CACHES
constexpr bool kRemember = false;
#else
constexpr bool kRemember = true;
#endif

// Whether changes are seen through watchers, which report every change of a
// watched dictionary to every answer remembered.
#if defined(RT_DICT_WATCHERS)
constexpr bool kWatchesDicts = true;
#else
constexpr bool kWatchesDicts = false;
#endif

// Seen holds none of its dictionaries (holding them would keep their
// objects' data alive): the caller checks that the objects it read are
// still the live ones (by identity with objects it holds or is given), and
// adds each dictionary after the one that keeps it alive, so that the first
// change found stops the reading before a dictionary that may be gone.
class Seen {
#if defined(RT_DICT_WATCHERS)
    uint64_t epoch_ = 0;
    bool ok_ = false;

  public:
    // Starts remembering; call before reading anything.
    void begin() {
        epoch_ = detail::epoch();
        ok_ = detail::watcher() >= 0;
    }
    // d will be read; false when its changes cannot be seen (then the
    // answer is not remembered: current() stays false).
    bool add(PyObject* d) {
        if (!ok_ || PyDict_Watch(detail::watcher(), d) < 0) {
            PyErr_Clear();
            ok_ = false;
        }
        return ok_;
    }
    void forget() { ok_ = false; }
    bool current() const { return kRemember && ok_ && epoch_ == detail::epoch(); }
#elif !defined(RT_PY2)
    static constexpr int kMax = 12;
    PyObject* dicts_[kMax];
    uint64_t versions_[kMax];
    int n_ = 0;
    bool ok_ = false;

  public:
    void begin() {
        n_ = 0;
        ok_ = true;
    }
    bool add(PyObject* d) {
        if (!ok_ || n_ == kMax) return ok_ = false;
        dicts_[n_] = d;
        versions_[n_++] = reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
        return true;
    }
    void forget() { ok_ = false; }
    bool current() const {
        if (!kRemember || !ok_) return false;
        for (int i = 0; i < n_; ++i)
            if (reinterpret_cast<PyDictObject*>(dicts_[i])->ma_version_tag != versions_[i]) return false;
        return true;
    }
#else
  public:
    void begin() {}
    bool add(PyObject*) { return false; }
    void forget() {}
    bool current() const { return false; }
#endif
};

// One dictionary's state, for a dictionary the caller knows to be alive
// (an object's own, compared by identity first): a Seen that holds nothing.
class Stamp {
#if defined(RT_DICT_WATCHERS)
    Seen seen_;

  public:
    void take(PyObject* d) {
        seen_.begin();
        seen_.add(d);
    }
    bool current(PyObject*) const { return seen_.current(); }
#elif !defined(RT_PY2)
    uint64_t version_ = 0;
    bool ok_ = false;

  public:
    void take(PyObject* d) {
        version_ = reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
        ok_ = true;
    }
    bool current(PyObject* d) const {
        return kRemember && ok_ && reinterpret_cast<PyDictObject*>(d)->ma_version_tag == version_;
    }
#else
  public:
    void take(PyObject*) {}
    bool current(PyObject*) const { return false; }
#endif
};

// Whether looking a str key up in d can run no Python code: true only when
// every key is an exact str, whose comparison is the interpreter's own.
// (Any other key of an equal hash would be compared through its type's __eq__.)
#ifdef RT_PY2
// 2.7 switches a dictionary to its general look-up for good once a key
// other than an exact str is stored; the string-only look-up is the one a
// new dictionary starts with. (Field of 2.7's PyDictObject.)
inline bool str_keys_only(PyObject* d) {
    static void* string_lookup = [] {
        PyObject* probe = PyDict_New();
        void* f = probe ? reinterpret_cast<void*>(reinterpret_cast<PyDictObject*>(probe)->ma_lookup) : nullptr;
        Py_XDECREF(probe);
        return f;
    }();
    return PyDict_CheckExact(d) && string_lookup &&
           reinterpret_cast<void*>(reinterpret_cast<PyDictObject*>(d)->ma_lookup) == string_lookup;
}
#else
bool str_keys_only(PyObject* d);  // guard.cpp: a scan, remembered per dictionary
inline bool scan_str_keys(PyObject* d) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}
#endif

// Objects and types --------------------------------------------------------------

// An object's instance dictionary, owned, or empty (no exception) when its
// type gives it none. 3.x reads it as __dict__'s own getter does (making it
// if the object keeps its attributes without one); 2.7 has no public way.
inline PyObject* instance_dict(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
#ifdef RT_PY2
    if (t->tp_dictoffset == 0) return nullptr;
    PyObject** p = _PyObject_GetDictPtr(o);  // 2.7's only way, private there
    PyObject* d = p ? *p : nullptr;
    Py_XINCREF(d);
    return d;
#else
    bool has = t->tp_dictoffset != 0;
#ifdef Py_TPFLAGS_MANAGED_DICT
    has = has || PyType_HasFeature(t, Py_TPFLAGS_MANAGED_DICT);
#endif
    if (!has) return nullptr;
    PyObject* d = PyObject_GenericGetDict(o, nullptr);
    if (!d) PyErr_Clear();
    return d;
#endif
}

// A type's own dictionary, owned (3.12 keeps those of builtin types elsewhere).
inline PyObject* type_dict(PyTypeObject* t) {
#if !defined(RT_PY2) && PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(t);
#else
    Py_XINCREF(t->tp_dict);
    return t->tp_dict;
#endif
}

// Types whose dictionary Python code can change: classes made by class
// statements (heap types), unless marked immutable (3.10 and later).
inline bool mutable_type(PyTypeObject* t) {
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    if (PyType_HasFeature(t, Py_TPFLAGS_IMMUTABLETYPE)) return false;
#endif
    return PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE);
}

// Whether o is the builtin function `function` of the C extension module
// `module` (the last part of its name), as the module defines it, not
// whatever the module's namespace holds now. 3 finds the function in the
// module's definition; 2.7 keeps none (and gives module functions no
// module object), so there the function's own definition and the module
// name it carries tell.
inline bool is_c_function(PyObject* o, const char* module, const char* function) {
    if (Py_TYPE(o) != &PyCFunction_Type) return false;  // no PyCFunction_CheckExact before 3.9
#ifdef RT_PY2
    // The name it carries (__module__) is anybody's to set; where its code
    // lives is not: the module's own shared object, or the interpreter for
    // a module built into it.
    PyCFunctionObject* f = reinterpret_cast<PyCFunctionObject*>(o);
    if (!f->m_ml || !f->m_ml->ml_name || std::strcmp(f->m_ml->ml_name, function) != 0) return false;
    Dl_info code, interpreter;
    if (!dladdr(reinterpret_cast<void*>(f->m_ml->ml_meth), &code) || !code.dli_fname ||
        !dladdr(reinterpret_cast<void*>(&PyBaseObject_Type), &interpreter))
        return false;
    if (code.dli_fbase == interpreter.dli_fbase) return true;
    const char* file = std::strrchr(code.dli_fname, '/');
    file = file ? file + 1 : code.dli_fname;
    const size_t n = std::strlen(module);
    return std::strncmp(file, module, n) == 0 && file[n] == '.';
#else
    PyObject* self = PyCFunction_GET_SELF(o);
    if (!self || !PyModule_CheckExact(self)) return false;
    PyModuleDef* def = PyModule_GetDef(self);
    if (!def) {
        PyErr_Clear();
        return false;
    }
    const char* name = def->m_name;
    const char* dot = name ? std::strrchr(name, '.') : nullptr;
    if (!name || std::strcmp(dot ? dot + 1 : name, module) != 0) return false;
    for (const PyMethodDef* m = def->m_methods; m && m->ml_name; ++m)
        if (std::strcmp(m->ml_name, function) == 0) return m->ml_meth == PyCFunction_GET_FUNCTION(o);
    return false;
#endif
}

// Threads ---------------------------------------------------------------------

// Lets a thread that waits for the interpreter have it. 3's lock goes to a
// thread that has asked for it; 2.7's to whichever thread takes it first,
// nearly always the one that has just let it go, so there a thread that
// could be waiting is given a moment (2.7's own switches, a hundred times
// as frequent, let it in by chance).
inline void hand_over() {
#ifdef RT_PY2
    PyThreadState* self = PyThreadState_Get();
    const bool others = PyInterpreterState_ThreadHead(self->interp) != self || PyThreadState_Next(self);
    Py_BEGIN_ALLOW_THREADS
    if (others) {
        timespec pause = {0, 100000};
        nanosleep(&pause, nullptr);
    }
    Py_END_ALLOW_THREADS
#else
    Py_BEGIN_ALLOW_THREADS
    Py_END_ALLOW_THREADS
#endif
}

// The builtins module's name.
constexpr const char* kBuiltinsModule = kPython2 ? "__builtin__" : "builtins";

// Modules and imports ----------------------------------------------------------

// sys.modules[name] as a new reference, or NULL (and no exception).
inline PyObject* imported_module(PyObject* name) {
#ifdef RT_PY2
    PyObject* m = PyDict_GetItem(PyImport_GetModuleDict(), name);
    Py_XINCREF(m);
    return m;
#else
    PyObject* m = PyImport_GetModule(name);
    if (!m) PyErr_Clear();
    return m;
#endif
}

// The import statement: on 2 an implicit relative import is tried first.
inline PyObject* import_module(const char* name, PyObject* globals, PyObject* fromlist) {
#ifdef RT_PY2
    return PyImport_ImportModuleLevel(const_cast<char*>(name), globals, nullptr, fromlist, -1);
#else
    PyObject* n = PyUnicode_FromString(name);
    if (!n) return nullptr;
    PyObject* m = PyImport_ImportModuleLevelObject(n, globals, nullptr, fromlist, 0);
    Py_DECREF(n);
    return m;
#endif
}

// The ImportError of "from module import name" when the name is missing.
// path: the module's file or NULL; initializing: the module is still being
// imported (a circular import).
inline void cannot_import_name(PyObject* name, PyObject* modname, PyObject* path, bool initializing) {
#ifdef RT_PY2
    (void)modname;
    (void)path;
    (void)initializing;
    set_error(PyExc_ImportError, "cannot import name %S", name);
#else
    PyObject* shown = modname ? modname : PyUnicode_FromString("<unknown module name>");
    if (!modname && !shown) return;
    PyObject* msg = !path ? PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name, shown)
                    : initializing
                        ? PyUnicode_FromFormat("cannot import name %R from partially initialized module %R "
                                               "(most likely due to a circular import) (%S)",
                                               name, shown, path)
                        : PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, shown, path);
    if (!modname) Py_DECREF(shown);
    if (!msg) return;
    PyErr_SetImportError(msg, modname, path);
    Py_DECREF(msg);
#if PY_VERSION_HEX >= 0x030C0000
    // since 3.12 the error records the missing name too
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && PyObject_SetAttrString(value, "name_from", name) < 0) PyErr_Clear();
    PyErr_Restore(type, value, tb);
#endif
#endif
}

// A module's file name as a str, or NULL (no exception).
inline PyObject* module_file(PyObject* module) {
#ifdef RT_PY2
    char* f = PyModule_GetFilename(module);
    if (!f) {
        PyErr_Clear();
        return nullptr;
    }
    return PyString_FromString(f);
#else
    PyObject* f = PyModule_GetFilenameObject(module);
    if (!f || !PyUnicode_Check(f)) {
        PyErr_Clear();
        Py_XDECREF(f);
        return nullptr;
    }
    return f;
#endif
}

// "from package import name" falls back to sys.modules["package.name"] on 3
// (for circular imports) but not on 2.
constexpr bool kFromImportTriesSysModules = !kPython2;

// Star imports check the type of each name on 3 only.
inline bool star_import_checks_names() { return !kPython2; }

// Calls ------------------------------------------------------------------------

// callable(*args[:nargs], **kwnames): args[-1] is free for the callee on 3;
// kwnames is a tuple of names whose values follow the positional arguments.
inline PyObject* call(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* kwnames) {
#ifdef RT_PY2
    PyObject* t = PyTuple_New(nargs);
    if (!t) return nullptr;
    for (size_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(t, i, args[i]);
    }
    PyObject* kw = nullptr;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        kw = PyDict_New();
        for (Py_ssize_t k = 0; kw && k < PyTuple_GET_SIZE(kwnames); ++k)
            if (PyDict_SetItem(kw, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) Py_CLEAR(kw);
        if (!kw) {
            Py_DECREF(t);
            return nullptr;
        }
    }
    PyObject* r = PyObject_Call(callable, t, kw);
    Py_DECREF(t);
    Py_XDECREF(kw);
    return r;
#else
    return RT_VECTORCALL(callable, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
#endif
}

// func(self, *args): args[0] is self, nothing before it is free.
inline PyObject* call_unbound(PyObject* func, PyObject* const* args, size_t nargs, PyObject* kwnames) {
#ifdef RT_PY2
    return call(func, args, nargs, kwnames);
#else
    return RT_VECTORCALL(func, args, nargs, kwnames);
#endif
}

// Whether attribute look-up on objects of this type may be done by hand
// (the generic look-up, no __getattribute__ or __getattr__ of Python code),
// and which functions may be called without a bound method.
inline bool generic_getattr(PyTypeObject* t) { return t->tp_getattro == PyObject_GenericGetAttr; }
inline bool is_method_descriptor(PyObject* descr) {
#ifdef RT_PY2
    (void)descr;
    return false;  // methods are called bound, as 2 always does
#else
    return PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR);
#endif
}

// Binding a function to an instance (a descriptor's __get__); on 2 a look-up
// on the class gives an unbound method, which checks its first argument.
inline PyObject* bind_method(PyObject* func, PyObject* obj, PyObject* type) {
#ifdef RT_PY2
    if (obj == Py_None) obj = nullptr;
    return PyMethod_New(func, obj, type);
#else
    (void)type;
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(func);
        return func;
    }
    return PyMethod_New(func, obj);
#endif
}

// Classes ----------------------------------------------------------------------

// The metaclass a class statement with this one base uses: on 2 a
// __metaclass__ entry of the class body, else the base's __class__ (a classic
// base gives a classic class); on 3 the base's type. New reference.
inline PyObject* metaclass_of(PyObject* base, PyObject* body) {
#ifdef RT_PY2
    PyObject* meta = PyDict_Check(body) ? PyDict_GetItemString(body, "__metaclass__") : nullptr;
    if (meta) {
        Py_INCREF(meta);
        return meta;
    }
    meta = PyObject_GetAttrString(base, "__class__");
    if (meta) return meta;
    PyErr_Clear();
#else
    (void)body;
#endif
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(base));
    Py_INCREF(t);
    return t;
}
// Whether the metaclass gives the namespace (__prepare__, 3 only).
constexpr bool kHasPrepare = !kPython2;

// The native function type -------------------------------------------------------

#ifdef RT_PY2
using vectorcall_slot = void*;
#else
using vectorcall_slot = vectorcallfunc;
#endif

// How the interpreter calls the native function type: through the
// vectorcall slot at `offset` on 3, through tp_call (args tuple, kwargs
// dict) on 2.
inline void set_call_slots(PyTypeObject& t, Py_ssize_t offset, ternaryfunc tp_call) {
#ifdef RT_PY2
    (void)offset;
    t.tp_call = tp_call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#else
    (void)tp_call;
    t.tp_vectorcall_offset = offset;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | RT_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#endif
}
// What PyVarObject_HEAD_INIT(NULL, 0) does, for a type built in code.
inline void init_static_type_head(PyTypeObject* t) {
#if !defined(RT_PY2) && PY_VERSION_HEX >= 0x03090000
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(t), 1);
#else
    reinterpret_cast<PyObject*>(t)->ob_refcnt = 1;
#endif
}

inline Py_ssize_t vectorcall_nargs(size_t nargsf) {
#ifdef RT_PY2
    return static_cast<Py_ssize_t>(nargsf);
#else
    return PyVectorcall_NARGS(nargsf);
#endif
}

// Errors -------------------------------------------------------------------------

// A function's repr names it by its qualified name on 3, its name on 2.
inline PyObject* repr_name(PyObject* name, PyObject* qualname) {
#ifdef RT_PY2
    (void)qualname;
    return name;
#else
    (void)name;
    return qualname;
#endif
}

// Argument errors name the function by the name it was defined with on 2
// and up to 3.9 (assigning __name__ later does not change it), by its
// qualified name as it is now since 3.10.
inline PyObject* call_error_name(PyObject* defined_name, PyObject* qualname) {
#if !defined(RT_PY2) && PY_VERSION_HEX >= 0x030A0000
    (void)defined_name;
    return qualname;
#else
    (void)qualname;
    return defined_name;
#endif
}

// 2 checks the number of positional arguments before the keywords, 3 after
// them; on 2 a function without parameters counts keywords among the
// arguments too many ("f() takes no arguments (1 given)").
inline bool too_many_before_keywords(Py_ssize_t argcount, Py_ssize_t nargs, Py_ssize_t nkeywords) {
#ifdef RT_PY2
    return nargs > argcount || (argcount == 0 && nkeywords > 0);
#else
    (void)argcount;
    (void)nargs;
    (void)nkeywords;
    return false;
#endif
}

#ifdef RT_PY2
// 2 writes its argument errors from C strings: the function's name cut at
// 200 bytes, a keyword at 400, a byte-string keyword as it is and a unicode
// one in the default encoding with '?' for what that cannot encode.
inline const char* error_text(PyObject* s) { return PyString_AsString(s); }
inline PyObject* keyword_text(PyObject* keyword) {
    if (PyString_Check(keyword)) {
        Py_INCREF(keyword);
        return keyword;
    }
    return PyUnicode_AsEncodedString(keyword, nullptr, "replace");
}
inline void keyword_error(const char* format, PyObject* fname, PyObject* keyword) {
    PyObject* text = keyword_text(keyword);
    if (!text) return;
    PyErr_Format(PyExc_TypeError, format, error_text(fname), error_text(text));
    Py_DECREF(text);
}
#endif

// The TypeError of a call with more positional arguments than parameters.
inline void too_many_positional(PyObject* fname, Py_ssize_t argcount, Py_ssize_t defcount, Py_ssize_t given,
                                Py_ssize_t kwgiven) {
#ifdef RT_PY2
    if (argcount == 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", error_text(fname), given + kwgiven);
        return;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %s %zd argument%s (%zd given)", error_text(fname),
                 defcount ? "at most" : "exactly", argcount, argcount == 1 ? "" : "s", given + kwgiven);
#else
    (void)kwgiven;
    if (defcount)
        set_error(PyExc_TypeError, "%S() takes from %zd to %zd positional arguments but %zd %s given", fname,
                  argcount - defcount, argcount, given, given == 1 ? "was" : "were");
    else
        set_error(PyExc_TypeError, "%S() takes %zd positional argument%s but %zd %s given", fname, argcount,
                  argcount == 1 ? "" : "s", given, given == 1 ? "was" : "were");
#endif
}

// The TypeError of a call that leaves parameters without a value. slots:
// the values bound so far (NULL where missing), params: the names.
inline void missing_arguments(PyObject* fname, PyObject* params, PyObject* const* slots, Py_ssize_t required,
                              Py_ssize_t defcount) {
#ifdef RT_PY2
    Py_ssize_t given = 0;
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(params); ++j)
        if (slots[j]) ++given;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %s %zd argument%s (%zd given)", error_text(fname),
                 defcount ? "at least" : "exactly", required, required == 1 ? "" : "s", given);
#else
    (void)defcount;
    // 'a', 'a' and 'b', 'a', 'b', and 'c'
    PyObject* text = PyUnicode_FromString("");
    Py_ssize_t missing = 0, seen = 0;
    for (Py_ssize_t i = 0; i < required; ++i)
        if (!slots[i]) ++missing;
    for (Py_ssize_t i = 0; text && i < required; ++i) {
        if (slots[i]) continue;
        ++seen;
        const char* sep = seen == 1 ? "" : missing == 2 ? " and " : seen == missing ? ", and " : ", ";
        PyObject* next = PyUnicode_FromFormat("%U%s%R", text, sep, PyTuple_GET_ITEM(params, i));
        Py_DECREF(text);
        text = next;
    }
    if (!text) return;
    set_error(PyExc_TypeError, "%S() missing %zd required positional argument%s: %S", fname, missing,
              missing == 1 ? "" : "s", text);
    Py_DECREF(text);
#endif
}

inline void keywords_must_be_strings(PyObject* fname) {
#ifdef RT_PY2
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", error_text(fname));
#else
    set_error(PyExc_TypeError, "%S() keywords must be strings", fname);
#endif
}

// 3.13 suggests the closest parameter name for an unexpected keyword, with
// the same algorithm as its NameError suggestions.
inline void unexpected_keyword(PyObject* fname, PyObject* params, PyObject* keyword) {
#ifdef RT_PY2
    (void)params;
    keyword_error("%.200s() got an unexpected keyword argument '%.400s'", fname, keyword);
#else
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* suggestion = nullptr;
    PyObject* module = PyImport_ImportModule("_suggestions");
    PyObject* candidates = module ? PySequence_List(params) : nullptr;
    if (candidates)
        suggestion = PyObject_CallMethod(module, "_generate_suggestions", "OO", candidates, keyword);
    Py_XDECREF(candidates);
    Py_XDECREF(module);
    if (suggestion && suggestion != Py_None) {
        set_error(PyExc_TypeError, "%S() got an unexpected keyword argument '%S'. Did you mean '%S'?", fname, keyword,
                  suggestion);
        Py_DECREF(suggestion);
        return;
    }
    PyErr_Clear();
    Py_XDECREF(suggestion);
#else
    (void)params;
#endif
    set_error(PyExc_TypeError, "%S() got an unexpected keyword argument '%S'", fname, keyword);
#endif
}

inline void multiple_values(PyObject* fname, PyObject* keyword) {
#ifdef RT_PY2
    keyword_error("%.200s() got multiple values for keyword argument '%.400s'", fname, keyword);
#else
    set_error(PyExc_TypeError, "%S() got multiple values for argument '%S'", fname, keyword);
#endif
}

// The exception of runaway recursion.
inline PyObject* recursion_error() {
#ifdef RT_PY2
    return PyExc_RuntimeError;
#else
    return PyExc_RecursionError;
#endif
}

// Message of ZeroDivisionError for float division.
inline const char* float_division_by_zero() {
#if !defined(RT_PY2) && PY_VERSION_HEX >= 0x030E0000
    return "division by zero";
#else
    return "float division by zero";
#endif
}

// The pending exception, taken out and put back (3.12 replaced the triple).
class SavedError {
#if !defined(RT_PY2) && PY_VERSION_HEX >= 0x030C0000
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

// The NameError of a missing global. On 2 a function says "global name";
// since 3.10 the error carries the name (used for suggestions).
inline void name_error(PyObject* name, bool in_function) {
#ifdef RT_PY2
    set_error(PyExc_NameError, in_function ? "global name '%S' is not defined" : "name '%S' is not defined", name);
#else
    (void)in_function;
    set_error(PyExc_NameError, "name '%S' is not defined", name);
#if PY_VERSION_HEX >= 0x030A0000
    SavedError e;
    if (e.value() && PyObject_SetAttrString(e.value(), "name", name) < 0) PyErr_Clear();
    e.restore();
#endif
#endif
}

// Unpacking: a, b = value.
inline void too_many_values_to_unpack(PyObject* value, int expected) {
#ifdef RT_PY2
    (void)value;
    (void)expected;
    PyErr_SetString(PyExc_ValueError, "too many values to unpack");
#else
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
#endif
}
inline void not_enough_values_to_unpack(int expected, int got) {
#ifdef RT_PY2
    (void)expected;
    PyErr_Format(PyExc_ValueError, "need more than %d value%s to unpack", got, got == 1 ? "" : "s");
#else
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", expected, got);
#endif
}
// The TypeError of unpacking something that is not iterable: 3 says so in
// its own words, 2 lets iter() raise.
inline bool unpack_names_non_iterables() { return !kPython2; }

// Arithmetic -------------------------------------------------------------------

// The module's `/` where the module uses classic division: 2's `/`, which
// -Qnew turns into true division for every module, as the eval loop does
// for each `/` it runs by reading _Py_QnewFlag (private, 2.2 to 2.7, gone in
// 3). -Qwarn and -Qwarnall (Py_DivisionWarningFlag) need nothing here: the
// numbers' own classic division warns.
inline PyObject* classic_divide(PyObject* a, PyObject* b) {
#ifdef RT_PY2
    return _Py_QnewFlag ? PyNumber_TrueDivide(a, b) : PyNumber_Divide(a, b);
#else
    return PyNumber_TrueDivide(a, b);
#endif
}

// Output -----------------------------------------------------------------------

// The print statement (2) or function (3) with one text: print(text).
// On 3 the global `print` is called through `call_print`; on 2 the statement
// writes to sys.stdout, and raises RuntimeError when it is missing.
inline bool print_is_a_statement() { return kPython2; }
inline int print_line(const char* text) {
#ifdef RT_PY2
    // The item, then the newline, each to sys.stdout found anew; a blank
    // first when a `print x,` left the softspace flag set.
    for (int newline = 0; newline < 2; ++newline) {
        PyObject* out = PySys_GetObject(const_cast<char*>("stdout"));
        if (!out) {
            PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
            return -1;
        }
        Py_INCREF(out);
        int r;
        if (newline) {
            r = PyFile_WriteString("\n", out);
            if (r == 0) PyFile_SoftSpace(out, 0);
        } else {
            r = PyFile_SoftSpace(out, 0) ? PyFile_WriteString(" ", out) : 0;
            if (r == 0) r = PyFile_WriteString(text, out);
            const size_t n = std::strlen(text);
            if (r == 0 && (n == 0 || !std::isspace(static_cast<unsigned char>(text[n - 1])) || text[n - 1] == ' '))
                PyFile_SoftSpace(out, 1);
        }
        Py_DECREF(out);
        if (r) return r;
    }
    return 0;
#else
    (void)text;
    return 0;
#endif
}

// Module initialisation ------------------------------------------------------------

#ifdef RT_PY2
// 2 leaves a module whose initialiser failed in sys.modules, where the next
// import would find it half built; as for a .py module that fails, it is
// removed (3's import machinery does so itself). run(m): 0 or -1.
template <class Run>
inline void init_module(PyObject* m, Run run) {
    if (!m) return;
    // its key in sys.modules, taken before the body can change __name__
    PyObject* name = PyString_FromString(PyModule_GetName(m));
    if (!name) return;
    Py_INCREF(m);  // kept while the body runs, even if the body drops it from sys.modules
    const bool failed = run(m) < 0;
    SavedError e;
    if (failed) {
        PyObject* modules = PyImport_GetModuleDict();
        if (PyDict_GetItem(modules, name) && PyDict_DelItem(modules, name) < 0) PyErr_Clear();
    }
    Py_DECREF(m);
    Py_DECREF(name);
    e.restore();
}
#endif

}  // namespace compat
}  // namespace rt

// The module's entry point: initNAME on 2, PyInit_NAME with multi-phase
// initialisation on 3; both run the module body.
#ifdef RT_PY2
#define RT_COMPAT_MODULE(NAME, DOC, BODY)                                                           \
    RT_MODINIT_FUNC init##NAME(void) {                                                              \
        ::rt::compat::init_module(Py_InitModule3(#NAME, nullptr, DOC),                              \
                                  [](PyObject* m) { return ::rt::run_module_body(m, BODY); });      \
    }
#else
#define RT_COMPAT_MODULE(NAME, DOC, BODY)                                                           \
    static int NAME##_exec(PyObject* m) { return ::rt::run_module_body(m, BODY); }                  \
    static PyModuleDef_Slot NAME##_slots[] = {{Py_mod_exec, (void*)NAME##_exec}, {0, nullptr}};   \
    static PyModuleDef NAME##_def = {PyModuleDef_HEAD_INIT, #NAME, DOC, 0, nullptr,                 \
                                     NAME##_slots, nullptr, nullptr, nullptr};                      \
    RT_MODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&NAME##_def); }
#endif
