// Opening a column: Arrow's capsules, a buffer's format and strides, a
// sequence's items.
#include "input.h"

#include <cstring>
#include <type_traits>

#include "compat.h"
#include "lookup.h"

namespace columns {

using bucket::names;

namespace {

// A format of a buffer, without its byte order mark where that mark means
// this machine's own order: '@' and '=' always, '<' on a little-endian one.
// Returns the format's one character, or 0 for any other format.
char plain_format(const char* format)
{
    if (format == nullptr) {
        return 'B';
    }
    if (*format == '@' || *format == '=' || (PY_LITTLE_ENDIAN && *format == '<')) {
        format++;
    }
    return format[0] != '\0' && format[1] == '\0' ? format[0] : 0;
}

bool aligned(const void* pointer, Py_ssize_t stride, std::size_t alignment)
{
    return reinterpret_cast<std::uintptr_t>(pointer) % alignment == 0 &&
           static_cast<std::size_t>(stride < 0 ? -stride : stride) % alignment == 0;
}

// Whether offsets from..from + count each are at most the next, and
// whether any text between them is longer than 8 bytes; without a branch
// per offset, so that the loop is vectorised.
template <typename Offset>
bool ordered_offsets(const Offset* offsets, int64_t from, int64_t count, bool* long_text)
{
    using Size = std::make_unsigned_t<Offset>;
    Size backwards = 0;
    Size longer = 0;
    for (int64_t i = from; i < from + count; i++) {
        backwards |= offsets[i] > offsets[i + 1];
        longer |= static_cast<Size>(offsets[i + 1]) - static_cast<Size>(offsets[i]) > 8;
    }
    *long_text = longer != 0;
    return backwards == 0;
}

// The element of an object column as a Python object, or the object the
// Value stands for.
Ref to_object(const Value& v)
{
    if (v.object != nullptr) {
        return Ref::borrow(v.object);
    }
    switch (v.tag) {
    case Tag::Float: return Ref::steal(PyFloat_FromDouble(v.number));
    case Tag::Int: return Ref::steal(PyLong_FromLongLong(v.integer));
    case Tag::Bool: return Ref::borrow(v.integer ? Py_True : Py_False);
    case Tag::Text: return Ref::steal(PyUnicode_DecodeUTF8(v.text, v.size, nullptr));
    default: return Ref::borrow(Py_None);
    }
}

struct ObjectAt {
    const Column& column;
    Py_ssize_t i;
    template <Form F, bool Nulls>
    Ref run() const
    {
        return to_object(column.get<F, Nulls>(i));
    }
};

}  // namespace

// A producer's release callback may be Python code (ctypes), which must not
// run with an error pending: the error is set aside meanwhile.
Column::~Column()
{
    PyObject* error = bucket::compat::fetch_exception();
    if (has_view_) {
        PyBuffer_Release(&view_);
    }
    if (has_mask_) {
        PyBuffer_Release(&mask_view_);
    }
    schema_capsule_ = Ref();
    array_capsule_ = Ref();
    sequence_ = Ref();
    if (error != nullptr) {
        bucket::compat::restore_exception(error);
    }
}

int Column::open(PyObject* values, PyObject* mask)
{
    Ref method = Ref::steal(PyObject_GetAttr(values, names.__arrow_c_array__));
    if (method) {
        if (mask != Py_None) {
            PyErr_SetString(PyExc_TypeError, "mask is for numeric buffers only, not Arrow arrays");
            return -1;
        }
        Ref pair = bucket::call(method.get());
        return pair ? open_arrow(pair.get()) : -1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    if (PyObject_CheckBuffer(values)) {
        if (open_buffer(values) < 0) {
            return -1;
        }
    }
    else if (open_sequence(values) < 0) {
        return -1;
    }
    if (mask == Py_None) {
        return 0;
    }
    if (form_ == Form::Objects) {
        PyErr_SetString(PyExc_TypeError, "mask is for numeric buffers only");
        return -1;
    }
    return open_mask(mask);
}

int Column::open_arrow(PyObject* pair)
{
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
        PyErr_SetString(PyExc_TypeError,
                        "__arrow_c_array__() must return a (schema, array) pair of capsules");
        return -1;
    }
    schema_capsule_ = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
    array_capsule_ = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
    auto* schema = static_cast<ArrowSchema*>(
        PyCapsule_GetPointer(schema_capsule_.get(), "arrow_schema"));
    if (schema == nullptr) {
        return -1;
    }
    array_ = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule_.get(), "arrow_array"));
    if (array_ == nullptr) {
        return -1;
    }
    if (schema->release == nullptr || array_->release == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the Arrow array has been released");
        return -1;
    }
    if (schema->dictionary != nullptr) {
        PyErr_SetString(PyExc_TypeError, "values: dictionary-encoded Arrow arrays are not supported");
        return -1;
    }
    const char* format = schema->format != nullptr ? schema->format : "";
    int64_t buffers = 2;
    if (std::strcmp(format, "g") == 0) {
        form_ = Form::ArrowFloat;
    }
    else if (std::strcmp(format, "l") == 0) {
        form_ = Form::ArrowInt;
    }
    else if (std::strcmp(format, "b") == 0) {
        form_ = Form::ArrowBool;
    }
    else if (std::strcmp(format, "u") == 0 || std::strcmp(format, "U") == 0) {
        form_ = format[0] == 'u' ? Form::ArrowText : Form::ArrowLargeText;
        buffers = 3;
    }
    else {
        PyErr_Format(PyExc_TypeError,
                     "values: Arrow format '%s' is not supported (g float64, l int64, "
                     "b bool, u utf8, U large_utf8)",
                     format);
        return -1;
    }
    if (array_->n_buffers != buffers || array_->length < 0 || array_->offset < 0 ||
        array_->length > PY_SSIZE_T_MAX - 1) {
        PyErr_SetString(PyExc_ValueError, "values: a malformed Arrow array");
        return -1;
    }
    length_ = static_cast<Py_ssize_t>(array_->length);
    offset_ = array_->offset;
    validity_ = array_->null_count == 0 ? nullptr
                                        : static_cast<const uint8_t*>(array_->buffers[0]);
    data_ = static_cast<const char*>(array_->buffers[1]);
    if (buffers == 3) {
        chars_ = static_cast<const char*>(array_->buffers[2]);
        // Text is read between offsets: they must not run backwards.
        const bool ordered =
            form_ == Form::ArrowText
                ? ordered_offsets(reinterpret_cast<const int32_t*>(data_), offset_,
                                  array_->length, &long_text_)
                : ordered_offsets(reinterpret_cast<const int64_t*>(data_), offset_,
                                  array_->length, &long_text_);
        const int64_t last = offset_ + array_->length;
        chars_size_ = form_ == Form::ArrowText ? reinterpret_cast<const int32_t*>(data_)[last]
                                               : reinterpret_cast<const int64_t*>(data_)[last];
        if (!ordered || (length_ > 0 && chars_ == nullptr)) {
            PyErr_SetString(PyExc_ValueError, "values: a malformed Arrow array");
            return -1;
        }
    }
    if (length_ > 0 && data_ == nullptr) {
        PyErr_SetString(PyExc_ValueError, "values: a malformed Arrow array");
        return -1;
    }
    return 0;
}

int Column::open_buffer(PyObject* values)
{
    if (PyObject_GetBuffer(values, &view_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        return -1;
    }
    has_view_ = true;
    if (view_.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "values must be one-dimensional, not %d-dimensional",
                     view_.ndim);
        return -1;
    }
    const char format = plain_format(view_.format);
    const bool native = view_.format == nullptr || view_.format[0] != '=';
    if (format == 'd' && view_.itemsize == 8) {
        form_ = Form::Float;
    }
    else if ((format == 'q' || format == 'l') && view_.itemsize == 8) {
        form_ = Form::Int;
    }
    else if (format == '?' && view_.itemsize == 1) {
        form_ = Form::Bool;
    }
    else if (format == 'O' && native && view_.itemsize == sizeof(PyObject*)) {
        form_ = Form::Objects;
    }
    else {
        PyErr_Format(PyExc_TypeError,
                     "values: buffer format '%s' with items of %zd bytes is not supported "
                     "(d float64, q int64, ? bool, O object)",
                     view_.format != nullptr ? view_.format : "B", view_.itemsize);
        return -1;
    }
    // An empty buffer's pointer may be any (array.array's is a static byte).
    if (view_.shape[0] > 0 &&
        !aligned(view_.buf, view_.strides[0], form_ == Form::Bool ? 1 : alignof(int64_t))) {
        PyErr_SetString(PyExc_ValueError, "values: the buffer's items are not aligned");
        return -1;
    }
    length_ = view_.shape[0];
    data_ = static_cast<const char*>(view_.buf);
    stride_ = view_.strides[0];
    return 0;
}

int Column::open_mask(PyObject* mask)
{
    if (PyObject_GetBuffer(mask, &mask_view_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        return -1;
    }
    has_mask_ = true;
    if (plain_format(mask_view_.format) != '?' || mask_view_.itemsize != 1) {
        PyErr_SetString(PyExc_TypeError, "mask must be a bool buffer");
        return -1;
    }
    if (mask_view_.ndim != 1 || mask_view_.shape[0] != length_) {
        PyErr_Format(PyExc_ValueError, "mask must be one-dimensional with %zd items", length_);
        return -1;
    }
    return 0;
}

int Column::open_sequence(PyObject* values)
{
    sequence_ = Ref::steal(
        PySequence_Fast(values, "values must be an Arrow array, a buffer or a sequence"));
    if (!sequence_) {
        return -1;
    }
    form_ = Form::Objects;
    length_ = PySequence_Fast_GET_SIZE(sequence_.get());
    data_ = reinterpret_cast<const char*>(PySequence_Fast_ITEMS(sequence_.get()));
    stride_ = sizeof(PyObject*);
    return 0;
}

bool Column::ascii_text() const
{
    if (form_ != Form::ArrowText && form_ != Form::ArrowLargeText) {
        return false;
    }
    const int64_t first = form_ == Form::ArrowText ? reinterpret_cast<const int32_t*>(data_)[offset_]
                                                   : reinterpret_cast<const int64_t*>(data_)[offset_];
    const char* text = chars_ + first;
    const int64_t size = chars_size_ - first;
    // A word at a time, the loop vectorised: no branch per word.
    uint64_t seen = 0;
    int64_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, text + i, 8);
        seen |= word;
    }
    for (; i < size; i++) {
        seen |= static_cast<unsigned char>(text[i]);
    }
    return (seen & 0x8080808080808080ULL) == 0;
}

int Column::refresh() const
{
    if (!sequence_) {
        return 0;
    }
    if (PySequence_Fast_GET_SIZE(sequence_.get()) < length_) {
        PyErr_SetString(PyExc_RuntimeError, "values: the list got shorter during encode");
        return -1;
    }
    data_ = reinterpret_cast<const char*>(PySequence_Fast_ITEMS(sequence_.get()));
    return 0;
}

Ref Column::object_at(Py_ssize_t i) const
{
    return with_form(*this, ObjectAt{*this, i});
}

}  // namespace columns
