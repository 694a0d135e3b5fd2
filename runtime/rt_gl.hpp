// GL entry points of three numbers, for use between glBegin and glEnd.
//
// They are module globals looked up at every call, so a recorder or any
// other substitute is called as it is. While the global is still PyOpenGL's
// own function, the C entry point that it wraps is called directly: between
// glBegin and glEnd PyOpenGL makes no error check of its own, so the call is
// the same, without the Python layer around it.
#pragma once

#include "rt.hpp"

namespace rt {
namespace gl {

template <class T>
class Call3 {
    PyObject* name_;
    const char* symbol_;
    PyObject* genuine_ = nullptr;  // PyOpenGL's object, kept so its identity stays valid
    void (*fn_)(T, T, T) = nullptr;
    bool resolved_ = false;

    void resolve();

  public:
    // global: the module global's name; symbol: the C function it wraps.
    Call3(const char* global, const char* symbol) : name_(intern(global)), symbol_(symbol) {}

    void operator()(const Env& g, double x, double y, double z) {
        Ref f = g[name_];
        if (!resolved_) resolve();
        if (fn_ && f.ptr() == genuine_) {
            fn_(static_cast<T>(x), static_cast<T>(y), static_cast<T>(z));
            return;
        }
        f(x, y, z);
    }

    // The same with the arguments as objects, which a substitute receives
    // unchanged (an int stays an int).
    void operator()(const Env& g, Obj x, Obj y, Obj z) {
        Ref f = g[name_];
        if (!resolved_) resolve();
        if (fn_ && f.ptr() == genuine_) {
            fn_(static_cast<T>(x.to_double()), static_cast<T>(y.to_double()), static_cast<T>(z.to_double()));
            return;
        }
        f(x, y, z);
    }
};

extern template class Call3<float>;
extern template class Call3<double>;

// glPushMatrix(); body(); glPopMatrix() -- the pop also when body raises.
template <class Body>
void with_matrix(const Env& g, Body&& body) {
    bracket([&] { g[RT_ID("glPushMatrix")](); }, [&] { g[RT_ID("glPopMatrix")](); }, body);
}

// glPushAttrib(GL_ALL_ATTRIB_BITS); body(); glPopAttrib(), likewise.
template <class Body>
void with_all_attribs(const Env& g, Body&& body) {
    bracket([&] { g[RT_ID("glPushAttrib")](g[RT_ID("GL_ALL_ATTRIB_BITS")]); }, [&] { g[RT_ID("glPopAttrib")](); },
            body);
}

// glBegin(<the global named mode>); body(); glEnd(), likewise.
template <class Body>
void begin(const Env& g, PyObject* mode, Body&& body) {
    bracket([&] { g[RT_ID("glBegin")](g[mode]); }, [&] { g[RT_ID("glEnd")](); }, body);
}

}  // namespace gl
}  // namespace rt
