/* The drawings of the four scene modules written in plain C, as the yardstick
 * for the native modules' own GL calls. bench/baseline.py loads it with
 * ctypes into the bench's process, so both draw on the same context.
 *
 * Every GL call is followed by the error check that PyOpenGL makes after its
 * own wrappers (measured, see baseline.py): glGetError after each GL call
 * except inside glBegin/glEnd (glBegin unchecked, glEnd checked), none after
 * GLU calls. A non-zero code ends the draw at once and is returned, as the
 * wrapper's exception would end it; 0 means success. */
#include <GL/gl.h>
#include <GL/glu.h>
#include <math.h>
#include <stdlib.h>

#define API __attribute__((visibility("default")))

static const double pi = 3.14159265358979323846;
static int checking = 1;
static unsigned long checks;

#define CHECK(call)                                              \
    do {                                                         \
        call;                                                    \
        if (checking) {                                          \
            GLenum e_;                                           \
            ++checks;                                            \
            if ((e_ = glGetError()) != GL_NO_ERROR) return e_;   \
        }                                                        \
    } while (0)

#define TRY(expr)           \
    do {                    \
        GLenum e_ = (expr); \
        if (e_) return e_;  \
    } while (0)

/* PyOpenGL checks only while its error checker is on. */
API void bl_set_error_checking(int on) { checking = on; }

/* glGetError calls made so far: the bench compares them with PyOpenGL's. */
API unsigned long bl_error_checks(void) { return checks; }

/* ------------------------------------------------------------------------
 * Surface patch */

/* Inverse of the node-power matrix: row j holds the coefficients of u^3, u^2,
 * u, 1 of the cubic Lagrange polynomial that is 1 at node j. */
static const double lagrange[4][4] = {
    {-1.0 / 6.0, 1.0, -11.0 / 6.0, 1.0},
    {0.5, -2.5, 3.0, 0.0},
    {-0.5, 2.0, -1.5, 0.0},
    {1.0 / 6.0, -0.5, 1.0 / 3.0, 0.0},
};

/* mat[k] = B^T . G_k . B for the grid G_k[i][j] = points[4i + j][k]. */
API void bl_patch_coefficients(const double points[16][3], double mat[3][4][4]) {
    for (int k = 0; k < 3; ++k) {
        double gb[4][4];
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                gb[i][j] = 0.0;
                for (int l = 0; l < 4; ++l) gb[i][j] += points[4 * i + l][k] * lagrange[l][j];
            }
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                mat[k][i][j] = 0.0;
                for (int l = 0; l < 4; ++l) mat[k][i][j] += lagrange[l][i] * gb[l][j];
            }
    }
}

/* Point and both tangents at (s, t), in the order of Quiltsheet.evaluate. */
static void patch_evaluate(const double mat[3][4][4], double s, double t, double out[9]) {
    const double S[4] = {s * s * s, s * s, s, 1.0};
    const double T[4] = {t * t * t, t * t, t, 1.0};
    const double dS[4] = {3.0 * s * s, 2.0 * s, 1.0, 0.0};
    const double dT[4] = {3.0 * t * t, 2.0 * t, 1.0, 0.0};
    for (int k = 0; k < 3; ++k) {
        double mt[4], mdt[4];
        for (int i = 0; i < 4; ++i) {
            const double *row = mat[k][i];
            mt[i] = row[0] * T[0] + row[1] * T[1] + row[2] * T[2] + row[3] * T[3];
            mdt[i] = row[0] * dT[0] + row[1] * dT[1] + row[2] * dT[2] + row[3] * dT[3];
        }
        out[k] = S[0] * mt[0] + S[1] * mt[1] + S[2] * mt[2] + S[3] * mt[3];
        out[3 + k] = dS[0] * mt[0] + dS[1] * mt[1] + dS[2] * mt[2] + dS[3] * mt[3];
        out[6 + k] = S[0] * mdt[0] + S[1] * mdt[1] + S[2] * mdt[2] + S[3] * mdt[3];
    }
}

/* v mapped onto [0, 1]; a coordinate flat within rounding noise goes to 0.5. */
static void normalise(const double *v, double *out, size_t count) {
    double lo = v[0], hi = v[0];
    for (size_t i = 1; i < count; ++i) {
        lo = fmin(lo, v[i]);
        hi = fmax(hi, v[i]);
    }
    const double big = fmax(fabs(lo), fabs(hi));
    const double range = hi - lo;
    const int flat = isfinite(lo) && isfinite(hi) && range <= 64.0 * (nextafter(big, INFINITY) - big);
    for (size_t i = 0; i < count; ++i) out[i] = flat ? 0.5 : (v[i] - lo) / range;
}

static GLenum patch_mesh(const double *x, const double *y, const double *z, int m, int n) {
    static const int corners[6][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 0}, {1, 1}, {0, 1}};
    CHECK(glPushMatrix());
    CHECK(glPushAttrib(GL_ALL_ATTRIB_BITS));
    CHECK(glDisable(GL_CULL_FACE));
    CHECK(glTranslatef(-0.5f, -0.5f, -0.5f));
    for (int c = 0; c + 1 < n; ++c)
        for (int r = 0; r + 1 < m; ++r) {
            glBegin(GL_TRIANGLES);
            for (int k = 0; k < 6; ++k) {
                const size_t i = (size_t)(r + corners[k][0]) * (size_t)n + (size_t)(c + corners[k][1]);
                glColor3f((GLfloat)x[i], (GLfloat)y[i], (GLfloat)z[i]);
                glVertex3f((GLfloat)x[i], (GLfloat)y[i], (GLfloat)z[i]);
            }
            CHECK(glEnd());
        }
    CHECK(glPopAttrib());
    CHECK(glPopMatrix());
    return 0;
}

/* Quiltsheet.draw_scene(False): sample all nine quantities on the m x n
 * grid, normalise x, y, z, draw the mesh. */
API GLenum bl_patch_draw(const double mat[3][4][4], int m, int n) {
    if (m < 2 || n < 2) return GL_INVALID_VALUE;
    const size_t count = (size_t)m * (size_t)n;
    double *v = malloc(12 * count * sizeof(double)), *norm = v + 9 * count;
    if (!v) return GL_OUT_OF_MEMORY;
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < n; ++j) {
            double p[9];
            patch_evaluate(mat, 3.0 * i / (m - 1.0), 3.0 * j / (n - 1.0), p);
            for (int k = 0; k < 9; ++k) v[k * count + (size_t)i * (size_t)n + (size_t)j] = p[k];
        }
    for (int k = 0; k < 3; ++k) normalise(v + k * count, norm + k * count, count);
    const GLenum e = patch_mesh(norm, norm + count, norm + 2 * count, m, n);
    free(v);
    return e;
}

/* ------------------------------------------------------------------------
 * Koch tetrahedron */

static GLenum tetrahedron(int level);

/* Spirelet.drawSpirelet(level): 15**level unit triangles. */
API GLenum bl_spirelet(int level) {
    if (level < 0) return GL_INVALID_VALUE;
    if (level == 0) {
        glBegin(GL_TRIANGLES);
        glNormal3f(0.0f, 0.0f, 1.0f);
        glVertex3d(0.0, 0.0, 0.0);
        glVertex3d(1.0, 0.0, 0.0);
        glVertex3d(0.5, sqrt(3.0) / 2.0, 0.0);
        CHECK(glEnd());
        return 0;
    }
    /* x, and y in units of the unit triangle's height */
    static const double upright[5][2] = {{1.0, 0.0}, {2.0, 0.0}, {0.5, 1.0}, {1.5, 1.0}, {1.0, 2.0}};
    static const double tetra[3][2] = {{1.0, 0.0}, {2.0, 0.0}, {1.5, 1.0}};
    const double h = sqrt(3.0) / 2.0;
    CHECK(glPushMatrix());
    CHECK(glScaled(1.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0));
    TRY(bl_spirelet(level - 1));
    for (int i = 0; i < 5; ++i) {
        CHECK(glPushMatrix());
        CHECK(glTranslated(upright[i][0], upright[i][1] * h, 0.0));
        TRY(bl_spirelet(level - 1));
        CHECK(glPopMatrix());
    }
    for (int i = 0; i < 3; ++i) {
        CHECK(glPushMatrix());
        CHECK(glTranslated(tetra[i][0], tetra[i][1] * h, 0.0));
        TRY(tetrahedron(level));
        CHECK(glPopMatrix());
    }
    CHECK(glPopMatrix());
    return 0;
}

/* The three side faces of the tetrahedron on the inverted triangle. */
static GLenum tetrahedron(int level) {
    const double theta = acos(1.0 / 3.0) * 180.0 / pi;
    CHECK(glPushMatrix());
    CHECK(glTranslated(-1.0, 0.0, 0.0));

    CHECK(glPushMatrix());
    CHECK(glTranslated(1.0, 0.0, 0.0));
    CHECK(glRotated(60.0, 0.0, 0.0, 1.0));
    CHECK(glRotated(theta, 1.0, 0.0, 0.0));
    TRY(bl_spirelet(level - 1));
    CHECK(glPopMatrix());

    CHECK(glPushMatrix());
    CHECK(glTranslated(1.0, 0.0, 0.0));
    CHECK(glRotated(-60.0, 0.0, 0.0, 1.0));
    CHECK(glTranslated(-1.0, 0.0, 0.0));
    CHECK(glRotated(theta, 1.0, 0.0, 0.0));
    TRY(bl_spirelet(level - 1));
    CHECK(glPopMatrix());

    CHECK(glPushMatrix());
    CHECK(glTranslated(1.5, sqrt(3.0) / 2.0, 0.0));
    CHECK(glRotated(180.0, 0.0, 0.0, 1.0));
    CHECK(glRotated(theta, 1.0, 0.0, 0.0));
    TRY(bl_spirelet(level - 1));
    CHECK(glPopMatrix());

    CHECK(glPopMatrix());
    return 0;
}

/* ------------------------------------------------------------------------
 * Hermite spline */

/* Rows weight start point, end point, start tangent, end tangent; columns
 * belong to t^3, t^2, t, 1. */
static const double hermite[4][4] = {
    {2.0, -3.0, 0.0, 1.0},
    {-2.0, 3.0, 0.0, 0.0},
    {1.0, -2.0, 1.0, 0.0},
    {1.0, -1.0, 0.0, 0.0},
};

/* One 3x4 coefficient matrix per segment from `count` (point, tangent) pairs. */
API void bl_spline_coefficients(const double data[][2][3], int count, double coeff[][3][4]) {
    for (int s = 0; s + 1 < count; ++s)
        for (int r = 0; r < 3; ++r) {
            const double g[4] = {data[s][0][r], data[s + 1][0][r], data[s][1][r], data[s + 1][1][r]};
            for (int c = 0; c < 4; ++c)
                coeff[s][r][c] = g[0] * hermite[0][c] + g[1] * hermite[1][c] + g[2] * hermite[2][c] + g[3] * hermite[3][c];
        }
}

static void spline_point(const double c[3][4], double t, double out[3]) {
    for (int r = 0; r < 3; ++r) out[r] = c[r][0] * (t * t * t) + c[r][1] * (t * t) + c[r][2] * t + c[r][3];
}

static void spline_tangent(const double c[3][4], double t, double out[3]) {
    for (int r = 0; r < 3; ++r) out[r] = c[r][0] * (3.0 * t * t) + c[r][1] * (2.0 * t) + c[r][2];
}

/* A line of length 0.5 along the tangent; a tangent without a direction gets none. */
static GLenum tangent_line(const double c[3][4], double t) {
    double p[3], m[3];
    spline_point(c, t, p);
    spline_tangent(c, t, m);
    const double length = sqrt(m[0] * m[0] + m[1] * m[1] + m[2] * m[2]);
    if (!(length > 0.0) || !isfinite(length)) return 0;
    glBegin(GL_LINES);
    glVertex3f((GLfloat)p[0], (GLfloat)p[1], (GLfloat)p[2]);
    glVertex3f((GLfloat)(p[0] + m[0] / length * 0.5), (GLfloat)(p[1] + m[1] / length * 0.5),
               (GLfloat)(p[2] + m[2] / length * 0.5));
    CHECK(glEnd());
    return 0;
}

/* Swoopline.draw_scene(False): the strip of `samples` points per segment
 * (the parameters of numpy.linspace(0, 1, samples)), then the tangents. */
API GLenum bl_spline_draw(const double coeff[][3][4], int segments, int samples) {
    if (segments < 1) return 0;
    const double step = samples > 1 ? 1.0 / (samples - 1) : 0.0;
    CHECK(glPushAttrib(GL_ALL_ATTRIB_BITS));
    CHECK(glColor3f(0.8f, 0.8f, 0.8f));
    glBegin(GL_LINE_STRIP);
    for (int s = 0; s < segments; ++s)
        for (int i = 0; i < samples; ++i) {
            double p[3];
            spline_point(coeff[s], i + 1 == samples && samples > 1 ? 1.0 : i * step, p);
            glVertex3f((GLfloat)p[0], (GLfloat)p[1], (GLfloat)p[2]);
        }
    CHECK(glEnd());
    CHECK(glPopAttrib());
    CHECK(glPushAttrib(GL_ALL_ATTRIB_BITS));
    CHECK(glColor3f(1.0f, 0.2f, 0.2f));
    for (int s = 0; s < segments; ++s) TRY(tangent_line(coeff[s], 0.0));
    TRY(tangent_line(coeff[segments - 1], 1.0));
    CHECK(glPopAttrib());
    return 0;
}

/* ------------------------------------------------------------------------
 * Garden */

/* The framework's axes and checkerboard, drawn as the framework draws them:
 * from interleaved arrays made once (the bench hands over the framework's
 * own), a few calls each. */
static GLenum axes(const GLfloat *array, GLsizei count) {
    CHECK(glPushAttrib(GL_ALL_ATTRIB_BITS));
    CHECK(glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT));
    CHECK(glInterleavedArrays(GL_C4F_N3F_V3F, 0, array));
    CHECK(glDrawArrays(GL_TRIANGLES, 0, count));
    CHECK(glPopClientAttrib());
    CHECK(glPopAttrib());
    return 0;
}

static GLenum checkerboard(const GLfloat *array, GLsizei count) {
    CHECK(glPushAttrib(GL_ALL_ATTRIB_BITS));
    CHECK(glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT));
    CHECK(glNormal3f(0.0f, 0.0f, 1.0f));
    CHECK(glInterleavedArrays(GL_C3F_V3F, 0, array));
    CHECK(glDrawArrays(GL_QUADS, 0, count));
    CHECK(glPopClientAttrib());
    CHECK(glPopAttrib());
    return 0;
}

/* Arborlot.draw_scene() without plants: axes, checkerboard, the terrain patch.
 * axes and board: the framework's arrays (GL_C4F_N3F_V3F, GL_C3F_V3F). */
API GLenum bl_garden_draw(const double terrain[3][4][4], int m, int n, const GLfloat *axes_array,
                          int axes_count, const GLfloat *board, int board_count) {
    CHECK(glPushMatrix());
    CHECK(glScalef(0.25f, 0.25f, 0.25f));
    TRY(axes(axes_array, axes_count));
    CHECK(glPopMatrix());
    CHECK(glPushMatrix());
    CHECK(glRotated(-90.0, 1.0, 0.0, 0.0));
    TRY(checkerboard(board, board_count));
    CHECK(glPopMatrix());
    CHECK(glPushMatrix());
    TRY(bl_patch_draw(terrain, m, n));
    CHECK(glPopMatrix());
    return 0;
}
