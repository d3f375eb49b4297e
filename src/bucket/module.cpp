// Module initialisation and the services the methods share: global lookups,
// the type tests, printing and the making of classes.
#include "module.h"

#include "base_bucket.h"
#include "compat.h"
#include "factory.h"
#include "kinds.h"
#include "method.h"

namespace bucket {

namespace {

int bind(PyObject* globals, PyObject* name, const Ref& value)
{
    if (!value) {
        return -1;
    }
    return PyDict_SetItem(globals, name, value.get());
}

int bind_imports(PyObject* module, PyObject* globals)
{
    Ref package = package_of(module);
    if (!package) {
        return -1;
    }
    Ref number, bisect;
    if (import_number_and_bisect(package.get(), number, bisect) < 0 ||
        bind(globals, names.Number, number) < 0 ||
        bind(globals, names.bisect, bisect) < 0) {
        return -1;
    }
    if (bind(globals, names.row_handler_pb2,
             import_module(package.get(),
                           "tarvello.custom.model_data.row_handler_proto."
                           "row_handler_pb2")) < 0 ||
        bind(globals, names.extractor,
             import_module(package.get(),
                           "tarvello.custom.model_data.extractor")) < 0) {
        return -1;
    }
    return 0;
}

int bind_constants(PyObject* globals)
{
    if (bind(globals, names.ANSI_ESCAPE,
             Ref::steal(PyUnicode_FromString("\x1b["))) < 0) {
        return -1;
    }
    Ref escape = lookup_global(globals, names.ANSI_ESCAPE);
    if (!escape) {
        return -1;
    }
    Ref suffix = Ref::steal(PyUnicode_FromString("30;m"));
    if (!suffix) {
        return -1;
    }
    if (bind(globals, names.NORMAL_COLOR, add(escape.get(), suffix.get())) < 0) {
        return -1;
    }
    return PyDict_SetItem(globals, names.FAST_MODE, Py_False);
}

// The exec step proper: binds every name of the namespace in its order.
int populate(PyObject* module)
{
    if (make_names_and_constants() < 0 || ready_method_type() < 0) {
        return -1;
    }
    PyObject* globals = PyModule_GetDict(module);
    if (globals == nullptr || bind_imports(module, globals) < 0 ||
        bind_constants(globals) < 0) {
        return -1;
    }
    using Factory = Ref (*)(PyObject*);
    struct Binding {
        PyObject* name;
        Factory make;
    };
    const Binding bases[] = {
        {names.BadAttributeError, create_bad_attribute_error_class},
        {names.BaseBucket, create_base_bucket_class},
    };
    for (const Binding& binding : bases) {
        if (bind(globals, binding.name, binding.make(globals)) < 0) {
            return -1;
        }
    }
    for (const Kind& kind : kinds) {
        if (bind(globals, names.*kind.name, kind.make_class(globals)) < 0) {
            return -1;
        }
    }
    const Binding functions[] = {
        {names.create_category_dict, create_create_category_dict_function},
        {names.read_from_proto, create_read_from_proto_function},
    };
    for (const Binding& binding : functions) {
        if (bind(globals, binding.name, binding.make(globals)) < 0) {
            return -1;
        }
    }
    return bind(globals, names.__test__, Ref::steal(PyDict_New()));
}

PyInterpreterState* owner_interpreter = nullptr;
PyObject* initialised_module = nullptr;

PyObject* module_create(PyObject* spec, PyModuleDef*)
{
    PyInterpreterState* interpreter = compat::current_interpreter();
    if (owner_interpreter == nullptr) {
        owner_interpreter = interpreter;
    }
    else if (owner_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only "
                        "be loaded into one interpreter per process.");
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    return PyModule_NewObject(name.get());
}

int module_exec(PyObject* module)
{
    if (module == initialised_module) {
        return 0;
    }
    if (initialised_module != nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'bucket' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    if (populate(module) < 0) {
        return -1;
    }
    // Only a complete import counts: a failed one may be tried again.
    Py_INCREF(module);
    initialised_module = module;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "bucket",
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* raise_bad_attribute(PyObject* globals, PyObject* key,
                              PyObject* value)
{
    Ref type = lookup_global(globals, names.BadAttributeError);
    if (!type) {
        return nullptr;
    }
    Ref error = call(type.get(), key, value);
    if (!error) {
        return nullptr;
    }
    if (PyExceptionInstance_Check(error.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())),
                        error.get());
    }
    else {
        PyErr_SetString(PyExc_TypeError,
                        "exceptions must derive from BaseException");
    }
    return nullptr;
}

Ref make_class(PyObject* globals, const char* name, PyObject* base,
               const char* doc, const MethodSpec* methods, std::size_t count)
{
    Ref ns = Ref::steal(PyDict_New());
    Ref class_name = Ref::steal(PyUnicode_FromString(name));
    if (!ns || !class_name) {
        return Ref();
    }
    Ref module_name = lookup_global(globals, names.__name__);
    if (!module_name ||
        PyDict_SetItem(ns.get(), names.__module__, module_name.get()) < 0 ||
        PyDict_SetItem(ns.get(), names.__qualname__, class_name.get()) < 0) {
        return Ref();
    }
    if (doc != nullptr &&
        bind(ns.get(), names.__doc__, Ref::steal(PyUnicode_FromString(doc))) < 0) {
        return Ref();
    }
    for (std::size_t i = 0; i < count; i++) {
        Ref method = Ref::steal(make_method(methods[i], name, globals));
        if (!method ||
            PyDict_SetItemString(ns.get(), methods[i].name, method.get()) < 0) {
            return Ref();
        }
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, base));
    if (!bases) {
        return bases;
    }
    return call(reinterpret_cast<PyObject*>(Py_TYPE(base)), class_name.get(),
                bases.get(), ns.get());
}

int print_line(PyObject* globals, PyObject* text)
{
    Ref print = lookup_global(globals, names.print);
    if (!print) {
        return -1;
    }
    return call(print.get(), text) ? 0 : -1;
}

}  // namespace bucket

BUCKET_MODINIT_FUNC PyInit_bucket()
{
    return PyModuleDef_Init(&bucket::module_def);
}
