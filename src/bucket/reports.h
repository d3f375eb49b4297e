// The reports: summaries, distribution texts and messages. BaseBucket's own
// report methods, and the pieces of them that the kinds share.
#pragma once

#include <Python.h>

#include "refs.h"

namespace bucket {

// BaseBucket.write_to_proto, get_distro and get_short_label, which its
// method table names.
namespace base {

PyObject* write_to_proto(PyObject* globals, PyObject* const* args);
PyObject* get_distro(PyObject* globals, PyObject* const* args);
PyObject* get_short_label(PyObject* globals, PyObject* const* args);

}  // namespace base

// BaseBucket.write_to_proto(self, proto), with BaseBucket looked up as a
// global: what the kinds' writers run first. 0 or -1.
int write_base_fields(PyObject* globals, PyObject* self, PyObject* proto);

// proto.bucket_type = row_handler_pb2.Bucket.<kind>, the module and the
// constant looked up at the call. 0 or -1.
int set_bucket_type(PyObject* globals, PyObject* proto, PyObject* kind);

// get_distro of the kinds whose null bucket is their last index: "(" + the
// extractor's description, then ", N% null" while _has_null is true (N the
// share of slot null_index among slots 0 to null_index, 0 while they count
// nothing), then ")".
PyObject* null_share_distro(PyObject* self, Py_ssize_t null_index);

// The share in percent that the reports show: int(count * 100 / total).
Ref percent(PyObject* count, PyObject* total);

}  // namespace bucket
