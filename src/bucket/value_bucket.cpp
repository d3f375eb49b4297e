// ValueBucket: numeric values passed on as they are, with a marker for a
// missing value or a default that stands in for it.
#include "base_bucket.h"
#include "kinds.h"
#include "module.h"
#include "reports.h"

namespace bucket {
namespace {

PyObject* init(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* default_value = args[4];
    PyObject* has_null = default_value != Py_None ? Py_False : args[3];
    const int with_null = PyObject_IsTrue(has_null);
    if (with_null < 0) {
        return nullptr;
    }
    Ref total = Ref::steal(PyLong_FromLong(with_null ? 2 : 1));
    if (!total ||
        init_base(globals, names.ValueBucket, self, args[1], args[2], total.get()) < 0 ||
        set_attr(self, names._has_null, has_null) < 0 ||
        set_attr(self, names._default_value, default_value) < 0) {
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
    Ref null_text;
    if (with_null) {
        null_text = Ref::steal(PyUnicode_FromString("has_null"));
    }
    else {
        Ref default_value = attr(self, names._default_value);
        if (!default_value) {
            return nullptr;
        }
        Ref shown = Ref::steal(PyObject_Str(default_value.get()));
        if (!shown) {
            return nullptr;
        }
        null_text = format("def=%s", shown.get());
    }
    if (!null_text) {
        return nullptr;
    }
    Ref extractor = attr(self, names._extractor);
    if (!extractor) {
        return nullptr;
    }
    Ref field = attr(extractor.get(), names._field_name);
    if (!field) {
        return nullptr;
    }
    return format("%s: %d %s extractor: %s", name.get(), count.get(),
                  null_text.get(), field.get())
        .release();
}

PyObject* write_to_proto(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* proto = args[1];
    if (write_base_fields(globals, self, proto) < 0) {
        return nullptr;
    }
    if (set_bucket_type(globals, proto, names.DIRECT) < 0) {
        return nullptr;
    }
    Ref flag = attr(self, names._has_null);
    if (!flag || set_attr(proto, names.has_null, flag.get()) < 0) {
        return nullptr;
    }
    Ref default_value = attr(self, names._default_value);
    if (!default_value) {
        return nullptr;
    }
    if (default_value.get() != Py_None) {
        Ref again = attr(self, names._default_value);
        if (!again || set_attr(proto, names.none_value, again.get()) < 0) {
            return nullptr;
        }
    }
    return none();
}

PyObject* bucketize_value(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    Ref value = Ref::borrow(args[1]);
    if (value.get() == Py_None) {
        const int with_null = has_null(self);
        if (with_null < 0) {
            return nullptr;
        }
        if (with_null) {
            return create_entry_at(self, 1).release();
        }
        value = attr(self, names._default_value);
        if (!value) {
            return nullptr;
        }
    }
    const int fast = fast_mode(globals);
    if (fast < 0) {
        return nullptr;
    }
    if (!fast && value.get() != Py_None) {
        const int number = is_number(globals, value.get());
        if (number < 0) {
            return nullptr;
        }
        if (!number) {
            Ref name = attr(self, names._name);
            return name ? raise_bad_attribute(globals, name.get(), value.get())
                        : nullptr;
        }
    }
    if (increment(self, shared.zero) < 0) {
        return nullptr;
    }
    const int with_null = has_null(self);
    if (with_null < 0) {
        return nullptr;
    }
    PyObject* row = PyList_New(with_null ? 2 : 1);
    if (row == nullptr) {
        return nullptr;
    }
    PyList_SET_ITEM(row, 0, value.release());
    if (with_null) {
        Py_INCREF(shared.float_zero);
        PyList_SET_ITEM(row, 1, shared.float_zero);
    }
    return row;
}

PyObject* set_null_fraction(PyObject*, PyObject* const* args)
{
    return drop_rare_null_bucket(args[0], args[1]);
}

// The null bucket is index 1.
PyObject* get_distro(PyObject*, PyObject* const* args)
{
    return null_share_distro(args[0], 1);
}

const MethodSpec methods[] = {
    {"__init__", init,
     {{"self", Default::Required},
      {"name", Default::Required},
      {"extractor", Default::Required},
      {"has_null", Default::True},
      {"default_value", Default::None}}},
    {"__str__", str, {{"self", Default::Required}}, true},
    {"write_to_proto", write_to_proto,
     {{"self", Default::Required}, {"proto", Default::Required}}},
    {"set_null_fraction", set_null_fraction,
     {{"self", Default::Required}, {"null_fraction", Default::Required}}},
    {"_bucketize_value", bucketize_value,
     {{"self", Default::Required}, {"value", Default::Required}}},
    {"get_distro", get_distro, {{"self", Default::Required}}, true},
};

}  // namespace

Ref create_value_bucket_class(PyObject* globals)
{
    Ref base = lookup_global(globals, names.BaseBucket);
    if (!base) {
        return base;
    }
    return make_class(globals, "ValueBucket", base.get(), nullptr, methods,
                      sizeof(methods) / sizeof(methods[0]));
}

}  // namespace bucket
