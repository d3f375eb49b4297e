// The module functions that rebuild buckets from their messages.
#pragma once

#include <Python.h>

#include "refs.h"

namespace bucket {

Ref create_create_category_dict_function(PyObject* globals);
Ref create_read_from_proto_function(PyObject* globals);

}  // namespace bucket
