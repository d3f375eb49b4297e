// Bucket: numeric values by the range of sorted boundaries they fall into,
// with an index for values at or above the last boundary and one for None.
#include <cstddef>

#include "base_bucket.h"
#include "kinds.h"
#include "module.h"
#include "reports.h"

namespace bucket {
namespace {

PyObject* init(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* buckets = args[3];
    PyObject* has_none = args[4];
    const int with_none = PyObject_IsTrue(has_none);
    if (with_none < 0) {
        return nullptr;
    }
    const Py_ssize_t length = PyObject_Length(buckets);
    if (length < 0) {
        return nullptr;
    }
    Ref counted = Ref::steal(PyLong_FromSsize_t(length));
    Ref extra = Ref::steal(PyLong_FromLong(with_none ? 2 : 1));
    if (!counted || !extra) {
        return nullptr;
    }
    Ref total = add(counted.get(), extra.get());
    if (!total) {
        return nullptr;
    }
    if (init_base(globals, names.Bucket, self, args[1], args[2], total.get()) < 0 ||
        set_attr(self, names._has_none, has_none) < 0 ||
        set_attr(self, names._buckets, buckets) < 0) {
        return nullptr;
    }
    const Py_ssize_t again = PyObject_Length(buckets);
    if (again < 0) {
        return nullptr;
    }
    Ref stored = Ref::steal(PyLong_FromSsize_t(again));
    if (!stored || set_attr(self, names._len, stored.get()) < 0) {
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
    Ref head = format("%s: %d (", name.get(), count.get());
    if (!head) {
        return nullptr;
    }
    Ref buckets = attr(self, names._buckets);
    if (!buckets) {
        return nullptr;
    }
    Ref listed = Ref::steal(PyObject_Str(buckets.get()));
    if (!listed) {
        return nullptr;
    }
    Ref text = add(head.get(), listed.get());
    if (!text) {
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
    Ref tail = format(") extractor: %s", field.get());
    if (!tail) {
        return nullptr;
    }
    return add(text.get(), tail.get()).release();
}

// proto.bucket_type = row_handler_pb2.Bucket.<kind>, then
// proto.has_null = self._has_none.
int write_kind_and_flag(PyObject* globals, PyObject* self, PyObject* proto,
                        PyObject* kind)
{
    if (set_bucket_type(globals, proto, kind) < 0) {
        return -1;
    }
    Ref has_none = attr(self, names._has_none);
    if (!has_none) {
        return -1;
    }
    return set_attr(proto, names.has_null, has_none.get());
}

// Appends each element of self._buckets, in order, to proto.<field>.
int append_buckets(PyObject* self, PyObject* proto, PyObject* field)
{
    Ref buckets = attr(self, names._buckets);
    if (!buckets) {
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(buckets.get()));
    if (!iterator) {
        return -1;
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref repeated = attr(proto, field);
        if (!repeated || !call_method(repeated.get(), names.append, item.get())) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* write_to_proto(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* proto = args[1];
    if (write_base_fields(globals, self, proto) < 0 ||
        write_kind_and_flag(globals, self, proto, names.BUCKET) < 0 ||
        append_buckets(self, proto, names.float_buckets) < 0) {
        return nullptr;
    }
    return none();
}

PyObject* get_bucket_label(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* index = args[1];
    const int inside = compare_with_len(self, index, Py_LT);
    if (inside < 0) {
        return nullptr;
    }
    if (inside) {
        Ref buckets = attr(self, names._buckets);
        if (!buckets) {
            return nullptr;
        }
        Ref bound = Ref::steal(PyObject_GetItem(buckets.get(), index));
        if (!bound) {
            return nullptr;
        }
        return format("%4.1f", bound.get()).release();
    }
    const int top = compare_with_len(self, index, Py_EQ);
    if (top < 0) {
        return nullptr;
    }
    if (!top) {
        return PyUnicode_FromString("None");
    }
    Ref buckets = attr(self, names._buckets);
    if (!buckets) {
        return nullptr;
    }
    Ref length = attr(self, names._len);
    if (!length) {
        return nullptr;
    }
    Ref last = Ref::steal(PyNumber_Subtract(length.get(), shared.one));
    if (!last) {
        return nullptr;
    }
    Ref bound = Ref::steal(PyObject_GetItem(buckets.get(), last.get()));
    if (!bound) {
        return nullptr;
    }
    return format(">%4.1f", bound.get()).release();
}

// The None index: self._len + 1 with the None index, else 0.
Ref bucketize_none(PyObject* self)
{
    const Method entry = create_entry_method(self);
    if (!entry.callable) {
        return Ref();
    }
    Ref has_none = attr(self, names._has_none);
    if (!has_none) {
        return has_none;
    }
    const int with_none = PyObject_IsTrue(has_none.get());
    if (with_none < 0) {
        return Ref();
    }
    if (!with_none) {
        return create_entry_at(entry, self, 0);
    }
    Ref length = attr(self, names._len);
    if (!length) {
        return length;
    }
    if (PyLong_CheckExact(length.get())) {
        const Py_ssize_t n = PyLong_AsSsize_t(length.get());
        if (n != -1 && n < PY_SSIZE_T_MAX) {
            return create_entry_at(entry, self, n + 1);
        }
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
                return Ref();
            }
            PyErr_Clear();
        }
    }
    Ref index = add(length.get(), shared.one);
    if (!index) {
        return index;
    }
    return create_entry(entry, self, index.get());
}

// bisect_right over an exact list or tuple, step for step as the standard
// function takes it: the length is read once, each probe reads its item
// afresh (a comparison may have changed the list), and a probe beyond a
// list that has shrunk raises the list's own IndexError. The position, or
// -1 with an exception set.
Py_ssize_t bisect_inline(PyObject* sequence, PyObject* value)
{
    const bool is_list = PyList_CheckExact(sequence);
    Py_ssize_t lo = 0;
    Py_ssize_t hi = Py_SIZE(sequence);
    const bool value_is_float = PyFloat_CheckExact(value);
    const double value_double = value_is_float ? PyFloat_AS_DOUBLE(value) : 0.0;
    if (value_is_float) {
        // Exact floats compare in C and run no Python code, so the items stay
        // where they are; the steps choose without a branch, which a random
        // value would mispredict at every probe. The first item of another
        // type hands the search to the loop below, where it stands.
        PyObject* const* items = is_list ? &PyList_GET_ITEM(sequence, 0)
                                         : &PyTuple_GET_ITEM(sequence, 0);
        while (lo < hi) {
            const Py_ssize_t mid =
                static_cast<Py_ssize_t>((static_cast<std::size_t>(lo) + hi) / 2);
            PyObject* item = items[mid];
            if (!PyFloat_CheckExact(item)) {
                break;
            }
            const bool below = value_double < PyFloat_AS_DOUBLE(item);
            hi = below ? mid : hi;
            lo = below ? lo : mid + 1;
        }
    }
    while (lo < hi) {
        const Py_ssize_t mid =
            static_cast<Py_ssize_t>((static_cast<std::size_t>(lo) + hi) / 2);
        if (is_list && mid >= PyList_GET_SIZE(sequence)) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return -1;
        }
        PyObject* item = is_list ? PyList_GET_ITEM(sequence, mid)
                                 : PyTuple_GET_ITEM(sequence, mid);
        int below;
        if (value_is_float && PyFloat_CheckExact(item)) {
            below = value_double < PyFloat_AS_DOUBLE(item);
        }
        else {
            Ref bound = Ref::borrow(item);
            below = PyObject_RichCompareBool(value, bound.get(), Py_LT);
            if (below < 0) {
                return -1;
            }
        }
        if (below) {
            hi = mid;
        }
        else {
            lo = mid + 1;
        }
    }
    return lo;
}

PyObject* bucketize_value(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* value = args[1];
    if (value == Py_None) {
        return bucketize_none(self).release();
    }
    const int fast = fast_mode(globals);
    if (fast < 0) {
        return nullptr;
    }
    if (!fast) {
        const int number = is_number(globals, value);
        if (number < 0) {
            return nullptr;
        }
        if (!number) {
            Ref name = attr(self, names._name);
            return name ? raise_bad_attribute(globals, name.get(), value)
                        : nullptr;
        }
    }
    const Method entry = create_entry_method(self);
    if (!entry.callable) {
        return nullptr;
    }
    Ref module = lookup_global(globals, names.bisect);
    if (!module) {
        return nullptr;
    }
    Ref function = attr(module.get(), names.bisect);
    if (!function) {
        return nullptr;
    }
    Ref buckets = attr(self, names._buckets);
    if (!buckets) {
        return nullptr;
    }
    // The standard function's own steps, without its call, while the global
    // and its attribute are still what the module imported.
    if (fast_paths && module.get() == shared.bisect_module &&
        function.get() == shared.bisect_function &&
        (PyList_CheckExact(buckets.get()) || PyTuple_CheckExact(buckets.get()))) {
        const Py_ssize_t index = bisect_inline(buckets.get(), value);
        if (index < 0) {
            return nullptr;
        }
        return create_entry_at(entry, self, index).release();
    }
    Ref index = call(function.get(), buckets.get(), value);
    if (!index) {
        return nullptr;
    }
    return create_entry(entry, self, index.get()).release();
}

const MethodSpec methods[] = {
    {"__init__", init,
     {{"self", Default::Required},
      {"name", Default::Required},
      {"extractor", Default::Required},
      {"buckets", Default::Required},
      {"has_none", Default::True}}},
    {"__str__", str, {{"self", Default::Required}}, true},
    {"write_to_proto", write_to_proto,
     {{"self", Default::Required}, {"proto", Default::Required}}},
    {"get_bucket_label", get_bucket_label,
     {{"self", Default::Required}, {"index", Default::Required}}},
    {"_bucketize_value", bucketize_value,
     {{"self", Default::Required}, {"value", Default::Required}}},
};

}  // namespace

int compare_with_len(PyObject* self, PyObject* index, int op)
{
    Ref length = attr(self, names._len);
    if (!length) {
        return -1;
    }
    return PyObject_RichCompareBool(index, length.get(), op);
}

Ref create_range_bucket_class(PyObject* globals)
{
    Ref base = lookup_global(globals, names.BaseBucket);
    if (!base) {
        return base;
    }
    return make_class(globals, "Bucket", base.get(), nullptr, methods,
                      sizeof(methods) / sizeof(methods[0]));
}

}  // namespace bucket
