// StringBucket's column loop: each value's position in the list by the
// map, the index after the list for any other value.
#include "lookup.h"
#include "loops.h"

namespace columns {
namespace {

using bucket::names;

int prepare(Plan& p, PyObject* bucket, const Column& column, Reason& reason)
{
    int ok = prepare_entries(p, bucket, p.width, reason);
    ok = ok > 0 ? open_map(p, bucket, names._bucket_map, column, reason) : ok;
    if (ok <= 0) {
        return ok;
    }
    // The index of a value not in the map is _len; where _len is not plain,
    // such values take the call.
    p.unknown = plain_count(bucket, names._len);
    return 1;
}

// The index of v: its entry, _len for a value not in the map; -1 where it
// takes the call or raised.
template <bool AsciiShort>
inline Py_ssize_t index_of(Plan& p, const Value& v)
{
    const Entry found = map_entry<AsciiShort>(p, v);
    // Picked by masks: a branch on found and absent values would not be
    // learnt.
    const int64_t absent = -static_cast<int64_t>(found.state == Entry::Absent);
    const int64_t known = -static_cast<int64_t>(found.state == Entry::Index);
    const int64_t index = (p.unknown & absent) | (found.index & known) | ~(absent | known);
    return index >= 0 && index <= PY_SSIZE_T_MAX ? static_cast<Py_ssize_t>(index) : -1;
}

struct Run : TextOver<Run> {
    template <Form F, bool Nulls, bool AsciiShort>
    Py_ssize_t loop() const
    {
        return entries_run(p, out, from, column.length(), [&](Py_ssize_t i) {
            return index_of<AsciiShort>(p, column.get<F, Nulls>(i));
        });
    }
};

int run(Plan& p, const Column& column, Out& out, Py_ssize_t from, Py_ssize_t* stop)
{
    *stop = run_over<Run>(p, column, out, from);
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

const KindLoop string_loop = {prepare, run};

}  // namespace columns
