// The module frame: initialisation, the interned names, the module
// namespace as the methods' globals, and the making of the classes.
#pragma once

#include <Python.h>

#include <cstddef>

#include "method.h"
#include "refs.h"

namespace bucket {

// Every attribute, global and key name the module uses, interned once.
#define BUCKET_NAMES(X)                                                     \
    X(__name__) X(__module__) X(__qualname__) X(__doc__) X(__init__)        \
    X(__str__) X(__test__) X(Number) X(bisect) X(row_handler_pb2)           \
    X(extractor) X(ANSI_ESCAPE) X(NORMAL_COLOR) X(FAST_MODE)                \
    X(BadAttributeError) X(BaseBucket) X(BooleanBucket) X(ValueBucket)      \
    X(CategoricalBucket) X(SimpleCategoricalBucket) X(Bucket)               \
    X(StringBucket) X(create_category_dict) X(read_from_proto) X(print)     \
    X(_key) X(_value) X(_name) X(_extractor) X(_total_buckets) X(_distro)   \
    X(_total) X(_out_buckets) X(_increment) X(_create_entry)                \
    X(_remove_bucket) X(_bucketize_value) X(get_bucket_label) X(extract)    \
    X(to_proto) X(CopyFrom) X(name) X(bucket_count) X(write_to_proto)       \
    X(description) X(data_type_string) X(_field_name) X(_has_none)          \
    X(_buckets) X(_len) X(_bucket_map) X(_has_null) X(_default_value)       \
    X(bucket_type) X(has_null) X(none_value) X(float_buckets)               \
    X(int_buckets) X(string_buckets) X(bucket_fraction) X(_min_fraction)    \
    X(_category_dict) X(_none_value) X(_category_value_map) X(append)       \
    X(get) X(HasField) X(BUCKET) X(STRING) X(BOOLEAN) X(DIRECT)             \
    X(CATEGORY) X(count) X(items) X(is_integer) X(__instancecheck__)

struct Names {
#define BUCKET_DECLARE_NAME(id) PyObject* id;
    BUCKET_NAMES(BUCKET_DECLARE_NAME)
#undef BUCKET_DECLARE_NAME
};

// Filled by the exec step; the module loads into one interpreter only, so
// process-wide storage is its own.
extern Names names;

// Objects the module keeps for its own use, made at import.
struct Shared {
    // What the module bound at import, to tell whether a caller replaced
    // them: the per-row shortcuts hold only while they are unchanged.
    PyObject* number;
    // Number's metaclass and its __instancecheck__ at import, set only if
    // Number then held exact ints, floats, bools and complex numbers: the
    // Number test is decided in C only while both are unchanged.
    PyObject* number_meta;
    PyObject* number_check;
    PyObject* bisect_module;
    PyObject* bisect_function;
    // The builtins module's namespace, where `print` is looked up.
    PyObject* builtins;
    PyObject* zero;        // the int 0
    PyObject* one;         // the int 1
    PyObject* hundred;     // the int 100
    PyObject* float_zero;  // 0.0
    PyObject* float_one;   // 1.0
};

extern Shared shared;

// BadAttributeError, the exception for a value of the wrong type.
Ref create_bad_attribute_error_class(PyObject* globals);

// A module global as a function's code sees it: the namespace, then the
// builtins, else NameError. New reference.
Ref lookup_global(PyObject* globals, PyObject* name);

// The truth value of the global FAST_MODE: 1, 0, or -1 on error.
int fast_mode(PyObject* globals);

// isinstance(value, Number) with the global Number: 1, 0, or -1 on error.
int is_number(PyObject* globals, PyObject* value);

// Raises BadAttributeError(key, value), looked up as a global; always NULL.
PyObject* raise_bad_attribute(PyObject* globals, PyObject* key,
                              PyObject* value);

// Makes a class as a class statement does: calls the metaclass of base with
// the name, (base,) and a namespace of __module__, __qualname__, the
// docstring (if any) and the methods in order. New reference.
Ref make_class(PyObject* globals, const char* name, PyObject* base,
               const char* doc, const MethodSpec* methods, std::size_t count);

// super(cls, self).method(args...), cls being the global cls_name.
template <typename... Args>
Ref call_super(PyObject* globals, PyObject* cls_name, PyObject* self,
               PyObject* method, Args... args)
{
    Ref cls = lookup_global(globals, cls_name);
    if (!cls) {
        return cls;
    }
    Ref proxy = call(reinterpret_cast<PyObject*>(&PySuper_Type), cls.get(),
                     self);
    if (!proxy) {
        return proxy;
    }
    return call_method(proxy.get(), method, args...);
}

// owner.method(args...), owner being the global owner_name: how a kind
// calls a base class's method directly.
template <typename... Args>
Ref call_global_method(PyObject* globals, PyObject* owner_name,
                       PyObject* method, Args... args)
{
    Ref owner = lookup_global(globals, owner_name);
    if (!owner) {
        return owner;
    }
    return call_method(owner.get(), method, args...);
}

// print(text) with the interpreter's print, looked up at the call.
int print_line(PyObject* globals, PyObject* text);

// Python's `obj.name = value`; returns 0 or -1.
inline int setattr(PyObject* obj, PyObject* name, PyObject* value)
{
    return PyObject_SetAttr(obj, name, value);
}

}  // namespace bucket
