// GL entry points called from native drawing code.
//
// Every entry is a module global looked up at each call, so a recorder or
// any other substitute is called as it is. While the global is still
// PyOpenGL's own function, the C function that it wraps is called directly,
// followed by the same error check that PyOpenGL would make: none between
// glBegin and glEnd, glGetError after the call elsewhere (raising PyOpenGL's
// GLError). When PyOpenGL checks in a way that only its own wrapper can (its
// context checking), the wrapper is called.
#pragma once

#include <tuple>

#include "rt.hpp"

namespace rt {
namespace gl {

namespace detail {

enum class Check { none, get_error, wrapper };

// How PyOpenGL checks GL errors at this moment.
Check error_check();
// glGetError() through C, and PyOpenGL's GLError for a non-zero code.
void check_error(PyObject* operation, Ref (*arguments)(const void*), const void* values);
// PyOpenGL's own object for a GL global and the C function it wraps, or NULLs.
void resolve(PyObject* name, const char* symbol, PyObject** genuine, void** fn);

template <class C>
C to_c(double v) { return static_cast<C>(v); }
template <class C>
C to_c(int v) { return static_cast<C>(v); }
template <class C>
C to_c(Obj v) { return static_cast<C>(v.to_double()); }

}  // namespace detail

template <class... A>
class Entry {
    PyObject* name_;
    const char* symbol_;
    bool inside_begin_;
    PyObject* genuine_ = nullptr;  // PyOpenGL's object, kept so its identity stays valid
    void (*fn_)(A...) = nullptr;
    bool resolved_ = false;

  public:
    // global: the module global's name; symbol: the C function it wraps;
    // inside_begin: only ever called between glBegin and glEnd.
    Entry(const char* global, const char* symbol, bool inside_begin = false)
        : name_(intern(global)), symbol_(symbol), inside_begin_(inside_begin) {}

    // Values are doubles, ints or objects; a substitute receives them as
    // Python objects (an int stays an int).
    template <class... V>
    void operator()(const Env& g, const V&... values) {
        static_assert(sizeof...(V) == sizeof...(A), "wrong number of GL arguments");
        Ref f = g[name_];
        if (!resolved_) {
            void* fn = nullptr;
            detail::resolve(name_, symbol_, &genuine_, &fn);
            fn_ = reinterpret_cast<void (*)(A...)>(fn);
            resolved_ = true;
        }
        if (fn_ && f.ptr() == genuine_) {
            const detail::Check check = inside_begin_ ? detail::Check::none : detail::error_check();
            if (check != detail::Check::wrapper) {
                fn_(detail::to_c<A>(values)...);
                if (check == detail::Check::get_error) {
                    const std::tuple<const V&...> args(values...);
                    detail::check_error(
                        genuine_, [](const void* p) {
                            return std::apply([](const V&... v) { return tuple(v...); },
                                              *static_cast<const std::tuple<const V&...>*>(p));
                        },
                        &args);
                }
                return;
            }
        }
        f(values...);
    }
};

// glPushMatrix(); body(); glPopMatrix() -- the pop also when body raises.
template <class Body>
void with_matrix(const Env& g, Body&& body) {
    static Entry<> push("glPushMatrix", "glPushMatrix"), pop("glPopMatrix", "glPopMatrix");
    bracket([&] { push(g); }, [&] { pop(g); }, body);
}

// glPushAttrib(GL_ALL_ATTRIB_BITS); body(); glPopAttrib(), likewise.
template <class Body>
void with_all_attribs(const Env& g, Body&& body) {
    bracket([&] { g[RT_ID("glPushAttrib")](g[RT_ID("GL_ALL_ATTRIB_BITS")]); }, [&] { g[RT_ID("glPopAttrib")](); },
            body);
}

namespace detail {
// glBegin and glEnd as PyOpenGL's own wrappers do them: they tell its error
// checker that glGetError is off limits in between.
void begin(const Env& g, PyObject* mode);
void end(const Env& g);
}  // namespace detail

// glBegin(<the global named mode>); body(); glEnd(), likewise.
template <class Body>
void begin(const Env& g, PyObject* mode, Body&& body) {
    bracket([&] { detail::begin(g, mode); }, [&] { detail::end(g); }, body);
}

}  // namespace gl
}  // namespace rt
