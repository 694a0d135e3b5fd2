// Arborlot: a garden of a surface terrain, L-system plants and a
// checkerboard ground, seen through a fly-through camera.
#include <vector>

#include "rt.hpp"
#include "rt_gl.hpp"

using rt::Env;
using rt::Obj;
using rt::Ref;

static const char kModuleDoc[] = "\nArborlot\n";

static const char kClassDoc[] =
    "\n"
    "    Scene with multiple 3D L-System and a checkerboard as ground-plane\n"
    "    subscene_list is a list of dictionaries that contains the (x, y) position \n"
    "    on the ground plane and the L-system.\n"
    "    ";

static const char kDrawSceneDoc[] =
    "\n"
    "        Draw the Arborlot here. A sample solution is provided. You can\n"
    "        build on top of it or replace it with your own approach.\n"
    "        ";

namespace {


}  // namespace

// ---------------------------------------------------------------------------
// class Arborlot(Model)

// A scene built without a list gets a list of its own rather than sharing
// one default list with every other such scene.
static Ref Arborlot_init(const Env& g, Obj self, Obj terrain_model, Obj subscene_list) {
    g[RT_ID("Model")].attr(RT_ID("__init__"))(self);
    self.setattr(RT_ID("terrain_model"), terrain_model);
    self.setattr(RT_ID("subscene_list"), subscene_list.is_none() ? rt::list() : Ref::borrow(subscene_list.ptr()));
    return rt::none();
}

static Ref Arborlot_init_gl(const Env& g, Obj self) {
    g[RT_ID("Model")].attr(RT_ID("init"))(self);
    if (self.attr(RT_ID("terrain_model")).hasattr(RT_ID("init"))) self.attr(RT_ID("terrain_model")).attr(RT_ID("init"))();
    Ref it = Ref::steal(PyObject_GetIter(self.attr(RT_ID("subscene_list")).ptr()));
    while (PyObject* item = PyIter_Next(it.ptr())) {
        Ref scene = Ref::steal(item);
        if (scene.hasattr(RT_ID("init"))) scene.attr(RT_ID("init"))();
    }
    if (PyErr_Occurred()) rt::raise();
    return rt::none();
}

static Ref Arborlot_add_subscene(const Env&, Obj self, Obj subscene) {
    self.attr(RT_ID("subscene_list")).attr(RT_ID("append"))(subscene);
    return rt::none();
}

static Ref Arborlot_draw_scene(const Env& g, Obj self) {
    rt::gl::with_matrix(g, [&] {
        g[RT_ID("glScalef")](0.25, 0.25, 0.25);
        g[RT_ID("draw3DCoordinateAxesQuadrics")](self.attr(RT_ID("pQuadric")));
    });
    rt::gl::with_matrix(g, [&] {
        g[RT_ID("glRotate")](-90, 1, 0, 0);
        g[RT_ID("drawCheckerBoard")](rt::kw(RT_ID("scale"), rt::list(8, 8)),
                                     rt::kw(RT_ID("check_colors"), rt::list(rt::list(0.8, 0.8, 0.8),
                                                                            rt::list(0.2, 0.2, 0.2))));
    });
    rt::gl::with_matrix(g, [&] {
        Ref X, Y, Z, DsX, DsY, DsZ, DtX, DtY, DtZ;
        rt::unpack(self.attr(RT_ID("terrain_model")).attr(RT_ID("draw_scene"))(false),
                   {&X, &Y, &Z, &DsX, &DsY, &DsZ, &DtX, &DtY, &DtZ});
    });
    Ref it = Ref::steal(PyObject_GetIter(self.attr(RT_ID("subscene_list")).ptr()));
    while (PyObject* item = PyIter_Next(it.ptr())) {
        Ref scene = Ref::steal(item);
        rt::gl::with_matrix(g, [&] {
            Ref pos = scene[rt::to_ref("pos")];
            g[RT_ID("glTranslate")](pos[0], pos[1], pos[2]);
            scene[rt::to_ref("model")].attr(RT_ID("draw_scene"))();
        });
    }
    if (PyErr_Occurred()) rt::raise();
    return rt::none();
}

// ---------------------------------------------------------------------------

static Ref main_(const Env& g) {
    std::vector<Ref> glut = rt::from_import(
        g.globals(), "OpenGL.GLUT",
        {RT_ID("glutInit"), RT_ID("glutInitDisplayMode"), RT_ID("GLUT_DOUBLE"), RT_ID("GLUT_RGBA")});
    std::vector<Ref> framework = rt::from_import(g.globals(), "Stagehall", {RT_ID("Framepane"), RT_ID("View")});
    const Ref &Framepane = framework[0], &View = framework[1];

    glut[0]();
    glut[1](rt::bit_or(glut[2], glut[3]));

    Ref init_angle_axis = rt::dict({{"angle", rt::to_ref(90)},
                                    {"axis", rt::list(0, 0, 1)}});
    Ref Plant2D = rt::dict({{"init", rt::to_ref("F")},
                            {"rule", rt::to_ref("F->FF-[-F+F+F]+[+F-F-F]")},
                            {"depth", rt::to_ref(3)},
                            {"angle", rt::to_ref(22.5)},
                            {"growth_factor", rt::to_ref(0.5)},
                            {"init_angle_axis", init_angle_axis}});

    Ref plant = rt::dict({{"pos", rt::list(0, 0, 0)},
                          {"model", g[RT_ID("Sprigrule")](Plant2D)}});
    Ref ModelList = rt::list(plant);

    Ref np = g[RT_ID("np")];
    Ref control_points = np.attr(RT_ID("zeros"))(rt::tuple(16, 3));
    control_points.setitem(rt::tuple(rt::slice_all(), 0),
                           g[RT_ID("np")].attr(RT_ID("transpose"))(
                               rt::list(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3)));
    control_points.setitem(rt::tuple(rt::slice_all(), 1),
                           g[RT_ID("np")].attr(RT_ID("transpose"))(
                               rt::list(0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3)));
    control_points.setitem(rt::tuple(rt::slice_all(), 2),
                           g[RT_ID("np")].attr(RT_ID("transpose"))(
                               rt::list(0, -2, 2, -3, 0, -2, 2, -3, 0, -2, 2, -3, 0, -2, 2, -3)));
    Ref QSheet = g[RT_ID("Quiltsheet")](control_points);

    Ref cam_spec = rt::dict({{"eye", rt::list(0, 4.5, 4)},
                             {"center", rt::list(0, 2, 0)},
                             {"up", rt::list(0, 1, 0)},
                             {"fovy", rt::to_ref(40)},
                             {"aspect", rt::to_ref(1.0)},
                             {"near", rt::to_ref(0.1)},
                             {"far", rt::to_ref(100.0)}});

    Ref Drifteye = g[RT_ID("Drifteye")];
    Ref scene = g[RT_ID("Arborlot")](QSheet, ModelList);
    Ref cam = Drifteye(scene, cam_spec, g[RT_ID("Swoopline")]());
    Framepane("Arborlot", cam, rt::kw(RT_ID("window_size"), rt::tuple(768.0, 480)),
              rt::kw(RT_ID("window_pos"), RT_CONST(rt::tuple(320, 0))));

    Ref cam_spec2 = rt::dict({{"eye", rt::list(5, 5, 5)},
                              {"center", rt::list(0, 1, 0)},
                              {"up", rt::list(0, 1, 0)},
                              {"fovy", rt::to_ref(60)},
                              {"aspect", rt::to_ref(1.0)},
                              {"near", rt::to_ref(0.1)},
                              {"far", rt::to_ref(200.0)}});
    Ref external_cam = View(cam, cam_spec2);
    Framepane("External Camera View", external_cam, rt::kw(RT_ID("window_size"), rt::tuple(768.0, 480)),
              rt::kw(RT_ID("window_pos"), RT_CONST(rt::tuple(320, 520))));

    g[RT_ID("glutMainLoop")]();
    return rt::none();
}

// ---------------------------------------------------------------------------

static void module_body(const rt::Module& mod) {
    mod.import_star("OpenGL.GL");
    mod.import("numpy", RT_ID("np"));
    mod.import_star("Sketchkit");
    mod.import_from("Stagehall", {RT_ID("Model")});
    mod.import_from("Sprigrule", {RT_ID("Sprigrule")});
    mod.import_from("Quiltsheet", {RT_ID("Quiltsheet")});
    mod.import_from("Drifteye", {RT_ID("Drifteye")});
    mod.import_from("Swoopline", {RT_ID("Swoopline")});

    rt::ClassBuilder cls(mod, "Arborlot", {mod[RT_ID("Model")]}, kClassDoc);
    cls.def<Arborlot_init>({"__init__", "Arborlot.__init__", nullptr, {"self", "terrain_model", "subscene_list"}},
                           rt::tuple(nullptr));
    cls.def<Arborlot_init_gl>({"init", "Arborlot.init", nullptr, {"self"}});
    cls.def<Arborlot_add_subscene>({"add_subscene", "Arborlot.add_subscene", nullptr, {"self", "subscene"}});
    cls.def<Arborlot_draw_scene>({"draw_scene", "Arborlot.draw_scene", kDrawSceneDoc, {"self"}});
    mod.set(RT_ID("Arborlot"), cls.create());
    mod.def<main_>({"main", "main", nullptr, {}});

    if (mod[RT_ID("__name__")].equals("__main__")) mod[RT_ID("main")]();
    mod.set(RT_ID("__test__"), rt::dict());
}

RT_MODULE(Arborlot, kModuleDoc, module_body)
