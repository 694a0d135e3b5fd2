// Swoopline: a piecewise cubic Hermite spline built data point by data point.
//
// Each segment's coefficient matrix is computed once, when its second data
// point arrives; evaluation is then two small products, done here.
#include <cmath>

#include "rt.hpp"
#include "rt_gl.hpp"
#include "rt_numpy.hpp"

using rt::Env;
using rt::Obj;
using rt::Ref;
namespace np = rt::np;

static const char kModuleDoc[] =
    "\n"
    "Swoopline\n"
    "---------------\n"
    "This file implements the class Swoopline. This module is used by the\n"
    "Drifteye class which uses it for generating the flythrough curve.\n"
    "\n"
    "Where to add code?\n"
    "add_point(self, data_point): compute the coefficient matrix for the last curve\n"
    "                             segment\n"
    "evaluate_curve_segment(self, segNo, t): return a tuple of (point, tangent) for\n"
    "    a given curve segment segNo and parameter t in [0, 1].\n"
    "\n"
    "Once this module has been implemented run SwooplineTest for performing\n"
    "some basic correctness tests. You can add more tests to that file (note this is\n"
    " NOT part of the assignment) for ensuring correctness of your implementation.\n";

static const char kClassDoc[] =
    "\n"
    "    Implementation of Swoopline. The class can be instantiated with a\n"
    "    sequence of points representing curve segments. In addition to that new\n"
    "    points can also be added by calling add_point() function with a data point.\n"
    "    Whenever a Swoopline segment needs to be evaluated for some parameter\n"
    "    t in [0, 1], the function evaluate_curve_segment(segNo, t) is called with\n"
    "    the curve segment number (0-based) and the parameter.\n"
    "    \n"
    "    Since the evaluate_curve_segment function will be called very often we need to build\n"
    "    the coefficient matrix for each curve segment as they are created. Therefore\n"
    "    the coefficient matrices are built in add_point and in the evaluate_curve_segment\n"
    "    function it is used with the current parameter.\n"
    "    \n"
    "    This class is derived from the Model class defined in Stagehall\n"
    "    This allows Swooplines to be rendered using Display List automatically.\n"
    "    Display List allows OpenGL to evaluate all the draw instructions and store\n"
    "    them in memory for later usage.\n"
    "    The draw_scene() function does the actual rendering of the curve.\n"
    "    ";

static const char kInitDoc[] =
    "\n"
    "        A set of data points can be optionally provided during instantiaion.\n"
    "        The format is a list of tuples, where each tuple consists of a point\n"
    "        and tangent at that point. Both point and tangents are represented by\n"
    "        arrays.\n"
    "        [(p0, m0), (p1, m1), (p2, m2)] where point p0 = [x0, y0, z0] and \n"
    "        m0 = [mx0, my0, mz0] the tangent at p0, and so on.\n"
    "        ";

static const char kAddPointDoc[] =
    "\n"
    "        The basis vector for every curve segment is computed here and stored in\n"
    "        coeff_matrix. \n"
    "        ";

static const char kEvaluateDoc[] =
    "\n"
    "        Returns a tuple of (point, tangent) where point and tangent are\n"
    "        1D arrays for parameter t in [0, 1]\n"
    "        ";

// ---------------------------------------------------------------------------
// Checking data points before anything is stored.

namespace {

// One of the two vectors of a data point as float64, or a clear error.
np::Array vector_of(Obj v, const char* what) {
    np::Array a = np::Array::from(v);
    char k = a.kind();
    if (k != 'f' && k != 'i' && k != 'u')
        rt::raise_format(PyExc_TypeError, "the %s of a data point must hold real numbers, not %R", what, v.ptr());
    if (a.ndim() != 1)
        rt::raise_format(PyExc_ValueError, "the %s of a data point must be a 1-D vector, not %d-D", what, a.ndim());
    if (a.shape(0) == 0) rt::raise_format(PyExc_ValueError, "the %s of a data point is empty", what);
    a = a.as_float64();
    for (Py_ssize_t i = 0; i < a.shape(0); ++i)
        if (!std::isfinite(a.at(i)))
            rt::raise_format(PyExc_ValueError, "the %s of a data point must be finite, not %R", what, v.ptr());
    return a;
}

struct DataPoint {
    np::Array point, tangent;
    Py_ssize_t size() const { return point.shape(0); }
};

DataPoint checked(Obj data_point) {
    Ref p, m;
    try {
        p = data_point[0];
        m = data_point[1];
    } catch (const rt::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_IndexError) &&
            !PyErr_ExceptionMatches(PyExc_KeyError))
            throw;
        PyErr_Clear();
        rt::raise_format(PyExc_TypeError, "a data point must be a (point, tangent) pair, not %R", data_point.ptr());
    }
    DataPoint d{vector_of(p, "point"), vector_of(m, "tangent")};
    if (d.tangent.shape(0) != d.size())
        rt::raise_format(PyExc_ValueError, "point and tangent of a data point differ in length (%zd and %zd)",
                         d.size(), d.tangent.shape(0));
    return d;
}

}  // namespace

// ---------------------------------------------------------------------------
// class Swoopline(Model)

static Ref Swoopline_init(const Env& g, Obj self, Obj data_points, Obj num_samples_rendering) {
    g[RT_ID("Model")].attr(RT_ID("__init__"))(self);
    self.setattr(RT_ID("num_samples_rendering"), num_samples_rendering);
    Ref constraints =
        rt::list(rt::list(0, 1, 0, 3), rt::list(0, 1, 0, 2), rt::list(0, 1, 1, 1), rt::list(1, 1, 0, 0));
    self.setattr(RT_ID("B_Hermite"), g[RT_ID("inv")](constraints));
    self.setattr(RT_ID("coeff_matrix"), rt::list());
    self.setattr(RT_ID("point_tangent_list"), rt::list());
    if (data_points.is_none()) return rt::none();
    self.attr(RT_ID("set_data"))(data_points);
    return rt::none();
}

// All or nothing: a failing data point leaves the previous spline in place.
static Ref Swoopline_set_data(const Env&, Obj self, Obj point_tangent_list) {
    Ref old_points = self.attr(RT_ID("point_tangent_list"));
    Ref old_coeffs = self.attr(RT_ID("coeff_matrix"));
    rt::OnError restore([&] {
        self.setattr(RT_ID("point_tangent_list"), old_points);
        self.setattr(RT_ID("coeff_matrix"), old_coeffs);
    });
    self.setattr(RT_ID("point_tangent_list"), rt::list());
    self.setattr(RT_ID("coeff_matrix"), rt::list());
    Ref it = Ref::steal(PyObject_GetIter(point_tangent_list.ptr()));
    while (PyObject* item = PyIter_Next(it.ptr())) {
        Ref data_point = Ref::steal(item);
        self.attr(RT_ID("add_point"))(data_point);
    }
    if (PyErr_Occurred()) rt::raise();
    return rt::none();
}

static void append(Obj seq, Obj item) {
    if (PyList_CheckExact(seq.ptr())) {
        if (PyList_Append(seq.ptr(), item.ptr()) < 0) rt::raise();
    } else {
        seq.attr(RT_ID("append"))(item);
    }
}

// The data point is checked and its segment computed before anything is
// stored, so a bad point leaves the spline as it was.
static Ref Swoopline_add_point(const Env&, Obj self, Obj data_point) {
    Ref points = self.attr(RT_ID("point_tangent_list"));
    const DataPoint next = checked(data_point);

    Ref coeff;
    if (points.len() >= 1) {
        const DataPoint prev = checked(points[-1]);
        if (prev.size() != next.size())
            rt::raise_format(PyExc_ValueError, "data point has %zd coordinates but the spline's points have %zd",
                             next.size(), prev.size());
        np::Array B = np::Array::from(self.attr(RT_ID("B_Hermite")));
        if (B.ndim() != 2 || B.shape(0) != 4 || B.shape(1) != 4 || B.kind() != 'f')
            rt::raise(PyExc_ValueError, "B_Hermite must be a 4x4 float matrix");
        B = B.as_float64();

        // coefficients = [p0 p1 m0 m1] . B_Hermite, one row per coordinate
        const Py_ssize_t d = next.size();
        np::Array c = np::Array::empty({d, 4});
        for (Py_ssize_t r = 0; r < d; ++r) {
            const double g[4] = {prev.point.at(r), next.point.at(r), prev.tangent.at(r), next.tangent.at(r)};
            for (int col = 0; col < 4; ++col)
                c.at(r, col) = g[0] * B.at(0, col) + g[1] * B.at(1, col) + g[2] * B.at(2, col) + g[3] * B.at(3, col);
        }
        coeff = c.ref();
    }

    append(points, data_point);
    if (coeff) {
        rt::OnError unappend([&] {
            if (PyList_CheckExact(points.ptr())) PyList_SetSlice(points.ptr(), points.len() - 1, points.len(), nullptr);
        });
        append(self.attr(RT_ID("coeff_matrix")), coeff);
    }
    // A viewer that recorded the old drawing must record it again.
    if (Ref invalidate = self.maybe_attr(RT_ID("invalidate"))) invalidate();
    return rt::none();
}

// One segment's coefficient matrix, read for evaluation.
namespace {
struct Segment {
    np::Array c;

    explicit Segment(Obj matrix) : c(np::Array::from(matrix)) {
        if (c.ndim() != 2 || c.shape(1) != 4)
            rt::raise(PyExc_ValueError, "a segment's coefficient matrix must have 4 columns");
        c = c.as_float64();
    }
    Py_ssize_t size() const { return c.shape(0); }
    // coordinate r of the point, c . [t^3, t^2, t, 1], and of the tangent
    double point(Py_ssize_t r, double t) const {
        return c.at(r, 0) * (t * t * t) + c.at(r, 1) * (t * t) + c.at(r, 2) * t + c.at(r, 3);
    }
    double tangent(Py_ssize_t r, double t) const {
        return c.at(r, 0) * (3.0 * t * t) + c.at(r, 1) * (2.0 * t) + c.at(r, 2);
    }
};
}  // namespace

static Ref Swoopline_evaluate_curve_segment(const Env&, Obj self, Obj segNo, Obj t) {
    Ref coeffs = self.attr(RT_ID("coeff_matrix"));
    if (coeffs.len() < 1) return rt::none();
    const Segment seg(coeffs[segNo]);
    const double tv = t.to_double();
    const Py_ssize_t d = seg.size();
    static np::Recycled points, tangents;
    np::Array p = points.vector(d);
    np::Array m = tangents.vector(d);
    for (Py_ssize_t r = 0; r < d; ++r) {
        p.at(r) = seg.point(r, tv);
        m.at(r) = seg.tangent(r, tv);
    }
    return rt::tuple(p.ref(), m.ref());
}

// ---------------------------------------------------------------------------

static const char kDrawSceneDoc[] =
    "\n"
    "        Draw the sequence of Swoopline segments and tangents at the endpoints.\n"
    "        ";

static Ref Swoopline_draw_scene(const Env& g, Obj self, Obj bDrawCoord) {
    const Py_ssize_t NSeg = self.attr(RT_ID("point_tangent_list")).len() - 1;
    if (NSeg < 1 || self.attr(RT_ID("coeff_matrix")).len() < 1) return rt::none();

    if (bDrawCoord.is_true()) {
        rt::gl::with_matrix(g, [&] {
            g[RT_ID("glScalef")](0.2, 0.2, 0.2);
            g[RT_ID("draw3DCoordinateAxesQuadrics")]();
        });
    }

    static rt::gl::Entry<float, float, float> glVertex3f("glVertex3f", "glVertex3f", true);
    // Without an override of evaluate_curve_segment the samples are computed
    // here, with no arrays made per sample.
    const bool own_evaluate = rt::is_bound_native(self.attr(RT_ID("evaluate_curve_segment")), self,
                                                  rt::body_of<Swoopline_evaluate_curve_segment>());

    rt::gl::with_all_attribs(g, [&] {
        g[RT_ID("glColor3f")](0.8, 0.8, 0.8);
        rt::gl::begin(g, RT_ID("GL_LINE_STRIP"), [&] {
            for (Py_ssize_t segNo = 0; segNo < NSeg; ++segNo) {
                Ref ts = g[RT_ID("np")].attr(RT_ID("linspace"))(0, 1, self.attr(RT_ID("num_samples_rendering")));
                if (own_evaluate) {
                    const Segment seg(self.attr(RT_ID("coeff_matrix"))[segNo]);
                    if (seg.size() < 3) rt::raise(PyExc_IndexError, "a spline point needs three coordinates to be drawn");
                    const np::Array t = np::Array::from(ts).as_float64();
                    for (Py_ssize_t i = 0; i < t.shape(0); ++i)
                        glVertex3f(g, seg.point(0, t.at(i)), seg.point(1, t.at(i)), seg.point(2, t.at(i)));
                    continue;
                }
                Ref it = Ref::steal(PyObject_GetIter(ts.ptr()));
                while (PyObject* item = PyIter_Next(it.ptr())) {
                    Ref t = Ref::steal(item);
                    Ref pt, tangent;
                    rt::unpack(self.attr(RT_ID("evaluate_curve_segment"))(segNo, t), {&pt, &tangent});
                    g[RT_ID("glVertex3f")](pt[0], pt[1], pt[2]);
                }
                if (PyErr_Occurred()) rt::raise();
            }
        });
    });

    // A red line of length 0.5 along the tangent at every data point; a
    // zero tangent has no direction, so it gets no line.
    auto tangent_line = [&](Py_ssize_t segNo, int t) {
        Ref pt, tangent;
        rt::unpack(self.attr(RT_ID("evaluate_curve_segment"))(segNo, t), {&pt, &tangent});
        np::Array m = np::Array::from(tangent).as_float64();
        np::Array p = np::Array::from(pt).as_float64();
        if (m.ndim() != 1 || p.ndim() != 1 || m.shape(0) < 3 || p.shape(0) < 3)
            rt::raise(PyExc_ValueError, "a point and tangent need three coordinates to be drawn");
        double length = 0.0;
        for (Py_ssize_t i = 0; i < m.shape(0); ++i) length += m.at(i) * m.at(i);
        length = std::sqrt(length);
        if (!(length > 0.0) || !std::isfinite(length)) return;
        rt::gl::begin(g, RT_ID("GL_LINES"), [&] {
            glVertex3f(g, p.at(0), p.at(1), p.at(2));
            glVertex3f(g, p.at(0) + m.at(0) / length * 0.5, p.at(1) + m.at(1) / length * 0.5,
                       p.at(2) + m.at(2) / length * 0.5);
        });
    };

    rt::gl::with_all_attribs(g, [&] {
        g[RT_ID("glColor3f")](1.0, 0.2, 0.2);
        for (Py_ssize_t segNo = 0; segNo < NSeg; ++segNo) tangent_line(segNo, 0);
        tangent_line(NSeg - 1, 1);
    });
    return rt::none();
}

// ---------------------------------------------------------------------------

static Ref main_(const Env& g) {
    g[RT_ID("glutInit")]();
    g[RT_ID("glutInitDisplayMode")](rt::bit_or(g[RT_ID("GLUT_DOUBLE")], g[RT_ID("GLUT_RGBA")]));
    Ref hcurve = g[RT_ID("Swoopline")]();

    auto quarter_pi = [&] { return rt::true_divide(g[RT_ID("np")].attr(RT_ID("pi")), rt::to_ref(4)); };
    auto cos = [&](Obj x) { return g[RT_ID("np")].attr(RT_ID("cos"))(x); };
    auto sin = [&](Obj x) { return g[RT_ID("np")].attr(RT_ID("sin"))(x); };
    hcurve.attr(RT_ID("add_point"))(rt::tuple(rt::list(1, 0, 0), rt::list(0, 1, 0)));
    Ref px = cos(quarter_pi()), py = sin(quarter_pi());
    Ref mx = rt::negate(cos(quarter_pi())), my = sin(quarter_pi());
    hcurve.attr(RT_ID("add_point"))(rt::tuple(rt::list(px, py, 0), rt::list(mx, my, 0)));
    hcurve.attr(RT_ID("add_point"))(rt::tuple(rt::list(0, 1, 0), rt::list(-1, 0, 0)));
    hcurve.attr(RT_ID("add_point"))(rt::tuple(rt::list(0, 0, 0), rt::list(-1, 0, 0)));
    hcurve.attr(RT_ID("add_point"))(rt::tuple(rt::list(0, 0, 1), rt::list(1, 0, 0)));
    hcurve.attr(RT_ID("add_point"))(rt::tuple(rt::list(0, 1, 1), rt::list(1, 1, 1)));

    Ref cam_spec = rt::dict({{"eye", rt::list(0, 0, 4)},
                             {"center", rt::list(0, 0, 0)},
                             {"up", rt::list(0, 1, 0)},
                             {"fovy", rt::to_ref(30)},
                             {"aspect", rt::to_ref(1.0)},
                             {"near", rt::to_ref(0.01)},
                             {"far", rt::to_ref(200.0)}});
    Ref c1 = g[RT_ID("View")](hcurve, cam_spec);
    g[RT_ID("Framepane")]("Swoopline", c1, rt::kw(RT_ID("window_size"), RT_CONST(rt::tuple(512, 512))));
    g[RT_ID("glutMainLoop")]();
    return rt::none();
}

static void module_body(const rt::Module& mod) {
    mod.import("numpy", RT_ID("np"));
    np::init();
    mod.import_from("numpy", {RT_ID("transpose")});
    mod.import_from("numpy.linalg", {RT_ID("inv")});
    mod.import_from("Stagehall", {RT_ID("Model")});

    rt::ClassBuilder cls(mod, "Swoopline", {mod[RT_ID("Model")]}, kClassDoc);
    cls.def<Swoopline_init>({"__init__", "Swoopline.__init__", kInitDoc, {"self", "data_points", "num_samples_rendering"}},
                            rt::tuple(nullptr, 101));
    cls.def<Swoopline_set_data>({"set_data", "Swoopline.set_data", nullptr, {"self", "point_tangent_list"}});
    cls.def<Swoopline_add_point>({"add_point", "Swoopline.add_point", kAddPointDoc, {"self", "data_point"}});
    cls.def<Swoopline_evaluate_curve_segment>(
        {"evaluate_curve_segment", "Swoopline.evaluate_curve_segment", kEvaluateDoc, {"self", "segNo", "t"}});
    cls.def<Swoopline_draw_scene>({"draw_scene", "Swoopline.draw_scene", kDrawSceneDoc, {"self", "bDrawCoord"}},
                                  rt::tuple(true));
    mod.set(RT_ID("Swoopline"), cls.create());

    mod.import_star("OpenGL.GL");
    mod.import_star("Sketchkit");
    mod.import_from("Stagehall", {RT_ID("View"), RT_ID("Framepane")});
    mod.def<main_>({"main", "main", nullptr, {}});

    if (mod[RT_ID("__name__")].equals("__main__")) mod[RT_ID("main")]();
    mod.set(RT_ID("__test__"), rt::dict());
}

RT_MODULE(Swoopline, kModuleDoc, module_body)
