// CategoricalBucket's column loop: each value's category index, counted in
// its slot (0 None, 1 unknown, index + 2).
#include <cmath>

#include "lookup.h"
#include "loops.h"

namespace columns {
namespace {

using bucket::names;

constexpr Py_ssize_t NONE_SLOT = 0;

// The type test that FAST_MODE off asks of data_type_string().
int read_type_test(Plan& p, PyObject* bucket, Reason& reason)
{
    PyObject* type = plain_data_type(bucket, reason);
    if (type == nullptr) {
        return 0;
    }
    if (PyUnicode_CompareWithASCIIString(type, "STRING") == 0) {
        p.type_test = Plan::TypeTest::Str;
    }
    else if (PyUnicode_CompareWithASCIIString(type, "FLOAT") == 0) {
        p.type_test = Plan::TypeTest::Number;
        return number_in_c(reason);
    }
    return 1;
}

// _none_value as out takes it; where it is not plain, None takes the call.
void read_none_value(Plan& p, PyObject* bucket)
{
    Reason ignored;
    PyObject* value = plain_attr(bucket, names._none_value, ignored);
    p.none_index = 0;
    if (value == Py_None) {
        p.none_result = std::nan("");
    }
    else if (value != nullptr && PyFloat_CheckExact(value)) {
        p.none_result = PyFloat_AS_DOUBLE(value);
    }
    else if (value != nullptr && (PyLong_CheckExact(value) || PyBool_Check(value))) {
        p.none_result = PyLong_AsDouble(value);
        if (p.none_result == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            p.none_index = -1;
        }
    }
    else {
        p.none_index = -1;
    }
}

int prepare(Plan& p, PyObject* bucket, const Column& column, Reason& reason)
{
    int ok = fast_mode_off(reason);
    ok = ok > 0 && plain_instance(bucket, reason) ? 1 : (ok < 0 ? -1 : 0);
    ok = ok > 0 ? read_type_test(p, bucket, reason) : ok;
    ok = ok > 0 ? p.counts.open(bucket, false, reason) : ok;
    ok = ok > 0 ? open_map(p, bucket, names._category_dict, column, reason) : ok;
    if (ok > 0) {
        read_none_value(p, bucket);
    }
    return ok;
}

// Whether v passes the type test without the per-value call (which raises).
bool passes(const Plan& p, Tag tag)
{
    switch (p.type_test) {
    case Plan::TypeTest::Str: return tag == Tag::Text || tag == Tag::Str;
    case Plan::TypeTest::Number: return tag == Tag::Float || tag == Tag::Int || tag == Tag::Bool;
    case Plan::TypeTest::None: break;
    }
    return tag != Tag::Object;
}

struct Run : TextOver<Run> {
    template <Form F, bool Nulls, bool AsciiShort>
    Py_ssize_t loop() const
    {
        const Py_ssize_t n = column.length();
        const Py_ssize_t slots = p.counts.size();
        for (Py_ssize_t i = from; i < n; i++) {
            const Value v = column.get<F, Nulls>(i);
            if (v.tag == Tag::None) {
                if (p.none_index < 0 || slots <= NONE_SLOT) {
                    return i;
                }
                p.counts.add(NONE_SLOT);
                out.matrix.write1(i, p.none_result);
                continue;
            }
            if (!passes(p, v.tag)) {
                return i;
            }
            // A value in no category has the index -1 and the unknown slot.
            const Entry found = map_entry<AsciiShort>(p, v);
            const int64_t index = found.state == Entry::Absent ? -1 : found.index;
            if (found.state > Entry::Index ||
                static_cast<uint64_t>(index) + 2 >= static_cast<uint64_t>(slots)) {
                return i;
            }
            p.counts.add(static_cast<Py_ssize_t>(index) + 2);
            out.matrix.write1(i, static_cast<double>(index));
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

const KindLoop categorical_loop = {prepare, run};

}  // namespace columns
