// The reports: BaseBucket's distribution text, short label and message
// fields, and the pieces of them that the kinds share.
#include "reports.h"

#include "base_bucket.h"
#include "module.h"

namespace bucket {
namespace {

// The colour-on sequence, made anew from the global ANSI_ESCAPE.
Ref colour_on(PyObject* globals)
{
    Ref escape = lookup_global(globals, names.ANSI_ESCAPE);
    if (!escape) {
        return escape;
    }
    Ref suffix = Ref::steal(PyUnicode_FromString("38;5;4m"));
    if (!suffix) {
        return suffix;
    }
    return add(escape.get(), suffix.get());
}

// Whether i == self._total_buckets - offset: 1, 0 or -1.
int is_index_from_end(PyObject* self, PyObject* i, long offset)
{
    Ref count = attr(self, names._total_buckets);
    if (!count) {
        return -1;
    }
    Ref subtrahend = Ref::steal(PyLong_FromLong(offset));
    if (!subtrahend) {
        return -1;
    }
    Ref target = Ref::steal(PyNumber_Subtract(count.get(), subtrahend.get()));
    if (!target) {
        return -1;
    }
    return PyObject_RichCompareBool(i, target.get(), Py_EQ);
}

// One index's piece of the distribution text.
Ref distro_piece(PyObject* globals, PyObject* self, PyObject* i)
{
    Ref total = attr(self, names._total);
    if (!total) {
        return total;
    }
    const int counted = PyObject_RichCompareBool(total.get(), shared.zero, Py_GT);
    if (counted < 0) {
        return Ref();
    }
    Ref share = Ref::borrow(shared.zero);
    if (counted) {
        Ref distro = attr(self, names._distro);
        if (!distro) {
            return distro;
        }
        Ref count = Ref::steal(PyObject_GetItem(distro.get(), i));
        if (!count) {
            return count;
        }
        Ref divisor = attr(self, names._total);
        if (!divisor) {
            return divisor;
        }
        share = percent(count.get(), divisor.get());
        if (!share) {
            return share;
        }
    }
    const int second_last = is_index_from_end(self, i, 2);
    if (second_last < 0) {
        return Ref();
    }
    if (second_last) {
        Ref on = colour_on(globals);
        if (!on) {
            return on;
        }
        Ref off = lookup_global(globals, names.NORMAL_COLOR);
        if (!off) {
            return off;
        }
        return format(" < %s%2d%%%s", on.get(), share.get(), off.get());
    }
    const int last = is_index_from_end(self, i, 1);
    if (last < 0) {
        return Ref();
    }
    if (last) {
        Ref label = call_method(self, names.get_bucket_label, i);
        if (!label) {
            return label;
        }
        Ref on = colour_on(globals);
        if (!on) {
            return on;
        }
        Ref off = lookup_global(globals, names.NORMAL_COLOR);
        if (!off) {
            return off;
        }
        return format(" | %s: %s%2d%%%s", label.get(), on.get(), share.get(),
                      off.get());
    }
    Ref on = colour_on(globals);
    if (!on) {
        return on;
    }
    Ref off = lookup_global(globals, names.NORMAL_COLOR);
    if (!off) {
        return off;
    }
    Ref label = call_method(self, names.get_bucket_label, i);
    if (!label) {
        return label;
    }
    return format("%s%2d%%%s %-6s", on.get(), share.get(), off.get(),
                  label.get());
}

// _total_buckets * 4 - 2, the count read afresh at each call.
Ref label_width(PyObject* self)
{
    Ref count = attr(self, names._total_buckets);
    if (!count) {
        return count;
    }
    Ref four = Ref::steal(PyLong_FromLong(4));
    Ref two = Ref::steal(PyLong_FromLong(2));
    if (!four || !two) {
        return Ref();
    }
    Ref product = Ref::steal(PyNumber_Multiply(count.get(), four.get()));
    if (!product) {
        return product;
    }
    return Ref::steal(PyNumber_Subtract(product.get(), two.get()));
}

// self._distro[index], the list read afresh.
Ref count_at(PyObject* self, Py_ssize_t index)
{
    Ref distro = attr(self, names._distro);
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    if (!distro || !key) {
        return Ref();
    }
    return Ref::steal(PyObject_GetItem(distro.get(), key.get()));
}

Ref null_share(PyObject* self, Py_ssize_t null_index)
{
    Ref total = count_at(self, 0);
    for (Py_ssize_t i = 1; total && i <= null_index; i++) {
        Ref count = count_at(self, i);
        total = count ? add(total.get(), count.get()) : Ref();
    }
    if (!total) {
        return total;
    }
    // An empty bucket has no nulls to share out, as the base report shows.
    const int counted = PyObject_RichCompareBool(total.get(), shared.zero, Py_GT);
    if (counted < 0) {
        return Ref();
    }
    Ref share = Ref::borrow(shared.zero);
    if (counted) {
        Ref nulls = count_at(self, null_index);
        if (!nulls) {
            return nulls;
        }
        share = percent(nulls.get(), total.get());
        if (!share) {
            return share;
        }
    }
    return format(", %d%% null", share.get());
}

}  // namespace

namespace base {

PyObject* write_to_proto(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* proto = args[1];
    Ref name = attr(self, names._name);
    if (!name || set_attr(proto, names.name, name.get()) < 0) {
        return nullptr;
    }
    Ref count = attr(self, names._total_buckets);
    if (!count || set_attr(proto, names.bucket_count, count.get()) < 0) {
        return nullptr;
    }
    Ref field = attr(proto, names.extractor);
    if (!field) {
        return nullptr;
    }
    Ref copy_from = attr(field.get(), names.CopyFrom);
    if (!copy_from) {
        return nullptr;
    }
    Ref extractor = attr(self, names._extractor);
    if (!extractor) {
        return nullptr;
    }
    Ref message = call_method(extractor.get(), names.to_proto);
    if (!message || !call(copy_from.get(), message.get())) {
        return nullptr;
    }
    return none();
}

PyObject* get_distro(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    Ref count = attr(self, names._total_buckets);
    if (!count) {
        return nullptr;
    }
    Ref ten = Ref::steal(PyLong_FromLong(10));
    if (!ten) {
        return nullptr;
    }
    // min(10, n): n only where it is the smaller.
    const int fewer = PyObject_RichCompareBool(count.get(), ten.get(), Py_LT);
    if (fewer < 0) {
        return nullptr;
    }
    const Py_ssize_t shown =
        PyNumber_AsSsize_t(fewer ? count.get() : ten.get(), PyExc_OverflowError);
    if (shown == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    Ref pieces = Ref::steal(PyList_New(0));
    Ref open = Ref::steal(PyUnicode_FromString("("));
    if (!pieces || !open || PyList_Append(pieces.get(), open.get()) < 0) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < shown; i++) {
        Ref index = Ref::steal(PyLong_FromSsize_t(i));
        if (!index) {
            return nullptr;
        }
        Ref piece = distro_piece(globals, self, index.get());
        if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) {
            return nullptr;
        }
    }
    Ref close = Ref::steal(PyUnicode_FromString(")"));
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    if (!close || !empty || PyList_Append(pieces.get(), close.get()) < 0) {
        return nullptr;
    }
    return PyUnicode_Join(empty.get(), pieces.get());
}

PyObject* get_short_label(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    Ref width = label_width(self);
    if (!width) {
        return nullptr;
    }
    Ref name = attr(self, names._name);
    if (!name) {
        return nullptr;
    }
    const Py_ssize_t length = PyObject_Length(name.get());
    if (length < 0) {
        return nullptr;
    }
    Ref length_obj = Ref::steal(PyLong_FromSsize_t(length));
    if (!length_obj) {
        return nullptr;
    }
    const int cut = PyObject_RichCompareBool(width.get(), length_obj.get(), Py_LT);
    if (cut < 0) {
        return nullptr;
    }
    Ref shown = attr(self, names._name);
    if (!shown) {
        return nullptr;
    }
    if (cut) {
        Ref slice = Ref::steal(PySlice_New(shared.zero, width.get(), nullptr));
        if (!slice) {
            return nullptr;
        }
        shown = Ref::steal(PyObject_GetItem(shown.get(), slice.get()));
        if (!shown) {
            return nullptr;
        }
    }
    Ref width_again = label_width(self);
    if (!width_again) {
        return nullptr;
    }
    Ref pattern = Ref::steal(PyUnicode_FromFormat("|%%%Ss|", width_again.get()));
    if (!pattern) {
        return nullptr;
    }
    return PyNumber_Remainder(pattern.get(), shown.get());
}

}  // namespace base

int write_base_fields(PyObject* globals, PyObject* self, PyObject* proto)
{
    return call_global_method(globals, names.BaseBucket, names.write_to_proto,
                              self, proto)
               ? 0
               : -1;
}

int set_bucket_type(PyObject* globals, PyObject* proto, PyObject* kind)
{
    Ref messages = lookup_global(globals, names.row_handler_pb2);
    if (!messages) {
        return -1;
    }
    Ref message_class = attr(messages.get(), names.Bucket);
    if (!message_class) {
        return -1;
    }
    Ref constant = attr(message_class.get(), kind);
    if (!constant) {
        return -1;
    }
    return set_attr(proto, names.bucket_type, constant.get());
}

PyObject* null_share_distro(PyObject* self, Py_ssize_t null_index)
{
    Ref extractor = attr(self, names._extractor);
    if (!extractor) {
        return nullptr;
    }
    Ref description = call_method(extractor.get(), names.description);
    Ref open = Ref::steal(PyUnicode_FromString("("));
    if (!description || !open) {
        return nullptr;
    }
    Ref text = add(open.get(), description.get());
    if (!text) {
        return nullptr;
    }
    const int with_null = has_null(self);
    if (with_null < 0) {
        return nullptr;
    }
    if (with_null) {
        Ref piece = null_share(self, null_index);
        if (!piece) {
            return nullptr;
        }
        text = add(text.get(), piece.get());
        if (!text) {
            return nullptr;
        }
    }
    Ref close = Ref::steal(PyUnicode_FromString(")"));
    if (!close) {
        return nullptr;
    }
    return add(text.get(), close.get()).release();
}

Ref percent(PyObject* count, PyObject* total)
{
    Ref scaled = Ref::steal(PyNumber_Multiply(count, shared.hundred));
    if (!scaled) {
        return scaled;
    }
    Ref share = Ref::steal(PyNumber_TrueDivide(scaled.get(), total));
    if (!share) {
        return share;
    }
    return Ref::steal(PyNumber_Long(share.get()));
}

}  // namespace bucket
