// The method object type and its argument binder.
#include "method.h"

#include <cstddef>

#include "compat.h"
#include "lookup.h"
#include "refs.h"

namespace bucket {
namespace {

struct MethodObject {
    PyObject_HEAD
#if BUCKET_HAVE_VECTORCALL
    vectorcallfunc vectorcall;
#endif
    const MethodSpec* spec;
    Py_ssize_t nparams;
    Py_ssize_t nrequired;
    PyObject* globals;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    // Interned, so that keywords usually match by pointer.
    PyObject* param_names[MAX_PARAMS];
    PyObject* weakrefs;
};

MethodObject* as_method(PyObject* obj)
{
    return reinterpret_cast<MethodObject*>(obj);
}

// The argument errors below keep the texts that the module's callers match.

bool wrong_positional_count(const MethodObject* m, const char* bound,
                            Py_ssize_t expected, Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 m->spec->name, bound, expected, expected == 1 ? "" : "s",
                 given);
    return false;
}

// Fills slots[0..nparams) from the positional arguments, the keyword
// arguments (kwvalues[i] goes with the name at kwnames[i]) and the defaults.
// The slots borrow from the caller's arguments.
bool bind(const MethodObject* m, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject* const* kwvalues, PyObject** slots)
{
    const MethodSpec& spec = *m->spec;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (spec.positional_only) {
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError,
                         "%.200s() takes no keyword arguments", spec.name);
            return false;
        }
        if (nargs != 1) {
            PyErr_Format(PyExc_TypeError,
                         "%.200s() takes exactly one argument (%zd given)",
                         spec.name, nargs);
            return false;
        }
        slots[0] = args[0];
        return true;
    }
    const Py_ssize_t nparams = m->nparams;
    const Py_ssize_t nrequired = m->nrequired;
    const bool has_defaults = nrequired < nparams;
    if (nargs > nparams) {
        return wrong_positional_count(m, has_defaults ? "at most" : "exactly",
                                      nparams, nargs);
    }
    for (Py_ssize_t i = 0; i < nparams; i++) {
        slots[i] = i < nargs ? args[i] : nullptr;
    }
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                         spec.name);
            return false;
        }
        Py_ssize_t found = -1;
        for (Py_ssize_t i = 0; i < nparams && found < 0; i++) {
            if (m->param_names[i] == key) {
                found = i;
            }
        }
        // PyUnicode_Compare never runs a str subclass's __eq__.
        for (Py_ssize_t i = 0; i < nparams && found < 0; i++) {
            if (PyUnicode_Compare(m->param_names[i], key) == 0) {
                found = i;
            }
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got an unexpected keyword argument '%U'",
                         spec.name, key);
            return false;
        }
        if (slots[found] != nullptr) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'",
                         spec.name, key);
            return false;
        }
        slots[found] = kwvalues[k];
    }
    for (Py_ssize_t i = nargs; i < nrequired; i++) {
        if (slots[i] == nullptr) {
            return wrong_positional_count(
                m, has_defaults ? "at least" : "exactly", nrequired, i);
        }
    }
    for (Py_ssize_t i = nrequired; i < nparams; i++) {
        if (slots[i] == nullptr) {
            slots[i] = spec.params[i].fallback == Default::True ? Py_True
                                                                : Py_None;
        }
    }
    return true;
}

PyObject* invoke(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject* const* kwvalues)
{
    MethodObject* m = as_method(self);
    // One positional argument per parameter: the slots are the arguments.
    if (nargs == m->nparams && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)) {
        return m->spec->impl(m->globals, args);
    }
    PyObject* slots[MAX_PARAMS];
    if (!bind(m, args, nargs, kwnames, kwvalues, slots)) {
        return nullptr;
    }
    return m->spec->impl(m->globals, slots);
}

#if BUCKET_HAVE_VECTORCALL
PyObject* method_vectorcall(PyObject* self, PyObject* const* args,
                            size_t nargsf, PyObject* kwnames)
{
    const Py_ssize_t nargs = compat::vectorcall_nargs(nargsf);
    return invoke(self, args, nargs, kwnames, args + nargs);
}
#else
// Only 3.7 calls through here; later versions unpack a keyword dict for the
// vectorcall entry themselves.
PyObject* method_call(PyObject* self, PyObject* args, PyObject* kwargs)
{
    PyObject* const* argv = &PyTuple_GET_ITEM(args, 0);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return invoke(self, argv, nargs, nullptr, nullptr);
    }
    // The caller's dict may be changed by the code the method runs, so the
    // keyword values are held in tuples of our own for the whole call. The
    // items are taken first, in one step: making a tuple can start a
    // collection whose callbacks change the dict, and each tuple is filled
    // at once, since the collector hands out every tracked object.
    Ref items = Ref::steal(PyDict_Items(kwargs));
    if (!items) {
        return nullptr;
    }
    const Py_ssize_t nkw = PyList_GET_SIZE(items.get());
    Ref names = Ref::steal(PyTuple_New(nkw));
    if (!names) {
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), k), 0);
        Py_INCREF(key);
        PyTuple_SET_ITEM(names.get(), k, key);
    }
    Ref values = Ref::steal(PyTuple_New(nkw));
    if (!values) {
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), k), 1);
        Py_INCREF(value);
        PyTuple_SET_ITEM(values.get(), k, value);
    }
    return invoke(self, argv, nargs, names.get(),
                  &PyTuple_GET_ITEM(values.get(), 0));
}
#endif

// Bound as a function binds: through an instance, a bound method.
PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*)
{
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

// No tp_clear: a cycle through a method object always runs through its
// globals dict, whose clearing breaks it, and a method must keep its globals
// for as long as it can still be called.
int method_traverse(PyObject* self, visitproc visit, void* arg)
{
    Py_VISIT(as_method(self)->globals);
    return 0;
}

void method_dealloc(PyObject* self)
{
    MethodObject* m = as_method(self);
    PyObject_GC_UnTrack(self);
    if (m->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    Py_XDECREF(m->globals);
    Py_XDECREF(m->name);
    Py_XDECREF(m->qualname);
    Py_XDECREF(m->module);
    for (PyObject* name : m->param_names) {
        Py_XDECREF(name);
    }
    PyObject_GC_Del(self);
}

PyObject* method_repr(PyObject* self)
{
    return PyUnicode_FromFormat("<bucket method %U>", as_method(self)->qualname);
}

// Appends text to *result (NULL once a step failed, with the error set).
void append_text(PyObject** result, const char* text)
{
    PyUnicode_Append(result, Ref::steal(PyUnicode_FromString(text)).get());
}

PyObject* get_text_signature(PyObject* self, void*)
{
    const MethodObject* m = as_method(self);
    PyObject* text = PyUnicode_FromString("(");
    for (Py_ssize_t i = 0; i < m->nparams && text != nullptr; i++) {
        const Param& param = m->spec->params[i];
        if (i > 0) {
            append_text(&text, ", ");
        }
        append_text(&text, param.name);
        if (param.fallback == Default::None) {
            append_text(&text, "=None");
        }
        else if (param.fallback == Default::True) {
            append_text(&text, "=True");
        }
    }
    append_text(&text, m->spec->positional_only ? ", /)" : ")");
    return text;
}

// Pickled by reference, as a function is: the qualified name, which pickle
// looks up in __module__ and checks to be this very object. copy and
// deepcopy take a str from __reduce__ to mean the object itself.
PyObject* method_reduce(PyObject* self, PyObject*)
{
    PyObject* qualname = as_method(self)->qualname;
    Py_INCREF(qualname);
    return qualname;
}

PyMethodDef method_methods[] = {
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_none(PyObject*, void*)
{
    Py_RETURN_NONE;
}

PyObject* get_globals(PyObject* self, void*)
{
    PyObject* globals = as_method(self)->globals;
    if (globals == nullptr) {
        Py_RETURN_NONE;
    }
    Py_INCREF(globals);
    return globals;
}

// Reads one of the str fields; closure is the field's offset.
PyObject* get_field(PyObject* self, void* closure)
{
    PyObject* value = *reinterpret_cast<PyObject**>(
        reinterpret_cast<char*>(self) + reinterpret_cast<std::size_t>(closure));
    Py_INCREF(value);
    return value;
}

void* field(std::size_t offset)
{
    return reinterpret_cast<void*>(offset);
}

PyGetSetDef method_getset[] = {
    {const_cast<char*>("__name__"), get_field, nullptr, nullptr,
     field(offsetof(MethodObject, name))},
    {const_cast<char*>("__qualname__"), get_field, nullptr, nullptr,
     field(offsetof(MethodObject, qualname))},
    {const_cast<char*>("__module__"), get_field, nullptr, nullptr,
     field(offsetof(MethodObject, module))},
    {const_cast<char*>("__doc__"), get_none, nullptr, nullptr, nullptr},
    {const_cast<char*>("__text_signature__"), get_text_signature, nullptr,
     nullptr, nullptr},
    {const_cast<char*>("__globals__"), get_globals, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

// Filled in by ready_method_type(); the field list differs between versions.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject method_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

PyObject* make_method(const MethodSpec& spec, const char* owner,
                      PyObject* globals)
{
    MethodObject* m = PyObject_GC_New(MethodObject, &method_type);
    if (m == nullptr) {
        return nullptr;
    }
#if BUCKET_HAVE_VECTORCALL
    m->vectorcall = method_vectorcall;
#endif
    m->spec = &spec;
    m->nparams = 0;
    m->nrequired = 0;
    m->name = nullptr;
    m->qualname = nullptr;
    m->module = nullptr;
    for (PyObject*& name : m->param_names) {
        name = nullptr;
    }
    m->weakrefs = nullptr;
    Py_INCREF(globals);
    m->globals = globals;
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(m));
    PyObject_GC_Track(self.get());

    for (const Param& param : spec.params) {
        if (param.name == nullptr) {
            break;
        }
        PyObject* name = PyUnicode_InternFromString(param.name);
        if (name == nullptr) {
            return nullptr;
        }
        m->param_names[m->nparams++] = name;
        if (param.fallback == Default::Required) {
            m->nrequired = m->nparams;
        }
    }
    m->name = PyUnicode_InternFromString(spec.name);
    if (owner == nullptr) {
        Py_XINCREF(m->name);
        m->qualname = m->name;
    } else {
        m->qualname = PyUnicode_FromFormat("%s.%s", owner, spec.name);
    }
    if (m->name == nullptr || m->qualname == nullptr) {
        return nullptr;
    }
    m->module = PyDict_GetItemWithError(globals, names.__name__);
    if (m->module == nullptr) {
        if (PyErr_Occurred()) {
            return nullptr;
        }
        m->module = Py_None;
    }
    Py_INCREF(m->module);
    return self.release();
}

PyObject* call_method_object(PyObject* m, PyObject* const* args, Py_ssize_t nargs)
{
    return invoke(m, args, nargs, nullptr, nullptr);
}

MethodImpl method_impl(PyObject* obj)
{
    return is_method_object(obj) ? as_method(obj)->spec->impl : nullptr;
}

int ready_method_type()
{
    if (method_type.tp_name != nullptr) {
        return 0;
    }
    method_type.tp_name = "tarvello.custom.model_data.bucket.method";
    method_type.tp_basicsize = sizeof(MethodObject);
    method_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                          compat::TPFLAGS_METHOD_DESCRIPTOR;
    method_type.tp_dealloc = method_dealloc;
    method_type.tp_repr = method_repr;
    method_type.tp_traverse = method_traverse;
    method_type.tp_descr_get = method_descr_get;
    method_type.tp_getset = method_getset;
    method_type.tp_methods = method_methods;
    method_type.tp_weaklistoffset = offsetof(MethodObject, weakrefs);
#if BUCKET_HAVE_VECTORCALL
    method_type.tp_flags |= compat::TPFLAGS_VECTORCALL;
    method_type.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
    method_type.tp_call = PyVectorcall_Call;
#else
    method_type.tp_call = method_call;
#endif
    return PyType_Ready(&method_type);
}

}  // namespace bucket
