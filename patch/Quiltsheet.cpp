// Quiltsheet: a bicubic surface through a 4x4 grid of control points.
//
// Reads like the module it implements: docstring, imports, the class with its
// methods, main. Each method does what the module's algorithm does, step by
// step through the interpreter; where a guard proves that nobody could tell
// the difference (numpy, the GL functions and the methods are the genuine
// ones, the data plain), a native kernel does the same work in C.
#include <algorithm>
#include <cmath>
#include <cstring>
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

// The module's globals, looked up at the moment of use.
namespace G {
Name np("np"), Model("Model"), Quiltsheet("Quiltsheet"), draw3DCoordinateAxesQuadrics("draw3DCoordinateAxesQuadrics"),
    GL_CULL_FACE("GL_CULL_FACE"), GL_TRIANGLES("GL_TRIANGLES");
gl::Func<float, float, float> glScalef("glScalef", "glScalef"), glTranslatef("glTranslatef", "glTranslatef"),
    glColor3f("glColor3f", "glColor3f"), glVertex3f("glVertex3f", "glVertex3f");
gl::Func<unsigned> glDisable("glDisable", "glDisable");
np::Path np_dot(np, np::Path::Impl::c, "dot"), np_zeros(np, np::Path::Impl::c, "zeros"),
    np_min(np, np::Path::Impl::python, "min", nullptr, "amin"), np_max(np, np::Path::Impl::python, "max", nullptr, "amax");
}  // namespace G

// ---------------------------------------------------------------------------
// Kernels: the surface arithmetic in C, for plain data.

namespace {

struct Patch {
    double m[3][4][4];

    // What depends on t alone: Mat_k . T and Mat_k . dT.
    struct Column {
        double mt[3][4], mdt[3][4];
    };
    Column column(double t) const {
        const double T[4] = {t * t * t, t * t, t, 1.0};
        const double dT[4] = {3.0 * t * t, 2.0 * t, 1.0, 0.0};
        Column c;
        for (int k = 0; k < 3; ++k)
            for (int i = 0; i < 4; ++i) {
                c.mt[k][i] = m[k][i][0] * T[0] + m[k][i][1] * T[1] + m[k][i][2] * T[2] + m[k][i][3] * T[3];
                c.mdt[k][i] = m[k][i][0] * dT[0] + m[k][i][1] * dT[1] + m[k][i][2] * dT[2] + m[k][i][3] * dT[3];
            }
        return c;
    }
    // Point and both tangents at (s, t), in the order of evaluate's result.
    static void evaluate(double s, const Column& c, double out[9]) {
        const double S[4] = {s * s * s, s * s, s, 1.0};
        const double dS[4] = {3.0 * s * s, 2.0 * s, 1.0, 0.0};
        for (int k = 0; k < 3; ++k) {
            const double* mt = c.mt[k];
            const double* mdt = c.mdt[k];
            out[k] = S[0] * mt[0] + S[1] * mt[1] + S[2] * mt[2] + S[3] * mt[3];
            out[3 + k] = dS[0] * mt[0] + dS[1] * mt[1] + dS[2] * mt[2] + dS[3] * mt[3];
            out[6 + k] = S[0] * mdt[0] + S[1] * mdt[1] + S[2] * mdt[2] + S[3] * mdt[3];
        }
    }
    void evaluate(double s, double t, double out[9]) const { evaluate(s, column(t), out); }

    // The three coefficient matrices, when they are plain instance
    // attributes holding 4x4 float64 arrays.
    bool read(Obj self) {
        static rt::AttrCache cache;
        PyObject* const names[3] = {RT_ID("MatX"), RT_ID("MatY"), RT_ID("MatZ")};
        Ref values[3];
        if (!cache.read(self, names, 3, values)) return false;
        for (int k = 0; k < 3; ++k) {
            np::Array a = np::Array::exact_float64(values[k].ptr(), 2);
            if (!a || a.shape(0) != 4 || a.shape(1) != 4) return false;
            for (int i = 0; i < 4; ++i)
                for (int j = 0; j < 4; ++j) m[k][i][j] = a.at(i, j);
        }
        return true;
    }
    bool same(const Patch& o) const { return std::memcmp(m, o.m, sizeof m) == 0; }
};

// NumPy warns of overflow and invalid values in its arithmetic; the kernels
// leave such data to the literal path, whose NumPy calls warn as they do.
bool all_finite(const double* v, int n) {
    for (int k = 0; k < n; ++k)
        if (!std::isfinite(v[k])) return false;
    return true;
}

// The first two items of st_param, when reading them runs no code and they
// are plain numbers.
bool plain_params(Obj st_param, double& s, double& t) {
    PyObject* p = st_param.ptr();
    if (PyList_CheckExact(p) || PyTuple_CheckExact(p)) {
        if (Py_SIZE(p) < 2) return false;
        PyObject** items = PyList_CheckExact(p) ? &PyList_GET_ITEM(p, 0) : &PyTuple_GET_ITEM(p, 0);
        return np::plain_number(items[0], s) && np::plain_number(items[1], t);
    }
    np::Array a = np::Array::exact_float64(p, 1);
    if (!a || a.shape(0) < 2) return false;
    s = a.at(0);
    t = a.at(1);
    return true;
}

// (samples[0], samples[1]) when samples is a plain tuple or list of two
// ints: np.zeros(samples) then has two dimensions.
bool plain_pair(Obj samples, Py_ssize_t& m, Py_ssize_t& n) {
    PyObject* p = samples.ptr();
    if (!(PyList_CheckExact(p) || PyTuple_CheckExact(p)) || Py_SIZE(p) != 2) return false;
    PyObject** items = PyList_CheckExact(p) ? &PyList_GET_ITEM(p, 0) : &PyTuple_GET_ITEM(p, 0);
    double a, b;
    const long long limit = 1 << 24;
    if (!rt::compat::is_exact_int(items[0]) || !rt::compat::is_exact_int(items[1]) || !np::plain_number(items[0], a, limit) ||
        !np::plain_number(items[1], b, limit))
        return false;
    m = static_cast<Py_ssize_t>(a);
    n = static_cast<Py_ssize_t>(b);
    return true;
}

// A range of sampled values is rounding noise, not a shape, when it is
// within a few units in the last place of the values' magnitude: a surface
// in the plane x = 2 samples x with errors of a few ulps, which must not be
// stretched over the whole cube.
bool flat(double lo, double hi) {
    if (!std::isfinite(lo) || !std::isfinite(hi)) return false;
    const double magnitude = std::fmax(std::fabs(lo), std::fabs(hi));
    const double ulp = std::nextafter(magnitude, INFINITY) - magnitude;
    return hi - lo <= 128.0 * ulp;
}

// numpy.min/max of a float64 array: NaN wins.
void min_max(const np::Array& a, double& lo, double& hi) {
    lo = hi = a.at(0, 0);
    for (Py_ssize_t i = 0; i < a.shape(0); ++i)
        for (Py_ssize_t j = 0; j < a.shape(1); ++j) {
            const double v = a.at(i, j);
            if (std::isnan(v)) {
                lo = hi = v;
                return;
            }
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
}

// A new float64 array shaped like `like`, every element 0.5.
Ref half_like(Obj like) { return np::full_like(like, 0.5); }

}  // namespace

// ---------------------------------------------------------------------------
// class Quiltsheet(Model)

static Ref Quiltsheet_init(const Env& g, Obj self, Obj data_points, Obj num_samples_rendering) {
    g[G::Model].attr(RT_ID("__init__"))(self);
    self.setattr(RT_ID("data_points"), data_points);
    self.setattr(RT_ID("num_samples_rendering"), num_samples_rendering);
    Ref B = g[G::np].attr(RT_ID("linalg")).attr(RT_ID("inv"))(rt::list(
        {rt::list({0, 1, 8, 27}), rt::list({0, 1, 4, 9}), rt::list({0, 1, 2, 3}), rt::list({1, 1, 1, 1})}));
    self.setattr(RT_ID("B"), B);
    const rt::Const columns[3] = {RT_CONST(rt::tuple({rt::slice_all(), 0})), RT_CONST(rt::tuple({rt::slice_all(), 1})),
                                  RT_CONST(rt::tuple({rt::slice_all(), 2}))};
    PyObject* const names[3] = {RT_ID("MatX"), RT_ID("MatY"), RT_ID("MatZ")};
    for (int k = 0; k < 3; ++k) {
        // Mat = np.dot(np.transpose(self.B), np.dot(np.reshape(data_points[:, k], (4, 4)), self.B))
        Ref mat = g[G::np].attr(RT_ID("dot"))(
            {g[G::np].attr(RT_ID("transpose"))(self.attr(RT_ID("B"))),
             g[G::np].attr(RT_ID("dot"))({g[G::np].attr(RT_ID("reshape"))({data_points[columns[k]], RT_CONST(rt::tuple({4, 4}))}),
                                         self.attr(RT_ID("B"))})});
        self.setattr(names[k], mat);
    }
    return rt::none();
}

static Ref Quiltsheet_evaluate(const Env& g, Obj self, Obj st_param) {
    double s, t;
    Patch patch;
    if (plain_params(st_param, s, t) && G::np_dot.genuine(g) && patch.read(self)) {
        if (rt::assertions_enabled() && !(0.0 <= s && s <= 3.0 && 0.0 <= t && t <= 3.0)) rt::raise_assertion();
        double v[9];
        np::QuietArithmetic fp;
        patch.evaluate(s, t, v);
        if (fp.quiet()) {
            Ref result = Ref::steal(PyList_New(9));
            for (int k = 0; k < 9; ++k) PyList_SET_ITEM(result.ptr(), k, np::float64(v[k]).release());
            return result;
        }
    }

    Ref S_ = st_param[0];
    Ref T_ = st_param[1];
    if (rt::assertions_enabled()) {
        rt::assert_between(S_, 0.0, 3.0);
        rt::assert_between(T_, 0.0, 3.0);
    }
    Obj s_ = S_, t_ = T_;
    Ref S = rt::list({s_.mul(s_).mul(s_), s_.mul(s_), s_, 1});
    Ref T = rt::list({t_.mul(t_).mul(t_), t_.mul(t_), t_, 1});
    Ref dS = rt::list({RT_NUM(3).mul(s_).mul(s_), RT_NUM(2).mul(s_), 1, 0});
    Ref dT = rt::list({RT_NUM(3).mul(t_).mul(t_), RT_NUM(2).mul(t_), 1, 0});
    // np.dot(U, np.dot(self.<matrix>, V))
    auto product = [&](Obj U, PyObject* matrix, Obj V) {
        return g[G::np].attr(RT_ID("dot"))({U, g[G::np].attr(RT_ID("dot"))({self.attr(matrix), V})});
    };
    Ref x = product(S, RT_ID("MatX"), T);
    Ref y = product(S, RT_ID("MatY"), T);
    Ref z = product(S, RT_ID("MatZ"), T);
    Ref dsx = product(dS, RT_ID("MatX"), T);
    Ref dsy = product(dS, RT_ID("MatY"), T);
    Ref dsz = product(dS, RT_ID("MatZ"), T);
    Ref dtx = product(S, RT_ID("MatX"), dT);
    Ref dty = product(S, RT_ID("MatY"), dT);
    Ref dtz = product(S, RT_ID("MatZ"), dT);
    return rt::list({x, y, z, dsx, dsy, dsz, dtx, dty, dtz});
}

namespace {

// What sampling in C stands for: the class's own evaluate on plain
// coefficient matrices with numpy's dot, and the same grid.
bool sampling_holds(const Env& g, Obj self, Obj samples, Py_ssize_t m, Py_ssize_t n, Patch& patch) {
    Py_ssize_t m2, n2;
    return plain_pair(samples, m2, n2) && m2 == m && n2 == n &&
           rt::own_method<Quiltsheet_evaluate>(self, RT_ID("evaluate")) && G::np_dot.genuine(g) && patch.read(self) &&
           all_finite(&patch.m[0][0][0], 48);
}

// The grid filled in C, block of columns by block, so that what depends on
// t alone is kept for one block only. The arrays are nobody else's until
// they are returned, so they are filled without holding the interpreter.
// False when the data or the guard stop allowing it; (i0, j0) is then the
// first point, in the literal loop's order, that is not known to be filled.
bool sample_natively(const Env& g, Obj self, Obj samples, Py_ssize_t m, Py_ssize_t n, const Patch& patch,
                     const np::Array (&out)[9], Py_ssize_t& i0, Py_ssize_t& j0) {
    constexpr Py_ssize_t kBlock = 256;
    std::vector<Patch::Column> columns(static_cast<size_t>(std::min(n, kBlock)));
    const double dm = static_cast<double>(m) - 1.0, dn = static_cast<double>(n) - 1.0;
    for (Py_ssize_t b0 = 0; b0 < n; b0 += kBlock) {
        const Py_ssize_t b1 = std::min(n, b0 + kBlock);
        bool quiet;
        {
            np::QuietArithmetic fp;
            for (Py_ssize_t j = b0; j < b1; ++j) columns[j - b0] = patch.column(3.0 * static_cast<double>(j) / dn);
            quiet = fp.quiet();
        }
        const Py_ssize_t batch = std::max<Py_ssize_t>(1, rt::Pace::kBatch / (b1 - b0));
        for (Py_ssize_t r0 = 0; r0 < m; r0 += batch) {
            const Py_ssize_t r1 = std::min(m, r0 + batch);
            if (quiet) {
                Py_BEGIN_ALLOW_THREADS
                np::QuietArithmetic fp;
                for (Py_ssize_t i = r0; i < r1; ++i) {
                    const double s = 3.0 * static_cast<double>(i) / dm;
                    for (Py_ssize_t j = b0; j < b1; ++j) {
                        double v[9];
                        Patch::evaluate(s, columns[j - b0], v);
                        for (int k = 0; k < 9; ++k) out[k].at(i, j) = v[k];
                    }
                }
                quiet = fp.quiet();
                Py_END_ALLOW_THREADS
            }
            const bool done = r1 == m && b1 == n;
            if (done && quiet) return true;
            bool go_on = quiet;
            if (go_on) {
                rt::Pace::signals();
                Patch now;
                go_on = sampling_holds(g, self, samples, m, n, now) && now.same(patch);
            }
            if (!go_on) {
                // what is done: the blocks before this one, and in this one
                // the rows of the batches before (and this batch, if quiet)
                const Py_ssize_t rows_done = quiet ? r1 : r0;
                i0 = rows_done == 0 || b1 < n ? 0 : rows_done;
                j0 = rows_done == 0 ? b0 : b1 < n ? b1 : b0;
                return false;
            }
        }
    }
    return true;
}

}  // namespace

static Ref Quiltsheet_get_samples(const Env& g, Obj self, Obj samples) {
    Py_ssize_t m = 0, n = 0;
    Patch patch;
    bool fast = plain_pair(samples, m, n) && G::np_zeros.genuine(g) && sampling_holds(g, self, samples, m, n, patch);
    if (rt::assertions_enabled()) {
        if (fast ? !(m >= 2 && n >= 2)
                 : !samples[0].compare(RT_NUM(2), Py_GE) || !samples[1].compare(RT_NUM(2), Py_GE))
            rt::raise_assertion();
    }
    Ref arrays[9];
    Py_ssize_t i0 = 0, j0 = 0;
    if (fast) {
        // Every element is written: by the kernel, or as the zero np.zeros
        // gives when the literal loop takes over. (NumPy 1 puts zeroed
        // arrays in small pages, which take long to give back.)
        np::Array out[9];
        for (int k = 0; k < 9; ++k) {
            out[k] = np::Array::empty({m, n});
            arrays[k] = out[k].ref();
        }
        if (m > 0 && n > 0) {
            // the quotients of the first point, s first
            if (static_cast<double>(m) - 1.0 == 0.0 || static_cast<double>(n) - 1.0 == 0.0)
                rt::raise(PyExc_ZeroDivisionError, rt::compat::float_division_by_zero());
            fast = sample_natively(g, self, samples, m, n, patch, out, i0, j0);
        }
        if (fast)
            return rt::tuple({arrays[0], arrays[1], arrays[2], arrays[3], arrays[4], arrays[5], arrays[6], arrays[7],
                              arrays[8]});
        // what the literal loop has not reached yet is still zero there,
        // also where the kernel went ahead of it
        Py_BEGIN_ALLOW_THREADS
        for (int k = 0; k < 9; ++k)
            for (Py_ssize_t i = i0; i < m; ++i)
                for (Py_ssize_t j = i == i0 ? j0 : 0; j < n; ++j) out[k].at(i, j) = 0.0;
        Py_END_ALLOW_THREADS
    } else {
        for (Ref& a : arrays) a = g[G::np].attr(RT_ID("zeros"))(samples);
        m = samples[0].to_index();  // range(samples[0])
    }

    for (Py_ssize_t i = i0; i < m; ++i) {
        Ref I = rt::to_ref(static_cast<long long>(i));
        const Py_ssize_t cols = samples[1].to_index();  // range(samples[1]), anew for every i
        for (Py_ssize_t j = i == i0 ? j0 : 0; j < cols; ++j) {
            Ref J = rt::to_ref(static_cast<long long>(j));
            Method evaluate = self.method(RT_ID("evaluate"));
            Ref s = RT_NUM(3.0).mul(I).truediv(samples[0].sub(RT_NUM(1.0)));
            Ref t = RT_NUM(3.0).mul(J).truediv(samples[1].sub(RT_NUM(1.0)));
            Ref p = evaluate(rt::list({s, t}));
            for (int k = 0; k < 9; ++k) {
                Ref value = p[k];
                Ref row = arrays[k][I];
                row.setitem(j, value);
            }
        }
    }
    return rt::tuple({arrays[0], arrays[1], arrays[2], arrays[3], arrays[4], arrays[5], arrays[6], arrays[7],
                      arrays[8]});
}

static Ref Quiltsheet_set_color_from_XYZ(const Env& g, Obj, Obj x, Obj y, Obj z) {
    if (rt::assertions_enabled()) {
        rt::assert_between(x, 0.0, 1.0);
        rt::assert_between(y, 0.0, 1.0);
        rt::assert_between(z, 0.0, 1.0);
    }
    G::glColor3f(g)({x, y, z});
    return rt::none();
}

// (V - np.min(V)) / (np.max(V) - np.min(V)), with a flat coordinate mapped
// to 0.5 instead of dividing zero by zero.
static Ref normalized(const Env& g, Obj V) {
    np::Array a = np::Array::exact_float64(V.ptr(), 2);
    if (a && a.size() > 0 && G::np_min.genuine(g) && G::np_max.genuine(g)) {
        double lo, hi;
        min_max(a, lo, hi);
        if (std::isfinite(lo) && std::isfinite(hi) && std::isfinite(hi - lo)) {
            if (flat(lo, hi)) return half_like(V);
            np::Array out = np::Array::empty({a.shape(0), a.shape(1)});
            np::QuietArithmetic fp;
            const double range = hi - lo;
            for (Py_ssize_t i = 0; i < a.shape(0); ++i)
                for (Py_ssize_t j = 0; j < a.shape(1); ++j) out.at(i, j) = (a.at(i, j) - lo) / range;
            if (fp.quiet()) return out.ref();
        }
    }
    Ref lo = g[G::np].attr(RT_ID("min"))(V);
    Ref d = V.sub(lo);
    Ref hi = g[G::np].attr(RT_ID("max"))(V);
    Ref lo2 = g[G::np].attr(RT_ID("min"))(V);
    Ref range = hi.sub(lo2);
    double l, h;
    if (np::number_value(hi.ptr(), h) && np::number_value(lo2.ptr(), l) && flat(l, h)) {
        if (Ref half = half_like(d)) return half;
    }
    return d.truediv(range);
}

// V[a][b] of a normalised coordinate.
static Ref element(Obj V, Py_ssize_t a, Py_ssize_t b) {
    np::Array arr = np::Array::exact_float64(V.ptr(), 2);
    if (arr && 0 <= a && a < arr.shape(0) && 0 <= b && b < arr.shape(1)) return np::float64(arr.at(a, b));
    Ref row = V[a];
    return row[b];
}

namespace {

const int kCell[6][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 0}, {1, 1}, {0, 1}};

// The grid cell the mesh loop's counters (c, r) draw: [r][c], as the loop
// has it. The loop bounds c by the first sample count and uses it as the
// second index, and r the other way round, so on a grid of unequal sides
// [r][c] is outside the grid for some counters; those draw the cell
// [c][r] instead, which the loop would never reach: every cell once.
void cell_of(Obj X, Py_ssize_t c, Py_ssize_t r, Py_ssize_t& a, Py_ssize_t& b) {
    a = r;
    b = c;
    np::Array arr = np::Array::exact_float64(X.ptr(), 2);
    if (!arr) return;
    auto inside = [&](Py_ssize_t i, Py_ssize_t j) { return i + 1 < arr.shape(0) && j + 1 < arr.shape(1); };
    if (!inside(r, c) && inside(c, r)) std::swap(a, b);
}

}  // namespace

// One cell of the mesh: its glBegin/glEnd block of two triangles that share
// the diagonal from [a][b] to [a + 1][b + 1].
static void draw_cell(const Env& g, Obj self, Obj X, Obj Y, Obj Z, Py_ssize_t c, Py_ssize_t r) {
    Py_ssize_t a0, b0;
    cell_of(X, c, r, a0, b0);
    gl::begin(g, G::GL_TRIANGLES, [&] {
        for (const auto& k : kCell) {
            const Py_ssize_t a = a0 + k[0], b = b0 + k[1];
            Method set_color = self.method(RT_ID("set_color_from_XYZ"));
            set_color({element(X, a, b), element(Y, a, b), element(Z, a, b)});
            G::glVertex3f(g)({element(X, a, b), element(Y, a, b), element(Z, a, b)});
        }
    });
}

// The mesh loop from counter (c0, r0) on: for c in range(m - 1), with the
// sample counts read as the loop reads them (item 1 anew for every c; n0
// when it was read for c0 already).
static void draw_mesh(const Env& g, Obj self, Obj X, Obj Y, Obj Z, Obj m, Py_ssize_t c0 = 0, Py_ssize_t r0 = 0,
                      Obj n0 = Obj()) {
    const Py_ssize_t columns = m.sub(RT_NUM(1)).to_index();
    for (Py_ssize_t c = c0; c < columns; ++c) {
        Ref n = c == c0 && n0 ? Ref::borrow(n0.ptr()) : self.attr(RT_ID("num_samples_rendering"))[1];
        const Py_ssize_t rows = n.sub(RT_NUM(1)).to_index();
        for (Py_ssize_t r = c == c0 ? r0 : 0; r < rows; ++r) draw_cell(g, self, X, Y, Z, c, r);
    }
}

namespace {

// What drawing the mesh in C stands for: the normalised arrays plain, the
// sample counts plain and matching them, the class's own colour scheme.
struct Mesh {
    np::Array x, y, z;
    Py_ssize_t m = 0, n = 0;

    bool holds(Obj self) {
        Ref samples = rt::plain_attr(self, RT_ID("num_samples_rendering"));
        if (!samples || !plain_pair(samples, m, n)) return false;
        // the grid the arrays cover: the counters then stay inside it
        for (const np::Array* a : {&x, &y, &z})
            if (!*a || a->shape(0) != m || a->shape(1) != n) return false;
        return rt::own_method<Quiltsheet_set_color_from_XYZ>(self, RT_ID("set_color_from_XYZ"));
    }
};

}  // namespace

// The mesh in its brackets, in C while the guard holds, on the literal path
// from the cell where it stops holding; false when it cannot start in C.
static bool draw_mesh_natively(const Env& g, Obj self, Obj X, Obj Y, Obj Z) {
    Mesh mesh{np::Array::exact_float64(X.ptr(), 2), np::Array::exact_float64(Y.ptr(), 2),
              np::Array::exact_float64(Z.ptr(), 2)};
    unsigned mask, cull, triangles;
    Ref mask_object, cull_object;
    if (!mesh.holds(self) || !gl::enum_value(g, gl::GL_ALL_ATTRIB_BITS, mask, &mask_object) ||
        !gl::enum_value(g, G::GL_CULL_FACE, cull, &cull_object) || !gl::enum_value(g, G::GL_TRIANGLES, triangles))
        return false;
    gl::Drawing d(g, {&gl::glPushMatrix, &gl::glPopMatrix, &gl::glPushAttrib, &gl::glPopAttrib, &gl::glBegin,
                      &gl::glEnd, &G::glDisable, &G::glTranslatef, &G::glColor3f, &G::glVertex3f});
    if (!d.native()) return false;

    const bool check = rt::assertions_enabled();
    const Py_ssize_t m = mesh.m, n = mesh.n;
    d.matrix([&] {
        d.attribs(gl::GL_ALL_ATTRIB_BITS, mask, mask_object, [&] {
            d.call(G::glDisable, [&] { return rt::Args{g[G::GL_CULL_FACE]}; }, cull);
            d.call(G::glTranslatef, [] { return rt::Args{RT_NUM(-0.5), RT_NUM(-0.5), RT_NUM(-0.5)}; }, -0.5f, -0.5f,
                   -0.5f);
            rt::Pace pace;
            for (Py_ssize_t c = 0; c + 1 < m; ++c) {
                for (Py_ssize_t r = 0; r + 1 < n; ++r) {
                    if (!d.native()) {
                        // on from this cell, with the counts as the loop read them
                        draw_mesh(g, self, X, Y, Z, rt::to_ref(static_cast<long long>(m)), c, r,
                                  r > 0 ? Obj(rt::to_ref(static_cast<long long>(n))) : Obj());
                        return;
                    }
                    Py_ssize_t a0, b0;
                    cell_of(X, c, r, a0, b0);
                    d.primitive(G::GL_TRIANGLES, triangles, [&] {
                        for (const auto& cell : kCell) {
                            const Py_ssize_t a = a0 + cell[0], b = b0 + cell[1];
                            const double vx = mesh.x.at(a, b), vy = mesh.y.at(a, b), vz = mesh.z.at(a, b);
                            if (check && !(0.0 <= vx && vx <= 1.0 && 0.0 <= vy && vy <= 1.0 && 0.0 <= vz && vz <= 1.0))
                                rt::raise_assertion();
                            G::glColor3f.c(static_cast<float>(vx), static_cast<float>(vy), static_cast<float>(vz));
                            G::glVertex3f.c(static_cast<float>(vx), static_cast<float>(vy), static_cast<float>(vz));
                        }
                    });
                    if (pace.tick(14)) {
                        Py_ssize_t m0 = m, n0 = n;
                        d.recheck(mesh.holds(self) && mesh.m == m0 && mesh.n == n0);
                    }
                }
            }
        });
    });
    return true;
}

static Ref Quiltsheet_draw_scene(const Env& g, Obj self, Obj bDrawCoordAxes) {
    Ref result = self.method(RT_ID("get_samples"))(self.attr(RT_ID("num_samples_rendering")));

    if (bDrawCoordAxes.is_true()) {
        gl::with_matrix(g, [&] {
            G::glScalef(g)({RT_NUM(0.25), RT_NUM(0.25), RT_NUM(0.25)});
            g[G::draw3DCoordinateAxesQuadrics]();
        });
    }

    Ref X = result[0];
    Ref Y = result[1];
    Ref Z = result[2];
    Ref Xnorm = normalized(g, X);
    Ref Ynorm = normalized(g, Y);
    Ref Znorm = normalized(g, Z);

    if (!draw_mesh_natively(g, self, Xnorm, Ynorm, Znorm)) {
        gl::with_matrix(g, [&] {
            gl::with_all_attribs(g, [&] {
                G::glDisable(g)(g[G::GL_CULL_FACE]);
                G::glTranslatef(g)({RT_NUM(-0.5), RT_NUM(-0.5), RT_NUM(-0.5)});
                draw_mesh(g, self, Xnorm, Ynorm, Znorm, self.attr(RT_ID("num_samples_rendering"))[0]);
            });
        });
    }
    return result;
}

// ---------------------------------------------------------------------------

static Ref main_(const Env& g) {
    std::vector<Ref> glut = rt::from_import(g.globals(), "OpenGL.GLUT",
                                            {RT_ID("glutInit"), RT_ID("glutInitDisplayMode"), RT_ID("glutMainLoop"),
                                             RT_ID("GLUT_DOUBLE"), RT_ID("GLUT_RGBA")});
    const Ref &glutInit = glut[0], &glutInitDisplayMode = glut[1], &glutMainLoop = glut[2], &GLUT_DOUBLE = glut[3],
              &GLUT_RGBA = glut[4];
    std::vector<Ref> framework = rt::from_import(g.globals(), "Stagehall", {RT_ID("View"), RT_ID("Framepane")});
    const Ref &View = framework[0], &Framepane = framework[1];

    glutInit();
    glutInitDisplayMode(GLUT_DOUBLE.bit_or(GLUT_RGBA));

    Ref cam_spec = rt::dict({{"eye", rt::list({2, 2, 2})},
                             {"center", rt::list({0, 0, 0})},
                             {"up", rt::list({0, 1, 0})},
                             {"fovy", rt::to_ref(30)},
                             {"aspect", rt::to_ref(1.0)},
                             {"near", rt::to_ref(0.01)},
                             {"far", rt::to_ref(200.0)}});

    Ref data_points = g[G::np].attr(RT_ID("zeros"))(RT_CONST(rt::tuple({16, 3})));
    Ref column = g[G::np].attr(RT_ID("transpose"))(rt::list({0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3}));
    data_points.setitem(RT_CONST(rt::tuple({rt::slice_all(), 0})), column);
    column = g[G::np].attr(RT_ID("transpose"))(rt::list({0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3}));
    data_points.setitem(RT_CONST(rt::tuple({rt::slice_all(), 1})), column);
    column = g[G::np].attr(RT_ID("transpose"))(rt::list({0, -2, 2, -3, 0, -2, 2, -3, 0, -2, 2, -3, 0, -2, 2, -3}));
    data_points.setitem(RT_CONST(rt::tuple({rt::slice_all(), 2})), column);

    Ref QSheet = g[G::Quiltsheet](data_points);
    Ref cam = View({QSheet, cam_spec});
    Framepane({"Quiltsheet", cam, rt::kw(RT_ID("window_size"), RT_CONST(rt::tuple({512, 512}))),
               rt::kw(RT_ID("window_pos"), RT_CONST(rt::tuple({520, 0})))});
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
    gl::init();

    rt::ClassBuilder cls(mod, "Quiltsheet", mod[G::Model], kClassDoc);
    cls.def<Quiltsheet_init>({"__init__", "Quiltsheet.__init__", kInitDoc, {"self", "data_points", "num_samples_rendering"}},
                             rt::tuple(rt::tuple({34, 34})));
    cls.def<Quiltsheet_evaluate>({"evaluate", "Quiltsheet.evaluate", kEvaluateDoc, {"self", "st_param"}});
    cls.def<Quiltsheet_get_samples>({"get_samples", "Quiltsheet.get_samples", kGetSamplesDoc, {"self", "samples"}},
                                    rt::tuple(rt::tuple({7, 7})));
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
