// Checking the output buffers, and writing per-value results into them.
#include "output.h"

#include <cmath>

namespace columns {

namespace {

// The one character of an 8-byte format in this machine's byte order, or 0.
char format_of(const Py_buffer& view)
{
    const char* format = view.format;
    if (format == nullptr || view.itemsize != 8) {
        return 0;
    }
    if (*format == '@' || *format == '=' || (PY_LITTLE_ENDIAN && *format == '<')) {
        format++;
    }
    return format[0] != '\0' && format[1] == '\0' ? format[0] : 0;
}

// Where nothing will be written, any pointer does (an empty array.array's
// is a static byte).
bool aligned(const Py_buffer& view)
{
    for (int d = 0; d < view.ndim; d++) {
        if (view.shape[d] == 0) {
            return true;
        }
    }
    bool ok = reinterpret_cast<std::uintptr_t>(view.buf) % alignof(int64_t) == 0;
    for (int d = 0; d < view.ndim; d++) {
        ok = ok && view.strides[d] % static_cast<Py_ssize_t>(alignof(int64_t)) == 0;
    }
    return ok;
}

constexpr int WRITABLE = PyBUF_STRIDES | PyBUF_WRITABLE | PyBUF_FORMAT;

// Opens what of a 1-D int64 buffer; 0 or -1.
int open_int64(PyObject* obj, Py_buffer* view, bool* held, const char* what)
{
    if (PyObject_GetBuffer(obj, view, WRITABLE) < 0) {
        return -1;
    }
    *held = true;
    const char format = format_of(*view);
    if ((format != 'q' && format != 'l') || view->ndim != 1) {
        PyErr_Format(PyExc_TypeError, "out: %s must be a one-dimensional int64 buffer", what);
        return -1;
    }
    if (!aligned(*view)) {
        PyErr_Format(PyExc_ValueError, "out: %s is not aligned", what);
        return -1;
    }
    return 0;
}

}  // namespace

Matrix::~Matrix()
{
    if (has_view_) {
        PyBuffer_Release(&view_);
    }
}

int Matrix::open(PyObject* out, Py_ssize_t rows, Py_ssize_t width, bool one_dimensional)
{
    if (PyObject_GetBuffer(out, &view_, WRITABLE) < 0) {
        return -1;
    }
    has_view_ = true;
    if (format_of(view_) != 'd') {
        PyErr_SetString(PyExc_TypeError, "out must be a float64 buffer");
        return -1;
    }
    const bool flat = view_.ndim == 1 && one_dimensional && width == 1;
    if (!(flat && view_.shape[0] == rows) &&
        !(view_.ndim == 2 && view_.shape[0] == rows && view_.shape[1] == width)) {
        if (view_.ndim == 2) {
            PyErr_Format(PyExc_ValueError, "out must have %zd rows of %zd, not %zd of %zd", rows,
                         width, view_.shape[0], view_.shape[1]);
        }
        else {
            PyErr_Format(PyExc_ValueError, "out must have %zd rows of %zd, not %d dimensions",
                         rows, width, view_.ndim);
        }
        return -1;
    }
    if (!aligned(view_)) {
        PyErr_SetString(PyExc_ValueError, "out is not aligned");
        return -1;
    }
    base_ = static_cast<char*>(view_.buf);
    row_stride_ = view_.strides[0];
    item_stride_ = flat ? sizeof(double) : view_.strides[1];
    width_ = width;
    contiguous_ = item_stride_ == sizeof(double);
    return 0;
}

int Matrix::write_result(Py_ssize_t i, PyObject* result)
{
    // A tuple of its own: converting an element may run code that changes
    // the result.
    Ref items = Ref::steal(PySequence_Tuple(result));
    if (!items) {
        return -1;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (n != width_) {
        PyErr_Format(PyExc_ValueError, "_bucketize_value gave %zd items for a row of %zd", n,
                     width_);
        return -1;
    }
    double* row = static_cast<double*>(PyMem_Malloc((n > 0 ? n : 1) * sizeof(double)));
    if (row == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    int status = 0;
    for (Py_ssize_t j = 0; j < n && status == 0; j++) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), j);
        if (item == Py_None) {
            row[j] = std::nan("");
            continue;
        }
        row[j] = PyFloat_AsDouble(item);
        if (row[j] == -1.0 && PyErr_Occurred()) {
            status = -1;
        }
    }
    if (status == 0) {
        write(i, row);
    }
    PyMem_Free(row);
    return status;
}

Ids::~Ids()
{
    if (has_ids_) {
        PyBuffer_Release(&ids_view_);
    }
    if (has_offsets_) {
        PyBuffer_Release(&offsets_view_);
    }
}

int Ids::open(PyObject* pair, Py_ssize_t rows, Py_ssize_t bound)
{
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
        PyErr_SetString(PyExc_TypeError,
                        "out must be a pair (ids, offsets) for a SimpleCategoricalBucket");
        return -1;
    }
    if (open_int64(PyTuple_GET_ITEM(pair, 0), &ids_view_, &has_ids_, "ids") < 0 ||
        open_int64(PyTuple_GET_ITEM(pair, 1), &offsets_view_, &has_offsets_, "offsets") < 0) {
        return -1;
    }
    if (offsets_view_.shape[0] != rows + 1) {
        PyErr_Format(PyExc_ValueError, "out: offsets must have %zd items, one more than values",
                     rows + 1);
        return -1;
    }
    capacity_ = ids_view_.shape[0];
    if (capacity_ < bound) {
        PyErr_Format(PyExc_ValueError,
                     "out: ids has room for %zd ids; these values can give up to %zd",
                     capacity_, bound);
        return -1;
    }
    ids_ = static_cast<char*>(ids_view_.buf);
    ids_stride_ = ids_view_.strides[0];
    offsets_ = static_cast<char*>(offsets_view_.buf);
    offsets_stride_ = offsets_view_.strides[0];
    *reinterpret_cast<int64_t*>(offsets_) = 0;
    return 0;
}

int Ids::write_result(Py_ssize_t i, PyObject* result)
{
    Ref items = Ref::steal(PySequence_Tuple(result));
    if (!items) {
        return -1;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (!room(n)) {
        PyErr_Format(PyExc_ValueError, "out: ids has room for %zd ids, no more", capacity_);
        return -1;
    }
    for (Py_ssize_t j = 0; j < n; j++) {
        const long long id = PyLong_AsLongLong(PyTuple_GET_ITEM(items.get(), j));
        if (id == -1 && PyErr_Occurred()) {
            return -1;
        }
        append(id);
    }
    close(i);
    return 0;
}

}  // namespace columns
