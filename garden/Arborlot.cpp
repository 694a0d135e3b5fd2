// Arborlot: a garden of a surface terrain, L-system plants and a
// checkerboard ground, seen through a fly-through camera.
#include "rt.hpp"

using rt::Env;
using rt::Name;
using rt::Obj;
using rt::Ref;
namespace gl = rt::gl;

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

// The module's globals, looked up at the moment of use.
namespace G {
Name np("np"), hasattr("hasattr"), Model("Model"), Arborlot("Arborlot"), Sprigrule("Sprigrule"), Quiltsheet("Quiltsheet"),
    Drifteye("Drifteye"), Swoopline("Swoopline"), glRotate("glRotate"), glTranslate("glTranslate"),
    glutMainLoop("glutMainLoop"), draw3DCoordinateAxesQuadrics("draw3DCoordinateAxesQuadrics"),
    drawCheckerBoard("drawCheckerBoard");
gl::Func<float, float, float> glScalef("glScalef", "glScalef");
}  // namespace G

// ---------------------------------------------------------------------------
// class Arborlot(Model)

// The default list, never handed out: a scene built without a list gets a
// list of its own rather than sharing one with every other such scene.
static rt::Kept default_list;

static Ref Arborlot_init(const Env& g, Obj self, Obj terrain_model, Obj subscene_list) {
    g[G::Model].attr(RT_ID("__init__"))(self);
    self.setattr(RT_ID("terrain_model"), terrain_model);
    self.setattr(RT_ID("subscene_list"), subscene_list.is(default_list) ? rt::list() : Ref::borrow(subscene_list.ptr()));
    return rt::none();
}

static Ref Arborlot_init_gl(const Env& g, Obj self) {
    g[G::Model].attr(RT_ID("init"))(self);
    if (g[G::hasattr]({self.attr(RT_ID("terrain_model")), RT_CONST("init")}).truth())
        self.attr(RT_ID("terrain_model")).method(RT_ID("init"))();
    rt::for_each(self.attr(RT_ID("subscene_list")), [&](Obj scene) {
        if (g[G::hasattr]({scene, RT_CONST("init")}).truth()) scene.method(RT_ID("init"))();
    });
    return rt::none();
}

static Ref Arborlot_add_subscene(const Env&, Obj self, Obj subscene) {
    self.attr(RT_ID("subscene_list")).method(RT_ID("append"))(subscene);
    return rt::none();
}

static Ref Arborlot_draw_scene(const Env& g, Obj self) {
    gl::with_matrix(g, [&] {
        G::glScalef(g)({RT_NUM(0.25), RT_NUM(0.25), RT_NUM(0.25)});
        g[G::draw3DCoordinateAxesQuadrics](self.attr(RT_ID("pQuadric")));
    });
    gl::with_matrix(g, [&] {
        g[G::glRotate]({RT_NUM(-90), RT_NUM(1), RT_NUM(0), RT_NUM(0)});
        g[G::drawCheckerBoard]({rt::kw(RT_ID("scale"), rt::list({8, 8})),
                                rt::kw(RT_ID("check_colors"),
                                       rt::list({rt::list({0.8, 0.8, 0.8}), rt::list({0.2, 0.2, 0.2})}))});
    });
    gl::with_matrix(g, [&] {
        Ref X, Y, Z, DsX, DsY, DsZ, DtX, DtY, DtZ;
        rt::unpack(self.attr(RT_ID("terrain_model")).method(RT_ID("draw_scene"))(Py_False),
                   {&X, &Y, &Z, &DsX, &DsY, &DsZ, &DtX, &DtY, &DtZ});
    });
    rt::for_each(self.attr(RT_ID("subscene_list")), [&](Obj scene) {
        gl::with_matrix(g, [&] {
            Ref pos = scene[RT_CONST("pos")];
            g[G::glTranslate]({pos[0], pos[1], pos[2]});
            scene[RT_CONST("model")].method(RT_ID("draw_scene"))();
        });
    });
    return rt::none();
}

// ---------------------------------------------------------------------------

static Ref main_(const Env& g) {
    std::vector<Ref> glut = rt::from_import(
        g.globals(), "OpenGL.GLUT",
        {RT_ID("glutInit"), RT_ID("glutInitDisplayMode"), RT_ID("GLUT_DOUBLE"), RT_ID("GLUT_RGBA")});
    const Ref &glutInit = glut[0], &glutInitDisplayMode = glut[1], &GLUT_DOUBLE = glut[2], &GLUT_RGBA = glut[3];
    std::vector<Ref> framework = rt::from_import(g.globals(), "Stagehall", {RT_ID("Framepane"), RT_ID("View")});
    const Ref &Framepane = framework[0], &View = framework[1];

    glutInit();
    glutInitDisplayMode(GLUT_DOUBLE.bit_or(GLUT_RGBA));

    Ref Plant2D = rt::dict({{"init", rt::to_ref("F")},
                            {"rule", rt::to_ref("F->FF-[-F+F+F]+[+F-F-F]")},
                            {"depth", rt::to_ref(3)},
                            {"angle", rt::to_ref(22.5)},
                            {"growth_factor", rt::to_ref(0.5)},
                            {"init_angle_axis", rt::dict({{"angle", rt::to_ref(90)}, {"axis", rt::list({0, 0, 1})}})}});
    Ref ModelList = rt::list(rt::dict({{"pos", rt::list({0, 0, 0})}, {"model", g[G::Sprigrule](Plant2D)}}));

    Ref control_points = g[G::np].attr(RT_ID("zeros"))(rt::tuple({16, 3}));
    Ref column = g[G::np].attr(RT_ID("transpose"))(rt::list({0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3}));
    control_points.setitem(RT_CONST(rt::tuple({rt::slice_all(), 0})), column);
    column = g[G::np].attr(RT_ID("transpose"))(rt::list({0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3}));
    control_points.setitem(RT_CONST(rt::tuple({rt::slice_all(), 1})), column);
    column = g[G::np].attr(RT_ID("transpose"))(rt::list({0, -2, 2, -3, 0, -2, 2, -3, 0, -2, 2, -3, 0, -2, 2, -3}));
    control_points.setitem(RT_CONST(rt::tuple({rt::slice_all(), 2})), column);
    Ref QSheet = g[G::Quiltsheet](control_points);

    Ref cam_spec = rt::dict({{"eye", rt::list({0, 4.5, 4})},
                             {"center", rt::list({0, 2, 0})},
                             {"up", rt::list({0, 1, 0})},
                             {"fovy", rt::to_ref(40)},
                             {"aspect", rt::to_ref(1.0)},
                             {"near", rt::to_ref(0.1)},
                             {"far", rt::to_ref(100.0)}});

    Ref cam = g[G::Drifteye]({g[G::Arborlot]({QSheet, ModelList}), cam_spec, g[G::Swoopline]()});
    Framepane({"Arborlot", cam, rt::kw(RT_ID("window_size"), rt::tuple({768.0, 480})),
               rt::kw(RT_ID("window_pos"), RT_CONST(rt::tuple({320, 0})))});

    Ref cam_spec2 = rt::dict({{"eye", rt::list({5, 5, 5})},
                              {"center", rt::list({0, 1, 0})},
                              {"up", rt::list({0, 1, 0})},
                              {"fovy", rt::to_ref(60)},
                              {"aspect", rt::to_ref(1.0)},
                              {"near", rt::to_ref(0.1)},
                              {"far", rt::to_ref(200.0)}});
    Ref external_cam = View({cam, cam_spec2});
    Framepane({"External Camera View", external_cam, rt::kw(RT_ID("window_size"), rt::tuple({768.0, 480})),
               rt::kw(RT_ID("window_pos"), RT_CONST(rt::tuple({320, 520})))});

    g[G::glutMainLoop]();
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
    gl::init();

    rt::ClassBuilder cls(mod, "Arborlot", mod[G::Model], kClassDoc);
    default_list = rt::list();
    cls.def<Arborlot_init>({"__init__", "Arborlot.__init__", nullptr, {"self", "terrain_model", "subscene_list"}},
                           rt::tuple(default_list));
    cls.def<Arborlot_init_gl>({"init", "Arborlot.init", nullptr, {"self"}});
    cls.def<Arborlot_add_subscene>({"add_subscene", "Arborlot.add_subscene", nullptr, {"self", "subscene"}});
    cls.def<Arborlot_draw_scene>({"draw_scene", "Arborlot.draw_scene", kDrawSceneDoc, {"self"}});
    mod.set(RT_ID("Arborlot"), cls.create());
    mod.def<main_>({"main", "main", nullptr, {}});

    if (mod[RT_ID("__name__")].equals("__main__")) mod[RT_ID("main")]();
    mod.set(RT_ID("__test__"), rt::dict());
}

RT_MODULE(Arborlot, kModuleDoc, module_body)
