// The bucket kinds, one source file each, and the table of them that both
// the module's exec step and read_from_proto follow: a new kind is its
// source file, its declarations here and one row of the table.
#pragma once

#include <Python.h>

#include "factory.h"
#include "module.h"
#include "refs.h"

namespace bucket {

// Each makes its class as the module's exec step binds it, the base looked
// up by its global name.
Ref create_boolean_bucket_class(PyObject* globals);
Ref create_value_bucket_class(PyObject* globals);
Ref create_categorical_bucket_class(PyObject* globals);
Ref create_simple_categorical_bucket_class(PyObject* globals);
Ref create_range_bucket_class(PyObject* globals);
Ref create_string_bucket_class(PyObject* globals);

// Python's index <op> self._len for the range and string list kinds, which
// share the boundary count: 1, 0 or -1.
int compare_with_len(PyObject* self, PyObject* index, int op);

struct Kind {
    // The class's global name and the function that makes the class.
    PyObject* Names::*name;
    Ref (*make_class)(PyObject* globals);
    // For a kind that read_from_proto rebuilds: the row_handler_pb2.Bucket
    // constant that its messages carry, the place (from 0) at which
    // read_from_proto compares bucket_type with it, and the rebuild.
    PyObject* Names::*message_type;
    int compared_at;
    Rebuild rebuild;
};

// Every kind, in the order the module binds the classes. read_from_proto
// tries the rebuilt kinds in its own, older order, hence compared_at.
inline constexpr Kind kinds[] = {
    {&Names::BooleanBucket, create_boolean_bucket_class, &Names::BOOLEAN, 4,
     rebuild_boolean_bucket},
    {&Names::ValueBucket, create_value_bucket_class, &Names::DIRECT, 1,
     rebuild_value_bucket},
    {&Names::CategoricalBucket, create_categorical_bucket_class,
     &Names::CATEGORY, 3, rebuild_categorical_bucket},
    {&Names::SimpleCategoricalBucket, create_simple_categorical_bucket_class,
     nullptr, -1, nullptr},
    {&Names::Bucket, create_range_bucket_class, &Names::BUCKET, 2,
     rebuild_range_bucket},
    {&Names::StringBucket, create_string_bucket_class, &Names::STRING, 0,
     rebuild_string_bucket},
};

}  // namespace bucket
