// CategoricalBucket: categories learned from the most common values, each
// value returned as its category index and counted in its own slot.
//
// Slots of _distro: 0 for None, 1 for unknown values, k + 2 for category k.
#include <initializer_list>
#include <utility>

#include "base_bucket.h"
#include "kinds.h"
#include "module.h"
#include "reports.h"

namespace bucket {
namespace {

const char DOC[] =
    "\n\tTurns distinct valued inputs into categories.  Values are determined "
    "by \n\tselecting most common values from DB.  Nulls are their own "
    "category as are unknown values\n\tmin_fraction- determines the minimum % "
    "of data with a given value for that value to be\n\tincluded as a "
    "distinct category.\n\t";

constexpr Py_ssize_t NONE_SLOT = 0;
constexpr Py_ssize_t UNKNOWN_SLOT = 1;
constexpr Py_ssize_t FIRST_CATEGORY_SLOT = 2;

// Made once with the class; the module lives in one interpreter only.
struct Locals {
    PyObject* shown_share;       // 0.009, the smallest share get_distro shows
    PyObject* by_count;          // operator.itemgetter("count")
    PyObject* by_index;          // operator.itemgetter(1)
};

Locals locals;

// A new list of n int zeros.
Ref zeros(Py_ssize_t n)
{
    Ref list = Ref::steal(PyList_New(n));
    if (!list) {
        return list;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_INCREF(shared.zero);
        PyList_SET_ITEM(list.get(), i, shared.zero);
    }
    return list;
}

// self._distro[slot] += 1, as Python reads and writes it.
int bump_at(PyObject* self, Py_ssize_t slot)
{
    Ref distro, old;
    return add_one_to_distro(self, nullptr, slot, distro, old);
}

// Counts a category by its index, in slot index + 2. An index that is not
// a small int is added to anew for the store, as Python does.
int bump_category(PyObject* self, PyObject* index)
{
    if (PyLong_CheckExact(index)) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(index, &overflow);
        if (i == -1 && PyErr_Occurred()) {
            return -1;
        }
        if (overflow == 0 && i >= -FIRST_CATEGORY_SLOT &&
            i <= PY_SSIZE_T_MAX - FIRST_CATEGORY_SLOT) {
            return bump_at(self, static_cast<Py_ssize_t>(i) + FIRST_CATEGORY_SLOT);
        }
    }
    Ref loaded = attr(self, names._distro);
    if (!loaded) {
        return -1;
    }
    Ref slot = add(index, shared.two);
    if (!slot) {
        return -1;
    }
    Ref count = Ref::steal(PyObject_GetItem(loaded.get(), slot.get()));
    if (!count) {
        return -1;
    }
    Ref raised = plus_one(count.get());
    if (!raised) {
        return -1;
    }
    Ref distro = attr(self, names._distro);
    if (!distro) {
        return -1;
    }
    Ref store_slot = add(index, shared.two);
    return store_slot ? PyObject_SetItem(distro.get(), store_slot.get(), raised.get())
                      : -1;
}

// A new list of the items of iterable, sorted in place with key and the
// given order; list.sort is stable in both orders.
Ref sorted_by(PyObject* iterable, PyObject* key, bool descending)
{
    Ref list = Ref::steal(PySequence_List(iterable));
    if (!list) {
        return list;
    }
    Ref sort = attr(list.get(), names.sort);
    if (!sort) {
        return sort;
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) {
        return no_args;
    }
    Ref options = Ref::steal(PyDict_New());
    if (!options || PyDict_SetItem(options.get(), names.key, key) < 0 ||
        PyDict_SetItem(options.get(), names.reverse,
                       descending ? Py_True : Py_False) < 0) {
        return Ref();
    }
    Ref done = Ref::steal(PyObject_Call(sort.get(), no_args.get(), options.get()));
    return done ? std::move(list) : Ref();
}

PyObject* init(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    if (init_base(globals, names.CategoricalBucket, self, args[1], args[2],
                  shared.one) < 0 ||
        set_attr(self, names._min_fraction, args[3]) < 0 ||
        set_attr(self, names._category_dict, args[4]) < 0 ||
        set_attr(self, names._none_value, args[5]) < 0) {
        return nullptr;
    }
    Ref categories = attr(self, names._category_dict);
    if (!categories) {
        return nullptr;
    }
    const int laid_out = PyObject_IsTrue(categories.get());
    if (laid_out < 0) {
        return nullptr;
    }
    if (laid_out) {
        Ref again = attr(self, names._category_dict);
        if (!again) {
            return nullptr;
        }
        const Py_ssize_t n = PyObject_Length(again.get());
        if (n < 0) {
            return nullptr;
        }
        Ref distro = zeros(n + FIRST_CATEGORY_SLOT);
        if (!distro || set_attr(self, names._distro, distro.get()) < 0) {
            return nullptr;
        }
    }
    return none();
}

// Builds the new map in full before it replaces anything, so that a list
// the map cannot be learned from (counts that sum to zero, a mapping without
// its keys) leaves the bucket as it was. A name listed again keeps the index
// of its first qualifying entry: the indexes stay 0 .. n-1, each used once.
PyObject* set_categories(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* values = args[1];
    Ref categories = Ref::steal(PyDict_New());
    if (!categories) {
        return nullptr;
    }
    Ref total = Ref::borrow(shared.float_zero);
    Ref items = Ref::steal(PyObject_GetIter(values));
    if (!items) {
        return nullptr;
    }
    while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
        Ref count = Ref::steal(PyObject_GetItem(item.get(), names.count));
        if (!count) {
            return nullptr;
        }
        total = add(total.get(), count.get());
        if (!total) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    items = Ref::steal(PyObject_GetIter(values));
    if (!items) {
        return nullptr;
    }
    while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
        Ref count = Ref::steal(PyObject_GetItem(item.get(), names.count));
        if (!count) {
            return nullptr;
        }
        Ref share = Ref::steal(PyNumber_TrueDivide(count.get(), total.get()));
        if (!share) {
            return nullptr;
        }
        Ref threshold = attr(self, names._min_fraction);
        if (!threshold) {
            return nullptr;
        }
        const int qualifies =
            PyObject_RichCompareBool(share.get(), threshold.get(), Py_GT);
        if (qualifies < 0) {
            return nullptr;
        }
        if (!qualifies) {
            continue;
        }
        Ref name = Ref::steal(PyObject_GetItem(item.get(), names.name));
        if (!name) {
            return nullptr;
        }
        const int known = PyDict_Contains(categories.get(), name.get());
        if (known < 0) {
            return nullptr;
        }
        if (known) {
            continue;
        }
        Ref index = Ref::steal(PyLong_FromSsize_t(PyDict_GET_SIZE(categories.get())));
        if (!index ||
            PyDict_SetItem(categories.get(), name.get(), index.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    const Py_ssize_t slots = PyDict_GET_SIZE(categories.get()) + FIRST_CATEGORY_SLOT;
    Ref distro = zeros(slots);
    if (!distro || set_attr(self, names._category_dict, categories.get()) < 0 ||
        set_attr(self, names._distro, distro.get()) < 0) {
        return nullptr;
    }
    Ref by_count = sorted_by(values, locals.by_count, true);
    if (!by_count) {
        return nullptr;
    }
    Ref top = Ref::steal(
        PyList_GetSlice(by_count.get(), 0, slots < 10 ? slots : 10));
    if (!top) {
        return nullptr;
    }
    // Grown by appending: each ["name"] runs Python code, which can reach
    // the list through the garbage collector and must never see it unfilled.
    Ref shown_names = Ref::steal(PyList_New(0));
    if (!shown_names) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(top.get()); i++) {
        Ref item = Ref::borrow(PyList_GET_ITEM(top.get(), i));
        Ref name = Ref::steal(PyObject_GetItem(item.get(), names.name));
        if (!name || PyList_Append(shown_names.get(), name.get()) < 0) {
            return nullptr;
        }
    }
    Ref bucket_name = attr(self, names._name);
    if (!bucket_name) {
        return nullptr;
    }
    Ref line = format("categories for %s: %s", bucket_name.get(),
                      shown_names.get());
    if (!line || print_line(globals, line.get()) < 0) {
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
    Ref extractor = attr(self, names._extractor);
    if (!extractor) {
        return nullptr;
    }
    Ref field = attr(extractor.get(), names._field_name);
    if (!field) {
        return nullptr;
    }
    return format("%s: extractor=%s", name.get(), field.get()).release();
}

// The sum of _distro, started from start.
Ref distro_sum(PyObject* self, PyObject* start)
{
    Ref distro = attr(self, names._distro);
    if (!distro) {
        return distro;
    }
    Ref items = Ref::steal(PyObject_GetIter(distro.get()));
    if (!items) {
        return items;
    }
    Ref total = Ref::borrow(start);
    while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
        total = add(total.get(), item.get());
        if (!total) {
            return total;
        }
    }
    return PyErr_Occurred() ? Ref() : std::move(total);
}

// Whether total is zero, where nothing was counted: 1, 0 or -1.
int is_zero(PyObject* total)
{
    return PyObject_RichCompareBool(total, shared.zero, Py_EQ);
}

// Appends float(_distro[slot]) / total to bucket_fraction; 0.0 while
// nothing was counted.
int append_share(PyObject* self, PyObject* proto, PyObject* slot,
                 PyObject* total, bool nothing_counted)
{
    Ref share = Ref::borrow(shared.float_zero);
    if (!nothing_counted) {
        Ref distro = attr(self, names._distro);
        if (!distro) {
            return -1;
        }
        Ref count = Ref::steal(PyObject_GetItem(distro.get(), slot));
        if (!count) {
            return -1;
        }
        Ref as_float = Ref::steal(PyNumber_Float(count.get()));
        if (!as_float) {
            return -1;
        }
        share = Ref::steal(PyNumber_TrueDivide(as_float.get(), total));
        if (!share) {
            return -1;
        }
    }
    Ref fractions = attr(proto, names.bucket_fraction);
    if (!fractions) {
        return -1;
    }
    return call_method(fractions.get(), names.append, share.get()) ? 0 : -1;
}

// The repeated field a category value is written to, chosen by its type.
PyObject* value_field(PyObject* value, int* failed)
{
    *failed = 0;
    int is = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (is != 0) {
        *failed = is < 0;
        return names.string_buckets;
    }
    is = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyFloat_Type));
    if (is != 0) {
        *failed = is < 0;
        return names.float_buckets;
    }
    return names.int_buckets;
}

PyObject* write_to_proto(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* proto = args[1];
    if (!call_super(globals, names.CategoricalBucket, self, names.write_to_proto,
                    proto)) {
        return nullptr;
    }
    if (set_bucket_type(globals, proto, names.CATEGORY) < 0) {
        return nullptr;
    }
    Ref categories = attr(self, names._category_dict);
    if (!categories) {
        return nullptr;
    }
    Ref pairs_view = call_method(categories.get(), names.items);
    if (!pairs_view) {
        return nullptr;
    }
    Ref pairs = sorted_by(pairs_view.get(), locals.by_index, false);
    if (!pairs) {
        return nullptr;
    }
    Ref total = distro_sum(self, shared.float_zero);
    if (!total) {
        return nullptr;
    }
    const int nothing_counted = is_zero(total.get());
    if (nothing_counted < 0) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); i++) {
        Ref pair = Ref::borrow(PyList_GET_ITEM(pairs.get(), i));
        Ref value = Ref::steal(PySequence_GetItem(pair.get(), 0));
        if (!value) {
            return nullptr;
        }
        int failed = 0;
        PyObject* field_name = value_field(value.get(), &failed);
        if (failed) {
            return nullptr;
        }
        Ref field = attr(proto, field_name);
        if (!field || !call_method(field.get(), names.append, value.get())) {
            return nullptr;
        }
        Ref slot = Ref::steal(PyLong_FromSsize_t(i + FIRST_CATEGORY_SLOT));
        if (!slot ||
            append_share(self, proto, slot.get(), total.get(), nothing_counted) < 0) {
            return nullptr;
        }
    }
    for (const Py_ssize_t i : {NONE_SLOT, UNKNOWN_SLOT}) {
        Ref slot = Ref::steal(PyLong_FromSsize_t(i));
        if (!slot ||
            append_share(self, proto, slot.get(), total.get(), nothing_counted) < 0) {
            return nullptr;
        }
    }
    Ref none_index = attr(self, names._none_value);
    if (!none_index) {
        return nullptr;
    }
    if (none_index.get() != Py_None &&
        set_attr(proto, names.none_value, none_index.get()) < 0) {
        return nullptr;
    }
    return none();
}

// Raises BadAttributeError(self._name, value); always -1.
int bad_attribute(PyObject* globals, PyObject* self, PyObject* value)
{
    Ref name = attr(self, names._name);
    if (name) {
        raise_bad_attribute(globals, name.get(), value);
    }
    return -1;
}

// Raises BadAttributeError(self._name, value) when the extractor's type
// does not admit value; 0, or -1 with the error set.
int check_type(PyObject* globals, PyObject* self, PyObject* value)
{
    Ref extractor = attr(self, names._extractor);
    if (!extractor) {
        return -1;
    }
    Ref type = call_method(extractor.get(), names.data_type_string);
    if (!type) {
        return -1;
    }
    int matches = PyObject_RichCompareBool(type.get(), names.STRING, Py_EQ);
    if (matches < 0) {
        return -1;
    }
    if (matches) {
        const int is_str = PyObject_IsInstance(
            value, reinterpret_cast<PyObject*>(&PyUnicode_Type));
        if (is_str <= 0) {
            return is_str < 0 ? -1 : bad_attribute(globals, self, value);
        }
    }
    extractor = attr(self, names._extractor);
    if (!extractor) {
        return -1;
    }
    type = call_method(extractor.get(), names.data_type_string);
    if (!type) {
        return -1;
    }
    matches = PyObject_RichCompareBool(type.get(), names.FLOAT, Py_EQ);
    if (matches < 0) {
        return -1;
    }
    if (matches) {
        const int number = is_number(globals, value);
        if (number <= 0) {
            return number < 0 ? -1 : bad_attribute(globals, self, value);
        }
    }
    return 0;
}

// value != None by the interpreter's !=, whose answer for None and for the
// exact types that compare only with their own kind is known: 1, 0 or -1.
int differs_from_none(PyObject* value)
{
    if (value == Py_None) {
        return 0;
    }
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type || type == &PyLong_Type ||
        type == &PyFloat_Type || type == &PyBool_Type) {
        return 1;
    }
    return PyObject_RichCompareBool(value, Py_None, Py_NE);
}

PyObject* bucketize_value(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* value = args[1];
    const int fast = fast_mode(globals);
    if (fast < 0) {
        return nullptr;
    }
    if (!fast) {
        const int present = differs_from_none(value);
        if (present < 0 || (present && check_type(globals, self, value) < 0)) {
            return nullptr;
        }
    }
    Ref index;
    if (value == Py_None) {
        if (bump_at(self, NONE_SLOT) < 0) {
            return nullptr;
        }
        index = attr(self, names._none_value);
        if (!index) {
            return nullptr;
        }
    }
    else {
        Ref categories = attr(self, names._category_dict);
        if (!categories) {
            return nullptr;
        }
        const int known = contains(categories.get(), value);
        if (known < 0) {
            return nullptr;
        }
        if (known) {
            // Read again for the item, as `self._category_dict[value]` is.
            categories = attr(self, names._category_dict);
            index = categories ? item(categories.get(), value) : Ref();
            if (!index || bump_category(self, index.get()) < 0) {
                return nullptr;
            }
        }
        else {
            if (bump_at(self, UNKNOWN_SLOT) < 0) {
                return nullptr;
            }
            index = Ref::borrow(shared.minus_one);
        }
    }
    PyObject* result = PyList_New(1);
    if (result != nullptr) {
        PyList_SET_ITEM(result, 0, index.release());
    }
    return result;
}

// With nothing counted there are no shares to show: "([])".
PyObject* get_distro(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    Ref count = distro_sum(self, shared.zero);
    if (!count) {
        return nullptr;
    }
    const int nothing_counted = is_zero(count.get());
    if (nothing_counted < 0) {
        return nullptr;
    }
    Ref shares = Ref::steal(PyList_New(0));
    if (!shares) {
        return nullptr;
    }
    if (!nothing_counted) {
        Ref distro = attr(self, names._distro);
        if (!distro) {
            return nullptr;
        }
        Ref items = Ref::steal(PyObject_GetIter(distro.get()));
        if (!items) {
            return nullptr;
        }
        while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
            Ref as_float = Ref::steal(PyNumber_Float(item.get()));
            if (!as_float) {
                return nullptr;
            }
            Ref share = Ref::steal(PyNumber_TrueDivide(as_float.get(), count.get()));
            if (!share) {
                return nullptr;
            }
            const int shown =
                PyObject_RichCompareBool(share.get(), locals.shown_share, Py_GT);
            if (shown < 0) {
                return nullptr;
            }
            if (!shown) {
                continue;
            }
            Ref scaled = Ref::steal(PyNumber_Multiply(item.get(), shared.hundred));
            if (!scaled) {
                return nullptr;
            }
            Ref percent = Ref::steal(PyNumber_TrueDivide(scaled.get(), count.get()));
            if (!percent || PyList_Append(shares.get(), percent.get()) < 0) {
                return nullptr;
            }
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    return format("(%s)", shares.get()).release();
}

const MethodSpec methods[] = {
    {"__init__", init,
     {{"self", Default::Required},
      {"name", Default::Required},
      {"extractor", Default::Required},
      {"min_fraction", Default::Required},
      {"category_dict", Default::None},
      {"none_value", Default::None}}},
    {"set_categories", set_categories,
     {{"self", Default::Required}, {"values", Default::Required}}},
    {"__str__", str, {{"self", Default::Required}}, true},
    {"write_to_proto", write_to_proto,
     {{"self", Default::Required}, {"proto", Default::Required}}},
    {"_bucketize_value", bucketize_value,
     {{"self", Default::Required}, {"value", Default::Required}}},
    {"get_distro", get_distro, {{"self", Default::Required}}, true},
};

Ref item_getter(PyObject* key)
{
    Ref operator_module = Ref::steal(PyImport_ImportModule("operator"));
    if (!operator_module) {
        return operator_module;
    }
    Ref getter_class = Ref::steal(PyObject_GetAttrString(operator_module.get(), "itemgetter"));
    if (!getter_class) {
        return getter_class;
    }
    return call(getter_class.get(), key);
}

int make_locals()
{
    if (keep(&locals.shown_share, PyFloat_FromDouble(0.009)) < 0 ||
        keep(&locals.by_count, item_getter(names.count).release()) < 0 ||
        keep(&locals.by_index, item_getter(shared.one).release()) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace

Ref create_categorical_bucket_class(PyObject* globals)
{
    if (make_locals() < 0) {
        return Ref();
    }
    Ref base = lookup_global(globals, names.BaseBucket);
    if (!base) {
        return base;
    }
    return make_class(globals, "CategoricalBucket", base.get(), DOC, methods,
                      sizeof(methods) / sizeof(methods[0]));
}

}  // namespace bucket
