// The kinds' column loops. Each kind prepares a plan from its bucket once
// per call (every check of guards.h its per-value path needs, and the plain
// data it reads, copied into C), then runs over the values without running
// Python code: it counts in C, writes each value's result, and stops at the
// first value it cannot decide, which then takes the per-value call.
#pragma once

#include <Python.h>

#include <cstdint>

#include "compat.h"
#include "guards.h"
#include "input.h"
#include "output.h"
#include "refs.h"
#include "text_table.h"

namespace columns {

using bucket::Ref;

// The counts of _distro (and of _total) kept in C, added to the bucket as
// Python ints before any Python code runs and at the end.
class Counts {
public:
    Counts() = default;
    Counts(const Counts&) = delete;
    Counts& operator=(const Counts&) = delete;
    ~Counts()
    {
        PyMem_Free(added_);
        PyMem_Free(touched_);
    }

    // _distro an exact list of exact ints and, with with_total, _total an
    // exact int that a store replaces plainly. 1, 0 with the reason, -1.
    int open(PyObject* bucket, bool with_total, Reason& reason);

    Py_ssize_t size() const { return size_; }

    void add(Py_ssize_t slot)
    {
        if (added_[slot]++ == 0) {
            touched_[touched_count_++] = slot;
        }
    }

    // Adds the counts to the bucket and starts again from zero; 0 or -1.
    int flush(PyObject* bucket);

private:
    Ref distro_;
    Py_ssize_t size_ = 0;
    int64_t* added_ = nullptr;
    // The slots counted since the last flush, in the order first counted.
    Py_ssize_t* touched_ = nullptr;
    Py_ssize_t touched_count_ = 0;
    bool with_total_ = false;
};

// The rows of _out_buckets as doubles, each checked at its first use: an
// exact list of the row width whose elements are None, exact floats or
// exact ints that convert.
class Rows {
public:
    Rows() = default;
    Rows(const Rows&) = delete;
    Rows& operator=(const Rows&) = delete;
    ~Rows();

    // _out_buckets an exact list; 1, 0 with the reason, -1.
    int open(PyObject* bucket, Py_ssize_t width, Reason& reason);

    Py_ssize_t count() const { return count_; }

    // Whether every row was read at open (a table of at most 1,024
    // elements) and is plain.
    bool all_plain() const { return all_plain_; }
    // Whether, besides, each row k holds 1.0 at k and +0.0 elsewhere.
    bool one_hot() const { return one_hot_; }

    // Row k, or NULL where it is not plain (its value takes the call).
    const double* row(Py_ssize_t k)
    {
        const double* found = views_[k].row;
        return found != unread() ? found : fill(k);
    }

    // Where row k, already found plain, holds its one element that is not
    // +0.0 (any one if none is), or -1 where it holds more.
    Py_ssize_t one(Py_ssize_t k) const { return views_[k].one; }
    double one_value(Py_ssize_t k) const { return views_[k].value; }

private:
    const double* fill(Py_ssize_t k);

    // The mark of a row not read yet.
    static const double* unread()
    {
        static const double mark = 0.0;
        return &mark;
    }

    struct View {
        const double* row;  // in table_, NULL where not plain, or unread()
        Py_ssize_t one;
        double value;
    };

    Ref list_;
    Py_ssize_t count_ = 0;
    Py_ssize_t width_ = 0;
    double* table_ = nullptr;
    View* views_ = nullptr;
    bool all_plain_ = false;
    bool one_hot_ = false;
};

// Where a loop writes.
struct Out {
    Matrix matrix;
    Ids ids;
};

// A kind's state for one call; each kind uses its part.
struct Plan {
    Counts counts;
    Rows rows;
    // The row width of out.
    Py_ssize_t width = 0;
    // The indexes that both _distro and _out_buckets hold.
    Py_ssize_t entries = 0;
    // The indexes of a block of values, decided before their rows are
    // written.
    static constexpr Py_ssize_t BLOCK = 128;
    Py_ssize_t block[BLOCK];
    // Range: the boundaries as doubles, and as they compare exactly.
    struct Bound {
        double number;
        int64_t integer;
        bool is_int;
    };
    double* numbers = nullptr;
    Bound* bounds = nullptr;
    Py_ssize_t bound_count = 0;
    bool exact_doubles = false;  // every boundary is exactly its double
    bool sorted = false;         // ascending without NaN: searched as sorted
    // Sorted boundaries padded with +inf to 2 ** padded_levels, for a
    // search without branches; NULL where they are not sorted or too many.
    double* padded = nullptr;
    int padded_levels = 0;
    // The index or the result of None; -1 where None takes the call.
    Py_ssize_t none_index = -1;
    double none_result = 0.0;
    bool with_null = false;
    // Maps: the dict, its index for a value not in it, and the table of its
    // str keys for text and str elements.
    Ref map;
    Entry none_entry = {Entry::Absent, -1};  // what None finds in it
    Py_ssize_t unknown = 0;
    TextTable table;
    // Arrow text: every byte ASCII and every key short with a slot of its
    // own (the loops are compiled for it), or else all keys short and some
    // text longer.
    bool ascii_short = false;
    bool mixed_text = false;
    // Object columns of repeated str: the last entries found by identity,
    // valid while no Python code runs (no element can go and be replaced).
    struct Cached {
        PyObject* key;
        Entry entry;
    };
    static constexpr std::size_t CACHE_SIZE = 64;
    Cached cache[CACHE_SIZE] = {};
    // Categorical: the type test of data_type_string().
    enum class TypeTest { None, Str, Number } type_test = TypeTest::None;
    // Direct values: the default for None without a null bucket.
    double default_result = 0.0;
    bool default_plain = false;

    Plan() = default;
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    ~Plan()
    {
        PyMem_Free(numbers);
        PyMem_Free(bounds);
        PyMem_Free(padded);
    }
};

struct KindLoop {
    // 1 fast, 0 with the reason, -1 with an exception set.
    int (*prepare)(Plan& plan, PyObject* bucket, const Column& column, Reason& reason);
    // Runs from value `from` on; sets *stop to the first value it could not
    // decide (or the length). 0, or -1 with an exception set.
    int (*run)(Plan& plan, const Column& column, Out& out, Py_ssize_t from, Py_ssize_t* stop);
};

// What a kind's Run works on: the column from value `from` on, into out.
// Each kind's Run adds template <Form F, bool Nulls> Py_ssize_t run() const,
// which returns the first value it could not decide (or the length).
struct Over {
    Plan& p;
    const Column& column;
    Out& out;
    Py_ssize_t from;
};

// The kind's Run over the column in its form; the stop as KindLoop::run.
template <typename Run>
Py_ssize_t run_over(Plan& p, const Column& column, Out& out, Py_ssize_t from)
{
    return with_form(column, Run{{p, column, out, from}});
}

extern const KindLoop range_loop;
extern const KindLoop string_loop;
extern const KindLoop boolean_loop;
extern const KindLoop value_loop;
extern const KindLoop categorical_loop;
extern const KindLoop simple_categorical_loop;

// The most ids a simple categorical column can give, found without running
// Python code: one per value, and for an exact list or tuple one per entry
// (one if empty).
Py_ssize_t id_bound(const Column& column);

// Checks shared by the kinds that count through _create_entry: the bucket's
// dict, the counting methods, the counts and the rows. 1, 0, -1.
int prepare_entries(Plan& plan, PyObject* bucket, Py_ssize_t width, Reason& reason);

// Counts index k and writes its row for value i: false where k is outside
// _distro or _out_buckets, or its row is not plain.
__attribute__((always_inline)) inline bool entry(Plan& plan, Out& out, Py_ssize_t i, Py_ssize_t k)
{
    if (static_cast<std::size_t>(k) >= static_cast<std::size_t>(plan.entries)) {
        return false;
    }
    const double* row = plan.rows.row(k);
    if (row == nullptr) {
        return false;
    }
    plan.counts.add(k);
    out.matrix.write(i, row);
    return true;
}

// Counts and writes the rows of values start to stop, whose indexes are in
// plan.block, known to be entries with plain rows. Where out's rows lie end
// to end, they are zero-filled at once and a row of one element other than
// +0.0 gets that element alone.
void write_rows(Plan& plan, Out& out, Py_ssize_t start, Py_ssize_t stop);

// The loop of a kind that counts through _create_entry: index_at(i) is the
// index of value i, or -1 where it takes the per-value call (or an error was
// raised). Returns the first value not written (the length at the end).
template <typename IndexAt>
Py_ssize_t entries_run(Plan& plan, Out& out, Py_ssize_t from, Py_ssize_t n, IndexAt index_at)
{
    constexpr Py_ssize_t BLOCK = Plan::BLOCK;
    const std::size_t entries = static_cast<std::size_t>(plan.entries);
    const bool all_plain = plan.rows.all_plain();
    for (Py_ssize_t start = from; start < n; start += BLOCK) {
        const Py_ssize_t end = n - start > BLOCK ? start + BLOCK : n;
        Py_ssize_t i = start;
        for (; i < end; i++) {
            const Py_ssize_t k = index_at(i);
            if (static_cast<std::size_t>(k) >= entries ||
                (!all_plain && plan.rows.row(k) == nullptr)) {
                break;
            }
            plan.block[i - start] = k;
        }
        write_rows(plan, out, start, i);
        if (i < end) {
            return i;
        }
    }
    return n;
}

// What a value finds in a map where the loop cannot decide it: the value
// takes the per-value call (or an error was raised, which the loop's caller
// sees).
constexpr Entry UNDECIDED = {Entry::Other, -1};

// The entry of plan.map for an element by the dict's own lookup; as below.
Entry dict_entry(Plan& plan, const Value& v);

// The entry of plan.map for an exact str, as below.
__attribute__((always_inline)) inline Entry str_entry(Plan& plan, const Value& v)
{
    PyObject* str = v.object;
    Plan::Cached& cached =
        plan.cache[(reinterpret_cast<std::uintptr_t>(str) >> 4) % Plan::CACHE_SIZE];
    if (cached.key == str) {
        return cached.entry;
    }
    // ASCII text is found in the table; any other str only equals a key of
    // its own kind, which the dict finds.
    Entry found;
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        found = plan.table.find_compact_ascii(static_cast<const char*>(PyUnicode_DATA(str)),
                                              PyUnicode_GET_LENGTH(str));
    }
    else if (bucket::compat::str_ready(str) && PyUnicode_IS_ASCII(str)) {
        found = plan.table.find_ascii(static_cast<const char*>(PyUnicode_DATA(str)),
                                      PyUnicode_GET_LENGTH(str));
    }
    else {
        return dict_entry(plan, v);
    }
    cached = {str, found};
    return found;
}

// The entry of plan.map for v, as the dict's own lookup finds it; UNDECIDED
// where v takes the per-value call (an object of another type, text that
// is not UTF-8) or an error was raised. AsciiShort: plan.ascii_short holds;
// Masked: see TextTable::find_short.
template <bool AsciiShort = false, bool Masked = false>
__attribute__((always_inline)) inline Entry map_entry(Plan& plan, const Value& v)
{
    if (v.tag == Tag::None) {
        return plan.none_entry;
    }
    if (v.tag == Tag::Str) {
        return str_entry(plan, v);
    }
    if (v.tag != Tag::Text) {
        return dict_entry(plan, v);
    }
    if (AsciiShort && PY_LITTLE_ENDIAN && v.readable) {
        return plan.table.find_in_short<Masked>(v.text, v.size);
    }
    // Text that no key holds: the per-value call decodes it, so it must be
    // UTF-8.
    Entry found;
    return plan.table.find_text(v.text, v.size, v.readable, plan.mixed_text, &found) ? found
                                                                                  : UNDECIDED;
}

// Calls body.template loop<F, Nulls, AsciiShort>(): the map kinds' loops
// over Arrow text are compiled for plan.ascii_short as well.
template <Form F, bool Nulls, typename Body>
Py_ssize_t with_text_form(const Plan& plan, const Body& body)
{
    if constexpr (F == Form::ArrowText || F == Form::ArrowLargeText) {
        if (plan.ascii_short) {
            return body.template loop<F, Nulls, true>();
        }
    }
    return body.template loop<F, Nulls, false>();
}

// The Run of a map kind: its loop<F, Nulls, AsciiShort>() through
// with_text_form.
template <typename Run>
struct TextOver : Over {
    template <Form F, bool Nulls>
    Py_ssize_t run() const
    {
        return with_text_form<F, Nulls>(p, static_cast<const Run&>(*this));
    }
};

// Opens plan.map from the bucket's attribute name: an exact dict with plain
// keys, and the table of its str keys. 1, 0, -1.
int open_map(Plan& plan, PyObject* bucket, PyObject* name, const Column& column,
             Reason& reason);

}  // namespace columns
