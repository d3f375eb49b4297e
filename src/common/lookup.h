// Late binding: every lookup the methods make at each use, as Python code
// makes it, with the names and constants the module keeps for them.
//
// Each lookup has a fast path beside the plain one, taken only while it
// provably gives the plain one's answer:
//
//  attr(obj, name)        obj.name. While the type's tp_getattro is the
//                         generic one and nothing of that name is on the
//                         type (its MRO), the value is the entry of the
//                         instance's own exact dict. For an exact module,
//                         its dict's entry while ModuleType has nothing of
//                         the name. An absent entry takes the plain path,
//                         so the error and any __getattr__ stay the
//                         interpreter's own.
//  set_attr(obj, name, v) obj.name = v. While tp_setattro is the generic
//                         one and nothing of that name is on the type, the
//                         store into the instance's own exact dict.
//  find_method(obj, name) obj.name for a call. While tp_getattro is the
//                         generic one, the type's function is one of the
//                         module's method objects, a Python function or
//                         (3.8 on) any method descriptor, and the exact
//                         instance dict does not shadow it: that function,
//                         to be called with obj first, as the interpreter's
//                         own method calls do. No bound method is made.
//  is_own(method, impl)   whether a found method is the module's own method
//                         object with that implementation: the per-row
//                         path then runs it inline.
//  resolves_to(obj, name, expected)
//                         whether obj.name would find expected on the class,
//                         unshadowed: a guard for code that stands in for
//                         a call of that very method.
//  lookup_global(g, name) a module global: the namespace's entry, then the
//                         builtins'. These are plain dict lookups already,
//                         as cheap as any validity check would be.
//
// "Nothing on the type" is asked of _PyType_Lookup, which the interpreter
// keeps right through every change of a class or its bases. From 3.11 on,
// where a version tag is never given twice, its answers for the module's
// names are remembered per class while the class keeps its tag (class_lookup).
//
// Every read happens where the interpreter would make it, as often: a
// second read is made even where it could only give the first one's object
// again, since the dict lookup between them may run a key's __eq__.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "compat.h"
#include "method.h"
#include "refs.h"

namespace bucket {

// Every attribute, global and key name the module uses, interned once.
#define BUCKET_NAMES(X)                                                     \
    X(__name__) X(__module__) X(__qualname__) X(__doc__) X(__init__)        \
    X(__str__) X(__test__) X(__instancecheck__) X(Number) X(bisect)         \
    X(row_handler_pb2) X(extractor) X(ANSI_ESCAPE) X(NORMAL_COLOR)          \
    X(FAST_MODE) X(BadAttributeError) X(BaseBucket) X(BooleanBucket)        \
    X(ValueBucket) X(CategoricalBucket) X(SimpleCategoricalBucket)          \
    X(Bucket) X(StringBucket) X(create_category_dict) X(read_from_proto)    \
    X(print) X(_key) X(_value) X(_name) X(_extractor) X(_total_buckets)     \
    X(_distro) X(_total) X(_out_buckets) X(_increment) X(_create_entry)     \
    X(_remove_bucket) X(_bucketize_value) X(get_bucket_label) X(extract)    \
    X(to_proto) X(CopyFrom) X(name) X(bucket_count) X(write_to_proto)       \
    X(description) X(data_type_string) X(_field_name) X(_has_none)          \
    X(_buckets) X(_len) X(_bucket_map) X(_has_null) X(_default_value)       \
    X(bucket_type) X(has_null) X(none_value) X(float_buckets)               \
    X(int_buckets) X(string_buckets) X(bucket_fraction) X(_min_fraction)    \
    X(_category_dict) X(_none_value) X(_category_value_map) X(append)       \
    X(get) X(HasField) X(BUCKET) X(STRING) X(BOOLEAN) X(DIRECT)             \
    X(CATEGORY) X(FLOAT) X(count) X(items) X(is_integer) X(sort) X(key)     \
    X(reverse) X(category_dict) X(no_null) X(position) X(__arrow_c_array__)  \
    X(_data_type) X(FieldExtractor) X(__file__) X(co_filename)

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
    PyObject* bisect_module;
    PyObject* bisect_function;
    // Number's metaclass and its __instancecheck__ at import, set only if
    // Number then held exact ints, floats, bools and complex numbers: the
    // Number test is decided in C only while both are unchanged.
    PyObject* number_meta;
    PyObject* number_check;
    // The builtins module's namespace, where `print` is looked up.
    PyObject* builtins;
    PyObject* minus_one;   // the int -1
    PyObject* zero;        // the int 0
    PyObject* one;         // the int 1
    PyObject* two;         // the int 2
    PyObject* hundred;     // the int 100
    PyObject* float_zero;  // 0.0
    PyObject* float_one;   // 1.0
};

extern Shared shared;

// Interns the names and makes the constants; part of the exec step.
int make_names_and_constants();

// The package a module was imported into, "" for a top-level module.
Ref package_of(PyObject* module);

// Imports name relative to package first and, only if that raises
// ImportError, as an absolute name. Returns the leaf module.
Ref import_module(PyObject* package, const char* name);

// Imports numbers.Number and the bisect module as the bucket module does,
// relative to package first, and keeps them in `shared` with what the C
// Number test and the bisect shortcut need. 0 or -1.
int import_number_and_bisect(PyObject* package, Ref& number, Ref& bisect);

// Keeps value (a new reference, or NULL after a failure: -1) in *slot for
// the module's own use, dropping what was there; 0 or -1.
int keep(PyObject** slot, PyObject* value);

// A build with -Dplain_lookups=true takes the plain path everywhere, the C
// shortcuts of the kinds included: the differential tests hold both builds
// to the plain-Python model.
#ifdef BUCKET_PLAIN_LOOKUPS
constexpr bool fast_paths = false;
#else
constexpr bool fast_paths = true;
#endif

namespace detail {

constexpr std::size_t NAME_COUNT = sizeof(Names) / sizeof(PyObject*);

// The position of name among the members of `names` when it is one of
// them, else -1: a lookup by one of the module's names can be remembered.
inline Py_ssize_t name_index(PyObject* const& name)
{
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(&name) -
                                  reinterpret_cast<std::uintptr_t>(&names);
    return offset < sizeof(Names) ? static_cast<Py_ssize_t>(offset / sizeof(PyObject*))
                                  : -1;
}

// What _PyType_Lookup gave for a class, per name, while the class keeps
// the version tag it had then.
struct ClassView {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    std::uint64_t known[(NAME_COUNT + 63) / 64] = {};
    PyObject* found[NAME_COUNT] = {};  // borrowed from the class's MRO
};

constexpr std::size_t VIEW_COUNT = 64;
extern ClassView class_views[VIEW_COUNT];

PyObject* class_lookup_and_remember(ClassView& view, PyTypeObject* type,
                                    Py_ssize_t index, PyObject* name);

// _PyType_Lookup(type, name): borrowed, NULL without an error when the class
// holds nothing of that name. One of the module's names is answered from the
// class's view while its version tag stands.
inline PyObject* class_lookup(PyTypeObject* type, PyObject* const& name)
{
    if (fast_paths && compat::STABLE_TYPE_VERSIONS) {
        const Py_ssize_t index = name_index(name);
        if (index >= 0) {
            ClassView& view =
                class_views[(reinterpret_cast<std::uintptr_t>(type) >> 4) % VIEW_COUNT];
            if (view.type == type && view.version == type->tp_version_tag &&
                compat::version_tag_valid(type) &&
                ((view.known[index / 64] >> (index % 64)) & 1)) {
                return view.found[index];
            }
            return class_lookup_and_remember(view, type, index, name);
        }
    }
    return _PyType_Lookup(type, name);
}

// The instance's own dict where it is an exact dict, else NULL (no error):
// a dict subclass, or none, leaves the lookup to the interpreter.
inline PyObject* exact_instance_dict(PyObject* obj)
{
    PyObject** slot = _PyObject_GetDictPtr(obj);
    if (slot == nullptr || *slot == nullptr || !PyDict_CheckExact(*slot)) {
        return nullptr;
    }
    return *slot;
}

}  // namespace detail

inline Ref attr(PyObject* obj, PyObject* const& name)
{
    if (fast_paths) {
        PyTypeObject* type = Py_TYPE(obj);
        PyObject* dict = nullptr;
        if (type->tp_getattro == PyObject_GenericGetAttr) {
            if (detail::class_lookup(type, name) == nullptr) {
                dict = detail::exact_instance_dict(obj);
            }
        }
        else if (type == &PyModule_Type && detail::class_lookup(type, name) == nullptr) {
            dict = PyModule_GetDict(obj);
        }
        if (dict != nullptr) {
            PyObject* value = nullptr;
            const int found = compat::dict_get(dict, name, &value);
            if (found != 0) {
                return Ref::steal(value);
            }
        }
    }
    return getattr(obj, name);
}

inline int set_attr(PyObject* obj, PyObject* const& name, PyObject* value)
{
    PyTypeObject* type = Py_TYPE(obj);
    if (fast_paths && type->tp_setattro == PyObject_GenericSetAttr &&
        detail::class_lookup(type, name) == nullptr) {
        if (PyObject* dict = detail::exact_instance_dict(obj)) {
            return PyDict_SetItem(dict, name, value);
        }
    }
    return PyObject_SetAttr(obj, name, value);
}

// A callable found for obj.name(...): to be called with obj first when
// unbound is set. Empty with an exception set if the lookup failed.
struct Method {
    Ref callable;
    bool unbound = false;
};

inline Method find_method(PyObject* obj, PyObject* const& name)
{
    PyTypeObject* type = Py_TYPE(obj);
    if (fast_paths && type->tp_getattro == PyObject_GenericGetAttr) {
        PyObject* found = detail::class_lookup(type, name);
        if (found != nullptr &&
            (is_method_object(found) || PyFunction_Check(found) ||
             PyType_HasFeature(Py_TYPE(found), compat::TPFLAGS_METHOD_DESCRIPTOR))) {
            PyObject** slot = _PyObject_GetDictPtr(obj);
            PyObject* dict = slot != nullptr ? *slot : nullptr;
            // No slot where the type has a dict means it could not be
            // made: the interpreter is asked instead.
            if (dict == nullptr && (slot != nullptr || type->tp_dictoffset == 0)) {
                return {Ref::borrow(found), true};
            }
            if (dict != nullptr && PyDict_CheckExact(dict)) {
                // The lookup may run a colliding key's __eq__, which could
                // change the class: the function is held across it.
                Ref held = Ref::borrow(found);
                PyObject* shadow = nullptr;
                const int shadowed = compat::dict_get(dict, name, &shadow);
                if (shadowed != 0) {
                    return {Ref::steal(shadow), false};
                }
                return {std::move(held), true};
            }
        }
    }
    return {getattr(obj, name), false};
}

inline bool is_own(const Method& method, MethodImpl impl)
{
    return method.unbound && method_impl(method.callable.get()) == impl;
}

// Calls a found method with obj and args. The module's own method objects
// are run without the interpreter's call machinery, which on 3.7 would
// pack the arguments into a tuple.
template <typename... Args>
Ref call_found(const Method& method, PyObject* obj, Args... args)
{
    PyObject* callable = method.callable.get();
    if (method.unbound) {
        if (fast_paths && is_method_object(callable)) {
            PyObject* const stack[] = {obj, args...};
            return Ref::steal(call_method_object(callable, stack, 1 + sizeof...(Args)));
        }
        return call(callable, obj, args...);
    }
    return call(callable, args...);
}

// obj.name(args...) with the found method.
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* const& name, Args... args)
{
    Method method = find_method(obj, name);
    return method.callable ? call_found(method, obj, args...) : Ref();
}

// A module global as a function's code sees it: the namespace, then the
// builtins, else NameError.
inline Ref lookup_global(PyObject* globals, PyObject* name)
{
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value == nullptr && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(shared.builtins, name);
        if (value == nullptr && !PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    return Ref::borrow(value);
}

// The truth value of the global FAST_MODE: 1, 0, or -1 on error.
inline int fast_mode(PyObject* globals)
{
    Ref flag = lookup_global(globals, names.FAST_MODE);
    if (!flag) {
        return -1;
    }
    if (flag.get() == Py_False) {
        return 0;
    }
    if (flag.get() == Py_True) {
        return 1;
    }
    return PyObject_IsTrue(flag.get());
}

// n + 1 with the interpreter's +; an exact int that fits a long is added
// in C, to the same value.
inline Ref plus_one(PyObject* n)
{
    if (fast_paths && PyLong_CheckExact(n)) {
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(n, &overflow);
        if (overflow == 0 && value < LONG_MAX) {
            return Ref::steal(PyLong_FromLong(value + 1));
        }
    }
    return add(n, shared.one);
}

// key in map: 1, 0 or -1; an exact dict is asked directly.
inline int contains(PyObject* map, PyObject* key)
{
    return fast_paths && PyDict_CheckExact(map) ? PyDict_Contains(map, key)
                                                : PySequence_Contains(map, key);
}

// map[key]; an exact dict is asked directly and, lacking the key, raises
// the KeyError its subscript raises: the key as the one argument.
inline Ref item(PyObject* map, PyObject* key)
{
    if (!fast_paths || !PyDict_CheckExact(map)) {
        return Ref::steal(PyObject_GetItem(map, key));
    }
    PyObject* found = PyDict_GetItemWithError(map, key);
    if (found != nullptr) {
        return Ref::borrow(found);
    }
    if (!PyErr_Occurred()) {
        Ref args = Ref::steal(PyTuple_Pack(1, key));
        if (args) {
            PyErr_SetObject(PyExc_KeyError, args.get());
        }
    }
    return Ref();
}

// Whether isinstance(v, number) is decided in C for every exact int, float,
// bool and complex v: number is the Number kept at import, and its
// metaclass and that metaclass's __instancecheck__ are those it had then.
bool number_test_in_c(PyObject* number);

// isinstance(value, Number) with the global Number: 1, 0, or -1 on error.
int is_number(PyObject* globals, PyObject* value);

// Whether obj.name is expected, found on the class: the type has the
// generic tp_getattro, its MRO gives expected, and the instance's dict (an
// exact dict, or none) does not shadow it. 1, 0, or -1 on error.
inline int resolves_to(PyObject* obj, PyObject* const& name, PyObject* expected)
{
    PyTypeObject* type = Py_TYPE(obj);
    if (!fast_paths || type->tp_getattro != PyObject_GenericGetAttr ||
        detail::class_lookup(type, name) != expected) {
        return 0;
    }
    PyObject** slot = _PyObject_GetDictPtr(obj);
    PyObject* dict = slot != nullptr ? *slot : nullptr;
    if (dict == nullptr) {
        return slot != nullptr || type->tp_dictoffset == 0;
    }
    if (!PyDict_CheckExact(dict)) {
        return 0;
    }
    PyObject* shadow = nullptr;
    const int shadowed = compat::dict_get(dict, name, &shadow);
    Py_XDECREF(shadow);
    return shadowed < 0 ? -1 : !shadowed;
}

}  // namespace bucket
