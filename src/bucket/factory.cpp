// The module functions that rebuild a bucket from its message: the kind is
// chosen by bucket_type, the extractor rebuilt through its own module, and
// the counts start afresh.
#include "factory.h"

#include <cmath>

#include "kinds.h"
#include "module.h"

namespace bucket {
namespace {

PyObject* create_category_dict(PyObject*, PyObject* const* args)
{
    Ref categories = Ref::steal(PyDict_New());
    if (!categories) {
        return nullptr;
    }
    Ref values = Ref::steal(PyObject_GetIter(args[0]));
    if (!values) {
        return nullptr;
    }
    Py_ssize_t position = 0;
    while (Ref value = Ref::steal(PyIter_Next(values.get()))) {
        Ref index = Ref::steal(PyLong_FromSsize_t(position++));
        if (!index ||
            PyDict_SetItem(categories.get(), value.get(), index.get()) < 0) {
            return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : categories.release();
}

// A new list of the elements of the repeated field proto.field.
Ref field_list(PyObject* proto, PyObject* field)
{
    Ref values = attr(proto, field);
    return values ? Ref::steal(PySequence_List(values.get())) : Ref();
}

// The message stores the none value as a double; a categorical bucket's
// index for None is an int, so a whole number comes back as one.
Ref none_index(PyObject* none_value)
{
    if (PyFloat_Check(none_value)) {
        const double value = PyFloat_AS_DOUBLE(none_value);
        if (std::isfinite(value) && value == std::floor(value)) {
            return Ref::steal(PyLong_FromDouble(value));
        }
    }
    return Ref::borrow(none_value);
}

// The category map from the first non-empty value field.
Ref category_values(PyObject* globals, PyObject* proto, PyObject* name)
{
    PyObject* const fields[] = {names.string_buckets, names.int_buckets,
                                names.float_buckets};
    for (PyObject* field : fields) {
        Ref values = attr(proto, field);
        if (!values) {
            return values;
        }
        const Py_ssize_t size = PyObject_Length(values.get());
        if (size < 0) {
            return Ref();
        }
        if (size > 0) {
            Ref make = lookup_global(globals, names.create_category_dict);
            if (!make) {
                return make;
            }
            Ref again = attr(proto, field);
            return again ? call(make.get(), again.get()) : Ref();
        }
    }
    Ref message = format("Category bucket %s has no buckets", name);
    if (message) {
        PyErr_SetObject(PyExc_Exception, message.get());
    }
    return Ref();
}

// cls(name, extractor, list(proto.field), proto.has_null), cls a global.
Ref build_listed(PyObject* globals, PyObject* cls_name, PyObject* proto,
                 PyObject* field, PyObject* name, PyObject* extractor)
{
    Ref cls = lookup_global(globals, cls_name);
    if (!cls) {
        return cls;
    }
    Ref values = field_list(proto, field);
    if (!values) {
        return values;
    }
    Ref has_null = attr(proto, names.has_null);
    if (!has_null) {
        return has_null;
    }
    return call(cls.get(), name, extractor, values.get(), has_null.get());
}

}  // namespace

Ref rebuild_boolean_bucket(PyObject* globals, PyObject* proto, PyObject* name,
                           PyObject* extractor, PyObject*)
{
    Ref cls = lookup_global(globals, names.BooleanBucket);
    if (!cls) {
        return cls;
    }
    Ref has_null = attr(proto, names.has_null);
    if (!has_null) {
        return has_null;
    }
    return call(cls.get(), name, extractor, has_null.get());
}

Ref rebuild_value_bucket(PyObject* globals, PyObject* proto, PyObject* name,
                         PyObject* extractor, PyObject* none_value)
{
    Ref cls = lookup_global(globals, names.ValueBucket);
    if (!cls) {
        return cls;
    }
    Ref has_null = attr(proto, names.has_null);
    if (!has_null) {
        return has_null;
    }
    return call(cls.get(), name, extractor, has_null.get(), none_value);
}

Ref rebuild_categorical_bucket(PyObject* globals, PyObject* proto,
                               PyObject* name, PyObject* extractor,
                               PyObject* none_value)
{
    Ref cls = lookup_global(globals, names.CategoricalBucket);
    if (!cls) {
        return cls;
    }
    Ref categories = category_values(globals, proto, name);
    if (!categories) {
        return categories;
    }
    Ref index = none_index(none_value);
    Ref positional = Ref::steal(PyTuple_Pack(3, name, extractor, shared.zero));
    if (!positional) {
        return positional;
    }
    Ref keywords = Ref::steal(PyDict_New());
    if (!keywords ||
        PyDict_SetItem(keywords.get(), names.category_dict, categories.get()) < 0 ||
        PyDict_SetItem(keywords.get(), names.none_value, index.get()) < 0) {
        return Ref();
    }
    return Ref::steal(PyObject_Call(cls.get(), positional.get(), keywords.get()));
}

Ref rebuild_range_bucket(PyObject* globals, PyObject* proto, PyObject* name,
                         PyObject* extractor, PyObject*)
{
    return build_listed(globals, names.Bucket, proto, names.float_buckets, name,
                        extractor);
}

Ref rebuild_string_bucket(PyObject* globals, PyObject* proto, PyObject* name,
                          PyObject* extractor, PyObject*)
{
    return build_listed(globals, names.StringBucket, proto,
                        names.string_buckets, name, extractor);
}

namespace {

// Whether bucket_type is message_class.<constant>: 1, 0 or -1.
int is_type(PyObject* message_class, PyObject* constant, PyObject* type)
{
    Ref value = attr(message_class, constant);
    if (!value) {
        return -1;
    }
    return PyObject_RichCompareBool(type, value.get(), Py_EQ);
}

// The rebuilt kind that read_from_proto compares place-th, or NULL.
const Kind* rebuilt_kind(int place)
{
    for (const Kind& kind : kinds) {
        if (kind.compared_at == place) {
            return &kind;
        }
    }
    return nullptr;
}

// The bucket that bucket_type names, or NULL with the error set.
Ref build(PyObject* globals, PyObject* proto, PyObject* type, PyObject* name,
          PyObject* extractor, PyObject* none_value)
{
    Ref messages = lookup_global(globals, names.row_handler_pb2);
    if (!messages) {
        return messages;
    }
    Ref message_class = attr(messages.get(), names.Bucket);
    if (!message_class) {
        return message_class;
    }
    for (int place = 0; const Kind* kind = rebuilt_kind(place); place++) {
        const int matches =
            is_type(message_class.get(), names.*kind->message_type, type);
        if (matches < 0) {
            return Ref();
        }
        if (matches) {
            return kind->rebuild(globals, proto, name, extractor, none_value);
        }
    }
    Ref message = format("Bucket %s of unknown type", name);
    if (message) {
        PyErr_SetObject(PyExc_Exception, message.get());
    }
    return Ref();
}

PyObject* read_from_proto(PyObject* globals, PyObject* const* args)
{
    PyObject* proto = args[0];
    Ref extractors = lookup_global(globals, names.extractor);
    if (!extractors) {
        return nullptr;
    }
    Ref rebuild = attr(extractors.get(), names.read_from_proto);
    if (!rebuild) {
        return nullptr;
    }
    Ref extractor_message = attr(proto, names.extractor);
    if (!extractor_message) {
        return nullptr;
    }
    Ref extractor = call(rebuild.get(), extractor_message.get());
    if (!extractor) {
        return nullptr;
    }
    Ref type = attr(proto, names.bucket_type);
    if (!type) {
        return nullptr;
    }
    Ref name = attr(proto, names.name);
    if (!name) {
        return nullptr;
    }
    Ref present = call_method(proto, names.HasField, names.none_value);
    if (!present) {
        return nullptr;
    }
    const int has_none_value = PyObject_IsTrue(present.get());
    if (has_none_value < 0) {
        return nullptr;
    }
    Ref none_value = has_none_value ? attr(proto, names.none_value)
                                    : Ref::borrow(Py_None);
    if (!none_value) {
        return nullptr;
    }
    Ref bucket = build(globals, proto, type.get(), name.get(), extractor.get(),
                       none_value.get());
    if (!bucket) {
        return nullptr;
    }
    Ref text = Ref::steal(PyObject_Str(bucket.get()));
    if (!text) {
        return nullptr;
    }
    Ref prefix = Ref::steal(PyUnicode_FromString("bucket: "));
    if (!prefix) {
        return nullptr;
    }
    Ref line = add(prefix.get(), text.get());
    if (!line || print_line(globals, line.get()) < 0) {
        return nullptr;
    }
    return bucket.release();
}

const MethodSpec create_category_dict_spec = {
    "create_category_dict", create_category_dict,
    {{"values", Default::Required}}, true};

const MethodSpec read_from_proto_spec = {
    "read_from_proto", read_from_proto, {{"bucket_proto", Default::Required}},
    true};

}  // namespace

Ref create_create_category_dict_function(PyObject* globals)
{
    return Ref::steal(make_method(create_category_dict_spec, nullptr, globals));
}

Ref create_read_from_proto_function(PyObject* globals)
{
    return Ref::steal(make_method(read_from_proto_spec, nullptr, globals));
}

}  // namespace bucket
