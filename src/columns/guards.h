// What the column loops stand on: the bucket module's own implementations,
// kept at import, and the checks, made once per call, that a bucket's
// per-value path would touch nothing but them and plain data.
//
// A check that fails gives its reason; the column then takes (or goes on
// with) the per-value calls. Nothing here runs Python code except the
// class lookups, which the bucket module's own shortcuts make as well.
#pragma once

#include <Python.h>

#include <cstdint>

#include "refs.h"

namespace columns {

using bucket::Ref;

enum Kind { RANGE, STRINGS, BOOLEAN, VALUE, CATEGORICAL, SIMPLE, KIND_COUNT };

// The class names, in Kind order.
extern const char* const kind_names[KIND_COUNT];

// Imports the bucket module and the extractor module and keeps their
// classes and methods; part of the exec step. 0 or -1.
int capture_implementations(PyObject* package);

// The kind whose output layout the bucket takes: the first of the bucket
// module's classes in its type's MRO. -1 with TypeError for any other object.
int layout_of(PyObject* bucket);

// Why a column takes the per-value calls.
struct Reason {
    char text[240] = {0};
};

// Sets the reason; returns 0, the "not fast" answer of the checks.
int refuse(Reason& reason, const char* format, ...);

// obj.name when it is plainly the entry of obj's own exact dict: the type
// has the generic tp_getattro and nothing of that name. Borrowed; NULL
// (with the reason, no exception) otherwise, an absent entry included.
PyObject* plain_attr(PyObject* obj, PyObject* name, Reason& reason);

// Whether obj.name = v is plainly a store into its exact instance dict.
bool plain_store(PyObject* obj, PyObject* name);

// The instance dict of obj is exact and holds only exact str keys, so that
// looking up one of the module's names there runs no Python code.
bool plain_instance(PyObject* obj, Reason& reason);

// The kind whose own _bucketize_value the bucket resolves to; 0 with the
// reason when it resolves to none of them, -1 on error.
int own_kind(PyObject* bucket, Kind* kind, Reason& reason);

// _create_entry and _increment resolve to BaseBucket's own. 1, 0, -1.
int own_counting(PyObject* bucket, Reason& reason);

// The globals of the per-value paths, read from the bucket module's
// namespace: FAST_MODE is False, Number is decided in C. 1, 0, -1 never:
// these are dict reads of exact str keys.
int fast_mode_off(Reason& reason);
int number_in_c(Reason& reason);
// bisect is the module imported, and its bisect function the one it had.
int own_bisect(Reason& reason);

// The truth value of an exact bool, int or None; -1 for any other object.
int plain_truth(PyObject* obj);

// obj.name, a plain attribute with a plain truth value, as *flag. 1, or 0
// with the reason.
int plain_flag(PyObject* obj, PyObject* name, bool* flag, Reason& reason);

// obj.name, a plain attribute holding an exact int from 0 to
// PY_SSIZE_T_MAX - 1; -1 for anything else (no exception).
Py_ssize_t plain_count(PyObject* obj, PyObject* name);

// Every key of the exact dict map is an exact str, int, float, bool or
// None, whose hashing and comparisons run no Python code.
bool plain_keys(PyObject* map);

// What the bucket's extractor's data_type_string() returns, when it is the
// package's own FieldExtractor method reading an exact str: borrowed. NULL
// with the reason otherwise.
PyObject* plain_data_type(PyObject* bucket, Reason& reason);

}  // namespace columns
