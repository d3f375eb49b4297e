// The bucket module's implementations, kept at import, and the per-call
// checks that the column loops stand on.
#include "guards.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "lookup.h"

namespace columns {

using bucket::names;
using bucket::shared;
namespace detail = bucket::detail;

const char* const kind_names[KIND_COUNT] = {
    "Bucket", "StringBucket", "BooleanBucket", "ValueBucket", "CategoricalBucket",
    "SimpleCategoricalBucket",
};

namespace {

// The bucket module's type of method objects: a static type, which Python
// code cannot make, so an object of it is one of that module's own.
const char METHOD_TYPE[] = "tarvello.custom.model_data.bucket.method";

struct Kept {
    PyObject* module;
    PyObject* classes[KIND_COUNT];
    PyObject* bucketize_value[KIND_COUNT];
    PyObject* create_entry;
    PyObject* increment;
    // FieldExtractor.data_type_string and the code it had at import.
    PyObject* data_type_string;
    PyObject* data_type_code;
};

Kept kept;

void set(PyObject** slot, Ref value)
{
    Py_XSETREF(*slot, value.release());
}

// Whether text is the str ascii: 1, 0, or -1 on error.
int str_equals(PyObject* text, const char* ascii)
{
    if (text == nullptr) {
        return -1;
    }
    return PyUnicode_Check(text) && PyUnicode_CompareWithASCIIString(text, ascii) == 0;
}

// cls.__dict__[name] when it is one of the bucket module's method objects
// with that qualified name; empty (no error) otherwise.
Ref own_method(PyObject* cls, PyObject* name, const char* owner, int* failed)
{
    *failed = 0;
    if (cls == nullptr || !PyType_Check(cls)) {
        return Ref();
    }
    PyObject* found =
        PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(cls)->tp_dict, name);
    if (found == nullptr) {
        *failed = PyErr_Occurred() != nullptr;
        return Ref();
    }
    Ref method = Ref::borrow(found);
    PyTypeObject* type = Py_TYPE(found);
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
        std::strcmp(type->tp_name, METHOD_TYPE) != 0) {
        return Ref();
    }
    char qualname[96];
    PyOS_snprintf(qualname, sizeof(qualname), "%s.%s", owner, PyUnicode_AsUTF8(name));
    const int same = str_equals(bucket::getattr(found, names.__qualname__).get(), qualname);
    if (same < 0) {
        *failed = 1;
        return Ref();
    }
    return same ? std::move(method) : Ref();
}

// FieldExtractor.data_type_string when it is a plain function of that
// qualified name whose code comes from the extractor module's file.
int capture_data_type_string(PyObject* package)
{
    Ref module = bucket::import_module(package, "tarvello.custom.model_data.extractor");
    if (!module) {
        return -1;
    }
    Ref cls = Ref::steal(PyObject_GetAttr(module.get(), names.FieldExtractor));
    if (!cls) {
        return -1;
    }
    int failed = 0;
    if (PyType_Check(cls.get())) {
        PyObject* function = PyDict_GetItemWithError(
            reinterpret_cast<PyTypeObject*>(cls.get())->tp_dict, names.data_type_string);
        if (function == nullptr) {
            return PyErr_Occurred() ? -1 : 0;
        }
        if (!PyFunction_Check(function)) {
            return 0;
        }
        Ref held = Ref::borrow(function);
        const int named = str_equals(bucket::getattr(function, names.__qualname__).get(),
                                     "FieldExtractor.data_type_string");
        Ref code = Ref::borrow(PyFunction_GET_CODE(function));
        Ref file = bucket::getattr(module.get(), names.__file__);
        Ref source = file ? bucket::getattr(code.get(), names.co_filename) : Ref();
        if (named < 0 || !source) {
            return -1;
        }
        const int same_file = PyUnicode_Check(file.get()) && PyUnicode_Check(source.get())
                                  ? PyUnicode_Compare(file.get(), source.get()) == 0
                                  : 0;
        if (named && same_file) {
            set(&kept.data_type_string, std::move(held));
            set(&kept.data_type_code, std::move(code));
        }
    }
    return failed ? -1 : 0;
}

}  // namespace

int capture_implementations(PyObject* package)
{
    Ref module = bucket::import_module(package, "bucket");
    if (!module) {
        return -1;
    }
    Ref number, bisect;
    if (bucket::import_number_and_bisect(package, number, bisect) < 0) {
        return -1;
    }
    PyObject* globals = PyModule_GetDict(module.get());
    if (globals == nullptr) {
        return -1;
    }
    int failed = 0;
    for (int k = 0; k < KIND_COUNT; k++) {
        PyObject* cls = PyDict_GetItemString(globals, kind_names[k]);
        set(&kept.classes[k], Ref::borrow(cls != nullptr && PyType_Check(cls) ? cls : nullptr));
        set(&kept.bucketize_value[k],
            own_method(cls, names._bucketize_value, kind_names[k], &failed));
        if (failed) {
            return -1;
        }
    }
    PyObject* base = PyDict_GetItemString(globals, "BaseBucket");
    set(&kept.create_entry, own_method(base, names._create_entry, "BaseBucket", &failed));
    if (!failed) {
        set(&kept.increment, own_method(base, names._increment, "BaseBucket", &failed));
    }
    if (failed || capture_data_type_string(package) < 0) {
        return -1;
    }
    set(&kept.module, std::move(module));
    return 0;
}

int layout_of(PyObject* bucket)
{
    PyObject* mro = Py_TYPE(bucket)->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); i++) {
        for (int k = 0; k < KIND_COUNT; k++) {
            if (kept.classes[k] != nullptr && PyTuple_GET_ITEM(mro, i) == kept.classes[k]) {
                return k;
            }
        }
    }
    PyErr_Format(PyExc_TypeError, "a bucket of one of the module's kinds is needed, not %.200s",
                 Py_TYPE(bucket)->tp_name);
    return -1;
}

int refuse(Reason& reason, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason.text, sizeof(reason.text), format, args);
    va_end(args);
    return 0;
}

PyObject* plain_attr(PyObject* obj, PyObject* name, Reason& reason)
{
    PyTypeObject* type = Py_TYPE(obj);
    const char* text = PyUnicode_AsUTF8(name);
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        refuse(reason, "%.100s has its own attribute lookup", type->tp_name);
        return nullptr;
    }
    if (detail::class_lookup(type, name) != nullptr) {
        refuse(reason, "%.100s.%s is on the class", type->tp_name, text);
        return nullptr;
    }
    PyObject* dict = detail::exact_instance_dict(obj);
    PyObject* value = dict != nullptr ? PyDict_GetItemWithError(dict, name) : nullptr;
    if (value == nullptr) {
        PyErr_Clear();
        refuse(reason, "%s is not in the instance's dict", text);
    }
    return value;
}

bool plain_store(PyObject* obj, PyObject* name)
{
    PyTypeObject* type = Py_TYPE(obj);
    return type->tp_setattro == PyObject_GenericSetAttr &&
           detail::class_lookup(type, name) == nullptr &&
           detail::exact_instance_dict(obj) != nullptr;
}

bool plain_instance(PyObject* obj, Reason& reason)
{
    PyObject* dict = detail::exact_instance_dict(obj);
    if (dict == nullptr) {
        PyErr_Clear();
        return refuse(reason, "%.100s has no exact instance dict", Py_TYPE(obj)->tp_name);
    }
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return refuse(reason, "a key of the instance dict of %.100s is not a str",
                          Py_TYPE(obj)->tp_name);
        }
    }
    return true;
}

int own_kind(PyObject* bucket, Kind* kind, Reason& reason)
{
    PyTypeObject* type = Py_TYPE(bucket);
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return refuse(reason, "%.100s has its own attribute lookup", type->tp_name);
    }
    PyObject* found = detail::class_lookup(type, names._bucketize_value);
    for (int k = 0; k < KIND_COUNT; k++) {
        if (found != nullptr && found == kept.bucketize_value[k]) {
            const int resolves = bucket::resolves_to(bucket, names._bucketize_value, found);
            if (resolves <= 0) {
                return resolves < 0 ? -1
                                    : refuse(reason, "_bucketize_value is set on the instance");
            }
            *kind = static_cast<Kind>(k);
            return 1;
        }
    }
    return refuse(reason, "%.100s._bucketize_value is overridden", type->tp_name);
}

int own_counting(PyObject* bucket, Reason& reason)
{
    struct {
        PyObject* const& name;
        PyObject* own;
    } methods[] = {{names._create_entry, kept.create_entry}, {names._increment, kept.increment}};
    for (const auto& method : methods) {
        const int own = method.own != nullptr
                            ? bucket::resolves_to(bucket, method.name, method.own)
                            : 0;
        if (own <= 0) {
            return own < 0 ? -1
                           : refuse(reason, "%.100s.%s is not BaseBucket's own",
                                    Py_TYPE(bucket)->tp_name, PyUnicode_AsUTF8(method.name));
        }
    }
    return 1;
}

namespace {

PyObject* global(PyObject* name)
{
    PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(kept.module), name);
    PyErr_Clear();
    return found;
}

}  // namespace

int fast_mode_off(Reason& reason)
{
    PyObject* flag = global(names.FAST_MODE);
    if (flag == Py_False) {
        return 1;
    }
    return refuse(reason, flag == Py_True ? "FAST_MODE is true" : "FAST_MODE is not False");
}

int number_in_c(Reason& reason)
{
    PyObject* number = global(names.Number);
    if (number != nullptr && bucket::number_test_in_c(number)) {
        return 1;
    }
    return refuse(reason, "Number is not the numbers.Number imported, or its test was replaced");
}

int own_bisect(Reason& reason)
{
    PyObject* module = global(names.bisect);
    if (module != nullptr && module == shared.bisect_module && PyModule_CheckExact(module) &&
        detail::class_lookup(&PyModule_Type, names.bisect) == nullptr &&
        shared.bisect_function != nullptr) {
        PyObject* function = PyDict_GetItemWithError(PyModule_GetDict(module), names.bisect);
        PyErr_Clear();
        if (function == shared.bisect_function) {
            return 1;
        }
    }
    return refuse(reason, "bisect.bisect is not the standard function");
}

int plain_truth(PyObject* obj)
{
    if (obj == Py_True) {
        return 1;
    }
    if (obj == Py_False || obj == Py_None) {
        return 0;
    }
    return PyLong_CheckExact(obj) ? PyObject_IsTrue(obj) : -1;
}

int plain_flag(PyObject* obj, PyObject* name, bool* flag, Reason& reason)
{
    PyObject* value = plain_attr(obj, name, reason);
    if (value == nullptr) {
        return 0;
    }
    const int truth = plain_truth(value);
    if (truth < 0) {
        return refuse(reason, "%s is not a plain bool", PyUnicode_AsUTF8(name));
    }
    *flag = truth != 0;
    return 1;
}

Py_ssize_t plain_count(PyObject* obj, PyObject* name)
{
    Reason ignored;
    PyObject* value = plain_attr(obj, name, ignored);
    if (value == nullptr || !PyLong_CheckExact(value)) {
        return -1;
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    return !overflow && n >= 0 && n < PY_SSIZE_T_MAX ? static_cast<Py_ssize_t>(n) : -1;
}

bool plain_keys(PyObject* map)
{
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(map, &pos, &key, &value)) {
        PyTypeObject* type = Py_TYPE(key);
        if (type != &PyUnicode_Type && type != &PyLong_Type && type != &PyFloat_Type &&
            type != &PyBool_Type && key != Py_None) {
            return false;
        }
    }
    return true;
}

PyObject* plain_data_type(PyObject* bucket, Reason& reason)
{
    PyObject* extractor = plain_attr(bucket, names._extractor, reason);
    if (extractor == nullptr) {
        return nullptr;
    }
    if (kept.data_type_string == nullptr ||
        PyFunction_GET_CODE(kept.data_type_string) != kept.data_type_code) {
        refuse(reason, "FieldExtractor.data_type_string is not the package's own");
        return nullptr;
    }
    const int own = bucket::resolves_to(extractor, names.data_type_string, kept.data_type_string);
    if (own <= 0) {
        PyErr_Clear();
        refuse(reason, "the extractor's data_type_string is not FieldExtractor's own");
        return nullptr;
    }
    if (!plain_instance(extractor, reason)) {
        return nullptr;
    }
    PyObject* type = plain_attr(extractor, names._data_type, reason);
    if (type != nullptr && !PyUnicode_CheckExact(type)) {
        refuse(reason, "the extractor's _data_type is not a str");
        return nullptr;
    }
    return type;
}

}  // namespace columns
