// SimpleCategoricalBucket's column loop: the sorted distinct ids of a value
// or of each entry of a list or tuple, -1 for other; nothing is counted.
#include "lookup.h"
#include "loops.h"

namespace columns {
namespace {

using bucket::names;

constexpr int MOST_IDS = 64;

int prepare(Plan& p, PyObject* bucket, const Column& column, Reason& reason)
{
    if (!plain_instance(bucket, reason)) {
        return 0;
    }
    return open_map(p, bucket, names._category_value_map, column, reason);
}

// The distinct ids of one value, kept sorted.
struct IdSet {
    int64_t ids[MOST_IDS];
    int size = 0;

    // false when full.
    bool add(int64_t id)
    {
        int at = size;
        while (at > 0 && ids[at - 1] > id) {
            at--;
        }
        if (at > 0 && ids[at - 1] == id) {
            return true;
        }
        if (size == MOST_IDS) {
            return false;
        }
        for (int j = size; j > at; j--) {
            ids[j] = ids[j - 1];
        }
        ids[at] = id;
        size++;
        return true;
    }
};

// Adds the id of one key. 1, 0 where the value takes the call, -1 on
// error.
// The id of an entry: its index, -1 for none or None; picked by a mask, as
// a branch on found and absent values would not be learnt.
inline int64_t id_of(const Entry& found)
{
    const int64_t index = -static_cast<int64_t>(found.state == Entry::Index);
    return (found.index & index) | ~index;
}

int add_id(Plan& p, const Value& key, IdSet& ids)
{
    const Entry found = map_entry(p, key);
    if (found.state == Entry::Other) {
        return PyErr_Occurred() ? -1 : 0;
    }
    return ids.add(id_of(found));
}

// The ids of an element. 1, 0 where it takes the call, -1 on error.
int ids_of(Plan& p, const Value& v, IdSet& ids)
{
    if (v.tag != Tag::Object) {
        return add_id(p, v, ids);
    }
    PyTypeObject* type = Py_TYPE(v.object);
    if (type == &PyDict_Type) {
        return ids.add(-1);
    }
    if (type != &PyList_Type && type != &PyTuple_Type) {
        return 0;
    }
    const Py_ssize_t n = Py_SIZE(v.object);
    if (n == 0) {
        return add_id(p, none_value(), ids);
    }
    PyObject* const* items = type == &PyList_Type ? &PyList_GET_ITEM(v.object, 0)
                                                  : &PyTuple_GET_ITEM(v.object, 0);
    for (Py_ssize_t j = 0; j < n; j++) {
        const Value key = object_value(items[j]);
        if (key.tag == Tag::Object) {
            return 0;
        }
        const int plain = add_id(p, key, ids);
        if (plain <= 0) {
            return plain;
        }
    }
    return 1;
}

struct Run : TextOver<Run> {
    template <Form F, bool Nulls, bool AsciiShort>
    Py_ssize_t loop() const
    {
        const Py_ssize_t n = column.length();
        for (Py_ssize_t i = from; i < n; i++) {
            const Value v = column.get<F, Nulls>(i);
            if (v.tag != Tag::Object) {
                // One id: no set to sort.
                const Entry found = map_entry<AsciiShort, true>(p, v);
                if (found.state == Entry::Other || !out.ids.room(1)) {
                    return i;
                }
                out.ids.append(id_of(found));
                out.ids.close(i);
                continue;
            }
            IdSet ids;
            if (ids_of(p, v, ids) <= 0) {
                return i;
            }
            if (!out.ids.room(ids.size)) {
                return i;
            }
            for (int j = 0; j < ids.size; j++) {
                out.ids.append(ids.ids[j]);
            }
            out.ids.close(i);
        }
        return n;
    }
};

int run(Plan& p, const Column& column, Out& out, Py_ssize_t from, Py_ssize_t* stop)
{
    *stop = run_over<Run>(p, column, out, from);
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

Py_ssize_t id_bound(const Column& column)
{
    const Py_ssize_t n = column.length();
    if (column.form() != Form::Objects) {
        return n;
    }
    Py_ssize_t bound = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        const Value v = column.get<Form::Objects>(i);
        const PyTypeObject* type = Py_TYPE(v.object);
        const Py_ssize_t size =
            type == &PyList_Type || type == &PyTuple_Type ? Py_SIZE(v.object) : 1;
        bound += size > 1 ? size : 1;
    }
    return bound;
}

const KindLoop simple_categorical_loop = {prepare, run};

}  // namespace columns
