// What the kinds' column loops share: the counts kept in C, the rows of
// _out_buckets, the maps.
#include "loops.h"

#include <cmath>
#include <cstring>

#include "compat.h"
#include "lookup.h"

namespace columns {

using bucket::names;

int Counts::open(PyObject* bucket, bool with_total, Reason& reason)
{
    // Held at once: the class lookups of the next reads could run code.
    distro_ = Ref::borrow(plain_attr(bucket, names._distro, reason));
    PyObject* distro = distro_.get();
    if (distro == nullptr) {
        return 0;
    }
    if (!PyList_CheckExact(distro)) {
        return refuse(reason, "_distro is not an exact list");
    }
    size_ = PyList_GET_SIZE(distro);
    for (Py_ssize_t k = 0; k < size_; k++) {
        if (!PyLong_CheckExact(PyList_GET_ITEM(distro, k))) {
            return refuse(reason, "_distro holds something other than an int");
        }
    }
    if (with_total) {
        PyObject* total = plain_attr(bucket, names._total, reason);
        if (total == nullptr) {
            return 0;
        }
        if (!PyLong_CheckExact(total) || !plain_store(bucket, names._total)) {
            return refuse(reason, "_total is not an int stored in the instance's dict");
        }
    }
    with_total_ = with_total;
    added_ = static_cast<int64_t*>(PyMem_Calloc(size_ > 0 ? size_ : 1, sizeof(int64_t)));
    touched_ = static_cast<Py_ssize_t*>(PyMem_Malloc((size_ > 0 ? size_ : 1) * sizeof(Py_ssize_t)));
    if (added_ == nullptr || touched_ == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    return 1;
}

int Counts::flush(PyObject* bucket)
{
    // Every count is one value: _total grows by their sum.
    int64_t counted = 0;
    for (Py_ssize_t t = 0; t < touched_count_; t++) {
        const Py_ssize_t k = touched_[t];
        Ref added = Ref::steal(PyLong_FromLongLong(added_[k]));
        Ref count = added ? bucket::add(PyList_GET_ITEM(distro_.get(), k), added.get()) : Ref();
        if (!count) {
            return -1;
        }
        PyList_SetItem(distro_.get(), k, count.release());
        counted += added_[k];
        added_[k] = 0;
    }
    touched_count_ = 0;
    if (!with_total_ || counted == 0) {
        return 0;
    }
    Ref total = bucket::attr(bucket, names._total);
    Ref added = Ref::steal(PyLong_FromLongLong(counted));
    Ref sum = total && added ? bucket::add(total.get(), added.get()) : Ref();
    return sum ? bucket::set_attr(bucket, names._total, sum.get()) : -1;
}

namespace {

// +0.0 and nothing else: what a zero-filled row holds.
bool is_positive_zero(double x)
{
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof(bits));
    return bits == 0;
}

}  // namespace

Rows::~Rows()
{
    PyMem_Free(table_);
    PyMem_Free(views_);
}

int Rows::open(PyObject* bucket, Py_ssize_t width, Reason& reason)
{
    PyObject* list = plain_attr(bucket, names._out_buckets, reason);
    if (list == nullptr) {
        return 0;
    }
    if (!PyList_CheckExact(list)) {
        return refuse(reason, "_out_buckets is not an exact list");
    }
    count_ = PyList_GET_SIZE(list);
    width_ = width;
    // Beyond this the rows are read through the per-value calls.
    constexpr Py_ssize_t MOST = Py_ssize_t{1} << 22;
    if (width > 0 && count_ > MOST / width) {
        return refuse(reason, "_out_buckets holds too many rows to copy");
    }
    list_ = Ref::borrow(list);
    table_ = static_cast<double*>(PyMem_Malloc((count_ * width > 0 ? count_ * width : 1) * sizeof(double)));
    views_ = static_cast<View*>(PyMem_Malloc((count_ > 0 ? count_ : 1) * sizeof(View)));
    if (table_ == nullptr || views_ == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t k = 0; k < count_; k++) {
        views_[k].row = unread();
    }
    // Few rows are read at once, and then need no test per value.
    constexpr Py_ssize_t READ_AT_ONCE = 1024;
    if (count_ * width_ <= READ_AT_ONCE) {
        all_plain_ = true;
        one_hot_ = true;
        for (Py_ssize_t k = 0; k < count_; k++) {
            all_plain_ = all_plain_ && fill(k) != nullptr;
            one_hot_ = one_hot_ && all_plain_ && views_[k].one == k && views_[k].value == 1.0;
        }
    }
    return 1;
}

const double* Rows::fill(Py_ssize_t k)
{
    PyObject* row = PyList_GET_ITEM(list_.get(), k);
    views_[k].row = nullptr;
    if (!PyList_CheckExact(row) || PyList_GET_SIZE(row) != width_) {
        return nullptr;
    }
    double* at = table_ + k * width_;
    for (Py_ssize_t j = 0; j < width_; j++) {
        PyObject* item = PyList_GET_ITEM(row, j);
        PyTypeObject* type = Py_TYPE(item);
        if (item == Py_None) {
            at[j] = std::nan("");
        }
        else if (type == &PyFloat_Type) {
            at[j] = PyFloat_AS_DOUBLE(item);
        }
        else if (type == &PyLong_Type || type == &PyBool_Type) {
            at[j] = PyLong_AsDouble(item);
            if (at[j] == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                return nullptr;
            }
        }
        else {
            return nullptr;
        }
    }
    Py_ssize_t one = 0;
    Py_ssize_t others = 0;
    for (Py_ssize_t j = 0; j < width_; j++) {
        if (!is_positive_zero(at[j])) {
            one = j;
            others++;
        }
    }
    const bool sparse = width_ > 0 && others <= 1;
    views_[k] = View{at, sparse ? one : -1, sparse ? at[one] : 0.0};
    return at;
}

void write_rows(Plan& plan, Out& out, Py_ssize_t start, Py_ssize_t stop)
{
    Matrix& matrix = out.matrix;
    const bool zeroed = matrix.zero_rows(start, stop);
    if (zeroed && plan.rows.one_hot()) {
        for (Py_ssize_t i = start; i < stop; i++) {
            const Py_ssize_t k = plan.block[i - start];
            plan.counts.add(k);
            matrix.put(i, k, 1.0);
        }
        return;
    }
    for (Py_ssize_t i = start; i < stop; i++) {
        const Py_ssize_t k = plan.block[i - start];
        plan.counts.add(k);
        const Py_ssize_t one = plan.rows.one(k);
        if (zeroed && one >= 0) {
            matrix.put(i, one, plan.rows.one_value(k));
        }
        else {
            matrix.write(i, plan.rows.row(k));
        }
    }
}

int prepare_entries(Plan& plan, PyObject* bucket, Py_ssize_t width, Reason& reason)
{
    if (!plain_instance(bucket, reason)) {
        return 0;
    }
    int ok = own_counting(bucket, reason);
    if (ok <= 0) {
        return ok;
    }
    ok = plan.counts.open(bucket, true, reason);
    ok = ok <= 0 ? ok : plan.rows.open(bucket, width, reason);
    plan.entries = plan.counts.size() < plan.rows.count() ? plan.counts.size() : plan.rows.count();
    return ok;
}

Entry dict_entry(Plan& plan, const Value& v)
{
    PyObject* key = v.object;
    Ref made;
    switch (v.tag) {
    case Tag::Text:
    case Tag::Object:
        return UNDECIDED;
    case Tag::None:
        return plan.none_entry;
    case Tag::Str:
        break;
    case Tag::Float:
    case Tag::Int:
    case Tag::Bool:
        if (key == nullptr) {
            // A number fresh from a numeric column: a new object, as the
            // per-value call gets it (a NaN then matches no key).
            made = Ref::steal(v.tag == Tag::Float  ? PyFloat_FromDouble(v.number)
                              : v.tag == Tag::Int ? PyLong_FromLongLong(v.integer)
                                                  : PyBool_FromLong(static_cast<long>(v.integer)));
            if (!made) {
                return UNDECIDED;
            }
            key = made.get();
        }
        break;
    }
    PyObject* found = PyDict_GetItemWithError(plan.map.get(), key);
    if (found == nullptr && PyErr_Occurred()) {
        return UNDECIDED;
    }
    const Entry entry = entry_of(found);
    if (v.tag == Tag::Str) {
        plan.cache[(reinterpret_cast<std::uintptr_t>(key) >> 4) % Plan::CACHE_SIZE] = {key, entry};
    }
    return entry;
}

int open_map(Plan& plan, PyObject* bucket, PyObject* name, const Column& column,
             Reason& reason)
{
    PyObject* map = plain_attr(bucket, name, reason);
    if (map == nullptr) {
        return 0;
    }
    const char* text = PyUnicode_AsUTF8(name);
    if (!PyDict_CheckExact(map)) {
        return refuse(reason, "%s is not an exact dict", text);
    }
    if (!plain_keys(map)) {
        return refuse(reason, "%s has a key that is not an exact str, int, float, bool or None",
                      text);
    }
    plan.map = Ref::borrow(map);
    // None hashes and compares in C: its entry holds for the whole run.
    PyObject* none_found = PyDict_GetItemWithError(map, Py_None);
    if (none_found == nullptr && PyErr_Occurred()) {
        return -1;
    }
    plan.none_entry = entry_of(none_found);
    if (column.form() == Form::ArrowText || column.form() == Form::ArrowLargeText) {
        const int built = plan.table.build(map, TextTable::Keys::Utf8, reason);
        plan.ascii_short = plan.table.short_keys() && column.ascii_text();
        plan.mixed_text = plan.table.short_keys() && column.long_text();
        return built;
    }
    return column.form() == Form::Objects ? plan.table.build(map, TextTable::Keys::Ascii, reason)
                                          : 1;
}

}  // namespace columns
