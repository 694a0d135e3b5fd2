#include "gl.hpp"

#include <dlfcn.h>

#include <cstring>

namespace rt {
namespace gl {

Func<> glPushMatrix("glPushMatrix", "glPushMatrix"), glPopMatrix("glPopMatrix", "glPopMatrix"),
    glPopAttrib("glPopAttrib", "glPopAttrib"), glEnd("glEnd", "glEnd", FuncBase::Kind::end);
Func<unsigned> glPushAttrib("glPushAttrib", "glPushAttrib"), glBegin("glBegin", "glBegin", FuncBase::Kind::begin);
Name GL_ALL_ATTRIB_BITS("GL_ALL_ATTRIB_BITS");

namespace {

// What PyOpenGL's functions are made of, found once at import.
struct Parts {
    Package opengl;                      // PyOpenGL's own source
    void* library = nullptr;             // the GL library its functions call into
    PyTypeObject* method_wrapper = nullptr;
    PyTypeObject* cfuncptr = nullptr;    // ctypes' function pointer type
    PyObject* errcheck = nullptr;        // its errcheck attribute (a C getter)
    bool ready = false;
};
Parts parts;

Ref module(const char* name) {
    Ref n = to_ref(name);
    return Ref::steal_or_null(compat::imported_module(n.ptr()));
}

// The C function a ctypes function pointer calls.
void* pointer_of(PyObject* cf) {
    Py_buffer view;
    if (PyObject_GetBuffer(cf, &view, PyBUF_SIMPLE) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    void* fn = view.len == static_cast<Py_ssize_t>(sizeof(void*)) ? *static_cast<void**>(view.buf) : nullptr;
    PyBuffer_Release(&view);
    return fn;
}

// The instance's own attribute, as a guard reads it (true: known).
bool peek_own(Obj o, PyObject* name, Ref& out) {
    Ref descr;
    if (!compat::generic_getattr(Py_TYPE(o.ptr())) || !peek_type_attr(Py_TYPE(o.ptr()), name, descr)) return false;
    // a class attribute that is not a descriptor (a default) is shadowed
    if (descr && Py_TYPE(descr.ptr())->tp_descr_get) return false;
    Ref dict = Ref::steal_or_null(compat::instance_dict(o.ptr()));
    if (!dict) return false;
    return peek_item(dict.ptr(), name, out);
}

// PyOpenGL's ctypes-level function for `symbol`, as its function objects
// hold it once loaded: a class of its own whose __call__ is the ctypes
// function's own call, with nothing (logging, context checks) around it.
// The type dictionary read goes into `seen`; `cf` and the error check's
// owner (`checker`, empty when checking is off) come back.
bool plain_function(PyObject* o, const char* symbol, Ref& cf, Ref& checker, compat::Seen& seen, void*& fn) {
    PyTypeObject* t = Py_TYPE(o);
    if (!compat::mutable_type(t) || Py_TYPE(t) != &PyType_Type) return false;
    Ref dict = Ref::steal_or_null(compat::type_dict(t)), call;
    if (!dict) return false;
    seen.add(dict.ptr());
    if (!peek_item(dict.ptr(), RT_ID("__call__"), call) || !call ||
        Py_TYPE(call.ptr()) != &PyStaticMethod_Type)
        return false;
    // staticmethod.__get__ gives what it wraps: the bound __call__ of a
    // ctypes function pointer, through ctypes' own call
    Ref wrapper = Ref::steal_or_null(PyStaticMethod_Type.tp_descr_get(call.ptr(), nullptr, reinterpret_cast<PyObject*>(t)));
    if (!wrapper || Py_TYPE(wrapper.ptr()) != parts.method_wrapper) {
        PyErr_Clear();
        return false;
    }
    Ref objclass = Ref::steal_or_null(PyObject_GetAttrString(wrapper.ptr(), "__objclass__"));
    Ref self = Ref::steal_or_null(PyObject_GetAttrString(wrapper.ptr(), "__self__"));
    Ref name = Ref::steal_or_null(PyObject_GetAttrString(wrapper.ptr(), "__name__"));
    PyErr_Clear();
    if (!objclass || objclass.ptr() != reinterpret_cast<PyObject*>(parts.cfuncptr) || !self ||
        !PyObject_TypeCheck(self.ptr(), parts.cfuncptr) || !name || !Obj(name).equals("__call__"))
        return false;
    void* entry = pointer_of(self.ptr());
    if (!entry || !parts.library || entry != dlsym(parts.library, symbol)) return false;
    // its error check: none, or PyOpenGL's own glCheckError of a checker
    Ref errcheck = Ref::steal_or_null(
        Py_TYPE(parts.errcheck)->tp_descr_get(parts.errcheck, self.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()))));
    if (!errcheck) {
        PyErr_Clear();
        return false;
    }
    if (errcheck.is_none()) {
        checker = Ref();
    } else {
        if (!PyMethod_Check(errcheck.ptr()) || !parts.opengl.defines(PyMethod_GET_FUNCTION(errcheck.ptr()), "glCheckError"))
            return false;
        checker = Ref::borrow(PyMethod_GET_SELF(errcheck.ptr()));
    }
    cf = self;
    fn = entry;
    return true;
}

// checker.<method> is PyOpenGL's own method, not shadowed by the instance.
bool own_checker_method(Obj checker, const char* method) {
    PyObject* name = std::strcmp(method, "onBegin") == 0 ? RT_ID("onBegin") : RT_ID("onEnd");
    Ref descr, shadow;
    PyTypeObject* t = Py_TYPE(checker.ptr());
    if (!compat::generic_getattr(t) || !peek_type_attr(t, name, descr) || !descr ||
        !parts.opengl.defines(descr.ptr(), method))
        return false;
    Ref dict = Ref::steal_or_null(compat::instance_dict(checker.ptr()));
    return dict && peek_item(dict.ptr(), name, shadow) && !shadow;
}

}  // namespace

void init() {
    if (parts.ready) return;
    Ref opengl = module("OpenGL");
    Ref platform = module("OpenGL.platform");
    Ref ctypes = Ref::steal_or_null(PyImport_ImportModule("_ctypes"));
    PyErr_Clear();
    if (!opengl || !platform || !ctypes) return;
    try {
        parts.opengl.locate(Ref::steal_or_null(compat::module_file(opengl.ptr())), 0);
        Ref handle = platform.attr(RT_ID("PLATFORM")).attr(RT_ID("GL")).attr(RT_ID("_handle"));
        parts.library = PyLong_AsVoidPtr(handle.ptr());
        if (PyErr_Occurred()) throw Error();
        parts.method_wrapper = Py_TYPE(Obj(Py_None).attr(RT_ID("__repr__")).ptr());
        Ref cfuncptr = ctypes.attr(RT_ID("CFuncPtr"));
        if (!PyType_Check(cfuncptr.ptr()) || compat::mutable_type(reinterpret_cast<PyTypeObject*>(cfuncptr.ptr())))
            return;
        parts.cfuncptr = reinterpret_cast<PyTypeObject*>(cfuncptr.ptr());
        Ref errcheck;
        if (!peek_type_attr(parts.cfuncptr, RT_ID("errcheck"), errcheck) || !errcheck ||
            !Py_TYPE(errcheck.ptr())->tp_descr_get || compat::mutable_type(Py_TYPE(errcheck.ptr())))
            return;
        parts.errcheck = errcheck.release();
        cfuncptr.release();  // kept for the life of the process
        parts.ready = true;
    } catch (const Error&) {
        PyErr_Clear();
    }
}

namespace detail {
bool to_c(PyObject* o, unsigned& out) {
    long long v;
    if (!compat::plain_int(o) || !compat::int_value(o, v) || v < 0 || v > UINT_MAX) return false;
    out = static_cast<unsigned>(v);
    return true;
}
}  // namespace detail

// Function objects ---------------------------------------------------------------

bool FuncBase::genuine(Obj value) {
    // what PyOpenGL's functions are: objects of classes made for them, or
    // for glVertex a function
    PyTypeObject* t = Py_TYPE(value.ptr());
    if (!parts.ready || (kind_ == Kind::vertex ? !PyFunction_Check(value.ptr())
                                               : !compat::mutable_type(t) || Py_TYPE(t) != &PyType_Type))
        return false;
    // a function other than PyOpenGL's glVertex (its code's verdict is kept)
    if (kind_ == Kind::vertex && !parts.opengl.defines(value.ptr(), "glVertex")) return false;
    if (value.ptr() == obj_.ptr() && seen_.current()) {
        // what is not in a dictionary is read again: the error check of
        // the ctypes function, and a checker method shadowed meanwhile
        Ref errcheck = Ref::steal_or_null(
            Py_TYPE(parts.errcheck)->tp_descr_get(parts.errcheck, cf_.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(cf_.ptr()))));
        PyErr_Clear();
        const bool same = errcheck && (checker_.ptr() ? PyMethod_Check(errcheck.ptr()) &&
                                                      PyMethod_GET_SELF(errcheck.ptr()) == checker_.ptr() &&
                                                      parts.opengl.defines(PyMethod_GET_FUNCTION(errcheck.ptr()), "glCheckError")
                                                : errcheck.is_none());
        Ref wrapper, base;
        const bool lazy = kind_ == Kind::begin || kind_ == Kind::end;
        if (same && !lazy) return true;
        if (same && wrapper_facts_.unchanged(value) && (!checker_.ptr() || checker_facts_.unchanged(checker_)))
            return true;
        if (same && peek_own(value, RT_ID("wrapperFunction"), wrapper) && wrapper.ptr() == wrapper_.ptr() &&
            peek_own(value, RT_ID("baseFunction"), base) && base.ptr() == held_.ptr() &&
            (!checker_.ptr() || own_checker_method(checker_, kind_ == Kind::begin ? "onBegin" : "onEnd"))) {
            wrapper_facts_.take(value);
            if (checker_.ptr()) checker_facts_.take(checker_);
            return true;
        }
    }
    obj_ = Obj();
    return check(value);
}

bool FuncBase::check(Obj value) {
    compat::Seen seen;
    seen.begin();
    Ref cf, checker, held;
    void* fn = nullptr;
    PyObject* o = value.ptr();
    switch (kind_) {
        case Kind::plain:
            if (!plain_function(o, symbol_, cf, checker, seen, fn)) return false;
            break;
        case Kind::vertex: {
            // glVertex(*args): glVertexDispatch[len(args)](*args)
            if (!parts.opengl.defines(o, "glVertex")) return false;
            PyObject* globals = PyFunction_GET_GLOBALS(o);
            Ref table, entry, shadow, builtins, len;
            seen.add(globals);
            if (!peek_item(globals, RT_ID("glVertexDispatch"), table) || !table || !PyDict_CheckExact(table.ptr()))
                return false;
            seen.add(table.ptr());
            Py_ssize_t pos = 0;
            PyObject *key, *item;
            while (PyDict_Next(table.ptr(), &pos, &key, &item))
                if (!compat::is_exact_int(key)) return false;
            Ref three = to_ref(3);
            entry = Ref::borrow(PyDict_GetItem(table.ptr(), three.ptr()));
            if (!entry || !plain_function(entry.ptr(), symbol_, cf, checker, seen, fn)) return false;
            if (!peek_item(globals, RT_ID("len"), shadow) || shadow ||
                !peek_item(globals, RT_ID("__builtins__"), builtins) || !builtins)
                return false;
            PyObject* b = PyModule_Check(builtins.ptr()) ? PyModule_GetDict(builtins.ptr()) : builtins.ptr();
            seen.add(b);
            if (!peek_item(b, RT_ID("len"), len) || !c_function(len, compat::kBuiltinsModule, "len"))
                return false;
            break;
        }
        case Kind::begin:
        case Kind::end: {
            // a lazy wrapper: wrapperFunction(baseFunction, *args), where the
            // wrapper tells the checker and calls the base function
            const char* name = kind_ == Kind::begin ? "glBegin" : "glEnd";
            PyTypeObject* t = Py_TYPE(o);
            Ref call, wrapper, base, errors, owner;
            if (!compat::mutable_type(t) || Py_TYPE(t) != &PyType_Type || !compat::generic_getattr(t)) return false;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t->tp_mro); ++i) {
                PyTypeObject* b = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(t->tp_mro, i));
                Ref d = Ref::steal_or_null(compat::type_dict(b));
                if (!compat::mutable_type(b)) continue;
                if (!d) return false;
                seen.add(d.ptr());
            }
            if (!peek_type_attr(t, RT_ID("__call__"), call) || !parts.opengl.defines(call.ptr(), "__call__") ||
                !peek_own(value, RT_ID("wrapperFunction"), wrapper) || !parts.opengl.defines(wrapper.ptr(), name) ||
                !peek_own(value, RT_ID("baseFunction"), base) || !base)
                return false;
            // the wrapper's own attributes are read again at every use
            // (watchers do not see all changes of an object's dictionary)
            if (!plain_function(base.ptr(), symbol_, cf, checker, seen, fn)) return false;
            held = base;
            wrapper_ = wrapper;
            if (checker) {
                // the checker the wrapper tells is the one the base function reports to
                PyObject* globals = PyFunction_GET_GLOBALS(wrapper.ptr());
                seen.add(globals);
                if (!peek_item(globals, RT_ID("_errors"), errors) || !errors ||
                    !PyModule_CheckExact(errors.ptr()))
                    return false;
                PyObject* d = PyModule_GetDict(errors.ptr());
                seen.add(d);
                if (!peek_item(d, RT_ID("_error_checker"), owner) || owner.ptr() != checker.ptr() ||
                    !own_checker_method(checker, kind_ == Kind::begin ? "onBegin" : "onEnd"))
                    return false;
                PyTypeObject* ct = Py_TYPE(checker.ptr());
                for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(ct->tp_mro); ++i) {
                    PyTypeObject* b = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(ct->tp_mro, i));
                    Ref cd = Ref::steal_or_null(compat::type_dict(b));
                    if (!compat::mutable_type(b)) continue;
                    if (!cd) return false;
                    seen.add(cd.ptr());
                }
            }
            break;
        }
    }
    obj_ = Obj(o);
    cf_ = cf;
    checker_ = checker;
    held_ = held;
    seen_ = seen;
    fn_ = fn;
    return true;
}

// The error checker ----------------------------------------------------------------

namespace {
// The checker's glGetError: ctypes' own call of the C entry point.
bool get_error_function(PyObject* f) {
    static void* entry = parts.library ? dlsym(parts.library, "glGetError") : nullptr;
    return parts.ready && entry && PyObject_TypeCheck(f, parts.cfuncptr) && pointer_of(f) == entry;
}
}  // namespace

void Checker::read() {
    check = Check::unknown;
    in_begin = false;
    if (!object) {  // PyOpenGL checks nothing
        check = Check::none;
        return;
    }
    // the state last read, while the checker and its class are unchanged
    static ObjectFacts facts;
    static Check last_check;
    static bool last_in_begin;
    if (facts.unchanged(object)) {
        check = last_check;
        in_begin = last_in_begin;
        return;
    }
    read_now();
    facts.take(object);
    last_check = check;
    last_in_begin = in_begin;
}

void Checker::read_now() {
    Ref current, registered, get_errors, no_error;
    if (!peek_own(object, RT_ID("_currentChecker"), current) || !current ||
        !peek_own(object, RT_ID("_noErrorResult"), no_error) || !no_error || !compat::is_exact_int(no_error.ptr()))
        return;
    long long ok;
    if (!compat::int_value(no_error.ptr(), ok) || ok != 0) return;
    if (PyMethod_Check(current.ptr()) && PyMethod_GET_SELF(current.ptr()) == object.ptr() &&
        parts.opengl.defines(PyMethod_GET_FUNCTION(current.ptr()), "nullGetError")) {
        check = Check::none;
        in_begin = true;
        return;
    }
    if (peek_own(object, RT_ID("_getErrors"), get_errors) && current.ptr() == get_errors.ptr() &&
        peek_own(object, RT_ID("_registeredChecker"), registered) && registered.ptr() == current.ptr() &&
        get_error_function(current.ptr()))
        check = Check::get_error;
}

unsigned error_code() {
    using GetError = unsigned (*)();
    static GetError get_error = nullptr;
    if (!get_error) {
        get_error = reinterpret_cast<GetError>(parts.library ? dlsym(parts.library, "glGetError") : nullptr);
        if (!get_error) raise(PyExc_RuntimeError, "glGetError is not available");
    }
    return get_error();
}

void raise_error(const Checker& c, unsigned code, Obj operation, Obj arguments) {
    // what PyOpenGL's glCheckError raises: err as ctypes gives it (a C int),
    // the result of a void function (None), the arguments, the operation
    Ref error = c.object.attr(RT_ID("_errorClass"))({static_cast<long long>(static_cast<int>(code)), nullptr,
                                                    kw(RT_ID("cArguments"), arguments),
                                                    kw(RT_ID("baseOperation"), operation)});
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw Error();
}

// The literal path's glBegin and glEnd ------------------------------------------------

void begin(const Env& g, Name& mode) {
    Ref f = g[glBegin];
    Ref m = g[mode];
    unsigned value;
    Checker state;
    if (detail::to_c(m.ptr(), value) && glBegin.genuine(f)) {
        state.object = Ref::borrow(glBegin.checker().ptr());
        state.read();
    }
    if (state.check == Check::unknown) {
        f(m);
        return;
    }
    // the wrapper tells the checker, then calls the base function, whose
    // check is then off
    if (state.object) state.object.method(RT_ID("onBegin"))();
    glBegin.c(value);
}

void end(const Env& g) {
    Ref f = g[glEnd];
    Checker state;
    if (glEnd.genuine(f)) {
        state.object = Ref::borrow(glEnd.checker().ptr());
        state.read();
    }
    if (state.check == Check::unknown) {
        f();
        return;
    }
    if (state.object) state.object.method(RT_ID("onEnd"))();
    glEnd.c();
    state.read();  // after onEnd
    if (state.check == Check::get_error) {
        if (unsigned code = error_code()) raise_error(state, code, glEnd.cfunc(), tuple());
    } else if (state.check == Check::unknown) {
        // a check only PyOpenGL itself knows how to make
        state.object.attr(RT_ID("glCheckError"))({nullptr, glEnd.cfunc(), tuple()});
    }
}

bool enum_value(const Env& g, Name& constant, unsigned& out, Ref* object) {
    Ref v = g.peek(constant);
    if (!v || !detail::to_c(v.ptr(), out)) return false;
    if (object) *object = v;
    return true;
}

// Kernels ----------------------------------------------------------------------------

bool Kernel::use(const Env& g, FuncBase* const* funcs, size_t n) {
    PyObject* checker = nullptr;
    bool first = true;
    for (size_t i = 0; i < n; ++i) {
        FuncBase* f = funcs[i];
        if (!f->direct(g)) return false;
        if (first) checker = f->checker().ptr();
        if (f->checker().ptr() != checker) return false;
        first = false;
    }
    state_.object = Ref::borrow(checker);
    state_.read();
    // Inside the caller's glBegin the literal path's first glEnd raises
    // GLError and turns checking back on: left to the literal path.
    return state_.check != Check::unknown && !state_.in_begin;
}

void Drawing::give_way() {
    // A glBegin made in C told PyOpenGL's checker nothing; the literal
    // calls inside the block consult it, so it is told now, as PyOpenGL's
    // glBegin would have told it.
    if (native_ && open_ && k_.checker()) k_.checker().method(RT_ID("onBegin"))();
    native_ = false;
}

}  // namespace gl
}  // namespace rt
