// Spirelet: a lit Koch tetrahedron fractal drawn with fixed-function OpenGL.
//
// The three drawing methods reach each other through self, so a subclass
// override is the one called; every GL and math name is a module global
// looked up when used. Whatever a method pushes or begins is closed again
// if an exception passes through it.
#include <cmath>

#include "rt.hpp"
#include "rt_gl.hpp"

using rt::Env;
using rt::Obj;
using rt::Ref;

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

namespace {


// The recursion counts `level` down to 0 by subtracting 1, so anything but a
// whole number >= minimum would never end; refuse it before drawing.
void check_level(Obj level, long minimum) {
    PyObject* v = level.ptr();
    if (PyIndex_Check(v) && !PyFloat_Check(v)) {
        Ref n = Ref::steal(PyNumber_Index(v));
        Ref lo = rt::to_ref(minimum);
        int ok = PyObject_RichCompareBool(n.ptr(), lo.ptr(), Py_GE);
        if (ok < 0) rt::raise();
        if (!ok) rt::raise_format(PyExc_ValueError, "level must be a whole number >= %ld, not %R", minimum, v);
        return;
    }
    if (!PyNumber_Check(v))
        rt::raise_format(PyExc_TypeError, "level must be a number, not '%.200s'", Py_TYPE(v)->tp_name);
    const double d = level.to_double();
    if (!std::isfinite(d) || d != std::floor(d) || d < static_cast<double>(minimum))
        rt::raise_format(PyExc_ValueError, "level must be a whole number >= %ld, not %R", minimum, v);
}

// The matrix calls of the recursion, which dominate its cost.
using Entry3 = rt::gl::Entry<double, double, double>;
Entry3& glTranslate() {
    static Entry3 e("glTranslate", "glTranslated");
    return e;
}
Entry3& glScale() {
    static Entry3 e("glScale", "glScaled");
    return e;
}
rt::gl::Entry<double, double, double, double>& glRotate() {
    static rt::gl::Entry<double, double, double, double> e("glRotate", "glRotated");
    return e;
}

}  // namespace

// ---------------------------------------------------------------------------
// class Spirelet(Model)

static Ref initGL_(const Env& g);

static Ref Spirelet_init(const Env& g, Obj self) {
    g[RT_ID("Model")].attr(RT_ID("init"))(self);
    g[RT_ID("initGL")]();
    return rt::none();
}

static Ref Spirelet_draw_scene(const Env& g, Obj self) {
    g[RT_ID("glLightfv")](g[RT_ID("GL_LIGHT0")], g[RT_ID("GL_POSITION")], rt::list(-0.2, -0.1, 1.0, 1.0));
    rt::gl::with_matrix(g, [&] {
        glTranslate()(g, 0, 0, 0.5);
        g[RT_ID("glScalef")](0.0625, 0.0625, 0.0625);
        g[RT_ID("gluSphere")](self.attr(RT_ID("pQuadric")), 0.5, 20, 20);
    });
    rt::gl::with_matrix(g, [&] {
        Ref y = rt::true_divide(rt::negate(g[RT_ID("sqrt")](3)), rt::to_ref(4));
        glTranslate()(g, -0.5, y, 0);
        self.attr(RT_ID("drawSpirelet"))(3);
    });
    return rt::none();
}

// The unit triangle. Called by drawSpirelet between glBegin and glEnd, where
// the vertex calls may go straight to GL (see rt_gl.hpp).
static void basic_triangle(const Env& g, bool inside_begin) {
    static rt::gl::Entry<float, float, float> glNormal3f("glNormal3f", "glNormal3f", true);
    static rt::gl::Entry<double, double, double> glVertex("glVertex", "glVertex3d", true);
    auto height = [&] { return rt::true_divide(g[RT_ID("sqrt")](3), rt::to_ref(2.0)); };
    if (inside_begin) {
        Ref zero = rt::to_ref(0), one = rt::to_ref(1);
        glNormal3f(g, zero, zero, one);
        glVertex(g, zero, zero, zero);
        glVertex(g, rt::to_ref(1.0), zero, zero);
        glVertex(g, rt::to_ref(0.5), height(), zero);
        return;
    }
    g[RT_ID("glNormal3f")](0, 0, 1);
    g[RT_ID("glVertex")](0, 0, 0);
    g[RT_ID("glVertex")](1.0, 0, 0);
    g[RT_ID("glVertex")](0.5, height(), 0);
}

static Ref Spirelet_basicTriangle(const Env& g, Obj) {
    basic_triangle(g, false);
    return rt::none();
}

static Ref Spirelet_drawSpirelet(const Env& g, Obj self, Obj level) {
    check_level(level, 0);
    if (level.equals(rt::to_ref(0))) {
        rt::gl::begin(g, RT_ID("GL_TRIANGLES"), [&] {
            Ref basic = self.attr(RT_ID("basicTriangle"));
            if (rt::is_bound_native(basic, self, rt::body_of<Spirelet_basicTriangle>()))
                basic_triangle(g, true);
            else
                basic();
        });
        return rt::none();
    }
    auto lower = [&] { return rt::subtract(level, rt::to_ref(1)); };
    auto half_root3 = [&] { return rt::true_divide(g[RT_ID("sqrt")](3), rt::to_ref(2.0)); };

    rt::gl::with_matrix(g, [&] {
        glScale()(g, 1.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0);

        // the six upright sub-triangles
        self.attr(RT_ID("drawSpirelet"))(lower());
        auto upright = [&](Obj x, Obj y) {
            rt::gl::with_matrix(g, [&] {
                glTranslate()(g, x, y, 0.0);
                self.attr(RT_ID("drawSpirelet"))(lower());
            });
        };
        upright(rt::to_ref(1.0), rt::to_ref(0.0));
        upright(rt::to_ref(2.0), rt::to_ref(0.0));
        upright(rt::to_ref(0.5), half_root3());
        upright(rt::to_ref(1.5), half_root3());
        upright(rt::to_ref(1.0), rt::true_divide(rt::multiply(g[RT_ID("sqrt")](3), rt::to_ref(2)), rt::to_ref(2.0)));

        // a tetrahedron on each inverted one
        auto tetrahedron = [&](Obj x, Obj y) {
            rt::gl::with_matrix(g, [&] {
                glTranslate()(g, x, y, 0);
                self.attr(RT_ID("drawTetrahedronWithoutBase"))(level);
            });
        };
        tetrahedron(rt::to_ref(1), rt::to_ref(0));
        tetrahedron(rt::to_ref(2), rt::to_ref(0));
        tetrahedron(rt::to_ref(1.5), rt::true_divide(g[RT_ID("sqrt")](3), rt::to_ref(2)));
    });
    return rt::none();
}

static Ref Spirelet_drawTetrahedronWithoutBase(const Env& g, Obj self, Obj level) {
    check_level(level, 1);
    // dihedral angle of the regular tetrahedron, in degrees
    auto theta = [&] {
        Ref a = g[RT_ID("acos")](1.0 / 3.0);
        return rt::true_divide(rt::multiply(a, rt::to_ref(180)), g[RT_ID("pi")]);
    };
    auto face = [&](auto&& place) {
        rt::gl::with_matrix(g, [&] {
            place();
            glRotate()(g, theta(), 1.0, 0.0, 0.0);
            self.attr(RT_ID("drawSpirelet"))(rt::subtract(level, rt::to_ref(1)));
        });
    };
    rt::gl::with_matrix(g, [&] {
        glTranslate()(g, -1, 0, 0);
        face([&] {
            glTranslate()(g, 1, 0, 0);
            glRotate()(g, 60, 0.0, 0.0, 1.0);
        });
        face([&] {
            glTranslate()(g, 1, 0, 0);
            glRotate()(g, -60, 0.0, 0.0, 1.0);
            glTranslate()(g, -1, 0, 0);
        });
        face([&] {
            glTranslate()(g, 1.5, rt::true_divide(g[RT_ID("sqrt")](3.0), rt::to_ref(2)), 0);
            glRotate()(g, 180, 0.0, 0.0, 1.0);
        });
    });
    return rt::none();
}

// ---------------------------------------------------------------------------

static Ref initGL_(const Env& g) {
    auto gl = [&](const char* name) { return g[rt::intern(name)]; };
    g[RT_ID("glClearColor")](1.0, 1.0, 1.0, 1.0);
    g[RT_ID("glClearDepth")](1);
    g[RT_ID("glDisable")](gl("GL_CULL_FACE"));
    g[RT_ID("glEnable")](gl("GL_LIGHTING"));
    g[RT_ID("glEnable")](gl("GL_NORMALIZE"));
    g[RT_ID("glLightModelf")](gl("GL_LIGHT_MODEL_LOCAL_VIEWER"), gl("GL_TRUE"));
    g[RT_ID("glLightfv")](gl("GL_LIGHT0"), gl("GL_POSITION"), rt::list(0.4, 0.5, 1.0, 1.0));
    g[RT_ID("glLightfv")](gl("GL_LIGHT0"), gl("GL_AMBIENT"), rt::list(1.0, 1.0, 1.0, 1.0));
    g[RT_ID("glLightfv")](gl("GL_LIGHT0"), gl("GL_DIFFUSE"), rt::list(1.0, 1.0, 1.0, 1.0));
    g[RT_ID("glLightfv")](gl("GL_LIGHT0"), gl("GL_SPECULAR"), rt::list(1.0, 1.0, 1.0, 1.0));
    g[RT_ID("glLightfv")](gl("GL_LIGHT0"), gl("GL_SPOT_DIRECTION"), rt::list(0, 0, 1));
    g[RT_ID("glLightf")](gl("GL_LIGHT0"), gl("GL_CONSTANT_ATTENUATION"), 1);
    g[RT_ID("glLightf")](gl("GL_LIGHT0"), gl("GL_LINEAR_ATTENUATION"), 0.0);
    g[RT_ID("glLightf")](gl("GL_LIGHT0"), gl("GL_QUADRATIC_ATTENUATION"), 0.05);
    g[RT_ID("glEnable")](gl("GL_LIGHT0"));
    g[RT_ID("glEnable")](gl("GL_DEPTH_TEST"));
    g[RT_ID("glDepthFunc")](gl("GL_LESS"));
    g[RT_ID("glShadeModel")](gl("GL_SMOOTH"));
    Ref matColor = rt::list(0.0, 0.9, 0.9, 1.0);
    Ref specColor = rt::list(0.9, 0.0, 0.0, 1.0);
    Ref ambColor = rt::list(0.1, 0.1, 0.1, 1.0);
    Ref nshininess = rt::list(128, 128.0, 128, 1);
    g[RT_ID("glMaterialfv")](gl("GL_FRONT_AND_BACK"), gl("GL_DIFFUSE"), matColor);
    g[RT_ID("glMaterialfv")](gl("GL_FRONT_AND_BACK"), gl("GL_SPECULAR"), specColor);
    g[RT_ID("glMaterialfv")](gl("GL_FRONT_AND_BACK"), gl("GL_AMBIENT"), ambColor);
    g[RT_ID("glMaterialfv")](gl("GL_FRONT_AND_BACK"), gl("GL_SHININESS"), nshininess);
    return rt::none();
}

static Ref main_(const Env& g) {
    g[RT_ID("glutInit")]();
    g[RT_ID("glutInitDisplayMode")](
        rt::bit_or(rt::bit_or(g[RT_ID("GLUT_DOUBLE")], g[RT_ID("GLUT_RGB")]), g[RT_ID("GLUT_DEPTH")]));
    Ref cam_spec = rt::dict({{"eye", rt::list(0, -1, 1.5)},
                             {"center", rt::list(0, 0, 0)},
                             {"up", rt::list(0, 1, 0)},
                             {"fovy", rt::to_ref(40)},
                             {"aspect", rt::to_ref(1.0)},
                             {"near", rt::to_ref(0.01)},
                             {"far", rt::to_ref(200.0)}});
    Ref kp = g[RT_ID("Spirelet")]();
    Ref cam = g[RT_ID("View")](kp, cam_spec);
    g[RT_ID("Framepane")]("Spirelet", cam, rt::kw(RT_ID("window_size"), rt::tuple(512, 512)),
                          rt::kw(RT_ID("window_pos"), rt::tuple(520, 0)));
    g[RT_ID("glutMainLoop")]();
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
        mod[RT_ID("print")]("ERROR: PyOpenGL not installed properly.");
        mod[RT_ID("sys")].attr(RT_ID("exit"))(1);
    }
    mod.import_star("Stagehall");
    mod.import_star("Sketchkit");
    mod.import_from_as("numpy", RT_ID("arccos"), RT_ID("acos"));
    mod.import_from("numpy", {RT_ID("pi")});

    rt::ClassBuilder cls(mod, "Spirelet", {mod[RT_ID("Model")]}, nullptr);
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
