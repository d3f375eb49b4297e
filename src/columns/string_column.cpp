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
    Reason ignored;
    PyObject* length = plain_attr(bucket, names._len, ignored);
    int overflow = 1;
    const long long n = length != nullptr && PyLong_CheckExact(length)
                            ? PyLong_AsLongLongAndOverflow(length, &overflow)
                            : 0;
    p.unknown = !overflow && n >= 0 && n < PY_SSIZE_T_MAX ? static_cast<Py_ssize_t>(n) : -1;
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
            Entry found;
            if (map_entry(p, column.get<F>(i), &found) <= 0) {
                return PyErr_Occurred() ? -1 : i;
            }
            const int64_t index = found.state == Entry::Absent  ? p.unknown
                                  : found.state == Entry::Index ? found.index
                                                                : -1;
            if (index < 0 || index > PY_SSIZE_T_MAX ||
                !entry(p, out, i, static_cast<Py_ssize_t>(index))) {
                return i;
            }
        }
        return n;
    }
};

int run(Plan& p, const Column& column, Out& out, Py_ssize_t from, Py_ssize_t* stop)
{
    *stop = with_form(column.form(), Run{p, column, out, from});
    return *stop < 0 ? -1 : 0;
}

}  // namespace

const KindLoop string_loop = {prepare, run};

}  // namespace columns
