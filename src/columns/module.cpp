// The columns module: whole columns encoded at once, exactly as the bucket's
// _bucketize_value gives each value, in C where the checks prove it the
// same, through per-value calls made from C otherwise.
#include "compat.h"
#include "guards.h"
#include "lookup.h"
#include "loops.h"
#include "scan_rows.h"

namespace columns {
namespace {

using bucket::names;

const KindLoop* const loops[KIND_COUNT] = {
    &range_loop, &string_loop,      &boolean_loop,
    &value_loop, &categorical_loop, &simple_categorical_loop,
};

// Sets `position` on the raised exception; one that cannot take it is
// raised as it is.
void set_position(Py_ssize_t i)
{
    PyObject* error = bucket::compat::fetch_exception();
    if (error == nullptr) {
        return;
    }
    Ref position = Ref::steal(PyLong_FromSsize_t(i));
    if (!position || PyObject_SetAttr(error, names.position, position.get()) < 0) {
        PyErr_Clear();
    }
    bucket::compat::restore_exception(error);
}

// The width of out's rows for the bucket's layout, read as Python reads it.
Py_ssize_t row_width(PyObject* bucket, int layout)
{
    if (layout == CATEGORICAL || layout == SIMPLE) {
        return 1;
    }
    if (layout == VALUE) {
        Ref flag = bucket::attr(bucket, names._has_null);
        const int with_null = flag ? PyObject_IsTrue(flag.get()) : -1;
        return with_null < 0 ? -1 : 1 + with_null;
    }
    Ref rows = bucket::attr(bucket, names._out_buckets);
    Ref first = rows ? Ref::steal(PySequence_GetItem(rows.get(), 0)) : Ref();
    return first ? PyObject_Length(first.get()) : -1;
}

// Whether the column takes the fast loop; fills the plan. 1, 0 with the
// reason, -1.
int decide(Plan& plan, PyObject* bucket, int layout, const Column& column, Reason& reason)
{
    if (!bucket::fast_paths) {
        return refuse(reason, "this build has every fast path off");
    }
    Kind kind = RANGE;
    const int own = own_kind(bucket, &kind, reason);
    if (own <= 0) {
        return own;
    }
    if (kind != layout) {
        return refuse(reason, "%.100s._bucketize_value is %s's, not %s's",
                      Py_TYPE(bucket)->tp_name, kind_names[kind], kind_names[layout]);
    }
    return loops[kind]->prepare(plan, bucket, column, reason);
}

struct Encoding {
    PyObject* bucket;
    int layout;
    const Column& column;
    Out& out;
    Py_ssize_t width;
};

// Runs the fast loop from value i while the checks hold; returns the value
// that takes the next per-value call (the length at the end), or -1 with
// the error raised and its position set. Clears *fast when the checks fail.
Py_ssize_t run_fast(const Encoding& e, Py_ssize_t i, bool* fast)
{
    Plan plan;
    plan.width = e.width;
    Reason reason;
    const int ok = decide(plan, e.bucket, e.layout, e.column, reason);
    if (ok <= 0) {
        *fast = false;
        return ok < 0 ? -1 : i;
    }
    Py_ssize_t stop = i;
    const int ran = loops[e.layout]->run(plan, e.column, e.out, i, &stop);
    PyObject* error = ran < 0 ? bucket::compat::fetch_exception() : nullptr;
    // The counts kept so far go to the bucket before anything else runs.
    const int flushed = plan.counts.flush(e.bucket);
    if (error != nullptr) {
        bucket::compat::restore_exception(error);
    }
    if (ran < 0 || flushed < 0) {
        set_position(stop);
        return -1;
    }
    return stop;
}

// bucket._bucketize_value(value i), its result written; 0, or -1 with the
// error raised and its position set.
int call_one(const Encoding& e, Py_ssize_t i)
{
    Ref value = e.column.object_at(i);
    Ref result = value ? bucket::call_method(e.bucket, names._bucketize_value, value.get())
                       : Ref();
    const int written = !result                ? -1
                        : e.layout == SIMPLE    ? e.out.ids.write_result(i, result.get())
                                                : e.out.matrix.write_result(i, result.get());
    // The call and the conversions ran Python code, which may have changed
    // a list of values.
    if (written < 0 || e.column.refresh() < 0) {
        set_position(i);
        return -1;
    }
    return 0;
}

int encode_column(const Encoding& e)
{
    bool fast = true;
    const Py_ssize_t n = e.column.length();
    Py_ssize_t i = 0;
    while (i < n) {
        if (fast) {
            i = run_fast(e, i, &fast);
            if (i < 0) {
                return -1;
            }
            if (i == n) {
                break;
            }
        }
        if (call_one(e, i) < 0) {
            return -1;
        }
        i++;
    }
    return 0;
}

PyObject* encode(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"bucket", "values", "out", "mask", nullptr};
    PyObject* bucket = nullptr;
    PyObject* values = nullptr;
    PyObject* out = nullptr;
    PyObject* mask = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$O:encode", const_cast<char**>(keywords),
                                     &bucket, &values, &out, &mask)) {
        return nullptr;
    }
    const int layout = layout_of(bucket);
    if (layout < 0) {
        return nullptr;
    }
    Column column;
    if (column.open(values, mask) < 0) {
        return nullptr;
    }
    const Py_ssize_t width = row_width(bucket, layout);
    if (width < 0) {
        return nullptr;
    }
    Out output;
    const int opened =
        layout == SIMPLE ? output.ids.open(out, column.length(), id_bound(column))
                         : output.matrix.open(out, column.length(), width, layout == CATEGORICAL);
    if (opened < 0 || encode_column(Encoding{bucket, layout, column, output, width}) < 0) {
        return nullptr;
    }
    return layout == SIMPLE ? PyLong_FromSsize_t(output.ids.written()) : bucket::none();
}

PyObject* answer(bool fast, const char* text)
{
    return Py_BuildValue("(Os)", fast ? Py_True : Py_False, text);
}

PyObject* fast_path(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"bucket", "values", nullptr};
    PyObject* bucket = nullptr;
    PyObject* values = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:fast_path", const_cast<char**>(keywords),
                                     &bucket, &values)) {
        return nullptr;
    }
    const int layout = layout_of(bucket);
    if (layout < 0) {
        return nullptr;
    }
    Column column;
    if (column.open(values, Py_None) < 0) {
        return nullptr;
    }
    Plan plan;
    plan.width = row_width(bucket, layout);
    if (plan.width < 0) {
        return nullptr;
    }
    Reason reason;
    const int fast = decide(plan, bucket, layout, column, reason);
    if (fast <= 0) {
        return fast < 0 ? nullptr : answer(false, reason.text);
    }
    // Object elements of other types take the per-value call one by one.
    for (Py_ssize_t i = 0; column.form() == Form::Objects && i < column.length(); i++) {
        const Value v = column.get<Form::Objects>(i);
        PyTypeObject* type = Py_TYPE(v.object);
        if (v.tag == Tag::Object &&
            !(layout == SIMPLE && (type == &PyList_Type || type == &PyTuple_Type ||
                                   type == &PyDict_Type))) {
            refuse(reason, "values: object element of type %.100s at %zd takes the per-value call",
                   type->tp_name, i);
            return answer(false, reason.text);
        }
    }
    return answer(true, "the fast loop of the column's kind");
}

PyObject* scan(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"data", "final", nullptr};
    Py_buffer data;
    int final = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|p:scan_rows", const_cast<char**>(keywords),
                                     &data, &final)) {
        return nullptr;
    }
    const RowScan found = scan_rows(static_cast<const char*>(data.buf), data.len, final != 0);
    PyBuffer_Release(&data);
    return Py_BuildValue("(nnn)", found.end, found.rows, found.lines);
}

const char MODULE_DOC[] =
    "Whole columns encoded at once, exactly as a bucket's _bucketize_value\n"
    "encodes each value.\n"
    "\n"
    "encode(bucket, values, out, *, mask=None) writes into out what\n"
    "bucket._bucketize_value(v) gives for each value v in order, and leaves\n"
    "_distro and _total as those calls would. Where the bucket, its class and\n"
    "the bucket module's globals are proven to be the module's own code over\n"
    "plain data (see fast_path), the column is encoded in C; otherwise, and for\n"
    "each value that loop cannot decide, _bucketize_value is called for it.\n"
    "When a value raises, the values before it are written and counted, the\n"
    "exception is raised with the value's index as its `position` attribute,\n"
    "and nothing after it is touched.\n"
    "\n"
    "values: an Arrow array (any object with __arrow_c_array__: float64,\n"
    "int64, bool, utf8 and large_utf8; a null is None); a 1-D buffer of\n"
    "float64 (d), int64 (q), bool (?) or objects (O), with mask, a bool buffer\n"
    "of the same length marking None, for the numeric ones; or any other\n"
    "sequence. Elements are the Python floats, ints, bools and str they hold.\n"
    "\n"
    "out: for Bucket, StringBucket and BooleanBucket a writable float64 buffer\n"
    "of len(values) rows of len(bucket._out_buckets[0]); for ValueBucket, rows\n"
    "of 2 with a null bucket, else 1; for CategoricalBucket, len(values) rows\n"
    "of 1, or one dimension. Any strides. A None in a result is written as NaN,\n"
    "any other element as float(element). encode returns None.\n"
    "For SimpleCategoricalBucket, out is a pair (ids, offsets) of writable\n"
    "1-D int64 buffers: offsets has len(values) + 1 items, offsets[0] = 0, and\n"
    "the ids of value i go to ids[offsets[i]:offsets[i + 1]]. ids must have\n"
    "room for one id per value, and for an exact list or tuple one per entry\n"
    "(one if empty), else ValueError before anything is written. encode\n"
    "returns the number of ids written.\n"
    "\n"
    "fast_path(bucket, values) -> (bool, str): whether encode would take the\n"
    "fast loop for these values, and the first reason why not.\n"
    "\n"
    "scan_rows(data, final=False) -> (end, rows, lines): for a bytes-like\n"
    "block of CSV text starting at a row, the offset just after the last\n"
    "complete row, the number of rows before it (empty lines are no rows),\n"
    "and the number of line ends before it (\\n, \\r\\n and a lone \\r).\n"
    "Quotes open quoting only at the start of a cell, a doubled quote is a\n"
    "quote, and line ends in quoted cells are part of the cell. With final,\n"
    "the end of data also ends a row.";

PyMethodDef methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)),
     METH_VARARGS | METH_KEYWORDS,
     "encode(bucket, values, out, *, mask=None)\n--\n\n"
     "Encodes a column into out, as _bucketize_value each value."},
    {"fast_path", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast_path)),
     METH_VARARGS | METH_KEYWORDS,
     "fast_path(bucket, values)\n--\n\n"
     "Whether encode takes the fast loop for these values, and why not."},
    {"scan_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan)),
     METH_VARARGS | METH_KEYWORDS,
     "scan_rows(data, final=False)\n--\n\n"
     "Where the complete CSV rows of data end: (end, rows, lines)."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module)
{
    Ref package = bucket::package_of(module);
    if (!package || bucket::make_names_and_constants() < 0) {
        return -1;
    }
    return capture_implementations(package.get());
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "columns", MODULE_DOC, 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace columns

BUCKET_MODINIT_FUNC PyInit_columns()
{
    return PyModuleDef_Init(&columns::module_def);
}
