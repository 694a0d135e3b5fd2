// Class statements and module bodies.
#include "module.hpp"

namespace rt {

// Classes ----------------------------------------------------------------------------------

ClassBuilder::ClassBuilder(const Module& m, const char* name, Obj base, const char* doc) : module_(m) {
    name_ = to_ref(name);
    bases_ = tuple(base);
    ns_ = dict();
    meta_ = Ref::steal(compat::metaclass_of(base.ptr(), ns_.ptr()));

    PyObject* prepare = compat::kHasPrepare ? PyObject_GetAttr(meta_.ptr(), RT_ID("__prepare__")) : nullptr;
    if (prepare) {
        Ref p = Ref::steal(prepare);
        ns_ = p({name_, bases_});
        if (!PyMapping_Check(ns_.ptr()))
            raise_format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                         reinterpret_cast<PyTypeObject*>(meta_.ptr())->tp_name, Py_TYPE(ns_.ptr())->tp_name);
    } else if (compat::kHasPrepare) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
    }

    auto set = [&](PyObject* key, Obj value) {
        if (PyObject_SetItem(ns_.ptr(), key, value.ptr()) < 0) raise();
    };
    set(RT_ID("__module__"), module_[RT_ID("__name__")]);
    set(RT_ID("__qualname__"), name_);
    // under -OO a class statement leaves __doc__ to the metaclass, as for a
    // class without a docstring
    if (doc && docstrings_kept()) set(RT_ID("__doc__"), to_ref(doc));
}

Ref ClassBuilder::create() {
    // a __metaclass__ entry of the body decides on 2; it cannot appear
    // before the body is filled, so the choice is made again here
    meta_ = Ref::steal(compat::metaclass_of(PyTuple_GET_ITEM(bases_.ptr(), 0), ns_.ptr()));
    return meta_({name_, bases_, ns_});
}

int run_module_body(PyObject* module, void (*body)(const Module&)) {
    try {
        static bool ready = false;
        if (!ready) {
            if (PyType_Ready(&FunctionType) < 0) raise();
            ready = true;
        }
        Module m(module);
        if (!docstrings_kept()) m.set(RT_ID("__doc__"), none());
        body(m);
        return 0;
    } catch (const Error&) {
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

}  // namespace rt
