// ValueBucket's column loop: numbers passed on, None as the null row or
// the default.
#include <cmath>

#include "lookup.h"
#include "loops.h"

namespace columns {
namespace {

using bucket::names;

// The default for None without a null bucket, as out takes it: None is
// NaN; a number other than an exact float, int or bool takes the call.
void read_default(Plan& p, PyObject* bucket, Reason& reason)
{
    PyObject* value = plain_attr(bucket, names._default_value, reason);
    p.default_plain = value != nullptr;
    if (value == nullptr || value == Py_None) {
        p.default_result = std::nan("");
    }
    else if (PyFloat_CheckExact(value)) {
        p.default_result = PyFloat_AS_DOUBLE(value);
    }
    else if (PyLong_CheckExact(value) || PyBool_Check(value)) {
        p.default_result = PyLong_AsDouble(value);
        p.default_plain = !(p.default_result == -1.0 && PyErr_Occurred());
        PyErr_Clear();
    }
    else {
        p.default_plain = false;
    }
}

int prepare(Plan& p, PyObject* bucket, const Column&, Reason& reason)
{
    bool with_null = false;
    int ok = fast_mode_off(reason);
    ok = ok > 0 ? number_in_c(reason) : ok;
    ok = ok > 0 ? prepare_entries(p, bucket, p.width, reason) : ok;
    ok = ok > 0 ? plain_flag(bucket, names._has_null, &with_null, reason) : ok;
    if (ok <= 0) {
        return ok;
    }
    if (p.width != (with_null ? 2 : 1)) {
        return refuse(reason, "out is not as wide as the rows");
    }
    p.with_null = with_null;
    if (!with_null) {
        Reason ignored;
        read_default(p, bucket, ignored);
    }
    return 1;
}

struct Run : Over {
    template <Form F, bool Nulls>
    Py_ssize_t run() const
    {
        const Py_ssize_t n = column.length();
        const bool counted = p.counts.size() > 0;
        for (Py_ssize_t i = from; i < n; i++) {
            const Value v = column.get<F, Nulls>(i);
            double x;
            switch (v.tag) {
            case Tag::None:
                if (p.with_null) {
                    if (!entry(p, out, i, 1)) {
                        return i;
                    }
                    continue;
                }
                if (!p.default_plain) {
                    return i;
                }
                x = p.default_result;
                break;
            case Tag::Float:
                x = v.number;
                break;
            case Tag::Int:
            case Tag::Bool:
                x = static_cast<double>(v.integer);
                break;
            default:
                return i;
            }
            if (!counted) {
                return i;
            }
            p.counts.add(0);
            if (p.with_null) {
                out.matrix.write2(i, x, 0.0);
            }
            else {
                out.matrix.write1(i, x);
            }
        }
        return n;
    }
};

int run(Plan& p, const Column& column, Out& out, Py_ssize_t from, Py_ssize_t* stop)
{
    *stop = run_over<Run>(p, column, out, from);
    return 0;
}

}  // namespace

const KindLoop value_loop = {prepare, run};

}  // namespace columns
