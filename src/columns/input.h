// Input columns: an Arrow array read through the C data interface, a 1-D
// buffer (NumPy and the like) or any Python sequence. Each element is read
// as a Value without running Python code; the per-value call gets it as the
// Python object it stands for.
#pragma once

#include <Python.h>

#include <cstdint>

#include "refs.h"

namespace columns {

using bucket::Ref;

// The Arrow C data interface's structs, whose layout is fixed by that
// interface.
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

// How the column holds its elements.
enum class Form : unsigned char {
    ArrowFloat,      // Arrow g
    ArrowInt,        // Arrow l
    ArrowBool,       // Arrow b, bit-packed
    ArrowText,       // Arrow u, int32 offsets
    ArrowLargeText,  // Arrow U, int64 offsets
    Float,           // buffer d
    Int,             // buffer q or l of 8 bytes
    Bool,            // buffer ?
    Objects,         // buffer O, or the items of a sequence
};

// What an element is. Object elements of the exact types float, int (within
// int64), bool, str and None get their own tag; any other is an Object.
enum class Tag : unsigned char { None, Float, Int, Bool, Text, Str, Object };

struct Value {
    Tag tag;
    double number;     // Float
    int64_t integer;   // Int; Bool as 0 or 1
    const char* text;  // Text: UTF-8 bytes
    Py_ssize_t size;
    bool readable;     // Text: 8 bytes from text lie in the buffer
    // An object column's own element (borrowed from the column), whose
    // identity a dict lookup may depend on; NULL for the other forms.
    PyObject* object;
};

inline bool bit(const uint8_t* bits, int64_t i)
{
    return (bits[i >> 3] >> (i & 7)) & 1;
}

// An object element, tagged by its exact type.
inline Value object_value(PyObject* obj)
{
    Value v;
    v.object = obj;
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
        v.tag = Tag::Str;
    }
    else if (obj == Py_None) {
        v.tag = Tag::None;
    }
    else if (type == &PyFloat_Type) {
        v.tag = Tag::Float;
        v.number = PyFloat_AS_DOUBLE(obj);
    }
    else if (type == &PyBool_Type) {
        v.tag = Tag::Bool;
        v.integer = obj == Py_True;
    }
    else if (type == &PyLong_Type) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
        v.tag = overflow ? Tag::Object : Tag::Int;
        v.integer = value;
    }
    else {
        v.tag = Tag::Object;
    }
    return v;
}

class Column {
public:
    Column() = default;
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
    ~Column();

    // Reads values, with mask (a bool buffer, true for None) for a numeric
    // buffer; 0, or -1 with an exception set.
    int open(PyObject* values, PyObject* mask);

    Py_ssize_t length() const { return length_; }
    Form form() const { return form_; }
    // Arrow text: whether an element is longer than 8 bytes.
    bool long_text() const { return long_text_; }
    // Arrow text: whether every byte of its elements is ASCII.
    bool ascii_text() const;

    // Whether an element can be None through Arrow's validity bits or the
    // mask: the loops are compiled with and without that test.
    bool has_nulls() const { return validity_ != nullptr || has_mask_; }

    template <Form F, bool Nulls = true>
    Value get(Py_ssize_t i) const;

    // The element as the Python object the per-value call takes; a new
    // reference, or empty with an exception set.
    Ref object_at(Py_ssize_t i) const;

    // After Python code has run: a sequence may have been changed, so its
    // items are found again. 0, or -1 with an exception set when it is now
    // shorter than the column.
    int refresh() const;

private:
    int open_arrow(PyObject* values);
    int open_buffer(PyObject* values);
    int open_mask(PyObject* mask);
    int open_sequence(PyObject* values);

    Form form_ = Form::Objects;
    Py_ssize_t length_ = 0;
    // Arrow: the capsules own the structs and release them.
    Ref schema_capsule_;
    Ref array_capsule_;
    const ArrowArray* array_ = nullptr;
    const uint8_t* validity_ = nullptr;
    int64_t offset_ = 0;
    // Fixed-width elements, Arrow's or a buffer's; Arrow text's offsets.
    mutable const char* data_ = nullptr;
    Py_ssize_t stride_ = 0;
    const char* chars_ = nullptr;
    int64_t chars_size_ = 0;  // up to the last element's end
    bool long_text_ = false;
    // A buffer and its mask.
    Py_buffer view_{};
    bool has_view_ = false;
    Py_buffer mask_view_{};
    bool has_mask_ = false;
    // A sequence's items, through PySequence_Fast; found again by refresh().
    Ref sequence_;
};

inline Value none_value()
{
    Value v;
    v.tag = Tag::None;
    v.object = nullptr;
    return v;
}

// How far ahead of the element read an object column's elements are asked
// into the cache: their headers and text are scattered over the heap.
constexpr Py_ssize_t PREFETCH_AHEAD = 8;

template <Form F, bool Nulls>
inline Value Column::get(Py_ssize_t i) const
{
    // Only the fields of the element's tag are set.
    Value v;
    v.object = nullptr;
    if constexpr (F == Form::Objects) {
        if (i + PREFETCH_AHEAD < length_) {
            const char* ahead = *reinterpret_cast<const char* const*>(
                data_ + (i + PREFETCH_AHEAD) * stride_);
            __builtin_prefetch(ahead);
            __builtin_prefetch(ahead + sizeof(PyASCIIObject));
        }
        return object_value(*reinterpret_cast<PyObject* const*>(data_ + i * stride_));
    }
    else if constexpr (F == Form::Float || F == Form::Int || F == Form::Bool) {
        if (Nulls && has_mask_ &&
            *(static_cast<const char*>(mask_view_.buf) + i * mask_view_.strides[0])) {
            return none_value();
        }
        const char* at = data_ + i * stride_;
        if constexpr (F == Form::Float) {
            v.tag = Tag::Float;
            v.number = *reinterpret_cast<const double*>(at);
        }
        else if constexpr (F == Form::Int) {
            v.tag = Tag::Int;
            v.integer = *reinterpret_cast<const int64_t*>(at);
        }
        else {
            v.tag = Tag::Bool;
            v.integer = *at != 0;
        }
        return v;
    }
    else {
        const int64_t at = offset_ + i;
        if (Nulls && validity_ != nullptr && !bit(validity_, at)) {
            return none_value();
        }
        if constexpr (F == Form::ArrowFloat) {
            v.tag = Tag::Float;
            v.number = reinterpret_cast<const double*>(data_)[at];
        }
        else if constexpr (F == Form::ArrowInt) {
            v.tag = Tag::Int;
            v.integer = reinterpret_cast<const int64_t*>(data_)[at];
        }
        else if constexpr (F == Form::ArrowBool) {
            v.tag = Tag::Bool;
            v.integer = bit(reinterpret_cast<const uint8_t*>(data_), at);
        }
        else if constexpr (F == Form::ArrowText) {
            const int32_t* offsets = reinterpret_cast<const int32_t*>(data_);
            v.tag = Tag::Text;
            v.text = chars_ + offsets[at];
            v.size = offsets[at + 1] - offsets[at];
            v.readable = offsets[at] + 8 <= chars_size_;
        }
        else {
            const int64_t* offsets = reinterpret_cast<const int64_t*>(data_);
            v.tag = Tag::Text;
            v.text = chars_ + offsets[at];
            v.size = static_cast<Py_ssize_t>(offsets[at + 1] - offsets[at]);
            v.readable = offsets[at] + 8 <= chars_size_;
        }
        return v;
    }
}

// body.template run<F, Nulls>() for whether the column can hold None.
template <Form F, typename Body>
auto with_nulls(bool nulls, Body& body)
{
    return nulls ? body.template run<F, true>() : body.template run<F, false>();
}

// Calls body.template run<F, Nulls>() for the column's form and whether it
// can hold None: the column loops are compiled once per pair.
template <typename Body>
auto with_form(const Column& column, Body&& body)
{
    const bool nulls = column.has_nulls();
    switch (column.form()) {
    case Form::ArrowFloat: return with_nulls<Form::ArrowFloat>(nulls, body);
    case Form::ArrowInt: return with_nulls<Form::ArrowInt>(nulls, body);
    case Form::ArrowBool: return with_nulls<Form::ArrowBool>(nulls, body);
    case Form::ArrowText: return with_nulls<Form::ArrowText>(nulls, body);
    case Form::ArrowLargeText: return with_nulls<Form::ArrowLargeText>(nulls, body);
    case Form::Float: return with_nulls<Form::Float>(nulls, body);
    case Form::Int: return with_nulls<Form::Int>(nulls, body);
    case Form::Bool: return with_nulls<Form::Bool>(nulls, body);
    case Form::Objects: break;
    }
    return body.template run<Form::Objects, true>();
}

}  // namespace columns
