#include "gl.hpp"

#include <dlfcn.h>

namespace rt {
namespace gl {

Func<> glPushMatrix("glPushMatrix", "glPushMatrix"), glPopMatrix("glPopMatrix", "glPopMatrix"),
    glPopAttrib("glPopAttrib", "glPopAttrib"), glEnd("glEnd", "glEnd");
Func<unsigned> glPushAttrib("glPushAttrib", "glPushAttrib"), glBegin("glBegin", "glBegin");
Name GL_ALL_ATTRIB_BITS("GL_ALL_ATTRIB_BITS");

namespace {

// The library PyOpenGL calls into, or NULL when it cannot be told.
void* gl_library() {
    static void* lib = nullptr;
    static bool looked = false;
    if (looked) return lib;
    PyObject* platform = compat::imported_module(RT_ID("OpenGL.platform"));
    if (!platform) {
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
    PyObject* errors = compat::imported_module(RT_ID("OpenGL.raw.GL._errors"));
    if (!errors) {
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

Check current_check(PyObject* d) {
    // The checker keeps the function it calls now in _currentChecker: the
    // plain glGetError, a no-op between glBegin and glEnd, or a
    // context-checking variant.
    PyObject* current = compat::dict_get(d, RT_ID("_currentChecker"));
    PyObject* get_errors = compat::dict_get(d, RT_ID("_getErrors"));
    if (!current || !get_errors) {
        PyErr_Clear();
        return Check::wrapper;
    }
    if (current == get_errors) return Check::get_error;
    PyObject* registered = compat::dict_get(d, RT_ID("_registeredChecker"));
    if (!registered) PyErr_Clear();
    // not the registered one: glBegin has switched checking off
    return current != registered ? Check::none : Check::wrapper;
}

// checker.onBegin() / checker.onEnd(), when PyOpenGL checks errors at all
void tell_checker(PyObject* method) {
    PyObject* c = checker();
    if (c && c != Py_None) Obj(c).attr(method)();
}

}  // namespace

namespace detail {

void* resolve(PyObject* name, const char* symbol, PyObject* value) {
    if (!value) return nullptr;
    PyObject* module = compat::imported_module(RT_ID("OpenGL.GL"));
    if (!module) {
        return nullptr;
    }
    Ref gl = Ref::steal(module);
    Ref own;
    try {
        own = gl.maybe_attr(name);
    } catch (const Error&) {
        PyErr_Clear();
    }
    void* lib = gl_library();
    if (!own || own.ptr() != value || !lib || !checker()) return nullptr;
    return dlsym(lib, symbol);
}

}  // namespace detail

Check error_check() {
    PyObject* c = checker();
    if (!c || c == Py_None) return Check::none;
    PyObject** dictptr = _PyObject_GetDictPtr(c);
    if (!dictptr || !*dictptr) return Check::wrapper;
    PyObject* d = *dictptr;
    // The answer changes only with the checker's dictionary.
    static PyObject* seen_dict = nullptr;
    static uint64_t seen_version = 0;
    static Check seen = Check::wrapper;
    const uint64_t version = compat::dict_version(d);
    if (version && d == seen_dict && version == seen_version) return seen;
    const Check check = current_check(d);
    seen_dict = d;
    seen_version = version;
    seen = check;
    return check;
}

unsigned error_code() {
    using GetError = unsigned (*)();
    static GetError get_error = nullptr;
    if (!get_error) {
        void* lib = gl_library();
        get_error = reinterpret_cast<GetError>(lib ? dlsym(lib, "glGetError") : nullptr);
        if (!get_error) raise(PyExc_RuntimeError, "glGetError is not available");
    }
    return get_error();
}

void raise_error(unsigned code, PyObject* operation, Obj arguments) {
    // what PyOpenGL's own check raises: its GLError with the code, no
    // result, the arguments and the operation
    Ref error = Obj(checker()).attr(RT_ID("_errorClass"))({static_cast<long long>(code), nullptr,
                                                          kw(RT_ID("cArguments"), arguments),
                                                          kw(RT_ID("baseOperation"), Obj(operation))});
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw Error();
}

void remember(const Env& g, std::initializer_list<FuncBase*> more) {
    for (FuncBase* f : {static_cast<FuncBase*>(&glPushMatrix), static_cast<FuncBase*>(&glPopMatrix),
                        static_cast<FuncBase*>(&glPushAttrib), static_cast<FuncBase*>(&glPopAttrib),
                        static_cast<FuncBase*>(&glBegin), static_cast<FuncBase*>(&glEnd)})
        f->remember(g);
    for (FuncBase* f : more) f->remember(g);
}

void begin(const Env& g, Name& mode) {
    Ref f = g[glBegin];
    Ref m = g[mode];
    unsigned value;
    if (!glBegin.direct(g) || f.ptr() != glBegin.genuine() || error_check() == Check::wrapper ||
        !detail::from_py(m.ptr(), value)) {
        f(m);
        return;
    }
    tell_checker(RT_ID("onBegin"));
    glBegin.c(value);
}

void end(const Env& g) {
    Ref f = g[glEnd];
    if (f.ptr() != glEnd.genuine() || !glEnd.direct(g) || error_check() == Check::wrapper) {
        f();
        return;
    }
    tell_checker(RT_ID("onEnd"));
    glEnd.c();
    switch (error_check()) {
        case Check::get_error:
            if (unsigned code = error_code()) raise_error(code, glEnd.genuine(), tuple());
            break;
        case Check::wrapper:  // a check only PyOpenGL itself knows how to make
            Obj(checker()).attr(RT_ID("glCheckError"))({nullptr, Obj(glEnd.genuine()), tuple()});
            break;
        case Check::none:
            break;
    }
}

bool enum_value(const Env& g, Name& constant, unsigned& out) {
    Ref v = g[constant];
    return detail::from_py(v.ptr(), out);
}

}  // namespace gl
}  // namespace rt
