// SimpleCategoricalBucket: a value, or each value of a list or tuple, mapped
// to the id of a fixed category (-1 for other); nothing is counted.
#include <utility>

#include "base_bucket.h"
#include "kinds.h"
#include "module.h"

namespace bucket {
namespace {

// The ids of one value, gathered as a Python set of them would be. Ids that
// are exact ints within a long long are kept in small arrays in the order
// they came; the first other id, or one too many, moves them into a real set
// in that order, so that the set and its sorting see what Python code would.
class IdSet {
public:
    // set.add(id); 0 or -1.
    int add(Ref id)
    {
        if (set_) {
            return PySet_Add(set_.get(), id.get());
        }
        if (PyLong_CheckExact(id.get())) {
            int overflow = 0;
            const long long value = PyLong_AsLongLongAndOverflow(id.get(), &overflow);
            if (value == -1 && PyErr_Occurred()) {
                return -1;
            }
            if (!overflow) {
                for (int i = 0; i < size_; i++) {
                    if (values_[i] == value) {
                        return 0;
                    }
                }
                if (size_ < CAPACITY) {
                    values_[size_] = value;
                    objects_[size_] = std::move(id);
                    size_++;
                    return 0;
                }
            }
        }
        set_ = Ref::steal(PySet_New(nullptr));
        if (!set_) {
            return -1;
        }
        // Adding ints runs no Python code, so the set is as it would be.
        for (int i = 0; i < size_; i++) {
            if (PySet_Add(set_.get(), objects_[i].get()) < 0) {
                return -1;
            }
        }
        return PySet_Add(set_.get(), id.get());
    }

    // sorted(ids): a new list.
    Ref sorted()
    {
        if (set_) {
            Ref list = Ref::steal(PySequence_List(set_.get()));
            if (!list || PyList_Sort(list.get()) < 0) {
                return Ref();
            }
            return list;
        }
        for (int i = 1; i < size_; i++) {
            for (int j = i; j > 0 && values_[j - 1] > values_[j]; j--) {
                std::swap(values_[j - 1], values_[j]);
                std::swap(objects_[j - 1], objects_[j]);
            }
        }
        Ref list = Ref::steal(PyList_New(size_));
        if (!list) {
            return list;
        }
        for (int i = 0; i < size_; i++) {
            PyList_SET_ITEM(list.get(), i, objects_[i].release());
        }
        return list;
    }

private:
    static constexpr int CAPACITY = 32;
    long long values_[CAPACITY];
    Ref objects_[CAPACITY];
    int size_ = 0;
    Ref set_;
};

PyObject* init(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* categories = args[3];
    if (init_base(globals, names.SimpleCategoricalBucket, self, args[1],
                  args[2], shared.one) < 0) {
        return nullptr;
    }
    const Py_ssize_t n = PyObject_Length(categories);
    if (n < 0) {
        return nullptr;
    }
    Ref map = Ref::steal(PyDict_New());
    if (!map) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        Ref position = Ref::steal(PyLong_FromSsize_t(i));
        if (!position) {
            return nullptr;
        }
        Ref category = Ref::steal(PyObject_GetItem(categories, position.get()));
        if (!category ||
            PyDict_SetItem(map.get(), category.get(), position.get()) < 0) {
            return nullptr;
        }
    }
    if (set_attr(self, names._category_value_map, map.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// self._category_value_map.get(key), the map read afresh.
Ref lookup(PyObject* self, PyObject* key)
{
    Ref map = attr(self, names._category_value_map);
    if (!map) {
        return map;
    }
    if (PyDict_CheckExact(map.get())) {
        // An exact dict's get cannot be replaced: this is its own lookup.
        PyObject* found = PyDict_GetItemWithError(map.get(), key);
        if (found == nullptr) {
            return PyErr_Occurred() ? Ref() : Ref::borrow(Py_None);
        }
        return Ref::borrow(found);
    }
    return call_method(map.get(), names.get, key);
}

// id == None by the interpreter's ==, whose own answer for None and for an
// exact int is known: 1, 0 or -1.
int equals_none(PyObject* id)
{
    if (id == Py_None) {
        return 1;
    }
    if (PyLong_CheckExact(id)) {
        return 0;
    }
    Ref result = Ref::steal(PyObject_RichCompare(id, Py_None, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// Adds the id of key, -1 for other; 0 or -1.
int add_id_of(PyObject* self, PyObject* key, IdSet& ids)
{
    Ref id = lookup(self, key);
    if (!id) {
        return -1;
    }
    const int other = equals_none(id.get());
    if (other < 0) {
        return -1;
    }
    return ids.add(other ? Ref::borrow(shared.minus_one) : std::move(id));
}

// Adds the ids of the entries of value, an empty one standing for [None].
int add_ids_of_entries(PyObject* self, PyObject* value, IdSet& ids)
{
    const Py_ssize_t length = PyObject_Length(value);
    if (length < 0) {
        return -1;
    }
    if (length == 0) {
        return add_id_of(self, Py_None, ids);
    }
    if (PyList_CheckExact(value)) {
        // As the list's own iterator does: a lookup can run code that
        // changes the list, so its size is read again for each entry.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); i++) {
            Ref entry = Ref::borrow(PyList_GET_ITEM(value, i));
            if (add_id_of(self, entry.get(), ids) < 0) {
                return -1;
            }
        }
        return 0;
    }
    if (PyTuple_CheckExact(value)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); i++) {
            if (add_id_of(self, PyTuple_GET_ITEM(value, i), ids) < 0) {
                return -1;
            }
        }
        return 0;
    }
    // A type whose metaclass makes it equal to list or tuple.
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) {
        return -1;
    }
    while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
        if (add_id_of(self, entry.get(), ids) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

// type == cls by the interpreter's ==: 1, 0 or -1. The == of type itself,
// and of a metaclass that does not define its own, is identity.
int type_equals(PyTypeObject* type, PyTypeObject* cls)
{
    if (Py_TYPE(type)->tp_richcompare == PyType_Type.tp_richcompare) {
        return type == cls;
    }
    Ref held = Ref::borrow(reinterpret_cast<PyObject*>(type));
    Ref result = Ref::steal(PyObject_RichCompare(
        held.get(), reinterpret_cast<PyObject*>(cls), Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

PyObject* bucketize_value(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* value = args[1];
    IdSet ids;
    int listed = type_equals(Py_TYPE(value), &PyList_Type);
    if (listed == 0) {
        listed = type_equals(Py_TYPE(value), &PyTuple_Type);
    }
    if (listed < 0) {
        return nullptr;
    }
    if (listed) {
        if (add_ids_of_entries(self, value, ids) < 0) {
            return nullptr;
        }
    }
    else if (Py_TYPE(value) == &PyDict_Type) {
        if (ids.add(Ref::borrow(shared.minus_one)) < 0) {
            return nullptr;
        }
    }
    else if (add_id_of(self, value, ids) < 0) {
        return nullptr;
    }
    return ids.sorted().release();
}

// This kind counts nothing and has no labels: its summary names the field
// and the number of distinct categories it maps.
PyObject* get_distro(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    Ref extractor = attr(self, names._extractor);
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
    Ref map = attr(self, names._category_value_map);
    if (!map) {
        return nullptr;
    }
    const Py_ssize_t size = PyObject_Length(map.get());
    if (size < 0) {
        return nullptr;
    }
    Ref count = Ref::steal(PyLong_FromSsize_t(size));
    if (!count) {
        return nullptr;
    }
    Ref tail = format(", %d categories)", count.get());
    if (!tail) {
        return nullptr;
    }
    return add(text.get(), tail.get()).release();
}

const MethodSpec methods[] = {
    {"__init__", init,
     {{"self", Default::Required},
      {"name", Default::Required},
      {"extractor", Default::Required},
      {"categories", Default::Required}}},
    {"_bucketize_value", bucketize_value,
     {{"self", Default::Required}, {"value", Default::Required}}},
    {"get_distro", get_distro, {{"self", Default::Required}}, true},
};

const char doc[] =
    " Bucketer that returns the integer id of a category, or other (-1) if "
    "the category is unknown.\n\n\tNone can be in the list of categories, or "
    "handled as an other.\n\t";

}  // namespace

Ref create_simple_categorical_bucket_class(PyObject* globals)
{
    Ref base = lookup_global(globals, names.BaseBucket);
    if (!base) {
        return base;
    }
    return make_class(globals, "SimpleCategoricalBucket", base.get(), doc,
                      methods, sizeof(methods) / sizeof(methods[0]));
}

}  // namespace bucket
