// The module functions that rebuild buckets from their messages, and the
// rebuilds of the kinds that they make.
#pragma once

#include <Python.h>

#include "refs.h"

namespace bucket {

Ref create_create_category_dict_function(PyObject* globals);
Ref create_read_from_proto_function(PyObject* globals);

// A bucket of one kind from its message proto, with what read_from_proto
// has read from it already: proto.name, the rebuilt extractor and the none
// value (None where the message has none). New reference, or NULL.
using Rebuild = Ref (*)(PyObject* globals, PyObject* proto, PyObject* name,
                        PyObject* extractor, PyObject* none_value);

Ref rebuild_boolean_bucket(PyObject* globals, PyObject* proto, PyObject* name,
                           PyObject* extractor, PyObject* none_value);
Ref rebuild_value_bucket(PyObject* globals, PyObject* proto, PyObject* name,
                         PyObject* extractor, PyObject* none_value);
Ref rebuild_categorical_bucket(PyObject* globals, PyObject* proto,
                               PyObject* name, PyObject* extractor,
                               PyObject* none_value);
Ref rebuild_range_bucket(PyObject* globals, PyObject* proto, PyObject* name,
                         PyObject* extractor, PyObject* none_value);
Ref rebuild_string_bucket(PyObject* globals, PyObject* proto, PyObject* name,
                          PyObject* extractor, PyObject* none_value);

}  // namespace bucket
