// BaseBucket: the construction, the counting and the entry point for rows
// that every bucket kind shares, and the calls through which the kinds use
// them. Its reports are in reports.h.
#pragma once

#include <Python.h>

#include "lookup.h"
#include "refs.h"

namespace bucket {

Ref create_base_bucket_class(PyObject* globals);

// self._create_entry, looked up before its argument is worked out where a
// call `self._create_entry(...)` does so.
Method create_entry_method(PyObject* self);

// The found self._create_entry(index): counts index and returns its stored
// row. Takes the inline path while the method is BaseBucket's own.
Ref create_entry(const Method& method, PyObject* self, PyObject* index);

// The same for an index held as a C integer, boxed only where Python code
// (an override, a replaced attribute) must see it as an int object.
Ref create_entry_at(const Method& method, PyObject* self, Py_ssize_t index);

// self._create_entry(index) for an index known before the lookup.
Ref create_entry_at(PyObject* self, Py_ssize_t index);

// self._increment(bucket): counts one value under bucket; 0 or -1.
int increment(PyObject* self, PyObject* bucket);

// self._distro[key] = self._distro[key] + 1 as Python runs it: _distro is
// read for the load and read again for the store. key is an int object, or
// NULL for the C index at. Hands back the sequence stored into and the count
// it replaced. 0 or -1.
int add_one_to_distro(PyObject* self, PyObject* key, Py_ssize_t at,
                      Ref& distro, Ref& old_count);

// self._remove_bucket(); 0 or -1.
int remove_bucket(PyObject* self);

// super(cls, self).__init__(name, extractor, total_buckets), cls being the
// global cls_name. 0 or -1.
int init_base(PyObject* globals, PyObject* cls_name, PyObject* self,
              PyObject* name, PyObject* extractor, PyObject* total_buckets);

// The truth value of self._has_null: 1, 0 or -1.
int has_null(PyObject* self);

// set_null_fraction of the kinds whose null bucket is their last index:
// below a share of 0.02 None values, drops it while nothing is counted. A
// refused drop leaves the bucket as it was. Returns None, or NULL.
PyObject* drop_rare_null_bucket(PyObject* self, PyObject* null_fraction);

}  // namespace bucket
