// BooleanBucket: false, true and, unless dropped, a null bucket for None.
#include "base_bucket.h"
#include "kinds.h"
#include "module.h"
#include "reports.h"

namespace bucket {
namespace {

// The truth value of obj: 1, 0 or -1.
int truth(PyObject* obj)
{
    if (obj == Py_True) {
        return 1;
    }
    if (obj == Py_False) {
        return 0;
    }
    return PyObject_IsTrue(obj);
}

PyObject* init(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* with_null = args[3];
    const int keep_null = truth(with_null);
    if (keep_null < 0) {
        return nullptr;
    }
    Ref count = Ref::steal(PyLong_FromLong(keep_null ? 3 : 2));
    if (!count ||
        init_base(globals, names.BooleanBucket, self, args[1], args[2],
                  count.get()) < 0 ||
        set_attr(self, names._has_null, with_null) < 0) {
        return nullptr;
    }
    return none();
}

PyObject* str(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    Ref name = attr(self, names._name);
    if (!name) {
        return nullptr;
    }
    Ref count = attr(self, names._total_buckets);
    if (!count) {
        return nullptr;
    }
    const int with_null = has_null(self);
    if (with_null < 0) {
        return nullptr;
    }
    return format("%s: %d %s", name.get(), count.get(),
                  with_null ? names.has_null : names.no_null)
        .release();
}

PyObject* write_to_proto(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* proto = args[1];
    if (write_base_fields(globals, self, proto) < 0) {
        return nullptr;
    }
    if (set_bucket_type(globals, proto, names.BOOLEAN) < 0) {
        return nullptr;
    }
    Ref flag = attr(self, names._has_null);
    if (!flag || set_attr(proto, names.has_null, flag.get()) < 0) {
        return nullptr;
    }
    return none();
}

PyObject* bucketize_value(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* value = args[1];
    if (value == Py_None) {
        const int with_null = has_null(self);
        if (with_null < 0) {
            return nullptr;
        }
        if (with_null) {
            return create_entry_at(self, 2).release();
        }
        value = Py_False;
    }
    const int fast = fast_mode(globals);
    if (fast < 0) {
        return nullptr;
    }
    if (!fast && !PyBool_Check(value)) {
        // isinstance also honours a __class__ that claims bool.
        const int claims_bool = PyObject_IsInstance(
            value, reinterpret_cast<PyObject*>(&PyBool_Type));
        if (claims_bool < 0) {
            return nullptr;
        }
        if (!claims_bool) {
            Ref name = attr(self, names._name);
            return name ? raise_bad_attribute(globals, name.get(), value)
                        : nullptr;
        }
    }
    const Method entry = create_entry_method(self);
    if (!entry.callable) {
        return nullptr;
    }
    const int is_true = truth(value);
    if (is_true < 0) {
        return nullptr;
    }
    return create_entry_at(entry, self, is_true ? 1 : 0).release();
}

PyObject* set_null_fraction(PyObject*, PyObject* const* args)
{
    return drop_rare_null_bucket(args[0], args[1]);
}

// The null bucket is index 2.
PyObject* get_distro(PyObject*, PyObject* const* args)
{
    return null_share_distro(args[0], 2);
}

const MethodSpec methods[] = {
    {"__init__", init,
     {{"self", Default::Required},
      {"name", Default::Required},
      {"extractor", Default::Required},
      {"has_null", Default::True}}},
    {"__str__", str, {{"self", Default::Required}}, true},
    {"set_null_fraction", set_null_fraction,
     {{"self", Default::Required}, {"null_fraction", Default::Required}}},
    {"write_to_proto", write_to_proto,
     {{"self", Default::Required}, {"proto", Default::Required}}},
    {"_bucketize_value", bucketize_value,
     {{"self", Default::Required}, {"value", Default::Required}}},
    {"get_distro", get_distro, {{"self", Default::Required}}, true},
};

}  // namespace

Ref create_boolean_bucket_class(PyObject* globals)
{
    Ref base = lookup_global(globals, names.BaseBucket);
    if (!base) {
        return base;
    }
    return make_class(globals, "BooleanBucket", base.get(), nullptr, methods,
                      sizeof(methods) / sizeof(methods[0]));
}

}  // namespace bucket
