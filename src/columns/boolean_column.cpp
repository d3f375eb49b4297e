// BooleanBucket's column loop: false, true and, with the null bucket, None.
#include "lookup.h"
#include "loops.h"

namespace columns {
namespace {

using bucket::names;

int prepare(Plan& p, PyObject* bucket, const Column&, Reason& reason)
{
    bool with_null = false;
    int ok = fast_mode_off(reason);
    ok = ok > 0 ? prepare_entries(p, bucket, p.width, reason) : ok;
    ok = ok > 0 ? plain_flag(bucket, names._has_null, &with_null, reason) : ok;
    if (ok <= 0) {
        return ok;
    }
    // None is counted as false without the null bucket.
    p.none_index = with_null ? 2 : 0;
    return 1;
}

// Only bools pass the type test; any other value takes the call, which
// raises.
inline Py_ssize_t index_of(const Plan& p, const Value& v)
{
    if (v.tag == Tag::Bool) {
        return static_cast<Py_ssize_t>(v.integer);
    }
    return v.tag == Tag::None ? p.none_index : -1;
}

struct Run : Over {
    template <Form F, bool Nulls>
    Py_ssize_t run() const
    {
        const Plan& plan = p;
        return entries_run(p, out, from, column.length(), [&](Py_ssize_t i) {
            return index_of(plan, column.get<F, Nulls>(i));
        });
    }
};

int run(Plan& p, const Column& column, Out& out, Py_ssize_t from, Py_ssize_t* stop)
{
    *stop = run_over<Run>(p, column, out, from);
    return 0;
}

}  // namespace

const KindLoop boolean_loop = {prepare, run};

}  // namespace columns
