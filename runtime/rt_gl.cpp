#include "rt_gl.hpp"

#include <dlfcn.h>

namespace rt {
namespace gl {

namespace {

// The library PyOpenGL calls into, or NULL when it cannot be told.
void* gl_library() {
    PyObject* platform = PyImport_GetModule(RT_ID("OpenGL.platform"));
    if (!platform) {
        PyErr_Clear();
        return nullptr;
    }
    Ref p = Ref::steal(platform);
    try {
        Ref h = p.attr(RT_ID("PLATFORM")).attr(RT_ID("GL")).attr(RT_ID("_handle"));
        void* lib = PyLong_AsVoidPtr(h.ptr());
        if (PyErr_Occurred()) throw Error();
        return lib;
    } catch (const Error&) {
        PyErr_Clear();
        return nullptr;
    }
}

}  // namespace

template <class T>
void Call3<T>::resolve() {
    resolved_ = true;
    PyObject* module = PyImport_GetModule(RT_ID("OpenGL.GL"));
    if (!module) {
        PyErr_Clear();
        return;
    }
    Ref gl = Ref::steal(module);
    void* lib = gl_library();
    Ref genuine;
    try {
        genuine = gl.maybe_attr(name_);
    } catch (const Error&) {
        PyErr_Clear();
    }
    if (!lib || !genuine) return;
    void* fn = dlsym(lib, symbol_);
    if (!fn) return;
    genuine_ = genuine.release();
    fn_ = reinterpret_cast<void (*)(T, T, T)>(fn);
}

template class Call3<float>;
template class Call3<double>;

}  // namespace gl
}  // namespace rt
