// GL calls from native drawing code.
//
// Literal path: every GL function is a module global looked up at each
// call, so a recorder or any other substitute is called as it is. When the
// global is PyOpenGL's own function for the C entry point (told from the
// object itself: its ctypes function, the entry it calls, its error check,
// no logging or context-checking wrapper) and the arguments are numbers of
// exact types, the C function is called directly, followed by the check
// PyOpenGL's error checker would make.
//
// Kernels: once a guard has seen that every GL global a kernel uses is
// PyOpenGL's own and PyOpenGL's checking can be made from C (Kernel below),
// the kernel calls C directly, with the same checks, the same GLError, and
// the same clean-up on the way out.
#pragma once

#include "guard.hpp"
#include "numpy.hpp"

#include <climits>
#include <initializer_list>
#include <tuple>

namespace rt {
namespace gl {

// How PyOpenGL's error checker checks at this moment:
//   none       no check (checking off, or inside the caller's glBegin);
//   get_error  glGetError after the call, GLError for a non-zero code;
//   unknown    a check only PyOpenGL itself can make (context checks, a
//              checker or checking function other than its own).
enum class Check { none, get_error, unknown };

// The error checker a GL function reports to, and its state. Read without
// running Python code.
struct Checker {
    Ref object;  // PyOpenGL's checker, or empty when checking is off
    Check check = Check::unknown;
    bool in_begin = false;  // between PyOpenGL's glBegin and glEnd
    void read();

  private:
    void read_now();
};

// glGetError() through C.
unsigned error_code();
// PyOpenGL's GLError for a non-zero code, as its own check raises it: the
// code, no result, the arguments as the caller passed them, the ctypes
// function as the operation.
[[noreturn]] void raise_error(const Checker& c, unsigned code, Obj operation, Obj arguments);

namespace detail {
inline bool to_c(PyObject* o, double& out) { return np::exact_number(o, out); }
inline bool to_c(PyObject* o, float& out) {
    double d;
    if (!np::exact_number(o, d)) return false;
    out = static_cast<float>(d);
    return true;
}
// An int whose conversion by ctypes reads its value (an exact int, or a
// subclass such as PyOpenGL's constants that keeps int's conversions).
bool to_c(PyObject* o, unsigned& out);
}  // namespace detail

// A GL function global of the module, for the C entry point `symbol`.
class FuncBase : public Name {
  public:
    enum class Kind { plain, begin, end, vertex };
    FuncBase(const char* global, const char* symbol, Kind kind = Kind::plain)
        : Name(global), symbol_(symbol), kind_(kind) {}

    // `value` is PyOpenGL's own function for this entry point; its ctypes
    // function and checker are then at hand.
    bool genuine(Obj value);
    // The global, read as a guard reads it, is genuine.
    bool direct(const Env& g) {
        Ref v = g.peek(*this);
        return v && genuine(v);
    }
    void* entry() const { return fn_; }
    Obj cfunc() const { return cf_; }
    Obj checker() const { return checker_; }

  protected:
    const char* symbol_;
    Kind kind_;
    void* fn_ = nullptr;
    // the last object found genuine
    Kept obj_, cf_, checker_;
    Kept held_, wrapper_;  // glBegin/glEnd: the wrapper's base and wrapper functions
    ObjectFacts wrapper_facts_, checker_facts_;  // and what they were read from
    compat::Seen seen_;

    bool check(Obj value);
};

// C... are the C function's parameters.
template <class... C>
class Func : public FuncBase {
    using Fn = void (*)(C...);

  public:
    using FuncBase::FuncBase;
    // The C function itself; for kernels, after the guard.
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
            if (args.size() == sizeof...(C) && !args.nkw() && f_.genuine(obj_)) {
                std::tuple<C...> values;
                if (convert(args, values, std::index_sequence_for<C...>())) {
                    Checker state;
                    state.object = Ref::borrow(f_.checker_.ptr());
                    state.read();
                    if (state.check != Check::unknown) {
                        std::apply(reinterpret_cast<Fn>(f_.fn_), values);
                        if (state.check == Check::get_error) {
                            if (unsigned code = error_code()) raise_error(state, code, f_.cf_, tuple(args));
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
        return (detail::to_c(args[I], std::get<I>(out)) && ...);
    }
};

// The GL globals every drawing module uses.
extern Func<> glPushMatrix, glPopMatrix, glPopAttrib, glEnd;
extern Func<unsigned> glPushAttrib, glBegin;
extern Name GL_ALL_ATTRIB_BITS;

// At import, after the star import of OpenGL.GL: what PyOpenGL's own
// functions are made of (its package, its GL library, its checker).
void init();

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

// The value of a GL constant global as a C enum, with the object itself,
// read as a guard reads it.
bool enum_value(const Env& g, Name& constant, unsigned& out, Ref* object = nullptr);

// GL calls of a kernel: straight to C, checked as PyOpenGL checks.
class Kernel {
    Checker state_;

  public:
    // Whether the kernel may run now: every function given is PyOpenGL's
    // own, they share one error checker, and its checking can be made from
    // C outside a glBegin of the caller's.
    bool use(const Env& g, FuncBase* const* funcs, size_t n);
    bool use(const Env& g, std::initializer_list<FuncBase*> funcs) { return use(g, funcs.begin(), funcs.size()); }
    Obj checker() const { return state_.object; }

    // The check after a call outside glBegin/glEnd. `args` makes the
    // arguments as the literal call would have passed them (only for the
    // error).
    template <class MakeArgs>
    void after(const FuncBase& f, MakeArgs&& args) const {
        if (state_.check != Check::get_error) return;
        if (unsigned code = error_code()) {
            Ref a = args();
            raise_error(state_, code, f.cfunc(), a);
        }
    }
    void after(const FuncBase& f) const {
        after(f, [] { return tuple(); });
    }
    // The clean-up of an exception: the call, and its error swallowed as the
    // literal path's clean-up swallows it.
    void drain() const {
        if (state_.check == Check::get_error) error_code();
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
    // glPushAttrib(mask) ... glPopAttrib(); `constant` is the mask's global.
    template <class Body>
    void attribs(unsigned mask, Obj constant, Body&& body) const {
        glPushAttrib.c(mask);
        after(glPushAttrib, [&] { return tuple(constant); });
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

// A kernel's drawing that can finish on the literal path: it starts in C
// when its guard holds, and at a yield point where the guard no longer
// holds it goes on with literal calls from there. Every bracket closes the
// way calls are made at that moment.
class Drawing {
    static constexpr int kMax = 12;
    const Env& g_;
    Kernel k_;
    FuncBase* funcs_[kMax];
    int nfuncs_ = 0;
    bool native_ = false;
    int open_ = 0;  // glBegin blocks opened in C

  public:
    Drawing(const Env& g, std::initializer_list<FuncBase*> funcs) : g_(g) {
        for (FuncBase* f : funcs)
            if (nfuncs_ < kMax) funcs_[nfuncs_++] = f;
        native_ = funcs.size() <= static_cast<size_t>(kMax) && check();
    }
    bool native() const { return native_; }
    const Kernel& kernel() const { return k_; }
    // At a yield point: on in C while every function is still PyOpenGL's
    // own and `holds`, the rest of the kernel's guard.
    void recheck(bool holds) {
        if (native_ && !(holds && check())) give_way();
    }
    void give_way();

    template <class Body>
    void matrix(Body&& body) {
        if (native_) {
            glPushMatrix.c();
            k_.after(glPushMatrix);
        } else {
            glPushMatrix(g_)();
        }
        OnError undo([&] {
            if (!native_) return glPopMatrix(g_)();
            glPopMatrix.c();
            k_.drain();
        });
        body();
        undo.dismiss();
        if (!native_) return glPopMatrix(g_)();
        glPopMatrix.c();
        k_.after(glPopMatrix);
    }
    // glPushAttrib(<mask_global>) ... glPopAttrib()
    template <class Body>
    void attribs(Name& mask_global, unsigned mask, Obj mask_object, Body&& body) {
        if (native_) {
            glPushAttrib.c(mask);
            k_.after(glPushAttrib, [&] { return tuple(mask_object); });
        } else {
            glPushAttrib(g_)(g_[mask_global]);
        }
        OnError undo([&] {
            if (!native_) return glPopAttrib(g_)();
            glPopAttrib.c();
            k_.drain();
        });
        body();
        undo.dismiss();
        if (!native_) return glPopAttrib(g_)();
        glPopAttrib.c();
        k_.after(glPopAttrib);
    }
    // glBegin(<mode_global>) ... glEnd()
    template <class Body>
    void primitive(Name& mode_global, unsigned mode, Body&& body) {
        if (!native_) return begin(g_, mode_global, body);
        glBegin.c(mode);
        ++open_;
        OnError undo([&] {
            if (open_) --open_;
            if (!native_) return end(g_);
            glEnd.c();
            k_.drain();
        });
        body();
        undo.dismiss();
        if (open_) --open_;
        if (!native_) return end(g_);
        glEnd.c();
        k_.after(glEnd);
    }
    // f(*args): in C with `values`, or the literal call with the objects
    // args() makes (also the arguments of a GLError).
    template <class F, class MakeArgs, class... V>
    void call(F& f, MakeArgs&& args, V... values) {
        if (!native_) return f(g_)(args());
        f.c(values...);
        if (!open_) k_.after(f, [&] { return tuple(args()); });
    }

  private:
    bool check() {
        k_ = Kernel();
        for (int i = 0; i < nfuncs_; ++i)
            if (!funcs_[i]) return false;
        return k_.use(g_, funcs_, static_cast<size_t>(nfuncs_));
    }
};

}  // namespace gl
}  // namespace rt
