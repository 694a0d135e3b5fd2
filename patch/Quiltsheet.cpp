// Quiltsheet: a bicubic surface through a 4x4 grid of control points.
//
// Reads like the module it implements: docstring, imports, the class with its
// methods, main. Everything a user may substitute (numpy, the framework, the
// methods reached through self) is looked up when used; the arithmetic of
// evaluation and sampling runs here.
#include <cmath>
#include <vector>

#include "rt.hpp"
#include "rt_gl.hpp"
#include "rt_numpy.hpp"

using rt::Env;
using rt::Obj;
using rt::Ref;
namespace np = rt::np;

static const char kModuleDoc[] =
    "\n"
    "Quiltsheet\n"
    "---------------\n"
    "This file implements the Quiltsheet class. Code needs to be added in \n"
    "evaluate(st_param): returns a list of point and tangent values for a given \n"
    "                    parameter [s, t]\n"
    "\n";

static const char kClassDoc[] =
    "\n"
    "    Bicubic surface patch defined by 16 points. The 16 points on a 4x4 (s, t) \n"
    "    grid is provided during instantiation. \n"
    "    ";

static const char kInitDoc[] =
    "\n"
    "        data_points is in row major order, namely the 16 rows of the array\n"
    "        correspond to (s,t) values (0,0), (0,1),(0,2), (0,3), (1, 0), (1,1),...\n"
    "        and so on.\n"
    "        num_samples_rendering refers to the number of samples that would be used\n"
    "        by the draw_scene() function when rendering the patch\n"
    "        ";

static const char kEvaluateDoc[] =
    "\n"
    "        st_param = [s, t] where\n"
    "        s in [0, 3] and t in [0, 3]\n"
    "        For a given set of parameters return \n"
    "        [x(s,t), y(s,t), z(s,t), \n"
    "        dsx(s,t), dsy(s,t), dsz(s,t), \n"
    "        dtx(s,t), dty(s,t), dtz(s,t)]\n"
    "        ";

static const char kGetSamplesDoc[] =
    "\n"
    "        Returns an array of values. samples is a tuple that has to be at least (2, 2)\n"
    "        ";

static const char kSetColorDoc[] =
    "\n"
    "        set_color_from_XYZ is the default color scheme for rendering\n"
    "        quiltsheets. It takes  x, y, z values that are in [0, 1] and sets\n"
    "        the color based on the normalized XYZ coordinate \n"
    "        ";

static const char kDrawSceneDoc[] =
    "\n"
    "        drawing meshes with normalized values is more generic because the caller\n"
    "        can then approrpriately scale and translate the mesh.\n"
    "        ";

// ---------------------------------------------------------------------------
// The coefficient matrices as read at the start of an evaluation.

namespace {

struct Patch {
    double m[3][4][4];

    // Point and both tangents at (s, t), in the order of evaluate's result.
    void evaluate(double s, double t, double out[9]) const {
        const double S[4] = {s * s * s, s * s, s, 1.0};
        const double T[4] = {t * t * t, t * t, t, 1.0};
        const double dS[4] = {3.0 * s * s, 2.0 * s, 1.0, 0.0};
        const double dT[4] = {3.0 * t * t, 2.0 * t, 1.0, 0.0};
        for (int k = 0; k < 3; ++k) {
            double mt[4], mdt[4];
            for (int i = 0; i < 4; ++i) {
                mt[i] = m[k][i][0] * T[0] + m[k][i][1] * T[1] + m[k][i][2] * T[2] + m[k][i][3] * T[3];
                mdt[i] = m[k][i][0] * dT[0] + m[k][i][1] * dT[1] + m[k][i][2] * dT[2] + m[k][i][3] * dT[3];
            }
            out[k] = S[0] * mt[0] + S[1] * mt[1] + S[2] * mt[2] + S[3] * mt[3];
            out[3 + k] = dS[0] * mt[0] + dS[1] * mt[1] + dS[2] * mt[2] + dS[3] * mt[3];
            out[6 + k] = S[0] * mdt[0] + S[1] * mdt[1] + S[2] * mdt[2] + S[3] * mdt[3];
        }
    }
};

void read_matrix(Obj self, PyObject* name, double out[4][4]) {
    np::Array a = np::Array::from(self.attr(name));
    if (a.ndim() != 2 || a.shape(0) != 4 || a.shape(1) != 4)
        rt::raise_format(PyExc_ValueError, "%U must be a 4x4 matrix", name);
    if (a.kind() != 'f' && a.kind() != 'i' && a.kind() != 'u' && a.kind() != 'b')
        rt::raise_format(PyExc_TypeError, "%U must hold real numbers", name);
    a = a.as_float64();
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) out[i][j] = a.at(i, j);
}

// Read at every evaluation, so rebinding a matrix changes the surface.
Patch read_patch(Obj self) {
    Patch p;
    read_matrix(self, RT_ID("MatX"), p.m[0]);
    read_matrix(self, RT_ID("MatY"), p.m[1]);
    read_matrix(self, RT_ID("MatZ"), p.m[2]);
    return p;
}

}  // namespace

// ---------------------------------------------------------------------------
// class Quiltsheet(Model)

static Ref Quiltsheet_init(const Env& g, Obj self, Obj data_points, Obj num_samples_rendering) {
    g[RT_ID("Model")].attr(RT_ID("__init__"))(self);
    self.setattr(RT_ID("data_points"), data_points);
    self.setattr(RT_ID("num_samples_rendering"), num_samples_rendering);
    Ref node_powers = rt::list(rt::list(0, 1, 8, 27), rt::list(0, 1, 4, 9), rt::list(0, 1, 2, 3), rt::list(1, 1, 1, 1));
    self.setattr(RT_ID("B"), g[RT_ID("np")].attr(RT_ID("linalg")).attr(RT_ID("inv"))(node_powers));

    PyObject* const names[3] = {RT_ID("MatX"), RT_ID("MatY"), RT_ID("MatZ")};
    for (int k = 0; k < 3; ++k) {
        // Mat = dot(transpose(B), dot(reshape(data_points[:, k], (4, 4)), B))
        Ref dot = g[RT_ID("np")].attr(RT_ID("dot"));
        Ref Bt = g[RT_ID("np")].attr(RT_ID("transpose"))(self.attr(RT_ID("B")));
        Ref inner_dot = g[RT_ID("np")].attr(RT_ID("dot"));
        Ref reshape = g[RT_ID("np")].attr(RT_ID("reshape"));
        Ref grid = reshape(data_points[rt::tuple(rt::slice_all(), k)], rt::tuple(4, 4));
        Ref inner = inner_dot(grid, self.attr(RT_ID("B")));
        self.setattr(names[k], dot(Bt, inner));
    }
    return rt::none();
}

static Ref Quiltsheet_evaluate(const Env&, Obj self, Obj st_param) {
    Ref s = st_param[0];
    Ref t = st_param[1];
    if (rt::assertions_enabled()) {
        rt::assert_between(s, 0.0, 3.0);
        rt::assert_between(t, 0.0, 3.0);
    }
    const double sv = s.to_double(), tv = t.to_double();
    double v[9];
    read_patch(self).evaluate(sv, tv, v);
    Ref result = Ref::steal(PyList_New(9));
    for (int k = 0; k < 9; ++k) PyList_SET_ITEM(result.ptr(), k, np::float64(v[k]).release());
    return result;
}

static Ref Quiltsheet_get_samples(const Env& g, Obj self, Obj samples) {
    if (rt::assertions_enabled()) {
        Ref two = rt::to_ref(2);
        if (!Ref::steal(PyObject_RichCompare(samples[0].ptr(), two.ptr(), Py_GE)).truth()) rt::raise_assertion();
        if (!Ref::steal(PyObject_RichCompare(samples[1].ptr(), two.ptr(), Py_GE)).truth()) rt::raise_assertion();
    }
    Ref arrays[9];
    for (Ref& a : arrays) a = g[RT_ID("np")].attr(RT_ID("zeros"))(samples);
    Ref result = rt::tuple(arrays[0], arrays[1], arrays[2], arrays[3], arrays[4], arrays[5], arrays[6], arrays[7],
                           arrays[8]);

    const Py_ssize_t m = samples[0].to_index();
    const Py_ssize_t n = samples[1].to_index();
    auto param = [](Py_ssize_t i, Py_ssize_t count) {
        const double d = static_cast<double>(count) - 1.0;
        if (d == 0.0) rt::raise(PyExc_ZeroDivisionError, rt::compat::float_division_by_zero());
        return 3.0 * static_cast<double>(i) / d;
    };

    // Without an override of evaluate, and with plain (m, n) float arrays,
    // the whole grid is computed here; otherwise each point goes through
    // self.evaluate and item assignment, as written.
    Ref evaluate = self.attr(RT_ID("evaluate"));
    bool direct = rt::is_bound_native(evaluate, self, rt::body_of<Quiltsheet_evaluate>());
    np::Array out[9];
    for (int k = 0; direct && k < 9; ++k) {
        out[k] = np::Array::from(arrays[k]);
        direct = out[k].is_float64() && out[k].writeable() && out[k].ndim() == 2 && out[k].shape(0) == m &&
                 out[k].shape(1) == n;
    }
    if (direct) {
        if (m > 0 && n > 0) {
            const Patch patch = read_patch(self);
            for (Py_ssize_t i = 0; i < m; ++i) {
                for (Py_ssize_t j = 0; j < n; ++j) {
                    double v[9];
                    patch.evaluate(param(i, m), param(j, n), v);
                    for (int k = 0; k < 9; ++k) out[k].at(i, j) = v[k];
                }
            }
        }
        return result;
    }

    for (Py_ssize_t i = 0; i < m; ++i) {
        const Py_ssize_t cols = samples[1].to_index();
        for (Py_ssize_t j = 0; j < cols; ++j) {
            Ref ev = self.attr(RT_ID("evaluate"));
            Ref s = rt::to_ref(param(i, m));
            Ref t = rt::to_ref(param(j, samples[1].to_index()));
            Ref p = ev(rt::list(s, t));
            for (int k = 0; k < 9; ++k) arrays[k][i].setitem(j, p[k]);
        }
    }
    return result;
}

// The sampled coordinate mapped onto [0, 1]; a coordinate that does not vary
// over the grid sits in the middle, 0.5, instead of dividing zero by zero.
// Evaluation leaves rounding noise on a constant coordinate, which must not
// be stretched over the whole range, so a range within that noise counts as
// no range.
static np::Array normalized(Obj values) {
    np::Array a = np::Array::from(values);
    if (a.ndim() != 2) rt::raise(PyExc_ValueError, "sampled coordinates must be a 2-D array");
    a = a.as_float64();
    const Py_ssize_t m = a.shape(0), n = a.shape(1);
    np::Array out = np::Array::empty({m, n});
    if (m == 0 || n == 0) return out;
    double lo = a.at(0, 0), hi = a.at(0, 0);
    for (Py_ssize_t i = 0; i < m; ++i)
        for (Py_ssize_t j = 0; j < n; ++j) {
            lo = std::fmin(lo, a.at(i, j));
            hi = std::fmax(hi, a.at(i, j));
        }
    const double range = hi - lo;
    const bool flat = !(range > 1e-12 * std::fmax(std::fabs(lo), std::fabs(hi)));
    for (Py_ssize_t i = 0; i < m; ++i)
        for (Py_ssize_t j = 0; j < n; ++j) out.at(i, j) = flat ? 0.5 : (a.at(i, j) - lo) / range;
    return out;
}

static Ref Quiltsheet_set_color_from_XYZ(const Env& g, Obj, Obj x, Obj y, Obj z) {
    if (rt::assertions_enabled()) {
        rt::assert_between(x, 0.0, 1.0);
        rt::assert_between(y, 0.0, 1.0);
        rt::assert_between(z, 0.0, 1.0);
    }
    g[RT_ID("glColor3f")](x, y, z);
    return rt::none();
}

// The mesh: every grid cell in a glBegin/glEnd block of its own, as two
// triangles that share the diagonal from [r][c] to [r + 1][c + 1].
static void draw_mesh(const Env& g, Obj self, const np::Array& X, const np::Array& Y, const np::Array& Z) {
    // Each counter is bounded by the axis it indexes, so unequal grids draw
    // whole; for a square grid this is the documented cell order.
    Ref samples = self.attr(RT_ID("num_samples_rendering"));
    const Py_ssize_t m = samples[0].to_index(), n = samples[1].to_index();
    if (X.shape(0) < m || X.shape(1) < n || Y.shape(0) < m || Y.shape(1) < n || Z.shape(0) < m || Z.shape(1) < n)
        rt::raise(PyExc_ValueError, "the samples do not cover num_samples_rendering");
    const bool own_colors = rt::is_bound_native(self.attr(RT_ID("set_color_from_XYZ")), self,
                                                rt::body_of<Quiltsheet_set_color_from_XYZ>());
    static rt::gl::Entry<float, float, float> glColor3f("glColor3f", "glColor3f", true),
        glVertex3f("glVertex3f", "glVertex3f", true);
    static const int corners[6][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 0}, {1, 1}, {0, 1}};
    for (Py_ssize_t c = 0; c + 1 < n; ++c) {
        for (Py_ssize_t r = 0; r + 1 < m; ++r) {
            rt::gl::begin(g, RT_ID("GL_TRIANGLES"), [&] {
                for (const auto& k : corners) {
                    const Py_ssize_t a = r + k[0], b = c + k[1];
                    const double x = X.at(a, b), y = Y.at(a, b), z = Z.at(a, b);
                    if (own_colors) {
                        // normalised values are always in [0, 1], so the range check holds
                        glColor3f(g, x, y, z);
                    } else {
                        self.attr(RT_ID("set_color_from_XYZ"))(x, y, z);
                    }
                    glVertex3f(g, x, y, z);
                }
            });
        }
    }
}

static Ref Quiltsheet_draw_scene(const Env& g, Obj self, Obj bDrawCoordAxes) {
    Ref result = self.attr(RT_ID("get_samples"))(self.attr(RT_ID("num_samples_rendering")));

    if (bDrawCoordAxes.is_true()) {
        rt::gl::with_matrix(g, [&] {
            g[RT_ID("glScalef")](0.25, 0.25, 0.25);
            g[RT_ID("draw3DCoordinateAxesQuadrics")]();
        });
    }

    const np::Array X = normalized(result[0]), Y = normalized(result[1]), Z = normalized(result[2]);

    rt::gl::with_matrix(g, [&] {
        rt::gl::with_all_attribs(g, [&] {
            g[RT_ID("glDisable")](g[RT_ID("GL_CULL_FACE")]);
            g[RT_ID("glTranslatef")](-0.5, -0.5, -0.5);
            draw_mesh(g, self, X, Y, Z);
        });
    });
    return result;
}

// ---------------------------------------------------------------------------

static Ref main_(const Env& g) {
    std::vector<Ref> glut = rt::from_import(g.globals(), "OpenGL.GLUT",
                                            {RT_ID("glutInit"), RT_ID("glutInitDisplayMode"), RT_ID("glutMainLoop"),
                                             RT_ID("GLUT_DOUBLE"), RT_ID("GLUT_RGBA")});
    const Ref &glutInit = glut[0], &glutInitDisplayMode = glut[1], &glutMainLoop = glut[2];
    std::vector<Ref> framework = rt::from_import(g.globals(), "Stagehall", {RT_ID("View"), RT_ID("Framepane")});
    const Ref &View = framework[0], &Framepane = framework[1];

    glutInit();
    glutInitDisplayMode(rt::bit_or(glut[3], glut[4]));

    Ref cam_spec = rt::dict({{"eye", rt::list(2, 2, 2)},
                             {"center", rt::list(0, 0, 0)},
                             {"up", rt::list(0, 1, 0)},
                             {"fovy", rt::to_ref(30)},
                             {"aspect", rt::to_ref(1.0)},
                             {"near", rt::to_ref(0.01)},
                             {"far", rt::to_ref(200.0)}});

    Ref data_points = g[RT_ID("np")].attr(RT_ID("zeros"))(RT_CONST(rt::tuple(16, 3)));
    data_points.setitem(RT_CONST(rt::tuple(rt::slice_all(), 0)),
                        g[RT_ID("np")].attr(RT_ID("transpose"))(
                            rt::list(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3)));
    data_points.setitem(RT_CONST(rt::tuple(rt::slice_all(), 1)),
                        g[RT_ID("np")].attr(RT_ID("transpose"))(
                            rt::list(0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3)));
    data_points.setitem(RT_CONST(rt::tuple(rt::slice_all(), 2)),
                        g[RT_ID("np")].attr(RT_ID("transpose"))(
                            rt::list(0, -2, 2, -3, 0, -2, 2, -3, 0, -2, 2, -3, 0, -2, 2, -3)));

    Ref QSheet = g[RT_ID("Quiltsheet")](data_points);
    Ref cam = View(QSheet, cam_spec);
    Framepane("Quiltsheet", cam, rt::kw(RT_ID("window_size"), RT_CONST(rt::tuple(512, 512))),
              rt::kw(RT_ID("window_pos"), RT_CONST(rt::tuple(520, 0))));
    glutMainLoop();
    return rt::none();
}

// ---------------------------------------------------------------------------

static void module_body(const rt::Module& mod) {
    mod.import("numpy", RT_ID("np"));
    np::init();
    mod.import_from("Stagehall", {RT_ID("Model")});
    mod.import_star("OpenGL.GL");
    mod.import_star("Sketchkit");

    rt::ClassBuilder cls(mod, "Quiltsheet", {mod[RT_ID("Model")]}, kClassDoc);
    cls.def<Quiltsheet_init>({"__init__", "Quiltsheet.__init__", kInitDoc, {"self", "data_points", "num_samples_rendering"}},
                             rt::tuple(rt::tuple(34, 34)));
    cls.def<Quiltsheet_evaluate>({"evaluate", "Quiltsheet.evaluate", kEvaluateDoc, {"self", "st_param"}});
    cls.def<Quiltsheet_get_samples>({"get_samples", "Quiltsheet.get_samples", kGetSamplesDoc, {"self", "samples"}},
                                    rt::tuple(rt::tuple(7, 7)));
    cls.def<Quiltsheet_set_color_from_XYZ>(
        {"set_color_from_XYZ", "Quiltsheet.set_color_from_XYZ", kSetColorDoc, {"self", "x", "y", "z"}});
    cls.def<Quiltsheet_draw_scene>({"draw_scene", "Quiltsheet.draw_scene", kDrawSceneDoc, {"self", "bDrawCoordAxes"}},
                                   rt::tuple(true));
    mod.set(RT_ID("Quiltsheet"), cls.create());
    mod.def<main_>({"main", "main", nullptr, {}});

    if (mod[RT_ID("__name__")].equals("__main__")) mod[RT_ID("main")]();
    mod.set(RT_ID("__test__"), rt::dict());
}

RT_MODULE(Quiltsheet, kModuleDoc, module_body)
