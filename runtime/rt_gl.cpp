#include "rt_gl.hpp"

#include <dlfcn.h>

namespace rt {
namespace gl {
namespace detail {

namespace {

// The library PyOpenGL calls into, or NULL when it cannot be told.
void* gl_library() {
    static void* lib = nullptr;
    static bool looked = false;
    if (looked) return lib;
    PyObject* platform = PyImport_GetModule(RT_ID("OpenGL.platform"));
    if (!platform) {
        PyErr_Clear();
        return nullptr;  // not imported yet: look again next time
    }
    Ref p = Ref::steal(platform);
    looked = true;
    try {
        Ref h = p.attr(RT_ID("PLATFORM")).attr(RT_ID("GL")).attr(RT_ID("_handle"));
        lib = PyLong_AsVoidPtr(h.ptr());
        if (PyErr_Occurred()) throw Error();
    } catch (const Error&) {
        PyErr_Clear();
        lib = nullptr;
    }
    return lib;
}

// PyOpenGL's GL error checker (None when its error checking is off).
PyObject* checker() {
    static PyObject* obj = nullptr;
    if (obj) return obj;
    PyObject* errors = PyImport_GetModule(RT_ID("OpenGL.raw.GL._errors"));
    if (!errors) {
        PyErr_Clear();
        return nullptr;
    }
    Ref e = Ref::steal(errors);
    try {
        obj = e.attr(RT_ID("_error_checker")).release();
    } catch (const Error&) {
        PyErr_Clear();
    }
    return obj;
}

}  // namespace

void resolve(PyObject* name, const char* symbol, PyObject** genuine, void** fn) {
    PyObject* module = PyImport_GetModule(RT_ID("OpenGL.GL"));
    if (!module) {
        PyErr_Clear();
        return;
    }
    Ref gl = Ref::steal(module);
    void* lib = gl_library();
    Ref own;
    try {
        own = gl.maybe_attr(name);
    } catch (const Error&) {
        PyErr_Clear();
    }
    void* f = lib ? dlsym(lib, symbol) : nullptr;
    if (!own || !f || !checker()) return;
    *genuine = own.release();
    *fn = f;
}

Check error_check() {
    PyObject* c = checker();
    if (!c || c == Py_None) return Check::none;
    // The checker keeps the function it calls now in _currentChecker: the
    // plain glGetError, a no-op between glBegin and glEnd, or a
    // context-checking variant.
    PyObject* d = PyObject_GenericGetDict(c, nullptr);
    if (!d) {
        PyErr_Clear();
        return Check::wrapper;
    }
    Ref dict = Ref::steal(d);
    PyObject* current = PyDict_GetItemWithError(d, RT_ID("_currentChecker"));
    PyObject* get_errors = PyDict_GetItemWithError(d, RT_ID("_getErrors"));
    if (!current || !get_errors) {
        PyErr_Clear();
        return Check::wrapper;
    }
    if (current == get_errors) return Check::get_error;
    PyObject* registered = PyDict_GetItemWithError(d, RT_ID("_registeredChecker"));
    if (!registered) PyErr_Clear();
    // not the registered one: glBegin has switched checking off
    return current != registered ? Check::none : Check::wrapper;
}

void check_error(PyObject* operation, Ref (*arguments)(const void*), const void* values) {
    using GetError = unsigned (*)();
    static GetError get_error = nullptr;
    if (!get_error) {
        void* lib = gl_library();
        get_error = reinterpret_cast<GetError>(lib ? dlsym(lib, "glGetError") : nullptr);
        if (!get_error) raise(PyExc_RuntimeError, "glGetError is not available");
    }
    const unsigned code = get_error();
    if (!code) return;
    // what PyOpenGL's own check raises: its GLError with the code, no
    // result, the arguments and the operation
    Ref args = arguments(values);
    Ref error = Obj(checker()).attr(RT_ID("_errorClass"))(static_cast<long long>(code), nullptr,
                                                          kw(RT_ID("cArguments"), args),
                                                          kw(RT_ID("baseOperation"), Obj(operation)));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw Error();
}

namespace {

struct Resolved {
    bool done = false;
    PyObject* genuine = nullptr;
    void* fn = nullptr;

    bool is(Obj f, PyObject* name, const char* symbol) {
        if (!done) {
            resolve(name, symbol, &genuine, &fn);
            done = true;
        }
        return fn && f.ptr() == genuine;
    }
};

// checker.onBegin() / checker.onEnd(), when PyOpenGL checks errors at all
void tell_checker(PyObject* method) {
    PyObject* c = checker();
    if (c && c != Py_None) Obj(c).attr(method)();
}

}  // namespace

void begin(const Env& g, PyObject* mode) {
    static Resolved own;
    Ref f = g[RT_ID("glBegin")];
    Ref m = g[mode];
    if (!own.is(f, RT_ID("glBegin"), "glBegin") || error_check() == Check::wrapper) {
        f(m);
        return;
    }
    const Py_ssize_t value = m.to_index();
    tell_checker(RT_ID("onBegin"));
    reinterpret_cast<void (*)(unsigned)>(own.fn)(static_cast<unsigned>(value));
}

void end(const Env& g) {
    static Resolved own;
    Ref f = g[RT_ID("glEnd")];
    if (!own.is(f, RT_ID("glEnd"), "glEnd") || error_check() == Check::wrapper) {
        f();
        return;
    }
    tell_checker(RT_ID("onEnd"));
    reinterpret_cast<void (*)()>(own.fn)();
    switch (error_check()) {
        case Check::get_error:
            check_error(own.genuine, [](const void*) { return tuple(); }, nullptr);
            break;
        case Check::wrapper:  // a check only PyOpenGL itself knows how to make
            Obj(checker()).attr(RT_ID("glCheckError"))(nullptr, Obj(own.genuine), tuple());
            break;
        case Check::none:
            break;
    }
}

}  // namespace detail
}  // namespace gl
}  // namespace rt
