// BaseBucket: counting, the row entry point, the reports and the common
// message fields.
#include "base_bucket.h"

#include <cstddef>

#include "compat.h"
#include "module.h"

namespace bucket {
namespace {

PyObject* init(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    if (setattr(self, names._name, args[1]) < 0 ||
        setattr(self, names._extractor, args[2]) < 0 ||
        setattr(self, names._total_buckets, args[3]) < 0) {
        return nullptr;
    }
    Ref total = getattr(self, names._total_buckets);
    if (!total) {
        return nullptr;
    }
    Ref zero_list = Ref::steal(PyList_New(1));
    if (!zero_list) {
        return nullptr;
    }
    Py_INCREF(shared.zero);
    PyList_SET_ITEM(zero_list.get(), 0, shared.zero);
    Ref distro = Ref::steal(PyNumber_Multiply(zero_list.get(), total.get()));
    if (!distro || setattr(self, names._distro, distro.get()) < 0 ||
        setattr(self, names._total, shared.zero) < 0) {
        return nullptr;
    }
    Ref rows = Ref::steal(PyList_New(0));
    if (!rows || setattr(self, names._out_buckets, rows.get()) < 0) {
        return nullptr;
    }
    // The repetition above has accepted the count as an index.
    const Py_ssize_t n = PyNumber_AsSsize_t(total.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        Ref row = Ref::steal(PyList_New(n));
        if (!row) {
            return nullptr;
        }
        for (Py_ssize_t j = 0; j < n; j++) {
            PyObject* value = i == j ? shared.float_one : shared.float_zero;
            Py_INCREF(value);
            PyList_SET_ITEM(row.get(), j, value);
        }
        if (PyList_Append(rows.get(), row.get()) < 0) {
            return nullptr;
        }
    }
    return none();
}

PyObject* write_to_proto(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* proto = args[1];
    Ref name = getattr(self, names._name);
    if (!name || setattr(proto, names.name, name.get()) < 0) {
        return nullptr;
    }
    Ref count = getattr(self, names._total_buckets);
    if (!count || setattr(proto, names.bucket_count, count.get()) < 0) {
        return nullptr;
    }
    Ref field = getattr(proto, names.extractor);
    if (!field) {
        return nullptr;
    }
    Ref copy_from = getattr(field.get(), names.CopyFrom);
    if (!copy_from) {
        return nullptr;
    }
    Ref extractor = getattr(self, names._extractor);
    if (!extractor) {
        return nullptr;
    }
    Ref message = call_method(extractor.get(), names.to_proto);
    if (!message || !call(copy_from.get(), message.get())) {
        return nullptr;
    }
    return none();
}

PyObject* remove_bucket_impl(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    Ref total = getattr(self, names._total);
    if (!total) {
        return nullptr;
    }
    const int counted = PyObject_RichCompareBool(total.get(), shared.zero, Py_GT);
    if (counted < 0) {
        return nullptr;
    }
    if (counted) {
        Ref again = getattr(self, names._total);
        if (!again) {
            return nullptr;
        }
        Ref message =
            format("Cannot remove bucket after adding values: %d", again.get());
        if (message) {
            PyErr_SetObject(PyExc_Exception, message.get());
        }
        return nullptr;
    }
    Ref distro = getattr(self, names._distro);
    if (!distro) {
        return nullptr;
    }
    // Subscripted with a slice object, as _distro[0:-1] is, so that a
    // replaced _distro fails with the interpreter's own error.
    Ref last = Ref::steal(PyLong_FromLong(-1));
    if (!last) {
        return nullptr;
    }
    Ref cut = Ref::steal(PySlice_New(shared.zero, last.get(), nullptr));
    if (!cut) {
        return nullptr;
    }
    Ref shorter = Ref::steal(PyObject_GetItem(distro.get(), cut.get()));
    if (!shorter || setattr(self, names._distro, shorter.get()) < 0) {
        return nullptr;
    }
    Ref count = getattr(self, names._total_buckets);
    if (!count) {
        return nullptr;
    }
    Ref lowered = Ref::steal(PyNumber_Subtract(count.get(), shared.one));
    if (!lowered || setattr(self, names._total_buckets, lowered.get()) < 0) {
        return nullptr;
    }
    return none();
}

// seq[key], or seq[at] for key NULL, without an int object where seq is a
// list that holds the index.
Ref item_at(PyObject* seq, PyObject* key, Py_ssize_t at)
{
    if (key != nullptr) {
        return Ref::steal(PyObject_GetItem(seq, key));
    }
    if (PyList_CheckExact(seq) && at >= 0 && at < PyList_GET_SIZE(seq)) {
        return Ref::borrow(PyList_GET_ITEM(seq, at));
    }
    Ref boxed = Ref::steal(PyLong_FromSsize_t(at));
    return boxed ? Ref::steal(PyObject_GetItem(seq, boxed.get())) : Ref();
}

// seq[key] = value, or seq[at] = value for key NULL; 0 or -1.
int store_at(PyObject* seq, PyObject* key, Py_ssize_t at, PyObject* value)
{
    if (key != nullptr) {
        return PyObject_SetItem(seq, key, value);
    }
    if (PyList_CheckExact(seq) && at >= 0 && at < PyList_GET_SIZE(seq)) {
        Py_INCREF(value);
        return PyList_SetItem(seq, at, value);
    }
    Ref boxed = Ref::steal(PyLong_FromSsize_t(at));
    return boxed ? PyObject_SetItem(seq, boxed.get(), value) : -1;
}

// Puts old_count back into distro[key] after _total refused its new value,
// as a subclass's __setattr__ or property may: a failed count changes no
// count. The refusal stays raised; a count that cannot go back is raised in
// its context. Always -1.
int undo_count(PyObject* distro, PyObject* key, Py_ssize_t at,
               PyObject* old_count)
{
    PyObject* refusal = compat::fetch_exception();
    if (store_at(distro, key, at, old_count) < 0) {
        PyObject* failure = compat::fetch_exception();
        PyException_SetContext(failure, refusal);
        compat::restore_exception(failure);
        return -1;
    }
    compat::restore_exception(refusal);
    return -1;
}

// self._increment(bucket) itself, for bucket an int object or, for key
// NULL, the C index at: _total + 1 is made first and stored last, once the
// distribution has taken the value, so a failed count changes no count.
int increment_inline(PyObject* self, PyObject* key, Py_ssize_t at)
{
    Ref total = attr(self, names._total);
    if (!total) {
        return -1;
    }
    Ref new_total = plus_one(total.get());
    if (!new_total) {
        return -1;
    }
    Ref distro, old;
    if (add_one_to_distro(self, key, at, distro, old) < 0) {
        return -1;
    }
    if (set_attr(self, names._total, new_total.get()) < 0) {
        return undo_count(distro.get(), key, at, old.get());
    }
    return 0;
}

PyObject* increment_impl(PyObject*, PyObject* const* args)
{
    return increment_inline(args[0], args[1], 0) < 0 ? nullptr : none();
}

// The index as an int object, for Python code that is to see it.
Ref boxed_index(PyObject* key, Py_ssize_t at)
{
    return key != nullptr ? Ref::borrow(key) : Ref::steal(PyLong_FromSsize_t(at));
}

// self._increment(index), run inline while it is BaseBucket's own; 0 or -1.
int increment_at(PyObject* self, PyObject* key, Py_ssize_t at)
{
    Method method = find_method(self, names._increment);
    if (!method.callable) {
        return -1;
    }
    if (is_own(method, increment_impl)) {
        return increment_inline(self, key, at);
    }
    Ref index = boxed_index(key, at);
    if (!index) {
        return -1;
    }
    return call_found(method, self, index.get()) ? 0 : -1;
}

// self._create_entry(index) itself: counts, then hands out the stored row.
Ref create_entry_inline(PyObject* self, PyObject* key, Py_ssize_t at)
{
    if (increment_at(self, key, at) < 0) {
        return Ref();
    }
    Ref rows = attr(self, names._out_buckets);
    return rows ? item_at(rows.get(), key, at) : Ref();
}

PyObject* create_entry_impl(PyObject*, PyObject* const* args)
{
    return create_entry_inline(args[0], args[1], 0).release();
}

// self._create_entry(index), run inline while it is BaseBucket's own.
Ref create_entry_for(PyObject* self, PyObject* key, Py_ssize_t at)
{
    Method method = find_method(self, names._create_entry);
    if (!method.callable) {
        return Ref();
    }
    if (is_own(method, create_entry_impl)) {
        return create_entry_inline(self, key, at);
    }
    Ref index = boxed_index(key, at);
    return index ? call_found(method, self, index.get()) : Ref();
}

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
    Ref count = getattr(self, names._total_buckets);
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
    Ref total = getattr(self, names._total);
    if (!total) {
        return total;
    }
    const int counted = PyObject_RichCompareBool(total.get(), shared.zero, Py_GT);
    if (counted < 0) {
        return Ref();
    }
    Ref share = Ref::borrow(shared.zero);
    if (counted) {
        Ref distro = getattr(self, names._distro);
        if (!distro) {
            return distro;
        }
        Ref count = Ref::steal(PyObject_GetItem(distro.get(), i));
        if (!count) {
            return count;
        }
        Ref divisor = getattr(self, names._total);
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

PyObject* get_distro(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    Ref count = getattr(self, names._total_buckets);
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

// _total_buckets * 4 - 2, the count read afresh at each call.
Ref label_width(PyObject* self)
{
    Ref count = getattr(self, names._total_buckets);
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

PyObject* get_short_label(PyObject*, PyObject* const* args)
{
    PyObject* self = args[0];
    Ref width = label_width(self);
    if (!width) {
        return nullptr;
    }
    Ref name = getattr(self, names._name);
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
    Ref shown = getattr(self, names._name);
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

// Prints the report line for a KeyError and raises it again, traceback and
// all. A failure while reporting is raised instead, in its context.
void report_key_error(PyObject* globals, PyObject* self, PyObject* row)
{
    PyObject* error = compat::fetch_exception();
    Ref name = getattr(self, names._name);
    Ref row_text = name ? Ref::steal(PyObject_Str(row)) : Ref();
    Ref line = row_text ? format("KeyError in %s: %s", name.get(), row_text.get())
                        : Ref();
    if (line && print_line(globals, line.get()) == 0) {
        compat::restore_exception(error);
        return;
    }
    PyObject* failure = compat::fetch_exception();
    PyException_SetContext(failure, error);
    compat::restore_exception(failure);
}

PyObject* bucketize(PyObject* globals, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* row = args[1];
    Method method = find_method(self, names._bucketize_value);
    Ref result;
    if (method.callable) {
        Ref extractor = attr(self, names._extractor);
        Ref value = extractor ? call_method(extractor.get(), names.extract, row)
                              : Ref();
        if (value) {
            result = call_found(method, self, value.get());
        }
    }
    if (!result && PyErr_ExceptionMatches(PyExc_KeyError)) {
        report_key_error(globals, self, row);
    }
    return result.release();
}

const MethodSpec methods[] = {
    {"__init__", init,
     {{"self", Default::Required},
      {"name", Default::Required},
      {"extractor", Default::Required},
      {"total_buckets", Default::Required}}},
    {"write_to_proto", write_to_proto,
     {{"self", Default::Required}, {"proto", Default::Required}}},
    {"_remove_bucket", remove_bucket_impl, {{"self", Default::Required}}, true},
    {"_increment", increment_impl,
     {{"self", Default::Required}, {"bucket", Default::Required}}},
    {"_create_entry", create_entry_impl,
     {{"self", Default::Required}, {"index", Default::Required}}},
    {"get_distro", get_distro, {{"self", Default::Required}}, true},
    {"get_short_label", get_short_label, {{"self", Default::Required}}, true},
    {"bucketize", bucketize,
     {{"self", Default::Required}, {"row", Default::Required}}},
};

}  // namespace

int add_one_to_distro(PyObject* self, PyObject* key, Py_ssize_t at,
                      Ref& distro, Ref& old_count)
{
    Ref loaded = attr(self, names._distro);
    if (!loaded) {
        return -1;
    }
    old_count = item_at(loaded.get(), key, at);
    if (!old_count) {
        return -1;
    }
    Ref new_count = plus_one(old_count.get());
    if (!new_count) {
        return -1;
    }
    distro = attr(self, names._distro);
    if (!distro) {
        return -1;
    }
    return store_at(distro.get(), key, at, new_count.get());
}

Ref create_base_bucket_class(PyObject* globals)
{
    return make_class(globals, "BaseBucket",
                      reinterpret_cast<PyObject*>(&PyBaseObject_Type), nullptr,
                      methods, sizeof(methods) / sizeof(methods[0]));
}

Ref create_entry(PyObject* self, PyObject* index)
{
    return create_entry_for(self, index, 0);
}

Ref create_entry_at(PyObject* self, Py_ssize_t index)
{
    return create_entry_for(self, nullptr, index);
}

int increment(PyObject* self, PyObject* bucket)
{
    return increment_at(self, bucket, 0);
}

int remove_bucket(PyObject* self)
{
    return call_method(self, names._remove_bucket) ? 0 : -1;
}

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
    Ref message_class = getattr(messages.get(), names.Bucket);
    if (!message_class) {
        return -1;
    }
    Ref constant = getattr(message_class.get(), kind);
    if (!constant) {
        return -1;
    }
    return setattr(proto, names.bucket_type, constant.get());
}

int init_base(PyObject* globals, PyObject* cls_name, PyObject* self,
              PyObject* name, PyObject* extractor, PyObject* total_buckets)
{
    return call_super(globals, cls_name, self, names.__init__, name, extractor,
                      total_buckets)
               ? 0
               : -1;
}

namespace {

PyObject* null_fraction_floor = nullptr;  // 0.02

// self._distro[index], the list read afresh.
Ref count_at(PyObject* self, Py_ssize_t index)
{
    Ref distro = getattr(self, names._distro);
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

int has_null(PyObject* self)
{
    Ref flag = getattr(self, names._has_null);
    return flag ? PyObject_IsTrue(flag.get()) : -1;
}

PyObject* drop_rare_null_bucket(PyObject* self, PyObject* null_fraction)
{
    const int with_null = has_null(self);
    if (with_null <= 0) {
        return with_null < 0 ? nullptr : none();
    }
    if (null_fraction_floor == nullptr) {
        null_fraction_floor = PyFloat_FromDouble(0.02);
        if (null_fraction_floor == nullptr) {
            return nullptr;
        }
    }
    const int rare = PyObject_RichCompareBool(null_fraction, null_fraction_floor, Py_LT);
    if (rare < 0) {
        return nullptr;
    }
    // The flag follows the removal, so that a refused removal leaves the
    // bucket as it was.
    if (rare && (remove_bucket(self) < 0 ||
                 setattr(self, names._has_null, Py_False) < 0)) {
        return nullptr;
    }
    return none();
}

PyObject* null_share_distro(PyObject* self, Py_ssize_t null_index)
{
    Ref extractor = getattr(self, names._extractor);
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
