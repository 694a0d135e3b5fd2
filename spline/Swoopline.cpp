// Swoopline: a piecewise cubic Hermite spline built data point by data point.
//
// Each segment's coefficient matrix is computed once, when its second data
// point arrives; evaluation is then two small products. Every method does
// what the module's algorithm does through the interpreter; behind guards,
// native kernels do the same for plain data.
#include <algorithm>
#include <cmath>
#include <vector>

#include "rt.hpp"

using rt::Env;
using rt::Method;
using rt::Name;
using rt::Obj;
using rt::Ref;
namespace gl = rt::gl;
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


// The module's globals, looked up at the moment of use.
namespace G {
Name np("np"), len("len"), transpose("transpose"), inv("inv"), Model("Model"), Swoopline("Swoopline"), View("View"),
    Framepane("Framepane"), glutInit("glutInit"), glutInitDisplayMode("glutInitDisplayMode"),
    glutMainLoop("glutMainLoop"), GLUT_DOUBLE("GLUT_DOUBLE"), GLUT_RGBA("GLUT_RGBA"),
    draw3DCoordinateAxesQuadrics("draw3DCoordinateAxesQuadrics"), GL_LINE_STRIP("GL_LINE_STRIP"),
    GL_LINES("GL_LINES");
gl::Func<float, float, float> glScalef("glScalef", "glScalef"), glColor3f("glColor3f", "glColor3f"),
    glVertex3f("glVertex3f", "glVertex3f");
np::Path np_dot(np, np::Path::Impl::c, "dot"), np_linspace(np, np::Path::Impl::python, "linspace"),
    np_norm(np, np::Path::Impl::python, "linalg", "norm");
}  // namespace G

namespace {

// The spline's two lists as the instance dictionary holds them, to tell
// whether a data point's methods changed them meanwhile and to put them
// back if they did.
struct Snapshot {
    Ref points, coeffs;
    Py_ssize_t npoints = 0, ncoeffs = 0;

    static bool lists(Obj self, Ref& p, Ref& c) {
        Ref d = Ref::steal_or_null(rt::compat::instance_dict(self.ptr()));
        if (!d) return false;
        p = Ref::borrow(rt::compat::dict_get(d.ptr(), RT_ID("point_tangent_list")));
        c = Ref::borrow(rt::compat::dict_get(d.ptr(), RT_ID("coeff_matrix")));
        PyErr_Clear();
        return p && c;
    }
    explicit Snapshot(Obj self) {
        Ref p, c;
        if (!lists(self, p, c) || !PyList_CheckExact(p.ptr()) || !PyList_CheckExact(c.ptr())) return;
        points = p;
        coeffs = c;
        npoints = PyList_GET_SIZE(p.ptr());
        ncoeffs = PyList_GET_SIZE(c.ptr());
    }

    // The lists are no longer the spline's, or other than `added` points
    // longer with their matrices as they were.
    bool changed(Obj self, Py_ssize_t added) const {
        if (!points) return false;
        Ref p, c;
        lists(self, p, c);
        return p.ptr() != points.ptr() || c.ptr() != coeffs.ptr() ||
               PyList_GET_SIZE(points.ptr()) != npoints + added || PyList_GET_SIZE(coeffs.ptr()) != ncoeffs;
    }
    // Puts back the lists as they were, with what was there at the time.
    void restore(Obj self) const {
        Ref d = Ref::steal_or_null(rt::compat::instance_dict(self.ptr()));
        if (!d) return;
        PyDict_SetItem(d.ptr(), RT_ID("point_tangent_list"), points.ptr());
        PyDict_SetItem(d.ptr(), RT_ID("coeff_matrix"), coeffs.ptr());
        if (PyList_GET_SIZE(points.ptr()) > npoints) PyList_SetSlice(points.ptr(), npoints, PY_SSIZE_T_MAX, nullptr);
        if (PyList_GET_SIZE(coeffs.ptr()) > ncoeffs) PyList_SetSlice(coeffs.ptr(), ncoeffs, PY_SSIZE_T_MAX, nullptr);
        PyErr_Clear();
    }
};

// Splines that an add_point or set_data is changing right now. A second
// call on the same spline meanwhile -- from another thread, or from a data
// point's own methods -- fails at once and changes nothing, so that no
// call that has returned ever loses what it added. set_data lets its own
// add_point calls in.
class Changing {
    PyObject* spline_ = nullptr;  // registered by this call
    static std::vector<PyObject*>& busy() {
        static std::vector<PyObject*>* b = new std::vector<PyObject*>();  // for the life of the process
        return *b;
    }

  public:
    static thread_local PyObject* let_in;

    explicit Changing(Obj spline) {
        std::vector<PyObject*>& b = busy();
        if (std::find(b.begin(), b.end(), spline.ptr()) != b.end()) {
            if (let_in != spline.ptr()) rt::raise(PyExc_RuntimeError, "another call is changing the spline");
            let_in = nullptr;  // once: its own data points' calls stay out
            return;
        }
        b.push_back(spline.ptr());
        spline_ = spline.ptr();
    }
    ~Changing() {
        if (!spline_) return;
        std::vector<PyObject*>& b = busy();
        b.erase(std::find(b.begin(), b.end(), spline_));
    }
    Changing(const Changing&) = delete;
    Changing& operator=(const Changing&) = delete;
};
thread_local PyObject* Changing::let_in = nullptr;

// seq.append(item): the list's own append, or the object's method.
void append(Obj seq, Obj item) {
    if (PyList_CheckExact(seq.ptr())) {
        if (PyList_Append(seq.ptr(), item.ptr()) < 0) rt::raise();
    } else {
        seq.method(RT_ID("append"))(item);
    }
}

// A segment's coefficient matrix, when it is a plain (d, 4) float64 array.
np::Array plain_segment(PyObject* matrix) {
    np::Array c = np::Array::exact_float64(matrix, 2);
    return c && c.shape(1) == 4 ? c : np::Array();
}

// c . [t*t*t, t*t, t, 1] and c . [3*t*t, 2*t, 1, 0], coordinate r.
double point_at(const np::Array& c, Py_ssize_t r, double t) {
    return c.at(r, 0) * (t * t * t) + c.at(r, 1) * (t * t) + c.at(r, 2) * t + c.at(r, 3) * 1.0;
}
double tangent_at(const np::Array& c, Py_ssize_t r, double t) {
    return c.at(r, 0) * (3.0 * t * t) + c.at(r, 1) * (2.0 * t) + c.at(r, 2) * 1.0 + c.at(r, 3) * 0.0;
}

// numpy.linspace(0, 1, num), element i.
double linspace01(Py_ssize_t i, Py_ssize_t num) {
    if (num > 1 && i == num - 1) return 1.0;
    const double step = 1.0 / static_cast<double>(num - 1);
    return num > 1 ? static_cast<double>(i) * step + 0.0 : 0.0;
}

// numpy.linspace(0, 1, num) as a new array.
Ref linspace01(Py_ssize_t num) {
    np::Array a = np::Array::empty({num});
    for (Py_ssize_t i = 0; i < num; ++i) a.at(i) = linspace01(i, num);
    return a.ref();
}

// The Euclidean length without overflow or underflow: scaled first.
double scaled_norm(const double* v, Py_ssize_t n) {
    double scale = 0.0;
    for (Py_ssize_t i = 0; i < n; ++i) scale = std::fmax(scale, std::fabs(v[i]));
    if (scale == 0.0 || !std::isfinite(scale)) return scale;
    double sum = 0.0;
    for (Py_ssize_t i = 0; i < n; ++i) sum += (v[i] / scale) * (v[i] / scale);
    return scale * std::sqrt(sum);
}

}  // namespace

// ---------------------------------------------------------------------------
// class Swoopline(Model)

static Ref Swoopline_init(const Env& g, Obj self, Obj data_points, Obj num_samples_rendering) {
    g[G::Model].attr(RT_ID("__init__"))(self);
    self.setattr(RT_ID("num_samples_rendering"), num_samples_rendering);
    Ref B = g[G::inv](rt::list(
        {rt::list({0, 1, 0, 3}), rt::list({0, 1, 0, 2}), rt::list({0, 1, 1, 1}), rt::list({1, 1, 0, 0})}));
    self.setattr(RT_ID("B_Hermite"), B);
    self.setattr(RT_ID("coeff_matrix"), rt::list());
    self.setattr(RT_ID("point_tangent_list"), rt::list());
    if (data_points.is_none()) return rt::none();
    self.method(RT_ID("set_data"))(data_points);
    return rt::none();
}

// All or nothing: a failing data point leaves the previous spline in place.
static Ref Swoopline_set_data(const Env&, Obj self, Obj point_tangent_list) {
    const Changing changing(self);
    // the dictionary's entries as they are, or missing
    PyObject* const keys[2] = {RT_ID("point_tangent_list"), RT_ID("coeff_matrix")};
    Ref dict = Ref::steal_or_null(rt::compat::instance_dict(self.ptr()));
    Ref saved[2];
    for (int k = 0; dict && k < 2; ++k) {
        saved[k] = Ref::borrow(rt::compat::dict_get(dict.ptr(), keys[k]));
        PyErr_Clear();
    }
    rt::OnError restore([&] {
        for (int k = 0; dict && k < 2; ++k) {
            if (saved[k])
                PyDict_SetItem(dict.ptr(), keys[k], saved[k].ptr());
            else if (PyDict_DelItem(dict.ptr(), keys[k]) < 0)
                PyErr_Clear();
        }
    });
    self.setattr(RT_ID("point_tangent_list"), rt::list());
    self.setattr(RT_ID("coeff_matrix"), rt::list());
    rt::for_each(point_tangent_list, [&](Obj data_point) {
        Method add_point = self.method(RT_ID("add_point"));
        Changing::let_in = self.ptr();
        rt::OnError close([] { Changing::let_in = nullptr; });
        add_point(data_point);
        Changing::let_in = nullptr;
    });
    restore.dismiss();
    return rt::none();
}

// All or nothing as well: a data point that fails leaves the spline as it
// was, and so does a data point whose methods change the spline meanwhile.
// Nothing is read from the first data point; a malformed one shows when
// the second arrives.
static Ref Swoopline_add_point(const Env& g, Obj self, Obj data_point) {
    const Changing changing(self);
    const Snapshot before(self);
    bool restored = false;
    auto check_unchanged = [&] {
        if (!before.changed(self, 1)) return;
        before.restore(self);
        restored = true;
        rt::raise(PyExc_RuntimeError, "the spline was changed while a data point was being added");
    };

    Ref points = self.attr(RT_ID("point_tangent_list"));
    append(points, data_point);
    rt::OnError undo([&] {
        PyObject* p = points.ptr();
        if (!restored && PyList_CheckExact(p) && PyList_GET_SIZE(p) > 0 &&
            PyList_GET_ITEM(p, PyList_GET_SIZE(p) - 1) == data_point.ptr())
            PyList_SetSlice(p, PyList_GET_SIZE(p) - 1, PyList_GET_SIZE(p), nullptr);
    });

    if (g[G::len](self.attr(RT_ID("point_tangent_list"))).compare(RT_NUM(2), Py_LT)) {
        check_unchanged();
        undo.dismiss();
        return rt::none();
    }
    Ref p0 = self.attr(RT_ID("point_tangent_list"))[-2][0];
    Ref m0 = self.attr(RT_ID("point_tangent_list"))[-2][1];
    Ref p1 = self.attr(RT_ID("point_tangent_list"))[-1][0];
    Ref m1 = self.attr(RT_ID("point_tangent_list"))[-1][1];
    Ref G_Hermite = g[G::transpose](rt::list({p0, p1, m0, m1}));
    Ref coeff_matrix = g[G::np].attr(RT_ID("dot"))({G_Hermite, self.attr(RT_ID("B_Hermite"))});
    check_unchanged();
    append(self.attr(RT_ID("coeff_matrix")), coeff_matrix);
    undo.dismiss();
    return rt::none();
}

namespace {

// Python's len is the builtin one.
bool genuine_len(const Env& g) {
    static rt::CFunction len(rt::compat::kBuiltinsModule, "len");
    return len.is(g.peek(G::len));
}

}  // namespace

static Ref Swoopline_evaluate_curve_segment(const Env& g, Obj self, Obj segNo, Obj t) {
    static rt::AttrCache cache;
    PyObject* const names[1] = {RT_ID("coeff_matrix")};
    Ref coeffs;
    cache.read(self, names, 1, &coeffs);
    double tv;
    if (coeffs && PyList_CheckExact(coeffs.ptr()) && rt::compat::is_exact_int(segNo.ptr()) &&
        np::plain_number(t.ptr(), tv) && genuine_len(g) && G::np_dot.genuine(g)) {
        const Py_ssize_t n = PyList_GET_SIZE(coeffs.ptr());
        if (n < 1) return rt::none();
        long long i;
        if (rt::compat::int_value(segNo.ptr(), i) && -n <= i && i < n) {
            if (const np::Array c = plain_segment(PyList_GET_ITEM(coeffs.ptr(), i < 0 ? i + n : i))) {
                const Py_ssize_t d = c.shape(0);
                static np::Recycled points, tangents;
                np::Array p = points.vector(d);
                np::Array m = tangents.vector(d);
                np::QuietArithmetic fp;
                for (Py_ssize_t r = 0; r < d; ++r) {
                    p.at(r) = point_at(c, r, tv);
                    m.at(r) = tangent_at(c, r, tv);
                }
                if (fp.quiet()) return rt::tuple({p.ref(), m.ref()});
            }
        }
    }

    if (g[G::len](self.attr(RT_ID("coeff_matrix"))).compare(RT_NUM(1), Py_LT)) return rt::none();
    Ref p = g[G::np].attr(RT_ID("dot"))(
        {self.attr(RT_ID("coeff_matrix"))[segNo], rt::list({t.mul(t).mul(t), t.mul(t), t, 1})});
    Ref m = g[G::np].attr(RT_ID("dot"))(
        {self.attr(RT_ID("coeff_matrix"))[segNo], rt::list({RT_NUM(3).mul(t).mul(t), RT_NUM(2).mul(t), 1, 0})});
    return rt::tuple({p, m});
}

// ---------------------------------------------------------------------------

static const char kDrawSceneDoc[] =
    "\n"
    "        Draw the sequence of Swoopline segments and tangents at the endpoints.\n"
    "        ";

namespace {

// The tangent is exactly zero in every component: it has no direction, so
// it gets no line.
bool all_zero(Obj tangent) {
    // (numpy.asarray(tangent) == 0).all(), any failure meaning "no"
    try {
        Ref equal = np::Array::from(tangent).ref().compare_to(RT_NUM(0), Py_EQ);
        return equal.method(RT_ID("all"))().truth();
    } catch (const rt::Error&) {
        PyErr_Clear();
        return false;
    }
}

// np.linalg.norm squares before it sums, so a finite tangent of 1e200 or
// 1e-170 gets a length of inf or 0; such a length is taken again, scaled.
Ref mend_length(Obj tangent, Ref length) {
    double L;
    if (!np::number_value(length.ptr(), L) || (L != 0.0 && !std::isinf(L))) return length;
    np::Array a;
    try {
        a = np::Array::from(tangent);
    } catch (const rt::Error&) {
        PyErr_Clear();
        return length;
    }
    const char kind = a.kind();
    if (a.ndim() != 1 || a.shape(0) == 0 || !(kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f'))
        return length;
    a = a.as_float64();
    for (Py_ssize_t i = 0; i < a.shape(0); ++i)
        if (!std::isfinite(a.at(i))) return length;
    std::vector<double> v(a.shape(0));
    for (Py_ssize_t i = 0; i < a.shape(0); ++i) v[i] = a.at(i);
    const double scaled = scaled_norm(v.data(), a.shape(0));
    if (scaled == 0.0) return length;
    return rt::to_ref(scaled);
}

}  // namespace

// The literal drawing, from sample `first` of segment `seg` on (`ts` the
// samples of that segment when the loop made them already).
static void draw_strip(const Env& g, Obj self, Py_ssize_t NSeg, Py_ssize_t seg = 0, Py_ssize_t first = 0,
                       Obj ts = Obj()) {
    for (Py_ssize_t segNo = seg; segNo < NSeg; ++segNo) {
        Ref s = rt::to_ref(static_cast<long long>(segNo));
        Ref samples = segNo == seg && ts ? Ref::borrow(ts.ptr())
                                         : g[G::np].attr(RT_ID("linspace"))({0, 1, self.attr(RT_ID("num_samples_rendering"))});
        Py_ssize_t i = 0;
        rt::for_each(samples, [&](Obj t) {
            if (segNo == seg && i++ < first) return;
            Ref pt, tangent;
            rt::unpack(self.method(RT_ID("evaluate_curve_segment"))({s, t}), {&pt, &tangent});
            G::glVertex3f(g)({pt[0], pt[1], pt[2]});
        });
    }
}

// A red line of length 0.5 along the tangent at a data point.
static void tangent_line(const Env& g, Obj self, Obj segNo, Obj t) {
    Ref pt, tangent;
    rt::unpack(self.method(RT_ID("evaluate_curve_segment"))({segNo, t}), {&pt, &tangent});
    if (all_zero(tangent)) return;
    gl::begin(g, G::GL_LINES, [&] {
        G::glVertex3f(g)({pt[0], pt[1], pt[2]});
        Ref length = mend_length(tangent, g[G::np].attr(RT_ID("linalg")).attr(RT_ID("norm"))(tangent));
        Ref n = tangent.classic_div(length);
        Ref pt2 = pt.add(n.mul(RT_NUM(0.5)));
        G::glVertex3f(g)({pt2[0], pt2[1], pt2[2]});
    });
}

// The tangent lines from line `first` on: the start of every segment, then
// the end of the last one.
static void tangent_lines(const Env& g, Obj self, Py_ssize_t NSeg, Py_ssize_t first = 0) {
    for (Py_ssize_t line = first; line <= NSeg; ++line) {
        if (line < NSeg)
            tangent_line(g, self, rt::to_ref(static_cast<long long>(line)), RT_NUM(0));
        else
            tangent_line(g, self, rt::to_ref(static_cast<long long>(NSeg - 1)), RT_NUM(1));
    }
}

namespace {

// What drawing the curve in C stands for: the class's own evaluation with
// numpy's own functions, on plain coefficient matrices of three or more
// rows, and a plain sample count.
struct Curve {
    Ref coeffs;
    std::vector<np::Array> segments;
    std::vector<char> tame;  // per segment: its tangents cannot overflow or underflow
    Py_ssize_t num = 0;

    bool holds(const Env& g, Obj self, Py_ssize_t NSeg) {
        coeffs = rt::plain_attr(self, RT_ID("coeff_matrix"));
        Ref samples = rt::plain_attr(self, RT_ID("num_samples_rendering"));
        double count;
        if (!coeffs || !PyList_CheckExact(coeffs.ptr()) || PyList_GET_SIZE(coeffs.ptr()) < NSeg || !samples ||
            !rt::compat::is_exact_int(samples.ptr()) || !np::plain_number(samples.ptr(), count, 1 << 24) || count < 0 ||
            !rt::own_method<Swoopline_evaluate_curve_segment>(self, RT_ID("evaluate_curve_segment")) ||
            !genuine_len(g) || !G::np_dot.genuine(g) || !G::np_linspace.genuine(g) || !G::np_norm.genuine(g))
            return false;
        num = static_cast<Py_ssize_t>(count);
        segments.clear();
        tame.clear();
        for (Py_ssize_t i = 0; i < NSeg; ++i) {
            segments.push_back(plain_segment(PyList_GET_ITEM(coeffs.ptr(), i)));
            const np::Array& c = segments.back();
            if (!c || c.shape(0) < 3) return false;
            // with every coefficient 0 or of a magnitude in [1e-200, 1e200],
            // the tangent at any t in [0, 1] (t >= 2**-24 where it is not 0)
            // can neither overflow nor underflow
            bool t = true;
            for (Py_ssize_t r = 0; r < c.shape(0); ++r)
                for (int k = 0; k < 4; ++k) {
                    const double a = std::fabs(c.at(r, k));
                    t = t && (a == 0.0 || (a >= 1e-200 && a <= 1e200));
                }
            tame.push_back(t);
        }
        return true;
    }
    bool same(const Curve& o) const {
        if (coeffs.ptr() != o.coeffs.ptr() || num != o.num || segments.size() != o.segments.size()) return false;
        for (size_t i = 0; i < segments.size(); ++i)
            if (segments[i].obj().ptr() != o.segments[i].obj().ptr()) return false;
        return true;
    }
};

// The line along the tangent at parameter t of a segment: from the point,
// 0.5 along the unit tangent (of all its components); false when NumPy
// would act on the arithmetic (an overflowing or vanishing length).
struct Line {
    double from[3], to[3];
    bool drawn;
};
bool line_of(const np::Array& c, double t, Line& line) {
    const Py_ssize_t d = c.shape(0);
    std::vector<double> pt(d), m(d);
    np::QuietArithmetic fp;
    line.drawn = false;
    double sum = 0.0;
    for (Py_ssize_t r = 0; r < d; ++r) {
        pt[r] = point_at(c, r, t);
        m[r] = tangent_at(c, r, t);
        line.drawn = line.drawn || m[r] != 0.0;
        sum += m[r] * m[r];
    }
    if (line.drawn) {
        const double length = std::sqrt(sum);
        for (int r = 0; r < 3; ++r) {
            line.from[r] = pt[r];
            line.to[r] = pt[r] + m[r] / length * 0.5;
        }
    }
    return fp.quiet();
}

}  // namespace

// The strip and the tangent lines in C while the guard holds, on the
// literal path from where it stops holding; false when it cannot start.
static bool draw_curve_natively(const Env& g, Obj self, Py_ssize_t NSeg) {
    Curve curve;
    unsigned mask, strip, lines;
    Ref mask_object;
    if (!curve.holds(g, self, NSeg) || !gl::enum_value(g, gl::GL_ALL_ATTRIB_BITS, mask, &mask_object) ||
        !gl::enum_value(g, G::GL_LINE_STRIP, strip) || !gl::enum_value(g, G::GL_LINES, lines))
        return false;
    gl::Drawing d(g, {&gl::glPushAttrib, &gl::glPopAttrib, &gl::glBegin, &gl::glEnd, &G::glColor3f, &G::glVertex3f});
    if (!d.native()) return false;
    rt::Pace pace;
    auto recheck = [&] {
        Curve now;
        d.recheck(now.holds(g, self, NSeg) && now.same(curve));
    };

    d.attribs(gl::GL_ALL_ATTRIB_BITS, mask, mask_object, [&] {
        d.call(G::glColor3f, [] { return rt::Args{RT_NUM(0.8), RT_NUM(0.8), RT_NUM(0.8)}; }, 0.8f, 0.8f, 0.8f);
        d.primitive(G::GL_LINE_STRIP, strip, [&] {
            // a batch of samples is worked out before any is drawn: where
            // NumPy would act on the arithmetic, the literal path draws it
            constexpr Py_ssize_t kBatch = 1024;
            float batch[kBatch][3];
            const Py_ssize_t num = curve.num;
            for (Py_ssize_t segNo = 0; segNo < NSeg; ++segNo) {
                const np::Array& c = curve.segments[segNo];
                for (Py_ssize_t i0 = 0; i0 == 0 || i0 < num; i0 += kBatch) {
                    // the literal loop made this segment's samples already
                    // unless it is at its first one
                    if (!d.native()) return draw_strip(g, self, NSeg, segNo, i0, i0 ? Obj(linspace01(num)) : Obj());
                    const Py_ssize_t i1 = std::min(num, i0 + kBatch);
                    bool quiet;
                    {
                        np::QuietArithmetic fp;
                        const bool tame = curve.tame[segNo];
                        if (tame && c.shape(0) == 3) {
                            // the usual case, with the coefficients at hand
                            double k[3][4];
                            for (int r = 0; r < 3; ++r)
                                for (int j = 0; j < 4; ++j) k[r][j] = c.at(r, j);
                            for (Py_ssize_t i = i0; i < i1; ++i) {
                                const double t = linspace01(i, num), t2 = t * t, t3 = t * t * t;
                                for (int r = 0; r < 3; ++r)
                                    batch[i - i0][r] =
                                        static_cast<float>(k[r][0] * t3 + k[r][1] * t2 + k[r][2] * t + k[r][3] * 1.0);
                            }
                        } else {
                            for (Py_ssize_t i = i0; i < i1; ++i) {
                                const double t = linspace01(i, num);
                                for (Py_ssize_t r = 0; r < c.shape(0); ++r) {
                                    const double p = point_at(c, r, t);
                                    // the method works out the tangent too:
                                    // only for what its arithmetic might raise
                                    if (!tame) tangent_at(c, r, t);
                                    if (r < 3) batch[i - i0][r] = static_cast<float>(p);
                                }
                            }
                        }
                        quiet = fp.quiet();
                    }
                    if (!quiet) {
                        d.give_way();
                        return draw_strip(g, self, NSeg, segNo, i0, i0 ? Obj(linspace01(num)) : Obj());
                    }
                    for (Py_ssize_t i = i0; i < i1; ++i)
                        G::glVertex3f.c(batch[i - i0][0], batch[i - i0][1], batch[i - i0][2]);
                    if (pace.tick(static_cast<unsigned>(i1 - i0) + 1)) recheck();
                }
            }
        });
    });
    d.attribs(gl::GL_ALL_ATTRIB_BITS, mask, mask_object, [&] {
        d.call(G::glColor3f, [] { return rt::Args{RT_NUM(1.0), RT_NUM(0.2), RT_NUM(0.2)}; }, 1.0f, 0.2f, 0.2f);
        for (Py_ssize_t line = 0; line <= NSeg; ++line) {
            Line l{};
            if (d.native() && !line_of(curve.segments[line < NSeg ? line : NSeg - 1], line < NSeg ? 0.0 : 1.0, l))
                d.give_way();
            if (!d.native()) return tangent_lines(g, self, NSeg, line);
            if (l.drawn) {
                d.primitive(G::GL_LINES, lines, [&] {
                    G::glVertex3f.c(static_cast<float>(l.from[0]), static_cast<float>(l.from[1]),
                                    static_cast<float>(l.from[2]));
                    G::glVertex3f.c(static_cast<float>(l.to[0]), static_cast<float>(l.to[1]),
                                    static_cast<float>(l.to[2]));
                });
            }
            if (pace.tick(4)) recheck();
        }
    });
    return true;
}

static Ref Swoopline_draw_scene(const Env& g, Obj self, Obj bDrawCoord) {
    Ref nseg = g[G::len](self.attr(RT_ID("point_tangent_list"))).sub(RT_NUM(1));
    if (nseg.compare(RT_NUM(1), Py_LT) || g[G::len](self.attr(RT_ID("coeff_matrix"))).compare(RT_NUM(1), Py_LT))
        return rt::none();
    const Py_ssize_t NSeg = nseg.to_index();  // range(NSeg)

    if (bDrawCoord.is_true()) {
        gl::with_matrix(g, [&] {
            G::glScalef(g)({RT_NUM(0.2), RT_NUM(0.2), RT_NUM(0.2)});
            g[G::draw3DCoordinateAxesQuadrics]();
        });
    }
    if (draw_curve_natively(g, self, NSeg)) return rt::none();

    gl::with_all_attribs(g, [&] {
        G::glColor3f(g)({RT_NUM(0.8), RT_NUM(0.8), RT_NUM(0.8)});
        gl::begin(g, G::GL_LINE_STRIP, [&] { draw_strip(g, self, NSeg); });
    });
    gl::with_all_attribs(g, [&] {
        G::glColor3f(g)({RT_NUM(1.0), RT_NUM(0.2), RT_NUM(0.2)});
        tangent_lines(g, self, NSeg);
    });
    return rt::none();
}

// ---------------------------------------------------------------------------

static Ref main_(const Env& g) {
    g[G::glutInit]();
    g[G::glutInitDisplayMode](g[G::GLUT_DOUBLE].bit_or(g[G::GLUT_RGBA]));
    Ref hcurve = g[G::Swoopline]();

    auto quarter_pi = [&] { return g[G::np].attr(RT_ID("pi")).classic_div(RT_NUM(4)); };
    hcurve.method(RT_ID("add_point"))(rt::tuple({rt::list({1, 0, 0}), rt::list({0, 1, 0})}));
    hcurve.method(RT_ID("add_point"))(rt::tuple(
        {rt::list({g[G::np].attr(RT_ID("cos"))(quarter_pi()), g[G::np].attr(RT_ID("sin"))(quarter_pi()), 0}),
         rt::list({g[G::np].attr(RT_ID("cos"))(quarter_pi()).neg(), g[G::np].attr(RT_ID("sin"))(quarter_pi()), 0})}));
    hcurve.method(RT_ID("add_point"))(rt::tuple({rt::list({0, 1, 0}), rt::list({-1, 0, 0})}));
    hcurve.method(RT_ID("add_point"))(rt::tuple({rt::list({0, 0, 0}), rt::list({-1, 0, 0})}));
    hcurve.method(RT_ID("add_point"))(rt::tuple({rt::list({0, 0, 1}), rt::list({1, 0, 0})}));
    hcurve.method(RT_ID("add_point"))(rt::tuple({rt::list({0, 1, 1}), rt::list({1, 1, 1})}));

    Ref cam_spec = rt::dict({{"eye", rt::list({0, 0, 4})},
                             {"center", rt::list({0, 0, 0})},
                             {"up", rt::list({0, 1, 0})},
                             {"fovy", rt::to_ref(30)},
                             {"aspect", rt::to_ref(1.0)},
                             {"near", rt::to_ref(0.01)},
                             {"far", rt::to_ref(200.0)}});
    Ref c1 = g[G::View]({hcurve, cam_spec});
    g[G::Framepane]({"Swoopline", c1, rt::kw(RT_ID("window_size"), RT_CONST(rt::tuple({512, 512})))});
    g[G::glutMainLoop]();
    return rt::none();
}

static void module_body(const rt::Module& mod) {
    mod.import("numpy", RT_ID("np"));
    np::init();
    mod.import_from("numpy", {RT_ID("transpose")});
    mod.import_from("numpy.linalg", {RT_ID("inv")});
    mod.import_from("Stagehall", {RT_ID("Model")});

    rt::ClassBuilder cls(mod, "Swoopline", mod[G::Model], kClassDoc);
    cls.def<Swoopline_init>({"__init__", "Swoopline.__init__", kInitDoc, {"self", "data_points", "num_samples_rendering"}},
                            rt::tuple({nullptr, 101}));
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
    gl::init();
    mod.def<main_>({"main", "main", nullptr, {}});

    if (mod[RT_ID("__name__")].equals("__main__")) mod[RT_ID("main")]();
    mod.set(RT_ID("__test__"), rt::dict());
}

RT_MODULE(Swoopline, kModuleDoc, module_body)
