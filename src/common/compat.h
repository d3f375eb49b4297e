// Every difference between the CPython versions the module builds against
// (3.7 to 3.13) lives here. Where a faster path exists only on newer
// interpreters, older ones take the plain path with the same behaviour.
#pragma once

#include <Python.h>

#define BUCKET_PY38 (PY_VERSION_HEX >= 0x03080000)
#define BUCKET_PY39 (PY_VERSION_HEX >= 0x03090000)
#define BUCKET_PY311 (PY_VERSION_HEX >= 0x030B0000)
#define BUCKET_PY312 (PY_VERSION_HEX >= 0x030C0000)
#define BUCKET_PY313 (PY_VERSION_HEX >= 0x030D0000)

// From 3.9 on, PyMODINIT_FUNC marks the init function for export. Before,
// it leaves it to the compiler flags, and the module hides its symbols.
#if BUCKET_PY39
#define BUCKET_MODINIT_FUNC PyMODINIT_FUNC
#else
#define BUCKET_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif

namespace bucket {
namespace compat {

// PEP 590 vectorcall arrived in 3.8, provisionally with underscored names;
// 3.9 made them public. 3.7 has only the private fast call, which is frozen.
#if BUCKET_PY39
constexpr size_t ARGUMENTS_OFFSET = PY_VECTORCALL_ARGUMENTS_OFFSET;
constexpr unsigned long TPFLAGS_VECTORCALL = Py_TPFLAGS_HAVE_VECTORCALL;
#define BUCKET_HAVE_VECTORCALL 1
inline PyObject* vectorcall(PyObject* f, PyObject* const* args, size_t nargsf)
{
    return PyObject_Vectorcall(f, args, nargsf, nullptr);
}
#elif BUCKET_PY38
constexpr size_t ARGUMENTS_OFFSET = PY_VECTORCALL_ARGUMENTS_OFFSET;
constexpr unsigned long TPFLAGS_VECTORCALL = _Py_TPFLAGS_HAVE_VECTORCALL;
#define BUCKET_HAVE_VECTORCALL 1
inline PyObject* vectorcall(PyObject* f, PyObject* const* args, size_t nargsf)
{
    return _PyObject_Vectorcall(f, args, nargsf, nullptr);
}
#else
constexpr size_t ARGUMENTS_OFFSET = 0;
#define BUCKET_HAVE_VECTORCALL 0
inline PyObject* vectorcall(PyObject* f, PyObject* const* args, size_t nargsf)
{
    return _PyObject_FastCallDict(f, const_cast<PyObject**>(args),
                                  static_cast<Py_ssize_t>(nargsf), nullptr);
}
#endif

#if BUCKET_HAVE_VECTORCALL
inline Py_ssize_t vectorcall_nargs(size_t nargsf)
{
    return PyVectorcall_NARGS(nargsf);
}
#endif

// Py_TPFLAGS_METHOD_DESCRIPTOR (3.8) promises that obj.f(*a) is f(obj, *a),
// which lets a call through an instance skip the bound method object. 3.7
// has no such flag: there only functions and the module's own method
// objects are known to bind that way.
#if BUCKET_PY38
constexpr unsigned long TPFLAGS_METHOD_DESCRIPTOR = Py_TPFLAGS_METHOD_DESCRIPTOR;
#else
constexpr unsigned long TPFLAGS_METHOD_DESCRIPTOR = 0;
#endif

// From 3.11 on, a class's version tag is never given twice (the counter is
// not reset when the type cache is cleared), so a tag that stands proves
// that nothing the class or its bases hold has changed since it was read.
constexpr bool STABLE_TYPE_VERSIONS = BUCKET_PY311;

// Whether type holds a valid version tag: 3.11 clears a flag when the class
// changes, 3.12 on set the tag itself to 0 (3.13 no longer keeps the flag).
inline bool version_tag_valid(PyTypeObject* type)
{
#if BUCKET_PY312
    return type->tp_version_tag != 0;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

// A dict's entry for key as a new reference: 1 found, 0 absent, -1 error.
// 3.13's PyDict_GetItemRef says which without asking the thread state.
inline int dict_get(PyObject* dict, PyObject* key, PyObject** value)
{
#if BUCKET_PY313
    return PyDict_GetItemRef(dict, key, value);
#else
    *value = PyDict_GetItemWithError(dict, key);
    if (*value != nullptr) {
        Py_INCREF(*value);
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// 3.7 and 3.8 have no public way to the running interpreter.
inline PyInterpreterState* current_interpreter()
{
#if BUCKET_PY39
    return PyInterpreterState_Get();
#else
    return PyThreadState_Get()->interp;
#endif
}

// Takes the raised exception out of the thread state as one normalised
// object that carries its traceback (NULL if none is set).
// PyErr_Fetch and PyErr_Restore are deprecated from 3.12 on.
inline PyObject* fetch_exception()
{
#if BUCKET_PY312
    return PyErr_GetRaisedException();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises exc again, as it was fetched; steals the reference.
inline void restore_exception(PyObject* exc)
{
#if BUCKET_PY312
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// Whether an exact str has its canonical form (kind and data) made: from
// 3.12 on every str has; before, a legacy one may still be waiting.
inline bool str_ready(PyObject* str)
{
#if BUCKET_PY312
    (void)str;
    return true;
#else
    return PyUnicode_IS_READY(str);
#endif
}

}  // namespace compat
}  // namespace bucket
