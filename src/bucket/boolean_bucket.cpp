// BooleanBucket: false, true and, unless dropped, a null bucket for None.
#include "base_bucket.h"
#include "kinds.h"
#include "module.h"

namespace bucket {
namespace {

// Made once by create_boolean_bucket_class.
PyObject* null_threshold;  // 0.02
PyObject* has_null_text;   // "has_null"
PyObject* no_null_text;    // "no_null"

PyObject* none()
{
    Py_RETURN_NONE;
}

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

// The truth value of self._has_null: 1, 0 or -1.
int has_null(PyObject* self)
{
    Ref flag = getattr(self, names._has_null);
    return flag ? truth(flag.get()) : -1;
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
        setattr(self, names._has_null, with_null) < 0) {
        return nullptr;
    }
    return none();
}

PyObject* str(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    Ref name = getattr(self, names._name);
    if (!name) {
        return nullptr;
    }
    Ref count = getattr(self, names._total_buckets);
    if (!count) {
        return nullptr;
    }
    const int with_null = has_null(self);
    if (with_null < 0) {
        return nullptr;
    }
    return format("%s: %d %s", name.get(), count.get(),
                  with_null ? has_null_text : no_null_text)
        .release();
}

PyObject* set_null_fraction(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    Ref flag = getattr(self, names._has_null);
    if (!flag) {
        return nullptr;
    }
    const int with_null = truth(flag.get());
    if (with_null <= 0) {
        return with_null < 0 ? nullptr : none();
    }
    const int rare = PyObject_RichCompareBool(args[1], null_threshold, Py_LT);
    if (rare <= 0) {
        return rare < 0 ? nullptr : none();
    }
    if (setattr(self, names._has_null, Py_False) < 0) {
        return nullptr;
    }
    if (remove_bucket(self) < 0) {
        // A refused drop must leave the bucket as it was: the flag goes
        // back to the object it held.
        PyObject* refusal = compat::fetch_exception();
        if (setattr(self, names._has_null, flag.get()) < 0) {
            PyObject* failure = compat::fetch_exception();
            PyException_SetContext(failure, refusal);
            compat::restore_exception(failure);
        }
        else {
            compat::restore_exception(refusal);
        }
        return nullptr;
    }
    return none();
}

PyObject* write_to_proto(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* proto = args[1];
    if (write_base_fields(globals, self, proto) < 0) {
        return nullptr;
    }
    Ref module = lookup_global(globals, names.row_handler_pb2);
    if (!module) {
        return nullptr;
    }
    Ref message_class = getattr(module.get(), names.Bucket);
    if (!message_class) {
        return nullptr;
    }
    Ref kind = getattr(message_class.get(), names.BOOLEAN);
    if (!kind || setattr(proto, names.bucket_type, kind.get()) < 0) {
        return nullptr;
    }
    Ref flag = getattr(self, names._has_null);
    if (!flag || setattr(proto, names.has_null, flag.get()) < 0) {
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
            return create_entry_at(globals, self, 2).release();
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
            Ref name = getattr(self, names._name);
            return name ? raise_bad_attribute(globals, name.get(), value)
                        : nullptr;
        }
    }
    const int is_true = truth(value);
    if (is_true < 0) {
        return nullptr;
    }
    return create_entry_at(globals, self, is_true ? 1 : 0).release();
}

// self._distro[index], the list read afresh as the summary's sum does.
Ref distro_at(PyObject* self, Py_ssize_t index)
{
    Ref distro = getattr(self, names._distro);
    if (!distro) {
        return distro;
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    if (!key) {
        return key;
    }
    return Ref::steal(PyObject_GetItem(distro.get(), key.get()));
}

// ", N% null" for the counts of the three buckets; a bucket that has counted
// nothing has no nulls to share out and shows 0.
Ref null_share(PyObject* self)
{
    Ref total = distro_at(self, 0);
    for (Py_ssize_t i = 1; total && i < 3; i++) {
        Ref count = distro_at(self, i);
        total = count ? add(total.get(), count.get()) : Ref();
    }
    if (!total) {
        return total;
    }
    const int empty = PyObject_RichCompareBool(total.get(), shared.zero, Py_EQ);
    if (empty < 0) {
        return Ref();
    }
    Ref share = Ref::borrow(shared.zero);
    if (!empty) {
        Ref nulls = distro_at(self, 2);
        if (!nulls) {
            return nulls;
        }
        share = percent(nulls.get(), total.get());
        if (!share) {
            return share;
        }
    }
    return format(", %d%% null", share.get());
}

PyObject* get_distro(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    Ref extractor = getattr(self, names._extractor);
    if (!extractor) {
        return nullptr;
    }
    Ref description = call_method(extractor.get(), names.description);
    Ref open = Ref::steal(PyUnicode_FromString("("));
    if (!description || !open) {
        return nullptr;
    }
    Ref text = add(open.get(), description.get());
    if (!text) {
        return nullptr;
    }
    const int with_null = has_null(self);
    if (with_null < 0) {
        return nullptr;
    }
    if (with_null) {
        Ref piece = null_share(self);
        if (!piece) {
            return nullptr;
        }
        text = add(text.get(), piece.get());
        if (!text) {
            return nullptr;
        }
    }
    Ref close = Ref::steal(PyUnicode_FromString(")"));
    if (!close) {
        return nullptr;
    }
    return add(text.get(), close.get()).release();
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

// Keeps a new object in *slot once; 0 or -1.
int keep_once(PyObject** slot, PyObject* (*make)())
{
    if (*slot == nullptr) {
        *slot = make();
    }
    return *slot == nullptr ? -1 : 0;
}

}  // namespace

Ref create_boolean_bucket_class(PyObject* globals)
{
    if (keep_once(&null_threshold, [] { return PyFloat_FromDouble(0.02); }) < 0 ||
        keep_once(&has_null_text,
                  [] { return PyUnicode_InternFromString("has_null"); }) < 0 ||
        keep_once(&no_null_text,
                  [] { return PyUnicode_InternFromString("no_null"); }) < 0) {
        return Ref();
    }
    Ref base = lookup_global(globals, names.BaseBucket);
    if (!base) {
        return base;
    }
    return make_class(globals, "BooleanBucket", base.get(), nullptr, methods,
                      sizeof(methods) / sizeof(methods[0]));
}

}  // namespace bucket
