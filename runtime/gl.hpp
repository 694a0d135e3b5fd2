// GL calls from native drawing code.
//
// Literal path: every GL function is a module global looked up at each
// call, so a recorder or any other substitute is called as it is. While the
// global is still PyOpenGL's own function and the arguments are plain
// numbers, the C function it wraps is called directly, followed by the
// check PyOpenGL would make: none between glBegin and glEnd, glGetError
// after the call elsewhere (raising PyOpenGL's GLError). When PyOpenGL
// checks in a way only its own wrapper can (context checking), the wrapper
// is called.
//
// Kernels: once a guard has seen that every GL global a kernel uses is
// PyOpenGL's own, the kernel calls C directly (Kernel below), with the same
// checks and the same clean-up on the way out.
#pragma once

#include "guard.hpp"

#include <climits>
#include <tuple>

namespace rt {
namespace gl {

// How PyOpenGL checks GL errors at this moment.
enum class Check { none, get_error, wrapper };
Check error_check();

// glGetError() through C (0 when PyOpenGL's checking is off).
unsigned error_code();
// PyOpenGL's GLError for a non-zero code, as its own check raises it.
[[noreturn]] void raise_error(unsigned code, PyObject* operation, Obj arguments);

namespace detail {
// The C entry of a GL global when the global holds PyOpenGL's own function.
void* resolve(PyObject* name, const char* symbol, PyObject* value);

inline bool from_py(PyObject* o, double& out) {
    if (PyFloat_Check(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    return compat::is_int(o) && compat::int_to_double(o, out);
}
inline bool from_py(PyObject* o, float& out) {
    double d;
    if (!from_py(o, d)) return false;
    out = static_cast<float>(d);
    return true;
}
inline bool from_py(PyObject* o, unsigned& out) {
    long long v;
    if (!compat::is_int(o) || !compat::int_value(o, v) || v < 0 || v > UINT_MAX) return false;
    out = static_cast<unsigned>(v);
    return true;
}
}  // namespace detail

// A GL function global of the module.
class FuncBase : public Name {
  public:
    FuncBase(const char* global, const char* symbol) : Name(global), symbol_(symbol) {}
    // At import, after the star import of OpenGL.GL.
    void remember(const Env& g) {
        PyObject* v = compat::dict_get(g.globals().ptr(), str());
        if (!v && PyErr_Occurred()) raise();
        set_genuine(v);
        fn_ = detail::resolve(str(), symbol_, v);
    }
    // The global still holds PyOpenGL's own function, whose C entry is known.
    bool direct(const Env& g) { return fn_ && g.genuine(*this); }

  protected:
    const char* symbol_;
    void* fn_ = nullptr;
};

// C... are the C function's parameters.
template <class... C>
class Func : public FuncBase {
    using Fn = void (*)(C...);

  public:
    using FuncBase::FuncBase;
    // The C function itself; for kernels, after direct().
    void c(C... v) const { reinterpret_cast<Fn>(fn_)(v...); }

    // The literal call, name(*args): the global is looked up first, then
    // the arguments are evaluated: G::glVertex3f(g)({x, y, z}).
    class Call {
        Func& f_;
        Ref obj_;

      public:
        Call(Func& f, Ref obj) : f_(f), obj_(std::move(obj)) {}
        void operator()() const { (*this)(Args()); }
        void operator()(const Args& args) const {
            if (f_.fn_ && obj_.ptr() == f_.genuine() && args.size() == sizeof...(C) && !args.nkw()) {
                std::tuple<C...> values;
                if (convert(args, values, std::index_sequence_for<C...>())) {
                    const Check check = error_check();
                    if (check != Check::wrapper) {
                        std::apply(reinterpret_cast<Fn>(f_.fn_), values);
                        if (check == Check::get_error) {
                            if (unsigned code = error_code()) raise_error(code, f_.genuine(), tuple(args));
                        }
                        return;
                    }
                }
            }
            obj_(args);
        }
    };
    Call operator()(const Env& g) { return Call(*this, g[*this]); }

  private:
    template <size_t... I>
    static bool convert(const Args& args, std::tuple<C...>& out, std::index_sequence<I...>) {
        return (detail::from_py(args[I], std::get<I>(out)) && ...);
    }
};

// The GL globals every drawing module uses.
extern Func<> glPushMatrix, glPopMatrix, glPopAttrib, glEnd;
extern Func<unsigned> glPushAttrib, glBegin;
extern Name GL_ALL_ATTRIB_BITS;

// Remembers the GL globals above and those given, at import.
void remember(const Env& g, std::initializer_list<FuncBase*> more = {});

// glPushMatrix(); body(); glPopMatrix() -- the pop also when body raises.
template <class Body>
void with_matrix(const Env& g, Body&& body) {
    bracket([&] { glPushMatrix(g)(); }, [&] { glPopMatrix(g)(); }, body);
}

// glPushAttrib(GL_ALL_ATTRIB_BITS); body(); glPopAttrib(), likewise.
template <class Body>
void with_all_attribs(const Env& g, Body&& body) {
    bracket([&] { glPushAttrib(g)(g[GL_ALL_ATTRIB_BITS]); }, [&] { glPopAttrib(g)(); }, body);
}

// glBegin and glEnd as PyOpenGL's own wrappers do them: they tell its error
// checker that glGetError is off limits in between.
void begin(const Env& g, Name& mode);
void end(const Env& g);

// glBegin(<the global named mode>); body(); glEnd(), likewise.
template <class Body>
void begin(const Env& g, Name& mode, Body&& body) {
    bracket([&] { begin(g, mode); }, [&] { end(g); }, body);
}

// GL calls of a kernel: straight to C, checked as PyOpenGL checks.
class Kernel {
    bool checked_;

  public:
    // Whether the kernel may run: PyOpenGL's checking can be done from C and
    // every function given is PyOpenGL's own.
    template <class... F>
    static bool available(const Env& g, F&... funcs) {
        return (funcs.direct(g) && ...) && error_check() != Check::wrapper;
    }
    Kernel() : checked_(error_check() == Check::get_error) {}

    // The check after a call outside glBegin/glEnd; the arguments are only
    // made into objects for the error.
    template <class... V>
    void after(const Name& f, V... values) const {
        if (!checked_) return;
        if (unsigned code = error_code()) {
            Ref args = tuple({values...});
            raise_error(code, f.genuine(), args);
        }
    }
    // The clean-up of an exception: the call, and its error swallowed as the
    // literal path's clean-up swallows it.
    void drain() const {
        if (checked_) error_code();
    }

    template <class Body>
    void matrix(Body&& body) const {
        glPushMatrix.c();
        after(glPushMatrix);
        OnError undo([&] {
            glPopMatrix.c();
            drain();
        });
        body();
        undo.dismiss();
        glPopMatrix.c();
        after(glPopMatrix);
    }
    template <class Body>
    void attribs(unsigned mask, Body&& body) const {
        glPushAttrib.c(mask);
        after(glPushAttrib, static_cast<long long>(mask));
        OnError undo([&] {
            glPopAttrib.c();
            drain();
        });
        body();
        undo.dismiss();
        glPopAttrib.c();
        after(glPopAttrib);
    }
    template <class Body>
    void primitive(unsigned mode, Body&& body) const {
        glBegin.c(mode);
        OnError undo([&] {
            glEnd.c();
            drain();
        });
        body();
        undo.dismiss();
        glEnd.c();
        after(glEnd);
    }
};

// The value of a GL constant global as a C enum, when it is a plain int.
bool enum_value(const Env& g, Name& constant, unsigned& out);

}  // namespace gl
}  // namespace rt
