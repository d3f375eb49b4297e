// Owned references and the small calls that hand them out.
//
// Rules of use:
//  1. A function that returns a new reference returns a Ref. An empty Ref
//     means a Python exception is set.
//  2. Ref::steal() takes over a new reference (a NULL one stays empty);
//     Ref::borrow() adds a reference of its own to a borrowed pointer.
//  3. A borrowed pointer (a list item, a dict value, a type attribute) is
//     turned into a Ref before any call that can run Python code: such code
//     can drop the container's reference.
//  4. Plain PyObject* parameters are borrowed; the caller keeps them alive.
#pragma once

#include <Python.h>

#include <utility>

#include "compat.h"

namespace bucket {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept
    {
        Ref old(std::move(*this));
        obj_ = other.release();
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    static Ref borrow(PyObject* obj) noexcept
    {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller, as a C API function returns it.
    PyObject* release() noexcept
    {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// A new reference to None: what a method without a result returns.
inline PyObject* none()
{
    Py_INCREF(Py_None);
    return Py_None;
}

inline Ref getattr(PyObject* obj, PyObject* name)
{
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// obj(args...) with positional arguments only.
template <typename... Args>
Ref call(PyObject* callable, Args... args)
{
    PyObject* stack[] = {nullptr, args...};
    return Ref::steal(compat::vectorcall(
        callable, stack + 1, sizeof...(Args) | compat::ARGUMENTS_OFFSET));
}

// Python's `fmt % args`, with a tuple of the arguments.
template <typename... Args>
Ref format(const char* fmt, Args... args)
{
    Ref text = Ref::steal(PyUnicode_FromString(fmt));
    if (!text) {
        return text;
    }
    Ref tuple = Ref::steal(PyTuple_Pack(sizeof...(Args), args...));
    if (!tuple) {
        return tuple;
    }
    return Ref::steal(PyUnicode_Format(text.get(), tuple.get()));
}

// a + b with Python's semantics.
inline Ref add(PyObject* a, PyObject* b)
{
    return Ref::steal(PyNumber_Add(a, b));
}

}  // namespace bucket
