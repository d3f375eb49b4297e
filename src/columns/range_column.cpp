// Bucket's column loop: each number's range among the boundaries, as the
// standard bisect finds it with Python's exact comparisons.
#include <cmath>

#include "lookup.h"
#include "loops.h"

namespace columns {
namespace {

using bucket::names;

// Below this many sorted boundaries a count of them beats the bisection.
constexpr Py_ssize_t MOST_COUNTED = 32;
// Every int of at most this size is exactly a double.
constexpr int64_t EXACT_INTS = int64_t{1} << 53;

// Python's x < b for a float x and an int b: x < b exactly when floor(x) < b.
bool float_below_int(double x, int64_t b)
{
    if (std::isnan(x) || x >= 0x1p63) {
        return false;
    }
    return x < -0x1p63 || static_cast<int64_t>(std::floor(x)) < b;
}

// Python's i < b for an int i and a float b: i < b exactly when i < ceil(b).
bool int_below_float(int64_t i, double b)
{
    if (std::isnan(b) || b < -0x1p63) {
        return false;
    }
    return b >= 0x1p63 || i < static_cast<int64_t>(std::ceil(b));
}

// bisect's steps over the boundaries, with below(j) for value < bound j.
template <typename Below>
Py_ssize_t bisect_steps(Py_ssize_t n, Below below)
{
    Py_ssize_t lo = 0;
    Py_ssize_t hi = n;
    while (lo < hi) {
        const Py_ssize_t mid = static_cast<Py_ssize_t>((static_cast<std::size_t>(lo) + hi) / 2);
        const bool is_below = below(mid);
        hi = is_below ? mid : hi;
        lo = is_below ? lo : mid + 1;
    }
    return lo;
}

Py_ssize_t index_of_double(const Plan& p, double x)
{
    const double* numbers = p.numbers;
    if (p.sorted && p.bound_count <= MOST_COUNTED) {
        Py_ssize_t count = 0;
        for (Py_ssize_t j = 0; j < p.bound_count; j++) {
            count += !(x < numbers[j]);
        }
        return count;
    }
    return bisect_steps(p.bound_count, [&](Py_ssize_t j) { return x < numbers[j]; });
}

Py_ssize_t index_of(const Plan& p, const Value& v)
{
    switch (v.tag) {
    case Tag::None:
        return p.none_index;
    case Tag::Float:
        if (p.exact_doubles) {
            return index_of_double(p, v.number);
        }
        return bisect_steps(p.bound_count, [&](Py_ssize_t j) {
            const Plan::Bound& b = p.bounds[j];
            return b.is_int ? float_below_int(v.number, b.integer) : v.number < b.number;
        });
    case Tag::Int:
    case Tag::Bool:
        if (p.exact_doubles && v.integer >= -EXACT_INTS && v.integer <= EXACT_INTS) {
            return index_of_double(p, static_cast<double>(v.integer));
        }
        return bisect_steps(p.bound_count, [&](Py_ssize_t j) {
            const Plan::Bound& b = p.bounds[j];
            return b.is_int ? v.integer < b.integer : int_below_float(v.integer, b.number);
        });
    default:
        return -1;
    }
}

// The boundaries: an exact list or tuple of floats, bools and ints within
// int64. 1, 0 with the reason, -1.
int read_boundaries(Plan& p, PyObject* bucket, Reason& reason)
{
    PyObject* buckets = plain_attr(bucket, names._buckets, reason);
    if (buckets == nullptr) {
        return 0;
    }
    if (!PyList_CheckExact(buckets) && !PyTuple_CheckExact(buckets)) {
        return refuse(reason, "_buckets is not an exact list or tuple");
    }
    const Py_ssize_t n = Py_SIZE(buckets);
    PyObject* const* items = PyList_CheckExact(buckets) ? &PyList_GET_ITEM(buckets, 0)
                                                       : &PyTuple_GET_ITEM(buckets, 0);
    p.numbers = static_cast<double*>(PyMem_Malloc((n > 0 ? n : 1) * sizeof(double)));
    p.bounds = static_cast<Plan::Bound*>(PyMem_Malloc((n > 0 ? n : 1) * sizeof(Plan::Bound)));
    if (p.numbers == nullptr || p.bounds == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    p.bound_count = n;
    p.exact_doubles = true;
    p.sorted = true;
    for (Py_ssize_t j = 0; j < n; j++) {
        PyObject* item = items[j];
        Plan::Bound& b = p.bounds[j];
        if (PyFloat_CheckExact(item)) {
            b = {PyFloat_AS_DOUBLE(item), 0, false};
        }
        else if (PyLong_CheckExact(item) || PyBool_Check(item)) {
            int overflow = 0;
            const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
            if (overflow) {
                return refuse(reason, "_buckets holds an int beyond int64");
            }
            b = {static_cast<double>(value), value, true};
            p.exact_doubles = p.exact_doubles && value >= -EXACT_INTS && value <= EXACT_INTS;
        }
        else {
            return refuse(reason, "_buckets holds a %.100s", Py_TYPE(item)->tp_name);
        }
        p.numbers[j] = b.number;
        p.sorted = p.sorted && !std::isnan(b.number) && (j == 0 || p.numbers[j - 1] <= b.number);
    }
    p.sorted = p.sorted && p.exact_doubles;
    return 1;
}

int prepare(Plan& p, PyObject* bucket, const Column&, Reason& reason)
{
    int ok = fast_mode_off(reason);
    ok = ok > 0 ? number_in_c(reason) : ok;
    ok = ok > 0 ? own_bisect(reason) : ok;
    ok = ok > 0 ? prepare_entries(p, bucket, p.width, reason) : ok;
    ok = ok > 0 ? read_boundaries(p, bucket, reason) : ok;
    if (ok <= 0) {
        return ok;
    }
    PyObject* has_none = plain_attr(bucket, names._has_none, reason);
    const int with_none = has_none != nullptr ? plain_truth(has_none) : -1;
    if (with_none < 0) {
        return refuse(reason, "_has_none is not a plain bool");
    }
    p.none_index = 0;
    if (with_none) {
        // None's index is _len + 1; where _len is not plain, None takes the call.
        Reason ignored;
        PyObject* length = plain_attr(bucket, names._len, ignored);
        int overflow = 1;
        const long long n = length != nullptr && PyLong_CheckExact(length)
                                ? PyLong_AsLongLongAndOverflow(length, &overflow)
                                : 0;
        p.none_index = !overflow && n < PY_SSIZE_T_MAX && n > -PY_SSIZE_T_MAX ? static_cast<Py_ssize_t>(n + 1) : -1;
    }
    return 1;
}

struct Run {
    Plan& p;
    const Column& column;
    Out& out;
    Py_ssize_t from;
    template <Form F>
    Py_ssize_t run() const
    {
        const Py_ssize_t n = column.length();
        for (Py_ssize_t i = from; i < n; i++) {
            if (!entry(p, out, i, index_of(p, column.get<F>(i)))) {
                return i;
            }
        }
        return n;
    }
};

int run(Plan& p, const Column& column, Out& out, Py_ssize_t from, Py_ssize_t* stop)
{
    *stop = with_form(column.form(), Run{p, column, out, from});
    return 0;
}

}  // namespace

const KindLoop range_loop = {prepare, run};

}  // namespace columns
