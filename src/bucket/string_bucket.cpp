// StringBucket: one index per value of a fixed list, one shared by every
// other value ("Unknown") and one kept for None.
#include "base_bucket.h"
#include "kinds.h"
#include "module.h"
#include "reports.h"

namespace bucket {
namespace {

PyObject* init(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    if (!call_super(globals, names.StringBucket, self, names.__init__, args[1],
                    args[2], args[3], args[4])) {
        return nullptr;
    }
    Ref map = Ref::steal(PyDict_New());
    if (!map || set_attr(self, names._bucket_map, map.get()) < 0) {
        return nullptr;
    }
    // range(self._len): the count is read once.
    Ref length = attr(self, names._len);
    if (!length) {
        return nullptr;
    }
    Ref count = Ref::steal(PyNumber_Index(length.get()));
    if (!count) {
        return nullptr;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(count.get());
    if (n == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        Ref position = Ref::steal(PyLong_FromSsize_t(i));
        if (!position) {
            return nullptr;
        }
        Ref buckets = attr(self, names._buckets);
        if (!buckets) {
            return nullptr;
        }
        Ref value = Ref::steal(PyObject_GetItem(buckets.get(), position.get()));
        if (!value) {
            return nullptr;
        }
        Ref current = attr(self, names._bucket_map);
        if (!current ||
            PyObject_SetItem(current.get(), value.get(), position.get()) < 0) {
            return nullptr;
        }
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
    if (set_bucket_type(globals, proto, names.STRING) < 0) {
        return nullptr;
    }
    Ref has_none = attr(self, names._has_none);
    if (!has_none || set_attr(proto, names.has_null, has_none.get()) < 0) {
        return nullptr;
    }
    Ref buckets = attr(self, names._buckets);
    if (!buckets) {
        return nullptr;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(buckets.get()));
    if (!iterator) {
        return nullptr;
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref repeated = attr(proto, names.string_buckets);
        if (!repeated || !call_method(repeated.get(), names.append, item.get())) {
            return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : none();
}

PyObject* get_bucket_label(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* index = args[1];
    const int listed = compare_with_len(self, index, Py_LT);
    if (listed < 0) {
        return nullptr;
    }
    if (listed) {
        Ref buckets = attr(self, names._buckets);
        if (!buckets) {
            return nullptr;
        }
        return PyObject_GetItem(buckets.get(), index);
    }
    const int unknown = compare_with_len(self, index, Py_EQ);
    if (unknown < 0) {
        return nullptr;
    }
    return PyUnicode_FromString(unknown ? "Unknown" : "None");
}

// Counts the index the stored mapping gives, or the index after the list.
Ref entry_for(PyObject* self, PyObject* index)
{
    const Method entry = create_entry_method(self);
    if (!entry.callable) {
        return Ref();
    }
    if (PyLong_CheckExact(index)) {
        const Py_ssize_t at = PyLong_AsSsize_t(index);
        if (at != -1 || !PyErr_Occurred()) {
            return create_entry_at(entry, self, at);
        }
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return Ref();
        }
        PyErr_Clear();
    }
    return create_entry(entry, self, index);
}

PyObject* bucketize_value(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* value = args[1];
    Ref map = attr(self, names._bucket_map);
    if (!map) {
        return nullptr;
    }
    // `self._bucket_map[value] if value in self._bucket_map else self._len`:
    // the map is read again for the item, as that expression does.
    const int found = contains(map.get(), value);
    if (found < 0) {
        return nullptr;
    }
    Ref index;
    if (found) {
        Ref again = attr(self, names._bucket_map);
        if (!again) {
            return nullptr;
        }
        index = item(again.get(), value);
        if (!index) {
            return nullptr;
        }
    }
    if (!index) {
        index = attr(self, names._len);
        if (!index) {
            return nullptr;
        }
    }
    return entry_for(self, index.get()).release();
}

const MethodSpec methods[] = {
    {"__init__", init,
     {{"self", Default::Required},
      {"name", Default::Required},
      {"extractor", Default::Required},
      {"buckets", Default::Required},
      {"has_none", Default::True}}},
    {"write_to_proto", write_to_proto,
     {{"self", Default::Required}, {"proto", Default::Required}}},
    {"get_bucket_label", get_bucket_label,
     {{"self", Default::Required}, {"index", Default::Required}}},
    {"_bucketize_value", bucketize_value,
     {{"self", Default::Required}, {"value", Default::Required}}},
};

}  // namespace

Ref create_string_bucket_class(PyObject* globals)
{
    Ref base = lookup_global(globals, names.Bucket);
    if (!base) {
        return base;
    }
    return make_class(globals, "StringBucket", base.get(), nullptr, methods,
                      sizeof(methods) / sizeof(methods[0]));
}

}  // namespace bucket
