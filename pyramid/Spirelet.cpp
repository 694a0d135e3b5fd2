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
    glVertex("glVertex", "glVertex3d");
gl::Func<double, double, double, double> glRotate("glRotate", "glRotated");
gl::Func<float, float, float> glScalef("glScalef", "glScalef"), glNormal3f("glNormal3f", "glNormal3f");
}  // namespace G

namespace {

// The recursion counts `level` down to 0 by subtracting 1, so anything but a
// whole number >= minimum would never end; refuse it before drawing. A float
// of 2**53 or more never gets there either: subtracting 1 stops changing it.
void check_level(Obj level, long minimum) {
    PyObject* v = level.ptr();
    long long n;
    if (rt::compat::is_exact_int(v)) {  // the common case, compared without making objects
        if (rt::compat::int_value(v, n) ? n >= minimum : level.compare(RT_NUM(0), Py_GT)) return;
        rt::raise_format(PyExc_ValueError, "level must be a whole number >= %ld, not %R", minimum, v);
    }
    if (PyIndex_Check(v) && !PyFloat_Check(v)) {
        Ref n = Ref::steal(PyNumber_Index(v));
        if (!n.compare(rt::to_ref(minimum), Py_GE))
            rt::raise_format(PyExc_ValueError, "level must be a whole number >= %ld, not %R", minimum, v);
        return;
    }
    if (!PyNumber_Check(v))
        rt::raise_format(PyExc_TypeError, "level must be a number, not '%.200s'", Py_TYPE(v)->tp_name);
    const double d = level.to_double();
    if (!std::isfinite(d) || d != std::floor(d) || d < static_cast<double>(minimum) || d >= 9007199254740992.0)
        rt::raise_format(PyExc_ValueError, "level must be a whole number >= %ld and below 2**53, not %R", minimum, v);
}

// Values of the module's arithmetic on genuine functions: sqrt and acos are
// pure, so what they gave once they give again. Each is the very object the
// expression makes (a float, or NumPy's float64 for acos), made once.
struct Folded {
    Ref half_root3;       // sqrt(3) / 2.0
    Ref root3;            // sqrt(3) * 2 / 2.0
    Ref half_root3_int;   // sqrt(3) / 2
    Ref half_root3f_int;  // sqrt(3.0) / 2
    Ref acos_180;         // acos(1 / 3) * 180
    Ref theta;            // acos(1 / 3) * 180 / pi
    PyObject* pi = nullptr;
};

// Kept for the life of the process: never destroyed after the interpreter.
Folded& folded() {
    static Folded* f = new Folded();
    return *f;
}

// sqrt(3) / 2.0 and friends: folded while sqrt is the genuine one, else
// evaluated as written.
Ref sqrt_expr(const Env& g, Ref Folded::*slot) {
    Folded& f = folded();
    if (g.genuine(G::sqrt) && f.*slot) return f.*slot;
    if (slot == &Folded::half_root3f_int) return g[G::sqrt](RT_NUM(3.0)).truediv(RT_NUM(2));
    Ref s3 = g[G::sqrt](RT_NUM(3));
    if (slot == &Folded::half_root3) return s3.truediv(RT_NUM(2.0));
    if (slot == &Folded::root3) return s3.mul(RT_NUM(2)).truediv(RT_NUM(2.0));
    return s3.truediv(RT_NUM(2));
}

// acos(1 / 3) * 180 / pi
Ref theta(const Env& g) {
    Folded& f = folded();
    if (g.genuine(G::acos) && f.acos_180) {
        if (g.genuine(G::pi) && f.theta) return f.theta;
        return f.acos_180.truediv(g[G::pi]);
    }
    return g[G::acos](RT_NUM(1.0 / 3.0)).mul(RT_NUM(180)).truediv(g[G::pi]);
}

// At import: the folded values of the genuine functions.
void fold(const Env& g) {
    Folded& f = folded();
    f = Folded();
    PyErr_Clear();
    try {
        if (Ref s = g[G::sqrt]) {
            f.half_root3 = s(RT_NUM(3)).truediv(RT_NUM(2.0));
            f.root3 = s(RT_NUM(3)).mul(RT_NUM(2)).truediv(RT_NUM(2.0));
            f.half_root3_int = s(RT_NUM(3)).truediv(RT_NUM(2));
            f.half_root3f_int = s(RT_NUM(3.0)).truediv(RT_NUM(2));
        }
    } catch (const rt::Error&) {
        PyErr_Clear();
        f.half_root3 = f.root3 = f.half_root3_int = f.half_root3f_int = Ref();
    }
    try {
        f.acos_180 = g[G::acos](RT_NUM(1.0 / 3.0)).mul(RT_NUM(180));
        f.theta = f.acos_180.truediv(g[G::pi]);
    } catch (const rt::Error&) {
        PyErr_Clear();
        f.acos_180 = f.theta = Ref();
    }
}

bool value(const Ref& r, double& out) { return r && rt::np::number_value(r.ptr(), out); }

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
    G::glVertex(g)({RT_NUM(0.5), sqrt_expr(g, &Folded::half_root3), RT_NUM(0)});
    return rt::none();
}

static Ref Spirelet_drawSpirelet(const Env& g, Obj self, Obj level);
static Ref Spirelet_drawTetrahedronWithoutBase(const Env& g, Obj self, Obj level);

// ---------------------------------------------------------------------------
// The recursion in C, for the genuine GL functions and the class's own
// methods. It counts its levels and checks the stack as the calls through
// the interpreter do, and issues exactly their GL calls and checks.

namespace {

struct Fractal {
    const gl::Kernel& k;
    unsigned triangles;
    double half_root3, root3, half_root3_int, half_root3f_int, theta;

    void triangle() const {
        rt::RecursionLevel call;  // self.basicTriangle()
        G::glNormal3f.c(0.0f, 0.0f, 1.0f);
        G::glVertex.c(0.0, 0.0, 0.0);
        G::glVertex.c(1.0, 0.0, 0.0);
        G::glVertex.c(0.5, half_root3, 0.0);
    }
    void translate(double x, double y, double z) const {
        G::glTranslate.c(x, y, z);
        k.after(G::glTranslate, x, y, z);
    }
    void rotate(double a, double x, double y, double z) const {
        G::glRotate.c(a, x, y, z);
        k.after(G::glRotate, a, x, y, z);
    }
    // A call of the method: one level more, as a call through the interpreter.
    void spirelet(long long level) const {
        rt::RecursionLevel call;
        draw_spirelet(level);
    }
    void tetrahedron(long long level) const {
        rt::RecursionLevel call;
        draw_tetrahedron(level);
    }
    void draw_spirelet(long long level) const {
        if (level == 0) {
            k.primitive(triangles, [&] { triangle(); });
            return;
        }
        k.matrix([&] {
            const double third = 1.0 / 3.0;
            G::glScale.c(third, third, third);
            k.after(G::glScale, third, third, third);
            spirelet(level - 1);
            const double upright[5][2] = {{1.0, 0.0}, {2.0, 0.0}, {0.5, half_root3}, {1.5, half_root3}, {1.0, root3}};
            for (const auto& p : upright) k.matrix([&] {
                    translate(p[0], p[1], 0.0);
                    spirelet(level - 1);
                });
            const double tetrahedra[3][2] = {{1.0, 0.0}, {2.0, 0.0}, {1.5, half_root3_int}};
            for (const auto& p : tetrahedra) k.matrix([&] {
                    translate(p[0], p[1], 0.0);
                    tetrahedron(level);
                });
        });
    }
    void draw_tetrahedron(long long level) const {
        k.matrix([&] {
            translate(-1.0, 0.0, 0.0);
            k.matrix([&] {
                translate(1.0, 0.0, 0.0);
                rotate(60.0, 0.0, 0.0, 1.0);
                rotate(theta, 1.0, 0.0, 0.0);
                spirelet(level - 1);
            });
            k.matrix([&] {
                translate(1.0, 0.0, 0.0);
                rotate(-60.0, 0.0, 0.0, 1.0);
                translate(-1.0, 0.0, 0.0);
                rotate(theta, 1.0, 0.0, 0.0);
                spirelet(level - 1);
            });
            k.matrix([&] {
                translate(1.5, half_root3f_int, 0.0);
                rotate(180.0, 0.0, 0.0, 1.0);
                rotate(theta, 1.0, 0.0, 0.0);
                spirelet(level - 1);
            });
        });
    }
};

// The kernel may run: every name genuine, the methods the class's own, the
// level a plain whole number. Runs it and says so.
bool draw_natively(const Env& g, Obj self, Obj level, bool tetrahedron) {
    double lv;
    unsigned triangles;
    Folded& f = folded();
    // cheapest tests first: with substitutes in place this runs at every level
    if (!rt::np::plain_number(level.ptr(), lv, 1 << 30) ||
        !gl::Kernel::available(g, gl::glBegin, gl::glEnd, gl::glPushMatrix, gl::glPopMatrix, G::glNormal3f,
                               G::glVertex, G::glScale, G::glTranslate, G::glRotate) ||
        !g.genuine(G::sqrt) || !g.genuine(G::acos) || !g.genuine(G::pi) ||
        !rt::own_method<Spirelet_drawSpirelet>(self, RT_ID("drawSpirelet")) ||
        !rt::own_method<Spirelet_drawTetrahedronWithoutBase>(self, RT_ID("drawTetrahedronWithoutBase")) ||
        !rt::own_method<Spirelet_basicTriangle>(self, RT_ID("basicTriangle")) ||
        !gl::enum_value(g, G::GL_TRIANGLES, triangles))
        return false;
    const gl::Kernel k;
    Fractal run{k, triangles, 0, 0, 0, 0, 0};
    if (!value(f.half_root3, run.half_root3) || !value(f.root3, run.root3) ||
        !value(f.half_root3_int, run.half_root3_int) || !value(f.half_root3f_int, run.half_root3f_int) ||
        !value(f.theta, run.theta))
        return false;
    const long long n = static_cast<long long>(lv);
    // the call into this method has counted its level already
    if (tetrahedron)
        run.draw_tetrahedron(n);
    else
        run.draw_spirelet(n);
    return true;
}

}  // namespace

static Ref Spirelet_drawSpirelet(const Env& g, Obj self, Obj level) {
    check_level(level, 0);
    if (draw_natively(g, self, level, false)) return rt::none();
    long long lv;
    const bool zero = rt::compat::is_exact_int(level.ptr()) && rt::compat::int_value(level.ptr(), lv)
                          ? lv == 0
                          : level.equals(RT_NUM(0));
    if (zero) {
        gl::begin(g, G::GL_TRIANGLES, [&] { self.method(RT_ID("basicTriangle"))(); });
        return rt::none();
    }
    gl::with_matrix(g, [&] {
        G::glScale(g)({RT_NUM(1.0 / 3.0), RT_NUM(1.0 / 3.0), RT_NUM(1.0 / 3.0)});
        self.method(RT_ID("drawSpirelet"))(level.sub(RT_NUM(1)));
        auto upright = [&](rt::Const x, Ref Folded::*y) {
            gl::with_matrix(g, [&] {
                if (y)
                    G::glTranslate(g)({x, sqrt_expr(g, y), RT_NUM(0.0)});
                else
                    G::glTranslate(g)({x, RT_NUM(0.0), RT_NUM(0.0)});
                self.method(RT_ID("drawSpirelet"))(level.sub(RT_NUM(1)));
            });
        };
        upright(RT_NUM(1.0), nullptr);
        upright(RT_NUM(2.0), nullptr);
        upright(RT_NUM(0.5), &Folded::half_root3);
        upright(RT_NUM(1.5), &Folded::half_root3);
        upright(RT_NUM(1.0), &Folded::root3);
        auto tetrahedron = [&](rt::Const x, bool raised) {
            gl::with_matrix(g, [&] {
                if (raised)
                    G::glTranslate(g)({x, sqrt_expr(g, &Folded::half_root3_int), RT_NUM(0)});
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
    check_level(level, 1);
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
            G::glTranslate(g)({RT_NUM(1.5), sqrt_expr(g, &Folded::half_root3f_int), RT_NUM(0)});
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
    const Env g = mod.env();
    mod.remember({&G::sqrt, &G::acos, &G::pi});
    gl::remember(g, {&G::glTranslate, &G::glScale, &G::glVertex, &G::glRotate, &G::glScalef, &G::glNormal3f});
    fold(g);

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
