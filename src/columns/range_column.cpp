// Bucket's column loop: each number's range among the boundaries, as the
// standard bisect finds it with Python's exact comparisons.
#include <cmath>

#include "lookup.h"
#include "loops.h"

namespace columns {
namespace {

using bucket::names;

// Sorted boundaries are searched without branches in up to this many
// halvings (fewer than 2 ** MOST_LEVELS boundaries); more are bisected.
constexpr int MOST_LEVELS = 7;
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

// The number of boundaries that are not above x, as bisect finds it for
// sorted boundaries without NaN, in Levels halvings of the padded ones. The
// +inf pads count only for +inf and NaN, which count every boundary too.
template <int Levels>
inline Py_ssize_t searched(const double* bounds, double x, Py_ssize_t below)
{
    if constexpr (Levels == 0) {
        return below;
    }
    else {
        constexpr Py_ssize_t step = Py_ssize_t{1} << (Levels - 1);
        below += !(x < bounds[below + step - 1]) ? step : 0;
        return searched<Levels - 1>(bounds, x, below);
    }
}

// A float's index: Levels halvings of the padded boundaries, or with -1 as
// many as the plan says, or bisect's steps where there are none.
template <int Levels>
inline Py_ssize_t index_of_double(const Plan& p, double x)
{
    Py_ssize_t below;
    switch (Levels >= 0 ? Levels : p.padded != nullptr ? p.padded_levels : -1) {
    case 0: below = 0; break;
    case 1: below = searched<1>(p.padded, x, 0); break;
    case 2: below = searched<2>(p.padded, x, 0); break;
    case 3: below = searched<3>(p.padded, x, 0); break;
    case 4: below = searched<4>(p.padded, x, 0); break;
    case 5: below = searched<5>(p.padded, x, 0); break;
    case 6: below = searched<6>(p.padded, x, 0); break;
    case 7: below = searched<7>(p.padded, x, 0); break;
    default: {
        const double* numbers = p.numbers;
        return bisect_steps(p.bound_count, [&](Py_ssize_t j) { return x < numbers[j]; });
    }
    }
    return below < p.bound_count ? below : p.bound_count;
}

template <int Levels>
inline Py_ssize_t index_of(const Plan& p, const Value& v)
{
    switch (v.tag) {
    case Tag::None:
        return p.none_index;
    case Tag::Float:
        // Padded boundaries are exact doubles.
        if (Levels >= 0 || p.exact_doubles) {
            return index_of_double<Levels>(p, v.number);
        }
        return bisect_steps(p.bound_count, [&](Py_ssize_t j) {
            const Plan::Bound& b = p.bounds[j];
            return b.is_int ? float_below_int(v.number, b.integer) : v.number < b.number;
        });
    case Tag::Int:
    case Tag::Bool:
        if (p.exact_doubles && v.integer >= -EXACT_INTS && v.integer <= EXACT_INTS) {
            return index_of_double<Levels>(p, static_cast<double>(v.integer));
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
    if (p.sorted && n < (Py_ssize_t{1} << MOST_LEVELS)) {
        // At least one pad: the search then never passes the last boundary.
        Py_ssize_t size = 1;
        while (size <= n) {
            size *= 2;
            p.padded_levels++;
        }
        p.padded = static_cast<double*>(PyMem_Malloc(size * sizeof(double)));
        if (p.padded == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        for (Py_ssize_t j = 0; j < size; j++) {
            p.padded[j] = j < n ? p.numbers[j] : HUGE_VAL;
        }
    }
    return 1;
}

int prepare(Plan& p, PyObject* bucket, const Column&, Reason& reason)
{
    bool with_none = false;
    int ok = fast_mode_off(reason);
    ok = ok > 0 ? number_in_c(reason) : ok;
    ok = ok > 0 ? own_bisect(reason) : ok;
    ok = ok > 0 ? prepare_entries(p, bucket, p.width, reason) : ok;
    ok = ok > 0 ? read_boundaries(p, bucket, reason) : ok;
    ok = ok > 0 ? plain_flag(bucket, names._has_none, &with_none, reason) : ok;
    if (ok <= 0) {
        return ok;
    }
    p.none_index = 0;
    if (with_none) {
        // None's index is _len + 1; where _len is not plain, None takes the call.
        const Py_ssize_t n = plain_count(bucket, names._len);
        p.none_index = n >= 0 ? n + 1 : -1;
    }
    return 1;
}

struct Run : Over {
    // Float columns get a loop per number of halvings.
    template <Form F, bool Nulls>
    Py_ssize_t run() const
    {
        if constexpr (F == Form::ArrowFloat || F == Form::Float) {
            switch (p.padded != nullptr ? p.padded_levels : -1) {
            case 0: return loop<F, Nulls, 0>();
            case 1: return loop<F, Nulls, 1>();
            case 2: return loop<F, Nulls, 2>();
            case 3: return loop<F, Nulls, 3>();
            case 4: return loop<F, Nulls, 4>();
            case 5: return loop<F, Nulls, 5>();
            case 6: return loop<F, Nulls, 6>();
            case 7: return loop<F, Nulls, 7>();
            default: break;
            }
        }
        return loop<F, Nulls, -1>();
    }

    template <Form F, bool Nulls, int Levels>
    Py_ssize_t loop() const
    {
        const Plan& plan = p;
        return entries_run(p, out, from, column.length(), [&](Py_ssize_t i) {
            return index_of<Levels>(plan, column.get<F, Nulls>(i));
        });
    }
};

int run(Plan& p, const Column& column, Out& out, Py_ssize_t from, Py_ssize_t* stop)
{
    *stop = run_over<Run>(p, column, out, from);
    return 0;
}

}  // namespace

const KindLoop range_loop = {prepare, run};

}  // namespace columns
