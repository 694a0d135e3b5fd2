// Spirelet: a lit Koch tetrahedron fractal drawn with fixed-function OpenGL.
//
// The three drawing methods reach each other through self, so a subclass
// override is the one called; every GL and math name is a module global
// looked up when used. Whatever a method pushes or begins is closed again
// if an exception passes through it. When every name is the genuine one and
// no method is overridden, the recursion runs as a native kernel.
#include <cmath>

#include "rt.hpp"

using rt::Env;
using rt::Name;
using rt::Obj;
using rt::Ref;
namespace gl = rt::gl;

static const char kModuleDoc[] =
    "\n"
    "Created on Sat Feb 14 15:43:06 2015\n"
    "\n"
    "@author: the Spirelet maintainers\n";

static const char kInitDoc[] =
    "\n"
    "        This init method gets called after OpenGL context creation. This is\n"
    "        because glut doesn't create opengl context until a window is actually \n"
    "        created. On the other hand python's __init__ gets called during object\n"
    "        instantiation which might happen before opengl context is created.\n"
    "        ";

static const char kDrawSceneDoc[] =
    "\n"
    "        View class takes care of setting the projection matrix and lookat.\n"
    "        Adding them here would override those calls and won't let mouse/keyboard\n"
    "        to work...because the mouse and keyboard functions only know about the View's api.\n"
    "        ";

// The module's globals, looked up at the moment of use.
namespace G {
Name sys("sys"), Model("Model"), View("View"), Framepane("Framepane"), Spirelet("Spirelet"), initGL("initGL"),
    sqrt("sqrt"), acos("acos"), pi("pi"), gluSphere("gluSphere"), glLightfv("glLightfv"), glutInit("glutInit"),
    glutInitDisplayMode("glutInitDisplayMode"), glutMainLoop("glutMainLoop"), GLUT_DOUBLE("GLUT_DOUBLE"),
    GLUT_RGB("GLUT_RGB"), GLUT_DEPTH("GLUT_DEPTH"), GL_LIGHT0("GL_LIGHT0"), GL_POSITION("GL_POSITION"),
    GL_TRIANGLES("GL_TRIANGLES");
gl::Func<double, double, double> glTranslate("glTranslate", "glTranslated"), glScale("glScale", "glScaled"),
    glVertex("glVertex", "glVertex3d", gl::FuncBase::Kind::vertex);
gl::Func<double, double, double, double> glRotate("glRotate", "glRotated");
gl::Func<float, float, float> glScalef("glScalef", "glScalef"), glNormal3f("glNormal3f", "glNormal3f");
}  // namespace G

namespace {

// The recursion counts `level` down to 0 by subtracting 1. For a level of
// the built-in number types, whose == and - are the interpreter's own, the
// levels that never get there are known at once: negative ones, those that
// are not whole, and floats of 2**53 or more (subtracting 1 stops changing
// them). Those are refused before drawing. Any other level runs the literal
// recursion, which ends in RecursionError if it does not end.
void refuse_endless(Obj level, long minimum) {
    PyObject* v = level.ptr();
    long long n;
    if (rt::compat::is_exact_int(v)) {
        if (rt::compat::int_value(v, n) ? n >= minimum : level.compare(RT_NUM(0), Py_GT)) return;
        rt::raise_format(PyExc_ValueError, "level must be a whole number >= %ld, not %R", minimum, v);
    }
    double d;
    const bool builtin = PyFloat_CheckExact(v) || (rt::np::exact_number(v, d) && !rt::compat::is_int(v));
    if (!builtin || !rt::np::number_value(v, d)) return;
    if (!std::isfinite(d) || d != std::floor(d) || d < static_cast<double>(minimum) || d >= 9007199254740992.0)
        rt::raise_format(PyExc_ValueError, "level must be a whole number >= %ld and below 2**53, not %R", minimum, v);
}

// level == 0, as Python compares; plain ints without making objects.
bool level_is_zero(Obj level) {
    long long n;
    if (rt::compat::is_exact_int(level.ptr()) && rt::compat::int_value(level.ptr(), n)) return n == 0;
    return level.equals(RT_NUM(0));
}

// The module's arithmetic on the genuine functions, worked out in C: sqrt
// is math.sqrt (the C library's correctly rounded square root), acos is
// NumPy's arccos, whose value at 1/3 is taken from NumPy itself once.
bool genuine_sqrt(const Env& g) {
    static rt::CFunction sqrt("math", "sqrt");
    return sqrt.is(g.peek(G::sqrt));
}

struct Arccos {
    Ref ufunc;  // the genuine arccos its value came from
    double third = 0.0;
};
Arccos& arccos() {
    static Arccos* a = new Arccos();  // kept for the life of the process
    return *a;
}

// acos(1 / 3) when acos is NumPy's arccos and its value is known.
bool acos_third(const Env& g, double& out) {
    Ref f = g.peek(G::acos);
    if (!f || f.ptr() != arccos().ufunc.ptr()) return false;
    out = arccos().third;
    return true;
}

// The value of pi, a plain number.
bool pi_value(const Env& g, double& out) {
    Ref p = g.peek(G::pi);
    return p && rt::np::exact_number(p.ptr(), out);
}

// sqrt(3) / 2.0, sqrt(3) * 2 / 2.0, sqrt(3) / 2 and sqrt(3.0) / 2, each a
// new float: worked out in C while sqrt is math.sqrt, else as written.
enum class Root { half, whole, half_int, half_float_int };
double root_value(Root r) {
    const double s = std::sqrt(3.0);
    switch (r) {
        case Root::half: return s / 2.0;
        case Root::whole: return s * 2.0 / 2.0;
        default: return s / 2.0;
    }
}
Ref root(const Env& g, Root r) {
    if (genuine_sqrt(g)) return rt::to_ref(root_value(r));
    if (r == Root::half_float_int) return g[G::sqrt](RT_NUM(3.0)).truediv(RT_NUM(2));
    Ref s3 = g[G::sqrt](RT_NUM(3));
    if (r == Root::half) return s3.truediv(RT_NUM(2.0));
    if (r == Root::whole) return s3.mul(RT_NUM(2)).truediv(RT_NUM(2.0));
    return s3.truediv(RT_NUM(2));
}

// NumPy's arccos at 1/3, taken from NumPy once when acos is its own.
void fold_arccos(const Env& g) {
    Ref f = g.peek(G::acos);
    if (!f || !rt::np::genuine_ufunc(f.ptr(), "arccos")) return;
    Ref third = rt::to_ref(1.0 / 3.0);
    Ref a = Ref::steal_or_null(PyObject_CallFunctionObjArgs(f.ptr(), third.ptr(), nullptr));
    double v;
    if (a && rt::np::number_value(a.ptr(), v)) {
        arccos().ufunc = f;
        arccos().third = v;
    }
    PyErr_Clear();
}

// acos(1 / 3) * 180 / pi
Ref theta(const Env& g) {
    Ref f = g[G::acos];
    Ref third = rt::to_ref(1.0 / 3.0);
    Ref a;
    if (f.ptr() == arccos().ufunc.ptr()) {
        // numpy.float64 * 180 / pi: the arithmetic of doubles, when pi is a
        // plain number
        double p;
        Ref pi = g[G::pi];
        if (rt::np::exact_number(pi.ptr(), p)) return rt::np::float64(arccos().third * 180.0 / p);
        return rt::np::float64(arccos().third).mul(RT_NUM(180)).truediv(pi);
    } else {
        a = f(third);
        if (rt::np::genuine_ufunc(f.ptr(), "arccos")) {
            double v;
            if (rt::np::number_value(a.ptr(), v)) {
                arccos().ufunc = f;
                arccos().third = v;
            }
        }
    }
    return a.mul(RT_NUM(180)).truediv(g[G::pi]);
}

}  // namespace

// ---------------------------------------------------------------------------
// class Spirelet(Model)

static Ref Spirelet_init(const Env& g, Obj self) {
    g[G::Model].attr(RT_ID("init"))(self);
    g[G::initGL]();
    return rt::none();
}

static Ref Spirelet_basicTriangle(const Env& g, Obj) {
    G::glNormal3f(g)({RT_NUM(0), RT_NUM(0), RT_NUM(1)});
    G::glVertex(g)({RT_NUM(0), RT_NUM(0), RT_NUM(0)});
    G::glVertex(g)({RT_NUM(1.0), RT_NUM(0), RT_NUM(0)});
    G::glVertex(g)({RT_NUM(0.5), root(g, Root::half), RT_NUM(0)});
    return rt::none();
}

static Ref Spirelet_drawSpirelet(const Env& g, Obj self, Obj level);
static Ref Spirelet_drawTetrahedronWithoutBase(const Env& g, Obj self, Obj level);

// ---------------------------------------------------------------------------
// The recursion in C, for the genuine GL functions and the class's own
// methods. It counts its levels and checks the stack as the calls through
// the interpreter do, and issues exactly their GL calls and checks. At a
// yield point where the guard no longer holds, it goes on literally: every
// call from then on, in every frame still open, is the literal one.

namespace {

struct Fractal {
    Fractal(const Env& env, Obj s, gl::Drawing& drawing) : g(env), self(s), d(drawing) {}
    const Env& g;
    Obj self;
    gl::Drawing& d;
    rt::Pace pace;
    unsigned triangles = 0;
    double theta = 0.0;
    int kind = 0;  // the level's type: int, float, numpy.float64

    // What the recursion in C stands for; the value of theta with it.
    bool holds(Obj level = Obj()) {
        double a, p;
        unsigned mode;
        if (level) {
            double v;
            if (!rt::np::plain_number(level.ptr(), v, 1 << 30)) return false;
            kind = rt::compat::is_exact_int(level.ptr()) ? 0 : PyFloat_CheckExact(level.ptr()) ? 1 : 2;
        }
        if (!genuine_sqrt(g) || !acos_third(g, a) || !pi_value(g, p) ||
            !rt::own_method<Spirelet_drawSpirelet>(self, RT_ID("drawSpirelet")) ||
            !rt::own_method<Spirelet_drawTetrahedronWithoutBase>(self, RT_ID("drawTetrahedronWithoutBase")) ||
            !rt::own_method<Spirelet_basicTriangle>(self, RT_ID("basicTriangle")) ||
            !gl::enum_value(g, G::GL_TRIANGLES, mode))
            return false;
        // numpy.float64 * int / pi: the arithmetic of doubles
        const double t = a * 180.0 / p;
        if (level) {
            triangles = mode;
            theta = t;
            return true;
        }
        return mode == triangles && t == theta;
    }
    Ref level_object(long long v) const {
        if (kind == 0) return rt::to_ref(v);
        if (kind == 1) return rt::to_ref(static_cast<double>(v));
        return rt::np::float64(static_cast<double>(v));
    }

    void translate(double x, double y, double z, rt::Obj ax, Root ry, rt::Obj az) {
        d.call(G::glTranslate, [&] { return rt::Args{ax, root(g, ry), az}; }, x, y, z);
    }
    // the C values, and the constants the literal call passes
    void translate(double x, double y, double z, rt::Obj ax, rt::Obj ay, rt::Obj az) {
        d.call(G::glTranslate, [&] { return rt::Args{ax, ay, az}; }, x, y, z);
    }
    // glRotate(angle, 0.0, 0.0, 1.0)
    void turn(double a, rt::Obj angle) {
        d.call(G::glRotate, [&] { return rt::Args{angle, RT_NUM(0.0), RT_NUM(0.0), RT_NUM(1.0)}; }, a, 0.0, 0.0, 1.0);
    }
    void tilt() {
        d.call(G::glRotate, [&] { return rt::Args{::theta(g), RT_NUM(1.0), RT_NUM(0.0), RT_NUM(0.0)}; }, theta, 1.0,
               0.0, 0.0);
    }

    // The calls through self: in C, one level more as through the
    // interpreter; literal once the guard no longer holds.
    void triangle() {
        if (!d.native()) return (void)self.method(RT_ID("basicTriangle"))();
        rt::RecursionLevel call;
        G::glNormal3f.c(0.0f, 0.0f, 1.0f);
        G::glVertex.c(0.0, 0.0, 0.0);
        G::glVertex.c(1.0, 0.0, 0.0);
        G::glVertex.c(0.5, root_value(Root::half), 0.0);
    }
    void spirelet(long long level) {
        if (!d.native()) return (void)self.method(RT_ID("drawSpirelet"))(level_object(level));
        rt::RecursionLevel call;
        draw_spirelet(level);
    }
    void tetrahedron(long long level) {
        if (!d.native()) return (void)self.method(RT_ID("drawTetrahedronWithoutBase"))(level_object(level));
        rt::RecursionLevel call;
        draw_tetrahedron(level);
    }

    void draw_spirelet(long long level) {
        if (level == 0) {
            d.primitive(G::GL_TRIANGLES, triangles, [&] { triangle(); });
            if (pace.tick(6)) d.recheck(holds());
            return;
        }
        d.matrix([&] {
            const double third = 1.0 / 3.0;
            d.call(G::glScale, [] { return rt::Args{1.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0}; }, third, third, third);
            spirelet(level - 1);
            d.matrix([&] {
                translate(1.0, 0.0, 0.0, RT_NUM(1.0), RT_NUM(0.0), RT_NUM(0.0));
                spirelet(level - 1);
            });
            d.matrix([&] {
                translate(2.0, 0.0, 0.0, RT_NUM(2.0), RT_NUM(0.0), RT_NUM(0.0));
                spirelet(level - 1);
            });
            d.matrix([&] {
                translate(0.5, root_value(Root::half), 0.0, RT_NUM(0.5), Root::half, RT_NUM(0.0));
                spirelet(level - 1);
            });
            d.matrix([&] {
                translate(1.5, root_value(Root::half), 0.0, RT_NUM(1.5), Root::half, RT_NUM(0.0));
                spirelet(level - 1);
            });
            d.matrix([&] {
                translate(1.0, root_value(Root::whole), 0.0, RT_NUM(1.0), Root::whole, RT_NUM(0.0));
                spirelet(level - 1);
            });
            d.matrix([&] {
                translate(1.0, 0.0, 0.0, RT_NUM(1), RT_NUM(0), RT_NUM(0));
                tetrahedron(level);
            });
            d.matrix([&] {
                translate(2.0, 0.0, 0.0, RT_NUM(2), RT_NUM(0), RT_NUM(0));
                tetrahedron(level);
            });
            d.matrix([&] {
                translate(1.5, root_value(Root::half_int), 0.0, RT_NUM(1.5), Root::half_int, RT_NUM(0));
                tetrahedron(level);
            });
        });
    }
    void draw_tetrahedron(long long level) {
        d.matrix([&] {
            translate(-1.0, 0.0, 0.0, RT_NUM(-1), RT_NUM(0), RT_NUM(0));
            d.matrix([&] {
                translate(1.0, 0.0, 0.0, RT_NUM(1), RT_NUM(0), RT_NUM(0));
                turn(60.0, RT_NUM(60));
                tilt();
                spirelet(level - 1);
            });
            d.matrix([&] {
                translate(1.0, 0.0, 0.0, RT_NUM(1), RT_NUM(0), RT_NUM(0));
                turn(-60.0, RT_NUM(-60));
                translate(-1.0, 0.0, 0.0, RT_NUM(-1), RT_NUM(0), RT_NUM(0));
                tilt();
                spirelet(level - 1);
            });
            d.matrix([&] {
                translate(1.5, root_value(Root::half_float_int), 0.0, RT_NUM(1.5), Root::half_float_int, RT_NUM(0));
                turn(180.0, RT_NUM(180));
                tilt();
                spirelet(level - 1);
            });
        });
    }
};

// The kernel may run: every name genuine, the methods the class's own, the
// level a plain whole number. Runs it and says so.
bool draw_natively(const Env& g, Obj self, Obj level, bool tetrahedron) {
    double lv;
    if (!rt::np::plain_number(level.ptr(), lv, 1 << 30) || lv != std::floor(lv) || lv < (tetrahedron ? 1 : 0) ||
        !gl::glBegin.direct(g))  // the cheapest test first: it fails at every level with substitutes
        return false;
    gl::Drawing d(g, {&gl::glBegin, &gl::glEnd, &gl::glPushMatrix, &gl::glPopMatrix, &G::glNormal3f, &G::glVertex,
                      &G::glScale, &G::glTranslate, &G::glRotate});
    Fractal run(g, self, d);
    if (!d.native() || !run.holds(level)) return false;
    // the call into this method has counted its level already
    const long long n = static_cast<long long>(lv);
    if (tetrahedron)
        run.draw_tetrahedron(n);
    else
        run.draw_spirelet(n);
    return true;
}

}  // namespace

static Ref Spirelet_drawSpirelet(const Env& g, Obj self, Obj level) {
    refuse_endless(level, 0);
    if (draw_natively(g, self, level, false)) return rt::none();
    if (level_is_zero(level)) {
        gl::begin(g, G::GL_TRIANGLES, [&] { self.method(RT_ID("basicTriangle"))(); });
        return rt::none();
    }
    gl::with_matrix(g, [&] {
        G::glScale(g)({1.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0});
        self.method(RT_ID("drawSpirelet"))(level.sub(RT_NUM(1)));
        auto upright = [&](rt::Const x, const Root* y) {
            gl::with_matrix(g, [&] {
                if (y)
                    G::glTranslate(g)({x, root(g, *y), RT_NUM(0.0)});
                else
                    G::glTranslate(g)({x, RT_NUM(0.0), RT_NUM(0.0)});
                self.method(RT_ID("drawSpirelet"))(level.sub(RT_NUM(1)));
            });
        };
        const Root half = Root::half, whole = Root::whole;
        upright(RT_NUM(1.0), nullptr);
        upright(RT_NUM(2.0), nullptr);
        upright(RT_NUM(0.5), &half);
        upright(RT_NUM(1.5), &half);
        upright(RT_NUM(1.0), &whole);
        auto tetrahedron = [&](rt::Const x, bool raised) {
            gl::with_matrix(g, [&] {
                if (raised)
                    G::glTranslate(g)({x, root(g, Root::half_int), RT_NUM(0)});
                else
                    G::glTranslate(g)({x, RT_NUM(0), RT_NUM(0)});
                self.method(RT_ID("drawTetrahedronWithoutBase"))(level);
            });
        };
        tetrahedron(RT_NUM(1), false);
        tetrahedron(RT_NUM(2), false);
        tetrahedron(RT_NUM(1.5), true);
    });
    return rt::none();
}

static Ref Spirelet_drawTetrahedronWithoutBase(const Env& g, Obj self, Obj level) {
    refuse_endless(level, 1);
    if (draw_natively(g, self, level, true)) return rt::none();
    auto face = [&](auto&& place) {
        gl::with_matrix(g, [&] {
            place();
            G::glRotate(g)({theta(g), RT_NUM(1.0), RT_NUM(0.0), RT_NUM(0.0)});
            self.method(RT_ID("drawSpirelet"))(level.sub(RT_NUM(1)));
        });
    };
    gl::with_matrix(g, [&] {
        G::glTranslate(g)({RT_NUM(-1), RT_NUM(0), RT_NUM(0)});
        face([&] {
            G::glTranslate(g)({RT_NUM(1), RT_NUM(0), RT_NUM(0)});
            G::glRotate(g)({RT_NUM(60), RT_NUM(0.0), RT_NUM(0.0), RT_NUM(1.0)});
        });
        face([&] {
            G::glTranslate(g)({RT_NUM(1), RT_NUM(0), RT_NUM(0)});
            G::glRotate(g)({RT_NUM(-60), RT_NUM(0.0), RT_NUM(0.0), RT_NUM(1.0)});
            G::glTranslate(g)({RT_NUM(-1), RT_NUM(0), RT_NUM(0)});
        });
        face([&] {
            G::glTranslate(g)({RT_NUM(1.5), root(g, Root::half_float_int), RT_NUM(0)});
            G::glRotate(g)({RT_NUM(180), RT_NUM(0.0), RT_NUM(0.0), RT_NUM(1.0)});
        });
    });
    return rt::none();
}

static Ref Spirelet_draw_scene(const Env& g, Obj self) {
    g[G::glLightfv]({g[G::GL_LIGHT0], g[G::GL_POSITION], rt::list({-0.2, -0.1, 1.0, 1.0})});
    gl::with_matrix(g, [&] {
        G::glTranslate(g)({RT_NUM(0), RT_NUM(0), RT_NUM(0.5)});
        G::glScalef(g)({RT_NUM(0.0625), RT_NUM(0.0625), RT_NUM(0.0625)});
        g[G::gluSphere]({self.attr(RT_ID("pQuadric")), RT_NUM(0.5), RT_NUM(20), RT_NUM(20)});
    });
    gl::with_matrix(g, [&] {
        G::glTranslate(g)({RT_NUM(-0.5), g[G::sqrt](RT_NUM(3)).neg().truediv(RT_NUM(4)), RT_NUM(0)});
        self.method(RT_ID("drawSpirelet"))(RT_NUM(3));
    });
    return rt::none();
}

// ---------------------------------------------------------------------------

static Ref initGL_(const Env& g) {
    auto gl = [&](const char* name) { return g[rt::intern(name)]; };
    gl("glClearColor")({1.0, 1.0, 1.0, 1.0});
    gl("glClearDepth")(RT_NUM(1));
    gl("glDisable")(gl("GL_CULL_FACE"));
    gl("glEnable")(gl("GL_LIGHTING"));
    gl("glEnable")(gl("GL_NORMALIZE"));
    gl("glLightModelf")({gl("GL_LIGHT_MODEL_LOCAL_VIEWER"), gl("GL_TRUE")});
    gl("glLightfv")({gl("GL_LIGHT0"), gl("GL_POSITION"), rt::list({0.4, 0.5, 1.0, 1.0})});
    gl("glLightfv")({gl("GL_LIGHT0"), gl("GL_AMBIENT"), rt::list({1.0, 1.0, 1.0, 1.0})});
    gl("glLightfv")({gl("GL_LIGHT0"), gl("GL_DIFFUSE"), rt::list({1.0, 1.0, 1.0, 1.0})});
    gl("glLightfv")({gl("GL_LIGHT0"), gl("GL_SPECULAR"), rt::list({1.0, 1.0, 1.0, 1.0})});
    gl("glLightfv")({gl("GL_LIGHT0"), gl("GL_SPOT_DIRECTION"), rt::list({0, 0, 1})});
    gl("glLightf")({gl("GL_LIGHT0"), gl("GL_CONSTANT_ATTENUATION"), 1});
    gl("glLightf")({gl("GL_LIGHT0"), gl("GL_LINEAR_ATTENUATION"), 0.0});
    gl("glLightf")({gl("GL_LIGHT0"), gl("GL_QUADRATIC_ATTENUATION"), 0.05});
    gl("glEnable")(gl("GL_LIGHT0"));
    gl("glEnable")(gl("GL_DEPTH_TEST"));
    gl("glDepthFunc")(gl("GL_LESS"));
    gl("glShadeModel")(gl("GL_SMOOTH"));
    Ref matColor = rt::list({0.0, 0.9, 0.9, 1.0});
    Ref specColor = rt::list({0.9, 0.0, 0.0, 1.0});
    Ref ambColor = rt::list({0.1, 0.1, 0.1, 1.0});
    Ref nshininess = rt::list({128, 128.0, 128, 1});
    gl("glMaterialfv")({gl("GL_FRONT_AND_BACK"), gl("GL_DIFFUSE"), matColor});
    gl("glMaterialfv")({gl("GL_FRONT_AND_BACK"), gl("GL_SPECULAR"), specColor});
    gl("glMaterialfv")({gl("GL_FRONT_AND_BACK"), gl("GL_AMBIENT"), ambColor});
    gl("glMaterialfv")({gl("GL_FRONT_AND_BACK"), gl("GL_SHININESS"), nshininess});
    return rt::none();
}

static Ref main_(const Env& g) {
    g[G::glutInit]();
    g[G::glutInitDisplayMode](g[G::GLUT_DOUBLE].bit_or(g[G::GLUT_RGB]).bit_or(g[G::GLUT_DEPTH]));
    Ref cam_spec = rt::dict({{"eye", rt::list({0, -1, 1.5})},
                             {"center", rt::list({0, 0, 0})},
                             {"up", rt::list({0, 1, 0})},
                             {"fovy", rt::to_ref(40)},
                             {"aspect", rt::to_ref(1.0)},
                             {"near", rt::to_ref(0.01)},
                             {"far", rt::to_ref(200.0)}});
    Ref kp = g[G::Spirelet]();
    Ref cam = g[G::View]({kp, cam_spec});
    g[G::Framepane]({"Spirelet", cam, rt::kw(RT_ID("window_size"), rt::tuple({512, 512})),
                     rt::kw(RT_ID("window_pos"), rt::tuple({520, 0}))});
    g[G::glutMainLoop]();
    return rt::none();
}

// ---------------------------------------------------------------------------

static void module_body(const rt::Module& mod) {
    mod.import("sys");
    try {
        mod.import_star("OpenGL.GL");
        mod.import_star("OpenGL.GLU");
        mod.import_star("OpenGL.GLUT");
    } catch (const rt::Error&) {
        // Any failure, like a bare except; a failed start must not look like
        // success, hence the non-zero exit code.
        PyErr_Clear();
        const char* message = "ERROR: PyOpenGL not installed properly.";
        if (rt::compat::print_is_a_statement()) {
            if (rt::compat::print_line(message) < 0) rt::raise();
        } else {
            mod[RT_ID("print")](rt::to_ref(message));
        }
        mod[G::sys].attr(RT_ID("exit"))(RT_NUM(1));
    }
    mod.import_star("Stagehall");
    mod.import_star("Sketchkit");
    mod.import_from_as("numpy", RT_ID("arccos"), RT_ID("acos"));
    mod.import_from("numpy", {RT_ID("pi")});
    rt::np::init();
    gl::init();
    fold_arccos(mod.env());

    rt::ClassBuilder cls(mod, "Spirelet", mod[G::Model], nullptr);
    cls.def<Spirelet_init>({"init", "Spirelet.init", kInitDoc, {"self"}});
    cls.def<Spirelet_draw_scene>({"draw_scene", "Spirelet.draw_scene", kDrawSceneDoc, {"self"}});
    cls.def<Spirelet_basicTriangle>({"basicTriangle", "Spirelet.basicTriangle", nullptr, {"self"}});
    cls.def<Spirelet_drawSpirelet>({"drawSpirelet", "Spirelet.drawSpirelet", nullptr, {"self", "level"}});
    cls.def<Spirelet_drawTetrahedronWithoutBase>(
        {"drawTetrahedronWithoutBase", "Spirelet.drawTetrahedronWithoutBase", nullptr, {"self", "level"}});
    mod.set(RT_ID("Spirelet"), cls.create());
    mod.def<initGL_>({"initGL", "initGL", nullptr, {}});
    mod.def<main_>({"main", "main", nullptr, {}});

    if (mod[RT_ID("__name__")].equals("__main__")) mod[RT_ID("main")]();
    mod.set(RT_ID("__test__"), rt::dict());
}

RT_MODULE(Spirelet, kModuleDoc, module_body)
